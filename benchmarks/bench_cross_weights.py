"""Cross counts, weighted counts and mean separations against Corrfunc, counts checked.

    PYTHONPATH=build/rel /work/bench-venv/bin/python benchmarks/bench_cross_weights.py \
        [--quick] [--repeat 3] [--threads 1 2] [--workload NAME ...]

Corrfunc lives in a separate venv (never a dependency of this package); see
bench_clustered.py for its set-up. --quick shrinks every catalogue tenfold (1e5 x 4e5
for the cross rows), for a machine too loaded or too small for the full rows.

Workloads (every catalogue seeded):

- cross_r20, cross_r50: 1e6 galaxies x 4e6 particles, both uniform in a box of
  1000 Mpc/h, r <= 20 and r <= 50 (19 log bins from 0.1): quor's count_pairs_1d with
  coords2 against Corrfunc's DD(autocorr=0);
- cross_w_r20, cross_w_r50: the same with a weight per galaxy and per particle
  (lognormal), against DD(weight_type='pair_product');
- halo_members: the halo mock of bench_clustered.py (about 3.4e6 galaxies) x a 10%
  sample of its own members, r <= 20, the halo index the partition id of both;
- auto_weighted: the uniform 1e6 catalogue's auto count at r <= 20, unweighted and
  weighted: quor's two against each other (goal: weighted at most 1.3x), and Corrfunc's
  pair_product DD;
- auto_separations: the same count with and without separations=True (goal: at most
  1.5x), and Corrfunc's DD with output_ravg=True.

Every code, workload, variant and thread count runs in its own process (the pools are
sized once per process). Each is called --repeat times after a small untimed call; the
table shows the median and the best of those, in seconds of wall-clock time. Corrfunc's
ordered cross pairs are quor's pairs (auto + cross partitions) bin by bin; its
npairs * weightavg is quor's weight sum, compared relative to the bin's sum of |w_i w_j|
(the same as the sum here, all weights being positive); its ravg is the pair-weighted
mean of quor's auto_mean_r and cross_mean_r. The table is also written as JSON to
benchmarks/results/.
"""
import argparse
import json
import os
import platform
import statistics
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

from bench_clustered import halo_mock

HERE = Path(__file__).resolve().parent
RESULTS = HERE / "results"
BOX = 1000.0


def log_bins(r_max):
    return np.logspace(-1.0, np.log10(r_max), 20)


def uniform(n, seed, box=BOX):
    return np.random.default_rng(seed).uniform(0.0, box, size=(n, 3))


def weights(n, seed):
    return np.random.default_rng(seed).lognormal(0.0, 0.5, size=n)


# name -> (first catalogue, second catalogue or None, r_max, quor variant)
WORKLOADS = {
    "cross_r20": ("galaxies", "particles", 20.0, "plain"),
    "cross_r50": ("galaxies", "particles", 50.0, "plain"),
    "cross_w_r20": ("galaxies", "particles", 20.0, "weighted"),
    "cross_w_r50": ("galaxies", "particles", 50.0, "weighted"),
    "halo_members": ("halo", "halo_sample", 20.0, "plain"),
    "auto_weighted": ("galaxies", None, 20.0, "weighted"),
    "auto_plain": ("galaxies", None, 20.0, "plain"),
    "auto_separations": ("galaxies", None, 20.0, "separations"),
}
# Rows whose quor time is set against another quor row of the same run.
AGAINST = {"auto_weighted": ("auto_plain", 1.3), "auto_separations": ("auto_plain", 1.5)}


def load(name, quick):
    """(coords, ids, weights) of a catalogue; --quick shrinks it tenfold."""
    shrink = 10 if quick else 1
    if name == "galaxies":
        n = 1_000_000 // shrink
        return uniform(n, 1), np.random.default_rng(2).integers(0, n // 10, n), weights(n, 3)
    if name == "particles":
        n = 4_000_000 // shrink
        return uniform(n, 4), np.random.default_rng(5).integers(0, n // 10, n), weights(n, 6)
    coords, ids, _ = halo_mock(100_000 // shrink, BOX)
    if name == "halo_sample":
        pick = np.random.default_rng(7).random(len(coords)) < 0.1
        coords, ids = coords[pick], ids[pick]
    return coords, ids, weights(len(coords), 8)


def timed(call, repeat):
    times, result = [], None
    for _ in range(repeat):
        t0 = time.perf_counter()
        result = call()
        times.append(time.perf_counter() - t0)
    return times, result


def run_quor(workload, quick, repeat, threads):
    import quor

    first, second, r_max, variant = WORKLOADS[workload]
    c1, i1, w1 = load(first, quick)
    kw = {}
    if second:
        c2, i2, w2 = load(second, quick)
        kw.update(coords2=c2, partition_ids2=i2)
        if variant == "weighted":
            kw["weights2"] = w2
    if variant == "weighted":
        kw["weights"] = w1
    if variant == "separations":
        kw["separations"] = True
    bins = log_bins(r_max)
    quor.count_pairs_1d(c1[:1000], i1[:1000], log_bins(5.0), BOX)  # start the pool
    times, res = timed(lambda: quor.count_pairs_1d(c1, i1, bins, BOX, **kw), repeat)
    out = {"times": times, "pairs": (res.auto_pairs + res.cross_pairs).tolist(),
           "kernel": quor.runtime_info()["kernel"]}
    if variant == "weighted":
        out["weights"] = (res.auto + res.cross).tolist()
    if variant == "separations":
        total = res.auto_pairs + res.cross_pairs
        with np.errstate(invalid="ignore"):
            mean = (np.nan_to_num(res.auto_mean_r) * res.auto_pairs +
                    np.nan_to_num(res.cross_mean_r) * res.cross_pairs) / total
        out["ravg"] = mean.tolist()
    return out


def run_corrfunc(workload, quick, repeat, threads):
    from Corrfunc.theory import DD

    first, second, r_max, variant = WORKLOADS[workload]
    c1, _, w1 = load(first, quick)
    cols = lambda c: tuple(np.ascontiguousarray(c[:, k]) for k in range(3))
    x1, y1, z1 = cols(c1)
    kw = dict(periodic=True, boxsize=BOX, isa="fastest")
    if variant == "weighted":
        kw.update(weights1=w1, weight_type="pair_product")
    if variant == "separations":
        kw["output_ravg"] = True
    if second:
        c2, _, w2 = load(second, quick)
        x2, y2, z2 = cols(c2)
        kw.update(X2=x2, Y2=y2, Z2=z2)
        if variant == "weighted":
            kw["weights2"] = w2
    autocorr = 0 if second else 1
    bins = log_bins(r_max)
    DD(1, threads, log_bins(5.0), x1[:1000], y1[:1000], z1[:1000], periodic=True, boxsize=BOX)
    times, res = timed(lambda: DD(autocorr, threads, bins, x1, y1, z1, **kw), repeat)
    halve = 1 if second else 2  # an autocorrelation counts every pair both ways
    out = {"times": times, "pairs": (res["npairs"] // halve).tolist()}
    if variant == "weighted":
        out["weights"] = (res["npairs"] * res["weightavg"] / halve).tolist()
    if variant == "separations":
        out["ravg"] = res["ravg"].tolist()
    return out


def in_child(code, workload, quick, repeat, threads, kernel=None):
    env = dict(os.environ, QUOR_NUM_THREADS=str(threads), RAYON_NUM_THREADS=str(threads),
               OMP_NUM_THREADS=str(threads))
    if kernel:
        env["QUOR_KERNEL"] = kernel
    cmd = [sys.executable, __file__, "--child", code, "--workload", workload,
           "--repeat", str(repeat), "--threads", str(threads)] + (["--quick"] if quick else [])
    out = subprocess.run(cmd, env=env, capture_output=True, text=True)
    if out.returncode != 0:
        return {"error": (out.stderr.strip().splitlines() or ["failed"])[-1]}
    return json.loads(out.stdout.strip().splitlines()[-1])


def agreement(ours, peer):
    """How quor's counts and sums agree with Corrfunc's."""
    notes = []
    a, b = np.asarray(ours["pairs"]), np.asarray(peer["pairs"])
    notes.append("pairs equal" if np.array_equal(a, b) else
                 f"pairs differ in {np.count_nonzero(a != b)} bins")
    if "weights" in ours and "weights" in peer:
        wa, wb = np.asarray(ours["weights"]), np.asarray(peer["weights"])
        rel = np.max(np.abs(wa - wb) / np.where(wa != 0, np.abs(wa), 1.0))
        notes.append(f"weights within {rel:.1e}")
    if "ravg" in ours and "ravg" in peer:
        ra, rb = np.asarray(ours["ravg"]), np.asarray(peer["ravg"])
        ok = np.asarray(ours["pairs"]) > 0
        rel = np.max(np.abs(ra[ok] - rb[ok]) / ra[ok]) if ok.any() else 0.0
        notes.append(f"ravg within {rel:.1e}")
    return ", ".join(notes)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--threads", type=int, nargs="*", default=[1, 2])
    ap.add_argument("--workload", nargs="*", default=list(WORKLOADS))
    ap.add_argument("--kernel", help="QUOR_KERNEL for quor's processes (default: the widest)")
    ap.add_argument("--child", choices=["quor", "corrfunc"])
    args = ap.parse_args()
    if args.child:
        run = run_quor if args.child == "quor" else run_corrfunc
        print(json.dumps(run(args.workload[0], args.quick, args.repeat, args.threads[0])))
        return

    load_avg = os.getloadavg()
    print(f"quor vs Corrfunc, box {BOX:g}, 19 log bins from 0.1 to r_max; median and best of "
          f"{args.repeat} calls (seconds); load average at start {load_avg[0]:.1f}")
    print(f"{'workload':>17} {'thr':>3} {'quor med':>9} {'best':>7} {'Corrfunc med':>12} {'best':>7} "
          f"{'ratio':>6}  agreement")
    rows = []
    for workload in args.workload:
        for threads in args.threads:
            ours = in_child("quor", workload, args.quick, args.repeat, threads, args.kernel)
            peer = in_child("corrfunc", workload, args.quick, args.repeat, threads)
            row = {"workload": workload, "threads": threads, "quor": ours, "corrfunc": peer}
            rows.append(row)
            if "error" in ours:
                print(f"{workload:>17} {threads:3d}  quor failed: {ours['error']}")
                continue
            q_med, q_best = statistics.median(ours["times"]), min(ours["times"])
            if "error" in peer:
                c_text, ratio, note = f"{'failed':>12} {'':>7}", "", peer["error"]
            else:
                c_med, c_best = statistics.median(peer["times"]), min(peer["times"])
                c_text = f"{c_med:12.3f} {c_best:7.3f}"
                ratio, note = f"{q_med / c_med:6.2f}", agreement(ours, peer)
            print(f"{workload:>17} {threads:3d} {q_med:9.3f} {q_best:7.3f} {c_text} {ratio:>6}  {note}")
    for row in rows:
        against = AGAINST.get(row["workload"])
        base = [r for r in rows if against and r["workload"] == against[0] and
                r["threads"] == row["threads"]]
        if against and base and "times" in row["quor"] and "times" in base[0]["quor"]:
            ratio = statistics.median(row["quor"]["times"]) / statistics.median(base[0]["quor"]["times"])
            print(f"quor {row['workload']} / {against[0]} at {row['threads']} thread(s): "
                  f"{ratio:.2f} (goal {against[1]})")
    RESULTS.mkdir(exist_ok=True)
    stamp = time.strftime("%Y%m%d-%H%M%S")
    (RESULTS / f"cross_weights-{stamp}.json").write_text(json.dumps(
        {"machine": platform.node(), "load_average": load_avg, "quick": args.quick,
         "rows": rows}, indent=1))


if __name__ == "__main__":
    main()
