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

using Ints = std::vector<int>;
using Attrs = std::vector<OnnxModel::Attr>;

namespace {

// The element (n, c, y, x) of a 4-D NCHW blob.
float at(const cv::Mat& m, int n, int c, int y, int x)
{
    return m.ptr<float>(n, c)[y * m.size[3] + x];
}

// A blob of `dims` (batch 1) whose element (c, y, x) is f(c, y, x).
template <typename F> cv::Mat made(const Ints& dims, F f)
{
    cv::Mat m(4, dims.data(), CV_32F);
    float* p = m.ptr<float>();
    for (int c = 0; c < dims[1]; ++c)
        for (int y = 0; y < dims[2]; ++y)
            for (int x = 0; x < dims[3]; ++x)
                *p++ = float(f(c, y, x));
    return m;
}

Dims dimsOf(const Ints& dims)
{
    return Dims(dims.begin(), dims.end());
}

std::vector<cv::Mat> run(const OnnxModel& m, const std::vector<cv::Mat>& inputs)
{
    return DnnlNetwork::build(OnnxGraph::parse(m.bytes()))->forward(inputs);
}

// "x" itself, or "x" through an identity 1x1 convolution of `channels`.
std::string source(OnnxModel& m, bool blocked, int channels)
{
    if (!blocked)
        return "x";
    std::vector<float> eye(size_t(channels * channels), 0.f);
    for (int c = 0; c < channels; ++c)
        eye[size_t(c * channels + c)] = 1.f;
    m.floats("eye", {channels, channels, 1, 1}, eye);
    m.node("Conv", {"x", "eye"}, {"xb"});
    return "xb";
}

// Where `m` differs from `expected`: in shape, or by more than 1e-4
// (relative to values above 1).
QString difference(const cv::Mat& m, const cv::Mat& expected)
{
    if (Blobs::dims(m) != Blobs::dims(expected))
        return QStringLiteral("%1 values, expected %2").arg(m.total()).arg(expected.total());
    const float *a = m.ptr<float>(), *b = expected.ptr<float>();
    for (size_t i = 0; i < m.total(); ++i) {
        if (!(std::abs(a[i] - b[i]) <= 1e-4f * std::max(1.f, std::abs(b[i]))))
            return QStringLiteral("value %1 is %2, expected %3").arg(i).arg(a[i]).arg(b[i]);
    }
    return {};
}

#define EXPECT_CLOSE(row, ours, expected)                                                          \
    do {                                                                                           \
        const QString why = difference(ours, expected);                                            \
        QVERIFY2(why.isEmpty(), qPrintable(QString(row) + QStringLiteral(": ") + why));            \
    } while (false)

struct ConvCase
{
    Ints input, weights; // C, H, W; O, I / group, kH, kW
    int group = 1;
    Ints stride{1, 1}, dilation{1, 1}, pads{0, 0, 0, 0}; // pads: top, left, bottom, right
    bool bias = false;
};

cv::Mat convolve(const cv::Mat& x, const cv::Mat& w, const std::vector<float>& bias,
                 const ConvCase& s)
{
    const int cin = x.size[1] / s.group, cout = w.size[0];
    int out[2];
    for (int d = 0; d < 2; ++d)
        out[d] =
            (x.size[2 + d] + s.pads[d] + s.pads[d + 2] - (w.size[2 + d] - 1) * s.dilation[d] - 1) /
                s.stride[d] +
            1;
    return made({1, cout, out[0], out[1]}, [&](int o, int i, int j) {
        const int g = o / (cout / s.group);
        double sum = bias.empty() ? 0.0 : bias[size_t(o)];
        for (int c = 0; c < cin; ++c)
            for (int u = 0; u < w.size[2]; ++u)
                for (int v = 0; v < w.size[3]; ++v) {
                    const int yy = i * s.stride[0] - s.pads[0] + u * s.dilation[0];
                    const int xx = j * s.stride[1] - s.pads[1] + v * s.dilation[1];
                    if (yy >= 0 && yy < x.size[2] && xx >= 0 && xx < x.size[3])
                        sum += double(at(w, o, c, u, v)) * at(x, 0, g * cin + c, yy, xx);
                }
        return sum;
    });
}

} // namespace

class TestOperators final : public QObject
{
    Q_OBJECT

private slots:
    void conv()
    {
        const std::pair<const char*, ConvCase> rows[] = {
            {"asymmetric pads, 3x2", {{2, 6, 5}, {3, 2, 3, 2}, 1, {1, 1}, {1, 1}, {0, 1, 2, 0}}},
            {"stride 3x2", {{4, 10, 7}, {5, 4, 2, 3}, 1, {3, 2}, {1, 1}, {1, 0, 0, 2}, true}},
            {"2 groups", {{4, 8, 8}, {6, 2, 3, 3}, 2, {1, 1}, {1, 1}, {1, 1, 1, 1}, true}},
            {"depthwise, stride 2", {{16, 9, 9}, {16, 1, 3, 3}, 16, {2, 2}, {1, 1}, {1, 1, 1, 1}}},
            {"depthwise, 2 a channel", {{8, 6, 7}, {16, 1, 3, 3}, 8, {1, 1}, {1, 1}, {0, 0, 1, 1}}},
            {"dilation 3x1, stride 2", {{3, 13, 9}, {4, 3, 3, 3}, 1, {2, 2}, {3, 1}, {0, 1, 3, 0}}},
            {"1x1, 32 to 17", {{32, 5, 5}, {17, 32, 1, 1}, 1, {1, 1}, {1, 1}, {0, 0, 0, 0}, true}},
            {"kernel past the image", {{2, 2, 3}, {3, 2, 5, 5}, 1, {1, 1}, {1, 1}, {2, 2, 2, 2}}},
            // Where oneDNN may take Winograd's transform.
            {"3x3, 64 to 64",
             {{64, 66, 66}, {64, 64, 3, 3}, 1, {1, 1}, {1, 1}, {1, 1, 1, 1}, true}},
        };
        for (const auto& [name, c] : rows) {
            const cv::Mat x = Blobs::random({1, c.input[0], c.input[1], c.input[2]}, 1);
            const cv::Mat w = Blobs::random(c.weights, 2) * 0.3;
            const std::vector<float> b =
                c.bias ? Blobs::values(Blobs::random({c.weights[0]}, 3)) : std::vector<float>();
            OnnxModel m("x", dimsOf(Blobs::dims(x)));
            m.floats("w", dimsOf(c.weights), Blobs::values(w), true);
            m.floats("b", {int64_t(b.size())}, b);
            m.node("Conv", {"x", "w", c.bias ? "b" : ""}, {"y"},
                   {{"kernel_shape", Dims{c.weights[2], c.weights[3]}},
                    {"group", c.group},
                    {"strides", dimsOf(c.stride)},
                    {"dilations", dimsOf(c.dilation)},
                    {"pads", dimsOf(c.pads)}});
            m.output("y");
            EXPECT_CLOSE(name, run(m, {x}).at(0), convolve(x, w, b, c));
        }
    }

    void maxPool()
    {
        const struct
        {
            const char* name;
            Ints input, kernel, stride, pads;
            bool ceil, blocked;
        } rows[] = {
            {"3x3 stride 2 pads 1", {16, 9, 9}, {3, 3}, {2, 2}, {1, 1, 1, 1}, false, true},
            {"ceil, odd sizes", {2, 7, 9}, {2, 2}, {2, 2}, {0, 0, 0, 0}, true, false},
            {"ceil with pads", {3, 10, 10}, {3, 3}, {2, 2}, {1, 1, 1, 1}, true, false},
            {"ceil, 3x2 stride 3x1", {8, 11, 6}, {3, 2}, {3, 1}, {0, 1, 1, 0}, true, true},
            {"stride 1, asymmetric pads", {5, 6, 7}, {3, 2}, {1, 1}, {1, 0, 0, 1}, false, false},
            {"the whole image", {4, 5, 3}, {5, 3}, {1, 1}, {0, 0, 0, 0}, false, false},
        };
        for (const auto& p : rows) {
            const cv::Mat x = Blobs::random({1, p.input[0], p.input[1], p.input[2]}, 3);
            // Windows start in the image or its leading padding; with ceil_mode
            // a last one that would start in the trailing padding is not taken.
            Ints y{1, p.input[0], 0, 0};
            for (int d = 0; d < 2; ++d) {
                const int room = p.input[1 + d] + p.pads[d] + p.pads[d + 2] - p.kernel[d];
                const int s = p.stride[d];
                y[2 + d] = (p.ceil ? (room + s - 1) / s : room / s) + 1;
                if (p.ceil && (y[2 + d] - 1) * s >= p.input[1 + d] + p.pads[d])
                    --y[2 + d];
            }
            const cv::Mat expected = made(y, [&](int c, int i, int j) {
                float most = -INFINITY;
                for (int yy = std::max(0, i * p.stride[0] - p.pads[0]);
                     yy < std::min(p.input[1], i * p.stride[0] - p.pads[0] + p.kernel[0]); ++yy)
                    for (int xx = std::max(0, j * p.stride[1] - p.pads[1]);
                         xx < std::min(p.input[2], j * p.stride[1] - p.pads[1] + p.kernel[1]); ++xx)
                        most = std::max(most, at(x, 0, c, yy, xx));
                return most;
            });
            OnnxModel m("x", dimsOf(Blobs::dims(x)));
            m.node("MaxPool", {source(m, p.blocked, p.input[0])}, {"y"},
                   {{"kernel_shape", dimsOf(p.kernel)},
                    {"strides", dimsOf(p.stride)},
                    {"pads", dimsOf(p.pads)},
                    {"ceil_mode", int(p.ceil)}});
            m.output("y");
            EXPECT_CLOSE(p.name, run(m, {x}).at(0), expected);
        }
    }

    void resize()
    {
        // linear: half_pixel; nearest: asymmetric, rounded down.
        const struct
        {
            const char* name;
            Ints input, size;
            bool nearest, byScales, blocked;
        } rows[] = {
            {"linear to odd sizes", {2, 5, 7}, {9, 13}, false, false, false},
            {"linear down", {2, 8, 6}, {4, 3}, false, false, false},
            {"linear 2x, scales", {16, 5, 6}, {10, 12}, false, true, true},
            {"linear 3x1, one channel", {1, 4, 5}, {12, 5}, false, false, true},
            {"nearest 2x, scales", {3, 3, 5}, {6, 10}, true, true, false},
            {"nearest 3x2, sizes", {8, 4, 3}, {12, 6}, true, false, true},
        };
        for (const auto& r : rows) {
            const int c = r.input[0], h = r.input[1], w = r.input[2];
            const cv::Mat x = Blobs::random({1, c, h, w}, 4);
            // ONNX's coordinates: half_pixel for linear (clamped at the
            // edges), asymmetric rounded down for nearest.
            auto origin = [&](int o, int in, int out) {
                const double scale = double(out) / in;
                return r.nearest ? std::floor(o / scale)
                                 : std::clamp((o + 0.5) / scale - 0.5, 0.0, double(in - 1));
            };
            const cv::Mat expected = made({1, c, r.size[0], r.size[1]}, [&](int k, int i, int j) {
                const double sy = origin(i, h, r.size[0]), sx = origin(j, w, r.size[1]);
                const int y0 = int(sy), x0 = int(sx);
                const int y1 = std::min(y0 + 1, h - 1), x1 = std::min(x0 + 1, w - 1);
                const double fy = sy - y0, fx = sx - x0;
                return (1 - fy) * ((1 - fx) * at(x, 0, k, y0, x0) + fx * at(x, 0, k, y0, x1)) +
                       fy * ((1 - fx) * at(x, 0, k, y1, x0) + fx * at(x, 0, k, y1, x1));
            });
            OnnxModel m("x", {1, c, h, w});
            m.floats("scales", {4}, {1.f, 1.f, float(r.size[0]) / h, float(r.size[1]) / w});
            m.ints("sizes", {1, c, r.size[0], r.size[1]});
            const std::string mode = r.nearest ? "nearest" : "linear";
            m.node("Resize",
                   {source(m, r.blocked, c), "", r.byScales ? "scales" : "",
                    r.byScales ? "" : "sizes"},
                   {"y"},
                   {{"mode", mode},
                    {"coordinate_transformation_mode",
                     std::string(r.nearest ? "asymmetric" : "half_pixel")},
                    {"nearest_mode", std::string("floor")}});
            m.output("y");
            EXPECT_CLOSE(r.name, run(m, {x}).at(0), expected);
        }
    }

    void concat()
    {
        // Parts of 5x3: graph inputs, convolutions of x, or one convolution twice.
        enum Parts { inputs, convolutions, twice };
        const struct
        {
            const char* name;
            Ints channels;
            Parts parts;
            int axis;
        } rows[] = {
            {"inputs 3+5+1", {3, 5, 1}, inputs, 1},
            {"convolutions 16+8+3", {16, 8, 3}, convolutions, 1},
            {"convolutions 16+32", {16, 32}, convolutions, 1},
            {"one part twice", {16, 16}, twice, 1},
            {"rows, -2", {3, 3}, inputs, -2},
        };
        for (const auto& r : rows) {
            OnnxModel m("x", {1, 4, 5, 3});
            const cv::Mat x = Blobs::random({1, 4, 5, 3}, 5);
            std::vector<cv::Mat> given{x}, values;
            std::vector<std::string> names;
            for (size_t i = 0; i < r.channels.size(); ++i) {
                names.push_back("p" + std::to_string(i));
                if (r.parts == inputs) {
                    values.push_back(Blobs::random({1, r.channels[i], 5, 3}, 10 + i));
                    m.input(names[i], {1, r.channels[i], 5, 3});
                    given.push_back(values.back());
                } else if (r.parts == twice && i > 0) {
                    values.push_back(values[0]);
                    names[i] = names[0];
                } else {
                    const cv::Mat w = Blobs::random({r.channels[i], 4, 1, 1}, 20 + i);
                    m.floats("w" + names[i], {r.channels[i], 4, 1, 1}, Blobs::values(w));
                    m.node("Conv", {"x", "w" + names[i]}, {names[i]});
                    values.push_back(convolve(x, w, {}, {}));
                }
            }
            // "x" is read by something in every form.
            m.node("Relu", {"x"}, {"unused"});
            m.output("unused");
            m.node("Concat", names, {"y"}, {{"axis", r.axis}});
            m.output("y");
            const int along = (r.axis + 4) % 4;
            Ints y = Blobs::dims(values[0]);
            y[size_t(along)] = 0;
            for (const cv::Mat& v : values)
                y[size_t(along)] += v.size[along];
            const cv::Mat expected = made(y, [&](int c, int i, int j) {
                size_t k = 0;
                for (int& pos = along == 1 ? c : i; pos >= values[k].size[along]; ++k)
                    pos -= values[k].size[along];
                return at(values[k], 0, c, i, j);
            });
            // The inputs in the graph's order: "x", then any parts.
            EXPECT_CLOSE(r.name, run(m, given).at(1), expected);
        }
    }

    void split()
    {
        // Parts as an attribute up to opset 11, as an input from 13; none
        // given: three equal parts.
        const struct
        {
            const char* name;
            int channels;
            Dims parts;
            int axis, opset;
            bool blocked;
        } rows[] = {
            {"3+5, attribute", 8, {3, 5}, 1, 11, false},
            {"5+11 within a block", 16, {5, 11}, 1, 13, true},
            {"16+16 at the block's edge", 32, {16, 16}, 1, 13, true},
            {"equal thirds", 12, {}, 1, 13, true},
            {"rows 2+4", 3, {2, 4}, 2, 13, false},
        };
        for (const auto& r : rows) {
            const cv::Mat x = Blobs::random({1, r.channels, 6, 5}, 6);
            OnnxModel m("x", {1, r.channels, 6, 5}, r.opset);
            std::vector<std::string> inputs{source(m, r.blocked, r.channels)}, names;
            if (r.opset >= 13 && !r.parts.empty()) {
                m.ints("split", r.parts);
                inputs.push_back("split");
            }
            Dims parts = r.parts.empty() ? Dims(3, x.size[r.axis] / 3) : r.parts;
            for (size_t i = 0; i < parts.size(); ++i) {
                names.push_back("y" + std::to_string(i));
                m.output(names.back());
            }
            onnx::NodeProto& s = m.node("Split", inputs, names, {{"axis", r.axis}});
            if (r.opset < 13)
                *s.add_attribute() = OnnxModel::Attr("split", parts).proto;
            const std::vector<cv::Mat> y = run(m, {x});
            QCOMPARE(y.size(), parts.size());
            int offset = 0;
            for (size_t i = 0; i < parts.size(); offset += int(parts[i++])) {
                Ints d = Blobs::dims(x);
                d[size_t(r.axis)] = int(parts[i]);
                const bool alongRows = r.axis == 2;
                EXPECT_CLOSE(r.name, y[i], made(d, [&](int c, int yy, int xx) {
                                 return at(x, 0, c + !alongRows * offset, yy + alongRows * offset,
                                           xx);
                             }));
            }
        }
    }

    void reshapeOfTheBlockedLayout()
    {
        // The values in their plain order, whatever the layout before.
        const cv::Mat x = Blobs::random({1, 6, 4, 4}, 7);
        for (const auto& [shape, result] : {std::pair<Dims, Ints>{{1, -1}, {1, 96}},
                                            {{0, 3, 2, 16}, {1, 3, 2, 16}},
                                            {{1, 96, 1, 1}, {1, 96, 1, 1}}}) {
            OnnxModel m("x", {1, 6, 4, 4});
            m.ints("shape", shape);
            m.node("Reshape", {source(m, true, 6), "shape"}, {"y"});
            m.output("y");
            const cv::Mat y = run(m, {x}).at(0);
            QCOMPARE(Blobs::dims(y), result);
            QCOMPARE(Blobs::values(y), Blobs::values(x));
        }
    }

    void arithmetic()
    {
        // The second operand: a number (or the first), a channel's values,
        // a whole constant tensor, or an input. Sub takes a number only.
        const cv::Mat x = Blobs::random({1, 5, 3, 7}, 8), z = Blobs::random({1, 5, 3, 7}, 9);
        const float channel[] = {0.5f, -1.f, 2.f, 0.25f, 3.f};
        for (const std::string op : {"Add", "Sub", "Mul"})
            for (const std::string operand :
                 {"number", "number first", "input", "channel", "tensor"})
                for (bool blocked : {false, true}) {
                    if (op == "Sub" && (operand == "channel" || operand == "tensor"))
                        continue;
                    OnnxModel m("x", {1, 5, 3, 7});
                    std::vector<cv::Mat> inputs{x};
                    std::vector<std::string> operands{source(m, blocked, 5), "k"};
                    cv::Mat other = z; // the second operand, broadcast
                    if (operand.rfind("number", 0) == 0) {
                        m.floats("k", {}, {1.5f});
                        other = made(Blobs::dims(x), [](int, int, int) { return 1.5f; });
                    } else if (operand == "channel") {
                        m.floats("k", {5, 1, 1}, std::vector<float>(channel, channel + 5));
                        other = made(Blobs::dims(x), [&](int c, int, int) { return channel[c]; });
                    } else if (operand == "tensor") {
                        m.floats("k", {1, 5, 3, 7}, Blobs::values(z));
                    } else {
                        m.input("k", {1, 5, 3, 7});
                        inputs.push_back(z);
                    }
                    const bool swapped = operand == "number first";
                    if (swapped)
                        std::swap(operands[0], operands[1]);
                    m.node(op, operands, {"y"});
                    m.output("y");
                    const cv::Mat expected = made(Blobs::dims(x), [&](int c, int i, int j) {
                        float l = at(x, 0, c, i, j), r = at(other, 0, c, i, j);
                        if (swapped)
                            std::swap(l, r);
                        return op == "Add" ? l + r : op == "Sub" ? l - r : l * r;
                    });
                    const std::string name = op + " " + operand + (blocked ? ", blocked" : "");
                    EXPECT_CLOSE(QString::fromStdString(name), run(m, inputs).at(0), expected);
                }
    }

    void activation()
    {
        // Clip's bounds in low and high; LeakyRelu's alpha in low. Clip takes
        // its bounds as attributes up to opset 6, as inputs from 11.
        const struct
        {
            const char* name;
            std::vector<std::string> ops;
            int opset;
            float low, high;
        } rows[] = {
            {"Relu", {"Relu"}, 13, 0, 0},
            {"LeakyRelu 0.2", {"LeakyRelu"}, 13, 0.2f, 0},
            {"Sigmoid", {"Sigmoid"}, 13, 0, 0},
            {"Relu then Sigmoid", {"Relu", "Sigmoid"}, 13, 0, 0},
            {"Clip by attributes", {"Clip"}, 6, -0.25f, 0.5f},
            {"Clip by inputs", {"Clip"}, 13, -0.5f, 0.25f},
            {"Clip above only", {"Clip"}, 13, -INFINITY, 0.3f},
        };
        const cv::Mat x = Blobs::random({1, 3, 5, 7}, 10) * 4;
        for (const auto& r : rows)
            for (bool blocked : {false, true}) {
                OnnxModel m("x", {1, 3, 5, 7}, r.opset);
                std::string from = source(m, blocked, 3);
                m.floats("low", {}, {r.low});
                m.floats("high", {}, {r.high});
                for (size_t i = 0; i < r.ops.size(); ++i) {
                    const std::string to = i + 1 < r.ops.size() ? "a" + std::to_string(i) : "y";
                    if (r.ops[i] == "Clip" && r.opset >= 11)
                        m.node("Clip", {from, std::isfinite(r.low) ? "low" : "", "high"}, {to});
                    else
                        m.node(r.ops[i], {from}, {to},
                               r.ops[i] == "Clip"        ? Attrs{{"min", r.low}, {"max", r.high}}
                               : r.ops[i] == "LeakyRelu" ? Attrs{{"alpha", r.low}}
                                                         : Attrs{});
                    from = to;
                }
                m.output("y");
                const cv::Mat expected = made(Blobs::dims(x), [&](int c, int i, int j) {
                    float v = at(x, 0, c, i, j);
                    for (const std::string& op : r.ops)
                        v = op == "Relu"        ? std::max(v, 0.f)
                            : op == "LeakyRelu" ? (v < 0 ? v * r.low : v)
                            : op == "Clip"      ? std::clamp(v, r.low, r.high)
                                                : 1.f / (1.f + std::exp(-v));
                    return v;
                });
                EXPECT_CLOSE(r.name + QString(blocked ? ", blocked" : ""), run(m, {x}).at(0),
                             expected);
            }
    }
};

QTEST_GUILESS_MAIN(TestOperators)
#include "tst_operators.moc"
