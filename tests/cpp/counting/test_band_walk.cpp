// The walk of the weight table alone, in each of its uses (counts before a configuration
// or at a cost, intervals), on one thread and split among three, against brute force over
// every configuration of small matrices, with tables from coarse (wide bands: most nodes
// opened) to fine.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <random>
#include <vector>

#include "counting/band_walk.h"
#include "counting_matrices.h"

namespace {

using quorin::ProbabilityMatrix;
using quorin_test::Scored;

constexpr double kInfinity = std::numeric_limits<double>::infinity();

// Every leaf an interval walk hands out, by (cost, columns), with its multiplicity.
struct Recorded {
    static constexpr bool kColumns = true;
    std::size_t rows;
    std::map<std::pair<double, std::vector<int>>, std::uint64_t> seen;
    void operator()(const int* columns, double cost, std::uint64_t times) {
        seen[{cost, std::vector<int>(columns, columns + rows)}] += times;
    }
};

// Leaves by cost only, as equal-cost classes hand them out.
struct ByCost {
    static constexpr bool kColumns = false;
    std::map<double, std::uint64_t> seen;
    void operator()(const int*, double cost, std::uint64_t times) { seen[cost] += times; }
};

std::uint64_t countAtMost(const std::vector<Scored>& order, double t) {
    return static_cast<std::uint64_t>(
        std::upper_bound(order.begin(), order.end(), t, [](double q, const Scored& s) { return q < s.cost; }) -
        order.begin());
}

// Costs to query: every finite cost of the matrix, its neighbouring doubles, and points
// outside the range.
std::vector<double> queryCosts(const std::vector<Scored>& order, std::size_t most) {
    std::vector<double> costs{-1.0, 0.0};
    const std::size_t stride = std::max<std::size_t>(1, order.size() / most);
    for (std::size_t p = 0; p < order.size(); p += stride) {
        const double c = order[p].cost;
        if (c == kInfinity) break;
        costs.insert(costs.end(), {c, std::nextafter(c, -kInfinity), std::nextafter(c, kInfinity)});
    }
    // The last query is the largest: past every finite cost.
    double largest = 0.0;
    for (const Scored& s : order) largest = s.cost < kInfinity ? std::max(largest, s.cost) : largest;
    costs.push_back(largest + 1.0);
    return costs;
}

// Steps from a third of the cost range (every band wide) to a thousandth of it.
std::vector<double> stepsFor(const std::vector<Scored>& order) {
    double lo = kInfinity, hi = 0.0;
    for (const Scored& s : order) {
        if (s.cost == kInfinity) continue;
        lo = std::min(lo, s.cost);
        hi = std::max(hi, s.cost);
    }
    const double range = hi > lo ? hi - lo : 1.0;
    return {range / 3.0, range / 50.0, range / 1000.0};
}

void checkWalks(const ProbabilityMatrix& probs) {
    const auto order = quorin_test::costOrder(probs);
    const std::vector<double> queries = queryCosts(order, 40);
    for (double step : stepsFor(order)) {
        SCOPED_TRACE(step);
        const double top = queries.back();
        const quorin::WeightTable table(quorin::costsOf(probs), step, top);
        // Counts before (cost, key): every configuration's position, and counts at a cost.
        for (std::size_t p = 0; p < order.size() && order[p].cost < kInfinity; p += 1 + order.size() / 50) {
            quorin::BandWalk walk(table, order[p].cost, order[p].columns.data());
            const quorin::Tally t = walk.run();
            ASSERT_TRUE(walk.complete());
            ASSERT_EQ(t.low, t.high);
            ASSERT_EQ(static_cast<std::uint64_t>(t.low), p) << "position " << p;
            // Split into tasks on three threads (the key's path above them): the same count
            // (at every seventh position: each split starts threads). Cut short by a node
            // budget: bounds that hold it.
            if (p % 7 == 0) {
                const quorin::Tally split =
                    quorin::BandWalk(table, order[p].cost, order[p].columns.data()).runParallel(3);
                ASSERT_EQ(split.low, t.low);
                ASSERT_EQ(split.high, t.high);
            }
            quorin::BandWalk cut(table, order[p].cost, order[p].columns.data(), p % 8);
            const quorin::Tally bounds = cut.run();
            ASSERT_TRUE(bounds.low <= t.low && t.low <= bounds.high && (!cut.complete() || bounds.low == bounds.high));
        }
        for (std::size_t q = 0; q < queries.size(); ++q) {
            const double c = queries[q];
            quorin::BandWalk walk(table, c, nullptr);
            const quorin::Tally t = walk.run();
            ASSERT_EQ(t.low, t.high);
            ASSERT_EQ(static_cast<std::uint64_t>(t.low), countAtMost(order, c)) << "cost " << c;
            if (q % 4 != 0) continue;
            // Split into tasks on three threads: the same sum.
            const quorin::Tally split = quorin::BandWalk(table, c, nullptr).runParallel(3);
            ASSERT_EQ(split.low, t.low);
            ASSERT_EQ(split.high, t.high);
        }
        // Intervals (lo, hi]: counts, and every leaf once, with and without columns.
        for (std::size_t a = 0; a < queries.size(); a += 6) {
            for (std::size_t b = a + 1; b < queries.size(); b += 5) {
                const double hi = queries[b];
                for (double lo : {queries[a], -kInfinity}) {
                    if (!(lo < hi)) continue;
                    Recorded recorded{probs.size(), {}};
                    const quorin::IntervalCounts n = quorin::IntervalWalk<Recorded>(table, lo, hi).run(recorded);
                    const std::uint64_t below = lo == -kInfinity ? 0 : countAtMost(order, lo);
                    ASSERT_EQ(static_cast<std::uint64_t>(n.below), below) << lo << " " << hi;
                    ASSERT_EQ(static_cast<std::uint64_t>(n.inside), countAtMost(order, hi) - below) << lo << " " << hi;
                    std::map<std::pair<double, std::vector<int>>, std::uint64_t> expected;
                    for (const Scored& s : order) {
                        if (s.cost > lo && s.cost <= hi) expected[{s.cost, s.columns}] = 1;
                    }
                    ASSERT_EQ(recorded.seen, expected) << lo << " " << hi;
                    ByCost byCost;
                    const quorin::IntervalCounts m = quorin::IntervalWalk<ByCost>(table, lo, hi).run(byCost);
                    ASSERT_EQ(m.below, n.below);
                    ASSERT_EQ(m.inside, n.inside);
                    std::map<double, std::uint64_t> costs;
                    for (const auto& e : expected) costs[e.first.first] += 1;
                    ASSERT_EQ(byCost.seen, costs);
                    if ((a + b) % 5 != 0) continue;
                    // Split into tasks on three threads: the same counts, every leaf once.
                    std::vector<Recorded> parts(3, Recorded{probs.size(), {}});
                    const quorin::IntervalCounts split = quorin::IntervalWalk<Recorded>(table, lo, hi).runParallel(parts);
                    ASSERT_EQ(split.below, n.below);
                    ASSERT_EQ(split.inside, n.inside);
                    for (std::size_t k = 1; k < parts.size(); ++k) {
                        for (const auto& e : parts[k].seen) parts[0].seen[e.first] += e.second;
                    }
                    ASSERT_EQ(parts[0].seen, expected);
                    std::vector<ByCost> costParts(2);
                    const quorin::IntervalCounts classes = quorin::IntervalWalk<ByCost>(table, lo, hi).runParallel(costParts);
                    ASSERT_EQ(classes.inside, n.inside);
                    for (const auto& e : costParts[1].seen) costParts[0].seen[e.first] += e.second;
                    ASSERT_EQ(costParts[0].seen, costs);
                }
            }
        }
    }
}

TEST(BandWalk, CountsAndIntervalsOfSmallMatrices) {
    std::mt19937_64 rng(41);
    for (int trial = 0; trial < 60; ++trial) {
        SCOPED_TRACE(trial);
        checkWalks(quorin_test::awkwardMatrix(rng, 1 + trial % 5, 6, trial % 3 == 0));
    }
    checkWalks(ProbabilityMatrix(10, {0.5, 0.5}));  // every cost equal
    checkWalks(ProbabilityMatrix(6, {1.0}));        // one configuration, of cost 0
    checkWalks(quorin_test::awkwardMatrix(rng, 12, 2, true));
    checkWalks(quorin_test::awkwardMatrix(rng, 2, 60, false));
}

TEST(BandWalk, EmptyAndInfiniteMatrices) {
    const quorin::WeightTable empty(quorin::costsOf({}), 1.0, 1.0);
    ByCost leaves;
    quorin::IntervalCounts n = quorin::IntervalWalk<ByCost>(empty, -1.0, 1.0).run(leaves);
    EXPECT_EQ(n.inside, 1u);
    EXPECT_EQ(n.below, 0u);
    n = quorin::IntervalWalk<ByCost>(empty, 0.0, 1.0).run(leaves);
    EXPECT_EQ(n.below, 1u);
    EXPECT_EQ(n.inside, 0u);
    const quorin::WeightTable zeros(quorin::costsOf({{0.5, 0.5}, {0.0}}), 1.0, 5.0);
    n = quorin::IntervalWalk<ByCost>(zeros, -kInfinity, 5.0).run(leaves);
    EXPECT_EQ(n.inside, 0u);
    EXPECT_EQ(quorin::BandWalk(zeros, 5.0, nullptr).run().low, 0u);
}

TEST(BandWalk, InterruptStopsAWalk) {
    const ProbabilityMatrix probs = quorin_test::deepMatrix(0, 1);
    const quorin::WeightTable table(quorin::costsOf(probs), 1e-4, 63.5);
    std::atomic<bool> raised{true};
    quorin::BandWalk walk(table, 63.5, nullptr, ~std::uint64_t{0}, &raised);
    EXPECT_THROW(walk.run(), quorin::Interrupted);
    ByCost leaves;
    EXPECT_THROW(quorin::IntervalWalk<ByCost>(table, 63.4, 63.5, &raised).run(leaves), quorin::Interrupted);
}

}  // namespace
