#include "BoxPass.h"
#include "FakeVision.h"

#include <QPainter>
#include <QTest>
#include <opencv2/imgproc.hpp>

Q_DECLARE_METATYPE(cv::Rect)

// A box drawn around an object: the network looks at the box and a margin,
// and what it finds inside the box is kept, nothing outside it.
class TestBoxPass final : public QObject
{
    Q_OBJECT

private slots:
    void theRegionIsTheBoxAndAMarginInsideTheImage_data()
    {
        QTest::addColumn<cv::Rect>("box");
        QTest::addColumn<cv::Rect>("region");
        QTest::newRow("inside") << cv::Rect(100, 100, 200, 100) << cv::Rect(70, 85, 260, 130);
        QTest::newRow("at the corner") << cv::Rect(0, 0, 100, 100) << cv::Rect(0, 0, 115, 115);
        QTest::newRow("past the edge")
            << cv::Rect(950, 700, 200, 200) << cv::Rect(920, 670, 80, 130);
        QTest::newRow("the whole image") << cv::Rect(0, 0, 1000, 800) << cv::Rect(0, 0, 1000, 800);
        QTest::newRow("one pixel") << cv::Rect(10, 10, 1, 1) << cv::Rect(10, 10, 1, 1);
        QTest::newRow("outside") << cv::Rect(1000, 0, 50, 50) << cv::Rect();
    }

    void theRegionIsTheBoxAndAMarginInsideTheImage()
    {
        QFETCH(cv::Rect, box);
        QFETCH(cv::Rect, region);
        QCOMPARE(BoxPass::regionFor(box, cv::Size(1000, 800)), region);
    }

    // Two objects side by side and a third above; the network's matte over
    // the region is whatever lies there.
    void keepsTheObjectsMostlyInsideTheBox()
    {
        FakeVision vision;
        vision.regionResult = cv::Mat::zeros(200, 300, CV_8UC1);
        cv::rectangle(vision.regionResult, cv::Rect(40, 100, 60, 80), 255, cv::FILLED);
        cv::rectangle(vision.regionResult, cv::Rect(110, 100, 60, 80), 255, cv::FILLED);
        cv::rectangle(vision.regionResult, cv::Rect(40, 10, 130, 40), 128, cv::FILLED);
        const QImage image(300, 200, QImage::Format_RGBA8888);

        // A box around the left object: its pixels, none of its neighbour's
        // that the margin showed the network.
        const cv::Rect left(35, 95, 70, 90);
        const cv::Mat one = BoxPass::mask(vision, image, left);
        QCOMPARE(vision.regionsAsked.back(), BoxPass::regionFor(left, cv::Size(300, 200)));
        QCOMPARE(one.size(), cv::Size(300, 200));
        QCOMPARE(cv::countNonZero(one), 60 * 80);
        QCOMPARE(int(one.at<uchar>(140, 70)), 255);
        QCOMPARE(int(one.at<uchar>(140, 112)), 0);

        // A box over both keeps both, and the soft values as they are.
        const cv::Mat both = BoxPass::mask(vision, image, cv::Rect(30, 5, 150, 190));
        QCOMPARE(cv::countNonZero(both), 2 * 60 * 80 + 130 * 40);
        QCOMPARE(int(both.at<uchar>(30, 100)), 128);

        // A box drawn a little inside the left object's edges keeps it past
        // them, as far as the network looked.
        const cv::Rect tight(50, 110, 40, 60);
        const cv::Rect looked = BoxPass::regionFor(tight, cv::Size(300, 200));
        QCOMPARE(cv::countNonZero(BoxPass::mask(vision, image, tight)),
                 (looked & cv::Rect(40, 100, 60, 80)).area());

        // A box at the border, cut by the image's edge, holding most of the
        // left object; one holding only a sliver of it keeps nothing of it.
        const cv::Rect corner(-20, 90, 85, 100);
        const cv::Rect cornerLooked = BoxPass::regionFor(corner, cv::Size(300, 200));
        QCOMPARE(cv::countNonZero(BoxPass::mask(vision, image, corner)),
                 (cornerLooked & cv::Rect(40, 100, 60, 80)).area());
        const cv::Mat sliver = BoxPass::kept(vision.regionResult(cornerLooked), cornerLooked,
                                             cv::Rect(-20, 90, 65, 100), cv::Size(300, 200));
        QCOMPARE(cv::countNonZero(sliver), 0);

        // A box outside the image asks nothing and keeps nothing.
        const size_t asked = vision.regionsAsked.size();
        QCOMPARE(cv::countNonZero(BoxPass::mask(vision, image, cv::Rect(400, 0, 10, 10))), 0);
        QCOMPARE(vision.regionsAsked.size(), asked);
    }

    // Where the network sees next to nothing in the box, the box's colours
    // against those around it find the object: a blurred or faint one.
    void aBoxTheNetworkSeesNothingInIsCutByColour()
    {
        FakeVision vision;
        vision.regionResult = cv::Mat::zeros(200, 300, CV_8UC1);
        QImage image(300, 200, QImage::Format_RGBA8888);
        image.fill(QColor(200, 210, 190));
        QPainter painter(&image);
        painter.setPen(Qt::NoPen);
        painter.setBrush(QColor(150, 40, 60));
        painter.drawEllipse(QRect(110, 60, 80, 90));
        painter.end();
        const cv::Mat kept = BoxPass::mask(vision, image, cv::Rect(100, 50, 100, 110));
        cv::Mat truth = cv::Mat::zeros(200, 300, CV_8UC1);
        cv::ellipse(truth, cv::Point(150, 105), cv::Size(40, 45), 0, 0, 360, 255, cv::FILLED);
        const double overlap = cv::countNonZero((kept >= 128) & truth);
        const double either = cv::countNonZero((kept >= 128) | truth);
        QVERIFY2(overlap / either > 0.9, qPrintable(QString::number(overlap / either)));
        // Never outside the box, and not from a box over the whole image.
        QCOMPARE(cv::countNonZero(kept(cv::Rect(0, 0, 100, 200))), 0);
        QVERIFY(BoxPass::byColour(image, cv::Rect(0, 0, 300, 200)).empty());
    }

    void aFailedPassIsTheServicesError()
    {
        FakeVision vision;
        vision.regionResult = cv::Mat::zeros(20, 20, CV_8UC1);
        vision.error = VantelError::platform(QStringLiteral("no network"));
        try {
            BoxPass::mask(vision, QImage(20, 20, QImage::Format_RGBA8888), cv::Rect(2, 2, 8, 8));
            QFAIL("no error");
        } catch (const VantelError& e) {
            QCOMPARE(e.errorDescription(), QStringLiteral("no network"));
        }
    }
};

QTEST_GUILESS_MAIN(TestBoxPass)
#include "tst_boxpass.moc"
