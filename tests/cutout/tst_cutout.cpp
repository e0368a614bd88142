#include "CutOut.h"
#include "FakeVision.h"

#include <QPainter>
#include <QTest>

// The whole way from an image to its cut-out, on a scene whose subjects a
// fake service reports: a green strip across the top, subject 1 red on the
// left, subject 2 blue on the right, masks at half the image's size.
class TestCutOut final : public QObject
{
    Q_OBJECT

    static QImage scene()
    {
        QImage image(40, 32, QImage::Format_RGBA8888);
        image.fill(QColor(0, 160, 0));
        QPainter painter(&image);
        painter.fillRect(0, 8, 20, 24, Qt::red);
        painter.fillRect(20, 8, 20, 24, Qt::blue);
        return image;
    }

    static QImage cut(std::optional<int64_t> selection, const std::optional<QColor>& background)
    {
        FakeVision vision;
        vision.instanceResult = twoSubjects(20, 16);
        const QImage image = scene();
        const auto analysis = CutOut::analyze(image, vision);
        return CutOut::composite(image, CutOut::layer(*analysis, selection), 0, background)
            .value_or(QImage());
    }

private slots:
    void keepsTheSelectionOverTheBackground()
    {
        const QImage one = cut(1, std::nullopt);
        QCOMPARE(one.size(), QSize(40, 32));
        QCOMPARE(one.pixelColor(4, 28), QColor(Qt::red));
        QCOMPARE(one.pixelColor(36, 28).alpha(), 0);
        QCOMPARE(one.pixelColor(20, 2).alpha(), 0);

        const QImage overWhite = cut(1, QColor(Qt::white));
        QCOMPARE(overWhite.pixelColor(4, 28), QColor(Qt::red));
        QCOMPARE(overWhite.pixelColor(36, 28), QColor(Qt::white));
        QCOMPARE(overWhite.pixelColor(20, 2), QColor(Qt::white));

        // Nothing selected keeps every subject.
        const QImage all = cut(std::nullopt, QColor(Qt::black));
        QCOMPARE(all.pixelColor(4, 28), QColor(Qt::red));
        QCOMPARE(all.pixelColor(36, 28), QColor(Qt::blue));
        QCOMPARE(all.pixelColor(20, 2), QColor(Qt::black));
    }

    void softEdgeTakesTheSubjectsColour()
    {
        // Row 7 is green in the image but a quarter subject in the scaled
        // mask: over white it is a light red, not the old green.
        const QColor edge = cut(1, QColor(Qt::white)).pixelColor(4, 7);
        QVERIFY2(edge.red() > 240 && edge.green() < 210 && edge.blue() < 210,
                 qPrintable(edge.name()));
    }
};

QTEST_GUILESS_MAIN(TestCutOut)
#include "tst_cutout.moc"
