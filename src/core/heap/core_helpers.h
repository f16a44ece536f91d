// Small helpers shared by the enumeration core's sources (not installed).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>

#include <quorin/quorin.h>

namespace quorin {
namespace detail {

// Advances reserved for at a time, and the nodes one advance places at most (the
// construction entry's child and one child filed by each of the two nodes refilled).
constexpr std::size_t kReservedSteps = 32;
constexpr std::size_t kNodesPerStep = 3;

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

// Whether the visited table keeps a fingerprint per node: for long nodes, hashing every
// node again when the table grows would cost more than 4 bytes per node.
inline bool keepsFingerprints(std::size_t rows, unsigned rankBytes) noexcept { return rows * rankBytes >= 32; }

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

// The marker of a row list whose entries are of type Row: its largest value, which for
// `int` is kExhaustedRowMarker.
template <class Row>
constexpr Row markerOf() noexcept {
    return std::numeric_limits<Row>::max();
}
static_assert(markerOf<int>() == kExhaustedRowMarker, "int lists use the same marker");

// Copies a node's ranks, eight bytes at a time: nodes are short, a library call would
// cost more than the copy.
template <class Rank>
void copyRanks(const Rank* from, std::size_t count, Rank* to) noexcept {
    const auto* x = reinterpret_cast<const unsigned char*>(from);
    auto* y = reinterpret_cast<unsigned char*>(to);
    std::size_t bytes = count * sizeof(Rank);
    for (; bytes >= 8; bytes -= 8, x += 8, y += 8) std::memcpy(y, x, 8);
    for (; bytes != 0; --bytes) *y++ = *x++;
}

// Whether two nodes have the same ranks, compared eight bytes at a time.
template <class Rank>
bool sameRanks(const Rank* a, const Rank* b, std::size_t count) noexcept {
    const auto* x = reinterpret_cast<const unsigned char*>(a);
    const auto* y = reinterpret_cast<const unsigned char*>(b);
    std::size_t bytes = count * sizeof(Rank);
    for (; bytes >= 8; bytes -= 8, x += 8, y += 8) {
        std::uint64_t u, v;
        std::memcpy(&u, x, 8);
        std::memcpy(&v, y, 8);
        if (u != v) return false;
    }
    for (; bytes != 0; --bytes) {
        if (*x++ != *y++) return false;
    }
    return true;
}

}  // namespace detail
}  // namespace quorin
