"""Brute-force NumPy counts that the compiled counters must match exactly.

Every helper repeats the counters' arithmetic in the same order, so that the
comparison can be exact: minimum image per component with one strict fold,
squared separations against squared edges, half-open bins.
"""
import math

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


def projected_counts(coords, ids, r_p_bins, pi_bins, box, bin_of=find_bin):
    """(auto, cross) of shape (n_rp, n_pi): r_p through its square, pi = |dz| as it is."""
    r_p_bins = np.asarray(r_p_bins, dtype=np.float64)
    pi_bins = np.asarray(pi_bins, dtype=np.float64)
    i, j, dx, dy, dz = pair_displacements(coords, box)
    rp2 = dy * dy + dx * dx
    a = bin_of(r_p_bins * r_p_bins, rp2)
    b = bin_of(pi_bins, np.abs(dz))
    return histogram_split(ids[i] == ids[j], a, len(r_p_bins) - 1, b, len(pi_bins) - 1)


def smu_counts(coords, ids, s_bins, n_mu_bins, mu_max, box, bin_of=find_bin):
    """(auto, cross) of shape (n_s, n_mu_bins): s through its square, mu = |dz| / s in
    n_mu_bins equal steps of [0, mu_max), the division before the multiplication."""
    s_bins = np.asarray(s_bins, dtype=np.float64)
    n_s = len(s_bins) - 1
    if n_mu_bins == 0:
        empty = np.zeros((n_s, 0))
        return empty, empty.copy()
    i, j, dx, dy, dz = pair_displacements(coords, box)
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
    cells = min(max(int(box / r_max), 3), 128)
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


# ---- two catalogues, weights and mean separations -------------------------------------
#
# Kept apart from the unweighted helpers above: every pair of a list of pairs carries its
# weight product and separation, and each bin's sums are compensated (math.fsum), so the
# counters' float sums can be held to a tolerance relative to the bin's sum of |w_i w_j|.


def ordered_cross_displacements(coords, coords2, box):
    """Indices (i, j) of every ordered pair, i from the first catalogue and j from the
    second (N1 * N2 of them, equal rows included), and its folded displacement x_j - x_i."""
    i, j = np.meshgrid(np.arange(len(coords)), np.arange(len(coords2)), indexing="ij")
    i, j = i.ravel(), j.ravel()
    d = min_image(np.asarray(coords2)[j] - np.asarray(coords)[i], box).reshape(-1, 3)
    return i, j, d[:, 0], d[:, 1], d[:, 2]


def _pair_list(coords, ids, box, coords2, ids2, weights, weights2):
    """(same, dx, dy, dz, w) over the pairs a counter visits: the unordered pairs of one
    catalogue, or the ordered pairs across two; w = w_i * w_j, 1 without weights."""
    coords = np.asarray(coords, dtype=np.float64)
    ids = np.asarray(ids)
    w1 = np.ones(len(coords)) if weights is None else np.asarray(weights, dtype=np.float64)
    if coords2 is None:
        i, j, dx, dy, dz = pair_displacements(coords, box)
        return ids[i] == ids[j], dx, dy, dz, w1[i] * w1[j]
    coords2 = np.asarray(coords2, dtype=np.float64).reshape(-1, 3)
    ids2 = np.asarray(ids2)
    w2 = np.ones(len(coords2)) if weights2 is None else np.asarray(weights2, dtype=np.float64)
    i, j, dx, dy, dz = ordered_cross_displacements(coords, coords2, box)
    return ids[i] == ids2[j], dx, dy, dz, w1[i] * w2[j]


def _fsum(values):
    """math.fsum, or NaN where the values hold both infinities (fsum refuses them)."""
    try:
        return math.fsum(values)
    except ValueError:
        return math.nan


def _fsum_by_bin(flat, values, n_bins):
    """Compensated sum of `values` over each bin of `flat` (0 .. n_bins - 1)."""
    order = np.argsort(flat, kind="stable")
    bounds = np.searchsorted(flat[order], np.arange(n_bins + 1))
    v = values[order]
    return np.array([_fsum(v[a:b]) for a, b in zip(bounds[:-1], bounds[1:])], dtype=np.float64)


def _sums_split(same, flat, keep, shape, w, sep):
    """The weighted result of a pair counter, as a dict of arrays of `shape`: `auto` and
    `cross` (sums of w), `auto_pairs` and `cross_pairs` (plain counts), and the weighted
    means of the separation and of its log, NaN where the bin's weight sum is 0; and
    `auto_abs`, `cross_abs`, the sums of |w| that bound the rounding of a float sum."""
    n_bins = int(np.prod(shape))
    out = {}
    with np.errstate(divide="ignore", invalid="ignore"):
        log_sep = np.log(sep)
    for side, mask in (("auto", keep & same), ("cross", keep & ~same)):
        f, ws = flat[mask], w[mask]
        total = _fsum_by_bin(f, ws, n_bins)
        with np.errstate(invalid="ignore"):
            wr, wlog = ws * sep[mask], ws * log_sep[mask]
        with np.errstate(divide="ignore", invalid="ignore"):
            mean_r = np.where(total != 0, _fsum_by_bin(f, wr, n_bins) / total, np.nan)
            mean_log_r = np.where(total != 0, _fsum_by_bin(f, wlog, n_bins) / total, np.nan)
        out[side] = total.reshape(shape)
        out[side + "_pairs"] = np.bincount(f, minlength=n_bins).astype(np.float64).reshape(shape)
        out[side + "_abs"] = _fsum_by_bin(f, np.abs(ws), n_bins).reshape(shape)
        out[side + "_mean_r"] = mean_r.reshape(shape)
        out[side + "_mean_log_r"] = mean_log_r.reshape(shape)
    return out


def pair_sums_1d(coords, ids, r_bins, box, coords2=None, ids2=None, weights=None, weights2=None):
    """count_pairs_1d with two catalogues, weights and mean separations, by brute force:
    a dict with `auto`, `cross`, `auto_pairs`, `cross_pairs`, `auto_mean_r`, ..."""
    r_bins = np.asarray(r_bins, dtype=np.float64)
    same, dx, dy, dz, w = _pair_list(coords, ids, box, coords2, ids2, weights, weights2)
    r2 = (dx * dx + dy * dy) + dz * dz
    b = find_bin(r_bins * r_bins, r2)
    return _sums_split(same, np.maximum(b, 0), b >= 0, (len(r_bins) - 1,), w, np.sqrt(r2))


def pair_sums_2d(coords, ids, r_p_bins, pi_bins, box, coords2=None, ids2=None, weights=None,
                 weights2=None):
    """count_pairs_2d likewise; the mean separation is that of r_p."""
    r_p_bins = np.asarray(r_p_bins, dtype=np.float64)
    pi_bins = np.asarray(pi_bins, dtype=np.float64)
    same, dx, dy, dz, w = _pair_list(coords, ids, box, coords2, ids2, weights, weights2)
    rp2 = dy * dy + dx * dx
    a = find_bin(r_p_bins * r_p_bins, rp2)
    b = find_bin(pi_bins, np.abs(dz))
    n_pi = len(pi_bins) - 1
    keep = (a >= 0) & (b >= 0)
    flat = np.where(keep, a * n_pi + b, 0)
    return _sums_split(same, flat, keep, (len(r_p_bins) - 1, n_pi), w, np.sqrt(rp2))


def pair_sums_smu(coords, ids, s_bins, n_mu_bins, mu_max, box, coords2=None, ids2=None,
                  weights=None, weights2=None):
    """count_pairs_smu likewise (mu as smu_counts computes it); the mean separation is
    that of s."""
    s_bins = np.asarray(s_bins, dtype=np.float64)
    same, dx, dy, dz, w = _pair_list(coords, ids, box, coords2, ids2, weights, weights2)
    s2 = (dx * dx + dy * dy) + dz * dz
    a = find_bin(s_bins * s_bins, s2)
    with np.errstate(divide="ignore", invalid="ignore"):
        mu = np.abs(dz) / np.sqrt(s2)
        ok = mu < mu_max  # NaN (s = 0) fails here
        q = np.where(ok, (mu / mu_max) * float(n_mu_bins), 0.0)
    b = np.minimum(np.floor(q).astype(np.int64), n_mu_bins - 1)
    keep = ok & (a >= 0)
    flat = np.where(keep, a * n_mu_bins + b, 0)
    return _sums_split(same, flat, keep, (len(s_bins) - 1, n_mu_bins), w, np.sqrt(s2))
