// Every configuration of a range of the cost order, exactly once, in no particular order.
//
// A range [lower, upper) of the cost order is given by two bounds (OrderBound of
// types.h): its configurations are those at or after `lower` and before `upper` (no
// upper: to the end, the configurations of cost +inf included). A search task needs every
// configuration of its range tested once and their exact number, not their order: the walk
// hands them out as its threads find them, at the same speed at any depth, and counts
// exactly. A configuration's index in the range (how many of the range come before it in
// the cost order) is found afterwards, for the few that matter.
//
//     quorin::RangeWalk walk(probs, lower, upper);
//     while (quorin::RangeChunk chunk = walk.next()) {
//         // chunk.count configurations: chunk.columns (row after row), chunk.costs
//     }
//     walk.handedOut();                     // the exact number of configurations of the range
//     walk.indexOf(columns);                // the 0-based index of one of them in the range
//     walk.indicesOf(hits);                 // the indices of many, counted together
//
//     quorin::RangeReport r = quorin::testRange(probs, lower, upper, tester);  // all in C++
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "counting.h"
#include "interrupt.h"
#include "tester.h"
#include "types.h"

namespace quorin {

// Configurations handed out together: count of them, columns[k * rows .. (k + 1) * rows)
// and costs[k] for k < count (the core's cost, summed in row order).
struct RangeChunk {
    std::size_t count = 0;
    std::vector<std::int32_t> columns;
    std::vector<double> costs;
    explicit operator bool() const noexcept { return count != 0; }
};

class RangeWalk {
public:
    // The range [lower, upper) of `probs` (std::nullopt: to the end), walked by `threads`
    // threads (0: every core), handed out up to `chunk` configurations at a time (at most
    // 2^18, and 16 MiB of columns; chunks may be shorter). Throws std::invalid_argument for
    // bad probabilities, or a bound with the wrong number of columns, a column out of range
    // or a NaN cost.
    RangeWalk(ProbabilityMatrix probs, OrderBound lower, std::optional<OrderBound> upper, unsigned threads = 0,
              std::size_t chunk = std::size_t{1} << 16);
    ~RangeWalk();
    RangeWalk(const RangeWalk&) = delete;
    RangeWalk& operator=(const RangeWalk&) = delete;

    std::size_t rows() const noexcept;
    // The next configurations found, an empty chunk once every one has been handed out.
    // Throws Interrupted when `interrupt` is raised while it waits; nothing is lost then
    // (the next call hands out what was due).
    RangeChunk next(const std::atomic<bool>* interrupt = nullptr);
    // Hands back a chunk's storage (from any thread) for the chunks to come.
    void recycle(RangeChunk&& chunk);
    // Configurations handed out so far; after the last chunk, the range's exact size.
    Position handedOut() const noexcept;
    // How many configurations of the range come before `columns` in the cost order (for
    // a configuration of the range: its 0-based index there). Throws std::invalid_argument
    // for bad columns, Interrupted as next() does.
    Position indexOf(const std::vector<int>& columns, const std::atomic<bool>* interrupt = nullptr) const;
    // indexOf of each of `configurations` (any order, repeats allowed), counted together: a
    // walk of the range for every 32,768 of them, on `threads` threads (0: the walk's own
    // number). Throws as indexOf does.
    std::vector<Position> indicesOf(const std::vector<std::vector<int>>& configurations,
                                    const std::atomic<bool>* interrupt = nullptr, unsigned threads = 0) const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// What testing a range found: how many configurations it tested, and its hits by index
// in the range (ascending), each with its configuration. A unique tester's walk stops at
// its hit: complete is false, hits holds that hit alone and tested is its index + 1 (the
// configurations of the range up to it in the cost order).
struct RangeHit {
    Position index = 0;
    Configuration configuration;
};
// With a limit (testRange's `most`) and a range holding more, cut is true: tested and hits
// are those of the first `most` configurations alone, and end is the bound where they end
// (std::nullopt when counts could not tell it: among too many of one cost or of cost +inf,
// or after a unique tester's hit; boundAfter or select finds it).
struct RangeReport {
    Position tested = 0;
    std::vector<RangeHit> hits;
    bool complete = true;
    bool cut = false;
    std::optional<OrderBound> end;
};

// Runs `tester` on every configuration of [lower, upper), in the walk's own buffers on its
// threads, and indexes every hit in one more walk whatever their number. A unique tester
// (Tester::unique) stops the walk at its first hit. With `most`, only the first `most`
// configurations count: the walk counts its configurations by cost about where they end
// (a few nanoseconds each), so that a range cut by an estimate a little past them needs
// no count of its own beforehand. Throws as RangeWalk does, std::invalid_argument when
// the tester refuses the matrix's shape, Interrupted when `interrupt` is raised (nothing
// is kept).
RangeReport testRange(const ProbabilityMatrix& probs, const OrderBound& lower, const std::optional<OrderBound>& upper,
                      const Tester& tester, unsigned threads = 0, const std::atomic<bool>* interrupt = nullptr,
                      std::optional<Position> most = std::nullopt);

// The bound of the configuration `offset` places after `lower` in the cost order (offset 0:
// the first at or after `lower`), so that [lower, result) holds exactly `offset`
// configurations. Found by exact counts of ever narrower bands from `lower` on, so its
// work grows with `offset`, not with how deep `lower` lies: deep down, for an offset far
// below the position, it is much quicker than select. std::nullopt when that
// configuration is of cost +inf or past the end, or among too many of one cost to pick
// by counts (select finds those). `threads` = 0 uses every core. Throws as RangeWalk does,
// Interrupted when `interrupt` is raised.
std::optional<OrderBound> boundAfter(const ProbabilityMatrix& probs, const OrderBound& lower, Position offset,
                                     unsigned threads = 0, const std::atomic<bool>* interrupt = nullptr);

// Range walks and cutRange keep what they build from a matrix alone (lists of its last
// rows' combinations, up to about 300 MiB deep down, and the weight table that cuts) for the next
// call on the same matrix, which then starts at once; this frees it (walks still running
// keep theirs until they end).
void releaseWalkMemory() noexcept;

// Up to `most` bounds strictly between `lower` and `upper` (std::nullopt: the end),
// ascending, each about `size` configurations after the one before (the first after
// `lower`), by the counts of a weight table: the ranges between them hold about `size`
// configurations each, within the table's resolution. Fewer where the range ends.
std::vector<OrderBound> cutRange(const ProbabilityMatrix& probs, const OrderBound& lower,
                                 const std::optional<OrderBound>& upper, Position size, std::size_t most);

}  // namespace quorin
