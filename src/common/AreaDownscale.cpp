#include "AreaDownscale.h"

#include "AreaAverager.h"

#include <QColorSpace>
#include <algorithm>
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

// The format an image is averaged in, channel by channel: its own where
// OpenCV can read it, otherwise premultiplied 16-bit when it has alpha.
QImage::Format averagingFormat(const QImage& image)
{
    if (cvTypeFor(image.format()) >= 0)
        return image.format();
    if (image.hasAlphaChannel())
        return QImage::Format_RGBA64_Premultiplied;
    if (image.depth() > 32)
        return QImage::Format_RGBX64;
    return QImage::Format_RGBX8888;
}

// The image (or a part of it) in its averaging format.
QImage averagingCopy(const QImage& image)
{
    const QImage::Format format = averagingFormat(image);
    if (format == image.format())
        return image;
    if (format == QImage::Format_RGBA64_Premultiplied)
        return premultiplied64(image);
    return image.convertToFormat(format);
}

// Straight 8-bit RGBA (ARGB32 as stored on little-endian machines, or
// RGBA8888) premultiplied into 16 bits straight from the source: the values
// premultiplied64() gives (v * 257 is Qt's widening of an 8-bit value),
// without its two intermediate images. False for any other format.
bool premultiplyInto(const QImage& image, const cv::Rect& part, cv::Mat& tile)
{
    const bool bgra = image.format() == QImage::Format_ARGB32;
    if (Q_BYTE_ORDER != Q_LITTLE_ENDIAN || (!bgra && image.format() != QImage::Format_RGBA8888))
        return false;
    const int red = bgra ? 2 : 0;
    const int blue = bgra ? 0 : 2;
    tile.create(part.height, part.width, CV_16UC4);
    for (int y = 0; y < part.height; ++y) {
        const uchar* src = image.constScanLine(part.y + y) + size_t(part.x) * 4;
        ushort* dst = tile.ptr<ushort>(y);
        for (int x = 0; x < part.width; ++x, src += 4, dst += 4) {
            const quint32 a = src[3];
            dst[0] = ushort((src[red] * a * 66049u + 32767u) / 65535u);
            dst[1] = ushort((src[1] * a * 66049u + 32767u) / 65535u);
            dst[2] = ushort((src[blue] * a * 66049u + 32767u) / 65535u);
            dst[3] = ushort(a * 257u);
        }
    }
    return true;
}

// Values per converted tile: about 4 MB of 16-bit samples.
constexpr size_t tileElements = size_t(1) << 21;

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
    // A format OpenCV reads in place is averaged in one pass. Any other is
    // reduced a tile at a time, so no full-size converted copy ever exists (a
    // 250-megapixel RGBA image would need two of 2 GB each).
    QImage out(target, averagingFormat(image));
    if (out.isNull())
        return {};
    cv::Mat dst(out.height(), out.width(), cvTypeFor(out.format()), out.bits(),
                size_t(out.bytesPerLine()));
    const bool shrinks = target.width() <= image.width() && target.height() <= image.height();
    if (out.format() == image.format() || !shrinks) {
        const QImage source = averagingCopy(image);
        if (source.isNull())
            return {};
        cv::resize(view(source), dst, dst.size(), 0, 0, cv::INTER_AREA);
    } else {
        AreaAverager averager(cv::Size(image.width(), image.height()), dst);
        const cv::Size tile = averager.tileSize(tileElements);
        cv::Mat buffer;
        for (int y = 0; y < image.height(); y += tile.height) {
            for (int x = 0; x < image.width(); x += tile.width) {
                const cv::Rect r(x, y, std::min(tile.width, image.width() - x),
                                 std::min(tile.height, image.height() - y));
                if (premultiplyInto(image, r, buffer)) {
                    averager.add(buffer, x, y);
                    continue;
                }
                const QImage part = averagingCopy(image.copy(r.x, r.y, r.width, r.height));
                if (part.isNull())
                    return {};
                averager.add(view(part), x, y);
            }
        }
    }
    out.setColorSpace(image.colorSpace());
    out.setDotsPerMeterX(image.dotsPerMeterX());
    out.setDotsPerMeterY(image.dotsPerMeterY());
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
