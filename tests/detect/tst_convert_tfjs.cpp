// convert-tfjs on small TensorFlow.js graphs made here: each is converted,
// run by OpenCV's DNN module and compared with TensorFlow's semantics
// computed directly in the test.
#include "TfjsConverter.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QTest>
#include <cmath>
#include <numeric>
#include <opencv2/dnn.hpp>

namespace {

// A float tensor in TF's axis order.
struct Tensor
{
    std::vector<int> shape;
    std::vector<float> v;

    explicit Tensor(std::vector<int> s, float fill = 0) : shape(std::move(s))
    {
        v.assign(size_t(std::accumulate(shape.begin(), shape.end(), 1, std::multiplies<>())), fill);
    }
    float& at(int n, int h, int w, int c)
    {
        return v[size_t(((n * shape[1] + h) * shape[2] + w) * shape[3] + c)];
    }
    float at(int n, int h, int w, int c) const { return const_cast<Tensor*>(this)->at(n, h, w, c); }
};

QRandomGenerator rng(20240607);

// Random values; `exact` picks multiples of 1/64, which float16 holds exactly.
Tensor random(std::vector<int> shape, float range, bool exact = false)
{
    Tensor t(std::move(shape));
    for (float& x : t.v) {
        x = float(rng.bounded(2.0) - 1.0) * range;
        if (exact)
            x = std::round(x * 64) / 64;
    }
    return t;
}

// Node attributes as TF.js writes them.
struct Attr
{
    static QJsonObject i(qint64 v) { return {{"i", QString::number(v)}}; }
    static QJsonObject f(double v) { return {{"f", v}}; }
    static QJsonObject b(bool v) { return {{"b", v}}; }
    static QJsonObject s(const QByteArray& v) { return {{"s", QString::fromLatin1(v.toBase64())}}; }
    static QJsonObject type(const char* v) { return {{"type", v}}; }
    static QJsonObject list(const char* key, const QJsonArray& v)
    {
        return {{"list", QJsonObject{{key, v}}}};
    }
    // Strides or a window over height and width: [1, k, k, 1].
    static QJsonObject hw(int k)
    {
        return list("i", {"1", QString::number(k), QString::number(k), "1"});
    }
};

// A TF.js graph model: topology, manifest and one weight shard.
class Graph
{
public:
    void input(const char* name, const std::vector<int>& shape, const char* dtype = "DT_FLOAT")
    {
        QJsonArray dims;
        for (int d : shape)
            dims.append(QJsonObject{{"size", QString::number(d)}});
        op("Placeholder", name, {},
           {{"dtype", Attr::type(dtype)},
            {"shape", QJsonObject{{"shape", QJsonObject{{"dim", dims}}}}}});
    }
    void constant(const char* name, const Tensor& t, bool half = false)
    {
        QJsonObject entry = manifest(name, t.shape, "float32");
        if (half)
            entry["quantization"] =
                QJsonObject{{"dtype", "float16"}, {"original_dtype", "float32"}};
        m_bin += half ? bytes(std::vector<cv::float16_t>(t.v.begin(), t.v.end())) : bytes(t.v);
        m_weights.append(entry);
        op("Const", name, {}, {{"dtype", Attr::type("DT_FLOAT")}});
    }
    void ints(const char* name, const std::vector<int>& shape, const std::vector<int32_t>& v)
    {
        m_weights.append(manifest(name, shape, "int32"));
        m_bin += bytes(v);
        op("Const", name, {}, {{"dtype", Attr::type("DT_INT32")}});
    }
    void op(const char* type, const char* name, const QStringList& inputs, QJsonObject attr = {})
    {
        m_nodes.append(QJsonObject{{"op", type},
                                   {"name", name},
                                   {"input", QJsonArray::fromStringList(inputs)},
                                   {"attr", attr}});
    }
    tfjs::Model model(int cutShard = 0) const
    {
        // The last node is the model's output.
        const QString last = m_nodes.last().toObject().value("name").toString();
        const QJsonObject signature{
            {"outputs", QJsonObject{{last, QJsonObject{{"name", last + ":0"}}}}}};
        const QJsonObject root{
            {"format", "graph-model"},
            {"signature", signature},
            {"modelTopology", QJsonObject{{"node", m_nodes}}},
            {"weightsManifest",
             QJsonArray{QJsonObject{{"paths", QJsonArray{"model.bin"}}, {"weights", m_weights}}}}};
        return tfjs::parseModel(QJsonDocument(root).toJson(),
                                {m_bin.left(m_bin.size() - cutShard)});
    }

private:
    template <typename T> static QByteArray bytes(const std::vector<T>& v)
    {
        return QByteArray(reinterpret_cast<const char*>(v.data()), int(v.size() * sizeof(T)));
    }
    static QJsonObject manifest(const char* name, const std::vector<int>& shape, const char* dtype)
    {
        QJsonArray dims;
        for (int d : shape)
            dims.append(d);
        return {{"name", name}, {"shape", dims}, {"dtype", dtype}};
    }
    QJsonArray m_nodes, m_weights;
    QByteArray m_bin;
};

// NHWC to NCHW (one image), as OpenCV's blobs are laid out.
Tensor planar(const Tensor& t)
{
    Tensor out({1, t.shape[3], t.shape[1], t.shape[2]});
    cv::Mat planes(t.shape[3], t.shape[1] * t.shape[2], CV_32F, out.v.data());
    cv::transpose(cv::Mat(planes.cols, planes.rows, CV_32F, const_cast<float*>(t.v.data())),
                  planes);
    return out;
}

struct Run
{
    tfjs::ConvertResult converted;
    cv::Mat output;
    int count(const char* op) const
    {
        const auto& nodes = converted.model.graph().node();
        return int(std::count_if(nodes.begin(), nodes.end(),
                                 [op](const auto& node) { return node.op_type() == op; }));
    }
};

Run run(const tfjs::Model& model, const tfjs::ConvertOptions& options, const Tensor& input)
{
    Run r{tfjs::convert(model, options), {}};
    const std::string bytes = tfjs::serialize(r.converted.model);
    cv::dnn::Net net = cv::dnn::readNetFromONNX(bytes.data(), bytes.size());
    net.setInput(cv::Mat(int(input.shape.size()), input.shape.data(), CV_32F,
                         const_cast<float*>(input.v.data())));
    r.output = net.forward(r.converted.outputs.at(0).name).clone();
    return r;
}

// Converted with the input given as NCHW planes, as Vantel's detectors feed it.
Run runPlanar(const Graph& g, const Tensor& x, tfjs::ConvertOptions options = {})
{
    options.inputChannelsFirst = true;
    return run(g.model(), options, planar(x));
}

float maxDiff(const cv::Mat& out, const Tensor& expected)
{
    if (out.total() != expected.v.size())
        return INFINITY;
    return float(cv::norm(out.reshape(1, 1), cv::Mat(expected.v).reshape(1, 1), cv::NORM_INF));
}

#define COMPARE_OUTPUT(out, expected, tolerance)                                                   \
    QVERIFY2(maxDiff(out, expected) < tolerance,                                                   \
             qPrintable(QString::number(maxDiff(out, expected))))

// TF's SAME: ceil(in / stride) outputs, the odd pixel of padding at the end.
std::pair<int, int> samePads(int in, int k, int s)
{
    const int total = std::max(((in + s - 1) / s - 1) * s + k - in, 0);
    return {total / 2, total - total / 2};
}

// A window op's output over x, for pads (top, left, bottom, right), starting
// at `fill`: visit(out, y, x, i, j, sy, sx) is called for every output pixel
// (y, x) and every input pixel (sy, sx) at (i, j) of its window that is not
// padding.
template <typename Visit>
Tensor windows(const Tensor& x, int kh, int kw, int s, std::array<int, 4> p, int c, float fill,
               Visit visit)
{
    Tensor out(
        {1, (x.shape[1] + p[0] + p[2] - kh) / s + 1, (x.shape[2] + p[1] + p[3] - kw) / s + 1, c},
        fill);
    for (int y = 0; y < out.shape[1]; ++y)
        for (int xx = 0; xx < out.shape[2]; ++xx)
            for (int i = 0; i < kh; ++i)
                for (int j = 0; j < kw; ++j) {
                    const int sy = y * s + i - p[0], sx = xx * s + j - p[1];
                    if (sy >= 0 && sx >= 0 && sy < x.shape[1] && sx < x.shape[2])
                        visit(out, y, xx, i, j, sy, sx);
                }
    return out;
}

// Filter [kh, kw, in, out] or, depthwise, [kh, kw, C, multiplier].
Tensor convolve(const Tensor& x, const Tensor& f, int stride, std::array<int, 4> p, bool depthwise)
{
    const int kh = f.shape[0], kw = f.shape[1], ci = f.shape[2], m = f.shape[3];
    return windows(x, kh, kw, stride, p, depthwise ? ci * m : m, 0,
                   [&](Tensor& out, int y, int xx, int i, int j, int sy, int sx) {
                       for (int c = 0; c < ci; ++c)
                           for (int o = 0; o < m; ++o)
                               out.at(0, y, xx, depthwise ? c * m + o : o) +=
                                   x.at(0, sy, sx, c) *
                                   f.v[size_t(((i * kw + j) * ci + c) * m + o)];
                   });
}

// Max or average; the average over the pixels that are not padding.
Tensor pool(const Tensor& x, int k, int stride, std::array<int, 4> p, bool isMax)
{
    const Tensor n = windows(x, k, k, stride, p, 1, 0,
                             [](Tensor& out, int y, int xx, auto...) { out.at(0, y, xx, 0) += 1; });
    return windows(x, k, k, stride, p, x.shape[3], isMax ? -INFINITY : 0,
                   [&](Tensor& out, int y, int xx, int, int, int sy, int sx) {
                       for (int c = 0; c < x.shape[3]; ++c) {
                           float& o = out.at(0, y, xx, c);
                           const float v = x.at(0, sy, sx, c);
                           o = isMax ? std::max(o, v) : o + v / n.at(0, y, xx, 0);
                       }
                   });
}

// A convolution or pooling case: the op, sizes, padding and what varies
// around them.
struct ConvCase
{
    const char* op;
    int h, w, c, kernel, out, stride; // out: a depthwise op's multiplier; none when pooling
    const char* padding;
    QList<QByteArray> fused = {};
    bool half = false, nhwcInput = false, prePad = false;
};

} // namespace

Q_DECLARE_METATYPE(ConvCase)

class TestConvertTfjs : public QObject
{
    Q_OBJECT

private slots:
    void windowOps_data()
    {
        QTest::addColumn<ConvCase>("t");
        QTest::newRow("SAME, stride 2, even kernel: the odd pixel of padding at the end")
            << ConvCase{"Conv2D", 7, 6, 3, 4, 4, 2, "SAME"};
        QTest::newRow("VALID, NHWC input transposed in the graph")
            << ConvCase{"Conv2D", 5, 5, 3, 3, 2, 1, "VALID", {}, false, true};
        QTest::newRow("bias and Relu6 fused, float16 weights")
            << ConvCase{"_FusedConv2D", 6, 5, 3, 3, 4, 1, "SAME", {"BiasAdd", "Relu6"}, true};
        QTest::newRow("depthwise, multiplier 2, stride 2")
            << ConvCase{"DepthwiseConv2dNative", 7, 7, 3, 3, 2, 2, "SAME"};
        QTest::newRow("depthwise with bias and Relu fused") << ConvCase{
            "FusedDepthwiseConv2dNative", 6, 6, 4, 3, 1, 1, "SAME", {"BiasAdd", "Relu"}};
        QTest::newRow("Pad before a VALID convolution")
            << ConvCase{"Conv2D", 5, 6, 2, 3, 3, 1, "VALID", {}, false, false, true};
        QTest::newRow("PadV2 with -inf before a VALID max")
            << ConvCase{"MaxPool", 7, 7, 2, 3, 0, 2, "VALID", {}, false, false, true};
        QTest::newRow("SAME max, 5 x 5") << ConvCase{"MaxPool", 7, 7, 2, 5, 0, 1, "SAME"};
        QTest::newRow("SAME average leaves the padding out")
            << ConvCase{"AvgPool", 7, 7, 2, 3, 0, 2, "SAME"};
    }

    void windowOps()
    {
        QFETCH(ConvCase, t);
        const QByteArray op(t.op);
        const bool pooling = op.endsWith("Pool"), depthwise = op.contains("Depthwise");
        Tensor x = random({1, t.h, t.w, t.c}, 4.0f);
        for (float& v : x.v)
            v = pooling ? v / 4 - 2 : v; // pooled: all negative, so padding's zeros never win
        const Tensor f = random({t.kernel, t.kernel, t.c, t.out}, 2.0f, true);
        const Tensor bias = random({depthwise ? t.c * t.out : t.out}, 1.0f, true);
        Graph g;
        g.input("x", {1, t.h, t.w, t.c});
        QStringList inputs{"x"};
        std::array<int, 4> pads{0, 0, 0, 0};
        if (t.prePad) { // Pad, or PadV2 with -inf before a max
            g.ints("paddings", {4, 2}, {0, 0, 1, 2, 2, 1, 0, 0});
            if (pooling)
                g.constant("minus_inf", Tensor({}, -INFINITY));
            g.op(pooling ? "PadV2" : "Pad", "pad",
                 pooling ? QStringList{"x", "paddings", "minus_inf"}
                         : QStringList{"x", "paddings"});
            inputs[0] = "pad";
            pads = {1, 2, 2, 1};
        }
        QJsonObject attr{{"strides", Attr::hw(t.stride)},
                         {"padding", Attr::s(t.padding)},
                         {"data_format", Attr::s("NHWC")}};
        if (pooling) {
            attr["ksize"] = Attr::hw(t.kernel);
        } else {
            g.constant("f", f, t.half);
            g.constant("bias", bias, t.half);
            inputs << "f";
        }
        if (!t.fused.isEmpty()) {
            QJsonArray ops;
            for (const QByteArray& fusedOp : t.fused)
                ops.append(QString::fromLatin1(fusedOp.toBase64()));
            attr["fused_ops"] = Attr::list("s", ops);
            inputs << "bias";
        }
        g.op(t.op, "op", inputs, attr);

        if (QByteArray(t.padding) == "SAME") {
            const auto [top, bottom] = samePads(t.h, t.kernel, t.stride);
            const auto [left, right] = samePads(t.w, t.kernel, t.stride);
            pads = {top, left, bottom, right};
        }
        Tensor expected = pooling ? pool(x, t.kernel, t.stride, pads, op == "MaxPool")
                                  : convolve(x, f, t.stride, pads, depthwise);
        for (size_t i = 0; i < expected.v.size() && !t.fused.isEmpty(); ++i) {
            float& e = expected.v[i];
            e = std::max(e + bias.v[i % bias.v.size()], 0.0f);
            if (t.fused.contains("Relu6"))
                e = std::min(e, 6.0f);
        }

        const Run r = t.nhwcInput ? run(g.model(), {}, x) : runPlanar(g, x);
        QCOMPARE(r.count("Pad"), 0);
        COMPARE_OUTPUT(r.output, expected, 1e-4f);
    }

    // The NanoDet pattern: NCHW input, Transposes around each NHWC
    // convolution, a bias Add, a Reshape whose shape is a sum of constants,
    // and a final Transpose. Kept as computed, none of it costs a node.
    void layoutsCostNothing()
    {
        const Tensor x = random({1, 6, 6, 3}, 1.0f); // fed as NCHW planes
        const Tensor f = random({3, 3, 3, 4}, 1.0f);
        const Tensor bias = random({4}, 1.0f);
        Graph g;
        g.input("x", {1, 3, 6, 6});
        g.constant("f", f);
        g.constant("bias", bias);
        g.ints("paddings", {4, 2}, {0, 0, 0, 0, 1, 1, 1, 1});
        g.ints("to_nhwc", {4}, {0, 2, 3, 1});
        g.ints("to_nchw", {4}, {0, 3, 1, 2});
        g.ints("swap", {3}, {0, 2, 1});
        g.ints("shape", {3}, {1, 4, -1});
        g.ints("where", {0, 1}, {});
        g.ints("dense_shape", {1}, {3});
        g.ints("no_values", {0}, {});
        g.ints("zero", {}, {0});
        g.op("Pad", "pad", {"x", "paddings"});
        g.op("Transpose", "t1", {"pad", "to_nhwc"});
        g.op("Conv2D", "conv", {"t1", "f"},
             {{"strides", Attr::hw(1)}, {"padding", Attr::s("VALID")}});
        g.op("Add", "add", {"conv", "bias"});
        g.op("Transpose", "t2", {"add", "to_nchw"});
        g.op("LeakyRelu", "leaky", {"t2"}, {{"alpha", Attr::f(0.1)}});
        g.op("SparseToDense", "dense", {"where", "dense_shape", "no_values", "zero"});
        g.op("AddV2", "target", {"shape", "dense"});
        g.op("Reshape", "flat", {"leaky", "target"});
        g.op("Transpose", "t3", {"flat", "swap"});
        g.op("Identity", "out", {"t3"});

        const Tensor conv = convolve(x, f, 1, {1, 1, 1, 1}, false);
        Tensor expected({1, 4, 36});
        for (int c = 0; c < 4; ++c)
            for (int i = 0; i < 36; ++i) {
                const float v = conv.at(0, i / 6, i % 6, c) + bias.v[size_t(c)];
                expected.v[size_t(c * 36 + i)] = v >= 0 ? v : 0.1f * v;
            }

        tfjs::ConvertOptions options;
        options.outputs = {{"out", "scores"}};
        options.outputsAsComputed = true;
        const tfjs::Model model = g.model();
        const Run r = run(model, options, planar(x));
        QCOMPARE(r.converted.outputs.at(0).name, std::string("scores"));
        QCOMPARE(r.converted.outputs.at(0).shape, (std::vector<int64_t>{1, 4, 36}));
        QCOMPARE(r.converted.outputs.at(0).logicalAxes, (std::vector<int>{0, 2, 1}));
        QCOMPARE(r.converted.model.graph().node_size(), 3); // Conv, LeakyRelu, Reshape
        COMPARE_OUTPUT(r.output, expected, 1e-5f);

        // The same bytes every time.
        QCOMPARE(tfjs::serialize(tfjs::convert(model, options).model),
                 tfjs::serialize(r.converted.model));

        // Asked for TF's own order, the output is transposed once at the end.
        options.outputsAsComputed = false;
        const Run logical = run(model, options, planar(x));
        QCOMPARE(logical.count("Transpose"), 1);
        QCOMPARE(logical.output.size[1], 36);
        QCOMPARE(logical.output.ptr<float>()[1], expected.v[36]);
    }

    void resizeBilinear_data()
    {
        QTest::addColumn<bool>("halfPixel");
        QTest::newRow("half-pixel centres") << true;
        QTest::newRow("asymmetric") << false;
    }

    // The size comes from the input's shape times two, computed at conversion.
    void resizeBilinear()
    {
        QFETCH(bool, halfPixel);
        const Tensor x = random({1, 3, 5, 2}, 1.0f);
        Graph g;
        g.input("x", {1, 3, 5, 2});
        g.ints("begin", {1}, {1});
        g.ints("end", {1}, {3});
        g.ints("step", {1}, {1});
        g.ints("two", {2}, {2, 2});
        g.op("Shape", "shape", {"x"});
        g.op("StridedSlice", "hw", {"shape", "begin", "end", "step"});
        g.op("Mul", "size", {"hw", "two"});
        g.op("ResizeBilinear", "up", {"x", "size"},
             {{"half_pixel_centers", Attr::b(halfPixel)}, {"align_corners", Attr::b(false)}});

        // TF: source = (i + 0.5) / 2 - 0.5 (or i / 2), its neighbours clamped
        // to the edges; linear along each axis in turn.
        auto lerp = [&](int i, int n, auto value) {
            const float src = halfPixel ? (float(i) + 0.5f) * 0.5f - 0.5f : float(i) * 0.5f;
            const float t = src - std::floor(src);
            return value(std::clamp(int(std::floor(src)), 0, n - 1)) * (1 - t) +
                   value(std::clamp(int(std::ceil(src)), 0, n - 1)) * t;
        };
        Tensor expected({1, 6, 10, 2});
        for (int y = 0; y < 6; ++y)
            for (int xx = 0; xx < 10; ++xx)
                for (int c = 0; c < 2; ++c)
                    expected.at(0, y, xx, c) = lerp(y, 3, [&](int sy) {
                        return lerp(xx, 5, [&](int sx) { return x.at(0, sy, sx, c); });
                    });
        COMPARE_OUTPUT(runPlanar(g, x).output, expected, 1e-5f);
    }

    // SplitV with a -1 size, a Sigmoid on one part, ConcatV2 on a negative
    // axis and a Mean over height and width, all on channels stored first.
    void splitConcatMean()
    {
        const Tensor x = random({1, 4, 3, 5}, 2.0f);
        Graph g;
        g.input("x", {1, 4, 3, 5});
        g.ints("sizes", {2}, {2, -1});
        g.ints("axis", {}, {3});
        g.ints("last", {}, {-1});
        g.ints("hw", {2}, {1, 2});
        g.op("SplitV", "split", {"x", "sizes", "axis"}, {{"num_split", Attr::i(2)}});
        g.op("Sigmoid", "sig", {"split"});
        g.op("ConcatV2", "cat", {"split:1", "sig", "last"}, {{"N", Attr::i(2)}});
        g.op("Mean", "mean", {"cat", "hw"}, {{"keep_dims", Attr::b(false)}});

        Tensor expected({1, 5});
        for (int c = 0; c < 5; ++c) {
            const int from = c < 3 ? c + 2 : c - 3; // the last three channels first
            for (int i = 0; i < 12; ++i) {
                const float v = x.at(0, i / 3, i % 3, from);
                expected.v[size_t(c)] += (from < 2 ? 1 / (1 + std::exp(-v)) : v) / 12;
            }
        }
        const Run r = runPlanar(g, x);
        QCOMPARE(r.count("GlobalAveragePool"), 1);
        COMPARE_OUTPUT(r.output, expected, 1e-5f);
    }

    // The MoveNet input: int32 pixels of open size, cast to float, then
    // scaled per channel; fed as float NCHW planes of a fixed size.
    void integerInputWithChannelConstants()
    {
        Tensor x({1, 4, 4, 3});
        for (float& v : x.v)
            v = float(rng.bounded(256));
        Graph g;
        g.input("x", {1, -1, -1, 3}, "DT_INT32");
        g.op("Cast", "xf", {"x"},
             {{"SrcT", Attr::type("DT_INT32")}, {"DstT", Attr::type("DT_FLOAT")}});
        Tensor mean({1, 1, 1, 3}), scale({1, 1, 1, 3});
        mean.v = {1, 2, 3};
        scale.v = {0.5f, 2, -1};
        g.constant("mean", mean);
        g.constant("scale", scale);
        g.op("Sub", "centred", {"xf", "mean"});
        g.op("Mul", "scaled", {"centred", "scale"});

        Tensor expected = x;
        for (size_t i = 0; i < x.v.size(); ++i)
            expected.v[i] = (x.v[i] - mean.v[i % 3]) * scale.v[i % 3];
        tfjs::ConvertOptions options;
        options.inputShape = {1, 4, 4, 3};
        options.floatInput = true;
        options.outputs = {{"scaled", "out"}};
        COMPARE_OUTPUT(runPlanar(g, x, options).output, expected, 1e-4f);

        // Without the size, or as an integer input, the conversion stops.
        options.inputChannelsFirst = true;
        options.inputShape.clear();
        QVERIFY_THROWS_EXCEPTION(tfjs::Error, tfjs::convert(g.model(), options));
        options.inputShape = {1, 4, 4, 3};
        options.floatInput = false;
        QVERIFY_THROWS_EXCEPTION(tfjs::Error, tfjs::convert(g.model(), options));
    }

    void refusals()
    {
        Graph g;
        g.input("x", {1, 2, 2, 1});
        g.op("Erf", "erf", {"x"});
        try {
            tfjs::convert(g.model(), {});
            QFAIL("converted an unknown operation");
        } catch (const tfjs::Error& e) {
            QVERIFY(QByteArray(e.what()).contains("Erf"));
        }
        // A weight shard shorter than its manifest.
        Graph cut;
        cut.input("x", {1, 2, 2, 1});
        cut.constant("c", Tensor({4}, 1.0f));
        QVERIFY_THROWS_EXCEPTION(tfjs::Error, cut.model(2));
    }
};

QTEST_GUILESS_MAIN(TestConvertTfjs)
#include "tst_convert_tfjs.moc"
