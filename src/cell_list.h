/* src/cell_list.h: the periodic cell list, its half-shell stencil, the bin lookup and
   the cell-ordered columns that the cell-id counters sweep. */
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "src/common.h"

namespace quor {

constexpr uint64_t MIN_CELLS = 3;
constexpr uint64_t MAX_CELLS = 128;

/// A step from a cell to a neighbour, in cells along x, y and z.
struct Offset {
    int x, y, z;
};

/// One of each pair of opposite offsets in [-reach, reach]^2 x [-1, 1], the own cell
/// excluded: with the own cell, visits every pair of particles in cells at most `reach`
/// apart across and one apart along z exactly once, when the grid has at least
/// 2 reach + 1 cells across and 3 along z (no two offsets then reach the same cell).
std::vector<Offset> half_stencil(int reach);

struct CellCoord {
    uint64_t ix, iy, iz;
};

/// Periodic grid of cells_xy x cells_xy x cells_z cells. The particles of cell c are
/// entries cell_start[c] .. cell_start[c + 1] - 1 of the cell-ordered columns.
struct CellList {
    std::vector<uint64_t> cell_start;  ///< n_cells + 1 offsets into the cell order
    uint64_t cells_xy = MIN_CELLS;
    uint64_t cells_z = MIN_CELLS;
    double width_xy = 0.0;
    double width_z = 0.0;
    int reach_xy = 1;     ///< cells across that a pair can span, 0 when no grid fits
    bool bounded = false; ///< whether the cells keep the x and y bounds of their galaxies

    /// The grid over a box of side `box_size` for cells of `cell_size_xy` across and
    /// `cell_size_z` along z (cells per axis: box / size rounded down, within [3, 128]);
    /// no particles yet.
    static CellList for_box(double box_size, double cell_size_xy, double cell_size_z);

    /// The grid of a pair count over `n_rows` galaxies that all lie inside [0, box)^3,
    /// whose pairs count only with |dx| and |dy| below `r_xy` and |dz| below `w`.
    /// Cells are at least `w` tall and r_xy / reach_xy wide, reach_xy chosen from the
    /// density so that a cell holds enough partners to be worth a visit; their bounds
    /// are kept. reach_xy is 0 when the box is too small for 3 cells along z or
    /// 2 reach_xy + 1 across: the count then needs the coarse grid. n_rows are the
    /// partners: a cross count's reach_xy is chosen for them.
    static CellList for_pairs(double box_size, double r_xy, double w, uint64_t n_rows);

    uint64_t n_cells() const { return cells_xy * cells_xy * cells_z; }

    /// Cell coordinates of a position; outside the box (or NaN) clamps to an edge cell.
    CellCoord cell_of(double x, double y, double z) const {
        CellCoord c;
        c.ix = std::min(cells_xy - 1, trunc_sat(x / width_xy));
        c.iy = std::min(cells_xy - 1, trunc_sat(y / width_xy));
        c.iz = std::min(cells_z - 1, trunc_sat(z / width_z));
        return c;
    }

    uint64_t cell_id(uint64_t ix, uint64_t iy, uint64_t iz) const {
        return (ix * cells_xy + iy) * cells_z + iz;
    }

    CellCoord coord_of(uint64_t c) const {
        return {c / (cells_xy * cells_z), (c / cells_z) % cells_xy, c % cells_z};
    }
};

/// A neighbour cell reached through an offset, with the periodic shift of the step:
/// -box_size where the step left through the low face, +box_size through the high face.
struct Neighbour {
    uint64_t cell;
    double sx, sy, sz;
};

inline Neighbour neighbour_of(const CellList &grid, const CellCoord &c, int ox, int oy, int oz,
                              double box_size) {
    auto step = [box_size](uint64_t i, int o, uint64_t n, double &shift) {
        int64_t t = static_cast<int64_t>(i) + o;
        shift = 0.0;
        if (t < 0) {
            t += static_cast<int64_t>(n);
            shift = -box_size;
        } else if (t >= static_cast<int64_t>(n)) {
            t -= static_cast<int64_t>(n);
            shift = box_size;
        }
        return static_cast<uint64_t>(t);
    };
    Neighbour nb;
    const uint64_t tx = step(c.ix, ox, grid.cells_xy, nb.sx);
    const uint64_t ty = step(c.iy, oy, grid.cells_xy, nb.sy);
    const uint64_t tz = step(c.iz, oz, grid.cells_z, nb.sz);
    nb.cell = grid.cell_id(tx, ty, tz);
    return nb;
}

/// Bin of `v` among `m` >= 1 ascending edges: k with edges[k] <= v < edges[k + 1],
/// or -1 when v is below the first edge, at or above the last, or NaN.
inline int64_t find_bin(const double *edges, int64_t m, double v) {
    if (v < edges[0] || v >= edges[m - 1]) return -1;
    int64_t base = 0, size = m;
    while (size > 1) {
        const int64_t half = size / 2;
        base = v >= edges[base + half] ? base + half : base;  // a select, not a branch
        size -= half;
    }
    // A NaN passes the first test and is >= no edge; base - 1 is then -1: no bin.
    return v >= edges[base] ? base : base - 1;
}

/// Per-galaxy data in cell order (each cell a contiguous run, ascending z).
struct CellColumns {
    std::vector<double> xs, ys, zs;
    std::vector<int32_t> pids;
    std::vector<uint64_t> orig_index;
    /// The galaxies' weights, for a weighted count (ones for a catalogue given none);
    /// else empty.
    std::vector<double> ws;
    /// The galaxies' jackknife region labels, for a count by region; else empty.
    std::vector<int32_t> regions;
    /// For an owner-aware count (else empty): x of the owned galaxies and +inf for the
    /// ghosts, so that a ghost measured against it is infinitely far (see mark_owner).
    std::vector<double> owned_xs;

    bool owned(uint64_t k) const { return owned_xs.empty() || owned_xs[k] == xs[k]; }
};

/// The smallest box around the x and y of a cell's galaxies; empty: lo > hi.
struct CellBounds {
    double x_lo, x_hi, y_lo, y_hi;
};

/// Galaxies of one partition next to each other in a cell's run, inside a small box: a
/// count can meet two clumps whole when every pair between them lands in one bin.
struct Clump {
    uint64_t begin, end;  ///< the run [begin, end) of the columns
    double x_lo, x_hi, y_lo, y_hi, z_lo, z_hi;
    int32_t pid;
};

/// How much meeting clumps whole has saved so far in a count: the pairs it settled
/// whole, out of all it met. Where clumps are settled too rarely, meeting them costs
/// more than the ordinary traversal, and the rest of the count goes without.
struct ClumpYield {
    static constexpr uint64_t WARM_UP = uint64_t{1} << 24;  ///< pairs met before judging

    std::atomic<uint64_t> settled{0}, met{0};

    bool pays() const {
        const uint64_t m = met.load(std::memory_order_relaxed);
        return m < WARM_UP || settled.load(std::memory_order_relaxed) * 5 >= m;
    }
    void add(uint64_t settled_pairs, uint64_t met_pairs) {
        settled.fetch_add(settled_pairs, std::memory_order_relaxed);
        met.fetch_add(met_pairs, std::memory_order_relaxed);
    }
};

/// The clumps of the cells where galaxies come in clumps; other cells have none.
struct CellClumps {
    std::vector<uint64_t> first;  ///< per cell and one more: cell c's clumps are [first[c], first[c + 1])
    std::vector<Clump> clumps;
    std::unique_ptr<ClumpYield> yield = std::make_unique<ClumpYield>();

    bool clumped(uint64_t c) const { return first[c] < first[c + 1]; }
};

/// Everything the cell-id counters share: the grid, sorted by z, and its columns.
struct CellOrdered {
    CellList grid;
    CellColumns cols;
    std::vector<Offset> stencil;      ///< half_stencil(grid.reach_xy)
    std::vector<CellBounds> bounds;   ///< per cell when grid.bounded, else empty
    std::vector<uint8_t> cell_owns;   ///< per cell of an owner-aware count: holds an owned galaxy
    CellClumps clumps;                ///< empty unless find_clumps filled it
    /// Per cell of a count by region: the region all its galaxies lie in, or -1 for a
    /// cell of mixed regions or none (empty unless fill_regions filled it).
    std::vector<int32_t> cell_regions;
    double box_size = 0.0;
    double half_box = 0.0;
};

/// Sorts the rows into the cells of `grid` (stably: a cell's rows in input order), then
/// each cell's run by ascending z, and fills the columns; all on the worker pool.
/// `ids` must hold at least coords.rows entries and coords at least 3 columns. With
/// `weights`, the columns carry them (ones where `weights` is empty).
CellOrdered prepare_cell_ordered(const StridedMatrix &coords, const PartitionIds &ids,
                                 double box_size, CellList grid,
                                 const StridedVector<double> *weights = nullptr);

/// The same on CellList::for_box(box_size, cell_size_xy, cell_size_z).
CellOrdered prepare_cell_ordered(const StridedMatrix &coords, const PartitionIds &ids,
                                 double box_size, double cell_size_xy, double cell_size_z);

/// Makes the count owner-aware: marks which galaxies of the columns `slab` owns. A ghost
/// then meets its partners through owned_xs, where every other ghost lies at x = +inf:
/// its displacement and squared separation are +inf, which no pair test accepts, while
/// an owned partner's arithmetic is the same as through xs.
void mark_owner(CellOrdered &co, const OwnerSlab &slab);

/// Fills the columns' region labels from `labels`, one per input row, for a count by
/// region, and the cells' own regions (cell_regions).
void fill_regions(CellOrdered &co, const PartitionIds &labels);

/// Splits the run of every cell with two galaxies or more into clumps: maximal
/// stretches of one partition no more than `extent` across on each axis. A cell keeps
/// its clumps when they hold three galaxies or more on average; elsewhere meeting
/// clump by clump would cost more than it saves.
void find_clumps(CellOrdered &co, double extent);

/// Whether every position is finite and inside [0, box_size) on all three axes.
bool all_inside_box(const StridedMatrix &coords, double box_size);

/// The cell-ordered catalogue of a pair count whose pairs need |dx|, |dy| < r_xy and
/// |dz| < w: on CellList::for_pairs when every galaxy lies inside the box and the box
/// fits that grid (grid.bounded tells), else on the coarse grid of cells r_xy by w.
/// On the fine grid the cell shift of every pair that can count is the fold of the
/// minimum image, so the count needs no folding. With `owner`, the count is owner-aware
/// (mark_owner) and the grid sized for the density inside the slab and its ghosts.
CellOrdered prepare_pair_cells(const StridedMatrix &coords, const PartitionIds &ids,
                               double box_size, double r_xy, double w,
                               const OwnerSlab *owner = nullptr);

/// The catalogues of a pair count, cell-ordered on one grid: `own`, whose cells a sweep
/// visits, and, in a cross count, `partners`, whose galaxies the own galaxies meet.
/// Which catalogue of the query is `own` is the count's choice (see prepare_pair_cells).
struct PairCells {
    CellOrdered own;
    CellOrdered partners;  ///< empty in an auto count
    bool cross = false;

    const CellOrdered &partner_side() const { return cross ? partners : own; }
};

/// prepare_pair_cells for a query: an auto count's catalogue as above; a cross count's
/// two on the grid sized for the larger one, which becomes the partners (the sweep's
/// work per own galaxy then meets the most partners per cell visited; a pair's
/// displacement only changes sign, which no count sees). Both lie on the fine grid when
/// both lie inside the box. With weights in the query, both catalogues carry them.
PairCells prepare_pair_cells(const PairQuery &query, double box_size, double r_xy, double w);

/// The grid prepare_pair_cells sorts the catalogue into: CellList::for_pairs when every
/// galaxy lies inside the box and the box fits that grid (bounded), else the coarse
/// grid CellList::for_box(box_size, r_xy, w).
CellList pair_count_grid(const StridedMatrix &coords, double box_size, double r_xy, double w,
                         const OwnerSlab *owner = nullptr);

/// The cells across x (and y) of the grid prepare_pair_cells builds for `n_rows`
/// galaxies inside the box (a slab count: as many over the whole box at its density).
/// A distributed count puts its slab faces on the boundaries of these cells, so that
/// no cell holds both galaxies of a slab and its ghosts.
uint64_t pair_grid_columns(double box_size, double r_xy, double w, uint64_t n_rows);

}  // namespace quor
