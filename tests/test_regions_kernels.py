"""Counts by jackknife region in quor._kernels: beside each histogram, the same histogram
over the pairs with a galaxy in each region, counted in the same pass.

Each region's histogram must equal the full count minus a recount of the catalogue
without that region's galaxies: exactly for pair counts, and bit for bit for the sums
(the recount's difference taken exactly, from the exact parts of full-box slab counts).
"""
import os
import subprocess
import sys

import numpy as np
import pytest

from quor import _kernels
from quor.distributed import _ghost_reach, _slab_edges

BOX = 100.0
R_BINS = np.array([0.0, 2.5, 5.0, 7.5, 10.0])
PI_BINS = np.array([0.0, 4.0, 8.0])
S_BINS = np.array([0.5, 4.0, 10.0])


def catalogue(n, seed):
    """Galaxies on a grid of 1/8 (many separations exactly on an edge), two partitions."""
    rng = np.random.default_rng(seed)
    xyz = np.floor(rng.uniform(0.0, BOX, size=(n, 3)) * 8) / 8
    ids = rng.integers(0, 2, n).astype(np.int32)
    weights = rng.uniform(0.25, 4.0, n)
    return xyz, ids, weights


def labelled(n, n_regions, seed):
    """Labels in [0, n_regions) with region 0 holding one galaxy and region 1 none (for
    two regions or more)."""
    rng = np.random.default_rng(seed)
    labels = rng.integers(0, n_regions, n).astype(np.int32)
    if n_regions >= 3:
        labels[labels <= 1] = 2
        labels[0] = 0
    return labels


def pairs_1d(fn, xyz, ids, **kw):
    return fn(xyz, ids, R_BINS, BOX, **kw)


def pairs_2d(fn, xyz, ids, **kw):
    return fn(xyz, ids, R_BINS, PI_BINS, BOX, **kw)


def pairs_smu(fn, xyz, ids, **kw):
    return fn(xyz, ids, S_BINS, 4, 1.0, BOX, **kw)


COUNTERS = {
    "1d": (pairs_1d, _kernels.count_pairs_1d, _kernels.count_pairs_1d_slab),
    "2d": (pairs_2d, _kernels.count_pairs_2d, _kernels.count_pairs_2d_slab),
    "smu": (pairs_smu, _kernels.count_pairs_smu, _kernels.count_pairs_smu_slab),
}


CASES = [
    # (name, rows, n_regions, cross, weighted, separations)
    ("pairs8", 600, 8, False, False, False),
    ("pairs125", 600, 125, False, False, False),
    ("one_region", 300, 1, False, False, False),
    ("small_regions", 300, 5, False, False, False),
    ("weighted_sep8", 400, 8, False, True, True),
    ("cross8", 300, 8, True, False, False),
    ("cross_weighted5", 300, 5, True, True, True),
]


def full_and_recounts(counter, case, threads):
    name, n, n_regions, cross, weighted, separations = case
    call, fn, slab_fn = COUNTERS[counter]
    xyz, ids, w = catalogue(n, seed=n + n_regions)
    labels = labelled(n, n_regions, seed=n_regions)
    kw = {"threads": threads, "regions": labels, "n_regions": n_regions, "separations": separations or None}
    second = None
    if weighted:
        kw["weights"] = w
    if cross:
        xyz2, ids2, w2 = catalogue(n // 2 + 7, seed=n_regions + 99)
        labels2 = labelled(len(xyz2), n_regions, seed=n_regions + 5)
        labels2[0] = 1  # region 1 holds only a galaxy of the second catalogue
        second = (xyz2, ids2, w2)
        kw.update(coords2=xyz2, partition_ids2=ids2, regions2=labels2)
        if weighted:
            kw["weights2"] = w2
    else:
        labels2 = None
    return call, fn, slab_fn, xyz, ids, w, labels, second, labels2, kw


def exact_difference(total_parts, part_parts):
    """total - part, each given as exact parts along the last axis, rounded once."""
    both = np.concatenate([total_parts, -part_parts], axis=-1)
    return _kernels.exact_sums(both.reshape(-1, both.shape[-1])).reshape(both.shape[:-1])


def full_box_parts(call, slab_fn, xyz, ids, kw):
    """A count's sums as exact parts: one slab that owns the whole box."""
    return call(lambda *a, **k: slab_fn(*a[:-1], a[-1], 0.0, BOX, **k), xyz, ids, **kw)


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("case", CASES, ids=[c[0] for c in CASES])
@pytest.mark.parametrize("counter", sorted(COUNTERS))
def test_region_histograms_are_the_full_count_minus_a_recount_without_the_region(counter, case, threads):
    call, fn, slab_fn, xyz, ids, w, labels, second, labels2, kw = full_and_recounts(counter, case, threads)
    weighted, separations = case[4], case[5]
    res = call(fn, xyz, ids, **kw)
    assert len(res) == 16
    n_regions = kw["n_regions"]
    for item in range(8):
        if res[item] is None:
            assert res[8 + item] is None
        else:
            assert res[8 + item].shape == (n_regions,) + res[item].shape
    sums = [0, 1] * weighted + [4, 5, 6, 7] * separations
    if sums:  # the full count's sums as exact parts, for exact differences
        plain = {k: v for k, v in kw.items() if k not in ("regions", "regions2", "n_regions", "threads")}
        total_parts = full_box_parts(call, slab_fn, xyz, ids, plain)
    for k in range(n_regions):
        keep = labels != k
        keep2 = None if labels2 is None else labels2 != k
        kw_k = {"separations": separations or None}
        if weighted:
            kw_k["weights"] = w[keep]
        if second is not None:
            xyz2, ids2, w2 = second
            kw_k.update(coords2=xyz2[keep2], partition_ids2=ids2[keep2])
            if weighted:
                kw_k["weights2"] = w2[keep2]
        without = call(fn, xyz[keep], ids[keep], **kw_k)
        if len(without) == 2:  # a plain count: its pair counts
            without = (None, None) + tuple(without)
        for item in (2, 3):  # pair counts, exactly
            np.testing.assert_array_equal(res[item] - res[8 + item][k], without[item], err_msg=f"region {k}")
        if sums:
            parts_k = full_box_parts(call, slab_fn, xyz[keep], ids[keep], kw_k)
            for item in sums:
                expected = exact_difference(total_parts[item], parts_k[item])
                np.testing.assert_array_equal(res[8 + item][k], expected, err_msg=f"region {k}, entry {item}")


def split_rows(xyz, faces, ghost):
    """The rows of each slab and its ghosts (those just above its upper face)."""
    x, lower, n = xyz[:, 0], np.asarray(faces), len(faces) - 1
    slab = np.clip(np.searchsorted(lower, x, side="right") - 1, 0, n - 1)
    ghost_of = np.where((x - lower[slab]) < ghost, (slab - 1) % n, -1) if n > 1 else -1
    return [np.flatnonzero((slab == s) | (ghost_of == s)) for s in range(n)]


@pytest.mark.parametrize("n_slabs", [2, 3])
@pytest.mark.parametrize("case", [CASES[0], CASES[4], CASES[6]], ids=["pairs8", "weighted_sep8", "cross_weighted5"])
@pytest.mark.parametrize("counter", sorted(COUNTERS))
def test_slab_region_histograms_add_up_to_the_single_count(counter, case, n_slabs):
    call, fn, slab_fn, xyz, ids, w, labels, second, labels2, kw = full_and_recounts(counter, case, 2)
    single = call(fn, xyz, ids, **kw)
    faces = _slab_edges(n_slabs, BOX)
    ghost = _ghost_reach(float(R_BINS[-1]), BOX)
    rows = split_rows(xyz, faces, ghost)
    rows2 = split_rows(second[0], faces, ghost) if second is not None else [None] * n_slabs
    pieces = []
    for s in range(n_slabs):
        r, kw_s = rows[s], dict(kw)
        kw_s["regions"] = labels[r]
        if "weights" in kw:
            kw_s["weights"] = w[r]
        if second is not None:
            r2 = rows2[s]
            kw_s.update(coords2=second[0][r2], partition_ids2=second[1][r2], regions2=labels2[r2])
            if "weights2" in kw:
                kw_s["weights2"] = second[2][r2]
        slab = lambda *a, **k: slab_fn(*a[:-1], a[-1], faces[s], faces[s + 1], **k)  # noqa: E731
        pieces.append(call(slab, xyz[r], ids[r], **kw_s))
    for item in range(8, 16):
        if single[item] is None:
            continue
        parted = pieces[0][item].ndim > single[item].ndim
        if not parted:  # pair counts: plain sums
            np.testing.assert_array_equal(sum(p[item] for p in pieces), single[item])
        else:
            joined = np.concatenate([p[item] for p in pieces], axis=-1)
            got = _kernels.exact_sums(joined.reshape(-1, joined.shape[-1])).reshape(single[item].shape)
            np.testing.assert_array_equal(got, single[item])


@pytest.mark.parametrize("bad, message", [
    ({"regions": np.array([0, 1, 4], np.int32), "n_regions": 4}, "outside"),
    ({"regions": np.array([0, -1, 2], np.int32), "n_regions": 4}, "outside"),
    ({"regions": np.array([0, 1], np.int32), "n_regions": 4}, "one label per row"),
    ({"regions": np.array([0, 1, 2], np.int32)}, "n_regions"),
    ({"regions": np.array([0, 1, 2], np.int32), "n_regions": 0}, "n_regions"),
    ({"n_regions": 3}, "n_regions needs regions"),
    ({"regions2": np.array([0, 1, 2], np.int32)}, "regions2 needs"),
])
@pytest.mark.parametrize("counter", sorted(COUNTERS))
def test_bad_region_arguments_raise_before_counting(counter, bad, message):
    call, fn, _ = COUNTERS[counter]
    xyz = np.array([[1.0, 1.0, 1.0], [2.0, 2.0, 2.0], [3.0, 3.0, 3.0]])
    with pytest.raises(ValueError, match=message):
        call(fn, xyz, np.zeros(3, np.int32), **bad)


@pytest.mark.parametrize("counter", sorted(COUNTERS))
def test_cross_count_with_regions_needs_the_second_catalogues_labels(counter):
    call, fn, _ = COUNTERS[counter]
    xyz = np.array([[1.0, 1.0, 1.0], [2.0, 2.0, 2.0]])
    ids = np.zeros(2, np.int32)
    with pytest.raises(ValueError, match="regions2 is required"):
        call(fn, xyz, ids, coords2=xyz, partition_ids2=ids, regions=np.zeros(2, np.int32), n_regions=1)
    with pytest.raises(ValueError, match="regions2.*outside"):
        call(fn, xyz, ids, coords2=xyz, partition_ids2=ids, regions=np.zeros(2, np.int32),
             regions2=np.array([0, 1], np.int32), n_regions=1)


VARIANT_SCRIPT = """
import sys
sys.path.insert(0, {here!r})
import numpy as np
import quor
import test_regions_kernels as t
assert quor.runtime_info()["kernel"] == {kernel!r}
for counter in sorted(t.COUNTERS):
    for case in (t.CASES[1], t.CASES[4], t.CASES[5]):
        t.test_region_histograms_are_the_full_count_minus_a_recount_without_the_region(counter, case, 2)
print("ok")
"""


def run_in_kernel_variant(script, kernel):
    """Runs `script` (formatted with `here` and `kernel`) in a child process on that kernel
    variant, and asserts that it printed "ok"; skips a variant this processor lacks."""
    here = os.path.dirname(os.path.abspath(__file__))
    env = dict(os.environ, QUOR_KERNEL=kernel)
    probe = subprocess.run([sys.executable, "-c", "import quor; print(quor.runtime_info()['kernels'])"],
                           capture_output=True, env=env, timeout=300, text=True)
    assert probe.returncode == 0, probe.stderr
    if kernel not in probe.stdout:
        pytest.skip(f"this processor cannot run {kernel}")
    out = subprocess.run([sys.executable, "-c", script.format(here=here, kernel=kernel)],
                         capture_output=True, env=env, timeout=300, text=True)
    assert out.returncode == 0 and out.stdout.strip() == "ok", out.stderr[-3000:]


@pytest.mark.parametrize("kernel", ["portable", "avx2", "avx512"])
def test_region_histograms_in_every_kernel_variant(kernel):
    run_in_kernel_variant(VARIANT_SCRIPT, kernel)


@pytest.mark.parametrize("shift", [0.0, -BOX / 2], ids=["inside", "outside_box"])
def test_region_histograms_on_the_folded_path(shift):
    """Separations up to 0.3 box (every pair folded) and rows outside [0, box) (the
    coarse grid): the same regions' histograms as recounts."""
    xyz, ids, _ = catalogue(400, seed=3)
    xyz[::3] += shift
    labels = labelled(400, 8, seed=4)
    r_bins = np.array([0.0, 10.0, 20.0, 30.0])
    full = _kernels.count_pairs_1d(xyz, ids, r_bins, BOX, regions=labels, n_regions=8)
    for k in range(8):
        keep = labels != k
        auto, cross = _kernels.count_pairs_1d(xyz[keep], ids[keep], r_bins, BOX)
        np.testing.assert_array_equal(full[2] - full[10][k], auto)
        np.testing.assert_array_equal(full[3] - full[11][k], cross)


# ---------------------------------------------------------------------------------------------
# Groups: count_npoint and count_npoint3_shape with their slab twins


def npoint(n_order):
    return lambda fn, xyz, ids, *slab, **kw: fn(xyz, ids, R_BINS, BOX, n_order, *slab, **kw)


def shape(fn, xyz, ids, *slab, **kw):
    return fn(xyz, ids, R_BINS, 3, BOX, *slab, **kw)


GROUP_COUNTERS = {
    **{f"npoint{n}": (npoint(n), _kernels.count_npoint, _kernels.count_npoint_slab) for n in (1, 2, 3, 4)},
    "shape": (shape, _kernels.count_npoint3_shape, _kernels.count_npoint3_shape_slab),
}


def clustered(n, seed):
    """Galaxies on a grid of 1/8 in a quarter of the box (most within R_BINS[-1] of
    several others, so groups of four are common), three partitions."""
    rng = np.random.default_rng(seed)
    xyz = np.floor(rng.uniform(0.0, BOX / 4, size=(n, 3)) * 8) / 8
    xyz[: n // 5] = np.floor(rng.uniform(0.0, BOX, size=(n // 5, 3)) * 8) / 8  # some across the box
    return xyz, rng.integers(0, 3, n).astype(np.int32)


@pytest.mark.parametrize("n_regions", [1, 8, 125])
@pytest.mark.parametrize("counter", sorted(GROUP_COUNTERS))
def test_group_region_histograms_are_the_full_count_minus_a_recount(counter, n_regions):
    """Region 0 holds one galaxy and region 1 none (labelled); most of 125 regions hold one
    galaxy or none."""
    call, fn, _ = GROUP_COUNTERS[counter]
    xyz, ids = clustered(300 if counter != "npoint4" else 120, seed=n_regions)
    labels = labelled(len(xyz), n_regions, seed=n_regions + 1)
    plain = call(fn, xyz, ids, threads=2)
    assert len(plain) == 2
    res = call(fn, xyz, ids, threads=2, regions=labels, n_regions=n_regions)
    assert len(res) == 4
    np.testing.assert_array_equal(res[0], plain[0])
    np.testing.assert_array_equal(res[1], plain[1])
    assert res[2].shape == (n_regions,) + plain[0].shape and res[3].shape == (n_regions,) + plain[1].shape
    assert plain[1].sum() > 0
    for k in range(n_regions):
        keep = labels != k
        by_s, total = call(fn, xyz[keep], ids[keep], threads=1)
        np.testing.assert_array_equal(res[0] - res[2][k], by_s, err_msg=f"region {k}")
        np.testing.assert_array_equal(res[1] - res[3][k], total, err_msg=f"region {k}")


@pytest.mark.parametrize("n_slabs", [2, 3])
@pytest.mark.parametrize("counter", sorted(GROUP_COUNTERS))
def test_group_slab_region_histograms_add_up_to_the_single_count(counter, n_slabs):
    call, fn, slab_fn = GROUP_COUNTERS[counter]
    xyz, ids = clustered(200, seed=n_slabs)
    xyz[:, 0] = (xyz[:, 0] * 4) % BOX  # spread along x, so every slab holds groups and ghosts
    labels = labelled(len(xyz), 8, seed=n_slabs)
    single = call(fn, xyz, ids, regions=labels, n_regions=8)
    faces = _slab_edges(n_slabs, BOX)
    rows = split_rows(xyz, faces, _ghost_reach(float(R_BINS[-1]), BOX))
    pieces = [call(slab_fn, xyz[r], ids[r], faces[s], faces[s + 1], regions=labels[r], n_regions=8)
              for s, r in enumerate(rows)]
    for item in range(4):
        np.testing.assert_array_equal(sum(p[item] for p in pieces), single[item], err_msg=f"entry {item}")
    assert single[3].any()


@pytest.mark.parametrize("labels, removed", [
    ([0, 0, 0], [1, 0, 0]),
    ([2, 0, 0], [1, 0, 1]),  # the anchor (first row) alone in its region
    ([0, 2, 0], [1, 0, 1]),
    ([1, 0, 2], [1, 1, 1]),
])
@pytest.mark.parametrize("counter", ["npoint3", "shape"])
def test_a_triplet_counts_once_in_each_region_among_its_members(counter, labels, removed):
    call, fn, slab_fn = GROUP_COUNTERS[counter]
    xyz = np.array([[50.0, 50.0, 50.0], [51.0, 50.0, 50.0], [50.0, 51.5, 50.0]])
    ids = np.zeros(3, np.int32)
    for count in (fn, lambda *a, **k: slab_fn(*a[:-1], a[-1], 0.0, BOX, **k)):
        by_s, total, by_s_removed, total_removed = call(
            count, xyz, ids, regions=np.array(labels, np.int32), n_regions=3)
        assert total.sum() == 1
        np.testing.assert_array_equal(total_removed.sum(axis=1), removed)
        np.testing.assert_array_equal(by_s_removed.sum(axis=(1, 2)), removed)


@pytest.mark.parametrize("labels, removed", [
    ([3, 3, 3, 3], [0, 0, 0, 1]),
    ([0, 1, 1, 0], [1, 1, 0, 0]),
    ([3, 1, 1, 2], [0, 1, 1, 1]),
    ([2, 1, 0, 3], [1, 1, 1, 1]),
])
def test_a_group_of_four_counts_once_in_each_region_among_its_members(labels, removed):
    xyz = np.array([[50.0, 50.0, 50.0], [51.0, 50.0, 50.0], [50.0, 51.0, 50.0], [50.0, 50.0, 51.0]])
    out = _kernels.count_npoint(xyz, np.arange(4, dtype=np.int32), R_BINS, BOX, 4,
                                regions=np.array(labels, np.int32), n_regions=4)
    assert out[1].sum() == 1 and out[0][3].sum() == 1  # one group, of four partitions
    np.testing.assert_array_equal(out[3].sum(axis=1), removed)
    np.testing.assert_array_equal(out[2][:, 3].sum(axis=1), removed)


@pytest.mark.parametrize("n_order", [1, 2])
def test_single_galaxies_and_pairs_count_in_their_regions(n_order):
    xyz = np.array([[50.0, 50.0, 50.0], [51.0, 50.0, 50.0], [90.0, 90.0, 90.0]])
    labels = np.array([0, 2, 2], np.int32)
    out = _kernels.count_npoint(xyz, np.zeros(3, np.int32), R_BINS, BOX, n_order, regions=labels, n_regions=3)
    expected = [1, 0, 2] if n_order == 1 else [1, 0, 1]
    np.testing.assert_array_equal(out[3].sum(axis=1), expected)


@pytest.mark.parametrize("bad, message", [
    ({"regions": np.array([0, 1, 4], np.int32), "n_regions": 4}, "outside"),
    ({"regions": np.array([0, -1, 2], np.int32), "n_regions": 4}, "outside"),
    ({"regions": np.array([0, 1], np.int32), "n_regions": 4}, "one label per row"),
    ({"regions": np.array([0, 1, 2], np.int32)}, "n_regions"),
    ({"regions": np.array([0, 1, 2], np.int32), "n_regions": 0}, "n_regions"),
    ({"n_regions": 3}, "n_regions needs regions"),
])
@pytest.mark.parametrize("slab", [False, True], ids=["single", "slab"])
@pytest.mark.parametrize("counter", ["npoint2", "npoint3", "shape"])
def test_bad_group_region_arguments_raise_before_counting(counter, slab, bad, message):
    call, fn, slab_fn = GROUP_COUNTERS[counter]
    xyz = np.array([[1.0, 1.0, 1.0], [2.0, 2.0, 2.0], [3.0, 3.0, 3.0]])
    with pytest.raises(ValueError, match=message):
        if slab:
            call(slab_fn, xyz, np.zeros(3, np.int32), 0.0, BOX, **bad)
        else:
            call(fn, xyz, np.zeros(3, np.int32), **bad)
