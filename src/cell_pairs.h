/* src/cell_pairs.h: the cell-by-cell pair traversal shared by the (r_p, pi) and (s, mu)
   counters, and the per-piece histogram pair they count into. */
#pragma once

#include <cstdint>
#include <vector>

#include "src/cell_list.h"
#include "src/common.h"

namespace quor {

/// The private (auto, cross) histograms of one piece of a sweep.
struct HistPair {
    std::vector<double> auto_counts;
    std::vector<double> cross_counts;

    explicit HistPair(uint64_t n) : auto_counts(n, 0.0), cross_counts(n, 0.0) {}

    /// Adds `right` into this pair, entry by entry.
    void merge(const HistPair &right) {
        for (size_t k = 0; k < auto_counts.size(); ++k) auto_counts[k] += right.auto_counts[k];
        for (size_t k = 0; k < cross_counts.size(); ++k) cross_counts[k] += right.cross_counts[k];
    }
};

/// Visits every pair that cell `c` owns: pairs inside the cell once (from the galaxy
/// with the lower input row), and every pair between the cell and its 13 HALF_SHELL
/// neighbours. For each it calls `test(dx, dy, dz, same)` with the displacement of the
/// partner from the current galaxy and whether the two share a partition.
///
/// With `Wrap`, every displacement component is folded by min_image and the whole of
/// each neighbour is examined. Without it, a neighbour is cut to the galaxies whose z
/// lies in [(z_i - window) - s_z, (window + z_i) - s_z], which the run's z order makes
/// one contiguous stretch; `window` is the exclusive bound the pair test puts on |dz|.
template <bool Wrap, class Test>
inline void visit_cell_pairs(const CellOrdered &co, uint64_t c, double window, Test &test) {
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

    // Own cell. After the z sort the position in the run says nothing about the input
    // row, so the row numbers decide which of the two galaxies owns the pair.
    for (uint64_t i = begin; i < end; ++i) {
        const double xi = xs[i], yi = ys[i], zi = zs[i];
        const int32_t pi = pids[i];
        const uint64_t oi = orig[i];
        for (uint64_t j = begin; j < end; ++j) {
            if (orig[j] <= oi) continue;
            double dx = xs[j] - xi;
            double dy = ys[j] - yi;
            double dz = zs[j] - zi;
            if (Wrap) {
                dx = min_image(dx, box, half);
                dy = min_image(dy, box, half);
                dz = min_image(dz, box, half);
            }
            test(dx, dy, dz, pids[j] == pi);
        }
    }

    // Neighbours, each met once from the cell that reaches it through the half shell.
    // The neighbour is the outer loop so that its bounds and shifts are found once.
    const CellCoord cc = grid.coord_of(c);
    for (const auto &off : HALF_SHELL) {
        const Neighbour nb = neighbour_of(grid, cc, off[0], off[1], off[2], box);
        const uint64_t nb_begin = grid.cell_start[nb.cell];
        const uint64_t nb_end = grid.cell_start[nb.cell + 1];
        if (nb_begin == nb_end) continue;
        const double sx = nb.sx, sy = nb.sy, sz = nb.sz;

        if (Wrap) {
            for (uint64_t i = begin; i < end; ++i) {
                const double xi = xs[i], yi = ys[i], zi = zs[i];
                const int32_t pi = pids[i];
                for (uint64_t j = nb_begin; j < nb_end; ++j) {
                    const double dx = min_image((xs[j] - xi) + sx, box, half);
                    const double dy = min_image((ys[j] - yi) + sy, box, half);
                    const double dz = min_image(sz + (zs[j] - zi), box, half);
                    test(dx, dy, dz, pids[j] == pi);
                }
            }
            continue;
        }

        // z window. The current galaxies come in ascending z, so the window's lower
        // bound only moves up: the first partner with zs >= lo (the partition point a
        // binary search would find) is found by advancing from the previous one.
        uint64_t first = nb_begin;
        for (uint64_t i = begin; i < end; ++i) {
            const double xi = xs[i], yi = ys[i], zi = zs[i];
            const int32_t pi = pids[i];
            const double lo = (zi - window) - sz;
            const double hi = (window + zi) - sz;
            while (first < nb_end && zs[first] < lo) ++first;
            for (uint64_t j = first; j < nb_end; ++j) {
                const double zj = zs[j];
                if (zj > hi) break;
                const double dx = (xs[j] - xi) + sx;
                const double dy = (ys[j] - yi) + sy;
                const double dz = sz + (zj - zi);
                test(dx, dy, dz, pids[j] == pi);
            }
        }
    }
}

}  // namespace quor
