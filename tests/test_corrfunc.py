"""Weighted and cross pair counts against Corrfunc, where Corrfunc is installed (it is not a
dependency): its npairs x weightavg with pair_product weights equals quor's weighted sums
within 1e-12, and its ravg the unweighted mean separations combined by their counts."""
import numpy as np
import pytest

import quor

pytest.importorskip("Corrfunc")
from Corrfunc.theory.DD import DD  # noqa: E402
from Corrfunc.theory.DDrppi import DDrppi  # noqa: E402
from Corrfunc.theory.DDsmu import DDsmu  # noqa: E402

BOX = 50.0
BINS = np.array([0.5, 1.0, 2.0, 3.5, 6.0])  # a first edge above 0: no self-pairs to argue over
PI_MAX, N_MU = 8, 5


def catalogue(n, seed):
    """Galaxies in clumps (so same-id pairs fill the small bins), ids, and weights of both
    signs."""
    rng = np.random.default_rng(seed)
    centres = rng.uniform(0.0, BOX, size=(n // 5, 3))
    host = rng.integers(0, len(centres), size=n)
    coords = np.mod(centres[host] + rng.normal(0.0, 1.0, size=(n, 3)), BOX)
    return coords, host, rng.normal(1.0, 0.7, size=n)


def quor_counts(counter, coords, ids, **kw):
    if counter == "DD":
        return quor.count_pairs_1d(coords, ids, BINS, BOX, **kw)
    if counter == "DDrppi":
        return quor.count_pairs_2d(coords, ids, BINS, np.arange(PI_MAX + 1.0), BOX, **kw)
    return quor.count_pairs_smu(coords, ids, BINS, N_MU, 1.0, BOX, **kw)


def corrfunc_counts(counter, coords, weights, coords2=None, weights2=None):
    """Corrfunc's rows in quor's bin order, and the name of its mean-separation column."""
    autocorr = coords2 is None
    other = {} if autocorr else dict(X2=coords2[:, 0], Y2=coords2[:, 1], Z2=coords2[:, 2])
    if weights is not None:
        other.update(weights1=weights, weight_type="pair_product")
        if not autocorr:
            other.update(weights2=weights2)
    xyz = dict(X1=coords[:, 0], Y1=coords[:, 1], Z1=coords[:, 2], periodic=True, boxsize=BOX)
    if counter == "DD":
        return DD(autocorr, 1, BINS, **xyz, **other, output_ravg=True), "ravg"
    if counter == "DDrppi":
        return DDrppi(autocorr, 1, float(PI_MAX), BINS, **xyz, **other, output_rpavg=True), "rpavg"
    return DDsmu(autocorr, 1, BINS, 1.0, N_MU, **xyz, **other, output_savg=True), "savg"


@pytest.mark.parametrize("counter", ["DD", "DDrppi", "DDsmu"])
@pytest.mark.parametrize("two", [False, True], ids=["auto", "cross"])
def test_weighted_counts_match_corrfunc(counter, two):
    coords, ids, w = catalogue(1500, seed=1)
    kw = dict(weights=w)
    if two:
        coords2, ids2, w2 = catalogue(1000, seed=2)
        kw.update(coords2=coords2, partition_ids2=ids2, weights2=w2)
    ours = quor_counts(counter, coords, ids, **kw)
    theirs, _ = corrfunc_counts(counter, coords, w, kw.get("coords2"), kw.get("weights2"))
    both_orders = 1.0 if two else 2.0  # Corrfunc's auto counts hold each pair twice
    pairs = both_orders * (ours.auto_pairs + ours.cross_pairs).ravel()
    sums = both_orders * (ours.auto + ours.cross).ravel()
    assert np.any(ours.auto_pairs > 0) and np.all(pairs > 0)
    np.testing.assert_array_equal(pairs, theirs["npairs"])
    np.testing.assert_allclose(sums, theirs["npairs"] * theirs["weightavg"], rtol=1e-12)


@pytest.mark.parametrize("counter", ["DD", "DDrppi", "DDsmu"])
@pytest.mark.parametrize("two", [False, True], ids=["auto", "cross"])
def test_mean_separations_match_corrfunc(counter, two):
    coords, ids, _ = catalogue(1500, seed=3)
    kw = {}
    if two:
        coords2, ids2, _ = catalogue(1000, seed=4)
        kw.update(coords2=coords2, partition_ids2=ids2)
    ours = quor_counts(counter, coords, ids, separations=True, **kw)
    theirs, column = corrfunc_counts(counter, coords, None, kw.get("coords2"))
    n_auto, n_cross = ours.auto_pairs, ours.cross_pairs
    assert np.any(n_auto > 0) and np.all(n_auto + n_cross > 0)
    # A bin without pairs on one side has no mean there (NaN): it adds nothing.
    r_sum = np.where(n_auto > 0, n_auto * ours.auto_mean_r, 0.0) \
        + np.where(n_cross > 0, n_cross * ours.cross_mean_r, 0.0)
    mean = r_sum / (n_auto + n_cross)
    np.testing.assert_allclose(mean.ravel(), theirs[column], rtol=1e-12)
