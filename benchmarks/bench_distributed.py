"""quor.distributed: the CPU-time cost of slabs, a 1e8-galaxy count from disk, the cost of
a call on the embedded cluster, and how Ctrl-C ends a count.

    python benchmarks/bench_distributed.py ratio [--n 1000000] [--slabs 8] [--repeat 7]
    python benchmarks/bench_distributed.py big [--n 100000000] [--dir /tmp]
    python benchmarks/bench_distributed.py again [--n 100000] [--repeat 7]
    python benchmarks/bench_distributed.py interrupt [--repeat 3]

`ratio`: N uniform galaxies in a box of 1000 Mpc/h, 20 logarithmic bins from 0.1 to 50,
one quor.count_pairs_1d call against an 8-slab quor.distributed count on a LocalCluster of
two single-thread worker processes (started before timing), as total CPU seconds: the
workers' plus this process's (scheduler, nannies and client). The cluster runs once as a
plain LocalCluster and client, and once as quor.distributed starts its own when given no
client (one worker per core, quiet monitors, rows sent to the workers directly).
Also the kernels alone, in this process: the chunk split and the slab counts.
Each figure is the median of --repeat rounds, and each round times one quor call right
before the count it is compared with. Run with RAYON_NUM_THREADS=1 so both sides count
on one thread.

`big`: N uniform galaxies in a box of 2000 Mpc/h written chunk by chunk to an HDF5 file,
counted r <= 20 (20 logarithmic bins from 0.1) with the embedded default cluster. Reports
wall time, the peak resident memory of the largest worker, the total CPU time, and its
ratio to one quor call on the first N / 10 galaxies. The file is deleted afterwards.

`again`: N uniform galaxies in a box of 1000 Mpc/h, 20 logarithmic bins from 0.1 to 50:
the wall time of quor.count_pairs_1d, of the first quor.distributed.count_pairs_1d call
without a client (which starts the embedded cluster) and of the calls after it (which
reuse it), as medians of --repeat calls; the goal is a later call within 0.3 s of quor's.

`interrupt`: scripts in subprocesses, each sent SIGINT: (a) with a client passed in,
Ctrl-C while a count runs, then the time of the next 20,000-galaxy count on the same
client; (b) without a client, the time from SIGINT to the end of the script and the lines
it printed; (c) SIGINT while the embedded cluster starts: the lines printed, and whether
Dask's exit hook complained. Medians (and the largest line count) of --repeat runs.
"""
import argparse
import os
import resource
import sys
import threading
import time

import numpy as np

CHUNK = 4_000_000


def catalogue(n, box, seed=20261208):
    rng = np.random.default_rng(seed)
    return rng.uniform(0.0, box, size=(n, 3)), rng.integers(0, n // 10 + 1, size=n)


def children_cpu():
    ru = resource.getrusage(resource.RUSAGE_CHILDREN)
    return ru.ru_utime + ru.ru_stime


def count_threads_cpu():
    """CPU seconds of this process's main thread and native threads (the kernels' pool),
    leaving out the Python threads that Dask starts (Linux: from /proc)."""
    helpers = {t.native_id for t in threading.enumerate() if t is not threading.main_thread()}
    total = 0
    for tid in os.listdir("/proc/self/task"):
        if int(tid) not in helpers:
            try:
                with open(f"/proc/self/task/{tid}/schedstat") as f:
                    total += int(f.read().split()[0])  # nanoseconds on a CPU
            except FileNotFoundError:  # a thread that ended meanwhile
                pass
    return total * 1e-9


def ratio(args):
    import distributed

    import quor
    import quor.distributed as qd
    from quor import _kernels
    from quor.distributed import _aligned_faces, _ghost_reach, _split_chunk

    box, r = 1000.0, np.logspace(-1, np.log10(50.0), 21)
    coords, ids = catalogue(args.n, box)
    ids = ids.astype(np.int32)
    expected = quor.count_pairs_1d(coords, ids, r, box)
    ghost = _ghost_reach(r[-1], box)
    # The faces quor.distributed puts on the boundaries of the kernels' cells.
    faces = _aligned_faces(args.slabs, box, ghost, _kernels.pair_grid_columns(args.n, box, r[-1], r[-1]))

    def cpu(fn):
        t = time.process_time()
        fn()
        return time.process_time() - t

    def single():
        """One quor call's CPU time: that of this process without the cluster's threads,
        whose event loops (scheduler, nannies, client) tick on meanwhile."""
        if not os.path.exists("/proc/self/task"):
            return cpu(lambda: quor.count_pairs_1d(coords, ids, r, box))
        t = count_threads_cpu()
        quor.count_pairs_1d(coords, ids, r, box)
        return count_threads_cpu() - t

    def rounds(fn):
        """`repeat` rounds of (one quor call, fn()) back to back: this machine's speed
        drifts by some 10% over minutes, so each figure is compared with the single call
        of its own round. fn returns a tuple of CPU seconds whose sum is its total."""
        out = []
        for _ in range(args.repeat):
            one = single()
            parts = fn()
            out.append((one, *parts, sum(parts) / one))
        return [float(np.median(column)) for column in zip(*out)]

    def kernels():
        """The chunk split and the slab counts, in this process."""
        t = time.process_time()
        pieces = _split_chunk(coords, ids, box, faces, ghost)
        split = time.process_time() - t
        slabs = cpu(lambda: [_kernels.count_pairs_1d_slab(*pieces[s], r, box, faces[s], faces[s + 1], None)
                             for s in range(args.slabs)])
        return split, slabs

    print(f"count_pairs_1d, N = {args.n}, box {box:g}, r <= 50, {args.slabs} slabs; CPU seconds, "
          f"medians of {args.repeat} rounds")
    one, split, slabs, ratio_ = rounds(kernels)
    print(f"  kernels: split {split:.2f} + slabs {slabs:.2f} = {split + slabs:5.2f}   "
          f"one quor call {one:.2f}   ratio {ratio_:.3f}")

    def on_dask(client):
        def count():
            before = sum(client.run(time.process_time).values())
            t = time.process_time()
            got = qd.count_pairs_1d(coords, ids, r, box, client=client, n_slabs=args.slabs)
            own = time.process_time() - t
            workers = sum(client.run(time.process_time).values()) - before
            assert all((a == b).all() for a, b in zip(got, expected))
            return workers, own
        count()  # the workers' first count imports the kernels and warms their heaps
        return rounds(count)

    # A plain LocalCluster and client, and the cluster and client quor.distributed starts
    # for itself when given no client.
    def plain():
        cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, dashboard_address=":0",
                                           env={"RAYON_NUM_THREADS": "1"})
        return cluster, distributed.Client(cluster)

    for name, start in (("plain", plain), ("quor's", qd._own_cluster)):
        cluster, client = start()
        with cluster, client:
            one, workers, own, ratio_ = on_dask(client)
        print(f"  on Dask ({name:6s} cluster): workers {workers:.2f} + client {own:.2f} = "
              f"{workers + own:5.2f}   one quor call {one:.2f}   ratio {ratio_:.3f}")


def big(args):
    import dask.array as da
    import h5py

    import quor
    import quor.distributed as qd

    box, r = 2000.0, np.logspace(-1, np.log10(20.0), 21)
    path = os.path.join(args.dir, "quor_bench_1e8.h5")
    rng = np.random.default_rng(20261208)
    t = time.perf_counter()
    with h5py.File(path, "w") as f:
        pos = f.create_dataset("pos", shape=(args.n, 3), dtype="f8", chunks=(CHUNK // 4, 3))
        halo = f.create_dataset("halo", shape=(args.n,), dtype="i8", chunks=(CHUNK // 4,))
        for a in range(0, args.n, CHUNK):
            b = min(args.n, a + CHUNK)
            pos[a:b] = rng.uniform(0.0, box, size=(b - a, 3))
            halo[a:b] = rng.integers(0, args.n // 10, size=b - a)
    print(f"wrote {args.n} galaxies to {path} in {time.perf_counter() - t:.1f} s")

    try:
        cpu0, own0, wall = children_cpu(), time.process_time(), time.perf_counter()
        with h5py.File(path, "r") as f:
            coords = da.from_array(f["pos"], chunks=(CHUNK, 3))
            ids = da.from_array(f["halo"], chunks=CHUNK)
            auto, cross = qd.count_pairs_1d(coords, ids, r, box, progress=args.progress)
        wall = time.perf_counter() - wall
        cpu = (children_cpu() - cpu0) + (time.process_time() - own0)
        peak = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss / 2**20  # KiB to GiB
        pairs = auto.sum() + cross.sum()

        small = args.n // 10
        with h5py.File(path, "r") as f:
            c, i = f["pos"][:small], f["halo"][:small]
        t = time.process_time()
        a1, c1 = quor.count_pairs_1d(c, i, r, box)
        single = time.process_time() - t
    finally:
        os.remove(path)

    pairs1 = a1.sum() + c1.sum()
    print(f"quor.distributed.count_pairs_1d, N = {args.n}, box {box:g}, r <= 20, embedded cluster")
    print(f"  wall {wall:.1f} s, CPU {cpu:.1f} s, peak worker memory {peak:.2f} GiB, {pairs:.4g} pairs")
    print(f"  one quor call at N = {small}: CPU {single:.2f} s, {pairs1:.4g} pairs")
    print(f"  CPU-time ratio {cpu / single:.1f} for {pairs / pairs1:.1f} times the pairs "
          f"({(cpu / pairs) / (single / pairs1):.2f} times the CPU per pair)")


def again(args):
    import quor
    import quor.distributed as qd

    box, r = 1000.0, np.logspace(-1, np.log10(50.0), 21)
    coords, ids = catalogue(args.n, box)

    def wall(fn):
        t = time.perf_counter()
        fn()
        return time.perf_counter() - t

    single = [wall(lambda: quor.count_pairs_1d(coords, ids, r, box)) for _ in range(args.repeat)]
    first = wall(lambda: qd.count_pairs_1d(coords, ids, r, box))
    later = [wall(lambda: qd.count_pairs_1d(coords, ids, r, box)) for _ in range(args.repeat)]
    getattr(qd, "close", lambda: None)()  # (a version without it closed each call's cluster)
    one, next_ = float(np.median(single)), float(np.median(later))
    print(f"count_pairs_1d, N = {args.n}, box {box:g}, r <= 50; wall seconds, medians of "
          f"{args.repeat}")
    print(f"  quor {one:.3f}   quor.distributed: first call {first:.2f} (starts the cluster), "
          f"later calls {next_:.3f}, {next_ - one:+.3f} against quor")


# The scripts of `interrupt`. Each prints "go" when the moment to send SIGINT has come.
INTERRUPT_PRELUDE = """
import os, sys, threading, time
import numpy as np
import distributed
import quor.distributed as qd
rng = np.random.default_rng(0)
XYZ = rng.uniform(0, 500, (1_000_000, 3))
IDS = rng.integers(0, 1000, 1_000_000)

def running(dask_worker):
    return len(dask_worker.active_threads)

def go_when_running(client_of):
    def watch():
        while True:
            c = client_of()
            if c is not None and any(c.run(running).values()):
                print("go", flush=True)
                return
            time.sleep(0.02)
    threading.Thread(target=watch, daemon=True).start()
"""
INTERRUPT_SCRIPTS = {
    "client": """
with distributed.LocalCluster(n_workers=2, threads_per_worker=1, dashboard_address=":0",
                              env={"QUOR_NUM_THREADS": "1"}) as cluster, distributed.Client(cluster) as client:
    go_when_running(lambda: client)
    try:
        qd.count_pairs_1d(XYZ, IDS, np.linspace(0, 100, 5), 500.0, client=client, n_slabs=4)
    except KeyboardInterrupt:
        pass
    t = time.perf_counter()
    qd.count_pairs_1d(XYZ[:20_000], np.zeros(20_000, int), [0, 10], 500.0, client=client)
    print(f"next {time.perf_counter() - t:.3f}", flush=True)
""",
    "embedded": """
if hasattr(qd, "_embedded"):
    go_when_running(lambda: qd._embedded[1] if qd._embedded else None)
else:  # a version that starts a cluster per call, out of reach: a while after the start
    threading.Timer(10.0, print, ("go",), {"flush": True}).start()
qd.count_pairs_1d(XYZ, IDS, np.linspace(0, 100, 5), 500.0, n_slabs=4)
""",
    "start-up": """
print("go", flush=True)
qd.count_pairs_1d(XYZ[:1000], IDS[:1000], [0, 10], 500.0)
""",
}


def interrupt(args):
    import signal
    import subprocess

    def run(name, delay):
        code = INTERRUPT_PRELUDE + 'if __name__ == "__main__":\n' + "".join(
            "    " + line + "\n" for line in INTERRUPT_SCRIPTS[name].strip().splitlines())
        proc = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, text=True, start_new_session=True)
        assert proc.stdout.readline().strip() == "go"
        time.sleep(delay)
        sent = time.perf_counter()
        proc.send_signal(signal.SIGINT)
        try:
            out, err = proc.communicate(timeout=300)
        finally:
            try:
                os.killpg(proc.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        return time.perf_counter() - sent, out, err

    print(f"Ctrl-C during a distributed count; medians of {args.repeat} runs")
    rows = {"client": [], "embedded": [], "start-up": []}
    for _ in range(args.repeat):
        _, out, err = run("client", 0.5)
        nxt = [float(w.split()[1]) for w in out.splitlines() if w.startswith("next")]
        rows["client"].append((nxt[0] if nxt else float("nan"), len(err.splitlines())))
        ended, _, err = run("embedded", 0.5)
        rows["embedded"].append((ended, len(err.splitlines())))
        ended, _, err = run("start-up", 0.3)
        rows["start-up"].append((ended, len(err.splitlines()), "Exception ignored" in err))
    nxt, lines = zip(*rows["client"])
    print(f"  client passed in: next 20k count {np.median(nxt):.2f} s, stderr lines {max(lines)}")
    ended, lines = zip(*rows["embedded"])
    print(f"  client=None: script ended {np.median(ended):.2f} s after SIGINT, stderr lines "
          f"{max(lines)} (one traceback: about 20)")
    ended, lines, ignored = zip(*rows["start-up"])
    print(f"  SIGINT in the start-up: script ended {np.median(ended):.2f} s after, stderr lines "
          f"{max(lines)}, 'Exception ignored' in {sum(ignored)} of {len(ignored)}")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("what", choices=["ratio", "big", "again", "interrupt"])
    ap.add_argument("--n", type=int)
    ap.add_argument("--slabs", type=int, default=8)
    ap.add_argument("--repeat", type=int)
    ap.add_argument("--dir", default="/tmp")
    ap.add_argument("--progress", action="store_true")
    args = ap.parse_args()
    if args.what in ("ratio", "again"):
        args.repeat = args.repeat or 7
    if args.what == "ratio":
        args.n = args.n or 1_000_000
        ratio(args)
    elif args.what == "again":
        args.n = args.n or 100_000
        again(args)
    elif args.what == "interrupt":
        args.repeat = args.repeat or 3
        interrupt(args)
    else:
        args.n = args.n or 100_000_000
        big(args)


if __name__ == "__main__":
    sys.exit(main())
