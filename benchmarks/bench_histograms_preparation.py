"""Peak memory and time of a count with a very large histogram, and the share of the
preparation (copy, cell sort, columns) in a large radial count.

    RAYON_NUM_THREADS=7 PYTHONPATH=build/rel python benchmarks/bench_histograms_preparation.py memory
    RAYON_NUM_THREADS=2 PYTHONPATH=build/rel python benchmarks/bench_histograms_preparation.py preparation

memory: (s, mu) counts of 20,000 galaxies with 4,000,000 mu bins (a 61 MB result); prints
the time and the rise of the peak resident size, to compare with (workers + 1) x result.
preparation: 1e7 uniform galaxies in a box of 1000; the r <= 20 count (19 log bins from
0.1) against a count with a last edge of 1e-300, which is the preparation plus a sweep
that finds nothing. Each figure is the best of three calls.
"""
import resource
import sys
import time

import numpy as np

import _quor


def best(fn, repeat=3):
    t = float("inf")
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        t = min(t, time.perf_counter() - t0)
    return t


def memory():
    rng = np.random.default_rng(0)
    c = rng.uniform(0, 100, (20000, 3))
    p = rng.integers(0, 10, 20000).astype(np.int32)
    base = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    t0 = time.perf_counter()
    a, b = _quor.count_pairs_smu(c, p, np.array([0.0, 5.0]), 4_000_000, 1.0, 100.0)
    t = time.perf_counter() - t0
    rise = (resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - base) / 1024
    print(f"{t:.2f} s, peak rise {rise:.0f} MB, result {2 * a.nbytes / 2**20:.0f} MB")


def preparation():
    rng = np.random.default_rng(1)
    c = rng.uniform(0, 1000, (10_000_000, 3))
    p = rng.integers(0, 1_000_000, 10_000_000).astype(np.int32)
    _quor.count_pairs_1d(c[:1000], p[:1000], np.array([0.0, 1.0]), 1000.0)  # start the pool
    full = best(lambda: _quor.count_pairs_1d(c, p, np.logspace(-1, np.log10(20), 20), 1000.0))
    prep = best(lambda: _quor.count_pairs_1d(c, p, np.array([0.0, 1e-300]), 1000.0))
    print(f"r <= 20: {full:.2f} s; preparation and an empty sweep: {prep:.2f} s ({100 * prep / full:.0f}%)")


if __name__ == "__main__":
    {"memory": memory, "preparation": preparation}[sys.argv[1] if len(sys.argv) > 1 else "memory"]()
