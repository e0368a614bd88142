#include "Activation.h"

#include "DnnlBuilder.h"
#include "Primitives.h"

#include <cmath>

namespace {

// A bound of Clip: an input (from opset 11), an attribute before it.
float clipBound(const OnnxNode& node, const OnnxGraph& graph, size_t input, const char* attribute,
                float fallback)
{
    const std::string& name = node.input(input);
    if (name.empty())
        return node.floatAttr(attribute, fallback);
    const OnnxConstant& c = graph.constant(name);
    if (c.count() != 1)
        malformed(node.label() + " has a bound of " + std::to_string(c.count()) + " values");
    return c.toFloats()[0];
}

} // namespace

std::vector<Operator::Shape> Activation::read(OnnxNode& node, const OnnxGraph& graph) const
{
    auto a = std::make_shared<Attributes>();
    if (node.op == "Clip") {
        node.checkArity(1, 3, 1);
        a->algorithm = dnnl::algorithm::eltwise_clip;
        a->alpha = clipBound(node, graph, 1, "min", -INFINITY);
        a->beta = clipBound(node, graph, 2, "max", INFINITY);
        if (std::isnan(a->alpha) || std::isnan(a->beta))
            malformed(node.label() + " has a bound that is not a number");
    } else {
        node.checkArity(1, 1, 1);
        if (node.op == "LeakyRelu")
            a->alpha = node.floatAttr("alpha", 0.01f);
        else if (node.op == "Sigmoid")
            a->algorithm = dnnl::algorithm::eltwise_logistic;
    }
    node.parsed = std::move(a);
    return {graph.shapeOf(node.input(0))};
}

void Activation::appendTo(dnnl::post_ops& ops, const OnnxNode& node)
{
    const Attributes& a = node.attributes<Attributes>();
    ops.append_eltwise(1.f, a.algorithm, a.alpha, a.beta);
}

void Activation::build(const OnnxNode& node, DnnlBuilder& builder) const
{
    const Attributes& a = node.attributes<Attributes>();
    int src = builder.viewOf(node.input(0));
    auto describe = [&] {
        const dnnl::eltwise_forward::desc d(dnnl::prop_kind::forward_inference, a.algorithm,
                                            builder.descOf(src), a.alpha, a.beta);
        return dnnl::eltwise_forward::primitive_desc(d, builder.engine());
    };
    auto pd = Primitives::described(node, describe);
    // A layout only the reference code takes (a few channels padded to a
    // block): the plain one, which the fast code takes.
    if (Primitives::isReference(pd)) {
        src = builder.inLayout(src, DnnlBuilder::plain(builder.graph().shapeOf(node.input(0))));
        pd = Primitives::described(node, describe);
    }
    const int dst = builder.newTensor(pd.dst_desc());
    builder.addStep(dnnl::eltwise_forward(pd), {{DNNL_ARG_SRC, src}, {DNNL_ARG_DST, dst}});
    builder.setView(node.outputs[0], dst);
}
