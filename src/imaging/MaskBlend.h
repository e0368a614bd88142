#pragma once

#include <QColor>
#include <QImage>
#include <opencv2/core.hpp>
#include <optional>

// Lays a source over a background colour through a mask: the source where
// the mask is 255, the background where it is 0, a linear mix of premultiplied
// values in between.
class MaskBlend final
{
public:
    MaskBlend() = delete;

    // `source` is RGBA8888 (straight alpha), `mask` CV_8UC1 of the same size.
    // With no background the result's alpha is the source's alpha times the
    // mask and its colour the source's own; fully transparent pixels are
    // written as transparent black, so nothing of the removed background
    // survives in the file.
    static QImage blend(const QImage& source, const cv::Mat& mask,
                        const std::optional<QColor>& background);

    // The same with the subject's own colour: `foreground` (CV_8UC3, R G B,
    // the source's size; see ForegroundEstimate) stands in for the source's
    // colour wherever the mask is below 255. An empty Mat means the source.
    static QImage blend(const QImage& source, const cv::Mat& mask, const cv::Mat& foreground,
                        const std::optional<QColor>& background);
};
