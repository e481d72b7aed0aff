/* src/pairs_npoint.h: n-point group counts and shape-resolved triplet counts. */
#pragma once

#include <cstdint>
#include <vector>

#include "src/common.h"

namespace quor {

struct NpointCounts {
    Hist2d counts_by_s;                ///< rows by number of distinct partitions
    std::vector<double> counts_total;  ///< column sums of counts_by_s
};

/// Groups of n_order galaxies with every pairwise separation below the last edge,
/// binned by their largest separation. n_order must be >= 1 when coords.rows > 0. With
/// `owner`, counts only the groups with at least one member that the slab owns.
NpointCounts npoint_counts(const StridedMatrix &coords, const PartitionIds &ids,
                           const Edges &r_bins, double box_size, uint64_t n_order,
                           const OwnerSlab *owner = nullptr);

/// Triplets binned by largest separation and by r_min / r_max in n_ratio bins
/// (0 is taken as 1); returns (t_by_s, t_total). `owner` as for npoint_counts.
NpointCounts shape_counts(const StridedMatrix &coords, const PartitionIds &ids,
                          const Edges &r_bins, uint64_t n_ratio, double box_size,
                          const OwnerSlab *owner = nullptr);

}  // namespace quor
