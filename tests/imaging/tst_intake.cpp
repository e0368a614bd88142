#include "ImageIntake.h"
#include "TestImages.h"

#include <QBuffer>
#include <QColorSpace>
#include <QColorTransform>
#include <QImageReader>
#include <QTemporaryDir>
#include <QTest>

using TestImages::channelDistance;
using TestImages::filled;

class TestIntake final : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

    QString path(const QString& name) const { return m_dir.filePath(name); }

private slots:
    void initTestCase() { QVERIFY(m_dir.isValid()); }

    void longerSideRule_data()
    {
        QTest::addColumn<QSize>("in");
        QTest::addColumn<QSize>("out");
        QTest::newRow("portrait") << QSize(3000, 4000) << QSize(1920, 2560);
        QTest::newRow("equal is not greater") << QSize(2560, 1000) << QSize(2560, 1000);
        QTest::newRow("no 2559 from rounding") << QSize(2561, 2561) << QSize(2560, 2560);
        QTest::newRow("odd ratio") << QSize(3001, 1999) << QSize(2560, 1705);
        QTest::newRow("shorter at least 1") << QSize(12000, 3) << QSize(2560, 1);
    }

    void longerSideRule()
    {
        QFETCH(QSize, in);
        QFETCH(QSize, out);
        const std::optional<QImage> n = ImageIntake::normalize(filled(Qt::darkCyan, in), 2560.0);
        QVERIFY(n);
        QCOMPARE(n->size(), out);
        QCOMPARE(n->pixelColor(out.width() - 1, out.height() - 1), QColor(Qt::darkCyan));
    }

    void everyPixelFormatBecomesRgba8888_data()
    {
        QTest::addColumn<int>("format");
        QTest::addColumn<QColor>("colour");
        const QColor teal(0, 128, 128);
        QTest::newRow("grey8") << int(QImage::Format_Grayscale8) << QColor(77, 77, 77);
        QTest::newRow("grey16") << int(QImage::Format_Grayscale16) << QColor(200, 200, 200);
        QTest::newRow("rgb32") << int(QImage::Format_RGB32) << teal;
        QTest::newRow("argb32") << int(QImage::Format_ARGB32) << QColor(10, 20, 30, 40);
        QTest::newRow("argb32 premultiplied")
            << int(QImage::Format_ARGB32_Premultiplied) << QColor(255, 0, 0, 128);
        QTest::newRow("rgb16") << int(QImage::Format_RGB16) << QColor(0, 255, 0);
        QTest::newRow("rgb888") << int(QImage::Format_RGB888) << teal;
        QTest::newRow("rgba64") << int(QImage::Format_RGBA64) << QColor(1, 2, 3, 200);
        QTest::newRow("rgba16f premultiplied")
            << int(QImage::Format_RGBA16FPx4_Premultiplied) << QColor(240, 120, 60, 90);
        QTest::newRow("rgbx64") << int(QImage::Format_RGBX64) << QColor(250, 5, 128);
        QTest::newRow("float") << int(QImage::Format_RGBA32FPx4) << QColor(90, 180, 45, 255);
        QTest::newRow("mono") << int(QImage::Format_Mono) << QColor(Qt::white);
    }

    void everyPixelFormatBecomesRgba8888()
    {
        QFETCH(int, format);
        QFETCH(QColor, colour);
        // Both without and with the reduction: 4000 wide is scaled.
        for (int width : {300, 4000}) {
            const QImage in = filled(colour, QSize(width, 30), QImage::Format(format));
            const std::optional<QImage> out = ImageIntake::normalize(in, 2560.0);
            QVERIFY(out);
            QCOMPARE(out->format(), QImage::Format_RGBA8888);
            const QColor got = out->pixelColor(out->width() / 2, out->height() / 2);
            QVERIFY2(channelDistance(got, in.pixelColor(0, 0)) <= 1,
                     qPrintable(got.name(QColor::HexArgb)));
        }
    }

    void indexedWithTransparentEntries()
    {
        QImage in(4000, 10, QImage::Format_Indexed8);
        in.setColorTable({qRgba(0, 0, 0, 0), qRgba(255, 255, 0, 255)});
        in.fill(1);
        for (int y = 0; y < 10; ++y)
            std::memset(in.scanLine(y), 0, 100);
        const std::optional<QImage> out = ImageIntake::normalize(in, 2560.0);
        QVERIFY(out);
        QCOMPARE(out->pixelColor(0, 5).alpha(), 0);
        QCOMPARE(out->pixelColor(2000, 5), QColor(255, 255, 0));
    }

    void colourManagedInputConvertedToSrgb()
    {
        // Through a file with an embedded Display P3 profile.
        const QColor p3(200, 100, 50);
        QImage in = filled(p3, QSize(64, 48));
        in.setColorSpace(QColorSpace::DisplayP3);
        const QColor expected =
            in.colorSpace().transformationToColorSpace(QColorSpace::SRgb).map(p3);
        QVERIFY(channelDistance(expected, p3) > 8);
        QVERIFY(TestImages::writeFile(path("p3.png"), TestImages::encode(in, "png")));
        const std::optional<QImage> loaded =
            ImageIntake::load(QUrl::fromLocalFile(path("p3.png")), 2560);
        QVERIFY(loaded);
        QVERIFY2(channelDistance(loaded->pixelColor(5, 5), expected) <= 2,
                 qPrintable(loaded->pixelColor(5, 5).name()));
    }

    void exifOrientationApplied_data()
    {
        QTest::addColumn<int>("orientation");
        for (int o = 1; o <= 8; ++o)
            QTest::addRow("orientation %d", o) << o;
    }

    void exifOrientationApplied()
    {
        QFETCH(int, orientation);
        const int w = 64, h = 32;
        const QImage stored = TestImages::quadrants(w, h);
        const QByteArray bytes = TestImages::jpegWithOrientation(stored, orientation);
        const QString file = path(QStringLiteral("o%1.jpg").arg(orientation));
        QVERIFY(TestImages::writeFile(file, bytes));

        // Where the displayed pixel comes from in the stored image: 5 to 8
        // swap the axes, then some flip them.
        const bool swapped = orientation >= 5;
        const bool flipX = QList<int>{2, 3, 7, 8}.contains(orientation);
        const bool flipY = QList<int>{3, 4, 6, 7}.contains(orientation);
        auto source = [&](QPoint p) {
            const int a = swapped ? p.y() : p.x(), b = swapped ? p.x() : p.y();
            return QPoint(flipX ? w - 1 - a : a, flipY ? h - 1 - b : b);
        };
        for (const std::optional<QImage>& out :
             {ImageIntake::load(QUrl::fromLocalFile(file), 2560.0),
              ImageIntake::loadData(bytes, 2560.0)}) {
            QVERIFY(out);
            QCOMPARE(out->size(), swapped ? QSize(h, w) : QSize(w, h));
            for (int i = 0; i < 4; ++i) { // the middle of each quadrant
                const QPoint p(out->width() * (1 + i % 2 * 2) / 4,
                               out->height() * (1 + i / 2 * 2) / 4);
                QVERIFY2(channelDistance(out->pixelColor(p), stored.pixelColor(source(p))) <= 12,
                         qPrintable(QStringLiteral("at %1,%2").arg(p.x()).arg(p.y())));
            }
        }
    }

    void largeJpegDecodedReducedWithoutLosingQuality()
    {
        // A rotated 6000 x 4000 photo: the reduced read must match a full
        // decode reduced by area averaging, and keep its orientation.
        const QByteArray bytes =
            TestImages::jpegWithOrientation(TestImages::gradient(6000, 4000), 6);
        const std::optional<QImage> fast = ImageIntake::loadData(bytes, 2560.0);
        QVERIFY(fast);
        QCOMPARE(fast->size(), QSize(1707, 2560));
        QByteArray copy = bytes;
        QBuffer buffer(&copy);
        buffer.open(QIODevice::ReadOnly);
        QImageReader full(&buffer);
        full.setAutoTransform(true);
        full.setQuality(100);
        full.setAllocationLimit(1024);
        const std::optional<QImage> reference = ImageIntake::normalize(full.read(), 2560.0);
        QVERIFY(reference);
        int worst = 0;
        for (int y = 5; y < 2560; y += 101)
            for (int x = 5; x < 1707; x += 97)
                worst = std::max(
                    worst, channelDistance(fast->pixelColor(x, y), reference->pixelColor(x, y)));
        QVERIFY2(worst <= 3, qPrintable(QString::number(worst)));
    }

    void sixteenBitScanBeyondQtsDefaultLimit()
    {
        // 288 MB as RGBX64: Qt's own limit is 256 MB.
        const QString tiff = path("scan.tiff");
        const QColor colour(200, 150, 100);
        QVERIFY(TestImages::writeFile(
            tiff,
            TestImages::encode(filled(colour, QSize(6000, 6000), QImage::Format_RGBX64), "tiff")));
        const std::optional<QImage> s = ImageIntake::load(QUrl::fromLocalFile(tiff), 2560.0);
        QVERIFY(s);
        QCOMPARE(s->size(), QSize(2560, 2560));
        QVERIFY(channelDistance(s->pixelColor(100, 100), colour) <= 1);
    }

    void missingAndRemoteFilesFail()
    {
        QVERIFY(!ImageIntake::load(QUrl::fromLocalFile(path("nope.png")), 2560));
        QVERIFY(!ImageIntake::load(QUrl(QStringLiteral("https://example.com/a.png")), 2560));
        QVERIFY(!ImageIntake::load(QUrl::fromLocalFile(m_dir.path()), 2560));
        QVERIFY(!ImageIntake::normalize(QImage(), 2560));
    }
};

QTEST_GUILESS_MAIN(TestIntake)
#include "tst_intake.moc"
