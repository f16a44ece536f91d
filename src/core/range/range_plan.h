// How a range of the cost order is walked without order (not installed).
//
// The finite configurations of [lower, upper) are the completions of the prefixes of the
// first rows that the prefix walk enters, each prefix taking the entries of the suffix
// list whose key can land it in the range. The prefix tree is cut into pieces (prefixes
// of a few rows, or runs of one prefix's suffix entries) that threads claim one by one.
// The configurations of cost +inf are walked apart, in column order.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include <quorin/detail/thread_pool.h>
#include <quorin/types.h>

#include "walk/cost_model.h"
#include "walk/prefix_walk.h"
#include "walk/suffix_list.h"
#include "walk/suffix_lists.h"

namespace quorin {
namespace detail {

// A piece of the walk: the prefix of `rows` rows at paths[path ..] and its cost. Its rows
// are the plan's depth, or fewer for a prefix an early list completes (that list's
// entries are the piece); when they are the deepest suffix list's first row, the piece is
// the run [from, to) of its entries.
struct Piece {
    double prefix;
    std::size_t path;
    std::uint32_t from, to;
    std::size_t rows;
};

// One thread's scratch for walking pieces.
template <class Col>
struct PieceWalker {
    std::vector<std::size_t> k;
    std::vector<double> P;
    std::vector<Col> path;
    std::vector<int> full;
    std::vector<Col> queued;  // paths of the prefixes waiting for their suffix entries
    explicit PieceWalker(std::size_t n) : k(n + 1), P(n + 1), path(n + 1), full(n) {}
};

// Throws std::invalid_argument for a bound with the wrong number of columns, a column out
// of range or a NaN cost.
void checkRangeBounds(const ProbabilityMatrix& probs, const OrderBound& lower, const std::optional<OrderBound>& upper);

class RangePlan {
public:
    // Checks the bounds (std::invalid_argument), takes the suffix lists (kept ones when
    // they serve; new ones with room for ranges up to `ahead` further, as suffixListsFor)
    // and lists the pieces for `threads` threads.
    RangePlan(const ProbabilityMatrix& probs, OrderBound lower, std::optional<OrderBound> upper, unsigned threads,
              const std::atomic<bool>* interrupt, double ahead = -1.0);

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
    const SuffixList& suffix() const noexcept { return *lists_.deepest; }

    // Hands every configuration of piece `i` whose exact cost E lies in `b` (within
    // finite()) to `emit`: emit.prefix(head, rows) with the columns of the walk's first
    // `rows` rows, then emit.add(E, rest) with those of the remaining rows for each
    // configuration below that prefix. Stops, returning false, once add does.
    template <class Col, class Emit>
    bool emitPiece(std::size_t i, const Bounds& b, PieceWalker<Col>& w, const std::atomic<bool>* interrupt,
                   Emit&& emit) const;

    // Hands the configurations of piece `i` that lie in `b` (within finite()) to `sink`,
    // weighing one by one only those whose exact cost E may lie in the zone [zoneLo, zoneHi]
    // (none when zoneLo > zoneHi): sink.below(k) for k that cost less than zoneLo,
    // sink.above(k) for k that cost more than zoneHi, sink.add(E, columns) for each of the
    // others (columns() gives its columns as int).
    template <class Col, class Sink>
    void weighPiece(std::size_t i, const Bounds& b, double zoneLo, double zoneHi, PieceWalker<Col>& w,
                    const std::atomic<bool>* interrupt, Sink& sink) const;

    // Adds the configurations of piece `i` that lie in `b` (within finite()) to `slots` by
    // where their exact cost E falls among `cuts` (ascending): slots[j] counts those with
    // cuts[j - 1] <= E < cuts[j] (cuts.size() + 1 slots). Only the entries whose cost may
    // lie within the cuts' span are weighed one by one.
    template <class Col>
    void countPieceBySlot(std::size_t i, const Bounds& b, const std::vector<double>& cuts, PieceWalker<Col>& w,
                          const std::atomic<bool>* interrupt, std::vector<Position>& slots) const;

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
    // The buckets of a suffix list a complete prefix of `rows` rows and cost `prefix` looks
    // at: those `b` may keep, b1 .. b2, and those it keeps whatever the rounding, in1 .. in2 - 1.
    struct Lookup {
        double prefix;
        const SuffixList* list;
        std::size_t rows;
        std::size_t b1, b2, in1, in2;
    };
    // False when no entry can be kept (nothing read but the occupancy bitmap).
    bool lookup(const SuffixList& list, const Bounds& b, double prefix, Lookup& l) const;
    // The early list that holds every completion `b` may need of a prefix of `rows` rows and
    // cost `prefix`, or null (the walk then extends the prefix).
    const SuffixList* earlyListFor(const Bounds& b, std::size_t rows, double prefix) const noexcept {
        const SuffixList* list = lists_.early[rows].get();
        return list != nullptr && b.hiLimit - (prefix + model_.minAfter[rows]) <= list->budget ? list : nullptr;
    }
    // The entries of a lookup: [from, to), and the inner run [innerFrom, innerTo).
    void entriesOf(const Lookup& l, std::uint32_t& from, std::uint32_t& to, std::uint32_t& innerFrom,
                   std::uint32_t& innerTo) const;
    // The deepest list's entries for a prefix of its first row's length that `b` may keep:
    // [from, to) and the inner run [innerFrom, innerTo) whose every entry it keeps,
    // whatever the rounding.
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
    SuffixLists lists_;
    std::size_t depth_ = 0;
    std::vector<Piece> pieces_;
    std::vector<std::uint32_t> paths_;
};

// Where a cost falls among ascending cuts: slot j holds the costs E with
// cuts[j - 1] <= E < cuts[j] (cuts.size() + 1 slots). A guess from the cost's place between
// the first and the last cut (the cuts are about evenly spread), then the cuts from there.
class SlotOf {
public:
    explicit SlotOf(const std::vector<double>& cuts)
        : cuts_(&cuts),
          K_(cuts.size()),
          first_(K_ != 0 ? cuts.front() : 0.0),
          last_(K_ != 0 ? cuts.back() : 0.0),
          scale_(last_ > first_ ? static_cast<double>(K_ - 1) / (last_ - first_) : 0.0) {}
    std::size_t operator()(double E) const noexcept {
        if (!(E >= first_)) return 0;
        if (E >= last_) return K_;
        // Clamped before the conversion: cuts close together make the scale, and so the
        // product, too large for an integer (or NaN, +inf x 0); the loops below settle j.
        const double t = (E - first_) * scale_;
        std::size_t j = t < static_cast<double>(K_ - 1) ? static_cast<std::size_t>(t) : K_ - 1;
        const std::vector<double>& cuts = *cuts_;
        while (j > 0 && cuts[j - 1] > E) --j;
        while (j < K_ && cuts[j] <= E) ++j;
        return j;
    }

private:
    const std::vector<double>* cuts_;
    std::size_t K_;
    double first_, last_, scale_;
};

// Counts configurations by slot among cuts, a sink of RangePlan::weighPiece.
struct SlotCounts {
    SlotOf slotOf;
    std::vector<Position>& slots;
    void below(std::uint32_t k) { slots.front() += k; }
    void above(std::uint32_t k) { slots.back() += k; }
    template <class Columns>
    void add(double E, Columns&&) {
        ++slots[slotOf(E)];
    }
};

// The configurations of the plan's pieces that lie in `b` (within finite()), counted on
// `pool`'s threads (countBySlot without cuts).
Position countIn(const RangePlan& plan, ThreadPool& pool, const Bounds& b, const std::atomic<bool>* interrupt);

// The configurations of the plan's pieces in `b` by slot among `cuts`, as
// RangePlan::countPieceBySlot counts them, on `pool`'s threads.
std::vector<Position> countBySlot(const RangePlan& plan, ThreadPool& pool, const Bounds& b,
                                  const std::vector<double>& cuts, const std::atomic<bool>* interrupt);

// A band holding at most this many configurations is listed and sorted to pick one.
constexpr Position kMostListed = Position{1} << 15;

// Cuts to count a band [lo, hi) of about `bandSize` configurations by, about the one
// `index` places after lo: where the band is large, spread evenly by cost over a window a
// weight table of the band places about it (within a thousandth; true is returned, and
// `centre` set to the table's estimate of that configuration's cost), else over the
// whole band. None for a band of one cost.
bool cutsAbout(const ProbabilityMatrix& probs, const OrderBound& lo, const OrderBound& hi, Position index,
               Position bandSize, std::vector<double>& cuts, double* centre = nullptr);

// The bound of the configuration `offset` places after the plan's lower bound, given that
// it lies in [lo, hi) of `slots` (the counts of [lo, hi) by slot among `cuts`) and that
// `before` configurations of the plan lie before lo: the band narrowed by counts until it
// holds at most `mostListed`, then listed and sorted. std::nullopt when too many share one
// cost (select finds those).
std::optional<OrderBound> boundIn(const RangePlan& plan, ThreadPool& pool, const ProbabilityMatrix& probs,
                                  Position offset, OrderBound lo, OrderBound hi, Position before,
                                  const std::vector<double>& cuts, const std::vector<Position>& slots,
                                  Position mostListed, const std::atomic<bool>* interrupt);

// boundAfter of range_walk.h, listing a band once it holds at most `mostListed`
// configurations (the narrowing by counts is tested with small ones).
std::optional<OrderBound> boundAfter(const ProbabilityMatrix& probs, const OrderBound& lower, Position offset,
                                     unsigned threads, const std::atomic<bool>* interrupt, Position mostListed);

// --- templates ---------------------------------------------------------------------------

template <class Col, class Visit>
bool RangePlan::visitPiece(std::size_t i, const Bounds& b, PieceWalker<Col>& w, const std::atomic<bool>* interrupt,
                           Visit&& visit) const {
    const Piece& piece = pieces_[i];
    const SuffixList& deepest = *lists_.deepest;
    const std::size_t s = deepest.first;
    for (std::size_t r = 0; r < piece.rows; ++r) w.path[r] = static_cast<Col>(paths_[piece.path + r]);
    if (piece.rows == s) {  // one prefix: only [piece.from, piece.to) of its entries
        std::uint32_t from, to, innerFrom, innerTo;
        entriesFor(b, piece.prefix, from, to, innerFrom, innerTo);
        from = std::max(from, piece.from);
        to = std::min(to, piece.to);
        if (from >= to) return true;
        innerFrom = std::min(std::max(innerFrom, from), to);
        innerTo = std::max(std::min(innerTo, to), innerFrom);
        return visit(piece.prefix, w.path.data(), s, deepest, from, to, innerFrom, innerTo);
    }
    // Complete prefixes wait in a short queue while their buckets are fetched: the lookups
    // of consecutive prefixes are far apart in the table.
    constexpr std::size_t kQueue = 8;
    Lookup queue[kQueue];
    if (w.queued.size() < kQueue * (s + 1)) w.queued.resize(kQueue * (s + 1));
    std::size_t head = 0, size = 0;
    auto flushOne = [&] {
        const Lookup& l = queue[head];
        const Col* path = w.queued.data() + head * (s + 1);
        head = (head + 1) % kQueue;
        --size;
        std::uint32_t from, to, innerFrom, innerTo;
        entriesOf(l, from, to, innerFrom, innerTo);
        return from >= to || visit(l.prefix, path, l.rows, *l.list, from, to, innerFrom, innerTo);
    };
    // A prefix of `rows` rows whose completions all lie in `list`: queued for its lookup.
    auto complete = [&](const SuffixList& list, std::size_t rows, double prefix) {
        Lookup l;
        if (!lookup(list, b, prefix, l)) return true;
        l.rows = rows;
#if defined(__GNUC__)
        __builtin_prefetch(list.start.data() + l.b1);
        __builtin_prefetch(list.start.data() + l.b2 + 1);
#endif
        if (size == kQueue && !flushOne()) return false;
        const std::size_t slot = (head + size) % kQueue;
        queue[slot] = l;
        copyBytes(reinterpret_cast<unsigned char*>(w.queued.data() + slot * (s + 1)),
                  reinterpret_cast<const unsigned char*>(w.path.data()), rows * sizeof(Col));
        ++size;
#if defined(__GNUC__)
        // The entries of the lookup queued half a queue ago (its bucket offsets, fetched
        // since, say where they start): a prefix's entries are a run somewhere in lists
        // of tens of MiB, so each run's first read would otherwise wait for memory.
        if (size > kQueue / 2) {
            const Lookup& ahead = queue[(head + size - 1 - kQueue / 2) % kQueue];
            const std::size_t bytes = (model_.n - ahead.rows) * sizeof(Col);
            __builtin_prefetch(ahead.list->entries.data() + std::size_t{ahead.list->start[ahead.b1]} * bytes);
        }
#endif
        return true;
    };
    // A shorter prefix stops at an early list once the list holds every key it may need.
    auto early = [&](std::size_t rows, double prefix) -> int {
        const SuffixList* list = earlyListFor(b, rows, prefix);
        if (list == nullptr) return 0;
        return complete(*list, rows, prefix) ? 1 : -1;
    };
    if (piece.rows < depth_) {  // a prefix its early list completes
        if (!complete(*lists_.early[piece.rows], piece.rows, piece.prefix)) return false;
    } else {
        const bool whole = descend(model_, b, depth_, s, piece.prefix, w.path.data(), w.k.data(), w.P.data(),
                                   interrupt, [&](double prefix) { return complete(deepest, s, prefix); },
                                   Reachable{model_, deepest, b}, early);
        if (!whole) return false;
    }
    while (size > 0) {
        if (!flushOne()) return false;
    }
    return true;
}

template <class Col, class Emit>
bool RangePlan::emitPiece(std::size_t i, const Bounds& b, PieceWalker<Col>& w, const std::atomic<bool>* interrupt,
                          Emit&& emit) const {
    const std::size_t n = model_.n;
    return visitPiece(i, b, w, interrupt,
                      [&](double prefix, const Col* head, std::size_t s, const SuffixList& list, std::uint32_t from,
                          std::uint32_t to, std::uint32_t innerFrom, std::uint32_t innerTo) {
        const std::size_t tail = n - s;
        const Col* entries = reinterpret_cast<const Col*>(list.entries.data());
        const double* const* tailCost = model_.rowCost.data() + s;
        emit.prefix(head, s);
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
            double sums[4];
            fourCosts(prefix, r0, tail, tailCost, sums);
            if (!emit.add(sums[0], r0) || !emit.add(sums[1], r0 + tail) || !emit.add(sums[2], r0 + 2 * tail) ||
                !emit.add(sums[3], r0 + 3 * tail))
                return false;
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

template <class Col, class Sink>
void RangePlan::weighPiece(std::size_t i, const Bounds& b, double zoneLo, double zoneHi, PieceWalker<Col>& w,
                           const std::atomic<bool>* interrupt, Sink& sink) const {
    visitPiece(i, b, w, interrupt,
               [&](double prefix, const Col* head, std::size_t s, const SuffixList& list, std::uint32_t from,
                   std::uint32_t to, std::uint32_t innerFrom, std::uint32_t innerTo) {
        const std::size_t n = model_.n, tail = n - s;
        const Col* entries = reinterpret_cast<const Col*>(list.entries.data());
        // The buckets whose keys may cost within the zone, widened by the margin: the
        // entries of the inner run before them cost less than zoneLo, those after them
        // more than zoneHi.
        std::uint32_t zoneFrom = innerTo, zoneTo = innerTo;
        if (zoneLo <= zoneHi) {
            const double base = prefix + model_.minAfter[s];
            const std::size_t z1 = bucketOf(zoneLo - 4 * model_.margin - base, list.scale, list.buckets);
            const std::size_t z2 = bucketOf(zoneHi + 4 * model_.margin - base, list.scale, list.buckets);
            zoneFrom = std::min(std::max(list.start[z1], innerFrom), innerTo);
            zoneTo = std::min(std::max(list.start[z2 + 1], zoneFrom), innerTo);
        }
        if (zoneFrom != innerFrom) sink.below(zoneFrom - innerFrom);
        if (innerTo != zoneTo) sink.above(innerTo - zoneTo);
        const double* const* tailCost = model_.rowCost.data() + s;
        // The entry at `rest` of exact cost E to the sink, if in range (when `edge`).
        auto weighOne = [&](const Col* rest, double E, bool edge) {
            auto columns = [&] {
                for (std::size_t r = 0; r < s; ++r) w.full[r] = head[r];
                for (std::size_t r = 0; r < tail; ++r) w.full[s + r] = rest[r];
                return static_cast<const int*>(w.full.data());
            };
            if (!edge || inRange(b, E, n, columns)) sink.add(E, columns);
        };
        auto weigh = [&](std::uint32_t e0, std::uint32_t e1, bool edge) {
            for (std::uint32_t e = e0; e < e1; ++e) {
                const Col* rest = entries + std::size_t{e} * tail;
                double E = prefix;
                for (std::size_t r = 0; r < tail; ++r) E += tailCost[r][rest[r]];
                weighOne(rest, E, edge);
            }
        };
        weigh(from, innerFrom, true);
        // The zone's costs four at a time (four independent chains of additions).
        std::uint32_t e = zoneFrom;
        for (; e + 4 <= zoneTo; e += 4) {
            const Col* r0 = entries + std::size_t{e} * tail;
            double sums[4];
            fourCosts(prefix, r0, tail, tailCost, sums);
            for (std::size_t k = 0; k < 4; ++k) weighOne(r0 + k * tail, sums[k], false);
        }
        weigh(e, zoneTo, false);
        weigh(innerTo, to, true);
        return true;
    });
}

template <class Col>
void RangePlan::countPieceBySlot(std::size_t i, const Bounds& b, const std::vector<double>& cuts, PieceWalker<Col>& w,
                                 const std::atomic<bool>* interrupt, std::vector<Position>& slots) const {
    SlotCounts sink{SlotOf(cuts), slots};
    const double lo = cuts.empty() ? 1.0 : cuts.front(), hi = cuts.empty() ? 0.0 : cuts.back();
    weighPiece(i, b, lo, hi, w, interrupt, sink);
}

}  // namespace detail
}  // namespace quorin
