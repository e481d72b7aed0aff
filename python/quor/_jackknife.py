"""Delete-one jackknife for the estimators: the regions of a catalogue, the random pairs
expected without each region (analytic: cube covariograms or retained-pair scaling), and
the covariance of the delete-one estimates."""
from __future__ import annotations

import math
import operator
from typing import Any, Dict, NamedTuple, Optional, Tuple

import numpy as np

# ---------------------------------------------------------------------------------------------
# Regions


class Regions(NamedTuple):
    """Dense region labels 0 .. n - 1 of each catalogue, and the cube side (None for labels)."""

    labels: np.ndarray
    labels2: Optional[np.ndarray]
    n: int
    side: Optional[float]


def _cube_labels(xyz: np.ndarray, n: int, box: float) -> np.ndarray:
    """Cube index (ix * n + iy) * n + iz of wrapped positions, ix = min(floor(x / a), n - 1)."""
    side = box / n
    cell = np.minimum(np.floor(xyz / side), n - 1).astype(np.int64)
    return ((cell[:, 0] * n + cell[:, 1]) * n + cell[:, 2]).astype(np.int32)


def _label_array(name: str, values: Any, n_rows: int, coords_name: str) -> np.ndarray:
    """One integer label per row (any integer dtype; booleans and floats refused)."""
    arr = np.asarray(values)
    if arr.dtype.kind not in "iu":
        raise TypeError(f"{name} must be an int or an array of integer labels, not {arr.dtype}")
    if arr.ndim != 1 or arr.shape[0] != n_rows:
        raise ValueError(f"{name} must hold one label per row of {coords_name} ({n_rows}), "
                         f"got shape {arr.shape}")
    return arr


def regions_of(regions: Any, regions2: Any, xyz: np.ndarray, xyz2: Optional[np.ndarray],
               box: float, names: Tuple[str, str] = ("coords", "coords2")) -> Regions:
    """The checked regions of one catalogue (or of two): `regions` an int n for n**3 cubes of
    side box / n, or one integer label per galaxy (with a second catalogue `regions2` too,
    both relabelled jointly in sorted order). A jackknife needs at least two regions."""
    if regions2 is not None and xyz2 is None:
        raise ValueError(f"regions2 is given without {names[1]}")
    if np.ndim(regions) == 0 and not isinstance(regions, (bool, np.bool_)):
        try:
            n = operator.index(regions)
        except TypeError as exc:
            raise TypeError(f"regions must be an int or an array of integer labels, not "
                            f"{type(regions).__name__}") from exc
        if regions2 is not None:
            raise ValueError("regions2 must be None when regions is a number of cubes per side")
        if n < 2:
            raise ValueError(f"regions must split each side at least in 2 (a jackknife needs "
                             f"two regions or more), got {n}")
        labels2 = None if xyz2 is None else _cube_labels(xyz2, n, box)
        return Regions(_cube_labels(xyz, n, box), labels2, n**3, box / n)
    first = _label_array("regions", regions, xyz.shape[0], names[0])
    if xyz2 is None:
        distinct, labels = np.unique(first, return_inverse=True)
        labels2 = None
    else:
        if regions2 is None:
            raise ValueError(f"regions2 is required with {names[1]} when regions are labels")
        second = _label_array("regions2", regions2, xyz2.shape[0], names[1])
        distinct, joint = np.unique(np.concatenate((first.astype(np.int64, copy=False),
                                                    second.astype(np.int64, copy=False))),
                                    return_inverse=True)
        labels, labels2 = joint[:first.shape[0]], joint[first.shape[0]:].astype(np.int32)
    if distinct.size < 2:
        raise ValueError(f"regions must hold at least 2 distinct labels (a jackknife needs two "
                         f"regions or more), got {distinct.size}")
    return Regions(labels.reshape(-1).astype(np.int32), labels2, int(distinct.size), None)


def largest_edge(name: str, edges: np.ndarray, reg: Regions) -> None:
    """Cube regions: refuse separations past the cube side, where the covariogram's closed
    form ends."""
    if reg.side is not None and edges[-1] > reg.side:
        raise ValueError(f"{name} must end within the side of a region's cube (box_size / "
                         f"regions = {reg.side:g}) for the jackknife randoms, got {edges[-1]:g}")


# ---------------------------------------------------------------------------------------------
# Retained weights: what is left of a catalogue without each region


def retained_sums(labels: np.ndarray, n_regions: int,
                  weights: Optional[np.ndarray]) -> Tuple[np.ndarray, np.ndarray]:
    """(sum w, sum w**2) of the galaxies outside each region, each of length n_regions,
    summed exactly (counts without weights)."""
    if weights is None:
        kept = labels.shape[0] - np.bincount(labels, minlength=n_regions).astype(np.float64)
        return kept, kept
    w = np.asarray(weights, dtype=np.float64)
    sums = np.empty(n_regions)
    squares = np.empty(n_regions)
    for k in range(n_regions):
        keep = w[labels != k]
        sums[k], squares[k] = math.fsum(keep), math.fsum(keep * keep)
    return sums, squares


def retained_pair_weights(reg: Regions, weights: Optional[np.ndarray],
                          weights2: Optional[np.ndarray]) -> np.ndarray:
    """Sum of w_i w_j over the pairs left without each region: ``(W_k**2 - S_k) / 2`` for one
    catalogue (``N_k (N_k - 1) / 2`` without weights), ``W1_k W2_k`` for two."""
    sums, squares = retained_sums(reg.labels, reg.n, weights)
    if reg.labels2 is not None:
        sums2, _ = retained_sums(reg.labels2, reg.n, weights2)
        return sums * sums2
    if weights is None:
        return sums * (sums - 1.0) / 2.0
    return (sums * sums - squares) / 2.0


# ---------------------------------------------------------------------------------------------
# The cube's covariogram integrated over bins
#
# For a cube of side a and a separation d with |d_i| <= a, the fraction of the cube that
# stays inside it when shifted by d is g(d) = prod_i (1 - |d_i| / a). Averaged over the
# azimuth at fixed s and mu = |d_z| / s (s <= a) it is the polynomial in s
#   A0 + A1 s / a + A2 s**2 / a**2 + A3 s**3 / a**3
# with A0 = 1, A1 = -mu - 4 sqrt(1 - mu**2) / pi, A2 = (1 - mu**2 + 4 mu sqrt(1 - mu**2)) / pi,
# A3 = -mu (1 - mu**2) / pi; over all of mu it is 1 - 3s/(2a) + 2s**2/(pi a**2) - s**3/(4 pi a**3).


def _mu_integrals(mu: np.ndarray) -> np.ndarray:
    """Antiderivatives of A0..A3 in mu at `mu`, shape (4, len(mu))."""
    root = np.sqrt(np.maximum(0.0, 1.0 - mu * mu))
    return np.array([mu,
                     -mu * mu / 2.0 - (2.0 / math.pi) * (mu * root + np.arcsin(mu)),
                     (mu - mu**3 / 3.0) / math.pi - (4.0 / (3.0 * math.pi)) * root**3,
                     -(mu * mu / 2.0 - mu**4 / 4.0) / math.pi])


def smu_covariogram(s: np.ndarray, mu: np.ndarray, side: float) -> np.ndarray:
    """Integral of g(d) over the (s, mu) bins (both signs of d_z), shape (n_s, n_mu); the
    volume of each bin when ``side`` is infinite. Needs s <= side."""
    by_mu = np.diff(_mu_integrals(np.asarray(mu, dtype=np.float64)), axis=1)   # (4, n_mu)
    powers = np.array([np.diff(s**(m + 3)) / ((m + 3) * side**m) for m in range(4)])  # (4, n_s)
    return 4.0 * math.pi * powers.T @ by_mu


def shell_covariogram(r: np.ndarray, side: float) -> np.ndarray:
    """Integral of g(d) over the spherical shells between edges r (r <= side)."""
    return smu_covariogram(r, np.array([0.0, 1.0]), side)[:, 0]


def rppi_covariogram(r_p: np.ndarray, pi: np.ndarray, side: float) -> np.ndarray:
    """Integral of g(d) over the (r_p, pi) bins, both signs of d_z, shape (n_rp, n_pi):
    a ring's azimuth average of the square's covariogram, 1 - 4 r/(pi a) + r**2/(pi a**2)
    (r_p <= a), times the integral of max(0, 1 - |z| / a) over the pi bin (any pi)."""
    ring = 2.0 * math.pi * np.diff(r_p**2 / 2.0 - 4.0 * r_p**3 / (3.0 * math.pi * side)
                                   + r_p**4 / (4.0 * math.pi * side**2))
    z = np.minimum(pi, side)
    column = 2.0 * np.diff(z - z * z / (2.0 * side))
    return np.outer(ring, column)


def cube_randoms(pair_weights: np.ndarray, volumes: np.ndarray, covariogram: np.ndarray,
                 box: float, side: float) -> np.ndarray:
    """Random pairs expected in each bin with both ends outside region k, shape
    (n_regions, *bins): ``P_k ((V - 2 a**3) V_B + a**3 G_B) / (V - a**3)**2`` with P_k the
    retained pair weight, V_B the bin's volume and G_B the covariogram's integral over it."""
    volume, cube = box**3, side**3
    shape = (volume - 2.0 * cube) * volumes + cube * covariogram
    return pair_weights.reshape((-1,) + (1,) * volumes.ndim) * (shape / (volume - cube)**2)


def scaled_randoms(randoms: np.ndarray, retained: np.ndarray, total: float) -> np.ndarray:
    """The full random counts scaled by the retained share of pairs (groups) of each region,
    shape (n_regions, *bins)."""
    return (retained / total).reshape((-1,) + (1,) * randoms.ndim) * randoms


# ---------------------------------------------------------------------------------------------
# Covariances and results


def covariance(by_region: np.ndarray) -> np.ndarray:
    """Jackknife covariance (n - 1) / n sum_k (x_k - x_mean)(x_k - x_mean)^T of the
    delete-one estimates, over the bins flattened in C order."""
    n = by_region.shape[0]
    x = by_region.reshape(n, -1)
    deviation = x - x.mean(axis=0)
    return (n - 1.0) / n * (deviation.T @ deviation)


def attach(result: Any, fields: Dict[str, np.ndarray], by_region: Dict[str, np.ndarray]) -> Any:
    """Set .total (the sum of the fields, unless one is called so) and, for each field F and
    for total, F_by_region, F_cov and F_err on `result`."""
    if "total" not in fields:
        result.total = sum(fields.values())
        by_region = dict(by_region, total=sum(by_region.values()))
    for name, values in by_region.items():
        cov = covariance(values)
        setattr(result, f"{name}_by_region", values)
        setattr(result, f"{name}_cov", cov)
        setattr(result, f"{name}_err", np.sqrt(np.diag(cov)).reshape(values.shape[1:]))
    return result
