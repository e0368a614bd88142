#include "ShapeMath.h"

#include "GraphErrors.h"

#include <algorithm>

namespace ShapeMath {

int64_t elements(const Shape& dims, const std::string& what, bool emptyAllowed)
{
    int64_t n = 1;
    for (int64_t d : dims) {
        if (d < 0 || (d == 0 && !emptyAllowed))
            malformed(what + " has a dimension of " + std::to_string(d));
        if (d > 0 && n > maxElements / d)
            malformed(what + " needs more than " + std::to_string(maxBytes >> 30) +
                      " GiB of memory");
        n *= d;
    }
    return n;
}

void checkTensor(const Shape& dims, const std::string& what)
{
    if (dims.empty() || dims.size() > 5)
        refuse(what + " has rank " + std::to_string(dims.size()));
    elements(dims, what);
}

int64_t axis(int64_t axis, size_t rank)
{
    const int64_t r = int64_t(rank);
    if (axis < -r || axis >= r)
        malformed("an axis out of range (" + std::to_string(axis) + " of rank " +
                  std::to_string(rank) + ")");
    return axis < 0 ? axis + r : axis;
}

int64_t clampedIndex(int64_t i, int64_t n)
{
    if (i < 0)
        i = i < -n ? 0 : i + n;
    return std::clamp<int64_t>(i, 0, n);
}

Shape broadcast(const Shape& a, const Shape& b)
{
    const size_t rank = std::max(a.size(), b.size());
    Shape out(rank);
    for (size_t i = 0; i < rank; ++i) {
        const int64_t x = i < rank - a.size() ? 1 : a[i - (rank - a.size())];
        const int64_t y = i < rank - b.size() ? 1 : b[i - (rank - b.size())];
        if (x != y && x != 1 && y != 1)
            malformed("shapes that do not broadcast");
        out[i] = std::max(x, y);
    }
    return out;
}

} // namespace ShapeMath
