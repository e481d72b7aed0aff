"""The five counters of quor: inputs as users hold them, counted by quor._kernels with
the GIL released, interruptible, with optional progress."""
from __future__ import annotations

from typing import NamedTuple, Tuple

import numpy as np
from numpy.typing import ArrayLike

from . import _binning, _inputs, _kernels
from ._progress import Progress, reporter

__all__ = ["PairCounts", "GroupCounts", "count_pairs_1d", "count_pairs_2d", "count_pairs_smu",
           "count_npoint", "count_npoint3_shape"]


class PairCounts(NamedTuple):
    """Pair counts split by partition; unpacks as ``auto, cross = ...``."""

    auto: np.ndarray
    """Pairs whose two galaxies share a partition id."""
    cross: np.ndarray
    """Pairs whose galaxies have different partition ids."""


class GroupCounts(NamedTuple):
    """Group counts split by the number of distinct partitions among the members;
    unpacks as ``by_partitions, total = ...``."""

    by_partitions: np.ndarray
    """Row s - 1 holds the groups whose members carry s distinct partition ids."""
    total: np.ndarray
    """All groups, whatever their partitions: the sum of the rows of ``by_partitions``."""


def _catalogue(coords: ArrayLike, partition_ids: ArrayLike,
               box_size: float) -> Tuple[np.ndarray, np.ndarray, float]:
    box = _inputs.box_size(box_size)
    xyz, ids = _inputs.catalogue(coords, partition_ids, box)
    return xyz, ids, box


def count_pairs_1d(coords: ArrayLike, partition_ids: ArrayLike, r_bins: ArrayLike,
                   box_size: float, *, progress: Progress = False) -> PairCounts:
    """Count galaxy pairs by 3-D separation in a periodic box, split by partition.

    Every unordered pair of distinct galaxies is counted once, at its minimum-image
    separation r, in the bin ``r_bins[k] <= r < r_bins[k + 1]``. Pairs at or beyond the
    last edge are not counted.

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
    progress : bool or callable, optional
        True shows a progress bar on stderr for counts longer than about a second; a
        callable is called as ``progress(done, total)`` from the calling thread at most
        about ten times a second, and once more at the end with ``done == total``; both
        count cells of the counting grid, and neither ever decreases.

    Returns
    -------
    PairCounts
        ``auto`` and ``cross``, two float64 arrays of shape (n_r,): pairs inside one
        partition and pairs across partitions.

    Raises
    ------
    ValueError
        For NaN, infinite, missing or masked positions or ids, a table without columns
        x, y and z, positions laid out as rows (shape (3, N): pass ``coords.T``), bad
        edges or box size, or ids of the wrong length.
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
    """
    xyz, ids, box = _catalogue(coords, partition_ids, box_size)
    r = _inputs.edges("r_bins", r_bins)
    with reporter(progress, "pairs") as report:
        return PairCounts(*_kernels.count_pairs_1d(xyz, ids, r, box, report))


def count_pairs_2d(coords: ArrayLike, partition_ids: ArrayLike, r_p_bins: ArrayLike,
                   pi_bins: ArrayLike, box_size: float, *, progress: Progress = False) -> PairCounts:
    """Count galaxy pairs by projected and line-of-sight separation, split by partition.

    The line of sight is the z axis: a pair at minimum-image displacement (dx, dy, dz)
    has r_p = sqrt(dx**2 + dy**2) and pi = |dz|, and is counted in bin [i, j] when
    ``r_p_bins[i] <= r_p < r_p_bins[i + 1]`` and ``pi_bins[j] <= pi < pi_bins[j + 1]``.

    Parameters
    ----------
    coords, partition_ids, box_size, progress
        As for `count_pairs_1d`.
    r_p_bins : array_like, shape (n_rp + 1,)
        Edges of r_p in Mpc/h: finite, non-negative, non-decreasing.
    pi_bins : array_like, shape (n_pi + 1,)
        Edges of pi in Mpc/h, likewise.

    Returns
    -------
    PairCounts
        ``auto`` and ``cross``, float64 arrays of shape (n_rp, n_pi).

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
    xyz, ids, box = _catalogue(coords, partition_ids, box_size)
    r_p = _inputs.edges("r_p_bins", r_p_bins)
    pi = _inputs.edges("pi_bins", pi_bins)
    with reporter(progress, "pairs (r_p, pi)") as report:
        return PairCounts(*_kernels.count_pairs_2d(xyz, ids, r_p, pi, box, report))


def count_pairs_smu(coords: ArrayLike, partition_ids: ArrayLike, s_bins: ArrayLike, n_mu_bins: int,
                    mu_max: float, box_size: float, *, progress: Progress = False) -> PairCounts:
    """Count galaxy pairs by redshift-space separation s and mu, split by partition.

    For a pair at minimum-image displacement (dx, dy, dz), s = |(dx, dy, dz)| and
    mu = |dz| / s, the cosine of the angle to the line of sight (the z axis). Bin [i, j]
    holds ``s_bins[i] <= s < s_bins[i + 1]`` and mu in the j-th of `n_mu_bins` equal
    steps of [0, mu_max).

    Parameters
    ----------
    coords, partition_ids, box_size, progress
        As for `count_pairs_1d`.
    s_bins : array_like, shape (n_s + 1,)
        Edges of s in Mpc/h: finite, non-negative, non-decreasing.
    n_mu_bins : int
        Number of mu bins, at least 1.
    mu_max : float
        Upper limit of mu (1.0 for all pairs), finite and positive.

    Returns
    -------
    PairCounts
        ``auto`` and ``cross``, float64 arrays of shape (n_s, n_mu_bins).

    Examples
    --------
    >>> import numpy as np, quor
    >>> coords = np.random.default_rng(1).uniform(0, 100, size=(10_000, 3))
    >>> auto, cross = quor.count_pairs_smu(coords, np.arange(10_000), [0.0, 5.0, 10.0], 10, 1.0, 100.0)
    >>> cross.shape
    (2, 10)
    """
    xyz, ids, box = _catalogue(coords, partition_ids, box_size)
    s = _inputs.edges("s_bins", s_bins)
    n_mu = _inputs.count("n_mu_bins", n_mu_bins)
    mu = _inputs.mu_max(mu_max)
    with reporter(progress, "pairs (s, mu)") as report:
        return PairCounts(*_kernels.count_pairs_smu(xyz, ids, s, n_mu, mu, box, report))


def count_npoint(coords: ArrayLike, partition_ids: ArrayLike, r_bins: ArrayLike, box_size: float,
                 n_order: int, *, progress: Progress = False) -> GroupCounts:
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
    coords, partition_ids, box_size, progress
        As for `count_pairs_1d`.
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
    """
    xyz, ids, box = _catalogue(coords, partition_ids, box_size)
    r = _inputs.edges("r_bins", r_bins)
    n = _inputs.count("n_order", n_order)
    _binning.warn_unfillable(r, n)
    with reporter(progress, f"groups of {n}") as report:
        return GroupCounts(*_kernels.count_npoint(xyz, ids, r, box, n, report))


def count_npoint3_shape(coords: ArrayLike, partition_ids: ArrayLike, r_bins: ArrayLike, n_ratio: int,
                        box_size: float, *, progress: Progress = False) -> GroupCounts:
    """Count triplets by their largest separation and their shape r_min / r_max.

    The triplets (all three separations below ``r_bins[-1]``, in Mpc/h) and their rows are
    those of ``count_npoint(..., n_order=3)``; each is
    further binned by the ratio of its smallest to its largest pairwise separation in
    `n_ratio` equal bins of [0, 1] (the last closed, so equilateral triplets land in it).
    Summing over the ratio axis gives the `count_npoint` result exactly.

    Parameters
    ----------
    coords, partition_ids, r_bins, box_size, progress
        As for `count_npoint`.
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
    xyz, ids, box = _catalogue(coords, partition_ids, box_size)
    r = _inputs.edges("r_bins", r_bins)
    k = _inputs.count("n_ratio", n_ratio)
    _binning.warn_unfillable(r, 3)
    with reporter(progress, "triplets by shape") as report:
        return GroupCounts(*_kernels.count_npoint3_shape(xyz, ids, r, k, box, report))
