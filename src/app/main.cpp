#include "AllocatorTuning.h"
#include "OnDeviceVision.h"
#include "QuitSignals.h"
#include "Symbols.h"
#include "VantelApp.h"

#include <QApplication>
#include <QPointer>
#include <QSystemTrayIcon>
#include <cstdio>
#include <cstdlib>

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

    // The service outlives everything below: an analysis still running when
    // the process ends never touches a freed object.
    auto* vision = new OnDeviceVision(OnDeviceVision::defaultNetworkPath());
    int status = 0;
    {
        VantelModel::Dependencies dependencies;
        dependencies.vision = vision;
        VantelApp shell(QSystemTrayIcon::isSystemTrayAvailable(), dependencies);
        // The network loads while the user finds an image; where it cannot,
        // the panel says so and how to mend it.
        QPointer<VantelApp> notify(&shell);
        vision->startLoading([notify](const QString& reason) {
            if (reason.isEmpty())
                return;
            QMetaObject::invokeMethod(qApp, [notify, reason] {
                if (notify)
                    notify->setNotice(
                        QCoreApplication::translate("Vantel", "%1 Until scripts/setup installs it, "
                                                              "only people are found.")
                            .arg(reason));
            });
        });
        QuitSignals quitSignals;
        QObject::connect(&quitSignals, &QuitSignals::received, &shell, &VantelApp::quit);
        status = app.exec();
    } // the shell takes its temporary files with it
    // Ends at once, without waiting for a forward pass still running.
    std::fflush(nullptr);
    std::_Exit(status);
}
