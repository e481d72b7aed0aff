"""Passes over the cells of a pair count that run on the pool a block of cells at a time:
finding the clumps of each cell (laid end to end in cell order after), marking the cells
of an owner-aware slab count, and labelling cells by region.

The catalogue here takes a grid of some 15000 cells, so several blocks whatever the
pool, with haloes (clumps) in every block, galaxies in nearly every cell, and one cell
far denser than the rest. Each count must equal the brute force, or the recount
without a region, at 1, 2 and 3 threads.
"""
import functools

import numpy as np
import pytest

import _quor
import quor
from quor import _kernels
from quor.distributed import _ghost_reach, _slab_edges, _split_chunk
from reference import near_pairs, radial_counts

BOX = 100.0
R_MAX = 4.0
R_BINS = np.array([0.0, 0.05, 0.3, 1.0, 2.5, R_MAX])
THREADS = [1, 2, 3]
# Fewest cells in a block of these passes: the grids here must hold several blocks.
BLOCK_CELLS = 1024


@functools.lru_cache(maxsize=None)
def haloes(n_haloes=420, members=8, n_uniform=30000, seed=5):
    """Haloes of `members` within 0.05 of a centre, each its own partition (clumps),
    a tenth of them sharing partition 0; one halo of 400 members, so that one cell holds
    far more pairs than any other; and uniform galaxies (partitions 0 to 3) enough that
    few cells are empty, the first and last cells of each block among them."""
    rng = np.random.default_rng(seed)
    centres = rng.uniform(0.0, BOX, size=(n_haloes, 3))
    xyz = np.repeat(centres, members, axis=0) + rng.uniform(-0.05, 0.05, size=(n_haloes * members, 3))
    ids = np.repeat(np.arange(n_haloes), members)
    ids[ids % 10 == 0] = 0
    big = rng.uniform(0.0, BOX, 3) + rng.uniform(-0.2, 0.2, size=(400, 3))
    xyz = np.mod(np.vstack([xyz, big, rng.uniform(0.0, BOX, size=(n_uniform, 3))]), BOX)
    xyz[xyz >= BOX] = 0.0
    ids = np.concatenate([ids, np.full(400, n_haloes), rng.integers(0, 4, n_uniform)]).astype(np.int32)
    return xyz, ids


def test_the_grids_hold_several_blocks():
    xyz, _ = haloes()
    reach, cells_xy, cells_z = _kernels._pair_grid(xyz, BOX, R_MAX, R_MAX)
    assert cells_xy * cells_xy * cells_z >= 4 * BLOCK_CELLS, (reach, cells_xy, cells_z)


def brute_force(keep=None):
    """The brute-force counts of the haloes, or of those rows that `keep` marks."""
    xyz, ids = haloes()
    if keep is not None:
        xyz, ids = xyz[keep], ids[keep]
    return radial_counts(xyz, ids, R_BINS, BOX, pairs=near_pairs(xyz, BOX, R_MAX))


@functools.lru_cache(maxsize=None)
def recounts(per_side):
    """The brute-force counts without each region's galaxies."""
    labels = region_labels(haloes()[0], per_side)
    return [brute_force(labels != k) for k in range(per_side**3)]


@pytest.mark.parametrize("threads", THREADS)
def test_clumps_of_every_block_count_exactly(threads):
    xyz, ids = haloes()
    expected = brute_force()
    assert expected[0].sum() > 0 and expected[1].sum() > 0
    got = quor.count_pairs_1d(xyz, ids, R_BINS, BOX, threads=threads)
    np.testing.assert_array_equal(got[0], expected[0])
    np.testing.assert_array_equal(got[1], expected[1])
    np.testing.assert_array_equal(_quor.count_pairs_1d(xyz, ids, R_BINS, BOX), expected)


@pytest.mark.parametrize("threads", THREADS)
@pytest.mark.parametrize("n_slabs", [3, 7])
def test_owner_aware_slabs_of_many_cells_add_up_to_the_box(n_slabs, threads):
    xyz, ids = haloes()
    faces = _slab_edges(n_slabs, BOX)
    pieces = _split_chunk(xyz, ids, BOX, faces, _ghost_reach(R_MAX, BOX))
    total = np.zeros((2, len(R_BINS) - 1))
    for s in range(n_slabs):
        c, i = pieces[s][0], pieces[s][1]
        got = _kernels.count_pairs_1d_slab(c, i, R_BINS, BOX, faces[s], faces[s + 1], threads=threads)
        total += np.array(got[:2])
    np.testing.assert_array_equal(total, brute_force())


def region_labels(xyz, per_side=3):
    cell = np.minimum(np.floor(xyz / (BOX / per_side)).astype(np.int64), per_side - 1)
    return ((cell[:, 0] * per_side + cell[:, 1]) * per_side + cell[:, 2]).astype(np.int32)


@pytest.mark.parametrize("threads", THREADS)
def test_regions_of_many_cells_match_recounts(threads):
    xyz, ids = haloes()
    labels = region_labels(xyz)
    res = _kernels.count_pairs_1d(xyz, ids, R_BINS, BOX, regions=labels, n_regions=27, threads=threads)
    auto, cross, auto_by_region, cross_by_region = res[2], res[3], res[10], res[11]
    for k, expected in enumerate(recounts(3)):
        np.testing.assert_array_equal(auto - auto_by_region[k], expected[0], err_msg=f"region {k}")
        np.testing.assert_array_equal(cross - cross_by_region[k], expected[1], err_msg=f"region {k}")
