import numpy as np
import pytest

import _quor
from reference import find_bin, find_bin_bisect, projected_counts, random_catalogue

count = _quor.count_pairs_2d


def check(coords, ids, r_p_bins, pi_bins, box, bin_of=find_bin):
    got = count(coords, ids, np.asarray(r_p_bins, float), np.asarray(pi_bins, float), box)
    expected = projected_counts(coords, ids, r_p_bins, pi_bins, box, bin_of=bin_of)
    assert np.any(expected[0] > 0) and np.any(expected[1] > 0)
    np.testing.assert_array_equal(got, expected)


# Box 100: r_p_max 20 with pi_max 40 folds every component (50 < 80); with pi_max 25
# (50 is not below 50) it cuts neighbours to a z window instead. The third grid is
# strongly anisotropic (20 x 20 x 4 cells), the fourth has 3 cells along x and y.
@pytest.mark.parametrize("box, r_p_max, pi_max", [
    (100.0, 20.0, 40.0),
    (100.0, 20.0, 25.0),
    (100.0, 5.0, 24.0),
    (100.0, 30.0, 6.0),
], ids=["wrap", "window", "anisotropic", "wide-rp"])
@pytest.mark.parametrize("first", [0.0, 1.5], ids=["first0", "firstpos"])
@pytest.mark.parametrize("n_partitions", [3, 300], ids=["few", "many"])
def test_matches_brute_force(box, r_p_max, pi_max, first, n_partitions):
    coords, ids = random_catalogue(2000, box, n_partitions, seed=int(box + r_p_max + pi_max))
    r_p_bins = np.geomspace(max(first, 0.2), r_p_max, 9)
    r_p_bins[0] = first
    pi_bins = np.linspace(first, pi_max, 11)
    check(coords, ids, r_p_bins, pi_bins, box)


NARROW_RP = np.concatenate([np.linspace(0.0, 0.2, 21), [3.0]])
NARROW_PI = np.concatenate([np.linspace(0.0, 0.05, 11), [0.5, 2.0]])


@pytest.mark.parametrize("n, box, quantum, r_p_bins, pi_bins, bin_of", [
    # A coarse position grid puts many r_p and |dz| exactly on edges, and many
    # galaxies of one cell at equal z: z window, folding, 3 cells per axis.
    (1200, 40.0, 0.5, [0, 0.5, 1, 2, 4], [0, 1, 2.5, 4], find_bin),
    (1200, 20.0, 0.25, [0.25, 1, 1.5, 3], [0.5, 2, 6], find_bin),
    (1200, 12.0, 1.0, [0, 1, 2, 3, 4, 5], [0, 1, 2, 5], find_bin),
    # Many narrow bins at small separations beside one wide last bin.
    (2000, 10.0, None, NARROW_RP, NARROW_PI, find_bin),
    # Edges out of order are binned as the binary search leaves them; so are ascending
    # edges below 0. A NaN last edge rejects nothing by itself (rp2 >= NaN is false).
    (1500, 100.0, None, [0, 3, 1, 2, 5], [0, 4, 2, 2, 8], find_bin_bisect),
    (1500, 30.0, None, [0, 3, 1, 2, 5], [0, 4, 2, 2, 8], find_bin_bisect),
    (1500, 100.0, None, [0, 1, 2, 5], [-1, 0.5, 2, 8], find_bin_bisect),
    (800, 30.0, None, [0, 2, 5, np.nan], [0, 4, 8], find_bin_bisect),
], ids=["grid-window", "grid-wrap", "grid-3cells", "narrow", "unordered-window",
        "unordered-wrap", "negative", "nan-last"])
def test_special_edges(n, box, quantum, r_p_bins, pi_bins, bin_of):
    coords, ids = random_catalogue(n, box, 4, seed=11, quantum=quantum)
    check(coords, ids, r_p_bins, pi_bins, box, bin_of)


@pytest.mark.parametrize("p, q, ids, r_p_bins, pi_bins, auto, cross", [
    # r_p on an inner edge, on the last edge, below the first edge
    ((10, 10, 10), (11, 10, 10), (3, 3), [0, 1, 2], [0, 5], [[0], [1]], [[0], [0]]),
    ((10, 10, 10), (12, 10, 10), (3, 3), [0, 1, 2], [0, 5], [[0], [0]], [[0], [0]]),
    ((10, 10, 10), (10, 10.25, 10), (3, 3), [0.5, 1], [0, 5], [[0]], [[0]]),
    # |dz| on an inner edge, on the last edge, below the first edge
    ((10, 10, 10), (10, 10, 13), (3, 3), [0, 1], [0, 3, 6], [[0, 1]], [[0, 0]]),
    ((10, 10, 10), (10, 10, 16), (3, 3), [0, 1], [0, 3, 6], [[0, 0]], [[0, 0]]),
    ((10, 10, 10), (10.5, 10, 10.25), (3, 3), [0, 1], [0.5, 3], [[0]], [[0]]),
    # across the periodic boundary along x and along z, without and with folding
    ((0.5, 50, 50), (99.5, 50, 50), (3, 3), [0, 1, 2], [0, 5], [[0], [1]], [[0], [0]]),
    ((0.5, 50, 50), (99.5, 50, 50), (3, 3), [0, 1, 2, 30], [0, 5],
     [[0], [1], [0]], [[0], [0], [0]]),
    ((50, 50, 1), (50, 50, 98), (3, 3), [0, 1], [0, 3, 6], [[0, 1]], [[0, 0]]),
    ((50, 50, 1), (50, 50, 98), (3, 3), [0, 1], [0, 3, 30], [[0, 1]], [[0, 0]]),
    # exactly half a box apart along z is not folded
    ((50, 50, 0), (50, 50, 50), (3, 3), [0, 1], [0, 49, 51], [[0, 1]], [[0, 0]]),
    # two galaxies at one position: bin (0, 0) only when both first edges are 0
    ((5, 5, 5), (5, 5, 5), (1, 1), [0, 1], [0, 1], [[1]], [[0]]),
    ((5, 5, 5), (5, 5, 5), (1, 1), [0.5, 1], [0, 1], [[0]], [[0]]),
    ((5, 5, 5), (5, 5, 5), (1, 1), [0, 1], [0.5, 1], [[0]], [[0]]),
    # negative identifiers are ordinary values
    ((10, 10, 10), (10.5, 10, 10), (3, -3), [0, 1], [0, 1], [[0]], [[1]]),
])
def test_exact_pairs(p, q, ids, r_p_bins, pi_bins, auto, cross):
    coords, ids = np.array([p, q], float), np.array(ids, np.int32)
    got = count(coords, ids, np.array(r_p_bins, float), np.array(pi_bins, float), 100.0)
    np.testing.assert_array_equal(got, (auto, cross))


@pytest.mark.parametrize("n, r_p_bins, pi_bins, shape", [
    (0, [0, 1, 2], [0, 1, 2, 3], (2, 3)),
    (300, [5.0], [0, 1, 2], (0, 2)),
    (300, [0, 1, 2], [5.0], (2, 0)),
])
def test_empty_results(n, r_p_bins, pi_bins, shape):
    coords, ids = random_catalogue(n, 10.0, 2, seed=1)
    auto, cross = count(coords, ids, np.array(r_p_bins, float), np.array(pi_bins, float), 10.0)
    assert auto.shape == cross.shape == shape
    assert not auto.any() and not cross.any()


@pytest.mark.parametrize("pi_max", [25.0, 40.0], ids=["window", "wrap"])
def test_split_independent_of_partition_ids(pi_max):
    coords, ids = random_catalogue(800, 100.0, 6, seed=5)
    run = lambda ids: count(coords, ids, np.linspace(0, 20, 6), np.linspace(0, pi_max, 6), 100.0)
    auto, cross = run(ids)
    total = auto + cross
    assert total.sum() > 0
    np.testing.assert_array_equal(run(np.full(800, -7, np.int32)), (total, 0 * total))
    np.testing.assert_array_equal(run(np.arange(800, dtype=np.int32)), (0 * total, total))
    renamed = np.array([40, -1, 9, 2, 1000, 0], np.int32)[ids + 3]
    np.testing.assert_array_equal(run(renamed), (auto, cross))


@pytest.mark.parametrize("axis", [0, 2], ids=["x", "z"])
@pytest.mark.parametrize("pi_max", [25.0, 40.0], ids=["window", "wrap"])
def test_nan_position_never_counted(axis, pi_max):
    coords, ids = random_catalogue(1500, 100.0, 3, seed=9)
    run = lambda c, i: count(c, i, np.linspace(0, 20, 5), np.linspace(0, pi_max, 5), 100.0)
    expected = run(coords[3:], ids[3:])
    coords[:3, axis] = np.nan
    np.testing.assert_array_equal(run(coords, ids), expected)
