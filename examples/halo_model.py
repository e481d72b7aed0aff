"""The halo model on a mock catalogue: xi(r), w_p(r_p), redshift-space multipoles and
triplet counts, each split into the one-halo and two-halo terms by host-halo id.

The mock: haloes in a periodic box of side 250 Mpc/h, most of them in loose groups (so
the two-halo term has clustering of its own), with masses from a power law, and no two
closer than the sum of their virial radii (so the two-halo term vanishes at small r, its
xi_2h at -1: no pair of galaxies in two haloes). Every halo holds a central galaxy at
its centre and a Poisson number of satellites that follow an NFW profile out to the
virial radius. Redshift-space positions add to z each galaxy's line-of-sight velocity
over 100 km/s per Mpc/h: haloes fall coherently towards the centre of their group
(flattening the two-halo term) and satellites orbit at random within their halo
(stretching the one-halo term: fingers of god).

Error bars are jackknife errors over 27 cubes of the box (the estimators' ``regions=3``):
each estimate is made again without every pair that has a galaxy in one cube, and the
spread of those 27 estimates gives the error. The triplets are shown as the share of
each bin's triplets whose members sit in one, two or three haloes.

    python examples/halo_model.py                      # tables, and docs/halo_model.png
    python examples/halo_model.py --figure out.png     # the figure elsewhere
    python examples/halo_model.py --no-figure          # tables only (no matplotlib needed)
    python examples/halo_model.py --regions 0          # no error bars (a quicker count)

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
PI_MAX = 40.0  # Mpc/h, the line-of-sight reach of w_p


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


def close_pairs(points: np.ndarray, reach: float, box: float, among: np.ndarray | None = None):
    """Index pairs (i, j) of points in [0, box)^3 closer than `reach` across the periodic
    box, with their separations: every such pair once with i < j, or with `among` (indices)
    every pair with i in `among` and j any other point.

    The points are sorted into a grid of cells at least `reach` wide, so a point's
    neighbours lie in its own cell or the 26 around it; with fewer than three cells a
    side those would repeat, and one cell holds everything instead.
    """
    n_cells = int(box // reach)
    if n_cells < 3:
        n_cells, steps = 1, np.zeros((1, 3), dtype=np.int64)
    else:
        steps = np.indices((3, 3, 3)).reshape(3, -1).T - 1
    cell = np.minimum((points // (box / n_cells)).astype(np.int64), n_cells - 1)

    def flat(c):
        return (c[:, 0] * n_cells + c[:, 1]) * n_cells + c[:, 2]

    order = np.argsort(flat(cell), kind="stable")
    starts = np.searchsorted(flat(cell)[order], np.arange(n_cells**3 + 1))
    queries = np.arange(len(points)) if among is None else np.asarray(among)
    firsts, seconds = [], []
    for step in steps:
        neighbour = flat((cell[queries] + step) % n_cells)
        size = starts[neighbour + 1] - starts[neighbour]
        # Every query against every member of its neighbouring cell, as flat index arrays.
        first = np.repeat(queries, size)
        within = np.arange(size.sum()) - np.repeat(np.cumsum(size) - size, size)
        second = order[np.repeat(starts[neighbour], size) + within]
        keep = first < second if among is None else first != second
        firsts.append(first[keep])
        seconds.append(second[keep])
    first, second = np.concatenate(firsts), np.concatenate(seconds)
    d = points[second] - points[first]
    d -= box * np.round(d / box)  # the nearest periodic image
    distance = np.sqrt((d[:, 0] * d[:, 0] + d[:, 1] * d[:, 1]) + d[:, 2] * d[:, 2])
    near = distance < reach
    return first[near], second[near], distance[near]


def overlapping(centres: np.ndarray, r_vir: np.ndarray,
                among: np.ndarray | None = None) -> np.ndarray:
    """The haloes to move so that none overlaps another: of each pair closer than the sum
    of their radii, the smaller one (the later one of two equal radii); with `among`, only
    the pairs that hold one of those haloes."""
    first, second, distance = close_pairs(centres, 2.0 * r_vir.max(), BOX, among)
    clash = distance < r_vir[first] + r_vir[second]
    first, second = first[clash], second[clash]
    smaller = np.where(r_vir[second] < r_vir[first], second,
                       np.where(r_vir[first] < r_vir[second], first, np.maximum(first, second)))
    return np.unique(smaller)


def mock_haloes(rng: np.random.Generator, n_haloes: int) -> Haloes:
    """Haloes: 70% in groups of 4 Mpc/h around 1,000 group centres, the rest anywhere, no
    two closer than the sum of their virial radii (halo exclusion)."""
    groups = rng.uniform(0.0, BOX, size=(1000, 3))
    in_group = rng.uniform(size=n_haloes) < 0.7
    group_of = rng.integers(0, len(groups), size=n_haloes)

    # Masses dN/dM ~ M^-1.9 from 1e12 to 1e15 Msun/h; virial radius ~ M^(1/3).
    u = rng.uniform(size=n_haloes)
    mass = 1e12 * (1.0 - u * (1.0 - 1e3**-0.9)) ** (-1.0 / 0.9)
    r_vir = 0.2 * (mass / 1e12) ** (1.0 / 3.0)
    sigma_v = 2.0 * (mass / 1e13) ** (1.0 / 3.0)  # satellite dispersion, 200 km/s at 1e13

    # Place every halo, then redraw the smaller of each overlapping pair (around its own
    # group, or anywhere for a halo in no group) until none overlaps; haloes fill a small
    # part of even a group's volume, so a few rounds suffice.
    offset = np.empty((n_haloes, 3))
    centres = np.empty((n_haloes, 3))
    moving = np.arange(n_haloes)
    for _ in range(100):
        offset[moving] = rng.normal(0.0, 4.0, size=(moving.size, 3))
        anywhere = rng.uniform(0.0, BOX, size=(moving.size, 3))
        around_group = groups[group_of[moving]] + offset[moving]
        centres[moving] = np.where(in_group[moving, None], around_group, anywhere) % BOX
        moving = overlapping(centres, r_vir, among=moving)  # the others stayed apart
        if moving.size == 0:
            break
    else:
        raise RuntimeError("haloes still overlap after 100 rounds; the box is too full")
    # Coherent infall towards the group centre: 0.7 of the offset, in Mpc/h of redshift space.
    infall = np.where(in_group, -0.7 * offset[:, 2], 0.0)
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


def jackknife_error(delete_one: np.ndarray) -> np.ndarray:
    """The jackknife error of estimates made without each region in turn (leading axis):
    the square root of (n - 1) / n sum_k (x_k - mean)^2."""
    n = delete_one.shape[0]
    return np.sqrt((n - 1) / n * ((delete_one - delete_one.mean(axis=0)) ** 2).sum(axis=0))


def main(n_haloes: int = 40_000, figure: pathlib.Path | None = None,
         regions: int | None = 3) -> dict:
    """Count the mock, print the tables and draw the figure, with jackknife errors over
    `regions`**3 cubes of the box (none with `regions` None or 0)."""
    coords, coords_rsd, halo_ids = mock_catalogue(n_haloes)
    print(f"{len(coords)} galaxies in {n_haloes} haloes, box {BOX:g} Mpc/h")

    r_bins = np.logspace(np.log10(0.03), np.log10(30.0), 19)
    r = np.sqrt(r_bins[1:] * r_bins[:-1])
    s_bins = np.logspace(np.log10(0.5), np.log10(40.0), 13)
    s = np.sqrt(s_bins[1:] * s_bins[:-1])
    t_bins = 0.2 * 2.0 ** (np.arange(11) / 2.0)  # 0.2 to 6.4 Mpc/h

    regions = regions or None
    jackknife = {} if regions is None else {"regions": regions}
    start = time.perf_counter()
    xi = quor.xi_one_two_halo(coords, halo_ids, r_bins, BOX, **jackknife)
    wp = quor.wp_one_two_halo(coords, halo_ids, r_bins, PI_MAX, BOX, **jackknife)
    ell = quor.xi_multipoles(coords_rsd, halo_ids, s_bins, 20, BOX, ells=(0, 2), **jackknife)
    triplets = quor.npoint_ratio(coords, halo_ids, t_bins, BOX, 3, **jackknife)
    print(f"four estimators in {time.perf_counter() - start:.2f} s")

    xi_1h, xi_2h = xi
    wp_1h, wp_2h = wp
    ell_1h, ell_2h = ell
    by_halo, triplets_total = triplets
    xi0, xi2 = ell_1h + ell_2h
    # Triplets with members in 1, 2 and 3 haloes, as shares of all triplets of the bin.
    shares = by_halo / triplets_total
    results = dict(n_galaxies=len(coords), n_haloes=n_haloes, r=r, xi_1h=xi_1h, xi_2h=xi_2h,
                   wp_1h=wp_1h, wp_2h=wp_2h, s=s, xi0=xi0, xi2=xi2, xi0_2h=ell_2h[0],
                   xi2_2h=ell_2h[1], t_bins=t_bins, triplets=by_halo,
                   triplets_total=triplets_total, shares=shares)
    if regions is not None:
        results.update(regions=regions, xi_err=xi.total_err, wp_err=wp.total_err,
                       xi0_err=ell.total_err[0], xi2_err=ell.total_err[1])
        shares_by_region = triplets.by_partitions_by_region / triplets.total_by_region[:, None, :]
        for row, error in enumerate(jackknife_error(shares_by_region)):
            results[f"shares{row}_err"] = error
    print_tables(results)
    if figure is not None:
        plot(results, figure)
        print(f"\nfigure: {figure}")
    return results


def print_tables(res: dict) -> None:
    def err(key, like):  # a column of errors, NaN without regions
        return res.get(key, np.full(len(like), np.nan))

    xi, wp = res["xi_1h"] + res["xi_2h"], res["wp_1h"] + res["wp_2h"]
    print(f"\n{'r':>8} {'xi_1h':>11} {'xi_2h':>11} {'xi':>11} {'+-':>9} "
          f"{'wp_1h':>10} {'wp_2h':>10} {'wp':>10} {'+-':>9}")
    for row in zip(res["r"], res["xi_1h"], res["xi_2h"], xi, err("xi_err", xi),
                   res["wp_1h"], res["wp_2h"], wp, err("wp_err", wp)):
        print("{:8.3f} {:11.4g} {:11.4g} {:11.4g} {:9.2g} {:10.4g} {:10.4g} {:10.4g} {:9.2g}"
              .format(*row))
    print(f"\n{'s':>8} {'xi_0':>10} {'+-':>9} {'xi_2':>10} {'+-':>9}")
    for row in zip(res["s"], res["xi0"], err("xi0_err", res["s"]), res["xi2"],
                   err("xi2_err", res["s"])):
        print("{:8.3f} {:10.4g} {:9.2g} {:10.4g} {:9.2g}".format(*row))
    print(f"\n{'r_max':>14} {'DDD/RRR':>10} {'share in 1 halo':>16} {'2 haloes':>10} "
          f"{'3 haloes':>10}")
    t_bins = res["t_bins"]
    for lo, hi, total, share in zip(t_bins[:-1], t_bins[1:], res["triplets_total"],
                                    res["shares"].T):
        print(f"{lo:6.2f}-{hi:<7.2f} {total:10.4g} {share[0]:16.4g} {share[1]:10.4g} "
              f"{share[2]:10.4g}")


def plot(res: dict, path: pathlib.Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    import matplotlib.ticker

    def with_errors(ax, x, y, key, scale=1.0, **style):  # a line, with jackknife error bars if any
        if key in res:
            ax.errorbar(x, y, yerr=scale * res[key], capsize=2, elinewidth=1, **style)
        else:
            ax.plot(x, y, **style)

    def signed_log(ax, linthresh):  # log both ways, linear within +-linthresh: no bin drops out
        ax.set_yscale("symlog", linthresh=linthresh, linscale=0.6)
        ax.axhspan(-linthresh, linthresh, color="0.93", zorder=0)
        ax.axhline(0.0, color="0.6", lw=0.8, zorder=0)

    def legend_total_first(ax, **where):  # the black total above its two terms
        handles, labels = ax.get_legend_handles_labels()
        ax.legend(handles[-1:] + handles[:-1], labels[-1:] + labels[:-1], **where)

    fig, axes = plt.subplots(2, 2, figsize=(11, 9), constrained_layout=True)
    errors = (f"; jackknife errors from {res['regions'] ** 3} cubes of "
              f"{BOX / res['regions']:.0f} Mpc/$h$" if "regions" in res else "")
    fig.suptitle(f"Halo-model mock: {res['n_galaxies']:,} galaxies in {res['n_haloes']:,} haloes, "
                 f"periodic box of {BOX:g} Mpc/$h${errors}")

    ax = axes[0, 0]
    with_errors(ax, res["r"], res["xi_1h"] + res["xi_2h"], "xi_err", color="k", lw=2, marker=".",
                label=r"$\xi$")
    ax.plot(res["r"], res["xi_1h"], "C3--", label=r"$\xi_{1h}$ (pairs in one halo)")
    ax.plot(res["r"], res["xi_2h"], "C0--", label=r"$\xi_{2h}$ (pairs in two haloes)")
    ax.set_xscale("log")
    signed_log(ax, 0.01)
    ax.set(xlabel=r"separation $r$ [Mpc/$h$]", ylabel=r"$\xi(r)$ (dimensionless)",
           title="Real-space correlation function")
    legend_total_first(ax, loc="upper right")
    ax.text(0.97, 0.05, r"$\xi_{2h} = -1$: no pairs in two haloes" "\n"
            "(haloes exclude each other)\n" r"grey band: linear within $\pm 0.01$",
            transform=ax.transAxes, fontsize=8, ha="right")

    ax = axes[0, 1]
    with_errors(ax, res["r"], res["wp_1h"] + res["wp_2h"], "wp_err", color="k", lw=2, marker=".",
                label=r"$w_p$")
    ax.plot(res["r"], res["wp_1h"], "C3--", label=r"$w_{p,1h}$")
    ax.plot(res["r"], res["wp_2h"], "C0--", label=r"$w_{p,2h}$")
    ax.set_xscale("log")
    signed_log(ax, 0.1)
    ax.set(xlabel=r"projected separation $r_p$ [Mpc/$h$]", ylabel=r"$w_p(r_p)$ [Mpc/$h$]",
           title=rf"Projected correlation function, $\pi_{{max}} = {PI_MAX:g}$ Mpc/$h$")
    legend_total_first(ax, loc="upper right")
    ax.text(0.04, 0.14, r"grey band: linear scale within $\pm 0.1$ Mpc/$h$", transform=ax.transAxes,
            fontsize=8)

    ax = axes[1, 0]
    s2 = res["s"] ** 2
    with_errors(ax, res["s"], s2 * res["xi0"], "xi0_err", s2, color="k", lw=2, marker=".",
                label=r"monopole $s^2\xi_0$")
    with_errors(ax, res["s"], s2 * res["xi2"], "xi2_err", s2, color="C2", lw=2, marker=".",
                label=r"quadrupole $s^2\xi_2$")
    ax.plot(res["s"], s2 * res["xi0_2h"], "k:", label="two-halo terms (dotted)")
    ax.plot(res["s"], s2 * res["xi2_2h"], "C2:")
    ax.axhline(0.0, color="0.6", lw=0.8, zorder=0)
    ax.set_xscale("log")
    ax.set(xlabel=r"redshift-space separation $s$ [Mpc/$h$]",
           ylabel=r"$s^2 \xi_\ell(s)$ [(Mpc/$h$)$^2$]",
           title="Redshift-space multipoles (line of sight $z$)")
    ax.legend(loc="lower left")

    ax = axes[1, 1]
    t = np.sqrt(res["t_bins"][1:] * res["t_bins"][:-1])
    for row, color in zip(range(3), ("C3", "C1", "C0")):
        label = "all three in one halo" if row == 0 else f"in {row + 1} different haloes"
        with_errors(ax, t, res["shares"][row], f"shares{row}_err", color=color, lw=2,
                    marker="o", ms=4, label=label)
    ax.set_xscale("log")
    signed_log(ax, 1e-4)
    ax.set_ylim(-2e-5, 2.0)
    ax.set_xticks([0.2, 0.5, 1.0, 2.0, 5.0], labels=["0.2", "0.5", "1", "2", "5"])
    ax.xaxis.set_minor_formatter(matplotlib.ticker.NullFormatter())
    ax.set(xlabel=r"largest side of the triangle $r_{max}$ [Mpc/$h$]",
           ylabel="share of the bin's triplets (dimensionless)",
           title="Galaxy triplets by number of host haloes")
    ax.legend(loc="center left")

    fig.savefig(path, dpi=90)
    plt.close(fig)


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--haloes", type=int, default=40_000, help="number of haloes (default 40000)")
    parser.add_argument("--regions", type=int, default=3,
                        help="jackknife errors over n^3 cubes of the box (default 3; 0: none)")
    parser.add_argument("--figure", type=pathlib.Path,
                        default=pathlib.Path(__file__).resolve().parent.parent / "docs" / "halo_model.png",
                        help="where to write the figure (default docs/halo_model.png)")
    parser.add_argument("--no-figure", action="store_true", help="print the tables only")
    args = parser.parse_args()
    main(args.haloes, None if args.no_figure else args.figure, args.regions)
