#include "TranslationFile.h"

#include <cstring>

namespace {

// The layout Qt's translator reads: a magic number, then blocks of a tag
// byte, a big-endian length and that many bytes.
constexpr unsigned char magic[16] = {0x3C, 0xB8, 0x64, 0x18, 0xCA, 0xEF, 0x9C, 0x95,
                                     0xCD, 0x21, 0x1C, 0xBF, 0x60, 0xA1, 0xBD, 0xDD};
enum Block : unsigned char {
    contexts = 0x2f,
    hashes = 0x42,
    messages = 0x69,
    dependencies = 0x96,
    unknownBlock = 0xfe,
};
// The fields of one message.
enum Field : unsigned char {
    end = 1,
    translation = 3,
    obsolete1 = 5,
    sourceText = 6,
    context = 7,
    comment = 8,
};

// A bounded stretch of the file.
struct Span
{
    const unsigned char* data = nullptr;
    quint32 size = 0;

    bool holds(quint32 at, quint32 bytes) const { return at <= size && bytes <= size - at; }
    quint32 read16(quint32 at) const { return quint32(data[at]) << 8 | data[at + 1]; }
    quint32 read32(quint32 at) const
    {
        return quint32(data[at]) << 24 | quint32(data[at + 1]) << 16 | quint32(data[at + 2]) << 8 |
               data[at + 3];
    }
};

// A message from `at`: fields until its end mark, each inside the block.
bool messageIsSound(const Span& block, quint32 at)
{
    while (block.holds(at, 1)) {
        const unsigned char field = block.data[at++];
        switch (field) {
        case end:
            return true;
        case obsolete1:
            if (!block.holds(at, 4))
                return false;
            at += 4;
            break;
        case translation:
        case sourceText:
        case context:
        case comment: {
            if (!block.holds(at, 4))
                return false;
            const quint32 length = block.read32(at);
            at += 4;
            // A translation is UTF-16; Qt reads its length as a signed int.
            if (field == translation && (length % 2 != 0 || length > 0x7fffffffu))
                return false;
            if (!block.holds(at, length))
                return false;
            at += length;
            break;
        }
        default:
            // Qt stops at a field it does not know; so would a lookup here.
            return true;
        }
    }
    return false;
}

// The hash table: pairs of (hash, offset into the messages), each offset the
// start of a sound message.
bool hashesAreSound(const Span& table, const Span& messageBlock)
{
    if (table.size % 8 != 0)
        return false;
    for (quint32 at = 0; at < table.size; at += 8) {
        const quint32 offset = table.read32(at + 4);
        if (offset >= messageBlock.size || !messageIsSound(messageBlock, offset))
            return false;
    }
    return true;
}

} // namespace

std::optional<QByteArray> TranslationFile::readable(const QByteArray& data)
{
    if (data.size() < qsizetype(sizeof magic) || data.size() > maxBytes ||
        std::memcmp(data.constData(), magic, sizeof magic) != 0)
        return std::nullopt;
    QByteArray result = data;
    auto* bytes = reinterpret_cast<unsigned char*>(result.data());
    const Span file{bytes, quint32(result.size())};
    // The blocks, walked as Qt walks them (it keeps the last of each kind),
    // to the last byte Qt could take for a block's header.
    Span found[256];
    quint32 at = sizeof magic;
    while (file.holds(at, 5)) {
        const unsigned char tag = bytes[at];
        const quint32 length = file.read32(at + 1);
        if (tag == 0 || length == 0)
            break;
        if (!file.holds(at + 5, length))
            return std::nullopt;
        // The table of contexts only spares a lookup the search of the hash
        // table; lrelease leaves its last list of names unterminated, so
        // Qt may read past it. Under a tag Qt does not know, it is skipped.
        if (tag == contexts)
            bytes[at] = unknownBlock;
        else
            found[tag] = Span{bytes + at + 5, length};
        at += 5 + length;
    }
    if (found[dependencies].data || !found[hashes].data || !found[messages].data)
        return std::nullopt;
    // Qt checks the plural rules itself.
    if (!hashesAreSound(found[hashes], found[messages]))
        return std::nullopt;
    return result;
}
