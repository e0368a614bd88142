#pragma once

#include <QColor>
#include <QImage>
#include <QSize>
#include <opencv2/core.hpp>
#include <optional>

// Turns a bitmap, a mask and the user's settings into the finished image.
// Stateless; every operation returns a new image or none.
class Compositor final
{
public:
    Compositor() = delete;

    // The source laid over the background through the mask, feathered by
    // `feather` thousandths of the longer side. No background (or a colour
    // with no sRGB form) means transparent.
    static std::optional<QImage> composite(const QImage& source, const cv::Mat& mask,
                                           double feather, const std::optional<QColor>& background);
    // The same with the subject's own colour in the soft and feathered edge:
    // `foreground` from ForegroundEstimate for this source and mask (CV_8UC3
    // of the source's size; an empty Mat means the source's own colour).
    static std::optional<QImage> composite(const QImage& source, const cv::Mat& mask,
                                           const cv::Mat& foreground, double feather,
                                           const std::optional<QColor>& background);

    // The feather blur's sigma in pixels for an image of this size.
    static double featherSigma(QSize size, double feather);
};
