#pragma once

#include <cstdint>
#include <onnx/onnx_pb.h>
#include <opencv2/core.hpp>
#include <string>
#include <vector>

// A small ONNX model written in code for the engine's tests: inputs, nodes,
// initializers of each type and form, attributes of each type, outputs.
// Nothing is checked: a test may write whatever a hostile file would hold.
class OnnxModel final
{
public:
    // A model with one float input of `dims`; an empty name for none.
    explicit OnnxModel(const std::string& input = "x", const std::vector<int64_t>& dims = {},
                       int opset = 13);

    void input(const std::string& name, const std::vector<int64_t>& dims);
    void output(const std::string& name, const std::vector<int64_t>& dims = {});
    onnx::NodeProto& node(const std::string& op, const std::vector<std::string>& inputs,
                          const std::vector<std::string>& outputs);

    // Initializers: floats as float_data or raw_data, integers as
    // int64_data or int32_data; the values are not checked against dims.
    onnx::TensorProto& floats(const std::string& name, const std::vector<int64_t>& dims,
                              const std::vector<float>& values);
    onnx::TensorProto& rawFloats(const std::string& name, const std::vector<int64_t>& dims,
                                 const std::vector<float>& values);
    onnx::TensorProto& ints(const std::string& name, const std::vector<int64_t>& values);
    onnx::TensorProto& int64s(const std::string& name, const std::vector<int64_t>& dims,
                              const std::vector<int64_t>& values);
    onnx::TensorProto& int32s(const std::string& name, const std::vector<int64_t>& dims,
                              const std::vector<int32_t>& values);
    // An initializer whose bytes are said to be in another file.
    onnx::TensorProto& external(const std::string& name, const std::vector<int64_t>& dims,
                                const std::string& location);
    // A Constant node whose value is `tensor`.
    onnx::NodeProto& constant(const std::string& output, const onnx::TensorProto& tensor);

    onnx::ModelProto& proto() { return m_model; }
    std::string bytes() const { return m_model.SerializeAsString(); }

    static onnx::TensorProto floatTensor(const std::vector<int64_t>& dims,
                                         const std::vector<float>& values);
    static onnx::TensorProto intTensor(const std::vector<int64_t>& dims,
                                       const std::vector<int64_t>& values);

    static void attr(onnx::NodeProto& n, const std::string& key,
                     const std::vector<int64_t>& values);
    static void attr(onnx::NodeProto& n, const std::string& key, int64_t value);
    static void attr(onnx::NodeProto& n, const std::string& key, float value);
    static void attr(onnx::NodeProto& n, const std::string& key, const std::vector<float>& values);
    static void attr(onnx::NodeProto& n, const std::string& key, const std::string& value);
    static void attr(onnx::NodeProto& n, const std::string& key, const onnx::TensorProto& value);

private:
    onnx::TensorProto& initializer(const std::string& name, const std::vector<int64_t>& dims,
                                   int type);

    onnx::ModelProto m_model;
};

// Continuous CV_32F blobs of any rank, as the engine takes and gives them.
namespace Blobs {
cv::Mat make(const std::vector<int>& dims, const std::vector<float>& values);
// Values in [-1, 1) from `seed`.
cv::Mat random(const std::vector<int>& dims, uint64_t seed);
std::vector<float> values(const cv::Mat& m);
std::vector<int> dims(const cv::Mat& m);
} // namespace Blobs
