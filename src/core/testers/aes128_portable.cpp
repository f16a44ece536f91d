// AES-128 in plain C++ for any CPU: the state and the round keys as four big-endian 32-bit
// columns, and the rounds as lookups in tables that combine SubBytes and MixColumns (the
// final round, without MixColumns, looks up the S-box alone). The tables are computed at
// compile time from the definitions in FIPS-197.
#include <cstring>

#include "testers/aes128_kernels.h"

namespace quorin {
namespace aes128 {
namespace {

// Multiplication by x in GF(2^8) modulo x^8 + x^4 + x^3 + x + 1.
constexpr std::uint8_t timesX(std::uint8_t a) {
    return static_cast<std::uint8_t>((a << 1) ^ ((a >> 7) * 0x1b));
}

constexpr std::uint8_t multiply(std::uint8_t a, std::uint8_t b) {
    std::uint8_t product = 0;
    for (; b != 0; b = static_cast<std::uint8_t>(b >> 1), a = timesX(a)) {
        if ((b & 1) != 0) product = static_cast<std::uint8_t>(product ^ a);
    }
    return product;
}

// a^254, the multiplicative inverse of a (0 for 0): a^2 * a^4 * ... * a^128.
constexpr std::uint8_t inverse(std::uint8_t a) {
    std::uint8_t result = 1;
    std::uint8_t power = multiply(a, a);
    for (int k = 1; k < 8; ++k, power = multiply(power, power)) result = multiply(result, power);
    return result;
}

constexpr std::uint8_t rotateLeft8(std::uint8_t a, int n) {
    return static_cast<std::uint8_t>((a << n) | (a >> (8 - n)));
}

constexpr std::uint32_t rotateRight32(std::uint32_t a, int n) { return (a >> n) | (a << (32 - n)); }

struct Tables {
    std::uint8_t sbox[256];
    // te[r][x]: the column that S-box output s = sbox[x] in row r of a column contributes
    // after MixColumns, rows from the most significant byte: te[0][x] = (2s, s, s, 3s) and
    // te[r] is te[0] rotated right by 8r bits.
    std::uint32_t te[4][256];
};

constexpr Tables makeTables() {
    Tables t{};
    for (int x = 0; x < 256; ++x) {
        const std::uint8_t b = inverse(static_cast<std::uint8_t>(x));
        const std::uint8_t s = static_cast<std::uint8_t>(b ^ rotateLeft8(b, 1) ^ rotateLeft8(b, 2) ^
                                                         rotateLeft8(b, 3) ^ rotateLeft8(b, 4) ^ 0x63);
        t.sbox[x] = s;
        const std::uint32_t column = (std::uint32_t{timesX(s)} << 24) | (std::uint32_t{s} << 16) |
                                     (std::uint32_t{s} << 8) | std::uint32_t(timesX(s) ^ s);
        for (int r = 0; r < 4; ++r) t.te[r][x] = r == 0 ? column : rotateRight32(column, 8 * r);
    }
    return t;
}

constexpr Tables tables = makeTables();
constexpr std::uint8_t roundConstants[10] = {0x01, 0x02, 0x04, 0x08, 0x10, 0x20, 0x40, 0x80, 0x1b, 0x36};

std::uint32_t loadColumn(const std::uint8_t* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

void storeColumn(std::uint32_t w, std::uint8_t* p) {
    p[0] = static_cast<std::uint8_t>(w >> 24);
    p[1] = static_cast<std::uint8_t>(w >> 16);
    p[2] = static_cast<std::uint8_t>(w >> 8);
    p[3] = static_cast<std::uint8_t>(w);
}

std::uint32_t subWord(std::uint32_t w) {
    return (std::uint32_t{tables.sbox[w >> 24]} << 24) | (std::uint32_t{tables.sbox[(w >> 16) & 0xff]} << 16) |
           (std::uint32_t{tables.sbox[(w >> 8) & 0xff]} << 8) | tables.sbox[w & 0xff];
}

// Round key r + 1 (four columns) from round key r, in place.
void nextRoundKey(std::uint32_t* k, int round) {
    k[0] ^= subWord((k[3] << 8) | (k[3] >> 24)) ^ (std::uint32_t{roundConstants[round]} << 24);
    k[1] ^= k[0];
    k[2] ^= k[1];
    k[3] ^= k[2];
}

// Column c of a middle round: ShiftRows takes row r from column c + r.
std::uint32_t roundColumn(const std::uint32_t* s, int c, std::uint32_t roundKey) {
    return tables.te[0][s[c] >> 24] ^ tables.te[1][(s[(c + 1) & 3] >> 16) & 0xff] ^
           tables.te[2][(s[(c + 2) & 3] >> 8) & 0xff] ^ tables.te[3][s[(c + 3) & 3] & 0xff] ^ roundKey;
}

std::uint32_t lastRoundColumn(const std::uint32_t* s, int c, std::uint32_t roundKey) {
    return ((std::uint32_t{tables.sbox[s[c] >> 24]} << 24) |
            (std::uint32_t{tables.sbox[(s[(c + 1) & 3] >> 16) & 0xff]} << 16) |
            (std::uint32_t{tables.sbox[(s[(c + 2) & 3] >> 8) & 0xff]} << 8) |
            std::uint32_t{tables.sbox[s[(c + 3) & 3] & 0xff]}) ^
           roundKey;
}

// Keys encrypted side by side: independent chains of lookups for the CPU to overlap.
constexpr int lanes = 4;

// `n` (at most `lanes`) keys at `keys`, their ciphertexts to `out`. The key schedule runs
// alongside the rounds.
void encryptGroup(const std::uint8_t* keys, int n, const std::uint32_t* plaintext, std::uint8_t* out) {
    std::uint32_t key[lanes][4] = {};
    std::uint32_t state[lanes][4];
    for (int k = 0; k < lanes; ++k) {
        for (int c = 0; c < 4; ++c) {
            if (k < n) key[k][c] = loadColumn(keys + 16 * k + 4 * c);
            state[k][c] = plaintext[c] ^ key[k][c];
        }
    }
    for (int round = 1; round < 10; ++round) {
        for (int k = 0; k < lanes; ++k) {
            nextRoundKey(key[k], round - 1);
            std::uint32_t t[4];
            for (int c = 0; c < 4; ++c) t[c] = roundColumn(state[k], c, key[k][c]);
            std::memcpy(state[k], t, sizeof t);
        }
    }
    for (int k = 0; k < n; ++k) {
        nextRoundKey(key[k], 9);
        for (int c = 0; c < 4; ++c) storeColumn(lastRoundColumn(state[k], c, key[k][c]), out + 16 * k + 4 * c);
    }
}

void encrypt(const std::uint8_t* keys, std::size_t count, const std::uint8_t* plaintext, std::uint8_t* ciphertexts) {
    std::uint32_t columns[4];
    for (int c = 0; c < 4; ++c) columns[c] = loadColumn(plaintext + 4 * c);
    for (std::size_t k = 0; k < count; k += lanes) {
        const int n = count - k < lanes ? static_cast<int>(count - k) : lanes;
        encryptGroup(keys + 16 * k, n, columns, ciphertexts + 16 * k);
    }
}

void roundKeys(const std::uint8_t* key, std::uint8_t* out) {
    std::uint32_t k[4];
    for (int c = 0; c < 4; ++c) k[c] = loadColumn(key + 4 * c);
    for (int round = 0;; ++round) {
        for (int c = 0; c < 4; ++c) storeColumn(k[c], out + 16 * round + 4 * c);
        if (round == 10) break;
        nextRoundKey(k, round);
    }
}

}  // namespace

Kernel portableKernel() noexcept { return {&encrypt, &roundKeys, 1}; }

}  // namespace aes128
}  // namespace quorin
