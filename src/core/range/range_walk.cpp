// The range walk of range_walk.h: threads claim the pieces of a RangePlan and hand out
// what they find through a short queue of chunks (RangeWalk), or test it where they find
// it (testRange). The configurations of cost +inf follow, in column order.
#include <quorin/range_walk.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>
#include <type_traits>

#include <quorin/detail/thread_pool.h>
#include <quorin/windows.h>

#include "range/range_plan.h"
#include "range/range_stop.h"

namespace quorin {

using namespace detail;

namespace {

// Chunks waiting for the consumer, at most, before the walk's threads pause.
constexpr std::size_t kQueuedChunks = 4;
// Configurations of a chunk at most: a few MiB, so that the chunks in flight stay small.
constexpr std::size_t kMaxChunk = std::size_t{1} << 18;
// Configurations a thread tests at once.
constexpr std::size_t kTestBatch = 4096;
// Configurations of cost +inf walked at a time.
constexpr std::size_t kInfiniteWindow = std::size_t{1} << 16;
// How often a waiting consumer looks at its interrupt flag.
constexpr auto kPoll = std::chrono::milliseconds(5);

unsigned threadsFor(unsigned threads) { return threads == 0 ? std::max(1u, std::thread::hardware_concurrency()) : threads; }

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

// A tester on a batch of either kind.
void testBatch(const Tester& tester, const std::int32_t* columns, const double* costs, std::size_t count,
               std::size_t rows, std::vector<std::size_t>& hits) {
    tester.test(columns, costs, count, rows, hits);
}
void testBatch(const Tester& tester, const std::uint8_t* columns, const double* costs, std::size_t count,
               std::size_t rows, std::vector<std::size_t>& hits) {
    tester.testBytes(columns, costs, count, rows, hits);
}

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

// The configurations of the plan's finite part before (cost, columns), on `pool`.
Position countFiniteBefore(const RangePlan& plan, ThreadPool& pool, double cost, const std::vector<int>& columns,
                           const std::atomic<bool>* interrupt) {
    if (!plan.hasFinitePart()) return 0;
    return countIn(plan, pool, plan.finiteBefore(cost, columns), interrupt);
}

// How many configurations of the plan's range come before `columns`.
Position indexIn(const RangePlan& plan, ThreadPool& pool,
                 const std::vector<int>& columns, const std::atomic<bool>* interrupt) {
    const double cost = plan.costOf(columns);
    Position index = countFiniteBefore(plan, pool, cost, columns, interrupt);
    if (cost < kInf || !plan.hasInfinitePart()) return index;
    return index + plan.infiniteBefore(columns) - plan.infiniteBefore(plan.infiniteStart().columns);
}

// Where configurations fall among sorted targets (t_0 <= t_1 <= ... in the cost order):
// slot(x) is the number of targets at or before x, so x comes before t_j exactly when
// slot(x) <= j. Costs are spread over buckets between the least and the largest target
// cost, several per target, so that most buckets hold none; those of earlier buckets all
// cost less. A thread's Tally counts the configurations of a bucket without targets in the
// bucket itself and only those of the few buckets with targets by their exact slot.
class TargetSlots {
public:
    // Targets a group can hold: the buckets of a group's Tally (4 bytes each) stay in the
    // core's cache, as they must, since the walk's configurations jump from bucket to bucket.
    static constexpr std::size_t kMostTargets = std::size_t{1} << 15;

    // The h targets at costs[0 .. h) and columns[0 .. h), sorted (h <= kMostTargets).
    TargetSlots(const double* costs, const std::vector<int>* const* columns, std::size_t h, std::size_t rows)
        : costs_(costs), columns_(columns), h_(h), rows_(rows), lo_(costs[0]), hi_(costs[h - 1]) {
        std::size_t buckets = 1;
        while (buckets < kBucketsPerTarget * h) buckets <<= 1;
        if (hi_ > lo_) scale_ = static_cast<double>(buckets) / (hi_ - lo_);
        buckets_ = buckets;
        // Every bucket index is computed by bucket(), the same monotone formula for targets
        // and configurations, so a target of an earlier bucket always costs less.
        first_.assign(buckets + 1, 0);
        for (std::size_t j = 0; j < h; ++j) ++first_[bucket(costs[j]) + 1];
        for (std::size_t b = 0; b < buckets; ++b) first_[b + 1] += first_[b];
    }

    // The counts of one thread's configurations by slot, a sink of RangePlan::weighPiece.
    class Tally {
    public:
        explicit Tally(const TargetSlots& slots) : slots_(slots), cells_(slots.buckets_, 0), exact_(slots.h_ + 1, 0) {
            for (std::size_t b = 0; b < slots.buckets_; ++b) {
                if (slots.first_[b + 1] != slots.first_[b]) cells_[b] = kTargets;
            }
        }
        void below(std::uint32_t k) { exact_.front() += k; }
        void above(std::uint32_t k) { exact_.back() += k; }
        // Counts a configuration of cost E; columns() gives its columns when a target costs E.
        template <class Columns>
        void add(double E, Columns&& columns) {
            if (E < slots_.lo_) {
                ++exact_.front();
            } else if (E > slots_.hi_) {
                ++exact_.back();
            } else {
                const std::size_t b = slots_.bucket(E);
                std::uint32_t& cell = cells_[b];
                if (cell < kFull) ++cell;  // the common case: a bucket without targets
                else if (cell == kTargets) ++exact_[slots_.slotFrom(b, E, columns)];
                else exact_[slots_.first_[b]] += cell, cell = 1;
            }
        }
        // Adds the counts by slot to `bySlot` (one more entry than targets).
        void addTo(std::vector<Position>& bySlot) const {
            for (std::size_t j = 0; j < exact_.size(); ++j) bySlot[j] += exact_[j];
            for (std::size_t b = 0; b < cells_.size(); ++b) {
                if (cells_[b] != kTargets) bySlot[slots_.first_[b]] += cells_[b];
            }
        }

    private:
        // A bucket's cell: its count, or kTargets for a bucket holding targets.
        static constexpr std::uint32_t kTargets = std::uint32_t{1} << 31;
        static constexpr std::uint32_t kFull = kTargets - 1;
        const TargetSlots& slots_;
        std::vector<std::uint32_t> cells_;
        std::vector<std::uint64_t> exact_;
    };

private:
    // About a fifth of the configurations then fall in a bucket holding a target.
    static constexpr std::size_t kBucketsPerTarget = 4;
    std::size_t bucket(double c) const {
        const double b = (c - lo_) * scale_;
        return b >= static_cast<double>(buckets_ - 1) ? buckets_ - 1 : static_cast<std::size_t>(b);
    }
    // Whether target j comes after the configuration x of cost E.
    template <class Columns>
    bool after(std::size_t j, double E, Columns& columns, const int*& x) const {
        if (costs_[j] != E) return costs_[j] > E;
        if (x == nullptr) x = columns();
        return lexLess(x, columns_[j]->data(), rows_);
    }
    // The slot of a configuration of cost E in bucket b (one holding targets): the first of
    // the bucket's targets after it (targets of one cost may crowd a bucket: halved).
    template <class Columns>
    std::size_t slotFrom(std::size_t b, double E, Columns& columns) const {
        const int* x = nullptr;
        std::size_t j = first_[b], end = first_[b + 1];
        while (end - j > 8) {
            const std::size_t mid = j + (end - j) / 2;
            if (after(mid, E, columns, x)) end = mid;
            else j = mid + 1;
        }
        while (j < end && !after(j, E, columns, x)) ++j;
        return j;
    }
    const double* costs_;
    const std::vector<int>* const* columns_;
    std::size_t h_, rows_;
    double lo_, hi_, scale_ = 0;
    std::size_t buckets_ = 1;
    std::vector<std::uint32_t> first_;  // targets in the buckets before each (buckets + 1)
};

// The configurations of the plan's finite part before each of the sorted targets of finite
// cost (`costs`, `columns`): a walk per group of up to TargetSlots::kMostTargets of them,
// each up to the group's last target and weighing one by one only the configurations that
// may cost within the group's span; the others are counted by runs.
std::vector<Position> finiteBeforeEach(const RangePlan& plan, ThreadPool& pool, const std::vector<double>& costs,
                                       const std::vector<const std::vector<int>*>& columns,
                                       const std::atomic<bool>* interrupt) {
    const std::size_t f = costs.size(), n = plan.model().n;
    std::vector<Position> before(f, 0);
    if (!plan.hasFinitePart()) return before;
    withColumnType(plan.model(), [&](auto col) {
        using Col = decltype(col);
        std::vector<std::unique_ptr<PieceWalker<Col>>> walkers(pool.size());
        for (std::size_t a = 0; a < f; a += TargetSlots::kMostTargets) {
            const std::size_t m = std::min(TargetSlots::kMostTargets, f - a);
            const TargetSlots slots(costs.data() + a, columns.data() + a, m, n);
            const Bounds b = plan.finiteBefore(costs[a + m - 1], *columns[a + m - 1]);
            std::vector<std::unique_ptr<TargetSlots::Tally>> tallies(pool.size());
            pool.run(plan.pieces(), [&](std::size_t i, unsigned slot) {
                if (raised(interrupt)) throw Interrupted();
                if (!walkers[slot]) walkers[slot].reset(new PieceWalker<Col>(n));
                if (!tallies[slot]) tallies[slot].reset(new TargetSlots::Tally(slots));
                plan.weighPiece<Col>(i, b, costs[a], costs[a + m - 1], *walkers[slot], interrupt, *tallies[slot]);
            });
            std::vector<Position> bySlot(m + 1, 0);
            for (const std::unique_ptr<TargetSlots::Tally>& tally : tallies) {
                if (tally) tally->addTo(bySlot);
            }
            Position running = 0;
            for (std::size_t k = 0; k < m; ++k) before[a + k] = running += bySlot[k];
        }
    });
    return before;
}

// The indices in the plan's range of several configurations (each a configuration of the
// matrix, in any order, repeats allowed), counted together (finiteBeforeEach).
std::vector<Position> indicesIn(const RangePlan& plan, ThreadPool& pool, const std::vector<std::vector<int>>& targets,
                                const std::atomic<bool>* interrupt) {
    const std::size_t h = targets.size(), n = plan.model().n;
    std::vector<Position> out(h, 0);
    if (h == 0) return out;
    std::vector<double> cost(h);
    for (std::size_t i = 0; i < h; ++i) cost[i] = plan.costOf(targets[i]);
    if (h == 1 && cost[0] < kInf) {  // one count of [lower, target): no configuration placed
        out[0] = indexIn(plan, pool, targets[0], interrupt);
        return out;
    }
    // The targets of finite cost in the cost order.
    std::vector<std::size_t> order;
    bool anyInfinite = false;
    for (std::size_t i = 0; i < h; ++i) {
        if (cost[i] < kInf) order.push_back(i);
        else anyInfinite = true;
    }
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        if (cost[a] != cost[b]) return cost[a] < cost[b];
        return lexLess(targets[a].data(), targets[b].data(), n);
    });
    const std::size_t f = order.size();
    std::vector<double> sortedCost(f);
    std::vector<const std::vector<int>*> sortedColumns(f);
    for (std::size_t k = 0; k < f; ++k) {
        sortedCost[k] = cost[order[k]];
        sortedColumns[k] = &targets[order[k]];
    }
    const std::vector<Position> before = finiteBeforeEach(plan, pool, sortedCost, sortedColumns, interrupt);
    for (std::size_t k = 0; k < f; ++k) out[order[k]] = before[k];
    if (anyInfinite) {
        // Configurations of cost +inf: after the whole finite part, then in column order
        // between the start of the range's part of cost +inf and its upper bound.
        const Position finiteTotal = plan.hasFinitePart() ? countIn(plan, pool, plan.finite(), interrupt) : 0;
        Position first = 0, last = 0;
        if (plan.hasInfinitePart()) {
            first = plan.infiniteBefore(plan.infiniteStart().columns);
            last = plan.upper() ? plan.infiniteBefore(plan.upper()->columns) : kNoStop;
        }
        for (std::size_t i = 0; i < h; ++i) {
            if (cost[i] < kInf) continue;
            out[i] = finiteTotal;
            if (!plan.hasInfinitePart()) continue;
            const Position at = std::min(plan.infiniteBefore(targets[i]), last);
            if (at > first) out[i] += at - first;
        }
    }
    return out;
}

void checkColumnsOf(const Model& m, const std::vector<int>& columns) {
    if (columns.size() != m.n)
        throw std::invalid_argument("got " + std::to_string(columns.size()) + " columns for " + std::to_string(m.n) +
                                    " rows");
    for (std::size_t i = 0; i < m.n; ++i) {
        if (columns[i] < 0 || static_cast<std::size_t>(columns[i]) >= m.columns(i))
            throw std::invalid_argument("column " + std::to_string(columns[i]) + " of row " + std::to_string(i) +
                                        " is out of range");
    }
}

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
    impl_->chunkSize = std::min(kMaxChunk, std::max<std::size_t>(1, chunk));
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

// ----------------------------------------------------------------------------------------
// testRange: the tester on the walk's threads

RangeReport testRange(const ProbabilityMatrix& probs, const OrderBound& lower, const std::optional<OrderBound>& upper,
                      const Tester& tester, unsigned threads, const std::atomic<bool>* interrupt,
                      std::optional<Position> most) {
    checkProbabilities(probs);
    {
        std::vector<std::size_t> lengths;
        for (const std::vector<double>& row : probs) lengths.push_back(row.size());
        tester.checkShape(lengths);
    }
    threads = threadsFor(threads);
    const RangePlan plan(probs, lower, upper, threads, interrupt);
    const std::size_t n = plan.model().n;
    const bool unique = tester.unique();
    ThreadPool pool(threads);
    std::vector<Position> tested(threads, 0);
    std::vector<std::vector<Configuration>> found(threads);
    // Raised once a unique tester has its hit: every thread stops at its next batch.
    std::atomic<bool> haveUnique{false};
    // With a limit, the walk counts where the first `most` end.
    const OrderBound far = upper ? *upper : OrderBound{kInf, std::vector<int>(n, 0)};
    std::optional<StopCount> stop;
    if (most) stop.emplace(probs, lower, far, *most, threads);
    // `above`: the chunk's configurations of finite cost at or above the stop count's first
    // cut (null: none of finite cost). A chunk of int32 columns (RangeChunk) or of bytes
    // (ByteChunk, for a tester that takes them).
    auto testChunk = [&](auto& chunk, unsigned slot, std::vector<std::size_t>& hits,
                         std::vector<std::uint32_t>* above) {
        if (stop && above != nullptr) {
            stop->add(chunk.costs.data(), chunk.columns.data(), chunk.count, *above, slot);
            above->clear();
        }
        hits.clear();
        testBatch(tester, chunk.columns.data(), chunk.costs.data(), chunk.count, n, hits);
        for (std::size_t k : hits) {
            if (k >= chunk.count) throw std::logic_error("the tester returned an index past its batch");
            const auto first = chunk.columns.begin() + static_cast<std::ptrdiff_t>(k * n);
            found[slot].push_back(
                Configuration{std::vector<int>(first, first + static_cast<std::ptrdiff_t>(n)), chunk.costs[k]});
        }
        tested[slot] += chunk.count;
        if (unique && !hits.empty()) haveUnique.store(true, std::memory_order_relaxed);
    };
    // Whether the walk is over before a piece: Interrupted on the caller's interrupt, true
    // once a unique tester has its hit.
    auto stopping = [&] {
        if (raised(interrupt)) throw Interrupted();
        return haveUnique.load(std::memory_order_relaxed);
    };
    // The finite part on the pool, each thread filling batches with `makeFiller()` (of
    // stored columns Col) and testing them whenever they are full.
    auto walkFinite = [&](auto col, auto makeFiller) {
        using Col = decltype(col);
        using Filler = decltype(makeFiller());
        // Each thread's walker, batch and hit list, made once and kept across pieces.
        struct Scratch {
            PieceWalker<Col> walker;
            Filler filler;
            std::vector<std::size_t> hits;
            std::vector<std::uint32_t> above;
        };
        // Fills the thread's batch and tests it whenever it is full; false once a unique
        // tester's hit is found. With a limit, notes which configurations cost at least the
        // stop count's first cut (`low`; +inf without a limit).
        struct Emit {
            Scratch& scratch;
            unsigned slot;
            decltype(testChunk)& test;
            const std::atomic<bool>& haveUnique;
            double low;
            void prefix(const Col* head, std::size_t rows) { scratch.filler.prefix(head, rows); }
            bool add(double cost, const Col* rest) {
                if (cost >= low) scratch.above.push_back(static_cast<std::uint32_t>(scratch.filler.chunk.count));
                scratch.filler.put(cost, rest);
                if (scratch.filler.full()) {
                    test(scratch.filler.chunk, slot, scratch.hits, &scratch.above);
                    scratch.filler.chunk.count = 0;
                    return !haveUnique.load(std::memory_order_relaxed);
                }
                return true;
            }
        };
        std::vector<std::unique_ptr<Scratch>> scratch(threads);
        pool.run(plan.pieces(), [&](std::size_t i, unsigned slot) {
            if (stopping()) return;
            if (!scratch[slot]) scratch[slot].reset(new Scratch{PieceWalker<Col>(n), makeFiller(), {}, {}});
            plan.emitPiece<Col>(i, plan.finite(), scratch[slot]->walker, interrupt,
                                Emit{*scratch[slot], slot, testChunk, haveUnique, stop ? stop->low() : kInf});
        });
        for (unsigned slot = 0; slot < threads; ++slot) {  // what the last pieces left in each batch
            if (!haveUnique && scratch[slot] && scratch[slot]->filler.chunk.count != 0)
                testChunk(scratch[slot]->filler.chunk, slot, scratch[slot]->hits, &scratch[slot]->above);
        }
    };
    if (plan.hasFinitePart()) {
        withColumnType(plan.model(), [&](auto col) {
            using Col = decltype(col);
            if constexpr (std::is_same<Col, std::uint8_t>::value) {
                // Columns stored as bytes go to a tester that takes bytes as they are.
                if (tester.takesBytes()) return walkFinite(col, [&] { return ByteFiller(n, kTestBatch); });
            }
            walkFinite(col, [&] { return ChunkFiller<Col>(n, kTestBatch, nullptr); });
        });
    }
    if (!haveUnique) {
        InfiniteWalk infinite(probs, plan);
        std::vector<std::size_t> hits;
        while (!haveUnique) {
            RangeChunk chunk = infinite.next(kTestBatch, interrupt);
            if (!chunk) break;
            testChunk(chunk, 0, hits, nullptr);
        }
    }

    RangeReport report;
    for (Position t : tested) report.tested += t;
    std::vector<Configuration> all;
    for (std::vector<Configuration>& part : found) {
        for (Configuration& c : part) all.push_back(std::move(c));
    }
    if (haveUnique) {
        // The earliest hit in the cost order stands for the walk; it is the only one a unique
        // tester can have (others would be false hits of the same test).
        auto earliest = std::min_element(all.begin(), all.end(), [&](const Configuration& a, const Configuration& b) {
            if (a.cost != b.cost) return a.cost < b.cost;
            return std::lexicographical_compare(a.columns.begin(), a.columns.end(), b.columns.begin(), b.columns.end());
        });
        Configuration hit = std::move(*earliest);
        all.clear();
        all.push_back(std::move(hit));
        report.complete = false;
    }
    std::vector<std::vector<int>> columns;
    for (const Configuration& c : all) columns.push_back(c.columns);
    const std::vector<Position> index = indicesIn(plan, pool, columns, interrupt);
    for (std::size_t k = 0; k < all.size(); ++k) report.hits.push_back(RangeHit{index[k], std::move(all[k])});
    std::sort(report.hits.begin(), report.hits.end(),
              [](const RangeHit& a, const RangeHit& b) { return a.index < b.index; });
    if (!report.complete) {
        report.tested = report.hits.front().index + 1;
        // A unique hit past the limit: the first `most` hold none (where they end is not
        // counted, the walk having stopped).
        if (most && report.tested > *most) {
            report = RangeReport{*most, {}, true, true, std::nullopt};
        }
        return report;
    }
    if (most && report.tested > *most) {
        report.cut = true;
        report.tested = *most;
        while (!report.hits.empty() && !(report.hits.back().index < *most)) report.hits.pop_back();
        report.end = stop->end(plan, pool, interrupt);
    }
    return report;
}

}  // namespace quorin
