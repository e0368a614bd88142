#pragma once

#include <QByteArray>
#include <QColor>
#include <QImage>
#include <QString>

// Small images and encoded files built in code for the tests.
namespace TestImages {

// An image of one colour, by default the size of the maps FakeVision's
// twoSubjects makes.
inline QImage filled(QColor colour = Qt::red, QSize size = QSize(40, 30),
                     QImage::Format format = QImage::Format_RGBA8888)
{
    QImage image(size, format);
    image.fill(colour);
    return image;
}

// A w x h RGBA8888 image with four solid quadrants: red, green / blue, white.
QImage quadrants(int w, int h);

// A w x h RGB32 diagonal gradient from red through yellow to blue.
QImage gradient(int w, int h);

// `image` encoded in `format` ("png", "jpeg", "tiff", ...); quality -1 is the
// writer's default.
QByteArray encode(const QImage& image, const char* format, int quality = -1);

// JPEG bytes of `image` carrying an EXIF orientation tag (1 to 8).
QByteArray jpegWithOrientation(const QImage& image, int orientation);

// Writes bytes to path; false on failure.
bool writeFile(const QString& path, const QByteArray& bytes);

// One of the photos scripts/setup puts in Vantel's cache folder (astronaut.png,
// chelsea.png, coffee.png, motorcycle_left.png, rocket.jpg); the path is
// returned whether or not the file is there.
QString photo(const QString& name);

// Largest per-channel difference between two colours.
int channelDistance(QColor a, QColor b);

} // namespace TestImages
