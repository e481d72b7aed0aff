"""Brute-force NumPy counts that the compiled counters must match exactly.

Every helper repeats the counters' arithmetic in the same order, so that the
comparison can be exact: minimum image per component with one strict fold,
squared separations against squared edges, half-open bins. The pair counts take every
pair, or, on catalogues too large for that, the candidates of near_pairs.
"""
import math
from fractions import Fraction

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


def pair_displacements(coords, box, pairs=None):
    """Indices (i, j), i < j, of every unordered pair (or of the given `pairs`, any
    superset of those in range) and its folded displacement j - i."""
    i, j = np.triu_indices(len(coords), 1) if pairs is None else pairs
    d = min_image(coords[j] - coords[i], box)
    return i, j, d[:, 0], d[:, 1], d[:, 2]


def cross_displacements(coords, coords2, box):
    """Indices (i, j) of every ordered pair of a galaxy of the first catalogue and one of
    the second, and its folded displacement x_j - x_i."""
    i, j = np.meshgrid(np.arange(len(coords)), np.arange(len(coords2)), indexing="ij")
    i, j = i.ravel(), j.ravel()
    d = min_image(coords2[j] - coords[i], box).reshape(-1, 3)
    return i, j, d[:, 0], d[:, 1], d[:, 2]


def pair_table(coords, ids, box, coords2=None, ids2=None, weights=None, weights2=None):
    """Every pair a counter measures: whether its ids are equal, its displacement and
    w_i * w_j in float64 (1 for a catalogue without weights). One catalogue: the
    unordered pairs i < j; with coords2, every (i, j) of the first and the second."""
    if coords2 is None:
        i, j, dx, dy, dz = pair_displacements(coords, box)
        ids2, weights2 = ids, weights
    else:
        i, j, dx, dy, dz = cross_displacements(coords, coords2, box)
    w1 = np.ones(len(coords)) if weights is None else np.asarray(weights, dtype=np.float64)
    w2 = np.ones(len(ids2)) if weights2 is None else np.asarray(weights2, dtype=np.float64)
    with np.errstate(over="ignore"):
        products = w1[i] * w2[j]
    return ids[i] == ids2[j], dx, dy, dz, products


def exact_sum(terms):
    """The sum of float64 terms rounded once: math.fsum where it can; specials as IEEE
    addition combines them, and a sum beyond the float64 range as the infinity it
    rounds to."""
    terms = np.asarray(terms, dtype=np.float64)
    if np.isnan(terms).any() or (np.isposinf(terms).any() and np.isneginf(terms).any()):
        return math.nan
    if np.isinf(terms).any():
        return float(terms[np.isinf(terms)][0])
    try:
        return math.fsum(terms)
    except OverflowError:  # an intermediate overflow: the exact sum decides
        total = sum(Fraction(float(t)) for t in terms)
        try:
            return float(total)
        except OverflowError:
            return math.inf if total > 0 else -math.inf


def sum_split(same, terms, *bins_and_sizes):
    """(auto, cross) exact sums of `terms` per bin, as histogram_split lays out counts."""
    bins = bins_and_sizes[0::2]
    sizes = bins_and_sizes[1::2]
    keep = np.ones(len(same), dtype=bool)
    for b in bins:
        keep &= b >= 0
    flat = np.zeros(int(np.count_nonzero(keep)), dtype=np.int64)
    for b, size in zip(bins, sizes):
        flat = flat * size + b[keep]
    total = int(np.prod(sizes))
    s, t = same[keep], terms[keep]
    out = []
    for half in (s, ~s):
        sums = np.zeros(total)
        for k in np.unique(flat[half]):
            sums[k] = exact_sum(t[half][flat[half] == k])
        out.append(sums.reshape(sizes))
    return tuple(out)


def pair_sums(same, sep, products, *bins_and_sizes):
    """The counts and sums a weighted count with separations gives, by brute force:
    {"pairs", "weights", "r", "log_r"}, each (auto, cross); r the binned separation
    `sep`, terms w_i w_j, w_i w_j r and w_i w_j ln r rounded once each."""
    with np.errstate(all="ignore"):
        r_terms = products * sep
        log_terms = products * np.log(sep)
    return {"pairs": histogram_split(same, *bins_and_sizes),
            "weights": sum_split(same, products, *bins_and_sizes),
            "r": sum_split(same, r_terms, *bins_and_sizes),
            "log_r": sum_split(same, log_terms, *bins_and_sizes)}


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


def radial_counts(coords, ids, r_bins, box, pairs=None):
    """(dd_auto, dd_cross) by minimum-image separation, squared against squared edges."""
    r_bins = np.asarray(r_bins, dtype=np.float64)
    n_r = len(r_bins) - 1
    i, j, dx, dy, dz = pair_displacements(coords, box, pairs)
    r2 = (dx * dx + dy * dy) + dz * dz
    b = find_bin(r_bins * r_bins, r2)
    return histogram_split(ids[i] == ids[j], b, n_r)


def radial_sums(r_bins, box, coords, ids, **two):
    """pair_sums of count_pairs_1d over the pairs of pair_table (`two`: its coords2,
    ids2, weights and weights2)."""
    r_bins = np.asarray(r_bins, dtype=np.float64)
    same, dx, dy, dz, w = pair_table(coords, ids, box, **two)
    r2 = (dx * dx + dy * dy) + dz * dz
    return pair_sums(same, np.sqrt(r2), w, find_bin(r_bins * r_bins, r2), len(r_bins) - 1)


def projected_sums(r_p_bins, pi_bins, box, coords, ids, **two):
    """pair_sums of count_pairs_2d (the separation r_p)."""
    r_p_bins = np.asarray(r_p_bins, dtype=np.float64)
    pi_bins = np.asarray(pi_bins, dtype=np.float64)
    same, dx, dy, dz, w = pair_table(coords, ids, box, **two)
    rp2 = dy * dy + dx * dx
    a = find_bin(r_p_bins * r_p_bins, rp2)
    b = find_bin(pi_bins, np.abs(dz))
    return pair_sums(same, np.sqrt(rp2), w, a, len(r_p_bins) - 1, b, len(pi_bins) - 1)


def smu_sums(s_bins, n_mu_bins, mu_max, box, coords, ids, **two):
    """pair_sums of count_pairs_smu (the separation s)."""
    s_bins = np.asarray(s_bins, dtype=np.float64)
    same, dx, dy, dz, w = pair_table(coords, ids, box, **two)
    s2 = (dx * dx + dy * dy) + dz * dz
    a = find_bin(s_bins * s_bins, s2)
    with np.errstate(divide="ignore", invalid="ignore"):
        mu = np.abs(dz) / np.sqrt(s2)
        ok = mu < mu_max
        q = np.where(ok, (mu / mu_max) * float(n_mu_bins), 0.0)
    b = np.minimum(np.floor(q).astype(np.int64), n_mu_bins - 1)
    return pair_sums(same, np.sqrt(s2), w, np.where(ok, a, -1), len(s_bins) - 1, b, n_mu_bins)


def find_bin_bisect(edges, v):
    """The counters' own binary search, step for step: equal to find_bin on ascending
    edges, and what the counters give on edges that are not ascending."""
    edges = np.asarray(edges, dtype=np.float64)
    v = np.asarray(v, dtype=np.float64)
    m = len(edges)
    base = np.zeros(v.shape, dtype=np.int64)
    size = m
    while size > 1:
        half = size // 2
        base = np.where(v >= edges[base + half], base + half, base)
        size -= half
    b = np.where(v >= edges[base], base, base - 1)
    return np.where((v < edges[0]) | (v >= edges[-1]), -1, b)


def projected_counts(coords, ids, r_p_bins, pi_bins, box, bin_of=find_bin, pairs=None):
    """(auto, cross) of shape (n_rp, n_pi): r_p through its square, pi = |dz| as it is."""
    r_p_bins = np.asarray(r_p_bins, dtype=np.float64)
    pi_bins = np.asarray(pi_bins, dtype=np.float64)
    i, j, dx, dy, dz = pair_displacements(coords, box, pairs)
    rp2 = dy * dy + dx * dx
    a = bin_of(r_p_bins * r_p_bins, rp2)
    b = bin_of(pi_bins, np.abs(dz))
    return histogram_split(ids[i] == ids[j], a, len(r_p_bins) - 1, b, len(pi_bins) - 1)


def smu_counts(coords, ids, s_bins, n_mu_bins, mu_max, box, bin_of=find_bin, pairs=None):
    """(auto, cross) of shape (n_s, n_mu_bins): s through its square, mu = |dz| / s in
    n_mu_bins equal steps of [0, mu_max), the division before the multiplication."""
    s_bins = np.asarray(s_bins, dtype=np.float64)
    n_s = len(s_bins) - 1
    if n_mu_bins == 0:
        empty = np.zeros((n_s, 0))
        return empty, empty.copy()
    i, j, dx, dy, dz = pair_displacements(coords, box, pairs)
    s2 = (dx * dx + dy * dy) + dz * dz
    a = bin_of(s_bins * s_bins, s2)
    with np.errstate(divide="ignore", invalid="ignore"):
        mu = np.abs(dz) / np.sqrt(s2)
        ok = mu < mu_max  # NaN (s = 0) and mu_max <= 0 or NaN fail here
        q = np.where(ok, (mu / mu_max) * float(n_mu_bins), 0.0)
    b = np.minimum(np.floor(q).astype(np.int64), n_mu_bins - 1)
    a = np.where(ok, a, -1)
    return histogram_split(ids[i] == ids[j], a, n_s, b, n_mu_bins)


# ---- groups of three or more ---------------------------------------------------------


def near_pairs(coords, box, reach):
    """Indices (i, j), i < j, of the pairs within `reach` (minimum image), and maybe a few
    more: the candidates of the brute force on catalogues too large for every pair.
    From a periodic k-d tree (scipy), which measures separations its own way; the reach
    is widened so that no pair the counters' arithmetic puts in range is left out."""
    from scipy.spatial import cKDTree

    tree = cKDTree(coords, boxsize=box)
    found = tree.query_pairs(reach * (1 + 1e-9) + box * 1e-12, output_type="ndarray")
    i, j = np.minimum(found[:, 0], found[:, 1]), np.maximum(found[:, 0], found[:, 1])
    return i, j


def bin_table(r_bins):
    """The 4096-level map from squared largest separation to bin, and its scale.

    Entry j holds the bin of r2_max * (j / 4095); the top entry (r2_max itself, one
    past the last bin) is taken as the last bin.
    """
    r_bins = np.asarray(r_bins, dtype=np.float64)
    n_r = len(r_bins) - 1
    r2_max = r_bins[-1] * r_bins[-1]
    v = r2_max * (np.arange(4096, dtype=np.float64) / 4095.0)
    entries = np.searchsorted(r_bins * r_bins, v, side="right") - 1
    return np.minimum(entries, n_r - 1), 4095.0 / r2_max


def table_bin(r_bins, m):
    table, scale = bin_table(r_bins)
    idx = np.minimum(4095, (np.asarray(m) * scale).astype(np.int64))
    return table[idx]


def folds_member_differences(box, r_max):
    """Whether the counters fold differences between two members' displacements:
    r_max above a quarter of the box, or a grid of 3 cells narrower than r_max."""
    cells = min(max(int(box / r_max), 3), 128) if r_max > 0 else 128
    return 2.0 * r_max > box * 0.5 or box / cells < r_max


def accepted_groups(coords, ids, r_bins, box, n_order):
    """Every group of n_order >= 3 rows with all pairwise separations below r_max.

    Returns (m, mn, s): the largest and the smallest squared separation and the number
    of distinct partitions (capped at 8) of each group. Separations are computed as the
    counters do: minimum-image displacements from the member of smallest row (the
    anchor), and member-to-member separations as differences of those displacements,
    folded once when `folds_member_differences`; triplets sum the squares z, y, x, larger
    groups x, y, z.
    """
    from itertools import combinations

    r_bins = np.asarray(r_bins, dtype=np.float64)
    r2_max = r_bins[-1] * r_bins[-1]
    fold = folds_member_differences(box, r_bins[-1])
    k = n_order - 1
    slot_pairs = list(combinations(range(k), 2))
    ms, mns, ss = [], [], []
    for i in range(len(coords)):
        d = min_image(coords[i + 1:] - coords[i], box)
        d2 = (d[:, 0] * d[:, 0] + d[:, 1] * d[:, 1]) + d[:, 2] * d[:, 2]
        near = np.nonzero(d2 < r2_max)[0]
        if len(near) < k:
            continue
        disp, disp2, pid = d[near], d2[near], ids[i + 1:][near]
        e = disp[None, :, :] - disp[:, None, :]
        if fold:
            e = min_image(e, box)
        ex, ey, ez = e[..., 0], e[..., 1], e[..., 2]
        if n_order == 3:
            e2 = (ey * ey + ez * ez) + ex * ex
        else:
            e2 = (ex * ex + ey * ey) + ez * ez
        combos = np.array(list(combinations(range(len(near)), k)), dtype=np.int64)
        sep = [disp2[combos[:, a]] for a in range(k)]
        sep += [e2[combos[:, a], combos[:, b]] for a, b in slot_pairs]
        sep = np.stack(sep, axis=1)
        keep = np.all(sep < r2_max, axis=1)
        members = np.concatenate([np.full((len(combos), 1), ids[i]), pid[combos]], axis=1)
        members = np.sort(members[keep], axis=1)
        ms.append(sep[keep].max(axis=1))
        mns.append(sep[keep].min(axis=1))
        ss.append(np.minimum(8, 1 + np.count_nonzero(np.diff(members, axis=1), axis=1)))
    if not ms:
        return np.zeros(0), np.zeros(0), np.zeros(0, dtype=np.int64)
    return np.concatenate(ms), np.concatenate(mns), np.concatenate(ss)


def group_counts(coords, ids, r_bins, box, n_order):
    """(counts_by_s, counts_total) of count_npoint for n_order >= 3, by brute force."""
    n_r = len(r_bins) - 1
    m, _, s = accepted_groups(coords, ids, r_bins, box, n_order)
    b = table_bin(r_bins, m)
    keep = b >= 0
    by_s = np.zeros((n_order, n_r))
    np.add.at(by_s, (s[keep] - 1, b[keep]), 1.0)
    return by_s, by_s.sum(axis=0)


def shape_counts(coords, ids, r_bins, n_ratio, box):
    """(t_by_s, t_total) of count_npoint3_shape, by brute force."""
    n_r = len(r_bins) - 1
    n_ratio = max(n_ratio, 1)
    m, mn, s = accepted_groups(coords, ids, r_bins, box, 3)
    b = table_bin(r_bins, m)
    with np.errstate(invalid="ignore"):
        ratio = np.sqrt(mn / m) * float(n_ratio)
    ratio_bin = np.minimum(n_ratio - 1, np.where(np.isnan(ratio), 0, ratio).astype(np.int64))
    keep = b >= 0
    t_by_s = np.zeros((3, n_r * n_ratio))
    np.add.at(t_by_s, (s[keep] - 1, b[keep] * n_ratio + ratio_bin[keep]), 1.0)
    return t_by_s, (t_by_s[0] + t_by_s[1]) + t_by_s[2]
