// Sorting a window: a bucket sort by cost (two counting passes), then a comparison sort by
// (cost, columns) inside equal buckets.
#include "windows/windows_impl.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <utility>

#include <quorin/detail/introsort.h>
#include <quorin/detail/radix_sort.h>

namespace quorin {

using namespace detail;

template <class Col>
void WindowedEnumerator::Impl::sortWindow(double loCost, double hiCost, const std::atomic<bool>* interrupt) {
    const std::size_t n = model.n;
    std::size_t total = 0;
    for (const Lane& lane : lanes) {
        if (!lane.blocks.empty()) total += (lane.blocks.size() - 1) * store.block + lane.fill;
    }
    // About two buckets per configuration over [loCost, hiCost) (up to the dearest cost
    // when hiCost is +inf); the bucket is non-decreasing in the cost.
    unsigned bits = 1;
    while (bits < 26 && (std::size_t{1} << bits) < 2 * total) ++bits;
    const unsigned partBits = std::min(bits, 8u);  // 256 write streams stay in L1
    const unsigned lowBits = bits - partBits;
    const std::size_t buckets = std::size_t{1} << bits;
    const std::size_t parts = std::size_t{1} << partBits;
    const double top = hiCost == kInf ? model.dearest : hiCost;
    double scale = top > loCost ? static_cast<double>(buckets) / (top - loCost) : 0.0;
    if (!(scale < 1e300)) scale = 1e300;
    auto bucket = [&](double c) { return static_cast<std::uint32_t>(bucketOf(c - loCost, scale, buckets)); };
    const bool parallel = threadCount > 1 && total >= kParallelFrom;
    auto blockLength = [&](const Lane& lane, std::size_t bi) { return bi + 1 == lane.blocks.size() ? lane.fill : store.block; };

    // Pass 1, per thread: buckets and counts per partition (the high bits).
    runTasks(lanes.size(), parallel, [&](std::size_t li, unsigned) {
        Lane& lane = lanes[li];
        lane.offsets.assign(parts, 0);
        for (std::size_t bi = 0; bi < lane.blocks.size(); ++bi) {
            Record* r = store.records[lane.blocks[bi]].get();
            const std::size_t len = blockLength(lane, bi);
            for (std::size_t j = 0; j < len; ++j) {
                r[j].bucket = bucket(r[j].cost);
                ++lane.offsets[r[j].bucket >> lowBits];
            }
        }
    });
    if (raised(interrupt)) throw Interrupted();
    std::vector<std::size_t> partStart(parts + 1);
    std::size_t at = 0;
    for (std::size_t p = 0; p < parts; ++p) {
        partStart[p] = at;
        for (Lane& lane : lanes) {
            const std::size_t c = lane.offsets[p];
            lane.offsets[p] = at;
            at += c;
        }
    }
    partStart[parts] = at;
    store.sorted.resize(total);
    Record* sorted = store.sorted.data();
    // Pass 2, per thread: every record to its partition.
    runTasks(lanes.size(), parallel, [&](std::size_t li, unsigned) {
        Lane& lane = lanes[li];
        for (std::size_t bi = 0; bi < lane.blocks.size(); ++bi) {
            scatterByDigit(store.records[lane.blocks[bi]].get(), blockLength(lane, bi),
                           [&](const Record& x) { return x.bucket >> lowBits; }, lane.offsets.data(), sorted);
        }
    });
    if (raised(interrupt)) throw Interrupted();
    // Pass 3, per partition: by the low bits, then equal digits by (cost, columns).
    const std::size_t lowMask = (std::size_t{1} << lowBits) - 1;
    auto less = [&](const Record& a, const Record& c) {
        if (a.cost != c.cost) return a.cost < c.cost;
        return lexLess(reinterpret_cast<const Col*>(store.columnsOf(a.item)),
                       reinterpret_cast<const Col*>(store.columnsOf(c.item)), n);
    };
    constexpr std::size_t kPartsPerTask = 1;
    runTasks((parts + kPartsPerTask - 1) / kPartsPerTask, parallel, [&](std::size_t task, unsigned slot) {
        if (raised(interrupt)) throw Interrupted();
        std::vector<Record>& tmp = scratch[slot];
        std::vector<std::size_t> counts;
        for (std::size_t p = task * kPartsPerTask; p < std::min(parts, (task + 1) * kPartsPerTask); ++p) {
            Record* first = sorted + partStart[p];
            const std::size_t len = partStart[p + 1] - partStart[p];
            if (len < 2) continue;
            if (len <= 32 || lowBits == 0) {
                introsort(first, first + len, less);
                continue;
            }
            // The low bits' top digits, about one per record: more digits than records
            // would cost more to clear and sum than the records to place.
            unsigned digitBits = 1;
            while (digitBits < lowBits && (std::size_t{1} << digitBits) < len) ++digitBits;
            const unsigned shift = lowBits - digitBits;
            counts.assign(std::size_t{1} << digitBits, 0);
            auto digit = [&](const Record& x) { return (x.bucket & lowMask) >> shift; };
            countDigits(first, len, digit, counts.data());
            countsToOffsets(counts.data(), counts.size());
            tmp.resize(len);
            scatterByDigit(first, len, digit, counts.data(), tmp.data());
            for (std::size_t i = 0; i < len;) {
                std::size_t j = i + 1;
                while (j < len && digit(tmp[j]) == digit(tmp[i])) ++j;
                if (j - i > 1) introsort(tmp.begin() + static_cast<std::ptrdiff_t>(i), tmp.begin() + static_cast<std::ptrdiff_t>(j), less);
                i = j;
            }
            std::copy(tmp.begin(), tmp.begin() + static_cast<std::ptrdiff_t>(len), first);
        }
    });
}

template void WindowedEnumerator::Impl::sortWindow<std::uint8_t>(double, double, const std::atomic<bool>*);
template void WindowedEnumerator::Impl::sortWindow<std::uint16_t>(double, double, const std::atomic<bool>*);
template void WindowedEnumerator::Impl::sortWindow<std::uint32_t>(double, double, const std::atomic<bool>*);

}  // namespace quorin
