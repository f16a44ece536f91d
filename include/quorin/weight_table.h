// The weight table: integer weights of a matrix's costs and, for every row and weight
// budget, how many completions of the rows from there on fit in the budget.
//
// A configuration's cost is the core's: the sum over rows, in row order from +0.0, of
// costs[i][column], the costs of cost_matrix.h (costsOf: -std::log(p), +inf for p = 0, or
// those of log-likelihoods). For a step
// s, the weight of a finite-cost column is floor((cost - row's cheapest) / s); columns of
// cost +inf have no weight and take part in no count. The weights of a configuration add
// up to W, and its cost lies within [base + W*s, base + (W + rows)*s) up to rounding,
// which margin() covers with room to spare. The thresholds below apply that bound at any
// row, after any prefix of rows, so that callers never reason about rounding themselves.
//
//     quorin::WeightTable table(quorin::costsOf(probs), step, maxCost);
//     table.completions(0, b);   // configurations of weight sum <= b
#pragma once

#include <cstddef>
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "cost_matrix.h"
#include "interrupt.h"
#include "types.h"

namespace quorin {

// A number of configurations: an unsigned integer of any size, held exactly as 64-bit
// limbs, least significant first, without leading zero limbs (zero has none). Counts below
// 2^128 convert to and from Uint128; the total of a 16 x 256 matrix, 2^128, is the count
// whose limbs are {0, 0, 1}.
class Count {
public:
    Count() = default;
    Count(std::uint64_t value);  // NOLINT: a count is naturally made from an integer
    static Count fromUint128(Uint128 value);
    static Count powerOfTwo(unsigned exponent);
    // The largest count <= value, and the smallest count >= value, of a finite double
    // >= 0 (exact conversions: every double >= 2^52 is an integer).
    static Count floorOf(double value);
    static Count ceilOf(double value);

    bool isZero() const noexcept { return limbs_.empty(); }
    bool fitsUint128() const noexcept { return limbs_.size() <= 2; }
    // Requires fitsUint128().
    Uint128 toUint128() const noexcept;
    // The value rounded toward zero to a double (+inf beyond the double range).
    double toDouble() const noexcept;
    // The number of significant bits: 0 for zero, 129 for 2^128.
    std::size_t bitLength() const noexcept;
    const std::vector<std::uint64_t>& limbs() const noexcept { return limbs_; }
    // Decimal digits.
    std::string toString() const;

    Count& operator+=(const Count& other);
    // Requires *this >= other.
    Count& operator-=(const Count& other);
    Count& operator*=(std::uint64_t factor);
    friend Count operator+(Count a, const Count& b) { return a += b; }
    friend Count operator-(Count a, const Count& b) { return a -= b; }
    friend Count operator*(Count a, std::uint64_t factor) { return a *= factor; }
    // -1, 0 or 1 as a is below, equal to or above b.
    friend int compare(const Count& a, const Count& b) noexcept;
    friend bool operator==(const Count& a, const Count& b) noexcept { return a.limbs_ == b.limbs_; }
    friend bool operator!=(const Count& a, const Count& b) noexcept { return !(a == b); }
    friend bool operator<(const Count& a, const Count& b) noexcept { return compare(a, b) < 0; }
    friend bool operator<=(const Count& a, const Count& b) noexcept { return compare(a, b) <= 0; }
    friend bool operator>(const Count& a, const Count& b) noexcept { return compare(a, b) > 0; }
    friend bool operator>=(const Count& a, const Count& b) noexcept { return compare(a, b) >= 0; }

private:
    void trim() noexcept;
    std::vector<std::uint64_t> limbs_;
};

// A count known to lie in [low, high]; exact when both are equal.
struct CountBounds {
    Count low;
    Count high;
    bool exact() const noexcept { return low == high; }
};

// Weights and completion counts for one step. Invariants:
// - columnsByCost(i) lists row i's finite-cost columns by ascending (cost, column);
//   weightsByCost(i) gives their weights, non-decreasing, each capped at maxBudget() + 1
//   (a capped column is too heavy for every budget of the table).
// - completions(i, b) for 0 <= b <= maxBudget() counts the finite completions of rows
//   i .. rows()-1 (one finite column per row) of weight sum <= b; rows() has the one empty
//   completion. Counts are doubles: an exact integer whenever the value is below 2^53
//   (isExactCount), otherwise within a relative error of relativeError() of the truth.
//   Counts of 2^1024 and more read as +inf.
class WeightTable {
public:
    // Weights for `step` (finite, > 0) and completion counts for every budget up to
    // budgetReaching(0, 0, maxCost), the largest weight a configuration of cost <= maxCost
    // can have, but at least 0 and at most the heaviest configuration's weight (so
    // maxCost = +inf covers every configuration). Throws std::invalid_argument for a bad
    // step, std::length_error for a budget beyond 2^31 - 4, and Interrupted (interrupt.h)
    // when `interrupt` is raised while the counts are summed.
    WeightTable(CostMatrix costs, double step, double maxCost, const std::atomic<bool>* interrupt = nullptr);

    std::size_t rows() const noexcept { return costs_.size(); }
    double step() const noexcept { return step_; }
    std::int64_t maxBudget() const noexcept { return maxBudget_; }
    const CostMatrix& costs() const noexcept { return costs_; }

    const std::vector<int>& columnsByCost(std::size_t row) const noexcept { return columnsByCost_[row]; }
    const std::vector<std::int32_t>& weightsByCost(std::size_t row) const noexcept { return weightsByCost_[row]; }
    // The cheapest cost of `row`, +inf when every column of it costs +inf.
    double cheapest(std::size_t row) const noexcept { return cheapest_[row]; }
    // The sum of cheapest(k) for k = row .. rows()-1 (0 for row == rows()); base() is suffixBase(0).
    double suffixBase(std::size_t row) const noexcept { return suffixBase_[row]; }
    double base() const noexcept { return suffixBase_[0]; }
    // Whether some configuration has a finite cost (every row has a finite column).
    bool hasFiniteConfigurations() const noexcept { return hasFinite_; }

    // Bound on every rounding the weight bound and the thresholds involve, for costs of
    // magnitude up to `cost`.
    double margin(double cost) const noexcept;

    // After rows 0 .. row-1 summed (in row order, from +0.0) to `prefix`, the largest
    // completion weight r such that every finite completion of weight <= r makes a cost
    // below `cost` (strictly), and the largest r such that a completion of weight r may make
    // a cost of at most `cost` (every heavier one makes more). Both are -1 when no weight
    // qualifies and saturate at 2^62; they may exceed maxBudget(). `prefix` must be such a
    // sum and `cost` finite.
    std::int64_t budgetBelow(std::size_t row, double prefix, double cost) const;
    std::int64_t budgetReaching(std::size_t row, double prefix, double cost) const;

    // The same thresholds against one cost, set up once for many prefixes.
    class Thresholds {
    public:
        std::int64_t below(std::size_t row, double prefix) const noexcept {
            const std::int64_t whole = floorBudget((below_[row] - prefix) * inverseStep_);
            return whole >= kSaturated ? whole : std::max<std::int64_t>(-1, whole - static_cast<std::int64_t>(rows_ - row));
        }
        std::int64_t reaching(std::size_t row, double prefix) const noexcept {
            return floorBudget((reaching_[row] - prefix) * inverseStep_);
        }

    private:
        friend class WeightTable;
        static constexpr std::int64_t kSaturated = std::int64_t{1} << 62;
        // floor(x), saturating at -1 below and 2^62 above; NaN reads as -1.
        static std::int64_t floorBudget(double x) noexcept {
            if (!(x >= -1.0)) return -1;
            if (x >= 4611686018427387904.0) return kSaturated;
            const auto whole = static_cast<std::int64_t>(x);  // x >= -1: truncation is floor but at (-1, 0)
            return x < 0.0 ? -1 : whole;
        }
        std::vector<double> below_, reaching_;  // per row: cost -/+ margin - suffixBase(row)
        double inverseStep_ = 0.0;
        std::size_t rows_ = 0;
    };
    Thresholds thresholds(double cost) const;

    // Completions of rows row .. rows()-1 of weight sum <= budget; 0 for budget < 0.
    // Requires budget <= maxBudget().
    double completions(std::size_t row, std::int64_t budget) const noexcept {
        if (budget < 0) return 0.0;
        if (row == rows()) return 1.0;
        return counts_[row * stride_ + static_cast<std::size_t>(budget)];
    }
    // The counts of `row` < rows() for budgets 0 .. maxBudget(), contiguous; null for rows().
    const double* rowCounts(std::size_t row) const noexcept {
        return row < rows() ? counts_.data() + row * stride_ : nullptr;
    }
    // Whether some completion of rows row .. rows()-1 has a weight sum in [from, to] (a
    // compact reachability bitmap, one bit per budget; bounds are clamped to the table).
    bool reachable(std::size_t row, std::int64_t from, std::int64_t to) const noexcept;
    // The least budget b with completions(0, b) > count, or -1 when the whole table holds
    // no more than `count` (a binary search: the counts grow with the budget).
    std::int64_t leastBudgetOver(double count) const noexcept;
    // Whether a count read from the table is exact (below 2^53).
    static bool isExactCount(double count) noexcept { return count < 9007199254740992.0; }
    double relativeError() const noexcept { return relativeError_; }
    // Bounds on the true count behind a count read from the table.
    CountBounds boundsOf(double count) const;

    // Configurations of finite cost, and all configurations, exactly.
    const Count& finiteConfigurations() const noexcept { return finiteCount_; }
    const Count& configurations() const noexcept { return totalCount_; }

    // Bytes the counts of a table with `rows` rows and budgets 0 .. maxBudget take.
    static std::size_t bytesFor(std::size_t rows, std::int64_t maxBudget) noexcept;

private:
    // Sorted columns, cheapest costs, suffix bases, uncapped weights and the exact totals;
    // returns the heaviest configuration's weight (saturating at 2^62).
    std::int64_t computeWeights();
    void computeCounts(const std::atomic<bool>* interrupt);
    void computeReachable(const std::atomic<bool>* interrupt);

    CostMatrix costs_;
    double step_;
    std::int64_t maxBudget_ = 0;
    std::size_t stride_ = 1;
    double magnitude_ = 0.0;  // sum over rows of the largest finite |cost|
    bool hasFinite_ = true;
    std::vector<std::vector<int>> columnsByCost_;
    std::vector<std::vector<std::int32_t>> weightsByCost_;
    std::vector<double> cheapest_;
    std::vector<double> suffixBase_;
    std::vector<double> counts_;  // row-major, stride_ per row
    std::vector<std::uint64_t> reachable_;  // per row, words_ words: bit b when a completion weighs b
    std::size_t words_ = 0;
    double relativeError_ = 0.0;
    Count finiteCount_;
    Count totalCount_;
};

// In the header: the walks of the table ask it for every branch they weigh.
inline bool WeightTable::reachable(std::size_t row, std::int64_t from, std::int64_t to) const noexcept {
    from = std::max<std::int64_t>(from, 0);
    to = std::min(to, maxBudget_);
    if (from > to) return false;
    if (row == rows()) return from == 0;
    if (!hasFinite_) return false;
    const std::uint64_t* bits = reachable_.data() + row * words_;
    const auto first = static_cast<std::size_t>(from), last = static_cast<std::size_t>(to);
    std::size_t word = first / 64;
    const std::size_t lastWord = last / 64;
    std::uint64_t mask = ~std::uint64_t{0} << (first % 64);
    for (; word < lastWord; ++word, mask = ~std::uint64_t{0}) {
        if ((bits[word] & mask) != 0) return true;
    }
    mask &= ~std::uint64_t{0} >> (63 - last % 64);
    return (bits[word] & mask) != 0;
}

}  // namespace quorin
