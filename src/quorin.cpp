#include "quorin.h"

#include <cmath>
#include <cstdint>
#include <numeric>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>

#include "introsort.h"

namespace quorin {

std::size_t vector_hash::operator()(const RankVector& ranks) const {
    std::uint64_t seed = ranks.size();
    for (int rank : ranks) {
        // 32-bit wrap, then zero extension: the combine is defined on 32-bit patterns.
        const std::uint64_t mixed = static_cast<std::uint32_t>(static_cast<std::uint32_t>(rank) + 0x9e3779b9u);
        seed ^= mixed + (seed << 6) + (seed >> 2);
    }
    return static_cast<std::size_t>(seed);
}

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
    introsort(columns.begin(), columns.end(),
              [&rowCosts](int a, int b) { return rowCosts[a] < rowCosts[b]; });
    return columns;
}

State::State(ProbabilityMatrix probs) {
    checkProbabilities(probs);
    costs.reserve(probs.size());
    order.reserve(probs.size());
    for (const std::vector<double>& row : probs) {
        std::vector<double> rowCosts;
        rowCosts.reserve(row.size());
        for (double p : row) rowCosts.push_back(-std::log(p));
        costs.push_back(std::move(rowCosts));
    }
    for (const std::vector<double>& rowCosts : costs) order.push_back(sortedColumns(rowCosts));

    const RankVector root(probs.size(), 0);
    visited.insert(root);
    history.push_back(root);
    expandCount.emplace(root, 0);
    frontier.push(assignment{root, configurationCost(root)});
}

double State::configurationCost(const RankVector& ranks) const {
    double sum = 0.0;
    for (std::size_t i = 0; i < ranks.size(); ++i) sum += costs[i][order[i][ranks[i]]];
    return sum;
}

double rowDelta(const State& state, const RankVector& node, std::size_t row) {
    const std::vector<int>& rowOrder = state.order[row];
    const std::vector<double>& rowCosts = state.costs[row];
    const int rank = node[row];
    if (static_cast<std::size_t>(rank) + 1 == rowOrder.size()) return kLastRankDelta;
    return rowCosts[rowOrder[rank + 1]] - rowCosts[rowOrder[rank]];
}

void sortedRowList(const State& state, const RankVector& node, std::vector<int>& list,
                   std::vector<double>& deltas) {
    const std::size_t rows = state.rows();
    deltas.resize(rows);
    for (std::size_t row = 0; row < rows; ++row) deltas[row] = rowDelta(state, node, row);
    list.resize(rows);
    std::iota(list.begin(), list.end(), 0);
    introsort(list.begin(), list.end(), [&deltas](int a, int b) { return deltas[a] < deltas[b]; });

    // Rows at their last rank go to the end as markers; the others keep their sorted order,
    // so rows behind them (a zero-probability step) still get their turn.
    std::size_t kept = 0;
    for (int row : list) {
        if (static_cast<std::size_t>(node[row]) + 1 != state.order[row].size()) list[kept++] = row;
    }
    std::fill(list.begin() + static_cast<std::ptrdiff_t>(kept), list.end(), kExhaustedRowMarker);
}

std::vector<int> sortedRowList(const State& state, const RankVector& node) {
    std::vector<int> list;
    std::vector<double> deltas;
    sortedRowList(state, node, list, deltas);
    return list;
}

bool childRowList(const State& state, const RankVector& child, std::size_t movedRow,
                  const std::vector<int>& parentList, std::vector<int>& list) {
    const std::size_t rows = state.rows();
    const bool movedAtLastRank = static_cast<std::size_t>(child[movedRow]) + 1 == state.order[movedRow].size();
    const double movedDelta = movedAtLastRank ? 0.0 : rowDelta(state, child, movedRow);
    bool movedPlaced = movedAtLastRank;
    bool empty = true;
    double previous = 0.0;
    list.clear();
    list.reserve(rows);
    // Appends while the deltas rise strictly: then the order is the only sorted one.
    auto append = [&](int row, double delta) {
        if (!empty && !(previous < delta)) return false;
        list.push_back(row);
        previous = delta;
        empty = false;
        return true;
    };
    for (int row : parentList) {
        if (row == kExhaustedRowMarker) break;
        if (static_cast<std::size_t>(row) == movedRow) continue;
        const double delta = rowDelta(state, child, row);
        if (!movedPlaced && !(delta < movedDelta)) {
            if (!append(static_cast<int>(movedRow), movedDelta)) return false;
            movedPlaced = true;
        }
        if (!append(row, delta)) return false;
    }
    if (!movedPlaced && !append(static_cast<int>(movedRow), movedDelta)) return false;
    list.resize(rows, kExhaustedRowMarker);
    return true;
}

Quorin::Quorin(ProbabilityMatrix probs, bool cacheAssignments)
    : state(std::move(probs)), cacheAssignments(cacheAssignments) {}

void Quorin::currentColumns(int* out) const noexcept {
    const RankVector& ranks = current();
    for (std::size_t i = 0; i < ranks.size(); ++i) out[i] = state.order[i][ranks[i]];
}

bool Quorin::next(std::vector<int>& columns) {
    if (exhausted) return false;
    columns.resize(rows());
    currentColumns(columns.data());
    advance();
    return true;
}

namespace {

// The node's list in the successor cache, computed by `fill` and stored on a miss. A fill
// that throws stores nothing, so the cache never holds a partial list.
template <class Fill>
const std::vector<int>& cachedRowList(State& state, const RankVector& node, Fill fill) {
    auto [entry, inserted] = state.successorCache.try_emplace(node);
    if (inserted) {
        try {
            fill(entry->second);
        } catch (...) {
            state.successorCache.erase(entry);
            throw;
        }
    }
    return entry->second;
}

}  // namespace

const std::vector<int>& Quorin::rowListOf(const RankVector& node) {
    auto fill = [&](std::vector<int>& list) { sortedRowList(state, node, list, scratchDeltas_); };
    if (cacheAssignments) return cachedRowList(state, node, fill);
    fill(scratchRowList_);
    return scratchRowList_;
}

const std::vector<int>& Quorin::childRowListOf(const RankVector& child, std::size_t movedRow,
                                               const std::vector<int>& parentList) {
    auto fill = [&](std::vector<int>& list) {
        if (!childRowList(state, child, movedRow, parentList, list)) {
            sortedRowList(state, child, list, scratchDeltas_);
        }
    };
    if (cacheAssignments) return cachedRowList(state, child, fill);
    fill(scratchChildRowList_);
    return scratchChildRowList_;
}

std::optional<RankVector> Quorin::nextBest(const RankVector& node) {
    const int counter = state.expandCount[node];
    if (static_cast<std::size_t>(counter) == rows()) return std::nullopt;
    const int row = rowListOf(node)[counter];
    if (row == kExhaustedRowMarker) return std::nullopt;
    RankVector child = node;
    ++child[row];
    return child;
}

void Quorin::fileNextChild(const RankVector& node, int& counter, const std::vector<int>& rowList,
                           RankVector* movableNode) {
    if (static_cast<std::size_t>(counter) >= rows()) return;
    scratchChild_ = node;
    while (static_cast<std::size_t>(counter) < rows()) {
        const int row = rowList[counter];
        if (row == kExhaustedRowMarker) return;
        ++scratchChild_[row];
        if (state.visited.insert(scratchChild_).second) {
            const double cost = state.configurationCost(scratchChild_);
            state.frontier.push(assignment{movableNode ? std::move(*movableNode) : node, cost});
            return;
        }
        --scratchChild_[row];  // already visited: back to `node` for the next candidate
        ++counter;
    }
}

void Quorin::addNextBest(const RankVector& node) {
    int& counter = state.expandCount[node];
    if (static_cast<std::size_t>(counter) >= rows()) return;
    fileNextChild(node, counter, rowListOf(node), nullptr);
}

void Quorin::advance() {
    ++state.emittedCount;
    if (state.frontier.empty()) {
        exhausted = true;
        return;
    }
    RankVector parent = state.frontier.pop().parent;
    int& counter = state.expandCount[parent];
    // Only the construction entry of a root without children can come up empty: then the
    // root was the only configuration.
    if (static_cast<std::size_t>(counter) == rows()) {
        exhausted = true;
        return;
    }
    const std::vector<int>& rowList = rowListOf(parent);
    const int row = rowList[counter];
    if (row == kExhaustedRowMarker) {
        exhausted = true;
        return;
    }
    RankVector child = parent;
    ++child[row];
    state.history.push_back(std::move(child));
    ++counter;
    // The parent's next entry takes over the popped parent vector instead of a copy.
    fileNextChild(parent, counter, rowList, &parent);

    const RankVector& produced = state.history.back();
    int& producedCounter = state.expandCount[produced];
    if (static_cast<std::size_t>(producedCounter) < rows()) {
        fileNextChild(produced, producedCounter, childRowListOf(produced, row, rowList), nullptr);
    }
}

}  // namespace quorin
