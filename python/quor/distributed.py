"""quor's counters on a Dask cluster, for catalogues beyond one machine.

The box is cut into slabs along x. Each chunk of a Dask catalogue splits its rows by slab
(a shuffle done by the workers: the client never holds the catalogue); a NumPy catalogue,
already held by the client, is split there and each slab's rows sent straight to the
worker that counts them. One task per slab then counts its own galaxies together with
the ghosts, the galaxies of the next slab within reach of its upper face. The private
kernels count a pair or group in a slab only when the slab owns one of its members: a
pair once, in the slab of its lower galaxy; a group once, in the slab of its lowest-x
member under the periodic order. Every task keeps the galaxies' positions and the whole
box, so each pair is measured with the very arithmetic of a single-box count, and the
slab histograms, whole numbers, add up to `quor`'s counts exactly.

The pair counters also count between two catalogues, with weights and with mean
separations, as `quor`'s do. Between two catalogues, a slab takes the first catalogue's
galaxies it owns and, as ghosts, the second's within reach of either face; weights
travel with their galaxies. A slab returns its sums of weights (and of separations) as
exact parts, and those of all slabs are joined and rounded once: the same bits as
`quor`'s for any number of slabs.

Without a client, the counters start a LocalCluster on this machine at their first call
and keep it for the later ones; it closes at interpreter exit, or at `close`.

Install the extra: ``pip install 'quor[distributed]'``.
"""
from __future__ import annotations

import atexit
import contextlib
import math
import os
import signal
import sys
import threading
import time
from typing import Any, Callable, Dict, Iterator, List, Optional, Sequence, Tuple

import numpy as np
from numpy.typing import ArrayLike

from . import _binning, _inputs, _kernels
from ._counts import (GroupCounts, PairCounts, _pair_counts, _pair_regions_inputs,
                      check_pair_keywords, check_region_keywords, group_counts_by_region,
                      pair_counts_by_region, region_memory, region_tallies)
from ._progress import Progress, ProgressCallback, reporter

__all__ = ["count_pairs_1d", "count_pairs_2d", "count_pairs_smu", "count_npoint",
           "count_npoint3_shape", "close"]

# Ghosts reach a little beyond r_max: the subtractions that place a galaxy against a slab
# face round differently from those that measure a pair, and a ghost too many costs
# nothing (ghost pairs never count), whereas one too few loses pairs.
_REACH_REL = 2.0**-40
# Rows split at a time when a NumPy catalogue is sent to the workers: the client holds
# their slab pieces (about 1.4 times the rows) on top of the catalogue.
_SCATTER_ROWS = 1 << 21
# Rows per slab task that n_slabs=None aims at: the task's memory stays near 100 bytes
# a row times this, and the slabs outnumber the workers' threads for balance.
_ROWS_PER_SLAB = 4_000_000
# Slabs of one count at most (a tiny r_max would allow billions).
_MOST_SLABS = 1 << 16
# How often the calling thread looks at a count's slab tasks while they run: the delay
# this adds to the end of a count.
_WAIT_TICK_SECONDS = 0.01
# How long a count stopped by an error or Ctrl-C waits for its cancelled tasks to leave
# the workers (they stop within a poll of their `stop`, about 20 ms).
_IDLE_WAIT_SECONDS = 2.0


# ---------------------------------------------------------------------------------------------
# Slabs


def _ghost_reach(reach: float, box: float) -> float:
    return reach * (1.0 + _REACH_REL) + box * _REACH_REL


def _slab_edges(n: int, box: float) -> List[float]:
    """n + 1 faces from 0 to box; slab s holds faces[s] <= x < faces[s + 1]."""
    return [0.0] + [box * s / n for s in range(1, n)] + [box]


def _slab_fits(n: int, box: float, ghost: float) -> bool:
    faces = _slab_edges(n, box)
    return min(b - a for a, b in zip(faces, faces[1:])) >= ghost


def _most_slabs(box: float, ghost: float) -> int:
    """The largest slab count, up to _MOST_SLABS, whose slabs are all at least `ghost`
    wide (0 for none)."""
    n = min(int(box // ghost) + 1, _MOST_SLABS)
    while n > 0 and not _slab_fits(n, box, ghost):
        n -= 1
    return n


def _choose_slabs(n_slabs: Any, n_rows: int, threads: int, reach: float, box: float) -> int:
    ghost = _ghost_reach(reach, box)
    if n_slabs is not None:
        n = _inputs.count("n_slabs", n_slabs)
        if n == 1:
            return 1  # one task owns the whole box: no ghosts
        if n == 2:
            raise ValueError("n_slabs=2 cannot hold: each slab would hold the other's ghosts and "
                             "count pairs across both faces twice; use 1 or at least 3")
    most = _most_slabs(box, ghost)
    if most < 3:
        raise ValueError(
            f"r_max={reach!r} is too large for the slab scheme: slabs must be at least r_max "
            f"wide and number at least 3, so r_max must stay below box_size / 3 "
            f"({box / 3!r}); pass n_slabs=1 to count in a single task")
    if n_slabs is None:
        wanted = max(2 * threads, math.ceil(n_rows / _ROWS_PER_SLAB))
        return max(3, min(wanted, most))
    if n > most:
        width = box / n
        raise ValueError(
            f"n_slabs={n} makes slabs {width:g} wide, narrower than r_max={reach!r} (with "
            f"the ghosts' margin); at most {most} slabs fit")
    return n


def _aligned_faces(n: int, box: float, ghost: float, columns: int) -> List[float]:
    """n + 1 faces from 0 to box on the boundaries of `columns` equal cells across the
    box, each slab as near box / n wide as the cells allow; the even faces where that
    leaves a slab narrower than `ghost`.

    A slab count sorts its galaxies into cells of the grid a count over the whole box
    would use (`columns` across). A cell that held galaxies of the slab and ghosts
    beside them would have its ghosts met by each other, for nothing, in this slab and
    again in the next; faces on cell boundaries leave no such cell."""
    if columns >= n:
        faces = [0.0] + [box * round(s * columns / n) / columns for s in range(1, n)] + [box]
        if min(b - a for a, b in zip(faces, faces[1:])) >= ghost:
            return faces
    return _slab_edges(n, box)


def _split_chunk(coords: np.ndarray, ids: np.ndarray, box: float, faces: Sequence[float],
                 ghost: float) -> Tuple[Tuple[np.ndarray, np.ndarray], ...]:
    """One chunk's rows, wrapped into the box, as one (positions, ids) piece per slab:
    the rows the slab owns (faces[s] <= x < faces[s + 1], the comparisons of
    OwnerSlab::owns) and its ghosts, the rows of the next slab within `ghost` of its
    lower face (the last slab's upper face, box, is slab 0's lower face 0 seen across the
    boundary), in input order."""
    return _split_rows(_inputs.positions(coords, box), np.asarray(ids, dtype=np.int32), faces,
                       ghost)


def _split_rows(xyz: np.ndarray, ids: np.ndarray, faces: Sequence[float],
                ghost: float) -> Tuple[Tuple[np.ndarray, np.ndarray], ...]:
    """_split_chunk of positions already float64 inside the box and int32 ids."""
    rows, row_ids, offsets = _kernels.split_slabs(xyz, ids, np.asarray(faces, dtype=np.float64),
                                                  float(ghost))
    # Views of one buffer each: a piece sent elsewhere goes as its own rows alone.
    return tuple((rows[a:b], row_ids[a:b]) for a, b in zip(offsets, offsets[1:]))


class _Cancelled(Exception):
    """Stops the count of a slab task that its worker no longer runs for anyone."""


def _stop_when_cancelled() -> Optional[Callable[[], None]]:
    """The slab kernels' `stop` inside a task on a Dask worker (None elsewhere): it raises
    once the worker has dropped the task, as it does when the scheduler cancels it (Ctrl-C
    on the client, an error in another slab, client.cancel, a client closed or gone), or
    once the worker is closing.

    The kernel calls it about every 20 ms from the task's thread; it reads the worker's
    own record of the task, kept up to date by the worker's event loop, which costs a
    dictionary look-up and no message."""
    try:
        from distributed import get_worker

        worker = get_worker()
        key = worker.get_current_task()
    except (ImportError, ValueError, KeyError):  # not a task on a worker
        return None
    from distributed.core import Status

    tasks = worker.state.tasks
    closing = (Status.closing, Status.closed, Status.failed)

    def stop() -> None:
        task = tasks.get(key)
        # A task cancelled and then asked for again is "resumed", and counts on.
        if task is None or task.state == "cancelled" or worker.status in closing:
            raise _Cancelled(f"slab task {key!r} was cancelled")

    return stop


def _joined(pieces: Sequence[Tuple[Any, ...]]) -> Tuple[Any, ...]:
    """Pieces (positions, ids) or (positions, ids, weights or None, region labels or
    None) of one slab, joined column by column in order."""
    if len(pieces) == 1:
        return tuple(pieces[0])  # no copy
    if not pieces:
        return np.zeros((0, 3)), np.zeros(0, np.int32), np.zeros(0), np.zeros(0, np.int32)
    return tuple(None if column[0] is None else np.concatenate(column)
                 for column in zip(*pieces))


def _slab_counter(kernel: str) -> Callable[..., Any]:
    """The slab counter `kernel` of quor._kernels."""
    return getattr(_kernels, kernel)


def _count_slab(kernel: str, args: Tuple[Any, ...], threads: Optional[int], x_lo: float,
                x_hi: float, sums: Optional[Tuple[int, bool, bool, bool, bool]],
                *pieces: Tuple[Any, ...]) -> Tuple[Any, ...]:
    """Counts one slab: its pieces from every chunk, joined in chunk order so the rows
    keep the order of the catalogue (groups are found from their member of lowest row).

    `sums` is None for a count of one catalogue without weights, separations or regions;
    else (n_first, cross, weighted, weighted2, separations, n_regions): the first
    n_first pieces are the first catalogue's (positions, ids, weights, region labels),
    the others the second's; the labels travel with their rows, ghosts included."""
    count = _slab_counter(kernel)
    stop = _stop_when_cancelled()
    if sums is None:
        xyz, ids = _joined(pieces)[:2]
        return count(xyz, ids, *args, x_lo, x_hi, None, threads, stop)
    n_first, cross, weighted, weighted2, separations, n_regions = sums
    xyz, ids, w, labels = _joined(pieces[:n_first])
    keywords: Dict[str, Any] = {}
    if weighted:
        keywords["weights"] = w
    if separations:
        keywords["separations"] = True
    if n_regions:
        keywords.update(regions=labels, n_regions=n_regions)
    if cross:
        xyz2, ids2, w2, labels2 = _joined(pieces[n_first:])
        keywords.update(coords2=xyz2, partition_ids2=ids2)
        if weighted2:
            keywords["weights2"] = w2
        if n_regions:
            keywords["regions2"] = labels2
    return count(xyz, ids, *args, x_lo, x_hi, None, threads, stop, **keywords)


# ---------------------------------------------------------------------------------------------
# Inputs


def _is_dask(obj: Any) -> bool:
    return type(obj).__module__.startswith("dask.") and hasattr(obj, "to_delayed")


def _dask_ids(ids: Any, n_rows: int, client: Any) -> Any:
    """Dask partition ids as int32, relabelled densely when they leave the int32 range."""
    return _int32_ids([_dask_id_values(ids, n_rows, client, "partition_ids", "coords")], client,
                      "partition_ids")[0]


def _scatter_slabs(client: Any, n_rows: int, split: Callable[[int, int], Sequence[Any]], n: int,
                   sent: List[Any]) -> List[List[Any]]:
    """A catalogue of `n_rows` held by the client, split here into its n slabs' pieces
    by `split(a, b)` run by run of rows a <= row < b, and sent to the workers: per slab,
    the futures of its pieces (one per run of _SCATTER_ROWS rows, in row order).
    Every future is also added to `sent` as soon as it exists, for the caller to
    release if the count stops.

    All pieces of a slab go to the same worker, the slabs spread evenly over the
    workers' threads, so each count task finds its rows where it runs: no split task
    and no transfer between workers."""
    with _into_dask():
        nthreads = client.nthreads()
    slots = [w for w, k in sorted(nthreads.items()) for _ in range(k)]
    home = [slots[s * len(slots) // n] if slots else None for s in range(n)]
    futures: List[List[Any]] = [[] for _ in range(n)]
    for a in range(0, n_rows, _SCATTER_ROWS):
        pieces = split(a, a + _SCATTER_ROWS)
        for worker in dict.fromkeys(home):
            slabs = [s for s in range(n) if home[s] == worker]
            # Keys unique to this call (hash=False): a key shared with an earlier call
            # could be released under this one.
            with _into_dask():
                run = client.scatter([pieces[s] for s in slabs], hash=False,
                                     workers=None if worker is None else [worker])
                sent.extend(run)
            for s, f in zip(slabs, run):
                futures[s].append(f)
        del pieces
    return futures


def _known_rows(arr: Any, client: Any) -> Any:
    """A Dask array whose chunks' numbers of rows are known (those of an array selected
    by a mask are not, until computed): they are counted on the cluster, the chunks
    read once for that."""
    if not any(math.isnan(c) for c in arr.chunks[0]):
        return arr
    import dask
    import dask.array as da

    first_column = arr.to_delayed().reshape(arr.numblocks[0], -1)[:, 0]
    rows = _compute(client, [dask.delayed(len)(b) for b in first_column])
    return da.Array(arr.dask, arr.name, (tuple(int(r) for r in rows), *arr.chunks[1:]),
                    dtype=arr.dtype)


def _chunk_tasks(coords: Any, partition_ids: Any, box: float, client: Any) -> Tuple[List[Any], int]:
    """A catalogue of Dask arrays (or one Dask array and one held here) as (positions,
    ids) per chunk, Dask delayed values, and the number of rows."""
    import dask.array as da

    coords = _dask_positions(coords, box, _inputs.length(partition_ids), client, "coords")
    n = int(coords.shape[0])
    if not _is_dask(partition_ids):
        partition_ids = da.from_array(_inputs.partition_ids(partition_ids, n), chunks=(coords.chunks[0],))
    ids = _dask_ids(partition_ids, n, client).rechunk((coords.chunks[0],))
    return list(zip(coords.to_delayed().ravel(), ids.to_delayed().ravel())), n


# ---------------------------------------------------------------------------------------------
# Pair sums: two catalogues, weights, separations
#
# In a count of two catalogues, the first catalogue's galaxies are each given to the one
# slab that owns them, with no ghosts; the second catalogue's are given to their own slab
# and, as ghosts, to each neighbouring slab within reach of their x. Every galaxy i of
# the first catalogue then meets in its slab every galaxy j of the second within reach,
# and only there: each ordered pair (i, j) is counted once. (The slab kernels count a
# pair with an owned member, and every first-catalogue galaxy a slab holds is its own.)
# A count of one catalogue with weights or separations cuts as an unweighted one, the
# weights riding along with their rows.
#
# The weighted sums come from each slab as exact parts; joined across slabs and rounded
# once (exact_sums), they are the bits of a single count, whatever the slabs.


def _sums_flags(pair: Dict[str, Any]) -> Optional[Tuple[bool, bool, bool, bool]]:
    """(cross, weighted, weighted2, separations) of a pair count, or None for a count of
    one catalogue without weights or separations."""
    flags = (pair["coords2"] is not None, pair["weights"] is not None,
             pair["weights2"] is not None, bool(pair["separations"]))
    return flags if any(flags) else None


def _empty_keywords(sums: Optional[Tuple[bool, bool, bool, bool]]) -> Dict[str, Any]:
    """The slab kernel's keywords for the flags `sums`, over empty catalogues."""
    if sums is None:
        return {}
    cross, weighted, weighted2, separations = sums
    keywords: Dict[str, Any] = {}
    if cross:
        keywords.update(coords2=np.zeros((0, 3)), partition_ids2=np.zeros(0, np.int32))
    if weighted:
        keywords["weights"] = np.zeros(0)
    if weighted2:
        keywords["weights2"] = np.zeros(0)
    if separations:
        keywords["separations"] = True
    return keywords


def _joined_sums(per_slab: Sequence[np.ndarray], shape: Tuple[int, ...]) -> np.ndarray:
    """One result array from the slabs' arrays of it: whole numbers added (exact below
    2**53, in any order), exact parts (a last axis more than `shape`) joined and rounded
    once, never added as floats."""
    if per_slab[0].shape == shape:
        return np.sum(per_slab, axis=0)
    parts = np.concatenate([p.reshape(-1, p.shape[-1]) for p in per_slab], axis=1)
    return _kernels.exact_sums(parts).reshape(shape)


def _pair_sums(results: Sequence[Tuple[Any, ...]], sums: Tuple[bool, bool, bool, bool]) -> PairCounts:
    """The slabs' results (the slab kernels' 8-tuples) as the PairCounts of one count."""
    return _pair_counts(tuple(_joined_pair_columns(results, sums)))


def _joined_pair_columns(results: Sequence[Tuple[Any, ...]],
                         sums: Tuple[bool, ...]) -> List[Any]:
    """The slabs' 8-tuples (16-tuples with regions, the removed histograms having a
    leading axis of regions) joined into those of one count."""
    columns = list(zip(*results))
    shape = columns[2][0].shape  # the pair counts: no parts axis
    removed_shape = columns[10][0].shape if len(columns) > 8 else None
    joined = [None if column[0] is None else _joined_sums(column, shape if j < 8 else removed_shape)
              for j, column in enumerate(columns)]
    if not (sums[1] or sums[2]):  # unweighted: the sums are the counts, one array each
        for j in range(0, len(joined), 8):
            joined[j + 2], joined[j + 3] = joined[j], joined[j + 1]
    return joined


def _slab_rows(x: np.ndarray, faces: Sequence[float], ghost: float) -> Tuple[np.ndarray, np.ndarray]:
    """Row numbers of each slab's piece, one piece after another, and the n + 1 offsets
    of the pieces: the rows the slab owns (faces[s] <= x < faces[s + 1], the comparisons
    of the slab kernels), then its ghosts on both faces, those of the slab above less
    than `ghost` above its face and those of the slab below less than `ghost` below it
    (across the box's boundary between the last slab and the first)."""
    face = np.asarray(faces, dtype=np.float64)
    n = face.size - 1
    owner = np.searchsorted(face, x, side="right") - 1
    np.clip(owner, 0, n - 1, out=owner)
    rows = [np.arange(x.size)]
    slabs = [owner]
    if n > 1:
        above = np.flatnonzero(x - face[owner] < ghost)  # ghosts of the slab below
        below = np.flatnonzero(face[owner + 1] - x < ghost)  # ghosts of the slab above
        rows += [above, below]
        slabs += [(owner[above] - 1) % n, (owner[below] + 1) % n]
    slab = np.concatenate(slabs).astype(np.uint16 if n <= 1 << 16 else np.int64)
    order = np.argsort(slab, kind="stable")
    offsets = np.concatenate([[0], np.cumsum(np.bincount(slab, minlength=n))])
    return np.concatenate(rows)[order], offsets


def _split_sums_rows(xyz: np.ndarray, ids: np.ndarray, w: Optional[np.ndarray],
                     faces: Sequence[float], ghost: float, ghosts: Optional[bool],
                     labels: Optional[np.ndarray] = None) -> Tuple[Tuple[Any, ...], ...]:
    """Rows (positions inside the box, int32 ids, weights or None, int32 region labels
    or None) as one piece (positions, ids, weights, labels) per slab. `ghosts` None cuts
    as a count of one catalogue does (the ghosts above each slab); True gives the ghosts
    on both faces, False none."""
    if xyz.shape[0] >= 2**31:  # the row numbers below are int32
        raise ValueError(f"a chunk of {xyz.shape[0]} rows is too large to split: rechunk "
                         f"the catalogue below 2**31 rows a chunk")
    if not ghosts:  # split_slabs, its ids the row numbers, to take ids and weights by
        index = np.arange(xyz.shape[0], dtype=np.int32)
        rows, row_index, offsets = _kernels.split_slabs(
            xyz, index, np.asarray(faces, dtype=np.float64), 0.0 if ghosts is False else float(ghost))
        return tuple((rows[a:b], ids[row_index[a:b]], None if w is None else w[row_index[a:b]],
                      None if labels is None else labels[row_index[a:b]])
                     for a, b in zip(offsets, offsets[1:]))
    order, offsets = _slab_rows(np.ascontiguousarray(xyz[:, 0]), faces, ghost)
    pieces = []
    for a, b in zip(offsets, offsets[1:]):
        rows = order[a:b]  # np.take: about twice as fast as indexing for whole rows
        pieces.append((np.take(xyz, rows, axis=0), np.take(ids, rows),
                       None if w is None else np.take(w, rows),
                       None if labels is None else np.take(labels, rows)))
    return tuple(pieces)


def _split_chunk_sums(coords: Any, ids: Any, weights: Any, box: float, faces: Sequence[float],
                      ghost: float, ghosts: Optional[bool], names: Tuple[str, str],
                      labels: Any = None) -> Tuple[Tuple[Any, ...], ...]:
    """_split_sums_rows of one chunk of a Dask catalogue, read and checked on the worker
    as quor reads it; `names` are its positions' and weights' argument names. `labels`
    are the chunk's int32 region labels, or an int n for the n**3 cubes of its
    positions, or None."""
    xyz = _inputs.positions(coords, box, name=names[0])
    w = None if weights is None else _inputs.weights(names[1], weights, xyz.shape[0], names[0])
    if isinstance(labels, int):
        labels = _inputs.cube_labels(xyz, labels, box)
    elif labels is not None:
        labels = np.asarray(labels, dtype=np.int32)
    return _split_sums_rows(xyz, np.asarray(ids, dtype=np.int32), w, faces, ghost, ghosts, labels)


def _dask_positions(coords: Any, box: float, n_ids: Optional[int], client: Any,
                    name: str) -> Any:
    """Positions as a Dask array of known chunks, three columns, chunked by rows alone;
    positions held here are read (and checked) as quor reads them first."""
    import dask.array as da

    if not _is_dask(coords):
        coords = da.from_array(_inputs.positions(coords, box, n_ids=n_ids, name=name),
                               chunks=(_SCATTER_ROWS, -1))
    shape = coords.shape
    if len(shape) == 2 and shape[0] == 3 and shape[1] != 3 and (shape[1] < 3 or n_ids != 3):
        # As quor: x, y and z as three rows, unless 3 ids make it 3 galaxies.
        raise ValueError(f"{name} must have shape (N, 3), got {shape}: its rows look like "
                         f"x, y and z; pass {name}.T")
    if coords.ndim != 2 or coords.shape[1] < 3:
        raise ValueError(f"{name} must have shape (N, 3) (extra columns are ignored), got {coords.shape}")
    if coords.dtype.kind not in "fiu":
        raise TypeError(f"{name} must hold real numbers, not {coords.dtype}")
    return _known_rows(coords, client)[:, :3].rechunk({1: -1})


def _dask_id_values(ids: Any, n_rows: int, client: Any, name: str, coords_name: str) -> Any:
    """Partition ids as a one-dimensional Dask array of integers (or booleans), one per
    row, not yet int32."""
    import dask.array as da

    if not _is_dask(ids):
        return da.from_array(_inputs._integer_ids(ids, n_rows, name, coords_name))
    ids = _known_rows(ids, client)
    if ids.ndim != 1:
        raise ValueError(f"{name} must be one-dimensional, got shape {ids.shape}")
    if ids.shape[0] != n_rows:
        raise ValueError(
            f"{name} must hold one id per row of {coords_name} ({n_rows}), got {ids.shape[0]}")
    if ids.dtype.kind not in "iub":
        raise TypeError(f"{name} must hold integers, not {ids.dtype}")
    return ids


def _id_bounds(block: np.ndarray) -> Tuple[int, ...]:
    """The least and the largest id of a chunk, none for an empty one."""
    block = np.asarray(block)
    return (int(block.min()), int(block.max())) if block.size else ()


def _distinct_ids(ids: Any) -> Any:
    """A Dask delayed value of the sorted distinct ids of `ids`: those of each chunk,
    merged pairwise on the workers."""
    import dask

    parts = [dask.delayed(np.unique)(b) for b in ids.to_delayed().ravel()]
    while len(parts) > 1:
        parts = [dask.delayed(np.union1d)(*parts[k:k + 2]) if k + 1 < len(parts) else parts[k]
                 for k in range(0, len(parts), 2)]
    return parts[0]


def _int32_ids(arrays: List[Any], client: Any, name: str) -> List[Any]:
    """Dask partition ids (of one or two catalogues) as int32, in one namespace: when any
    leaves the int32 range, all are relabelled together by rank among the distinct ids
    of all. The distinct ids (not the catalogues) come to the client for that."""
    import dask

    def small(dtype: np.dtype) -> bool:
        return dtype.kind == "b" or dtype.itemsize < 4 or (dtype.itemsize == 4 and dtype.kind == "i")

    if all(small(a.dtype) for a in arrays):
        return [a.astype(np.int32) for a in arrays]
    # Per chunk, as delayed tasks like the count's own: Dask's reductions of arrays read
    # from HDF5 would pickle the open file, which h5py refuses.
    bounds = _compute(client, [dask.delayed(_id_bounds)(b) for a in arrays
                               for b in a.to_delayed().ravel()])
    if all(np.iinfo(np.int32).min <= int(b) <= np.iinfo(np.int32).max for pair in bounds for b in pair):
        return [a.astype(np.int32) for a in arrays]
    distinct = _compute(client, [_distinct_ids(a) for a in arrays])
    if all(d.size == 0 or int(d.max()) <= np.iinfo(np.int64).max for d in distinct):
        labels = np.unique(np.concatenate([d.astype(np.int64) for d in distinct]))
    else:  # beyond int64: Python's integers hold both signs and widths exactly
        labels = np.unique(np.array([v for d in distinct for v in d.tolist()], dtype=object))
    if labels.size > 2**31:
        raise ValueError(f"{name} holds {labels.size} distinct ids; at most 2**31 can be counted")
    return [a.map_blocks(_relabelled, labels, dtype=np.int32) for a in arrays]


def _relabelled(block: np.ndarray, labels: np.ndarray) -> np.ndarray:
    """Ids as their rank among `labels`. A function of the module, not a closure: Dask
    then pickles the graph as it is, with its HDF5 datasets by file and name."""
    return np.searchsorted(labels, np.asarray(block).astype(labels.dtype)).astype(np.int32)


def _dask_weights(weights: Any, rows: Tuple[int, ...], client: Any, name: str,
                  coords_name: str) -> Any:
    """Weights as a Dask array chunked like their positions' rows `rows`; weights held
    here are checked as quor checks them first, those of Dask on the workers (finite)."""
    import dask.array as da

    n_rows = sum(rows)
    if not _is_dask(weights):
        return da.from_array(_inputs.weights(name, weights, n_rows, coords_name), chunks=(rows,))
    weights = _known_rows(weights, client)
    if weights.ndim != 1:
        raise ValueError(f"{name} must be one-dimensional, got shape {weights.shape}")
    if weights.shape[0] != n_rows:
        raise ValueError(
            f"{name} must hold one weight per row of {coords_name} ({n_rows}), got {weights.shape[0]}")
    if weights.dtype.kind not in "fiu":
        raise TypeError(f"{name} must hold real numbers, not {weights.dtype}")
    return weights.rechunk((rows,))


def _dask_sides(coords: Any, partition_ids: Any, pair: Dict[str, Any], box: float,
                client: Any, regions: Any = None, regions2: Any = None,
                ) -> Tuple[List[Tuple[List[Any], int]], Optional[Tuple[Any, ...]]]:
    """Each catalogue of a pair count with a Dask input as (chunks, rows): per chunk, the
    Dask delayed values of its positions, int32 ids, weights (None without) and region
    labels (int32 labels, n for the cubes of regions=n, or None without regions); and
    the regions (see _dask_regions), None without."""
    names = [("coords", "partition_ids", "weights")]
    inputs = [(coords, partition_ids, pair["weights"])]
    if pair["coords2"] is not None:
        names.append(("coords2", "partition_ids2", "weights2"))
        inputs.append((pair["coords2"], pair["partition_ids2"], pair["weights2"]))
    positions, ids = [], []
    for (cname, iname, _), (c, i, _) in zip(names, inputs):
        positions.append(_dask_positions(c, box, _inputs.length(i), client, cname))
        ids.append(_dask_id_values(i, int(positions[-1].shape[0]), client, iname, cname))
    ids = _int32_ids(ids, client, " and ".join(n[1] for n in names) +
                     (" together" if len(names) > 1 else ""))
    sides = []
    for (cname, _, wname), (_, _, w), xyz, i in zip(names, inputs, positions, ids):
        rows = xyz.chunks[0]
        blocks = [xyz.to_delayed().ravel(), i.rechunk((rows,)).to_delayed().ravel()]
        if w is None:
            blocks.append([None] * len(rows))
        else:
            blocks.append(_dask_weights(w, rows, client, wname, cname).to_delayed().ravel())
        sides.append([list(b) for b in blocks])
    region_info = None
    if regions is not None:
        labels, region_info = _dask_regions(regions, regions2, positions, box, client,
                                            [side[2] for side in sides])
    for k, (side, xyz) in enumerate(zip(sides, positions)):
        side.append([None] * len(xyz.chunks[0]) if regions is None else labels[k])
    chunks = [(list(zip(*side)), sum(xyz.chunks[0])) for side, xyz in zip(sides, positions)]
    return chunks, region_info


def _dask_regions(regions: Any, regions2: Any, positions: List[Any], box: float, client: Any,
                  weights: List[List[Any]]) -> Tuple[List[List[Any]], Tuple[Any, ...]]:
    """The region labels of each catalogue per chunk of its `positions` (Dask delayed
    int32 labels, relabelled over both catalogues together, or n for the cubes of
    regions=n, made by the workers from the positions), and the regions as (Regions
    without labels, galaxies per region of each catalogue, weights per region of each
    or None), the last two counted on the workers chunk by chunk."""
    import dask

    cross = len(positions) > 1
    n = _inputs.cubes_per_side(regions)
    if n is not None:
        if regions2 is not None:
            raise ValueError(f"regions2 must be None with regions={n}: the cubes cut both "
                             f"catalogues")
        n_regions, values = n**3, None
        labels: List[List[Any]] = [[n] * len(xyz.chunks[0]) for xyz in positions]
    else:
        if cross and regions2 is None:
            raise ValueError("regions2 is required with coords2 and an array of regions: one "
                             "label per galaxy of the second catalogue")
        if cross and (_inputs.cubes_per_side(regions2) is not None
                      or isinstance(regions2, (bool, np.bool_))):
            raise TypeError("regions2 must be an array of labels (cubes are asked for by "
                            "regions=n alone)")
        names = [("regions", "coords"), ("regions2", "coords2")]
        arrays = [_dask_label_values(v, int(xyz.shape[0]), client, *name)
                  for v, xyz, name in zip((regions, regions2), positions, names)]
        distinct = _compute(client, [_distinct_ids(a) for a in arrays])
        values = distinct[0] if not cross else np.unique(_inputs._joint_labels(*distinct))
        if values.size > 2**31:
            raise ValueError(f"regions holds {values.size} distinct labels; at most 2**31 can "
                             f"be counted")
        n_regions = int(values.size)
        labels = [list(a.map_blocks(_relabelled, values, dtype=np.int32)
                       .rechunk((xyz.chunks[0],)).to_delayed().ravel())
                  for a, xyz in zip(arrays, positions)]
    weighted = any(w is not None for side in weights for w in side)
    tally = dask.delayed(_chunk_tally, pure=False)
    tasks = [[tally(c, l, w, box, n_regions, weighted)
              for c, l, w in zip(xyz.to_delayed().ravel(), side, side_w)]
             for xyz, side, side_w in zip(positions, labels, weights)]
    flat = _compute(client, [t for side in tasks for t in side])
    tallies = [flat[:len(tasks[0])], flat[len(tasks[0]):]][:len(tasks)]
    sizes = tuple(np.sum([t[0] for t in side], axis=0) for side in tallies)
    sums = tuple(np.sum([t[1] for t in side], axis=0) for side in tallies) if weighted else None
    reg = _inputs.Regions(None, None, n_regions, values)
    return labels, (reg, sizes, sums)


def _chunk_tally(coords: Any, labels: Any, weights: Any, box: float, n_regions: int,
                 weighted: bool) -> Tuple[np.ndarray, Optional[np.ndarray]]:
    """The galaxies of one chunk in each region, and the sum of their weights (1 each
    without weights) when the count is weighted."""
    if isinstance(labels, int):
        labels = _inputs.cube_labels(_inputs.positions(coords, box), labels, box)
    labels = np.asarray(labels)
    sizes = np.bincount(labels, minlength=n_regions).astype(np.int64)
    if not weighted:
        return sizes, None
    w = None if weights is None else np.asarray(weights, dtype=np.float64)
    return sizes, np.bincount(labels, weights=w, minlength=n_regions).astype(np.float64)


def _dask_label_values(labels: Any, n_rows: int, client: Any, name: str,
                       coords_name: str) -> Any:
    """Region labels as a one-dimensional Dask array of integers, one per row; labels
    held here are checked as quor checks them first."""
    import dask.array as da

    if not _is_dask(labels):
        if not hasattr(labels, "__len__") and not hasattr(labels, "__array__"):
            raise TypeError(f"{name} must be an int n >= 1 (n**3 cubes) or an array of "
                            f"integer labels, not {type(labels).__name__}")
        return da.from_array(_inputs._label_values(name, labels, n_rows, coords_name))
    labels = _known_rows(labels, client)
    if labels.ndim != 1:
        raise ValueError(f"{name} must be an int or a one-dimensional array of labels, got "
                         f"shape {labels.shape}")
    if labels.shape[0] != n_rows:
        raise ValueError(f"{name} must hold one label per row of {coords_name} ({n_rows}), "
                         f"got {labels.shape[0]}")
    if labels.dtype.kind not in "iu":
        raise TypeError(f"{name} must hold integers, not {labels.dtype}")
    return labels


def _count_sums_on(client: Any, kernel: str, coords: Any, partition_ids: Any,
                   pair: Dict[str, Any], sums: Tuple[bool, bool, bool, bool],
                   args: Tuple[Any, ...], box: float, reach: float, window: Optional[float],
                   n_slabs: Any, report: Optional[ProgressCallback], threads: Optional[int],
                   empty: Tuple[Any, ...], regions: Any = None, regions2: Any = None,
                   ) -> Tuple[List[Tuple[Any, ...]], Optional[Tuple[Any, ...]]]:
    """The slabs' results of a pair count with a second catalogue, weights,
    separations or regions, or of a group count with regions (see the head of this
    section), and the regions: (Regions, galaxies per region of each catalogue,
    weights per region or None), or None without."""
    cross = sums[0]
    inputs = (coords, partition_ids, pair["coords2"], pair["partition_ids2"], pair["weights"],
              pair["weights2"], regions, regions2)
    held = not any(_is_dask(a) for a in inputs)
    region_info = None
    if held:
        xyz, ids, _, extra, reg = _pair_regions_inputs(
            coords, partition_ids, box, pair["coords2"], pair["partition_ids2"], pair["weights"],
            pair["weights2"], pair["separations"], regions, regions2)
        catalogues = [(xyz, ids, extra.get("weights"), None if reg is None else reg.labels)]
        if cross:
            catalogues.append((extra["coords2"], extra["partition_ids2"], extra.get("weights2"),
                               None if reg is None else reg.labels2))
        if reg is not None:
            region_info = (reg, *region_tallies(reg, extra))
        rows = [c[0].shape[0] for c in catalogues]
        del xyz, ids, extra, reg
    else:
        sides, region_info = _dask_sides(coords, partition_ids, pair, box, client, regions,
                                         regions2)
        rows = [side[1] for side in sides]
    n_regions = 0 if region_info is None else region_info[0].n_regions
    if n_regions:
        region_memory(region_info[0], sum(a.size for a in empty if a is not None), 1)
        empty = _slab_counter(kernel)(
            np.zeros((0, 3)), np.zeros(0, np.int32), *args, 0.0, box, None, threads, None,
            **_empty_keywords(sums), regions=np.zeros(0, np.int32), n_regions=n_regions,
            **({"regions2": np.zeros(0, np.int32)} if cross else {}))
    if min(rows) == 0:
        return [empty], region_info
    with _into_dask():
        workers = sum(client.nthreads().values()) or 1
    n = _choose_slabs(n_slabs, sum(rows), workers, reach, box)
    ghost = _ghost_reach(reach, box)
    columns = 0 if window is None else _kernels.pair_grid_columns(sum(rows), box, reach, window)
    faces = _aligned_faces(n, box, ghost, columns)
    # The first catalogue of a cross count has no ghosts, the second has them on both faces.
    cuts: List[Optional[bool]] = [False, True] if cross else [None]

    sent: List[Any] = []
    with _flight(client, sent):
        try:
            if held:
                pieces = [
                    _scatter_slabs(client, r, lambda a, b, c=c, g=g: _split_sums_rows(
                        c[0][a:b], c[1][a:b], None if c[2] is None else c[2][a:b], faces, ghost, g,
                        None if c[3] is None else c[3][a:b]), n, sent)
                    for c, r, g in zip(catalogues, rows, cuts)]
                del catalogues
                with _into_dask():
                    futures = [client.submit(_count_slab, kernel, args, threads, faces[s],
                                             faces[s + 1], (len(pieces[0][s]), *sums, n_regions),
                                             *[f for side in pieces for f in side[s]], pure=False)
                               for s in range(n)]
                del pieces
            else:
                import dask

                split = dask.delayed(_split_chunk_sums, nout=n, pure=False)
                names = [("coords", "weights"), ("coords2", "weights2")]
                pieces = [[split(c, i, w, box, faces, ghost, g, name, r) for c, i, w, r in side[0]]
                          for side, g, name in zip(sides, cuts, names)]
                count = dask.delayed(_count_slab, pure=False)
                slabs = [count(kernel, args, threads, faces[s], faces[s + 1],
                               (len(pieces[0]), *sums, n_regions),
                               *[p[s] for side in pieces for p in side])
                         for s in range(n)]
                with _into_dask():
                    futures = client.compute(slabs)
        except BaseException:
            _cancel(client, sent)
            raise
        sent.clear()
        return _results(client, futures, report), region_info


# ---------------------------------------------------------------------------------------------
# The embedded cluster


# Dask settings of the embedded cluster. The workers' statistical
# profiler (sampling every thread 100 times a second), the event loops' health check
# (every 20 ms) and the system monitor (every 500 ms) serve Dask's dashboard and its
# warnings of a blocked loop; nothing of a count reads them. The memory monitors of the
# workers and their nannies (every 100 ms) guard against a worker outgrowing its
# memory; a slab task's memory is known before it starts, and twice a second still
# catches a runaway. Together they cost some 5% of a core per process while it runs.
_CLUSTER_SETTINGS = {
    "distributed.worker.profile.enabled": False,
    "distributed.admin.tick.interval": "1s",
    "distributed.admin.system-monitor.interval": "5s",
    "distributed.worker.memory.monitor-interval": "500ms",
}


# glibc's allocator in those workers. Dask starts workers with MALLOC_TRIM_THRESHOLD_
# low, so that idle workers hand memory back; setting it also pins the mmap threshold at
# 128 KiB, and then every array a slab task allocates comes as fresh pages, faulted in
# one at a time: some 7% of the CPU time of a count of a million galaxies. These
# workers keep up to 32 MiB free for the next task, and take arrays below that size
# from the heap. The variables must be set before the worker process starts.
_WORKER_MALLOC = {"MALLOC_TRIM_THRESHOLD_": str(32 << 20), "MALLOC_MMAP_THRESHOLD_": str(32 << 20)}


@contextlib.contextmanager
def _workers_skip_the_script() -> Iterator[None]:
    """Worker processes started inside this block do not run the caller's script.

    Python starts them fresh and, to rebuild the caller's `__main__`, imports the script
    again in each (by its file, or by its module name under `python -m`): its unguarded
    code would run there once more, and a script without `if __name__ == "__main__":`
    fails as its copy tries to start the cluster in turn. The workers run only quor's
    tasks, which need nothing of the script, so the script's file and module name are
    hidden while they start."""
    main = sys.modules.get("__main__")
    saved = {k: main.__dict__[k] for k in ("__file__", "__spec__")
             if main is not None and k in main.__dict__}
    if "__file__" in saved:
        del main.__file__
    if "__spec__" in saved:
        main.__spec__ = None
    try:
        yield
    finally:
        if main is not None:
            main.__dict__.update(saved)


def _own_cluster() -> Tuple[Any, Any]:
    """A LocalCluster of worker processes, one per core, each counting on one thread, and
    a client of it: the embedded cluster."""
    import dask
    from distributed import Client, LocalCluster

    cores = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count() or 1
    # Dask passes its pre-spawn variables on through this process's environment, where
    # a value already set wins over its configuration: an earlier cluster leaves its
    # MALLOC_TRIM_THRESHOLD_ there. The allocator's are set there for the workers to
    # start with, and the caller's environment is put back once they run.
    spawn_keys = {*dask.config.get("distributed.nanny.pre-spawn-environ", {}), *_WORKER_MALLOC}
    saved = {k: os.environ.get(k) for k in spawn_keys}
    # Each worker process sizes its kernel pool from RAYON_NUM_THREADS: one thread each,
    # so the workers together use every core once. The workers take the settings with
    # them as they start.
    with dask.config.set(_CLUSTER_SETTINGS):
        try:
            os.environ.update(_WORKER_MALLOC)
            with _workers_skip_the_script():
                cluster = LocalCluster(n_workers=cores, threads_per_worker=1, processes=True,
                                       dashboard_address=":0",
                                       env={"QUOR_NUM_THREADS": "1", "RAYON_NUM_THREADS": "1"})
        finally:
            for k, v in saved.items():
                if v is None:
                    os.environ.pop(k, None)
                else:
                    os.environ[k] = v
        try:
            # The workers are on this machine: the slabs' rows go to them straight, not
            # through the scheduler.
            client = Client(cluster, set_as_default=False, direct_to_workers=True)
        except BaseException:
            cluster.close()
            raise
    return cluster, client


# ---------------------------------------------------------------------------------------------
# The clusters a count runs on


# The cluster started at the first call without a client, its client and the process that
# started it (a forked child starts its own); the start-up under way, if any, and the
# error of the last one that failed; the clients of scheduler addresses passed as
# `client`, one per address. All behind _LOCK.
_LOCK = threading.Lock()
_embedded: Optional[Tuple[Any, Any, int]] = None
_starting: Optional[threading.Event] = None
_start_error: Optional[BaseException] = None
_connected: Dict[str, Any] = {}
# The futures of the counts under way (scattered rows, slab tasks), with their clients:
# cancelled before a close, or at exit.
_in_flight: List[Tuple[Any, List[Any], bool]] = []  # (client, futures, in a daemon thread)
_exit_hooks = False
# Set as the interpreter begins to exit: the counts of daemon threads then stop where
# they are, quietly, until the interpreter ends those threads.
_EXITING = threading.Event()
# Calls of daemon threads' counts into Dask under way (_into_dask), and the condition
# that they change.
_INTO_DASK = threading.Condition()
_daemon_calls_into_dask = 0
# How long the exit waits for them to return.
_EXIT_WAIT_SECONDS = 5.0


def _alive(cluster: Any, client: Any) -> bool:
    from distributed.core import Status

    return client.status == "running" and cluster.status == Status.running


def _start_embedded(started: threading.Event) -> None:
    """Starts the embedded cluster, in a thread of its own: Ctrl-C reaches the caller's
    thread, which stops waiting at once, while Dask's start-up runs to its end here (cut
    short, it would leave a half-started cluster that Dask fails to close at exit). The
    thread is not a daemon, so the interpreter waits for it before the exit hook closes
    the cluster."""
    global _embedded, _starting, _start_error
    try:
        cluster, client = _own_cluster()
        error = None
    except BaseException as exc:  # given to the callers waiting for it
        error = exc
    with _LOCK:
        _start_error = error
        if error is None:
            _embedded = (cluster, client, os.getpid())
        _starting = None
    started.set()


def _embedded_client() -> Any:
    global _embedded, _starting
    dead = None
    with _LOCK:
        if _embedded is not None and _embedded[2] != os.getpid():
            _embedded = None  # a forked child: its parent's cluster is not ours to use
        if _embedded is not None:
            if _alive(*_embedded[:2]):
                return _embedded[1]
            dead, _embedded = _embedded, None  # closed under us, or its scheduler died
        if _starting is None:
            _starting = threading.Event()
            threading.Thread(target=_start_embedded, args=(_starting,),
                             name="quor-cluster-start").start()
        started = _starting
    if dead is not None:
        with contextlib.suppress(Exception):  # whatever is left of it
            dead[1].close()
            dead[0].close()
    while not started.wait(1.0):  # a wait with a timeout takes Ctrl-C everywhere
        pass
    _stay_if_exiting()
    with _LOCK:
        if _embedded is None:
            raise RuntimeError(
                "quor.distributed could not start its LocalCluster") from _start_error
        return _embedded[1]


def _address_client(address: str) -> Any:
    from distributed import Client

    with _LOCK:
        client = _connected.get(address)
        if client is None or client.status != "running":
            client = _connected[address] = Client(address, set_as_default=False)
        return client


def _client_for(client: Any) -> Any:
    """The client a count runs on: `client` itself, the client of a scheduler address,
    or the embedded cluster's for None."""
    global _exit_hooks
    import distributed.deploy  # noqa: F401  (registers Dask's exit hooks, if not yet done)

    with _LOCK:
        if not _exit_hooks:
            # Both run before Dask's own, registered earlier: first as the interpreter
            # begins to exit, before it stops the thread pools (Dask needs one to move
            # large messages) and waits for the non-daemon threads; then at exit.
            register = getattr(threading, "_register_atexit", atexit.register)
            register(_drop_daemon_counts)
            atexit.register(_at_exit)
            _exit_hooks = True
    if client is None:
        return _embedded_client()
    if isinstance(client, str):
        return _address_client(client)
    return client


def _tasks_running(keys: Optional[set] = None, *, dask_worker: Any) -> int:
    """On a worker: its tasks still executing, cancelled or not (those of `keys` alone,
    if given)."""
    tasks = (*dask_worker.state.executing, *dask_worker.state.long_running)
    return len(tasks) if keys is None else sum(t.key in keys for t in tasks)


def _cancel(client: Any, futures: List[Any]) -> None:
    """Cancels the slab tasks of a count and waits until none runs on a worker any more,
    for at most _IDLE_WAIT_SECONDS: they stop within a poll of their `stop`. A client
    or scheduler already gone has nothing left to cancel."""
    if not futures:
        return
    with _into_dask(), contextlib.suppress(Exception):
        client.cancel(futures)
        keys = {f.key for f in futures}
        deadline = time.monotonic() + _IDLE_WAIT_SECONDS
        while any(client.run(_tasks_running, keys).values()) and time.monotonic() < deadline:
            time.sleep(_WAIT_TICK_SECONDS)


def _cancel_in_flight(client: Any = None, daemons_only: bool = False) -> None:
    """_cancel of the counts under way: on `client` alone if given, those of daemon
    threads alone if asked."""
    with _LOCK:
        flights = [(c, fs) for c, fs, daemon in _in_flight
                   if (client is None or c is client) and (daemon or not daemons_only)]
    for c, fs in flights:
        _cancel(c, fs)


def _close_cluster(cluster: Any, client: Any) -> None:
    """Closes the embedded cluster once the counts' tasks have left its workers: a worker
    told to close while a task runs warns of the task it drops, and its nanny of a
    process that would not end."""
    _cancel_in_flight(client)
    client.close()
    cluster.close()


def close() -> None:
    """Close the LocalCluster that the counters started for themselves, and the clients
    they connected to scheduler addresses.

    The counters start that cluster at their first call without a client and keep it
    for the later calls; it closes by itself at interpreter exit. Call this to free its
    worker processes earlier; a later call without a client starts a new one. Clients
    passed in are left open, as are the clusters of scheduler addresses.

    Examples
    --------
    >>> import quor.distributed
    >>> quor.distributed.close()  # nothing to close: no count has run
    """
    global _embedded
    with _LOCK:
        started = _starting
    if started is not None:
        started.wait()
    with _LOCK:
        embedded, _embedded = _embedded, None
        connected = list(_connected.values())
        _connected.clear()
    for client in connected:
        client.close()
    if embedded is not None and embedded[2] == os.getpid():
        _close_cluster(*embedded[:2])


def _drop_daemon_counts() -> None:
    """As the interpreter begins to exit: the counts of daemon threads, which it will
    not wait for, stop at their next call into Dask, and their tasks are cancelled.
    Those of other threads go on: the interpreter waits for them."""
    _EXITING.set()
    with _INTO_DASK:
        _INTO_DASK.wait_for(lambda: _daemon_calls_into_dask == 0, timeout=_EXIT_WAIT_SECONDS)
    with contextlib.suppress(Exception):  # the interpreter is ending: nothing left to tell
        _cancel_in_flight(daemons_only=True)


def _at_exit() -> None:
    """At exit, once every non-daemon thread has ended, before Dask closes its clients
    and clusters: the embedded cluster is closed."""
    _EXITING.set()
    with contextlib.suppress(Exception):
        _cancel_in_flight()
        close()


# ---------------------------------------------------------------------------------------------
# The distributed count


def _wait(futures: List[Any], report: Optional[ProgressCallback]) -> None:
    """Waits for the slab tasks, reporting (done, total) on each change from (0, total) on;
    raises the error of a task that failed as soon as it is seen.

    This thread looks at the futures itself, rather than waiting inside a call to Dask:
    Ctrl-C then interrupts this loop, and no wait of Dask's is left behind to fail
    unread once the tasks are cancelled."""
    total = len(futures)
    if report is not None:
        report(0, total)
    pending = futures
    while pending:
        _EXITING.wait(_WAIT_TICK_SECONDS)
        _stay_if_exiting()
        running = []
        for future in pending:
            if not future.done():
                running.append(future)
            elif future.status != "finished":
                with _into_dask():
                    future.result()  # raises the task's error (or that it was cancelled)
        if report is not None and len(running) < len(pending):
            report(total - len(running), total)
        pending = running


def _stay_if_exiting() -> None:
    """As the interpreter exits, a count in a daemon thread goes no further, and raises
    no error of a cluster closing under it: the thread waits to be ended with the
    interpreter."""
    if _EXITING.is_set() and threading.current_thread().daemon:
        threading.Event().wait()


@contextlib.contextmanager
def _into_dask() -> Iterator[None]:
    """Brackets a call from a count into Dask (short: one run of a scatter, a gather, a
    cancel). At exit, the calls of daemon threads under way are waited for before their
    counts are cancelled, and none starts after (_stay_if_exiting).

    In the main thread, under Python's own handler, Ctrl-C is held back until the call
    returns, and raised then: interrupted inside, such a call leaves its coroutine on
    Dask's event loop, to fail later with no one to read the error, which asyncio then
    prints ("Task exception was never retrieved")."""
    global _daemon_calls_into_dask
    _stay_if_exiting()
    daemon = threading.current_thread().daemon
    if daemon:
        with _INTO_DASK:
            _daemon_calls_into_dask += 1
    defer = (threading.current_thread() is threading.main_thread()
             and signal.getsignal(signal.SIGINT) is signal.default_int_handler)
    caught: List[int] = []
    if defer:
        signal.signal(signal.SIGINT, lambda signum, frame: caught.append(signum))
    failed = False
    try:
        yield
    except BaseException:
        failed = True
        raise
    finally:
        if defer:
            signal.signal(signal.SIGINT, signal.default_int_handler)
        if daemon:
            with _INTO_DASK:
                _daemon_calls_into_dask -= 1
                _INTO_DASK.notify_all()
        if failed:
            _stay_if_exiting()
    if caught:
        raise KeyboardInterrupt


def _results(client: Any, futures: List[Any],
             report: Optional[ProgressCallback] = None) -> List[Any]:
    """The results of `futures`, waited for by _wait. An error or Ctrl-C cancels them,
    and they are gone from the workers when it reaches the caller: the next count on
    the same client starts at once."""
    with _flight(client, futures):
        try:
            _wait(futures, report)
            with _into_dask():
                return client.gather(futures)
        except BaseException:
            _cancel(client, futures)
            raise


@contextlib.contextmanager
def _flight(client: Any, futures: List[Any]) -> Iterator[None]:
    """Lists `futures` (as they are added to the list) among those to cancel when the
    cluster closes or the interpreter exits under the count."""
    flight = (client, futures, threading.current_thread().daemon)
    with _LOCK:
        _in_flight.append(flight)
    try:
        yield
    finally:
        with _LOCK:
            _in_flight.remove(flight)


def _compute(client: Any, collections: List[Any]) -> List[Any]:
    """The values of Dask collections, computed on the cluster as a count's tasks are."""
    with _into_dask():
        futures = client.compute(collections)
    return _results(client, futures)


def _threads(value: Any) -> Optional[int]:
    return None if value is None else _inputs.count("threads", value)


def _count(kernel: str, coords: Any, partition_ids: Any, args: Tuple[Any, ...], box: float,
           reach: float, window: Optional[float], client: Any, n_slabs: Any,
           progress: Progress, threads: Any, what: str,
           pair: Optional[Dict[str, Any]] = None, regions: Any = None,
           regions2: Any = None) -> Any:
    """The count of `kernel` over slabs. `reach` bounds a pair's |dx| (and |dy|);
    `window`, its |dz| in a pair count (whose grid then places the faces), is None for
    group counts. `pair` holds a pair count's keywords coords2, partition_ids2, weights,
    weights2 and separations (None for a group count). Counts with regions cut as
    those with weights, the labels riding with their rows."""
    if not (progress is None or isinstance(progress, bool) or callable(progress)):
        raise TypeError(
            f"progress must be True, False or a callable taking (done, total), "
            f"not {type(progress).__name__}")
    threads = _threads(threads)
    sums = None
    groups = pair is None
    if groups:
        pair = {"coords2": None, "partition_ids2": None, "weights": None, "weights2": None,
                "separations": False}
    else:
        check_pair_keywords(pair["coords2"], pair["partition_ids2"], pair["weights2"],
                            pair["separations"])
        sums = _sums_flags(pair)
    check_region_keywords(pair["coords2"], regions, regions2)
    if regions is not None:
        _inputs.cubes_per_side(regions)  # a bad n fails before anything is read
        sums = (False, False, False, False) if sums is None else sums
    # The arguments' own checks, and the shapes of the result, from an empty catalogue.
    empty = getattr(_kernels, kernel)(np.zeros((0, 3)), np.zeros(0, np.int32), *args, 0.0, box,
                                      None, threads, None, **_empty_keywords(sums))
    _choose_slabs(n_slabs, 0, 1, reach, box)  # a request that cannot hold fails at once
    with reporter(progress, what, unit="slab") as report:
        if sums is None:
            return _count_on(_client_for(client), kernel, coords, partition_ids, args, box,
                             reach, window, n_slabs, report, threads, empty)
        results, region_info = _count_sums_on(
            _client_for(client), kernel, coords, partition_ids, pair, sums, args, box, reach,
            window, n_slabs, report, threads, empty, regions, regions2)
    if groups:  # whole numbers below 2**53: the sum is exact in any order
        joined = [np.sum(column, axis=0) for column in zip(*results)]
        return group_counts_by_region(joined, *region_info[:2])
    if region_info is None:
        return _pair_sums(results, sums)
    return pair_counts_by_region(_joined_pair_columns(results, sums), *region_info)


def _count_on(client: Any, kernel: str, coords: Any, partition_ids: Any, args: Tuple[Any, ...],
              box: float, reach: float, window: Optional[float], n_slabs: Any,
              report: Optional[ProgressCallback], threads: Optional[int],
              empty: Tuple[np.ndarray, np.ndarray]) -> Tuple[np.ndarray, np.ndarray]:
    held = not (_is_dask(coords) or _is_dask(partition_ids))
    if held:
        xyz, ids = _inputs.catalogue(coords, partition_ids, box)
        n_rows = xyz.shape[0]
    else:
        chunks, n_rows = _chunk_tasks(coords, partition_ids, box, client)
    if n_rows == 0:
        return empty
    with _into_dask():
        workers = sum(client.nthreads().values()) or 1
    n = _choose_slabs(n_slabs, n_rows, workers, reach, box)
    ghost = _ghost_reach(reach, box)
    columns = 0 if window is None else _kernels.pair_grid_columns(n_rows, box, reach, window)
    faces = _aligned_faces(n, box, ghost, columns)

    # The scattered pieces, released if the count stops, or at exit under it.
    sent: List[Any] = []
    with _flight(client, sent):
        try:
            if held:
                pieces = _scatter_slabs(
                    client, n_rows, lambda a, b: _split_rows(xyz[a:b], ids[a:b], faces, ghost),
                    n, sent)
                del xyz, ids
                with _into_dask():
                    futures = [client.submit(_count_slab, kernel, args, threads, faces[s],
                                             faces[s + 1], None, *pieces[s], pure=False)
                               for s in range(n)]
                del pieces  # the count tasks hold their rows; they go when the counts end
            else:
                import dask

                split = dask.delayed(_split_chunk, nout=n, pure=False)
                pieces = [split(c[0], c[1], box, faces, ghost) for c in chunks]
                count = dask.delayed(_count_slab, pure=False)
                slabs = [count(kernel, args, threads, faces[s], faces[s + 1], None,
                               *[p[s] for p in pieces]) for s in range(n)]
                with _into_dask():
                    futures = client.compute(slabs)
        except BaseException:
            _cancel(client, sent)
            raise
        sent.clear()
        results = _results(client, futures, report)
    # Whole numbers below 2**53: the sum is exact in any order.
    first = np.sum([r[0] for r in results], axis=0)
    second = np.sum([r[1] for r in results], axis=0)
    return first, second


# ---------------------------------------------------------------------------------------------
# The counters


def _pair_result(result: Tuple[Any, ...]) -> PairCounts:
    return result if isinstance(result, PairCounts) else PairCounts(*result)


def _group_result(result: Tuple[Any, ...]) -> GroupCounts:
    return result if isinstance(result, GroupCounts) else GroupCounts(*result)


def count_pairs_1d(coords: ArrayLike, partition_ids: ArrayLike, r_bins: ArrayLike,
                   box_size: float, *,
                   coords2: Optional[ArrayLike] = None, partition_ids2: Optional[ArrayLike] = None,
                   weights: Optional[ArrayLike] = None, weights2: Optional[ArrayLike] = None,
                   separations: bool = False, client: Any = None, n_slabs: Optional[int] = None,
                   progress: Progress = False, threads: Optional[int] = None,
                   regions: Any = None, regions2: Any = None) -> PairCounts:
    """`quor.count_pairs_1d` on a Dask cluster: the same counts, exactly, and the same
    bits of weighted sums and mean separations.

    Parameters
    ----------
    coords, partition_ids, r_bins, box_size
        As for `quor.count_pairs_1d`; `coords` and `partition_ids` may also be Dask
        arrays chunked along rows (for example over an HDF5 or zarr store, read by the
        workers).
    coords2, partition_ids2, weights, weights2, separations
        As for `quor.count_pairs_1d`, each also a Dask array. Weights are rechunked like
        their positions' rows. In a count of two catalogues each slab takes the first
        catalogue's galaxies it owns and the second's within reach of it, on both faces.
    client : distributed.Client or str, optional
        The cluster to count on, left open, or its scheduler's address (such as
        ``"tcp://head:8786"``; the client made for it is kept for later calls). None
        counts on a LocalCluster of worker processes on this machine, one per core,
        started at the first such call and kept for the later ones (see `close`).
    n_slabs : int, optional
        Slabs along x, one task each: 1, or at least 3 slabs no narrower than the last
        edge. More slabs hold less memory each and more ghosts in all. None chooses from
        the catalogue size and the workers' threads.
    progress : bool or callable, optional
        True shows a progress bar of the slabs on stderr for counts longer than about a
        second; a callable is called as ``progress(done, total)`` from the calling
        thread, with ``done == 0`` first, then on each slab done.
    threads : int, optional
        The most threads each slab task counts with on its worker (the worker's quor
        pool is sized by ``QUOR_NUM_THREADS``); None uses them all.
    regions, regions2 : int or array_like of int, optional
        Jackknife regions, as for `quor.count_pairs_1d`; label arrays may be Dask arrays
        (rechunked like their positions' rows) and travel with their galaxies, ghosts
        included. The delete-one counts equal quor's, and the weighted ones are the same
        bits, for any slab count. The labels of both catalogues are relabelled together
        over the whole catalogues; with Dask positions, the workers make the cubes of
        ``regions=n`` and count the galaxies (and weights) of each region.

    Returns
    -------
    PairCounts
        As `quor.count_pairs_1d` returns, with the same attributes: each slab's weighted
        sums come as exact parts, joined across slabs and rounded once, so they are the
        bits of `quor`'s for any slab count.

    Raises
    ------
    ValueError
        As `quor.count_pairs_1d` (naming `coords2`, `partition_ids2`, `weights` or
        `weights2` as it does; weights of Dask arrays are found not finite on the
        workers), and when the slabs cannot hold: ``n_slabs=2``, slabs narrower than the
        last edge, or a last edge above box_size / 3 (unless n_slabs=1).
    KeyboardInterrupt
        On Ctrl-C, once the slab tasks are cancelled: those running stop on their
        workers within a fraction of a second, and the client stays usable. An error in
        one slab stops the others in the same way.

    Examples
    --------
    >>> import numpy as np, quor, quor.distributed
    >>> rng = np.random.default_rng(1)
    >>> coords = rng.uniform(0, 100, size=(10_000, 3))
    >>> halo = rng.integers(0, 500, size=10_000)
    >>> r = np.logspace(-1, 1, 9)
    >>> counts = quor.distributed.count_pairs_1d(coords, halo, r, 100.0, n_slabs=4)  # doctest: +SKIP
    >>> all((a == b).all() for a, b in zip(counts, quor.count_pairs_1d(coords, halo, r, 100.0)))  # doctest: +SKIP
    True

    Galaxies against mass-weighted particles, with mean separations, equal to quor's:

    >>> particles = rng.uniform(0, 100, size=(40_000, 3))
    >>> host, mass = rng.integers(0, 500, size=40_000), rng.uniform(0.5, 1.5, size=40_000)
    >>> keywords = dict(coords2=particles, partition_ids2=host, weights2=mass, separations=True)
    >>> res = quor.distributed.count_pairs_1d(coords, halo, r, 100.0, n_slabs=4, **keywords)  # doctest: +SKIP
    >>> one = quor.count_pairs_1d(coords, halo, r, 100.0, **keywords)
    >>> bool((res.cross == one.cross).all() and (res.cross_mean_r == one.cross_mean_r).all())  # doctest: +SKIP
    True
    """
    box = _inputs.box_size(box_size)
    r = _inputs.edges("r_bins", r_bins)
    return _pair_result(_count("count_pairs_1d_slab", coords, partition_ids, (r, box), box,
                               float(r[-1]), float(r[-1]), client, n_slabs, progress, threads,
                               "pairs", _pair_keywords(locals()), regions, regions2))


def _pair_keywords(arguments: Dict[str, Any]) -> Dict[str, Any]:
    return {k: arguments[k] for k in ("coords2", "partition_ids2", "weights", "weights2",
                                      "separations")}


def count_pairs_2d(coords: ArrayLike, partition_ids: ArrayLike, r_p_bins: ArrayLike,
                   pi_bins: ArrayLike, box_size: float, *,
                   coords2: Optional[ArrayLike] = None, partition_ids2: Optional[ArrayLike] = None,
                   weights: Optional[ArrayLike] = None, weights2: Optional[ArrayLike] = None,
                   separations: bool = False, client: Any = None,
                   n_slabs: Optional[int] = None, progress: Progress = False,
                   threads: Optional[int] = None, regions: Any = None,
                   regions2: Any = None) -> PairCounts:
    """`quor.count_pairs_2d` on a Dask cluster: the same counts, exactly, and the same
    bits of weighted sums and mean separations. The slabs must be at least the last
    edge of `r_p_bins` wide; the other parameters are those of `count_pairs_1d` here and
    of `quor.count_pairs_2d`.

    Examples
    --------
    >>> import numpy as np, quor, quor.distributed
    >>> rng = np.random.default_rng(1)
    >>> coords, w = rng.uniform(0, 100, size=(10_000, 3)), rng.normal(size=10_000)
    >>> args = (np.zeros(10_000, int), np.linspace(0, 10, 6), np.linspace(0, 20, 5), 100.0)
    >>> res = quor.distributed.count_pairs_2d(coords, *args, weights=w, n_slabs=3)  # doctest: +SKIP
    >>> bool((res.auto == quor.count_pairs_2d(coords, *args, weights=w).auto).all())  # doctest: +SKIP
    True
    """
    box = _inputs.box_size(box_size)
    r_p = _inputs.edges("r_p_bins", r_p_bins)
    pi = _inputs.edges("pi_bins", pi_bins)
    return _pair_result(_count("count_pairs_2d_slab", coords, partition_ids, (r_p, pi, box), box,
                               float(r_p[-1]), float(pi[-1]), client, n_slabs, progress, threads,
                               "pairs (r_p, pi)", _pair_keywords(locals()), regions, regions2))


def count_pairs_smu(coords: ArrayLike, partition_ids: ArrayLike, s_bins: ArrayLike, n_mu_bins: int,
                    mu_max: float, box_size: float, *,
                    coords2: Optional[ArrayLike] = None, partition_ids2: Optional[ArrayLike] = None,
                    weights: Optional[ArrayLike] = None, weights2: Optional[ArrayLike] = None,
                    separations: bool = False, client: Any = None,
                    n_slabs: Optional[int] = None, progress: Progress = False,
                    threads: Optional[int] = None, regions: Any = None,
                    regions2: Any = None) -> PairCounts:
    """`quor.count_pairs_smu` on a Dask cluster: the same counts, exactly, and the same
    bits of weighted sums and mean separations. The slabs must be at least the last
    edge of `s_bins` wide; the other parameters are those of `count_pairs_1d` here and
    of `quor.count_pairs_smu`.

    Examples
    --------
    >>> import numpy as np, quor, quor.distributed
    >>> rng = np.random.default_rng(1)
    >>> coords, other = rng.uniform(0, 100, size=(10_000, 3)), rng.uniform(0, 100, size=(5_000, 3))
    >>> args = (np.arange(10_000), [0.0, 5.0, 10.0], 10, 1.0, 100.0)
    >>> keywords = dict(coords2=other, partition_ids2=np.arange(5_000))
    >>> res = quor.distributed.count_pairs_smu(coords, *args, n_slabs=3, **keywords)  # doctest: +SKIP
    >>> bool((res.cross == quor.count_pairs_smu(coords, *args, **keywords).cross).all())  # doctest: +SKIP
    True
    """
    box = _inputs.box_size(box_size)
    s = _inputs.edges("s_bins", s_bins)
    n_mu = _inputs.count("n_mu_bins", n_mu_bins)
    mu = _inputs.mu_max(mu_max)
    return _pair_result(_count("count_pairs_smu_slab", coords, partition_ids, (s, n_mu, mu, box),
                               box, float(s[-1]), float(s[-1]), client, n_slabs, progress,
                               threads, "pairs (s, mu)", _pair_keywords(locals()), regions,
                               regions2))


def count_npoint(coords: ArrayLike, partition_ids: ArrayLike, r_bins: ArrayLike, box_size: float,
                 n_order: int, *, client: Any = None, n_slabs: Optional[int] = None,
                 progress: Progress = False, threads: Optional[int] = None,
                 regions: Any = None) -> GroupCounts:
    """`quor.count_npoint` on a Dask cluster: the same counts, exactly. Each group is
    counted by the slab of its lowest-x member; the other parameters are those of
    `count_pairs_1d` here and of `quor.count_npoint`, `regions` included (the
    delete-one counts equal quor's).

    Examples
    --------
    >>> import numpy as np, quor, quor.distributed
    >>> rng = np.random.default_rng(1)
    >>> coords, halo = rng.uniform(0, 100, size=(5_000, 3)), rng.integers(0, 50, 5_000)
    >>> res = quor.distributed.count_npoint(coords, halo, np.linspace(0, 4, 5), 100.0, 3,
    ...                                     n_slabs=3, regions=3)  # doctest: +SKIP
    >>> res.total_by_region.shape  # doctest: +SKIP
    (27, 4)
    """
    box = _inputs.box_size(box_size)
    r = _inputs.edges("r_bins", r_bins)
    n = _inputs.count("n_order", n_order)
    _binning.warn_unfillable(r, n)
    return _group_result(_count("count_npoint_slab", coords, partition_ids, (r, box, n), box,
                                float(r[-1]), None, client, n_slabs, progress, threads,
                                f"groups of {n}", None, regions))


def count_npoint3_shape(coords: ArrayLike, partition_ids: ArrayLike, r_bins: ArrayLike, n_ratio: int,
                        box_size: float, *, client: Any = None, n_slabs: Optional[int] = None,
                        progress: Progress = False, threads: Optional[int] = None,
                        regions: Any = None) -> GroupCounts:
    """`quor.count_npoint3_shape` on a Dask cluster: the same counts, exactly; the other
    parameters are those of `count_npoint` here and of `quor.count_npoint3_shape`."""
    box = _inputs.box_size(box_size)
    r = _inputs.edges("r_bins", r_bins)
    k = _inputs.count("n_ratio", n_ratio)
    _binning.warn_unfillable(r, 3)
    return _group_result(_count("count_npoint3_shape_slab", coords, partition_ids, (r, k, box),
                                box, float(r[-1]), None, client, n_slabs, progress, threads,
                                "triplets by shape", None, regions))
