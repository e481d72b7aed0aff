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


# ---- the exact sums themselves ----------------------------------------------------------

finite_or_not = st.one_of(st.floats(allow_nan=True, allow_infinity=True),
                          st.sampled_from([5e-324, -5e-324, 2.0**-1022, 1.7e308, -1.7e308, 0.0,
                                           -0.0, 1.0, -1.0, 2.0**53, 2.0**-53]))


@given(st.lists(st.lists(finite_or_not, min_size=1, max_size=12), min_size=1, max_size=8))
def test_exact_sums_round_once(rows):
    # Rows of any float64 (subnormals, sums past the largest float64, infinities, NaN)
    # summed exactly and rounded once, as the slab sums are joined.
    width = max(len(r) for r in rows)
    parts = np.zeros((len(rows), width))
    for k, r in enumerate(rows):
        parts[k, :len(r)] = r
    got = _kernels.exact_sums(parts)
    expected = np.array([ref.exact_sum(p) for p in parts])
    np.testing.assert_array_equal(got, expected)


# ---- slab counts: the parts quor.distributed joins --------------------------------------

BOX = 60.0


def two_catalogues(n1=1500, n2=2500, seed=11):
    """Uniform galaxies and a dense clump, on a grid of 1/8 so that separations fall on
    edges, with weights of both signs and a wide range."""
    rng = np.random.default_rng(seed)
    first = np.floor(rng.uniform(0.0, BOX, size=(n1, 3)) * 8) / 8
    second = np.concatenate([np.floor(rng.uniform(0.0, BOX, size=(n2 - 200, 3)) * 8) / 8,
                             np.mod(rng.normal(30.0, 0.7, size=(200, 3)), BOX)])
    ids1 = rng.integers(0, 40, n1).astype(np.int32)
    ids2 = rng.integers(0, 40, n2).astype(np.int32)
    w1 = rng.normal(size=n1) * 10.0 ** rng.integers(-3, 4, n1)
    w2 = rng.lognormal(size=n2)
    return first, ids1, w1, second, ids2, w2


SLAB_COUNTERS = {
    "pairs_1d": ("count_pairs_1d", lambda r: (r, BOX)),
    "pairs_2d": ("count_pairs_2d", lambda r: (r, r[:4] * 2, BOX)),
    "pairs_smu": ("count_pairs_smu", lambda r: (r, 4, 1.0, BOX)),
}


@pytest.mark.parametrize("cross", [True, False], ids=["cross", "auto"])
@pytest.mark.parametrize("n_slabs", [1, 3, 5])
@pytest.mark.parametrize("name", list(SLAB_COUNTERS))
def test_slab_parts_join_to_the_whole_count_bit_for_bit(name, n_slabs, cross):
    # Both catalogues split by the same faces, each slab given the ghosts of both: a pair
    # counts in the slab that owns either galaxy, and the slabs' exact parts, joined and
    # rounded once, are the single count's sums to the last bit.
    from quor.distributed import _ghost_reach, _slab_edges, _split_chunk

    kernel, args_of = SLAB_COUNTERS[name]
    r = np.linspace(0.0, 4.0, 6)
    args = args_of(r)
    a, ia, wa, b, ib, wb = two_catalogues()
    extra = dict(coords2=b, partition_ids2=ib, weights2=wb) if cross else {}
    whole = getattr(_kernels, kernel)(a, ia, *args, weights=wa, separations=True, **extra)
    assert np.all(np.isfinite(whole[0])) and np.any(whole[2] > 0) and np.any(whole[3] > 0)

    faces = _slab_edges(n_slabs, BOX)
    ghost = _ghost_reach(4.0, BOX)
    rows_a = _split_chunk(a, np.arange(len(a), dtype=np.int32), BOX, faces, ghost)
    rows_b = _split_chunk(b, np.arange(len(b), dtype=np.int32), BOX, faces, ghost)
    pairs, parts = 0, None
    for s in range(n_slabs):
        (ca, ka), (cb, kb) = rows_a[s], rows_b[s]
        extra = dict(coords2=cb, partition_ids2=ib[kb], weights2=wb[kb]) if cross else {}
        got = getattr(_kernels, kernel + "_slab")(ca, ia[ka], *args, faces[s], faces[s + 1],
                                                  weights=wa[ka], separations=True, **extra)
        pairs = pairs + np.stack(got[2:4])
        sums = [got[k] for k in (0, 1, 4, 5, 6, 7)]
        assert all(p.shape[:-1] == whole[0].shape for p in sums)
        parts = sums if parts is None else [np.concatenate([p, q], axis=-1) for p, q in zip(parts, sums)]
    np.testing.assert_array_equal(pairs, np.stack(whole[2:4]))
    for p, w in zip(parts, [whole[k] for k in (0, 1, 4, 5, 6, 7)]):
        joined = _kernels.exact_sums(p.reshape(-1, p.shape[-1])).reshape(w.shape)
        np.testing.assert_array_equal(joined, w)


# ---- the same bits on every thread count and kernel variant ----------------------------

SUMS_SCRIPT = """
import os, sys, numpy as np, quor
assert quor.runtime_info()["kernel"] == os.environ["QUOR_KERNEL"], quor.runtime_info()
sys.path.insert(0, {here!r})
from quor import _kernels
from test_cross_weights import two_catalogues
from test_kernels import clumpy_catalogue
a, ia, wa, b, ib, wb = two_catalogues()
c, ic = clumpy_catalogue(40.0, seed=4)
wc = np.random.default_rng(4).normal(size=len(c)) * 1e3
r = np.geomspace(0.01, 4.0, 9)
out = []
for threads in (1, 2, 3):
    for args, extra in [((a, ia, r, 60.0), dict(coords2=b, partition_ids2=ib, weights=wa, weights2=wb)),
                        ((c, ic, r, 40.0), dict(weights=wc)),
                        ((c, ic, np.linspace(0, 12.0, 5), 40.0), dict(weights=wc, coords2=c, partition_ids2=ic))]:
        counts = [_kernels.count_pairs_1d(*args, None, threads, None, separations=True, **extra),
                  _kernels.count_pairs_2d(*args[:3], r[:5], args[3], None, threads, None, separations=True, **extra),
                  _kernels.count_pairs_smu(*args[:3], 5, 1.0, args[3], None, threads, None, separations=True, **extra)]
        out += [x.ravel() for res in counts for x in res]
np.save(sys.stdout.buffer, np.concatenate(out))
"""


def test_sums_are_the_same_bits_on_every_variant_and_thread_count():
    import io
    import os

    from test_kernels import VARIANTS, run_child, runs_here

    here = os.path.dirname(os.path.abspath(__file__))
    results = {}
    for kernel in VARIANTS:
        if not runs_here(kernel):
            continue
        out = run_child(SUMS_SCRIPT.format(here=here), kernel)
        assert out.returncode == 0, out.stderr.decode()
        results[kernel] = np.load(io.BytesIO(out.stdout)).reshape(3, -1)  # by thread count
    assert "portable" in results
    first = results["portable"][0]
    assert np.count_nonzero(first) > first.size // 4
    for kernel, sums in results.items():
        for by_threads in sums:
            np.testing.assert_array_equal(by_threads.view(np.uint64), first.view(np.uint64),
                                          err_msg=kernel)


# ---- the package's keywords ---------------------------------------------------------------

R = np.linspace(0.0, 6.0, 4)
PACKAGE_COUNTERS = {
    "pairs_1d": lambda c, i, **kw: quor.count_pairs_1d(c, i, R, BOX, **kw),
    "pairs_2d": lambda c, i, **kw: quor.count_pairs_2d(c, i, R, R[:3], BOX, **kw),
    "pairs_smu": lambda c, i, **kw: quor.count_pairs_smu(c, i, R, 3, 1.0, BOX, **kw),
}
C, I = two_catalogues(300, 400)[:2]


@pytest.mark.parametrize("name", list(PACKAGE_COUNTERS))
@pytest.mark.parametrize("kwargs, error, message", [
    (dict(coords2=C), ValueError, "partition_ids2 is required with coords2"),
    (dict(partition_ids2=I), ValueError, "partition_ids2 is given without coords2"),
    (dict(weights2=np.ones(300)), ValueError, "weights2 is given without coords2"),
    (dict(coords2=C[:, :2], partition_ids2=I), ValueError, r"coords2 must have shape \(N, 3\)"),
    (dict(coords2=C, partition_ids2=I[:5]), ValueError, r"partition_ids2 must hold one id per row of coords2 \(300\)"),
    (dict(weights=np.ones(5)), ValueError, r"weights must hold one weight per row of coords \(300\)"),
    (dict(coords2=C, partition_ids2=I, weights2=np.ones(7)), ValueError, "weights2 must hold one weight per row of coords2"),
    (dict(weights=np.full(300, np.nan)), ValueError, "weights must be finite"),
    (dict(coords2=C, partition_ids2=I, weights2=np.full(300, np.inf)), ValueError, "weights2 must be finite"),
    (dict(weights=np.ones((300, 1))), ValueError, "weights must be one-dimensional"),
    (dict(weights=np.array(["a"] * 300)), TypeError, "weights must hold real numbers"),
    (dict(weights=np.ma.masked_array(np.ones(300), mask=np.arange(300) == 7)), ValueError,
     r"weights: 1 weight is masked \(first at row 7\)"),
    (dict(coords2=np.full((300, 3), np.nan), partition_ids2=I), ValueError, "coords2 must be finite"),
    (dict(separations="yes"), TypeError, "separations must be True or False"),
], ids=["no-ids2", "ids2-alone", "weights2-alone", "coords2-shape", "ids2-length", "weights-length",
        "weights2-length", "weights-nan", "weights2-inf", "weights-2d", "weights-text", "weights-masked",
        "coords2-nan", "separations-text"])
def test_bad_second_catalogue_or_weights_name_the_argument(name, kwargs, error, message):
    with pytest.raises(error, match=message):
        PACKAGE_COUNTERS[name](C[:300], I[:300], **kwargs)


@pytest.mark.parametrize("name", list(PACKAGE_COUNTERS))
def test_unweighted_results_are_todays_with_the_pair_attributes(name):
    import _quor

    expected = {"pairs_1d": lambda: _quor.count_pairs_1d(C, I, R, BOX),
                "pairs_2d": lambda: _quor.count_pairs_2d(C, I, R, R[:3], BOX),
                "pairs_smu": lambda: _quor.count_pairs_smu(C, I, R, 3, 1.0, BOX)}[name]()
    got = PACKAGE_COUNTERS[name](C, I)
    auto, cross = got
    np.testing.assert_array_equal(auto, expected[0])
    np.testing.assert_array_equal(cross, expected[1])
    assert got.auto_pairs is auto and got.cross_pairs is cross
    assert got.auto_mean_r is None and got.cross_mean_log_r is None


@pytest.mark.parametrize("name", list(PACKAGE_COUNTERS))
def test_the_same_positions_twice_count_every_self_pair_at_zero(name):
    # Every unordered pair twice (once each way), and each galaxy with itself at s = 0:
    # counted in a first bin from 0, except in (s, mu), where s = 0 has no mu.
    auto, cross = PACKAGE_COUNTERS[name](C, I)
    twice = PACKAGE_COUNTERS[name](C, I, coords2=C, partition_ids2=I)
    self_pairs = np.zeros_like(auto)
    if name != "pairs_smu":
        self_pairs[(0,) * auto.ndim] = len(C)
    np.testing.assert_array_equal(twice.auto, 2 * auto + self_pairs)
    np.testing.assert_array_equal(twice.cross, 2 * cross)


def test_ids_beyond_int32_share_one_namespace_across_catalogues():
    # Ids past the int32 range in one catalogue: both are relabelled together, so a halo
    # id shared by a galaxy and a particle still marks their pairs as one-halo pairs.
    big = np.array([2**40, 2**40 + 1, 7], dtype=np.int64)
    pos = np.array([[1.0, 1.0, 1.0], [1.5, 1.0, 1.0], [2.0, 1.0, 1.0]])
    got = quor.count_pairs_1d(pos, big, [0.0, 3.0], BOX, coords2=pos[::-1],
                              partition_ids2=np.array([7, 2**40 + 1, 5], dtype=np.uint64))
    small = quor.count_pairs_1d(pos, [0, 1, 2], [0.0, 3.0], BOX, coords2=pos[::-1],
                                partition_ids2=[2, 1, 3])
    assert got.auto[0] == 2 and got.cross[0] == 7
    np.testing.assert_array_equal(got.auto, small.auto)


def test_empty_second_catalogue_counts_nothing():
    got = quor.count_pairs_2d(C, I, R, R[:3], BOX, coords2=np.zeros((0, 3)), partition_ids2=[],
                              weights=np.ones(len(C)), separations=True)
    assert got.auto.shape == (3, 2) and not got.auto.any() and not got.cross_pairs.any()
    assert np.isnan(got.auto_mean_r).all() and np.isnan(got.cross_mean_log_r).all()


def test_means_follow_their_weights():
    # Bin [0, 1.5): pairs at r = 1 and 0.5 with products 1 and -1, whose weight sum is 0:
    # no mean (NaN). Bin [1.5, 4): one pair at r = 2 of product 2.
    pos = np.array([[0.0, 0.0, 0.0], [1.0, 0.0, 0.0], [10.0, 0.0, 0.0], [10.5, 0.0, 0.0],
                    [20.0, 0.0, 0.0], [22.0, 0.0, 0.0]])
    r = [0.0, 1.5, 4.0]
    got = quor.count_pairs_1d(pos, np.zeros(6, int), r, BOX, weights=[1, 1, 1, -1, 2, 1],
                              separations=True)
    np.testing.assert_array_equal(got.auto_pairs, [2, 1])
    np.testing.assert_array_equal(got.auto, [0, 2])
    np.testing.assert_array_equal(got.auto_mean_r, [np.nan, 2.0])
    np.testing.assert_array_equal(got.auto_mean_log_r, [np.nan, np.log(2.0)])
    # Unweighted, with a galaxy on top of another: the pair at r = 0 makes the mean log
    # of its bin -inf, its mean r counts it as 0.
    pos = np.vstack([pos, [10.0, 0.0, 0.0]])
    got = quor.count_pairs_1d(pos, np.zeros(7, int), r, BOX, separations=True)
    np.testing.assert_array_equal(got.auto_pairs, [4, 1])
    np.testing.assert_array_equal(got.auto_mean_r, [(1 + 0.5 + 0 + 0.5) / 4, 2.0])
    np.testing.assert_array_equal(got.auto_mean_log_r, [-np.inf, np.log(2.0)])
    assert np.isnan(got.cross_mean_r).all()


def test_pairs_outside_every_bin_leave_the_sums_sound():
    # 8400 galaxies within 1e-3 of each other give 3.5e7 pairs below the first edge, each
    # of product 1.96, next to the largest: their parts of the weight sum, which go to no
    # counter, add to more than int64 holds if kept over the whole count (the sanitizer
    # build stops on that). One pair lies in the bin.
    rng = np.random.default_rng(5)
    clump = 20.0 + rng.uniform(0.0, 1e-3, size=(8400, 3))
    pos = np.vstack([clump, [[40.0, 40.0, 40.0], [40.0, 40.0, 41.5]]])
    got = quor.count_pairs_1d(pos, np.arange(len(pos)), [1.0, 2.0], BOX,
                              weights=np.full(len(pos), 1.4), separations=True, threads=1)
    np.testing.assert_array_equal(got.cross_pairs, [1])
    np.testing.assert_array_equal(got.cross, [1.4 * 1.4])
    np.testing.assert_array_equal(got.cross_mean_r, [1.5])


def test_weighted_means_against_the_brute_force():
    a, ia, wa, b, ib, wb = two_catalogues(800, 1000)
    ia, ib = ia % 3, ib % 3
    r = np.geomspace(1.0, 8.0, 5)
    got = quor.count_pairs_1d(a, ia, r, BOX, coords2=b, partition_ids2=ib, weights=wa,
                              weights2=wb, separations=True)
    expected = ref.radial_sums(r, BOX, a, ia, coords2=b, ids2=ib, weights=wa, weights2=wb)
    assert np.all(expected["pairs"][0] > 0)
    np.testing.assert_array_equal(got.auto, expected["weights"][0])
    np.testing.assert_array_equal(got.cross_pairs, expected["pairs"][1])
    np.testing.assert_allclose(got.auto_mean_r, expected["r"][0] / expected["weights"][0], rtol=1e-12)
    np.testing.assert_allclose(got.cross_mean_log_r, expected["log_r"][1] / expected["weights"][1],
                               rtol=1e-12)


def test_logarithm_of_the_separations_is_within_an_ulp():
    # One pair per bin, from 1e-300 to 1e300 and next to 1: the mean log of each bin is
    # the kernels' ln r of its pair, within an ulp of the C library's.
    import math

    rng = np.random.default_rng(5)
    x = np.concatenate([np.exp(rng.uniform(-690, 690, 1500)), 1 + rng.uniform(-1e-3, 1e-3, 300),
                        1 + np.arange(-30, 30) * 2.0**-52, [np.sqrt(2), np.nextafter(np.sqrt(2), 0)]])
    with np.errstate(over="ignore", under="ignore"):
        s = np.unique(np.sqrt(x * x))
    s = s[(s > 0) & np.isfinite(s * s)]
    edges = np.append(s, np.nextafter(s[-1], np.inf))
    got = quor.count_pairs_1d(np.zeros((1, 3)), [0], edges, 1e300, separations=True,
                              coords2=np.column_stack([s, 0 * s, 0 * s]), partition_ids2=np.zeros(len(s), int))
    assert (got.auto_pairs == 1).all()
    expected = np.array([math.log(v) for v in s])
    ulps = np.abs(got.auto_mean_log_r - expected) / np.array([math.ulp(e) for e in expected])
    assert ulps.max() <= 1.0


def reachable_separations(rng):
    """Distances along x whose squares span every float64 a pair's squared separation can
    be: subnormal (the smallest, 2^-1074, is the square of 2^-537), exact powers of two,
    next to 1 and to sqrt(2) (where the logarithm halves its mantissa), and random over
    every binade up to the largest square below infinity."""
    x = np.concatenate([2.0 ** np.arange(-537, 512), np.exp(rng.uniform(-370, -354, 300)),
                        rng.uniform(0.7, 2.9, 3000),
                        np.exp(rng.uniform(-354, 354, 2500)), 1 + np.arange(-64, 64) * 2.0**-52,
                        1 + rng.uniform(-1e-3, 1e-3, 300), np.sqrt(2.0) * (1 + np.arange(-8, 8) * 2.0**-52),
                        [np.nextafter(np.sqrt(np.finfo(float).max), 0)]])
    with np.errstate(over="ignore", under="ignore"):
        keys = x * x
    keep = (keys > 0) & np.isfinite(keys)
    keys, first = np.unique(keys[keep], return_index=True)  # one pair per squared separation
    return x[keep][first], np.sqrt(keys)


def test_logarithm_is_faithful_on_every_reachable_separation():
    # One pair per bin: each bin's mean log is the kernels' ln r of its pair, which must
    # lie less than an ulp from the true ln r (taken to 40 digits; the worst seen is
    # 0.76 ulp, just above 1 where ln 2 and ln m nearly cancel): a result one float off
    # anywhere in a binade is more than an ulp from it for about half the arguments.
    import math
    from decimal import Decimal, localcontext

    dx, r = reachable_separations(np.random.default_rng(8))
    edges = np.append(dx, np.nextafter(dx[-1], np.inf))
    got = quor.count_pairs_1d(np.zeros((1, 3)), [0], edges, 1e300, separations=True,
                              coords2=np.column_stack([dx, 0 * dx, 0 * dx]),
                              partition_ids2=np.zeros(len(dx), int))
    assert (got.auto_pairs == 1).all()
    with localcontext() as context:
        context.prec = 40
        errors = np.array([float(abs(Decimal(g) - Decimal(v).ln()) / Decimal(math.ulp(g)))
                           for g, v in zip(got.auto_mean_log_r, r)])
    worst = int(np.argmax(errors))
    assert errors[worst] < 1.0, (r[worst], got.auto_mean_log_r[worst], errors[worst])


@pytest.mark.parametrize("weighted", [False, True], ids=["unweighted", "masses"])
def test_log_sum_of_a_wide_bin_matches_the_per_pair_logarithms(weighted):
    # Every reachable separation in one bin, with masses over many decades: the kernels'
    # sum of w ln r is the per-pair sum of w * math.log(r) within 1e-15 of its magnitude.
    import math

    rng = np.random.default_rng(9)
    dx, r = reachable_separations(rng)
    w = 10.0 ** rng.uniform(-30, 30, len(dx)) if weighted else np.ones(len(dx))
    extra = dict(weights2=w) if weighted else {}
    got = _kernels.count_pairs_1d(np.zeros((1, 3)), np.zeros(1, np.int32), np.array([0.0, 1e200]),
                                  1e300, coords2=np.column_stack([dx, 0 * dx, 0 * dx]),
                                  partition_ids2=np.zeros(len(dx), np.int32), separations=True,
                                  **extra)
    sums = kernel_sums(got)
    assert sums["pairs"][0][0] == len(dx)
    terms = [wj * math.log(rj) for wj, rj in zip(w, r)]
    expected = math.fsum(terms)
    magnitude = math.fsum(abs(t) for t in terms)
    assert abs(sums["log_r"][0][0] - expected) <= 1e-15 * magnitude
    assert sums["r"][0][0] == math.fsum(wj * rj for wj, rj in zip(w, r))
