#include "DropPayload.h"

#include <QMimeData>

DropPayload DropPayload::from(const QMimeData* data)
{
    DropPayload payload;
    if (!data)
        return payload;
    const QList<QUrl> urls = data->urls();
    // Only the first item counts. A first URL that is no local file (a
    // browser's link) falls through to the image data beside it.
    if (!urls.isEmpty() && urls.first().isLocalFile()) {
        payload.fileUrl = urls.first();
        return payload;
    }
    for (const QString& format : data->formats()) {
        if (!format.startsWith(QLatin1String("image/")))
            continue;
        const QByteArray bytes = data->data(format);
        if (!bytes.isEmpty()) {
            payload.imageBytes = bytes;
            payload.imageType = format;
            return payload;
        }
    }
    if (data->hasImage())
        payload.image = qvariant_cast<QImage>(data->imageData());
    return payload;
}

bool DropPayload::acceptable(const QMimeData* data)
{
    if (!data)
        return false;
    const QList<QUrl> urls = data->urls();
    if (!urls.isEmpty() && urls.first().isLocalFile())
        return true;
    for (const QString& format : data->formats()) {
        if (format.startsWith(QLatin1String("image/")))
            return true;
    }
    return data->hasImage();
}
