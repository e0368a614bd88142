#pragma once

#include <stdexcept>
#include <string>

// A graph the engine cannot run (an operator it does not have, a form of one
// it does not take): the network falls back to OpenCV's DNN module.
class UnsupportedGraph : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// A file that is not a sound network: a size of zero, a stride of 0, a weight
// shorter than its shape, a tensor too large to hold. Refused, and not handed
// to OpenCV either, whose reader takes such values on trust.
class MalformedModel final : public UnsupportedGraph
{
public:
    using UnsupportedGraph::UnsupportedGraph;
};

// Throw the two, with the reason.
[[noreturn]] void refuse(const std::string& why);
[[noreturn]] void malformed(const std::string& why);
