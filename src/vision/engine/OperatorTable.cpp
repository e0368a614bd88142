#include "OperatorTable.h"

#include "ops/Activation.h"
#include "ops/Arithmetic.h"
#include "ops/Concatenation.h"
#include "ops/Convolution.h"
#include "ops/Pooling.h"
#include "ops/Resampling.h"
#include "ops/Reshape.h"
#include "ops/ShapeFolding.h"
#include "ops/Split.h"

#include <unordered_map>

const Operator* OperatorTable::find(const std::string& op)
{
    static const Activation activation;
    static const Arithmetic arithmetic;
    static const Concatenation concatenation;
    static const Convolution convolution;
    static const Pooling pooling;
    static const Reshape reshape;
    static const Resampling resampling;
    static const ShapeFolding folding;
    static const Split split;
    static const std::unordered_map<std::string, const Operator*> table{
        {"Add", &arithmetic},       {"Cast", &folding},      {"Clip", &activation},
        {"Concat", &concatenation}, {"Constant", &folding},  {"Conv", &convolution},
        {"Gather", &folding},       {"Identity", &folding},  {"LeakyRelu", &activation},
        {"MaxPool", &pooling},      {"Mul", &arithmetic},    {"Relu", &activation},
        {"Reshape", &reshape},      {"Resize", &resampling}, {"Shape", &folding},
        {"Sigmoid", &activation},   {"Slice", &folding},     {"Split", &split},
        {"Squeeze", &folding},      {"Sub", &arithmetic},    {"Unsqueeze", &folding},
    };
    const auto it = table.find(op);
    return it == table.end() ? nullptr : it->second;
}
