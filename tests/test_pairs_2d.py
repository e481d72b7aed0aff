import numpy as np
import pytest

import _quor
from reference import find_bin_bisect, projected_counts, random_catalogue

count = _quor.count_pairs_2d


def check(coords, ids, r_p_bins, pi_bins, box, **how):
    auto, cross = count(coords, ids, np.asarray(r_p_bins, float), np.asarray(pi_bins, float), box)
    exp_auto, exp_cross = projected_counts(coords, ids, r_p_bins, pi_bins, box, **how)
    assert np.any(exp_auto > 0) and np.any(exp_cross > 0)
    np.testing.assert_array_equal(auto, exp_auto)
    np.testing.assert_array_equal(cross, exp_cross)


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


@pytest.mark.parametrize("box, quantum, r_p_bins, pi_bins", [
    (40.0, 0.5, [0.0, 0.5, 1.0, 2.0, 4.0], [0.0, 1.0, 2.5, 4.0]),        # window, many per cell
    (20.0, 0.25, [0.25, 1.0, 1.5, 3.0], [0.5, 2.0, 6.0]),                # wrap (pi_max > box / 4)
    (12.0, 1.0, [0.0, 1.0, 2.0, 3.0, 4.0, 5.0], [0.0, 1.0, 2.0, 5.0]),   # 3 cells per axis
])
def test_positions_on_edges(box, quantum, r_p_bins, pi_bins):
    # A coarse position grid puts many r_p and |dz| exactly on edges, and many
    # galaxies of one cell at equal z.
    coords, ids = random_catalogue(1200, box, 4, seed=11, quantum=quantum)
    check(coords, ids, r_p_bins, pi_bins, box)


def test_narrow_bins_beside_a_wide_one():
    # Many narrow bins at small separations next to one wide last bin, in r_p and in pi.
    coords, ids = random_catalogue(2000, 10.0, 3, seed=19)
    r_p_bins = np.concatenate([np.linspace(0.0, 0.2, 21), [3.0]])
    pi_bins = np.concatenate([np.linspace(0.0, 0.05, 11), [0.5, 2.0]])
    check(coords, ids, r_p_bins, pi_bins, 10.0)


# Edges that are not ascending are binned as the binary search leaves them; so are
# ascending edges below 0, which take the same plain search.
@pytest.mark.parametrize("r_p_bins, pi_bins", [
    ([0, 3, 1, 2, 5], [0, 4, 2, 2, 8]),
    ([0, 1, 2, 5], [-1, 0.5, 2, 8]),
], ids=["unordered", "negative"])
@pytest.mark.parametrize("box", [100.0, 30.0], ids=["window", "wrap"])
def test_edges_out_of_order(r_p_bins, pi_bins, box):
    coords, ids = random_catalogue(1500, box, 3, seed=17)
    check(coords, ids, r_p_bins, pi_bins, box, bin_of=find_bin_bisect)


def test_nan_last_edge_follows_the_comparisons():
    # rp2 >= NaN is false, so no pair is rejected at r_p_max; the binary search then
    # puts every pair beyond the last finite edge in the last bin.
    coords, ids = random_catalogue(800, 30.0, 3, seed=23)
    check(coords, ids, [0, 2, 5, np.nan], [0, 4, 8], 30.0, bin_of=find_bin_bisect)


def pair(p, q, ids=(3, 3)):
    return np.array([p, q], dtype=np.float64), np.array(ids, dtype=np.int32)


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
    ((0.5, 50, 50), (99.5, 50, 50), (3, 3), [0, 1, 2, 30], [0, 5], [[0], [1], [0]], [[0], [0], [0]]),
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
    ((10, 10, 10), (10.5, 10, 10), (-3, -3), [0, 1], [0, 1], [[1]], [[0]]),
])
def test_exact_pairs(p, q, ids, r_p_bins, pi_bins, auto, cross):
    coords, ids = pair(p, q, ids)
    got = count(coords, ids, np.array(r_p_bins, float), np.array(pi_bins, float), 100.0)
    np.testing.assert_array_equal(got[0], auto)
    np.testing.assert_array_equal(got[1], cross)


def test_equal_z_in_one_cell_counted_once():
    # Five galaxies of one cell at equal z, in an order the z sort may shuffle.
    coords = np.array([[1.0 + 0.5 * k, 2.0 - 0.25 * k, 7.0] for k in range(5)])
    ids = np.zeros(5, np.int32)
    auto, cross = count(coords, ids, np.array([0.0, 10.0]), np.array([0.0, 1.0]), 100.0)
    assert auto.tolist() == [[10.0]] and cross.tolist() == [[0.0]]


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


def test_extra_columns_and_identifiers_ignored():
    coords, ids = random_catalogue(400, 50.0, 5, seed=3)
    r_p_bins, pi_bins = np.linspace(0, 8, 5), np.linspace(0, 10, 6)
    wide = np.hstack([coords, np.full((400, 1), np.nan)])
    longer = np.concatenate([ids, np.arange(7, dtype=np.int32)])
    expected = count(coords, ids, r_p_bins, pi_bins, 50.0)
    got = count(wide, longer, r_p_bins, pi_bins, 50.0)
    np.testing.assert_array_equal(got[0], expected[0])
    np.testing.assert_array_equal(got[1], expected[1])


@pytest.mark.parametrize("pi_max", [25.0, 40.0], ids=["window", "wrap"])
def test_split_independent_of_partition_ids(pi_max):
    coords, ids = random_catalogue(800, 100.0, 6, seed=5)
    r_p_bins, pi_bins = np.linspace(0, 20, 6), np.linspace(0, pi_max, 6)
    auto, cross = count(coords, ids, r_p_bins, pi_bins, 100.0)
    total = auto + cross
    assert total.sum() > 0

    same, other = count(coords, np.full(800, -7, np.int32), r_p_bins, pi_bins, 100.0)
    np.testing.assert_array_equal(same, total)
    assert not other.any()

    other, distinct = count(coords, np.arange(800, dtype=np.int32), r_p_bins, pi_bins, 100.0)
    np.testing.assert_array_equal(distinct, total)
    assert not other.any()

    renamed = (np.array([40, -1, 9, 2, 1000, 0], np.int32))[ids + 3]
    got = count(coords, renamed, r_p_bins, pi_bins, 100.0)
    np.testing.assert_array_equal(got[0], auto)
    np.testing.assert_array_equal(got[1], cross)


@pytest.mark.parametrize("axis", [0, 2], ids=["x", "z"])
@pytest.mark.parametrize("pi_max", [25.0, 40.0], ids=["window", "wrap"])
def test_nan_position_never_counted(axis, pi_max):
    coords, ids = random_catalogue(600, 100.0, 3, seed=9)
    r_p_bins, pi_bins = np.linspace(0, 20, 5), np.linspace(0, pi_max, 5)
    expected = count(coords[3:], ids[3:], r_p_bins, pi_bins, 100.0)
    coords[:3, axis] = np.nan
    got = count(coords, ids, r_p_bins, pi_bins, 100.0)
    np.testing.assert_array_equal(got[0], expected[0])
    np.testing.assert_array_equal(got[1], expected[1])


@pytest.mark.parametrize("r_p_bins, pi_bins, name", [
    ([], [0, 1], "r_p_bins"),
    ([0, 1], [], "pi_bins"),
])
def test_empty_edge_array_rejected(r_p_bins, pi_bins, name):
    coords, ids = random_catalogue(10, 10.0, 2, seed=1)
    with pytest.raises(ValueError, match=name):
        count(coords, ids, np.array(r_p_bins, float), np.array(pi_bins, float), 10.0)
