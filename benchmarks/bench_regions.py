"""Cost of counting by jackknife region: the same count with and without regions.

    python benchmarks/bench_regions.py [--n 1000000] [--repeat 2] [--quick]

Rows: count_pairs_1d on N uniform galaxies in a box of 1000 Mpc/h, 20 logarithmic bins
up to r = 20; count_pairs_smu on the same, s up to 20 and 10 mu bins; count_npoint of
order 3 and count_npoint3_shape (6 shape bins) on N / 20 of those galaxies in a box of
1000 / 20^(1/3) Mpc/h, so at the same density (a few triplets per galaxy). Each with no
regions, 27 and 125 cubic regions, at 1 and 2 threads. Prints wall and CPU seconds (the
best of --repeat) and the ratio to the count without regions: on a loaded machine the
CPU time of the process is the steadier measure.
"""
import argparse
import time

import numpy as np

from quor import _kernels

BOX = 1000.0


def catalogue(n, seed=20261209):
    rng = np.random.default_rng(seed)
    coords = rng.uniform(0.0, BOX, size=(n, 3))
    ids = rng.integers(0, n // 10 + 1, size=n).astype(np.int32)
    return coords, ids


def cube_labels(coords, per_side, box=BOX):
    """(ix n + iy) n + iz of the cube of side box / n each galaxy lies in."""
    i = np.minimum(np.floor(coords / (box / per_side)).astype(np.int64), per_side - 1)
    return ((i[:, 0] * per_side + i[:, 1]) * per_side + i[:, 2]).astype(np.int32)


def best_times(fn, repeat):
    wall, cpu = float("inf"), float("inf")
    for _ in range(repeat):
        w0, c0 = time.perf_counter(), time.process_time()
        fn()
        wall = min(wall, time.perf_counter() - w0)
        cpu = min(cpu, time.process_time() - c0)
    return wall, cpu


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--n", type=int, default=1_000_000)
    ap.add_argument("--repeat", type=int, default=2)
    ap.add_argument("--quick", action="store_true", help="N = 200000, one repeat")
    args = ap.parse_args()
    n, repeat = (200_000, 1) if args.quick else (args.n, args.repeat)
    coords, ids = catalogue(n)
    # The group rows: a twentieth of the galaxies, in a box shrunk to keep their density.
    small_box = BOX / 20 ** (1 / 3)
    small = coords[: max(n // 20, 1)] * (small_box / BOX)
    small_ids = ids[: max(n // 20, 1)]
    r_bins = np.logspace(-1.0, np.log10(20.0), 21)
    rows = {
        "pairs_1d r<=20": lambda t, **kw: _kernels.count_pairs_1d(coords, ids, r_bins, BOX, threads=t, **kw),
        "pairs_smu s<=20": lambda t, **kw: _kernels.count_pairs_smu(coords, ids, r_bins, 10, 1.0, BOX,
                                                                   threads=t, **kw),
    }
    rows["npoint n=3 r<=20"] = lambda t, **kw: _kernels.count_npoint(small, small_ids, r_bins, small_box, 3,
                                                                    threads=t, **kw)
    rows["shape k=6 r<=20"] = lambda t, **kw: _kernels.count_npoint3_shape(small, small_ids, r_bins, 6, small_box,
                                                                          threads=t, **kw)
    print(f"N = {n}, box {BOX}, best of {repeat}")
    print(f"{'count':18} {'threads':>7} {'regions':>7} {'wall s':>8} {'cpu s':>8} {'wall x':>7} {'cpu x':>7}")
    for name, run in rows.items():
        for threads in (1, 2):
            base_wall, base_cpu = best_times(lambda: run(threads), repeat)
            print(f"{name:18} {threads:7} {'-':>7} {base_wall:8.2f} {base_cpu:8.2f} {1:7.2f} {1:7.2f}")
            for per_side in (3, 5):
                pairs = name.startswith("pairs")
                labels = cube_labels(coords, per_side) if pairs else cube_labels(small, per_side, small_box)
                wall, cpu = best_times(lambda: run(threads, regions=labels, n_regions=per_side**3), repeat)
                print(f"{name:18} {threads:7} {per_side**3:7} {wall:8.2f} {cpu:8.2f} "
                      f"{wall / base_wall:7.2f} {cpu / base_cpu:7.2f}")


if __name__ == "__main__":
    main()
