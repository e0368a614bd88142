#include "LabelMap.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <opencv2/imgproc.hpp>

namespace {

// width * p truncated toward zero, then limited to 0 ... size - 1. Clamping
// happens in floating point first so far-off or huge points never overflow
// the conversion to an integer.
int64_t index(int64_t size, double p)
{
    if (std::isnan(p))
        return 0;
    const double scaled = std::clamp(double(size) * p, 0.0, double(size - 1));
    return int64_t(std::trunc(scaled));
}

} // namespace

int64_t LabelMap::labelAt(QPointF normalized) const
{
    if (labels.empty() || labels.type() != CV_8UC1)
        return 0;
    const int64_t column = index(width(), normalized.x());
    const int64_t row = index(height(), normalized.y());
    return labels.at<uchar>(int(row), int(column));
}

std::vector<std::pair<int64_t, QPointF>> LabelMap::innerPoints() const
{
    std::vector<std::pair<int64_t, QPointF>> points;
    if (labels.empty() || labels.type() != CV_8UC1)
        return points;
    std::array<cv::Rect, 256> box;
    for (int y = 0; y < labels.rows; ++y) {
        const uchar* l = labels.ptr<uchar>(y);
        for (int x = 0; x < labels.cols; ++x) {
            if (l[x])
                box[l[x]] |= cv::Rect(x, y, 1, 1);
        }
    }
    for (int label = 1; label < 256; ++label) {
        const cv::Rect& b = box[size_t(label)];
        if (b.empty())
            continue;
        // Inside the label, the distance to its edge (the box's border
        // counts as edge); the farthest pixel is its deepest.
        cv::Mat inside = cv::Mat::zeros(b.height + 2, b.width + 2, CV_8UC1);
        inside(cv::Rect(1, 1, b.width, b.height)).setTo(255, labels(b) == label);
        cv::Mat distance;
        cv::distanceTransform(inside, distance, cv::DIST_L2, 3);
        cv::Point deepest;
        cv::minMaxLoc(distance, nullptr, nullptr, nullptr, &deepest);
        const cv::Point at = deepest - cv::Point(1, 1) + b.tl();
        points.emplace_back(label, QPointF((at.x + 0.5) / labels.cols, (at.y + 0.5) / labels.rows));
    }
    return points;
}
