// Exact enumeration in the cost order with bounded memory, on every core.
//
// The cost order: configurations by non-decreasing cost (the sum over rows, in row order
// from +0.0, of -ln p), equal costs in ascending lexicographic order of their columns, and
// the configurations of cost +inf (a zero probability) last, lexicographically.
// `WindowedEnumerator` hands out positions start .. stop - 1 of it into caller buffers:
//
//     quorin::WindowedEnumerator e(probs);
//     std::vector<std::int32_t> columns(4096 * e.rows());
//     std::vector<double> costs(4096);
//     while (std::size_t m = e.next(4096, columns.data(), costs.data())) {
//         // configuration k < m: columns[k * rows() .. (k + 1) * rows()), cost costs[k]
//     }
//
// It works window by window: a window is a range of the cost order of a few million
// configurations, enumerated depth first and sorted, then handed out. Memory stays
// bounded whatever the position (about 300 MiB at most, 500 MiB past about 2^36 on
// 16 x 256, besides the caller's buffers; locating a start past about 2^37 takes about
// 750 MiB while it runs, see counting.h), and the output does not depend on the number of
// threads.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <vector>

#include "cost_matrix.h"
#include "interrupt.h"
#include "types.h"

namespace quorin {

class WindowedEnumerator {
public:
    // The configurations at positions start .. stop - 1 of the cost order of `probs`
    // (all of them past the end are simply absent). The start is located through the
    // weight table on the first next(), without enumerating what comes before it (select
    // of counting.h: std::length_error for a finite-cost start of 2^50 or more that it
    // cannot place exactly). `threads` = 0 uses every core. A
    // window holds at most `windowSize` configurations (0: as many as the memory bound
    // allows, a few million; smaller windows cost speed, never exactness). Throws
    // std::invalid_argument for probabilities checkProbabilities refuses.
    explicit WindowedEnumerator(ProbabilityMatrix probs, Position start = 0, Position stop = kNoStop,
                                unsigned threads = 0, std::size_t windowSize = 0);

    // Continues an enumeration at `position`, whose configuration is the first at or after
    // `cursor` (as cursor() returned it). Throws std::invalid_argument for a cursor with
    // the wrong number of columns, a column out of range or a NaN cost.
    WindowedEnumerator(ProbabilityMatrix probs, Position position, OrderBound cursor, Position stop,
                       unsigned threads, std::size_t windowSize = 0);

    ~WindowedEnumerator();
    WindowedEnumerator(WindowedEnumerator&&) noexcept;
    WindowedEnumerator& operator=(WindowedEnumerator&&) noexcept;

    std::size_t rows() const noexcept;
    unsigned threads() const noexcept;
    const ProbabilityMatrix& probabilities() const noexcept;
    // Configurations handed out so far, counting the skipped start.
    Position position() const noexcept;
    Position stop() const noexcept;
    // The number of configurations of the matrix, or kNoStop if it is 2^128 or more.
    Position total() const noexcept;

    // Writes the next configurations, at most `count`, to columns[0 .. m * rows()) (row
    // after row) and costs[0 .. m), advances by m and returns m; m < count only at the end
    // or at the stop. If `interrupt` becomes true meanwhile, it throws Interrupted; then,
    // as after any exception, the position is unchanged and nothing is lost.
    std::size_t next(std::size_t count, std::int32_t* columns, double* costs,
                     const std::atomic<bool>* interrupt = nullptr);

    // Whether every configuration up to the stop has been handed out (false while the
    // start has not been located yet).
    bool exhausted() const noexcept;

    // How many configurations the next call can hand out without enumerating.
    std::size_t ready() const noexcept;

    // The bound at position(): the configuration due next is the first at or after it.
    // Locates the start first if needed (as next() does).
    OrderBound cursor();
    // Whether the start has been located.
    bool cursorKnown() const noexcept;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace quorin
