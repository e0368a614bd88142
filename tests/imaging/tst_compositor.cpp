#include "Compositor.h"
#include "MaskFeather.h"
#include "TestImages.h"

#include <QTest>

// The compositor's own rules: the feather's size, the mask over a source
// with alpha, what it refuses. The blend itself and the subject's colour in
// the edge are covered by tst_foreground.
class TestCompositor final : public QObject
{
    Q_OBJECT

private slots:
    void featherIsThousandthsOfTheLongerSide()
    {
        // Feather 10 on a 300 x 400 image: a Gaussian of sigma 4.
        cv::Mat mask(400, 300, CV_8UC1, cv::Scalar(0));
        mask.colRange(0, 150).setTo(255);
        const std::optional<QImage> out = Compositor::composite(
            TestImages::filled(Qt::red, QSize(300, 400)), mask, 10.0, std::nullopt);
        QVERIFY(out);
        const cv::Mat exact = MaskFeather::exact(mask, 4.0);
        for (int x = 130; x < 170; ++x)
            QVERIFY2(std::abs(out->pixelColor(x, 200).alpha() - exact.at<float>(200, x)) <= 2,
                     qPrintable(QString::number(x)));
    }

    void sourceWithItsOwnAlpha()
    {
        const QSize size(60, 40);
        const QImage source = TestImages::filled(QColor(255, 0, 0, 128), size);
        cv::Mat mask(40, 60, CV_8UC1, cv::Scalar(255));
        mask.colRange(30, 60).setTo(0);
        mask.colRange(20, 30).setTo(128);

        const std::optional<QImage> clear = Compositor::composite(source, mask, 0, std::nullopt);
        QVERIFY(clear);
        QCOMPARE(clear->pixelColor(5, 5), QColor(255, 0, 0, 128));
        QCOMPARE(clear->pixelColor(25, 5), QColor(255, 0, 0, 64));
        QCOMPARE(clear->pixelColor(45, 5).alpha(), 0);

        // White given as HSV, as a colour dialog may give it.
        const std::optional<QImage> white =
            Compositor::composite(source, mask, 0, QColor::fromHsv(0, 0, 255));
        QVERIFY(white);
        QCOMPARE(white->pixelColor(5, 5), QColor(255, 0, 0, 128));
        QCOMPARE(white->pixelColor(45, 5), QColor(Qt::white));
        // Half source (alpha 128 -> 64 premultiplied) and half opaque white.
        const QColor mid = white->pixelColor(25, 5);
        QVERIFY2(TestImages::channelDistance(mid, QColor(255, 170, 170, 191)) <= 1,
                 qPrintable(mid.name(QColor::HexArgb)));
    }

    void unusableMasksGiveNothing()
    {
        const QImage source = TestImages::filled(Qt::red, QSize(20, 10));
        for (const auto& [image, mask] :
             {std::pair(source, cv::Mat()), std::pair(source, cv::Mat(10, 20, CV_32F)),
              std::pair(QImage(), cv::Mat(10, 20, CV_8UC1))})
            QVERIFY(!Compositor::composite(image, mask, 0, std::nullopt));
        // A foreground (the subject's colour) must be 8-bit RGB of the source's size.
        const cv::Mat mask(10, 20, CV_8UC1, cv::Scalar(255));
        QVERIFY(!Compositor::composite(source, mask, cv::Mat(10, 21, CV_8UC3), 0, std::nullopt));
        QVERIFY(!Compositor::composite(source, mask, cv::Mat(10, 20, CV_8UC4), 0, std::nullopt));
        // A mask of another size is stretched over the source.
        const cv::Mat half(5, 10, CV_8UC1, cv::Scalar(255));
        const std::optional<QImage> out = Compositor::composite(source, half, 0, std::nullopt);
        QVERIFY(out);
        QCOMPARE(out->pixelColor(19, 9), QColor(Qt::red));
    }
};

QTEST_GUILESS_MAIN(TestCompositor)
#include "tst_compositor.moc"
