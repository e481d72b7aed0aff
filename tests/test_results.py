"""Result objects of _quor: tuples of float64 arrays over buffers handed over without
copying, their shapes, flags and strides, and the PySliceContainer that owns each buffer."""
import gc
import os
import subprocess
import sys
import weakref

import numpy as np
import pytest

import _quor


def catalogue(n=200, box=10.0, seed=2):
    rng = np.random.default_rng(seed)
    coords = rng.uniform(0.0, box, size=(n, 3))
    ids = rng.integers(0, 3, size=n).astype(np.int32)
    return coords, ids


def edges(n_bins, r_max=2.0):
    return np.linspace(0.0, r_max, n_bins + 1)


def run_counter(name, n_bins=4, n=200, **extra):
    """Calls counter `name` on a small random catalogue with `n_bins` bins per edge array."""
    coords, ids = catalogue(n)
    e = edges(n_bins)
    args = {
        "count_pairs_1d": lambda: (coords, ids, e, 10.0),
        "count_pairs_2d": lambda: (coords, ids, e, edges(extra.get("n_pi", 3)), 10.0),
        "count_npoint": lambda: (coords, ids, e, 10.0, extra.get("n_order", 3)),
        "count_npoint_gpu": lambda: (coords, ids, e, 10.0, extra.get("n_order", 3)),
        "count_npoint3_shape": lambda: (coords, ids, e, extra.get("n_ratio", 5), 10.0),
        "count_pairs_smu": lambda: (coords, ids, e, extra.get("n_mu_bins", 6), 1.0, 10.0),
    }[name]()
    return getattr(_quor, name)(*args)


COUNTERS = ["count_pairs_1d", "count_pairs_2d", "count_npoint", "count_npoint3_shape", "count_npoint_gpu",
            "count_pairs_smu"]


def check_result_array(a, shape):
    assert type(a) is np.ndarray
    assert a.dtype == np.float64 and a.dtype.isnative
    assert a.shape == shape
    assert a.flags.writeable
    assert not a.flags.owndata
    assert type(a.base).__name__ == "PySliceContainer"
    if all(d > 0 for d in shape):
        assert a.flags.c_contiguous
        assert a.flags.aligned
        expected = tuple(8 * int(np.prod(shape[k + 1:])) for k in range(len(shape)))
        assert a.strides == expected
    else:
        assert a.strides == (0,) * len(shape)


# ---------------------------------------------------------------------------------------------
# Types and shapes


@pytest.mark.parametrize("name, extra, shapes", [
    ("count_pairs_1d", {}, [(4,), (4,)]),
    ("count_pairs_2d", {"n_pi": 3}, [(4, 3), (4, 3)]),
    ("count_npoint", {"n_order": 2}, [(2, 4), (4,)]),
    ("count_npoint", {"n_order": 1}, [(1, 4), (4,)]),
    ("count_npoint", {"n_order": 3}, [(3, 4), (4,)]),
    ("count_npoint", {"n_order": 4}, [(4, 4), (4,)]),
    ("count_npoint_gpu", {"n_order": 2}, [(2, 4), (4,)]),
    ("count_npoint_gpu", {"n_order": 3}, [(3, 4), (4,)]),
    ("count_npoint3_shape", {"n_ratio": 5}, [(3, 20), (20,)]),
    ("count_npoint3_shape", {"n_ratio": 1}, [(3, 4), (4,)]),
    ("count_npoint3_shape", {"n_ratio": 0}, [(3, 4), (4,)]),  # no ratio bins count as one
    ("count_pairs_smu", {"n_mu_bins": 6}, [(4, 6), (4, 6)]),
    ("count_pairs_smu", {"n_mu_bins": 0}, [(4, 0), (4, 0)]),
])
def test_result_types_and_shapes(name, extra, shapes):
    result = run_counter(name, **extra)
    assert type(result) is tuple and len(result) == 2
    for a, shape in zip(result, shapes):
        check_result_array(a, shape)
    assert not np.shares_memory(result[0], result[1])


@pytest.mark.parametrize("name, extra, shapes", [
    ("count_pairs_1d", {}, [(0,), (0,)]),
    ("count_pairs_2d", {"n_pi": 3}, [(0, 3), (0, 3)]),
    ("count_npoint", {"n_order": 3}, [(3, 0), (0,)]),
    ("count_npoint3_shape", {"n_ratio": 5}, [(3, 0), (0,)]),
    ("count_pairs_smu", {"n_mu_bins": 6}, [(0, 6), (0, 6)]),
])
def test_single_edge_gives_empty_results(name, extra, shapes):
    result = run_counter(name, n_bins=0, **extra)
    for a, shape in zip(result, shapes):
        check_result_array(a, shape)


def test_count_pairs_2d_empty_pi_axis():
    coords, ids = catalogue()
    for a in _quor.count_pairs_2d(coords, ids, edges(4), np.array([1.0]), 10.0):
        check_result_array(a, (4, 0))


@pytest.mark.parametrize("name", COUNTERS)
def test_empty_catalogue_gives_zero_counts(name):
    result = run_counter(name, n=0)
    for a in result:
        assert not np.any(a)


def test_count_npoint_gpu_matches_count_npoint():
    coords, ids = catalogue(300)
    for n_order in (2, 3):
        cpu = _quor.count_npoint(coords, ids, edges(5), 10.0, n_order)
        gpu = _quor.count_npoint_gpu(coords, ids, edges(5), 10.0, n_order)
        assert np.any(cpu[1] > 0)
        for a, b in zip(cpu, gpu):
            assert a.shape == b.shape
            np.testing.assert_array_equal(a, b)


def test_has_cuda_result():
    assert _quor.has_cuda() is False


# ---------------------------------------------------------------------------------------------
# Ownership


def test_results_are_fresh_and_independent():
    coords, ids = catalogue()
    r = edges(4)
    auto, cross = _quor.count_pairs_1d(coords, ids, r, 10.0)
    assert np.any(auto > 0) and np.any(cross > 0)
    keep_auto, keep_cross = auto.copy(), cross.copy()
    auto[:] = -1.0
    np.testing.assert_array_equal(cross, keep_cross)
    again_auto, again_cross = _quor.count_pairs_1d(coords, ids, r, 10.0)
    np.testing.assert_array_equal(again_auto, keep_auto)
    np.testing.assert_array_equal(again_cross, keep_cross)
    assert not np.shares_memory(again_auto, auto)
    assert auto.base is not again_auto.base
    assert not np.shares_memory(auto, coords) and not np.shares_memory(auto, r)


def test_containers_share_one_type():
    a = run_counter("count_pairs_1d")
    b = run_counter("count_pairs_smu")
    assert type(a[0].base) is type(a[1].base) is type(b[0].base)


def test_container_type():
    container_type = type(run_counter("count_pairs_1d")[0].base)
    assert container_type.__name__ == "PySliceContainer"
    assert container_type.__qualname__ == "PySliceContainer"
    assert container_type.__module__ == "builtins"
    assert "utility type" in container_type.__doc__.lower()
    assert "owned buffer on the Python heap" in container_type.__doc__
    assert not hasattr(_quor, "PySliceContainer")


@pytest.mark.parametrize("args, kwargs", [((), {}), ((1,), {}), ((), {"x": 1})], ids=["none", "positional", "keyword"])
def test_container_cannot_be_constructed(args, kwargs):
    container_type = type(run_counter("count_pairs_1d")[0].base)
    with pytest.raises(TypeError) as info:
        container_type(*args, **kwargs)
    assert type(info.value) is TypeError
    assert str(info.value) == "No constructor defined for PySliceContainer"


def test_container_cannot_be_subclassed():
    container_type = type(run_counter("count_pairs_1d")[0].base)
    with pytest.raises(TypeError):
        type("Sub", (container_type,), {})


def test_views_keep_the_buffer_alive():
    auto, _ = run_counter("count_pairs_2d")
    expected = auto.copy()
    view = auto[1:, ::2]
    assert view.base is auto.base or view.base is auto
    del auto
    gc.collect()
    # Allocate and fill other memory where a freed buffer would be reused.
    junk = [np.full(12, 7.0) for _ in range(1000)]
    np.testing.assert_array_equal(view, expected[1:, ::2])
    del junk


def test_base_chain_ends_at_container():
    auto, _ = run_counter("count_pairs_1d")
    base = np.asarray(auto.reshape(2, 2)[::-1]).base
    while isinstance(base, np.ndarray):
        base = base.base
    assert type(base).__name__ == "PySliceContainer"


def test_result_references():
    auto, cross = run_counter("count_pairs_1d")
    # The tuple's references went to the caller: each array is held by its name (and
    # getrefcount's argument) only, each container by its array (and its name here).
    assert sys.getrefcount(auto) == 2
    container = auto.base
    assert sys.getrefcount(container) == 3
    del auto, cross
    assert sys.getrefcount(container) == 2


def run_python(code):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=300)


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc/self/statm")
# AddressSanitizer holds freed blocks in quarantine (256 MB by default), so the resident
# size grows under it without a leak; run there with quarantine_size_mb=0 to check.
@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", "")
                    and "quarantine_size_mb=0" not in os.environ.get("ASAN_OPTIONS", ""),
                    reason="AddressSanitizer's quarantine grows the resident size")
@pytest.mark.parametrize("body", [
    # Large 1-D results: 2 x 800 kB per call.
    "_quor.count_pairs_1d(c, p, np.linspace(0.0, 2.0, 100001), 10.0)",
    # Large 2-D results, a view kept across the next call and then dropped.
    "keep = _quor.count_pairs_2d(c, p, np.linspace(0.0, 2.0, 301), np.linspace(0.0, 2.0, 301), 10.0)[0][::2]",
    "_quor.count_pairs_smu(c, p, np.linspace(0.0, 2.0, 301), 300, 1.0, 10.0)",
    # Failing calls after conversion: the converted arrays (2.4 MB each) must be released.
    "try:\n        _quor.count_pairs_1d(np.zeros((100000, 3)), p, big_edges, 10.0)\n    except ValueError:\n        pass",
    "try:\n        _quor.count_pairs_1d(np.zeros((100000, 3)), p, big_edges, 'x')\n    except TypeError:\n        pass",
], ids=["1d", "2d-view", "smu", "value-error", "type-error"])
def test_repeated_calls_do_not_grow_memory(body):
    code = (
        "import numpy as np, _quor\n"
        "def rss_mb():\n"
        "    with open('/proc/self/statm') as f:\n"
        "        return int(f.read().split()[1]) * 4096 / 2**20\n"
        "rng = np.random.default_rng(0)\n"
        "c = rng.uniform(0.0, 10.0, size=(50, 3)); p = np.zeros(50, np.int32)\n"
        "big_edges = np.linspace(0.0, 2.0, 100001)\n"
        "def once():\n"
        f"    {body}\n"
        "for _ in range(50):\n"
        "    once()\n"
        "start = rss_mb()\n"
        "for _ in range(500):\n"
        "    once()\n"
        "print(rss_mb() - start)\n"
    )
    result = run_python(code)
    assert result.returncode == 0, result.stderr
    # A leak of one result per call would be hundreds of megabytes.
    assert float(result.stdout) < 40.0
