// AES-128 on VAES with 256-bit registers (two keys per register), eight keys in flight.
// Built with -maes -mvaes -mavx2 (see CMakeLists.txt); run only on CPUs that have them.
#include "testers/aes128_kernels.h"

#if defined(__VAES__) && defined(__AVX2__)
#include <immintrin.h>

#include "testers/aes128_simd.h"

namespace quorin {
namespace aes128 {
namespace {

struct Ops {
    using Vector = __m256i;
    static constexpr int keysPerVector = 2;

    static Vector load(const std::uint8_t* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }
    static void store(std::uint8_t* p, Vector v) { _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v); }
    static Vector broadcast(const std::uint8_t* p) {
        return _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
    }
    static Vector xor_(Vector a, Vector b) { return _mm256_xor_si256(a, b); }
    static Vector aesenc(Vector state, Vector key) { return _mm256_aesenc_epi128(state, key); }
    static Vector aesenclast(Vector state, Vector key) { return _mm256_aesenclast_epi128(state, key); }
    static Vector rcon(std::uint8_t c) { return _mm256_set1_epi32(c); }
    static Vector rotatedLastWord(Vector v) {
        return _mm256_shuffle_epi8(v, _mm256_setr_epi8(13, 14, 15, 12, 13, 14, 15, 12, 13, 14, 15, 12, 13, 14, 15, 12,
                                                       13, 14, 15, 12, 13, 14, 15, 12, 13, 14, 15, 12, 13, 14, 15, 12));
    }
    static Vector shiftWords(Vector v, int n) { return n == 1 ? _mm256_bslli_epi128(v, 4) : _mm256_bslli_epi128(v, 8); }
};

using Kernel256 = SimdKernel<Ops, 4>;

}  // namespace

Kernel vaes256Kernel() noexcept { return Kernel256::kernel(); }

}  // namespace aes128
}  // namespace quorin

#else

quorin::aes128::Kernel quorin::aes128::vaes256Kernel() noexcept { return {nullptr, nullptr, 1}; }

#endif
