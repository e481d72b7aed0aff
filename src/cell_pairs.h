/* src/cell_pairs.h: the cell-by-cell pair traversal shared by the (r_p, pi) and (s, mu)
   counters, their bin lookup and the per-piece histograms they count into. */
#pragma once

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <type_traits>
#include <utility>
#include <vector>

#include "src/cell_list.h"
#include "src/common.h"
#include "src/kernel_select.h"
#include "src/pair_filter.h"
#include "src/pair_sums.h"
#include "src/pair_terms.h"
#include "src/parallel.h"

namespace quor {

/// The traversal's per-galaxy steps, inlined into their callers as the compiler would
/// not always do for functions of this size: each runs once per galaxy and neighbour.
#if defined(__GNUC__)
#define QUOR_HOT inline __attribute__((always_inline))
#else
#define QUOR_HOT inline
#endif

// ---- work tally -------------------------------------------------------------------

/* Built with QUOR_TALLY=1 (the CMake option of that name), every pair count tallies its
   work: the candidates, partners whose displacement the filter computed, and the
   survivors it kept for the pair test. They show where a count's time goes (cycles per
   candidate, candidates per counted pair); an ordinary build compiles the tally out. */
#ifndef QUOR_TALLY
#define QUOR_TALLY 0
#endif
inline constexpr bool TALLY_WORK = QUOR_TALLY != 0;

struct WorkTally {
    uint64_t candidates = 0, kept = 0;

    void merge(const WorkTally &right) {
        candidates += right.candidates;
        kept += right.kept;
    }

    /// One line on stderr, read by the benchmarks from a child process.
    void report() const {
        std::fprintf(stderr, "quor-tally: candidates=%" PRIu64 " kept=%" PRIu64 "\n", candidates, kept);
        std::fflush(stderr);
    }
};

// ---- histograms -------------------------------------------------------------------

/// The private (auto, cross) histograms of one piece of a sweep, as one buffer: auto
/// counters first, then cross, so that a pair picks its half by arithmetic, not a branch.
///
/// Small histograms count in integers, in COPIES interleaved copies of every counter:
/// when most pairs land in a few bins, consecutive increments then go to different
/// copies instead of waiting for each other. The copies are summed, exactly, into the
/// float64 counters when the histograms are taken out. A pair with no counter (-1)
/// lands in a spare counter in front of the others, rather than taking a branch.
///
/// A weighted count, or one with separations, also keeps exact sums over each counter's
/// pairs (PairTermSums): of w_i w_j when weighted, then of w_i w_j r and w_i w_j ln r
/// with separations, r the binned separation (w_i w_j = 1 unweighted).
struct HistPair {
    static constexpr uint64_t COPIES = 8;
    static constexpr uint64_t MAX_TALLIED = 4096;  ///< counters counted in copies, at most

    std::vector<double> counts;
    std::vector<uint64_t> tallies;  ///< COPIES per counter and the spare one, or empty
    uint64_t n_bins;
    uint32_t peel_pause = 0;  ///< buffers left to count without peeling (count_peeled_avx512)
    PairTermSums sums;
    WorkTally tally;  ///< filled only with TALLY_WORK

    /// With regions: per region k, the 2 n counters (and sums) of the pairs with a
    /// galaxy in region k, block after block; counter k 2 n + c of region_tallies sits
    /// at k 2 n + c + 1, after a spare one for the pairs that add nothing there.
    uint64_t n_regions = 0;
    std::vector<uint64_t> region_tallies;
    PairTermSums region_sums;

    /* Pair counts by region without sums (by_own_region): the copies hold one more
       block of 2 n + 1 counters per region after the first, and a pair (i, j) counts in
       the block of r_i instead of the first, so that a run of pairs of one region
       counts as fast as without regions; region_tallies then gets only the pairs with
       r_j != r_i, in region r_j. take_counts adds each region's block to the counters
       and to that region's: the pairs with a galaxy in region k are those with r_i = k
       and those with r_j = k != r_i. `active` is where add and add_all count: the
       first block, or the block of the region of every galaxy of the visited cell. */
    static constexpr uint64_t MAX_REGION_TALLIES = uint64_t{1} << 19;
    bool by_own_region = false;
    uint64_t active = 0;

    /// Whether a HistPair of n bins, keeping `sums` sums, with `regions` regions,
    /// counts by own region.
    static bool counts_by_own_region(uint64_t n, uint64_t sums, uint64_t regions) {
        return regions > 0 && sums == 0 && 2 * n <= MAX_TALLIED &&
               regions <= MAX_REGION_TALLIES / ((2 * n + 1) * COPIES);
    }

    /// `term_bounds`: one per sum kept (pair_term_bounds).
    explicit HistPair(uint64_t n, const std::vector<double> &term_bounds = {}, uint64_t regions = 0)
        : counts(2 * n, 0.0), n_bins(n), sums(2 * n, term_bounds), n_regions(regions) {
        by_own_region = counts_by_own_region(n, term_bounds.size(), regions);
        if (2 * n <= MAX_TALLIED) tallies.assign((2 * n + 1) * COPIES * (by_own_region ? 1 + regions : 1), 0);
        if (regions > 0) {
            region_tallies.assign(checked_elements(regions, 2 * n) + 1, 0);
            region_sums = PairTermSums(regions * 2 * n, term_bounds);
        }
    }

    /// The bytes of the buffers of a HistPair of n bins, keeping `sums` sums, with
    /// `regions` regions.
    static uint64_t bytes(uint64_t n, uint64_t sums = 0, uint64_t regions = 0) {
        const uint64_t region_counters = regions * 2 * n;
        const uint64_t blocks = counts_by_own_region(n, sums, regions) ? 1 + regions : 1;
        return 2 * n * sizeof(double) +
               (2 * n <= MAX_TALLIED ? (2 * n + 1) * COPIES * blocks * sizeof(uint64_t) : 0) +
               PairTermSums::bytes(2 * n, sums) +
               (regions > 0 ? (region_counters + 1) * sizeof(uint64_t) + PairTermSums::bytes(region_counters, sums)
                            : 0);
    }

    /* The pairs of one buffer into the regions' counters: pair u, of counter
       counters[u] and regions code (r_i << 32) | r_j, adds to counter c of region r_i
       and, when r_j differs, of region r_j. Its two region counters are left in
       first[u] and second[u] (-1 where it adds nothing) for the sums. */
    void add_regions(const int64_t *counters, const uint64_t *codes, uint64_t n, int64_t *first,
                     int64_t *second) {
        const int64_t width = static_cast<int64_t>(2 * n_bins);
        uint64_t *t = region_tallies.data() + 1;  // counter -1 is the spare
        for (uint64_t u = 0; u < n; ++u) {
            const int64_t c = counters[u];
            const int64_t ri = static_cast<int64_t>(codes[u] >> 32);
            const int64_t rj = static_cast<int64_t>(codes[u] & 0xFFFFFFFFu);
            const int64_t a = c < 0 ? -1 : ri * width + c;
            const int64_t b = c < 0 || ri == rj ? -1 : rj * width + c;
            ++t[a];
            ++t[b];
            first[u] = a;
            second[u] = b;
        }
    }

    /// The offset of region k's block of copies (by_own_region).
    uint64_t block_of(int64_t region) const {
        return (1 + static_cast<uint64_t>(region)) * (2 * n_bins + 1) * COPIES;
    }

    /// One pair in each counters[u] >= 0, u < n, of regions code (r_i << 32) | r_j: in
    /// the block of region r_i, and in region r_j's counter when r_j differs
    /// (by_own_region).
    void add_all_by_region(const int64_t *counters, const uint64_t *codes, uint64_t n) {
        const int64_t width = static_cast<int64_t>(2 * n_bins);
        const int64_t stride = (width + 1) * static_cast<int64_t>(COPIES);
        uint64_t *t = tallies.data() + stride + COPIES;  // region 0's block; -1 is its spare
        uint64_t *other = region_tallies.data() + 1;
        // Most pairs add nothing to region r_j: they go to spares, in copies too, so that
        // consecutive ones do not wait for each other.
        uint64_t spares[COPIES] = {};
        for (uint64_t u = 0; u < n; ++u) {
            const int64_t c = counters[u];
            const int64_t ri = static_cast<int64_t>(codes[u] >> 32);
            const int64_t rj = static_cast<int64_t>(codes[u] & 0xFFFFFFFFu);
            ++t[ri * stride + c * static_cast<int64_t>(COPIES) + static_cast<int64_t>(u & (COPIES - 1))];
            ++*(c < 0 || ri == rj ? spares + (u & (COPIES - 1)) : other + (rj * width + c));
        }
    }

    /// `n` pairs in counter k >= 0 of region `region` (region_tallies).
    void add_in_region(int64_t region, int64_t k, uint64_t n) {
        region_tallies[1 + static_cast<uint64_t>(region) * 2 * n_bins + static_cast<uint64_t>(k)] += n;
    }

    /// One pair in each counters[u] >= 0, u < n; none for -1.
    void add_all(const int64_t *counters, uint64_t n) {
        if (!tallies.empty()) {
            uint64_t *t = tallies.data() + active + COPIES;  // counter -1 is the spare
            for (uint64_t u = 0; u < n; ++u)
                ++t[counters[u] * static_cast<int64_t>(COPIES) + static_cast<int64_t>(u & (COPIES - 1))];
            return;
        }
        for (uint64_t u = 0; u < n; ++u)
            if (counters[u] >= 0) counts[static_cast<uint64_t>(counters[u])] += 1.0;
    }

    /// `n` pairs in counter k >= 0 at once.
    void add(int64_t k, uint64_t n) {
        if (!tallies.empty())
            tallies[active + static_cast<uint64_t>(k + 1) * COPIES] += n;
        else
            counts[static_cast<uint64_t>(k)] += static_cast<double>(n);
    }

    /// Adds `right` into this pair, entry by entry.
    void merge(HistPair &right) {
        for (size_t k = 0; k < counts.size(); ++k) counts[k] += right.counts[k];
        for (size_t k = 0; k < tallies.size(); ++k) tallies[k] += right.tallies[k];
        sums.merge(right.sums);
        tally.merge(right.tally);
        for (size_t k = 0; k < region_tallies.size(); ++k) region_tallies[k] += right.region_tallies[k];
        if (n_regions > 0) region_sums.merge(right.region_sums);
    }

    /// The float64 counters, with the integer copies added in (and each region's block
    /// into its region's counters too).
    std::vector<double> take_counts() {
        const uint64_t width = counts.size(), stride = (width + 1) * COPIES;
        for (uint64_t b = 0; b < tallies.size() / stride; ++b) {
            for (uint64_t k = 0; k < width; ++k) {
                uint64_t sum = 0;
                for (uint64_t c = 0; c < COPIES; ++c) sum += tallies[b * stride + (k + 1) * COPIES + c];
                counts[k] += static_cast<double>(sum);
                if (b > 0) region_tallies[1 + (b - 1) * width + k] += sum;
            }
        }
        tallies.clear();
        return std::move(counts);
    }

    /// Moves the two halves out as (n_rows, n_cols) histograms.
    void split_into(Hist2d &auto_counts, Hist2d &cross_counts, uint64_t n_rows, uint64_t n_cols) {
        split_halves(take_counts(), n_bins, auto_counts, cross_counts, n_rows, n_cols);
    }

    /// The counters of `all` (auto, then cross; `parts` values each, or one for 0) as two
    /// (n_rows, n_cols) histograms.
    static void split_halves(std::vector<double> all, uint64_t half, Hist2d &auto_counts,
                             Hist2d &cross_counts, uint64_t n_rows, uint64_t n_cols,
                             uint64_t parts = 0) {
        const auto mid = all.begin() + static_cast<ptrdiff_t>(half * std::max<uint64_t>(parts, 1));
        cross_counts.values.assign(mid, all.end());
        all.resize(all.size() - cross_counts.values.size());
        auto_counts.values = std::move(all);
        auto_counts.rows = cross_counts.rows = n_rows;
        auto_counts.cols = cross_counts.cols = n_cols;
        auto_counts.parts = cross_counts.parts = parts;
    }

    /// The pair counts and the sums `query` asks for, as (n_rows, n_cols) histograms of
    /// `out`.
    void split_all(PairSums &out, uint64_t n_rows, uint64_t n_cols, const PairQuery &query) {
        split_into(out.pairs.auto_counts, out.pairs.cross_counts, n_rows, n_cols);
        uint64_t s = 0;  // a count of no bins keeps no sums: theirs are empty too
        auto next_sum = [&](PairHists &to) {
            uint64_t parts = 0;
            std::vector<double> values;
            if (s < sums.sums())
                values = query.expansions ? sums.expansions(s, parts) : sums.rounded(s);
            else
                values.assign(2 * n_bins, 0.0), parts = query.expansions ? 1 : 0;
            ++s;
            split_halves(std::move(values), n_bins, to.auto_counts, to.cross_counts, n_rows, n_cols, parts);
        };
        if (query.weighted()) next_sum(out.weights);
        if (query.separations) {
            next_sum(out.r);
            next_sum(out.log_r);
        }
        if (n_regions > 0) split_regions(out, n_rows, n_cols, query);
    }

    /// The counters of `all`, n_regions blocks of 2 n_bins counters of `parts` values
    /// each (one for 0), as the auto and cross histograms of every region, region after
    /// region.
    void split_region_blocks(const std::vector<double> &all, Hist2d &auto_counts, Hist2d &cross_counts,
                             uint64_t n_rows, uint64_t n_cols, uint64_t parts) const {
        const uint64_t half = n_bins * std::max<uint64_t>(parts, 1);
        auto_counts.values.clear();
        cross_counts.values.clear();
        auto_counts.values.reserve(n_regions * half);
        cross_counts.values.reserve(n_regions * half);
        for (uint64_t k = 0; k < n_regions; ++k) {
            const auto block = all.begin() + static_cast<ptrdiff_t>(2 * k * half);
            auto_counts.values.insert(auto_counts.values.end(), block, block + static_cast<ptrdiff_t>(half));
            cross_counts.values.insert(cross_counts.values.end(), block + static_cast<ptrdiff_t>(half),
                                       block + static_cast<ptrdiff_t>(2 * half));
        }
        auto_counts.rows = cross_counts.rows = n_rows;
        auto_counts.cols = cross_counts.cols = n_cols;
        auto_counts.parts = cross_counts.parts = parts;
    }

    /// The regions' histograms into out.removed, as split_all does the others.
    void split_regions(PairSums &out, uint64_t n_rows, uint64_t n_cols, const PairQuery &query) {
        out.n_regions = n_regions;
        out.removed.resize(1);
        PairSums &removed = out.removed[0];
        removed.n_regions = n_regions;
        std::vector<double> all(region_tallies.size() - 1);
        for (size_t k = 0; k < all.size(); ++k) all[k] = static_cast<double>(region_tallies[k + 1]);
        region_tallies.clear();
        split_region_blocks(all, removed.pairs.auto_counts, removed.pairs.cross_counts, n_rows, n_cols, 0);
        uint64_t s = 0;
        auto next_sum = [&](PairHists &to) {
            uint64_t parts = 0;
            std::vector<double> values;
            if (s < region_sums.sums())
                values = query.expansions ? region_sums.expansions(s, parts) : region_sums.rounded(s);
            else
                values.assign(n_regions * 2 * n_bins, 0.0), parts = query.expansions ? 1 : 0;
            ++s;
            split_region_blocks(values, to.auto_counts, to.cross_counts, n_rows, n_cols, parts);
        };
        if (query.weighted()) next_sum(removed.weights);
        if (query.separations) {
            next_sum(removed.r);
            next_sum(removed.log_r);
        }
    }
};

/// Counts into a HistPair's active block and the same pairs once more into the
/// counters of one region (by_own_region): the pairs between a cell of one region and
/// partners of another. count_all and count_peeled_avx512 take it as they take a
/// HistPair.
struct AlsoInRegion {
    HistPair &acc;
    int64_t region;
    uint32_t &peel_pause;

    AlsoInRegion(HistPair &to, int64_t r) : acc(to), region(r), peel_pause(to.peel_pause) {}

    void add(int64_t k, uint64_t n) {
        acc.add(k, n);
        acc.add_in_region(region, k, n);
    }

    void add_all(const int64_t *counters, uint64_t n) {
        acc.add_all(counters, n);
        const int64_t base = 1 + region * static_cast<int64_t>(2 * acc.n_bins);
        uint64_t *t = acc.region_tallies.data();  // counter 0 is the spare
        for (uint64_t u = 0; u < n; ++u) ++t[counters[u] < 0 ? 0 : base + counters[u]];
    }
};

// ---- bin lookup -------------------------------------------------------------------

/// find_bin through a quantised start table. For non-decreasing finite edges from 0 or
/// above to a positive last edge, v maps to a quantum q(v) in [0, size) that never
/// decreases as v grows: the bit pattern of a non-negative float64 grows with its value,
/// so q(v) = min((bits(v) - base) >> shift, size - 1), 0 below `base` (the bits of the
/// first positive edge). That spreads the quanta evenly over the binades between the
/// first positive edge and the last one, as logarithmic bins are. start[q] is the last
/// edge k below the last one with q(edges[k]) < q; every v of quantum q then has
/// edges[k] < v, and a short upward walk over the edges (rarely a step) ends on the last
/// k with edges[k] <= v: the bin find_bin returns. Other edge arrays have no table
/// (`start` is null) and take find_bin itself.
///
/// Most quanta lie inside one bin. quantum_bin[q] is that bin, or ~start[q] (negative)
/// for a quantum that an edge splits, where the walk is needed: the vector lookup then
/// takes one table read for most values. The table has MIN_TABLE quanta, or more where
/// many edges would split too many of them.
///
/// With at most 2^MAX_LEVELS bins the edges also form a search tree small enough for
/// vector registers: `tree_levels` = L levels, the edges padded with +inf to 2^L, and
/// level l holding the 2^l edges E[(2j + 1) 2^(L-1-l)], j < 2^l, at tree[2^l + j]. A
/// search down the tree compares v with one edge per level, exactly the comparisons
/// of a binary search for the last k with E[k] <= v, and needs no memory reads.
struct BinLookup {
    static constexpr int64_t MIN_TABLE = 2048;
    static constexpr int64_t MAX_TABLE = 16384;
    static constexpr int MIN_LEVELS = 5, MAX_LEVELS = 6;

    const double *edges;
    int64_t m;                   ///< number of edges, >= 1
    const int32_t *start;        ///< `size` entries, or nullptr
    const int32_t *quantum_bin;  ///< `size` entries when start is
    int64_t size;                ///< quanta
    uint64_t base;
    unsigned shift;
    const double *tree = nullptr;  ///< 2^MAX_LEVELS entries when tree_levels > 0
    int tree_levels = 0;
    /// 1 / h when edges[k] = k h exactly for every k, h a power of two (unit pi bins):
    /// then x / h = x * (1 / h) exactly and its integer part is the bin; else 0.
    double inverse_step = 0.0;

    /// For 0 <= v (a zero of either sign), NaN aside.
    int64_t quantum(double v) const {
        uint64_t bits;
        std::memcpy(&bits, &v, sizeof bits);
        bits &= ~(uint64_t{1} << 63);  // -0.0 counts as 0.0
        const uint64_t q = bits > base ? (bits - base) >> shift : 0;
        return q < static_cast<uint64_t>(size - 1) ? static_cast<int64_t>(q) : size - 1;
    }

    /// The bin of `v` as find_bin(edges, m, v) gives it: -1 for none. Tabled needs a
    /// table and a `v` already known to be below the last edge, or NaN.
    template <bool Tabled>
    int64_t below_last(double v) const {
        if (!Tabled) return find_bin(edges, m, v);
        if (!(v >= edges[0])) return -1;  // below the first edge, or NaN
        int64_t k = start[quantum(v)];
        while (v >= edges[k + 1]) ++k;  // stops below m - 1, as v < edges[m - 1]
        return k;
    }
};

/// Owns the edges and the start table a BinLookup reads.
class BinTable {
public:
    explicit BinTable(std::vector<double> edges) : edges_(std::move(edges)) {
        const int64_t m = static_cast<int64_t>(edges_.size());
        const double last = edges_[m - 1];
        bool sorted = edges_[0] >= 0.0;
        for (int64_t k = 0; k < m; ++k)
            sorted = sorted && std::isfinite(edges_[k]) && (k == 0 || edges_[k - 1] <= edges_[k]);
        lookup_ = {edges_.data(), m, nullptr, nullptr, BinLookup::MIN_TABLE, 0, 0};
        if (m < 2 || !sorted || !(last > 0.0) || m > INT32_MAX) return;

        // Twice the quanta while more than one value in a hundred would need the walk,
        // values spread evenly between the first positive edge and the last.
        while (fill_tables(m, last) > 0.01 && lookup_.size < BinLookup::MAX_TABLE)
            lookup_.size *= 2;
        lookup_.start = start_.data();
        lookup_.quantum_bin = quantum_bin_.data();
        fill_tree(m);
        fill_step(m);
    }
    BinTable(const BinTable &) = delete;
    BinTable &operator=(const BinTable &) = delete;

    const BinLookup &lookup() const { return lookup_; }
    bool tabled() const { return lookup_.start != nullptr; }
    double last() const { return edges_.back(); }

private:
    /// Fills the tables for lookup_.size quanta; returns the share of the values between
    /// the first positive edge and the last whose quantum an edge splits. The quanta of a
    /// binade are equally many, so those of the last binades are the widest: the share
    /// of split quanta alone would undercount where edges crowd there, as the squares of
    /// linear bins in r do.
    double fill_tables(int64_t m, double last) {
        // base: the first positive edge; shift: the least that maps the last edge's
        // bits below `size` quanta above it.
        const double first_positive = *std::find_if(edges_.begin(), edges_.end(),
                                                    [](double e) { return e > 0.0; });
        uint64_t last_bits;
        std::memcpy(&lookup_.base, &first_positive, sizeof(uint64_t));
        std::memcpy(&last_bits, &last, sizeof(uint64_t));
        lookup_.shift = 0;
        while (((last_bits - lookup_.base) >> lookup_.shift) >= uint64_t(lookup_.size))
            ++lookup_.shift;

        // q(edges[k]) never decreases with k, so one pass finds for each q the last
        // k below m - 1 with q(edges[k]) < q.
        start_.assign(lookup_.size, 0);
        quantum_bin_.assign(lookup_.size, 0);
        auto value_at = [&](uint64_t q) {
            uint64_t bits = std::min(lookup_.base + (q << lookup_.shift), last_bits);
            double v;
            std::memcpy(&v, &bits, sizeof v);
            return v;
        };
        int64_t k = 0;
        double split = 0.0;
        for (int64_t q = 0; q < lookup_.size; ++q) {
            while (k + 1 < m - 1 && lookup_.quantum(edges_[k + 1]) < q) ++k;
            start_[q] = static_cast<int32_t>(k);
            // Every v of quantum q with edges[0] <= v < edges[m - 1] has edges[k] < v
            // (or k = 0); it lies in bin k when the next edge is the last or in a later
            // quantum.
            const bool settled = k + 1 == m - 1 || lookup_.quantum(edges_[k + 1]) > q;
            quantum_bin_[q] = settled ? static_cast<int32_t>(k) : ~static_cast<int32_t>(k);
            if (!settled) split += value_at(uint64_t(q) + 1) - value_at(uint64_t(q));
        }
        return last > first_positive ? split / (last - first_positive) : 0.0;
    }

    /// The search tree of BinLookup, for m - 1 <= 2^MAX_LEVELS bins: MIN_LEVELS levels
    /// or more (padding costs less than a search of yet another depth).
    void fill_tree(int64_t m) {
        int levels = BinLookup::MIN_LEVELS;
        while (levels < BinLookup::MAX_LEVELS && (int64_t{1} << levels) < m - 1) ++levels;
        if ((int64_t{1} << levels) < m - 1) return;
        auto padded = [&](int64_t k) { return k < m - 1 ? edges_[k] : INFINITY; };
        tree_.assign(int64_t{1} << BinLookup::MAX_LEVELS, INFINITY);
        for (int l = 0; l < levels; ++l)
            for (int64_t j = 0; j < (int64_t{1} << l); ++j)
                tree_[(int64_t{1} << l) + j] = padded((2 * j + 1) << (levels - 1 - l));
        lookup_.tree = tree_.data();
        lookup_.tree_levels = levels;
    }

    /// inverse_step for edges 0, h, 2 h, ... with h a power of two whose inverse is a
    /// float64: h <= 2^-1024 has none (1 / h is +inf, and x * inf bins nothing), and
    /// those edges take the table instead.
    void fill_step(int64_t m) {
        const double h = edges_[1];
        int exponent;
        if (!(edges_[0] == 0.0 && h > 0.0 && std::frexp(h, &exponent) == 0.5) || m > (int64_t{1} << 52))
            return;
        const double inverse = 1.0 / h;
        if (!std::isfinite(inverse) || inverse * h != 1.0) return;
        for (int64_t k = 0; k < m; ++k)
            if (edges_[k] != static_cast<double>(k) * h) return;
        lookup_.inverse_step = inverse;
    }

    std::vector<double> edges_;
    std::vector<double> tree_;
    std::vector<int32_t> start_;
    std::vector<int32_t> quantum_bin_;
    BinLookup lookup_;
};

#if QUOR_X86_SIMD
// GCC 12 takes the deliberately undefined lanes of some intrinsics for uninitialised data.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
/// BinLookup::below_last<true> for n values at once, eight per step, for values below
/// `limit` (the last edge, or a tighter bound): bins[u] = the bin of v[u], or -1 when
/// v[u] is not below `limit`, below the first edge, or NaN. The same comparisons as the
/// scalar lookup, lane by lane; only lanes in a quantum that an edge splits walk. With
/// `sames`, `cross` is added to the bin of every value whose sames[u] is 0. `bins` has
/// room for a whole vector past n.
/// One level down the search tree: j becomes 2 j + 1 where x >= edge (and `right_of`
/// says where), 2 j elsewhere.
QUOR_TARGET_AVX512 inline __m512i tree_step_avx512(__m512d x, __mmask8 ok, __m512d edge, __m512i j,
                                                   __mmask8 &right_of) {
    right_of = _mm512_mask_cmp_pd_mask(ok, x, edge, _CMP_GE_OQ);
    const __m512i twice = _mm512_add_epi64(j, j);
    return _mm512_mask_add_epi64(twice, right_of, twice, _mm512_set1_epi64(1));
}

/// The last k with E[k] <= x down the search tree of `lk` (MIN_LEVELS or MAX_LEVELS
/// deep), for the lanes in `ok`, which need edges[0] <= x < the last edge. Every edge
/// compared with is picked from at most four registers by a permutation.
QUOR_TARGET_AVX512 inline __m512i tree_search_avx512(const BinLookup &lk, __m512d x, __mmask8 ok) {
    static_assert(BinLookup::MIN_LEVELS == 5 && BinLookup::MAX_LEVELS == 6, "levels searched");
    const double *t = lk.tree;
    __mmask8 right_of = _mm512_mask_cmp_pd_mask(ok, x, _mm512_set1_pd(t[1]), _CMP_GE_OQ);
    __m512i j = _mm512_maskz_mov_epi64(right_of, _mm512_set1_epi64(1));
    j = tree_step_avx512(x, ok, _mm512_mask_blend_pd(right_of, _mm512_set1_pd(t[2]), _mm512_set1_pd(t[3])),
                         j, right_of);
    const __m512d level2 = _mm512_permutexvar_pd(_mm512_add_epi64(j, _mm512_set1_epi64(4)),
                                                 _mm512_loadu_pd(t));
    j = tree_step_avx512(x, ok, level2, j, right_of);
    j = tree_step_avx512(x, ok, _mm512_permutexvar_pd(j, _mm512_loadu_pd(t + 8)), j, right_of);
    const __m512d level4 = _mm512_permutex2var_pd(_mm512_loadu_pd(t + 16), j, _mm512_loadu_pd(t + 24));
    j = tree_step_avx512(x, ok, level4, j, right_of);
    if (lk.tree_levels > 5) {
        const __mmask8 upper = _mm512_test_epi64_mask(j, _mm512_set1_epi64(16));
        const __m512d lower_half = _mm512_permutex2var_pd(_mm512_loadu_pd(t + 32), j, _mm512_loadu_pd(t + 40));
        const __m512d upper_half = _mm512_permutex2var_pd(_mm512_loadu_pd(t + 48), j, _mm512_loadu_pd(t + 56));
        j = tree_step_avx512(x, ok, _mm512_mask_blend_pd(upper, lower_half, upper_half), j, right_of);
    }
    return j;
}

/// The lanes of x that have a bin below `limit`: lanes & edges[0] <= x < limit (no NaN).
QUOR_TARGET_AVX512 inline __mmask8 binned_lanes_avx512(const BinLookup &lk, double limit, __m512d x,
                                                      __mmask8 lanes) {
    return _mm512_mask_cmp_pd_mask(_mm512_mask_cmp_pd_mask(lanes, x, _mm512_set1_pd(limit), _CMP_LT_OQ),
                                   x, _mm512_set1_pd(lk.edges[0]), _CMP_GE_OQ);
}

/// The last k with edges[k] <= x through the start table, for the lanes in `ok`, which
/// need edges[0] <= x < the last edge: one table read, and a walk over the edges only
/// for lanes in a quantum that an edge splits.
QUOR_TARGET_AVX512 inline __m512i table_search_avx512(const BinLookup &lk, __m512d x, __mmask8 ok) {
    const __m512i base = _mm512_set1_epi64(static_cast<long long>(lk.base));
    const __m512i one = _mm512_set1_epi64(1), none = _mm512_set1_epi64(-1);
    const __m512i bits = _mm512_and_si512(_mm512_castpd_si512(x), _mm512_set1_epi64(0x7FFFFFFFFFFFFFFFLL));
    const __mmask8 above = _mm512_cmpgt_epu64_mask(bits, base);
    __m512i q = _mm512_maskz_srl_epi64(above, _mm512_sub_epi64(bits, base),
                                       _mm_cvtsi32_si128(static_cast<int>(lk.shift)));
    q = _mm512_min_epu64(q, _mm512_set1_epi64(lk.size - 1));
    __m512i k = _mm512_cvtepi32_epi64(
        _mm512_mask_i64gather_epi32(_mm256_setzero_si256(), ok, q, lk.quantum_bin, 4));
    __mmask8 walk = _mm512_mask_cmplt_epi64_mask(ok, k, _mm512_setzero_si512());
    if (walk) {
        k = _mm512_mask_xor_epi64(k, walk, k, none);  // ~k: the walk's start
        for (;;) {
            const __m512d next = _mm512_mask_i64gather_pd(
                _mm512_setzero_pd(), walk, _mm512_add_epi64(k, one), lk.edges, 8);
            walk = _mm512_mask_cmp_pd_mask(walk, x, next, _CMP_GE_OQ);
            if (!walk) break;
            k = _mm512_mask_add_epi64(k, walk, k, one);
        }
    }
    return k;
}

/// The bins of eight values below `limit` (see tabled_bins_avx512), and in `ok` the
/// lanes that have one; other lanes' bins are undefined.
QUOR_TARGET_AVX512 inline __m512i bins_avx512(const BinLookup &lk, double limit, __m512d x,
                                              __mmask8 lanes, __mmask8 &ok) {
    ok = binned_lanes_avx512(lk, limit, x, lanes);
    if (lk.inverse_step > 0.0)  // 0 <= x / h < m - 1 here, and exact
        return _mm512_maskz_cvttpd_epi64(ok, _mm512_mul_pd(x, _mm512_set1_pd(lk.inverse_step)));
    return lk.tree_levels > 0 ? tree_search_avx512(lk, x, ok) : table_search_avx512(lk, x, ok);
}

QUOR_TARGET_AVX512 inline void tabled_bins_avx512(const BinLookup &lk, double limit,
                                                  const double *v, uint64_t n, int64_t *bins,
                                                  const uint64_t *sames = nullptr,
                                                  int64_t cross = 0) {
    const __m512i none = _mm512_set1_epi64(-1), zero = _mm512_setzero_si512();
    const __m512i cross_v = _mm512_set1_epi64(cross);
    for (uint64_t u = 0; u < n; u += 8) {
        const __mmask8 lanes = tail_lanes(n, u);
        __mmask8 ok;
        __m512i k = bins_avx512(lk, limit, _mm512_maskz_loadu_pd(lanes, v + u), lanes, ok);
        if (sames) {
            const __mmask8 other =
                _mm512_cmpeq_epi64_mask(_mm512_maskz_loadu_epi64(lanes, sames + u), zero);
            k = _mm512_mask_add_epi64(k, other, k, cross_v);
        }
        _mm512_storeu_si512(bins + u, _mm512_mask_mov_epi64(none, ok, k));
    }
}

/// Counts n buffered radial pairs (keys r2, `sames` 0 or 1) into `acc`, auto counters
/// first and cross from n_r. Most pairs of a radial count lie at the largest
/// separations, so the last PEELED bins are peeled off eight keys at a time, one
/// comparison per bin from the last down: a key not below the bin's lower edge, and
/// below the next one (the bin before took those), lies in that bin as the lookup would
/// find it. The few keys left go through the lookup and are added one by one. Where
/// peeling settles fewer than three pairs in four, as when close pairs in haloes
/// dominate, the next PEEL_PAUSE buffers skip it.
template <class Acc>
QUOR_TARGET_AVX512 inline void count_peeled_avx512(const BinLookup &lk, double limit, const double *keys,
                                                   const uint64_t *sames, uint64_t n, int64_t n_r,
                                                   Acc &acc, int64_t *counters) {
    constexpr int PEELED = 3;
    constexpr uint32_t PEEL_PAUSE = 32;
    constexpr uint64_t CAPACITY = 512;
    if (acc.peel_pause > 0 || n > CAPACITY) {
        acc.peel_pause -= acc.peel_pause > 0;
        tabled_bins_avx512(lk, limit, keys, n, counters, sames, n_r);
        acc.add_all(counters, n);
        return;
    }
    __m512d lower[PEELED];
    for (int t = 0; t < PEELED; ++t)  // bin m - 2 - t; none (+inf) past the first bin
        lower[t] = _mm512_set1_pd(lk.m - 2 - t >= 0 ? lk.edges[lk.m - 2 - t] : INFINITY);
    // Lane by lane counts of each peeled bin's pairs, and of those that share a
    // partition: a masked add per bin and step, summed across the lanes at the end,
    // rather than a population count through the general registers.
    __m512i in_bin[PEELED], same_in_bin[PEELED];
    for (int t = 0; t < PEELED; ++t) in_bin[t] = same_in_bin[t] = _mm512_setzero_si512();
    alignas(64) double rest_keys[CAPACITY + 8];
    alignas(64) uint64_t rest_sames[CAPACITY + 8];
    uint64_t n_rest = 0;
    const __m512i one = _mm512_set1_epi64(1);
    for (uint64_t u = 0; u < n; u += 8) {
        const __mmask8 lanes = tail_lanes(n, u);
        const __m512d x = _mm512_maskz_loadu_pd(lanes, keys + u);
        const __m512i same_v = _mm512_maskz_loadu_epi64(lanes, sames + u);
        __mmask8 rest = binned_lanes_avx512(lk, limit, x, lanes);
        for (int t = 0; t < PEELED; ++t) {
            const __mmask8 here = _mm512_mask_cmp_pd_mask(rest, x, lower[t], _CMP_GE_OQ);
            in_bin[t] = _mm512_mask_add_epi64(in_bin[t], here, in_bin[t], one);
            same_in_bin[t] = _mm512_mask_add_epi64(same_in_bin[t], here, same_in_bin[t], same_v);
            rest &= static_cast<__mmask8>(~here);
        }
        _mm512_storeu_pd(rest_keys + n_rest, _mm512_maskz_compress_pd(rest, x));
        _mm512_storeu_si512(rest_sames + n_rest, _mm512_maskz_compress_epi64(rest, same_v));
        n_rest += static_cast<uint64_t>(__builtin_popcount(rest));
    }
    uint64_t peeled = 0;
    for (int t = 0; t < PEELED && lk.m - 2 - t >= 0; ++t) {
        const int64_t b = lk.m - 2 - t;
        const uint64_t all = static_cast<uint64_t>(_mm512_reduce_add_epi64(in_bin[t]));
        const uint64_t same = static_cast<uint64_t>(_mm512_reduce_add_epi64(same_in_bin[t]));
        if (same) acc.add(b, same);
        if (all > same) acc.add(b + n_r, all - same);
        peeled += all;
    }
    tabled_bins_avx512(lk, limit, rest_keys, n_rest, counters, rest_sames, n_r);
    acc.add_all(counters, n_rest);
    if (4 * peeled < 3 * n) acc.peel_pause = PEEL_PAUSE;
}

/* The AVX2 versions, for processors without AVX-512: four values per step, the same
   comparisons lane by lane. A vector comparison gives all-ones lanes, used as masks. */

/// The last k with edges[k] <= x through the start table (table_search_avx512), for
/// the lanes in `ok`, which need edges[0] <= x < the last edge. Every lane's quantum is
/// clamped into the table, so its read needs no mask.
QUOR_TARGET_AVX2 inline __m256i table_search_avx2(const BinLookup &lk, __m256d x, __m256d ok) {
    const __m256i base = _mm256_set1_epi64x(static_cast<long long>(lk.base));
    const __m256i one = _mm256_set1_epi64x(1), top = _mm256_set1_epi64x(lk.size - 1);
    // Both below 2^63, so the signed comparisons order them.
    const __m256i bits = _mm256_and_si256(_mm256_castpd_si256(x), _mm256_set1_epi64x(0x7FFFFFFFFFFFFFFFLL));
    __m256i q = _mm256_and_si256(_mm256_cmpgt_epi64(bits, base),
                                 _mm256_srl_epi64(_mm256_sub_epi64(bits, base),
                                                  _mm_cvtsi32_si128(static_cast<int>(lk.shift))));
    q = _mm256_blendv_epi8(q, top, _mm256_cmpgt_epi64(q, top));
    __m256i k = _mm256_cvtepi32_epi64(_mm256_i64gather_epi32(lk.quantum_bin, q, 4));
    __m256d walk = _mm256_and_pd(ok, _mm256_castsi256_pd(_mm256_cmpgt_epi64(_mm256_setzero_si256(), k)));
    if (_mm256_movemask_pd(walk)) {
        k = _mm256_xor_si256(k, _mm256_castpd_si256(walk));  // ~k in the lanes that walk
        for (;;) {
            const __m256d next = _mm256_mask_i64gather_pd(_mm256_setzero_pd(), lk.edges,
                                                          _mm256_add_epi64(k, one), walk, 8);
            walk = _mm256_and_pd(walk, _mm256_cmp_pd(x, next, _CMP_GE_OQ));
            if (!_mm256_movemask_pd(walk)) break;
            k = _mm256_sub_epi64(k, _mm256_castpd_si256(walk));  // an all-ones lane is -1
        }
    }
    return k;
}

/// The bins of four values below `limit` (bins_avx512), and in `ok` the lanes of
/// `lanes` that have one; other lanes' bins are undefined.
QUOR_TARGET_AVX2 inline __m256i bins_avx2(const BinLookup &lk, double limit, __m256d x, __m256i lanes,
                                          __m256d &ok) {
    ok = _mm256_and_pd(_mm256_castsi256_pd(lanes),
                       _mm256_and_pd(_mm256_cmp_pd(x, _mm256_set1_pd(limit), _CMP_LT_OQ),
                                     _mm256_cmp_pd(x, _mm256_set1_pd(lk.edges[0]), _CMP_GE_OQ)));
    // 0 <= x / h < m - 1 <= INT32_MAX in the lanes of ok, and exact.
    if (lk.inverse_step > 0.0 && lk.m <= INT32_MAX)
        return _mm256_cvtepi32_epi64(_mm256_cvttpd_epi32(_mm256_mul_pd(x, _mm256_set1_pd(lk.inverse_step))));
    return table_search_avx2(lk, x, ok);
}

/// tabled_bins_avx512 four values at a time.
QUOR_TARGET_AVX2 inline void tabled_bins_avx2(const BinLookup &lk, double limit, const double *v, uint64_t n,
                                              int64_t *bins, const uint64_t *sames = nullptr,
                                              int64_t cross = 0) {
    const __m256i none = _mm256_set1_epi64x(-1), cross_v = _mm256_set1_epi64x(cross);
    for (uint64_t u = 0; u < n; u += 4) {
        // Lanes past n hold whatever the buffer has there: the lane mask drops them.
        __m256d ok;
        __m256i k = bins_avx2(lk, limit, _mm256_loadu_pd(v + u), lanes_below_avx2(n, u), ok);
        if (sames) {
            const __m256i same = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(sames + u));
            k = _mm256_add_epi64(k, _mm256_and_si256(_mm256_cmpeq_epi64(same, _mm256_setzero_si256()), cross_v));
        }
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(bins + u),
                            _mm256_blendv_epi8(none, k, _mm256_castpd_si256(ok)));
    }
}

/// count_peeled_avx512 four keys at a time, the keys left packed by PACK4.
template <class Acc>
QUOR_TARGET_AVX2 inline void count_peeled_avx2(const BinLookup &lk, double limit, const double *keys,
                                               const uint64_t *sames, uint64_t n, int64_t n_r, Acc &acc,
                                               int64_t *counters) {
    constexpr int PEELED = 3;
    constexpr uint32_t PEEL_PAUSE = 32;
    constexpr uint64_t CAPACITY = 512;
    if (acc.peel_pause > 0 || n > CAPACITY) {
        acc.peel_pause -= acc.peel_pause > 0;
        tabled_bins_avx2(lk, limit, keys, n, counters, sames, n_r);
        acc.add_all(counters, n);
        return;
    }
    __m256d lower[PEELED];
    for (int t = 0; t < PEELED; ++t)  // bin m - 2 - t; none (+inf) past the first bin
        lower[t] = _mm256_set1_pd(lk.m - 2 - t >= 0 ? lk.edges[lk.m - 2 - t] : INFINITY);
    __m256i in_bin[PEELED], same_in_bin[PEELED];
    for (int t = 0; t < PEELED; ++t) in_bin[t] = same_in_bin[t] = _mm256_setzero_si256();
    alignas(32) double rest_keys[CAPACITY + 4];
    alignas(32) uint64_t rest_sames[CAPACITY + 4];
    uint64_t n_rest = 0;
    const __m256d below = _mm256_set1_pd(limit), first = _mm256_set1_pd(lk.edges[0]);
    for (uint64_t u = 0; u < n; u += 4) {
        const __m256d x = _mm256_loadu_pd(keys + u);
        const __m256i same_v = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(sames + u));
        __m256d rest = _mm256_and_pd(_mm256_castsi256_pd(lanes_below_avx2(n, u)),
                                     _mm256_and_pd(_mm256_cmp_pd(x, below, _CMP_LT_OQ),
                                                   _mm256_cmp_pd(x, first, _CMP_GE_OQ)));
        for (int t = 0; t < PEELED; ++t) {
            const __m256d here = _mm256_and_pd(rest, _mm256_cmp_pd(x, lower[t], _CMP_GE_OQ));
            const __m256i here_i = _mm256_castpd_si256(here);
            in_bin[t] = _mm256_sub_epi64(in_bin[t], here_i);
            same_in_bin[t] = _mm256_add_epi64(same_in_bin[t], _mm256_and_si256(here_i, same_v));
            rest = _mm256_andnot_pd(here, rest);
        }
        const unsigned kept = static_cast<unsigned>(_mm256_movemask_pd(rest));
        const __m256i perm = _mm256_load_si256(reinterpret_cast<const __m256i *>(PACK4.idx[kept]));
        _mm256_storeu_pd(rest_keys + n_rest,
                         _mm256_castps_pd(_mm256_permutevar8x32_ps(_mm256_castpd_ps(x), perm)));
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(rest_sames + n_rest),
                            _mm256_permutevar8x32_epi32(same_v, perm));
        n_rest += static_cast<uint64_t>(__builtin_popcount(kept));
    }
    uint64_t peeled = 0;
    for (int t = 0; t < PEELED && lk.m - 2 - t >= 0; ++t) {
        const int64_t b = lk.m - 2 - t;
        alignas(32) uint64_t all_lanes[4], same_lanes[4];
        _mm256_store_si256(reinterpret_cast<__m256i *>(all_lanes), in_bin[t]);
        _mm256_store_si256(reinterpret_cast<__m256i *>(same_lanes), same_in_bin[t]);
        const uint64_t all = (all_lanes[0] + all_lanes[1]) + (all_lanes[2] + all_lanes[3]);
        const uint64_t same = (same_lanes[0] + same_lanes[1]) + (same_lanes[2] + same_lanes[3]);
        if (same) acc.add(b, same);
        if (all > same) acc.add(b + n_r, all - same);
        peeled += all;
    }
    tabled_bins_avx2(lk, limit, rest_keys, n_rest, counters, rest_sames, n_r);
    acc.add_all(counters, n_rest);
    if (4 * peeled < 3 * n) acc.peel_pause = PEEL_PAUSE;
}
#pragma GCC diagnostic pop
#endif

// ---- traversal --------------------------------------------------------------------

/// First index in [lo, hi) at which `pred` fails; `pred` must hold on a prefix.
template <class Pred>
inline uint64_t partition_point(uint64_t lo, uint64_t hi, Pred pred) {
    while (lo < hi) {
        const uint64_t mid = lo + (hi - lo) / 2;
        if (pred(mid))
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo;
}

/// With folding, the stretches of a z-sorted run [b, e) whose folded dz can satisfy
/// |dz| < w: calls visit(p, q, fold) for each, at most three, `fold` telling how
/// min_image folds dz all along the stretch (+1: dz + box, 0: not at all, -1: dz - box).
///
/// `u(j)` is partner j's dz before the fold; it never decreases with j, as the run
/// ascends in z (NaN z last). min_image splits the run into three stretches, u > half
/// (u - box), else u < -half (u + box), and the rest (u), on each of which the folded
/// dz never decreases either; so the partners with -w < dz < w are one sub-stretch of
/// each, found by binary search with the very comparisons and sums the fold makes.
/// A NaN dz never counts and is left out.
template <class U, class Visit>
inline void folded_z_stretches(const double *zs, uint64_t b, uint64_t e, const U &u, double box,
                               double half, double w, const Visit &visit) {
    e = partition_point(b, e, [&](uint64_t j) { return zs[j] == zs[j]; });
    const uint64_t c = partition_point(b, e, [&](uint64_t j) { return !(u(j) > half); });
    const uint64_t a = partition_point(b, c, [&](uint64_t j) { return u(j) < -half; });
    auto sub = [&](uint64_t p0, uint64_t p1, auto fold) {
        // The folded dz of the stretch, as min_image computes it.
        auto f = [&](uint64_t j) {
            constexpr int Fold = decltype(fold)::value;
            return Fold == 0 ? u(j) : Fold > 0 ? u(j) + box : u(j) - box;
        };
        const uint64_t q0 = partition_point(p0, p1, [&](uint64_t j) { return f(j) <= -w; });
        const uint64_t q1 = partition_point(q0, p1, [&](uint64_t j) { return f(j) < w; });
        if (q0 < q1) visit(q0, q1, fold);
    };
    sub(b, a, std::integral_constant<int, 1>{});
    sub(a, c, std::integral_constant<int, 0>{});
    sub(c, e, std::integral_constant<int, -1>{});
}

/// counters[u] = test.index(keys[u], dzs[u], same) for the n buffered pairs (dz 0 for a
/// test that does not use it: the filter then leaves dzs unwritten).
template <class Test>
inline void pair_index_all(const Test &test, const double *keys, const double *dzs,
                           const uint64_t *sames, uint64_t n, int64_t *counters) {
    for (uint64_t u = 0; u < n; ++u)
        counters[u] = test.index(keys[u], Test::USES_DZ ? dzs[u] : 0.0, sames[u] != 0);
}

#if QUOR_X86_SIMD
QUOR_TARGET_AVX512 inline uint64_t window_start_avx512(const double *zs, uint64_t first, uint64_t end,
                                                       double sz, double zi, double w) {
    const __m512d shift = _mm512_set1_pd(sz), z = _mm512_set1_pd(zi), below = _mm512_set1_pd(-w);
    for (; first < end; first += 8) {
        const __mmask8 lanes = tail_lanes(end, first);
        const __m512d dz = _mm512_add_pd(shift, _mm512_sub_pd(_mm512_maskz_loadu_pd(lanes, zs + first), z));
        // The partners still before the window are a prefix of the lanes.
        const __mmask8 before = _mm512_mask_cmp_pd_mask(lanes, dz, below, _CMP_LE_OQ);
        if (before != 0xFF) return first + static_cast<uint64_t>(__builtin_ctz(~unsigned{before}));
    }
    return end;
}

/// window_start_avx512 four partners at a time; the lanes past `end` are never read.
QUOR_TARGET_AVX2 inline uint64_t window_start_avx2(const double *zs, uint64_t first, uint64_t end, double sz,
                                                   double zi, double w) {
    const __m256d shift = _mm256_set1_pd(sz), z = _mm256_set1_pd(zi), below = _mm256_set1_pd(-w);
    for (; first < end; first += 4) {
        const __m256i lanes = lanes_below_avx2(end, first);
        const __m256d dz = _mm256_add_pd(shift, _mm256_sub_pd(_mm256_maskload_pd(zs + first, lanes), z));
        // The partners still before the window are a prefix of the lanes below end.
        const unsigned before = static_cast<unsigned>(
            _mm256_movemask_pd(_mm256_and_pd(_mm256_castsi256_pd(lanes), _mm256_cmp_pd(dz, below, _CMP_LE_OQ))));
        if (before != 0xF) return first + static_cast<uint64_t>(__builtin_ctz(~before));
    }
    return end;
}
#endif

/// Least |d| over the displacements d = (x_j - x_i) + s of every x_j in [j_lo, j_hi]
/// from every x_i in [i_lo, i_hi], computed with the very operations of the pair test:
/// rounding never turns a larger operand into a smaller result, so no pair's computed
/// |d| is below it. 0 when the ranges overlap, or on a NaN.
inline double least_gap(double j_lo, double j_hi, double i_lo, double i_hi, double s) {
    const double nearest_above = (j_lo - i_hi) + s;
    const double nearest_below = (j_hi - i_lo) + s;
    // Selects rather than branches: which side a galaxy lies on is a coin toss. With
    // a NaN operand std::max keeps its first argument.
    return std::max(std::max(0.0, nearest_above), -nearest_below);
}

/// The least and the greatest key the pair test can compute for a galaxy of clump `a`
/// and a partner of clump `b` shifted by (sx, sy, sz): the pair test's operations on
/// the clumps' bounds. Rounding never turns a larger operand into a smaller result, so
/// every pair's computed displacement, square and sum lie between those of the bounds.
struct KeyRange {
    double least, most;
};

inline KeyRange clump_keys(const Clump &a, const Clump &b, double sx, double sy, double sz) {
    auto axis = [](double j_lo, double j_hi, double i_lo, double i_hi, double s, double &least,
                   double &most) {
        const double lo = (j_lo - i_hi) + s, hi = (j_hi - i_lo) + s;
        least = std::max(std::max(0.0, lo), -hi);
        most = std::max(-lo, hi);
    };
    double lx, mx, ly, my, lz, mz;
    axis(b.x_lo, b.x_hi, a.x_lo, a.x_hi, sx, lx, mx);
    axis(b.y_lo, b.y_hi, a.y_lo, a.y_hi, sy, ly, my);
    axis(b.z_lo, b.z_hi, a.z_lo, a.z_hi, sz, lz, mz);
    return {(lx * lx + ly * ly) + lz * lz, (mx * mx + my * my) + mz * mz};
}

/// The first j in [first, end) with sz + (zs[j] - zi) > -w, the partners before it
/// known to fail: the start of a galaxy's z window, a few partners on from the previous
/// galaxy's. The vector versions test four or eight at a time, the same comparison per lane.
template <Kernel K>
inline uint64_t window_start(const double *zs, uint64_t first, uint64_t end, double sz, double zi,
                             double w) {
#if QUOR_X86_SIMD
    if constexpr (K == Kernel::avx512) return window_start_avx512(zs, first, end, sz, zi, w);
    if constexpr (K == Kernel::avx2) return window_start_avx2(zs, first, end, sz, zi, w);
#endif
    while (first < end && sz + (zs[first] - zi) <= -w) ++first;
    return first;
}

/// With a pair's squared separation across the line of sight at least `gap2`, the least
/// t <= w such that every dz >= t fails (gap2 + dz*dz) < key_max; w when no such t is
/// found in a few steps. gap2 < key_max.
inline double narrowed_window(double gap2, double key_max, double w) {
    const double t = std::sqrt(key_max - gap2);
    if (gap2 + t * t >= key_max) return std::min(t, w);
    const double above = t * (1.0 + 0x1p-50);
    if (gap2 + above * above >= key_max) return std::min(above, w);
    return w;
}

/// The two catalogues of a pair traversal: the galaxies of the visited cell (`own`) and
/// the partners they meet (`partners`), sorted into grids of one geometry. An auto count
/// has one catalogue on both sides and meets each unordered pair once: later galaxies of
/// the own cell, and the neighbours of the half stencil. A cross count meets every
/// (own, partner) pair once, ordered: the whole own cell and the whole stencil.
struct PairSides {
    const CellOrdered &own;
    const CellOrdered &partners;
    bool cross;
};

/* Visits every pair that cell `c` of the own side owns, with d = displacement of the
   partner from the current galaxy. Each step below is one part of the algorithm:

   - own_cell: pairs inside the cell (an auto count; a cross count meets its own cell
     as one more neighbour);
   - own_clumps / meet_clumps: clumps met whole (find_clumps);
   - visit_columns: the neighbours of the stencil, a column of z cells at a time, each
     cut to its z window (visit_segment);
   - visit_wrapped: the same with every difference folded into the minimum image, for
     grids too coarse for the cell shift to give it.

   The pair test comes in two steps. The filter of kernel variant K (pair_filter.h)
   computes the squared separation the test bins first, `key` (3-D with
   `Test::KEY_3D`, across the line of sight without), and rejects a pair at once when
   key >= `test.key_max` (a NaN on either side rejects nothing there). The survivors are
   buffered; `test.index_all<K>(keys, dzs, sames, n, counters)` finishes them, giving
   each its counter in `acc` (or -1: not counted), and the counters are added to in a
   second loop (`flush`). `pair_index_all` is the plain version of index_all.

   `window` is the counter's largest separation along z (pi_max or s_max): its pair test
   accepts no pair with |dz| >= |window|. With `Wrap`, every component of the plain
   difference is folded by min_image (the displacement count_pairs_1d measures), and a
   long run is cut to the stretches whose folded dz can pass (folded_z_stretches).
   Without it, a run is cut to the galaxies whose shifted dz, computed exactly as the
   pair test computes it, lies in (-|window|, |window|): dz never decreases along the
   z order, so that is one contiguous stretch, and no rounding of a window bound can
   leave out a partner the pair test would accept.

   When the cells keep their bounds, a neighbour is skipped whole, or for one galaxy,
   where the least squared separation across the line of sight its bounds allow
   (least_gap) already fails key < key_max; with a 3-D key, the z window of that
   galaxy also ends where the rest of the separation alone fails it.

   Owner-aware counts (mark_owner): a ghost meets its partners through the partners'
   owned_xs, where the other ghosts lie infinitely far (their pairs belong to the slab
   that owns one of them); cell pairs of ghosts alone are skipped whole.

   With `Weighted`, the filter also keeps each pair's product of weights, and a flush
   adds it to the counter's exact sum; with `Separated`, a flush adds the terms r and
   ln r (times the product, when weighted) to theirs. With `Regioned`, the filter also
   keeps both galaxies' regions, and a flush adds each pair (and its terms) once more to
   its counter in each of the one or two regions it touches. Pair counts without sums
   count by own region instead (HistPair::by_own_region): where the visited cell and a
   neighbour segment lie in one region (cell_regions), the buffer holds pairs of that
   region alone and is counted as without regions, peeling and clumps met whole
   included, into that region's block; other buffers go pair by pair. */
template <Kernel K, bool Wrap, class Test, bool Weighted = false, bool Separated = false,
          bool Regioned = false>
class CellVisit {
public:
    CellVisit(const PairSides &sides, uint64_t c, double window, const Test &test, HistPair &acc)
        : own_(sides.own),
          partners_(sides.partners),
          cross_(sides.cross),
          grid_(sides.own.grid),
          c_(c),
          begin_(grid_.cell_start[c]),
          end_(grid_.cell_start[c + 1]),
          test_(test),
          acc_(acc),
          q_{partners_.cols.xs.data(), partners_.cols.ys.data(), partners_.cols.zs.data(),
             partners_.cols.pids.data(), 0.0, 0.0, 0.0, 0, 0.0, 0.0, 0.0,
             own_.box_size, own_.half_box, test.key_max, std::fabs(window)},
          w_(q_.w),
          ctl_(current_control()),
          partner_xs_(partners_.cols.xs.data()),
          partner_owned_xs_(partners_.cols.owned_xs.empty() ? partner_xs_ : partners_.cols.owned_xs.data()),
          aware_(!own_.cell_owns.empty()),
          cell_owns_(owns_any(own_, c, c)) {
        if constexpr (Weighted) {
            q_.ws = partners_.cols.ws.data();
            out_.products = products_;
        }
        if constexpr (Regioned) {
            q_.rs = partners_.cols.regions.data();
            out_.regions = region_codes_;
        }
        if constexpr (Test::MU_CUT) q_.mu_cut = test.mu_cut;
    }

    /// Every pair of the cell, then the buffered survivors counted.
    void run() {
        if (begin_ == end_) return;
        if constexpr (BY_OWN_REGION) {
            if (acc_.by_own_region && !own_.cell_regions.empty()) own_region_ = own_.cell_regions[c_];
            if (own_region_ >= 0) acc_.active = acc_.block_of(own_region_);
        }
        if (Wrap) {
            visit_wrapped();
            flush();
        } else {
            with_clumps_ = uses_clumps();
            if constexpr (BY_OWN_REGION) enter_segment(own_region_);
            if (with_clumps_)
                own_clumps();
            else if (!cross_)
                own_cell();
            visit_columns();
            flush();
            if (with_clumps_) own_.clumps.yield->add(settled_pairs_, met_pairs_);
        }
        acc_.active = 0;
    }

private:
    // Survivors of the cheap rejection, finished in one go when the buffer fills: as
    // many as the peel takes (count_peeled_avx2), CHUNK partners per filter call.
    static constexpr uint64_t CHUNK = 128, CAPACITY = 512;
    static constexpr uint64_t PRUNE_FROM = 16;       ///< shorter folded runs are scanned whole
    static constexpr uint64_t PER_GALAXY_FROM = 32;  ///< shorter runs cost less than the bounds test

    const CellOrdered &own_, &partners_;
    const bool cross_;
    const CellList &grid_;  ///< the own side's; the partners' has the same geometry
    const uint64_t c_, begin_, end_;
    const Test &test_;
    HistPair &acc_;
    FilterQuery q_;
    const double w_;  ///< |window|; q_.w narrows it for one galaxy at a time
    const CountControl *ctl_;  ///< a count asked to stop ends at the next galaxy
    const double *partner_xs_, *partner_owned_xs_;
    const bool aware_, cell_owns_;
    bool with_clumps_ = false;
    /// Pair counts by own region (HistPair::by_own_region) when the accumulator allows.
    static constexpr bool BY_OWN_REGION = Regioned && !Weighted && !Separated;
    /// The region of every galaxy of the cell, when counting by own region; else -1.
    int64_t own_region_ = -1;
    /// The region of every partner visited now and buffered, when the cell has one
    /// (own_region_ >= 0); else -1: the buffer's pairs go one by one.
    int64_t partner_region_ = -1;
    uint64_t settled_pairs_ = 0, met_pairs_ = 0;

    static constexpr uint64_t SUMMED = Weighted || Separated ? CAPACITY + FilterOut::SLACK : 1;
    double keys_[CAPACITY + FilterOut::SLACK], dzs_[CAPACITY + FilterOut::SLACK];
    uint64_t sames_[CAPACITY + FilterOut::SLACK];
    int64_t counters_[CAPACITY + FilterOut::SLACK];
    double products_[Weighted ? SUMMED : 1];
    double r_terms_[Separated ? SUMMED : 1], log_terms_[Separated ? SUMMED : 1];
    static constexpr uint64_t REGIONED = Regioned ? CAPACITY + FilterOut::SLACK : 1;
    uint64_t region_codes_[REGIONED];
    int64_t first_region_[REGIONED], second_region_[REGIONED];
    FilterOut out_{keys_, dzs_, sames_, 0};

    // ---- galaxies and runs ------------------------------------------------------

    /// Whether any of the cells [lo, hi] of `side` holds an owned galaxy (always, when
    /// the count is not owner-aware).
    bool owns_any(const CellOrdered &side, uint64_t lo, uint64_t hi) const {
        for (uint64_t k = lo; aware_ && k <= hi; ++k)
            if (side.cell_owns[k]) return true;
        return !aware_;
    }

    /// Where the partners of cell `cell` start in the partner columns.
    uint64_t partner_start(uint64_t cell) const { return partners_.grid.cell_start[cell]; }

    /// Makes own galaxy i the current one: a ghost meets its partners through owned_xs.
    QUOR_HOT void set_galaxy(uint64_t i) {
        check_cancelled(ctl_);
        const CellColumns &cols = own_.cols;
        q_.xi = cols.xs[i];
        q_.yi = cols.ys[i];
        q_.zi = cols.zs[i];
        q_.pi = cols.pids[i];
        q_.xs = cols.owned(i) ? partner_xs_ : partner_owned_xs_;
        if constexpr (Weighted) q_.wi = cols.ws[i];
        if constexpr (Regioned) q_.ri = static_cast<uint64_t>(static_cast<uint32_t>(cols.regions[i])) << 32;
    }

    /// A ghost facing partner cells of ghosts alone meets nothing there.
    bool ghost_among_ghosts(bool partners_own) const { return !partners_own && q_.xs != partner_xs_; }

    /// The partners visited next all lie in region `region` (-1: not known to): the
    /// pairs buffered so far, of another, are counted first.
    void enter_segment(int64_t region) {
        if (out_.n > 0 && region != partner_region_) flush();
        partner_region_ = region;
    }

    /// The one region of every galaxy of partner cells lo .. hi, when the cell has one
    /// too; else -1.
    int64_t partners_region(uint64_t lo, uint64_t hi) const {
        if (own_region_ < 0) return -1;
        int64_t region = own_region_;
        bool first = true;
        for (uint64_t k = lo; k <= hi; ++k) {
            if (partner_start(k) == partner_start(k + 1)) continue;
            const int64_t here = partners_.cell_regions[k];
            if (here < 0 || (!first && here != region)) return -1;
            region = here;
            first = false;
        }
        return region;
    }

    void flush() {
        if constexpr (BY_OWN_REGION) {
            if (acc_.by_own_region) {
                flush_by_own_region();
                return;
            }
        }
        if constexpr (Test::COUNTS_ALL && !Weighted && !Separated && !Regioned) {
            test_.template count_all<K>(keys_, dzs_, sames_, out_.n, counters_, acc_);
        } else {
            test_.template index_all<K>(keys_, dzs_, sames_, out_.n, counters_);
            acc_.add_all(counters_, out_.n);
            if constexpr (Regioned)
                acc_.add_regions(counters_, region_codes_, out_.n, first_region_, second_region_);
            if constexpr (Weighted || Separated) add_sums(out_.n);
        }
        out_.n = 0;
    }

    /// flush() when counting by own region: a buffer of pairs inside own_region_ alone
    /// counts as without regions, into that region's block; others pair by pair.
    void flush_by_own_region() {
        if (partner_region_ < 0) {
            test_.template index_all<K>(keys_, dzs_, sames_, out_.n, counters_);
            acc_.add_all_by_region(counters_, region_codes_, out_.n);
        } else if (partner_region_ == own_region_) {
            count_buffer(acc_);
        } else {
            AlsoInRegion both(acc_, partner_region_);
            count_buffer(both);
        }
        out_.n = 0;
    }

    /// The buffered pairs into `to` (a HistPair, or AlsoInRegion), peeled where the
    /// test can.
    template <class Acc>
    void count_buffer(Acc &to) {
        if constexpr (Test::COUNTS_ALL) {
            test_.template count_all<K>(keys_, dzs_, sames_, out_.n, counters_, to);
        } else {
            test_.template index_all<K>(keys_, dzs_, sames_, out_.n, counters_);
            to.add_all(counters_, out_.n);
        }
    }

    /// The buffered pairs' terms into the sums of their counters: w_i w_j, then r and
    /// ln r (times w_i w_j when weighted); with regions, into those of their regions too.
    void add_sums(uint64_t n) {
        if constexpr (Separated) separation_terms<K, Weighted>(keys_, products_, n, r_terms_, log_terms_);
        auto add_to = [&](PairTermSums &sums, const int64_t *counters) {
            if constexpr (Weighted && Separated) {
                const double *terms[] = {products_, r_terms_, log_terms_};
                sums.template add<K, 3>(counters, terms, n);
            } else if constexpr (Weighted) {
                const double *terms[] = {products_};
                sums.template add<K, 1>(counters, terms, n);
            } else {
                const double *terms[] = {r_terms_, log_terms_};
                sums.template add<K, 2>(counters, terms, n);
            }
        };
        add_to(acc_.sums, counters_);
        if constexpr (Regioned) {
            add_to(acc_.region_sums, first_region_);
            add_to(acc_.region_sums, second_region_);
        }
    }

    /// Every partner j0 .. j1 - 1 of the current galaxy, in the filter's mode (the z fold
    /// with Wrap); without Wrap it stops where the z window ends.
    template <class Mode>
    QUOR_HOT void filter_run(uint64_t j0, uint64_t j1) {
        while (j0 < j1) {
            if (out_.n > CAPACITY - CHUNK) flush();
            const uint64_t j_end = std::min(j1, j0 + CHUNK);
            const uint64_t kept_before = out_.n;
            const bool ended = filter_partners<K, Mode>(q_, j0, j_end, out_);
            if constexpr (TALLY_WORK) {
                acc_.tally.candidates += ended ? partners_in_window<Mode>(q_, j0, j_end) : j_end - j0;
                acc_.tally.kept += out_.n - kept_before;
            }
            if (ended) return;
            j0 = j_end;
        }
    }

    template <int ZFold>
    QUOR_HOT void visit_run(uint64_t j0, uint64_t j1) {
        // Partners of one known region need no regions code: the buffer holds no others.
        if constexpr (BY_OWN_REGION) {
            if (partner_region_ >= 0) {
                visit_run_as<ZFold, false>(j0, j1);
                return;
            }
        }
        visit_run_as<ZFold, Regioned>(j0, j1);
    }

    template <int ZFold, bool Codes>
    QUOR_HOT void visit_run_as(uint64_t j0, uint64_t j1) {
        if (!Wrap && q_.sx == 0.0 && q_.sy == 0.0 && q_.sz == 0.0)
            filter_run<FilterMode<Wrap, ZFold, Test::KEY_3D, Test::USES_DZ, false, Weighted, Codes, Test::MU_CUT>>(j0, j1);
        else
            filter_run<FilterMode<Wrap, ZFold, Test::KEY_3D, Test::USES_DZ, true, Weighted, Codes, Test::MU_CUT>>(j0, j1);
    }

    /// A folded run. Passing the pair test needs |dz| < |window| (for the (s, mu) and
    /// radial tests through dz * dz <= s2 < s_max * s_max): with folding, that bounds the
    /// stretches of a long run worth scanning. A NaN window prunes nothing.
    void visit_folded(uint64_t j0, uint64_t j1) {
        if (j1 - j0 < PRUNE_FROM || !(w_ < INFINITY)) {
            visit_run<ANY_FOLD>(j0, j1);
            return;
        }
        const double *zs = q_.zs;
        const double zi = q_.zi;
        auto u = [zs, zi](uint64_t j) { return zs[j] - zi; };
        folded_z_stretches(zs, j0, j1, u, own_.box_size, own_.half_box, w_,
                           [&](uint64_t p, uint64_t r, auto fold) {
                               visit_run<decltype(fold)::value>(p, r);
                           });
    }

    // ---- the own cell -----------------------------------------------------------

    /// Each galaxy with those after it in the run, with no shift (a shift of zero leaves
    /// every difference as it is, bar the sign of a zero, which squares and |dz|
    /// ignore). The two galaxies of a pair give displacements of opposite sign and equal
    /// size, so either may own it.
    void own_cell() {
        q_.sx = q_.sy = q_.sz = 0.0;
        for (uint64_t i = begin_; i + 1 < end_ && cell_owns_; ++i) {
            set_galaxy(i);
            visit_run<ANY_FOLD>(i + 1, end_);
        }
    }

    // ---- clumps -----------------------------------------------------------------

    /// Clumps (find_clumps) of an auto count whose counter depends on the key alone: two
    /// clumps whose every pair lands in one counter, or none, are met whole (pair counts
    /// only: a sum needs every pair's own term).
    bool uses_clumps() const {
        if constexpr (Test::WHOLE_CLUMPS && !Weighted && !Separated)
            return !cross_ && !own_.clumps.first.empty() && !aware_ && own_.clumps.clumped(c_) &&
                   own_.clumps.yield->pays() && (!Regioned || own_region_ >= 0);
        return false;
    }

    /// The pairs inside each clump of the cell, and between its clumps.
    void own_clumps() {
        q_.sx = q_.sy = q_.sz = 0.0;
        const Clump *clumps = own_.clumps.clumps.data();
        const uint64_t last = own_.clumps.first[c_ + 1];
        for (uint64_t ca = own_.clumps.first[c_]; ca < last; ++ca) {
            const Clump &a = clumps[ca];
            for (uint64_t i = a.begin; i + 1 < a.end; ++i) {
                set_galaxy(i);
                visit_run<ANY_FOLD>(i + 1, a.end);
            }
            meet_clumps(a, ca + 1, last);
        }
    }

    /// Clump a meets clumps [cb_lo, cb_hi), which lie next to each other in the columns:
    /// those not settled whole are visited pair by pair, in as few runs as possible.
    void meet_clumps(const Clump &a, uint64_t cb_lo, uint64_t cb_hi) {
        const Clump *clumps = partners_.clumps.clumps.data();
        uint64_t pending = cb_lo;
        auto visit_pending = [&](uint64_t cb_end) {
            if (pending == cb_end) return;
            const uint64_t j0 = clumps[pending].begin, j1 = clumps[cb_end - 1].end;
            met_pairs_ += (a.end - a.begin) * (j1 - j0);
            for (uint64_t i = a.begin; i < a.end; ++i) {
                set_galaxy(i);
                visit_run<ANY_FOLD>(j0, j1);
            }
        };
        for (uint64_t cb = cb_lo; cb < cb_hi; ++cb) {
            const Clump &b = clumps[cb];
            if (settle_whole(a, b)) {
                visit_pending(cb);
                pending = cb + 1;
            }
        }
        visit_pending(cb_hi);
    }

    /// Counts every pair of clumps a and b at once when they all land in one counter or
    /// none (every key fails key < key_max); false when they must be met pair by pair.
    bool settle_whole(const Clump &a, const Clump &b) {
        const KeyRange keys = clump_keys(a, b, q_.sx, q_.sy, q_.sz);
        if (!(keys.least < test_.key_max)) return true;
        if (Regioned && partner_region_ < 0) return false;  // b's pairs may touch several regions
        const bool same = a.pid == b.pid;
        const int64_t k = test_.index(keys.least, 0.0, same);
        if (k < 0 || k != test_.index(keys.most, 0.0, same)) return false;
        const uint64_t pairs = (a.end - a.begin) * (b.end - b.begin);
        acc_.add(k, pairs);
        if (Regioned && partner_region_ != own_region_) acc_.add_in_region(partner_region_, k, pairs);
        settled_pairs_ += pairs;
        met_pairs_ += pairs;
        return true;
    }

    // ---- neighbours, z window -----------------------------------------------------

    /* The neighbours, a column of z cells at a time: the z cells of one column that a
       step reaches with the same shift are consecutive in the cell order, so their runs
       join into one run in ascending z (NaN z, which counts nothing, can only sit at the
       end of the first). An auto count steps across to one of each opposite pair (y > 0,
       or y == 0 and x > 0) with all three z steps, and to (0, 0) with z + 1 alone; a
       cross count to every column with all three, the own cell included. */
    void visit_columns() {
        const CellCoord cc = grid_.coord_of(c_);
        const int reach = grid_.reach_xy;
        const int64_t n_z = static_cast<int64_t>(grid_.cells_z);
        for (int oy = cross_ ? -reach : 0; oy <= reach; ++oy) {
            for (int ox = cross_ || oy != 0 ? -reach : 0; ox <= reach; ++ox) {
                const Neighbour column = neighbour_of(grid_, cc, ox, oy, 0, own_.box_size);
                const uint64_t z0 = column.cell - cc.iz;  // the column's cell at z index 0
                const int oz_lo = !cross_ && ox == 0 && oy == 0 ? 1 : -1;
                // Up to two segments: a shifted z cell past a face, and the rest.
                Neighbour nb = column;
                int64_t run_lo = -1, run_hi = -1;
                for (int oz = oz_lo; oz <= 1; ++oz) {
                    int64_t t = static_cast<int64_t>(cc.iz) + oz;
                    double sz = 0.0;
                    if (t < 0) {
                        t += n_z;
                        sz = -own_.box_size;
                    } else if (t >= n_z) {
                        t -= n_z;
                        sz = own_.box_size;
                    }
                    if (sz != 0.0) {
                        nb.sz = sz;
                        visit_segment(nb, z0 + t, z0 + t);
                        continue;
                    }
                    if (run_lo < 0) run_lo = t;
                    run_hi = t;
                }
                if (run_lo >= 0) {
                    nb.sz = 0.0;
                    visit_segment(nb, z0 + run_lo, z0 + run_hi);
                }
            }
        }
    }

    /// The x and y bounds of partner cells lo .. hi together.
    CellBounds partner_bounds(uint64_t lo, uint64_t hi) const {
        CellBounds box{INFINITY, -INFINITY, INFINITY, -INFINITY};
        for (uint64_t k = lo; k <= hi; ++k) {
            const CellBounds &b = partners_.bounds[k];
            box = {std::min(box.x_lo, b.x_lo), std::max(box.x_hi, b.x_hi),
                   std::min(box.y_lo, b.y_lo), std::max(box.y_hi, b.y_hi)};
        }
        return box;
    }

    /// Partner cells cell_lo .. cell_hi of one column, reached with the shift of `nb`.
    /// Counting by own region from a cell of one region, a segment across a region
    /// boundary is visited as pieces of one region each (empty cells join the piece
    /// before them), so that most of its pairs still count whole.
    void visit_segment(const Neighbour &nb, uint64_t cell_lo, uint64_t cell_hi) {
        if constexpr (BY_OWN_REGION) {
            if (own_region_ >= 0 && cell_lo < cell_hi && partners_region(cell_lo, cell_hi) < 0) {
                uint64_t lo = cell_lo;
                bool filled = false;
                int64_t region = -1;
                for (uint64_t k = cell_lo; k <= cell_hi; ++k) {
                    if (partner_start(k) == partner_start(k + 1)) continue;
                    const int64_t here = partners_.cell_regions[k];
                    if (filled && here != region) {
                        visit_cells(nb, lo, k - 1);
                        lo = k;
                    }
                    region = here;
                    filled = true;
                }
                visit_cells(nb, lo, cell_hi);
                return;
            }
        }
        visit_cells(nb, cell_lo, cell_hi);
    }

    /// Partner cells cell_lo .. cell_hi of one column, reached with the shift of `nb`:
    /// skipped whole when their bounds are too far across; met clump by clump where both
    /// sides come in clumps; else galaxy by galaxy, each cut to its z window.
    void visit_cells(const Neighbour &nb, uint64_t cell_lo, uint64_t cell_hi) {
        const uint64_t nb_begin = partner_start(cell_lo);
        const uint64_t nb_end = partner_start(cell_hi + 1);
        if (nb_begin == nb_end) return;
        const bool nb_owns = owns_any(partners_, cell_lo, cell_hi);
        if (!cell_owns_ && !nb_owns) return;
        const bool bounded = !partners_.bounds.empty();
        CellBounds nb_box{};
        if (bounded) {
            nb_box = partner_bounds(cell_lo, cell_hi);
            const CellBounds &own = own_.bounds[c_];
            const double gx = least_gap(nb_box.x_lo, nb_box.x_hi, own.x_lo, own.x_hi, nb.sx);
            const double gy = least_gap(nb_box.y_lo, nb_box.y_hi, own.y_lo, own.y_hi, nb.sy);
            if (gx * gx + gy * gy >= test_.key_max) return;
        }

        q_.sx = nb.sx;
        q_.sy = nb.sy;
        q_.sz = nb.sz;
        if constexpr (BY_OWN_REGION) enter_segment(partners_region(cell_lo, cell_hi));
        if (segment_clumped(cell_lo, cell_hi)) {
            const uint64_t b_lo = partners_.clumps.first[cell_lo];
            const uint64_t b_hi = partners_.clumps.first[cell_hi + 1];
            for (uint64_t ca = own_.clumps.first[c_]; ca < own_.clumps.first[c_ + 1]; ++ca)
                meet_clumps(own_.clumps.clumps[ca], b_lo, b_hi);
            return;
        }
        visit_windows(nb, nb_begin, nb_end, nb_owns, bounded ? &nb_box : nullptr);
    }

    /// Whether every partner cell lo .. hi comes in clumps (or is empty).
    bool segment_clumped(uint64_t lo, uint64_t hi) const {
        bool clumped = with_clumps_;
        for (uint64_t k = lo; k <= hi && clumped; ++k)
            clumped = partners_.clumps.clumped(k) || partner_start(k) == partner_start(k + 1);
        return clumped;
    }

    /// Each own galaxy against the partners [nb_begin, nb_end) inside its z window: from
    /// the first partner with dz > -w (the partition point a binary search would find)
    /// up to, not including, the first one after it with dz >= w. A partner's dz never
    /// grows as the current galaxy's z does, and those come in ascending z: the start is
    /// found by advancing from the previous galaxy's. With `nb_box` (bounds kept and a
    /// long run), a galaxy too far across from the box skips the run, and a 3-D key
    /// narrows its window to what the rest of the separation leaves.
    void visit_windows(const Neighbour &nb, uint64_t nb_begin, uint64_t nb_end, bool nb_owns,
                       const CellBounds *nb_box) {
        const bool per_galaxy = nb_box && nb_end - nb_begin >= PER_GALAXY_FROM;
        uint64_t first = nb_begin;
        for (uint64_t i = begin_; i < end_; ++i) {
            set_galaxy(i);
            first = window_start<K>(q_.zs, first, nb_end, nb.sz, q_.zi, w_);
            if (ghost_among_ghosts(nb_owns)) continue;
            if (per_galaxy) {
                const double gx = least_gap(nb_box->x_lo, nb_box->x_hi, q_.xi, q_.xi, nb.sx);
                const double gy = least_gap(nb_box->y_lo, nb_box->y_hi, q_.yi, q_.yi, nb.sy);
                const double gap2 = gx * gx + gy * gy;
                if (gap2 >= test_.key_max) continue;
                if (Test::KEY_3D) q_.w = gap2 > 0.0 ? narrowed_window(gap2, test_.key_max, w_) : w_;
            }
            visit_run<ANY_FOLD>(first, nb_end);
        }
        q_.w = w_;
    }

    // ---- neighbours, folded ------------------------------------------------------

    /// The wrapped path: every pair is measured by folding the plain difference, so the
    /// steps carry no shift. An auto count meets the own cell's later galaxies and the
    /// half stencil; a cross count the whole own cell and the stencil both ways.
    void visit_wrapped() {
        q_.sx = q_.sy = q_.sz = 0.0;
        if (cross_) {
            visit_folded_cell(c_);
        } else {
            for (uint64_t i = begin_; i + 1 < end_ && cell_owns_; ++i) {
                set_galaxy(i);
                visit_folded(i + 1, end_);
            }
        }
        const CellCoord cc = grid_.coord_of(c_);
        for (const Offset &off : own_.stencil) {
            visit_folded_cell(neighbour_of(grid_, cc, off.x, off.y, off.z, own_.box_size).cell);
            if (cross_)
                visit_folded_cell(neighbour_of(grid_, cc, -off.x, -off.y, -off.z, own_.box_size).cell);
        }
    }

    /// Every own galaxy against every partner of cell `nb`, folded.
    void visit_folded_cell(uint64_t nb) {
        const uint64_t nb_begin = partner_start(nb), nb_end = partner_start(nb + 1);
        const bool nb_owns = owns_any(partners_, nb, nb);
        if (nb_begin == nb_end || (!cell_owns_ && !nb_owns)) return;
        for (uint64_t i = begin_; i < end_; ++i) {
            set_galaxy(i);
            if (ghost_among_ghosts(nb_owns)) continue;
            visit_folded(nb_begin, nb_end);
        }
    }
};

/// Visits every pair that cell `c` owns in an auto count of `co` (see CellVisit).
template <Kernel K, bool Wrap, class Test>
inline void visit_cell_pairs(const CellOrdered &co, uint64_t c, double window, const Test &test,
                             HistPair &acc) {
    CellVisit<K, Wrap, Test>(PairSides{co, co, false}, c, window, test, acc).run();
}

/// The sides of a prepared pair count.
inline PairSides sides_of(const PairCells &cells) {
    return {cells.own, cells.partner_side(), cells.cross};
}

/// Every pair of `sides` through `test`, cell by cell on the pool, into histograms of
/// `n_bins` auto and as many cross counters, with the sums of `Weighted` and `Separated`
/// (`term_bounds`, one per sum: see pair_term_bounds) and, with `Regioned`, the
/// counters and sums of each of `n_regions` regions.
template <Kernel K, bool Wrap, bool Weighted, bool Separated, bool Regioned, class Test>
HistPair sweep_pairs(const PairSides &sides, double window, const Test &test, uint64_t n_bins,
                     const std::vector<double> &term_bounds, uint64_t n_regions) {
    const uint64_t regions = Regioned ? n_regions : 0;
    auto make = [&] { return HistPair(n_bins, term_bounds, regions); };
    auto step = [&](HistPair &acc, uint64_t c) {
        CellVisit<K, Wrap, Test, Weighted, Separated, Regioned>(sides, c, window, test, acc).run();
    };
    HistPair hist = parallel_sweep<HistPair>(sides.own.grid.n_cells(), make, step,
                                             HistPair::bytes(n_bins, term_bounds.size(), regions));
    if constexpr (TALLY_WORK) hist.tally.report();
    return hist;
}

/// f(kernel, wrap, weighted, separated, regioned) with the variant of this process,
/// `wrap`, the query's sums and whether it counts by region as compile-time constants:
/// a pair counter's sweep, chosen once.
template <class F>
decltype(auto) with_pair_modes(const PairQuery &query, bool wrap, F &&f) {
    return with_kernel([&](auto kernel) {
        auto with_sums = [&](auto wrapped, auto regioned) -> decltype(auto) {
            if (query.weighted())
                return query.separations ? f(kernel, wrapped, std::true_type{}, std::true_type{}, regioned)
                                         : f(kernel, wrapped, std::true_type{}, std::false_type{}, regioned);
            return query.separations ? f(kernel, wrapped, std::false_type{}, std::true_type{}, regioned)
                                     : f(kernel, wrapped, std::false_type{}, std::false_type{}, regioned);
        };
        auto with_regions = [&](auto wrapped) -> decltype(auto) {
            return query.regioned() ? with_sums(wrapped, std::true_type{}) : with_sums(wrapped, std::false_type{});
        };
        return wrap ? with_regions(std::true_type{}) : with_regions(std::false_type{});
    });
}

}  // namespace quor
