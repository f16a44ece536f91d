// The walk that fills a window: the prefix walk over the rows before the suffix list, each
// complete prefix taking the suffix entries whose exact cost lands it in the window; threads
// split the walk by the first rows' choices.
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
bool WindowedEnumerator::Impl::walk(const Bounds& b, const std::atomic<bool>* interrupt) {
    const Model& m = model;
    const SuffixList& sl = suffix;
    const std::size_t s = sl.first;    // the walk's rows: [0, s)
    const std::size_t tail = m.n - s;  // the suffix list's rows
    const std::size_t n = m.n;
    const double tailMin = m.minAfter[s];
    const Col* entries = reinterpret_cast<const Col*>(sl.entries.data());
    const std::uint32_t* bucketStart = sl.start.data();
    auto suffixRange = [&](double prefix, std::uint32_t& from, std::uint32_t& to) {
        const double x2 = b.hiLimit - prefix - tailMin;
        if (x2 < 0) {
            from = to = 0;
            return;
        }
        const double x1 = b.loLimit - prefix - tailMin;
        from = bucketStart[bucketOf(x1, sl.scale, sl.buckets)];
        to = bucketStart[bucketOf(x2, sl.scale, sl.buckets) + 1];
    };

    // Tasks: the prefixes of `depth` rows, in walk order; at depth s, pieces of their
    // suffix ranges. Deep enough to keep every thread busy.
    struct Task {
        double prefix;
        std::size_t path;  // into taskPaths
        std::uint32_t from, to;
    };
    std::vector<Task> tasks;
    std::vector<Col> taskPaths;
    std::vector<std::size_t> k0(n + 1);
    std::vector<double> P0(n + 1);
    std::vector<Col> path0(n + 1);
    // Windows of small expected size run on one thread.
    const bool parallel = threadCount > 1 && windowCount >= kParallelFrom;
    const std::size_t wanted = parallel ? 32 * std::size_t{threadCount} : 1;
    constexpr std::uint32_t kPiece = 1u << 15;
    std::size_t depth = 0;
    while (true) {
        tasks.clear();
        taskPaths.clear();
        descend(m, b, 0, depth, 0.0, path0.data(), k0.data(), P0.data(), interrupt, [&](double prefix) {
            Task t{prefix, taskPaths.size(), 0, 0};
            if (depth == s) {
                std::uint32_t from, to;
                suffixRange(prefix, from, to);
                if (from == to) return true;
                taskPaths.insert(taskPaths.end(), path0.begin(), path0.begin() + depth);
                for (std::uint32_t a = from; a < to; a += std::min(kPiece, to - a)) {
                    t.from = a;
                    t.to = a + std::min(kPiece, to - a);
                    tasks.push_back(t);
                }
            } else {
                taskPaths.insert(taskPaths.end(), path0.begin(), path0.begin() + depth);
                tasks.push_back(t);
            }
            return true;
        }, Reachable{m, sl, b});
        if (depth == s || tasks.size() >= wanted) break;
        ++depth;
    }

    store.claimed.store(0, std::memory_order_relaxed);
    for (Lane& lane : lanes) {
        lane.blocks.clear();
        lane.fill = store.block;
    }
    std::atomic<bool> overflow{false};
    struct Walker {
        std::vector<std::size_t> k;
        std::vector<double> P;
        std::vector<Col> path;
        std::vector<int> full;
        std::vector<Col> queued;  // paths of the prefixes waiting for their suffix range
    };
    std::vector<Walker> walkers(threadCount);
    const std::size_t entryBytes = store.entryBytes;
    const std::size_t headBytes = s * sizeof(Col);
    const std::size_t tailBytes = tail * sizeof(Col);
    const double* const* tailCost = m.rowCost.data() + s;

    runTasks(tasks.size(), parallel, [&](std::size_t ti, unsigned slot) {
        if (raised(interrupt)) throw Interrupted();
        if (overflow.load(std::memory_order_relaxed)) return;
        Walker& w = walkers[slot];
        if (w.k.empty()) {
            w.k.resize(n + 1);
            w.P.resize(n + 1);
            w.path.resize(n + 1);
            w.full.resize(n);
        }
        Lane& lane = lanes[slot];
        const Task& t = tasks[ti];
        std::copy(taskPaths.begin() + static_cast<std::ptrdiff_t>(t.path),
                  taskPaths.begin() + static_cast<std::ptrdiff_t>(t.path + depth), w.path.begin());
        Record* rec = nullptr;
        unsigned char* cols = nullptr;
        if (lane.fill < store.block) {
            rec = store.records[lane.blocks.back()].get();
            cols = store.columns[lane.blocks.back()].get();
        }
        // Whether an exact cost E, with columns head ++ rest, lies in the window.
        auto inWindow = [&](double E, const Col* head, const Col* rest) {
            return inRange(b, E, n, [&] {
                for (std::size_t i = 0; i < s; ++i) w.full[i] = head[i];
                for (std::size_t i = 0; i < tail; ++i) w.full[s + i] = rest[i];
                return w.full.data();
            });
        };
        auto emit = [&](double prefix, std::uint32_t from, std::uint32_t to, const Col* head) {
            double sums[4];
            for (std::uint32_t e = from; e < to; ++e) {
                const Col* rest = entries + std::size_t{e} * tail;
                // Exact costs four entries at a time: four independent chains of additions.
                const std::uint32_t lane4 = (e - from) % 4;
                if (lane4 == 0) {
                    if (to - e >= 4) {
                        fourCosts(prefix, rest, tail, tailCost, sums);
                    } else {
                        for (std::uint32_t j = 0; j < to - e; ++j) {
                            const Col* rj = rest + j * tail;
                            double sj = prefix;
                            for (std::size_t r = 0; r < tail; ++r) sj += tailCost[r][rj[r]];
                            sums[j] = sj;
                        }
                    }
                }
                const double E = sums[lane4];
                if (!inWindow(E, head, rest)) continue;
                if (lane.fill == store.block) {
                    std::size_t blk;
                    if (raised(interrupt)) throw Interrupted();
                    if (!store.claim(blk)) {
                        overflow.store(true, std::memory_order_relaxed);
                        return false;
                    }
                    lane.blocks.push_back(blk);
                    lane.fill = 0;
                    rec = store.records[blk].get();
                    cols = store.columns[blk].get();
                }
                const std::size_t item = lane.blocks.back() * store.block + lane.fill;
                rec[lane.fill] = Record{E, static_cast<std::uint32_t>(item), 0};
                unsigned char* dst = cols + lane.fill * entryBytes;
                copyBytes(dst, reinterpret_cast<const unsigned char*>(head), headBytes);
                copyBytes(dst + headBytes, reinterpret_cast<const unsigned char*>(rest), tailBytes);
                ++lane.fill;
            }
            return true;
        };
        if (depth == s) {
            emit(t.prefix, t.from, t.to, w.path.data());
            return;
        }
        // Complete prefixes wait in a short queue while their suffix table entries are
        // fetched: the lookups of consecutive prefixes are far apart in the table.
        constexpr std::size_t kQueue = 8;
        struct Pending {
            double prefix;
            std::size_t b1, b2;
        };
        Pending queue[kQueue];
        if (w.queued.size() < kQueue * (s + 1)) w.queued.resize(kQueue * (s + 1));
        std::size_t head = 0, size = 0;
        auto flushOne = [&] {
            const Pending& q = queue[head];
            const std::uint32_t from = bucketStart[q.b1], to = bucketStart[q.b2 + 1];
            const Col* path = w.queued.data() + head * (s + 1);
            head = (head + 1) % kQueue;
            --size;
            return from >= to || emit(q.prefix, from, to, path);
        };
        const bool whole = descend(m, b, depth, s, t.prefix, w.path.data(), w.k.data(), w.P.data(), interrupt,
                                   [&](double prefix) {
            if (overflow.load(std::memory_order_relaxed)) return false;
            const double x2 = b.hiLimit - prefix - tailMin;
            if (x2 < 0) return true;
            const std::size_t b1 = bucketOf(b.loLimit - prefix - tailMin, sl.scale, sl.buckets);
            const std::size_t b2 = bucketOf(x2, sl.scale, sl.buckets);
            if (!sl.anyIn(b1, b2)) return true;  // deep down most prefixes find nothing
#if defined(__GNUC__)
            __builtin_prefetch(bucketStart + b1);
            __builtin_prefetch(bucketStart + b2 + 1);
#endif
            if (size == kQueue && !flushOne()) return false;
            const std::size_t slot = (head + size) % kQueue;
            queue[slot] = Pending{prefix, b1, b2};
            std::copy(w.path.begin(), w.path.begin() + static_cast<std::ptrdiff_t>(s),
                      w.queued.begin() + static_cast<std::ptrdiff_t>(slot * (s + 1)));
            ++size;
            return true;
        }, Reachable{m, sl, b});
        while (whole && size > 0 && flushOne()) {
        }
    });
    return !overflow.load();
}

template bool WindowedEnumerator::Impl::walk<std::uint8_t>(const Bounds&, const std::atomic<bool>*);
template bool WindowedEnumerator::Impl::walk<std::uint16_t>(const Bounds&, const std::atomic<bool>*);
template bool WindowedEnumerator::Impl::walk<std::uint32_t>(const Bounds&, const std::atomic<bool>*);

}  // namespace quorin
