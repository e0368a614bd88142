#include "OnnxGraph.h"

#include "OperatorTable.h"
#include "ops/Operator.h"

#include <QFile>
#include <algorithm>
#include <climits>
#include <cstring>
#include <google/protobuf/io/coded_stream.h>
#include <google/protobuf/io/zero_copy_stream_impl.h>
#include <google/protobuf/io/zero_copy_stream_impl_lite.h>
#include <onnx/onnx_pb.h>

namespace {

// Copies `n` values of `size` bytes out of `raw`, each converted by `read`.
template <typename T, typename Read>
void unpack(std::vector<T>& out, const std::string& raw, int64_t n, size_t size, Read read)
{
    out.resize(size_t(n));
    for (int64_t i = 0; i < n; ++i)
        out[size_t(i)] = read(raw.data() + size_t(i) * size);
}

OnnxConstant constantFrom(onnx::TensorProto& tensor)
{
    const std::string what = "tensor " + tensor.name();
    if (tensor.data_location() == onnx::TensorProto::EXTERNAL || tensor.external_data_size() > 0)
        malformed(what + " keeps its values in an external file");
    OnnxConstant c;
    c.dims.assign(tensor.dims().begin(), tensor.dims().end());
    const int64_t n = ShapeMath::elements(c.dims, what, true);
    const std::string& raw = tensor.raw_data();
    size_t given = 0;
    switch (tensor.data_type()) {
    case onnx::TensorProto::FLOAT:
        if (!raw.empty()) {
            if (raw.size() != size_t(n) * 4)
                malformed(what + " holds the wrong number of bytes");
            // The weights' bytes change hands, not places.
            c.raw.swap(*tensor.mutable_raw_data());
            given = size_t(n);
        } else {
            c.floats.assign(tensor.float_data().begin(), tensor.float_data().end());
            given = c.floats.size();
        }
        break;
    case onnx::TensorProto::INT64:
    case onnx::TensorProto::INT32: {
        c.isInt = true;
        const bool wide = tensor.data_type() == onnx::TensorProto::INT64;
        if (!raw.empty()) {
            if (raw.size() != size_t(n) * (wide ? 8 : 4))
                malformed(what + " holds the wrong number of bytes");
            unpack(c.ints, raw, n, wide ? 8 : 4, [wide](const char* p) -> int64_t {
                if (wide) {
                    int64_t v;
                    std::memcpy(&v, p, 8);
                    return v;
                }
                int32_t v;
                std::memcpy(&v, p, 4);
                return v;
            });
        } else if (wide) {
            c.ints.assign(tensor.int64_data().begin(), tensor.int64_data().end());
        } else {
            c.ints.assign(tensor.int32_data().begin(), tensor.int32_data().end());
        }
        given = c.ints.size();
        break;
    }
    default:
        refuse(what + " has a data type the engine does not read");
    }
    if (int64_t(given) != n)
        malformed(what + " holds " + std::to_string(given) + " values for " + std::to_string(n));
    // The bytes are copied out: the message's own go now, not with the model.
    tensor.clear_raw_data();
    tensor.clear_float_data();
    return c;
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
        if (dim.has_dim_value() && dim.dim_value() <= 0)
            malformed("input " + value.name() + " has a dimension of " +
                      std::to_string(dim.dim_value()));
        if (!dim.has_dim_value())
            refuse("input " + value.name() + " has no fixed shape");
        input.dims.push_back(dim.dim_value());
    }
    ShapeMath::checkTensor(input.dims, "input " + value.name());
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
    // Optional outputs left out at the end (MaxPool's indices, say).
    while (!node.outputs.empty() && node.outputs.back().empty())
        node.outputs.pop_back();
    for (onnx::AttributeProto& a : *proto.mutable_attribute())
        readAttribute(node, a);
    return node;
}

} // namespace

// ----- constants and nodes ------------------------------------------------------

int64_t OnnxConstant::count() const
{
    return ShapeMath::elements(dims, "a constant", true);
}

std::vector<float> OnnxConstant::toFloats() const
{
    if (isInt)
        return std::vector<float>(ints.begin(), ints.end());
    if (raw.empty())
        return floats;
    std::vector<float> values(raw.size() / sizeof(float));
    std::memcpy(values.data(), raw.data(), values.size() * sizeof(float));
    return values;
}

const float* OnnxConstant::floatData() const
{
    return raw.empty() ? floats.data() : reinterpret_cast<const float*>(raw.data());
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

std::vector<int64_t> OnnxNode::intsAttr(const std::string& key, std::vector<int64_t> fallback,
                                        size_t length) const
{
    std::vector<int64_t> values = intsAttr(key, std::move(fallback));
    if (values.size() != length)
        malformed(label() + " has " + std::to_string(values.size()) + " " + key + " for " +
                  std::to_string(length));
    return values;
}

void OnnxNode::checkRange(const std::string& what, const std::vector<int64_t>& values,
                          int64_t least) const
{
    for (int64_t v : values) {
        if (v < least || v > ShapeMath::maxWindow)
            malformed(label() + " has " + what + " of " + std::to_string(v));
    }
}

const std::string& OnnxNode::input(size_t i) const
{
    static const std::string none;
    return i < inputs.size() ? inputs[i] : none;
}

void OnnxNode::checkArity(size_t minInputs, size_t maxInputs, size_t outputCount) const
{
    bool given = inputs.size() >= minInputs && inputs.size() <= maxInputs;
    for (size_t i = 0; given && i < minInputs; ++i)
        given = !inputs[i].empty();
    if (!given)
        malformed(label() + " has " + std::to_string(inputs.size()) + " inputs");
    if (outputs.size() != outputCount)
        malformed(label() + " has " + std::to_string(outputs.size()) + " outputs");
}

std::string OnnxNode::label() const
{
    return name.empty() ? op : op + " " + name;
}

// ----- the graph -----------------------------------------------------------------

const OnnxConstant& OnnxGraph::constant(const std::string& name) const
{
    const auto it = constants.find(name);
    if (it == constants.end())
        refuse(name + " is computed at run time, not known at load");
    return it->second;
}

OnnxConstant& OnnxGraph::constant(const std::string& name)
{
    return const_cast<OnnxConstant&>(std::as_const(*this).constant(name));
}

const OnnxGraph::Shape& OnnxGraph::shapeOf(const std::string& name) const
{
    const auto it = shapes.find(name);
    if (it == shapes.end())
        refuse("no shape known for " + name);
    return it->second;
}

OnnxGraph::Shape OnnxGraph::shapeOrDims(const std::string& name) const
{
    return isConstant(name) ? constants.at(name).dims : shapeOf(name);
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
            malformed(path.toStdString() + " is not an ONNX model");
    }
    return fromModel(model);
}

OnnxGraph OnnxGraph::parse(const std::string& bytes)
{
    if (bytes.size() > size_t(INT_MAX))
        malformed("not an ONNX model");
    onnx::ModelProto model;
    google::protobuf::io::ArrayInputStream array(bytes.data(), int(bytes.size()));
    google::protobuf::io::CodedInputStream stream(&array);
    stream.SetTotalBytesLimit(INT_MAX);
    if (!model.ParseFromCodedStream(&stream) || !stream.ConsumedEntireMessage())
        malformed("not an ONNX model");
    return fromModel(model);
}

OnnxGraph OnnxGraph::fromModel(onnx::ModelProto& model)
{
    checkOpsets(model);
    onnx::GraphProto* graph = model.mutable_graph();
    if (graph->node_size() == 0 || graph->output_size() == 0 || graph->input_size() == 0)
        malformed("the file holds no network");
    OnnxGraph g;
    size_t weightBytes = 0;
    for (onnx::TensorProto& tensor : *graph->mutable_initializer()) {
        if (g.isConstant(tensor.name()))
            malformed("two initializers named " + tensor.name());
        OnnxConstant c = constantFrom(tensor);
        weightBytes += size_t(c.count()) * sizeof(float);
        if (weightBytes > ShapeMath::maxBytes)
            malformed("weights over " + std::to_string(ShapeMath::maxBytes >> 30) + " GiB");
        g.constants.emplace(tensor.name(), std::move(c));
    }
    for (const onnx::ValueInfoProto& value : graph->input()) {
        if (g.isConstant(value.name()))
            continue;
        if (g.shapes.count(value.name()))
            malformed("two inputs named " + value.name());
        Input input = inputFrom(value);
        g.shapes[input.name] = input.dims;
        g.inputs.push_back(std::move(input));
    }
    if (g.inputs.empty())
        refuse("a network without inputs");
    for (const onnx::ValueInfoProto& value : graph->output())
        g.outputs.push_back(value.name());

    for (onnx::NodeProto& proto : *graph->mutable_node())
        g.add(nodeFrom(proto));
    for (const std::string& output : g.outputs) {
        if (g.isConstant(output) || !g.shapes.count(output))
            malformed("output " + output + " is not computed");
    }
    return g;
}

void OnnxGraph::add(OnnxNode node)
{
    node.kind = OperatorTable::find(node.op);
    if (!node.kind)
        refuse("operator " + node.op);
    // Nodes come in the order they run: each input is known by then, and
    // each output is new (which also rules out cycles).
    for (const std::string& input : node.inputs) {
        if (!input.empty() && !isConstant(input) && !shapes.count(input))
            malformed("input " + input + " of " + node.label() + " comes from nowhere");
    }
    if (node.outputs.empty())
        malformed(node.label() + " has no outputs");
    for (size_t i = 0; i < node.outputs.size(); ++i) {
        const std::string& output = node.outputs[i];
        if (output.empty() || isConstant(output) || shapes.count(output) ||
            std::count(node.outputs.begin(), node.outputs.begin() + long(i), output))
            malformed("output \"" + output + "\" of " + node.label() + " is written twice");
    }
    if (std::optional<OnnxConstant> value = node.kind->fold(node, *this)) {
        if (node.outputs.size() != 1)
            malformed(node.label() + " folded at load has " + std::to_string(node.outputs.size()) +
                      " outputs");
        constants[node.outputs[0]] = std::move(*value);
        return;
    }
    const std::vector<Shape> computed = node.kind->read(node, *this);
    if (computed.size() != node.outputs.size())
        malformed(node.label() + " has " + std::to_string(node.outputs.size()) + " outputs");
    for (size_t i = 0; i < computed.size(); ++i) {
        ShapeMath::checkTensor(computed[i], "output " + node.outputs[i] + " of " + node.label());
        shapes[node.outputs[i]] = computed[i];
    }
    nodes.push_back(std::move(node));
}
