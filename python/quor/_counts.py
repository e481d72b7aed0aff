"""The five counters of quor: inputs as users hold them, counted by quor._kernels with
the GIL released, interruptible, with optional progress."""
from __future__ import annotations

import operator
from typing import Any, NamedTuple, Optional, Tuple

import numpy as np
from numpy.typing import ArrayLike

from . import _binning, _inputs, _kernels
from ._progress import Progress, reporter
from ._runtime import warn_unparsed_pool_variables

__all__ = ["PairCounts", "GroupCounts", "count_pairs_1d", "count_pairs_2d", "count_pairs_smu",
           "count_npoint", "count_npoint3_shape"]


class KeepsAttributes:
    """Base of the result tuples that carry attributes beside their fields: a copy made by
    ``_replace`` keeps them (NamedTuple's own builds a bare tuple of the class)."""

    __slots__ = ()

    def _replace(self, **fields: Any) -> Any:
        copy = super()._replace(**fields)  # type: ignore[misc]
        copy.__dict__.update(self.__dict__)
        return copy


class _AutoCross(NamedTuple):
    auto: np.ndarray
    cross: np.ndarray


class PairCounts(KeepsAttributes, _AutoCross):
    """Pair counts split by partition; unpacks as ``auto, cross = ...``.

    ``auto`` holds the pairs whose two galaxies share a partition id, ``cross`` those
    whose ids differ. With weights, both hold the sums of w_i * w_j over each bin's
    pairs, and the attributes below carry the rest of the same pass.

    Attributes
    ----------
    auto_pairs, cross_pairs : numpy.ndarray
        The plain pair counts. Without weights, the very arrays ``auto`` and ``cross``.
    auto_mean_r, cross_mean_r : numpy.ndarray or None
        With ``separations=True``: the weighted mean separation of each bin's pairs
        (r, r_p or s), sum(w_i w_j r) / sum(w_i w_j); NaN where that weight sum is 0.
        None otherwise.
    auto_mean_log_r, cross_mean_log_r : numpy.ndarray or None
        Likewise for the natural logarithm of the separation; -inf in a bin holding a
        pair at separation 0 (its logarithm is -inf).
    auto_by_region, cross_by_region : numpy.ndarray
        Only with ``regions``: the delete-one counts (sums with weights), a leading axis
        of n_regions more than ``auto``; entry k leaves out every pair with a member in
        region k, so it is the count of the catalogue(s) without region k's galaxies.
        ``auto_pairs_by_region`` and ``cross_pairs_by_region`` do the same for the pair
        counts (the same arrays without weights).
    region_labels, region_sizes, region_sizes2 : numpy.ndarray
        Only with ``regions``: the labels of the regions in order (the sorted distinct
        labels given, or ``arange(n**3)`` for cubes) and the galaxies of the first and
        (with `coords2`) second catalogue in each.
    region_weights, region_weights2 : numpy.ndarray
        Only with ``regions`` and weights: the sum of each catalogue's weights in each
        region (1 a galaxy for a catalogue given none).
    """

    auto_pairs: np.ndarray
    cross_pairs: np.ndarray
    auto_mean_r: Optional[np.ndarray]
    cross_mean_r: Optional[np.ndarray]
    auto_mean_log_r: Optional[np.ndarray]
    cross_mean_log_r: Optional[np.ndarray]

    def __new__(cls, auto: np.ndarray, cross: np.ndarray, auto_pairs: Optional[np.ndarray] = None,
                cross_pairs: Optional[np.ndarray] = None, auto_mean_r: Optional[np.ndarray] = None,
                cross_mean_r: Optional[np.ndarray] = None,
                auto_mean_log_r: Optional[np.ndarray] = None,
                cross_mean_log_r: Optional[np.ndarray] = None) -> "PairCounts":
        self = super().__new__(cls, auto, cross)
        self.auto_pairs = auto if auto_pairs is None else auto_pairs
        self.cross_pairs = cross if cross_pairs is None else cross_pairs
        self.auto_mean_r, self.cross_mean_r = auto_mean_r, cross_mean_r
        self.auto_mean_log_r, self.cross_mean_log_r = auto_mean_log_r, cross_mean_log_r
        return self


class _GroupFields(NamedTuple):
    by_partitions: np.ndarray
    """Row s - 1 holds the groups whose members carry s distinct partition ids."""
    total: np.ndarray
    """All groups, whatever their partitions: the sum of the rows of ``by_partitions``."""


class GroupCounts(KeepsAttributes, _GroupFields):
    """Group counts split by the number of distinct partitions among the members;
    unpacks as ``by_partitions, total = ...``.

    Attributes
    ----------
    by_partitions_by_region, total_by_region : numpy.ndarray
        Only with ``regions``: the delete-one counts, a leading axis of n_regions more
        than ``by_partitions`` and ``total``; entry k leaves out every group with a
        member in region k. Also ``region_labels`` and ``region_sizes`` (see
        `count_pairs_1d`).
    """


def _threads(threads: Optional[int]) -> Optional[int]:
    """None, or the most workers of the pool a count may use: a whole number >= 1."""
    if threads is None:
        return None
    if isinstance(threads, bool):
        raise TypeError("threads must be None or an int >= 1, not bool")
    try:
        n = operator.index(threads)
    except TypeError:
        raise TypeError(f"threads must be None or an int >= 1, not {type(threads).__name__}") from None
    if n < 1:
        raise ValueError(f"threads must be at least 1, got {n}")
    return n


def _catalogue(coords: ArrayLike, partition_ids: ArrayLike, box_size: float,
               threads: Optional[int] = None) -> Tuple[np.ndarray, np.ndarray, float]:
    warn_unparsed_pool_variables()
    box = _inputs.box_size(box_size)
    xyz, ids = _inputs.catalogue(coords, partition_ids, box, threads=_threads(threads))
    return xyz, ids, box


def _pair_inputs(coords: ArrayLike, partition_ids: ArrayLike, box_size: float, coords2: Any,
                 partition_ids2: Any, weights: Any, weights2: Any,
                 separations: Any) -> Tuple[np.ndarray, np.ndarray, float, dict]:
    """The catalogue, the box and the keywords of the kernels' pair counters for the
    second catalogue, the weights and the separations."""
    xyz, ids, box, extra, _ = _pair_regions_inputs(coords, partition_ids, box_size, coords2,
                                                   partition_ids2, weights, weights2,
                                                   separations)
    return xyz, ids, box, extra


def _pair_regions_inputs(coords: ArrayLike, partition_ids: ArrayLike, box_size: float,
                         coords2: Any, partition_ids2: Any, weights: Any, weights2: Any,
                         separations: Any, regions: Any = None, regions2: Any = None,
                         threads: Optional[int] = None,
                         ) -> Tuple[np.ndarray, np.ndarray, float, dict, Optional[_inputs.Regions]]:
    """_pair_inputs, and the jackknife regions (None without): their labels are among
    the kernels' keywords. The input passes run on at most `threads` workers."""
    check_pair_keywords(coords2, partition_ids2, weights2, separations)
    check_region_keywords(coords2, regions, regions2)
    box = _inputs.box_size(box_size)
    workers = _threads(threads)
    extra: dict = {}
    if coords2 is None:
        xyz, ids = _inputs.catalogue(coords, partition_ids, box, threads=workers)
    else:
        xyz, ids, xyz2, ids2 = _inputs.catalogue_pair(coords, partition_ids, coords2,
                                                      partition_ids2, box, threads=workers)
        extra.update(coords2=xyz2, partition_ids2=ids2)
        if weights2 is not None:
            extra["weights2"] = _inputs.weights("weights2", weights2, xyz2.shape[0], "coords2")
    if weights is not None:
        extra["weights"] = _inputs.weights("weights", weights, xyz.shape[0], "coords")
    if separations:
        extra["separations"] = True
    reg = _inputs.regions(regions, xyz, box, value2=regions2, xyz2=extra.get("coords2"),
                          threads=workers)
    extra.update(region_keywords(reg))
    return xyz, ids, box, extra, reg


def check_region_keywords(coords2: Any, regions: Any, regions2: Any) -> None:
    """Which of `regions` and `regions2` go with a second catalogue, before any is read."""
    if regions2 is None:
        return
    if coords2 is None:
        raise ValueError("regions2 is given without coords2: an auto count takes `regions` "
                         "alone")
    if regions is None:
        raise ValueError("regions2 is given without regions: pass the first catalogue's "
                         "labels as regions")


def region_keywords(reg: Optional[_inputs.Regions]) -> dict:
    """The kernels' keywords for the regions `reg`."""
    if reg is None:
        return {}
    extra = {"regions": reg.labels, "n_regions": reg.n_regions}
    if reg.labels2 is not None:
        extra["regions2"] = reg.labels2
    return extra


def region_memory(reg: Optional[_inputs.Regions], bins: int, arrays: int) -> None:
    """MemoryError before counting when the delete-one counts of `reg` cannot fit."""
    if reg is not None:
        _inputs.check_region_memory(reg.n_regions, bins, arrays)


def check_pair_keywords(coords2: Any, partition_ids2: Any, weights2: Any,
                        separations: Any) -> None:
    """Which of the pair counters' keywords go together, before any is read."""
    if coords2 is None:
        if partition_ids2 is not None:
            raise ValueError("partition_ids2 is given without coords2: pass the second "
                             "catalogue's positions as coords2")
        if weights2 is not None:
            raise ValueError("weights2 is given without coords2: an auto count takes "
                             "`weights` alone")
    elif partition_ids2 is None:
        raise ValueError("partition_ids2 is required with coords2: one partition id per "
                         "galaxy of the second catalogue")
    if not isinstance(separations, (bool, np.bool_)):
        raise TypeError(f"separations must be True or False, not {type(separations).__name__}")


def _mean(sums: np.ndarray, weights: np.ndarray) -> np.ndarray:
    """sums / weights, NaN where the weight sum is 0."""
    out = np.full_like(sums, np.nan)
    np.divide(sums, weights, out=out, where=weights != 0)
    return out


def _pair_counts(raw: Tuple[Any, ...]) -> PairCounts:
    """The kernels' result tuple as PairCounts (see quor._kernels)."""
    if len(raw) == 2:
        return PairCounts(*raw)
    auto, cross, auto_pairs, cross_pairs, auto_r, cross_r, auto_log, cross_log = raw
    if auto_r is None:
        return PairCounts(auto, cross, auto_pairs, cross_pairs)
    return PairCounts(auto, cross, auto_pairs, cross_pairs, _mean(auto_r, auto),
                      _mean(cross_r, cross), _mean(auto_log, auto), _mean(cross_log, cross))


def _delete_one(full: np.ndarray, removed: np.ndarray) -> np.ndarray:
    """The delete-one counts: all the pairs (groups) but those with a member in region k,
    for each k, written over `removed` (the largest arrays of a count with many regions
    are not copied). quor.distributed subtracts in the same way, so weighted sums agree."""
    return np.subtract(full[np.newaxis], removed, out=removed)


def region_attributes(result: Any, reg: _inputs.Regions, sizes: Tuple[np.ndarray, ...],
                      region_weights: Optional[Tuple[np.ndarray, ...]]) -> None:
    """Sets the attributes every result with regions carries: the region labels, the
    galaxies (and weights) of each catalogue in each region."""
    result.region_labels = (np.arange(reg.n_regions, dtype=np.int64) if reg.values is None
                            else reg.values)
    result.region_sizes = sizes[0]
    if len(sizes) > 1:
        result.region_sizes2 = sizes[1]
    if region_weights is not None:
        result.region_weights = region_weights[0]
        if len(region_weights) > 1:
            result.region_weights2 = region_weights[1]


def region_tallies(reg: _inputs.Regions, extra: dict) -> Tuple[Tuple[np.ndarray, ...],
                                                               Optional[Tuple[np.ndarray, ...]]]:
    """The galaxies of each catalogue in each region, and with any weights the sums of
    each catalogue's weights in each region (1 a galaxy without)."""
    labels = [reg.labels] + ([] if reg.labels2 is None else [reg.labels2])
    sizes = tuple(np.bincount(a, minlength=reg.n_regions).astype(np.int64) for a in labels)
    if extra.get("weights") is None and extra.get("weights2") is None:
        return sizes, None
    sums = tuple(np.bincount(a, weights=extra.get(w), minlength=reg.n_regions).astype(np.float64)
                 for a, w in zip(labels, ("weights", "weights2")))
    return sizes, sums


def pair_counts_by_region(raw: Tuple[Any, ...], reg: _inputs.Regions, sizes: Tuple[np.ndarray, ...],
                          region_weights: Optional[Tuple[np.ndarray, ...]]) -> PairCounts:
    """The kernels' 16-tuple of a pair count with regions as PairCounts with the
    delete-one attributes."""
    result = _pair_counts(tuple(raw[:8]))
    auto_removed, cross_removed, pairs_removed, cross_pairs_removed = raw[8:12]
    result.auto_by_region = _delete_one(result.auto, auto_removed)
    result.cross_by_region = _delete_one(result.cross, cross_removed)
    if result.auto_pairs is result.auto or pairs_removed is auto_removed:
        result.auto_pairs_by_region = result.auto_by_region
        result.cross_pairs_by_region = result.cross_by_region
    else:
        result.auto_pairs_by_region = _delete_one(result.auto_pairs, pairs_removed)
        result.cross_pairs_by_region = _delete_one(result.cross_pairs, cross_pairs_removed)
    region_attributes(result, reg, sizes, region_weights)
    return result


def group_counts_by_region(raw: Tuple[Any, ...], reg: _inputs.Regions,
                           sizes: Tuple[np.ndarray, ...]) -> GroupCounts:
    """The kernels' 4-tuple of a group count with regions as GroupCounts with the
    delete-one attributes."""
    by_partitions, total, by_partitions_removed, total_removed = raw
    result = GroupCounts(by_partitions, total)
    result.by_partitions_by_region = _delete_one(by_partitions, by_partitions_removed)
    result.total_by_region = _delete_one(total, total_removed)
    region_attributes(result, reg, sizes, None)
    return result


def _count_pairs(kernel: Any, xyz: np.ndarray, ids: np.ndarray, args: Tuple[Any, ...],
                 extra: dict, reg: Optional[_inputs.Regions], bins: int, progress: Progress,
                 what: str, threads: Optional[int]) -> PairCounts:
    """A pair count by the kernel, with regions or without."""
    arrays = 2 + 2 * ("weights" in extra or "weights2" in extra) + 4 * ("separations" in extra)
    region_memory(reg, bins, arrays)
    tallies = None if reg is None else region_tallies(reg, extra)
    with reporter(progress, what) as report:
        raw = kernel(xyz, ids, *args, report, _threads(threads), **extra)
    if reg is None:
        return _pair_counts(raw)
    return pair_counts_by_region(raw, reg, *tallies)


def _count_groups(kernel: Any, xyz: np.ndarray, ids: np.ndarray, box: float,
                  args: Tuple[Any, ...], regions: Any, bins: int, rows: int, progress: Progress,
                  what: str, threads: Optional[int]) -> GroupCounts:
    """A group count by the kernel, with regions or without: `bins` and `rows` are the
    shape of its by_partitions."""
    reg = _inputs.regions(regions, xyz, box, threads=_threads(threads))
    region_memory(reg, bins, rows + 1)
    with reporter(progress, what) as report:
        raw = kernel(xyz, ids, *args, report, _threads(threads), **region_keywords(reg))
    if reg is None:
        return GroupCounts(*raw)
    return group_counts_by_region(raw, reg, region_tallies(reg, {})[0])


def count_pairs_1d(coords: ArrayLike, partition_ids: ArrayLike, r_bins: ArrayLike,
                   box_size: float, *,
                   coords2: Optional[ArrayLike] = None, partition_ids2: Optional[ArrayLike] = None,
                   weights: Optional[ArrayLike] = None, weights2: Optional[ArrayLike] = None,
                   separations: bool = False, progress: Progress = False,
                   threads: Optional[int] = None, regions: Any = None,
                   regions2: Any = None) -> PairCounts:
    """Count galaxy pairs by 3-D separation in a periodic box, split by partition.

    Every unordered pair of distinct galaxies is counted once, at its minimum-image
    separation r, in the bin ``r_bins[k] <= r < r_bins[k + 1]``. Pairs at or beyond the
    last edge are not counted.

    With `coords2`, the pairs between two catalogues are counted instead: every pair of a
    galaxy i of the first and a galaxy j of the second, once (N1 * N2 candidates, as
    Corrfunc's ``autocorr=0``), at the minimum image of x_j - x_i. Both catalogues' ids
    share one namespace (host-halo ids of galaxies and of particles, say): a pair is in
    ``auto`` when its two ids are equal. The same positions passed twice count each
    galaxy with itself, at separation 0 (in a first bin from 0).

    With `weights`, each bin holds the sum of w_i * w_j over its pairs instead of their
    number; each product is rounded to float64 once, and the sums are exact until they
    are rounded once at the end: the same bits on any thread count or kernel variant.

    Parameters
    ----------
    coords : array_like, shape (N, 3), or table
        Positions [x, y, z] in Mpc/h (any real dtype; columns past the third are ignored),
        or a table with named columns (pandas DataFrame, NumPy structured array, dict of
        arrays) whose columns ``x``, ``y`` and ``z`` (any case) are used in that order,
        its other columns ignored. Positions outside [0, box_size) are wrapped into the
        box periodically. A masked array must have nothing masked.
    partition_ids : array_like of int or bool, shape (N,)
        A partition (for example host-halo) id per galaxy: any integer dtype, pandas'
        nullable integers with no id missing, or booleans (two partitions); only which
        ids are equal matters.
    r_bins : array_like, shape (n_r + 1,)
        Bin edges in Mpc/h: finite, non-negative, non-decreasing.
    box_size : float
        Side of the periodic box in Mpc/h.
    coords2 : array_like, shape (N2, 3), or table, optional
        A second catalogue, read as `coords` is: count the pairs between the two.
    partition_ids2 : array_like of int or bool, shape (N2,)
        Its partition ids, as `partition_ids`; required with `coords2`. Ids beyond the
        int32 range in either catalogue are relabelled together.
    weights : array_like of float, shape (N,), optional
        A finite real weight per galaxy (negative and zero allowed).
    weights2 : array_like of float, shape (N2,), optional
        The second catalogue's weights; only with `coords2`. In a count of two
        catalogues, one given no weights weighs 1 per galaxy.
    separations : bool, optional
        Also return the mean separation of each bin's pairs and the mean of its
        logarithm, weighted by w_i * w_j (the plain means without weights).
    progress : bool or callable, optional
        True shows a progress bar on stderr for counts longer than about a second; a
        callable is called as ``progress(done, total)`` from the calling thread at most
        about ten times a second, and once more at the end with ``done == total``; both
        count cells of the counting grid, and neither ever decreases.
    threads : int, optional
        The most threads of quor's pool this count uses at once, in the passes that
        check, convert and wrap the inputs as in the count itself (the pool has
        ``runtime_info()["threads"]``, see ``QUOR_NUM_THREADS``); None uses them all.
        The counts do not depend on it.
    regions : int or array_like of int, optional
        Jackknife regions, counted in the same pass: an int n cuts the box into n**3
        cubes of side box_size / n, cube (ix * n + iy) * n + iz holding the wrapped
        positions with ix = min(floor(x / (box_size / n)), n - 1) (all n**3 cubes are
        kept, empty ones included); an array gives one integer label per galaxy (any
        integer dtype), the regions being the distinct labels in sorted order.
    regions2 : array_like of int, shape (N2,), optional
        With `coords2` and an array of `regions`: the second catalogue's labels, required
        then; both are relabelled together, so equal labels are one region. Cubes
        (``regions=n``) cut both catalogues and take no `regions2`.

    Returns
    -------
    PairCounts
        ``auto`` and ``cross``, two float64 arrays of shape (n_r,): pairs inside one
        partition and pairs across partitions, or with weights the sums of w_i * w_j over
        them. Attributes ``auto_pairs`` and ``cross_pairs`` hold the pair counts of the
        same pass (``auto`` and ``cross`` themselves without weights). With
        ``separations=True``, ``auto_mean_r``, ``cross_mean_r``, ``auto_mean_log_r`` and
        ``cross_mean_log_r`` hold, per bin, sum(w_i w_j r) / sum(w_i w_j) and the same
        for ln r: NaN where the weight sum is 0, and a mean log of -inf in a bin that
        holds a pair at separation 0 (whose log is -inf); None without separations.
        With `regions`, ``auto_by_region`` and ``cross_by_region`` hold the delete-one
        counts, shape (n_regions, n_r): entry k leaves out every pair with a member in
        region k, so it equals the count of the catalogues without region k's galaxies
        (with weights, ``auto - removed_k`` rounded once more), and the attributes of
        `PairCounts` describe the regions.

    Raises
    ------
    ValueError
        For NaN, infinite, missing or masked positions or ids, a table without columns
        x, y and z, positions laid out as rows (shape (3, N): pass ``coords.T``), bad
        edges or box size, ids or weights of the wrong length, weights that are not
        finite, `partition_ids2` missing with `coords2`, `partition_ids2` or `weights2`
        given without `coords2`, or ``threads < 1``; ``regions < 1``, labels of the
        wrong length or not integers, `regions2` without `coords2`, with an int
        `regions` or missing for an array of them. Each message names the argument.
    MemoryError
        Before counting, when the result and a histogram copy would take more than half
        of this machine's memory (with regions, n_regions + 1 copies of the result);
        the message names the argument that makes it large.
    KeyboardInterrupt
        On Ctrl-C during the count, which then stops within a fraction of a second.

    Examples
    --------
    >>> import numpy as np, quor
    >>> rng = np.random.default_rng(1)
    >>> coords = rng.uniform(0, 100, size=(10_000, 3))
    >>> halo = rng.integers(0, 500, size=10_000)
    >>> auto, cross = quor.count_pairs_1d(coords, halo, np.logspace(-1, 1, 9), 100.0)
    >>> auto.shape, cross.shape
    ((8,), (8,))

    Galaxies against particles that carry their host halo's id, weighted by mass, with
    the mean separations:

    >>> particles = rng.uniform(0, 100, size=(40_000, 3))
    >>> host = rng.integers(0, 500, size=40_000)
    >>> mass = rng.uniform(0.5, 1.5, size=40_000)
    >>> res = quor.count_pairs_1d(coords, halo, [1.0, 2.0, 4.0], 100.0, coords2=particles,
    ...                           partition_ids2=host, weights2=mass, separations=True)
    >>> bool((res.cross_pairs > 0).all()), bool((res.cross_mean_r < 4.0).all())
    (True, True)

    Jackknife counts in the same pass, over 3**3 = 27 cubes: entry k is the count without
    cube k's galaxies.

    >>> res = quor.count_pairs_1d(coords, halo, [1.0, 2.0, 4.0], 100.0, regions=3)
    >>> res.auto_by_region.shape, int(res.region_sizes.sum())
    ((27, 2), 10000)
    >>> bool((res.cross_by_region <= res.cross).all())
    True
    """
    xyz, ids, box, extra, reg = _pair_regions_inputs(
        coords, partition_ids, box_size, coords2, partition_ids2, weights, weights2,
        separations, regions, regions2, threads)
    r = _inputs.edges("r_bins", r_bins)
    return _count_pairs(_kernels.count_pairs_1d, xyz, ids, (r, box), extra, reg, r.size - 1,
                        progress, "pairs", threads)


def count_pairs_2d(coords: ArrayLike, partition_ids: ArrayLike, r_p_bins: ArrayLike,
                   pi_bins: ArrayLike, box_size: float, *,
                   coords2: Optional[ArrayLike] = None, partition_ids2: Optional[ArrayLike] = None,
                   weights: Optional[ArrayLike] = None, weights2: Optional[ArrayLike] = None,
                   separations: bool = False, progress: Progress = False,
                   threads: Optional[int] = None, regions: Any = None,
                   regions2: Any = None) -> PairCounts:
    """Count galaxy pairs by projected and line-of-sight separation, split by partition.

    The line of sight is the z axis: a pair at minimum-image displacement (dx, dy, dz)
    has r_p = sqrt(dx**2 + dy**2) and pi = |dz|, and is counted in bin [i, j] when
    ``r_p_bins[i] <= r_p < r_p_bins[i + 1]`` and ``pi_bins[j] <= pi < pi_bins[j + 1]``.

    Parameters
    ----------
    coords, partition_ids, box_size, coords2, partition_ids2, weights, weights2, progress, threads
        As for `count_pairs_1d` (pairs between two catalogues at the minimum image of
        x_j - x_i, so pi = |z_j - z_i|).
    regions, regions2 : optional
        Jackknife regions, as for `count_pairs_1d`; the delete-one counts have shape
        (n_regions, n_rp, n_pi).
    separations : bool, optional
        As for `count_pairs_1d`, the separation being r_p.
    r_p_bins : array_like, shape (n_rp + 1,)
        Edges of r_p in Mpc/h: finite, non-negative, non-decreasing.
    pi_bins : array_like, shape (n_pi + 1,)
        Edges of pi in Mpc/h, likewise.

    Returns
    -------
    PairCounts
        ``auto`` and ``cross``, float64 arrays of shape (n_rp, n_pi), with the attributes
        of `count_pairs_1d`'s result.

    Examples
    --------
    >>> import numpy as np, quor
    >>> rng = np.random.default_rng(1)
    >>> coords = rng.uniform(0, 100, size=(10_000, 3))
    >>> auto, cross = quor.count_pairs_2d(coords, np.zeros(10_000, int), np.linspace(0, 10, 6),
    ...                                   np.linspace(0, 20, 5), 100.0)
    >>> auto.shape
    (5, 4)
    """
    xyz, ids, box, extra, reg = _pair_regions_inputs(
        coords, partition_ids, box_size, coords2, partition_ids2, weights, weights2,
        separations, regions, regions2, threads)
    r_p = _inputs.edges("r_p_bins", r_p_bins)
    pi = _inputs.edges("pi_bins", pi_bins)
    return _count_pairs(_kernels.count_pairs_2d, xyz, ids, (r_p, pi, box), extra, reg,
                        max(r_p.size - 1, 0) * max(pi.size - 1, 0), progress, "pairs (r_p, pi)",
                        threads)


def count_pairs_smu(coords: ArrayLike, partition_ids: ArrayLike, s_bins: ArrayLike, n_mu_bins: int,
                    mu_max: float, box_size: float, *,
                    coords2: Optional[ArrayLike] = None, partition_ids2: Optional[ArrayLike] = None,
                    weights: Optional[ArrayLike] = None, weights2: Optional[ArrayLike] = None,
                    separations: bool = False, progress: Progress = False,
                    threads: Optional[int] = None, regions: Any = None,
                    regions2: Any = None) -> PairCounts:
    """Count galaxy pairs by redshift-space separation s and mu, split by partition.

    For a pair at minimum-image displacement (dx, dy, dz), s = |(dx, dy, dz)| and
    mu = |dz| / s, the cosine of the angle to the line of sight (the z axis). Bin [i, j]
    holds ``s_bins[i] <= s < s_bins[i + 1]`` and mu in the j-th of `n_mu_bins` equal
    steps of [0, mu_max).

    Parameters
    ----------
    coords, partition_ids, box_size, coords2, partition_ids2, weights, weights2, progress, threads
        As for `count_pairs_1d`. A pair at s = 0 has no mu and is not counted, the
        self-pairs of a catalogue passed twice included.
    regions, regions2 : optional
        Jackknife regions, as for `count_pairs_1d`; the delete-one counts have shape
        (n_regions, n_s, n_mu_bins).
    separations : bool, optional
        As for `count_pairs_1d`, the separation being s.
    s_bins : array_like, shape (n_s + 1,)
        Edges of s in Mpc/h: finite, non-negative, non-decreasing.
    n_mu_bins : int
        Number of mu bins, at least 1.
    mu_max : float
        Upper limit of mu (1.0 for all pairs), finite and positive.

    Returns
    -------
    PairCounts
        ``auto`` and ``cross``, float64 arrays of shape (n_s, n_mu_bins), with the
        attributes of `count_pairs_1d`'s result.

    Examples
    --------
    >>> import numpy as np, quor
    >>> coords = np.random.default_rng(1).uniform(0, 100, size=(10_000, 3))
    >>> auto, cross = quor.count_pairs_smu(coords, np.arange(10_000), [0.0, 5.0, 10.0], 10, 1.0, 100.0)
    >>> cross.shape
    (2, 10)
    """
    xyz, ids, box, extra, reg = _pair_regions_inputs(
        coords, partition_ids, box_size, coords2, partition_ids2, weights, weights2,
        separations, regions, regions2, threads)
    s = _inputs.edges("s_bins", s_bins)
    n_mu = _inputs.count("n_mu_bins", n_mu_bins)
    mu = _inputs.mu_max(mu_max)
    return _count_pairs(_kernels.count_pairs_smu, xyz, ids, (s, n_mu, mu, box), extra, reg,
                        max(s.size - 1, 0) * n_mu, progress, "pairs (s, mu)", threads)


def count_npoint(coords: ArrayLike, partition_ids: ArrayLike, r_bins: ArrayLike, box_size: float,
                 n_order: int, *, progress: Progress = False,
                 threads: Optional[int] = None, regions: Any = None) -> GroupCounts:
    """Count groups of `n_order` galaxies that are all within the last edge of each other.

    A group is counted once, in the bin of its largest pairwise (minimum-image)
    separation, and in the row of its number of distinct partition ids. Pairs
    (``n_order=2``) are binned exactly, row 0 within one partition and row 1 across;
    larger groups are binned through a table of 4096 equal steps of the squared last
    edge, so a group within about ``r_bins[-1]**2 / 4096`` (in squared separation) of
    an inner edge may land in the neighbouring bin, and a bin with no step inside it
    stays empty.

    Parameters
    ----------
    coords, partition_ids, box_size, progress, threads
        As for `count_pairs_1d`.
    regions : int or array_like of int, optional
        Jackknife regions, as for `count_pairs_1d`: then ``by_partitions_by_region`` and
        ``total_by_region`` hold the delete-one counts, a leading axis of n_regions;
        entry k leaves out every group with a member in region k, so it equals the count
        of the catalogue without region k's galaxies.
    r_bins : array_like, shape (n_r + 1,)
        Edges of the largest separation in Mpc/h: finite, non-negative, non-decreasing.
    n_order : int
        Group size, at least 1.

    Returns
    -------
    GroupCounts
        ``by_partitions``, float64 of shape (2, n_r) for pairs and (n_order, n_r)
        otherwise, row s - 1 for s distinct partitions (s is counted up to 8, so rows
        past the eighth stay zero); ``total``, shape (n_r,).

    Warns
    -----
    BinningWarning
        When ``n_order`` is 3 or more and some bins of positive width hold no step of the
        table, so that no group can ever land in them (for example bins below
        ``r_bins[-1] / 64``); the warning names them and the smallest edge resolved.

    Examples
    --------
    >>> import numpy as np, quor
    >>> rng = np.random.default_rng(1)
    >>> coords = rng.uniform(0, 100, size=(5_000, 3))
    >>> by_partitions, total = quor.count_npoint(coords, rng.integers(0, 50, 5_000),
    ...                                          np.linspace(0, 4, 5), 100.0, 3)
    >>> by_partitions.shape, bool((by_partitions.sum(axis=0) == total).all())
    ((3, 4), True)

    Groups by jackknife region, here one label per galaxy:

    >>> res = quor.count_npoint(coords, rng.integers(0, 50, 5_000), np.linspace(0, 4, 5), 100.0,
    ...                         3, regions=rng.integers(0, 10, 5_000))
    >>> res.total_by_region.shape, bool((res.total_by_region <= res.total).all())
    ((10, 4), True)
    """
    xyz, ids, box = _catalogue(coords, partition_ids, box_size, threads)
    r = _inputs.edges("r_bins", r_bins)
    n = _inputs.count("n_order", n_order)
    _binning.warn_unfillable(r, n)
    return _count_groups(_kernels.count_npoint, xyz, ids, box, (r, box, n), regions,
                         max(r.size - 1, 0), max(n, 2), progress, f"groups of {n}", threads)


def count_npoint3_shape(coords: ArrayLike, partition_ids: ArrayLike, r_bins: ArrayLike, n_ratio: int,
                        box_size: float, *, progress: Progress = False,
                        threads: Optional[int] = None, regions: Any = None) -> GroupCounts:
    """Count triplets by their largest separation and their shape r_min / r_max.

    The triplets (all three separations below ``r_bins[-1]``, in Mpc/h) and their rows are
    those of ``count_npoint(..., n_order=3)``; each is
    further binned by the ratio of its smallest to its largest pairwise separation in
    `n_ratio` equal bins of [0, 1] (the last closed, so equilateral triplets land in it).
    Summing over the ratio axis gives the `count_npoint` result exactly.

    Parameters
    ----------
    coords, partition_ids, r_bins, box_size, progress, threads, regions
        As for `count_npoint` (the delete-one counts shaped as the counts, a leading
        axis of n_regions more).
    n_ratio : int
        Number of shape bins, at least 1.

    Returns
    -------
    GroupCounts
        ``by_partitions``, float64 of shape (3, n_r * n_ratio), flattened as
        ``bin_rmax * n_ratio + bin_ratio`` (reshape to (3, n_r, n_ratio) to separate
        them); ``total``, shape (n_r * n_ratio,).

    Warns
    -----
    BinningWarning
        As `count_npoint` for triplets: some bins of `r_bins` can never hold one.

    Examples
    --------
    >>> import numpy as np, quor
    >>> rng = np.random.default_rng(1)
    >>> coords = rng.uniform(0, 100, size=(5_000, 3))
    >>> by_partitions, total = quor.count_npoint3_shape(coords, rng.integers(0, 50, 5_000),
    ...                                                 np.linspace(0, 4, 5), 6, 100.0)
    >>> by_partitions.reshape(3, 4, 6).shape
    (3, 4, 6)
    """
    xyz, ids, box = _catalogue(coords, partition_ids, box_size, threads)
    r = _inputs.edges("r_bins", r_bins)
    k = _inputs.count("n_ratio", n_ratio)
    _binning.warn_unfillable(r, 3)
    return _count_groups(_kernels.count_npoint3_shape, xyz, ids, box, (r, k, box), regions,
                         max(r.size - 1, 0) * k, 3, progress, "triplets by shape", threads)
