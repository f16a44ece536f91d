// Costs as unsigned integers in the same order, so that a span of costs can be split
// evenly among the doubles it holds, however few (not installed).
#pragma once

#include <cstdint>
#include <cstring>

namespace quorin {
namespace detail {

// The double's place among all doubles (-0.0 just below +0.0, NaN aside).
inline std::uint64_t orderedBits(double x) noexcept {
    std::uint64_t b;
    std::memcpy(&b, &x, sizeof b);
    return (b >> 63) != 0 ? ~b : b | (std::uint64_t{1} << 63);
}

// The double at place k (orderedBits' inverse).
inline double fromOrderedBits(std::uint64_t k) noexcept {
    const std::uint64_t b = (k >> 63) != 0 ? k & ~(std::uint64_t{1} << 63) : ~k;
    double x;
    std::memcpy(&x, &b, sizeof x);
    return x;
}

}  // namespace detail
}  // namespace quorin
