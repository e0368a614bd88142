#include "ImageDecoder.h"

#include "LocalFile.h"

#include <QBuffer>
#include <QFile>
#include <QImageReader>
#include <cmath>

std::optional<QImage> ImageDecoder::decodeFile(const QString& path, double maxSide)
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

std::optional<QImage> ImageDecoder::decode(QIODevice* device, double maxSide)
{
    QImageReader reader(device);
    reader.setDecideFormatFromContent(true);
    reader.setAutoTransform(true);
    // Below 50 Qt's JPEG reader takes a fast path with coarse upsampling.
    reader.setQuality(100);
    reader.setAllocationLimit(allocationLimitMiB);
    if (!reader.canRead())
        return std::nullopt;

    const QSize stored = reader.size();
    if (stored.isValid()) {
        if (stored.isEmpty() || qint64(stored.width()) * stored.height() > maxPixels)
            return std::nullopt;
    }

    const QByteArray format = reader.format();
    if (format == "jpeg" || format == "jpg") {
        const int d = jpegReduction(stored, maxSide);
        if (d > 1)
            reader.setScaledSize(stored / d);
    }

    QImage image = reader.read();
    if (image.isNull())
        return std::nullopt;
    return image;
}
