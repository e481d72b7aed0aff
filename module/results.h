/* module/results.h: result vectors handed to NumPy without copying, and the result tuple. */
#pragma once

#include <Python.h>

#include <cstdint>
#include <vector>

#include "module/ref.h"
#include "src/common.h"

namespace quor {

/// A float64 array of shape (n,) over the vector's buffer, which it takes over; the buffer is
/// owned by a PySliceContainer set as the array's base. The vector is left empty.
Ref make_array_1d(std::vector<double> &&values);

/// An int32 array of shape (n,) over the vector's buffer, taken over as make_array_1d does.
Ref make_int32_array_1d(std::vector<int32_t> &&values);

/// A C-ordered float64 array of shape (rows, cols) over the histogram's buffer, taken over;
/// (rows, cols, parts) for a histogram of exact parts.
Ref make_array_2d(Hist2d &&hist);

/// A C-ordered float64 array of the given shape (at most 4 axes) over the vector's
/// buffer, taken over; the product of `dims` must be its size.
Ref make_array_nd(std::vector<double> &&values, const std::vector<uint64_t> &dims);

/// The 2-tuple (first, second); takes over both references.
Ref make_result_pair(Ref first, Ref second);

}  // namespace quor
