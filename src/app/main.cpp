#include "AllocatorTuning.h"
#include "OnDeviceVision.h"
#include "Symbols.h"
#include "VantelApp.h"

#include <QApplication>
#include <QSystemTrayIcon>
#include <QThreadPool>
#include <cstdio>

namespace {

// Vantel writes no log: in release builds Qt's own messages go nowhere. A
// fatal message still reaches stderr, since it explains why the process ends.
void quiet(QtMsgType type, const QMessageLogContext&, const QString& text)
{
    if (type == QtFatalMsg) {
        const QByteArray line = text.toLocal8Bit() + '\n';
        std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
        std::fflush(stderr);
    }
}

} // namespace

int main(int argc, char** argv)
{
    tuneAllocatorForLargeImages();
#ifdef NDEBUG
    qInstallMessageHandler(quiet);
#else
    Q_UNUSED(quiet);
#endif
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Vantel"));
    QApplication::setApplicationDisplayName(QStringLiteral("Vantel"));
    QApplication::setDesktopFileName(QStringLiteral("vantel"));
    QApplication::setWindowIcon(Symbols::appIcon());
    QApplication::setQuitOnLastWindowClosed(false);

    // The network loads while the user finds an image.
    OnDeviceVision::shared().startLoading();

    int status = 0;
    {
        VantelApp shell(QSystemTrayIcon::isSystemTrayAvailable());
        status = app.exec();
    }
    // Nothing new starts; the application's teardown waits for an analysis
    // still running (its outcome goes nowhere), and the loader is let finish
    // before the process's own teardown.
    QThreadPool::globalInstance()->clear();
    OnDeviceVision::shared().waitForLoading();
    return status;
}
