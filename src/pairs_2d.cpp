/* src/pairs_2d.cpp: projected (r_p, pi) pair counts. */
#include "src/pairs_2d.h"

#include <stdexcept>

namespace quor {

PairHists projected_counts(const StridedMatrix &, const PartitionIds &, const Edges &, const Edges &,
                           double) {
    throw std::logic_error("count_pairs_2d is not implemented yet");
}

}  // namespace quor
