#include "DnnlBufferPlanner.h"

#include <QTest>
#include <algorithm>
#include <random>

// The working buffer's plan on random lifetimes: what is alive at one step
// never shares bytes, each part of a joined concatenation sits where the
// result's layout puts it, and the buffer holds the most alive at once
// without being much larger.

namespace {

using Plan = DnnlBufferPlanner::Plan;
using dnnl::memory;

constexpr size_t alignment = 64;

size_t aligned(size_t bytes)
{
    return (bytes + alignment - 1) / alignment * alignment;
}

// A random plan: values of random sizes and lives (some the caller's, some
// never used), and now and then concatenations along channels of plain
// tensors that the planner may compute in place.
struct RandomPlan
{
    Plan plan;
    std::vector<DnnlBufferPlanner::Concatenation> concatenations;
    std::vector<std::vector<int>> writes;
    int steps = 0;
};

int addValue(Plan& p, size_t bytes, int first, int last)
{
    Plan::Value v;
    v.bytes = bytes;
    v.first = first;
    v.last = last;
    p.values.push_back(v);
    return int(p.values.size() - 1);
}

int addView(Plan& p, const std::vector<int64_t>& dims, int value)
{
    const memory::desc d(memory::dims(dims.begin(), dims.end()), memory::data_type::f32,
                         memory::format_tag::abcd);
    p.views.push_back({memory(d, p.engine, nullptr), value});
    return int(p.views.size() - 1);
}

std::unique_ptr<RandomPlan> randomPlan(std::mt19937& rng)
{
    auto r = std::make_unique<RandomPlan>();
    auto below = [&](int n) {
        return int(rng() % unsigned(n));
    };
    Plan& p = r->plan;
    r->steps = 2 + below(40);
    r->plan.steps.resize(size_t(r->steps));
    r->writes.resize(size_t(r->steps));
    const int count = 1 + below(50);
    for (int i = 0; i < count; ++i) {
        const size_t bytes = below(4) == 0 ? 1 + size_t(below(1 << 20)) : 1 + size_t(below(5000));
        const int kind = below(20);
        if (kind == 0) {
            addValue(p, bytes, INT_MAX, -1); // never used
            continue;
        }
        const int first = below(r->steps);
        const int v = addValue(p, bytes, first, first + below(r->steps - first));
        p.values[size_t(v)].external = kind == 1;
    }
    // Concatenations: parts made before the step, some read after it.
    const int joins = below(3);
    for (int j = 0; j < joins && r->steps > 2; ++j) {
        const int step = 1 + below(r->steps - 2);
        const int64_t h = 1 + below(9), w = 1 + below(9);
        DnnlBufferPlanner::Concatenation c{step, {}, -1};
        int64_t channels = 0;
        const int parts = 2 + below(3);
        for (int k = 0; k < parts; ++k) {
            const int64_t ch = 1 + below(40);
            channels += ch;
            const int first = below(step);
            const int last = below(3) == 0 ? step + below(r->steps - step) : step;
            const int v = addValue(p, size_t(ch * h * w * 4), first, last);
            p.values[size_t(v)].external = below(10) == 0;
            const int view = addView(p, {1, ch, h, w}, v);
            c.parts.push_back(view);
            r->writes[size_t(first)].push_back(view);
            // Now and then written again after the concatenation.
            if (below(8) == 0 && step + 1 < r->steps)
                r->writes[size_t(step + 1 + below(r->steps - step - 1))].push_back(
                    addView(p, {1, ch, h, w}, v));
        }
        const int result =
            addValue(p, size_t(channels * h * w * 4), step, step + below(r->steps - step));
        c.result = addView(p, {1, channels, h, w}, result);
        r->writes[size_t(step)].push_back(c.result);
        r->concatenations.push_back(c);
    }
    return r;
}

// Where a value's bytes start, resolved as a forward pass does.
size_t baseOf(const Plan& p, size_t v)
{
    size_t offset = p.values[v].offset;
    for (int outer = p.values[v].parent; outer >= 0; outer = p.values[size_t(outer)].parent)
        offset += p.values[size_t(outer)].offset;
    return offset;
}

bool within(const Plan& p, size_t inner, size_t outer)
{
    for (int v = p.values[inner].parent; v >= 0; v = p.values[size_t(v)].parent) {
        if (size_t(v) == outer)
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
        double worst = 0;
        int joins = 0;
        for (int round = 0; round < 400; ++round) {
            const auto r = randomPlan(rng);
            // What each concatenation expects where, before the plan moves it.
            struct Expected
            {
                int result;
                std::vector<std::pair<int, size_t>> parts; // value, offset in the result
            };
            std::vector<Expected> expected;
            for (const auto& c : r->concatenations) {
                Expected e{r->plan.views[size_t(c.result)].value, {}};
                size_t offset = 0;
                for (int part : c.parts) {
                    const int v = r->plan.views[size_t(part)].value;
                    e.parts.emplace_back(v, offset);
                    offset += r->plan.values[size_t(v)].bytes;
                }
                expected.push_back(e);
            }
            Plan& p = r->plan;
            DnnlBufferPlanner::plan(p, r->concatenations, r->writes);
            const QByteArray where = "round " + QByteArray::number(round);
            const std::vector<Plan::Value>& values = p.values;
            for (size_t a = 0; a < values.size(); ++a) {
                if (!live(values[a]))
                    continue;
                QVERIFY2(baseOf(p, a) + values[a].bytes <= p.arenaBytes, where);
                for (size_t b = a + 1; b < values.size(); ++b) {
                    if (!live(values[b]) || within(p, a, b) || within(p, b, a) ||
                        values[a].last < values[b].first || values[b].last < values[a].first)
                        continue;
                    const size_t x = baseOf(p, a), y = baseOf(p, b);
                    QVERIFY2(x + values[a].bytes <= y || y + values[b].bytes <= x,
                             where + ": values " + QByteArray::number(qulonglong(a)) + " and " +
                                 QByteArray::number(qulonglong(b)) + " overlap");
                }
            }
            // Where a concatenation is joined, each part is in its place in
            // the result or copied there; elsewhere its step copies them all.
            for (const Expected& e : expected) {
                const bool joined =
                    std::any_of(e.parts.begin(), e.parts.end(), [&](const auto& part) {
                        return values[size_t(part.first)].parent == e.result;
                    });
                joins += joined;
                for (const auto& [v, offset] : e.parts) {
                    if (!joined)
                        break;
                    const Plan::Value& part = values[size_t(v)];
                    if (part.parent >= 0) {
                        QCOMPARE(part.parent, e.result);
                        QCOMPARE(part.offset, offset);
                        QVERIFY(values[size_t(e.result)].first <= part.first &&
                                part.last <= values[size_t(e.result)].last);
                        continue;
                    }
                    const bool copied =
                        std::any_of(values.begin(), values.end(), [&](const Plan::Value& slot) {
                            return slot.parent == e.result && slot.offset == offset &&
                                   slot.bytes == part.bytes;
                        });
                    QVERIFY2(copied, where);
                }
            }
            // At least the most alive at once, and not much more.
            size_t peak = 0;
            for (int s = 0; s < r->steps; ++s) {
                size_t bytes = 0;
                for (const Plan::Value& v : values) {
                    if (live(v) && v.parent < 0 && v.first <= s && s <= v.last)
                        bytes += aligned(v.bytes);
                }
                peak = std::max(peak, bytes);
            }
            QVERIFY2(p.arenaBytes >= peak, where);
            QVERIFY2(p.arenaBytes <= 2 * peak,
                     where + ": " + QByteArray::number(qulonglong(p.arenaBytes)) +
                         " bytes for a peak of " + QByteArray::number(qulonglong(peak)));
            if (peak > 0)
                worst = std::max(worst, double(p.arenaBytes) / double(peak));
        }
        qInfo("%d concatenations joined; the largest buffer was %.2f times the most alive at once",
              joins, worst);
        QVERIFY(joins >= 20); // the rounds try the joining too
    }

    void valuesOneAfterAnotherShareTheirPlace()
    {
        // a; then b and c; then c and d: d takes a's place, the buffer
        // holds what steps 1 and 2 hold, not all four.
        Plan p;
        p.steps.resize(3);
        addValue(p, 1000, 0, 0);
        addValue(p, 600, 1, 1);
        addValue(p, 300, 1, 2);
        addValue(p, 900, 2, 2);
        DnnlBufferPlanner::plan(p, {}, std::vector<std::vector<int>>(3));
        QCOMPARE(p.arenaBytes, aligned(900) + aligned(300));
        QCOMPARE(p.values[3].offset, p.values[0].offset);
    }
};

QTEST_GUILESS_MAIN(TestBufferPlanner)
#include "tst_bufferplanner.moc"
