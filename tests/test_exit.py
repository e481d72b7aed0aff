"""Counts still running when the interpreter exits: the process ends normally, whatever
the counter, the thread it runs on and what the count calls back into.

Each case runs in a child process with a bounded wait, so a hang fails instead of
stalling the suite.
"""
import subprocess
import sys

import pytest

CHILD = r"""
import gc, sys, threading, time
import numpy as np
import quor
from quor import _kernels

counter, how = sys.argv[1], sys.argv[2]
rng = np.random.default_rng(5)
if counter in ("npoint", "shape"):
    # A dense clump: billions of groups, minutes of counting.
    coords = 50 + rng.normal(0, 0.4, size=(1500, 3))
    ids = rng.integers(0, 5, size=len(coords))
    r = np.linspace(0, 3, 4)
else:
    # Over ten seconds of pair counting on two cores.
    coords = rng.uniform(0, 500, size=(1_000_000, 3))
    ids = rng.integers(0, 100, size=len(coords))
    r = np.linspace(0, 40, 5)
box = 500.0 if counter not in ("npoint", "shape") else 100.0

def args_of(mod):
    c, i = coords, ids
    if mod is _kernels:
        c, i = np.ascontiguousarray(c, np.float64), i.astype(np.int32)
    return {
        "pairs_1d": ("count_pairs_1d", (c, i, r, box)),
        "pairs_2d": ("count_pairs_2d", (c, i, r, r, box)),
        "pairs_smu": ("count_pairs_smu", (c, i, r, 5, 1.0, box)),
        "npoint": ("count_npoint", (c, i, r, box, 5)),
        "shape": ("count_npoint3_shape", (c, i, r, 4, box)),
    }[counter]

started = threading.Event()
def progress(done, total):
    started.set()
    if how == "slow-progress":
        time.sleep(0.3)  # the interpreter exits while the callback sleeps

def count():
    if how in ("plain", "progress", "slow-progress"):
        name, args = args_of(quor)
        kw = {} if how == "plain" else {"progress": progress}
        getattr(quor, name)(*args, **kw)
    else:  # the private counters with a stop callable and a cap on the workers
        name, args = args_of(_kernels)
        getattr(_kernels, name)(*args, progress, 1, lambda: None)

class SlowToFinalise:
    # Keeps the interpreter finalising for a while: the counting thread then wakes up
    # (from its poll or its callback) while the interpreter ends threads, not after
    # the process is gone. A garbage cycle is finalised by the interpreter's last
    # collection, after it has begun ending other threads.
    def __del__(self, sleep=time.sleep):
        sleep(0.6)

gc.disable()
slow = SlowToFinalise()
slow.cycle = slow
del slow
worker = threading.Thread(target=count, daemon=True)
worker.start()
if how == "plain":
    time.sleep(1.5)
else:
    assert started.wait(60), "the count never reported progress"
print("exiting", flush=True)
"""

COUNTERS = ["pairs_1d", "pairs_2d", "pairs_smu", "npoint", "shape"]


def run_child(*argv, timeout=120):
    try:
        return subprocess.run([sys.executable, "-c", *argv], capture_output=True, text=True,
                              timeout=timeout)
    except subprocess.TimeoutExpired as exc:
        pytest.fail(f"the child did not exit within {timeout} s: {exc.stderr!r}")


@pytest.mark.parametrize("how", ["plain", "progress", "slow-progress", "stop-threads"])
@pytest.mark.parametrize("counter", COUNTERS)
def test_exit_while_counting_in_daemon_thread(counter, how):
    for _ in range(2):
        out = run_child(CHILD, counter, how)
        assert (out.returncode, out.stderr) == (0, ""), out.stderr
        assert out.stdout == "exiting\n"


def test_atexit_may_count_and_join_counting_threads():
    # An exit function registered before quor is imported runs after quor's own: it may
    # still count on the main thread, and may join a thread whose count is under way
    # (the count then ends that thread quietly).
    script = r"""
import atexit, threading, time
import numpy as np
state = {}
def at_exit():
    state["thread"].join(60)
    print("joined", not state["thread"].is_alive())
    print("count", quor.count_pairs_1d(np.zeros((3, 3)), np.zeros(3, int), [0, 1], 10.0)[0][0])
atexit.register(at_exit)
import quor
rng = np.random.default_rng(6)
coords = rng.uniform(0, 500, size=(1_000_000, 3))
started = threading.Event()
state["thread"] = threading.Thread(
    target=lambda: quor.count_pairs_1d(coords, np.zeros(len(coords), int), [0, 40], 500.0,
                                       progress=lambda d, t: started.set()))
state["thread"].daemon = True
state["thread"].start()
started.wait(60)
"""
    out = run_child(script)
    assert (out.returncode, out.stderr) == (0, ""), out.stderr
    assert out.stdout.split("\n") == ["joined True", "count 3.0", ""]
