#include "ContentView.h"
#include "ModelDoubles.h"
#include "PanelWindow.h"
#include "QuitSignals.h"
#include "ResultDrag.h"
#include "VantelApp.h"
#include "VantelModel.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QMimeData>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThreadPool>
#include <atomic>
#include <chrono>
#include <csignal>
#include <thread>

// A vision service that takes its time, on the real thread pool.
class SlowVision final : public VisionService
{
public:
    std::atomic<int> started{0};
    std::atomic<int> finished{0};
    bool instanceMasksAvailable() override { return true; }
    std::optional<InstanceMask> generateForegroundInstanceMask(const QImage&) override
    {
        ++started;
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
        ++finished;
        return twoSubjects(40, 30);
    }
    cv::Mat generatePersonSegmentation(const QImage&) override { return {}; }
};

// The application shell: one model, the panel's window, quitting.
class TestShell final : public QObject
{
    Q_OBJECT

    static QImage image()
    {
        QImage img(40, 30, QImage::Format_RGBA8888);
        img.fill(Qt::red);
        return img;
    }

private slots:
    void placesThePanelBesideTheIcon()
    {
        const QRect screen(0, 0, 1280, 800);
        const QSize panel(420, 520);
        // An icon at the top right: below it, kept inside the screen.
        const QPoint top = PanelWindow::placement(panel, QRect(1257, 1, 22, 26), screen);
        QCOMPARE(top.y(), 1 + 26 + 6);
        QCOMPARE(top.x() + panel.width(), 1280 - 6);
        // An icon at the bottom left: above it.
        const QPoint bottom = PanelWindow::placement(panel, QRect(10, 776, 22, 24), screen);
        QCOMPARE(bottom.y() + panel.height(), 776 - 6);
        QCOMPARE(bottom.x(), 6);
        // A panel taller than the screen still starts on it.
        QCOMPARE(PanelWindow::placement(QSize(420, 900), QRect(600, 1, 20, 20), screen).y(), 6);
    }

    void trayPanelKeepsOneModelAndItsState()
    {
        FakeVision vision;
        vision.instanceResult = twoSubjects(40, 30);
        StepScheduler scheduler;
        VantelApp shell(true, VantelModel::Dependencies{&vision, &scheduler});
        QVERIFY(!shell.model()); // made when the panel is first built
        QVERIFY(!shell.panel());

        shell.togglePanel();
        QVERIFY(shell.panel() && shell.panel()->isVisible());
        QCOMPARE(shell.panel()->mode(), PanelWindow::Mode::trayPanel);
        QVERIFY(shell.panel()->windowFlags() & Qt::Tool);
        QVERIFY(shell.panel()->windowFlags() & Qt::FramelessWindowHint);
        VantelModel* model = shell.model();
        model->open(image());
        scheduler.releaseAll();
        model->setFeather(9);

        // Closing and Escape put the panel away; nothing quits.
        QSignalSpy quit(shell.panel(), &PanelWindow::quitRequested);
        shell.panel()->close();
        QVERIFY(!shell.panel()->isVisible());
        shell.togglePanel();
        QVERIFY(shell.panel()->isVisible());
        QTest::keyClick(shell.panel(), Qt::Key_Escape);
        QVERIFY(!shell.panel()->isVisible());
        QCOMPARE(quit.count(), 0);

        // Losing the focus to another application puts the panel away; the
        // tray click that caused it does not bring it straight back.
        shell.togglePanel();
        QVERIFY(shell.panel()->isVisible());
        emit qApp->applicationStateChanged(Qt::ApplicationInactive);
        QVERIFY(!shell.panel()->isVisible());
        shell.togglePanel();
        QVERIFY(!shell.panel()->isVisible());
        QTest::qWait(450);

        shell.togglePanel();
        QCOMPARE(shell.model(), model);
        QVERIFY(model->result());
        QCOMPARE(model->feather(), 9.0);
        QVERIFY(shell.panel()->content()->showsEditor());
    }

    void withoutATrayTheWindowOpensAndClosingQuits()
    {
        FakeVision vision;
        StepScheduler scheduler;
        VantelApp shell(false, VantelModel::Dependencies{&vision, &scheduler});
        QVERIFY(shell.panel() && shell.panel()->isVisible());
        QCOMPARE(shell.panel()->mode(), PanelWindow::Mode::ordinaryWindow);
        QVERIFY(!(shell.panel()->windowFlags() & Qt::FramelessWindowHint));
        QSignalSpy quit(shell.panel(), &PanelWindow::quitRequested);
        QTest::keyClick(shell.panel(), Qt::Key_Escape); // no hiding without a tray
        QVERIFY(shell.panel()->isVisible());
        shell.panel()->close();
        QCOMPARE(quit.count(), 1);
    }

    void draggedResultCarriesPngAndFile()
    {
        FakeVision vision;
        vision.instanceResult = twoSubjects(40, 30);
        StepScheduler scheduler;
        VantelModel model(VantelModel::Dependencies{&vision, &scheduler});
        QTemporaryDir tmp;
        qputenv("TMPDIR", tmp.path().toLocal8Bit());
        auto drag = std::make_unique<ResultDrag>(&model);
        QVERIFY(!drag->mimeData()); // nothing to drag yet
        model.open(image());
        scheduler.releaseAll();
        // The private folder comes with the first drag and goes with Vantel.
        QCOMPARE(QDir(tmp.path()).entryList(QDir::Dirs | QDir::NoDotAndDotDot), QStringList());
        std::unique_ptr<QMimeData> data(drag->mimeData());
        QVERIFY(data);
        QVERIFY(data->hasFormat(ResultDrag::markerFormat()));
        QImage fromBytes;
        QVERIFY(fromBytes.loadFromData(data->data(QStringLiteral("image/png")), "png"));
        QCOMPARE(data->urls().size(), 1);
        const QString file = data->urls().first().toLocalFile();
        QCOMPARE(QFileInfo(file).fileName(), QStringLiteral("Vantel.png"));
        const QImage fromFile(file);
        QCOMPARE(fromFile.size(), model.result()->size());
        QCOMPARE(fromFile.pixelColor(5, 5), model.result()->pixelColor(5, 5));
        drag.reset();
        QCOMPARE(QDir(tmp.path()).entryList(QDir::Dirs | QDir::NoDotAndDotDot), QStringList());
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

    void missingNetworkIsShownInThePanel()
    {
        FakeVision vision;
        StepScheduler scheduler;
        VantelApp shell(true, VantelModel::Dependencies{&vision, &scheduler});
        shell.setNotice(QStringLiteral("The subject finder is not installed."));
        shell.togglePanel(); // built after the news: shown all the same
        QVERIFY(shell.panel()->content()->noticeLine()->isVisible());
        QCOMPARE(shell.panel()->content()->noticeLine()->text(),
                 QStringLiteral("The subject finder is not installed."));
    }

    void quitDuringAnAnalysis()
    {
        SlowVision vision;
        {
            VantelApp shell(false, VantelModel::Dependencies{&vision});
            shell.model()->open(image());
            QTRY_VERIFY(vision.started >= 1); // running now
            shell.model()->open(image());     // and one more, maybe still queued
            QVERIFY(shell.model()->isProcessing());
            QSignalSpy aboutToQuit(qApp, &QCoreApplication::aboutToQuit);
            shell.panel()->content()->quitButton()->click();
            QVERIFY(!shell.panel()->isVisible());
        } // the shell and its model are gone while the analysis runs
        QVERIFY(QThreadPool::globalInstance()->waitForDone(5000));
        QCoreApplication::processEvents(); // late outcomes find no model, and no crash
        QVERIFY(vision.finished >= 1);
    }
};

QTEST_MAIN(TestShell)
#include "tst_shell.moc"
