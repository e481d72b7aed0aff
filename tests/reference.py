"""Brute-force NumPy counts that the compiled counters must match exactly.

Every helper repeats the counters' arithmetic in the same order, so that the
comparison can be exact: minimum image per component with one strict fold,
squared separations against squared edges, half-open bins.
"""
import numpy as np


def random_catalogue(n, box, n_partitions, seed, quantum=None):
    """Seeded uniform positions in [0, box) and ids in a range around zero.

    With `quantum`, positions are multiples of it, so that many separations fall
    exactly on edges that are multiples of it too.
    """
    rng = np.random.default_rng(seed)
    coords = rng.uniform(0.0, box, size=(n, 3))
    if quantum is not None:
        coords = np.floor(coords / quantum) * quantum
    low = -(n_partitions // 2)
    ids = rng.integers(low, low + n_partitions, size=n).astype(np.int32)
    return coords, ids


def min_image(d, box):
    half = box * 0.5
    return np.where(d > half, d - box, np.where(d < -half, d + box, d))


def pair_displacements(coords, box):
    """Indices (i, j), i < j, of every unordered pair and its folded displacement j - i."""
    n = len(coords)
    i, j = np.triu_indices(n, 1)
    d = min_image(coords[j] - coords[i], box)
    return i, j, d[:, 0], d[:, 1], d[:, 2]


def find_bin(edges, v):
    """Bin k with edges[k] <= v < edges[k + 1], or -1 (below, at or above the last, NaN)."""
    edges = np.asarray(edges, dtype=np.float64)
    v = np.asarray(v, dtype=np.float64)
    b = np.searchsorted(edges, v, side="right") - 1
    none = (v < edges[0]) | (v >= edges[-1]) | np.isnan(v)
    return np.where(none, -1, b)


def histogram_split(same, *bins_and_sizes):
    """Histograms (auto, cross) of pairs with bin indices per axis; -1 on any axis drops a pair.

    `bins_and_sizes` alternates bin-index arrays and axis sizes.
    """
    bins = bins_and_sizes[0::2]
    sizes = bins_and_sizes[1::2]
    keep = np.ones(len(same), dtype=bool)
    for b in bins:
        keep &= b >= 0
    flat = np.zeros(int(np.count_nonzero(keep)), dtype=np.int64)
    for b, size in zip(bins, sizes):
        flat = flat * size + b[keep]
    total = int(np.prod(sizes))
    s = same[keep]
    auto = np.bincount(flat[s], minlength=total).astype(np.float64)
    cross = np.bincount(flat[~s], minlength=total).astype(np.float64)
    return auto.reshape(sizes), cross.reshape(sizes)


def radial_counts(coords, ids, r_bins, box):
    """(dd_auto, dd_cross) by minimum-image separation, squared against squared edges."""
    r_bins = np.asarray(r_bins, dtype=np.float64)
    n_r = len(r_bins) - 1
    i, j, dx, dy, dz = pair_displacements(coords, box)
    r2 = (dx * dx + dy * dy) + dz * dz
    b = find_bin(r_bins * r_bins, r2)
    return histogram_split(ids[i] == ids[j], b, n_r)


def projected_counts(coords, ids, r_p_bins, pi_bins, box):
    """(auto, cross) of shape (n_rp, n_pi): r_p through its square, pi = |dz| as it is."""
    r_p_bins = np.asarray(r_p_bins, dtype=np.float64)
    pi_bins = np.asarray(pi_bins, dtype=np.float64)
    i, j, dx, dy, dz = pair_displacements(coords, box)
    rp2 = dy * dy + dx * dx
    a = find_bin(r_p_bins * r_p_bins, rp2)
    b = find_bin(pi_bins, np.abs(dz))
    return histogram_split(ids[i] == ids[j], a, len(r_p_bins) - 1, b, len(pi_bins) - 1)


def smu_counts(coords, ids, s_bins, n_mu_bins, mu_max, box):
    """(auto, cross) of shape (n_s, n_mu_bins): s through its square, mu = |dz| / s in
    n_mu_bins equal steps of [0, mu_max), the division before the multiplication."""
    s_bins = np.asarray(s_bins, dtype=np.float64)
    n_s = len(s_bins) - 1
    if n_mu_bins == 0:
        empty = np.zeros((n_s, 0))
        return empty, empty.copy()
    i, j, dx, dy, dz = pair_displacements(coords, box)
    s2 = (dx * dx + dy * dy) + dz * dz
    a = find_bin(s_bins * s_bins, s2)
    with np.errstate(divide="ignore", invalid="ignore"):
        mu = np.abs(dz) / np.sqrt(s2)
        ok = mu < mu_max  # NaN (s = 0) and mu_max <= 0 or NaN fail here
        q = np.where(ok, (mu / mu_max) * float(n_mu_bins), 0.0)
    b = np.minimum(np.floor(q).astype(np.int64), n_mu_bins - 1)
    a = np.where(ok, a, -1)
    return histogram_split(ids[i] == ids[j], a, n_s, b, n_mu_bins)
