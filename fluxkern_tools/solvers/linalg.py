"""Sparse direct solves for the Newton systems.

Both formulations give symmetric positive definite Jacobians once the Dirichlet and
gauge unknowns are removed (K is, and dK keeps K + dK definite while B(H) increases).
So SuperLU runs without pivoting, in symmetric mode: row exchanges, which its default
threshold pivoting makes freely when the permeability contrast is large, would spoil
the fill-reducing order. The order itself is a geometric nested dissection of the
unknowns' positions, which for 3-D meshes fills in far less than minimum degree.
"""

from __future__ import annotations

import numpy as np
import scipy.sparse as sp
from scipy.sparse.linalg import splu

__all__ = ["nested_dissection", "SparseLU", "sparse_solve", "LinearSolveError"]


class LinearSolveError(RuntimeError):
    """Raised when a linear solve fails (singular or non-finite system)."""


def nested_dissection(A, coords, leaf: int = 16) -> np.ndarray:
    """Fill-reducing order of the unknowns of the sparse matrix ``A`` (n, n).

    ``coords`` (n, 3) are positions of the unknowns (m; nodes, edge midpoints). The set
    is split at the median of its longest extent; the unknowns of one half coupled to
    the other (the smaller such set) form the separator, which goes last; both halves
    are ordered the same way down to ``leaf`` unknowns. Returns a permutation (n,).
    """
    G = sp.csr_matrix(A, copy=True)
    G.data = np.ones_like(G.data)
    X = np.asarray(coords, dtype=np.float64).reshape(-1, 3)
    n = G.shape[0]
    if X.shape[0] != n:
        raise ValueError("need one position per unknown")
    marker = np.zeros(n)
    order = []
    stack = [(np.arange(n), False)]
    # Explicit stack: (set, done) pairs; a separator is pushed as done before its halves.
    while stack:
        idx, done = stack.pop()
        if done or len(idx) <= leaf:
            order.append(idx)
            continue
        P = X[idx]
        ax = int(np.argmax(P.max(axis=0) - P.min(axis=0)))
        med = np.median(P[:, ax])
        left, right = idx[P[:, ax] <= med], idx[P[:, ax] > med]
        if len(left) == 0 or len(right) == 0:
            order.append(idx)
            continue
        marker[right] = 1.0
        tl = (G[left] @ marker) > 0
        marker[right] = 0.0
        marker[left] = 1.0
        tr = (G[right] @ marker) > 0
        marker[left] = 0.0
        if tl.sum() <= tr.sum():
            sep, left = left[tl], left[~tl]
        else:
            sep, right = right[tr], right[~tr]
        # Popped in reverse: left half, right half, then the separator.
        stack += [(sep, True), (right, False), (left, False)]
    return np.concatenate(order)


def _lu(A, permc_spec):
    try:
        return splu(A, permc_spec=permc_spec, diag_pivot_thresh=0.0,
                    options={"SymmetricMode": True})
    except RuntimeError as exc:          # "Factor is exactly singular"
        raise LinearSolveError(f"the linear system is singular ({exc}); check the "
                               "boundary conditions and the gauge") from exc


def _checked(x):
    if not np.all(np.isfinite(x)):
        raise LinearSolveError("the linear solve produced non-finite values")
    return x


def sparse_solve(A, b) -> np.ndarray:
    """Solve the symmetric positive definite sparse system ``A x = b`` (SuperLU without
    pivoting, minimum-degree order on A + A^T)."""
    lu = _lu(sp.csc_matrix(A), "MMD_AT_PLUS_A")
    return _checked(lu.solve(np.asarray(b, dtype=np.float64)))


class SparseLU:
    """``solve(A, b)`` for a sequence of SPD systems of one sparsity pattern.

    ``ordering`` is ``"nd"`` (nested dissection on ``coords``, the (n, 3) positions of
    the unknowns in m), ``"mmd"`` (SuperLU's minimum degree on A + A^T) or ``"auto"``:
    at the first call both are factorised and the one with fewer nonzeros is kept.
    Nested dissection wins clearly on structured box meshes, minimum degree on
    strongly graded ones. The chosen permutation is reused while the order of A stays
    the same, so later calls factorise once, without ordering work.
    """

    def __init__(self, coords=None, ordering: str = "auto"):
        if ordering not in ("auto", "nd", "mmd"):
            raise ValueError("ordering must be 'auto', 'nd' or 'mmd'")
        if coords is None and ordering == "nd":
            raise ValueError("nested dissection needs the positions of the unknowns")
        self.coords = None if coords is None else np.asarray(coords, np.float64)
        self.ordering = ordering if coords is not None else "mmd"
        self.chosen = None                 # "nd" or "mmd" once the first call has run
        self._perm = None

    def __call__(self, A, b) -> np.ndarray:
        A = sp.csr_matrix(A)
        b = np.asarray(b, dtype=np.float64)
        if self._perm is None or len(self._perm) != A.shape[0]:
            best = None
            if self.ordering in ("auto", "nd"):
                p = nested_dissection(A, self.coords)
                best = ("nd", p, _lu(sp.csc_matrix(A[p][:, p]), "NATURAL"))
            if self.ordering in ("auto", "mmd"):
                lu = _lu(sp.csc_matrix(A), "MMD_AT_PLUS_A")
                # Without pivoting the row and column orders agree; as a symmetric
                # permutation of A the order is the inverse of perm_c.
                cand = ("mmd", np.argsort(lu.perm_c), lu)
                if best is None or lu.nnz < best[2].nnz:
                    best = cand
                else:
                    del lu
            self.chosen, self._perm, lu = best
            if self.chosen == "mmd":
                x = lu.solve(b)                # lu factorised A itself
                return _checked(x)
        else:
            p = self._perm
            lu = _lu(sp.csc_matrix(A[p][:, p]), "NATURAL")
        p = self._perm
        y = lu.solve(b[p])
        x = np.empty_like(y)
        x[p] = y
        return _checked(x)
