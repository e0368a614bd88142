#pragma once

#include <QByteArray>
#include <QImage>
#include <QList>
#include <QUrl>
#include <optional>

class QMimeData;

// What the clipboard or a drop offers as an image, read by one rule for
// both and copied out at once (a drag's QMimeData dies with the drag).
// Intake tries it in this order: the first file that is an image, then each
// piece of image data until one decodes, then an image object.
struct ImageOffer
{
    // Every local file offered, in order. A file is an image when its
    // name's extension names an image type or, failing that, when its
    // content is in one of the formats Vantel reads: a photo saved without
    // an extension, or under the wrong one, still opens.
    QList<QUrl> files;
    // The bytes of every image/* format, in the order offered.
    QList<QByteArray> encoded;
    // An image object put there within this process.
    QImage image;

    static ImageOffer read(const QMimeData* data);
    // Whether a drop of `data` would be taken, without copying any bytes
    // (asked on every move while a drag hovers).
    static bool droppable(const QMimeData* data);
    // Whether anything here can be tried as an image, or reported on: a
    // drop takes any file, to say why it cannot be read.
    bool droppable() const { return !files.isEmpty() || !encoded.isEmpty() || !image.isNull(); }

    // Whether a local file counts as an image: by its extension, or by its
    // content. Reads the file's first bytes: not on the GUI thread.
    static bool isImageFile(const QUrl& url);

    // Tries the offer in order and returns the first image that decodes,
    // normalized to maxSide; none when nothing does. `fileTried` tells
    // whether an image file was tried (its failure is an unreadable image,
    // not an empty offer). Runs on any thread.
    std::optional<QImage> decode(double maxSide, bool* fileTried) const;
};
