#include "BrokenModels.h"

#include "OnnxModel.h"

#include <functional>

namespace {

using Attrs = std::vector<OnnxModel::Attr>;
using Edit = std::function<void(OnnxModel&, onnx::NodeProto&)>;

const OnnxModel::Attr pool2x2("kernel_shape", Dims{2, 2});

// x [1,3,8,8] through a Conv of `weights` to y, or a MaxPool where there
// are none, of `attributes`; then `edit`.
std::string oneNode(const Attrs& attributes, const Dims& weights = {4, 3, 3, 3},
                    const Edit& edit = {})
{
    OnnxModel m("x", {1, 3, 8, 8});
    // As many values as the dimensions' product says, wrapping as int64
    // arithmetic does on overflow.
    uint64_t n = 1;
    for (int64_t d : weights)
        n *= uint64_t(d);
    if (!weights.empty())
        m.floats("w", weights, std::vector<float>(size_t(n), 0.1f));
    onnx::NodeProto& node =
        m.node(weights.empty() ? "MaxPool" : "Conv", {"x", "w"}, {"y"}, attributes);
    if (weights.empty())
        node.mutable_input()->RemoveLast();
    if (edit)
        edit(m, node);
    m.output("y", {1, 4, 8, 8});
    return m.bytes();
}

// x [1,1,8,8] resized to `sizes`, or by `scales` where there are none.
std::string resize(const Dims& sizes, const std::vector<float>& scales = {})
{
    OnnxModel m("x", {1, 1, 8, 8});
    if (sizes.empty())
        m.floats("scales", {4}, scales);
    else
        m.ints("sizes", sizes);
    m.node("Resize", {"x", "", sizes.empty() ? "scales" : "", sizes.empty() ? "" : "sizes"}, {"y"});
    m.output("y", sizes);
    return m.bytes();
}

// x [1,4,2,2] through a node of `op`, then added to what that node gives.
std::string graph(const char* op, const std::vector<std::string>& inputs,
                  const std::vector<std::string>& outputs)
{
    OnnxModel m("x", {1, 4, 2, 2});
    m.node(op, inputs, outputs);
    m.node("Add", {"x", outputs.empty() ? "x" : outputs[0]}, {"y"});
    m.output("y", {1, 4, 2, 2});
    return m.bytes();
}

} // namespace

std::vector<BrokenModel> brokenModels()
{
    std::vector<BrokenModel> all;
    auto add = [&](const char* name, const char* reason, std::string bytes) {
        all.push_back({name, reason, std::move(bytes)});
    };
    // Attribute values, of Conv and MaxPool each.
    add("conv-strides-0", "stride", oneNode({{"strides", Dims{0, 0}}}));
    add("maxpool-strides-0", "stride", oneNode({pool2x2, {"strides", Dims{0, 0}}}, {}));
    add("maxpool-kernel-0", "kernel", oneNode({{"kernel_shape", Dims{0, 2}}}, {}));
    add("conv-kernel-shape-past-weights", "kernel", oneNode({{"kernel_shape", Dims{5, 3}}}));
    add("conv-dilations-0", "dilation", oneNode({{"dilations", Dims{0, 0}}}));
    add("conv-pads-short", "pad", oneNode({{"pads", Dims{1, 1}}}));
    add("maxpool-pads-short", "pad", oneNode({pool2x2, {"pads", Dims{0}}}, {}));
    add("conv-pads-negative", "pad", oneNode({{"pads", Dims{-4, -4, 1, 1}}}));
    add("conv-group-not-dividing", "group", oneNode({{"group", 2}}, {4, 1, 3, 3}));
    // Unsqueeze folded at load, of axes named twice and out of range.
    for (const Dims& axes : {Dims{1, 1}, Dims{1000}}) {
        OnnxModel m("x", {1, 1, 1, 1}, 11);
        m.constant("k", {1}, {1.f});
        m.node("Unsqueeze", {"k"}, {"u"}, {{"axes", axes}});
        m.ints("shape", {1, 1, 1, 1});
        m.node("Reshape", {"u", "shape"}, {"k4"});
        m.node("Add", {"x", "k4"}, {"y"});
        m.output("y", {1, 1, 1, 1});
        add(axes.size() == 2 ? "unsqueeze-axes-twice" : "unsqueeze-axes-out-of-range", "axes|axis",
            m.bytes());
    }

    // Node arity and order.
    add("split-without-outputs", "output", graph("Split", {"x"}, {}));
    add("add-of-one-input", "input", graph("Add", {"x"}, {"a"}));
    add("concat-of-nothing", "input", graph("Concat", {}, {"a"}));
    add("conv-without-weights", "input",
        oneNode({}, {4, 3, 3, 3},
                [](OnnxModel&, onnx::NodeProto& c) { c.mutable_input()->RemoveLast(); }));
    add("cycle", "cycle|input", graph("Relu", {"y"}, {"a"})); // y = x + relu(y)
    add("two-nodes-write-one-tensor", "twice|duplicate", graph("Sigmoid", {"x"}, {"y"}));

    // Tensor types and sizes.
    add("weight-dimension-0", "dimension", oneNode({}, {4, 3, 0, 3}));
    add("weight-dimension-negative", "dimension", oneNode({}, {4, 3, -3, -3}));
    add("weight-dimensions-overflow", "overflow|memory",
        oneNode({}, {int64_t(1) << 31, 3, int64_t(1) << 33, 1}));
    add("weight-1d", "weight|rank", oneNode({}, {108}));
    add("weight-external-data", "external",
        oneNode({}, {4, 3, 3, 3}, [](OnnxModel& m, onnx::NodeProto&) {
            onnx::TensorProto& w = *m.proto().mutable_graph()->mutable_initializer(0);
            w.clear_float_data();
            w.set_data_location(onnx::TensorProto::EXTERNAL);
            onnx::StringStringEntryProto* where = w.add_external_data();
            where->set_key("location");
            where->set_value("weights.bin");
        }));
    add("weight-fewer-bytes", "bytes|values",
        oneNode({}, {4, 3, 3, 3}, [](OnnxModel& m, onnx::NodeProto&) {
            m.proto().mutable_graph()->mutable_initializer()->Clear();
            m.floats("w", {4, 3, 3, 3}, std::vector<float>(100, 0.1f), true);
        }));
    add("bias-one-value-for-4-channels", "bias",
        oneNode({}, {4, 3, 3, 3}, [](OnnxModel& m, onnx::NodeProto& c) {
            m.floats("b", {1}, {0.5f});
            c.add_input("b");
        }));
    {
        OnnxModel m("x", {1, 3, 4, 4});
        m.floats("k", {3, 1, 1}, {1, 2, 3}).set_data_type(onnx::TensorProto::DOUBLE);
        m.node("Add", {"x", "k"}, {"y"});
        m.output("y", {1, 3, 4, 4});
        add("add-double-constant", "type|float", m.bytes());
    }
    {
        OnnxModel m("x", {1, 3, 0, 4});
        m.node("Relu", {"x"}, {"y"});
        m.output("y", {1, 3, 0, 4});
        add("input-dimension-0", "dimension|shape", m.bytes());
    }

    // Shape arithmetic.
    add("resize-to-0", "dimension|size", resize({1, 1, 0, 0}));
    add("resize-sizes-overflow", "overflow|memory",
        resize({1, 1, int64_t(1) << 32, int64_t(1) << 32}));
    add("resize-scales-0", "dimension|size|scale", resize({}, {1.f, 1.f, 0.f, 0.f}));
    add("conv-kernel-larger-than-image", "size|dimension|kernel", oneNode({}, {4, 3, 9, 9}));
    {
        OnnxModel m("x", {1, 3, 8, 8});
        m.ints("parts", {0, 3});
        m.node("Split", {"x", "parts"}, {"a", "b"}, {{"axis", 1}});
        m.floats("w", {4, 0, 3, 3}, {});
        m.node("Conv", {"a", "w"}, {"y"}, {{"group", 0}});
        m.output("y", {1, 4, 6, 6});
        m.output("b", {1, 3, 8, 8});
        add("split-empty-part-then-group-0", "dimension|group|part", m.bytes());
    }
    {
        OnnxModel m("x", {1, 3, 4, 4});
        m.input("z", {1, 3, 5, 5});
        m.node("Concat", {"x", "z"}, {"y"}, {{"axis", 1}});
        m.output("y", {1, 6, 4, 4});
        add("concat-of-different-sizes", "shape|dimension|size", m.bytes());
    }
    {
        // The shape [1, 3, 4, 4, INT64_MAX], folded at load.
        OnnxModel m("x", {1, 3, 4, 4});
        m.ints("start", {0});
        m.ints("end", {int64_t(1) << 62});
        m.ints("more", {INT64_MAX});
        m.node("Shape", {"x"}, {"s"});
        m.node("Slice", {"s", "start", "end"}, {"all"});
        m.node("Concat", {"all", "more"}, {"sizes"}, {{"axis", 0}});
        m.node("Reshape", {"x", "sizes"}, {"y"});
        m.output("y", {1, 48});
        add("reshape-to-computed-huge-size", "overflow|reshape|dimension", m.bytes());
    }

    // File structure.
    add("not-a-model", "model|onnx", "not a model, but a line of text\n");
    OnnxModel empty("x", {1, 3, 8, 8});
    empty.output("x", {1, 3, 8, 8});
    add("graph-without-nodes", "node|network", empty.bytes());
    return all;
}
