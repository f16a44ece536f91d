// The suffix list: the cheap combinations of a matrix's last rows, by key (not installed).
//
// A combination's key is its cost above those rows' minima, summed in row order. The list
// holds every combination of the rows [first, n) whose key is at most `budget`, grouped
// into buckets of keys (bucketOf(key, scale, buckets)), so that the entries of any key
// range are one table lookup away: bucket b's entries are entries[start[b] .. start[b+1]),
// each the columns of those rows at the model's stored width.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "walk/cost_model.h"

namespace quorin {
namespace detail {

// The most buckets of a suffix list's table.
constexpr std::size_t kTableBuckets = std::size_t{1} << 22;

// The last rows' combinations of small key, by key bucket.
struct SuffixList {
    bool valid = false;
    std::size_t first = 0;     // the rows [first, n)
    double budget = -1.0;      // every combination of key <= budget is listed
    double scale = 1.0;        // bucket of a key: bucketOf(key, scale, buckets)
    std::size_t buckets = 1;
    std::vector<std::uint32_t> start;  // bucket b's entries: [start[b], start[b + 1])
    std::vector<unsigned char> entries;  // columns of the rows [first, n), stored width
    std::size_t count = 0;
    // One bit per bucket, set when it holds entries: small enough to stay in cache, so that
    // a key range with no entry is told without reading `start`.
    std::vector<std::uint64_t> occupied;

    // reach[j - 1], for j = 1 .. reach.size(): one bit per bucket, set when some
    // combination of the rows [first - j, n) may have its key (cost above those rows'
    // minima) in it (a superset: neighbouring buckets are set too, for rounding).
    std::vector<std::vector<std::uint64_t>> reach;

    // Whether some bucket of [b1, b2] holds entries.
    bool anyIn(std::size_t b1, std::size_t b2) const noexcept { return anyIn(occupied, b1, b2); }
    // Whether some combination of the rows [first - j, n) may have a key in [x1, x2]
    // (j <= reach.size(); j = 0: the listed rows).
    bool mayReach(std::size_t j, double x1, double x2) const noexcept {
        if (x2 < 0) return false;
        const std::size_t b2 = bucketOf(x2, scale, buckets);
        if (b2 + 1 >= buckets) return true;  // keys past the table are not told
        return anyIn(j == 0 ? occupied : reach[j - 1], bucketOf(x1, scale, buckets), b2);
    }

    static bool anyIn(const std::vector<std::uint64_t>& occupied, std::size_t b1, std::size_t b2) noexcept {
        std::size_t w1 = b1 >> 6;
        const std::size_t w2 = b2 >> 6;
        const std::uint64_t first = ~std::uint64_t{0} << (b1 & 63);
        const std::uint64_t last = ~std::uint64_t{0} >> (63 - (b2 & 63));
        if (w1 == w2) return (occupied[w1] & first & last) != 0;
        if ((occupied[w1] & first) != 0) return true;
        for (++w1; w1 < w2; ++w1) {
            if (occupied[w1] != 0) return true;
        }
        return (occupied[w2] & last) != 0;
    }
};

// For every first row s, an upper bound on the number of combinations of the rows [s, n)
// whose key is at most `budget` (n + 1 entries); with `histogram`, also the counts of the
// whole matrix's keys on a grid of budget / (histogram->size() - 1).
std::vector<double> suffixCountBounds(const Model& m, double budget, std::vector<double>* histogram = nullptr);

// An upper bound on the number of combinations of the rows [0, rows) whose key (cost above
// those rows' minima) is at most `budget`: the prefixes a walk over those rows may enter.
double prefixCountBound(const Model& m, std::size_t rows, double budget);

// For every first row s (n + 1 entries), the largest key budget, up to `limit`, for which an
// upper bound on the number of combinations of the rows [s, n) of key at most the budget
// stays within maxEntries[s]; -1 where not even the key 0 does.
std::vector<double> budgetsWithin(const Model& m, double limit, const std::vector<double>& maxEntries);

// Lists the rows [first, n) with keys up to `budget` in `buckets` buckets of 1 / scale;
// false (the list unchanged) when that would take more than maxEntries entries.
bool buildSuffixList(const Model& m, SuffixList& list, std::size_t first, double budget, double scale,
                     std::size_t buckets, std::size_t maxEntries, const std::atomic<bool>* interrupt);

// Makes `list` hold every combination a range below hiCost (+inf: every cost) can use,
// without room for more, about two buckets per entry, covering as many rows as fit in
// maxBytes.
void fitSuffixList(const Model& m, SuffixList& list, double hiCost, std::size_t maxBytes,
                   const std::atomic<bool>* interrupt);

}  // namespace detail
}  // namespace quorin
