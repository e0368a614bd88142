#include "DnnlNetwork.h"
#include "OnnxGraph.h"
#include "OnnxModel.h"

#include <QTest>
#include <algorithm>
#include <cmath>

// Each operator the oneDNN engine has, on odd sizes, paddings, groups and
// broadcasts, against a few lines of direct code. "blocked" rows put an
// identity 1x1 convolution first: the operator then reads oneDNN's blocked
// layout, and activations and an Add join the convolution as post-ops.

using Dims = std::vector<int64_t>;
using Pair = std::pair<int, int>;
Q_DECLARE_METATYPE(Pair)
Q_DECLARE_METATYPE(Dims)

namespace {

// A 4-D NCHW blob and its element at (n, c, y, x).
float& at(cv::Mat& m, int n, int c, int y, int x)
{
    return m.ptr<float>()[((size_t(n) * m.size[1] + c) * m.size[2] + y) * m.size[3] + x];
}
float at(const cv::Mat& m, int n, int c, int y, int x)
{
    return at(const_cast<cv::Mat&>(m), n, c, y, x);
}

cv::Mat zeros(const std::vector<int>& dims)
{
    return cv::Mat(int(dims.size()), dims.data(), CV_32F, cv::Scalar(0));
}

struct ConvGeometry
{
    int group = 1;
    Pair stride{1, 1}, dilation{1, 1};
    std::vector<int> pads{0, 0, 0, 0}; // top, left, bottom, right
};

cv::Mat convolve(const cv::Mat& x, const cv::Mat& w, const std::vector<float>& bias,
                 const ConvGeometry& s)
{
    const int cin = x.size[1] / s.group, cout = w.size[0], kh = w.size[2], kw = w.size[3];
    const int oh =
        (x.size[2] + s.pads[0] + s.pads[2] - ((kh - 1) * s.dilation.first + 1)) / s.stride.first +
        1;
    const int ow =
        (x.size[3] + s.pads[1] + s.pads[3] - ((kw - 1) * s.dilation.second + 1)) / s.stride.second +
        1;
    cv::Mat y = zeros({1, cout, oh, ow});
    for (int o = 0; o < cout; ++o) {
        const int g = o / (cout / s.group);
        for (int i = 0; i < oh; ++i)
            for (int j = 0; j < ow; ++j) {
                double sum = bias.empty() ? 0.0 : bias[size_t(o)];
                for (int c = 0; c < cin; ++c)
                    for (int u = 0; u < kh; ++u)
                        for (int v = 0; v < kw; ++v) {
                            const int yy = i * s.stride.first - s.pads[0] + u * s.dilation.first;
                            const int xx = j * s.stride.second - s.pads[1] + v * s.dilation.second;
                            if (yy >= 0 && yy < x.size[2] && xx >= 0 && xx < x.size[3])
                                sum += double(at(w, o, c, u, v)) * at(x, 0, g * cin + c, yy, xx);
                        }
                at(y, 0, o, i, j) = float(sum);
            }
    }
    return y;
}

// Input C, H, W; weights O, I / group, kH, kW.
struct ConvCase
{
    std::vector<int> input, weights;
    ConvGeometry geometry;
    bool bias;
};

struct PoolCase
{
    std::vector<int> input;
    Pair kernel, stride;
    std::vector<int> pads;
    bool ceil, blocked;
};

// linear: half_pixel; nearest: asymmetric, rounded down.
struct ResizeCase
{
    std::vector<int> input;
    Pair size;
    const char* mode;
    bool byScales, blocked;
};

// The shape a blob of `dims` has, as the ONNX file says it.
Dims onnxDims(const std::vector<int>& dims)
{
    return Dims(dims.begin(), dims.end());
}

// Values of `m` within 1e-4 of `expected`, relative to values above 1.
QString difference(const cv::Mat& m, const cv::Mat& expected)
{
    if (Blobs::dims(m) != Blobs::dims(expected) && m.total() != expected.total())
        return QStringLiteral("%1 values, expected %2").arg(m.total()).arg(expected.total());
    const float* a = m.ptr<float>();
    const float* b = expected.ptr<float>();
    for (size_t i = 0; i < m.total(); ++i) {
        if (!(std::abs(a[i] - b[i]) <= 1e-4f * std::max(1.f, std::abs(b[i]))))
            return QStringLiteral("value %1 is %2, expected %3").arg(i).arg(a[i]).arg(b[i]);
    }
    return {};
}

std::vector<cv::Mat> run(const OnnxModel& m, const std::vector<cv::Mat>& inputs)
{
    return DnnlNetwork::build(OnnxGraph::parse(m.bytes()))->forward(inputs);
}

// "x" itself, or "x" through an identity 1x1 convolution of `channels`.
std::string source(OnnxModel& m, bool blocked, int channels, const std::string& from = "x")
{
    if (!blocked)
        return from;
    std::vector<float> eye(size_t(channels) * size_t(channels), 0.f);
    for (int c = 0; c < channels; ++c)
        eye[size_t(c) * size_t(channels) + size_t(c)] = 1.f;
    m.floats(from + "_eye", {channels, channels, 1, 1}, eye);
    m.node("Conv", {from, from + "_eye"}, {from + "_b"});
    return from + "_b";
}

#define EXPECT_CLOSE(ours, expected)                                                               \
    do {                                                                                           \
        const QString why = difference(ours, expected);                                            \
        QVERIFY2(why.isEmpty(), qPrintable(why));                                                  \
    } while (false)

} // namespace

Q_DECLARE_METATYPE(ConvCase)
Q_DECLARE_METATYPE(PoolCase)
Q_DECLARE_METATYPE(ResizeCase)

class TestOperators final : public QObject
{
    Q_OBJECT

private slots:
    void conv_data()
    {
        QTest::addColumn<ConvCase>("c");
        const Pair one{1, 1}, two{2, 2};
        const std::pair<const char*, ConvCase> rows[] = {
            {"3x3 odd image", {{3, 7, 9}, {4, 3, 3, 3}, {1, one, one, {1, 1, 1, 1}}, true}},
            {"asymmetric pads, 3x2", {{2, 6, 5}, {3, 2, 3, 2}, {1, one, one, {0, 1, 2, 0}}, false}},
            {"stride 2 odd", {{3, 9, 11}, {8, 3, 3, 3}, {1, two, one, {1, 1, 1, 1}}, true}},
            {"stride 3x2", {{4, 10, 7}, {5, 4, 2, 3}, {1, {3, 2}, one, {1, 0, 0, 2}}, true}},
            {"2 groups", {{4, 8, 8}, {6, 2, 3, 3}, {2, one, one, {1, 1, 1, 1}}, true}},
            {"depthwise, stride 2",
             {{16, 9, 9}, {16, 1, 3, 3}, {16, two, one, {1, 1, 1, 1}}, true}},
            {"depthwise, 2 a channel",
             {{8, 6, 7}, {16, 1, 3, 3}, {8, one, one, {0, 0, 1, 1}}, false}},
            {"dilation 2", {{5, 11, 10}, {7, 5, 3, 3}, {1, one, two, {2, 2, 2, 2}}, true}},
            {"dilation 3x1, stride 2",
             {{3, 13, 9}, {4, 3, 3, 3}, {1, two, {3, 1}, {0, 1, 3, 0}}, true}},
            {"1x1, 32 to 17", {{32, 5, 5}, {17, 32, 1, 1}, {1, one, one, {0, 0, 0, 0}}, true}},
            {"kernel past the image",
             {{2, 2, 3}, {3, 2, 5, 5}, {1, one, one, {2, 2, 2, 2}}, false}},
            // Where oneDNN may take Winograd's transform.
            {"3x3, 64 to 64 on 66x66",
             {{64, 66, 66}, {64, 64, 3, 3}, {1, one, one, {1, 1, 1, 1}}, true}},
        };
        for (const auto& [name, c] : rows)
            QTest::newRow(name) << c;
    }

    void conv()
    {
        QFETCH(ConvCase, c);
        const std::vector<int>& input = c.input;
        const std::vector<int>& weights = c.weights;
        const ConvGeometry& geometry = c.geometry;
        const bool bias = c.bias;
        const cv::Mat x = Blobs::random({1, input[0], input[1], input[2]}, 1);
        const std::vector<int> wdims(weights.begin(), weights.end());
        cv::Mat w = Blobs::random(wdims, 2) * 0.3;
        std::vector<float> b;
        for (int o = 0; bias && o < weights[0]; ++o)
            b.push_back(0.1f * float(o) - 0.3f);
        const cv::Mat expected = convolve(x, w, b, geometry);

        OnnxModel m("x", onnxDims(Blobs::dims(x)));
        m.rawFloats("w", onnxDims(wdims), Blobs::values(w));
        if (bias)
            m.floats("b", {weights[0]}, b);
        auto& n = m.node("Conv", {"x", "w", bias ? "b" : ""}, {"y"});
        if (!bias)
            n.mutable_input()->RemoveLast();
        OnnxModel::attr(n, "kernel_shape", Dims{weights[2], weights[3]});
        OnnxModel::attr(n, "group", int64_t(geometry.group));
        OnnxModel::attr(n, "strides", Dims{geometry.stride.first, geometry.stride.second});
        OnnxModel::attr(n, "dilations", Dims{geometry.dilation.first, geometry.dilation.second});
        OnnxModel::attr(n, "pads", onnxDims(geometry.pads));
        m.output("y", onnxDims(Blobs::dims(expected)));
        const cv::Mat y = run(m, {x}).at(0);
        QCOMPARE(Blobs::dims(y), Blobs::dims(expected));
        EXPECT_CLOSE(y, expected);
    }

    void maxPool_data()
    {
        QTest::addColumn<PoolCase>("pool");
        const Pair one{1, 1}, two{2, 2}, three{3, 3};
        const std::pair<const char*, PoolCase> rows[] = {
            {"2x2 stride 2", {{3, 8, 8}, two, two, {0, 0, 0, 0}, false, false}},
            {"3x3 stride 2 pads 1, blocked", {{16, 9, 9}, three, two, {1, 1, 1, 1}, false, true}},
            {"ceil, odd sizes", {{2, 7, 9}, two, two, {0, 0, 0, 0}, true, false}},
            {"ceil with pads", {{3, 10, 10}, three, two, {1, 1, 1, 1}, true, false}},
            {"ceil, 3x2 stride 3x1, blocked",
             {{8, 11, 6}, {3, 2}, {3, 1}, {0, 1, 1, 0}, true, true}},
            {"stride 1, asymmetric pads", {{5, 6, 7}, {3, 2}, one, {1, 0, 0, 1}, false, false}},
            {"the whole image", {{4, 5, 3}, {5, 3}, one, {0, 0, 0, 0}, false, false}},
        };
        for (const auto& [name, c] : rows)
            QTest::newRow(name) << c;
    }

    void maxPool()
    {
        QFETCH(PoolCase, pool);
        const std::vector<int>& input = pool.input;
        const std::vector<int>& pads = pool.pads;
        const Pair kernel = pool.kernel, stride = pool.stride;
        const bool ceil = pool.ceil;
        const cv::Mat x = Blobs::random({1, input[0], input[1], input[2]}, 3);
        // Windows start in the image or its leading padding; a last one that
        // would start in the trailing padding is not taken.
        auto outSize = [&](int size, int k, int s, int before, int after) {
            const int room = size + before + after - k;
            int n = (ceil ? (room + s - 1) / s : room / s) + 1;
            if (ceil && (n - 1) * s >= size + before)
                --n;
            return n;
        };
        const int oh = outSize(input[1], kernel.first, stride.first, pads[0], pads[2]);
        const int ow = outSize(input[2], kernel.second, stride.second, pads[1], pads[3]);
        cv::Mat expected = zeros({1, input[0], oh, ow});
        for (int c = 0; c < input[0]; ++c)
            for (int i = 0; i < oh; ++i)
                for (int j = 0; j < ow; ++j) {
                    float most = -INFINITY;
                    for (int u = 0; u < kernel.first; ++u)
                        for (int v = 0; v < kernel.second; ++v) {
                            const int yy = i * stride.first - pads[0] + u;
                            const int xx = j * stride.second - pads[1] + v;
                            if (yy >= 0 && yy < input[1] && xx >= 0 && xx < input[2])
                                most = std::max(most, at(x, 0, c, yy, xx));
                        }
                    at(expected, 0, c, i, j) = most;
                }

        OnnxModel m("x", onnxDims(Blobs::dims(x)));
        auto& p = m.node("MaxPool", {source(m, pool.blocked, input[0])}, {"y"});
        OnnxModel::attr(p, "kernel_shape", Dims{kernel.first, kernel.second});
        OnnxModel::attr(p, "strides", Dims{stride.first, stride.second});
        OnnxModel::attr(p, "pads", onnxDims(pads));
        OnnxModel::attr(p, "ceil_mode", int64_t(ceil));
        m.output("y", onnxDims(Blobs::dims(expected)));
        const cv::Mat y = run(m, {x}).at(0);
        QCOMPARE(Blobs::dims(y), Blobs::dims(expected));
        EXPECT_CLOSE(y, expected);
    }

    void resize_data()
    {
        QTest::addColumn<ResizeCase>("r");
        const std::pair<const char*, ResizeCase> rows[] = {
            {"linear 2x, sizes", {{3, 3, 4}, {6, 8}, "linear", false, false}},
            {"linear to odd sizes", {{2, 5, 7}, {9, 13}, "linear", false, false}},
            {"linear down", {{2, 8, 6}, {4, 3}, "linear", false, false}},
            {"linear 2x, scales, blocked", {{16, 5, 6}, {10, 12}, "linear", true, true}},
            {"linear 3x1, one channel blocked", {{1, 4, 5}, {12, 5}, "linear", false, true}},
            {"nearest 2x, scales", {{3, 3, 5}, {6, 10}, "nearest", true, false}},
            {"nearest 3x2, sizes, blocked", {{8, 4, 3}, {12, 6}, "nearest", false, true}},
        };
        for (const auto& [name, r] : rows)
            QTest::newRow(name) << r;
    }

    void resize()
    {
        QFETCH(ResizeCase, r);
        const std::vector<int>& input = r.input;
        const Pair size = r.size;
        const QString mode = QString::fromLatin1(r.mode);
        const bool byScales = r.byScales, blocked = r.blocked;
        const int c = input[0], h = input[1], w = input[2];
        const cv::Mat x = Blobs::random({1, c, h, w}, 4);
        cv::Mat expected = zeros({1, c, size.first, size.second});
        // ONNX's coordinates: half_pixel for linear (clamped at the
        // edges), asymmetric rounded down for nearest.
        auto origin = [&](int o, int in, int out) {
            const double scale = double(out) / in;
            return mode == QLatin1String("linear")
                       ? std::clamp((o + 0.5) / scale - 0.5, 0.0, double(in - 1))
                       : std::floor(o / scale);
        };
        for (int k = 0; k < c; ++k)
            for (int i = 0; i < size.first; ++i)
                for (int j = 0; j < size.second; ++j) {
                    const double sy = origin(i, h, size.first), sx = origin(j, w, size.second);
                    const int y0 = int(sy), x0 = int(sx);
                    const int y1 = std::min(y0 + 1, h - 1), x1 = std::min(x0 + 1, w - 1);
                    const double fy = sy - y0, fx = sx - x0;
                    at(expected, 0, k, i, j) = float(
                        (1 - fy) * ((1 - fx) * at(x, 0, k, y0, x0) + fx * at(x, 0, k, y0, x1)) +
                        fy * ((1 - fx) * at(x, 0, k, y1, x0) + fx * at(x, 0, k, y1, x1)));
                }

        OnnxModel m("x", onnxDims(Blobs::dims(x)));
        const std::string from = source(m, blocked, c);
        if (byScales) {
            m.floats("scales", {4},
                     {1.f, 1.f, float(size.first) / float(h), float(size.second) / float(w)});
        } else {
            m.ints("sizes", {1, c, size.first, size.second});
        }
        auto& n =
            m.node("Resize", {from, "", byScales ? "scales" : "", byScales ? "" : "sizes"}, {"y"});
        if (byScales)
            n.mutable_input()->RemoveLast();
        OnnxModel::attr(n, "mode", mode.toStdString());
        const bool nearest = mode == QLatin1String("nearest");
        OnnxModel::attr(n, "coordinate_transformation_mode",
                        std::string(nearest ? "asymmetric" : "half_pixel"));
        if (nearest)
            OnnxModel::attr(n, "nearest_mode", std::string("floor"));
        m.output("y", {1, c, size.first, size.second});
        const cv::Mat y = run(m, {x}).at(0);
        QCOMPARE(Blobs::dims(y), Blobs::dims(expected));
        EXPECT_CLOSE(y, expected);
    }

    void concat_data()
    {
        QTest::addColumn<QList<int>>("channels"); // of each part, all 5x3
        QTest::addColumn<QString>("parts");       // inputs, convolutions of one input, one twice
        QTest::addColumn<int>("axis");
        QTest::newRow("inputs 3+5+1") << QList<int>{3, 5, 1} << "inputs" << 1;
        QTest::newRow("convolutions 16+8+3") << QList<int>{16, 8, 3} << "convolutions" << 1;
        QTest::newRow("convolutions 16+32") << QList<int>{16, 32} << "convolutions" << 1;
        QTest::newRow("convolutions 7+9+1") << QList<int>{7, 9, 1} << "convolutions" << 1;
        QTest::newRow("one part twice") << QList<int>{16, 16} << "twice" << 1;
        QTest::newRow("rows, -2") << QList<int>{3, 3} << "inputs" << -2;
    }

    void concat()
    {
        QFETCH(QList<int>, channels);
        QFETCH(QString, parts);
        QFETCH(int, axis);
        const int h = 5, w = 3;
        OnnxModel m("x", {1, 4, h, w});
        const cv::Mat x = Blobs::random({1, 4, h, w}, 5);
        std::vector<cv::Mat> inputs{x}, values;
        std::vector<std::string> names;
        for (int i = 0; i < channels.size(); ++i) {
            const std::string name = "p" + std::to_string(i);
            if (parts == QLatin1String("inputs")) {
                values.push_back(Blobs::random({1, channels[i], h, w}, 10 + uint64_t(i)));
                m.input(name, {1, channels[i], h, w});
                inputs.push_back(values.back());
            } else if (parts == QLatin1String("twice") && i > 0) {
                values.push_back(values.front());
                names.push_back(names.front());
                continue;
            } else {
                cv::Mat wt = Blobs::random({channels[i], 4, 1, 1}, 20 + uint64_t(i));
                m.floats("w" + name, {channels[i], 4, 1, 1}, Blobs::values(wt));
                m.node("Conv", {"x", "w" + name}, {name});
                values.push_back(convolve(x, wt, {}, {}));
            }
            names.push_back(name);
        }
        // "x" is read by something in every form.
        m.node("Relu", {"x"}, {"unused"});
        m.output("unused", {1, 4, h, w});
        auto& cat = m.node("Concat", names, {"y"});
        OnnxModel::attr(cat, "axis", int64_t(axis));
        const int along = axis < 0 ? axis + 4 : axis;
        std::vector<int> ydims{1, channels[0], h, w};
        ydims[size_t(along)] = 0;
        for (const cv::Mat& v : values)
            ydims[size_t(along)] += v.size[along];
        m.output("y", onnxDims(ydims));
        cv::Mat expected = zeros(ydims);
        int offset = 0;
        for (const cv::Mat& v : values) {
            for (int c = 0; c < v.size[1]; ++c)
                for (int i = 0; i < v.size[2]; ++i)
                    for (int j = 0; j < w; ++j)
                        at(expected, 0, along == 1 ? c + offset : c, along == 2 ? i + offset : i,
                           j) = at(v, 0, c, i, j);
            offset += v.size[along];
        }
        // The inputs in the graph's order: "x", then any parts.
        const cv::Mat y = run(m, inputs).at(1);
        QCOMPARE(Blobs::dims(y), ydims);
        EXPECT_CLOSE(y, expected);
    }

    void split_data()
    {
        QTest::addColumn<int>("channels");
        QTest::addColumn<QList<int>>("parts"); // empty: equal parts, three of them
        QTest::addColumn<int>("axis");
        QTest::addColumn<int>("opset"); // 11: parts as an attribute; 13: as an input
        QTest::addColumn<bool>("blocked");
        QTest::newRow("3+5, attribute") << 8 << QList<int>{3, 5} << 1 << 11 << false;
        QTest::newRow("1+1+6, input, blocked") << 8 << QList<int>{1, 1, 6} << 1 << 13 << true;
        QTest::newRow("5+11 within a block") << 16 << QList<int>{5, 11} << 1 << 13 << true;
        QTest::newRow("16+16 at the block's edge") << 32 << QList<int>{16, 16} << 1 << 13 << true;
        QTest::newRow("equal thirds") << 12 << QList<int>{} << 1 << 13 << true;
        QTest::newRow("rows 2+4") << 3 << QList<int>{2, 4} << 2 << 13 << false;
    }

    void split()
    {
        QFETCH(int, channels);
        QFETCH(QList<int>, parts);
        QFETCH(int, axis);
        QFETCH(int, opset);
        QFETCH(bool, blocked);
        const int h = 6, w = 5;
        const cv::Mat x = Blobs::random({1, channels, h, w}, 6);
        const int whole = axis == 1 ? channels : h;
        const bool equal = parts.isEmpty();
        if (equal)
            parts = QList<int>(3, whole / 3);
        OnnxModel m("x", {1, channels, h, w}, opset);
        std::vector<std::string> names;
        for (int i = 0; i < parts.size(); ++i)
            names.push_back("y" + std::to_string(i));
        std::vector<std::string> inputs{source(m, blocked, channels)};
        if (opset >= 13 && !equal) {
            m.ints("split", Dims(parts.begin(), parts.end()));
            inputs.push_back("split");
        }
        auto& s = m.node("Split", inputs, names);
        OnnxModel::attr(s, "axis", int64_t(axis));
        if (opset < 13)
            OnnxModel::attr(s, "split", Dims(parts.begin(), parts.end()));
        int offset = 0;
        std::vector<cv::Mat> expected;
        for (int i = 0; i < parts.size(); ++i) {
            std::vector<int> d{1, channels, h, w};
            d[size_t(axis)] = parts[i];
            m.output(names[size_t(i)], onnxDims(d));
            cv::Mat e = zeros(d);
            for (int c = 0; c < d[1]; ++c)
                for (int yy = 0; yy < d[2]; ++yy)
                    for (int xx = 0; xx < w; ++xx)
                        at(e, 0, c, yy, xx) =
                            at(x, 0, axis == 1 ? c + offset : c, axis == 2 ? yy + offset : yy, xx);
            expected.push_back(e);
            offset += parts[i];
        }
        const std::vector<cv::Mat> y = run(m, {x});
        QCOMPARE(y.size(), expected.size());
        for (size_t i = 0; i < y.size(); ++i) {
            QCOMPARE(Blobs::dims(y[i]), Blobs::dims(expected[i]));
            EXPECT_CLOSE(y[i], expected[i]);
        }
    }

    void reshape_data()
    {
        QTest::addColumn<Dims>("shape");
        QTest::addColumn<Dims>("result");
        QTest::addColumn<bool>("blocked");
        QTest::newRow("to rank 3") << Dims{1, 6, 16} << Dims{1, 6, 16} << false;
        QTest::newRow("-1, blocked") << Dims{1, -1} << Dims{1, 96} << true;
        QTest::newRow("0 keeps a size, blocked") << Dims{0, 3, 2, 16} << Dims{1, 3, 2, 16} << true;
        QTest::newRow("to channels") << Dims{1, 96, 1, 1} << Dims{1, 96, 1, 1} << true;
    }

    void reshape()
    {
        QFETCH(Dims, shape);
        QFETCH(Dims, result);
        QFETCH(bool, blocked);
        const cv::Mat x = Blobs::random({1, 6, 4, 4}, 7);
        OnnxModel m("x", {1, 6, 4, 4});
        m.ints("shape", shape);
        m.node("Reshape", {source(m, blocked, 6), "shape"}, {"y"});
        m.output("y", result);
        const cv::Mat y = run(m, {x}).at(0);
        QCOMPARE(Blobs::dims(y), std::vector<int>(result.begin(), result.end()));
        QCOMPARE(Blobs::values(y), Blobs::values(x));
    }

    void arithmetic_data()
    {
        QTest::addColumn<QString>("op");
        QTest::addColumn<QString>("operand"); // scalar, scalar first, channel, full, tensor
        QTest::addColumn<bool>("blocked");
        for (const char* op : {"Add", "Sub", "Mul"}) {
            for (const char* operand : {"scalar", "scalar first", "tensor"}) {
                for (bool blocked : {false, true})
                    QTest::addRow("%s %s%s", op, operand, blocked ? ", blocked" : "")
                        << op << operand << blocked;
            }
        }
        for (const char* op : {"Add", "Mul"}) {
            for (const char* operand : {"channel", "full"}) {
                for (bool blocked : {false, true})
                    QTest::addRow("%s %s%s", op, operand, blocked ? ", blocked" : "")
                        << op << operand << blocked;
            }
        }
    }

    void arithmetic()
    {
        QFETCH(QString, op);
        QFETCH(QString, operand);
        QFETCH(bool, blocked);
        const int c = 5, h = 3, w = 7;
        const cv::Mat x = Blobs::random({1, c, h, w}, 8);
        const cv::Mat z = Blobs::random({1, c, h, w}, 9);
        OnnxModel m("x", {1, c, h, w});
        const std::string a = source(m, blocked, c);
        std::vector<cv::Mat> inputs{x};
        std::vector<std::string> operands{a, "k"};
        cv::Mat other = z; // the second operand, broadcast
        const float channel[] = {0.5f, -1.f, 2.f, 0.25f, 3.f};
        if (operand.startsWith(QLatin1String("scalar"))) {
            m.floats("k", {}, {1.5f});
            other = cv::Mat(x.dims, x.size.p, CV_32F, cv::Scalar(1.5));
            if (operand == QLatin1String("scalar first"))
                std::swap(operands[0], operands[1]);
        } else if (operand == QLatin1String("channel")) {
            m.floats("k", {c, 1, 1}, std::vector<float>(channel, channel + c));
            other = zeros({1, c, h, w});
            for (int i = 0; i < int(x.total()); ++i)
                other.ptr<float>()[i] = channel[i / (h * w)];
        } else if (operand == QLatin1String("full")) {
            m.floats("k", {1, c, h, w}, Blobs::values(z));
        } else {
            m.input("z", {1, c, h, w});
            operands[1] = "z";
            inputs.push_back(z);
        }
        m.node(op.toStdString(), operands, {"y"});
        m.output("y", {1, c, h, w});
        cv::Mat expected = zeros({1, c, h, w});
        const bool first = operand == QLatin1String("scalar first");
        for (int i = 0; i < int(x.total()); ++i) {
            const float u = x.ptr<float>()[i], v = other.ptr<float>()[i];
            const float l = first ? v : u, r = first ? u : v;
            expected.ptr<float>()[i] = op == QLatin1String("Add")   ? l + r
                                       : op == QLatin1String("Sub") ? l - r
                                                                    : l * r;
        }
        const cv::Mat y = run(m, inputs).at(0);
        QCOMPARE(Blobs::dims(y), Blobs::dims(expected));
        EXPECT_CLOSE(y, expected);
    }

    void activation_data()
    {
        QTest::addColumn<QString>("op");
        QTest::addColumn<int>("opset");
        QTest::addColumn<float>("low"); // Clip's bounds; LeakyRelu's alpha in low
        QTest::addColumn<float>("high");
        QTest::addColumn<bool>("blocked");
        for (bool blocked : {false, true}) {
            const char* b = blocked ? ", blocked" : "";
            QTest::addRow("Relu%s", b) << "Relu" << 13 << 0.f << 0.f << blocked;
            QTest::addRow("LeakyRelu 0.2%s", b) << "LeakyRelu" << 13 << 0.2f << 0.f << blocked;
            QTest::addRow("Sigmoid%s", b) << "Sigmoid" << 13 << 0.f << 0.f << blocked;
            QTest::addRow("Clip by attributes%s", b) << "Clip" << 6 << -0.25f << 0.5f << blocked;
            QTest::addRow("Clip by inputs%s", b) << "Clip" << 13 << -0.5f << 0.25f << blocked;
            QTest::addRow("Clip above only%s", b) << "Clip" << 13 << -INFINITY << 0.3f << blocked;
            QTest::addRow("Relu then Sigmoid%s", b)
                << "Relu+Sigmoid" << 13 << 0.f << 0.f << blocked;
        }
    }

    void activation()
    {
        QFETCH(QString, op);
        QFETCH(int, opset);
        QFETCH(float, low);
        QFETCH(float, high);
        QFETCH(bool, blocked);
        const cv::Mat x = Blobs::random({1, 3, 5, 7}, 10) * 4;
        OnnxModel m("x", {1, 3, 5, 7}, opset);
        const std::string from = source(m, blocked, 3);
        if (op == QLatin1String("Clip") && opset >= 11) {
            m.floats("high", {}, {high});
            if (std::isfinite(low))
                m.floats("low", {}, {low});
            m.node("Clip", {from, std::isfinite(low) ? "low" : "", "high"}, {"y"});
        } else if (op == QLatin1String("Relu+Sigmoid")) {
            m.node("Relu", {from}, {"r"});
            m.node("Sigmoid", {"r"}, {"y"});
        } else {
            auto& n = m.node(op.toStdString(), {from}, {"y"});
            if (op == QLatin1String("LeakyRelu"))
                OnnxModel::attr(n, "alpha", low);
            if (op == QLatin1String("Clip")) {
                OnnxModel::attr(n, "min", low);
                OnnxModel::attr(n, "max", high);
            }
        }
        m.output("y", {1, 3, 5, 7});
        cv::Mat expected = x.clone();
        for (float& v : cv::Mat_<float>(expected.reshape(1, 1))) {
            if (op == QLatin1String("Relu"))
                v = std::max(v, 0.f);
            else if (op == QLatin1String("LeakyRelu"))
                v = v < 0 ? v * low : v;
            else if (op == QLatin1String("Sigmoid"))
                v = 1.f / (1.f + std::exp(-v));
            else if (op == QLatin1String("Clip"))
                v = std::clamp(v, low, high);
            else
                v = 1.f / (1.f + std::exp(-std::max(v, 0.f)));
        }
        const cv::Mat y = run(m, {x}).at(0);
        EXPECT_CLOSE(y, expected);
    }

    void nonFiniteValuesArePassedOn()
    {
        // A weight of NaN: the engine computes on, and whoever reads the
        // output sees it (a pass that reports non-finite output fails for
        // that image rather than cutting out nothing).
        OnnxModel m("x", {1, 2, 3, 3});
        m.floats("w", {1, 2, 1, 1}, {NAN, 1.f});
        m.floats("inf", {}, {INFINITY});
        m.node("Conv", {"x", "w"}, {"c"});
        m.node("Mul", {"x", "inf"}, {"i"});
        m.output("c", {1, 1, 3, 3});
        m.output("i", {1, 2, 3, 3});
        const std::vector<cv::Mat> y = run(m, {Blobs::random({1, 2, 3, 3}, 11)});
        QVERIFY(std::isnan(y.at(0).ptr<float>()[4]));
        QVERIFY(!cv::checkRange(y.at(1)));
    }
};

QTEST_GUILESS_MAIN(TestOperators)
#include "tst_operators.moc"
