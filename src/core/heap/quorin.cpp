#include <quorin/quorin.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <limits>
#include <numeric>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>

#include <quorin/detail/introsort.h>

#include "heap/core_helpers.h"

namespace quorin {
namespace {

using detail::copyRanks;
using detail::costOf;
using detail::deltaAt;
using detail::markerOf;
using detail::prefetch;
using detail::sameRanks;
using detail::withWidth;

// The node's rows by ascending delta, then a marker for each row at its last rank.
// Returns whether the listed rows' deltas rise strictly.
template <class Rank, class Row>
bool sortRowsInto(const RankTable& table, const Rank* node, std::size_t rows, Row* list, double* deltas) {
    for (std::size_t row = 0; row < rows; ++row) deltas[row] = deltaAt(table, row, node[row]);
    for (std::size_t i = 0; i < rows; ++i) list[i] = static_cast<Row>(i);
    introsort(list, list + rows, [deltas](Row a, Row b) { return deltas[a] < deltas[b]; });
    // Rows at their last rank go to the end as markers; the others keep their sorted order,
    // so rows behind them (a zero-probability step) still get their turn.
    std::size_t kept = 0;
    for (std::size_t i = 0; i < rows; ++i) {
        const Row row = list[i];
        if (static_cast<std::size_t>(node[row]) != table.lastRank(row)) list[kept++] = row;
    }
    std::fill(list + kept, list + rows, markerOf<Row>());
    for (std::size_t i = 1; i < kept; ++i) {
        if (!(deltas[list[i - 1]] < deltas[list[i]])) return false;
    }
    return true;
}

// The child's list merged from its parent's in one pass, while the deltas rise strictly:
// then it is the only sorted order. Returns false (list unspecified) on any tie or NaN.
template <class Rank, class Row>
bool deriveChildList(const RankTable& table, const Rank* child, std::size_t rows, std::size_t movedRow,
                     const Row* parentList, Row* list) {
    const bool movedAtLastRank = static_cast<std::size_t>(child[movedRow]) == table.lastRank(movedRow);
    const double movedDelta = movedAtLastRank ? 0.0 : deltaAt(table, movedRow, child[movedRow]);
    bool movedPlaced = movedAtLastRank;
    std::size_t count = 0;
    double previous = 0.0;
    auto append = [&](std::size_t row, double delta) {
        if (count != 0 && !(previous < delta)) return false;
        list[count++] = static_cast<Row>(row);
        previous = delta;
        return true;
    };
    for (std::size_t i = 0; i < rows; ++i) {
        const Row row = parentList[i];
        if (row == markerOf<Row>()) break;
        if (static_cast<std::size_t>(row) == movedRow) continue;
        const double delta = deltaAt(table, row, child[row]);
        if (!movedPlaced && !(delta < movedDelta)) {
            if (!append(movedRow, movedDelta)) return false;
            movedPlaced = true;
        }
        if (!append(row, delta)) return false;
    }
    if (!movedPlaced && !append(movedRow, movedDelta)) return false;
    std::fill(list + count, list + rows, markerOf<Row>());
    return true;
}

// deriveChildList for a parent list whose deltas rise strictly, in logarithmic time: the
// moved row, at `movedAt` in the parent's list, is taken out and put back where its new
// delta belongs, found by binary search. Same result and same refusals.
template <class Rank, class Row>
bool moveRowInList(const RankTable& table, const Rank* child, std::size_t rows, std::size_t movedRow,
                   std::size_t movedAt, const Row* parentList, Row* list) {
    // Markers fill the end of a list: the parent lists `listed` rows.
    std::size_t listed = movedAt + 1, unlisted = rows;
    while (listed < unlisted) {
        const std::size_t mid = listed + (unlisted - listed) / 2;
        if (parentList[mid] == markerOf<Row>()) unlisted = mid;
        else listed = mid + 1;
    }
    // The other rows keep their order: positions 0 .. others - 1 of the parent's list
    // without the moved row.
    const std::size_t others = listed - 1;
    auto other = [&](std::size_t i) { return parentList[i < movedAt ? i : i + 1]; };
    auto deltaOfOther = [&](std::size_t i) { return deltaAt(table, other(i), child[other(i)]); };
    std::size_t place = others;  // the moved row's new position; others = it cannot move on
    if (static_cast<std::size_t>(child[movedRow]) != table.lastRank(movedRow)) {
        const double movedDelta = deltaAt(table, movedRow, child[movedRow]);
        if (others != 0 && movedDelta != movedDelta) return false;
        std::size_t low = 0, high = others;  // first other whose delta is not below the moved one's
        while (low < high) {
            const std::size_t mid = low + (high - low) / 2;
            if (deltaOfOther(mid) < movedDelta) low = mid + 1;
            else high = mid;
        }
        if (low < others && !(movedDelta < deltaOfOther(low))) return false;
        place = low;
    }
    // Copies others [from, to) to list[at ...] in at most two pieces.
    auto copyOthers = [&](std::size_t from, std::size_t to, std::size_t at) {
        const std::size_t split = std::min(std::max(from, movedAt), to);
        std::copy(parentList + from, parentList + split, list + at);
        std::copy(parentList + split + 1, parentList + to + 1, list + at + (split - from));
    };
    const bool stays = static_cast<std::size_t>(child[movedRow]) != table.lastRank(movedRow);
    copyOthers(0, place, 0);
    if (stays) list[place] = static_cast<Row>(movedRow);
    copyOthers(place, others, place + (stays ? 1 : 0));
    const std::size_t out = others + (stays ? 1 : 0);
    std::fill(list + out, list + rows, markerOf<Row>());
    return true;
}

template <class To, class From>
std::vector<To> convertRanks(const From* ranks, std::size_t count) {
    return std::vector<To>(ranks, ranks + count);
}

// Writes the columns of the node's ranks to out[0 .. rows) and returns its cost, summed
// as configurationCost sums it.
template <class Rank>
double writeColumns(const RankTable& table, const Rank* ranks, std::size_t rows, int* out) noexcept {
    const int* const column = table.column.data();
    const double* const cost = table.cost.data();
    const std::size_t* const rowStart = table.rowStart.data();
    double sum = 0.0;
    for (std::size_t i = 0; i < rows; ++i) {
        const std::size_t at = rowStart[i] + ranks[i];
        out[i] = column[at];
        sum += cost[at];
    }
    return sum;
}

}  // namespace

std::vector<int> sortedColumns(const std::vector<double>& rowCosts) {
    std::vector<int> columns(rowCosts.size());
    std::iota(columns.begin(), columns.end(), 0);
    introsort(columns.begin(), columns.end(), [&rowCosts](int a, int b) { return rowCosts[a] < rowCosts[b]; });
    return columns;
}

State::State(ProbabilityMatrix probs) {
    checkProbabilities(probs);
    std::size_t maxRank = 0;
    for (const std::vector<double>& row : probs) maxRank = std::max(maxRank, row.size() - 1);
    // Ranks and column indices are ints; row indices, counters and the marker 32-bit.
    if (maxRank >= static_cast<std::size_t>(INT_MAX)) throw std::length_error("quorin: a row has more than 2^31 - 1 entries");
    if (probs.size() >= std::size_t{0xffffffffu}) throw std::length_error("quorin: more than 2^32 - 2 rows");

    costs.resize(probs.size());
    order.reserve(probs.size());
    for (std::size_t i = 0; i < probs.size(); ++i) {
        costs[i].resize(probs[i].size());
        quorin::rowCosts(probs, i, costs[i].data());
    }
    for (const std::vector<double>& rowCosts : costs) order.push_back(sortedColumns(rowCosts));

    rankTable = makeRankTable(costs, order);

    const unsigned rowWidth = RecordStore::entryBytesFor(rows());  // counters reach rows()
    nodes = RecordStore(rows(), RecordStore::entryBytesFor(maxRank));
    visited = IdHashTable(detail::keepsFingerprints(rows(), nodes.entryBytes()));
    expandCount = RecordStore(1, rowWidth);
    successorCache.lists = RecordStore(rows() + 1, rowWidth);
    successorCache.listOfNode = RecordStore(1, 4);

    nodes.reserve(1);
    expandCount.reserve(1);
    withWidth(rankBytes(), [&](auto rankType) {
        using Rank = decltype(rankType);
        const std::vector<Rank> root(rows(), 0);
        visited.reserve(1, [](NodeId) { return std::uint64_t{0}; });
        visited.findOrInsert(vector_hash::hashRanks(root.data(), rows()), [](NodeId) { return false; });
        nodes.append(root.data());
    });
    withWidth(rowBytes(), [&](auto rowType) { *expandCount.record<decltype(rowType)>(expandCount.append()) = 0; });
    history.push_back(0);
    frontier.push(assignment{0, kNoNode, configurationCost(RankVector(rows(), 0))});
}

RankTable makeRankTable(const std::vector<std::vector<double>>& costs, const std::vector<std::vector<int>>& order) {
    RankTable table;
    table.rowStart.reserve(costs.size() + 1);
    table.rowStart.push_back(0);
    for (std::size_t i = 0; i < costs.size(); ++i) {
        for (int column : order[i]) {
            table.cost.push_back(costs[i][column]);
            table.column.push_back(column);
        }
        table.rowStart.push_back(table.cost.size());
    }
    return table;
}

double State::configurationCost(const RankVector& ranks) const { return costOf(rankTable, ranks.data(), ranks.size()); }

RankVector State::ranksOf(NodeId node) const {
    RankVector ranks;
    withWidth(rankBytes(), [&](auto rankType) {
        ranks = convertRanks<int>(nodes.record<decltype(rankType)>(node), rows());
    });
    return ranks;
}

NodeId State::find(const RankVector& ranks) const {
    if (ranks.size() != rows()) return kNoNode;
    for (std::size_t i = 0; i < rows(); ++i) {
        if (ranks[i] < 0 || static_cast<std::size_t>(ranks[i]) > rankTable.lastRank(i)) return kNoNode;
    }
    NodeId found = kNoNode;
    withWidth(rankBytes(), [&](auto rankType) {
        using Rank = decltype(rankType);
        const std::vector<Rank> narrow = convertRanks<Rank>(ranks.data(), ranks.size());
        found = visited.find(vector_hash::hashRanks(narrow.data(), rows()), [&](NodeId id) {
            return std::equal(narrow.begin(), narrow.end(), nodes.record<Rank>(id));
        });
    });
    return found;
}

std::size_t State::counterOf(NodeId node) const noexcept {
    std::size_t counter = 0;
    withWidth(rowBytes(), [&](auto rowType) { counter = *expandCount.record<decltype(rowType)>(node); });
    return counter;
}

std::optional<std::vector<int>> State::cachedRowList(NodeId node) const {
    if (node >= successorCache.listOfNode.size()) return std::nullopt;
    const std::uint32_t listIndex = *successorCache.listOfNode.record<std::uint32_t>(node);
    if (listIndex == 0) return std::nullopt;
    std::vector<int> list;
    withWidth(rowBytes(), [&](auto rowType) {
        using Row = decltype(rowType);
        const Row* narrow = successorCache.lists.record<Row>(listIndex - 1);
        for (std::size_t i = 0; i < rows(); ++i) {
            list.push_back(narrow[i] == markerOf<Row>() ? kExhaustedRowMarker : static_cast<int>(narrow[i]));
        }
    });
    return list;
}

bool operator==(const State& a, const State& b) {
    return a.order == b.order && a.costs == b.costs && a.emittedCount == b.emittedCount &&
           a.replayCount == b.replayCount && a.nodes == b.nodes &&
           a.visited == b.visited && a.expandCount == b.expandCount && a.successorCache == b.successorCache &&
           a.history == b.history && a.frontier == b.frontier;
}

double rowDelta(const State& state, const RankVector& node, std::size_t row) {
    return deltaAt(state.rankTable, row, static_cast<std::size_t>(node[row]));
}

std::vector<int> sortedRowList(const State& state, const RankVector& node) {
    std::vector<int> list(state.rows());
    std::vector<double> deltas(state.rows());
    sortRowsInto(state.rankTable, node.data(), state.rows(), list.data(), deltas.data());
    return list;
}

bool childRowList(const State& state, const RankVector& child, std::size_t movedRow,
                  const std::vector<int>& parentList, std::vector<int>& list) {
    list.assign(state.rows(), 0);
    // The same choice a step makes: the binary search where the parent's listed deltas
    // rise strictly, else the merge.
    RankVector parent = child;
    --parent[movedRow];
    bool strict = true;
    for (std::size_t i = 1; i < parentList.size() && parentList[i] != kExhaustedRowMarker; ++i) {
        strict = strict && rowDelta(state, parent, parentList[i - 1]) < rowDelta(state, parent, parentList[i]);
    }
    const auto movedAt = static_cast<std::size_t>(
        std::find(parentList.begin(), parentList.end(), static_cast<int>(movedRow)) - parentList.begin());
    if (strict && movedAt < parentList.size()) {
        return moveRowInList(state.rankTable, child.data(), state.rows(), movedRow, movedAt, parentList.data(), list.data());
    }
    return deriveChildList(state.rankTable, child.data(), state.rows(), movedRow, parentList.data(), list.data());
}

Quorin::Quorin(ProbabilityMatrix probs, bool cacheAssignments)
    : state(std::move(probs)), cacheAssignments(cacheAssignments) {
    sizeScratch();
    if (cacheAssignments) cacheRootList();
}

Quorin::Quorin(State state, bool cacheAssignments, bool exhausted)
    : state(std::move(state)), cacheAssignments(cacheAssignments), exhausted(exhausted) {
    sizeScratch();
}

void Quorin::sizeScratch() {
    const std::size_t rows = state.rows();
    scratch_.parentCandidate.resize(rows * sizeof(std::uint32_t));
    scratch_.childCandidate.resize(rows * sizeof(std::uint32_t));
    scratch_.parentList.resize((rows + 1) * sizeof(std::uint32_t));
    scratch_.childList.resize((rows + 1) * sizeof(std::uint32_t));
    scratch_.parentPrefix.resize(rows + 1);
    scratch_.childPrefix.resize(rows + 1);
    scratch_.parentCostPrefix.resize(rows + 1);
    scratch_.childCostPrefix.resize(rows + 1);
    scratch_.deltas.resize(rows);
}

void Quorin::cacheRootList() {
    SuccessorCache& cache = state.successorCache;
    cache.lists.reserve(1);
    cache.listOfNode.reserve(1);
    withWidth(state.rankBytes(), [&](auto rankType) {
        withWidth(state.rowBytes(), [&](auto rowType) {
            using Row = decltype(rowType);
            Row* list = cache.lists.record<Row>(cache.lists.append());
            list[rows()] = sortRowsInto(state.rankTable, state.nodes.record<decltype(rankType)>(0), rows(), list,
                                        scratch_.deltas.data());
        });
    });
    *cache.listOfNode.record<std::uint32_t>(cache.listOfNode.append()) = 1;
}

void Quorin::currentColumns(int* out) const noexcept {
    withWidth(state.rankBytes(), [&](auto rankType) {
        writeColumns(state.rankTable, state.nodes.record<decltype(rankType)>(due()), rows(), out);
    });
}

bool Quorin::next(std::vector<int>& columns) {
    if (exhausted) return false;
    columns.resize(rows());
    currentColumns(columns.data());
    advance();
    return true;
}

void Quorin::putBack(std::size_t count) {
    if (count > static_cast<std::uint64_t>(handedOut())) {
        throw std::invalid_argument("quorin: cannot put back " + std::to_string(count) + " configurations, " +
                                    std::to_string(handedOut()) + " are handed out");
    }
    if (count == 0) return;
    state.replayCount += static_cast<std::int64_t>(count);
    exhausted = false;
}

void Quorin::replay() noexcept {
    --state.replayCount;
    // After the last configuration put back, the search is where it stood.
    exhausted = state.replayCount == 0 && state.emittedCount == static_cast<std::int64_t>(state.history.size());
}

std::optional<RankVector> Quorin::nextBest(NodeId node) const {
    if (node >= state.nodes.size()) return std::nullopt;
    const std::size_t counter = state.counterOf(node);
    if (counter == rows()) return std::nullopt;
    RankVector ranks = state.ranksOf(node);
    std::optional<std::vector<int>> list = state.cachedRowList(node);
    if (!list) list = sortedRowList(state, ranks);
    const int row = (*list)[counter];
    if (row == kExhaustedRowMarker) return std::nullopt;
    ++ranks[row];
    return ranks;
}

// One advance. The two nodes that file new entries (the popped parent and the child it
// produced) look at their next children in small batches: hashed together from the
// node's prefix hashes, their table slots and then the nodes those slots name requested
// together, so that cache misses overlap instead of queueing. None of this changes what
// is looked up, in what order, or what is placed.
template <class Rank, class Row>
class Step {
public:
    explicit Step(Quorin& q)
        : q_(q), s_(q.state), rows_(q.state.rows()), longNodes_(rows_ >= kLongNodeRows), batch_(batchFor(q.state)) {}

    // One search step of Quorin::advance.
    static void run(Quorin& q);

    // Quorin::next(count, columns, costs), counting the configurations it has passed in
    // `written` as it goes.
    static void handOut(Quorin& q, std::size_t count, int* columns, double* costs, std::size_t& written);

    void advance();

private:
    static constexpr Row kMarker = markerOf<Row>();
    static constexpr std::size_t kBatch = 4;

    // From this table size on, slots and nodes are requested ahead of their use.
    static constexpr std::size_t kPrefetchFromSlots = std::size_t{1} << 18;

    // Candidates hashed ahead: a few once the table has left the caches, so that their
    // misses overlap, or for long nodes, whose hashes then run side by side; else one,
    // since hashing a candidate that turns out not to be needed only costs.
    static std::size_t batchFor(const State& s) {
        return s.visited.capacity() >= kPrefetchFromSlots || s.rows() >= kLongNodeRows ? kBatch : 1;
    }

    // From this many rows on, hashes and costs are long serial chains: candidates' chains
    // run side by side and their costs continue from the node's running sums.
    static constexpr std::size_t kLongNodeRows = 32;

    // The next children of one node, looked up in list order.
    struct Filing {
        NodeId node = kNoNode;
        const Row* list = nullptr;
        Rank* candidate = nullptr;        // the node's ranks, one row raised at a time
        std::uint64_t* prefix = nullptr;  // prefix[i]: hash state after rows 0 .. i-1
        double* costPrefix = nullptr;     // costPrefix[i]: cost of rows 0 .. i-1, summed in order
        std::size_t next = 0;             // list position of hashes[0]
        std::size_t count = 0;            // hashed candidates
        std::uint64_t hashes[kBatch];
    };

    void begin(Filing& parent, Filing& produced, NodeId parentNode, NodeId child, const Row* parentList,
               const Row* childList, std::size_t movedRow);
    double candidateCost(const Filing& f, std::size_t row) const;
    std::uint64_t raisedSeed(const Filing& f, std::size_t row) const;
    void hashBatch(Filing& f, std::size_t from);
    void requestMatches(const Filing& f) const;
    void addNextBest(Filing& f);
    std::pair<NodeId, bool> placeNode(const Rank* ranks, std::uint64_t hash);
    const Row* rowListOf(NodeId node);
    const Row* newRowList(NodeId child, std::size_t movedRow, std::size_t movedAt, const Row* parentList);
    void requestNextStep() const;

    Row& counterOf(NodeId node) { return *s_.expandCount.record<Row>(node); }

    Quorin& q_;
    State& s_;
    const std::size_t rows_;
    const bool longNodes_;
    const std::size_t batch_;
};

template <class Rank, class Row>
void Step<Rank, Row>::run(Quorin& q) {
    if (q.state.frontier.empty()) {
        ++q.state.emittedCount;
        q.exhausted = true;
        return;
    }
    if (q.reservedSteps_.count == 0) q.reserveForSteps();
    --q.reservedSteps_.count;
    Step(q).advance();
}

template <class Rank, class Row>
void Step<Rank, Row>::handOut(Quorin& q, std::size_t count, int* columns, double* costs, std::size_t& written) {
    const State& s = q.state;
    const std::size_t rows = s.rows();
    for (; written < count && !q.exhausted; ++written) {
        const double cost = writeColumns(s.rankTable, s.nodes.record<Rank>(q.due()), rows, columns + written * rows);
        if (costs != nullptr) costs[written] = cost;
        if (s.replayCount != 0) {
            q.replay();
        } else {
            run(q);
        }
    }
}

template <class Rank, class Row>
void Step<Rank, Row>::advance() {
    // The parent's list is found through its list index, requested by the previous step:
    // request the list itself, and pop the frontier while it comes.
    if (q_.cacheAssignments) {
        const SuccessorCache& cache = s_.successorCache;
        prefetch(cache.lists.record<Row>(*cache.listOfNode.record<std::uint32_t>(s_.frontier.top().parent) - 1));
    }
    const assignment entry = s_.frontier.pop();
    ++s_.emittedCount;
    Row& counter = counterOf(entry.parent);
    // Only the construction entry of a root without children comes up empty: then the
    // root was the only configuration.
    if (counter == rows_) {
        q_.exhausted = true;
        return;
    }
    const Row* parentList = rowListOf(entry.parent);
    const std::size_t movedAt = counter;
    const Row movedRow = parentList[movedAt];
    if (movedRow == kMarker) {
        q_.exhausted = true;
        return;
    }
    NodeId child = entry.child;
    if (child == kNoNode) {
        // The construction entry: the root's first child is placed only now. Nothing else
        // is placed yet, so it is new.
        Rank* ranks = reinterpret_cast<Rank*>(q_.scratch_.childCandidate.data());
        copyRanks(s_.nodes.record<Rank>(entry.parent), rows_, ranks);
        ++ranks[movedRow];
        child = placeNode(ranks, vector_hash::hashRanks(ranks, rows_)).first;
    }
    s_.history.push_back(child);
    ++counter;
    // The child's list does not depend on what the parent files, so both nodes' lookups
    // can be prepared before either files.
    const Row* childList = newRowList(child, movedRow, movedAt, parentList);
    Filing parent, produced;
    begin(parent, produced, entry.parent, child, parentList, childList, movedRow);
    requestMatches(parent);
    requestMatches(produced);
    addNextBest(parent);
    addNextBest(produced);
    requestNextStep();
}

// Prepares the filings of the parent and of the child it produced: their ranks, and the
// hash states and cost sums after each row, from which every candidate's hash and cost
// continue. The child equals the parent before the moved row; after it, the four running
// sums are computed side by side, since each is a serial chain.
template <class Rank, class Row>
void Step<Rank, Row>::begin(Filing& parent, Filing& produced, NodeId parentNode, NodeId child,
                            const Row* parentList, const Row* childList, std::size_t movedRow) {
    const std::size_t rows = rows_;
    Quorin::Scratch& scratch = q_.scratch_;
    Rank* const p = reinterpret_cast<Rank*>(scratch.parentCandidate.data());
    Rank* const c = reinterpret_cast<Rank*>(scratch.childCandidate.data());
    copyRanks(s_.nodes.record<Rank>(parentNode), rows, p);
    copyRanks(s_.nodes.record<Rank>(child), rows, c);
    std::uint64_t* const ph = scratch.parentPrefix.data();
    std::uint64_t* const ch = scratch.childPrefix.data();
    double* const pc = scratch.parentCostPrefix.data();
    double* const cc = scratch.childCostPrefix.data();
    const double* const cost = s_.rankTable.cost.data();
    const std::size_t* const rowStart = s_.rankTable.rowStart.data();
    std::uint64_t hp = rows;
    double sp = 0.0;
    ph[0] = ch[0] = hp;
    pc[0] = cc[0] = sp;
    if (longNodes_) {
        for (std::size_t i = 0; i < movedRow; ++i) {
            ph[i + 1] = ch[i + 1] = hp = vector_hash::combine(hp, p[i]);
            pc[i + 1] = cc[i + 1] = sp = sp + cost[rowStart[i] + p[i]];
        }
    } else {
        for (std::size_t i = 0; i < movedRow; ++i) ph[i + 1] = ch[i + 1] = hp = vector_hash::combine(hp, p[i]);
    }
    std::uint64_t hc = hp;
    double sc = sp;
    if (longNodes_) {
        for (std::size_t i = movedRow; i < rows; ++i) {
            ph[i + 1] = hp = vector_hash::combine(hp, p[i]);
            ch[i + 1] = hc = vector_hash::combine(hc, c[i]);
            pc[i + 1] = sp = sp + cost[rowStart[i] + p[i]];
            cc[i + 1] = sc = sc + cost[rowStart[i] + c[i]];
        }
    } else {
        for (std::size_t i = movedRow; i < rows; ++i) {
            ph[i + 1] = hp = vector_hash::combine(hp, p[i]);
            ch[i + 1] = hc = vector_hash::combine(hc, c[i]);
        }
    }
    parent.node = parentNode;
    parent.list = parentList;
    parent.candidate = p;
    parent.prefix = ph;
    parent.costPrefix = pc;
    produced.node = child;
    produced.list = childList;
    produced.candidate = c;
    produced.prefix = ch;
    produced.costPrefix = cc;
    hashBatch(parent, counterOf(parentNode));
    hashBatch(produced, counterOf(child));
}

// The cost of the candidate, whose `row` is raised: the same sum, in the same order, as
// configurationCost of the candidate.
template <class Rank, class Row>
double Step<Rank, Row>::candidateCost(const Filing& f, std::size_t row) const {
    if (!longNodes_) return costOf(s_.rankTable, f.candidate, rows_);
    const double* const cost = s_.rankTable.cost.data();
    const std::size_t* const rowStart = s_.rankTable.rowStart.data();
    double sum = f.costPrefix[row] + cost[rowStart[row] + f.candidate[row]];
    for (std::size_t i = row + 1; i < rows_; ++i) sum += cost[rowStart[i] + f.candidate[i]];
    return sum;
}

// The hash state of the candidate that raises `row`, after that row.
template <class Rank, class Row>
std::uint64_t Step<Rank, Row>::raisedSeed(const Filing& f, std::size_t row) const {
    return vector_hash::combine(f.prefix[row], static_cast<std::uint32_t>(f.candidate[row]) + 1);
}

// Hashes the candidates at list positions from, from + 1, ... (up to batch_, stopping at
// a marker) and requests their home slots. Each hash is a serial chain, so the chains run
// side by side: sorted by the row they raise, each joins once the loop reaches that row.
template <class Rank, class Row>
void Step<Rank, Row>::hashBatch(Filing& f, std::size_t from) {
    const std::size_t rows = rows_;
    const Rank* const r = f.candidate;
    f.next = from;
    if (batch_ == 1) {
        f.count = from < rows && f.list[from] != kMarker ? 1 : 0;
        if (f.count != 0) {
            const std::size_t raised = f.list[from];
            f.hashes[0] = vector_hash::combineRange(raisedSeed(f, raised), r, raised + 1, rows);
        }
        return;
    }
    const std::size_t end = std::min(rows, from + batch_);
    std::size_t count = 0;
    std::size_t lane[kBatch];   // candidate of each lane, lanes by raised row
    std::size_t start[kBatch];  // raised row of each candidate
    for (std::size_t k = from; k < end && f.list[k] != kMarker; ++k) {
        start[count] = f.list[k];
        std::size_t at = count++;
        for (; at > 0 && start[lane[at - 1]] > start[count - 1]; --at) lane[at] = lane[at - 1];
        lane[at] = count - 1;
    }
    std::uint64_t h[kBatch];
    for (std::size_t j = 0; j < count; ++j) h[j] = raisedSeed(f, start[lane[j]]);
    // Lanes 0 .. j run over rows from the row after lane j's raised row to the next lane's.
    for (std::size_t j = 0; j < count; ++j) {
        const std::size_t first = start[lane[j]] + 1;
        const std::size_t last = j + 1 < count ? start[lane[j + 1]] + 1 : rows;
        switch (j) {
            case 0:
                for (std::size_t i = first; i < last; ++i) h[0] = vector_hash::combine(h[0], r[i]);
                break;
            case 1:
                for (std::size_t i = first; i < last; ++i) {
                    h[0] = vector_hash::combine(h[0], r[i]);
                    h[1] = vector_hash::combine(h[1], r[i]);
                }
                break;
            case 2:
                for (std::size_t i = first; i < last; ++i) {
                    h[0] = vector_hash::combine(h[0], r[i]);
                    h[1] = vector_hash::combine(h[1], r[i]);
                    h[2] = vector_hash::combine(h[2], r[i]);
                }
                break;
            default:
                for (std::size_t i = first; i < last; ++i) {
                    h[0] = vector_hash::combine(h[0], r[i]);
                    h[1] = vector_hash::combine(h[1], r[i]);
                    h[2] = vector_hash::combine(h[2], r[i]);
                    h[3] = vector_hash::combine(h[3], r[i]);
                }
                break;
        }
    }
    for (std::size_t j = 0; j < count; ++j) f.hashes[lane[j]] = h[j];
    if (s_.visited.capacity() >= kPrefetchFromSlots) {
        for (std::size_t j = 0; j < count; ++j) s_.visited.prefetch(f.hashes[j]);
    }
    f.count = count;
}

template <class Rank, class Row>
void Step<Rank, Row>::requestMatches(const Filing& f) const {
    if (s_.visited.capacity() < kPrefetchFromSlots) return;
    for (std::size_t j = 0; j < f.count; ++j) {
        s_.visited.forEachTagMatch(f.hashes[j], [&](NodeId id) { prefetch(s_.nodes.record<Rank>(id)); });
    }
}

// Files the node's next child that is not yet visited, if any: places it and pushes
// (node, child, cost of the child); the visited children passed over are counted.
template <class Rank, class Row>
void Step<Rank, Row>::addNextBest(Filing& f) {
    Rank* const candidate = f.candidate;
    const Row* const list = f.list;
    while (f.count != 0) {
        const std::size_t next = f.next, count = f.count;
        for (std::size_t j = 0; j < count; ++j) {
            const Row row = list[next + j];
            ++candidate[row];
            const auto [id, placed] = placeNode(candidate, f.hashes[j]);
            if (placed) {
                counterOf(f.node) = static_cast<Row>(next + j);
                s_.frontier.push(assignment{f.node, id, candidateCost(f, row)});
                return;
            }
            --candidate[row];  // already visited: back to the node for the next candidate
        }
        hashBatch(f, next + count);
        requestMatches(f);
    }
    counterOf(f.node) = static_cast<Row>(f.next);  // at a marker, or past the last row
}

template <class Rank, class Row>
std::pair<NodeId, bool> Step<Rank, Row>::placeNode(const Rank* ranks, std::uint64_t hash) {
    const auto [id, inserted] = s_.visited.findOrInsert(
        hash, [&](NodeId other) { return sameRanks(ranks, s_.nodes.record<Rank>(other), rows_); });
    if (!inserted) return {id, false};
    s_.nodes.append(ranks);
    *s_.expandCount.record<Row>(s_.expandCount.append()) = 0;
    if (q_.cacheAssignments) {
        RecordStore& listOfNode = s_.successorCache.listOfNode;
        *listOfNode.record<std::uint32_t>(listOfNode.append()) = 0;
    }
    return {id, true};
}

// The node's sorted row list, followed by its strictness flag: cached when the cache is
// on, else computed.
template <class Rank, class Row>
const Row* Step<Rank, Row>::rowListOf(NodeId node) {
    if (q_.cacheAssignments) {
        const SuccessorCache& cache = s_.successorCache;
        return cache.lists.record<Row>(*cache.listOfNode.record<std::uint32_t>(node) - 1);
    }
    Row* list = reinterpret_cast<Row*>(q_.scratch_.parentList.data());
    list[rows_] = sortRowsInto(s_.rankTable, s_.nodes.record<Rank>(node), rows_, list, q_.scratch_.deltas.data());
    return list;
}

// The list of `child`, whose `movedRow` (at `movedAt` in the parent's list) is one above
// its parent's: derived from the parent's list where the order is unique, else sorted;
// cached when the cache is on.
template <class Rank, class Row>
const Row* Step<Rank, Row>::newRowList(NodeId child, std::size_t movedRow, std::size_t movedAt,
                                       const Row* parentList) {
    Row* list = reinterpret_cast<Row*>(q_.scratch_.childList.data());
    if (q_.cacheAssignments) {
        SuccessorCache& cache = s_.successorCache;
        const std::size_t index = cache.lists.append();
        list = cache.lists.record<Row>(index);
        *cache.listOfNode.record<std::uint32_t>(child) = static_cast<std::uint32_t>(index + 1);
    }
    const Rank* ranks = s_.nodes.record<Rank>(child);
    const RankTable& table = s_.rankTable;
    const bool derived = parentList[rows_] != 0
                             ? moveRowInList(table, ranks, rows_, movedRow, movedAt, parentList, list)
                             : deriveChildList(table, ranks, rows_, movedRow, parentList, list);
    list[rows_] = derived ? 1 : sortRowsInto(table, ranks, rows_, list, q_.scratch_.deltas.data());
    return list;
}

// The next step starts from the frontier's top: request what it reads first.
template <class Rank, class Row>
void Step<Rank, Row>::requestNextStep() const {
    if (s_.frontier.empty()) return;
    const assignment& next = s_.frontier.top();
    prefetch(s_.nodes.record<Rank>(next.parent));
    prefetch(s_.expandCount.record<Row>(next.parent));
    if (q_.cacheAssignments) prefetch(s_.successorCache.listOfNode.record<std::uint32_t>(next.parent));
    if (next.child != kNoNode) {
        prefetch(s_.nodes.record<Rank>(next.child));
        prefetch(s_.expandCount.record<Row>(next.child));
        if (q_.cacheAssignments) prefetch(s_.successorCache.listOfNode.record<std::uint32_t>(next.child));
    }
}

std::size_t Quorin::next(std::size_t count, int* columns, double* costs) {
    std::size_t written = 0;
    try {
        withWidth(state.rankBytes(), [&](auto rankType) {
            withWidth(state.rowBytes(), [&](auto rowType) {
                Step<decltype(rankType), decltype(rowType)>::handOut(*this, count, columns, costs, written);
            });
        });
    } catch (...) {
        putBack(written);
        throw;
    }
    return written;
}

void Quorin::advance() {
    if (state.replayCount != 0) {
        replay();
        return;
    }
    withWidth(state.rankBytes(), [&](auto rankType) {
        withWidth(state.rowBytes(), [&](auto rowType) { Step<decltype(rankType), decltype(rowType)>::run(*this); });
    });
}

void Quorin::reserveForSteps() {
    constexpr std::size_t kSteps = detail::kReservedSteps;
    State& s = state;
    // A step places at most kNodesPerStep nodes, one list and one history entry, and
    // grows the frontier by at most one.
    const std::size_t nodes = s.nodes.size() + detail::kNodesPerStep * kSteps;
    if (nodes > IdHashTable::maxSize()) {
        throw std::length_error("quorin: the search has placed as many nodes as 32-bit ids can number");
    }
    s.nodes.reserve(nodes);
    s.expandCount.reserve(nodes);
    if (cacheAssignments) {
        s.successorCache.listOfNode.reserve(nodes);
        s.successorCache.lists.reserve(s.successorCache.lists.size() + kSteps);
    }
    if (s.history.size() + kSteps > s.history.capacity()) {
        s.history.reserve(std::max(s.history.size() + kSteps, 2 * s.history.capacity()));
    }
    s.frontier.reserveMore(kSteps + 1);
    withWidth(s.rankBytes(), [&](auto rankType) {
        using Rank = decltype(rankType);
        s.visited.reserve(nodes, [&](NodeId id) { return vector_hash::hashRanks(s.nodes.record<Rank>(id), rows()); });
    });
    reservedSteps_.count = kSteps;
}

}  // namespace quorin
