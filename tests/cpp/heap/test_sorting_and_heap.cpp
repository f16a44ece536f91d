// The project's introsort and binary heap against the standard library's: with libstdc++
// the order of equal elements must come out identical, and with any values (NaN too)
// neither may touch memory outside its range.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <queue>
#include <random>
#include <utility>
#include <vector>

#include <quorin/detail/binary_heap.h>
#include <quorin/detail/introsort.h>

namespace {

using Keyed = std::pair<double, int>;  // (key, identity); compared by key only
const auto byKey = [](const Keyed& a, const Keyed& b) { return a.first < b.first; };

std::vector<int> identities(const std::vector<Keyed>& items) {
    std::vector<int> ids;
    for (const Keyed& item : items) ids.push_back(item.second);
    return ids;
}

std::vector<Keyed> tieHeavy(std::mt19937& rng, int size) {
    const int distinct = 1 + static_cast<int>(rng() % 6);
    std::vector<Keyed> items;
    for (int i = 0; i < size; ++i) items.emplace_back(static_cast<double>(rng() % distinct), i);
    return items;
}

// McIlroy's adversary: keys decided lazily so that the sort partitions as badly as it
// can, which drives an introsort into its heap-sort fallback. Frozen keys are halved, so
// pairs of them tie; the keys still reproduce the same comparisons on a replay.
std::vector<Keyed> adversarial(int size) {
    const int gas = size;
    std::vector<int> key(size, gas);
    int frozen = 0;
    int candidate = 0;
    auto freeze = [&](int item) { key[item] = frozen++ / 2; };
    std::vector<int> items(size);
    std::iota(items.begin(), items.end(), 0);
    quorin::introsort(items.begin(), items.end(), [&](int x, int y) {
        if (key[x] == gas && key[y] == gas) freeze(x == candidate ? x : y);
        if (key[x] == gas) candidate = x;
        else if (key[y] == gas) candidate = y;
        return key[x] < key[y];
    });
    std::vector<Keyed> input;
    for (int i = 0; i < size; ++i) input.emplace_back(key[i], i);
    return input;
}

// The project's sort and heap are the algorithms libstdc++ ships, so only there is the
// standard library's own order the reference.
#if defined(__GLIBCXX__)
#define SKIP_UNLESS_LIBSTDCXX()
#else
#define SKIP_UNLESS_LIBSTDCXX() \
    GTEST_SKIP() << "compares with libstdc++'s own algorithms; this build uses another standard library"
#endif

void expectSameOrderAsStdSort(std::vector<Keyed> items) {
    std::vector<Keyed> ours = items;
    quorin::introsort(ours.begin(), ours.end(), byKey);
    std::sort(items.begin(), items.end(), byKey);
    ASSERT_EQ(identities(ours), identities(items));
}

TEST(Introsort, MatchesStdSortOnRandomTieHeavyInputs) {
    SKIP_UNLESS_LIBSTDCXX();
    std::mt19937 rng(20261208);
    for (int round = 0; round < 3000; ++round) {
        const int size = round < 400 ? round % 40 : static_cast<int>(rng() % 400);
        expectSameOrderAsStdSort(tieHeavy(rng, size));
    }
}

TEST(Introsort, MatchesStdSortOnStructuredInputs) {
    SKIP_UNLESS_LIBSTDCXX();
    for (int size : {17, 18, 31, 32, 33, 64, 100, 257}) {
        std::vector<Keyed> ascending, descending, equal, organPipe, sawtooth;
        for (int i = 0; i < size; ++i) {
            ascending.emplace_back(i, i);
            descending.emplace_back(size - i, i);
            equal.emplace_back(0.5, i);
            organPipe.emplace_back(std::min(i, size - i), i);
            sawtooth.emplace_back(i % 5, i);
        }
        for (const auto& input : {ascending, descending, equal, organPipe, sawtooth}) {
            expectSameOrderAsStdSort(input);
        }
    }
}

TEST(Introsort, MatchesStdSortWhereTheDepthLimitForcesHeapSort) {
    SKIP_UNLESS_LIBSTDCXX();
    for (int size : {40, 64, 100, 200, 333, 500}) expectSameOrderAsStdSort(adversarial(size));
}

TEST(Introsort, HeapSortFallbackMatchesMakeHeapAndSortHeap) {
    SKIP_UNLESS_LIBSTDCXX();
    std::mt19937 rng(7);
    for (int round = 0; round < 1000; ++round) {
        std::vector<Keyed> items = tieHeavy(rng, static_cast<int>(rng() % 200));
        std::vector<Keyed> ours = items;
        auto less = byKey;
        quorin::introsort_detail::heapSort(ours.begin(), ours.end(), less);
        std::make_heap(items.begin(), items.end(), byKey);
        std::sort_heap(items.begin(), items.end(), byKey);
        ASSERT_EQ(identities(ours), identities(items));
    }
}

TEST(Introsort, SeventeenEqualKeysLeaveTheDocumentedOrder) {
    std::vector<Keyed> items;
    for (int i = 0; i < 17; ++i) items.emplace_back(0.5, i);
    quorin::introsort(items.begin(), items.end(), byKey);
    EXPECT_EQ(identities(items),
              (std::vector<int>{8, 16, 15, 14, 13, 12, 11, 10, 9, 0, 7, 6, 5, 4, 3, 2, 1}));
    items.resize(16);
    for (int i = 0; i < 16; ++i) items[i] = Keyed(0.5, i);
    quorin::introsort(items.begin(), items.end(), byKey);
    std::vector<int> ascending(16);
    std::iota(ascending.begin(), ascending.end(), 0);
    EXPECT_EQ(identities(items), ascending) << "16 or fewer keep their order";
}

TEST(Introsort, StaysInsideItsRangeWithNaNKeys) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const double pool[] = {nan, nan, 0.0, 1.0, 2.0, inf, -1.0, nan, 1.0};
    std::mt19937 rng(11);
    for (int round = 0; round < 3000; ++round) {
        const int size = static_cast<int>(rng() % 300);
        // Guard cells on both sides: a read or write outside the range would show there.
        std::vector<Keyed> buffer(size + 2, Keyed(-1e300, -1));
        for (int i = 0; i < size; ++i) buffer[i + 1] = Keyed(pool[rng() % 9], i);
        quorin::introsort(buffer.begin() + 1, buffer.end() - 1, byKey);
        ASSERT_EQ(buffer.front().second, -1);
        ASSERT_EQ(buffer.back().second, -1);
        std::vector<int> ids = identities(std::vector<Keyed>(buffer.begin() + 1, buffer.end() - 1));
        std::sort(ids.begin(), ids.end());
        std::vector<int> all(size);
        std::iota(all.begin(), all.end(), 0);
        ASSERT_EQ(ids, all) << "the result is a permutation";
    }
}

struct Entry {
    double cost;
    int id;
};
struct EntryLower {
    bool operator()(const Entry& a, const Entry& b) const { return a.cost > b.cost; }
};

std::vector<int> popOrder(const std::vector<double>& costs) {
    quorin::BinaryHeap<Entry, EntryLower> heap;
    for (std::size_t i = 0; i < costs.size(); ++i) heap.push(Entry{costs[i], static_cast<int>(i)});
    std::vector<int> order;
    while (!heap.empty()) order.push_back(heap.pop().id);
    return order;
}

TEST(BinaryHeap, DocumentedTieOrders) {
    EXPECT_EQ(popOrder({1, 1, 1, 1}), (std::vector<int>{0, 2, 1, 3}));        // A C B D
    EXPECT_EQ(popOrder({1, 1, 1, 1, 1}), (std::vector<int>{0, 2, 4, 1, 3}));  // A C E B D
    EXPECT_EQ(popOrder({2, 1, 1, 3}), (std::vector<int>{1, 2, 0, 3}));        // B C A D
    EXPECT_EQ(popOrder({5}), (std::vector<int>{0}));
    EXPECT_TRUE(popOrder({}).empty());
}

TEST(BinaryHeap, MatchesStdPriorityQueueUnderRandomPushesAndPops) {
    SKIP_UNLESS_LIBSTDCXX();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    std::mt19937 rng(42);
    for (int round = 0; round < 2000; ++round) {
        quorin::BinaryHeap<Entry, EntryLower> ours;
        std::priority_queue<Entry, std::vector<Entry>, EntryLower> reference;
        const int distinct = 1 + static_cast<int>(rng() % 5);
        const bool withNaN = round % 10 == 0;
        const int steps = static_cast<int>(rng() % 400);
        for (int step = 0; step < steps; ++step) {
            if (reference.empty() || rng() % 3 != 0) {
                double cost = static_cast<double>(rng() % distinct);
                if (withNaN && rng() % 7 == 0) cost = nan;
                ours.push(Entry{cost, step});
                reference.push(Entry{cost, step});
            } else {
                ASSERT_EQ(ours.top().id, reference.top().id);
                ASSERT_EQ(ours.pop().id, reference.top().id);
                reference.pop();
            }
            ASSERT_EQ(ours.size(), reference.size());
        }
        while (!reference.empty()) {
            ASSERT_EQ(ours.pop().id, reference.top().id);
            reference.pop();
        }
        ASSERT_TRUE(ours.empty());
    }
}

}  // namespace
