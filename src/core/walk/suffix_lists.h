// The suffix lists a range walk of a matrix uses, kept between walks (not installed).
//
// The deepest list holds every combination of its rows that a range below hiCost can use;
// the early lists, one per shallower first row, hold the combinations of their rows up to
// a budget that memory allows. A prefix whose remaining budget fits an early list takes
// its completions from it instead of being extended row by row: deep in the cost order
// most prefixes have little budget left, and without the early lists the walk visits far
// more prefixes than it finds configurations. None of the lists depend on where a range
// starts, so walks of the same matrix share them; they are rebuilt only when a range
// reaches past the deepest list's budget or the matrix changes.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <vector>

#include "walk/cost_model.h"
#include "walk/suffix_list.h"

namespace quorin {
namespace detail {

struct SuffixLists {
    std::shared_ptr<const SuffixList> deepest;
    // early[j]: a list of the rows [j, n), or null; only for j < deepest->first.
    std::vector<std::shared_ptr<const SuffixList>> early;
};

// The lists a range of `m` below hiCost uses (early lists only when `early` is set and
// the walk would enter many prefixes), from the lists kept for `m` when they still serve,
// else built on up to `threads` threads and kept in their place, with room for ranges up
// to `ahead` further (negative: a sixty-fourth of hiCost's distance from the cheapest cost).
SuffixLists suffixListsFor(const Model& m, double hiCost, bool early, unsigned threads,
                           const std::atomic<bool>* interrupt, double ahead = -1.0);

// Forgets the kept lists (those in use stay alive until their walks end).
void releaseSuffixLists() noexcept;

// The memory of the lists' entries in bytes: the deepest list's, each early list's, and
// all early lists' together.
struct SuffixListBytes {
    std::size_t deepest, early, earlyTotal;
};
// Sets them for the lists built from now on (forgetting the kept ones) and returns the
// previous: tests shrink them so that small matrices take every path of the walk.
SuffixListBytes setSuffixListBytes(SuffixListBytes bytes);

}  // namespace detail
}  // namespace quorin
