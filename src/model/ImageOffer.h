#pragma once

#include <QByteArray>
#include <QImage>
#include <QList>
#include <QUrl>
#include <optional>

class QMimeData;

// What the clipboard or a drop offers as an image, read by one rule for
// both and copied out at once (a drag's QMimeData dies with the drag).
// Intake tries it in this order: the image file, then each piece of image
// data until one decodes, then an image object.
struct ImageOffer
{
    // The first local file whose name's extension names an image type.
    std::optional<QUrl> imageFile;
    // The first local file of any kind: a drop still takes it, to say why
    // it cannot be read.
    std::optional<QUrl> anyFile;
    // The bytes of every image/* format, in the order offered.
    QList<QByteArray> encoded;
    // An image object put there within this process.
    QImage image;

    static ImageOffer read(const QMimeData* data);
    // Whether a drop of `data` would be taken, without copying any bytes
    // (asked on every move while a drag hovers).
    static bool droppable(const QMimeData* data);
    // Whether anything here can be tried as an image, or reported on.
    bool droppable() const { return anyFile || !encoded.isEmpty() || !image.isNull(); }

    // Whether a local file counts as an image by its name's extension alone.
    static bool hasImageExtension(const QUrl& url);

    // Tries the offer in order and returns the first image that decodes,
    // normalized to maxSide; none when nothing does. `fileTried` tells
    // whether a file was tried (its failure is an unreadable image, not an
    // empty offer). Runs on any thread.
    std::optional<QImage> decode(double maxSide, bool* fileTried) const;
};
