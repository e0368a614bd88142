// The checks that need no decoding library: GIF and BMP structure, the kind
// of a WebP. (PNG and JPEG: PngCheck.cpp, JpegCheck.cpp.)
#include "FormatChecks.h"

#include <QIODevice>
#include <QtEndian>
#include <cstring>

namespace {

// Reads a device from where it stands and puts it back there when done.
class Bytes
{
public:
    explicit Bytes(QIODevice* device) : m_device(device), m_start(device->pos()) {}
    ~Bytes() { m_device->seek(m_start); }
    Bytes(const Bytes&) = delete;
    Bytes& operator=(const Bytes&) = delete;

    bool read(char* out, qint64 n) { return m_device->read(out, n) == n; }
    // The next byte, or -1 at the end.
    int byte()
    {
        char c = 0;
        return m_device->getChar(&c) ? quint8(c) : -1;
    }
    // Skips n bytes that must all be there.
    bool skip(qint64 n)
    {
        const qint64 to = m_device->pos() + n;
        return n >= 0 && to <= m_device->size() && m_device->seek(to);
    }
    bool seekFromStart(qint64 offset)
    {
        return offset >= 0 && m_start + offset <= m_device->size() && m_device->seek(m_start + offset);
    }
    qint64 size() const { return m_device->size() - m_start; }

private:
    QIODevice* m_device;
    qint64 m_start;
};

// A chain of GIF data sub-blocks through its empty terminator.
bool skipSubBlocks(Bytes& in)
{
    for (;;) {
        const int n = in.byte();
        if (n <= 0)
            return n == 0;
        if (!in.skip(n))
            return false;
    }
}

// RLE8/RLE4 data runs to its end-of-bitmap code, or covers every row.
bool rleComplete(Bytes& in, bool fourBit, qint64 rows)
{
    qint64 row = 0;
    for (;;) {
        const int count = in.byte();
        const int code = in.byte();
        if (count < 0 || code < 0)
            return row >= rows;
        if (count > 0)
            continue; // a run of one colour
        if (code == 0) {
            if (++row >= rows)
                return true;
        } else if (code == 1) {
            return true;
        } else if (code == 2) {
            const int dx = in.byte();
            const int dy = in.byte();
            if (dx < 0 || dy < 0)
                return false;
            row += dy;
        } else {
            qint64 bytes = fourBit ? (code + 1) / 2 : code;
            bytes += bytes & 1; // literal runs are padded to 16 bits
            if (!in.skip(bytes))
                return false;
        }
    }
}

} // namespace

int FormatChecks::gifBytesPerPixel(QIODevice* device)
{
    Bytes in(device);
    char screen[13];
    if (!in.read(screen, sizeof screen)
        || (std::memcmp(screen, "GIF87a", 6) != 0 && std::memcmp(screen, "GIF89a", 6) != 0))
        return 0;
    const quint8 flags = quint8(screen[10]);
    if ((flags & 0x80) && !in.skip(3 << ((flags & 7) + 1)))
        return 0;
    int disposal = 0;
    for (;;) {
        const int block = in.byte();
        if (block == 0x21) { // an extension: its label, then its data
            const int label = in.byte();
            if (label == 0xF9) { // graphic control: the next image's disposal
                char control[6];
                if (!in.read(control, sizeof control) || control[0] != 4 || control[5] != 0)
                    return 0;
                disposal = (quint8(control[1]) >> 2) & 7;
            } else if (label < 0 || !skipSubBlocks(in)) {
                return 0;
            }
        } else if (block == 0x2C) {
            char descriptor[9];
            if (!in.read(descriptor, sizeof descriptor))
                return 0;
            const quint8 imageFlags = quint8(descriptor[8]);
            if ((imageFlags & 0x80) && !in.skip(3 << ((imageFlags & 7) + 1)))
                return 0;
            if (in.byte() < 0 || !skipSubBlocks(in)) // LZW code size, data
                return 0;
            return disposal == 3 ? 8 : 4;
        } else {
            return 0; // the end, or the trailer, before any image
        }
    }
}

bool FormatChecks::bmpIsSound(QIODevice* device)
{
    Bytes in(device);
    uchar h[54];
    if (!in.read(reinterpret_cast<char*>(h), 18))
        return false;
    const qint64 offset = qFromLittleEndian<quint32>(h + 10);
    const quint32 header = qFromLittleEndian<quint32>(h + 14);
    qint64 width = 0, rows = 0;
    int bits = 0;
    quint32 compression = 0;
    if (header == 12) {
        if (!in.read(reinterpret_cast<char*>(h + 18), 8))
            return false;
        width = qFromLittleEndian<quint16>(h + 18);
        rows = qFromLittleEndian<quint16>(h + 20);
        bits = qFromLittleEndian<quint16>(h + 24);
    } else if (header >= 40) {
        if (!in.read(reinterpret_cast<char*>(h + 18), 36))
            return false;
        width = qFromLittleEndian<qint32>(h + 18);
        rows = qAbs(qint64(qFromLittleEndian<qint32>(h + 22)));
        bits = qFromLittleEndian<quint16>(h + 28);
        compression = qFromLittleEndian<quint32>(h + 30);
    } else {
        return false;
    }
    switch (compression) {
    case 0: // uncompressed, plain or with bit fields
    case 3:
    case 6: {
        // stride * rows <= room, without multiplying: both may be huge.
        const qint64 stride = (width * bits + 31) / 32 * 4;
        const qint64 room = in.size() - offset;
        return width >= 0 && room >= 0 && (rows == 0 || stride <= room / rows);
    }
    case 1:
    case 2:
        return in.seekFromStart(offset) && rleComplete(in, compression == 2, rows);
    default:
        return true; // Qt's reader turns these down itself
    }
}

int FormatChecks::webpBytesPerPixel(QIODevice* device)
{
    Bytes in(device);
    char riff[12];
    char chunk[8];
    if (!in.read(riff, sizeof riff) || !in.read(chunk, sizeof chunk))
        return 8;
    // Lossy: Qt's image only. Lossless: libwebp decodes the whole image into
    // a buffer of its own first.
    for (;;) {
        if (std::memcmp(chunk, "VP8 ", 4) == 0)
            return 5; // 4 for the image, at most 1 for a separate alpha plane
        if (std::memcmp(chunk, "VP8L", 4) == 0)
            return 8;
        const quint32 size = qFromLittleEndian<quint32>(chunk + 4);
        if (std::memcmp(chunk, "VP8X", 4) == 0) {
            const int flags = in.byte();
            if (flags < 0)
                return 8;
            if (flags & 0x02)
                return 12; // animated: a frame, libwebp's buffer and the canvas
            if (!in.skip(qint64(size) - 1 + (size & 1)))
                return 8;
        } else if (!in.skip(qint64(size) + (size & 1))) {
            return 8;
        }
        if (!in.read(chunk, sizeof chunk))
            return 8;
    }
}
