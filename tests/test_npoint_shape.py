import numpy as np
import pytest

import _quor
from reference import random_catalogue, shape_counts

count = _quor.count_npoint3_shape

REGIMES = [(100.0, 12.0, 1500), (100.0, 30.0, 110), (100.0, 45.0, 45), (100.0, 70.0, 40)]
REGIME_IDS = ["nowrap", "wrap", "above-third", "above-half"]


@pytest.mark.parametrize("box, r_max, n", REGIMES, ids=REGIME_IDS)
@pytest.mark.parametrize("n_ratio", [1, 7])
@pytest.mark.parametrize("quantum", [None, 0.5], ids=["uniform", "grid"])
def test_matches_brute_force(box, r_max, n, n_ratio, quantum):
    coords, ids = random_catalogue(n, box, 3, seed=n_ratio + n, quantum=quantum)
    r_bins = np.array([0.0, r_max / 4, r_max / 2, r_max])
    t_by_s, t_total = count(coords, ids, r_bins, n_ratio, box)
    exp_by_s, exp_total = shape_counts(coords, ids, r_bins, n_ratio, box)
    assert np.count_nonzero(exp_total) > n_ratio  # several ratio bins occupied
    np.testing.assert_array_equal(t_by_s, exp_by_s)
    np.testing.assert_array_equal(t_total, exp_total)


@pytest.mark.parametrize("box, r_max, n", [(100.0, 12.0, 3000), (100.0, 30.0, 300), (100.0, 45.0, 120)],
                         ids=REGIME_IDS[:3])
@pytest.mark.parametrize("n_ratio", [1, 3, 10])
def test_ratio_axis_sums_to_triplet_counts(box, r_max, n, n_ratio):
    coords, ids = random_catalogue(n, box, 4, seed=n)
    r_bins = np.linspace(0.0, r_max, 6)
    t_by_s, t_total = count(coords, ids, r_bins, n_ratio, box)
    by_s, total = _quor.count_npoint(coords, ids, r_bins, box, 3)
    assert np.any(by_s > 0)
    np.testing.assert_array_equal(t_by_s.reshape(3, 5, n_ratio).sum(axis=2), by_s)
    np.testing.assert_array_equal(t_total.reshape(5, n_ratio).sum(axis=1), total)


@pytest.mark.parametrize("coords, ratio_bin", [
    ([[0, 0, 0], [1, 1, 0], [1, 0, 1]], 4),   # equilateral: ratio exactly 1, last bin
    ([[0, 0, 0], [0, 0, 0], [1, 1, 0]], 0),   # two members at one point
    ([[0, 0, 0], [0, 0, 0], [0, 0, 0]], 0),   # all at one point: 0 / 0
    ([[0, 0, 0], [0, 0, 1], [0, 0, 2]], 2),   # on a line: ratio 1/2, bin [0.4, 0.6)
], ids=["equilateral", "two-coincide", "all-coincide", "line"])
def test_ratio_bins(coords, ratio_bin):
    coords = np.asarray(coords, dtype=np.float64) + 10.0
    t_by_s, t_total = count(coords, np.array([1, 2, 2], dtype=np.int32), np.array([0.0, 3.0]), 5, 50.0)
    expected = np.zeros(5)
    expected[ratio_bin] = 1
    np.testing.assert_array_equal(t_by_s[1], expected)
    np.testing.assert_array_equal(t_total, expected)


def test_zero_ratio_bins_is_one():
    coords, ids = random_catalogue(600, 40.0, 3, seed=8)
    r_bins = np.linspace(0.0, 5.0, 4)
    zero = count(coords, ids, r_bins, 0, 40.0)
    one = count(coords, ids, r_bins, 1, 40.0)
    assert zero[0].shape == (3, 3) and zero[1].shape == (3,)
    assert np.any(one[0] > 0)
    for a, b, c in zip(zero, one, _quor.count_npoint(coords, ids, r_bins, 40.0, 3)):
        np.testing.assert_array_equal(a, b)
        np.testing.assert_array_equal(a, c)


@pytest.mark.parametrize("n_ratio, width", [(0, 1), (4, 4)])
def test_no_galaxies(n_ratio, width):
    t_by_s, t_total = count(np.zeros((0, 3)), np.zeros(0, dtype=np.int32), np.array([0.0, 1.0, 2.0]),
                            n_ratio, 10.0)
    np.testing.assert_array_equal(t_by_s, np.zeros((3, 2 * width)))
    np.testing.assert_array_equal(t_total, np.zeros(2 * width))
