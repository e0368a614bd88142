#pragma once

#include <QByteArray>
#include <QImage>
#include <QSize>
#include <QString>
#include <optional>

class QIODevice;

// Decodes files and in-memory image data with one policy: EXIF orientation
// applied, full-quality JPEG decoding, a guard against absurd declared sizes,
// and JPEGs read at a reduced scale when they are far larger than needed.
class ImageDecoder final
{
public:
    ImageDecoder() = delete;

    // Anything declaring more pixels than this is refused before decoding.
    static constexpr qint64 maxPixels = 250'000'000;
    // Decoder allocation limit in MiB: enough for the largest accepted image
    // at 16 bits per channel.
    static constexpr int allocationLimitMiB = 2048;

    // `path` in the file system's own bytes.
    static std::optional<QImage> decodeFile(const QByteArray& path, double maxSide);
    static std::optional<QImage> decodeData(const QByteArray& data, double maxSide);
    static std::optional<QImage> decode(QIODevice* device, double maxSide);

    // The power-of-two reduction (1, 2, 4 or 8) a JPEG of the given stored
    // size may be decoded at: it must divide both sides exactly and keep the
    // longer side at or above maxSide, so the final reduction stays ours.
    static int jpegReduction(QSize stored, double maxSide);
};
