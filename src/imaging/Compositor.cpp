#include "Compositor.h"

#include "MaskBlend.h"
#include "MaskFeather.h"
#include "MaskScale.h"

double Compositor::featherSigma(QSize size, double feather)
{
    const int longer = size.width() <= size.height() ? size.height() : size.width();
    return double(longer) * feather / 1000.0;
}

std::optional<QImage> Compositor::composite(const QImage& source, const cv::Mat& mask,
                                            double feather, const std::optional<QColor>& background)
{
    return composite(source, mask, cv::Mat(), feather, background);
}

std::optional<QImage> Compositor::composite(const QImage& source, const cv::Mat& mask,
                                            const cv::Mat& foreground, double feather,
                                            const std::optional<QColor>& background)
{
    if (source.isNull() || mask.empty())
        return std::nullopt;
    const QImage src = source.convertToFormat(QImage::Format_RGBA8888);
    if (src.isNull())
        return std::nullopt;

    if (mask.type() != CV_8UC1)
        return std::nullopt;
    if (!foreground.empty() && (foreground.type() != CV_8UC3 || foreground.cols != src.width() ||
                                foreground.rows != src.height()))
        return std::nullopt;
    const cv::Mat working =
        MaskFeather::blurred(MaskScale::fitted(mask, cv::Size(src.width(), src.height())),
                             featherSigma(src.size(), feather));

    std::optional<QColor> colour;
    if (background && background->isValid())
        colour = background->toRgb();
    QImage out = MaskBlend::blend(src, working, foreground, colour);
    if (out.isNull())
        return std::nullopt;
    return out;
}
