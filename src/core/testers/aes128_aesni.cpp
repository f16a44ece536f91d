// AES-128 on AES-NI with 128-bit registers, eight keys in flight. Built with -maes -mssse3
// (see CMakeLists.txt); run only on CPUs that have both.
#include "testers/aes128_kernels.h"

#if defined(__AES__) && defined(__SSSE3__)
#include <immintrin.h>

#include "testers/aes128_simd.h"

namespace quorin {
namespace aes128 {
namespace {

struct Ops {
    using Vector = __m128i;
    static constexpr int keysPerVector = 1;

    static Vector load(const std::uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
    static void store(std::uint8_t* p, Vector v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); }
    static Vector broadcast(const std::uint8_t* p) { return load(p); }
    static Vector xor_(Vector a, Vector b) { return _mm_xor_si128(a, b); }
    static Vector aesenc(Vector state, Vector key) { return _mm_aesenc_si128(state, key); }
    static Vector aesenclast(Vector state, Vector key) { return _mm_aesenclast_si128(state, key); }
    static Vector rcon(std::uint8_t c) { return _mm_set1_epi32(c); }
    static Vector rotatedLastWord(Vector v) {
        return _mm_shuffle_epi8(v, _mm_setr_epi8(13, 14, 15, 12, 13, 14, 15, 12, 13, 14, 15, 12, 13, 14, 15, 12));
    }
    static Vector shiftWords(Vector v, int n) { return n == 1 ? _mm_slli_si128(v, 4) : _mm_slli_si128(v, 8); }
};

using Kernel128 = SimdKernel<Ops, 8>;

}  // namespace

Kernel aesniKernel() noexcept { return Kernel128::kernel(); }

}  // namespace aes128
}  // namespace quorin

#else

quorin::aes128::Kernel quorin::aes128::aesniKernel() noexcept { return {nullptr, nullptr, 1}; }

#endif
