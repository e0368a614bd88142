#pragma once

#include <QByteArray>
#include <QImage>
#include <QList>
#include <QSize>
#include <QString>
#include <optional>

class QIODevice;

// Decodes files and in-memory image data with one policy: EXIF orientation
// applied, full-quality JPEG decoding, JPEGs read at a reduced scale when
// they are far larger than needed, and nothing accepted that is not sound:
//  - only PNG, JPEG, GIF, WebP, BMP and TIFF (SVG is not read at all: Qt's
//    SVG reader loads any local file an <image> names, FIFOs included);
//  - only regular files, opened without blocking;
//  - no file cut short or damaged (Qt's readers would fill the gap);
//  - no more than 250 megapixels declared, and no more decoder memory than
//    the allocation limit, so no accepted file takes much over 1.5 GiB.
class ImageDecoder final
{
public:
    ImageDecoder() = delete;

    // Anything declaring more pixels than this is refused before decoding.
    static constexpr qint64 maxPixels = 250'000'000;
    // Memory the decoding itself may take, in MiB: the decoded image plus
    // what the format's library keeps beside it. 250 megapixels at 8 bits
    // per channel fit; at 16 bits, about 150.
    static constexpr int allocationLimitMiB = 1152;
    static constexpr qint64 decodeBudget = qint64(allocationLimitMiB) << 20;

    // `path` in the file system's own bytes.
    // The formats read, as Qt names them: PNG, JPEG, GIF, WebP, BMP and TIFF.
    static QList<QByteArray> formats();

    // Whether the file at `path` holds one of those formats by its content,
    // whatever its name says. Reads only the first bytes.
    static bool isImageFile(const QByteArray& path);

    static std::optional<QImage> decodeFile(const QByteArray& path, double maxSide);
    static std::optional<QImage> decodeData(const QByteArray& data, double maxSide);
    // `device` must be seekable. `budget` (bytes) is decodeBudget but in tests.
    static std::optional<QImage> decode(QIODevice* device, double maxSide,
                                        qint64 budget = decodeBudget);

    // The power-of-two reduction (1, 2, 4 or 8) a JPEG of the given stored
    // size may be decoded at: it must divide both sides exactly and keep the
    // longer side at or above maxSide, so the final reduction stays ours.
    static int jpegReduction(QSize stored, double maxSide);
};
