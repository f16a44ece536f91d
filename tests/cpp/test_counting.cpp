// Ranks, counts and select against brute force over every configuration of small matrices.
#include <gtest/gtest.h>

#include <quorin/counting.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "support.h"

namespace {

using quorin::Count;
using quorin::ProbabilityMatrix;

constexpr double kInfinity = std::numeric_limits<double>::infinity();

struct Scored {
    std::vector<int> columns;
    double cost;
};

// Every configuration in the cost order, by std::sort on (cost, columns): +inf sorts last.
std::vector<Scored> costOrder(const ProbabilityMatrix& probs) {
    std::vector<Scored> all;
    for (const auto& c : quorin_test::allConfigurations(probs)) all.push_back({c, quorin_test::cost(probs, c)});
    std::sort(all.begin(), all.end(), [](const Scored& a, const Scored& b) {
        return a.cost < b.cost || (a.cost == b.cost && a.columns < b.columns);
    });
    return all;
}

// Matrices with ties, zeros, ragged rows and one-column rows.
ProbabilityMatrix randomMatrix(std::mt19937_64& rng, std::size_t rows, int maxColumns, bool coarse) {
    ProbabilityMatrix probs(rows);
    std::uniform_int_distribution<int> width(1, maxColumns);
    std::uniform_int_distribution<int> kind(0, 11);
    std::gamma_distribution<double> gamma(0.3);
    for (auto& row : probs) {
        row.resize(static_cast<std::size_t>(width(rng)));
        for (double& p : row) {
            const int k = kind(rng);
            // Coarse rows repeat a few values: ties within rows and exactly equal sums.
            p = k == 0 ? 0.0 : coarse ? 0.125 * (k % 4 + 1) : k == 1 ? 0.5 : gamma(rng) + 1e-300;
        }
    }
    return probs;
}

void expectExact(const quorin::CountBounds& b, std::size_t expected, const char* what, std::size_t at) {
    ASSERT_TRUE(b.exact()) << what << " at " << at << ": " << b.low.toString() << " .. " << b.high.toString();
    ASSERT_EQ(b.low, Count(expected)) << what << " at " << at;
}

void checkAgainstBruteForce(const ProbabilityMatrix& probs, std::size_t positions) {
    const auto order = costOrder(probs);
    const std::size_t stride = std::max<std::size_t>(1, order.size() / positions);
    for (std::size_t p = 0; p < order.size(); p += stride) {
        expectExact(quorin::rank(probs, order[p].columns), p + 1, "rank", p);
        const double c = order[p].cost;
        for (double query : {c, std::nextafter(c, -kInfinity), std::nextafter(c, kInfinity)}) {
            const auto expected = static_cast<std::size_t>(
                std::upper_bound(order.begin(), order.end(), query, [](double q, const Scored& s) { return q < s.cost; }) -
                order.begin());
            expectExact(quorin::count(probs, query), expected, "count", p);
        }
    }
}


TEST(Counting, RanksAndCountsOfSmallMatrices) {
    std::mt19937_64 rng(3);
    for (int trial = 0; trial < 80; ++trial) {
        SCOPED_TRACE(trial);
        checkAgainstBruteForce(randomMatrix(rng, 1 + trial % 6, 6, trial % 3 == 0), 200);
    }
}

TEST(Counting, RanksAndCountsOfLongAndWideMatrices) {
    std::mt19937_64 rng(5);
    checkAgainstBruteForce(randomMatrix(rng, 20, 2, false), 300);
    checkAgainstBruteForce(randomMatrix(rng, 20, 2, true), 300);
    checkAgainstBruteForce(randomMatrix(rng, 3, 100, false), 300);
    checkAgainstBruteForce(ProbabilityMatrix(12, {0.5, 0.5}), 100);  // every cost equal
}

void checkSelectEverywhere(const ProbabilityMatrix& probs) {
    const auto order = costOrder(probs);
    for (std::size_t p = 0; p < order.size(); ++p) {
        const quorin::Configuration c = quorin::select(probs, Count(p));
        ASSERT_EQ(c.columns, order[p].columns) << "position " << p;
        ASSERT_EQ(c.cost, order[p].cost) << "position " << p;
    }
    EXPECT_THROW(quorin::select(probs, Count(order.size())), std::out_of_range);
}

TEST(Counting, SelectEveryPosition) {
    std::mt19937_64 rng(9);
    for (int trial = 0; trial < 40; ++trial) {
        SCOPED_TRACE(trial);
        checkSelectEverywhere(randomMatrix(rng, 1 + trial % 5, 5, trial % 3 == 0));
    }
    checkSelectEverywhere(ProbabilityMatrix(13, {0.5, 0.5}));  // 8192 configurations of one cost
    checkSelectEverywhere(randomMatrix(rng, 12, 2, true));
    checkSelectEverywhere(randomMatrix(rng, 2, 100, false));
    checkSelectEverywhere({});
}

TEST(Counting, EdgeShapes) {
    expectExact(quorin::rank({}, {}), 1, "rank", 0);
    expectExact(quorin::count({}, 0.0), 1, "count", 0);
    expectExact(quorin::count({}, -1.0), 0, "count", 0);
    expectExact(quorin::count({{0.0, 0.0}}, 5.0), 0, "count", 0);
    expectExact(quorin::count({{0.0, 0.0}}, kInfinity), 2, "count", 0);
    expectExact(quorin::rank({{0.0, 0.0}}, {1}), 2, "rank", 0);
    EXPECT_THROW(quorin::count({{0.5}}, std::nan("")), std::invalid_argument);
    EXPECT_THROW(quorin::rank({{0.5}, {0.5, 0.5}}, {0}), std::invalid_argument);
    EXPECT_THROW(quorin::rank({{0.5}, {0.5, 0.5}}, {0, 2}), std::invalid_argument);
    EXPECT_THROW(quorin::rank({{0.5}, {0.5, 0.5}}, {-1, 0}), std::invalid_argument);
    EXPECT_THROW(quorin::rank({{0.5}, {-0.5}}, {0, 0}), std::invalid_argument);
}

}  // namespace
