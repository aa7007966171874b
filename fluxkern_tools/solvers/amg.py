"""Smoothed-aggregation algebraic multigrid (pyamg) as a preconditioner.

Used directly for the nodal scalar-potential systems and, inside the auxiliary-space
Maxwell preconditioner (:mod:`.ams`), for its nodal auxiliary problems. Both are
Laplacian-like: the near-null space is the constant.
"""

from __future__ import annotations

import numpy as np
import scipy.sparse as sp

__all__ = ["SmoothedAggregation", "sa_hierarchy", "refresh_operators", "hierarchy_bytes",
           "v_cycle"]

# Symmetric Gauss-Seidel keeps each V-cycle symmetric, as conjugate gradients need.
_SMOOTHER = ("gauss_seidel", {"sweep": "symmetric", "iterations": 1})
# The coarsest level is solved by a pseudo-inverse (robust where the nodal problem is
# singular); its dense SVD costs O(m^3), so the coarsest level stays small.
_MAX_COARSE = 100


def sa_hierarchy(A, near_null=None):
    """pyamg smoothed-aggregation hierarchy of the symmetric (n, n) matrix ``A``.

    ``near_null`` (n, k) spans the near-null space (default: the constant).
    """
    import pyamg

    A = sp.csr_matrix(A)
    if np.any(A.data == 0):
        # A matrix kept in a fixed pattern holds explicit zeros; with theta = 0 the
        # strength of connection would count them as couplings and aggregate across.
        A = A.copy()
        A.eliminate_zeros()
    # The prolongation smoother estimates a spectral radius from a random start vector
    # drawn from NumPy's global generator; a fixed draw makes solves repeatable, and the
    # caller's random stream is left as it was.
    state = np.random.get_state()
    np.random.seed(0)
    try:
        return pyamg.smoothed_aggregation_solver(
            A, B=near_null, symmetry="hermitian", strength=("symmetric", {"theta": 0.0}),
            presmoother=_SMOOTHER, postsmoother=_SMOOTHER, max_coarse=_MAX_COARSE,
            keep=False)
    finally:
        np.random.set_state(state)


def refresh_operators(ml, A) -> None:
    """Give the hierarchy ``ml`` the finest matrix ``A`` (same pattern as the one it was
    built for), keeping its aggregates and prolongators and recomputing the coarse
    Galerkin products R A P level by level."""
    from pyamg.multilevel import coarse_grid_solver

    ml.levels[0].A = sp.csr_matrix(A)
    for fine, coarse in zip(ml.levels[:-1], ml.levels[1:]):
        coarse.A = fine.R @ (fine.A @ fine.P)
    ml.coarse_solver = coarse_grid_solver("pinv")     # its pseudo-inverse is cached


def hierarchy_bytes(ml) -> int:
    """Bytes held by the matrices of a pyamg hierarchy."""
    total = 0
    for lvl in ml.levels:
        for name in ("A", "P", "R"):
            M = getattr(lvl, name, None)
            if M is not None and sp.issparse(M):
                total += M.data.nbytes + M.indices.nbytes + M.indptr.nbytes
    return total


def v_cycle(ml, b) -> np.ndarray:
    """One V-cycle of the pyamg hierarchy ``ml`` on ``b`` from a zero initial guess.

    The same cycle as ``ml.solve(b, maxiter=1)``, without its two residual norms on the
    finest level, which would add a third to the cost of a preconditioner application.
    """
    x = np.zeros_like(b)
    _cycle(ml, 0, x, b)
    return x


def _cycle(ml, i, x, b):
    lvl = ml.levels[i]
    if i == len(ml.levels) - 1:
        x[:] = ml.coarse_solver(lvl.A, b)
        return
    lvl.presmoother(lvl.A, x, b)
    xc = np.zeros(lvl.R.shape[0])
    _cycle(ml, i + 1, xc, lvl.R @ (b - lvl.A @ x))
    x += lvl.P @ xc
    lvl.postsmoother(lvl.A, x, b)


class SmoothedAggregation:
    """One V-cycle of smoothed aggregation as the preconditioner of a nodal system.

    ``setup(A)`` builds the hierarchy; calling the object applies one V-cycle (zero
    initial guess) to a residual. With ``refresh`` (the default) later set-ups keep the
    aggregates and prolongators and only recompute the coarse operators, until
    :meth:`invalidate` asks for a new build. On the saturating steel cube (216k
    unknowns) this took a third of the set-up time of full rebuilds with the same CG
    iterations; a hierarchy kept whole from the first step needed twice the iterations
    (benchmarks/bench_solvers.py --reuse).
    """

    def __init__(self, refresh: bool = True):
        self.refresh = bool(refresh)
        self.ml = None
        self.memory = 0
        self.rebuilt = False

    def invalidate(self) -> None:
        """Build the hierarchy anew at the next set-up."""
        self.ml = None

    def setup(self, A) -> None:
        self.rebuilt = not (self.refresh and self.ml is not None
                            and self.ml.levels[0].A.shape == A.shape)
        if self.rebuilt:
            self.ml = None
            self.ml = sa_hierarchy(A)
        else:
            refresh_operators(self.ml, A)
        self.memory = hierarchy_bytes(self.ml)

    def keep(self, A) -> bool:
        """Smooth with ``A`` (same order as the hierarchy's) and keep the coarse
        levels as they are; False (nothing done) when there is no hierarchy to keep."""
        if self.ml is None or self.ml.levels[0].A.shape != A.shape:
            return False
        self.ml.levels[0].A = sp.csr_matrix(A)
        self.rebuilt = False
        return True

    def __call__(self, r) -> np.ndarray:
        return v_cycle(self.ml, r)
