#include "ImageDecoder.h"

#include "AreaDownscale.h"
#include "FormatChecks.h"
#include "LocalFile.h"

#include <QBuffer>
#include <QFile>
#include <QImageReader>
#include <QLoggingCategory>
#include <QTransform>
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <tiffio.h>

Q_LOGGING_CATEGORY(lcDecode, "vantel.decode")

namespace {

// libtiff prints its warnings and errors to stderr unless told otherwise, and
// Qt's TIFF reader does not tell it. They go to Qt's logging instead, where
// the application's message handler decides. (The handlers are global.)
void tiffMessage(const char* module, const char* format, va_list args)
{
    char text[512];
    std::vsnprintf(text, sizeof text, format, args);
    qCDebug(lcDecode, "libtiff: %s: %s", module ? module : "", text);
}

void quietLibraries()
{
    static std::once_flag once;
    std::call_once(once, [] {
        TIFFSetWarningHandler(tiffMessage);
        TIFFSetErrorHandler(tiffMessage);
    });
}

// The formats Vantel reads. Left out of what Qt could read: SVG (see the
// header), and formats nobody brings for a cut-out whose readers recognise
// data loosely (TGA, WBMP, ICO, XPM...), so that junk is never taken for one.
bool allowed(const QByteArray& format)
{
    const QList<QByteArray> formats = ImageDecoder::formats();
    return formats.contains(format);
}

// Bits per pixel of the image Qt's reader will make (GIF and WebP do not
// say: 8-bit ARGB).
qint64 imageBits(QImageReader& reader)
{
    const QImage::Format format = reader.imageFormat();
    return format == QImage::Format_Invalid ? 32 : QImage::toPixelFormat(format).bitsPerPixel();
}

// As QImageReader's automatic transformation: mirror, then turn.
QImage transformed(QImage image, QImageIOHandler::Transformations how)
{
    const bool mirror = how & QImageIOHandler::TransformationMirror;
    const bool flip = how & QImageIOHandler::TransformationFlip;
    if (mirror || flip)
        image = std::move(image).mirrored(mirror, flip);
    if (how & QImageIOHandler::TransformationRotate90)
        image = image.transformed(QTransform().rotate(90));
    return image;
}

} // namespace

QList<QByteArray> ImageDecoder::formats()
{
    return {"png", "jpeg", "gif", "webp", "bmp", "tiff"};
}

bool ImageDecoder::isImageFile(const QByteArray& path)
{
    const std::unique_ptr<QFile> file = LocalFile::openRegular(path);
    if (!file)
        return false;
    quietLibraries();
    QImageReader reader(file.get());
    reader.setDecideFormatFromContent(true);
    return reader.canRead() && allowed(reader.format());
}

std::optional<QImage> ImageDecoder::decodeFile(const QByteArray& path, double maxSide)
{
    const std::unique_ptr<QFile> file = LocalFile::openRegular(path);
    if (!file)
        return std::nullopt;
    return decode(file.get(), maxSide);
}

std::optional<QImage> ImageDecoder::decodeData(const QByteArray& data, double maxSide)
{
    if (data.isEmpty())
        return std::nullopt;
    QBuffer buffer;
    buffer.setData(data);
    if (!buffer.open(QIODevice::ReadOnly))
        return std::nullopt;
    return decode(&buffer, maxSide);
}

int ImageDecoder::jpegReduction(QSize stored, double maxSide)
{
    if (!stored.isValid() || !(maxSide >= 1.0))
        return 1;
    const int longer = std::max(stored.width(), stored.height());
    for (int d : {8, 4, 2}) {
        if (stored.width() % d == 0 && stored.height() % d == 0 && longer / d >= maxSide)
            return d;
    }
    return 1;
}

std::optional<QImage> ImageDecoder::decode(QIODevice* device, double maxSide, qint64 budget)
{
    if (!device || device->isSequential())
        return std::nullopt;
    quietLibraries();
    // The checks read the file from its start and leave the device where
    // the reader had it.
    const qint64 start = device->pos();
    auto fromStart = [device, start](auto read) {
        const qint64 here = device->pos();
        device->seek(start);
        const auto result = read();
        device->seek(here);
        return result;
    };

    QImageReader reader(device);
    reader.setDecideFormatFromContent(true);
    reader.setAutoTransform(true);
    // Below 50 Qt's JPEG reader takes a fast path with coarse upsampling.
    reader.setQuality(100);
    reader.setAllocationLimit(std::max(1, int(budget >> 20)));
    if (!reader.canRead())
        return std::nullopt;
    const QByteArray format = reader.format();
    if (!allowed(format))
        return std::nullopt;
    // Qt's PNG reader lets libpng print its errors, from the header on.
    if (format == "png" && !fromStart([device] { return FormatChecks::pngIsSound(device, true); }))
        return std::nullopt;
    const int gifBytes =
        format == "gif" ? fromStart([device] { return FormatChecks::gifBytesPerPixel(device); })
                        : 0;
    if (format == "gif" && gifBytes == 0)
        return std::nullopt;
    if (format == "bmp" && !fromStart([device] { return FormatChecks::bmpIsSound(device); }))
        return std::nullopt;

    QSize stored = reader.size();
    // Qt's BMP reader gives a top-down bitmap its stored, negative, height.
    if (format == "bmp" && stored.height() < 0 && stored.height() > INT_MIN)
        stored.setHeight(-stored.height());
    if (!stored.isValid() || stored.isEmpty() ||
        qint64(stored.width()) * stored.height() > maxPixels)
        return std::nullopt;
    QSize size = stored;
    if (format == "jpeg") {
        const int d = jpegReduction(stored, maxSide);
        if (d > 1) {
            size = stored / d;
            reader.setScaledSize(size);
        }
    }
    // What decoding takes: the image, and for some formats as much again
    // inside the library (a lossless WebP, a progressive JPEG's coefficients).
    const qint64 pixels = qint64(size.width()) * size.height();
    const qint64 imageBytes = (pixels * imageBits(reader) + 7) / 8;
    if (imageBytes > budget)
        return std::nullopt;
    if (format == "gif" && pixels * gifBytes > budget)
        return std::nullopt;
    if (format == "webp" &&
        pixels * fromStart([device] { return FormatChecks::webpBytesPerPixel(device); }) > budget)
        return std::nullopt;
    if (format == "png" && !fromStart([device] { return FormatChecks::pngIsSound(device); }))
        return std::nullopt;
    if (format == "jpeg" && !fromStart([device, budget, imageBytes] {
            return FormatChecks::jpegIsSound(device, budget - imageBytes);
        }))
        return std::nullopt;

    // Qt turns an image into a copy of it. Where two copies would not fit,
    // the image is reduced first and turned after.
    const QImageIOHandler::Transformations turn = reader.transformation();
    const bool reduceFirst = turn != QImageIOHandler::TransformationNone && 2 * imageBytes > budget;
    if (reduceFirst)
        reader.setAutoTransform(false);
    QImage image = reader.read();
    if (image.isNull())
        return std::nullopt;
    if (reduceFirst) {
        const QSize target = AreaDownscale::targetSize(image.size(), maxSide);
        if (target != image.size())
            image = AreaDownscale::scaled(image, target);
        if (image.isNull())
            return std::nullopt;
        image = transformed(std::move(image), turn);
    }
    return image;
}
