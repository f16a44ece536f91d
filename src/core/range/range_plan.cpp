#include "range/range_plan.h"

#include <algorithm>
#include <memory>
#include <stdexcept>
#include <string>

#include <quorin/weight_table.h>

#include "counting/lexicographic.h"

namespace quorin {
namespace detail {
namespace {

// Pieces per thread: enough to keep every thread busy to the end of the range. The pieces
// are the prefixes of the first depth that has this many, and their work is far from even
// (the cheapest prefixes hold most of the range): with 64 per thread, one piece could
// outlast every other, and a task of 2^28 at 2^40 (gamma(1.0)) kept 1.2 of 2 cores busy;
// with 16384, 2 (1.6x its rate; 1.5 to 2x on the Hamming-weight matrix at 2^28 and 2^36).
constexpr std::size_t kPiecesPerThread = 16384;
// Pieces for a walk on one thread: a few, for nothing needs balancing.
constexpr std::size_t kPiecesAlone = 64;
// Suffix entries per piece when pieces are runs of one prefix's entries.
constexpr std::uint32_t kPieceEntries = 1u << 15;

void checkBound(const ProbabilityMatrix& probs, const OrderBound& b, const char* name) {
    if (b.columns.size() != probs.size())
        throw std::invalid_argument(std::string("the ") + name + " bound has " + std::to_string(b.columns.size()) +
                                    " columns, not " + std::to_string(probs.size()));
    for (std::size_t i = 0; i < probs.size(); ++i) {
        if (b.columns[i] < 0 || static_cast<std::size_t>(b.columns[i]) >= probs[i].size())
            throw std::invalid_argument(std::string("the ") + name + " bound's column " +
                                        std::to_string(b.columns[i]) + " of row " + std::to_string(i) +
                                        " is out of range");
    }
    if (b.cost != b.cost) throw std::invalid_argument(std::string("the ") + name + " bound's cost is NaN");
}

}  // namespace

void checkRangeBounds(const ProbabilityMatrix& probs, const OrderBound& lower, const std::optional<OrderBound>& upper) {
    checkBound(probs, lower, "lower");
    if (upper) checkBound(probs, *upper, "upper");
}

RangePlan::RangePlan(const ProbabilityMatrix& probs, OrderBound lower, std::optional<OrderBound> upper,
                     unsigned threads, const std::atomic<bool>* interrupt, double ahead)
    : model_((checkProbabilities(probs), probs)), lower_(std::move(lower)), upper_(std::move(upper)) {
    checkRangeBounds(probs, lower_, upper_);
    const double hiCost = upper_ ? upper_->cost : kInf;
    finite_ = Bounds{lower_.cost,
                     hiCost,
                     &lower_.columns,
                     upper_ && upper_->cost < kInf ? &upper_->columns : nullptr,
                     lower_.cost - 2 * model_.margin,
                     hiCost + 2 * model_.margin};
    hasFinite_ = model_.anyFinite && lower_.cost < kInf && lower_.cost <= hiCost;
    if (!hasFinite_) return;
    lists_ = suffixListsFor(model_, hiCost, /*early=*/true, threads == 0 ? 1 : threads, interrupt, ahead);
    withColumnType(model_, [&](auto col) { listPieces<decltype(col)>(threads == 0 ? 1 : threads, interrupt); });
}

template <class Col>
void RangePlan::listPieces(unsigned threads, const std::atomic<bool>* interrupt) {
    const std::size_t n = model_.n, s = lists_.deepest->first;
    const std::size_t wanted = threads > 1 ? kPiecesPerThread * threads : kPiecesAlone;
    PieceWalker<Col> w(n);
    // Keeps the walk's first `rows` columns; returns where they start in paths_.
    auto keepPath = [&](std::size_t rows) {
        const std::size_t at = paths_.size();
        paths_.insert(paths_.end(), w.path.begin(), w.path.begin() + static_cast<std::ptrdiff_t>(rows));
        return at;
    };
    // Each depth is a walk from the root, so past the first rows the depth grows by half
    // (on a matrix of hundreds of rows whose pieces stay few, one row at a time made
    // building a plan a walk per row, hundreds of them).
    for (depth_ = 0;; depth_ = std::min(s, depth_ + std::max<std::size_t>(1, depth_ / 2))) {
        pieces_.clear();
        paths_.clear();
        descend(model_, finite_, 0, depth_, 0.0, w.path.data(), w.k.data(), w.P.data(), interrupt, [&](double prefix) {
            if (depth_ < s) {
                pieces_.push_back(Piece{prefix, keepPath(depth_), 0, 0, depth_});
                return true;
            }
            // Runs of one prefix's entries, sharing its path.
            std::uint32_t from, to, innerFrom, innerTo;
            entriesFor(finite_, prefix, from, to, innerFrom, innerTo);
            if (from >= to) return true;
            const std::size_t path = keepPath(depth_);
            for (std::uint32_t a = from; a < to; a += std::min(kPieceEntries, to - a)) {
                pieces_.push_back(Piece{prefix, path, a, a + std::min(kPieceEntries, to - a), depth_});
            }
            return true;
        }, Reachable{model_, *lists_.deepest, finite_}, [&](std::size_t rows, double prefix) {
            // A shorter prefix the walk would complete by its early list is a piece as it
            // stands: past it, that list's entries take the place of its rows' subtrees.
            if (earlyListFor(finite_, rows, prefix) == nullptr) return 0;
            pieces_.push_back(Piece{prefix, keepPath(rows), 0, 0, rows});
            return 1;
        });
        if (depth_ == s || pieces_.size() >= wanted) break;
    }
}

bool RangePlan::lookup(const SuffixList& sl, const Bounds& b, double prefix, Lookup& l) const {
    const double base = prefix + model_.minAfter[sl.first];
    const double x2 = b.hiLimit - base;
    if (x2 < 0) return false;
    l.b1 = bucketOf(b.loLimit - base, sl.scale, sl.buckets);
    l.b2 = bucketOf(x2, sl.scale, sl.buckets);
    if (!sl.anyIn(l.b1, l.b2)) return false;
    // Every key of the buckets in1 .. in2 - 1 makes a cost inside [lo, hi) with the margin
    // to spare on both sides.
    l.in1 = bucketOf(b.loCost + 4 * model_.margin - base, sl.scale, sl.buckets) + 1;
    const double innerHi = b.hiCost - 4 * model_.margin - base;
    l.in2 = innerHi == kInf ? sl.buckets - 1 : bucketOf(innerHi, sl.scale, sl.buckets);
    l.prefix = prefix;
    l.list = &sl;
    l.rows = sl.first;
    return true;
}

void RangePlan::entriesOf(const Lookup& l, std::uint32_t& from, std::uint32_t& to, std::uint32_t& innerFrom,
                          std::uint32_t& innerTo) const {
    const SuffixList& sl = *l.list;
    from = sl.start[l.b1];
    to = sl.start[l.b2 + 1];
    innerFrom = l.in1 < l.in2 ? sl.start[std::min(l.in1, sl.buckets)] : from;
    innerTo = l.in1 < l.in2 ? sl.start[l.in2] : innerFrom;
    innerFrom = std::min(std::max(innerFrom, from), to);
    innerTo = std::min(std::max(innerTo, innerFrom), to);
}

void RangePlan::entriesFor(const Bounds& b, double prefix, std::uint32_t& from, std::uint32_t& to,
                           std::uint32_t& innerFrom, std::uint32_t& innerTo) const {
    Lookup l;
    if (!lookup(*lists_.deepest, b, prefix, l)) {
        from = to = innerFrom = innerTo = 0;
        return;
    }
    entriesOf(l, from, to, innerFrom, innerTo);
}

bool RangePlan::hasInfinitePart() const noexcept { return model_.anyInf && (!upper_ || upper_->cost == kInf); }

OrderBound RangePlan::infiniteStart() const {
    OrderBound b;
    b.cost = kInf;
    b.columns = lower_.cost == kInf ? lower_.columns : std::vector<int>(model_.n, 0);
    return b;
}

bool RangePlan::beforeUpper(const std::vector<int>& columns) const {
    if (!upper_) return true;
    if (upper_->cost < kInf) return false;
    return lexLess(columns.data(), upper_->columns.data(), model_.n);
}

Position RangePlan::infiniteBefore(const std::vector<int>& columns) const {
    CostMatrix costs(model_.n);
    for (std::size_t i = 0; i < model_.n; ++i) costs[i].assign(model_.rowCost[i], model_.rowCost[i] + model_.columns(i));
    const auto [all, finite] = lexicographicallyBefore(costs, columns);
    const Count before = all - finite;
    return before.fitsUint128() ? before.toUint128() : kNoStop;
}

double RangePlan::costOf(const std::vector<int>& columns) const {
    double total = 0.0;
    for (std::size_t i = 0; i < model_.n; ++i) total += model_.rowCost[i][static_cast<std::size_t>(columns[i])];
    return total;
}

Bounds RangePlan::finiteBefore(double cost, const std::vector<int>& columns) const {
    Bounds b = finite_;
    const bool earlier = cost < b.hiCost || (cost == b.hiCost && b.hiColumns != nullptr &&
                                             lexLess(columns.data(), b.hiColumns->data(), model_.n));
    if (earlier) {
        b.hiCost = cost;
        b.hiColumns = &columns;
        b.hiLimit = cost + 2 * model_.margin;
    }
    return b;
}

std::vector<Position> countBySlot(const RangePlan& plan, ThreadPool& pool, const Bounds& b,
                                  const std::vector<double>& cuts, const std::atomic<bool>* interrupt) {
    std::vector<std::vector<Position>> slots(pool.size(), std::vector<Position>(cuts.size() + 1, 0));
    withColumnType(plan.model(), [&](auto col) {
        using Col = decltype(col);
        std::vector<std::unique_ptr<PieceWalker<Col>>> walkers(pool.size());
        pool.run(plan.pieces(), [&](std::size_t i, unsigned slot) {
            if (raised(interrupt)) throw Interrupted();
            if (!walkers[slot]) walkers[slot].reset(new PieceWalker<Col>(plan.model().n));
            plan.countPieceBySlot<Col>(i, b, cuts, *walkers[slot], interrupt, slots[slot]);
        });
    });
    for (std::size_t t = 1; t < slots.size(); ++t) {
        for (std::size_t j = 0; j < slots[t].size(); ++j) slots[0][j] += slots[t][j];
    }
    return slots[0];
}

Position countIn(const RangePlan& plan, ThreadPool& pool, const Bounds& b, const std::atomic<bool>* interrupt) {
    return countBySlot(plan, pool, b, {}, interrupt).front();
}

}  // namespace detail
}  // namespace quorin
