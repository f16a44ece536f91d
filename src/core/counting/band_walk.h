// The walk of the prefix tree of a matrix against the cost order, pruned by a weight
// table: counting's own (not installed).
//
// A node of the prefix tree fixes the columns of rows 0 .. row-1; its completions are the
// ways to fill the remaining rows. The weight table says, for any node and any cost t,
// how many of its completions certainly make a cost below t and how many may make at most
// t: a node whose two counts agree is settled without a look inside; only the nodes with
// a completion too close to call (the band) are opened. TableWalk is that walk: it opens
// exactly those nodes, adds up everything else from the table's counts, splits the work
// among threads and ends in the last row, where a policy says what each configuration of
// the band counts for. Its two uses:
//
//     quorin::BandWalk walk(table, cost, key);                      // rank and count
//     quorin::Tally before = walk.runParallel(2);                   // configurations before (cost, key)
//
//     quorin::IntervalWalk<Leaves> walk(table, lo, hi, interrupt);  // select, enumeration
//     quorin::IntervalCounts n = walk.run(leaves);                  // leaves(...) for each in (lo, hi]
//
// Costs are the core's (summed in row order from +0.0), so the walks count and list
// exactly what the cost order holds. Both throw Interrupted when `interrupt` is raised
// (checked every thousand opened nodes and every thousand last rows, about a millisecond
// apart at most) and own nothing afterwards. The table must have been built for a largest cost at least the walk's.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <vector>

#include <quorin/detail/thread_pool.h>
#include <quorin/interrupt.h>
#include <quorin/weight_table.h>

namespace quorin {

// A table's count (a whole number, exact below 2^53) as a 128-bit count: by way of 64 bits
// where it fits, which compilers do in one instruction, not in a library call.
inline Uint128 wholeCount(double count) noexcept {
    return count < 18446744073709551616.0 ? Uint128{static_cast<std::uint64_t>(count)} : static_cast<Uint128>(count);
}

// A sum of counts: exact (low == high), or bounds where the table's counts are not exact.
// A sum past 128 bits marks it overflowed (and then means nothing).
struct Tally {
    Uint128 low = 0;
    Uint128 high = 0;
    bool overflowed = false;
};

// What a walk adds up: the finite configurations before its band (of cost <= lo), and
// those in it (of cost in (lo, hi]) that its policy counts as inside, or that a spent node
// budget left unwalked.
struct IntervalCounts {
    Uint128 below = 0;
    Uint128 inside = 0;
};

// The walk, for the band (lo, hi]: the thresholds of a cost `inner` (lo, or the double
// above it) count the completions of a node that certainly cost less than it as before the
// band (inner -inf: none is), those of hi prune the nodes with no completion that may
// reach it, and every configuration of cost in (lo, hi] is handed to the policy in the
// last row:
//
//     struct Policy {
//         // Whether it needs the columns; without, equal-cost columns of a row are walked
//         // once, `times` says how many configurations a call stands for, and only the
//         // last row's entry of `columns` is set.
//         static constexpr bool kColumns = true;
//         // Adds a configuration of the band to `sums` (lex: its node's, see Node).
//         void operator()(const int* columns, double cost, std::uint64_t times, int lex, IntervalCounts& sums);
//     };
//
// After `nodeBudget` opened nodes the rest of each node is counted from the table as
// inside. Every count read must be exact (the table's count at hi below 2^53).
class TableWalk {
protected:
    // Threads split the work at the nodes of this row.
    static constexpr std::size_t kSplitRow = 2;

    // A node as the walk enters it: rows 0 .. row-1 of total weight `weight` summed to
    // `prefix`; its completions of weight <= floorIn are certainly before the band (its
    // parent counted them) and none heavier than ceilOut reaches it. `lex` compares its
    // columns with a key's among equal costs (rank): -1 below (ties with the cost count),
    // 0 equal, 1 above (they do not); -1 without a key.
    struct Node {
        std::size_t row;
        double prefix;
        std::int64_t weight, floorIn, ceilOut;
        int lex;
    };
    // A node left for the threads: with the columns above it (kColumns), and how many
    // configurations each of its counts stands for.
    struct Task {
        Node node;
        std::vector<int> path;
        Uint128 times;
    };
    // The columns of one row that share a cost: a run of the row's columns by cost.
    struct CostClass {
        double cost;
        std::int32_t weight;
        std::uint32_t first;  // index into the table's columnsByCost(row)
        std::uint32_t size;
    };

    TableWalk(const WeightTable& table, double inner, double lo, double hi, std::uint64_t nodeBudget,
              const std::atomic<bool>* interrupt);

    // Adds the node's counts to `out`: those of its completions before the band from the
    // table, those of the branches that may reach the band walked (or left as tasks).
    template <class Policy>
    void expandExact(const Node& node, Policy& policy, IntervalCounts& out) {
        const std::int64_t o = std::min({node.ceilOut, rootOut_ - node.weight, outer_.reaching(node.row, node.prefix)});
        if (o < 0) return;
        const std::int64_t in = noneBelow_ ? -1 : std::min(o, std::max(node.floorIn, inner_.below(node.row, node.prefix)));
        const double below = table_.completions(node.row, in);
        out.below += wholeCount(below);
        // Every count is exact: the node holds something of the band when a completion weighs in (in, o].
        if (!table_.reachable(node.row, in + 1, o)) return;
        if (node.row + 1 == rows_) {
            const auto to = static_cast<std::size_t>(table_.completions(node.row, o));
            return lastRow(node.prefix, node.lex, static_cast<std::size_t>(below), to, policy, out);
        }
        if (!opened()) {
            out.inside += wholeCount(table_.completions(node.row, o) - below);
            return;
        }
        const std::size_t next = node.row + 1;
        const std::vector<int>& columns = table_.columnsByCost(node.row);
        for (const CostClass& c : classes_[node.row]) {
            if (c.weight > o) break;
            const Node child{next, node.prefix + c.cost, node.weight + c.weight, in - c.weight, o - c.weight, node.lex};
            if (!table_.reachable(next, child.floorIn + 1, child.ceilOut)) continue;
            // Counted already: the branch's completions of weight <= floorIn.
            const Uint128 counted = wholeCount(table_.completions(next, child.floorIn));
            const std::uint32_t each = Policy::kColumns ? 1 : c.size;  // configurations a branch stands for
            times_[next] = times_[node.row] * each;
            for (std::uint32_t k = c.first; k < c.first + c.size; k += each) {
                path_[node.row] = columns[k];
                IntervalCounts part;
                if (tasks_ != nullptr && next == kSplitRow) {
                    const auto above = static_cast<std::ptrdiff_t>(Policy::kColumns ? next : 0);
                    tasks_->push_back({child, std::vector<int>(path_.begin(), path_.begin() + above), times_[next]});
                } else {
                    expandExact(child, policy, part);
                }
                out.below += (part.below - counted) * each;
                out.inside += part.inside * each;
            }
        }
    }

    // The last row's columns by cost from `from` (certainly before the band) to `to` (none
    // from there reaches it): fl(prefix + c) is monotone in c, so they split into three
    // runs, before the band, in it (each handed to the policy) and past it.
    template <class Policy>
    void lastRow(double prefix, int lex, std::size_t from, std::size_t to, Policy& policy, IntervalCounts& out) {
        if ((++lastRows_ & 1023) == 0) checkInterrupt(interrupt_);
        std::size_t k = from;
        while (k < to && prefix + lastCosts_[k] <= lo_) ++k;
        out.below += k - from;
        const std::vector<int>& columns = table_.columnsByCost(rows_ - 1);
        for (; k < to && prefix + lastCosts_[k] <= hi_; ++k) {
            path_[rows_ - 1] = columns[k];
            policy(path_.data(), prefix + lastCosts_[k], static_cast<std::uint64_t>(times_[rows_ - 1]), lex, out);
        }
    }

    // Runs `top` (the walk from the root, which adds its own counts) with the nodes of
    // kSplitRow left as tasks, then the tasks on policies.size() threads, thread `slot`
    // handing its configurations to policies[slot]. Returns the tasks' counts, summed in
    // a fixed order so that they do not depend on the thread count.
    template <class Policy, class Top>
    IntervalCounts runSplit(std::vector<Policy>& policies, Top top) {
        std::vector<Task> tasks;
        tasks_ = &tasks;
        try {
            top();
        } catch (...) {
            tasks_ = nullptr;
            throw;
        }
        tasks_ = nullptr;
        std::vector<IntervalCounts> parts(tasks.size());
        ThreadPool pool(static_cast<unsigned>(policies.size()));
        std::vector<TableWalk> walkers(pool.size(), *this);
        pool.run(tasks.size(), [&](std::size_t k, unsigned slot) {
            TableWalk& walker = walkers[slot];
            std::copy(tasks[k].path.begin(), tasks[k].path.end(), walker.path_.begin());
            walker.times_[tasks[k].node.row] = tasks[k].times;
            walker.expandExact(tasks[k].node, policies[slot], parts[k]);
        });
        IntervalCounts sum;
        for (std::size_t k = 0; k < tasks.size(); ++k) {
            sum.below += parts[k].below * tasks[k].times;
            sum.inside += parts[k].inside * tasks[k].times;
        }
        return sum;
    }

    // Counts one more opened node; false when the node budget is spent.
    bool opened();

    const WeightTable& table_;
    WeightTable::Thresholds inner_, outer_;
    double lo_, hi_;
    bool noneBelow_;
    std::size_t rows_;
    std::uint64_t budget_;
    const std::atomic<bool>* interrupt_;
    std::uint64_t visits_ = 0;    // opened nodes, against the budget
    std::uint64_t lastRows_ = 0;  // last rows walked (each may hand out a row of configurations)
    bool cut_ = false;
    std::int64_t rootOut_ = -1;
    std::vector<std::vector<CostClass>> classes_;  // every row's, cheapest first (within the largest budget)
    std::vector<double> lastCosts_;                // the last row's costs by cost
    std::vector<int> path_;                        // the columns of the node being expanded
    std::vector<Uint128> times_;                   // per row: the configurations the node stands for
    std::vector<Task>* tasks_ = nullptr;           // where nodes of kSplitRow go, while runSplit splits
};

// Counts the finite configurations before (cost, key) in the cost order, or those of cost
// at most `cost` when key is null (key: one column per row). After `nodeBudget` opened
// nodes the rest of the band is bounded from the table instead of walked (complete() is
// then false); an exact count needs the table's count at the cost to be below 2^53.
class BandWalk : private TableWalk {
public:
    BandWalk(const WeightTable& table, double cost, const int* key, std::uint64_t nodeBudget = ~std::uint64_t{0},
             const std::atomic<bool>* interrupt = nullptr);

    Tally run();
    // run() on `threads` threads: the nodes a few rows down are walked as separate tasks
    // and their counts summed in a fixed order, so the sum does not depend on the thread
    // count. Requires an unlimited node budget (else it is run()).
    Tally runParallel(unsigned threads);
    // The count below one node: rows 0 .. row-1 of total weight `weight` summed to
    // `prefix`, `lex` as for TableWalk::Node.
    Tally visit(std::size_t row, double prefix, std::int64_t weight, int lex);

    // Whether every node of the band was opened (no bound stands in for a part of it).
    bool complete() const noexcept { return !cut_; }
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
    Tally expand(std::size_t row, double prefix, std::int64_t weight, double below, double reaching, std::int64_t out,
                 int lex);
    Tally expandKeyPath(std::size_t row, double prefix, std::int64_t weight, std::int64_t out);
    Tally lastRowTally(double prefix, int lex, std::size_t from, std::size_t to);
    Tally tallyOf(double count) const;

    const int* key_;
    bool exact_ = false;
    std::int64_t rootIn_ = -1;
    std::vector<std::vector<Child>> children_;  // per row, reused
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
class IntervalWalk : private TableWalk {
public:
    IntervalWalk(const WeightTable& table, double lo, double hi, const std::atomic<bool>* interrupt = nullptr)
        : TableWalk(table, lo, lo, hi, ~std::uint64_t{0}, interrupt) {
        if (!WeightTable::isExactCount(table.completions(0, rootOut_))) {
            throw std::length_error("quorin: too many configurations in the interval to walk exactly");
        }
    }

    // Walks the tree once, handing every configuration of (lo, hi] to `leaves`.
    IntervalCounts run(Leaves& leaves) {
        HandOut policy{&leaves};
        IntervalCounts out;
        if (rows_ == 0) {
            // The one, empty, configuration costs 0.
            if (0.0 <= lo_) {
                out.below = 1;
            } else if (0.0 <= hi_) {
                policy(path_.data(), 0.0, 1, -1, out);
            }
        } else if (table_.hasFiniteConfigurations()) {
            expandExact(root(), policy, out);
        }
        return out;
    }

    // run() on perThread.size() threads (at least one), each handing its leaves to its own
    // Leaves: the nodes a few rows down are walked as separate tasks and their counts
    // summed in a fixed order, so the counts do not depend on the thread count (which
    // Leaves gets a leaf does).
    IntervalCounts runParallel(std::vector<Leaves>& perThread) {
        if (perThread.size() <= 1 || rows_ < kSplitRow + 2 || !table_.hasFiniteConfigurations()) {
            return run(perThread.at(0));
        }
        std::vector<HandOut> policies;
        for (Leaves& leaves : perThread) policies.push_back({&leaves});
        IntervalCounts out;
        const IntervalCounts rest = runSplit(policies, [&] { expandExact(root(), policies[0], out); });
        out.below += rest.below;
        out.inside += rest.inside;
        return out;
    }

private:
    // The policy: every configuration of the band is inside, and handed to the leaves.
    struct HandOut {
        static constexpr bool kColumns = Leaves::kColumns;
        Leaves* leaves;
        void operator()(const int* columns, double cost, std::uint64_t times, int, IntervalCounts& sums) const {
            ++sums.inside;
            (*leaves)(columns, cost, times);
        }
    };

    Node root() const { return {0, 0.0, 0, -1, rootOut_, -1}; }
};

}  // namespace quorin
