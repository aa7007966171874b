"""Compiled kernels of the fluxkern magnetostatics solver."""

from typing import Any

import numpy as np
from numpy.typing import ArrayLike, NDArray
from scipy.sparse import csr_array

def compute_stiffness_and_jacobi_matrix(
    nodes: ArrayLike, cells: ArrayLike, d_phi: ArrayLike, x: ArrayLike,
    permeability: Any, q: ArrayLike, w: ArrayLike,
) -> tuple[csr_array, csr_array]: ...

def compute_stiffness_and_jacobi_matrix_curl_curl(
    nodes: ArrayLike, cells: ArrayLike, glob_ids: ArrayLike, curls: ArrayLike,
    d_phi: ArrayLike, orientations: ArrayLike, x: ArrayLike, B_s: ArrayLike,
    reluctance: Any, q: ArrayLike, w: ArrayLike, num_dofs: int, num_el_dofs: int,
) -> tuple[csr_array, csr_array, NDArray[np.float64]]: ...

def compute_rhs_Hcurl_red_c(
    nodes: ArrayLike, cells: ArrayLike, glob_ids: ArrayLike, curls: ArrayLike,
    d_phi: ArrayLike, orientations: ArrayLike, B_s: ArrayLike, reluctance: Any,
    x: ArrayLike, q: ArrayLike, w: ArrayLike, num_dofs: int, num_el_dofs: int,
) -> NDArray[np.float64]: ...

def compute_B_Hcurl(
    nodes: ArrayLike, cells: ArrayLike, glob_ids: ArrayLike, curls: ArrayLike,
    phi: ArrayLike, d_phi: ArrayLike, orientations: ArrayLike, x: ArrayLike,
    q: ArrayLike, w: ArrayLike, num_dofs: Any, num_el_dofs: int,
) -> tuple[NDArray[np.float64], NDArray[np.float64]]: ...

def compute_B_line_segs_cpp(
    src: ArrayLike, tar: ArrayLike, current: float, radius: float,
) -> NDArray[np.float64] | int: ...
