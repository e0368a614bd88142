#include "CutOut.h"
#include "ImageIntake.h"
#include "OnDeviceVision.h"
#include "SubjectAnalysis.h"
#include "TestImages.h"

#include <QFileInfo>
#include <QPainter>
#include <QTest>
#include <opencv2/imgproc.hpp>

// The installed network on real photos (scripts/setup installs both; this
// fails, rather than skips, where either is missing).
class TestRealNetwork final : public QObject
{
    Q_OBJECT

    std::unique_ptr<OnDeviceVision> m_vision;

    static QImage load(const QString& name)
    {
        const QString path = TestImages::photo(name);
        if (!QFileInfo::exists(path))
            qFatal("%s is missing: run scripts/setup", qPrintable(path));
        return ImageIntake::load(QUrl::fromLocalFile(path), CutOut::maxSide).value_or(QImage());
    }

    // `left` and `right` side by side on grey, `gap` pixels apart, bottoms aligned.
    static QImage sideBySide(const QImage& left, const QImage& right, int gap)
    {
        QImage scene(left.width() + gap + right.width(), std::max(left.height(), right.height()),
                     QImage::Format_RGBA8888);
        scene.fill(QColor(128, 128, 128));
        QPainter painter(&scene);
        painter.drawImage(0, scene.height() - left.height(), left);
        painter.drawImage(left.width() + gap, scene.height() - right.height(), right);
        return scene;
    }

    // Share of the mask at least one half inside a rectangle of normalized
    // coordinates.
    static double cover(const cv::Mat& mask, QRectF r)
    {
        const cv::Rect box(int(r.x() * mask.cols), int(r.y() * mask.rows),
                           int(r.width() * mask.cols), int(r.height() * mask.rows));
        return double(cv::countNonZero(mask(box) >= 128)) / double(box.area());
    }

private slots:
    void initTestCase()
    {
        const QString path = OnDeviceVision::defaultNetworkPath();
        QVERIFY2(!path.isEmpty(), "the segmentation network is not installed: run scripts/setup");
        m_vision = std::make_unique<OnDeviceVision>(path);
        QVERIFY2(m_vision->instanceMasksAvailable(), qPrintable(m_vision->unavailableReason()));
    }

    // The cat, not the dark wall behind it, with a soft edge. Let go of
    // between images, the networks load again as the next one comes, and a
    // pass that hands its working buffer back as it ends leaves the next one
    // the same matte.
    void cutsOutACatAgainAfterARelease()
    {
        const QImage cat = load(QStringLiteral("chelsea.png"));
        QVERIFY(!cat.isNull());
        const cv::Mat mask = SubjectAnalysis::analyze(cat, *m_vision)->mask(std::nullopt);
        QCOMPARE(mask.size(), cv::Size(cat.width(), cat.height()));
        const double body = cover(mask, QRectF(0.3, 0.3, 0.3, 0.4));
        QVERIFY2(body > 0.9, qPrintable(QString::number(body)));
        const double corner = cover(mask, QRectF(0.9, 0, 0.1, 0.1));
        QVERIFY2(corner < 0.05, qPrintable(QString::number(corner)));
        QVERIFY(cv::countNonZero((mask > 20) & (mask < 235)) > 100);

        m_vision->keepWorkingMemory(false);
        QVERIFY(m_vision->release());
        QVERIFY(!m_vision->loadingFinished());
        for (int pass = 0; pass < 2; ++pass) {
            const cv::Mat again = SubjectAnalysis::analyze(cat, *m_vision)->mask(std::nullopt);
            QCOMPARE(cv::norm(mask, again, cv::NORM_INF), 0.0);
        }
        m_vision->keepWorkingMemory(true);
    }

    // The cat beside its mirror image, a clear gap between them: two
    // subjects, each with a mask of its own.
    void subjectsStandingApartComeOutSeparate()
    {
        const QImage cat = load(QStringLiteral("chelsea.png"));
        const QImage pair = sideBySide(cat, cat.mirrored(true, false), 80);
        const auto analysis = SubjectAnalysis::analyze(pair, *m_vision);
        const cv::Mat all = analysis->mask(std::nullopt);
        auto labelIn = [&](int x0, int x1) {
            const cv::Moments m = cv::moments(all.colRange(x0, x1) >= 128, true);
            return analysis->labelAtNormalized(
                {(x0 + m.m10 / m.m00) / pair.width(), (m.m01 / m.m00) / pair.height()});
        };
        const int64_t a = labelIn(0, cat.width()), b = labelIn(cat.width() + 80, pair.width());
        QVERIFY(a > 0 && b > 0 && a != b);
        const cv::Mat onlyA = analysis->mask(a) >= 128;
        QVERIFY(cv::countNonZero(onlyA.colRange(0, cat.width())) > 0);
        QCOMPARE(cv::countNonZero(onlyA.colRange(cat.width() + 80, pair.width())), 0);
    }

    // The finders on the same matte: the astronaut and the cat beside her
    // are a person and a cat a click tells apart, and nothing picked is the
    // matte's own result, to the pixel.
    void findersShareTheMatteOut()
    {
        const QString objectsPath = ObjectDetector::defaultPath();
        const QString posesPath = PoseEstimator::defaultPath();
        QVERIFY2(!objectsPath.isEmpty() && !posesPath.isEmpty(),
                 "the object or pose finder is not installed: run scripts/setup");
        const QImage person = load(QStringLiteral("astronaut.png"));
        const QImage scene = sideBySide(person, load(QStringLiteral("chelsea.png")), 0);

        const auto objects = ObjectDetector::load(objectsPath);
        const auto poses = PoseEstimator::load(posesPath);
        const cv::Mat matte =
            SegmentationNetwork::load(OnDeviceVision::defaultNetworkPath())->matte(scene);
        const InstanceMask alone = OnDeviceVision::subjectsIn(scene, matte);
        const InstanceMask shared =
            OnDeviceVision::subjectsIn(scene, matte, objects.get(), poses.get());
        const cv::Size size(scene.width(), scene.height());
        QCOMPARE(cv::countNonZero(shared.wholeMask(size) !=
                                  alone.scaledMask(alone.allInstances(), size)),
                 0);

        auto subjectAt = [&](int x, int y) -> int {
            return shared.labels.at<uchar>(y * shared.labels.rows / size.height,
                                           x * shared.labels.cols / size.width);
        };
        const int astronaut = subjectAt(230, 150), kitten = subjectAt(person.width() + 200, 330);
        QVERIFY(astronaut > 0 && kitten > 0 && astronaut != kitten);
        QCOMPARE(shared.info[size_t(astronaut - 1)].className, QStringLiteral("person"));
        QCOMPARE(shared.info[size_t(kitten - 1)].className, QStringLiteral("cat"));
        const cv::Mat her = shared.scaledMask({astronaut}, size) >= 128;
        QCOMPARE(cv::countNonZero(her.colRange(person.width() + 20, size.width)), 0);
        QVERIFY(cv::countNonZero(her) > person.width() * person.height() / 5);
    }
};

QTEST_GUILESS_MAIN(TestRealNetwork)
#include "tst_realnetwork.moc"
