#include "AreaDownscale.h"

#include <QColorSpace>
#include <cmath>
#include <opencv2/imgproc.hpp>

namespace {

// The OpenCV element type that views an image of this format in place, or -1.
int cvTypeFor(QImage::Format format)
{
    switch (format) {
    case QImage::Format_RGB32:
    case QImage::Format_ARGB32_Premultiplied:
    case QImage::Format_RGBX8888:
    case QImage::Format_RGBA8888_Premultiplied:
        return CV_8UC4;
    case QImage::Format_RGB888:
    case QImage::Format_BGR888:
        return CV_8UC3;
    case QImage::Format_Grayscale8:
        return CV_8UC1;
    case QImage::Format_Grayscale16:
        return CV_16UC1;
    case QImage::Format_RGBX64:
    case QImage::Format_RGBA64_Premultiplied:
        return CV_16UC4;
    default:
        return -1;
    }
}

// 16-bit premultiplied copy of an image with alpha. Qt 6.4 multiplies the
// alpha channel by itself when it converts RGBA64 to RGBA64_Premultiplied,
// so the multiplication is done here.
QImage premultiplied64(const QImage& image)
{
    const QImage straight = image.convertToFormat(QImage::Format_RGBA64);
    if (straight.isNull())
        return {};
    QImage out(straight.size(), QImage::Format_RGBA64_Premultiplied);
    if (out.isNull())
        return {};
    for (int y = 0; y < straight.height(); ++y) {
        const quint16* src = reinterpret_cast<const quint16*>(straight.constScanLine(y));
        quint16* dst = reinterpret_cast<quint16*>(out.scanLine(y));
        for (int x = 0; x < straight.width(); ++x, src += 4, dst += 4) {
            const quint32 a = src[3];
            for (int c = 0; c < 3; ++c)
                dst[c] = quint16((quint32(src[c]) * a + 32767u) / 65535u);
            dst[3] = quint16(a);
        }
    }
    out.setColorSpace(image.colorSpace());
    return out;
}

// The image in a format that can be averaged channel by channel: shared when
// it already is one, otherwise converted (premultiplied when it has alpha).
QImage averagingCopy(const QImage& image)
{
    if (cvTypeFor(image.format()) >= 0)
        return image;
    if (image.hasAlphaChannel())
        return premultiplied64(image);
    if (image.depth() > 32)
        return image.convertToFormat(QImage::Format_RGBX64);
    return image.convertToFormat(QImage::Format_RGBX8888);
}

cv::Mat view(const QImage& image)
{
    return cv::Mat(image.height(), image.width(), cvTypeFor(image.format()),
                   const_cast<uchar*>(image.constBits()), size_t(image.bytesPerLine()));
}

} // namespace

QSize AreaDownscale::targetSize(QSize size, double maxSide)
{
    const int w = size.width();
    const int h = size.height();
    if (w <= 0 || h <= 0 || std::isnan(maxSide))
        return size;
    const int longer = std::max(w, h);
    if (double(longer) <= maxSide)
        return size;
    const int newLonger = std::max(1, int(std::floor(maxSide)));
    const int shorter = std::min(w, h);
    const int newShorter =
        std::max(1, int(std::lround(double(shorter) * double(newLonger) / double(longer))));
    return w >= h ? QSize(newLonger, newShorter) : QSize(newShorter, newLonger);
}

QImage AreaDownscale::scaled(const QImage& image, QSize target)
{
    if (image.isNull() || target.isEmpty())
        return {};
    const QImage source = averagingCopy(image);
    if (source.isNull())
        return {};
    QImage out(target, source.format());
    if (out.isNull())
        return {};
    const cv::Mat in = view(source);
    cv::Mat dst(out.height(), out.width(), in.type(), out.bits(), size_t(out.bytesPerLine()));
    cv::resize(in, dst, dst.size(), 0, 0, cv::INTER_AREA);
    out.setColorSpace(source.colorSpace());
    out.setDotsPerMeterX(source.dotsPerMeterX());
    out.setDotsPerMeterY(source.dotsPerMeterY());
    return out;
}

cv::Mat AreaDownscale::resized(const cv::Mat& mat, cv::Size size)
{
    if (mat.empty() || size.empty() || mat.size() == size)
        return mat;
    cv::Mat out = mat;
    const cv::Size shrunk(std::min(mat.cols, size.width), std::min(mat.rows, size.height));
    if (shrunk != mat.size())
        cv::resize(mat, out, shrunk, 0, 0, cv::INTER_AREA);
    if (out.size() != size) {
        cv::Mat grown;
        cv::resize(out, grown, size, 0, 0, cv::INTER_LINEAR);
        out = grown;
    }
    return out;
}
