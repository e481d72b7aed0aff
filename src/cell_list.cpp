/* src/cell_list.cpp: the cell-ordered catalogue, built on the worker pool: a stable
   counting sort of the input rows into the cells, then a z sort of every cell. */
#include "src/cell_list.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <initializer_list>
#include <memory>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#endif

#include "src/parallel.h"

namespace quor {

namespace {

/// Cells along one axis: the integer part of box / cell size, clamped to [3, 128].
/// A zero cell size gives an infinite quotient (128 cells), a negative or NaN one 3.
uint64_t cells_along(double box_size, double cell_size) {
    return std::clamp(trunc_sat(box_size / cell_size), MIN_CELLS, MAX_CELLS);
}

/// Widest stencil of a pair count, in cells across either way.
constexpr int MAX_REACH = 4;

/// What a neighbour column costs a galaxy besides its candidates, in candidates
/// filtered: the z window found, the run started and ended (measured: cross counts of
/// 1e6 x 4e6 galaxies, r <= 20 and r <= 50; auto counts of 1e5 - 1.2e6 galaxies,
/// r <= 25 - 150, on AVX2).
constexpr double COLUMN_COST = 48.0;

/// The reach of a pair count whose partners number `rows`: the one that makes a
/// galaxy's work least, (2 reach + 1)^2 columns of COLUMN_COST plus the candidates of a
/// cell r_xy / reach wide and 2 w tall at the mean density. An auto count meets half
/// the columns, and half the candidates, of a cross count: the same reach is least.
int least_cost_reach(double box_size, double r_xy, double w, double rows) {
    const double density = rows / box_size / box_size / box_size;
    int best = 1;
    double least = INFINITY;
    for (int reach = 1; reach <= MAX_REACH; ++reach) {
        const double width = r_xy / reach, columns = (2.0 * reach + 1) * (2.0 * reach + 1);
        const double cost = columns * (COLUMN_COST + density * width * width * 2.0 * w);
        if (cost < least) least = cost, best = reach;
    }
    return best;
}

/// Shortest run of rows worth a chunk of its own in the counting sort.
constexpr uint64_t MIN_CHUNK_ROWS = uint64_t{1} << 12;

/// Chunks of rows for the counting sort: a few per worker, so that a slow one can be
/// made up for, none shorter than MIN_CHUNK_ROWS, and no more than keep the table of
/// per-chunk cell counts (chunks x cells) within one entry per row.
uint64_t sort_chunks(uint64_t n, uint64_t n_cells) {
    const uint64_t wanted = 4 * pool_size();
    return std::max<uint64_t>(1, std::min({wanted, n / MIN_CHUNK_ROWS, n / n_cells}));
}

/// First row of chunk k of n rows cut into `chunks` near-equal runs.
uint64_t chunk_begin(uint64_t k, uint64_t n, uint64_t chunks) {
    return k * (n / chunks) + std::min(k, n % chunks);
}

/// Fewest cells in a block of the passes over cells: a block's bookkeeping on the pool
/// then costs far less than its cells.
constexpr uint64_t MIN_BLOCK_CELLS = uint64_t{1} << 10;

/// Blocks of cells for a pass over them: a few per worker, none shorter than
/// MIN_BLOCK_CELLS.
uint64_t cell_blocks(uint64_t n_cells) {
    return std::max<uint64_t>(1, std::min(4 * pool_size(), n_cells / MIN_BLOCK_CELLS));
}

/// Calls `f(c)` for every cell of `grid` on the pool, each block of cells in order:
/// for passes whose cells write disjoint data.
template <class F>
void for_each_cell_block(const CellList &grid, const F &f) {
    const uint64_t n_cells = grid.n_cells(), blocks = cell_blocks(n_cells);
    parallel_for(blocks, [&](uint64_t b) {
        const uint64_t end = chunk_begin(b + 1, n_cells, blocks);
        for (uint64_t c = chunk_begin(b, n_cells, blocks); c < end; ++c) f(c);
    });
}

/// Appends the clumps of cell c to `out` (see find_clumps): none when they would hold
/// fewer than three galaxies on average.
void append_clumps(const CellOrdered &co, uint64_t c, double extent, std::vector<Clump> &out) {
    constexpr uint64_t MIN_CLUMPED = 2, CLUMP_SIZE = 3;
    const CellColumns &cols = co.cols;
    const uint64_t begin = co.grid.cell_start[c], end = co.grid.cell_start[c + 1];
    if (end - begin < MIN_CLUMPED) return;
    const size_t kept = out.size();
    Clump cl{};
    for (uint64_t k = begin; k < end; ++k) {
        const double x = cols.xs[k], y = cols.ys[k], z = cols.zs[k];
        const bool joins = k > begin && cols.pids[k] == cl.pid &&
                           std::max(cl.x_hi, x) - std::min(cl.x_lo, x) <= extent &&
                           std::max(cl.y_hi, y) - std::min(cl.y_lo, y) <= extent &&
                           z - cl.z_lo <= extent;  // the run ascends in z
        if (joins) {
            cl = {cl.begin, k + 1, std::min(cl.x_lo, x), std::max(cl.x_hi, x),
                  std::min(cl.y_lo, y), std::max(cl.y_hi, y), cl.z_lo, z, cl.pid};
            continue;
        }
        if (k > begin) out.push_back(cl);
        cl = {k, k + 1, x, x, y, y, z, z, cols.pids[k]};
    }
    out.push_back(cl);
    if ((out.size() - kept) * CLUMP_SIZE > end - begin) out.resize(kept);
}

/// An input row as the counting sort moves it into its cell's run: everything the
/// columns need, read in input order, so that filling a cell reads its own run alone
/// rather than the input rows it came from, scattered over the input.
struct Row {
    double x, y, z, w;
    uint64_t index;
    int32_t pid;
};

/// Size and alignment of a huge page of the kernel's transparent huge pages.
constexpr size_t HUGE_PAGE = size_t{1} << 21;

/// Asks the kernel for huge pages over the whole huge pages inside [p, p + bytes), when
/// that is large: it is written soon, all of it, and with small pages the first touch
/// of each page costs about as much as the writes themselves. Advice only: where it is
/// refused, the pages stay small.
void ask_huge_pages(void *p, size_t bytes) {
#if defined(MADV_HUGEPAGE)
    if (bytes < 4 * HUGE_PAGE) return;
    const uintptr_t lo = (reinterpret_cast<uintptr_t>(p) + HUGE_PAGE - 1) / HUGE_PAGE * HUGE_PAGE;
    const uintptr_t hi = (reinterpret_cast<uintptr_t>(p) + bytes) / HUGE_PAGE * HUGE_PAGE;
    if (hi > lo) madvise(reinterpret_cast<void *>(lo), hi - lo, MADV_HUGEPAGE);
#else
    (void)p, (void)bytes;
#endif
}

/// v.resize(n) on huge pages where it is large (see ask_huge_pages).
template <class T>
void resize_on_huge_pages(std::vector<T> &v, size_t n) {
    v.reserve(n);
    ask_huge_pages(v.data(), n * sizeof(T));
    v.resize(n);
}

struct FreeScratch {
    void operator()(void *p) const { std::free(p); }
};

template <class T>
using Scratch = std::unique_ptr<T[], FreeScratch>;

/// Room for `n` values of a trivial type, not initialised, on huge pages where it is
/// large: the counting sort writes all of it once.
template <class T>
Scratch<T> scratch_buffer(uint64_t n) {
    if (n > (SIZE_MAX - HUGE_PAGE) / sizeof(T)) throw std::bad_alloc();
    const size_t bytes = std::max<size_t>(1, static_cast<size_t>(n) * sizeof(T));
    const size_t rounded = (bytes + HUGE_PAGE - 1) / HUGE_PAGE * HUGE_PAGE;
    void *p = bytes >= 4 * HUGE_PAGE ? std::aligned_alloc(HUGE_PAGE, rounded) : std::malloc(bytes);
    if (!p) throw std::bad_alloc();
    ask_huge_pages(p, rounded);
    return Scratch<T>(static_cast<T *>(p));
}

/// A row of a cell's run under the z sort: its z and its place in the run.
struct ZKey {
    double z;
    uint64_t at;
};

/// The z-sort keys of one thread of the cell sweep; nothing to merge.
struct SortKeys {
    std::vector<ZKey> keys;
    void merge(const SortKeys &) {}
};

/// Sorts the run of cell c by ascending z, NaN z last, into the columns. The keys enter
/// the sort in input order, as the counting sort is stable.
void fill_cell(CellOrdered &data, bool weighted, const Row *rows, std::vector<ZKey> &keys, uint64_t c) {
    const uint64_t begin = data.grid.cell_start[c], end = data.grid.cell_start[c + 1];
    keys.clear();
    for (uint64_t k = begin; k < end; ++k) keys.push_back({rows[k].z, k});
    // A plain `<` is no strict weak order with NaN, and std::sort may then run outside
    // the range. The order among equal z changes no count.
    std::sort(keys.begin(), keys.end(), [](const ZKey &a, const ZKey &b) {
        return a.z < b.z || (a.z == a.z && b.z != b.z);
    });

    CellColumns &cols = data.cols;
    CellBounds b{INFINITY, -INFINITY, INFINITY, -INFINITY};
    for (uint64_t k = begin; k < end; ++k) {
        const Row &r = rows[keys[k - begin].at];
        const double x = r.x, y = r.y;
        cols.xs[k] = x;
        cols.ys[k] = y;
        cols.zs[k] = r.z;
        cols.pids[k] = r.pid;
        cols.orig_index[k] = r.index;
        if (weighted) cols.ws[k] = r.w;
        b = {std::min(b.x_lo, x), std::max(b.x_hi, x), std::min(b.y_lo, y), std::max(b.y_hi, y)};
    }
    if (!data.bounds.empty()) data.bounds[c] = b;
}

}  // namespace

CellList CellList::for_box(double box_size, double cell_size_xy, double cell_size_z) {
    CellList grid;
    grid.cells_xy = cells_along(box_size, cell_size_xy);
    grid.cells_z = cells_along(box_size, cell_size_z);
    grid.width_xy = box_size / static_cast<double>(grid.cells_xy);
    grid.width_z = box_size / static_cast<double>(grid.cells_z);
    return grid;
}

CellList CellList::for_pairs(double box_size, double r_xy, double w, uint64_t n_rows) {
    CellList grid;
    grid.reach_xy = 0;
    grid.bounded = true;
    if (!(std::isfinite(box_size) && box_size > 0.0 && r_xy > 0.0 && w > 0.0 &&
          std::isfinite(r_xy) && std::isfinite(w)))
        return grid;

    // A pair whose cells lie further apart than the stencil reaches must be out of
    // range even after rounding: the cell of a position and the sums of the pair test
    // err by a few units in the last place of the box, far below this margin.
    const double margin = box_size * 1e-12;
    auto cells_for = [&](double reach, uint64_t most) {
        uint64_t n = std::min(trunc_sat(box_size / reach), most);
        while (n > 0 && box_size / static_cast<double>(n) < reach + margin) --n;
        return n;
    };
    grid.cells_z = cells_for(w, MAX_CELLS);
    if (grid.cells_z < MIN_CELLS) return grid;

    const double rows = static_cast<double>(std::max<uint64_t>(n_rows, 1));
    int reach = least_cost_reach(box_size, r_xy, w, rows);

    // Cells cost memory and a visit each: at most about two per galaxy.
    const uint64_t most_cells = std::clamp<uint64_t>(2 * n_rows, 1 << 12, uint64_t{1} << 26);
    const uint64_t most_xy = static_cast<uint64_t>(
        std::sqrt(static_cast<double>(most_cells / grid.cells_z)));
    for (; reach >= 1; --reach) {
        const uint64_t n = cells_for(r_xy / reach, most_xy);
        // A capped grid may not need the whole reach: the fewest offsets that cover r_xy.
        if (n >= static_cast<uint64_t>(2 * reach + 1) &&
            (reach == 1 || (reach - 1) * (box_size / static_cast<double>(n)) < r_xy + margin)) {
            grid.cells_xy = n;
            grid.reach_xy = reach;
            break;
        }
    }
    grid.width_xy = box_size / static_cast<double>(grid.cells_xy);
    grid.width_z = box_size / static_cast<double>(grid.cells_z);
    return grid;
}

std::vector<Offset> half_stencil(int reach) {
    std::vector<Offset> offsets;
    for (int z = 0; z <= 1; ++z)
        for (int y = z == 0 ? 0 : -reach; y <= reach; ++y)
            for (int x = z == 0 && y == 0 ? 1 : -reach; x <= reach; ++x) offsets.push_back({x, y, z});
    return offsets;
}

bool all_inside_box(const StridedMatrix &coords, double box_size) {
    const uint64_t n = static_cast<uint64_t>(coords.rows);
    const uint64_t chunks = std::max<uint64_t>(1, std::min<uint64_t>(4 * pool_size(), n / MIN_CHUNK_ROWS));
    std::vector<char> inside(chunks, 1);
    parallel_for(chunks, [&](uint64_t k) {
        bool ok = true;
        const uint64_t end = chunk_begin(k + 1, n, chunks);
        for (uint64_t i = chunk_begin(k, n, chunks); i < end; ++i) {
            const int64_t r = static_cast<int64_t>(i);
            for (int64_t a = 0; a < 3; ++a) {
                const double v = coords(r, a);
                ok = ok && v >= 0.0 && v < box_size;
            }
        }
        inside[k] = ok;
    });
    return std::all_of(inside.begin(), inside.end(), [](char ok) { return ok != 0; });
}

void mark_owner(CellOrdered &co, const OwnerSlab &slab) {
    CellColumns &cols = co.cols;
    cols.owned_xs.resize(cols.xs.size());
    co.cell_owns.assign(co.grid.n_cells(), 0);
    for_each_cell_block(co.grid, [&](uint64_t c) {
        for (uint64_t k = co.grid.cell_start[c]; k < co.grid.cell_start[c + 1]; ++k) {
            const bool own = slab.owns(cols.xs[k]);
            cols.owned_xs[k] = own ? cols.xs[k] : INFINITY;
            co.cell_owns[c] |= own;
        }
    });
}

void find_clumps(CellOrdered &co, double extent) {
    const uint64_t n_cells = co.grid.n_cells();
    const uint64_t blocks = cell_blocks(n_cells);
    CellClumps &out = co.clumps;
    out.first.assign(n_cells + 1, 0);
    out.clumps.clear();
    // Each block of cells finds its clumps apart, first[c + 1] counting within the block;
    // then the blocks' clumps are laid end to end in cell order, as one pass would.
    std::vector<std::vector<Clump>> found(blocks);
    parallel_for(blocks, [&](uint64_t b) {
        const uint64_t end = chunk_begin(b + 1, n_cells, blocks);
        for (uint64_t c = chunk_begin(b, n_cells, blocks); c < end; ++c) {
            append_clumps(co, c, extent, found[b]);
            out.first[c + 1] = found[b].size();
        }
    });
    std::vector<uint64_t> block_first(blocks + 1, 0);
    for (uint64_t b = 0; b < blocks; ++b) block_first[b + 1] = block_first[b] + found[b].size();
    if (block_first[blocks] == 0) {
        out.first.clear();
        return;
    }
    out.clumps.resize(block_first[blocks]);
    parallel_for(blocks, [&](uint64_t b) {
        std::copy(found[b].begin(), found[b].end(), out.clumps.begin() + static_cast<std::ptrdiff_t>(block_first[b]));
        std::vector<Clump>().swap(found[b]);
        const uint64_t end = chunk_begin(b + 1, n_cells, blocks);
        for (uint64_t c = chunk_begin(b, n_cells, blocks); c < end; ++c) out.first[c + 1] += block_first[b];
    });
}

namespace {

/// The grid of a pair count whose partners number `partner_rows`: the fine grid when
/// every catalogue lies inside the box and the box fits it, else the coarse one. A
/// slab's galaxies fill only its part of the box: the cells are sized for the density
/// there, as they would be for the whole box at that density.
CellList pair_grid(std::initializer_list<const StridedMatrix *> catalogues, uint64_t partner_rows,
                   double box_size, double r_xy, double w, const OwnerSlab *owner) {
    bool inside = true;
    for (const StridedMatrix *coords : catalogues) inside = inside && all_inside_box(*coords, box_size);
    if (inside) {
        uint64_t rows = partner_rows;
        if (owner) {
            const double filled = std::min(box_size, (owner->x_hi - owner->x_lo) + r_xy);
            if (filled > 0.0) rows = trunc_sat(static_cast<double>(rows) * (box_size / filled));
        }
        CellList fine = CellList::for_pairs(box_size, r_xy, w, rows);
        if (fine.reach_xy > 0) return fine;
    }
    return CellList::for_box(box_size, r_xy, w);
}

}  // namespace

CellList pair_count_grid(const StridedMatrix &coords, double box_size, double r_xy, double w,
                         const OwnerSlab *owner) {
    return pair_grid({&coords}, static_cast<uint64_t>(coords.rows), box_size, r_xy, w, owner);
}

CellOrdered prepare_pair_cells(const StridedMatrix &coords, const PartitionIds &ids,
                               double box_size, double r_xy, double w, const OwnerSlab *owner) {
    CellOrdered co = prepare_cell_ordered(coords, ids, box_size,
                                          pair_count_grid(coords, box_size, r_xy, w, owner));
    if (owner) mark_owner(co, *owner);
    return co;
}

void fill_regions(CellOrdered &co, const PartitionIds &labels) {
    CellColumns &cols = co.cols;
    cols.regions.resize(cols.orig_index.size());
    const CellList &grid = co.grid;
    co.cell_regions.assign(grid.n_cells(), -1);
    for_each_cell_block(grid, [&](uint64_t c) {
        const uint64_t b = grid.cell_start[c], e = grid.cell_start[c + 1];
        for (uint64_t k = b; k < e; ++k) cols.regions[k] = labels[static_cast<int64_t>(cols.orig_index[k])];
        if (b == e) return;
        const int32_t first = cols.regions[b];
        bool one = true;
        for (uint64_t k = b + 1; k < e && one; ++k) one = cols.regions[k] == first;
        co.cell_regions[c] = one ? first : -1;
    });
}

PairCells prepare_pair_cells(const PairQuery &query, double box_size, double r_xy, double w) {
    const bool weighted = query.weighted();
    PairCells cells;
    cells.cross = query.cross;
    if (!query.cross) {
        const Catalogue &cat = query.first;
        CellList grid = pair_grid({&cat.coords}, static_cast<uint64_t>(cat.coords.rows), box_size, r_xy, w,
                                  query.owner);
        cells.own = prepare_cell_ordered(cat.coords, cat.ids, box_size, std::move(grid),
                                         weighted ? &cat.weights : nullptr);
    } else {
        const bool swap = query.first.coords.rows > query.second.coords.rows;
        const Catalogue &own = swap ? query.second : query.first;
        const Catalogue &partners = swap ? query.first : query.second;
        const CellList grid = pair_grid({&own.coords, &partners.coords},
                                        static_cast<uint64_t>(partners.coords.rows), box_size, r_xy, w,
                                        query.owner);
        cells.own = prepare_cell_ordered(own.coords, own.ids, box_size, grid,
                                         weighted ? &own.weights : nullptr);
        cells.partners = prepare_cell_ordered(partners.coords, partners.ids, box_size, grid,
                                              weighted ? &partners.weights : nullptr);
    }
    if (query.regioned()) {
        const bool swap = query.cross && query.first.coords.rows > query.second.coords.rows;
        fill_regions(cells.own, swap ? query.second.regions : query.first.regions);
        if (query.cross) fill_regions(cells.partners, swap ? query.first.regions : query.second.regions);
    }
    if (query.owner) {
        mark_owner(cells.own, *query.owner);
        if (query.cross) mark_owner(cells.partners, *query.owner);
    }
    return cells;
}

uint64_t pair_grid_columns(double box_size, double r_xy, double w, uint64_t n_rows) {
    const CellList fine = CellList::for_pairs(box_size, r_xy, w, n_rows);
    return fine.reach_xy > 0 ? fine.cells_xy : CellList::for_box(box_size, r_xy, w).cells_xy;
}

CellOrdered prepare_cell_ordered(const StridedMatrix &coords, const PartitionIds &ids,
                                 double box_size, double cell_size_xy, double cell_size_z) {
    return prepare_cell_ordered(coords, ids, box_size,
                                CellList::for_box(box_size, cell_size_xy, cell_size_z));
}

CellOrdered prepare_cell_ordered(const StridedMatrix &coords, const PartitionIds &ids,
                                 double box_size, CellList grid_in,
                                 const StridedVector<double> *weights) {
    CellOrdered data;
    data.grid = std::move(grid_in);
    data.box_size = box_size;
    data.half_box = box_size * 0.5;
    data.stencil = half_stencil(data.grid.reach_xy);
    CellList &grid = data.grid;

    const uint64_t n = static_cast<uint64_t>(coords.rows);
    const uint64_t n_cells = grid.n_cells();  // below 2^32: a cell id fits 32 bits
    if (grid.bounded) data.bounds.resize(n_cells);
    const uint64_t chunks = sort_chunks(n, n_cells);

    // Allocated (not zeroed) before any pass: a catalogue too large for memory fails at once.
    Scratch<Row> rows = scratch_buffer<Row>(n);

    // Each chunk of rows counts its rows per cell.
    Scratch<uint32_t> cell_of_row = scratch_buffer<uint32_t>(n);
    std::vector<uint64_t> slot(chunks * n_cells, 0);  // counts, then next write places
    parallel_for(chunks, [&](uint64_t k) {
        uint64_t *count = slot.data() + k * n_cells;
        const uint64_t end = chunk_begin(k + 1, n, chunks);
        for (uint64_t i = chunk_begin(k, n, chunks); i < end; ++i) {
            const int64_t r = static_cast<int64_t>(i);
            const CellCoord c = grid.cell_of(coords(r, 0), coords(r, 1), coords(r, 2));
            const uint64_t id = grid.cell_id(c.ix, c.iy, c.iz);
            cell_of_row[i] = static_cast<uint32_t>(id);
            ++count[id];
        }
    });

    // Cell by cell, the chunks in row order: where each chunk writes its first row of
    // the cell. Chunk k's rows of a cell then follow those of chunks 0 .. k-1.
    grid.cell_start.assign(n_cells + 1, 0);
    uint64_t next = 0;
    for (uint64_t c = 0; c < n_cells; ++c) {
        grid.cell_start[c] = next;
        for (uint64_t k = 0; k < chunks; ++k) {
            uint64_t &s = slot[k * n_cells + c];
            const uint64_t count = s;
            s = next;
            next += count;
        }
    }
    grid.cell_start[n_cells] = next;

    // Stable scatter: each chunk writes its rows in ascending order.
    parallel_for(chunks, [&](uint64_t k) {
        uint64_t *cursor = slot.data() + k * n_cells;
        const uint64_t end = chunk_begin(k + 1, n, chunks);
        for (uint64_t i = chunk_begin(k, n, chunks); i < end; ++i) {
            const int64_t r = static_cast<int64_t>(i);
            const double w = weights && weights->size > 0 ? (*weights)[r] : 1.0;
            rows[cursor[cell_of_row[i]]++] = {coords(r, 0), coords(r, 1), coords(r, 2), w, i, ids[r]};
        }
    });
    cell_of_row.reset();
    std::vector<uint64_t>().swap(slot);

    // The columns are zeroed as they are sized: one each on the pool.
    CellColumns &cols = data.cols;
    parallel_for(weights ? 6 : 5, [&](uint64_t k) {
        switch (k) {
            case 0: resize_on_huge_pages(cols.xs, n); break;
            case 1: resize_on_huge_pages(cols.ys, n); break;
            case 2: resize_on_huge_pages(cols.zs, n); break;
            case 3: resize_on_huge_pages(cols.pids, n); break;
            case 4: resize_on_huge_pages(cols.orig_index, n); break;
            default: resize_on_huge_pages(cols.ws, n); break;
        }
    });

    // Each cell's z sort and its stretch of the columns touch that cell's run alone.
    parallel_for<SortKeys>(
        n_cells, [] { return SortKeys{}; },
        [&](SortKeys &s, uint64_t c) { fill_cell(data, weights != nullptr, rows.get(), s.keys, c); });
    return data;
}

}  // namespace quor
