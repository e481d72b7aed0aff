/* src/pairs_smu.cpp: redshift-space (s, mu) pair counts over the z-sorted cell list. */
#include "src/pairs_smu.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <utility>
#include <vector>

#include "src/cell_list.h"
#include "src/cell_pairs.h"
#include "src/parallel.h"

namespace quor {

namespace {

/// Pair test of the (s, mu) counts: s binned through its square, then one square root
/// and two divisions for mu = |dz| / s in n_mu_bins equal steps of [0, mu_max).
struct SmuTest {
    const double *s2_edges;
    int64_t n_s_edges;
    double mu_max;
    double n_mu_f;      ///< n_mu_bins as float64, for the bin product
    uint64_t n_mu;      ///< >= 1: with no mu bin nothing is swept
    double *auto_counts;
    double *cross_counts;

    void operator()(double dx, double dy, double dz, bool same) const {
        const double s2 = (dx * dx + dy * dy) + dz * dz;
        // find_bin's first test is the cheap rejection at s_max.
        const int64_t a = find_bin(s2_edges, n_s_edges, s2);
        if (a < 0) return;
        const double mu = std::fabs(dz) / std::sqrt(s2);
        if (!(mu < mu_max)) return;  // also drops s = 0 (mu is NaN) and mu_max NaN or <= 0
        // The clamp catches only products that round up to n_mu.
        const uint64_t b = std::min(trunc_sat((mu / mu_max) * n_mu_f), n_mu - 1);
        const uint64_t k = static_cast<uint64_t>(a) * n_mu + b;
        (same ? auto_counts : cross_counts)[k] += 1.0;
    }
};

template <bool Wrap>
HistPair sweep_smu(const CellOrdered &co, const SmuTest &proto, double s_max, uint64_t n_bins) {
    auto make = [n_bins] { return HistPair(n_bins); };
    auto step = [&co, &proto, s_max](HistPair &acc, uint64_t c) {
        SmuTest test = proto;
        test.auto_counts = acc.auto_counts.data();
        test.cross_counts = acc.cross_counts.data();
        visit_cell_pairs<Wrap>(co, c, s_max, test);
    };
    return parallel_sweep<HistPair>(co.grid.n_cells(), make, step);
}

}  // namespace

PairHists smu_counts(const StridedMatrix &coords, const PartitionIds &ids, const Edges &s_bins,
                     uint64_t n_mu_bins, double mu_max, double box_size) {
    if (s_bins.size < 1) throw std::invalid_argument("bin edge arrays must not be empty");
    const uint64_t n_s = static_cast<uint64_t>(s_bins.size - 1);
    const double s_max = s_bins[s_bins.size - 1];
    const uint64_t n_bins = checked_elements(n_s, n_mu_bins);

    PairHists out;
    out.auto_counts.rows = out.cross_counts.rows = n_s;
    out.auto_counts.cols = out.cross_counts.cols = n_mu_bins;
    // With no mu bin a pair that passes the s and mu tests has no counter to land in:
    // count nothing and return the empty histograms.
    if (n_mu_bins == 0) return out;

    const std::vector<double> s2_edges = squared_edges(s_bins);
    const CellOrdered co = prepare_cell_ordered(coords, ids, box_size, s_max, s_max);
    const bool wrap_pairs = (s_max + s_max) > co.half_box;

    const SmuTest proto{s2_edges.data(), s_bins.size, mu_max, static_cast<double>(n_mu_bins),
                        n_mu_bins, nullptr, nullptr};
    HistPair counts = wrap_pairs ? sweep_smu<true>(co, proto, s_max, n_bins)
                                 : sweep_smu<false>(co, proto, s_max, n_bins);
    out.auto_counts.values = std::move(counts.auto_counts);
    out.cross_counts.values = std::move(counts.cross_counts);
    return out;
}

}  // namespace quor
