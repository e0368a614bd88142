#include "Concatenation.h"

#include "DnnlBuilder.h"
#include "Primitives.h"
#include "ShapeFolding.h"

std::optional<OnnxConstant> Concatenation::fold(const OnnxNode& node, const OnnxGraph& graph) const
{
    if (node.inputs.empty() || !ShapeFolding::allConstant(node, graph))
        return std::nullopt;
    return ShapeFolding::concatenated(node, graph);
}

std::vector<Operator::Shape> Concatenation::read(OnnxNode& node, const OnnxGraph& graph) const
{
    node.checkArity(1, 1 << 16, 1);
    const Shape& x = graph.shapeOf(node.input(0));
    auto a = std::make_shared<Attributes>();
    a->axis = int(ShapeMath::axis(node.intAttr("axis", 1), x.size()));
    Shape y = x;
    y[size_t(a->axis)] = 0;
    for (const std::string& input : node.inputs) {
        if (input.empty() || graph.isConstant(input))
            refuse(node.label() + " of a constant at run time");
        const Shape& part = graph.shapeOf(input);
        for (size_t d = 0; d < x.size(); ++d) {
            if (part.size() != x.size() || (int(d) != a->axis && part[d] != x[d]))
                malformed(node.label() + " of parts whose shapes do not fit together");
        }
        y[size_t(a->axis)] += part[size_t(a->axis)];
    }
    node.parsed = std::move(a);
    return {y};
}

void Concatenation::build(const OnnxNode& node, DnnlBuilder& builder) const
{
    const int axis = node.attributes<Attributes>().axis;
    std::vector<int> sources;
    for (const std::string& input : node.inputs)
        sources.push_back(builder.viewOf(input));
    auto make = [&] {
        std::vector<DnnlBuilder::md> descs;
        for (int s : sources)
            descs.push_back(builder.descOf(s));
        return dnnl::concat::primitive_desc(axis, descs, builder.engine());
    };
    dnnl::concat::primitive_desc pd;
    try {
        pd = make();
    } catch (const dnnl::error&) {
        // Parts in layouts that do not go together: all of them plain.
        for (size_t i = 0; i < sources.size(); ++i)
            sources[i] = builder.inLayout(
                sources[i], DnnlBuilder::plain(builder.graph().shapeOf(node.inputs[i])));
        pd = Primitives::described(node, make);
    }
    const int dst = builder.newTensor(pd.dst_desc());
    std::unordered_map<int, int> args{{DNNL_ARG_DST, dst}};
    for (size_t i = 0; i < sources.size(); ++i)
        args[DNNL_ARG_MULTIPLE_SRC + int(i)] = sources[i];
    if (axis == 1)
        builder.noteConcatenation(sources, dst);
    builder.addStep(dnnl::concat(pd), std::move(args));
    builder.setView(node.outputs[0], dst);
}
