"""Throughput of count_npoint (groups of 2, 3, 4) and count_npoint3_shape, with TreeCorr's
NNNCorrelation as the triplet peer on the same catalogue.

    PYTHONPATH=build/npoint /work/bench-venv/bin/python benchmarks/bench_npoint.py \
        [--n 200000] [--repeat 3] [--threads 1 2] [--peer-n 200000]

N uniform galaxies (seeded) in a box of 500 Mpc/h, r_max = 10 in 10 linear bins from 0,
N / 10 partitions; count_npoint3_shape with 10 ratio bins. Each thread count runs in its
own process (the pool is sized once, from RAYON_NUM_THREADS). Prints groups counted per
second. The peer runs with the interpreter running this script and is skipped when
TreeCorr is not importable there; install it in a separate venv, never as a dependency.

TreeCorr bins triangles by two sides d2, d3 in [0.1, 10) (10 log bins) and the angle
between them (10 bins), periodic metric, bin_slop = 0, so it counts a different (larger)
set of triangles than "all three sides below r_max". Two of its algorithms are timed:
'triangle' (direct enumeration, the analogue of ours) and 'multipole' (its default for this
binning). `--peer-n` times the peer on the first peer-n galaxies when the full catalogue
would take too long; the ratio column compares triangles per second.
"""
import argparse
import json
import os
import subprocess
import sys

import numpy as np

from bench_pairs_1d import best_time
from bench_pairs_1d import catalogue as shared_catalogue

BOX = 500.0
R_MAX = 10.0
N_RATIO = 10
TRIPLET_ROWS = ("count_npoint n_order=3", "count_npoint3_shape")  # compared with the peer


def catalogue(n):
    return shared_catalogue(n, BOX)


def run_quor(n, repeat, threads):
    import _quor

    coords, ids = catalogue(n)
    r_bins = np.linspace(0.0, R_MAX, 11)
    _quor.count_npoint(coords[:1000], ids[:1000], r_bins, BOX, 2)  # start the pool
    out = {}
    for name, fn in [
        ("count_npoint n_order=2", lambda: _quor.count_npoint(coords, ids, r_bins, BOX, 2)),
        ("count_npoint n_order=3", lambda: _quor.count_npoint(coords, ids, r_bins, BOX, 3)),
        ("count_npoint n_order=4", lambda: _quor.count_npoint(coords, ids, r_bins, BOX, 4)),
        ("count_npoint3_shape", lambda: _quor.count_npoint3_shape(coords, ids, r_bins, N_RATIO, BOX)),
    ]:
        seconds, (_, total) = best_time(fn, repeat)
        out[name] = {"seconds": seconds, "groups": float(total.sum()), "n": n}
    return out


def run_treecorr(n, repeat, threads):
    import treecorr

    coords, _ = catalogue(n)
    cat = treecorr.Catalog(x=coords[:, 0], y=coords[:, 1], z=coords[:, 2])
    out = {}
    for algo in ("triangle", "multipole"):
        def count():
            nnn = treecorr.NNNCorrelation(min_sep=0.1, max_sep=R_MAX, nbins=10, nphi_bins=10,
                                          bin_slop=0, metric="Periodic", period=BOX, bin_type="LogSAS")
            nnn.process(cat, num_threads=threads, algo=algo)
            return nnn.ntri.sum()
        seconds, triangles = best_time(count, repeat)
        out[f"TreeCorr NNN {algo}"] = {"seconds": seconds, "groups": float(triangles), "n": n}
    return out


def in_child(kind, n, repeat, threads):
    env = dict(os.environ, RAYON_NUM_THREADS=str(threads), OMP_NUM_THREADS=str(threads))
    cmd = [sys.executable, __file__, "--child", kind, "--n", str(n), "--repeat", str(repeat),
           "--threads", str(threads)]
    out = subprocess.run(cmd, env=env, capture_output=True, text=True)
    if out.returncode != 0:
        return None, out.stderr.strip().splitlines()[-1:] or ["failed"]
    return json.loads(out.stdout.strip().splitlines()[-1]), None


def have_treecorr():
    try:
        import treecorr  # noqa: F401
    except ImportError:
        return False
    return True


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--n", type=int, default=200_000)
    ap.add_argument("--peer-n", type=int, default=None, help="galaxies for the peer (default: --n)")
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--peer-repeat", type=int, default=1)
    ap.add_argument("--threads", type=int, nargs="*", default=[1, 2])
    ap.add_argument("--child", choices=["quor", "treecorr"])
    args = ap.parse_args()

    if args.child:
        run = run_quor if args.child == "quor" else run_treecorr
        print(json.dumps(run(args.n, args.repeat, args.threads[0])))
        return

    peer_n = args.peer_n or args.n
    print(f"N = {args.n}, box {BOX:g}, r_max {R_MAX:g} in 10 bins, {N_RATIO} ratio bins; "
          f"peer on {peer_n} galaxies")
    print(f"{'counter':>26} {'threads':>7} {'N':>8} {'seconds':>9} {'groups':>11} {'groups/s':>10} {'vs peer':>8}")
    for threads in args.threads:
        peer = None
        if have_treecorr():
            peer, err = in_child("treecorr", peer_n, args.peer_repeat, threads)
            if err:
                print(f"{'TreeCorr':>26} {threads:7d}  failed: {err[0]}")
        else:
            print(f"{'TreeCorr':>26} {threads:7d}  skipped: not importable")
        ours, err = in_child("quor", args.n, args.repeat, threads)
        if err:
            raise SystemExit(f"count_npoint failed: {err[0]}")
        peer_rate = None
        if peer:
            peer_rate = {k: v["groups"] / v["seconds"] for k, v in peer.items()}
        for name, res in list((peer or {}).items()) + list(ours.items()):
            rate = res["groups"] / res["seconds"]
            ratio = ""
            if peer_rate and name in TRIPLET_ROWS:
                ratio = " ".join(f"{rate / r:8.1f}" for r in peer_rate.values())
            print(f"{name:>26} {threads:7d} {res['n']:8d} {res['seconds']:9.3f} {res['groups']:11.0f} "
                  f"{rate:10.3g} {ratio}")
    if have_treecorr():
        print("vs peer: triplets per second over TreeCorr's triangles per second, "
              "'triangle' then 'multipole'")


if __name__ == "__main__":
    main()
