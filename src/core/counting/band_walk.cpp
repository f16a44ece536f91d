#include "counting/band_walk.h"

#include <cmath>

namespace quorin {

namespace {

void addTimes(Tally& sum, const Tally& part, std::uint32_t times) noexcept {
    Uint128 low = 0, high = 0;
    sum.overflowed = sum.overflowed || part.overflowed || __builtin_mul_overflow(part.low, Uint128{times}, &low) ||
                     __builtin_mul_overflow(part.high, Uint128{times}, &high) ||
                     __builtin_add_overflow(sum.low, low, &sum.low) || __builtin_add_overflow(sum.high, high, &sum.high);
}

// Where a configuration stands among those of its cost against the key, with one more row
// than its node: `lex` is the node's (-1 before the key's columns, 0 on them, 1 after),
// `column` the configuration's in `row`. The one place that orders equal costs.
int lexAfter(int lex, int column, const int* key, std::size_t row) noexcept {
    return lex != 0 ? lex : (column > key[row]) - (column < key[row]);
}

// The policy of rank and count: a configuration of the key's cost is before the key when
// its columns are lexicographically smaller (every one of them without a key: lex -1).
struct TiesBeforeKey {
    static constexpr bool kColumns = false;
    const int* key;
    std::size_t last;
    void operator()(const int* columns, double, std::uint64_t, int lex, IntervalCounts& sums) const {
        if (lexAfter(lex, columns[last], key, last) < 0) ++sums.below;
    }
};

}  // namespace

TableWalk::TableWalk(const WeightTable& table, double inner, double lo, double hi, std::uint64_t nodeBudget,
                     const std::atomic<bool>* interrupt)
    : table_(table),
      inner_(table.thresholds(inner == -std::numeric_limits<double>::infinity() ? hi : inner)),
      outer_(table.thresholds(hi)),
      lo_(lo),
      hi_(hi),
      noneBelow_(inner == -std::numeric_limits<double>::infinity()),
      rows_(table.rows()),
      budget_(nodeBudget),
      interrupt_(interrupt),
      classes_(rows_),
      path_(rows_, 0),
      times_(rows_ + 1, 1) {
    for (std::size_t i = 0; i < rows_; ++i) {
        const std::vector<int>& columns = table.columnsByCost(i);
        const std::vector<std::int32_t>& weights = table.weightsByCost(i);
        const std::vector<double>& rowCosts = table.costs()[i];
        for (std::size_t k = 0; k < columns.size(); ++k) {
            // Columns past the largest budget take part in no walk.
            if (weights[k] > table.maxBudget()) break;
            const double c = rowCosts[columns[k]];
            if (k > 0 && classes_[i].back().cost == c) {
                ++classes_[i].back().size;
            } else {
                classes_[i].push_back({c, weights[k], static_cast<std::uint32_t>(k), 1});
            }
            if (i + 1 == rows_) lastCosts_.push_back(c);
        }
    }
    rootOut_ = std::min(outer_.reaching(0, 0.0), table.maxBudget());
}

bool TableWalk::opened() {
    if (visits_ >= budget_) {
        cut_ = true;
        return false;
    }
    if ((++visits_ & 1023) == 0) checkInterrupt(interrupt_);
    return true;
}

// Before the key's cost: at most the double below it.
BandWalk::BandWalk(const WeightTable& table, double cost, const int* key, std::uint64_t nodeBudget,
                   const std::atomic<bool>* interrupt)
    : TableWalk(table, cost, std::nextafter(cost, -std::numeric_limits<double>::infinity()), cost, nodeBudget, interrupt),
      key_(key),
      children_(rows_) {
    for (std::size_t i = 0; i < rows_; ++i) children_[i].reserve(classes_[i].size());
    rootIn_ = std::min(inner_.below(0, 0.0), rootOut_);
    // Every count the walk reads is at most the root's: all exact integers then.
    exact_ = WeightTable::isExactCount(rootHigh());
}

Tally BandWalk::run() {
    times_[0] = 1;
    return visit(0, 0.0, 0, key_ == nullptr ? -1 : 0);
}

Tally BandWalk::runParallel(unsigned threads) {
    if (threads <= 1 || !exact_ || rows_ < kSplitRow + 2 || budget_ != ~std::uint64_t{0}) return run();
    std::vector<TiesBeforeKey> policies(threads, TiesBeforeKey{key_, rows_ - 1});
    Tally sum;
    const IntervalCounts rest = runSplit(policies, [&] { sum = run(); });
    sum.low += rest.below;
    sum.high += rest.below + rest.inside;
    return sum;
}

Tally BandWalk::visit(std::size_t row, double prefix, std::int64_t weight, int lex) {
    if (row == rows_) {
        // Past the last row (a matrix of no rows): the one, empty, completion.
        const Uint128 n = prefix <= lo_ || (prefix <= hi_ && lex < 0) ? 1 : 0;
        return {n, n};
    }
    if (exact_ && lex != 0) {
        IntervalCounts n;
        TiesBeforeKey policy{key_, rows_ - 1};
        expandExact({row, prefix, weight, rootIn_ - weight, rootOut_ - weight, lex}, policy, n);
        return {n.below, n.below + n.inside};
    }
    const std::int64_t out = std::min(rootOut_ - weight, outer_.reaching(row, prefix));
    if (out < 0) return {};
    const std::int64_t in = std::min(out, std::max(rootIn_ - weight, inner_.below(row, prefix)));
    const double below = table_.completions(row, in);
    const double reaching = table_.completions(row, out);
    if (below == reaching) return tallyOf(below);
    if (row + 1 == rows_) return lastRowTally(prefix, lex, static_cast<std::size_t>(below), static_cast<std::size_t>(reaching));
    return expand(row, prefix, weight, below, reaching, out, lex);
}

// The branches of a node with something in the band, where counts may be inexact or the
// node is on the key's path (its counts below and reaching are the table's for its
// thresholds, the largest reaching budget `out`). The thresholds of all branches are
// worked out before any of their counts is read, so that the reads overlap.
Tally BandWalk::expand(std::size_t row, double prefix, std::int64_t weight, double below, double reaching,
                       std::int64_t out, int lex) {
    if (!opened()) {
        const Tally low = tallyOf(below), high = tallyOf(reaching);
        return {low.low, high.high, low.overflowed || high.overflowed};
    }
    Tally sum;
    if (lex == 0) return expandKeyPath(row, prefix, weight, out);
    std::vector<Child>& children = children_[row];
    children.clear();
    const std::size_t next = row + 1;
    const double* counts = table_.rowCounts(next);
    for (const CostClass& c : classes_[row]) {
        if (c.weight > out) break;
        const double p = prefix + c.cost;
        const std::int64_t w = weight + c.weight;
        // Both thresholds fall as the branches get costlier and heavier.
        const std::int64_t o = std::min(rootOut_ - w, outer_.reaching(next, p));
        if (o < 0) break;
        const std::int64_t i = std::min(o, std::max(rootIn_ - w, inner_.below(next, p)));
        children.push_back({p, w, i, o, c.size});
        if (counts != nullptr) __builtin_prefetch(counts + std::max<std::int64_t>(i, 0));
    }
    for (std::size_t k = 0; k < children.size(); ++k) {
        const Child child = children[k];
        const double lo = table_.completions(next, child.in);
        const double hi = table_.completions(next, child.out);
        if (lo == hi) {
            addTimes(sum, tallyOf(lo), child.size);
        } else if (next + 1 == rows_) {
            addTimes(sum, lastRowTally(child.prefix, lex, static_cast<std::size_t>(lo), static_cast<std::size_t>(hi)), child.size);
        } else {
            times_[next] = times_[row] * child.size;
            addTimes(sum, expand(next, child.prefix, child.weight, lo, hi, child.out, lex), child.size);
        }
    }
    return sum;
}

// The branches of the node on the key's own path: each class splits into columns before,
// on and after the key's.
Tally BandWalk::expandKeyPath(std::size_t row, double prefix, std::int64_t weight, std::int64_t out) {
    Tally sum;
    const std::vector<int>& columns = table_.columnsByCost(row);
    for (const CostClass& c : classes_[row]) {
        if (c.weight > out) break;
        std::uint32_t split[3] = {0, 0, 0};  // by lex: -1, 0, 1
        for (std::uint32_t k = c.first; k < c.first + c.size; ++k) ++split[lexAfter(0, columns[k], key_, row) + 1];
        for (int lex = -1; lex <= 1; ++lex) {
            const std::uint32_t n = split[lex + 1];
            if (n == 0) continue;
            times_[row + 1] = times_[row] * n;
            addTimes(sum, visit(row + 1, prefix + c.cost, weight + c.weight, lex), n);
        }
    }
    return sum;
}

// The last row of a node whose first `from` columns by cost are before the key.
Tally BandWalk::lastRowTally(double prefix, int lex, std::size_t from, std::size_t to) {
    IntervalCounts n{from, 0};
    TiesBeforeKey policy{key_, rows_ - 1};
    lastRow(prefix, lex, from, to, policy, n);
    return {n.below, n.below};
}

Tally BandWalk::tallyOf(double count) const {
    if (WeightTable::isExactCount(count)) return {wholeCount(count), wholeCount(count)};
    if (!(count < 0x1p127)) return {0, 0, true};
    const CountBounds b = table_.boundsOf(count);
    if (!b.high.fitsUint128()) return {0, 0, true};
    return {b.low.toUint128(), b.high.toUint128()};
}

}  // namespace quorin
