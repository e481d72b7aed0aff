"""The Python-facing contract of _quor: module attributes, docstrings and signatures,
argument binding and conversion with their exact messages, input layouts, and the
checks made on input before any counting."""
import inspect
import os
import subprocess
import sys

import numpy as np
import pytest

import _quor

ALL = [
    "count_pairs_1d",
    "count_pairs_2d",
    "count_npoint",
    "count_npoint3_shape",
    "count_npoint_gpu",
    "has_cuda",
    "count_pairs_smu",
]

PARAMS = {
    "count_pairs_1d": ["coords", "partition_ids", "r_bins", "box_size"],
    "count_pairs_2d": ["coords", "partition_ids", "r_p_bins", "pi_bins", "box_size"],
    "count_npoint": ["coords", "partition_ids", "r_bins", "box_size", "n_order"],
    "count_npoint3_shape": ["coords", "partition_ids", "r_bins", "n_ratio", "box_size"],
    "count_npoint_gpu": ["coords", "partition_ids", "r_bins", "box_size", "n_order"],
    "count_pairs_smu": ["coords", "partition_ids", "s_bins", "n_mu_bins", "mu_max", "box_size"],
}
COUNTERS = list(PARAMS)
NOT_ARRAY = "object cannot be converted to 'PyArray<T, D>'"


def catalogue(n=60, box=10.0, seed=3):
    rng = np.random.default_rng(seed)
    coords = rng.uniform(0.0, box, size=(n, 3))
    ids = rng.integers(-2, 3, size=n).astype(np.int32)
    return coords, ids


def valid_args(name):
    """Valid arguments of every counter, by parameter name (an empty catalogue, so that
    binding and conversion can be tested without depending on any count)."""
    edges = np.array([0.0, 1.0, 2.0])
    return {
        "coords": np.zeros((0, 3)),
        "partition_ids": np.zeros(0, dtype=np.int32),
        "r_bins": edges,
        "r_p_bins": edges,
        "pi_bins": edges,
        "s_bins": edges,
        "box_size": 10.0,
        "n_order": 3,
        "n_ratio": 2,
        "n_mu_bins": 4,
        "mu_max": 1.0,
    }


def call(name, **overrides):
    """Calls counter `name` positionally with valid arguments, some replaced."""
    values = valid_args(name)
    values.update(overrides)
    return getattr(_quor, name)(*[values[p] for p in PARAMS[name]])


def raises_exactly(exc_type, message, fn, *args, **kwargs):
    with pytest.raises(exc_type) as info:
        fn(*args, **kwargs)
    assert type(info.value) is exc_type
    assert str(info.value) == message
    return info.value


# ---------------------------------------------------------------------------------------------
# Module attributes, docstrings and signatures


def test_module_attributes():
    assert _quor.__all__ == ALL
    assert type(_quor.__all__) is list
    assert _quor.__doc__ == ""
    for name in ALL:
        fn = getattr(_quor, name)
        assert type(fn).__name__ == "builtin_function_or_method"
        assert fn.__name__ == name
        assert fn.__module__ == "_quor"
        assert fn.__self__ is _quor


@pytest.mark.parametrize("name", ALL)
def test_signature(name):
    params = PARAMS.get(name, [])
    assert getattr(_quor, name).__text_signature__ == "(" + ", ".join(params) + ")"
    sig = inspect.signature(getattr(_quor, name))
    assert list(sig.parameters) == params
    for p in sig.parameters.values():
        assert p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
        assert p.default is inspect.Parameter.empty


@pytest.mark.parametrize("name", ["count_pairs_2d", "count_npoint", "count_npoint_gpu", "has_cuda", "count_pairs_smu"])
def test_header_only_docstrings(name):
    assert getattr(_quor, name).__doc__ is None


def test_count_pairs_1d_docstring():
    assert _quor.count_pairs_1d.__doc__ == (
        "Count galaxy pairs in 3D real-space radial bins, split by partition membership.\n"
        "\n"
        "Uses an isotropic flat cell-list and half-shell traversal for O(N) scaling.\n"
        "Periodic boundary conditions via minimum-image. Each pair counted once (i < j).\n"
        "\n"
        "Parameters\n"
        "----------\n"
        "coords : (N, 3) float64 C-contiguous array \u2014 galaxy positions [x, y, z] in Mpc/h.\n"
        "partition_ids : (N,) int32 array \u2014 partition index for each galaxy.\n"
        "r_bins : (n_r+1,) float64 array \u2014 radial bin edges in Mpc/h.\n"
        "box_size : float \u2014 periodic box side length.\n"
        "\n"
        "Returns\n"
        "-------\n"
        "(dd_auto, dd_cross) : two (n_r,) float64 arrays"
    )


def test_count_npoint3_shape_docstring():
    assert _quor.count_npoint3_shape.__doc__ == (
        "Shape-resolved 3-point counts: bin each triplet by (max pairwise separation,\n"
        "r_min/r_max) into a 2D (n_r x n_ratio) grid, with the same sparse-partition\n"
        "`s`-counting as `count_npoint` (n_order=3). Summing the returned counts over\n"
        "the ratio axis reproduces `count_npoint(..., n_order=3)` exactly.\n"
        "\n"
        "Returns (t_by_s, t_total):\n"
        "  t_by_s : (3, n_r * n_ratio)  flattened as bin_rmax * n_ratio + bin_ratio\n"
        "  t_total: (n_r * n_ratio,)"
    )


def test_has_cuda():
    assert _quor.has_cuda() is False


@pytest.mark.parametrize("args, kwargs", [((1,), {}), ((), {"x": 1}), ((None,), {})], ids=["positional", "keyword", "none"])
def test_has_cuda_takes_no_arguments(args, kwargs):
    with pytest.raises(TypeError, match=r"has_cuda\(\) takes no"):
        _quor.has_cuda(*args, **kwargs)


def run_python(code):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=120)


def test_second_initialisation_raises_import_error():
    code = (
        "import sys, _quor\n"
        "first = _quor\n"
        "del sys.modules['_quor']\n"
        "for attempt in range(2):\n"
        "    try:\n"
        "        import _quor\n"
        "    except ImportError as e:\n"
        "        print(type(e).__name__, str(e))\n"
        "    else:\n"
        "        print('imported')\n"
        "print(first.has_cuda())\n"
    )
    result = run_python(code)
    assert result.returncode == 0, result.stderr
    message = "ImportError PyO3 modules compiled for CPython 3.8 or older may only be initialized once per interpreter process"
    assert result.stdout.splitlines() == [message, message, "False"]


def test_import_does_not_import_numpy():
    # NumPy's C interface is fetched on the first array, not at import.
    result = run_python("import sys, _quor; print('numpy' in sys.modules); print(_quor.has_cuda())")
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["False", "False"]


# ---------------------------------------------------------------------------------------------
# Binding


@pytest.mark.parametrize("name", COUNTERS)
def test_too_many_positional(name):
    values = valid_args(name)
    args = [values[p] for p in PARAMS[name]] + [1]
    n = len(PARAMS[name])
    raises_exactly(TypeError, f"{name}() takes {n} positional arguments but {n + 1} were given",
                   getattr(_quor, name), *args)


@pytest.mark.parametrize("name", COUNTERS)
def test_missing_arguments(name):
    fn = getattr(_quor, name)
    values = valid_args(name)
    params = PARAMS[name]
    raises_exactly(TypeError, f"{name}() missing 1 required positional argument: '{params[-1]}'",
                   fn, *[values[p] for p in params[:-1]])
    raises_exactly(TypeError, f"{name}() missing 2 required positional arguments: '{params[-2]}' and '{params[-1]}'",
                   fn, *[values[p] for p in params[:-2]])
    quoted = [f"'{p}'" for p in params]
    raises_exactly(TypeError, f"{name}() missing {len(params)} required positional arguments: "
                   + ", ".join(quoted[:-1]) + ", and " + quoted[-1], fn)


@pytest.mark.parametrize("given, message", [
    (("c", "p"), "count_pairs_1d() missing 2 required positional arguments: 'r_bins' and 'box_size'"),
    (("c",), "count_pairs_1d() missing 3 required positional arguments: 'partition_ids', 'r_bins', and 'box_size'"),
    (("c", "p", "b"), "count_pairs_1d() missing 1 required positional argument: 'r_bins'"),
    (("b", "r"), "count_pairs_1d() missing 2 required positional arguments: 'coords' and 'partition_ids'"),
    (("p", "b"), "count_pairs_1d() missing 2 required positional arguments: 'coords' and 'r_bins'"),
])
def test_missing_names_listed_in_declaration_order(given, message):
    values = {"c": np.zeros((0, 3)), "p": np.zeros(0, np.int32), "r": np.array([0.0, 1.0]), "b": 1.0}
    names = {"c": "coords", "p": "partition_ids", "r": "r_bins", "b": "box_size"}
    raises_exactly(TypeError, message, _quor.count_pairs_1d, **{names[k]: values[k] for k in given})


def test_missing_count_npoint_gpu_names_itself():
    values = valid_args("count_npoint_gpu")
    raises_exactly(TypeError, "count_npoint_gpu() missing 1 required positional argument: 'n_order'",
                   _quor.count_npoint_gpu, *[values[p] for p in PARAMS["count_npoint_gpu"][:-1]])


@pytest.mark.parametrize("name", COUNTERS)
def test_unexpected_keyword(name):
    values = valid_args(name)
    raises_exactly(TypeError, f"{name}() got an unexpected keyword argument 'nthreads'",
                   getattr(_quor, name), *[values[p] for p in PARAMS[name]], nthreads=4)


def test_multiple_values():
    c, p = np.zeros((0, 3)), np.zeros(0, np.int32)
    r = np.array([0.0, 1.0])
    raises_exactly(TypeError, "count_pairs_1d() got multiple values for argument 'box_size'",
                   _quor.count_pairs_1d, c, p, r, 1.0, box_size=2.0)
    raises_exactly(TypeError, "count_pairs_1d() got multiple values for argument 'coords'",
                   _quor.count_pairs_1d, c, p, r, 1.0, coords=c)


def test_first_offending_keyword_in_dict_order():
    c, p, r = np.zeros((0, 3)), np.zeros(0, np.int32), np.array([0.0, 1.0])
    raises_exactly(TypeError, "count_pairs_1d() got an unexpected keyword argument 'zzz'",
                   _quor.count_pairs_1d, c, p, **{"zzz": 1, "coords": c})
    raises_exactly(TypeError, "count_pairs_1d() got multiple values for argument 'coords'",
                   _quor.count_pairs_1d, c, p, **{"coords": c, "zzz": 1})


def test_binding_errors_come_before_conversion():
    # Every value is wrong, but the binding error is reported first.
    raises_exactly(TypeError, "count_pairs_1d() takes 4 positional arguments but 5 were given",
                   _quor.count_pairs_1d, [], [], [], "x", 0)
    raises_exactly(TypeError, "count_pairs_1d() got an unexpected keyword argument 'bad'",
                   _quor.count_pairs_1d, [], [], [], "x", bad=0)
    raises_exactly(TypeError, "count_pairs_1d() missing 1 required positional argument: 'box_size'",
                   _quor.count_pairs_1d, [], [], [])


def distinct_args():
    """Arguments of every counter on a real catalogue, chosen so that any two parameters
    of the same kind (the edge arrays, box_size and mu_max, the integers) give other
    counts when swapped: a keyword bound to the wrong parameter changes the result."""
    coords, ids = catalogue(n=300)
    return {
        "coords": coords,
        "partition_ids": ids,
        "r_bins": np.array([0.0, 1.0, 2.5]),
        "r_p_bins": np.array([0.0, 0.5, 3.0]),
        "pi_bins": np.array([0.0, 1.0, 2.0, 4.0]),
        "s_bins": np.array([0.0, 1.5, 3.0]),
        "box_size": 10.0,
        "n_order": 3,
        "n_ratio": 2,
        "n_mu_bins": 4,
        "mu_max": 0.8,
    }


def outcome(fn, *args, **kwargs):
    """The result arrays of a call, or the type and text of its error."""
    try:
        return [a.tolist() for a in fn(*args, **kwargs)]
    except Exception as e:  # noqa: BLE001 - the error is the outcome
        return (type(e), str(e))


@pytest.mark.parametrize("name", COUNTERS)
def test_all_keywords_in_any_order(name):
    values = distinct_args()
    fn = getattr(_quor, name)
    positional = outcome(fn, *[values[p] for p in PARAMS[name]])
    assert isinstance(positional, list) and np.any(np.asarray(positional[0]) > 0)
    assert outcome(fn, **{p: values[p] for p in reversed(PARAMS[name])}) == positional
    # The check can tell: every two parameters swapped give another outcome.
    names = PARAMS[name]
    for a in range(len(names)):
        for b in range(a + 1, len(names)):
            swapped = [values[p] for p in names]
            swapped[a], swapped[b] = swapped[b], swapped[a]
            assert outcome(fn, *swapped) != positional, (names[a], names[b])


def test_keywords_mixed_with_positional():
    coords, ids = catalogue()
    r = np.linspace(0.0, 3.0, 4)
    expected = _quor.count_pairs_1d(coords, ids, r, 10.0)
    for got in [
        _quor.count_pairs_1d(coords=coords, partition_ids=ids, r_bins=r, box_size=10.0),
        _quor.count_pairs_1d(coords, ids, box_size=10.0, r_bins=r),
    ]:
        np.testing.assert_array_equal(got[0], expected[0])
        np.testing.assert_array_equal(got[1], expected[1])


# ---------------------------------------------------------------------------------------------
# Array conversion


ARRAY_PARAMS = [(name, p) for name in COUNTERS for p in PARAMS[name]
                if p in ("coords", "partition_ids") or p.endswith("_bins") and p != "n_mu_bins"]


@pytest.mark.parametrize("name, param", ARRAY_PARAMS)
@pytest.mark.parametrize("value, type_name", [
    ([[0.0, 0.0, 0.0]], "list"),
    ((0.0, 1.0), "tuple"),
    (None, "NoneType"),
    (3.0, "float"),
], ids=["list", "tuple", "none", "float"])
def test_non_array_rejected(name, param, value, type_name):
    raises_exactly(TypeError, f"argument '{param}': '{type_name}' {NOT_ARRAY}",
                   lambda: call(name, **{param: value}))


@pytest.mark.parametrize("param, value", [
    ("coords", np.zeros((4, 3), dtype=np.float32)),
    ("coords", np.zeros((4, 3), dtype=np.int64)),
    ("coords", np.zeros((4, 3), dtype=object)),
    ("coords", np.zeros((4, 3), dtype=">f8")),
    ("coords", np.zeros(12)),
    ("coords", np.zeros((2, 2, 3))),
    ("coords", np.array(1.0)),
    ("partition_ids", np.zeros(4, dtype=np.int64)),
    ("partition_ids", np.zeros(4, dtype=np.int16)),
    ("partition_ids", np.zeros(4, dtype=np.uint32)),
    ("partition_ids", np.zeros(4, dtype=bool)),
    ("partition_ids", np.zeros(4, dtype=np.float64)),
    ("partition_ids", np.zeros((4, 1), dtype=np.int32)),
    ("r_bins", np.array([0.0, 1.0], dtype=np.float32)),
    ("r_bins", np.array([0, 1], dtype=np.int64)),
    ("r_bins", np.array([[0.0, 1.0]])),
    ("r_bins", np.array([(0.0,), (1.0,)], dtype=[("e", "f8")])),
], ids=lambda v: v if isinstance(v, str) else f"{v.dtype}-{v.ndim}d")
def test_wrong_dtype_or_ndim_rejected(param, value):
    raises_exactly(TypeError, f"argument '{param}': 'ndarray' {NOT_ARRAY}",
                   lambda: call("count_pairs_1d", **{param: value}))


def test_type_name_is_qualified():
    class Outer:
        class Inner:
            pass
    expected = f"argument 'coords': '{Outer.Inner.__qualname__}' {NOT_ARRAY}"
    assert "." in Outer.Inner.__qualname__
    raises_exactly(TypeError, expected, lambda: call("count_pairs_1d", coords=Outer.Inner()))


def test_array_subclass_type_name_in_message():
    class Sub(np.ndarray):
        pass
    wrong = np.zeros((4, 3), dtype=np.float32).view(Sub)
    raises_exactly(TypeError, f"argument 'coords': 'test_array_subclass_type_name_in_message.<locals>.Sub' {NOT_ARRAY}",
                   lambda: call("count_pairs_1d", coords=wrong))


def test_unreadable_type_name():
    class Meta(type):
        def __getattribute__(cls, attr):
            if attr == "__qualname__":
                raise AttributeError(attr)
            return super().__getattribute__(attr)

    class Odd(metaclass=Meta):
        pass

    raises_exactly(TypeError, f"argument 'r_bins': '<failed to extract type name>' {NOT_ARRAY}",
                   lambda: call("count_pairs_1d", r_bins=Odd()))


@pytest.mark.parametrize("dtype", [np.float64, np.dtype("<f8") if sys.byteorder == "little" else np.dtype(">f8"), "d"])
def test_equivalent_float64_dtypes_accepted(dtype):
    coords, ids = catalogue()
    got = _quor.count_pairs_1d(coords.astype(dtype), ids, np.linspace(0, 3, 4).astype(dtype), 10.0)
    want = _quor.count_pairs_1d(coords, ids, np.linspace(0, 3, 4), 10.0)
    np.testing.assert_array_equal(got[0], want[0])


@pytest.mark.parametrize("dtype", [np.int32, np.intc, "i4"])
def test_int32_partition_ids_accepted(dtype):
    coords, ids = catalogue()
    got = _quor.count_pairs_1d(coords, ids.astype(dtype), np.linspace(0, 3, 4), 10.0)
    want = _quor.count_pairs_1d(coords, ids, np.linspace(0, 3, 4), 10.0)
    np.testing.assert_array_equal(got[1], want[1])


def test_array_subclass_accepted():
    class Sub(np.ndarray):
        pass
    coords, ids = catalogue()
    r = np.linspace(0, 3, 4)
    got = _quor.count_pairs_1d(coords.view(Sub), ids.view(Sub), r.view(Sub), 10.0)
    want = _quor.count_pairs_1d(coords, ids, r, 10.0)
    np.testing.assert_array_equal(got[0], want[0])
    np.testing.assert_array_equal(got[1], want[1])


def test_empty_catalogue_accepted():
    auto, cross = _quor.count_pairs_1d(np.zeros((0, 3)), np.zeros(0, np.int32), np.array([0.0, 1.0, 2.0]), 5.0)
    np.testing.assert_array_equal(auto, [0.0, 0.0])
    np.testing.assert_array_equal(cross, [0.0, 0.0])


# ---------------------------------------------------------------------------------------------
# Layouts: every input is read through its own strides, in logical order


def unaligned(a):
    """A copy of `a` whose data starts one byte past an aligned address."""
    raw = np.zeros(a.nbytes + 1, dtype=np.uint8)
    out = raw[1:].view(a.dtype).reshape(a.shape)
    out[...] = a
    assert not out.flags.aligned
    return out


def layouts(coords, ids):
    """(name, coords, ids) triples with the same logical content in other layouts."""
    rev = coords[::-1]
    wide = np.concatenate([coords, np.full((len(coords), 2), np.nan)], axis=1)
    col_rev = coords[:, ::-1]
    strided = np.zeros((2 * len(coords), 6))
    strided[::2, ::2] = coords
    ids_strided = np.zeros(3 * len(ids), dtype=np.int32)
    ids_strided[::3] = ids
    return [
        ("fortran", np.asfortranarray(coords), ids, coords, ids),
        ("reversed-rows", rev, ids[::-1].copy(), np.ascontiguousarray(rev), ids[::-1].copy()),
        ("reversed-columns", col_rev, ids, np.ascontiguousarray(col_rev), ids),
        ("transposed", np.ascontiguousarray(coords.T).T, ids, coords, ids),
        ("stepped", strided[::2, ::2], ids_strided[::3], coords, ids),
        ("reversed-ids", coords[::-1].copy(), ids[::-1], coords[::-1].copy(), ids[::-1].copy()),
        ("five-columns", wide, ids, coords, ids),
        ("unaligned", unaligned(coords), unaligned(ids), coords, ids),
        ("long-ids", coords, np.concatenate([ids, [7, 7, 7]]).astype(np.int32), coords, ids),
    ]


@pytest.mark.parametrize("index", range(9), ids=[l[0] for l in layouts(*catalogue(4))])
def test_layouts_read_in_logical_order(index):
    coords, ids = catalogue(n=300, box=10.0, seed=11)
    # A non-uniform box makes an x/z swap visible in the counts.
    coords[:, 2] *= 0.5
    _, c, p, c_ref, p_ref = layouts(coords, ids)[index]
    r = np.linspace(0.0, 2.5, 6)
    auto, cross = _quor.count_pairs_1d(c, p, r, 10.0)
    exp_auto, exp_cross = _quor.count_pairs_1d(c_ref, p_ref, r, 10.0)
    assert np.any(exp_auto > 0) and np.any(exp_cross > 0)
    np.testing.assert_array_equal(auto, exp_auto)
    np.testing.assert_array_equal(cross, exp_cross)


@pytest.mark.parametrize("make", [
    lambda r: r[::-1][::-1],
    lambda r: np.repeat(r, 2)[::2],
    lambda r: np.concatenate([r[::-1], [0.0]])[-2::-1],
], ids=["double-reversed", "stepped", "negative-stride"])
def test_edge_layouts(make):
    coords, ids = catalogue(n=300, box=10.0, seed=5)
    r = np.linspace(0.0, 2.5, 6)
    edges = make(r)
    np.testing.assert_array_equal(edges, r)
    got = _quor.count_pairs_1d(coords, ids, edges, 10.0)
    want = _quor.count_pairs_1d(coords, ids, r, 10.0)
    assert np.any(want[0] + want[1] > 0)
    np.testing.assert_array_equal(got[0], want[0])
    np.testing.assert_array_equal(got[1], want[1])


def test_inputs_not_written_and_references_released():
    coords, ids = catalogue()
    r = np.linspace(0.0, 3.0, 4)
    copies = coords.copy(), ids.copy(), r.copy()
    before = [sys.getrefcount(a) for a in (coords, ids, r)]
    for _ in range(20):
        _quor.count_pairs_1d(coords, ids, r, 10.0)
        with pytest.raises(TypeError):
            _quor.count_pairs_1d(coords, ids, r, "x")
        with pytest.raises(ValueError):
            _quor.count_pairs_1d(coords, ids[:-1], r, 10.0)
    assert [sys.getrefcount(a) for a in (coords, ids, r)] == before
    np.testing.assert_array_equal(coords, copies[0])
    np.testing.assert_array_equal(ids, copies[1])
    np.testing.assert_array_equal(r, copies[2])


# ---------------------------------------------------------------------------------------------
# Scalar conversion


class FloatLike:
    def __float__(self):
        return 10.0


class IndexLike:
    def __index__(self):
        return 10


@pytest.mark.parametrize("box", [10, 10.0, np.float32(10.0), np.float64(10.0), np.int64(10), FloatLike(), IndexLike()],
                         ids=["int", "float", "float32", "float64", "int64", "__float__", "__index__"])
def test_real_scalar_accepted(box):
    coords, ids = catalogue()
    r = np.linspace(0.0, 3.0, 4)
    got = _quor.count_pairs_1d(coords, ids, r, box)
    want = _quor.count_pairs_1d(coords, ids, r, 10.0)
    np.testing.assert_array_equal(got[0], want[0])
    np.testing.assert_array_equal(got[1], want[1])


@pytest.mark.parametrize("name, param", [(n, p) for n in COUNTERS for p in PARAMS[n] if p in ("box_size", "mu_max")])
@pytest.mark.parametrize("value, text", [
    ("100", "must be real number, not str"),
    (None, "must be real number, not NoneType"),
    ([1.0], "must be real number, not list"),
], ids=["str", "none", "list"])
def test_real_scalar_rejected(name, param, value, text):
    raises_exactly(TypeError, f"argument '{param}': {text}", lambda: call(name, **{param: value}))


def test_real_scalar_overflow_keeps_its_type():
    raises_exactly(OverflowError, "int too large to convert to float", lambda: call("count_pairs_1d", box_size=10**400))


@pytest.mark.parametrize("name, param", [(n, p) for n in COUNTERS for p in PARAMS[n] if p in ("n_order", "n_ratio", "n_mu_bins")])
@pytest.mark.parametrize("value, exc, text", [
    (3.0, TypeError, "'float' object cannot be interpreted as an integer"),
    ("3", TypeError, "'str' object cannot be interpreted as an integer"),
    (np.float64(3.0), TypeError, "'numpy.float64' object cannot be interpreted as an integer"),
    (-1, OverflowError, None),
    (2**64, OverflowError, None),
    (np.int64(-1), OverflowError, None),
], ids=["float", "str", "np-float64", "negative", "2**64", "np-negative"])
def test_count_scalar_rejected(name, param, value, exc, text):
    with pytest.raises(exc) as info:
        call(name, **{param: value})
    assert type(info.value) is exc
    if text is None:
        # Other exceptions than TypeError reach the caller unchanged, unprefixed.
        assert not str(info.value).startswith("argument ")
    else:
        assert str(info.value) == f"argument '{param}': {text}"


@pytest.mark.parametrize("value, as_int", [(np.int64(3), 3), (np.uint8(3), 3), (True, 1), (IndexLike(), 10)],
                         ids=["int64", "uint8", "True", "__index__"])
def test_count_scalar_accepted(value, as_int):
    a = call("count_pairs_smu", n_mu_bins=value)
    b = call("count_pairs_smu", n_mu_bins=as_int)
    assert a[0].shape == b[0].shape == (2, as_int)


def test_count_scalar_at_its_maximum_is_not_an_error_of_conversion():
    # 2**64 - 1 converts; it is then too large for a result array.
    raises_exactly(OverflowError, "n_mu_bins is too large", lambda: call("count_pairs_smu", n_mu_bins=2**64 - 1))


class RaisesTypeErrorSubclass:
    def __float__(self):
        raise SubTypeError("custom")

    def __index__(self):
        raise SubTypeError("custom")


class SubTypeError(TypeError):
    pass


class RaisesWithCause:
    def __float__(self):
        raise TypeError("bad float") from KeyError("origin")

    def __index__(self):
        raise TypeError("bad index") from KeyError("origin")


@pytest.mark.parametrize("param", ["box_size", "n_order"])
def test_typeerror_subclass_passes_unchanged(param):
    with pytest.raises(SubTypeError) as info:
        call("count_npoint", **{param: RaisesTypeErrorSubclass()})
    assert str(info.value) == "custom"


@pytest.mark.parametrize("param, text", [("box_size", "bad float"), ("n_order", "bad index")])
def test_renamed_error_keeps_cause(param, text):
    err = raises_exactly(TypeError, f"argument '{param}': {text}",
                         lambda: call("count_npoint", **{param: RaisesWithCause()}))
    assert type(err.__cause__) is KeyError
    assert err.__cause__.args == ("origin",)


def test_renamed_error_has_no_cause_of_its_own():
    err = raises_exactly(TypeError, f"argument 'coords': 'list' {NOT_ARRAY}", lambda: call("count_pairs_1d", coords=[]))
    assert err.__cause__ is None


def test_non_typeerror_from_conversion_passes_unchanged():
    class Boom:
        def __float__(self):
            raise ZeroDivisionError("boom")
    raises_exactly(ZeroDivisionError, "boom", lambda: call("count_pairs_1d", box_size=Boom()))


@pytest.mark.parametrize("name, overrides, param", [
    # Conversion runs in declaration order and stops at the first failure.
    ("count_pairs_smu", {"mu_max": "x", "box_size": "y"}, "mu_max"),
    ("count_pairs_smu", {"n_mu_bins": 1.5, "mu_max": "x"}, "n_mu_bins"),
    ("count_pairs_2d", {"pi_bins": [], "box_size": "x"}, "pi_bins"),
    ("count_pairs_1d", {"partition_ids": [], "r_bins": []}, "partition_ids"),
    ("count_npoint3_shape", {"n_ratio": 1.5, "box_size": "x"}, "n_ratio"),
    ("count_npoint3_shape", {"box_size": "x", "r_bins": []}, "r_bins"),
    ("count_npoint", {"box_size": "x", "n_order": 1.5}, "box_size"),
])
def test_first_failing_conversion_is_reported(name, overrides, param):
    with pytest.raises(TypeError, match=f"^argument '{param}': "):
        call(name, **overrides)


def test_count_npoint3_shape_positional_order():
    # n_ratio is fourth and box_size fifth: a float in fourth place is refused as a count.
    c, p, r = np.zeros((0, 3)), np.zeros(0, np.int32), np.array([0.0, 1.0, 2.0])
    raises_exactly(TypeError, "argument 'n_ratio': 'float' object cannot be interpreted as an integer",
                   _quor.count_npoint3_shape, c, p, r, 10.0, 4)
    t_by_s, t_total = _quor.count_npoint3_shape(c, p, r, 4, 10.0)
    assert t_by_s.shape == (3, 8) and t_total.shape == (8,)


# ---------------------------------------------------------------------------------------------
# Input checked before counting


@pytest.mark.parametrize("name, param", [(n, p) for n in COUNTERS for p in PARAMS[n] if p.endswith("_bins") and p != "n_mu_bins"])
def test_empty_edges_rejected(name, param):
    raises_exactly(ValueError, f"{param} must hold at least one bin edge", lambda: call(name, **{param: np.zeros(0)}))


@pytest.mark.parametrize("name", COUNTERS)
@pytest.mark.parametrize("cols", [0, 1, 2])
def test_too_few_columns_rejected(name, cols):
    raises_exactly(ValueError, f"coords must have at least 3 columns, got {cols}",
                   lambda: call(name, coords=np.zeros((5, cols)), partition_ids=np.zeros(5, np.int32)))


@pytest.mark.parametrize("name", COUNTERS)
def test_empty_coords_with_few_columns_accepted(name):
    call(name, coords=np.zeros((0, 2)))


@pytest.mark.parametrize("name", COUNTERS)
def test_short_partition_ids_rejected(name):
    raises_exactly(ValueError, "partition_ids has 4 entries but coords has 5 rows",
                   lambda: call(name, coords=np.zeros((5, 3)), partition_ids=np.zeros(4, np.int32)))


@pytest.mark.parametrize("name", ["count_npoint", "count_npoint_gpu"])
def test_zero_n_order_rejected(name):
    raises_exactly(ValueError, "n_order must be at least 1",
                   lambda: call(name, coords=np.zeros((1, 3)), partition_ids=np.zeros(1, np.int32), n_order=0))


@pytest.mark.parametrize("name, overrides, message", [
    # Checked in parameter order: coords before partition_ids before the edges.
    ("count_pairs_2d", {"coords": np.zeros((5, 2)), "partition_ids": np.zeros(1, np.int32), "r_p_bins": np.zeros(0)},
     "coords must have at least 3 columns, got 2"),
    ("count_pairs_2d", {"coords": np.zeros((5, 3)), "partition_ids": np.zeros(1, np.int32), "r_p_bins": np.zeros(0)},
     "partition_ids has 1 entries but coords has 5 rows"),
    ("count_pairs_2d", {"r_p_bins": np.zeros(0), "pi_bins": np.zeros(0)}, "r_p_bins must hold at least one bin edge"),
    ("count_npoint", {"coords": np.zeros((1, 3)), "partition_ids": np.zeros(1, np.int32), "r_bins": np.zeros(0), "n_order": 0},
     "r_bins must hold at least one bin edge"),
])
def test_input_checks_in_parameter_order(name, overrides, message):
    raises_exactly(ValueError, message, lambda: call(name, **overrides))


def test_conversion_errors_come_before_input_checks():
    with pytest.raises(TypeError, match="^argument 'box_size': "):
        call("count_pairs_1d", r_bins=np.zeros(0), box_size="x")


HUGE = 2**62


@pytest.mark.parametrize("name, overrides, message", [
    ("count_npoint", {"n_order": HUGE}, "n_order is too large"),
    ("count_npoint", {"n_order": 2**64 - 1}, "n_order is too large"),
    ("count_npoint_gpu", {"n_order": HUGE}, "n_order is too large"),
    ("count_npoint3_shape", {"n_ratio": HUGE}, "n_ratio is too large"),
    ("count_npoint3_shape", {"n_ratio": 2**61}, "n_ratio is too large"),  # times 3 rows and 2 radial bins
    ("count_pairs_smu", {"n_mu_bins": HUGE}, "n_mu_bins is too large"),
    # Zero-stride edge arrays of 2**32 entries cost no memory; their product overflows.
    ("count_pairs_2d", {"r_p_bins": np.broadcast_to(1.0, (2**32,)), "pi_bins": np.broadcast_to(1.0, (2**32,))},
     "pi_bins is too large"),
    ("count_pairs_smu", {"s_bins": np.broadcast_to(1.0, (2**32,)), "n_mu_bins": 2**32}, "n_mu_bins is too large"),
], ids=lambda v: v if isinstance(v, str) else None)
def test_oversized_results_rejected(name, overrides, message):
    raises_exactly(OverflowError, message, lambda: call(name, **overrides))


@pytest.mark.parametrize("name, overrides, message", [
    # Even with a row to count: the size is checked before the computation runs.
    ("count_npoint", {"n_order": HUGE}, "n_order is too large"),
    ("count_pairs_smu", {"n_mu_bins": HUGE}, "n_mu_bins is too large"),
])
def test_oversized_results_rejected_before_counting(name, overrides, message):
    raises_exactly(OverflowError, message,
                   lambda: call(name, coords=np.zeros((3, 3)), partition_ids=np.zeros(3, np.int32), **overrides))


@pytest.mark.parametrize("key", ["\u03c0", "R_bins", "r_bins "], ids=["non-ascii", "case", "space"])
def test_unexpected_keyword_shown_verbatim(key):
    c, p = np.zeros((0, 3)), np.zeros(0, np.int32)
    raises_exactly(TypeError, f"count_pairs_1d() got an unexpected keyword argument '{key}'",
                   _quor.count_pairs_1d, c, p, 1.0, **{key: 1})


def test_str_subclass_keyword_binds_by_value():
    class Name(str):
        def __str__(self):
            raise AssertionError("not called")
    c, p, r = np.zeros((0, 3)), np.zeros(0, np.int32), np.array([0.0, 1.0])
    auto, _ = _quor.count_pairs_1d(c, p, r, **{Name("box_size"): 1.0})
    assert auto.shape == (1,)
    raises_exactly(TypeError, "count_pairs_1d() got an unexpected keyword argument 'nope'",
                   _quor.count_pairs_1d, c, p, r, 1.0, **{Name("nope"): 1})


def sanitizer_loaded():
    try:
        with open("/proc/self/maps") as f:
            return "libasan" in f.read()
    except OSError:
        return False


@pytest.mark.skipif(sanitizer_loaded(), reason="AddressSanitizer aborts on impossible allocations")
@pytest.mark.parametrize("name, overrides", [
    # The sizes fit a NumPy array description but could never be allocated.
    ("count_pairs_smu", {"s_bins": np.array([0.0, 1.0]), "n_mu_bins": 2**59}),
    ("count_npoint", {"r_bins": np.array([0.0, 1.0]), "n_order": 2**59}),
])
def test_impossible_allocation_is_memory_error(name, overrides):
    with pytest.raises(MemoryError):
        call(name, **overrides)
