#include <quorin/weight_table.h>


#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

namespace quorin {

namespace {

constexpr double kUnitRoundoff = 1.1102230246251565e-16;  // 2^-53
constexpr std::int64_t kSaturatedBudget = std::int64_t{1} << 62;
constexpr std::int64_t kLargestBudget = 2147483644;  // 2^31 - 4: capped weights stay int32

// target[b] += source[b] for b < length: the inner loop of the counts, built for the
// widest vectors the processor has (the sums are the same whatever the width).
#if defined(__GNUC__) && defined(__x86_64__) && defined(__linux__) && !defined(__SANITIZE_ADDRESS__)
__attribute__((target_clones("avx2", "default")))
#endif
void addShifted(double* __restrict target, const double* __restrict source, std::size_t length) noexcept {
    for (std::size_t b = 0; b < length; ++b) target[b] += source[b];
}

}  // namespace

// ----- Count -----

Count::Count(std::uint64_t value) {
    if (value != 0) limbs_.push_back(value);
}

Count Count::fromUint128(Uint128 value) {
    Count c;
    c.limbs_ = {static_cast<std::uint64_t>(value), static_cast<std::uint64_t>(value >> 64)};
    c.trim();
    return c;
}

Count Count::powerOfTwo(unsigned exponent) {
    Count c;
    c.limbs_.assign(exponent / 64 + 1, 0);
    c.limbs_.back() = std::uint64_t{1} << (exponent % 64);
    return c;
}

Count Count::floorOf(double value) {
    if (!(value >= 1.0)) return Count();
    int exponent = 0;
    const double fraction = std::frexp(value, &exponent);  // value = fraction * 2^exponent
    // 53 significant bits as an integer times 2^(exponent - 53).
    const auto mantissa = static_cast<std::uint64_t>(std::ldexp(fraction, 53));
    const int shift = exponent - 53;
    if (shift <= 0) return Count(mantissa >> -shift);
    Count c;
    const unsigned limbShift = static_cast<unsigned>(shift) / 64, bitShift = static_cast<unsigned>(shift) % 64;
    c.limbs_.assign(limbShift + 2, 0);
    c.limbs_[limbShift] = mantissa << bitShift;
    if (bitShift != 0) c.limbs_[limbShift + 1] = mantissa >> (64 - bitShift);
    c.trim();
    return c;
}

Count Count::ceilOf(double value) {
    Count c = floorOf(value);
    if (std::floor(value) != value) c += Count(1);
    return c;
}

Uint128 Count::toUint128() const noexcept {
    Uint128 value = 0;
    if (limbs_.size() > 1) value = Uint128{limbs_[1]} << 64;
    if (!limbs_.empty()) value |= limbs_[0];
    return value;
}

std::size_t Count::bitLength() const noexcept {
    if (limbs_.empty()) return 0;
    std::size_t bits = 64 * (limbs_.size() - 1);
    for (std::uint64_t top = limbs_.back(); top != 0; top >>= 1) ++bits;
    return bits;
}

double Count::toDouble() const noexcept {
    const std::size_t bits = bitLength();
    if (bits <= 53) return limbs_.empty() ? 0.0 : static_cast<double>(limbs_[0]);
    if (bits > 1024) return std::numeric_limits<double>::infinity();
    // The leading 53 bits, truncated, times 2^(bits - 53): exact in a double.
    const std::size_t shift = bits - 53;
    const std::size_t limb = shift / 64, bit = shift % 64;
    std::uint64_t top = limbs_[limb] >> bit;
    if (bit != 0 && limb + 1 < limbs_.size()) top |= limbs_[limb + 1] << (64 - bit);
    top &= (std::uint64_t{1} << 53) - 1;
    return std::ldexp(static_cast<double>(top), static_cast<int>(shift));
}

std::string Count::toString() const {
    if (limbs_.empty()) return "0";
    std::vector<std::uint64_t> rest = limbs_;
    std::string digits;
    constexpr std::uint64_t kChunk = 10000000000000000000ull;  // 10^19
    while (!rest.empty()) {
        Uint128 remainder = 0;
        for (std::size_t i = rest.size(); i-- > 0;) {
            const Uint128 current = (remainder << 64) | rest[i];
            rest[i] = static_cast<std::uint64_t>(current / kChunk);
            remainder = current % kChunk;
        }
        while (!rest.empty() && rest.back() == 0) rest.pop_back();
        auto chunk = static_cast<std::uint64_t>(remainder);
        for (int d = 0; d < 19 && (!rest.empty() || chunk != 0); ++d) {
            digits.push_back(static_cast<char>('0' + chunk % 10));
            chunk /= 10;
        }
    }
    return std::string(digits.rbegin(), digits.rend());
}

Count& Count::operator+=(const Count& other) {
    if (limbs_.size() < other.limbs_.size()) limbs_.resize(other.limbs_.size(), 0);
    std::uint64_t carry = 0;
    for (std::size_t i = 0; i < limbs_.size(); ++i) {
        const Uint128 sum = Uint128{limbs_[i]} + (i < other.limbs_.size() ? other.limbs_[i] : 0) + carry;
        limbs_[i] = static_cast<std::uint64_t>(sum);
        carry = static_cast<std::uint64_t>(sum >> 64);
        if (carry == 0 && i >= other.limbs_.size()) break;
    }
    if (carry != 0) limbs_.push_back(carry);
    return *this;
}

Count& Count::operator-=(const Count& other) {
    std::uint64_t borrow = 0;
    for (std::size_t i = 0; i < limbs_.size(); ++i) {
        const std::uint64_t subtrahend = i < other.limbs_.size() ? other.limbs_[i] : 0;
        const std::uint64_t before = limbs_[i];
        limbs_[i] = before - subtrahend - borrow;
        borrow = (before < subtrahend || (before == subtrahend && borrow != 0)) ? 1 : 0;
        if (borrow == 0 && i >= other.limbs_.size()) break;
    }
    trim();
    return *this;
}

Count& Count::operator*=(std::uint64_t factor) {
    std::uint64_t carry = 0;
    for (std::uint64_t& limb : limbs_) {
        const Uint128 product = Uint128{limb} * factor + carry;
        limb = static_cast<std::uint64_t>(product);
        carry = static_cast<std::uint64_t>(product >> 64);
    }
    if (carry != 0) limbs_.push_back(carry);
    trim();
    return *this;
}

int compare(const Count& a, const Count& b) noexcept {
    if (a.limbs_.size() != b.limbs_.size()) return a.limbs_.size() < b.limbs_.size() ? -1 : 1;
    for (std::size_t i = a.limbs_.size(); i-- > 0;) {
        if (a.limbs_[i] != b.limbs_[i]) return a.limbs_[i] < b.limbs_[i] ? -1 : 1;
    }
    return 0;
}

void Count::trim() noexcept {
    while (!limbs_.empty() && limbs_.back() == 0) limbs_.pop_back();
}

// ----- WeightTable -----

WeightTable::WeightTable(CostMatrix costs, double step, double maxCost, const std::atomic<bool>* interrupt)
    : costs_(std::move(costs)), step_(step) {
    if (!(std::isfinite(step) && step > 0.0)) throw std::invalid_argument("weight table: the step must be finite and positive");
    if (std::isnan(maxCost)) throw std::invalid_argument("weight table: the largest cost is NaN");
    const std::int64_t heaviest = computeWeights();
    std::int64_t budget = heaviest;
    if (maxCost < std::numeric_limits<double>::infinity() && hasFinite_) {
        budget = std::min(budget, maxCost == -std::numeric_limits<double>::infinity() ? 0 : budgetReaching(0, 0.0, maxCost));
    }
    maxBudget_ = std::max<std::int64_t>(0, budget);
    if (maxBudget_ > kLargestBudget) throw std::length_error("weight table: a budget beyond 2^31 - 4");
    for (std::vector<std::int32_t>& weights : weightsByCost_) {
        for (std::int32_t& w : weights) w = static_cast<std::int32_t>(std::min<std::int64_t>(w, maxBudget_ + 1));
    }
    computeCounts(interrupt);
}

double WeightTable::margin(double cost) const noexcept {
    const double rowsTerm = static_cast<double>(rows()) + 8.0;
    return 8.0 * kUnitRoundoff * (rowsTerm * magnitude_ + std::fabs(cost)) + rowsTerm * 0x1p-1000;
}

WeightTable::Thresholds WeightTable::thresholds(double cost) const {
    // (a - prefix) * (1 / step) rounds four times (a, the difference, the inverse, the
    // product), on magnitudes within |cost| + 2 * magnitude_: margin(cost) covers that with
    // the summation and weight errors, with room to spare.
    Thresholds t;
    const double m = margin(cost);
    t.rows_ = rows();
    t.inverseStep_ = 1.0 / step_;
    t.below_.resize(rows() + 1);
    t.reaching_.resize(rows() + 1);
    for (std::size_t i = 0; i <= rows(); ++i) {
        t.below_[i] = cost - m - suffixBase_[i];
        t.reaching_[i] = cost + m - suffixBase_[i];
    }
    return t;
}

std::int64_t WeightTable::budgetBelow(std::size_t row, double prefix, double cost) const {
    return thresholds(cost).below(row, prefix);
}

std::int64_t WeightTable::budgetReaching(std::size_t row, double prefix, double cost) const {
    return thresholds(cost).reaching(row, prefix);
}

std::int64_t WeightTable::leastBudgetOver(double count) const noexcept {
    std::int64_t a = 0, b = maxBudget_;
    if (!(completions(0, b) > count)) return -1;
    while (a < b) {
        const std::int64_t mid = a + (b - a) / 2;
        if (completions(0, mid) > count) {
            b = mid;
        } else {
            a = mid + 1;
        }
    }
    return a;
}

CountBounds WeightTable::boundsOf(double count) const {
    if (isExactCount(count)) {
        const Count exact(static_cast<std::uint64_t>(count));
        return {exact, exact};
    }
    const double error = 4.0 * std::max(relativeError_, kUnitRoundoff);
    return {Count::floorOf(count * (1.0 - error)), Count::ceilOf(count * (1.0 + error))};
}

std::size_t WeightTable::bytesFor(std::size_t rows, std::int64_t maxBudget) noexcept {
    return rows * static_cast<std::size_t>(maxBudget + 1) * sizeof(double);
}

std::int64_t WeightTable::computeWeights() {
    const std::size_t n = rows();
    columnsByCost_.resize(n);
    weightsByCost_.resize(n);
    cheapest_.assign(n, std::numeric_limits<double>::infinity());
    suffixBase_.assign(n + 1, 0.0);
    std::vector<std::vector<std::int64_t>> uncapped(n);
    for (std::size_t i = 0; i < n; ++i) {
        const std::vector<double>& row = costs_[i];
        std::vector<int>& columns = columnsByCost_[i];
        double largest = 0.0;
        columns = finiteColumnsByCost(row.data(), row.size());
        for (int j : columns) largest = std::max(largest, std::fabs(row[static_cast<std::size_t>(j)]));
        magnitude_ += largest;
        if (columns.empty()) {
            hasFinite_ = false;
            continue;
        }
        cheapest_[i] = row[columns.front()];
    }
    if (!hasFinite_) {
        // No finite configuration: every count is 0, every threshold -1.
        std::fill(suffixBase_.begin(), suffixBase_.end(), std::numeric_limits<double>::infinity());
        for (auto& w : weightsByCost_) w.clear();
        for (auto& c : columnsByCost_) c.clear();
    }
    for (std::size_t i = n; hasFinite_ && i-- > 0;) suffixBase_[i] = cheapest_[i] + suffixBase_[i + 1];

    std::int64_t heaviest = 0;
    for (std::size_t i = 0; hasFinite_ && i < n; ++i) {
        std::vector<std::int32_t>& weights = weightsByCost_[i];
        std::int64_t rowHeaviest = 0;
        for (int column : columnsByCost_[i]) {
            // Weights are non-decreasing along the row: the computed quotient is monotone.
            const std::int64_t w = Thresholds::floorBudget((costs_[i][column] - cheapest_[i]) / step_);
            rowHeaviest = std::max(rowHeaviest, w);
            weights.push_back(static_cast<std::int32_t>(std::min<std::int64_t>(w, kLargestBudget + 1)));
        }
        // Saturating: a row's weight alone may be the saturated budget.
        heaviest = rowHeaviest >= kSaturatedBudget - heaviest ? kSaturatedBudget : heaviest + rowHeaviest;
    }
    finiteCount_ = Count(hasFinite_ ? 1 : 0);
    totalCount_ = Count(1);
    for (std::size_t i = 0; i < n; ++i) {
        if (hasFinite_) finiteCount_ *= columnsByCost_[i].size();
        totalCount_ *= costs_[i].size();
    }
    return heaviest;
}

void WeightTable::computeCounts(const std::atomic<bool>* interrupt) {
    const std::size_t n = rows();
    stride_ = static_cast<std::size_t>(maxBudget_) + 1;
    counts_.assign(n * stride_, 0.0);
    computeReachable(interrupt);
    if (!hasFinite_ || n == 0) return;
    // The last row: how many of its columns weigh at most b.
    {
        double* last = &counts_[(n - 1) * stride_];
        const std::vector<std::int32_t>& weights = weightsByCost_[n - 1];
        std::size_t k = 0;
        for (std::size_t b = 0; b < stride_; ++b) {
            while (k < weights.size() && weights[k] <= static_cast<std::int64_t>(b)) ++k;
            last[b] = static_cast<double>(k);
        }
    }
    double error = 0.0;
    for (std::size_t i = n - 1; i-- > 0;) {
        // Row i's counts are the sum over its columns of row i+1's counts shifted by the
        // column's weight. Blocks of budgets keep the sums in the fastest cache; within a
        // block, columns are added in their fixed order.
        const double* below = &counts_[(i + 1) * stride_];
        double* counts = &counts_[i * stride_];
        const std::vector<std::int32_t>& weights = weightsByCost_[i];
        constexpr std::size_t kBlock = 2048;
        for (std::size_t from = 0; from < stride_; from += kBlock) {
            if ((from / kBlock) % 16 == 0) checkInterrupt(interrupt);
            const std::size_t to = std::min(stride_, from + kBlock);
            for (std::int32_t weight : weights) {
                const auto w = static_cast<std::size_t>(weight);
                if (w >= to) break;
                const std::size_t start = std::max(from, w);
                addShifted(counts + start, below + (start - w), to - start);
            }
        }
        // Each entry is a sum of at most weights.size() rounded terms of row i+1.
        const double adds = static_cast<double>(weights.size());
        error = error * (1.0 + 2.0 * adds * kUnitRoundoff) + 1.01 * adds * kUnitRoundoff;
    }
    relativeError_ = error * 1.01;
}

void WeightTable::computeReachable(const std::atomic<bool>* interrupt) {
    // The weights some completion has, as bitsets: the last row's column weights, then
    // each row's weights shifted onto the next row's set (an OR for every distinct weight).
    const std::size_t n = rows();
    words_ = stride_ / 64 + 1;
    reachable_.assign(n * words_, 0);
    if (!hasFinite_ || n == 0) return;
    const auto budget = static_cast<std::size_t>(maxBudget_);
    for (std::size_t i = n; i-- > 0;) {
        checkInterrupt(interrupt);
        std::uint64_t* bits = &reachable_[i * words_];
        const std::uint64_t* below = i + 1 < n ? &reachable_[(i + 1) * words_] : nullptr;
        std::int64_t previous = -1;
        for (std::int32_t weight : weightsByCost_[i]) {
            if (weight > maxBudget_) break;
            if (weight == previous) continue;
            previous = weight;
            const auto w = static_cast<std::size_t>(weight);
            if (below == nullptr) {
                bits[w / 64] |= std::uint64_t{1} << (w % 64);
                continue;
            }
            const std::size_t shiftWords = w / 64, shiftBits = w % 64;
            for (std::size_t j = words_; j-- > shiftWords;) {
                std::uint64_t moved = below[j - shiftWords] << shiftBits;
                if (shiftBits != 0 && j > shiftWords) moved |= below[j - shiftWords - 1] >> (64 - shiftBits);
                bits[j] |= moved;
            }
        }
        // Nothing beyond the largest budget.
        bits[budget / 64] &= ~std::uint64_t{0} >> (63 - budget % 64);
        for (std::size_t j = budget / 64 + 1; j < words_; ++j) bits[j] = 0;
    }
}

}  // namespace quorin
