#include "Compositor.h"
#include "TestImages.h"

#include <QTest>
#include <opencv2/imgproc.hpp>

class TestCompositor final : public QObject
{
    Q_OBJECT

    static cv::Mat discMask(QSize size)
    {
        cv::Mat mask(size.height(), size.width(), CV_8UC1, cv::Scalar(0));
        cv::circle(mask, cv::Point(size.width() / 2, size.height() / 2),
                   std::min(size.width(), size.height()) / 3, cv::Scalar(255), cv::FILLED);
        return mask;
    }

    static QImage solid(QSize size, QColor colour, QImage::Format format = QImage::Format_RGBA8888)
    {
        QImage image(size, format);
        image.fill(colour);
        return image;
    }

private slots:
    void blurStartsAboveSigmaThreshold()
    {
        for (int width : {50, 51}) {
            const QSize size(width, 20);
            cv::Mat mask(20, width, CV_8UC1, cv::Scalar(0));
            mask.colRange(0, width / 2).setTo(255);
            const std::optional<QImage> out =
                Compositor::composite(solid(size, Qt::red), mask, 1.0, std::nullopt);
            QVERIFY(out);
            // Sigma 0.05 is not blurred (and 0.051 blurs too little to show
            // in 8 bits; the threshold itself is a feather test).
            for (int x = 0; x < width; ++x)
                QCOMPARE(out->pixelColor(x, 10).alpha(), int(mask.at<uchar>(10, x)));
        }
        // Feather 0 leaves a hard edge exactly as it is.
        const QSize size(400, 300);
        const cv::Mat mask = discMask(size);
        const std::optional<QImage> hard =
            Compositor::composite(solid(size, Qt::red), mask, 0.0, std::nullopt);
        QVERIFY(hard);
        for (int x = 0; x < 400; x += 3)
            QCOMPARE(hard->pixelColor(x, 150).alpha(), int(mask.at<uchar>(150, x)));
    }

    void transparentBackgroundKeepsSourceColourAndCutsAlpha()
    {
        const QSize size(120, 90);
        QImage source = TestImages::quadrants(size.width(), size.height());
        const cv::Mat mask = discMask(size);
        cv::Mat soft = mask.clone();
        soft.at<uchar>(45, 60) = 100; // one soft pixel inside
        for (const std::optional<QColor>& none :
             {std::optional<QColor>(), std::optional(QColor())}) {
            const std::optional<QImage> out = Compositor::composite(source, soft, 0.0, none);
            QVERIFY(out);
            QCOMPARE(out->format(), QImage::Format_RGBA8888);
            QCOMPARE(out->size(), size);
            for (int y = 0; y < size.height(); ++y) {
                for (int x = 0; x < size.width(); ++x) {
                    const QColor got = out->pixelColor(x, y);
                    const int m = soft.at<uchar>(y, x);
                    QCOMPARE(got.alpha(), m);
                    if (m == 0)
                        QCOMPARE(got, QColor(0, 0, 0, 0));
                    else
                        QCOMPARE(got.rgb(), source.pixelColor(x, y).rgb());
                }
            }
        }
    }

    void opaqueBackgroundsGiveOpaquePixels_data()
    {
        QTest::addColumn<QColor>("background");
        QTest::newRow("white") << QColor(Qt::white);
        QTest::newRow("black") << QColor(Qt::black);
        QTest::newRow("custom green") << QColor(52, 199, 89);
        QTest::newRow("hsv colour") << QColor::fromHsv(300, 200, 150);
    }

    void opaqueBackgroundsGiveOpaquePixels()
    {
        QFETCH(QColor, background);
        const QSize size(200, 150);
        const QImage source = solid(size, QColor(200, 40, 10));
        const cv::Mat mask = discMask(size);
        const std::optional<QImage> out = Compositor::composite(source, mask, 8.0, background);
        QVERIFY(out);
        for (int y = 0; y < size.height(); y += 7)
            for (int x = 0; x < size.width(); x += 7)
                QCOMPARE(out->pixelColor(x, y).alpha(), 255);
        QCOMPARE(out->pixelColor(0, 0).rgb(), background.toRgb().rgb());
        QCOMPARE(out->pixelColor(100, 75).rgb(), QColor(200, 40, 10).rgb());
        // Half-way along the feathered edge the colour is a mix of both.
        const QColor edge = out->pixelColor(100 + 50, 75);
        QVERIFY(edge.rgb() != background.toRgb().rgb() && edge.rgb() != QColor(200, 40, 10).rgb());
    }

    void sourceWithItsOwnAlpha()
    {
        const QSize size(60, 40);
        const QImage source = solid(size, QColor(255, 0, 0, 128));
        cv::Mat mask(40, 60, CV_8UC1, cv::Scalar(255));
        mask.colRange(30, 60).setTo(0);
        mask.colRange(20, 30).setTo(128);

        const std::optional<QImage> clear = Compositor::composite(source, mask, 0, std::nullopt);
        QVERIFY(clear);
        QCOMPARE(clear->pixelColor(5, 5), QColor(255, 0, 0, 128));
        QCOMPARE(clear->pixelColor(25, 5), QColor(255, 0, 0, 64));
        QCOMPARE(clear->pixelColor(45, 5).alpha(), 0);

        const std::optional<QImage> white =
            Compositor::composite(source, mask, 0, QColor(Qt::white));
        QVERIFY(white);
        QCOMPARE(white->pixelColor(5, 5), QColor(255, 0, 0, 128));
        QCOMPARE(white->pixelColor(45, 5), QColor(Qt::white));
        // Half source (alpha 128 -> 64 premultiplied) and half opaque white.
        const QColor mid = white->pixelColor(25, 5);
        QVERIFY(std::abs(mid.alpha() - 191) <= 1);
        QCOMPARE(mid.red(), 255);
        QVERIFY(std::abs(mid.green() - 170) <= 1);
    }

    void unusableMasksGiveNothing()
    {
        const QImage source = solid(QSize(20, 10), Qt::red);
        QVERIFY(!Compositor::composite(source, cv::Mat(), 0, std::nullopt));
        QVERIFY(!Compositor::composite(source, cv::Mat(10, 20, CV_32F, cv::Scalar(1)), 0,
                                       std::nullopt));
        QVERIFY(!Compositor::composite(QImage(), cv::Mat(10, 20, CV_8UC1), 0, std::nullopt));
        // A mask of another size is stretched over the source.
        const cv::Mat half(5, 10, CV_8UC1, cv::Scalar(255));
        const std::optional<QImage> out = Compositor::composite(source, half, 0, std::nullopt);
        QVERIFY(out);
        QCOMPARE(out->pixelColor(19, 9), QColor(Qt::red));
    }
};

QTEST_GUILESS_MAIN(TestCompositor)
#include "tst_compositor.moc"
