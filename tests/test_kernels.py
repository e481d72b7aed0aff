"""Kernel variants (portable, AVX2, AVX-512): the same counts in each, dense clumps
included, and a clear error for a variant that cannot run.

The variant is fixed per process from QUOR_KERNEL, so the comparison between variants
runs each in a child process, which checks through quor.runtime_info() that the variant
asked for is the one that counts; the rest of the suite runs under whichever variant the
environment selects (CI runs it once per variant).
"""
import json
import os
import platform
import subprocess
import sys

import numpy as np
import pytest

import _quor
import quor
from reference import projected_counts, radial_counts, random_catalogue, smu_counts

HERE = os.path.dirname(os.path.abspath(__file__))


def clumpy_catalogue(box, seed):
    """Uniform galaxies plus dense clumps: 300 coincident galaxies, 300 within 1e-3 of a
    point, and a clump straddling a corner of the box, on a grid of 1/8 so that many
    separations sit exactly on edges."""
    rng = np.random.default_rng(seed)
    uniform = np.floor(rng.uniform(0.0, box, size=(700, 3)) * 8) / 8
    coincident = np.tile(rng.uniform(0.0, box, size=3), (300, 1))
    near = rng.uniform(0.0, box, size=3) + rng.uniform(-1e-3, 1e-3, size=(300, 3))
    corner = np.mod(np.floor(rng.normal(0.0, 1.0, size=(300, 3)) * 8) / 8, box)
    coords = np.mod(np.vstack([uniform, coincident, near, corner]), box)
    ids = rng.integers(0, 5, size=len(coords)).astype(np.int32)
    return coords, ids


# r_max 4 in box 40 cuts neighbours to a z window; 12 (above box / 4) folds every pair.
@pytest.mark.parametrize("r_max", [4.0, 12.0], ids=["window", "folded"])
def test_dense_clumps_match_brute_force(r_max):
    box = 40.0
    coords, ids = clumpy_catalogue(box, seed=int(r_max))
    r_bins = np.concatenate([[0.0, 1e-3], np.arange(0.5, r_max + 0.25, 0.5)])
    expected = radial_counts(coords, ids, r_bins, box)
    np.testing.assert_array_equal(_quor.count_pairs_1d(coords, ids, r_bins, box), expected)
    np.testing.assert_array_equal(_quor.count_npoint(coords, ids, r_bins, box, 2)[0], np.stack(expected))
    np.testing.assert_array_equal(_quor.count_pairs_smu(coords, ids, r_bins, 4, 1.0, box),
                                  smu_counts(coords, ids, r_bins, 4, 1.0, box))
    pi_bins = np.arange(0.0, r_max + 0.5, 1.0)
    np.testing.assert_array_equal(_quor.count_pairs_2d(coords, ids, r_bins, pi_bins, box),
                                  projected_counts(coords, ids, r_bins, pi_bins, box))


# The vector bin search keeps the edges of up to 32 bins, or up to 64, in registers;
# more bins take the start table. Edges on the 1/8 grid of the positions put many
# separations exactly on an edge; 64 bins of 1/16 rounded to 1/8 repeat every edge.
@pytest.mark.parametrize("n_bins", [1, 2, 31, 32, 33, 64, 65, 200])
def test_bin_search_depths_match_brute_force(n_bins):
    box, r_max = 20.0, 4.0
    coords, ids = clumpy_catalogue(box, seed=n_bins)
    edges = np.round(np.linspace(0.0, r_max, n_bins + 1) * 8) / 8
    np.testing.assert_array_equal(_quor.count_pairs_1d(coords, ids, edges, box),
                                  radial_counts(coords, ids, edges, box))
    np.testing.assert_array_equal(_quor.count_pairs_smu(coords, ids, edges, 3, 1.0, box),
                                  smu_counts(coords, ids, edges, 3, 1.0, box))
    r_p = np.array([0.0, 0.5, 1.0, 2.0])
    np.testing.assert_array_equal(_quor.count_pairs_2d(coords, ids, r_p, edges, box),
                                  projected_counts(coords, ids, r_p, edges, box))


# Unit pi bins, and bins in steps of any power of two, take the integer part of pi / step
# directly; steps like 0.1 must not, since pi * 10 can round up onto the next edge.
@pytest.mark.parametrize("step", [1.0, 0.25, 0.1, 0.3])
def test_evenly_spaced_pi_bins_match_brute_force(step):
    box = 100.0
    rng = np.random.default_rng(int(step * 100))
    z = np.concatenate([np.arange(60) * 0.1, np.arange(40) * step, rng.uniform(0.0, 6.0, 100)])
    coords = np.column_stack([rng.choice([1.0, 1.5], z.size), np.full(z.size, 2.0), z])
    ids = rng.integers(0, 2, z.size).astype(np.int32)
    pi_bins = np.arange(int(5.0 / step) + 1) * step
    r_p = np.array([0.0, 0.25, 1.0])
    np.testing.assert_array_equal(_quor.count_pairs_2d(coords, ids, r_p, pi_bins, box),
                                  projected_counts(coords, ids, r_p, pi_bins, box))


COUNTS_SCRIPT = """
import os, sys, numpy as np, _quor, quor
assert quor.runtime_info()["kernel"] == os.environ["QUOR_KERNEL"], quor.runtime_info()
sys.path.insert(0, {here!r})
from test_kernels import clumpy_catalogue
out = []
for box, r_max in [(40.0, 4.0), (40.0, 12.0)]:
    c, p = clumpy_catalogue(box, seed=3)
    r = np.geomspace(0.01, r_max, 12)
    out += list(_quor.count_pairs_1d(c, p, r, box))
    out += list(_quor.count_pairs_2d(c, p, r, np.linspace(0.0, r_max, 5), box))
    out += list(_quor.count_pairs_smu(c, p, r, 7, 1.0, box))
    out += list(_quor.count_npoint(c, p, r, box, 2))
np.save(sys.stdout.buffer, np.concatenate([a.ravel() for a in out]))
"""

VARIANTS = ["portable", "avx2", "avx512"]

PROBE_SCRIPT = """
import json, numpy as np, _quor, quor
info = quor.runtime_info()
try:
    _quor.count_pairs_1d(np.zeros((2, 3)), np.zeros(2, np.int32), np.array([0.0, 1.0]), 10.0)
    info["count_error"] = None
except RuntimeError as e:
    info["count_error"] = str(e)
print(json.dumps(info))
"""


def run_child(script, kernel):
    env = dict(os.environ, QUOR_KERNEL=kernel)
    return subprocess.run([sys.executable, "-c", script], capture_output=True, env=env, timeout=300)


def runs_here(kernel):
    """Whether QUOR_KERNEL=kernel runs here: it must then be the variant that counts in
    a child started with it; otherwise the child's counts and runtime_info give the
    documented error, the only sign of a variant that cannot run. A child that fails in
    any other way (a crash, a sanitizer report, another error) fails the test."""
    out = run_child(PROBE_SCRIPT, kernel)
    assert out.returncode == 0, f"QUOR_KERNEL={kernel}: the child failed\n{out.stderr.decode()}"
    info = json.loads(out.stdout)
    if kernel in info["kernels"]:
        assert (info["kernel"], info["kernel_error"], info["count_error"]) == (kernel, None, None)
        return True
    message = f"QUOR_KERNEL={kernel}: this processor or this build cannot run that kernel variant"
    assert (info["kernel"], info["kernel_error"], info["count_error"]) == (None, message, message)
    return False


@pytest.mark.parametrize("kernel", VARIANTS)
def test_variant_asked_for_is_the_variant_that_counts(kernel):
    assert runs_here(kernel) or kernel != "portable"


def processor_flags():
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("flags"):
                return set(line.split(":", 1)[1].split())
    return set()


@pytest.mark.skipif(platform.machine() not in ("x86_64", "AMD64") or not os.path.exists("/proc/cpuinfo"),
                    reason="reads the x86 flags of /proc/cpuinfo")
def test_variants_reported_are_those_the_processor_has():
    # Linux lists a wide-register feature only where it also saves those registers.
    needs = {"avx2": {"avx2", "bmi2", "popcnt"},
             "avx512": {"avx2", "bmi2", "popcnt", "avx512f", "avx512dq", "avx512vl", "avx512bw"}}
    flags = processor_flags()
    expected = ["portable"] + [k for k in ("avx2", "avx512") if needs[k] <= flags]
    assert quor.runtime_info()["kernels"] == expected


def test_every_variant_gives_the_same_counts():
    import io
    results = {}
    for kernel in VARIANTS:
        if not runs_here(kernel):
            continue
        out = run_child(COUNTS_SCRIPT.format(here=HERE), kernel)
        assert out.returncode == 0, out.stderr.decode()
        results[kernel] = np.load(io.BytesIO(out.stdout))
    assert "portable" in results
    for kernel, counts in results.items():
        np.testing.assert_array_equal(counts, results["portable"], err_msg=kernel)
    assert results["portable"].sum() > 0


@pytest.mark.parametrize("value, message", [
    ("sse9", "QUOR_KERNEL='sse9' names no kernel variant: use portable, avx2 or avx512"),
    ("AVX2", "QUOR_KERNEL='AVX2' names no kernel variant: use portable, avx2 or avx512"),
])
def test_unknown_variant_is_a_clear_error_on_every_count(value, message):
    script = ("import numpy as np, _quor\n"
              "args = (np.zeros((2, 3)), np.zeros(2, np.int32), np.array([0.0, 1.0]), 10.0)\n"
              "for _ in range(2):\n"
              "    try:\n"
              "        _quor.count_pairs_1d(*args)\n"
              "    except RuntimeError as e:\n"
              "        print(e)\n")
    out = run_child(script, value)
    assert out.returncode == 0, out.stderr.decode()
    assert out.stdout.decode().splitlines() == [message, message]


def test_empty_variant_selects_the_processor_default():
    script = ("import numpy as np, _quor\n"
              "print(_quor.count_pairs_1d(np.zeros((2, 3)), np.zeros(2, np.int32), np.array([0.0, 1.0]), 10.0)[0])\n")
    out = run_child(script, "")
    assert out.returncode == 0, out.stderr.decode()
    assert out.stdout.decode().strip() == "[1.]"


TINY_STEP_SCRIPT = """
import os, sys, numpy as np, _quor, quor
assert quor.runtime_info()["kernel"] == os.environ["QUOR_KERNEL"], quor.runtime_info()
sys.path.insert(0, {here!r})
from test_kernels import tiny_step_catalogue
from reference import projected_counts, radial_counts, smu_counts
coords, ids, r_bins, pi_bins = tiny_step_catalogue()
r_p = np.linspace(0.0, 1.0, 25)
box = 1.0
checks = [
    (_quor.count_pairs_1d(coords, ids, r_bins, box), radial_counts(coords, ids, r_bins, box)),
    (quor.count_pairs_1d(coords, ids, r_bins, box), radial_counts(coords, ids, r_bins, box)),
    (_quor.count_npoint(coords, ids, r_bins, box, 2)[0], np.stack(radial_counts(coords, ids, r_bins, box))),
    (_quor.count_pairs_2d(coords, ids, r_p, pi_bins, box), projected_counts(coords, ids, r_p, pi_bins, box)),
    (_quor.count_pairs_smu(coords, ids, r_bins, 2, 1.0, box), smu_counts(coords, ids, r_bins, 2, 1.0, box)),
]
wrong = [k for k, (got, expected) in enumerate(checks) if not np.array_equal(got, expected)]
assert all(np.sum(expected) > 0 for _, expected in checks)
print("wrong:", wrong)
"""


def tiny_step_catalogue():
    """Galaxies on a grid of step 2**-537 near the origin, so that squared separations
    are multiples of 2**-1074, and a column along z of step 2**-1074 (coincident in x
    and y); edges 0, h, 2h, ... whose step h has no finite inverse: r edges
    sqrt(k) 2**-537 (squares k 2**-1074) and pi edges k 2**-1074."""
    grid = np.stack(np.meshgrid(*[np.arange(7.0)] * 3, indexing="ij"), -1).reshape(-1, 3) * 2.0**-537
    column = np.zeros((100, 3))
    column[:, 2] = np.arange(100) * 2.0**-1074
    coords = np.vstack([grid, grid[::5], column])
    ids = (np.arange(len(coords)) % 3).astype(np.int32)
    r_bins = np.sqrt(np.arange(2101.0)) * 2.0**-537
    pi_bins = np.arange(101.0) * 2.0**-1074
    return coords, ids, r_bins, pi_bins


@pytest.mark.parametrize("kernel", VARIANTS)
def test_edges_with_tiny_step_match_brute_force(kernel):
    if not runs_here(kernel):
        pytest.skip(f"{kernel} does not run here")
    out = run_child(TINY_STEP_SCRIPT.format(here=HERE), kernel)
    assert out.returncode == 0, out.stderr.decode()
    assert out.stdout.decode().strip() == "wrong: []"
