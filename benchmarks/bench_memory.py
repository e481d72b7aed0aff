"""Peak memory of one count, in bytes per galaxy above the caller's arrays.

    python benchmarks/bench_memory.py [--n 4000000] [--dtype float64|float32]

N uniform galaxies in a box of 500 Mpc/h with int64 ids, one count_pairs_1d up to
r = 3 Mpc/h; the peak resident size of the process (ru_maxrss) after the count, less
that before it, over N. Run each dtype in a fresh process: the peak never goes down.
"""
import argparse
import resource

import numpy as np

import quor


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=4_000_000)
    parser.add_argument("--dtype", choices=["float64", "float32"], default="float64")
    args = parser.parse_args()
    rng = np.random.default_rng(0)
    coords = rng.uniform(0.0, 500.0, size=(args.n, 3)).astype(args.dtype)
    ids = rng.integers(0, 1000, size=args.n)
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss  # KiB on Linux
    quor.count_pairs_1d(coords, ids, np.logspace(-1.0, np.log10(3.0), 10), 500.0)
    after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    print(f"{args.n} galaxies, {args.dtype} positions: "
          f"{(after - before) * 1024 / args.n:.0f} bytes per galaxy above the inputs")


if __name__ == "__main__":
    main()
