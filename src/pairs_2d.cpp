/* src/pairs_2d.cpp: projected (r_p, pi) pair counts over the z-sorted cell list. */
#include "src/pairs_2d.h"

#include <cmath>
#include <stdexcept>
#include <utility>
#include <vector>

#include "src/cell_list.h"
#include "src/cell_pairs.h"
#include "src/parallel.h"

namespace quor {

namespace {

/// Pair test of the projected counts: r_p across the line of sight, binned through its
/// square, and pi = |dz| binned as it is.
struct ProjectedTest {
    const double *rp2_edges;
    int64_t n_rp_edges;
    const double *pi_edges;
    int64_t n_pi_edges;
    double rp2_max;
    double pi_max;
    uint64_t n_pi;
    double *auto_counts;
    double *cross_counts;

    void operator()(double dx, double dy, double dz, bool same) const {
        const double rp2 = dy * dy + dx * dx;
        if (rp2 >= rp2_max) return;  // the two cheap rejections come first
        const double pi = std::fabs(dz);
        if (pi >= pi_max) return;
        const int64_t a = find_bin(rp2_edges, n_rp_edges, rp2);
        const int64_t b = find_bin(pi_edges, n_pi_edges, pi);
        if (a < 0 || b < 0) return;  // below a first edge, or NaN
        const uint64_t k = static_cast<uint64_t>(a) * n_pi + static_cast<uint64_t>(b);
        (same ? auto_counts : cross_counts)[k] += 1.0;
    }
};

template <bool Wrap>
HistPair sweep_projected(const CellOrdered &co, const ProjectedTest &proto, uint64_t n_bins) {
    const double window = proto.pi_max;
    auto make = [n_bins] { return HistPair(n_bins); };
    auto step = [&co, &proto, window](HistPair &acc, uint64_t c) {
        ProjectedTest test = proto;
        test.auto_counts = acc.auto_counts.data();
        test.cross_counts = acc.cross_counts.data();
        visit_cell_pairs<Wrap>(co, c, window, test);
    };
    return parallel_sweep<HistPair>(co.grid.n_cells(), make, step);
}

}  // namespace

PairHists projected_counts(const StridedMatrix &coords, const PartitionIds &ids,
                           const Edges &r_p_bins, const Edges &pi_bins, double box_size) {
    if (r_p_bins.size < 1 || pi_bins.size < 1)
        throw std::invalid_argument("bin edge arrays must not be empty");
    const uint64_t n_rp = static_cast<uint64_t>(r_p_bins.size - 1);
    const uint64_t n_pi = static_cast<uint64_t>(pi_bins.size - 1);
    const double r_p_max = r_p_bins[r_p_bins.size - 1];
    const double pi_max = pi_bins[pi_bins.size - 1];
    const uint64_t n_bins = checked_elements(n_rp, n_pi);

    const std::vector<double> rp2_edges = squared_edges(r_p_bins);
    std::vector<double> pi_edges(static_cast<size_t>(pi_bins.size));
    for (int64_t k = 0; k < pi_bins.size; ++k) pi_edges[k] = pi_bins[k];

    const CellOrdered co = prepare_cell_ordered(coords, ids, box_size, r_p_max, pi_max);
    const double half_box = co.half_box;
    // The cell step's shift alone gives the minimum image while twice the largest
    // separation fits in half the box; past that (few, wide cells) every component
    // is folded instead, and the z window is not used.
    const bool wrap_pairs = (half_box < pi_max + pi_max) || (half_box < r_p_max + r_p_max);

    const ProjectedTest proto{rp2_edges.data(), r_p_bins.size, pi_edges.data(), pi_bins.size,
                              r_p_max * r_p_max, pi_max, n_pi, nullptr, nullptr};
    HistPair counts = wrap_pairs ? sweep_projected<true>(co, proto, n_bins)
                                 : sweep_projected<false>(co, proto, n_bins);

    PairHists out;
    out.auto_counts.values = std::move(counts.auto_counts);
    out.cross_counts.values = std::move(counts.cross_counts);
    out.auto_counts.rows = out.cross_counts.rows = n_rp;
    out.auto_counts.cols = out.cross_counts.cols = n_pi;
    return out;
}

}  // namespace quor
