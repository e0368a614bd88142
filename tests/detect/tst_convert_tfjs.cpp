// convert-tfjs on small TensorFlow.js graphs made here: each is converted,
// run by OpenCV's DNN module and compared with TensorFlow's semantics
// computed directly in the test.
#include "TfjsConverter.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QTest>
#include <cmath>
#include <cstring>
#include <opencv2/dnn.hpp>

namespace {

// A float tensor in TF's axis order.
struct Tensor
{
    std::vector<int> shape;
    std::vector<float> v;

    Tensor() = default;
    explicit Tensor(std::vector<int> s, float fill = 0) : shape(std::move(s))
    {
        v.assign(size_t(count()), fill);
    }
    int count() const
    {
        int n = 1;
        for (int d : shape)
            n *= d;
        return n;
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

uint16_t toHalf(float value) // normal numbers and zero only
{
    uint32_t bits;
    std::memcpy(&bits, &value, 4);
    const uint16_t sign = uint16_t((bits >> 16) & 0x8000u);
    if ((bits & 0x7fffffffu) == 0)
        return sign;
    return uint16_t(sign | ((((bits >> 23) & 0xffu) - 127 + 15) << 10) | ((bits >> 13) & 0x3ffu));
}

QJsonObject attrI(qint64 v)
{
    return {{"i", QString::number(v)}};
}
QJsonObject attrF(double v)
{
    return {{"f", v}};
}
QJsonObject attrB(bool v)
{
    return {{"b", v}};
}
QJsonObject attrS(const QByteArray& v)
{
    return {{"s", QString::fromLatin1(v.toBase64())}};
}
QJsonObject attrT(const char* v)
{
    return {{"type", v}};
}
QJsonObject attrInts(std::initializer_list<qint64> values)
{
    QJsonArray list;
    for (qint64 v : values)
        list.append(QString::number(v));
    return {{"list", QJsonObject{{"i", list}}}};
}
QJsonObject attrStrings(const QList<QByteArray>& values)
{
    QJsonArray list;
    for (const auto& v : values)
        list.append(QString::fromLatin1(v.toBase64()));
    return {{"list", QJsonObject{{"s", list}}}};
}

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
           {{"dtype", attrT(dtype)},
            {"shape", QJsonObject{{"shape", QJsonObject{{"dim", dims}}}}}});
    }
    void constant(const char* name, const Tensor& t, bool half = false)
    {
        QJsonObject entry = manifest(name, t.shape, "float32");
        if (half) {
            entry["quantization"] =
                QJsonObject{{"dtype", "float16"}, {"original_dtype", "float32"}};
            for (float x : t.v) {
                const uint16_t h = toHalf(x);
                m_bin.append(reinterpret_cast<const char*>(&h), 2);
            }
        } else {
            m_bin.append(reinterpret_cast<const char*>(t.v.data()), int(t.v.size() * 4));
        }
        m_weights.append(entry);
        op("Const", name, {}, {{"dtype", attrT("DT_FLOAT")}});
    }
    void ints(const char* name, const std::vector<int>& shape, const std::vector<int32_t>& v)
    {
        m_weights.append(manifest(name, shape, "int32"));
        m_bin.append(reinterpret_cast<const char*>(v.data()), int(v.size() * 4));
        op("Const", name, {}, {{"dtype", attrT("DT_INT32")}});
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

cv::Mat blob(const Tensor& t)
{
    return cv::Mat(int(t.shape.size()), t.shape.data(), CV_32F, const_cast<float*>(t.v.data()))
        .clone();
}

// NHWC to NCHW, as OpenCV's blobs are laid out.
Tensor planar(const Tensor& t)
{
    Tensor out({t.shape[0], t.shape[3], t.shape[1], t.shape[2]});
    for (int h = 0; h < t.shape[1]; ++h)
        for (int w = 0; w < t.shape[2]; ++w)
            for (int c = 0; c < t.shape[3]; ++c)
                out.v[size_t((c * t.shape[1] + h) * t.shape[2] + w)] = t.at(0, h, w, c);
    return out;
}

struct Run
{
    tfjs::ConvertResult converted;
    cv::Mat output;
    int count(const char* op) const
    {
        int n = 0;
        for (const auto& node : converted.model.graph().node())
            n += node.op_type() == op;
        return n;
    }
};

Run run(const tfjs::Model& model, const tfjs::ConvertOptions& options, const Tensor& input)
{
    Run r;
    r.converted = tfjs::convert(model, options);
    const std::string bytes = tfjs::serialize(r.converted.model);
    cv::dnn::Net net = cv::dnn::readNetFromONNX(bytes.data(), bytes.size());
    net.setInput(blob(input));
    r.output = net.forward(r.converted.outputs.at(0).name).clone();
    return r;
}

float maxDiff(const cv::Mat& out, const Tensor& expected)
{
    if (out.total() != size_t(expected.count()))
        return INFINITY;
    float d = 0;
    for (size_t i = 0; i < out.total(); ++i)
        d = std::max(d, std::abs(out.ptr<float>()[i] - expected.v[i]));
    return d;
}

// TF's SAME: ceil(in / stride) outputs, the odd pixel of padding at the end.
std::pair<int, int> samePads(int in, int k, int s)
{
    const int total = std::max(((in + s - 1) / s - 1) * s + k - in, 0);
    return {total / 2, total - total / 2};
}

// A window op over NHWC with explicit pads (top, left, bottom, right).
// Convolutions: filter [kh, kw, in, out] or, depthwise, [kh, kw, C, multiplier].
Tensor convolve(const Tensor& x, const Tensor& f, int stride, std::array<int, 4> p, bool depthwise)
{
    const int kh = f.shape[0], kw = f.shape[1], ci = f.shape[2], m = f.shape[3];
    const int oh = (x.shape[1] + p[0] + p[2] - kh) / stride + 1;
    const int ow = (x.shape[2] + p[1] + p[3] - kw) / stride + 1;
    Tensor out({1, oh, ow, depthwise ? ci * m : m});
    for (int y = 0; y < oh; ++y)
        for (int xx = 0; xx < ow; ++xx)
            for (int i = 0; i < kh; ++i)
                for (int j = 0; j < kw; ++j) {
                    const int sy = y * stride + i - p[0], sx = xx * stride + j - p[1];
                    if (sy < 0 || sx < 0 || sy >= x.shape[1] || sx >= x.shape[2])
                        continue;
                    for (int c = 0; c < ci; ++c)
                        for (int o = 0; o < m; ++o)
                            out.at(0, y, xx, depthwise ? c * m + o : o) +=
                                x.at(0, sy, sx, c) * f.v[size_t(((i * kw + j) * ci + c) * m + o)];
                }
    return out;
}

Tensor pool(const Tensor& x, int k, int stride, std::array<int, 4> p, bool isMax)
{
    const int oh = (x.shape[1] + p[0] + p[2] - k) / stride + 1;
    const int ow = (x.shape[2] + p[1] + p[3] - k) / stride + 1;
    Tensor out({1, oh, ow, x.shape[3]});
    for (int y = 0; y < oh; ++y)
        for (int xx = 0; xx < ow; ++xx)
            for (int c = 0; c < x.shape[3]; ++c) {
                float best = -INFINITY, sum = 0;
                int n = 0;
                for (int i = 0; i < k; ++i)
                    for (int j = 0; j < k; ++j) {
                        const int sy = y * stride + i - p[0], sx = xx * stride + j - p[1];
                        if (sy < 0 || sx < 0 || sy >= x.shape[1] || sx >= x.shape[2])
                            continue;
                        best = std::max(best, x.at(0, sy, sx, c));
                        sum += x.at(0, sy, sx, c);
                        ++n;
                    }
                out.at(0, y, xx, c) = isMax ? best : sum / float(n);
            }
    return out;
}

} // namespace

class TestConvertTfjs : public QObject
{
    Q_OBJECT

private slots:
    void convolutions_data()
    {
        QTest::addColumn<QString>("op");
        QTest::addColumn<QList<int>>("dims"); // H, W, C, kernel, out or multiplier, stride
        QTest::addColumn<QString>("padding");
        QTest::addColumn<QList<QByteArray>>("fused");
        QTest::addColumn<bool>("half");
        QTest::addColumn<bool>("nchw");
        QTest::addColumn<bool>("prePad");

        const QList<QByteArray> none;
        QTest::newRow("SAME, stride 2, odd size")
            << "Conv2D" << QList<int>{7, 6, 3, 3, 4, 2} << "SAME" << none << false << true << false;
        QTest::newRow("SAME, even kernel: more padding at the end")
            << "Conv2D" << QList<int>{6, 6, 2, 4, 3, 1} << "SAME" << none << false << true << false;
        QTest::newRow("VALID, NHWC input transposed in the graph")
            << "Conv2D" << QList<int>{5, 5, 3, 3, 2, 1} << "VALID" << none << false << false
            << false;
        QTest::newRow("bias and Relu6 fused, float16 weights")
            << "_FusedConv2D" << QList<int>{6, 5, 3, 3, 4, 1} << "SAME"
            << QList<QByteArray>{"BiasAdd", "Relu6"} << true << true << false;
        QTest::newRow("depthwise, multiplier 2, stride 2")
            << "DepthwiseConv2dNative" << QList<int>{7, 7, 3, 3, 2, 2} << "SAME" << none << false
            << true << false;
        QTest::newRow("depthwise with bias and Relu fused")
            << "FusedDepthwiseConv2dNative" << QList<int>{6, 6, 4, 3, 1, 1} << "SAME"
            << QList<QByteArray>{"BiasAdd", "Relu"} << false << true << false;
        QTest::newRow("Pad before a VALID convolution")
            << "Conv2D" << QList<int>{5, 6, 2, 3, 3, 1} << "VALID" << none << false << true << true;
    }

    void convolutions()
    {
        QFETCH(QString, op);
        QFETCH(QList<int>, dims);
        QFETCH(QString, padding);
        QFETCH(QList<QByteArray>, fused);
        QFETCH(bool, half);
        QFETCH(bool, nchw);
        QFETCH(bool, prePad);
        const int H = dims[0], W = dims[1], C = dims[2], k = dims[3], m = dims[4], s = dims[5];
        const bool depthwise = op.contains(QLatin1String("Depthwise"));

        const Tensor x = random({1, H, W, C}, 4.0f);
        const Tensor f = random({k, k, C, m}, 2.0f, true);
        const Tensor bias = random({depthwise ? C * m : m}, 1.0f, true);
        Graph g;
        g.input("x", {1, H, W, C});
        g.constant("f", f, half);
        g.constant("bias", bias, half);
        QString conv_in = "x";
        std::array<int, 4> pads{0, 0, 0, 0};
        if (prePad) {
            g.ints("paddings", {4, 2}, {0, 0, 1, 2, 2, 1, 0, 0});
            g.op("Pad", "pad", {"x", "paddings"});
            conv_in = "pad";
            pads = {1, 2, 2, 1};
        }
        QJsonObject attr{{"strides", attrInts({1, s, s, 1})},
                         {"padding", attrS(padding.toLatin1())},
                         {"data_format", attrS("NHWC")}};
        QStringList inputs{conv_in, "f"};
        if (!fused.isEmpty()) {
            attr["fused_ops"] = attrStrings(fused);
            inputs << "bias";
        }
        g.op(op.toLatin1().constData(), "conv", inputs, attr);

        if (padding == QLatin1String("SAME")) {
            const auto [t, b] = samePads(H, k, s);
            const auto [l, r] = samePads(W, k, s);
            pads = {t, l, b, r};
        }
        Tensor expected = convolve(x, f, s, pads, depthwise);
        for (size_t i = 0; i < expected.v.size() && !fused.isEmpty(); ++i) {
            float& e = expected.v[i];
            e += bias.v[i % bias.v.size()];
            e = std::max(e, 0.0f);
            if (fused.contains("Relu6"))
                e = std::min(e, 6.0f);
        }

        tfjs::ConvertOptions options;
        options.inputChannelsFirst = nchw;
        const Run r = run(g.model(), options, nchw ? planar(x) : x);
        QCOMPARE(r.count("Pad"), 0);
        QVERIFY2(maxDiff(r.output, expected) < 1e-4f,
                 qPrintable(QString::number(maxDiff(r.output, expected))));
    }

    // The NanoDet pattern: NCHW input, Transposes around each NHWC
    // convolution, a bias Add, a Reshape whose shape is a sum of constants,
    // and a final Transpose. Kept as computed, none of it costs a node.
    void layoutsCostNothing()
    {
        const Tensor x = random({1, 3, 6, 6}, 1.0f);
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
             {{"strides", attrInts({1, 1, 1, 1})}, {"padding", attrS("VALID")}});
        g.op("Add", "add", {"conv", "bias"});
        g.op("Transpose", "t2", {"add", "to_nchw"});
        g.op("LeakyRelu", "leaky", {"t2"}, {{"alpha", attrF(0.1)}});
        g.op("SparseToDense", "dense", {"where", "dense_shape", "no_values", "zero"});
        g.op("AddV2", "target", {"shape", "dense"});
        g.op("Reshape", "flat", {"leaky", "target"});
        g.op("Transpose", "t3", {"flat", "swap"});
        g.op("Identity", "out", {"t3"});

        const Tensor conv = convolve(planarToNhwc(x), f, 1, {1, 1, 1, 1}, false);
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
        const Run r = run(model, options, x);
        QCOMPARE(r.converted.outputs.at(0).name, std::string("scores"));
        QCOMPARE(r.converted.outputs.at(0).shape, (std::vector<int64_t>{1, 4, 36}));
        QCOMPARE(r.converted.outputs.at(0).logicalAxes, (std::vector<int>{0, 2, 1}));
        QCOMPARE(r.converted.model.graph().node_size(), 3); // Conv, LeakyRelu, Reshape
        QVERIFY(maxDiff(r.output, expected) < 1e-5f);

        // The same bytes every time.
        QCOMPARE(tfjs::serialize(tfjs::convert(model, options).model),
                 tfjs::serialize(r.converted.model));

        // Asked for TF's own order, the output is transposed once at the end.
        options.outputsAsComputed = false;
        const Run logical = run(model, options, x);
        QCOMPARE(logical.count("Transpose"), 1);
        QCOMPARE(logical.output.size[1], 36);
        QCOMPARE(logical.output.ptr<float>()[1], expected.v[36]);
    }

    void pooling_data()
    {
        QTest::addColumn<QByteArray>("op");
        QTest::addColumn<int>("kernel");
        QTest::addColumn<int>("stride");
        QTest::addColumn<QByteArray>("padding");
        QTest::addColumn<bool>("padMinusInf");

        QTest::newRow("PadV2 with -inf, then VALID max")
            << QByteArray("MaxPool") << 3 << 2 << QByteArray("VALID") << true;
        QTest::newRow("SAME max, 5 x 5")
            << QByteArray("MaxPool") << 5 << 1 << QByteArray("SAME") << false;
        QTest::newRow("SAME average leaves the padding out")
            << QByteArray("AvgPool") << 3 << 2 << QByteArray("SAME") << false;
    }

    void pooling()
    {
        QFETCH(QByteArray, op);
        QFETCH(int, kernel);
        QFETCH(int, stride);
        QFETCH(QByteArray, padding);
        QFETCH(bool, padMinusInf);
        // All negative: a zero from the padding would win a max.
        Tensor x = random({1, 7, 7, 2}, 1.0f);
        for (float& v : x.v)
            v = v - 2.0f;
        Graph g;
        g.input("x", {1, 7, 7, 2});
        QString in = "x";
        std::array<int, 4> pads{0, 0, 0, 0};
        if (padMinusInf) {
            g.ints("paddings", {4, 2}, {0, 0, 1, 1, 1, 1, 0, 0});
            g.constant("minus_inf", Tensor({}, -INFINITY));
            g.op("PadV2", "pad", {"x", "paddings", "minus_inf"});
            in = "pad";
            pads = {1, 1, 1, 1};
        }
        g.op(op.constData(), "pool", {in},
             {{"ksize", attrInts({1, kernel, kernel, 1})},
              {"strides", attrInts({1, stride, stride, 1})},
              {"padding", attrS(padding)}});
        if (padding == "SAME") {
            const auto [a, b] = samePads(7, kernel, stride);
            pads = {a, a, b, b};
        }
        tfjs::ConvertOptions options;
        options.inputChannelsFirst = true;
        const Run r = run(g.model(), options, planar(x));
        QCOMPARE(r.count("Pad"), 0);
        QVERIFY(maxDiff(r.output, pool(x, kernel, stride, pads, op == "MaxPool")) < 1e-5f);
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
             {{"half_pixel_centers", attrB(halfPixel)}, {"align_corners", attrB(false)}});

        // TF: source = (i + 0.5) / 2 - 0.5 (or i / 2), clamped to the edges.
        auto source = [&](int i, int n, int& lo, int& hi, float& t) {
            const float s = halfPixel ? (float(i) + 0.5f) * 0.5f - 0.5f : float(i) * 0.5f;
            const float fl = std::floor(s);
            t = s - fl;
            lo = std::clamp(int(fl), 0, n - 1);
            hi = std::clamp(int(std::ceil(s)), 0, n - 1);
        };
        Tensor expected({1, 6, 10, 2});
        for (int y = 0; y < 6; ++y)
            for (int xx = 0; xx < 10; ++xx)
                for (int c = 0; c < 2; ++c) {
                    int y0, y1, x0, x1;
                    float ty, tx;
                    source(y, 3, y0, y1, ty);
                    source(xx, 5, x0, x1, tx);
                    const float top = x.at(0, y0, x0, c) * (1 - tx) + x.at(0, y0, x1, c) * tx;
                    const float bottom = x.at(0, y1, x0, c) * (1 - tx) + x.at(0, y1, x1, c) * tx;
                    expected.at(0, y, xx, c) = top * (1 - ty) + bottom * ty;
                }
        tfjs::ConvertOptions options;
        options.inputChannelsFirst = true;
        const Run r = run(g.model(), options, planar(x));
        QVERIFY(maxDiff(r.output, expected) < 1e-5f);
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
        g.op("SplitV", "split", {"x", "sizes", "axis"}, {{"num_split", attrI(2)}});
        g.op("Sigmoid", "sig", {"split"});
        g.op("ConcatV2", "cat", {"split:1", "sig", "last"}, {{"N", attrI(2)}});
        g.op("Mean", "mean", {"cat", "hw"}, {{"keep_dims", attrB(false)}});

        Tensor expected({1, 5});
        for (int c = 0; c < 5; ++c) {
            const int from = c < 3 ? c + 2 : c - 3; // the last three channels first
            for (int i = 0; i < 12; ++i) {
                const float v = x.at(0, i / 3, i % 3, from);
                expected.v[size_t(c)] += (from < 2 ? 1 / (1 + std::exp(-v)) : v) / 12;
            }
        }
        tfjs::ConvertOptions options;
        options.inputChannelsFirst = true;
        const Run r = run(g.model(), options, planar(x));
        QCOMPARE(r.count("GlobalAveragePool"), 1);
        QVERIFY(maxDiff(r.output, expected) < 1e-5f);
    }

    // The MoveNet input: int32 pixels of open size, cast to float, then
    // scaled per channel; fed as float NCHW planes of a fixed size.
    void integerInputWithChannelConstants()
    {
        Tensor x({1, 4, 4, 3});
        for (size_t i = 0; i < x.v.size(); ++i)
            x.v[i] = float(rng.bounded(256));
        Graph g;
        g.input("x", {1, -1, -1, 3}, "DT_INT32");
        g.op("Cast", "xf", {"x"}, {{"SrcT", attrT("DT_INT32")}, {"DstT", attrT("DT_FLOAT")}});
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
        options.inputChannelsFirst = true;
        options.floatInput = true;
        options.outputs = {{"scaled", "out"}};
        QVERIFY(maxDiff(run(g.model(), options, planar(x)).output, expected) < 1e-4f);

        // Without the size, or as an integer input, the conversion stops.
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
        tfjs::ConvertOptions options;
        options.outputs = {{"erf", "erf"}};
        try {
            tfjs::convert(g.model(), options);
            QFAIL("converted an unknown operation");
        } catch (const tfjs::Error& e) {
            QVERIFY(QByteArray(e.what()).contains("Erf"));
        }
        Graph short_;
        short_.input("x", {1, 2, 2, 1});
        short_.constant("c", Tensor({4}, 1.0f));
        QVERIFY_THROWS_EXCEPTION(tfjs::Error, short_.model(2));
    }

private:
    static Tensor planarToNhwc(const Tensor& t)
    {
        Tensor out({t.shape[0], t.shape[2], t.shape[3], t.shape[1]});
        for (int c = 0; c < t.shape[1]; ++c)
            for (int h = 0; h < t.shape[2]; ++h)
                for (int w = 0; w < t.shape[3]; ++w)
                    out.at(0, h, w, c) = t.v[size_t((c * t.shape[2] + h) * t.shape[3] + w)];
        return out;
    }
};

QTEST_GUILESS_MAIN(TestConvertTfjs)
#include "tst_convert_tfjs.moc"
