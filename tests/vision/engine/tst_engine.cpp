#include "DnnlNetwork.h"
#include "ModelFiles.h"
#include "NetworkRunner.h"
#include "OnnxGraph.h"
#include "OnnxModel.h"
#include "OpenCvNetwork.h"
#include "TestImages.h"

#include <QTemporaryDir>
#include <QTest>
#include <opencv2/dnn.hpp>
#include <tuple>

Q_DECLARE_METATYPE(std::vector<std::string>)

namespace {

double maxDifference(const cv::Mat& a, const cv::Mat& b)
{
    return a.total() != b.total() ? INFINITY
                                  : cv::norm(a.reshape(1, 1), b.reshape(1, 1), cv::NORM_INF);
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
    void whatOneDnnComputesOtherwiseIsRefused()
    {
        // Valid graphs the engine leaves to OpenCV: oneDNN would compute
        // other values.
        using Row = std::tuple<std::string, std::string, int>; // mode, transform, side
        for (const auto& [mode, transform, side] : {Row{"linear", "align_corners", 4},
                                                    {"nearest", "asymmetric", 5}, // 2 to 5
                                                    {"cubic", "half_pixel", 4}}) {
            OnnxModel m("x", {1, 1, 2, 2});
            m.ints("sizes", {1, 1, side, side});
            m.node("Resize", {"x", "", "", "sizes"}, {"y"},
                   {{"mode", mode},
                    {"coordinate_transformation_mode", transform},
                    {"nearest_mode", std::string("floor")}});
            m.output("y");
            QVERIFY_THROWS_EXCEPTION(UnsupportedGraph,
                                     DnnlNetwork::build(OnnxGraph::parse(m.bytes())));
        }
    }

    void sizesComputedFromShapesAreFoldedAtLoad()
    {
        // Reshape to a size computed as the network's exporter writes it:
        // Shape, Slice, Concat. Slice takes its bounds as attributes in
        // opset 9, as inputs from 10.
        for (int opset : {9, 13}) {
            OnnxModel m("x", {1, 1, 2, 2}, opset);
            m.ints("start", {0});
            m.ints("end", {2});
            m.ints("four", {4});
            m.node("Shape", {"x"}, {"shape"});
            if (opset < 10)
                m.node("Slice", {"shape"}, {"nc"},
                       {{"starts", Dims{0}}, {"ends", Dims{2}}, {"axes", Dims{0}}});
            else
                m.node("Slice", {"shape", "start", "end"}, {"nc"});
            m.node("Concat", {"nc", "four"}, {"target"}, {{"axis", 0}});
            m.node("Reshape", {"x", "target"}, {"y"});
            m.output("y");
            OnnxGraph graph = OnnxGraph::parse(m.bytes());
            QCOMPARE(graph.nodes.size(), size_t(1));
            QCOMPARE(graph.constants.at("target").ints, (std::vector<int64_t>{1, 1, 4}));
            const cv::Mat y = DnnlNetwork::build(std::move(graph))
                                  ->forward({Blobs::make({1, 1, 2, 2}, {1, 2, 3, 4})})
                                  .at(0);
            QCOMPARE(Blobs::dims(y), (std::vector<int>{1, 1, 4}));
            QCOMPARE(Blobs::values(y), (std::vector<float>{1, 2, 3, 4}));
        }
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
    }

    void realNetworksMatchOpenCv_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<int>("side");
        QTest::addColumn<std::vector<std::string>>("outputs");
        QTest::newRow("isnet") << "isnet.onnx" << 1024 << std::vector<std::string>{"output"};
        QTest::newRow("nanodet") << "nanodet.onnx" << 416
                                 << std::vector<std::string>{"cls8", "box32"};
        QTest::newRow("movenet") << "movenet-multipose.onnx" << 256
                                 << std::vector<std::string>{"kpt_heatmap", "box_offset"};
    }

    void realNetworksMatchOpenCv()
    {
        // On the photos setup installs: within 2e-3 of OpenCV everywhere.
        QFETCH(QString, file);
        QFETCH(int, side);
        QFETCH(std::vector<std::string>, outputs);
        const QString path = ModelFiles::locate(file);
        if (path.isEmpty())
            QSKIP("the networks are missing: run scripts/setup");
        const auto ours = DnnlNetwork::build(OnnxGraph::read(path));
        OpenCvNetwork theirs(path, {});
        for (const char* photo : {"astronaut.png", "coffee.png"}) {
            const QImage image(TestImages::photo(QString::fromLatin1(photo)));
            if (image.isNull())
                QSKIP("the photos are missing: run scripts/setup");
            const QImage rgb = image.scaled(side, side).convertToFormat(QImage::Format_RGB888);
            const cv::Mat pixels(side, side, CV_8UC3, const_cast<uchar*>(rgb.constBits()),
                                 size_t(rgb.bytesPerLine()));
            const cv::Mat input =
                cv::dnn::blobFromImage(pixels, 1 / 256.0, {}, cv::Scalar::all(128));
            const std::vector<cv::Mat> a = ours->forward(input, outputs);
            const std::vector<cv::Mat> b = theirs.forward(input, outputs);
            for (size_t i = 0; i < outputs.size(); ++i) {
                const double difference = maxDifference(a[i], b[i]);
                qInfo("%s %s: largest difference %.1e", photo, outputs[i].c_str(), difference);
                QVERIFY2(difference <= 2e-3, qPrintable(QString::number(difference)));
            }
        }
    }
};

QTEST_MAIN(TestEngine)
#include "tst_engine.moc"
