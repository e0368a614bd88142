#pragma once

#include "GraphErrors.h"
#include "ShapeMath.h"

#include <QString>
#include <cstdint>
#include <memory>
#include <string>
#include <typeinfo>
#include <unordered_map>
#include <vector>

namespace onnx {
class ModelProto;
}

class Operator;

// A tensor whose value is known at load: a weight, or a size computed from
// shapes. Floats for FLOAT tensors (a weight's as the file's own bytes,
// taken over without a copy), integers for INT64 and INT32 ones.
struct OnnxConstant
{
    std::vector<int64_t> dims;
    std::vector<float> floats;
    std::string raw; // the floats as little-endian bytes, where `floats` is empty
    std::vector<int64_t> ints;
    bool isInt = false;

    // The number of values (checked when the constant was read).
    int64_t count() const;
    // The values as floats, integers converted.
    std::vector<float> toFloats() const;
    // The float values where the constant holds floats.
    const float* floatData() const;
};

// What an operator reads from its node's attributes, parsed and checked once
// at load (see Operator::read); each operator has its own.
struct OperatorAttributes
{
    virtual ~OperatorAttributes() = default;
};

// One operator of the graph, with its attributes.
struct OnnxNode
{
    std::string op;
    std::string name;
    std::vector<std::string> inputs; // "" for an optional input left out
    std::vector<std::string> outputs;
    std::unordered_map<std::string, int64_t> ints;
    std::unordered_map<std::string, float> floats;
    std::unordered_map<std::string, std::string> strings;
    std::unordered_map<std::string, std::vector<int64_t>> intLists;
    std::unordered_map<std::string, OnnxConstant> tensors;

    // The operator that runs the node, and its attributes as it read them.
    const Operator* kind = nullptr;
    std::shared_ptr<const OperatorAttributes> parsed;

    int64_t intAttr(const std::string& key, int64_t fallback) const;
    float floatAttr(const std::string& key, float fallback) const;
    std::string stringAttr(const std::string& key, const std::string& fallback) const;
    std::vector<int64_t> intsAttr(const std::string& key, std::vector<int64_t> fallback) const;
    // A list that must hold `length` values; MalformedModel where it does not.
    std::vector<int64_t> intsAttr(const std::string& key, std::vector<int64_t> fallback,
                                  size_t length) const;
    // MalformedModel unless each of `values` (the node's `what`: "a stride")
    // lies in [least, ShapeMath::maxWindow].
    void checkRange(const std::string& what, const std::vector<int64_t>& values,
                    int64_t least) const;
    // The input at `i`, or "" where the node has fewer.
    const std::string& input(size_t i) const;
    // MalformedModel unless the node has from `minInputs` to `maxInputs`
    // inputs, the first `minInputs` of them given, and `outputs` outputs.
    void checkArity(size_t minInputs, size_t maxInputs, size_t outputs) const;
    // "Conv conv_3": how reasons name the node.
    std::string label() const;

    template <typename Attributes> const Attributes& attributes() const
    {
        const auto* a = dynamic_cast<const Attributes*>(parsed.get());
        if (!a)
            throw std::bad_cast();
        return *a;
    }
};

// An ONNX network read for the engine: its inputs with their fixed shapes,
// its outputs, the nodes that compute on data in order, the constants by
// name, and the shape of every tensor. Whatever only computes sizes from
// shapes known at load (Shape, Slice, Constant, Concat of sizes, ...) is
// evaluated at load and becomes a constant: the nodes left are the ones a
// forward pass runs. Every node is checked as it is read (OperatorTable
// knows each operator), and every size is in range before it is used.
class OnnxGraph final
{
public:
    using Shape = ShapeMath::Shape;

    struct Input
    {
        std::string name;
        Shape dims;
    };

    // Throws UnsupportedGraph for what the engine cannot run, MalformedModel
    // for a file that is no sound network (or no ONNX model at all), and
    // std::runtime_error for a file that cannot be opened.
    static OnnxGraph read(const QString& path);
    // The same from the bytes of a model.
    static OnnxGraph parse(const std::string& bytes);

    std::vector<Input> inputs;
    std::vector<std::string> outputs;
    std::vector<OnnxNode> nodes;
    std::unordered_map<std::string, OnnxConstant> constants;
    std::unordered_map<std::string, Shape> shapes;

    bool isConstant(const std::string& name) const { return constants.count(name) > 0; }
    // The constant `name`; UnsupportedGraph where it is computed at run time.
    const OnnxConstant& constant(const std::string& name) const;
    OnnxConstant& constant(const std::string& name);
    const Shape& shapeOf(const std::string& name) const;
    // The shape of a tensor or the dimensions of a constant.
    Shape shapeOrDims(const std::string& name) const;
    // Whether `name` is an output of the graph.
    bool isOutput(const std::string& name) const;

private:
    static OnnxGraph fromModel(onnx::ModelProto& model);
    void add(OnnxNode node);
};
