#pragma once

#include "DnnlBufferPlanner.h"
#include "DnnlPlan.h"
#include "OnnxGraph.h"

#include <map>
#include <memory>
#include <string>
#include <vector>

// Turns a graph into a DnnlNetwork's plan: chooses the fusions, has each
// node's operator add its primitives (with the layouts oneDNN prefers, and
// reorders where a primitive wants another layout than its input has),
// reorders the weights once, and has DnnlBufferPlanner lay the activations
// out in one working buffer. What the operators build with is public here.
class DnnlBuilder final
{
public:
    using Plan = DnnlNetwork::Plan;
    using md = dnnl::memory::desc;

    // Throws UnsupportedGraph (or MalformedModel).
    static std::unique_ptr<Plan> build(OnnxGraph graph);

    // What a convolution takes in after it: element-wise operators, and at
    // most one Add whose other operand is ready before the convolution.
    struct Fusion
    {
        std::vector<const OnnxNode*> eltwise; // in order, around the sum
        const OnnxNode* add = nullptr;
        size_t eltwiseBeforeSum = 0; // how many of `eltwise` come before the Add
        std::string addend;          // the Add's other operand
        std::string output;          // the tensor the fused chain ends in
    };

    OnnxGraph& graph() { return m_graph; }
    const dnnl::engine& engine() const { return m_plan->engine; }
    // The fusion planned for a convolution.
    const Fusion& fusionOf(const OnnxNode& node) const;
    // The nodes reading `tensor`, by index.
    const std::vector<size_t>& readersOf(const std::string& tensor) const;
    size_t indexOf(const OnnxNode& node) const;

    // The view a tensor is computed in; UnsupportedGraph where it is not yet.
    int viewOf(const std::string& tensor) const;
    dnnl::memory::desc descOf(int view) const;
    // A new value of `desc`'s size, seen as `desc`.
    int newTensor(const md& desc);
    // `desc` over the same bytes as `view` (a part of it, or it reshaped).
    int viewOver(const md& desc, int view);
    // Whether `view`'s bytes are the caller's (an input of the network).
    bool isCallers(int view) const;
    // Names the tensor computed in `view`.
    void setView(const std::string& tensor, int view);
    // `view` in the layout `wanted`: itself, or a reordered copy (made once).
    int inLayout(int view, const md& wanted);
    // Appends a primitive reading and writing `views` (by argument), and
    // memory of its own (`fixed`: weights), with `scratchpad` bytes.
    void addStep(dnnl::primitive primitive, std::unordered_map<int, int> views,
                 std::unordered_map<int, dnnl::memory> fixed = {}, size_t scratchpad = 0);
    // A reorder of `from` into `to`, as a step.
    void addReorder(int from, int to);
    // Weights held by the network: the constant's values (plain, as
    // `plainDesc` says) in the layout `layout`. MalformedModel where their
    // count does not fit. The reorders run together once the network is
    // built.
    dnnl::memory addWeights(OnnxConstant values, const md& plainDesc, const md& layout,
                            const std::string& what);
    // The step about to be added joins `parts` along channels into `result`.
    void noteConcatenation(std::vector<int> parts, int result);
    // Keeps the implementation of the heaviest convolution for the description.
    void noteWork(double work, const std::string& implementation);

    static md plain(const std::vector<int64_t>& dims);
    static md any(const std::vector<int64_t>& dims);

private:
    explicit DnnlBuilder(OnnxGraph graph);

    void planFusions();
    void addOutputs();
    void reorderWeights();
    int newValue(size_t bytes);
    int newView(const md& desc, int value);

    OnnxGraph m_graph;
    std::unique_ptr<Plan> m_plan;
    std::map<std::string, int> m_views;                   // tensor name -> its view
    std::vector<std::pair<int, int>> m_reordered;         // a view, and a copy in another layout
    std::vector<Fusion> m_fusions;                        // per node; meaningful for Conv
    std::vector<bool> m_fused;                            // taken into an earlier convolution
    std::map<std::string, std::vector<size_t>> m_readers; // tensor -> reading nodes
    std::vector<DnnlBufferPlanner::Concatenation> m_concatenations;
    std::vector<std::vector<int>> m_writes; // per step, the views it writes
    // Weights waiting for their reorder: the values, their plain layout,
    // and where they go.
    struct PendingWeights
    {
        OnnxConstant values;
        md plain;
        dnnl::memory held;
    };
    std::vector<PendingWeights> m_pendingWeights;
    size_t m_pendingBytes = 0;
    double m_heaviest = 0; // the largest convolution's work, for the description
};
