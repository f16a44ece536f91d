// The node store's block-grown records and the id hash table, each against a plain
// standard-library model; the heap beyond the size from which it prefetches.
#include <gtest/gtest.h>

#include <cstdint>
#include <queue>
#include <random>
#include <stdexcept>
#include <unordered_map>
#include <vector>

#include <quorin/detail/binary_heap.h>
#include <quorin/detail/id_hash_table.h>
#include <quorin/detail/record_store.h>

namespace {

using quorin::IdHashTable;
using quorin::RecordStore;

TEST(RecordStore, NarrowestWidths) {
    EXPECT_EQ(RecordStore::entryBytesFor(0), 1u);
    EXPECT_EQ(RecordStore::entryBytesFor(255), 1u);
    EXPECT_EQ(RecordStore::entryBytesFor(256), 2u);
    EXPECT_EQ(RecordStore::entryBytesFor(65535), 2u);
    EXPECT_EQ(RecordStore::entryBytesFor(65536), 4u);
}

// Records of 200 two-byte entries: 128 fit in a block, so 1000 of them span several.
TEST(RecordStore, RecordsStayPutAcrossBlocksAndCopiesAreDeep) {
    RecordStore store(200, 2);
    std::vector<std::vector<std::uint16_t>> model;
    const std::uint16_t* first = nullptr;
    for (int i = 0; i < 1000; ++i) {
        std::vector<std::uint16_t> record(200);
        for (int j = 0; j < 200; ++j) record[j] = static_cast<std::uint16_t>(i * 7 + j);
        store.reserve(store.size() + 1);
        EXPECT_EQ(store.append(record.data()), static_cast<std::size_t>(i));
        if (i == 0) first = store.record<std::uint16_t>(0);
        model.push_back(record);
    }
    EXPECT_EQ(store.record<std::uint16_t>(0), first) << "growing moved a record";
    EXPECT_GE(store.allocatedBytes(), 1000u * 400u);
    EXPECT_LT(store.allocatedBytes(), 1000u * 400u + RecordStore::kBlockBytes);
    RecordStore copy = store;
    ASSERT_TRUE(copy == store);
    copy.record<std::uint16_t>(999)[199] = 1;
    EXPECT_FALSE(copy == store);
    for (int i = 0; i < 1000; ++i) {
        ASSERT_TRUE(std::equal(model[i].begin(), model[i].end(), store.record<std::uint16_t>(i))) << i;
    }
    RecordStore empty(0, 1);  // records of no entries, as for a matrix without rows
    empty.reserve(3);
    EXPECT_EQ(empty.append(), 0u);
    EXPECT_EQ(empty.append(), 1u);
}

struct TableCase {
    bool fingerprints;
    std::uint64_t hashSpread;  // hashes take this many values: few means many collisions
};

class IdHashTableModel : public ::testing::TestWithParam<TableCase> {};

// Keys are 64-bit numbers held by the test; the table sees only ids, hashes and answers
// to "does id's key equal the one looked for?".
TEST_P(IdHashTableModel, AgreesWithUnorderedMap) {
    const TableCase c = GetParam();
    std::mt19937_64 rng(11);
    std::vector<std::uint64_t> keys;
    std::unordered_map<std::uint64_t, IdHashTable::Id> model;
    IdHashTable table(c.fingerprints);
    auto hashOf = [&](std::uint64_t key) { return (key * 0x2545f4914f6cdd1dull) % c.hashSpread; };
    auto hashOfId = [&](IdHashTable::Id id) { return hashOf(keys[id]); };
    for (int step = 0; step < 20000; ++step) {
        const std::uint64_t key = rng() % 15000;
        auto equals = [&](IdHashTable::Id id) { return keys[id] == key; };
        table.reserve(table.size() + 1, hashOfId);
        const auto found = model.find(key);
        ASSERT_EQ(table.find(hashOf(key), equals), found == model.end() ? IdHashTable::kNotFound : found->second);
        const std::pair<IdHashTable::Id, bool> placed = table.findOrInsert(hashOf(key), equals);
        const IdHashTable::Id id = placed.first;
        const bool inserted = placed.second;
        ASSERT_EQ(inserted, found == model.end());
        if (inserted) {
            ASSERT_EQ(id, keys.size()) << "ids are handed out densely";
            keys.push_back(key);
            model.emplace(key, id);
            bool matched = false;
            table.forEachTagMatch(hashOf(key), [&](IdHashTable::Id match) { matched = matched || match == id; });
            ASSERT_TRUE(matched);
        } else {
            ASSERT_EQ(id, found->second);
        }
        ASSERT_LE(table.size() * 4, table.capacity() * 3);
    }
    EXPECT_EQ(table.size(), model.size());
    IdHashTable copy = table;
    EXPECT_TRUE(copy == table);
    copy.reserve(copy.capacity() * 2, hashOfId);  // a rehash of the copy alone
    for (const auto& entry : model) {
        const std::uint64_t key = entry.first;
        auto equals = [&](IdHashTable::Id other) { return keys[other] == key; };
        ASSERT_EQ(copy.find(hashOf(key), equals), entry.second);
        ASSERT_EQ(table.find(hashOf(key), equals), entry.second);
    }
}

INSTANTIATE_TEST_SUITE_P(Tables, IdHashTableModel,
                         ::testing::Values(TableCase{false, ~std::uint64_t{0}}, TableCase{true, ~std::uint64_t{0}},
                                           TableCase{false, 97}, TableCase{true, 97}),
                         [](const auto& info) {
                             return std::string(info.param.fingerprints ? "fingerprints" : "rehash") +
                                    (info.param.hashSpread == 97 ? "_colliding" : "_spread");
                         });

TEST(IdHashTable, RefusesMoreIdsThanItCanNumber) {
    IdHashTable table;
    EXPECT_THROW(table.reserve(IdHashTable::maxSize() + 1, [](IdHashTable::Id) { return std::uint64_t{0}; }),
                 std::length_error);
    EXPECT_EQ(table.capacity(), 0u);
    EXPECT_EQ(table.find(0, [](IdHashTable::Id) { return true; }), IdHashTable::kNotFound);
}

struct Entry {
    double cost;
    int id;
};
struct EntryLower {
    bool operator()(const Entry& a, const Entry& b) const { return a.cost > b.cost; }
};

// Large enough that pops request slots ahead; the order must not change.
TEST(BinaryHeap, LargeHeapMatchesStdPriorityQueue) {
#if !defined(__GLIBCXX__)
    GTEST_SKIP() << "compares with libstdc++'s own algorithms; this build uses another standard library";
#endif
    std::mt19937 rng(8);
    quorin::BinaryHeap<Entry, EntryLower> ours;
    std::priority_queue<Entry, std::vector<Entry>, EntryLower> reference;
    for (int step = 0; step < 300000; ++step) {
        if (step < 100000 || rng() % 3 != 0) {
            const Entry e{static_cast<double>(rng() % 50), step};
            ours.push(e);
            reference.push(e);
        } else {
            ASSERT_EQ(ours.pop().id, reference.top().id) << "step " << step;
            reference.pop();
        }
    }
    while (!reference.empty()) {
        ASSERT_EQ(ours.pop().id, reference.top().id);
        reference.pop();
    }
}

}  // namespace
