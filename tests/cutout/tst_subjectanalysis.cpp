#include "FakeVision.h"
#include "LabelMap.h"
#include "OnDeviceVision.h"
#include "SegmentationNetwork.h"
#include "SubjectAnalysis.h"
#include "TestImages.h"

#include <QTemporaryDir>
#include <QTest>
#include <limits>

Q_DECLARE_METATYPE(cv::Rect)

class TestSubjectAnalysis final : public QObject
{
    Q_OBJECT

    // How analyze() ends: "no subject", the error's own text, or "found".
    static QString outcome(VisionService& vision, const QImage& img = TestImages::filled(Qt::gray))
    {
        try {
            SubjectAnalysis::analyze(img, vision);
            return QStringLiteral("found");
        } catch (const VantelError& e) {
            return e.kind() == VantelError::Kind::noSubject ? QStringLiteral("no subject")
                                                            : e.errorDescription();
        }
    }

private slots:
    void labelLookups()
    {
        cv::Mat grid(4, 4, CV_8UC1);
        for (int i = 0; i < 16; ++i)
            grid.at<uchar>(i / 4, i % 4) = uchar(i);
        const LabelMap map{grid};
        QCOMPARE(map.labelAt({0.5, 0.25}), 6);
        QCOMPARE(map.labelAt({1.0, 1.0}), 15);
        QCOMPARE(map.labelAt({-0.3, 0.6}), 8);
        QCOMPARE(map.labelAt({0.2499, 0}), 0); // truncated, not rounded
        // Far off the map (and not a number) reads the nearest edge, never
        // undefined behaviour in the conversion to an integer.
        constexpr double huge = std::numeric_limits<double>::max();
        QCOMPARE(map.labelAt({huge, -huge}), 3);
        QCOMPARE(map.labelAt({std::numeric_limits<double>::infinity(), 0.9}), 15);
        QCOMPARE(map.labelAt({std::nan(""), 0.0}), 0);
        QCOMPARE(LabelMap().labelAt({0.5, 0.5}), 0);
    }

    // A picture 200 x 100 where the matte shows a small ball (20 x 20,
    // subject 2) and a finder names a bear (subject 1) the matte barely saw.
    // The network, run again over a box, sees what `seen` covers, and a post
    // mostly beyond the bear's box. All keeps the bear where the finder is
    // sure of it and the pass finds an object of its own there: all of that
    // object, the post not; it adds nothing that is plainly background.
    void allKeepsALargeSureFindTheMatteLeftOut_data()
    {
        QTest::addColumn<float>("score");
        QTest::addColumn<cv::Rect>("box");
        QTest::addColumn<cv::Rect>("seen");
        QTest::addColumn<bool>("passRuns");
        QTest::addColumn<int>("kept"); // pixels of all, at least half
        const cv::Rect bear(60, 10, 100, 80), bearSeen(55, 15, 100, 70);
        QTest::newRow("the bear, whole past its box") << 0.4f << bear << bearSeen << true << 7400;
        QTest::newRow("a faint find") << 0.15f << bear << bearSeen << false << 400;
        QTest::newRow("a box across the picture")
            << 0.4f << cv::Rect(2, 10, 196, 60) << bearSeen << false << 400;
        QTest::newRow("smaller than the ball")
            << 0.4f << cv::Rect(100, 10, 15, 15) << bearSeen << false << 400;
        QTest::newRow("the network sees nothing there")
            << 0.4f << bear << cv::Rect() << true << 400;
        QTest::newRow("only a sliver") << 0.4f << bear << cv::Rect(60, 10, 100, 8) << true << 400;
    }
    void allKeepsALargeSureFindTheMatteLeftOut()
    {
        QFETCH(float, score);
        QFETCH(cv::Rect, box);
        QFETCH(cv::Rect, seen);
        QFETCH(bool, passRuns);
        QFETCH(int, kept);
        const cv::Rect ball(30, 60, 20, 20);
        InstanceMask m;
        m.count = 2;
        m.matte = cv::Mat::zeros(100, 200, CV_8UC1);
        m.matte(box).setTo(40);
        m.matte(ball).setTo(255);
        m.owner = cv::Mat::zeros(100, 200, CV_8UC1);
        m.owner(ball).setTo(2);
        m.labels = m.owner.clone();
        m.info = {{QStringLiteral("bear"), score, box, nullptr},
                  {QStringLiteral("sports_ball"), 0.5f, ball, nullptr}};
        FakeVision vision;
        vision.instanceResult = m;
        vision.regionResult = cv::Mat::zeros(100, 200, CV_8UC1);
        if (!seen.empty())
            vision.regionResult(seen).setTo(255);
        vision.regionResult(cv::Rect(158, 20, 40, 10)).setTo(255); // the post
        const auto analysis =
            SubjectAnalysis::analyze(TestImages::filled(Qt::gray, {200, 100}), vision);
        QCOMPARE(vision.regionsAsked.size(), size_t(passRuns ? 1 : 0));
        QCOMPARE(cv::countNonZero(analysis->mask(std::nullopt) >= 128), kept);
        // Picking the ball keeps the ball alone.
        QCOMPARE(cv::countNonZero(analysis->mask(2) >= 128), 400);
    }

    // Nothing found is no subject, on either path; the service's own error
    // passes through unchanged.
    void failures()
    {
        FakeVision vision;
        QCOMPARE(outcome(vision), QStringLiteral("no subject"));
        vision.instanceResult = InstanceMask{};
        QCOMPARE(outcome(vision), QStringLiteral("no subject"));
        vision.error = VantelError::platform(QStringLiteral("The service broke."));
        QCOMPARE(outcome(vision), QStringLiteral("The service broke."));
        vision.available = false;
        QCOMPARE(outcome(vision), QStringLiteral("The service broke."));
        vision.error.reset();
        QCOMPARE(outcome(vision), QStringLiteral("no subject"));
        vision.personResult = cv::Mat::zeros(10, 10, CV_8UC1); // looked, found nobody
        QCOMPARE(outcome(vision), QStringLiteral("no subject"));
    }

    void personPathScalesEachAxisAndIgnoresTheLabel()
    {
        FakeVision vision;
        vision.available = false;
        // 20 x 10 into 40 x 40: 2 across, 4 down; the edge at x = 10 lands at 20.
        vision.personResult = cv::Mat(10, 20, CV_8UC1, cv::Scalar(0));
        vision.personResult.colRange(0, 10).setTo(255);
        const auto a = SubjectAnalysis::analyze(TestImages::filled(Qt::gray, {40, 40}), vision);
        QCOMPARE(a->labelAtNormalized({0.1, 0.1}), 0);
        const cv::Mat all = a->mask(std::nullopt);
        QCOMPARE(all.size(), cv::Size(40, 40));
        QCOMPARE(cv::countNonZero(all != a->mask(7)), 0);
        QCOMPARE(int(all.at<uchar>(39, 18)), 255);
        QCOMPARE(int(all.at<uchar>(0, 22)), 0);
    }

    void networkInputIsRgbCentred()
    {
        QImage red(50, 30, QImage::Format_RGBA8888);
        red.fill(QColor(255, 0, 0));
        const cv::Mat blob = SegmentationNetwork::inputBlob(red);
        QVERIFY(blob.dims == 4 && blob.size[1] == 3 && blob.size[2] == 1024 &&
                blob.size[3] == 1024);
        for (size_t i : {size_t(0), size_t(512 * 1024 + 700), size_t(1024 * 1024 - 1)}) {
            QCOMPARE(blob.ptr<float>(0, 0)[i], 127.0f / 256.0f);
            QCOMPARE(blob.ptr<float>(0, 1)[i], -0.5f);
            QCOMPARE(blob.ptr<float>(0, 2)[i], -0.5f);
        }
    }

    // Without a network the person path answers: nobody in a grey picture.
    void missingNetworkFallsBackToPeople()
    {
        QTemporaryDir dir;
        for (const QString& path : {dir.filePath(QStringLiteral("missing.onnx")), QString()}) {
            OnDeviceVision vision(path);
            QVERIFY(!vision.instanceMasksAvailable());
            QVERIFY(!vision.unavailableReason().isEmpty());
            QCOMPARE(outcome(vision, TestImages::filled(Qt::gray, {120, 90})),
                     QStringLiteral("no subject"));
        }
    }
};

QTEST_GUILESS_MAIN(TestSubjectAnalysis)
#include "tst_subjectanalysis.moc"
