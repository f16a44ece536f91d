// AES-128 and the AES-128 tester: every implementation against the known answers of
// FIPS-197 and of the AESAVS known-answer tests, the ones on the AES instructions against
// the portable one on random keys, and the tester's hits on batches with planted keys.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include <quorin/aes128.h>

namespace {

using quorin::AesBlock;
using quorin::Aes128Tester;
using Implementation = Aes128Tester::Implementation;

const Implementation allImplementations[] = {Implementation::portable, Implementation::aesni,
                                             Implementation::vaes256, Implementation::vaes512};

AesBlock block(const std::string& hex) {
    if (hex.size() != 32) throw std::invalid_argument("not 32 hex digits: " + hex);
    AesBlock b{};
    for (std::size_t i = 0; i < 16; ++i) b[i] = static_cast<std::uint8_t>(std::stoul(hex.substr(2 * i, 2), nullptr, 16));
    return b;
}

std::string hex(const AesBlock& b) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (std::uint8_t byte : b) {
        out.push_back(digits[byte >> 4]);
        out.push_back(digits[byte & 15]);
    }
    return out;
}

AesBlock randomBlock(std::mt19937_64& random) {
    AesBlock b{};
    for (std::size_t i = 0; i < 16; i += 8) {
        const std::uint64_t bits = random();
        for (std::size_t j = 0; j < 8; ++j) b[i + j] = static_cast<std::uint8_t>(bits >> (8 * j));
    }
    return b;
}

// The implementations on this CPU besides the portable one.
std::vector<Implementation> acceleratedImplementations() {
    std::vector<Implementation> out;
    for (Implementation implementation : allImplementations) {
        if (implementation != Implementation::portable && Aes128Tester::available(implementation)) {
            out.push_back(implementation);
        }
    }
    return out;
}

std::vector<Implementation> availableImplementations() {
    std::vector<Implementation> out{Implementation::portable};
    for (Implementation implementation : acceleratedImplementations()) out.push_back(implementation);
    return out;
}

struct KnownAnswer {
    const char* key;
    const char* plaintext;
    const char* ciphertext;
};

const KnownAnswer knownAnswers[] = {
    // FIPS-197 Appendix C.1 and Appendix B
    {"000102030405060708090a0b0c0d0e0f", "00112233445566778899aabbccddeeff", "69c4e0d86a7b0430d8cdb78070b4c55a"},
    {"2b7e151628aed2a6abf7158809cf4f3c", "3243f6a8885a308d313198a2e0370734", "3925841d02dc09fbdc118597196a0b32"},
    // AESAVS GFSbox: zero key
    {"00000000000000000000000000000000", "f34481ec3cc627bacd5dc3fb08f273e6", "0336763e966d92595a567cc9ce537f5e"},
    {"00000000000000000000000000000000", "9798c4640bad75c7c3227db910174e72", "a9a1631bf4996954ebc093957b234589"},
    {"00000000000000000000000000000000", "96ab5c2ff612d9dfaae8c31f30c42168", "ff4f8391a6a40ca5b25d23bedd44a597"},
    {"00000000000000000000000000000000", "6a118a874519e64e9963798a503f1d35", "dc43be40be0e53712f7e2bf5ca707209"},
    // AESAVS KeySbox: zero plaintext
    {"10a58869d74be5a374cf867cfb473859", "00000000000000000000000000000000", "6d251e6944b051e04eaa6fb4dbf78465"},
    {"caea65cdbb75e9169ecd22ebe6e54675", "00000000000000000000000000000000", "6e29201190152df4ee058139def610bb"},
    // AESAVS VarKey and VarTxt
    {"80000000000000000000000000000000", "00000000000000000000000000000000", "0edd33d3c621e546455bd8ba1418bec8"},
    {"c0000000000000000000000000000000", "00000000000000000000000000000000", "4bc3f883450c113c64ca42e1112a9e87"},
    {"00000000000000000000000000000000", "80000000000000000000000000000000", "3ad78e726c1ec02b7ebfe92b23d9ec34"},
    {"00000000000000000000000000000000", "c0000000000000000000000000000000", "aae5939c8efdf2f04e60b9fe7117b2c2"},
    {"00000000000000000000000000000000", "00000000000000000000000000000000", "66e94bd4ef8a2c3b884cfa59ca342b2e"},
};

TEST(Aes128, KnownAnswersOnEveryImplementation) {
    for (Implementation implementation : availableImplementations()) {
        for (const KnownAnswer& answer : knownAnswers) {
            EXPECT_EQ(hex(quorin::aes128Encrypt(block(answer.key), block(answer.plaintext), implementation)),
                      answer.ciphertext)
                << Aes128Tester::name(implementation) << " key " << answer.key << " plaintext " << answer.plaintext;
        }
    }
}

TEST(Aes128, KeyExpansionOfFips197AppendixA) {
    // Round keys 0 to 10 of the key 2b7e1516 28aed2a6 abf71588 09cf4f3c: w[0] .. w[43].
    const char* expected[11] = {
        "2b7e151628aed2a6abf7158809cf4f3c", "a0fafe1788542cb123a339392a6c7605", "f2c295f27a96b9435935807a7359f67f",
        "3d80477d4716fe3e1e237e446d7a883b", "ef44a541a8525b7fb671253bdb0bad00", "d4d1c6f87c839d87caf2b8bc11f915bc",
        "6d88a37a110b3efddbf98641ca0093fd", "4e54f70e5f5fc9f384a64fb24ea6dc4f", "ead27321b58dbad2312bf5607f8d292f",
        "ac7766f319fadc2128d12941575c006e", "d014f9a8c9ee2589e13f0cc8b6630ca6"};
    for (Implementation implementation : availableImplementations()) {
        const std::array<AesBlock, 11> roundKeys =
            quorin::aes128RoundKeys(block("2b7e151628aed2a6abf7158809cf4f3c"), implementation);
        for (std::size_t r = 0; r < 11; ++r) {
            EXPECT_EQ(hex(roundKeys[r]), expected[r]) << Aes128Tester::name(implementation) << " round " << r;
        }
    }
}

TEST(Aes128, InstructionsAgreeWithPortableOnRandomKeys) {
    const std::vector<Implementation> accelerated = acceleratedImplementations();
    if (accelerated.empty()) GTEST_SKIP() << "this CPU has no AES instructions";
    std::mt19937_64 random(20261209);
    for (int trial = 0; trial < 2000; ++trial) {
        const AesBlock key = randomBlock(random);
        const AesBlock plaintext = randomBlock(random);
        const AesBlock expected = quorin::aes128Encrypt(key, plaintext, Implementation::portable);
        for (Implementation implementation : accelerated) {
            ASSERT_EQ(quorin::aes128Encrypt(key, plaintext, implementation), expected) << Aes128Tester::name(implementation);
            ASSERT_EQ(quorin::aes128RoundKeys(key, implementation), quorin::aes128RoundKeys(key, Implementation::portable));
        }
    }
}

// `count` random keys as configurations of 16 columns.
std::vector<std::int32_t> randomConfigurations(std::size_t count, std::mt19937_64& random) {
    std::vector<std::int32_t> columns(count * 16);
    for (std::int32_t& column : columns) column = static_cast<std::int32_t>(random() & 0xff);
    return columns;
}

void plant(std::vector<std::int32_t>& columns, std::size_t position, const AesBlock& key) {
    for (std::size_t i = 0; i < 16; ++i) columns[position * 16 + i] = key[i];
}

AesBlock keyAt(const std::vector<std::int32_t>& columns, std::size_t position) {
    AesBlock key{};
    for (std::size_t i = 0; i < 16; ++i) key[i] = static_cast<std::uint8_t>(columns[position * 16 + i]);
    return key;
}

// The hits of a batch; where every column is a byte, the same batch handed over as bytes
// must give the same hits.
std::vector<std::size_t> hitsOf(const Aes128Tester& tester, const std::vector<std::int32_t>& columns) {
    const std::vector<double> costs(columns.size() / 16, 1.0);
    std::vector<std::size_t> hits{12345};  // what was there stays
    tester.test(columns.data(), costs.data(), costs.size(), 16, hits);
    EXPECT_EQ(hits.front(), 12345u);
    hits.erase(hits.begin());
    if (std::all_of(columns.begin(), columns.end(), [](std::int32_t c) { return c >= 0 && c < 256; })) {
        const std::vector<std::uint8_t> bytes(columns.begin(), columns.end());
        for (std::size_t count : {costs.size(), costs.size() - costs.size() / 3}) {  // and a shorter batch
            std::vector<std::size_t> byteHits{12345};
            tester.testBytes(bytes.data(), costs.data(), count, 16, byteHits);
            std::vector<std::size_t> expected{12345};
            for (std::size_t h : hits) {
                if (h < count) expected.push_back(h);
            }
            EXPECT_EQ(byteHits, expected) << "bytes, " << count << " keys";
        }
    }
    return hits;
}

TEST(Aes128Tester, FindsPlantedKeysOnEveryImplementation) {
    std::mt19937_64 random(7);
    const AesBlock key = randomBlock(random);
    const AesBlock plaintext = randomBlock(random);
    const AesBlock ciphertext = quorin::aes128Encrypt(key, plaintext);
    std::vector<std::int32_t> columns = randomConfigurations(700, random);  // chunks of 256: 256, 256, 188
    const std::vector<std::size_t> planted = {0, 1, 15, 16, 17, 255, 256, 511, 512, 698, 699};
    for (std::size_t position : planted) plant(columns, position, key);
    for (Implementation implementation : availableImplementations()) {
        const Aes128Tester tester(plaintext, ciphertext, implementation);
        EXPECT_EQ(tester.implementation(), implementation);
        EXPECT_EQ(hitsOf(tester, columns), planted) << Aes128Tester::name(implementation);
        // The first configurations alone, a count that fills no group of keys.
        std::vector<std::size_t> firstHits;
        tester.test(columns.data(), nullptr, 3, 16, firstHits);
        EXPECT_EQ(firstHits, (std::vector<std::size_t>{0, 1})) << Aes128Tester::name(implementation);
        tester.test(nullptr, nullptr, 0, 16, firstHits);
        EXPECT_EQ(firstHits.size(), 2u);
    }
}

TEST(Aes128Tester, EveryPositionOfARandomBatchFoundByEveryImplementation) {
    // Each key of the batch in turn is the one sought, with ciphertexts from the portable
    // code: every lane of every group of keys is checked.
    std::mt19937_64 random(11);
    const std::vector<std::int32_t> columns = randomConfigurations(67, random);
    const AesBlock plaintext = randomBlock(random);
    for (Implementation implementation : availableImplementations()) {
        for (std::size_t position = 0; position < 67; ++position) {
            const AesBlock ciphertext = quorin::aes128Encrypt(keyAt(columns, position), plaintext);
            const Aes128Tester tester(plaintext, ciphertext, implementation);
            ASSERT_EQ(hitsOf(tester, columns), std::vector<std::size_t>{position}) << Aes128Tester::name(implementation);
        }
    }
}

TEST(Aes128Tester, EveryPairMustMatch) {
    std::mt19937_64 random(3);
    const AesBlock key = randomBlock(random);
    const AesBlock p1 = randomBlock(random), p2 = randomBlock(random);
    const Aes128Tester::Pair right1{p1, quorin::aes128Encrypt(key, p1)};
    const Aes128Tester::Pair right2{p2, quorin::aes128Encrypt(key, p2)};
    Aes128Tester::Pair wrong2 = right2;
    wrong2.ciphertext[15] ^= 1;
    std::vector<std::int32_t> columns = randomConfigurations(300, random);
    plant(columns, 5, key);
    plant(columns, 290, key);
    for (Implementation implementation : availableImplementations()) {
        const std::string name = Aes128Tester::name(implementation);
        EXPECT_EQ(hitsOf(Aes128Tester({right1, right2}, implementation), columns), (std::vector<std::size_t>{5, 290}))
            << name;
        EXPECT_EQ(hitsOf(Aes128Tester({right1, wrong2}, implementation), columns), std::vector<std::size_t>{}) << name;
        EXPECT_EQ(hitsOf(Aes128Tester({wrong2, right1}, implementation), columns), std::vector<std::size_t>{}) << name;
        EXPECT_EQ(hitsOf(Aes128Tester({right2, right1, right2}, implementation), columns),
                  (std::vector<std::size_t>{5, 290}))
            << name;
    }
}

TEST(Aes128Tester, ColumnsOutsideTheByteRangeAreNoKey) {
    std::mt19937_64 random(5);
    const AesBlock key = randomBlock(random);
    const AesBlock plaintext = randomBlock(random);
    std::vector<std::int32_t> columns = randomConfigurations(40, random);
    for (std::size_t position : {3, 4, 5, 6, 7}) plant(columns, position, key);
    // The same low byte, out of range: never read as the byte itself.
    columns[4 * 16 + 0] += 256;
    columns[5 * 16 + 15] -= 256;
    columns[6 * 16 + 7] = static_cast<std::int32_t>(0x80000000u | key[7]);
    for (Implementation implementation : availableImplementations()) {
        const Aes128Tester tester(plaintext, quorin::aes128Encrypt(key, plaintext), implementation);
        EXPECT_EQ(hitsOf(tester, columns), (std::vector<std::size_t>{3, 7})) << Aes128Tester::name(implementation);
    }
}

TEST(Aes128Tester, RefusesWhatItCannotTest) {
    const AesBlock zero{};
    const Aes128Tester tester(zero, zero);
    EXPECT_NE(tester.implementation(), Implementation::automatic);
    EXPECT_EQ(tester.implementation(), Aes128Tester::fastest());
    EXPECT_THROW(Aes128Tester(std::vector<Aes128Tester::Pair>{}), std::invalid_argument);

    tester.checkShape(std::vector<std::size_t>(16, 256));
    tester.checkShape(std::vector<std::size_t>(16, 1));
    EXPECT_THROW(tester.checkShape(std::vector<std::size_t>(15, 256)), std::invalid_argument);
    EXPECT_THROW(tester.checkShape(std::vector<std::size_t>(17, 2)), std::invalid_argument);
    std::vector<std::size_t> wide(16, 256);
    wide[9] = 257;
    EXPECT_THROW(tester.checkShape(wide), std::invalid_argument);
    wide[9] = 0;
    EXPECT_THROW(tester.checkShape(wide), std::invalid_argument);

    const std::vector<std::int32_t> columns(15 * 4, 0);
    std::vector<std::size_t> hits;
    EXPECT_THROW(tester.test(columns.data(), nullptr, 4, 15, hits), std::invalid_argument);
    EXPECT_TRUE(hits.empty());

    for (Implementation implementation : allImplementations) {
        EXPECT_EQ(Aes128Tester::fromName(Aes128Tester::name(implementation)), implementation);
        if (!Aes128Tester::available(implementation)) {
            EXPECT_THROW(Aes128Tester(zero, zero, implementation), std::invalid_argument);
            EXPECT_THROW(quorin::aes128Encrypt(zero, zero, implementation), std::invalid_argument);
        }
    }
    EXPECT_EQ(Aes128Tester::fromName("automatic"), Implementation::automatic);
    EXPECT_THROW(Aes128Tester::fromName("aes"), std::invalid_argument);
}

// The interface alone, with a tester of its own.
TEST(Tester, DefaultShapeCheckAcceptsEveryMatrix) {
    struct EvenCosts : quorin::Tester {
        void test(const std::int32_t*, const double* costs, std::size_t count, std::size_t,
                  std::vector<std::size_t>& hits) const override {
            for (std::size_t k = 0; k < count; ++k) {
                if (static_cast<long>(costs[k]) % 2 == 0) hits.push_back(k);
            }
        }
    } even;
    const quorin::Tester& tester = even;
    tester.checkShape({});
    tester.checkShape({1, 1000000});
    const double costs[] = {0, 1, 2, 3, 4};
    std::vector<std::size_t> hits;
    tester.test(nullptr, costs, 5, 0, hits);
    EXPECT_EQ(hits, (std::vector<std::size_t>{0, 2, 4}));
}

}  // namespace
