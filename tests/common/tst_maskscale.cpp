#include "MaskScale.h"

#include <QTest>

class TestMaskScale final : public QObject
{
    Q_OBJECT

private slots:
    void aMaskThatFitsIsSharedNotCopied()
    {
        const cv::Mat mask(30, 40, CV_8UC1, cv::Scalar(7));
        QCOMPARE(MaskScale::fitted(mask, cv::Size(40, 30)).data, mask.data);
        // Nothing to scale, or nothing to scale to: handed back as it is.
        QVERIFY(MaskScale::fitted(cv::Mat(), cv::Size(40, 30)).empty());
        QCOMPARE(MaskScale::fitted(mask, cv::Size()).data, mask.data);
    }

    void eachAxisScalesBilinearly()
    {
        // A hard edge at x = 5 of 10, brought to 20 x 40: the edge lands at
        // x = 10 with one soft step on either side, the same on every row.
        cv::Mat mask(10, 10, CV_8UC1, cv::Scalar(0));
        mask.colRange(0, 5).setTo(255);
        const cv::Mat out = MaskScale::fitted(mask, cv::Size(20, 40));
        QCOMPARE(out.size(), cv::Size(20, 40));
        QCOMPARE(out.type(), CV_8UC1);
        for (int y : {0, 17, 39}) {
            QCOMPARE(int(out.at<uchar>(y, 8)), 255);
            QCOMPARE(int(out.at<uchar>(y, 9)), 191);
            QCOMPARE(int(out.at<uchar>(y, 10)), 64);
            QCOMPARE(int(out.at<uchar>(y, 11)), 0);
        }
    }
};

QTEST_GUILESS_MAIN(TestMaskScale)
#include "tst_maskscale.moc"
