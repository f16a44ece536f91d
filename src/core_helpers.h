// Small helpers shared by the enumeration core's sources (not installed).
#pragma once

#include <cstddef>
#include <cstdint>

#include <quorin/quorin.h>

namespace quorin {
namespace detail {

// Calls f with a value of the unsigned integer type that is `bytes` (1, 2 or 4) wide:
// code over stored ranks and row indices is written once and run at their width.
template <class F>
void withWidth(unsigned bytes, F&& f) {
    switch (bytes) {
        case 1: f(std::uint8_t{}); break;
        case 2: f(std::uint16_t{}); break;
        default: f(std::uint32_t{}); break;
    }
}

// Hints the processor to fetch the cache line at `address`.
template <class T>
void prefetch(const T* address) noexcept {
#if defined(__GNUC__)
    __builtin_prefetch(address);
#else
    (void)address;
#endif
}

// rowDelta: how much the cost grows when `row` moves on from `rank`; kLastRankDelta when
// the rank is the row's last.
inline double deltaAt(const RankTable& table, std::size_t row, std::size_t rank) noexcept {
    const std::size_t at = table.rowStart[row] + rank;
    if (at + 1 == table.rowStart[row + 1]) return kLastRankDelta;
    return table.cost[at + 1] - table.cost[at];
}

// configurationCost of `rows` ranks of any integer type: the sum, in row order from +0.0,
// of each rank's cost.
template <class Rank>
double costOf(const RankTable& table, const Rank* ranks, std::size_t rows) noexcept {
    double sum = 0.0;
    for (std::size_t i = 0; i < rows; ++i) sum += table.cost[table.rowStart[i] + ranks[i]];
    return sum;
}

}  // namespace detail
}  // namespace quorin
