#include "MaskFeather.h"

#include <QTest>
#include <opencv2/imgproc.hpp>

// The fast feather must stay within 2/255 of an exact float Gaussian
// everywhere, including at the image border where edges are repeated.
class TestMaskFeather final : public QObject
{
    Q_OBJECT

    static cv::Mat shapes(cv::Size size)
    {
        cv::Mat m(size, CV_8UC1, cv::Scalar(0));
        // Hard-edged shapes touching every border, a thin line, a dot.
        cv::rectangle(m, cv::Rect(0, 0, size.width / 3, size.height / 2), cv::Scalar(255),
                      cv::FILLED);
        cv::circle(m, cv::Point(size.width * 2 / 3, size.height * 2 / 3),
                   std::min(size.width, size.height) / 4, cv::Scalar(255), cv::FILLED);
        cv::rectangle(m, cv::Rect(size.width - 7, 0, 7, size.height), cv::Scalar(255), cv::FILLED);
        cv::line(m, cv::Point(0, size.height - 1), cv::Point(size.width - 1, size.height / 3),
                 cv::Scalar(255), 1);
        m.at<uchar>(size.height / 2, size.width / 2) = 255;
        return m;
    }

private slots:
    void staysCloseToExactGaussian_data()
    {
        QTest::addColumn<QString>("pattern");
        QTest::addColumn<QSize>("size");
        QTest::addColumn<double>("sigma");
        // Across the slider's range at full size, odd sizes whose last block
        // is partial, images smaller than the blur, and the worst inputs:
        // noise and 3-pixel stripes.
        for (double sigma : {0.06, 1.0, 2.56, 5.0, 5.99, 6.0, 9.0, 12.8, 15.0, 25.6, 38.4, 51.2})
            QTest::addRow("2560x1920 s=%g", sigma) << "shapes" << QSize(2560, 1920) << sigma;
        for (double sigma : {7.0, 13.3, 33.3})
            QTest::addRow("1001x777 s=%g", sigma) << "shapes" << QSize(1001, 777) << sigma;
        QTest::addRow("tall 61x1000 s=20") << "shapes" << QSize(61, 1000) << 20.0;
        QTest::addRow("tiny 9x7 s=40") << "shapes" << QSize(9, 7) << 40.0;
        QTest::addRow("line 1x300 s=12") << "shapes" << QSize(1, 300) << 12.0;
        for (const char* pattern : {"noise", "stripes"})
            for (double sigma : {6.0, 10.0, 24.0})
                QTest::addRow("%s s=%g", pattern, sigma) << pattern << QSize(640, 480) << sigma;
    }

    void staysCloseToExactGaussian()
    {
        QFETCH(QString, pattern);
        QFETCH(QSize, size);
        QFETCH(double, sigma);
        cv::Mat mask = shapes(cv::Size(size.width(), size.height()));
        if (pattern == QLatin1String("noise")) {
            cv::randu(mask, 0, 2);
            mask *= 255;
        }
        for (int x = 0; x < mask.cols && pattern == QLatin1String("stripes"); ++x)
            mask.col(x).setTo((x / 3) % 2 ? 255 : 0);
        cv::Mat fast;
        MaskFeather::blurred(mask, sigma).convertTo(fast, CV_32F);
        double worst = 0;
        cv::minMaxLoc(cv::abs(fast - MaskFeather::exact(mask, sigma)), nullptr, &worst);
        QVERIFY2(worst <= 2.0, qPrintable(QStringLiteral("max error %1/255").arg(worst)));
    }

    void smallSigmaReturnsTheMaskItself()
    {
        const cv::Mat mask = shapes(cv::Size(50, 20));
        for (double sigma : {0.05, 0.0, std::nan("")})
            QCOMPARE(MaskFeather::blurred(mask, sigma).data, mask.data);
        const cv::Mat soft = MaskFeather::blurred(mask, 0.051);
        QVERIFY(soft.data != mask.data);
        QCOMPARE(soft.size(), mask.size());
    }
};

QTEST_GUILESS_MAIN(TestMaskFeather)
#include "tst_maskfeather.moc"
