"""The quor package while it counts: Ctrl-C and signal handlers, other threads, progress."""
import json
import os
import signal
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

import _quor
import quor

CHILD = r"""
import json, os, signal, sys, threading, time
import numpy as np
import _quor, quor

workload, how = sys.argv[1], sys.argv[2]
rng = np.random.default_rng(4)
if workload == "pairs":
    # Many small cells: over 10 s of pair counting on two cores.
    coords = rng.uniform(0, 500, size=(3_000_000, 3))
    ids = rng.integers(0, 1000, size=3_000_000)
    long_count = lambda progress: quor.count_pairs_1d(coords, ids, np.linspace(0, 25, 13), 500.0,
                                                      progress=progress)
    small = lambda mod, c, i: mod.count_pairs_1d(c, i, np.linspace(0, 10, 6), 100.0)
else:
    # One dense clump of 400 galaxies: billions of groups of five, all found from one
    # cell, deep inside the group extension of a few anchors.
    coords = 50 + rng.normal(0, 0.3, size=(400, 3))
    ids = rng.integers(0, 5, size=400)
    long_count = lambda progress: quor.count_npoint(coords, ids, np.linspace(0, 3, 4), 100.0, 5,
                                                    progress=progress)
    small = lambda mod, c, i: mod.count_npoint(c, i, np.linspace(0, 6, 4), 100.0, 4)

class Stop(Exception):
    pass

def raise_stop(signum, frame):
    raise Stop()

sig = signal.SIGINT
if how == "handler":
    sig = signal.SIGUSR1
    signal.signal(sig, raise_stop)

# The signal comes once the counting has begun (the progress callback is called from
# then on), so that the latency is that of the counting loops, whose stop checks it
# measures, not that of the preparation before them.
counting = threading.Event()
fired = []
def fire():
    counting.wait()
    time.sleep(0.2)
    fired.append(time.perf_counter())
    os.kill(os.getpid(), sig)

def seen(done, total):
    out["last_report"] = [done, total]
    counting.set()

threading.Thread(target=fire, daemon=True).start()
out = {}
try:
    long_count(seen)
    out["raised"] = None
except (KeyboardInterrupt, Stop) as exc:
    out["raised"] = type(exc).__name__
    out["latency"] = time.perf_counter() - fired[0]

c = rng.uniform(0, 100, size=(3000, 3))
i = rng.integers(0, 20, size=3000).astype(np.int32)
ours, theirs = small(quor, c, i), small(_quor, c, i)
out["second_equal"] = all(np.array_equal(a, b) for a, b in zip(ours, theirs))
out["second_nonzero"] = bool(theirs[0].any())
print(json.dumps(out))
"""


@pytest.mark.skipif(not hasattr(signal, "SIGUSR1"), reason="POSIX signals")
@pytest.mark.parametrize("workload, how, raised", [
    ("pairs", "sigint", "KeyboardInterrupt"),
    ("groups", "sigint", "KeyboardInterrupt"),
    ("groups", "handler", "Stop"),
])
def test_signal_stops_count(workload, how, raised):
    out = subprocess.run([sys.executable, "-c", CHILD, workload, how], capture_output=True,
                         text=True, timeout=300)
    assert out.returncode == 0, out.stderr
    result = json.loads(out.stdout)
    assert result["raised"] == raised
    # Stopped before the end (the last report shows work left), within a fraction of a
    # second even on a loaded machine: benchmarks/bench_package.py measures the latency.
    done, total = result["last_report"]
    assert done < total
    assert result["latency"] < 0.5
    assert result["second_nonzero"] and result["second_equal"]


def long_catalogue(n=600_000):
    rng = np.random.default_rng(9)
    return rng.uniform(0, 500, size=(n, 3)), rng.integers(0, 100, size=n).astype(np.int32)


def test_other_threads_run_during_count():
    coords, ids = long_catalogue()
    ticks = []
    stop = threading.Event()

    def ticker():
        while not stop.is_set():
            ticks.append(time.perf_counter())
            time.sleep(0.002)

    # Repeat the count until the calls have lasted long enough to tell, however fast the
    # machine; only ticks well inside a call count (its checks in Python hold the GIL for
    # a millisecond or two), not those between calls.
    inside = []
    thread = threading.Thread(target=ticker)
    thread.start()
    try:
        while sum(end - start for start, end in inside) < 0.5 and len(inside) < 100:
            start = time.perf_counter()
            quor.count_pairs_1d(coords, ids, np.linspace(0, 25, 6), 500.0)
            end = time.perf_counter()
            if end - start > 0.05:
                inside.append((start + 0.02, end - 0.01))
    finally:
        stop.set()
        thread.join()
    time_inside = sum(end - start for start, end in inside)
    assert time_inside > 0.3, "counts too short to tell"
    during = [t for t in ticks if any(start < t < end for start, end in inside)]
    # Holding the GIL, the count would leave the ticker no turn at all; a loaded machine
    # may still give it few.
    assert len(during) >= max(10, 0.05 * time_inside / 0.002)


def test_concurrent_calls_from_threads():
    rng = np.random.default_rng(12)
    coords = rng.uniform(0, 100, size=(20_000, 3))
    ids = rng.integers(0, 50, size=20_000).astype(np.int32)
    edges = np.linspace(0, 8, 5)
    calls = [
        ("count_pairs_1d", (coords, ids, edges, 100.0)),
        ("count_pairs_2d", (coords, ids, edges, edges, 100.0)),
        ("count_pairs_smu", (coords, ids, edges, 4, 1.0, 100.0)),
        ("count_npoint", (coords, ids, edges / 2, 100.0, 3)),
        ("count_npoint3_shape", (coords, ids, edges / 2, 3, 100.0)),
    ] * 2
    results = [None] * len(calls)

    def run(k):
        name, args = calls[k]
        results[k] = getattr(quor, name)(*args)

    threads = [threading.Thread(target=run, args=(k,)) for k in range(len(calls))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for (name, args), got in zip(calls, results):
        expected = getattr(_quor, name)(*args)
        assert expected[0].any()
        for a, b in zip(got, expected):
            np.testing.assert_array_equal(a, b)


@pytest.mark.parametrize("counter", ["pairs", "groups"])
def test_progress_callback(counter):
    coords, ids = long_catalogue(300_000)
    seen = []
    if counter == "pairs":
        result = quor.count_pairs_2d(coords, ids, np.linspace(0, 20, 5), np.linspace(0, 20, 3), 500.0,
                                     progress=lambda done, total: seen.append((done, total)))
        expected = _quor.count_pairs_2d(coords, ids, np.linspace(0, 20, 5), np.linspace(0, 20, 3), 500.0)
    else:
        sub = coords[:100_000] / 5
        result = quor.count_npoint(sub, ids[:100_000], np.linspace(0, 3, 4), 100.0, 4,
                                   progress=lambda done, total: seen.append((done, total)))
        expected = _quor.count_npoint(sub, ids[:100_000], np.linspace(0, 3, 4), 100.0, 4)
    for a, b in zip(result, expected):
        np.testing.assert_array_equal(a, b)
    assert len(seen) >= 2
    done, total = np.array(seen).T
    assert (np.diff(done) >= 0).all() and (np.diff(total) >= 0).all() and (done <= total).all()
    assert seen[-1][0] == seen[-1][1] > 0


def rss_mb():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 2**20


ENDLESS_CHILD = r"""
import json, numpy as np, _quor, quor
rng = np.random.default_rng(4)
# Groups of six in one clump of 3000 galaxies: some 1e18 of them, a count no machine
# finishes; it ends only when the error of the progress callback stops it.
coords = 50 + rng.normal(0, 0.3, size=(3000, 3))
ids = rng.integers(0, 5, size=3000)
calls = []
def fail(done, total):
    calls.append(done)
    raise LookupError("stop here")
out = {}
try:
    quor.count_npoint(coords, ids, np.linspace(0, 3, 4), 100.0, 6, progress=fail)
except LookupError as e:
    out["raised"] = str(e)
out["calls"] = len(calls)
small = coords[:2000], ids[:2000]
out["after_equal"] = all(np.array_equal(a, b) for a, b in zip(
    quor.count_pairs_1d(*small, [0, 0.1, 0.2], 100.0),
    _quor.count_pairs_1d(small[0], small[1].astype(np.int32), np.array([0.0, 0.1, 0.2]), 100.0)))
print(json.dumps(out))
"""


def test_progress_callback_error_stops_count():
    # Without the stop the child would count forever: the timeout is only a guard.
    out = subprocess.run([sys.executable, "-c", ENDLESS_CHILD], capture_output=True, text=True,
                         timeout=300)
    assert out.returncode == 0, out.stderr
    assert json.loads(out.stdout) == {"raised": "stop here", "calls": 1, "after_equal": True}


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc/self/statm")
@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", "")
                    and "quarantine_size_mb=0" not in os.environ.get("ASAN_OPTIONS", ""),
                    reason="AddressSanitizer's quarantine grows the resident size")
def test_stopped_counts_free_their_buffers():
    # Each count prepares about 100 MB (positions, cell columns, rows) before it stops.
    coords, ids = long_catalogue(2_000_000)

    def fail(done, total):
        raise LookupError

    def stopped_count():
        with pytest.raises(LookupError):
            quor.count_pairs_1d(coords, ids, np.linspace(0, 40, 6), 500.0, progress=fail)

    stopped_count()
    before = rss_mb()
    for _ in range(5):
        stopped_count()
    # The allocator keeps some freed memory per worker thread; a leak would add ~500 MB.
    assert rss_mb() - before < 150


def test_progress_bar_only_for_long_counts(capfd, monkeypatch):
    pytest.importorskip("tqdm")
    small_coords, small_ids = long_catalogue(2000)
    quor.count_pairs_1d(small_coords, small_ids, [0.0, 5.0], 500.0, progress=True)
    quor.count_pairs_1d(small_coords, small_ids, [0.0, 5.0], 500.0)
    assert capfd.readouterr().err == ""
    # Without the delay, any count shows its bar, and ends it at 100%.
    monkeypatch.setattr(quor._progress, "BAR_DELAY_SECONDS", 0.0)
    quor.count_pairs_1d(small_coords, small_ids, [0.0, 5.0], 500.0, progress=True)
    captured = capfd.readouterr()
    assert "100%" in captured.err and captured.out == ""
