/* src/pairs_1d.cpp: radial pair counts over the cell list, every pair measured at its
   minimum image. */
#include "src/pairs_1d.h"

#include <algorithm>
#include <cmath>
#include <type_traits>

#include "src/cell_list.h"
#include "src/cell_pairs.h"
#include "src/parallel.h"

namespace quor {

namespace {

/// Pair test of the radial counts, in the two steps the cell traversal expects: the
/// squared separation as the key, rejected at once from r2_max on, then the bin.
template <bool Tabled>
struct RadialTest {
    BinLookup r2_bins;
    double key_max;  ///< r2_max
    uint64_t n_r;
    double *counts;  ///< auto in [0, n_r), cross in [n_r, 2 n_r)

    double key(double dx, double dy, double dz) const { return (dx * dx + dy * dy) + dz * dz; }

    void count(double r2, double, bool same) const {
        const int64_t b = r2_bins.below_last<Tabled>(r2);
        if (b >= 0) counts[static_cast<uint64_t>(b) + !same * n_r] += 1.0;
    }
};

/// Candidate partners of one galaxy that passed the r_max test, waiting to be binned.
struct Passed {
    static constexpr int CAPACITY = 256;
    double r2[CAPACITY];
    bool same[CAPACITY];
};

/// Pairs between entries [i0, i1) and [j0, j1) of the columns, every component of the
/// plain difference folded by min_image; with `Own` the runs are one cell and each
/// unordered pair is taken once (j after i). Separations are computed for a block of
/// partners first and only those below r_max are kept (without a branch), then binned.
template <bool Own, class Test>
void count_runs_folded(const CellOrdered &co, const Test &test, uint64_t i0, uint64_t i1,
                       uint64_t j0, uint64_t j1) {
    const CellColumns &cols = co.cols;
    const double *xs = cols.xs.data(), *ys = cols.ys.data(), *zs = cols.zs.data();
    const int32_t *pids = cols.pids.data();
    const double box = co.box_size, half = co.half_box, r2_max = test.key_max;
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
                passed.same[n] = pids[j] == pi;
                n += r2 < r2_max;  // NaN never passes
            }
            for (int k = 0; k < n; ++k) test.count(passed.r2[k], 0.0, passed.same[k]);
        }
    }
}

/// Pairs of cell c, inside it and with each of its 13 half-shell neighbours, for any
/// grid and any positions.
template <class Test>
void radial_cell_folded(const CellOrdered &co, const Test &test, uint64_t c) {
    const CellList &grid = co.grid;
    const uint64_t lo = grid.cell_start[c], hi = grid.cell_start[c + 1];
    if (lo == hi) return;
    count_runs_folded<true>(co, test, lo, hi, lo, hi);
    const CellCoord cc = grid.coord_of(c);
    for (const auto &o : HALF_SHELL) {
        const Neighbour nb = neighbour_of(grid, cc, o[0], o[1], o[2], co.box_size);
        const uint64_t nlo = grid.cell_start[nb.cell], nhi = grid.cell_start[nb.cell + 1];
        if (nlo != nhi) count_runs_folded<false>(co, test, lo, hi, nlo, nhi);
    }
}

/* With every position inside [0, box) and 2 r_max <= box / 2, the cell step's periodic
   shift gives, for every pair closer than r_max, the very displacement that folding the
   plain difference gives ((x_j - x_i) + box is the fold's own expression), and pairs the
   two differ on are farther than r_max either way. Such catalogues can use the z-window
   traversal, whose window is cut on the computed dz itself. */
bool shift_gives_min_image(const CellOrdered &co, double r_max) {
    const double box = co.box_size;
    if (!(std::isfinite(box) && box > 0.0 && r_max > 0.0 && 2.0 * r_max <= co.half_box))
        return false;
    const CellColumns &cols = co.cols;
    for (const std::vector<double> *axis : {&cols.xs, &cols.ys, &cols.zs}) {
        for (const double v : *axis)
            if (!(v >= 0.0 && v < box)) return false;
    }
    return true;
}

template <class Test>
std::vector<double> sweep_radial(const CellOrdered &co, const Test &proto, uint64_t hist_len,
                                 double r_max) {
    auto make = [hist_len] { return HistPair(hist_len / 2); };
    if (shift_gives_min_image(co, r_max)) {
        auto step = [&](HistPair &acc, uint64_t c) {
            Test test = proto;
            test.counts = acc.counts.data();
            visit_cell_pairs<false>(co, c, r_max, test);
        };
        return parallel_sweep<HistPair>(co.grid.n_cells(), make, step).counts;
    }
    auto step = [&](HistPair &acc, uint64_t c) {
        Test test = proto;
        test.counts = acc.counts.data();
        radial_cell_folded(co, test, c);
    };
    return parallel_sweep<HistPair>(co.grid.n_cells(), make, step).counts;
}

}  // namespace

RadialCounts count_pairs_1d(const StridedMatrix &coords, const PartitionIds &ids,
                            const Edges &r_bins, double box_size) {
    const uint64_t n_r = static_cast<uint64_t>(r_bins.size - 1);
    const double r_max = r_bins[r_bins.size - 1];
    const uint64_t hist_len = checked_elements(2, n_r);
    const BinTable r2_edges(squared_edges(r_bins));
    const CellOrdered co = prepare_cell_ordered(coords, ids, box_size, r_max, r_max);

    auto sweep = [&](auto tabled) {
        const RadialTest<decltype(tabled)::value> proto{r2_edges.lookup(), r_max * r_max, n_r,
                                                        nullptr};
        return sweep_radial(co, proto, hist_len, r_max);
    };
    const std::vector<double> hist =
        r2_edges.tabled() ? sweep(std::true_type{}) : sweep(std::false_type{});

    RadialCounts out;
    out.dd_auto.assign(hist.begin(), hist.begin() + static_cast<ptrdiff_t>(n_r));
    out.dd_cross.assign(hist.begin() + static_cast<ptrdiff_t>(n_r), hist.end());
    return out;
}

}  // namespace quor
