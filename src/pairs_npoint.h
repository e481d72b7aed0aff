/* src/pairs_npoint.h: n-point group counts and shape-resolved triplet counts. */
#pragma once

#include <cstdint>
#include <vector>

#include "src/common.h"

namespace quor {

struct NpointCounts {
    Hist2d counts_by_s;                ///< rows by number of distinct partitions
    std::vector<double> counts_total;  ///< column sums of counts_by_s
    /// With regions: per region k, counts_by_s and counts_total over only the groups with
    /// at least one member in region k, region after region; else empty.
    uint64_t n_regions = 0;
    std::vector<double> removed_by_s;
    std::vector<double> removed_total;
};

/// Jackknife regions of a group count: one label in [0, n_regions) per row, or none
/// (n_regions == 0).
struct GroupRegions {
    PartitionIds labels;
    uint64_t n_regions = 0;

    bool regioned() const { return n_regions > 0; }
};

/// Groups of n_order galaxies with every pairwise separation below the last edge,
/// binned by their largest separation. n_order must be >= 1 when coords.rows > 0. With
/// `owner`, counts only the groups with at least one member that the slab owns. With
/// `regions`, also the counts of the groups touching each region: a group counts once in
/// each distinct region among its members.
NpointCounts npoint_counts(const StridedMatrix &coords, const PartitionIds &ids,
                           const Edges &r_bins, double box_size, uint64_t n_order,
                           const OwnerSlab *owner = nullptr, const GroupRegions &regions = {});

/// Triplets binned by largest separation and by r_min / r_max in n_ratio bins
/// (0 is taken as 1); returns (t_by_s, t_total). `owner` and `regions` as for npoint_counts.
NpointCounts shape_counts(const StridedMatrix &coords, const PartitionIds &ids,
                          const Edges &r_bins, uint64_t n_ratio, double box_size,
                          const OwnerSlab *owner = nullptr, const GroupRegions &regions = {});

}  // namespace quor
