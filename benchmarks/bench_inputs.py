"""What the quor package's passes over a catalogue cost next to the count they prepare.

    python benchmarks/bench_inputs.py            # 1e7 galaxies (quick)
    python benchmarks/bench_inputs.py --n 1e8    # the full run (about 24 GB of RAM)

For each way users hand over a catalogue (float64 in the box, float32, Fortran order, an
(N, 4) array, positions outside the box, a pandas DataFrame, int64 ids that fit int32,
int64 ids beyond int32, regions=int), times each input pass the package makes (positions,
partition ids, region labels) at 1 and 2 threads, then the whole quor.count_pairs_1d call
(r <= 20, 20 log bins, box 2000) on the plain catalogue at 1 and 2 threads, and prints the
share of the call the passes take. Best of --repeat runs for the passes; the count runs once.
"""
import argparse
import gc
import inspect
import time

import numpy as np

import quor
from quor import _inputs

BOX = 2000.0
BINS = np.geomspace(0.5, 20.0, 21)


def best_time(run, repeat):
    """Best wall-clock time of `run()` over `repeat` calls, and its last result."""
    best, out = float("inf"), None
    for _ in range(repeat):
        out = None
        gc.collect()
        t0 = time.perf_counter()
        out = run()
        best = min(best, time.perf_counter() - t0)
    return best, out


def threads_keyword(function, threads):
    """{"threads": threads} when `function` takes it (this package's passes may not)."""
    return {"threads": threads} if "threads" in inspect.signature(function).parameters else {}


def cases(n, rng):
    """(name, coords, ids, regions) of each case, made one at a time to bound memory."""
    def plain():
        return rng.uniform(0.0, BOX, size=(n, 3))

    def small_ids():
        return rng.integers(0, 100_000, n)

    yield "float64 C, in box", plain, small_ids, None
    yield "float32", lambda: plain().astype(np.float32), small_ids, None
    yield "Fortran order", lambda: np.asfortranarray(plain()), small_ids, None
    yield "(N, 4) array", lambda: np.concatenate([plain(), np.ones((n, 1))], axis=1), small_ids, None
    yield "outside the box", lambda: rng.uniform(-0.5 * BOX, 1.5 * BOX, size=(n, 3)), small_ids, None

    def frame():
        import pandas as pd
        xyz = plain()
        return pd.DataFrame({"x": xyz[:, 0], "y": xyz[:, 1], "z": xyz[:, 2]})

    yield "pandas DataFrame", frame, small_ids, None
    yield "int64 ids beyond int32", plain, lambda: small_ids() + (1 << 40), None
    yield "regions=5", plain, small_ids, 5


def passes(coords, ids, regions, threads, repeat):
    """Seconds of each input pass the package makes over this catalogue."""
    times = {}
    kw = threads_keyword(_inputs.positions, threads)
    times["positions"], xyz = best_time(lambda: _inputs.positions(coords, BOX, **kw), repeat)
    kw = threads_keyword(_inputs.partition_ids, threads)
    times["ids"], _ = best_time(lambda: _inputs.partition_ids(ids, xyz.shape[0], **kw), repeat)
    if regions is not None:
        kw = threads_keyword(_inputs.regions, threads)
        times["regions"], _ = best_time(lambda: _inputs.regions(regions, xyz, BOX, **kw), repeat)
    return times


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=float, default=1e7)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--no-count", action="store_true", help="time the passes only")
    args = parser.parse_args()
    n = int(args.n)
    rng = np.random.default_rng(22)
    print(f"{n:.0e} galaxies in box {BOX:g}; kernel {quor.runtime_info()['kernel']}, "
          f"pool of {quor.runtime_info()['threads']} threads")
    print(f"{'case':<24} {'threads':>7} {'positions':>10} {'ids':>8} {'regions':>8} {'total':>8}")
    totals = {}
    for name, make_coords, make_ids, regions in cases(n, rng):
        coords, ids = make_coords(), make_ids()
        for threads in (1, 2):
            t = passes(coords, ids, regions, threads, args.repeat)
            total = sum(t.values())
            totals[name, threads] = total
            print(f"{name:<24} {threads:>7} {t['positions']:>10.3f} {t['ids']:>8.3f} "
                  f"{t.get('regions', 0.0):>8.3f} {total:>8.3f}", flush=True)
        del coords, ids
        gc.collect()
    if args.no_count:
        return
    coords = rng.uniform(0.0, BOX, size=(n, 3))
    ids = rng.integers(0, 100_000, n)
    for threads in (1, 2):
        t0 = time.perf_counter()
        quor.count_pairs_1d(coords, ids, BINS, BOX, threads=threads)
        call = time.perf_counter() - t0
        worst = max(total for (name, t), total in totals.items() if t == threads)
        plain = totals["float64 C, in box", threads]
        print(f"count_pairs_1d, {threads} thread(s): {call:.2f} s; input passes: "
              f"{100 * plain / call:.2f}% (plain catalogue), {100 * worst / call:.2f}% "
              f"(costliest case)", flush=True)


if __name__ == "__main__":
    main()
