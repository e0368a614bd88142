#include "Resampling.h"

#include "DnnlBuilder.h"
#include "Primitives.h"

#include <cmath>

namespace {

// The output's shape: from `sizes` (input 3) or `scales` (input 2).
Operator::Shape resizedShape(const OnnxNode& node, const OnnxGraph& graph, const Operator::Shape& x)
{
    auto given = [&](size_t i) {
        return !node.input(i).empty() && graph.isConstant(node.input(i)) &&
               graph.constant(node.input(i)).count() > 0;
    };
    Operator::Shape y;
    if (given(3)) {
        const OnnxConstant& sizes = graph.constant(node.input(3));
        if (!sizes.isInt)
            malformed(node.label() + " has sizes that are not integers");
        y = sizes.ints;
    } else if (given(2)) {
        const std::vector<float> scales = graph.constant(node.input(2)).toFloats();
        if (scales.size() != x.size())
            malformed(node.label() + " has " + std::to_string(scales.size()) + " scales");
        for (size_t d = 0; d < x.size(); ++d) {
            const double side = std::floor(double(x[d]) * double(scales[d]));
            if (!(side >= 1 && side <= double(ShapeMath::maxElements)))
                malformed(node.label() + " has a scale of " + std::to_string(scales[d]));
            y.push_back(int64_t(side));
        }
    } else {
        refuse(node.label() + " to a size not known at load");
    }
    if (y.size() != 4)
        malformed(node.label() + " to " + std::to_string(y.size()) + " dimensions");
    ShapeMath::elements(y, "the output of " + node.label());
    if (y[0] != x[0] || y[1] != x[1])
        refuse(node.label() + " across batch or channels");
    return y;
}

dnnl::algorithm algorithmOf(const OnnxNode& node, const Operator::Shape& x,
                            const Operator::Shape& y)
{
    const std::string mode = node.stringAttr("mode", "nearest");
    const std::string transform = node.stringAttr("coordinate_transformation_mode", "half_pixel");
    if (node.intAttr("exclude_outside", 0) != 0 || node.intAttr("antialias", 0) != 0)
        refuse(node.label() + " with exclude_outside or antialias");
    if (mode == "linear") {
        // oneDNN's linear resampling is half_pixel; pytorch_half_pixel is the
        // same but for a side of one pixel.
        if (!(transform == "half_pixel" ||
              (transform == "pytorch_half_pixel" && y[2] > 1 && y[3] > 1)))
            refuse(node.label() + " with linear " + transform);
        return dnnl::algorithm::resampling_linear;
    }
    if (mode == "nearest") {
        // oneDNN takes floor((x + 0.5) / scale): for whole-step growth the
        // same pixel as asymmetric or half_pixel coordinates pick.
        const std::string rounding = node.stringAttr("nearest_mode", "round_prefer_floor");
        const bool growsByWholeSteps = y[2] % x[2] == 0 && y[3] % x[3] == 0;
        const bool same = growsByWholeSteps &&
                          ((transform == "asymmetric" && rounding == "floor") ||
                           (transform == "half_pixel" && (rounding == "round_prefer_floor" ||
                                                          rounding == "round_prefer_ceil")) ||
                           (transform == "tf_half_pixel_for_nn" && rounding == "floor"));
        if (!same)
            refuse(node.label() + " with nearest " + transform + " " + rounding);
        return dnnl::algorithm::resampling_nearest;
    }
    refuse(node.label() + " with mode " + mode);
}

} // namespace

std::vector<Operator::Shape> Resampling::read(OnnxNode& node, const OnnxGraph& graph) const
{
    node.checkArity(1, 4, 1);
    const Shape& x = graph.shapeOf(node.input(0));
    if (x.size() != 4)
        refuse(node.label() + " of other than an image");
    const Shape y = resizedShape(node, graph, x);
    auto a = std::make_shared<Attributes>();
    a->algorithm = algorithmOf(node, x, y);
    node.parsed = std::move(a);
    return {y};
}

void Resampling::build(const OnnxNode& node, DnnlBuilder& builder) const
{
    const Attributes& a = node.attributes<Attributes>();
    const std::vector<int64_t>& y = builder.graph().shapeOf(node.outputs[0]);
    const int src = builder.viewOf(node.input(0));
    dnnl::primitive_attr attr;
    attr.set_scratchpad_mode(dnnl::scratchpad_mode::user);
    const auto pd = Primitives::described(node, [&] {
        const dnnl::resampling_forward::desc d(dnnl::prop_kind::forward_inference, a.algorithm,
                                               builder.descOf(src), DnnlBuilder::any(y));
        return dnnl::resampling_forward::primitive_desc(d, attr, builder.engine());
    });
    const int dst = builder.newTensor(pd.dst_desc());
    builder.addStep(dnnl::resampling_forward(pd), {{DNNL_ARG_SRC, src}, {DNNL_ARG_DST, dst}}, {},
                    pd.scratchpad_desc().get_size());
    builder.setView(node.outputs[0], dst);
}
