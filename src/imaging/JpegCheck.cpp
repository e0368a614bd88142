// FormatChecks::jpegIsSound: one pass of libjpeg over the whole file, at an
// eighth of the size (the entropy decoding is what finds damage, and it is
// the same at any scale). Qt's JPEG reader makes up an end marker when the
// data runs out and carries on past damaged data with a warning, so a file
// cut short comes back mostly grey; here both mean the file is refused.
#include "FormatChecks.h"

#include <QIODevice>
#include <algorithm>
#include <climits>
#include <csetjmp>
#include <cstdio>
#include <memory>

extern "C" {
#include <jpeglib.h>
// After jpeglib.h: which messages exist depends on its configuration.
#include <jerror.h>
}

namespace {

struct JpegReading
{
    jpeg_source_mgr source; // first: libjpeg holds a pointer to it
    QIODevice* device;
    bool ranOut;
    JOCTET buffer[65536];
};

struct JpegErrors
{
    jpeg_error_mgr manager; // first: libjpeg holds a pointer to it
    jmp_buf jump;
    bool damaged;
};

extern "C" {

void initSource(j_decompress_ptr) {}

void termSource(j_decompress_ptr) {}

boolean fillInput(j_decompress_ptr cinfo)
{
    JpegReading* reading = reinterpret_cast<JpegReading*>(cinfo->src);
    const qint64 n = reading->device->read(reinterpret_cast<char*>(reading->buffer),
                                           qint64(sizeof reading->buffer));
    reading->source.next_input_byte = reading->buffer;
    if (n <= 0) {
        // As libjpeg recommends: an end marker, so decoding stops.
        reading->ranOut = true;
        reading->buffer[0] = 0xFF;
        reading->buffer[1] = JPEG_EOI;
        reading->source.bytes_in_buffer = 2;
    } else {
        reading->source.bytes_in_buffer = size_t(n);
    }
    return TRUE;
}

void skipInput(j_decompress_ptr cinfo, long count)
{
    JpegReading* reading = reinterpret_cast<JpegReading*>(cinfo->src);
    if (count <= 0)
        return;
    if (size_t(count) <= reading->source.bytes_in_buffer) {
        reading->source.next_input_byte += count;
        reading->source.bytes_in_buffer -= size_t(count);
        return;
    }
    const qint64 beyond = qint64(count) - qint64(reading->source.bytes_in_buffer);
    reading->source.bytes_in_buffer = 0;
    reading->device->seek(reading->device->pos() + beyond);
}

void failJpeg(j_common_ptr cinfo)
{
    longjmp(reinterpret_cast<JpegErrors*>(cinfo->err)->jump, 1);
}

// Warnings that mean pixels are missing or wrong. Others (stray bytes
// between segments, an unknown JFIF version, a bad ICC marker) leave the
// picture whole.
void noteMessage(j_common_ptr cinfo, int level)
{
    if (level >= 0)
        return;
    switch (cinfo->err->msg_code) {
    case JWRN_ARITH_BAD_CODE:
    case JWRN_BOGUS_PROGRESSION:
    case JWRN_HIT_MARKER:
    case JWRN_HUFF_BAD_CODE:
    case JWRN_JPEG_EOF:
    case JWRN_MUST_RESYNC:
        reinterpret_cast<JpegErrors*>(cinfo->err)->damaged = true;
        break;
    default:
        break;
    }
    cinfo->err->num_warnings++;
}

void silent(j_common_ptr) {}

void watchScans(j_common_ptr cinfo)
{
    if (reinterpret_cast<j_decompress_ptr>(cinfo)->input_scan_number > FormatChecks::maxJpegScans)
        failJpeg(cinfo);
}

} // extern "C"

// No C++ object with a destructor lives in this frame: libjpeg leaves it by
// longjmp on any error.
bool decodeThrough(jpeg_decompress_struct* cinfo, JpegErrors* errors, JpegReading* reading,
                   jpeg_progress_mgr* progress, long memoryLimit)
{
    if (setjmp(errors->jump))
        return false;
    jpeg_create_decompress(cinfo);
    // Past this, libjpeg fails instead of allocating (it has no backing store).
    cinfo->mem->max_memory_to_use = memoryLimit;
    cinfo->src = &reading->source;
    cinfo->progress = progress;
    if (jpeg_read_header(cinfo, TRUE) != JPEG_HEADER_OK)
        return false;
    cinfo->scale_num = 1;
    cinfo->scale_denom = 8;
    cinfo->dct_method = JDCT_IFAST;
    cinfo->do_fancy_upsampling = FALSE;
    cinfo->do_block_smoothing = FALSE;
    jpeg_start_decompress(cinfo);
    JSAMPARRAY row = (*cinfo->mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(cinfo), JPOOL_IMAGE,
                                                 cinfo->output_width * cinfo->output_components, 1);
    while (cinfo->output_scanline < cinfo->output_height)
        jpeg_read_scanlines(cinfo, row, 1);
    jpeg_finish_decompress(cinfo);
    return !reading->ranOut && !errors->damaged;
}

} // namespace

bool FormatChecks::jpegIsSound(QIODevice* device, qint64 memoryLimit)
{
    if (memoryLimit <= 0)
        return false;
    const qint64 start = device->pos();
    jpeg_decompress_struct cinfo{};
    JpegErrors errors{};
    cinfo.err = jpeg_std_error(&errors.manager);
    errors.manager.error_exit = failJpeg;
    errors.manager.emit_message = noteMessage;
    errors.manager.output_message = silent;
    const auto reading = std::make_unique<JpegReading>();
    reading->device = device;
    reading->source.init_source = initSource;
    reading->source.fill_input_buffer = fillInput;
    reading->source.skip_input_data = skipInput;
    reading->source.resync_to_restart = jpeg_resync_to_restart;
    reading->source.term_source = termSource;
    jpeg_progress_mgr progress{};
    progress.progress_monitor = watchScans;
    const long limit = long(std::min<qint64>(memoryLimit, qint64(LONG_MAX)));
    const bool sound = decodeThrough(&cinfo, &errors, reading.get(), &progress, limit);
    jpeg_destroy_decompress(&cinfo);
    device->seek(start);
    return sound;
}
