#pragma once

#include "DnnlBuilder.h"
#include "Operator.h"

#include <dnnl.hpp>

// Conv: 2-D, with groups, dilation, padding and strides, its weights
// reordered once into the layout the chosen implementation reads. The
// activations and the Add that follow it (DnnlBuilder::Fusion) are taken in
// as post-ops.
class Convolution final : public Operator
{
public:
    struct Attributes final : OperatorAttributes
    {
        std::vector<int64_t> weights; // O, I / group, kH, kW
        std::vector<int64_t> pads;    // top, left, bottom, right
        std::vector<int64_t> strides;
        std::vector<int64_t> dilations;
        int64_t group = 1;
        bool bias = false;
    };

    std::vector<Shape> read(OnnxNode& node, const OnnxGraph& graph) const override;
    void build(const OnnxNode& node, DnnlBuilder& builder) const override;

private:
    using Fusion = DnnlBuilder::Fusion;
    using Desc = dnnl::convolution_forward::primitive_desc;

    // How a fused Add is made. The fused operators go in as post-ops, and
    // the Add as a sum into the destination. Where a machine's convolutions
    // take that chain only in their reference code (AVX2, with an activation
    // before the sum), the Add reads its other operand as a binary post-op;
    // where that is refused too, it is a step of its own after the
    // convolution.
    enum class AddAs { sum, binary, step };

    static Desc choose(const OnnxNode& node, DnnlBuilder& builder,
                       const dnnl::primitive_attr& attr);
    static std::pair<Desc, AddAs> chooseFused(const OnnxNode& node, DnnlBuilder& builder,
                                              int addendView);
    static dnnl::primitive_attr postOps(const Fusion& f, AddAs how, const DnnlBuilder& builder,
                                        int addendView);
    static std::unordered_map<int, dnnl::memory> weights(const OnnxNode& node, DnnlBuilder& builder,
                                                         const Desc& pd);
    static int sumDestination(const OnnxNode& node, DnnlBuilder& builder,
                              const dnnl::memory::desc& desc);
    static int separateSum(const Fusion& f, DnnlBuilder& builder, int convolved,
                           const dnnl::memory::desc& desc);
};
