"""Work rates per core, ours next to Corrfunc's: pairs and candidates per second, cycles per pair.

    PYTHONPATH=build/rel /work/bench-venv/bin/python benchmarks/bench_rates.py \
        [--results benchmarks/results/bench_clustered-YYYYMMDD-HHMMSS.json] \
        [--tally-build build/tally] [--mhz 2100]

Reads a table written by bench_clustered.py (by default the newest one without --quick) and
prints it again as rates, in Markdown, for the guide's table:

- pairs/s/core: the pairs the row counts (ours and Corrfunc's agree bin by bin), over the
  call's best time times its threads;
- cycles/pair: the same time in cycles of the clock given by --mhz (by default the "cpu MHz"
  of /proc/cpuinfo: a nominal clock, the virtual machines we measure on expose no cycle
  counter), per pair;
- candidates: the pairs our filter examined (a galaxy against each partner of its z
  window; pairs of clumps settled whole are not among them), per counted pair, per
  second per core, and cycles per candidate. They come from a build configured with
  -DQUOR_TALLY=ON, which prints one line per count on stderr ("quor-tally:
  candidates=... kept=..."); that build is run once per workload, one thread, untimed
  (the tally costs time). Without --tally-build these columns are left out. Corrfunc
  does not report its candidates.
"""
import argparse
import json
import os
import re
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
RESULTS = HERE / "results"
TALLY_LINE = re.compile(r"quor-tally: candidates=(\d+) kept=(\d+)")


def newest_full_table():
    tables = sorted(p for p in RESULTS.glob("bench_clustered-*.json") if not p.stem.endswith("-quick"))
    if not tables:
        raise SystemExit(f"no full table in {RESULTS}: run bench_clustered.py first")
    return tables[-1]


def nominal_mhz():
    try:
        text = Path("/proc/cpuinfo").read_text()
    except OSError:
        return None
    found = re.search(r"^cpu MHz\s*:\s*([\d.]+)", text, re.M)
    return float(found.group(1)) if found else None


def tally(workload, quick, build):
    """(candidates, kept) of one count of the workload with the tallying build."""
    env = dict(os.environ, RAYON_NUM_THREADS="1", PYTHONPATH=str(build))
    code = ("import sys; sys.path.insert(0, %r); import bench_clustered as b; "
            "b.run_quor(%r, %r, 1, 1)" % (str(HERE), workload, quick))
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True)
    lines = TALLY_LINE.findall(out.stderr)
    if out.returncode != 0 or not lines:
        tail = (out.stderr.strip().splitlines() or ["no tally line: was the build configured with -DQUOR_TALLY=ON?"])[-1]
        raise SystemExit(f"{workload}: {tail}")
    candidates, kept = lines[-1]  # the last count is the timed call's, after the pool's start
    return int(candidates), int(kept)


def rate_rows(table, mhz, tallies):
    rows = []
    for row in table["rows"]:
        ours, peer, t = row["quor"], row.get("corrfunc"), row["threads"]
        if "seconds" not in ours or not peer:  # the n-point rows have no peer
            continue
        pairs = ours["total"]
        out = {"workload": row["workload"], "threads": t, "pairs": pairs,
               "ours_s": ours["seconds"], "ours_rate": pairs / (ours["seconds"] * t),
               "peer_s": None, "peer_rate": None, "ratio": row.get("ratio")}
        if mhz:
            out["ours_cycles"] = ours["seconds"] * t * mhz * 1e6 / pairs
        if "seconds" in peer:
            out["peer_s"] = peer["seconds"]
            out["peer_rate"] = pairs / (peer["seconds"] * t)
            if mhz:
                out["peer_cycles"] = peer["seconds"] * t * mhz * 1e6 / pairs
        if row["workload"] in tallies:
            candidates, kept = tallies[row["workload"]]
            out["candidates"] = candidates
            out["candidate_rate"] = candidates / (ours["seconds"] * t)
            out["candidates_per_pair"] = candidates / pairs
            out["kept"] = kept
            if mhz:
                out["cycles_per_candidate"] = ours["seconds"] * t * mhz * 1e6 / candidates
        rows.append(out)
    return rows


def markdown(rows, mhz, with_tally):
    head = ["row", "threads", "pairs", "ours s", "Corrfunc s", "ratio", "pairs/s/core",
            "Corrfunc pairs/s/core"]
    if mhz:
        head += ["cycles/pair", "Corrfunc cycles/pair"]
    if with_tally:
        head += ["candidates/pair", "candidates/s/core"] + (["cycles/candidate"] if mhz else [])
    lines = ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
    dash = "–"
    for r in rows:
        cells = [r["workload"], str(r["threads"]), f"{r['pairs']:.3g}", f"{r['ours_s']:.3f}",
                 f"{r['peer_s']:.3f}" if r["peer_s"] else dash,
                 f"{r['ratio']:.2f}" if r["ratio"] else dash,
                 f"{r['ours_rate']:.3g}", f"{r['peer_rate']:.3g}" if r["peer_rate"] else dash]
        if mhz:
            cells += [f"{r['ours_cycles']:.1f}", f"{r['peer_cycles']:.1f}" if "peer_cycles" in r else dash]
        if with_tally:
            cells += [f"{r['candidates_per_pair']:.2f}" if "candidates" in r else dash,
                      f"{r['candidate_rate']:.3g}" if "candidates" in r else dash]
            if mhz:
                cells.append(f"{r['cycles_per_candidate']:.1f}" if "candidates" in r else dash)
        lines.append("| " + " | ".join(cells) + " |")
    return "\n".join(lines)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--results", type=Path, default=None, help="a table of bench_clustered.py")
    ap.add_argument("--tally-build", type=Path, default=None, help="a build with -DQUOR_TALLY=ON")
    ap.add_argument("--mhz", type=float, default=None, help="clock for cycles (default /proc/cpuinfo)")
    args = ap.parse_args()
    path = args.results or newest_full_table()
    table = json.loads(path.read_text())
    mhz = args.mhz or nominal_mhz()
    tallies = {}
    if args.tally_build:
        sys.path.insert(0, str(HERE))
        from bench_clustered import PEER_COUNTERS, WORKLOADS

        for workload in dict.fromkeys(r["workload"] for r in table["rows"]):
            if WORKLOADS[workload][1] in PEER_COUNTERS:
                tallies[workload] = tally(workload, table["quick"], args.tally_build.resolve())
    rows = rate_rows(table, mhz, tallies)
    print(f"from {path.name} (revision {table.get('revision')}, best of {table.get('repeat')}"
          f"{', quick' if table.get('quick') else ''}); clock {mhz or '?'} MHz")
    print(markdown(rows, mhz, bool(tallies)))


if __name__ == "__main__":
    main()
