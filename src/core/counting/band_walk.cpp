#include <quorin/detail/band_walk.h>

#include <quorin/detail/thread_pool.h>

#include "heap/core_helpers.h"

#include <algorithm>

namespace quorin {

namespace {

void addTimes(Tally& sum, const Tally& part, std::uint32_t times) noexcept {
    Uint128 low = 0, high = 0;
    sum.overflowed = sum.overflowed || part.overflowed || __builtin_mul_overflow(part.low, Uint128{times}, &low) ||
                     __builtin_mul_overflow(part.high, Uint128{times}, &high) ||
                     __builtin_add_overflow(sum.low, low, &sum.low) || __builtin_add_overflow(sum.high, high, &sum.high);
}

}  // namespace

std::vector<std::vector<CostClass>> costClassesOf(const WeightTable& table) {
    std::vector<std::vector<CostClass>> classes(table.rows());
    for (std::size_t i = 0; i < table.rows(); ++i) {
        const std::vector<int>& columns = table.columnsByCost(i);
        const std::vector<std::int32_t>& weights = table.weightsByCost(i);
        const std::vector<double>& rowCosts = table.costs()[i];
        for (std::size_t k = 0; k < columns.size(); ++k) {
            // Columns past the largest budget take part in no walk.
            if (weights[k] > table.maxBudget()) break;
            const double c = rowCosts[columns[k]];
            if (k > 0 && classes[i].back().cost == c) {
                ++classes[i].back().size;
            } else {
                classes[i].push_back({c, weights[k], static_cast<std::uint32_t>(k), 1});
            }
        }
    }
    return classes;
}

BandWalk::BandWalk(const WeightTable& table, double cost, const int* key, std::uint64_t nodeBudget,
                   const std::atomic<bool>* interrupt)
    : table_(table),
      thresholds_(table.thresholds(cost)),
      cost_(cost),
      key_(key),
      rows_(table.rows()),
      budget_(nodeBudget),
      interrupt_(interrupt),
      classes_(costClassesOf(table)) {
    children_.resize(rows_);
    times_.assign(rows_ + 1, 1);
    for (std::size_t i = 0; i < rows_; ++i) children_[i].reserve(classes_[i].size());
    if (rows_ > 0) {
        for (int column : table.columnsByCost(rows_ - 1)) lastCosts_.push_back(table.costs()[rows_ - 1][column]);
    }
    rootOut_ = std::min(thresholds_.reaching(0, 0.0), table.maxBudget());
    rootIn_ = std::min(thresholds_.below(0, 0.0), rootOut_);
    // Every count the walk reads is at most the root's: all exact integers then.
    exact_ = WeightTable::isExactCount(rootHigh());
}

Tally BandWalk::run() {
    times_[0] = 1;
    return visit(0, 0.0, 0, key_ == nullptr ? -1 : 0);
}

Tally BandWalk::runParallel(unsigned threads) {
    constexpr std::size_t kSplitRow = 2;
    if (threads <= 1 || !exact_ || rows_ < kSplitRow + 2 || budget_ != ~std::uint64_t{0}) return run();
    // The nodes above the split row, with the tasks' own counts left out of the sum.
    std::vector<Task> tasks;
    tasks_ = &tasks;
    splitRow_ = kSplitRow;
    Tally sum;
    try {
        sum = run();
    } catch (...) {
        tasks_ = nullptr;
        throw;
    }
    tasks_ = nullptr;
    std::vector<Tally> parts(tasks.size());
    ThreadPool pool(threads);
    std::vector<BandWalk> walkers(pool.size(), *this);
    pool.run(tasks.size(), [&](std::size_t k, unsigned slot) {
        BandWalk& walker = walkers[slot];
        const Task& t = tasks[k];
        walker.times_[t.row] = 1;
        parts[k] = walker.expandExact(t.row, t.prefix, t.weight, t.below, t.in, t.out, t.lex);
    });
    for (std::size_t k = 0; k < tasks.size(); ++k) {
        sum.low += parts[k].low * tasks[k].times;
        sum.high += parts[k].high * tasks[k].times;
    }
    for (const BandWalk& walker : walkers) visits_ += walker.visits_;
    return sum;
}

Tally BandWalk::visit(std::size_t row, double prefix, std::int64_t weight, int lex) {
    if (row == rows_) {
        // Past the last row (a matrix of no rows): the one, empty, completion.
        const Uint128 n = prefix < cost_ || (prefix == cost_ && lex < 0) ? 1 : 0;
        return {n, n};
    }
    const std::int64_t out = std::min(rootOut_ - weight, thresholds_.reaching(row, prefix));
    if (out < 0) return {};
    const std::int64_t in = std::min(out, std::max(rootIn_ - weight, thresholds_.below(row, prefix)));
    const double below = table_.completions(row, in);
    const double reaching = table_.completions(row, out);
    if (below == reaching) return tallyOf(below);
    if (row + 1 == rows_) {
        const Uint128 n = lastRow(prefix, lex, static_cast<std::size_t>(below), static_cast<std::size_t>(reaching));
        return {n, n};
    }
    if (exact_ && lex != 0) return expandExact(row, prefix, weight, below, in, out, lex);
    return expand(row, prefix, weight, below, reaching, out, lex);
}

// Counts one more opened node; false when the node budget is spent.
bool BandWalk::opened() {
    if (visits_ >= budget_) {
        cut_ = true;
        return false;
    }
    if ((++visits_ & 1023) == 0) checkInterrupt(interrupt_);
    return true;
}

// The branches of a node with something in the band (its counts below and reaching are
// the table's for its thresholds, the largest reaching budget `out`). The thresholds of
// all branches are worked out before any of their counts is read, so that the reads overlap.
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
        const std::int64_t o = std::min(rootOut_ - w, thresholds_.reaching(next, p));
        if (o < 0) break;
        const std::int64_t i = std::min(o, std::max(rootIn_ - w, thresholds_.below(next, p)));
        children.push_back({p, w, i, o, c.size});
        if (counts != nullptr) detail::prefetch(counts + std::max<std::int64_t>(i, 0));
    }
    for (std::size_t k = 0; k < children.size(); ++k) {
        const Child child = children[k];
        const double lo = table_.completions(next, child.in);
        const double hi = table_.completions(next, child.out);
        if (lo == hi) {
            addTimes(sum, tallyOf(lo), child.size);
        } else if (next + 1 == rows_) {
            const Uint128 n = lastRow(child.prefix, lex, static_cast<std::size_t>(lo), static_cast<std::size_t>(hi));
            addTimes(sum, {n, n}, child.size);
        } else {
            times_[next] = times_[row] * child.size;
            addTimes(sum, expand(next, child.prefix, child.weight, lo, hi, child.out, lex), child.size);
        }
    }
    return sum;
}

// expand() where every count is exact: the node's count below its budget `in` is the sum
// of its branches' counts below in - weight, so only the branches with a completion
// weighing in (in - weight, out - weight] need a look, and the reachability bitmap finds
// them without reading a count.
Tally BandWalk::expandExact(std::size_t row, double prefix, std::int64_t weight, double below, std::int64_t in,
                            std::int64_t out, int lex) {
    if (!opened()) return {static_cast<Uint128>(below), static_cast<Uint128>(table_.completions(row, out))};
    Tally sum{static_cast<Uint128>(below), static_cast<Uint128>(below)};
    const std::size_t next = row + 1;
    const std::int64_t width = out - in;
    for (const CostClass& c : classes_[row]) {
        if (c.weight > out) break;
        const std::int64_t certain = in - c.weight;
        if (!table_.reachable(next, certain + 1, certain + width)) continue;
        const double p = prefix + c.cost;
        const std::int64_t w = weight + c.weight;
        const std::int64_t o = std::min({certain + width, rootOut_ - w, thresholds_.reaching(next, p)});
        const std::int64_t i = std::min(o, std::max({certain, rootIn_ - w, thresholds_.below(next, p)}));
        const double lo = table_.completions(next, i);
        const double hi = table_.completions(next, o);
        Tally part;
        if (lo == hi) {
            part = {static_cast<Uint128>(lo), static_cast<Uint128>(lo)};
        } else if (next + 1 == rows_) {
            const Uint128 n = lastRow(p, lex, static_cast<std::size_t>(lo), static_cast<std::size_t>(hi));
            part = {n, n};
        } else if (tasks_ != nullptr && next == splitRow_) {
            tasks_->push_back({next, p, w, lo, i, o, lex, times_[row] * c.size});
        } else {
            times_[next] = times_[row] * c.size;
            part = expandExact(next, p, w, lo, i, o, lex);
        }
        // Counted already: the branch's completions below `certain`.
        const auto counted = static_cast<Uint128>(table_.completions(next, certain));
        sum.low += (part.low - counted) * c.size;
        sum.high += (part.high - counted) * c.size;
    }
    return sum;
}

// The branches of the node on the key's own path: each class splits into columns below,
// at and above the key's.
Tally BandWalk::expandKeyPath(std::size_t row, double prefix, std::int64_t weight, std::int64_t out) {
    Tally sum;
    const std::vector<int>& columns = table_.columnsByCost(row);
    for (const CostClass& c : classes_[row]) {
        if (c.weight > out) break;
        const double next = prefix + c.cost;
        const std::int64_t nextWeight = weight + c.weight;
        std::uint32_t less = 0, equal = 0;
        for (std::uint32_t k = c.first; k < c.first + c.size; ++k) {
            less += columns[k] < key_[row] ? 1 : 0;
            equal += columns[k] == key_[row] ? 1 : 0;
        }
        const std::uint32_t greater = c.size - less - equal;
        if (less != 0) {
            times_[row + 1] = times_[row] * less;
            addTimes(sum, visit(row + 1, next, nextWeight, -1), less);
        }
        if (equal != 0) {
            times_[row + 1] = times_[row];
            addTimes(sum, visit(row + 1, next, nextWeight, 0), 1);
        }
        if (greater != 0) {
            times_[row + 1] = times_[row] * greater;
            addTimes(sum, visit(row + 1, next, nextWeight, 1), greater);
        }
    }
    return sum;
}

// How many of the last row's columns by cost complete `prefix` before the query; the
// first `from` certainly do, those from `to` on certainly do not. fl(prefix + c) is
// monotone in c, so they form a prefix of the row.
Uint128 BandWalk::lastRow(double prefix, int lex, std::size_t from, std::size_t to) const {
    std::size_t below = from;
    while (below < to && prefix + lastCosts_[below] < cost_) ++below;
    std::size_t tied = below;
    while (tied < to && prefix + lastCosts_[tied] == cost_) ++tied;
    if (lex < 0) return tied;
    if (lex > 0) return below;
    const std::vector<int>& columns = table_.columnsByCost(rows_ - 1);
    std::size_t n = below;
    for (std::size_t k = below; k < tied; ++k) n += columns[k] < key_[rows_ - 1] ? 1 : 0;
    return n;
}

Tally BandWalk::tallyOf(double count) const {
    if (WeightTable::isExactCount(count)) return {static_cast<Uint128>(count), static_cast<Uint128>(count)};
    if (!(count < 0x1p127)) return {0, 0, true};
    const CountBounds b = table_.boundsOf(count);
    if (!b.high.fitsUint128()) return {0, 0, true};
    return {b.low.toUint128(), b.high.toUint128()};
}

}  // namespace quorin
