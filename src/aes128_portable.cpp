// AES-128 in plain C++ for any CPU: the state and the round keys as four big-endian 32-bit
// columns, and the rounds as lookups in tables that combine SubBytes and MixColumns (the
// final round, without MixColumns, looks up the S-box alone). The tables are computed at
// compile time from the definitions in FIPS-197.
#include <cstring>

#include "aes128_kernels.h"

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

// The 44 words w[0 .. 43] of the key schedule.
void expandKey(const std::uint8_t* key, std::uint32_t* w) {
    for (int i = 0; i < 4; ++i) w[i] = loadColumn(key + 4 * i);
    for (int i = 4; i < 44; ++i) {
        std::uint32_t temp = w[i - 1];
        if (i % 4 == 0) {
            temp = subWord((temp << 8) | (temp >> 24)) ^ (std::uint32_t{roundConstants[i / 4 - 1]} << 24);
        }
        w[i] = w[i - 4] ^ temp;
    }
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

void encryptOne(const std::uint8_t* key, const std::uint32_t* plaintext, std::uint8_t* ciphertext) {
    std::uint32_t w[44];
    expandKey(key, w);
    std::uint32_t s[4];
    for (int c = 0; c < 4; ++c) s[c] = plaintext[c] ^ w[c];
    for (int round = 1; round < 10; ++round) {
        std::uint32_t t[4];
        for (int c = 0; c < 4; ++c) t[c] = roundColumn(s, c, w[4 * round + c]);
        std::memcpy(s, t, sizeof s);
    }
    for (int c = 0; c < 4; ++c) storeColumn(lastRoundColumn(s, c, w[40 + c]), ciphertext + 4 * c);
}

void encrypt(const std::uint8_t* keys, std::size_t count, const std::uint8_t* plaintext, std::uint8_t* ciphertexts) {
    std::uint32_t columns[4];
    for (int c = 0; c < 4; ++c) columns[c] = loadColumn(plaintext + 4 * c);
    for (std::size_t k = 0; k < count; ++k) encryptOne(keys + 16 * k, columns, ciphertexts + 16 * k);
}

void roundKeys(const std::uint8_t* key, std::uint8_t* out) {
    std::uint32_t w[44];
    expandKey(key, w);
    for (int i = 0; i < 44; ++i) storeColumn(w[i], out + 4 * i);
}

}  // namespace

Kernel portableKernel() noexcept { return {&encrypt, &roundKeys}; }

}  // namespace aes128
}  // namespace quorin
