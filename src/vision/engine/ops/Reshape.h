#pragma once

#include "Operator.h"

// Reshape to a shape known at load: the values copied out in plain order,
// then seen with the new dimensions.
class Reshape final : public Operator
{
public:
    std::vector<Shape> read(OnnxNode& node, const OnnxGraph& graph) const override;
    void build(const OnnxNode& node, DnnlBuilder& builder) const override;
};
