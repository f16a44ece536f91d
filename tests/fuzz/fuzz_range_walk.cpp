// libFuzzer target for the range walk (range_walk.h) and the walk of the prefix tree under it.
//
// Fuzzed bytes decode into a small matrix, the suffix lists' memory, and a few ranges
// [lower, upper) of the cost order, each walked with a fuzzed thread count and chunk size.
// Every answer is checked against brute force over all configurations: the walk hands out
// exactly the range's configurations, each once, with its exact cost; indicesOf places
// every configuration of the matrix; testRange finds every hit at its index, a unique
// tester stops at a hit, and with a limit only the first configurations count and their
// end is found; cutRange's bounds rise strictly inside the range; boundAfter finds the
// configuration a range's length after its lower bound. A violated check prints why and
// traps.
//
// Build and run: scripts/run-fuzz (seed corpus tests/fuzz/corpus_range_walk).
//
// Input layout (bytes past the end read as 0):
//   [0]     row count: 1 + byte modulo kMaxRows
//   [1]     the lists' memory: even keeps the default, odd shrinks it (deepest and early
//           lists of a few entries, so that small matrices take every path of the walk)
//   then per row: a width byte (modulo kMaxColumns, plus 1) and one palette byte per column
//   then per range: two bytes pick the positions of lower and upper in the order, one
//   byte the kind of bounds, one the threads (1 + byte % 3) and chunk size (1 + byte / 3 % 8)
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <optional>
#include <tuple>
#include <vector>

#include <quorin/range_walk.h>

#include "fuzz_matrix.h"
#include "range/range_plan.h"
#include "walk/suffix_lists.h"

namespace {

using quorin::OrderBound;
using quorin::ProbabilityMatrix;

constexpr std::size_t kMaxRows = 5;
constexpr std::size_t kMaxColumns = 6;
constexpr std::size_t kRanges = 4;
constexpr double kInf = std::numeric_limits<double>::infinity();

using fuzz::check;
using fuzz::costOrder;
using fuzz::Scored;
using fuzz::before;

// The first position at or after a bound (the end for none).
std::size_t positionOf(const std::vector<Scored>& order, const std::optional<OrderBound>& b) {
    if (!b) return order.size();
    const Scored key{b->cost, b->columns};
    return static_cast<std::size_t>(std::lower_bound(order.begin(), order.end(), key, before) - order.begin());
}

// A bound near position p: its configuration, the start of its cost, or a cost just above
// it (between two costs of the order); past the end, the last configuration of cost +inf.
OrderBound boundAt(const std::vector<Scored>& order, std::size_t p, int kind, const ProbabilityMatrix& probs) {
    const std::size_t rows = probs.size();
    if (p >= order.size()) {
        OrderBound b{kInf, std::vector<int>(rows, 0)};
        if (rows != 0) b.columns.back() = static_cast<int>(probs.back().size()) - 1;
        return b;
    }
    OrderBound b{order[p].cost, order[p].columns};
    if (kind == 1) b.columns.assign(rows, 0);
    if (kind == 2 && b.cost < kInf) {
        b.cost = std::nextafter(b.cost, kInf);
        b.columns.assign(rows, 0);
    }
    return b;
}

long columnSum(const int* columns, std::size_t rows) {
    long sum = 0;
    for (std::size_t r = 0; r < rows; ++r) sum += columns[r];
    return sum;
}

// Accepts the configurations whose columns sum to a multiple of 3.
struct EveryThird : quorin::Tester {
    void test(const std::int32_t* columns, const double*, std::size_t count, std::size_t rows,
              std::vector<std::size_t>& hits) const override {
        for (std::size_t k = 0; k < count; ++k) {
            if (columnSum(columns + k * rows, rows) % 3 == 0) hits.push_back(k);
        }
    }
};

struct FirstOfEveryThird : EveryThird {
    bool unique() const override { return true; }
};

void checkRange(const ProbabilityMatrix& probs, const std::vector<Scored>& order, fuzz::Reader& in) {
    const std::size_t rows = probs.size();
    std::size_t a = in.next() % (order.size() + 1), b = in.next() % (order.size() + 2);
    const std::uint8_t kinds = in.next(), shape = in.next();
    const unsigned threads = 1 + shape % 3;
    const std::size_t chunk = 1 + shape / 3 % 8;
    const OrderBound lower = boundAt(order, a, kinds % 3, probs);
    std::optional<OrderBound> upper;
    if (b <= order.size()) upper = boundAt(order, b, kinds / 3 % 3, probs);
    const std::size_t from = positionOf(order, lower), to = std::max(from, positionOf(order, upper));

    // Every configuration of the range, once, with its exact cost.
    quorin::RangeWalk walk(probs, lower, upper, threads, chunk);
    std::vector<Scored> got;
    while (quorin::RangeChunk c = walk.next()) {
        check(c.count <= chunk, "a chunk larger than asked");
        for (std::size_t k = 0; k < c.count; ++k)
            got.push_back({c.costs[k], std::vector<int>(c.columns.begin() + static_cast<std::ptrdiff_t>(k * rows),
                                                        c.columns.begin() + static_cast<std::ptrdiff_t>((k + 1) * rows))});
        walk.recycle(std::move(c));
    }
    std::sort(got.begin(), got.end(), before);
    check(got.size() == to - from && walk.handedOut() == to - from, "the range's size");
    for (std::size_t k = 0; k < got.size(); ++k) {
        check(got[k].columns == order[from + k].columns, "a configuration of the range");
        check(got[k].cost == order[from + k].cost, "a configuration's cost");
    }

    // Every configuration of the matrix placed in the range, in one walk (some twice).
    std::vector<std::vector<int>> targets;
    std::vector<std::size_t> expected;
    const std::size_t rotate = shape % (order.size());
    for (std::size_t k = 0; k < order.size(); ++k) {
        const std::size_t p = (k + rotate) % order.size();
        for (int copies = p % 4 == 0 ? 2 : 1; copies > 0; --copies) {
            targets.push_back(order[p].columns);
            expected.push_back(std::min(std::max(p, from), to) - from);
        }
    }
    const std::vector<quorin::Position> indices = walk.indicesOf(targets);
    check(indices.size() == targets.size(), "indicesOf's size");
    for (std::size_t k = 0; k < targets.size(); ++k) check(indices[k] == expected[k], "indicesOf");
    const std::size_t one = kinds % order.size();
    check(walk.indexOf(order[one].columns) == std::min(std::max(one, from), to) - from, "indexOf");

    // Every hit at its index; a unique tester stops at one.
    const quorin::RangeReport report = quorin::testRange(probs, lower, upper, EveryThird{}, threads);
    check(report.complete && report.tested == to - from, "testRange's count");
    std::vector<std::size_t> hits;
    for (std::size_t k = from; k < to; ++k) {
        if (columnSum(order[k].columns.data(), rows) % 3 == 0) hits.push_back(k - from);
    }
    check(report.hits.size() == hits.size(), "testRange's hits");
    for (std::size_t h = 0; h < hits.size(); ++h) {
        check(report.hits[h].index == hits[h], "a hit's index");
        check(report.hits[h].configuration.columns == order[from + hits[h]].columns, "a hit's columns");
    }
    const quorin::RangeReport first = quorin::testRange(probs, lower, upper, FirstOfEveryThird{}, threads);
    if (hits.empty()) {
        check(first.complete && first.hits.empty(), "a unique tester without hits");
    } else {
        check(!first.complete && first.hits.size() == 1, "a unique tester stops at a hit");
        check(std::find(hits.begin(), hits.end(), first.hits[0].index) != hits.end(), "a unique hit's index");
        check(first.tested == first.hits[0].index + 1, "a unique hit's tested count");
    }

    // The first `most` alone: their hits, and where they end unless that is of cost +inf
    // (or among more of one cost than a band lists).
    const std::size_t most = (to - from) * (kinds % 7) / 6;
    const quorin::RangeReport limited = quorin::testRange(probs, lower, upper, EveryThird{}, threads, nullptr, most);
    check(limited.cut == (to - from > most) && limited.tested == std::min(most, to - from), "a limit's count");
    std::size_t kept = 0;
    while (kept < hits.size() && hits[kept] < most) ++kept;
    check(limited.hits.size() == kept, "a limit's hits");
    if (limited.end) {
        check(limited.cut && limited.end->columns == order[from + most].columns &&
                  limited.end->cost == order[from + most].cost,
              "a limit's end");
    } else {
        check(!limited.cut || !(order[from + most].cost < kInf) ||
                  std::count_if(order.begin(), order.end(), [&](const Scored& x) {
                      return x.cost == order[from + most].cost;
                  }) > (1 << 15),
              "a limit's end not found");
    }

    // Cuts rise strictly inside the range.
    const auto key = [](const OrderBound& x) { return std::tie(x.cost, x.columns); };
    const std::vector<OrderBound> cuts = quorin::cutRange(probs, lower, upper, 1 + kinds / 9 % 5, 1 + shape % 6);
    const OrderBound* previous = &lower;
    for (const OrderBound& cut : cuts) {
        check(key(*previous) < key(cut), "cuts rise from lower");
        check(!upper || key(cut) < key(*upper), "cuts stay before upper");
        previous = &cut;
    }

    // The bound `to - from` places after lower, by counts: upper's configuration, or
    // nothing where that is of cost +inf, past the end or in a crowd of one cost.
    const quorin::Position listed = 1 + kinds / 45 % 5;
    const std::optional<OrderBound> after = quorin::detail::boundAfter(probs, lower, to - from, threads, nullptr, listed);
    if (after) {
        check(to < order.size() && after->columns == order[to].columns && after->cost == order[to].cost,
              "boundAfter's configuration");
    } else {
        const bool crowd = to < order.size() &&
                           static_cast<quorin::Position>(std::count_if(order.begin(), order.end(), [&](const Scored& x) {
                               return x.cost == order[to].cost;
                           })) > listed;
        check(to == order.size() || !(order[to].cost < kInf) || !(lower.cost < kInf) || crowd,
              "boundAfter found nothing");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Reader in{data, size};
    const std::size_t rows = 1 + in.next() % kMaxRows;
    const bool shrink = in.next() % 2 == 1;
    const ProbabilityMatrix probs = fuzz::readMatrix(in, rows, kMaxColumns);
    const quorin::detail::SuffixListBytes saved =
        shrink ? quorin::detail::setSuffixListBytes({64, 16, 256}) : quorin::detail::SuffixListBytes{};
    const std::vector<Scored> order = costOrder(probs);
    for (std::size_t r = 0; r < kRanges; ++r) checkRange(probs, order, in);
    if (shrink) quorin::detail::setSuffixListBytes(saved);
    return 0;
}
