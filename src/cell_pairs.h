/* src/cell_pairs.h: the cell-by-cell pair traversal shared by the (r_p, pi) and (s, mu)
   counters, their bin lookup and the per-piece histograms they count into. */
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <type_traits>
#include <utility>
#include <vector>

#include "src/cell_list.h"
#include "src/common.h"

namespace quor {

// ---- histograms -------------------------------------------------------------------

/// The private (auto, cross) histograms of one piece of a sweep, as one buffer: auto
/// counters first, then cross, so that a pair picks its half by arithmetic, not a branch.
struct HistPair {
    std::vector<double> counts;
    uint64_t n_bins;

    explicit HistPair(uint64_t n) : counts(2 * n, 0.0), n_bins(n) {}

    /// Adds `right` into this pair, entry by entry.
    void merge(const HistPair &right) {
        for (size_t k = 0; k < counts.size(); ++k) counts[k] += right.counts[k];
    }

    /// Moves the two halves out as (n_rows, n_cols) histograms.
    void split_into(Hist2d &auto_counts, Hist2d &cross_counts, uint64_t n_rows, uint64_t n_cols) {
        const auto mid = counts.begin() + static_cast<ptrdiff_t>(n_bins);
        cross_counts.values.assign(mid, counts.end());
        counts.resize(n_bins);
        auto_counts.values = std::move(counts);
        auto_counts.rows = cross_counts.rows = n_rows;
        auto_counts.cols = cross_counts.cols = n_cols;
    }
};

// ---- bin lookup -------------------------------------------------------------------

/// find_bin through a quantised start table. For non-decreasing finite edges from 0 or
/// above to a positive last edge, v maps to the quantum q(v) = min(trunc(v * scale),
/// TABLE - 1), which never decreases as v grows. start[q] is the last edge k below the
/// last one with q(edges[k]) < q; every v of quantum q then has edges[k] < v, and a short
/// upward walk over the edges ends on the last k with edges[k] <= v: the bin find_bin
/// returns. Other edge arrays have no table (`start` is null) and take find_bin itself.
struct BinLookup {
    static constexpr int64_t TABLE = 2048;

    const double *edges;
    int64_t m;                ///< number of edges, >= 1
    const int32_t *start;     ///< TABLE entries, or nullptr
    double scale;

    /// For edges[0] <= v < edges[m - 1]: v * scale lies in [0, TABLE].
    int64_t quantum(double v) const {
        const int64_t q = static_cast<int64_t>(v * scale);
        return q < TABLE - 1 ? q : TABLE - 1;
    }

    /// The bin of `v` as find_bin(edges, m, v) gives it: -1 for none. Tabled needs a
    /// table and a `v` already known to be below the last edge, or NaN.
    template <bool Tabled>
    int64_t below_last(double v) const {
        if (!Tabled) return find_bin(edges, m, v);
        if (!(v >= edges[0])) return -1;  // below the first edge, or NaN
        int64_t k = start[quantum(v)];
        while (v >= edges[k + 1]) ++k;  // stops below m - 1, as v < edges[m - 1]
        return k;
    }
};

/// Owns the edges and the start table a BinLookup reads.
class BinTable {
public:
    explicit BinTable(std::vector<double> edges) : edges_(std::move(edges)) {
        const int64_t m = static_cast<int64_t>(edges_.size());
        const double last = edges_[m - 1];
        bool sorted = edges_[0] >= 0.0;
        for (int64_t k = 0; k < m; ++k)
            sorted = sorted && std::isfinite(edges_[k]) && (k == 0 || edges_[k - 1] <= edges_[k]);
        const double scale = static_cast<double>(BinLookup::TABLE) / last;
        lookup_ = {edges_.data(), m, nullptr, scale};
        if (m < 2 || !sorted || !(last > 0.0) || !std::isfinite(scale) || m > INT32_MAX) return;

        // q(edges[k]) never decreases with k, so one pass finds for each q the last
        // k below m - 1 with q(edges[k]) < q.
        start_.assign(BinLookup::TABLE, 0);
        int64_t k = 0;
        for (int64_t q = 0; q < BinLookup::TABLE; ++q) {
            while (k + 1 < m - 1 && lookup_.quantum(edges_[k + 1]) < q) ++k;
            start_[q] = static_cast<int32_t>(k);
        }
        lookup_.start = start_.data();
    }
    BinTable(const BinTable &) = delete;
    BinTable &operator=(const BinTable &) = delete;

    const BinLookup &lookup() const { return lookup_; }
    bool tabled() const { return lookup_.start != nullptr; }
    double last() const { return edges_.back(); }

private:
    std::vector<double> edges_;
    std::vector<int32_t> start_;
    BinLookup lookup_;
};

// ---- traversal --------------------------------------------------------------------

/// First index in [lo, hi) at which `pred` fails; `pred` must hold on a prefix.
template <class Pred>
inline uint64_t partition_point(uint64_t lo, uint64_t hi, Pred pred) {
    while (lo < hi) {
        const uint64_t mid = lo + (hi - lo) / 2;
        if (pred(mid))
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo;
}

/// With folding, the stretches of a z-sorted run [b, e) whose folded dz can satisfy
/// |dz| < w: calls visit(p, q, fold) for each, at most three, `fold` telling how
/// min_image folds dz all along the stretch (+1: dz + box, 0: not at all, -1: dz - box).
///
/// `u(j)` is partner j's dz before the fold; it never decreases with j, as the run
/// ascends in z (NaN z last). min_image splits the run into three stretches, u > half
/// (u - box), else u < -half (u + box), and the rest (u), on each of which the folded
/// dz never decreases either; so the partners with -w < dz < w are one sub-stretch of
/// each, found by binary search with the very comparisons and sums the fold makes.
/// A NaN dz never counts and is left out.
template <class U, class Visit>
inline void folded_z_stretches(const double *zs, uint64_t b, uint64_t e, const U &u, double box,
                               double half, double w, const Visit &visit) {
    e = partition_point(b, e, [&](uint64_t j) { return zs[j] == zs[j]; });
    const uint64_t c = partition_point(b, e, [&](uint64_t j) { return !(u(j) > half); });
    const uint64_t a = partition_point(b, c, [&](uint64_t j) { return u(j) < -half; });
    auto sub = [&](uint64_t p0, uint64_t p1, auto fold) {
        // The folded dz of the stretch, as min_image computes it.
        auto f = [&](uint64_t j) {
            constexpr int Fold = decltype(fold)::value;
            return Fold == 0 ? u(j) : Fold > 0 ? u(j) + box : u(j) - box;
        };
        const uint64_t q0 = partition_point(p0, p1, [&](uint64_t j) { return f(j) <= -w; });
        const uint64_t q1 = partition_point(q0, p1, [&](uint64_t j) { return f(j) < w; });
        if (q0 < q1) visit(q0, q1, fold);
    };
    sub(b, a, std::integral_constant<int, 1>{});
    sub(a, c, std::integral_constant<int, 0>{});
    sub(c, e, std::integral_constant<int, -1>{});
}

/// z fold of a stretch of partners not known in advance: min_image decides per partner.
constexpr int ANY_FOLD = 2;

/// Visits every pair that cell `c` owns: pairs inside the cell once (from the galaxy
/// with the lower input row), and every pair between the cell and its 13 HALF_SHELL
/// neighbours, with d = displacement of the partner from the current galaxy.
///
/// The pair test comes in two steps. `test.key(dx, dy, dz)` gives the squared separation
/// the test bins first, and a pair is rejected at once when key >= `test.key_max` (the
/// test's cheap rejection; a NaN on either side rejects nothing here). This is done for
/// many partners in a row without a branch per partner; the survivors are buffered and
/// `test.count(key, dz, same)` finishes each one, `same` telling whether the two share
/// a partition.
///
/// `window` is the counter's largest separation along z (pi_max or s_max): its pair test
/// accepts no pair with |dz| >= |window|. With `Wrap`, every component of the plain
/// difference is folded by min_image (the displacement count_pairs_1d measures), and a
/// long run is cut to the stretches whose folded dz can pass (folded_z_stretches).
/// Without it, a neighbour is cut to the galaxies whose shifted dz, computed exactly as
/// the pair test computes it, lies in (-|window|, |window|): dz never decreases along the
/// z order, so that is one contiguous stretch, and no rounding of a window bound can
/// leave out a partner the pair test would accept.
template <bool Wrap, class Test>
inline void visit_cell_pairs(const CellOrdered &co, uint64_t c, double window, const Test &test) {
    const CellList &grid = co.grid;
    const uint64_t begin = grid.cell_start[c];
    const uint64_t end = grid.cell_start[c + 1];
    if (begin == end) return;

    const double *xs = co.cols.xs.data();
    const double *ys = co.cols.ys.data();
    const double *zs = co.cols.zs.data();
    const int32_t *pids = co.cols.pids.data();
    const uint64_t *orig = co.cols.orig_index.data();
    const double box = co.box_size;
    const double half = co.half_box;
    const double key_max = test.key_max;

    // Survivors of the cheap rejection, finished in one go when the buffer fills.
    constexpr uint64_t CHUNK = 64, CAPACITY = 256;
    double keys[CAPACITY], dzs[CAPACITY];
    bool sames[CAPACITY];
    uint64_t n_kept = 0;
    auto flush = [&] {
        for (uint64_t u = 0; u < n_kept; ++u) test.count(keys[u], dzs[u], sames[u]);
        n_kept = 0;
    };

    // Every partner j0 .. j1 - 1 of the galaxy (xi, yi, zi, pi). In the own cell
    // (`own` true) only partners from a later input row than `oi` count. With Wrap,
    // d = min_image of the plain difference, component by component; otherwise, in a
    // neighbour, d = ((xs[j] - xi) + sx, (ys[j] - yi) + sy, sz + (zs[j] - zi)), and the
    // run ends early at the first partner with dz >= w (no NaN window ends it).
    auto visit_run = [&](auto own, auto z_fold, double xi, double yi, double zi, int32_t pi,
                         uint64_t oi, uint64_t j0, uint64_t j1, double sx, double sy, double sz,
                         double w) {
        constexpr bool Own = decltype(own)::value;
        constexpr int ZFold = decltype(z_fold)::value;
        while (j0 < j1) {
            if (n_kept > CAPACITY - CHUNK) flush();
            const uint64_t j_end = std::min(j1, j0 + CHUNK);
            for (uint64_t j = j0; j < j_end; ++j) {
                double dx = xs[j] - xi;
                double dy = ys[j] - yi;
                double dz = zs[j] - zi;
                if (!Own && !Wrap) {
                    dx = dx + sx;
                    dy = dy + sy;
                    dz = sz + dz;
                    if (dz >= w) return;  // the end of the z window
                }
                if (Wrap) {
                    dx = min_image(dx, box, half);
                    dy = min_image(dy, box, half);
                    if (ZFold == ANY_FOLD)
                        dz = min_image(dz, box, half);
                    else if (ZFold != 0)
                        dz = ZFold > 0 ? dz + box : dz - box;  // known for the stretch
                }
                const double key = test.key(dx, dy, dz);
                keys[n_kept] = key;
                dzs[n_kept] = dz;
                sames[n_kept] = pids[j] == pi;
                // Written every time, kept only when it survives.
                n_kept += !(key >= key_max) & (!Own || orig[j] > oi);
            }
            j0 = j_end;
        }
    };
    const std::true_type own_cell;
    const std::false_type neighbour;
    const std::integral_constant<int, ANY_FOLD> any_fold;

    // Passing the pair test needs |dz| < |window| (for the (s, mu) and radial tests
    // through dz * dz <= s2 < s_max * s_max): that bounds both the z window and, with
    // folding, the stretches of a long run worth scanning. A NaN window prunes nothing.
    const double w = std::fabs(window);
    constexpr uint64_t PRUNE_FROM = 16;  // shorter runs are scanned whole
    auto visit_folded = [&](auto own, uint64_t i, uint64_t j0, uint64_t j1) {
        const double xi = xs[i], yi = ys[i], zi = zs[i];
        const int32_t pi = pids[i];
        const uint64_t oi = decltype(own)::value ? orig[i] : 0;
        if (j1 - j0 < PRUNE_FROM || !(w < INFINITY)) {
            visit_run(own, any_fold, xi, yi, zi, pi, oi, j0, j1, 0.0, 0.0, 0.0, w);
            return;
        }
        auto u = [&](uint64_t j) { return zs[j] - zi; };
        folded_z_stretches(zs, j0, j1, u, box, half, w, [&](uint64_t p, uint64_t q, auto fold) {
            visit_run(own, fold, xi, yi, zi, pi, oi, p, q, 0.0, 0.0, 0.0, w);
        });
    };

    // Own cell. After the z sort the position in the run says nothing about the input
    // row, so the row numbers decide which of the two galaxies owns the pair.
    for (uint64_t i = begin; i < end; ++i) {
        if (Wrap)
            visit_folded(own_cell, i, begin, end);
        else
            visit_run(own_cell, any_fold, xs[i], ys[i], zs[i], pids[i], orig[i], begin, end, 0.0,
                      0.0, 0.0, w);
    }

    // Neighbours, each met once from the cell that reaches it through the half shell.
    const CellCoord cc = grid.coord_of(c);
    for (const auto &off : HALF_SHELL) {
        const Neighbour nb = neighbour_of(grid, cc, off[0], off[1], off[2], box);
        const uint64_t nb_begin = grid.cell_start[nb.cell];
        const uint64_t nb_end = grid.cell_start[nb.cell + 1];
        if (nb_begin == nb_end) continue;

        if (Wrap) {
            for (uint64_t i = begin; i < end; ++i) visit_folded(neighbour, i, nb_begin, nb_end);
            continue;
        }

        // z window: from the first partner with dz > -w (the partition point a binary
        // search would find) up to, not including, the first one after it with dz >= w.
        // A partner's dz never grows as the current galaxy's z does, and those come in
        // ascending z: the start is found by advancing from the previous galaxy's.
        uint64_t first = nb_begin;
        for (uint64_t i = begin; i < end; ++i) {
            const double zi = zs[i];
            while (first < nb_end && nb.sz + (zs[first] - zi) <= -w) ++first;
            visit_run(neighbour, any_fold, xs[i], ys[i], zi, pids[i], 0, first, nb_end, nb.sx,
                      nb.sy, nb.sz, w);
        }
    }
    flush();
}

}  // namespace quor
