/* module/calls.cpp: argument conversion and checks, counts and result tuples of the counters. */
#include "module/calls.h"

#include <algorithm>
#include <string>
#include <utility>

#include "module/results.h"
#include "src/pairs_smu.h"

namespace quor {

/* A 1-D result of n_r = len(edges) - 1 entries always fits: NumPy itself guarantees that
   an edge array's element count times 8 bytes fits Py_ssize_t. Only products of sizes
   (2-D results, scalar sizes) need check_result_size. */

namespace {

/// A histogram of a pair counter as an array: 1-D for the radial counter, else 2-D, with
/// a last axis of exact parts for a histogram of them.
Ref hist_array(Hist2d &&hist, bool radial) {
    if (!radial) return make_array_2d(std::move(hist));
    if (hist.parts == 0) return make_array_1d(std::move(hist.values));
    return make_array_2d(Hist2d{std::move(hist.values), hist.rows * hist.cols, hist.parts, 0});
}

/// Both histograms of a pair counter as the (auto, cross) result tuple.
Ref pair_hists_result(PairHists &&hists, bool radial = false) {
    Ref auto_counts = hist_array(std::move(hists.auto_counts), radial);
    Ref cross_counts = hist_array(std::move(hists.cross_counts), radial);
    return make_result_pair(std::move(auto_counts), std::move(cross_counts));
}

/// The (counts_by_s, counts_total) result tuple of the group counters.
Ref npoint_result(NpointCounts &&counts) {
    Ref by_s = make_array_2d(std::move(counts.counts_by_s));
    Ref total = make_array_1d(std::move(counts.counts_total));
    return make_result_pair(std::move(by_s), std::move(total));
}

constexpr double F64 = sizeof(double);

/// "name of N edges" for an edge array.
std::string edges_named(const char *name, const Edges &edges) {
    return std::string(name) + " of " + std::to_string(edges.size) + " edges";
}

/// "name=value" for a size argument.
std::string value_named(const char *name, uint64_t value) {
    return std::string(name) + "=" + std::to_string(value);
}

/// Histograms of a pair count: (auto, cross) as the result and once more as the copy
/// counted into, `a` x `b` bins named by whichever of the two is larger.
MemoryNeed pair_need(uint64_t a, std::string a_name, uint64_t b, std::string b_name) {
    return {4.0 * static_cast<double>(a) * static_cast<double>(b) * F64, a >= b ? a_name : b_name};
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Radial pairs

Pairs1dCall Pairs1dCall::from(const BoundArgs &bound) {
    Pairs1dCall c{positions_arg(bound, 0), partition_arg(bound, 1), edges_arg(bound, 2), real_arg(bound, 3)};
    check_catalogue(c.coords, c.ids);
    check_edges("r_bins", c.r_bins);
    return c;
}

RadialCounts Pairs1dCall::run(const OwnerSlab *owner) const {
    return count_pairs_1d(coords, ids, r_bins, box_size, owner);
}

MemoryNeed Pairs1dCall::memory_need() const {
    return pair_need(bin_count(r_bins), edges_named("r_bins", r_bins), 1, "");
}

Ref Pairs1dCall::result(RadialCounts &&counts) {
    Ref dd_auto = make_array_1d(std::move(counts.dd_auto));
    Ref dd_cross = make_array_1d(std::move(counts.dd_cross));
    return make_result_pair(std::move(dd_auto), std::move(dd_cross));
}

// ---------------------------------------------------------------------------------------------
// Projected pairs

Pairs2dCall Pairs2dCall::from(const BoundArgs &bound) {
    Pairs2dCall c{positions_arg(bound, 0), partition_arg(bound, 1), edges_arg(bound, 2),
                  edges_arg(bound, 3), real_arg(bound, 4)};
    check_catalogue(c.coords, c.ids);
    check_edges("r_p_bins", c.r_p_bins);
    check_edges("pi_bins", c.pi_bins);
    check_result_size("pi_bins", bin_count(c.r_p_bins), bin_count(c.pi_bins));
    return c;
}

PairHists Pairs2dCall::run(const OwnerSlab *owner) const {
    return projected_counts(coords, ids, r_p_bins, pi_bins, box_size, owner);
}

MemoryNeed Pairs2dCall::memory_need() const {
    return pair_need(bin_count(r_p_bins), edges_named("r_p_bins", r_p_bins), bin_count(pi_bins),
                     edges_named("pi_bins", pi_bins));
}

Ref Pairs2dCall::result(PairHists &&counts) { return pair_hists_result(std::move(counts)); }

// ---------------------------------------------------------------------------------------------
// Redshift-space pairs

PairsSmuCall PairsSmuCall::from(const BoundArgs &bound) {
    PairsSmuCall c{positions_arg(bound, 0), partition_arg(bound, 1), edges_arg(bound, 2),
                   count_arg(bound, 3), real_arg(bound, 4), real_arg(bound, 5)};
    check_catalogue(c.coords, c.ids);
    check_edges("s_bins", c.s_bins);
    check_result_size("n_mu_bins", bin_count(c.s_bins), c.n_mu_bins);
    return c;
}

PairHists PairsSmuCall::run(const OwnerSlab *owner) const {
    return smu_counts(coords, ids, s_bins, n_mu_bins, mu_max, box_size, owner);
}

MemoryNeed PairsSmuCall::memory_need() const {
    return pair_need(n_mu_bins, value_named("n_mu_bins", n_mu_bins), bin_count(s_bins),
                     edges_named("s_bins", s_bins));
}

Ref PairsSmuCall::result(PairHists &&counts) { return pair_hists_result(std::move(counts)); }

// ---------------------------------------------------------------------------------------------
// Groups

NpointCall NpointCall::from(const BoundArgs &bound) {
    NpointCall c{positions_arg(bound, 0), partition_arg(bound, 1), edges_arg(bound, 2), real_arg(bound, 3),
                 count_arg(bound, 4)};
    check_catalogue(c.coords, c.ids);
    check_edges("r_bins", c.r_bins);
    check_n_order(c.n_order, c.coords);
    if (c.n_order != 2) check_quantised_edges("r_bins", c.r_bins);  // pairs are binned exactly
    check_result_size("n_order", c.n_order, bin_count(c.r_bins));  // counts_by_s has up to n_order rows
    return c;
}

NpointCounts NpointCall::run(const OwnerSlab *owner) const {
    return npoint_counts(coords, ids, r_bins, box_size, n_order, owner, regions);
}

MemoryNeed NpointCall::memory_need() const {
    // The result has a row per group size up to n_order (2 for pairs); the copy counted
    // into holds the rows that can hold a group (at most 8).
    const double n_r = static_cast<double>(bin_count(r_bins));
    const double rows = n_order == 2 ? 2.0 : static_cast<double>(n_order);
    const double bytes = (rows + std::min(rows, 8.0) + 1.0) * n_r * F64;
    return {bytes, rows >= n_r ? value_named("n_order", n_order) : edges_named("r_bins", r_bins)};
}

Ref NpointCall::result(NpointCounts &&counts) { return npoint_result(std::move(counts)); }

// ---------------------------------------------------------------------------------------------
// Shape-resolved triplets

ShapeCall ShapeCall::from(const BoundArgs &bound) {
    ShapeCall c{positions_arg(bound, 0), partition_arg(bound, 1), edges_arg(bound, 2), count_arg(bound, 3),
                real_arg(bound, 4)};
    check_catalogue(c.coords, c.ids);
    check_edges("r_bins", c.r_bins);
    check_quantised_edges("r_bins", c.r_bins);
    // The computation takes n_ratio = 0 as one ratio bin. With no radial bin the result
    // is (3, 0) whatever n_ratio is.
    const uint64_t n_r = bin_count(c.r_bins);
    check_result_size("n_ratio", 3, n_r, n_r == 0 ? 0 : c.n_ratio == 0 ? 1 : c.n_ratio);
    return c;
}

NpointCounts ShapeCall::run(const OwnerSlab *owner) const {
    return shape_counts(coords, ids, r_bins, n_ratio, box_size, owner, regions);
}

MemoryNeed ShapeCall::memory_need() const {
    const uint64_t n_r = bin_count(r_bins);
    const uint64_t n = std::max<uint64_t>(n_ratio, 1);
    return {7.0 * static_cast<double>(n_r) * static_cast<double>(n) * F64,
            n >= n_r ? value_named("n_ratio", n_ratio) : edges_named("r_bins", r_bins)};
}

Ref ShapeCall::result(NpointCounts &&counts) { return npoint_result(std::move(counts)); }

// ---------------------------------------------------------------------------------------------
// Pair counters with a second catalogue, weights, separations or regions

void check_regions(const PartitionIds &labels, const StridedMatrix &coords, uint64_t n_regions,
                   const char *name, const char *coords_name) {
    if (labels.size != coords.rows)
        raise_with(PyExc_ValueError, PyUnicode_FromFormat("%s must have one label per row of %s", name, coords_name));
    for (int64_t i = 0; i < labels.size; ++i) {
        const int32_t r = labels[i];
        if (r < 0 || static_cast<uint64_t>(r) >= n_regions)
            raise_with(PyExc_ValueError,
                       PyUnicode_FromFormat("%s[%lld] = %d is outside [0, n_regions) with n_regions=%llu", name,
                                            static_cast<long long>(i), static_cast<int>(r),
                                            static_cast<unsigned long long>(n_regions)));
    }
}

namespace {

/// n_regions, bound at `at`, for a count given region labels (`labelled`): ValueError
/// when it is given without them, or with them is missing, 0 or beyond int32 labels.
uint64_t region_count_arg(const BoundArgs &bound, size_t at, bool labelled) {
    const bool counted = bound[at] != Py_None;
    if (counted && !labelled) raise_with(PyExc_ValueError, PyUnicode_FromString("n_regions needs regions"));
    if (!labelled) return 0;
    const uint64_t n_regions = counted ? count_arg(bound, at) : 0;
    if (n_regions == 0) raise_with(PyExc_ValueError, PyUnicode_FromString("n_regions must be at least 1 with regions"));
    if (n_regions > static_cast<uint64_t>(INT32_MAX))
        raise_with(PyExc_ValueError, PyUnicode_FromString("n_regions must be at most 2147483647"));
    return n_regions;
}

/// The 2-tuple of a group count, or with regions the 4-tuple that adds its regions'
/// histograms, (n_regions, rows, cols) and (n_regions, cols).
Ref group_result(NpointCounts &&counts) {
    if (counts.n_regions == 0) return npoint_result(std::move(counts));
    const uint64_t n_regions = counts.n_regions, rows = counts.counts_by_s.rows, cols = counts.counts_by_s.cols;
    Ref by_s = make_array_2d(std::move(counts.counts_by_s));
    Ref total = make_array_1d(std::move(counts.counts_total));
    Ref removed_by_s = make_array_nd(std::move(counts.removed_by_s), {n_regions, rows, cols});
    Ref removed_total = make_array_nd(std::move(counts.removed_total), {n_regions, cols});
    Ref out = steal_or_throw(PyTuple_New(4));
    Ref items[4] = {std::move(by_s), std::move(total), std::move(removed_by_s), std::move(removed_total)};
    for (Py_ssize_t k = 0; k < 4; ++k)
        check_status(PyTuple_SetItem(out.get(), k, items[k].release()));  // takes the item even on failure
    return out;
}

}  // namespace

template <class Base>
GroupRegionsCall<Base> GroupRegionsCall<Base>::from(const BoundArgs &bound) {
    GroupRegionsCall call{Base::from(bound)};
    const size_t k = bound.sig->count - TRAILING;
    const bool labelled = bound[k] != Py_None;
    GroupRegions &regions = call.base.regions;
    regions.n_regions = region_count_arg(bound, k + 1, labelled);
    if (labelled) {
        regions.labels = partition_arg(bound, k);
        check_regions(regions.labels, call.base.coords, regions.n_regions, "regions", "coords");
        // The base's need, in float64, covers its result: n_regions more of it must fit.
        check_result_size("n_regions", regions.n_regions, static_cast<uint64_t>(call.base.memory_need().bytes / F64));
    }
    return call;
}

template <class Base>
MemoryNeed GroupRegionsCall<Base>::memory_need() const {
    MemoryNeed need = base.memory_need();
    // With regions, the result and every copy counted into once more per region.
    if (base.regions.regioned()) {
        need.bytes *= 1.0 + static_cast<double>(base.regions.n_regions);
        if (static_cast<double>(base.regions.n_regions) >= need.bytes / 64)
            need.argument = "n_regions=" + std::to_string(base.regions.n_regions);
    }
    return need;
}

template <class Base>
Ref GroupRegionsCall<Base>::result(NpointCounts &&counts) const {
    return group_result(std::move(counts));
}

template struct GroupRegionsCall<NpointCall>;
template struct GroupRegionsCall<ShapeCall>;

template <class Base>
PairSumsCall<Base> PairSumsCall<Base>::from(const BoundArgs &bound) {
    PairSumsCall call{Base::from(bound), {}, false};
    const size_t k = bound.sig->count - TRAILING;
    auto given = [&](size_t i) { return bound[k + i] != Py_None; };
    PairQuery &q = call.query;
    q.first = {call.base.coords, call.base.ids, {}, {}};
    if (given(0)) q.second.coords = positions_arg(bound, k);
    if (given(1)) q.second.ids = partition_arg(bound, k + 1);
    if (given(2)) q.first.weights = weights_arg(bound, k + 2);
    if (given(3)) q.second.weights = weights_arg(bound, k + 3);
    q.separations = flag_arg(bound, k + 4);
    q.cross = given(0);
    if (given(0) && !given(1)) raise_with(PyExc_ValueError, PyUnicode_FromString("partition_ids2 is required with coords2"));
    if (given(1) && !given(0)) raise_with(PyExc_ValueError, PyUnicode_FromString("partition_ids2 needs coords2"));
    if (given(3) && !given(0)) raise_with(PyExc_ValueError, PyUnicode_FromString("weights2 needs coords2"));
    if (q.cross) check_catalogue(q.second.coords, q.second.ids, "coords2", "partition_ids2");
    if (given(2)) check_weights(q.first.weights, q.first.coords, "weights", "coords");
    if (given(3)) check_weights(q.second.weights, q.second.coords, "weights2", "coords2");
    call.extended = given(0) || given(2) || given(3) || q.separations;
    // Regions: labels for every catalogue counted, and how many regions they name.
    const bool regions = given(5), regions2 = given(6);
    if (regions2 && !q.cross) raise_with(PyExc_ValueError, PyUnicode_FromString("regions2 needs coords2"));
    if (regions2 && !regions) raise_with(PyExc_ValueError, PyUnicode_FromString("regions2 needs regions"));
    if (regions && q.cross && !regions2)
        raise_with(PyExc_ValueError, PyUnicode_FromString("regions2 is required with coords2 and regions"));
    q.n_regions = region_count_arg(bound, k + 7, regions);
    if (regions) {
        q.first.regions = partition_arg(bound, k + 5);
        check_regions(q.first.regions, q.first.coords, q.n_regions, "regions", "coords");
        if (q.cross) {
            q.second.regions = partition_arg(bound, k + 6);
            check_regions(q.second.regions, q.second.coords, q.n_regions, "regions2", "coords2");
        }
        // The bins of one histogram: the base's need is four histograms of float64.
        check_result_size("n_regions", q.n_regions, static_cast<uint64_t>(call.base.memory_need().bytes / 32));
    }
    return call;
}

template <class Base>
PairSums PairSumsCall<Base>::run(const OwnerSlab *owner) const {
    PairQuery q = query;
    q.owner = owner;
    q.expansions = owner != nullptr;  // a slab's sums are joined with the others' exactly
    return base.sums(q);
}

template <class Base>
MemoryNeed PairSumsCall<Base>::memory_need() const {
    MemoryNeed need = base.memory_need();
    // Each sum kept: its two result histograms, and in each copy its int64 parts and
    // exact digits, some ten words a counter (HistPair::bytes).
    const double sums = (query.weighted() ? 1.0 : 0.0) + (query.separations ? 2.0 : 0.0);
    need.bytes *= 1.0 + 3.0 * sums;
    // With regions, every histogram once more per region.
    if (query.regioned()) {
        need.bytes *= 1.0 + static_cast<double>(query.n_regions);
        if (static_cast<double>(query.n_regions) >= need.bytes / 64) need.argument = "n_regions=" + std::to_string(query.n_regions);
    }
    return need;
}

template <class Base>
Ref PairSumsCall<Base>::result(PairSums &&counts) const {
    if (!extended && !query.regioned()) return pair_hists_result(std::move(counts.pairs), Base::RADIAL);
    constexpr bool radial = Base::RADIAL;
    Ref auto_pairs = hist_array(std::move(counts.pairs.auto_counts), radial);
    Ref cross_pairs = hist_array(std::move(counts.pairs.cross_counts), radial);
    const bool weighted = query.weighted();
    Ref auto_sums = weighted ? hist_array(std::move(counts.weights.auto_counts), radial) : Ref::borrow(auto_pairs.get());
    Ref cross_sums = weighted ? hist_array(std::move(counts.weights.cross_counts), radial) : Ref::borrow(cross_pairs.get());
    auto separation = [&](Hist2d &hist) { return query.separations ? hist_array(std::move(hist), radial) : Ref::borrow(Py_None); };
    Ref items[8] = {std::move(auto_sums), std::move(cross_sums), std::move(auto_pairs), std::move(cross_pairs),
                    separation(counts.r.auto_counts), separation(counts.r.cross_counts),
                    separation(counts.log_r.auto_counts), separation(counts.log_r.cross_counts)};
    const Py_ssize_t n_items = query.regioned() ? 16 : 8;
    Ref out = steal_or_throw(PyTuple_New(n_items));
    for (Py_ssize_t k = 0; k < 8; ++k)
        check_status(PyTuple_SetItem(out.get(), k, items[k].release()));  // takes the item even on failure
    if (!query.regioned()) return out;
    // The regions' histograms, (n_regions, bins...) with the bins' shape as above.
    PairSums &removed = counts.removed.at(0);
    auto by_region = [&](Hist2d &hist) {
        std::vector<uint64_t> dims{query.n_regions};
        if (radial) {
            dims.push_back(hist.rows * hist.cols);
        } else {
            dims.push_back(hist.rows);
            dims.push_back(hist.cols);
        }
        if (hist.parts > 0) dims.push_back(hist.parts);
        return make_array_nd(std::move(hist.values), dims);
    };
    Ref r_auto_pairs = by_region(removed.pairs.auto_counts);
    Ref r_cross_pairs = by_region(removed.pairs.cross_counts);
    Ref r_auto_sums = weighted ? by_region(removed.weights.auto_counts) : Ref::borrow(r_auto_pairs.get());
    Ref r_cross_sums = weighted ? by_region(removed.weights.cross_counts) : Ref::borrow(r_cross_pairs.get());
    auto r_separation = [&](Hist2d &hist) { return query.separations ? by_region(hist) : Ref::borrow(Py_None); };
    Ref r_items[8] = {std::move(r_auto_sums), std::move(r_cross_sums), std::move(r_auto_pairs), std::move(r_cross_pairs),
                      r_separation(removed.r.auto_counts), r_separation(removed.r.cross_counts),
                      r_separation(removed.log_r.auto_counts), r_separation(removed.log_r.cross_counts)};
    for (Py_ssize_t k = 0; k < 8; ++k)
        check_status(PyTuple_SetItem(out.get(), 8 + k, r_items[k].release()));
    return out;
}

template struct PairSumsCall<Pairs1dCall>;
template struct PairSumsCall<Pairs2dCall>;
template struct PairSumsCall<PairsSmuCall>;

}  // namespace quor
