#include "AllocatorTuning.h"
#include "FocusRingStyle.h"
#include "OnDeviceVision.h"
#include "QuitSignals.h"
#include "SingleInstance.h"
#include "Symbols.h"
#include "Translations.h"
#include "VantelApp.h"

#include <QApplication>
#include <QDBusConnection>
#include <QPointer>
#include <QSystemTrayIcon>
#include <cstdio>
#include <cstdlib>
#include <opencv2/core/utils/logger.hpp>
#include <unistd.h>

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

void say(const QString& text)
{
    const QByteArray line = text.toLocal8Bit() + '\n';
    std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
}

// The one option: started at login, Vantel waits in the tray with its
// panel away; any other launch shows the panel.
const QByteArray trayOption("--tray");

bool startsInTray(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        if (QByteArray(argv[i]) == trayOption)
            return true;
    }
    return false;
}

// The launch's files: what is left of the command line once Qt has taken
// its own options, in the file system's own bytes.
QList<QUrl> launchFiles(int argc, char** argv)
{
    QList<QByteArray> arguments;
    for (int i = 1; i < argc; ++i) {
        if (QByteArray(argv[i]) != trayOption)
            arguments.append(QByteArray(argv[i]));
    }
    char* here = ::getcwd(nullptr, 0);
    const QByteArray folder = here ? QByteArray(here) : QByteArray("/");
    std::free(here);
    return SingleInstance::filesFromArguments(arguments, folder);
}

// The panel's note when a network is missing or broken, in words for the
// user: what Vantel does meanwhile, and how to mend it.
QString missingNetworkNotice(const QString& network, const QString& finders)
{
    if (!network.isEmpty())
        return QCoreApplication::translate(
                   "Vantel", "%1 Until it is, Vantel finds only people. To install it, run "
                             "scripts/install again in Vantel's source folder.")
            .arg(network);
    return QCoreApplication::translate(
               "Vantel", "%1 Subjects are told apart by the outline alone. To install it, run "
                         "scripts/install again in Vantel's source folder.")
        .arg(finders);
}

int run(SingleInstance& instance, const QList<QUrl>& files, bool inTray)
{
    // The service outlives everything below: an analysis still running when
    // the process ends never touches a freed object.
    auto* vision = new OnDeviceVision(OnDeviceVision::defaultNetworkPath());
    VantelModel::Dependencies dependencies;
    dependencies.vision = vision;
    VantelApp shell(QSystemTrayIcon::isSystemTrayAvailable() ? PanelWindow::trayModeHere()
                                                             : PanelWindow::Mode::ordinaryWindow,
                    dependencies);
    // The networks load when the panel opens or an image comes, while the
    // user finds an image; where they cannot, the panel says so and how to
    // mend it.
    QPointer<VantelApp> notify(&shell);
    vision->onLoaded([notify](const QString& network, const QString& finders) {
        if (network.isEmpty() && finders.isEmpty())
            return;
        const QString notice = missingNetworkNotice(network, finders);
        QMetaObject::invokeMethod(qApp, [notify, notice] {
            if (notify)
                notify->setNotice(notice);
        });
    });
    QObject::connect(&instance, &SingleInstance::launched, &shell, &VantelApp::present);
    // Nothing loads until the panel opens or an image comes: a launch at
    // login only puts the icon in the tray.
    if (!inTray || !files.isEmpty())
        shell.present(files);
    QuitSignals quitSignals;
    QObject::connect(&quitSignals, &QuitSignals::received, &shell, &VantelApp::quit);
    return QApplication::exec();
} // the shell takes its temporary files with it

} // namespace

int main(int argc, char** argv)
{
    tuneAllocatorForLargeImages();
#ifdef NDEBUG
    qInstallMessageHandler(quiet);
#else
    Q_UNUSED(quiet);
#endif
    // Nor does OpenCV's own log go anywhere: failures reach the panel.
    cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
    int status = 0;
    {
        QApplication app(argc, argv);
        QApplication::setApplicationName(QStringLiteral("Vantel"));
        QApplication::setApplicationDisplayName(QStringLiteral("Vantel"));
        QApplication::setDesktopFileName(QStringLiteral("vantel"));
        QApplication::setWindowIcon(Symbols::appIcon());
        QApplication::setQuitOnLastWindowClosed(false);
        FocusRingStyle::install();
        Translations::install();

        const QList<QUrl> files = launchFiles(argc, argv);
        SingleInstance instance(QDBusConnection::sessionBus());
        switch (instance.claim(files, qEnvironmentVariable("XDG_ACTIVATION_TOKEN"))) {
        case SingleInstance::Outcome::handedOver:
            return 0;
        case SingleInstance::Outcome::unanswered:
            say(QCoreApplication::translate("Vantel",
                                            "Vantel is running already, but does not answer."));
            return 1;
        case SingleInstance::Outcome::first:
        case SingleInstance::Outcome::alone:
            break;
        }
        status = run(instance, files, startsInTray(argc, argv));
    } // as the application goes, Qt hands the clipboard to a clipboard manager
    // Ends at once: a forward pass still running on the job pool is not
    // waited for, and nothing of it is torn down under it.
    std::fflush(nullptr);
    std::_Exit(status);
}
