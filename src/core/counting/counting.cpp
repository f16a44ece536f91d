// Counting the cost order: bounds on how many configurations come before a cost or a
// configuration (count, rank; exact up to a limit, else within a ratio), and costBound,
// the cost a number of configurations reaches. Locating a position is select.cpp.
#include <quorin/counting.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>
#include <thread>

#include "counting/band_walk.h"
#include "counting/count_tables.h"
#include "counting/lexicographic.h"
#include "model/double_order.h"

namespace quorin {

namespace detail {

namespace {
constexpr double kInf = kCountInf;
}  // namespace

// The row-order sum of every row's cheapest, or costliest finite, column: the least and
// the largest finite cost (rounding is monotone, so no configuration's sum lies outside).
double foldRows(const CostMatrix& costs, bool costliest) {
    double sum = 0.0;
    for (const std::vector<double>& row : costs) {
        double pick = costliest ? -kInf : kInf;
        for (double c : row) {
            if (c == kInf) continue;
            pick = costliest ? std::max(pick, c) : std::min(pick, c);
        }
        sum += pick;
    }
    return sum;
}

// Threads for the long walks: every core, up to 8.
unsigned walkThreads() {
    const unsigned cores = std::thread::hardware_concurrency();
    return std::max(1u, std::min(8u, cores));
}

double largestBins(std::size_t rows, std::size_t bytes) {
    const double fit = static_cast<double>(bytes / sizeof(double) / std::max<std::size_t>(rows, 1));
    return std::max(64.0, std::min(fit - 2.0, 2147483000.0));
}

// A table whose step divides the costs from the cheapest up to `cost` into about `bins` budgets.
WeightTable tableFor(const CostMatrix& costs, double cheapest, double cost, double bins,
                     const std::atomic<bool>* interrupt) {
    const WeightTable probe(costs, 1.0, -kInf);
    // A step well above the margin keeps the band from widening by it.
    const double step = std::max((cost - cheapest) / bins, 64.0 * probe.margin(cost));
    return WeightTable(costs, step, cost, interrupt);
}

// Starting budgets: enough for bounds within 2^(1/8) on most matrices.
double initialBins(std::size_t rows) { return std::min(largestBins(rows), std::max(4096.0, 512.0 * static_cast<double>(rows))); }

double finerBins(std::size_t rows, double bins, double spread, std::size_t bytes) {
    return std::min(largestBins(rows, bytes), std::max(bins, bins * spread / kBandTarget));
}

}  // namespace detail

namespace {

using detail::kCountInf;
constexpr double kInf = kCountInf;
using detail::foldRows;
using detail::initialBins;
using detail::kUnlimited;
using detail::largestBins;
using detail::selectFinite;
using detail::tableFor;
using detail::walkThreads;

using detail::lexicographicallyBefore;
using detail::fromOrderedBits;
using detail::orderedBits;

// Opened nodes a walk may take for tighter bounds (exact counts walk the whole band).
constexpr std::uint64_t kBoundVisits = std::uint64_t{1} << 14;
// Counts below this are exact in the tables' doubles.
const Count kExactCounts = Count::powerOfTwo(53);
Count countOf(Uint128 value) { return Count::fromUint128(value); }

// log2 of a count (-inf for 0), to within a few units in the last place.
double log2Of(const Count& c) {
    const std::size_t bits = c.bitLength();
    if (bits <= 1000) return std::log2(c.toDouble());
    const std::size_t shift = bits - 900;
    // The count's limbs from the one holding bit `shift` on: within a factor 1 + 2^-800.
    std::vector<std::uint64_t> limbs(c.limbs().begin() + static_cast<std::ptrdiff_t>(shift / 64), c.limbs().end());
    double value = 0.0;
    for (std::size_t i = limbs.size(); i-- > 0;) value = value * 0x1p64 + static_cast<double>(limbs[i]);
    return std::log2(value) + static_cast<double>(shift / 64 * 64);
}

// Whether high <= low * 2^bits, with room for the rounding of the logarithms.
bool tightEnough(const CountBounds& b, double bits) {
    if (b.exact()) return true;
    if (b.low.isZero()) return false;
    return log2Of(b.high) - log2Of(b.low) <= bits - 1e-9;
}

CountBounds intersect(const CountBounds& a, const CountBounds& b) {
    return {std::max(a.low, b.low), std::min(a.high, b.high)};
}





struct Outcome {
    CountBounds bounds;
    bool exact = false;
};

// One table and one walk: bounds on the finite configurations before (cost, key).
Outcome walkWith(const CostMatrix& costs, double cheapest, double cost, const std::vector<int>* key, double bins,
                 std::uint64_t nodeBudget, const std::atomic<bool>* interrupt) {
    const WeightTable table = tableFor(costs, cheapest, cost, bins, interrupt);
    checkInterrupt(interrupt);
    BandWalk walk(table, cost, key == nullptr ? nullptr : key->data(), nodeBudget, interrupt);
    const double high = walk.rootHigh(), low = walk.rootLow();
    // The table's bounds, for when the walk's sums outgrow 128 bits.
    CountBounds rootBounds{low == kInf ? Count() : table.boundsOf(low).low,
                           high == kInf ? table.finiteConfigurations() : table.boundsOf(high).high};
    rootBounds.high = std::min(rootBounds.high, table.finiteConfigurations());
    if (nodeBudget == 0 && !(low == high && WeightTable::isExactCount(low))) return {rootBounds, rootBounds.exact()};
    const Tally t = nodeBudget == kUnlimited ? walk.runParallel(walkThreads()) : walk.run();
    if (t.overflowed) return {rootBounds, rootBounds.exact()};
    CountBounds b{countOf(t.low), countOf(t.high)};
    return {b, b.exact()};
}



// The most nodes the refinement of bounds opens in one walk.
constexpr std::uint64_t kMostBoundVisits = std::uint64_t{1} << 26;

// Bounds within 2^bits where the tables allow, from bounds `first` of the starting table:
// a finer table alone, then with a short walk, then finer tables with longer walks (each
// 16 times the last) until the bounds are tight enough or the walks reach
// kMostBoundVisits nodes; returns the tightest bounds found, reached or not.
CountBounds boundsOf(const CostMatrix& costs, double cheapest, double cost, const std::vector<int>* key,
                     const CountBounds& first, double bits, const std::atomic<bool>* interrupt) {
    if (tightEnough(first, bits)) return first;
    const std::size_t rows = costs.size();
    const double bins = initialBins(rows);
    const double ratio = first.low.isZero() ? 64.0 : log2Of(first.high) - log2Of(first.low);
    // 0.09 per 1/8 bit: a table about that fine leaves bounds within 2^bits on most matrices.
    const double perBit = std::max(bits, 1.0 / 64.0) * 0.72;
    double finer = std::min(largestBins(rows), std::max(2.0 * bins, bins * std::min(ratio, 64.0) / perBit));
    CountBounds b = intersect(first, walkWith(costs, cheapest, cost, key, finer, 0, interrupt).bounds);
    for (std::uint64_t visits = kBoundVisits; !tightEnough(b, bits) && visits <= kMostBoundVisits; visits *= 16) {
        b = intersect(b, walkWith(costs, cheapest, cost, key, finer, visits, interrupt).bounds);
        finer = std::min(largestBins(rows), 4.0 * finer);
    }
    return b;
}

// Bounds on the finite configurations before (cost, key) in the cost order, or of cost
// <= cost without a key; exact when at most exactUpTo. Throws std::length_error when the
// count may be at most exactUpTo but lies past what the tables count exactly (2^53).
CountBounds finiteBefore(const CostMatrix& costs, double cost, const std::vector<int>* key, const Count& exactUpTo,
                         double bits, const std::atomic<bool>* interrupt) {
    const double cheapest = foldRows(costs, false);
    if (!(cheapest < kInf)) return {};  // no finite configuration
    if (key == nullptr) {
        if (cost < cheapest) return {};
        if (cost >= foldRows(costs, true)) {
            const WeightTable probe(costs, 1.0, -kInf);
            return {probe.finiteConfigurations(), probe.finiteConfigurations()};
        }
    }
    const std::size_t rows = costs.size();
    if (rows == 0) return {};  // the one, empty, configuration is the key
    const double bins = initialBins(rows);
    Outcome first = walkWith(costs, cheapest, cost, key, bins, 0, interrupt);
    if (key != nullptr) {
        // The key is finite and not before itself.
        const WeightTable probe(costs, 1.0, -kInf);
        first.bounds.high = std::min(first.bounds.high, probe.finiteConfigurations() - Count(1));
        first.exact = first.bounds.exact();
    }
    if (first.exact) return first.bounds;
    CountBounds bounds = first.bounds;
    if (bounds.low <= exactUpTo && bounds.high > exactUpTo) {
        // Tighter bounds first: they may show the count is past exactUpTo, or past 2^53.
        bounds = boundsOf(costs, cheapest, cost, key, bounds, bits, interrupt);
        if (bounds.exact()) return bounds;
    }
    if (bounds.low > exactUpTo) return boundsOf(costs, cheapest, cost, key, bounds, bits, interrupt);
    if (bounds.high >= kExactCounts) {
        throw std::length_error("quorin: the count is too large to be found exactly (2^53 or more)");
    }
    // Exactness: a finer table narrows the band the walk must cover, all of which it walks.
    // (The band the starting table leaves sets the finer table's size.)
    const double spread = std::max(1.0, first.bounds.high.toDouble() - first.bounds.low.toDouble());
    const Outcome second = walkWith(costs, cheapest, cost, key, detail::finerBins(rows, bins, spread), kUnlimited, interrupt);
    if (!second.exact) throw std::length_error("quorin: the count is too large to be found exactly (2^53 or more)");
    return second.bounds;
}

void checkBits(double bits) {
    if (!(bits >= 0.0 && bits < kInf)) throw std::invalid_argument("bits must be finite and not negative");
}

void checkColumns(const ProbabilityMatrix& probs, const std::vector<int>& columns) {
    if (columns.size() != probs.size()) {
        throw std::invalid_argument("columns has " + std::to_string(columns.size()) + " entries but probs has " +
                                    std::to_string(probs.size()) + " rows");
    }
    for (std::size_t i = 0; i < columns.size(); ++i) {
        if (columns[i] < 0 || static_cast<std::size_t>(columns[i]) >= probs[i].size()) {
            throw std::invalid_argument("columns[" + std::to_string(i) + "] is " + std::to_string(columns[i]) + ": row " +
                                        std::to_string(i) + " has " + std::to_string(probs[i].size()) + " columns");
        }
    }
}

double costOf(const CostMatrix& costs, const std::vector<int>& columns) { return configurationCost(costs, columns.data()); }


// The ratio asked of the counts costBound bisects with past exact positions.
constexpr double kDeepBoundBits = 0.5;

}  // namespace

Count defaultExactLimit() { return Count::powerOfTwo(32); }

CountBounds count(const ProbabilityMatrix& probs, double cost) { return count(probs, cost, defaultExactLimit()); }

CountBounds count(const ProbabilityMatrix& probs, double cost, const Count& exactUpTo, const std::atomic<bool>* interrupt,
                  double bits) {
    const CostMatrix costs = costsOf(probs);
    if (std::isnan(cost)) throw std::invalid_argument("cost is NaN");
    checkBits(bits);
    if (cost == kInf) {
        const WeightTable probe(costs, 1.0, -kInf);
        return {probe.configurations(), probe.configurations()};
    }
    return finiteBefore(costs, cost, nullptr, exactUpTo, bits, interrupt);
}

CountBounds rank(const ProbabilityMatrix& probs, const std::vector<int>& columns) {
    return rank(probs, columns, defaultExactLimit());
}

CountBounds rank(const ProbabilityMatrix& probs, const std::vector<int>& columns, const Count& exactUpTo,
                 const std::atomic<bool>* interrupt, double bits) {
    const CostMatrix costs = costsOf(probs);
    checkColumns(probs, columns);
    checkBits(bits);
    const double cost = costOf(costs, columns);
    CountBounds before;
    if (cost == kInf) {
        // Every finite configuration, then those of cost +inf lexicographically before.
        const WeightTable probe(costs, 1.0, -kInf);
        const auto [all, finite] = lexicographicallyBefore(costs, columns);
        const Count r = probe.finiteConfigurations() + (all - finite);
        before = {r, r};
    } else {
        before = finiteBefore(costs, cost, &columns, exactUpTo, bits, interrupt);
    }
    before.low += Count(1);
    before.high += Count(1);
    return before;
}

Count position(const ProbabilityMatrix& probs, const std::vector<int>& columns, const std::atomic<bool>* interrupt) {
    const CountBounds r = rank(probs, columns, Count::powerOfTwo(50), interrupt);
    if (!r.exact()) throw std::length_error("quorin: the position is too far down to be found exactly");
    return r.low - Count(1);
}

}  // namespace quorin

namespace quorin {

double costBound(const ProbabilityMatrix& probs, const Count& n, const std::atomic<bool>* interrupt) {
    const CostMatrix costs = costsOf(probs);
    if (n.isZero()) return -kInf;
    const WeightTable probe(costs, 1.0, -kInf);
    if (n > probe.configurations()) {
        throw std::out_of_range("quorin: n is past the number of configurations (" + probe.configurations().toString() + ")");
    }
    if (n > probe.finiteConfigurations()) return kInf;
    // The least cost whose count reaches n is the cost of the n-th configuration.
    const Count position = n - Count(1);
    if (position < Count::powerOfTwo(50)) {
        return selectFinite(costs, static_cast<std::uint64_t>(position.toUint128()), interrupt).cost;
    }
    // Deeper, where positions are out of exact reach: bisect the doubles for the least cost
    // whose count's lower bound reaches n. lo's lower bound stays below n, hi's reaches it
    // (every finite configuration costs at most the costliest row sum).
    const double cheapest = foldRows(costs, false);
    const double bins = initialBins(costs.size());
    double lo = std::nextafter(cheapest, -kInf), hi = foldRows(costs, true);
    while (orderedBits(hi) - orderedBits(lo) > 1) {
        const double mid = fromOrderedBits(orderedBits(lo) + (orderedBits(hi) - orderedBits(lo)) / 2);
        const Outcome first = walkWith(costs, cheapest, mid, nullptr, bins, 0, interrupt);
        const CountBounds b =
            first.exact ? first.bounds : boundsOf(costs, cheapest, mid, nullptr, first.bounds, kDeepBoundBits, interrupt);
        (b.low >= n ? hi : lo) = mid;
    }
    return hi;
}

}  // namespace quorin
