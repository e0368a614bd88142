#pragma once

#include <QtGlobal>

class QIODevice;

// Checks on an image file's bytes before Qt's readers decode it, for what
// those readers let through: a file cut short or damaged comes back with
// grey or stale fill instead of an error, a few kilobytes can demand
// gigabytes or minutes, and libpng reports its errors straight to stderr.
// Each check reads from the device's current position and seeks back to it.
namespace FormatChecks {

// Inflated text (tEXt, zTXt, iTXt) a PNG may carry: Qt keeps it all, twice.
constexpr qint64 maxPngTextBytes = 16 << 20;
// Scans a JPEG may have; ordinary progressive files use about ten, and each
// scan is a pass over the whole image.
constexpr int maxJpegScans = 100;

// A PNG that libpng reads from its signature through IEND without an error,
// with at most maxPngTextBytes of text. With `headerOnly`, up to the image
// data: what Qt's reader goes through to tell the image's size.
bool pngIsSound(QIODevice* device, bool headerOnly = false);

// A JPEG that libjpeg decodes through its EOI marker without data missing or
// damaged on the way, in at most maxJpegScans scans and within memoryLimit
// bytes of decoder memory (a progressive file keeps every coefficient).
bool jpegIsSound(QIODevice* device, qint64 memoryLimit);

// For a GIF whose first image (the one Vantel reads) is all there, the bytes
// per pixel (of its logical screen) reading it takes: Qt's image, and as
// much again when that image is to be restored after showing (Qt copies
// what it covers). 0 for any other file.
int gifBytesPerPixel(QIODevice* device);

// A BMP that holds all the pixel data its header promises.
bool bmpIsSound(QIODevice* device);

// The bytes per pixel decoding a WebP takes: Qt's image, plus the whole
// image libwebp keeps for a lossless file, plus a canvas for an animation.
int webpBytesPerPixel(QIODevice* device);

} // namespace FormatChecks
