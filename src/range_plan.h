// How a range of the cost order is walked without order (not installed).
//
// The finite configurations of [lower, upper) are the completions of the prefixes of the
// first rows that the prefix walk enters, each prefix taking the entries of the suffix
// list whose key can land it in the range. The prefix tree is cut into pieces (prefixes
// of a few rows, or runs of one prefix's suffix entries) that threads claim one by one.
// The configurations of cost +inf are walked apart, in column order.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include <quorin/windows.h>

#include "cost_model.h"
#include "prefix_walk.h"
#include "suffix_list.h"

namespace quorin {
namespace detail {

// A piece of the walk: the prefix of `depth` rows at paths[path ..], its cost, and when
// depth is the suffix list's first row, the run [from, to) of its suffix entries.
struct Piece {
    double prefix;
    std::size_t path;
    std::uint32_t from, to;
};

// One thread's scratch for walking pieces.
template <class Col>
struct PieceWalker {
    std::vector<std::size_t> k;
    std::vector<double> P;
    std::vector<Col> path;
    std::vector<int> full;
    explicit PieceWalker(std::size_t n) : k(n + 1), P(n + 1), path(n + 1), full(n) {}
};

// Throws std::invalid_argument for a bound with the wrong number of columns, a column out
// of range or a NaN cost.
void checkRangeBounds(const Model& m, const OrderBound& lower, const std::optional<OrderBound>& upper);

class RangePlan {
public:
    // Checks the bounds (std::invalid_argument) and lists the suffix and the pieces for
    // `threads` threads.
    RangePlan(const ProbabilityMatrix& probs, OrderBound lower, std::optional<OrderBound> upper, unsigned threads,
              const std::atomic<bool>* interrupt);

    const Model& model() const noexcept { return model_; }
    const OrderBound& lower() const noexcept { return lower_; }
    const std::optional<OrderBound>& upper() const noexcept { return upper_; }
    // The finite part [lower, min(upper, the start of cost +inf)).
    const Bounds& finite() const noexcept { return finite_; }
    bool hasFinitePart() const noexcept { return hasFinite_; }
    // Whether configurations of cost +inf can lie in the range.
    bool hasInfinitePart() const noexcept;
    // The first bound of the configurations of cost +inf in the range.
    OrderBound infiniteStart() const;
    // Whether a configuration of cost +inf with these columns is before upper().
    bool beforeUpper(const std::vector<int>& columns) const;

    std::size_t pieces() const noexcept { return pieces_.size(); }
    const SuffixList& suffix() const noexcept { return suffix_; }

    // Hands every configuration of piece `i` whose exact cost E lies in `b` (within
    // finite()) to `emit`: emit.prefix(head) with the columns of the walk's rows, then
    // emit.add(E, rest) with those of the suffix's rows for each configuration below that
    // prefix. Stops, returning false, once add does.
    template <class Col, class Emit>
    bool emitPiece(std::size_t i, const Bounds& b, PieceWalker<Col>& w, const std::atomic<bool>* interrupt,
                   Emit&& emit) const;
    // The configurations of piece `i` that lie in `b` (within finite()).
    template <class Col>
    Position countPiece(std::size_t i, const Bounds& b, PieceWalker<Col>& w, const std::atomic<bool>* interrupt) const;

    // The configurations of cost +inf lexicographically before `columns` (saturating at
    // the largest Position).
    Position infiniteBefore(const std::vector<int>& columns) const;
    // The exact cost of `columns` as the core sums it.
    double costOf(const std::vector<int>& columns) const;
    // Bounds for [lower, (cost, columns)) within the finite part.
    Bounds finiteBefore(double cost, const std::vector<int>& columns) const;

private:
    template <class Col>
    void listPieces(unsigned threads, const std::atomic<bool>* interrupt);
    // The suffix entries of a complete prefix that `b` may keep: [from, to) and the inner
    // run [innerFrom, innerTo) whose every entry it keeps, whatever the rounding.
    void entriesFor(const Bounds& b, double prefix, std::uint32_t& from, std::uint32_t& to, std::uint32_t& innerFrom,
                    std::uint32_t& innerTo) const;
    template <class Col, class Visit>
    bool visitPiece(std::size_t i, const Bounds& b, PieceWalker<Col>& w, const std::atomic<bool>* interrupt,
                    Visit&& visit) const;

    Model model_;
    OrderBound lower_;
    std::optional<OrderBound> upper_;
    Bounds finite_{};
    bool hasFinite_ = false;
    SuffixList suffix_;
    std::size_t depth_ = 0;
    std::vector<Piece> pieces_;
    std::vector<std::uint32_t> paths_;
};

// --- templates ---------------------------------------------------------------------------

template <class Col, class Visit>
bool RangePlan::visitPiece(std::size_t i, const Bounds& b, PieceWalker<Col>& w, const std::atomic<bool>* interrupt,
                           Visit&& visit) const {
    const Piece& piece = pieces_[i];
    const std::size_t s = suffix_.first;
    for (std::size_t r = 0; r < depth_; ++r) w.path[r] = static_cast<Col>(paths_[piece.path + r]);
    auto atPrefix = [&](double prefix) {
        std::uint32_t from, to, innerFrom, innerTo;
        entriesFor(b, prefix, from, to, innerFrom, innerTo);
        if (depth_ == s) {  // this piece holds only [piece.from, piece.to) of them
            from = std::max(from, piece.from);
            to = std::min(to, piece.to);
            innerFrom = std::min(std::max(innerFrom, from), to);
            innerTo = std::max(std::min(innerTo, to), innerFrom);
        }
        if (from >= to) return true;
        return visit(prefix, w.path.data(), from, to, innerFrom, innerTo);
    };
    if (depth_ == s) return atPrefix(piece.prefix);
    return descend(model_, b, depth_, s, piece.prefix, w.path.data(), w.k.data(), w.P.data(), interrupt, atPrefix);
}

template <class Col, class Emit>
bool RangePlan::emitPiece(std::size_t i, const Bounds& b, PieceWalker<Col>& w, const std::atomic<bool>* interrupt,
                          Emit&& emit) const {
    const std::size_t n = model_.n, s = suffix_.first, tail = n - s;
    const Col* entries = reinterpret_cast<const Col*>(suffix_.entries.data());
    const double* const* tailCost = model_.rowCost.data() + s;
    return visitPiece(i, b, w, interrupt,
                      [&](double prefix, const Col* head, std::uint32_t from, std::uint32_t to, std::uint32_t innerFrom,
                          std::uint32_t innerTo) {
        emit.prefix(head);
        // Entries near the range's ends: their exact cost decides.
        auto edge = [&](std::uint32_t e0, std::uint32_t e1) {
            for (std::uint32_t e = e0; e < e1; ++e) {
                const Col* rest = entries + std::size_t{e} * tail;
                double E = prefix;
                for (std::size_t r = 0; r < tail; ++r) E += tailCost[r][rest[r]];
                const bool in = inRange(b, E, n, [&] {
                    for (std::size_t r = 0; r < s; ++r) w.full[r] = head[r];
                    for (std::size_t r = 0; r < tail; ++r) w.full[s + r] = rest[r];
                    return w.full.data();
                });
                if (in && !emit.add(E, rest)) return false;
            }
            return true;
        };
        if (!edge(from, innerFrom)) return false;
        // The inner run lies inside whatever the rounding: exact costs four at a time (four
        // independent chains of additions), no test.
        std::uint32_t e = innerFrom;
        for (; e + 4 <= innerTo; e += 4) {
            const Col* r0 = entries + std::size_t{e} * tail;
            const Col* r1 = r0 + tail;
            const Col* r2 = r1 + tail;
            const Col* r3 = r2 + tail;
            double s0 = prefix, s1 = prefix, s2 = prefix, s3 = prefix;
            for (std::size_t r = 0; r < tail; ++r) {
                const double* c = tailCost[r];
                s0 += c[r0[r]];
                s1 += c[r1[r]];
                s2 += c[r2[r]];
                s3 += c[r3[r]];
            }
            if (!emit.add(s0, r0) || !emit.add(s1, r1) || !emit.add(s2, r2) || !emit.add(s3, r3)) return false;
        }
        for (; e < innerTo; ++e) {
            const Col* rest = entries + std::size_t{e} * tail;
            double E = prefix;
            for (std::size_t r = 0; r < tail; ++r) E += tailCost[r][rest[r]];
            if (!emit.add(E, rest)) return false;
        }
        return edge(innerTo, to);
    });
}

template <class Col>
Position RangePlan::countPiece(std::size_t i, const Bounds& b, PieceWalker<Col>& w,
                               const std::atomic<bool>* interrupt) const {
    Position count = 0;
    // Entries outside the inner run are weighed one by one; the inner run is counted whole.
    visitPiece(i, b, w, interrupt,
               [&](double prefix, const Col* head, std::uint32_t from, std::uint32_t to, std::uint32_t innerFrom,
                   std::uint32_t innerTo) {
        count += innerTo - innerFrom;
        const std::size_t n = model_.n, s = suffix_.first, tail = n - s;
        const Col* entries = reinterpret_cast<const Col*>(suffix_.entries.data());
        auto weigh = [&](std::uint32_t e0, std::uint32_t e1) {
            for (std::uint32_t e = e0; e < e1; ++e) {
                const Col* rest = entries + std::size_t{e} * tail;
                double E = prefix;
                for (std::size_t r = 0; r < tail; ++r) E += model_.rowCost[s + r][rest[r]];
                count += inRange(b, E, n, [&] {
                    for (std::size_t r = 0; r < s; ++r) w.full[r] = head[r];
                    for (std::size_t r = 0; r < tail; ++r) w.full[s + r] = rest[r];
                    return w.full.data();
                });
            }
        };
        weigh(from, innerFrom);
        weigh(innerTo, to);
        return true;
    });
    return count;
}

}  // namespace detail
}  // namespace quorin
