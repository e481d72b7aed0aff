/* src/pairs_smu.cpp: redshift-space (s, mu) pair counts. */
#include "src/pairs_smu.h"

#include <stdexcept>

namespace quor {

PairHists smu_counts(const StridedMatrix &, const PartitionIds &, const Edges &, uint64_t, double,
                     double) {
    throw std::logic_error("count_pairs_smu is not implemented yet");
}

}  // namespace quor
