"""Every counter against the brute force on small, hostile catalogues (see strategies).

The example budget comes from the hypothesis profile chosen in conftest.py. Each pair
test records which paths its examples took (pytest --hypothesis-show-statistics): the
grid (fine, of which reach, or coarse), clumps a radial count may meet whole, the last
bins peeled off with AVX-512 or AVX2; and steers towards separations exactly on an edge.
"""
import numpy as np
import pytest

hypothesis = pytest.importorskip("hypothesis")
from hypothesis import event, given, strategies as st, target  # noqa: E402

import _quor  # noqa: E402
import quor  # noqa: E402
import reference as ref  # noqa: E402
from quor import _kernels  # noqa: E402
from strategies import catalogues, edge_arrays, lattice_catalogues, lattice_edges  # noqa: E402

KERNEL = quor.runtime_info()["kernel"]
CLUMP_EXTENT = 0.09  # of r_max: galaxies a radial count may gather into a clump


def brute(fn, *args):
    with np.errstate(all="ignore"):  # NaN and infinite rows give NaN separations
        return fn(*args)


def record_paths(cat, edges, r_xy, w, radial=False):
    """Hypothesis events for the paths a pair count of `cat` takes, and a target: the
    number of pairs whose separation (squared, or |dz|) equals an edge exactly."""
    reach = _kernels._pair_grid(cat.coords, cat.box, r_xy, w)[0]
    event(f"grid: fine, reach {reach}" if reach else "grid: coarse")
    if len(cat.coords) < 2:
        return
    with np.errstate(all="ignore"):
        _, _, dx, dy, dz = ref.pair_displacements(cat.coords, cat.box)
        r2 = (dx * dx + dy * dy) + dz * dz
        on_edge = np.isin(r2, edges * edges) | np.isin(np.abs(dz), edges)
    target(float(np.count_nonzero(on_edge)), label="pairs exactly on an edge")
    if not radial:
        return
    if np.count_nonzero(on_edge & (r2 < edges[-1] * edges[-1])):
        event("radial: pairs exactly on an inner edge")
    # A clump: galaxies of one partition, each within CLUMP_EXTENT r_max of another
    # on every axis (in plain differences, as within a cell).
    i, j = np.triu_indices(len(cat.coords), 1)
    close = np.all(np.abs(cat.coords[j] - cat.coords[i]) <= CLUMP_EXTENT * edges[-1], axis=1)
    close &= cat.ids[i] == cat.ids[j]
    if np.bincount(np.concatenate([i[close], j[close]]), minlength=len(cat.coords)).max(initial=0) >= 2:
        event("radial: clumps of three or more")
    last = edges[max(0, len(edges) - 4)] ** 2
    if KERNEL in ("avx512", "avx2") and np.count_nonzero((r2 >= last) & (r2 < edges[-1] ** 2)):
        event(f"radial: pairs in the last three bins, peeled on {KERNEL}")


def assert_counts(got, expected):
    assert len(got) == len(expected)
    for g, e in zip(got, expected):
        assert g.dtype == np.float64 and g.shape == np.shape(e)
        np.testing.assert_array_equal(g, e)


@given(catalogues(max_n=60), st.data())
def test_radial(cat, data):
    r_bins = data.draw(edge_arrays(cat.box, cat.step), label="r_bins")
    record_paths(cat, r_bins, r_bins[-1], r_bins[-1], radial=True)
    got = _quor.count_pairs_1d(cat.coords_view, cat.ids_view, r_bins, cat.box)
    assert_counts(got, brute(ref.radial_counts, cat.coords, cat.ids, r_bins, cat.box))


@given(catalogues(max_n=60), st.data())
def test_projected(cat, data):
    r_p_bins = data.draw(edge_arrays(cat.box, cat.step), label="r_p_bins")
    pi_bins = data.draw(edge_arrays(cat.box, cat.step), label="pi_bins")
    record_paths(cat, np.concatenate([r_p_bins, pi_bins]), r_p_bins[-1], pi_bins[-1])
    got = _quor.count_pairs_2d(cat.coords_view, cat.ids_view, r_p_bins, pi_bins, cat.box)
    assert_counts(got, brute(ref.projected_counts, cat.coords, cat.ids, r_p_bins, pi_bins,
                             cat.box))


@given(catalogues(max_n=60), st.data())
def test_redshift_space(cat, data):
    s_bins = data.draw(edge_arrays(cat.box, cat.step), label="s_bins")
    n_mu = data.draw(st.integers(1, 7), label="n_mu_bins")
    mu_max = data.draw(st.one_of(st.sampled_from([1.0, 0.5, 0.6, float(np.nextafter(1.0, 0.0))]),
                                 st.floats(0.01, 1.5)), label="mu_max")
    record_paths(cat, s_bins, s_bins[-1], s_bins[-1])
    got = _quor.count_pairs_smu(cat.coords_view, cat.ids_view, s_bins, n_mu, mu_max, cat.box)
    assert_counts(got, brute(ref.smu_counts, cat.coords, cat.ids, s_bins, n_mu, mu_max,
                             cat.box))


@pytest.mark.parametrize("count", [_quor.count_npoint, _quor.count_npoint_gpu],
                         ids=["cpu", "gpu-name"])
@given(cat=catalogues(max_n=50), data=st.data())
def test_npoint_pairs(count, cat, data):
    r_bins = data.draw(edge_arrays(cat.box, cat.step), label="r_bins")
    by_s, total = count(cat.coords_view, cat.ids_view, r_bins, cat.box, 2)
    auto, cross = brute(ref.radial_counts, cat.coords, cat.ids, r_bins, cat.box)
    assert_counts((by_s, total), (np.stack([auto, cross]), auto + cross))


# Group sizes with the largest catalogue the brute force enumerates quickly.
@pytest.mark.parametrize("n_order, max_n", [(3, 30), (4, 14)])
@given(data=st.data())
def test_npoint_groups(n_order, max_n, data):
    cat = data.draw(catalogues(max_n=max_n), label="catalogue")
    r_bins = data.draw(edge_arrays(cat.box, cat.step), label="r_bins")
    count = data.draw(st.sampled_from([_quor.count_npoint, _quor.count_npoint_gpu]))
    got = count(cat.coords_view, cat.ids_view, r_bins, cat.box, n_order)
    assert_counts(got, brute(ref.group_counts, cat.coords, cat.ids, r_bins, cat.box, n_order))


@given(catalogues(max_n=30), st.data())
def test_triplet_shapes(cat, data):
    r_bins = data.draw(edge_arrays(cat.box, cat.step), label="r_bins")
    n_ratio = data.draw(st.integers(0, 6), label="n_ratio")
    t_by_s, t_total = _quor.count_npoint3_shape(cat.coords_view, cat.ids_view, r_bins,
                                                n_ratio, cat.box)
    assert_counts((t_by_s, t_total), brute(ref.shape_counts, cat.coords, cat.ids, r_bins,
                                           n_ratio, cat.box))
    # Summed over the shape axis, the same triplets as count_npoint.
    by_s, total = _quor.count_npoint(cat.coords_view, cat.ids_view, r_bins, cat.box, 3)
    n_r = len(r_bins) - 1
    np.testing.assert_array_equal(t_by_s.reshape(3, n_r, max(n_ratio, 1)).sum(axis=2), by_s)


# Separations on the edges by construction: whole-numbered positions, edges sqrt(k).

@given(lattice_catalogues(max_n=60), st.data())
def test_radial_on_edges(cat, data):
    r_bins = data.draw(lattice_edges(cat.box), label="r_bins")
    record_paths(cat, r_bins, r_bins[-1], r_bins[-1], radial=True)
    got = _quor.count_pairs_1d(cat.coords_view, cat.ids_view, r_bins, cat.box)
    assert_counts(got, ref.radial_counts(cat.coords, cat.ids, r_bins, cat.box))
    by_s, total = _quor.count_npoint(cat.coords_view, cat.ids_view, r_bins, cat.box, 2)
    assert_counts((by_s, total), (np.stack(got), got[0] + got[1]))


@given(lattice_catalogues(max_n=60), st.data())
def test_projected_on_edges(cat, data):
    r_p_bins = data.draw(lattice_edges(cat.box), label="r_p_bins")
    pi_bins = data.draw(lattice_edges(cat.box), label="pi_bins")
    record_paths(cat, np.concatenate([r_p_bins, pi_bins]), r_p_bins[-1], pi_bins[-1])
    got = _quor.count_pairs_2d(cat.coords_view, cat.ids_view, r_p_bins, pi_bins, cat.box)
    assert_counts(got, ref.projected_counts(cat.coords, cat.ids, r_p_bins, pi_bins, cat.box))


@given(lattice_catalogues(max_n=60), st.data())
def test_redshift_space_on_edges(cat, data):
    # mu = |dz| / s lands on the mu edges j / n_mu too (dz = 1, s = 2: mu = 0.5).
    s_bins = data.draw(lattice_edges(cat.box), label="s_bins")
    n_mu = data.draw(st.integers(1, 6), label="n_mu_bins")
    mu_max = data.draw(st.sampled_from([1.0, 0.5, 0.75]), label="mu_max")
    record_paths(cat, s_bins, s_bins[-1], s_bins[-1])
    got = _quor.count_pairs_smu(cat.coords_view, cat.ids_view, s_bins, n_mu, mu_max, cat.box)
    assert_counts(got, brute(ref.smu_counts, cat.coords, cat.ids, s_bins, n_mu, mu_max, cat.box))


@given(lattice_catalogues(max_n=25), st.data())
def test_triplets_on_edges(cat, data):
    r_bins = data.draw(lattice_edges(cat.box), label="r_bins")
    got = _quor.count_npoint(cat.coords_view, cat.ids_view, r_bins, cat.box, 3)
    assert_counts(got, brute(ref.group_counts, cat.coords, cat.ids, r_bins, cat.box, 3))
