// The costs of a matrix as the cost-order walks read them (not installed).
//
// Model: per row, the costs by column and the finite columns by ascending (cost, column),
// with the sums of row minima and maxima that bound every completion, and a rounding
// margin that makes those bounds rigorous for exact costs summed in row order from +0.0.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include <quorin/cost_matrix.h>
#include <quorin/interrupt.h>
#include <quorin/types.h>

namespace quorin {
namespace detail {

constexpr double kInf = std::numeric_limits<double>::infinity();
// Checks of the interrupt flag: every this many steps of a walk.
constexpr unsigned kCheckEvery = 4096;

inline Position saturatingMul(Position a, Position b) {
    if (a == 0 || b == 0) return 0;
    if (a > kNoStop / b) return kNoStop;
    return a * b;
}

inline bool raised(const std::atomic<bool>* flag) {
    return flag != nullptr && flag->load(std::memory_order_relaxed);
}

// floor(x * scale), clamped to [0, buckets): non-decreasing in x.
inline std::size_t bucketOf(double x, double scale, std::size_t buckets) {
    const double t = x * scale;
    if (!(t > 0)) return 0;
    if (!(t < static_cast<double>(buckets))) return buckets - 1;
    return static_cast<std::size_t>(t);
}

struct Model {
    std::size_t n = 0;
    std::vector<std::size_t> rowStart;  // row i's costs are cost[rowStart[i] ..], by column
    std::vector<double> cost;
    std::vector<const double*> rowCost;
    // Row i's finite columns by ascending (cost, column): [candStart[i], candStart[i + 1]).
    std::vector<std::size_t> candStart;
    std::vector<double> candCost, candDelta;  // delta: cost above the row's minimum
    std::vector<std::uint32_t> candColumn;
    std::vector<double> rowMin, rowMax;        // finite ones
    std::vector<double> minBefore, minAfter;   // sums of rowMin over rows < i, >= i (n + 1)
    std::vector<double> maxAfter, deltaAfter;  // sums of rowMax, of rowMax - rowMin, rows >= i
    std::vector<char> infAfter;                // some row >= i has a zero probability
    bool anyFinite = true;                     // every row has a finite column
    bool anyInf = false;
    double cheapest = 0.0, dearest = 0.0;      // exact costs of the row minima, maxima
    double margin = 0.0;  // bounds every difference between an exact cost and its estimates
    double minGap = kInf;  // least positive step from a row's cheapest column to the next
    unsigned width = 1;    // bytes per stored column
    Position total = 1, finiteCount = 1;

    explicit Model(const ProbabilityMatrix& probs);
    std::size_t columns(std::size_t row) const { return rowStart[row + 1] - rowStart[row]; }
};

// Whether columns a (of `rows` entries, stored width) come before b lexicographically.
template <class Col, class Other>
bool lexLess(const Col* a, const Other* b, std::size_t rows) {
    for (std::size_t i = 0; i < rows; ++i) {
        if (static_cast<std::uint64_t>(a[i]) != static_cast<std::uint64_t>(b[i]))
            return static_cast<std::uint64_t>(a[i]) < static_cast<std::uint64_t>(b[i]);
    }
    return false;
}

// Copies n bytes eight at a time, the last few by two copies that may overlap (stored
// columns are short: a library call, or a byte at a time, costs more).
inline void copyBytes(unsigned char* to, const unsigned char* from, std::size_t n) {
    if (n >= 8) {
        const std::size_t last = n - 8;
        for (std::size_t i = 0; i < last; i += 8) std::memcpy(to + i, from + i, 8);
        std::memcpy(to + last, from + last, 8);
    } else if (n >= 4) {
        std::memcpy(to, from, 4);
        std::memcpy(to + n - 4, from + n - 4, 4);
    } else if (n >= 2) {
        std::memcpy(to, from, 2);
        std::memcpy(to + n - 2, from + n - 2, 2);
    } else if (n == 1) {
        *to = *from;
    }
}

// The exact costs (prefix, then the rows' costs added in row order) of four consecutive
// stored suffixes of `tail` columns from `rest`: four independent chains of additions.
template <class Col>
inline void fourCosts(double prefix, const Col* rest, std::size_t tail, const double* const* tailCost, double sums[4]) {
    double s0 = prefix, s1 = prefix, s2 = prefix, s3 = prefix;
    const Col* r1 = rest + tail;
    const Col* r2 = r1 + tail;
    const Col* r3 = r2 + tail;
    for (std::size_t r = 0; r < tail; ++r) {
        const double* c = tailCost[r];
        s0 += c[rest[r]];
        s1 += c[r1[r]];
        s2 += c[r2[r]];
        s3 += c[r3[r]];
    }
    sums[0] = s0;
    sums[1] = s1;
    sums[2] = s2;
    sums[3] = s3;
}

// Calls f with a value of the unsigned type columns are stored in (m.width bytes).
template <class F>
void withColumnType(const Model& m, F&& f) {
    switch (m.width) {
        case 1: f(std::uint8_t{}); break;
        case 2: f(std::uint16_t{}); break;
        default: f(std::uint32_t{}); break;
    }
}

}  // namespace detail
}  // namespace quorin
