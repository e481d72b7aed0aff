"""Cost of the quor package over _quor, and how fast Ctrl-C stops a count.

    python benchmarks/bench_package.py [--n 1000000] [--repeat 5]

Times (wall clock and the process's CPU time, all threads) the same in-box float64/int32 catalogue through _quor (GIL held, no polling),
quor without progress, quor with a progress callback, and quor from float32 positions
and int64 ids (one conversion each), alternating the variants so drifting machine load
hits all alike; prints the best and median of each and checks the counts are equal.
Then, in child processes, sends SIGINT 0.5 s into a long pair count and a long group
count and prints the time until KeyboardInterrupt reaches the caller.
"""
import argparse
import json
import statistics
import subprocess
import sys
import time

import numpy as np

import _quor
import quor

LATENCY_CHILD = r"""
import json, os, signal, sys, threading, time
import numpy as np, quor
rng = np.random.default_rng(4)
if sys.argv[1] == "pairs":
    coords = rng.uniform(0, 500, size=(3_000_000, 3)); ids = rng.integers(0, 1000, 3_000_000)
    run = lambda: quor.count_pairs_1d(coords, ids, np.linspace(0, 25, 13), 500.0)
else:
    coords = 50 + rng.normal(0, 0.3, size=(400, 3)); ids = rng.integers(0, 5, 400)
    run = lambda: quor.count_npoint(coords, ids, np.linspace(0, 3, 4), 100.0, 5)
fired = []
def fire():
    time.sleep(float(sys.argv[2])); fired.append(time.perf_counter()); os.kill(os.getpid(), signal.SIGINT)
threading.Thread(target=fire, daemon=True).start()
try:
    run(); print(json.dumps(None))
except KeyboardInterrupt:
    print(json.dumps(time.perf_counter() - fired[0]))
"""


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=1_000_000)
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()

    rng = np.random.default_rng(20261208)
    coords = rng.uniform(0.0, 1000.0, size=(args.n, 3))
    ids = rng.integers(0, args.n // 10 + 1, size=args.n).astype(np.int32)
    edges = np.logspace(-1.0, np.log10(30.0), 21)
    coords32, ids64 = coords.astype(np.float32), ids.astype(np.int64)
    calls = {
        "_quor": lambda: _quor.count_pairs_1d(coords, ids, edges, 1000.0),
        "quor": lambda: quor.count_pairs_1d(coords, ids, edges, 1000.0),
        "quor+callback": lambda: quor.count_pairs_1d(coords, ids, edges, 1000.0,
                                                     progress=lambda d, t: None),
        "quor float32/int64": lambda: quor.count_pairs_1d(coords32, ids64, edges, 1000.0),
    }
    reference = calls["_quor"]()  # also starts the pools and warms the caches
    quor.count_pairs_1d(coords, ids, edges, 1000.0)
    times = {name: [] for name in calls}
    cpu = {name: [] for name in calls}
    for _ in range(args.repeat):
        for name, call in calls.items():
            t0, c0 = time.perf_counter(), time.process_time()
            result = call()
            times[name].append(time.perf_counter() - t0)
            cpu[name].append(time.process_time() - c0)
            if name != "quor float32/int64":  # float32 positions are other positions
                assert all(np.array_equal(a, b) for a, b in zip(result, reference)), name
    print(f"count_pairs_1d, N = {args.n}, box 1000, r_max 30, {args.repeat} rounds")
    base, cpu_base = statistics.median(times["_quor"]), statistics.median(cpu["_quor"])
    for name, ts in times.items():
        med, cpu_med = statistics.median(ts), statistics.median(cpu[name])
        print(f"  {name:20s} wall best {min(ts):6.3f} s median {med:6.3f} s ({med / base - 1:+.1%})"
              f"   cpu median {cpu_med:6.3f} s ({cpu_med / cpu_base - 1:+.1%})")

    for workload in ("pairs", "groups"):
        latencies = []
        for delay in (0.5, 0.8, 1.1):
            out = subprocess.run([sys.executable, "-c", LATENCY_CHILD, workload, str(delay)],
                                 capture_output=True, text=True, check=True)
            latencies.append(json.loads(out.stdout))
        print(f"  Ctrl-C latency, {workload}: " + ", ".join(
            "finished" if t is None else f"{t * 1000:.0f} ms" for t in latencies))


if __name__ == "__main__":
    main()
