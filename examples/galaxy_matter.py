"""Galaxy-matter clustering and lensing on the halo-model mock: the cross-correlation
xi_gm(r) of galaxies and dark matter, and the excess surface density DeltaSigma(r_p) around
the galaxies, each split into the one-halo and two-halo terms by host-halo id.

The galaxies and haloes are those of examples/halo_model.py. The dark matter is a
subsample of particles of one effective mass: inside each halo a Poisson number of them
(mass / particle mass on average) following an NFW profile out to the virial radius and
carrying the halo's id; outside the haloes, a field holding 70% of the mass, most of it
around the same group centres as the haloes (so the two-halo term has structure), carrying
id -1, which no halo has.

    python examples/galaxy_matter.py                      # tables, and docs/galaxy_matter.png
    python examples/galaxy_matter.py --figure out.png     # the figure elsewhere
    python examples/galaxy_matter.py --no-figure          # tables only (no matplotlib needed)

The figure needs matplotlib: ``pip install '.[plot]'``.
"""
from __future__ import annotations

import argparse
import pathlib
import sys
import time

import numpy as np

import quor

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from halo_model import BOX, halo_id, isotropic, mock_catalogue, mock_haloes, nfw_radii  # noqa: E402

PARTICLE_MASS = 1e12  # Msun/h, the effective mass of one particle of the subsample
FIELD_FRACTION = 0.7  # of all the mass, outside the haloes


def mock_particles(n_haloes: int, seed: int = 12, halo_seed: int = 12):
    """Positions and host-halo ids (-1 outside every halo) of the dark-matter particles of
    the haloes that ``mock_catalogue(n_haloes, halo_seed)`` populates with galaxies."""
    haloes = mock_haloes(np.random.default_rng(halo_seed), n_haloes)  # the galaxies' haloes
    rng = np.random.default_rng(seed + 1000)
    n_in_halo = rng.poisson(haloes.mass / PARTICLE_MASS)
    host = np.repeat(np.arange(n_haloes), n_in_halo)
    radii = nfw_radii(rng, host.size, concentration=8.0) * haloes.r_vir[host]
    in_haloes = haloes.centres[host] + radii[:, None] * isotropic(rng, host.size)

    # The field: FIELD_FRACTION of all the mass; 70% of it in groups of 6 Mpc/h.
    n_field = int(round(host.size * FIELD_FRACTION / (1.0 - FIELD_FRACTION)))
    in_group = rng.uniform(size=n_field) < 0.7
    around = haloes.groups[rng.integers(0, len(haloes.groups), size=n_field)]
    field = np.where(in_group[:, None], around + rng.normal(0.0, 6.0, (n_field, 3)),
                     rng.uniform(0.0, BOX, (n_field, 3)))
    particles = np.concatenate([in_haloes, field])
    ids = np.concatenate([halo_id(host), np.full(n_field, -1, dtype=np.int64)])
    return particles, ids


def main(n_haloes: int = 40_000, figure: pathlib.Path | None = None) -> dict:
    galaxies, _, galaxy_ids = mock_catalogue(n_haloes)
    particles, particle_ids = mock_particles(n_haloes)
    in_haloes = np.count_nonzero(particle_ids != -1)
    print(f"{len(galaxies)} galaxies and {len(particles)} particles of {PARTICLE_MASS:.0e} Msun/h "
          f"({in_haloes} in {n_haloes} haloes), box {BOX:g} Mpc/h")

    r_bins = np.logspace(np.log10(0.05), np.log10(20.0), 17)
    r = np.sqrt(r_bins[1:] * r_bins[:-1])
    start = time.perf_counter()
    xi_1h, xi_2h = quor.xi_one_two_halo(galaxies, galaxy_ids, r_bins, BOX,
                                        coords2=particles, halo_ids2=particle_ids)
    ds_1h, ds_2h = quor.delta_sigma_one_two_halo(galaxies, galaxy_ids, particles, particle_ids,
                                                 PARTICLE_MASS, r_bins, BOX)
    print(f"xi_gm and DeltaSigma in {time.perf_counter() - start:.2f} s")

    to_pc = 1e-12  # h Msun / Mpc**2 to h Msun / pc**2
    print(f"\n{'r':>8} {'xi_gm,1h':>11} {'xi_gm,2h':>11} {'DS_1h':>10} {'DS_2h':>10}   "
          "(DeltaSigma in h Msun/pc^2)")
    for row in zip(r, xi_1h, xi_2h, ds_1h * to_pc, ds_2h * to_pc):
        print(f"{row[0]:8.3f} {row[1]:11.4g} {row[2]:11.4g} {row[3]:10.4g} {row[4]:10.4g}")

    results = dict(r=r, r_bins=r_bins, xi_1h=xi_1h, xi_2h=xi_2h, ds_1h=ds_1h * to_pc,
                   ds_2h=ds_2h * to_pc)
    if figure is not None:
        plot(results, figure)
        print(f"\nfigure: {figure}")
    return results


def plot(res: dict, path: pathlib.Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    def positive(values):  # log axes: leave out bins that are not above zero
        return np.where(values > 0, values, np.nan)

    fig, axes = plt.subplots(1, 2, figsize=(10, 4.3), constrained_layout=True)
    ax = axes[0]
    ax.loglog(res["r"], positive(res["xi_1h"] + res["xi_2h"]), "k-", lw=2, label=r"$\xi_{gm}$")
    ax.loglog(res["r"], positive(res["xi_1h"]), "C3--", label="one-halo (own halo's particles)")
    ax.loglog(res["r"], positive(res["xi_2h"]), "C0--", label="two-halo (all other particles)")
    ax.set(xlabel=r"$r$ [Mpc/$h$]", ylabel=r"$\xi_{gm}(r)$",
           title="Galaxy-matter cross-correlation")
    ax.legend()

    ax = axes[1]
    ax.loglog(res["r"], positive(res["ds_1h"] + res["ds_2h"]), "k-", lw=2, label=r"$\Delta\Sigma$")
    ax.loglog(res["r"], positive(res["ds_1h"]), "C3--", label="one-halo")
    ax.loglog(res["r"], positive(res["ds_2h"]), "C0--", label="two-halo")
    ax.set(xlabel=r"$r_p$ [Mpc/$h$]", ylabel=r"$\Delta\Sigma(r_p)$ [$h\,M_\odot\,$pc$^{-2}$]",
           title=r"Excess surface density (projected through the box)")
    ax.legend()

    fig.savefig(path, dpi=80)
    plt.close(fig)


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--haloes", type=int, default=40_000, help="number of haloes (default 40000)")
    parser.add_argument("--figure", type=pathlib.Path,
                        default=pathlib.Path(__file__).resolve().parent.parent / "docs" / "galaxy_matter.png",
                        help="where to write the figure (default docs/galaxy_matter.png)")
    parser.add_argument("--no-figure", action="store_true", help="print the tables only")
    args = parser.parse_args()
    main(args.haloes, None if args.no_figure else args.figure)
