#include "ImageIntake.h"
#include "ImageDecoder.h"
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
        QImage stored(600, 400, QImage::Format_RGB32);
        QPainter painter(&stored);
        QLinearGradient g(0, 0, 600, 400);
        g.setColorAt(0, Qt::red);
        g.setColorAt(0.5, Qt::yellow);
        g.setColorAt(1, Qt::blue);
        painter.fillRect(stored.rect(), g);
        painter.fillRect(QRect(0, 0, 150, 100), Qt::black);
        painter.end();
        QByteArray bytes = TestImages::jpegWithOrientation(stored, orientation);

        QBuffer roomy(&bytes);
        QVERIFY(roomy.open(QIODevice::ReadOnly));
        const std::optional<QImage> full = ImageDecoder::decode(&roomy, 350);
        QVERIFY(full);
        const std::optional<QImage> expected = ImageIntake::normalize(*full, 350);
        QVERIFY(expected);

        QBuffer tight(&bytes);
        QVERIFY(tight.open(QIODevice::ReadOnly));
        const qint64 oneCopy = 600 * 400 * 4;
        const std::optional<QImage> lean = ImageDecoder::decode(&tight, 350, oneCopy * 3 / 2);
        QVERIFY(lean);
        QVERIFY(lean->width() <= 350 && lean->height() <= 350);
        const std::optional<QImage> got = ImageIntake::normalize(*lean, 350);
        QVERIFY(got);
        QCOMPARE(got->size(), expected->size());
        int worst = 0;
        for (int y = 0; y < got->height(); ++y)
            for (int x = 0; x < got->width(); ++x)
                worst = std::max(worst, TestImages::channelDistance(got->pixelColor(x, y),
                                                                    expected->pixelColor(x, y)));
        QVERIFY2(worst <= 1, qPrintable(QString::number(worst)));

        // And with room for neither, nothing.
        QBuffer cramped(&bytes);
        QVERIFY(cramped.open(QIODevice::ReadOnly));
        QVERIFY(!ImageDecoder::decode(&cramped, 350, oneCopy - 1));
    }
};

QTEST_GUILESS_MAIN(TestDecoder)
#include "tst_decoder.moc"
