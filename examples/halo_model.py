"""The halo model on a mock catalogue: xi(r), w_p(r_p), redshift-space multipoles and
triplet counts, each split into the one-halo and two-halo terms by host-halo id.

The mock: haloes in a periodic box of side 250 Mpc/h, most of them in loose groups (so
the two-halo term has clustering of its own), with masses from a power law. Every halo
holds a central galaxy at its centre and a Poisson number of satellites that follow an
NFW profile out to the virial radius. Redshift-space positions add to z each galaxy's
line-of-sight velocity over 100 km/s per Mpc/h: haloes fall coherently towards the
centre of their group (flattening the two-halo term) and satellites orbit at random
within their halo (stretching the one-halo term: fingers of god).

    python examples/halo_model.py                      # tables, and docs/halo_model.png
    python examples/halo_model.py --figure out.png     # the figure elsewhere
    python examples/halo_model.py --no-figure          # tables only (no matplotlib needed)

The figure needs matplotlib: ``pip install '.[plot]'``.
"""
from __future__ import annotations

import argparse
import pathlib
import time
from typing import NamedTuple

import numpy as np

import quor

BOX = 250.0  # Mpc/h


def nfw_radii(rng: np.random.Generator, n: int, concentration: float) -> np.ndarray:
    """Radii in units of the virial radius drawn from an NFW profile truncated at 1, by
    inverting its enclosed mass m(x) = ln(1 + c x) - c x / (1 + c x) on a table."""
    x = np.linspace(0.0, 1.0, 2001)
    cx = concentration * x
    mass = np.log1p(cx) - cx / (1.0 + cx)
    return np.interp(rng.uniform(0.0, mass[-1], size=n), mass, x)


def isotropic(rng: np.random.Generator, n: int) -> np.ndarray:
    """Unit vectors uniform on the sphere."""
    v = rng.normal(size=(n, 3))
    return v / np.linalg.norm(v, axis=1, keepdims=True)


class Haloes(NamedTuple):
    """The mock's haloes: centres (Mpc/h), line-of-sight infall (Mpc/h of redshift space),
    masses (Msun/h), virial radii (Mpc/h), satellite velocity dispersions (Mpc/h), and the
    group centres most of them sit around."""

    centres: np.ndarray
    infall: np.ndarray
    mass: np.ndarray
    r_vir: np.ndarray
    sigma_v: np.ndarray
    groups: np.ndarray


def mock_haloes(rng: np.random.Generator, n_haloes: int) -> Haloes:
    """Haloes: 70% in groups of 4 Mpc/h around 1,000 group centres, the rest anywhere."""
    groups = rng.uniform(0.0, BOX, size=(1000, 3))
    in_group = rng.uniform(size=n_haloes) < 0.7
    group_of = rng.integers(0, len(groups), size=n_haloes)
    offset = rng.normal(0.0, 4.0, size=(n_haloes, 3))
    centres = np.where(in_group[:, None], groups[group_of] + offset, rng.uniform(0.0, BOX, (n_haloes, 3)))
    # Coherent infall towards the group centre: 0.7 of the offset, in Mpc/h of redshift space.
    infall = np.where(in_group, -0.7 * offset[:, 2], 0.0)

    # Masses dN/dM ~ M^-1.9 from 1e12 to 1e15 Msun/h; virial radius ~ M^(1/3).
    u = rng.uniform(size=n_haloes)
    mass = 1e12 * (1.0 - u * (1.0 - 1e3**-0.9)) ** (-1.0 / 0.9)
    r_vir = 0.2 * (mass / 1e12) ** (1.0 / 3.0)
    sigma_v = 2.0 * (mass / 1e13) ** (1.0 / 3.0)  # satellite dispersion, 200 km/s at 1e13
    return Haloes(centres, infall, mass, r_vir, sigma_v, groups)


def halo_id(host: np.ndarray) -> np.ndarray:
    """Halo ids as a halo finder writes them: large, sparse int64 (quor only compares them)."""
    return 10**15 + 7 * host


def mock_catalogue(n_haloes: int, seed: int = 12):
    """Real-space positions, redshift-space positions and host-halo ids of the galaxies."""
    rng = np.random.default_rng(seed)
    haloes = mock_haloes(rng, n_haloes)
    centres, r_vir, sigma_v = haloes.centres, haloes.r_vir, haloes.sigma_v

    n_sat = rng.poisson(haloes.mass / 1e13)
    host = np.concatenate([np.arange(n_haloes), np.repeat(np.arange(n_haloes), n_sat)])
    n_satellites = host.size - n_haloes
    radii = nfw_radii(rng, n_satellites, concentration=8.0) * r_vir[host[n_haloes:]]
    position = centres[host].copy()
    position[n_haloes:] += radii[:, None] * isotropic(rng, n_satellites)
    shift = haloes.infall[host]
    shift[n_haloes:] += rng.normal(size=n_satellites) * sigma_v[host[n_haloes:]]
    redshift_space = position.copy()
    redshift_space[:, 2] += shift
    return position, redshift_space, halo_id(host)


def main(n_haloes: int = 40_000, figure: pathlib.Path | None = None) -> dict:
    coords, coords_rsd, halo_ids = mock_catalogue(n_haloes)
    print(f"{len(coords)} galaxies in {n_haloes} haloes, box {BOX:g} Mpc/h")

    r_bins = np.logspace(np.log10(0.03), np.log10(30.0), 19)
    r = np.sqrt(r_bins[1:] * r_bins[:-1])
    s_bins = np.logspace(np.log10(0.5), np.log10(40.0), 13)
    s = np.sqrt(s_bins[1:] * s_bins[:-1])
    t_bins = np.array([0.05, 0.1, 0.2, 0.4, 0.8, 1.6])

    start = time.perf_counter()
    xi_1h, xi_2h = quor.xi_one_two_halo(coords, halo_ids, r_bins, BOX)
    wp_1h, wp_2h = quor.wp_one_two_halo(coords, halo_ids, r_bins, 40.0, BOX)
    ell_1h, ell_2h = quor.xi_multipoles(coords_rsd, halo_ids, s_bins, 20, BOX, ells=(0, 2))
    triplets, triplets_total = quor.npoint_ratio(coords, halo_ids, t_bins, BOX, 3)
    print(f"four estimators in {time.perf_counter() - start:.2f} s")

    print(f"\n{'r':>8} {'xi_1h':>11} {'xi_2h':>11} {'xi':>11} {'wp_1h':>10} {'wp_2h':>10}")
    for row in zip(r, xi_1h, xi_2h, xi_1h + xi_2h, wp_1h, wp_2h):
        print(f"{row[0]:8.3f} {row[1]:11.4g} {row[2]:11.4g} {row[3]:11.4g} {row[4]:10.4g} {row[5]:10.4g}")
    xi0, xi2 = ell_1h + ell_2h
    print(f"\n{'s':>8} {'xi_0':>10} {'xi_2':>10}")
    for row in zip(s, xi0, xi2):
        print(f"{row[0]:8.3f} {row[1]:10.4g} {row[2]:10.4g}")
    print(f"\n{'r_max':>14} {'DDD/RRR':>10} {'1 halo':>10} {'2 haloes':>10} {'3 haloes':>10}")
    for lo, hi, total, by in zip(t_bins[:-1], t_bins[1:], triplets_total, triplets.T):
        print(f"{lo:6.2f}-{hi:<7.2f} {total:10.4g} {by[0]:10.4g} {by[1]:10.4g} {by[2]:10.4g}")

    results = dict(r=r, xi_1h=xi_1h, xi_2h=xi_2h, wp_1h=wp_1h, wp_2h=wp_2h, s=s, xi0=xi0,
                   xi2=xi2, xi0_2h=ell_2h[0], xi2_2h=ell_2h[1], t_bins=t_bins,
                   triplets=triplets, triplets_total=triplets_total)
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

    fig, axes = plt.subplots(2, 2, figsize=(10, 8), constrained_layout=True)
    ax = axes[0, 0]
    ax.loglog(res["r"], positive(res["xi_1h"] + res["xi_2h"]), "k-", lw=2, label=r"$\xi$")
    ax.loglog(res["r"], positive(res["xi_1h"]), "C3--", label=r"$\xi_{1h}$ (same halo)")
    ax.loglog(res["r"], positive(res["xi_2h"]), "C0--", label=r"$\xi_{2h}$ (different haloes)")
    ax.set(xlabel=r"$r$ [Mpc/$h$]", ylabel=r"$\xi(r)$", title="Real-space correlation function")
    ax.legend()

    ax = axes[0, 1]
    ax.loglog(res["r"], positive(res["wp_1h"] + res["wp_2h"]), "k-", lw=2, label=r"$w_p$")
    ax.loglog(res["r"], positive(res["wp_1h"]), "C3--", label=r"$w_{p,1h}$")
    ax.loglog(res["r"], positive(res["wp_2h"]), "C0--", label=r"$w_{p,2h}$")
    ax.set(xlabel=r"$r_p$ [Mpc/$h$]", ylabel=r"$w_p(r_p)$ [Mpc/$h$]",
           title=r"Projected correlation function, $\pi_{max} = 40$")
    ax.legend()

    ax = axes[1, 0]
    s2 = res["s"] ** 2
    ax.semilogx(res["s"], s2 * res["xi0"], "k-", lw=2, label=r"monopole $s^2\xi_0$")
    ax.semilogx(res["s"], s2 * res["xi2"], "C2-", lw=2, label=r"quadrupole $s^2\xi_2$")
    ax.semilogx(res["s"], s2 * res["xi0_2h"], "k:", label="two-halo terms")
    ax.semilogx(res["s"], s2 * res["xi2_2h"], "C2:")
    ax.axhline(0.0, color="0.7", lw=0.8)
    ax.set(xlabel=r"$s$ [Mpc/$h$]", ylabel=r"$s^2 \xi_\ell(s)$ [(Mpc/$h$)$^2$]",
           title="Redshift-space multipoles")
    ax.legend()

    ax = axes[1, 1]
    t = np.sqrt(res["t_bins"][1:] * res["t_bins"][:-1])
    ax.loglog(t, positive(res["triplets_total"]), "k-", lw=2, label="all triplets")
    for row, style in zip(range(3), ("C3--", "C1--", "C0--")):
        ax.loglog(t, positive(res["triplets"][row]), style, label=f"members in {row + 1} halo{'es' if row else ''}")
    ax.set(xlabel=r"largest side $r_{max}$ [Mpc/$h$]", ylabel="DDD / RRR",
           title="Triplets over random triplets")
    ax.legend()

    fig.savefig(path, dpi=80)
    plt.close(fig)


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--haloes", type=int, default=40_000, help="number of haloes (default 40000)")
    parser.add_argument("--figure", type=pathlib.Path,
                        default=pathlib.Path(__file__).resolve().parent.parent / "docs" / "halo_model.png",
                        help="where to write the figure (default docs/halo_model.png)")
    parser.add_argument("--no-figure", action="store_true", help="print the tables only")
    args = parser.parse_args()
    main(args.haloes, None if args.no_figure else args.figure)
