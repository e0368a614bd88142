// libFuzzer target: any bytes through the intake's data path, as a drop or a
// paste brings them: what ImageIntake::loadData does (format checks,
// decoding, reduction, conversion to sRGB RGBA8888), with the decoder's
// memory budget at 64 MiB instead of 1152. Legitimately huge images (the
// bombs of the hostile corpus) take minutes each under the sanitizers and
// coverage; the decoder's own budget turns them down at once here, and
// tst_hostile runs them at full size. Built and run by scripts/fuzz.
#include "ImageIntake.h"
#include "ImageDecoder.h"

#include <QBuffer>
#include <QByteArray>
#include <QCoreApplication>
#include <cstdint>

namespace {

void quiet(QtMsgType, const QMessageLogContext&, const QString&) {}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    // Qt's image format plugins are found through the application object.
    static int count = *argc;
    static QCoreApplication app(count, *argv);
    qInstallMessageHandler(quiet);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    QBuffer buffer;
    buffer.setData(reinterpret_cast<const char*>(data), qsizetype(size));
    if (!buffer.open(QIODevice::ReadOnly))
        return 0;
    const std::optional<QImage> decoded = ImageDecoder::decode(&buffer, 2560.0, qint64(64) << 20);
    if (!decoded)
        return 0;
    const std::optional<QImage> image = ImageIntake::normalize(*decoded, 2560.0);
    // Whatever comes out is a usable working image.
    if (!image || image->isNull() || image->format() != QImage::Format_RGBA8888
        || image->width() > 2560 || image->height() > 2560)
        __builtin_trap();
    return 0;
}
