#include "TestImages.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QImageWriter>
#include <QPainter>
#include <QStandardPaths>
#include <cstdlib>

namespace TestImages {

QImage quadrants(int w, int h)
{
    QImage image(w, h, QImage::Format_RGBA8888);
    QPainter painter(&image);
    painter.fillRect(0, 0, w / 2, h / 2, Qt::red);
    painter.fillRect(w / 2, 0, w - w / 2, h / 2, Qt::green);
    painter.fillRect(0, h / 2, w / 2, h - h / 2, Qt::blue);
    painter.fillRect(w / 2, h / 2, w - w / 2, h - h / 2, Qt::white);
    return image;
}

QImage gradient(int w, int h)
{
    QImage image(w, h, QImage::Format_RGB32);
    QLinearGradient g(0, 0, w, h);
    g.setColorAt(0, Qt::red);
    g.setColorAt(0.5, Qt::yellow);
    g.setColorAt(1, Qt::blue);
    QPainter(&image).fillRect(image.rect(), g);
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
    // An APP1 segment of 34 bytes: "Exif", a little-endian TIFF header, and
    // one IFD holding the Orientation tag (0x0112, one SHORT).
    const QByteArray app1 = QByteArray("\xFF\xE1\0\x22"
                                       "Exif\0\0"
                                       "II*\0\x08\0\0\0"
                                       "\x01\0\x12\x01\x03\0\x01\0\0\0",
                                       28) +
                            char(orientation) + QByteArray(7, '\0');
    const QByteArray jpeg = encode(image, "jpeg", 95);
    return jpeg.left(2) + app1 + jpeg.mid(2);
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
