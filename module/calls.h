/* module/calls.h: the counters' converted and checked arguments, their counts and their
   result tuples, shared by _quor and quor._kernels so the two cannot count differently. */
#pragma once

#include <Python.h>

#include <cstdint>
#include <string>

#include "module/args.h"
#include "module/ref.h"
#include "src/common.h"
#include "src/pairs_1d.h"
#include "src/pairs_2d.h"
#include "src/pairs_npoint.h"
#include "src/pairs_smu.h"

namespace quor {

/// Region labels of one catalogue: ValueError unless `labels` has one entry per row of
/// `coords` and each lies in [0, n_regions).
void check_regions(const PartitionIds &labels, const StridedMatrix &coords, uint64_t n_regions,
                   const char *name, const char *coords_name);

/* Each call struct is made from bound arguments 0 .. k-1 in declaration order (the
   first failing conversion raises, naming its parameter), then checked before any
   counting. `run()` touches no Python object, so it may run without the GIL; with an
   owner slab it counts only what the slab owns (for quor.distributed). The views
   borrow the arrays that the BoundArgs hold; it must outlive the call struct.
   TRAILING counts the parameters a counter of quor._kernels takes after its control
   parameters (see PairSumsCall). */

/// The memory a count needs at least (its result and one histogram copy to count into,
/// in bytes, as a double so that no product overflows) and the argument that sizes it,
/// as the message should name it ("n_order=1000000000", "pi_bins of 1000001 edges").
struct MemoryNeed {
    double bytes;
    std::string argument;
};

struct Pairs1dCall {
    StridedMatrix coords;
    PartitionIds ids;
    Edges r_bins;
    double box_size;

    static constexpr size_t TRAILING = 0;
    static constexpr bool RADIAL = true;
    using Counts = RadialCounts;
    static Pairs1dCall from(const BoundArgs &bound);
    Counts run(const OwnerSlab *owner = nullptr) const;
    /// The count of a pair query over these bins.
    PairSums sums(const PairQuery &query) const { return radial_pairs(query, r_bins, box_size); }
    MemoryNeed memory_need() const;
    static Ref result(Counts &&counts);
};

struct Pairs2dCall {
    StridedMatrix coords;
    PartitionIds ids;
    Edges r_p_bins, pi_bins;
    double box_size;

    static constexpr size_t TRAILING = 0;
    static constexpr bool RADIAL = false;
    using Counts = PairHists;
    static Pairs2dCall from(const BoundArgs &bound);
    Counts run(const OwnerSlab *owner = nullptr) const;
    /// The count of a pair query over these bins.
    PairSums sums(const PairQuery &query) const { return projected_pairs(query, r_p_bins, pi_bins, box_size); }
    MemoryNeed memory_need() const;
    static Ref result(Counts &&counts);
};

struct PairsSmuCall {
    StridedMatrix coords;
    PartitionIds ids;
    Edges s_bins;
    uint64_t n_mu_bins;
    double mu_max, box_size;

    static constexpr size_t TRAILING = 0;
    static constexpr bool RADIAL = false;
    using Counts = PairHists;
    static PairsSmuCall from(const BoundArgs &bound);
    Counts run(const OwnerSlab *owner = nullptr) const;
    /// The count of a pair query over these bins.
    PairSums sums(const PairQuery &query) const { return smu_pairs(query, s_bins, n_mu_bins, mu_max, box_size); }
    MemoryNeed memory_need() const;
    static Ref result(Counts &&counts);
};

struct NpointCall {
    StridedMatrix coords;
    PartitionIds ids;
    Edges r_bins;
    double box_size;
    uint64_t n_order;
    GroupRegions regions{};  ///< set by GroupRegionsCall; none for _quor

    static constexpr size_t TRAILING = 0;
    using Counts = NpointCounts;
    static NpointCall from(const BoundArgs &bound);
    Counts run(const OwnerSlab *owner = nullptr) const;
    MemoryNeed memory_need() const;
    static Ref result(Counts &&counts);
};

struct ShapeCall {
    StridedMatrix coords;
    PartitionIds ids;
    Edges r_bins;
    uint64_t n_ratio;
    double box_size;
    GroupRegions regions{};  ///< set by GroupRegionsCall; none for _quor

    static constexpr size_t TRAILING = 0;
    using Counts = NpointCounts;
    static ShapeCall from(const BoundArgs &bound);
    Counts run(const OwnerSlab *owner = nullptr) const;
    MemoryNeed memory_need() const;
    static Ref result(Counts &&counts);
};

/* A group counter of quor._kernels (NpointCall or ShapeCall): the parameters of `Base`,
   then, after the control parameters, the two of TRAILING, each None by default: regions
   (one int32 label per galaxy, in [0, n_regions)) and n_regions. Without them the count
   and its result are Base's; with them, the result is the 4-tuple (by_partitions, total,
   by_partitions_removed, total_removed), the last two the first two over only the groups
   with a member in each region, with a leading axis of n_regions. */
template <class Base>
struct GroupRegionsCall {
    Base base;

    static constexpr size_t TRAILING = 2;
    using Counts = NpointCounts;
    static GroupRegionsCall from(const BoundArgs &bound);
    Counts run(const OwnerSlab *owner = nullptr) const { return base.run(owner); }
    MemoryNeed memory_need() const;
    Ref result(Counts &&counts) const;
};

/* A pair counter of quor._kernels: the parameters of `Base` (one catalogue and the bins),
   then, after the control parameters, the five of TRAILING, each None by default:
   coords2 and partition_ids2 (a second catalogue: every pair between the two counts),
   weights and weights2 (one float64 weight per galaxy of either catalogue) and
   separations (sums of r and ln r over each bin's pairs). Without any of them the count
   and its result are Base's; with one, the result is the 8-tuple (auto, cross,
   auto_pairs, cross_pairs, auto_r, cross_r, auto_log_r, cross_log_r): auto and cross the
   sums of w_i w_j when weighted (else the pair counts again), the separation sums of
   w_i w_j r and w_i w_j ln r, or None without separations.
   Three more trailing parameters count by jackknife region: regions and regions2 (one
   int32 label per galaxy of either catalogue, in [0, n_regions)) and n_regions. With
   them the result is a 16-tuple: the 8 above, then the same 8 over the pairs with a
   galaxy in each region, each with a leading axis of n_regions (None where the first
   8 have None). */
template <class Base>
struct PairSumsCall {
    Base base;
    PairQuery query;
    bool extended = false;

    static constexpr size_t TRAILING = 8;
    using Counts = PairSums;
    static PairSumsCall from(const BoundArgs &bound);
    Counts run(const OwnerSlab *owner = nullptr) const;
    MemoryNeed memory_need() const;
    Ref result(Counts &&counts) const;
};

}  // namespace quor
