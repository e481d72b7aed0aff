/* src/pairs_smu.h: redshift-space (s, mu) pair counts, split by partition. */
#pragma once

#include <cstdint>

#include "src/common.h"
#include "src/pairs_2d.h"

namespace quor {

/// The pairs of `query` by s and mu, as smu_counts bins them, and the sums the query
/// asks for (r = s).
PairSums smu_pairs(const PairQuery &query, const Edges &s_bins, uint64_t n_mu_bins, double mu_max,
                   double box_size);

/// (n_s, n_mu_bins) histograms of pairs by s (binned through its square) and
/// mu = |dz| / s in n_mu_bins equal steps of [0, mu_max); `owner` as for count_pairs_1d.
PairHists smu_counts(const StridedMatrix &coords, const PartitionIds &ids, const Edges &s_bins,
                     uint64_t n_mu_bins, double mu_max, double box_size,
                     const OwnerSlab *owner = nullptr);

}  // namespace quor
