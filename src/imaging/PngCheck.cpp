// FormatChecks::pngIsSound: one pass of libpng over the whole file with an
// error handler of our own. Qt's PNG reader leaves libpng's default error
// handler in place, which prints to stderr; a file that gets through this
// pass gives Qt's reader (the same library, the same bytes) no error to print.
#include "FormatChecks.h"

#include <QIODevice>
#include <cstring>
#include <png.h>
#include <vector>
#include <zlib.h>

namespace {

struct PngReading
{
    QIODevice* device = nullptr;
    bool atEnd = false; // reading the chunks after the image data
    qint64 textBytes = 0;
    std::vector<png_byte> row;
};

// The size zlib data inflates to, counted until it passes `limit`.
qint64 inflatedSize(const png_byte* data, size_t size, qint64 limit)
{
    z_stream z{};
    if (inflateInit(&z) != Z_OK)
        return limit + 1;
    z.next_in = const_cast<png_byte*>(data);
    z.avail_in = uInt(size);
    unsigned char out[16384];
    qint64 total = 0;
    int rc = Z_OK;
    while (rc == Z_OK && total <= limit) {
        z.next_out = out;
        z.avail_out = sizeof out;
        rc = inflate(&z, Z_NO_FLUSH);
        total += qint64(sizeof out - z.avail_out);
    }
    inflateEnd(&z);
    return total;
}

// Where the text of a tEXt, zTXt or iTXt chunk starts, and whether it is
// compressed; nullptr for a malformed chunk (which libpng drops).
const png_byte* textOf(const png_unknown_chunk& chunk, bool* compressed)
{
    const png_byte* p = chunk.data;
    const png_byte* end = chunk.data + chunk.size;
    auto afterNul = [&end](const png_byte* from) -> const png_byte* {
        const void* nul = from < end ? std::memchr(from, 0, size_t(end - from)) : nullptr;
        return nul ? static_cast<const png_byte*>(nul) + 1 : nullptr;
    };
    p = afterNul(p); // keyword
    if (!p)
        return nullptr;
    if (std::memcmp(chunk.name, "tEXt", 4) == 0) {
        *compressed = false;
        return p;
    }
    if (std::memcmp(chunk.name, "zTXt", 4) == 0) {
        *compressed = true;
        return p < end ? p + 1 : nullptr; // compression method
    }
    if (end - p < 2)
        return nullptr;
    *compressed = p[0] != 0;
    p = afterNul(p + 2); // flag, method, then the language tag
    return p ? afterNul(p) : nullptr; // and the translated keyword
}

extern "C" {

void pngFail(png_structp png, png_const_charp)
{
    png_longjmp(png, 1);
}

void pngIgnore(png_structp, png_const_charp) {}

void pngRead(png_structp png, png_bytep data, size_t length)
{
    PngReading* reading = static_cast<PngReading*>(png_get_io_ptr(png));
    QIODevice* device = reading->device;
    // Qt's reader makes up the final CRC of a file that ends without it.
    if (reading->atEnd && length == 4 && device->size() - device->pos() < 4) {
        static const png_byte iendCrc[4] = {0xae, 0x42, 0x60, 0x82};
        std::memcpy(data, iendCrc, 4);
        device->seek(device->size());
        return;
    }
    while (length > 0) {
        const qint64 n = device->read(reinterpret_cast<char*>(data), qint64(length));
        if (n <= 0)
            png_error(png, "cut short");
        data += n;
        length -= size_t(n);
    }
}

// Text chunks are counted here instead of stored: Qt's reader would keep them
// all (300 zTXt chunks of 8 MB each fit in a 2 MB file).
int pngTextChunk(png_structp png, png_unknown_chunkp chunk)
{
    const bool text = std::memcmp(chunk->name, "tEXt", 4) == 0
                      || std::memcmp(chunk->name, "zTXt", 4) == 0
                      || std::memcmp(chunk->name, "iTXt", 4) == 0;
    if (!text)
        return 0;
    PngReading* reading = static_cast<PngReading*>(png_get_user_chunk_ptr(png));
    bool compressed = false;
    const png_byte* body = textOf(*chunk, &compressed);
    if (body) {
        const size_t size = size_t(chunk->data + chunk->size - body);
        const qint64 room = FormatChecks::maxPngTextBytes - reading->textBytes;
        reading->textBytes += compressed ? inflatedSize(body, size, room) : qint64(size);
    }
    if (reading->textBytes > FormatChecks::maxPngTextBytes)
        png_error(png, "too much text");
    return 1;
}

} // extern "C"

// No C++ object with a destructor lives in this frame: libpng leaves it by
// longjmp on any error.
bool readThrough(png_structp png, png_infop info, PngReading* reading, bool headerOnly)
{
    if (setjmp(png_jmpbuf(png)))
        return false;
    png_set_read_fn(png, reading, pngRead);
#if defined(PNG_SET_OPTION_SUPPORTED) && defined(PNG_MAXIMUM_INFLATE_WINDOW)
    // As Qt's reader, which accepts streams with a wrongly declared window.
    png_set_option(png, PNG_MAXIMUM_INFLATE_WINDOW, PNG_OPTION_ON);
#endif
    static const png_byte textChunks[] = "tEXt\0zTXt\0iTXt";
    png_set_keep_unknown_chunks(png, PNG_HANDLE_CHUNK_ALWAYS, textChunks, 3);
    png_set_read_user_chunk_fn(png, reading, pngTextChunk);

    png_read_info(png, info);
    if (headerOnly)
        return true;
    const int passes = png_set_interlace_handling(png);
    png_read_update_info(png, info);
    const png_uint_32 height = png_get_image_height(png, info);
    reading->row.resize(png_get_rowbytes(png, info));
    for (int pass = 0; pass < passes; ++pass) {
        for (png_uint_32 y = 0; y < height; ++y)
            png_read_row(png, reading->row.data(), nullptr);
    }
    reading->atEnd = true;
    png_read_end(png, nullptr);
    return true;
}

} // namespace

bool FormatChecks::pngIsSound(QIODevice* device, bool headerOnly)
{
    const qint64 start = device->pos();
    PngReading reading;
    reading.device = device;
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, pngFail, pngIgnore);
    if (!png)
        return false;
    png_infop info = png_create_info_struct(png);
    const bool sound = info && readThrough(png, info, &reading, headerOnly);
    png_destroy_read_struct(&png, info ? &info : nullptr, nullptr);
    device->seek(start);
    return sound;
}
