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
#include <cstdint>
#include <iosfwd>
#include <optional>
#include <utility>
#include <vector>

#include "cost_matrix.h"
#include "detail/binary_heap.h"
#include "detail/id_hash_table.h"
#include "detail/record_store.h"

namespace quorin {

// A search node written out: entry i is the rank (0 = cheapest) of the chosen column
// within row i's cost order, so the chosen column is order[i][r[i]]. Two nodes are equal
// when all entries are. The matrix with no rows has the empty node.
using RankVector = std::vector<int>;

// A node placed in the search, by the order of placing: the root is 0, the n-th node
// placed is n. Every node is stored once, in State::nodes; everything else holds ids.
using NodeId = std::uint32_t;
constexpr NodeId kNoNode = 0xffffffffu;

// Stands in a sorted row list for a row that is at its last rank and cannot move. In the
// narrow lists of the successor cache, the largest value of the list's entry type.
constexpr int kExhaustedRowMarker = 2147483647;

// Delta of a row at its last rank: the largest finite double.
constexpr double kLastRankDelta = 1.7976931348623157e308;

// Hash of a node (boost-style combine of 32-bit entries into a 64-bit seed that starts at
// the length). Deterministic: the empty node hashes to 0, [0] to 0x9e3779f8.
struct vector_hash {
    std::size_t operator()(const RankVector& ranks) const noexcept { return hashRanks(ranks.data(), ranks.size()); }

    // The same hash of `count` ranks of any integer type.
    template <class Rank>
    static std::uint64_t hashRanks(const Rank* ranks, std::size_t count) noexcept {
        return combineRange(std::uint64_t{count}, ranks, 0, count);
    }

    // One step of the hash: the seed after one more entry.
    static std::uint64_t combine(std::uint64_t seed, std::uint32_t rank) noexcept {
        // 32-bit wrap, then zero extension: the combine is defined on 32-bit patterns.
        const std::uint64_t mixed = static_cast<std::uint32_t>(rank + 0x9e3779b9u);
        return seed ^ (mixed + (seed << 6) + (seed >> 2));
    }

    // The seed after entries ranks[from .. to).
    template <class Rank>
    static std::uint64_t combineRange(std::uint64_t seed, const Rank* ranks, std::size_t from, std::size_t to) noexcept {
        std::size_t i = from;
        for (; i + 4 <= to; i += 4) {
            seed = combine(seed, static_cast<std::uint32_t>(ranks[i]));
            seed = combine(seed, static_cast<std::uint32_t>(ranks[i + 1]));
            seed = combine(seed, static_cast<std::uint32_t>(ranks[i + 2]));
            seed = combine(seed, static_cast<std::uint32_t>(ranks[i + 3]));
        }
        for (; i < to; ++i) seed = combine(seed, static_cast<std::uint32_t>(ranks[i]));
        return seed;
    }
};

// A frontier entry: `parent`'s next child is due; it is `child`, already placed, and
// costs `cost`. The entry made at construction is the exception: it carries the root,
// no child (kNoNode) and the root's own cost.
struct assignment {
    NodeId parent;
    NodeId child;
    double cost;

    friend bool operator==(const assignment& a, const assignment& b) noexcept {
        return a.parent == b.parent && a.child == b.child &&
               (a.cost == b.cost || (a.cost != a.cost && b.cost != b.cost));
    }
};

// Lower priority = greater cost, so the frontier's top is an entry of least cost.
struct CompareAssignment {
    bool operator()(const assignment& a, const assignment& b) const noexcept { return a.cost > b.cost; }
};

using Frontier = BinaryHeap<assignment, CompareAssignment>;

// For every row i and rank r, row after row, the column order[i][r] and its cost: a
// rank's column or cost in one lookup. Derived from `costs` and `order`.
struct RankTable {
    std::vector<double> cost;            // row i's ranks start at cost[rowStart[i]]
    std::vector<int> column;             // laid out like `cost`
    std::vector<std::size_t> rowStart;   // one entry per row, and one past the last row

    std::size_t lastRank(std::size_t row) const noexcept { return rowStart[row + 1] - rowStart[row] - 1; }
};

// Memoised sorted row lists, one per node whose list was computed with the cache on.
struct SuccessorCache {
    // One record per cached list: the row indices, then one marker per row at its last
    // rank, in the narrowest width that holds every row index and the marker; then 1 if
    // the listed rows' deltas rise strictly (a child's list can then be derived from it
    // by one binary search), else 0.
    RecordStore lists;
    // Per node id: 1 + the index of its list in `lists`, or 0 when it has none. Empty
    // while the cache is off.
    RecordStore listOfNode;

    friend bool operator==(const SuccessorCache& a, const SuccessorCache& b) noexcept {
        return a.lists == b.lists && a.listOfNode == b.listOfNode;
    }
};

// Everything an enumeration knows. Invariants from construction on:
// - `order` and `costs` have one row per matrix row; order[i] is a permutation of row i's
//   columns by ascending cost; neither changes after construction.
// - `nodes` holds every node placed in the search, once; node ids index it. Ranks are
//   stored in the narrowest unsigned width that holds every row's last rank.
// - `visited` holds exactly the ids of `nodes` (with their fingerprints when nodes are
//   long enough that rehashing them would cost more); `expandCount` has one counter per node,
//   at most rows(); while the cache is on, `successorCache.listOfNode` has one record per
//   node and every node of `history` has its list.
// - `history` holds every configuration found, in order: the first `emittedCount` were
//   handed out by the search, and while the search goes on it ends with the one it
//   hands out next (then history.size() == emittedCount + 1, else == emittedCount).
//   Nothing is ever removed from `nodes`, `visited`, `expandCount`, `successorCache` or
//   `history`.
// - 0 <= replayCount <= emittedCount: the last replayCount configurations the search
//   handed out were put back, and are handed out again, from `history`, before it goes on.
// - the frontier holds at most one entry per node of `history`.
struct State {
    std::vector<std::vector<int>> order;    // row i's columns by ascending cost
    std::vector<std::vector<double>> costs;  // costs[i][j] of the matrix (cost_matrix.h)
    std::int64_t emittedCount = 0;           // search steps run so far
    std::int64_t replayCount = 0;            // configurations put back, to hand out again
    RecordStore nodes;                       // the ranks of every node, by id
    IdHashTable visited;                     // node ids, looked up by vector_hash of the ranks
    RecordStore expandCount;                 // per node id: children consumed so far
    SuccessorCache successorCache;           // per node id: its sorted row list
    std::vector<NodeId> history;             // configurations found, in order
    Frontier frontier;                       // pending entries, least cost on top
    RankTable rankTable;                     // derived from `costs` and `order`

    // Costs (those of cost_matrix.h, for either kind of matrix), per-row orders and the
    // root (every row at rank 0) as node 0, in `visited`, `expandCount` and `history`, with
    // the root's entry on the frontier. Throws std::invalid_argument as checkProbabilities
    // (cost_matrix.h) does: for an empty row ("probs[i] is empty") or a value the matrix's
    // kind refuses (for probabilities, "probs[i][j] is V: probabilities must be finite and
    // non-negative").
    explicit State(ProbabilityMatrix probs);

    std::size_t rows() const noexcept { return costs.size(); }
    // Bytes per stored rank, and per row index or counter.
    unsigned rankBytes() const noexcept { return nodes.entryBytes(); }
    unsigned rowBytes() const noexcept { return expandCount.entryBytes(); }

    // Sum over rows, in row order from +0.0, of the cost of the column `ranks` picks.
    double configurationCost(const RankVector& ranks) const;

    // The ranks of a placed node.
    RankVector ranksOf(NodeId node) const;
    // The id of a placed node, or kNoNode.
    NodeId find(const RankVector& ranks) const;
    // The node's counter in expandCount.
    std::size_t counterOf(NodeId node) const noexcept;
    // The node's cached sorted row list (markers as kExhaustedRowMarker), if it has one.
    std::optional<std::vector<int>> cachedRowList(NodeId node) const;

    friend bool operator==(const State& a, const State& b);
    friend bool operator!=(const State& a, const State& b) { return !(a == b); }

private:
    // Empty, for the loader of saved states, which fills and checks every member.
    friend class SavedStateReader;
    State() = default;
};

// The rank table of `costs` ordered by `order`.
RankTable makeRankTable(const std::vector<std::vector<double>>& costs, const std::vector<std::vector<int>>& order);

// A row's column indices sorted by ascending cost with the project's introsort.
std::vector<int> sortedColumns(const std::vector<double>& rowCosts);

// How much the cost grows when `row` of `node` moves to its next rank; kLastRankDelta
// when the row is at its last rank.
double rowDelta(const State& state, const RankVector& node, std::size_t row);

// The node's rows by ascending rowDelta (introsort, ties as it leaves them), with every
// row at its last rank taken out and one kExhaustedRowMarker per such row appended.
std::vector<int> sortedRowList(const State& state, const RankVector& node);

// The sorted row list of `child`, a node whose `movedRow` is one rank above its parent's,
// derived from the parent's list: by one binary search when the parent's listed deltas
// rise strictly, else by a linear merge. It succeeds only where the rows that can still
// move have pairwise different deltas, none NaN: then only one order is sorted and
// sortedRowList yields exactly it. Returns false otherwise (ties are left to the sort).
bool childRowList(const State& state, const RankVector& child, std::size_t movedRow,
                  const std::vector<int>& parentList, std::vector<int>& list);

// The enumerator. `next` (or `currentColumns` then `advance`) hands out configurations;
// `putBack` takes the last ones back, to be handed out again.
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
    RankVector current() const { return state.ranksOf(due()); }

    // Writes the column indices of the configuration to hand out next to
    // out[0 .. rows()). Requires !exhausted.
    void currentColumns(int* out) const noexcept;

    // Copies the next configuration's column indices into `columns` and advances; returns
    // false, leaving `columns` alone, once every configuration has been handed out.
    bool next(std::vector<int>& columns);

    // Hands out up to `count` configurations: writes their column indices row-major to
    // columns[0 .. count * rows()) and, unless `costs` is null, their costs (those of
    // configurationCost, bit for bit) to costs[0 .. count); returns how many it wrote,
    // fewer than `count` only once every configuration has been handed out. All or
    // nothing: if it throws (as advance() does), it puts back those it had passed, so
    // none of them counts as handed out.
    std::size_t next(std::size_t count, int* columns, double* costs);

    // Configurations handed out so far, those put back not counted.
    std::int64_t handedOut() const noexcept { return state.emittedCount - state.replayCount; }

    // Takes back the last `count` configurations handed out: the following calls hand
    // them out again, in the same order, before anything new. Throws
    // std::invalid_argument, changing nothing, if count > handedOut().
    void putBack(std::size_t count);

    // The child of `node` at the node's counter, or nothing when the node has no further
    // child. Changes nothing.
    std::optional<RankVector> nextBest(NodeId node) const;

    // Moves past the configuration to hand out next: takes it off the ones put back, or
    // searches on (appends the next configuration to history and refills the frontier,
    // or finds there is none); sets `exhausted` when nothing is left. Requires
    // !exhausted. All or nothing: if it throws (std::bad_alloc, or std::length_error past
    // 2^32 * 3/4 nodes) the enumerator is as it was.
    void advance();

    // Saving and resuming (format and checks: src/saved_state.cpp). A loaded enumerator
    // continues exactly where the saved one stood.
    // The number of bytes save() writes.
    std::size_t savedSize() const;
    // The complete state, as bytes.
    std::vector<unsigned char> save() const;
    // The same bytes, written to out[0 .. savedSize()).
    void save(unsigned char* out) const;
    // The same bytes, written to `out` (whose error state reports a failed write).
    void save(std::ostream& out) const;
    // The enumerator saved in data[0 .. size); std::invalid_argument says what is wrong.
    static Quorin load(const unsigned char* data, std::size_t size);
    // The enumerator saved next in `in`, read up to its last byte; as load(data, size).
    static Quorin load(std::istream& in);

private:
    friend class SavedStateReader;
    // An enumerator over a state the loader has checked.
    Quorin(State state, bool cacheAssignments, bool exhausted);
    void sizeScratch();

    // The history entry of the configuration to hand out next. Requires !exhausted.
    NodeId due() const noexcept { return state.history[static_cast<std::size_t>(state.emittedCount - state.replayCount)]; }
    // advance() when configurations are put back: hands the first of them out.
    void replay() noexcept;

    // One advance for one width of stored ranks and of row indices.
    template <class Rank, class Row>
    friend class Step;

    // Makes room for everything the next kReservedSteps advances can add, so that the
    // steps themselves cannot fail.
    void reserveForSteps();

    // Advances that fit in the room reserved. Copies and moves start from none: their
    // containers hold only what they need.
    struct ReservedSteps {
        std::size_t count = 0;
        ReservedSteps() = default;
        ReservedSteps(const ReservedSteps&) noexcept {}
        ReservedSteps& operator=(const ReservedSteps&) noexcept {
            count = 0;
            return *this;
        }
    };
    ReservedSteps reservedSteps_;

    void cacheRootList();

    // Reused buffers, sized at construction: they hold no enumeration data. The byte
    // buffers are read and written only as the step's rank or row type.
    struct Scratch {
        std::vector<unsigned char> parentCandidate, childCandidate;  // a node's ranks
        std::vector<std::uint64_t> parentPrefix, childPrefix;        // hash after each row
        std::vector<double> parentCostPrefix, childCostPrefix;       // cost after each row
        std::vector<unsigned char> parentList, childList;            // row lists
        std::vector<double> deltas;
    };
    Scratch scratch_;
};

}  // namespace quorin
