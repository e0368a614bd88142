#include "Operator.h"

std::optional<OnnxConstant> Operator::fold(const OnnxNode&, const OnnxGraph&) const
{
    return std::nullopt;
}
