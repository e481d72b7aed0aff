"""Owner-aware slab counts of quor._kernels: summed over slabs that tile the box, each
with its ghosts, they equal the count of the whole box, for every counter."""
import numpy as np
import pytest

import quor
from quor import _kernels
from quor.distributed import _aligned_faces, _ghost_reach, _slab_edges, _split_chunk

BOX = 60.0


def faces_catalogue(r_max, n=1500, seed=3):
    """Uniform galaxies, a dense clump on every face of 3, 4 and 7 even slabs, and
    galaxies exactly on the slab faces, on the ghost faces (a face plus r_max) and one
    ulp either side of both; the faces are those of even slabs and those quor.distributed
    puts on the cell boundaries of the pair counts (pi up to 1.2 r_max or r_max)."""
    rng = np.random.default_rng(seed)
    coords = [rng.uniform(0.0, BOX, size=(n, 3))]
    special = []
    slab_counts = (3, 4, 7)
    for n_slabs in slab_counts:
        for face in _slab_edges(n_slabs, BOX)[:-1]:
            clump = rng.normal(0.0, r_max / 4, size=(40, 3)) + [face, 30.0, 30.0]
            coords.append(clump % BOX)
    ghost = _ghost_reach(r_max, BOX)

    def all_faces(rows):
        faces = {f for k in slab_counts for f in _slab_edges(k, BOX)[:-1]}
        for w in (r_max, 1.2 * r_max):
            columns = _kernels.pair_grid_columns(rows, BOX, r_max, w)
            faces |= {f for k in slab_counts for f in _aligned_faces(k, BOX, ghost, columns)[:-1]}
        return faces

    # The grid depends on the number of rows, the face galaxies among them (9 a face):
    # faces are added until those of the final grid are among them.
    base = sum(c.shape[0] for c in coords)
    faces = all_faces(base)
    while not all_faces(base + 9 * len(faces)) <= faces:
        faces |= all_faces(base + 9 * len(faces))
    for face in sorted(faces):
        for x in (face, face + r_max, (face - r_max) % BOX):
            special += [x, np.nextafter(x, -np.inf) % BOX, np.nextafter(x, np.inf) % BOX]
    special = np.array(special)
    # Few y and z values, so the face galaxies pair among themselves and with the clumps.
    yz = rng.choice([29.0, 30.0, 30.0 + r_max / 2], size=(special.size, 2))
    coords.append(np.column_stack([special, yz]))
    xyz = np.concatenate(coords)
    xyz[xyz >= BOX] = 0.0
    ids = rng.integers(0, 30, size=xyz.shape[0]).astype(np.int32)
    return xyz, ids


def counters(r_max):
    r = np.linspace(0.0, r_max, 6)
    # (quor call, slab kernel name, the kernel's arguments between ids and x_lo)
    return {
        "pairs_1d": (lambda c, i: quor.count_pairs_1d(c, i, r, BOX), "count_pairs_1d_slab", (r, BOX)),
        "pairs_2d": (lambda c, i: quor.count_pairs_2d(c, i, r, r[:4] * 2, BOX), "count_pairs_2d_slab",
                     (r, r[:4] * 2, BOX)),
        "pairs_smu": (lambda c, i: quor.count_pairs_smu(c, i, r, 4, 1.0, BOX), "count_pairs_smu_slab",
                      (r, 4, 1.0, BOX)),
        "npoint1": (lambda c, i: quor.count_npoint(c, i, r, BOX, 1), "count_npoint_slab", (r, BOX, 1)),
        "npoint2": (lambda c, i: quor.count_npoint(c, i, r, BOX, 2), "count_npoint_slab", (r, BOX, 2)),
        "npoint3": (lambda c, i: quor.count_npoint(c, i, r, BOX, 3), "count_npoint_slab", (r, BOX, 3)),
        "npoint4": (lambda c, i: quor.count_npoint(c, i, r, BOX, 4), "count_npoint_slab", (r, BOX, 4)),
        "shape": (lambda c, i: quor.count_npoint3_shape(c, i, r, 3, BOX), "count_npoint3_shape_slab",
                  (r, 3, BOX)),
    }


def slab_sum(kernel, args, xyz, ids, n_slabs, r_max, n_chunks=3):
    faces = _slab_edges(n_slabs, BOX)
    cuts = np.linspace(0, xyz.shape[0], n_chunks + 1).astype(int)
    pieces = [_split_chunk(xyz[a:b], ids[a:b], BOX, faces, _ghost_reach(r_max, BOX))
              for a, b in zip(cuts, cuts[1:])]
    total = None
    for s in range(n_slabs):
        c = np.concatenate([p[s][0] for p in pieces])
        i = np.concatenate([p[s][1] for p in pieces])
        got = getattr(_kernels, kernel)(c, i, *args, faces[s], faces[s + 1], None)
        total = got if total is None else tuple(t + g for t, g in zip(total, got))
    return total


@pytest.mark.parametrize("n_slabs", [1, 3, 4, 7])
@pytest.mark.parametrize("name", list(counters(1.0)))
def test_slab_counts_add_up_to_the_box(name, n_slabs):
    r_max = 2.5
    xyz, ids = faces_catalogue(r_max)
    whole, kernel, args = counters(r_max)[name]
    expected = whole(xyz, ids)
    assert np.any(expected[0] > 0) and np.any(expected[1] > 0)
    got = slab_sum(kernel, args, xyz, ids, n_slabs, r_max)
    for g, e in zip(got, expected):
        np.testing.assert_array_equal(g, e)


@pytest.mark.parametrize("name", ["pairs_1d", "pairs_smu", "npoint3"])
def test_slabs_as_narrow_as_r_max(name):
    # 3 slabs of BOX / 3 with r_max just inside them: pairs wider than half the box's
    # half, counted by folding in one call, and ghosts that fill most of the next slab.
    r_max = BOX / 3 * (1 - 1e-9)
    xyz, ids = faces_catalogue(r_max, n=300)
    whole, kernel, args = counters(r_max)[name]
    expected = whole(xyz, ids)
    assert np.any(expected[1] > 0)
    for g, e in zip(slab_sum(kernel, args, xyz, ids, 3, r_max), expected):
        np.testing.assert_array_equal(g, e)


def test_only_pairs_with_an_owned_galaxy_count():
    # Three galaxies: a owned, b and c ghosts, all within r of each other: a-b and a-c
    # count, b-c does not; groups of three count (a is owned), once.
    xyz = np.array([[9.0, 5.0, 5.0], [10.5, 5.0, 5.0], [11.0, 5.2, 5.0]])
    ids = np.array([1, 2, 2], dtype=np.int32)
    r = np.array([0.0, 3.0])
    auto, cross = _kernels.count_pairs_1d_slab(xyz, ids, r, BOX, 0.0, 10.0, None)
    assert (auto[0], cross[0]) == (0.0, 2.0)
    _, total = _kernels.count_npoint_slab(xyz, ids, r, BOX, 3, 0.0, 10.0, None)
    assert total[0] == 1.0
    _, total = _kernels.count_npoint_slab(xyz, ids, r, BOX, 3, 0.0, 9.0, None)
    assert total[0] == 0.0  # every member a ghost


def split_reference(xyz, faces, ghost):
    """The rows of each slab and its ghosts, stated plainly in NumPy."""
    x, lower, n = xyz[:, 0], np.asarray(faces), len(faces) - 1
    slab = np.clip(np.searchsorted(lower, x, side="right") - 1, 0, n - 1)
    ghost_of = np.where((x - lower[slab]) < ghost, (slab - 1) % n, -1) if n > 1 else -1
    return [np.flatnonzero((slab == s) | (ghost_of == s)) for s in range(n)]


UNEVEN = [0.0, 5.0, 40.0, 40.0 + 1e-9, 41.0, BOX]


# 2.5 exactly: the catalogue has rows whose x lies exactly 2.5 above a face.
@pytest.mark.parametrize("ghost", [2.5, _ghost_reach(2.5, BOX)], ids=["exact", "reach"])
@pytest.mark.parametrize("layout", ["contiguous", "strided", "reversed", "empty"])
@pytest.mark.parametrize("faces", [_slab_edges(1, BOX), _slab_edges(3, BOX), _slab_edges(4, BOX),
                                   _slab_edges(7, BOX), UNEVEN], ids=["1", "3", "4", "7", "uneven"])
def test_split_keeps_each_slab_its_rows_and_ghosts_in_input_order(faces, layout, ghost):
    xyz, ids = faces_catalogue(2.5)
    # Rows on the uneven faces and one ulp either side, and at the ends of the box.
    edge = np.array(UNEVEN[1:-1] + [0.0, np.nextafter(BOX, 0.0)])
    extra = np.concatenate([edge, np.nextafter(edge, -np.inf), np.nextafter(edge, np.inf)])
    extra = extra[(extra >= 0.0) & (extra < BOX)]
    xyz = np.concatenate([xyz, np.column_stack([extra, extra, extra])])
    ids = np.arange(xyz.shape[0], dtype=np.int32)  # each row by its own id
    if layout == "strided":
        xyz = np.column_stack([xyz, np.ones((len(xyz), 2))])[:, :3]
        assert not xyz.flags.c_contiguous
    elif layout == "reversed":
        xyz, ids = xyz[::-1], ids[::-1]
    elif layout == "empty":
        xyz, ids = xyz[:0], ids[:0]
    pieces = _split_chunk(xyz, ids, BOX, faces, ghost)
    expected = split_reference(xyz, faces, ghost)
    assert len(pieces) == len(expected)
    for (p_xyz, p_ids), rows in zip(pieces, expected):
        assert p_xyz.dtype == np.float64 and p_ids.dtype == np.int32 and p_xyz.flags.c_contiguous
        np.testing.assert_array_equal(p_ids, ids[rows])
        np.testing.assert_array_equal(p_xyz, xyz[rows])


@pytest.mark.parametrize("n_slabs, box, ghost, columns, aligned", [
    (8, 1000.0, 50.0, 39, True),     # slabs of 5 and 4 cells
    (3, BOX, 2.5, 13, True),
    (7, BOX, 2.5, 7, True),          # a cell a slab
    (7, BOX, 2.5, 6, False),         # fewer cells than slabs
    (4, BOX, 14.0, 5, False),        # a slab of one cell, narrower than its ghosts
    (3, BOX, 2.5, 0, False),         # no grid: a group count
])
def test_aligned_faces_lie_on_cell_boundaries(n_slabs, box, ghost, columns, aligned):
    faces = _aligned_faces(n_slabs, box, ghost, columns)
    if not aligned:
        assert faces == _slab_edges(n_slabs, box)
        return
    assert faces[0] == 0.0 and faces[-1] == box and len(faces) == n_slabs + 1
    widths = np.diff(faces)
    assert widths.min() >= ghost
    cells = np.asarray(faces) * columns / box
    np.testing.assert_allclose(cells, np.round(cells), rtol=0, atol=1e-9)
    # As even as the cells allow.
    assert widths.max() - widths.min() <= box / columns * (1 + 1e-9)
