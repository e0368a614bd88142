#pragma once

#include <QPointF>
#include <cstdint>
#include <opencv2/core.hpp>
#include <utility>
#include <vector>

// Per-pixel subject labels of an analysis: 0 is background, 1, 2, ... the
// subjects. Shares the vision layer's label image (CV_8UC1, never written
// again); addressed through normalized points, as its resolution need not
// be the image's.
struct LabelMap
{
    cv::Mat labels;

    int64_t width() const { return labels.cols; }
    int64_t height() const { return labels.rows; }

    // The label under a normalized point ((0, 0) top-left, (1, 1) bottom-right).
    // Points off the map read its nearest edge; an empty map reads 0.
    int64_t labelAt(QPointF normalized) const;

    // For each label present, by label, a normalized point deep inside it
    // (where it is widest): where a keyboard's mark of the subject sits, and
    // where labelAt() finds it again.
    std::vector<std::pair<int64_t, QPointF>> innerPoints() const;
};
