// boundAfter of range_walk.h: a bound a given number of configurations after another,
// found by exact counts of ever narrower bands of the range that follows it.
#include <quorin/range_walk.h>

#include <algorithm>
#include <thread>

#include "model/double_order.h"
#include "range/range_plan.h"

namespace quorin {

using namespace detail;

namespace {

// Far bounds tried, each about four times further than the last, before giving up.
constexpr int kFarAttempts = 6;
// Costs a band is split at, less one, by the walks after the first.
constexpr std::uint64_t kSpread = 1024;
// A band holding more configurations is split over a window about the one sought.
constexpr Position kSpreadAtMost = Position{1} << 22;
// Walks narrowing a band at most (each splits its doubles kSpread ways).
constexpr int kMostRounds = 16;

// The band [lo, hi) as a walk tests it.
Bounds bandOf(const Model& m, const OrderBound& lo, const OrderBound& hi) {
    return Bounds{lo.cost, hi.cost, &lo.columns, &hi.columns, lo.cost - 2 * m.margin, hi.cost + 2 * m.margin};
}

// The configurations of [lower, upper) as the walk finds them: cost and columns.
struct Listed {
    double cost;
    std::vector<int> columns;
};

std::vector<Listed> listBand(const RangePlan& plan, ThreadPool& pool, const Bounds& band,
                             const std::atomic<bool>* interrupt) {
    const std::size_t n = plan.model().n;
    std::vector<std::vector<Listed>> found(pool.size());
    withColumnType(plan.model(), [&](auto col) {
        using Col = decltype(col);
        struct Collect {
            std::vector<Listed>& out;
            std::size_t n, s = 0;
            std::vector<int> head;
            void prefix(const Col* h, std::size_t rows) {
                s = rows;
                head.assign(h, h + rows);
            }
            bool add(double cost, const Col* rest) {
                Listed l{cost, head};
                l.columns.insert(l.columns.end(), rest, rest + (n - s));
                out.push_back(std::move(l));
                return true;
            }
        };
        std::vector<std::unique_ptr<PieceWalker<Col>>> walkers(pool.size());
        pool.run(plan.pieces(), [&](std::size_t i, unsigned slot) {
            if (raised(interrupt)) throw Interrupted();
            if (!walkers[slot]) walkers[slot].reset(new PieceWalker<Col>(n));
            plan.emitPiece<Col>(i, band, *walkers[slot], interrupt, Collect{found[slot], n, 0, {}});
        });
    });
    std::vector<Listed> all;
    for (std::vector<Listed>& part : found) {
        for (Listed& l : part) all.push_back(std::move(l));
    }
    std::sort(all.begin(), all.end(), [](const Listed& a, const Listed& b) {
        if (a.cost != b.cost) return a.cost < b.cost;
        return a.columns < b.columns;
    });
    return all;
}

// Narrows [lo, hi), counted by slot among `cuts` in `slots`, to the slot holding the
// configuration `offset` places after lower, given `before` of them in [lower, lo); false
// (nothing changed) when [lo, hi) ends before it.
bool narrowTo(const std::vector<Position>& slots, const std::vector<double>& cuts, Position offset, std::size_t n,
              OrderBound& lo, OrderBound& hi, Position& before, Position& inBand) {
    Position total = 0;
    for (Position c : slots) total += c;
    if (before + total <= offset) return false;
    std::size_t j = 0;
    while (before + slots[j] <= offset) before += slots[j++];
    if (j > 0) lo = OrderBound{cuts[j - 1], std::vector<int>(n, 0)};
    if (j < cuts.size()) hi = OrderBound{cuts[j], std::vector<int>(n, 0)};
    inBand = slots[j];
    return true;
}

// Appends costs strictly between lo and hi, evenly spread over the doubles between them
// (evenly in value where they share an exponent), at most kSpread - 1 of them.
void spreadCuts(double lo, double hi, std::vector<double>& cuts) {
    const std::uint64_t a = orderedBits(lo), b = orderedBits(hi);
    if (b <= a) return;
    const std::uint64_t span = b - a;
    for (std::uint64_t j = 1; j < kSpread; ++j) {
        const std::uint64_t k = a + static_cast<std::uint64_t>(Position{span} * j / kSpread);
        if (k > a && k < b && (cuts.empty() || fromOrderedBits(k) > cuts.back())) cuts.push_back(fromOrderedBits(k));
    }
}

// Cuts about the configuration `index` places after lo in [lo, hi): the weight table of
// the band places a cut a 256th of the index before it and eight more every 1024th of the
// index from there (within a thousandth of the index for millions of configurations,
// measured down to 2^40), the window; split evenly by cost (every entry whose cost may
// fall in the window is weighed). None when the table places none there. `centre`: the
// cost of the table's cut at the index.
void windowCuts(const ProbabilityMatrix& probs, const OrderBound& lo, const OrderBound& hi, Position index,
                std::vector<double>& cuts, double& centre) {
    cuts.clear();
    const Position before = index / 256, step = std::max<Position>(before / 4, 1);
    const std::optional<OrderBound> upper = hi.cost < kInf ? std::optional<OrderBound>(hi) : std::nullopt;
    std::vector<OrderBound> table = cutRange(probs, lo, upper, std::max<Position>(index - before, 1), 1);
    if (table.empty()) return;
    const std::vector<OrderBound> more = cutRange(probs, table.front(), upper, step, 8);
    table.insert(table.end(), more.begin(), more.end());
    double from = kInf, to = -kInf;
    for (std::size_t k = 0; k < table.size(); ++k) {
        if (!(table[k].cost > lo.cost && table[k].cost < hi.cost)) continue;
        from = std::min(from, table[k].cost);
        to = std::max(to, table[k].cost);
        if (k == std::min<std::size_t>(4, table.size() - 1)) centre = table[k].cost;
    }
    if (!(from <= to)) return;
    cuts.push_back(from);
    if (from < to) {
        spreadCuts(from, to, cuts);
        cuts.push_back(to);
    }
}

}  // namespace

namespace detail {

bool cutsAbout(const ProbabilityMatrix& probs, const OrderBound& lo, const OrderBound& hi, Position index,
               Position bandSize, std::vector<double>& cuts, double* centre) {
    cuts.clear();
    double nearest = 0.0;
    if (bandSize > kSpreadAtMost) windowCuts(probs, lo, hi, index, cuts, nearest);
    if (centre != nullptr) *centre = nearest;
    if (!cuts.empty()) return true;
    spreadCuts(lo.cost, hi.cost, cuts);
    return false;
}

std::optional<OrderBound> boundIn(const RangePlan& plan, ThreadPool& pool, const ProbabilityMatrix& probs,
                                  Position offset, OrderBound lo, OrderBound hi, Position before,
                                  const std::vector<double>& cuts, const std::vector<Position>& slots,
                                  Position mostListed, const std::atomic<bool>* interrupt) {
    const Model& m = plan.model();
    Position inBand = 0;  // configurations of [lo, hi)
    if (!narrowTo(slots, cuts, offset, m.n, lo, hi, before, inBand)) return std::nullopt;
    std::vector<double> finer;
    for (int round = 0; inBand > mostListed; ++round) {
        if (round == kMostRounds) return std::nullopt;
        cutsAbout(probs, lo, hi, offset - before, inBand, finer);
        if (finer.empty()) return std::nullopt;  // too many of one cost
        narrowTo(countBySlot(plan, pool, bandOf(m, lo, hi), finer, interrupt), finer, offset, m.n, lo, hi, before,
                 inBand);
    }
    std::vector<Listed> listed = listBand(plan, pool, bandOf(m, lo, hi), interrupt);
    if (listed.size() != inBand || offset - before >= inBand)
        throw std::logic_error("quorin: boundAfter counted " + std::to_string(static_cast<unsigned long long>(inBand)) +
                               " configurations in a band and listed " + std::to_string(listed.size()));
    Listed& found = listed[static_cast<std::size_t>(offset - before)];
    return OrderBound{found.cost, std::move(found.columns)};
}

std::optional<OrderBound> boundAfter(const ProbabilityMatrix& probs, const OrderBound& lower, Position offset,
                                     unsigned threads, const std::atomic<bool>* interrupt, Position mostListed) {
    checkProbabilities(probs);
    checkRangeBounds(probs, lower, std::nullopt);
    if (!(lower.cost < kInf)) return std::nullopt;
    if (threads == 0) threads = std::max(1u, std::thread::hardware_concurrency());
    const std::size_t n = probs.size();
    ThreadPool pool(threads);
    Position total = 1;
    for (const std::vector<double>& row : probs) total = saturatingMul(total, row.size());
    const bool small = total <= kSpreadAtMost;
    // The plan reaches a cut of the weight table a quarter past the offset. Each walk counts
    // the configurations between cuts of the band known to hold the configuration sought
    // (cutsAbout), until it is small enough to list.
    Position reach = offset + offset / 4 + 1;
    std::vector<double> cuts;
    for (int attempt = 0; attempt < kFarAttempts; ++attempt) {
        // No cut that far (or a matrix small enough to count whole): every finite
        // configuration from lower on.
        const std::vector<OrderBound> farCut =
            small ? std::vector<OrderBound>{} : cutRange(probs, lower, std::nullopt, reach, 1);
        const bool far = !farCut.empty();
        const OrderBound hi = far ? farCut.front() : OrderBound{kInf, std::vector<int>(n, 0)};
        const RangePlan plan(probs, lower, hi, threads, interrupt);
        if (!plan.hasFinitePart()) return std::nullopt;
        cutsAbout(probs, lower, hi, offset, offset, cuts);
        const std::vector<Position> slots = countBySlot(plan, pool, bandOf(plan.model(), lower, hi), cuts, interrupt);
        Position counted = 0;
        for (Position c : slots) counted += c;
        if (counted > offset)
            return boundIn(plan, pool, probs, offset, lower, hi, 0, cuts, slots, mostListed, interrupt);
        if (!far) return std::nullopt;  // of cost +inf, or past the end
        reach = reach < kNoStop / 4 ? 4 * reach : kNoStop;
    }
    return std::nullopt;
}

}  // namespace detail

std::optional<OrderBound> boundAfter(const ProbabilityMatrix& probs, const OrderBound& lower, Position offset,
                                     unsigned threads, const std::atomic<bool>* interrupt) {
    return detail::boundAfter(probs, lower, offset, threads, interrupt, kMostListed);
}

}  // namespace quorin
