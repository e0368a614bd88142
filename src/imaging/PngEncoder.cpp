#include "PngEncoder.h"

#include <csetjmp>
#include <png.h>
#include <zlib.h>

namespace {

struct Sink
{
    QByteArray bytes;
};

void writeBytes(png_structp png, png_bytep data, png_size_t length)
{
    auto* sink = static_cast<Sink*>(png_get_io_ptr(png));
    // No exception may cross libpng's C frames: a failed append ends the
    // encoding through libpng's own error path instead.
    try {
        sink->bytes.append(reinterpret_cast<const char*>(data), qsizetype(length));
    } catch (...) {
        png_error(png, "out of memory");
    }
}

void flushNothing(png_structp) {}

void fail(png_structp png, png_const_charp)
{
    png_longjmp(png, 1);
}

void ignoreWarning(png_structp, png_const_charp) {}

} // namespace

QByteArray PngEncoder::encode(const QImage& image)
{
    if (image.isNull())
        return {};
    const bool grey = image.format() == QImage::Format_Grayscale8;
    const QImage rgba = grey ? image : image.convertToFormat(QImage::Format_RGBA8888);
    if (rgba.isNull())
        return {};

    Sink sink;
    try {
        sink.bytes.reserve(rgba.sizeInBytes() / 3);
    } catch (...) {
        return {};
    }
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, fail, ignoreWarning);
    if (!png)
        return {};
    png_infop info = png_create_info_struct(png);
    if (!info || setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, info ? &info : nullptr);
        return {};
    }
    png_set_write_fn(png, &sink, writeBytes, flushNothing);
    png_set_IHDR(png, info, png_uint_32(rgba.width()), png_uint_32(rgba.height()), 8,
                 grey ? PNG_COLOR_TYPE_GRAY : PNG_COLOR_TYPE_RGBA, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_set_sRGB(png, info, PNG_sRGB_INTENT_PERCEPTUAL);
    png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_FILTER_PAETH);
    png_set_compression_strategy(png, Z_RLE);
    png_write_info(png, info);
    for (int y = 0; y < rgba.height(); ++y)
        png_write_row(png, const_cast<png_bytep>(rgba.constScanLine(y)));
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return sink.bytes;
}
