"""The one/two-halo split against halotools, where halotools is installed (a test-only
dependency outside the test extra, which CI installs): equal to 1e-10 after the
conversion of conventions that the guide gives."""
import numpy as np
import pytest

import quor

mock_observables = pytest.importorskip("halotools.mock_observables")

pytestmark = pytest.mark.python_layer


@pytest.mark.parametrize("n_haloes, r_max", [(800, 6.0), (3000, 20.0)], ids=["small-r", "large-r"])
def test_one_two_halo_matches_halotools(n_haloes, r_max):
    box = 100.0
    rng = np.random.default_rng(n_haloes)
    centres = rng.uniform(0.0, box, size=(n_haloes, 3))
    halo = np.repeat(np.arange(n_haloes), rng.integers(1, 8, size=n_haloes))
    coords = np.mod(centres[halo] + rng.normal(0.0, 0.5, size=(halo.size, 3)), box)
    r_bins = np.logspace(-1.0, np.log10(r_max), 9)
    n = len(coords)

    xi_1h, xi_2h = quor.xi_one_two_halo(coords, halo, r_bins, box)
    theirs_1h, theirs_2h = mock_observables.tpcf_one_two_halo_decomp(coords, halo, r_bins, period=box)
    assert np.any(xi_1h > 0) and np.any(xi_2h != 0)
    np.testing.assert_allclose(theirs_1h, (n - 1) / n * xi_1h - 1.0, rtol=1e-10)
    np.testing.assert_allclose(theirs_2h, (n - 1) / n * (1.0 + xi_2h) - 1.0, rtol=1e-10)


def halo_mock(n_haloes, seed, box):
    """Galaxies and particles around shared halo centres (the particles' host ids), with
    field particles of id -1, and a mass per particle."""
    rng = np.random.default_rng(seed)
    centres = rng.uniform(0.0, box, size=(n_haloes, 3))
    galaxy_host = np.repeat(np.arange(n_haloes), rng.integers(1, 5, size=n_haloes))
    particle_host = np.repeat(np.arange(n_haloes), rng.integers(5, 30, size=n_haloes))
    galaxies = centres[galaxy_host] + rng.normal(0.0, 0.4, size=(galaxy_host.size, 3))
    particles = centres[particle_host] + rng.normal(0.0, 0.8, size=(particle_host.size, 3))
    field = rng.uniform(0.0, box, size=(particle_host.size, 3))
    particles = np.mod(np.concatenate([particles, field]), box)
    particle_host = np.concatenate([particle_host, np.full(len(field), -1)])
    masses = rng.uniform(1.0, 4.0, size=len(particles)) * 1e11
    return np.mod(galaxies, box), galaxy_host, particles, particle_host, masses


def halotools_delta_sigma_split(galaxies, galaxy_ids, particles, particle_ids, masses, rp_bins, box):
    """halotools' one-/two-halo engine, driven as mean_delta_sigma drives its own engine."""
    from halotools.mock_observables.pair_counters.mesh_helpers import (
        _cell1_parallelization_indices, _set_approximate_2d_cell_sizes)
    from halotools.mock_observables.pair_counters.rectangular_mesh_2d import RectangularDoubleMesh2D
    from halotools.mock_observables.surface_density.engines import mean_ds_12h_halo_id_engine
    from halotools.mock_observables.surface_density.mean_delta_sigma import (
        _mean_delta_sigma_process_args)

    args = _mean_delta_sigma_process_args(galaxies, particles, masses, rp_bins, box, 1, None, None)
    x1, y1, x2, y2, m2, rp_bins, period, _, pbcs, cell1, cell2 = args
    cell1, cell2 = _set_approximate_2d_cell_sizes(cell1, cell2, period)
    rp_max = np.max(rp_bins)
    mesh = RectangularDoubleMesh2D(x1, y1, x2, y2, cell1[0], cell1[1], cell2[0], cell2[1],
                                   rp_max, rp_max, period[0], period[1], pbcs)
    _, cell1_tuples = _cell1_parallelization_indices(mesh.mesh1.ncells, 1)
    one, two = mean_ds_12h_halo_id_engine(mesh, x1, y1, np.asarray(galaxy_ids), x2, y2, m2,
                                          np.asarray(particle_ids), rp_bins, cell1_tuples[0])
    return one.mean(axis=0), two.mean(axis=0)


def test_delta_sigma_matches_halotools():
    box = 60.0
    galaxies, gid, particles, pid, masses = halo_mock(120, 21, box)
    rp_bins = np.geomspace(0.05, 10.0, 12)
    one, two = quor.delta_sigma_one_two_halo(galaxies, gid, particles, pid, masses, rp_bins, box)
    total = mock_observables.mean_delta_sigma(galaxies, particles, masses, rp_bins, period=box)
    theirs_one, theirs_two = halotools_delta_sigma_split(galaxies, gid, particles, pid, masses,
                                                         rp_bins, box)
    assert np.all(one != 0) and np.all(two != 0)
    np.testing.assert_allclose(one + two, total, rtol=1e-10)
    np.testing.assert_allclose(one, theirs_one, rtol=1e-10)
    np.testing.assert_allclose(two, theirs_two, rtol=1e-10)


@pytest.mark.parametrize("weighted", [False, True], ids=["plain", "equal-weights"])
def test_cross_one_two_halo_matches_halotools(weighted):
    # halotools normalises the ordered cross pairs by N1 N2 V_k / V, as quor does, and
    # puts "- 1" into both terms: its 1h = ours - 1, its 2h = ours. Equal weights leave
    # quor's terms as they are.
    box = 60.0
    galaxies, gid, particles, pid, _ = halo_mock(150, 22, box)
    r_bins = np.geomspace(0.1, 12.0, 10)
    weights = dict(weights=np.full(len(gid), 2.0), weights2=np.full(len(pid), 0.5)) if weighted else {}
    one, two = quor.xi_one_two_halo(galaxies, gid, r_bins, box, coords2=particles, halo_ids2=pid,
                                    **weights)
    theirs_one, theirs_two = mock_observables.tpcf_one_two_halo_decomp(
        galaxies, gid, r_bins, sample2=particles, sample2_host_halo_id=pid, period=box,
        do_auto=False)
    assert np.any(one > 0) and np.all(two != 0)
    np.testing.assert_allclose(theirs_one, one - 1.0, rtol=1e-10)
    np.testing.assert_allclose(theirs_two, two, rtol=1e-10)
