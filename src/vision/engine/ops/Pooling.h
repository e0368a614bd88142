#pragma once

#include "Operator.h"

// MaxPool: 2-D, with padding, strides and rounding up (ceil_mode); without
// dilations, indices or a storage order.
class Pooling final : public Operator
{
public:
    struct Attributes final : OperatorAttributes
    {
        std::vector<int64_t> kernel;
        std::vector<int64_t> pads; // top, left, bottom, right
        std::vector<int64_t> strides;
        bool ceil = false;
    };

    std::vector<Shape> read(OnnxNode& node, const OnnxGraph& graph) const override;
    void build(const OnnxNode& node, DnnlBuilder& builder) const override;
};
