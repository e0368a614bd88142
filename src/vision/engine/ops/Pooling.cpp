#include "Pooling.h"

#include "DnnlBuilder.h"
#include "Primitives.h"

std::vector<Operator::Shape> Pooling::read(OnnxNode& node, const OnnxGraph& graph) const
{
    if (node.outputs.size() > 1)
        refuse(node.label() + " with indices");
    node.checkArity(1, 1, 1);
    const Shape& x = graph.shapeOf(node.input(0));
    if (x.size() != 4)
        refuse(node.label() + " on other than a 2-D image");
    if (node.stringAttr("auto_pad", "NOTSET") != "NOTSET")
        refuse(node.label() + " with auto_pad");
    auto a = std::make_shared<Attributes>();
    a->kernel = node.intsAttr("kernel_shape", {}, 2);
    a->pads = node.intsAttr("pads", {0, 0, 0, 0}, 4);
    a->strides = node.intsAttr("strides", {1, 1}, 2);
    a->ceil = node.intAttr("ceil_mode", 0) != 0;
    node.checkRange("a kernel side", a->kernel, 1);
    node.checkRange("a pad", a->pads, 0);
    node.checkRange("a stride", a->strides, 1);
    const std::vector<int64_t> dilations = node.intsAttr("dilations", {1, 1}, 2);
    node.checkRange("a dilation", dilations, 1);
    if (dilations != std::vector<int64_t>{1, 1} || node.intAttr("storage_order", 0) != 0)
        refuse(node.label() + " with dilations or a storage order");
    Shape y = x;
    for (size_t d = 0; d < 2; ++d) {
        const int64_t room = x[2 + d] + a->pads[d] + a->pads[d + 2] - a->kernel[d];
        if (room < 0)
            malformed(node.label() + " has a kernel larger than its padded input");
        if (a->pads[d] >= a->kernel[d] || a->pads[d + 2] >= a->kernel[d])
            refuse(node.label() + " with windows wholly in the padding");
        const int64_t step = a->strides[d];
        int64_t n = (a->ceil ? (room + step - 1) / step : room / step) + 1;
        // A last window that would start in the padding past the end is dropped.
        if (a->ceil && (n - 1) * step >= x[2 + d] + a->pads[d])
            --n;
        y[2 + d] = n;
    }
    node.parsed = std::move(a);
    return {y};
}

void Pooling::build(const OnnxNode& node, DnnlBuilder& builder) const
{
    const Attributes& a = node.attributes<Attributes>();
    const std::vector<int64_t>& x = builder.graph().shapeOf(node.input(0));
    const std::vector<int64_t>& y = builder.graph().shapeOf(node.outputs[0]);
    // Rounding up (ceil_mode) is padding at the far end that the maximum
    // never takes.
    dnnl::memory::dims right(2);
    for (size_t d = 0; d < 2; ++d)
        right[d] = std::max<int64_t>(a.pads[d + 2], (y[d + 2] - 1) * a.strides[d] + a.kernel[d] -
                                                        x[d + 2] - a.pads[d]);
    const int src = builder.viewOf(node.input(0));
    dnnl::primitive_attr attr;
    attr.set_scratchpad_mode(dnnl::scratchpad_mode::user);
    const auto pd = Primitives::described(node, [&] {
        const dnnl::pooling_forward::desc d(
            dnnl::prop_kind::forward_inference, dnnl::algorithm::pooling_max, builder.descOf(src),
            DnnlBuilder::any(y), Primitives::dimsOf(a.strides), Primitives::dimsOf(a.kernel),
            {a.pads[0], a.pads[1]}, right);
        return dnnl::pooling_forward::primitive_desc(d, attr, builder.engine());
    });
    const int dst = builder.newTensor(pd.dst_desc());
    builder.addStep(dnnl::pooling_forward(pd), {{DNNL_ARG_SRC, src}, {DNNL_ARG_DST, dst}}, {},
                    pd.scratchpad_desc().get_size());
    builder.setView(node.outputs[0], dst);
}
