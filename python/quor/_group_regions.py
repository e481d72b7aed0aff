"""Group counts by jackknife region, for the group counters whose kernels count no regions:
the count of the whole catalogue, then one count without each region's galaxies.

This keeps the kernels' interface (the removed groups of each region after the two usual
histograms), so that quor and quor.distributed treat groups as they treat pairs; it costs
one count more per region holding galaxies. Counts are integers, so the differences are
exact. A slab's owner-aware count without region k leaves out the owned groups with a
member in k, ghost or not: the slabs' differences add up to the whole count's.
"""
from typing import Any, Callable

import numpy as np


def recounted_by_region(counter: Callable[..., Any], n_args: int) -> Callable[..., Any]:
    """`counter` (a group kernel taking `n_args` positional arguments after the positions and
    ids, then progress, threads and stop) taking `regions` and `n_regions` as well."""
    def count(coords: np.ndarray, ids: np.ndarray, *rest: Any, regions: Any = None,
              n_regions: int = 0) -> Any:
        args, trailing = rest[:n_args], rest[n_args:]
        full = counter(coords, ids, *args, *trailing)
        if regions is None:
            return full
        by_partitions, total = full
        removed = np.zeros((n_regions,) + by_partitions.shape)
        removed_total = np.zeros((n_regions,) + total.shape)
        quiet = (None,) + tuple(trailing[1:])  # the progress bar follows the whole count only
        for k in np.flatnonzero(np.bincount(regions, minlength=n_regions)):
            keep = regions != k
            kept, kept_total = counter(np.ascontiguousarray(coords[keep]), ids[keep], *args,
                                       *quiet)
            removed[k] = by_partitions - kept
            removed_total[k] = total - kept_total
        return by_partitions, total, removed, removed_total
    return count
