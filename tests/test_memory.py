"""Memory of a count: histogram copies held to a budget whatever the thread count, and
results too large for the machine refused before counting, naming the argument."""
import json
import os
import subprocess
import sys

import numpy as np
import pytest

import quor
from quor import _kernels

SMALL = np.random.default_rng(3).uniform(0, 10, (50, 3))
IDS = np.zeros(50, int)
HUGE = 10**12  # counts of 10^12 bins and more: terabytes, past any machine's memory


@pytest.mark.parametrize("call, argument", [
    (lambda m, c, i: m.count_npoint(c, i, np.array([0.0, 1, 2]), 10.0, HUGE), f"n_order={HUGE}"),
    (lambda m, c, i: m.count_pairs_smu(c, i, np.array([0.0, 1, 2]), HUGE, 1.0, 10.0),
     f"n_mu_bins={HUGE}"),
    (lambda m, c, i: m.count_npoint3_shape(c, i, np.array([0.0, 1, 2]), HUGE, 10.0),
     f"n_ratio={HUGE}"),
    (lambda m, c, i: m.count_pairs_2d(c, i, np.linspace(0, 1, 100_001), np.linspace(0, 1, 4_000_001), 10.0),
     "pi_bins of 4000001 edges"),
    (lambda m, c, i: m.count_pairs_2d(c, i, np.linspace(0, 1, 4_000_001), np.linspace(0, 1, 300_001), 10.0),
     "r_p_bins of 4000001 edges"),
], ids=["n_order", "n_mu_bins", "n_ratio", "pi_bins", "r_p_bins"])
def test_results_too_large_for_the_machine_name_the_argument(call, argument):
    message = f"^{argument} needs [0-9.e+]+ GB for its counts, more than half of this machine's"
    with pytest.raises(MemoryError, match=message):
        call(quor, SMALL, IDS)
    with pytest.raises(MemoryError, match=message):
        call(_kernels, SMALL, IDS.astype(np.int32))


COPIES_CHILD = r"""
import hashlib, json, resource
import numpy as np, quor
rng = np.random.default_rng(8)
coords = rng.uniform(0, 100, size=(40_000, 3))
ids = rng.integers(0, 50, size=len(coords))
edges = np.linspace(0.0, 10.0, 3001)  # 3000 x 3000 bins: a 144 MB result
quor.count_pairs_1d(coords[:10], ids[:10], [0.0, 1.0], 100.0)  # starts the pool
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
auto, cross = quor.count_pairs_2d(coords, ids, edges, edges, 100.0)
after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print(json.dumps({"peak_mb": (after - before) * 1024 / 1e6, "result_mb": (auto.nbytes + cross.nbytes) / 1e6,
                  "pairs": float(auto.sum() + cross.sum()),
                  "digest": hashlib.sha256(auto.tobytes() + cross.tobytes()).hexdigest()}))
"""


def test_histogram_copies_stay_within_the_budget():
    # Eight workers each keeping a copy of a 144 MB result would peak past 1.1 GB; the
    # budget holds such a count to two copies.
    runs = {}
    for workers in (1, 8):
        env = {k: v for k, v in os.environ.items() if not k.startswith(("RAYON_", "QUOR_NUM"))}
        env["QUOR_NUM_THREADS"] = str(workers)
        out = subprocess.run([sys.executable, "-c", COPIES_CHILD], env=env, capture_output=True,
                             text=True, timeout=300)
        assert out.returncode == 0, out.stderr
        runs[workers] = json.loads(out.stdout)
    assert runs[1]["pairs"] > 0
    assert runs[8]["digest"] == runs[1]["digest"]
    if "libasan" not in os.environ.get("LD_PRELOAD", ""):  # its allocator holds freed memory
        assert runs[8]["peak_mb"] < 2.6 * runs[8]["result_mb"]
