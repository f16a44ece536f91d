// The windowed enumerator's state, shared by the sources of its steps (not installed):
// windows.cpp (windows one after another, handed out), window_walk.cpp (the walk that
// fills a window), window_sort.cpp (sorting it) and lex_walk.cpp (windows inside one cost).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

#include <quorin/detail/thread_pool.h>
#include <quorin/windows.h>

#include "walk/cost_model.h"

namespace quorin {
namespace detail {

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

// Bytes in one piece, committed page by page as they are first written; on Linux the
// kernel is asked for huge pages, so that reading them in an order of their own (a sorted
// window's) does not miss the TLB at every read.
class LazyBuffer {
public:
    explicit LazyBuffer(std::size_t bytes);
    LazyBuffer(const LazyBuffer&) = delete;
    LazyBuffer& operator=(const LazyBuffer&) = delete;
    ~LazyBuffer();
    unsigned char* data() const noexcept { return data_; }

private:
    unsigned char* data_ = nullptr;
};

// The configurations of a window, sorted: `sorted` refers to stored columns by item.
struct WindowStore {
    std::size_t block = kMaxBlock;  // records per block: a power of two, 1 << blockShift
    unsigned blockShift = 12;
    std::size_t entryBytes = 0;
    std::size_t maxBlocks = 0;
    std::vector<std::unique_ptr<Record[]>> records;
    std::unique_ptr<LazyBuffer> columns;  // entryBytes per item, item = block index * block + slot
    std::atomic<std::size_t> claimed{0};
    std::vector<Record> sorted;

    // Records per block: the largest power of two up to `most` (at least 1).
    void setBlock(std::size_t most) {
        blockShift = 0;
        while ((std::size_t{2} << blockShift) <= most) ++blockShift;
        block = std::size_t{1} << blockShift;
    }
    unsigned char* columnsOf(std::size_t item) { return columns->data() + item * entryBytes; }
    const unsigned char* columnsOf(std::size_t item) const { return columns->data() + item * entryBytes; }
    unsigned char* columnBlock(std::size_t b) { return columnsOf(b << blockShift); }
    // Claims the next block, or returns false when the window holds its most.
    bool claim(std::size_t& b) {
        b = claimed.fetch_add(1, std::memory_order_relaxed);
        if (b >= maxBlocks) return false;
        if (!records[b]) records[b].reset(new Record[this->block]);
        return true;
    }
};

}  // namespace detail


struct WindowedEnumerator::Impl {
    ProbabilityMatrix probs;
    detail::Model model;
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
    detail::WindowStore store;
    std::vector<detail::Lane> lanes;
    std::vector<std::vector<detail::Record>> scratch;  // per thread, for the sort

    Impl(ProbabilityMatrix p, Position stop, unsigned threads, std::size_t windowSize);

    OrderBound firstBound() const {
        OrderBound b;
        b.cost = model.anyFinite ? model.cheapest : detail::kInf;
        b.columns.assign(model.n, 0);
        return b;
    }

    void buildWindow(const OrderBound& lo, Position first, bool continuing, const std::atomic<bool>* interrupt);
    void finiteWindow(const OrderBound& lo, const std::atomic<bool>* interrupt);
    void lexWindow(const OrderBound& lo, bool infinite, const std::atomic<bool>* interrupt);
    // Fills the store with the window [lo, the start of hiCost); false when it holds more
    // than the store's most. `ahead`: how much further the next windows may reach.
    template <class Col>
    bool walk(const OrderBound& lo, double hiCost, double ahead, const std::atomic<bool>* interrupt);
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

}  // namespace quorin
