"""The excess surface density around galaxies, split by halo: against a pair-by-pair brute
force, point masses, a uniform sheet of mass, and its input checks."""
import math

import numpy as np
import pytest

import quor
from reference import pair_table

pytestmark = pytest.mark.python_layer

BOX = 60.0


def brute_delta_sigma(galaxies, galaxy_ids, particles, particle_ids, masses, r_p_bins, box):
    """(one_halo, two_halo) pair by pair: a particle inside R_k adds 2 m ln(R_k+1 / R_k), one
    in [R_k, R_k+1) adds m (2 ln(R_k+1 / r) - 1), over the ring's area and the galaxies."""
    same, dx, dy, _, m = pair_table(galaxies, np.asarray(galaxy_ids), box, coords2=particles,
                                    ids2=np.asarray(particle_ids),
                                    weights2=np.broadcast_to(masses, (len(particles),)))
    rp2 = dy * dy + dx * dx
    with np.errstate(divide="ignore"):
        log_r = 0.5 * np.log(rp2)
    r = np.asarray(r_p_bins, dtype=np.float64)
    terms = np.zeros((2, len(r) - 1))
    for k in range(len(r) - 1):
        inside = rp2 < r[k] * r[k]
        ring = ~inside & (rp2 < r[k + 1] * r[k + 1])
        add = np.where(inside, 2.0 * m * math.log(r[k + 1] / r[k]), 0.0)
        add[ring] = m[ring] * (2.0 * (math.log(r[k + 1]) - log_r[ring]) - 1.0)
        terms[0, k], terms[1, k] = math.fsum(add[same]), math.fsum(add[~same])
    return terms / (len(galaxies) * math.pi * np.diff(r * r))


def haloes_and_particles(n_haloes, seed, quantum=None):
    """Galaxies and particles around shared halo centres (their host ids), particles of the
    field carrying id -1; with `quantum`, every position is a multiple of it."""
    rng = np.random.default_rng(seed)
    centres = rng.uniform(0.0, BOX, size=(n_haloes, 3))
    galaxy_host = np.repeat(np.arange(n_haloes), rng.integers(1, 4, size=n_haloes))
    particle_host = np.repeat(np.arange(n_haloes), rng.integers(5, 40, size=n_haloes))
    galaxies = centres[galaxy_host] + rng.normal(0.0, 0.3, size=(galaxy_host.size, 3))
    particles = centres[particle_host] + rng.normal(0.0, 0.5, size=(particle_host.size, 3))
    field = rng.uniform(0.0, BOX, size=(particle_host.size // 2, 3))
    particles = np.concatenate([particles, field])
    particle_host = np.concatenate([particle_host, np.full(len(field), -1)])
    if quantum is not None:
        galaxies, particles = (np.round(c / quantum) * quantum for c in (galaxies, particles))
    masses = rng.uniform(0.5, 3.0, size=len(particles)) * 1e10
    return np.mod(galaxies, BOX), galaxy_host, np.mod(particles, BOX), particle_host, masses


@pytest.mark.parametrize("quantum, r_p_bins", [
    (None, np.geomspace(0.05, 8.0, 9)),
    (0.25, np.arange(1.0, 9.0) * 0.25),
], ids=["floats", "on-edges"])
def test_matches_brute_force(quantum, r_p_bins):
    galaxies, gid, particles, pid, masses = haloes_and_particles(60, seed=3, quantum=quantum)
    one, two = quor.delta_sigma_one_two_halo(galaxies, gid, particles, pid, masses, r_p_bins, BOX)
    expected = brute_delta_sigma(galaxies, gid, particles, pid, masses, r_p_bins, BOX)
    assert np.all(expected != 0)
    # Both sides cancel a ln(R) term against a sum of ln(r): bins near zero lose digits.
    for got, want in zip((one, two), expected):
        np.testing.assert_allclose(got, want, rtol=1e-11, atol=1e-12 * np.abs(want).max())


def test_one_mass_for_all_equals_its_array():
    galaxies, gid, particles, pid, _ = haloes_and_particles(40, seed=4)
    r_p_bins = np.geomspace(0.1, 5.0, 6)
    scalar = quor.delta_sigma_one_two_halo(galaxies, gid, particles, pid, 2e10, r_p_bins, BOX)
    array = quor.delta_sigma_one_two_halo(galaxies, gid, particles, pid, np.full(len(pid), 2e10),
                                          r_p_bins, BOX)
    np.testing.assert_allclose(scalar.one_halo, array.one_halo, rtol=1e-13)
    np.testing.assert_allclose(scalar.two_halo, array.two_halo, rtol=1e-13)


def test_ids_beyond_32_bits_stay_shared():
    galaxies, gid, particles, pid, masses = haloes_and_particles(40, seed=5)
    r_p_bins = np.geomspace(0.1, 5.0, 6)
    small = quor.delta_sigma_one_two_halo(galaxies, gid, particles, pid, masses, r_p_bins, BOX)
    large = quor.delta_sigma_one_two_halo(galaxies, gid + 2**40, particles,
                                          np.where(pid >= 0, pid + 2**40, -7), masses, r_p_bins, BOX)
    assert np.all(small.one_halo != 0)
    np.testing.assert_array_equal(large.one_halo, small.one_halo)
    np.testing.assert_array_equal(large.two_halo, small.two_halo)


@pytest.mark.parametrize("dz", [0.5 * BOX, -0.5 * BOX, 0.5 * BOX - 1e-9, 1.0], ids=[
    "half-box-up", "half-box-down", "below-half", "near"])
def test_whole_column_counts(dz):
    # A particle straight above the galaxy at any |dz| up to half the box is projected
    # onto it, the one at exactly half the box included.
    galaxy = np.array([[5.0, 5.0, 20.0]])
    particle = np.array([[5.0, 5.3, 20.0 + dz]])
    one, two = quor.delta_sigma_one_two_halo(galaxy, [7], particle, [7], 1.0, [0.2, 0.5], BOX)
    expected = (2.0 * math.log(0.5 / 0.3) - 1.0) / (math.pi * (0.25 - 0.04))
    np.testing.assert_allclose(one, [expected], rtol=1e-12)
    assert two.tolist() == [0.0]


def test_uniform_sheet_has_no_excess():
    # A uniform mass has the same surface density everywhere: no excess around galaxies
    # placed independently of it, within its Poisson error.
    rng = np.random.default_rng(11)
    galaxies, particles = rng.uniform(0.0, BOX, (200, 3)), rng.uniform(0.0, BOX, (20_000, 3))
    r_p_bins = np.array([1.0, 2.0, 4.0, 8.0])
    one, two = quor.delta_sigma_one_two_halo(galaxies, np.zeros(200, int), particles,
                                             np.ones(20_000, int), 1.0, r_p_bins, BOX)
    sigma_mean = len(particles) / BOX**2       # mean surface density
    area = math.pi * np.diff(r_p_bins**2)
    poisson = np.sqrt(sigma_mean / (area * len(galaxies)))
    # A ring term without its "- m" would leave sigma_mean (5.6) in every bin.
    assert not one.any() and np.all(np.abs(two) < 15 * poisson) and 15 * poisson[0] < 1.0


@pytest.mark.parametrize("kw, error, match", [
    (dict(r_p_bins=[0.0, 1.0]), ValueError, r"r_p_bins\[0\] must be positive"),
    (dict(r_p_bins=[1.0, 31.0]), ValueError, "r_p_bins must end within half the box"),
    (dict(particle_masses=-1.0), ValueError, "particle_masses must not be negative"),
    (dict(particle_masses=np.r_[1.0, -1.0, 1.0]), ValueError, "particle_masses must not be neg"),
    (dict(particle_masses=[1.0, 2.0]), ValueError,
     r"particle_masses must hold one weight per row of particles \(3\)"),
    (dict(particle_masses=math.inf), ValueError, "particle_masses must be finite"),
    (dict(particle_masses="heavy"), TypeError, "particle_masses must hold real numbers"),
    (dict(galaxies=np.zeros((0, 3)), galaxy_halo_ids=[]), ValueError,
     "galaxies must hold at least"),
    (dict(galaxies=[[1.0, np.nan, 1.0]]), ValueError, "galaxies must be finite"),
    (dict(particles=np.ones((3, 2))), ValueError, "particles"),
    (dict(galaxy_halo_ids=[0, 1]), ValueError,
     r"galaxy_halo_ids must hold one id per row of galaxies \(1\)"),
    (dict(particle_halo_ids=[0.5, 1.0, 2.0]), TypeError, "particle_halo_ids must hold integers"),
], ids=["first-edge-zero", "reach", "negative-mass", "negative-masses", "masses-length",
        "infinite-mass", "text-mass", "no-galaxies", "nan-galaxy", "particles-2d",
        "galaxy-ids-length", "particle-ids-float"])
def test_bad_input(kw, error, match):
    args = dict(galaxies=[[1.0, 1.0, 1.0]], galaxy_halo_ids=[0], particles=np.ones((3, 3)),
                particle_halo_ids=[0, 1, 2], particle_masses=1.0, r_p_bins=[0.5, 1.0],
                box_size=BOX)
    args.update(kw)
    with pytest.raises(error, match=match):
        quor.delta_sigma_one_two_halo(**args)
