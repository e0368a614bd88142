#include "OwnMask.h"
#include "PersonSkeleton.h"
#include "SharingStages.h"

#include <algorithm>
#include <opencv2/imgproc.hpp>

namespace Sharing {

namespace {

using Segment = PersonSkeleton::Segment;

// The ellipse inscribed in a box, over the box.
cv::Mat ellipseIn(const cv::Rect& box)
{
    cv::Mat area = cv::Mat::zeros(box.size(), CV_8UC1);
    cv::ellipse(area, cv::Point(box.width / 2, box.height / 2),
                cv::Size(std::max(1, box.width / 2), std::max(1, box.height / 2)), 0, 0, 360,
                cv::Scalar(255), cv::FILLED);
    return area;
}

InstanceMask labelled(const Held& h, const Shares& shares, const SubjectTuning& tuning)
{
    InstanceMask out;
    out.matte = h.matte.matte;
    out.shownLevel = h.matte.shownLevel;
    out.maxLift = h.matte.maxLift;
    out.count = int(shares.subjects.size());
    std::vector<uchar> finalOf(size_t(shares.labelCount), 0);
    for (size_t m = 0; m < shares.subjects.size(); ++m) {
        if (shares.subjects[m].label)
            finalOf[size_t(shares.subjects[m].label)] = uchar(m + 1);
    }
    out.owner = cv::Mat::zeros(h.size, CV_8UC1);
    for (int y = 0; y < h.size.height; ++y) {
        const uchar* s = shares.labels.ptr<uchar>(y);
        uchar* o = out.owner.ptr<uchar>(y);
        for (int x = 0; x < h.size.width; ++x)
            o[x] = finalOf[s[x]];
    }
    out.labels = out.owner.clone();
    out.labels.setTo(0, h.matte.matte < tuning.levels.shown);
    return out;
}

// What the cut of an object's own mask starts from: its picture, its box,
// a person's bones, and the matte it and the others hold.
OwnMask::Hints hintsFor(const Held& h, const Shares& shares, const Subject& e, const cv::Mat& owner,
                        const cv::Rect& window, const SubjectTuning& tuning)
{
    const Object& t = h.objects[size_t(e.object)];
    OwnMask::Hints hints;
    hints.tuning = tuning.ownCut;
    hints.rgb = h.rgb(window);
    hints.box = t.box - window.tl();
    if (t.pose) {
        const PersonSkeleton s = PersonSkeleton::of(*t.pose, t.box, tuning.person);
        const cv::Point2f shift(float(window.x), float(window.y));
        for (const auto* part : {&s.trunk, &s.limbs}) {
            for (const Segment& g : *part)
                hints.bones.emplace_back(g.a - shift, g.b - shift);
        }
        for (size_t c = 0; c + 1 < s.torso.size(); ++c)
            hints.bones.emplace_back(cv::Point2f(s.torso[c]) - shift,
                                     cv::Point2f(s.torso[c + 1]) - shift);
        hints.boneWidth = s.width;
    }
    const cv::Mat sure = h.sure(window);
    const cv::Mat mine = shares.labels(window) == e.label;
    if (e.label)
        hints.mine = mine & sure;
    cv::Mat others = (owner(window) != 0) & ~mine & sure;
    // The person it lies on in front of holds its pixels too: not its
    // background.
    for (size_t l = 1; l < h.objectLabels(); ++l) {
        const Object* q = h.ofLabel(int(l));
        if (q != &t && q->pose && inFront(t, *q, h.size, tuning))
            others.setTo(0, shares.labels(window) == int(l));
    }
    hints.others = others;
    return hints;
}

// What is known of each subject, and masks of their own, cut when first
// asked for from what the sharing knows of them.
void addOwnMasks(const Held& h, const Shares& shares, const SubjectTuning& tuning,
                 InstanceMask& out)
{
    out.info.resize(shares.subjects.size());
    for (size_t m = 0; m < shares.subjects.size(); ++m) {
        const Subject& e = shares.subjects[m];
        SubjectInfo& info = out.info[m];
        info.box = e.box;
        if (e.object < 0)
            continue;
        const Object& t = h.objects[size_t(e.object)];
        info.className = t.className;
        info.score = t.score;
        if (!e.own)
            continue;
        const cv::Rect window = OwnMask::window(t.box, h.size, tuning.ownCut);
        info.own = std::make_shared<const OwnMask>(
            hintsFor(h, shares, e, out.owner, window, tuning), window);
    }
}

// A click area covers what no share of the matte holds, and the area of a
// larger object with a mask of its own whose box holds it (a spoon on a
// table the matte left out): smaller objects are drawn last, faint finds
// after all others, only where nothing else is.
void drawClickAreas(const Held& h, const Shares& shares, const SubjectTuning& tuning,
                    InstanceMask& out)
{
    const std::vector<Subject>& subjects = shares.subjects;
    auto faintSubject = [&](size_t m) {
        return subjects[m].object >= 0 && h.objects[size_t(subjects[m].object)].faint;
    };
    std::vector<size_t> ownOrder;
    for (size_t m = 0; m < subjects.size(); ++m) {
        if (out.info[m].own)
            ownOrder.push_back(m);
    }
    std::stable_sort(ownOrder.begin(), ownOrder.end(), [&](size_t a, size_t b) {
        if (faintSubject(a) != faintSubject(b))
            return faintSubject(b);
        return subjects[a].box.area() > subjects[b].box.area();
    });
    std::vector<bool> left(subjects.size() + 1, false);
    for (size_t m = 0; m < subjects.size(); ++m)
        left[m + 1] = subjects[m].own;
    std::vector<cv::Mat> areas(subjects.size());
    for (size_t m : ownOrder) {
        const cv::Rect& box = subjects[m].box;
        const bool faint = faintSubject(m);
        areas[m] = ellipseIn(box);
        for (int y = 0; y < box.height; ++y) {
            const uchar* a = areas[m].ptr<uchar>(y);
            uchar* l = out.labels.ptr<uchar>(box.y + y) + box.x;
            for (int x = 0; x < box.width; ++x) {
                if (a[x] && (!l[x] ||
                             (!faint && left[l[x]] && holds(out.info[l[x] - 1u].box, box, tuning))))
                    l[x] = uchar(m + 1);
            }
        }
    }
    // A sure find with a mask of its own lying wholly over other subjects'
    // shares (a tie on a jacket) is in front of them: its area is drawn over
    // theirs, so that a click on it keeps it.
    for (size_t m : ownOrder) {
        const cv::Rect& box = subjects[m].box;
        if (!faintSubject(m) && cv::countNonZero(out.labels(box) == int(m + 1)) == 0)
            out.labels(box).setTo(int(m + 1), areas[m]);
    }
}

// Only what a click can find is listed: a faint find whose click area all
// lies under other subjects is not offered, and the subjects after it move
// up a number.
InstanceMask clickableOnly(InstanceMask m)
{
    std::vector<bool> found(size_t(m.count) + 1, false);
    for (int y = 0; y < m.labels.rows; ++y) {
        const uchar* l = m.labels.ptr<uchar>(y);
        for (int x = 0; x < m.labels.cols; ++x)
            found[l[x]] = true;
    }
    cv::Mat lut(1, 256, CV_8UC1, cv::Scalar(0));
    std::vector<SubjectInfo> info;
    for (int n = 1; n <= m.count; ++n) {
        if (!found[size_t(n)])
            continue;
        info.push_back(m.info[size_t(n - 1)]);
        lut.at<uchar>(n) = uchar(info.size());
    }
    if (int(info.size()) == m.count)
        return m;
    cv::LUT(m.labels, lut, m.labels);
    cv::LUT(m.owner, lut, m.owner);
    m.info = std::move(info);
    m.count = int(m.info.size());
    return m;
}

} // namespace

InstanceMask subjectsOf(const Held& h, const Shares& shares, const SubjectTuning& tuning)
{
    InstanceMask out = labelled(h, shares, tuning);
    addOwnMasks(h, shares, tuning, out);
    drawClickAreas(h, shares, tuning, out);
    return clickableOnly(std::move(out));
}

} // namespace Sharing
