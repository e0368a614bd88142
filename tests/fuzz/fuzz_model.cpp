// libFuzzer target: any bytes as a model file, through what loading a
// network does before its first pass: OnnxGraph::parse (the protobuf
// reader, folding of sizes, shape inference) and DnnlNetwork::build (the
// primitives, weights reordered, the buffer planned). Refusals are the
// expected outcome; a crash, a sanitizer report, a hang or memory past
// libFuzzer's limit is a finding. Nothing is run forward. Built and run by
// scripts/fuzz model.
#include "DnnlNetwork.h"
#include "OnnxGraph.h"

#include <cstdint>
#include <new>
#include <string>

namespace {

// Larger inputs only slow the search: a model's structure fits well within.
constexpr size_t maxBytes = size_t(4) << 20;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > maxBytes)
        return 0;
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    try {
        DnnlNetwork::build(OnnxGraph::parse(bytes));
    } catch (const UnsupportedGraph&) {
    } catch (const std::bad_alloc&) {
    }
    // Anything else thrown is a finding too: it would escape the loader.
    return 0;
}
