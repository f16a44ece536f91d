// Where the first configurations of a range end, found by the walk that tests them (not
// installed).
//
// A search's last task reaches a little past the search's stop; only its first `most`
// configurations count. The walk hands every configuration it tests to a StopCount, which
// counts their costs by slot among cuts spread over a window that the weight table places
// about the most-th (cutsAbout), and keeps the configurations of the slots where it
// usually falls. The end's bound is then read off what was kept; where it fell elsewhere,
// its slot is counted and listed again (boundIn), as boundAfter would.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include <quorin/range_walk.h>

#include "range/range_plan.h"

namespace quorin {
namespace detail {

class StopCount {
public:
    // For the range [lower, far) of `probs` (far: its upper bound, or the first of cost
    // +inf), walked by `threads` threads.
    StopCount(const ProbabilityMatrix& probs, const OrderBound& lower, const OrderBound& far, Position most,
              unsigned threads);

    // Counts a chunk of finite configurations (their costs, and their columns, `rows` each,
    // as int32 or bytes) and keeps those of the expected slots, for thread `thread`, given
    // `above`: the indices in the chunk of those costing low() or more, noted as the walk
    // filled it, the others counted without a look; threads add at once, each with its
    // own number.
    template <class Column>
    void add(const double* costs, const Column* columns, std::size_t count, const std::vector<std::uint32_t>& above,
             unsigned thread);
    // The first cut: configurations costing less are counted without a look.
    double low() const noexcept { return low_; }

    // The bound of the configuration `most` places after lower, once every configuration
    // of the range walked by `plan` has been added. std::nullopt where counts cannot tell
    // it: fewer finite configurations than that (it is of cost +inf), or too many of one
    // cost.
    std::optional<OrderBound> end(const RangePlan& plan, ThreadPool& pool, const std::atomic<bool>* interrupt) const;

private:
    struct Part {
        std::vector<std::uint64_t> counts;   // by slot
        std::vector<double> keptCosts;       // the kept configurations' costs
        std::vector<std::uint16_t> keptColumns;  // and their columns, `rows` each
        bool overflow = false;               // more to keep than the part's share
    };
    // The configuration `index` places into slot `slot` (of `count`), from those kept;
    // std::nullopt unless every one of the slot was kept.
    std::optional<OrderBound> fromKept(std::size_t slot, Position count, Position index) const;

    const ProbabilityMatrix& probs_;
    OrderBound lower_, far_;
    Position most_;
    std::size_t rows_;
    std::vector<double> cuts_;
    SlotOf slotOf_;
    double low_;                   // the first cut (+inf: none)
    std::size_t keepFrom_, keepTo_;  // the slots kept: [keepFrom_, keepTo_)
    std::size_t keepEach_;         // configurations each part keeps at most
    std::vector<Part> parts_;
};

// Sets the memory StopCounts made from now on keep configurations in, over all threads
// (64 MiB by default), and returns the previous: tests make it small, so that the slot
// sought is counted and listed again.
std::size_t setStopKeptBytes(std::size_t bytes);

}  // namespace detail
}  // namespace quorin
