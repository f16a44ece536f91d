// The indices of configurations in a range walk's range: see range_indices.h.
#include "range/range_indices.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

namespace quorin {
namespace detail {

namespace {

// The configurations of the plan's finite part before (cost, columns), on `pool`.
Position countFiniteBefore(const RangePlan& plan, ThreadPool& pool, double cost, const std::vector<int>& columns,
                           const std::atomic<bool>* interrupt) {
    if (!plan.hasFinitePart()) return 0;
    return countIn(plan, pool, plan.finiteBefore(cost, columns), interrupt);
}

// Where configurations fall among sorted targets (t_0 <= t_1 <= ... in the cost order):
// slot(x) is the number of targets at or before x, so x comes before t_j exactly when
// slot(x) <= j. Costs are spread over buckets between the least and the largest target
// cost, several per target, so that most buckets hold none; those of earlier buckets all
// cost less. A thread's Tally counts the configurations of a bucket without targets in the
// bucket itself and only those of the few buckets with targets by their exact slot.
class TargetSlots {
public:
    // Targets a group can hold. Each group's walk visits every prefix of the range, so a few
    // large groups beat many small ones, until a thread's Tally (2 bytes a bucket, at least
    // 4 buckets a target: 512 KiB here) outgrows the core's caches: 2^15 measured quicker
    // than 2^11, 2^13 or 2^18.
    static constexpr std::size_t kMostTargets = std::size_t{1} << 15;

    // The h targets at costs[0 .. h) and columns[0 .. h), sorted (h <= kMostTargets).
    TargetSlots(const double* costs, const std::vector<int>* const* columns, std::size_t h, std::size_t rows)
        : costs_(costs), columns_(columns), h_(h), rows_(rows), lo_(costs[0]), hi_(costs[h - 1]) {
        std::size_t buckets = 1;
        while (buckets < kLeastBucketsPerTarget * h || (buckets < kBucketsPerTarget * h && buckets < kRoomyBuckets))
            buckets <<= 1;
        if (hi_ > lo_) scale_ = static_cast<double>(buckets) / (hi_ - lo_);
        buckets_ = buckets;
        // Every bucket index is computed by bucket(), the same monotone formula for targets
        // and configurations, so a target of an earlier bucket always costs less.
        first_.assign(buckets + 1, 0);
        for (std::size_t j = 0; j < h; ++j) ++first_[bucket(costs[j]) + 1];
        for (std::size_t b = 0; b < buckets; ++b) first_[b + 1] += first_[b];
    }

    // The counts of one thread's configurations by slot, a sink of RangePlan::weighPiece.
    class Tally {
    public:
        explicit Tally(const TargetSlots& slots) : slots_(slots), cells_(slots.buckets_, 0), exact_(slots.h_ + 1, 0) {
            for (std::size_t b = 0; b < slots.buckets_; ++b) {
                if (slots.first_[b + 1] != slots.first_[b]) cells_[b] = kTargets;
            }
        }
        void below(std::uint32_t k) { exact_.front() += k; }
        void above(std::uint32_t k) { exact_.back() += k; }
        // Counts a configuration of cost E; columns() gives its columns when a target costs E.
        template <class Columns>
        void add(double E, Columns&& columns) {
            if (E < slots_.lo_) {
                ++exact_.front();
            } else if (E > slots_.hi_) {
                ++exact_.back();
            } else {
                const std::size_t b = slots_.bucket(E);
                Cell& cell = cells_[b];
                if (cell < kFull) {
                    ++cell;  // the common case: a bucket without targets
                } else if (cell == kTargets) {
                    ++exact_[slots_.slotFrom(b, E, columns)];
                } else {  // a full count: into its slot
                    exact_[slots_.first_[b]] += cell;
                    cell = 1;
                }
            }
        }
        // Adds the counts by slot to `bySlot` (one more entry than targets).
        void addTo(std::vector<Position>& bySlot) const {
            for (std::size_t j = 0; j < exact_.size(); ++j) bySlot[j] += exact_[j];
            for (std::size_t b = 0; b < cells_.size(); ++b) {
                if (cells_[b] != kTargets) bySlot[slots_.first_[b]] += cells_[b];
            }
        }

    private:
        // A bucket's cell: its count, or kTargets for a bucket holding targets. Two bytes, so
        // that more buckets stay in the core's cache; a full count goes into its slot.
        using Cell = std::uint16_t;
        static constexpr Cell kTargets = 0xFFFF;
        static constexpr Cell kFull = kTargets - 1;
        const TargetSlots& slots_;
        std::vector<Cell> cells_;
        std::vector<std::uint64_t> exact_;
    };

private:
    // Buckets a target: 16 while a thread's Tally stays within kRoomyBuckets (512 KiB), at
    // least 4. With 16, about one configuration in twenty falls in a bucket holding a
    // target and is placed by comparisons (one in five with 4; measured with 13,700 hits
    // in 2^25 configurations, whose index then took 10% less time).
    static constexpr std::size_t kBucketsPerTarget = 16, kLeastBucketsPerTarget = 4;
    static constexpr std::size_t kRoomyBuckets = std::size_t{1} << 18;
    std::size_t bucket(double c) const {
        const double b = (c - lo_) * scale_;
        return b >= static_cast<double>(buckets_ - 1) ? buckets_ - 1 : static_cast<std::size_t>(b);
    }
    // Whether target j comes after the configuration x of cost E.
    template <class Columns>
    bool after(std::size_t j, double E, Columns& columns, const int*& x) const {
        if (costs_[j] != E) return costs_[j] > E;
        if (x == nullptr) x = columns();
        return lexLess(x, columns_[j]->data(), rows_);
    }
    // The slot of a configuration of cost E in bucket b (one holding targets): the first of
    // the bucket's targets after it, found by halving where the bucket holds many (targets
    // of one cost crowd one bucket).
    template <class Columns>
    std::size_t slotFrom(std::size_t b, double E, Columns& columns) const {
        const int* x = nullptr;
        std::size_t j = first_[b], end = first_[b + 1];
        while (end - j > 8) {
            const std::size_t mid = j + (end - j) / 2;
            if (after(mid, E, columns, x)) end = mid;
            else j = mid + 1;
        }
        while (j < end && !after(j, E, columns, x)) ++j;
        return j;
    }
    const double* costs_;
    const std::vector<int>* const* columns_;
    std::size_t h_, rows_;
    double lo_, hi_, scale_ = 0;
    std::size_t buckets_ = 1;
    std::vector<std::uint32_t> first_;  // targets in the buckets before each (buckets + 1)
};

// The configurations of the plan's finite part before each of the sorted targets of finite
// cost (`costs`, `columns`): a walk per group of up to TargetSlots::kMostTargets of them,
// each up to the group's last target and weighing one by one only the configurations that
// may cost within the group's span; the others are counted by runs.
std::vector<Position> finiteBeforeEach(const RangePlan& plan, ThreadPool& pool, const std::vector<double>& costs,
                                       const std::vector<const std::vector<int>*>& columns,
                                       const std::atomic<bool>* interrupt) {
    const std::size_t f = costs.size(), n = plan.model().n;
    std::vector<Position> before(f, 0);
    if (!plan.hasFinitePart()) return before;
    withColumnType(plan.model(), [&](auto col) {
        using Col = decltype(col);
        std::vector<std::unique_ptr<PieceWalker<Col>>> walkers(pool.size());
        for (std::size_t a = 0; a < f; a += TargetSlots::kMostTargets) {
            const std::size_t m = std::min(TargetSlots::kMostTargets, f - a);
            const TargetSlots slots(costs.data() + a, columns.data() + a, m, n);
            const Bounds b = plan.finiteBefore(costs[a + m - 1], *columns[a + m - 1]);
            std::vector<std::unique_ptr<TargetSlots::Tally>> tallies(pool.size());
            pool.run(plan.pieces(), [&](std::size_t i, unsigned slot) {
                if (raised(interrupt)) throw Interrupted();
                if (!walkers[slot]) walkers[slot].reset(new PieceWalker<Col>(n));
                if (!tallies[slot]) tallies[slot].reset(new TargetSlots::Tally(slots));
                plan.weighPiece<Col>(i, b, costs[a], costs[a + m - 1], *walkers[slot], interrupt, *tallies[slot]);
            });
            std::vector<Position> bySlot(m + 1, 0);
            for (const std::unique_ptr<TargetSlots::Tally>& tally : tallies) {
                if (tally) tally->addTo(bySlot);
            }
            Position running = 0;
            for (std::size_t k = 0; k < m; ++k) before[a + k] = running += bySlot[k];
        }
    });
    return before;
}

}  // namespace

Position indexIn(const RangePlan& plan, ThreadPool& pool,
                 const std::vector<int>& columns, const std::atomic<bool>* interrupt) {
    const double cost = plan.costOf(columns);
    Position index = countFiniteBefore(plan, pool, cost, columns, interrupt);
    if (cost < kInf || !plan.hasInfinitePart()) return index;
    return index + plan.infiniteBefore(columns) - plan.infiniteBefore(plan.infiniteStart().columns);
}

std::vector<Position> indicesIn(const RangePlan& plan, ThreadPool& pool, const std::vector<std::vector<int>>& targets,
                                const std::atomic<bool>* interrupt) {
    const std::size_t h = targets.size(), n = plan.model().n;
    std::vector<Position> out(h, 0);
    if (h == 0) return out;
    std::vector<double> cost(h);
    for (std::size_t i = 0; i < h; ++i) cost[i] = plan.costOf(targets[i]);
    if (h == 1 && cost[0] < kInf) {  // one count of [lower, target): no configuration placed
        out[0] = indexIn(plan, pool, targets[0], interrupt);
        return out;
    }
    // The targets of finite cost in the cost order.
    std::vector<std::size_t> order;
    bool anyInfinite = false;
    for (std::size_t i = 0; i < h; ++i) {
        if (cost[i] < kInf) order.push_back(i);
        else anyInfinite = true;
    }
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        if (cost[a] != cost[b]) return cost[a] < cost[b];
        return lexLess(targets[a].data(), targets[b].data(), n);
    });
    const std::size_t f = order.size();
    std::vector<double> sortedCost(f);
    std::vector<const std::vector<int>*> sortedColumns(f);
    for (std::size_t k = 0; k < f; ++k) {
        sortedCost[k] = cost[order[k]];
        sortedColumns[k] = &targets[order[k]];
    }
    const std::vector<Position> before = finiteBeforeEach(plan, pool, sortedCost, sortedColumns, interrupt);
    for (std::size_t k = 0; k < f; ++k) out[order[k]] = before[k];
    if (anyInfinite) {
        // Configurations of cost +inf: after the whole finite part, then in column order
        // between the start of the range's part of cost +inf and its upper bound.
        const Position finiteTotal = plan.hasFinitePart() ? countIn(plan, pool, plan.finite(), interrupt) : 0;
        Position first = 0, last = 0;
        if (plan.hasInfinitePart()) {
            first = plan.infiniteBefore(plan.infiniteStart().columns);
            last = plan.upper() ? plan.infiniteBefore(plan.upper()->columns) : kNoStop;
        }
        for (std::size_t i = 0; i < h; ++i) {
            if (cost[i] < kInf) continue;
            out[i] = finiteTotal;
            if (!plan.hasInfinitePart()) continue;
            const Position at = std::min(plan.infiniteBefore(targets[i]), last);
            if (at > first) out[i] += at - first;
        }
    }
    return out;
}

void checkColumnsOf(const Model& m, const std::vector<int>& columns) {
    if (columns.size() != m.n)
        throw std::invalid_argument("got " + std::to_string(columns.size()) + " columns for " + std::to_string(m.n) +
                                    " rows");
    for (std::size_t i = 0; i < m.n; ++i) {
        if (columns[i] < 0 || static_cast<std::size_t>(columns[i]) >= m.columns(i))
            throw std::invalid_argument("column " + std::to_string(columns[i]) + " of row " + std::to_string(i) +
                                        " is out of range");
    }
}

}  // namespace detail
}  // namespace quorin
