// The AES-128 kernel shared by the kernels on the AES instructions, whatever the width of
// their registers. `Ops` (defined in an anonymous namespace by each kernel's source, so
// that every use of this template stays local to that source) supplies the vector type,
// holding `Ops::keysPerVector` 128-bit lanes, and these operations on it, lane by lane:
//   load(p) / store(p, v): keysPerVector blocks at p, one after another
//   broadcast(p): the block at p in every lane
//   xor_(a, b), aesenc(state, key), aesenclast(state, key)
//   rcon(c): c in the low byte of every 32-bit word
//   rotatedLastWord(v): RotWord of word 3 in all four words of each lane
//   shiftWords(v, n): each lane shifted up by n 32-bit words (n = 1 or 2), zeros coming in
//
// The key schedule runs alongside the rounds: round key r + 1 comes from round key r just
// before it is used, so no schedule is stored. The S-box part of each schedule step is an
// AESENCLAST on the last word RotWord'ed and copied into all four columns: with four equal
// columns ShiftRows changes nothing, so it yields SubWord(RotWord(w)) ^ Rcon in every word.
// (AESKEYGENASSIST would do the same, but it is slow on many CPUs and has no wider form.)
#pragma once

#include <cstddef>
#include <cstdint>

#include "testers/aes128_kernels.h"

namespace quorin {
namespace aes128 {

template <class Ops, int Vectors>
struct SimdKernel {
    using Vector = typename Ops::Vector;
    // Keys in flight at once: enough independent work to cover the latency of the AES units.
    static constexpr int groupSize = Vectors * Ops::keysPerVector;
    static_assert(groupSize <= static_cast<int>(maxGroupSize), "the callers' padded groups hold every group");

    static Vector nextRoundKey(Vector key, Vector rcon) {
        const Vector substituted = Ops::aesenclast(Ops::rotatedLastWord(key), rcon);
        // Word i becomes w0 ^ ... ^ wi.
        key = Ops::xor_(key, Ops::shiftWords(key, 1));
        key = Ops::xor_(key, Ops::shiftWords(key, 2));
        return Ops::xor_(key, substituted);
    }

    static Vector roundConstant(int round) {
        constexpr std::uint8_t constants[10] = {0x01, 0x02, 0x04, 0x08, 0x10, 0x20, 0x40, 0x80, 0x1b, 0x36};
        return Ops::rcon(constants[round]);
    }

    // groupSize keys at `keys`, their ciphertexts to `out`.
    static void encryptGroup(const std::uint8_t* keys, Vector plaintext, std::uint8_t* out) {
        Vector key[Vectors];
        Vector state[Vectors];
        for (int i = 0; i < Vectors; ++i) {
            key[i] = Ops::load(keys + 16 * Ops::keysPerVector * i);
            state[i] = Ops::xor_(plaintext, key[i]);
        }
        for (int round = 0; round < 9; ++round) {
            const Vector rcon = roundConstant(round);
            for (int i = 0; i < Vectors; ++i) {
                key[i] = nextRoundKey(key[i], rcon);
                state[i] = Ops::aesenc(state[i], key[i]);
            }
        }
        const Vector rcon = roundConstant(9);
        for (int i = 0; i < Vectors; ++i) {
            Ops::store(out + 16 * Ops::keysPerVector * i, Ops::aesenclast(state[i], nextRoundKey(key[i], rcon)));
        }
    }

    static void encrypt(const std::uint8_t* keys, std::size_t count, const std::uint8_t* plaintext,
                        std::uint8_t* ciphertexts) {
        const Vector p = Ops::broadcast(plaintext);
        for (std::size_t k = 0; k < count; k += groupSize) encryptGroup(keys + 16 * k, p, ciphertexts + 16 * k);
    }

    static void roundKeys(const std::uint8_t* keys, std::uint8_t* out) {
        Vector key[Vectors];
        for (int i = 0; i < Vectors; ++i) key[i] = Ops::load(keys + 16 * Ops::keysPerVector * i);
        for (int round = 0;; ++round) {
            for (int i = 0; i < Vectors; ++i) Ops::store(out + 16 * (round * groupSize + Ops::keysPerVector * i), key[i]);
            if (round == 10) break;
            const Vector rcon = roundConstant(round);
            for (int i = 0; i < Vectors; ++i) key[i] = nextRoundKey(key[i], rcon);
        }
    }

    static constexpr Kernel kernel() { return {&encrypt, &roundKeys, groupSize}; }
};

}  // namespace aes128
}  // namespace quorin
