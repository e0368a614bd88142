#pragma once

#include "Operator.h"

#include <dnnl.hpp>

// Add, Sub and Mul: of a tensor and a single number (a linear element-wise
// operation), of a tensor and a constant that broadcasts to it (Add and Mul,
// the constant as a second operand), and of two tensors of one shape.
class Arithmetic final : public Operator
{
public:
    enum class Form { withNumber, withConstant, ofTensors };
    struct Attributes final : OperatorAttributes
    {
        dnnl::algorithm kind = dnnl::algorithm::binary_add;
        Form form = Form::ofTensors;
        float number = 0.f;       // withNumber: the number
        bool numberFirst = false; // withNumber: number - tensor
        std::string tensor;       // withNumber, withConstant: the tensor operand
    };

    std::vector<Shape> read(OnnxNode& node, const OnnxGraph& graph) const override;
    void build(const OnnxNode& node, DnnlBuilder& builder) const override;

private:
    static int buildWithNumber(const OnnxNode& node, const Attributes& a, DnnlBuilder& builder);
    static int buildWithConstant(const OnnxNode& node, const Attributes& a, DnnlBuilder& builder);
    static int buildOfTensors(const OnnxNode& node, const Attributes& a, DnnlBuilder& builder);
};
