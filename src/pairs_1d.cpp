/* src/pairs_1d.cpp: radial pair counts over the cell list, every displacement folded to
   the minimum image. */
#include "src/pairs_1d.h"

#include <algorithm>

#include "src/cell_list.h"
#include "src/parallel.h"

namespace quor {

namespace {

/// Private histograms of one piece of the sweep: auto in [0, n_r), cross in [n_r, 2 n_r).
struct RadialAcc {
    std::vector<double> hist;

    void merge(const RadialAcc &right) {
        for (size_t k = 0; k < hist.size(); ++k) hist[k] = right.hist[k] + hist[k];
    }
};

struct RadialQuery {
    const CellOrdered &data;
    const std::vector<double> &r2_edges;
    double r2_max;
    int64_t n_r;
};

/// Candidate partners of one galaxy that passed the r_max test, waiting to be binned.
struct Passed {
    static constexpr int CAPACITY = 256;
    double r2[CAPACITY];
    int32_t pid[CAPACITY];
};

/// Counts the pairs between entries [i0, i1) and [j0, j1) of the columns; with `Own`
/// the two runs are one cell and each unordered pair is taken once (j after i).
///
/// Separations are computed for a block of partners first and only those below r_max
/// are kept (without a branch), then binned: the branchy lookup runs on survivors only.
template <bool Own>
void count_runs(const RadialQuery &q, uint64_t i0, uint64_t i1, uint64_t j0, uint64_t j1,
                double *hist) {
    const CellColumns &cols = q.data.cols;
    const double *xs = cols.xs.data(), *ys = cols.ys.data(), *zs = cols.zs.data();
    const int32_t *pids = cols.pids.data();
    const double box = q.data.box_size, half = q.data.half_box, r2_max = q.r2_max;
    const double *edges = q.r2_edges.data();
    const int64_t m = static_cast<int64_t>(q.r2_edges.size());
    Passed passed;
    for (uint64_t i = i0; i < i1; ++i) {
        const double xi = xs[i], yi = ys[i], zi = zs[i];
        const int32_t pi = pids[i];
        for (uint64_t block = Own ? i + 1 : j0; block < j1; block += Passed::CAPACITY) {
            const uint64_t block_end = std::min<uint64_t>(j1, block + Passed::CAPACITY);
            int n = 0;
            for (uint64_t j = block; j < block_end; ++j) {
                const double dx = min_image(xs[j] - xi, box, half);
                const double dy = min_image(ys[j] - yi, box, half);
                const double dz = min_image(zs[j] - zi, box, half);
                const double r2 = (dx * dx + dy * dy) + dz * dz;
                passed.r2[n] = r2;
                passed.pid[n] = pids[j];
                n += r2 < r2_max;  // NaN never passes
            }
            for (int k = 0; k < n; ++k) {
                const int64_t b = find_bin(edges, m, passed.r2[k]);
                if (b >= 0) hist[(passed.pid[k] == pi ? 0 : q.n_r) + b] += 1.0;
            }
        }
    }
}

/// Pairs of cell c: inside it, and with each of its 13 half-shell neighbours.
void radial_cell(const RadialQuery &q, uint64_t c, double *hist) {
    const CellList &grid = q.data.grid;
    const uint64_t lo = grid.cell_start[c], hi = grid.cell_start[c + 1];
    if (lo == hi) return;
    count_runs<true>(q, lo, hi, lo, hi, hist);
    const CellCoord cc = grid.coord_of(c);
    for (const auto &o : HALF_SHELL) {
        const Neighbour nb = neighbour_of(grid, cc, o[0], o[1], o[2], q.data.box_size);
        const uint64_t nlo = grid.cell_start[nb.cell], nhi = grid.cell_start[nb.cell + 1];
        if (nlo != nhi) count_runs<false>(q, lo, hi, nlo, nhi, hist);
    }
}

}  // namespace

RadialCounts count_pairs_1d(const StridedMatrix &coords, const PartitionIds &ids,
                            const Edges &r_bins, double box_size) {
    const int64_t n_r = r_bins.size - 1;
    const double r_max = r_bins[n_r];
    const std::vector<double> r2_edges = squared_edges(r_bins);
    const uint64_t hist_len = checked_elements(2, static_cast<uint64_t>(n_r));

    // Every pair is measured at its minimum image, so the traversal order inside the
    // cells (which the shared preparation sorts by z) does not change any count.
    const CellOrdered data = prepare_cell_ordered(coords, ids, box_size, r_max, r_max);
    const RadialQuery q{data, r2_edges, r_max * r_max, n_r};

    auto make = [hist_len] { return RadialAcc{std::vector<double>(hist_len, 0.0)}; };
    auto step = [&q](RadialAcc &acc, uint64_t c) { radial_cell(q, c, acc.hist.data()); };
    RadialAcc total = parallel_sweep<RadialAcc>(data.grid.n_cells(), make, step);

    RadialCounts out;
    out.dd_auto.assign(total.hist.begin(), total.hist.begin() + n_r);
    out.dd_cross.assign(total.hist.begin() + n_r, total.hist.end());
    return out;
}

}  // namespace quor
