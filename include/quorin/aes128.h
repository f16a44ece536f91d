// AES-128 known-plaintext testing of candidate keys: the tester for a key search over a
// 16 x 256 matrix of key byte probabilities, and plain AES-128 encryption for checks.
//
// Every candidate key is expanded and used to encrypt the known plaintext; the ciphertext
// decides. Several implementations give the same answers: a portable one in plain C++
// (lookup tables) and, on x86-64 CPUs that have them, ones on the AES instructions: AES-NI
// on 128-bit registers and VAES on 256-bit (AVX2) or 512-bit (AVX-512) registers, several
// keys at a time. `automatic` picks the fastest the CPU offers, at run time.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <quorin/tester.h>

namespace quorin {

// 16 bytes: a key, a plaintext or a ciphertext, in the byte order of FIPS-197 (byte 0 first).
using AesBlock = std::array<std::uint8_t, 16>;

// Tests candidate AES-128 keys against known (plaintext, ciphertext) pairs. The matrix has
// 16 rows, one per key byte, in key byte order; column j of row i stands for key byte i
// equal to j (so rows have at most 256 columns). A configuration is a hit when its key
// encrypts every plaintext to its ciphertext. A configuration with a column outside
// [0, 256) stands for no key and is never a hit.
class Aes128Tester : public Tester {
public:
    enum class Implementation {
        automatic,  // the fastest this CPU has, measured once: aesni, vaes256 or vaes512; else portable
        portable,   // plain C++, any CPU
        aesni,      // AES-NI on 128-bit registers
        vaes256,    // VAES on 256-bit registers: two keys per instruction (AVX2)
        vaes512,    // VAES on 512-bit registers: four keys per instruction (AVX-512F)
    };

    struct Pair {
        AesBlock plaintext;
        AesBlock ciphertext;
    };

    // Throws std::invalid_argument when `pairs` is empty or `implementation` is not
    // available on this CPU (see available()).
    explicit Aes128Tester(std::vector<Pair> pairs, Implementation implementation = Implementation::automatic);
    Aes128Tester(const AesBlock& plaintext, const AesBlock& ciphertext,
                 Implementation implementation = Implementation::automatic);

    // Accepts 16 rows of 1 to 256 columns.
    void checkShape(const std::vector<std::size_t>& columnsPerRow) const override;
    // Throws std::invalid_argument when rows is not 16.
    void test(const std::int32_t* columns, const double* costs, std::size_t count, std::size_t rows,
              std::vector<std::size_t>& hits) const override;
    // True: the key bytes are the columns, read as they are.
    bool takesBytes() const override { return true; }
    // As test(), for a batch of bytes.
    void testBytes(const std::uint8_t* columns, const double* costs, std::size_t count, std::size_t rows,
                   std::vector<std::size_t>& hits) const override;
    // True: a key that maps a full plaintext block to its ciphertext is the key, but for a
    // chance of about 2^-128 per key tried.
    bool unique() const override { return true; }

    const std::vector<Pair>& pairs() const noexcept { return pairs_; }
    // The implementation in use: never `automatic`.
    Implementation implementation() const noexcept { return implementation_; }

    // Whether this build and this CPU can run `implementation` (automatic and portable:
    // always).
    static bool available(Implementation implementation) noexcept;
    // What `automatic` stands for on this CPU: of the kernels it has, the one that tested a
    // few thousand keys fastest when first asked (every kernel gives the same results).
    static Implementation fastest() noexcept;
    // "automatic", "portable", "aesni", "vaes256", "vaes512".
    static const char* name(Implementation implementation) noexcept;
    // The implementation of that name; throws std::invalid_argument for any other name.
    static Implementation fromName(const std::string& name);

private:
    // Appends start + k for each of the `count` keys (16 bytes each, `keys` readable up to a
    // whole number of the kernel's groups) that encrypt every pair right and are not
    // outside[k] (null: none is).
    void matchKeys(const std::uint8_t* keys, std::size_t count, const bool* outside, std::size_t start,
                   std::vector<std::size_t>& hits) const;

    std::vector<Pair> pairs_;
    Implementation implementation_;
};

// The ciphertext of `plaintext` under `key`. Throws std::invalid_argument when
// `implementation` is not available.
AesBlock aes128Encrypt(const AesBlock& key, const AesBlock& plaintext,
                       Aes128Tester::Implementation implementation = Aes128Tester::Implementation::portable);

// The 11 round keys of the key schedule (round key 0 is the key itself), as FIPS-197
// lists the words w[4r .. 4r + 3] of round r. Throws std::invalid_argument when
// `implementation` is not available.
std::array<AesBlock, 11> aes128RoundKeys(
    const AesBlock& key, Aes128Tester::Implementation implementation = Aes128Tester::Implementation::portable);

}  // namespace quorin
