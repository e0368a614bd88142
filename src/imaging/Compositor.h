#pragma once

#include <QByteArray>
#include <QColor>
#include <QImage>
#include <QSize>
#include <QUrl>
#include <opencv2/core.hpp>
#include <optional>

// Turns input into the working bitmap (8-bit RGBA, sRGB, longer side capped)
// and a bitmap, a mask and the user's settings into the finished image.
// Stateless; every operation returns a new image or none.
class Compositor final
{
public:
    Compositor() = delete;

    // Decodes a local file (orientation applied) and normalizes it.
    static std::optional<QImage> load(const QUrl& url, double maxSide);
    // The same for encoded image bytes (dropped or pasted data).
    static std::optional<QImage> loadData(const QByteArray& bytes, double maxSide);
    // Any image, whatever its pixel format and colour space, as RGBA8888 in
    // sRGB with its longer side at most maxSide.
    static std::optional<QImage> normalize(const QImage& image, double maxSide);

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
