#pragma once

#include "OnnxGraph.h"

#include <optional>
#include <vector>

class DnnlBuilder;

// One operator (or a family of them) of the engine, in one place: how its
// node is read and checked, the shapes it computes, and the primitives that
// compute them. OperatorTable maps ONNX's names to them.
class Operator
{
public:
    using Shape = ShapeMath::Shape;

    virtual ~Operator() = default;

    // The node's value where it only computes sizes from what is known at
    // load (its inputs all constants); nothing where a pass computes it.
    virtual std::optional<OnnxConstant> fold(const OnnxNode& node, const OnnxGraph& graph) const;
    // Checks the node's inputs, outputs and attributes, keeps the attributes
    // in `node.parsed`, and returns the shapes of its outputs, in order.
    // Throws UnsupportedGraph, or MalformedModel.
    virtual std::vector<Shape> read(OnnxNode& node, const OnnxGraph& graph) const = 0;
    // Adds the node's steps to the network being built.
    virtual void build(const OnnxNode& node, DnnlBuilder& builder) const = 0;
};
