"""Delete-one jackknife of the estimators: the analytic randoms without a region, the
delete-one estimates against recounts, the covariance, and the regions refused."""
import math

import numpy as np
import pytest

import quor
from quor import _jackknife

import reference

pytestmark = pytest.mark.python_layer

BOX = 100.0


def uniform(n, seed):
    return np.random.default_rng(seed).uniform(0.0, BOX, size=(n, 3))


# ---------------------------------------------------------------------------------------------
# The randoms without one cube, against Monte Carlo pairs in the box


def mc_retained_pair_volume(sample_d, n_cubes, seed, m=400_000):
    """Monte Carlo of the integral over a bin of |{x : x and x + d both outside cube 0}|:
    x uniform in the box, d uniform in the bin (drawn by sample_d, which returns the bin's
    volume too). Returns the estimate and its standard error."""
    rng = np.random.default_rng(seed)
    side = BOX / n_cubes
    x = rng.uniform(0.0, BOX, size=(m, 3))
    d, bin_volume = sample_d(rng, m)
    y = np.mod(x + d, BOX)
    outside = ~np.all(x < side, axis=1) & ~np.all(y < side, axis=1)
    scale = bin_volume * BOX**3
    return scale * outside.mean(), scale * outside.std() / math.sqrt(m)


def shell_sample(r0, r1):
    def sample(rng, m):
        r = np.cbrt(rng.uniform(r0**3, r1**3, m))
        v = rng.normal(size=(m, 3))
        volume = 4 * math.pi / 3 * (r1**3 - r0**3)
        return r[:, None] * v / np.linalg.norm(v, axis=1)[:, None], volume
    return sample


def smu_sample(s0, s1, mu0, mu1):
    def sample(rng, m):
        s = np.cbrt(rng.uniform(s0**3, s1**3, m))
        mu = rng.uniform(mu0, mu1, m) * rng.choice([-1.0, 1.0], m)
        phi = rng.uniform(0, 2 * math.pi, m)
        rho = s * np.sqrt(1 - mu * mu)
        d = np.stack([rho * np.cos(phi), rho * np.sin(phi), s * mu], axis=1)
        return d, 4 * math.pi / 3 * (s1**3 - s0**3) * (mu1 - mu0)
    return sample


def rppi_sample(r0, r1, z0, z1):
    def sample(rng, m):
        rp = np.sqrt(rng.uniform(r0**2, r1**2, m))
        phi = rng.uniform(0, 2 * math.pi, m)
        z = rng.uniform(z0, z1, m) * rng.choice([-1.0, 1.0], m)
        d = np.stack([rp * np.cos(phi), rp * np.sin(phi), z], axis=1)
        return d, math.pi * (r1**2 - r0**2) * 2 * (z1 - z0)
    return sample


def covariogram_of(kind, edges, side):
    """The covariogram's integral over the one bin given by `edges`."""
    bins = [np.array(pair) for pair in edges]
    return {"shell": lambda: _jackknife.shell_covariogram(bins[0], side)[0],
            "smu": lambda: _jackknife.smu_covariogram(*bins, side)[0, 0],
            "rppi": lambda: _jackknife.rppi_covariogram(*bins, side)[0, 0]}[kind]()


SAMPLERS = {"shell": shell_sample, "smu": smu_sample, "rppi": rppi_sample}


@pytest.mark.parametrize("kind, n_cubes, edges", [
    ("shell", 2, ((0.0, 50.0),)), ("shell", 3, ((5.0, 33.0),)), ("shell", 4, ((0.0, 3.0),)),
    ("smu", 3, ((0.0, 30.0), (0.0, 0.2))), ("smu", 4, ((10.0, 25.0), (0.8, 1.0))),
    ("rppi", 3, ((0.0, 30.0), (0.0, 10.0))), ("rppi", 4, ((5.0, 25.0), (20.0, 40.0))),
])
def test_cube_randoms_against_monte_carlo(kind, n_cubes, edges):
    """(V - 2 a**3) V_B + a**3 G_B, the volume where a pair of the bin has both ends
    outside the cube, against pairs drawn in the box."""
    side = BOX / n_cubes
    sampler = SAMPLERS[kind](*(e for pair in edges for e in pair))
    want, err = mc_retained_pair_volume(sampler, n_cubes, seed=n_cubes)
    _, volume = sampler(np.random.default_rng(0), 1)
    got = float(_jackknife.cube_randoms(np.array([1.0]), np.array(volume),
                                        np.array(covariogram_of(kind, edges, side)), BOX,
                                        side)[0]) * (BOX**3 - side**3) ** 2
    assert abs(got - want) < 5 * err


@pytest.mark.parametrize("kind, edges", [
    ("shell", ((3.0, 20.0),)),
    ("shell", ((0.0, 25.0),)),
    ("smu", ((2.0, 24.0), (0.0, 0.3))),
    ("smu", ((10.0, 25.0), (0.7, 1.0))),
    ("rppi", ((0.0, 25.0), (0.0, 8.0))),
    ("rppi", ((5.0, 20.0), (15.0, 40.0))),     # pi bin across and past a
    ("rppi", ((5.0, 20.0), (30.0, 45.0))),     # pi bin past a: no overlap
])
def test_covariogram_bin_average_against_monte_carlo(kind, edges):
    """The product form prod max(0, 1 - |d_i| / a) averaged over d uniform in the bin."""
    side, m = 25.0, 400_000
    d, volume = SAMPLERS[kind](*(e for pair in edges for e in pair))(np.random.default_rng(9), m)
    g = np.prod(np.maximum(0.0, 1.0 - np.abs(d) / side), axis=1)
    got = covariogram_of(kind, edges, side)
    assert abs(got / volume - g.mean()) <= 5 * g.std() / math.sqrt(m) + 1e-15


def test_direction_average_sums_over_mu():
    """The (s, mu) bins of a shell add up to the shell's closed form in r."""
    s, side = np.array([0.0, 7.0, 19.0, 25.0]), 25.0
    shells = _jackknife.shell_covariogram(s, side)
    by_mu = _jackknife.smu_covariogram(s, np.linspace(0.0, 1.0, 8), side).sum(axis=1)
    closed = np.diff([4 * math.pi * (r**3 / 3 - 3 * r**4 / (8 * side) + 2 * r**5 / (5 * math.pi
                                     * side**2) - r**6 / (24 * math.pi * side**3)) for r in s])
    np.testing.assert_allclose(shells, closed, rtol=1e-12)
    np.testing.assert_allclose(by_mu, closed, rtol=1e-12)


# ---------------------------------------------------------------------------------------------
# Delete-one estimates against recounts, and the covariance


def jackknife_cov(x):
    n = x.shape[0]
    flat = x.reshape(n, -1)
    return (n - 1) * np.cov(flat.T, bias=True).reshape(flat.shape[1], flat.shape[1])


def test_xi_by_region_against_reference_recounts():
    """Label regions: entry k is xi of the catalogue without region k, its pairs counted by
    brute force and its randoms N_k (N_k - 1) / 2 V_B / V."""
    coords, ids = reference.random_catalogue(300, BOX, 40, seed=3)
    labels = np.random.default_rng(3).integers(-2, 3, 300).astype(np.int8)
    r = np.array([0.0, 10.0, 25.0, 50.0])
    res = quor.xi_one_two_halo(coords, ids, r, BOX, regions=labels)
    one, two = [], []
    for k in np.unique(labels):
        keep = labels != k
        same, cross = reference.radial_counts(coords[keep], ids[keep], r, BOX)
        rr = keep.sum() * (keep.sum() - 1) / 2 * 4 * math.pi / 3 * np.diff(r**3) / BOX**3
        one.append(same / rr)
        two.append(cross / rr - 1)
    np.testing.assert_allclose(res.one_halo_by_region, one, rtol=1e-12)
    np.testing.assert_allclose(res.two_halo_by_region, two, rtol=1e-12)
    np.testing.assert_allclose(res.total, res.one_halo + res.two_halo, rtol=0)
    total = np.add(one, two)
    np.testing.assert_allclose(res.total_cov, jackknife_cov(total), rtol=1e-10, atol=1e-15)
    np.testing.assert_allclose(res.total_err, np.sqrt(np.diag(jackknife_cov(total))), rtol=1e-10)


def estimator_call(which, rng):
    """A call of one estimator on the rows kept (k of the first catalogue, k2 of the
    second), with extra keywords, and the label regions of both catalogues."""
    a, b = uniform(400, 1), uniform(300, 2)
    ids, ids2 = rng.integers(0, 30, 400), rng.integers(0, 30, 300)
    w, w2 = rng.uniform(0.5, 2, 400), rng.uniform(0.5, 2, 300)
    lab, lab2 = rng.integers(0, 6, 400), rng.integers(2, 8, 300)
    edges = [1.0, 10.0, 30.0]
    calls = {
        "xi_cross_weighted": lambda k, k2, **o: quor.xi_one_two_halo(
            a[k], ids[k], edges, BOX, coords2=b[k2], halo_ids2=ids2[k2], weights=w[k],
            weights2=w2[k2], **o),
        "wp_weighted": lambda k, k2, **o: quor.wp_one_two_halo(
            a[k], ids[k], edges, 20.0, BOX, weights=w[k], **o),
        "multipoles": lambda k, k2, **o: quor.xi_multipoles(a[k], ids[k], [2.0, 10.0, 30.0],
                                                            4, BOX, **o),
        "triplets": lambda k, k2, **o: quor.npoint_ratio(a[k], ids[k], [5.0, 20.0], BOX, **o),
        "delta_sigma": lambda k, k2, **o: quor.delta_sigma_one_two_halo(
            a[k], ids[k], b, ids2, w2, edges, BOX, **o),
    }
    return calls[which], lab, (lab2 if which == "xi_cross_weighted" else None)


@pytest.mark.parametrize("which", ["xi_cross_weighted", "wp_weighted", "multipoles", "triplets",
                                   "delta_sigma"])
def test_label_regions_equal_the_reduced_catalogues(which):
    """Label regions with randoms scaled by the retained pairs: entry k is the estimator
    on the catalogue(s) without region k's galaxies (both catalogues, jointly labelled)."""
    call, lab, lab2 = estimator_call(which, np.random.default_rng(5))
    everything = slice(None)
    if lab2 is None:
        full = call(everything, everything, regions=lab)
        runs = [call(lab != k, everything) for k in np.unique(lab)]
    else:
        full = call(everything, everything, regions=lab, regions2=lab2)
        runs = [call(lab != k, lab2 != k) for k in np.union1d(lab, lab2)]
    for name, expected in zip(full._fields, (np.stack(f) for f in zip(*runs))):
        got = getattr(full, name + "_by_region")
        np.testing.assert_allclose(got, expected, rtol=1e-12, atol=1e-15)
        np.testing.assert_allclose(getattr(full, name + "_cov"), jackknife_cov(expected),
                                   rtol=1e-9, atol=1e-18)
        assert getattr(full, name + "_err").shape == getattr(full, name).shape


def test_result_unpacks_as_without_regions():
    coords = uniform(500, 4)
    ids = np.arange(500)
    plain = quor.xi_multipoles(coords, ids, [2.0, 10.0, 20.0], 3, BOX)
    with_regions = quor.xi_multipoles(coords, ids, [2.0, 10.0, 20.0], 3, BOX, regions=2)
    one, two = with_regions
    np.testing.assert_array_equal(one, plain.one_halo)
    np.testing.assert_array_equal(two, plain.two_halo)
    assert not hasattr(plain, "total") and not hasattr(plain, "one_halo_cov")
    assert with_regions.total_by_region.shape == (8, 3, 2)
    assert with_regions.total_cov.shape == (6, 6)
    assert with_regions.total_err.shape == (3, 2)


# ---------------------------------------------------------------------------------------------
# Uniform catalogues: delete-one estimates average to zero


@pytest.mark.parametrize("regions", ["cubes", "labels"])
@pytest.mark.parametrize("estimator", ["xi", "wp"])
def test_uniform_delete_one_average_to_zero(regions, estimator):
    n = 10_000
    coords = uniform(n, 21)
    ids = np.arange(n)
    reg = 2 if regions == "cubes" else np.random.default_rng(2).integers(0, 8, n)
    if estimator == "xi":
        edges = np.array([5.0, 15.0, 33.0])
        res = quor.xi_one_two_halo(coords, ids, edges, BOX, regions=reg)
        rr = n * (n - 1) / 2 * 4 * math.pi / 3 * np.diff(edges**3) / BOX**3
        sigma = 1 / np.sqrt(rr)                                  # Poisson error of 1 + xi
    else:
        edges, pi_max = np.array([5.0, 15.0, 33.0]), 20.0
        res = quor.wp_one_two_halo(coords, ids, edges, pi_max, BOX, regions=reg)
        rr = n * (n - 1) / 2 * math.pi * np.diff(edges**2) * 2 * pi_max / BOX**3
        sigma = 2 * pi_max / np.sqrt(rr)                         # w_p = 2 pi_max xi
    # Within the Poisson error of the pairs, or the jackknife's own error where shared
    # members make the pairs' counts vary more than Poisson.
    mean = res.total_by_region.mean(axis=0)
    assert np.all(np.abs(mean) < 4 * np.hypot(sigma, res.total_err)), (mean, sigma)
    assert np.all(res.total_err > 0)


def test_uniform_triplets_with_cube_regions():
    coords = uniform(6000, 8)
    res = quor.npoint_ratio(coords, np.arange(6000), [5.0, 12.0], BOX, regions=3)
    assert abs(res.total_by_region.mean() - 1.0) < 4 * res.total_err[0] / math.sqrt(27) + 0.01


# ---------------------------------------------------------------------------------------------
# Regions refused


@pytest.mark.parametrize("kwargs, error, match", [
    (dict(regions=1), ValueError, "at least in 2"),
    (dict(regions=0), ValueError, "at least in 2"),
    (dict(regions=True), TypeError, "regions must be an int"),
    (dict(regions=2.0), TypeError, "regions must be an int"),
    (dict(regions=np.zeros(50)), TypeError, "integer labels"),
    (dict(regions=np.zeros(50, bool)), TypeError, "integer labels"),
    (dict(regions=np.arange(49)), ValueError, "one label per row of coords"),
    (dict(regions=np.zeros(50, int)), ValueError, "at least 2 distinct"),
    (dict(regions=5), ValueError, "within the side of a region's cube .* = 20"),
    (dict(regions2=np.arange(50)), ValueError, "regions2 is given without"),
    (dict(regions=np.arange(50), regions2=np.arange(50)), ValueError,
     "regions2 is given without coords2"),
    (dict(regions=np.arange(50), coords2=np.ones((5, 3)), halo_ids2=np.arange(5)), ValueError,
     "regions2 is required"),
    (dict(regions=2, regions2=np.arange(5), coords2=np.ones((5, 3)), halo_ids2=np.arange(5)),
     ValueError, "regions2 must be None"),
    (dict(regions2=np.arange(5), coords2=np.ones((5, 3)), halo_ids2=np.arange(5)), ValueError,
     "regions2 is given without regions"),
])
def test_bad_regions_are_refused(kwargs, error, match):
    with pytest.raises(error, match=match):
        quor.xi_one_two_halo(uniform(50, 0), np.arange(50), [1.0, 25.0], BOX, **kwargs)


def test_empty_cube_keeps_every_pair():
    """Cubes holding no galaxy leave every pair in: their delete-one counts are the full
    counts, over the randoms expected without that cube."""
    coords = uniform(2000, 6) * [0.5, 1.0, 1.0] + [50.0, 0.0, 0.0]   # cubes ix = 0 empty
    ids = np.random.default_rng(6).integers(0, 300, 2000)
    r = np.array([2.0, 10.0, 25.0])
    res = quor.xi_one_two_halo(coords, ids, r, BOX, regions=2)
    same, cross = quor.count_pairs_1d(coords, ids, r, BOX)
    volumes = 4 * math.pi / 3 * np.diff(r**3)
    rr_k = _jackknife.cube_randoms(np.array([2000 * 1999 / 2]), volumes,
                                   _jackknife.shell_covariogram(r, 50.0), BOX, 50.0)[0]
    for k in range(4):
        np.testing.assert_allclose(res.one_halo_by_region[k], same / rr_k, rtol=1e-12)
        np.testing.assert_allclose(res.two_halo_by_region[k], cross / rr_k - 1, rtol=1e-12)
    assert not np.allclose(res.two_halo_by_region[4:], cross / rr_k - 1, rtol=1e-6)


# ---------------------------------------------------------------------------------------------
# Results copied with _replace keep what rides along


@pytest.mark.parametrize("make, field, attribute", [
    (lambda x, ids: quor.count_pairs_1d(x, ids, np.linspace(1, 20, 4), BOX, regions=2,
                                        weights=np.full(len(x), 2.0)), "auto", "auto_pairs_by_region"),
    (lambda x, ids: quor.count_npoint(x, ids, np.linspace(0, 15, 3), BOX, 3, regions=2),
     "total", "total_by_region"),
    (lambda x, ids: quor.xi_one_two_halo(x, ids, np.linspace(1, 20, 4), BOX, regions=2),
     "one_halo", "total_err"),
    (lambda x, ids: quor.npoint_ratio(x, ids, np.linspace(0, 15, 3), BOX, 3, regions=2),
     "total", "total_cov"),
], ids=["pairs", "groups", "halo-terms", "group-ratios"])
def test_replace_keeps_attributes(make, field, attribute):
    x = uniform(300, seed=4)
    ids = np.random.default_rng(4).integers(0, 40, 300)
    result = make(x, ids)
    copy = result._replace(**{field: 0 * getattr(result, field)})
    assert type(copy) is type(result) and not getattr(copy, field).any()
    np.testing.assert_array_equal(getattr(copy, attribute), getattr(result, attribute))
