/* src/simd.h: the x86 vector instruction sets the kernels may use, enabled per function
   (the rest of the build stays portable, and the choice is made at run time). */
#pragma once

#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))
#define QUOR_X86_SIMD 1
#include <immintrin.h>
#define QUOR_TARGET_AVX2 __attribute__((target("avx2,bmi,bmi2,popcnt")))
#define QUOR_TARGET_AVX512 \
    __attribute__((target("avx512f,avx512dq,avx512vl,avx512bw,avx2,bmi,bmi2,popcnt")))

#include <cstdint>

/// The lanes of an eight-lane step at u over n values: all eight, or the n - u left.
inline __mmask8 tail_lanes(uint64_t n, uint64_t u) {
    return n - u >= 8 ? __mmask8(0xFF) : static_cast<__mmask8>((1u << (n - u)) - 1);
}

/// The lanes u, u + 1, u + 2, u + 3 below n, as all-ones lanes.
QUOR_TARGET_AVX2 inline __m256i lanes_below_avx2(uint64_t n, uint64_t u) {
    return _mm256_cmpgt_epi64(_mm256_set1_epi64x(static_cast<int64_t>(n - u)), _mm256_setr_epi64x(0, 1, 2, 3));
}

/// Lane order that packs the lanes set in a 4-bit mask to the front, as pairs of 32-bit
/// indices for a permutation of four 64-bit lanes.
struct Pack4 {
    alignas(32) int32_t idx[16][8];
    constexpr Pack4() : idx{} {
        for (int m = 0; m < 16; ++m) {
            int k = 0;
            for (int lane = 0; lane < 4; ++lane) {
                if (m & (1 << lane)) {
                    idx[m][2 * k] = 2 * lane;
                    idx[m][2 * k + 1] = 2 * lane + 1;
                    ++k;
                }
            }
            for (; k < 4; ++k) idx[m][2 * k] = idx[m][2 * k + 1] = 0;
        }
    }
};
inline constexpr Pack4 PACK4{};

/// The lanes of v set in `keep` (a 4-bit mask), packed to the front of a whole vector
/// stored at `to`, which has room for four values.
QUOR_TARGET_AVX2 inline void store_packed_avx2(double *to, __m256d v, unsigned keep) {
    const __m256i order = _mm256_load_si256(reinterpret_cast<const __m256i *>(PACK4.idx[keep]));
    _mm256_storeu_pd(to, _mm256_castps_pd(_mm256_permutevar8x32_ps(_mm256_castpd_ps(v), order)));
}
QUOR_TARGET_AVX2 inline void store_packed_avx2(uint64_t *to, __m256i v, unsigned keep) {
    const __m256i order = _mm256_load_si256(reinterpret_cast<const __m256i *>(PACK4.idx[keep]));
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(to), _mm256_permutevar8x32_epi32(v, order));
}
#else
#define QUOR_X86_SIMD 0
#endif
