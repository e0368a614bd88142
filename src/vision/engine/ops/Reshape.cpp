#include "Reshape.h"

#include "DnnlBuilder.h"

std::vector<Operator::Shape> Reshape::read(OnnxNode& node, const OnnxGraph& graph) const
{
    node.checkArity(2, 2, 1);
    const Shape& x = graph.shapeOf(node.input(0));
    const OnnxConstant& shape = graph.constant(node.input(1));
    if (!shape.isInt || shape.dims.size() != 1)
        malformed(node.label() + " to a shape that is not a vector of integers");
    Shape y = shape.ints;
    const int64_t total = ShapeMath::elements(x, "the input of " + node.label());
    int64_t known = 1;
    int unknown = -1;
    for (size_t d = 0; d < y.size(); ++d) {
        if (y[d] == 0 && d < x.size() && node.intAttr("allowzero", 0) == 0)
            y[d] = x[d];
        if (y[d] == -1 && unknown < 0) {
            unknown = int(d);
            continue;
        }
        if (y[d] < 1 || y[d] > total)
            malformed(node.label() + " to a dimension of " + std::to_string(y[d]));
        known *= y[d];
        if (known > total)
            malformed(node.label() + " that changes the number of values");
    }
    if (unknown >= 0)
        y[size_t(unknown)] = total / known;
    if (ShapeMath::elements(y, "the output of " + node.label()) != total)
        malformed(node.label() + " that changes the number of values");
    node.parsed = std::make_shared<OperatorAttributes>();
    return {y};
}

void Reshape::build(const OnnxNode& node, DnnlBuilder& builder) const
{
    const std::vector<int64_t>& x = builder.graph().shapeOf(node.input(0));
    const std::vector<int64_t>& y = builder.graph().shapeOf(node.outputs[0]);
    const int flat = builder.newTensor(DnnlBuilder::plain(x));
    builder.addReorder(builder.viewOf(node.input(0)), flat);
    builder.setView(node.outputs[0], builder.viewOver(DnnlBuilder::plain(y), flat));
}
