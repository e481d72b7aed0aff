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

    static constexpr bool KEY_3D = true;  ///< the key is r2 = (dx*dx + dy*dy) + dz*dz
    static constexpr bool USES_DZ = false;  ///< the radial bin needs r2 alone
    /// Counters that depend on the key alone: clumps can be met whole.
    static constexpr bool WHOLE_CLUMPS = true;
    static constexpr bool MU_CUT = false;  ///< no mu: see SmuTest

    /// The counter of a pair: auto in [0, n_r), cross in [n_r, 2 n_r); -1 for none.
    int64_t index(double r2, double, bool same) const {
        if (!(r2 < key_max)) return -1;  // the filter lets NaN through; r2 < r2_max must hold
        const int64_t b = r2_bins.below_last<Tabled>(r2);
        return b < 0 ? -1 : b + static_cast<int64_t>(!same * n_r);
    }

    template <Kernel K>
    void index_all(const double *keys, const double *dzs, const uint64_t *sames, uint64_t n,
                   int64_t *counters) const {
#if QUOR_X86_SIMD
        if constexpr (K == Kernel::avx512 && Tabled) {
            tabled_bins_avx512(r2_bins, key_max, keys, n, counters, sames, static_cast<int64_t>(n_r));
            return;
        }
        if constexpr (K == Kernel::avx2 && Tabled) {
            tabled_bins_avx2(r2_bins, key_max, keys, n, counters, sames, static_cast<int64_t>(n_r));
            return;
        }
#endif
        pair_index_all(*this, keys, dzs, sames, n, counters);
    }

    /// index_all and the additions in one, peeling the last bins off with AVX-512 or AVX2.
    static constexpr bool COUNTS_ALL = true;
    template <Kernel K, class Acc>
    void count_all(const double *keys, const double *dzs, const uint64_t *sames, uint64_t n,
                   int64_t *counters, Acc &acc) const {
#if QUOR_X86_SIMD
        if constexpr (K == Kernel::avx512 && Tabled) {
            count_peeled_avx512(r2_bins, key_max, keys, sames, n, static_cast<int64_t>(n_r), acc, counters);
            return;
        }
        if constexpr (K == Kernel::avx2 && Tabled) {
            count_peeled_avx2(r2_bins, key_max, keys, sames, n, static_cast<int64_t>(n_r), acc, counters);
            return;
        }
#endif
        index_all<K>(keys, dzs, sames, n, counters);
        acc.add_all(counters, n);
    }
};

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

/// The extent of a clump, relative to r_max: small enough that two clumps well apart
/// often have all their pairs in one bin, large enough to hold a small halo whole.
constexpr double CLUMP_EXTENT = 0.09;

/// The radial histograms of `sides` (auto counters, then cross) against the squared
/// edges, with the sums of `query` (`bounds` from pair_term_bounds), every pair folded
/// with `fold`.
HistPair radial_sweep(const PairSides &sides, const PairQuery &query, std::vector<double> r2_edges,
                      double r_max, bool fold, const std::vector<double> &bounds = {}) {
    const uint64_t n_r = r2_edges.size() - 1;
    checked_elements(2, n_r);
    const double r2_max = r2_edges.back();
    const BinTable bins(std::move(r2_edges));
    auto sweep = [&](auto tabled) {
        const RadialTest<decltype(tabled)::value> test{bins.lookup(), r2_max, n_r};
        return with_pair_modes(query, fold, [&](auto kernel, auto wrap, auto weighted, auto separated, auto regioned) {
            return sweep_pairs<decltype(kernel)::value, decltype(wrap)::value, decltype(weighted)::value,
                               decltype(separated)::value, decltype(regioned)::value>(sides, r_max, test, n_r, bounds, query.n_regions);
        });
    };
    return bins.tabled() ? sweep(std::true_type{}) : sweep(std::false_type{});
}

}  // namespace

std::vector<double> radial_histogram(const CellOrdered &co, std::vector<double> r2_edges,
                                     double r_max, bool fold) {
    return radial_sweep(PairSides{co, co, false}, PairQuery{}, std::move(r2_edges), r_max, fold).take_counts();
}

std::vector<double> radial_histogram_by_region(const CellOrdered &co, std::vector<double> r2_edges,
                                               double r_max, bool fold, uint64_t n_regions) {
    PairQuery query;
    query.n_regions = n_regions;
    HistPair hist = radial_sweep(PairSides{co, co, false}, query, std::move(r2_edges), r_max, fold);
    std::vector<double> out = hist.take_counts();
    out.reserve(out.size() * (1 + n_regions));
    // region_tallies[0] is the spare counter of the pairs that touch no region's bin.
    for (size_t k = 1; k < hist.region_tallies.size(); ++k) out.push_back(static_cast<double>(hist.region_tallies[k]));
    return out;
}

PairSums radial_pairs(const PairQuery &query, const Edges &r_bins, double box_size) {
    const uint64_t n_r = static_cast<uint64_t>(r_bins.size - 1);
    const double r_max = r_bins[r_bins.size - 1];
    checked_elements(2, n_r);
    PairCells cells = prepare_pair_cells(query, box_size, r_max, r_max);
    const bool fold = !cells.own.grid.bounded &&
                      !(shift_gives_min_image(cells.own, r_max) &&
                        (!cells.cross || shift_gives_min_image(cells.partners, r_max)));
    // Clumps settle the pair counts of one catalogue whole.
    if (!fold && !query.owner && !cells.cross && !query.sums()) find_clumps(cells.own, r_max * CLUMP_EXTENT);
    PairSums out;
    radial_sweep(sides_of(cells), query, squared_edges(r_bins), r_max, fold,
                 pair_term_bounds(query, r_bins[0], r_max))
        .split_all(out, n_r, 1, query);
    return out;
}

RadialCounts count_pairs_1d(const StridedMatrix &coords, const PartitionIds &ids,
                            const Edges &r_bins, double box_size, const OwnerSlab *owner) {
    PairQuery query;
    query.first = {coords, ids, {}, {}};
    query.owner = owner;
    PairSums sums = radial_pairs(query, r_bins, box_size);
    return {std::move(sums.pairs.auto_counts.values), std::move(sums.pairs.cross_counts.values)};
}

}  // namespace quor
