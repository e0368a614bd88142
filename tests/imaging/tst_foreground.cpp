#include "Compositor.h"
#include "ForegroundEstimate.h"
#include "MaskBlend.h"
#include "TestImages.h"

#include <QTest>
#include <opencv2/imgproc.hpp>
#include <random>

using TestImages::channelDistance;

// The subject's colour under a mask, and the composite that uses it: a soft
// or feathered edge must carry the subject's colour, never the old
// background's.
class TestForeground final : public QObject
{
    Q_OBJECT

    const QColor subject{230, 120, 30};   // orange
    const QColor background{20, 60, 200}; // blue

    // A photo made the way a camera sees a soft edge: a disc whose edge
    // ramps over 8 px, each pixel alpha * subject + (1 - alpha) * background,
    // and the matching mask.
    struct Photo
    {
        QImage image;
        cv::Mat mask;
    };
    Photo softDisc(QSize size, double radius) const
    {
        Photo p{QImage(size, QImage::Format_RGBA8888),
                cv::Mat(size.height(), size.width(), CV_8UC1)};
        for (int y = 0; y < size.height(); ++y) {
            for (int x = 0; x < size.width(); ++x) {
                const double d = std::hypot(x - size.width() / 2.0, y - size.height() / 2.0);
                const int m = std::clamp(int(std::lround((radius - d) / 8.0 * 255.0)), 0, 255);
                p.image.setPixelColor(x, y, mix(subject, background, m));
                p.mask.at<uchar>(y, x) = uchar(m);
            }
        }
        return p;
    }

    // a over b at alpha m / 255, rounded.
    static QColor mix(QColor a, QColor b, int m)
    {
        auto one = [m](int fc, int bc) {
            return (fc * m + bc * (255 - m) + 127) / 255;
        };
        return QColor(one(a.red(), b.red()), one(a.green(), b.green()), one(a.blue(), b.blue()));
    }

    static QColor at(const cv::Mat& f, int x, int y)
    {
        const cv::Vec3b v = f.at<cv::Vec3b>(y, x);
        return QColor(v[0], v[1], v[2]);
    }

private slots:
    void softEdgeOverWhiteHoldsNoBackground_data()
    {
        QTest::addColumn<double>("feather");
        for (double feather : {0.0, 3.0, 10.0, 20.0})
            QTest::addRow("feather %g", feather) << feather;
    }

    void softEdgeOverWhiteHoldsNoBackground()
    {
        QFETCH(double, feather);
        const Photo p = softDisc(QSize(320, 240), 70);
        const cv::Mat f = ForegroundEstimate::estimate(p.image, p.mask);
        const std::optional<QImage> white =
            Compositor::composite(p.image, p.mask, f, feather, QColor(Qt::white));
        const std::optional<QImage> clear =
            Compositor::composite(p.image, p.mask, f, feather, std::nullopt);
        QVERIFY(white && clear);
        for (int y = 0; y < 240; ++y) {
            for (int x = 0; x < 320; ++x) {
                // Over white: exactly subject over white at the result's
                // alpha, so no blue anywhere in the fringe.
                const QColor c = clear->pixelColor(x, y);
                QVERIFY2(channelDistance(white->pixelColor(x, y),
                                         mix(subject, Qt::white, c.alpha())) <= 3,
                         qPrintable(QStringLiteral("(%1, %2)").arg(x).arg(y)));
                // Clear: the subject's colour, straight, wherever anything is
                // covered; transparent black elsewhere.
                QVERIFY(c.alpha() ? channelDistance(QColor(c.rgb()), subject) <= 3
                                  : c == QColor(0, 0, 0, 0));
            }
        }
        // The feather still spreads the edge outward.
        if (feather >= 10)
            QVERIFY(clear->pixelColor(160 + 74, 120).alpha() > 0);
    }

    void sureSubjectKeepsTheSourcePixels()
    {
        // A textured subject: F is the source pixel itself where the mask is
        // 255 (the composite then shows the source there, as the blend below
        // is checked to do).
        cv::Mat rgb(120, 160, CV_8UC3), rgba, mask(120, 160, CV_8UC1, cv::Scalar(0));
        cv::randu(rgb, 0, 256);
        cv::cvtColor(rgb, rgba, cv::COLOR_RGB2RGBA);
        cv::circle(mask, cv::Point(80, 60), 40, cv::Scalar(255), cv::FILLED);
        cv::GaussianBlur(mask, mask, cv::Size(9, 9), 2.0);
        const QImage image(rgba.data, 160, 120, int(rgba.step), QImage::Format_RGBA8888);
        const cv::Mat f = ForegroundEstimate::estimate(image, mask);
        QVERIFY(cv::countNonZero(mask == 255) > 3000);
        QCOMPARE(cv::norm(f, rgb, cv::NORM_INF, mask == 255), 0.0);
    }

    void estimateAgainstKnownColours()
    {
        // Two subjects of different colours: outside, however far, each pixel
        // takes the colour of the one it is next to.
        cv::Mat image(100, 200, CV_8UC3, cv::Scalar(0, 0, 255));
        cv::Mat mask(100, 200, CV_8UC1, cv::Scalar(0));
        for (const auto& [x, colour] :
             {std::pair(20, cv::Scalar(255, 0, 0)), std::pair(140, cv::Scalar(0, 255, 0))}) {
            cv::rectangle(image, cv::Rect(x, 20, 40, 60), colour, cv::FILLED);
            cv::rectangle(mask, cv::Rect(x, 20, 40, 60), cv::Scalar(255), cv::FILLED);
        }
        const cv::Mat two = ForegroundEstimate::estimate(image, mask);
        QVERIFY(channelDistance(at(two, 65, 50), Qt::red) <= 3);
        QVERIFY(channelDistance(at(two, 134, 50), Qt::green) <= 3);
        QVERIFY(channelDistance(at(two, 40, 5), Qt::red) <= 3);
        cv::Mat channels[3];
        cv::split(two, channels);
        QVERIFY(cv::norm(channels[2], cv::NORM_INF) <= 2); // no trace of the background
        // A mask that never reaches 255 still gives the subject's colour.
        const cv::Mat unsure = ForegroundEstimate::estimate(image, mask * (200.0 / 255.0));
        QVERIFY(unsure.at<cv::Vec3b>(50, 65)[0] >= 250);
        // A mask at another size (the analysis's working size) is brought to
        // the image's, as the composite does.
        const QImage photo = softDisc(QSize(40, 30), 10).image;
        const cv::Mat smallMask(15, 20, CV_8UC1, cv::Scalar(255));
        QCOMPARE(ForegroundEstimate::estimate(photo, smallMask).size(), cv::Size(40, 30));
    }

    void blendOfRunsMatchesPixelByPixel()
    {
        // The blend lays long runs of 0 and 255 down whole; it must give
        // what each pixel blended on its own (a 1 x 1 image) gives, for
        // sources with and without their own alpha, over every background.
        std::mt19937 rng(11);
        const int w = 203, h = 9;
        QImage source(w, h, QImage::Format_RGBA8888);
        cv::Mat mask(h, w, CV_8UC1), f(h, w, CV_8UC3);
        for (int y = 0; y < h; ++y) {
            for (int x = 0; x < w; ++x) {
                const int alpha = y < 3 ? 255 : y < 6 ? int(rng() % 3) * 127 : int(rng() & 255);
                source.setPixelColor(x, y, QColor(rng() & 255, rng() & 255, rng() & 255, alpha));
                // Runs of 0 and 255 of varied length with soft pixels between.
                const int phase = (x + 7 * y) % 41;
                mask.at<uchar>(y, x) = phase < 17 ? 255 : phase < 33 ? 0 : uchar(rng() & 255);
                f.at<cv::Vec3b>(y, x) = cv::Vec3b(rng() & 255, rng() & 255, rng() & 255);
            }
        }
        for (const std::optional<QColor>& bg :
             {std::optional<QColor>(), std::optional(QColor(Qt::white)),
              std::optional(QColor(52, 199, 89)), std::optional(QColor(10, 20, 30, 100))}) {
            const QImage whole = MaskBlend::blend(source, mask, f, bg);
            for (int y = 0; y < h; ++y) {
                for (int x = 0; x < w; ++x) {
                    const QImage one = MaskBlend::blend(source.copy(x, y, 1, 1),
                                                        mask(cv::Rect(x, y, 1, 1)).clone(),
                                                        f(cv::Rect(x, y, 1, 1)).clone(), bg);
                    QCOMPARE(whole.pixel(x, y), one.pixel(0, 0));
                    // Fully covered: the source itself; uncovered: the
                    // background; transparent black where nothing shows.
                    const QRgb src = source.pixel(x, y);
                    const uchar m = mask.at<uchar>(y, x);
                    if (m == 0 || m == 255)
                        QCOMPARE(whole.pixel(x, y), m ? (qAlpha(src) ? src : 0u)
                                                      : (bg && bg->alpha() ? bg->rgba() : 0u));
                }
            }
        }
    }
};

QTEST_GUILESS_MAIN(TestForeground)
#include "tst_foreground.moc"
