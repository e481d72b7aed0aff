"""The estimators: zero clustering on a uniform catalogue, exact recomputation from the
counts, the analytic random counts against Monte Carlo counts, and their input checks."""
import math

import numpy as np
import pytest

import quor
from quor import estimators

BOX = 100.0
R_BINS = np.array([1.0, 2.0, 4.0, 8.0, 12.0])


def uniform(n=30_000, seed=3):
    rng = np.random.default_rng(seed)
    return rng.uniform(0.0, BOX, size=(n, 3)), rng.integers(0, n // 4, size=n)


def clustered(n_haloes=600, seed=4):
    """Galaxies around halo centres, 1 to 9 per halo, halo id per galaxy."""
    rng = np.random.default_rng(seed)
    centres = rng.uniform(0.0, BOX, size=(n_haloes, 3))
    halo = np.repeat(np.arange(n_haloes), rng.integers(1, 10, size=n_haloes))
    coords = centres[halo] + rng.normal(0.0, 0.7, size=(halo.size, 3))
    return np.mod(coords, BOX), halo


def pair_randoms(n, r_bins):
    return n * (n - 1) / 2 * (4 / 3 * math.pi) * np.diff(np.asarray(r_bins) ** 3) / BOX**3


# ---------------------------------------------------------------------------------------
# A uniform catalogue has no clustering: every estimator is zero within its Poisson error.

def test_xi_of_uniform_catalogue_is_zero():
    coords, ids = uniform()
    one, two = quor.xi_one_two_halo(coords, ids, R_BINS, BOX)
    sigma = 1.0 / np.sqrt(pair_randoms(len(coords), R_BINS))
    assert np.all(np.abs(one + two) < 5 * sigma)
    assert np.all(one > 0)  # ids shared by about four galaxies each: a few same-id pairs


def test_wp_of_uniform_catalogue_is_zero():
    coords, ids = uniform()
    one, two = quor.wp_one_two_halo(coords, ids, R_BINS, 10.5, BOX)
    n = len(coords)
    rr = n * (n - 1) / 2 * math.pi * np.diff(R_BINS**2) * 2 * 10.5 / BOX**3
    sigma = 2 * 10.5 / np.sqrt(rr)  # wp = 2 pi_max (DD / RR - 1) over the whole column
    assert np.all(np.abs(one + two) < 5 * sigma)


def test_multipoles_of_uniform_catalogue_are_zero():
    coords, ids = uniform()
    n_mu, ells = 8, (0, 2, 4)
    one, two = quor.xi_multipoles(coords, ids, R_BINS, n_mu, BOX, ells=ells)
    assert one.shape == two.shape == (3, len(R_BINS) - 1)
    rr = pair_randoms(len(coords), R_BINS)[:, None] / n_mu
    integrals = estimators._legendre_bin_integrals(ells, n_mu)
    sigma = np.array([(2 * ell + 1) * np.sqrt((integrals[i] ** 2 / rr).sum(axis=1))
                      for i, ell in enumerate(ells)])
    assert np.all(np.abs(one + two) < 5 * sigma)


@pytest.mark.parametrize("n_order", [2, 3])
def test_npoint_ratio_of_uniform_catalogue_is_one(n_order):
    # The analytic random groups against a Monte Carlo count: that of a uniform catalogue.
    coords, ids = uniform(60_000 if n_order == 3 else 30_000)
    r_bins = np.array([1.0, 1.6, 2.2, 3.0]) if n_order == 3 else R_BINS
    by_partitions, total = quor.npoint_ratio(coords, ids, r_bins, BOX, n_order)
    counts = quor.count_npoint(coords, ids, r_bins, BOX, n_order).total
    assert np.all(counts > 2000)
    # Triplets sharing members make the count noisier than Poisson: a wider allowance.
    sigma = (3.0 if n_order == 3 else 1.0) / np.sqrt(counts)
    assert np.all(np.abs(total - 1.0) < 5 * sigma)
    np.testing.assert_allclose(by_partitions.sum(axis=0), total, rtol=1e-12)


# ---------------------------------------------------------------------------------------
# Every galaxy in a halo of its own: nothing is one-halo.

def test_own_ids_give_no_one_halo_term():
    coords, _ = clustered()
    own = np.arange(len(coords))
    assert not quor.xi_one_two_halo(coords, own, R_BINS, BOX).one_halo.any()
    assert not quor.wp_one_two_halo(coords, own, R_BINS, 5, BOX).one_halo.any()
    assert not quor.xi_multipoles(coords, own, R_BINS, 5, BOX).one_halo.any()
    by_partitions, total = quor.npoint_ratio(coords, own, [0.5, 1.0, 2.0], BOX)
    assert not by_partitions[:2].any() and np.all(by_partitions[2] == total) and total.any()


# ---------------------------------------------------------------------------------------
# The estimators are their formulas applied to quor's counts.

def test_xi_recomputes_from_counts():
    coords, halo = clustered()
    same, cross = quor.count_pairs_1d(coords, halo, R_BINS, BOX)
    rr = pair_randoms(len(coords), R_BINS)
    one, two = quor.xi_one_two_halo(coords, halo, R_BINS, BOX)
    assert np.any(same > 0) and np.all(cross > 0)
    np.testing.assert_allclose(one, same / rr, rtol=1e-13)
    np.testing.assert_allclose(two, cross / rr - 1, rtol=1e-13)
    np.testing.assert_allclose(one + two, (same + cross) / rr - 1, rtol=1e-13)


@pytest.mark.parametrize("pi_max", [6, 6.5], ids=["whole", "fraction"])
def test_wp_recomputes_from_counts(pi_max):
    coords, halo = clustered()
    pi_bins = np.arange(0.0, math.ceil(pi_max) + 1.0)
    pi_bins[-1] = pi_max
    same, cross = quor.count_pairs_2d(coords, halo, R_BINS, pi_bins, BOX)
    n = len(coords)
    d_pi = np.diff(pi_bins)
    rr = n * (n - 1) / 2 * math.pi * np.diff(R_BINS**2)[:, None] * 2 * d_pi / BOX**3
    one, two = quor.wp_one_two_halo(coords, halo, R_BINS, pi_max, BOX)
    np.testing.assert_allclose(one, 2 * (same / rr * d_pi).sum(axis=1), rtol=1e-13)
    np.testing.assert_allclose(two, 2 * ((cross / rr - 1) * d_pi).sum(axis=1), rtol=1e-13)


def test_multipoles_recompute_from_counts():
    coords, halo = clustered()
    n_mu = 10
    same, cross = quor.count_pairs_smu(coords, halo, R_BINS, n_mu, 1.0, BOX)
    rr = pair_randoms(len(coords), R_BINS)[:, None] / n_mu
    mu = np.linspace(0.0, 1.0, n_mu + 1)
    # Bin integrals of P_0, P_2, P_4 from their antiderivatives.
    anti = [lambda m: m, lambda m: (m**3 - m) / 2, lambda m: (7 * m**5 - 10 * m**3 + 3 * m) / 8]
    weights = np.array([(2 * ell + 1) * np.diff(f(mu)) for ell, f in zip((0, 2, 4), anti)])
    one, two = quor.xi_multipoles(coords, halo, R_BINS, n_mu, BOX)
    np.testing.assert_allclose(one, weights @ (same / rr).T, rtol=1e-12, atol=1e-12)
    np.testing.assert_allclose(two, weights @ (cross / rr - 1).T, rtol=1e-12, atol=1e-12)
    # A xi constant in mu projects onto the monopole alone, whatever the number of bins.
    np.testing.assert_allclose(estimators._legendre_bin_integrals((0, 2, 4), 7).sum(axis=1),
                               [1.0, 0.0, 0.0], atol=1e-15)


def test_npoint_ratio_recomputes_from_counts():
    coords, halo = clustered()
    r_bins = np.array([0.2, 0.5, 1.0, 2.0])
    by_partitions, total = quor.count_npoint(coords, halo, r_bins, BOX, 3)
    rrr = quor.random_groups(len(coords), r_bins, BOX, 3)
    ratios = quor.npoint_ratio(coords, halo, r_bins, BOX, 3)
    np.testing.assert_allclose(ratios.by_partitions, by_partitions / rrr, rtol=1e-13)
    np.testing.assert_allclose(ratios.total, total / rrr, rtol=1e-13)


# ---------------------------------------------------------------------------------------
# The analytic random counts.

def test_triplet_volume_against_monte_carlo():
    # Two points uniform in the cube [-1, 1]^3 around a third at the origin: the fraction
    # with all three pairwise closer than 1, times the cube volume squared, is V3(1).
    rng = np.random.default_rng(8)
    m = 2_000_000
    a, b = rng.uniform(-1, 1, size=(m, 3)), rng.uniform(-1, 1, size=(m, 3))
    inside = ((a * a).sum(1) < 1) & ((b * b).sum(1) < 1) & (((a - b) ** 2).sum(1) < 1)
    p = inside.mean()
    sigma = 64 * math.sqrt(p * (1 - p) / m)
    assert abs(64 * p - 5 * math.pi**2 / 6) < 5 * sigma


def test_triplets_binned_at_table_edges():
    # Isolated equilateral triangles of random sides land in the bins that the random
    # counts assume: edges rounded up to the table's levels, not the edges as given.
    rng = np.random.default_rng(9)
    r_bins = np.array([0.03, 0.05, 0.1, 0.31, 2.0])
    sides = rng.uniform(0.0, 2.0, size=3000)
    centres = np.stack(np.meshgrid(*[np.arange(15) * 5.0] * 3), -1).reshape(-1, 3)[:3000]
    unit = np.array([[0.0, 0.0, 0.0], [1.0, 0.0, 0.0], [0.5, math.sqrt(3) / 2, 0.0]])
    coords = (centres[:, None, :] + sides[:, None, None] * unit).reshape(-1, 3)
    ids = np.zeros(len(coords), int)
    _, total = quor.count_npoint(coords, ids, r_bins, 75.0, 3)
    table_r2 = estimators._table_edges(r_bins)
    expected = np.histogram(sides**2, bins=table_r2)[0]
    assert np.any(expected != np.histogram(sides, bins=r_bins)[0])  # the rounding matters
    np.testing.assert_array_equal(total, expected)


def test_random_groups_formulas():
    r = np.array([0.0, 1.0, 2.0])
    np.testing.assert_allclose(quor.random_groups(100, r, 10.0, 2),
                               4950 * 4 / 3 * math.pi * np.array([1, 7]) / 1000, rtol=1e-14)
    rrr = quor.random_groups(100, r, 10.0, 3)
    np.testing.assert_allclose(rrr.sum(), 161700 * 5 * math.pi**2 / 6 * 64 / 1e6, rtol=1e-14)


# ---------------------------------------------------------------------------------------
# Input checks, each naming its argument.

@pytest.mark.parametrize("call, error, match", [
    (lambda c, i: quor.xi_one_two_halo(c, i, [1.0, 51.0], BOX), ValueError, "r_bins must end within half"),
    (lambda c, i: quor.wp_one_two_halo(c, i, [1.0, 5.0], 51, BOX), ValueError, "pi_max must be at most"),
    (lambda c, i: quor.wp_one_two_halo(c, i, [1.0, 5.0], 0.0, BOX), ValueError, "pi_max must be finite"),
    (lambda c, i: quor.wp_one_two_halo(c, i, [1.0, 5.0], "20", BOX), TypeError, "pi_max must be a real"),
    (lambda c, i: quor.xi_multipoles(c, i, [1.0, 5.0], 4, BOX, ells=(0, 1)), ValueError, "ells must be"),
    (lambda c, i: quor.xi_multipoles(c, i, [1.0, 5.0], 0, BOX), ValueError, "n_mu_bins must be at least"),
    (lambda c, i: quor.npoint_ratio(c, i, [1.0, 26.0], BOX, 3), ValueError, "quarter of the box"),
    (lambda c, i: quor.npoint_ratio(c, i, [1.0, 5.0], BOX, 4), ValueError, "n_order must be 2 or 3"),
    (lambda c, i: quor.xi_one_two_halo(c[:1], i[:1], [1.0, 5.0], BOX), ValueError, "at least 2 galaxies"),
    (lambda c, i: quor.xi_one_two_halo(c, i[:-1], [1.0, 5.0], BOX), ValueError, "partition_ids"),
    (lambda c, i: quor.random_pairs(-1, [1.0, 5.0], BOX), ValueError, "n_galaxies must not be negative"),
    (lambda c, i: quor.random_groups(10, [5.0, 1.0], BOX, 3), ValueError, "r_bins must be non-decreasing"),
], ids=["xi-reach", "wp-pi-reach", "wp-pi-zero", "wp-pi-type", "odd-ell", "no-mu-bins",
        "triplet-reach", "order-4", "one-galaxy", "ids-length", "negative-n", "random-edges"])
def test_bad_input(call, error, match):
    coords, ids = uniform(100)
    with pytest.raises(error, match=match):
        call(coords, ids)


def test_zero_width_bin_is_nan():
    coords, ids = uniform(1000)
    one, two = quor.xi_one_two_halo(coords, ids, [1.0, 1.0, 5.0], BOX)
    assert np.isnan(one[0]) and np.isnan(two[0]) and np.isfinite(two[1])


# ---------------------------------------------------------------------------------------
# Two catalogues and weights: the terms are the formulas applied to quor's counts, with the
# random pair weight summed over every pair the counter visits.

def galaxies_and_particles(seed=5):
    """Clustered galaxies, and particles around the same haloes (their host ids) plus a
    uniform field (id -1); galaxy marks and particle masses, both with a spread."""
    rng = np.random.default_rng(seed)
    coords, halo = clustered(300, seed)
    n_ptcl = 1500
    host = rng.integers(-1, 300, size=n_ptcl)
    centres = np.mod(coords[np.searchsorted(halo, np.maximum(host, 0))], BOX)
    particles = np.where((host >= 0)[:, None], centres + rng.normal(0.0, 1.0, (n_ptcl, 3)),
                         rng.uniform(0.0, BOX, (n_ptcl, 3)))
    return (coords, halo, rng.uniform(0.5, 2.0, len(coords)), np.mod(particles, BOX), host,
            rng.lognormal(0.0, 1.0, n_ptcl))


def all_pair_weight(w, w2=None):
    """Sum of w_i w_j over all unordered pairs of one catalogue or ordered pairs of two."""
    if w2 is None:
        return np.triu(np.outer(w, w), 1).sum()
    return np.outer(w, w2).sum()


CASES = ["cross", "cross-weighted", "cross-first-weighted", "auto-weighted"]


def case(name):
    coords, halo, marks, particles, host, masses = galaxies_and_particles()
    kw = {"auto-weighted": dict(weights=marks)}.get(name, dict(coords2=particles, halo_ids2=host))
    if name == "cross-weighted":
        kw.update(weights=marks, weights2=masses)
    if name == "cross-first-weighted":
        kw.update(weights=marks)
    w = kw.get("weights", np.ones(len(coords)))
    if "coords2" in kw:
        pair_weight = all_pair_weight(w, kw.get("weights2", np.ones(len(particles))))
    else:
        pair_weight = all_pair_weight(w)
    counter_kw = {("partition_ids2" if k == "halo_ids2" else k): v for k, v in kw.items()}
    return coords, halo, kw, counter_kw, pair_weight


@pytest.mark.parametrize("name", CASES)
def test_cross_and_weighted_xi_recompute_from_counts(name):
    coords, halo, kw, counter_kw, pair_weight = case(name)
    same, cross = quor.count_pairs_1d(coords, halo, R_BINS, BOX, **counter_kw)
    rr = pair_weight * 4 / 3 * math.pi * np.diff(R_BINS**3) / BOX**3
    one, two = quor.xi_one_two_halo(coords, halo, R_BINS, BOX, **kw)
    assert np.any(same > 0) and np.all(cross > 0)
    np.testing.assert_allclose(one, same / rr, rtol=1e-12)
    np.testing.assert_allclose(two, cross / rr - 1, rtol=1e-12)


@pytest.mark.parametrize("name", CASES)
def test_cross_and_weighted_wp_recompute_from_counts(name):
    coords, halo, kw, counter_kw, pair_weight = case(name)
    pi_bins = np.arange(0.0, 9.0)
    same, cross = quor.count_pairs_2d(coords, halo, R_BINS, pi_bins, BOX, **counter_kw)
    rr = pair_weight * math.pi * np.diff(R_BINS**2)[:, None] * 2 * np.diff(pi_bins) / BOX**3
    one, two = quor.wp_one_two_halo(coords, halo, R_BINS, 8, BOX, **kw)
    np.testing.assert_allclose(one, 2 * (same / rr).sum(axis=1), rtol=1e-12)
    np.testing.assert_allclose(two, 2 * (cross / rr - 1).sum(axis=1), rtol=1e-12)


@pytest.mark.parametrize("estimator", ["xi", "wp"])
def test_equal_weights_leave_the_terms_unchanged(estimator):
    # The weighted randoms scale as the weighted pairs: one weight c for every galaxy gives
    # the unweighted terms (a random weight of W**2 / 2 for one catalogue would not).
    coords, halo, _, particles, host, _ = galaxies_and_particles()
    terms = {"xi": lambda **kw: quor.xi_one_two_halo(coords, halo, R_BINS, BOX, **kw),
             "wp": lambda **kw: quor.wp_one_two_halo(coords, halo, R_BINS, 6, BOX, **kw)}[estimator]
    c, n, n2 = 0.3, len(coords), len(particles)
    for plain, weighted in [(terms(), terms(weights=np.full(n, c))),
                            (terms(coords2=particles, halo_ids2=host),
                             terms(coords2=particles, halo_ids2=host, weights=np.full(n, c),
                                   weights2=np.full(n2, 7.0)))]:
        np.testing.assert_allclose(weighted.one_halo, plain.one_halo, rtol=1e-12)
        np.testing.assert_allclose(weighted.two_halo, plain.two_halo, rtol=1e-12, atol=1e-12)


def test_ids_beyond_32_bits_stay_shared_between_catalogues():
    # Halo-finder ids (large int64) relabelled for the counter must keep galaxy and
    # particle of one halo equal: the terms do not change with such ids.
    coords, halo, _, particles, host, _ = galaxies_and_particles()
    big, big2 = halo + 10**15, np.where(host >= 0, host + 10**15, -1)
    small = quor.xi_one_two_halo(coords, halo, R_BINS, BOX, coords2=particles, halo_ids2=host)
    large = quor.xi_one_two_halo(coords, big, R_BINS, BOX, coords2=particles, halo_ids2=big2)
    assert np.any(small.one_halo > 0)
    np.testing.assert_array_equal(large.one_halo, small.one_halo)
    np.testing.assert_array_equal(large.two_halo, small.two_halo)


def test_cross_xi_of_uniform_catalogues_is_zero():
    # The analytic cross randoms against Monte Carlo: two independent uniform catalogues,
    # the second weighed by masses that vary a lot, do not correlate.
    coords, ids = uniform(20_000, seed=6)
    other, other_ids = uniform(20_000, seed=7)
    masses = np.random.default_rng(8).lognormal(0.0, 1.0, len(other))
    one, two = quor.xi_one_two_halo(coords, ids, R_BINS, BOX, coords2=other, halo_ids2=other_ids,
                                    weights2=masses)
    rr = len(coords) * len(other) * 4 / 3 * math.pi * np.diff(R_BINS**3) / BOX**3
    sigma = np.sqrt(np.mean(masses**2)) / np.mean(masses) / np.sqrt(rr)
    assert np.all(one > 0) and np.all(np.abs(one + two) < 5 * sigma)


@pytest.mark.parametrize("kw, error, match", [
    (dict(halo_ids2=[1]), ValueError, "halo_ids2 is given without coords2"),
    (dict(weights2=[1.0]), ValueError, "weights2 is given without coords2"),
    (dict(coords2=[[1.0, 2.0, 3.0]]), ValueError, "halo_ids2 is required with coords2"),
    (dict(coords2=np.zeros((0, 3)), halo_ids2=[]), ValueError, "coords2 must hold at least 1"),
    (dict(weights=np.ones(99)), ValueError, "weights must hold one value per row"),
    (dict(weights=np.r_[np.ones(99), np.nan]), ValueError, "weights must be finite"),
    (dict(weights=np.array(["1"] * 100)), TypeError, "weights must hold real numbers"),
    (dict(coords2=[[1.0, 2.0, 3.0]], halo_ids2=[0], weights2=[1.0, 2.0]), ValueError,
     "weights2 must hold one value per row"),
    (dict(coords2=[[1.0, 2.0, 3.0]], halo_ids2=[0], weights2=[0.0]), ValueError,
     "random pair weight of 0.0"),
    (dict(weights=np.r_[1.0, np.zeros(99)]), ValueError, "random pair weight of 0.0"),
    (dict(weights=np.full(100, 1e200)), ValueError, "random pair weight of (inf|nan)"),
], ids=["ids2-alone", "weights2-alone", "no-ids2", "empty-2", "weights-length", "weights-nan",
        "weights-text", "weights2-length", "weights2-zero", "one-weighted-galaxy", "overflow"])
@pytest.mark.parametrize("estimator", ["xi", "wp"])
def test_bad_cross_or_weights(estimator, kw, error, match):
    coords, ids = uniform(100)
    with pytest.raises(error, match=match):
        if estimator == "xi":
            quor.xi_one_two_halo(coords, ids, [1.0, 5.0], BOX, **kw)
        else:
            quor.wp_one_two_halo(coords, ids, [1.0, 5.0], 5, BOX, **kw)
