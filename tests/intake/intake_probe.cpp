// Runs one file through Vantel's intake and reports, on stdout:
//   line 1: "ok WxH" or the error text the user would see
//   line 2: "peak-kib N", the process's peak resident memory
//   then:   "log: ..." for every Qt message raised on the way
// Nothing is written to stderr, so anything found there came from a library
// writing past Qt's message handling.
//
// Usage: intake_probe PATH

#include "AllocatorTuning.h"
#include "ImageIntake.h"
#include "VantelError.h"

#include <QCoreApplication>
#include <QFile>
#include <QRegularExpression>
#include <QStringList>
#include <cstdio>

static QStringList messages;

int main(int argc, char** argv)
{
    // As in vantel and vantel-cut.
    tuneAllocatorForLargeImages();
    qInstallMessageHandler(
        [](QtMsgType, const QMessageLogContext&, const QString& text) { messages << text; });
    QCoreApplication app(argc, argv);
    if (argc != 2)
        return 2;

    const std::optional<QImage> image = ImageIntake::loadFile(argv[1], 2560.0);
    if (image)
        std::printf("ok %dx%d\n", image->width(), image->height());
    else
        std::printf("%s\n", qPrintable(VantelError::loadFailed().errorDescription()));
    QFile status(QStringLiteral("/proc/self/status"));
    const QRegularExpression peak(QStringLiteral("VmHWM:\\s*(\\d+)"));
    const QRegularExpressionMatch m = status.open(QIODevice::ReadOnly)
                                          ? peak.match(QString::fromLatin1(status.readAll()))
                                          : QRegularExpressionMatch();
    std::printf("peak-kib %s\n", m.hasMatch() ? qPrintable(m.captured(1)) : "-1");
    for (const QString& text : messages)
        std::printf("log: %s\n", qPrintable(text.simplified()));
    return 0;
}
