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
