// Helpers shared by the C++ tests.
#pragma once

#include <cmath>
#include <cstddef>
#include <random>
#include <tuple>
#include <algorithm>
#include <vector>

#include <quorin/quorin.h>

namespace quorin_test {

using Configuration = std::vector<int>;

// Every configuration the enumerator hands out, at most `limit` of them.
inline std::vector<Configuration> drain(quorin::Quorin& q, std::size_t limit = 1000000) {
    std::vector<Configuration> out;
    Configuration columns;
    while (out.size() < limit && q.next(columns)) out.push_back(columns);
    return out;
}

inline std::vector<Configuration> enumerate(const quorin::ProbabilityMatrix& probs, bool cache = true) {
    quorin::Quorin q(probs, cache);
    return drain(q);
}

// Cost of a configuration given by column indices, summed in row order.
inline double cost(const quorin::ProbabilityMatrix& probs, const Configuration& columns) {
    double sum = 0.0;
    for (std::size_t i = 0; i < columns.size(); ++i) sum += -std::log(probs[i][columns[i]]);
    return sum;
}

// Every configuration of the matrix, in odometer order.
inline std::vector<Configuration> allConfigurations(const quorin::ProbabilityMatrix& probs) {
    std::vector<Configuration> all;
    Configuration current(probs.size(), 0);
    while (true) {
        all.push_back(current);
        std::size_t row = 0;
        while (row < probs.size() && ++current[row] == static_cast<int>(probs[row].size())) {
            current[row] = 0;
            ++row;
        }
        if (row == probs.size()) return all;
    }
}

// A configuration and its cost.
struct Entry {
    double cost;
    Configuration columns;
};

// Every configuration in the cost order; costs as the core computes them.
inline std::vector<Entry> costOrder(const quorin::ProbabilityMatrix& probs) {
    std::vector<Entry> all;
    for (const Configuration& c : allConfigurations(probs)) {
        double sum = 0.0;
        for (std::size_t i = 0; i < c.size(); ++i) sum += probs[i][c[i]] == 0.0 ? INFINITY : -std::log(probs[i][c[i]]);
        all.push_back({sum, c});
    }
    std::sort(all.begin(), all.end(), [](const Entry& a, const Entry& b) {
        return std::tie(a.cost, a.columns) < std::tie(b.cost, b.columns);
    });
    return all;
}

// A key matrix after an attack: rows x columns probabilities from gamma(0.3), each row
// normalised, from `seed`.
inline quorin::ProbabilityMatrix gammaMatrix(std::uint64_t seed, std::size_t rows, std::size_t columns) {
    std::mt19937_64 rng(seed);
    std::gamma_distribution<double> gamma(0.3);
    quorin::ProbabilityMatrix p(rows, std::vector<double>(columns));
    for (auto& row : p) {
        double sum = 0;
        for (double& x : row) sum += (x = gamma(rng));
        for (double& x : row) x /= sum;
    }
    return p;
}

// A small random matrix: kind 0 rows from gamma(0.3), 1 ties (levels 0.1 .. 0.3), 2 gamma with zeros.
inline quorin::ProbabilityMatrix randomMatrix(std::mt19937_64& rng, std::size_t rows, std::size_t maxColumns, int kind) {
    quorin::ProbabilityMatrix p(rows);
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

}  // namespace quorin_test
