// How far down the cost order a configuration is, without enumerating.
//
// The cost order: configurations by non-decreasing cost (the core's cost, summed in row
// order from +0.0), equal costs in ascending lexicographic order of their columns, those
// of cost +inf (a zero probability) last, lexicographically. A configuration's rank is its
// 1-based position in that order.
//
//     quorin::CountBounds r = quorin::rank(probs, key);   // r.low <= rank <= r.high
//
// Results are exact (low == high) whenever the true value is at most exactUpTo (2^32
// unless given). Otherwise the bounds are refined (finer weight tables, longer walks of
// the band) until high <= low * 2^bits (bits = 1/8 unless given) or the refinement reaches
// its limit (walks of 2^26 nodes); the bounds returned say what was reached: compare
// high / low when the ratio matters. Both always hold the true value: every
// rounding is bounded with an explicit margin, and the configurations too close to call
// (the band) are summed exactly as the core sums them. An exact count
// walks the whole band, on every core, and the band grows with the depth (about 16 times
// for every 16 times deeper). Counts of 2^53 or more are never exact: asking for one
// (exactUpTo at or past it, and the count possibly below exactUpTo) throws
// std::length_error. Results do not depend on the number of cores. Memory stays within
// about 256 MiB, but for select of a position so deep that its band would hold tens of
// millions of configurations (past about 2^37 on a 16 x 256 matrix): it builds a finer
// table there, about 750 MiB at the peak, and finds position 2^40 two to three times
// sooner.
//
// Every call takes an optional interrupt flag: when another thread raises it, the call
// throws Interrupted (interrupt.h) within a few milliseconds, leaving nothing behind.
#pragma once

#include <atomic>
#include <vector>

#include "interrupt.h"
#include "types.h"
#include "weight_table.h"

namespace quorin {

// A configuration of the cost order: its columns, one per row, and its cost.
struct Configuration {
    std::vector<int> columns;
    double cost = 0.0;
};

// 2^32: ranks and counts up to it are always exact.
Count defaultExactLimit();

// The ratio of inexact bounds asked for unless given: high <= low * 2^kDefaultBits. A
// `bits` argument must be finite and not negative (std::invalid_argument); 0 asks for the
// tightest bounds the refinement reaches.
constexpr double kDefaultBits = 0.125;

// Bounds on the number of configurations of cost <= cost: +inf gives every configuration,
// a cost below the cheapest 0. Throws std::invalid_argument for a NaN cost, and as
// checkProbabilities for bad probabilities.
CountBounds count(const ProbabilityMatrix& probs, double cost);
CountBounds count(const ProbabilityMatrix& probs, double cost, const Count& exactUpTo,
                  const std::atomic<bool>* interrupt = nullptr, double bits = kDefaultBits);

// Bounds on the rank of `columns` (one valid column per row). A configuration of cost
// +inf has its exact rank. Throws std::invalid_argument naming the row for a column out
// of range, or for the wrong number of columns.
CountBounds rank(const ProbabilityMatrix& probs, const std::vector<int>& columns);
CountBounds rank(const ProbabilityMatrix& probs, const std::vector<int>& columns, const Count& exactUpTo,
                 const std::atomic<bool>* interrupt = nullptr, double bits = kDefaultBits);

// The least cost whose count reaches n (the inverse of count): for n up to 2^50 exactly,
// the cost of the configuration of rank n; deeper, where exact positions are out of reach,
// the least cost (to the last bit) whose count's lower bound (bits 1/2) reaches n, so that
// count(probs, c) certainly reaches n there. -inf for n = 0, +inf when n is past the
// finite-cost configurations. Throws std::out_of_range for n past every configuration,
// and as costsOf for a bad matrix.
double costBound(const ProbabilityMatrix& probs, const Count& n, const std::atomic<bool>* interrupt = nullptr);

// The exact 0-based position of `columns` in the cost order (rank - 1). Throws
// std::length_error for a position of 2^50 or more that is not found exactly.
Count position(const ProbabilityMatrix& probs, const std::vector<int>& columns,
               const std::atomic<bool>* interrupt = nullptr);

// The configuration at 0-based `position` of the cost order, exactly. Throws
// std::out_of_range at or past the number of configurations, std::length_error for a
// finite-cost position of 2^50 or more (every position of cost +inf is found).
// Most positions cost one walk of a narrow cost bracket estimated to hold the position,
// about one exact count's work; the others a few such walks.
Configuration select(const ProbabilityMatrix& probs, const Count& position, const std::atomic<bool>* interrupt = nullptr);

}  // namespace quorin
