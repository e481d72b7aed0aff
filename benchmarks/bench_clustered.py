"""Pair counts on uniform and clustered catalogues against Corrfunc, with the counts checked.

    PYTHONPATH=build/bench /work/bench-venv/bin/python benchmarks/bench_clustered.py \
        [--quick] [--repeat 3] [--threads 1,2] [--workload NAME ...]

Corrfunc lives in a separate venv (it is never a dependency of this package):

    apt-get install -y libgsl-dev
    python -m venv /work/bench-venv --system-site-packages
    /work/bench-venv/bin/pip install Corrfunc

Catalogues (all seeded, so every run counts the same galaxies):

- uniform: 1e6 galaxies in a box of 1000 Mpc/h, the catalogue of bench_pairs_1d.py;
- halo: a halo-model mock in a box of 1000 Mpc/h, 1e5 haloes with centres uniform in the
  box, richness n >= 5 drawn from P(>n) = (5/n)^1.005 (density about n^-2) and capped at
  2000, members scattered about the centre by a Gaussian of width 0.2 (n/5)^(1/3) Mpc/h
  per axis; about 3.4e6 galaxies, the halo index is the partition id. Dense haloes put
  most close pairs in a few cells, which a uniform catalogue never does;
- small: 1e5 uniform galaxies in a box of 200 Mpc/h, where r_max is a large fraction of
  the box; small240: the same in a box of 240 Mpc/h, r <= 70 in 18 logarithmic bins
  from 0.2;
- uniform3e5: 3e5 uniform galaxies in a box of 1000 Mpc/h; with uniform, the BAO rows
  (r or s up to 150 and 200 in linear bins of 5 Mpc/h);
- hod: an HOD-like mock of about 1.2e6 galaxies in a box of 420 Mpc/h (hod_mock), denser
  and more clustered than the uniform rows, as real catalogues are.

Separation bins are 19 logarithmic bins, np.logspace(-1, log10(r_max), 20), unless the
row gives its own edges; pi bins are
0, 1, ..., pi_max, the unit bins Corrfunc's DDrppi uses; mu bins are equal steps of
[0, mu_max), mu_max 1 unless the row says 0.5 (a common choice). Corrfunc runs in double precision, periodic, with its fastest kernel; its
autocorrelation counts every pair twice, so its counts are halved, and they are compared
bin by bin with ours (same- plus cross-partition pairs). The n-point workloads have no peer
and are timed so that they can be watched for slow-downs. Their cost is set by the richest
haloes (a halo of 2000 members holds 1.3e9 triplets): on the --quick mock one call of
count_npoint n_order=3 counts 3.4e10 triplets within r = 5 (about 3 minutes of one core),
and the full mock about ten times as many, so they run only when named with --workload.
The _r1 rows count groups within r = 1 (quick mock, one core: about 1 s for triplets and
shapes, 16 s for quadruplets); by default halo_npoint2 and the r = 1 triplet rows run, the
quadruplets only when named.

Every counter, workload and thread count runs in its own process: the _quor pool is sized
once per process, from RAYON_NUM_THREADS; Corrfunc takes nthreads. The time reported is
the best of --repeat calls (the least disturbed by other load on the machine), after a
small untimed call that starts the thread pool. --quick shrinks every catalogue about
tenfold and times one call. The table is also written as JSON to benchmarks/results/.
"""
import argparse
import fnmatch
import json
import os
import platform
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

from bench_pairs_1d import best_time
from bench_pairs_2d_smu import have_corrfunc
from bench_pairs_1d import catalogue as uniform_catalogue

HERE = Path(__file__).resolve().parent
RESULTS = HERE / "results"

# Halo mock.
HALO_BOX = 1000.0
N_HALOES = 100_000
RICH_MIN = 5
RICH_CAP = 2000
RICH_INDEX = 1.005  # P(>n) = (n / RICH_MIN)^-RICH_INDEX; tuned for about 3.4e6 galaxies
SIGMA_MIN = 0.2  # Mpc/h per axis for a halo of RICH_MIN members

# HOD-like mock: denser and more clustered than the uniform rows, as real galaxy catalogues
# are: about 1.2e6 galaxies in a box of 420 Mpc/h (1.6e-2 per (Mpc/h)^3).
HOD_BOX = 420.0
HOD_HALOES = 700_000

# Catalogue name -> (full size, --quick size, box). Sizes are galaxies, or haloes for
# the halo mock.
CATALOGUES = {
    "uniform": (1_000_000, 100_000, 1000.0),
    "uniform3e5": (300_000, 30_000, 1000.0),
    "halo": (N_HALOES, N_HALOES // 10, HALO_BOX),
    "small": (100_000, 20_000, 200.0),
    "small240": (100_000, 20_000, 240.0),
    "hod": (HOD_HALOES, HOD_HALOES // 10, HOD_BOX),
}


def log_bins(r_max):
    return np.logspace(-1.0, np.log10(r_max), 20)


def separation_bins(p, key):
    """The workload's own edges when it gives them, else log_bins of its largest separation."""
    return np.asarray(p["edges"], dtype=np.float64) if "edges" in p else log_bins(p[key])


# Edges of the rows that do not use log_bins: 18 logarithmic bins from 0.2 (small box), and
# the BAO scale's linear bins of 5 Mpc/h.
SMALL240_EDGES = np.logspace(np.log10(0.2), np.log10(70.0), 19)
# (The first edge is 1e-6, not 0: Corrfunc counts each galaxy with itself from r = 0.)
BAO150_EDGES = np.concatenate([[1e-6], np.arange(5.0, 150.0 + 1.0, 5.0)])
BAO200_EDGES = np.concatenate([[1e-6], np.arange(5.0, 200.0 + 1.0, 5.0)])


# Workload name -> (catalogue, counter, parameters). Counters "r", "rppi" and "smu" are
# compared with Corrfunc; the n-point ones are timed alone.
WORKLOADS = {
    "uniform_r20": ("uniform", "r", {"r_max": 20.0}),
    "uniform_r50": ("uniform", "r", {"r_max": 50.0}),
    "halo_r20": ("halo", "r", {"r_max": 20.0}),
    "halo_r50": ("halo", "r", {"r_max": 50.0}),
    "halo_smu20": ("halo", "smu", {"s_max": 20.0, "n_mu": 10}),
    "uniform_smu20_mu05": ("uniform", "smu", {"s_max": 20.0, "n_mu": 10, "mu_max": 0.5}),
    "halo_smu20_mu05": ("halo", "smu", {"s_max": 20.0, "n_mu": 10, "mu_max": 0.5}),
    "small_r60": ("small", "r", {"r_max": 60.0}),
    "small_rppi": ("small", "rppi", {"rp_max": 20.0, "pi_max": 60}),
    "small_smu55": ("small", "smu", {"s_max": 55.0, "n_mu": 10}),
    "small240_r70": ("small240", "r", {"edges": SMALL240_EDGES}),
    "bao3e5_r150": ("uniform3e5", "r", {"edges": BAO150_EDGES}),
    "bao3e5_r200": ("uniform3e5", "r", {"edges": BAO200_EDGES}),
    "bao3e5_smu150": ("uniform3e5", "smu", {"edges": BAO150_EDGES, "n_mu": 10}),
    "bao_r150": ("uniform", "r", {"edges": BAO150_EDGES}),
    "bao_r200": ("uniform", "r", {"edges": BAO200_EDGES}),
    "bao_smu150": ("uniform", "smu", {"edges": BAO150_EDGES, "n_mu": 10}),
    "hod_r25": ("hod", "r", {"r_max": 25.0}),
    "halo_npoint2": ("halo", "npoint", {"r_max": 5.0, "n_order": 2}),
    "halo_npoint3": ("halo", "npoint", {"r_max": 5.0, "n_order": 3}),
    "halo_npoint3_shape": ("halo", "shape", {"r_max": 5.0, "n_ratio": 10}),
    # Groups inside r <= 1 Mpc/h: quadruplets of the richest haloes are out of reach at 5.
    "halo_npoint3_r1": ("halo", "npoint", {"r_max": 1.0, "n_order": 3}),
    "halo_npoint4_r1": ("halo", "npoint", {"r_max": 1.0, "n_order": 4}),
    "halo_npoint3_shape_r1": ("halo", "shape", {"r_max": 1.0, "n_ratio": 10}),
}
# Timed only when named with --workload: minutes to hours on the full mock.
NAMED_ONLY = {"halo_npoint3", "halo_npoint3_shape", "halo_npoint4_r1"}
PEER_COUNTERS = {"r", "rppi", "smu"}


def halo_mock(n_haloes=N_HALOES, box=HALO_BOX):
    """Seeded halo-model galaxies: (coords, halo ids, richness per halo)."""
    rng = np.random.default_rng(20261209)
    centres = rng.uniform(0.0, box, size=(n_haloes, 3))
    u = 1.0 - rng.random(n_haloes)  # (0, 1], so the power law never divides by zero
    richness = np.minimum(np.floor(RICH_MIN * u ** (-1.0 / RICH_INDEX)), RICH_CAP).astype(np.int64)
    sigma = SIGMA_MIN * (richness / RICH_MIN) ** (1.0 / 3.0)
    coords = np.repeat(centres, richness, axis=0)
    coords += rng.standard_normal(coords.shape) * np.repeat(sigma, richness)[:, None]
    coords = np.mod(coords, box)
    coords[coords >= box] = 0.0  # np.mod of a tiny negative value can round up to box
    ids = np.repeat(np.arange(n_haloes, dtype=np.int32), richness)
    return coords, ids, richness


def hod_mock(n_haloes=HOD_HALOES, box=HOD_BOX):
    """Seeded HOD-like galaxies: (coords, halo ids). Halo centres cluster about seeds,
    one per 50 haloes (a Gaussian of 4 Mpc/h per axis) or, for half of them, lie
    uniform in the box; every halo holds a central, one in ten also satellites, drawn
    from P(>n) = 1/n and capped at 300, scattered by 0.3 n^(1/3) Mpc/h per axis."""
    rng = np.random.default_rng(20261210)
    seeds = rng.uniform(0.0, box, size=(max(n_haloes // 50, 1), 3))
    centres = rng.uniform(0.0, box, size=(n_haloes, 3))
    clustered = rng.random(n_haloes) < 0.5
    centres[clustered] = (seeds[rng.integers(0, len(seeds), clustered.sum())]
                          + 4.0 * rng.standard_normal((clustered.sum(), 3)))
    satellites = np.where(rng.random(n_haloes) < 0.1,
                          np.minimum(np.floor(1.0 / (1.0 - rng.random(n_haloes))), 300), 0)
    richness = (1 + satellites).astype(np.int64)
    coords = np.repeat(centres, richness, axis=0)
    spread = np.repeat(0.3 * richness ** (1.0 / 3.0), richness)
    central = np.zeros(len(coords), bool)
    central[np.concatenate([[0], np.cumsum(richness)[:-1]])] = True
    coords[~central] += rng.standard_normal(((~central).sum(), 3)) * spread[~central, None]
    coords = np.mod(coords, box)
    coords[coords >= box] = 0.0  # np.mod of a tiny negative value can round up to box
    ids = np.repeat(np.arange(n_haloes, dtype=np.int32), richness)
    return coords, ids


def load(name, quick):
    full, small, box = CATALOGUES[name]
    size = small if quick else full
    if name == "halo":
        coords, ids, _ = halo_mock(size, box)
    elif name == "hod":
        box = box if not quick else box / 10 ** (1 / 3)  # the full mock's density
        coords, ids = hod_mock(size, box)
    else:
        coords, ids = uniform_catalogue(size, box)
    return coords, ids, box


def quor_call(workload, quick):
    """The workload's catalogue and a function that counts it once with _quor."""
    import _quor

    cat, counter, p = WORKLOADS[workload]
    coords, ids, box = load(cat, quick)
    if counter == "r":
        bins = separation_bins(p, "r_max")
        call = lambda: _quor.count_pairs_1d(coords, ids, bins, box)
    elif counter == "rppi":
        rp, pi = log_bins(p["rp_max"]), np.arange(p["pi_max"] + 1, dtype=np.float64)
        call = lambda: _quor.count_pairs_2d(coords, ids, rp, pi, box)
    elif counter == "smu":
        bins = separation_bins(p, "s_max")
        call = lambda: _quor.count_pairs_smu(coords, ids, bins, p["n_mu"], p.get("mu_max", 1.0), box)
    elif counter == "npoint":
        bins = np.linspace(0.0, p["r_max"], 11)
        call = lambda: _quor.count_npoint(coords, ids, bins, box, p["n_order"])
    else:
        bins = np.linspace(0.0, p["r_max"], 11)
        call = lambda: _quor.count_npoint3_shape(coords, ids, bins, p["n_ratio"], box)
    return coords, ids, box, call


def run_quor(workload, quick, repeat, threads):
    import _quor

    counter = WORKLOADS[workload][1]
    coords, ids, box, call = quor_call(workload, quick)
    _quor.count_pairs_1d(coords[:1000], ids[:1000], log_bins(5.0), box)  # start the pool
    seconds, (a, b) = best_time(call, repeat)
    if counter in PEER_COUNTERS:
        counts, split = a + b, {"auto": float(a.sum()), "cross": float(b.sum())}
    else:
        counts, split = b, {}  # the total over partitions
    return {"seconds": seconds, "n": len(coords), "counts": counts.ravel().tolist(),
            "total": float(counts.sum()), "module": _quor.__file__, **split}


def corrfunc_call(workload, quick, threads):
    """The workload's catalogue and a function that counts it once with Corrfunc."""
    from Corrfunc.theory import DD, DDrppi, DDsmu

    cat, counter, p = WORKLOADS[workload]
    coords, _, box = load(cat, quick)
    x, y, z = (np.ascontiguousarray(coords[:, k]) for k in range(3))
    opts = dict(periodic=True, boxsize=box, isa="fastest")
    if counter == "r":
        call = lambda: DD(True, threads, separation_bins(p, "r_max"), x, y, z, **opts)
    elif counter == "rppi":
        call = lambda: DDrppi(True, threads, float(p["pi_max"]), log_bins(p["rp_max"]),
                              x, y, z, **opts)
    else:
        call = lambda: DDsmu(True, threads, separation_bins(p, "s_max"), p.get("mu_max", 1.0), p["n_mu"],
                             x, y, z, **opts)
    return coords, box, call


def run_corrfunc(workload, quick, repeat, threads):
    from Corrfunc.theory import DD

    coords, box, call = corrfunc_call(workload, quick, threads)
    x, y, z = (np.ascontiguousarray(coords[:1000, k]) for k in range(3))
    DD(True, threads, log_bins(5.0), x, y, z, periodic=True, boxsize=box, isa="fastest")  # start OpenMP
    seconds, res = best_time(call, repeat)
    ordered = res["npairs"].astype(np.int64)
    if np.any(ordered % 2):
        raise SystemExit("Corrfunc returned an odd ordered-pair count")
    counts = ordered // 2
    return {"seconds": seconds, "n": len(coords), "counts": counts.tolist(),
            "total": float(counts.sum())}


def in_child(counter, workload, quick, repeat, threads):
    env = dict(os.environ, RAYON_NUM_THREADS=str(threads), OMP_NUM_THREADS=str(threads))
    cmd = [sys.executable, __file__, "--child", counter, "--workload", workload,
           "--repeat", str(repeat), "--threads", str(threads)] + (["--quick"] if quick else [])
    out = subprocess.run(cmd, env=env, capture_output=True, text=True)
    if out.returncode != 0:
        lines = out.stderr.strip().splitlines() or ["failed"]
        return {"error": lines[-1]}
    return json.loads(out.stdout.strip().splitlines()[-1])


def compare(ours, peer):
    """'yes' when every bin agrees, else which bins differ and by how much."""
    a, b = np.asarray(ours["counts"]), np.asarray(peer["counts"])
    if a.shape != b.shape:
        return "NO: bin shapes differ", []
    bad = np.flatnonzero(a != b)
    if bad.size == 0:
        return "yes", []
    diffs = [(int(i), float(a[i]), float(b[i])) for i in bad]
    total = "totals equal" if a.sum() == b.sum() else f"totals {a.sum():.0f} vs {b.sum():.0f}"
    return f"NO: {bad.size} bins, {total}", diffs


def halo_summary(quick, ours_r20):
    """Facts about the halo mock, and how its close pairs are spread over the bins."""
    n_haloes = CATALOGUES["halo"][1 if quick else 0]
    coords, _, richness = halo_mock(n_haloes)
    out = {"n_galaxies": int(len(coords)), "n_haloes": n_haloes,
           "largest_halo": int(richness.max()), "haloes_at_cap": int((richness == RICH_CAP).sum()),
           "mean_richness": float(richness.mean()),
           "one_halo_pairs": float((richness * (richness - 1) // 2).sum())}
    if ours_r20 and "counts" in ours_r20:
        counts = np.asarray(ours_r20["counts"])
        edges = log_bins(20.0)
        out["r20_total_pairs"] = float(counts.sum())
        out["r20_same_halo_fraction"] = ours_r20["auto"] / counts.sum()
        out["r20_fraction_first_bins"] = [
            {"bin": [float(edges[k]), float(edges[k + 1])], "fraction": float(counts[k] / counts.sum())}
            for k in range(3)]
        out["r20_fraction_below_1"] = float(counts[edges[1:] <= 1.0 + 1e-12].sum() / counts.sum())
    return out


def git_revision():
    try:
        return subprocess.run(["git", "rev-parse", "--short", "HEAD"], cwd=HERE,
                              capture_output=True, text=True, check=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        return None


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="about tenfold smaller catalogues, one call")
    ap.add_argument("--repeat", type=int, default=None, help="calls per timing, best kept (default 3)")
    ap.add_argument("--threads", default="1,2", help="comma-separated thread counts")
    ap.add_argument("--workload", action="append", default=None,
                    help="workload name or glob, may repeat or be comma-separated "
                         f"({', '.join(WORKLOADS)})")
    ap.add_argument("--child", choices=["quor", "corrfunc"], help=argparse.SUPPRESS)
    args = ap.parse_args()
    repeat = args.repeat or (1 if args.quick else 3)
    threads = [int(t) for t in args.threads.split(",") if t.strip()]
    # By default the triplet workloads (hours on the full mock) are left out.
    patterns = [w for arg in (args.workload or ["*"]) for w in arg.split(",") if w]
    workloads = [w for w in WORKLOADS if any(fnmatch.fnmatch(w, pat) for pat in patterns)
                 and (args.workload or w not in NAMED_ONLY)]
    if not workloads:
        raise SystemExit(f"no workload matches {patterns}; known: {', '.join(WORKLOADS)}")

    if args.child:
        run = run_quor if args.child == "quor" else run_corrfunc
        print(json.dumps(run(workloads[0], args.quick, repeat, threads[0])))
        return

    peer_ok = have_corrfunc()
    sizes = {k: v[1 if args.quick else 0] for k, v in CATALOGUES.items()}
    print(f"{'quick, ' if args.quick else ''}best of {repeat}; uniform N={sizes['uniform']} "
          f"box 1000, halo mock of {sizes['halo']} haloes box 1000, small N={sizes['small']} "
          f"box 200" + ("" if peer_ok else "; Corrfunc not importable, peer skipped"), flush=True)
    head = (f"{'workload':<19} {'thr':>3} {'N':>8} {'pairs/groups':>14} {'_quor s':>9} "
            f"{'Corrfunc s':>10} {'ratio':>6}  agree")
    print(head)
    print("-" * len(head), flush=True)
    rows = []
    for workload in workloads:
        counter = WORKLOADS[workload][1]
        for t in threads:
            peer = None
            if peer_ok and counter in PEER_COUNTERS:
                peer = in_child("corrfunc", workload, args.quick, repeat, t)
            ours = in_child("quor", workload, args.quick, repeat, t)
            row = {"workload": workload, "threads": t, "quor": ours, "corrfunc": peer}
            agree, ratio, diffs = "-", None, []
            if "error" in ours:
                agree = f"_quor failed: {ours['error']}"
            elif peer and "error" in peer:
                agree = f"Corrfunc failed: {peer['error']}"
            elif peer:
                agree, diffs = compare(ours, peer)
                ratio = ours["seconds"] / peer["seconds"]
            row.update(agree=agree, ratio=ratio, differing_bins=diffs)
            rows.append(row)
            qs = f"{ours['seconds']:9.3f}" if "seconds" in ours else f"{'-':>9}"
            ps = f"{peer['seconds']:10.3f}" if peer and "seconds" in peer else f"{'-':>10}"
            rs = f"{ratio:6.2f}" if ratio is not None else f"{'-':>6}"
            n = f"{ours.get('n', 0):8d}"
            total = f"{ours['total']:14.0f}" if "total" in ours else f"{'-':>14}"
            print(f"{workload:<19} {t:3d} {n} {total} {qs} {ps} {rs}  {agree}", flush=True)
            for i, a, b in diffs[:10]:
                print(f"{'':>23} flat bin {i}: _quor {a:.0f}, Corrfunc {b:.0f}")
    print("ratio: _quor seconds over Corrfunc seconds (below 1: _quor faster); "
          "pairs/groups: _quor's total")

    summary = None
    if any(WORKLOADS[w][0] == "halo" for w in workloads):
        r20 = next((r["quor"] for r in rows if r["workload"] == "halo_r20"), None)
        summary = halo_summary(args.quick, r20)
        print(f"halo mock: {summary['n_galaxies']} galaxies in {summary['n_haloes']} haloes, "
              f"largest {summary['largest_halo']} ({summary['haloes_at_cap']} at the cap), "
              f"mean richness {summary['mean_richness']:.2f}, "
              f"{summary['one_halo_pairs']:.4g} same-halo pairs in all")
        if "r20_total_pairs" in summary:
            firsts = ", ".join(f"[{f['bin'][0]:.3f}, {f['bin'][1]:.3f}) {f['fraction']:.3%}"
                               for f in summary["r20_fraction_first_bins"])
            print(f"  pairs with r < 20: {summary['r20_total_pairs']:.4g}, same halo "
                  f"{summary['r20_same_halo_fraction']:.1%}, below r = 1: "
                  f"{summary['r20_fraction_below_1']:.1%}; smallest bins: {firsts}")

    RESULTS.mkdir(exist_ok=True)
    stamp = time.strftime("%Y%m%d-%H%M%S")
    path = RESULTS / f"bench_clustered-{stamp}{'-quick' if args.quick else ''}.json"
    for row in rows:  # keep the file small: the bins that differ are kept, not all counts
        for side in ("quor", "corrfunc"):
            if row[side]:
                row[side].pop("counts", None)
    path.write_text(json.dumps({
        "revision": git_revision(), "host": platform.node(), "cpus": os.cpu_count(),
        "date": stamp, "quick": args.quick, "repeat": repeat, "timing": "best of repeat",
        "halo_mock": summary, "rows": rows}, indent=1))
    print(f"written {path.relative_to(HERE.parent)}")


if __name__ == "__main__":
    main()
