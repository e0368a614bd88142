#include "Arithmetic.h"

#include "DnnlBuilder.h"
#include "Primitives.h"

using dnnl::algorithm;

std::vector<Operator::Shape> Arithmetic::read(OnnxNode& node, const OnnxGraph& graph) const
{
    node.checkArity(2, 2, 1);
    auto a = std::make_shared<Attributes>();
    a->kind = node.op == "Add"   ? algorithm::binary_add
              : node.op == "Mul" ? algorithm::binary_mul
                                 : algorithm::binary_sub;
    const std::string& first = node.input(0);
    const std::string& second = node.input(1);
    const Shape y = ShapeMath::broadcast(graph.shapeOrDims(first), graph.shapeOrDims(second));
    const bool firstConstant = graph.isConstant(first);
    const bool secondConstant = graph.isConstant(second);
    if (firstConstant && secondConstant)
        refuse(node.label() + " of two constants");
    const std::string& number = firstConstant ? first : second;
    if ((firstConstant || secondConstant) && graph.constant(number).count() == 1) {
        a->form = Form::withNumber;
        a->number = graph.constant(number).toFloats()[0];
        a->numberFirst = firstConstant;
        a->tensor = firstConstant ? second : first;
    } else if (secondConstant && a->kind != algorithm::binary_sub) {
        a->form = Form::withConstant;
        a->tensor = first;
    } else if (firstConstant || secondConstant) {
        refuse(node.label() + " with a constant of that side or kind");
    } else {
        a->form = Form::ofTensors;
    }
    const std::string& tensor = a->form == Form::ofTensors ? first : a->tensor;
    if (graph.shapeOf(tensor) != y || (a->form == Form::ofTensors && graph.shapeOf(second) != y))
        refuse(node.label() + " that broadcasts a tensor computed at run time");
    node.parsed = std::move(a);
    return {y};
}

void Arithmetic::build(const OnnxNode& node, DnnlBuilder& builder) const
{
    const Attributes& a = node.attributes<Attributes>();
    int dst;
    if (a.form == Form::withNumber)
        dst = buildWithNumber(node, a, builder);
    else if (a.form == Form::withConstant)
        dst = buildWithConstant(node, a, builder);
    else
        dst = buildOfTensors(node, a, builder);
    builder.setView(node.outputs[0], dst);
}

int Arithmetic::buildWithNumber(const OnnxNode& node, const Attributes& a, DnnlBuilder& builder)
{
    // alpha * x + beta.
    float alpha = 1.f, beta = 0.f;
    if (a.kind == algorithm::binary_add)
        beta = a.number;
    else if (a.kind == algorithm::binary_mul)
        alpha = a.number;
    else if (a.numberFirst) // c - x
        alpha = -1.f, beta = a.number;
    else // x - c
        beta = -a.number;
    const int src = builder.viewOf(a.tensor);
    const auto pd = Primitives::described(node, [&] {
        const dnnl::eltwise_forward::desc d(dnnl::prop_kind::forward_inference,
                                            algorithm::eltwise_linear, builder.descOf(src), alpha,
                                            beta);
        return dnnl::eltwise_forward::primitive_desc(d, builder.engine());
    });
    const int dst = builder.newTensor(pd.dst_desc());
    builder.addStep(dnnl::eltwise_forward(pd), {{DNNL_ARG_SRC, src}, {DNNL_ARG_DST, dst}});
    return dst;
}

int Arithmetic::buildWithConstant(const OnnxNode& node, const Attributes& a, DnnlBuilder& builder)
{
    // The constant (one value per channel, say) as the second operand, in
    // its plain layout, of the rank of the result.
    const std::vector<int64_t>& y = builder.graph().shapeOf(node.outputs[0]);
    const OnnxConstant& c = builder.graph().constant(node.input(1));
    std::vector<int64_t> dims = c.dims;
    dims.insert(dims.begin(), y.size() - dims.size(), 1);
    const DnnlBuilder::md operandDesc = DnnlBuilder::plain(dims);
    const dnnl::memory operand =
        builder.addWeights(c, operandDesc, operandDesc, "operand of " + node.label());
    const int src0 = builder.viewOf(a.tensor);
    const auto pd = Primitives::described(node, [&] {
        const dnnl::binary::desc d(a.kind, builder.descOf(src0), operandDesc, DnnlBuilder::any(y));
        return dnnl::binary::primitive_desc(d, builder.engine());
    });
    const int dst = builder.newTensor(pd.dst_desc());
    builder.addStep(dnnl::binary(pd), {{DNNL_ARG_SRC_0, src0}, {DNNL_ARG_DST, dst}},
                    {{DNNL_ARG_SRC_1, operand}});
    return dst;
}

int Arithmetic::buildOfTensors(const OnnxNode& node, const Attributes& a, DnnlBuilder& builder)
{
    const std::vector<int64_t>& y = builder.graph().shapeOf(node.outputs[0]);
    const int src0 = builder.viewOf(node.input(0));
    const DnnlBuilder::md first = builder.descOf(src0);
    const int src1 = builder.inLayout(builder.viewOf(node.input(1)), first);
    const auto pd = Primitives::described(node, [&] {
        const dnnl::binary::desc d(a.kind, first, first, DnnlBuilder::any(y));
        return dnnl::binary::primitive_desc(d, builder.engine());
    });
    const int dst = builder.newTensor(pd.dst_desc());
    builder.addStep(dnnl::binary(pd),
                    {{DNNL_ARG_SRC_0, src0}, {DNNL_ARG_SRC_1, src1}, {DNNL_ARG_DST, dst}});
    return dst;
}
