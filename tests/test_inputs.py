"""Catalogues as users hold them: tables read by column name, boolean and nullable ids,
masked arrays, positions laid out as rows; in quor, its estimators and quor.distributed."""
import numpy as np
import pytest

import _quor
import quor

BOX = 100.0
R = np.linspace(0.0, 12.0, 7)
PI = np.linspace(0.0, 20.0, 5)


def catalogue(n=2000, seed=8):
    # Positions on a 1/64 grid: float32 holds them exactly.
    rng = np.random.default_rng(seed)
    return rng.integers(0, int(BOX) * 64, size=(n, 3)) / 64.0, rng.integers(0, 30, size=n)


XYZ, IDS = catalogue()
# (r_p, pi) counts tell the axes apart: the line of sight is z.
EXPECTED = _quor.count_pairs_2d(XYZ, IDS.astype(np.int32), R, PI, BOX)


def count(coords, ids=IDS, counter=quor.count_pairs_2d):
    return counter(coords, ids, R, PI, BOX)


def assert_counts(got, expected=EXPECTED):
    assert np.any(expected[0] > 0) and np.any(expected[1] > 0)
    for g, e in zip(got, expected):
        np.testing.assert_array_equal(g, e)


def structured(fields):
    table = np.zeros(len(XYZ), dtype=[(name, dt) for name, dt, _ in fields])
    for name, _, values in fields:
        table[name] = values
    return table


# ---------------------------------------------------------------------------------------------
# Tables: the columns named x, y and z, in that order, whatever else the table holds


def frame(columns):
    pd = pytest.importorskip("pandas")
    return pd.DataFrame(dict(columns))


X, Y, Z = XYZ.T
TABLES = {
    "frame-id-first": lambda: frame([("halo_id", IDS), ("x", X), ("y", Y), ("z", Z)]),
    "frame-zyx": lambda: frame([("z", Z), ("y", Y), ("x", X)]),
    "frame-upper-mixed-dtypes": lambda: frame([("Z", Z.astype(np.float32)), ("X", X), ("Y", Y),
                                               ("name", ["gal"] * len(X))]),
    "frame-category": lambda: frame([("kind", np.where(IDS > 3, "sat", "cen")), ("x", X),
                                     ("y", Y), ("z", Z)]).astype({"kind": "category"}),
    "structured": lambda: structured([("id", "i8", IDS), ("name", "U4", "gal"), ("z", "f8", Z),
                                      ("x", "f4", X), ("y", "i8", np.zeros_like(Y))]),
    "dict": lambda: {"mass": np.ones(len(X)), "Y": Y.tolist(), "X": X, "Z": Z},
}


@pytest.mark.parametrize("kind", list(TABLES))
def test_tables_read_by_column_name(kind):
    table = TABLES[kind]()
    if kind == "structured":  # y is all zero there: compare with that catalogue
        flat = np.column_stack([X, np.zeros_like(Y), Z])
        assert_counts(count(table), _quor.count_pairs_2d(flat, IDS.astype(np.int32), R, PI, BOX))
    else:
        assert_counts(count(table))


def test_pandas_stays_optional():
    # quor reads pandas objects without importing pandas, at import or while counting.
    import subprocess
    import sys
    code = ("import sys, quor, quor.estimators; quor.count_pairs_1d({'x': [1.0], 'y': [2.0], 'z': [3.0]}, "
            "[0], [0.0, 1.0], 10.0); assert 'pandas' not in sys.modules, 'pandas imported'")
    subprocess.run([sys.executable, "-c", code], check=True, timeout=120)


def test_frame_labelled_by_position_keeps_the_first_three_columns():
    pd = pytest.importorskip("pandas")
    assert_counts(count(pd.DataFrame(np.column_stack([XYZ, IDS]))))


@pytest.mark.parametrize("table, shown", [
    (lambda: frame([("halo_id", IDS), ("px", X), ("py", Y), ("pz", Z)]), "'halo_id', 'px', 'py', 'pz'"),
    (lambda: structured([("pos_x", "f8", X), ("pos_y", "f8", Y), ("pos_z", "f8", Z)]),
     "'pos_x', 'pos_y', 'pos_z'"),
    (lambda: {"x": X, "y": Y}, "'x', 'y'"),
], ids=["frame", "structured", "dict"])
def test_table_without_xyz_names_its_columns(table, shown):
    with pytest.raises(ValueError, match="coords is a table without columns x, y and z") as info:
        count(table())
    assert shown in str(info.value) and 'coords[["x", "y", "z"]]' in str(info.value)


@pytest.mark.parametrize("table, message", [
    (lambda: {"x": X, "X": X, "y": Y, "z": Z}, "coords has 2 columns named x"),
    (lambda: {"x": X, "y": Y, "z": Z[:-1]}, "coords columns must be equally long"),
    (lambda: {"x": X, "y": Y, "z": np.full(len(Z), "a")}, "coords column 'z' must hold real numbers"),
], ids=["twice", "ragged", "strings"])
def test_unusable_table_columns(table, message):
    with pytest.raises((ValueError, TypeError), match=message):
        count(table())


# ---------------------------------------------------------------------------------------------
# Ids as users hold them


def test_boolean_ids_are_two_partitions():
    central = IDS < 5
    expected = _quor.count_pairs_2d(XYZ, central.astype(np.int32), R, PI, BOX)
    assert_counts(count(XYZ, central), expected)
    assert_counts(count(XYZ, central.tolist()), expected)
    pd = pytest.importorskip("pandas")
    assert_counts(count(XYZ, pd.Series(central, dtype="boolean")), expected)


@pytest.mark.parametrize("dtype", ["Int64", "UInt16", "Int8"])
def test_nullable_ids_with_nothing_missing(dtype):
    pd = pytest.importorskip("pandas")
    assert_counts(count(XYZ, pd.Series(IDS, dtype=dtype)))
    assert_counts(count(XYZ, pd.array(IDS, dtype=dtype)))


def test_missing_nullable_ids_raise_with_count_and_first_row():
    pd = pytest.importorskip("pandas")
    ids = pd.Series(IDS, dtype="Int64")
    ids[[17, 40, 1999]] = pd.NA
    with pytest.raises(ValueError, match=r"partition_ids: 3 ids are missing \(first at row 17\)"):
        count(XYZ, ids)
    with pytest.raises(ValueError, match=r"partition_ids: 1 id is missing \(first at row 5\)"):
        count(XYZ, pd.array([None if i == 5 else int(v) for i, v in enumerate(IDS)], dtype="Int64"))


# ---------------------------------------------------------------------------------------------
# Masked arrays, missing positions and positions laid out as rows


def test_masked_arrays_without_masked_entries_count_as_plain():
    assert_counts(count(np.ma.masked_array(XYZ), np.ma.masked_array(IDS, mask=False)))
    wide = np.ma.masked_array(np.column_stack([XYZ, IDS]))
    wide[3, 3] = np.ma.masked  # an ignored column: the positions are all there
    assert_counts(count(wide))


@pytest.mark.parametrize("coords, ids, message", [
    (lambda: np.ma.masked_array(XYZ, mask=np.arange(XYZ.size).reshape(XYZ.shape) % 997 == 5),
     lambda: IDS, r"coords: 7 rows have positions that are masked \(first at row 1\)"),
    (lambda: XYZ, lambda: np.ma.masked_array(IDS, mask=np.arange(len(IDS)) == 30),
     r"partition_ids: 1 id is masked \(first at row 30\)"),
    (lambda: {"x": np.ma.masked_array(X, mask=np.arange(len(X)) >= 1990), "y": Y, "z": Z},
     lambda: IDS, r"coords: 10 rows have positions that are masked \(first at row 1990\)"),
], ids=["coords", "ids", "table-column"])
def test_masked_entries_raise(coords, ids, message):
    with pytest.raises(ValueError, match=message):
        count(coords(), ids())


def test_missing_positions_in_a_frame_raise():
    pd = pytest.importorskip("pandas")
    table = pd.DataFrame({"x": pd.array(X, dtype="Float64"), "y": Y, "z": Z})
    table.loc[7, "x"] = pd.NA
    with pytest.raises(ValueError, match=r"coords: 1 row has positions that are missing \(first at row 7\)"):
        count(table)


@pytest.mark.parametrize("coords", [lambda: XYZ.T, lambda: XYZ.T.tolist(), lambda: XYZ[:2].T],
                         ids=["array", "list", "two-galaxies"])
def test_positions_as_rows_raise_suggesting_transpose(coords):
    c = coords()
    with pytest.raises(ValueError, match=r"coords must have shape \(N, 3\), got \(3, \d+\).*coords\.T"):
        count(c, IDS[:np.shape(c)[1]])


def test_three_galaxies_with_extra_columns_still_count():
    three = np.array([[1.0, 1.0, 1.0, 9.0, 9.0], [2.0, 1.0, 1.0, 9.0, 9.0], [1.0, 3.0, 1.0, 9.0, 9.0]])
    auto, _ = quor.count_pairs_1d(three, [0, 0, 0], [0.0, 1.5, 3.0], BOX)
    np.testing.assert_array_equal(auto, [1.0, 2.0])


def test_estimators_read_inputs_alike():
    pd = pytest.importorskip("pandas")
    table = pd.DataFrame({"halo": IDS, "z": Z, "y": Y, "x": X})
    expected = quor.xi_one_two_halo(XYZ, IDS, R[1:4], BOX)
    for got, want in zip(quor.xi_one_two_halo(table, table["halo"], R[1:4], BOX), expected):
        np.testing.assert_array_equal(got, want)
    with pytest.raises(ValueError, match="coords.T"):
        quor.xi_one_two_halo(XYZ.T, IDS, R[1:4], BOX)


# ---------------------------------------------------------------------------------------------
# quor.distributed reads a catalogue held in memory the same way


@pytest.fixture(scope="module")
def client():
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(n_workers=1, threads_per_worker=2, processes=False,
                                  dashboard_address=":0") as cluster:
        with distributed.Client(cluster) as c:
            yield c


def test_distributed_reads_tables_and_ids_alike(client):
    import quor.distributed as qd

    def spread(coords, ids):
        return qd.count_pairs_2d(coords, ids, R, PI, BOX, client=client, n_slabs=3)

    assert_counts(spread(TABLES["frame-id-first"](), IDS))
    assert_counts(spread(TABLES["dict"](), np.ma.masked_array(IDS)))
    central = IDS < 5
    assert_counts(spread(XYZ, central), _quor.count_pairs_2d(XYZ, central.astype(np.int32), R, PI, BOX))
    # A held table beside Dask ids, and Dask boolean ids.
    da = pytest.importorskip("dask.array")
    assert_counts(spread(TABLES["frame-zyx"](), da.from_array(IDS, chunks=700)))
    assert_counts(spread(XYZ, da.from_array(central, chunks=700)),
                  _quor.count_pairs_2d(XYZ, central.astype(np.int32), R, PI, BOX))
    for coords, ids, message in [
            (XYZ.T, IDS, r"coords\.T"),
            ({"a": X, "b": Y, "c": Z}, IDS, r'coords\[\["x", "y", "z"\]\]'),
            (np.ma.masked_array(XYZ, mask=XYZ > 99.9), IDS, "positions that are masked"),
            (XYZ, np.ma.masked_array(IDS, mask=IDS == 3), "ids are masked")]:
        with pytest.raises(ValueError, match=message):
            spread(coords, ids)
