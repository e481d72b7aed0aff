"""Pair counts on catalogues dense enough for cells narrower than the largest separation.

Every galaxy inside the box lets the pair counters use cells a half or a third of r_max
across, skip neighbour cells and galaxies by the bounds of their positions, and end
each galaxy's z window early. None of that may change a count: these catalogues put
galaxies on the cell faces, on the bin edges, at 0 and just below the box side, and in
clumps that straddle the periodic corner.
"""
import numpy as np
import pytest

import _quor
from reference import projected_counts, radial_counts, smu_counts


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


# (box, galaxies, largest separation across, along z): the densest cases take cells of a
# third of r_max across, the sparsest whole cells; r_max = box / 3.3 leaves 3 z cells.
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
    step = box / 240
    r_bins = np.concatenate([[0.0], np.arange(4, int(r_xy / step) + 1, 4) * step])
    np.testing.assert_array_equal(_quor.count_pairs_1d(coords, ids, r_bins, box),
                                  radial_counts(coords, ids, r_bins, box))
    pi_bins = np.linspace(0.0, w, 7)
    np.testing.assert_array_equal(_quor.count_pairs_2d(coords, ids, r_bins, pi_bins, box),
                                  projected_counts(coords, ids, r_bins, pi_bins, box))
    s_bins = np.concatenate([[0.0], np.arange(4, int(w / step) + 1, 4) * step])
    for mu_max in (0.5, 1.0):
        np.testing.assert_array_equal(_quor.count_pairs_smu(coords, ids, s_bins, 5, mu_max, box),
                                      smu_counts(coords, ids, s_bins, 5, mu_max, box))


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
