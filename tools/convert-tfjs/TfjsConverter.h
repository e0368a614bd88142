#pragma once

// Rewrites a TensorFlow.js graph model as an ONNX model (opset 11) that
// OpenCV 4.6's DNN module runs.
//
// TensorFlow computes convolutions on NHWC tensors and the exported graphs
// move between layouts with Transpose nodes; OpenCV wants NCHW. Each tensor
// is therefore kept with the order its data is stored in, and a Transpose
// only changes that record: a real transpose is emitted only where an
// operation needs another order (a Reshape, a graph output). Everything that
// does not depend on the input (shapes, slices of shapes, sparse constants)
// is computed here for the fixed input size and becomes a constant.

#include "TfjsModel.h"

#include <onnx/onnx_pb.h>
#include <string>
#include <utility>
#include <vector>

namespace tfjs {

struct ConvertOptions
{
    // The input's size where the graph leaves it open (NHWC or as declared).
    std::vector<int64_t> inputShape;
    // A 4-D NHWC input is taken as NCHW planes, as OpenCV's blobs are laid out.
    bool inputChannelsFirst = false;
    // An integer input is declared float; its Cast to float goes.
    bool floatInput = false;
    // Graph outputs: TF tensor ("node" or "node:1") and ONNX name. Empty: the
    // signature's outputs, named after their nodes.
    std::vector<std::pair<std::string, std::string>> outputs;
    // Outputs stay in the order they are computed in (no final transposes).
    bool outputsAsComputed = false;
};

struct OutputInfo
{
    std::string name;
    std::vector<int64_t> shape;   // as stored in the ONNX output
    std::vector<int> logicalAxes; // TF axis held by each stored axis
};

struct ConvertResult
{
    onnx::ModelProto model;
    std::vector<OutputInfo> outputs;
};

ConvertResult convert(const Model& model, const ConvertOptions& options);

// Protobuf bytes, identical for identical models.
std::string serialize(const onnx::ModelProto& model);

} // namespace tfjs
