/* src/pairs_2d.cpp: projected (r_p, pi) pair counts over the z-sorted cell list. */
#include "src/pairs_2d.h"

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

/// Pair test of the projected counts: r_p across the line of sight, binned through its
/// square, and pi = |dz| binned as it is. No square root anywhere. `Tabled`: both edge
/// arrays have a start table (BinTable); otherwise both take find_bin.
template <bool Tabled>
struct ProjectedTest {
    BinLookup rp2_bins;
    BinLookup pi_bins;
    double key_max;       ///< rp2_max: the square of the last r_p edge
    double pi_max;
    uint64_t n_pi;
    uint64_t cross_offset;  ///< where the cross counters start

    static constexpr bool KEY_3D = false;  ///< the key is rp2 = dy*dy + dx*dx
    static constexpr bool USES_DZ = true;  ///< pi = |dz|
    static constexpr bool WHOLE_CLUMPS = false;
    static constexpr bool COUNTS_ALL = false;
    static constexpr bool MU_CUT = false;  ///< no mu: see SmuTest

    /// A pair that the first cheap rejection, rp2 >= rp2_max, has let through; with
    /// finite last edges rp2 and pi are below them here, or NaN.
    int64_t index(double rp2, double dz, bool same) const {
        const double pi = std::fabs(dz);
        if (pi >= pi_max) return -1;
        const int64_t a = rp2_bins.below_last<Tabled>(rp2);
        const int64_t b = pi_bins.below_last<Tabled>(pi);
        if (a < 0 || b < 0) return -1;  // below a first edge, or NaN
        const uint64_t k = static_cast<uint64_t>(a) * n_pi + static_cast<uint64_t>(b);
        return static_cast<int64_t>(k + !same * cross_offset);
    }

    template <Kernel K>
    void index_all(const double *keys, const double *dzs, const uint64_t *sames, uint64_t n,
                   int64_t *counters) const;
};

#if QUOR_X86_SIMD
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"  // see tabled_bins_avx512
/// ProjectedTest::index for n buffered pairs, eight at a time: both bins through their
/// lookups, then the counter, with the scalar operations lane by lane.
QUOR_TARGET_AVX512 inline void projected_index_avx512(const ProjectedTest<true> &t,
                                                      const double *rp2, const double *dzs,
                                                      const uint64_t *sames, uint64_t n,
                                                      int64_t *counters) {
    const __m512d magnitude = _mm512_castsi512_pd(_mm512_set1_epi64(0x7FFFFFFFFFFFFFFFLL));
    const __m512i n_pi = _mm512_set1_epi64(static_cast<long long>(t.n_pi));
    const __m512i cross = _mm512_set1_epi64(static_cast<long long>(t.cross_offset));
    const __m512i zero = _mm512_setzero_si512(), none = _mm512_set1_epi64(-1);
    for (uint64_t u = 0; u < n; u += 8) {
        const __mmask8 lanes = tail_lanes(n, u);
        const __m512d pi = _mm512_and_pd(_mm512_maskz_loadu_pd(lanes, dzs + u), magnitude);
        // No bin where rp2 or pi has none, pi >= pi_max included (the last pi edge).
        __mmask8 ok_rp, ok_pi;
        const __m512i a = bins_avx512(t.rp2_bins, t.key_max, _mm512_maskz_loadu_pd(lanes, rp2 + u), lanes, ok_rp);
        const __m512i b = bins_avx512(t.pi_bins, t.pi_max, pi, lanes, ok_pi);
        __m512i k = _mm512_add_epi64(_mm512_mullo_epi64(a, n_pi), b);
        const __mmask8 other =
            _mm512_cmpeq_epi64_mask(_mm512_maskz_loadu_epi64(lanes, sames + u), zero);
        k = _mm512_mask_add_epi64(k, other, k, cross);
        _mm512_storeu_si512(counters + u, _mm512_mask_mov_epi64(none, ok_rp & ok_pi, k));
    }
}

/// projected_index_avx512 four pairs at a time. Both edge arrays have start tables, so
/// both bins lie below INT32_MAX and their product needs 64 bits at most.
QUOR_TARGET_AVX2 inline void projected_index_avx2(const ProjectedTest<true> &t, const double *rp2,
                                                  const double *dzs, const uint64_t *sames, uint64_t n,
                                                  int64_t *counters) {
    const __m256d magnitude = _mm256_castsi256_pd(_mm256_set1_epi64x(0x7FFFFFFFFFFFFFFFLL));
    const __m256i n_pi = _mm256_set1_epi64x(static_cast<long long>(t.n_pi));
    const __m256i cross = _mm256_set1_epi64x(static_cast<long long>(t.cross_offset));
    const __m256i none = _mm256_set1_epi64x(-1);
    for (uint64_t u = 0; u < n; u += 4) {
        // Lanes past n hold whatever the buffer has there: the lane mask drops them.
        const __m256i lanes = lanes_below_avx2(n, u);
        const __m256d pi = _mm256_and_pd(_mm256_loadu_pd(dzs + u), magnitude);
        __m256d ok_rp, ok_pi;
        const __m256i a = bins_avx2(t.rp2_bins, t.key_max, _mm256_loadu_pd(rp2 + u), lanes, ok_rp);
        const __m256i b = bins_avx2(t.pi_bins, t.pi_max, pi, lanes, ok_pi);
        __m256i k = _mm256_add_epi64(_mm256_mul_epu32(a, n_pi), b);
        const __m256i same = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(sames + u));
        k = _mm256_add_epi64(k, _mm256_and_si256(_mm256_cmpeq_epi64(same, _mm256_setzero_si256()), cross));
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(counters + u),
                            _mm256_blendv_epi8(none, k, _mm256_castpd_si256(_mm256_and_pd(ok_rp, ok_pi))));
    }
}
#pragma GCC diagnostic pop
#endif

template <bool Tabled>
template <Kernel K>
void ProjectedTest<Tabled>::index_all(const double *keys, const double *dzs,
                                      const uint64_t *sames, uint64_t n,
                                      int64_t *counters) const {
#if QUOR_X86_SIMD
    if constexpr (K == Kernel::avx512 && Tabled) {
        projected_index_avx512(*this, keys, dzs, sames, n, counters);
        return;
    }
    if constexpr (K == Kernel::avx2 && Tabled) {
        projected_index_avx2(*this, keys, dzs, sames, n, counters);
        return;
    }
#endif
    pair_index_all(*this, keys, dzs, sames, n, counters);
}

}  // namespace

PairSums projected_pairs(const PairQuery &query, const Edges &r_p_bins, const Edges &pi_bins,
                         double box_size) {
    if (r_p_bins.size < 1 || pi_bins.size < 1)
        throw std::invalid_argument("bin edge arrays must not be empty");
    const uint64_t n_rp = static_cast<uint64_t>(r_p_bins.size - 1);
    const uint64_t n_pi = static_cast<uint64_t>(pi_bins.size - 1);
    const double r_p_max = r_p_bins[r_p_bins.size - 1];
    const double pi_max = pi_bins[pi_bins.size - 1];
    const uint64_t n_bins = checked_elements(n_rp, n_pi);
    checked_elements(2, n_bins);  // the piece histograms hold auto and cross together

    PairSums out;
    // A single-edge array leaves no bin along its axis: nothing can be counted.
    if (n_bins == 0) {
        HistPair(0, {}, query.n_regions).split_all(out, n_rp, n_pi, query);
        return out;
    }

    const BinTable rp2_edges(squared_edges(r_p_bins));
    std::vector<double> pi_copy(static_cast<size_t>(pi_bins.size));
    for (int64_t k = 0; k < pi_bins.size; ++k) pi_copy[k] = pi_bins[k];
    const BinTable pi_edges(std::move(pi_copy));

    const PairCells cells = prepare_pair_cells(query, box_size, r_p_max, pi_max);
    // The cell step's shift alone gives the minimum image while twice the largest
    // separation fits in half the box, or on the fine grid; past that (few, wide cells)
    // every component is folded instead, and the z window is not used.
    const double half_box = cells.own.half_box;
    const bool wrap_pairs = !cells.own.grid.bounded && ((half_box < pi_max + pi_max) ||
                                                        (half_box < r_p_max + r_p_max));

    const PairSides sides = sides_of(cells);
    const std::vector<double> bounds = pair_term_bounds(query, r_p_bins[0], r_p_max);
    auto sweep = [&](auto tabled) {
        const ProjectedTest<decltype(tabled)::value> proto{rp2_edges.lookup(), pi_edges.lookup(),
                                                           r_p_max * r_p_max, pi_max, n_pi,
                                                           n_bins};
        return with_pair_modes(query, wrap_pairs, [&](auto kernel, auto wrap, auto weighted, auto separated, auto regioned) {
            return sweep_pairs<decltype(kernel)::value, decltype(wrap)::value, decltype(weighted)::value,
                               decltype(separated)::value, decltype(regioned)::value>(sides, pi_max, proto, n_bins, bounds, query.n_regions);
        });
    };
    HistPair counts = rp2_edges.tabled() && pi_edges.tabled() ? sweep(std::true_type{})
                                                              : sweep(std::false_type{});
    counts.split_all(out, n_rp, n_pi, query);
    return out;
}

PairHists projected_counts(const StridedMatrix &coords, const PartitionIds &ids,
                           const Edges &r_p_bins, const Edges &pi_bins, double box_size,
                           const OwnerSlab *owner) {
    PairQuery query;
    query.first = {coords, ids, {}, {}};
    query.owner = owner;
    return std::move(projected_pairs(query, r_p_bins, pi_bins, box_size).pairs);
}

}  // namespace quor
