#pragma once

#include "Operator.h"

#include <dnnl.hpp>

// Resize of an image to a size known at load: linear with half-pixel
// coordinates, or nearest where it grows by whole steps (there the pixel
// oneDNN picks is the one ONNX's coordinates pick).
class Resampling final : public Operator
{
public:
    struct Attributes final : OperatorAttributes
    {
        dnnl::algorithm algorithm = dnnl::algorithm::resampling_linear;
    };

    std::vector<Shape> read(OnnxNode& node, const OnnxGraph& graph) const override;
    void build(const OnnxNode& node, DnnlBuilder& builder) const override;
};
