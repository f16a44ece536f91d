#include <quorin/counting.h>

#include <quorin/introsort.h>

#include "core_helpers.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#ifdef QUORIN_COUNTING_TRACE
#include <chrono>
#include <cstdio>
#endif
#include <limits>
#include <stdexcept>
#include <string>

namespace quorin {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
// Branchings a walk may take for exactness (about 0.3 us each), and for tighter bounds.
constexpr std::uint64_t kExactVisits = std::uint64_t{1} << 23;
constexpr std::uint64_t kBoundVisits = std::uint64_t{1} << 14;
// Memory for a table's counts.
constexpr std::size_t kTableBytes = std::size_t{160} << 20;

// The columns of one row that share a cost, as a run of the row's columns by cost.
struct CostClass {
    double cost;
    std::int32_t weight;
    std::uint32_t first;  // index into the row's columns by cost
    std::uint32_t size;
};

// Counts a walk adds up: exact, or bounds where the table's counts are not exact; a sum
// past 128 bits marks it overflowed (and then means nothing).
struct Tally {
    Uint128 low = 0;
    Uint128 high = 0;
    bool overflowed = false;
};

void addTimes(Tally& sum, const Tally& part, std::uint32_t times) noexcept {
    Uint128 low = 0, high = 0;
    sum.overflowed = sum.overflowed || part.overflowed || __builtin_mul_overflow(part.low, Uint128{times}, &low) ||
                     __builtin_mul_overflow(part.high, Uint128{times}, &high) ||
                     __builtin_add_overflow(sum.low, low, &sum.low) || __builtin_add_overflow(sum.high, high, &sum.high);
}

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

// Whether high <= low * 2^(1/8), with room for the rounding of the logarithms.
bool tightEnough(const CountBounds& b) {
    if (b.exact()) return true;
    if (b.low.isZero()) return false;
    return log2Of(b.high) - log2Of(b.low) <= 0.125 - 1e-9;
}

CountBounds intersect(const CountBounds& a, const CountBounds& b) {
    return {std::max(a.low, b.low), std::min(a.high, b.high)};
}

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

// Depth-first walk of the configurations whose weight lies in the rounding band around
// a query: counts the finite configurations before (cost, key) in the cost order, or
// with a cost of at most `cost` when there is no key. Rows in order, exact costs summed
// as the core sums them; the table counts every branch that lies wholly on one side and
// prunes every branch with nothing in the band. After `nodeBudget` branchings the rest
// is bounded by the table instead of walked.
class BandWalk {
public:
    BandWalk(const WeightTable& table, double cost, const int* key, std::uint64_t nodeBudget)
        : table_(table),
          thresholds_(table.thresholds(cost)),
          cost_(cost),
          key_(key),
          rows_(table.rows()),
          budget_(nodeBudget) {
        classes_.resize(rows_);
        children_.resize(rows_);
        for (std::size_t i = 0; i < rows_; ++i) {
            const std::vector<int>& columns = table.columnsByCost(i);
            const std::vector<std::int32_t>& weights = table.weightsByCost(i);
            const std::vector<double>& rowCosts = table.costs()[i];
            for (std::size_t k = 0; k < columns.size(); ++k) {
                const double c = rowCosts[columns[k]];
                if (k > 0 && classes_[i].back().cost == c) {
                    ++classes_[i].back().size;
                } else {
                    classes_[i].push_back({c, weights[k], static_cast<std::uint32_t>(k), 1});
                }
            }
            children_[i].reserve(classes_[i].size());
        }
        if (rows_ > 0) {
            for (int column : table.columnsByCost(rows_ - 1)) lastCosts_.push_back(table.costs()[rows_ - 1][column]);
        }
        rootOut_ = std::min(thresholds_.reaching(0, 0.0), table.maxBudget());
        rootIn_ = std::min(thresholds_.below(0, 0.0), rootOut_);
        // Every count the walk reads is at most the root's: all exact integers then.
        exact_ = WeightTable::isExactCount(rootHigh());
    }

    Tally run() { return visit(0, 0.0, 0, key_ == nullptr ? -1 : 0); }
    // Whether every branch was walked (no bound stands in for a part of the band).
    bool complete() const noexcept { return !cut_; }
    std::uint64_t visits() const noexcept { return visits_; }
    double rootLow() const noexcept { return table_.completions(0, rootIn_); }
    double rootHigh() const noexcept { return table_.completions(0, rootOut_); }

    // The count below the node after rows 0 .. row-1 of total weight `weight` summed to
    // `prefix`. `lex` compares the prefix with the key's: -1 below (ties with the query
    // cost count), 0 equal, 1 above (ties do not count).
    Tally visit(std::size_t row, double prefix, std::int64_t weight, int lex) {
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

private:
    // A branch of a node: the thresholds of its completions, worked out before any of
    // the branches' counts is read so that the reads overlap.
    struct Child {
        double prefix;
        std::int64_t weight;
        std::int64_t in, out;
        std::uint32_t size;
    };

    // The branches of a node with something in the band (its counts below and reaching
    // are the table's for its thresholds, the largest reaching budget `out`).
    Tally expand(std::size_t row, double prefix, std::int64_t weight, double below, double reaching, std::int64_t out,
                 int lex) {
        if (visits_ >= budget_) {
            cut_ = true;
            const Tally low = tallyOf(below), high = tallyOf(reaching);
            return {low.low, high.high, low.overflowed || high.overflowed};
        }
        ++visits_;
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
                addTimes(sum, expand(next, child.prefix, child.weight, lo, hi, child.out, lex), child.size);
            }
        }
        return sum;
    }

    // expand() where every count is exact: the node's count below its budget `in` is the
    // sum of its branches' counts below in - weight, so only the branches with a
    // completion weighing in (in - weight, out - weight] need a look, and the reachability
    // bitmap finds them without reading a count.
    Tally expandExact(std::size_t row, double prefix, std::int64_t weight, double below, std::int64_t in,
                      std::int64_t out, int lex) {
        if (visits_ >= budget_) {
            cut_ = true;
            return {static_cast<Uint128>(below), static_cast<Uint128>(table_.completions(row, out))};
        }
        ++visits_;
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
            } else {
                part = expandExact(next, p, w, lo, i, o, lex);
            }
            // Counted already: the branch's completions below `certain`.
            const auto counted = static_cast<Uint128>(table_.completions(next, certain));
            sum.low += (part.low - counted) * c.size;
            sum.high += (part.high - counted) * c.size;
        }
        return sum;
    }

    // The branches of the node on the key's own path: each class splits into columns
    // below, at and above the key's.
    Tally expandKeyPath(std::size_t row, double prefix, std::int64_t weight, std::int64_t out) {
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
            if (less != 0) addTimes(sum, visit(row + 1, next, nextWeight, -1), less);
            if (equal != 0) addTimes(sum, visit(row + 1, next, nextWeight, 0), 1);
            if (greater != 0) addTimes(sum, visit(row + 1, next, nextWeight, 1), greater);
        }
        return sum;
    }

    // How many of the last row's columns by cost complete `prefix` before the query;
    // the first `from` certainly do, those from `to` on certainly do not. fl(prefix + c)
    // is monotone in c, so they form a prefix of the row.
    Uint128 lastRow(double prefix, int lex, std::size_t from, std::size_t to) const {
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

    Tally tallyOf(double count) const {
        if (WeightTable::isExactCount(count)) return {static_cast<Uint128>(count), static_cast<Uint128>(count)};
        if (!(count < 0x1p127)) return {0, 0, true};
        const CountBounds b = table_.boundsOf(count);
        if (!b.high.fitsUint128()) return {0, 0, true};
        return {b.low.toUint128(), b.high.toUint128()};
    }

    const WeightTable& table_;
    WeightTable::Thresholds thresholds_;
    double cost_;
    const int* key_;
    std::size_t rows_;
    std::uint64_t budget_;
    std::uint64_t visits_ = 0;
    bool cut_ = false;
    bool exact_ = false;
    std::int64_t rootIn_ = -1, rootOut_ = -1;
    std::vector<std::vector<CostClass>> classes_;
    std::vector<std::vector<Child>> children_;  // per row, reused
    std::vector<double> lastCosts_;
};

// Budgets a table may have for `rows` rows within the memory allowed.
double largestBins(std::size_t rows) {
    const double fit = static_cast<double>(kTableBytes / sizeof(double) / std::max<std::size_t>(rows, 1));
    return std::max(64.0, std::min(fit - 2.0, 2147483000.0));
}

// A table whose step divides the costs from the cheapest up to `cost` into about `bins` budgets.
WeightTable tableFor(const CostMatrix& costs, double cheapest, double cost, double bins) {
    const WeightTable probe(costs, 1.0, -kInf);
    // A step well above the margin keeps the band from widening by it.
    const double step = std::max((cost - cheapest) / bins, 64.0 * probe.margin(cost));
    return WeightTable(costs, step, cost);
}

struct Outcome {
    CountBounds bounds;
    bool exact = false;
};

// One table and one walk: bounds on the finite configurations before (cost, key).
Outcome walkWith(const CostMatrix& costs, double cheapest, double cost, const std::vector<int>* key, double bins,
                 std::uint64_t nodeBudget) {
#ifdef QUORIN_COUNTING_TRACE
    auto t00 = std::chrono::steady_clock::now();
#endif
    const WeightTable table = tableFor(costs, cheapest, cost, bins);
#ifdef QUORIN_COUNTING_TRACE
    std::fprintf(stderr, "table %.3f s\n", std::chrono::duration<double>(std::chrono::steady_clock::now() - t00).count());
#endif
    BandWalk walk(table, cost, key == nullptr ? nullptr : key->data(), nodeBudget);
    const double high = walk.rootHigh(), low = walk.rootLow();
    // The table's bounds, for when the walk's sums outgrow 128 bits.
    CountBounds rootBounds{low == kInf ? Count() : table.boundsOf(low).low,
                           high == kInf ? table.finiteConfigurations() : table.boundsOf(high).high};
    rootBounds.high = std::min(rootBounds.high, table.finiteConfigurations());
    if (nodeBudget == 0 && !(low == high && WeightTable::isExactCount(low))) return {rootBounds, rootBounds.exact()};
#ifdef QUORIN_COUNTING_TRACE
    auto t0 = std::chrono::steady_clock::now();
#endif
    const Tally t = walk.run();
#ifdef QUORIN_COUNTING_TRACE
    std::fprintf(stderr, "walk bins %.0f maxBudget %lld rootLow %.4g rootHigh %.4g visits %llu walk %.3f s\n", bins,
                 (long long)table.maxBudget(), walk.rootLow(), high, (unsigned long long)walk.visits(),
                 std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
#endif
    if (t.overflowed) return {rootBounds, rootBounds.exact()};
    CountBounds b{countOf(t.low), countOf(t.high)};
    return {b, b.exact()};
}

// Starting budgets: enough for bounds within 2^(1/8) on most matrices.
double initialBins(std::size_t rows) { return std::min(largestBins(rows), std::max(4096.0, 512.0 * static_cast<double>(rows))); }

// Bounds on the finite configurations before (cost, key) in the cost order, or of cost
// <= cost without a key; exact when at most exactUpTo.
CountBounds finiteBefore(const CostMatrix& costs, double cost, const std::vector<int>* key, const Count& exactUpTo) {
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
    Outcome first = walkWith(costs, cheapest, cost, key, bins, 0);
    if (key != nullptr) {
        // The key is finite and not before itself.
        const WeightTable probe(costs, 1.0, -kInf);
        first.bounds.high = std::min(first.bounds.high, probe.finiteConfigurations() - Count(1));
        first.exact = first.bounds.exact();
    }
    if (first.exact) return first.bounds;
    const double spread = std::max(1.0, first.bounds.high.toDouble() - first.bounds.low.toDouble());
    if (first.bounds.low <= exactUpTo) {
        // Exactness: a finer table narrows the band the walk must cover.
#ifdef QUORIN_COUNTING_TRACE
        const double kBandTarget = getenv("BAND") ? atof(getenv("BAND")) : 1 << 20;
#else
        constexpr double kBandTarget = 1 << 20;
#endif
        const double finer = std::min(largestBins(rows), std::max(bins, bins * spread / kBandTarget));
        const Outcome second = walkWith(costs, cheapest, cost, key, finer, kExactVisits);
        return second.exact ? second.bounds : intersect(first.bounds, second.bounds);
    }
    if (tightEnough(first.bounds)) return first.bounds;
    const double ratio = log2Of(first.bounds.high) - log2Of(first.bounds.low);
    const double finer = std::min(largestBins(rows), std::max(2.0 * bins, bins * std::min(ratio, 64.0) / 0.09));
    // A finer table alone, then with a short walk.
    const CountBounds second = intersect(first.bounds, walkWith(costs, cheapest, cost, key, finer, 0).bounds);
    if (tightEnough(second)) return second;
    return intersect(second, walkWith(costs, cheapest, cost, key, finer, kBoundVisits).bounds);
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

// For every row i, the completions of rows i .. (of any cost, and of finite cost); one
// more entry, 1, for the empty completion past the last row.
struct CompletionsAfter {
    std::vector<Count> all, finite;
};

CompletionsAfter completionsAfter(const CostMatrix& costs) {
    const std::size_t n = costs.size();
    CompletionsAfter after{std::vector<Count>(n + 1), std::vector<Count>(n + 1)};
    after.all[n] = Count(1);
    after.finite[n] = Count(1);
    for (std::size_t i = n; i-- > 0;) {
        const std::vector<double>& row = costs[i];
        const auto finiteColumns = std::count_if(row.begin(), row.end(), [](double c) { return c < kInf; });
        after.all[i] = after.all[i + 1] * row.size();
        after.finite[i] = after.finite[i + 1] * static_cast<std::uint64_t>(finiteColumns);
    }
    return after;
}

// Configurations lexicographically before `columns`, all of them and those of finite cost.
std::pair<Count, Count> lexicographicallyBefore(const CostMatrix& costs, const std::vector<int>& columns) {
    const std::size_t n = costs.size();
    Count all, finite;
    const CompletionsAfter after = completionsAfter(costs);
    const std::vector<Count>& allAfter = after.all;
    const std::vector<Count>& finiteAfter = after.finite;
    bool finitePrefix = true;
    for (std::size_t i = 0; i < n; ++i) {
        const auto key = static_cast<std::size_t>(columns[i]);
        all += allAfter[i + 1] * key;
        if (finitePrefix) {
            std::uint64_t cheaper = 0;
            for (std::size_t j = 0; j < key; ++j) cheaper += costs[i][j] < kInf ? 1 : 0;
            finite += finiteAfter[i + 1] * cheaper;
            finitePrefix = costs[i][key] < kInf;
        }
    }
    return {all, finite};
}

double costOf(const CostMatrix& costs, const std::vector<int>& columns) {
    double sum = 0.0;
    for (std::size_t i = 0; i < columns.size(); ++i) sum += costs[i][static_cast<std::size_t>(columns[i])];
    return sum;
}


// ----- select -----

// Doubles as unsigned integers in the same order (-0.0 just below +0.0), and back.
std::uint64_t orderedBits(double x) noexcept {
    std::uint64_t b;
    std::memcpy(&b, &x, sizeof b);
    return (b >> 63) != 0 ? ~b : b | (std::uint64_t{1} << 63);
}

double fromOrderedBits(std::uint64_t k) noexcept {
    const std::uint64_t b = (k >> 63) != 0 ? k & ~(std::uint64_t{1} << 63) : ~k;
    double x;
    std::memcpy(&x, &b, sizeof x);
    return x;
}

// The configuration at `offset` among those of cost +inf, lexicographically.
Configuration selectInfinite(const CostMatrix& costs, Count offset) {
    const std::size_t n = costs.size();
    const CompletionsAfter after = completionsAfter(costs);
    const std::vector<Count>& allAfter = after.all;
    const std::vector<Count>& finiteAfter = after.finite;
    Configuration out{std::vector<int>(n, 0), kInf};
    bool infinitePrefix = false;
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < costs[i].size(); ++j) {
            const bool infinite = infinitePrefix || costs[i][j] == kInf;
            // Completions that make the configuration's cost +inf.
            const Count completions = infinite ? allAfter[i + 1] : allAfter[i + 1] - finiteAfter[i + 1];
            if (offset < completions) {
                out.columns[i] = static_cast<int>(j);
                infinitePrefix = infinite;
                break;
            }
            offset -= completions;
        }
    }
    return out;
}

// Exact counts of the configurations of cost <= t (finite ones), for thresholds t up to
// the cost the table was built for.
class ExactCounter {
public:
    ExactCounter(const WeightTable& table) : table_(table) {}

    std::uint64_t atMost(double t) const {
        BandWalk walk(table_, t, nullptr, kSelectVisits);
        return exactly(walk, walk.run());
    }
    // Configurations of cost exactly t below the node after `prefix` (rows 0 .. row-1).
    std::uint64_t tiedBelow(double t, std::size_t row, double prefix, std::int64_t weight) const {
        BandWalk walk(table_, t, nullptr, kSelectVisits);
        const Tally atMostT = walk.visit(row, prefix, weight, -1);
        const Tally belowT = walk.visit(row, prefix, weight, 1);
        return exactly(walk, atMostT) - exactly(walk, belowT);
    }

private:
    static constexpr std::uint64_t kSelectVisits = std::uint64_t{1} << 30;
    static std::uint64_t exactly(const BandWalk& walk, const Tally& t) {
        if (!walk.complete() || t.low != t.high) throw std::length_error("quorin: the position is too far down to be found exactly");
        return static_cast<std::uint64_t>(t.low);
    }
    const WeightTable& table_;
};

// The finite configurations with lo < cost <= hi, each with its cost.
void collectBand(const WeightTable& table, double lo, double hi, std::size_t row, double prefix, std::int64_t weight,
                 std::vector<int>& path, std::vector<Configuration>& out) {
    const std::int64_t reach = std::min(table.maxBudget() - weight, table.budgetReaching(row, prefix, hi));
    if (reach < 0) return;
    const std::int64_t below = std::min(reach, table.budgetBelow(row, prefix, lo));
    const double from = table.completions(row, below), to = table.completions(row, reach);
    if (from == to) return;
    const std::vector<int>& columns = table.columnsByCost(row);
    const std::vector<std::int32_t>& weights = table.weightsByCost(row);
    const std::vector<double>& rowCosts = table.costs()[row];
    if (row + 1 == table.rows()) {
        for (auto k = static_cast<std::size_t>(from); k < static_cast<std::size_t>(to); ++k) {
            const double c = prefix + rowCosts[columns[k]];
            if (lo < c && c <= hi) {
                path[row] = columns[k];
                out.push_back({path, c});
            }
        }
        return;
    }
    for (std::size_t k = 0; k < columns.size() && weights[k] <= reach; ++k) {
        path[row] = columns[k];
        collectBand(table, lo, hi, row + 1, prefix + rowCosts[columns[k]], weight + weights[k], path, out);
    }
}

// Narrows (lo, hi], with N(lo) <= p < N(hi) for N(t) the configurations of cost <= t,
// from the table alone: the weights bracket every cost within (rows + 1) steps. Returns
// about how many configurations the bracket may hold.
double bracketFromTable(const WeightTable& table, std::uint64_t p, double& lo, double& hi) {
    const auto target = static_cast<double>(p);
    std::int64_t a = 0, b = table.maxBudget();  // smallest W with completions(0, W) > p
    if (!(table.completions(0, b) > target)) return table.completions(0, b);
    while (a < b) {
        const std::int64_t mid = a + (b - a) / 2;
        if (table.completions(0, mid) > target) {
            b = mid;
        } else {
            a = mid + 1;
        }
    }
    const double step = table.step(), base = table.base();
    const auto rows = static_cast<double>(table.rows());
    // Every configuration of weight <= a costs less than up; none of weight >= a costs down or less.
    double up = base + (static_cast<double>(a) + rows + 1.0) * step + 2.0 * table.margin(hi);
    while (table.budgetBelow(0, 0.0, up) < a) up += step;
    if (up < hi) hi = up;
    if (a > 0) {
        double down = base + static_cast<double>(a) * step - 2.0 * table.margin(hi);
        while (table.budgetReaching(0, 0.0, down) >= a) down -= step;
        if (down > lo) lo = down;
    }
    const std::int64_t top = std::min(table.maxBudget(), a + static_cast<std::int64_t>(table.rows()) + 2);
    return table.completions(0, top) - table.completions(0, a - 1);
}

Configuration selectFinite(const CostMatrix& costs, std::uint64_t p) {
    const std::size_t rows = costs.size();
    if (rows == 0) return {};
    const double cheapest = foldRows(costs, false);
    double lo = std::nextafter(cheapest, -kInf), hi = foldRows(costs, true);
    // Zoom in with coarse tables, then count exactly with a fine one.
    const double bins = initialBins(rows);
    double spread = 0.0;
    for (int round = 0; round < 4; ++round) {
        const double before = hi - cheapest;
        spread = bracketFromTable(tableFor(costs, cheapest, hi, bins), p, lo, hi);
        if (hi - cheapest > 0.5 * before) break;
    }
    // As for exact ranks: a finer table narrows the band each count walks.
    constexpr double kBandTarget = 1 << 20;
    const double finer = std::min(largestBins(rows), std::max(bins, bins * spread / kBandTarget));
    const WeightTable table = tableFor(costs, cheapest, hi, finer);
    bracketFromTable(table, p, lo, hi);
    const ExactCounter counter(table);
    std::uint64_t nLo = counter.atMost(lo), nHi = counter.atMost(hi);
    // Interpolation, with bisection of the doubles' order every other round, until the
    // bracket holds few configurations or one cost.
    constexpr std::uint64_t kCollect = 4096;
    for (int round = 0; nHi - nLo > kCollect && orderedBits(hi) - orderedBits(lo) > 1; ++round) {
        double t = lo + (hi - lo) * (static_cast<double>(p - nLo) + 0.5) / static_cast<double>(nHi - nLo);
        if (round % 2 == 1 || !(lo < t && t < hi)) {
            t = fromOrderedBits(orderedBits(lo) + (orderedBits(hi) - orderedBits(lo)) / 2);
        }
        const std::uint64_t n = counter.atMost(t);
        if (n <= p) {
            lo = t;
            nLo = n;
        } else {
            hi = t;
            nHi = n;
        }
    }
    if (nHi - nLo <= kCollect) {
        std::vector<int> path(rows, 0);
        std::vector<Configuration> band;
        collectBand(table, lo, hi, 0, 0.0, 0, path, band);
        introsort(band.begin(), band.end(), [](const Configuration& a, const Configuration& b) {
            return a.cost < b.cost || (a.cost == b.cost && a.columns < b.columns);
        });
        return band.at(static_cast<std::size_t>(p - nLo));
    }
    // Many configurations of cost exactly hi: the one at offset p - nLo among them,
    // lexicographically, a row at a time.
    std::uint64_t offset = p - nLo;
    Configuration out{std::vector<int>(rows, 0), hi};
    double prefix = 0.0;
    std::int64_t weight = 0;
    for (std::size_t row = 0; row < rows; ++row) {
        const std::vector<int>& columns = table.columnsByCost(row);
        std::vector<std::size_t> byColumn(columns.size());
        for (std::size_t k = 0; k < columns.size(); ++k) byColumn[k] = k;
        introsort(byColumn.begin(), byColumn.end(), [&columns](std::size_t a, std::size_t b) { return columns[a] < columns[b]; });
        bool chosen = false;
        for (std::size_t k : byColumn) {
            if (table.weightsByCost(row)[k] > table.maxBudget() - weight) continue;
            const double next = prefix + costs[row][columns[k]];
            const std::int64_t nextWeight = weight + table.weightsByCost(row)[k];
            const std::uint64_t tied = row + 1 == rows ? (next == hi ? 1 : 0) : counter.tiedBelow(hi, row + 1, next, nextWeight);
            if (offset < tied) {
                out.columns[row] = columns[k];
                prefix = next;
                weight = nextWeight;
                chosen = true;
                break;
            }
            offset -= tied;
        }
        if (!chosen) throw std::logic_error("quorin: select lost its configuration");
    }
    return out;
}

}  // namespace

Count defaultExactLimit() { return Count::powerOfTwo(32); }

CountBounds count(const ProbabilityMatrix& probs, double cost) { return count(probs, cost, defaultExactLimit()); }

CountBounds count(const ProbabilityMatrix& probs, double cost, const Count& exactUpTo) {
    const CostMatrix costs = costsOf(probs);
    if (std::isnan(cost)) throw std::invalid_argument("cost is NaN");
    if (cost == kInf) {
        const WeightTable probe(costs, 1.0, -kInf);
        return {probe.configurations(), probe.configurations()};
    }
    return finiteBefore(costs, cost, nullptr, exactUpTo);
}

CountBounds rank(const ProbabilityMatrix& probs, const std::vector<int>& columns) {
    return rank(probs, columns, defaultExactLimit());
}

CountBounds rank(const ProbabilityMatrix& probs, const std::vector<int>& columns, const Count& exactUpTo) {
    const CostMatrix costs = costsOf(probs);
    checkColumns(probs, columns);
    const double cost = costOf(costs, columns);
    CountBounds before;
    if (cost == kInf) {
        // Every finite configuration, then those of cost +inf lexicographically before.
        const WeightTable probe(costs, 1.0, -kInf);
        const auto [all, finite] = lexicographicallyBefore(costs, columns);
        const Count r = probe.finiteConfigurations() + (all - finite);
        before = {r, r};
    } else {
        before = finiteBefore(costs, cost, &columns, exactUpTo);
    }
    before.low += Count(1);
    before.high += Count(1);
    return before;
}

Count position(const ProbabilityMatrix& probs, const std::vector<int>& columns) {
    const CountBounds r = rank(probs, columns, Count::powerOfTwo(50));
    if (!r.exact()) throw std::length_error("quorin: the position is too far down to be found exactly");
    return r.low - Count(1);
}

Configuration select(const ProbabilityMatrix& probs, const Count& position) {
    const CostMatrix costs = costsOf(probs);
    const WeightTable probe(costs, 1.0, -kInf);
    if (position >= probe.configurations()) throw std::out_of_range("quorin: the position is past the last configuration");
    if (position >= probe.finiteConfigurations()) return selectInfinite(costs, position - probe.finiteConfigurations());
    if (position >= Count::powerOfTwo(50)) throw std::length_error("quorin: select finds finite-cost positions below 2^50 only");
    return selectFinite(costs, static_cast<std::uint64_t>(position.toUint128()));
}

}  // namespace quorin
