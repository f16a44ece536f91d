// AES-128 on VAES with 512-bit registers (four keys per register), 32 keys in flight.
// Built with -maes -mvaes -mavx512f -mavx512bw (see CMakeLists.txt); run only on CPUs that
// have them.
#include "testers/aes128_kernels.h"

#if defined(__VAES__) && defined(__AVX512F__) && defined(__AVX512BW__)
#include <immintrin.h>

#include "testers/aes128_simd.h"

namespace quorin {
namespace aes128 {
namespace {

struct Ops {
    using Vector = __m512i;
    static constexpr int keysPerVector = 4;
    // The masked forms with every word selected: the unmasked ones of some compilers' headers
    // start from an undefined register and draw -Wuninitialized.
    static constexpr __mmask16 allWords = 0xffff;

    static Vector load(const std::uint8_t* p) { return _mm512_loadu_si512(p); }
    static void store(std::uint8_t* p, Vector v) { _mm512_storeu_si512(p, v); }
    static Vector broadcast(const std::uint8_t* p) {
        return _mm512_maskz_broadcast_i32x4(allWords, _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
    }
    static Vector xor_(Vector a, Vector b) { return _mm512_xor_si512(a, b); }
    static Vector aesenc(Vector state, Vector key) { return _mm512_aesenc_epi128(state, key); }
    static Vector aesenclast(Vector state, Vector key) { return _mm512_aesenclast_epi128(state, key); }
    static Vector rcon(std::uint8_t c) { return _mm512_set1_epi32(c); }
    static Vector rotatedLastWord(Vector v) {
        // RotWord(a0 a1 a2 a3) = a1 a2 a3 a0: word 3 in every word, rotated right by a byte.
        const Vector lastWord = _mm512_maskz_shuffle_epi32(allWords, v, _MM_PERM_DDDD);
        return _mm512_maskz_ror_epi32(allWords, lastWord, 8);
    }
    static Vector shiftWords(Vector v, int n) { return n == 1 ? _mm512_bslli_epi128(v, 4) : _mm512_bslli_epi128(v, 8); }
};

using Kernel512 = SimdKernel<Ops, 8>;

}  // namespace

Kernel vaes512Kernel() noexcept { return Kernel512::kernel(); }

}  // namespace aes128
}  // namespace quorin

#else

quorin::aes128::Kernel quorin::aes128::vaes512Kernel() noexcept { return {nullptr, nullptr, 1}; }

#endif
