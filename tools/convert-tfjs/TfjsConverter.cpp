#include "TfjsConverter.h"

#include <QJsonArray>
#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <google/protobuf/io/coded_stream.h>
#include <google/protobuf/io/zero_copy_stream_impl_lite.h>
#include <limits>
#include <map>
#include <set>

namespace tfjs {
namespace {

// Stored axis j of a tensor holds its TF axis layout[j].
using Layout = std::vector<int>;

const Layout kNhwcAsNchw = {0, 3, 1, 2};

Layout identity(size_t rank)
{
    Layout l(rank);
    for (size_t i = 0; i < rank; ++i)
        l[i] = int(i);
    return l;
}

Layout inverse(const Layout& p)
{
    Layout inv(p.size());
    for (size_t i = 0; i < p.size(); ++i)
        inv[size_t(p[i])] = int(i);
    return inv;
}

std::string str(const std::vector<int64_t>& v)
{
    std::string s = "[";
    for (size_t i = 0; i < v.size(); ++i)
        s += (i ? "," : "") + std::to_string(v[i]);
    return s + "]";
}

int64_t normalizeAxis(int64_t axis, size_t rank)
{
    if (axis < 0)
        axis += int64_t(rank);
    if (axis < 0 || axis >= int64_t(rank))
        fail("axis " + std::to_string(axis) + " is out of range");
    return axis;
}

std::vector<int64_t> stridesOf(const std::vector<int64_t>& shape)
{
    std::vector<int64_t> s(shape.size(), 1);
    for (size_t i = shape.size(); i-- > 1;)
        s[i - 1] = s[i] * shape[i];
    return s;
}

// Calls f(flat output index, input index) for every element of a tensor of
// `outShape` read from a tensor whose strides per output axis are `inStrides`,
// starting at `inOffset`.
void forEachIndex(const std::vector<int64_t>& outShape, const std::vector<int64_t>& inStrides,
                  int64_t inOffset, const std::function<void(int64_t, int64_t)>& f)
{
    const int64_t total = elementCount(outShape);
    std::vector<int64_t> index(outShape.size(), 0);
    int64_t in = inOffset;
    for (int64_t out = 0; out < total; ++out) {
        f(out, in);
        for (size_t a = outShape.size(); a-- > 0;) {
            if (++index[a] < outShape[a]) {
                in += inStrides[a];
                break;
            }
            in -= inStrides[a] * (outShape[a] - 1);
            index[a] = 0;
        }
    }
}

// The value `t` holds, transposed: output axis i is input axis perm[i].
std::vector<double> permuted(const HostTensor& t, const Layout& perm)
{
    const std::vector<int64_t> inStrides = stridesOf(t.shape);
    std::vector<int64_t> outShape, strides;
    for (int p : perm) {
        outShape.push_back(t.shape[size_t(p)]);
        strides.push_back(inStrides[size_t(p)]);
    }
    std::vector<double> out(t.values.size());
    forEachIndex(outShape, strides, 0,
                 [&](int64_t o, int64_t i) { out[size_t(o)] = t.values[size_t(i)]; });
    return out;
}

double roundTo(DType type, double v)
{
    if (type == DType::Float)
        return double(float(v));
    if (type == DType::Bool)
        return v != 0 ? 1 : 0;
    return std::trunc(v);
}

// Element-wise on two tensors with NumPy broadcasting.
HostTensor broadcast(const HostTensor& a, const HostTensor& b, DType outType,
                     const std::function<double(double, double)>& f)
{
    const size_t rank = std::max(a.shape.size(), b.shape.size());
    auto padded = [rank](const std::vector<int64_t>& s) {
        std::vector<int64_t> p(rank - s.size(), 1);
        p.insert(p.end(), s.begin(), s.end());
        return p;
    };
    const std::vector<int64_t> sa = padded(a.shape), sb = padded(b.shape);
    HostTensor out;
    out.type = outType;
    for (size_t i = 0; i < rank; ++i) {
        if (sa[i] != sb[i] && sa[i] != 1 && sb[i] != 1)
            fail("shapes " + str(a.shape) + " and " + str(b.shape) + " do not broadcast");
        out.shape.push_back(sa[i] == 1 ? sb[i] : sa[i]);
    }
    const std::vector<int64_t> ta = stridesOf(sa), tb = stridesOf(sb);
    std::vector<int64_t> strideA(rank), strideB(rank);
    for (size_t i = 0; i < rank; ++i) {
        strideA[i] = sa[i] == 1 ? 0 : ta[i];
        strideB[i] = sb[i] == 1 ? 0 : tb[i];
    }
    std::vector<int64_t> ia(size_t(out.size())), ib(size_t(out.size()));
    forEachIndex(out.shape, strideA, 0, [&](int64_t o, int64_t i) { ia[size_t(o)] = i; });
    forEachIndex(out.shape, strideB, 0, [&](int64_t o, int64_t i) { ib[size_t(o)] = i; });
    out.values.resize(size_t(out.size()));
    for (size_t o = 0; o < out.values.size(); ++o)
        out.values[o] = roundTo(outType, f(a.values[size_t(ia[o])], b.values[size_t(ib[o])]));
    return out;
}

std::vector<int64_t> ints(const HostTensor& t)
{
    return std::vector<int64_t>(t.values.begin(), t.values.end());
}

// Resolves a -1 in a target shape for `count` elements.
std::vector<int64_t> resolveShape(std::vector<int64_t> shape, int64_t count)
{
    int64_t known = 1;
    int unknown = -1;
    for (size_t i = 0; i < shape.size(); ++i) {
        if (shape[i] == -1) {
            if (unknown >= 0)
                fail("a shape with two -1: " + str(shape));
            unknown = int(i);
        } else {
            known *= shape[i];
        }
    }
    if (unknown >= 0 && known > 0)
        shape[size_t(unknown)] = count / known;
    if (elementCount(shape) != count)
        fail("cannot reshape " + std::to_string(count) + " elements to " + str(shape));
    return shape;
}

struct SliceAxis
{
    int64_t begin, step, count;
    bool keep;
};

std::vector<SliceAxis> sliceAxes(const Node& n, const std::vector<int64_t>& shape,
                                 const std::vector<int64_t>& begin, const std::vector<int64_t>& end,
                                 const std::vector<int64_t>& step)
{
    if (n.attrInt("ellipsis_mask", 0) || n.attrInt("new_axis_mask", 0))
        fail("StridedSlice '" + n.name + "' uses ellipsis or new axes");
    const int64_t beginMask = n.attrInt("begin_mask", 0), endMask = n.attrInt("end_mask", 0),
                  shrinkMask = n.attrInt("shrink_axis_mask", 0);
    std::vector<SliceAxis> axes;
    for (size_t i = 0; i < shape.size(); ++i) {
        const int64_t dim = shape[i];
        if (i >= begin.size()) {
            axes.push_back({0, 1, dim, true});
            continue;
        }
        const int64_t s = step[i];
        if (s == 0)
            fail("StridedSlice '" + n.name + "' has a zero stride");
        int64_t b = begin[i], e = end[i];
        const int64_t lo = s > 0 ? 0 : -1, hi = s > 0 ? dim : dim - 1;
        if (beginMask & (1 << i))
            b = s > 0 ? 0 : dim - 1;
        else
            b = std::clamp(b < 0 ? b + dim : b, lo, hi);
        if (shrinkMask & (1 << i)) {
            axes.push_back({b, 1, 1, false});
            continue;
        }
        if (endMask & (1 << i))
            e = s > 0 ? dim : -1;
        else
            e = std::clamp(e < 0 ? e + dim : e, lo, hi);
        const int64_t count = s > 0 ? std::max<int64_t>(0, (e - b + s - 1) / s)
                                    : std::max<int64_t>(0, (b - e - s - 1) / -s);
        axes.push_back({b, s, count, true});
    }
    return axes;
}

// The value before the activation a fused convolution applies.
struct Activation
{
    std::string op; // "", "Relu", "Relu6", "LeakyRelu"
    double alpha = 0;
};

// ONNX attribute helpers.
void setAttr(onnx::NodeProto& node, const char* name, int64_t v)
{
    auto* a = node.add_attribute();
    a->set_name(name);
    a->set_type(onnx::AttributeProto::INT);
    a->set_i(v);
}
void setAttr(onnx::NodeProto& node, const char* name, const std::vector<int64_t>& v)
{
    auto* a = node.add_attribute();
    a->set_name(name);
    a->set_type(onnx::AttributeProto::INTS);
    for (int64_t x : v)
        a->add_ints(x);
}
void setAttr(onnx::NodeProto& node, const char* name, float v)
{
    auto* a = node.add_attribute();
    a->set_name(name);
    a->set_type(onnx::AttributeProto::FLOAT);
    a->set_f(v);
}
void setAttr(onnx::NodeProto& node, const char* name, const char* v)
{
    auto* a = node.add_attribute();
    a->set_name(name);
    a->set_type(onnx::AttributeProto::STRING);
    a->set_s(v);
}

struct Value
{
    bool isConst = false;
    HostTensor constant;
    std::string name;           // the ONNX tensor
    std::vector<int64_t> shape; // the TF shape
    Layout layout;
    // Padding recorded but not applied yet, per stored axis: a convolution or
    // pooling that reads this tensor takes it into its own pads.
    bool padded = false;
    std::vector<int64_t> padBegin, padEnd;
    double padValue = 0;
    // The bias initializer, when this is the output of an emitted Conv.
    std::string convBias;
    std::map<Layout, std::string> transposed;

    std::vector<int64_t> storedShape() const
    {
        std::vector<int64_t> s;
        for (int a : layout)
            s.push_back(shape[size_t(a)]);
        return s;
    }
};

HostTensor squeezed(HostTensor t, const std::vector<int64_t>& dims)
{
    std::vector<int64_t> shape;
    for (size_t i = 0; i < t.shape.size(); ++i) {
        const bool listed =
            dims.empty() ? t.shape[i] == 1 : std::any_of(dims.begin(), dims.end(), [&](int64_t d) {
                return normalizeAxis(d, t.shape.size()) == int64_t(i);
            });
        if (!listed)
            shape.push_back(t.shape[i]);
    }
    t.shape = shape;
    return t;
}

HostTensor transposed(const HostTensor& t, const HostTensor& order)
{
    Layout perm;
    for (double p : order.values)
        perm.push_back(int(p));
    HostTensor out;
    out.type = t.type;
    for (int p : perm)
        out.shape.push_back(t.shape[size_t(p)]);
    out.values = permuted(t, perm);
    return out;
}

// `parts` joined along `axis`, which they share all other sizes with.
HostTensor joined(const std::vector<HostTensor>& parts, int64_t axis)
{
    HostTensor out;
    out.type = parts[0].type;
    out.shape = parts[0].shape;
    out.shape[size_t(axis)] = 0;
    for (const auto& p : parts)
        out.shape[size_t(axis)] += p.shape[size_t(axis)];
    // Outer blocks: each part contributes a run of values per block.
    int64_t outer = 1;
    for (int64_t i = 0; i < axis; ++i)
        outer *= out.shape[size_t(i)];
    for (int64_t o = 0; o < outer; ++o)
        for (const auto& p : parts) {
            const int64_t run = p.size() / std::max<int64_t>(outer, 1);
            out.values.insert(out.values.end(), p.values.begin() + o * run,
                              p.values.begin() + (o + 1) * run);
        }
    return out;
}

// Pack (new axis) and ConcatV2 (the axis as its last input).
HostTensor packedOrConcatenated(const Node& n, const std::vector<const HostTensor*>& inputs)
{
    const bool pack = n.op == "Pack";
    const size_t count = pack ? inputs.size() : inputs.size() - 1;
    std::vector<HostTensor> parts;
    for (size_t i = 0; i < count; ++i) {
        HostTensor t = *inputs[i];
        if (pack) {
            const int64_t axis = normalizeAxis(n.attrInt("axis", 0), t.shape.size() + 1);
            t.shape.insert(t.shape.begin() + axis, 1);
        }
        parts.push_back(t);
    }
    const int64_t axis =
        normalizeAxis(pack ? n.attrInt("axis", 0) : int64_t(inputs.at(count)->values.at(0)),
                      parts[0].shape.size());
    return joined(parts, axis);
}

HostTensor sliced(const Node& n, const HostTensor& t, const HostTensor& begin,
                  const HostTensor& end, const HostTensor& step)
{
    const auto axes = sliceAxes(n, t.shape, ints(begin), ints(end), ints(step));
    const std::vector<int64_t> inStrides = stridesOf(t.shape);
    std::vector<int64_t> shape, kept, strides;
    int64_t offset = 0;
    for (size_t i = 0; i < axes.size(); ++i) {
        offset += axes[i].begin * inStrides[i];
        shape.push_back(axes[i].count);
        strides.push_back(axes[i].step * inStrides[i]);
        if (axes[i].keep)
            kept.push_back(axes[i].count);
    }
    HostTensor out;
    out.type = t.type;
    out.shape = kept;
    out.values.resize(size_t(elementCount(shape)));
    if (!out.values.empty())
        forEachIndex(shape, strides, offset,
                     [&](int64_t o, int64_t i) { out.values[size_t(o)] = t.values[size_t(i)]; });
    return out;
}

HostTensor sparseToDense(const HostTensor& indices, const HostTensor& shape,
                         const HostTensor& values, const HostTensor& fill)
{
    HostTensor out;
    out.type = values.type;
    out.shape = ints(shape);
    out.values.assign(size_t(out.size()), fill.values.at(0));
    const int64_t rank = int64_t(out.shape.size());
    const int64_t count = indices.shape.empty() ? 1 : indices.shape[0];
    const std::vector<int64_t> strides = stridesOf(out.shape);
    for (int64_t k = 0; k < count; ++k) {
        int64_t flat = 0;
        for (int64_t a = 0; a < rank; ++a)
            flat += int64_t(indices.values.at(size_t(k * rank + a))) * strides[size_t(a)];
        out.values.at(size_t(flat)) =
            values.size() == 1 ? values.values[0] : values.values.at(size_t(k));
    }
    return out;
}

// The value of node `n` computed from its constant inputs.
HostTensor folded(const Node& n, const std::vector<const HostTensor*>& inputs)
{
    const std::string& op = n.op;
    auto c = [&](size_t i) -> const HostTensor& {
        return *inputs.at(i);
    };
    static const std::map<std::string, std::function<double(double, double)>> arithmetic = {
        {"Add", std::plus<double>()},
        {"AddV2", std::plus<double>()},
        {"BiasAdd", std::plus<double>()},
        {"Sub", std::minus<double>()},
        {"Mul", std::multiplies<double>()},
        {"RealDiv", std::divides<double>()},
        {"FloorDiv",
         [](double a, double b) {
             return std::floor(a / b);
         }},
        {"Maximum",
         [](double a, double b) {
             return std::max(a, b);
         }},
        {"Minimum",
         [](double a, double b) {
             return std::min(a, b);
         }},
    };
    if (auto it = arithmetic.find(op); it != arithmetic.end())
        return broadcast(c(0), c(1), c(0).type, it->second);
    if (op == "Identity")
        return c(0);
    if (op == "Cast") {
        const std::string to = n.attrType("DstT");
        HostTensor t = c(0);
        t.type = to == "DT_FLOAT" ? DType::Float : to == "DT_BOOL" ? DType::Bool : DType::Int;
        for (double& v : t.values)
            v = roundTo(t.type, v);
        return t;
    }
    if (op == "Reshape") {
        HostTensor t = c(0);
        t.shape = resolveShape(ints(c(1)), t.size());
        return t;
    }
    if (op == "ExpandDims") {
        HostTensor t = c(0);
        const int64_t axis = int64_t(c(1).values.at(0));
        t.shape.insert(t.shape.begin() + (axis < 0 ? axis + int64_t(t.shape.size()) + 1 : axis), 1);
        return t;
    }
    if (op == "Squeeze")
        return squeezed(c(0), n.attrInts("squeeze_dims"));
    if (op == "Transpose")
        return transposed(c(0), c(1));
    if (op == "Pack" || op == "ConcatV2")
        return packedOrConcatenated(n, inputs);
    if (op == "StridedSlice")
        return sliced(n, c(0), c(1), c(2), c(3));
    if (op == "SparseToDense")
        return sparseToDense(c(0), c(1), c(2), c(3));
    if (op == "Fill") {
        HostTensor out;
        out.type = c(1).type;
        out.shape = ints(c(0));
        out.values.assign(size_t(out.size()), c(1).values.at(0));
        return out;
    }
    fail("cannot compute " + op + " '" + n.name + "' on constants");
}

class Converter
{
public:
    Converter(const Model& model, const ConvertOptions& options)
        : m_model(model), m_options(options)
    {
        for (const Node& n : model.nodes)
            m_nodes[n.name] = &n;
    }

    ConvertResult run();

private:
    const Model& m_model;
    const ConvertOptions& m_options;
    std::map<std::string, const Node*> m_nodes;
    std::map<std::string, int> m_consumers;
    std::map<std::string, Value> m_values;
    std::set<std::string> m_names;
    // The outputs' names, kept free until the outputs take them.
    std::set<std::string> m_reserved;
    std::vector<std::pair<std::string, std::string>> m_outputs;
    onnx::ModelProto m_proto;
    onnx::GraphProto* m_graph = nullptr;
    std::string m_inputName;

    void order(const std::string& node, std::set<std::string>& seen, std::vector<const Node*>& out);
    void convertNode(const Node& n);
    bool fold(const Node& n);

    Value& input(const Node& n, size_t i)
    {
        if (i >= n.inputs.size())
            fail(n.op + " '" + n.name + "' lacks input " + std::to_string(i));
        return m_values.at(n.inputs[i]);
    }
    const HostTensor& constInput(const Node& n, size_t i)
    {
        const Value& v = input(n, i);
        if (!v.isConst)
            fail(n.op + " '" + n.name + "' needs input " + std::to_string(i) + " to be a constant");
        return v.constant;
    }
    Value& dynamicInput(const Node& n, size_t i)
    {
        Value& v = input(n, i);
        if (v.isConst)
            fail(n.op + " '" + n.name + "' on a constant is not supported");
        return v;
    }
    void setOutput(const Node& n, Value v, int index = 0)
    {
        m_values[n.name + ":" + std::to_string(index)] = std::move(v);
    }
    void setConst(const Node& n, HostTensor t)
    {
        Value v;
        v.isConst = true;
        v.constant = std::move(t);
        setOutput(n, std::move(v));
    }

    std::string fresh(const std::string& base);
    std::string addFloats(const std::string& base, const std::vector<int64_t>& shape,
                          const std::vector<double>& values);
    std::string addInt64s(const std::string& base, const std::vector<int64_t>& values);
    onnx::NodeProto& addNode(const std::string& op, const std::string& base,
                             const std::vector<std::string>& inputs, int outputs = 1);
    onnx::TensorProto* initializer(const std::string& name);

    void flushPad(Value& v);
    std::string toLayout(Value& v, const Layout& target);
    Value dynamic(const std::string& name, std::vector<int64_t> shape, Layout layout);

    void placeholder(const Node& n);
    void conv(const Node& n, bool depthwise);
    void pool(const Node& n, bool isMax);
    void pad(const Node& n);
    void binary(const Node& n, const std::string& op);
    void unary(const Node& n, const Activation& act);
    void concat(const Node& n);
    void resize(const Node& n);
    void split(const Node& n, bool variable);
    void reshape(const Node& n, std::vector<int64_t> shape);
    void mean(const Node& n);
    void transpose(const Node& n);
    void finishOutputs(ConvertResult& result);
};

std::string Converter::fresh(const std::string& base)
{
    std::string name = base;
    for (int i = 1; m_names.count(name) || m_reserved.count(name); ++i)
        name = base + "_" + std::to_string(i);
    m_names.insert(name);
    return name;
}

std::string Converter::addFloats(const std::string& base, const std::vector<int64_t>& shape,
                                 const std::vector<double>& values)
{
    auto* t = m_graph->add_initializer();
    t->set_name(fresh(base));
    t->set_data_type(onnx::TensorProto::FLOAT);
    for (int64_t d : shape)
        t->add_dims(d);
    std::string raw(values.size() * 4, '\0');
    for (size_t i = 0; i < values.size(); ++i) {
        const float f = float(values[i]);
        std::memcpy(&raw[4 * i], &f, 4); // little-endian, as ONNX stores raw data
    }
    t->set_raw_data(raw);
    return t->name();
}

std::string Converter::addInt64s(const std::string& base, const std::vector<int64_t>& values)
{
    auto* t = m_graph->add_initializer();
    t->set_name(fresh(base));
    t->set_data_type(onnx::TensorProto::INT64);
    t->add_dims(int64_t(values.size()));
    for (int64_t v : values)
        t->add_int64_data(v);
    return t->name();
}

onnx::TensorProto* Converter::initializer(const std::string& name)
{
    for (auto& t : *m_graph->mutable_initializer())
        if (t.name() == name)
            return &t;
    return nullptr;
}

onnx::NodeProto& Converter::addNode(const std::string& op, const std::string& base,
                                    const std::vector<std::string>& inputs, int outputs)
{
    onnx::NodeProto& node = *m_graph->add_node();
    node.set_op_type(op);
    node.set_name(fresh(base + "/" + op));
    for (const auto& in : inputs)
        node.add_input(in);
    for (int i = 0; i < outputs; ++i)
        node.add_output(fresh(outputs == 1 ? base : base + ":" + std::to_string(i)));
    return node;
}

Value Converter::dynamic(const std::string& name, std::vector<int64_t> shape, Layout layout)
{
    Value v;
    v.name = name;
    v.shape = std::move(shape);
    v.layout = std::move(layout);
    return v;
}

void Converter::flushPad(Value& v)
{
    if (!v.padded)
        return;
    std::vector<int64_t> pads = v.padBegin;
    pads.insert(pads.end(), v.padEnd.begin(), v.padEnd.end());
    const std::string p = addInt64s(v.name + "/pads", pads);
    const std::string c = addFloats(v.name + "/pad_value", {}, {v.padValue});
    onnx::NodeProto& node = addNode("Pad", v.name + "/padded", {v.name, p, c});
    setAttr(node, "mode", "constant");
    v.name = node.output(0);
    v.padded = false;
    v.convBias.clear();
}

std::string Converter::toLayout(Value& v, const Layout& target)
{
    flushPad(v);
    if (v.layout == target)
        return v.name;
    auto cached = v.transposed.find(target);
    if (cached != v.transposed.end())
        return cached->second;
    const Layout inv = inverse(v.layout);
    std::vector<int64_t> perm;
    for (int t : target)
        perm.push_back(inv[size_t(t)]);
    onnx::NodeProto& node = addNode("Transpose", v.name + "/transposed", {v.name});
    setAttr(node, "perm", perm);
    v.transposed[target] = node.output(0);
    return node.output(0);
}

void Converter::order(const std::string& name, std::set<std::string>& seen,
                      std::vector<const Node*>& out)
{
    if (!seen.insert(name).second)
        return;
    auto it = m_nodes.find(name);
    if (it == m_nodes.end())
        fail("the graph has no node '" + name + "'");
    for (const auto& in : it->second->inputs) {
        ++m_consumers[in];
        order(nodeOf(in), seen, out);
    }
    out.push_back(it->second);
}

ConvertResult Converter::run()
{
    m_proto.set_ir_version(6);
    m_proto.set_producer_name("convert-tfjs");
    auto* opset = m_proto.add_opset_import();
    opset->set_domain("");
    opset->set_version(11);
    m_graph = m_proto.mutable_graph();
    m_graph->set_name("tfjs");

    // The outputs asked for, or the signature's, as (TF tensor, ONNX name).
    for (const auto& o : m_options.outputs)
        m_outputs.emplace_back(tensorKey(o.first), o.second);
    if (m_outputs.empty())
        for (const auto& key : m_model.outputs)
            m_outputs.emplace_back(key, nodeOf(key));
    if (m_outputs.empty())
        fail("the model names no outputs; choose them with --output");

    for (const auto& o : m_outputs)
        m_reserved.insert(o.second);
    std::set<std::string> seen;
    std::vector<const Node*> nodes;
    for (const auto& o : m_outputs)
        order(nodeOf(o.first), seen, nodes);
    for (const Node* n : nodes)
        convertNode(*n);

    ConvertResult result;
    finishOutputs(result);
    result.model = m_proto;
    return result;
}

void Converter::finishOutputs(ConvertResult& result)
{
    std::set<std::string> taken{m_inputName};
    for (const auto& [key, wanted] : m_outputs) {
        auto it = m_values.find(key);
        if (it == m_values.end())
            fail("the graph has no tensor '" + key + "'");
        Value& v = it->second;
        if (v.isConst)
            fail("output '" + key + "' does not depend on the input");
        std::string name = m_options.outputsAsComputed ? (flushPad(v), v.name)
                                                       : toLayout(v, identity(v.shape.size()));
        const Layout layout = m_options.outputsAsComputed ? v.layout : identity(v.shape.size());
        if (m_names.count(wanted))
            fail("two outputs are named '" + wanted + "'");
        m_names.insert(wanted);
        if (taken.count(name)) {
            // Another output (or the input) already has this tensor.
            onnx::NodeProto& node = *m_graph->add_node();
            node.set_op_type("Identity");
            node.set_name(wanted + "/Identity");
            node.add_input(name);
            node.add_output(wanted);
            name = wanted;
        } else {
            // Renames the tensor everywhere, so the layer OpenCV makes of
            // its producer carries the output's name.
            for (auto& node : *m_graph->mutable_node()) {
                for (auto& s : *node.mutable_output())
                    if (s == name)
                        s = wanted;
                for (auto& s : *node.mutable_input())
                    if (s == name)
                        s = wanted;
            }
            name = wanted;
        }
        taken.insert(name);

        OutputInfo info;
        info.name = name;
        for (int a : layout) {
            info.shape.push_back(v.shape[size_t(a)]);
            info.logicalAxes.push_back(a);
        }
        auto* vi = m_graph->add_output();
        vi->set_name(name);
        auto* tt = vi->mutable_type()->mutable_tensor_type();
        tt->set_elem_type(onnx::TensorProto::FLOAT);
        for (int64_t d : info.shape)
            tt->mutable_shape()->add_dim()->set_dim_value(d);
        result.outputs.push_back(info);
    }
}

void Converter::placeholder(const Node& n)
{
    std::vector<int64_t> shape = m_options.inputShape;
    if (shape.empty()) {
        const QJsonArray dims = n.attr.value(QLatin1String("shape"))
                                    .toObject()
                                    .value(QLatin1String("shape"))
                                    .toObject()
                                    .value(QLatin1String("dim"))
                                    .toArray();
        for (const QJsonValue& d : dims)
            shape.push_back(d.toObject().value(QLatin1String("size")).toString("-1").toLongLong());
    }
    for (int64_t d : shape)
        if (d <= 0)
            fail("the input's size is open (" + str(shape) + "); fix it with --input-shape");
    const std::string dtype = n.attrType("dtype");
    if (dtype != "DT_FLOAT" && !m_options.floatInput)
        fail("the input is " + dtype + "; --float-input feeds it as float");
    if (!m_inputName.empty())
        fail("the graph has more than one input");

    Layout layout = identity(shape.size());
    if (m_options.inputChannelsFirst) {
        if (shape.size() != 4)
            fail("--input-nchw needs a 4-D input");
        layout = kNhwcAsNchw;
    }
    m_inputName = fresh(n.name);
    Value v = dynamic(m_inputName, shape, layout);
    auto* vi = m_graph->add_input();
    vi->set_name(m_inputName);
    auto* tt = vi->mutable_type()->mutable_tensor_type();
    tt->set_elem_type(onnx::TensorProto::FLOAT);
    for (int64_t d : v.storedShape())
        tt->mutable_shape()->add_dim()->set_dim_value(d);
    setOutput(n, std::move(v));
}

// Folds a node whose inputs are all known. Returns false when it needs the input.
bool Converter::fold(const Node& n)
{
    const std::string& op = n.op;
    if (op == "Const") {
        auto it = m_model.weights.find(n.name);
        if (it == m_model.weights.end())
            fail("constant '" + n.name + "' has no value in the weights");
        setConst(n, it->second);
        return true;
    }
    if (op == "Shape" || op == "Size") {
        const Value& x = input(n, 0);
        const std::vector<int64_t> s = x.isConst ? x.constant.shape : x.shape;
        if (op == "Shape")
            setConst(n, HostTensor::vector(DType::Int, s));
        else
            setConst(n, HostTensor::scalar(DType::Int, double(elementCount(s))));
        return true;
    }
    for (const auto& in : n.inputs)
        if (!m_values.at(in).isConst)
            return false;
    std::vector<const HostTensor*> inputs;
    for (size_t i = 0; i < n.inputs.size(); ++i)
        inputs.push_back(&constInput(n, i));
    setConst(n, folded(n, inputs));
    return true;
}

void Converter::convertNode(const Node& n)
{
    const std::string& op = n.op;
    if (op == "Placeholder")
        return placeholder(n);
    if (fold(n))
        return;

    if (op == "Identity" || op == "StopGradient") {
        setOutput(n, input(n, 0));
    } else if (op == "Cast") {
        Value& x = dynamicInput(n, 0);
        const bool fromInput = x.name == m_inputName && m_options.floatInput;
        if (n.attrType("DstT") != "DT_FLOAT" || (n.attrType("SrcT") != "DT_FLOAT" && !fromInput))
            fail("Cast '" + n.name + "' to " + n.attrType("DstT") + " is not supported");
        setOutput(n, x);
    } else if (op == "Conv2D" || op == "_FusedConv2D") {
        conv(n, false);
    } else if (op == "DepthwiseConv2dNative" || op == "FusedDepthwiseConv2dNative") {
        conv(n, true);
    } else if (op == "MaxPool" || op == "AvgPool") {
        pool(n, op == "MaxPool");
    } else if (op == "Pad" || op == "PadV2") {
        pad(n);
    } else if (op == "Add" || op == "AddV2" || op == "BiasAdd") {
        binary(n, "Add");
    } else if (op == "Sub") {
        binary(n, "Sub");
    } else if (op == "Mul") {
        binary(n, "Mul");
    } else if (op == "RealDiv") {
        binary(n, "Div");
    } else if (op == "Relu" || op == "Relu6" || op == "Sigmoid" || op == "Tanh") {
        unary(n, {op, 0});
    } else if (op == "LeakyRelu") {
        unary(n, {op, n.attrFloat("alpha", 0.2)});
    } else if (op == "ConcatV2") {
        concat(n);
    } else if (op == "ResizeBilinear") {
        resize(n);
    } else if (op == "SplitV" || op == "Split") {
        split(n, op == "SplitV");
    } else if (op == "Reshape") {
        reshape(n, ints(constInput(n, 1)));
    } else if (op == "Squeeze") {
        const Value& x = input(n, 0);
        std::vector<int64_t> dims = n.attrInts("squeeze_dims"), shape;
        for (size_t i = 0; i < x.shape.size(); ++i) {
            bool listed = dims.empty() && x.shape[i] == 1;
            for (int64_t d : dims)
                listed = listed || normalizeAxis(d, x.shape.size()) == int64_t(i);
            if (!listed)
                shape.push_back(x.shape[i]);
        }
        reshape(n, shape);
    } else if (op == "ExpandDims") {
        std::vector<int64_t> shape = input(n, 0).shape;
        const int64_t axis = int64_t(constInput(n, 1).values.at(0));
        shape.insert(shape.begin() + (axis < 0 ? axis + int64_t(shape.size()) + 1 : axis), 1);
        reshape(n, shape);
    } else if (op == "Mean") {
        mean(n);
    } else if (op == "Transpose") {
        transpose(n);
    } else {
        fail("operation " + op + " ('" + n.name + "') is not supported");
    }
}

// TF's SAME padding: the output covers ceil(in / stride) positions; odd
// totals put the extra row or column at the end.
std::pair<int64_t, int64_t> samePads(int64_t in, int64_t kernel, int64_t stride, int64_t dilation)
{
    const int64_t out = (in + stride - 1) / stride;
    const int64_t total =
        std::max<int64_t>((out - 1) * stride + (kernel - 1) * dilation + 1 - in, 0);
    return {total / 2, total - total / 2};
}

struct Window
{
    int64_t kh, kw, sh = 1, sw = 1, dh = 1, dw = 1;
    std::vector<int64_t> pads{0, 0, 0, 0}; // top, left, bottom, right
    int64_t outH = 0, outW = 0;
};

// Adds the node's own padding to `w.pads` and computes the output size for
// an input of h x w (pads recorded on the input included).
void placeWindow(const Node& n, Window& w, int64_t h, int64_t wd)
{
    const std::string padding = n.attrString("padding", "VALID");
    if (padding == "SAME") {
        const auto [top, bottom] = samePads(h, w.kh, w.sh, w.dh);
        const auto [left, right] = samePads(wd, w.kw, w.sw, w.dw);
        w.pads[0] += top;
        w.pads[1] += left;
        w.pads[2] += bottom;
        w.pads[3] += right;
        h += top + bottom;
        wd += left + right;
    } else if (padding == "EXPLICIT") {
        const std::vector<int64_t> e = n.attrInts("explicit_paddings");
        if (e.size() != 8)
            fail(n.op + " '" + n.name + "' has unexpected explicit paddings");
        w.pads[0] += e[2];
        w.pads[2] += e[3];
        w.pads[1] += e[4];
        w.pads[3] += e[5];
        h += e[2] + e[3];
        wd += e[4] + e[5];
    } else if (padding != "VALID") {
        fail(n.op + " '" + n.name + "' has padding " + padding);
    }
    w.outH = (h - w.dh * (w.kh - 1) - 1) / w.sh + 1;
    w.outW = (wd - w.dw * (w.kw - 1) - 1) / w.sw + 1;
    if (w.outH <= 0 || w.outW <= 0)
        fail(n.op + " '" + n.name + "' leaves no output");
}

// Pads recorded on `x` that a window over NCHW storage can take over: only
// the spatial axes padded, with `value`.
bool absorbablePads(const Value& x, double value)
{
    return x.padded && x.layout == kNhwcAsNchw && x.padValue == value && x.padBegin[0] == 0 &&
           x.padBegin[1] == 0 && x.padEnd[0] == 0 && x.padEnd[1] == 0;
}

void checkNhwc(const Node& n, const Value& x)
{
    if (n.attrString("data_format", "NHWC") != "NHWC")
        fail(n.op + " '" + n.name + "' is not NHWC");
    if (x.shape.size() != 4)
        fail(n.op + " '" + n.name + "' on a " + std::to_string(x.shape.size()) + "-D tensor");
}

void Converter::conv(const Node& n, bool depthwise)
{
    Value& x = dynamicInput(n, 0);
    checkNhwc(n, x);
    const HostTensor& w = constInput(n, 1);
    if (w.shape.size() != 4)
        fail(n.op + " '" + n.name + "' has a filter of shape " + str(w.shape));

    Window win{w.shape[0], w.shape[1]};
    const bool absorb = absorbablePads(x, 0.0);
    if (absorb)
        win.pads = {x.padBegin[2], x.padBegin[3], x.padEnd[2], x.padEnd[3]};
    const std::string in = absorb ? x.name : toLayout(x, kNhwcAsNchw);
    const std::vector<int64_t> strides = n.attrInts("strides"), dilations = n.attrInts("dilations");
    if (strides.size() == 4) {
        win.sh = strides[1];
        win.sw = strides[2];
    }
    if (dilations.size() == 4) {
        win.dh = dilations[1];
        win.dw = dilations[2];
    }
    placeWindow(n, win, x.shape[1], x.shape[2]);

    const int64_t channels = x.shape[3], kh = w.shape[0], kw = w.shape[1], ci = w.shape[2];
    const int64_t outC = depthwise ? ci * w.shape[3] : w.shape[3];
    if (depthwise ? ci != channels : channels % ci != 0)
        fail(n.op + " '" + n.name + "' filter " + str(w.shape) + " does not fit " +
             std::to_string(channels) + " channels");
    const int64_t group = depthwise ? channels : channels / ci;
    const int64_t perGroup = depthwise ? 1 : ci;

    // TF filters are [kh, kw, in, out] ([kh, kw, C, multiplier] for
    // depthwise, output channel c * multiplier + m); ONNX wants [out, in, kh, kw].
    std::vector<double> weights(size_t(outC * perGroup * kh * kw));
    for (int64_t y = 0; y < kh; ++y)
        for (int64_t xx = 0; xx < kw; ++xx)
            for (int64_t i = 0; i < ci; ++i)
                for (int64_t o = 0; o < w.shape[3]; ++o) {
                    const double v = w.values[size_t(((y * kw + xx) * ci + i) * w.shape[3] + o)];
                    const int64_t oc = depthwise ? i * w.shape[3] + o : o;
                    const int64_t ic = depthwise ? 0 : i;
                    weights[size_t(((oc * perGroup + ic) * kh + y) * kw + xx)] = v;
                }

    std::vector<std::string> fused = n.attrStrings("fused_ops");
    std::vector<double> bias(size_t(outC), 0.0);
    size_t next = 0;
    if (next < fused.size() && fused[next] == "BiasAdd") {
        const HostTensor& b = constInput(n, 2);
        if (b.size() != outC)
            fail(n.op + " '" + n.name + "' has " + std::to_string(b.size()) + " biases for " +
                 std::to_string(outC) + " channels");
        bias = b.values;
        ++next;
    }
    Activation act;
    if (next < fused.size()) {
        act.op = fused[next++];
        act.alpha = n.attrFloat("leakyrelu_alpha", 0.2);
        if (act.op != "Relu" && act.op != "Relu6" && act.op != "LeakyRelu")
            fail(n.op + " '" + n.name + "' fuses " + act.op);
    }
    if (next < fused.size())
        fail(n.op + " '" + n.name + "' fuses more than a bias and an activation");

    const std::string wName = addFloats(n.name + "/weights", {outC, perGroup, kh, kw}, weights);
    const std::string bName = addFloats(n.name + "/bias", {outC}, bias);
    onnx::NodeProto& node =
        addNode("Conv", act.op.empty() ? n.name : n.name + "/conv", {in, wName, bName});
    setAttr(node, "kernel_shape", std::vector<int64_t>{kh, kw});
    setAttr(node, "strides", std::vector<int64_t>{win.sh, win.sw});
    setAttr(node, "dilations", std::vector<int64_t>{win.dh, win.dw});
    setAttr(node, "pads", win.pads);
    setAttr(node, "group", group);

    Value out = dynamic(node.output(0), {x.shape[0], win.outH, win.outW, outC}, kNhwcAsNchw);
    if (act.op.empty()) {
        out.convBias = bName;
        setOutput(n, std::move(out));
        return;
    }
    m_values["/conv:" + n.name] = std::move(out);
    Node activation = n;
    activation.inputs = {"/conv:" + n.name};
    unary(activation, act);
}

void Converter::unary(const Node& n, const Activation& act)
{
    Value& x = dynamicInput(n, 0);
    flushPad(x);
    const char* op = act.op == "Relu6" ? "Clip" : act.op.c_str();
    onnx::NodeProto& node = addNode(op, n.name, {x.name});
    if (act.op == "Relu6") {
        // Attributes, as before opset 11: OpenCV 4.6 reads a Clip with one
        // input only, and turns it into ReLU6, which it fuses into the
        // convolution before it.
        setAttr(node, "min", 0.0f);
        setAttr(node, "max", 6.0f);
    } else if (act.op == "LeakyRelu") {
        setAttr(node, "alpha", float(act.alpha));
    }
    setOutput(n, dynamic(node.output(0), x.shape, x.layout));
}

void Converter::pool(const Node& n, bool isMax)
{
    Value& x = dynamicInput(n, 0);
    checkNhwc(n, x);
    const std::vector<int64_t> k = n.attrInts("ksize"), s = n.attrInts("strides");
    if (k.size() != 4 || s.size() != 4 || k[0] != 1 || k[3] != 1)
        fail(n.op + " '" + n.name + "' pools over other axes than height and width");
    Window win{k[1], k[2], s[1], s[2]};
    const bool absorb = isMax && absorbablePads(x, -std::numeric_limits<double>::infinity());
    if (absorb)
        win.pads = {x.padBegin[2], x.padBegin[3], x.padEnd[2], x.padEnd[3]};
    const std::string in = absorb ? x.name : toLayout(x, kNhwcAsNchw);
    placeWindow(n, win, x.shape[1], x.shape[2]);
    // SAME average pooling divides by the covered part of the window: ONNX's
    // count_include_pad = 0, the default.
    onnx::NodeProto& node = addNode(isMax ? "MaxPool" : "AveragePool", n.name, {in});
    setAttr(node, "kernel_shape", std::vector<int64_t>{win.kh, win.kw});
    setAttr(node, "strides", std::vector<int64_t>{win.sh, win.sw});
    setAttr(node, "pads", win.pads);
    setOutput(n,
              dynamic(node.output(0), {x.shape[0], win.outH, win.outW, x.shape[3]}, kNhwcAsNchw));
}

void Converter::pad(const Node& n)
{
    Value x = dynamicInput(n, 0);
    flushPad(x);
    const HostTensor& p = constInput(n, 1);
    const size_t rank = x.shape.size();
    if (p.shape != std::vector<int64_t>{int64_t(rank), 2})
        fail("Pad '" + n.name + "' has paddings of shape " + str(p.shape));
    double value = 0;
    if (n.op == "PadV2")
        value = constInput(n, 2).values.at(0);
    x.padded = true;
    x.padValue = value;
    x.padBegin.assign(rank, 0);
    x.padEnd.assign(rank, 0);
    for (size_t j = 0; j < rank; ++j) {
        const size_t a = size_t(x.layout[j]);
        x.padBegin[j] = int64_t(p.values[2 * a]);
        x.padEnd[j] = int64_t(p.values[2 * a + 1]);
        x.shape[a] += x.padBegin[j] + x.padEnd[j];
        if (x.padBegin[j] < 0 || x.padEnd[j] < 0)
            fail("Pad '" + n.name + "' crops");
    }
    x.convBias.clear();
    x.transposed.clear();
    setOutput(n, std::move(x));
}

void Converter::binary(const Node& n, const std::string& op)
{
    Value& a = input(n, 0);
    Value& b = input(n, 1);
    if (!a.isConst && !b.isConst) {
        if (a.shape != b.shape)
            fail(n.op + " '" + n.name + "' broadcasts " + str(a.shape) + " against " +
                 str(b.shape) + "; only equal shapes are supported between computed tensors");
        flushPad(a);
        const std::string bName = toLayout(b, a.layout);
        onnx::NodeProto& node = addNode(op, n.name, {a.name, bName});
        setOutput(n, dynamic(node.output(0), a.shape, a.layout));
        return;
    }

    const bool constFirst = a.isConst;
    Value& x = constFirst ? b : a;
    const HostTensor& c = constFirst ? a.constant : b.constant;
    const std::string& xKey = n.inputs[constFirst ? 1 : 0];
    const size_t rank = x.shape.size();
    if (c.shape.size() > rank)
        fail(n.op + " '" + n.name + "' broadcasts the computed tensor up");
    std::vector<int64_t> cShape(rank - c.shape.size(), 1);
    cShape.insert(cShape.end(), c.shape.begin(), c.shape.end());
    for (size_t i = 0; i < rank; ++i)
        if (cShape[i] != 1 && cShape[i] != x.shape[i])
            fail(n.op + " '" + n.name + "' broadcasts " + str(c.shape) + " onto " + str(x.shape));

    // A bias added to a convolution's own output goes into the convolution.
    const bool channelVector =
        rank == 4 && x.layout == kNhwcAsNchw && c.size() == x.shape[3] && cShape[3] == x.shape[3];
    if (op == "Add" && !x.convBias.empty() && m_consumers[xKey] == 1 && channelVector) {
        onnx::TensorProto* bias = initializer(x.convBias);
        std::string& raw = *bias->mutable_raw_data();
        for (size_t i = 0; i < c.values.size(); ++i) {
            float f;
            std::memcpy(&f, &raw[4 * i], 4);
            f += float(c.values[i]);
            std::memcpy(&raw[4 * i], &f, 4);
        }
        setOutput(n, x);
        return;
    }
    // Adding zero, multiplying or dividing by one: nothing to do.
    const double neutral = op == "Mul" || op == "Div" ? 1.0 : 0.0;
    const bool neutralConst =
        std::all_of(c.values.begin(), c.values.end(), [neutral](double v) { return v == neutral; });
    if (neutralConst && !(constFirst && (op == "Sub" || op == "Div"))) {
        Value out = x;
        out.convBias.clear();
        setOutput(n, std::move(out));
        return;
    }

    flushPad(x);
    HostTensor expanded = c;
    expanded.shape = cShape;
    std::vector<int64_t> stored;
    for (int l : x.layout)
        stored.push_back(cShape[size_t(l)]);
    const std::vector<double> values = permuted(expanded, x.layout);
    const std::string cName =
        addFloats(n.name + "/operand", c.size() == 1 ? std::vector<int64_t>{1} : stored, values);
    onnx::NodeProto& node = addNode(op, n.name,
                                    constFirst ? std::vector<std::string>{cName, x.name}
                                               : std::vector<std::string>{x.name, cName});
    setOutput(n, dynamic(node.output(0), x.shape, x.layout));
}

void Converter::concat(const Node& n)
{
    const size_t count = n.inputs.size() - 1;
    int64_t axis = int64_t(constInput(n, count).values.at(0));
    Value& first = dynamicInput(n, 0);
    flushPad(first);
    const Layout layout = first.layout;
    axis = normalizeAxis(axis, first.shape.size());
    std::vector<std::string> names;
    std::vector<int64_t> shape = first.shape;
    shape[size_t(axis)] = 0;
    for (size_t i = 0; i < count; ++i) {
        Value& v = dynamicInput(n, i);
        names.push_back(toLayout(v, layout));
        shape[size_t(axis)] += v.shape[size_t(axis)];
    }
    onnx::NodeProto& node = addNode("Concat", n.name, names);
    setAttr(node, "axis", int64_t(inverse(layout)[size_t(axis)]));
    setOutput(n, dynamic(node.output(0), shape, layout));
}

void Converter::resize(const Node& n)
{
    Value& x = dynamicInput(n, 0);
    if (x.shape.size() != 4)
        fail("ResizeBilinear '" + n.name + "' on a tensor that is not 4-D");
    const std::vector<int64_t> size = ints(constInput(n, 1));
    const std::string in = toLayout(x, kNhwcAsNchw);
    const std::string roi = addFloats(n.name + "/roi", {0}, {});
    const std::string scales = addFloats(n.name + "/scales", {0}, {});
    const std::string sizes =
        addInt64s(n.name + "/sizes", {x.shape[0], x.shape[3], size[0], size[1]});
    onnx::NodeProto& node = addNode("Resize", n.name, {in, roi, scales, sizes});
    setAttr(node, "mode", "linear");
    setAttr(node, "coordinate_transformation_mode",
            n.attrBool("align_corners", false)        ? "align_corners"
            : n.attrBool("half_pixel_centers", false) ? "half_pixel"
                                                      : "asymmetric");
    setOutput(n, dynamic(node.output(0), {x.shape[0], size[0], size[1], x.shape[3]}, kNhwcAsNchw));
}

void Converter::split(const Node& n, bool variable)
{
    // SplitV(value, sizes, axis); Split(axis, value).
    Value& x = dynamicInput(n, variable ? 0 : 1);
    flushPad(x);
    const int64_t axis =
        normalizeAxis(int64_t(constInput(n, variable ? 2 : 0).values.at(0)), x.shape.size());
    const int64_t parts = n.attrInt("num_split", 1);
    std::vector<int64_t> sizes;
    if (variable) {
        sizes = ints(constInput(n, 1));
        int64_t known = 0, unknown = -1;
        for (size_t i = 0; i < sizes.size(); ++i)
            sizes[i] == -1 ? unknown = int64_t(i) : known += sizes[i];
        if (unknown >= 0)
            sizes[size_t(unknown)] = x.shape[size_t(axis)] - known;
    } else {
        sizes.assign(size_t(parts), x.shape[size_t(axis)] / parts);
    }
    onnx::NodeProto& node = addNode("Split", n.name, {x.name}, int(sizes.size()));
    setAttr(node, "axis", int64_t(inverse(x.layout)[size_t(axis)]));
    setAttr(node, "split", sizes);
    for (size_t i = 0; i < sizes.size(); ++i) {
        std::vector<int64_t> shape = x.shape;
        shape[size_t(axis)] = sizes[i];
        setOutput(n, dynamic(node.output(int(i)), shape, x.layout), int(i));
    }
}

void Converter::reshape(const Node& n, std::vector<int64_t> shape)
{
    Value& x = dynamicInput(n, 0);
    shape = resolveShape(shape, elementCount(x.shape));
    const std::string in = toLayout(x, identity(x.shape.size()));
    const std::string s = addInt64s(n.name + "/shape", shape);
    onnx::NodeProto& node = addNode("Reshape", n.name, {in, s});
    setOutput(n, dynamic(node.output(0), shape, identity(shape.size())));
}

// A mean over two axes of a 4-D tensor is a global average pooling with
// those axes stored last.
void Converter::mean(const Node& n)
{
    Value& x = dynamicInput(n, 0);
    std::vector<int64_t> axes = ints(constInput(n, 1));
    if (x.shape.size() != 4 || axes.size() != 2)
        fail("Mean '" + n.name + "' is not over two axes of a 4-D tensor");
    for (auto& a : axes)
        a = normalizeAxis(a, 4);
    std::sort(axes.begin(), axes.end());
    Layout target;
    for (int a = 0; a < 4; ++a)
        if (a != axes[0] && a != axes[1])
            target.push_back(a);
    target.push_back(int(axes[0]));
    target.push_back(int(axes[1]));
    // The stored order closest to the present one avoids a transpose.
    const std::string in = toLayout(x, target);
    onnx::NodeProto& node = addNode("GlobalAveragePool", n.name, {in});
    std::vector<int64_t> shape = x.shape;
    shape[size_t(axes[0])] = shape[size_t(axes[1])] = 1;
    if (n.attrBool("keep_dims", false)) {
        setOutput(n, dynamic(node.output(0), shape, target));
        return;
    }
    // Drop the two unit axes: a reshape of the pooled [N, C, 1, 1].
    const std::vector<int64_t> flat{shape[size_t(target[0])], shape[size_t(target[1])]};
    const std::string s = addInt64s(n.name + "/shape", flat);
    onnx::NodeProto& r = addNode("Reshape", n.name + "/squeezed", {node.output(0), s});
    setOutput(n, dynamic(r.output(0), flat, {0, 1}));
}

void Converter::transpose(const Node& n)
{
    Value x = dynamicInput(n, 0);
    Layout perm;
    for (double p : constInput(n, 1).values)
        perm.push_back(int(p));
    if (perm.size() != x.shape.size())
        fail("Transpose '" + n.name + "' has a permutation of the wrong length");
    // Output axis i is input axis perm[i]; the data stays where it is.
    const Layout inv = inverse(perm);
    std::vector<int64_t> shape;
    for (int p : perm)
        shape.push_back(x.shape[size_t(p)]);
    for (int& l : x.layout)
        l = inv[size_t(l)];
    x.shape = shape;
    x.convBias.clear();
    x.transposed.clear();
    setOutput(n, std::move(x));
}

} // namespace

ConvertResult convert(const Model& model, const ConvertOptions& options)
{
    return Converter(model, options).run();
}

std::string serialize(const onnx::ModelProto& model)
{
    std::string bytes;
    {
        google::protobuf::io::StringOutputStream sink(&bytes);
        google::protobuf::io::CodedOutputStream stream(&sink);
        stream.SetSerializationDeterministic(true);
        if (!model.SerializeToCodedStream(&stream))
            fail("cannot serialise the ONNX model");
    }
    return bytes;
}

} // namespace tfjs
