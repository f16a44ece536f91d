// cutRange of range_walk.h: bounds that cut a range of the cost order into pieces of about
// a given number of configurations, by the counts of one weight table.
#include <quorin/range_walk.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>

#include <quorin/weight_table.h>

#include "walk/suffix_lists.h"

namespace quorin {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
// Budgets of the table: about 8 MiB of counts for 16 rows.
constexpr double kBins = 65536.0;
constexpr double kCountBytes = 16.0 * 1024 * 1024;

// The spread of the configurations' costs within each weight sum W of a table: a
// configuration of weight W costs base + (W + f) s, where f, the sum of its rows'
// fractions of a step, lies in [0, rows). mean(W) and sd(W) are f's over the
// configurations of weight W, summed by the rows' recurrence of the table's counts. They
// matter deep in the order: there most rows take their cheapest column (fraction 0), so
// f stays far below rows / 2, and the counts grow fast with the weight.
class CostSpread {
public:
    // The spread of the weights 0 .. limit (at most the table's largest budget).
    CostSpread(const WeightTable& table, std::int64_t limit) : limit_(std::min(limit, table.maxBudget())) {
        const std::size_t n = table.rows();
        const std::size_t stride = static_cast<std::size_t>(limit_) + 1;
        std::vector<double> ones(stride, 1.0);  // the rows past the last: one empty completion
        std::vector<double> m1(stride, 0.0), m2(stride, 0.0), next1(stride), next2(stride);
        for (std::size_t i = n; i-- > 0;) {
            const double* below = i + 1 < n ? table.rowCounts(i + 1) : ones.data();
            std::fill(next1.begin(), next1.end(), 0.0);
            std::fill(next2.begin(), next2.end(), 0.0);
            const std::vector<int>& columns = table.columnsByCost(i);
            const std::vector<std::int32_t>& weights = table.weightsByCost(i);
            for (std::size_t k = 0; k < columns.size(); ++k) {
                const auto w = static_cast<std::size_t>(weights[k]);
                if (w >= stride) break;
                const double f = (table.costs()[i][columns[k]] - table.cheapest(i)) / table.step() - weights[k];
                for (std::size_t b = w; b < stride; ++b) {
                    const std::size_t from = b - w;
                    next1[b] += m1[from] + f * below[from];
                    next2[b] += m2[from] + f * (2.0 * m1[from] + f * below[from]);
                }
            }
            m1.swap(next1);
            m2.swap(next2);
        }
        // From sums up to each weight to those of each weight.
        const double* counts = table.rowCounts(0);
        mean_.assign(stride, 0.0);
        sd_.assign(stride, 0.0);
        for (std::size_t b = 0; b < stride; ++b) {
            const double h = counts[b] - (b > 0 ? counts[b - 1] : 0.0);
            if (!(h > 0.0)) continue;
            const double s1 = m1[b] - (b > 0 ? m1[b - 1] : 0.0), s2 = m2[b] - (b > 0 ? m2[b - 1] : 0.0);
            mean_[b] = s1 / h;
            sd_[b] = std::sqrt(std::max(s2 / h - mean_[b] * mean_[b], 0.0));
        }
    }
    // The largest weight spread; mean() and sd() require w <= limit().
    std::int64_t limit() const noexcept { return limit_; }
    double mean(std::size_t w) const noexcept { return mean_[w]; }
    double sd(std::size_t w) const noexcept { return sd_[w]; }

private:
    std::int64_t limit_;
    std::vector<double> mean_, sd_;
};

// The configurations of cost below `cost`, estimated from the table: each weight's
// configurations counted by the share of their spread (taken as normal) below the cost.
class CountEstimate {
public:
    CountEstimate(const WeightTable& table, const CostSpread& spread)
        : table_(table), spread_(spread), rows_(static_cast<double>(table.rows())) {}

    double below(double cost) const { return at((cost - table_.base()) / table_.step()); }

    // The cost below which about `count` configurations lie.
    double costWith(double count) const {
        // The least budget whose count reaches `count`.
        const std::int64_t hi = table_.leastBudgetOver(std::nextafter(count, -kInf));
        if (hi < 0) return kInf;
        // at(x) lies between the counts of weights up to x - rows and up to x: the cost
        // sought is within [hi, hi + rows] steps of the base; halved to a step's millionth.
        double x1 = static_cast<double>(hi), x2 = x1 + rows_;
        for (int k = 0; k < 48 && x2 - x1 > 1e-6; ++k) {
            const double mid = 0.5 * (x1 + x2);
            (at(mid) >= count ? x2 : x1) = mid;
        }
        return table_.base() + x2 * table_.step();
    }

private:
    // The share of weight w's configurations whose fractions sum below y.
    double share(std::size_t w, double y) const {
        if (!(y > 0.0)) return 0.0;
        if (y >= rows_) return 1.0;
        const bool spread = static_cast<std::int64_t>(w) <= spread_.limit();
        // At least a step's width: configurations of one cost (ties) are counted half
        // below it and half above, as evenly spread over a step.
        const double mean = spread ? spread_.mean(w) : 0.5 * rows_;
        const double sd = std::max(spread ? spread_.sd(w) : std::sqrt(rows_ / 12.0), std::sqrt(1.0 / 12.0));
        const double z = (mean - y) / (sd * std::sqrt(2.0));
        if (z > 6.0) return 0.0;  // within 1e-17 of the share: most weights of a long row
        if (z < -6.0) return 1.0;
        return 0.5 * std::erfc(z);
    }
    // The estimated count below base + x steps.
    double at(double x) const {
        if (!(x > 0.0)) return 0.0;
        const std::int64_t top = table_.maxBudget();
        const double lowest = std::floor(x - rows_);  // weights up to it: all below
        if (lowest >= static_cast<double>(top)) return table_.completions(0, top);
        const auto first = static_cast<std::int64_t>(lowest);
        double count = table_.completions(0, first), previous = count;
        for (std::int64_t w = std::max<std::int64_t>(first + 1, 0); w <= top && static_cast<double>(w) < x; ++w) {
            const double upTo = table_.completions(0, w);
            count += std::max(upTo - previous, 0.0) * share(static_cast<std::size_t>(w), x - static_cast<double>(w));
            previous = upTo;
        }
        return count;
    }

    const WeightTable& table_;
    const CostSpread& spread_;
    double rows_;
};

// The row-order sum of every row's costliest finite column: no finite cost is above it.
double dearestFinite(const CostMatrix& costs) {
    double total = 0.0;
    for (const std::vector<double>& row : costs) {
        double most = -kInf;
        for (double c : row) {
            if (c < kInf) most = std::max(most, c);
        }
        total += most;
    }
    return total;
}

}  // namespace

namespace {

// The last table cutRange built, kept for the next call on the same matrix and top (the
// cuts of a search, a task at a time, come from one table).
struct KeptTable {
    std::mutex mutex;
    CostMatrix costs;
    double step = 0.0, top = 0.0;
    std::shared_ptr<const WeightTable> table;
    std::shared_ptr<const CostSpread> spread;
};

KeptTable& keptTable() {
    static KeptTable k;
    return k;
}

struct TableAndSpread {
    std::shared_ptr<const WeightTable> table;
    std::shared_ptr<const CostSpread> spread;
};

// The kept table for (costs, step, top), made (and kept) when another is kept.
std::shared_ptr<const WeightTable> keptTableFor(const CostMatrix& costs, double step, double top) {
    KeptTable& k = keptTable();
    std::lock_guard<std::mutex> lock(k.mutex);
    if (!(k.table && k.step == step && k.top == top && k.costs == costs)) {
        k.table.reset();
        k.spread.reset();
        k.costs = costs;
        k.table = std::make_shared<const WeightTable>(costs, step, top);
        k.step = step;
        k.top = top;
    }
    return k.table;
}

// The top of the table kept for `costs`, if one is.
std::optional<double> keptTopFor(const CostMatrix& costs) {
    KeptTable& k = keptTable();
    std::lock_guard<std::mutex> lock(k.mutex);
    if (k.table && k.costs == costs) return k.top;
    return std::nullopt;
}

// The kept table for (costs, step, top), with the spread of its weights up to `need` at
// least: the spread of the light weights costs far less than that of all of them, and a
// search's cuts need only those up to its stop's.
TableAndSpread tableFor(const CostMatrix& costs, double step, double top,
                        const std::function<std::int64_t(const WeightTable&)>& need) {
    std::shared_ptr<const WeightTable> table = keptTableFor(costs, step, top);
    KeptTable& k = keptTable();
    std::lock_guard<std::mutex> lock(k.mutex);
    const std::int64_t limit = need(*table);
    // Another caller may have replaced the kept table meanwhile: its spread is not ours.
    std::shared_ptr<const CostSpread> spread = k.table == table ? k.spread : nullptr;
    if (!spread || spread->limit() < std::min(limit, table->maxBudget())) {
        const std::int64_t grown = spread ? std::max(limit, 2 * spread->limit()) : limit;
        spread = std::make_shared<const CostSpread>(*table, grown);
        if (k.table == table) k.spread = spread;
    }
    return {table, spread};
}

// How far the table spans: the costs from `base` to `top`, or to base + (top - base) / 2^j
// when the cuts need only the cheapest part of that. A configuration of weight W costs up
// to rows + 1 steps more than W steps, so where the weights the cuts need number no more
// than the rows (a matrix of hundreds of rows, whose whole span the table's steps divide
// coarsely), every count the cuts ask for lies within that spread and the cuts could land
// anywhere in it: the table is narrowed, halving its steps each time, until the needed
// weights outnumber the rows. Tops come from one family, so that the cuts of a search,
// asking for a little more each time, keep one table.
double narrowedTop(const CostMatrix& costs, double base, double top, double bins, double finest,
                   const std::function<std::int64_t(const WeightTable&)>& neededWeight) {
    const auto rows = static_cast<std::int64_t>(costs.size());
    const auto topAt = [&](int j) { return base + std::ldexp(top - base, -j); };
    const auto stepAt = [&](int j) { return std::max((topAt(j) - base) / bins, finest); };
    // Where every configuration of the needed weights ends, with the room the estimate
    // looks past it.
    const auto spanOf = [&](const WeightTable& table, std::int64_t a) {
        return table.base() + static_cast<double>(a + rows + 2) * table.step();
    };
    int j = 0;
    if (const std::optional<double> kept = keptTopFor(costs)) {
        int at = 0;
        while (at < 60 && topAt(at) > *kept) ++at;
        if (topAt(at) == *kept) {
            const std::shared_ptr<const WeightTable> table = keptTableFor(costs, stepAt(at), topAt(at));
            const std::int64_t a = neededWeight(*table);
            if (a >= 0 && spanOf(*table, a) <= topAt(at)) j = at;
        }
    }
    for (; j < 60; ++j) {
        const std::shared_ptr<const WeightTable> table = keptTableFor(costs, stepAt(j), topAt(j));
        const std::int64_t a = neededWeight(*table);
        if (a < 0 || a > rows) break;
        // The next narrower table must still hold the needed weights and their spread.
        if (!(topAt(j + 1) >= spanOf(*table, a)) || !(stepAt(j + 1) > finest)) break;
    }
    return topAt(j);
}

}  // namespace

void releaseWalkMemory() noexcept {
    detail::releaseSuffixLists();
    KeptTable& k = keptTable();
    std::lock_guard<std::mutex> lock(k.mutex);
    k.table.reset();
    k.spread.reset();
    k.costs = CostMatrix();
}

std::vector<OrderBound> cutRange(const ProbabilityMatrix& probs, const OrderBound& lower,
                                 const std::optional<OrderBound>& upper, Position size, std::size_t most) {
    std::vector<OrderBound> cuts;
    CostMatrix costs = costsOf(probs);
    if (most == 0 || !(lower.cost < kInf) || costs.empty()) return cuts;
    const double dearest = dearestFinite(costs);
    if (!(dearest < kInf)) return cuts;  // some row has no finite column: no finite cost
    const double top = std::min(upper ? upper->cost : kInf, dearest);
    double base = 0.0;
    for (const std::vector<double>& row : costs) base += *std::min_element(row.begin(), row.end());
    if (!(top > lower.cost) || !(top > base)) return cuts;
    const double bins = std::max(64.0, std::min(kBins, kCountBytes / (8.0 * static_cast<double>(costs.size()))));
    const std::size_t rows = costs.size();
    // The table spans the costs from its own base (the cheapest costs summed in another
    // order) to top: a step far below the sums' rounding would make that span billions of
    // steps when top is within rounding of the base.
    double magnitude = 0.0;
    for (const std::vector<double>& row : costs) {
        for (double c : row) {
            if (c < kInf) magnitude += std::fabs(c);
        }
    }
    const double finest = std::ldexp(magnitude, -40);
    // The weight of the count the cuts reach: that below the lower bound's weight, and
    // `most` pieces past it (none past 2^64 configurations, where no search goes); -1
    // past the table.
    const auto neededWeight = [&](const WeightTable& table) -> std::int64_t {
        const double x = std::floor((lower.cost - table.base()) / table.step());
        const std::int64_t last = table.maxBudget();
        const std::int64_t from = x < static_cast<double>(last) ? static_cast<std::int64_t>(std::max(x, 0.0)) : last;
        const double count = std::min(table.completions(0, from) + static_cast<double>(most) * static_cast<double>(size),
                                      18446744073709551616.0);
        return table.leastBudgetOver(count);
    };
    const double tableTop = narrowedTop(costs, base, top, bins, finest, neededWeight);
    const double step = std::max((tableTop - base) / bins, finest);
    // The weights the cuts can reach: the needed ones and the rows' spread beyond.
    const auto need = [&](const WeightTable& table) -> std::int64_t {
        const std::int64_t over = neededWeight(table);
        const std::int64_t last = table.maxBudget();
        return over < 0 ? last : std::min(over + static_cast<std::int64_t>(table.rows()) + 1, last);
    };
    const TableAndSpread kept = tableFor(costs, step, tableTop, need);
    const CountEstimate estimate(*kept.table, *kept.spread);
    const double each = static_cast<double>(size);
    double previous = lower.cost, target = estimate.below(lower.cost);
    while (cuts.size() < most) {
        // Counts beyond 2^53 times the size (a matrix of hundreds of rows) cannot be told
        // apart by one size: the table cuts no finer there.
        if (!(target + each > target)) break;
        target += each;
        const double cost = estimate.costWith(target);
        if (!(cost < tableTop)) break;
        if (!(cost > previous)) {
            // Within one cost: on from the count just past it, a crowd of one cost skipped at once.
            target = std::max(target, estimate.below(std::nextafter(previous, kInf)) - each);
            continue;
        }
        cuts.push_back(OrderBound{cost, std::vector<int>(rows, 0)});
        previous = cost;
    }
    return cuts;
}

}  // namespace quorin
