/* module/args.h: argument binding, conversion to read-only views and numbers, and input checks. */
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>

#include "module/ref.h"
#include "src/common.h"

namespace quor {

/// Parameter names of one function, in declaration (binding and conversion) order.
struct Signature {
    const char *function;  ///< the function's Python name
    const char *const *names;
    size_t count;
    /// The last `optional` parameters may be left out; they are then None.
    size_t optional = 0;
};

/// At most this many parameters per function.
constexpr size_t MAX_PARAMS = 20;

/// Bound arguments, one strong reference per parameter, held until the call ends.
struct BoundArgs {
    const Signature *sig = nullptr;
    Ref values[MAX_PARAMS];

    PyObject *operator[](size_t i) const { return values[i].get(); }
};

/// Binds positional and keyword arguments to the parameters of `sig`; every parameter is
/// positional-or-keyword, and all but the last `sig.optional` are required (those left
/// out are bound to None). Raises TypeError (through PyErrSet) on failure.
BoundArgs bind_arguments(const Signature &sig, PyObject *args, PyObject *kwargs);

// Conversions of parameter `i`. Each raises with the parameter's name prefixed when the
// underlying failure is exactly TypeError. The views borrow the array held by `bound`.
StridedMatrix positions_arg(const BoundArgs &bound, size_t i);
PartitionIds partition_arg(const BoundArgs &bound, size_t i);
Edges edges_arg(const BoundArgs &bound, size_t i);
/// A 1-D float64 array of one weight per galaxy.
StridedVector<double> weights_arg(const BoundArgs &bound, size_t i);
/// The truth of parameter `i` (None is false); raises what bool() raises.
bool flag_arg(const BoundArgs &bound, size_t i);
double real_arg(const BoundArgs &bound, size_t i);
uint64_t count_arg(const BoundArgs &bound, size_t i);

// ---- Input checks made after conversion and before counting (ValueError / OverflowError).

/// An edge array needs at least one edge.
void check_edges(const char *name, const Edges &edges);
/// ValueError unless a non-empty coords has at least 3 columns and partition_ids one
/// entry per row; the messages call them by the given names.
void check_catalogue(const StridedMatrix &coords, const PartitionIds &ids,
                     const char *coords_name = "coords", const char *ids_name = "partition_ids");
/// ValueError unless `weights` has one entry per row of `coords`.
void check_weights(const StridedVector<double> &weights, const StridedMatrix &coords,
                   const char *name, const char *coords_name);
/// A group has at least one member once there is a galaxy to count.
void check_n_order(uint64_t n_order, const StridedMatrix &coords);
/// Group counts bin through a table of equal steps of the squared last edge: ValueError
/// unless that square is finite (an infinite one leaves every step without a value).
void check_quantised_edges(const char *name, const Edges &edges);
/// Raises OverflowError "{name} is too large" unless a float64 array of the given
/// dimensions (product taken as exact) can be described to NumPy: every dimension and the
/// byte size of the non-zero dimensions fit Py_ssize_t.
void check_result_size(const char *name, uint64_t a, uint64_t b = 1, uint64_t c = 1);

/// Number of bins described by an edge array already checked by check_edges.
inline uint64_t bin_count(const Edges &edges) { return static_cast<uint64_t>(edges.size) - 1; }

}  // namespace quor
