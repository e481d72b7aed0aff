/* src/cell_list.cpp: counting-sort build of the periodic cell list, the per-cell z sort
   and the cell-ordered columns. */
#include "src/cell_list.h"

#include <algorithm>

#include "src/parallel.h"

namespace quor {

namespace {

/// Cells along one axis: the integer part of box / cell size, clamped to [3, 128].
/// A zero cell size gives an infinite quotient (128 cells), a negative or NaN one 3.
uint64_t cells_along(double box_size, double cell_size) {
    return std::clamp(trunc_sat(box_size / cell_size), MIN_CELLS, MAX_CELLS);
}

}  // namespace

CellList CellList::build(const double *positions, int64_t n, double box_size, double cell_size_xy,
                         double cell_size_z) {
    CellList grid;
    grid.cells_xy = cells_along(box_size, cell_size_xy);
    grid.cells_z = cells_along(box_size, cell_size_z);
    grid.width_xy = box_size / static_cast<double>(grid.cells_xy);
    grid.width_z = box_size / static_cast<double>(grid.cells_z);

    const uint64_t n_cells = grid.n_cells();
    std::vector<uint64_t> ids(static_cast<size_t>(n));
    std::vector<uint64_t> count(n_cells, 0);
    for (int64_t i = 0; i < n; ++i) {
        const double *p = positions + 3 * i;
        const CellCoord c = grid.cell_of(p[0], p[1], p[2]);
        ids[i] = grid.cell_id(c.ix, c.iy, c.iz);
        ++count[ids[i]];
    }

    grid.cell_start.assign(n_cells + 1, 0);
    for (uint64_t c = 0; c < n_cells; ++c) grid.cell_start[c + 1] = grid.cell_start[c] + count[c];

    // Stable scatter: within a cell the particle indices ascend.
    std::vector<uint64_t> &cursor = count;
    std::copy(grid.cell_start.begin(), grid.cell_start.end() - 1, cursor.begin());
    grid.cell_order.resize(static_cast<size_t>(n));
    for (int64_t i = 0; i < n; ++i) grid.cell_order[cursor[ids[i]]++] = static_cast<uint64_t>(i);
    return grid;
}

namespace {

/// Reorders the run of cell c in cell_order by ascending z.
void sort_cell_by_z(CellList &grid, const double *positions, uint64_t c) {
    auto first = grid.cell_order.begin() + static_cast<ptrdiff_t>(grid.cell_start[c]);
    auto last = grid.cell_order.begin() + static_cast<ptrdiff_t>(grid.cell_start[c + 1]);
    if (last - first < 2) return;
    // NaN z sorts last: a plain `<` is no strict weak order with NaN, and
    // std::sort may then run outside the range.
    std::sort(first, last, [positions](uint64_t a, uint64_t b) {
        const double za = positions[3 * a + 2], zb = positions[3 * b + 2];
        return za < zb || (za == za && zb != zb);
    });
}

/// The cell-by-cell preparation sweeps produce no histogram.
struct NoCounts {
    void merge(const NoCounts &) {}
};

}  // namespace

CellOrdered prepare_cell_ordered(const StridedMatrix &coords, const PartitionIds &ids,
                                 double box_size, double cell_size_xy, double cell_size_z) {
    CellOrdered data;
    const std::vector<double> positions = copy_positions(coords);
    const int64_t n = coords.rows;
    data.grid = CellList::build(positions.data(), n, box_size, cell_size_xy, cell_size_z);
    data.box_size = box_size;
    data.half_box = box_size * 0.5;

    CellColumns &cols = data.cols;
    cols.xs.resize(n);
    cols.ys.resize(n);
    cols.zs.resize(n);
    cols.pids.resize(n);
    cols.orig_index.resize(n);

    // Each cell's z sort and its stretch of the columns touch that cell's run alone, so
    // the cells are prepared on the pool; the order among equal z changes no count.
    CellList &grid = data.grid;
    auto prepare_cell = [&](NoCounts &, uint64_t c) {
        sort_cell_by_z(grid, positions.data(), c);
        for (uint64_t k = grid.cell_start[c]; k < grid.cell_start[c + 1]; ++k) {
            const uint64_t m = grid.cell_order[k];
            cols.xs[k] = positions[3 * m + 0];
            cols.ys[k] = positions[3 * m + 1];
            cols.zs[k] = positions[3 * m + 2];
            cols.pids[k] = ids[static_cast<int64_t>(m)];
            cols.orig_index[k] = m;
        }
    };
    parallel_sweep<NoCounts>(grid.n_cells(), [] { return NoCounts{}; }, prepare_cell);
    return data;
}

}  // namespace quor
