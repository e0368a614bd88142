#pragma once

#include "DnnlBufferPlanner.h"
#include "DnnlPlan.h"
#include "OnnxGraph.h"

#include <map>
#include <memory>
#include <string>
#include <vector>

// Turns a graph into a DnnlNetwork's plan: chooses the fusions, creates the
// primitives with the layouts oneDNN prefers, inserts reorders where a
// primitive wants another layout than its input has, reorders the weights,
// and has DnnlBufferPlanner lay the activations out in one working buffer.
class DnnlBuilder final
{
public:
    // Throws UnsupportedGraph.
    static std::unique_ptr<DnnlNetwork::Plan> build(OnnxGraph graph);

private:
    using Plan = DnnlNetwork::Plan;
    using md = dnnl::memory::desc;

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

    // How a fused Add is made. The fused operators go in as post-ops, and
    // the Add as a sum into the destination. Where a machine's convolutions
    // take that chain only in their reference code (AVX2, with an activation
    // before the sum), the Add reads its other operand as a binary post-op;
    // where that is refused too, it is a step of its own after the
    // convolution.
    enum class AddAs { sum, binary, step };
    struct ConvChoice
    {
        dnnl::convolution_forward::primitive_desc pd;
        AddAs addAs;
    };

    explicit DnnlBuilder(OnnxGraph graph);

    void planFusions();
    void addNode(size_t index);
    void addConv(size_t index);
    // The fastest convolution oneDNN has for `node` with `attr`'s post-ops.
    dnnl::convolution_forward::primitive_desc chooseConvolution(const OnnxNode& node,
                                                                const dnnl::primitive_attr& attr);
    // The convolution with `f` fused, and how its Add is made.
    ConvChoice chooseFusedConvolution(const OnnxNode& node, const Fusion& f, int addendView);
    // `f`'s operators as post-ops, with the Add made `how`.
    dnnl::primitive_attr convAttr(const Fusion& f, AddAs how, int addendView) const;
    // The weights, once, in the layout `pd` reads, and the bias.
    std::unordered_map<int, dnnl::memory>
    convWeights(const OnnxNode& node, const dnnl::convolution_forward::primitive_desc& pd);
    // The destination of the convolution `index` that sums into it.
    int sumDestination(size_t index, const Fusion& f, const md& desc);
    // The Add as a step after the convolution's output `convolved`.
    int addSeparateSum(const Fusion& f, int convolved, const md& desc);
    // Keeps the heaviest convolution's implementation for the description.
    void noteWork(const OnnxNode& node, const std::string& implementation);
    void addEltwise(const OnnxNode& node);
    void addPool(const OnnxNode& node);
    void addConcat(const OnnxNode& node);
    void addResize(const OnnxNode& node);
    void addArithmetic(const OnnxNode& node);
    // Add, Sub or Mul of a tensor and a single number; of a tensor and a
    // constant that broadcasts; of two tensors of one shape. Their output view.
    int addScaled(const OnnxNode& node, const std::vector<int64_t>& y);
    int addWithConstant(const OnnxNode& node, const std::vector<int64_t>& y);
    int addOfTensors(const OnnxNode& node, const std::vector<int64_t>& y);
    void addSplit(const OnnxNode& node);
    void addReshape(const OnnxNode& node);
    void addOutputs();

    int newValue(size_t bytes);
    int newView(const md& desc, int value);
    int viewOf(const std::string& tensor) const;
    // `view` in the layout `wanted`: itself, or a reordered copy (made once).
    int inLayout(int view, const md& wanted);
    // Appends a primitive reading and writing `views` (by argument), and
    // memory of its own (`fixed`: weights), with `scratchpad` bytes.
    void addStep(dnnl::primitive primitive, std::unordered_map<int, int> views,
                 std::unordered_map<int, dnnl::memory> fixed = {}, size_t scratchpad = 0);
    static md plain(const std::vector<int64_t>& dims);
    static md any(const std::vector<int64_t>& dims);
    void appendEltwise(dnnl::post_ops& ops, const OnnxNode& node) const;
    std::pair<dnnl::algorithm, std::pair<float, float>> eltwiseOf(const OnnxNode& node) const;

    OnnxGraph m_graph;
    std::unique_ptr<Plan> m_plan;
    std::map<std::string, int> m_views;                   // tensor name -> its view
    std::vector<std::pair<int, int>> m_reordered;         // a view, and a copy in another layout
    std::vector<Fusion> m_fusions;                        // per node; meaningful for Conv
    std::vector<bool> m_fused;                            // taken into an earlier convolution
    std::map<std::string, std::vector<size_t>> m_readers; // tensor -> reading nodes
    std::vector<DnnlBufferPlanner::Concatenation> m_concatenations;
    std::vector<std::vector<int>> m_writes; // per step, the views it writes
    double m_heaviest = 0;                  // the largest convolution's work, for the description
};
