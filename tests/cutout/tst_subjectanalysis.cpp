#include "FakeVision.h"
#include "LabelMap.h"
#include "OnDeviceVision.h"
#include "SegmentationNetwork.h"
#include "SubjectAnalysis.h"

#include <QTemporaryDir>
#include <QTest>
#include <limits>
#include <opencv2/imgproc.hpp>

Q_DECLARE_METATYPE(cv::Rect)

class TestSubjectAnalysis final : public QObject
{
    Q_OBJECT

    static QImage image(int w = 40, int h = 30)
    {
        QImage img(w, h, QImage::Format_RGBA8888);
        img.fill(Qt::gray);
        return img;
    }

    static bool throwsNoSubject(FakeVision& vision)
    {
        try {
            SubjectAnalysis::analyze(image(), vision);
            return false;
        } catch (const VantelError& e) {
            return e.kind() == VantelError::Kind::noSubject;
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

    void masksOfSubjectsAtTheImageSize()
    {
        FakeVision vision;
        InstanceMask subjects = twoSubjects(20, 16);
        subjects.matte.at<uchar>(8, 2) = 100; // a soft pixel of subject 1
        vision.instanceResult = subjects;
        const auto a = SubjectAnalysis::analyze(image(40, 32), vision);
        QCOMPARE(a->instances, (InstanceSet{1, 2}));
        QCOMPARE(a->labelAtNormalized({0.1, 0.9}), 1);
        QCOMPARE(a->labelAtNormalized({0.9, 0.9}), 2);
        QCOMPARE(a->labelAtNormalized({0.5, 0.05}), 0);

        const cv::Mat all = a->mask(std::nullopt);
        const cv::Mat one = a->mask(1);
        QCOMPARE(all.size(), cv::Size(40, 32));
        QCOMPARE(int(all.at<uchar>(28, 4)), 255);
        QCOMPARE(int(all.at<uchar>(28, 36)), 255);
        QCOMPARE(int(one.at<uchar>(28, 36)), 0);
        QCOMPARE(int(one.at<uchar>(28, 4)), 255);
        // Soft values survive the resize to the image's size.
        const int soft = one.at<uchar>(17, 5);
        QVERIFY2(soft > 100 && soft < 255, qPrintable(QString::number(soft)));
        // A label that was not found selects nothing.
        QCOMPARE(cv::countNonZero(a->mask(3)), 0);
    }

    // A picture 200 x 100 where the matte shows a small ball (20 x 20) and
    // a finder is sure of a bear (box 100 x 80) that the matte barely saw.
    static InstanceMask ballAndFaintBear(float bearScore = 0.4f,
                                         cv::Rect bearBox = {60, 10, 100, 80})
    {
        InstanceMask m;
        m.count = 2;
        m.matte = cv::Mat::zeros(100, 200, CV_8UC1);
        m.matte(bearBox).setTo(40);
        m.matte(cv::Rect(30, 60, 20, 20)).setTo(255);
        m.owner = cv::Mat::zeros(100, 200, CV_8UC1);
        m.owner(cv::Rect(30, 60, 20, 20)).setTo(2);
        m.labels = m.owner.clone();
        m.info.resize(2);
        m.info[0] = {QStringLiteral("bear"), bearScore, bearBox, nullptr};
        m.info[1] = {QStringLiteral("sports_ball"), 0.5f, cv::Rect(30, 60, 20, 20), nullptr};
        return m;
    }

    void allKeepsALargeSureFindTheMatteLeftOut()
    {
        FakeVision vision;
        vision.instanceResult = ballAndFaintBear();
        // Run again over the bear's box the network sees it, a little past
        // the box, and a post mostly beyond the box.
        vision.regionResult = cv::Mat::zeros(100, 200, CV_8UC1);
        vision.regionResult(cv::Rect(55, 15, 100, 70)).setTo(255);
        vision.regionResult(cv::Rect(158, 20, 40, 10)).setTo(255);
        const auto analysis = SubjectAnalysis::analyze(image(200, 100), vision);
        QCOMPARE(vision.regionsAsked.size(), size_t(1));
        const cv::Mat all = analysis->mask(std::nullopt);
        QCOMPARE(int(all.at<uchar>(70, 40)), 255);  // the ball
        QCOMPARE(int(all.at<uchar>(50, 100)), 255); // the bear
        // The bear whole, the post not.
        QCOMPARE(int(all.at<uchar>(50, 57)), 255);
        QCOMPARE(int(all.at<uchar>(25, 170)), 0);
        // Picking the ball still keeps the ball alone.
        QCOMPARE(int(analysis->mask(2).at<uchar>(50, 100)), 0);
    }

    void allAddsNoBackground_data()
    {
        QTest::addColumn<float>("score");
        QTest::addColumn<cv::Rect>("box");
        QTest::addColumn<cv::Rect>("seen");
        QTest::addColumn<bool>("passRuns");
        const cv::Rect bear(60, 10, 100, 80), bearSeen(70, 15, 80, 70);
        QTest::newRow("a faint find") << 0.15f << bear << bearSeen << false;
        QTest::newRow("a box across the picture")
            << 0.4f << cv::Rect(2, 10, 196, 60) << bearSeen << false;
        QTest::newRow("smaller than the ball")
            << 0.4f << cv::Rect(100, 10, 15, 15) << bearSeen << false;
        QTest::newRow("the network sees nothing there") << 0.4f << bear << cv::Rect() << true;
        QTest::newRow("only a sliver") << 0.4f << bear << cv::Rect(60, 10, 100, 8) << true;
    }
    void allAddsNoBackground()
    {
        QFETCH(float, score);
        QFETCH(cv::Rect, box);
        QFETCH(cv::Rect, seen);
        QFETCH(bool, passRuns);
        FakeVision vision;
        vision.instanceResult = ballAndFaintBear(score, box);
        vision.regionResult = cv::Mat::zeros(100, 200, CV_8UC1);
        if (!seen.empty())
            vision.regionResult(seen).setTo(255);
        const auto analysis = SubjectAnalysis::analyze(image(200, 100), vision);
        QCOMPARE(vision.regionsAsked.size(), size_t(passRuns ? 1 : 0));
        const cv::Mat all = analysis->mask(std::nullopt);
        QCOMPARE(cv::countNonZero(all >= 128), 400);
    }

    void nothingFoundIsNoSubject()
    {
        FakeVision noResult;
        QVERIFY(throwsNoSubject(noResult));
        FakeVision noInstances;
        noInstances.instanceResult = InstanceMask{};
        QVERIFY(throwsNoSubject(noInstances));
        FakeVision noPerson;
        noPerson.available = false;
        QVERIFY(throwsNoSubject(noPerson));
        noPerson.personResult = cv::Mat::zeros(10, 10, CV_8UC1); // looked, found nobody
        QVERIFY(throwsNoSubject(noPerson));
    }

    void serviceErrorsPassThroughUnchanged()
    {
        for (bool available : {true, false}) {
            FakeVision vision;
            vision.available = available;
            vision.error = VantelError::platform(QStringLiteral("The service broke."));
            try {
                SubjectAnalysis::analyze(image(), vision);
                QFAIL("no error");
            } catch (const VantelError& e) {
                QCOMPARE(e.errorDescription(), QStringLiteral("The service broke."));
            }
        }
    }

    void personPathScalesEachAxisAndIgnoresTheLabel()
    {
        FakeVision vision;
        vision.available = false;
        // 20 x 10 into 40 x 40: 2 across, 4 down; the edge at x = 10 lands at 20.
        cv::Mat person(10, 20, CV_8UC1, cv::Scalar(0));
        person.colRange(0, 10).setTo(255);
        vision.personResult = person;
        const auto a = SubjectAnalysis::analyze(image(40, 40), vision);
        QVERIFY(!a->labels);
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
        QCOMPARE(blob.dims, 4);
        QCOMPARE(blob.size[1], 3);
        QCOMPARE(blob.size[2], 1024);
        QCOMPARE(blob.size[3], 1024);
        for (size_t i : {size_t(0), size_t(512 * 1024 + 700), size_t(1024 * 1024 - 1)}) {
            QCOMPARE(blob.ptr<float>(0, 0)[i], 127.0f / 256.0f);
            QCOMPARE(blob.ptr<float>(0, 1)[i], -0.5f);
            QCOMPARE(blob.ptr<float>(0, 2)[i], -0.5f);
        }
    }

    void missingOrCorruptNetworkFallsBackToPeople()
    {
        QTemporaryDir dir;
        const QString corrupt = dir.filePath(QStringLiteral("isnet.onnx"));
        QFile file(corrupt);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(QByteArray(4096, 'x'));
        file.close();
        for (const QString& path :
             {dir.filePath(QStringLiteral("missing.onnx")), corrupt, QString()}) {
            OnDeviceVision vision(path);
            QVERIFY(!vision.instanceMasksAvailable());
            QVERIFY(!vision.unavailableReason().isEmpty());
            // The person path answers: nobody in a grey picture.
            try {
                SubjectAnalysis::analyze(image(120, 90), vision);
                QFAIL("no error");
            } catch (const VantelError& e) {
                QCOMPARE(e.kind(), VantelError::Kind::noSubject);
            }
        }
    }
};

QTEST_GUILESS_MAIN(TestSubjectAnalysis)
#include "tst_subjectanalysis.moc"
