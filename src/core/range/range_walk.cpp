// RangeWalk of range_walk.h: threads claim the pieces of a RangePlan and hand out what they
// find through a short queue of chunks; the configurations of cost +inf follow, in column
// order. (testRange, which tests where it finds, is range_test.cpp.)
#include <quorin/range_walk.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>

#include <quorin/detail/thread_pool.h>
#include <quorin/windows.h>

#include "range/range_chunks.h"
#include "range/range_indices.h"
#include "range/range_plan.h"

namespace quorin {

using namespace detail;

namespace {

// Chunks waiting for the consumer, at most, before the walk's threads pause.
constexpr std::size_t kQueuedChunks = 4;
// Configurations of a chunk at most: a few MiB, so that the chunks in flight stay small;
// fewer for a matrix of many rows, whose columns would otherwise take hundreds of MiB a
// chunk (on 400 rows, a task of 2^14 spent its time clearing them).
constexpr std::size_t kMaxChunk = std::size_t{1} << 18;
constexpr std::size_t kMaxChunkBytes = std::size_t{16} << 20;
// How often a waiting consumer looks at its interrupt flag.
constexpr auto kPoll = std::chrono::milliseconds(5);

}  // namespace

// ----------------------------------------------------------------------------------------
// RangeWalk: producers and one consumer

struct RangeWalk::Impl {
    ProbabilityMatrix probs;
    unsigned threads;
    std::size_t chunkSize;
    std::unique_ptr<RangePlan> plan;  // made by the first next(), off the constructor's path
    std::unique_ptr<ThreadPool> countPool;
    std::unique_ptr<InfiniteWalk> infinite;
    OrderBound lower;
    std::optional<OrderBound> upper;
    Position handedOut = 0;

    std::mutex mutex;
    std::condition_variable ready, room;
    std::deque<RangeChunk> queue;
    std::vector<std::thread> producers;
    std::atomic<std::size_t> nextPiece{0};
    std::atomic<bool> stopping{false};
    unsigned running = 0;
    ChunkStore chunks{kQueuedChunks + 4};
    std::exception_ptr error;

    ~Impl() {
        {
            std::lock_guard<std::mutex> lock(mutex);
            stopping = true;
        }
        room.notify_all();
        for (std::thread& t : producers) t.join();
    }

    void start(const std::atomic<bool>* interrupt) {
        plan.reset(new RangePlan(probs, lower, upper, threads, interrupt));
        infinite.reset(new InfiniteWalk(probs, *plan));
        if (!plan->hasFinitePart() || plan->pieces() == 0) return;
        running = threads;
        for (unsigned t = 0; t < threads; ++t) producers.emplace_back([this] { produce(); });
    }

    // Hands a full chunk to the consumer, waiting while the queue is full; false once the
    // walk is being torn down.
    bool deliver(RangeChunk chunk) {
        std::unique_lock<std::mutex> lock(mutex);
        room.wait(lock, [&] { return stopping || queue.size() < kQueuedChunks; });
        if (stopping) return false;
        queue.push_back(std::move(chunk));
        ready.notify_one();
        return true;
    }

    void produce() {
        try {
            withColumnType(plan->model(), [&](auto col) {
                using Col = decltype(col);
                PieceWalker<Col> w(plan->model().n);
                ChunkFiller<Col> filler(plan->model().n, chunkSize, &chunks);
                for (std::size_t i; (i = nextPiece.fetch_add(1)) < plan->pieces();) {
                    struct Emit {
                        ChunkFiller<Col>& filler;
                        Impl& walk;
                        void prefix(const Col* head, std::size_t rows) { filler.prefix(head, rows); }
                        bool add(double cost, const Col* rest) {
                            filler.put(cost, rest);
                            return !filler.full() || walk.deliver(filler.take());
                        }
                    };
                    const bool whole = plan->emitPiece<Col>(i, plan->finite(), w, &stopping, Emit{filler, *this});
                    if (!whole) return;
                }
                if (filler.chunk.count != 0) deliver(filler.take());
            });
        } catch (const Interrupted&) {
            // torn down
        } catch (...) {
            std::lock_guard<std::mutex> lock(mutex);
            if (!error) error = std::current_exception();
        }
        std::lock_guard<std::mutex> lock(mutex);
        --running;
        ready.notify_all();
    }

    RangeChunk next(const std::atomic<bool>* interrupt) {
        if (!plan) start(interrupt);
        std::unique_lock<std::mutex> lock(mutex);
        while (queue.empty() && running != 0 && !error) {
            if (raised(interrupt)) throw Interrupted();
            ready.wait_for(lock, kPoll);
        }
        if (error) std::rethrow_exception(error);
        if (!queue.empty()) {
            RangeChunk chunk = std::move(queue.front());
            queue.pop_front();
            lock.unlock();
            room.notify_one();
            handedOut += chunk.count;
            return chunk;
        }
        lock.unlock();
        RangeChunk chunk = infinite->next(chunkSize, interrupt);
        handedOut += chunk.count;
        return chunk;
    }
};

RangeWalk::RangeWalk(ProbabilityMatrix probs, OrderBound lower, std::optional<OrderBound> upper, unsigned threads,
                     std::size_t chunk)
    : impl_(new Impl) {
    checkProbabilities(probs);
    impl_->probs = std::move(probs);
    impl_->threads = threadsFor(threads);
    const std::size_t rowBytes = sizeof(std::int32_t) * std::max<std::size_t>(1, impl_->probs.size());
    const std::size_t fit = std::max<std::size_t>(1, kMaxChunkBytes / rowBytes);
    impl_->chunkSize = std::min({kMaxChunk, fit, std::max<std::size_t>(1, chunk)});
    impl_->lower = std::move(lower);
    impl_->upper = std::move(upper);
    // The bounds are checked now; the suffix list and the pieces are made by the first next().
    checkRangeBounds(impl_->probs, impl_->lower, impl_->upper);
}

RangeWalk::~RangeWalk() = default;

void RangeWalk::recycle(RangeChunk&& chunk) { impl_->chunks.give(std::move(chunk)); }

std::size_t RangeWalk::rows() const noexcept { return impl_->probs.size(); }

RangeChunk RangeWalk::next(const std::atomic<bool>* interrupt) { return impl_->next(interrupt); }

Position RangeWalk::handedOut() const noexcept { return impl_->handedOut; }

Position RangeWalk::indexOf(const std::vector<int>& columns, const std::atomic<bool>* interrupt) const {
    return indicesOf({columns}, interrupt).front();
}

std::vector<Position> RangeWalk::indicesOf(const std::vector<std::vector<int>>& configurations,
                                           const std::atomic<bool>* interrupt, unsigned threads) const {
    Impl& e = *impl_;
    if (!e.plan) e.start(interrupt);
    for (const std::vector<int>& columns : configurations) checkColumnsOf(e.plan->model(), columns);
    if (threads != 0 && threads != e.threads) {
        ThreadPool pool(threads);
        return indicesIn(*e.plan, pool, configurations, interrupt);
    }
    if (!e.countPool) e.countPool.reset(new ThreadPool(e.threads));
    return indicesIn(*e.plan, *e.countPool, configurations, interrupt);
}

}  // namespace quorin
