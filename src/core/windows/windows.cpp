// The windowed enumeration of windows.h: windows of the cost order one after another,
// handed out into the caller's buffers. A window [lo, hi) is filled by the range walk
// (window_walk.cpp, on range/range_plan.h), sorted by window_sort.cpp; a single cost holding more configurations than
// a window, and the configurations of cost +inf, go by the column-order walk of
// lex_walk.cpp. The start is located by select (counting.h).
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
#if defined(__linux__)
#include <sys/mman.h>
#endif
#include <cstdlib>
#include <new>

#include <quorin/counting.h>

#include "walk/suffix_list.h"
#include "windows/windows_impl.h"

namespace quorin {

using namespace detail;


LazyBuffer::LazyBuffer(std::size_t bytes) {
#if defined(__linux__)
    constexpr std::size_t kHugePage = std::size_t{2} << 20;
    void* p = nullptr;
    if (bytes >= kHugePage && posix_memalign(&p, kHugePage, bytes) == 0) {
        madvise(p, bytes, MADV_HUGEPAGE);  // a hint: where it is refused, small pages serve
        data_ = static_cast<unsigned char*>(p);
        return;
    }
#endif
    data_ = static_cast<unsigned char*>(std::malloc(bytes));
    if (data_ == nullptr) throw std::bad_alloc();
}

LazyBuffer::~LazyBuffer() { std::free(data_); }

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
    store.setBlock(std::min(kMaxBlock, most / (4 * std::size_t{threadCount})));
    const std::size_t blocks = std::max<std::size_t>(1, most / store.block);
    store.maxBlocks = blocks;
    store.records.resize(blocks);
    store.columns.reset(new LazyBuffer(blocks * store.block * store.entryBytes + 1));
    capacity = blocks * store.block;
    target = capacity / 2;
    lanes.resize(threadCount);
    scratch.resize(threadCount);
    width = model.minGap < kInf ? model.minGap : 1.0;
}

// ----------------------------------------------------------------------------------------
// Windows of the cost order

void WindowedEnumerator::Impl::finiteWindow(const OrderBound& lo, const std::atomic<bool>* interrupt) {
    const Model& m = model;
    double w = width;
    while (true) {
        double hiCost = lo.cost + w;
        const bool minimal = !(hiCost > lo.cost);
        if (minimal) hiCost = std::nextafter(lo.cost, kInf);
        const bool toEnd = !(hiCost <= m.dearest);
        if (toEnd) hiCost = kInf;
        // The suffix lists serve the next windows too: room for 64 of this width, or a
        // quarter of the way from the cheapest cost while windows are still wide.
        const double step = toEnd ? m.dearest - lo.cost : hiCost - lo.cost;
        const double ahead = std::min(64 * step, step + 0.25 * std::max(0.0, lo.cost - m.cheapest));
        bool fits = false;
        withColumnType([&](auto col) {
            using Col = decltype(col);
            fits = walk<Col>(lo, hiCost, ahead, interrupt);
            if (fits) sortWindow<Col>(lo.cost, hiCost, interrupt);
        });
        if (fits) {
            windowCount = store.sorted.size();
#ifdef QUORIN_WINDOWS_TRACE
            std::fprintf(stderr, "window lo %.9f width %.3g count %zu\n", lo.cost, hiCost - lo.cost, windowCount);
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
