// The walk over a matrix's first rows that every window and range shares (not installed).
//
// Rows in order, columns cheapest first, every prefix's cost summed exactly in row order;
// a branch is entered only when some completion of it can land in the range [lo, hi) of
// the cost order by the rows' minima and maxima (widened by the model's margin).
#pragma once

#include <atomic>
#include <cstddef>
#include <vector>

#include "walk/cost_model.h"
#include "walk/suffix_list.h"

namespace quorin {
namespace detail {

// A range [lo, hi) of the cost order, as a walk tests it.
struct Bounds {
    double loCost, hiCost;
    const std::vector<int>* loColumns;  // null: the start of loCost
    const std::vector<int>* hiColumns;  // null: the start of hiCost
    double loLimit, hiLimit;            // widened by the margin, for estimates
};

// Whether a configuration of exact cost E lies in [lo, hi); columns() returns its columns
// (a pointer to one int per row), asked for only when E equals a bound's cost.
template <class Columns>
bool inRange(const Bounds& b, double E, std::size_t rows, Columns&& columns) {
    if (E > b.loCost && E < b.hiCost) return true;
    if (!(E >= b.loCost && E <= b.hiCost)) return false;
    if (E == b.loCost && b.loColumns != nullptr && lexLess(columns(), b.loColumns->data(), rows)) return false;
    if (E == b.hiCost) return b.hiColumns != nullptr && lexLess(columns(), b.hiColumns->data(), rows);
    return true;
}

// Lets every branch the rows' minima and maxima allow be entered.
struct EnterAll {
    bool operator()(std::size_t, double) const noexcept { return true; }
};

// Whether some completion of a prefix of `rows` rows and cost p may land in b, by the
// suffix list's reachability bitmaps (true where they do not tell).
struct Reachable {
    const Model& m;
    const SuffixList& sl;
    const Bounds& b;
    bool operator()(std::size_t rows, double p) const noexcept {
        if (rows >= sl.first || sl.first - rows > sl.reach.size()) return true;
        const double base = p + m.minAfter[rows];
        return sl.mayReach(sl.first - rows, b.loLimit - base, b.hiLimit - base);
    }
};

// Lets every prefix shorter than the walk's limit be extended.
struct NeverEarly {
    int operator()(std::size_t, double) const noexcept { return 0; }
};

// Walks rows [level0, limit) below a prefix of cost prefix0 (columns so far in `path`),
// cheapest column first, entering no branch that `b` rules out, nor one of `rows` rows and
// cost p for which may(rows, p) is false, and calls leaf(cost) for every prefix of
// `limit` rows; stops, returning false, once leaf does. A shorter prefix of `rows` rows
// and cost p is offered to early(rows, p) first: 1 when early has taken it (it is not
// extended), 0 to extend it, -1 to stop the walk.
template <class Col, class Leaf, class May = EnterAll, class Early = NeverEarly>
bool descend(const Model& m, const Bounds& b, std::size_t level0, std::size_t limit, double prefix0, Col* path,
             std::size_t* k, double* P, const std::atomic<bool>* interrupt, Leaf&& leaf, May&& may = May(),
             Early&& early = Early()) {
    if (level0 == limit) return leaf(prefix0);
    unsigned steps = 0;
    std::size_t level = level0;
    P[level] = prefix0;
    // Skips the columns whose every completion costs less than the window's start.
    auto firstCandidate = [&](std::size_t lv) {
        std::size_t c = m.candStart[lv];
        const std::size_t end = m.candStart[lv + 1];
        const double top = P[lv] + m.maxAfter[lv + 1];
        while (c < end && top + m.candCost[c] < b.loLimit) ++c;
        return c;
    };
    k[level] = firstCandidate(level);
    while (true) {
        const std::size_t c = k[level];
        if (c < m.candStart[level + 1]) {
            const double p = P[level] + m.candCost[c];
            if (p + m.minAfter[level + 1] <= b.hiLimit) {
                path[level] = static_cast<Col>(m.candColumn[c]);
                if (++steps == kCheckEvery) {
                    steps = 0;
                    if (raised(interrupt)) throw Interrupted();
                }
                if (level + 1 == limit) {
                    if (may(level + 1, p) && !leaf(p)) return false;
                    ++k[level];
                    continue;
                }
                if (const int taken = early(level + 1, p)) {
                    if (taken < 0) return false;
                    ++k[level];
                    continue;
                }
                if (!may(level + 1, p)) {
                    ++k[level];
                    continue;
                }
                ++level;
                P[level] = p;
                k[level] = firstCandidate(level);
                continue;
            }
        }
        if (level == level0) return true;
        --level;
        ++k[level];
    }
}

}  // namespace detail
}  // namespace quorin
