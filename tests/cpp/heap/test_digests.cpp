// Long enumerations hand out exactly the recorded sequences (tests/data/digests.txt).
#include <gtest/gtest.h>

#include "digest_cases.h"

namespace {

using quorin_test::DigestCase;

std::vector<DigestCase> recorded() { return quorin_test::digestCases(QUORIN_TEST_DATA_DIR "/digests.txt"); }

class RecordedDigest : public ::testing::TestWithParam<std::tuple<DigestCase, bool>> {};

TEST_P(RecordedDigest, Matches) {
    const DigestCase& c = std::get<0>(GetParam());
    quorin::Quorin q(quorin_test::digestMatrix(c.kind, c.rows, c.minCols, c.maxCols, c.seed), std::get<1>(GetParam()));
    const auto [count, sha256] = quorin_test::digestOf(q, c.limit);
    EXPECT_EQ(count, c.count);
    EXPECT_EQ(sha256, c.sha256);
}

INSTANTIATE_TEST_SUITE_P(Cases, RecordedDigest, ::testing::Combine(::testing::ValuesIn(recorded()), ::testing::Bool()),
                         [](const auto& info) {
                             return std::get<0>(info.param).name + (std::get<1>(info.param) ? "_cache" : "_no_cache");
                         });

TEST(Sha256, KnownValues) {
    quorin_test::Sha256 empty;
    EXPECT_EQ(empty.hex(), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    quorin_test::Sha256 abc;
    abc.update(reinterpret_cast<const unsigned char*>("abc"), 3);
    EXPECT_EQ(abc.hex(), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

}  // namespace
