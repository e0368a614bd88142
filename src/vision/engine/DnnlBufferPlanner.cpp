#include "DnnlBufferPlanner.h"

#include <algorithm>
#include <cstdint>

namespace {

using dnnl::memory;
using md = dnnl::memory::desc;
using tag = dnnl::memory::format_tag;
using dt = dnnl::memory::data_type;

constexpr size_t alignment = 64;

size_t aligned(size_t bytes)
{
    return (bytes + alignment - 1) / alignment * alignment;
}

memory::dims dimsOf(const std::vector<int64_t>& v)
{
    return memory::dims(v.begin(), v.end());
}

} // namespace

void DnnlBufferPlanner::plan(Plan& p, const std::vector<Concatenation>& concatenations,
                             const std::vector<std::vector<int>>& writes)
{
    joinConcatenations(p, concatenations, writes);
    layOut(p);
}

// Concatenating channels of one image (batch of one) in oneDNN's blocked
// layout, or the plain one, puts each part's bytes whole and unchanged at
// an offset of the result. Where every part's layout is that dense one and
// nothing writes a part after the concatenation, the parts are computed
// there in the first place, and the copying step goes. The result then
// lives from its first part on: a join that would raise the most memory
// the network needs at once (a skip across the whole network) is not made.
void DnnlBufferPlanner::joinConcatenations(Plan& p,
                                           const std::vector<Concatenation>& concatenations,
                                           const std::vector<std::vector<int>>& writes)
{
    std::vector<Plan::Value>& values = p.values;
    const int steps = int(p.steps.size());
    std::vector<bool> dropped(size_t(steps), false);
    std::vector<std::vector<Plan::Step>> copies(static_cast<size_t>(steps)); // in dropped steps
    // Bytes live at each step, and the most at once.
    std::vector<long long> live(size_t(steps), 0);
    auto count = [&](std::vector<long long>& profile, const Plan::Value& v, long long sign) {
        for (int s = std::max(v.first, 0); s <= std::min(v.last, steps - 1); ++s)
            profile[size_t(s)] += sign * (long long)aligned(v.bytes);
    };
    for (const Plan::Value& v : values) {
        if (!v.external && v.parent < 0)
            count(live, v, 1);
    }
    const long long peak = *std::max_element(live.begin(), live.end());
    // Channels in blocks of 16 (AVX-512), of 8 (AVX2), or plain.
    auto tagOf = [](int64_t block) {
        return block == 16 ? tag::aBcd16b : block == 8 ? tag::aBcd8b : tag::abcd;
    };
    auto denseLike = [&](const md& d, const std::vector<int64_t>& dims, int64_t block) {
        return d == md(dimsOf(dims), dt::f32, tagOf(block)) && dims[1] % block == 0;
    };
    for (const Concatenation& c : concatenations) {
        const md layout = p.views[size_t(c.result)].memory.get_desc();
        const memory::dims whole = layout.dims();
        if (whole.size() != 4 || whole[0] != 1)
            continue;
        const std::vector<int64_t> wholeDims(whole.begin(), whole.end());
        int64_t block = 0;
        for (int64_t b : {16, 8, 1}) {
            if (block == 0 && denseLike(layout, wholeDims, b))
                block = b;
        }
        if (block == 0)
            continue;
        // Every part needs a place of its own in the result's layout.
        const bool placeable = std::all_of(c.parts.begin(), c.parts.end(), [&](int part) {
            return p.views[size_t(part)].memory.get_desc().dims()[1] % block == 0;
        });
        if (!placeable)
            continue;
        // The parts that may be computed in place: dense, the caller's
        // neither, not written after, each once. The latest made first: they
        // extend the result's life the least.
        std::vector<int> candidates;
        for (int part : c.parts) {
            const Plan::View& view = p.views[size_t(part)];
            const memory::dims d = view.memory.get_desc().dims();
            const Plan::Value& value = values[size_t(view.value)];
            bool writtenAfter = false;
            for (size_t s = size_t(c.step) + 1; s < writes.size() && !writtenAfter; ++s) {
                for (int w : writes[s])
                    writtenAfter = writtenAfter || p.views[size_t(w)].value == view.value;
            }
            const bool twice = std::count_if(c.parts.begin(), c.parts.end(), [&](int other) {
                                   return p.views[size_t(other)].value == view.value;
                               }) > 1;
            if (denseLike(view.memory.get_desc(), std::vector<int64_t>(d.begin(), d.end()),
                          block) &&
                !value.external && value.parent < 0 && !writtenAfter && !twice)
                candidates.push_back(part);
        }
        std::sort(candidates.begin(), candidates.end(), [&](int a, int b) {
            return values[size_t(p.views[size_t(a)].value)].first >
                   values[size_t(p.views[size_t(b)].value)].first;
        });
        const int resultValue = p.views[size_t(c.result)].value;
        Plan::Value joined = values[size_t(resultValue)];
        std::vector<long long> accepted = live;
        std::vector<int> inPlace;
        for (int part : candidates) {
            const Plan::Value& value = values[size_t(p.views[size_t(part)].value)];
            std::vector<long long> trial = accepted;
            count(trial, joined, -1);
            count(trial, value, -1);
            Plan::Value wider = joined;
            wider.first = std::min(wider.first, value.first);
            wider.last = std::max(wider.last, value.last);
            count(trial, wider, 1);
            if (*std::max_element(trial.begin(), trial.end()) > peak)
                continue;
            accepted = std::move(trial);
            joined = wider;
            inPlace.push_back(part);
        }
        if (inPlace.empty())
            continue;
        live = std::move(accepted);
        values[size_t(resultValue)].first = joined.first;
        values[size_t(resultValue)].last = joined.last;
        // The others are copied into their places where the concatenation was.
        size_t offset = 0;
        for (int part : c.parts) {
            const Plan::View view = p.views[size_t(part)];
            const size_t bytes = values[size_t(view.value)].bytes;
            if (std::find(inPlace.begin(), inPlace.end(), part) != inPlace.end()) {
                values[size_t(view.value)].parent = resultValue;
                values[size_t(view.value)].offset = offset;
            } else {
                const memory::dims d = view.memory.get_desc().dims();
                const md dense(d, dt::f32, tagOf(block));
                const int slotValue = int(values.size());
                values.push_back({});
                values.back().bytes = dense.get_size();
                values[size_t(slotValue)].parent = resultValue;
                values[size_t(slotValue)].offset = offset;
                p.views.push_back({memory(dense, p.engine, nullptr), slotValue});
                const int slot = int(p.views.size() - 1);
                copies[size_t(c.step)].push_back(
                    {dnnl::reorder(dnnl::reorder::primitive_desc(p.engine, view.memory.get_desc(),
                                                                 p.engine, dense)),
                     {{DNNL_ARG_FROM, view.memory}, {DNNL_ARG_TO, p.views[size_t(slot)].memory}}});
            }
            offset += bytes;
        }
        dropped[size_t(c.step)] = true;
    }
    std::vector<Plan::Step> kept;
    for (size_t s = 0; s < p.steps.size(); ++s) {
        if (!dropped[s])
            kept.push_back(std::move(p.steps[s]));
        for (Plan::Step& copy : copies[s])
            kept.push_back(std::move(copy));
    }
    p.steps = std::move(kept);
}

// Places every value of the working buffer where it overlaps no value live
// at the same time: the largest first, each in the smallest gap it fits.
// ISNet's buffer comes out no larger than what it holds at its fullest.
void DnnlBufferPlanner::layOut(Plan& p)
{
    std::vector<Plan::Value>& values = p.values;
    std::vector<size_t> order;
    for (size_t v = 0; v < values.size(); ++v) {
        if (!values[v].external && values[v].parent < 0 && values[v].last >= 0)
            order.push_back(v);
    }
    // The largest first: the small ones fill the gaps between them.
    std::sort(order.begin(), order.end(), [&](size_t a, size_t b) {
        return values[a].bytes != values[b].bytes ? values[a].bytes > values[b].bytes
                                                  : values[a].first < values[b].first;
    });
    std::vector<size_t> placed;
    size_t end = 0;
    for (size_t v : order) {
        Plan::Value& value = values[v];
        std::vector<std::pair<size_t, size_t>> taken;
        for (size_t placedValue : placed) {
            const Plan::Value& other = values[placedValue];
            if (other.first <= value.last && value.first <= other.last)
                taken.emplace_back(other.offset, other.offset + aligned(other.bytes));
        }
        std::sort(taken.begin(), taken.end());
        // The smallest gap it fits in, or past them all.
        size_t offset = 0, best = SIZE_MAX, bestGap = SIZE_MAX;
        for (const auto& [from, to] : taken) {
            if (from >= offset && from - offset >= aligned(value.bytes) &&
                from - offset < bestGap) {
                best = offset;
                bestGap = from - offset;
            }
            offset = std::max(offset, to);
        }
        if (best != SIZE_MAX)
            offset = best;
        value.offset = offset;
        end = std::max(end, offset + aligned(value.bytes));
        placed.push_back(v);
    }
    p.arenaBytes = end;
}
