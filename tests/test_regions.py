"""Jackknife regions: every counter's delete-one counts equal a recount of the catalogue
without the region's galaxies, for cubes and for labels of any integer dtype."""
import numpy as np
import pytest

import quor

BOX = 12.0
R = np.array([0.0, 0.7, 1.5, 2.4])


def catalogue(n, seed, partitions=15):
    rng = np.random.default_rng(seed)
    return rng.uniform(0.0, BOX, size=(n, 3)), rng.integers(0, partitions, n)


# Each counter on (coords, ids, **keywords), and the names of its delete-one arrays with
# those of the full counts they leave regions out of.
PAIRS = {
    "pairs_1d": lambda c, i, **k: quor.count_pairs_1d(c, i, R, BOX, **k),
    "pairs_2d": lambda c, i, **k: quor.count_pairs_2d(c, i, R, 2 * R, BOX, **k),
    "pairs_smu": lambda c, i, **k: quor.count_pairs_smu(c, i, R, 3, 1.0, BOX, **k),
}
GROUPS = {
    "npoint2": lambda c, i, **k: quor.count_npoint(c, i, R, BOX, 2, **k),
    "npoint3": lambda c, i, **k: quor.count_npoint(c, i, R, BOX, 3, **k),
    "shape": lambda c, i, **k: quor.count_npoint3_shape(c, i, R, 2, BOX, **k),
}
COUNTERS = {**PAIRS, **GROUPS}
FIELDS = {"pairs": [("auto_by_region", 0), ("cross_by_region", 1)],
          "groups": [("by_partitions_by_region", 0), ("total_by_region", 1)]}


def fields(name):
    return FIELDS["pairs" if name in PAIRS else "groups"]


def cube_of(coords, n):
    """Cubes of positions already inside the box, from their cells along each axis."""
    cell = np.minimum((np.asarray(coords) // (BOX / n)).astype(int), n - 1)
    return (cell[:, 0] * n + cell[:, 1]) * n + cell[:, 2]


def assert_delete_one_is_recount(name, result, coords, ids, labels, values):
    """Entry k of each delete-one array is the count without the galaxies labelled
    values[k], exactly."""
    count = COUNTERS[name]
    assert list(result.region_labels) == list(values)
    for k, value in enumerate(values):
        keep = labels != value
        recount = count(coords[keep], ids[keep])
        for attribute, index in fields(name):
            np.testing.assert_array_equal(getattr(result, attribute)[k], recount[index],
                                          err_msg=f"{attribute}[{k}]")


@pytest.mark.parametrize("name", COUNTERS)
@pytest.mark.parametrize("n", [1, 2, 5])
def test_cubes_delete_one_equals_recount(name, n):
    coords, ids = catalogue(70 if n == 5 else 150, seed=n)
    result = COUNTERS[name](coords, ids, regions=n)
    full = COUNTERS[name](coords, ids)
    for (attribute, index), plain in zip(fields(name), full):
        np.testing.assert_array_equal(result[index], plain)  # the counts unchanged
        assert getattr(result, attribute).shape == (n**3,) + plain.shape
    labels = cube_of(coords, n)
    np.testing.assert_array_equal(result.region_sizes, np.bincount(labels, minlength=n**3))
    if n == 1:  # leaving the only region out leaves nothing
        for attribute, _ in fields(name):
            assert not getattr(result, attribute).any()
    else:  # 125 cubes of 70 galaxies: most are empty, and removing them removes nothing
        assert_delete_one_is_recount(name, result, coords, ids, labels, np.arange(n**3))


@pytest.mark.parametrize("name", COUNTERS)
@pytest.mark.parametrize("dtype", [np.int8, np.uint16, np.int64])
def test_labels_of_any_integer_dtype(name, dtype):
    coords, ids = catalogue(160, seed=7)
    rng = np.random.default_rng(3)
    values = np.array([5, 9, 40, 77, 120], dtype=dtype)  # not 0, 1, 2, ...
    labels = values[rng.integers(0, 4, 160)]
    labels[40] = values[4]  # a region of one galaxy
    if np.issubdtype(dtype, np.signedinteger):
        labels[:30] = -3  # negative labels sort first
        values = np.concatenate([[-3], values]).astype(dtype)
    result = COUNTERS[name](coords, ids, regions=labels)
    assert result.region_labels.dtype == labels.dtype
    assert result.region_sizes[-1] == 1
    assert_delete_one_is_recount(name, result, coords, ids, labels, values)


@pytest.mark.parametrize("name", PAIRS)
def test_cross_counts_relabel_both_catalogues_together(name):
    coords, ids = catalogue(120, seed=11)
    coords2, ids2 = catalogue(90, seed=12)
    rng = np.random.default_rng(4)
    # Label 50 only in the first catalogue, 60 only in the second: one namespace.
    labels = rng.choice(np.array([10, 30, 50], dtype=np.int16), 120)
    labels2 = rng.choice(np.array([10, 30, 60], dtype=np.int64), 90)
    count = PAIRS[name]
    result = count(coords, ids, coords2=coords2, partition_ids2=ids2, regions=labels,
                   regions2=labels2)
    assert list(result.region_labels) == [10, 30, 50, 60]
    np.testing.assert_array_equal(result.region_sizes, [np.sum(labels == v) for v in (10, 30, 50, 60)])
    np.testing.assert_array_equal(result.region_sizes2, [np.sum(labels2 == v) for v in (10, 30, 50, 60)])
    for k, value in enumerate(result.region_labels):
        keep, keep2 = labels != value, labels2 != value
        recount = count(coords[keep], ids[keep], coords2=coords2[keep2], partition_ids2=ids2[keep2])
        np.testing.assert_array_equal(result.auto_by_region[k], recount.auto)
        np.testing.assert_array_equal(result.cross_by_region[k], recount.cross)


@pytest.mark.parametrize("name", PAIRS)
@pytest.mark.parametrize("cross", [False, True])
def test_weighted(name, cross):
    coords, ids = catalogue(140, seed=21)
    rng = np.random.default_rng(5)
    keywords = {"weights": rng.normal(size=140)}
    if cross:
        coords2, ids2 = catalogue(80, seed=22)
        keywords.update(coords2=coords2, partition_ids2=ids2)  # weighs 1 a galaxy
    count = PAIRS[name]
    result = count(coords, ids, regions=2, **keywords)
    labels = cube_of(coords, 2)
    np.testing.assert_allclose(result.region_weights,
                               [keywords["weights"][labels == k].sum() for k in range(8)])
    if cross:
        labels2 = cube_of(coords2, 2)
        np.testing.assert_array_equal(result.region_weights2, np.bincount(labels2, minlength=8))
    for k in range(8):
        sub = dict(keywords, weights=keywords["weights"][labels != k])
        if cross:
            sub.update(coords2=coords2[labels2 != k], partition_ids2=ids2[labels2 != k])
        recount = count(coords[labels != k], ids[labels != k], **sub)
        # Counts exactly; sums to the rounding of total - removed.
        np.testing.assert_array_equal(result.auto_pairs_by_region[k], recount.auto_pairs)
        np.testing.assert_array_equal(result.cross_pairs_by_region[k], recount.cross_pairs)
        scale = np.abs(result.auto).max() + np.abs(result.cross).max() + 1.0
        np.testing.assert_allclose(result.auto_by_region[k], recount.auto, rtol=0, atol=1e-12 * scale)
        np.testing.assert_allclose(result.cross_by_region[k], recount.cross, rtol=0, atol=1e-12 * scale)


@pytest.mark.parametrize("n, x, cube", [
    (3, 4.0, 1),                       # exactly on a face: the cube above it
    (3, 8.0, 2),
    (3, np.nextafter(BOX, 0.0), 2),    # just below the box
    (3, -1e-300, 0),                   # wraps to box, whose image is 0
    (3, -0.5, 2),                      # wraps to 11.5
    (3, BOX + 4.0, 1),                 # wraps to exactly a face
    (9, np.nextafter(BOX, 0.0), 8),    # x / (box / n) rounds up to n: still the last cube
    (5, 2.4 * 3, 3),
])
def test_cube_index_at_faces(n, x, cube):
    coords = np.array([[x, 0.5, 0.5], [0.5, x, 0.5], [0.5, 0.5, x]])
    result = quor.count_pairs_1d(coords, np.arange(3), R, BOX, regions=n)
    expected = [(cube * n + 0) * n + 0, (0 * n + cube) * n + 0, (0 * n + 0) * n + cube]
    np.testing.assert_array_equal(np.flatnonzero(result.region_sizes),
                                  sorted(set(expected)))
    assert result.region_sizes.sum() == 3


def test_last_cube_clamp_is_needed():
    """The case above where the quotient itself reaches n (else the clamp is untested)."""
    x = np.nextafter(BOX, 0.0)
    assert np.floor(x / (BOX / 9)) == 9


def test_without_regions_nothing_is_added():
    coords, ids = catalogue(50, seed=1)
    assert not hasattr(quor.count_pairs_1d(coords, ids, R, BOX), "auto_by_region")
    assert not hasattr(quor.count_npoint(coords, ids, R, BOX, 3), "total_by_region")


def test_results_still_unpack():
    coords, ids = catalogue(60, seed=2)
    auto, cross = quor.count_pairs_1d(coords, ids, R, BOX, regions=2)
    by_partitions, total = quor.count_npoint(coords, ids, R, BOX, 3, regions=2)
    assert auto.shape == (3,) and by_partitions.shape == (3, 3) and total.shape == (3,)


COORDS, IDS = catalogue(20, seed=3)
COORDS2, IDS2 = catalogue(10, seed=4)
TWO = {"coords2": COORDS2, "partition_ids2": IDS2}


@pytest.mark.parametrize("keywords, error, message", [
    ({"regions": 0}, ValueError, "regions must be at least 1"),
    ({"regions": -2}, ValueError, "regions must be at least 1"),
    ({"regions": True}, TypeError, "regions must be an int .* not bool"),
    ({"regions": 2.0}, TypeError, "regions must be an int .* not float"),
    ({"regions": 1300}, ValueError, "regions=1300 makes 2197000000 cubes"),
    ({"regions": np.zeros(19, int)}, ValueError, r"regions must hold one label per row of coords \(20\), got 19"),
    ({"regions": np.zeros((20, 1), int)}, ValueError, "regions must be .* one-dimensional"),
    ({"regions": np.zeros(20)}, TypeError, "regions must hold integers, not float64"),
    ({"regions": np.zeros(20, bool)}, TypeError, "regions must hold integers, not bool"),
    ({"regions": np.ma.masked_array(np.zeros(20, int), mask=np.arange(20) == 4)}, ValueError,
     r"regions: 1 label is masked \(first at row 4\)"),
    ({"regions": np.zeros(20, int), "regions2": np.zeros(10, int)}, ValueError,
     "regions2 is given without coords2"),
    ({"regions": 2, "regions2": np.zeros(10, int), **TWO}, ValueError,
     "regions2 must be None with regions=2"),
    ({"regions": np.zeros(20, int), **TWO}, ValueError, "regions2 is required with coords2"),
    ({"regions2": np.zeros(10, int), **TWO}, ValueError, "regions2 is given without regions"),
    ({"regions": np.zeros(20, int), "regions2": np.zeros(9, int), **TWO}, ValueError,
     r"regions2 must hold one label per row of coords2 \(10\), got 9"),
    ({"regions": np.zeros(20, int), "regions2": np.zeros(10), **TWO}, TypeError,
     "regions2 must hold integers"),
])
def test_bad_regions(keywords, error, message):
    with pytest.raises(error, match=message):
        quor.count_pairs_1d(COORDS, IDS, R, BOX, **keywords)


def test_too_many_regions_for_memory(monkeypatch):
    """Many cubes times many bins: MemoryError naming regions before any counting."""
    monkeypatch.setattr(quor._kernels, "count_pairs_1d", None)  # never reached
    with pytest.raises(MemoryError, match=r"regions: 2146689000 regions need .* GB"):
        quor.count_pairs_1d(COORDS, IDS, np.linspace(0, 1, 2001), BOX, regions=1290)
