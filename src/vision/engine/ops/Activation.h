#pragma once

#include "Operator.h"

#include <dnnl.hpp>

// Relu, LeakyRelu, Clip and Sigmoid: one oneDNN element-wise operation each,
// on their own or as post-ops of the convolution before them.
class Activation final : public Operator
{
public:
    struct Attributes final : OperatorAttributes
    {
        dnnl::algorithm algorithm = dnnl::algorithm::eltwise_relu;
        float alpha = 0.f;
        float beta = 0.f;
    };

    std::vector<Shape> read(OnnxNode& node, const OnnxGraph& graph) const override;
    void build(const OnnxNode& node, DnnlBuilder& builder) const override;

    // Appends what `node` computes to a primitive's post-ops.
    static void appendTo(dnnl::post_ops& ops, const OnnxNode& node);
};
