// What the fuzz targets of small matrices share: reading the fuzzed bytes, the palette their
// probabilities come from, the brute-force cost order, and a check that traps.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <tuple>
#include <vector>

#include <quorin/types.h>

namespace fuzz {

// Probabilities with repeats (ties), zeros, the edges of the arithmetic and values above 1
// (negative costs).
constexpr double kPalette[16] = {0.5, 0.25, 0.125, 0.5,  0.0,   1.0,    0.3,  0.7,
                                 0.1, 1e-300, 5e-324, 2.0, 1e10, 0.001, 0.25, 1.0 / 3};

// The fuzzed bytes, read one at a time (past the end: 0).
struct Reader {
    const std::uint8_t* data;
    std::size_t size;
    std::size_t at = 0;
    std::uint8_t next() { return at < size ? data[at++] : 0; }
};

// Prints what failed and traps, so that the fuzzer keeps the input.
inline void check(bool ok, const char* what) {
    if (ok) return;
    std::fprintf(stderr, "fuzz check failed: %s\n", what);
    std::abort();
}

// Rows of 1 to maxColumns columns drawn from the palette, a width byte then a byte per column.
inline quorin::ProbabilityMatrix readMatrix(Reader& in, std::size_t rows, std::size_t maxColumns) {
    quorin::ProbabilityMatrix probs(rows);
    for (auto& row : probs) {
        row.resize(in.next() % maxColumns + 1);
        for (double& p : row) p = kPalette[in.next() % 16];
    }
    return probs;
}

struct Scored {
    double cost;
    std::vector<int> columns;
};

inline bool before(const Scored& a, const Scored& b) { return std::tie(a.cost, a.columns) < std::tie(b.cost, b.columns); }

// Every configuration with its cost (-ln p summed in row order), in the cost order.
inline std::vector<Scored> costOrder(const quorin::ProbabilityMatrix& probs) {
    std::vector<Scored> all;
    std::vector<int> current(probs.size(), 0);
    while (true) {
        double sum = 0.0;
        for (std::size_t i = 0; i < probs.size(); ++i) sum += -std::log(probs[i][static_cast<std::size_t>(current[i])]);
        all.push_back({sum, current});
        std::size_t row = 0;
        while (row < probs.size() && ++current[row] == static_cast<int>(probs[row].size())) current[row++] = 0;
        if (row == probs.size()) break;
    }
    std::sort(all.begin(), all.end(), before);
    return all;
}

}  // namespace fuzz
