"""Pair counts by region where whole cells lie in one region: such cells count their pairs
as a count without regions does (peeled last bins, clumps met whole), into the block of
their region, and a neighbour of another region adds those pairs to its region too.

The catalogues sit on those decisions: cubic regions whose faces fall on the cell faces
(27 regions, 9 cells a side) or across cells (8 and 125), strays labelled into another
region (cells of mixed regions), tight haloes on and beside region faces (clumps in one
region, in two, and straddling), catalogues of haloes alone (cells met clump by clump,
some of mixed regions), and runs of partners in two regions. Every delete-one
histogram must equal a recount of the catalogue without that region, exactly.
"""
import functools

import numpy as np
import pytest

from quor import _kernels
from test_regions_kernels import run_in_kernel_variant

BOX = 100.0
R_BINS = np.array([0.0, 2.5, 5.0, 7.5, 10.0])  # most pairs in the last three bins
PI_BINS = np.array([0.0, 5.0, 10.0])
S_BINS = np.array([0.5, 4.0, 10.0])


def cube_labels(xyz, per_side):
    cell = np.minimum(np.floor(xyz / (BOX / per_side)).astype(np.int64), per_side - 1)
    return ((cell[:, 0] * per_side + cell[:, 1]) * per_side + cell[:, 2]).astype(np.int32)


@functools.lru_cache(maxsize=None)
def catalogue(seed, n=1500):
    """Uniform galaxies and haloes of 12 within 0.3 of a centre: on a face of the 27
    cubes (straddling it), 0.5 inside a cube, and 0.5 inside the neighbouring one."""
    rng = np.random.default_rng(seed)
    uniform = rng.uniform(0.0, BOX, size=(n, 3))
    face = BOX / 3
    centres = []
    for k in range(8):
        c = rng.uniform(10.0, 90.0, 3)
        axis = k % 3
        for offset in (0.0, -0.5, 0.5):
            c2 = c.copy()
            c2[axis] = face * (1 + k % 2) + offset
            centres.append(c2)
    haloes = np.concatenate([c + rng.uniform(-0.3, 0.3, size=(12, 3)) for c in centres])
    xyz = np.concatenate([uniform, haloes])
    ids = np.concatenate([rng.integers(0, 2, n), np.repeat(np.arange(len(centres)) % 2, 12)]).astype(np.int32)
    return xyz, ids


@functools.lru_cache(maxsize=None)
def haloes(per_side, seed, n_haloes=250):
    """Haloes of 6 (one partition each) within 0.3 of a centre, and nothing else, so
    that most cells come in clumps; a third of the centres on a face of the cubes of
    `per_side` a side, their haloes straddling two regions."""
    rng = np.random.default_rng(seed)
    centres = rng.uniform(1.0, BOX - 1.0, size=(n_haloes, 3))
    on_face = np.arange(0, n_haloes, 3)
    axis = rng.integers(0, 3, len(on_face))
    centres[on_face, axis] = BOX / per_side * rng.integers(1, max(per_side, 2), len(on_face))
    xyz = np.repeat(centres, 6, axis=0) + rng.uniform(-0.3, 0.3, size=(6 * n_haloes, 3))
    return np.mod(xyz, BOX), np.repeat(np.arange(n_haloes) % 2, 6).astype(np.int32)


def labels_for(xyz, per_side, strays, seed):
    labels = cube_labels(xyz, per_side)
    if strays:  # a galaxy in one cell in 40 moved to another region: cells of mixed regions
        rng = np.random.default_rng(seed)
        picked = rng.choice(len(xyz), len(xyz) // 40, replace=False)
        labels[picked] = (labels[picked] + 1 + rng.integers(0, per_side**3 - 1, len(picked))) % per_side**3
    return labels


COUNTS = {
    "1d": lambda xyz, ids, **kw: _kernels.count_pairs_1d(xyz, ids, R_BINS, BOX, **kw),
    "2d": lambda xyz, ids, **kw: _kernels.count_pairs_2d(xyz, ids, R_BINS, PI_BINS, BOX, **kw),
    "smu": lambda xyz, ids, **kw: _kernels.count_pairs_smu(xyz, ids, S_BINS, 4, 1.0, BOX, **kw),
}

# (per side, strays, cross, haloes alone)
CASES = {
    "one_region": (1, False, False, False),
    "8_across_cells": (2, False, False, False),
    "27_on_cell_faces": (3, False, False, False),
    "27_strays": (3, True, False, False),
    "125_across_cells": (5, False, False, False),
    "cross_27": (3, False, True, False),
    "cross_8_strays": (2, True, True, False),
    "haloes_8": (2, False, False, True),
    "haloes_125": (5, False, False, True),
}


def inputs(case):
    per_side, strays, cross, clumped = CASES[case]
    xyz, ids = haloes(per_side, seed=per_side) if clumped else catalogue(seed=per_side)
    labels = labels_for(xyz, per_side, strays, seed=per_side)
    second = None
    if cross:
        xyz2, ids2 = catalogue(seed=per_side + 50, n=900)
        second = (xyz2, ids2, labels_for(xyz2, per_side, strays, seed=per_side + 50))
    return xyz, ids, labels, second


@functools.lru_cache(maxsize=None)
def recounts(counter, case):
    """The (auto, cross) pair counts without each region's galaxies."""
    xyz, ids, labels, second = inputs(case)
    out = []
    for k in range(CASES[case][0] ** 3):
        kw = {}
        if second is not None:
            keep2 = second[2] != k
            kw.update(coords2=second[0][keep2], partition_ids2=second[1][keep2])
        keep = labels != k
        counts = COUNTS[counter](xyz[keep], ids[keep], **kw)
        out.append(counts if len(counts) == 2 else counts[2:4])  # a cross count: its pair counts
    return out


def check_case(counter, case, threads):
    xyz, ids, labels, second = inputs(case)
    n_regions = CASES[case][0] ** 3
    kw = {"threads": threads, "regions": labels, "n_regions": n_regions}
    if second is not None:
        kw.update(coords2=second[0], partition_ids2=second[1], regions2=second[2])
    res = COUNTS[counter](xyz, ids, **kw)
    auto, cross, auto_by_region, cross_by_region = res[2], res[3], res[10], res[11]
    assert auto.sum() + cross.sum() > 0
    for k, (auto_k, cross_k) in enumerate(recounts(counter, case)):
        np.testing.assert_array_equal(auto - auto_by_region[k], auto_k, err_msg=f"auto, region {k}")
        np.testing.assert_array_equal(cross - cross_by_region[k], cross_k, err_msg=f"cross, region {k}")


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("case", sorted(CASES))
@pytest.mark.parametrize("counter", sorted(COUNTS))
def test_delete_one_pair_counts_where_cells_lie_in_one_region(counter, case, threads):
    check_case(counter, case, threads)


def test_regions_leave_the_full_count_as_it_is():
    xyz, ids, labels, _ = inputs("27_strays")
    for counter, count in COUNTS.items():
        plain = count(xyz, ids)
        res = count(xyz, ids, regions=labels, n_regions=27)
        np.testing.assert_array_equal(res[2], plain[0], err_msg=counter)
        np.testing.assert_array_equal(res[3], plain[1], err_msg=counter)


VARIANT_SCRIPT = """
import sys
sys.path.insert(0, {here!r})
import quor
import test_regions_cells as t
assert quor.runtime_info()["kernel"] == {kernel!r}
for counter in sorted(t.COUNTS):
    for case in ("27_on_cell_faces", "27_strays", "125_across_cells", "cross_8_strays", "haloes_125"):
        t.check_case(counter, case, 2)
t.check_case("1d", "8_across_cells", 1)
print("ok")
"""


@pytest.mark.parametrize("kernel", ["portable", "avx2", "avx512"])
def test_delete_one_pair_counts_in_every_kernel_variant(kernel):
    run_in_kernel_variant(VARIANT_SCRIPT, kernel)
