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
    OnDeviceVision vision(OnDeviceVision::defaultNetworkPath());
    vision.startLoading();

    int status = 0;
    {
        VantelModel::Dependencies dependencies;
        dependencies.vision = &vision;
        VantelApp shell(QSystemTrayIcon::isSystemTrayAvailable(), dependencies);
        status = app.exec();
    }
    // Nothing new starts, and an analysis still running is let finish (its
    // outcome goes nowhere) before the service it uses goes away.
    QThreadPool::globalInstance()->clear();
    QThreadPool::globalInstance()->waitForDone();
    return status;
}
