#include "FakeVision.h"
#include "LabelMap.h"
#include "OnDeviceVision.h"
#include "SegmentationNetwork.h"
#include "SubjectAnalysis.h"

#include <QTemporaryDir>
#include <QTest>
#include <limits>
#include <opencv2/imgproc.hpp>

class TestSubjectAnalysis final : public QObject
{
    Q_OBJECT

    static QImage image(int w = 40, int h = 30)
    {
        QImage img(w, h, QImage::Format_RGBA8888);
        img.fill(Qt::gray);
        return img;
    }

    // An observation over a label buffer of the given layout.
    static std::shared_ptr<FakeObservation> observation(int width, int height, qsizetype stride,
                                                        InstanceSet instances = {1, 2})
    {
        auto o = FakeObservation::make(std::move(instances), width, height, stride, 0xEE);
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x)
                o->labelAt(x, y) = uint8_t(y * width + x);
        return o;
    }

    static std::shared_ptr<const SubjectAnalysis> analyzeWith(std::shared_ptr<FakeObservation> o)
    {
        FakeVision vision;
        vision.instanceResults = {o};
        return SubjectAnalysis::analyze(image(), vision);
    }

private slots:
    void labelLookupsOnAFourByFourMap()
    {
        const auto a = analyzeWith(observation(4, 4, 4));
        QVERIFY(a->labels);
        QCOMPARE(a->labelAtNormalized({0.5, 0.25}), 6);
        QCOMPARE(a->labelAtNormalized({0, 0}), 0);
        QCOMPARE(a->labelAtNormalized({1.0, 1.0}), 15);
        QCOMPARE(a->labelAtNormalized({-0.3, 0.6}), 8);
        // Far off the map (and not a number) reads the nearest edge, never
        // undefined behaviour in the conversion to an integer.
        constexpr double huge = std::numeric_limits<double>::max();
        QCOMPARE(a->labelAtNormalized({huge, -huge}), 3);
        QCOMPARE(a->labelAtNormalized({std::numeric_limits<double>::infinity(), 0.9}), 15);
        QCOMPARE(a->labelAtNormalized({std::nan(""), 0.0}), 0);
    }

    void coordinatesTruncateTowardZero()
    {
        LabelMap map{10, 1, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9}};
        QCOMPARE(map.labelAt({0.999, 0}), 9);
        QCOMPARE(map.labelAt({0.0999, 0}), 0);
        QCOMPARE(map.labelAt({0.1, 0}), 1);
        QCOMPARE(LabelMap().labelAt({0.5, 0.5}), 0);
    }

    void rowPaddingIsLeftOut()
    {
        // 16 columns, 32 bytes per row: the second half of each row is padding.
        const auto a = analyzeWith(observation(16, 3, 32));
        QVERIFY(a->labels);
        QCOMPARE(a->labels->width, 16);
        QCOMPARE(a->labels->height, 3);
        QCOMPARE(a->labels->data.size(), size_t(48));
        for (uint8_t v : a->labels->data)
            QVERIFY(v != 0xEE);
        QCOMPARE(int(a->labels->data[47]), 47);
    }

    void labelBufferWithoutMemory()
    {
        auto o = observation(4, 4, 4);
        o->noMemory = true;
        const auto a = analyzeWith(o);
        QVERIFY(!a->labels);
        QCOMPARE(a->instances, (InstanceSet{1, 2}));
        for (QPointF p : {QPointF(0, 0), QPointF(0.5, 0.5), QPointF(0.99, 0.99)})
            QCOMPARE(a->labelAtNormalized(p), 0);
    }

    void maskAsksForTheRightInstances()
    {
        auto o = observation(4, 4, 4, {1, 2});
        const auto a = analyzeWith(o);
        a->mask(std::nullopt);
        a->mask(3); // not among the instances: asked for anyway
        a->mask(2);
        QCOMPARE(o->asked.size(), size_t(3));
        QCOMPARE(o->asked[0], (InstanceSet{1, 2}));
        QCOMPARE(o->asked[1], (InstanceSet{3}));
        QCOMPARE(o->asked[2], (InstanceSet{2}));
        // Every mask comes out at the image's size.
        QCOMPARE(a->mask(1).size(), cv::Size(40, 30));
    }

    void maskErrorsPassThrough()
    {
        auto o = observation(4, 4, 4);
        o->maskError = VantelError::platform(QStringLiteral("scaled mask failed"));
        const auto a = analyzeWith(o);
        try {
            a->mask(std::nullopt);
            QFAIL("no error");
        } catch (const VantelError& e) {
            QCOMPARE(e.errorDescription(), QStringLiteral("scaled mask failed"));
        }
    }

    void nothingFoundIsNoSubject()
    {
        auto expectNoSubject = [](FakeVision& vision) {
            try {
                SubjectAnalysis::analyze(image(), vision);
                return false;
            } catch (const VantelError& e) {
                return e.kind() == VantelError::Kind::noSubject;
            }
        };
        FakeVision noResults;
        QVERIFY(expectNoSubject(noResults));
        FakeVision emptyInstances;
        emptyInstances.instanceResults = {observation(4, 4, 4, {})};
        QVERIFY(expectNoSubject(emptyInstances));
        FakeVision noPersonResult;
        noPersonResult.available = false;
        QVERIFY(expectNoSubject(noPersonResult));
        FakeVision personWithoutBuffer;
        personWithoutBuffer.available = false;
        personWithoutBuffer.personResults = {cv::Mat()};
        QVERIFY(expectNoSubject(personWithoutBuffer));
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

    void personPathIgnoresTheLabel()
    {
        FakeVision vision;
        vision.available = false;
        cv::Mat person(15, 20, CV_8UC1, cv::Scalar(0));
        person(cv::Rect(5, 0, 10, 15)).setTo(255);
        vision.personResults = {person};
        const auto a = SubjectAnalysis::analyze(image(40, 30), vision);
        QVERIFY(a->instances.empty());
        QVERIFY(!a->labels);
        QVERIFY(!a->observation);
        QCOMPARE(a->labelAtNormalized({0.5, 0.5}), 0);
        const cv::Mat all = a->mask(std::nullopt);
        const cv::Mat seven = a->mask(7);
        QCOMPARE(all.size(), cv::Size(40, 30));
        QCOMPARE(cv::countNonZero(all != seven), 0);
        QCOMPARE(int(all.at<uchar>(15, 20)), 255);
        QCOMPARE(int(all.at<uchar>(15, 2)), 0);
        // An image without a person still succeeds, with an empty mask.
        vision.personResults = {cv::Mat::zeros(15, 20, CV_8UC1)};
        QCOMPARE(cv::countNonZero(SubjectAnalysis::analyze(image(), vision)->mask(1)), 0);
    }

    void fitScalesEachAxis()
    {
        const cv::Mat m(768, 1024, CV_8UC1, cv::Scalar(9));
        const cv::Mat doubled = SubjectAnalysis::fit(m, QSize(2048, 1536));
        QCOMPARE(doubled.size(), cv::Size(2048, 1536));
        QCOMPARE(int(doubled.at<uchar>(1535, 2047)), 9);
        const cv::Mat same(1536, 2048, CV_8UC1, cv::Scalar(3));
        QCOMPARE(SubjectAnalysis::fit(same, QSize(2048, 1536)).data, same.data);
        // 1000 x 500 into 2000 x 2000: 2 across, 4 down. A vertical edge at
        // x = 500 lands at x = 1000.
        cv::Mat half(500, 1000, CV_8UC1, cv::Scalar(0));
        half.colRange(0, 500).setTo(255);
        const cv::Mat stretched = SubjectAnalysis::fit(half, QSize(2000, 2000));
        QCOMPARE(stretched.size(), cv::Size(2000, 2000));
        QCOMPARE(int(stretched.at<uchar>(1999, 990)), 255);
        QCOMPARE(int(stretched.at<uchar>(0, 1010)), 0);
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
        const float* r = blob.ptr<float>(0, 0);
        const float* g = blob.ptr<float>(0, 1);
        const float* b = blob.ptr<float>(0, 2);
        for (size_t i : {size_t(0), size_t(512 * 1024 + 700), size_t(1024 * 1024 - 1)}) {
            QCOMPARE(r[i], 127.0f / 256.0f);
            QCOMPARE(g[i], -0.5f);
            QCOMPARE(b[i], -0.5f);
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
            const auto a = SubjectAnalysis::analyze(image(120, 90), vision);
            QVERIFY(!a->observation);
            QVERIFY(a->personMask);
            QCOMPARE(cv::countNonZero(a->mask(std::nullopt)), 0);
        }
    }
};

QTEST_GUILESS_MAIN(TestSubjectAnalysis)
#include "tst_subjectanalysis.moc"
