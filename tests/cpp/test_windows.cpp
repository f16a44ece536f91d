// The windowed enumeration against brute force: every configuration of small matrices
// sorted by (cost, columns) with std::sort.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <random>
#include <tuple>
#include <vector>

#include <quorin/radix_sort.h>
#include <quorin/thread_pool.h>
#include <quorin/windows.h>

#include "support.h"

namespace {

using quorin::ProbabilityMatrix;
using quorin_test::Configuration;

struct Entry {
    double cost;
    Configuration columns;
};

// Every configuration in the cost order; costs as the core computes them.
std::vector<Entry> costOrder(const ProbabilityMatrix& probs) {
    std::vector<Entry> all;
    for (const Configuration& c : quorin_test::allConfigurations(probs)) {
        double sum = 0.0;
        for (std::size_t i = 0; i < c.size(); ++i) sum += probs[i][c[i]] == 0.0 ? INFINITY : -std::log(probs[i][c[i]]);
        all.push_back({sum, c});
    }
    std::sort(all.begin(), all.end(), [](const Entry& a, const Entry& b) {
        return std::tie(a.cost, a.columns) < std::tie(b.cost, b.columns);
    });
    return all;
}

std::vector<Entry> drain(quorin::WindowedEnumerator& e, std::size_t size) {
    std::vector<Entry> out;
    std::vector<std::int32_t> columns(size * e.rows());
    std::vector<double> costs(size);
    while (std::size_t m = e.next(size, columns.data(), costs.data())) {
        for (std::size_t k = 0; k < m; ++k)
            out.push_back({costs[k], Configuration(columns.begin() + k * e.rows(), columns.begin() + (k + 1) * e.rows())});
        if (out.size() > 10000000) break;
    }
    return out;
}

void expectSame(const std::vector<Entry>& got, const std::vector<Entry>& want, std::size_t from, std::size_t to) {
    ASSERT_EQ(got.size(), to - from);
    for (std::size_t k = 0; k < got.size(); ++k) {
        ASSERT_EQ(got[k].columns, want[from + k].columns) << "position " << from + k;
        ASSERT_TRUE(got[k].cost == want[from + k].cost || (std::isnan(got[k].cost) && std::isnan(want[from + k].cost)))
            << "position " << from + k;
    }
}

ProbabilityMatrix randomMatrix(std::mt19937_64& rng, std::size_t rows, std::size_t maxColumns, int kind) {
    ProbabilityMatrix p(rows);
    std::uniform_int_distribution<std::size_t> len(1, maxColumns);
    std::gamma_distribution<double> gamma(0.3);
    std::uniform_int_distribution<int> level(1, 3);
    for (auto& row : p) {
        row.resize(len(rng));
        for (double& x : row) {
            if (kind == 0) x = gamma(rng);
            else if (kind == 1) x = 0.1 * level(rng);           // ties
            else x = level(rng) == 1 ? 0.0 : gamma(rng);        // zeros
        }
    }
    return p;
}

TEST(Windows, MatchesBruteForce) {
    std::mt19937_64 rng(7);
    for (int trial = 0; trial < 60; ++trial) {
        const int kind = trial % 3;
        const std::size_t rows = 1 + trial % 6;
        ProbabilityMatrix probs = randomMatrix(rng, rows, 6, kind);
        const std::vector<Entry> want = costOrder(probs);
        for (unsigned threads : {1u, 2u}) {
            for (std::size_t window : {std::size_t{2}, std::size_t{7}, std::size_t{0}}) {
                for (std::size_t size : {std::size_t{1}, std::size_t{3}, std::size_t{1000}}) {
                    quorin::WindowedEnumerator e(probs, 0, quorin::kNoStop, threads, window);
                    expectSame(drain(e, size), want, 0, want.size());
                }
                std::uniform_int_distribution<std::size_t> at(0, want.size());
                std::size_t a = at(rng), b = at(rng);
                if (a > b) std::swap(a, b);
                quorin::WindowedEnumerator e(probs, a, b, threads, window);
                expectSame(drain(e, 2), want, a, b);
            }
        }
    }
}

}  // namespace
