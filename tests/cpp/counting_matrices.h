// Matrices for the counting tests: small ones with every awkward shape, to check against
// brute force, and seeded 16 x 256 ones for the tests at depth.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include <quorin/quorin.h>

#include "support.h"

namespace quorin_test {

// Small matrices with ties, zeros, ragged rows and one-column rows; coarse ones repeat a
// few values, so that many configurations share a cost exactly.
inline quorin::ProbabilityMatrix awkwardMatrix(std::mt19937_64& rng, std::size_t rows, int maxColumns, bool coarse) {
    quorin::ProbabilityMatrix probs(rows);
    std::uniform_int_distribution<int> width(1, maxColumns);
    std::uniform_int_distribution<int> kind(0, 11);
    std::gamma_distribution<double> gamma(0.3);
    for (auto& row : probs) {
        row.resize(static_cast<std::size_t>(width(rng)));
        for (double& p : row) {
            const int k = kind(rng);
            p = k == 0 ? 0.0 : coarse ? 0.125 * (k % 4 + 1) : k == 1 ? 0.5 : gamma(rng) + 1e-300;
        }
    }
    return probs;
}

// A configuration and its cost, as the core sums it (costOrder of support.h lists them).
using Scored = Entry;

// Made the same way by every compiler and standard library: raw 64-bit draws of
// std::mt19937_64 and exactly rounded arithmetic only.
// kind 0: sharp rows (u^4, a few columns hold most of the mass); kind 1: flat rows (u);
// kind 2: sharp rows rounded to multiples of 2^-6 of their largest entry (many ties).
inline quorin::ProbabilityMatrix deepMatrix(int kind, std::uint64_t seed, std::size_t rows = 16, std::size_t columns = 256) {
    std::mt19937_64 rng(seed);
    quorin::ProbabilityMatrix probs(rows, std::vector<double>(columns));
    for (auto& row : probs) {
        double largest = 0.0;
        for (double& p : row) {
            const double u = static_cast<double>(rng() >> 11) * 0x1p-53 + 0x1p-54;
            p = kind == 1 ? u : u * u * u * u;
            largest = p > largest ? p : largest;
        }
        if (kind == 2) {
            for (double& p : row) p = static_cast<double>(static_cast<std::int64_t>(p / largest * 64.0) + 1) * largest;
        }
        double sum = 0.0;
        for (double p : row) sum += p;
        for (double& p : row) p /= sum;
    }
    return probs;
}

}  // namespace quorin_test
