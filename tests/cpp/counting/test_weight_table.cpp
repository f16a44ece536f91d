// The weight table against brute force over every configuration of small matrices.
#include <gtest/gtest.h>

#include <quorin/weight_table.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "support.h"

namespace {

using quorin::Count;
using quorin::ProbabilityMatrix;
using quorin::WeightTable;

// Small matrices with ties, zeros, ragged rows and one-column rows.
ProbabilityMatrix randomMatrix(std::mt19937_64& rng, std::size_t rows, int maxColumns) {
    ProbabilityMatrix probs(rows);
    std::uniform_int_distribution<int> width(1, maxColumns);
    std::uniform_int_distribution<int> kind(0, 9);
    std::uniform_real_distribution<double> value(0.0, 1.0);
    for (auto& row : probs) {
        row.resize(static_cast<std::size_t>(width(rng)));
        for (double& p : row) {
            const int k = kind(rng);
            p = k == 0 ? 0.0 : k == 1 ? 0.25 : k == 2 ? 1.0 : value(rng);
        }
    }
    return probs;
}

// The configurations as (columns, cost), costs summed as the core sums them.
struct Scored {
    std::vector<int> columns;
    double cost;
};

std::vector<Scored> scoredConfigurations(const ProbabilityMatrix& probs) {
    std::vector<Scored> all;
    for (const auto& c : quorin_test::allConfigurations(probs)) all.push_back({c, quorin_test::cost(probs, c)});
    return all;
}

TEST(WeightTable, CountsEveryCompletionAtEveryBudget) {
    std::mt19937_64 rng(7);
    for (int trial = 0; trial < 60; ++trial) {
        const ProbabilityMatrix probs = randomMatrix(rng, 1 + trial % 5, 5);
        const quorin::CostMatrix costs = quorin::costsOf(probs);
        const double step = std::ldexp(1.0, -(trial % 7));
        // Odd trials cap the budgets below the heaviest configuration.
        const double maxCost = trial % 2 == 0 ? std::numeric_limits<double>::infinity() : 1.5;
        const WeightTable table(costs, step, maxCost);
        const std::size_t n = probs.size();
        // Weights recomputed from their definition.
        std::vector<std::vector<std::int64_t>> weight(n);
        for (std::size_t i = 0; i < n; ++i) {
            weight[i].assign(costs[i].size(), -1);
            const auto& columns = table.columnsByCost(i);
            for (std::size_t k = 0; k < columns.size(); ++k) {
                const double c = costs[i][columns[k]];
                const double uncapped = std::floor((c - table.cheapest(i)) / step);
                ASSERT_EQ(table.weightsByCost(i)[k], std::min(uncapped, static_cast<double>(table.maxBudget() + 1)));
                weight[i][columns[k]] = table.weightsByCost(i)[k];
                if (k > 0) {
                    ASSERT_LE(costs[i][columns[k - 1]], c);
                }
            }
        }
        for (std::size_t row = 0; row <= n; ++row) {
            // Every completion of rows row.. by brute force: its weight, if finite.
            ProbabilityMatrix rest(probs.begin() + static_cast<std::ptrdiff_t>(row), probs.end());
            std::vector<std::int64_t> completionWeights;
            for (const auto& c : quorin_test::allConfigurations(rest)) {
                std::int64_t w = 0;
                bool finite = true;
                for (std::size_t k = 0; k < c.size(); ++k) {
                    if (weight[row + k][c[k]] < 0) {
                        finite = false;
                    }
                    w += weight[row + k][c[k]];
                }
                if (finite) completionWeights.push_back(w);
            }
            for (std::int64_t b = -1; b <= table.maxBudget(); ++b) {
                std::size_t expected = 0;
                for (std::int64_t w : completionWeights) expected += w <= b ? 1 : 0;
                ASSERT_EQ(table.completions(row, b), static_cast<double>(expected)) << "row " << row << " budget " << b;
                // Reachability over every window that starts at b.
                for (std::int64_t to = b; to <= table.maxBudget() + 1; to += 1 + (to - b) / 3) {
                    bool some = false;
                    for (std::int64_t w : completionWeights) some = some || (w >= b && w <= to && w <= table.maxBudget());
                    ASSERT_EQ(table.reachable(row, b, to), some) << "row " << row << " weights " << b << " .. " << to;
                }
            }
            if (row == 0 && table.hasFiniteConfigurations() && trial % 2 == 0) {
                ASSERT_EQ(table.completions(0, table.maxBudget()), table.finiteConfigurations().toDouble());
            }
        }
    }
}

// The thresholds hold after every prefix, for query costs at and around real costs.
TEST(WeightTable, ThresholdsBoundEveryCompletion) {
    std::mt19937_64 rng(11);
    for (int trial = 0; trial < 40; ++trial) {
        const ProbabilityMatrix probs = randomMatrix(rng, 1 + trial % 4, 4);
        const quorin::CostMatrix costs = quorin::costsOf(probs);
        const auto all = scoredConfigurations(probs);
        const double step = std::ldexp(1.0, -(trial % 9)) * 0.37;
        const WeightTable table(costs, step, std::numeric_limits<double>::infinity());
        if (!table.hasFiniteConfigurations()) continue;
        std::vector<double> queries;
        for (const auto& s : all) {
            if (!std::isfinite(s.cost)) continue;
            queries.insert(queries.end(), {s.cost, std::nextafter(s.cost, -1e300), std::nextafter(s.cost, 1e300), s.cost + step / 3});
        }
        const std::size_t n = probs.size();
        for (double query : queries) {
            for (const auto& x : all) {
                if (!std::isfinite(x.cost)) continue;
                double prefix = 0.0;
                for (std::size_t row = 0; row <= n; ++row) {
                    std::int64_t rest = 0;
                    for (std::size_t k = row; k < n; ++k) {
                        const auto& columns = table.columnsByCost(k);
                        for (std::size_t at = 0; at < columns.size(); ++at) {
                            if (columns[at] == x.columns[k]) rest += table.weightsByCost(k)[at];
                        }
                    }
                    if (rest <= table.budgetBelow(row, prefix, query)) {
                        ASSERT_LT(x.cost, query);
                    }
                    if (rest > table.budgetReaching(row, prefix, query)) {
                        ASSERT_GT(x.cost, query);
                    }
                    if (row < n) prefix += costs[row][x.columns[row]];
                }
            }
        }
    }
}

TEST(WeightTable, ShapesWithoutFiniteConfigurations) {
    const WeightTable empty(quorin::costsOf({}), 0.5, 1.0);
    EXPECT_EQ(empty.completions(0, 0), 1.0);
    EXPECT_EQ(empty.configurations(), Count(1));
    const WeightTable zeros(quorin::costsOf({{0.5, 0.5}, {0.0, 0.0, 0.0}}), 0.5, 10.0);
    EXPECT_FALSE(zeros.hasFiniteConfigurations());
    EXPECT_EQ(zeros.completions(0, zeros.maxBudget()), 0.0);
    EXPECT_EQ(zeros.finiteConfigurations(), Count(0));
    EXPECT_EQ(zeros.configurations(), Count(6));
    EXPECT_THROW(WeightTable(quorin::costsOf({{0.5}}), 0.0, 1.0), std::invalid_argument);
}

// 2^128 and other counts past 64 bits, against products made by hand.
TEST(WeightTable, CountsPastSixtyFourBits) {
    ProbabilityMatrix probs(16, std::vector<double>(256, 1.0 / 256));
    const WeightTable table(quorin::costsOf(probs), 0.25, std::numeric_limits<double>::infinity());
    EXPECT_EQ(table.configurations(), Count::powerOfTwo(128));
    EXPECT_EQ(table.configurations().limbs(), (std::vector<std::uint64_t>{0, 0, 1}));
    EXPECT_EQ(table.configurations().bitLength(), 129u);
    EXPECT_FALSE(table.configurations().fitsUint128());
    EXPECT_EQ(table.configurations().toString(), "340282366920938463463374607431768211456");
    EXPECT_EQ(table.configurations().toDouble(), std::ldexp(1.0, 128));
    const quorin::CountBounds top = table.boundsOf(table.completions(0, table.maxBudget()));
    EXPECT_LE(top.low, Count::powerOfTwo(128));
    EXPECT_GE(top.high, Count::powerOfTwo(128));
    Count c = Count::fromUint128(~quorin::Uint128{0});
    EXPECT_EQ((c + Count(1)), Count::powerOfTwo(128));
    EXPECT_EQ((Count::powerOfTwo(128) - Count(1)).toUint128(), ~quorin::Uint128{0});
    EXPECT_EQ(Count::floorOf(std::ldexp(3.0, 100)), Count::powerOfTwo(100) * 3);
    EXPECT_EQ(Count::ceilOf(2.5), Count(3));
    EXPECT_EQ(Count::floorOf(2.5), Count(2));
    EXPECT_EQ((Count(10) * 0), Count(0));
}

}  // namespace
