/* src/pairs_1d.h: radial pair counts in a periodic box, split by partition. */
#pragma once

#include <vector>

#include "src/common.h"

namespace quor {

struct RadialCounts {
    std::vector<double> dd_auto;   ///< pairs inside one partition, per radial bin
    std::vector<double> dd_cross;  ///< pairs across partitions
};

/// Counts unordered pairs by minimum-image separation in the bins of `r_bins`.
/// Requires r_bins.size >= 1, coords.cols >= 3 when coords.rows > 0, and
/// ids.size >= coords.rows (the module checks these before calling).
RadialCounts count_pairs_1d(const StridedMatrix &coords, const PartitionIds &ids,
                            const Edges &r_bins, double box_size);

}  // namespace quor
