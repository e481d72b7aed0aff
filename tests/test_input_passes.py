"""The package's passes over a catalogue, run on the pool, against their NumPy
definitions bit for bit: wrapping into the box (np.mod, then box -> 0.0), the float64
conversion, the int32 ids and the dense relabelling (np.unique's inverse), the cubes."""
import numpy as np
import pytest

from quor import _inputs, _kernels

# Past one chunk of rows (1 << 16), so the pool runs the passes.
POOL_ROWS = 2 * 65_536 + 7
INT32 = np.iinfo(np.int32)
INT64 = np.iinfo(np.int64)
UINT64 = np.iinfo(np.uint64)


def edge_values(box):
    """Values on every decision of the wrap: signed zeros, tiny negatives that round to
    box, the box and its multiples and their neighbours, subnormals, huge values."""
    tiny = np.nextafter(0.0, 1.0)
    v = [0.0, -0.0, tiny, -tiny, -1e-300, -1e-17 * box, box, -box, 2 * box, -2 * box,
         3 * box, 0.5 * box, -0.5 * box, 1.5 * box, 7.25 * box, -7.25 * box,
         box * 2.0**40, -box * 2.0**40, 1e300, -1e300, np.finfo(np.float64).max,
         -np.finfo(np.float64).max, 12345.678, -12345.678]
    for m in (-2, -1, 0, 1, 2, 3):
        for d in (-np.inf, np.inf):
            v.append(np.nextafter(m * box, d))
    return np.array(v)


def numpy_wrap(xyz, box):
    """The wrap as NumPy defines it, on a float64 copy."""
    out = np.array(xyz, dtype=np.float64, order="C")
    if out.size and not (out.min() >= 0.0 and out.max() < box):
        np.mod(out, box, out=out)
        out[out >= box] = 0.0
    return out


def assert_same_bits(got, expected):
    got, expected = np.ascontiguousarray(got), np.ascontiguousarray(expected)
    assert got.dtype == expected.dtype and got.shape == expected.shape
    np.testing.assert_array_equal(got.view(np.uint64), expected.view(np.uint64))


def layouts(xyz):
    """The same positions as the layouts users pass: C order, Fortran order, the first
    three columns of an (N, 5) array, rows reversed (negative strides)."""
    wide = np.concatenate([xyz, np.full((len(xyz), 2), np.nan)], axis=1)  # extra columns unread
    return {"C": np.ascontiguousarray(xyz), "F": np.asfortranarray(xyz), "(N, 5)": wide,
            "reversed": np.ascontiguousarray(xyz[::-1])[::-1]}


@pytest.mark.parametrize("box", [2000.0, 0.1, 1e-3])
@pytest.mark.parametrize("dtype", [np.float64, np.float32])
@pytest.mark.parametrize("rows", [None, POOL_ROWS])
@pytest.mark.parametrize("threads", [1, 2])
def test_wrap_equals_numpy_on_edge_values(box, dtype, rows, threads):
    with np.errstate(over="ignore"):
        values = edge_values(box).astype(dtype)
    values = values[np.isfinite(values)]  # float32 overflows the largest to infinity
    n = len(values) if rows is None else rows
    rng = np.random.default_rng(3)
    xyz = np.stack([np.resize(values, n), np.resize(values[::-1], n),
                    rng.choice(values, n)], axis=1)
    expected = numpy_wrap(xyz, box)
    for layout, arr in layouts(xyz).items():
        before = arr.copy()
        got = _inputs.positions(arr, box, threads=threads)
        assert_same_bits(got, expected)
        np.testing.assert_array_equal(arr, before)  # never written


@pytest.mark.parametrize("threads", [1, 2])
def test_in_box_float64_is_passed_on_and_others_copied(threads):
    rng = np.random.default_rng(1)
    xyz = rng.uniform(0.0, 10.0, size=(POOL_ROWS, 4))
    xyz[5, 0] = -0.0  # inside: 0.0 >= -0.0, and kept as it is
    for arr in (xyz, np.asfortranarray(xyz)):
        got = _inputs.positions(arr, 10.0, threads=threads)
        assert np.shares_memory(got, arr)
        assert_same_bits(got, arr[:, :3])
    # A float32 catalogue inside the box is converted but not wrapped (its -0.0 stays).
    single = xyz.astype(np.float32)
    assert_same_bits(_inputs.positions(single, 10.0, threads=threads), single[:, :3].astype(np.float64))


@pytest.mark.parametrize("dtype", [np.float64, np.float32])
@pytest.mark.parametrize("bad", [np.nan, np.inf, -np.inf])
@pytest.mark.parametrize("row", [0, POOL_ROWS - 1])
def test_non_finite_positions_raise_wherever_they_are(dtype, bad, row):
    xyz = np.random.default_rng(2).uniform(-5.0, 15.0, size=(POOL_ROWS, 3)).astype(dtype)
    xyz[row, 2] = bad
    with pytest.raises(ValueError, match="coords2 must be finite: found NaN or infinite positions"):
        _inputs.positions(xyz, 10.0, name="coords2", threads=2)


def test_table_columns_of_mixed_dtypes():
    pd = pytest.importorskip("pandas")
    values = edge_values(3.0)
    values = values[np.abs(values) < 1e38]  # within float32
    n = POOL_ROWS
    frame = pd.DataFrame({"X": np.resize(values, n), "y": np.resize(values, n).astype(np.float32),
                          "z": np.arange(n) - 7, "w": np.nan})
    expected = numpy_wrap(np.stack([frame["X"], frame["y"].astype(np.float64),
                                    frame["z"].astype(np.float64)], axis=1), 3.0)
    assert_same_bits(_inputs.positions(frame, 3.0, threads=2), expected)
    big_endian = {"x": frame["X"].to_numpy().astype(">f8"), "y": frame["y"].to_numpy(),
                  "z": frame["z"].to_numpy()}
    assert_same_bits(_inputs.positions(big_endian, 3.0), expected)


# ---------------------------------------------------------------------------------------------
# Ids


def id_arrays():
    """Ids that fit int32 in every integer dtype, and the int32 extremes."""
    rng = np.random.default_rng(5)
    for dtype in (np.int8, np.uint8, np.int16, np.uint16, np.uint32, np.int64, np.uint64, ">i8"):
        hi = min(np.iinfo(dtype).max, INT32.max)
        lo = max(np.iinfo(dtype).min, INT32.min)
        ids = rng.integers(lo, hi, POOL_ROWS, endpoint=True).astype(dtype)
        ids[:2] = [lo, hi]
        yield np.dtype(dtype).str, ids


@pytest.mark.parametrize("name,ids", list(id_arrays()))
@pytest.mark.parametrize("threads", [1, 2])
def test_ids_that_fit_int32_are_cast(name, ids, threads):
    got = _inputs.partition_ids(ids, len(ids), threads=threads)
    assert got.dtype == np.int32
    np.testing.assert_array_equal(got, ids.astype(np.int64))
    np.testing.assert_array_equal(_inputs.partition_ids(ids[::-3], len(ids[::-3])),
                                  ids[::-3].astype(np.int64))


def beyond_int32():
    """Ids that leave int32 by one step, and the 64-bit extremes, with duplicates."""
    rng = np.random.default_rng(6)
    yield np.array([INT32.max + 1, 0, INT32.max + 1, -1], dtype=np.int64)
    yield np.array([INT32.min - 1, INT32.min, INT32.max], dtype=np.int64)
    yield np.array([INT64.min, INT64.max, -1, 0, 1, INT64.min], dtype=np.int64)
    yield np.array([UINT64.max, 0, 2**63, 2**63 - 1, 2**31], dtype=np.uint64)
    yield np.array([2**32 - 1, 5, 2**31], dtype=np.uint32)
    many = rng.integers(INT64.min, INT64.max, POOL_ROWS, dtype=np.int64)
    many[::7] = many[3]  # repeats across every piece
    yield many
    yield rng.integers(0, 1000, POOL_ROWS).astype(np.uint64) * np.uint64(2**53)


@pytest.mark.parametrize("ids", list(beyond_int32()), ids=lambda a: f"{a.dtype}-{a.size}")
@pytest.mark.parametrize("threads", [1, 2])
def test_relabelling_equals_numpy_unique(ids, threads):
    expected = np.unique(ids, return_inverse=True)[1].reshape(-1)
    got = _inputs.partition_ids(ids, len(ids), threads=threads)
    assert got.dtype == np.int32
    np.testing.assert_array_equal(got, expected)
    if ids.dtype.itemsize == 8:
        # The pieces' sort and merge, with many pieces on few rows.
        for piece_rows in (1, 3, 1000):
            out = np.empty(len(ids), dtype=np.int32)
            assert _kernels.relabel_dense(ids, out, threads, piece_rows) == expected.max() + 1
            np.testing.assert_array_equal(out, expected)


def test_ids_of_two_catalogues_relabelled_together():
    first = np.array([2**40, 3, 3, -2**40])
    second = np.array([3, -5, 7], dtype=np.int32)
    expected = np.unique(np.concatenate([first, second]), return_inverse=True)[1]
    a, b = _inputs.partition_id_pair(first, 4, second, 3, threads=2)
    np.testing.assert_array_equal(np.concatenate([a, b]), expected)
    # Both fit int32: cast, not relabelled.
    a, b = _inputs.partition_id_pair(first % 100, 4, second, 3)
    np.testing.assert_array_equal(a, first % 100)
    assert b is second


# ---------------------------------------------------------------------------------------------
# Jackknife cubes


@pytest.mark.parametrize("box,n", [(0.3, 1), (0.3, 10), (2000.0, 3), (1.1, 33)])
@pytest.mark.parametrize("threads", [1, 2])
def test_cube_labels_equal_numpy(box, n, threads):
    # In the last two, the x just below the box has x / (box / n) rounded up to n.
    rng = np.random.default_rng(7)
    faces = np.arange(n + 1) * (box / n)
    near = np.concatenate([faces, np.nextafter(faces, 0.0), np.nextafter(faces, 1.0),
                           [np.nextafter(box, 0.0), 0.0, -0.0]])
    xyz = rng.choice(near[(near >= 0.0) & (near < box)], size=(POOL_ROWS, 3))
    xyz = np.asfortranarray(xyz)  # any layout
    side = box / n
    cells = np.minimum(np.floor(xyz / side).astype(np.int64), n - 1)
    expected = ((cells[:, 0] * n + cells[:, 1]) * n + cells[:, 2]).astype(np.int32)
    np.testing.assert_array_equal(_inputs.cube_labels(xyz, n, box, threads=threads), expected)


# ---------------------------------------------------------------------------------------------
# The kernels' own checks of what the package hands them


def test_passes_refuse_bad_arrays():
    x = np.zeros(4)
    with pytest.raises(TypeError, match="float32 or float64"):
        _kernels.scan_positions(x.astype(np.int64), x, x, 1.0)
    with pytest.raises(ValueError, match="equally long"):
        _kernels.scan_positions(x, x, x[:3], 1.0)
    with pytest.raises(ValueError, match="writeable C-ordered"):
        _kernels.copy_positions(x, x, x, 1.0, True, np.empty((4, 3), order="F"))
    with pytest.raises(ValueError, match="writeable C-ordered"):
        _kernels.copy_positions(x, x, x, 1.0, True, np.empty((3, 3)))
    read_only = np.empty(4, dtype=np.int32)
    read_only.flags.writeable = False
    with pytest.raises(ValueError, match="writeable C-ordered"):
        _kernels.ids_to_int32(np.arange(4), read_only)
    with pytest.raises(TypeError, match="8-byte"):
        _kernels.relabel_dense(np.arange(4, dtype=np.int32), np.empty(4, dtype=np.int32))
    with pytest.raises(ValueError, match="threads must be at least 1"):
        _kernels.ids_to_int32(np.arange(4), np.empty(4, dtype=np.int32), 0)
