"""Pairs and groups just inside the largest separation: every counter finds them.

The counters cut neighbour cells to a z window and, for wide separations, fold the
plain coordinate difference into the minimum image. Both must agree to the last bit
with the displacement the pair test measures, so that the counters agree with each
other and with the brute force on catalogues whose separations sit on the edges.
"""
import numpy as np
import pytest

import _quor
from reference import group_counts, projected_counts, radial_counts, shape_counts


def grid_catalogue(box, per_axis, n, seed):
    """`n` distinct points of a cubic grid of `per_axis` points a side, spacing box / per_axis,
    computed as (box / per_axis) * k so that many separations are whole spacings."""
    rng = np.random.default_rng(seed)
    cells = rng.choice(per_axis ** 3, size=min(n, per_axis ** 3), replace=False)
    k = np.stack(np.unravel_index(cells, (per_axis,) * 3), axis=1).astype(np.float64)
    ids = rng.integers(0, 4, size=len(k)).astype(np.int32)
    return (box / per_axis) * k, ids


def grid_column(box, seed, per_axis=64, width=8):
    """Every point of a width x width column of the grid of spacing box / per_axis, running
    along z through the whole box and placed anywhere across it (wrapping): pairs at whole
    spacings along the line of sight, in every cell and across every z face."""
    k = np.stack(np.meshgrid(np.arange(width), np.arange(width), np.arange(per_axis), indexing="ij"),
                 axis=-1).reshape(-1, 3).astype(np.float64)
    rng = np.random.default_rng(seed)
    k[:, :2] = (k[:, :2] + rng.integers(0, per_axis, 2)) % per_axis
    return (box / per_axis) * k, rng.integers(0, 4, size=len(k)).astype(np.int32)


# Spacings that are not powers of two, so edges at whole spacings are rounded values.
# r_max of 4 or 7 spacings cuts neighbours to a z window; 20 and 24 spacings (above
# box / 4) fold every component of the plain difference.
BOXES = [37.3, 1000.0 / 3.0]
SPACINGS = [4, 7, 20, 24]


@pytest.mark.parametrize("box", BOXES)
@pytest.mark.parametrize("spacings", SPACINGS)
def test_radial_counters_agree_on_grids(box, spacings):
    coords, ids = grid_column(box, seed=spacings)
    r_max = (box / 64) * spacings
    r_bins = np.array([0.0, r_max / 2, r_max])
    expected = radial_counts(coords, ids, r_bins, box)
    np.testing.assert_array_equal(_quor.count_pairs_1d(coords, ids, r_bins, box), expected)
    np.testing.assert_array_equal(_quor.count_npoint(coords, ids, r_bins, box, 2)[0], np.stack(expected))
    # With mu_max above 1 every pair of positive s has a mu bin: summed over mu, the
    # (s, mu) counts are the radial ones (grid points are distinct, so no s is 0).
    smu = _quor.count_pairs_smu(coords, ids, r_bins, 3, 1.5, box)
    np.testing.assert_array_equal([h.sum(axis=1) for h in smu], expected)


@pytest.mark.parametrize("box", BOXES)
@pytest.mark.parametrize("spacings", SPACINGS)
def test_projected_counts_on_grids(box, spacings):
    coords, ids = grid_column(box, seed=spacings + 1)
    r_p_bins = np.array([0.0, (box / 64) * 3])
    # A pi_max of whole spacings, and one above box / 2 (one pi bin holding every pair),
    # whose counts are those of r_p alone. One brute force with both edges gives each:
    # its first pi bin, and its two bins summed.
    pi_max = [(box / 64) * spacings, box * 0.75]
    both = projected_counts(coords, ids, r_p_bins, np.array([0.0, *pi_max]), box)
    for pi_bins, expected in [([0.0, pi_max[0]], [h[:, :1] for h in both]),
                              ([0.0, pi_max[1]], [h.sum(axis=1, keepdims=True) for h in both])]:
        got = _quor.count_pairs_2d(coords, ids, r_p_bins, np.array(pi_bins), box)
        np.testing.assert_array_equal(got, expected)


@pytest.mark.parametrize("box, per_axis", [(37.3, 16), (1000.0 / 3.0, 16)], ids=["37.3/16", "1000/3/16"])
@pytest.mark.parametrize("spacings", [3, 5])
def test_group_counters_on_grids(box, per_axis, spacings):
    coords, ids = grid_catalogue(box, per_axis, 700, seed=spacings)
    r_bins = np.array([0.0, (box / per_axis) * spacings])
    for got, expected in [(_quor.count_npoint(coords, ids, r_bins, box, 3), group_counts(coords, ids, r_bins, box, 3)),
                          (_quor.count_npoint3_shape(coords, ids, r_bins, 2, box), shape_counts(coords, ids, r_bins, 2, box))]:
        assert expected[1].sum() > 0
        for g, e in zip(got, expected):
            np.testing.assert_array_equal(g, e)


ZEROS = np.zeros(3, np.int32)
# Partners whose computed |dz| lies a few ulps below the last edge, where a window
# bound computed apart from dz rounds the other way.
PAIR_JUST_INSIDE = np.array([[9.325, 20.98125, 8.159374999999999], [9.325, 20.98125, 36.134375]])
TRIPLET_JUST_INSIDE = np.array([[5.0, 5.0, np.nextafter(96.0, np.inf)], [5.0, 5.0, 1e-300],
                                [5.0, 5.0, 96.5]])
# Folding (x_j - x_i) + shift differs in the last bit from folding x_j - x_i.
PAIR_FOLDED = np.array([[0.08373876601125692, 0.29031621622228376, 0.0],
                        [0.2037387660112569, 0.29031621622228376, 0.0]])
FOLDED_EDGES = np.array([0.11794704888257965, 0.12])


@pytest.mark.parametrize("name, call, expected", [
    ("npoint pair", lambda: _quor.count_npoint(PAIR_JUST_INSIDE, ZEROS[:2], np.array([0.0, 9.325]), 37.3, 2)[1], [1]),
    ("2d pair", lambda: _quor.count_pairs_2d(PAIR_JUST_INSIDE, ZEROS[:2], np.array([0.0, 1.0]),
                                             np.array([0.0, 9.325]), 37.3)[0], [[1]]),
    ("smu pair", lambda: _quor.count_pairs_smu(PAIR_JUST_INSIDE, ZEROS[:2], np.array([0.0, 9.325]),
                                               1, 1.5, 37.3)[0], [[1]]),
    ("npoint triplet", lambda: _quor.count_npoint(TRIPLET_JUST_INSIDE, ZEROS, np.array([0.0, 32.0]), 128.0, 3)[1], [1]),
    ("shape triplet", lambda: _quor.count_npoint3_shape(TRIPLET_JUST_INSIDE, ZEROS, np.array([0.0, 32.0]),
                                                        1, 128.0)[1], [1]),
    ("smu folded", lambda: _quor.count_pairs_smu(PAIR_FOLDED, ZEROS[:2], FOLDED_EDGES, 2, 1.0, 0.3)[0], [[1, 0]]),
    ("1d folded", lambda: _quor.count_pairs_1d(PAIR_FOLDED, ZEROS[:2], FOLDED_EDGES, 0.3)[0], [1]),
], ids=lambda v: v if isinstance(v, str) else "")
def test_pairs_and_groups_just_inside_are_counted(name, call, expected):
    assert call().tolist() == expected


@pytest.mark.parametrize("last", [np.inf, 1e200, -np.inf])
@pytest.mark.parametrize("call", [
    lambda r: _quor.count_npoint(np.zeros((3, 3)), ZEROS, r, 10.0, 3),
    lambda r: _quor.count_npoint(np.zeros((3, 3)), ZEROS, r, 10.0, 1),
    lambda r: _quor.count_npoint_gpu(np.zeros((0, 3)), ZEROS[:0], r, 10.0, 4),
    lambda r: _quor.count_npoint3_shape(np.zeros((3, 3)), ZEROS, r, 2, 10.0),
], ids=["triplets", "singles", "gpu-empty", "shape"])
def test_group_counts_refuse_a_last_edge_without_a_finite_square(call, last):
    # The quantised bins are steps of the squared last edge, which then has no finite value.
    with pytest.raises(ValueError, match="r_bins"):
        call(np.array([0.0, 1.0, last]))


def test_pair_counts_keep_an_infinite_overflow_bin():
    coords = np.array([[0.0, 0.0, 0.0], [0.5, 0.0, 0.0], [4.0, 0.0, 0.0]])
    r_bins = np.array([0.0, 1.0, np.inf])
    assert _quor.count_pairs_1d(coords, ZEROS, r_bins, 10.0)[0].tolist() == [1, 2]
    assert _quor.count_npoint(coords, ZEROS, r_bins, 10.0, 2)[1].tolist() == [1, 2]


@pytest.mark.parametrize("name, call, message", [
    ("smu", lambda: _quor.count_pairs_smu(np.zeros((0, 3)), ZEROS[:0], np.array([1.0]), 2**60, 1.0, 1.0),
     "n_mu_bins is too large"),
    ("npoint", lambda: _quor.count_npoint(np.zeros((0, 3)), ZEROS[:0], np.array([1.0]), 1.0, 2**60),
     "n_order is too large"),
], ids=lambda v: v if isinstance(v, str) else "")
def test_empty_results_with_a_huge_dimension_are_refused(name, call, message):
    with pytest.raises(OverflowError, match=message):
        call()


def test_empty_shape_counts_take_any_ratio_count():
    by_s, total = _quor.count_npoint3_shape(np.zeros((0, 3)), ZEROS[:0], np.array([1.0]), 2**62, 1.0)
    assert by_s.shape == (3, 0) and total.shape == (0,)
