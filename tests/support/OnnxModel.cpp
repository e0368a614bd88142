#include "OnnxModel.h"

namespace {

void floatTensor(onnx::TensorProto& t, const Dims& dims, const std::vector<float>& values, bool raw)
{
    t.set_data_type(onnx::TensorProto::FLOAT);
    t.mutable_dims()->Add(dims.begin(), dims.end());
    if (raw)
        t.set_raw_data(std::string(reinterpret_cast<const char*>(values.data()),
                                   values.size() * sizeof(float)));
    else
        t.mutable_float_data()->Add(values.begin(), values.end());
}

} // namespace

onnx::AttributeProto OnnxModel::Attr::named(const char* key, A::AttributeType type)
{
    A a;
    a.set_name(key);
    a.set_type(type);
    return a;
}

OnnxModel::OnnxModel(const std::string& input, const Dims& dims, int opset)
{
    m_model.set_ir_version(7);
    m_model.add_opset_import()->set_version(opset);
    graph().set_name("test");
    if (!input.empty())
        this->input(input, dims);
}

void OnnxModel::describe(onnx::ValueInfoProto* v, const std::string& name, const Dims& dims)
{
    v->set_name(name);
    auto* type = v->mutable_type()->mutable_tensor_type();
    type->set_elem_type(onnx::TensorProto::FLOAT);
    for (int64_t d : dims)
        type->mutable_shape()->add_dim()->set_dim_value(d);
}

onnx::NodeProto& OnnxModel::node(const std::string& op, const std::vector<std::string>& inputs,
                                 const std::vector<std::string>& outputs,
                                 const std::vector<Attr>& attributes)
{
    onnx::NodeProto* n = graph().add_node();
    n->set_op_type(op);
    n->set_name(op + std::to_string(graph().node_size()));
    n->mutable_input()->Add(inputs.begin(), inputs.end());
    n->mutable_output()->Add(outputs.begin(), outputs.end());
    for (const Attr& a : attributes)
        *n->add_attribute() = a.proto;
    return *n;
}

onnx::TensorProto& OnnxModel::floats(const std::string& name, const Dims& dims,
                                     const std::vector<float>& values, bool raw)
{
    onnx::TensorProto* t = graph().add_initializer();
    t->set_name(name);
    floatTensor(*t, dims, values, raw);
    return *t;
}

onnx::TensorProto& OnnxModel::int64s(const std::string& name, const Dims& dims, const Dims& values)
{
    onnx::TensorProto* t = graph().add_initializer();
    t->set_name(name);
    t->set_data_type(onnx::TensorProto::INT64);
    t->mutable_dims()->Add(dims.begin(), dims.end());
    t->mutable_int64_data()->Add(values.begin(), values.end());
    return *t;
}

void OnnxModel::constant(const std::string& output, const Dims& dims,
                         const std::vector<float>& values)
{
    onnx::AttributeProto* a = node("Constant", {}, {output}).add_attribute();
    *a = Attr::named("value", Attr::A::TENSOR);
    floatTensor(*a->mutable_t(), dims, values, false);
}

cv::Mat Blobs::random(const std::vector<int>& dims, uint64_t seed)
{
    cv::Mat b(int(dims.size()), dims.data(), CV_32F);
    cv::RNG(seed).fill(b, cv::RNG::UNIFORM, -1.f, 1.f);
    return b;
}
