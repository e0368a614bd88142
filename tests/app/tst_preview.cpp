#include "ModelDoubles.h"
#include "PreviewView.h"

#include <QApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

// The preview canvas: where the image goes, what is drawn, what a click sends.
class TestPreview final : public QObject
{
    Q_OBJECT

    struct Rig : ModelRig
    {
        PreviewView view{model.get()};
        QSignalSpy taps{&view, &PreviewView::tapped};
        explicit Rig(QSize imageSize = QSize(2000, 1000))
        {
            vision.instanceResult = twoSubjects(40, 20);
            view.resize(400, 300);
            if (!imageSize.isEmpty())
                model->open(filled(Qt::darkCyan, imageSize));
        }
        // One event of the left button at `at`: its press, a move with it
        // held, or its release.
        void send(QEvent::Type type, QPointF at, Qt::KeyboardModifiers modifiers = {})
        {
            QMouseEvent e(type, at, view.mapToGlobal(at),
                          type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton,
                          type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::LeftButton,
                          modifiers);
            QApplication::sendEvent(&view, &e);
        }
        // A press and a release, where given.
        void click(QPointF at, std::optional<QPointF> releasedAt = std::nullopt)
        {
            send(QEvent::MouseButtonPress, at);
            send(QEvent::MouseButtonRelease, releasedAt.value_or(at));
        }
        QPointF lastTap() { return taps.takeLast().at(0).toPointF(); }
        // A press at `from`, moves to `to`, and a release there unless
        // `release` is false.
        void drag(QPointF from, QPointF to, Qt::KeyboardModifiers modifiers = {},
                  bool release = true)
        {
            send(QEvent::MouseButtonPress, from, modifiers);
            for (double t : {0.25, 0.5, 1.0})
                send(QEvent::MouseMove, from + (to - from) * t, modifiers);
            if (release)
                send(QEvent::MouseButtonRelease, to, modifiers);
        }
        // Whether the view took an Escape.
        bool escape()
        {
            QKeyEvent e(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
            QApplication::sendEvent(&view, &e);
            return e.isAccepted();
        }
    };

private slots:
    // From the keyboard: the arrows mark one subject after another, Space
    // keeps the marked one as a click does, Escape returns to all subjects,
    // and with nothing picked Escape goes on to the panel.
    void subjectsArePickedFromTheKeyboard()
    {
        Rig rig;
        rig.scheduler.releaseAll();
        QVERIFY(rig.model->canSelect());
        QCOMPARE(int(rig.model->subjectPoints().size()), 2);
        QTest::keyClick(&rig.view, Qt::Key_Right);
        QTest::keyClick(&rig.view, Qt::Key_Space);
        QCOMPARE(rig.model->selectedInstance(), std::optional<int64_t>(1));
        QTest::keyClick(&rig.view, Qt::Key_Down);
        QTest::keyClick(&rig.view, Qt::Key_Return);
        QCOMPARE(rig.model->selectedInstance(), std::optional<int64_t>(2));
        QTest::keyClick(&rig.view, Qt::Key_Right); // past the last: the first again
        QTest::keyClick(&rig.view, Qt::Key_Space);
        QCOMPARE(rig.model->selectedInstance(), std::optional<int64_t>(1));
        QVERIFY(rig.escape() && !rig.model->selectedInstance());
        QVERIFY(!rig.escape());
    }

    void clicksAreNormalizedToTheDrawnImage()
    {
        Rig rig;
        rig.click({200, 150});
        QCOMPARE(rig.taps.count(), 1);
        QCOMPARE(rig.lastTap(), QPointF(0.5, 0.5));

        // The bands above and below take no clicks.
        rig.click({200, 20});
        rig.click({200, 280});
        QCOMPARE(rig.taps.count(), 0);

        // 3.9 points of movement is a click at the release; 4 is not.
        rig.click({100, 100}, QPointF(103.9, 100));
        QCOMPARE(rig.taps.count(), 1);
        QCOMPARE(rig.lastTap(), QPointF(103.9 / 400, 50.0 / 200));
        rig.click({100, 100}, QPointF(104, 100));
        rig.click({100, 100}, QPointF(100, 96));
        QCOMPARE(rig.taps.count(), 0);

        // A release just outside after a press just inside: sent unchanged.
        rig.click({398.5, 249}, QPointF(401.5, 251));
        QCOMPARE(rig.taps.count(), 1);
        QCOMPARE(rig.lastTap(), QPointF(401.5 / 400, 201.0 / 200));

        // No room: nothing drawn, no clicks.
        rig.view.resize(0, 300);
        rig.click({0, 150});
        QVERIFY(rig.view.displayedRect().isEmpty() && rig.taps.isEmpty());
    }

    // A drag over the image draws a box, given to the model in the image's
    // normalized coordinates when the button is let go; Escape lets a box
    // being drawn go; Shift adds; Ctrl drags the result out instead.
    void aDragDrawsABox()
    {
        Rig rig; // 2000 x 1000 drawn at 400 x 200, from y = 50
        rig.vision.regionResult = cv::Mat(1000, 2000, CV_8UC1, cv::Scalar(0));
        rig.vision.regionResult(cv::Rect(100, 100, 500, 500)).setTo(255);
        rig.scheduler.releaseAll();
        rig.view.show();
        rig.drag({10, 60}, {150, 170});
        QCOMPARE(rig.taps.count(), 0);
        QCOMPARE(rig.model->selection().boxes,
                 std::vector({QRectF(10.0 / 400, 10.0 / 200, 140.0 / 400, 110.0 / 200)}));
        rig.scheduler.releaseAll();
        QCOMPARE(int(rig.model->baseMask()->at<uchar>(300, 300)), 255);
        QCOMPARE(int(rig.model->baseMask()->at<uchar>(300, 1500)), 0);

        // Past the image, the box stops at its edge.
        rig.drag({300, 200}, {450, 290}, Qt::ShiftModifier);
        QCOMPARE(rig.model->selection().boxes.size(), size_t(2));
        QCOMPARE(rig.model->selection().boxes.back(),
                 QRectF(300.0 / 400, 150.0 / 200, 100.0 / 400, 50.0 / 200));

        rig.drag({20, 70}, {200, 200}, {}, false);
        QVERIFY(rig.escape());
        rig.send(QEvent::MouseButtonRelease, {200, 200});
        QCOMPARE(rig.model->selection().boxes.size(), size_t(2));
        QCOMPARE(rig.taps.count(), 0);

        int dragsOut = 0;
        rig.view.setDragDataProvider([&dragsOut]() -> QMimeData* {
            ++dragsOut;
            return nullptr;
        });
        rig.drag({20, 70}, {200, 200}, Qt::ControlModifier);
        QCOMPARE(dragsOut, 1);
        QCOMPARE(rig.model->selection().boxes.size(), size_t(2));
    }

    // Analysing, the source is dimmed under the badge; done, the result is
    // shown over a checkerboard, which the before side and opaque
    // backgrounds go without. A mask job leaves the badge off and the result
    // up. Clicks go to the model whatever the state.
    void layersFollowTheModel()
    {
        Rig rig;
        VantelModel& m = *rig.model;
        auto layers = PreviewView::layersFor(m);
        QVERIFY(layers.image == *m.original() && layers.imageOpacity < 1 && !layers.checkerboard);
        QCOMPARE(layers.badge, QStringLiteral("Removing background…"));
        rig.click({200, 150});
        QCOMPARE(rig.taps.count(), 1);
        rig.scheduler.releaseAll();
        layers = PreviewView::layersFor(m);
        QVERIFY(layers.image == *m.result() && layers.imageOpacity == 1.0);
        QVERIFY(layers.checkerboard && layers.badge.isEmpty());
        m.tap({0.75, 0.9});
        QVERIFY(PreviewView::layersFor(m).badge.isEmpty());
        rig.scheduler.releaseAll();
        QCOMPARE(PreviewView::layersFor(m).image, *m.result());
        m.setShowOriginal(true);
        QVERIFY(PreviewView::layersFor(m).image == *m.original());
        QVERIFY(!PreviewView::layersFor(m).checkerboard);
        m.setShowOriginal(false);
        m.setBackground(BackgroundChoice::white);
        QVERIFY(!PreviewView::layersFor(m).checkerboard);

        // A new file being decoded says so over the result it will replace;
        // nothing is being removed yet.
        QTemporaryDir dir;
        const QString next = dir.filePath(QStringLiteral("next.png"));
        QVERIFY(TestImages::writeFile(next, TestImages::encode(filled(Qt::red), "png")));
        m.open(QUrl::fromLocalFile(next));
        QCOMPARE(PreviewView::layersFor(m).badge, QStringLiteral("Opening the image…"));
        QCOMPARE(PreviewView::layersFor(m).image, *m.result());
        rig.scheduler.release();
        QCOMPARE(PreviewView::layersFor(m).badge, QStringLiteral("Removing background…"));
    }

    void drawsWithoutAliasing()
    {
        // Fine one-pixel stripes shown small must come out as an even grey.
        Rig rig{QSize()};
        QImage stripes(2560, 1920, QImage::Format_RGBA8888);
        for (int y = 0; y < 1920; ++y)
            for (int x = 0; x < 2560; ++x)
                stripes.setPixelColor(x, y, x % 2 ? Qt::white : Qt::black);
        rig.model->open(stripes);
        rig.model->setShowOriginal(true);
        rig.view.resize(392, 300);
        const QImage shot = rig.view.grab().toImage();
        const QRectF area = rig.view.displayedRect();
        const int y = int(area.top()) + 20; // above the badge
        for (int x = int(area.left()) + 10; x < int(area.right()) - 10; x += 7) {
            const int grey = QColor(shot.pixel(x, y)).red();
            QVERIFY2(grey > 110 && grey < 145, qPrintable(QString::number(grey)));
        }
    }
};

QTEST_MAIN(TestPreview)
#include "tst_preview.moc"
