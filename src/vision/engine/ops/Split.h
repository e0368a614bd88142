#pragma once

#include "Operator.h"

// Split of a tensor along an axis into parts of sizes known at load, each
// copied out in the plain layout.
class Split final : public Operator
{
public:
    struct Attributes final : OperatorAttributes
    {
        size_t axis = 0;
    };

    std::vector<Shape> read(OnnxNode& node, const OnnxGraph& graph) const override;
    void build(const OnnxNode& node, DnnlBuilder& builder) const override;
};
