#pragma once

#include <QByteArray>
#include <QImage>
#include <QUrl>
#include <optional>

// Turns input into the working bitmap: decoded with the file's orientation
// applied, as 8-bit RGBA in sRGB, its longer side at most maxSide. Stateless;
// none when the input cannot be made into a bitmap.
class ImageIntake final
{
public:
    ImageIntake() = delete;

    // A local image file, by URL or by its path in the file system's own
    // bytes (names that are not UTF-8 included).
    static std::optional<QImage> load(const QUrl& url, double maxSide);
    static std::optional<QImage> loadFile(const QByteArray& path, double maxSide);
    // Encoded image bytes (dropped or pasted data).
    static std::optional<QImage> loadData(const QByteArray& bytes, double maxSide);
    // Any image, whatever its pixel format and colour space.
    static std::optional<QImage> normalize(const QImage& image, double maxSide);

    // The path of a local file URL as the file system's bytes: its percent
    // escapes decoded to bytes, not through UTF-8. Empty for other URLs.
    static QByteArray nativePath(const QUrl& url);
};
