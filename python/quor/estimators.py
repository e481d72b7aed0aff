"""Clustering estimators over quor's counts: the halo model's one-halo and two-halo terms of
xi(r), w_p(r_p), the redshift-space multipoles and the lensing excess surface density, and
n-point ratios, all against the random counts of a periodic box worked out analytically
(no random catalogue)."""
from __future__ import annotations

import math
import operator
import warnings
from typing import Any, Callable, Dict, NamedTuple, Optional, Sequence, Tuple

import numpy as np
from numpy.polynomial import legendre
from numpy.typing import ArrayLike

from . import _binning, _counts, _inputs, _jackknife
from ._progress import Progress

__all__ = ["HaloTerms", "GroupRatios", "xi_one_two_halo", "wp_one_two_halo", "xi_multipoles",
           "delta_sigma_one_two_halo", "npoint_ratio", "random_pairs", "random_groups"]


class _HaloPair(NamedTuple):
    one_halo: np.ndarray
    two_halo: np.ndarray


class HaloTerms(_counts.KeepsAttributes, _HaloPair):
    """An estimator split by partition; unpacks as ``one_halo, two_halo = ...``. Their sum
    is the whole estimator (for example ``xi = one_halo + two_halo``).

    ``one_halo`` comes from the pairs inside one partition (one halo), ``two_halo`` from
    the pairs across partitions, less the random expectation.

    Attributes
    ----------
    total : numpy.ndarray
        With ``regions=``: ``one_halo + two_halo``.
    one_halo_by_region, two_halo_by_region, total_by_region : numpy.ndarray
        With ``regions=``: the delete-one estimates, leading axis n_regions (entry k
        without every pair that has a member in region k).
    one_halo_cov, two_halo_cov, total_cov : numpy.ndarray
        With ``regions=``: the jackknife covariance ``(n - 1) / n sum_k (x_k - x_mean)
        (x_k - x_mean)^T`` over the bins flattened in C order.
    one_halo_err, two_halo_err, total_err : numpy.ndarray
        With ``regions=``: the square root of the covariance's diagonal, in the field's shape.

    Without ``regions=`` none of these attributes exists.
    """


class _GroupPair(NamedTuple):
    by_partitions: np.ndarray
    total: np.ndarray


class GroupRatios(_counts.KeepsAttributes, _GroupPair):
    """Group counts over random group counts; unpacks as ``by_partitions, total = ...``.

    Row s - 1 of ``by_partitions`` holds the groups with s distinct partitions over all
    random groups of the bin; ``total`` all groups over all random groups, the sum of the
    rows of ``by_partitions``.

    Attributes
    ----------
    by_partitions_by_region, total_by_region, by_partitions_cov, total_cov,
    by_partitions_err, total_err : numpy.ndarray
        With ``regions=``: the delete-one estimates, their jackknife covariance and errors,
        as for `HaloTerms`.
    """


def _catalogue(coords: ArrayLike, halo_ids: ArrayLike, box_size: float,
               n_min: int) -> Tuple[np.ndarray, np.ndarray, float]:
    """Checked positions (float64, inside the box), int32 ids and the box side."""
    box = _inputs.box_size(box_size)
    xyz, ids = _inputs.catalogue(coords, halo_ids, box)
    if xyz.shape[0] < n_min:
        # Fewer galaxies than a group has: no random group exists to divide by.
        raise ValueError(f"coords must hold at least {n_min} galaxies, got {xyz.shape[0]}")
    return xyz, ids, box


def _galaxies(value: Any) -> int:
    """A number of galaxies: a whole number, not negative."""
    try:
        n = operator.index(value)
    except TypeError as exc:
        raise TypeError(f"n_galaxies must be an integer, not {type(value).__name__}") from exc
    if n < 0:
        raise ValueError(f"n_galaxies must not be negative, got {n}")
    return n


def _reach(name: str, values: ArrayLike, box: float, fraction: float, what: str) -> np.ndarray:
    """Edges checked as the counters check them, with the last edge within `fraction` of
    the box, where the analytic random count of `what` holds."""
    edges = _inputs.edges(name, values)
    if edges[-1] > fraction * box:
        raise ValueError(f"{name} must end within {what} (box_size * {fraction:g} = "
                         f"{fraction * box:g}), got {edges[-1]:g}")
    return edges


def _ratio(counts: np.ndarray, randoms: np.ndarray) -> np.ndarray:
    """counts / randoms, NaN where a bin of zero width has no random pairs."""
    with np.errstate(divide="ignore", invalid="ignore"):
        return counts / randoms


# ---------------------------------------------------------------------------------------
# One catalogue or two, with or without weights: what the pair counters are asked for, and
# the weight of all pairs that a uniform random catalogue spreads over the box.


class _Pairs(NamedTuple):
    """A checked pair count: the first catalogue, and the second or None (auto count)."""

    xyz: np.ndarray
    ids: np.ndarray
    weights: Optional[np.ndarray]
    xyz2: Optional[np.ndarray]
    ids2: Optional[np.ndarray]
    weights2: Optional[np.ndarray]
    box: float

    def keywords(self) -> Dict[str, np.ndarray]:
        """The counters' keywords for what was given (none for an unweighted auto count)."""
        given = dict(coords2=self.xyz2, partition_ids2=self.ids2, weights=self.weights,
                     weights2=self.weights2)
        return {key: value for key, value in given.items() if value is not None}

    def without(self, region: int, reg: _jackknife.Regions) -> "_Pairs":
        """The catalogues without the galaxies of `region`."""
        keep = reg.labels != region
        pick = lambda values, mask: None if values is None else values[mask]  # noqa: E731
        keep2 = None if reg.labels2 is None else reg.labels2 != region
        return _Pairs(self.xyz[keep], self.ids[keep], pick(self.weights, keep),
                      pick(self.xyz2, keep2), pick(self.ids2, keep2), pick(self.weights2, keep2),
                      self.box)


def _delete_one(count: Callable[[_Pairs], Tuple[np.ndarray, ...]], pairs: _Pairs,
                reg: _jackknife.Regions) -> Tuple[np.ndarray, ...]:
    """Each output of `count` without each region, stacked on a leading axis n_regions:
    the catalogue recounted without the region's galaxies, so entry k leaves out exactly
    the pairs with a member in region k."""
    runs = [count(pairs.without(k, reg)) for k in range(reg.n)]
    return tuple(np.stack(parts) for parts in zip(*runs))


def _region_keywords(reg: Optional[_jackknife.Regions]) -> Dict[str, np.ndarray]:
    """The pair counters' keywords that count by region in the same pass."""
    if reg is None:
        return {}
    given = dict(regions=reg.labels, regions2=reg.labels2)
    return {key: value for key, value in given.items() if value is not None}


def _pairs_by_region(counts: Any, reg: _jackknife.Regions) -> Tuple[np.ndarray, np.ndarray]:
    """The delete-one auto and cross counts of a count with regions, one entry per region:
    the counter numbers only the labels it sees, so a region without galaxies (an empty
    cube) gets the full counts."""
    present = np.asarray(counts.region_labels, dtype=np.int64)
    out = []
    for full, by_region in ((counts.auto, counts.auto_by_region),
                            (counts.cross, counts.cross_by_region)):
        every = np.repeat(np.asarray(full)[np.newaxis], reg.n, axis=0)
        every[present] = by_region
        out.append(every)
    return out[0], out[1]


def _regions(regions: Any, regions2: Any, pairs: _Pairs) -> _jackknife.Regions:
    return _jackknife.regions_of(regions, regions2, pairs.xyz, pairs.xyz2, pairs.box)


def _pairs(coords: ArrayLike, halo_ids: ArrayLike, box_size: float, coords2: Any, halo_ids2: Any,
           weights: Any, weights2: Any) -> _Pairs:
    """The catalogues checked for a pair estimator: at least two galaxies alone, at least
    one on each side of a cross count."""
    if coords2 is None:
        if halo_ids2 is not None:
            raise ValueError("halo_ids2 is given without coords2")
        if weights2 is not None:
            raise ValueError("weights2 is given without coords2 (an auto count takes weights)")
        xyz, ids, box = _catalogue(coords, halo_ids, box_size, 2)
        w = None if weights is None else _inputs.weights("weights", weights, xyz.shape[0], "coords")
        return _Pairs(xyz, ids, w, None, None, None, box)
    if halo_ids2 is None:
        raise ValueError("halo_ids2 is required with coords2")
    box = _inputs.box_size(box_size)
    xyz = _inputs.positions(coords, box, n_ids=_inputs.length(halo_ids))
    xyz2 = _inputs.positions(coords2, box, n_ids=_inputs.length(halo_ids2), name="coords2")
    # Both catalogues' ids in one namespace: ids beyond int32 are relabelled together.
    ids, ids2 = _inputs.partition_id_pair(halo_ids, xyz.shape[0], halo_ids2, xyz2.shape[0],
                                          names=("halo_ids", "coords", "halo_ids2", "coords2"))
    if xyz.shape[0] < 1 or xyz2.shape[0] < 1:
        name = "coords" if xyz.shape[0] < 1 else "coords2"
        raise ValueError(f"{name} must hold at least 1 galaxy, got 0")
    w = None if weights is None else _inputs.weights("weights", weights, xyz.shape[0], "coords")
    w2 = None if weights2 is None else _inputs.weights("weights2", weights2, xyz2.shape[0],
                                                       "coords2")
    return _Pairs(xyz, ids, w, xyz2, ids2, w2, box)


def _weight_sums(n: int, weights: Optional[np.ndarray]) -> Tuple[float, float]:
    """(sum of w, sum of w**2) of a catalogue, compensated; (n, n) without weights."""
    if weights is None:
        return float(n), float(n)
    with np.errstate(over="ignore"):  # huge weights: the total is refused as not finite
        return math.fsum(weights), math.fsum(weights * weights)


def _random_pair_weight(first: Tuple[float, float], second: Optional[Tuple[float, float]]) -> float:
    """Sum of w_i w_j over every pair the counter visits, from the catalogues' weight sums
    (W, S) = (sum w, sum w**2): ``(W**2 - S) / 2`` for the unordered pairs of one
    catalogue (N (N - 1) / 2 without weights), ``W1 W2`` for the ordered pairs of two.
    A uniform random catalogue puts the fraction V_k / V of it into a bin of volume V_k."""
    if second is not None:
        total = first[0] * second[0]
    elif first[0] == first[1]:
        # Then W (W - 1) / 2 is the same number, and exactly N (N - 1) / 2 without weights.
        total = first[0] * (first[0] - 1.0) / 2.0
    else:
        total = (first[0] * first[0] - first[1]) / 2.0
    if not math.isfinite(total) or total == 0.0:
        raise ValueError(f"the weights give a random pair weight of {total!r}: the estimator "
                         "needs a finite, non-zero sum of w_i * w_j over all pairs")
    return total


def _pair_weight_of(pairs: _Pairs) -> float:
    first = _weight_sums(pairs.xyz.shape[0], pairs.weights)
    second = None if pairs.xyz2 is None else _weight_sums(pairs.xyz2.shape[0], pairs.weights2)
    return _random_pair_weight(first, second)


def _pair_randoms(pairs: _Pairs, reg: _jackknife.Regions, randoms: np.ndarray,
                  volumes: np.ndarray, covariogram: Callable[[float], np.ndarray]) -> np.ndarray:
    """The random pairs of every bin without each region, shape (n_regions, *bins): from
    the cube's covariogram for cube regions, else the full randoms scaled by the retained
    pair weight."""
    retained = _jackknife.retained_pair_weights(reg, pairs.weights, pairs.weights2)
    if reg.side is None:
        return _jackknife.scaled_randoms(randoms, retained, _pair_weight_of(pairs))
    return _jackknife.cube_randoms(retained, volumes, covariogram(reg.side), pairs.box,
                                   reg.side)


def random_pairs(n_galaxies: int, r_bins: ArrayLike, box_size: float) -> np.ndarray:
    """Expected number of unordered pairs of `n_galaxies` uniform random points in a
    periodic box, by 3-D separation: ``N (N - 1) / 2 * V_k / box_size**3``, with the shell
    volume ``V_k = 4 pi / 3 (r_bins[k+1]**3 - r_bins[k]**3)``.

    Exact for edges up to ``box_size / 2``, where the sphere fits inside the box's
    minimum-image cell.

    Examples
    --------
    >>> import quor
    >>> float(quor.random_pairs(1000, [0.0, 1.0], 10.0)[0])  # 499500 * (4.19 / 1000)
    2092.3007...
    """
    n = float(_galaxies(n_galaxies))
    r = _inputs.edges("r_bins", r_bins)
    return (n * (n - 1.0) / 2.0) * _shell_volumes(r) / _inputs.box_size(box_size) ** 3


def _shell_volumes(r: np.ndarray) -> np.ndarray:
    """Volumes 4 pi / 3 (r_k+1**3 - r_k**3) of the shells between edges r."""
    return (4.0 * math.pi / 3.0) * np.diff(r**3)


def _triplet_volume(r2: np.ndarray) -> np.ndarray:
    """Volume (in the six coordinates of two points) where two points and a fixed third
    are pairwise closer than r: 5 pi**2 r**6 / 6, from the squared separation r2."""
    return (5.0 * math.pi**2 / 6.0) * r2**3


def _table_edges(r_bins: np.ndarray) -> np.ndarray:
    """The squared edges groups are actually binned at by count_npoint's table.

    The table maps a squared largest separation m to the bin holding the level
    ``r_max**2 * (j / 4095)`` just below it, so bin k really starts at the first level at
    or above ``r_bins[k]**2``; the last bin still ends at ``r_max**2``."""
    size = _binning.TABLE_SIZE
    levels = (r_bins[-1] * r_bins[-1]) * (np.arange(size, dtype=np.float64) / (size - 1))
    first = np.searchsorted(_binning.bin_table(r_bins), np.arange(len(r_bins)), side="left")
    return levels[np.minimum(first, size - 1)]


def random_groups(n_galaxies: int, r_bins: ArrayLike, box_size: float, n_order: int) -> np.ndarray:
    """Expected number of groups of `n_order` uniform random points in a periodic box whose
    pairwise separations are all below the last edge, in the bins of `count_npoint` (by
    the largest separation).

    - ``n_order=2``: ``N (N - 1) / 2 * 4 pi / 3 (r_{k+1}**3 - r_k**3) / box**3``, as
      `random_pairs`; exact for edges up to ``box_size / 2``.
    - ``n_order=3``: ``N (N - 1) (N - 2) / 6 * (V3(R_{k+1}) - V3(R_k)) / box**6``, where
      ``V3(r) = 5 pi**2 r**6 / 6`` is the volume, in the six coordinates of two points, of
      the region where both lie within r of a third and of each other (the integral over
      the first point's ball of the lens shared by two balls of radius r). R_k are the
      edges as `count_npoint` bins triplets: ``r_k**2`` rounded up to the next of its
      4096 levels of ``r_max**2 / 4095``. Exact for edges up to ``box_size / 4``, below
      which the nearest images of the three points agree.

    Examples
    --------
    >>> import quor
    >>> rrr = quor.random_groups(1000, [0.0, 1.0], 10.0, 3)
    >>> float(rrr[0]) == 1000 * 999 * 998 / 6 * (5 * 3.141592653589793**2 / 6) / 10.0**6
    True
    """
    order = _inputs.count("n_order", n_order)
    if order == 2:
        return random_pairs(n_galaxies, r_bins, box_size)
    if order != 3:
        raise ValueError(f"n_order must be 2 or 3, got {order}")
    n = float(_galaxies(n_galaxies))
    r = _inputs.edges("r_bins", r_bins)
    volumes = _triplet_volume(_table_edges(r))
    return (n * (n - 1.0) * (n - 2.0) / 6.0) * np.diff(volumes) / _inputs.box_size(box_size) ** 6


def xi_one_two_halo(coords: ArrayLike, halo_ids: ArrayLike, r_bins: ArrayLike, box_size: float,
                    *, coords2: Optional[ArrayLike] = None, halo_ids2: Optional[ArrayLike] = None,
                    weights: Optional[ArrayLike] = None, weights2: Optional[ArrayLike] = None,
                    progress: Progress = False, regions: Any = None,
                    regions2: Optional[ArrayLike] = None) -> HaloTerms:
    """The correlation function xi(r) split into its one-halo and two-halo terms; with
    `coords2`, the cross-correlation of two catalogues.

    With DD_same and DD_cross the pairs inside one halo and across haloes
    (`count_pairs_1d`) and RR_k the pairs a uniform random catalogue puts into shell k
    (volume V_k) of a periodic box of volume V::

        xi_1h = DD_same / RR
        xi_2h = DD_cross / RR - 1
        xi    = xi_1h + xi_2h = DD / RR - 1

    The random pairs are analytic:

    - one catalogue: ``RR_k = N (N - 1) / 2 * V_k / V`` (unordered pairs);
    - two catalogues: ``RR_k = N1 N2 * V_k / V`` (ordered pairs, one galaxy from each);
    - with weights, DD sums w_i w_j over the pairs and RR the same sum over all pairs,
      ``(W**2 - sum w**2) / 2 * V_k / V`` for one catalogue and ``W1 W2 * V_k / V`` for
      two, with W the sum of a catalogue's weights (1 per galaxy where none are given).

    Parameters
    ----------
    coords : array_like, shape (N, 3)
        Positions [x, y, z] in Mpc/h, as for `count_pairs_1d`; N >= 2 for one catalogue.
    halo_ids : array_like of int, shape (N,)
        The host-halo id of each galaxy (any integers; only equality matters).
    r_bins : array_like, shape (n_r + 1,)
        Edges of r in Mpc/h, half-open bins, the last at most ``box_size / 2``.
    box_size : float
        Side of the periodic box in Mpc/h.
    coords2 : array_like, shape (N2, 3), optional
        A second catalogue (for example dark-matter particles or haloes): the terms are
        then those of the cross-correlation, from the pairs of one galaxy of each.
    halo_ids2 : array_like of int, shape (N2,), optional
        Host-halo ids of `coords2`, in the same namespace as `halo_ids`; required with it.
    weights, weights2 : array_like, shape (N,) and (N2,), optional
        A finite real weight per galaxy of each catalogue (a mass, or a mark). The sums
        must not cancel to zero.
    progress : bool or callable, optional
        As for `count_pairs_1d`.
    regions : int or array_like of int, optional
        Jackknife regions: an int n splits the box into n**3 cubes of side a = box_size / n
        (cube (ix n + iy) n + iz, ix = min(floor(x / a), n - 1) on the wrapped position,
        for both catalogues), or one integer label per galaxy of
        `coords` (any integer dtype). At least two regions. The result then also carries
        ``total`` and, for ``one_halo``, ``two_halo`` and ``total``, the delete-one
        estimates ``F_by_region`` (entry k from the catalogue(s) without region k's
        galaxies), the covariance ``F_cov`` and the errors ``F_err`` (see `HaloTerms`).
    regions2 : array_like of int, shape (N2,), optional
        With label regions and `coords2`: the labels of `coords2`, in the same namespace
        as `regions` (a label names the same region in both).

    Returns
    -------
    HaloTerms
        ``one_halo`` and ``two_halo``, float64 arrays of shape (n_r,); NaN in bins of
        zero width.

    Notes
    -----
    The delete-one randoms are analytic. Without region k, P_k is the pair weight left
    (``N_k (N_k - 1) / 2``, ``N1_k N2_k``, ``(W_k**2 - S_k) / 2`` or ``W1_k W2_k`` over the
    galaxies outside region k). For cubes of side a in a box of volume V, uniform points
    at the retained density fill V - a**3, and a pair at separation d has both ends
    outside the cube in a volume V - 2 a**3 + a**3 g(d), with g(d) = prod_i max(0, 1 -
    |d_i| / a) the cube's covariogram over a**3. So, for a bin B of volume V_B::

        RR_k(B) = P_k ((V - 2 a**3) V_B + a**3 integral_B g) / (V - a**3)**2

    For shells, g averaged over directions is 1 - 3r/(2a) + 2r**2/(pi a**2) -
    r**3/(4 pi a**3), integrated over r with weight 4 pi r**2; edges must then end within
    a (a ValueError names the largest allowed). For label regions, whose shapes are not
    known, ``RR_k = RR * P_k / P``: exact when the labels do not depend on position (a
    random split); for compact regions it leaves out the retained volume's rise in density
    and puts every ``1 + xi_k`` about a factor 1 / (1 - f_k) high (f_k the region's share
    of the volume), nearly the same for every k. An empty region's randoms are the full ones.

    Examples
    --------
    >>> import numpy as np, quor
    >>> rng = np.random.default_rng(1)
    >>> coords = rng.uniform(0, 100, size=(20_000, 3))
    >>> xi_1h, xi_2h = quor.xi_one_two_halo(coords, np.arange(20_000), [1.0, 5.0, 10.0], 100.0)
    >>> xi_1h.tolist(), bool(np.all(abs(xi_2h) < 0.05))
    ([0.0, 0.0], True)

    The same galaxies against a second uniform catalogue, each weighed by a random mass:

    >>> particles, mass = rng.uniform(0, 100, size=(5_000, 3)), rng.uniform(1, 3, 5_000)
    >>> one, two = quor.xi_one_two_halo(coords, np.arange(20_000), [1.0, 5.0, 10.0], 100.0,
    ...                                 coords2=particles, halo_ids2=np.full(5_000, -1),
    ...                                 weights2=mass)
    >>> one.tolist(), bool(np.all(abs(two) < 0.05))
    ([0.0, 0.0], True)

    Jackknife errors from 2**3 cubes of side 50 Mpc/h:

    >>> res = quor.xi_one_two_halo(coords, np.arange(20_000), [1.0, 5.0, 10.0], 100.0,
    ...                            regions=2)
    >>> res.total_by_region.shape, res.total_cov.shape, bool(np.all(res.total_err < 0.05))
    ((8, 2), (2, 2), True)
    """
    pairs = _pairs(coords, halo_ids, box_size, coords2, halo_ids2, weights, weights2)
    r = _reach("r_bins", r_bins, pairs.box, 0.5, "half the box")
    reg = None if regions is None else _regions(regions, regions2, pairs)
    if reg is None and regions2 is not None:
        raise ValueError("regions2 is given without regions")
    if reg is not None:
        _jackknife.largest_edge("r_bins", r, reg)
    volumes = _shell_volumes(r)
    rr = _pair_weight_of(pairs) * volumes / pairs.box**3

    counts = _counts.count_pairs_1d(pairs.xyz, pairs.ids, r, pairs.box, progress=progress,
                                    **pairs.keywords(), **_region_keywords(reg))
    same, cross = counts
    result = HaloTerms(_ratio(same, rr), _ratio(cross, rr) - 1.0)
    if reg is None:
        return result
    same_k, cross_k = _pairs_by_region(counts, reg)
    rr_k = _pair_randoms(pairs, reg, rr, volumes,
                         lambda side: _jackknife.shell_covariogram(r, side))
    return _jackknife.attach(result, result._asdict(),
                             dict(one_halo=_ratio(same_k, rr_k),
                                  two_halo=_ratio(cross_k, rr_k) - 1.0))


def _unit_steps(pi_max: Any) -> np.ndarray:
    """Edges 0, 1, 2, ... up to pi_max, the last step shorter when pi_max is not whole."""
    top = _inputs.positive_real("pi_max", pi_max)
    return np.append(np.arange(0.0, top), top)


def wp_one_two_halo(coords: ArrayLike, halo_ids: ArrayLike, r_p_bins: ArrayLike, pi_max: float,
                    box_size: float, *, coords2: Optional[ArrayLike] = None,
                    halo_ids2: Optional[ArrayLike] = None, weights: Optional[ArrayLike] = None,
                    weights2: Optional[ArrayLike] = None, progress: Progress = False,
                    regions: Any = None, regions2: Optional[ArrayLike] = None) -> HaloTerms:
    """The projected correlation function w_p(r_p) split into one-halo and two-halo terms;
    with `coords2`, the projected cross-correlation of two catalogues.

    Pairs are counted in (r_p, pi) with `count_pairs_2d`, pi = |dz| in unit steps
    ``[0, 1), [1, 2), ...`` up to `pi_max` (the last step shorter when `pi_max` is not
    whole). A bin of the box's random pairs holds ``RR_ij = P *
    pi (r_p,i+1**2 - r_p,i**2) * 2 dpi_j / box_size**3`` (a ring of both signs of dz), with
    P the weight of all pairs as in `xi_one_two_halo` (``N (N - 1) / 2`` for one catalogue,
    ``N1 N2`` for two, ``(W**2 - sum w**2) / 2`` and ``W1 W2`` with weights), and::

        wp_1h = 2 sum_j DD_same_ij / RR_ij * dpi_j
        wp_2h = 2 sum_j (DD_cross_ij / RR_ij - 1) * dpi_j
        wp    = wp_1h + wp_2h = 2 sum_j xi(r_p,i, pi_j) dpi_j

    Parameters
    ----------
    coords, halo_ids, box_size, coords2, halo_ids2, weights, weights2, progress
        As for `xi_one_two_halo`.
    r_p_bins : array_like, shape (n_rp + 1,)
        Edges of r_p in Mpc/h, the last at most ``box_size / 2`` (and within the cube side
        with cube regions).
    pi_max : float
        Largest line-of-sight separation in Mpc/h, at most ``box_size / 2``.
    regions, regions2 : optional
        Jackknife regions, as for `xi_one_two_halo`. The cubes' randoms integrate g over
        each (r_p, pi) bin: the ring's azimuth average 1 - 4 r_p/(pi a) + r_p**2/(pi a**2)
        times the integral of max(0, 1 - |pi| / a) over the pi bin (any pi).

    Returns
    -------
    HaloTerms
        ``one_halo`` and ``two_halo``, float64 arrays of shape (n_rp,), in Mpc/h.

    Examples
    --------
    >>> import numpy as np, quor
    >>> coords = np.random.default_rng(1).uniform(0, 100, size=(20_000, 3))
    >>> wp_1h, wp_2h = quor.wp_one_two_halo(coords, np.zeros(20_000, int), [2.0, 5.0], 20, 100.0)
    >>> wp_2h.tolist(), bool(abs(wp_1h[0] + wp_2h[0]) < 2.0)  # one halo holds every pair
    ([-40.0], True)
    """
    pairs = _pairs(coords, halo_ids, box_size, coords2, halo_ids2, weights, weights2)
    box = pairs.box
    r_p = _reach("r_p_bins", r_p_bins, box, 0.5, "half the box")
    pi = _unit_steps(pi_max)
    if pi[-1] > 0.5 * box:
        raise ValueError(f"pi_max must be at most half the box ({0.5 * box:g}), got {pi[-1]:g}")
    reg = None if regions is None else _regions(regions, regions2, pairs)
    if reg is None and regions2 is not None:
        raise ValueError("regions2 is given without regions")
    if reg is not None:
        _jackknife.largest_edge("r_p_bins", r_p, reg)
    d_pi = np.diff(pi)
    rings = math.pi * np.diff(r_p * r_p)
    volumes = np.outer(rings, 2.0 * d_pi)
    rr = _pair_weight_of(pairs) * volumes / box**3


    def projected(same: np.ndarray, cross: np.ndarray, rr: np.ndarray) -> Tuple[np.ndarray, ...]:
        return (2.0 * (_ratio(same, rr) * d_pi).sum(axis=-1),
                2.0 * ((_ratio(cross, rr) - 1.0) * d_pi).sum(axis=-1))

    counts = _counts.count_pairs_2d(pairs.xyz, pairs.ids, r_p, pi, box, progress=progress,
                                    **pairs.keywords(), **_region_keywords(reg))
    result = HaloTerms(*projected(counts.auto, counts.cross, rr))
    if reg is None:
        return result
    same_k, cross_k = _pairs_by_region(counts, reg)
    rr_k = _pair_randoms(pairs, reg, rr, volumes,
                         lambda side: _jackknife.rppi_covariogram(r_p, pi, side))
    one_k, two_k = projected(same_k, cross_k, rr_k)
    return _jackknife.attach(result, result._asdict(), dict(one_halo=one_k, two_halo=two_k))


def _legendre_bin_integrals(ells: Sequence[int], n_mu_bins: int) -> np.ndarray:
    """``I[l, j] = integral of P_ell(mu) over mu bin j`` of `n_mu_bins` equal bins of
    [0, 1), shape (len(ells), n_mu_bins): the bin width times the bin-averaged Legendre
    polynomial."""
    mu = np.linspace(0.0, 1.0, n_mu_bins + 1)
    rows = [np.diff(legendre.legval(mu, legendre.legint([0] * ell + [1]))) for ell in ells]
    return np.array(rows, dtype=np.float64).reshape(len(ells), n_mu_bins)


def _even_orders(ells: Sequence[int]) -> Tuple[int, ...]:
    """The multipole orders as ints: non-negative and even, since mu = |dz| / s folds
    the odd multipoles away."""
    try:
        orders = tuple(operator.index(ell) for ell in ells)
    except TypeError as exc:
        raise TypeError(f"ells must be a sequence of integers ({exc})") from exc
    if not orders or any(ell < 0 or ell % 2 for ell in orders):
        raise ValueError(f"ells must be non-negative even integers, got {orders}")
    return orders


def xi_multipoles(coords: ArrayLike, halo_ids: ArrayLike, s_bins: ArrayLike, n_mu_bins: int,
                  box_size: float, ells: Sequence[int] = (0, 2, 4), *,
                  progress: Progress = False, regions: Any = None) -> HaloTerms:
    """Legendre multipoles xi_ell(s) of the redshift-space correlation function, split into
    one-halo and two-halo terms.

    Pairs are counted in (s, mu) with `count_pairs_smu`, mu = |dz| / s in `n_mu_bins`
    equal bins of [0, 1). The random pairs of bin (k, j) are ``RR_kj = N (N - 1) / 2 *
    V_k / box_size**3 / n_mu_bins`` (mu of random pairs is uniform on [0, 1)), giving
    ``xi_1h(s_k, mu_j) = DD_same / RR`` and ``xi_2h = DD_cross / RR - 1``. Each is projected
    onto even Legendre polynomials as a piecewise-constant function of mu::

        xi_ell(s_k) = (2 ell + 1) sum_j xi(s_k, mu_j) * integral_{mu_j}^{mu_j+1} P_ell(mu) dmu

    that is, with the bin-averaged Legendre polynomial rather than its value at the bin
    midpoint: a xi that is constant in mu then gives exactly zero for every ell > 0.

    Parameters
    ----------
    coords, halo_ids, box_size, progress
        As for `xi_one_two_halo`.
    s_bins : array_like, shape (n_s + 1,)
        Edges of s in Mpc/h, the last at most ``box_size / 2``.
    n_mu_bins : int
        Number of mu bins over [0, 1), at least 1.
    ells : sequence of int, optional
        Even multipole orders, by default (0, 2, 4).
    regions : int or array_like of int, optional
        Jackknife regions, as for `xi_one_two_halo`; the errors have the shape
        (len(ells), n_s) and the covariance runs over ells and s in that (C) order. The
        cubes' randoms integrate g over each (s, mu) bin in closed form: at fixed s and
        mu the azimuth average of g is (1 - s mu / a) (1 - 4 rho / (pi a) + rho**2 /
        (pi a**2)), rho = s sqrt(1 - mu**2), for s <= a.

    Returns
    -------
    HaloTerms
        ``one_halo`` and ``two_halo``, float64 arrays of shape (len(ells), n_s).

    Examples
    --------
    >>> import numpy as np, quor
    >>> coords = np.random.default_rng(1).uniform(0, 100, size=(20_000, 3))
    >>> one, two = quor.xi_multipoles(coords, np.arange(20_000), [2.0, 5.0, 10.0], 10, 100.0)
    >>> one.shape, bool(np.all(abs(two) < 0.1))
    ((3, 2), True)
    """
    xyz, ids, box = _catalogue(coords, halo_ids, box_size, 2)
    s = _reach("s_bins", s_bins, box, 0.5, "half the box")
    n_mu = _inputs.count("n_mu_bins", n_mu_bins)
    orders = _even_orders(ells)
    pairs = _Pairs(xyz, ids, None, None, None, None, box)
    reg = None if regions is None else _regions(regions, None, pairs)
    if reg is not None:
        _jackknife.largest_edge("s_bins", s, reg)
    volumes = _shell_volumes(s)[:, None] / n_mu
    rr = random_pairs(xyz.shape[0], s, box)[:, None] / n_mu
    weights = (2.0 * np.asarray(orders, dtype=np.float64) + 1.0)[:, None] \
        * _legendre_bin_integrals(orders, n_mu)

    def project(xi: np.ndarray) -> np.ndarray:
        """(..., n_s, n_mu) -> (..., len(ells), n_s)."""
        return np.swapaxes(xi @ weights.T, -1, -2)

    counts = _counts.count_pairs_smu(xyz, ids, s, n_mu, 1.0, box, progress=progress,
                                     **_region_keywords(reg))
    same, cross = counts
    result = HaloTerms(project(_ratio(same, rr)), project(_ratio(cross, rr) - 1.0))
    if reg is None:
        return result
    same_k, cross_k = _pairs_by_region(counts, reg)
    mu = np.linspace(0.0, 1.0, n_mu + 1)
    rr_k = _pair_randoms(pairs, reg, rr, volumes,
                         lambda side: _jackknife.smu_covariogram(s, mu, side))
    return _jackknife.attach(result, result._asdict(),
                             dict(one_halo=project(_ratio(same_k, rr_k)),
                                  two_halo=project(_ratio(cross_k, rr_k) - 1.0)))


def _masses(values: ArrayLike, n_rows: int) -> Tuple[Optional[np.ndarray], float]:
    """Particle masses, finite and not negative: (the array, 1.0), or (None, the mass)
    when one mass is given for all, so that the count needs no weights."""
    one_mass = np.ndim(values) == 0
    masses = _inputs.weights("particle_masses", [values] if one_mass else values,
                             1 if one_mass else n_rows, "particles")
    if (masses < 0.0).any():
        raise ValueError("particle_masses must not be negative")
    return (None, float(masses[0])) if one_mass else (masses, 1.0)


def _delta_sigma(mass: np.ndarray, log_sum: np.ndarray, r_p: np.ndarray,
                 n_galaxies: int) -> np.ndarray:
    """Mean excess surface density in the bins of `r_p` from pair sums over the edges
    ``[0, r_p[0], r_p[1], ...]``: `mass` the particle mass of each bin and `log_sum` the
    sum of m ln(r) over it (entry 0, the disc inside r_p[0], is not read)."""
    inner = np.cumsum(mass)[:-1]                   # mass at r < r_p[k]
    ring, ring_log = mass[1:], log_sum[1:]         # mass and sum of m ln r in [r_p[k], r_p[k+1])
    outer_log = np.log(r_p[1:])
    with np.errstate(divide="ignore", invalid="ignore"):
        total = (2.0 * np.log(r_p[1:] / r_p[:-1]) * inner
                 + (2.0 * (outer_log * ring - ring_log) - ring))
        return total / (n_galaxies * math.pi * np.diff(r_p * r_p))


def delta_sigma_one_two_halo(galaxies: ArrayLike, galaxy_halo_ids: ArrayLike, particles: ArrayLike,
                             particle_halo_ids: ArrayLike, particle_masses: ArrayLike,
                             r_p_bins: ArrayLike, box_size: float, *,
                             progress: Progress = False, regions: Any = None) -> HaloTerms:
    """The mean excess surface density DeltaSigma(r_p) around galaxies (the galaxy-galaxy
    lensing signal) split into the one-halo term, from the particles of the galaxy's own
    halo, and the two-halo term, from all other particles.

    The particles' mass is projected along z through the whole box: every particle at
    minimum-image separation |dz| <= box_size / 2 counts once, at its projected separation
    r = r_p from the galaxy. A particle of mass m then adds to DeltaSigma = mean surface
    density inside R less the surface density at R, averaged over the ring
    ``[R_k, R_k+1)`` of area ``A_k = pi (R_k+1**2 - R_k**2)``::

        2 m ln(R_k+1 / R_k) / A_k         if r < R_k     (mass inside every R of the ring)
        (2 m ln(R_k+1 / r) - m) / A_k     if R_k <= r < R_k+1
        0                                 otherwise

    and the terms average this over the galaxies. From the mass-weighted pair counts of
    `count_pairs_2d` (galaxies against particles, weights the masses, separations=True)
    over the edges ``[0, R_0, R_1, ...]``, with M_<k the mass at r < R_k, M_k the mass in
    ring k and L_k the sum of m ln(r) over it (M_k times the weighted mean of ln r)::

        DeltaSigma_k = (2 ln(R_k+1 / R_k) M_<k + 2 ln(R_k+1) M_k - 2 L_k - M_k) / (N_gal A_k)

    each term from its own pairs (equal halo ids: one-halo; different ids: two-halo).

    Parameters
    ----------
    galaxies : array_like, shape (N_gal, 3)
        Galaxy positions [x, y, z] in Mpc/h, as `coords` of `count_pairs_2d`; at least one.
    galaxy_halo_ids : array_like of int, shape (N_gal,)
        Host-halo id of each galaxy.
    particles : array_like, shape (N_p, 3)
        Positions of the mass tracers (for example a random subsample of the simulation's
        dark-matter particles) in Mpc/h.
    particle_halo_ids : array_like of int, shape (N_p,)
        Host-halo id of each particle, in the galaxies' namespace (an id no halo of a
        galaxy carries, such as -1, for particles outside every halo).
    particle_masses : float or array_like, shape (N_p,)
        Mass of each particle, or one mass for all: finite, not negative. A subsample
        of a fraction f of the particles carries the effective mass m / f.
    r_p_bins : array_like, shape (n_rp + 1,)
        Edges of r_p in Mpc/h: the first positive (the inner-mass term holds
        ln(R_1 / R_0)), the last at most ``box_size / 2``.
    box_size : float
        Side of the periodic box in Mpc/h.
    progress : bool or callable, optional
        As for `count_pairs_2d`.
    regions : int or array_like of int, optional
        Jackknife regions of the galaxies (the lenses): an int n for n**3 cubes, or one
        integer label per galaxy, as for `xi_one_two_halo`. Entry k of the delete-one
        estimates averages over the galaxies outside region k, against every particle:
        the mass field stays whole, as a lensing jackknife over lens patches does.

    Returns
    -------
    HaloTerms
        ``one_halo`` and ``two_halo``, float64 arrays of shape (n_rp,), in units of the
        particle mass per (Mpc/h)**2 (h Msun / Mpc**2 for masses in Msun/h); NaN in bins
        of zero width.

    Examples
    --------
    A point mass of 1e12 held by one galaxy's halo, a second galaxy in another halo:

    >>> import numpy as np, quor
    >>> galaxies = np.array([[10.0, 10.0, 10.0], [30.0, 30.0, 30.0]])
    >>> particles = np.array([[10.0, 10.5, 40.0]])        # 0.5 Mpc/h from the first galaxy
    >>> one, two = quor.delta_sigma_one_two_halo(galaxies, [1, 2], particles, [1], 1e12,
    ...                                          [0.2, 1.0, 2.0], 100.0)
    >>> bool(np.allclose(one, [1e12 * (2 * np.log(1 / 0.5) - 1) / (np.pi * 0.96) / 2,
    ...                         1e12 * 2 * np.log(2) / (np.pi * 3) / 2])), two.tolist()
    (True, [0.0, 0.0])
    """
    box = _inputs.box_size(box_size)
    gal = _inputs.positions(galaxies, box, n_ids=_inputs.length(galaxy_halo_ids),
                            name="galaxies")
    ptcl = _inputs.positions(particles, box, n_ids=_inputs.length(particle_halo_ids),
                             name="particles")
    gal_ids, ptcl_ids = _inputs.partition_id_pair(
        galaxy_halo_ids, gal.shape[0], particle_halo_ids, ptcl.shape[0],
        names=("galaxy_halo_ids", "galaxies", "particle_halo_ids", "particles"))
    if gal.shape[0] < 1:
        raise ValueError("galaxies must hold at least 1 galaxy, got 0")
    masses, mass_scale = _masses(particle_masses, ptcl.shape[0])
    r_p = _reach("r_p_bins", r_p_bins, box, 0.5, "half the box")
    if r_p[0] <= 0.0:
        raise ValueError(f"r_p_bins[0] must be positive (the inner-mass term holds "
                         f"log(r_p_bins[1] / r_p_bins[0])), got {r_p[0]:g}")
    edges = np.concatenate(([0.0], r_p))
    # One pi bin over the whole column: minimum-image |dz| never exceeds box / 2, and the
    # half-open bin must still hold a pair exactly at box / 2.
    column = np.array([0.0, np.nextafter(0.5 * box, math.inf)])
    keywords = dict(coords2=ptcl, partition_ids2=ptcl_ids, separations=True)
    if masses is not None:
        keywords["weights2"] = masses
    reg = None if regions is None else _jackknife.regions_of(regions, None, gal, None, box,
                                                            names=("galaxies", "particles"))

    def terms(keep: Any, show: Progress = False) -> Tuple[np.ndarray, np.ndarray]:
        lenses = gal[keep]
        counts = _counts.count_pairs_2d(lenses, gal_ids[keep], edges, column, box,
                                        progress=show, **keywords)
        out = []
        for mass, mean_log_r in ((counts.auto, counts.auto_mean_log_r),
                                 (counts.cross, counts.cross_mean_log_r)):
            mass, mean_log_r = mass[:, 0], mean_log_r[:, 0]
            # Bins without mass have no mean (NaN), and the disc at r = 0 a mean of -inf.
            with np.errstate(invalid="ignore"):
                log_sum = np.where(mass > 0.0, mass * mean_log_r, 0.0)
            with np.errstate(divide="ignore", invalid="ignore"):
                out.append(mass_scale * _delta_sigma(mass, log_sum, r_p, lenses.shape[0]))
        return out[0], out[1]

    result = HaloTerms(*terms(slice(None), progress))
    if reg is None:
        return result
    runs = [terms(reg.labels != k) for k in range(reg.n)]
    return _jackknife.attach(result, result._asdict(),
                             dict(one_halo=np.stack([one for one, _ in runs]),
                                  two_halo=np.stack([two for _, two in runs])))


def npoint_ratio(coords: ArrayLike, halo_ids: ArrayLike, r_bins: ArrayLike, box_size: float,
                 n_order: int = 3, *, progress: Progress = False,
                 regions: Any = None) -> GroupRatios:
    """Group counts of `count_npoint` over the analytic count of random groups in the box.

    The random count is that of `random_groups`: groups of `n_order` uniform points with
    every side below each edge, differenced between edges (for triplets
    ``V3(r) = 5 pi**2 r**6 / 6`` times ``N (N - 1) (N - 2) / 6 / box**6``, taken at the
    edges where `count_npoint` really bins). Each row of the counts is divided by the
    same random count, so the rows sum to ``total``; for a uniform catalogue ``total`` is
    1 within its Poisson error.

    Parameters
    ----------
    coords, halo_ids, box_size, progress
        As for `xi_one_two_halo`; N >= n_order.
    r_bins : array_like, shape (n_r + 1,)
        Edges of the largest separation in Mpc/h, the last at most ``box_size / 2`` for
        pairs and ``box_size / 4`` for triplets.
    n_order : int, optional
        Group size: 2 or 3 (default 3).
    regions : int or array_like of int, optional
        Jackknife regions, as for `xi_one_two_halo`; the result then carries, for
        ``by_partitions`` and ``total``, ``F_by_region``, ``F_cov`` and ``F_err``. The
        delete-one random groups are the full ones scaled by the groups left,
        ``C(N_k, n) / C(N, n)``, and for cubes also by ``(V / (V - a**3))**(n - 1)``, the
        retained density's rise; the groups the removed cube's boundary cuts are not
        subtracted (a bias of order ``r / a`` times ``a**3 / V``).

    Returns
    -------
    GroupRatios
        ``by_partitions`` of shape (2, n_r) for pairs (same, cross halo) and (3, n_r) for
        triplets (row s - 1: s distinct haloes); ``total`` of shape (n_r,). NaN where a
        bin holds no random group (zero width, or a bin the table of `count_npoint`
        never fills).

    Warns
    -----
    BinningWarning
        For triplets, when some bins can never hold one (see `count_npoint`).

    Examples
    --------
    >>> import numpy as np, quor
    >>> coords = np.random.default_rng(1).uniform(0, 100, size=(20_000, 3))
    >>> by_partitions, total = quor.npoint_ratio(coords, np.arange(20_000), [2.0, 4.0], 100.0)
    >>> by_partitions.shape, bool(abs(total[0] - 1.0) < 0.05)
    ((3, 1), True)
    """
    n = _inputs.count("n_order", n_order)
    if n not in (2, 3):
        raise ValueError(f"n_order must be 2 or 3, got {n}")
    xyz, ids, box = _catalogue(coords, halo_ids, box_size, n)
    fraction = 0.5 if n == 2 else 0.25
    r = _reach("r_bins", r_bins, box, fraction,
               "half the box" if n == 2 else "a quarter of the box")
    pairs = _Pairs(xyz, ids, None, None, None, None, box)
    reg = None if regions is None else _regions(regions, None, pairs)
    # With regions, the delete-one counts come from the same pass, their regions in the
    # order of reg (cubes by index, labels sorted).
    counts = _counts.count_npoint(xyz, ids, r, box, n, progress=progress, regions=regions)
    by_partitions, total = counts
    randoms = random_groups(xyz.shape[0], r, box, n)
    result = GroupRatios(_ratio(by_partitions, randoms), _ratio(total, randoms))
    if reg is None:
        return result
    by_partitions_k, total_k = counts.by_partitions_by_region, counts.total_by_region
    kept = xyz.shape[0] - np.bincount(reg.labels, minlength=reg.n).astype(np.float64)
    randoms_k = _jackknife.scaled_randoms(randoms, _groups_of(kept, n),
                                          _groups_of(np.float64(xyz.shape[0]), n))
    if reg.side is not None:
        # The retained galaxies fill V - a**3 only: their density, and so each group's
        # chance, is higher by V / (V - a**3) per member after the first.
        randoms_k = randoms_k * (box**3 / (box**3 - reg.side**3)) ** (n - 1)
    return _jackknife.attach(result, result._asdict(),
                             dict(by_partitions=_ratio(by_partitions_k, randoms_k[:, None]),
                                  total=_ratio(total_k, randoms_k)))


def _groups_of(n: np.ndarray, order: int) -> np.ndarray:
    """Number of groups of `order` among n galaxies: n (n - 1) / 2 or n (n - 1) (n - 2) / 6."""
    return n * (n - 1.0) / 2.0 if order == 2 else n * (n - 1.0) * (n - 2.0) / 6.0
