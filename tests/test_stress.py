"""Many Python threads counting at once, and counts in forked children: each result
must equal the one a single call gives."""
import hashlib
import os
import subprocess
import sys
import threading

import numpy as np

import _quor
from reference import random_catalogue

HERE = os.path.dirname(os.path.abspath(__file__))


def every_counter(coords, ids):
    """One call of each counter (n-point sizes 2 to 4), as zero-argument callables."""
    r = np.linspace(0.0, 5.0, 6)
    return [
        lambda: _quor.count_pairs_1d(coords, ids, r, 60.0),
        lambda: _quor.count_pairs_2d(coords, ids, r, np.linspace(0.0, 8.0, 5), 60.0),
        lambda: _quor.count_pairs_smu(coords, ids, r, 5, 1.0, 60.0),
        lambda: _quor.count_npoint(coords, ids, r, 60.0, 2),
        lambda: _quor.count_npoint(coords, ids, r, 60.0, 3),
        lambda: _quor.count_npoint_gpu(coords, ids, r, 60.0, 4),
        lambda: _quor.count_npoint3_shape(coords, ids, r, 4, 60.0),
    ]


def digest(result):
    return hashlib.sha256(b"".join(a.tobytes() for a in result)).hexdigest()


def test_eight_threads_at_once():
    coords, ids = random_catalogue(3000, 60.0, 6, seed=21)
    calls = every_counter(coords, ids)
    single = [digest(call()) for call in calls]
    start = threading.Barrier(8)
    got = [[] for _ in range(8)]
    errors = []

    def worker(t):
        try:
            start.wait()
            for k in range(3 * len(calls)):
                j = (t + k) % len(calls)  # threads run different counters at once
                got[t].append((j, digest(calls[j]())))
        except BaseException as e:  # reported below, not lost in the thread
            errors.append(e)

    threads = [threading.Thread(target=worker, args=(t,)) for t in range(8)]
    for th in threads:
        th.start()
    for th in threads:
        th.join(timeout=300)
    assert not errors
    for results in got:
        assert len(results) == 3 * len(calls)
        assert all(d == single[j] for j, d in results)


FORK_CHILD = r"""
import hashlib, json, os, sys
import numpy as np
sys.path.insert(0, sys.argv[1])
import _quor
from reference import random_catalogue
from test_stress import digest, every_counter

coords, ids = random_catalogue(3000, 60.0, 6, seed=22)
calls = every_counter(coords, ids)

def counts():
    return [digest(call()) for call in calls]

def in_child(fn):
    r, w = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(r)
        try:
            out = json.dumps(fn())
        except BaseException as e:
            out = json.dumps(repr(e))
        os.write(w, out.encode())
        os._exit(0)
    os.close(w)
    data = b""
    while True:
        chunk = os.read(r, 1 << 16)
        if not chunk:
            break
        data += chunk
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0, status
    return json.loads(data)

before_pool = in_child(counts)  # no pool in the parent yet
parent = counts()               # starts the parent's pool
after_pool = in_child(counts)
grandchild = in_child(lambda: [counts(), in_child(counts)])
print(json.dumps({"parent": parent, "before_pool": before_pool, "after_pool": after_pool,
                  "grandchild": grandchild, "again": counts()}))
"""


def test_counts_in_forked_children():
    import json

    env = dict(os.environ, RAYON_NUM_THREADS="3")
    out = subprocess.run([sys.executable, "-c", FORK_CHILD, HERE], env=env, capture_output=True,
                         text=True, timeout=300)
    assert out.returncode == 0, out.stderr
    got = json.loads(out.stdout)
    parent = got["parent"]
    assert got["before_pool"] == parent
    assert got["after_pool"] == parent
    assert got["grandchild"] == [parent, parent]
    assert got["again"] == parent
