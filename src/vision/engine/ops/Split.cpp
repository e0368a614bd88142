#include "Split.h"

#include "DnnlBuilder.h"
#include "Primitives.h"

std::vector<Operator::Shape> Split::read(OnnxNode& node, const OnnxGraph& graph) const
{
    node.checkArity(1, 2, node.outputs.size());
    const Shape& x = graph.shapeOf(node.input(0));
    auto a = std::make_shared<Attributes>();
    a->axis = size_t(ShapeMath::axis(node.intAttr("axis", 0), x.size()));
    const int64_t whole = x[a->axis];
    const int64_t count = int64_t(node.outputs.size());
    std::vector<int64_t> parts = node.intsAttr("split", {});
    if (!node.input(1).empty()) {
        const OnnxConstant& given = graph.constant(node.input(1));
        if (!given.isInt)
            malformed(node.label() + " into parts that are not integers");
        parts = given.ints;
    }
    if (parts.empty()) {
        if (whole % count)
            malformed(node.label() + " of " + std::to_string(whole) + " into " +
                      std::to_string(count) + " equal parts");
        parts.assign(size_t(count), whole / count);
    }
    int64_t total = 0;
    for (int64_t part : parts) {
        if (part < 1 || part > whole)
            malformed(node.label() + " into a part of " + std::to_string(part));
        total += part;
    }
    if (int64_t(parts.size()) != count || total != whole)
        malformed(node.label() + " into parts that do not add up");
    std::vector<Shape> shapes;
    for (int64_t part : parts) {
        Shape y = x;
        y[a->axis] = part;
        shapes.push_back(y);
    }
    node.parsed = std::move(a);
    return shapes;
}

void Split::build(const OnnxNode& node, DnnlBuilder& builder) const
{
    const size_t axis = node.attributes<Attributes>().axis;
    const std::vector<int64_t>& x = builder.graph().shapeOf(node.input(0));
    int src = builder.viewOf(node.input(0));
    int64_t offset = 0;
    for (const std::string& output : node.outputs) {
        const std::vector<int64_t>& part = builder.graph().shapeOf(output);
        dnnl::memory::dims offsets(x.size(), 0);
        offsets[axis] = offset;
        DnnlBuilder::md piece;
        try {
            piece = builder.descOf(src).submemory_desc(Primitives::dimsOf(part), offsets);
        } catch (const dnnl::error&) {
            // Not at a block's edge: cut from the plain layout.
            src = builder.inLayout(src, DnnlBuilder::plain(x));
            piece = builder.descOf(src).submemory_desc(Primitives::dimsOf(part), offsets);
        }
        const int dst = builder.newTensor(DnnlBuilder::plain(part));
        builder.addReorder(builder.viewOver(piece, src), dst);
        builder.setView(output, dst);
        offset += part[axis];
    }
}
