#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Tensor shapes and the arithmetic on them, checked: a file may say anything,
// and every size the engine computes from it is in range before it is used.
namespace ShapeMath {

using Shape = std::vector<int64_t>;

// The most the engine holds: any one tensor, the weights, the working buffer.
constexpr size_t maxBytes = size_t(4) << 30;
constexpr int64_t maxElements = int64_t(maxBytes / sizeof(float));
// Kernels, strides, dilations and pads beyond this are no image network's.
constexpr int64_t maxWindow = int64_t(1) << 16;

// The number of values of `dims`, each at least 1 (or 0 where `emptyAllowed`)
// and all together at most maxElements; MalformedModel naming `what`
// otherwise.
int64_t elements(const Shape& dims, const std::string& what, bool emptyAllowed = false);
// `dims` as the shape of a tensor a pass computes: rank 1 to 5, every side at
// least 1, at most maxElements values.
void checkTensor(const Shape& dims, const std::string& what);

// `axis` (negative from the end) as an index into a rank-`rank` shape.
int64_t axis(int64_t axis, size_t rank);
// A Python-style index into a length-n axis, clamped to [0, n].
int64_t clampedIndex(int64_t i, int64_t n);
// The shape two operands broadcast to (numpy's rules).
Shape broadcast(const Shape& a, const Shape& b);

} // namespace ShapeMath
