#include "TestImages.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QImageWriter>
#include <QStandardPaths>
#include <cstdlib>

namespace TestImages {

QImage quadrants(int w, int h)
{
    QImage image(w, h, QImage::Format_RGBA8888);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const bool right = x >= w / 2;
            const bool bottom = y >= h / 2;
            const QColor c =
                !bottom ? (right ? Qt::green : Qt::red) : (right ? Qt::white : Qt::blue);
            image.setPixelColor(x, y, c);
        }
    }
    return image;
}

QByteArray encode(const QImage& image, const char* format, int quality)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, format);
    writer.setQuality(quality);
    writer.write(image);
    return bytes;
}

QByteArray jpegWithOrientation(const QImage& image, int orientation)
{
    const QByteArray jpeg = encode(image, "jpeg", 95);
    // APP1 "Exif": a little-endian TIFF header and one IFD with one entry.
    QByteArray tiff;
    auto u16 = [&tiff](quint16 v) {
        tiff.append(char(v & 0xff));
        tiff.append(char(v >> 8));
    };
    auto u32 = [&tiff](quint32 v) {
        for (int i = 0; i < 4; ++i)
            tiff.append(char((v >> (8 * i)) & 0xff));
    };
    tiff.append("II", 2);
    u16(42);
    u32(8);      // IFD0 offset
    u16(1);      // one entry
    u16(0x0112); // Orientation
    u16(3);      // SHORT
    u32(1);      // count
    u16(quint16(orientation));
    u16(0); // padding of the value field
    u32(0); // no next IFD
    const QByteArray payload = QByteArray("Exif\0\0", 6) + tiff;
    QByteArray segment("\xFF\xE1", 2);
    const quint16 length = quint16(payload.size() + 2);
    segment.append(char(length >> 8));
    segment.append(char(length & 0xff));
    segment += payload;
    return jpeg.left(2) + segment + jpeg.mid(2);
}

bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QString photo(const QString& name)
{
    const QString cache = QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation);
    return QDir(cache).filePath(QStringLiteral("vantel/photos/") + name);
}

int channelDistance(QColor a, QColor b)
{
    return std::max({std::abs(a.red() - b.red()), std::abs(a.green() - b.green()),
                     std::abs(a.blue() - b.blue()), std::abs(a.alpha() - b.alpha())});
}

} // namespace TestImages
