// Whole enumerations: the documented sequences, exhaustion, cache on versus off, copies,
// and a brute-force oracle on small random matrices.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <set>
#include <vector>

#include <quorin/quorin.h>
#include "support.h"

namespace {

using quorin::ProbabilityMatrix;
using quorin::Quorin;
using quorin_test::Configuration;

struct Sequence {
    const char* name;
    ProbabilityMatrix probs;
    std::vector<Configuration> expected;
};

class DocumentedSequences : public ::testing::TestWithParam<Sequence> {};

TEST_P(DocumentedSequences, CacheOnAndOff) {
    EXPECT_EQ(quorin_test::enumerate(GetParam().probs, true), GetParam().expected);
    EXPECT_EQ(quorin_test::enumerate(GetParam().probs, false), GetParam().expected);
}

const std::vector<double> kHalf = {0.5, 0.5};
const std::vector<double> kQuarter = {0.25, 0.25, 0.25, 0.25};

INSTANTIATE_TEST_SUITE_P(
    Matrices, DocumentedSequences,
    ::testing::Values(
        Sequence{"two_by_two", {{0.2, 0.8}, {0.1, 0.9}}, {{1, 1}, {0, 1}, {1, 0}, {0, 0}}},
        Sequence{"ragged", {{0.5, 0.3, 0.2}, {0.7, 0.3}}, {{0, 0}, {1, 0}, {0, 1}, {2, 0}, {1, 1}, {2, 1}}},
        Sequence{"three_equal_rows", {kHalf, kHalf, kHalf},
                 {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {1, 1, 0}, {0, 0, 1}, {1, 0, 1}, {0, 1, 1}, {1, 1, 1}}},
        Sequence{"sixteen_ties", {kQuarter, kQuarter},
                 {{0, 0}, {1, 0}, {0, 1}, {2, 0}, {1, 1}, {3, 0}, {0, 2}, {2, 1},
                  {3, 1}, {1, 2}, {2, 2}, {0, 3}, {1, 3}, {3, 2}, {2, 3}, {3, 3}}},
        Sequence{"single_cell", {{1.0}}, {{0}}},
        Sequence{"single_configuration", {{0.4}, {0.7}}, {{0, 0}}},
        Sequence{"no_rows", {}, {{}}},
        Sequence{"zeros_come_last", {{0.5, 0.5}, {0.5, 0.0}}, {{0, 0}, {1, 0}, {0, 1}, {1, 1}}},
        Sequence{"zero_behind_single_column", {{1.0}, {0.5, 0.5, 0.0}}, {{0, 0}, {0, 1}, {0, 2}}},
        Sequence{"only_child_has_probability_zero", {{1.0}, {0.5, 0.0}}, {{0, 0}, {0, 1}}},
        Sequence{"one_column", {{0.3, 0.7}}, {{1}, {0}}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Exhaustion, CountsEveryAdvanceAndEmptiesTheFrontier) {
    Quorin q({{0.2, 0.8}, {0.1, 0.9}});
    quorin_test::drain(q);
    EXPECT_TRUE(q.exhausted);
    EXPECT_EQ(q.state.emittedCount, 4);
    EXPECT_TRUE(q.state.frontier.empty());
    std::vector<int> columns = {7};
    EXPECT_FALSE(q.next(columns));
    EXPECT_EQ(columns, std::vector<int>{7}) << "an exhausted enumerator leaves the output alone";
}

TEST(Exhaustion, OnlyConfigurationComesFirstWithoutError) {
    for (const ProbabilityMatrix& probs : {ProbabilityMatrix{{1.0}}, ProbabilityMatrix{}, ProbabilityMatrix{{1.0}, {0.5, 0.0}}}) {
        Quorin q(probs);
        std::vector<int> columns;
        ASSERT_TRUE(q.next(columns));
        EXPECT_EQ(q.state.emittedCount, 1);
        if (probs.size() == 2) continue;  // that one has a second configuration
        EXPECT_TRUE(q.exhausted);
        EXPECT_FALSE(q.next(columns));
    }
}

// Everything but the successor cache, which only the cache setting changes.
void expectSameSearch(const quorin::State& a, const quorin::State& b) {
    EXPECT_EQ(a.order, b.order);
    EXPECT_EQ(a.costs, b.costs);
    EXPECT_EQ(a.emittedCount, b.emittedCount);
    EXPECT_TRUE(a.nodes == b.nodes);
    EXPECT_TRUE(a.visited == b.visited);
    EXPECT_TRUE(a.expandCount == b.expandCount);
    EXPECT_EQ(a.history, b.history);
    EXPECT_TRUE(a.frontier == b.frontier);
}

ProbabilityMatrix randomMatrix(std::mt19937& rng, int maxRows, int maxCols, bool zeros) {
    const double levels[] = {0.0, 0.1, 0.2, 0.25, 0.5, 0.5, 0.7, 1.0, 1.5};
    ProbabilityMatrix probs(1 + rng() % maxRows);
    for (auto& row : probs) {
        row.resize(1 + rng() % maxCols);
        for (double& p : row) p = levels[(zeros ? 0 : 1) + rng() % (zeros ? 9 : 8)];
    }
    return probs;
}

TEST(Cache, OnAndOffGiveIdenticalStatesAtEveryStep) {
    std::mt19937 rng(3);
    for (int round = 0; round < 100; ++round) {
        const ProbabilityMatrix probs = randomMatrix(rng, 5, 4, true);
        Quorin on(probs, true), off(probs, false);
        std::vector<int> a, b;
        while (true) {
            expectSameSearch(on.state, off.state);
            const bool moreOn = on.next(a), moreOff = off.next(b);
            ASSERT_EQ(moreOn, moreOff);
            if (!moreOn) break;
            ASSERT_EQ(a, b);
        }
        EXPECT_TRUE(off.state.successorCache.lists.empty());
        EXPECT_TRUE(off.state.successorCache.listOfNode.empty());
        EXPECT_FALSE(on.state.successorCache.lists.empty());
    }
}

TEST(Copy, AdvancingTheCopyLeavesTheSourceUntouched) {
    Quorin source({{0.5, 0.3, 0.2}, {0.7, 0.3}, {0.1, 0.9}});
    std::vector<int> columns;
    source.next(columns);
    source.next(columns);
    const Quorin snapshot = source;
    Quorin copy = source;
    const auto rest = quorin_test::drain(copy);
    EXPECT_TRUE(source.state == snapshot.state);
    EXPECT_FALSE(source.exhausted);
    EXPECT_EQ(quorin_test::drain(source), rest);
}

// Every configuration exactly once, costs never decreasing beyond rounding.
void expectOracle(const ProbabilityMatrix& probs, bool cache) {
    const auto produced = quorin_test::enumerate(probs, cache);
    const auto all = quorin_test::allConfigurations(probs);
    ASSERT_EQ(produced.size(), all.size());
    EXPECT_EQ(std::set<Configuration>(produced.begin(), produced.end()),
              std::set<Configuration>(all.begin(), all.end()));
    for (std::size_t k = 1; k < produced.size(); ++k) {
        const double before = quorin_test::cost(probs, produced[k - 1]);
        const double now = quorin_test::cost(probs, produced[k]);
        if (std::isinf(before)) {
            ASSERT_TRUE(std::isinf(now)) << "probability-zero configurations come last";
        } else {
            ASSERT_GE(now, before - 1e-12 * std::max(1.0, std::fabs(before))) << "at step " << k;
        }
    }
}

TEST(Oracle, SmallRandomMatricesWithTiesAndZeros) {
    std::mt19937 rng(2026);
    for (int round = 0; round < 400; ++round) {
        const ProbabilityMatrix probs = randomMatrix(rng, 6, 5, round % 2 == 0);
        expectOracle(probs, round % 3 != 0);
    }
}

TEST(Oracle, RandomPositiveMatrices) {
    std::mt19937 rng(99);
    std::uniform_real_distribution<double> uniform(0.001, 1.0);
    for (int round = 0; round < 100; ++round) {
        ProbabilityMatrix probs(1 + rng() % 6);
        for (auto& row : probs) {
            row.resize(1 + rng() % 5);
            for (double& p : row) p = uniform(rng);
        }
        expectOracle(probs, true);
    }
}

TEST(Oracle, SeventeenRowsOfTies) {
    // Beyond 16 rows the row order of equal steps comes from the partition steps.
    const ProbabilityMatrix probs(17, kHalf);
    const auto first = quorin_test::enumerate(probs);
    ASSERT_EQ(first.size(), 1u << 17);
    Configuration moved8(17, 0), moved16(17, 0);
    moved8[8] = 1;
    moved16[16] = 1;
    EXPECT_EQ(first[1], moved8);
    EXPECT_EQ(first[2], moved16);
    EXPECT_EQ(std::set<Configuration>(first.begin(), first.end()).size(), first.size());
}

}  // namespace

namespace {

// Ranks and row indices are stored 4 bytes wide once a row has more than 65,536 columns or
// the matrix more than 65,535 rows.
TEST(WideNodes, FourByteRanksAndRowIndices) {
    std::vector<double> wide(70000);
    for (std::size_t j = 0; j < wide.size(); ++j) wide[j] = 1.0 / static_cast<double>(1 + (j * 7919) % 70001);
    const ProbabilityMatrix wideRow = {wide, {0.3, 0.7}};
    ProbabilityMatrix manyRows(70000, std::vector<double>{1.0});
    manyRows[5] = manyRows[40000] = manyRows[69999] = {0.3, 0.7};
    for (bool cache : {true, false}) {
        Quorin a(wideRow, cache);
        EXPECT_EQ(a.state.rankBytes(), 4u);
        const auto first = quorin_test::drain(a, 200);
        EXPECT_EQ(std::set<Configuration>(first.begin(), first.end()).size(), first.size());
        for (std::size_t k = 1; k < first.size(); ++k) {
            ASSERT_LE(quorin_test::cost(wideRow, first[k - 1]), quorin_test::cost(wideRow, first[k]) + 1e-12);
        }
        Quorin b(manyRows, cache);
        EXPECT_EQ(b.state.rowBytes(), 4u);
        expectOracle(manyRows, cache);
    }
}

}  // namespace
