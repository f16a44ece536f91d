// The windowed enumeration against brute force: every configuration of small matrices
// sorted by (cost, columns) with std::sort.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <random>
#include <tuple>
#include <vector>

#include <quorin/counting.h>
#include <quorin/detail/radix_sort.h>
#include <quorin/detail/thread_pool.h>
#include <quorin/windows.h>

#include "support.h"

namespace {

using quorin::ProbabilityMatrix;
using quorin_test::Configuration;

using quorin_test::Entry;
using quorin_test::costOrder;
using quorin_test::randomMatrix;

std::vector<Entry> drain(quorin::WindowedEnumerator& e, std::size_t size) {
    std::vector<Entry> out;
    std::vector<std::int32_t> columns(size * e.rows());
    std::vector<double> costs(size);
    while (std::size_t m = e.next(size, columns.data(), costs.data())) {
        for (std::size_t k = 0; k < m; ++k)
            out.push_back({costs[k], Configuration(columns.begin() + k * e.rows(), columns.begin() + (k + 1) * e.rows())});
        if (out.size() > 10000000) break;
    }
    return out;
}

void expectSame(const std::vector<Entry>& got, const std::vector<Entry>& want, std::size_t from, std::size_t to) {
    ASSERT_EQ(got.size(), to - from);
    for (std::size_t k = 0; k < got.size(); ++k) {
        ASSERT_EQ(got[k].columns, want[from + k].columns) << "position " << from + k;
        ASSERT_TRUE(got[k].cost == want[from + k].cost || (std::isnan(got[k].cost) && std::isnan(want[from + k].cost)))
            << "position " << from + k;
    }
}

TEST(Windows, MatchesBruteForce) {
    std::mt19937_64 rng(7);
    for (int trial = 0; trial < 60; ++trial) {
        const int kind = trial % 3;
        const std::size_t rows = 1 + trial % 6;
        ProbabilityMatrix probs = randomMatrix(rng, rows, 6, kind);
        const std::vector<Entry> want = costOrder(probs);
        for (unsigned threads : {1u, 2u}) {
            for (std::size_t window : {std::size_t{2}, std::size_t{7}, std::size_t{0}}) {
                for (std::size_t size : {std::size_t{1}, std::size_t{3}, std::size_t{1000}}) {
                    quorin::WindowedEnumerator e(probs, 0, quorin::kNoStop, threads, window);
                    expectSame(drain(e, size), want, 0, want.size());
                }
                std::uniform_int_distribution<std::size_t> at(0, want.size());
                std::size_t a = at(rng), b = at(rng);
                if (a > b) std::swap(a, b);
                quorin::WindowedEnumerator e(probs, a, b, threads, window);
                expectSame(drain(e, 2), want, a, b);
            }
        }
    }
}

TEST(Windows, EqualCostsComeInLexicographicOrderPastAWindow) {
    // Every configuration costs the same: windows split that one cost by columns.
    const ProbabilityMatrix probs(24, std::vector<double>(18, 0.25));
    for (std::size_t window : {std::size_t{0}, std::size_t{100}}) {
        quorin::WindowedEnumerator e(probs, 5000, 7000, 2, window);
        const std::vector<Entry> got = drain(e, 333);
        ASSERT_EQ(got.size(), 2000u);
        for (std::size_t k = 0; k < got.size(); ++k) {
            Configuration want(24, 0);
            for (std::size_t v = 5000 + k, i = 24; v != 0; v /= 18) want[--i] = static_cast<int>(v % 18);
            ASSERT_EQ(got[k].columns, want);
        }
    }
}

ProbabilityMatrix keyMatrix() { return quorin_test::gammaMatrix(5, 16, 256); }

TEST(Windows, PositionsAgreeWithTheWeightTable) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "heavy: a start at 2^30 under AddressSanitizer";
#endif
    const ProbabilityMatrix probs = keyMatrix();
    // The first 2^20: as many configurations cost at most the last one's cost.
    quorin::WindowedEnumerator first(probs, 0, std::size_t{1} << 20, 2);
    std::vector<std::int32_t> columns((std::size_t{1} << 20) * 16);
    std::vector<double> costs(std::size_t{1} << 20);
    ASSERT_EQ(first.next(costs.size(), columns.data(), costs.data()), costs.size());
    const quorin::CountBounds below = quorin::count(probs, costs.back());
    EXPECT_EQ(below.low, quorin::Count(std::uint64_t{1} << 20));
    EXPECT_EQ(below.high, below.low);
    // Far down, started without enumerating: each configuration sits at its position.
    // (Deeper starts, 2^36 and on, take select minutes today: the benchmark checks them.)
    for (unsigned exponent : {30u}) {
        const quorin::Position start = quorin::Position{1} << exponent;
        quorin::WindowedEnumerator e(probs, start, start + 3, 2);
        const std::vector<Entry> got = drain(e, 2);
        ASSERT_EQ(got.size(), 3u);
        for (std::size_t k = 0; k < 3; ++k) {
            EXPECT_EQ(quorin::position(probs, got[k].columns), quorin::Count::fromUint128(start + k)) << exponent;
            EXPECT_EQ(got[k].cost, quorin_test::cost(probs, got[k].columns));
        }
    }
}

TEST(Windows, ResumesFromItsCursor) {
    const ProbabilityMatrix probs = keyMatrix();
    quorin::WindowedEnumerator a(probs, 0, 50000, 1, 3000);
    std::vector<std::int32_t> columns(20000 * 16);
    std::vector<double> costs(20000);
    a.next(12345, columns.data(), costs.data());
    quorin::WindowedEnumerator b(probs, a.position(), a.cursor(), 50000, 2);
    const std::vector<Entry> restA = drain(a, 777), restB = drain(b, 5000);
    ASSERT_EQ(restA.size(), 50000u - 12345u);
    for (std::size_t k = 0; k < restA.size(); ++k) ASSERT_EQ(restA[k].columns, restB[k].columns);
}

TEST(Windows, InterruptChangesNothing) {
    const ProbabilityMatrix probs = keyMatrix();
    std::atomic<bool> stop{true};
    quorin::WindowedEnumerator e(probs, 0, quorin::kNoStop, 2);
    std::vector<std::int32_t> columns(4000 * 16);
    std::vector<double> costs(4000);
    EXPECT_THROW(e.next(4000, columns.data(), costs.data(), &stop), quorin::Interrupted);
    EXPECT_EQ(e.position(), quorin::Position{0});
    stop = false;
    ASSERT_EQ(e.next(4000, columns.data(), costs.data(), &stop), 4000u);
    quorin::WindowedEnumerator fresh(probs, 0, 4000, 1);
    const std::vector<Entry> want = drain(fresh, 4000);
    for (std::size_t k = 0; k < 4000; ++k)
        ASSERT_EQ(Configuration(columns.begin() + k * 16, columns.begin() + (k + 1) * 16), want[k].columns);
}

TEST(ThreadPool, RunsEveryTaskOnceAndRethrows) {
    quorin::ThreadPool pool(3);
    for (std::size_t count : {std::size_t{0}, std::size_t{1}, std::size_t{1000}}) {
        std::vector<std::atomic<int>> runs(count);
        std::atomic<bool> badSlot{false};
        pool.run(count, [&](std::size_t i, unsigned slot) {
            runs[i]++;
            if (slot >= pool.size()) badSlot = true;
        });
        for (auto& r : runs) EXPECT_EQ(r.load(), 1);
        EXPECT_FALSE(badSlot);
    }
    EXPECT_THROW(pool.run(100, [](std::size_t i, unsigned) {
        if (i == 37) throw std::runtime_error("task 37");
    }), std::runtime_error);
    std::atomic<int> after{0};
    pool.run(10, [&](std::size_t, unsigned) { after++; });
    EXPECT_EQ(after.load(), 10);
}

TEST(RadixSort, IsAStableSortByKey) {
    std::mt19937_64 rng(3);
    for (unsigned bits : {1u, 7u, 22u, 40u, 64u}) {
        std::vector<std::pair<std::uint64_t, std::size_t>> data(5000), scratch(5000);
        for (std::size_t i = 0; i < data.size(); ++i) {
            const std::uint64_t key = bits == 64 ? rng() : rng() & ((std::uint64_t{1} << bits) - 1);
            data[i] = {key % 3 == 0 ? (key & 1) : key, i};  // many equal keys
        }
        auto want = data;
        std::stable_sort(want.begin(), want.end(), [](auto& a, auto& b) { return a.first < b.first; });
        quorin::radixSort(data.data(), scratch.data(), data.size(), bits, [](auto& e) { return e.first; });
        EXPECT_EQ(data, want) << bits;
    }
}

}  // namespace
