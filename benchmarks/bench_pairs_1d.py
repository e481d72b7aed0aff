"""Throughput of count_pairs_1d against peer pair counters on the same catalogue.

    python benchmarks/bench_pairs_1d.py [--n 1000000] [--repeat 3]

N uniform galaxies in a box of 1000 Mpc/h, 20 logarithmic bins from 0.1 to r_max, for
r_max = 20 and 50, against scipy's cKDTree (one thread) and, where it is installed,
Corrfunc's periodic DD with the same thread count. Each thread count runs in its own process (the pool is sized once,
from RAYON_NUM_THREADS). Prints pairs counted per second and the ratio to the peer.
"""
import argparse
import json
import os
import subprocess
import sys
import time

import numpy as np

BOX = 1000.0


def catalogue(n, box=BOX):
    """Seeded uniform positions in [0, box) and ids of about ten galaxies each."""
    rng = np.random.default_rng(20261208)
    coords = rng.uniform(0.0, box, size=(n, 3))
    ids = rng.integers(0, n // 10 + 1, size=n).astype(np.int32)
    return coords, ids


def r_bins(r_max):
    return np.logspace(-1.0, np.log10(r_max), 21)


def best_time(fn, repeat):
    best, result = float("inf"), None
    for _ in range(repeat):
        t0 = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - t0)
    return best, result


def run_quor(n, r_max, repeat):
    import _quor

    coords, ids = catalogue(n)
    bins = r_bins(r_max)
    _quor.count_pairs_1d(coords[:1000], ids[:1000], bins, BOX)  # start the pool
    t, (auto, cross) = best_time(lambda: _quor.count_pairs_1d(coords, ids, bins, BOX), repeat)
    return {"seconds": t, "pairs": float(auto.sum() + cross.sum())}


def run_kdtree(n, r_max, repeat):
    from scipy.spatial import cKDTree

    coords, _ = catalogue(n)
    bins = r_bins(r_max)

    def count():
        tree = cKDTree(coords, boxsize=BOX)
        # Ordered pairs with bins[0] < r <= bins[-1]; halve for unordered pairs.
        return tree.count_neighbors(tree, bins, cumulative=False)[1:].sum() / 2

    t, pairs = best_time(count, repeat)
    return {"seconds": t, "pairs": float(pairs)}


def run_corrfunc(n, r_max, repeat):
    import os

    from Corrfunc.theory import DD

    coords, _ = catalogue(n)
    x, y, z = (np.ascontiguousarray(coords[:, k]) for k in range(3))
    bins = r_bins(r_max)
    threads = int(os.environ["RAYON_NUM_THREADS"])

    def count():
        res = DD(1, threads, bins, x, y, z, periodic=True, boxsize=BOX)
        return res["npairs"].sum() / 2  # ordered pairs; halve for unordered ones

    t, pairs = best_time(count, repeat)
    return {"seconds": t, "pairs": float(pairs)}


def in_child(kind, n, r_max, repeat, threads):
    env = dict(os.environ, RAYON_NUM_THREADS=str(threads))
    cmd = [sys.executable, __file__, "--child", kind, "--n", str(n), "--r-max", str(r_max),
           "--repeat", str(repeat)]
    out = subprocess.run(cmd, env=env, capture_output=True, text=True, check=True)
    return json.loads(out.stdout.strip().splitlines()[-1])


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--n", type=int, default=1_000_000)
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--r-max", type=float, nargs="*", default=[20.0, 50.0])
    ap.add_argument("--threads", type=int, nargs="*", default=[1, 2])
    ap.add_argument("--child", choices=["quor", "kdtree", "corrfunc"])
    args = ap.parse_args()

    if args.child:
        run = {"quor": run_quor, "kdtree": run_kdtree, "corrfunc": run_corrfunc}[args.child]
        print(json.dumps(run(args.n, args.r_max[0], args.repeat)))
        return

    print(f"count_pairs_1d, N = {args.n}, box {BOX:g}, 20 log bins from 0.1 to r_max")
    print(f"{'r_max':>6} {'counter':>22} {'threads':>7} {'seconds':>9} {'pairs/s':>10} {'vs peer':>8}")
    for r_max in args.r_max:
        try:
            peer = in_child("kdtree", args.n, r_max, 1, 1)
        except subprocess.CalledProcessError:
            peer = None
        if peer:
            rate = peer["pairs"] / peer["seconds"]
            print(f"{r_max:6g} {'scipy cKDTree':>22} {1:7d} {peer['seconds']:9.3f} {rate:10.3g} {'1.00':>8}")
        for threads in args.threads:
            try:
                cf = in_child("corrfunc", args.n, r_max, args.repeat, threads)
                rate = cf["pairs"] / cf["seconds"]
                print(f"{r_max:6g} {'Corrfunc DD':>22} {threads:7d} {cf['seconds']:9.3f} {rate:10.3g}")
            except subprocess.CalledProcessError:
                cf = None
            res = in_child("quor", args.n, r_max, args.repeat, threads)
            rate = res["pairs"] / res["seconds"]
            ratio = f"{peer['seconds'] / res['seconds']:8.2f}" if peer else "     n/a"
            print(f"{r_max:6g} {'_quor.count_pairs_1d':>22} {threads:7d} {res['seconds']:9.3f} {rate:10.3g} {ratio}")
            if cf:
                print(f"{'':>6} {'speed-up over Corrfunc':>22} {threads:7d} {cf['seconds'] / res['seconds']:9.2f}")
            if peer and res["pairs"] != peer["pairs"]:
                print(f"       note: pair totals differ ({res['pairs']:.0f} vs {peer['pairs']:.0f})")


if __name__ == "__main__":
    main()
