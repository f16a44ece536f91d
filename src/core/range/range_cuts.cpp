// cutRange of range_walk.h: bounds that cut a range of the cost order into pieces of about
// a given number of configurations, by the counts of one weight table.
#include <quorin/range_walk.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <mutex>

#include <quorin/weight_table.h>

#include "walk/suffix_lists.h"

namespace quorin {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
// Budgets of the table: about 8 MiB of counts for 16 rows.
constexpr double kBins = 65536.0;
constexpr double kCountBytes = 16.0 * 1024 * 1024;

// The configurations of cost below `cost`, estimated from the table: a configuration of
// weight sum W costs within [base + W s, base + (W + rows) s), so the count of weight up to
// (cost - base) / s - rows / 2 is the estimate in the middle of the bounds; counts between
// two budgets grow linearly.
class CountEstimate {
public:
    explicit CountEstimate(const WeightTable& table) : table_(table) {}

    double below(double cost) const { return at((cost - table_.base()) / table_.step() - half()); }

    // The cost below which about `count` configurations lie.
    double costWith(double count) const {
        std::int64_t lo = -1, hi = table_.maxBudget();
        if (!(table_.completions(0, hi) >= count)) return kInf;
        while (hi - lo > 1) {  // the least budget whose count reaches `count`
            const std::int64_t mid = lo + (hi - lo) / 2;
            (table_.completions(0, mid) >= count ? hi : lo) = mid;
        }
        const double before = table_.completions(0, hi - 1), after = table_.completions(0, hi);
        const double fraction = after > before ? (count - before) / (after - before) : 1.0;
        return table_.base() + (static_cast<double>(hi - 1) + fraction + half()) * table_.step();
    }

private:
    double half() const { return 0.5 * static_cast<double>(table_.rows()); }
    double at(double budget) const {
        if (!(budget >= -1.0)) return 0.0;
        const double top = static_cast<double>(table_.maxBudget());
        if (budget >= top) return table_.completions(0, table_.maxBudget());
        const auto whole = static_cast<std::int64_t>(std::floor(budget));
        const double a = table_.completions(0, whole), b = table_.completions(0, whole + 1);
        return a + (b - a) * (budget - static_cast<double>(whole));
    }

    const WeightTable& table_;
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
};

KeptTable& keptTable() {
    static KeptTable k;
    return k;
}

std::shared_ptr<const WeightTable> tableFor(CostMatrix costs, double step, double top) {
    KeptTable& k = keptTable();
    std::lock_guard<std::mutex> lock(k.mutex);
    if (k.table && k.step == step && k.top == top && k.costs == costs) return k.table;
    k.table.reset();
    k.costs = costs;
    k.table = std::make_shared<const WeightTable>(std::move(costs), step, top);
    k.step = step;
    k.top = top;
    return k.table;
}

}  // namespace

void releaseWalkMemory() noexcept {
    detail::releaseSuffixLists();
    KeptTable& k = keptTable();
    std::lock_guard<std::mutex> lock(k.mutex);
    k.table.reset();
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
    const double step = std::max((top - base) / bins, std::ldexp(magnitude, -40));
    const std::shared_ptr<const WeightTable> table = tableFor(std::move(costs), step, top);
    const CountEstimate estimate(*table);
    const double first = estimate.below(lower.cost);
    double previous = lower.cost;
    for (std::size_t k = 1; cuts.size() < most; ++k) {
        const double cost = estimate.costWith(first + static_cast<double>(k) * static_cast<double>(size));
        if (!(cost < top)) break;
        if (!(cost > previous)) continue;  // within one cost: the next target
        cuts.push_back(OrderBound{cost, std::vector<int>(rows, 0)});
        previous = cost;
    }
    return cuts;
}

}  // namespace quorin
