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

namespace quor {

/* Each call struct is made from bound arguments 0 .. k-1 in declaration order (the
   first failing conversion raises, naming its parameter), then checked before any
   counting. `run()` touches no Python object, so it may run without the GIL; with an
   owner slab it counts only what the slab owns (for quor.distributed). The views
   borrow the arrays that the BoundArgs hold; it must outlive the call struct. */

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

    using Counts = RadialCounts;
    static Pairs1dCall from(const BoundArgs &bound);
    Counts run(const OwnerSlab *owner = nullptr) const;
    MemoryNeed memory_need() const;
    static Ref result(Counts &&counts);
};

struct Pairs2dCall {
    StridedMatrix coords;
    PartitionIds ids;
    Edges r_p_bins, pi_bins;
    double box_size;

    using Counts = PairHists;
    static Pairs2dCall from(const BoundArgs &bound);
    Counts run(const OwnerSlab *owner = nullptr) const;
    MemoryNeed memory_need() const;
    static Ref result(Counts &&counts);
};

struct PairsSmuCall {
    StridedMatrix coords;
    PartitionIds ids;
    Edges s_bins;
    uint64_t n_mu_bins;
    double mu_max, box_size;

    using Counts = PairHists;
    static PairsSmuCall from(const BoundArgs &bound);
    Counts run(const OwnerSlab *owner = nullptr) const;
    MemoryNeed memory_need() const;
    static Ref result(Counts &&counts);
};

struct NpointCall {
    StridedMatrix coords;
    PartitionIds ids;
    Edges r_bins;
    double box_size;
    uint64_t n_order;

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

    using Counts = NpointCounts;
    static ShapeCall from(const BoundArgs &bound);
    Counts run(const OwnerSlab *owner = nullptr) const;
    MemoryNeed memory_need() const;
    static Ref result(Counts &&counts);
};

}  // namespace quor
