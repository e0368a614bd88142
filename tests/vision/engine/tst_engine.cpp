#include "DnnlNetwork.h"
#include "ModelFiles.h"
#include "NetworkRunner.h"
#include "ObjectDetector.h"
#include "OnnxGraph.h"
#include "OnnxModel.h"
#include "OpenCvNetwork.h"
#include "PoseEstimator.h"
#include "SegmentationNetwork.h"
#include "TestImages.h"

#include <QTemporaryDir>
#include <QTest>
#include <opencv2/dnn.hpp>

namespace {

// The graph's first output on oneDNN, and on OpenCV's DNN module.
std::pair<cv::Mat, cv::Mat> bothEngines(const OnnxModel& model, const cv::Mat& input)
{
    const std::string bytes = model.bytes();
    const auto dnnl = DnnlNetwork::build(OnnxGraph::parse(bytes));
    const cv::Mat ours = dnnl->forward(std::vector<cv::Mat>{input}).at(0).clone();
    try {
        cv::dnn::Net net = cv::dnn::readNetFromONNX(bytes.data(), bytes.size());
        net.setInput(input);
        return {ours, net.forward().clone()};
    } catch (const cv::Exception& e) {
        qWarning("OpenCV: %s", e.what());
        throw;
    }
}

double maxDifference(const cv::Mat& a, const cv::Mat& b)
{
    if (a.total() != b.total())
        return INFINITY;
    return cv::norm(a.reshape(1, 1), b.reshape(1, 1), cv::NORM_INF);
}

} // namespace

// The oneDNN engine as a whole: what it leaves to OpenCV, the folding of
// sizes at load, and the real networks against OpenCV on photos (skipped
// until scripts/setup has fetched them). Operators one at a time, alone and
// joined to a convolution: tst_operators.
class TestEngine final : public QObject
{
    Q_OBJECT

private slots:
    void whatOneDnnComputesOtherwiseIsRefused_data()
    {
        // Valid graphs the engine leaves to OpenCV: oneDNN would compute
        // other values.
        QTest::addColumn<QString>("mode");
        QTest::addColumn<QString>("transform");
        QTest::addColumn<int>("side");
        QTest::newRow("linear align_corners") << "linear"
                                              << "align_corners" << 4;
        QTest::newRow("nearest asymmetric 2 to 5") << "nearest"
                                                   << "asymmetric" << 5;
        QTest::newRow("cubic") << "cubic"
                               << "half_pixel" << 4;
    }

    void whatOneDnnComputesOtherwiseIsRefused()
    {
        QFETCH(QString, mode);
        QFETCH(QString, transform);
        QFETCH(int, side);
        OnnxModel m("x", {1, 1, 2, 2});
        m.ints("sizes", {1, 1, side, side});
        auto& r = m.node("Resize", {"x", "", "", "sizes"}, {"y"});
        OnnxModel::attr(r, "mode", mode.toStdString());
        OnnxModel::attr(r, "coordinate_transformation_mode", transform.toStdString());
        OnnxModel::attr(r, "nearest_mode", std::string("floor"));
        m.output("y", {1, 1, side, side});
        QVERIFY_THROWS_EXCEPTION(UnsupportedGraph, DnnlNetwork::build(OnnxGraph::parse(m.bytes())));
    }

    void sizesComputedFromShapesAreFoldedAtLoad()
    {
        // Resize to the size of another tensor, computed as the network's
        // exporter writes it: Shape, Slice, Concat.
        OnnxModel m("x", {1, 1, 2, 2});
        m.ints("start", {0});
        m.ints("end", {2});
        m.ints("spatial", {4, 4});
        m.node("Shape", {"x"}, {"shape"});
        m.node("Slice", {"shape", "start", "end"}, {"nc"});
        auto& cat = m.node("Concat", {"nc", "spatial"}, {"sizes"});
        OnnxModel::attr(cat, "axis", int64_t(0));
        auto& up = m.node("Resize", {"x", "", "", "sizes"}, {"y"});
        OnnxModel::attr(up, "mode", std::string("nearest"));
        OnnxModel::attr(up, "coordinate_transformation_mode", std::string("asymmetric"));
        OnnxModel::attr(up, "nearest_mode", std::string("floor"));
        m.output("y", {1, 1, 4, 4});
        const OnnxGraph graph = OnnxGraph::parse(m.bytes());
        QCOMPARE(graph.nodes.size(), size_t(1));
        QCOMPARE(graph.nodes[0].op, std::string("Resize"));
        QCOMPARE(graph.constants.at("sizes").ints, (std::vector<int64_t>{1, 1, 4, 4}));
        const auto [ours, theirs] = bothEngines(m, Blobs::make({1, 1, 2, 2}, {1, 2, 3, 4}));
        QCOMPARE(Blobs::values(ours),
                 (std::vector<float>{1, 1, 2, 2, 1, 1, 2, 2, 3, 3, 4, 4, 3, 3, 4, 4}));
        QCOMPARE(maxDifference(ours, theirs), 0.0);
    }

    void anUnknownOperatorFallsBackToOpenCv()
    {
        OnnxModel m("x", {1, 4, 1, 1});
        m.node("Softmax", {"x"}, {"y"});
        m.output("y", {1, 4, 1, 1});
        try {
            OnnxGraph::parse(m.bytes());
            QFAIL("a Softmax was taken");
        } catch (const UnsupportedGraph& e) {
            QVERIFY(QString::fromUtf8(e.what()).contains(QStringLiteral("Softmax")));
        }
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("softmax.onnx"));
        QVERIFY(TestImages::writeFile(path, QByteArray::fromStdString(m.bytes())));
        const auto runner = NetworkRunner::load(path);
        QVERIFY(runner->engine().startsWith(QStringLiteral("OpenCV DNN")));
        QVERIFY(runner->engine().contains(QStringLiteral("Softmax")));
        const cv::Mat y = runner->forward(Blobs::make({1, 4, 1, 1}, {0, 0, 0, 0}), {"y"}).at(0);
        QCOMPARE(y.ptr<float>()[3], 0.25f);
        // Not a model at all: no engine, and no crash.
        QVERIFY(TestImages::writeFile(path, "not a model"));
        QVERIFY_THROWS_EXCEPTION(std::exception, NetworkRunner::load(path));
    }

    void realNetworksMatchOpenCv_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<int>("side");
        QTest::addColumn<QStringList>("outputs");
        QTest::newRow("isnet") << QStringLiteral("isnet.onnx") << 1024
                               << QStringList{QStringLiteral("output")};
        QTest::newRow("nanodet") << QStringLiteral("nanodet.onnx") << 416
                                 << QStringList{QStringLiteral("cls8"), QStringLiteral("box32")};
        QTest::newRow("movenet") << QStringLiteral("movenet-multipose.onnx") << 256
                                 << QStringList{QStringLiteral("kpt_heatmap"),
                                                QStringLiteral("box_offset")};
    }

    void realNetworksMatchOpenCv()
    {
        // On the photos setup installs: within 2e-3 of OpenCV everywhere.
        QFETCH(QString, file);
        QFETCH(int, side);
        QFETCH(QStringList, outputs);
        const QString path = ModelFiles::locate(file);
        if (path.isEmpty())
            QSKIP("the networks are missing: run scripts/setup");
        const auto ours = DnnlNetwork::build(OnnxGraph::read(path));
        OpenCvNetwork theirs(path, {});
        std::vector<std::string> names;
        for (const QString& o : outputs)
            names.push_back(o.toStdString());
        for (const char* photo : {"astronaut.png", "coffee.png"}) {
            const QImage image(TestImages::photo(QString::fromLatin1(photo)));
            if (image.isNull())
                QSKIP("the photos are missing: run scripts/setup");
            const QImage rgb = image.scaled(side, side).convertToFormat(QImage::Format_RGB888);
            const int dims[] = {1, 3, side, side};
            cv::Mat input(4, dims, CV_32F);
            for (int c = 0; c < 3; ++c)
                for (int y = 0; y < side; ++y)
                    for (int x = 0; x < side; ++x)
                        input.ptr<float>(0, c)[y * side + x] =
                            (rgb.constScanLine(y)[x * 3 + c] - 128.f) / 256.f;
            const std::vector<cv::Mat> a = ours->forward(input, names);
            const std::vector<cv::Mat> b = theirs.forward(input, names);
            for (size_t i = 0; i < names.size(); ++i) {
                qInfo("%s %s: largest difference %.1e", photo, qPrintable(outputs[int(i)]),
                      maxDifference(a[i], b[i]));
                QVERIFY2(maxDifference(a[i], b[i]) <= 2e-3,
                         qPrintable(QStringLiteral("%1 %2: %3")
                                        .arg(photo, outputs[int(i)])
                                        .arg(maxDifference(a[i], b[i]))));
            }
        }
    }
};

QTEST_MAIN(TestEngine)
#include "tst_engine.moc"
