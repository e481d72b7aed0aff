# Types of _quor. Every counter takes float64 coords of shape (N, 3) or wider, int32
# partition_ids and float64 edge arrays, all NumPy arrays of exactly those dtypes, and
# returns a 2-tuple of float64 arrays.
from typing import List, Tuple

import numpy as np
import numpy.typing as npt

_F64 = npt.NDArray[np.float64]
_I32 = npt.NDArray[np.int32]

__all__: List[str]

def count_pairs_1d(coords: _F64, partition_ids: _I32, r_bins: _F64,
                   box_size: float) -> Tuple[_F64, _F64]: ...
def count_pairs_2d(coords: _F64, partition_ids: _I32, r_p_bins: _F64, pi_bins: _F64,
                   box_size: float) -> Tuple[_F64, _F64]: ...
def count_npoint(coords: _F64, partition_ids: _I32, r_bins: _F64, box_size: float,
                 n_order: int) -> Tuple[_F64, _F64]: ...
def count_npoint3_shape(coords: _F64, partition_ids: _I32, r_bins: _F64, n_ratio: int,
                        box_size: float) -> Tuple[_F64, _F64]: ...
def count_npoint_gpu(coords: _F64, partition_ids: _I32, r_bins: _F64, box_size: float,
                     n_order: int) -> Tuple[_F64, _F64]: ...
def has_cuda() -> bool: ...
def count_pairs_smu(coords: _F64, partition_ids: _I32, s_bins: _F64, n_mu_bins: int, mu_max: float,
                    box_size: float) -> Tuple[_F64, _F64]: ...
