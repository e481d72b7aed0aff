/* src/pairs_npoint.cpp: n-point group counts (exact pairs, quantised groups of any size)
   and shape-resolved triplet counts over the z-sorted periodic cell list. */
#include "src/pairs_npoint.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <type_traits>
#include <vector>

#include "src/cell_list.h"
#include "src/kernel_select.h"
#include "src/pairs_1d.h"
#include "src/parallel.h"
#include "src/simd.h"

namespace quor {

namespace {

// ---------------------------------------------------------------------------------------------
// Shared preparation

constexpr int TABLE_SIZE = 4096;
constexpr uint64_t MAX_TALLY = 8;  ///< distinct partitions are counted up to this many
constexpr size_t INITIAL_CANDIDATES = 512;
/// Group extensions between two stop checks: a dense clump can hold one anchor's
/// enumeration for minutes, so the check cannot wait for the end of the cell.
constexpr uint32_t STEPS_PER_STOP_CHECK = 4096;
/// Room past the last kept entry of the wide scans' outputs: the AVX2 scans store whole
/// vectors of four.
constexpr size_t WIDE_SLACK = 4;

/// Everything the n-point kernels read during a sweep; built on the calling thread.
struct NpointSetup {
    CellOrdered data;
    std::vector<double> r2_edges;  ///< n_r + 1 squared edges
    int64_t n_r = 0;
    double r_max = 0.0;
    double r2_max = 0.0;
    /// Some axis has (clamped to) 3 cells narrower than r_max: the cell shift no longer
    /// gives the nearest image, so every displacement is folded with min_image and whole
    /// neighbour runs are scanned.
    bool fallback = false;
    /// Member-to-member differences of anchor displacements need a fold; always set
    /// together with `fallback`.
    bool wrap_pairs = false;
    /// No z is NaN, so consecutive cells along z hold ascending z.
    bool z_ordered = true;
    /// The variant of the wide scans (gathering, the triplet scan, the last member of
    /// larger groups): eight candidates at a time with avx512, four with avx2; none with
    /// portable.
    Kernel wide = Kernel::portable;
    std::array<int32_t, TABLE_SIZE> bin_table{};
    double table_scale = 0.0;

    /// Bin of a squared largest separation through the quantised table; -1: not counted.
    int32_t table_bin(double m) const {
        const uint64_t idx = std::min<uint64_t>(TABLE_SIZE - 1, trunc_sat(m * table_scale));
        return bin_table[idx];
    }
};

NpointSetup prepare(const StridedMatrix &coords, const PartitionIds &ids, const Edges &r_bins,
                    double box_size, const OwnerSlab *owner, const GroupRegions &regions) {
    NpointSetup s;
    s.n_r = r_bins.size - 1;
    s.r_max = r_bins[s.n_r];
    s.r2_max = s.r_max * s.r_max;
    s.r2_edges = squared_edges(r_bins);
    s.data = prepare_cell_ordered(coords, ids, box_size, s.r_max, s.r_max);
    if (owner) mark_owner(s.data, *owner);
    if (regions.regioned()) fill_regions(s.data, regions.labels);
    s.fallback = s.data.grid.width_xy < s.r_max || s.data.grid.width_z < s.r_max;
    s.wrap_pairs = 2.0 * s.r_max > s.data.half_box || s.fallback;
    const std::vector<double> &zs = s.data.cols.zs;
    s.z_ordered = std::none_of(zs.begin(), zs.end(), [](double z) { return std::isnan(z); });
    s.wide = QUOR_X86_SIMD ? active_kernel() : Kernel::portable;
    return s;
}

/// 4096 levels of width r2_max / 4095: entry j is the bin holding r2_max * (j / 4095).
/// An infinite r2_max gives the levels no value; callers reject it before counting.
/// Entry 4095 stands for r2_max itself, one past the last bin; a group reaches it only
/// when m * table_scale rounds up for some m just below r2_max, so it goes to the last
/// bin rather than being lost.
void build_bin_table(NpointSetup &s) {
    const double *first = s.r2_edges.data();
    const double *last = first + s.r2_edges.size();
    if (std::isinf(s.r2_max)) throw std::invalid_argument("the last edge of r_bins must have a finite square");
    for (int j = 0; j < TABLE_SIZE; ++j) {
        const double v = s.r2_max * (static_cast<double>(j) / 4095.0);
        // Number of squared edges <= v; a NaN v has none.
        const int64_t below = std::partition_point(first, last, [v](double e) { return e <= v; }) - first;
        s.bin_table[j] = static_cast<int32_t>(std::min(below - 1, s.n_r - 1));
    }
    s.table_scale = 4095.0 / s.r2_max;
}

/// A type passed as a value, to pick a template's type argument at run time.
template <class T>
struct Tag {
    using type = T;
};

/// Calls f(wrap, fallback, candidate) with the two switches as compile-time constants and
/// the candidate record of the count (RegionCandidate by region, else Candidate) as a Tag.
template <class F>
void with_modes(const NpointSetup &s, bool regioned, F &&f);

/// Private histogram of one piece of a sweep.
struct HistAcc {
    std::vector<double> hist;

    void merge(const HistAcc &right) {
        const size_t n = std::min(hist.size(), right.hist.size());
        for (size_t k = 0; k < n; ++k) hist[k] = right.hist[k] + hist[k];
    }
};

// ---------------------------------------------------------------------------------------------
// Neighbour gathering, shared by the group kernel and the shape kernel

/// A neighbour of the current anchor: its displacement from the anchor (the image the
/// cell shift gives, or the minimum image in the fallback) and its partition. Only the
/// partition is needed of the neighbour itself, so it is kept instead of its index, with
/// whether the count owns it (always, unless the count is owner-aware).
struct Candidate {
    double dx, dy, dz, d2;
    int32_t pid;
    bool owned;
};

/// A candidate of a count by region, with its region: a separate record, so that a count
/// without regions moves no more bytes per neighbour than before.
struct RegionCandidate : Candidate {
    int32_t region;
};

template <class C>
constexpr bool has_region = std::is_same_v<C, RegionCandidate>;

template <class F>
void with_modes(const NpointSetup &s, bool regioned, F &&f) {
    auto with_wrap = [&](auto candidate) {
        if (s.fallback)
            f(std::true_type{}, std::true_type{}, candidate);
        else if (s.wrap_pairs)
            f(std::true_type{}, std::false_type{}, candidate);
        else
            f(std::false_type{}, std::false_type{}, candidate);
    };
    if (regioned)
        with_wrap(Tag<RegionCandidate>{});
    else
        with_wrap(Tag<Candidate>{});
}

/// The record of neighbour k of the columns at displacement (dx, dy, dz), d2 away.
template <class C>
C candidate_of(const CellColumns &cols, uint64_t k, double dx, double dy, double dz, double d2) {
    if constexpr (has_region<C>)
        return {{dx, dy, dz, d2, cols.pids[k], cols.owned(k)}, cols.regions[k]};
    else
        return {dx, dy, dz, d2, cols.pids[k], cols.owned(k)};
}

/// The candidates of the current anchor. The buffer only grows, so once it has reached
/// the largest neighbourhood seen no anchor allocates; records past `size` are scratch.
template <class C>
struct CandidateList {
    std::vector<C> buf = std::vector<C>(INITIAL_CANDIDATES);
    size_t size = 0;
    /// Scratch of the triplet scan: the partners q of one candidate p that pass, and
    /// their squared p-q separations.
    std::vector<uint64_t> hits;
    std::vector<double> hit_accs;
    /// Scratch of the wide gathering: the neighbours of one run that pass, as columns.
    std::vector<uint64_t> kept;
    std::vector<double> kept_dx, kept_dy, kept_dz, kept_d2;
    /// The candidates' displacements and ownership as columns, for the wide scan.
    std::vector<double> dxs, dys, dzs, d2s;
    std::vector<uint8_t> owned;

    /// The buffer, with room for `extra` records past the first `used`.
    C *room(size_t used, size_t extra) {
        if (buf.size() - used < extra) buf.resize(std::max(2 * buf.size(), used + extra));
        return buf.data();
    }
};

/// A stretch of the columns to gather from, with the periodic shift of its cells, and
/// the first entry not below the previous anchor's z window.
struct Run {
    uint64_t lo, hi;
    double sx, sy, sz;
    uint64_t first;
};

/// The 27 cells around cell c (ox outermost, oz innermost, each -1, 0, +1), as runs of
/// the columns. Away from the z faces the three cells of a column are adjacent in the
/// columns and, since a cell's z coordinate never decreases with z, form one run in
/// ascending z: they are taken as one run, which changes nothing but the number of window
/// searches. A NaN z sorts last in its cell and breaks that order, so a catalogue holding
/// one keeps the cells apart.
int neighbour_runs(const NpointSetup &s, uint64_t c, Run *runs) {
    const CellList &grid = s.data.grid;
    const uint64_t *start = grid.cell_start.data();
    const double box = s.data.box_size;
    const CellCoord cc = grid.coord_of(c);
    // Periodic step along one axis: the neighbour's coordinate and the shift of the step.
    auto step = [box](uint64_t i, int o, uint64_t n, double &shift) {
        shift = 0.0;
        if (o < 0 && i == 0) {
            shift = -box;
            return n - 1;
        }
        if (o > 0 && i == n - 1) {
            shift = box;
            return uint64_t{0};
        }
        return o < 0 ? i - 1 : i + static_cast<uint64_t>(o);
    };
    const bool whole_column = s.z_ordered && cc.iz > 0 && cc.iz + 1 < grid.cells_z;
    int n = 0;
    for (int ox = -1; ox <= 1; ++ox) {
        double sx;
        const uint64_t nx = step(cc.ix, ox, grid.cells_xy, sx);
        for (int oy = -1; oy <= 1; ++oy) {
            double sy;
            const uint64_t ny = step(cc.iy, oy, grid.cells_xy, sy);
            const uint64_t column = (nx * grid.cells_xy + ny) * grid.cells_z;
            if (whole_column) {
                const uint64_t lo = start[column + cc.iz - 1], hi = start[column + cc.iz + 2];
                if (lo != hi) runs[n++] = {lo, hi, sx, sy, 0.0, lo};
                continue;
            }
            for (int oz = -1; oz <= 1; ++oz) {
                double sz;
                const uint64_t cell = column + step(cc.iz, oz, grid.cells_z, sz);
                const uint64_t lo = start[cell], hi = start[cell + 1];
                if (lo != hi) runs[n++] = {lo, hi, sx, sy, sz, lo};
            }
        }
    }
    return n;
}

#if QUOR_X86_SIMD
/// The neighbours k in [k, hi) of gather_candidates' windowed loop that it keeps, eight
/// at a time with the same operations lane by lane: the run ends before the first with
/// dz >= w. Their indices and displacements go to the kept columns; returns how many.
QUOR_TARGET_AVX512 uint64_t window_neighbours_avx512(const double *xs, const double *ys, const double *zs,
                                                     const uint64_t *orig, uint64_t k, uint64_t hi,
                                                     const Run &run, double xi, double yi, double zi,
                                                     uint64_t oi, double w, double r2_max, uint64_t *kept,
                                                     double *kx, double *ky, double *kz, double *kd2) {
    const __m512d sx = _mm512_set1_pd(run.sx), sy = _mm512_set1_pd(run.sy), sz = _mm512_set1_pd(run.sz);
    const __m512d x = _mm512_set1_pd(xi), y = _mm512_set1_pd(yi), z = _mm512_set1_pd(zi);
    const __m512d limit = _mm512_set1_pd(r2_max), window = _mm512_set1_pd(w);
    const __m512i later = _mm512_set1_epi64(static_cast<int64_t>(oi));
    const __m512i step = _mm512_set1_epi64(8);
    __m512i index = _mm512_add_epi64(_mm512_set1_epi64(static_cast<int64_t>(k)), _mm512_set_epi64(7, 6, 5, 4, 3, 2, 1, 0));
    uint64_t n = 0;
    for (; k < hi; k += 8, index = _mm512_add_epi64(index, step)) {
        __mmask8 lanes = tail_lanes(hi, k);
        const __m512d dz = _mm512_add_pd(sz, _mm512_sub_pd(_mm512_maskz_loadu_pd(lanes, zs + k), z));
        const __mmask8 beyond = _mm512_mask_cmp_pd_mask(lanes, dz, window, _CMP_GE_OQ);
        if (beyond) lanes &= static_cast<__mmask8>((1u << __builtin_ctz(beyond)) - 1);
        const __m512d dx = _mm512_add_pd(sx, _mm512_sub_pd(_mm512_maskz_loadu_pd(lanes, xs + k), x));
        const __m512d dy = _mm512_add_pd(sy, _mm512_sub_pd(_mm512_maskz_loadu_pd(lanes, ys + k), y));
        const __m512d d2 = _mm512_add_pd(_mm512_add_pd(_mm512_mul_pd(dx, dx), _mm512_mul_pd(dy, dy)),
                                         _mm512_mul_pd(dz, dz));
        __mmask8 keep = _mm512_mask_cmp_pd_mask(lanes, d2, limit, _CMP_LT_OQ);
        keep = _mm512_mask_cmpgt_epu64_mask(keep, _mm512_maskz_loadu_epi64(lanes, orig + k), later);
        _mm512_mask_compressstoreu_epi64(kept + n, keep, index);
        _mm512_mask_compressstoreu_pd(kx + n, keep, dx);
        _mm512_mask_compressstoreu_pd(ky + n, keep, dy);
        _mm512_mask_compressstoreu_pd(kz + n, keep, dz);
        _mm512_mask_compressstoreu_pd(kd2 + n, keep, d2);
        n += static_cast<uint64_t>(__builtin_popcount(keep));
        if (beyond) break;
    }
    return n;
}

/// window_neighbours_avx512 four at a time: masked loads never read past hi.
QUOR_TARGET_AVX2 uint64_t window_neighbours_avx2(const double *xs, const double *ys, const double *zs,
                                                 const uint64_t *orig, uint64_t k, uint64_t hi, const Run &run,
                                                 double xi, double yi, double zi, uint64_t oi, double w,
                                                 double r2_max, uint64_t *kept, double *kx, double *ky,
                                                 double *kz, double *kd2) {
    const __m256d sx = _mm256_set1_pd(run.sx), sy = _mm256_set1_pd(run.sy), sz = _mm256_set1_pd(run.sz);
    const __m256d x = _mm256_set1_pd(xi), y = _mm256_set1_pd(yi), z = _mm256_set1_pd(zi);
    const __m256d limit = _mm256_set1_pd(r2_max), window = _mm256_set1_pd(w);
    // Input rows are below 2^63, so the signed comparison orders them.
    const __m256i later = _mm256_set1_epi64x(static_cast<int64_t>(oi));
    const __m256i step = _mm256_set1_epi64x(4);
    __m256i index = _mm256_add_epi64(_mm256_set1_epi64x(static_cast<int64_t>(k)), _mm256_setr_epi64x(0, 1, 2, 3));
    uint64_t n = 0;
    for (; k < hi; k += 4, index = _mm256_add_epi64(index, step)) {
        const __m256i lanes = lanes_below_avx2(hi, k);
        unsigned mask = static_cast<unsigned>(_mm256_movemask_pd(_mm256_castsi256_pd(lanes)));
        const __m256d dz = _mm256_add_pd(sz, _mm256_sub_pd(_mm256_maskload_pd(zs + k, lanes), z));
        const unsigned beyond =
            mask & static_cast<unsigned>(_mm256_movemask_pd(_mm256_cmp_pd(dz, window, _CMP_GE_OQ)));
        if (beyond) mask &= (1u << __builtin_ctz(beyond)) - 1;
        const __m256d dx = _mm256_add_pd(sx, _mm256_sub_pd(_mm256_maskload_pd(xs + k, lanes), x));
        const __m256d dy = _mm256_add_pd(sy, _mm256_sub_pd(_mm256_maskload_pd(ys + k, lanes), y));
        const __m256d d2 = _mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(dx, dx), _mm256_mul_pd(dy, dy)),
                                         _mm256_mul_pd(dz, dz));
        const __m256i rows = _mm256_maskload_epi64(reinterpret_cast<const long long *>(orig + k), lanes);
        const unsigned keep =
            mask & static_cast<unsigned>(_mm256_movemask_pd(_mm256_cmp_pd(d2, limit, _CMP_LT_OQ))) &
            static_cast<unsigned>(_mm256_movemask_pd(_mm256_castsi256_pd(_mm256_cmpgt_epi64(rows, later))));
        store_packed_avx2(kept + n, index, keep);
        store_packed_avx2(kx + n, dx, keep);
        store_packed_avx2(ky + n, dy, keep);
        store_packed_avx2(kz + n, dz, keep);
        store_packed_avx2(kd2 + n, d2, keep);
        n += static_cast<uint64_t>(__builtin_popcount(keep));
        if (beyond) break;
    }
    return n;
}

/// The wide gathering of variant `wide`.
template <class... Args>
uint64_t window_neighbours(Kernel wide, Args... args) {
    return wide == Kernel::avx512 ? window_neighbours_avx512(args...) : window_neighbours_avx2(args...);
}
#endif

/// Fills `list` with the neighbours of anchor i that have a larger input row and lie
/// within r_max, so that every group is found once, from its member of smallest row.
/// The anchors of a cell come in ascending z, so each run's window start only moves up:
/// advancing it from the previous anchor's finds the partition point a binary search
/// would. Records are written unconditionally and kept by advancing the length, which
/// spares two unpredictable branches per neighbour.
template <bool Fallback, class C>
void gather_candidates(const NpointSetup &s, Run *runs, int n_runs, uint64_t i, CandidateList<C> &list) {
    const CellColumns &cols = s.data.cols;
    const double *xs = cols.xs.data(), *ys = cols.ys.data(), *zs = cols.zs.data();
    const uint64_t *orig = cols.orig_index.data();
    const double box = s.data.box_size, half = s.data.half_box;
    const double r2_max = s.r2_max;
    const double w = std::fabs(s.r_max);  // d2 < r2_max needs |dz| < |r_max|
    const double xi = xs[i], yi = ys[i], zi = zs[i];
    const uint64_t oi = orig[i];

    size_t n = 0;
    for (int r = 0; r < n_runs; ++r) {
        Run &run = runs[r];
        if (Fallback) {
            C *out = list.room(n, run.hi - run.lo);
            for (uint64_t k = run.lo; k < run.hi; ++k) {
                const double dx = min_image(xs[k] - xi, box, half);
                const double dy = min_image(ys[k] - yi, box, half);
                const double dz = min_image(zs[k] - zi, box, half);
                const double d2 = (dx * dx + dy * dy) + dz * dz;
                out[n] = candidate_of<C>(cols, k, dx, dy, dz, d2);
                n += (orig[k] > oi) & (d2 < r2_max);
            }
        } else {
            // The window is cut on dz as computed for the candidate (see pair_kernel).
            uint64_t k = run.first;
            while (k < run.hi && run.sz + (zs[k] - zi) <= -w) ++k;
            run.first = k;
            C *out = list.room(n, run.hi - k);
#if QUOR_X86_SIMD
            if (s.wide != Kernel::portable) {
                if (list.kept.size() < run.hi - k + WIDE_SLACK) {
                    const size_t room = std::max<size_t>(2 * list.kept.size(), run.hi - k + WIDE_SLACK);
                    for (auto *v : {&list.kept_dx, &list.kept_dy, &list.kept_dz, &list.kept_d2}) v->resize(room);
                    list.kept.resize(room);
                }
                const uint64_t n_kept = window_neighbours(
                    s.wide, xs, ys, zs, orig, k, run.hi, run, xi, yi, zi, oi, w, r2_max, list.kept.data(),
                    list.kept_dx.data(), list.kept_dy.data(), list.kept_dz.data(), list.kept_d2.data());
                for (uint64_t t = 0; t < n_kept; ++t)
                    out[n++] = candidate_of<C>(cols, list.kept[t], list.kept_dx[t], list.kept_dy[t],
                                               list.kept_dz[t], list.kept_d2[t]);
                continue;
            }
#endif
            for (; k < run.hi; ++k) {
                const double dz = run.sz + (zs[k] - zi);
                if (dz >= w) break;
                const double dx = run.sx + (xs[k] - xi);
                const double dy = run.sy + (ys[k] - yi);
                const double d2 = (dx * dx + dy * dy) + dz * dz;
                out[n] = candidate_of<C>(cols, k, dx, dy, dz, d2);
                n += (orig[k] > oi) & (d2 < r2_max);
            }
        }
    }
    list.size = n;
}

/// Runs `per_anchor(i)` for every galaxy i of cell c after gathering its candidates.
template <bool Fallback, class C, class PerAnchor>
void for_each_anchor(const NpointSetup &s, uint64_t c, CandidateList<C> &list, PerAnchor &&per_anchor) {
    const uint64_t lo = s.data.grid.cell_start[c], hi = s.data.grid.cell_start[c + 1];
    if (lo == hi) return;
    Run runs[27];
    const int n_runs = neighbour_runs(s, c, runs);
    for (uint64_t i = lo; i < hi; ++i) {
        gather_candidates<Fallback>(s, runs, n_runs, i, list);
        per_anchor(i);
    }
}

// ---------------------------------------------------------------------------------------------
// Triplets: one acceptance test for the group counts and the shape counts

#if QUOR_X86_SIMD
/// The partners q in [q0, n) of a candidate at displacement (px, py, pz) that pass the
/// triplet scan's three tests (a NaN fails none), when `p_owned` or q is owned: their
/// indices and squared separations from it go to hits and accs; returns how many.
/// Without the fold, the tests of the scalar scan for eight partners at a time, lane by
/// lane the same operations.
QUOR_TARGET_AVX512 uint64_t passing_partners_avx512(const double *dxs, const double *dys, const double *dzs,
                                                    const uint8_t *owned, uint64_t q0, uint64_t n, double px,
                                                    double py, double pz, bool p_owned, double r2_max,
                                                    uint64_t *hits, double *accs) {
    const __m512d x = _mm512_set1_pd(px), y = _mm512_set1_pd(py), z = _mm512_set1_pd(pz);
    const __m512d limit = _mm512_set1_pd(r2_max);
    const __m512i step = _mm512_set1_epi64(8);
    __m512i index = _mm512_add_epi64(_mm512_set1_epi64(static_cast<int64_t>(q0)),
                                     _mm512_set_epi64(7, 6, 5, 4, 3, 2, 1, 0));
    uint64_t n_hits = 0;
    for (uint64_t q = q0; q < n; q += 8, index = _mm512_add_epi64(index, step)) {
        __mmask8 lanes = tail_lanes(n, q);
        if (!p_owned) lanes &= _mm_cmpneq_epi8_mask(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(owned + q)),
                                                    _mm_setzero_si128());
        const __m512d dz = _mm512_sub_pd(_mm512_maskz_loadu_pd(lanes, dzs + q), z);
        const __m512d dy = _mm512_sub_pd(_mm512_maskz_loadu_pd(lanes, dys + q), y);
        const __m512d dx = _mm512_sub_pd(_mm512_maskz_loadu_pd(lanes, dxs + q), x);
        const __m512d dz2 = _mm512_mul_pd(dz, dz);
        const __m512d across = _mm512_add_pd(_mm512_mul_pd(dy, dy), dz2);
        const __m512d acc = _mm512_add_pd(across, _mm512_mul_pd(dx, dx));
        __mmask8 pass = _mm512_mask_cmp_pd_mask(lanes, dz2, limit, _CMP_NGE_UQ);
        pass = _mm512_mask_cmp_pd_mask(pass, across, limit, _CMP_NGE_UQ);
        pass = _mm512_mask_cmp_pd_mask(pass, acc, limit, _CMP_NGE_UQ);
        _mm512_mask_compressstoreu_epi64(hits + n_hits, pass, index);
        _mm512_mask_compressstoreu_pd(accs + n_hits, pass, acc);
        n_hits += static_cast<uint64_t>(__builtin_popcount(pass));
    }
    return n_hits;
}

/// max_ignore_nan lane by lane.
QUOR_TARGET_AVX512 inline __m512d max_ignore_nan_avx512(__m512d a, __m512d b) {
    __m512d m = _mm512_mask_blend_pd(_mm512_cmp_pd_mask(a, b, _CMP_LT_OQ), a, b);
    m = _mm512_mask_mov_pd(m, _mm512_cmp_pd_mask(b, b, _CMP_UNORD_Q), a);
    return _mm512_mask_mov_pd(m, _mm512_cmp_pd_mask(a, a, _CMP_UNORD_Q), b);
}

/// The candidates q in [q0, n) that complete a group as its last member, eight at a
/// time: with the members before it at `offsets` [0, n_members), the group's largest
/// squared separation so far `m_before`, the tests and the running largest separation
/// of extend_group lane by lane. Their indices and largest separations go to hits and
/// ms; returns how many.
QUOR_TARGET_AVX512 uint64_t last_members_avx512(const double *dxs, const double *dys, const double *dzs,
                                                const double *d2s, uint64_t q0, uint64_t n,
                                                const std::array<double, 3> *offsets, uint64_t n_members,
                                                double m_before, double r2_max, uint64_t *hits, double *ms) {
    const __m512d limit = _mm512_set1_pd(r2_max), before = _mm512_set1_pd(m_before);
    const __m512i step = _mm512_set1_epi64(8);
    __m512i index = _mm512_add_epi64(_mm512_set1_epi64(static_cast<int64_t>(q0)),
                                     _mm512_set_epi64(7, 6, 5, 4, 3, 2, 1, 0));
    uint64_t n_hits = 0;
    for (uint64_t q = q0; q < n; q += 8, index = _mm512_add_epi64(index, step)) {
        const __mmask8 lanes = tail_lanes(n, q);
        const __m512d cx = _mm512_maskz_loadu_pd(lanes, dxs + q), cy = _mm512_maskz_loadu_pd(lanes, dys + q),
                      cz = _mm512_maskz_loadu_pd(lanes, dzs + q);
        __m512d m = max_ignore_nan_avx512(before, _mm512_maskz_loadu_pd(lanes, d2s + q));
        __mmask8 pass = _mm512_mask_cmp_pd_mask(lanes, m, limit, _CMP_NGE_UQ);
        for (uint64_t t = 0; t < n_members && pass; ++t) {
            const __m512d ex = _mm512_sub_pd(cx, _mm512_set1_pd(offsets[t][0]));
            const __m512d ey = _mm512_sub_pd(cy, _mm512_set1_pd(offsets[t][1]));
            const __m512d ez = _mm512_sub_pd(cz, _mm512_set1_pd(offsets[t][2]));
            const __m512d e2 = _mm512_add_pd(_mm512_add_pd(_mm512_mul_pd(ex, ex), _mm512_mul_pd(ey, ey)),
                                             _mm512_mul_pd(ez, ez));
            pass = _mm512_mask_cmp_pd_mask(pass, e2, limit, _CMP_NGE_UQ);
            m = max_ignore_nan_avx512(m, e2);
        }
        _mm512_mask_compressstoreu_epi64(hits + n_hits, pass, index);
        _mm512_mask_compressstoreu_pd(ms + n_hits, pass, m);
        n_hits += static_cast<uint64_t>(__builtin_popcount(pass));
    }
    return n_hits;
}

/// passing_partners_avx512 four at a time: masked loads never read past n (the
/// ownership bytes have room past it).
QUOR_TARGET_AVX2 uint64_t passing_partners_avx2(const double *dxs, const double *dys, const double *dzs,
                                                const uint8_t *owned, uint64_t q0, uint64_t n, double px,
                                                double py, double pz, bool p_owned, double r2_max,
                                                uint64_t *hits, double *accs) {
    const __m256d x = _mm256_set1_pd(px), y = _mm256_set1_pd(py), z = _mm256_set1_pd(pz);
    const __m256d limit = _mm256_set1_pd(r2_max);
    const __m256i step = _mm256_set1_epi64x(4);
    __m256i index = _mm256_add_epi64(_mm256_set1_epi64x(static_cast<int64_t>(q0)), _mm256_setr_epi64x(0, 1, 2, 3));
    uint64_t n_hits = 0;
    for (uint64_t q = q0; q < n; q += 4, index = _mm256_add_epi64(index, step)) {
        const __m256i lanes = lanes_below_avx2(n, q);
        unsigned mask = static_cast<unsigned>(_mm256_movemask_pd(_mm256_castsi256_pd(lanes)));
        if (!p_owned) {
            int32_t four;
            std::memcpy(&four, owned + q, sizeof four);
            const __m128i zero = _mm_cmpeq_epi8(_mm_cvtsi32_si128(four), _mm_setzero_si128());
            mask &= ~static_cast<unsigned>(_mm_movemask_epi8(zero)) & 0xFu;
        }
        const __m256d dz = _mm256_sub_pd(_mm256_maskload_pd(dzs + q, lanes), z);
        const __m256d dy = _mm256_sub_pd(_mm256_maskload_pd(dys + q, lanes), y);
        const __m256d dx = _mm256_sub_pd(_mm256_maskload_pd(dxs + q, lanes), x);
        const __m256d dz2 = _mm256_mul_pd(dz, dz);
        const __m256d across = _mm256_add_pd(_mm256_mul_pd(dy, dy), dz2);
        const __m256d acc = _mm256_add_pd(across, _mm256_mul_pd(dx, dx));
        const __m256d fails = _mm256_or_pd(_mm256_or_pd(_mm256_cmp_pd(dz2, limit, _CMP_GE_OQ),
                                                        _mm256_cmp_pd(across, limit, _CMP_GE_OQ)),
                                           _mm256_cmp_pd(acc, limit, _CMP_GE_OQ));
        const unsigned pass = mask & ~static_cast<unsigned>(_mm256_movemask_pd(fails));
        store_packed_avx2(hits + n_hits, index, pass);
        store_packed_avx2(accs + n_hits, acc, pass);
        n_hits += static_cast<uint64_t>(__builtin_popcount(pass));
    }
    return n_hits;
}

/// max_ignore_nan lane by lane.
QUOR_TARGET_AVX2 inline __m256d max_ignore_nan_avx2(__m256d a, __m256d b) {
    __m256d m = _mm256_blendv_pd(a, b, _mm256_cmp_pd(a, b, _CMP_LT_OQ));
    m = _mm256_blendv_pd(m, a, _mm256_cmp_pd(b, b, _CMP_UNORD_Q));
    return _mm256_blendv_pd(m, b, _mm256_cmp_pd(a, a, _CMP_UNORD_Q));
}

/// last_members_avx512 four at a time.
QUOR_TARGET_AVX2 uint64_t last_members_avx2(const double *dxs, const double *dys, const double *dzs,
                                            const double *d2s, uint64_t q0, uint64_t n,
                                            const std::array<double, 3> *offsets, uint64_t n_members,
                                            double m_before, double r2_max, uint64_t *hits, double *ms) {
    const __m256d limit = _mm256_set1_pd(r2_max), before = _mm256_set1_pd(m_before);
    const __m256i step = _mm256_set1_epi64x(4);
    __m256i index = _mm256_add_epi64(_mm256_set1_epi64x(static_cast<int64_t>(q0)), _mm256_setr_epi64x(0, 1, 2, 3));
    uint64_t n_hits = 0;
    for (uint64_t q = q0; q < n; q += 4, index = _mm256_add_epi64(index, step)) {
        const __m256i lanes = lanes_below_avx2(n, q);
        const __m256d cx = _mm256_maskload_pd(dxs + q, lanes), cy = _mm256_maskload_pd(dys + q, lanes),
                      cz = _mm256_maskload_pd(dzs + q, lanes);
        __m256d m = max_ignore_nan_avx2(before, _mm256_maskload_pd(d2s + q, lanes));
        unsigned pass = static_cast<unsigned>(_mm256_movemask_pd(_mm256_castsi256_pd(lanes))) &
                        ~static_cast<unsigned>(_mm256_movemask_pd(_mm256_cmp_pd(m, limit, _CMP_GE_OQ)));
        for (uint64_t t = 0; t < n_members && pass; ++t) {
            const __m256d ex = _mm256_sub_pd(cx, _mm256_set1_pd(offsets[t][0]));
            const __m256d ey = _mm256_sub_pd(cy, _mm256_set1_pd(offsets[t][1]));
            const __m256d ez = _mm256_sub_pd(cz, _mm256_set1_pd(offsets[t][2]));
            const __m256d e2 = _mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(ex, ex), _mm256_mul_pd(ey, ey)),
                                             _mm256_mul_pd(ez, ez));
            pass &= ~static_cast<unsigned>(_mm256_movemask_pd(_mm256_cmp_pd(e2, limit, _CMP_GE_OQ)));
            m = max_ignore_nan_avx2(m, e2);
        }
        store_packed_avx2(hits + n_hits, index, pass);
        store_packed_avx2(ms + n_hits, m, pass);
        n_hits += static_cast<uint64_t>(__builtin_popcount(pass));
    }
    return n_hits;
}

/// The wide triplet scan and last-member scan of variant `wide`.
template <class... Args>
uint64_t passing_partners(Kernel wide, Args... args) {
    return wide == Kernel::avx512 ? passing_partners_avx512(args...) : passing_partners_avx2(args...);
}
template <class... Args>
uint64_t last_members(Kernel wide, Args... args) {
    return wide == Kernel::avx512 ? last_members_avx512(args...) : last_members_avx2(args...);
}
#endif

/// The candidates' displacements and ownership copied into list's columns.
template <class C>
void fill_columns(CandidateList<C> &list) {
    const size_t n = list.size;
    // One spare byte of ownership per lane: the wide scan loads eight at a time.
    if (list.dxs.size() < n) {
        list.dxs.resize(n);
        list.dys.resize(n);
        list.dzs.resize(n);
        list.d2s.resize(n);
        list.owned.resize(n + 8);
    }
    const C *cand = list.buf.data();
    for (size_t k = 0; k < n; ++k) {
        list.dxs[k] = cand[k].dx;
        list.dys[k] = cand[k].dy;
        list.dzs[k] = cand[k].dz;
        list.d2s[k] = cand[k].d2;
        list.owned[k] = cand[k].owned;
    }
}

/// For every pair p < q of candidates forming a triplet with the anchor whose three
/// separations are below r_max and whose largest has a bin, calls
/// on(p, q, acc, m, bin, row): acc is the squared p-q separation, m the largest squared
/// separation, row the number of distinct partitions minus one. A triplet of ghosts alone
/// (no member owned, `anchor_owned` included) is skipped. The partial sums run
/// z, then y, then x; both counters depend on this one order for their sums to agree.
template <bool Wrap, class C, class OnTriplet>
void for_each_triplet(const NpointSetup &s, int32_t anchor_pid, bool anchor_owned,
                      CandidateList<C> &list, OnTriplet &&on) {
    const double box = s.data.box_size, half = s.data.half_box, r2_max = s.r2_max;
    const size_t n = list.size;
    const C *cand = list.buf.data();
    if (list.hits.size() < n + WIDE_SLACK) {
        list.hits.resize(n + WIDE_SLACK);
        list.hit_accs.resize(n + WIDE_SLACK);
    }
    uint64_t *hits = list.hits.data();
    double *hit_accs = list.hit_accs.data();
    const bool wide = !Wrap && s.wide != Kernel::portable;
    if (wide) fill_columns(list);
    const CountControl *ctl = current_control();
    for (size_t p = 0; p < n; ++p) {
        check_cancelled(ctl);  // once per row of the O(n^2) pair scan
        const C &P = cand[p];
        const bool p_owned = anchor_owned || P.owned;
        // First the partners that pass, without a branch per partner: whether a pair
        // of a dense clump passes is a coin toss. Each of the three tests rejects as
        // the partial sums are built (a NaN rejects nothing), so a partner passes when
        // none of them would have rejected it; the ghosts' triplets belong to another
        // slab's count.
        uint64_t n_hits = 0;
#if QUOR_X86_SIMD
        if (wide)
            n_hits = passing_partners(s.wide, list.dxs.data(), list.dys.data(), list.dzs.data(), list.owned.data(),
                                             p + 1, n, P.dx, P.dy, P.dz, p_owned, r2_max, hits, hit_accs);
#endif
        for (size_t q = p + 1; q < n && !wide; ++q) {
            const C &Q = cand[q];
            double dz = Q.dz - P.dz, dy = Q.dy - P.dy, dx = Q.dx - P.dx;
            if (Wrap) {
                dz = min_image(dz, box, half);
                dy = min_image(dy, box, half);
                dx = min_image(dx, box, half);
            }
            const double across = dy * dy + dz * dz;
            const double acc = across + dx * dx;
            const bool passes = !(dz * dz >= r2_max) & !(across >= r2_max) & !(acc >= r2_max) &
                                (p_owned | Q.owned);
            hits[n_hits] = q;
            hit_accs[n_hits] = acc;
            n_hits += passes;
        }
        for (uint64_t t = 0; t < n_hits; ++t) {
            const C &Q = cand[hits[t]];
            const double acc = hit_accs[t];
            const double m = max_ignore_nan(max_ignore_nan(P.d2, Q.d2), acc);
            const int32_t b = s.table_bin(m);
            if (b < 0) continue;
            const int32_t a = anchor_pid, u = P.pid, v = Q.pid;
            const int row = (a == u && u == v) ? 0 : (a == u || a == v || u == v) ? 1 : 2;
            on(P, Q, acc, m, b, row);
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Groups of any other size

/// Group-kernel state of one piece: the histogram (min(n_order, 8) rows; the rest are
/// always zero), then with regions one more block of it per region, and scratch that
/// keeps its capacity from anchor to anchor.
template <class C>
struct GroupAcc : HistAcc {
    CandidateList<C> list;
    /// Per depth d (slot d of the group being built): the next candidate to try, the
    /// largest squared separation among slots 0 .. d-1, and slot d's choice.
    std::vector<size_t> cursor;
    std::vector<double> m_before;
    std::vector<std::array<double, 3>> offset;
    std::vector<int32_t> member_pid;
    std::vector<int32_t> member_region;
    std::vector<uint8_t> member_owned;
};

/// Number of distinct values among `pids[0 .. n)`, counted up to 8.
uint64_t distinct_partitions(const int32_t *pids, uint64_t n) {
    int32_t tally[MAX_TALLY];
    uint64_t size = 0;
    for (uint64_t t = 0; t < n && size < MAX_TALLY; ++t) {
        const int32_t v = pids[t];
        bool seen = false;
        for (uint64_t k = 0; k < size && !seen; ++k) seen = tally[k] == v;
        if (!seen) tally[size++] = v;
    }
    return size;
}

/* A count by region keeps, after its histogram of `block` entries, one block per region:
   block 1 + k holds the groups with at least one member in region k. A group adds one to
   the same entry `at` of the block of each distinct region among its members, once per
   region however many of its members lie there. */

/// One triplet whose members lie in regions a, u and v.
inline void add_triplet_regions(double *hist, uint64_t block, uint64_t at, int32_t a, int32_t u, int32_t v) {
    double *entry = hist + block + at;  // block 1 + 0
    entry[static_cast<uint64_t>(a) * block] += 1.0;
    if (u != a) entry[static_cast<uint64_t>(u) * block] += 1.0;
    if (v != a && v != u) entry[static_cast<uint64_t>(v) * block] += 1.0;
}

/// One group whose n members lie in regions[0 .. n).
inline void add_group_regions(double *hist, uint64_t block, uint64_t at, const int32_t *regions, uint64_t n) {
    double *entry = hist + block + at;
    for (uint64_t t = 0; t < n; ++t) {
        bool seen = false;
        for (uint64_t u = 0; u < t && !seen; ++u) seen = regions[u] == regions[t];
        if (!seen) entry[static_cast<uint64_t>(regions[t]) * block] += 1.0;
    }
}

/// Every group of n_order >= 3 members led by the anchor: slot 0 is the anchor, slots
/// 1 .. n_order - 1 candidates in increasing list position. Depth-first with an explicit
/// stack rather than recursion, since n_order may be as deep as the candidate list.
/// `block` is the histogram's length without regions (see add_group_regions).
template <bool Wrap, class C>
void extend_group(const NpointSetup &s, uint64_t n_order, uint64_t i, uint64_t block, GroupAcc<C> &acc) {
    const C *list = acc.list.buf.data();
    const size_t n_list = acc.list.size;
    const uint64_t last = n_order - 1;  // deepest slot
    if (n_list < last) return;           // too few neighbours for any group
    if (acc.cursor.size() < n_order) {   // n_order <= n_list + 1 here: bounded by N
        acc.cursor.resize(n_order);
        acc.m_before.resize(n_order);
        acc.offset.resize(n_order);
        acc.member_pid.resize(n_order);
        acc.member_owned.resize(n_order);
        if constexpr (has_region<C>) acc.member_region.resize(n_order);
    }
    size_t *cursor = acc.cursor.data();
    double *m_before = acc.m_before.data();
    std::array<double, 3> *offset = acc.offset.data();
    int32_t *member_pid = acc.member_pid.data();
    int32_t *member_region = acc.member_region.data();
    uint8_t *member_owned = acc.member_owned.data();
    const double box = s.data.box_size, half = s.data.half_box, r2_max = s.r2_max;
    const int64_t n_r = s.n_r;
    double *hist = acc.hist.data();
    const bool anchor_owned = s.data.cols.owned(i);

    const CountControl *ctl = current_control();
    uint32_t until_check = STEPS_PER_STOP_CHECK;

    // The group of the members now in its slots, m its largest squared separation. A
    // group of ghosts alone belongs to another slab's count.
    auto count_group = [&](double m) {
        if (!anchor_owned &&
            std::none_of(member_owned + 1, member_owned + n_order, [](uint8_t o) { return o != 0; }))
            return;
        const int32_t b = s.table_bin(m);
        if (b < 0) return;
        const uint64_t at = (distinct_partitions(member_pid, n_order) - 1) * n_r + b;
        hist[at] += 1.0;
        if constexpr (has_region<C>) add_group_regions(hist, block, at, member_region, n_order);
    };
#if QUOR_X86_SIMD
    const bool wide = !Wrap && s.wide != Kernel::portable;
    if (wide) {
        fill_columns(acc.list);
        if (acc.list.hits.size() < n_list + WIDE_SLACK) {
            acc.list.hits.resize(n_list + WIDE_SLACK);
            acc.list.hit_accs.resize(n_list + WIDE_SLACK);
        }
    }
    uint64_t *hits = acc.list.hits.data();
    double *hit_ms = acc.list.hit_accs.data();
#endif

    member_pid[0] = s.data.cols.pids[i];
    member_owned[0] = anchor_owned;
    if constexpr (has_region<C>) member_region[0] = s.data.cols.regions[i];
    uint64_t d = 1;
    cursor[1] = 0;
    m_before[1] = 0.0;
    while (d > 0) {
        if (--until_check == 0) {
            until_check = STEPS_PER_STOP_CHECK;
            check_cancelled(ctl);
        }
        // Slots d .. last still need last - d + 1 candidates from cursor[d] on; a
        // branch that cannot fill them holds no group.
        if (cursor[d] + (last - d + 1) > n_list) {
            --d;
            continue;
        }
#if QUOR_X86_SIMD
        if (wide && d == last) {
            // Every candidate left completes the group or not on its own: all at once.
            const uint64_t n_hits = last_members(s.wide, acc.list.dxs.data(), acc.list.dys.data(), acc.list.dzs.data(),
                                                        acc.list.d2s.data(), cursor[d], n_list, offset + 1, d - 1,
                                                        m_before[d], r2_max, hits, hit_ms);
            cursor[d] = n_list;
            for (uint64_t t = 0; t < n_hits; ++t) {
                const C &cand = list[hits[t]];
                member_pid[d] = cand.pid;
                member_owned[d] = cand.owned;
                if constexpr (has_region<C>) member_region[d] = cand.region;
                count_group(hit_ms[t]);
            }
            continue;
        }
#endif
        const C &cand = list[cursor[d]++];
        double m = max_ignore_nan(m_before[d], cand.d2);
        if (m >= r2_max) continue;
        bool inside = true;
        for (uint64_t t = 1; t < d; ++t) {
            double ex = cand.dx - offset[t][0];
            double ey = cand.dy - offset[t][1];
            double ez = cand.dz - offset[t][2];
            if (Wrap) {
                ex = min_image(ex, box, half);
                ey = min_image(ey, box, half);
                ez = min_image(ez, box, half);
            }
            const double e2 = (ex * ex + ey * ey) + ez * ez;
            if (e2 >= r2_max) {
                inside = false;
                break;
            }
            m = max_ignore_nan(m, e2);
        }
        if (!inside) continue;
        member_pid[d] = cand.pid;
        member_owned[d] = cand.owned;
        if constexpr (has_region<C>) member_region[d] = cand.region;
        if (d == last) {
            count_group(m);
            continue;
        }
        offset[d] = {cand.dx, cand.dy, cand.dz};
        ++d;
        cursor[d] = cursor[d - 1];
        m_before[d] = m;
    }
}

/// One piece's step of the group counts for cell c; `block` as for extend_group.
template <bool Wrap, bool Fallback, class C>
void group_kernel(const NpointSetup &s, uint64_t n_order, uint64_t c, uint64_t block, GroupAcc<C> &acc) {
    const CellColumns &cols = s.data.cols;
    const int32_t *pids = cols.pids.data();
    const int64_t n_r = s.n_r;
    double *hist = acc.hist.data();
    if (n_order == 1) {
        // Each owned galaxy alone, at separation 0: no neighbours needed.
        const uint64_t lo = s.data.grid.cell_start[c], hi = s.data.grid.cell_start[c + 1];
        uint64_t n = hi - lo;
        if (!cols.owned_xs.empty())
            for (uint64_t i = lo; i < hi; ++i) n -= !cols.owned(i);
        const int32_t b = s.table_bin(0.0);
        if (b < 0) return;
        hist[b] += static_cast<double>(n);
        if constexpr (has_region<C>) {
            for (uint64_t i = lo; i < hi; ++i)
                if (cols.owned(i)) hist[(1 + static_cast<uint64_t>(cols.regions[i])) * block + b] += 1.0;
        }
        return;
    }
    if (n_order == 3) {
        for_each_anchor<Fallback>(s, c, acc.list, [&](uint64_t i) {
            const int32_t region = has_region<C> ? cols.regions[i] : 0;
            for_each_triplet<Wrap>(s, pids[i], cols.owned(i), acc.list,
                                   [hist, n_r, block, region](const C &P, const C &Q, double, double, int32_t b, int row) {
                                       const uint64_t at = row * n_r + b;
                                       hist[at] += 1.0;
                                       if constexpr (has_region<C>)
                                           add_triplet_regions(hist, block, at, region, P.region, Q.region);
                                   });
        });
    } else {
        for_each_anchor<Fallback>(s, c, acc.list,
                                  [&](uint64_t i) { extend_group<Wrap>(s, n_order, i, block, acc); });
    }
}

/// Sum of the rows of a row-major rows x cols histogram, row by row in order.
std::vector<double> column_sums(const double *hist, uint64_t rows, uint64_t cols) {
    std::vector<double> total(cols, 0.0);
    for (uint64_t r = 0; r < rows; ++r)
        for (uint64_t b = 0; b < cols; ++b) total[b] = total[b] + hist[r * cols + b];
    return total;
}

/// The result of a count by region, allocated before counting: n_regions blocks of
/// counts_by_s's size, zeroed.
void allocate_removed(NpointCounts &out, const GroupRegions &regions) {
    out.n_regions = regions.n_regions;
    if (regions.regioned())
        out.removed_by_s.assign(checked_elements(regions.n_regions, out.counts_by_s.values.size()), 0.0);
}

/// Moves the counted histogram (`kept` rows of counts_by_s, then with regions one such
/// block per region) into `out`, with the column sums of every block.
void take_hist(NpointCounts &out, const std::vector<double> &hist, uint64_t kept) {
    const uint64_t cols = out.counts_by_s.cols;
    const uint64_t block = kept * cols, stride = out.counts_by_s.values.size();
    if (!hist.empty()) std::copy(hist.begin(), hist.begin() + static_cast<ptrdiff_t>(block), out.counts_by_s.values.begin());
    out.counts_total = column_sums(out.counts_by_s.values.data(), kept, cols);
    if (out.n_regions == 0) return;
    out.removed_total.reserve(out.n_regions * cols);
    for (uint64_t k = 0; k < out.n_regions; ++k) {
        double *to = out.removed_by_s.data() + k * stride;
        if (!hist.empty()) {
            const auto from = hist.begin() + static_cast<ptrdiff_t>((1 + k) * block);
            std::copy(from, from + static_cast<ptrdiff_t>(block), to);
        }
        const std::vector<double> total = column_sums(to, kept, cols);
        out.removed_total.insert(out.removed_total.end(), total.begin(), total.end());
    }
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Drivers

NpointCounts npoint_counts(const StridedMatrix &coords, const PartitionIds &ids, const Edges &r_bins,
                           double box_size, uint64_t n_order, const OwnerSlab *owner, const GroupRegions &regions) {
    if (r_bins.size < 1) throw std::invalid_argument("r_bins must hold at least one edge");
    if (n_order == 0 && coords.rows > 0) throw std::invalid_argument("n_order must be at least 1");
    const uint64_t n_r = static_cast<uint64_t>(r_bins.size - 1);
    const uint64_t rows = n_order == 2 ? 2 : n_order;
    const uint64_t kept = std::min(rows, MAX_TALLY);  // rows that can hold a group

    // The result is allocated first, so a size that cannot be met fails before counting.
    NpointCounts out;
    out.counts_by_s.rows = rows;
    out.counts_by_s.cols = n_r;
    out.counts_by_s.values.assign(checked_elements(rows, n_r), 0.0);
    allocate_removed(out, regions);
    const uint64_t piece_len = checked_elements(kept, n_r);
    const uint64_t hist_len = checked_elements(piece_len, 1 + regions.n_regions);

    std::vector<double> hist;
    if (coords.rows > 0 && piece_len > 0) {
        NpointSetup s = prepare(coords, ids, r_bins, box_size, owner, regions);
        const uint64_t n_cells = s.data.grid.n_cells();
        if (n_order == 2) {
            // Every pair once, in its exact bin: row 0 same partition, row 1 across, as
            // the radial counts lay out auto and cross (and so their regions' blocks).
            // Without the fallback a neighbour is measured at the image its cell shift
            // gives and cut to the z window; with it, every pair at the minimum image of
            // its plain difference.
            hist = regions.regioned()
                       ? radial_histogram_by_region(s.data, s.r2_edges, s.r_max, s.fallback, regions.n_regions)
                       : radial_histogram(s.data, s.r2_edges, s.r_max, s.fallback);
        } else {
            build_bin_table(s);
            with_modes(s, regions.regioned(), [&](auto wrap, auto fallback, auto candidate) {
                using C = typename decltype(candidate)::type;
                auto make = [hist_len] {
                    GroupAcc<C> acc;
                    acc.hist.assign(hist_len, 0.0);
                    return acc;
                };
                auto step = [&s, n_order, piece_len](GroupAcc<C> &acc, uint64_t c) {
                    group_kernel<decltype(wrap)::value, decltype(fallback)::value>(s, n_order, c, piece_len, acc);
                };
                hist = std::move(parallel_sweep<GroupAcc<C>>(n_cells, make, step, hist_len * sizeof(double)).hist);
            });
        }
    }
    take_hist(out, hist, kept);
    return out;
}

NpointCounts shape_counts(const StridedMatrix &coords, const PartitionIds &ids, const Edges &r_bins,
                          uint64_t n_ratio, double box_size, const OwnerSlab *owner, const GroupRegions &regions) {
    if (r_bins.size < 1) throw std::invalid_argument("r_bins must hold at least one edge");
    n_ratio = std::max<uint64_t>(n_ratio, 1);
    const uint64_t n_r = static_cast<uint64_t>(r_bins.size - 1);
    const uint64_t n_bins = checked_elements(n_r, n_ratio);

    NpointCounts out;
    out.counts_by_s.rows = 3;
    out.counts_by_s.cols = n_bins;
    out.counts_by_s.values.assign(checked_elements(3, n_bins), 0.0);
    allocate_removed(out, regions);
    const uint64_t block = out.counts_by_s.values.size();
    const uint64_t hist_len = checked_elements(block, 1 + regions.n_regions);

    std::vector<double> hist;
    if (coords.rows > 0 && n_bins > 0) {
        NpointSetup s = prepare(coords, ids, r_bins, box_size, owner, regions);
        build_bin_table(s);
        const double ratio_bins = static_cast<double>(n_ratio);
        with_modes(s, regions.regioned(), [&](auto wrap, auto fallback, auto candidate) {
            using C = typename decltype(candidate)::type;
            auto make = [hist_len] {
                GroupAcc<C> acc;
                acc.hist.assign(hist_len, 0.0);
                return acc;
            };
            auto step = [&](GroupAcc<C> &acc, uint64_t c) {
                const CellColumns &cols = s.data.cols;
                double *h = acc.hist.data();
                for_each_anchor<decltype(fallback)::value>(s, c, acc.list, [&](uint64_t i) {
                    const int32_t region = has_region<C> ? cols.regions[i] : 0;
                    for_each_triplet<decltype(wrap)::value>(
                        s, cols.pids[i], cols.owned(i), acc.list,
                        [&](const C &P, const C &Q, double pq2, double m, int32_t b, int row) {
                            const double mn = min_ignore_nan(min_ignore_nan(P.d2, Q.d2), pq2);
                            // r_min / r_max; NaN when all three coincide (0 / 0), which trunc_sat maps to 0.
                            const double ratio = std::sqrt(mn / m);
                            const uint64_t bin_ratio = std::min(n_ratio - 1, trunc_sat(ratio * ratio_bins));
                            const uint64_t at = row * n_bins + static_cast<uint64_t>(b) * n_ratio + bin_ratio;
                            h[at] += 1.0;
                            if constexpr (has_region<C>) add_triplet_regions(h, block, at, region, P.region, Q.region);
                        });
                });
            };
            hist = std::move(parallel_sweep<GroupAcc<C>>(s.data.grid.n_cells(), make, step, hist_len * sizeof(double)).hist);
        });
    }
    take_hist(out, hist, 3);
    return out;
}

}  // namespace quor
