"""Pair counts on catalogues dense enough for cells narrower than the largest separation.

Every galaxy inside the box lets the pair counters use cells of r_max / reach across,
the reach 1 to 4 chosen from the density, skip neighbour cells and galaxies by the
bounds of their positions, and end each galaxy's z window early. None of that may
change a count: these catalogues put galaxies on the cell faces and one ulp either
side, on the bin edges, at 0 and just below the box side, and in clumps that straddle
the periodic corner. quor._kernels._pair_grid tells which grid a count takes, so that
each case states the reach it is about and fails when a change of sizing moves it.
"""
import functools

import numpy as np
import pytest

import _quor
from quor import _kernels
from quor.distributed import _ghost_reach, _slab_edges, _split_chunk
from reference import (min_image, near_pairs, projected_counts, projected_sums, radial_counts,
                       radial_sums, smu_counts, smu_sums)


def dense_catalogue(n, box, seed):
    """Positions on a grid of box/240, so that cell faces (box/3 ... box/12) and edges
    that are multiples of the grid step are hit exactly, plus a clump about the corner
    and galaxies at 0 and just below the box side."""
    rng = np.random.default_rng(seed)
    step = box / 240
    grid = np.floor(rng.uniform(0.0, box, size=(n - 300, 3)) / step) * step
    corner = np.mod(rng.normal(0.0, box / 100, size=(250, 3)), box)
    edges = rng.choice([0.0, np.nextafter(box, 0.0), box / 2], size=(50, 3))
    coords = np.vstack([grid, corner, edges])
    coords[coords >= box] = 0.0
    ids = rng.integers(-3, 3, size=len(coords)).astype(np.int32)
    return coords, ids


# (box, galaxies, largest separation across, along z): the densest cases take cells of
# half r_max across, the sparsest whole cells; r_max = box / 3.3 leaves 3 z cells.
# test_every_reach_counts_exactly below takes each reach on purpose.
CASES = [
    (30.0, 3500, 9.0, 9.0),
    (100.0, 2500, 25.0, 25.0),
    (100.0, 2500, 12.0, 12.0),
    (40.0, 2500, 10.0, 12.0),
    (40.0, 2500, 3.0, 12.0),
]


@pytest.mark.parametrize("box,n,r_xy,w", CASES)
def test_fine_grid_matches_brute_force(box, n, r_xy, w):
    coords, ids = dense_catalogue(n, box, seed=int(box + r_xy))
    assert _kernels._pair_grid(coords, box, r_xy, w)[0] >= 1  # the fine grid
    step = box / 240
    r_bins = np.concatenate([[0.0], np.arange(4, int(r_xy / step) + 1, 4) * step])
    near = near_pairs(coords, box, r_xy)
    np.testing.assert_array_equal(_quor.count_pairs_1d(coords, ids, r_bins, box),
                                  radial_counts(coords, ids, r_bins, box, pairs=near))
    pi_bins = np.linspace(0.0, w, 7)
    np.testing.assert_array_equal(
        _quor.count_pairs_2d(coords, ids, r_bins, pi_bins, box),
        projected_counts(coords, ids, r_bins, pi_bins, box, pairs=near_pairs(coords, box, np.hypot(r_xy, w))))
    s_bins = np.concatenate([[0.0], np.arange(4, int(w / step) + 1, 4) * step])
    near = near_pairs(coords, box, s_bins[-1])
    for mu_max in (0.5, 1.0):
        np.testing.assert_array_equal(_quor.count_pairs_smu(coords, ids, s_bins, 5, mu_max, box),
                                      smu_counts(coords, ids, s_bins, 5, mu_max, box, pairs=near))


def test_one_galaxy_outside_the_box_counts_as_before():
    """A galaxy outside [0, box) keeps the coarse cells; the rest of the catalogue must
    count exactly as it does on the fine ones."""
    box = 30.0
    coords, ids = dense_catalogue(2500, box, seed=7)
    r_bins = np.linspace(0.0, 9.0, 10)
    inside = _quor.count_pairs_1d(coords, ids, r_bins, box)
    far = np.vstack([coords, [[5 * box, 5 * box, 5 * box]]])
    outside = _quor.count_pairs_1d(far, np.append(ids, 0).astype(np.int32), r_bins, box)
    np.testing.assert_array_equal(outside, inside)


def halo_catalogue(n_haloes, box, seed, ids="halo"):
    """Haloes of 3 to 60 members a few grid steps across, on a grid of box/256 so that
    separations between members of different haloes fall exactly on bin edges; ids by
    halo, by halo with every fifth member given another id, or one id for all."""
    rng = np.random.default_rng(seed)
    step = box / 256
    sizes = rng.integers(3, 61, size=n_haloes)
    centres = rng.uniform(0.0, box, size=(n_haloes, 3))
    spread = rng.choice([0.0, 1.0, 4.0], size=n_haloes) * step
    coords = np.repeat(centres, sizes, axis=0) + rng.normal(size=(sizes.sum(), 3)) * np.repeat(spread, sizes)[:, None]
    coords = np.mod(np.floor(coords / step) * step, box)
    halo = np.repeat(np.arange(n_haloes, dtype=np.int32), sizes)
    if ids == "mixed":
        halo[::5] = -1
    elif ids == "one":
        halo[:] = 7
    return coords, halo


# Haloes well apart have every pair between them in one bin: the radial count meets them
# whole where it can, and pair by pair where an edge or r_max passes between them.
@pytest.mark.parametrize("ids", ["halo", "mixed", "one"])
@pytest.mark.parametrize("box,r_max", [(40.0, 10.0), (40.0, 4.0), (100.0, 30.0)])
def test_haloes_met_whole_match_brute_force(box, r_max, ids):
    coords, halo = halo_catalogue(60, box, seed=int(box + r_max), ids=ids)
    step = box / 256
    on_grid = np.concatenate([[0.0], np.arange(2, int(r_max / step) + 1, 6) * step])
    for r_bins in (on_grid, np.geomspace(step, r_max, 8), np.array([0.0, r_max])):
        np.testing.assert_array_equal(_quor.count_pairs_1d(coords, halo, r_bins, box),
                                      radial_counts(coords, halo, r_bins, box))


# ---------------------------------------------------------------------------------------
# Each reach on purpose: catalogues sized for cells of R_MAX / reach across, every pair
# counter and the owner-aware slabs of quor.distributed against the brute force.

GRID_BOX = 30.5
R_MAX = 10.0
# Galaxies for each reach (cells of R_MAX / reach across, 3 along z): a little over the
# fewest that take it. Up to BRUTE_FORCE_REACH the brute force checks the counts; the
# denser catalogues of the wider stencils have too many pairs for it, and the folded
# traversal checks them (folded_counts).
GALAXIES = {1: 600, 2: 4500, 3: 22000, 4: 62000}
BRUTE_FORCE_REACH = 2


def faces_catalogue(n, reach, r_xy, w, seed):
    """n galaxies in GRID_BOX whose pair count takes cells of r_xy / reach: a third on
    the faces of the cells (each coordinate on a face or one ulp either side of it, the
    faces at 0 and the box side included), the rest uniform; ids in -2 .. 2."""
    rng = np.random.default_rng(seed)
    got_reach, cells_xy, cells_z = _kernels._pair_grid(rng.uniform(0.0, GRID_BOX, (n, 3)),
                                                       GRID_BOX, r_xy, w)
    assert got_reach == reach, f"{n} galaxies now take reach {got_reach}, not {reach}: resize"

    def on_faces(cells, size):
        face = rng.integers(0, cells + 1, size) * (GRID_BOX / cells)
        nudge = rng.choice([-np.inf, 0.0, np.inf], size)
        x = np.where(nudge == 0.0, face, np.nextafter(face, nudge))
        return np.where((x < 0.0) | (x >= GRID_BOX), np.nextafter(GRID_BOX, 0.0) * (x > 0), x)

    k = n // 3
    faces = np.column_stack([on_faces(cells_xy, k), on_faces(cells_xy, k), on_faces(cells_z, k)])
    coords = np.vstack([faces, rng.uniform(0.0, GRID_BOX, (n - k, 3))])
    ids = rng.integers(-2, 3, size=n).astype(np.int32)
    assert _kernels._pair_grid(coords, GRID_BOX, r_xy, w) == (reach, cells_xy, cells_z)
    return coords, ids, GRID_BOX / cells_xy


def edges_on_faces(r_max, width):
    """Edges on multiples of the cell width, where separations between galaxies on the
    faces fall, and r_max."""
    steps = np.arange(1, int(r_max / width) + 1) * width
    return np.unique(np.concatenate([[0.0, width / 2], steps[steps < r_max], [r_max]]))


def folded_counts(coords, ids, edges, pi_edges):
    """The counts of the catalogue by the folded traversal, which other tests check against
    the brute force: one galaxy more, just outside the box, takes the coarse grid with
    every difference folded; its own pairs, brute-forced, come off again."""
    n = len(coords)
    more = np.vstack([coords, [[-0.5, -0.5, -0.5]]])
    more_ids = np.append(ids, np.int32(7))  # a partition of its own
    assert _kernels._pair_grid(more, GRID_BOX, R_MAX, R_MAX)[0] == 0
    its_pairs = (np.full(n, n), np.arange(n))

    def less_its_pairs(counts, brute_force):
        return tuple(c - b for c, b in zip(counts, brute_force))

    return {
        "1d": less_its_pairs(_quor.count_pairs_1d(more, more_ids, edges, GRID_BOX),
                             radial_counts(more, more_ids, edges, GRID_BOX, pairs=its_pairs)),
        "2d": less_its_pairs(_quor.count_pairs_2d(more, more_ids, edges, pi_edges, GRID_BOX),
                             projected_counts(more, more_ids, edges, pi_edges, GRID_BOX, pairs=its_pairs)),
        "smu": less_its_pairs(_quor.count_pairs_smu(more, more_ids, edges, 5, 0.7, GRID_BOX),
                              smu_counts(more, more_ids, edges, 5, 0.7, GRID_BOX, pairs=its_pairs)),
    }


def brute_force_counts(coords, ids, edges, pi_edges):
    """Each pair counter's brute force on the catalogue."""
    i, j = near_pairs(coords, GRID_BOX, np.hypot(R_MAX, R_MAX))
    expected = {"2d": projected_counts(coords, ids, edges, pi_edges, GRID_BOX, pairs=(i, j))}
    d = min_image(coords[j] - coords[i], GRID_BOX)
    radial = (d * d).sum(axis=1) <= (R_MAX * (1 + 1e-9)) ** 2  # a superset, as near_pairs
    near = i[radial], j[radial]
    expected["1d"] = radial_counts(coords, ids, edges, GRID_BOX, pairs=near)
    expected["smu"] = smu_counts(coords, ids, edges, 5, 0.7, GRID_BOX, pairs=near)
    return expected


@functools.lru_cache(maxsize=None)
def reach_case(reach):
    """The catalogue of a reach, its edges (r, then pi up to R_MAX: the projected count
    takes the same grid) and the counts each pair counter must give on it."""
    coords, ids, width = faces_catalogue(GALAXIES[reach], reach, R_MAX, R_MAX, seed=reach)
    edges = edges_on_faces(R_MAX, width)
    pi_edges = np.array([0.0, width, 2 * width, R_MAX]) if reach > 1 else np.array([0.0, 2.0, R_MAX])
    reference = brute_force_counts if reach <= BRUTE_FORCE_REACH else folded_counts
    expected = reference(coords, ids, edges, pi_edges)
    for e in expected.values():
        assert e[0].sum() > 0 and e[1].sum() > 0
    return coords, ids, edges, pi_edges, expected


COUNTERS = {  # the counter on (coords, ids, edges, pi_edges), and its reference counts
    "pairs_1d": (lambda c, i, e, p: _quor.count_pairs_1d(c, i, e, GRID_BOX), "1d"),
    "pairs_2d": (lambda c, i, e, p: _quor.count_pairs_2d(c, i, e, p, GRID_BOX), "2d"),
    "pairs_smu": (lambda c, i, e, p: _quor.count_pairs_smu(c, i, e, 5, 0.7, GRID_BOX), "smu"),
    "npoint2": (lambda c, i, e, p: tuple(_quor.count_npoint(c, i, e, GRID_BOX, 2)[0]), "1d"),
}


# count_npoint sorts pairs into whole cells whatever the density: it runs on the
# catalogues of the brute force for its arithmetic on the faces, not on the denser ones.
EVERY_REACH = [(name, reach) for name in COUNTERS for reach in (1, 2, 3, 4)
               if name != "npoint2" or reach <= BRUTE_FORCE_REACH]


@pytest.mark.parametrize("name, reach", EVERY_REACH, ids=[f"{n}-reach-{r}" for n, r in EVERY_REACH])
def test_every_reach_counts_exactly(name, reach):
    # The radial, projected and redshift-space counts take cells of R_MAX / reach (the
    # projected one with pi up to R_MAX too).
    coords, ids, edges, pi_edges, expected = reach_case(reach)
    count, oracle = COUNTERS[name]
    for g, e in zip(count(coords, ids, edges, pi_edges), expected[oracle]):
        np.testing.assert_array_equal(g, e)


@pytest.mark.parametrize("reach", [2, 3], ids=lambda r: f"reach-{r}")
@pytest.mark.parametrize("kernel, oracle", [
    ("count_pairs_1d_slab", "1d"), ("count_pairs_2d_slab", "2d"), ("count_pairs_smu_slab", "smu")],
    ids=["1d", "2d", "smu"])
def test_owner_aware_slabs_take_the_same_reach_and_count_exactly(kernel, oracle, reach):
    # Three slabs as narrow as the box allows (a little over R_MAX), each with its ghosts:
    # a slab's cells are sized for the density it holds, so each takes the reach of the
    # whole catalogue, and the slab counts add up to the brute force.
    coords, ids, edges, pi_edges, expected = reach_case(reach)
    args = {"1d": (edges, GRID_BOX), "2d": (edges, pi_edges, GRID_BOX),
            "smu": (edges, 5, 0.7, GRID_BOX)}[oracle]
    faces = _slab_edges(3, GRID_BOX)
    pieces = _split_chunk(coords, ids, GRID_BOX, faces, _ghost_reach(R_MAX, GRID_BOX))
    total = None
    for s, (c, i) in enumerate(pieces):
        assert _kernels._pair_grid(c, GRID_BOX, R_MAX, R_MAX, faces[s], faces[s + 1])[0] == reach
        got = getattr(_kernels, kernel)(c, i, *args, faces[s], faces[s + 1], None)
        total = got if total is None else tuple(t + g for t, g in zip(total, got))
    for g, e in zip(total, expected[oracle]):
        np.testing.assert_array_equal(g, e)


# ---------------------------------------------------------------------------------------
# Cross counts at every reach. A cross count sizes its cells for its partners (the larger
# catalogue), so a few own galaxies against partners of growing density take reach 1 to
# 4 in turn, at a cost the brute force affords even at reach 4. Both catalogues sit
# partly on the faces of the cells of every reach (multiples of GRID_BOX / 36 across,
# GRID_BOX / 3 along z) and one ulp either side, with weights of both signs over six
# decades; counts and the sums of w_i w_j and w_i w_j r match the brute force exactly,
# w_i w_j ln r within 1e-12.

CROSS_PARTNERS = {1: 1500, 2: 8000, 3: 30000, 4: 70000}  # partners that take each reach
CROSS_OWN = 30


def on_every_face(rng, n):
    """n positions in GRID_BOX: half with each coordinate on a cell face of any reach (or
    an ulp off it), the other half uniform."""
    k = n // 2
    steps = np.column_stack([rng.integers(0, 37, k) * (GRID_BOX / 36), rng.integers(0, 37, k) *
                             (GRID_BOX / 36), rng.integers(0, 4, k) * (GRID_BOX / 3)])
    x = np.where(rng.random((k, 3)) < 1 / 3, steps,
                 np.nextafter(steps, np.where(rng.random((k, 3)) < 0.5, -np.inf, np.inf)))
    x = np.where((x < 0.0) | (x >= GRID_BOX), np.nextafter(GRID_BOX, 0.0) * (x > 0), x)
    return np.vstack([x, rng.uniform(0.0, GRID_BOX, (n - k, 3))])


CROSS_COUNTERS = {  # the kernel's extra arguments and the brute force's
    "1d": (lambda e: (e, GRID_BOX), lambda e, **two: radial_sums(e, GRID_BOX, **two)),
    "2d": (lambda e: (e, e[::3], GRID_BOX), lambda e, **two: projected_sums(e, e[::3], GRID_BOX, **two)),
    "smu": (lambda e: (e, 4, 0.7, GRID_BOX), lambda e, **two: smu_sums(e, 4, 0.7, GRID_BOX, **two)),
}


@pytest.mark.parametrize("reach", [1, 2, 3, 4], ids=lambda r: f"reach-{r}")
@pytest.mark.parametrize("name", list(CROSS_COUNTERS))
def test_cross_counts_at_every_reach_match_brute_force(name, reach):
    rng = np.random.default_rng(100 + reach)
    own, partners = on_every_face(rng, CROSS_OWN), on_every_face(rng, CROSS_PARTNERS[reach])
    ids, ids2 = (rng.integers(-2, 3, len(c)).astype(np.int32) for c in (own, partners))
    w, w2 = (rng.normal(size=len(c)) * 10.0 ** rng.integers(-3, 4, len(c)) for c in (own, partners))
    edges = edges_on_faces(R_MAX, GRID_BOX / 36)
    kernel_args, brute_force = CROSS_COUNTERS[name]
    got = getattr(_kernels, f"count_pairs_{name}")(
        own, ids, *kernel_args(edges), coords2=partners, partition_ids2=ids2, weights=w,
        weights2=w2, separations=True)
    with np.errstate(all="ignore"):
        expected = brute_force(edges, coords=own, ids=ids, coords2=partners, ids2=ids2, weights=w,
                               weights2=w2)
    auto, cross, auto_pairs, cross_pairs, auto_r, cross_r, auto_log, cross_log = got
    assert auto_pairs.sum() > 0 and cross_pairs.sum() > 0
    for g, e in [((auto_pairs, cross_pairs), expected["pairs"]), ((auto, cross), expected["weights"]),
                 ((auto_r, cross_r), expected["r"])]:
        np.testing.assert_array_equal(np.stack(g), np.stack(e))
    g, e = np.stack((auto_log, cross_log)), np.stack(expected["log_r"])
    finite = np.isfinite(e)  # a pair at separation 0 makes its bin's log sum infinite
    np.testing.assert_array_equal(g[~finite], e[~finite])
    np.testing.assert_allclose(g[finite], e[finite], rtol=0, atol=1e-12 * np.abs(e[finite]).max())


def pairs_on_the_narrowed_window(box, r_max, n_anchors, seed):
    """Anchors, each with partners P across in x and y by h and along z by +-t, t the
    square root of r_max^2 - h^2, a few ulps either way, so that r straddles r_max; and
    fillers a little farther out in x and y than P (or the anchor), over the whole z
    range, so that P is the corner of its column's bounds nearest the anchor (and the
    anchor that of its own). Whichever of the two meets the other, its z window,
    narrowed to what h leaves of r_max, ends right there."""
    rng = np.random.default_rng(seed)
    points = []
    for _ in range(n_anchors):
        anchor = rng.uniform(0.2 * box, 0.8 * box, 3)
        phi, h = rng.uniform(0.0, 2 * np.pi), rng.uniform(0.5 * r_max, 0.95 * r_max)
        p_xy = anchor[:2] + h * np.array([np.cos(phi), np.sin(phi)])
        d_xy = p_xy - anchor[:2]
        t = np.sqrt(r_max * r_max - (d_xy[0] * d_xy[0] + d_xy[1] * d_xy[1]))
        points.append(anchor)
        for sign in (-1.0, 1.0):
            z = anchor[2] + sign * t
            for k in range(-3, 4):
                points.append([p_xy[0], p_xy[1], z + k * np.spacing(z)])
        outward = np.sign(d_xy)
        for centre, away in ((p_xy, outward), (anchor[:2], -outward)):
            shift = rng.uniform(0.0, 0.05 * r_max, (36, 2)) * away
            zs = anchor[2] + rng.uniform(-r_max, r_max, 36)
            points.extend(np.column_stack([centre + shift, zs]))
    coords = np.array(points)
    return coords, rng.integers(0, 2, len(coords)).astype(np.int32)


# Pairs at the end of a narrowed z window, dz = +t and -t, for each grid the density
# gives: few anchors take whole cells (reach 1), more take narrower ones.
@pytest.mark.parametrize("n_anchors", [20, 60])
@pytest.mark.parametrize("seed", [1, 2])
def test_narrowed_window_keeps_pairs_at_its_end(n_anchors, seed):
    box, r_max = 100.0, 12.0
    coords, ids = pairs_on_the_narrowed_window(box, r_max, n_anchors, seed)
    reach, cells_xy, _ = _kernels._pair_grid(coords, box, r_max, r_max)
    assert reach >= 1
    r_bins = np.array([0.0, 0.5 * r_max, r_max])
    near = near_pairs(coords, box, r_max)
    expected = radial_counts(coords, ids, r_bins, box, pairs=near)
    assert expected[0][-1] + expected[1][-1] > 0
    np.testing.assert_array_equal(_quor.count_pairs_1d(coords, ids, r_bins, box), expected)
    np.testing.assert_array_equal(_quor.count_pairs_smu(coords, ids, r_bins, 3, 1.0, box),
                                  smu_counts(coords, ids, r_bins, 3, 1.0, box, pairs=near))
