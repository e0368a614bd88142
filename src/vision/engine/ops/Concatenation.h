#pragma once

#include "Operator.h"

// Concat: of tensors along an axis in a pass (along channels, its parts are
// written straight into their place where the buffer planner can), or of
// size vectors at load.
class Concatenation final : public Operator
{
public:
    struct Attributes final : OperatorAttributes
    {
        int axis = 1;
    };

    std::optional<OnnxConstant> fold(const OnnxNode& node, const OnnxGraph& graph) const override;
    std::vector<Shape> read(OnnxNode& node, const OnnxGraph& graph) const override;
    void build(const OnnxNode& node, DnnlBuilder& builder) const override;
};
