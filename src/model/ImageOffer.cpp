#include "ImageOffer.h"

#include "ImageIntake.h"

#include <QFileInfo>
#include <QMimeData>
#include <QMimeDatabase>

bool ImageOffer::hasImageExtension(const QUrl& url)
{
    const QString path = url.toLocalFile();
    if (QFileInfo(path).suffix().isEmpty())
        return false;
    const QMimeType type = QMimeDatabase().mimeTypeForFile(path, QMimeDatabase::MatchExtension);
    return type.isValid() && !type.isDefault() && type.name().startsWith(QLatin1String("image/"));
}

ImageOffer ImageOffer::read(const QMimeData* data)
{
    ImageOffer offer;
    if (!data)
        return offer;
    // Web addresses are not files: a browser's link falls through to the
    // image data beside it.
    for (const QUrl& url : data->urls()) {
        if (!url.isLocalFile())
            continue;
        if (!offer.anyFile)
            offer.anyFile = url;
        if (hasImageExtension(url)) {
            offer.imageFile = url;
            break;
        }
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
    // An image file wins, decided by its extension alone; one that then
    // fails to decode is reported as unreadable.
    if (imageFile) {
        *fileTried = true;
        return ImageIntake::load(*imageFile, maxSide);
    }
    for (const QByteArray& bytes : encoded) {
        if (std::optional<QImage> decoded = ImageIntake::loadData(bytes, maxSide))
            return decoded;
    }
    if (!image.isNull())
        return ImageIntake::normalize(image, maxSide);
    // A drop still takes any file, to say that it cannot be read.
    *fileTried = anyFile.has_value();
    return std::nullopt;
}
