#pragma once

#include "Operator.h"

// The operators that only compute sizes from shapes known at load: Constant,
// Shape, Slice, Gather, Unsqueeze, Squeeze, Cast and Identity. Each is
// evaluated as the graph is read and becomes a constant; none runs in a pass.
class ShapeFolding final : public Operator
{
public:
    std::optional<OnnxConstant> fold(const OnnxNode& node, const OnnxGraph& graph) const override;
    // Refuses: these run at load or not at all.
    std::vector<Shape> read(OnnxNode& node, const OnnxGraph& graph) const override;
    void build(const OnnxNode& node, DnnlBuilder& builder) const override;

    // Concat of integer vectors, as Concatenation folds it.
    static OnnxConstant concatenated(const OnnxNode& node, const OnnxGraph& graph);
    // Whether every input the node is given is a constant.
    static bool allConstant(const OnnxNode& node, const OnnxGraph& graph);
};
