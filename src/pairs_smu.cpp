/* src/pairs_smu.cpp: redshift-space (s, mu) pair counts over the z-sorted cell list. */
#include "src/pairs_smu.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <type_traits>
#include <utility>
#include <vector>

#include "src/cell_list.h"
#include "src/cell_pairs.h"
#include "src/parallel.h"

namespace quor {

namespace {

/// Pair test of the (s, mu) counts: s binned through its square, then one square root
/// and two divisions for mu = |dz| / s in n_mu equal steps of [0, mu_max). `Tabled`:
/// the s edges have a start table (BinTable); otherwise they take find_bin. `MuCut`:
/// the filter drops the pairs with dz*dz >= mu_cut * s2 (mu_cut_factor), which the mu
/// test would drop, before they cost a square root and a division.
template <bool Tabled, bool MuCut = false>
struct SmuTest {
    BinLookup s2_bins;
    double key_max;   ///< the last squared s edge: find_bin's own first rejection
    double mu_max;
    double n_mu_f;    ///< n_mu as float64, for the bin product
    uint64_t n_mu;    ///< >= 1: with no mu bin nothing is swept
    uint64_t cross_offset;  ///< where the cross counters start
    double mu_cut = 0.0;    ///< with MuCut

    static constexpr bool KEY_3D = true;  ///< the key is s2 = (dx*dx + dy*dy) + dz*dz
    static constexpr bool USES_DZ = true;  ///< mu = |dz| / s
    static constexpr bool WHOLE_CLUMPS = false;
    static constexpr bool COUNTS_ALL = false;
    static constexpr bool MU_CUT = MuCut;

    /// A pair that find_bin's own first rejection, s2 >= the last squared edge, has
    /// let through (there is no separate test against s_max).
    int64_t index(double s2, double dz, bool same) const {
        const int64_t a = s2_bins.below_last<Tabled>(s2);
        if (a < 0) return -1;
        const double mu = std::fabs(dz) / std::sqrt(s2);
        if (!(mu < mu_max)) return -1;  // also drops s = 0 (mu is NaN) and mu_max NaN or <= 0
        // The clamp catches only products that round up to n_mu.
        const uint64_t b = std::min(trunc_sat((mu / mu_max) * n_mu_f), n_mu - 1);
        const uint64_t k = static_cast<uint64_t>(a) * n_mu + b;
        return static_cast<int64_t>(k + !same * cross_offset);
    }

    template <Kernel K>
    void index_all(const double *keys, const double *dzs, const uint64_t *sames, uint64_t n,
                   int64_t *counters) const;
};

#if QUOR_X86_SIMD
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"  // see tabled_bins_avx512
/// SmuTest::index for n buffered pairs, eight at a time: the s bin through the start
/// table, then mu = |dz| / sqrt(s2) and its bin, with the scalar operations lane by lane.
template <bool UnitMuMax, bool MuCut>
QUOR_TARGET_AVX512 inline void smu_index_avx512(const SmuTest<true, MuCut> &t, const double *s2,
                                                const double *dzs, const uint64_t *sames,
                                                uint64_t n, int64_t *counters) {
    const __m512d mu_max = _mm512_set1_pd(t.mu_max), n_mu_f = _mm512_set1_pd(t.n_mu_f);
    const __m512d magnitude = _mm512_castsi512_pd(_mm512_set1_epi64(0x7FFFFFFFFFFFFFFFLL));
    const __m512i n_mu = _mm512_set1_epi64(static_cast<long long>(t.n_mu));
    const __m512i last_mu = _mm512_set1_epi64(static_cast<long long>(t.n_mu - 1));
    const __m512i cross = _mm512_set1_epi64(static_cast<long long>(t.cross_offset));
    const __m512i zero = _mm512_setzero_si512(), none = _mm512_set1_epi64(-1);
    for (uint64_t u = 0; u < n; u += 8) {
        const __mmask8 lanes = tail_lanes(n, u);
        const __m512d s2u = _mm512_maskz_loadu_pd(lanes, s2 + u);
        // The s bin first: none where s2 has none (find_bin's own test against the last edge).
        __mmask8 ok;
        const __m512i a = bins_avx512(t.s2_bins, t.key_max, s2u, lanes, ok);
        const __m512d s = _mm512_sqrt_pd(s2u);
        const __m512d dz = _mm512_and_pd(_mm512_maskz_loadu_pd(lanes, dzs + u), magnitude);
        const __m512d mu = _mm512_div_pd(dz, s);
        ok = _mm512_mask_cmp_pd_mask(ok, mu, mu_max, _CMP_LT_OQ);  // NaN mu and mu_max fail
        // mu >= 0 here, so the truncation saturates only above 2^64, as trunc_sat does.
        // mu / 1 is mu itself, bit for bit: the common mu_max = 1 needs no division.
        const __m512d ratio = UnitMuMax ? mu : _mm512_div_pd(mu, mu_max);
        const __m512i b = _mm512_min_epu64(_mm512_cvttpd_epu64(_mm512_mul_pd(ratio, n_mu_f)), last_mu);
        __m512i k = _mm512_add_epi64(_mm512_mullo_epi64(a, n_mu), b);
        const __mmask8 other = _mm512_cmpeq_epi64_mask(_mm512_maskz_loadu_epi64(lanes, sames + u), zero);
        k = _mm512_mask_add_epi64(k, other, k, cross);
        _mm512_storeu_si512(counters + u, _mm512_mask_mov_epi64(none, ok, k));
    }
}

/// smu_index_avx512 four pairs at a time, for n_mu <= INT32_MAX: then every mu bin
/// product, below n_mu * (1 + 2^-52), truncates within 32 bits, and the s bin (below
/// INT32_MAX too, as the start table needs) times n_mu within 64.
template <bool UnitMuMax, bool MuCut>
QUOR_TARGET_AVX2 inline void smu_index_avx2(const SmuTest<true, MuCut> &t, const double *s2, const double *dzs,
                                            const uint64_t *sames, uint64_t n, int64_t *counters) {
    const __m256d mu_max = _mm256_set1_pd(t.mu_max), n_mu_f = _mm256_set1_pd(t.n_mu_f);
    const __m256d magnitude = _mm256_castsi256_pd(_mm256_set1_epi64x(0x7FFFFFFFFFFFFFFFLL));
    const __m256i n_mu = _mm256_set1_epi64x(static_cast<long long>(t.n_mu));
    const __m256i last_mu = _mm256_set1_epi64x(static_cast<long long>(t.n_mu - 1));
    const __m256i cross = _mm256_set1_epi64x(static_cast<long long>(t.cross_offset));
    const __m256i none = _mm256_set1_epi64x(-1);
    for (uint64_t u = 0; u < n; u += 4) {
        // Lanes past n hold whatever the buffer has there: the lane mask drops them.
        const __m256d s2u = _mm256_loadu_pd(s2 + u);
        __m256d ok;
        const __m256i a = bins_avx2(t.s2_bins, t.key_max, s2u, lanes_below_avx2(n, u), ok);
        const __m256d dz = _mm256_and_pd(_mm256_loadu_pd(dzs + u), magnitude);
        const __m256d mu = _mm256_div_pd(dz, _mm256_sqrt_pd(s2u));
        ok = _mm256_and_pd(ok, _mm256_cmp_pd(mu, mu_max, _CMP_LT_OQ));  // NaN mu and mu_max fail
        const __m256d ratio = UnitMuMax ? mu : _mm256_div_pd(mu, mu_max);
        __m256i b = _mm256_cvtepi32_epi64(_mm256_cvttpd_epi32(_mm256_mul_pd(ratio, n_mu_f)));
        b = _mm256_blendv_epi8(b, last_mu, _mm256_cmpgt_epi64(b, last_mu));
        __m256i k = _mm256_add_epi64(_mm256_mul_epu32(a, n_mu), b);
        const __m256i same = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(sames + u));
        k = _mm256_add_epi64(k, _mm256_and_si256(_mm256_cmpeq_epi64(same, _mm256_setzero_si256()), cross));
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(counters + u),
                            _mm256_blendv_epi8(none, k, _mm256_castpd_si256(ok)));
    }
}
#pragma GCC diagnostic pop
#endif

template <bool Tabled, bool MuCut>
template <Kernel K>
void SmuTest<Tabled, MuCut>::index_all(const double *keys, const double *dzs, const uint64_t *sames,
                                       uint64_t n, int64_t *counters) const {
#if QUOR_X86_SIMD
    if constexpr (K == Kernel::avx512 && Tabled) {
        if (mu_max == 1.0)
            smu_index_avx512<true, MuCut>(*this, keys, dzs, sames, n, counters);
        else
            smu_index_avx512<false, MuCut>(*this, keys, dzs, sames, n, counters);
        return;
    }
    if constexpr (K == Kernel::avx2 && Tabled) {
        if (n_mu <= INT32_MAX) {
            if (mu_max == 1.0)
                smu_index_avx2<true, MuCut>(*this, keys, dzs, sames, n, counters);
            else
                smu_index_avx2<false, MuCut>(*this, keys, dzs, sames, n, counters);
            return;
        }
    }
#endif
    pair_index_all(*this, keys, dzs, sames, n, counters);
}

/// The z window of the (s, mu) counts: no pair with |dz| >= the result is counted. A
/// counted pair has mu = |dz| / s < mu_max with s below s_max, so |dz| < mu_max * s_max up
/// to the rounding of s2, its square root and the division (a few units in the last
/// place); the window adds a margin of 2^-40 relative, far above that, so it cuts only
/// pairs the mu test drops. With mu_max of 1 or more (or NaN, or a product so small that
/// its rounding is no longer relative) the window is s_max, as for the radial counts.
double mu_window(double s_max, double mu_max) {
    if (!(mu_max < 1.0) || !(s_max < INFINITY)) return s_max;
    const double w = mu_max * s_max;
    if (!(w > 0x1p-900)) return s_max;  // mu_max <= 0 counts nothing anyway
    return w * (1.0 + 0x1p-40);
}

/* The factor c of the filter's mu cut, dz*dz >= max(MU_CUT_FLOOR, c s2), or 0 for none:
   c = mu_max^2 (1 + 2^-40), rounded. Where the cut holds, dz*dz is at least the floor,
   2^-900, far inside the normal float64: it errs by at most 2^-53 relative, and so does
   c s2 when it is not below the floor (when it is, dz^2 exceeds it by far more than
   any rounding). So the exact dz^2 >= mu_max^2 s2 (1 + 2^-41). The exact |dz| / sqrt(s2) is then above mu_max
   by a factor 1 + 2^-42 or more, which the rounding of s2's square root and of the
   division (2^-53 each) cannot undo: the mu test, mu = |dz| / sqrt(s2) < mu_max, fails
   for that pair too. mu_max of 1 or more (little to cut), NaN, or so small that its
   square is no longer normal, gives no cut. */
double mu_cut_factor(double mu_max) {
    if (!(mu_max > 0x1p-400 && mu_max < 1.0)) return 0.0;
    return (mu_max * mu_max) * (1.0 + 0x1p-40);
}

}  // namespace

PairSums smu_pairs(const PairQuery &query, const Edges &s_bins, uint64_t n_mu_bins, double mu_max,
                   double box_size) {
    if (s_bins.size < 1) throw std::invalid_argument("bin edge arrays must not be empty");
    const uint64_t n_s = static_cast<uint64_t>(s_bins.size - 1);
    const double s_max = s_bins[s_bins.size - 1];
    const uint64_t n_bins = checked_elements(n_s, n_mu_bins);
    checked_elements(2, n_bins);  // the piece histograms hold auto and cross together

    PairSums out;
    // With no mu bin a pair that passes the s and mu tests has no counter to land in:
    // count nothing and return the empty histograms. A single s edge counts nothing too.
    if (n_bins == 0) {
        HistPair(0, {}, query.n_regions).split_all(out, n_s, n_mu_bins, query);
        return out;
    }

    const BinTable s2_edges(squared_edges(s_bins));
    const PairCells cells = prepare_pair_cells(query, box_size, s_max, s_max);
    const bool wrap_pairs = !cells.own.grid.bounded && (s_max + s_max) > cells.own.half_box;

    const PairSides sides = sides_of(cells);
    const std::vector<double> bounds = pair_term_bounds(query, s_bins[0], s_max);
    const double window = mu_window(s_max, mu_max);
    const double mu_cut = mu_cut_factor(mu_max);
    auto sweep = [&](auto tabled, auto cut) {
        const SmuTest<decltype(tabled)::value, decltype(cut)::value> proto{
            s2_edges.lookup(), s2_edges.last(), mu_max, static_cast<double>(n_mu_bins),
            n_mu_bins, n_bins, mu_cut};
        return with_pair_modes(query, wrap_pairs, [&](auto kernel, auto wrap, auto weighted, auto separated, auto regioned) {
            return sweep_pairs<decltype(kernel)::value, decltype(wrap)::value, decltype(weighted)::value,
                               decltype(separated)::value, decltype(regioned)::value>(sides, window, proto, n_bins, bounds, query.n_regions);
        });
    };
    // The cut only with a start table: other edges are rare enough not to be worth
    // another set of sweeps.
    HistPair counts = !s2_edges.tabled() ? sweep(std::false_type{}, std::false_type{})
                      : mu_cut > 0.0     ? sweep(std::true_type{}, std::true_type{})
                                         : sweep(std::true_type{}, std::false_type{});
    counts.split_all(out, n_s, n_mu_bins, query);
    return out;
}

PairHists smu_counts(const StridedMatrix &coords, const PartitionIds &ids, const Edges &s_bins,
                     uint64_t n_mu_bins, double mu_max, double box_size, const OwnerSlab *owner) {
    PairQuery query;
    query.first = {coords, ids, {}, {}};
    query.owner = owner;
    return std::move(smu_pairs(query, s_bins, n_mu_bins, mu_max, box_size).pairs);
}

}  // namespace quor
