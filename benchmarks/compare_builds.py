"""Paired timing of builds of _quor on the workloads of bench_clustered.py.

    python benchmarks/compare_builds.py --builds OLD_DIR,NEW_DIR --workloads small240_r70,hod_r25
        [--full] [--rounds 7] [--threads 1]

On a shared machine whose speed drifts by up to twofold between minutes, timings
taken one after the other compare nothing. Here each build runs in a process of its
own with every workload's catalogue prepared once, and the builds are called in
turn on the same workload, the order reversed every round, so that each round times
them all under the same conditions. Per workload the script prints each build's
fastest call, the median over rounds of its time over the first build's (the figure
to read), and whether every call of every build gave the same counts.

A build is a directory from which `import _quor` finds the module: a build tree, or
a copy of one kept for later comparison. `DIR:NAME=value` sets an environment
variable for that build's process alone, e.g. `build/rel:QUOR_KERNEL=portable`, or
`build/rel:RAYON_NUM_THREADS=2` beside `build/rel` for a paired two-thread scaling. The
name `corrfunc` in place of a directory times Corrfunc (run from an environment that
has it): the ratios to it are then paired too. Its counts come in another form and
are left out of the agreement column, which bench_clustered.py checks bin by bin.
"""
import argparse
import hashlib
import json
import os
import statistics
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
PEER = "corrfunc"


def serve(build, quick, threads):
    """The child: reads workload names, counts each once, prints [seconds, hash of counts]."""
    import time

    sys.path[:0] = [HERE] if build == PEER else [build, HERE]
    import numpy as np

    import bench_clustered

    def prepared(workload):
        if build == PEER:
            return bench_clustered.corrfunc_call(workload, quick, threads)[-1]
        return bench_clustered.quor_call(workload, quick)[-1]

    calls = {}
    print("ready", flush=True)
    for line in sys.stdin:
        workload = line.strip()
        if workload not in calls:
            calls[workload] = prepared(workload)
        t0 = time.perf_counter()
        counts = calls[workload]()
        seconds = time.perf_counter() - t0
        if build == PEER:
            counts = [counts["npairs"]]
        digest = hashlib.md5(b"".join(np.asarray(a).tobytes() for a in counts)).hexdigest()
        print(json.dumps([seconds, digest]), flush=True)


def start(entry, quick, threads):
    build, *settings = entry.split(":")
    env = dict(os.environ, RAYON_NUM_THREADS=str(threads), OMP_NUM_THREADS=str(threads))
    env.update(s.split("=", 1) for s in settings)  # may set the threads of one build
    where = build if build == PEER else os.path.abspath(build)
    child = subprocess.Popen([sys.executable, __file__, "--serve", where, "--threads", str(threads)]
                             + (["--quick"] if quick else []),
                             stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, env=env)
    if child.stdout.readline().strip() != "ready":
        raise SystemExit(f"build {entry} did not start")
    return child


def timed(child, workload):
    child.stdin.write(workload + "\n")
    child.stdin.flush()
    line = child.stdout.readline()
    if not line:
        raise SystemExit(f"a build failed on {workload}")
    return json.loads(line)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--builds", help="comma-separated build directories, the first the reference")
    ap.add_argument("--workloads", help="comma-separated workload names of bench_clustered.py")
    ap.add_argument("--full", action="store_true", help="full-size catalogues (default: quick ones)")
    ap.add_argument("--rounds", type=int, default=7, help="calls per build and workload")
    ap.add_argument("--threads", type=int, default=1)
    ap.add_argument("--serve", help=argparse.SUPPRESS)
    ap.add_argument("--quick", action="store_true", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.serve:
        serve(args.serve, args.quick, args.threads)
        return
    if not args.builds or not args.workloads:
        ap.error("--builds and --workloads are required")

    builds = args.builds.split(",")
    children = [start(b, not args.full, args.threads) for b in builds]
    labels = [":".join([os.path.basename(b.split(":")[0].rstrip("/"))] + b.split(":")[1:]) for b in builds]
    width = max(20, *map(len, labels))
    print(f"{'workload':<20} " + "  ".join(f"{label:>{width}}" for label in labels) + "  counts")
    ours = [b.split(":")[0] != PEER for b in builds]
    for workload in args.workloads.split(","):
        times = [[] for _ in builds]
        digests = set()
        for child in children:
            timed(child, workload)  # prepares the catalogue and starts the pool: not counted
        for r in range(args.rounds):
            order = range(len(builds)) if r % 2 == 0 else reversed(range(len(builds)))
            for i in order:
                seconds, digest = timed(children[i], workload)
                times[i].append(seconds)
                if ours[i]:
                    digests.add(digest)
        cells = []
        for t in times:
            ratio = statistics.median(a / b for a, b in zip(t, times[0]))
            cells.append(f"{min(t):9.4f} ({ratio - 1:+6.1%})")
        same = "same" if len(digests) <= 1 else "DIFFER"
        print(f"{workload:<20} " + "  ".join(f"{c:>{width}}" for c in cells) + f"  {same}", flush=True)
    for child in children:
        child.stdin.close()
        child.wait()


if __name__ == "__main__":
    main()
