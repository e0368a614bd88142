#include "BrokenModels.h"

#include "OnnxModel.h"

#include <functional>

namespace {

using Dims = std::vector<int64_t>;

std::vector<float> filled(size_t n, float value = 0.1f)
{
    return std::vector<float>(n, value);
}

// x [1,3,8,8] through a 3x3 Conv of 4 outputs to y, with `edit` applied to
// the Conv node before the model is written.
std::string conv(const std::function<void(OnnxModel&, onnx::NodeProto&)>& edit,
                 const Dims& weights = {4, 3, 3, 3})
{
    OnnxModel m("x", {1, 3, 8, 8});
    // As many values as the dimensions' product says, wrapping as int64
    // arithmetic does on overflow.
    uint64_t n = 1;
    for (int64_t d : weights)
        n *= uint64_t(d);
    m.floats("w", weights, filled(size_t(n)));
    auto& c = m.node("Conv", {"x", "w"}, {"y"});
    OnnxModel::attr(c, "kernel_shape", Dims{3, 3});
    edit(m, c);
    m.output("y", {1, 4, 8, 8});
    return m.bytes();
}

std::string maxPool(const std::function<void(onnx::NodeProto&)>& edit)
{
    OnnxModel m("x", {1, 3, 8, 8});
    auto& p = m.node("MaxPool", {"x"}, {"y"});
    OnnxModel::attr(p, "kernel_shape", Dims{2, 2});
    edit(p);
    m.output("y", {1, 3, 4, 4});
    return m.bytes();
}

// x [1,c,h,w] resized to each of `sizes` in turn, linear.
std::string resizes(const Dims& input, const std::vector<Dims>& sizes, bool convFirst)
{
    OnnxModel m("x", input);
    std::string from = "x";
    if (convFirst) {
        m.floats("w", {input[1], input[1], 1, 1}, filled(size_t(input[1] * input[1])));
        m.node("Conv", {"x", "w"}, {"c"});
        from = "c";
    }
    for (size_t i = 0; i < sizes.size(); ++i) {
        const std::string s = "s" + std::to_string(i), y = "r" + std::to_string(i);
        m.ints(s, sizes[i]);
        auto& r = m.node("Resize", {from, "", "", s}, {y});
        OnnxModel::attr(r, "mode", std::string("linear"));
        from = y;
    }
    m.output(from, sizes.back());
    return m.bytes();
}

// A constant folded at load through Unsqueeze with `axes`, then added to x.
std::string unsqueezed(const onnx::TensorProto& value, const Dims& axes)
{
    OnnxModel m("x", {1, 1, 1, 1}, 11);
    m.constant("k", value);
    auto& u = m.node("Unsqueeze", {"k"}, {"u"});
    OnnxModel::attr(u, "axes", axes);
    m.ints("shape", {1, 1, 1, 1});
    m.node("Reshape", {"u", "shape"}, {"k4"});
    m.node("Add", {"x", "k4"}, {"y"});
    m.output("y", {1, 1, 1, 1});
    return m.bytes();
}

} // namespace

std::vector<BrokenModel> brokenModels()
{
    std::vector<BrokenModel> all;
    auto add = [&](const char* kind, const char* name, const char* reason, std::string bytes) {
        all.push_back({kind, name, reason, std::move(bytes)});
    };
    const char* attributes = "attribute values";
    add(attributes, "conv-strides-0", "stride", conv([](OnnxModel&, onnx::NodeProto& c) {
            OnnxModel::attr(c, "strides", Dims{0, 0});
        }));
    add(attributes, "maxpool-strides-0", "stride", maxPool([](onnx::NodeProto& p) {
            OnnxModel::attr(p, "strides", Dims{0, 0});
        }));
    add(attributes, "maxpool-kernel-0", "kernel",
        maxPool([](onnx::NodeProto& p) { p.mutable_attribute(0)->set_ints(0, 0); }));
    add(attributes, "conv-dilations-0", "dilation", conv([](OnnxModel&, onnx::NodeProto& c) {
            OnnxModel::attr(c, "dilations", Dims{0, 0});
        }));
    add(attributes, "conv-pads-short", "pad", conv([](OnnxModel&, onnx::NodeProto& c) {
            OnnxModel::attr(c, "pads", Dims{1, 1});
        }));
    add(attributes, "conv-pads-negative", "pad", conv([](OnnxModel&, onnx::NodeProto& c) {
            OnnxModel::attr(c, "pads", Dims{-4, -4, 1, 1});
        }));
    add(attributes, "maxpool-pads-short", "pad",
        maxPool([](onnx::NodeProto& p) { OnnxModel::attr(p, "pads", Dims{0}); }));
    add(attributes, "conv-group-0", "group",
        conv([](OnnxModel&, onnx::NodeProto& c) { OnnxModel::attr(c, "group", int64_t(0)); }));
    add(attributes, "conv-group-not-dividing", "group",
        conv([](OnnxModel&, onnx::NodeProto& c) { OnnxModel::attr(c, "group", int64_t(2)); },
             {4, 1, 3, 3}));
    add(attributes, "conv-kernel-shape-past-weights", "kernel",
        conv([](OnnxModel&, onnx::NodeProto& c) { c.mutable_attribute(0)->set_ints(0, 5); }));
    {
        OnnxModel m("x", {1, 1, 1, 1}, 11);
        m.constant("k", OnnxModel::floatTensor({}, {1.f}));
        auto& u = m.node("Unsqueeze", {"k"}, {"u"});
        OnnxModel::attr(u, "axes", Dims{1, 1});
        m.node("Add", {"x", "u"}, {"y"});
        m.output("y", {1, 1, 1, 1});
        add(attributes, "unsqueeze-axes-twice", "axes", m.bytes());
    }
    add(attributes, "unsqueeze-axes-3-five-times", "axes",
        unsqueezed(OnnxModel::floatTensor({1}, {1.f}), Dims{3, 3, 3, 3, 3}));
    add(attributes, "unsqueeze-axes-out-of-range", "axes|axis",
        unsqueezed(OnnxModel::floatTensor({1}, {1.f}), Dims{1000}));

    const char* arity = "node arity";
    {
        OnnxModel m("x", {1, 4, 2, 2});
        auto& s = m.node("Split", {"x"}, {});
        OnnxModel::attr(s, "axis", int64_t(1));
        m.node("Relu", {"x"}, {"y"});
        m.output("y", {1, 4, 2, 2});
        add(arity, "split-without-outputs", "output", m.bytes());
    }
    {
        OnnxModel m("x", {1, 4, 2, 2});
        m.node("Relu", {"x"}, {});
        m.node("Sigmoid", {"x"}, {"y"});
        m.output("y", {1, 4, 2, 2});
        add(arity, "relu-without-outputs", "output", m.bytes());
    }
    add(arity, "conv-without-weights", "input",
        conv([](OnnxModel&, onnx::NodeProto& c) { c.mutable_input()->RemoveLast(); }));
    {
        OnnxModel m("x", {1, 4, 2, 2});
        m.node("Add", {"x"}, {"y"});
        m.output("y", {1, 4, 2, 2});
        add(arity, "add-of-one-input", "input", m.bytes());
    }
    {
        OnnxModel m("x", {1, 4, 2, 2});
        m.node("Concat", {}, {"y"});
        m.output("y", {1, 4, 2, 2});
        add(arity, "concat-of-nothing", "input", m.bytes());
    }
    {
        OnnxModel m("x", {1, 4, 2, 2});
        m.node("Relu", {"b"}, {"a"});
        m.node("Relu", {"a"}, {"b"});
        m.node("Add", {"x", "b"}, {"y"});
        m.output("y", {1, 4, 2, 2});
        add(arity, "cycle", "cycle|input", m.bytes());
    }
    {
        OnnxModel m("x", {1, 4, 2, 2});
        m.node("Relu", {"x"}, {"y"});
        m.node("Sigmoid", {"x"}, {"y"});
        m.output("y", {1, 4, 2, 2});
        add(arity, "two-nodes-write-one-tensor", "twice|duplicate", m.bytes());
    }
    {
        OnnxModel m("x", {1, 4, 2, 2});
        m.node("Relu", {"x"}, {"x"});
        m.output("x", {1, 4, 2, 2});
        add(arity, "node-overwrites-the-input", "twice|duplicate|input", m.bytes());
    }

    const char* tensors = "tensor types and sizes";
    add(tensors, "weight-dimension-0", "dimension",
        conv([](OnnxModel&, onnx::NodeProto&) {}, {4, 3, 0, 3}));
    add(tensors, "weight-dimension-negative", "dimension",
        conv([](OnnxModel&, onnx::NodeProto&) {}, {4, 3, -3, -3}));
    add(tensors, "weight-dimensions-overflow", "overflow|memory",
        conv([](OnnxModel&, onnx::NodeProto&) {}, {int64_t(1) << 31, 3, int64_t(1) << 33, 1}));
    add(tensors, "weight-1d", "weight|rank",
        conv([](OnnxModel&, onnx::NodeProto& c) { c.mutable_attribute()->Clear(); }, {108}));
    add(tensors, "weight-external-data", "external", conv([](OnnxModel& m, onnx::NodeProto&) {
            m.proto().mutable_graph()->mutable_initializer()->Clear();
            m.external("w", {4, 3, 3, 3}, "weights.bin");
        }));
    add(tensors, "weight-fewer-bytes", "bytes|values", conv([](OnnxModel& m, onnx::NodeProto&) {
            m.proto().mutable_graph()->mutable_initializer()->Clear();
            m.rawFloats("w", {4, 3, 3, 3}, filled(100));
        }));
    add(tensors, "bias-of-shape-0", "bias", conv([](OnnxModel& m, onnx::NodeProto& c) {
            m.floats("b", {0}, {});
            c.add_input("b");
        }));
    {
        OnnxModel m("x", {1, 3, 8, 8});
        m.floats("w", {64, 3, 3, 3}, filled(64 * 27));
        m.floats("b", {1}, {0.5f});
        auto& c = m.node("Conv", {"x", "w", "b"}, {"y"});
        OnnxModel::attr(c, "pads", Dims{1, 1, 1, 1});
        m.output("y", {1, 64, 8, 8});
        add(tensors, "bias-one-value-for-64-channels", "bias", m.bytes());
    }
    {
        OnnxModel m("x", {1, 3, 4, 4});
        onnx::TensorProto& t = m.floats("k", {3, 1, 1}, {1, 2, 3});
        t.set_data_type(onnx::TensorProto::DOUBLE);
        m.node("Add", {"x", "k"}, {"y"});
        m.output("y", {1, 3, 4, 4});
        add(tensors, "add-double-constant", "type|float", m.bytes());
    }
    {
        OnnxModel m("", {});
        m.input("x", {1, 3, 0, 4});
        m.node("Relu", {"x"}, {"y"});
        m.output("y", {1, 3, 0, 4});
        add(tensors, "input-dimension-0", "dimension|shape", m.bytes());
    }

    const char* shapes = "shape arithmetic";
    add(shapes, "resize-to-0-then-1024", "dimension|size",
        resizes({1, 1, 8, 8}, {{1, 1, 0, 0}, {1, 1, 1024, 1024}}, false));
    add(shapes, "resize-to-12000-then-1024", "memory",
        resizes({1, 8, 16, 16}, {{1, 8, 12000, 12000}, {1, 8, 1024, 1024}}, true));
    add(shapes, "resize-sizes-overflow", "overflow|memory",
        resizes({1, 1, 8, 8}, {{1, 1, int64_t(1) << 32, int64_t(1) << 32}}, false));
    {
        OnnxModel m("x", {1, 3, 8, 8});
        m.floats("scales", {4}, {1.f, 1.f, 0.f, 0.f});
        auto& r = m.node("Resize", {"x", "", "scales"}, {"y"});
        OnnxModel::attr(r, "mode", std::string("nearest"));
        m.output("y", {1, 3, 0, 0});
        add(shapes, "resize-scales-0", "dimension|size|scale", m.bytes());
    }
    {
        OnnxModel m("x", {1, 3, 8, 8});
        m.ints("parts", {0, 3});
        auto& s = m.node("Split", {"x", "parts"}, {"a", "b"});
        OnnxModel::attr(s, "axis", int64_t(1));
        m.floats("w", {4, 0, 3, 3}, {});
        auto& c = m.node("Conv", {"a", "w"}, {"y"});
        OnnxModel::attr(c, "group", int64_t(0));
        m.output("y", {1, 4, 6, 6});
        m.output("b", {1, 3, 8, 8});
        add(shapes, "split-empty-part-then-group-0", "dimension|group|part", m.bytes());
    }
    {
        OnnxModel m("x", {1, 3, 2, 2});
        m.floats("w", {4, 3, 5, 5}, filled(300));
        m.node("Conv", {"x", "w"}, {"y"});
        m.output("y", {1, 4, 1, 1});
        add(shapes, "conv-kernel-larger-than-image", "size|dimension|kernel", m.bytes());
    }
    {
        OnnxModel m("x", {1, 3, 4, 4});
        m.ints("shape", {int64_t(1) << 62, 4, 1, 1});
        m.node("Reshape", {"x", "shape"}, {"y"});
        m.output("y", {1, 48});
        add(shapes, "reshape-overflow", "overflow|reshape", m.bytes());
    }
    {
        OnnxModel m("x", {1, 3, 4, 4});
        m.ints("shape", {-1, -1});
        m.node("Reshape", {"x", "shape"}, {"y"});
        m.output("y", {1, 48});
        add(shapes, "reshape-two-unknowns", "reshape|-1", m.bytes());
    }
    {
        OnnxModel m("x", {1, 3, 4, 4});
        m.input("z", {1, 3, 5, 5});
        auto& c = m.node("Concat", {"x", "z"}, {"y"});
        OnnxModel::attr(c, "axis", int64_t(1));
        m.output("y", {1, 6, 4, 4});
        add(shapes, "concat-of-different-sizes", "shape|dimension|size", m.bytes());
    }
    {
        OnnxModel m("x", {1, 3, 4, 4});
        m.ints("start", {0});
        m.ints("end", {int64_t(1) << 62});
        m.node("Shape", {"x"}, {"s"});
        m.node("Slice", {"s", "start", "end"}, {"all"});
        m.ints("more", {INT64_MAX});
        auto& cat = m.node("Concat", {"all", "more"}, {"sizes"});
        OnnxModel::attr(cat, "axis", int64_t(0));
        m.node("Reshape", {"x", "sizes"}, {"y"});
        m.output("y", {1, 48});
        add(shapes, "reshape-to-computed-huge-size", "overflow|reshape|dimension", m.bytes());
    }

    const char* file = "file structure";
    add(file, "not-a-model", "model|onnx", "not a model, but a line of text\n");
    {
        OnnxModel m("x", {1, 3, 8, 8});
        m.floats("w", {4, 3, 1, 1}, filled(12));
        m.node("Conv", {"x", "w"}, {"y"});
        m.output("y", {1, 4, 8, 8});
        const std::string whole = m.bytes();
        add(file, "cut-short", "model|onnx", whole.substr(0, whole.size() - 20));
    }
    {
        OnnxModel m("x", {1, 3, 8, 8});
        m.output("x", {1, 3, 8, 8});
        add(file, "graph-without-nodes", "node|network", m.bytes());
    }
    {
        OnnxModel m("x", {1, 3, 8, 8});
        m.node("Relu", {"x"}, {"y"});
        add(file, "graph-without-outputs", "output|network", m.bytes());
    }
    return all;
}
