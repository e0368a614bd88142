#include "DnnlBuilder.h"

#include "DnnlBufferPlanner.h"
#include "ops/Activation.h"
#include "ops/Arithmetic.h"
#include "ops/Operator.h"
#include "ops/Primitives.h"

#include <algorithm>
#include <exception>

namespace {

using dnnl::memory;
using Primitives::dimsOf;
using tag = dnnl::memory::format_tag;
using dt = dnnl::memory::data_type;

// Weights reordered together (see DnnlBuilder::reorderWeights).
constexpr size_t maxPendingBytes = size_t(32) << 20;

std::string gib(size_t bytes)
{
    return std::to_string((bytes + (size_t(1) << 29)) >> 30) + " GiB";
}

} // namespace

std::unique_ptr<DnnlNetwork::Plan> DnnlBuilder::build(OnnxGraph graph)
{
    DnnlBuilder builder(std::move(graph));
    builder.planFusions();
    const std::vector<OnnxNode>& nodes = builder.m_graph.nodes;
    for (size_t i = 0; i < nodes.size(); ++i) {
        if (!builder.m_fused[i])
            nodes[i].kind->build(nodes[i], builder);
    }
    builder.addOutputs();
    builder.reorderWeights();
    Plan& plan = *builder.m_plan;
    DnnlBufferPlanner::plan(plan, builder.m_concatenations, builder.m_writes);
    // Refused before the first pass allocates it.
    if (plan.arenaBytes > ShapeMath::maxBytes)
        malformed("a pass needs " + gib(plan.arenaBytes) + " of working memory, over " +
                  gib(ShapeMath::maxBytes));
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
        f.output = nodes[i].outputs[0];
        while (const OnnxNode* next = onlyReader(f.output)) {
            const size_t index = size_t(next - nodes.data());
            const auto* arithmetic =
                dynamic_cast<const Arithmetic::Attributes*>(next->parsed.get());
            if (dynamic_cast<const Activation::Attributes*>(next->parsed.get())) {
                f.eltwise.push_back(next);
            } else if (arithmetic && arithmetic->kind == dnnl::algorithm::binary_add && !f.add) {
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
            f.output = next->outputs[0];
        }
    }
}

const DnnlBuilder::Fusion& DnnlBuilder::fusionOf(const OnnxNode& node) const
{
    return m_fusions[indexOf(node)];
}

const std::vector<size_t>& DnnlBuilder::readersOf(const std::string& tensor) const
{
    static const std::vector<size_t> none;
    const auto it = m_readers.find(tensor);
    return it == m_readers.end() ? none : it->second;
}

size_t DnnlBuilder::indexOf(const OnnxNode& node) const
{
    return size_t(&node - m_graph.nodes.data());
}

// ----- outputs ------------------------------------------------------------------

void DnnlBuilder::addOutputs()
{
    for (const std::string& output : m_graph.outputs) {
        const std::vector<int64_t>& dims = m_graph.shapeOf(output);
        const int value = newValue(plain(dims).get_size());
        m_plan->values[size_t(value)].external = true;
        const int dst = newView(plain(dims), value);
        addReorder(viewOf(output), dst);
        m_plan->outputViews.push_back(dst);
        m_plan->outputNames.push_back(output);
        m_plan->outputDims.push_back(dims);
    }
    const dnnl_version_t* v = dnnl::version();
    m_plan->description = "oneDNN " + std::to_string(v->major) + "." + std::to_string(v->minor) +
                          "." + std::to_string(v->patch) +
                          (m_plan->description.empty() ? "" : ", " + m_plan->description);
}

// ----- what the operators build with ----------------------------------------------

int DnnlBuilder::newValue(size_t bytes)
{
    if (bytes > ShapeMath::maxBytes)
        malformed("a tensor of " + gib(bytes) + ", over " + gib(ShapeMath::maxBytes));
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

int DnnlBuilder::newTensor(const md& desc)
{
    return newView(desc, newValue(desc.get_size()));
}

int DnnlBuilder::viewOver(const md& desc, int view)
{
    return newView(desc, m_plan->views[size_t(view)].value);
}

bool DnnlBuilder::isCallers(int view) const
{
    return m_plan->values[size_t(m_plan->views[size_t(view)].value)].external;
}

dnnl::memory::desc DnnlBuilder::descOf(int view) const
{
    return m_plan->views[size_t(view)].memory.get_desc();
}

int DnnlBuilder::viewOf(const std::string& tensor) const
{
    const auto it = m_views.find(tensor);
    if (it == m_views.end())
        refuse("tensor " + tensor + " is not computed by then");
    return it->second;
}

void DnnlBuilder::setView(const std::string& tensor, int view)
{
    m_views[tensor] = view;
}

int DnnlBuilder::inLayout(int view, const md& wanted)
{
    if (descOf(view) == wanted)
        return view;
    for (const auto& [from, copy] : m_reordered) {
        if (from == view && descOf(copy) == wanted)
            return copy;
    }
    const int copy = newTensor(wanted);
    addReorder(view, copy);
    m_reordered.emplace_back(view, copy);
    return copy;
}

void DnnlBuilder::addReorder(int from, int to)
{
    addStep(dnnl::reorder(dnnl::reorder::primitive_desc(m_plan->engine, descOf(from),
                                                        m_plan->engine, descOf(to))),
            {{DNNL_ARG_FROM, from}, {DNNL_ARG_TO, to}});
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

memory DnnlBuilder::addWeights(OnnxConstant values, const md& plainDesc, const md& layout,
                               const std::string& what)
{
    if (size_t(values.count()) * sizeof(float) != plainDesc.get_size())
        malformed(what + " holds " + std::to_string(values.count()) + " values for " +
                  std::to_string(plainDesc.get_size() / sizeof(float)));
    memory held(layout, m_plan->engine);
    m_pendingBytes += plainDesc.get_size();
    m_pendingWeights.push_back({std::move(values), plainDesc, held});
    m_plan->weights.push_back(held);
    // In batches: the file's values go as their copies are made, and the
    // load holds little more than the network at any time.
    if (m_pendingBytes > maxPendingBytes)
        reorderWeights();
    return held;
}

void DnnlBuilder::reorderWeights()
{
    // One parallel region for a batch of them, each reorder on a core of
    // its own: a region per convolution would leave OpenMP's threads
    // spinning between them while the rest of the load waits for a core.
    const long count = long(m_pendingWeights.size());
    std::exception_ptr failure;
#pragma omp parallel for schedule(dynamic)
    for (long i = 0; i < count; ++i) {
        try {
            PendingWeights& w = m_pendingWeights[size_t(i)];
            const std::vector<float> converted =
                w.values.isInt ? w.values.toFloats() : std::vector<float>();
            const float* data = w.values.isInt ? converted.data() : w.values.floatData();
            memory user(w.plain, m_plan->engine, const_cast<float*>(data));
            dnnl::stream stream(m_plan->engine);
            dnnl::reorder(user, w.held).execute(stream, user, w.held);
            stream.wait();
            w.values = OnnxConstant();
        } catch (...) {
#pragma omp critical
            failure = std::current_exception();
        }
    }
    m_pendingWeights.clear();
    m_pendingBytes = 0;
    if (failure)
        std::rethrow_exception(failure);
}

void DnnlBuilder::noteConcatenation(std::vector<int> parts, int result)
{
    m_concatenations.push_back({int(m_plan->steps.size()), std::move(parts), result});
}

void DnnlBuilder::noteWork(double work, const std::string& implementation)
{
    if (work > m_heaviest) {
        m_heaviest = work;
        m_plan->description = implementation;
    }
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
