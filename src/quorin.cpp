#include "quorin.h"

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

#include "introsort.h"

namespace quorin {
namespace {

// Calls f with a value of the unsigned integer type that is `bytes` (1, 2 or 4) wide.
template <class F>
void withWidth(unsigned bytes, F&& f) {
    switch (bytes) {
        case 1: f(std::uint8_t{}); break;
        case 2: f(std::uint16_t{}); break;
        default: f(std::uint32_t{}); break;
    }
}

// The marker of a row list whose entries are of type Row: its largest value, which for
// `int` is kExhaustedRowMarker.
template <class Row>
constexpr Row markerOf() noexcept {
    return std::numeric_limits<Row>::max();
}
static_assert(markerOf<int>() == kExhaustedRowMarker, "int lists use the same marker");

double deltaAt(const RankCosts& rankCosts, std::size_t row, std::size_t rank) noexcept {
    const std::size_t at = rankCosts.rowStart[row] + rank;
    if (at + 1 == rankCosts.rowStart[row + 1]) return kLastRankDelta;
    return rankCosts.values[at + 1] - rankCosts.values[at];
}

template <class Rank>
double costOf(const RankCosts& rankCosts, const Rank* ranks, std::size_t rows) noexcept {
    double sum = 0.0;
    for (std::size_t i = 0; i < rows; ++i) sum += rankCosts.values[rankCosts.rowStart[i] + ranks[i]];
    return sum;
}

// The node's rows by ascending delta, then a marker for each row at its last rank.
template <class Rank, class Row>
void sortRowsInto(const RankCosts& rankCosts, const Rank* node, std::size_t rows, Row* list, double* deltas) {
    for (std::size_t row = 0; row < rows; ++row) deltas[row] = deltaAt(rankCosts, row, node[row]);
    for (std::size_t i = 0; i < rows; ++i) list[i] = static_cast<Row>(i);
    introsort(list, list + rows, [deltas](Row a, Row b) { return deltas[a] < deltas[b]; });
    // Rows at their last rank go to the end as markers; the others keep their sorted order,
    // so rows behind them (a zero-probability step) still get their turn.
    std::size_t kept = 0;
    for (std::size_t i = 0; i < rows; ++i) {
        const Row row = list[i];
        if (static_cast<std::size_t>(node[row]) != rankCosts.lastRank(row)) list[kept++] = row;
    }
    std::fill(list + kept, list + rows, markerOf<Row>());
}

// The child's list merged from its parent's in one pass, while the deltas rise strictly:
// then it is the only sorted order. Returns false (list unspecified) on any tie or NaN.
template <class Rank, class Row>
bool deriveChildList(const RankCosts& rankCosts, const Rank* child, std::size_t rows, std::size_t movedRow,
                     const Row* parentList, Row* list) {
    const bool movedAtLastRank = static_cast<std::size_t>(child[movedRow]) == rankCosts.lastRank(movedRow);
    const double movedDelta = movedAtLastRank ? 0.0 : deltaAt(rankCosts, movedRow, child[movedRow]);
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
        const double delta = deltaAt(rankCosts, row, child[row]);
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

template <class To, class From>
std::vector<To> convertRanks(const From* ranks, std::size_t count) {
    return std::vector<To>(ranks, ranks + count);
}

}  // namespace

void checkProbabilities(const ProbabilityMatrix& probs) {
    for (std::size_t i = 0; i < probs.size(); ++i) {
        if (probs[i].empty()) {
            throw std::invalid_argument("probs[" + std::to_string(i) + "] is empty");
        }
        for (std::size_t j = 0; j < probs[i].size(); ++j) {
            const double p = probs[i][j];
            if (std::isfinite(p) && p >= 0.0) continue;
            std::ostringstream message;
            message << "probs[" << i << "][" << j << "] is " << p
                    << ": probabilities must be finite and non-negative";
            throw std::invalid_argument(message.str());
        }
    }
}

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

    costs.reserve(probs.size());
    order.reserve(probs.size());
    for (const std::vector<double>& row : probs) {
        std::vector<double> rowCosts;
        rowCosts.reserve(row.size());
        for (double p : row) rowCosts.push_back(-std::log(p));
        costs.push_back(std::move(rowCosts));
    }
    for (const std::vector<double>& rowCosts : costs) order.push_back(sortedColumns(rowCosts));

    rankCosts.rowStart.reserve(rows() + 1);
    rankCosts.rowStart.push_back(0);
    for (std::size_t i = 0; i < rows(); ++i) {
        for (int column : order[i]) rankCosts.values.push_back(costs[i][column]);
        rankCosts.rowStart.push_back(rankCosts.values.size());
    }

    const unsigned rowWidth = RecordStore::entryBytesFor(rows());  // counters reach rows()
    nodes = RecordStore(rows(), RecordStore::entryBytesFor(maxRank));
    expandCount = RecordStore(1, rowWidth);
    successorCache.lists = RecordStore(rows(), rowWidth);
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

double State::configurationCost(const RankVector& ranks) const { return costOf(rankCosts, ranks.data(), ranks.size()); }

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
        if (ranks[i] < 0 || static_cast<std::size_t>(ranks[i]) > rankCosts.lastRank(i)) return kNoNode;
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
    return a.order == b.order && a.costs == b.costs && a.emittedCount == b.emittedCount && a.nodes == b.nodes &&
           a.visited == b.visited && a.expandCount == b.expandCount && a.successorCache == b.successorCache &&
           a.history == b.history && a.frontier == b.frontier;
}

double rowDelta(const State& state, const RankVector& node, std::size_t row) {
    return deltaAt(state.rankCosts, row, static_cast<std::size_t>(node[row]));
}

std::vector<int> sortedRowList(const State& state, const RankVector& node) {
    std::vector<int> list(state.rows());
    std::vector<double> deltas(state.rows());
    sortRowsInto(state.rankCosts, node.data(), state.rows(), list.data(), deltas.data());
    return list;
}

bool childRowList(const State& state, const RankVector& child, std::size_t movedRow,
                  const std::vector<int>& parentList, std::vector<int>& list) {
    list.assign(state.rows(), 0);
    return deriveChildList(state.rankCosts, child.data(), state.rows(), movedRow, parentList.data(), list.data());
}

Quorin::Quorin(ProbabilityMatrix probs, bool cacheAssignments)
    : state(std::move(probs)), cacheAssignments(cacheAssignments) {
    const std::size_t rows = state.rows();
    scratch_.candidate.resize(rows * sizeof(std::uint32_t));
    scratch_.parentList.resize(rows * sizeof(std::uint32_t));
    scratch_.childList.resize(rows * sizeof(std::uint32_t));
    scratch_.deltas.resize(rows);
    if (cacheAssignments) cacheRootList();
}

void Quorin::cacheRootList() {
    SuccessorCache& cache = state.successorCache;
    cache.lists.reserve(1);
    cache.listOfNode.reserve(1);
    withWidth(state.rankBytes(), [&](auto rankType) {
        withWidth(state.rowBytes(), [&](auto rowType) {
            using Row = decltype(rowType);
            sortRowsInto(state.rankCosts, state.nodes.record<decltype(rankType)>(0), rows(),
                         cache.lists.record<Row>(cache.lists.append()), scratch_.deltas.data());
        });
    });
    *cache.listOfNode.record<std::uint32_t>(cache.listOfNode.append()) = 1;
}

void Quorin::currentColumns(int* out) const noexcept {
    withWidth(state.rankBytes(), [&](auto rankType) {
        const auto* ranks = state.nodes.record<decltype(rankType)>(state.history.back());
        for (std::size_t i = 0; i < rows(); ++i) out[i] = state.order[i][ranks[i]];
    });
}

bool Quorin::next(std::vector<int>& columns) {
    if (exhausted) return false;
    columns.resize(rows());
    currentColumns(columns.data());
    advance();
    return true;
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

void Quorin::advance() {
    if (state.frontier.empty()) {
        ++state.emittedCount;
        exhausted = true;
        return;
    }
    reserveForStep();
    withWidth(state.rankBytes(), [&](auto rankType) {
        withWidth(state.rowBytes(), [&](auto rowType) { advanceWith<decltype(rankType), decltype(rowType)>(); });
    });
}

void Quorin::reserveForStep() {
    State& s = state;
    // One step places at most three nodes: the construction entry's child and one child
    // filed by each of the two nodes that are refilled.
    const std::size_t nodes = s.nodes.size() + 3;
    if (nodes > IdHashTable::maxSize()) {
        throw std::length_error("quorin: the search has placed as many nodes as 32-bit ids can number");
    }
    s.nodes.reserve(nodes);
    s.expandCount.reserve(nodes);
    if (cacheAssignments) {
        s.successorCache.listOfNode.reserve(nodes);
        s.successorCache.lists.reserve(s.successorCache.lists.size() + 1);
    }
    if (s.history.size() == s.history.capacity()) s.history.reserve(std::max<std::size_t>(16, 2 * s.history.capacity()));
    s.frontier.reserveMore(2);
    withWidth(s.rankBytes(), [&](auto rankType) {
        using Rank = decltype(rankType);
        s.visited.reserve(nodes, [&](NodeId id) { return vector_hash::hashRanks(s.nodes.record<Rank>(id), rows()); });
    });
}

template <class Rank, class Row>
void Quorin::advanceWith() {
    State& s = state;
    const std::size_t rows = s.rows();
    const assignment entry = s.frontier.pop();
    ++s.emittedCount;
    Row& counter = *s.expandCount.record<Row>(entry.parent);
    // Only the construction entry of a root without children comes up empty: then the
    // root was the only configuration.
    if (counter == rows) {
        exhausted = true;
        return;
    }
    const Row* parentList = rowListOf<Rank, Row>(entry.parent, reinterpret_cast<Row*>(scratch_.parentList.data()));
    const Row movedRow = parentList[counter];
    if (movedRow == markerOf<Row>()) {
        exhausted = true;
        return;
    }
    NodeId child = entry.child;
    if (child == kNoNode) {
        // The construction entry: the root's first child is placed only now. Nothing else
        // is placed yet, so it is new.
        Rank* ranks = reinterpret_cast<Rank*>(scratch_.candidate.data());
        std::copy_n(s.nodes.record<Rank>(entry.parent), rows, ranks);
        ++ranks[movedRow];
        child = placeNode<Rank, Row>(ranks, vector_hash::hashRanks(ranks, rows)).first;
    }
    s.history.push_back(child);
    ++counter;
    addNextBest<Rank, Row>(entry.parent, parentList);
    const Row* childList =
        newRowList<Rank, Row>(child, movedRow, parentList, reinterpret_cast<Row*>(scratch_.childList.data()));
    addNextBest<Rank, Row>(child, childList);
}

template <class Rank, class Row>
void Quorin::addNextBest(NodeId node, const Row* rowList) {
    State& s = state;
    const std::size_t rows = s.rows();
    Row& counter = *s.expandCount.record<Row>(node);
    if (counter == rows) return;
    Rank* candidate = reinterpret_cast<Rank*>(scratch_.candidate.data());
    std::copy_n(s.nodes.record<Rank>(node), rows, candidate);
    for (; counter < rows; ++counter) {
        const Row row = rowList[counter];
        if (row == markerOf<Row>()) return;
        ++candidate[row];
        const auto [id, placed] = placeNode<Rank, Row>(candidate, vector_hash::hashRanks(candidate, rows));
        if (placed) {
            s.frontier.push(assignment{node, id, costOf(s.rankCosts, candidate, rows)});
            return;
        }
        --candidate[row];  // already visited: back to `node` for the next candidate
    }
}

template <class Rank, class Row>
std::pair<NodeId, bool> Quorin::placeNode(const Rank* ranks, std::uint64_t hash) {
    State& s = state;
    const std::size_t bytes = rows() * sizeof(Rank);
    const auto [id, inserted] = s.visited.findOrInsert(
        hash, [&](NodeId other) { return std::memcmp(s.nodes.record<Rank>(other), ranks, bytes) == 0; });
    if (!inserted) return {id, false};
    s.nodes.append(ranks);
    *s.expandCount.record<Row>(s.expandCount.append()) = 0;
    if (cacheAssignments) *s.successorCache.listOfNode.record<std::uint32_t>(s.successorCache.listOfNode.append()) = 0;
    return {id, true};
}

template <class Rank, class Row>
const Row* Quorin::rowListOf(NodeId node, Row* into) {
    if (cacheAssignments) {
        const SuccessorCache& cache = state.successorCache;
        return cache.lists.record<Row>(*cache.listOfNode.record<std::uint32_t>(node) - 1);
    }
    sortRowsInto(state.rankCosts, state.nodes.record<Rank>(node), rows(), into, scratch_.deltas.data());
    return into;
}

template <class Rank, class Row>
const Row* Quorin::newRowList(NodeId child, std::size_t movedRow, const Row* parentList, Row* into) {
    Row* list = into;
    if (cacheAssignments) {
        SuccessorCache& cache = state.successorCache;
        const std::size_t index = cache.lists.append();
        list = cache.lists.record<Row>(index);
        *cache.listOfNode.record<std::uint32_t>(child) = static_cast<std::uint32_t>(index + 1);
    }
    const Rank* ranks = state.nodes.record<Rank>(child);
    if (!deriveChildList(state.rankCosts, ranks, rows(), movedRow, parentList, list)) {
        sortRowsInto(state.rankCosts, ranks, rows(), list, scratch_.deltas.data());
    }
    return list;
}

}  // namespace quorin
