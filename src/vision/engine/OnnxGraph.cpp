#include "OnnxGraph.h"

#include <QFile>
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <google/protobuf/io/coded_stream.h>
#include <google/protobuf/io/zero_copy_stream_impl.h>
#include <google/protobuf/io/zero_copy_stream_impl_lite.h>
#include <numeric>
#include <onnx/onnx_pb.h>

namespace {

[[noreturn]] void refuse(const std::string& why)
{
    throw UnsupportedGraph(why);
}

OnnxConstant constantFrom(onnx::TensorProto& tensor)
{
    OnnxConstant c;
    c.dims.assign(tensor.dims().begin(), tensor.dims().end());
    const int64_t n = c.count();
    const std::string& raw = tensor.raw_data();
    switch (tensor.data_type()) {
    case onnx::TensorProto::FLOAT:
        if (!raw.empty()) {
            if (int64_t(raw.size()) != n * 4)
                refuse("tensor " + tensor.name() + " holds the wrong number of bytes");
            c.floats.resize(size_t(n));
            std::memcpy(c.floats.data(), raw.data(), raw.size());
        } else {
            c.floats.assign(tensor.float_data().begin(), tensor.float_data().end());
        }
        if (int64_t(c.floats.size()) != n)
            refuse("tensor " + tensor.name() + " holds the wrong number of values");
        break;
    case onnx::TensorProto::INT64:
    case onnx::TensorProto::INT32:
        c.isInt = true;
        if (!raw.empty()) {
            const bool wide = tensor.data_type() == onnx::TensorProto::INT64;
            const size_t size = wide ? 8 : 4;
            if (raw.size() != size_t(n) * size)
                refuse("tensor " + tensor.name() + " holds the wrong number of bytes");
            c.ints.resize(size_t(n));
            for (int64_t i = 0; i < n; ++i) {
                if (wide) {
                    std::memcpy(&c.ints[size_t(i)], raw.data() + i * 8, 8);
                } else {
                    int32_t v;
                    std::memcpy(&v, raw.data() + i * 4, 4);
                    c.ints[size_t(i)] = v;
                }
            }
        } else if (tensor.data_type() == onnx::TensorProto::INT64) {
            c.ints.assign(tensor.int64_data().begin(), tensor.int64_data().end());
        } else {
            c.ints.assign(tensor.int32_data().begin(), tensor.int32_data().end());
        }
        if (int64_t(c.ints.size()) != n)
            refuse("tensor " + tensor.name() + " holds the wrong number of values");
        break;
    default:
        refuse("tensor " + tensor.name() + " has a data type the engine does not read");
    }
    // The bytes are copied out: the message's own go now, not with the model.
    tensor.clear_raw_data();
    tensor.clear_float_data();
    return c;
}

OnnxConstant intVector(std::vector<int64_t> values)
{
    OnnxConstant c;
    c.dims = {int64_t(values.size())};
    c.ints = std::move(values);
    c.isInt = true;
    return c;
}

// Python-style index into a length-n axis, clamped.
int64_t clampedIndex(int64_t i, int64_t n)
{
    if (i < 0)
        i += n;
    return std::clamp<int64_t>(i, 0, n);
}

int64_t normalizedAxis(int64_t axis, size_t rank)
{
    const int64_t r = int64_t(rank);
    if (axis < -r || axis >= r)
        refuse("an axis out of range");
    return axis < 0 ? axis + r : axis;
}

std::vector<int64_t> broadcast(const std::vector<int64_t>& a, const std::vector<int64_t>& b)
{
    const size_t rank = std::max(a.size(), b.size());
    std::vector<int64_t> out(rank);
    for (size_t i = 0; i < rank; ++i) {
        const int64_t x = i < rank - a.size() ? 1 : a[i - (rank - a.size())];
        const int64_t y = i < rank - b.size() ? 1 : b[i - (rank - b.size())];
        if (x != y && x != 1 && y != 1)
            refuse("shapes that do not broadcast");
        out[i] = std::max(x, y);
    }
    return out;
}

void checkOpsets(const onnx::ModelProto& model)
{
    for (const auto& opset : model.opset_import()) {
        if (!opset.domain().empty() && opset.domain() != "ai.onnx")
            refuse("operators of the domain " + opset.domain());
    }
}

// A graph input the caller feeds: float, of a fixed shape.
OnnxGraph::Input inputFrom(const onnx::ValueInfoProto& value)
{
    const auto& type = value.type().tensor_type();
    if (type.elem_type() != onnx::TensorProto::FLOAT)
        refuse("input " + value.name() + " is not float");
    OnnxGraph::Input input{value.name(), {}};
    for (const auto& dim : type.shape().dim()) {
        if (!dim.has_dim_value() || dim.dim_value() <= 0)
            refuse("input " + value.name() + " has no fixed shape");
        input.dims.push_back(dim.dim_value());
    }
    return input;
}

void readAttribute(OnnxNode& node, onnx::AttributeProto& a)
{
    switch (a.type()) {
    case onnx::AttributeProto::INT:
        node.ints[a.name()] = a.i();
        break;
    case onnx::AttributeProto::FLOAT:
        node.floats[a.name()] = a.f();
        break;
    case onnx::AttributeProto::STRING:
        node.strings[a.name()] = a.s();
        break;
    case onnx::AttributeProto::INTS:
        node.intLists[a.name()].assign(a.ints().begin(), a.ints().end());
        break;
    case onnx::AttributeProto::TENSOR:
        node.tensors[a.name()] = constantFrom(*a.mutable_t());
        break;
    default:
        break; // not read by any operator the engine has
    }
}

OnnxNode nodeFrom(onnx::NodeProto& proto)
{
    if (!proto.domain().empty() && proto.domain() != "ai.onnx")
        refuse("operator " + proto.op_type() + " of the domain " + proto.domain());
    OnnxNode node;
    node.op = proto.op_type();
    node.name = proto.name();
    node.inputs.assign(proto.input().begin(), proto.input().end());
    node.outputs.assign(proto.output().begin(), proto.output().end());
    for (onnx::AttributeProto& a : *proto.mutable_attribute())
        readAttribute(node, a);
    return node;
}

// ----- folding at load ----------------------------------------------------------

using Constants = std::unordered_map<std::string, OnnxConstant>;

// The inputs of a node folded at load, all of them constants.
class FoldInputs final
{
public:
    FoldInputs(const OnnxNode& node, const Constants& constants)
        : m_node(node), m_constants(constants)
    {
    }

    const OnnxConstant& in(size_t i) const { return m_constants.at(m_node.input(i)); }

    std::vector<int64_t> ints(size_t i) const
    {
        const OnnxConstant& c = in(i);
        if (!c.isInt)
            refuse(m_node.op + " of float values at load");
        return c.ints;
    }

private:
    const OnnxNode& m_node;
    const Constants& m_constants;
};

OnnxConstant constantOf(const OnnxNode& node)
{
    OnnxConstant c;
    if (node.tensors.count("value"))
        c = node.tensors.at("value");
    else if (node.intLists.count("value_ints"))
        c = intVector(node.intLists.at("value_ints"));
    else if (node.ints.count("value_int")) {
        c = intVector({node.ints.at("value_int")});
        c.dims.clear(); // a scalar
    } else if (node.floats.count("value_float"))
        c.floats = {node.floats.at("value_float")};
    else
        refuse("a Constant of a kind the engine does not read");
    return c;
}

OnnxConstant shapeSlice(const OnnxNode& node, const std::vector<int64_t>& dims)
{
    const int64_t rank = int64_t(dims.size());
    const int64_t start = clampedIndex(node.intAttr("start", 0), rank);
    const int64_t end = clampedIndex(node.intAttr("end", rank), rank);
    return intVector(
        std::vector<int64_t>(dims.begin() + start, dims.begin() + std::max(start, end)));
}

// Identity, or Cast between floats and integers.
OnnxConstant cast(const OnnxNode& node, const FoldInputs& inputs)
{
    OnnxConstant out = inputs.in(0);
    if (node.op == "Cast") {
        const int64_t to = node.intAttr("to", 0);
        if ((to == onnx::TensorProto::INT64 || to == onnx::TensorProto::INT32) && !out.isInt) {
            for (float f : out.floats)
                out.ints.push_back(int64_t(f));
            out.floats.clear();
            out.isInt = true;
        } else if (to == onnx::TensorProto::FLOAT && out.isInt) {
            for (int64_t i : out.ints)
                out.floats.push_back(float(i));
            out.ints.clear();
            out.isInt = false;
        } else if (to != onnx::TensorProto::INT64 && to != onnx::TensorProto::INT32 &&
                   to != onnx::TensorProto::FLOAT) {
            refuse("a Cast to a type the engine does not have");
        }
    }
    return out;
}

OnnxConstant slice(const OnnxNode& node, const FoldInputs& inputs)
{
    const std::vector<int64_t> data = inputs.ints(0);
    if (inputs.in(0).dims.size() != 1)
        refuse("Slice of a constant of rank other than 1");
    const int64_t n = int64_t(data.size());
    const int64_t step = node.input(4).empty() ? 1 : inputs.ints(4).at(0);
    if (step != 1)
        refuse("Slice with a step at load");
    const int64_t start = clampedIndex(inputs.ints(1).at(0), n);
    const int64_t end = clampedIndex(std::min<int64_t>(inputs.ints(2).at(0), n), n);
    return intVector(
        std::vector<int64_t>(data.begin() + start, data.begin() + std::max(start, end)));
}

OnnxConstant concatenation(const OnnxNode& node, const FoldInputs& inputs)
{
    std::vector<int64_t> all;
    for (size_t i = 0; i < node.inputs.size(); ++i) {
        if (inputs.in(i).dims.size() > 1)
            refuse("Concat of constants of rank above 1");
        const std::vector<int64_t> part = inputs.ints(i);
        all.insert(all.end(), part.begin(), part.end());
    }
    return intVector(std::move(all));
}

OnnxConstant gathered(const FoldInputs& inputs)
{
    const std::vector<int64_t> data = inputs.ints(0);
    const OnnxConstant& index = inputs.in(1);
    std::vector<int64_t> picked;
    for (int64_t i : inputs.ints(1))
        picked.push_back(data.at(size_t(i < 0 ? i + int64_t(data.size()) : i)));
    OnnxConstant out = intVector(std::move(picked));
    out.dims = index.dims;
    return out;
}

// Unsqueeze, Squeeze: the values stay, the dimensions change.
OnnxConstant resqueezed(const OnnxNode& node, const FoldInputs& inputs)
{
    OnnxConstant out = inputs.in(0);
    std::vector<int64_t> axes = node.intsAttr("axes", {});
    if (!node.input(1).empty())
        axes = inputs.ints(1);
    if (node.op == "Unsqueeze") {
        const size_t rank = out.dims.size() + axes.size();
        for (int64_t& a : axes)
            a = normalizedAxis(a, rank);
        std::sort(axes.begin(), axes.end());
        for (int64_t a : axes)
            out.dims.insert(out.dims.begin() + a, 1);
    } else {
        std::vector<int64_t> kept;
        for (size_t d = 0; d < out.dims.size(); ++d) {
            const bool named =
                std::count(axes.begin(), axes.end(), int64_t(d)) ||
                std::count(axes.begin(), axes.end(), int64_t(d) - int64_t(out.dims.size()));
            if (!(out.dims[d] == 1 && (axes.empty() || named)))
                kept.push_back(out.dims[d]);
        }
        out.dims = kept;
    }
    return out;
}

// ----- shapes ---------------------------------------------------------------------

using Shape = std::vector<int64_t>;

Shape shapeOrConstant(const OnnxGraph& g, const std::string& name)
{
    return g.isConstant(name) ? g.constants.at(name).dims : g.shapeOf(name);
}

void checkSpatial(const OnnxNode& node, const Shape& x, const Shape& kernel)
{
    if (x.size() != 4 || kernel.size() != 2)
        refuse(node.op + " on other than a 2-D image");
    if (node.stringAttr("auto_pad", "NOTSET") != "NOTSET")
        refuse(node.op + " with auto_pad");
}

Shape convShape(const OnnxGraph& g, const OnnxNode& node, const Shape& x)
{
    if (!g.isConstant(node.input(1)))
        refuse("Conv with weights computed at run time");
    const std::vector<int64_t>& w = g.constants.at(node.input(1)).dims;
    const std::vector<int64_t> kernel = node.intsAttr("kernel_shape", {w.at(2), w.at(3)});
    checkSpatial(node, x, kernel);
    const std::vector<int64_t> pads = node.intsAttr("pads", {0, 0, 0, 0});
    const std::vector<int64_t> strides = node.intsAttr("strides", {1, 1});
    const std::vector<int64_t> dilations = node.intsAttr("dilations", {1, 1});
    const int64_t group = node.intAttr("group", 1);
    if (w.size() != 4 || x[1] != w[1] * group || w[0] % group)
        refuse("Conv weights that do not fit their input");
    std::vector<int64_t> y{x[0], w[0], 0, 0};
    for (int d = 0; d < 2; ++d) {
        const int64_t span = (kernel[d] - 1) * dilations[d] + 1;
        y[2 + d] = (x[2 + d] + pads[d] + pads[d + 2] - span) / strides[d] + 1;
    }
    return y;
}

Shape poolShape(const OnnxNode& node, const Shape& x)
{
    const std::vector<int64_t> kernel = node.intsAttr("kernel_shape", {});
    checkSpatial(node, x, kernel);
    if (node.intsAttr("dilations", {1, 1}) != std::vector<int64_t>{1, 1} ||
        node.intAttr("storage_order", 0) != 0 || node.outputs.size() > 1)
        refuse("MaxPool with dilations, indices or a storage order");
    const std::vector<int64_t> pads = node.intsAttr("pads", {0, 0, 0, 0});
    const std::vector<int64_t> strides = node.intsAttr("strides", {1, 1});
    const bool ceil = node.intAttr("ceil_mode", 0) != 0;
    std::vector<int64_t> y = x;
    for (int d = 0; d < 2; ++d) {
        const int64_t room = x[2 + d] + pads[d] + pads[d + 2] - kernel[d];
        int64_t n = (ceil ? (room + strides[d] - 1) / strides[d] : room / strides[d]) + 1;
        // A last window that would start in the padding past the end is dropped.
        if (ceil && (n - 1) * strides[d] >= x[2 + d] + pads[d])
            --n;
        y[2 + d] = n;
    }
    return y;
}

Shape concatShape(const OnnxGraph& g, const OnnxNode& node, const Shape& x)
{
    const int64_t axis = normalizedAxis(node.intAttr("axis", 1), x.size());
    std::vector<int64_t> y = x;
    y[size_t(axis)] = 0;
    for (const std::string& input : node.inputs) {
        const std::vector<int64_t> part = shapeOrConstant(g, input);
        if (part.size() != x.size())
            refuse("Concat of tensors of different ranks");
        y[size_t(axis)] += part[size_t(axis)];
    }
    return y;
}

Shape resizeShape(const OnnxGraph& g, const OnnxNode& node, const Shape& x)
{
    if (x.size() != 4)
        refuse("Resize of other than an image");
    std::vector<int64_t> y;
    const std::string& sizes = node.input(3);
    const std::string& scales = node.input(2);
    if (!sizes.empty() && g.isConstant(sizes) && g.constants.at(sizes).count() > 0) {
        y = g.constants.at(sizes).ints;
    } else if (!scales.empty() && g.isConstant(scales) && g.constants.at(scales).count() > 0) {
        for (size_t d = 0; d < x.size(); ++d)
            y.push_back(int64_t(std::floor(double(x[d]) * g.constants.at(scales).floats.at(d))));
    } else {
        refuse("Resize to a size not known at load");
    }
    if (y.size() != 4 || y[0] != x[0] || y[1] != x[1])
        refuse("Resize across batch or channels");
    return y;
}

// The shapes of a Split's outputs, in order.
std::vector<Shape> splitShapes(const OnnxGraph& g, const OnnxNode& node, const Shape& x)
{
    const int64_t axis = normalizedAxis(node.intAttr("axis", 0), x.size());
    std::vector<int64_t> parts = node.intsAttr("split", {});
    if (!node.input(1).empty()) {
        if (!g.isConstant(node.input(1)))
            refuse("Split into parts not known at load");
        parts = g.constants.at(node.input(1)).ints;
    }
    if (parts.empty())
        parts.assign(node.outputs.size(), x[size_t(axis)] / int64_t(node.outputs.size()));
    if (parts.size() != node.outputs.size() ||
        std::accumulate(parts.begin(), parts.end(), int64_t(0)) != x[size_t(axis)])
        refuse("Split into parts that do not add up");
    std::vector<Shape> shapes;
    for (size_t i = 0; i < parts.size(); ++i) {
        std::vector<int64_t> y = x;
        y[size_t(axis)] = parts[i];
        shapes.push_back(y);
    }
    return shapes;
}

Shape reshaped(const OnnxGraph& g, const OnnxNode& node, const Shape& x)
{
    if (!g.isConstant(node.input(1)))
        refuse("Reshape to a shape not known at load");
    std::vector<int64_t> y = g.constants.at(node.input(1)).ints;
    const int64_t total =
        std::accumulate(x.begin(), x.end(), int64_t(1), std::multiplies<int64_t>());
    int64_t known = 1, unknown = -1;
    for (size_t d = 0; d < y.size(); ++d) {
        if (y[d] == 0 && d < x.size())
            y[d] = x[d];
        if (y[d] == -1)
            unknown = int64_t(d);
        else
            known *= y[d];
    }
    if (unknown >= 0 && known > 0)
        y[size_t(unknown)] = total / known;
    if (std::accumulate(y.begin(), y.end(), int64_t(1), std::multiplies<int64_t>()) != total)
        refuse("Reshape that changes the number of values");
    return y;
}

} // namespace

int64_t OnnxConstant::count() const
{
    return std::accumulate(dims.begin(), dims.end(), int64_t(1), std::multiplies<int64_t>());
}

int64_t OnnxNode::intAttr(const std::string& key, int64_t fallback) const
{
    const auto it = ints.find(key);
    return it == ints.end() ? fallback : it->second;
}

float OnnxNode::floatAttr(const std::string& key, float fallback) const
{
    const auto it = floats.find(key);
    return it == floats.end() ? fallback : it->second;
}

std::string OnnxNode::stringAttr(const std::string& key, const std::string& fallback) const
{
    const auto it = strings.find(key);
    return it == strings.end() ? fallback : it->second;
}

std::vector<int64_t> OnnxNode::intsAttr(const std::string& key, std::vector<int64_t> fallback) const
{
    const auto it = intLists.find(key);
    return it == intLists.end() ? fallback : it->second;
}

const std::string& OnnxNode::input(size_t i) const
{
    static const std::string none;
    return i < inputs.size() ? inputs[i] : none;
}

const std::vector<std::string>& OnnxGraph::computeOps()
{
    static const std::vector<std::string> ops{"Conv",    "Relu",   "LeakyRelu", "Clip", "Sigmoid",
                                              "MaxPool", "Concat", "Resize",    "Add",  "Sub",
                                              "Mul",     "Split",  "Reshape"};
    return ops;
}

const std::vector<int64_t>& OnnxGraph::shapeOf(const std::string& name) const
{
    const auto it = shapes.find(name);
    if (it == shapes.end())
        refuse("no shape known for " + name);
    return it->second;
}

int OnnxGraph::readers(const std::string& name) const
{
    int n = 0;
    for (const OnnxNode& node : nodes)
        n += int(std::count(node.inputs.begin(), node.inputs.end(), name));
    return n;
}

bool OnnxGraph::isOutput(const std::string& name) const
{
    return std::find(outputs.begin(), outputs.end(), name) != outputs.end();
}

OnnxGraph OnnxGraph::read(const QString& path)
{
    // Read straight from the file: the model's weights are held once, by
    // the message, and leave it as they are converted.
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw std::runtime_error("cannot open " + path.toStdString());
    onnx::ModelProto model;
    {
        google::protobuf::io::FileInputStream input(file.handle());
        google::protobuf::io::CodedInputStream stream(&input);
        stream.SetTotalBytesLimit(INT_MAX);
        if (!model.ParseFromCodedStream(&stream) || !stream.ConsumedEntireMessage())
            throw std::runtime_error(path.toStdString() + " is not an ONNX model");
    }
    return fromModel(model);
}

OnnxGraph OnnxGraph::parse(const std::string& bytes)
{
    onnx::ModelProto model;
    google::protobuf::io::ArrayInputStream array(bytes.data(), int(bytes.size()));
    google::protobuf::io::CodedInputStream stream(&array);
    stream.SetTotalBytesLimit(INT_MAX);
    if (!model.ParseFromCodedStream(&stream) || !stream.ConsumedEntireMessage())
        throw std::runtime_error("not an ONNX model");
    return fromModel(model);
}

OnnxGraph OnnxGraph::fromModel(onnx::ModelProto& model)
{
    checkOpsets(model);
    onnx::GraphProto* graph = model.mutable_graph();
    if (graph->node_size() == 0 || graph->output_size() == 0 || graph->input_size() == 0)
        throw std::runtime_error("the file holds no network");
    OnnxGraph g;
    for (onnx::TensorProto& tensor : *graph->mutable_initializer())
        g.constants.emplace(tensor.name(), constantFrom(tensor));
    for (const onnx::ValueInfoProto& value : graph->input()) {
        if (g.isConstant(value.name()))
            continue;
        Input input = inputFrom(value);
        g.shapes[input.name] = input.dims;
        g.inputs.push_back(std::move(input));
    }
    for (const onnx::ValueInfoProto& value : graph->output())
        g.outputs.push_back(value.name());

    for (onnx::NodeProto& proto : *graph->mutable_node())
        g.add(nodeFrom(proto));
    for (const std::string& output : g.outputs) {
        if (g.isConstant(output) || !g.shapes.count(output))
            refuse("output " + output + " is not computed");
    }
    return g;
}

void OnnxGraph::add(OnnxNode node)
{
    if (fold(node))
        return;
    if (std::find(computeOps().begin(), computeOps().end(), node.op) == computeOps().end())
        refuse("operator " + node.op);
    for (const std::string& input : node.inputs) {
        if (!input.empty() && !isConstant(input) && !shapes.count(input))
            refuse("input " + input + " of " + node.name + " comes from nowhere");
    }
    inferShapes(node);
    nodes.push_back(std::move(node));
}

// Evaluates a node whose inputs are all known at load. Only what computes
// sizes is folded: small integer vectors, and scalars.
bool OnnxGraph::fold(const OnnxNode& node)
{
    const std::string& op = node.op;
    if (op == "Constant") {
        constants[node.outputs.at(0)] = constantOf(node);
        return true;
    }
    if (op == "Shape") {
        constants[node.outputs.at(0)] = shapeSlice(node, shapeOf(node.input(0)));
        return true;
    }
    const std::vector<std::string> folded{"Slice",   "Concat", "Gather",  "Unsqueeze",
                                          "Squeeze", "Cast",   "Identity"};
    if (std::find(folded.begin(), folded.end(), op) == folded.end())
        return false;
    for (const std::string& input : node.inputs) {
        if (!input.empty() && !isConstant(input))
            return false;
    }
    const FoldInputs operands(node, constants);
    OnnxConstant out;
    if (op == "Identity" || op == "Cast")
        out = cast(node, operands);
    else if (op == "Slice")
        out = slice(node, operands);
    else if (op == "Concat")
        out = concatenation(node, operands);
    else if (op == "Gather")
        out = gathered(operands);
    else
        out = resqueezed(node, operands);
    constants[node.outputs.at(0)] = std::move(out);
    return true;
}

void OnnxGraph::inferShapes(const OnnxNode& node)
{
    const std::string& op = node.op;
    const std::vector<int64_t> x = shapeOrConstant(*this, node.input(0));
    if (op == "Conv") {
        shapes[node.outputs[0]] = convShape(*this, node, x);
    } else if (op == "MaxPool") {
        shapes[node.outputs[0]] = poolShape(node, x);
    } else if (op == "Relu" || op == "LeakyRelu" || op == "Clip" || op == "Sigmoid") {
        shapes[node.outputs[0]] = x;
    } else if (op == "Add" || op == "Sub" || op == "Mul") {
        shapes[node.outputs[0]] = broadcast(x, shapeOrConstant(*this, node.input(1)));
    } else if (op == "Concat") {
        shapes[node.outputs[0]] = concatShape(*this, node, x);
    } else if (op == "Resize") {
        shapes[node.outputs[0]] = resizeShape(*this, node, x);
    } else if (op == "Split") {
        const std::vector<std::vector<int64_t>> parts = splitShapes(*this, node, x);
        for (size_t i = 0; i < parts.size(); ++i)
            shapes[node.outputs[i]] = parts[i];
    } else if (op == "Reshape") {
        shapes[node.outputs[0]] = reshaped(*this, node, x);
    }
}
