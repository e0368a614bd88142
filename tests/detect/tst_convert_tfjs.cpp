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
    // An element of the one image of an NHWC tensor.
    float& at(int h, int w, int c) { return v[size_t((h * shape[2] + w) * shape[3] + c)]; }
    float at(int h, int w, int c) const { return const_cast<Tensor*>(this)->at(h, w, c); }
};

QRandomGenerator rng(20240607);

// Values in shift ± range, multiples of 1/64 so that float16 holds them exactly.
Tensor random(std::vector<int> shape, float range, float shift = 0)
{
    Tensor t(std::move(shape));
    for (float& x : t.v)
        x = std::round(float(rng.bounded(2.0) - 1.0) * range * 64) / 64 + shift;
    return t;
}

// Node attributes as TF.js writes them.
struct Attr
{
    static QString base64(const char* v) { return QString::fromLatin1(QByteArray(v).toBase64()); }
    static QJsonObject b(bool v) { return {{"b", v}}; }
    static QJsonObject s(const char* v) { return {{"s", base64(v)}}; }
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
    // Constants take the next free name, which they return.
    QString constant(const Tensor& t, bool half = false)
    {
        QJsonObject entry = manifest(t.shape, "float32");
        if (half)
            entry["quantization"] =
                QJsonObject{{"dtype", "float16"}, {"original_dtype", "float32"}};
        m_bin += half ? bytes(std::vector<cv::float16_t>(t.v.begin(), t.v.end())) : bytes(t.v);
        return addConstant(entry, "DT_FLOAT");
    }
    QString ints(const std::vector<int>& shape, const std::vector<int32_t>& v)
    {
        m_bin += bytes(v);
        return addConstant(manifest(shape, "int32"), "DT_INT32");
    }
    // A vector.
    QString ints(const std::vector<int32_t>& v) { return ints({int(v.size())}, v); }
    void op(const char* type, const char* name, const QStringList& inputs, QJsonObject attr = {})
    {
        m_nodes.append(QJsonObject{{"op", type},
                                   {"name", name},
                                   {"input", QJsonArray::fromStringList(inputs)},
                                   {"attr", attr}});
    }
    // The last node is the model's output; `cutShard` bytes are left off the weights.
    tfjs::Model model(int cutShard = 0) const
    {
        const QString last = m_nodes.last().toObject().value("name").toString();
        const QJsonObject signature{
            {"outputs", QJsonObject{{last, QJsonObject{{"name", last + ":0"}}}}}};
        const QJsonObject root{
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
    QJsonObject manifest(const std::vector<int>& shape, const char* dtype) const
    {
        QJsonArray dims;
        for (int d : shape)
            dims.append(d);
        return {{"name", QStringLiteral("c%1").arg(m_weights.size())},
                {"shape", dims},
                {"dtype", dtype}};
    }
    QString addConstant(const QJsonObject& entry, const char* dtype)
    {
        m_weights.append(entry);
        m_nodes.append(QJsonObject{{"op", "Const"},
                                   {"name", entry["name"]},
                                   {"attr", QJsonObject{{"dtype", Attr::type(dtype)}}}});
        return entry["name"].toString();
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

// A window op's output over x, for pads (top, left, bottom, right), starting
// at `fill`: visit(px, y, x, i, j, sy, sx) is called for every output pixel
// (y, x), its channels at px, and every input pixel (sy, sx) at (i, j) of its
// window that is not padding.
template <typename Visit>
Tensor windows(const Tensor& x, int k, int s, std::array<int, 4> p, int c, float fill, Visit visit)
{
    Tensor out(
        {1, (x.shape[1] + p[0] + p[2] - k) / s + 1, (x.shape[2] + p[1] + p[3] - k) / s + 1, c},
        fill);
    for (int y = 0; y < out.shape[1]; ++y)
        for (int xx = 0; xx < out.shape[2]; ++xx)
            for (int i = 0; i < k; ++i)
                for (int j = 0; j < k; ++j) {
                    const int sy = y * s + i - p[0], sx = xx * s + j - p[1];
                    if (sy >= 0 && sx >= 0 && sy < x.shape[1] && sx < x.shape[2])
                        visit(&out.at(y, xx, 0), y, xx, i, j, sy, sx);
                }
    return out;
}

// Filter [k, k, in, out] or, depthwise, [k, k, C, multiplier].
Tensor convolve(const Tensor& x, const Tensor& f, int stride, std::array<int, 4> p, bool depthwise)
{
    const int k = f.shape[0], ci = f.shape[2], m = f.shape[3];
    return windows(x, k, stride, p, depthwise ? ci * m : m, 0,
                   [&](float* px, int, int, int i, int j, int sy, int sx) {
                       for (int c = 0; c < ci; ++c)
                           for (int o = 0; o < m; ++o)
                               px[depthwise ? c * m + o : o] +=
                                   x.at(sy, sx, c) * f.v[size_t(((i * k + j) * ci + c) * m + o)];
                   });
}

// Max or average; the average over the pixels that are not padding.
Tensor pool(const Tensor& x, int k, int stride, std::array<int, 4> p, bool isMax)
{
    const Tensor n = windows(x, k, stride, p, 1, 0, [](float* px, auto...) { *px += 1; });
    return windows(x, k, stride, p, x.shape[3], isMax ? -INFINITY : 0,
                   [&](float* px, int y, int xx, int, int, int sy, int sx) {
                       for (int c = 0; c < x.shape[3]; ++c) {
                           const float v = x.at(sy, sx, c);
                           px[c] = isMax ? std::max(px[c], v) : px[c] + v / n.at(y, xx, 0);
                       }
                   });
}

// A convolution or pooling case. `pads` (top, left, bottom, right) are TF's
// SAME padding worked out by hand or, before a VALID op, those of a Pad node
// put in front of it.
struct ConvCase
{
    const char* op;
    int h, w, c, kernel, out, stride; // out: a depthwise op's multiplier; none when pooling
    const char* padding;
    std::array<int, 4> pads;
    const char* fusedActivation = nullptr; // fused after a bias
    bool half = false, nhwcInput = false;
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
            << ConvCase{"Conv2D", 7, 6, 3, 4, 4, 2, "SAME", {1, 1, 2, 1}};
        QTest::newRow("VALID, NHWC input transposed in the graph")
            << ConvCase{"Conv2D", 5, 5, 3, 3, 2, 1, "VALID", {0, 0, 0, 0}, nullptr, false, true};
        QTest::newRow("bias and Relu6 fused, float16 weights")
            << ConvCase{"_FusedConv2D", 6, 5, 3, 3, 4, 1, "SAME", {1, 1, 1, 1}, "Relu6", true};
        QTest::newRow("depthwise, multiplier 2, stride 2")
            << ConvCase{"DepthwiseConv2dNative", 7, 7, 3, 3, 2, 2, "SAME", {1, 1, 1, 1}};
        QTest::newRow("depthwise with bias and Relu fused") << ConvCase{
            "FusedDepthwiseConv2dNative", 6, 6, 4, 3, 1, 1, "SAME", {1, 1, 1, 1}, "Relu"};
        QTest::newRow("Pad before a VALID convolution")
            << ConvCase{"Conv2D", 5, 6, 2, 3, 3, 1, "VALID", {1, 2, 2, 1}};
        QTest::newRow("PadV2 with -inf before a VALID max")
            << ConvCase{"MaxPool", 7, 7, 2, 3, 0, 2, "VALID", {1, 2, 2, 1}};
        QTest::newRow("SAME max, 5 x 5")
            << ConvCase{"MaxPool", 7, 7, 2, 5, 0, 1, "SAME", {2, 2, 2, 2}};
        QTest::newRow("SAME average leaves the padding out")
            << ConvCase{"AvgPool", 7, 7, 2, 3, 0, 2, "SAME", {1, 1, 1, 1}};
    }

    void windowOps()
    {
        QFETCH(ConvCase, t);
        const QByteArray op(t.op);
        const bool pooling = op.endsWith("Pool"), depthwise = op.contains("Depthwise");
        const bool prePad = QByteArray(t.padding) == "VALID" && t.pads != std::array<int, 4>{};
        // Pooled values are all negative, so padding's zeros never win.
        const Tensor x = random({1, t.h, t.w, t.c}, pooling ? 1.0f : 4.0f, pooling ? -2.0f : 0);
        const Tensor f = random({t.kernel, t.kernel, t.c, t.out}, 2.0f);
        const Tensor bias = random({depthwise ? t.c * t.out : t.out}, 1.0f);
        Graph g;
        g.input("x", {1, t.h, t.w, t.c});
        QStringList inputs{"x"};
        if (prePad) { // Pad, or PadV2 with -inf before a max
            const auto& p = t.pads;
            inputs << g.ints({4, 2}, {0, 0, p[0], p[2], p[1], p[3], 0, 0});
            if (pooling)
                inputs << g.constant(Tensor({}, -INFINITY));
            g.op(pooling ? "PadV2" : "Pad", "pad", inputs);
            inputs = QStringList{"pad"};
        }
        QJsonObject attr{{"strides", Attr::hw(t.stride)},
                         {"padding", Attr::s(t.padding)},
                         {"data_format", Attr::s("NHWC")}};
        if (pooling)
            attr["ksize"] = Attr::hw(t.kernel);
        else
            inputs << g.constant(f, t.half);
        if (t.fusedActivation) {
            attr["fused_ops"] =
                Attr::list("s", {Attr::base64("BiasAdd"), Attr::base64(t.fusedActivation)});
            inputs << g.constant(bias, t.half);
        }
        g.op(t.op, "op", inputs, attr);

        Tensor expected = pooling ? pool(x, t.kernel, t.stride, t.pads, op == "MaxPool")
                                  : convolve(x, f, t.stride, t.pads, depthwise);
        for (size_t i = 0; i < expected.v.size() && t.fusedActivation; ++i) {
            float& e = expected.v[i];
            e = std::max(e + bias.v[i % bias.v.size()], 0.0f);
            if (QByteArray(t.fusedActivation) == "Relu6")
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
        g.op("Pad", "pad", {"x", g.ints({4, 2}, {0, 0, 0, 0, 1, 1, 1, 1})});
        g.op("Transpose", "t1", {"pad", g.ints({0, 2, 3, 1})});
        g.op("Conv2D", "conv", {"t1", g.constant(f)},
             {{"strides", Attr::hw(1)}, {"padding", Attr::s("VALID")}});
        g.op("Add", "add", {"conv", g.constant(bias)});
        g.op("Transpose", "t2", {"add", g.ints({0, 3, 1, 2})});
        g.op("LeakyRelu", "leaky", {"t2"}, {{"alpha", QJsonObject{{"f", 0.1}}}});
        // [1, 4, -1] + SparseToDense(no indices, [3], no values, 0)
        g.op("SparseToDense", "dense",
             {g.ints({0, 1}, {}), g.ints({3}), g.ints({0}, {}), g.ints({}, {0})});
        g.op("AddV2", "target", {g.ints({1, 4, -1}), "dense"});
        g.op("Reshape", "flat", {"leaky", "target"});
        g.op("Transpose", "t3", {"flat", g.ints({0, 2, 1})});
        g.op("Identity", "out", {"t3"});

        const Tensor conv = convolve(x, f, 1, {1, 1, 1, 1}, false);
        Tensor expected({1, 4, 36});
        for (int c = 0; c < 4; ++c)
            for (int i = 0; i < 36; ++i) {
                const float v = conv.at(i / 6, i % 6, c) + bias.v[size_t(c)];
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

    void movenetInput_data()
    {
        QTest::addColumn<bool>("halfPixel");
        QTest::newRow("half-pixel centres") << true;
        QTest::newRow("asymmetric") << false;
    }

    // The MoveNet input: int32 pixels of open size, cast to float and scaled
    // per channel, fed as float NCHW planes of a fixed size; then resized to
    // twice the input's shape, a size computed at conversion.
    void movenetInput()
    {
        QFETCH(bool, halfPixel);
        Tensor x({1, 3, 5, 3});
        for (float& v : x.v)
            v = float(rng.bounded(256));
        Tensor mean({1, 1, 1, 3}), scale({1, 1, 1, 3});
        mean.v = {1, 2, 3};
        scale.v = {0.5f, 2, -1};
        Graph g;
        g.input("x", {1, -1, -1, 3}, "DT_INT32");
        g.op("Cast", "xf", {"x"},
             {{"SrcT", Attr::type("DT_INT32")}, {"DstT", Attr::type("DT_FLOAT")}});
        g.op("Sub", "centred", {"xf", g.constant(mean)});
        g.op("Mul", "scaled", {"centred", g.constant(scale)});
        g.op("Shape", "shape", {"x"});
        g.op("StridedSlice", "hw", {"shape", g.ints({1}), g.ints({3}), g.ints({1})});
        g.op("Mul", "size", {"hw", g.ints({2, 2})});
        g.op("ResizeBilinear", "up", {"scaled", "size"},
             {{"half_pixel_centers", Attr::b(halfPixel)}});

        // TF: source = (i + 0.5) / 2 - 0.5 (or i / 2), its neighbours clamped
        // to the edges; linear along each axis in turn.
        auto lerp = [&](int i, int n, auto value) {
            const float src = halfPixel ? (float(i) + 0.5f) * 0.5f - 0.5f : float(i) * 0.5f;
            const float t = src - std::floor(src);
            return value(std::clamp(int(std::floor(src)), 0, n - 1)) * (1 - t) +
                   value(std::clamp(int(std::ceil(src)), 0, n - 1)) * t;
        };
        Tensor expected({1, 6, 10, 3});
        for (int y = 0; y < 6; ++y)
            for (int xx = 0; xx < 10; ++xx)
                for (int c = 0; c < 3; ++c)
                    expected.at(y, xx, c) = lerp(y, 3, [&](int sy) {
                        return lerp(xx, 5, [&](int sx) {
                            return (x.at(sy, sx, c) - mean.v[size_t(c)]) * scale.v[size_t(c)];
                        });
                    });
        tfjs::ConvertOptions options;
        options.inputShape = {1, 3, 5, 3};
        options.floatInput = true;
        options.outputs = {{"up", "out"}};
        COMPARE_OUTPUT(runPlanar(g, x, options).output, expected, 1e-3f);
    }

    // SplitV with a -1 size, a Sigmoid on one part, ConcatV2 on a negative
    // axis and a Mean over height and width, all on channels stored first.
    void splitConcatMean()
    {
        const Tensor x = random({1, 4, 3, 5}, 2.0f);
        Graph g;
        g.input("x", {1, 4, 3, 5});
        g.op("SplitV", "split", {"x", g.ints({2, -1}), g.ints({}, {3})});
        g.op("Sigmoid", "sig", {"split"});
        g.op("ConcatV2", "cat", {"split:1", "sig", g.ints({}, {-1})});
        g.op("Mean", "mean", {"cat", g.ints({1, 2})}, {{"keep_dims", Attr::b(false)}});

        Tensor expected({1, 5});
        for (int c = 0; c < 5; ++c) {
            const int from = c < 3 ? c + 2 : c - 3; // the last three channels first
            for (int i = 0; i < 12; ++i) {
                const float v = x.at(i / 3, i % 3, from);
                expected.v[size_t(c)] += (from < 2 ? 1 / (1 + std::exp(-v)) : v) / 12;
            }
        }
        const Run r = runPlanar(g, x);
        QCOMPARE(r.count("GlobalAveragePool"), 1);
        COMPARE_OUTPUT(r.output, expected, 1e-5f);
    }

    // Each stops the conversion with a message that names its cause.
    void refusals()
    {
        Graph g;
        g.input("x", {1, -1, -1, 3}, "DT_INT32");
        g.constant(Tensor({4}, 1.0f));
        g.op("Cast", "xf", {"x"}, {{"DstT", Attr::type("DT_FLOAT")}});
        g.op("Erf", "erf", {"xf"});
        const struct
        {
            bool sized, floatInput;
            int cutShard;
            const char* message;
        } cases[] = {{false, true, 0, "open"}, // the input's size
                     {true, false, 0, "DT_INT32"},
                     {true, true, 0, "Erf"},
                     {true, true, 2, "end inside"}}; // a shard shorter than its manifest
        for (const auto& c : cases) {
            tfjs::ConvertOptions options;
            options.inputShape =
                c.sized ? std::vector<int64_t>{1, 4, 4, 3} : std::vector<int64_t>{};
            options.floatInput = c.floatInput;
            try {
                tfjs::convert(g.model(c.cutShard), options);
                QFAIL(c.message);
            } catch (const tfjs::Error& e) {
                QVERIFY2(QByteArray(e.what()).contains(c.message), e.what());
            }
        }
    }
};

QTEST_GUILESS_MAIN(TestConvertTfjs)
#include "tst_convert_tfjs.moc"
