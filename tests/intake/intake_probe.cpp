// Runs one file through Vantel's intake and reports, on stdout:
//   line 1: "ok WxH" or the error text the user would see
//   line 2: "peak-kib N", the process's peak resident memory
//   then:   "log: ..." for every Qt message raised on the way
// Nothing is written to stderr, so anything found there came from a library
// writing past Qt's message handling.
//
// Usage: intake_probe PATH | intake_probe --hex HEXBYTES
// (--hex carries file names that are not valid UTF-8 through QProcess.)

#include "AllocatorTuning.h"
#include "ImageIntake.h"
#include "VantelError.h"

#include <QCoreApplication>
#include <QFile>
#include <QStringList>
#include <cstdio>
#include <cstring>

namespace {

QStringList messages;

void keepMessage(QtMsgType, const QMessageLogContext&, const QString& text)
{
    messages << text;
}

long peakKib()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').first().toLong();
    }
    return -1;
}

} // namespace

int main(int argc, char** argv)
{
    // As in vantel and vantel-cut.
    tuneAllocatorForLargeImages();
    qInstallMessageHandler(keepMessage);
    QCoreApplication app(argc, argv);
    QByteArray path;
    if (argc == 3 && std::strcmp(argv[1], "--hex") == 0)
        path = QByteArray::fromHex(argv[2]);
    else if (argc == 2)
        path = argv[1];
    else
        return 2;

    const std::optional<QImage> image = ImageIntake::loadFile(path, 2560.0);
    if (image)
        std::printf("ok %dx%d\n", image->width(), image->height());
    else
        std::printf("%s\n", qPrintable(VantelError::loadFailed().errorDescription()));
    std::printf("peak-kib %ld\n", peakKib());
    for (const QString& m : messages)
        std::printf("log: %s\n", qPrintable(m.simplified()));
    return 0;
}
