/* src/pairs_1d.h: radial pair counts in a periodic box, split by partition. */
#pragma once

#include <vector>

#include "src/cell_list.h"
#include "src/common.h"

namespace quor {

struct RadialCounts {
    std::vector<double> dd_auto;   ///< pairs inside one partition, per radial bin
    std::vector<double> dd_cross;  ///< pairs across partitions
};

/// Counts unordered pairs by minimum-image separation in the bins of `r_bins`.
/// Requires r_bins.size >= 1, coords.cols >= 3 when coords.rows > 0, and
/// ids.size >= coords.rows (the module checks these before calling). With `owner`, counts
/// only the pairs with at least one galaxy that the slab owns.
RadialCounts count_pairs_1d(const StridedMatrix &coords, const PartitionIds &ids,
                            const Edges &r_bins, double box_size,
                            const OwnerSlab *owner = nullptr);

/// The pairs of `query` by (minimum-image) separation in the bins of `r_bins`, each
/// histogram (n_r, 1), and the sums the query asks for. Same preconditions as
/// count_pairs_1d, for every catalogue of the query.
PairSums radial_pairs(const PairQuery &query, const Edges &r_bins, double box_size);

/// The (auto, cross) histograms, 2 (n - 1) entries, of the pairs of a prepared catalogue
/// by squared separation against the n >= 1 squared edges `r2_edges`, the last being
/// r_max * r_max: each pair measured at min_image of the plain difference with `fold`,
/// else at the cell shift (the z-window traversal, for grids whose cells are at least as
/// wide as r_max).
std::vector<double> radial_histogram(const CellOrdered &co, std::vector<double> r2_edges,
                                     double r_max, bool fold);

/// radial_histogram by region too, for columns whose region labels are filled: the
/// (auto, cross) histograms, then for each of the n_regions regions the same over the
/// pairs with a galaxy in it, region after region.
std::vector<double> radial_histogram_by_region(const CellOrdered &co, std::vector<double> r2_edges,
                                               double r_max, bool fold, uint64_t n_regions);

}  // namespace quor
