"""The quor package: the same counts as _quor, inputs as users hold them, checked inputs."""
import numpy as np
import pytest

import _quor
import quor

BOX = 100.0
EDGES = np.linspace(0.0, 12.0, 7)


def catalogue(n=3000, seed=5):
    rng = np.random.default_rng(seed)
    return rng.uniform(0.0, BOX, size=(n, 3)), rng.integers(-3, 40, size=n).astype(np.int32)


# Each counter as (quor call, _quor call) on (coords, ids, box); the quor side by keyword
# where the names differ from _quor's order, to check the positional order too.
COUNTERS = {
    "pairs_1d": (lambda c, i, b: quor.count_pairs_1d(c, i, EDGES, b),
                 lambda c, i, b: _quor.count_pairs_1d(c, i, EDGES, b)),
    "pairs_2d": (lambda c, i, b: quor.count_pairs_2d(c, i, EDGES, EDGES[:4], b),
                 lambda c, i, b: _quor.count_pairs_2d(c, i, EDGES, EDGES[:4], b)),
    "pairs_smu": (lambda c, i, b: quor.count_pairs_smu(c, i, EDGES, 5, 1.0, b),
                  lambda c, i, b: _quor.count_pairs_smu(c, i, EDGES, 5, 1.0, b)),
    "npoint2": (lambda c, i, b: quor.count_npoint(c, i, EDGES, b, 2),
                lambda c, i, b: _quor.count_npoint(c, i, EDGES, b, 2)),
    "npoint3": (lambda c, i, b: quor.count_npoint(c, i, EDGES / 2, b, 3),
                lambda c, i, b: _quor.count_npoint(c, i, EDGES / 2, b, 3)),
    "npoint4": (lambda c, i, b: quor.count_npoint(c, i, EDGES / 2, b, 4),
                lambda c, i, b: _quor.count_npoint(c, i, EDGES / 2, b, 4)),
    "shape": (lambda c, i, b: quor.count_npoint3_shape(c, i, EDGES / 2, 4, b),
              lambda c, i, b: _quor.count_npoint3_shape(c, i, EDGES / 2, 4, b)),
}


def assert_same(result, expected):
    assert isinstance(result, tuple) and len(result) == 2
    assert np.any(expected[0] > 0) or np.any(expected[1] > 0)
    for got, want in zip(result, expected):
        assert got.dtype == np.float64
        np.testing.assert_array_equal(got, want)


@pytest.mark.parametrize("name", list(COUNTERS))
def test_equals_quor_module_in_box(name):
    ours, theirs = COUNTERS[name]
    coords, ids = catalogue()
    assert_same(ours(coords, ids, BOX), theirs(coords, ids, BOX))


def test_named_fields():
    coords, ids = catalogue(500)
    pairs = quor.count_pairs_1d(coords, ids, EDGES, BOX)
    assert (pairs.auto is pairs[0]) and (pairs.cross is pairs[1])
    groups = quor.count_npoint(coords, ids, EDGES, BOX, 3)
    np.testing.assert_array_equal(groups.by_partitions.sum(axis=0), groups.total)
    assert type(groups).__name__ == "GroupCounts" and type(pairs).__name__ == "PairCounts"


# Positions on a 1/64 grid: every dtype below holds them exactly, and x + BOX too.
def grid_catalogue():
    rng = np.random.default_rng(8)
    coords = rng.integers(0, int(BOX) * 64, size=(2000, 3)) / 64.0
    return coords, rng.integers(0, 30, size=2000).astype(np.int32)


@pytest.mark.parametrize("convert", [
    lambda c: c.astype(np.float32),
    lambda c: np.asfortranarray(c),
    lambda c: np.hstack([c, np.ones((len(c), 2))]),
    lambda c: c.tolist(),
    lambda c: c + BOX,
    lambda c: c - 3 * BOX,
    lambda c: np.where(c == 0.0, BOX, c),
], ids=["float32", "fortran", "extra-columns", "list", "plus-box", "minus-3-box", "at-box"])
def test_coordinate_inputs(convert):
    coords, ids = grid_catalogue()
    expected = _quor.count_pairs_2d(coords, ids, EDGES, EDGES, BOX)
    assert_same(quor.count_pairs_2d(convert(coords), ids, EDGES, EDGES, BOX), expected)


def test_integer_coordinates_and_lists():
    rng = np.random.default_rng(3)
    coords = rng.integers(0, int(BOX), size=(1500, 3))
    ids = rng.integers(0, 9, size=1500)
    expected = _quor.count_pairs_1d(coords.astype(np.float64), ids.astype(np.int32), EDGES, BOX)
    assert_same(quor.count_pairs_1d(coords, ids.tolist(), EDGES.tolist(), int(BOX)), expected)


def test_pandas_columns():
    pd = pytest.importorskip("pandas")
    coords, ids = grid_catalogue()
    frame = pd.DataFrame({"x": coords[:, 0].astype(np.float32), "y": coords[:, 1],
                          "z": coords[:, 2], "halo": ids.astype(np.int64)})
    expected = _quor.count_npoint(coords, ids, EDGES, BOX, 3)
    assert_same(quor.count_npoint(frame[["x", "y", "z"]], frame["halo"], EDGES, BOX, 3), expected)


def test_nullable_and_python_integer_ids():
    pd = pytest.importorskip("pandas")
    coords, ids = grid_catalogue()
    expected = _quor.count_pairs_1d(coords, ids, EDGES, BOX)
    assert_same(quor.count_pairs_1d(coords, pd.Series(ids, dtype="Int64"), EDGES, BOX), expected)
    huge = [int(v) + 2**70 for v in ids]  # beyond any NumPy integer: an object array
    assert_same(quor.count_pairs_1d(coords, np.array(huge, dtype=object), EDGES, BOX), expected)


def test_wrapped_copy_leaves_caller_array():
    coords, ids = grid_catalogue()
    shifted = coords + BOX
    before = shifted.copy()
    quor.count_pairs_1d(shifted, ids, EDGES, BOX)
    np.testing.assert_array_equal(shifted, before)


def test_tiny_negative_wraps_to_zero():
    # -1e-300 % 100 rounds to 100.0, the box edge itself: it must count as x = 0.
    coords = np.array([[-1e-300, 50.0, 50.0], [0.5, 50.0, 50.0], [99.75, 50.0, 50.0]])
    auto, _ = quor.count_pairs_1d(coords, [0, 0, 0], [0.0, 0.3, 0.6], BOX)
    np.testing.assert_array_equal(auto, [1.0, 1.0])  # 0.25 (0 and 99.75), 0.5 (0 and 0.5)


@pytest.mark.parametrize("dtype", [np.int8, np.uint16, np.int64, np.uint64])
@pytest.mark.parametrize("offset", [0, 2**40], ids=["in-int32", "beyond-int32"])
def test_partition_id_dtypes(dtype, offset):
    coords, ids = catalogue(2000)
    ids = np.abs(ids) % 100
    expected = _quor.count_npoint(coords, ids, EDGES / 2, BOX, 3)
    if offset and np.iinfo(dtype).max < offset:
        pytest.skip("dtype cannot hold the offset")
    wide = ids.astype(dtype) * (3 if offset else 1) + dtype(offset)
    assert_same(quor.count_npoint(coords, wide, EDGES / 2, BOX, 3), expected)


def test_ids_far_apart_stay_distinct():
    # Ids equal modulo 2**32 must not collapse into one partition.
    coords = np.array([[1.0, 1.0, 1.0], [1.5, 1.0, 1.0]])
    ids = np.array([5, 5 + 2**32], dtype=np.int64)
    auto, cross = quor.count_pairs_1d(coords, ids, [0.0, 1.0], BOX)
    assert (auto[0], cross[0]) == (0.0, 1.0)


def test_empty_catalogue():
    auto, cross = quor.count_pairs_1d(np.zeros((0, 3), np.float32), [], EDGES, BOX)
    np.testing.assert_array_equal(auto, np.zeros(6))


C, I = catalogue(50)
BAD_INPUTS = [
    (dict(coords=np.where(np.arange(150).reshape(50, 3) == 7, np.nan, C)), ValueError, "coords must be finite"),
    (dict(coords=np.where(np.arange(150).reshape(50, 3) == 7, -np.inf, C)), ValueError, "coords must be finite"),
    (dict(coords=C[:, :2]), ValueError, r"coords must have shape \(N, 3\)"),
    (dict(coords=C.astype(complex)), TypeError, "coords must hold real numbers"),
    (dict(coords=[["a", "b", "c"]]), TypeError, "coords must hold real numbers"),
    (dict(partition_ids=I[:-1]), ValueError, "partition_ids must hold one id per row"),
    (dict(partition_ids=I.astype(float)), TypeError, "partition_ids must hold integers"),
    # Booleans are two partitions; a masked array must have nothing masked.
    (dict(partition_ids=np.ma.masked_array(I, mask=I == I[7])), ValueError, "partition_ids: .* masked"),
    (dict(partition_ids=I.reshape(5, 10)), ValueError, "partition_ids must be one-dimensional"),
    (dict(r_bins=[]), ValueError, "r_bins must hold at least one edge"),
    (dict(r_bins=[0.0, np.nan]), ValueError, "r_bins must be finite"),
    (dict(r_bins=[0.0, np.inf]), ValueError, "r_bins must be finite"),
    (dict(r_bins=[-1.0, 2.0]), ValueError, "r_bins must be non-negative"),
    (dict(r_bins=[0.0, 2.0, 1.0]), ValueError, "r_bins must be non-decreasing"),
    (dict(r_bins=[[0.0, 1.0]]), ValueError, "r_bins must be one-dimensional"),
    (dict(box_size=0.0), ValueError, "box_size must be finite and positive"),
    (dict(box_size=np.nan), ValueError, "box_size must be finite and positive"),
    (dict(box_size="100"), TypeError, "box_size must be a real number"),
    (dict(box_size=None), TypeError, "box_size must be a real number"),
    (dict(progress="yes"), TypeError, "progress must be True, False or a callable"),
]


@pytest.mark.parametrize("bad, kind, message", BAD_INPUTS)
def test_bad_input_named(bad, kind, message):
    args = dict(coords=C, partition_ids=I, r_bins=EDGES, box_size=BOX)
    args.update(bad)
    with pytest.raises(kind, match=message):
        quor.count_pairs_1d(**args)


@pytest.mark.parametrize("call, kind, message", [
    (lambda: quor.count_npoint(C, I, EDGES, BOX, 0), ValueError, "n_order must be at least 1"),
    (lambda: quor.count_npoint(C, I, EDGES, BOX, 3.0), TypeError, "n_order must be an integer"),
    (lambda: quor.count_npoint3_shape(C, I, EDGES, 0, BOX), ValueError, "n_ratio must be at least 1"),
    (lambda: quor.count_pairs_smu(C, I, EDGES, 0, 1.0, BOX), ValueError, "n_mu_bins must be at least 1"),
    (lambda: quor.count_pairs_smu(C, I, EDGES, 4, 0.0, BOX), ValueError, "mu_max must be finite and positive"),
    (lambda: quor.count_pairs_2d(C, I, EDGES, [3.0, 1.0], BOX), ValueError, "pi_bins must be non-decreasing"),
    (lambda: quor.count_pairs_smu(C, I, [np.nan], 4, 1.0, BOX), ValueError, "s_bins must be finite"),
])
def test_bad_scalars_and_other_edges(call, kind, message):
    with pytest.raises(kind, match=message):
        call()


def test_public_surface():
    assert set(quor.__all__) >= {"count_pairs_1d", "count_pairs_2d", "count_pairs_smu",
                                 "count_npoint", "count_npoint3_shape"}
    assert isinstance(quor.__version__, str)
    for name in quor.__all__:
        obj = getattr(quor, name)
        if callable(obj) and name.startswith("count"):
            assert "Examples" in obj.__doc__ and "Mpc/h" in obj.__doc__
