#include "SubjectAnalysis.h"

#include "OnDeviceVision.h"
#include "VantelError.h"

#include <cmath>
#include <cstring>
#include <opencv2/imgproc.hpp>

SubjectAnalysis::SubjectAnalysis(QImage image) : cg(std::move(image)) {}

std::shared_ptr<const SubjectAnalysis> SubjectAnalysis::analyze(const QImage& cg)
{
    return analyze(cg, OnDeviceVision::shared());
}

std::shared_ptr<const SubjectAnalysis> SubjectAnalysis::analyze(const QImage& cg,
                                                                VisionService& vision)
{
    auto analysis = std::make_shared<SubjectAnalysis>(cg);
    if (vision.instanceMasksAvailable()) {
        const auto results = vision.generateForegroundInstanceMask(cg);
        if (results.empty() || !results.front())
            throw VantelError::noSubject();
        const std::shared_ptr<const InstanceMaskObservation>& first = results.front();
        InstanceSet found = first->allInstances();
        if (found.empty())
            throw VantelError::noSubject();
        analysis->observation = first;
        analysis->instances = std::move(found);
        analysis->labels = readLabels(first->instanceMask());
        return analysis;
    }

    const std::vector<cv::Mat> results = vision.generatePersonSegmentation(cg);
    if (results.empty() || results.front().empty())
        throw VantelError::noSubject();
    // The mask's content is not examined: an image without a person still
    // succeeds here, with an empty mask.
    analysis->personMask = results.front();
    return analysis;
}

std::optional<LabelMap> SubjectAnalysis::readLabels(const LabelBuffer& buffer)
{
    if (!buffer.base)
        return std::nullopt;
    if (buffer.width < 0 || buffer.height < 0 || buffer.bytesPerRow < buffer.width)
        return std::nullopt;
    LabelMap map;
    map.width = buffer.width;
    map.height = buffer.height;
    map.data.assign(size_t(buffer.width) * size_t(buffer.height), 0);
    for (int y = 0; y < buffer.height; ++y) {
        // Bytes of a row beyond its width are padding and left out.
        std::memcpy(map.data.data() + size_t(y) * size_t(buffer.width),
                    buffer.base + qsizetype(y) * buffer.bytesPerRow, size_t(buffer.width));
    }
    return map;
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
    if (observation) {
        // A given label is passed on as it is, whether or not it was found.
        const InstanceSet wanted = selected ? InstanceSet{*selected} : instances;
        return fit(observation->generateScaledMask(wanted, target), target);
    }
    if (personMask)
        return fit(*personMask, target);
    throw VantelError::noSubject();
}

cv::Mat SubjectAnalysis::fit(const cv::Mat& mask, QSize target)
{
    if (mask.empty() || target.isEmpty())
        return mask;
    const double sx = double(target.width()) / mask.cols;
    const double sy = double(target.height()) / mask.rows;
    if (std::abs(sx - 1.0) < 0.0001 && std::abs(sy - 1.0) < 0.0001)
        return mask;
    cv::Mat scaled;
    cv::resize(mask, scaled, cv::Size(target.width(), target.height()), 0, 0, cv::INTER_LINEAR);
    return scaled;
}
