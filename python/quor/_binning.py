"""The table through which groups of three or more galaxies are binned, and the warning
for bins that it can never fill."""
from __future__ import annotations

import math
import sys
import warnings

import numpy as np

# Squared largest separations are quantised to this many levels of r_max**2 / 4095.
TABLE_SIZE = 4096


class BinningWarning(UserWarning):
    """A bin of a group count that can never hold a group.

    ``count_npoint`` (``n_order != 2``) and ``count_npoint3_shape`` bin a group through a
    table of 4096 levels of the squared last edge, ``j * r_bins[-1]**2 / 4095``: the
    group goes to the bin holding the level just below its squared largest separation.
    A bin with no level inside it stays empty whatever the catalogue.
    """


def bin_table(r_bins: np.ndarray) -> np.ndarray:
    """The bin of each of the 4096 levels (-1 below the first edge), computed as the
    kernels compute it: level j is ``r_max**2 * (j / 4095)``, its bin the number of
    squared edges at or below it, less one, and the last level (r_max**2 itself) in the
    last bin."""
    r2 = r_bins * r_bins
    levels = r2[-1] * (np.arange(TABLE_SIZE, dtype=np.float64) / (TABLE_SIZE - 1))
    return np.minimum(np.searchsorted(r2, levels, side="right") - 1, len(r2) - 2)


def _level_of(m: float, scale: float) -> int:
    """The table entry of a squared separation m: m * scale truncated (NaN and negative
    values to 0), at most the last entry."""
    v = m * scale
    if not v > 0.0:
        return 0
    return int(v) if v < TABLE_SIZE - 1 else TABLE_SIZE - 1


def reachable_levels(r2_max: float) -> np.ndarray:
    """The table entries some group can land on: those of the squared separations m in
    [0, r2_max), every pair of a group being closer than the last edge. m * scale never
    decreases with m and, for a finite scale, grows by far less than 1 from one double to
    the next, so the entries form one run from that of 0 to that of the largest m."""
    if not r2_max > 0.0:
        return np.zeros(0, dtype=np.int64)
    scale = 4095.0 / r2_max
    first, last = _level_of(0.0, scale), _level_of(math.nextafter(r2_max, 0.0), scale)
    if math.isinf(scale):  # 0 * inf is NaN, entry 0; any m > 0 lands on the last entry
        return np.unique([first, last])
    return np.arange(first, last + 1)


def unfillable_bins(r_bins: np.ndarray) -> np.ndarray:
    """Bins of positive width into which the table puts no group of any catalogue."""
    r2 = r_bins * r_bins
    if len(r2) < 2 or not math.isfinite(r2[-1]):
        return np.zeros(0, dtype=np.int64)  # no bins, or a last edge the kernels refuse
    filled = np.zeros(len(r2) - 1, dtype=bool)
    table = bin_table(r_bins)[reachable_levels(float(r2[-1]))]
    filled[table[table >= 0]] = True
    return np.flatnonzero(~filled & (r2[:-1] < r2[1:]))


def _outside_level() -> int:
    """The stacklevel, for warnings.warn called by the caller of this function, of the
    first frame outside the quor package: the user's call, whichever of the package's
    functions (a counter, or an estimator over it) led there."""
    level, frame = 1, sys._getframe(1)
    while frame is not None and frame.f_globals.get("__name__", "").split(".")[0] == "quor":
        level, frame = level + 1, frame.f_back
    return level


def warn_unfillable(r_bins: np.ndarray, n_order: int) -> None:
    """BinningWarning naming the bins of `r_bins` that the table can never fill, if any,
    for groups of `n_order` (groups of one and pairs are not binned through it)."""
    if n_order in (1, 2):
        return
    empty = unfillable_bins(r_bins)
    if empty.size == 0:
        return
    r_max = float(r_bins[-1])
    step = r_max * r_max / (TABLE_SIZE - 1)
    shown = ", ".join(f"{b} [{float(r_bins[b])!r}, {float(r_bins[b + 1])!r})" for b in empty[:8])
    if empty.size > 8:
        shown += f", ... ({empty.size} bins)"
    these = "these bins" if empty.size > 1 else "this bin"
    warnings.warn(
        f"r_bins bin{'s' if empty.size > 1 else ''} {shown} can never hold a group of "
        f"{n_order}, so {these} will count 0: groups are binned through 4096 levels of their "
        f"squared largest separation, r_bins[-1]**2 / 4095 = {step:.6g} apart, and no level "
        f"falls in {these}. The smallest edge that r_bins[-1] = {r_max:.6g} resolves is "
        f"{math.sqrt(step):.6g} (r_bins[-1] / sqrt(4095)), and a bin [a, b) needs "
        f"b**2 - a**2 of about {step:.6g}: use wider bins or a smaller last edge.",
        BinningWarning, stacklevel=_outside_level())
