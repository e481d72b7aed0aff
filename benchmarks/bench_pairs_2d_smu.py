"""Throughput of count_pairs_2d and count_pairs_smu against Corrfunc's DDrppi and DDsmu.

    python benchmarks/bench_pairs_2d_smu.py [--n 1000000] [--repeat 3] [--threads 1 2]

With the peer, from a separate environment that sees the built module:

    python -m venv /work/bench-venv --system-site-packages
    /work/bench-venv/bin/pip install Corrfunc        # needs GSL (libgsl-dev) to build
    PYTHONPATH=<build dir> /work/bench-venv/bin/python benchmarks/bench_pairs_2d_smu.py

The catalogue of bench_pairs_1d.py: N uniform galaxies in a box of 1000 Mpc/h.
(r_p, pi): 20 logarithmic r_p bins from 0.1 to 20 and 40 pi bins of width 1 up to 40.
(s, mu): 20 logarithmic s bins from 0.1 to 20, 10 mu bins up to mu_max 1.
Each counter and thread count runs in its own process (the pool is sized once, from
RAYON_NUM_THREADS; Corrfunc takes nthreads). Prints pairs counted per second and the
peer's time over ours. Corrfunc is skipped when it cannot be imported; it is never a
dependency of this package.
"""
import argparse
import json
import os
import subprocess
import sys

import numpy as np

from bench_pairs_1d import BOX, best_time, catalogue

PI_MAX = 40
MU_MAX = 1.0
N_MU = 10


def sep_bins():
    return np.logspace(-1.0, np.log10(20.0), 21)


# The same pairs on both sides: Corrfunc bins pi in int(pimax) bins of width 1 from 0,
# which are our pi_bins 0, 1, ..., 40; both bin r_p and s through their squares on
# half-open bins, and its mu bins are nmu_bins equal steps of [0, mu_max). Its
# autocorrelation counts every unordered pair twice, so its totals are halved.
def pi_bins():
    return np.arange(PI_MAX + 1, dtype=np.float64)


def run_quor(kind, n, repeat):
    import _quor

    coords, ids = catalogue(n)
    bins = sep_bins()
    if kind == "2d":
        pib = pi_bins()
        call = lambda: _quor.count_pairs_2d(coords, ids, bins, pib, BOX)
    else:
        call = lambda: _quor.count_pairs_smu(coords, ids, bins, N_MU, MU_MAX, BOX)
    _quor.count_pairs_1d(coords[:1000], ids[:1000], bins, BOX)  # start the pool
    t, (auto, cross) = best_time(call, repeat)
    return {"seconds": t, "pairs": float(auto.sum() + cross.sum())}


def run_corrfunc(kind, n, repeat, threads):
    from Corrfunc.theory import DDrppi, DDsmu

    coords, _ = catalogue(n)
    x, y, z = (np.ascontiguousarray(coords[:, k]) for k in range(3))
    bins = sep_bins()
    if kind == "2d":
        call = lambda: DDrppi(True, threads, PI_MAX, bins, x, y, z, periodic=True, boxsize=BOX)
    else:
        call = lambda: DDsmu(True, threads, bins, MU_MAX, N_MU, x, y, z, periodic=True,
                             boxsize=BOX)
    t, res = best_time(call, repeat)
    return {"seconds": t, "pairs": float(res["npairs"].sum()) / 2}


def in_child(counter, kind, n, repeat, threads):
    env = dict(os.environ, RAYON_NUM_THREADS=str(threads))
    cmd = [sys.executable, __file__, "--child", counter, kind, "--n", str(n),
           "--repeat", str(repeat), "--threads", str(threads)]
    out = subprocess.run(cmd, env=env, capture_output=True, text=True, check=True)
    return json.loads(out.stdout.strip().splitlines()[-1])


def have_corrfunc():
    try:
        import Corrfunc.theory  # noqa: F401
    except ImportError:
        return False
    return True


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--n", type=int, default=1_000_000)
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--threads", type=int, nargs="*", default=[1, 2])
    ap.add_argument("--kinds", nargs="*", choices=["2d", "smu"], default=["2d", "smu"])
    ap.add_argument("--child", nargs=2, metavar=("COUNTER", "KIND"))
    args = ap.parse_args()

    if args.child:
        counter, kind = args.child
        if counter == "quor":
            res = run_quor(kind, args.n, args.repeat)
        else:
            res = run_corrfunc(kind, args.n, args.repeat, args.threads[0])
        print(json.dumps(res))
        return

    names = {"2d": ("_quor.count_pairs_2d", "Corrfunc DDrppi"),
             "smu": ("_quor.count_pairs_smu", "Corrfunc DDsmu")}
    peer_ok = have_corrfunc()
    print(f"N = {args.n}, box {BOX:g}; r_p / s: 20 log bins 0.1 to 20; pi: 40 bins to 40; "
          f"mu: {N_MU} bins to {MU_MAX:g}")
    print(f"{'counter':>22} {'threads':>7} {'seconds':>9} {'pairs/s':>10} {'peer/ours':>9}")
    for kind in args.kinds:
        ours_name, peer_name = names[kind]
        for threads in args.threads:
            peer = in_child("corrfunc", kind, args.n, args.repeat, threads) if peer_ok else None
            res = in_child("quor", kind, args.n, args.repeat, threads)
            rate = res["pairs"] / res["seconds"]
            ratio = f"{peer['seconds'] / res['seconds']:9.2f}" if peer else "      n/a"
            print(f"{ours_name:>22} {threads:7d} {res['seconds']:9.3f} {rate:10.3g} {ratio}")
            if peer:
                prate = peer["pairs"] / peer["seconds"]
                print(f"{peer_name:>22} {threads:7d} {peer['seconds']:9.3f} {prate:10.3g} "
                      f"{'1.00':>9}")
                if peer["pairs"] != res["pairs"]:
                    print(f"{'':>22} note: pair totals differ ({res['pairs']:.0f} vs "
                          f"{peer['pairs']:.0f})")
        if not peer_ok:
            print(f"{peer_name:>22}: not importable, skipped")


if __name__ == "__main__":
    main()
