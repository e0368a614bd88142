#include "OwnMask.h"

#include "MaskScale.h"

#include <algorithm>
#include <opencv2/imgproc.hpp>

namespace {

// `m` at the cut's working size `small`, or itself where the cut works at
// full size (or there is nothing to shrink).
cv::Mat shrunk(const cv::Mat& m, double scale, cv::Size small, int interpolation)
{
    if (m.empty() || scale >= 1.0)
        return m;
    cv::Mat out;
    cv::resize(m, out, small, 0, 0, interpolation);
    return out;
}

// The labels the cut starts from, at `small` (the picture scaled by `scale`).
cv::Mat startLabels(const OwnMask::Hints& hints, double scale, cv::Size small)
{
    const SubjectTuning::OwnCut& tuning = hints.tuning;
    // Beyond the box: background. Inside: the inscribed ellipse likely
    // object, the corners likely background, the middle certainly object.
    cv::Mat start(small, CV_8UC1, cv::Scalar(cv::GC_BGD));
    const cv::Rect2d box(hints.box.x * scale, hints.box.y * scale, hints.box.width * scale,
                         hints.box.height * scale);
    const cv::Rect inside =
        cv::Rect(cvFloor(box.x), cvFloor(box.y), cvCeil(box.width), cvCeil(box.height)) &
        cv::Rect(0, 0, small.width, small.height);
    start(inside).setTo(cv::GC_PR_BGD);
    const cv::Point centre(cvRound(box.x + box.width / 2), cvRound(box.y + box.height / 2));
    const cv::Size semi(std::max(1, cvRound(box.width / 2)), std::max(1, cvRound(box.height / 2)));
    cv::ellipse(start, centre, semi, 0, 0, 360, cv::GC_PR_FGD, cv::FILLED);
    const cv::Mat mine = shrunk(hints.mine, scale, small, cv::INTER_NEAREST);
    const cv::Mat others = shrunk(hints.others, scale, small, cv::INTER_NEAREST);
    cv::Mat boxArea = cv::Mat::zeros(small, CV_8UC1);
    boxArea(inside).setTo(255);
    if (!mine.empty())
        start.setTo(cv::GC_PR_FGD, (mine != 0) & boxArea);
    if (!others.empty())
        start.setTo(cv::GC_PR_BGD, (others != 0) & boxArea);
    cv::ellipse(start, centre,
                cv::Size(std::max(1, cvRound(semi.width * tuning.coreShare)),
                         std::max(1, cvRound(semi.height * tuning.coreShare))),
                0, 0, 360, cv::GC_FGD, cv::FILLED);
    const int width = std::max(1, cvRound(hints.boneWidth * scale));
    for (const auto& [a, b] : hints.bones)
        cv::line(start, a * scale, b * scale, cv::GC_FGD, width);
    start.setTo(cv::GC_BGD, boxArea == 0);
    return start;
}

// GrabCut's labels over `rgb` from `start`.
cv::Mat grabCutLabels(const cv::Mat& rgb, const cv::Mat& start, int iterations)
{
    cv::Mat labels = start.clone();
    cv::Mat background, foreground;
    // The colour models start from k-means on the thread's random numbers:
    // a fixed seed makes the same object give the same mask every time.
    cv::RNG& random = cv::theRNG();
    const uint64 before = random.state;
    random.state = 0x5eed;
    try {
        cv::grabCut(rgb, labels, cv::Rect(), background, foreground, iterations,
                    cv::GC_INIT_WITH_MASK);
    } catch (const cv::Exception&) {
        // A colour model that cannot be fitted (a window of one colour):
        // what the box says is all there is.
        labels = start;
    }
    random.state = before;
    return labels;
}

// The object is the piece that holds its certain middle; stray bits of
// the same colours elsewhere in the box are not.
cv::Mat pieceWithMiddle(cv::Mat object, const cv::Mat& start)
{
    cv::Mat pieces, stats, centroids;
    const int n = cv::connectedComponentsWithStats(object, pieces, stats, centroids, 8, CV_32S);
    if (n <= 2)
        return object;
    std::vector<uchar> keep(size_t(n), 0);
    const cv::Mat sure = start == cv::GC_FGD;
    for (int y = 0; y < pieces.rows; ++y) {
        const int* p = pieces.ptr<int>(y);
        const uchar* s = sure.ptr<uchar>(y);
        for (int x = 0; x < pieces.cols; ++x) {
            if (s[x] && p[x] > 0)
                keep[size_t(p[x])] = 255;
        }
    }
    object = cv::Mat::zeros(object.size(), CV_8UC1);
    for (int y = 0; y < pieces.rows; ++y) {
        const int* p = pieces.ptr<int>(y);
        uchar* o = object.ptr<uchar>(y);
        for (int x = 0; x < pieces.cols; ++x)
            o[x] = keep[size_t(p[x])];
    }
    return object;
}

} // namespace

cv::Rect OwnMask::window(const cv::Rect& box, cv::Size size, const SubjectTuning::OwnCut& tuning)
{
    const int mx = std::max(tuning.minMargin, int(box.width * tuning.marginShare));
    const int my = std::max(tuning.minMargin, int(box.height * tuning.marginShare));
    return cv::Rect(box.x - mx, box.y - my, box.width + 2 * mx, box.height + 2 * my) &
           cv::Rect(0, 0, size.width, size.height);
}

OwnMask::OwnMask(Hints hints, const cv::Rect& roi) : m_hints(std::move(hints)), m_roi(roi)
{
    CV_Assert(m_hints.rgb.size() == roi.size());
}

const cv::Mat& OwnMask::alpha() const
{
    std::call_once(m_once, [this] {
        m_alpha = cut(m_hints);
        m_cut.store(true, std::memory_order_release);
    });
    return m_alpha;
}

cv::Mat OwnMask::cut(const Hints& hints)
{
    const cv::Size full = hints.rgb.size();
    if (full.empty() || hints.box.area() <= 0)
        return cv::Mat::zeros(full, CV_8UC1);
    const SubjectTuning::OwnCut& tuning = hints.tuning;
    const double scale = std::min(1.0, double(tuning.workSide) / std::max(full.width, full.height));
    const cv::Size small(std::max(1, cvRound(full.width * scale)),
                         std::max(1, cvRound(full.height * scale)));
    const cv::Mat rgb = shrunk(hints.rgb, scale, small, cv::INTER_AREA);
    const cv::Mat start = startLabels(hints, scale, small);
    const cv::Mat labels = grabCutLabels(rgb, start, tuning.iterations);
    const cv::Mat object = (labels == cv::GC_FGD) | (labels == cv::GC_PR_FGD);
    return MaskScale::fitted(pieceWithMiddle(object, start), full);
}
