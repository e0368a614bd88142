#include "ImageOffer.h"

#include "ImageDecoder.h"
#include "ImageIntake.h"

#include <QFileInfo>
#include <QMimeData>
#include <QMimeDatabase>

namespace {

bool hasImageExtension(const QUrl& url)
{
    const QString path = url.toLocalFile();
    if (QFileInfo(path).suffix().isEmpty())
        return false;
    const QMimeType type = QMimeDatabase().mimeTypeForFile(path, QMimeDatabase::MatchExtension);
    return type.isValid() && !type.isDefault() && type.name().startsWith(QLatin1String("image/"));
}

} // namespace

bool ImageOffer::isImageFile(const QUrl& url)
{
    return hasImageExtension(url) || ImageDecoder::isImageFile(ImageIntake::nativePath(url));
}

ImageOffer ImageOffer::read(const QMimeData* data)
{
    ImageOffer offer;
    if (!data)
        return offer;
    // Web addresses are not files: a browser's link falls through to the
    // image data beside it.
    for (const QUrl& url : data->urls()) {
        if (url.isLocalFile())
            offer.files.append(url);
    }
    // An image object put there within this process: Qt would encode it
    // once for every image format it lists, only for us to decode it again.
    if (data->hasFormat(QStringLiteral("application/x-qt-image"))) {
        offer.image = qvariant_cast<QImage>(data->imageData());
        return offer;
    }
    for (const QString& format : data->formats()) {
        if (!format.startsWith(QLatin1String("image/")))
            continue;
        QByteArray bytes = data->data(format);
        if (!bytes.isEmpty())
            offer.encoded.append(std::move(bytes));
    }
    return offer;
}

bool ImageOffer::droppable(const QMimeData* data)
{
    if (!data)
        return false;
    for (const QUrl& url : data->urls()) {
        if (url.isLocalFile())
            return true;
    }
    for (const QString& format : data->formats()) {
        if (format.startsWith(QLatin1String("image/")))
            return true;
    }
    return data->hasImage();
}

std::optional<QImage> ImageOffer::decode(double maxSide, bool* fileTried) const
{
    *fileTried = false;
    // An image file wins; one that then fails to decode is reported as
    // unreadable.
    for (const QUrl& file : files) {
        if (isImageFile(file)) {
            *fileTried = true;
            return ImageIntake::load(file, maxSide);
        }
    }
    for (const QByteArray& bytes : encoded) {
        if (std::optional<QImage> decoded = ImageIntake::loadData(bytes, maxSide))
            return decoded;
    }
    if (!image.isNull())
        return ImageIntake::normalize(image, maxSide);
    return std::nullopt;
}
