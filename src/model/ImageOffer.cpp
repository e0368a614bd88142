#include "ImageOffer.h"

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
    for (const QString& format : data->formats()) {
        if (!format.startsWith(QLatin1String("image/")))
            continue;
        QByteArray bytes = data->data(format);
        if (!bytes.isEmpty())
            offer.encoded.append(std::move(bytes));
    }
    // Only without encoded data: anything else would decode it a second
    // time, by other rules.
    if (offer.encoded.isEmpty() && data->hasImage())
        offer.image = qvariant_cast<QImage>(data->imageData());
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
