"""Counts between two catalogues, weighted counts and mean separations: every pair
counter of the kernels against the brute force of reference.py on small, hostile
catalogues (see strategies), and the package's keywords around them.

Pair counts must match exactly. Sums of w_i * w_j and of w_i * w_j * r are sums of
terms that the brute force computes with the very same float64 operations, so they must
match its once-rounded exact sums exactly too; the terms w_i * w_j * ln r use the
kernels' own logarithm, so those sums match within 1e-12 of the sum of their magnitudes.
"""
import numpy as np
import pytest

hypothesis = pytest.importorskip("hypothesis")
from hypothesis import given, strategies as st  # noqa: E402

import quor  # noqa: E402
import reference as ref  # noqa: E402
from quor import _kernels  # noqa: E402
from strategies import catalogue_pairs, catalogues, edge_arrays, strided, weight_arrays  # noqa: E402

FIELDS = ("pairs", "weights", "r", "log_r")
SUMS = True


def kernel_sums(raw):
    """The kernels' 8-tuple (or the pair of a plain auto count) as reference.pair_sums
    lays it out."""
    if len(raw) == 2:
        return {"pairs": raw}
    auto, cross, auto_pairs, cross_pairs, auto_r, cross_r, auto_log, cross_log = raw
    return {"pairs": (auto_pairs, cross_pairs), "weights": (auto, cross),
            "r": (auto_r, cross_r), "log_r": (auto_log, cross_log)}


def assert_sums(got, expected, fields=FIELDS):
    if not SUMS:
        fields = ("pairs",)
    for field in fields:
        for g, e in zip(got[field], expected[field]):
            assert g.dtype == np.float64 and g.shape == e.shape, field
            if field == "log_r":
                # Each term within an ulp or so of the brute force's.
                assert np.array_equal(np.isnan(g), np.isnan(e)), field
                finite = np.isfinite(e)
                np.testing.assert_array_equal(g[~finite], e[~finite], err_msg=field)
                np.testing.assert_allclose(g[finite], e[finite], rtol=0,
                                           atol=1e-12 * np.abs(e[finite]).max(initial=0.0) + 1e-300)
            else:
                np.testing.assert_array_equal(g, e, err_msg=field)


@st.composite
def pair_query(draw, max_n=30):
    """Two catalogues (or one), optional weights for each, as the kernels take them and as
    the brute force reads them."""
    pair = draw(catalogue_pairs(max_n=max_n))
    cross = draw(st.booleans(), label="cross")
    w1 = draw(st.one_of(st.none(), weight_arrays(len(pair.first.coords))), label="weights") \
        if SUMS else None
    w2 = draw(st.one_of(st.none(), weight_arrays(len(pair.second.coords))), label="weights2") \
        if cross and SUMS else None
    layout = draw(st.sampled_from(["contiguous", "strided"]))
    view = strided if layout == "strided" else (lambda a: a)
    kernel_args = {"separations": SUMS}
    brute_args = {}
    if cross:
        kernel_args.update(coords2=pair.second.coords_view, partition_ids2=pair.second.ids_view)
        brute_args.update(coords2=pair.second.coords, ids2=pair.second.ids)
        if w2 is not None:
            kernel_args["weights2"] = view(w2)
            brute_args["weights2"] = w2
    if w1 is not None:
        kernel_args["weights"] = view(w1)
        brute_args["weights"] = w1
    return pair.first, kernel_args, brute_args


def brute(fn, *args, **kwargs):
    with np.errstate(all="ignore"):
        return fn(*args, **kwargs)


@given(pair_query(), st.data())
def test_radial(query, data):
    cat, kernel_args, brute_args = query
    r_bins = data.draw(edge_arrays(cat.box, cat.step), label="r_bins")
    got = _kernels.count_pairs_1d(cat.coords_view, cat.ids_view, r_bins, cat.box, **kernel_args)
    expected = brute(ref.radial_sums, r_bins, cat.box, cat.coords, cat.ids, **brute_args)
    assert_sums(kernel_sums(got), expected)


@given(pair_query(), st.data())
def test_projected(query, data):
    cat, kernel_args, brute_args = query
    r_p_bins = data.draw(edge_arrays(cat.box, cat.step), label="r_p_bins")
    pi_bins = data.draw(edge_arrays(cat.box, cat.step), label="pi_bins")
    got = _kernels.count_pairs_2d(cat.coords_view, cat.ids_view, r_p_bins, pi_bins, cat.box,
                                  **kernel_args)
    expected = brute(ref.projected_sums, r_p_bins, pi_bins, cat.box, cat.coords, cat.ids,
                     **brute_args)
    assert_sums(kernel_sums(got), expected)


@given(pair_query(), st.data())
def test_redshift_space(query, data):
    cat, kernel_args, brute_args = query
    s_bins = data.draw(edge_arrays(cat.box, cat.step), label="s_bins")
    n_mu = data.draw(st.integers(1, 5), label="n_mu_bins")
    mu_max = data.draw(st.sampled_from([1.0, 0.5, 0.7]), label="mu_max")
    got = _kernels.count_pairs_smu(cat.coords_view, cat.ids_view, s_bins, n_mu, mu_max, cat.box,
                                   **kernel_args)
    expected = brute(ref.smu_sums, s_bins, n_mu, mu_max, cat.box, cat.coords, cat.ids,
                     **brute_args)
    assert_sums(kernel_sums(got), expected)
