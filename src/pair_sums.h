/* src/pair_sums.h: the exact sums of a pair count's terms (w_i w_j, w_i w_j r,
   w_i w_j ln r) per counter, with a fast path for the terms of ordinary size: each split
   exactly into two integers, added into two int64 per counter. */
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "src/common.h"
#include "src/exact_sum.h"
#include "src/kernel_select.h"
#include "src/simd.h"

namespace quor {

/* The split of a term t with |t| < 2^top (top set once per sum from a bound on its
   terms): adding sigma = 1.5 2^(top + 12) and taking it off again rounds t to a multiple
   of u = 2^(top - 40) (t + sigma lies in [2^(top + 12), 2^(top + 13)), whose spacing is
   u), exactly, and t - hi is exact; the same on the rest with 2^(top - 81) gives lo.
   When nothing is left, t = hi + lo exactly with hi / 2^(top - 40) and lo / 2^(top - 81)
   integers of at most 2^40 in magnitude. Terms of 2^top or more, infinities and NaN, and
   terms with bits below 2^(top - 81) (for instance those far smaller than the bound)
   take the exact digits instead. Either way each term is added exactly. */
struct TermSplit {
    double sigma_hi = 0.0, sigma_lo = 0.0;
    double scale_hi = 0.0, scale_lo = 0.0;  ///< 2^(40 - top), 2^(81 - top)
    uint64_t top_exponent = 0;              ///< biased exponent of 2^top: 0 sends every term to the digits
    int top = 0;

    /// The split for terms below `bound` in magnitude (none when it has no usable top).
    static TermSplit below(double bound);
};

/// 1.5 2^52 as the integers up to 2^51 are added to it: its bits plus the integer.
constexpr double INTEGER_BIAS = 0x1.8p52;

/// Splits term u of `terms` (see TermSplit): hi[u] and lo[u] as int64, or both 0 with
/// the term marked slow (returned 1). Written once, branch-free and with integer tests,
/// so that each variant's loop below vectorises it with the same operations per lane.
inline uint64_t split_term(const TermSplit &p, const double *terms, uint64_t u, int64_t *hi,
                           int64_t *lo) {
    const double t = terms[u];
    const double q_hi = (p.sigma_hi + t) - p.sigma_hi;
    const double rest = t - q_hi;
    const double q_lo = (p.sigma_lo + rest) - p.sigma_lo;
    const double left = rest - q_lo;
    uint64_t t_bits, left_bits;
    std::memcpy(&t_bits, &t, sizeof t_bits);
    std::memcpy(&left_bits, &left, sizeof left_bits);
    const uint64_t slow = static_cast<uint64_t>(((t_bits >> 52) & 0x7FF) >= p.top_exponent) |
                          static_cast<uint64_t>((left_bits << 1) != 0);
    // The integers q / u, exact and at most 2^40, through the bits of INTEGER_BIAS + q/u.
    const double a = q_hi * p.scale_hi + INTEGER_BIAS, b = q_lo * p.scale_lo + INTEGER_BIAS;
    uint64_t a_bits, b_bits, bias_bits;
    std::memcpy(&a_bits, &a, sizeof a_bits);
    std::memcpy(&b_bits, &b, sizeof b_bits);
    std::memcpy(&bias_bits, &INTEGER_BIAS, sizeof bias_bits);
    const uint64_t keep = slow - 1;  // all ones on the fast path
    hi[u] = static_cast<int64_t>((a_bits - bias_bits) & keep);
    lo[u] = static_cast<int64_t>((b_bits - bias_bits) & keep);
    return slow;
}

/// split_term for n terms; returns whether any was slow.
inline uint64_t split_terms_portable(const TermSplit &p, const double *terms, uint64_t n,
                                     int64_t *hi, int64_t *lo, uint64_t *slow) {
    uint64_t any = 0;
    for (uint64_t u = 0; u < n; ++u) any |= slow[u] = split_term(p, terms, u, hi, lo);
    return any;
}

#if QUOR_X86_SIMD
QUOR_TARGET_AVX512 inline uint64_t split_terms_avx512(const TermSplit &p, const double *terms,
                                                      uint64_t n, int64_t *hi, int64_t *lo,
                                                      uint64_t *slow) {
    uint64_t any = 0;
    for (uint64_t u = 0; u < n; ++u) any |= slow[u] = split_term(p, terms, u, hi, lo);
    return any;
}

QUOR_TARGET_AVX2 inline uint64_t split_terms_avx2(const TermSplit &p, const double *terms,
                                                  uint64_t n, int64_t *hi, int64_t *lo,
                                                  uint64_t *slow) {
    uint64_t any = 0;
    for (uint64_t u = 0; u < n; ++u) any |= slow[u] = split_term(p, terms, u, hi, lo);
    return any;
}
#endif

template <Kernel K>
inline uint64_t split_terms(const TermSplit &p, const double *terms, uint64_t n, int64_t *hi,
                            int64_t *lo, uint64_t *slow) {
#if QUOR_X86_SIMD
    if constexpr (K == Kernel::avx512) return split_terms_avx512(p, terms, n, hi, lo, slow);
    if constexpr (K == Kernel::avx2) return split_terms_avx2(p, terms, n, hi, lo, slow);
#endif
    return split_terms_portable(p, terms, n, hi, lo, slow);
}

/* The sums of one pair count, each over `counters` counters: per sum, a TermSplit and
   the ExactSums that take its slow terms and, every 2^22 additions, its fast parts; per
   counter, two int64 of each sum side by side (one cache line for all of a pair's sums),
   after a spare counter that takes the pairs with no counter (-1), so that the additions
   need no test. With few counters the parts come in REPLICAS copies, pair u of a batch
   adding into copy u mod REPLICAS: neighbouring pairs mostly share a counter, and in one
   copy each addition would wait for the previous one's store. The copies are integers,
   added together exactly at a spill. The sums are exact, so any split of the pairs over
   threads, variants or slabs gives the same sums. */
class PairTermSums {
public:
    static constexpr uint64_t MAX_BATCH = 512;  ///< pairs per add() at most
    static constexpr uint64_t MAX_SUMS = 3;

    PairTermSums() = default;
    /// Sums for the given bounds on their terms' magnitudes, one sum per bound.
    PairTermSums(uint64_t counters, const std::vector<double> &bounds);

    uint64_t sums() const { return splits_.size(); }

    /// About the bytes of `sums` sums over `counters` counters: their int64 parts and
    /// the exact digits of terms spanning some two hundred bits (more for wider ranges).
    static uint64_t bytes(uint64_t counters, uint64_t sums) {
        return replicas(counters, sums) * sums * (counters + 1) * 2 * sizeof(int64_t) +
               sums * counters * (8 * sizeof(int64_t) + 1);
    }

    /// The copies of the int64 parts kept for `sums` sums over `counters` counters.
    static uint64_t replicas(uint64_t counters, uint64_t sums) {
        return sums * (counters + 1) * 2 * sizeof(int64_t) <= MAX_REPLICATED_BYTES ? REPLICAS : 1;
    }

    /// Adds terms[s][u] to counter counters[u] of sum s, for every sum s < S = sums()
    /// and every u < n <= MAX_BATCH with a counter (>= 0).
    template <Kernel K, uint64_t S>
    void add(const int64_t *counters, const double *const *terms, uint64_t n) {
        alignas(64) int64_t hi[S][MAX_BATCH], lo[S][MAX_BATCH];
        alignas(64) uint64_t slow[S][MAX_BATCH];
        uint64_t any_slow[S];
        for (uint64_t s = 0; s < S; ++s)
            any_slow[s] = split_terms<K>(splits_[s], terms[s], n, hi[s], lo[s], slow[s]);
        if (pending_ + n > MAX_PENDING) spill();
        pending_ += n;
        int64_t *parts = parts_.data() + 2 * S;  // counter -1 lands in the spare
        auto add_parts = [&](int64_t *copy, uint64_t u) {
            int64_t *p = copy + static_cast<int64_t>(2 * S) * counters[u];
            for (uint64_t s = 0; s < S; ++s) {
                p[2 * s] += hi[s][u];
                p[2 * s + 1] += lo[s][u];
            }
        };
        uint64_t u = 0;
        if (replicas_ == REPLICAS) {
            const uint64_t copy_size = parts_.size() / REPLICAS;
            for (; u + REPLICAS <= n; u += REPLICAS)
                for (uint64_t c = 0; c < REPLICAS; ++c) add_parts(parts + c * copy_size, u + c);
        }
        for (; u < n; ++u) add_parts(parts, u);
        for (uint64_t s = 0; s < S; ++s)
            if (any_slow[s]) add_slow(s, counters, terms[s], slow[s], n);
    }

    /// Adds every sum of `other` (made alike) into this one.
    void merge(PairTermSums &other);

    /// Sum s of every counter, rounded to float64 once.
    std::vector<double> rounded(uint64_t s);

    /// Sum s of every counter as ExactSums::expansions gives it (parts() per counter).
    std::vector<double> expansions(uint64_t s, uint64_t &parts);

private:
    static constexpr uint64_t MAX_PENDING = uint64_t{1} << 22;  ///< |part| <= 2^40 + 1 each
    static constexpr uint64_t REPLICAS = 4;
    static constexpr uint64_t MAX_REPLICATED_BYTES = 8192;  ///< per copy: all stay in L1

    std::vector<TermSplit> splits_;
    std::vector<int64_t> parts_;  ///< replicas_ x (counters + 1) x sums x 2
    uint64_t replicas_ = 1;
    std::vector<ExactSums> exact_;
    uint64_t pending_ = 0;

    void add_slow(uint64_t s, const int64_t *counters, const double *terms, const uint64_t *slow,
                  uint64_t n);
    /// Moves the int64 parts of every sum into the exact sums.
    void spill();
};

/// Bounds on the magnitudes of the terms of the sums `query` keeps, in their order
/// (w_i w_j when weighted; w_i w_j r and w_i w_j ln r with separations), for pairs whose
/// separation the counter bins lies in [sep_lo, sep_hi). A bound only chooses which
/// terms take the fast path: every term is summed exactly whatever it is.
std::vector<double> pair_term_bounds(const PairQuery &query, double sep_lo, double sep_hi);

}  // namespace quor
