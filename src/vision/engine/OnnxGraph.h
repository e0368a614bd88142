#pragma once

#include <QString>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

namespace onnx {
class ModelProto;
}

// A graph the engine cannot run (an operator it does not have, a shape it
// cannot know at load): the network falls back to OpenCV's DNN module.
class UnsupportedGraph final : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// A tensor whose value is known at load: a weight, or a size computed from
// shapes. Floats for FLOAT tensors, integers for INT64 and INT32 ones.
struct OnnxConstant
{
    std::vector<int64_t> dims;
    std::vector<float> floats;
    std::vector<int64_t> ints;
    bool isInt = false;

    int64_t count() const;
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

    int64_t intAttr(const std::string& key, int64_t fallback) const;
    float floatAttr(const std::string& key, float fallback) const;
    std::string stringAttr(const std::string& key, const std::string& fallback) const;
    std::vector<int64_t> intsAttr(const std::string& key, std::vector<int64_t> fallback) const;
    // The input at `i`, or "" where the node has fewer.
    const std::string& input(size_t i) const;
};

// An ONNX network read for the engine: its inputs with their fixed shapes,
// its outputs, the nodes that compute on data in order, the constants by
// name, and the shape of every tensor. Whatever only computes sizes from
// shapes known at load (Shape, Slice, Constant, Concat of sizes, ...) is
// evaluated at load and becomes a constant: the nodes left are the ones a
// forward pass runs.
class OnnxGraph final
{
public:
    struct Input
    {
        std::string name;
        std::vector<int64_t> dims;
    };

    // Throws UnsupportedGraph for what the engine cannot run, and
    // std::runtime_error for a file that cannot be read.
    static OnnxGraph read(const QString& path);
    // The same from the bytes of a model.
    static OnnxGraph parse(const std::string& bytes);

    std::vector<Input> inputs;
    std::vector<std::string> outputs;
    std::vector<OnnxNode> nodes;
    std::unordered_map<std::string, OnnxConstant> constants;
    std::unordered_map<std::string, std::vector<int64_t>> shapes;

    bool isConstant(const std::string& name) const { return constants.count(name) > 0; }
    const std::vector<int64_t>& shapeOf(const std::string& name) const;
    // How many nodes read `name` (and whether it is an output of the graph).
    int readers(const std::string& name) const;
    bool isOutput(const std::string& name) const;

    // The operators a forward pass may hold.
    static const std::vector<std::string>& computeOps();

private:
    static OnnxGraph fromModel(onnx::ModelProto& model);
    void add(OnnxNode node);
    bool fold(const OnnxNode& node);
    void inferShapes(const OnnxNode& node);
};
