// Keys per second, on one core, of the AES-128 tester: Aes128Tester::test on batches of
// random candidate keys (none of them a hit, as nearly all are in a search), once per
// implementation this CPU has.
//
//     quorin_bench_aes128 [LOG2_BATCH [REPEAT]]
//
// LOG2_BATCH: keys per batch as a power of two (default 20); REPEAT: timed batches per
// implementation (default 5). Prints one JSON line per implementation with the best and
// the median rate over the timed batches, after one untimed batch.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include <quorin/aes128.h>

namespace {

using quorin::Aes128Tester;
using Implementation = Aes128Tester::Implementation;

// Seconds for one call of the tester on the batch; `hits` counts what it found.
double timeBatch(const Aes128Tester& tester, const std::vector<std::int32_t>& columns, const std::vector<double>& costs,
                 std::size_t& hits) {
    std::vector<std::size_t> found;
    const auto start = std::chrono::steady_clock::now();
    tester.test(columns.data(), costs.data(), costs.size(), 16, found);
    const auto stop = std::chrono::steady_clock::now();
    hits += found.size();
    return std::chrono::duration<double>(stop - start).count();
}

}  // namespace

int main(int argc, char** argv) {
    const int log2Batch = argc > 1 ? std::atoi(argv[1]) : 20;
    const int repeat = argc > 2 ? std::atoi(argv[2]) : 5;
    if (log2Batch < 0 || log2Batch > 28 || repeat < 1) {
        std::fprintf(stderr, "usage: quorin_bench_aes128 [LOG2_BATCH (0..28) [REPEAT (>= 1)]]\n");
        return 2;
    }
    const std::size_t count = std::size_t{1} << log2Batch;
    std::mt19937_64 random(1);
    std::vector<std::int32_t> columns(count * 16);
    for (std::int32_t& column : columns) column = static_cast<std::int32_t>(random() & 0xff);
    const std::vector<double> costs(count, 0.0);
    quorin::AesBlock key{}, plaintext{};
    for (std::size_t i = 0; i < 16; ++i) {
        key[i] = static_cast<std::uint8_t>(random());
        plaintext[i] = static_cast<std::uint8_t>(random());
    }
    const quorin::AesBlock ciphertext = quorin::aes128Encrypt(key, plaintext);

    for (Implementation implementation :
         {Implementation::portable, Implementation::aesni, Implementation::vaes256, Implementation::vaes512}) {
        if (!Aes128Tester::available(implementation)) {
            std::printf("{\"implementation\": \"%s\", \"available\": false}\n", Aes128Tester::name(implementation));
            continue;
        }
        const Aes128Tester tester(plaintext, ciphertext, implementation);
        std::size_t hits = 0;
        timeBatch(tester, columns, costs, hits);
        std::vector<double> rates;
        for (int r = 0; r < repeat; ++r) rates.push_back(static_cast<double>(count) / timeBatch(tester, columns, costs, hits));
        std::sort(rates.begin(), rates.end());
        std::printf("{\"implementation\": \"%s\", \"automatic\": %s, \"batch\": %zu, \"keys_per_second\": %.4g, "
                    "\"median_keys_per_second\": %.4g, \"hits\": %zu}\n",
                    Aes128Tester::name(implementation), implementation == Aes128Tester::fastest() ? "true" : "false",
                    count, rates.back(), rates[rates.size() / 2], hits);
    }
    return 0;
}
