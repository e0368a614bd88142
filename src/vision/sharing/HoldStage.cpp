#include "SharingStages.h"

#include <algorithm>
#include <opencv2/imgproc.hpp>

namespace Sharing {

namespace {

int sumIn(const cv::Mat& sum, const cv::Rect& r)
{
    return sum.at<int>(r.br()) - sum.at<int>(r.y, r.br().x) - sum.at<int>(r.br().y, r.x) +
           sum.at<int>(r.tl());
}

// A faint find names a part of the matte no sure find reaches (but one the
// matte leaves out and it lies in front of): there it shares the matte as
// they do.
std::vector<size_t> namedByFaint(const Held& h, const SubjectTuning& tuning)
{
    const SubjectTuning::Sharing& s = tuning.sharing;
    std::vector<size_t> named;
    for (size_t i = 0; i < h.objects.size(); ++i) {
        const Object& t = h.objects[i];
        if (!t.faint || t.cover < s.heldCover)
            continue;
        cv::Mat reached = cv::Mat::zeros(t.box.size(), CV_8UC1);
        for (const Object& q : h.objects) {
            const cv::Rect common = q.reach & t.box;
            const bool covered = q.cover >= s.heldCover;
            if (!q.faint && !common.empty() && (covered || !inFront(t, q, h.size, tuning)))
                reached(common - t.box.tl()).setTo(1);
        }
        if (cv::countNonZero(reached) <= s.faintReached * t.area)
            named.push_back(i);
    }
    return named;
}

} // namespace

const Object* Held::ofLabel(int label) const
{
    return label >= 1 && size_t(label) < objectLabels() ? &held(size_t(label - 1)) : nullptr;
}

bool inFront(const Object& a, const Object& b, cv::Size picture, const SubjectTuning& tuning)
{
    const SubjectTuning::Sharing& s = tuning.sharing;
    const bool scene = b.area >= s.sceneShare * double(picture.area()) && !b.pose;
    return a.area <= (scene ? s.inFrontOfScene : s.inFront) * b.area &&
           (a.box & b.box).area() >= s.inside * a.area;
}

bool holds(const cv::Rect& outer, const cv::Rect& inner, const SubjectTuning& tuning)
{
    return inner.area() < outer.area() &&
           (inner & outer).area() >= tuning.sharing.inside * inner.area();
}

bool isPicture(const Object& t, cv::Size picture, const SubjectTuning& tuning)
{
    return !t.pose && t.area >= tuning.sharing.frameShare * double(picture.area());
}

// An object is held when enough of its box is sure matte; a sure find also
// when that much is shown matte (a blurred rider): it is then held faintly.
Held hold(const InstanceMask& matte, const cv::Mat& rgb, const std::vector<SceneObject>& found,
          const std::vector<bool>& notHeld, const SubjectTuning& tuning)
{
    const double needed = tuning.sharing.heldCover;
    Held h;
    h.size = matte.matte.size();
    h.rgb = rgb;
    h.matte = matte;
    h.sure = matte.matte >= tuning.levels.sure;
    h.domain = matte.owner > 0;
    h.shown = h.domain & (matte.matte >= tuning.levels.shown);
    for (const SceneObject& o : found)
        h.objects.emplace_back(o);
    cv::Mat sureSum, shownSum;
    cv::integral(h.sure / 255, sureSum, CV_32S);
    cv::integral(h.shown / 255, shownSum, CV_32S);
    for (size_t i = 0; i < h.objects.size(); ++i) {
        Object& t = h.objects[i];
        if (notHeld[i])
            continue;
        t.cover = double(sumIn(sureSum, t.box)) / std::max(1.0, t.area);
        const double shown = double(sumIn(shownSum, t.box)) / std::max(1.0, t.area);
        t.faintlyHeld = !t.faint && t.cover < needed && shown >= needed;
        if (t.faintlyHeld)
            t.cover = shown;
        if (t.cover >= needed && !t.faint)
            h.inMatte.push_back(i);
    }
    for (size_t i : namedByFaint(h, tuning)) {
        h.objects[i].faint = false;
        h.objects[i].named = true;
        h.inMatte.push_back(i);
    }
    std::stable_sort(h.inMatte.begin(), h.inMatte.end(),
                     [&](size_t a, size_t b) { return h.objects[a].area > h.objects[b].area; });
    for (size_t k = 0; k < h.inMatte.size(); ++k)
        h.objects[h.inMatte[k]].label = int(k + 1);
    return h;
}

} // namespace Sharing
