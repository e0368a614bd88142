#pragma once

#include "DnnlPlan.h"

#include <vector>

// Where each activation of a DnnlNetwork lives in its one working buffer:
// the parts of concatenations computed in place where that raises no peak,
// then every value placed by its lifetime and size.
class DnnlBufferPlanner final
{
public:
    using Plan = DnnlNetwork::Plan;

    // A concatenation along channels: its step, the views of its parts, the
    // view of its result.
    struct Concatenation
    {
        int step;
        std::vector<int> parts;
        int result;
    };

    // Plans `plan`'s buffer (values' offsets and parents, arenaBytes),
    // dropping the steps of the concatenations it joins. `writes` holds,
    // per step, the views it writes.
    static void plan(Plan& plan, const std::vector<Concatenation>& concatenations,
                     const std::vector<std::vector<int>>& writes);

private:
    static void joinConcatenations(Plan& plan, const std::vector<Concatenation>& concatenations,
                                   const std::vector<std::vector<int>>& writes);
    static void layOut(Plan& plan);
};
