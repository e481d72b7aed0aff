"""Radial pair counts of a random catalogue, split into same- and cross-partition pairs.

100,000 galaxies in a periodic box of side 250 Mpc/h, each carrying the id of one of
2,000 "haloes"; pairs inside one halo are the one-halo term, the others the two-halo term.
"""
import numpy as np

import _quor

rng = np.random.default_rng(42)
n_galaxies, box = 100_000, 250.0
coords = rng.uniform(0.0, box, size=(n_galaxies, 3))
halo_ids = rng.integers(0, 2_000, size=n_galaxies).astype(np.int32)
r_bins = np.logspace(-1.0, np.log10(20.0), 11)

dd_auto, dd_cross = _quor.count_pairs_1d(coords, halo_ids, r_bins, box)

print(f"{n_galaxies} galaxies, box {box:g} Mpc/h, {len(r_bins) - 1} radial bins")
print(f"{'r_lo':>8} {'r_hi':>8} {'same-partition':>15} {'cross-partition':>16}")
for lo, hi, a, c in zip(r_bins[:-1], r_bins[1:], dd_auto, dd_cross):
    print(f"{lo:8.3f} {hi:8.3f} {a:15.0f} {c:16.0f}")
print(f"{'total':>17} {dd_auto.sum():15.0f} {dd_cross.sum():16.0f}")
