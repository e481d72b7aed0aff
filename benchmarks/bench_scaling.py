"""Two-thread scaling of the pair-count rows, for one build or several side by side.

    /work/bench-venv/bin/python benchmarks/bench_scaling.py --build build/rel \
        [--build build/base] [--rounds 3] [--repeat 1] [--threads 1,2] \
        [--workload 'uniform_r20' --workload 'cross_r20' ...] [--quick]

The rows are those of bench_clustered.py and bench_cross_weights.py (a name is looked
up in both), timed by those scripts' own child processes, so each build, row and thread
count runs in a process of its own with the pool sized from RAYON_NUM_THREADS. Only
quor is timed. The machine is shared: rather than one long run per build, --rounds
rounds each run every build at every thread count in turn, and the best of all calls
is kept, so that load which comes and goes hits the builds and thread counts alike.
The table gives each build's best time per thread count and the 1-thread time over
the time at each larger count; the load average is printed before and after.
"""
import argparse
import fnmatch
import json
import os
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import bench_clustered  # noqa: E402
import bench_cross_weights  # noqa: E402


def script_of(workload):
    if workload in bench_clustered.WORKLOADS:
        return HERE / "bench_clustered.py"
    return HERE / "bench_cross_weights.py"


def child_seconds(build, workload, threads, repeat, quick):
    """The best of `repeat` calls of one row in a fresh process on `build`."""
    env = dict(os.environ, PYTHONPATH=str(Path(build).resolve()),
               RAYON_NUM_THREADS=str(threads), QUOR_NUM_THREADS=str(threads),
               OMP_NUM_THREADS=str(threads))
    cmd = [sys.executable, str(script_of(workload)), "--child", "quor", "--workload", workload,
           "--repeat", str(repeat), "--threads", str(threads)] + (["--quick"] if quick else [])
    out = subprocess.run(cmd, env=env, capture_output=True, text=True)
    if out.returncode != 0:
        raise SystemExit(f"{workload} on {build}: {(out.stderr.strip().splitlines() or ['failed'])[-1]}")
    res = json.loads(out.stdout.strip().splitlines()[-1])
    return res["seconds"] if "seconds" in res else min(res["times"])


def load_average():
    return " ".join(f"{x:.2f}" for x in os.getloadavg())


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--build", action="append", required=True, help="build directory (may repeat)")
    ap.add_argument("--workload", action="append", default=None, help="row name or glob (may repeat)")
    ap.add_argument("--threads", default="1,2", help="comma-separated thread counts, 1 first")
    ap.add_argument("--rounds", type=int, default=3, help="rounds over builds and thread counts")
    ap.add_argument("--repeat", type=int, default=1, help="calls per process")
    ap.add_argument("--quick", action="store_true", help="the scripts' tenfold smaller catalogues")
    args = ap.parse_args()
    threads = [int(t) for t in args.threads.split(",")]
    known = list(bench_clustered.WORKLOADS) + list(bench_cross_weights.WORKLOADS)
    patterns = args.workload or ["uniform_r20"]
    workloads = [w for w in known if any(fnmatch.fnmatch(w, p) for p in patterns)]
    if not workloads:
        raise SystemExit(f"no row matches {patterns}")

    print(f"load average before: {load_average()}; best of {args.rounds} rounds x {args.repeat} calls")
    head = f"{'row':<19} {'build':<12}" + "".join(f" {f'{t} thr s':>9}" for t in threads) + \
        "".join(f" {f'1/{t}':>6}" for t in threads[1:])
    print(head)
    print("-" * len(head), flush=True)
    for workload in workloads:
        best = {(b, t): float("inf") for b in args.build for t in threads}
        for _ in range(args.rounds):
            for build in args.build:
                for t in threads:
                    s = child_seconds(build, workload, t, args.repeat, args.quick)
                    best[build, t] = min(best[build, t], s)
        for build in args.build:
            times = [best[build, t] for t in threads]
            line = f"{workload:<19} {Path(build).name:<12}" + "".join(f" {s:9.3f}" for s in times)
            line += "".join(f" {times[0] / s:6.2f}" for s in times[1:])
            print(line, flush=True)
    print(f"load average after: {load_average()}")


if __name__ == "__main__":
    main()
