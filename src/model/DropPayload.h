#pragma once

#include <QByteArray>
#include <QImage>
#include <QString>
#include <QUrl>
#include <optional>

class QMimeData;

// What a drop carried, copied out of the drag's QMimeData while it still
// exists: the first URL when it is a local file, otherwise image bytes (or,
// from within a Qt application, an image object).
struct DropPayload
{
    std::optional<QUrl> fileUrl;
    QByteArray imageBytes;
    QString imageType;
    QImage image;

    static DropPayload from(const QMimeData* data);
    // Whether a drag carrying `data` would be taken, without copying its
    // bytes (asked on every move while a drag hovers).
    static bool acceptable(const QMimeData* data);
    // Whether a drop of this would be taken (drives the hover look too).
    bool usable() const { return fileUrl || !imageBytes.isEmpty() || !image.isNull(); }
};
