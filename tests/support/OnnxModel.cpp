#include "OnnxModel.h"

#include <cstring>

namespace {

void describe(onnx::ValueInfoProto* v, const std::string& name, const std::vector<int64_t>& dims)
{
    v->set_name(name);
    auto* type = v->mutable_type()->mutable_tensor_type();
    type->set_elem_type(onnx::TensorProto::FLOAT);
    auto* shape = type->mutable_shape();
    for (int64_t d : dims)
        shape->add_dim()->set_dim_value(d);
}

onnx::AttributeProto* added(onnx::NodeProto& n, const std::string& key,
                            onnx::AttributeProto::AttributeType type)
{
    onnx::AttributeProto* a = n.add_attribute();
    a->set_name(key);
    a->set_type(type);
    return a;
}

} // namespace

OnnxModel::OnnxModel(const std::string& input, const std::vector<int64_t>& dims, int opset)
{
    m_model.set_ir_version(7);
    m_model.add_opset_import()->set_version(opset);
    m_model.mutable_graph()->set_name("test");
    if (!input.empty())
        this->input(input, dims);
}

void OnnxModel::input(const std::string& name, const std::vector<int64_t>& dims)
{
    describe(m_model.mutable_graph()->add_input(), name, dims);
}

void OnnxModel::output(const std::string& name, const std::vector<int64_t>& dims)
{
    describe(m_model.mutable_graph()->add_output(), name, dims);
}

onnx::NodeProto& OnnxModel::node(const std::string& op, const std::vector<std::string>& inputs,
                                 const std::vector<std::string>& outputs)
{
    onnx::NodeProto* n = m_model.mutable_graph()->add_node();
    n->set_op_type(op);
    n->set_name(op + std::to_string(m_model.graph().node_size()));
    for (const std::string& i : inputs)
        n->add_input(i);
    for (const std::string& o : outputs)
        n->add_output(o);
    return *n;
}

onnx::TensorProto& OnnxModel::initializer(const std::string& name, const std::vector<int64_t>& dims,
                                          int type)
{
    onnx::TensorProto* t = m_model.mutable_graph()->add_initializer();
    t->set_name(name);
    t->set_data_type(type);
    for (int64_t d : dims)
        t->add_dims(d);
    return *t;
}

onnx::TensorProto& OnnxModel::floats(const std::string& name, const std::vector<int64_t>& dims,
                                     const std::vector<float>& values)
{
    onnx::TensorProto& t = initializer(name, dims, onnx::TensorProto::FLOAT);
    for (float v : values)
        t.add_float_data(v);
    return t;
}

onnx::TensorProto& OnnxModel::rawFloats(const std::string& name, const std::vector<int64_t>& dims,
                                        const std::vector<float>& values)
{
    onnx::TensorProto& t = initializer(name, dims, onnx::TensorProto::FLOAT);
    std::string raw(values.size() * sizeof(float), '\0');
    if (!values.empty())
        std::memcpy(raw.data(), values.data(), raw.size());
    t.set_raw_data(raw);
    return t;
}

onnx::TensorProto& OnnxModel::ints(const std::string& name, const std::vector<int64_t>& values)
{
    return int64s(name, {int64_t(values.size())}, values);
}

onnx::TensorProto& OnnxModel::int64s(const std::string& name, const std::vector<int64_t>& dims,
                                     const std::vector<int64_t>& values)
{
    onnx::TensorProto& t = initializer(name, dims, onnx::TensorProto::INT64);
    for (int64_t v : values)
        t.add_int64_data(v);
    return t;
}

onnx::TensorProto& OnnxModel::int32s(const std::string& name, const std::vector<int64_t>& dims,
                                     const std::vector<int32_t>& values)
{
    onnx::TensorProto& t = initializer(name, dims, onnx::TensorProto::INT32);
    for (int32_t v : values)
        t.add_int32_data(v);
    return t;
}

onnx::TensorProto& OnnxModel::external(const std::string& name, const std::vector<int64_t>& dims,
                                       const std::string& location)
{
    onnx::TensorProto& t = initializer(name, dims, onnx::TensorProto::FLOAT);
    t.set_data_location(onnx::TensorProto::EXTERNAL);
    onnx::StringStringEntryProto* where = t.add_external_data();
    where->set_key("location");
    where->set_value(location);
    return t;
}

onnx::NodeProto& OnnxModel::constant(const std::string& output, const onnx::TensorProto& tensor)
{
    onnx::NodeProto& n = node("Constant", {}, {output});
    attr(n, "value", tensor);
    return n;
}

onnx::TensorProto OnnxModel::floatTensor(const std::vector<int64_t>& dims,
                                         const std::vector<float>& values)
{
    onnx::TensorProto t;
    t.set_data_type(onnx::TensorProto::FLOAT);
    for (int64_t d : dims)
        t.add_dims(d);
    for (float v : values)
        t.add_float_data(v);
    return t;
}

onnx::TensorProto OnnxModel::intTensor(const std::vector<int64_t>& dims,
                                       const std::vector<int64_t>& values)
{
    onnx::TensorProto t;
    t.set_data_type(onnx::TensorProto::INT64);
    for (int64_t d : dims)
        t.add_dims(d);
    for (int64_t v : values)
        t.add_int64_data(v);
    return t;
}

void OnnxModel::attr(onnx::NodeProto& n, const std::string& key, const std::vector<int64_t>& values)
{
    onnx::AttributeProto* a = added(n, key, onnx::AttributeProto::INTS);
    for (int64_t v : values)
        a->add_ints(v);
}

void OnnxModel::attr(onnx::NodeProto& n, const std::string& key, int64_t value)
{
    added(n, key, onnx::AttributeProto::INT)->set_i(value);
}

void OnnxModel::attr(onnx::NodeProto& n, const std::string& key, float value)
{
    added(n, key, onnx::AttributeProto::FLOAT)->set_f(value);
}

void OnnxModel::attr(onnx::NodeProto& n, const std::string& key, const std::vector<float>& values)
{
    onnx::AttributeProto* a = added(n, key, onnx::AttributeProto::FLOATS);
    for (float v : values)
        a->add_floats(v);
}

void OnnxModel::attr(onnx::NodeProto& n, const std::string& key, const std::string& value)
{
    added(n, key, onnx::AttributeProto::STRING)->set_s(value);
}

void OnnxModel::attr(onnx::NodeProto& n, const std::string& key, const onnx::TensorProto& value)
{
    *added(n, key, onnx::AttributeProto::TENSOR)->mutable_t() = value;
}

namespace Blobs {

cv::Mat make(const std::vector<int>& dims, const std::vector<float>& values)
{
    cv::Mat b(int(dims.size()), dims.data(), CV_32F);
    CV_Assert(values.size() == b.total());
    std::copy(values.begin(), values.end(), b.ptr<float>());
    return b;
}

cv::Mat random(const std::vector<int>& dims, uint64_t seed)
{
    cv::Mat b(int(dims.size()), dims.data(), CV_32F);
    cv::RNG rng(seed);
    rng.fill(b, cv::RNG::UNIFORM, -1.f, 1.f);
    return b;
}

std::vector<float> values(const cv::Mat& m)
{
    return std::vector<float>(m.ptr<float>(), m.ptr<float>() + m.total());
}

std::vector<int> dims(const cv::Mat& m)
{
    return std::vector<int>(m.size.p, m.size.p + m.dims);
}

} // namespace Blobs
