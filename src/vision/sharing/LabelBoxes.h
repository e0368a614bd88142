#pragma once

#include <algorithm>
#include <array>
#include <climits>
#include <opencv2/core.hpp>
#include <vector>

// The bounding box of the points added to each label.
class LabelBoxes final
{
public:
    explicit LabelBoxes(size_t labels) : m_bounds(labels, {INT_MAX, INT_MAX, -1, -1}) {}
    void add(size_t label, int x, int y)
    {
        auto& b = m_bounds[label];
        b = {std::min(b[0], x), std::min(b[1], y), std::max(b[2], x), std::max(b[3], y)};
    }
    // Empty where no point was added.
    cv::Rect box(size_t label) const
    {
        const auto& b = m_bounds[label];
        return b[2] < 0 ? cv::Rect()
                        : cv::Rect(cv::Point(b[0], b[1]), cv::Point(b[2] + 1, b[3] + 1));
    }

private:
    std::vector<std::array<int, 4>> m_bounds;
};
