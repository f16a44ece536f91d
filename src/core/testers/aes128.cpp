// quorin::Aes128Tester: candidate keys packed from a batch's columns, encrypted by the
// kernel of the chosen implementation, compared with the known ciphertexts.
#include <quorin/aes128.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <string>
#include <utility>

#include "testers/aes128_kernels.h"

#if (defined(__GNUC__) || defined(__clang__)) && defined(__x86_64__)
#define QUORIN_AES_CPUID 1
#include <cpuid.h>
#endif

namespace quorin {

namespace {

using Implementation = Aes128Tester::Implementation;

constexpr std::size_t keyBytes = 16;
// Keys packed and encrypted at a time: their buffers stay in the L1 cache.
constexpr std::size_t chunkKeys = 256;
static_assert(chunkKeys % aes128::maxGroupSize == 0, "a chunk is made of whole groups of every kernel");

// What the CPU and the operating system offer, from CPUID and XGETBV (compilers' own
// feature tests do not all know VAES).
struct CpuFeatures {
    bool aes = false, ssse3 = false, avx = false, avx2 = false, vaes = false, avx512f = false, avx512bw = false;
};

CpuFeatures detectedFeatures() noexcept {
    CpuFeatures f;
#ifdef QUORIN_AES_CPUID
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (__get_cpuid(0, &eax, &ebx, &ecx, &edx) == 0) return f;
    const unsigned maxLeaf = eax;
    __get_cpuid(1, &eax, &ebx, &ecx, &edx);
    f.aes = (ecx >> 25) & 1;
    f.ssse3 = (ecx >> 9) & 1;
    const bool osSavesRegisters = (ecx >> 27) & 1;  // OSXSAVE: XGETBV says which registers
    const bool avxInstructions = (ecx >> 28) & 1;
    if (!osSavesRegisters) return f;
    unsigned xcr0 = 0, xcr0High = 0;
    __asm__("xgetbv" : "=a"(xcr0), "=d"(xcr0High) : "c"(0));
    const bool ymmSaved = (xcr0 & 0x6) == 0x6;           // SSE and AVX state
    f.avx = ymmSaved && avxInstructions;
    if (maxLeaf < 7) return f;
    const bool zmmSaved = ymmSaved && (xcr0 & 0xe0) == 0xe0;  // opmask and the upper ZMM state
    __cpuid_count(7, 0, eax, ebx, ecx, edx);
    f.avx2 = ymmSaved && ((ebx >> 5) & 1);
    f.vaes = ymmSaved && ((ecx >> 9) & 1);
    f.avx512f = zmmSaved && ((ebx >> 16) & 1);
    f.avx512bw = zmmSaved && ((ebx >> 30) & 1);
#endif
    return f;
}

bool cpuHas(Implementation implementation) noexcept {
    static const CpuFeatures f = detectedFeatures();
    switch (implementation) {
        case Implementation::aesni:  // built with the AVX encoding: no penalty next to the wide kernels
            return f.aes && f.ssse3 && f.avx;
        case Implementation::vaes256:
            return f.aes && f.vaes && f.avx2;
        case Implementation::vaes512:
            return f.aes && f.vaes && f.avx512f && f.avx512bw;
        case Implementation::automatic:
        case Implementation::portable:
            return true;
    }
    return false;
}

// The kernel of an implementation (not automatic) that this build has: its functions are
// null otherwise.
aes128::Kernel kernelOf(Implementation implementation) noexcept {
    switch (implementation) {
        case Implementation::aesni:
            return aes128::aesniKernel();
        case Implementation::vaes256:
            return aes128::vaes256Kernel();
        case Implementation::vaes512:
            return aes128::vaes512Kernel();
        case Implementation::automatic:
        case Implementation::portable:
            break;
    }
    return aes128::portableKernel();
}

// `implementation` with automatic resolved; std::invalid_argument when it cannot run here.
Implementation resolved(Implementation implementation) {
    if (implementation == Implementation::automatic) return Aes128Tester::fastest();
    if (!Aes128Tester::available(implementation)) {
        throw std::invalid_argument(std::string("the AES-128 implementation '") + Aes128Tester::name(implementation) +
                                    "' is not available on this CPU or in this build");
    }
    return implementation;
}

// The keys of `count` configurations of 16 columns, 16 bytes each, to `keys`; outside[k]
// says whether configuration k has a column outside [0, 256) (its key bytes are then
// meaningless).
void packKeys(const std::int32_t* columns, std::size_t count, std::uint8_t* keys, bool* outside) {
    for (std::size_t k = 0; k < count; ++k) {
        std::uint32_t any = 0;
        for (std::size_t i = 0; i < keyBytes; ++i) {
            const auto column = static_cast<std::uint32_t>(columns[k * keyBytes + i]);
            keys[k * keyBytes + i] = static_cast<std::uint8_t>(column);
            any |= column;
        }
        outside[k] = any > 0xff;
    }
}

bool sameBlock(const std::uint8_t* a, const std::uint8_t* b) { return std::memcmp(a, b, keyBytes) == 0; }

// The ciphertext of `plaintext` under the one key at `key`, in a group padded with zero keys.
void encryptOne(const aes128::Kernel& kernel, const std::uint8_t* key, const std::uint8_t* plaintext,
                std::uint8_t* ciphertext) {
    std::uint8_t keys[aes128::maxGroupSize * keyBytes] = {};
    std::uint8_t ciphertexts[aes128::maxGroupSize * keyBytes];
    std::memcpy(keys, key, keyBytes);
    kernel.encrypt(keys, kernel.groupSize, plaintext, ciphertexts);
    std::memcpy(ciphertext, ciphertexts, keyBytes);
}

}  // namespace

Aes128Tester::Aes128Tester(std::vector<Pair> pairs, Implementation implementation)
    : pairs_(std::move(pairs)), implementation_(resolved(implementation)) {
    if (pairs_.empty()) throw std::invalid_argument("an AES-128 tester needs at least one (plaintext, ciphertext) pair");
}

Aes128Tester::Aes128Tester(const AesBlock& plaintext, const AesBlock& ciphertext, Implementation implementation)
    : Aes128Tester(std::vector<Pair>{Pair{plaintext, ciphertext}}, implementation) {}

void Aes128Tester::checkShape(const std::vector<std::size_t>& columnsPerRow) const {
    if (columnsPerRow.size() != keyBytes) {
        throw std::invalid_argument("AES-128 keys need a matrix of 16 rows, one per key byte, not " +
                                    std::to_string(columnsPerRow.size()));
    }
    for (std::size_t i = 0; i < columnsPerRow.size(); ++i) {
        if (columnsPerRow[i] == 0 || columnsPerRow[i] > 256) {
            throw std::invalid_argument("AES-128 keys need rows of 1 to 256 columns, one per byte value, but row " +
                                        std::to_string(i) + " has " + std::to_string(columnsPerRow[i]));
        }
    }
}

void Aes128Tester::matchKeys(const std::uint8_t* keys, std::size_t count, const bool* outside, std::size_t start,
                             std::vector<std::size_t>& hits) const {
    const aes128::Kernel kernel = kernelOf(implementation_);
    const std::uint8_t* const plaintext = pairs_[0].plaintext.data();
    const std::uint8_t* const ciphertext = pairs_[0].ciphertext.data();
    std::uint8_t ciphertexts[chunkKeys * keyBytes];
    const std::size_t padded = (count + kernel.groupSize - 1) / kernel.groupSize * kernel.groupSize;
    kernel.encrypt(keys, padded, plaintext, ciphertexts);
    for (std::size_t k = 0; k < count; ++k) {
        if (!sameBlock(ciphertexts + k * keyBytes, ciphertext) || (outside != nullptr && outside[k])) continue;
        // The rare key that matches the first pair: the others decide.
        bool all = true;
        for (std::size_t p = 1; p < pairs_.size() && all; ++p) {
            std::uint8_t other[keyBytes];
            encryptOne(kernel, keys + k * keyBytes, pairs_[p].plaintext.data(), other);
            all = sameBlock(other, pairs_[p].ciphertext.data());
        }
        if (all) hits.push_back(start + k);
    }
}

void Aes128Tester::test(const std::int32_t* columns, const double* /*costs*/, std::size_t count, std::size_t rows,
                        std::vector<std::size_t>& hits) const {
    if (rows != keyBytes) {
        throw std::invalid_argument("AES-128 keys need configurations of 16 columns, not " + std::to_string(rows));
    }
    std::uint8_t keys[chunkKeys * keyBytes];
    bool outside[chunkKeys];
    for (std::size_t start = 0; start < count; start += chunkKeys) {
        const std::size_t n = std::min(chunkKeys, count - start);
        packKeys(columns + start * keyBytes, n, keys, outside);
        // The last group padded with zero keys, whose ciphertexts nobody reads.
        std::memset(keys + n * keyBytes, 0, sizeof keys - n * keyBytes);
        matchKeys(keys, n, outside, start, hits);
    }
}

void Aes128Tester::testBytes(const std::uint8_t* columns, const double* /*costs*/, std::size_t count,
                             std::size_t rows, std::vector<std::size_t>& hits) const {
    if (rows != keyBytes) {
        throw std::invalid_argument("AES-128 keys need configurations of 16 columns, not " + std::to_string(rows));
    }
    // Whole groups straight from the batch; the rest copied beside zero keys.
    const std::size_t group = kernelOf(implementation_).groupSize;
    const std::size_t whole = count / group * group;
    for (std::size_t start = 0; start < whole; start += chunkKeys) {
        matchKeys(columns + start * keyBytes, std::min(chunkKeys, whole - start), nullptr, start, hits);
    }
    if (whole < count) {
        std::uint8_t keys[aes128::maxGroupSize * keyBytes] = {};
        std::memcpy(keys, columns + whole * keyBytes, (count - whole) * keyBytes);
        matchKeys(keys, count - whole, nullptr, whole, hits);
    }
}

bool Aes128Tester::available(Implementation implementation) noexcept {
    if (implementation == Implementation::automatic || implementation == Implementation::portable) return true;
    return kernelOf(implementation).encrypt != nullptr && cpuHas(implementation);
}

namespace {

// Keys per second of a kernel on a fixed batch, best of a few runs.
double rateOf(Aes128Tester::Implementation implementation) {
    constexpr std::size_t kKeys = 4096;
    std::vector<std::int32_t> columns(kKeys * 16);
    for (std::size_t k = 0; k < columns.size(); ++k) columns[k] = static_cast<std::int32_t>((k * 2654435761u) >> 24);
    const Aes128Tester tester(AesBlock{}, AesBlock{}, implementation);
    std::vector<std::size_t> hits;
    double best = 0.0;
    for (int run = 0; run < 3; ++run) {
        const auto start = std::chrono::steady_clock::now();
        tester.test(columns.data(), nullptr, kKeys, 16, hits);
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (seconds > 0) best = std::max(best, static_cast<double>(kKeys) / seconds);
    }
    return best;
}

}  // namespace

Aes128Tester::Implementation Aes128Tester::fastest() noexcept {
    // Which of the kernels the CPU has runs fastest depends on the processor (some run the
    // wide AES instructions at half rate): measured once, on a few thousand keys. Every
    // kernel gives the same results, so the choice changes only the speed.
    static const Implementation chosen = [] {
        Implementation best = Implementation::portable;
        double bestRate = 0.0;
        for (Implementation candidate : {Implementation::aesni, Implementation::vaes256, Implementation::vaes512}) {
            if (!available(candidate)) continue;
            try {
                const double rate = rateOf(candidate);
                if (rate > bestRate * 1.05) {  // a wider kernel must win clearly
                    best = candidate;
                    bestRate = rate;
                }
            } catch (...) {
            }
        }
        return best;
    }();
    return chosen;
}

const char* Aes128Tester::name(Implementation implementation) noexcept {
    switch (implementation) {
        case Implementation::automatic:
            return "automatic";
        case Implementation::portable:
            return "portable";
        case Implementation::aesni:
            return "aesni";
        case Implementation::vaes256:
            return "vaes256";
        case Implementation::vaes512:
            return "vaes512";
    }
    return "unknown";
}

Aes128Tester::Implementation Aes128Tester::fromName(const std::string& name) {
    for (Implementation candidate : {Implementation::automatic, Implementation::portable, Implementation::aesni,
                                     Implementation::vaes256, Implementation::vaes512}) {
        if (name == Aes128Tester::name(candidate)) return candidate;
    }
    throw std::invalid_argument("unknown AES-128 implementation '" + name +
                                "': use automatic, portable, aesni, vaes256 or vaes512");
}

AesBlock aes128Encrypt(const AesBlock& key, const AesBlock& plaintext, Aes128Tester::Implementation implementation) {
    AesBlock ciphertext{};
    encryptOne(kernelOf(resolved(implementation)), key.data(), plaintext.data(), ciphertext.data());
    return ciphertext;
}

std::array<AesBlock, 11> aes128RoundKeys(const AesBlock& key, Aes128Tester::Implementation implementation) {
    const aes128::Kernel kernel = kernelOf(resolved(implementation));
    std::uint8_t keys[aes128::maxGroupSize * keyBytes] = {};
    std::uint8_t bytes[11 * aes128::maxGroupSize * keyBytes];
    std::memcpy(keys, key.data(), keyBytes);
    kernel.roundKeys(keys, bytes);
    std::array<AesBlock, 11> roundKeys{};
    for (std::size_t r = 0; r < roundKeys.size(); ++r) {
        std::memcpy(roundKeys[r].data(), bytes + r * kernel.groupSize * keyBytes, keyBytes);
    }
    return roundKeys;
}

}  // namespace quorin
