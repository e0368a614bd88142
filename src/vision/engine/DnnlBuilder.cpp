#include "DnnlBuilder.h"

#include "DnnlBufferPlanner.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numeric>

namespace {

using dnnl::algorithm;
using dnnl::memory;
using tag = dnnl::memory::format_tag;
using dt = dnnl::memory::data_type;

// Winograd keeps its weights transformed, two to four times larger: worth
// it where each weight does much work, not on small images of many
// channels (512 to 512 at 16 x 16 takes 57 MB more for 0.3 ms less).
constexpr int64_t minWinogradPixels = 64 * 64;
constexpr size_t maxWinogradScratch = size_t(64) << 20;

[[noreturn]] void refuse(const std::string& why)
{
    throw UnsupportedGraph(why);
}

memory::dims dimsOf(const std::vector<int64_t>& v)
{
    return memory::dims(v.begin(), v.end());
}

bool isEltwise(const std::string& op)
{
    return op == "Relu" || op == "LeakyRelu" || op == "Clip" || op == "Sigmoid";
}

// A primitive descriptor, or the graph refused with oneDNN's reason.
template <typename Make> auto described(const OnnxNode& node, Make make)
{
    try {
        return make();
    } catch (const dnnl::error& e) {
        refuse("oneDNN cannot run " + node.op + " " + node.name + ": " + e.what());
    }
}

// A constant of one value, and that value.
bool isScalar(const OnnxGraph& graph, const std::string& name)
{
    return graph.isConstant(name) && graph.constants.at(name).count() == 1;
}

float scalarOf(const OnnxGraph& graph, const std::string& name)
{
    const OnnxConstant& c = graph.constants.at(name);
    return c.isInt ? float(c.ints.at(0)) : c.floats.at(0);
}

// Whether oneDNN chose its reference code, the slow one it falls back on.
template <typename PrimitiveDesc> bool isReference(const PrimitiveDesc& pd)
{
    return std::string(pd.impl_info_str()).rfind("ref", 0) == 0;
}

} // namespace

std::unique_ptr<DnnlNetwork::Plan> DnnlBuilder::build(OnnxGraph graph)
{
    DnnlBuilder builder(std::move(graph));
    builder.planFusions();
    for (size_t i = 0; i < builder.m_graph.nodes.size(); ++i) {
        if (!builder.m_fused[i])
            builder.addNode(i);
    }
    builder.addOutputs();
    DnnlBufferPlanner::plan(*builder.m_plan, builder.m_concatenations, builder.m_writes);
    return std::move(builder.m_plan);
}

DnnlBuilder::DnnlBuilder(OnnxGraph graph)
    : m_graph(std::move(graph)), m_plan(std::make_unique<Plan>())
{
    const std::vector<OnnxNode>& nodes = m_graph.nodes;
    m_fusions.resize(nodes.size());
    m_fused.assign(nodes.size(), false);
    for (size_t i = 0; i < nodes.size(); ++i) {
        for (const std::string& input : nodes[i].inputs) {
            if (!input.empty())
                m_readers[input].push_back(i);
        }
    }
    // The caller's blobs, in their plain layout.
    for (const OnnxGraph::Input& input : m_graph.inputs) {
        const md desc = plain(input.dims);
        const int value = newValue(desc.get_size());
        m_plan->values[size_t(value)].external = true;
        const int view = newView(desc, value);
        m_views[input.name] = view;
        m_plan->inputViews.push_back(view);
        m_plan->inputDims.push_back(input.dims);
    }
}

// ----- fusions ------------------------------------------------------------------

void DnnlBuilder::planFusions()
{
    const std::vector<OnnxNode>& nodes = m_graph.nodes;
    auto producer = [&](const std::string& tensor) -> long {
        for (size_t i = 0; i < nodes.size(); ++i) {
            if (std::count(nodes[i].outputs.begin(), nodes[i].outputs.end(), tensor))
                return long(i);
        }
        return -1; // a graph input
    };
    // The one node that reads `tensor`, once; none where more do, or where
    // the tensor leaves the graph.
    auto onlyReader = [&](const std::string& tensor) -> const OnnxNode* {
        const auto it = m_readers.find(tensor);
        if (m_graph.isOutput(tensor) || it == m_readers.end() || it->second.size() != 1)
            return nullptr;
        return &nodes[it->second.front()];
    };
    for (size_t i = 0; i < nodes.size(); ++i) {
        if (nodes[i].op != "Conv" || m_fused[i])
            continue;
        Fusion& f = m_fusions[i];
        f.output = nodes[i].outputs.at(0);
        while (const OnnxNode* next = onlyReader(f.output)) {
            const size_t index = size_t(next - nodes.data());
            if (isEltwise(next->op) && !(next->op == "Clip" && !next->input(1).empty() &&
                                         !m_graph.isConstant(next->input(1)))) {
                f.eltwise.push_back(next);
            } else if (next->op == "Add" && !f.add) {
                const std::string& other =
                    next->input(0) == f.output ? next->input(1) : next->input(0);
                if (other == f.output || m_graph.isConstant(other) ||
                    m_graph.shapeOf(other) != m_graph.shapeOf(f.output) ||
                    producer(other) >= long(i))
                    break;
                f.add = next;
                f.addend = other;
                f.eltwiseBeforeSum = f.eltwise.size();
            } else {
                break;
            }
            m_fused[index] = true;
            f.output = next->outputs.at(0);
        }
    }
}

// ----- nodes ---------------------------------------------------------------------

void DnnlBuilder::addNode(size_t index)
{
    const OnnxNode& node = m_graph.nodes[index];
    const std::string& op = node.op;
    if (op == "Conv")
        addConv(index);
    else if (isEltwise(op))
        addEltwise(node);
    else if (op == "MaxPool")
        addPool(node);
    else if (op == "Concat")
        addConcat(node);
    else if (op == "Resize")
        addResize(node);
    else if (op == "Add" || op == "Sub" || op == "Mul")
        addArithmetic(node);
    else if (op == "Split")
        addSplit(node);
    else if (op == "Reshape")
        addReshape(node);
    else
        refuse("operator " + op);
}

std::pair<algorithm, std::pair<float, float>> DnnlBuilder::eltwiseOf(const OnnxNode& node) const
{
    if (node.op == "Relu")
        return {algorithm::eltwise_relu, {0.f, 0.f}};
    if (node.op == "LeakyRelu")
        return {algorithm::eltwise_relu, {node.floatAttr("alpha", 0.01f), 0.f}};
    if (node.op == "Sigmoid")
        return {algorithm::eltwise_logistic, {0.f, 0.f}};
    // Clip: the bounds as attributes (before opset 11) or as inputs.
    auto bound = [&](size_t input, const char* attribute, float fallback) {
        const std::string& name = node.input(input);
        if (name.empty())
            return node.floatAttr(attribute, fallback);
        const OnnxConstant& c = m_graph.constants.at(name);
        return c.isInt ? float(c.ints.at(0)) : c.floats.at(0);
    };
    return {algorithm::eltwise_clip, {bound(1, "min", -INFINITY), bound(2, "max", INFINITY)}};
}

void DnnlBuilder::appendEltwise(dnnl::post_ops& ops, const OnnxNode& node) const
{
    const auto [alg, params] = eltwiseOf(node);
    ops.append_eltwise(1.f, alg, params.first, params.second);
}

void DnnlBuilder::addConv(size_t index)
{
    const OnnxNode& node = m_graph.nodes[index];
    const Fusion& f = m_fusions[index];
    const int addendView = f.add ? viewOf(f.addend) : -1;
    const ConvChoice choice = chooseFusedConvolution(node, f, addendView);
    const dnnl::convolution_forward::primitive_desc& pd = choice.pd;
    std::unordered_map<int, memory> fixed = convWeights(node, pd);

    const int src = inLayout(viewOf(node.input(0)), pd.src_desc());
    int dst;
    std::unordered_map<int, int> reads{{DNNL_ARG_SRC, src}};
    if (f.add && choice.addAs == AddAs::binary) {
        reads[DNNL_ARG_ATTR_MULTIPLE_POST_OP(int(f.eltwiseBeforeSum)) | DNNL_ARG_SRC_1] =
            addendView;
        dst = newView(pd.dst_desc(), newValue(pd.dst_desc().get_size()));
    } else if (f.add && choice.addAs == AddAs::sum) {
        dst = sumDestination(index, f, pd.dst_desc());
    } else {
        dst = newView(pd.dst_desc(), newValue(pd.dst_desc().get_size()));
    }
    reads[DNNL_ARG_DST] = dst;
    addStep(dnnl::convolution_forward(pd), std::move(reads), std::move(fixed),
            pd.scratchpad_desc().get_size());
    if (f.add && choice.addAs == AddAs::step)
        dst = addSeparateSum(f, dst, pd.dst_desc());
    m_views[f.output] = dst;
    noteWork(node, pd.impl_info_str());
}

DnnlBuilder::ConvChoice DnnlBuilder::chooseFusedConvolution(const OnnxNode& node, const Fusion& f,
                                                            int addendView)
{
    AddAs addAs = AddAs::sum;
    auto pd = chooseConvolution(node, convAttr(f, addAs, addendView));
    for (AddAs fallback : {AddAs::binary, AddAs::step}) {
        if (!f.add || !isReference(pd))
            break;
        addAs = fallback;
        try {
            pd = chooseConvolution(node, convAttr(f, addAs, addendView));
        } catch (const UnsupportedGraph&) {
            if (fallback == AddAs::step)
                throw;
        }
    }
    return {pd, addAs};
}

dnnl::primitive_attr DnnlBuilder::convAttr(const Fusion& f, AddAs how, int addendView) const
{
    dnnl::post_ops ops;
    auto add = [&] {
        if (how == AddAs::sum)
            ops.append_sum(1.f);
        else
            ops.append_binary(algorithm::binary_add,
                              m_plan->views[size_t(addendView)].memory.get_desc());
    };
    const size_t last = how != AddAs::step || !f.add ? f.eltwise.size() : f.eltwiseBeforeSum;
    for (size_t k = 0; k < last; ++k) {
        if (f.add && how != AddAs::step && k == f.eltwiseBeforeSum)
            add();
        appendEltwise(ops, *f.eltwise[k]);
    }
    if (f.add && how != AddAs::step && f.eltwiseBeforeSum == f.eltwise.size())
        add();
    dnnl::primitive_attr attr;
    attr.set_post_ops(ops);
    attr.set_scratchpad_mode(dnnl::scratchpad_mode::user);
    return attr;
}

std::unordered_map<int, memory>
DnnlBuilder::convWeights(const OnnxNode& node, const dnnl::convolution_forward::primitive_desc& pd)
{
    std::unordered_map<int, memory> fixed;
    {
        OnnxConstant& weights = m_graph.constants.at(node.input(1));
        const std::vector<int64_t>& w = weights.dims;
        const int64_t group = node.intAttr("group", 1);
        const std::vector<int64_t> wdims =
            group > 1 ? std::vector<int64_t>{group, w[0] / group, w[1], w[2], w[3]} : w;
        memory user(plain(wdims), m_plan->engine, weights.floats.data());
        memory packed(pd.weights_desc(), m_plan->engine);
        dnnl::reorder(user, packed).execute(m_plan->stream, user, packed);
        m_plan->stream.wait();
        m_plan->weightBytes += pd.weights_desc().get_size();
        fixed[DNNL_ARG_WEIGHTS] = packed;
        m_plan->weights.push_back(packed);
        if (m_readers[node.input(1)].size() == 1)
            weights = OnnxConstant(); // read by no one else: its floats go now
    }
    if (!node.input(2).empty()) {
        const OnnxConstant& b = m_graph.constants.at(node.input(2));
        memory bias(pd.bias_desc(), m_plan->engine);
        std::memcpy(bias.get_data_handle(), b.floats.data(), pd.bias_desc().get_size());
        fixed[DNNL_ARG_BIAS] = bias;
        m_plan->weights.push_back(bias);
    }
    return fixed;
}

int DnnlBuilder::sumDestination(size_t index, const Fusion& f, const md& desc)
{
    // The sum post-op adds what the destination holds: the addend goes
    // there first, or is overwritten in place where no one reads it later.
    const int addend = viewOf(f.addend);
    const std::vector<size_t>& readers = m_readers[f.addend];
    const size_t addIndex = size_t(f.add - m_graph.nodes.data());
    const bool readLater = m_graph.isOutput(f.addend) ||
                           m_plan->values[size_t(m_plan->views[size_t(addend)].value)].external ||
                           std::any_of(readers.begin(), readers.end(),
                                       [&](size_t r) { return r != addIndex && r > index; });
    if (!readLater && m_plan->views[size_t(addend)].memory.get_desc() == desc)
        return newView(desc, m_plan->views[size_t(addend)].value);
    const int dst = newView(desc, newValue(desc.get_size()));
    const memory& from = m_plan->views[size_t(addend)].memory;
    const memory& to = m_plan->views[size_t(dst)].memory;
    addStep(dnnl::reorder(dnnl::reorder::primitive_desc(m_plan->engine, from.get_desc(),
                                                        m_plan->engine, to.get_desc())),
            {{DNNL_ARG_FROM, addend}, {DNNL_ARG_TO, dst}});
    return dst;
}

int DnnlBuilder::addSeparateSum(const Fusion& f, int convolved, const md& desc)
{
    // The Add, with what followed it as its own post-ops.
    dnnl::post_ops after;
    for (size_t k = f.eltwiseBeforeSum; k < f.eltwise.size(); ++k)
        appendEltwise(after, *f.eltwise[k]);
    dnnl::primitive_attr attr;
    attr.set_post_ops(after);
    const int addend = inLayout(viewOf(f.addend), desc);
    const auto sum = described(*f.add, [&] {
        const dnnl::binary::desc d(algorithm::binary_add, desc, desc, desc);
        return dnnl::binary::primitive_desc(d, attr, m_plan->engine);
    });
    const int total = newView(sum.dst_desc(), newValue(sum.dst_desc().get_size()));
    addStep(dnnl::binary(sum),
            {{DNNL_ARG_SRC_0, convolved}, {DNNL_ARG_SRC_1, addend}, {DNNL_ARG_DST, total}});
    return total;
}

void DnnlBuilder::noteWork(const OnnxNode& node, const std::string& implementation)
{
    const std::vector<int64_t>& x = m_graph.shapeOf(node.input(0));
    const std::vector<int64_t>& y = m_graph.shapeOf(node.outputs.at(0));
    const OnnxConstant& w = m_graph.constants.at(node.input(1));
    const int64_t group = node.intAttr("group", 1);
    const double work =
        double(y[1]) * double(w.dims.size() == 4 ? x[1] / group : 1) * double(y[2]) * double(y[3]);
    if (work > m_heaviest) {
        m_heaviest = work;
        m_plan->description = implementation;
    }
}

dnnl::convolution_forward::primitive_desc
DnnlBuilder::chooseConvolution(const OnnxNode& node, const dnnl::primitive_attr& attr)
{
    const std::vector<int64_t>& x = m_graph.shapeOf(node.input(0));
    const std::vector<int64_t>& y = m_graph.shapeOf(node.outputs.at(0));
    const std::vector<int64_t>& w = m_graph.constants.at(node.input(1)).dims;
    const int64_t group = node.intAttr("group", 1);
    const std::vector<int64_t> pads = node.intsAttr("pads", {0, 0, 0, 0});
    const std::vector<int64_t> strides = node.intsAttr("strides", {1, 1});
    std::vector<int64_t> dilates = node.intsAttr("dilations", {1, 1});
    for (int64_t& d : dilates)
        d -= 1; // oneDNN counts the gaps
    const std::vector<int64_t> wdims =
        group > 1 ? std::vector<int64_t>{group, w[0] / group, w[1], w[2], w[3]} : w;
    const md bias = node.input(2).empty() ? md() : plain({y[1]});
    auto describe = [&](algorithm how, const md& src) {
        const dnnl::convolution_forward::desc d(
            dnnl::prop_kind::forward_inference, how, src, any(wdims), bias, any(y), dimsOf(strides),
            dimsOf(dilates), {pads[0], pads[1]}, {pads[2], pads[3]});
        return dnnl::convolution_forward::primitive_desc(d, attr, m_plan->engine);
    };
    // Winograd's transform takes a 3x3 convolution with 1.5 to 4 times
    // fewer multiplications; oneDNN has it for undilated, unstrided ones
    // on AVX-512 machines. Its transforms pay off over 32 channels and more
    // on either side (a 64 to 1 convolution takes twice as long with it).
    // Elsewhere, and where oneDNN declines, the direct convolution.
    dnnl::convolution_forward::primitive_desc pd;
    const bool winograd = group == 1 && w[2] == 3 && w[3] == 3 && w[0] >= 32 && w[1] >= 32 &&
                          y[2] * y[3] >= minWinogradPixels &&
                          strides == std::vector<int64_t>{1, 1} &&
                          dilates == std::vector<int64_t>{0, 0};
    try {
        if (winograd)
            pd = describe(algorithm::convolution_winograd, any(x));
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
    const md given = m_plan->views[size_t(viewOf(node.input(0)))].memory.get_desc();
    if (!pd && given != plain(x)) {
        try {
            pd = describe(algorithm::convolution_direct, given);
            if (isReference(pd))
                pd = {};
        } catch (const dnnl::error&) {
            pd = {};
        }
    }
    if (!pd)
        pd = described(node, [&] { return describe(algorithm::convolution_direct, any(x)); });
    return pd;
}

void DnnlBuilder::addEltwise(const OnnxNode& node)
{
    int src = viewOf(node.input(0));
    const auto [alg, params] = eltwiseOf(node);
    auto describe = [&] {
        const dnnl::eltwise_forward::desc d(dnnl::prop_kind::forward_inference, alg,
                                            m_plan->views[size_t(src)].memory.get_desc(),
                                            params.first, params.second);
        return dnnl::eltwise_forward::primitive_desc(d, m_plan->engine);
    };
    auto pd = described(node, describe);
    // A layout only the reference code takes (a few channels padded to a
    // block): the plain one, which the fast code takes.
    if (isReference(pd)) {
        src = inLayout(src, plain(m_graph.shapeOf(node.input(0))));
        pd = described(node, describe);
    }
    const int dst = newView(pd.dst_desc(), newValue(pd.dst_desc().get_size()));
    addStep(dnnl::eltwise_forward(pd), {{DNNL_ARG_SRC, src}, {DNNL_ARG_DST, dst}});
    m_views[node.outputs.at(0)] = dst;
}

void DnnlBuilder::addPool(const OnnxNode& node)
{
    const std::vector<int64_t>& x = m_graph.shapeOf(node.input(0));
    const std::vector<int64_t>& y = m_graph.shapeOf(node.outputs.at(0));
    const std::vector<int64_t> kernel = node.intsAttr("kernel_shape", {});
    const std::vector<int64_t> strides = node.intsAttr("strides", {1, 1});
    const std::vector<int64_t> pads = node.intsAttr("pads", {0, 0, 0, 0});
    // Rounding up (ceil_mode) is padding at the far end that the maximum
    // never takes.
    memory::dims right(2);
    for (int d = 0; d < 2; ++d)
        right[size_t(d)] = std::max<int64_t>(
            pads[size_t(d) + 2], (y[size_t(d) + 2] - 1) * strides[size_t(d)] + kernel[size_t(d)] -
                                     x[size_t(d) + 2] - pads[size_t(d)]);
    const int src = viewOf(node.input(0));
    dnnl::primitive_attr attr;
    attr.set_scratchpad_mode(dnnl::scratchpad_mode::user);
    const auto pd = described(node, [&] {
        const dnnl::pooling_forward::desc d(
            dnnl::prop_kind::forward_inference, algorithm::pooling_max,
            m_plan->views[size_t(src)].memory.get_desc(), any(y), dimsOf(strides), dimsOf(kernel),
            {pads[0], pads[1]}, right);
        return dnnl::pooling_forward::primitive_desc(d, attr, m_plan->engine);
    });
    const int dst = newView(pd.dst_desc(), newValue(pd.dst_desc().get_size()));
    addStep(dnnl::pooling_forward(pd), {{DNNL_ARG_SRC, src}, {DNNL_ARG_DST, dst}}, {},
            pd.scratchpad_desc().get_size());
    m_views[node.outputs.at(0)] = dst;
}

void DnnlBuilder::addConcat(const OnnxNode& node)
{
    const std::vector<int64_t>& y = m_graph.shapeOf(node.outputs.at(0));
    const int axis = int(node.intAttr("axis", 1) < 0 ? node.intAttr("axis", 1) + int64_t(y.size())
                                                     : node.intAttr("axis", 1));
    std::vector<int> sources;
    for (const std::string& input : node.inputs)
        sources.push_back(viewOf(input));
    auto make = [&] {
        std::vector<md> descs;
        for (int s : sources)
            descs.push_back(m_plan->views[size_t(s)].memory.get_desc());
        return dnnl::concat::primitive_desc(axis, descs, m_plan->engine);
    };
    dnnl::concat::primitive_desc pd;
    try {
        pd = make();
    } catch (const dnnl::error&) {
        // Parts in layouts that do not go together: all of them plain.
        for (size_t i = 0; i < sources.size(); ++i)
            sources[i] = inLayout(sources[i], plain(m_graph.shapeOf(node.inputs[i])));
        pd = described(node, make);
    }
    const int dst = newView(pd.dst_desc(), newValue(pd.dst_desc().get_size()));
    std::unordered_map<int, int> args{{DNNL_ARG_DST, dst}};
    for (size_t i = 0; i < sources.size(); ++i)
        args[DNNL_ARG_MULTIPLE_SRC + int(i)] = sources[i];
    if (axis == 1)
        m_concatenations.push_back({int(m_plan->steps.size()), sources, dst});
    addStep(dnnl::concat(pd), std::move(args));
    m_views[node.outputs.at(0)] = dst;
}

void DnnlBuilder::addResize(const OnnxNode& node)
{
    const std::vector<int64_t>& x = m_graph.shapeOf(node.input(0));
    const std::vector<int64_t>& y = m_graph.shapeOf(node.outputs.at(0));
    const std::string mode = node.stringAttr("mode", "nearest");
    const std::string transform = node.stringAttr("coordinate_transformation_mode", "half_pixel");
    const bool growsByWholeSteps = y[2] % x[2] == 0 && y[3] % x[3] == 0;
    if (node.intAttr("exclude_outside", 0) != 0 || node.intAttr("antialias", 0) != 0)
        refuse("Resize " + node.name + " with exclude_outside or antialias");
    algorithm alg;
    if (mode == "linear") {
        // oneDNN's linear resampling is half_pixel; pytorch_half_pixel is the
        // same but for a side of one pixel.
        if (!(transform == "half_pixel" ||
              (transform == "pytorch_half_pixel" && y[2] > 1 && y[3] > 1)))
            refuse("Resize " + node.name + " with linear " + transform);
        alg = algorithm::resampling_linear;
    } else if (mode == "nearest") {
        // oneDNN takes floor((x + 0.5) / scale): for whole-step growth the
        // same pixel as asymmetric or half_pixel coordinates pick.
        const std::string rounding = node.stringAttr("nearest_mode", "round_prefer_floor");
        const bool same = growsByWholeSteps &&
                          ((transform == "asymmetric" && rounding == "floor") ||
                           (transform == "half_pixel" && (rounding == "round_prefer_floor" ||
                                                          rounding == "round_prefer_ceil")) ||
                           (transform == "tf_half_pixel_for_nn" && rounding == "floor"));
        if (!same)
            refuse("Resize " + node.name + " with nearest " + transform + " " + rounding);
        alg = algorithm::resampling_nearest;
    } else {
        refuse("Resize " + node.name + " with mode " + mode);
    }
    const int src = viewOf(node.input(0));
    dnnl::primitive_attr attr;
    attr.set_scratchpad_mode(dnnl::scratchpad_mode::user);
    const auto pd = described(node, [&] {
        const dnnl::resampling_forward::desc d(dnnl::prop_kind::forward_inference, alg,
                                               m_plan->views[size_t(src)].memory.get_desc(),
                                               any(y));
        return dnnl::resampling_forward::primitive_desc(d, attr, m_plan->engine);
    });
    const int dst = newView(pd.dst_desc(), newValue(pd.dst_desc().get_size()));
    addStep(dnnl::resampling_forward(pd), {{DNNL_ARG_SRC, src}, {DNNL_ARG_DST, dst}}, {},
            pd.scratchpad_desc().get_size());
    m_views[node.outputs.at(0)] = dst;
}

void DnnlBuilder::addArithmetic(const OnnxNode& node)
{
    const std::string& a = node.input(0);
    const std::string& b = node.input(1);
    const std::vector<int64_t>& y = m_graph.shapeOf(node.outputs.at(0));
    int dst;
    if (isScalar(m_graph, a) || isScalar(m_graph, b))
        dst = addScaled(node, y);
    else if (m_graph.isConstant(b) && !m_graph.isConstant(a) && m_graph.shapeOf(a) == y &&
             node.op != "Sub")
        dst = addWithConstant(node, y);
    else
        dst = addOfTensors(node, y);
    m_views[node.outputs.at(0)] = dst;
}

int DnnlBuilder::addScaled(const OnnxNode& node, const std::vector<int64_t>& y)
{
    const std::string& a = node.input(0);
    const std::string& b = node.input(1);
    // With a single number: alpha * x + beta.
    const bool first = isScalar(m_graph, a);
    const std::string& tensor = first ? b : a;
    if (m_graph.isConstant(tensor) || m_graph.shapeOf(tensor) != y)
        refuse(node.op + " " + node.name + " of constants");
    const float c = scalarOf(m_graph, first ? a : b);
    float alpha = 1.f, beta = 0.f;
    if (node.op == "Add")
        beta = c;
    else if (node.op == "Mul")
        alpha = c;
    else if (first) // c - x
        alpha = -1.f, beta = c;
    else // x - c
        beta = -c;
    const int src = viewOf(tensor);
    const auto pd = described(node, [&] {
        const dnnl::eltwise_forward::desc d(
            dnnl::prop_kind::forward_inference, algorithm::eltwise_linear,
            m_plan->views[size_t(src)].memory.get_desc(), alpha, beta);
        return dnnl::eltwise_forward::primitive_desc(d, m_plan->engine);
    });
    const int dst = newView(pd.dst_desc(), newValue(pd.dst_desc().get_size()));
    addStep(dnnl::eltwise_forward(pd), {{DNNL_ARG_SRC, src}, {DNNL_ARG_DST, dst}});
    return dst;
}

int DnnlBuilder::addWithConstant(const OnnxNode& node, const std::vector<int64_t>& y)
{
    // With a constant that broadcasts (one value per channel, say): the
    // constant as the second operand, in its plain layout.
    const OnnxConstant& c = m_graph.constants.at(node.input(1));
    std::vector<int64_t> dims = c.dims;
    while (dims.size() < y.size())
        dims.insert(dims.begin(), 1);
    memory operand(plain(dims), m_plan->engine);
    std::copy(c.floats.begin(), c.floats.end(), static_cast<float*>(operand.get_data_handle()));
    m_plan->weights.push_back(operand);
    const int src0 = viewOf(node.input(0));
    const md first = m_plan->views[size_t(src0)].memory.get_desc();
    const auto pd = described(node, [&] {
        const dnnl::binary::desc d(node.op == "Add" ? algorithm::binary_add : algorithm::binary_mul,
                                   first, plain(dims), any(y));
        return dnnl::binary::primitive_desc(d, m_plan->engine);
    });
    const int dst = newView(pd.dst_desc(), newValue(pd.dst_desc().get_size()));
    addStep(dnnl::binary(pd), {{DNNL_ARG_SRC_0, src0}, {DNNL_ARG_DST, dst}},
            {{DNNL_ARG_SRC_1, operand}});
    return dst;
}

int DnnlBuilder::addOfTensors(const OnnxNode& node, const std::vector<int64_t>& y)
{
    const std::string& a = node.input(0);
    const std::string& b = node.input(1);
    if (m_graph.isConstant(a) || m_graph.isConstant(b) || m_graph.shapeOf(a) != y ||
        m_graph.shapeOf(b) != y)
        refuse(node.op + " " + node.name + " that broadcasts");
    const algorithm alg = node.op == "Add"   ? algorithm::binary_add
                          : node.op == "Mul" ? algorithm::binary_mul
                                             : algorithm::binary_sub;
    const int src0 = viewOf(a);
    const md first = m_plan->views[size_t(src0)].memory.get_desc();
    const int src1 = inLayout(viewOf(b), first);
    const auto pd = described(node, [&] {
        const dnnl::binary::desc d(alg, first, first, any(y));
        return dnnl::binary::primitive_desc(d, m_plan->engine);
    });
    const int dst = newView(pd.dst_desc(), newValue(pd.dst_desc().get_size()));
    addStep(dnnl::binary(pd),
            {{DNNL_ARG_SRC_0, src0}, {DNNL_ARG_SRC_1, src1}, {DNNL_ARG_DST, dst}});
    return dst;
}

void DnnlBuilder::addSplit(const OnnxNode& node)
{
    const std::vector<int64_t>& x = m_graph.shapeOf(node.input(0));
    const int64_t axisAttr = node.intAttr("axis", 0);
    const size_t axis = size_t(axisAttr < 0 ? axisAttr + int64_t(x.size()) : axisAttr);
    int src = viewOf(node.input(0));
    int64_t offset = 0;
    for (const std::string& output : node.outputs) {
        const std::vector<int64_t>& part = m_graph.shapeOf(output);
        memory::dims offsets(x.size(), 0);
        offsets[axis] = offset;
        md piece;
        try {
            piece =
                m_plan->views[size_t(src)].memory.get_desc().submemory_desc(dimsOf(part), offsets);
        } catch (const dnnl::error&) {
            // Not at a block's edge: cut from the plain layout.
            src = inLayout(src, plain(x));
            piece =
                m_plan->views[size_t(src)].memory.get_desc().submemory_desc(dimsOf(part), offsets);
        }
        const int from = newView(piece, m_plan->views[size_t(src)].value);
        const int dst = newView(plain(part), newValue(plain(part).get_size()));
        addStep(dnnl::reorder(dnnl::reorder::primitive_desc(m_plan->engine, piece, m_plan->engine,
                                                            plain(part))),
                {{DNNL_ARG_FROM, from}, {DNNL_ARG_TO, dst}});
        m_views[output] = dst;
        offset += part[axis];
    }
}

void DnnlBuilder::addReshape(const OnnxNode& node)
{
    const std::vector<int64_t>& x = m_graph.shapeOf(node.input(0));
    const std::vector<int64_t>& y = m_graph.shapeOf(node.outputs.at(0));
    // The values in plain order, then seen with the new dimensions.
    const int value = newValue(plain(x).get_size());
    const int flat = newView(plain(x), value);
    const int src = viewOf(node.input(0));
    addStep(dnnl::reorder(dnnl::reorder::primitive_desc(
                m_plan->engine, m_plan->views[size_t(src)].memory.get_desc(), m_plan->engine,
                plain(x))),
            {{DNNL_ARG_FROM, src}, {DNNL_ARG_TO, flat}});
    m_views[node.outputs.at(0)] = newView(plain(y), value);
}

void DnnlBuilder::addOutputs()
{
    for (const std::string& output : m_graph.outputs) {
        const std::vector<int64_t>& dims = m_graph.shapeOf(output);
        const int value = newValue(plain(dims).get_size());
        m_plan->values[size_t(value)].external = true;
        const int dst = newView(plain(dims), value);
        const int src = viewOf(output);
        addStep(dnnl::reorder(dnnl::reorder::primitive_desc(
                    m_plan->engine, m_plan->views[size_t(src)].memory.get_desc(), m_plan->engine,
                    plain(dims))),
                {{DNNL_ARG_FROM, src}, {DNNL_ARG_TO, dst}});
        m_plan->outputViews.push_back(dst);
        m_plan->outputNames.push_back(output);
        m_plan->outputDims.push_back(dims);
    }
    m_plan->description = "oneDNN " + std::to_string(dnnl::version()->major) + "." +
                          std::to_string(dnnl::version()->minor) + "." +
                          std::to_string(dnnl::version()->patch) +
                          (m_plan->description.empty() ? "" : ", " + m_plan->description);
}

// ----- bookkeeping -----------------------------------------------------------------

int DnnlBuilder::newValue(size_t bytes)
{
    Plan::Value value;
    value.bytes = bytes;
    m_plan->values.push_back(value);
    return int(m_plan->values.size() - 1);
}

int DnnlBuilder::newView(const md& desc, int value)
{
    m_plan->views.push_back({memory(desc, m_plan->engine, nullptr), value});
    return int(m_plan->views.size() - 1);
}

int DnnlBuilder::viewOf(const std::string& tensor) const
{
    const auto it = m_views.find(tensor);
    if (it == m_views.end())
        refuse("tensor " + tensor + " is not computed by then");
    return it->second;
}

int DnnlBuilder::inLayout(int view, const md& wanted)
{
    if (m_plan->views[size_t(view)].memory.get_desc() == wanted)
        return view;
    for (const auto& [from, copy] : m_reordered) {
        if (from == view && m_plan->views[size_t(copy)].memory.get_desc() == wanted)
            return copy;
    }
    const int copy = newView(wanted, newValue(wanted.get_size()));
    addStep(
        dnnl::reorder(dnnl::reorder::primitive_desc(
            m_plan->engine, m_plan->views[size_t(view)].memory.get_desc(), m_plan->engine, wanted)),
        {{DNNL_ARG_FROM, view}, {DNNL_ARG_TO, copy}});
    m_reordered.emplace_back(view, copy);
    return copy;
}

void DnnlBuilder::addStep(dnnl::primitive primitive, std::unordered_map<int, int> views,
                          std::unordered_map<int, memory> fixed, size_t scratchpad)
{
    const int index = int(m_plan->steps.size());
    Plan::Step step{std::move(primitive), std::move(fixed)};
    m_writes.emplace_back();
    for (const auto& [arg, view] : views) {
        if (arg == DNNL_ARG_DST || arg == DNNL_ARG_TO)
            m_writes.back().push_back(view);
        const Plan::View& v = m_plan->views[size_t(view)];
        step.args[arg] = v.memory;
        Plan::Value& value = m_plan->values[size_t(v.value)];
        value.first = std::min(value.first, index);
        value.last = std::max(value.last, index);
    }
    if (scratchpad > 0) {
        // The primitive's scratch space: a value of the working buffer
        // alive for this step alone, laid out with the activations.
        const int value = newValue(scratchpad);
        m_plan->values[size_t(value)].first = m_plan->values[size_t(value)].last = index;
        const int view = newView(md({memory::dim(scratchpad)}, dt::u8, tag::a), value);
        step.args[DNNL_ARG_SCRATCHPAD] = m_plan->views[size_t(view)].memory;
    }
    m_plan->steps.push_back(std::move(step));
}

DnnlBuilder::md DnnlBuilder::plain(const std::vector<int64_t>& dims)
{
    static const tag tags[] = {tag::a, tag::a, tag::ab, tag::abc, tag::abcd, tag::abcde};
    if (dims.size() > 5)
        refuse("a tensor of rank above 5");
    return md(dimsOf(dims), dt::f32, tags[dims.size()]);
}

DnnlBuilder::md DnnlBuilder::any(const std::vector<int64_t>& dims)
{
    return md(dimsOf(dims), dt::f32, tag::any);
}
