#include "LabelMap.h"

#include <algorithm>
#include <cmath>

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
