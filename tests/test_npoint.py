import json
import os
import subprocess
import sys

import numpy as np
import pytest

import _quor
from reference import group_counts, radial_counts, random_catalogue, table_bin

count = _quor.count_npoint

# (box, r_max): groups measured at the cell shift, with member differences folded
# (r_max above a quarter of the box), and with 3 cells narrower than r_max, where every
# displacement is folded to the minimum image (r_max above a third, and above half).
REGIMES = [(100.0, 12.0), (100.0, 30.0), (100.0, 40.0), (100.0, 70.0)]
REGIME_IDS = ["nowrap", "wrap", "above-third", "above-half"]


def catalogue_for(box, r_max, seed, quantum=None):
    # About a dozen neighbours within r_max each: enough groups, brute force stays cheap.
    n = int(min(1500, max(40, 12 * box**3 / (4.19 * r_max**3))))
    return random_catalogue(n, box, 4, seed=seed, quantum=quantum)


@pytest.mark.parametrize("box, r_max", REGIMES + [(100.0, 0.5), (10.0, 4.9)],
                         ids=REGIME_IDS + ["128-cells", "small-box"])
@pytest.mark.parametrize("quantum", [None, 0.25], ids=["uniform", "grid"])
def test_pairs_equal_radial_counts(box, r_max, quantum):
    n = 2000 if r_max < 1 else 400
    coords, ids = random_catalogue(n, box, 3, seed=11, quantum=quantum)
    r_bins = np.linspace(0.0, r_max, 7)
    by_s, total = count(coords, ids, r_bins, box, 2)
    expected = np.stack(radial_counts(coords, ids, r_bins, box))
    assert np.any(expected > 0)
    np.testing.assert_array_equal(by_s, expected)
    np.testing.assert_array_equal(by_s, np.stack(_quor.count_pairs_1d(coords, ids, r_bins, box)))
    np.testing.assert_array_equal(total, expected[0] + expected[1])


@pytest.mark.parametrize("box, r_max", REGIMES, ids=REGIME_IDS)
@pytest.mark.parametrize("n_order", [3, 4])
@pytest.mark.parametrize("quantum, first", [(None, 0.0), (0.5, 0.0), (None, 0.3)],
                         ids=["uniform", "grid", "first-edge-positive"])
def test_groups_match_brute_force(box, r_max, n_order, quantum, first):
    coords, ids = catalogue_for(box, r_max, seed=n_order, quantum=quantum)
    r_bins = np.concatenate([[first], np.linspace(r_max / 3, r_max, 5)])
    by_s, total = count(coords, ids, r_bins, box, n_order)
    exp_by_s, exp_total = group_counts(coords, ids, r_bins, box, n_order)
    assert np.any(exp_by_s[1:] > 0)
    np.testing.assert_array_equal(by_s, exp_by_s)
    np.testing.assert_array_equal(total, exp_total)


@pytest.mark.parametrize("n_order", [2, 4])
def test_gpu_name_runs_the_same_count(n_order):
    coords, ids = random_catalogue(400, 50.0, 3, seed=5)
    r_bins = np.linspace(0.0, 6.0, 5)
    for a, b in zip(count(coords, ids, r_bins, 50.0, n_order),
                    _quor.count_npoint_gpu(coords, ids, r_bins, 50.0, n_order)):
        np.testing.assert_array_equal(a, b)


def test_count_does_not_depend_on_the_worker_count():
    child = ("import json, numpy as np, _quor, sys;"
             f"sys.path.insert(0, {os.path.dirname(os.path.abspath(__file__))!r});"
             "from reference import random_catalogue;"
             "c, p = random_catalogue(3000, 60.0, 5, seed=9);"
             "r = np.linspace(0.0, 5.0, 6);"
             "print(json.dumps([_quor.count_npoint(c, p, r, 60.0, k)[0].tolist() for k in (2, 3, 4)]))")
    env = dict(os.environ, RAYON_NUM_THREADS="1")
    out = subprocess.run([sys.executable, "-c", child], env=env, capture_output=True, text=True,
                         check=True)
    coords, ids = random_catalogue(3000, 60.0, 5, seed=9)
    r_bins = np.linspace(0.0, 5.0, 6)
    for k, single in zip((2, 3, 4), json.loads(out.stdout)):
        np.testing.assert_array_equal(count(coords, ids, r_bins, 60.0, k)[0], single)


@pytest.mark.parametrize("first, expected_bin", [(0.0, 0), (0.5, None)])
def test_single_galaxies_count_in_the_bin_of_zero(first, expected_bin):
    coords, ids = random_catalogue(250, 20.0, 7, seed=3)
    r_bins = np.array([first, 1.0, 2.0])
    by_s, total = count(coords, ids, r_bins, 20.0, 1)
    expected = np.zeros((1, 2))
    if expected_bin is not None:
        expected[0, expected_bin] = 250
    np.testing.assert_array_equal(by_s, expected)
    np.testing.assert_array_equal(total, expected[0])


def cluster(n, centre=(50.0, 50.0, 50.0), spread=0.5, seed=0):
    rng = np.random.default_rng(seed)
    return np.asarray(centre) + rng.uniform(-spread, spread, size=(n, 3))


@pytest.mark.parametrize("ids, row", [
    (np.arange(10), 7),             # ten partitions: s capped at 8
    (np.arange(10) % 3, 2),
    (np.full(10, -4), 0),
], ids=["ten", "three", "one"])
def test_partitions_capped_at_eight(ids, row):
    by_s, total = count(cluster(10), ids.astype(np.int32), np.array([0.0, 5.0]), 100.0, 10)
    expected = np.zeros((10, 1))
    expected[row, 0] = 1
    np.testing.assert_array_equal(by_s, expected)
    np.testing.assert_array_equal(total, [1])


@pytest.mark.parametrize("n_order, groups", [(150, 1), (149, 150), (148, 150 * 149 // 2)])
def test_deep_groups(n_order, groups):
    # Groups as large as the neighbourhood: the enumeration goes n_order - 1 levels deep.
    ids = (np.arange(150) % 5).astype(np.int32)
    by_s, total = count(cluster(150, spread=1.0), ids, np.array([0.0, 10.0]), 100.0, n_order)
    assert by_s.shape == (n_order, 1)
    assert by_s[4, 0] == groups and total[0] == groups
    assert np.count_nonzero(by_s) == 1


def test_groups_are_quantised_pairs_exact():
    # Largest separation just above the edge 1.0: above by less than one table step
    # (r2_max / 4095), so a triplet lands in the lower bin while the pair is exact.
    r_bins = np.array([0.0, 1.0, 4.0])
    coords = np.array([[10.0, 10.0, 10.0], [10.0, 10.0, 11.0001], [10.0, 10.0, 10.5]])
    ids = np.zeros(3, dtype=np.int32)
    assert table_bin(r_bins, (11.0001 - 10.0) ** 2) == 0
    pairs, _ = count(coords, ids, r_bins, 100.0, 2)
    triplets, _ = count(coords, ids, r_bins, 100.0, 3)
    np.testing.assert_array_equal(pairs, [[2, 1], [0, 0]])
    np.testing.assert_array_equal(triplets, [[1, 0], [0, 0], [0, 0]])


def top_entry_triplet():
    """A triplet on the z axis and an r_max whose square lies just above the triplet's
    largest squared separation m, with m * (4095 / r_max**2) rounding up to 4095.
    That takes m high in its binary range and 4095 / r_max**2 rounded up: searched."""
    for top in np.linspace(1.949, 1.9995, 2000):
        coords = np.array([[5.0, 5.0, 5.0], [5.0, 5.0, 5.0 + top / 2], [5.0, 5.0, 5.0 + top]])
        dz = coords[2, 2] - coords[0, 2]
        m = dz * dz
        r_max = np.sqrt(m)
        while r_max * r_max <= m:
            r_max = np.nextafter(r_max, np.inf)
        if int(m * (4095.0 / (r_max * r_max))) >= 4095:
            return coords, r_max
    raise AssertionError("no triplet reaches the top table entry")


@pytest.mark.parametrize("n_order", [3, 4])
def test_top_table_entry_counts_in_the_last_bin(n_order):
    coords, r_max = top_entry_triplet()
    if n_order == 4:  # a fourth member at the middle of the triplet
        coords = np.vstack([coords, coords[1] + [0.0, 0.01, 0.0]])
    r_bins = np.array([0.0, 1.0, r_max])
    by_s, total = count(coords, np.zeros(len(coords), dtype=np.int32), r_bins, 100.0, n_order)
    np.testing.assert_array_equal(total, [0, 1])
    assert by_s[0, 1] == 1


@pytest.mark.parametrize("n_order, rows", [(2, 2), (3, 3), (12, 12)])
@pytest.mark.parametrize("n", [0, 1])
def test_nothing_to_count(n_order, rows, n):
    coords, ids = random_catalogue(n, 10.0, 2, seed=1)
    by_s, total = count(coords, ids, np.array([0.0, 1.0, 2.0]), 10.0, n_order)
    np.testing.assert_array_equal(by_s, np.zeros((rows, 2)))
    np.testing.assert_array_equal(total, [0, 0])
    by_s, total = count(coords, ids, np.array([2.0]), 10.0, n_order)
    assert by_s.shape == (rows, 0) and total.shape == (0,)


def test_n_order_zero():
    coords, ids = random_catalogue(5, 10.0, 2, seed=1)
    with pytest.raises(ValueError, match="n_order"):
        count(coords, ids, np.array([0.0, 1.0]), 10.0, 0)
    by_s, total = count(coords[:0], ids[:0], np.array([0.0, 1.0]), 10.0, 0)
    assert by_s.shape == (0, 1) and total.tolist() == [0]


# AddressSanitizer aborts on an allocation it cannot serve instead of failing it.
beyond_sanitizer = pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                                      reason="AddressSanitizer aborts on impossible allocations")


@pytest.mark.parametrize("call", [
    "_quor.count_npoint(c, p, r, 10.0, 2**62)",
    pytest.param("_quor.count_npoint(c, p, r, 10.0, 2**45)", marks=beyond_sanitizer),
    "_quor.count_npoint_gpu(c[:0], p[:0], r, 10.0, 2**62)",
    "_quor.count_npoint3_shape(c, p, r, 2**62, 10.0)",
    pytest.param("_quor.count_npoint3_shape(c, p, r, 2**45, 10.0)", marks=beyond_sanitizer),
])
def test_sizes_beyond_memory_are_refused(call):
    child = ("import numpy as np, _quor\n"
             "c = np.random.default_rng(0).uniform(0, 10, (50, 3)); p = np.zeros(50, np.int32)\n"
             "r = np.linspace(0.0, 2.0, 11)\n"
             f"try:\n    {call}\nexcept (MemoryError, OverflowError) as e:\n    print(type(e).__name__)\n")
    out = subprocess.run([sys.executable, "-c", child], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() in ("MemoryError", "OverflowError")


def rounding_sensitive_triplet():
    """A triplet whose member-to-member squared separation rounds higher summed z, y, x
    than summed x, y, z, and an r_max whose square is exactly the higher value."""
    rng = np.random.default_rng(1)
    anchor = np.array([10.0, 10.0, 10.0])
    for _ in range(5000):
        p, q = anchor + rng.uniform(-0.5, 0.5, size=(2, 3))
        e = (q - anchor) - (p - anchor)
        zyx = (e[1] * e[1] + e[2] * e[2]) + e[0] * e[0]
        xyz = (e[0] * e[0] + e[1] * e[1]) + e[2] * e[2]
        r_max = np.sqrt(zyx)
        anchor_sides = max(np.sum((p - anchor) ** 2), np.sum((q - anchor) ** 2))
        if zyx > xyz and r_max * r_max == zyx and anchor_sides < xyz:
            return np.array([anchor, p, q]), r_max
    raise AssertionError("no rounding-sensitive triplet found")


def test_triplet_separation_is_summed_z_y_x():
    # The member pair sits exactly at r_max when summed z, y, x (not counted), just
    # inside it when summed x, y, z: the order of the partial sums decides.
    coords, r_max = rounding_sensitive_triplet()
    ids = np.zeros(3, dtype=np.int32)
    at = np.array([0.0, r_max])
    above = np.array([0.0, np.nextafter(r_max, np.inf)])
    assert count(coords, ids, at, 100.0, 3)[1].tolist() == [0]
    assert count(coords, ids, above, 100.0, 3)[1].tolist() == [1]
    assert _quor.count_npoint3_shape(coords, ids, at, 4, 100.0)[1].sum() == 0


@pytest.mark.parametrize("n_order", [2, 3, 4])
@pytest.mark.parametrize("axis", [0, 2], ids=["nan-x", "nan-z"])
def test_nan_positions_change_no_other_group(n_order, axis):
    # A NaN coordinate puts a galaxy in the first cell of its axis, sorted last there;
    # it joins no group and must not hide the galaxies around it.
    coords, ids = random_catalogue(3000, 60.0, 3, seed=4)
    r_bins = np.linspace(0.0, 5.0, 4)
    with_nan = np.vstack([coords, coords[:40]])
    with_nan[-40:, axis] = np.nan
    ids_nan = np.concatenate([ids, ids[:40]])
    expected = count(coords, ids, r_bins, 60.0, n_order)
    got = count(with_nan, ids_nan, r_bins, 60.0, n_order)
    assert np.any(expected[0] > 0)
    np.testing.assert_array_equal(got[0], expected[0])
