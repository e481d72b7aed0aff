import numpy as np
import pytest

import _quor
from reference import find_bin, find_bin_bisect, random_catalogue, smu_counts

count = _quor.count_pairs_smu


def check(coords, ids, s_bins, n_mu_bins, mu_max, box, bin_of=find_bin):
    got = count(coords, ids, np.asarray(s_bins, float), n_mu_bins, mu_max, box)
    expected = smu_counts(coords, ids, s_bins, n_mu_bins, mu_max, box, bin_of=bin_of)
    assert np.any(expected[0] > 0) and np.any(expected[1] > 0)
    np.testing.assert_array_equal(got, expected)


# Box 100: s_max 25 cuts neighbours to a z window (50 is not above 50), s_max 26
# folds every component; s_max 8 gives a finer grid of 12 cells per axis.
@pytest.mark.parametrize("s_max", [25.0, 26.0, 8.0], ids=["window", "wrap", "fine"])
@pytest.mark.parametrize("first", [0.0, 0.75], ids=["first0", "firstpos"])
@pytest.mark.parametrize("n_partitions", [3, 300], ids=["few", "many"])
@pytest.mark.parametrize("n_mu_bins, mu_max", [(10, 1.0), (7, 0.6), (5, 1.3)])
def test_matches_brute_force(s_max, first, n_partitions, n_mu_bins, mu_max):
    n = 2000 if s_max < 10 else 1500
    coords, ids = random_catalogue(n, 100.0, n_partitions, seed=int(4 * s_max) + n_mu_bins)
    s_bins = np.geomspace(max(first, 0.3), s_max, 9)
    s_bins[0] = first
    check(coords, ids, s_bins, n_mu_bins, mu_max, 100.0)


@pytest.mark.parametrize("n, box, quantum, s_bins, n_mu_bins, mu_max, bin_of", [
    # A coarse position grid puts many s exactly on edges and many mu exactly on bin
    # boundaries (0, 1 and ratios such as 3/5): z window, folding, 3 cells per axis.
    (1200, 40.0, 0.5, [0, 0.5, 1, 2, 3, 5], 10, 1.0, find_bin),
    (1200, 20.0, 0.25, [0.25, 1, 1.5, 5.5], 4, 1.0, find_bin),
    (1200, 12.0, 1.0, [0, 1, 2, 3, 5], 5, 1.25, find_bin),
    # Many narrow bins at small separations beside one wide last bin.
    (2000, 10.0, None, np.concatenate([np.linspace(0, 0.3, 31), [2.0]]), 4, 1.0, find_bin),
    # Edges out of order are binned as the binary search leaves them.
    (1500, 100.0, None, [0, 3, 1, 2, 2, 6], 6, 1.0, find_bin_bisect),
    (1500, 20.0, None, [0, 3, 1, 2, 2, 6], 6, 1.0, find_bin_bisect),
    (1500, 100.0, None, [-2, 1, 0.5, 4], 6, 1.0, find_bin_bisect),
], ids=["grid-window", "grid-wrap", "grid-3cells", "narrow", "unordered-window",
        "unordered-wrap", "negative"])
def test_special_edges(n, box, quantum, s_bins, n_mu_bins, mu_max, bin_of):
    coords, ids = random_catalogue(n, box, 4, seed=13, quantum=quantum)
    check(coords, ids, s_bins, n_mu_bins, mu_max, box, bin_of)


@pytest.mark.parametrize("q, mu_max, n_mu_bins, bin", [
    ((10, 10, 13), 1.0, 10, None),   # mu exactly 1 is not below mu_max 1
    ((10, 10, 13), 1.05, 10, 9),
    ((10, 10, 13), 1.2, 10, 8),
    ((13, 10, 10), 1.0, 10, 0),      # dz = 0: mu = 0
    ((14, 10, 13), 1.0, 10, 6),      # mu = 3 / 5, and (0.6 / 1) * 10 = 6
    ((13, 10, 14), 1.0, 10, 8),      # mu = 4 / 5
    ((13, 10, 14), 0.8, 4, None),    # mu = mu_max
    ((10, 10, 13), 0.0, 10, None),
    ((10, 10, 13), -1.0, 10, None),
    ((10, 10, 13), float("nan"), 10, None),
    ((10, 13, 14), 2.0, 1, 0),       # one mu bin holds everything below mu_max
])
def test_mu_bins(q, mu_max, n_mu_bins, bin):
    coords, ids = np.array([(10, 10, 10), q], float), np.array([3, 3], np.int32)
    expected = np.zeros((1, n_mu_bins))
    if bin is not None:
        expected[0, bin] = 1.0
    got = count(coords, ids, np.array([0.0, 10.0]), n_mu_bins, mu_max, 100.0)
    np.testing.assert_array_equal(got, (expected, 0 * expected))


@pytest.mark.parametrize("p, q, s_bins, s_bin", [
    ((10, 10, 10), (13, 14, 10), [0, 5, 10], 1),        # s on an inner edge
    ((10, 10, 10), (16, 18, 10), [0, 5, 10], None),     # s on the last edge
    ((10, 10, 10), (10.25, 10, 10), [0.5, 1], None),    # below the first edge
    ((5, 5, 5), (5, 5, 5), [0, 1], None),               # one position: s = 0, mu = 0 / 0
    ((0.5, 50, 50), (99.5, 50, 50), [0, 1, 2], 1),      # across the boundary
    ((0.5, 50, 50), (99.5, 50, 50), [0, 1, 2, 30], 1),  # the same, folded
])
def test_s_bins(p, q, s_bins, s_bin):
    coords, ids = np.array([p, q], float), np.array([1, 2], np.int32)
    expected = np.zeros((len(s_bins) - 1, 3))
    if s_bin is not None:
        expected[s_bin, 0] = 1.0  # all these pairs have dz = 0
    got = count(coords, ids, np.array(s_bins, float), 3, 1.0, 100.0)
    np.testing.assert_array_equal(got, (0 * expected, expected))


@pytest.mark.parametrize("n, s_bins, n_mu_bins, shape", [
    (0, [0, 1, 2], 4, (2, 4)),
    (300, [5.0], 4, (0, 4)),
    (300, [0, 2, 5], 0, (2, 0)),   # pairs pass the s test but have no mu bin to land in
])
def test_empty_results(n, s_bins, n_mu_bins, shape):
    coords, ids = random_catalogue(n, 10.0, 2, seed=1)
    auto, cross = count(coords, ids, np.array(s_bins, float), n_mu_bins, 1.0, 10.0)
    assert auto.shape == cross.shape == shape
    assert not auto.any() and not cross.any()


@pytest.mark.parametrize("s_max", [25.0, 26.0], ids=["window", "wrap"])
def test_split_independent_of_partition_ids(s_max):
    coords, ids = random_catalogue(800, 100.0, 6, seed=5)
    run = lambda ids: count(coords, ids, np.linspace(0, s_max, 6), 5, 1.0, 100.0)
    auto, cross = run(ids)
    total = auto + cross
    assert total.sum() > 0
    np.testing.assert_array_equal(run(np.full(800, 12, np.int32)), (total, 0 * total))
    np.testing.assert_array_equal(run(np.arange(800, dtype=np.int32)), (0 * total, total))
    renamed = np.array([40, -1, 9, 2, 1000, 0], np.int32)[ids + 3]
    np.testing.assert_array_equal(run(renamed), (auto, cross))


@pytest.mark.parametrize("axis", [0, 2], ids=["x", "z"])
@pytest.mark.parametrize("s_max", [25.0, 26.0], ids=["window", "wrap"])
def test_nan_position_never_counted(axis, s_max):
    coords, ids = random_catalogue(600, 100.0, 3, seed=9)
    run = lambda c, i: count(c, i, np.linspace(0, s_max, 5), 4, 1.0, 100.0)
    expected = run(coords[3:], ids[3:])
    coords[:3, axis] = np.nan
    np.testing.assert_array_equal(run(coords, ids), expected)


def pairs_on_the_mu_cut(s_max, mu_max, box, seed):
    """Anchors spread over the box (some by its faces), each with partners at s near s_max
    and |dz| a hair below, at and above mu_max * s: where a z window narrowed to mu_max
    must keep every pair the mu test keeps."""
    rng = np.random.default_rng(seed)
    rel = np.array([-1e-9, -1e-13, -2.0**-52, 0.0, 2.0**-52, 1e-13])
    s = s_max * np.array([1 - 1e-12, 1 - 1e-9, 0.7])
    points = []
    by_faces = np.array([[1e-3, 0.5, 1 - 1e-3], [0.999, 1e-4, 0.0], [0.5, 0.5, 0.9999]]) * box
    for anchor in np.concatenate([rng.uniform(0, box, (9, 3)), by_faces]):
        points.append(anchor)
        for sk in s:
            for r in rel:
                dz = mu_max * sk * (1 + r) * rng.choice([-1.0, 1.0])
                phi = rng.uniform(0, 2 * np.pi)
                across = np.sqrt(max(sk * sk - dz * dz, 0.0))
                points.append(anchor + [across * np.cos(phi), across * np.sin(phi), dz])
    coords = np.mod(np.array(points), box)
    return coords, rng.integers(0, 3, len(coords)).astype(np.int32)


# Pairs on the mu cut, with the neighbours cut to a z window (s_max 25), folded (26) and
# on a finer grid (8), and mu_max with and without an exact product mu_max * s_max.
@pytest.mark.parametrize("s_max", [25.0, 26.0, 8.0], ids=["window", "wrap", "fine"])
@pytest.mark.parametrize("mu_max", [0.5, 0.1, 1 / 3, 0.95, 1e-3])
def test_mu_cut_keeps_every_counted_pair(s_max, mu_max):
    coords, ids = pairs_on_the_mu_cut(s_max, mu_max, 100.0, seed=int(s_max))
    s_bins = np.array([0.0, 0.5 * s_max, s_max])
    got = count(coords, ids, s_bins, 4, mu_max, 100.0)
    expected = smu_counts(coords, ids, s_bins, 4, mu_max, 100.0)
    assert (expected[0] + expected[1])[:, -1].sum() > 0  # pairs in the last mu bin
    np.testing.assert_array_equal(got, expected)


def pairs_at_mu(mu_max, s_max, tiny, seed, n=300):
    """Anchors with partners at s up to s_max and mu = |dz| / s within a few ulps of
    mu_max either way: where the filter's mu cut, dz*dz against mu_max^2 s^2 with its
    margin, must keep every pair the mu test keeps. `tiny`: one anchor at the origin and
    separations near 1e-160, whose squares are subnormal."""
    rng = np.random.default_rng(seed)
    mu = mu_max * (1.0 + rng.integers(-6, 7, n) * 2.0**-52)
    s = s_max * rng.uniform(0.2, 0.999, n)
    if tiny:
        s *= 1e-160 / s_max
    dz = mu * s
    h = np.sqrt(s * s - dz * dz)
    phi = rng.uniform(0.0, 0.5 * np.pi, n)  # x, y and z all grow: no face crossed
    step = np.column_stack([h * np.cos(phi), h * np.sin(phi), dz])
    anchors = np.zeros((1, 3)) if tiny else rng.uniform(0.2 * 100.0, 0.6 * 100.0, (n, 3))
    partners = anchors + step
    coords = np.vstack([anchors, partners])
    return coords, rng.integers(0, 2, len(coords)).astype(np.int32)


@pytest.mark.parametrize("mu_max", [0.5, 0.3, 2**-0.5, 0.99, 1e-3])
@pytest.mark.parametrize("s_max, tiny", [(25.0, False), (8.0, False), (1e-160, True)],
                         ids=["window", "fine", "subnormal"])
def test_pairs_at_mu_max_count_exactly(mu_max, s_max, tiny):
    coords, ids = pairs_at_mu(mu_max, s_max if not tiny else 1.0, tiny, seed=int(mu_max * 1000))
    s_bins = np.array([0.0, 0.5, 1.0]) * s_max
    expected = smu_counts(coords, ids, s_bins, 4, mu_max, 100.0)
    assert (expected[0] + expected[1])[:, -1].sum() > 0  # pairs in the last mu bin
    np.testing.assert_array_equal(count(coords, ids, s_bins, 4, mu_max, 100.0), expected)
