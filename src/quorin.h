// quorin: lazy best-first enumeration of the joint configurations of independent
// categorical variables.
//
// Row i of a probability matrix holds the probabilities of variable i's values. A
// configuration picks one column in every row and costs the sum of -ln(p) of the picks.
// `Quorin` hands out every configuration exactly once, cheapest first, with a fixed order
// among equal costs, computing only as far as each request needs:
//
//     quorin::Quorin q({{0.2, 0.8}, {0.1, 0.9}});
//     std::vector<int> columns;
//     while (q.next(columns)) { /* columns[i] is the chosen column of row i */ }
//
// An enumerator is used by one thread at a time; copies are deep and share nothing.
#pragma once

#include <cstddef>
#include <optional>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "binary_heap.h"

namespace quorin {

// One search node: entry i is the rank (0 = cheapest) of the chosen column within row
// i's cost order, so the chosen column is order[i][r[i]]. Two nodes are equal when all
// entries are. The matrix with no rows has the empty node.
using RankVector = std::vector<int>;

// Probabilities, row by row; rows may differ in length.
using ProbabilityMatrix = std::vector<std::vector<double>>;

// Stands in a sorted row list for a row that is at its last rank and cannot move.
constexpr int kExhaustedRowMarker = 2147483647;

// Delta of a row at its last rank: the largest finite double.
constexpr double kLastRankDelta = 1.7976931348623157e308;

// Hash of a RankVector (boost-style combine of 32-bit entries into a 64-bit seed that
// starts at the length). Deterministic: the empty vector hashes to 0, [0] to 0x9e3779f8.
struct vector_hash {
    std::size_t operator()(const RankVector& ranks) const;
};

// A frontier entry: `parent`'s next child is due and costs `cost`. The entry made at
// construction is the exception: it carries the root and the root's own cost.
struct assignment {
    RankVector parent;
    double cost;
};

// Lower priority = greater cost, so the frontier's top is an entry of least cost.
struct CompareAssignment {
    bool operator()(const assignment& a, const assignment& b) const noexcept {
        return a.cost > b.cost;
    }
};

using Frontier = BinaryHeap<assignment, CompareAssignment>;

// Everything an enumeration knows. Invariants from construction on:
// - `order` and `costs` have one row per matrix row; order[i] is a permutation of row i's
//   columns by ascending cost; neither changes after construction.
// - every RankVector held anywhere has one entry per row, each a valid rank of its row.
// - `history` ends with the configuration to hand out next; nothing is ever removed from
//   `visited`, `expandCount`, `successorCache` or `history`.
// - the frontier holds at most one entry per node of `history`.
struct State {
    std::vector<std::vector<int>> order;    // row i's columns by ascending cost
    std::vector<std::vector<double>> costs;  // costs[i][j] = -ln(probs[i][j])
    int emittedCount = 0;                    // advance steps run so far
    std::unordered_set<RankVector, vector_hash> visited;  // nodes placed in the search
    std::unordered_map<RankVector, int, vector_hash> expandCount;  // children consumed
    std::unordered_map<RankVector, std::vector<int>, vector_hash> successorCache;  // row lists
    std::vector<RankVector> history;  // configurations found, in order
    Frontier frontier;                // pending entries, least cost on top

    // Costs, per-row orders and the root (every row at rank 0) in `visited`, `expandCount`
    // and `history`, with the root's entry on the frontier. Throws std::invalid_argument
    // for an empty row ("probs[i] is empty") or a NaN, negative or infinite probability
    // ("probs[i][j] is V: probabilities must be finite and non-negative").
    explicit State(ProbabilityMatrix probs);

    std::size_t rows() const noexcept { return costs.size(); }

    // Sum over rows, in row order from +0.0, of the cost of the column `ranks` picks.
    double configurationCost(const RankVector& ranks) const;
};

// Throws std::invalid_argument, as State's constructor documents, unless every row has
// at least one entry and every probability is finite and non-negative.
void checkProbabilities(const ProbabilityMatrix& probs);

// A row's column indices sorted by ascending cost with the project's introsort.
std::vector<int> sortedColumns(const std::vector<double>& rowCosts);

// How much the cost grows when `row` of `node` moves to its next rank; kLastRankDelta
// when the row is at its last rank.
double rowDelta(const State& state, const RankVector& node, std::size_t row);

// The node's rows by ascending rowDelta (introsort, ties as it leaves them), with every
// row at its last rank taken out and one kExhaustedRowMarker per such row appended.
// `list` receives the result; `deltas` is scratch space.
void sortedRowList(const State& state, const RankVector& node, std::vector<int>& list,
                   std::vector<double>& deltas);
std::vector<int> sortedRowList(const State& state, const RankVector& node);

// The sorted row list of `child`, a node whose `movedRow` is one rank above its parent's,
// derived from the parent's list in linear time. It succeeds only where the rows that can
// still move have pairwise different deltas, none NaN: then only one order is sorted and
// sortedRowList yields exactly it. Returns false otherwise (ties are left to the sort).
bool childRowList(const State& state, const RankVector& child, std::size_t movedRow,
                  const std::vector<int>& parentList, std::vector<int>& list);

// The enumerator. `next` (or `current` then `advance`) hands out configurations.
class Quorin {
public:
    State state;
    bool cacheAssignments;   // memoise each node's sorted row list in successorCache
    bool exhausted = false;  // every configuration has been handed out

    // Builds the enumeration of `probs`; see State for what is rejected. The flag changes
    // speed and memory only, never results.
    explicit Quorin(ProbabilityMatrix probs, bool cacheAssignments = true);

    std::size_t rows() const noexcept { return state.rows(); }

    // The configuration to hand out next, as ranks. Requires !exhausted.
    const RankVector& current() const noexcept { return state.history.back(); }

    // Writes current()'s column indices to out[0 .. rows()). Requires !exhausted.
    void currentColumns(int* out) const noexcept;

    // Copies the next configuration's column indices into `columns` and advances; returns
    // false, leaving `columns` alone, once every configuration has been handed out.
    bool next(std::vector<int>& columns);

    // The child of `node` at the node's counter in expandCount (entering the node with 0
    // if absent), or nothing when the node has no further child. Never moves the counter.
    std::optional<RankVector> nextBest(const RankVector& node);

    // Files `node`'s next child that is not yet visited, if any: marks it visited and
    // pushes (node, cost of that child); visited children passed over are counted.
    void addNextBest(const RankVector& node);

    // Appends the next configuration to history and refills the frontier, or sets
    // `exhausted` when there is none. Requires !exhausted.
    void advance();

private:
    // The node's sorted row list: cached (computed and stored on a miss) when the cache is
    // on, otherwise computed into scratch space that the next call overwrites.
    const std::vector<int>& rowListOf(const RankVector& node);

    // rowListOf for `child`, `movedRow` one rank above its parent's whose list is given.
    const std::vector<int>& childRowListOf(const RankVector& child, std::size_t movedRow,
                                           const std::vector<int>& parentList);

    // addNextBest on a node whose counter and row list the caller already holds; the entry
    // takes its parent from `movableNode` (moved) when given, else copies `node`.
    void fileNextChild(const RankVector& node, int& counter, const std::vector<int>& rowList,
                       RankVector* movableNode);

    // Reused buffers: they hold no enumeration data.
    std::vector<int> scratchRowList_;
    std::vector<int> scratchChildRowList_;
    std::vector<double> scratchDeltas_;
    RankVector scratchChild_;
};

}  // namespace quorin
