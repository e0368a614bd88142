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

// Where `m` differs from `expected`: in shape, or by more than 1e-4 of the
// largest expected value (or of 1).
QString difference(const cv::Mat& m, const cv::Mat& expected)
{
    if (Blobs::dims(m) != Blobs::dims(expected))
        return QStringLiteral("%1 values, expected %2").arg(m.total()).arg(expected.total());
    const double off = cv::norm(m, expected, cv::NORM_INF);
    return off <= 1e-4 * std::max(1.0, cv::norm(expected, cv::NORM_INF))
               ? QString()
               : QStringLiteral("off by up to %1").arg(off);
}

#define EXPECT_CLOSE(row, ours, expected)                                                          \
    do {                                                                                           \
        const QString why = difference(ours, expected);                                            \
        QVERIFY2(why.isEmpty(), qPrintable(QString(row) + QStringLiteral(": ") + why));            \
    } while (false)

// A convolution to `outputs` channels, with a bias, or where `outputs` is 0
// a max pooling.
struct Windowed
{
    const char* name;
    Ints input, kernel; // C, H, W; kH, kW
    int outputs = 0, group = 1;
    Ints stride{1, 1}, pads{0, 0, 0, 0}; // pads: top, left, bottom, right
    int ceil = 0, blocked = 0;
    Ints dilation{1, 1};
};

// Convolution by `w` and `b`, or max pooling where `w` is empty, as ONNX
// has them: each output the sum (or the largest) of its window's taps that
// fall in the image.
cv::Mat windowed(const cv::Mat& x, const cv::Mat& w, const std::vector<float>& b, const Windowed& s)
{
    const bool conv = !w.empty();
    const int outputs = conv ? w.size[0] : x.size[1], group = conv ? s.group : x.size[1];
    const int per = x.size[1] / group;
    Ints y{1, outputs, 0, 0};
    for (int d = 0; d < 2; ++d) {
        const int room =
            x.size[2 + d] + s.pads[d] + s.pads[d + 2] - (s.kernel[d] - 1) * s.dilation[d] - 1;
        const int step = s.stride[d];
        y[2 + d] = (s.ceil ? (room + step - 1) / step : room / step) + 1;
        // With ceil_mode, a last window that would start in the trailing
        // padding is not taken.
        if (s.ceil && (y[2 + d] - 1) * step >= x.size[2 + d] + s.pads[d])
            --y[2 + d];
    }
    return made(y, [&](int o, int i, int j) {
        const int first = o / (outputs / group) * per;
        double sum = b.empty() ? 0.0 : b[size_t(o)], most = -INFINITY;
        for (int c = first; c < first + per; ++c)
            for (int u = 0; u < s.kernel[0]; ++u)
                for (int v = 0; v < s.kernel[1]; ++v) {
                    const int yy = i * s.stride[0] - s.pads[0] + u * s.dilation[0];
                    const int xx = j * s.stride[1] - s.pads[1] + v * s.dilation[1];
                    if (yy < 0 || yy >= x.size[2] || xx < 0 || xx >= x.size[3])
                        continue;
                    const double value = at(x, 0, c, yy, xx);
                    sum += conv ? at(w, o, c - first, u, v) * value : 0.0;
                    most = std::max(most, value);
                }
        return conv ? sum : most;
    });
}

} // namespace

class TestOperators final : public QObject
{
    Q_OBJECT

private slots:
    void convolutionAndMaxPool()
    {
        const Windowed rows[] = {
            {"conv stride 3x2, pads", {4, 10, 7}, {2, 3}, 5, 1, {3, 2}, {1, 0, 0, 2}},
            {"conv 2 groups, blocked", {4, 8, 8}, {3, 3}, 6, 2, {1, 1}, {1, 1, 1, 1}, 0, 1},
            {"depthwise, stride 2", {16, 9, 9}, {3, 3}, 16, 16, {2, 2}, {1, 1, 1, 1}},
            {"depthwise, 2 a channel", {8, 6, 7}, {3, 3}, 16, 8, {1, 1}, {0, 0, 1, 1}},
            {"conv dilation 3x1", {3, 13, 9}, {3, 3}, 4, 1, {2, 2}, {0, 1, 3, 0}, 0, 0, {3, 1}},
            {"conv 1x1, 32 to 17", {32, 5, 5}, {1, 1}, 17},
            {"conv kernel past the image", {2, 2, 3}, {5, 5}, 3, 1, {1, 1}, {2, 2, 2, 2}},
            // Where oneDNN may take Winograd's transform.
            {"conv 3x3, 64 to 64", {64, 66, 66}, {3, 3}, 64, 1, {1, 1}, {1, 1, 1, 1}},
            {"max 3x3 stride 2, blocked", {16, 9, 9}, {3, 3}, 0, 1, {2, 2}, {1, 1, 1, 1}, 0, 1},
            // Rows: a last window that would start in the padding; columns:
            // one partly past the image.
            {"max ceil, 2x2 stride 2", {2, 8, 9}, {2, 2}, 0, 1, {2, 2}, {0, 0, 1, 0}, 1},
            {"max ceil 3x2/3x1, blocked", {8, 11, 6}, {3, 2}, 0, 1, {3, 1}, {0, 1, 1, 0}, 1, 1},
            {"max over the whole image", {4, 5, 3}, {5, 3}},
        };
        for (const Windowed& r : rows) {
            const cv::Mat x = Blobs::random({1, r.input[0], r.input[1], r.input[2]}, 1);
            OnnxModel m("x", dimsOf(Blobs::dims(x)));
            std::vector<std::string> inputs{source(m, r.blocked, r.input[0])};
            Attrs attributes{{"kernel_shape", dimsOf(r.kernel)},
                             {"strides", dimsOf(r.stride)},
                             {"pads", dimsOf(r.pads)}};
            cv::Mat w;
            std::vector<float> b;
            if (r.outputs > 0) {
                w = Blobs::random({r.outputs, r.input[0] / r.group, r.kernel[0], r.kernel[1]}, 2);
                w *= 0.3;
                b = Blobs::values(Blobs::random({r.outputs}, 3));
                m.floats("w", dimsOf(Blobs::dims(w)), Blobs::values(w), true);
                m.floats("b", {r.outputs}, b);
                inputs.insert(inputs.end(), {"w", "b"});
                attributes.insert(attributes.end(),
                                  {{"group", r.group}, {"dilations", dimsOf(r.dilation)}});
            } else {
                attributes.push_back({"ceil_mode", int(r.ceil)});
            }
            m.node(r.outputs > 0 ? "Conv" : "MaxPool", inputs, {"y"}, attributes);
            m.output("y");
            EXPECT_CLOSE(r.name, run(m, {x}).at(0), windowed(x, w, b, r));
        }
    }

    void resize()
    {
        const struct
        {
            const char* name;
            Ints input, size;
            bool nearest, byScales, blocked;
        } rows[] = {
            {"linear to odd sizes", {2, 5, 7}, {9, 13}, false, false, false},
            {"linear down", {2, 8, 6}, {4, 3}, false, false, false},
            {"linear 2x, scales", {16, 5, 6}, {10, 12}, false, true, true},
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
            m.node("Resize",
                   {source(m, r.blocked, c), "", r.byScales ? "scales" : "",
                    r.byScales ? "" : "sizes"},
                   {"y"},
                   {{"mode", std::string(r.nearest ? "nearest" : "linear")},
                    {"coordinate_transformation_mode",
                     std::string(r.nearest ? "asymmetric" : "half_pixel")},
                    {"nearest_mode", std::string("floor")}});
            m.output("y");
            EXPECT_CLOSE(r.name, run(m, {x}).at(0), expected);
        }
    }

    void concat()
    {
        // Parts of 5x3: graph inputs or convolutions of x; 0 channels: the
        // first part again.
        const struct
        {
            const char* name;
            Ints channels;
            bool inputs;
            int axis;
        } rows[] = {
            {"inputs 3+5+1", {3, 5, 1}, true, 1},
            {"convolutions 16+8+3", {16, 8, 3}, false, 1},
            {"convolutions 16+32", {16, 32}, false, 1},
            {"one part twice", {16, 0}, false, 1},
            {"rows, -2", {3, 3}, true, -2},
        };
        for (const auto& r : rows) {
            OnnxModel m("x", {1, 4, 5, 3});
            const cv::Mat x = Blobs::random({1, 4, 5, 3}, 5);
            std::vector<cv::Mat> given{x}, values;
            std::vector<std::string> names;
            for (int i = 0; i < int(r.channels.size()); ++i) {
                const int c = r.channels[size_t(i)];
                names.push_back(c ? "p" + std::to_string(i) : names[0]);
                if (c == 0) {
                    values.push_back(values[0]);
                } else if (r.inputs) {
                    values.push_back(Blobs::random({1, c, 5, 3}, 10 + i));
                    m.input(names.back(), {1, c, 5, 3});
                    given.push_back(values.back());
                } else {
                    const cv::Mat w = Blobs::random({c, 4, 1, 1}, 20 + i);
                    m.floats("w" + names.back(), {c, 4, 1, 1}, Blobs::values(w));
                    m.node("Conv", {"x", "w" + names.back()}, {names.back()});
                    values.push_back(windowed(x, w, {}, {"", {}, {1, 1}}));
                }
            }
            // "x" is read by something in every form.
            m.node("Relu", {"x"}, {"unused"});
            m.output("unused");
            m.node("Concat", names, {"y"}, {{"axis", r.axis}});
            m.output("y");
            // Each part as rows of what lies past the axis, side by side.
            const int along = (r.axis + 4) % 4;
            Ints y = Blobs::dims(values[0]);
            y[size_t(along)] = 0;
            std::vector<cv::Mat> flat;
            for (const cv::Mat& v : values) {
                y[size_t(along)] += v.size[along];
                flat.push_back(v.reshape(1, along == 1 ? 1 : v.size[1]));
            }
            cv::Mat joined;
            cv::hconcat(flat, joined);
            // The inputs in the graph's order: "x", then any parts.
            EXPECT_CLOSE(r.name, run(m, given).at(1), joined.reshape(1, 4, y.data()));
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
            const Dims parts = r.parts.empty() ? Dims(3, x.size[r.axis] / 3) : r.parts;
            for (size_t i = 0; i < parts.size(); ++i) {
                names.push_back("y" + std::to_string(i));
                m.output(names.back());
            }
            onnx::NodeProto& s = m.node("Split", inputs, names, {{"axis", r.axis}});
            if (r.opset < 13)
                *s.add_attribute() = OnnxModel::Attr("split", parts).proto;
            const std::vector<cv::Mat> y = run(m, {x});
            QCOMPARE(y.size(), parts.size());
            std::vector<cv::Range> ranges(4, cv::Range::all());
            for (size_t i = 0; i < parts.size(); ++i) {
                ranges[size_t(r.axis)].start = i == 0 ? 0 : ranges[size_t(r.axis)].end;
                ranges[size_t(r.axis)].end = ranges[size_t(r.axis)].start + int(parts[i]);
                EXPECT_CLOSE(r.name, y[i], x(ranges).clone());
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
        const std::vector<float> channel{0.5f, -1.f, 2.f, 0.25f, 3.f};
        for (const std::string op : {"Add", "Sub", "Mul"})
            for (const std::string operand :
                 {"number", "number first", "input", "channel", "tensor"})
                for (bool blocked : {false, true}) {
                    if (op == "Sub" && (operand == "channel" || operand == "tensor"))
                        continue;
                    OnnxModel m("x", {1, 5, 3, 7});
                    std::vector<cv::Mat> inputs{x};
                    std::vector<std::string> operands{source(m, blocked, 5), "k"};
                    cv::Mat a = x, b = z; // the operands, broadcast
                    if (operand == "input") {
                        m.input("k", {1, 5, 3, 7});
                        inputs.push_back(z);
                    } else if (operand == "tensor") {
                        m.floats("k", {1, 5, 3, 7}, Blobs::values(z));
                    } else if (operand == "channel") {
                        m.floats("k", {5, 1, 1}, channel);
                        b = made(Blobs::dims(x), [&](int c, int, int) { return channel[c]; });
                    } else {
                        m.floats("k", {}, {1.5f});
                        b = made(Blobs::dims(x), [](int, int, int) { return 1.5f; });
                    }
                    if (operand == "number first") {
                        std::swap(operands[0], operands[1]);
                        std::swap(a, b);
                    }
                    m.node(op, operands, {"y"});
                    m.output("y");
                    const cv::Mat expected = op == "Add" ? a + b : op == "Sub" ? a - b : a.mul(b);
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
            {"LeakyRelu 0.2", {"LeakyRelu"}, 13, 0.2f, 0},
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
