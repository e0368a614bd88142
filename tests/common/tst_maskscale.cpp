#include "MaskScale.h"

#include <QTest>

class TestMaskScale final : public QObject
{
    Q_OBJECT

private slots:
    // A mask that fits, or nothing to scale or to scale to, is handed back
    // shared, never copied; any other is scaled bilinearly along each axis.
    void fitsEachAxisBilinearly()
    {
        cv::Mat mask(10, 10, CV_8UC1, cv::Scalar(0));
        mask.colRange(0, 5).setTo(255);
        QCOMPARE(MaskScale::fitted(mask, cv::Size(10, 10)).data, mask.data);
        QCOMPARE(MaskScale::fitted(mask, cv::Size()).data, mask.data);
        QVERIFY(MaskScale::fitted(cv::Mat(), cv::Size(40, 30)).empty());

        // The hard edge at x = 5, brought to 20 x 40, lands at x = 10 with
        // one soft step on either side, the same on every row.
        const cv::Mat out = MaskScale::fitted(mask, cv::Size(20, 40));
        QCOMPARE(out.size(), cv::Size(20, 40));
        QCOMPARE(out.type(), CV_8UC1);
        for (int y : {0, 17, 39})
            QCOMPARE(std::vector<int>(out.ptr(y) + 8, out.ptr(y) + 12),
                     (std::vector<int>{255, 191, 64, 0}));
    }
};

QTEST_GUILESS_MAIN(TestMaskScale)
#include "tst_maskscale.moc"
