/* src/common.h: array views, exact numeric helpers and size checks shared by every counter. */
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <vector>

namespace quor {

/// Read-only 1-D view of a NumPy array, read through its own byte stride in logical order.
template <class T>
struct StridedVector {
    const char *data = nullptr;
    int64_t size = 0;
    int64_t stride = sizeof(T);  ///< in bytes; may be zero or negative

    T operator[](int64_t i) const {
        T v;  // memcpy: NumPy arrays need not be aligned
        std::memcpy(&v, data + i * stride, sizeof(T));
        return v;
    }
};

/// Read-only 2-D float64 view of a NumPy array, read through its own byte strides.
struct StridedMatrix {
    const char *data = nullptr;
    int64_t rows = 0;
    int64_t cols = 0;
    int64_t row_stride = 0;  ///< in bytes
    int64_t col_stride = 0;  ///< in bytes

    double operator()(int64_t i, int64_t j) const {
        double v;
        std::memcpy(&v, data + i * row_stride + j * col_stride, sizeof(double));
        return v;
    }
};

using Edges = StridedVector<double>;
using PartitionIds = StridedVector<int32_t>;

/// The slab x_lo <= x < x_hi whose galaxies a count owns; the others in its catalogue are
/// ghosts, there only to meet owned galaxies. A pair or group counts when at least one of
/// its members is owned, so counts over slabs that tile the box, each with the ghosts
/// just beyond its upper face, add up to the count over the whole box.
struct OwnerSlab {
    double x_lo, x_hi;
    bool owns(double x) const { return x_lo <= x && x < x_hi; }
};

/// One catalogue of a pair count: positions, partition ids and, optionally, one weight per
/// galaxy (`weights.size == 0`: every galaxy weighs 1).
struct Catalogue {
    StridedMatrix coords;
    PartitionIds ids;
    StridedVector<double> weights;
    /// One jackknife region label per galaxy, in [0, PairQuery::n_regions), or empty.
    PartitionIds regions;

    bool weighted() const { return weights.size > 0; }
};

/// What a pair count counts: the unordered pairs of `first` (an auto count), or with
/// `cross` every ordered pair of a galaxy of `first` and one of `second`. Sums of the
/// products of the pair's weights come with a weighted catalogue, sums of the separation
/// and of its logarithm with `separations`; with `owner`, only what the slab owns counts.
struct PairQuery {
    Catalogue first;
    Catalogue second;
    bool cross = false;
    bool separations = false;
    const OwnerSlab *owner = nullptr;
    /// Sums as the parts of their exact values (ExactSums::expansions) rather than
    /// rounded: what slab counts return, to be added up exactly and rounded once.
    bool expansions = false;
    /// With regions (> 0, every catalogue labelled): the count also keeps, per region k,
    /// its histograms over the pairs with at least one galaxy in region k.
    uint64_t n_regions = 0;

    bool regioned() const { return n_regions > 0; }
    bool weighted() const { return first.weighted() || (cross && second.weighted()); }
    /// Whether the count keeps sums beside its pair counts.
    bool sums() const { return weighted() || separations; }
};

/// A row-major 2-D histogram the computation owns; the module hands `values` to NumPy.
struct Hist2d {
    std::vector<double> values;
    uint64_t rows = 0;
    uint64_t cols = 0;
    /// 0 for plain bins; else every bin holds `parts` float64 (row-major, last) whose
    /// exact sum is the bin's value (an exact sum's expansion, for slab counts).
    uint64_t parts = 0;
};

/// Same-partition and cross-partition histograms of one pair counter.
struct PairHists {
    Hist2d auto_counts;
    Hist2d cross_counts;
};

/// The histograms of a pair count: its pairs, and the sums its query asks for over each
/// bin's pairs: of w_i w_j (weighted), of w_i w_j r and of w_i w_j ln r (separations),
/// r the binned separation. A sum not asked for is left empty; with the query's
/// `expansions`, the sums come as exact parts (Hist2d::parts).
struct PairSums {
    PairHists pairs;
    PairHists weights;
    PairHists r;
    PairHists log_r;
    /// With regions: one entry, the same histograms over the pairs that touch each
    /// region, region after region (n_regions blocks of each histogram's values).
    std::vector<PairSums> removed;
    uint64_t n_regions = 0;
};

/// Float64 to unsigned 64-bit: truncates toward zero; negative and NaN give 0,
/// values of 2^64 or more give 2^64 - 1.
inline uint64_t trunc_sat(double v) {
    if (!(v > 0.0)) return 0;
    if (v >= 18446744073709551616.0) return UINT64_MAX;
    return static_cast<uint64_t>(v);
}

/// One strict fold of a displacement component into the minimum image.
inline double min_image(double d, double box_size, double half_box) {
    if (d > half_box) return d - box_size;
    if (d < -half_box) return d + box_size;
    return d;
}

/// max/min that ignore a NaN operand: with one side NaN the result is the other side.
inline double max_ignore_nan(double a, double b) {
    if (a != a) return b;
    if (b != b) return a;
    return a < b ? b : a;
}
inline double min_ignore_nan(double a, double b) {
    if (a != a) return b;
    if (b != b) return a;
    return b < a ? b : a;
}

/// Number of float64 elements of an a x b histogram; throws std::bad_alloc when the
/// product overflows or the buffer could never be allocated, so nothing wraps.
inline uint64_t checked_elements(uint64_t a, uint64_t b) {
    constexpr uint64_t max_elems = static_cast<uint64_t>(PTRDIFF_MAX) / sizeof(double);
    if (a != 0 && b > max_elems / a) throw std::bad_alloc();
    return a * b;
}

/// The edges squared, in order.
inline std::vector<double> squared_edges(const Edges &edges) {
    std::vector<double> sq(static_cast<size_t>(edges.size));
    for (int64_t k = 0; k < edges.size; ++k) {
        const double e = edges[k];
        sq[k] = e * e;
    }
    return sq;
}

}  // namespace quor
