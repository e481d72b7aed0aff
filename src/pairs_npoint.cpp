/* src/pairs_npoint.cpp: n-point group counts and shape-resolved triplets. */
#include "src/pairs_npoint.h"

#include <stdexcept>

namespace quor {

NpointCounts npoint_counts(const StridedMatrix &, const PartitionIds &, const Edges &, double,
                           uint64_t) {
    throw std::logic_error("count_npoint is not implemented yet");
}

NpointCounts shape_counts(const StridedMatrix &, const PartitionIds &, const Edges &, uint64_t,
                          double) {
    throw std::logic_error("count_npoint3_shape is not implemented yet");
}

}  // namespace quor
