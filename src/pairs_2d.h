/* src/pairs_2d.h: projected (r_p, pi) pair counts, split by partition. */
#pragma once

#include "src/common.h"

namespace quor {

/// The pairs of `query` by r_p and pi, as projected_counts bins them, and the sums the
/// query asks for (r = r_p).
PairSums projected_pairs(const PairQuery &query, const Edges &r_p_bins, const Edges &pi_bins,
                         double box_size);

/// (n_rp, n_pi) histograms of pairs by r_p (across the line of sight, binned through its
/// square) and pi = |dz|. Same preconditions and `owner` as count_pairs_1d, for both
/// edge arrays.
PairHists projected_counts(const StridedMatrix &coords, const PartitionIds &ids,
                           const Edges &r_p_bins, const Edges &pi_bins, double box_size,
                           const OwnerSlab *owner = nullptr);

}  // namespace quor
