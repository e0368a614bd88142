#include "ShapeFolding.h"

#include <algorithm>
#include <cmath>
#include <onnx/onnx_pb.h>

namespace {

using ShapeMath::clampedIndex;

// Folded values are sizes and indices: short integer vectors.
constexpr int64_t maxFolded = 1 << 16;
constexpr size_t maxRank = 8;

OnnxConstant intVector(std::vector<int64_t> values)
{
    OnnxConstant c;
    c.dims = {int64_t(values.size())};
    c.ints = std::move(values);
    c.isInt = true;
    return c;
}

// The integers of input `i`, which must be a vector of them (or a scalar).
const std::vector<int64_t>& ints(const OnnxNode& node, const OnnxGraph& graph, size_t i)
{
    const OnnxConstant& c = graph.constant(node.input(i));
    if (!c.isInt)
        refuse(node.label() + " of float values at load");
    if (c.dims.size() > 1 || c.count() > maxFolded)
        refuse(node.label() + " of a constant of rank " + std::to_string(c.dims.size()) +
               " at load");
    return c.ints;
}

// The first integer of input `i`, or `fallback` where it is left out.
int64_t firstInt(const OnnxNode& node, const OnnxGraph& graph, size_t i, int64_t fallback)
{
    if (node.input(i).empty())
        return fallback;
    const std::vector<int64_t>& values = ints(node, graph, i);
    if (values.size() != 1)
        refuse(node.label() + " of " + std::to_string(values.size()) + " axes at load");
    return values[0];
}

OnnxConstant constantOf(const OnnxNode& node)
{
    node.checkArity(0, 0, 1);
    OnnxConstant c;
    if (node.tensors.count("value")) {
        c = node.tensors.at("value");
    } else if (node.intLists.count("value_ints")) {
        c = intVector(node.intLists.at("value_ints"));
    } else if (node.ints.count("value_int")) {
        c = intVector({node.ints.at("value_int")});
        c.dims.clear(); // a scalar
    } else if (node.floats.count("value_float")) {
        c.floats = {node.floats.at("value_float")};
    } else {
        refuse("a Constant of a kind the engine does not read");
    }
    return c;
}

OnnxConstant shapeOf(const OnnxNode& node, const OnnxGraph& graph)
{
    node.checkArity(1, 1, 1);
    const std::vector<int64_t> dims = graph.shapeOrDims(node.input(0));
    const int64_t rank = int64_t(dims.size());
    const int64_t start = clampedIndex(node.intAttr("start", 0), rank);
    const int64_t end = clampedIndex(node.intAttr("end", rank), rank);
    return intVector(
        std::vector<int64_t>(dims.begin() + start, dims.begin() + std::max(start, end)));
}

// Slice of a vector: its bounds as inputs, or (before opset 10) attributes.
OnnxConstant slice(const OnnxNode& node, const OnnxGraph& graph)
{
    node.checkArity(1, 5, 1);
    const std::vector<int64_t>& data = ints(node, graph, 0);
    const int64_t n = int64_t(data.size());
    int64_t start, end, axis, step;
    if (node.inputs.size() == 1) {
        auto only = [&](const char* key, std::vector<int64_t> fallback) {
            const std::vector<int64_t> values = node.intsAttr(key, std::move(fallback));
            if (values.size() != 1)
                refuse(node.label() + " of " + std::to_string(values.size()) + " axes at load");
            return values[0];
        };
        start = only("starts", {});
        end = only("ends", {});
        axis = only("axes", {0});
        step = 1;
    } else {
        node.checkArity(3, 5, 1);
        start = firstInt(node, graph, 1, 0);
        end = firstInt(node, graph, 2, 0);
        axis = firstInt(node, graph, 3, 0);
        step = firstInt(node, graph, 4, 1);
    }
    if (ShapeMath::axis(axis, 1) != 0 || step != 1)
        refuse(node.label() + " with a step at load");
    start = clampedIndex(start, n);
    end = clampedIndex(end, n);
    return intVector(
        std::vector<int64_t>(data.begin() + start, data.begin() + std::max(start, end)));
}

OnnxConstant gathered(const OnnxNode& node, const OnnxGraph& graph)
{
    node.checkArity(2, 2, 1);
    if (ShapeMath::axis(node.intAttr("axis", 0), 1) != 0)
        refuse(node.label() + " along other than the first axis at load");
    const std::vector<int64_t>& data = ints(node, graph, 0);
    const std::vector<int64_t>& index = ints(node, graph, 1);
    const int64_t n = int64_t(data.size());
    std::vector<int64_t> picked;
    for (int64_t i : index) {
        if (i < -n || i >= n)
            malformed(node.label() + " of index " + std::to_string(i) + " in " + std::to_string(n) +
                      " values");
        picked.push_back(data[size_t(i < 0 ? i + n : i)]);
    }
    OnnxConstant out = intVector(std::move(picked));
    out.dims = graph.constant(node.input(1)).dims;
    return out;
}

// Unsqueeze, Squeeze: the values stay, the dimensions change.
OnnxConstant resqueezed(const OnnxNode& node, const OnnxGraph& graph)
{
    node.checkArity(1, 2, 1);
    OnnxConstant out = graph.constant(node.input(0));
    std::vector<int64_t> axes = node.intsAttr("axes", {});
    if (!node.input(1).empty())
        axes = ints(node, graph, 1);
    const size_t rank = node.op == "Unsqueeze" ? out.dims.size() + axes.size() : out.dims.size();
    if (rank > maxRank)
        refuse(node.label() + " to rank " + std::to_string(rank));
    for (int64_t& a : axes)
        a = ShapeMath::axis(a, rank);
    std::sort(axes.begin(), axes.end());
    if (std::adjacent_find(axes.begin(), axes.end()) != axes.end())
        malformed(node.label() + " names one of its axes twice");
    if (node.op == "Unsqueeze") {
        for (int64_t a : axes)
            out.dims.insert(out.dims.begin() + a, 1);
        return out;
    }
    std::vector<int64_t> kept;
    for (size_t d = 0; d < out.dims.size(); ++d) {
        const bool named = std::binary_search(axes.begin(), axes.end(), int64_t(d));
        if (named && out.dims[d] != 1)
            malformed(node.label() + " of a dimension of " + std::to_string(out.dims[d]));
        if (!(out.dims[d] == 1 && (axes.empty() || named)))
            kept.push_back(out.dims[d]);
    }
    out.dims = kept;
    return out;
}

// Identity, or Cast between floats and integers.
OnnxConstant cast(const OnnxNode& node, const OnnxGraph& graph)
{
    node.checkArity(1, 1, 1);
    OnnxConstant out = graph.constant(node.input(0));
    if (node.op != "Cast")
        return out;
    const int64_t to = node.intAttr("to", 0);
    const bool toInt = to == onnx::TensorProto::INT64 || to == onnx::TensorProto::INT32;
    if (toInt && !out.isInt) {
        for (float f : out.toFloats()) {
            if (!(std::fabs(f) < 9.2e18f))
                malformed(node.label() + " of " + std::to_string(f) + " to an integer");
            out.ints.push_back(int64_t(f));
        }
        out.floats.clear();
        out.raw.clear();
        out.isInt = true;
    } else if (to == onnx::TensorProto::FLOAT && out.isInt) {
        out.floats = out.toFloats();
        out.ints.clear();
        out.isInt = false;
    } else if (!toInt && to != onnx::TensorProto::FLOAT) {
        refuse(node.label() + " to a type the engine does not have");
    }
    return out;
}

} // namespace

bool ShapeFolding::allConstant(const OnnxNode& node, const OnnxGraph& graph)
{
    return std::all_of(node.inputs.begin(), node.inputs.end(), [&](const std::string& input) {
        return input.empty() || graph.isConstant(input);
    });
}

std::optional<OnnxConstant> ShapeFolding::fold(const OnnxNode& node, const OnnxGraph& graph) const
{
    const std::string& op = node.op;
    if (op == "Constant")
        return constantOf(node);
    if (op == "Shape")
        return shapeOf(node, graph);
    if (!allConstant(node, graph))
        return std::nullopt;
    if (op == "Slice")
        return slice(node, graph);
    if (op == "Gather")
        return gathered(node, graph);
    if (op == "Unsqueeze" || op == "Squeeze")
        return resqueezed(node, graph);
    return cast(node, graph);
}

OnnxConstant ShapeFolding::concatenated(const OnnxNode& node, const OnnxGraph& graph)
{
    std::vector<int64_t> all;
    for (size_t i = 0; i < node.inputs.size(); ++i) {
        const std::vector<int64_t>& part = ints(node, graph, i);
        all.insert(all.end(), part.begin(), part.end());
        if (int64_t(all.size()) > maxFolded)
            refuse(node.label() + " of more than " + std::to_string(maxFolded) + " values at load");
    }
    return intVector(std::move(all));
}

std::vector<Operator::Shape> ShapeFolding::read(OnnxNode& node, const OnnxGraph&) const
{
    refuse(node.label() + " of values computed at run time");
}

void ShapeFolding::build(const OnnxNode& node, DnnlBuilder&) const
{
    refuse(node.label() + " of values computed at run time");
}
