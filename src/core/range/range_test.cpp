// testRange of range_walk.h: the tester on the walk's threads, each testing the batches it
// fills; the configurations of cost +inf follow on this thread, and the hits are indexed
// together at the end.
#include <quorin/range_walk.h>

#include <algorithm>
#include <memory>
#include <stdexcept>
#include <type_traits>

#include <quorin/detail/thread_pool.h>

#include "range/range_chunks.h"
#include "range/range_indices.h"
#include "range/range_plan.h"
#include "range/range_stop.h"

namespace quorin {

using namespace detail;

namespace {

// Configurations a thread tests at once.
constexpr std::size_t kTestBatch = 4096;

// A tester on a batch of either kind.
void testBatch(const Tester& tester, const std::int32_t* columns, const double* costs, std::size_t count,
               std::size_t rows, std::vector<std::size_t>& hits) {
    tester.test(columns, costs, count, rows, hits);
}
void testBatch(const Tester& tester, const std::uint8_t* columns, const double* costs, std::size_t count,
               std::size_t rows, std::vector<std::size_t>& hits) {
    tester.testBytes(columns, costs, count, rows, hits);
}

}  // namespace

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
