import numpy as np
import pytest

import _quor
from reference import radial_counts, random_catalogue

count = _quor.count_pairs_1d


def bins(first, r_max, n=8):
    return np.linspace(first, r_max, n + 1)


@pytest.mark.parametrize("n", [2, 150, 1200, 3000])
@pytest.mark.parametrize(
    "box, r_max",
    [(100.0, 7.0), (100.0, 30.0), (250.0, 20.0), (10.0, 4.9)],
    ids=["small", "above-quarter", "wide", "clamped"],
)
@pytest.mark.parametrize("first", [0.0, 1.5], ids=["first0", "firstpos"])
@pytest.mark.parametrize("n_partitions", [2, 1000], ids=["few", "many"])
def test_matches_brute_force(n, box, r_max, first, n_partitions):
    coords, ids = random_catalogue(n, box, n_partitions, seed=n + int(box))
    r_bins = bins(first, r_max)
    auto, cross = count(coords, ids, r_bins, box)
    exp_auto, exp_cross = radial_counts(coords, ids, r_bins, box)
    if n > 100:
        assert np.any(exp_auto + exp_cross > 0)
    np.testing.assert_array_equal(auto, exp_auto)
    np.testing.assert_array_equal(cross, exp_cross)


@pytest.mark.parametrize("box, quantum, r_bins", [
    (64.0, 0.5, [0.0, 0.5, 1.0, 2.0, 4.0]),
    (20.0, 0.25, [0.25, 1.0, 1.5, 6.5, 7.0]),   # r_max above a quarter of the box
    (12.0, 1.0, [0.0, 1.0, 2.0, 3.0, 4.0, 5.0]),  # 3 cells: every pair examined once
])
def test_positions_on_edges(box, quantum, r_bins):
    # Positions on a coarse grid put many separations exactly on the edges.
    coords, ids = random_catalogue(800, box, 5, seed=7, quantum=quantum)
    auto, cross = count(coords, ids, np.array(r_bins), box)
    exp_auto, exp_cross = radial_counts(coords, ids, r_bins, box)
    assert np.any(exp_auto > 0)
    np.testing.assert_array_equal(auto, exp_auto)
    np.testing.assert_array_equal(cross, exp_cross)


def two(p, q, ids=(3, 3)):
    return np.array([p, q], dtype=np.float64), np.array(ids, dtype=np.int32)


@pytest.mark.parametrize("p, q, ids, r_bins, box, auto, cross", [
    ((10, 10, 10), (11, 10, 10), (3, 3), [0, 1, 2], 100, [0, 1], [0, 0]),   # on an inner edge
    ((10, 10, 10), (12, 10, 10), (3, 3), [0, 1, 2], 100, [0, 0], [0, 0]),   # on the last edge
    ((10, 10, 10), (10.5, 10, 10), (3, 3), [0, 1, 2], 100, [1, 0], [0, 0]),
    ((5, 5, 5), (5, 5, 5), (1, 1), [0, 1], 100, [1], [0]),                  # same position
    ((5, 5, 5), (5, 5, 5), (1, 1), [0.5, 1], 100, [0], [0]),
    ((1, 50, 50), (99, 50, 50), (3, 3), [0, 1, 3], 100, [0, 1], [0, 0]),    # across the boundary
    ((0, 0, 0), (50, 0, 0), (3, 3), [0, 49, 51], 100, [0, 1], [0, 0]),      # exactly half a box
    ((1, 1, 1), (6, 1, 1), (3, -3), [0, 4, 8], 10, [0, 0], [0, 1]),         # min image 5, 3 cells
])
def test_exact_values(p, q, ids, r_bins, box, auto, cross):
    coords, pid = two(p, q, ids)
    got = count(coords, pid, np.array(r_bins, dtype=np.float64), box)
    np.testing.assert_array_equal(got[0], auto)
    np.testing.assert_array_equal(got[1], cross)


@pytest.mark.parametrize("n", [0, 1])
def test_no_pairs(n):
    coords, ids = random_catalogue(n, 10.0, 2, seed=1)
    auto, cross = count(coords, ids, np.array([0.0, 1.0, 2.0]), 10.0)
    np.testing.assert_array_equal(auto, [0, 0])
    np.testing.assert_array_equal(cross, [0, 0])


def test_split_does_not_change_total():
    coords, ids = random_catalogue(1500, 100.0, 4, seed=3)
    r_bins = bins(0.0, 12.0)
    total = np.add(*count(coords, ids, r_bins, 100.0))
    same = count(coords, np.zeros_like(ids), r_bins, 100.0)
    apart = count(coords, np.arange(len(ids), dtype=np.int32), r_bins, 100.0)
    renamed = count(coords, (ids * 7 - 11).astype(np.int32), r_bins, 100.0)
    np.testing.assert_array_equal(same[0], total)
    np.testing.assert_array_equal(same[1], 0)
    np.testing.assert_array_equal(apart[1], total)
    np.testing.assert_array_equal(apart[0], 0)
    np.testing.assert_array_equal(np.add(*renamed), total)


@pytest.mark.parametrize("where", ["position", "box", "edge"])
def test_nan_is_never_counted_nor_out_of_range(where):
    coords, ids = random_catalogue(500, 50.0, 3, seed=11)
    r_bins = bins(0.0, 6.0)
    box = 50.0
    if where == "position":
        coords[::7, 1] = np.nan
        keep = np.ones(len(coords), dtype=bool)
        keep[::7] = False
        expected = radial_counts(coords[keep], ids[keep], r_bins, box)
    elif where == "box":
        # No fold can happen: all galaxies share one cell and pairs keep their plain
        # separations.
        box = np.nan
        expected = radial_counts(coords, ids, r_bins, np.inf)
    else:
        r_bins[-1] = np.nan
        expected = (np.zeros(8), np.zeros(8))
    auto, cross = count(coords, ids, r_bins, box)
    np.testing.assert_array_equal(auto, expected[0])
    np.testing.assert_array_equal(cross, expected[1])


def test_outside_box_and_odd_edges_stay_in_range():
    # Positions outside the box and descending edges are not rejected; every count
    # still lands inside the histogram.
    coords, ids = random_catalogue(400, 30.0, 3, seed=5)
    coords[:50] += 100.0
    coords[50:100] -= 60.0
    auto, cross = count(coords, ids, np.array([5.0, 3.0, 1.0, 4.0]), 30.0)
    assert auto.shape == cross.shape == (3,)
    assert np.all(np.isfinite(auto)) and np.all(auto >= 0)
