// What counting (counting.cpp) and locating a position (select.cpp) share, not installed:
// the tables they build from a matrix's costs, the threads of their long walks, and the
// configuration at a finite-cost position.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <limits>

#include <quorin/counting.h>
#include <quorin/weight_table.h>

namespace quorin {
namespace detail {

constexpr double kCountInf = std::numeric_limits<double>::infinity();
// A walk's node budget that never runs out: exact counts walk the whole band.
constexpr std::uint64_t kUnlimited = ~std::uint64_t{0};
// Memory for a table's counts: bounds on counts (their width depends on the table, so it is
// the same on every machine), and the finer table of select, whose answer is exact whatever
// the table and whose walks grow quickly with the band a coarser table leaves (with a
// quarter of this memory, position 2^40 of a 16 x 256 matrix took two and a half times as
// long to locate).
constexpr std::size_t kTableBytes = std::size_t{160} << 20;
constexpr std::size_t kSelectTableBytes = std::size_t{640} << 20;
// The configurations a walk's band may hold for the walk to be quick: the finer table for
// an exact count is chosen to leave about this many.
constexpr double kBandTarget = 1 << 20;

// The row-order sum of every row's cheapest (or costliest finite) column: the least (or
// the largest) finite cost; rounding is monotone, so no configuration's sum lies outside.
double foldRows(const CostMatrix& costs, bool costliest);
// Threads for the long walks: every core, up to 8.
unsigned walkThreads();
// Budgets a table may have for `rows` rows within `bytes` of counts.
double largestBins(std::size_t rows, std::size_t bytes = kTableBytes);
// Starting budgets: enough for bounds within 2^(1/8) on most matrices.
double initialBins(std::size_t rows);
// The budgets of the finer table an exact walk takes where a table of `bins` budgets leaves
// a band of about `spread` configurations: enough to leave about kBandTarget, within `bytes`.
double finerBins(std::size_t rows, double bins, double spread, std::size_t bytes = kTableBytes);
// A table whose step divides the costs from `cheapest` up to `cost` into about `bins` budgets.
WeightTable tableFor(const CostMatrix& costs, double cheapest, double cost, double bins,
                     const std::atomic<bool>* interrupt);

// The configuration at finite-cost position p (below the finite configurations' number);
// std::length_error where a crowd of equal costs puts it out of exact reach.
Configuration selectFinite(const CostMatrix& costs, std::uint64_t p, const std::atomic<bool>* interrupt);

}  // namespace detail
}  // namespace quorin
