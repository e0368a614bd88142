#include "WorkingMemory.h"

#include <atomic>

namespace {

std::atomic<bool>& kept()
{
    static std::atomic<bool> keep{true};
    return keep;
}

} // namespace

void WorkingMemory::keepBetweenPasses(bool keep)
{
    kept().store(keep);
}

bool WorkingMemory::keptBetweenPasses()
{
    return kept().load();
}
