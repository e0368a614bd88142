#include "DnnlNetwork.h"
#include "ModelFiles.h"
#include "NetworkRunner.h"
#include "ObjectDetector.h"
#include "OnnxGraph.h"
#include "OpenCvNetwork.h"
#include "PoseEstimator.h"
#include "SegmentationNetwork.h"
#include "TestImages.h"

#include <QTemporaryDir>
#include <QTest>
#include <onnx/onnx_pb.h>
#include <opencv2/dnn.hpp>

namespace {

// A small ONNX model written in code: one input, nodes, weights, outputs.
class Model
{
public:
    Model(const std::string& input, std::vector<int64_t> dims, int opset = 13)
    {
        m_model.set_ir_version(7);
        m_model.add_opset_import()->set_version(opset);
        addValue(m_model.mutable_graph()->add_input(), input, dims);
    }

    onnx::NodeProto& node(const std::string& op, std::vector<std::string> inputs,
                          std::vector<std::string> outputs)
    {
        onnx::NodeProto* n = m_model.mutable_graph()->add_node();
        n->set_op_type(op);
        n->set_name(op + std::to_string(m_model.graph().node_size()));
        for (const std::string& i : inputs)
            n->add_input(i);
        for (const std::string& o : outputs)
            n->add_output(o);
        return *n;
    }

    void floats(const std::string& name, std::vector<int64_t> dims, std::vector<float> values)
    {
        onnx::TensorProto* t = m_model.mutable_graph()->add_initializer();
        t->set_name(name);
        t->set_data_type(onnx::TensorProto::FLOAT);
        for (int64_t d : dims)
            t->add_dims(d);
        for (float v : values)
            t->add_float_data(v);
    }

    void ints(const std::string& name, std::vector<int64_t> values)
    {
        onnx::TensorProto* t = m_model.mutable_graph()->add_initializer();
        t->set_name(name);
        t->set_data_type(onnx::TensorProto::INT64);
        t->add_dims(int64_t(values.size()));
        for (int64_t v : values)
            t->add_int64_data(v);
    }

    void output(const std::string& name, std::vector<int64_t> dims)
    {
        addValue(m_model.mutable_graph()->add_output(), name, dims);
    }

    std::string bytes() const { return m_model.SerializeAsString(); }

    static void attr(onnx::NodeProto& n, const std::string& key, std::vector<int64_t> values)
    {
        onnx::AttributeProto* a = n.add_attribute();
        a->set_name(key);
        a->set_type(onnx::AttributeProto::INTS);
        for (int64_t v : values)
            a->add_ints(v);
    }
    static void attr(onnx::NodeProto& n, const std::string& key, int64_t value)
    {
        onnx::AttributeProto* a = n.add_attribute();
        a->set_name(key);
        a->set_type(onnx::AttributeProto::INT);
        a->set_i(value);
    }
    static void attr(onnx::NodeProto& n, const std::string& key, float value)
    {
        onnx::AttributeProto* a = n.add_attribute();
        a->set_name(key);
        a->set_type(onnx::AttributeProto::FLOAT);
        a->set_f(value);
    }
    static void attr(onnx::NodeProto& n, const std::string& key, const std::string& value)
    {
        onnx::AttributeProto* a = n.add_attribute();
        a->set_name(key);
        a->set_type(onnx::AttributeProto::STRING);
        a->set_s(value);
    }

private:
    static void addValue(onnx::ValueInfoProto* v, const std::string& name,
                         const std::vector<int64_t>& dims)
    {
        v->set_name(name);
        auto* type = v->mutable_type()->mutable_tensor_type();
        type->set_elem_type(onnx::TensorProto::FLOAT);
        for (int64_t d : dims)
            type->mutable_shape()->add_dim()->set_dim_value(d);
    }

    onnx::ModelProto m_model;
};

cv::Mat blob(std::vector<int> dims, std::vector<float> values)
{
    cv::Mat b(int(dims.size()), dims.data(), CV_32F);
    std::copy(values.begin(), values.end(), b.ptr<float>());
    return b;
}

std::vector<float> valuesOf(const cv::Mat& m)
{
    return std::vector<float>(m.ptr<float>(), m.ptr<float>() + m.total());
}

// The graph's first output on oneDNN, and on OpenCV's DNN module.
std::pair<cv::Mat, cv::Mat> bothEngines(const Model& model, const cv::Mat& input)
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

cv::Mat ramp(std::vector<int> dims, float scale = 0.01f)
{
    cv::Mat b(int(dims.size()), dims.data(), CV_32F);
    float* p = b.ptr<float>();
    for (size_t i = 0; i < b.total(); ++i)
        p[i] = std::sin(float(i) * 0.7f) + scale * float(i % 13);
    return b;
}

} // namespace

// The oneDNN engine: each operator against known values and against
// OpenCV's DNN module, the folding of sizes at load, refusals, and the real
// networks against OpenCV on photos.
class TestEngine final : public QObject
{
    Q_OBJECT

private slots:
    void convolutionWithFusedActivationAndSum()
    {
        // y = relu(2x + 1) + x, all in one convolution.
        Model m("x", {1, 1, 2, 2});
        m.floats("w", {1, 1, 1, 1}, {2.f});
        m.floats("b", {1}, {1.f});
        m.node("Conv", {"x", "w", "b"}, {"c"});
        m.node("Relu", {"c"}, {"r"});
        m.node("Add", {"r", "x"}, {"y"});
        m.output("y", {1, 1, 2, 2});
        const auto net = DnnlNetwork::build(OnnxGraph::parse(m.bytes()));
        const cv::Mat y = net->forward({blob({1, 1, 2, 2}, {-3.f, -0.5f, 0.f, 2.f})}).at(0);
        QCOMPARE(valuesOf(y), (std::vector<float>{-3.f, -0.5f, 1.f, 7.f}));
    }

    void poolingRoundsUpAndResizeFollowsItsCoordinates()
    {
        // Max pooling 2x2 over 3x3 with ceil_mode: the last window is cut.
        Model pool("x", {1, 1, 3, 3});
        auto& p = pool.node("MaxPool", {"x"}, {"y"});
        Model::attr(p, "kernel_shape", std::vector<int64_t>{2, 2});
        Model::attr(p, "strides", std::vector<int64_t>{2, 2});
        Model::attr(p, "ceil_mode", int64_t(1));
        pool.output("y", {1, 1, 2, 2});
        const auto pooled = DnnlNetwork::build(OnnxGraph::parse(pool.bytes()))
                                ->forward({blob({1, 1, 3, 3}, {1, 2, 3, 4, 5, 6, 7, 8, 9})})
                                .at(0);
        QCOMPARE(valuesOf(pooled), (std::vector<float>{5, 6, 8, 9}));

        // Linear, half_pixel: 0 1 across two pixels becomes 0 .25 .75 1.
        Model up("x", {1, 1, 1, 2});
        up.ints("sizes", {1, 1, 1, 4});
        auto& r = up.node("Resize", {"x", "", "", "sizes"}, {"y"});
        Model::attr(r, "mode", std::string("linear"));
        up.output("y", {1, 1, 1, 4});
        const auto grown = DnnlNetwork::build(OnnxGraph::parse(up.bytes()))
                               ->forward({blob({1, 1, 1, 2}, {0.f, 1.f})})
                               .at(0);
        QCOMPARE(valuesOf(grown), (std::vector<float>{0.f, 0.25f, 0.75f, 1.f}));

        // Corner-aligned resizing is not what oneDNN computes: refused.
        auto& corners = up.node("Resize", {"y", "", "", "sizes"}, {"z"});
        Model::attr(corners, "mode", std::string("linear"));
        Model::attr(corners, "coordinate_transformation_mode", std::string("align_corners"));
        up.output("z", {1, 1, 1, 4});
        QVERIFY_THROWS_EXCEPTION(UnsupportedGraph,
                                 DnnlNetwork::build(OnnxGraph::parse(up.bytes())));
    }

    void everyOperatorAgreesWithOpenCv()
    {
        // A small network of every operator the engine has, in the layouts
        // it picks (16 channels, blocked), against OpenCV's result.
        Model m("x", {1, 16, 12, 12});
        std::vector<float> w(16 * 16 * 9), dw(16 * 9), b(16);
        for (size_t i = 0; i < w.size(); ++i)
            w[i] = std::cos(float(i)) * 0.05f;
        for (size_t i = 0; i < dw.size(); ++i)
            dw[i] = std::sin(float(i)) * 0.2f;
        for (size_t i = 0; i < b.size(); ++i)
            b[i] = 0.01f * float(i) - 0.05f;
        m.floats("w", {16, 16, 3, 3}, w);
        m.floats("dw", {16, 1, 3, 3}, dw);
        m.floats("b", {16}, b);
        m.floats("half", {}, {0.5f});
        m.floats("one", {}, {1.f});
        auto& dilated = m.node("Conv", {"x", "w", "b"}, {"c1"});
        Model::attr(dilated, "kernel_shape", std::vector<int64_t>{3, 3});
        Model::attr(dilated, "pads", std::vector<int64_t>{2, 2, 2, 2});
        Model::attr(dilated, "dilations", std::vector<int64_t>{2, 2});
        auto& leaky = m.node("LeakyRelu", {"c1"}, {"l1"});
        Model::attr(leaky, "alpha", 0.1f);
        auto& depthwise = m.node("Conv", {"l1", "dw"}, {"c2"});
        Model::attr(depthwise, "kernel_shape", std::vector<int64_t>{3, 3});
        Model::attr(depthwise, "group", int64_t(16));
        Model::attr(depthwise, "pads", std::vector<int64_t>{0, 0, 1, 1});
        Model::attr(depthwise, "strides", std::vector<int64_t>{2, 2});
        // As the detectors' converter writes it, and OpenCV reads it.
        auto& clip = m.node("Clip", {"c2"}, {"k2"});
        Model::attr(clip, "min", 0.f);
        Model::attr(clip, "max", 0.3f);
        auto& pool = m.node("MaxPool", {"l1"}, {"p"});
        Model::attr(pool, "kernel_shape", std::vector<int64_t>{2, 2});
        Model::attr(pool, "strides", std::vector<int64_t>{2, 2});
        m.node("Add", {"k2", "p"}, {"s"});
        m.node("Mul", {"s", "half"}, {"h"});
        m.node("Sub", {"h", "one"}, {"d"});
        m.ints("sizes", {1, 16, 12, 12});
        auto& up = m.node("Resize", {"d", "", "", "sizes"}, {"u"});
        Model::attr(up, "mode", std::string("linear"));
        Model::attr(up, "coordinate_transformation_mode", std::string("half_pixel"));
        auto& cat = m.node("Concat", {"u", "l1"}, {"j"});
        Model::attr(cat, "axis", int64_t(1));
        m.node("Sigmoid", {"j"}, {"y"});
        m.output("y", {1, 32, 12, 12});
        const cv::Mat input = ramp({1, 16, 12, 12});
        const auto [ours, theirs] = bothEngines(m, input);
        QVERIFY2(maxDifference(ours, theirs) < 1e-5,
                 qPrintable(QString::number(maxDifference(ours, theirs))));
    }

    void splitsAndReshapes()
    {
        Model m("x", {1, 32, 2, 2}, 11);
        auto& split = m.node("Split", {"x"}, {"a", "b"});
        Model::attr(split, "axis", int64_t(1));
        Model::attr(split, "split", std::vector<int64_t>{16, 16});
        m.ints("shape", {1, 16, 4});
        m.node("Reshape", {"b", "shape"}, {"y"});
        m.output("y", {1, 16, 4});
        m.output("a", {1, 16, 2, 2});
        const cv::Mat input = ramp({1, 32, 2, 2});
        const auto net = DnnlNetwork::build(OnnxGraph::parse(m.bytes()));
        const std::vector<cv::Mat> out = net->forward(std::vector<cv::Mat>{input});
        const std::vector<float> all = valuesOf(input);
        QCOMPARE(valuesOf(out[0]), std::vector<float>(all.begin() + 64, all.end()));
        QCOMPARE(valuesOf(out[1]), std::vector<float>(all.begin(), all.begin() + 64));
        QCOMPARE(out[0].size[2], 4);
    }

    void sizesComputedFromShapesAreFoldedAtLoad()
    {
        // Resize to the size of another tensor, computed as the network's
        // exporter writes it: Shape, Slice, Concat.
        Model m("x", {1, 1, 2, 2});
        m.ints("start", {0});
        m.ints("end", {2});
        m.ints("spatial", {4, 4});
        m.node("Shape", {"x"}, {"shape"});
        m.node("Slice", {"shape", "start", "end"}, {"nc"});
        auto& cat = m.node("Concat", {"nc", "spatial"}, {"sizes"});
        Model::attr(cat, "axis", int64_t(0));
        auto& up = m.node("Resize", {"x", "", "", "sizes"}, {"y"});
        Model::attr(up, "mode", std::string("nearest"));
        Model::attr(up, "coordinate_transformation_mode", std::string("asymmetric"));
        Model::attr(up, "nearest_mode", std::string("floor"));
        m.output("y", {1, 1, 4, 4});
        const OnnxGraph graph = OnnxGraph::parse(m.bytes());
        QCOMPARE(graph.nodes.size(), size_t(1));
        QCOMPARE(graph.nodes[0].op, std::string("Resize"));
        QCOMPARE(graph.constants.at("sizes").ints, (std::vector<int64_t>{1, 1, 4, 4}));
        const auto [ours, theirs] = bothEngines(m, blob({1, 1, 2, 2}, {1, 2, 3, 4}));
        QCOMPARE(valuesOf(ours),
                 (std::vector<float>{1, 1, 2, 2, 1, 1, 2, 2, 3, 3, 4, 4, 3, 3, 4, 4}));
        QCOMPARE(maxDifference(ours, theirs), 0.0);
    }

    void anUnknownOperatorFallsBackToOpenCv()
    {
        Model m("x", {1, 4, 1, 1});
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
        const cv::Mat y = runner->forward(blob({1, 4, 1, 1}, {0, 0, 0, 0}), {"y"}).at(0);
        QCOMPARE(y.ptr<float>()[3], 0.25f);
        // Not a model at all: no engine, and no crash.
        QVERIFY(TestImages::writeFile(path, "not a model"));
        QVERIFY_THROWS_EXCEPTION(cv::Exception, NetworkRunner::load(path));
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
        QVERIFY2(!path.isEmpty(), "the networks are missing: run scripts/setup");
        const auto ours = DnnlNetwork::build(OnnxGraph::read(path));
        OpenCvNetwork theirs(path, {});
        std::vector<std::string> names;
        for (const QString& o : outputs)
            names.push_back(o.toStdString());
        for (const char* photo : {"astronaut.png", "coffee.png"}) {
            const QImage image(TestImages::photo(QString::fromLatin1(photo)));
            QVERIFY2(!image.isNull(), "the photos are missing: run scripts/setup");
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
