#include "ContentView.h"
#include "ImageDecoder.h"
#include "ImageIntake.h"
#include "ModelDoubles.h"
#include "PanelWindow.h"
#include "PrivateBus.h"
#include "QuitSignals.h"
#include "ResultDrag.h"
#include "SingleInstance.h"
#include "VantelApp.h"

#include <QApplication>
#include <QDBusConnectionInterface>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QMimeData>
#include <QPushButton>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThreadPool>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <csignal>
#include <thread>

// A vision service that takes its time, on the real thread pool.
class SlowVision final : public VisionService
{
public:
    std::atomic<int> started{0}, finished{0};
    bool instanceMasksAvailable() override { return true; }
    std::optional<InstanceMask> generateForegroundInstanceMask(const QImage&) override
    {
        ++started;
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
        ++finished;
        return twoSubjects(40, 30);
    }
    cv::Mat generateRegionMatte(const QImage&, const cv::Rect& region) override
    {
        return cv::Mat::zeros(region.size(), CV_8UC1);
    }
    cv::Mat generatePersonSegmentation(const QImage&) override { return {}; }
};

// The application shell: one model, the panel's window, quitting.
class TestShell final : public QObject
{
    Q_OBJECT

    FakeVision m_vision;
    StepScheduler m_scheduler;
    VantelModel::Dependencies m_deps{&m_vision, &m_scheduler};

private slots:
    void init()
    {
        m_vision.instanceResult = twoSubjects(40, 30);
        m_vision.prepared = m_vision.released = 0;
        m_vision.keepsWorkingMemory = true;
        m_scheduler.pending.clear();
    }

    void placesThePanelBesideTheIcon()
    {
        // Below an icon at the top right, above one at the bottom left, inside
        // the screen either way; a panel taller than the screen starts on it.
        const QRect screen(0, 0, 1280, 800), top(1257, 1, 22, 26), bottom(10, 776, 22, 24);
        const QSize size(420, 520);
        const QRect below(PanelWindow::placement(size, top, screen), size);
        const QRect above(PanelWindow::placement(size, bottom, screen), size);
        QVERIFY(below.top() > top.bottom() && screen.contains(below));
        QVERIFY(above.bottom() < bottom.top() && screen.contains(above));
        QVERIFY(PanelWindow::placement(QSize(420, 900), top, screen).y() >= 0);
    }

    // Shown without a click on the icon (a launch, "Open with") where the
    // tray does not say where its icon is, the panel is an ordinary window;
    // a click on the icon makes it the frameless panel beside it. Opened
    // over an icon at the bottom as the drop zone, it grows into the editor
    // with its bottom kept above the icon.
    void thePanelStaysBesideTheIconAsItGrows()
    {
        VantelApp shell(PanelWindow::Mode::trayPanel, m_deps);
        const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
        const QRect icon(screen.left() + 20, screen.bottom() - 24, 22, 24);
        shell.present({});
        PanelWindow* panel = shell.panel();
        QVERIFY(!panel->besideIcon() && !(panel->windowFlags() & Qt::FramelessWindowHint));
        panel->hide();
        panel->showNear(icon);
        QVERIFY(panel->besideIcon() && panel->windowFlags() & Qt::FramelessWindowHint);
        const int before = panel->height();
        QTRY_VERIFY(panel->geometry().bottom() < icon.top());
        shell.model()->open(filled(Qt::red, QSize(400, 400)));
        QTRY_VERIFY(panel->height() > before);
        QTRY_VERIFY(panel->geometry().bottom() < icon.top());
        QVERIFY(screen.contains(panel->geometry()));
    }

    void trayPanelKeepsOneModelAndItsState()
    {
        VantelApp shell(PanelWindow::Mode::trayPanel, m_deps);
        QVERIFY(!shell.model() && !shell.panel()); // made when the panel is first built
        shell.togglePanel();
        PanelWindow* panel = shell.panel();
        QVERIFY(panel && panel->isVisible() && panel->windowFlags() & Qt::FramelessWindowHint);
        VantelModel* model = shell.model();
        model->open(filled());
        m_scheduler.releaseAll();
        model->setFeather(9);

        // Closing and Escape put the panel away; nothing quits.
        auto toggled = [&] {
            shell.togglePanel();
            return panel->isVisible();
        };
        QSignalSpy quit(panel, &PanelWindow::quitRequested);
        panel->close();
        QVERIFY(!panel->isVisible() && toggled());
        QTest::keyClick(panel, Qt::Key_Escape);
        QVERIFY(!panel->isVisible());
        QCOMPARE(quit.count(), 0);

        // Losing the focus to another application puts the panel away; the
        // tray click that caused it does not bring it straight back.
        QWidget elsewhere;
        elsewhere.show();
        QVERIFY(QTest::qWaitForWindowActive(&elsewhere));
        QVERIFY(toggled());
        QVERIFY(QTest::qWaitForWindowActive(panel));
        emit qApp->applicationStateChanged(Qt::ApplicationInactive);
        QVERIFY(!panel->isVisible() && !toggled());
        QTRY_VERIFY(toggled()); // once the guard's time window has passed
        // Told late of a focus lost before it was shown again, it stays.
        panel->hide();
        panel->show();
        emit qApp->applicationStateChanged(Qt::ApplicationInactive);
        QVERIFY(panel->isVisible());
        QCOMPARE(shell.model(), model);
        QVERIFY(model->result());
        QCOMPARE(model->feather(), 9.0);
        QVERIFY(panel->content()->showsEditor());
    }

    // Without a tray the window opens at launch, stays on Escape, and
    // closing it quits. On Wayland the tray cannot place a panel beside its
    // icon nor tell a click elsewhere from a drag, and a panel shown
    // unasked has no icon to stand by: each is an ordinary window that
    // stays when the focus goes, and that Escape and closing put away.
    void ordinaryWindows_data()
    {
        QTest::addColumn<int>("mode");
        QTest::addColumn<bool>("tray");
        QTest::newRow("no tray") << int(PanelWindow::Mode::ordinaryWindow) << false;
        QTest::newRow("tray on Wayland") << int(PanelWindow::Mode::trayWindow) << true;
        QTest::newRow("shown unasked") << int(PanelWindow::Mode::trayPanel) << true;
    }

    void ordinaryWindows()
    {
        QFETCH(int, mode);
        QFETCH(bool, tray);
        VantelApp shell(PanelWindow::Mode(mode), m_deps);
        QCOMPARE(bool(shell.tray()), tray);
        if (mode == int(PanelWindow::Mode::trayWindow))
            shell.togglePanel(); // the click on the icon
        else
            shell.present({});
        PanelWindow* panel = shell.panel();
        QVERIFY(panel->isVisible());
        QCOMPARE(panel->windowFlags() & Qt::WindowType_Mask, Qt::Window);
        QVERIFY(!(panel->windowFlags() & Qt::FramelessWindowHint));
        emit qApp->applicationStateChanged(Qt::ApplicationInactive);
        QVERIFY(panel->isVisible());
        QSignalSpy quit(panel, &PanelWindow::quitRequested);
        QTest::keyClick(panel, Qt::Key_Escape);
        QCOMPARE(panel->isVisible(), !tray);
        shell.present({});
        QVERIFY(panel->isVisible());
        panel->close();
        QCOMPARE(quit.count(), tray ? 0 : 1);
        QVERIFY(!tray || !panel->isVisible());
    }

    // Nothing loads at launch. The networks start loading as the panel
    // opens or an image comes; once the panel has been away for the delay
    // (after any analysis under way has ended), the editor is emptied as
    // by New and the networks are let go of. While the panel is away an
    // analysis keeps no working buffer.
    void awayForAWhileVantelLetsGoOfItsMemory()
    {
        qputenv("VANTEL_RELEASE_DELAY_MS", "30");
        VantelApp shell(PanelWindow::Mode::trayWindow, m_deps);
        QCOMPARE(m_vision.prepared, 0);
        shell.togglePanel();
        qunsetenv("VANTEL_RELEASE_DELAY_MS");
        PanelWindow* panel = shell.panel();
        QCOMPARE(m_vision.prepared, 1);
        VantelModel* model = shell.model();
        model->open(filled());
        QCOMPARE(m_vision.prepared, 2);
        panel->hide();
        QVERIFY(!m_vision.keepsWorkingMemory);
        // The delay passes several times over while the analysis runs.
        QVERIFY(!QTest::qWaitFor([&] { return m_vision.released > 0; }, 150));
        QVERIFY(model->original());
        m_scheduler.releaseAll();
        QTRY_COMPARE(m_vision.released, 1);
        QVERIFY(!model->original() && !model->result() && !model->analysis());
        shell.togglePanel();
        QCOMPARE(m_vision.prepared, 3);
        QVERIFY(m_vision.keepsWorkingMemory);
        QVERIFY(!panel->content()->showsEditor());
    }

    // A notice given before the panel is built (the subject finder missing)
    // is shown all the same.
    void presentingWithAFileOpensIt()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("handed"));
        QVERIFY(TestImages::writeFile(path, TestImages::encode(filled(Qt::magenta), "png")));
        VantelApp shell(PanelWindow::Mode::trayPanel, m_deps);
        shell.setNotice(QStringLiteral("The subject finder is not installed."));
        shell.present({QUrl::fromLocalFile(path), QUrl::fromLocalFile(dir.filePath("other"))});
        QVERIFY(shell.panel()->isVisible() && shell.model()->isOpening());
        QVERIFY(shell.panel()->content()->noticeLine()->isVisible());
        QCOMPARE(shell.panel()->content()->noticeLine()->text(),
                 QStringLiteral("The subject finder is not installed."));
        m_scheduler.releaseAll();
        QCOMPARE(shell.model()->original()->pixelColor(1, 1), QColor(Qt::magenta));
        // Shown again: it stays up, and keeps its image.
        shell.present({});
        QVERIFY(shell.panel()->isVisible() && shell.model()->original());
    }

    void oneInstanceTakesEveryLaunch()
    {
        PrivateBus bus;
        QVERIFY2(bus.isUp(), "dbus-daemon did not start");
        QTemporaryDir dir;
        const QUrl photo = QUrl::fromLocalFile(dir.filePath(QStringLiteral("photo.jpg")));
        {
            SingleInstance first(bus.connect(QStringLiteral("first")));
            QSignalSpy launched(&first, &SingleInstance::launched);
            QCOMPARE(first.claim({}, {}), SingleInstance::Outcome::first);

            // A launch with files hands them over, with its activation token.
            SingleInstance second(bus.connect(QStringLiteral("second")));
            QCOMPARE(second.claim({photo}, QStringLiteral("token-1")),
                     SingleInstance::Outcome::handedOver);
            QCOMPARE(launched.count(), 1);
            QCOMPARE(launched.at(0).at(0).value<QList<QUrl>>(), QList<QUrl>{photo});
            QCOMPARE(launched.at(0).at(1).toString(), QStringLiteral("token-1"));
            // One without only asks to be shown.
            QCOMPARE(second.claim({}, {}), SingleInstance::Outcome::handedOver);
            QCOMPARE(launched.count(), 2);
            QVERIFY(launched.at(1).at(0).value<QList<QUrl>>().isEmpty());
        }
        // The first one ends: its name goes with it, and the next launch is
        // the running Vantel.
        QDBusConnection::disconnectFromBus(QStringLiteral("first"));
        QTRY_VERIFY(!bus.connect(QStringLiteral("second"))
                         .interface()
                         ->isServiceRegistered(SingleInstance::serviceName)
                         .value());
        {
            SingleInstance next(bus.connect(QStringLiteral("third")));
            QCOMPARE(next.claim({}, {}), SingleInstance::Outcome::first);
        }

        // A holder of the name that does not answer is not waited for
        // forever, and no second Vantel starts beside it.
        QDBusConnection::disconnectFromBus(QStringLiteral("third"));
        QDBusConnection mute = bus.connect(QStringLiteral("mute"));
        QTRY_VERIFY(mute.registerService(SingleInstance::serviceName));
        SingleInstance late(bus.connect(QStringLiteral("late")));
        QCOMPARE(late.claim({photo}, {}), SingleInstance::Outcome::unanswered);

        // Without a session bus, Vantel runs on its own.
        SingleInstance lone(QDBusConnection(QStringLiteral("no bus")));
        QCOMPARE(lone.claim({}, {}), SingleInstance::Outcome::alone);
    }

    void launchArgumentsAreFiles()
    {
        const QList<QUrl> files = SingleInstance::filesFromArguments(
            {"photo.jpg", "/abs/shot.png", "file:///tmp/a%20b.png", "https://example.com/x.png",
             "caf\xe9:1.png", ""},
            "/home/me");
        QCOMPARE(files.size(), 4);
        QCOMPARE(files.at(0), QUrl::fromLocalFile(QStringLiteral("/home/me/photo.jpg")));
        QCOMPARE(files.at(1), QUrl::fromLocalFile(QStringLiteral("/abs/shot.png")));
        QCOMPARE(files.at(2), QUrl::fromLocalFile(QStringLiteral("/tmp/a b.png")));
        // A name that is not UTF-8, with a colon in it, keeps its bytes.
        QCOMPARE(ImageIntake::nativePath(files.at(3)), QByteArray("/home/me/caf\xe9:1.png"));
    }

    void desktopEntryOffersWhatVantelReads()
    {
        // "Open with" offers Vantel for exactly the formats it decodes, and
        // hands it the files.
        QFile file(QStringLiteral(VANTEL_SOURCE_DIR "/src/app/vantel.desktop"));
        QVERIFY(file.open(QIODevice::ReadOnly | QIODevice::Text));
        QMap<QString, QString> entry;
        for (const QString& line : QString::fromUtf8(file.readAll()).split(QLatin1Char('\n')))
            entry.insert(line.section(QLatin1Char('='), 0, 0), line.section(QLatin1Char('='), 1));
        QStringList offered =
            entry.value(QStringLiteral("MimeType")).split(QLatin1Char(';'), Qt::SkipEmptyParts);
        QStringList read;
        for (const QByteArray& format : ImageDecoder::formats())
            read << QStringLiteral("image/") + QString::fromLatin1(format);
        offered.sort();
        read.sort();
        QCOMPARE(offered, read);
        QCOMPARE(entry.value(QStringLiteral("Exec")), QStringLiteral("vantel %F"));
    }

    void dialogsLeaveNoSettingsBehind()
    {
        QTemporaryDir config;
        qputenv("XDG_CONFIG_HOME", config.path().toLocal8Bit());
        QString sessionFolder;
        {
            VantelApp shell(PanelWindow::Mode::ordinaryWindow, m_deps);
            VantelModel* model = shell.model();
            model->open(filled());
            m_scheduler.releaseAll();
            // Each dialog is turned down as soon as it shows.
            auto dismiss = [] {
                QTimer::singleShot(0, [] {
                    if (QWidget* dialog = QApplication::activeModalWidget())
                        dialog->close();
                });
            };
            dismiss();
            model->chooseFile();
            dismiss();
            model->savePNG();
            QVERIFY(!model->errorMessage() && !model->statusMessage());
            sessionFolder = QSettings(QSettings::UserScope, QStringLiteral("QtProject")).fileName();
        }
        qunsetenv("XDG_CONFIG_HOME");
        QCOMPARE(
            QDir(config.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
            QStringList());
        QVERIFY(!sessionFolder.startsWith(config.path()));
        QVERIFY(!QFileInfo::exists(sessionFolder));
    }

    void draggedResultCarriesPngAndFile()
    {
        VantelModel model(m_deps);
        QTemporaryDir tmp;
        qputenv("TMPDIR", tmp.path().toLocal8Bit());
        auto folders = [&tmp] {
            return QDir(tmp.path()).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
        };
        auto drag = std::make_unique<ResultDrag>(&model);
        QVERIFY(!drag->mimeData()); // nothing to drag yet
        model.open(filled());
        m_scheduler.releaseAll();
        // The private folder comes with the first drag and goes with Vantel.
        QCOMPARE(folders(), QStringList());
        std::unique_ptr<QMimeData> data(drag->mimeData());
        QVERIFY(data && data->hasFormat(ResultDrag::markerFormat()));
        QVERIFY(!QImage::fromData(data->data(QStringLiteral("image/png")), "png").isNull());
        QCOMPARE(data->urls().size(), 1);
        const QString file = data->urls().first().toLocalFile();
        QCOMPARE(QFileInfo(file).fileName(), QStringLiteral("Vantel.png"));
        QCOMPARE(QImage(file).pixelColor(5, 5), model.result()->pixelColor(5, 5));
        drag.reset();
        QCOMPARE(folders(), QStringList());
        qunsetenv("TMPDIR");
    }

    void terminationSignalsQuitLikeTheButton()
    {
        QuitSignals quitSignals;
        for (int signal : {SIGTERM, SIGINT}) {
            QSignalSpy received(&quitSignals, &QuitSignals::received);
            ::raise(signal); // would end the test program if not handled
            QVERIFY(received.wait(2000));
        }
    }

    void quitDuringAnAnalysis()
    {
        SlowVision vision;
        {
            VantelApp shell(PanelWindow::Mode::ordinaryWindow, VantelModel::Dependencies{&vision});
            shell.model()->open(filled());
            QTRY_VERIFY(vision.started >= 1); // running now
            shell.model()->open(filled());    // and one more, maybe still queued
            QVERIFY(shell.model()->isProcessing());
            shell.panel()->content()->quitButton()->click();
            QVERIFY(!shell.panel()->isVisible());
        } // the shell and its model are gone while the analysis runs
        QVERIFY(ThreadPoolScheduler::pool()->waitForDone(5000));
        QCoreApplication::processEvents(); // late outcomes find no model, and no crash
        QVERIFY(vision.finished >= 1);
    }
};

QTEST_MAIN(TestShell)
#include "tst_shell.moc"
