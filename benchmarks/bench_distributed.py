"""quor.distributed: the CPU-time cost of slabs, and a 1e8-galaxy count from disk.

    python benchmarks/bench_distributed.py ratio [--n 1000000] [--slabs 8] [--repeat 3]
    python benchmarks/bench_distributed.py big [--n 100000000] [--dir /tmp]

`ratio`: N uniform galaxies in a box of 1000 Mpc/h, 20 logarithmic bins from 0.1 to 50,
one quor.count_pairs_1d call against an 8-slab quor.distributed count on a LocalCluster of
two single-thread worker processes (started before timing), as total CPU seconds: the
workers' plus this process's (scheduler and client). The cluster runs once as a plain
LocalCluster and client, and once as quor.distributed starts its own when given no
client (one worker per core, no profiler, a slow loop health check, rows sent to the
workers directly).
Also the kernels alone, in this process: the chunk split and the slab counts, against
the single call. Each figure is the least of --repeat runs. Run with RAYON_NUM_THREADS=1
so both sides count on one thread.

`big`: N uniform galaxies in a box of 2000 Mpc/h written chunk by chunk to an HDF5 file,
counted r <= 20 (20 logarithmic bins from 0.1) with the embedded default cluster. Reports
wall time, the peak resident memory of the largest worker, the total CPU time, and its
ratio to one quor call on the first N / 10 galaxies. The file is deleted afterwards.
"""
import argparse
import os
import resource
import sys
import time

import numpy as np

CHUNK = 4_000_000


def catalogue(n, box, seed=20261208):
    rng = np.random.default_rng(seed)
    return rng.uniform(0.0, box, size=(n, 3)), rng.integers(0, n // 10 + 1, size=n)


def children_cpu():
    ru = resource.getrusage(resource.RUSAGE_CHILDREN)
    return ru.ru_utime + ru.ru_stime


def ratio(args):
    import distributed

    import quor
    import quor.distributed as qd
    from quor import _kernels
    from quor.distributed import _ghost_reach, _slab_edges, _split_chunk

    box, r = 1000.0, np.logspace(-1, np.log10(50.0), 21)
    coords, ids = catalogue(args.n, box)
    ids = ids.astype(np.int32)
    quor.count_pairs_1d(coords[:1000], ids[:1000], r, box)

    def cpu(fn):
        """The least CPU time of `repeat` runs (the machine may be shared), and the result."""
        best, result = float("inf"), None
        for _ in range(args.repeat):
            t = time.process_time()
            result = fn()
            best = min(best, time.process_time() - t)
        return best, result

    single, expected = cpu(lambda: quor.count_pairs_1d(coords, ids, r, box))

    # The kernels alone, in this process.
    faces = _slab_edges(args.slabs, box)
    split, pieces = cpu(lambda: _split_chunk(coords, ids, box, faces, _ghost_reach(r[-1], box)))
    slabs, _ = cpu(lambda: [_kernels.count_pairs_1d_slab(*pieces[s], r, box, faces[s], faces[s + 1], None)
                            for s in range(args.slabs)])
    del pieces

    print(f"count_pairs_1d, N = {args.n}, box {box:g}, r <= 50, {args.slabs} slabs; CPU seconds")
    print(f"  one quor call             {single:8.2f}")
    print(f"  kernels: split {split:.2f} + slabs {slabs:.2f} = {split + slabs:8.2f}   "
          f"ratio {(split + slabs) / single:.3f}")

    def on_dask(client):
        """The least CPU time of `repeat` counts: workers, this process, and the wall time."""
        best = None
        for _ in range(args.repeat):
            before = sum(client.run(time.process_time).values())
            t, wall = time.process_time(), time.perf_counter()
            got = qd.count_pairs_1d(coords, ids, r, box, client=client, n_slabs=args.slabs)
            own, wall = time.process_time() - t, time.perf_counter() - wall
            workers = sum(client.run(time.process_time).values()) - before
            assert all((a == b).all() for a, b in zip(got, expected))
            if best is None or workers + own < sum(best[:2]):
                best = (workers, own, wall)
        return best

    # A plain LocalCluster and client, and the cluster and client quor.distributed starts
    # for itself when given no client.
    def plain():
        cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, dashboard_address=":0",
                                           env={"RAYON_NUM_THREADS": "1"})
        return cluster, distributed.Client(cluster)

    for name, start in (("plain", plain), ("quor's", qd._own_cluster)):
        cluster, client = start()
        with cluster, client:
            client.run(lambda: __import__("quor._kernels"))
            workers, own, wall = on_dask(client)
        print(f"  on Dask ({name:6s} cluster): workers {workers:.2f} + client {own:.2f} = "
              f"{workers + own:8.2f}   ratio {(workers + own) / single:.3f}   (wall {wall:.2f} s)")


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


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("what", choices=["ratio", "big"])
    ap.add_argument("--n", type=int)
    ap.add_argument("--slabs", type=int, default=8)
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--dir", default="/tmp")
    ap.add_argument("--progress", action="store_true")
    args = ap.parse_args()
    if args.what == "ratio":
        args.n = args.n or 1_000_000
        ratio(args)
    else:
        args.n = args.n or 100_000_000
        big(args)


if __name__ == "__main__":
    sys.exit(main())
