"""Radial pair counts of a clustered mock catalogue, split by host halo.

100,000 galaxies in a periodic box of side 250 Mpc/h, scattered around 2,000 halo
centres; each galaxy carries its halo's id. Pairs inside one halo (same partition) are
the one-halo term and dominate at small separations; pairs across haloes (cross
partition) are the two-halo term. Positions are stored as float32 and halo ids as
int64, as snapshots and halo finders write them; galaxies scattered past a face of the
box are wrapped back in by quor.
"""
import numpy as np

import quor

rng = np.random.default_rng(42)
n_galaxies, n_haloes, box = 100_000, 2_000, 250.0
centres = rng.uniform(0.0, box, size=(n_haloes, 3))
halo_ids = rng.integers(0, n_haloes, size=n_galaxies) + 10**12  # ids beyond int32
coords = (centres[halo_ids - 10**12] + rng.normal(0.0, 0.5, size=(n_galaxies, 3))).astype(np.float32)
r_bins = np.logspace(-1.0, np.log10(20.0), 11)

counts = quor.count_pairs_1d(coords, halo_ids, r_bins, box)

print(f"{n_galaxies} galaxies in {n_haloes} haloes, box {box:g} Mpc/h, {len(r_bins) - 1} radial bins")
print(f"{'r_lo':>8} {'r_hi':>8} {'same-partition':>15} {'cross-partition':>16}")
for lo, hi, a, c in zip(r_bins[:-1], r_bins[1:], counts.auto, counts.cross):
    print(f"{lo:8.3f} {hi:8.3f} {a:15.0f} {c:16.0f}")
print(f"{'total':>17} {counts.auto.sum():15.0f} {counts.cross.sum():16.0f}")
