# Types of quor._kernels, the private counters behind the quor package. Arguments are
# taken strictly, as _quor takes them; every counter ends with `progress` (None or called
# as progress(done, total)), `threads` (None or the most workers of the pool it uses) and
# `stop` (None or called with no arguments about every 20 ms; what it raises stops the
# count and is raised in its place).
from typing import Any, Callable, Dict, List, Optional, Tuple

import numpy as np
import numpy.typing as npt

_Progress = Optional[Callable[[int, int], Any]]
_Stop = Optional[Callable[[], Any]]
_F64 = npt.NDArray[np.float64]
_I32 = npt.NDArray[np.int32]
# The pair counters' trailing parameters: with any of them, the result is the 8-tuple
# (auto, cross, auto_pairs, cross_pairs, auto_r, cross_r, auto_log_r, cross_log_r):
# auto and cross the sums of w_i w_j (the pair counts again, unweighted), the last four
# the sums of w_i w_j r and w_i w_j ln r with separations, else None. A slab counter's
# sums come as exact parts along a last axis, to be joined with exact_sums.
# With regions (int32 labels in [0, n_regions), and regions2 for coords2), 8 more
# entries follow: the same histograms over the pairs with a galaxy in each region,
# with a leading n_regions axis (None where the first 8 have None).
_Pairs = Tuple[Any, ...]
# The group counters' result: (by_partitions, total); with regions (int32 labels in
# [0, n_regions)), also (by_partitions_removed, total_removed), the same over the groups
# with a member in each region, with a leading n_regions axis.
_Groups = Tuple[_F64, ...]

def count_pairs_1d(coords: _F64, partition_ids: _I32, r_bins: _F64, box_size: float,
                   progress: _Progress = None,
        threads: Optional[int] = None, stop: _Stop = None,
        coords2: Optional[_F64] = None, partition_ids2: Optional[_I32] = None,
        weights: Optional[_F64] = None, weights2: Optional[_F64] = None,
        separations: Optional[bool] = None, regions: Optional[_I32] = None,
        regions2: Optional[_I32] = None, n_regions: Optional[int] = None) -> _Pairs: ...
def count_pairs_2d(coords: _F64, partition_ids: _I32, r_p_bins: _F64, pi_bins: _F64,
                   box_size: float, progress: _Progress = None,
        threads: Optional[int] = None, stop: _Stop = None,
        coords2: Optional[_F64] = None, partition_ids2: Optional[_I32] = None,
        weights: Optional[_F64] = None, weights2: Optional[_F64] = None,
        separations: Optional[bool] = None, regions: Optional[_I32] = None,
        regions2: Optional[_I32] = None, n_regions: Optional[int] = None) -> _Pairs: ...
def count_pairs_smu(coords: _F64, partition_ids: _I32, s_bins: _F64, n_mu_bins: int,
                    mu_max: float, box_size: float, progress: _Progress = None,
        threads: Optional[int] = None, stop: _Stop = None,
        coords2: Optional[_F64] = None, partition_ids2: Optional[_I32] = None,
        weights: Optional[_F64] = None, weights2: Optional[_F64] = None,
        separations: Optional[bool] = None, regions: Optional[_I32] = None,
        regions2: Optional[_I32] = None, n_regions: Optional[int] = None) -> _Pairs: ...
def count_npoint(coords: _F64, partition_ids: _I32, r_bins: _F64, box_size: float, n_order: int,
                 progress: _Progress = None,
        threads: Optional[int] = None, stop: _Stop = None, regions: Optional[_I32] = None,
        n_regions: Optional[int] = None) -> _Groups: ...
def count_npoint3_shape(coords: _F64, partition_ids: _I32, r_bins: _F64, n_ratio: int,
                        box_size: float, progress: _Progress = None,
        threads: Optional[int] = None, stop: _Stop = None, regions: Optional[_I32] = None,
        n_regions: Optional[int] = None) -> _Groups: ...

# Owner-aware counts of one slab x_lo <= x < x_hi for quor.distributed: only pairs and
# groups with a member inside the slab count; the other galaxies are its ghosts.
def count_pairs_1d_slab(coords: _F64, partition_ids: _I32, r_bins: _F64, box_size: float,
                        x_lo: float, x_hi: float, progress: _Progress = None,
        threads: Optional[int] = None, stop: _Stop = None,
        coords2: Optional[_F64] = None, partition_ids2: Optional[_I32] = None,
        weights: Optional[_F64] = None, weights2: Optional[_F64] = None,
        separations: Optional[bool] = None, regions: Optional[_I32] = None,
        regions2: Optional[_I32] = None, n_regions: Optional[int] = None) -> _Pairs: ...
def count_pairs_2d_slab(coords: _F64, partition_ids: _I32, r_p_bins: _F64, pi_bins: _F64,
                        box_size: float, x_lo: float, x_hi: float,
                        progress: _Progress = None,
        threads: Optional[int] = None, stop: _Stop = None,
        coords2: Optional[_F64] = None, partition_ids2: Optional[_I32] = None,
        weights: Optional[_F64] = None, weights2: Optional[_F64] = None,
        separations: Optional[bool] = None, regions: Optional[_I32] = None,
        regions2: Optional[_I32] = None, n_regions: Optional[int] = None) -> _Pairs: ...
def count_pairs_smu_slab(coords: _F64, partition_ids: _I32, s_bins: _F64, n_mu_bins: int,
                         mu_max: float, box_size: float, x_lo: float, x_hi: float,
                         progress: _Progress = None,
        threads: Optional[int] = None, stop: _Stop = None,
        coords2: Optional[_F64] = None, partition_ids2: Optional[_I32] = None,
        weights: Optional[_F64] = None, weights2: Optional[_F64] = None,
        separations: Optional[bool] = None, regions: Optional[_I32] = None,
        regions2: Optional[_I32] = None, n_regions: Optional[int] = None) -> _Pairs: ...
def count_npoint_slab(coords: _F64, partition_ids: _I32, r_bins: _F64, box_size: float,
                      n_order: int, x_lo: float, x_hi: float,
                      progress: _Progress = None,
        threads: Optional[int] = None, stop: _Stop = None, regions: Optional[_I32] = None,
        n_regions: Optional[int] = None) -> _Groups: ...
def count_npoint3_shape_slab(coords: _F64, partition_ids: _I32, r_bins: _F64, n_ratio: int,
                             box_size: float, x_lo: float, x_hi: float,
                             progress: _Progress = None,
        threads: Optional[int] = None, stop: _Stop = None, regions: Optional[_I32] = None,
        n_regions: Optional[int] = None) -> _Groups: ...

# The rows of each slab x_lo <= x < x_hi of the given faces and its ghosts (rows of the
# next slab less than `ghost` above its lower face), in input order, one piece after
# another: positions (rows, 3), ids, and the n + 1 offsets of the pieces.
def split_slabs(coords: _F64, partition_ids: _I32, faces: _F64,
                ghost: float) -> Tuple[_F64, _I32, List[int]]: ...

# The cells across x of the grid of a pair count over n_rows galaxies inside the box,
# with pairs only at |dx|, |dy| < r_xy and |dz| < w.
def pair_grid_columns(n_rows: int, box_size: float, r_xy: float, w: float) -> int: ...

# The sum of each row of `parts` (rows, k), exactly, rounded once: the slab counters' parts
# of a sum, joined along their last axis, give the sum of a single count bit for bit.
def exact_sums(parts: _F64) -> _F64: ...

# The kernel variant in use (or the error that stops every count), the variants this
# processor runs, and the pool's size with the environment variable that set it.
def runtime_info() -> Dict[str, Any]: ...

# For the tests: sweeps `pieces` short sleeping steps as a count does and returns how many
# threads ran them.
def _pool_probe(pieces: int, progress: _Progress = None, threads: Optional[int] = None,
                stop: _Stop = None) -> int: ...

# For the tests only: the grid a pair count over these galaxies takes, (reach, cells
# across, cells along z), owner-aware for a slab; reach 0 is the coarse grid.
def _pair_grid(coords: _F64, box_size: float, r_xy: float, w: float,
               x_lo: Optional[float] = None, x_hi: Optional[float] = None) -> Tuple[int, int, int]: ...
