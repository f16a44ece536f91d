// libFuzzer target for the band walks and the counting built on them.
//
// Fuzzed bytes decode into a small matrix, a weight table step and a few queries; every
// answer is checked against brute force over all configurations: the walk of the weight
// table in each of its uses, on one thread and split among several (the band walk's counts
// before a configuration and at a cost, its bounds when a node budget cuts it short, the
// interval walk's counts and leaves), and rank, count and select of counting.h. A violated
// check prints why and traps.
//
// Build and run: scripts/run-fuzz (seed corpus tests/fuzz/corpus_band_walk).
//
// Input layout (bytes past the end read as 0):
//   [0]     row count, modulo kMaxRows + 1
//   [1]     step: the cost range divided by 1 + byte * 4
//   then per row: a width byte (modulo kMaxColumns, plus 1) and one palette byte per column
//   then per query: two bytes pick a position of the cost order (modulo the count), one
//   byte the threads of the split walks (1 + byte % 4) and a node budget (byte / 4)
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <map>
#include <stdexcept>
#include <vector>

#include <quorin/counting.h>

#include "counting/band_walk.h"
#include "fuzz_matrix.h"

namespace {

using quorin::ProbabilityMatrix;

constexpr std::size_t kMaxRows = 5;
constexpr std::size_t kMaxColumns = 6;
constexpr std::size_t kQueries = 6;
constexpr double kInf = std::numeric_limits<double>::infinity();

using fuzz::check;
using fuzz::costOrder;
using fuzz::Scored;

std::uint64_t atMost(const std::vector<Scored>& order, double t) {
    std::uint64_t n = 0;
    for (const Scored& s : order) n += s.cost <= t ? 1 : 0;
    return n;
}

struct ByCost {
    static constexpr bool kColumns = false;
    std::map<double, std::uint64_t> seen;
    void operator()(const int*, double cost, std::uint64_t times) { seen[cost] += times; }
};

// Every configuration's cost by its columns: a leaf's cost is looked up, not searched for
// among all of them (a full search per leaf took tens of seconds on 5 x 6 matrices).
using CostByColumns = std::map<std::vector<int>, double>;

struct Listed {
    static constexpr bool kColumns = true;
    std::size_t rows;
    std::uint64_t leaves = 0;
    const CostByColumns* costs;
    double lo, hi;
    void operator()(const int* columns, double cost, std::uint64_t times) {
        check(times == 1, "a leaf with columns stands for one configuration");
        check(cost > lo && cost <= hi, "a leaf outside the interval");
        const auto it = costs->find(std::vector<int>(columns, columns + rows));
        check(it != costs->end() && it->second == cost, "a leaf with the wrong cost");
        ++leaves;
    }
};

void checkMatrix(const ProbabilityMatrix& probs, std::uint8_t stepByte, fuzz::Reader& in) {
    const std::vector<Scored> order = costOrder(probs);
    CostByColumns costs;
    for (const Scored& s : order) costs[s.columns] = s.cost;
    std::vector<double> finite;
    for (const Scored& s : order) {
        if (s.cost < kInf) finite.push_back(s.cost);
    }
    const double range = finite.empty() ? 1.0 : std::max(finite.back() - finite.front(), 1e-3);
    const double step = range / (1.0 + 4.0 * stepByte);
    const double top = finite.empty() ? 1.0 : finite.back() + 1.0;
    const quorin::WeightTable table(quorin::costsOf(probs), step, top);
    for (std::size_t q = 0; q < kQueries; ++q) {
        const std::size_t p = (in.next() | (in.next() << 8)) % order.size();
        const std::uint8_t splitByte = in.next();
        const unsigned threads = 1 + splitByte % 4;
        const Scored& s = order[p];
        // counting.h against brute force.
        const quorin::CountBounds r = quorin::rank(probs, s.columns);
        check(r.exact() && r.low == quorin::Count(p + 1), "rank");
        const quorin::Configuration c = quorin::select(probs, quorin::Count(p));
        check(c.columns == s.columns && (c.cost == s.cost || (std::isnan(c.cost) && std::isnan(s.cost))), "select");
        if (s.cost == kInf) continue;
        const quorin::CountBounds n = quorin::count(probs, s.cost);
        check(n.exact() && n.low == quorin::Count(atMost(order, s.cost)), "count");
        // The walks on their own (a null key means none: so only with rows).
        if (!probs.empty()) {
            quorin::BandWalk before(table, s.cost, s.columns.data());
            const quorin::Tally t = before.run();
            check(t.low == t.high && t.low == p, "band walk before a configuration");
            const quorin::Tally split = quorin::BandWalk(table, s.cost, s.columns.data()).runParallel(threads);
            check(split.low == p && split.high == p, "split band walk before a configuration");
            quorin::BandWalk cut(table, s.cost, s.columns.data(), splitByte / 4);
            const quorin::Tally b = cut.run();
            check(b.low <= p && p <= b.high && (!cut.complete() || b.low == b.high), "bounds of a cut band walk");
        }
        const quorin::Tally atMostCost = quorin::BandWalk(table, s.cost, nullptr).runParallel(threads);
        check(atMostCost.low == atMostCost.high && atMostCost.low == atMost(order, s.cost), "split band walk at a cost");
        const double lo = q % 2 == 0 ? -kInf : std::nextafter(s.cost, -kInf);
        const double hi = finite[std::min(finite.size() - 1, p + q * 3)];
        if (!(lo < hi)) continue;
        ByCost byCost;
        const quorin::IntervalCounts m = quorin::IntervalWalk<ByCost>(table, lo, hi).run(byCost);
        const std::uint64_t below = lo == -kInf ? 0 : atMost(order, lo);
        check(m.below == below && m.inside == atMost(order, hi) - below, "interval walk counts");
        std::uint64_t sum = 0;
        for (const auto& e : byCost.seen) sum += e.second;
        check(sum == m.inside, "interval walk leaves by cost");
        Listed listed{probs.size(), 0, &costs, lo, hi};
        quorin::IntervalWalk<Listed>(table, lo, hi).run(listed);
        check(listed.leaves == m.inside, "interval walk leaves with columns");
        // Split among threads: the same counts, every leaf once.
        std::vector<ByCost> costParts(threads);
        const quorin::IntervalCounts splitCounts = quorin::IntervalWalk<ByCost>(table, lo, hi).runParallel(costParts);
        check(splitCounts.below == m.below && splitCounts.inside == m.inside, "split interval walk counts");
        for (std::size_t k = 1; k < costParts.size(); ++k) {
            for (const auto& e : costParts[k].seen) costParts[0].seen[e.first] += e.second;
        }
        check(costParts[0].seen == byCost.seen, "split interval walk leaves by cost");
        std::vector<Listed> listedParts(threads, Listed{probs.size(), 0, &costs, lo, hi});
        quorin::IntervalWalk<Listed>(table, lo, hi).runParallel(listedParts);
        std::uint64_t leaves = 0;
        for (const Listed& l : listedParts) leaves += l.leaves;
        check(leaves == m.inside, "split interval walk leaves with columns");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Reader in{data, size};
    const std::size_t rows = in.next() % (kMaxRows + 1);
    const std::uint8_t stepByte = in.next();
    const ProbabilityMatrix probs = fuzz::readMatrix(in, rows, kMaxColumns);
    checkMatrix(probs, stepByte, in);
    return 0;
}
