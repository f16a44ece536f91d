// Building blocks of the enumeration: hashing, construction, validation, row deltas,
// sorted row lists and successor selection.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include <quorin/quorin.h>
#include "support.h"

namespace {

using quorin::Quorin;
using quorin::RankVector;
using quorin::State;
constexpr int M = quorin::kExhaustedRowMarker;

TEST(VectorHash, WorkedValues) {
    const quorin::vector_hash hash;
    EXPECT_EQ(hash({}), 0u);
    EXPECT_EQ(hash({0}), 0x9e3779f8u);
    EXPECT_EQ(hash({0, 0}), 0x28cd949d3cu);
    EXPECT_EQ(hash({1, 2, 3}), 0xa16fb2b5814u);
    EXPECT_EQ(hash({1879048192}), 0xe3779f8u) << "the entry is combined in 32 bits";
    EXPECT_EQ(hash({1, 0}), 0x28cd949c7fu);
    EXPECT_EQ(hash({0, 1}), 0x28cd949d33u);
    // Stored nodes are narrow; they hash like the same ranks as ints.
    const std::uint8_t narrow[] = {1, 2, 3};
    const std::uint16_t wide[] = {1, 2, 3};
    EXPECT_EQ(quorin::vector_hash::hashRanks(narrow, 3), 0xa16fb2b5814u);
    EXPECT_EQ(quorin::vector_hash::hashRanks(wide, 3), 0xa16fb2b5814u);
}

TEST(Construction, CostsOrdersAndRoot) {
    const State s({{0.25, 0.5, 0.25}});
    EXPECT_EQ(s.order, (std::vector<std::vector<int>>{{1, 0, 2}}));
    EXPECT_DOUBLE_EQ(s.costs[0][0], -std::log(0.25));
    ASSERT_EQ(s.frontier.size(), 1u);
    EXPECT_EQ(s.frontier.top().parent, 0u);
    EXPECT_EQ(s.frontier.top().child, quorin::kNoNode);
    EXPECT_EQ(s.frontier.top().cost, -std::log(0.5));
    EXPECT_EQ(s.history, std::vector<quorin::NodeId>{0});
    EXPECT_EQ(s.ranksOf(0), RankVector{0});
    EXPECT_EQ(s.visited.size(), 1u);
    EXPECT_EQ(s.find({0}), 0u);
    EXPECT_EQ(s.find({1}), quorin::kNoNode);
    EXPECT_EQ(s.counterOf(0), 0u);
    EXPECT_TRUE(s.successorCache.lists.empty());
    EXPECT_EQ(s.emittedCount, 0);

    const State two({{0.5, 0.5}, {0.25, 0.75}});
    EXPECT_EQ(two.order, (std::vector<std::vector<int>>{{0, 1}, {1, 0}}));
    EXPECT_EQ(two.frontier.top().cost, 0.0 + -std::log(0.5) + -std::log(0.75));

    const State ragged({{0.2, 0.8}, {1.0}, {0.1, 0.3, 0.6}});
    EXPECT_EQ(ragged.order, (std::vector<std::vector<int>>{{1, 0}, {0}, {2, 1, 0}}));
    EXPECT_EQ(ragged.ranksOf(ragged.history.back()), (RankVector{0, 0, 0}));
}

TEST(Construction, NoRows) {
    const State s(quorin::ProbabilityMatrix{});
    EXPECT_TRUE(s.order.empty());
    EXPECT_EQ(s.history, std::vector<quorin::NodeId>{0});
    EXPECT_EQ(s.ranksOf(0), RankVector{});
    EXPECT_EQ(s.find({}), 0u);
    EXPECT_EQ(s.frontier.top().cost, 0.0);
    EXPECT_EQ(s.counterOf(0), 0u);
}

TEST(Construction, TiesInLongRowsFollowTheSort) {
    const State seventeen({std::vector<double>(17, 0.5)});
    EXPECT_EQ(seventeen.order[0], (std::vector<int>{8, 16, 15, 14, 13, 12, 11, 10, 9, 0, 7, 6, 5, 4, 3, 2, 1}));
    const State sixteen({std::vector<double>(16, 0.5)});
    for (int i = 0; i < 16; ++i) EXPECT_EQ(sixteen.order[0][i], i);
}

TEST(Construction, ZerosSortLastAndValuesAboveOneFirst) {
    const State s({{0.0, 0.5, 1.5, 1.0, 0.0}});
    EXPECT_EQ(s.order[0], (std::vector<int>{2, 3, 1, 0, 4}));
    EXPECT_TRUE(std::isinf(State({{0.0, 0.0}}).frontier.top().cost));
}

struct BadInput {
    quorin::ProbabilityMatrix probs;
    std::string message;
};

class Validation : public ::testing::TestWithParam<BadInput> {};

TEST_P(Validation, RejectsWithMessage) {
    try {
        Quorin q(GetParam().probs);
        FAIL() << "accepted";
    } catch (const std::invalid_argument& e) {
        EXPECT_EQ(std::string(e.what()), GetParam().message);
    }
}

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

INSTANTIATE_TEST_SUITE_P(
    BadProbabilities, Validation,
    ::testing::Values(
        BadInput{{{}}, "probs[0] is empty"},
        BadInput{{{0.5}, {0.2, 0.8}, {}}, "probs[2] is empty"},
        BadInput{{{0.5, -0.25}}, "probs[0][1] is -0.25: probabilities must be finite and non-negative"},
        BadInput{{{0.5}, {0.1, kNaN}}, "probs[1][1] is nan: probabilities must be finite and non-negative"},
        BadInput{{{kInf}}, "probs[0][0] is inf: probabilities must be finite and non-negative"},
        BadInput{{{0.5}, {-kInf}}, "probs[1][0] is -inf: probabilities must be finite and non-negative"},
        BadInput{{{1.0}, {}, {-1.0}}, "probs[1] is empty"}));

TEST(Validation, AcceptsZerosNegativeZeroAndValuesAboveOne) {
    EXPECT_NO_THROW(Quorin(quorin::ProbabilityMatrix{{0.0, -0.0, 2.5}, {1e300, 5e-324}}));
}

TEST(RowDelta, DifferencesAndSentinel) {
    const State s({{0.5, 0.3, 0.2}, {0.7, 0.3}});
    EXPECT_EQ(quorin::rowDelta(s, {0, 0}, 0), -std::log(0.3) - -std::log(0.5));
    EXPECT_EQ(quorin::rowDelta(s, {0, 1}, 1), quorin::kLastRankDelta);
    EXPECT_EQ(quorin::rowDelta(s, {2, 0}, 0), quorin::kLastRankDelta);
    const State zeros({{0.5, 0.0, 0.0}});
    EXPECT_TRUE(std::isinf(quorin::rowDelta(zeros, {0}, 0)));
    EXPECT_TRUE(std::isnan(quorin::rowDelta(zeros, {1}, 0)));
}

struct RowListCase {
    quorin::ProbabilityMatrix probs;
    RankVector node;
    std::vector<int> list;
};

class SortedRowList : public ::testing::TestWithParam<RowListCase> {};

TEST_P(SortedRowList, Matches) {
    const State s(GetParam().probs);
    EXPECT_EQ(quorin::sortedRowList(s, GetParam().node), GetParam().list);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SortedRowList,
    ::testing::Values(
        RowListCase{{{0.5, 0.3, 0.2}, {0.7, 0.3}}, {0, 0}, {0, 1}},
        RowListCase{{{0.5, 0.3, 0.2}, {0.7, 0.3}}, {2, 0}, {1, M}},
        RowListCase{{{1.0}, {1.0}}, {0, 0}, {M, M}},
        RowListCase{{{0.5, 0.5}, {0.5, 0.5}, {0.5, 0.5}}, {0, 0, 0}, {0, 1, 2}},
        RowListCase{std::vector<std::vector<double>>(17, {0.5, 0.5}), RankVector(17, 0),
                    {8, 16, 15, 14, 13, 12, 11, 10, 9, 0, 7, 6, 5, 4, 3, 2, 1}},
        // A zero-probability step sorts behind the last-rank rows but stays listed.
        RowListCase{{{1.0}, {0.5, 0.0}}, {0, 0}, {1, M}},
        RowListCase{{{0.5, 0.0}, {1.0}, {0.6, 0.4}}, {0, 0, 0}, {2, 0, M}},
        RowListCase{{{0.5, 0.0, 0.0}, {0.6, 0.4}}, {1, 0}, {0, 1}}));  // NaN delta: stays put

// Counters of these small matrices are one byte wide.
void setCounter(Quorin& q, quorin::NodeId node, std::uint8_t value) {
    ASSERT_EQ(q.state.rowBytes(), 1u);
    *q.state.expandCount.record<std::uint8_t>(node) = value;
}

TEST(NextBest, WalksTheChildListAsTheCounterMoves) {
    for (bool cache : {true, false}) {
        Quorin q({{0.5, 0.3, 0.2}, {0.7, 0.3}}, cache);
        EXPECT_EQ(q.nextBest(0), (RankVector{1, 0}));
        setCounter(q, 0, 1);
        EXPECT_EQ(q.nextBest(0), (RankVector{0, 1}));
        setCounter(q, 0, 2);
        EXPECT_EQ(q.nextBest(0), std::nullopt);

        Quorin walk({{0.5, 0.3, 0.2}, {0.7, 0.3}}, cache);
        std::vector<int> columns;
        for (int i = 0; i < 3; ++i) walk.next(columns);
        ASSERT_EQ(walk.current(), (RankVector{2, 0}));
        const quorin::NodeId node = walk.state.history.back();
        EXPECT_EQ(walk.state.find({2, 0}), node);
        EXPECT_EQ(walk.state.counterOf(node), 0u);
        EXPECT_EQ(walk.nextBest(node), (RankVector{2, 1}));
        EXPECT_EQ(walk.state.cachedRowList(node), cache ? std::optional<std::vector<int>>({1, M}) : std::nullopt);
    }
}

TEST(NextBest, RootWithoutChildrenAndTheEmptyMatrix) {
    for (bool cache : {true, false}) {
        const Quorin single(quorin::ProbabilityMatrix{{1.0}, {1.0}}, cache);
        EXPECT_EQ(single.nextBest(0), std::nullopt);
        const Quorin empty(quorin::ProbabilityMatrix{}, cache);
        EXPECT_EQ(empty.nextBest(0), std::nullopt);
    }
}

// Every node handed out has its list cached, derived from its parent's where it could be;
// each must be exactly what sorting the node's rows gives.
TEST(SuccessorCache, EveryCachedListIsTheSortedOne) {
    const double levels[] = {0.0, 0.1, 0.25, 0.25, 0.5, 0.7, 1.0};
    std::mt19937 rng(5);
    for (int round = 0; round < 60; ++round) {
        quorin::ProbabilityMatrix probs(1 + rng() % 20);
        for (auto& row : probs) {
            row.resize(1 + rng() % 4);
            for (double& p : row) p = levels[rng() % 7];
        }
        Quorin q(probs, true);
        quorin_test::drain(q, 3000);
        ASSERT_EQ(q.state.successorCache.lists.size(), q.state.history.size());
        for (quorin::NodeId node : q.state.history) {
            ASSERT_EQ(q.state.cachedRowList(node), quorin::sortedRowList(q.state, q.state.ranksOf(node)))
                << "round " << round << ", node " << node;
        }
    }
}

}  // namespace

namespace {

// The linear-time derivation must either agree with the full sort or decline.
TEST(ChildRowList, AgreesWithTheSortWheneverItAnswers) {
    std::mt19937 rng(17);
    const double levels[] = {0.0, 0.1, 0.2, 0.25, 0.3, 0.5, 0.7, 1.0, 1.5};
    int answered = 0, declined = 0;
    for (int round = 0; round < 3000; ++round) {
        const bool ties = round % 2 == 0;
        quorin::ProbabilityMatrix probs(1 + rng() % 40);
        std::uniform_real_distribution<double> uniform(0.001, 1.0);
        for (auto& row : probs) {
            row.resize(1 + rng() % 5);
            for (double& p : row) p = ties ? levels[rng() % 9] : uniform(rng);
        }
        const State s(probs);
        RankVector parent(probs.size());
        for (std::size_t i = 0; i < probs.size(); ++i) parent[i] = static_cast<int>(rng() % probs[i].size());
        const std::size_t moved = rng() % probs.size();
        if (static_cast<std::size_t>(parent[moved]) + 1 == probs[moved].size()) continue;
        RankVector child = parent;
        ++child[moved];
        std::vector<int> derived;
        if (quorin::childRowList(s, child, moved, quorin::sortedRowList(s, parent), derived)) {
            ASSERT_EQ(derived, quorin::sortedRowList(s, child)) << "round " << round;
            ++answered;
        } else {
            ++declined;
        }
    }
    EXPECT_GT(answered, 500);
    EXPECT_GT(declined, 100);
}

}  // namespace
