// The range walk against brute force: every range [lower, upper) of small matrices walked
// without order must hand out exactly the configurations the sorted cost order holds
// there, index them as the order does, and test them all.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <atomic>
#include <random>
#include <set>
#include <tuple>
#include <vector>

#include <quorin/counting.h>
#include <quorin/range_walk.h>

#include "support.h"
#include "range/range_plan.h"
#include "range/range_stop.h"
#include "walk/suffix_list.h"
#include "walk/suffix_lists.h"

namespace {

using quorin::OrderBound;
using quorin::ProbabilityMatrix;
using quorin_test::Configuration;
using quorin_test::Entry;

// Accepts the configurations whose columns sum to a multiple of 3.
// With `bytes`, it takes its batches as bytes where the matrix allows, and counts them.
struct EveryThird : quorin::Tester {
    explicit EveryThird(bool takeBytes = false) : bytes(takeBytes) {}
    template <class Column>
    static void pick(const Column* columns, std::size_t count, std::size_t rows, std::vector<std::size_t>& hits) {
        for (std::size_t k = 0; k < count; ++k) {
            long sum = 0;
            for (std::size_t r = 0; r < rows; ++r) sum += columns[k * rows + r];
            if (sum % 3 == 0) hits.push_back(k);
        }
    }
    void test(const std::int32_t* columns, const double*, std::size_t count, std::size_t rows,
              std::vector<std::size_t>& hits) const override {
        pick(columns, count, rows, hits);
    }
    bool takesBytes() const override { return bytes; }
    void testBytes(const std::uint8_t* columns, const double*, std::size_t count, std::size_t rows,
                   std::vector<std::size_t>& hits) const override {
        ++byteBatches;
        pick(columns, count, rows, hits);
    }
    bool bytes;
    mutable std::atomic<std::size_t> byteBatches{0};
};

// EveryThird, saying that a hit is the only one: the walk stops at the first it finds.
struct FirstOfEveryThird : EveryThird {
    using EveryThird::EveryThird;
    bool unique() const override { return true; }
};

std::vector<Entry> walkAll(quorin::RangeWalk& walk) {
    std::vector<Entry> out;
    while (quorin::RangeChunk chunk = walk.next()) {
        const std::size_t n = walk.rows();
        for (std::size_t k = 0; k < chunk.count; ++k)
            out.push_back({chunk.costs[k], Configuration(chunk.columns.begin() + k * n, chunk.columns.begin() + (k + 1) * n)});
    }
    return out;
}

// A bound at position p of the order: its configuration's, or a cost's start, or the end.
std::optional<OrderBound> boundAt(const std::vector<Entry>& order, std::size_t p, bool costStart, std::size_t rows) {
    if (p >= order.size()) return std::nullopt;
    OrderBound b{order[p].cost, order[p].columns};
    if (costStart) b.columns.assign(rows, 0);
    return b;
}

// Where a bound falls in the order: the first position at or after it.
std::size_t positionOf(const std::vector<Entry>& order, const std::optional<OrderBound>& b) {
    if (!b) return order.size();
    std::size_t p = 0;
    while (p < order.size() && (order[p].cost < b->cost || (order[p].cost == b->cost && order[p].columns < b->columns))) ++p;
    return p;
}

// Once with the lists' memory as it is, once so small that the deepest list holds few rows
// and many prefixes end at early lists of a handful of entries.
class RangeWalkByListMemory : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        if (GetParam()) saved_ = quorin::detail::setSuffixListBytes({64, 16, 256});
    }
    void TearDown() override {
        if (GetParam()) quorin::detail::setSuffixListBytes(saved_);
    }
    quorin::detail::SuffixListBytes saved_{};
};

INSTANTIATE_TEST_SUITE_P(RangeWalk, RangeWalkByListMemory, ::testing::Bool());

TEST_P(RangeWalkByListMemory, EveryRangeOfSmallMatricesAgainstBruteForce) {
    std::mt19937_64 rng(11);
    for (int trial = 0; trial < 90; ++trial) {
        const int kind = trial % 3;
        const std::size_t rows = 1 + trial % 7;
        const ProbabilityMatrix probs = quorin_test::randomMatrix(rng, rows, 6, kind);
        const std::vector<Entry> order = quorin_test::costOrder(probs);
        std::uniform_int_distribution<std::size_t> at(0, order.size());
        for (int range = 0; range < 4; ++range) {
            std::size_t a = at(rng), b = at(rng);
            if (a > b) std::swap(a, b);
            std::optional<OrderBound> lower = boundAt(order, a, range % 2 == 1, rows);
            if (!lower) lower = OrderBound{INFINITY, std::vector<int>(rows, 0)}, lower->columns.back() = static_cast<int>(probs.back().size()) - 1;
            const std::optional<OrderBound> upper = range == 3 ? std::nullopt : boundAt(order, b, range == 2, rows);
            const std::size_t from = positionOf(order, lower), to = std::max(from, positionOf(order, upper));
            std::vector<Entry> want(order.begin() + from, order.begin() + to);
            for (unsigned threads : {1u, 2u}) {
                quorin::RangeWalk walk(probs, *lower, upper, threads, 3);
                std::vector<Entry> got = walkAll(walk);
                ASSERT_EQ(walk.handedOut(), want.size()) << "trial " << trial;
                std::sort(got.begin(), got.end(), [](const Entry& x, const Entry& y) {
                    return std::tie(x.cost, x.columns) < std::tie(y.cost, y.columns);
                });
                for (std::size_t k = 0; k < want.size(); ++k) {
                    ASSERT_EQ(got[k].columns, want[k].columns) << "trial " << trial << " index " << k;
                    ASSERT_EQ(got[k].cost, want[k].cost);
                }
                for (std::size_t k = 0; k < want.size(); k += 1 + want.size() / 5)
                    ASSERT_EQ(walk.indexOf(want[k].columns), k) << "trial " << trial;
                if (to < order.size() && threads == 1) {
                    ASSERT_EQ(walk.indexOf(order[to].columns), want.size());
                }
                // Many at once, in one walk: every configuration of the matrix (inside the
                // range or not, cost +inf included), shuffled, some twice.
                std::vector<std::vector<int>> targets;
                std::vector<std::size_t> expectedIndex;
                for (std::size_t p = 0; p < order.size(); ++p) {
                    for (int copies = p % 5 == 0 ? 2 : 1; copies > 0; --copies) {
                        targets.push_back(order[p].columns);
                        expectedIndex.push_back(std::min(std::max(p, from), to) - from);
                    }
                }
                std::vector<std::size_t> shuffle(targets.size());
                for (std::size_t k = 0; k < shuffle.size(); ++k) shuffle[k] = k;
                std::shuffle(shuffle.begin(), shuffle.end(), rng);
                std::vector<std::vector<int>> shuffled;
                for (std::size_t k : shuffle) shuffled.push_back(targets[k]);
                const std::vector<quorin::Position> indices = walk.indicesOf(shuffled);
                ASSERT_EQ(indices.size(), shuffled.size());
                for (std::size_t k = 0; k < shuffle.size(); ++k)
                    ASSERT_EQ(indices[k], expectedIndex[shuffle[k]]) << "trial " << trial << " target " << k;
                if (threads == 1) {  // and one at a time
                    for (std::size_t k = 0; k < targets.size(); k += 3)
                        ASSERT_EQ(walk.indexOf(targets[k]), expectedIndex[k]) << "trial " << trial << " target " << k;
                }

                // Half the trials hand the tester bytes (every matrix here has rows of at most
                // 256 columns).
                const bool bytes = trial % 2 == 1;
                EveryThird tester(bytes);
                const quorin::RangeReport report = quorin::testRange(probs, *lower, upper, tester, threads);
                ASSERT_EQ(tester.byteBatches > 0, bytes && !want.empty() && want.front().cost < INFINITY) << "trial " << trial;
                ASSERT_EQ(report.tested, want.size());
                std::vector<std::size_t> expected;
                for (std::size_t k = 0; k < want.size(); ++k) {
                    long sum = 0;
                    for (int c : want[k].columns) sum += c;
                    if (sum % 3 == 0) expected.push_back(k);
                }
                ASSERT_EQ(report.hits.size(), expected.size()) << "trial " << trial;
                for (std::size_t h = 0; h < expected.size(); ++h) {
                    ASSERT_EQ(report.hits[h].index, expected[h]);
                    ASSERT_EQ(report.hits[h].configuration.columns, want[expected[h]].columns);
                }
                // The first `most` alone, cut where the order puts them (the end's bound known
                // by counts unless it is of cost +inf); a unique hit past them is no hit.
                // None kept (every slot counted and listed again), a few (the threads' shares
                // overflow), or the default.
                const std::size_t keptMost =
                    quorin::detail::setStopKeptBytes(trial % 4 == 0 ? 0 : trial % 4 == 1 ? 256 : std::size_t{64} << 20);
                for (std::size_t most : {std::size_t{0}, want.size() / 2, want.size() - std::min<std::size_t>(want.size(), 1),
                                         want.size() + 1}) {
                    const bool cut = want.size() > most;
                    const quorin::RangeReport r = quorin::testRange(probs, *lower, upper, tester, threads, nullptr, most);
                    ASSERT_EQ(r.cut, cut) << "trial " << trial << " most " << most;
                    ASSERT_EQ(r.tested, std::min(most, want.size()));
                    std::size_t h = 0;
                    for (; h < expected.size() && expected[h] < most; ++h) ASSERT_EQ(r.hits.at(h).index, expected[h]);
                    ASSERT_EQ(r.hits.size(), h) << "trial " << trial << " most " << most;
                    if (cut && want[most].cost < INFINITY) {
                        ASSERT_TRUE(r.end.has_value()) << "trial " << trial << " most " << most;
                        ASSERT_EQ(r.end->columns, want[most].columns) << "trial " << trial << " most " << most;
                        ASSERT_EQ(r.end->cost, want[most].cost);
                    }
                    const quorin::RangeReport u = quorin::testRange(probs, *lower, upper, FirstOfEveryThird(bytes), threads, nullptr, most);
                    if (!u.complete) {
                        ASSERT_LT(u.hits.at(0).index, most);
                    } else {
                        ASSERT_TRUE(u.hits.empty());
                        ASSERT_EQ(u.tested, std::min(most, want.size())) << "trial " << trial << " most " << most;
                    }
                }
                quorin::detail::setStopKeptBytes(keptMost);
                // A unique tester: the walk stops at a hit, indexed exactly.
                const quorin::RangeReport first = quorin::testRange(probs, *lower, upper, FirstOfEveryThird(bytes), threads);
                if (expected.empty()) {
                    ASSERT_TRUE(first.complete);
                    ASSERT_TRUE(first.hits.empty());
                    continue;
                }
                ASSERT_FALSE(first.complete);
                ASSERT_EQ(first.hits.size(), 1u);
                const std::size_t at = static_cast<std::size_t>(first.hits[0].index);
                ASSERT_TRUE(std::find(expected.begin(), expected.end(), at) != expected.end()) << "trial " << trial;
                ASSERT_EQ(first.hits[0].configuration.columns, want[at].columns);
                ASSERT_EQ(first.tested, first.hits[0].index + 1);
            }
        }
    }
}

// The end of the first `most` of a range too large to count by brute force, where the
// walk keeps the slots about the one sought: the same bound as boundAfter's counts, with
// the slots kept and with none kept (counted and listed again).
TEST(RangeWalk, TheFirstOfALargeRangeEndWhereBoundAfterSays) {
    std::mt19937_64 rng(23);
    std::gamma_distribution<double> gamma(0.3);
    ProbabilityMatrix probs(6, std::vector<double>(16));  // 2^24 configurations
    for (std::vector<double>& row : probs) {
        for (double& x : row) x = gamma(rng);
    }
    const OrderBound lower = *quorin::detail::boundAfter(probs, OrderBound{0.0, std::vector<int>(6, 0)}, 1000, 2, nullptr,
                                                         1 << 15);
    struct None : quorin::Tester {
        void test(const std::int32_t*, const double*, std::size_t, std::size_t, std::vector<std::size_t>&) const override {}
    };
    for (quorin::Position most : {quorin::Position{(1 << 22) + 12345}, quorin::Position{(1 << 23) + 1}}) {
        const std::optional<OrderBound> want = quorin::detail::boundAfter(probs, lower, most, 2, nullptr, 1 << 15);
        ASSERT_TRUE(want.has_value());
        const std::optional<OrderBound> upper = quorin::detail::boundAfter(probs, lower, most + most / 16, 2, nullptr, 1 << 15);
        for (std::size_t kept : {std::size_t{64} << 20, std::size_t{0}}) {
            const std::size_t saved = quorin::detail::setStopKeptBytes(kept);
            const quorin::RangeReport r = quorin::testRange(probs, lower, upper, None{}, 2, nullptr, most);
            quorin::detail::setStopKeptBytes(saved);
            ASSERT_TRUE(r.cut);
            ASSERT_EQ(r.tested, most);
            ASSERT_TRUE(r.end.has_value());
            ASSERT_EQ(r.end->cost, want->cost) << "kept " << kept;
            ASSERT_EQ(r.end->columns, want->columns) << "kept " << kept;
        }
    }
}

// A bound found by counts from another against the sorted order: the configuration at
// every offset from random bounds of small matrices (ties and zeros among them), with
// bands listed at sizes from one configuration (every narrowing step taken) to many.
// std::nullopt only where it may be: cost +inf, past the end, or a crowd of one cost too
// large to list.
TEST(RangeWalk, BoundAfterAgainstBruteForce) {
    std::mt19937_64 rng(5);
    for (int trial = 0; trial < 60; ++trial) {
        const std::size_t rows = 1 + trial % 6;
        const ProbabilityMatrix probs = quorin_test::randomMatrix(rng, rows, 7, trial % 3);
        const std::vector<Entry> order = quorin_test::costOrder(probs);
        std::uniform_int_distribution<std::size_t> at(0, order.size() - 1);
        for (int start = 0; start < 3; ++start) {
            const std::optional<OrderBound> lower = boundAt(order, at(rng), start == 1, rows);
            const std::size_t from = positionOf(order, lower);
            for (quorin::Position listed : {1, 7, 1 << 15}) {
                for (std::size_t k = 0; from + k <= order.size(); k += 1 + k / 3) {
                    const std::optional<OrderBound> got =
                        quorin::detail::boundAfter(probs, *lower, k, 1 + k % 2, nullptr, listed);
                    if (!got) {
                        const bool allowed = from + k == order.size() || order[from + k].cost == INFINITY ||
                                             std::count_if(order.begin(), order.end(), [&](const Entry& e) {
                                                 return e.cost == order[from + k].cost;
                                             }) > static_cast<long>(listed);
                        ASSERT_TRUE(allowed) << "trial " << trial << " offset " << k;
                        continue;
                    }
                    ASSERT_LT(from + k, order.size()) << "trial " << trial;
                    ASSERT_EQ(got->columns, order[from + k].columns) << "trial " << trial << " offset " << k;
                    ASSERT_EQ(got->cost, order[from + k].cost);
                }
            }
        }
    }
}

TEST(RangeWalk, RefusesBadBoundsAndStopsWhenInterrupted) {
    const ProbabilityMatrix probs{{0.5, 0.3, 0.2}, {0.6, 0.4}};
    EXPECT_THROW(quorin::RangeWalk(probs, OrderBound{0.0, {0}}, std::nullopt), std::invalid_argument);
    EXPECT_THROW(quorin::RangeWalk(probs, OrderBound{0.0, {0, 2}}, std::nullopt), std::invalid_argument);
    EXPECT_THROW(quorin::RangeWalk(probs, OrderBound{NAN, {0, 0}}, std::nullopt), std::invalid_argument);
    EXPECT_THROW(quorin::RangeWalk(probs, OrderBound{0.0, {0, 0}}, OrderBound{1.0, {3, 0}}), std::invalid_argument);
    quorin::RangeWalk walk(probs, OrderBound{0.0, {0, 0}}, std::nullopt, 1, 1);
    EXPECT_THROW(walk.indexOf({0, 5}), std::invalid_argument);
    const std::atomic<bool> raised{true};
    std::size_t before = 0;
    try {
        while (walk.next(&raised)) ++before;  // what is queued may still come
    } catch (const quorin::Interrupted&) {
    }
    std::size_t after = 0;
    while (walk.next()) ++after;
    EXPECT_EQ(before + after, 6u);  // nothing lost
    EXPECT_EQ(walk.handedOut(), 6u);
}

}  // namespace

namespace {

// What a walk keeps between calls on one matrix (suffix lists, the cutting table) changes no
// result: cuts and walks agree kept, released, with lists built on one thread or two, and
// with early lists of a few entries.
// A suffix list holds every combination of its rows whose key is within its budget, once,
// in its key's bucket (brute force over every combination of small awkward matrices).
TEST(RangeWalk, SuffixListsHoldEveryCombinationOfTheirBudgetInItsBucket) {
    std::mt19937_64 rng(29);
    for (int trial = 0; trial < 24; ++trial) {
        const std::size_t rows = 2 + trial % 5;
        const quorin::detail::Model m(quorin_test::randomMatrix(rng, rows, 7, trial % 3));
        const std::size_t first = static_cast<std::size_t>(trial) % rows;
        const std::size_t depth = rows - first;
        const double budget = m.deltaAfter[first] * (trial % 4 + 1) / 4.0;
        quorin::detail::SuffixList list;
        ASSERT_TRUE(quorin::detail::buildSuffixList(m, list, first, budget, 64.0 / std::max(budget, 1e-9), 65, 1 << 20,
                                                    nullptr));
        std::multiset<std::pair<std::size_t, std::vector<int>>> want, got;
        std::vector<std::size_t> at(depth, 0);
        while (true) {
            double key = 0.0;
            std::vector<int> columns(depth);
            bool finite = true;
            for (std::size_t r = 0; r < depth; ++r) {
                const std::size_t c = m.candStart[first + r] + at[r];
                if (c >= m.candStart[first + r + 1]) finite = false;
                else key += m.candDelta[c], columns[r] = static_cast<int>(m.candColumn[c]);
            }
            if (finite && key <= budget) want.insert({quorin::detail::bucketOf(key, list.scale, list.buckets), columns});
            std::size_t r = 0;
            while (r < depth && ++at[r] >= m.columns(first + r)) at[r++] = 0;
            if (r == depth) break;
        }
        for (std::size_t b = 0; b < list.buckets; ++b) {
            ASSERT_EQ(list.start[b + 1] > list.start[b], list.anyIn(b, b)) << "trial " << trial;
            for (std::uint32_t e = list.start[b]; e < list.start[b + 1]; ++e) {
                std::vector<int> columns(depth);
                for (std::size_t r = 0; r < depth; ++r) {
                    std::uint32_t c = 0;
                    std::memcpy(&c, list.entries.data() + (std::size_t{e} * depth + r) * m.width, m.width);
                    columns[r] = static_cast<int>(c);
                }
                got.insert({b, columns});
            }
        }
        ASSERT_EQ(got, want) << "trial " << trial;
    }
}

TEST(RangeWalk, WhatIsKeptBetweenWalksChangesNoResult) {
    const ProbabilityMatrix probs(6, std::vector<double>{0.3, 0.25, 0.2, 0.1, 0.1, 0.05});
    const std::vector<Entry> order = quorin_test::costOrder(probs);
    const OrderBound lower{order[order.size() / 3].cost, order[order.size() / 3].columns};
    const auto cutsOf = [&] { return quorin::cutRange(probs, lower, std::nullopt, 997, 8); };
    const std::vector<OrderBound> cuts = cutsOf();
    ASSERT_FALSE(cuts.empty());
    const auto walked = [&](unsigned threads) {
        quorin::RangeWalk walk(probs, lower, cuts.back(), threads, 64);
        std::vector<Entry> got = walkAll(walk);
        std::sort(got.begin(), got.end(), [](const Entry& x, const Entry& y) {
            return std::tie(x.cost, x.columns) < std::tie(y.cost, y.columns);
        });
        return got;
    };
    const std::vector<Entry> want(order.begin() + static_cast<std::ptrdiff_t>(order.size() / 3),
                                  order.begin() + static_cast<std::ptrdiff_t>(positionOf(order, cuts.back())));
    const quorin::detail::SuffixListBytes saved = quorin::detail::setSuffixListBytes({64, 16, 256});
    for (int round = 0; round < 3; ++round) {
        for (unsigned threads : {1u, 2u}) {
            const std::vector<Entry> got = walked(threads);
            ASSERT_EQ(got.size(), want.size()) << "round " << round;
            for (std::size_t k = 0; k < want.size(); ++k) ASSERT_EQ(got[k].columns, want[k].columns);
        }
        const std::vector<OrderBound> again = cutsOf();
        ASSERT_EQ(again.size(), cuts.size());
        for (std::size_t k = 0; k < cuts.size(); ++k) ASSERT_EQ(again[k].cost, cuts[k].cost);
        if (round == 1) quorin::releaseWalkMemory();
    }
    quorin::detail::setSuffixListBytes(saved);
}

}  // namespace

namespace {

// On two threads a walk cuts the prefix tree into thousands of pieces, and a prefix an early
// list completes is a piece of its own; on one thread a few pieces of one row, none of
// them early. Both walks of a range at 2^22 of a 16 x 256 matrix, with lists small enough
// that early lists complete many prefixes, hold the same configurations, as many as the
// range's positions say.
TEST(RangeWalk, PiecesEndingAtEarlyListsHoldTheirConfigurations) {
    const ProbabilityMatrix probs = quorin_test::gammaMatrix(7, 16, 256);
    const quorin::Position start = quorin::Position{1} << 22, count = quorin::Position{1} << 17;
    const auto boundOf = [&](quorin::Position p) {
        const quorin::Configuration c = quorin::select(probs, quorin::Count::fromUint128(p));
        return OrderBound{c.cost, c.columns};
    };
    const OrderBound lower = boundOf(start), upper = boundOf(start + count);
    const quorin::detail::SuffixListBytes saved =
        quorin::detail::setSuffixListBytes({std::size_t{1} << 12, std::size_t{1} << 16, std::size_t{1} << 22});
    const auto walked = [&](unsigned threads) {
        quorin::RangeWalk walk(probs, lower, upper, threads, 1 << 14);
        std::vector<Entry> got = walkAll(walk);
        std::sort(got.begin(), got.end(), [](const Entry& x, const Entry& y) {
            return std::tie(x.cost, x.columns) < std::tie(y.cost, y.columns);
        });
        return got;
    };
    const std::vector<Entry> alone = walked(1), shared = walked(2);
    quorin::detail::setSuffixListBytes(saved);
    ASSERT_EQ(alone.size(), count);
    ASSERT_EQ(shared.size(), count);
    for (std::size_t k = 0; k < alone.size(); ++k) ASSERT_EQ(shared[k].columns, alone[k].columns) << k;
}

// Few hits in a large range: each cost bucket of the index walk counts tens of thousands
// of configurations, more than one bucket's count holds, so full counts go to their slot.
// The indices of two configurations of a range of 2^22 are where select puts them.
// Deep in a peaked order most rows of a configuration take their cheapest column: the
// weight table's cuts must count the costs each weight's configurations really have, not
// its middle one (which cut these pieces a tenth larger than asked).
TEST(RangeCuts, PiecesDeepInAPeakedOrderHoldWhatWasAsked) {
    const ProbabilityMatrix probs = quorin_test::gammaMatrix(5, 16, 256);
    const quorin::Position size = quorin::Position{1} << 20;
    const quorin::Configuration start = quorin::select(probs, quorin::Count::fromUint128(quorin::Position{1} << 26));
    OrderBound from{start.cost, start.columns};
    const std::vector<OrderBound> cuts = quorin::cutRange(probs, from, std::nullopt, size, 2);
    ASSERT_EQ(cuts.size(), 2u);
    for (const OrderBound& to : cuts) {
        quorin::RangeWalk walk(probs, from, to, 2);
        while (quorin::RangeChunk chunk = walk.next()) walk.recycle(std::move(chunk));
        EXPECT_NEAR(static_cast<double>(walk.handedOut()) / static_cast<double>(size), 1.0, 0.01);
        from = to;
    }
}

// Hundreds of rows: over the whole span of their costs the table's steps are so wide that
// its counts of the first weights dwarf a piece's size (adding it changed no double, and
// cutting went on for ever; then every cut landed at one cost, 10^80 configurations
// down). The cuts rise, and the first pieces hold what was asked.
TEST(RangeCuts, PiecesOfAMatrixOfHundredsOfRowsHoldWhatWasAsked) {
    const ProbabilityMatrix probs = quorin_test::gammaMatrix(1, 600, 4);
    OrderBound cheapest{0.0, std::vector<int>(600, 0)};
    for (std::size_t i = 0; i < probs.size(); ++i) {
        const auto best = std::max_element(probs[i].begin(), probs[i].end());
        cheapest.columns[i] = static_cast<int>(best - probs[i].begin());
        cheapest.cost += -std::log(*best);
    }
    const std::vector<OrderBound> cuts = quorin::cutRange(probs, cheapest, std::nullopt, 1 << 14, 1000);
    ASSERT_EQ(cuts.size(), 1000u);
    for (std::size_t k = 1; k < cuts.size(); ++k) EXPECT_LT(cuts[k - 1].cost, cuts[k].cost);
    OrderBound from = cheapest;
    for (std::size_t k = 0; k < 3; ++k) {
        quorin::RangeWalk walk(probs, from, cuts[k], 2);
        while (quorin::RangeChunk chunk = walk.next()) walk.recycle(std::move(chunk));
        EXPECT_NEAR(static_cast<double>(walk.handedOut()) / (1 << 14), 1.0, 0.1) << k;
        from = cuts[k];
    }
}

TEST(RangeWalk, IndicesOfFewHitsInALargeRangeAreTheirPositions) {
    const ProbabilityMatrix probs = quorin_test::gammaMatrix(11, 16, 256);
    const quorin::Position start = quorin::Position{1} << 22, count = quorin::Position{1} << 22;
    const auto at = [&](quorin::Position p) { return quorin::select(probs, quorin::Count::fromUint128(p)); };
    const quorin::Configuration lower = at(start), upper = at(start + count);
    const std::vector<quorin::Position> offsets{977, count - 1013};
    quorin::RangeWalk walk(probs, OrderBound{lower.cost, lower.columns}, OrderBound{upper.cost, upper.columns}, 2);
    const std::vector<quorin::Position> indices =
        walk.indicesOf({at(start + offsets[1]).columns, at(start + offsets[0]).columns});
    ASSERT_EQ(indices.size(), 2u);
    EXPECT_EQ(indices[0], offsets[1]);
    EXPECT_EQ(indices[1], offsets[0]);
}

}  // namespace
