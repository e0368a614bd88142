#include "Checkerboard.h"
#include "ModelDoubles.h"
#include "PreviewView.h"
#include "VantelModel.h"

#include <QApplication>
#include <QMouseEvent>
#include <QSignalSpy>
#include <QTest>

// The preview canvas: where the image goes, what is drawn, what a click sends.
class TestPreview final : public QObject
{
    Q_OBJECT

    struct Rig
    {
        FakeVision vision;
        StepScheduler scheduler;
        VantelModel model{VantelModel::Dependencies{&vision, &scheduler}};
        PreviewView view{&model};
        Rig(QSize imageSize = QSize(2000, 1000))
        {
            vision.instanceResult = twoSubjects(40, 20);
            view.resize(400, 300);
            QImage img(imageSize, QImage::Format_RGBA8888);
            img.fill(Qt::darkCyan);
            model.open(img);
        }
    };

    static void press(QWidget* w, QPointF at)
    {
        QMouseEvent e(QEvent::MouseButtonPress, at, w->mapToGlobal(at), Qt::LeftButton,
                      Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(w, &e);
    }
    static void release(QWidget* w, QPointF at)
    {
        QMouseEvent e(QEvent::MouseButtonRelease, at, w->mapToGlobal(at), Qt::LeftButton,
                      Qt::NoButton, Qt::NoModifier);
        QApplication::sendEvent(w, &e);
    }

private slots:
    void clicksAreNormalizedToTheDrawnImage()
    {
        Rig rig;
        QSignalSpy taps(&rig.view, &PreviewView::tapped);
        auto lastTap = [&] {
            return taps.takeLast().at(0).toPointF();
        };

        press(&rig.view, {200, 150});
        release(&rig.view, {200, 150});
        QCOMPARE(taps.count(), 1);
        QCOMPARE(lastTap(), QPointF(0.5, 0.5));

        // The bands above and below take no clicks.
        press(&rig.view, {200, 20});
        release(&rig.view, {200, 20});
        press(&rig.view, {200, 280});
        release(&rig.view, {200, 280});
        QCOMPARE(taps.count(), 0);

        // 3.9 points of movement is a click at the release; 4 is not.
        press(&rig.view, {100, 100});
        release(&rig.view, {103.9, 100});
        QCOMPARE(taps.count(), 1);
        QCOMPARE(lastTap(), QPointF(103.9 / 400, 50.0 / 200));
        press(&rig.view, {100, 100});
        release(&rig.view, {104, 100});
        press(&rig.view, {100, 100});
        release(&rig.view, {100, 96});
        QCOMPARE(taps.count(), 0);

        // A release just outside after a press just inside: sent unchanged.
        press(&rig.view, {398.5, 249});
        release(&rig.view, {401.5, 251});
        QCOMPARE(taps.count(), 1);
        const QPointF outside = lastTap();
        QVERIFY(outside.x() > 1.0 && outside.y() > 1.0);
        QCOMPARE(outside, QPointF(401.5 / 400, 201.0 / 200));
    }

    void smallImagesAreEnlargedAndZeroSpaceTakesNothing()
    {
        Rig rig(QSize(100, 50));
        QCOMPARE(rig.view.displayedRect(), QRectF(0, 50, 400, 200));
        QSignalSpy taps(&rig.view, &PreviewView::tapped);
        rig.view.resize(0, 300);
        QVERIFY(rig.view.displayedRect().isEmpty());
        press(&rig.view, {0, 150});
        release(&rig.view, {0, 150});
        QCOMPARE(taps.count(), 0);
    }

    void layersFollowTheModel()
    {
        // Nothing loaded: nothing drawn, no clicks.
        {
            FakeVision vision;
            StepScheduler scheduler;
            VantelModel model(VantelModel::Dependencies{&vision, &scheduler});
            QVERIFY(PreviewView::layersFor(model).image.isNull());
            PreviewView view(&model);
            view.resize(400, 300);
            QSignalSpy taps(&view, &PreviewView::tapped);
            press(&view, {200, 150});
            release(&view, {200, 150});
            QCOMPARE(taps.count(), 0);
        }
        Rig rig;
        VantelModel& m = rig.model;
        // Analysing: the source dimmed under the badge, no checkerboard.
        auto layers = PreviewView::layersFor(m);
        QCOMPARE(layers.image, *m.original());
        QCOMPARE(layers.imageOpacity, 0.4);
        QVERIFY(layers.badge);
        QVERIFY(!layers.checkerboard);
        // The before side with no result: the source at full opacity.
        m.setShowOriginal(true);
        QCOMPARE(PreviewView::layersFor(m).imageOpacity, 1.0);
        m.setShowOriginal(false);
        // Clicks go to the model whatever the state.
        QSignalSpy taps(&rig.view, &PreviewView::tapped);
        press(&rig.view, {200, 150});
        release(&rig.view, {200, 150});
        QCOMPARE(taps.count(), 1);

        rig.scheduler.releaseAll();
        layers = PreviewView::layersFor(m);
        QCOMPARE(layers.image, *m.result());
        QCOMPARE(layers.imageOpacity, 1.0);
        QVERIFY(layers.checkerboard);
        QVERIFY(!layers.badge);
        // A mask job leaves the badge off and the result up.
        m.tap({0.75, 0.9});
        QVERIFY(!PreviewView::layersFor(m).badge);
        QCOMPARE(PreviewView::layersFor(m).image, *m.result());
        // The before side and opaque backgrounds have no checkerboard.
        m.setShowOriginal(true);
        QCOMPARE(PreviewView::layersFor(m).image, *m.original());
        QVERIFY(!PreviewView::layersFor(m).checkerboard);
        m.setShowOriginal(false);
        m.setBackground(BackgroundChoice::white);
        QVERIFY(!PreviewView::layersFor(m).checkerboard);
    }

    void drawsWithoutAliasing()
    {
        // Fine one-pixel stripes shown small must come out as an even grey.
        FakeVision vision;
        vision.instanceResult = twoSubjects(40, 20);
        StepScheduler scheduler;
        VantelModel model(VantelModel::Dependencies{&vision, &scheduler});
        QImage stripes(2560, 1920, QImage::Format_RGBA8888);
        for (int y = 0; y < 1920; ++y)
            for (int x = 0; x < 2560; ++x)
                stripes.setPixelColor(x, y, x % 2 ? Qt::white : Qt::black);
        model.open(stripes);
        model.setShowOriginal(true);
        PreviewView view(&model);
        view.resize(392, 300);
        const QImage shot = view.grab().toImage();
        const QRectF area = view.displayedRect();
        const int y = int(area.top()) + 20; // above the badge
        for (int x = int(area.left()) + 10; x < int(area.right()) - 10; x += 7) {
            const int grey = QColor(shot.pixel(x, y)).red();
            QVERIFY2(grey > 110 && grey < 145, qPrintable(QString::number(grey)));
        }
    }

    void checkerboardSquares()
    {
        Checkerboard board(10);
        board.resize(25, 25);
        const QImage shot = board.grab().toImage();
        const QRgb light = QColor::fromRgbF(0.95f, 0.95f, 0.95f).rgb();
        const QRgb grey = QColor::fromRgbF(0.8f, 0.8f, 0.8f).rgb();
        QCOMPARE(shot.pixel(5, 5), light);
        QCOMPARE(shot.pixel(15, 5), grey);
        QCOMPARE(shot.pixel(5, 15), grey);
        QCOMPARE(shot.pixel(15, 15), light);
        QCOMPARE(shot.pixel(24, 15), grey); // the third column, cut at 5
        QCOMPARE(shot.pixel(24, 24), light);
    }
};

QTEST_MAIN(TestPreview)
#include "tst_preview.moc"
