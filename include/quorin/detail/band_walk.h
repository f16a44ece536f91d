// Walks of the prefix tree of a matrix against the cost order, pruned by a weight table.
//
// A node of the prefix tree fixes the columns of rows 0 .. row-1; its completions are the
// ways to fill the remaining rows. The weight table says, for any node and any cost t,
// how many of its completions certainly make a cost below t and how many may make at most
// t: a node whose two counts agree is settled without a look inside; only the nodes with
// a completion too close to t to call (the band) are opened. The walks here open exactly
// those nodes and add up everything else from the table's counts:
//
//     quorin::BandWalk walk(table, cost, key);                      // rank and count
//     quorin::Tally before = walk.runParallel(2);                   // configurations before (cost, key)
//
//     quorin::IntervalWalk<Leaves> walk(table, lo, hi, interrupt);  // select, enumeration
//     quorin::IntervalCounts n = walk.run(leaves);                  // leaves(...) for each in (lo, hi]
//
// Costs are the core's (summed in row order from +0.0), so the walks count and list
// exactly what the cost order holds. Both throw Interrupted when `interrupt` is raised
// (checked every thousand opened nodes, about a millisecond apart at most) and own nothing
// afterwards. The table must have been built for a largest cost at least the walk's.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <vector>

#include "../interrupt.h"
#include "thread_pool.h"
#include "../weight_table.h"

namespace quorin {

// A sum of counts: exact (low == high), or bounds where the table's counts are not exact.
// A sum past 128 bits marks it overflowed (and then means nothing).
struct Tally {
    Uint128 low = 0;
    Uint128 high = 0;
    bool overflowed = false;
};

// The columns of one row that share a cost: a run of the row's columns by cost.
struct CostClass {
    double cost;
    std::int32_t weight;
    std::uint32_t first;  // index into the table's columnsByCost(row)
    std::uint32_t size;
};

// Every row's cost classes, cheapest first (within the table's largest budget).
std::vector<std::vector<CostClass>> costClassesOf(const WeightTable& table);

// Counts the finite configurations before (cost, key) in the cost order, or those of cost
// at most `cost` when key is null (key: one column per row). After `nodeBudget` opened
// nodes the rest of the band is bounded from the table instead of walked (complete() is
// then false); an exact count needs the table's count at the cost to be below 2^53.
class BandWalk {
public:
    BandWalk(const WeightTable& table, double cost, const int* key, std::uint64_t nodeBudget = ~std::uint64_t{0},
             const std::atomic<bool>* interrupt = nullptr);

    Tally run();
    // run() on `threads` threads: the nodes a few rows down are walked as separate tasks
    // and their counts summed in a fixed order, so the sum does not depend on the thread
    // count. Requires an unlimited node budget (else it is run()).
    Tally runParallel(unsigned threads);
    // The count below one node: rows 0 .. row-1 of total weight `weight` summed to
    // `prefix`. `lex` compares the node's columns with the key's: -1 below (ties with the
    // cost count), 0 equal, 1 above (ties do not count).
    Tally visit(std::size_t row, double prefix, std::int64_t weight, int lex);

    // Whether every node of the band was opened (no bound stands in for a part of it).
    bool complete() const noexcept { return !cut_; }
    std::uint64_t visits() const noexcept { return visits_; }
    // The table's bounds on the whole count (rootLow() <= true count <= rootHigh()).
    double rootLow() const noexcept { return table_.completions(0, rootIn_); }
    double rootHigh() const noexcept { return table_.completions(0, rootOut_); }

private:
    struct Child {
        double prefix;
        std::int64_t weight;
        std::int64_t in, out;
        std::uint32_t size;
    };
    // A node left for runParallel's tasks: expandExact's arguments, and how many
    // configurations of the walk's sum each of its counts stands for.
    struct Task {
        std::size_t row;
        double prefix;
        std::int64_t weight;
        double below;
        std::int64_t in, out;
        int lex;
        Uint128 times;
    };
    Tally expand(std::size_t row, double prefix, std::int64_t weight, double below, double reaching, std::int64_t out,
                 int lex);
    Tally expandExact(std::size_t row, double prefix, std::int64_t weight, double below, std::int64_t in, std::int64_t out,
                      int lex);
    Tally expandKeyPath(std::size_t row, double prefix, std::int64_t weight, std::int64_t out);
    Uint128 lastRow(double prefix, int lex, std::size_t from, std::size_t to) const;
    Tally tallyOf(double count) const;
    bool opened();

    const WeightTable& table_;
    WeightTable::Thresholds thresholds_;
    double cost_;
    const int* key_;
    std::size_t rows_;
    std::uint64_t budget_;
    const std::atomic<bool>* interrupt_;
    std::uint64_t visits_ = 0;
    bool cut_ = false;
    bool exact_ = false;
    std::int64_t rootIn_ = -1, rootOut_ = -1;
    std::vector<std::vector<CostClass>> classes_;
    std::vector<std::vector<Child>> children_;  // per row, reused
    std::vector<double> lastCosts_;
    std::vector<Uint128> times_;        // per row: the multiplicity of the node being expanded
    std::vector<Task>* tasks_ = nullptr;  // where nodes of splitRow_ go, while runParallel splits
    std::size_t splitRow_ = 0;
};

// What an interval walk adds up: the finite configurations of cost <= lo, and those of
// cost in (lo, hi].
struct IntervalCounts {
    Uint128 below = 0;
    Uint128 inside = 0;
};

// The walk of the nodes whose completions can land in the cost interval (lo, hi]: every
// node with all its completions at or below lo is counted from the table, every node with
// none at or below hi is pruned, and every other node is opened down to the last row,
// where each configuration of cost in (lo, hi] is handed to the visitor:
//
//     struct Leaves {
//         // Whether leaves need their columns; without, equal-cost columns of a row are
//         // walked once and `times` says how many configurations the call stands for.
//         static constexpr bool kColumns = true;
//         void operator()(const int* columns, double cost, std::uint64_t times);
//     };
//
// Requires lo < hi (lo may be -inf: nothing below), hi finite, the table built for a
// largest cost >= hi, and its count at hi below 2^53 (so that every count read is exact;
// the constructor throws std::length_error otherwise). Leaves come in depth-first order
// of the rows' columns by cost, not in the cost order.
template <class Leaves>
class IntervalWalk {
public:
    IntervalWalk(const WeightTable& table, double lo, double hi, const std::atomic<bool>* interrupt = nullptr)
        : table_(table),
          low_(table.thresholds(lo == -std::numeric_limits<double>::infinity() ? hi : lo)),
          high_(table.thresholds(hi)),
          lo_(lo),
          hi_(hi),
          noneBelow_(lo == -std::numeric_limits<double>::infinity()),
          rows_(table.rows()),
          interrupt_(interrupt),
          classes_(costClassesOf(table)),
          path_(table.rows(), 0) {
        if (rows_ > 0) {
            for (int column : table.columnsByCost(rows_ - 1)) lastCosts_.push_back(table.costs()[rows_ - 1][column]);
            rootOut_ = std::min(high_.reaching(0, 0.0), table.maxBudget());
            if (!WeightTable::isExactCount(table.completions(0, rootOut_))) {
                throw std::length_error("quorin: too many configurations in the interval to walk exactly");
            }
        }
    }

    // Walks the tree once, handing every configuration of (lo, hi] to `leaves`.
    IntervalCounts run(Leaves& leaves) {
        leaves_ = &leaves;
        IntervalCounts out;
        if (rows_ == 0) {
            // The one, empty, configuration costs 0.
            if (!noneBelow_ && 0.0 <= lo_) {
                out.below = 1;
            } else if (0.0 <= hi_) {
                out.inside = 1;
                leaves(path_.data(), 0.0, 1);
            }
            return out;
        }
        if (!table_.hasFiniteConfigurations() || rootOut_ < 0) return out;
        visit(0, 0.0, 0, -1, rootOut_, out);
        return out;
    }

    // run() on perThread.size() threads (at least one), each handing its leaves to its own
    // Leaves: the nodes a few rows down are walked as separate tasks and their counts
    // summed in a fixed order, so the counts do not depend on the thread count (which
    // Leaves gets a leaf does).
    IntervalCounts runParallel(std::vector<Leaves>& perThread) {
        constexpr std::size_t kSplitRow = 2;
        if (perThread.size() <= 1 || rows_ < kSplitRow + 2 || !table_.hasFiniteConfigurations() || rootOut_ < 0) {
            return run(perThread.at(0));
        }
        std::vector<Task> tasks;
        tasks_ = &tasks;
        splitRow_ = kSplitRow;
        leaves_ = &perThread[0];
        IntervalCounts out;
        try {
            visit(0, 0.0, 0, -1, rootOut_, out);
        } catch (...) {
            tasks_ = nullptr;
            throw;
        }
        tasks_ = nullptr;
        std::vector<IntervalCounts> parts(tasks.size());
        ThreadPool pool(static_cast<unsigned>(perThread.size()));
        std::vector<IntervalWalk> walkers(pool.size(), *this);
        pool.run(tasks.size(), [&](std::size_t k, unsigned slot) {
            IntervalWalk& walker = walkers[slot];
            const Task& t = tasks[k];
            walker.leaves_ = &perThread[slot];
            std::copy(t.path.begin(), t.path.end(), walker.path_.begin());
            walker.times_ = t.times;
            walker.visit(t.row, t.prefix, t.weight, t.floorIn, t.ceilOut, parts[k]);
        });
        for (std::size_t k = 0; k < tasks.size(); ++k) {
            out.below += parts[k].below * tasks[k].multiplicity;
            out.inside += parts[k].inside * tasks[k].multiplicity;
        }
        return out;
    }

private:
    // A node left for runParallel's tasks: visit()'s arguments, the columns and class sizes
    // above it, and how many configurations of the sums each of its counts stands for.
    struct Task {
        std::size_t row;
        double prefix;
        std::int64_t weight, floorIn, ceilOut;
        std::vector<int> path;
        std::vector<std::uint32_t> times;
        Uint128 multiplicity;
    };

    // Hands the node after `prefix` to runParallel's tasks, or walks it.
    void branch(std::size_t next, double prefix, std::int64_t weight, std::int64_t floorIn, std::int64_t ceilOut,
                IntervalCounts& part) {
        if (tasks_ != nullptr && next == splitRow_) {
            Uint128 multiplicity = 1;
            for (std::uint32_t t : times_) multiplicity *= t;
            tasks_->push_back({next, prefix, weight, floorIn, ceilOut, std::vector<int>(path_.begin(), path_.begin() + static_cast<std::ptrdiff_t>(next)),
                               times_, multiplicity});
            return;
        }
        visit(next, prefix, weight, floorIn, ceilOut, part);
    }

    // Adds the node's counts to `out`; `floorIn` and `ceilOut` are the parent's certain
    // budgets (completions of weight <= floorIn are below lo, none above ceilOut reach hi).
    void visit(std::size_t row, double prefix, std::int64_t weight, std::int64_t floorIn, std::int64_t ceilOut,
               IntervalCounts& out) {
        const std::int64_t outHi = std::min({ceilOut, rootOut_ - weight, high_.reaching(row, prefix)});
        if (outHi < 0) return;
        const std::int64_t inLo =
            noneBelow_ ? -1 : std::min(outHi, std::max(floorIn, low_.below(row, prefix)));
        const auto below = static_cast<Uint128>(table_.completions(row, inLo));
        out.below += below;
        if (!table_.reachable(row, inLo + 1, outHi)) return;
        if ((++visits_ & 1023) == 0) checkInterrupt(interrupt_);
        if (row + 1 == rows_) {
            lastRow(prefix, static_cast<std::size_t>(below), static_cast<std::size_t>(table_.completions(row, outHi)), out);
            return;
        }
        const std::size_t next = row + 1;
        for (const CostClass& c : classes_[row]) {
            if (c.weight > outHi) break;
            const std::int64_t certain = inLo - c.weight;
            if (!table_.reachable(next, certain + 1, outHi - c.weight)) continue;
            // The branch's completions of weight <= certain are in `below` already.
            const auto counted = static_cast<Uint128>(table_.completions(next, certain));
            const double p = prefix + c.cost;
            const std::int64_t w = weight + c.weight;
            if (Leaves::kColumns) {
                const std::vector<int>& columns = table_.columnsByCost(row);
                for (std::uint32_t k = c.first; k < c.first + c.size; ++k) {
                    path_[row] = columns[k];
                    IntervalCounts part;
                    branch(next, p, w, certain, outHi - c.weight, part);
                    out.below += part.below - counted;
                    out.inside += part.inside;
                }
            } else {
                path_[row] = table_.columnsByCost(row)[c.first];
                times_.push_back(c.size);
                IntervalCounts part;
                branch(next, p, w, certain, outHi - c.weight, part);
                times_.pop_back();
                out.below += (part.below - counted) * c.size;
                out.inside += part.inside * c.size;
            }
        }
    }

    // The last row's columns by cost from `from` (certainly at or below lo) to `to` (none
    // from there reaches hi): fl(prefix + c) is monotone in c, so they split into three runs.
    void lastRow(double prefix, std::size_t from, std::size_t to, IntervalCounts& out) {
        const std::vector<int>& columns = table_.columnsByCost(rows_ - 1);
        std::size_t k = from;
        if (!noneBelow_) {
            while (k < to && prefix + lastCosts_[k] <= lo_) ++k;
            out.below += k - from;
        }
        std::uint64_t times = 1;
        if (!Leaves::kColumns) {
            for (std::uint32_t t : times_) times *= t;
        }
        for (; k < to; ++k) {
            const double cost = prefix + lastCosts_[k];
            if (!(cost <= hi_)) break;
            ++out.inside;
            path_[rows_ - 1] = columns[k];
            (*leaves_)(path_.data(), cost, times);
        }
    }

    const WeightTable& table_;
    WeightTable::Thresholds low_, high_;
    double lo_, hi_;
    bool noneBelow_;
    std::size_t rows_;
    const std::atomic<bool>* interrupt_;
    std::vector<std::vector<CostClass>> classes_;
    std::vector<int> path_;
    std::vector<std::uint32_t> times_;  // multiplicities of the classes on the path
    std::vector<double> lastCosts_;
    std::int64_t rootOut_ = -1;
    std::uint64_t visits_ = 0;
    Leaves* leaves_ = nullptr;
    std::vector<Task>* tasks_ = nullptr;  // where nodes of splitRow_ go, while runParallel splits
    std::size_t splitRow_ = 0;
};

}  // namespace quorin
