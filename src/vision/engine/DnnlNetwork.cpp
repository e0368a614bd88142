#include "DnnlNetwork.h"

#include "DnnlBuilder.h"
#include "DnnlPlan.h"
#include "ForwardLock.h"
#include "WorkingMemory.h"

#include <algorithm>
#include <cstdlib>
#include <omp.h>
#include <opencv2/core/utility.hpp>

std::unique_ptr<DnnlNetwork> DnnlNetwork::build(OnnxGraph graph)
{
    try {
        return std::unique_ptr<DnnlNetwork>(new DnnlNetwork(DnnlBuilder::build(std::move(graph))));
    } catch (const dnnl::error& e) {
        throw UnsupportedGraph(std::string("oneDNN: ") + e.what());
    }
}

DnnlNetwork::DnnlNetwork(std::unique_ptr<Plan> plan) : m_plan(std::move(plan)) {}

DnnlNetwork::~DnnlNetwork() = default;

void DnnlNetwork::FreeDeleter::operator()(char* p) const
{
    std::free(p);
}

QString DnnlNetwork::engine() const
{
    return QString::fromStdString(m_plan->description);
}

std::vector<cv::Mat> DnnlNetwork::forward(const cv::Mat& blob,
                                          const std::vector<std::string>& outputs)
{
    std::vector<cv::Mat> all = forward(std::vector<cv::Mat>{blob});
    std::vector<cv::Mat> asked;
    for (const std::string& name : outputs) {
        const auto it = std::find(m_plan->outputNames.begin(), m_plan->outputNames.end(), name);
        if (it == m_plan->outputNames.end())
            throw std::runtime_error("the network has no output " + name);
        asked.push_back(all[size_t(it - m_plan->outputNames.begin())]);
    }
    return asked;
}

std::vector<cv::Mat> DnnlNetwork::forward(const std::vector<cv::Mat>& inputs)
{
    Plan& plan = *m_plan;
    if (inputs.size() != plan.inputViews.size())
        throw std::runtime_error("the network takes " + std::to_string(plan.inputViews.size()) +
                                 " inputs");
    std::lock_guard<std::mutex> lock(ForwardLock::mutex());
    // The working buffer is made by the first pass and kept while
    // WorkingMemory says so: pages touched afresh on every pass cost time.
    if (!m_arena) {
        m_arena.reset(static_cast<char*>(std::aligned_alloc(64, plan.arenaBytes + 64)));
        if (!m_arena)
            throw std::bad_alloc();
    }
    char* const arena = m_arena.get();
    // Where each value lives this pass: the caller's blobs, or the buffer.
    std::vector<char*> base(plan.values.size(), nullptr);
    for (size_t v = 0; v < plan.values.size(); ++v) {
        if (plan.values[v].external)
            continue;
        // A part of a concatenation's result lies within it.
        size_t offset = plan.values[v].offset;
        int outer = plan.values[v].parent;
        for (; outer >= 0; outer = plan.values[size_t(outer)].parent)
            offset += plan.values[size_t(outer)].offset;
        base[v] = arena + offset;
    }
    for (size_t i = 0; i < inputs.size(); ++i) {
        const cv::Mat& input = inputs[i];
        const Plan::View& view = plan.views[size_t(plan.inputViews[i])];
        if (input.type() != CV_32F || !input.isContinuous() ||
            input.total() * sizeof(float) != view.memory.get_desc().get_size())
            throw std::runtime_error("an input blob of the wrong size");
        base[size_t(view.value)] = reinterpret_cast<char*>(const_cast<float*>(input.ptr<float>()));
    }
    std::vector<cv::Mat> outputs;
    for (size_t i = 0; i < plan.outputViews.size(); ++i) {
        const std::vector<int> sizes(plan.outputDims[i].begin(), plan.outputDims[i].end());
        outputs.emplace_back(int(sizes.size()), sizes.data(), CV_32F);
        base[size_t(plan.views[size_t(plan.outputViews[i])].value)] =
            reinterpret_cast<char*>(outputs.back().data);
    }
    for (Plan::View& view : plan.views)
        view.memory.set_data_handle(base[size_t(view.value)]);
    // Every core the process may use, on OpenMP's threads of this caller.
    omp_set_num_threads(std::max(1, cv::getNumberOfCPUs()));
    try {
        for (Plan::Step& step : plan.steps)
            step.primitive.execute(plan.stream, step.args);
        plan.stream.wait();
    } catch (const dnnl::error& e) {
        throw std::runtime_error(std::string("oneDNN: ") + e.what());
    }
    // Where it is not kept, the buffer goes back to the system at once (a
    // block this large is mapped of its own).
    if (!WorkingMemory::keptBetweenPasses())
        m_arena.reset();
    return outputs;
}
