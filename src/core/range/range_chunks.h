// Batches of a range walk's configurations (not installed): chunks of int32 columns for a
// consumer or a tester, batches of bytes for a tester that takes them, and the
// configurations of cost +inf, which follow the walk in column order.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include <quorin/range_walk.h>
#include <quorin/windows.h>

#include "range/range_plan.h"

namespace quorin {
namespace detail {

// Configurations of cost +inf walked at a time.
constexpr std::size_t kInfiniteWindow = std::size_t{1} << 16;

// The threads a walk asked for `threads` runs on (0: every core).
inline unsigned threadsFor(unsigned threads) {
    return threads == 0 ? std::max(1u, std::thread::hardware_concurrency()) : threads;
}

// Storage of chunks handed back by the consumer, for the next chunks to fill.
class ChunkStore {
public:
    explicit ChunkStore(std::size_t most) : most_(most) {}
    // A chunk of `capacity` configurations of `rows` columns, count 0.
    RangeChunk take(std::size_t capacity, std::size_t rows) {
        RangeChunk chunk;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!idle_.empty()) {
                chunk = std::move(idle_.back());
                idle_.pop_back();
            }
        }
        chunk.count = 0;
        chunk.columns.resize(capacity * rows);
        chunk.costs.resize(capacity);
        return chunk;
    }
    void give(RangeChunk&& chunk) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (idle_.size() < most_) idle_.push_back(std::move(chunk));
    }

private:
    std::mutex mutex_;
    std::vector<RangeChunk> idle_;
    std::size_t most_;
};

// Fills chunks of configurations from the walk's emissions: head and rest widened to int32.
template <class Col>
struct ChunkFiller {
    std::size_t n, s = 0, capacity;
    ChunkStore* store;
    RangeChunk chunk;
    ChunkFiller(std::size_t rows, std::size_t size, ChunkStore* from) : n(rows), capacity(size), store(from) {
        widenedHead.reserve(n);
        reset();
    }
    void reset() {
        if (store != nullptr) {
            chunk = store->take(capacity, n);
        } else {
            chunk = RangeChunk{};
            chunk.columns.resize(capacity * n);
            chunk.costs.resize(capacity);
        }
    }
    bool full() const { return chunk.count == capacity; }
    void prefix(const Col* head, std::size_t rows) {
        s = rows;
        widenedHead.resize(s);
        for (std::size_t r = 0; r < s; ++r) widenedHead[r] = static_cast<std::int32_t>(head[r]);
    }
    void put(double cost, const Col* rest) {
        std::int32_t* out = chunk.columns.data() + chunk.count * n;
        // Eight bytes at a time, inline: a library call per configuration costs more.
        copyBytes(reinterpret_cast<unsigned char*>(out), reinterpret_cast<const unsigned char*>(widenedHead.data()),
                  s * sizeof(std::int32_t));
        for (std::size_t r = s; r < n; ++r) out[r] = static_cast<std::int32_t>(rest[r - s]);
        chunk.costs[chunk.count++] = cost;
    }
    std::vector<std::int32_t> widenedHead;
    RangeChunk take() {
        chunk.columns.resize(chunk.count * n);
        chunk.costs.resize(chunk.count);
        RangeChunk out = std::move(chunk);
        reset();
        return out;
    }
};

// A batch for a tester that takes bytes: the stored columns as they are, one byte each.
struct ByteChunk {
    std::size_t count = 0;
    std::vector<std::uint8_t> columns;
    std::vector<double> costs;
};

// Fills byte batches from the walk's emissions (a matrix stored one byte per column).
struct ByteFiller {
    std::size_t n, s = 0, capacity;
    const std::uint8_t* head = nullptr;  // the walk's, valid while its prefix's entries come
    ByteChunk chunk;
    ByteFiller(std::size_t rows, std::size_t size) : n(rows), capacity(size) {
        chunk.columns.resize(capacity * n);
        chunk.costs.resize(capacity);
    }
    bool full() const { return chunk.count == capacity; }
    void prefix(const std::uint8_t* h, std::size_t rows) {
        head = h;
        s = rows;
    }
    void put(double cost, const std::uint8_t* rest) {
        unsigned char* out = chunk.columns.data() + chunk.count * n;
        copyBytes(out, head, s);
        copyBytes(out + s, rest, n - s);
        chunk.costs[chunk.count++] = cost;
    }
};

// The configurations of cost +inf of a plan's range, in column order, a chunk at a time.
class InfiniteWalk {
public:
    InfiniteWalk(const ProbabilityMatrix& probs, const RangePlan& plan) : plan_(plan) {
        if (plan.hasInfinitePart()) enumerator_.emplace(probs, 0, plan.infiniteStart(), kNoStop, 1, kInfiniteWindow);
    }
    // Up to `size` more; an empty chunk at the end.
    RangeChunk next(std::size_t size, const std::atomic<bool>* interrupt) {
        RangeChunk chunk;
        if (!enumerator_ || done_) return chunk;
        const std::size_t n = plan_.model().n;
        chunk.columns.resize(size * n);
        chunk.costs.resize(size);
        const std::size_t m = enumerator_->next(size, chunk.columns.data(), chunk.costs.data(), interrupt);
        std::vector<int> columns(n);
        std::size_t keep = 0;
        while (keep < m) {
            std::copy(chunk.columns.begin() + static_cast<std::ptrdiff_t>(keep * n),
                      chunk.columns.begin() + static_cast<std::ptrdiff_t>((keep + 1) * n), columns.begin());
            if (!plan_.beforeUpper(columns)) break;
            ++keep;
        }
        if (keep < size) done_ = true;
        chunk.count = keep;
        chunk.columns.resize(keep * n);
        chunk.costs.resize(keep);
        return chunk;
    }

private:
    const RangePlan& plan_;
    std::optional<WindowedEnumerator> enumerator_;
    bool done_ = false;
};

}  // namespace detail
}  // namespace quorin
