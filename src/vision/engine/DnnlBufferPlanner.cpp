#include "DnnlBufferPlanner.h"

#include "ops/Primitives.h"

#include <algorithm>
#include <cstdint>

namespace {

using dnnl::memory;
using Primitives::dimsOf;
using md = dnnl::memory::desc;
using tag = dnnl::memory::format_tag;
using dt = dnnl::memory::data_type;

constexpr size_t alignment = 64;

size_t aligned(size_t bytes)
{
    return (bytes + alignment - 1) / alignment * alignment;
}

using Plan = DnnlBufferPlanner::Plan;
using Concatenation = DnnlBufferPlanner::Concatenation;
using Profile = std::vector<long long>; // bytes live at each step

void count(Profile& profile, const Plan::Value& v, long long sign)
{
    const int steps = int(profile.size());
    for (int s = std::max(v.first, 0); s <= std::min(v.last, steps - 1); ++s)
        profile[size_t(s)] += sign * (long long)aligned(v.bytes);
}

Profile liveBytes(const Plan& p)
{
    Profile live(p.steps.size(), 0);
    for (const Plan::Value& v : p.values) {
        if (!v.external && v.parent < 0)
            count(live, v, 1);
    }
    return live;
}

long long most(const Profile& profile)
{
    return *std::max_element(profile.begin(), profile.end());
}

// Channels in blocks of 16 (AVX-512), of 8 (AVX2), or plain.
tag tagOf(int64_t block)
{
    return block == 16 ? tag::aBcd16b : block == 8 ? tag::aBcd8b : tag::abcd;
}

bool denseLike(const md& d, const std::vector<int64_t>& dims, int64_t block)
{
    return d == md(dimsOf(dims), dt::f32, tagOf(block)) && dims[1] % block == 0;
}

std::vector<int64_t> dimsOfView(const Plan::View& view)
{
    const memory::dims d = view.memory.get_desc().dims();
    return std::vector<int64_t>(d.begin(), d.end());
}

// The channel block of `c`'s dense result, where every part has a place of
// its own in it; 0 where the concatenation cannot be joined.
int64_t joinableBlock(const Plan& p, const Concatenation& c)
{
    const Plan::View& result = p.views[size_t(c.result)];
    const std::vector<int64_t> wholeDims = dimsOfView(result);
    if (wholeDims.size() != 4 || wholeDims[0] != 1)
        return 0;
    int64_t block = 0;
    for (int64_t b : {16, 8, 1}) {
        if (block == 0 && denseLike(result.memory.get_desc(), wholeDims, b))
            block = b;
    }
    if (block == 0)
        return 0;
    // Every part needs a place of its own in the result's layout.
    const bool placeable = std::all_of(c.parts.begin(), c.parts.end(), [&](int part) {
        return p.views[size_t(part)].memory.get_desc().dims()[1] % block == 0;
    });
    return placeable ? block : 0;
}

bool writtenAfter(const Plan& p, const std::vector<std::vector<int>>& writes, int step, int value)
{
    bool written = false;
    for (size_t s = size_t(step) + 1; s < writes.size() && !written; ++s) {
        for (int w : writes[s])
            written = written || p.views[size_t(w)].value == value;
    }
    return written;
}

// The parts that may be computed in place: dense, the caller's
// neither, not written after, each once. The latest made first: they
// extend the result's life the least.
std::vector<int> inPlaceCandidates(const Plan& p, const Concatenation& c,
                                   const std::vector<std::vector<int>>& writes, int64_t block)
{
    std::vector<int> candidates;
    for (int part : c.parts) {
        const Plan::View& view = p.views[size_t(part)];
        const Plan::Value& value = p.values[size_t(view.value)];
        const bool twice = std::count_if(c.parts.begin(), c.parts.end(), [&](int other) {
                               return p.views[size_t(other)].value == view.value;
                           }) > 1;
        if (denseLike(view.memory.get_desc(), dimsOfView(view), block) && !value.external &&
            value.parent < 0 && !writtenAfter(p, writes, c.step, view.value) && !twice)
            candidates.push_back(part);
    }
    std::sort(candidates.begin(), candidates.end(), [&](int a, int b) {
        return p.values[size_t(p.views[size_t(a)].value)].first >
               p.values[size_t(p.views[size_t(b)].value)].first;
    });
    return candidates;
}

// The parts taken into the result, with the result's widened life and the
// bytes then live at each step: each candidate in turn, where the most
// memory live at once stays within `peak`.
struct Join
{
    std::vector<int> inPlace;
    Plan::Value joined;
    Profile live;
};

Join chooseInPlace(const Plan& p, const Concatenation& c, const std::vector<int>& candidates,
                   const Profile& live, long long peak)
{
    Join join{{}, p.values[size_t(p.views[size_t(c.result)].value)], live};
    for (int part : candidates) {
        const Plan::Value& value = p.values[size_t(p.views[size_t(part)].value)];
        Profile trial = join.live;
        count(trial, join.joined, -1);
        count(trial, value, -1);
        Plan::Value wider = join.joined;
        wider.first = std::min(wider.first, value.first);
        wider.last = std::max(wider.last, value.last);
        count(trial, wider, 1);
        if (most(trial) > peak)
            continue;
        join.live = std::move(trial);
        join.joined = wider;
        join.inPlace.push_back(part);
    }
    return join;
}

// Gives the parts of `join` their places in the result, and the others
// places of their own there, filled by copies (appended to `copies`) where
// the concatenation was.
void placeParts(Plan& p, const Concatenation& c, const Join& join, int64_t block,
                std::vector<Plan::Step>& copies)
{
    std::vector<Plan::Value>& values = p.values;
    const int resultValue = p.views[size_t(c.result)].value;
    values[size_t(resultValue)].first = join.joined.first;
    values[size_t(resultValue)].last = join.joined.last;
    // The others are copied into their places where the concatenation was.
    size_t offset = 0;
    for (int part : c.parts) {
        const Plan::View view = p.views[size_t(part)];
        const size_t bytes = values[size_t(view.value)].bytes;
        if (std::find(join.inPlace.begin(), join.inPlace.end(), part) != join.inPlace.end()) {
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
            copies.push_back(
                {dnnl::reorder(dnnl::reorder::primitive_desc(p.engine, view.memory.get_desc(),
                                                             p.engine, dense)),
                 {{DNNL_ARG_FROM, view.memory}, {DNNL_ARG_TO, p.views[size_t(slot)].memory}}});
        }
        offset += bytes;
    }
}

// The plan's steps without the dropped ones, each step's copies after it.
std::vector<Plan::Step> keptSteps(Plan& p, const std::vector<bool>& dropped,
                                  std::vector<std::vector<Plan::Step>>& copies)
{
    std::vector<Plan::Step> kept;
    for (size_t s = 0; s < p.steps.size(); ++s) {
        if (!dropped[s])
            kept.push_back(std::move(p.steps[s]));
        for (Plan::Step& copy : copies[s])
            kept.push_back(std::move(copy));
    }
    return kept;
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
    const size_t steps = p.steps.size();
    std::vector<bool> dropped(steps, false);
    std::vector<std::vector<Plan::Step>> copies(steps); // in dropped steps
    Profile live = liveBytes(p);
    const long long peak = most(live);
    for (const Concatenation& c : concatenations) {
        const int64_t block = joinableBlock(p, c);
        if (block == 0)
            continue;
        Join join = chooseInPlace(p, c, inPlaceCandidates(p, c, writes, block), live, peak);
        if (join.inPlace.empty())
            continue;
        live = std::move(join.live);
        placeParts(p, c, join, block, copies[size_t(c.step)]);
        dropped[size_t(c.step)] = true;
    }
    p.steps = keptSteps(p, dropped, copies);
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
