#include "ImageDecoder.h"
#include "ImageIntake.h"
#include "TestImages.h"

#include <QBuffer>
#include <QPainter>
#include <QTest>

// The decoder's own paths that the hostile corpus cannot reach cheaply.
class TestDecoder final : public QObject
{
    Q_OBJECT

private slots:
    void turnedAfterReducingWhenTwoCopiesWouldNotFit_data()
    {
        QTest::addColumn<int>("orientation");
        for (int o = 2; o <= 8; ++o)
            QTest::addRow("orientation %d", o) << o;
    }

    void turnedAfterReducingWhenTwoCopiesWouldNotFit()
    {
        // Qt turns an image by copying it. With room for one 600 x 400 image
        // but not two, the decoder reduces first and turns the small result:
        // the same picture as turning first.
        QFETCH(int, orientation);
        QImage stored = TestImages::gradient(600, 400);
        QPainter(&stored).fillRect(QRect(0, 0, 150, 100), Qt::black);
        QByteArray bytes = TestImages::jpegWithOrientation(stored, orientation);

        auto decode = [&bytes](qint64 budget) {
            QBuffer buffer(&bytes);
            buffer.open(QIODevice::ReadOnly);
            return ImageDecoder::decode(&buffer, 350, budget);
        };
        const std::optional<QImage> full = decode(ImageDecoder::decodeBudget);
        QVERIFY(full);
        const std::optional<QImage> expected = ImageIntake::normalize(*full, 350);
        const qint64 oneCopy = 600 * 400 * 4;
        const std::optional<QImage> lean = decode(oneCopy * 3 / 2);
        QVERIFY(lean && lean->width() <= 350 && lean->height() <= 350);
        const std::optional<QImage> got = ImageIntake::normalize(*lean, 350);
        QVERIFY(got && expected);
        QCOMPARE(got->size(), expected->size());
        int worst = 0;
        for (int y = 0; y < got->height(); ++y)
            for (int x = 0; x < got->width(); ++x)
                worst = std::max(worst, TestImages::channelDistance(got->pixelColor(x, y),
                                                                    expected->pixelColor(x, y)));
        QVERIFY2(worst <= 1, qPrintable(QString::number(worst)));

        // And with room for neither, nothing.
        QVERIFY(!decode(oneCopy - 1));
    }
};

QTEST_GUILESS_MAIN(TestDecoder)
#include "tst_decoder.moc"
