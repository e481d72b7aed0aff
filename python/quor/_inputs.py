"""Conversion and checks of the counters' inputs: catalogues as users hold them, turned
into the float64 positions inside the box and the int32 partition ids the kernels read."""
from __future__ import annotations

import math
import numbers
import operator
from typing import Any, Tuple

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


def positions(coords: Any, box: float, name: str = "coords") -> np.ndarray:
    """The first three columns of `coords` as float64, wrapped into [0, box).

    A catalogue already inside the box in float64 is passed on as it is, without a copy
    (any memory layout); anything else is converted once and wrapped in that copy.
    Errors call the argument `name`.
    """
    arr = _real_array(name, coords)
    if arr.ndim != 2 or arr.shape[1] < 3:
        raise ValueError(f"{name} must have shape (N, 3) (extra columns are ignored), got {arr.shape}")
    xyz = arr[:, :3].astype(np.float64, copy=False)
    if xyz.shape[0] == 0:
        return xyz
    # min and max carry any NaN or infinity through, so two reductions check everything.
    lo, hi = float(xyz.min()), float(xyz.max())
    if not (math.isfinite(lo) and math.isfinite(hi)):
        raise ValueError(f"{name} must be finite: found NaN or infinite positions")
    if lo >= 0.0 and hi < box:
        return xyz
    if np.may_share_memory(xyz, arr):
        xyz = np.array(xyz, dtype=np.float64, order="C")  # never write the caller's array
    for start in range(0, xyz.shape[0], _WRAP_ROWS):
        block = xyz[start:start + _WRAP_ROWS]
        np.mod(block, box, out=block)
        # A tiny negative x rounds to x + box == box: the periodic image of box is 0.
        block[block >= box] = 0.0
    return xyz


def partition_ids(ids: Any, n_rows: int, name: str = "partition_ids",
                  coords_name: str = "coords") -> np.ndarray:
    """`ids` as int32, one per row. Ids outside the int32 range are relabelled densely
    (0, 1, 2, ... in sorted order): counts depend only on which ids are equal."""
    arr = _integer_ids(ids, n_rows, name, coords_name)
    if arr.dtype == np.int32 and arr.dtype.isnative:
        return arr
    if _fits_int32(arr):
        return arr.astype(np.int32)
    return _relabel(arr, name)


def partition_id_pair(ids: Any, n_rows: int, ids2: Any,
                      n_rows2: int) -> Tuple[np.ndarray, np.ndarray]:
    """The ids of two catalogues as int32, one per row of each, in one namespace: equal
    ids stay equal across the catalogues. When either leaves the int32 range, both are
    relabelled together (0, 1, 2, ... in sorted order of the ids of both)."""
    first = _integer_ids(ids, n_rows, "partition_ids", "coords")
    second = _integer_ids(ids2, n_rows2, "partition_ids2", "coords2")
    if _fits_int32(first) and _fits_int32(second):
        return (partition_ids(first, n_rows),
                partition_ids(second, n_rows2, "partition_ids2", "coords2"))
    # One dtype that holds both exactly: int64 where it can, else Python's integers.
    if all(a.dtype.kind in "iu" and (a.size == 0 or int(a.max()) <= _INT64.max)
           for a in (first, second)):
        both = np.concatenate([first.astype(np.int64), second.astype(np.int64)])
    else:
        both = np.array(first.tolist() + second.tolist(), dtype=object)
    joint = _relabel(both, "partition_ids and partition_ids2 together")
    return joint[:n_rows], joint[n_rows:]


def _fits_int32(arr: np.ndarray) -> bool:
    return arr.dtype.kind in "iu" and (
        arr.size == 0 or (int(arr.min()) >= _INT32.min and int(arr.max()) <= _INT32.max))


def _integer_ids(ids: Any, n_rows: int, name: str, coords_name: str) -> np.ndarray:
    """`ids` as a one-dimensional NumPy array of integers of one per row, in the dtype
    they come in (object for integers beyond every NumPy dtype)."""
    arr = np.asarray(ids)
    if arr.ndim != 1:
        raise ValueError(f"{name} must be one-dimensional, got shape {arr.shape}")
    if arr.shape[0] != n_rows:
        raise ValueError(
            f"{name} must hold one id per row of {coords_name} ({n_rows}), got {arr.shape[0]}")
    if arr.dtype.kind == "O" and arr.size:
        # A nullable integer column, or Python ints: NumPy infers the dtype of the values
        # themselves; integers beyond any NumPy dtype are kept as they are.
        inferred = np.array(arr.tolist())
        if inferred.dtype.kind == "O" and all(
                isinstance(v, numbers.Integral) and not isinstance(v, bool) for v in arr):
            return arr
        arr = inferred
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
    """One finite real weight per row of `coords_name`, as float64."""
    arr = _real_array(name, values)
    if arr.ndim != 1:
        raise ValueError(f"{name} must be one-dimensional, got shape {arr.shape}")
    if arr.shape[0] != n_rows:
        raise ValueError(
            f"{name} must hold one weight per row of {coords_name} ({n_rows}), got {arr.shape[0]}")
    arr = arr.astype(np.float64, copy=False)
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
