"""quor.xi_one_two_halo against halotools' tpcf_one_two_halo_decomp: the same terms after
the conversion of conventions, and the time each takes.

    python benchmarks/bench_halotools.py [--haloes 190000] [--threads 2] [--repeat 1]

The catalogue is the halo-model mock of examples/halo_model.py (about 1.9 galaxies per
halo: some 3.6e5 galaxies for the default, box 250 Mpc/h), 20 logarithmic bins of r
from 0.1 to 20 Mpc/h. halotools (not a dependency of quor) runs with its analytic
randoms (period given, no randoms), which count ordered pairs against N**2 V / L**3 and
subtract 1 from both terms, so that

    xi_1h(halotools) = (N - 1) / N * xi_1h(quor) - 1
    xi_2h(halotools) = (N - 1) / N * (1 + xi_2h(quor)) - 1

Prints both terms side by side, the largest relative difference (exit status 1 when it
exceeds 1e-10) and the wall time of each code with the same number of threads. quor's
pool is sized by RAYON_NUM_THREADS, set here before the first count.
"""
import argparse
import os
import pathlib
import runpy
import sys
import time

import numpy as np

TOLERANCE = 1e-10


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--haloes", type=int, default=190_000)
    parser.add_argument("--threads", type=int, default=os.cpu_count())
    parser.add_argument("--repeat", type=int, default=1)
    args = parser.parse_args()
    os.environ["RAYON_NUM_THREADS"] = str(args.threads)

    import quor
    from halotools.mock_observables import tpcf_one_two_halo_decomp

    example = runpy.run_path(str(pathlib.Path(__file__).resolve().parent.parent / "examples" / "halo_model.py"))
    box = example["BOX"]
    coords, _, halo_ids = example["mock_catalogue"](args.haloes)
    coords = np.mod(coords, box)  # halotools wants every position inside the box
    coords[coords >= box] = 0.0
    n = len(coords)
    r_bins = np.logspace(-1.0, np.log10(20.0), 21)

    def best(fn):
        times, result = [], None
        for _ in range(args.repeat):
            start = time.perf_counter()
            result = fn()
            times.append(time.perf_counter() - start)
        return min(times), result

    t_quor, (xi_1h, xi_2h) = best(lambda: quor.xi_one_two_halo(coords, halo_ids, r_bins, box))
    t_ht, (ht_1h, ht_2h) = best(lambda: tpcf_one_two_halo_decomp(
        coords, halo_ids, r_bins, period=box, num_threads=args.threads))

    conv_1h = (n - 1) / n * xi_1h - 1.0
    conv_2h = (n - 1) / n * (1.0 + xi_2h) - 1.0
    rel_1h = np.abs(conv_1h - ht_1h) / np.abs(ht_1h)
    rel_2h = np.abs(conv_2h - ht_2h) / np.abs(ht_2h)

    print(f"{n} galaxies in {args.haloes} haloes, box {box:g} Mpc/h, r in [0.1, 20), "
          f"{len(r_bins) - 1} bins, {args.threads} threads")
    print(f"{'r_lo':>7} {'r_hi':>7} {'xi_1h quor->ht':>16} {'xi_1h halotools':>16} {'rel':>8}"
          f" {'xi_2h quor->ht':>16} {'xi_2h halotools':>16} {'rel':>8}")
    for row in zip(r_bins[:-1], r_bins[1:], conv_1h, ht_1h, rel_1h, conv_2h, ht_2h, rel_2h):
        print(f"{row[0]:7.3f} {row[1]:7.3f} {row[2]:16.10g} {row[3]:16.10g} {row[4]:8.1e}"
              f" {row[5]:16.10g} {row[6]:16.10g} {row[7]:8.1e}")
    worst = max(rel_1h.max(), rel_2h.max())
    print(f"largest relative difference: {worst:.2e} (tolerance {TOLERANCE:g})")
    print(f"time: quor {t_quor:.2f} s, halotools {t_ht:.2f} s, ratio {t_ht / t_quor:.1f}")
    return 0 if worst <= TOLERANCE else 1


if __name__ == "__main__":
    sys.exit(main())
