#include "walk/suffix_list.h"

#include <algorithm>
#include <cmath>

#include <quorin/detail/introsort.h>

namespace quorin {
namespace detail {
namespace {

// nxt = cur convolved with row i's keys rounded down to a grid of step h (bins + 1 cells;
// keys past the grid dropped).
void addRow(const Model& m, std::size_t i, double h, std::size_t bins, const std::vector<double>& cur,
            std::vector<double>& nxt) {
    std::fill(nxt.begin(), nxt.end(), 0.0);
    for (std::size_t c = m.candStart[i]; c < m.candStart[i + 1]; ++c) {
        const double w = std::floor(m.candDelta[c] / h);
        if (!(w <= static_cast<double>(bins))) break;
        const std::size_t wi = static_cast<std::size_t>(w);
        for (std::size_t b = wi; b <= bins; ++b) nxt[b] += cur[b - wi];
    }
}


// Visits every combination of the rows [from, to) whose key (cost above the rows' minima,
// summed in row order) is at most `budget`, depth first, its columns in path[0 .. to -
// from); stops, returning false, once visit(key) does.
template <class Col, class Visit>
bool forEachCombination(const Model& m, std::size_t from, std::size_t to, double budget, Col* path,
                               const std::atomic<bool>* interrupt, Visit&& visit) {
    const std::size_t depth = to - from;
    if (depth == 0) return visit(0.0);
    std::vector<std::size_t> k(depth + 1);
    std::vector<double> key(depth + 1, 0.0);
    unsigned steps = 0;
    std::size_t level = 0;
    k[0] = m.candStart[from];
    while (true) {
        const std::size_t row = from + level;
        const std::size_t end = m.candStart[row + 1];
        if (level + 1 == depth) {
            const double base = key[level];
            for (std::size_t c = k[level]; c < end; ++c) {
                const double kk = base + m.candDelta[c];
                if (!(kk <= budget)) break;
                path[level] = static_cast<Col>(m.candColumn[c]);
                if (!visit(kk)) return false;
            }
        } else if (k[level] < end) {
            const double kk = key[level] + m.candDelta[k[level]];
            if (kk <= budget) {
                path[level] = static_cast<Col>(m.candColumn[k[level]]);
                key[level + 1] = kk;
                ++level;
                k[level] = m.candStart[from + level];
                if (++steps == kCheckEvery) {
                    steps = 0;
                    if (raised(interrupt)) throw Interrupted();
                }
                continue;
            }
        }
        if (level == 0) return true;
        --level;
        ++k[level];
    }
}

template <class Col>
bool buildSuffix(const Model& m, SuffixList& suffix, std::size_t first, double budget, double scale,
                 std::size_t buckets, std::size_t maxEntries, const std::atomic<bool>* interrupt) {
    const std::size_t depth = m.n - first;
    std::vector<Col> path(depth + 1);
    // The combinations of key <= budget: a single row's are visited with their columns in
    // `path`; longer suffixes join two halves listed by key: for each combination of the
    // first half, cheapest first, the second half's combinations that fit below the budget
    // are a prefix of its list, which shrinks as the first half's key grows.
    const std::size_t mid = first + depth / 2;
    std::vector<double> xKey, yKey;
    std::vector<Col> xCols, yCols;
    const bool joined = depth >= 2;
    if (joined) {
        auto listHalf = [&](std::size_t from, std::size_t to, std::vector<double>& keys, std::vector<Col>& cols) {
            std::vector<Col> p(to - from + 1);
            std::vector<double> unsortedKeys;
            std::vector<Col> unsortedCols;
            forEachCombination(m, from, to, budget, p.data(), interrupt, [&](double kk) {
                unsortedKeys.push_back(kk);
                unsortedCols.insert(unsortedCols.end(), p.begin(), p.begin() + static_cast<std::ptrdiff_t>(to - from));
                return true;
            });
            std::vector<std::uint32_t> order(unsortedKeys.size());
            for (std::size_t i = 0; i < order.size(); ++i) order[i] = static_cast<std::uint32_t>(i);
            introsort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t c) {
                return unsortedKeys[a] < unsortedKeys[c] || (unsortedKeys[a] == unsortedKeys[c] && a < c);
            });
            const std::size_t w = to - from;
            keys.resize(order.size());
            cols.resize(order.size() * w);
            for (std::size_t i = 0; i < order.size(); ++i) {
                keys[i] = unsortedKeys[order[i]];
                std::copy(unsortedCols.begin() + static_cast<std::ptrdiff_t>(order[i] * w),
                          unsortedCols.begin() + static_cast<std::ptrdiff_t>((order[i] + 1) * w),
                          cols.begin() + static_cast<std::ptrdiff_t>(i * w));
            }
        };
        listHalf(first, mid, xKey, xCols);
        listHalf(mid, m.n, yKey, yCols);
    }
    // For each first-half combination x, cheapest first, run(x, cut) with the number of
    // second-half ones that fit below the budget with it (the first `cut` of that list);
    // false once run says so.
    auto forEachRun = [&](auto&& run) -> bool {
        std::size_t cut = yKey.size();
        unsigned steps = 0;
        for (std::size_t x = 0; x < xKey.size(); ++x) {
            while (cut > 0 && !(xKey[x] + yKey[cut - 1] <= budget)) --cut;
            if (cut == 0) break;
            if (!run(x, cut)) return false;
            if (++steps == kCheckEvery) {
                steps = 0;
                if (raised(interrupt)) throw Interrupted();
            }
        }
        return true;
    };
    auto forEach = [&](auto&& visit) {
        return forEachCombination(m, first, m.n, budget, path.data(), interrupt, visit);
    };
    // Pass 1: entries per bucket, at most maxEntries in all. Joined halves are counted by
    // their keys alone (the pairs' columns are copied in pass 2 only).
    std::size_t total = 0;
    std::vector<std::uint32_t> counts(buckets + 1, 0);
    bool fits;
    if (joined) {
        fits = forEachRun([&](std::size_t x, std::size_t cut) {
            if (cut > maxEntries - total) return false;
            for (std::size_t y = 0; y < cut; ++y) ++counts[bucketOf(xKey[x] + yKey[y], scale, buckets)];
            total += cut;
            return true;
        });
    } else {
        unsigned leaves = 0;
        fits = forEach([&](double kk) {
            if (++leaves == kCheckEvery) {
                leaves = 0;
                if (raised(interrupt)) throw Interrupted();
            }
            ++counts[bucketOf(kk, scale, buckets)];
            return ++total <= maxEntries;
        });
    }
    if (!fits) return false;
    // About two buckets per entry are enough: halving the scale (a power of two) merges
    // neighbouring buckets exactly, since no listed key reaches the clamp.
    while (buckets > 2 * total + 64 && scale > 1e-300) {
        const std::size_t half = (buckets - 1) / 2 + 1;
        for (std::size_t b2 = 0; b2 < half; ++b2) counts[b2] = counts[2 * b2] + (2 * b2 + 1 < buckets ? counts[2 * b2 + 1] : 0);
        scale /= 2;
        buckets = half;
    }
    suffix.valid = false;
    suffix.start.assign(buckets + 1, 0);
    std::uint32_t at = 0;
    for (std::size_t b = 0; b < buckets; ++b) {
        suffix.start[b] = at;
        at += counts[b];
    }
    suffix.start[buckets] = at;
    for (std::size_t b = 0; b < buckets; ++b) counts[b] = suffix.start[b];
    const std::size_t entryBytes = depth * sizeof(Col);
    suffix.entries.clear();
    suffix.entries.shrink_to_fit();
    suffix.entries.resize(total * entryBytes + 1);
    unsigned char* out = suffix.entries.data();
    if (!joined) {
        forEach([&](double kk) {
            const std::size_t slot = counts[bucketOf(kk, scale, buckets)]++;
            copyBytes(out + slot * entryBytes, reinterpret_cast<const unsigned char*>(path.data()), entryBytes);
            return true;
        });
    } else {
        // Pass 2, band after band of buckets holding about kBand entries: every first-half
        // combination contributes the run of its second-half list that lands in the band,
        // so the writes of a band stay in cache.
        constexpr std::size_t kBand = 1 << 15;
        const std::size_t xw = mid - first, yw = m.n - mid;
        std::vector<std::size_t> from(xKey.size(), 0);
        std::size_t b1 = 0;
        while (b1 < buckets) {
            std::size_t b2 = b1 + 1;
            while (b2 < buckets && suffix.start[b2 + 1] - suffix.start[b1] <= kBand) ++b2;
            if (raised(interrupt)) throw Interrupted();
            for (std::size_t x = 0; x < xKey.size(); ++x) {
                const double kx = xKey[x];
                if (bucketOf(kx, scale, buckets) >= b2) break;
                std::size_t y = from[x];
                while (y < yKey.size() && bucketOf(kx + yKey[y], scale, buckets) < b1) ++y;
                for (; y < yKey.size(); ++y) {
                    const double kk = kx + yKey[y];
                    if (!(kk <= budget)) {
                        y = yKey.size();
                        break;
                    }
                    const std::size_t b = bucketOf(kk, scale, buckets);
                    if (b >= b2) break;
                    unsigned char* dst = out + std::size_t{counts[b]++} * entryBytes;
                    copyBytes(dst, reinterpret_cast<const unsigned char*>(xCols.data() + x * xw), xw * sizeof(Col));
                    copyBytes(dst + xw * sizeof(Col), reinterpret_cast<const unsigned char*>(yCols.data() + y * yw),
                              yw * sizeof(Col));
                }
                from[x] = y;
            }
            b1 = b2;
        }
    }
    suffix.occupied.assign(buckets / 64 + 1, 0);
    for (std::size_t b = 0; b < buckets; ++b) {
        if (suffix.start[b + 1] > suffix.start[b]) suffix.occupied[b >> 6] |= std::uint64_t{1} << (b & 63);
    }
    suffix.reach.clear();
    suffix.first = first;
    suffix.budget = budget;
    suffix.scale = scale;
    suffix.buckets = buckets;
    suffix.count = total;
    suffix.valid = true;
    return true;
}

// Rows before a range's suffix list that get a reachability bitmap.
constexpr std::size_t kReachLevels = 4;

// dst |= src shifted up by `by` bits (bits past the end dropped).
void orShifted(std::vector<std::uint64_t>& dst, const std::vector<std::uint64_t>& src, std::size_t by) {
    const std::size_t words = by / 64, bits = by % 64;
    for (std::size_t w = dst.size(); w-- > words;) {
        std::uint64_t v = src[w - words] << bits;
        if (bits != 0 && w > words) v |= src[w - words - 1] >> (64 - bits);
        dst[w] |= v;
    }
}

// The reachability bitmaps of the `levels` rows before the list's (see SuffixList::reach).
void buildReach(const Model& m, SuffixList& list, std::size_t levels) {
    list.reach.clear();
    list.reach.reserve(levels);  // `below` points into it
    const std::vector<std::uint64_t>* below = &list.occupied;
    for (std::size_t j = 1; j <= levels && j <= list.first; ++j) {
        const std::size_t row = list.first - j;
        std::vector<std::uint64_t> bits(list.occupied.size(), 0);
        for (std::size_t c = m.candStart[row]; c < m.candStart[row + 1]; ++c) {
            const double delta = m.candDelta[c];
            if (!(delta <= list.budget)) break;
            orShifted(bits, *below, bucketOf(delta, list.scale, list.buckets));
        }
        // Rounding may move a sum into a neighbouring bucket: set those too.
        std::vector<std::uint64_t> wide(bits);
        for (std::size_t w = 0; w < bits.size(); ++w) {
            wide[w] |= bits[w] << 1 | bits[w] >> 1;
            if (w > 0) wide[w] |= bits[w - 1] >> 63;
            if (w + 1 < bits.size()) wide[w] |= bits[w + 1] << 63;
        }
        list.reach.push_back(std::move(wide));
        below = &list.reach.back();
    }
}

}  // namespace

bool buildSuffixList(const Model& m, SuffixList& list, std::size_t first, double budget, double scale,
                     std::size_t buckets, std::size_t maxEntries, const std::atomic<bool>* interrupt) {
    bool built = false;
    withColumnType(m, [&](auto col) {
        built = buildSuffix<decltype(col)>(m, list, first, budget, scale, buckets, maxEntries, interrupt);
    });
    return built;
}

// For every first row s, an upper bound on the number of combinations of the rows [s, n)
// whose key is at most `budget`: keys rounded down to a grid of 2048 steps over the budget
// and counted by a convolution, last row first.
std::vector<double> suffixCountBounds(const Model& m, double budget, std::vector<double>* histogram) {
    std::vector<double> bound(m.n + 1, 1.0);
    if (!(budget < kInf)) {
        for (std::size_t i = m.n; i-- > 0;)
            bound[i] = bound[i + 1] * static_cast<double>(m.candStart[i + 1] - m.candStart[i]);
        return bound;
    }
    const std::size_t candidates = std::max<std::size_t>(1, m.candCost.size());
    const std::size_t bins = std::max<std::size_t>(16, std::min<std::size_t>(2048, (std::size_t{1} << 26) / candidates));
    const double h = budget > 0 ? budget / static_cast<double>(bins) : 1.0;
    std::vector<double> cur(bins + 1, 0.0), nxt(bins + 1);
    cur[0] = 1.0;
    for (std::size_t i = m.n; i-- > 0;) {
        addRow(m, i, h, bins, cur, nxt);
        std::swap(cur, nxt);
        double sum = 0.0;
        for (double x : cur) sum += x;
        bound[i] = sum;
    }
    if (histogram != nullptr) *histogram = cur;
    return bound;
}

double prefixCountBound(const Model& m, std::size_t rows, double budget) {
    if (!(budget >= 0)) return 0.0;
    double all = 1.0;
    for (std::size_t i = 0; i < rows; ++i) all *= static_cast<double>(m.candStart[i + 1] - m.candStart[i]);
    if (!(budget < kInf)) return all;
    // Keys rounded down to a grid, counted by a convolution, first row first.
    const std::size_t bins = 2048;
    const double h = budget > 0 ? budget / static_cast<double>(bins) : 1.0;
    std::vector<double> cur(bins + 1, 0.0), nxt(bins + 1);
    cur[0] = 1.0;
    for (std::size_t i = 0; i < rows; ++i) {
        addRow(m, i, h, bins, cur, nxt);
        std::swap(cur, nxt);
    }
    double total = 0.0;
    for (double x : cur) total += x;
    return std::min(total, all);
}

std::vector<double> budgetsWithin(const Model& m, double limit, const std::vector<double>& maxEntries) {
    std::vector<double> budget(m.n + 1, -1.0);
    if (!(limit >= 0) || !(limit < kInf)) return budget;
    // The keys rounded down to a grid of step h: a combination of key at most g * h has
    // grid keys summing to at most g, so the running sums of the grid's counts bound the
    // counts from above.
    const std::size_t candidates = std::max<std::size_t>(1, m.candCost.size());
    const std::size_t bins = std::max<std::size_t>(16, std::min<std::size_t>(16384, (std::size_t{1} << 26) / candidates));
    const double h = limit > 0 ? limit / static_cast<double>(bins) : 1.0;
    std::vector<double> cur(bins + 1, 0.0), nxt(bins + 1);
    cur[0] = 1.0;
    for (std::size_t i = m.n + 1; i-- > 0;) {
        if (i < m.n) {
            addRow(m, i, h, bins, cur, nxt);
            std::swap(cur, nxt);
        }
        double running = 0.0;
        for (std::size_t g = 0; g <= bins; ++g) {
            running += cur[g];
            if (running > maxEntries[i]) break;
            budget[i] = g == bins ? limit : static_cast<double>(g) * h;
        }
    }
    return budget;
}

void fitSuffixList(const Model& m, SuffixList& list, double hiCost, std::size_t maxBytes,
                   const std::atomic<bool>* interrupt) {
    auto budgetFor = [&](std::size_t first) {
        const double need = hiCost == kInf ? kInf : hiCost - m.minBefore[first] - m.minAfter[first] + 4 * m.margin;
        return std::min(need, m.deltaAfter[first] + m.margin);
    };
    const std::vector<double> counts = suffixCountBounds(m, budgetFor(0));
    auto entriesFitting = [&](std::size_t first) {
        return static_cast<double>(maxBytes / std::max<std::size_t>(1, (m.n - first) * m.width));
    };
    std::size_t first = 0;
    while (first < m.n && counts[first] > entriesFitting(first)) ++first;
    for (;; ++first) {  // rows [n, n) have one combination: that always fits
        const double budget = std::max(0.0, budgetFor(first));
        const double most = std::min(static_cast<double>(kTableBuckets), 2 * std::min(counts[first], entriesFitting(first)) + 64);
        double scale = budget > 0 ? std::exp2(std::floor(std::log2(most / budget))) : 1.0;
        if (!(scale < 1e300)) scale = 1e300;
        while (scale > 1e-300 && budget * scale + 1 > most) scale /= 2;
        const std::size_t buckets = static_cast<std::size_t>(std::max(0.0, budget * scale)) + 1;
        const auto maxEntries = static_cast<std::size_t>(std::max(1.0, entriesFitting(first)));
        if (buildSuffixList(m, list, first, budget, scale, buckets, maxEntries, interrupt)) {
            buildReach(m, list, kReachLevels);
            return;
        }
    }
}

}  // namespace detail
}  // namespace quorin
