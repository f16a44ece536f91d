// The windowed enumeration of windows.h. The model, the suffix list and the walk over the
// first rows live in cost_model.h, suffix_list.h and prefix_walk.h, shared with the range walk.
//
// - Model: the matrix's costs; per row its finite columns by ascending cost; sums of row
//   minima and maxima; the rounding margin that makes every bound below rigorous.
// - SuffixList: every combination of the last rows [first, n) whose key (its cost above
//   those rows' minima) is at most a budget, grouped by key into fine buckets, so that the
//   entries of any key range are one table lookup away.
// - A window [lo, hi) of the cost order: a depth-first walk over the rows before the suffix
//   list, in row order and cheapest column first, that never enters a branch whose cheapest
//   completion reaches hi; every complete prefix takes the suffix entries whose key can
//   land it in the window and keeps those whose exact cost (row order, from +0.0) does.
//   Threads split the walk by the first rows' choices. Then a bucket sort by cost (two
//   counting passes) and a comparison sort by (cost, columns) inside equal buckets.
// - Lexicographic windows: when a single cost holds more configurations than a window,
//   and for the configurations of cost +inf, a walk in column order hands them out in
//   order directly.
#include <quorin/windows.h>

#include <algorithm>
#include <cmath>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <quorin/counting.h>
#include <quorin/introsort.h>
#include <quorin/radix_sort.h>
#include <quorin/thread_pool.h>

#include "cost_model.h"
#include "prefix_walk.h"
#include "suffix_list.h"

namespace quorin {
namespace {

using namespace detail;

// Memory: the window's records and stored columns.
constexpr std::size_t kWindowBytes = std::size_t{192} << 20;
// Records per emission block (fewer in small windows): a thread claims one at a time.
constexpr std::size_t kMaxBlock = 4096;
// Work split between threads only from this many configurations on.
constexpr std::size_t kParallelFrom = 1 << 16;


struct Record {
    double cost;
    std::uint32_t item;    // index of its stored columns
    std::uint32_t bucket;  // set by the sort
};

// One thread's share of a window: the blocks it filled and how full the last is.
struct Lane {
    std::vector<std::size_t> blocks;
    std::size_t fill = 0;  // == the block size when the last block is full
    std::vector<std::size_t> offsets;  // per partition, for the sort
};

// The configurations of a window, sorted: `sorted` refers to stored columns by item.
struct WindowStore {
    std::size_t block = kMaxBlock;  // records per block
    std::size_t entryBytes = 0;
    std::size_t maxBlocks = 0;
    std::vector<std::unique_ptr<Record[]>> records;
    std::vector<std::unique_ptr<unsigned char[]>> columns;
    std::atomic<std::size_t> claimed{0};
    std::vector<Record> sorted;

    unsigned char* columnsOf(std::size_t item) {
        return columns[item / block].get() + (item % block) * entryBytes;
    }
    const unsigned char* columnsOf(std::size_t item) const {
        return columns[item / block].get() + (item % block) * entryBytes;
    }
    // Claims the next block, or returns false when the window holds its most.
    bool claim(std::size_t& b) {
        b = claimed.fetch_add(1, std::memory_order_relaxed);
        if (b >= maxBlocks) return false;
        if (!records[b]) {
            records[b].reset(new Record[this->block]);
            columns[b].reset(new unsigned char[this->block * entryBytes + 1]);
        }
        return true;
    }
};

}  // namespace

struct WindowedEnumerator::Impl {
    ProbabilityMatrix probs;
    Model model;
    unsigned threadCount;
    ThreadPool pool;
    std::size_t capacity;  // most configurations a window holds
    std::size_t target;    // configurations a window aims at

    Position pos = 0, stopAt = kNoStop;
    // The configuration at `pos` is the first at or after `bound` (once known).
    bool known = false;
    bool atEnd = false;
    OrderBound bound;

    // The current window: positions [first, first + count).
    bool haveWindow = false;
    Position windowFirst = 0;
    std::size_t windowCount = 0;
    OrderBound windowHi;
    bool windowLast = false;
    bool tieContinues = false;  // the window ended inside one cost's configurations

    double width = 0.0;  // of the next finite window
    SuffixList suffix;
    WindowStore store;
    std::vector<Lane> lanes;
    std::vector<std::vector<Record>> scratch;  // per thread, for the sort

    Impl(ProbabilityMatrix p, Position stop, unsigned threads, std::size_t windowSize);

    OrderBound firstBound() const {
        OrderBound b;
        b.cost = model.anyFinite ? model.cheapest : kInf;
        b.columns.assign(model.n, 0);
        return b;
    }

    void buildWindow(const OrderBound& lo, Position first, bool continuing, const std::atomic<bool>* interrupt);
    void finiteWindow(const OrderBound& lo, const std::atomic<bool>* interrupt);
    void lexWindow(const OrderBound& lo, bool infinite, const std::atomic<bool>* interrupt);
    template <class Col>
    bool walk(const Bounds& b, const std::atomic<bool>* interrupt);
    template <class Col>
    void sortWindow(double loCost, double hiCost, const std::atomic<bool>* interrupt);
    template <class Col>
    bool lexWalk(const OrderBound& lo, bool infinite, std::vector<int>& after, const std::atomic<bool>* interrupt);
    template <class Col>
    void copyOut(std::size_t from, std::size_t count, std::int32_t* columns, double* costs);

    OrderBound boundAt(Position p);
    void locate(const std::atomic<bool>* interrupt = nullptr);
    double widthFor(double cost) const;
    std::size_t next(std::size_t count, std::int32_t* columns, double* costs, const std::atomic<bool>* interrupt);

    // Runs task(i, slot) for i < count on the pool, or on this thread alone when the job is
    // too small to repay the handoffs.
    template <class F>
    void runTasks(std::size_t count, bool parallel, F&& task) {
        if (parallel) {
            pool.run(count, task);
        } else {
            for (std::size_t i = 0; i < count; ++i) task(i, 0u);
        }
    }

    template <class F>
    void withColumnType(F&& f) const {
        detail::withColumnType(model, f);
    }
};

WindowedEnumerator::Impl::Impl(ProbabilityMatrix p, Position stop, unsigned threads, std::size_t windowSize)
    : probs((checkProbabilities(p), std::move(p))),
      model(probs),
      threadCount(threads == 0 ? std::max(1u, std::thread::hardware_concurrency()) : threads),
      pool(threadCount),
      stopAt(stop) {
    store.entryBytes = model.n * model.width;
    const std::size_t perRecord = 2 * sizeof(Record) + store.entryBytes;
    std::size_t most = std::min<std::size_t>(kWindowBytes / perRecord, std::size_t{1} << 31);
    if (windowSize != 0) most = std::min(most, windowSize);
    most = std::max<std::size_t>(most, 2);
    store.block = std::min(kMaxBlock, std::max<std::size_t>(1, most / (4 * std::size_t{threadCount})));
    const std::size_t blocks = std::max<std::size_t>(1, most / store.block);
    store.maxBlocks = blocks;
    store.records.resize(blocks);
    store.columns.resize(blocks);
    capacity = blocks * store.block;
    target = capacity / 2;
    lanes.resize(threadCount);
    scratch.resize(threadCount);
    width = model.minGap < kInf ? model.minGap : 1.0;
}

// ----------------------------------------------------------------------------------------
// Windows of the cost order

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
                        double s0 = prefix, s1 = prefix, s2 = prefix, s3 = prefix;
                        const Col* r0 = rest;
                        const Col* r1 = rest + tail;
                        const Col* r2 = rest + 2 * tail;
                        const Col* r3 = rest + 3 * tail;
                        for (std::size_t r = 0; r < tail; ++r) {
                            const double* c = tailCost[r];
                            s0 += c[r0[r]];
                            s1 += c[r1[r]];
                            s2 += c[r2[r]];
                            s3 += c[r3[r]];
                        }
                        sums[0] = s0;
                        sums[1] = s1;
                        sums[2] = s2;
                        sums[3] = s3;
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
    // Pass 3, per partition: by the low bits, then equal buckets by (cost, columns).
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
            counts.assign(lowMask + 1, 0);
            auto digit = [&](const Record& x) { return x.bucket & lowMask; };
            countDigits(first, len, digit, counts.data());
            countsToOffsets(counts.data(), counts.size());
            tmp.resize(len);
            scatterByDigit(first, len, digit, counts.data(), tmp.data());
            for (std::size_t i = 0; i < len;) {
                std::size_t j = i + 1;
                while (j < len && tmp[j].bucket == tmp[i].bucket) ++j;
                if (j - i > 1) introsort(tmp.begin() + static_cast<std::ptrdiff_t>(i), tmp.begin() + static_cast<std::ptrdiff_t>(j), less);
                i = j;
            }
            std::copy(tmp.begin(), tmp.begin() + static_cast<std::ptrdiff_t>(len), first);
        }
    });
}

// The configurations of cost exactly lo.cost (infinite: of cost +inf) whose columns are
// not below lo.columns, in lexicographic order, at most `target` of them, into the window.
// Returns whether it stopped at that limit; `after` is then the next columns in
// lexicographic order (empty if there are none).
template <class Col>
bool WindowedEnumerator::Impl::lexWalk(const OrderBound& lo, bool infinite, std::vector<int>& after,
                                       const std::atomic<bool>* interrupt) {
    const Model& m = model;
    const std::size_t n = m.n;
    const double goal = lo.cost;
    store.claimed.store(0, std::memory_order_relaxed);
    store.sorted.clear();
    after.clear();
    if (n == 0) return false;
    std::vector<std::size_t> col(n);
    std::vector<double> P(n + 1, 0.0);
    std::vector<char> inf(n + 1, 0), tight(n + 1, 0);
    Record* rec = nullptr;
    unsigned char* cols = nullptr;
    std::size_t fill = store.block, blk = 0;
    unsigned steps = 0;
    std::size_t level = 0;
    tight[0] = 1;
    col[0] = static_cast<std::size_t>(lo.columns[0]);
    while (true) {
        if (col[level] >= m.columns(level)) {
            if (level == 0) return false;
            --level;
            ++col[level];
            continue;
        }
        if (++steps == kCheckEvery) {
            steps = 0;
            if (raised(interrupt)) throw Interrupted();
        }
        const double c = m.rowCost[level][col[level]];
        const bool hasInf = inf[level] || c == kInf;
        double p = 0.0;
        if (infinite) {
            if (!hasInf && !m.infAfter[level + 1]) {
                ++col[level];
                continue;
            }
        } else {
            p = P[level] + c;
            if (c == kInf || p + m.minAfter[level + 1] > goal + 2 * m.margin ||
                p + m.maxAfter[level + 1] < goal - 2 * m.margin) {
                ++col[level];
                continue;
            }
        }
        if (level + 1 < n) {
            tight[level + 1] = tight[level] && col[level] == static_cast<std::size_t>(lo.columns[level]);
            col[level + 1] = tight[level + 1] ? static_cast<std::size_t>(lo.columns[level + 1]) : 0;
            P[level + 1] = p;
            inf[level + 1] = hasInf;
            ++level;
            continue;
        }
        if (infinite ? hasInf : p == goal) {
            if (store.sorted.size() == target) {
                after.assign(col.begin(), col.end());
                return true;
            }
            if (fill == store.block) {
                if (!store.claim(blk)) throw std::logic_error("window storage too small");
                fill = 0;
                rec = store.records[blk].get();
                cols = store.columns[blk].get();
            }
            (void)rec;
            Col* dst = reinterpret_cast<Col*>(cols + fill * store.entryBytes);
            for (std::size_t i = 0; i < n; ++i) dst[i] = static_cast<Col>(col[i]);
            store.sorted.push_back(Record{infinite ? kInf : goal, static_cast<std::uint32_t>(blk * store.block + fill), 0});
            ++fill;
        }
        ++col[level];
    }
}

void WindowedEnumerator::Impl::lexWindow(const OrderBound& lo, bool infinite, const std::atomic<bool>* interrupt) {
    std::vector<int> after;
    bool limited = false;
    withColumnType([&](auto col) { limited = lexWalk<decltype(col)>(lo, infinite, after, interrupt); });
    windowCount = store.sorted.size();
    windowHi.columns.assign(model.n, 0);
    if (limited) {
        windowHi.cost = lo.cost;
        windowHi.columns = after;
        windowLast = false;
        tieContinues = true;
        return;
    }
    tieContinues = false;
    if (infinite) {
        windowHi.cost = kInf;
        windowLast = true;
    } else {
        windowHi.cost = std::nextafter(lo.cost, kInf);
        windowLast = false;
    }
}

void WindowedEnumerator::Impl::finiteWindow(const OrderBound& lo, const std::atomic<bool>* interrupt) {
    const Model& m = model;
    bool loTie = false;
    for (int c : lo.columns) loTie = loTie || c != 0;
    double w = width;
    while (true) {
        double hiCost = lo.cost + w;
        const bool minimal = !(hiCost > lo.cost);
        if (minimal) hiCost = std::nextafter(lo.cost, kInf);
        const bool toEnd = !(hiCost <= m.dearest);
        if (toEnd) hiCost = kInf;
        ensureSuffixList(m, suffix, hiCost, lo.cost, interrupt);
        Bounds b{lo.cost, hiCost, loTie ? &lo.columns : nullptr, nullptr, lo.cost - 2 * m.margin,
                 hiCost + 2 * m.margin};
        bool fits = false;
        withColumnType([&](auto col) {
            using Col = decltype(col);
            fits = walk<Col>(b, interrupt);
            if (fits) sortWindow<Col>(lo.cost, hiCost, interrupt);
        });
        if (fits) {
            windowCount = store.sorted.size();
#ifdef QUORIN_WINDOWS_TRACE
            std::fprintf(stderr, "window lo %.9f width %.3g count %zu s %zu suffix %zu buckets %zu\n", lo.cost,
                         hiCost - lo.cost, windowCount, suffix.first, suffix.count, suffix.buckets);
#endif
            windowHi.cost = hiCost;
            windowHi.columns.assign(m.n, 0);
            windowLast = toEnd && !m.anyInf;
            tieContinues = false;
            if (!toEnd) {
                const double used = hiCost - lo.cost;
                // Counts grow faster than widths: widen by at most 2 at a time.
                const double factor = windowCount == 0 ? 4.0
                                      : std::min(2.0, std::max(0.125, static_cast<double>(target) /
                                                                          static_cast<double>(windowCount)));
                width = used * factor;
            }
            return;
        }
        if (minimal) {
            lexWindow(lo, false, interrupt);
            return;
        }
        w = ((toEnd ? m.dearest : hiCost) - lo.cost) / 8;
        width = w;
    }
}

void WindowedEnumerator::Impl::buildWindow(const OrderBound& lo, Position first, bool continuing,
                                           const std::atomic<bool>* interrupt) {
    const bool tie = continuing && tieContinues;
    haveWindow = false;
    if (lo.cost == kInf) {
        lexWindow(lo, true, interrupt);
    } else if (tie) {
        lexWindow(lo, false, interrupt);
    } else {
        finiteWindow(lo, interrupt);
    }
    windowFirst = first;
    haveWindow = true;
}

// Widens `count` stored columns of one configuration to int32.
template <class Col>
inline void widen(const Col* src, std::int32_t* dst, std::size_t count) {
#if defined(__SSE2__)
    if (sizeof(Col) == 1 && count % 4 == 0 && reinterpret_cast<std::uintptr_t>(dst) % 16 == 0) {
        // Four columns at a time, stored past the caches: the output is written once and
        // is larger than they are.
        const __m128i zero = _mm_setzero_si128();
        for (std::size_t i = 0; i < count; i += 4) {
            std::int32_t four;
            std::memcpy(&four, src + i, 4);
            const __m128i bytes = _mm_cvtsi32_si128(four);
            const __m128i words = _mm_unpacklo_epi8(bytes, zero);
            _mm_stream_si128(reinterpret_cast<__m128i*>(dst + i), _mm_unpacklo_epi16(words, zero));
        }
        return;
    }
#endif
    for (std::size_t i = 0; i < count; ++i) dst[i] = static_cast<std::int32_t>(src[i]);
}

template <class Col>
void WindowedEnumerator::Impl::copyOut(std::size_t from, std::size_t count, std::int32_t* columns, double* costs) {
    const std::size_t n = model.n;
    const Record* sorted = store.sorted.data() + from;
    constexpr std::size_t kChunk = 1 << 14;
    constexpr std::size_t kAhead = 64;
    runTasks((count + kChunk - 1) / kChunk, threadCount > 1 && count >= kParallelFrom, [&](std::size_t chunk, unsigned) {
        const std::size_t end = std::min(count, (chunk + 1) * kChunk);
        for (std::size_t j = chunk * kChunk; j < end; ++j) {
            if (j + kAhead < end) {
#if defined(__GNUC__)
                __builtin_prefetch(store.columnsOf(sorted[j + kAhead].item));
#endif
            }
            const Record& r = sorted[j];
            costs[j] = r.cost;
            widen(reinterpret_cast<const Col*>(store.columnsOf(r.item)), columns + j * n, n);
        }
    });
#if defined(__SSE2__)
    _mm_sfence();
#endif
}

OrderBound WindowedEnumerator::Impl::boundAt(Position p) {
    if (p == windowFirst + windowCount) return windowHi;
    const Record& r = store.sorted[static_cast<std::size_t>(p - windowFirst)];
    OrderBound b;
    b.cost = r.cost;
    b.columns.resize(model.n);
    withColumnType([&](auto col) {
        using Col = decltype(col);
        const Col* src = reinterpret_cast<const Col*>(store.columnsOf(r.item));
        for (std::size_t i = 0; i < model.n; ++i) b.columns[i] = static_cast<int>(src[i]);
    });
    return b;
}

// Finds the bound at `pos`: the configuration there, found through the weight table
// without enumerating what comes before it.
void WindowedEnumerator::Impl::locate(const std::atomic<bool>* interrupt) {
    if (known) return;
    try {
        Configuration at = select(probs, Count::fromUint128(pos), interrupt);
        bound.cost = at.cost;
        bound.columns = std::move(at.columns);
    } catch (const std::out_of_range&) {
        atEnd = true;
    }
    known = true;
    width = widthFor(bound.cost);
}

// A first window width for windows from `cost` on: about a quarter of the target there,
// by the density of configurations of the rounded count (a rough guess: windows adapt).
double WindowedEnumerator::Impl::widthFor(double cost) const {
    const Model& m = model;
    const double x = cost - m.cheapest;
    if (!m.anyFinite || !(x > 0) || cost == kInf) return width;
    std::vector<double> histogram;
    const double budget = 1.25 * x;
    suffixCountBounds(m, budget, &histogram);
    const std::size_t bins = histogram.size() - 1;
    const double h = budget / static_cast<double>(bins);
    const std::size_t at = std::min(bins, static_cast<std::size_t>(x / h));
    const std::size_t span = std::max<std::size_t>(1, bins / 32);
    const std::size_t from = at > span ? at - span : 0, to = std::min(bins, at + span);
    double inside = 0.0;
    for (std::size_t b = from; b <= to; ++b) inside += histogram[b];
    const double density = inside / (static_cast<double>(to - from + 1) * h);
    if (!(density > 0)) return width;
    return 0.25 * static_cast<double>(target) / density;
}

std::size_t WindowedEnumerator::Impl::next(std::size_t count, std::int32_t* columns, double* costs,
                                           const std::atomic<bool>* interrupt) {
    locate(interrupt);
    if (atEnd || pos >= stopAt) return 0;
    const std::size_t m = static_cast<std::size_t>(std::min<Position>(count, stopAt - pos));
    Position p = pos;
    std::size_t produced = 0;
    bool ended = false;
    while (produced < m) {
        if (!haveWindow || p < windowFirst || p >= windowFirst + windowCount) {
            if (haveWindow && p == windowFirst + windowCount) {
                if (windowLast) {
                    ended = true;
                    break;
                }
                OrderBound lo = windowHi;
                buildWindow(lo, p, true, interrupt);
            } else {
                buildWindow(bound, pos, false, interrupt);
            }
            continue;
        }
        const std::size_t take =
            static_cast<std::size_t>(std::min<Position>(m - produced, windowFirst + windowCount - p));
        withColumnType([&](auto col) {
            copyOut<decltype(col)>(static_cast<std::size_t>(p - windowFirst), take, columns + produced * model.n,
                                   costs + produced);
        });
        produced += take;
        p += take;
    }
    pos = p;
    if (ended) {
        atEnd = true;
    } else {
        bound = boundAt(p);
        if (p == windowFirst + windowCount && windowLast) atEnd = true;
    }
    return produced;
}

// ----------------------------------------------------------------------------------------
// WindowedEnumerator

WindowedEnumerator::WindowedEnumerator(ProbabilityMatrix probs, Position start, Position stop, unsigned threads,
                                       std::size_t windowSize)
    : impl_(new Impl(std::move(probs), stop, threads, windowSize)) {
    Impl& e = *impl_;
    e.pos = start;
    if (start >= e.model.total) {
        e.known = true;
        e.atEnd = true;
    } else if (start == 0) {
        e.known = true;
        e.bound = e.firstBound();
    }
}

WindowedEnumerator::WindowedEnumerator(ProbabilityMatrix probs, Position position, OrderBound cursor, Position stop,
                                       unsigned threads, std::size_t windowSize)
    : impl_(new Impl(std::move(probs), stop, threads, windowSize)) {
    Impl& e = *impl_;
    if (cursor.columns.size() != e.model.n)
        throw std::invalid_argument("the cursor has " + std::to_string(cursor.columns.size()) + " columns, not " +
                                    std::to_string(e.model.n));
    for (std::size_t i = 0; i < e.model.n; ++i) {
        if (cursor.columns[i] < 0 || static_cast<std::size_t>(cursor.columns[i]) >= e.model.columns(i))
            throw std::invalid_argument("the cursor's column " + std::to_string(cursor.columns[i]) + " of row " +
                                        std::to_string(i) + " is out of range");
    }
    if (std::isnan(cursor.cost)) throw std::invalid_argument("the cursor's cost is NaN");
    e.pos = position;
    e.known = true;
    e.atEnd = position >= e.model.total;
    e.bound = std::move(cursor);
    e.width = e.widthFor(e.bound.cost);
}

WindowedEnumerator::~WindowedEnumerator() = default;
WindowedEnumerator::WindowedEnumerator(WindowedEnumerator&&) noexcept = default;
WindowedEnumerator& WindowedEnumerator::operator=(WindowedEnumerator&&) noexcept = default;

std::size_t WindowedEnumerator::rows() const noexcept { return impl_->model.n; }
unsigned WindowedEnumerator::threads() const noexcept { return impl_->threadCount; }
const ProbabilityMatrix& WindowedEnumerator::probabilities() const noexcept { return impl_->probs; }
Position WindowedEnumerator::position() const noexcept { return impl_->pos; }
Position WindowedEnumerator::stop() const noexcept { return impl_->stopAt; }
Position WindowedEnumerator::total() const noexcept { return impl_->model.total; }
bool WindowedEnumerator::exhausted() const noexcept {
    return impl_->known && (impl_->atEnd || impl_->pos >= impl_->stopAt);
}

std::size_t WindowedEnumerator::next(std::size_t count, std::int32_t* columns, double* costs,
                                     const std::atomic<bool>* interrupt) {
    return impl_->next(count, columns, costs, interrupt);
}

std::size_t WindowedEnumerator::ready() const noexcept {
    const Impl& e = *impl_;
    if (!e.known || e.atEnd || e.pos >= e.stopAt || !e.haveWindow || e.pos < e.windowFirst || e.pos >= e.windowFirst + e.windowCount)
        return 0;
    return static_cast<std::size_t>(std::min<Position>(e.windowFirst + e.windowCount, e.stopAt) - e.pos);
}

OrderBound WindowedEnumerator::cursor() {
    impl_->locate();
    return impl_->bound;
}

bool WindowedEnumerator::cursorKnown() const noexcept { return impl_->known; }

}  // namespace quorin
