"""Every counter against the brute force on small, hostile catalogues (see strategies).

The example budget comes from the hypothesis profile chosen in conftest.py.
"""
import numpy as np
import pytest

hypothesis = pytest.importorskip("hypothesis")
from hypothesis import given, strategies as st  # noqa: E402

import _quor  # noqa: E402
import reference as ref  # noqa: E402
from strategies import catalogues, edge_arrays  # noqa: E402


def brute(fn, *args):
    with np.errstate(all="ignore"):  # NaN and infinite rows give NaN separations
        return fn(*args)


def assert_counts(got, expected):
    assert len(got) == len(expected)
    for g, e in zip(got, expected):
        assert g.dtype == np.float64 and g.shape == np.shape(e)
        np.testing.assert_array_equal(g, e)


@given(catalogues(max_n=60), st.data())
def test_radial(cat, data):
    r_bins = data.draw(edge_arrays(cat.box, cat.step), label="r_bins")
    got = _quor.count_pairs_1d(cat.coords_view, cat.ids_view, r_bins, cat.box)
    assert_counts(got, brute(ref.radial_counts, cat.coords, cat.ids, r_bins, cat.box))


@given(catalogues(max_n=60), st.data())
def test_projected(cat, data):
    r_p_bins = data.draw(edge_arrays(cat.box, cat.step), label="r_p_bins")
    pi_bins = data.draw(edge_arrays(cat.box, cat.step), label="pi_bins")
    got = _quor.count_pairs_2d(cat.coords_view, cat.ids_view, r_p_bins, pi_bins, cat.box)
    assert_counts(got, brute(ref.projected_counts, cat.coords, cat.ids, r_p_bins, pi_bins,
                             cat.box))


@given(catalogues(max_n=60), st.data())
def test_redshift_space(cat, data):
    s_bins = data.draw(edge_arrays(cat.box, cat.step), label="s_bins")
    n_mu = data.draw(st.integers(1, 7), label="n_mu_bins")
    mu_max = data.draw(st.one_of(st.sampled_from([1.0, 0.5, 0.6, float(np.nextafter(1.0, 0.0))]),
                                 st.floats(0.01, 1.5)), label="mu_max")
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
