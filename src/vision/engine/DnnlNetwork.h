#pragma once

#include "NetworkRunner.h"
#include "OnnxGraph.h"

#include <cstddef>
#include <memory>
#include <opencv2/core.hpp>
#include <string>
#include <vector>

// A network run by oneDNN's CPU primitives: a graph read from ONNX (see
// OnnxGraph), built once for its fixed input shapes. Convolutions take the
// activation and element-wise operators that follow them, and an Add
// where one follows, as post-ops; activations stay in the layouts oneDNN
// picks for them (reordered only where a primitive wants another) and
// share one working buffer by lifetime, made by the first pass; weights
// are reordered once, here. Anything oneDNN cannot compute exactly as the
// graph says is refused at build (UnsupportedGraph), so that the caller can
// fall back to OpenCV's DNN module; a file that is no sound network is
// refused as MalformedModel.
class DnnlNetwork final : public NetworkRunner
{
public:
    // Builds the network, taking the graph's weights. Throws UnsupportedGraph
    // (or MalformedModel).
    static std::unique_ptr<DnnlNetwork> build(OnnxGraph graph);
    ~DnnlNetwork() override;

    DnnlNetwork(const DnnlNetwork&) = delete;
    DnnlNetwork& operator=(const DnnlNetwork&) = delete;

    // One forward pass. `inputs` in the graph's order, each a continuous
    // CV_32F blob of the input's shape (NCHW); the outputs in the graph's
    // order, as continuous CV_32F blobs of their shapes. Throws
    // std::runtime_error with oneDNN's text on failure.
    std::vector<cv::Mat> forward(const std::vector<cv::Mat>& inputs);
    std::vector<cv::Mat> forward(const cv::Mat& blob,
                                 const std::vector<std::string>& outputs) override;

    // What runs: the library and the implementation of its heaviest
    // convolution ("oneDNN 2.6.3, brgconv:avx512_core").
    QString engine() const override;
    struct Plan;

private:
    struct FreeDeleter
    {
        void operator()(char* p) const;
    };

    explicit DnnlNetwork(std::unique_ptr<Plan> plan);

    std::unique_ptr<Plan> m_plan;
    std::unique_ptr<char, FreeDeleter> m_arena; // made by the first pass
};
