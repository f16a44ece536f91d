// The batch call: the recorded sequences in batches of every size mixed with single steps,
// costs bit for bit against an independent sum, putting configurations back, and saving
// and loading a state that has some put back.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include <quorin/quorin.h>
#include <quorin/saved_state.h>
#include "digest_cases.h"
#include "support.h"

namespace {

using quorin::ProbabilityMatrix;
using quorin::Quorin;
using quorin_test::Configuration;
using Bytes = std::vector<unsigned char>;
namespace saved = quorin::saved_state;

bool sameBits(double a, double b) { return std::memcmp(&a, &b, sizeof(double)) == 0; }

class BatchDigest : public ::testing::TestWithParam<std::tuple<quorin_test::DigestCase, bool>> {};

// Batches of 0, 1, 3, 1000 and 4096 and single steps in turn hand out exactly the recorded
// sequence, each batch as long as asked until the end, then nothing.
TEST_P(BatchDigest, HandsOutTheRecordedSequenceWithItsCosts) {
    const quorin_test::DigestCase& c = std::get<0>(GetParam());
    const ProbabilityMatrix probs = quorin_test::digestMatrix(c.kind, c.rows, c.minCols, c.maxCols, c.seed);
    Quorin q(probs, std::get<1>(GetParam()));
    const std::size_t rows = q.rows();
    const std::size_t sizes[] = {0, 1, 3, 1000, 4096};
    std::vector<int> columns(4096 * rows + 1, -7);
    std::vector<double> costs(4097, -7.0);
    quorin_test::Sha256 sha;
    auto hash = [&](const int* configuration) {
        for (std::size_t i = 0; i < rows; ++i) {
            const auto value = static_cast<std::uint32_t>(configuration[i]);
            const unsigned char bytes[4] = {static_cast<unsigned char>(value), static_cast<unsigned char>(value >> 8),
                                            static_cast<unsigned char>(value >> 16),
                                            static_cast<unsigned char>(value >> 24)};
            sha.update(bytes, 4);
        }
    };
    std::size_t count = 0, call = 0;
    bool ended = false;
    while (count < c.limit && !ended) {
        const std::size_t asked = std::min(sizes[call++ % 5], c.limit - count);
        std::fill(columns.begin(), columns.begin() + asked * rows + 1, -7);
        std::fill(costs.begin(), costs.begin() + asked + 1, -7.0);
        const std::size_t got = q.next(asked, columns.data(), costs.data());
        ASSERT_LE(got, asked);
        ended = got < asked;
        for (std::size_t j = 0; j < got; ++j) {
            const int* configuration = columns.data() + j * rows;
            double cost = 0.0;  // summed in row order, as quorin_test::cost sums it
            for (std::size_t i = 0; i < rows; ++i) cost += -std::log(probs[i][configuration[i]]);
            ASSERT_TRUE(sameBits(costs[j], cost)) << "configuration " << count + j;
            hash(configuration);
        }
        ASSERT_EQ(columns[got * rows], -7) << "wrote past the configurations it returned";
        ASSERT_EQ(costs[got], -7.0);
        count += got;
        Configuration single;
        if (!ended && count < c.limit && q.next(single)) {
            hash(single.data());
            ++count;
        }
    }
    EXPECT_EQ(count, c.count);
    EXPECT_EQ(sha.hex(), c.sha256);
    if (count < c.limit) {
        EXPECT_TRUE(q.exhausted);
        EXPECT_EQ(q.next(5, columns.data(), nullptr), 0u);
    }
}

// The batch call's code is the same with the cache on or off: the cases take turns.
std::vector<std::tuple<quorin_test::DigestCase, bool>> batchCases() {
    std::vector<std::tuple<quorin_test::DigestCase, bool>> cases;
    for (const quorin_test::DigestCase& c : quorin_test::digestCases(QUORIN_TEST_DATA_DIR "/digests.txt")) {
        cases.emplace_back(c, cases.size() % 2 == 0);
    }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Cases, BatchDigest, ::testing::ValuesIn(batchCases()),
                         [](const auto& info) {
                             return std::get<0>(info.param).name + (std::get<1>(info.param) ? "_cache" : "_no_cache");
                         });

// Ties, zeros and rows that run out, 3456 configurations.
const ProbabilityMatrix kProbs = quorin_test::digestMatrix("zeros", 7, 1, 5, 12);

std::vector<Configuration> takeBatch(Quorin& q, std::size_t count) {
    std::vector<int> columns(count * q.rows());
    const std::size_t got = q.next(count, columns.data(), nullptr);
    std::vector<Configuration> out;
    for (std::size_t j = 0; j < got; ++j) {
        out.emplace_back(columns.begin() + j * q.rows(), columns.begin() + (j + 1) * q.rows());
    }
    return out;
}

std::vector<Configuration> slice(const std::vector<Configuration>& all, std::size_t from, std::size_t to) {
    return {all.begin() + from, all.begin() + to};
}

TEST(PutBack, HandsTheLastConfigurationsOutAgainInOrderThenGoesOn) {
    for (bool cache : {true, false}) {
        SCOPED_TRACE(cache ? "cache" : "no cache");
        const std::vector<Configuration> all = quorin_test::enumerate(kProbs, cache);
        const std::size_t n = all.size();
        Quorin q(kProbs, cache);
        quorin_test::drain(q, 10);
        EXPECT_EQ(takeBatch(q, 40), slice(all, 10, 50));
        q.putBack(25);
        EXPECT_EQ(q.handedOut(), 25);
        Configuration columns(kProbs.size());
        q.currentColumns(columns.data());
        EXPECT_EQ(columns, all[25]);
        EXPECT_EQ(quorin_test::drain(q, 5), slice(all, 25, 30)) << "single steps replay too";
        EXPECT_EQ(takeBatch(q, 100), slice(all, 30, 130)) << "a batch replays, then searches on";
        q.putBack(0);
        const Quorin before = q;
        EXPECT_THROW(q.putBack(131), std::invalid_argument);
        EXPECT_TRUE(q.state == before.state);
        q.putBack(130);
        EXPECT_EQ(takeBatch(q, n), all) << "everything put back, then the rest";
        EXPECT_TRUE(q.exhausted);
        q.putBack(3);
        EXPECT_FALSE(q.exhausted);
        EXPECT_EQ(takeBatch(q, 10), slice(all, n - 3, n)) << "after the end";
        EXPECT_TRUE(q.exhausted);
        EXPECT_FALSE(q.next(columns));
    }
}

std::uint32_t versionOf(const Bytes& bytes) {
    std::uint32_t version = 0;
    for (int i = 3; i >= 0; --i) version = version << 8 | bytes[saved::kVersionOffset + i];
    return version;
}

// The put-back count follows the emitted count.
std::size_t replayCountOffset(const ProbabilityMatrix& probs) {
    std::size_t entries = 0;
    for (const auto& row : probs) entries += row.size();
    return saved::kHeaderBytes + 8 + 8 * probs.size() + 12 * entries + 8;
}

TEST(PutBack, SavedStateKeepsThemAndContinuesTheSame) {
    for (bool cache : {true, false}) {
        const std::vector<Configuration> all = quorin_test::enumerate(kProbs, cache);
        const std::size_t n = all.size();
        for (const std::size_t taken : {std::size_t{60}, n, n + 1}) {
            SCOPED_TRACE(std::string(cache ? "cache" : "no cache") + ", taken " + std::to_string(taken));
            Quorin q(kProbs, cache);
            takeBatch(q, taken);
            q.putBack(20);
            const Bytes bytes = q.save();
            EXPECT_EQ(versionOf(bytes), 2u);
            Quorin loaded = Quorin::load(bytes.data(), bytes.size());
            EXPECT_TRUE(loaded.state == q.state);
            EXPECT_EQ(loaded.exhausted, q.exhausted);
            EXPECT_EQ(loaded.save(), bytes);
            const std::size_t from = std::min(taken, n) - 20;
            EXPECT_EQ(takeBatch(loaded, 30), slice(all, from, std::min(from + 30, n)));
            // Once they are handed out again, nothing needs version 2.
            takeBatch(q, 20);
            EXPECT_EQ(versionOf(q.save()), 1u);
        }
    }
}

TEST(PutBack, BadCountsInASavedStateAreRefused) {
    Quorin q(kProbs);
    takeBatch(q, 50);
    q.putBack(1);
    const Bytes good = q.save();
    const std::size_t at = replayCountOffset(kProbs);
    ASSERT_EQ(good[at], 1);
    auto refusal = [&](std::uint64_t replay, bool exhaustedFlag) -> std::string {
        Bytes bytes = good;
        for (std::size_t i = 0; i < 8; ++i) bytes[at + i] = static_cast<unsigned char>(replay >> (8 * i));
        if (exhaustedFlag) bytes[saved::kFlagsOffset] |= saved::kFlagExhausted;
        saved::reseal(bytes);
        try {
            Quorin::load(bytes.data(), bytes.size());
        } catch (const std::invalid_argument& error) {
            return error.what();
        }
        return "accepted";
    };
    EXPECT_NE(refusal(0, false).find("version 2 with no configuration put back"), std::string::npos);
    EXPECT_NE(refusal(51, false).find("51 configurations put back, of 50 handed out"), std::string::npos);
    EXPECT_NE(refusal(~0ull, false).find("configurations put back, of 50"), std::string::npos);
    EXPECT_EQ(refusal(50, false), "accepted") << "all of them put back";
    EXPECT_NE(refusal(1, true).find("exhausted, yet 1 configurations are put back"), std::string::npos);
}

}  // namespace
