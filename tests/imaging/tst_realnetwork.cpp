#include "Compositor.h"
#include "OnDeviceVision.h"
#include "SubjectAnalysis.h"
#include "TestImages.h"

#include <QPainter>
#include <QTest>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

// The installed network on real photos. Skips where the network or the
// shared evaluation photos are absent.
class TestRealNetwork final : public QObject
{
    Q_OBJECT

    QString m_photos;

    static double iou(const cv::Mat& ours, const cv::Mat& truth)
    {
        const cv::Mat valid = truth != 128; // the uncertain band is left out
        const cv::Mat a = (ours >= 128) & valid;
        const cv::Mat b = (truth == 255) & valid;
        return double(cv::countNonZero(a & b)) / std::max(1, cv::countNonZero(a | b));
    }

private slots:
    void initTestCase()
    {
        m_photos = TestImages::evalDataDir();
        if (m_photos.isEmpty())
            QSKIP("../shared/evaldata is absent");
        if (OnDeviceVision::defaultNetworkPath().isEmpty())
            QSKIP("the segmentation network is not installed (scripts/setup installs it)");
        OnDeviceVision::shared().startLoading();
        QVERIFY2(OnDeviceVision::shared().instanceMasksAvailable(),
                 qPrintable(OnDeviceVision::shared().unavailableReason()));
    }

    void cutsOutAPerson()
    {
        const std::optional<QImage> photo = Compositor::load(
            QUrl::fromLocalFile(m_photos + QStringLiteral("/grabcut/images/person1.jpg")), 2560);
        QVERIFY(photo);
        const auto analysis = SubjectAnalysis::analyze(*photo);
        QVERIFY(analysis->observation);
        const cv::Mat mask = analysis->mask(std::nullopt);
        QCOMPARE(mask.size(), cv::Size(photo->width(), photo->height()));
        const cv::Mat truth =
            cv::imread((m_photos + QStringLiteral("/grabcut/masks/person1.png")).toStdString(),
                       cv::IMREAD_GRAYSCALE);
        QCOMPARE(truth.size(), mask.size());
        const double score = iou(mask, truth);
        QVERIFY2(score > 0.9, qPrintable(QString::number(score)));
        // The edge stays soft: some values between the extremes.
        QVERIFY(cv::countNonZero((mask > 20) & (mask < 235)) > 100);
    }

    void subjectsStandingApartComeOutSeparate()
    {
        // Two people side by side with a clear gap between them.
        const QImage person(m_photos + QStringLiteral("/grabcut/images/person5.jpg"));
        QVERIFY(!person.isNull());
        QImage pair(person.width() * 2 + 80, person.height(), QImage::Format_RGBA8888);
        pair.fill(QColor(128, 128, 128));
        QPainter painter(&pair);
        painter.drawImage(0, 0, person);
        painter.drawImage(person.width() + 80, 0, person.mirrored(true, false));
        painter.end();

        const auto analysis = SubjectAnalysis::analyze(*Compositor::normalize(pair, 2560));
        QVERIFY2(analysis->instances.size() >= 2,
                 qPrintable(QString::number(analysis->instances.size())));
        QVERIFY(analysis->labels);
        // The middle of each half's subject: the centre of its mask.
        const cv::Mat all = analysis->mask(std::nullopt);
        auto centreOf = [&](int x0, int x1) {
            const cv::Moments m =
                cv::moments(all(cv::Range::all(), cv::Range(x0, x1)) >= 128, true);
            return QPointF((x0 + m.m10 / m.m00) / pair.width(), (m.m01 / m.m00) / pair.height());
        };
        const QPointF left = centreOf(0, person.width());
        const QPointF right = centreOf(person.width() + 80, pair.width());
        const int64_t a = analysis->labelAtNormalized(left);
        const int64_t b = analysis->labelAtNormalized(right);
        QVERIFY(a > 0 && b > 0);
        QVERIFY(a != b);

        // One subject's mask holds that subject only.
        const cv::Mat onlyA = analysis->mask(a);
        const int leftCover =
            cv::countNonZero(onlyA(cv::Range::all(), cv::Range(0, person.width())) >= 128);
        const int rightCover = cv::countNonZero(
            onlyA(cv::Range::all(), cv::Range(person.width() + 80, pair.width())) >= 128);
        QVERIFY(left.x() < 0.5 ? (leftCover > 0 && rightCover == 0)
                               : (rightCover > 0 && leftCover == 0));
    }
};

QTEST_GUILESS_MAIN(TestRealNetwork)
#include "tst_realnetwork.moc"
