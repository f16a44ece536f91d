#include "range/range_stop.h"

#include <algorithm>

namespace quorin {
namespace detail {

namespace {

// Memory of the configurations kept at most, over all threads (1.6 million configurations of 16 rows).
std::atomic<std::size_t> keptBytes{std::size_t{64} << 20};
// The window cutsAbout spreads its cuts over spans about a 128th of the index; the slots
// kept are at most a fifth of them about the table's estimate of the one sought (within
// a thousandth of the index for millions of configurations), and fewer where they would
// hold more than half what may be kept.
constexpr double kKeepShare = 0.2;
constexpr double kKeepBefore = 0.5;

}  // namespace

std::size_t setStopKeptBytes(std::size_t bytes) { return keptBytes.exchange(bytes); }

StopCount::StopCount(const ProbabilityMatrix& probs, const OrderBound& lower, const OrderBound& far, Position most,
                     unsigned threads)
    : probs_(probs), lower_(lower), far_(far), most_(most), rows_(probs.size()), slotOf_(cuts_) {
    double centre = 0.0;
    const bool window = cutsAbout(probs, lower, far, most, most, cuts_, &centre);
    slotOf_ = SlotOf(cuts_);
    low_ = cuts_.empty() ? kInf : cuts_.front();
    const std::size_t slots = cuts_.size() + 1;
    bool narrow = true;  // columns fit in 16 bits
    for (const std::vector<double>& row : probs) narrow = narrow && row.size() <= 65536;
    keepFrom_ = keepTo_ = 0;
    const std::size_t keptMost = keptBytes.load() / (sizeof(double) + rows_ * sizeof(std::uint16_t));
    if (narrow && window) {
        const double perSlot = static_cast<double>(most) / 128.0 / static_cast<double>(slots);
        const double fits = static_cast<double>(keptMost) / std::max(perSlot, 1.0);
        const double width = std::min(kKeepShare * static_cast<double>(slots), fits / 2);
        const double from = std::max(1.0, static_cast<double>(slotOf_(centre)) - kKeepBefore * width);
        keepFrom_ = static_cast<std::size_t>(from);
        keepTo_ = std::min(slots, static_cast<std::size_t>(from + width) + 1);
    } else if (narrow) {  // cuts over the whole range: keep any past the first, up to the cap
        keepFrom_ = 1;
        keepTo_ = slots;
    }
    keepEach_ = keptMost / std::max(1u, threads);
    parts_.resize(std::max(1u, threads));
    for (Part& p : parts_) p.counts.assign(slots, 0);
}

template <class Column>
void StopCount::add(const double* costs, const Column* columns, std::size_t count,
                    const std::vector<std::uint32_t>& above, unsigned thread) {
    const std::size_t rows = rows_;
    Part& part = parts_[thread];
    part.counts[0] += count - above.size();
    for (const std::uint32_t k : above) {
        const double E = costs[k];
        const std::size_t j = slotOf_(E);
        ++part.counts[j];
        if (j < keepFrom_ || j >= keepTo_ || part.overflow) continue;
        if (part.keptCosts.size() == keepEach_) {
            part.overflow = true;
            continue;
        }
        part.keptCosts.push_back(E);
        const Column* c = columns + std::size_t{k} * rows;
        for (std::size_t r = 0; r < rows; ++r) part.keptColumns.push_back(static_cast<std::uint16_t>(c[r]));
    }
}

template void StopCount::add(const double*, const std::int32_t*, std::size_t, const std::vector<std::uint32_t>&,
                             unsigned);
template void StopCount::add(const double*, const std::uint8_t*, std::size_t, const std::vector<std::uint32_t>&,
                             unsigned);

std::optional<OrderBound> StopCount::fromKept(std::size_t slot, Position count, Position index) const {
    struct Kept {
        double cost;
        const std::uint16_t* columns;
    };
    std::vector<Kept> inSlot;
    for (const Part& p : parts_) {
        if (p.overflow) return std::nullopt;
        for (std::size_t k = 0; k < p.keptCosts.size(); ++k) {
            if (slotOf_(p.keptCosts[k]) == slot) inSlot.push_back(Kept{p.keptCosts[k], p.keptColumns.data() + k * rows_});
        }
    }
    if (inSlot.size() != count || !(index < count)) return std::nullopt;
    const std::size_t n = rows_;
    auto before = [n](const Kept& a, const Kept& b) {
        if (a.cost != b.cost) return a.cost < b.cost;
        return std::lexicographical_compare(a.columns, a.columns + n, b.columns, b.columns + n);
    };
    const auto at = inSlot.begin() + static_cast<std::ptrdiff_t>(index);
    std::nth_element(inSlot.begin(), at, inSlot.end(), before);
    return OrderBound{at->cost, std::vector<int>(at->columns, at->columns + n)};
}

std::optional<OrderBound> StopCount::end(const RangePlan& plan, ThreadPool& pool,
                                         const std::atomic<bool>* interrupt) const {
    std::vector<Position> counts(cuts_.size() + 1, 0);
    for (const Part& p : parts_) {
        for (std::size_t j = 0; j < counts.size(); ++j) counts[j] += p.counts[j];
    }
    Position before = 0;
    std::size_t j = 0;
    while (j + 1 < counts.size() && before + counts[j] <= most_) before += counts[j++];
    if (before + counts[j] <= most_) return std::nullopt;  // of cost +inf
    if (j >= keepFrom_ && j < keepTo_) {
        // Every configuration of the slot was kept (no part overflowed): the one sought is
        // the (most - before)-th of them in the cost order.
        if (std::optional<OrderBound> found = fromKept(j, counts[j], most_ - before)) return found;
    }
    return boundIn(plan, pool, probs_, most_, lower_, far_, 0, cuts_, counts, kMostListed, interrupt);
}

}  // namespace detail
}  // namespace quorin
