#pragma once

#include "OnnxGraph.h"

#include <dnnl.hpp>
#include <string>
#include <vector>

// What the operators share when they describe their primitives.
namespace Primitives {

inline dnnl::memory::dims dimsOf(const std::vector<int64_t>& v)
{
    return dnnl::memory::dims(v.begin(), v.end());
}

// A primitive descriptor, or the graph refused with oneDNN's reason.
template <typename Make> auto described(const OnnxNode& node, Make make)
{
    try {
        return make();
    } catch (const dnnl::error& e) {
        refuse("oneDNN cannot run " + node.label() + ": " + e.what());
    }
}

// Whether oneDNN chose its reference code, the slow one it falls back on.
template <typename PrimitiveDesc> bool isReference(const PrimitiveDesc& pd)
{
    return std::string(pd.impl_info_str()).rfind("ref", 0) == 0;
}

} // namespace Primitives
