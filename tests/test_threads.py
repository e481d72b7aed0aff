"""Threads of quor's pool: the per-call cap (threads=), the variables that size the pool
(QUOR_NUM_THREADS ahead of the RAYON_* names) and the warning for a value that is not a
whole number. Cases that need a pool of a given size run in a child process."""
import json
import os
import subprocess
import sys

import numpy as np
import pytest

import _quor
import quor
from quor import _kernels

POOL = quor.runtime_info()["threads"]


def run_child(script, env_vars, timeout=120):
    env = {k: v for k, v in os.environ.items() if not k.startswith(("RAYON_", "QUOR_NUM"))}
    env.update(env_vars)
    out = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True,
                         timeout=timeout)
    assert out.returncode == 0, out.stderr
    return out


def catalogue():
    rng = np.random.default_rng(21)
    coords = rng.uniform(0, 60, size=(6000, 3))
    return coords, rng.integers(0, 30, size=len(coords))


COUNTERS = {
    "count_pairs_1d": lambda c, i: (c, i, np.linspace(0, 6, 7), 60.0),
    "count_pairs_2d": lambda c, i: (c, i, np.linspace(0, 6, 7), np.linspace(0, 5, 6), 60.0),
    "count_pairs_smu": lambda c, i: (c, i, np.linspace(0, 6, 7), 5, 1.0, 60.0),
    "count_npoint": lambda c, i: (c, i, np.linspace(0, 2, 3), 60.0, 3),
    "count_npoint3_shape": lambda c, i: (c, i, np.linspace(0, 2, 3), 4, 60.0),
}


@pytest.mark.parametrize("name", COUNTERS)
def test_counts_do_not_depend_on_threads(name):
    coords, ids = catalogue()
    args = COUNTERS[name](coords, ids)
    expected = getattr(_quor, name)(np.ascontiguousarray(coords), ids.astype(np.int32),
                                    *[np.asarray(a, float) if isinstance(a, np.ndarray) else a
                                      for a in args[2:]])
    assert expected[0].any()
    for threads in (None, 1, 2, POOL + 1):
        got = getattr(quor, name)(*args, threads=threads)
        for a, b in zip(got, expected):
            np.testing.assert_array_equal(a, b, err_msg=f"threads={threads}")


@pytest.mark.parametrize("threads, error, message", [
    (0, ValueError, "threads must be at least 1, got 0"),
    (-2, ValueError, "threads must be at least 1, got -2"),
    (2.0, TypeError, "threads must be None or an int >= 1, not float"),
    ("2", TypeError, "threads must be None or an int >= 1, not str"),
    (True, TypeError, "threads must be None or an int >= 1, not bool"),
])
def test_bad_threads_name_the_keyword(threads, error, message):
    coords, ids = catalogue()
    for name, args in COUNTERS.items():
        with pytest.raises(error, match=message):
            getattr(quor, name)(*args(coords, ids), threads=threads)


def test_private_counters_check_threads():
    args = (np.zeros((2, 3)), np.zeros(2, np.int32), np.array([0.0, 1.0]), 10.0, None)
    with pytest.raises(ValueError, match="threads must be at least 1"):
        _kernels.count_pairs_1d(*args, 0)
    with pytest.raises(TypeError, match="threads"):
        _kernels.count_pairs_1d(*args, "two")


# The probe sweeps steps that sleep, so every free worker joins in unless the cap stops
# it: it returns how many threads ran pieces (one accumulator each).
CAP_CHILD = r"""
import json, threading
import quor
from quor import _kernels
caps = [None, 1, 2, 3, 5]
alone = {str(c): [_kernels._pool_probe(400, None, c) for _ in range(3)] for c in caps}
# Several counts at once, from several Python threads, each with its own cap.
together = {str(c): [] for c in caps}
def probe(cap):
    for _ in range(3):
        together[str(cap)].append(_kernels._pool_probe(400, None, cap))
threads = [threading.Thread(target=probe, args=(c,)) for c in caps]
for t in threads: t.start()
for t in threads: t.join()
print(json.dumps({"alone": alone, "together": together}))
"""


def test_threads_caps_the_workers_of_a_count():
    out = json.loads(run_child(CAP_CHILD, {"QUOR_NUM_THREADS": "4"}).stdout)
    for runs in out.values():
        for cap, used in runs.items():
            limit = 4 if cap in ("None", "5") else int(cap)
            assert all(1 <= u <= limit for u in used), (cap, used)
    assert out["alone"]["1"] == [1, 1, 1]


POOL_CHILD = r"""
import json, warnings
import numpy as np
with warnings.catch_warnings(record=True) as caught:
    warnings.simplefilter("always")
    import _quor, quor
    info = quor.runtime_info()
    c = np.random.default_rng(0).uniform(0, 10, (50, 3))
    quor.count_pairs_1d(c, np.zeros(50, int), [0, 1], 10.0)
    quor.count_pairs_1d(c, np.zeros(50, int), [0, 1], 10.0)
    _quor.count_pairs_1d(c, np.zeros(50, np.int32), np.array([0.0, 1.0]), 10.0)
print(json.dumps({"threads": info["threads"], "from": info["threads_from"],
                  "unparsed": info["threads_unparsed"],
                  "warnings": [(w.category.__name__, str(w.message)) for w in caught]}))
"""


@pytest.mark.parametrize("env, threads, source, unparsed", [
    ({"QUOR_NUM_THREADS": "3", "RAYON_NUM_THREADS": "2"}, 3, "QUOR_NUM_THREADS", []),
    ({"RAYON_NUM_THREADS": "2", "RAYON_RS_NUM_CPUS": "5"}, 2, "RAYON_NUM_THREADS", []),
    ({"RAYON_RS_NUM_CPUS": "5"}, 5, "RAYON_RS_NUM_CPUS", []),
    ({"QUOR_NUM_THREADS": "three", "RAYON_NUM_THREADS": "2"}, 2, "RAYON_NUM_THREADS",
     ["QUOR_NUM_THREADS"]),
    ({"QUOR_NUM_THREADS": " 3", "RAYON_NUM_THREADS": "x2", "RAYON_RS_NUM_CPUS": "4"}, 4,
     "RAYON_RS_NUM_CPUS", ["QUOR_NUM_THREADS", "RAYON_NUM_THREADS"]),
])
def test_pool_variables_and_the_warning_for_unreadable_ones(env, threads, source, unparsed):
    out = json.loads(run_child(POOL_CHILD, env).stdout)
    assert (out["threads"], out["from"], out["unparsed"]) == (threads, source, unparsed)
    # One warning per unreadable variable, once per process (not per count), naming it
    # and its value; _quor reads the RAYON_* names silently, as it always has.
    assert [w[0] for w in out["warnings"]] == ["UserWarning"] * len(unparsed)
    for name, (_, message) in zip(unparsed, out["warnings"]):
        assert message.startswith(f"{name}={env[name]!r} is not a whole number of threads")
