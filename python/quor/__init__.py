"""Exact, multithreaded counts of galaxy pairs and groups in a periodic box.

Every count is split by a partition id per galaxy (for example a host-halo id, which
separates the one-halo and two-halo terms). Positions are in Mpc/h, the z axis is the
line of sight, bins are half-open ``[e_k, e_k+1)`` and a separation at the last edge is
not counted. Counts are whole numbers held in float64.

The counters accept catalogues as simulations store them (float32 or integer positions,
any integer ids, lists, DataFrame columns), wrap positions into the box, release the GIL
while counting, stop on Ctrl-C and can show their progress (``progress=True``).
"""
from ._binning import BinningWarning
from ._counts import (GroupCounts, PairCounts, count_npoint, count_npoint3_shape, count_pairs_1d,
                      count_pairs_2d, count_pairs_smu)
from ._runtime import runtime_info


# Estimators over the counts (one-halo and two-halo terms, multipoles, n-point ratios).
from .estimators import (GroupRatios, HaloTerms, delta_sigma_one_two_halo, npoint_ratio,
                         random_groups, random_pairs, wp_one_two_halo, xi_multipoles,
                         xi_one_two_halo)

__version__ = "0.1.0"

__all__ = ["count_pairs_1d", "count_pairs_2d", "count_pairs_smu", "count_npoint",
           "count_npoint3_shape", "PairCounts", "GroupCounts", "BinningWarning", "runtime_info",
           "__version__"]
__all__ += ["xi_one_two_halo", "wp_one_two_halo", "xi_multipoles", "delta_sigma_one_two_halo",
            "npoint_ratio", "random_pairs", "random_groups", "HaloTerms", "GroupRatios"]
