#include "SolidInterior.h"

#include <algorithm>
#include <cmath>
#include <opencv2/imgproc.hpp>
#include <vector>

namespace {

// Distance of every pixel to the nearest zero of `binary` (the image border
// is no zero, as in a closing with replicated edges).
cv::Mat distanceToZero(const cv::Mat& binary)
{
    cv::Mat distance;
    cv::distanceTransform(binary, distance, cv::DIST_L2, cv::DIST_MASK_5);
    return distance;
}

// The parts of `inside` (8-connected) with at least minSureShare of their
// area at the sure level, as a flag per label, and the label image.
std::vector<uchar> mostlySureParts(const cv::Mat& mask, const cv::Mat& inside, cv::Mat& parts)
{
    cv::Mat stats, centroids;
    const int count = cv::connectedComponentsWithStats(inside, parts, stats, centroids, 8, CV_32S);
    std::vector<int> sure(size_t(count), 0);
    for (int y = 0; y < mask.rows; ++y) {
        const uchar* m = mask.ptr<uchar>(y);
        const int* p = parts.ptr<int>(y);
        for (int x = 0; x < mask.cols; ++x)
            if (m[x] >= SolidInterior::sureLevel)
                ++sure[size_t(p[x])];
    }
    std::vector<uchar> solid(size_t(count), 0);
    for (int k = 1; k < count; ++k)
        solid[size_t(k)] =
            sure[size_t(k)] >= SolidInterior::minSureShare * stats.at<int>(k, cv::CC_STAT_AREA);
    return solid;
}

} // namespace

double SolidInterior::bandWidth(cv::Size size)
{
    return std::max(1.0, std::round(bandShare * std::min(size.width, size.height)));
}

cv::Mat SolidInterior::raised(const cv::Mat& mask)
{
    cv::Mat out = mask.clone();
    // Nothing between the middle and the sure level: nothing to make solid.
    cv::Mat doubtful;
    cv::inRange(mask, cv::Scalar(middleLevel), cv::Scalar(sureLevel - 1), doubtful);
    if (cv::countNonZero(doubtful) == 0)
        return out;

    const cv::Mat inside = mask >= middleLevel;
    cv::Mat parts;
    const std::vector<uchar> sureParts = mostlySureParts(mask, inside, parts);
    if (std::none_of(sureParts.begin() + 1, sureParts.end(), [](uchar s) { return s != 0; }))
        return out;

    // The sure region closed over gaps up to the gap width: dilated by the
    // gap (distance to a sure pixel), then eroded by it (distance to what
    // the dilation left out). Distance transforms make both exact discs at
    // any width in linear time.
    const float gap = float(std::max(1.0, std::round(gapShare * std::min(mask.cols, mask.rows))));
    const cv::Mat notSure = mask < sureLevel;
    const cv::Mat grown = distanceToZero(notSure) <= gap;
    const cv::Mat between = distanceToZero(grown) > gap;

    // Depth: distance to the nearest pixel outside the subject, and to the
    // nearest one not between sure parts; the alpha rises with the smaller,
    // so it climbs smoothly from either edge.
    const cv::Mat depth = distanceToZero(inside);
    const cv::Mat betweenDepth = distanceToZero(between);
    const float band = float(bandWidth(mask.size()));
    const float rise = band * float(riseBands);
    for (int y = 0; y < mask.rows; ++y) {
        const float* d = depth.ptr<float>(y);
        const int* p = parts.ptr<int>(y);
        const float* b = betweenDepth.ptr<float>(y);
        uchar* o = out.ptr<uchar>(y);
        for (int x = 0; x < mask.cols; ++x) {
            if (!sureParts[size_t(p[x])] || d[x] <= band || b[x] <= 0.f)
                continue;
            const float level = std::min({1.f, (d[x] - band) / rise, b[x] / rise});
            o[x] = std::max(o[x], cv::saturate_cast<uchar>(255.f * level));
        }
    }
    return out;
}

cv::Mat SolidInterior::solid(const cv::Mat& mask)
{
    CV_Assert(mask.type() == CV_8UC1);
    if (mask.empty())
        return mask.clone();
    const int shorter = std::min(mask.cols, mask.rows);
    if (shorter <= workSide)
        return raised(mask);
    // The shapes are worked out at the work size and the raised levels
    // brought back; only pixels on the subject's side of the middle take
    // them, so what is in and what is out stays exactly the mask's.
    const double scale = double(workSide) / shorter;
    cv::Mat small;
    cv::resize(
        mask, small,
        cv::Size(std::max(1, cvRound(mask.cols * scale)), std::max(1, cvRound(mask.rows * scale))),
        0, 0, cv::INTER_AREA);
    cv::Mat levels = raised(small);
    if (cv::countNonZero(levels != small) == 0)
        return mask.clone();
    cv::resize(levels, levels, mask.size(), 0, 0, cv::INTER_LINEAR);
    cv::Mat out = mask.clone();
    cv::max(mask, levels, out);
    mask.copyTo(out, mask < middleLevel);
    return out;
}
