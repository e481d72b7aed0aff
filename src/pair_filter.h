/* src/pair_filter.h: the first pass of a pair count: the displacement of one galaxy to
   each partner of a run, and the partners that the cheap rejection keeps, buffered for
   the pair test. Portable, AVX2 and AVX-512 versions do the same IEEE operations in the
   same order, lane by lane, so they keep exactly the same partners (the AVX2 version
   negates some differences, which changes no square: see there). */
#pragma once

#include <algorithm>
#include <cstdint>

#include "src/common.h"
#include "src/kernel_select.h"
#include "src/simd.h"

namespace quor {

/// One galaxy i against partners j of the cell-ordered columns.
struct FilterQuery {
    const double *xs, *ys, *zs;
    const int32_t *pids;
    double xi, yi, zi;
    int32_t pi;
    double sx, sy, sz;   ///< cell shift of a neighbour (not folded)
    double box, half;    ///< for min_image (folded)
    double key_max;      ///< keep where !(key >= key_max): a NaN on either side keeps
    double w;            ///< z window: a shifted run ends at the first dz >= w
    const double *ws = nullptr;  ///< partners' weights, read with Products
    double wi = 1.0;             ///< galaxy i's weight
    const int32_t *rs = nullptr; ///< partners' region labels, read with Regions
    uint64_t ri = 0;             ///< galaxy i's region label << 32
    double mu_cut = 0.0;         ///< with MuCut: drops dz*dz >= max(MU_CUT_FLOOR, mu_cut * key)
};

/// The least right-hand side of the mu cut: above it, every square and product the cut
/// compares is a normal float64 and carries its relative rounding bound.
inline constexpr double MU_CUT_FLOOR = 0x1p-900;

/// Partners kept by the cheap rejection: their key, dz, whether they share i's
/// partition (0 or 1), with Products the product wi * ws[j] of the two weights and with
/// Regions both galaxies' regions as one code, (r_i << 32) | r_j.
/// Vector versions store whole vectors, so the arrays have room for one vector beyond
/// the count.
struct FilterOut {
    static constexpr uint64_t SLACK = 8;
    double *keys;
    double *dzs;
    uint64_t *sames;
    uint64_t n;
    double *products = nullptr;
    uint64_t *regions = nullptr;
};

/* The displacement d of partner j, by mode:
     - Wrap: min_image of the plain difference, per component; with ZFold +1, 0 or -1
       the z fold is known for the whole run (dz + box, dz, dz - box), with ANY_FOLD
       min_image decides;
     - otherwise, shifted by the cell step: ((xs[j] - xi) + sx, (ys[j] - yi) + sy,
       sz + (zs[j] - zi)), and the run ends at the first partner with dz >= w. Without
       Shift the step is zero (the own cell, and every neighbour not across a face of
       the box): adding zero changes no difference but the sign of a zero, which
       squares and |dz| ignore, so the plain differences serve;
   key = (dx*dx + dy*dy) + dz*dz with Key3d, dy*dy + dx*dx without. dz is stored
   for the pair test only with KeepDz, the product of the weights only with Products.
   With MuCut (a 3-D key), a partner is also dropped where dz*dz >= max(MU_CUT_FLOOR,
   mu_cut * key): a pair too close to the line of sight for the (s, mu) test's mu bins,
   mu_cut carrying the margin over the rounding (mu_cut_factor in pairs_smu.cpp). Both
   operands of the max are in that order everywhere, so a NaN key gives the floor in
   each version. */
constexpr int ANY_FOLD = 2;

template <bool Wrap, int ZFold, bool Key3d, bool KeepDz, bool Shift = true, bool Products = false,
          bool Regions = false, bool MuCut = false>
struct FilterMode {
    static constexpr bool wrap = Wrap;
    static constexpr int z_fold = ZFold;
    static constexpr bool key_3d = Key3d;
    static constexpr bool keep_dz = KeepDz;
    static constexpr bool windowed = !Wrap;
    static constexpr bool shifted = !Wrap && Shift;
    static constexpr bool products = Products;
    static constexpr bool regions = Regions;
    static constexpr bool mu_cut = MuCut;
};

/// Portable version; returns true when the z window ended inside [j0, j1).
template <class Mode>
inline bool filter_partners_portable(const FilterQuery &q, uint64_t j0, uint64_t j1,
                                     FilterOut &out) {
    uint64_t n = out.n;
    bool ended = false;
    for (uint64_t j = j0; j < j1; ++j) {
        double dx = q.xs[j] - q.xi;
        double dy = q.ys[j] - q.yi;
        double dz = q.zs[j] - q.zi;
        if (Mode::shifted) {
            dx = dx + q.sx;
            dy = dy + q.sy;
            dz = q.sz + dz;
        }
        if (Mode::windowed) {
            if (dz >= q.w) {
                ended = true;
                break;
            }
        }
        if (Mode::wrap) {
            dx = min_image(dx, q.box, q.half);
            dy = min_image(dy, q.box, q.half);
            if (Mode::z_fold == ANY_FOLD)
                dz = min_image(dz, q.box, q.half);
            else if (Mode::z_fold != 0)
                dz = Mode::z_fold > 0 ? dz + q.box : dz - q.box;
        }
        const double key = Mode::key_3d ? (dx * dx + dy * dy) + dz * dz : dy * dy + dx * dx;
        out.keys[n] = key;
        if (Mode::keep_dz) out.dzs[n] = dz;
        if (Mode::products) out.products[n] = q.wi * q.ws[j];
        if (Mode::regions) out.regions[n] = q.ri | static_cast<uint32_t>(q.rs[j]);
        out.sames[n] = q.pids[j] == q.pi;
        // Written every time, kept only when it survives: no branch per partner.
        bool keep = !(key >= q.key_max);
        if (Mode::mu_cut) keep = keep && !(dz * dz >= std::max(MU_CUT_FLOOR, q.mu_cut * key));
        n += keep;
    }
    out.n = n;
    return ended;
}

/// The partners of [j0, j1) before the first whose dz ends the z window, with the
/// filter's own operations: those a windowed filter examined (the work tally's count).
template <class Mode>
inline uint64_t partners_in_window(const FilterQuery &q, uint64_t j0, uint64_t j1) {
    uint64_t j = j0;
    while (j < j1 && !(Mode::shifted ? q.sz + (q.zs[j] - q.zi) >= q.w : q.zs[j] - q.zi >= q.w)) ++j;
    return j - j0;
}

#if QUOR_X86_SIMD

/// min_image lane by lane: d - box above half, d + box below -half (never both; a NaN
/// neither), as the scalar fold.
QUOR_TARGET_AVX512 inline __m512d min_image_avx512(__m512d d, __m512d box, __m512d half,
                                                   __m512d neg_half) {
    const __mmask8 hi = _mm512_cmp_pd_mask(d, half, _CMP_GT_OQ);
    const __mmask8 lo = _mm512_cmp_pd_mask(d, neg_half, _CMP_LT_OQ);
    d = _mm512_mask_sub_pd(d, hi, d, box);
    return _mm512_mask_add_pd(d, lo, d, box);
}

QUOR_TARGET_AVX2 inline __m256d min_image_avx2(__m256d d, __m256d box, __m256d half,
                                               __m256d neg_half) {
    const __m256d hi = _mm256_cmp_pd(d, half, _CMP_GT_OQ);
    const __m256d lo = _mm256_cmp_pd(d, neg_half, _CMP_LT_OQ);
    d = _mm256_blendv_pd(d, _mm256_sub_pd(d, box), hi);
    return _mm256_blendv_pd(d, _mm256_add_pd(d, box), lo);
}

/// The broadcast query of the AVX-512 steps.
struct Query512 {
    __m512d xi, yi, zi, sx, sy, sz, box, half, neg_half, key_max, w, wi, mu_cut;
    __m256i pi;
};

QUOR_TARGET_AVX512 inline Query512 broadcast_avx512(const FilterQuery &q) {
    return {_mm512_set1_pd(q.xi),   _mm512_set1_pd(q.yi),   _mm512_set1_pd(q.zi),
            _mm512_set1_pd(q.sx),   _mm512_set1_pd(q.sy),   _mm512_set1_pd(q.sz),
            _mm512_set1_pd(q.box),  _mm512_set1_pd(q.half), _mm512_set1_pd(-q.half),
            _mm512_set1_pd(q.key_max), _mm512_set1_pd(q.w), _mm512_set1_pd(q.wi),
            _mm512_set1_pd(q.mu_cut), _mm256_set1_epi32(q.pi)};
}

/// One step of eight partners from j: their key and dz, the lanes that pass the cheap
/// rejection (`keep`) and those that share i's partition (`same`); `ended` when the z
/// window ends inside the step.
struct Step512 {
    __m512d key, dz;
    __mmask8 keep, same;
    bool ended;
};

template <class Mode>
QUOR_TARGET_AVX512 inline Step512 step_avx512(const FilterQuery &q, const Query512 &b, uint64_t j,
                                              uint64_t j1) {
    __mmask8 lanes = tail_lanes(j1, j);
    bool ended = false;
    __m512d dx = _mm512_sub_pd(_mm512_maskz_loadu_pd(lanes, q.xs + j), b.xi);
    __m512d dy = _mm512_sub_pd(_mm512_maskz_loadu_pd(lanes, q.ys + j), b.yi);
    __m512d dz = _mm512_sub_pd(_mm512_maskz_loadu_pd(lanes, q.zs + j), b.zi);
    if (Mode::shifted) {
        dx = _mm512_add_pd(dx, b.sx);
        dy = _mm512_add_pd(dy, b.sy);
        dz = _mm512_add_pd(b.sz, dz);
    }
    if (Mode::windowed) {
        const __mmask8 stop = _mm512_mask_cmp_pd_mask(lanes, dz, b.w, _CMP_GE_OQ);
        if (stop) {
            lanes &= static_cast<__mmask8>((stop & -stop) - 1);  // lanes before the first
            ended = true;
        }
    }
    if (Mode::wrap) {
        dx = min_image_avx512(dx, b.box, b.half, b.neg_half);
        dy = min_image_avx512(dy, b.box, b.half, b.neg_half);
        if (Mode::z_fold == ANY_FOLD)
            dz = min_image_avx512(dz, b.box, b.half, b.neg_half);
        else if (Mode::z_fold != 0)
            dz = Mode::z_fold > 0 ? _mm512_add_pd(dz, b.box) : _mm512_sub_pd(dz, b.box);
    }
    const __m512d key =
        Mode::key_3d
            ? _mm512_add_pd(_mm512_add_pd(_mm512_mul_pd(dx, dx), _mm512_mul_pd(dy, dy)),
                            _mm512_mul_pd(dz, dz))
            : _mm512_add_pd(_mm512_mul_pd(dy, dy), _mm512_mul_pd(dx, dx));
    __mmask8 keep = _mm512_mask_cmp_pd_mask(lanes, key, b.key_max, _CMP_NGE_UQ);
    if (Mode::mu_cut) {
        // max_pd gives its second operand where either is NaN, as std::max(floor, NaN).
        const __m512d bound = _mm512_max_pd(_mm512_mul_pd(b.mu_cut, key), _mm512_set1_pd(MU_CUT_FLOOR));
        keep &= static_cast<__mmask8>(~_mm512_mask_cmp_pd_mask(keep, _mm512_mul_pd(dz, dz), bound, _CMP_GE_OQ));
    }
    const __mmask8 same = _mm256_mask_cmpeq_epi32_mask(
        lanes, _mm256_maskz_loadu_epi32(lanes, q.pids + j), b.pi);
    return {key, dz, keep, same, ended};
}

// GCC 12 takes the deliberately undefined lanes of some intrinsics for uninitialised data.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
/// AVX-512 version: eight partners per step, the tail under a mask. Kept lanes are
/// packed in registers (compress) and stored whole: compressing straight to memory is
/// slow on some processors.
template <class Mode>
QUOR_TARGET_AVX512 inline bool filter_partners_avx512(const FilterQuery &q, uint64_t j0,
                                                      uint64_t j1, FilterOut &out) {
    const Query512 b = broadcast_avx512(q);
    const __m512i one = _mm512_set1_epi64(1);
    uint64_t n = out.n;
    for (uint64_t j = j0; j < j1; j += 8) {
        const Step512 st = step_avx512<Mode>(q, b, j, j1);
        _mm512_storeu_pd(out.keys + n, _mm512_maskz_compress_pd(st.keep, st.key));
        if (Mode::keep_dz) _mm512_storeu_pd(out.dzs + n, _mm512_maskz_compress_pd(st.keep, st.dz));
        if (Mode::products) {
            const __m512d p = _mm512_mul_pd(b.wi, _mm512_maskz_loadu_pd(tail_lanes(j1, j), q.ws + j));
            _mm512_storeu_pd(out.products + n, _mm512_maskz_compress_pd(st.keep, p));
        }
        if (Mode::regions) {
            const __m512i r = _mm512_or_si512(
                _mm512_set1_epi64(static_cast<int64_t>(q.ri)),
                _mm512_cvtepu32_epi64(_mm256_maskz_loadu_epi32(tail_lanes(j1, j), q.rs + j)));
            _mm512_storeu_si512(out.regions + n, _mm512_maskz_compress_epi64(st.keep, r));
        }
        _mm512_storeu_si512(out.sames + n, _mm512_maskz_compress_epi64(
                                               st.keep, _mm512_maskz_mov_epi64(st.same, one)));
        n += static_cast<uint64_t>(__builtin_popcount(st.keep));
        if (st.ended) {
            out.n = n;
            return true;
        }
    }
    out.n = n;
    return false;
}

#pragma GCC diagnostic pop

/// AVX2 version: four partners per step, the tail (fewer than four) portable.
/// The step computes the negated differences xi - xs[j] (and sx subtracted, not added):
/// rounding is symmetric, so each is exactly minus the difference of the other
/// versions and squares to the same bits, and the partner's coordinate can be read as
/// the operand of the subtraction. dz keeps its sign where it is stored; elsewhere the
/// window test compares -dz <= -w, the same test.
template <class Mode>
QUOR_TARGET_AVX2 inline bool filter_partners_avx2(const FilterQuery &q, uint64_t j0, uint64_t j1,
                                                  FilterOut &out) {
    constexpr bool negated_dz = !Mode::keep_dz;
    const __m256d xi = _mm256_set1_pd(q.xi), yi = _mm256_set1_pd(q.yi), zi = _mm256_set1_pd(q.zi);
    const __m256d sx = _mm256_set1_pd(q.sx), sy = _mm256_set1_pd(q.sy);
    const __m256d sz = _mm256_set1_pd(negated_dz ? -q.sz : q.sz);
    const __m256d box = _mm256_set1_pd(q.box), half = _mm256_set1_pd(q.half);
    const __m256d neg_half = _mm256_set1_pd(-q.half);
    const __m256d key_max = _mm256_set1_pd(q.key_max), w = _mm256_set1_pd(negated_dz ? -q.w : q.w);
    const __m128i pi = _mm_set1_epi32(q.pi);
    const __m256d wi = _mm256_set1_pd(q.wi);
    const __m256d mu_cut = _mm256_set1_pd(q.mu_cut), mu_floor = _mm256_set1_pd(MU_CUT_FLOOR);
    // Local copies: the stores below could otherwise alias the pointers themselves, and
    // every step would load them again.
    const double *const xs = q.xs, *const ys = q.ys, *const zs = q.zs, *const ws = q.ws;
    const int32_t *const pids = q.pids, *const rs = q.rs;
    double *const keys = out.keys, *const dzs = out.dzs, *const products = out.products;
    uint64_t *const sames = out.sames, *const regions = out.regions;
    uint64_t n = out.n;
    // The kept lanes of `keep` packed onto the end of the buffer.
    auto append = [&](uint64_t j, unsigned keep, __m256d key, __m256d dz) QUOR_TARGET_AVX2 {
        // 0 or 1 per lane: the comparison's all-ones shifted down.
        const __m128i same32 = _mm_srli_epi32(
            _mm_cmpeq_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i *>(pids + j)), pi), 31);
        const __m256i same = _mm256_cvtepu32_epi64(same32);
        const __m256i perm =
            _mm256_load_si256(reinterpret_cast<const __m256i *>(PACK4.idx[keep]));
        _mm256_storeu_pd(keys + n, _mm256_castps_pd(_mm256_permutevar8x32_ps(
                                           _mm256_castpd_ps(key), perm)));
        if (Mode::keep_dz)
            _mm256_storeu_pd(dzs + n, _mm256_castps_pd(_mm256_permutevar8x32_ps(
                                          _mm256_castpd_ps(dz), perm)));
        if (Mode::products) {
            const __m256d p = _mm256_mul_pd(wi, _mm256_loadu_pd(ws + j));
            _mm256_storeu_pd(products + n, _mm256_castps_pd(_mm256_permutevar8x32_ps(
                                                   _mm256_castpd_ps(p), perm)));
        }
        if (Mode::regions) {
            const __m256i r = _mm256_or_si256(
                _mm256_set1_epi64x(static_cast<int64_t>(q.ri)),
                _mm256_cvtepu32_epi64(_mm_loadu_si128(reinterpret_cast<const __m128i *>(rs + j))));
            _mm256_storeu_si256(reinterpret_cast<__m256i *>(regions + n),
                                _mm256_permutevar8x32_epi32(r, perm));
        }
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(sames + n),
                            _mm256_permutevar8x32_epi32(same, perm));
        n += static_cast<uint64_t>(__builtin_popcount(keep));
    };
    uint64_t j = j0;
    for (; j + 4 <= j1; j += 4) {
        __m256d dx = _mm256_sub_pd(xi, _mm256_loadu_pd(xs + j));
        __m256d dy = _mm256_sub_pd(yi, _mm256_loadu_pd(ys + j));
        __m256d dz = negated_dz ? _mm256_sub_pd(zi, _mm256_loadu_pd(zs + j))
                                : _mm256_sub_pd(_mm256_loadu_pd(zs + j), zi);
        if (Mode::shifted) {
            dx = _mm256_sub_pd(dx, sx);
            dy = _mm256_sub_pd(dy, sy);
            dz = _mm256_add_pd(sz, dz);
        }
        unsigned stop = 0;
        if (Mode::windowed)
            stop = static_cast<unsigned>(_mm256_movemask_pd(
                negated_dz ? _mm256_cmp_pd(dz, w, _CMP_LE_OQ) : _mm256_cmp_pd(dz, w, _CMP_GE_OQ)));
        if (Mode::wrap) {
            dx = min_image_avx2(dx, box, half, neg_half);
            dy = min_image_avx2(dy, box, half, neg_half);
            if (Mode::z_fold == ANY_FOLD)
                dz = min_image_avx2(dz, box, half, neg_half);
            else if (Mode::z_fold != 0)  // a negated dz folds the other way
                dz = (Mode::z_fold > 0) != negated_dz ? _mm256_add_pd(dz, box) : _mm256_sub_pd(dz, box);
        }
        const __m256d key =
            Mode::key_3d
                ? _mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(dx, dx), _mm256_mul_pd(dy, dy)),
                                _mm256_mul_pd(dz, dz))
                : _mm256_add_pd(_mm256_mul_pd(dy, dy), _mm256_mul_pd(dx, dx));
        unsigned keep = static_cast<unsigned>(_mm256_movemask_pd(_mm256_cmp_pd(key, key_max, _CMP_NGE_UQ)));
        if (Mode::mu_cut) {
            const __m256d bound = _mm256_max_pd(_mm256_mul_pd(mu_cut, key), mu_floor);
            keep &= ~static_cast<unsigned>(
                _mm256_movemask_pd(_mm256_cmp_pd(_mm256_mul_pd(dz, dz), bound, _CMP_GE_OQ)));
        }
        if (stop) {
            append(j, keep & ((stop & (0u - stop)) - 1), key, dz);  // lanes before the first stop
            out.n = n;
            return true;
        }
        append(j, keep, key, dz);
    }
    out.n = n;
    return filter_partners_portable<Mode>(q, j, j1, out);
}

#endif  // QUOR_X86_SIMD

/// The variant K of the filter: keeps the partners of [j0, j1) that pass the cheap
/// rejection, appending them to `out`; true when the z window ended inside the run.
template <Kernel K, class Mode>
inline bool filter_partners(const FilterQuery &q, uint64_t j0, uint64_t j1, FilterOut &out) {
#if QUOR_X86_SIMD
    if constexpr (K == Kernel::avx512) return filter_partners_avx512<Mode>(q, j0, j1, out);
    if constexpr (K == Kernel::avx2) return filter_partners_avx2<Mode>(q, j0, j1, out);
#endif
    return filter_partners_portable<Mode>(q, j0, j1, out);
}

}  // namespace quor
