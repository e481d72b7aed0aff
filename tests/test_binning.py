"""BinningWarning: the bins that the 4096-level table of count_npoint (n_order != 2) and
count_npoint3_shape can never fill are named, once, at the user's call; checked against
the kernels on random edges."""
import math
import warnings

import numpy as np
import pytest

import _quor
import quor

BOX = 100.0
# An equilateral triplet of side 0.08: between the table's levels 0 and 1 for r_max = 8.
TRIPLET = np.array([[1.0, 1.0, 1.0], [1.08, 1.0, 1.0], [1.04, 1.0 + 0.04 * math.sqrt(3.0), 1.0]])
EDGES = [0.05, 0.1, 8.0]


def table(r_bins):
    """The bin of each level, -1 below the first edge, from the table's definition:
    level j is r_max**2 * (j / 4095); its bin is the number of squared edges at or below
    it, less one, and at most the last bin."""
    r2 = [e * e for e in r_bins]
    out = []
    for j in range(4096):
        v = r2[-1] * (float(j) / 4095.0)
        out.append(min(sum(1 for e in r2 if e <= v) - 1, len(r2) - 2))
    return out


def level(m, r2_max):
    """The table entry of a squared largest separation m: m * (4095 / r2_max) truncated,
    NaN and negative values to 0, at most 4095."""
    v = m * (4095.0 / r2_max)
    return 0 if not v > 0.0 else 4095 if v >= 4095.0 else int(v)


def reachable(r_bins):
    """Bins that some group can land in: every m in [0, r_max**2) is a possible squared
    largest separation, and m * scale steps through every entry from m = 0 up."""
    r2_max = r_bins[-1] * r_bins[-1]
    top = level(math.nextafter(r2_max, 0.0), r2_max)
    bins = table(r_bins)
    return {bins[j] for j in range(0, top + 1)} - {-1}, top


def flagged(call):
    with warnings.catch_warnings(record=True) as record:
        warnings.simplefilter("always")
        result = call()
    binning = [w for w in record if issubclass(w.category, quor.BinningWarning)]
    assert len(binning) <= 1
    if not binning:
        return result, set(), None
    text = str(binning[0].message)
    names = text.split(" can never")[0].replace("r_bins bins ", "").replace("r_bins bin ", "")
    return result, {int(part.split(" [")[0]) for part in names.split("), ") if part}, binning[0]


def test_issue_example_warns_and_counts_unchanged():
    expected = _quor.count_npoint(TRIPLET, np.zeros(3, np.int32), np.array(EDGES), BOX, 3)
    with pytest.warns(quor.BinningWarning) as record:
        counts = quor.count_npoint(TRIPLET, [0, 0, 0], EDGES, BOX, 3)
    assert len(record) == 1 and record[0].filename == __file__
    message = str(record[0].message)
    assert message.startswith("r_bins bin 0 [0.05, 0.1) can never hold a group of 3")
    assert "smallest edge that r_bins[-1] = 8 resolves is 0.125015" in message
    for got, want in zip(counts, expected):
        np.testing.assert_array_equal(got, want)
    assert counts.total.tolist() == [0.0, 0.0]  # the triplet is counted nowhere


@pytest.mark.parametrize("call", [
    lambda: quor.count_npoint(TRIPLET, [0, 0, 0], EDGES, BOX, 4),
    lambda: quor.count_npoint3_shape(TRIPLET, [0, 0, 0], EDGES, 5, BOX),
    lambda: quor.npoint_ratio(np.vstack([TRIPLET, TRIPLET + 50]), np.arange(6), EDGES, 40.0),
], ids=["npoint4", "shape", "npoint_ratio"])
def test_warned_once_at_the_callers_line(call):
    with pytest.warns(quor.BinningWarning, match=r"r_bins bin 0 \[0.05, 0.1\)") as record:
        call()
    assert [w.filename for w in record] == [__file__]


@pytest.mark.parametrize("call", [
    lambda: quor.count_npoint(TRIPLET, [0, 0, 0], EDGES, BOX, 2),  # pairs bin exactly
    lambda: quor.count_npoint(TRIPLET, [0, 0, 0], EDGES, BOX, 1),  # groups of one have no size
    lambda: quor.count_npoint(TRIPLET, [0, 0, 0], [0.0, 0.2, 0.2, 0.5, 8.0], BOX, 3),
    lambda: quor.count_npoint3_shape(TRIPLET, [0, 0, 0], np.linspace(0, 4, 9), 3, BOX),
], ids=["pairs", "singles", "zero-width-bin", "ordinary"])
def test_no_warning_where_every_bin_can_fill(call):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        call()


def test_warning_is_public():
    assert issubclass(quor.BinningWarning, UserWarning) and "BinningWarning" in quor.__all__


def random_edges(rng):
    r_max = float(rng.uniform(0.5, 2.0))
    inner = np.concatenate([rng.uniform(0.0, r_max / 16, rng.integers(1, 12)),
                            rng.uniform(0.0, r_max, rng.integers(0, 5))])
    if rng.random() < 0.3:  # an edge on a level, and one just below it
        j = int(rng.integers(1, 40))
        on_level = math.sqrt(r_max * r_max * (j / 4095.0))
        inner = np.append(inner, [on_level, math.nextafter(on_level, 0.0)])
    return np.append(np.sort(inner[inner < r_max]), r_max)


def lands_in_each_bin(r_bins, bins, top):
    """Triplets one per bin in `bins`, each placed on a level of that bin: two members
    at one point and the third at (dx, dy, 0) from it, so that m = dx * dx + dy * dy as
    the kernels compute it (the largest m below r_max**2 needs both terms)."""
    r2_max = r_bins[-1] * r_bins[-1]
    entries = table(r_bins)
    coords = []
    for k, b in enumerate(sorted(bins)):
        j = min(j for j in range(top + 1) if entries[j] == b)
        target = (j + 0.5) / 4095.0 * r2_max if j < top else math.nextafter(r2_max, 0.0)
        dx = math.sqrt(target)
        while dx * dx > target:
            dx = math.nextafter(dx, 0.0)
        dy = math.sqrt(target - dx * dx)
        m = dx * dx + dy * dy
        assert m < r2_max and level(m, r2_max) == j
        z = 1.0 + 3.0 * r_bins[-1] * k
        coords += [[0.0, 0.0, z], [0.0, 0.0, z], [dx, dy, z]]
    return np.array(coords).reshape(-1, 3)


def just_above_level(r_max, j):
    """The smallest edge whose square lies above level j."""
    v = r_max * r_max * (j / 4095.0)
    a = math.sqrt(v)
    while a * a <= v:
        a = math.nextafter(a, math.inf)
    return a


# Last bins holding level 4095 alone: some group reaches it when the largest double below
# r_max**2 times 4095 / r_max**2 rounds up to 4095 (r_max = 0.9325), none otherwise.
EDGE_SETS = [np.array([0.0, 0.3, just_above_level(r, 4094), r]) for r in (0.9325, 0.5173)]


@pytest.mark.parametrize("r_bins", [random_edges(np.random.default_rng(seed)) for seed in range(24)]
                         + EDGE_SETS,
                         ids=[f"seed{seed}" for seed in range(24)] + ["top-reached", "top-unreached"])
def test_flagged_bins_match_the_kernel(r_bins):
    """A flagged bin gets nothing from a dense catalogue; every other bin of positive
    width is reachable by the table's definition, and the kernel puts a triplet there."""
    n_r = len(r_bins) - 1
    can, top = reachable(r_bins)
    positive = {b for b in range(n_r) if r_bins[b] ** 2 < r_bins[b + 1] ** 2}

    # Dense: 300 galaxies within a cube a tenth of r_max wide hold millions of triplets.
    dense = np.random.default_rng(n_r).uniform(0.0, r_bins[-1] / 10, size=(300, 3)) + 5.0
    (by, total), named, _ = flagged(lambda: quor.count_npoint(dense, np.zeros(300, int), r_bins, BOX, 3))
    assert named == positive - can
    assert total.sum() > 0 and not any(total[b] for b in named)
    _, shape_named, _ = flagged(lambda: quor.count_npoint3_shape(dense, np.zeros(300, int), r_bins, 2, BOX))
    assert shape_named == named

    placed = lands_in_each_bin(r_bins, positive - named, top)
    box = 3.0 * r_bins[-1] * (n_r + 2)
    (_, total), _, _ = flagged(lambda: quor.count_npoint(placed, np.arange(len(placed)), r_bins, box, 3))
    expected = np.zeros(n_r)
    expected[sorted(positive - named)] = 1.0
    np.testing.assert_array_equal(total, expected)


def test_edge_sets_reach_both_ways():
    # The two edge sets above differ in whether the last bin can fill.
    assert [reachable(r)[1] for r in EDGE_SETS] == [4095, 4094]
    assert [2 in reachable(r)[0] for r in EDGE_SETS] == [True, False]


def test_tiny_last_edge_whose_scale_overflows():
    # r_max**2 is subnormal, so 4095 / r_max**2 is infinite: a group lands on entry 0
    # (0 * inf is NaN) or on the last entry, and the middle bin is never reached.
    r_bins = np.array([0.0, 1e-160, 1.1e-160, 2e-160])
    with pytest.warns(quor.BinningWarning, match=r"r_bins bin 1 \[1e-160, 1.1e-160\)"):
        quor.count_npoint(TRIPLET, [0, 0, 0], r_bins, BOX, 3)
    pts = np.array([[1.0, 0.0, 0.0], [1.0, 0.0, 0.0], [1.0, 1.05e-160, 0.0],  # in bin 1
                    [9.0, 0.2, 0.2], [9.0, 0.2, 0.2], [9.0, 0.2, 0.2]])
    with pytest.warns(quor.BinningWarning):
        _, total = quor.count_npoint(pts, np.zeros(6, int), r_bins, BOX, 3)
    np.testing.assert_array_equal(total, [1.0, 0.0, 1.0])
