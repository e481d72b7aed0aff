"""Conversion and checks of the counters' inputs: catalogues as users hold them, turned
into the float64 positions inside the box and the int32 partition ids the kernels read."""
from __future__ import annotations

import math
import numbers
import operator
import os
from collections.abc import Mapping
from typing import Any, List, NamedTuple, Optional, Tuple

import numpy as np

from . import _kernels

# What _kernels.scan_positions finds.
_INSIDE_BOX, _OUTSIDE_BOX, _NOT_FINITE = 0, 1, 2
# The dtypes the kernels' passes read as they are.
_PASS_REALS = (np.dtype(np.float32), np.dtype(np.float64))
_INT32 = np.iinfo(np.int32)
_INT64 = np.iinfo(np.int64)


def _real_array(name: str, values: Any) -> np.ndarray:
    """`values` as an array of real numbers (integers and floats, any precision)."""
    try:
        arr = np.asarray(values)
    except Exception as exc:  # ragged lists and the like
        raise TypeError(f"{name} must be an array of real numbers ({exc})") from exc
    if arr.dtype.kind in "fiu":
        return arr
    if arr.dtype.kind == "O":  # e.g. a DataFrame with mixed column types
        try:
            return arr.astype(np.float64)
        except (TypeError, ValueError) as exc:
            raise TypeError(f"{name} must hold real numbers ({exc})") from exc
    raise TypeError(f"{name} must hold real numbers, not {arr.dtype}")


def positive_real(name: str, value: Any) -> float:
    """A finite, positive real number given as argument `name`."""
    try:
        if isinstance(value, (str, bytes)):  # float() would parse them
            raise TypeError
        number = float(value)
    except (TypeError, ValueError) as exc:
        raise TypeError(f"{name} must be a real number, not {type(value).__name__}") from exc
    if not (math.isfinite(number) and number > 0.0):
        raise ValueError(f"{name} must be finite and positive, got {number!r}")
    return number


def box_size(value: Any) -> float:
    """The box side as a float: finite and positive."""
    return positive_real("box_size", value)


# ---------------------------------------------------------------------------------------------
# Catalogues


def catalogue(coords: Any, ids: Any, box: float, *,
              threads: Optional[int] = None) -> Tuple[np.ndarray, np.ndarray]:
    """A catalogue's positions (float64, inside the box) and int32 partition ids, read on
    at most `threads` of the pool's workers (None: all)."""
    xyz = positions(coords, box, n_ids=length(ids), threads=threads)
    return xyz, partition_ids(ids, xyz.shape[0], threads=threads)


def catalogue_pair(coords: Any, ids: Any, coords2: Any, ids2: Any, box: float, *,
                   threads: Optional[int] = None,
                   ) -> Tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray]:
    """Two catalogues' positions and int32 ids, the ids in one namespace (see
    partition_id_pair); errors about the second name coords2 and partition_ids2."""
    xyz = positions(coords, box, n_ids=length(ids), threads=threads)
    xyz2 = positions(coords2, box, n_ids=length(ids2), name="coords2", threads=threads)
    first, second = partition_id_pair(ids, xyz.shape[0], ids2, xyz2.shape[0], threads=threads)
    return xyz, first, xyz2, second


def length(values: Any) -> Optional[int]:
    """len(values), or None when it has none (a scalar, or a Dask array of unknown
    length)."""
    try:
        return len(values)
    except (TypeError, ValueError):
        return None


def _split_mask(values: Any) -> Tuple[Any, Optional[np.ndarray], str]:
    """`values` without their mask, the mask of their missing entries (None when no
    entry is missing) and the word for them. A NumPy masked array keeps the masked
    values under the mask, and np.asarray would count them; pandas' nullable columns
    turn missing values into NaN or objects."""
    if isinstance(values, np.ma.MaskedArray):
        mask = np.ma.getmask(values)  # nomask (False) when nothing was ever masked
        if mask is np.ma.nomask or not mask.any():
            return np.ma.getdata(values), None, ""
        return np.ma.getdata(values), np.ma.getmaskarray(values), "masked"
    if callable(getattr(values, "isna", None)) and hasattr(values, "to_numpy"):
        mask = np.asarray(values.isna())  # a pandas Series, Index, array or frame
        if mask.dtype == bool and mask.any():
            return values, mask, "missing"
        # A nullable dtype names the NumPy dtype it holds when nothing is missing.
        dtype = getattr(getattr(values, "dtype", None), "numpy_dtype", None)
        return (values.to_numpy() if dtype is None else values.to_numpy(dtype=dtype)), None, ""
    return values, None, ""


def _refuse_missing(name: str, mask: Optional[np.ndarray], how: str) -> None:
    """ValueError naming how many rows `mask` marks and the first, if any."""
    if mask is None:
        return
    rows = mask.reshape(mask.shape[0], -1).any(axis=1) if mask.ndim else mask.reshape(1)
    n = int(rows.sum())
    if n:
        if name.startswith("partition_ids"):
            what = "id is" if n == 1 else "ids are"
        elif name.startswith("regions"):
            what = "label is" if n == 1 else "labels are"
        elif name.startswith("weights"):
            what = "weight is" if n == 1 else "weights are"
        else:
            what = ("row has" if n == 1 else "rows have") + " positions that are"
        raise ValueError(f"{name}: {n} {what} {how} (first at row {int(np.argmax(rows))}); "
                         f"drop those galaxies, or fill them in, before counting")


def _is_table(coords: Any) -> bool:
    """Whether `coords` has columns reached by name: a dict of arrays, a NumPy
    structured array, or a data frame with string column labels. A frame labelled by
    position (pandas' 0, 1, 2, ...) is an array like any other."""
    if isinstance(coords, np.ndarray):
        return coords.dtype.names is not None
    if isinstance(coords, Mapping):
        return True
    labels = getattr(coords, "columns", None)
    if labels is None:
        return False
    try:
        return any(isinstance(label, str) for label in labels)
    except TypeError:
        return False


def _named_columns(coords: Any, cname: str = "coords") -> List[np.ndarray]:
    """The columns x, y and z of a table (their names matched whatever their case), in
    that order, as three equally long 1-D arrays of real numbers; other columns are not
    read. Errors call the table `cname`."""
    if isinstance(coords, np.ndarray):
        labels: List[Any] = list(coords.dtype.names)
    elif isinstance(coords, Mapping):
        labels = list(coords.keys())
    else:
        labels = list(coords.columns)
    picked = []
    for axis in "xyz":
        found = [label for label in labels if isinstance(label, str) and label.lower() == axis]
        if len(found) > 1:
            raise ValueError(f"{cname} has {len(found)} columns named {axis} "
                             f"({', '.join(map(repr, found))}): keep one")
        if not found:
            raise ValueError(
                f"{cname} is a table without columns x, y and z (its columns: "
                f"{', '.join(map(repr, labels)) or 'none'}); pass the position columns "
                f'named x, y and z, for example {cname}[["x", "y", "z"]]')
        picked.append(found[0])
    out: List[np.ndarray] = []
    for k, label in enumerate(picked):
        name = f"{cname} column {label!r}"
        data, mask, how = _split_mask(coords[label])
        column = np.asarray(mask) if mask is not None else _real_array(name, data)
        if column.ndim != 1:
            raise ValueError(f"{name} must be one-dimensional, got shape {column.shape}")
        if k > 0 and column.shape[0] != out[0].shape[0]:
            raise ValueError(f"{cname} columns must be equally long: {picked[0]!r} has "
                             f"{out[0].shape[0]} rows, {label!r} has {column.shape[0]}")
        _refuse_missing(cname, mask, how)
        out.append(column)
    return out


def _first_columns(coords: Any, n_ids: Optional[int], cname: str = "coords") -> np.ndarray:
    """An array-like of shape (N, >= 3) as an array of real numbers, its first three
    columns checked for missing values."""
    data, mask, how = _split_mask(coords)
    arr = np.asarray(mask) if mask is not None else _real_array(cname, data)
    if arr.ndim == 2 and arr.shape[0] == 3 and arr.shape[1] != 3 and (arr.shape[1] < 3 or n_ids != 3):
        # x, y and z as three rows. (3, M) is only a catalogue of 3 galaxies with extra
        # columns when there are 3 ids.
        raise ValueError(f"{cname} must have shape (N, 3), got {arr.shape}: its rows look like "
                         f"x, y and z; pass {cname}.T")
    if arr.ndim != 2 or arr.shape[1] < 3:
        raise ValueError(f"{cname} must have shape (N, 3) (extra columns are ignored), got {arr.shape}")
    if mask is not None:
        _refuse_missing(cname, mask[:, :3], how)
        arr = _real_array(cname, data)  # entries masked beyond the third column only
    return arr


def positions(coords: Any, box: float, *, n_ids: Optional[int] = None,
              name: str = "coords", threads: Optional[int] = None) -> np.ndarray:
    """The positions of `coords` as float64, wrapped into [0, box): the columns x, y and
    z of a table, or else the first three columns. `n_ids`, the number of partition ids
    when known, tells a (3, N) array of N galaxies from 3 galaxies with extra columns.
    Errors call the argument `name`. The passes run on at most `threads` workers.

    A catalogue already inside the box in float64 is passed on as it is, without a copy
    (any memory layout); anything else is converted once into a C-ordered array, wrapped
    as np.mod(x, box) does, with the periodic image of box itself, 0.0, for the tiny
    negative x that round to x + box == box.
    """
    if _is_table(coords):
        columns = _named_columns(coords, name)
        caller = None
    else:
        caller = _first_columns(coords, n_ids, name)
        columns = [caller[:, k] for k in range(3)]
    rows = columns[0].shape[0]
    if rows == 0:
        return np.empty((0, 3)) if caller is None else caller[:, :3].astype(np.float64, copy=False)
    # float32 and float64 are read as they are; other reals (integers, float16, other
    # byte orders) are converted first, as rare as they are.
    columns = [c if c.dtype in _PASS_REALS else c.astype(np.float64) for c in columns]
    found = _kernels.scan_positions(*columns, box, threads)
    if found == _NOT_FINITE:
        raise ValueError(f"{name} must be finite: found NaN or infinite positions")
    if found == _INSIDE_BOX and caller is not None and caller.dtype == np.float64:
        return caller[:, :3]
    xyz = np.empty((rows, 3), dtype=np.float64)
    _kernels.copy_positions(*columns, box, found == _OUTSIDE_BOX, xyz, threads)
    return xyz


def partition_ids(ids: Any, n_rows: int, name: str = "partition_ids",
                  coords_name: str = "coords", *, threads: Optional[int] = None) -> np.ndarray:
    """`ids` as int32, one per row (booleans are ids 0 and 1). Ids outside the int32 range
    are relabelled densely (0, 1, 2, ... in sorted order): counts depend only on which
    ids are equal. Missing or masked ids raise ValueError."""
    arr = _integer_ids(ids, n_rows, name, coords_name)
    if arr.dtype == np.int32 and arr.dtype.isnative:
        return arr
    as_int32 = _as_int32(arr, threads)
    return as_int32 if as_int32 is not None else _relabel(arr, name, threads)


def partition_id_pair(ids: Any, n_rows: int, ids2: Any, n_rows2: int, *,
                      names: Tuple[str, str, str, str] = ("partition_ids", "coords",
                                                          "partition_ids2", "coords2"),
                      threads: Optional[int] = None) -> Tuple[np.ndarray, np.ndarray]:
    """The ids of two catalogues as int32, one per row of each, in one namespace: equal
    ids stay equal across the catalogues. When either leaves the int32 range, both are
    relabelled together (0, 1, 2, ... in sorted order of the ids of both). Errors call
    the arguments `names`: the first ids, their positions, the second ids, theirs."""
    name, coords_name, name2, coords_name2 = names
    first = _integer_ids(ids, n_rows, name, coords_name)
    second = _integer_ids(ids2, n_rows2, name2, coords_name2)
    first32 = _as_int32(first, threads)
    second32 = _as_int32(second, threads) if first32 is not None else None
    if first32 is not None and second32 is not None:
        return first32, second32
    # One dtype that holds both exactly: int64 where it can, else Python's integers.
    if all(a.dtype.kind in "iu" and (a.size == 0 or int(a.max()) <= _INT64.max)
           for a in (first, second)):
        both = np.concatenate([first.astype(np.int64), second.astype(np.int64)])
    else:
        both = np.array(first.tolist() + second.tolist(), dtype=object)
    joint = _relabel(both, f"{name} and {name2} together", threads)
    return joint[:n_rows], joint[n_rows:]


def _as_int32(arr: np.ndarray, threads: Optional[int]) -> Optional[np.ndarray]:
    """Integer ids as int32 when all fit, else None; `arr` itself when already int32."""
    if arr.dtype.kind not in "iu":
        return None  # Python integers beyond int64
    if arr.dtype == np.int32:
        return arr
    if not arr.dtype.isnative:
        arr = arr.astype(arr.dtype.newbyteorder("="))
    out = np.empty(arr.shape[0], dtype=np.int32)
    return out if _kernels.ids_to_int32(arr, out, threads) else None


def _integer_ids(ids: Any, n_rows: int, name: str, coords_name: str) -> np.ndarray:
    """`ids` as a one-dimensional NumPy array of integers, one per row: in the dtype they
    come in, booleans as int32, Python integers beyond every NumPy dtype as objects."""
    data, mask, how = _split_mask(ids)
    arr = np.asarray(mask) if mask is not None else np.asarray(data)
    if arr.ndim != 1:
        raise ValueError(f"{name} must be one-dimensional, got shape {arr.shape}")
    if arr.shape[0] != n_rows:
        raise ValueError(
            f"{name} must hold one id per row of {coords_name} ({n_rows}), got {arr.shape[0]}")
    _refuse_missing(name, mask, how)
    arr = np.asarray(data)
    if arr.dtype.kind == "O" and arr.size:
        # Python ints: NumPy infers the dtype of the values themselves; integers beyond
        # any NumPy dtype are relabelled as they are.
        inferred = np.array(arr.tolist())
        if inferred.dtype.kind == "O" and all(
                isinstance(v, numbers.Integral) and not isinstance(v, bool) for v in arr):
            return arr
        arr = inferred
    if arr.dtype.kind == "b":
        return arr.astype(np.int32)  # two partitions, as in centrals and satellites
    if arr.dtype.kind not in "iu":
        if arr.size == 0:
            return np.zeros(0, dtype=np.int32)
        raise TypeError(f"{name} must hold integers, not {arr.dtype}")
    return arr


def _relabel(arr: np.ndarray, name: str = "partition_ids",
             threads: Optional[int] = None) -> np.ndarray:
    """Ids replaced by their rank among the distinct ids: 0, 1, 2, ... as int32, as
    np.unique's inverse gives them (sorted in the pool for 8-byte integers)."""
    if arr.dtype.kind in "iu":
        keys = arr.astype(np.uint64 if arr.dtype.kind == "u" else np.int64, copy=False)
        relabelled = np.empty(keys.shape[0], dtype=np.int32)
        distinct = _kernels.relabel_dense(keys, relabelled, threads)
    else:  # Python integers beyond int64 and uint64
        labels, inverse = np.unique(arr, return_inverse=True)
        distinct, relabelled = labels.size, inverse.reshape(-1).astype(np.int32)
    if distinct > 2**31:
        raise ValueError(
            f"{name} holds {distinct} distinct ids; at most 2**31 can be counted")
    return relabelled


def weights(name: str, values: Any, n_rows: int, coords_name: str) -> np.ndarray:
    """One finite real weight per row of `coords_name`, as float64. Missing or masked
    weights raise ValueError."""
    data, mask, how = _split_mask(values)
    arr = np.asarray(mask) if mask is not None else _real_array(name, data)
    if arr.ndim != 1:
        raise ValueError(f"{name} must be one-dimensional, got shape {arr.shape}")
    if arr.shape[0] != n_rows:
        raise ValueError(
            f"{name} must hold one weight per row of {coords_name} ({n_rows}), got {arr.shape[0]}")
    _refuse_missing(name, mask, how)
    arr = _real_array(name, data).astype(np.float64, copy=False)
    if not np.isfinite(arr).all():
        raise ValueError(f"{name} must be finite")
    return arr


def edges(name: str, values: Any) -> np.ndarray:
    """Bin edges as float64: one-dimensional, at least one, finite, non-negative and
    non-decreasing."""
    arr = _real_array(name, values)
    if arr.ndim != 1:
        raise ValueError(f"{name} must be one-dimensional, got shape {arr.shape}")
    if arr.size == 0:
        raise ValueError(f"{name} must hold at least one edge")
    arr = arr.astype(np.float64, copy=False)
    if not np.isfinite(arr).all():
        raise ValueError(f"{name} must be finite")
    if (arr < 0.0).any():
        raise ValueError(f"{name} must be non-negative")
    if (np.diff(arr) < 0.0).any():
        raise ValueError(f"{name} must be non-decreasing")
    return arr


def count(name: str, value: Any) -> int:
    """A whole number of at least 1."""
    try:
        n = operator.index(value)
    except TypeError as exc:
        raise TypeError(f"{name} must be an integer, not {type(value).__name__}") from exc
    if n < 1:
        raise ValueError(f"{name} must be at least 1, got {n}")
    return n


def mu_max(value: Any) -> float:
    """The upper limit of mu: finite and positive."""
    return positive_real("mu_max", value)


# ---------------------------------------------------------------------------------------------
# Jackknife regions

# Region labels are int32 in the kernels, so a count has at most this many regions.
_MOST_REGIONS = 2**31


class Regions(NamedTuple):
    """The regions of a count: a dense int32 label per galaxy of each catalogue, their
    number, and the labels as the caller gave them (None for cubes, whose labels are
    their indices: made with the result, once the memory for it is known to suffice)."""

    labels: np.ndarray
    labels2: Optional[np.ndarray]
    n_regions: int
    values: Optional[np.ndarray]


def cubes_per_side(value: Any) -> Optional[int]:
    """n of ``regions=n`` (n**3 cubes), checked, or None when `value` is an array of
    labels (or None)."""
    if isinstance(value, (bool, np.bool_)):
        raise TypeError("regions must be an int n >= 1 (n**3 cubes) or an array of integer "
                        "labels, not bool")
    if value is None or isinstance(value, np.ndarray) or not isinstance(value, numbers.Integral):
        return None
    n = operator.index(value)
    if n < 1:
        raise ValueError(f"regions must be at least 1 (n**3 cubes), got {n}")
    if n**3 > _MOST_REGIONS:
        raise ValueError(f"regions={n} makes {n**3} cubes, more than the 2**31 regions a "
                         f"count can label")
    return n


def cube_labels(xyz: np.ndarray, n: int, box: float, *,
                threads: Optional[int] = None) -> np.ndarray:
    """The cube of each position inside the box among n**3 of side box / n, as int32:
    (ix * n + iy) * n + iz with ix = min(floor(x / (box / n)), n - 1). The clamp keeps a
    position just below the box, whose quotient rounds up to n, in the last cube."""
    out = np.empty(xyz.shape[0], dtype=np.int32)
    _kernels.cube_labels(xyz, n, box, out, threads)
    return out


def _label_values(name: str, values: Any, n_rows: int, coords_name: str) -> np.ndarray:
    """An array of region labels as given: one-dimensional, one integer per row."""
    data, mask, how = _split_mask(values)
    arr = np.asarray(mask) if mask is not None else np.asarray(data)
    if arr.ndim != 1:
        raise ValueError(f"{name} must be an int or a one-dimensional array of labels, got "
                         f"shape {arr.shape}")
    if arr.shape[0] != n_rows:
        raise ValueError(f"{name} must hold one label per row of {coords_name} ({n_rows}), "
                         f"got {arr.shape[0]}")
    _refuse_missing(name, mask, how)
    arr = np.asarray(data)
    if arr.dtype.kind not in "iu" and not (arr.size == 0 and arr.dtype.kind == "f"):
        raise TypeError(f"{name} must hold integers, not {arr.dtype}")
    return arr


def regions(value: Any, xyz: np.ndarray, box: float, *, value2: Any = None,
            xyz2: Optional[np.ndarray] = None, threads: Optional[int] = None) -> Optional[Regions]:
    """The jackknife regions of one catalogue (`xyz`), or of two (`xyz2` given): None
    without `value`; for an int n, the cubes of the wrapped positions; for arrays of
    labels, their rank among the sorted distinct labels of both catalogues together."""
    if value is None:
        if value2 is not None:
            raise ValueError("regions2 is given without regions: pass the first catalogue's "
                             "labels as regions")
        return None
    n = cubes_per_side(value)
    if n is not None:
        if value2 is not None:
            raise ValueError(f"regions2 must be None with regions={n}: the cubes cut both "
                             f"catalogues")
        return Regions(cube_labels(xyz, n, box, threads=threads),
                       None if xyz2 is None else cube_labels(xyz2, n, box, threads=threads),
                       n**3, None)
    if not hasattr(value, "__len__") and not hasattr(value, "__array__"):
        raise TypeError(f"regions must be an int n >= 1 (n**3 cubes) or an array of integer "
                        f"labels, not {type(value).__name__}")
    first = _label_values("regions", value, xyz.shape[0], "coords")
    if xyz2 is None:
        if value2 is not None:
            raise ValueError("regions2 is given without coords2: an auto count takes "
                             "`regions` alone")
        values, dense = _distinct_labels(first, "regions holds", threads)
        return Regions(dense, None, int(values.size), values)
    if value2 is None:
        raise ValueError("regions2 is required with coords2 and an array of regions: one "
                         "label per galaxy of the second catalogue")
    if cubes_per_side(value2) is not None or isinstance(value2, (bool, np.bool_)):
        raise TypeError("regions2 must be an array of labels (cubes are asked for by regions=n "
                        "alone)")
    second = _label_values("regions2", value2, xyz2.shape[0], "coords2")
    both = _joint_labels(first, second)
    values, dense = _distinct_labels(both, "regions and regions2 hold", threads)
    rows = first.shape[0]
    return Regions(dense[:rows], dense[rows:], int(values.size), values)


def _distinct_labels(labels: np.ndarray, holder: str,
                     threads: Optional[int]) -> Tuple[np.ndarray, np.ndarray]:
    """np.unique(labels, return_inverse=True), the inverse as int32: for integers, ranked
    on the pool, each distinct value then written at its rank. ValueError past 2**31
    distinct labels, naming `holder` ("regions holds")."""
    if labels.dtype.kind in "iu" and labels.size:
        keys = labels.astype(np.uint64 if labels.dtype.kind == "u" else np.int64, copy=False)
        dense = np.empty(keys.shape[0], dtype=np.int32)
        distinct = _kernels.relabel_dense(keys, dense, threads)
        values = None
    else:
        values, inverse = np.unique(labels, return_inverse=True)
        distinct, dense = values.size, inverse.reshape(-1).astype(np.int32)
    if distinct > _MOST_REGIONS:
        raise ValueError(f"{holder} {distinct} distinct labels; at most 2**31 can be counted")
    if values is None:
        values = np.empty(distinct, dtype=labels.dtype)
        values[dense] = labels
    return values, dense


def _joint_labels(first: np.ndarray, second: np.ndarray) -> np.ndarray:
    """Two label arrays in one dtype that holds both exactly (NumPy would mix int64 and
    uint64 into float64, merging labels above 2**53)."""
    both = [a for a in (first, second) if a.size]
    if not both:
        return np.zeros(0, dtype=np.int64)
    dtype = np.result_type(*both)
    if dtype.kind in "iu":
        return np.concatenate([a.astype(dtype) for a in (first, second)])
    if all(a.size == 0 or (int(a.min()) >= _INT64.min and int(a.max()) <= _INT64.max)
           for a in (first, second)):
        return np.concatenate([a.astype(np.int64) for a in (first, second)])
    if all(a.size == 0 or int(a.min()) >= 0 for a in (first, second)):
        return np.concatenate([a.astype(np.uint64) for a in (first, second)])
    return np.array(first.tolist() + second.tolist(), dtype=object)  # Python's integers


def check_region_memory(n_regions: int, result_values: int, arrays: int) -> None:
    """MemoryError before counting when the delete-one histograms (n_regions copies of
    `arrays` arrays of `result_values` float64 each) would take more than half of this
    machine's memory, the rule the counts themselves follow."""
    need = 8.0 * result_values * arrays * (n_regions + 1)
    try:
        physical = float(os.sysconf("SC_PHYS_PAGES")) * float(os.sysconf("SC_PAGE_SIZE"))
    except (ValueError, OSError, AttributeError):
        return
    if physical > 0 and need > physical / 2:
        raise MemoryError(f"regions: {n_regions} regions need {need / 1e9:.1f} GB for their "
                          f"delete-one counts of {result_values} bins, more than half of this "
                          f"machine's {physical / 1e9:.1f} GB of memory; use fewer regions")
