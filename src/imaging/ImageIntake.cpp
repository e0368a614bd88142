#include "ImageIntake.h"

#include "AreaDownscale.h"
#include "ImageDecoder.h"

#include <QColorSpace>

QByteArray ImageIntake::nativePath(const QUrl& url)
{
    if (!url.isLocalFile() || !url.host().isEmpty())
        return {};
    return QByteArray::fromPercentEncoding(url.path(QUrl::FullyEncoded).toLatin1());
}

std::optional<QImage> ImageIntake::load(const QUrl& url, double maxSide)
{
    const QByteArray path = nativePath(url);
    if (path.isEmpty())
        return std::nullopt;
    return loadFile(path, maxSide);
}

std::optional<QImage> ImageIntake::loadFile(const QByteArray& path, double maxSide)
{
    const std::optional<QImage> decoded = ImageDecoder::decodeFile(path, maxSide);
    if (!decoded)
        return std::nullopt;
    return normalize(*decoded, maxSide);
}

std::optional<QImage> ImageIntake::loadData(const QByteArray& bytes, double maxSide)
{
    const std::optional<QImage> decoded = ImageDecoder::decodeData(bytes, maxSide);
    if (!decoded)
        return std::nullopt;
    return normalize(*decoded, maxSide);
}

std::optional<QImage> ImageIntake::normalize(const QImage& image, double maxSide)
{
    if (image.isNull())
        return std::nullopt;
    const QSize target = AreaDownscale::targetSize(image.size(), maxSide);
    QImage work = target == image.size() ? image : AreaDownscale::scaled(image, target);
    if (work.isNull())
        return std::nullopt;
    // Colour conversion after the reduction: far fewer pixels to transform.
    const QColorSpace space = work.colorSpace();
    if (space.isValid() && space != QColorSpace(QColorSpace::SRgb))
        work.convertToColorSpace(QColorSpace::SRgb);
    QImage out = work.convertToFormat(QImage::Format_RGBA8888);
    if (out.isNull())
        return std::nullopt;
    return out;
}
