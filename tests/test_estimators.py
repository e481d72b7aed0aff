"""The estimators: zero clustering on a uniform catalogue, the terms of a halo model
known in closed form or by Monte Carlo, the analytic random counts against Monte Carlo,
and their input checks."""
import math

import numpy as np
import pytest

import quor
from quor import estimators
from reference import bin_table, table_bin

pytestmark = pytest.mark.python_layer

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
# A halo model whose terms are known in closed form. Haloes sit uniformly in the box, so
# that galaxies of two haloes are uncorrelated: the two-halo term of xi is the deficit
# of cross pairs, -N_same / N_pairs, in every bin. Members are Gaussian about their
# centre (sigma across, sigma_z along the line of sight), so the separation of two
# members is Gaussian with twice the variances, and its distribution gives the one-halo
# term (Maxwell in r, Rayleigh in r_p, normal in pi). Haloes of two galaxies make the
# same-halo pairs independent: their counts in a bin are binomial.

def halo_mock(n_haloes, sigma, sigma_z, members=2, seed=5):
    rng = np.random.default_rng(seed)
    centres = rng.uniform(0.0, BOX, size=(n_haloes, 3))
    halo = np.repeat(np.arange(n_haloes), members)
    offsets = rng.normal(0.0, 1.0, size=(halo.size, 3)) * [sigma, sigma, sigma_z]
    return np.mod(centres[halo] + offsets, BOX), halo


def maxwell_cdf(r, scale):
    """P(|d| < r) for d with three independent N(0, scale**2) components."""
    x = np.asarray(r, dtype=np.float64) / scale
    return np.array([math.erf(v / math.sqrt(2)) for v in x]) \
        - np.sqrt(2 / math.pi) * x * np.exp(-x * x / 2)


def pair_numbers(n_haloes, members):
    n = n_haloes * members
    return n, n * (n - 1) / 2, n_haloes * members * (members - 1) / 2


def shell_volumes(r_bins):
    return 4 / 3 * math.pi * np.diff(np.asarray(r_bins, dtype=np.float64) ** 3)


def test_xi_one_and_two_halo_terms_of_a_halo_model():
    n_haloes, sigma = 20_000, 1.0
    coords, halo = halo_mock(n_haloes, sigma, sigma)
    _, n_pairs, n_same = pair_numbers(n_haloes, 2)
    one, two = quor.xi_one_two_halo(coords, halo, R_BINS, BOX)

    expected_pairs = n_pairs * shell_volumes(R_BINS) / BOX**3  # uniform pairs per shell
    p = np.diff(maxwell_cdf(R_BINS, math.sqrt(2) * sigma))
    sigma_one = np.sqrt(n_same * p * (1 - p)) / expected_pairs
    assert np.all(np.abs(one - n_same * p / expected_pairs) < 5 * sigma_one + 1e-12)
    assert one[0] > 50 * sigma_one[0]  # the one-halo term is well measured
    assert np.all(np.abs(two + n_same / n_pairs) < 5 / np.sqrt(expected_pairs))


def test_wp_one_and_two_halo_terms_of_a_halo_model():
    # Fingers of god (sigma_z three times sigma) cut by pi_max, which is no whole step.
    n_haloes, sigma, sigma_z, pi_max = 20_000, 1.0, 3.0, 6.5
    coords, halo = halo_mock(n_haloes, sigma, sigma_z)
    _, n_pairs, n_same = pair_numbers(n_haloes, 2)
    one, two = quor.wp_one_two_halo(coords, halo, R_BINS, pi_max, BOX)

    # wp = 2 int_0^pi_max xi d(pi): per r_p ring, the pairs inside the cylinder over the
    # uniform pairs per unit length of it (both signs of dz).
    per_length = n_pairs * math.pi * np.diff(R_BINS**2) * 2 / BOX**3
    in_pi = math.erf(pi_max / (2 * sigma_z))
    p = -np.diff(np.exp(-R_BINS**2 / (4 * sigma**2))) * in_pi
    sigma_one = 2 * np.sqrt(n_same * p * (1 - p)) / per_length
    assert np.all(np.abs(one - 2 * n_same * p / per_length) < 5 * sigma_one + 1e-12)
    assert one[0] > 50 * sigma_one[0]
    # Unit steps of pi: each holds per_length * d_pi uniform pairs.
    d_pi = np.diff(np.append(np.arange(0.0, pi_max), pi_max))
    sigma_two = 2 * np.sqrt((d_pi**2 / (per_length[:, None] * d_pi)).sum(axis=1))
    assert np.all(np.abs(two + 2 * pi_max * n_same / n_pairs) < 5 * sigma_two)


def test_multipoles_of_a_halo_model_against_monte_carlo():
    # The one-halo term of stretched haloes has a strong quadrupole. Its multipoles are
    # (2 ell + 1) times the mean of P_ell(mu) over the same-halo pairs of each shell, over
    # the uniform pairs of the shell; the separations of member pairs are drawn afresh
    # (Monte Carlo), and mu is binned finely enough that the binning shifts little.
    n_haloes, sigma, sigma_z, n_mu = 20_000, 1.0, 3.0, 50
    coords, halo = halo_mock(n_haloes, sigma, sigma_z)
    _, n_pairs, n_same = pair_numbers(n_haloes, 2)
    one, two = quor.xi_multipoles(coords, halo, R_BINS, n_mu, BOX, ells=(0, 2, 4))

    rng = np.random.default_rng(6)
    draws = 4_000_000
    d = rng.normal(0.0, math.sqrt(2), size=(draws, 3)) * [sigma, sigma, sigma_z]
    s = np.sqrt((d * d).sum(axis=1))
    mu = np.abs(d[:, 2]) / s
    shell = np.searchsorted(R_BINS, s, side="right") - 1
    inside = (shell >= 0) & (shell < len(R_BINS) - 1)
    expected_pairs = n_pairs * shell_volumes(R_BINS) / BOX**3
    for row, ell in enumerate((0, 2, 4)):
        p_ell = np.polynomial.legendre.legval(mu[inside], [0] * ell + [1])
        mean = np.bincount(shell[inside], weights=p_ell, minlength=4) / draws
        square = np.bincount(shell[inside], weights=p_ell**2, minlength=4) / draws
        expected = (2 * ell + 1) * n_same * mean / expected_pairs
        # The catalogue's pairs and the draws, each a sample of their own.
        noise = (2 * ell + 1) * np.sqrt(square * (n_same + n_same**2 / draws)) / expected_pairs
        assert np.all(np.abs(one[row] - expected) < 5 * noise + 1e-12), ell
        assert np.all(np.abs(two[row] + (n_same / n_pairs if ell == 0 else 0.0))
                      < 5 * (2 * ell + 1) / np.sqrt(expected_pairs)), ell
        if ell == 2:  # the quadrupole is there, and well measured
            assert np.all(expected[1:3] > 20 * noise[1:3])


# ---------------------------------------------------------------------------------------
# Groups of three: the random triplets against Monte Carlo.

def table_binned_triplet_volume(r_bins, draws=4_000_000, seed=8):
    """The six-dimensional volume where two points b, c and a third at the origin are
    pairwise closer than r_max, split by the bin the counters give their largest squared
    separation (the binning of reference.table_bin), by Monte Carlo over the cube
    [-r_max, r_max]^6; and the standard error of each bin."""
    r_max = float(r_bins[-1])
    rng = np.random.default_rng(seed)
    counts = np.zeros(len(r_bins) - 1)
    for _ in range(draws // 1_000_000):
        b = rng.uniform(-r_max, r_max, size=(1_000_000, 3))
        c = rng.uniform(-r_max, r_max, size=(1_000_000, 3))
        m = np.maximum(np.maximum((b * b).sum(1), (c * c).sum(1)), ((b - c) ** 2).sum(1))
        m = m[m < r_max * r_max]
        k = table_bin(r_bins, m)
        counts += np.bincount(k[k >= 0], minlength=len(counts))
    cube = (2 * r_max) ** 6
    p = counts / draws
    return cube * p, cube * np.sqrt(p * (1 - p) / draws)


def test_random_triplets_against_monte_carlo():
    r_bins = np.array([0.0, 0.3, 0.55, 0.8, 1.0])
    volume, error = table_binned_triplet_volume(r_bins)
    n, box = 1000, 10.0
    triplets = n * (n - 1) * (n - 2) / 6 / box**6
    rrr = quor.random_groups(n, r_bins, box, 3)
    assert np.all(np.abs(rrr - triplets * volume) < 5 * triplets * error)
    # The whole volume within r_max is the closed form 5 pi^2 r^6 / 6.
    np.testing.assert_allclose(rrr.sum(), triplets * 5 * math.pi**2 / 6, rtol=1e-12)


def test_random_triplets_at_the_table_levels():
    # Edges far below r_max, where the table's levels are coarse: each bin takes the
    # closed-form volume between the first levels the table assigns to it and the next.
    r_bins = np.array([0.03, 0.05, 0.1, 0.31, 2.0])
    table, _ = bin_table(r_bins)
    levels = r_bins[-1] ** 2 * np.arange(4096) / 4095
    r2 = np.append([levels[np.argmax(table >= k)] for k in range(len(r_bins) - 1)], 4.0)
    rrr = quor.random_groups(1000, r_bins, 10.0, 3)
    per_volume = 1000 * 999 * 998 / 6 * 5 * math.pi**2 / 6 / 10.0**6
    expected = per_volume * np.diff(r2**3)
    # The rounding matters: by 2% to 60% in the first three bins.
    assert np.all(np.abs(expected / (per_volume * np.diff(r_bins**6)) - 1)[:3] > 0.01)
    np.testing.assert_allclose(rrr, expected, rtol=1e-12)


def test_triplet_ratio_of_a_halo_model():
    # Haloes of three: the triplets within one halo over the random triplets, against
    # triangles of three Gaussian members drawn afresh; triplets of three haloes are
    # uniform, short of the random triplets by those within a halo or two.
    n_haloes, sigma = 10_000, 0.7
    coords, halo = halo_mock(n_haloes, sigma, sigma, members=3, seed=7)
    n = len(coords)
    r_bins = np.array([1.0, 2.0, 3.0, 4.0])
    by_partitions, total = quor.npoint_ratio(coords, halo, r_bins, BOX, 3)

    rng = np.random.default_rng(9)
    draws = 2_000_000
    tri = rng.normal(0.0, sigma, size=(draws, 3, 3))
    sides = [((tri[:, a] - tri[:, b]) ** 2).sum(axis=1) for a, b in ((0, 1), (0, 2), (1, 2))]
    m = np.maximum(np.maximum(sides[0], sides[1]), sides[2])
    k = table_bin(r_bins, m[m < r_bins[-1] ** 2])
    p = np.bincount(k[k >= 0], minlength=3) / draws
    volume, error = table_binned_triplet_volume(r_bins)
    random = n * (n - 1) * (n - 2) / 6 * volume / BOX**6
    expected = n_haloes * p / random
    noise = np.sqrt(n_haloes * p * (1 + n_haloes / draws)) / random + expected * error / volume
    assert np.all(np.abs(by_partitions[0] - expected) < 5 * noise)
    assert by_partitions[0][0] > 20 * noise[0]
    apart = n_haloes * (n_haloes - 1) * (n_haloes - 2) / 6 * 27 / (n * (n - 1) * (n - 2) / 6)
    assert np.all(np.abs(by_partitions[2] - apart) < 5 / np.sqrt(random) + 5 * error / volume)
    np.testing.assert_allclose(by_partitions.sum(axis=0), total, rtol=1e-12)


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
    k = table_bin(r_bins, sides**2)
    expected = np.bincount(k[k >= 0], minlength=len(r_bins) - 1)
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
    (dict(weights=np.ones(99)), ValueError,
     r"weights must hold one weight per row of coords \(100"),
    (dict(weights=np.r_[np.ones(99), np.nan]), ValueError, "weights must be finite"),
    (dict(weights=np.array(["1"] * 100)), TypeError, "weights must hold real numbers"),
    (dict(coords2=[[1.0, 2.0, 3.0]], halo_ids2=[0], weights2=[1.0, 2.0]), ValueError,
     r"weights2 must hold one weight per row of coords2 \(1\)"),
    (dict(coords2=[[1.0, 2.0, 3.0]], halo_ids2=[0, 1]), ValueError,
     r"halo_ids2 must hold one id per row of coords2 \(1\)"),
    (dict(coords2=[[1.0, np.inf, 3.0]], halo_ids2=[0]), ValueError, "coords2 must be finite"),
    (dict(coords2=[[1.0, 2.0, 3.0]], halo_ids2=[0], weights2=[0.0]), ValueError,
     "random pair weight of 0.0"),
    (dict(weights=np.r_[1.0, np.zeros(99)]), ValueError, "random pair weight of 0.0"),
    (dict(weights=np.full(100, 1e200)), ValueError, "random pair weight of (inf|nan)"),
], ids=["ids2-alone", "weights2-alone", "no-ids2", "empty-2", "weights-length", "weights-nan",
        "weights-text", "weights2-length", "ids2-length", "coords2-inf", "weights2-zero",
        "one-weighted-galaxy", "overflow"])
@pytest.mark.parametrize("estimator", ["xi", "wp"])
def test_bad_cross_or_weights(estimator, kw, error, match):
    coords, ids = uniform(100)
    with pytest.raises(error, match=match):
        if estimator == "xi":
            quor.xi_one_two_halo(coords, ids, [1.0, 5.0], BOX, **kw)
        else:
            quor.wp_one_two_halo(coords, ids, [1.0, 5.0], 5, BOX, **kw)
