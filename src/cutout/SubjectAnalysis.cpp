#include "SubjectAnalysis.h"

#include "MaskScale.h"
#include "MissedSubjects.h"
#include "VantelError.h"
#include "VisionService.h"

#include <algorithm>

SubjectAnalysis::SubjectAnalysis(QImage image) : cg(std::move(image)) {}

std::shared_ptr<const SubjectAnalysis> SubjectAnalysis::analyze(const QImage& cg,
                                                                VisionService& vision)
{
    auto analysis = std::make_shared<SubjectAnalysis>(cg);
    if (vision.instanceMasksAvailable()) {
        std::optional<InstanceMask> found = vision.generateForegroundInstanceMask(cg);
        if (!found || found->count < 1)
            throw VantelError::noSubject();
        analysis->instances = found->allInstances();
        if (!found->labels.empty()) {
            analysis->labels = LabelMap{found->labels};
            analysis->subjectPoints = analysis->labels->innerPoints();
        }
        // The default result also keeps large sure finds the matte left out.
        analysis->missed = MissedSubjects::added(*found, cg, vision);
        analysis->subjects = std::move(found);
        return analysis;
    }

    cv::Mat person = vision.generatePersonSegmentation(cg);
    // An image without a person is no success with an empty mask.
    if (person.empty() || cv::countNonZero(person) == 0)
        throw VantelError::noSubject();
    analysis->personMask = std::move(person);
    return analysis;
}

int64_t SubjectAnalysis::labelAtNormalized(QPointF point) const
{
    if (!labels)
        return 0;
    return labels->labelAt(point);
}

cv::Mat SubjectAnalysis::mask(std::optional<int64_t> selected) const
{
    const QSize target = cg.size();
    if (subjects) {
        const cv::Size size(target.width(), target.height());
        // Nothing picked is the whole matte; a given label is passed on as
        // it is, whether or not it was found.
        if (selected)
            return subjects->scaledMask({*selected}, size);
        cv::Mat whole = subjects->wholeMask(size);
        if (missed.size() == whole.size())
            cv::max(whole, missed, whole);
        return whole;
    }
    if (personMask)
        return MaskScale::fitted(*personMask, cv::Size(target.width(), target.height()));
    throw VantelError::noSubject();
}

bool SubjectAnalysis::maskTakesAMoment(std::optional<int64_t> selected) const
{
    return subjects && selected && subjects->needsCut({*selected});
}

bool SubjectAnalysis::clickMissesAt(int64_t label, QPointF point) const
{
    if (!subjects || subjects->matte.empty() || label < 1 ||
        (size_t(label) <= subjects->info.size() && subjects->info[size_t(label - 1)].own))
        return false;
    const cv::Mat& matte = subjects->matte;
    const int x = std::clamp(int(point.x() * matte.cols), 0, matte.cols - 1);
    const int y = std::clamp(int(point.y() * matte.rows), 0, matte.rows - 1);
    return matte.at<uchar>(y, x) < 128;
}
