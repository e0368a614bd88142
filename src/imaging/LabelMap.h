#pragma once

#include <QPointF>
#include <cstdint>
#include <vector>

// Per-pixel subject labels of an analysis: 0 is background, 1, 2, ... the
// subjects. Row-major without gaps; addressed through normalized points, as
// its resolution need not be the image's.
struct LabelMap
{
    int64_t width = 0;
    int64_t height = 0;
    std::vector<uint8_t> data;

    // The label under a normalized point ((0, 0) top-left, (1, 1) bottom-right).
    // Points off the map read its nearest edge; an empty map reads 0.
    int64_t labelAt(QPointF normalized) const;

    friend bool operator==(const LabelMap& a, const LabelMap& b)
    {
        return a.width == b.width && a.height == b.height && a.data == b.data;
    }
};
