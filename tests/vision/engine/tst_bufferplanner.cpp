#include "DnnlBufferPlanner.h"

#include <QTest>
#include <algorithm>
#include <random>
#include <tuple>

// The working buffer's plan on random lifetimes: what is alive at one step
// never shares bytes, each part of a joined concatenation sits where the
// result's layout puts it, and the buffer holds the most alive at once
// without being much larger.

namespace {

using Plan = DnnlBufferPlanner::Plan;

size_t aligned(size_t bytes)
{
    return (bytes + 63) / 64 * 64;
}

int addValue(Plan& p, size_t bytes, int first, int last, bool external = false)
{
    p.values.push_back({bytes, first, last, 0, external});
    return int(p.values.size() - 1);
}

// A plain [1, channels, h, w] view of value `v`.
int addView(Plan& p, int64_t channels, int64_t h, int64_t w, int v)
{
    const dnnl::memory::desc d({1, channels, h, w}, dnnl::memory::data_type::f32,
                               dnnl::memory::format_tag::abcd);
    p.views.push_back({dnnl::memory(d, p.engine, nullptr), v});
    return int(p.views.size() - 1);
}

// Where a value's bytes start, resolved as a forward pass does.
size_t baseOf(const Plan& p, int v)
{
    size_t offset = 0;
    for (; v >= 0; v = p.values[size_t(v)].parent)
        offset += p.values[size_t(v)].offset;
    return offset;
}

bool within(const Plan& p, int inner, int outer)
{
    for (int v = p.values[size_t(inner)].parent; v >= 0; v = p.values[size_t(v)].parent) {
        if (v == outer)
            return true;
    }
    return false;
}

bool live(const Plan::Value& v)
{
    return !v.external && v.last >= 0 && v.first <= v.last;
}

} // namespace

class TestBufferPlanner final : public QObject
{
    Q_OBJECT

private slots:
    void valuesAliveTogetherNeverShareBytes()
    {
        std::mt19937 rng(31);
        auto below = [&](int n) {
            return int(rng() % unsigned(n));
        };
        int joins = 0;
        for (int round = 0; round < 400; ++round) {
            // Values of random sizes and lives, some the caller's, some never
            // used; now and then concatenations along channels of plain
            // tensors, which the planner may compute in place.
            Plan p;
            const int steps = 2 + below(40);
            p.steps.resize(size_t(steps));
            std::vector<std::vector<int>> writes(p.steps.size());
            std::vector<DnnlBufferPlanner::Concatenation> concatenations;
            for (int i = below(50); i >= 0; --i) {
                const size_t bytes = 1 + size_t(below(4) == 0 ? below(1 << 20) : below(5000));
                const int kind = below(20), first = below(steps);
                if (kind == 0)
                    addValue(p, bytes, INT_MAX, -1); // never used
                else
                    addValue(p, bytes, first, first + below(steps - first), kind == 1);
            }
            // Each part's value and offset in its result, before the plan moves them.
            std::vector<std::pair<int, std::vector<std::pair<int, size_t>>>> expected;
            for (int j = below(3); j > 0 && steps > 2; --j) {
                const int step = 1 + below(steps - 2);
                const int64_t h = 1 + below(9), w = 1 + below(9);
                DnnlBufferPlanner::Concatenation c{step, {}, -1};
                std::vector<std::pair<int, size_t>> parts;
                int64_t channels = 0;
                for (int k = 2 + below(3); k > 0; --k) {
                    const int64_t ch = 1 + below(40);
                    const int first = below(step);
                    const int last = below(3) == 0 ? step + below(steps - step) : step;
                    const int v = addValue(p, size_t(ch * h * w * 4), first, last, below(10) == 0);
                    parts.emplace_back(v, size_t(channels * h * w * 4));
                    channels += ch;
                    c.parts.push_back(addView(p, ch, h, w, v));
                    writes[size_t(first)].push_back(c.parts.back());
                    // Now and then written again after the concatenation.
                    if (below(8) == 0 && step + 1 < steps)
                        writes[size_t(step + 1 + below(steps - step - 1))].push_back(
                            addView(p, ch, h, w, v));
                }
                const int result =
                    addValue(p, size_t(channels * h * w * 4), step, step + below(steps - step));
                c.result = addView(p, channels, h, w, result);
                writes[size_t(step)].push_back(c.result);
                concatenations.push_back(c);
                expected.emplace_back(result, parts);
            }
            DnnlBufferPlanner::plan(p, concatenations, writes);

            const QByteArray where = "round " + QByteArray::number(round);
            const std::vector<Plan::Value>& values = p.values;
            for (int a = 0; a < int(values.size()); ++a) {
                const Plan::Value& va = values[size_t(a)];
                if (!live(va))
                    continue;
                QVERIFY2(baseOf(p, a) + va.bytes <= p.arenaBytes, where);
                for (int b = a + 1; b < int(values.size()); ++b) {
                    const Plan::Value& vb = values[size_t(b)];
                    if (!live(vb) || within(p, a, b) || within(p, b, a) || va.last < vb.first ||
                        vb.last < va.first)
                        continue;
                    const size_t x = baseOf(p, a), y = baseOf(p, b);
                    QVERIFY2(x + va.bytes <= y || y + vb.bytes <= x, where + ": an overlap");
                }
            }
            // Where a concatenation is joined, each part is in its place in
            // the result or copied there; elsewhere its step copies them all.
            for (const auto& [result, parts] : expected) {
                const bool joined = std::any_of(parts.begin(), parts.end(), [&](const auto& part) {
                    return values[size_t(part.first)].parent == result;
                });
                joins += joined;
                if (!joined)
                    continue;
                for (const auto& [v, offset] : parts) {
                    const Plan::Value& part = values[size_t(v)];
                    const bool inPlace = part.parent == result && part.offset == offset &&
                                         values[size_t(result)].first <= part.first &&
                                         part.last <= values[size_t(result)].last;
                    const bool copied = std::any_of(values.begin(), values.end(), [&](auto& slot) {
                        return slot.parent == result && slot.offset == offset &&
                               slot.bytes == part.bytes;
                    });
                    QVERIFY2(part.parent < 0 ? copied : inPlace, where);
                }
            }
            // At least the most alive at once, and not much more.
            size_t peak = 0;
            for (int s = 0; s < steps; ++s) {
                size_t bytes = 0;
                for (const Plan::Value& v : values) {
                    if (live(v) && v.parent < 0 && v.first <= s && s <= v.last)
                        bytes += aligned(v.bytes);
                }
                peak = std::max(peak, bytes);
            }
            QVERIFY2(peak <= p.arenaBytes && p.arenaBytes <= 2 * peak, where);
        }
        QVERIFY(joins >= 20); // the rounds try the joining too
    }

    void valuesOneAfterAnotherShareTheirPlace()
    {
        // a; then b and c; then c and d: d takes a's place, the buffer
        // holds what steps 1 and 2 hold, not all four.
        Plan p;
        p.steps.resize(3);
        for (const auto& [bytes, first, last] :
             {std::tuple{1000, 0, 0}, {600, 1, 1}, {300, 1, 2}, {900, 2, 2}})
            addValue(p, size_t(bytes), first, last);
        DnnlBufferPlanner::plan(p, {}, std::vector<std::vector<int>>(3));
        QCOMPARE(p.arenaBytes, aligned(900) + aligned(300));
        QCOMPARE(p.values[3].offset, p.values[0].offset);
    }
};

QTEST_GUILESS_MAIN(TestBufferPlanner)
#include "tst_bufferplanner.moc"
