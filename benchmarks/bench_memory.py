"""Peak memory of one count above the caller's arrays.

    python benchmarks/bench_memory.py [--n 4000000] [--dtype float64|float32]
    python benchmarks/bench_memory.py --bins 3000 [--n 200000]
    python benchmarks/bench_memory.py --histograms

Default: N uniform galaxies in a box of 500 Mpc/h with int64 ids, one count_pairs_1d up
to r = 3 Mpc/h; the peak resident size of the process (ru_maxrss) after the count, less
that before it, over N. Run each dtype in a fresh process: the peak never goes down.

--bins B: one count_pairs_2d of N galaxies into B x B (r_p, pi) bins, so that the
histograms dominate; prints the peak above the inputs next to the size of the result
(auto and cross, 16 B^2 bytes), with the pool size (QUOR_NUM_THREADS) it ran with.
--histograms runs that, each in a fresh process, for 3000 x 3000 bins at 1, 2 and 8
threads and 10000 x 10000 bins at 1 thread.
"""
import argparse
import json
import os
import resource
import subprocess
import sys

import numpy as np

import quor


def per_galaxy(n, dtype):
    rng = np.random.default_rng(0)
    coords = rng.uniform(0.0, 500.0, size=(n, 3)).astype(dtype)
    ids = rng.integers(0, 1000, size=n)
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss  # KiB on Linux
    quor.count_pairs_1d(coords, ids, np.logspace(-1.0, np.log10(3.0), 10), 500.0)
    after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    print(f"{n} galaxies, {dtype} positions: "
          f"{(after - before) * 1024 / n:.0f} bytes per galaxy above the inputs")


def histogram_peak(n, bins):
    rng = np.random.default_rng(0)
    coords = rng.uniform(0.0, 200.0, size=(n, 3))
    ids = rng.integers(0, 1000, size=n)
    edges = np.linspace(0.0, 20.0, bins + 1)
    quor.count_pairs_1d(coords[:100], ids[:100], [0.0, 1.0], 200.0)  # starts the pool
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    auto, cross = quor.count_pairs_2d(coords, ids, edges, edges, 200.0)
    after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    result = auto.nbytes + cross.nbytes
    return {"bins": bins, "threads": quor.runtime_info()["threads"],
            "peak_mb": (after - before) * 1024 / 1e6, "result_mb": result / 1e6,
            "catalogue_mb": (coords.nbytes + ids.nbytes) / 1e6,
            "pairs": float(auto.sum() + cross.sum())}


def histogram_matrix(n):
    for bins, threads in [(3000, 1), (3000, 2), (3000, 8), (10000, 1)]:
        env = dict(os.environ, QUOR_NUM_THREADS=str(threads))
        out = subprocess.run([sys.executable, __file__, "--bins", str(bins), "--n", str(n), "--json"],
                             env=env, capture_output=True, text=True, check=True)
        r = json.loads(out.stdout)
        print(f"{r['bins']} x {r['bins']} bins, {r['threads']} threads: peak {r['peak_mb']:.0f} MB "
              f"above the inputs, result {r['result_mb']:.0f} MB "
              f"({r['peak_mb'] / r['result_mb']:.2f}x), catalogue {r['catalogue_mb']:.0f} MB")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=None)
    parser.add_argument("--dtype", choices=["float64", "float32"], default="float64")
    parser.add_argument("--bins", type=int, default=None)
    parser.add_argument("--histograms", action="store_true")
    parser.add_argument("--json", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.histograms:
        histogram_matrix(args.n or 200_000)
    elif args.bins:
        r = histogram_peak(args.n or 200_000, args.bins)
        print(json.dumps(r) if args.json else r)
    else:
        per_galaxy(args.n or 4_000_000, args.dtype)


if __name__ == "__main__":
    main()
