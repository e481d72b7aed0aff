"""Conversion and checks of the counters' inputs: catalogues as users hold them, turned
into the float64 positions inside the box and the int32 partition ids the kernels read."""
from __future__ import annotations

import math
import numbers
import operator
from collections.abc import Mapping
from typing import Any, List, Optional, Tuple

import numpy as np

# Rows wrapped per pass, so the temporaries of a billion-row catalogue stay small.
_WRAP_ROWS = 1 << 20
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


def catalogue(coords: Any, ids: Any, box: float) -> Tuple[np.ndarray, np.ndarray]:
    """A catalogue's positions (float64, inside the box) and int32 partition ids."""
    xyz = positions(coords, box, n_ids=length(ids))
    return xyz, partition_ids(ids, xyz.shape[0])


def catalogue_pair(coords: Any, ids: Any, coords2: Any, ids2: Any,
                   box: float) -> Tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray]:
    """Two catalogues' positions and int32 ids, the ids in one namespace (see
    partition_id_pair); errors about the second name coords2 and partition_ids2."""
    xyz = positions(coords, box, n_ids=length(ids))
    xyz2 = positions(coords2, box, n_ids=length(ids2), name="coords2")
    first, second = partition_id_pair(ids, xyz.shape[0], ids2, xyz2.shape[0])
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


def _named_columns(coords: Any, cname: str = "coords") -> np.ndarray:
    """The columns x, y and z of a table (their names matched whatever their case), in
    that order, as an (N, 3) float64 array of its own; other columns are not read.
    Errors call the table `cname`."""
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
    out = np.empty((0, 3), dtype=np.float64)
    for k, label in enumerate(picked):
        name = f"{cname} column {label!r}"
        data, mask, how = _split_mask(coords[label])
        column = np.asarray(mask) if mask is not None else _real_array(name, data)
        if column.ndim != 1:
            raise ValueError(f"{name} must be one-dimensional, got shape {column.shape}")
        if k == 0:
            out = np.empty((column.shape[0], 3), dtype=np.float64)
        elif column.shape[0] != out.shape[0]:
            raise ValueError(f"{cname} columns must be equally long: {picked[0]!r} has "
                             f"{out.shape[0]} rows, {label!r} has {column.shape[0]}")
        _refuse_missing(cname, mask, how)
        out[:, k] = column
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
              name: str = "coords") -> np.ndarray:
    """The positions of `coords` as float64, wrapped into [0, box): the columns x, y and
    z of a table, or else the first three columns. `n_ids`, the number of partition ids
    when known, tells a (3, N) array of N galaxies from 3 galaxies with extra columns.
    Errors call the argument `name`.

    A catalogue already inside the box in float64 is passed on as it is, without a copy
    (any memory layout); anything else is converted once and wrapped in that copy.
    """
    if _is_table(coords):
        xyz = _named_columns(coords, name)
        caller = None
    else:
        caller = _first_columns(coords, n_ids, name)
        xyz = caller[:, :3].astype(np.float64, copy=False)
    if xyz.shape[0] == 0:
        return xyz
    # min and max carry any NaN or infinity through, so two reductions check everything.
    lo, hi = float(xyz.min()), float(xyz.max())
    if not (math.isfinite(lo) and math.isfinite(hi)):
        raise ValueError(f"{name} must be finite: found NaN or infinite positions")
    if lo >= 0.0 and hi < box:
        return xyz
    if caller is not None and np.may_share_memory(xyz, caller):
        xyz = np.array(xyz, dtype=np.float64, order="C")  # never write the caller's array
    for start in range(0, xyz.shape[0], _WRAP_ROWS):
        block = xyz[start:start + _WRAP_ROWS]
        np.mod(block, box, out=block)
        # A tiny negative x rounds to x + box == box: the periodic image of box is 0.
        block[block >= box] = 0.0
    return xyz


def partition_ids(ids: Any, n_rows: int, name: str = "partition_ids",
                  coords_name: str = "coords") -> np.ndarray:
    """`ids` as int32, one per row (booleans are ids 0 and 1). Ids outside the int32 range
    are relabelled densely (0, 1, 2, ... in sorted order): counts depend only on which
    ids are equal. Missing or masked ids raise ValueError."""
    arr = _integer_ids(ids, n_rows, name, coords_name)
    if arr.dtype == np.int32 and arr.dtype.isnative:
        return arr
    if _fits_int32(arr):
        return arr.astype(np.int32)
    return _relabel(arr, name)


def partition_id_pair(ids: Any, n_rows: int, ids2: Any, n_rows2: int, *,
                      names: Tuple[str, str, str, str] = ("partition_ids", "coords",
                                                          "partition_ids2", "coords2"),
                      ) -> Tuple[np.ndarray, np.ndarray]:
    """The ids of two catalogues as int32, one per row of each, in one namespace: equal
    ids stay equal across the catalogues. When either leaves the int32 range, both are
    relabelled together (0, 1, 2, ... in sorted order of the ids of both). Errors call
    the arguments `names`: the first ids, their positions, the second ids, theirs."""
    name, coords_name, name2, coords_name2 = names
    first = _integer_ids(ids, n_rows, name, coords_name)
    second = _integer_ids(ids2, n_rows2, name2, coords_name2)
    if _fits_int32(first) and _fits_int32(second):
        return (partition_ids(first, n_rows, name, coords_name),
                partition_ids(second, n_rows2, name2, coords_name2))
    # One dtype that holds both exactly: int64 where it can, else Python's integers.
    if all(a.dtype.kind in "iu" and (a.size == 0 or int(a.max()) <= _INT64.max)
           for a in (first, second)):
        both = np.concatenate([first.astype(np.int64), second.astype(np.int64)])
    else:
        both = np.array(first.tolist() + second.tolist(), dtype=object)
    joint = _relabel(both, f"{name} and {name2} together")
    return joint[:n_rows], joint[n_rows:]


def _fits_int32(arr: np.ndarray) -> bool:
    return arr.dtype.kind in "iu" and (
        arr.size == 0 or (int(arr.min()) >= _INT32.min and int(arr.max()) <= _INT32.max))


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


def _relabel(arr: np.ndarray, name: str = "partition_ids") -> np.ndarray:
    """Ids replaced by their rank among the distinct ids: 0, 1, 2, ... as int32."""
    labels, relabelled = np.unique(arr, return_inverse=True)
    if labels.size > 2**31:
        raise ValueError(
            f"{name} holds {labels.size} distinct ids; at most 2**31 can be counted")
    return relabelled.reshape(-1).astype(np.int32)


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
