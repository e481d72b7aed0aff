/* src/pair_terms.h: the separation terms of a pair count, r and ln r per pair, in plain
   IEEE operations: the same bits in every kernel variant, lane by lane, and on every
   machine (no library logarithm, whose last bit may differ between builds). */
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>

#include "src/kernel_select.h"
#include "src/simd.h"

namespace quor {

/* ln x for x >= 0, within about an ulp, without branches (so that a loop over it
   vectorises) and with only +, -, *, / and bit operations, each rounded as IEEE says:
   x = m 2^e with m in [sqrt(1/2), sqrt(2)), f = m - 1 (exact), s = f / (2 + f), and
   ln(1 + f) = 2 atanh(s) = f - (f^2/2 - s (f^2/2 + R)), R = sum over k >= 1 of
   2 z^k / (2k + 1) with z = s^2 <= 0.0295. R is taken as z P(z), P of degree 6
   interpolating that series at the Chebyshev nodes of [0, 0.0295] (computed to 60
   digits, then rounded): its error is below 5e-18 of the result, a twentieth of an ulp.
   e ln 2 comes in two parts, the first exact for every e. ln 0 = -inf,
   ln inf = inf, NaN stays NaN; a negative x (never a separation) gives NaN. Over
   thousands of separations from 1e-300 to 1e300 and next to 1 it agrees with the C
   library's logarithm to the last bit. */
inline double log_exact(double x) {
    constexpr double LN2_HI = 0x1.62e42fee00000p-1;  // ln 2 cut to 32 bits
    constexpr double LN2_LO = 0x1.a39ef35793c76p-33;  // ln 2 - LN2_HI
    constexpr int64_t SQRT2_MANTISSA = 0x6A09E667F3BCDll;  // sqrt(2) = 1.0110101... x 2^0
    constexpr uint64_t MANTISSA = (uint64_t{1} << 52) - 1;
    constexpr uint64_t ONE_BITS = uint64_t{1023} << 52;
    // Every test is made on the bits, and every choice is a 0 or 1 times a value or a bit
    // mask: a compiler vectorises these for every instruction set, where it would keep a
    // floating-point comparison or a conditional expression as a branch.
    uint64_t x_bits;
    std::memcpy(&x_bits, &x, sizeof x_bits);
    const uint64_t x_exponent = (x_bits >> 52) & 0x7FF;
    const uint64_t tiny = x_exponent == 0;  // zero or subnormal: scaled by 2^54, exactly
    const uint64_t scale_bits = ONE_BITS + ((tiny * 54) << 52);
    double scale;
    std::memcpy(&scale, &scale_bits, sizeof scale);
    const double y = x * scale;
    uint64_t bits;
    std::memcpy(&bits, &y, sizeof bits);
    const int64_t mantissa = static_cast<int64_t>(bits & MANTISSA);
    const uint64_t halve = mantissa >= SQRT2_MANTISSA;  // m would be sqrt(2) or more: m / 2
    const int32_t e = static_cast<int32_t>((bits >> 52) & 0x7FF) - 1023 - static_cast<int32_t>(tiny * 54) +
                      static_cast<int32_t>(halve);
    const uint64_t m_bits = static_cast<uint64_t>(mantissa) | (ONE_BITS - (halve << 52));
    double m;
    std::memcpy(&m, &m_bits, sizeof m);
    const double f = m - 1.0;
    const double s = f / (2.0 + f);
    const double z = s * s;
    const double r =
        z * (0x1.5555555555558p-1 +
        z * (0x1.99999999952e2p-2 +
        z * (0x1.2492492df148dp-2 +
        z * (0x1.c71c62e5800a1p-3 +
        z * (0x1.7462b4ab2ef6bp-3 +
        z * (0x1.39fe606542ddep-3 +
        z * 0x1.2b584aae78a57p-3))))));
    const double hfsq = 0.5 * f * f;
    const double k = static_cast<double>(e);
    const double near = k * LN2_HI - ((hfsq - (s * (hfsq + r) + k * LN2_LO)) - f);
    // -inf at either zero, x itself at inf and NaN, NaN below zero.
    uint64_t out;
    std::memcpy(&out, &near, sizeof out);
    const uint64_t at_zero = -static_cast<uint64_t>((x_bits << 1) == 0);
    const uint64_t not_finite = -static_cast<uint64_t>(x_exponent == 0x7FF);
    const uint64_t negative = -static_cast<uint64_t>((x_bits >> 63) != 0 && (x_bits << 1) != 0);
    out = (out & ~at_zero) | (0xFFF0000000000000ull & at_zero);
    out = (out & ~not_finite) | (x_bits & not_finite);
    out = (out & ~negative) | (0x7FF8000000000000ull & negative);
    double result;
    std::memcpy(&result, &out, sizeof result);
    return result;
}

/// The separation terms of pair u from its squared separation: r = sqrt(key) and ln r,
/// times the pair's product of weights with Weighted.
template <bool Weighted>
inline void separation_term(const double *keys, const double *products, uint64_t u, double *r,
                            double *log_r) {
    const double s = std::sqrt(keys[u]);
    const double l = log_exact(s);
    r[u] = Weighted ? products[u] * s : s;
    log_r[u] = Weighted ? products[u] * l : l;
}

/// The separation terms of n buffered pairs (separation_term), in the variant K; each
/// variant's loop is the same code, which the compiler vectorises for the wider ones
/// lane by lane with the same operations (no fused multiply-adds, no reassociation).
template <bool Weighted>
inline void separation_terms_portable(const double *keys, const double *products, uint64_t n,
                                      double *r, double *log_r) {
    for (uint64_t u = 0; u < n; ++u) separation_term<Weighted>(keys, products, u, r, log_r);
}

#if QUOR_X86_SIMD
template <bool Weighted>
QUOR_TARGET_AVX512 inline void separation_terms_avx512(const double *keys, const double *products,
                                                       uint64_t n, double *r, double *log_r) {
    for (uint64_t u = 0; u < n; ++u) separation_term<Weighted>(keys, products, u, r, log_r);
}

template <bool Weighted>
QUOR_TARGET_AVX2 inline void separation_terms_avx2(const double *keys, const double *products,
                                                   uint64_t n, double *r, double *log_r) {
    for (uint64_t u = 0; u < n; ++u) separation_term<Weighted>(keys, products, u, r, log_r);
}
#endif

template <Kernel K, bool Weighted>
inline void separation_terms(const double *keys, const double *products, uint64_t n, double *r,
                             double *log_r) {
#if QUOR_X86_SIMD
    if constexpr (K == Kernel::avx512) return separation_terms_avx512<Weighted>(keys, products, n, r, log_r);
    if constexpr (K == Kernel::avx2) return separation_terms_avx2<Weighted>(keys, products, n, r, log_r);
#endif
    separation_terms_portable<Weighted>(keys, products, n, r, log_r);
}

}  // namespace quor
