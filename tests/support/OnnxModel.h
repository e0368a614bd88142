#pragma once

#include <cstdint>
#include <onnx/onnx_pb.h>
#include <opencv2/core.hpp>
#include <string>
#include <vector>

using Dims = std::vector<int64_t>;

// A small ONNX model written in code for the engine's tests. Nothing is
// checked: a test may write whatever a hostile file would hold.
class OnnxModel final
{
public:
    // A node's attribute, of the type of its value.
    struct Attr
    {
        using A = onnx::AttributeProto;
        Attr(const char* k, int64_t v) : proto(named(k, A::INT)) { proto.set_i(v); }
        Attr(const char* k, int v) : Attr(k, int64_t(v)) {}
        Attr(const char* k, float v) : proto(named(k, A::FLOAT)) { proto.set_f(v); }
        Attr(const char* k, const std::string& v) : proto(named(k, A::STRING)) { proto.set_s(v); }
        Attr(const char* k, const Dims& v) : proto(named(k, A::INTS))
        {
            proto.mutable_ints()->Add(v.begin(), v.end());
        }
        static A named(const char* k, A::AttributeType type);
        A proto;
    };

    // A model with one float input of `dims`; an empty name for none.
    explicit OnnxModel(const std::string& input = "x", const Dims& dims = {}, int opset = 13);

    void input(const std::string& name, const Dims& dims)
    {
        describe(graph().add_input(), name, dims);
    }
    void output(const std::string& name, const Dims& dims = {})
    {
        describe(graph().add_output(), name, dims);
    }
    onnx::NodeProto& node(const std::string& op, const std::vector<std::string>& inputs,
                          const std::vector<std::string>& outputs,
                          const std::vector<Attr>& attributes = {});
    // Initializers, the values not checked against dims: floats as
    // float_data or raw_data, integers as int64_data.
    onnx::TensorProto& floats(const std::string& name, const Dims& dims,
                              const std::vector<float>& values, bool raw = false);
    onnx::TensorProto& int64s(const std::string& name, const Dims& dims, const Dims& values);
    onnx::TensorProto& ints(const std::string& name, const Dims& v)
    {
        return int64s(name, {int64_t(v.size())}, v);
    }
    // A Constant node whose value is a float tensor.
    void constant(const std::string& output, const Dims& dims, const std::vector<float>& values);

    onnx::ModelProto& proto() { return m_model; }
    std::string bytes() const { return m_model.SerializeAsString(); }

private:
    onnx::GraphProto& graph() { return *m_model.mutable_graph(); }
    static void describe(onnx::ValueInfoProto* v, const std::string& name, const Dims& dims);

    onnx::ModelProto m_model;
};

// Continuous CV_32F blobs of any rank, as the engine takes and gives them.
struct Blobs
{
    static cv::Mat make(const std::vector<int>& dims, const std::vector<float>& values)
    {
        return cv::Mat(values, true).reshape(1, int(dims.size()), dims.data());
    }
    // Values in [-1, 1) from `seed`.
    static cv::Mat random(const std::vector<int>& dims, uint64_t seed);
    static std::vector<float> values(const cv::Mat& m)
    {
        return {m.ptr<float>(), m.ptr<float>() + m.total()};
    }
    static std::vector<int> dims(const cv::Mat& m) { return {m.size.p, m.size.p + m.dims}; }
};
