"""Catalogues large enough that the rows are sorted into cells in several chunks.

The galaxies sit on a few thousand distinct points, many on each, in shuffled row
order: every chunk holds rows of every point, and exact counts follow from the point
pairs weighted by how many galaxies of each partition share each point.
"""
import numpy as np
import pytest

import _quor
from reference import find_bin, min_image


def weighted_pairs(points, counts, box):
    """Point pairs (p < q, and p with itself), their displacement and their number of
    same- and cross-partition galaxy pairs; `counts` is points x partitions."""
    p, q = np.triu_indices(len(points))
    d = min_image(points[q] - points[p], box)
    d[p == q] = 0.0
    m = counts.sum(axis=1)
    same = np.where(p == q, (counts * (counts - 1) // 2).sum(axis=1)[p],
                    (counts[p] * counts[q]).sum(axis=1))
    total = np.where(p == q, m[p] * (m[p] - 1) // 2, m[p] * m[q])
    return d[:, 0], d[:, 1], d[:, 2], same, total - same


def weighted_hist(same, cross, flat, size):
    keep = flat >= 0
    auto = np.bincount(flat[keep], weights=same[keep], minlength=size)
    return auto, np.bincount(flat[keep], weights=cross[keep], minlength=size)


def expected_counts(points, counts, box, edges, n_mu):
    dx, dy, dz, same, cross = weighted_pairs(points, counts, box)
    n = len(edges) - 1
    r2 = (dx * dx + dy * dy) + dz * dz
    radial = weighted_hist(same, cross, find_bin(edges * edges, r2), n)

    rp = find_bin(edges * edges, dy * dy + dx * dx)
    pi = find_bin(edges, np.abs(dz))
    flat = np.where((rp >= 0) & (pi >= 0), rp * n + pi, -1)
    projected = [h.reshape(n, n) for h in weighted_hist(same, cross, flat, n * n)]

    with np.errstate(divide="ignore", invalid="ignore"):
        mu = np.abs(dz) / np.sqrt(r2)
    s = find_bin(edges * edges, r2)
    ok = (mu < 1.0) & (s >= 0)
    b = np.minimum(np.floor(np.where(ok, mu * float(n_mu), 0.0)).astype(np.int64), n_mu - 1)
    flat = np.where(ok, s * n_mu + b, -1)
    smu = [h.reshape(n, n_mu) for h in weighted_hist(same, cross, flat, n * n_mu)]
    return radial, projected, smu


def catalogue(n_points, n_rows, box, seed, images):
    """Rows on n_points points with ids in {-1, 0, 1}, shuffled, 1% NaN rows; with
    `images`, a tenth of the rows sit one box away from their point (outside it)."""
    rng = np.random.default_rng(seed)
    points = rng.uniform(0.0, box, size=(n_points, 3))
    point = np.concatenate([np.arange(n_points), rng.integers(0, n_points, n_rows - n_points)])
    rng.shuffle(point)
    ids = rng.integers(-1, 2, size=n_rows).astype(np.int32)
    coords = points[point]
    if images:
        moved = rng.random(n_rows) < 0.1
        shift = rng.choice([-box, box], size=(n_rows, 3)) * (rng.random((n_rows, 3)) < 0.5)
        coords = coords + np.where(moved[:, None], shift, 0.0)
    nan = rng.random(n_rows) < 0.01
    coords[nan, rng.integers(0, 3, n_rows)[nan]] = np.nan

    # Every distinct position is a point of the reference.
    kept = ~nan
    distinct, where = np.unique(coords[kept], axis=0, return_inverse=True)
    where = where.reshape(-1)
    counts = np.zeros((len(distinct), 3), dtype=np.int64)
    np.add.at(counts, (where, ids[kept] + 1), 1)
    return coords, ids, distinct, counts


# Many cells: 24 per axis, points seldom in neighbouring cells. Few dense cells: 3 per
# axis, every pair of cells neighbours and every separation folded; rows also outside
# the box, which land in edge cells. Row counts are no multiple of any chunk length.
@pytest.mark.parametrize("n_points, n_rows, box, r_max, images", [
    (2000, 60_013, 60.0, 2.5, False),
    (300, 12_347, 10.0, 3.2, True),
], ids=["many-cells", "few-dense-cells"])
def test_chunked_cell_sort_counts_exactly(n_points, n_rows, box, r_max, images):
    coords, ids, points, counts = catalogue(n_points, n_rows, box, seed=n_rows, images=images)
    edges = np.array([0.0, 0.3, 1.0, 1.7, r_max])
    radial, projected, smu = expected_counts(points, counts, box, edges, n_mu=5)
    assert radial[0].sum() > 0 and radial[1].sum() > 0

    np.testing.assert_array_equal(_quor.count_pairs_1d(coords, ids, edges, box), radial)
    np.testing.assert_array_equal(_quor.count_pairs_2d(coords, ids, edges, edges, box), projected)
    np.testing.assert_array_equal(_quor.count_pairs_smu(coords, ids, edges, 5, 1.0, box), smu)
    if not images:  # count_npoint measures rows outside the box at their cell's shift
        by_s, _ = _quor.count_npoint(coords, ids, edges, box, 2)
        np.testing.assert_array_equal(by_s, np.stack(radial))
    # Another memory layout of the same rows.
    wide = np.asfortranarray(np.hstack([coords, np.ones((n_rows, 1))]))
    np.testing.assert_array_equal(_quor.count_pairs_1d(wide, ids, edges, box), radial)
