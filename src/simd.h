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
#else
#define QUOR_X86_SIMD 0
#endif
