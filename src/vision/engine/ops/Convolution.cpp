#include "Convolution.h"

#include "Activation.h"
#include "Primitives.h"

#include <algorithm>
#include <utility>

namespace {

using dnnl::algorithm;
using Primitives::described;
using Primitives::dimsOf;
using Primitives::isReference;

// Winograd keeps its weights transformed, two to four times larger: worth
// it where each weight does much work, not on small images of many
// channels (512 to 512 at 16 x 16 takes 57 MB more for 0.3 ms less).
constexpr int64_t minWinogradPixels = 64 * 64;
constexpr size_t maxWinogradScratch = size_t(64) << 20;
// The weights as oneDNN sees them: with the groups as a dimension of their own.
std::vector<int64_t> groupedWeights(const Convolution::Attributes& a)
{
    const std::vector<int64_t>& w = a.weights;
    return a.group > 1 ? std::vector<int64_t>{a.group, w[0] / a.group, w[1], w[2], w[3]} : w;
}

} // namespace

std::vector<Operator::Shape> Convolution::read(OnnxNode& node, const OnnxGraph& graph) const
{
    node.checkArity(2, 3, 1);
    const Shape& x = graph.shapeOf(node.input(0));
    if (!graph.isConstant(node.input(1)))
        refuse(node.label() + " with weights computed at run time");
    auto a = std::make_shared<Attributes>();
    a->weights = graph.constant(node.input(1)).dims;
    const std::vector<int64_t>& w = a->weights;
    if (w.size() != 4)
        refuse(node.label() + " with weights of rank " + std::to_string(w.size()) +
               " (the engine runs 2-D convolutions)");
    if (x.size() != 4)
        refuse(node.label() + " of an input of rank " + std::to_string(x.size()));
    ShapeMath::elements(w, "the weight tensor of " + node.label());
    if (node.stringAttr("auto_pad", "NOTSET") != "NOTSET")
        refuse(node.label() + " with auto_pad");
    if (node.intsAttr("kernel_shape", {w[2], w[3]}, 2) != std::vector<int64_t>{w[2], w[3]})
        malformed(node.label() + " has a kernel_shape other than its weights'");
    a->pads = node.intsAttr("pads", {0, 0, 0, 0}, 4);
    a->strides = node.intsAttr("strides", {1, 1}, 2);
    a->dilations = node.intsAttr("dilations", {1, 1}, 2);
    a->group = node.intAttr("group", 1);
    node.checkRange("a pad", a->pads, 0);
    node.checkRange("a stride", a->strides, 1);
    node.checkRange("a dilation", a->dilations, 1);
    node.checkRange("a kernel side", {w[2], w[3]}, 1);
    if (a->group < 1 || a->group > x[1] || x[1] != w[1] * a->group || w[0] % a->group)
        malformed(node.label() + " has weights " + std::to_string(w[0]) + "x" +
                  std::to_string(w[1]) + " that do not fit " + std::to_string(x[1]) +
                  " channels in group " + std::to_string(a->group));
    if (!node.input(2).empty()) {
        a->bias = true;
        if (graph.constant(node.input(2)).count() != w[0])
            malformed(node.label() + " has a bias of " +
                      std::to_string(graph.constant(node.input(2)).count()) + " values for " +
                      std::to_string(w[0]) + " channels");
    }
    Shape y{x[0], w[0], 0, 0};
    for (size_t d = 0; d < 2; ++d) {
        const int64_t span = (w[2 + d] - 1) * a->dilations[d] + 1;
        const int64_t room = x[2 + d] + a->pads[d] + a->pads[d + 2] - span;
        if (room < 0)
            malformed(node.label() + " has a kernel larger than its padded input");
        y[2 + d] = room / a->strides[d] + 1;
    }
    node.parsed = std::move(a);
    return {y};
}

void Convolution::build(const OnnxNode& node, DnnlBuilder& builder) const
{
    const Fusion& f = builder.fusionOf(node);
    const int addendView = f.add ? builder.viewOf(f.addend) : -1;
    const auto [pd, addAs] = chooseFused(node, builder, addendView);
    std::unordered_map<int, dnnl::memory> fixed = weights(node, builder, pd);

    const int src = builder.inLayout(builder.viewOf(node.input(0)), pd.src_desc());
    int dst;
    std::unordered_map<int, int> reads{{DNNL_ARG_SRC, src}};
    if (f.add && addAs == AddAs::binary)
        reads[DNNL_ARG_ATTR_MULTIPLE_POST_OP(int(f.eltwiseBeforeSum)) | DNNL_ARG_SRC_1] =
            addendView;
    if (f.add && addAs == AddAs::sum)
        dst = sumDestination(node, builder, pd.dst_desc());
    else
        dst = builder.newTensor(pd.dst_desc());
    reads[DNNL_ARG_DST] = dst;
    builder.addStep(dnnl::convolution_forward(pd), std::move(reads), std::move(fixed),
                    pd.scratchpad_desc().get_size());
    if (f.add && addAs == AddAs::step)
        dst = separateSum(f, builder, dst, pd.dst_desc());
    builder.setView(f.output, dst);

    const Attributes& a = node.attributes<Attributes>();
    const std::vector<int64_t>& y = builder.graph().shapeOf(node.outputs[0]);
    builder.noteWork(double(y[1]) * double(a.weights[1]) * double(y[2]) * double(y[3]),
                     pd.impl_info_str());
}

std::pair<Convolution::Desc, Convolution::AddAs>
Convolution::chooseFused(const OnnxNode& node, DnnlBuilder& builder, int addendView)
{
    const Fusion& f = builder.fusionOf(node);
    AddAs addAs = AddAs::sum;
    Desc pd = choose(node, builder, postOps(f, addAs, builder, addendView));
    for (AddAs fallback : {AddAs::binary, AddAs::step}) {
        if (!f.add || !isReference(pd))
            break;
        addAs = fallback;
        try {
            pd = choose(node, builder, postOps(f, addAs, builder, addendView));
        } catch (const UnsupportedGraph&) {
            if (fallback == AddAs::step)
                throw;
        }
    }
    return {pd, addAs};
}

dnnl::primitive_attr Convolution::postOps(const Fusion& f, AddAs how, const DnnlBuilder& builder,
                                          int addendView)
{
    dnnl::post_ops ops;
    auto add = [&] {
        if (how == AddAs::sum)
            ops.append_sum(1.f);
        else
            ops.append_binary(algorithm::binary_add, builder.descOf(addendView));
    };
    const size_t last = how != AddAs::step || !f.add ? f.eltwise.size() : f.eltwiseBeforeSum;
    for (size_t k = 0; k < last; ++k) {
        if (f.add && how != AddAs::step && k == f.eltwiseBeforeSum)
            add();
        Activation::appendTo(ops, *f.eltwise[k]);
    }
    if (f.add && how != AddAs::step && f.eltwiseBeforeSum == f.eltwise.size())
        add();
    dnnl::primitive_attr attr;
    attr.set_post_ops(ops);
    attr.set_scratchpad_mode(dnnl::scratchpad_mode::user);
    return attr;
}

std::unordered_map<int, dnnl::memory> Convolution::weights(const OnnxNode& node,
                                                           DnnlBuilder& builder, const Desc& pd)
{
    const Attributes& a = node.attributes<Attributes>();
    std::unordered_map<int, dnnl::memory> fixed;
    OnnxConstant& w = builder.graph().constant(node.input(1));
    // Read by no one else, the weights' values move into the network.
    OnnxConstant values =
        builder.readersOf(node.input(1)).size() == 1 ? std::exchange(w, OnnxConstant()) : w;
    fixed[DNNL_ARG_WEIGHTS] =
        builder.addWeights(std::move(values), DnnlBuilder::plain(groupedWeights(a)),
                           pd.weights_desc(), "the weights of " + node.label());
    if (a.bias) {
        const OnnxConstant& b = builder.graph().constant(node.input(2));
        fixed[DNNL_ARG_BIAS] = builder.addWeights(b, DnnlBuilder::plain({a.weights[0]}),
                                                  pd.bias_desc(), "the bias of " + node.label());
    }
    return fixed;
}

int Convolution::sumDestination(const OnnxNode& node, DnnlBuilder& builder,
                                const dnnl::memory::desc& desc)
{
    // The sum post-op adds what the destination holds: the addend goes
    // there first, or is overwritten in place where no one reads it later.
    const Fusion& f = builder.fusionOf(node);
    const int addend = builder.viewOf(f.addend);
    const std::vector<size_t>& readers = builder.readersOf(f.addend);
    const size_t index = builder.indexOf(node);
    const size_t addIndex = builder.indexOf(*f.add);
    const bool readLater = builder.graph().isOutput(f.addend) || builder.isCallers(addend) ||
                           std::any_of(readers.begin(), readers.end(),
                                       [&](size_t r) { return r != addIndex && r > index; });
    if (!readLater && builder.descOf(addend) == desc)
        return builder.viewOver(desc, addend);
    const int dst = builder.newTensor(desc);
    builder.addReorder(addend, dst);
    return dst;
}

int Convolution::separateSum(const Fusion& f, DnnlBuilder& builder, int convolved,
                             const dnnl::memory::desc& desc)
{
    // The Add, with what followed it as its own post-ops.
    dnnl::post_ops after;
    for (size_t k = f.eltwiseBeforeSum; k < f.eltwise.size(); ++k)
        Activation::appendTo(after, *f.eltwise[k]);
    dnnl::primitive_attr attr;
    attr.set_post_ops(after);
    const int addend = builder.inLayout(builder.viewOf(f.addend), desc);
    const auto sum = described(*f.add, [&] {
        const dnnl::binary::desc d(algorithm::binary_add, desc, desc, desc);
        return dnnl::binary::primitive_desc(d, attr, builder.engine());
    });
    const int total = builder.newTensor(sum.dst_desc());
    builder.addStep(dnnl::binary(sum),
                    {{DNNL_ARG_SRC_0, convolved}, {DNNL_ARG_SRC_1, addend}, {DNNL_ARG_DST, total}});
    return total;
}

Convolution::Desc Convolution::choose(const OnnxNode& node, DnnlBuilder& builder,
                                      const dnnl::primitive_attr& attr)
{
    const Attributes& a = node.attributes<Attributes>();
    const std::vector<int64_t>& x = builder.graph().shapeOf(node.input(0));
    const std::vector<int64_t>& y = builder.graph().shapeOf(node.outputs[0]);
    const std::vector<int64_t>& w = a.weights;
    std::vector<int64_t> gaps = a.dilations;
    for (int64_t& d : gaps)
        d -= 1; // oneDNN counts the gaps
    const DnnlBuilder::md bias = a.bias ? DnnlBuilder::plain({y[1]}) : DnnlBuilder::md();
    auto describe = [&](algorithm how, const DnnlBuilder::md& src) {
        const dnnl::convolution_forward::desc d(
            dnnl::prop_kind::forward_inference, how, src, DnnlBuilder::any(groupedWeights(a)), bias,
            DnnlBuilder::any(y), dimsOf(a.strides), dimsOf(gaps), {a.pads[0], a.pads[1]},
            {a.pads[2], a.pads[3]});
        return Desc(d, attr, builder.engine());
    };
    // Winograd's transform takes a 3x3 convolution with 1.5 to 4 times
    // fewer multiplications; oneDNN has it for undilated, unstrided ones
    // on AVX-512 machines. Its transforms pay off over 32 channels and more
    // on either side (a 64 to 1 convolution takes twice as long with it).
    // Elsewhere, and where oneDNN declines, the direct convolution.
    Desc pd;
    const bool winograd = a.group == 1 && w[2] == 3 && w[3] == 3 && w[0] >= 32 && w[1] >= 32 &&
                          y[2] * y[3] >= minWinogradPixels &&
                          a.strides == std::vector<int64_t>{1, 1} &&
                          gaps == std::vector<int64_t>{0, 0};
    try {
        if (winograd)
            pd = describe(algorithm::convolution_winograd, DnnlBuilder::any(x));
        // Its scratch space, for the tiles of a large image of many
        // channels, can outgrow everything else alive at the time.
        if (pd && pd.scratchpad_desc().get_size() > maxWinogradScratch)
            pd = {};
    } catch (const dnnl::error&) {
        pd = {};
    }
    // The direct one reads its input in the layout it comes in where it
    // can (the blocked one Winograd writes): a reorder there and back would
    // cost more than the layout oneDNN would pick saves.
    const DnnlBuilder::md given = builder.descOf(builder.viewOf(node.input(0)));
    if (!pd && given != DnnlBuilder::plain(x)) {
        try {
            pd = describe(algorithm::convolution_direct, given);
            if (isReference(pd))
                pd = {};
        } catch (const dnnl::error&) {
            pd = {};
        }
    }
    if (!pd)
        pd = described(
            node, [&] { return describe(algorithm::convolution_direct, DnnlBuilder::any(x)); });
    return pd;
}
