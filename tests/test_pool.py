"""Worker-pool sizing from the environment, each case in a fresh process."""
import json
import os
import subprocess
import sys

import numpy as np
import pytest

CHILD = r"""
import json, os, sys
import numpy as np
import _quor
def threads():
    return len(os.listdir("/proc/self/task"))
rng = np.random.default_rng(2)
coords = rng.uniform(0, 50, size=(3000, 3))
ids = rng.integers(0, 5, size=3000).astype(np.int32)
before = threads()
first = _quor.count_pairs_1d(coords, ids, np.linspace(0, 8, 9), 50.0)
started = threads() - before
os.environ["RAYON_NUM_THREADS"] = "1"
second = _quor.count_pairs_1d(coords, ids, np.linspace(0, 8, 9), 50.0)
print(json.dumps({"workers": started, "after": threads() - before,
                  "counts": [first[0].tolist(), first[1].tolist()],
                  "again": [second[0].tolist(), second[1].tolist()]}))
"""


def run_child(env_vars):
    env = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
    env.update(env_vars)
    out = subprocess.run([sys.executable, "-c", CHILD], env=env, capture_output=True,
                         text=True, check=True)
    return json.loads(out.stdout)


def default_workers():
    return len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()


pytestmark = pytest.mark.skipif(not os.path.isdir("/proc/self/task"),
                                reason="thread count read from /proc")


@pytest.mark.parametrize("env, workers", [
    ({"RAYON_NUM_THREADS": "4"}, 4),
    ({"RAYON_NUM_THREADS": "+4"}, 4),
    ({"RAYON_NUM_THREADS": "0"}, None),
    ({"RAYON_NUM_THREADS": "-1", "RAYON_RS_NUM_CPUS": "3"}, 3),
    ({"RAYON_NUM_THREADS": "four", "RAYON_RS_NUM_CPUS": "3"}, 3),
    ({"RAYON_NUM_THREADS": " 4", "RAYON_RS_NUM_CPUS": "3"}, 3),
    ({"RAYON_NUM_THREADS": "", "RAYON_RS_NUM_CPUS": "3"}, 3),
    ({"RAYON_NUM_THREADS": "+", "RAYON_RS_NUM_CPUS": "3"}, 3),
    ({"RAYON_NUM_THREADS": "99999999999999999999", "RAYON_RS_NUM_CPUS": "3"}, 3),
    ({"RAYON_RS_NUM_CPUS": "2"}, 2),
    ({"RAYON_NUM_THREADS": "0", "RAYON_RS_NUM_CPUS": "5"}, None),
    ({"RAYON_NUM_THREADS": "x", "RAYON_RS_NUM_CPUS": "y"}, None),
    ({}, None),
])
def test_worker_count(env, workers):
    got = run_child(env)
    assert got["workers"] == (workers or default_workers())
    # The pool is made once: changing the variable later starts no threads.
    assert got["after"] == got["workers"]
    assert got["again"] == got["counts"]


def test_counts_do_not_depend_on_worker_count():
    results = [run_child({"RAYON_NUM_THREADS": str(w)})["counts"] for w in (1, 2, 3, 7)]
    assert all(r == results[0] for r in results)
    assert sum(results[0][0]) > 0


def test_fork_child_gets_its_own_pool():
    # Each generation forks the next right after its first count, while the workers of
    # its new pool may still be starting up: the fork must wait for them, or the child
    # can inherit a lock (of the allocator, say) that no thread of its own will release.
    code = r"""
import os, numpy as np, _quor
c = np.random.default_rng(0).uniform(0, 20, (500, 3)); p = np.zeros(500, np.int32)
bins = np.array([0., 2., 4.])
def generation(expected, left):
    counts = _quor.count_pairs_1d(c, p, bins, 20.0)  # starts this process's pool
    if expected is not None and not np.array_equal(counts[0], expected):
        return 3
    if left == 0:
        return 0
    pid = os.fork()
    if pid == 0:
        os._exit(generation(counts[0], left - 1))
    _, status = os.waitpid(pid, 0)
    return os.waitstatus_to_exitcode(status)
print(generation(None, 12))
"""
    env = dict(os.environ, RAYON_NUM_THREADS="2")
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True,
                         text=True, timeout=60)
    assert out.stdout.strip() == "0", out.stderr


FORK_DURING_COUNT = r"""
import json, os, threading, time
import numpy as np, quor
rng = np.random.default_rng(1)
coords = rng.uniform(0, 100, (400_000, 3)); ids = rng.integers(0, 9, 400_000)
bins = np.linspace(0.1, 12, 13)
counting, ended = threading.Event(), {}
def count():
    quor.count_pairs_1d(coords, ids, bins, 100.0, progress=lambda done, total: counting.set())
    ended["at"] = time.perf_counter()
worker = threading.Thread(target=count)
worker.start()
counting.wait()
start = time.perf_counter()
pid = os.fork()
if pid == 0:
    small = quor.count_pairs_1d(coords[:2000], ids[:2000], bins, 100.0)
    os._exit(0 if small.auto.sum() + small.cross.sum() > 0 else 3)
forked = time.perf_counter()
_, status = os.waitpid(pid, 0)
worker.join()
print(json.dumps({"child": os.waitstatus_to_exitcode(status),
                  "fork_s": forked - start, "count_left_s": ended["at"] - start}))
"""


def test_fork_waits_for_a_count_under_way():
    # A thread counts while another forks: the fork returns once the workers are done,
    # so that the child inherits no lock held mid-count. The child counts on its own pool.
    env = dict(os.environ, RAYON_NUM_THREADS="2")
    out = subprocess.run([sys.executable, "-c", FORK_DURING_COUNT], env=env,
                         capture_output=True, text=True, timeout=300)
    assert out.returncode == 0, out.stderr
    run = json.loads(out.stdout)
    assert run["child"] == 0
    assert run["fork_s"] >= 0.5 * run["count_left_s"], run


MEMORY_CHILD = r"""
import hashlib, json, resource
import numpy as np, _quor
rng = np.random.default_rng(3)
coords = rng.uniform(0, 100, size=(20000, 3))
ids = rng.integers(0, 4, size=20000).astype(np.int32)
s_bins = np.array([0.0, 5.0])
_quor.count_pairs_smu(coords[:10], ids[:10], s_bins, 1, 1.0, 100.0)  # starts the pool
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
auto, cross = _quor.count_pairs_smu(coords, ids, s_bins, 4_000_000, 1.0, 100.0)
after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print(json.dumps({"growth_mib": (after - before) / 1024, "pairs": float(auto.sum() + cross.sum()),
                  "digest": hashlib.sha256(auto.tobytes() + cross.tobytes()).hexdigest()}))
"""


def test_large_histograms_cost_one_per_worker():
    # A 64 MiB (auto + cross) result: each worker that counts holds one histogram of
    # that size, whatever the number of pieces the sweep is cut into.
    result_mib = 2 * 4_000_000 * 8 / 2**20
    runs = {}
    for workers in (1, 4):
        env = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
        env["RAYON_NUM_THREADS"] = str(workers)
        out = subprocess.run([sys.executable, "-c", MEMORY_CHILD], env=env, capture_output=True,
                             text=True, check=True)
        runs[workers] = json.loads(out.stdout)
    assert runs[1]["pairs"] > 0
    assert runs[4]["digest"] == runs[1]["digest"]
    if "libasan" not in os.environ.get("LD_PRELOAD", ""):  # its allocator holds freed memory
        assert runs[4]["growth_mib"] < (4 + 1) * result_mib + 32
