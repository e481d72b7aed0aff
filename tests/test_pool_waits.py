"""A thread outside the pool that waits for its count sleeps apart from the workers, and
must still be woken when the count ends: counts of every kind (plain, under a control,
the package's input passes, two callers at once) many times over, on pools of 1, 2 and
3 workers, each in a child process that a lost wake-up would leave hanging."""
import json
import os
import subprocess
import sys

import pytest

CHILD = r"""
import json, threading
import numpy as np
import _quor, quor
from quor import _kernels
rng = np.random.default_rng(4)
coords = rng.uniform(0, 40, size=(2000, 3))
ids = rng.integers(0, 3, size=2000).astype(np.int32)
edges = np.linspace(0, 5, 6)
expected = _quor.count_pairs_1d(coords, ids, edges, 40.0)
calls = {
    "plain": lambda: _quor.count_pairs_1d(coords, ids, edges, 40.0),
    "controlled": lambda: _kernels.count_pairs_1d(coords, ids, edges, 40.0, threads=2)[2:4],
    "package": lambda: quor.count_pairs_1d(coords, ids.astype(np.int64) * 7, edges, 40.0),
}
bad = []
for name, call in calls.items():
    for _ in range(60):
        got = call()
        if not all(np.array_equal(a, b) for a, b in zip(got, expected)):
            bad.append(name)
results = []
def caller():
    for _ in range(30):
        results.append(_quor.count_pairs_1d(coords, ids, edges, 40.0))
both = [threading.Thread(target=caller) for _ in range(2)]
for t in both: t.start()
for t in both: t.join()
bad += ["two callers" for r in results if not all(np.array_equal(a, b) for a, b in zip(r, expected))]
print(json.dumps({"bad": bad, "calls": len(results)}))
"""


@pytest.mark.parametrize("workers", [1, 2, 3])
def test_callers_are_woken_when_their_counts_end(workers):
    env = {k: v for k, v in os.environ.items() if not k.startswith(("RAYON_", "QUOR_NUM"))}
    env["RAYON_NUM_THREADS"] = str(workers)
    try:
        out = subprocess.run([sys.executable, "-c", CHILD], env=env, capture_output=True,
                             text=True, timeout=120)
    except subprocess.TimeoutExpired:
        pytest.fail(f"a caller was never woken on a pool of {workers} workers")
    assert out.returncode == 0, out.stderr
    assert json.loads(out.stdout) == {"bad": [], "calls": 60}
