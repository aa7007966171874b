"""Conjugate gradients preconditioned by algebraic multigrid (pyamg).

Nodal systems (scalar potential) get smoothed aggregation (:mod:`.amg`), edge systems
(vector potential) the auxiliary-space Maxwell method (:mod:`.ams`). The edge system is
solved without a gauge: restricted to the edges without A x n = 0 it is singular, but
the reduced right-hand side and every Newton residual lie in the range of the matrix
(they are orthogonal to the discrete gradients), so CG converges on it and the field
curl(A) does not depend on the gradient part it leaves.
"""

from __future__ import annotations

import time
import warnings

import numpy as np
import scipy.sparse as sp
from scipy.sparse.linalg import LinearOperator

from .amg import SmoothedAggregation
from .ams import AuxiliarySpaceMaxwell
from .linear import LinearSolveError, LinearSolver, check_finite

__all__ = ["IterativeSolver"]


# A kept multigrid set-up is rebuilt once CG needs this many times more iterations per
# decade of residual reduction than right after the last full build.
_SLOWDOWN = 2.0


class _Breakdown(Exception):
    pass


def _serial_blas():
    """Dense BLAS on one thread: multigrid and CG call it only on single vectors and
    small coarse matrices, where a threaded BLAS waits for its threads longer than it
    computes (3x slower solves on two cores while anything else runs)."""
    from threadpoolctl import threadpool_limits

    return threadpool_limits(limits=1, user_api="blas")


class IterativeSolver(LinearSolver):
    """Preconditioned conjugate gradients for the symmetric Newton systems.

    ``maxiter``: iteration limit of one solve (LinearSolveError beyond it);
    ``preconditioner``: None (chosen from the context: smoothed aggregation for nodal,
    auxiliary-space Maxwell for edge unknowns) or an object with ``setup(A)`` that,
    called on a residual, returns the preconditioned vector.
    """

    name = "iterative"
    handles_singular = True

    def __init__(self, maxiter: int = 500, preconditioner=None):
        super().__init__()
        self.maxiter = int(maxiter)
        self.given_preconditioner = preconditioner
        self.preconditioner = preconditioner
        self.A = None
        self._rate = None        # CG iterations per decade after the last full build

    def configure(self, context) -> None:
        super().configure(context)
        self.A = None
        if self.given_preconditioner is not None:
            self.preconditioner = self.given_preconditioner
        elif context.kind == "edge":
            if context.gradient is None or len(context.interpolation) != 3:
                raise ValueError("the edge preconditioner needs the discrete gradient "
                                 "and the Nédélec interpolation")
            self.preconditioner = AuxiliarySpaceMaxwell(context.gradient,
                                                        context.interpolation,
                                                        sweeps=context.sweeps)
        else:
            self.preconditioner = SmoothedAggregation()

    def setup(self, A) -> None:
        if self.preconditioner is None:
            raise RuntimeError("configure(context) must come before setup(A)")
        st = self._new_stats()
        t0 = time.perf_counter()
        self.A = sp.csr_matrix(A)
        with _serial_blas():
            self.preconditioner.setup(self.A)
        st.setup_time = time.perf_counter() - t0
        st.memory = int(getattr(self.preconditioner, "memory", 0))

    def solve(self, b, rtol: float) -> np.ndarray:
        from pyamg.krylov import cg

        if self.A is None:
            raise RuntimeError("setup(A) must come before solve(b)")
        st = self.stats
        t0 = time.perf_counter()
        b = np.asarray(b, dtype=np.float64)
        nb = float(np.linalg.norm(b))
        if nb == 0.0:
            st.rel_residual, st.solve_time = 0.0, time.perf_counter() - t0
            return np.zeros_like(b)
        if not np.isfinite(nb):
            raise LinearSolveError("the right-hand side holds non-finite values")
        n = len(b)
        M = LinearOperator((n, n), matvec=self.preconditioner, dtype=np.float64)
        res = []

        def watch(_x):
            if not np.isfinite(res[-1]):
                raise _Breakdown

        info = -1
        with warnings.catch_warnings(), np.errstate(all="ignore"), _serial_blas():
            # pyamg warns before it reports a breakdown; we raise instead.
            warnings.simplefilter("ignore")
            try:
                x, info = cg(self.A, b, x0=np.zeros(n), tol=float(rtol),
                             maxiter=self.maxiter, M=M, callback=watch, residuals=res)
            except _Breakdown:
                x = np.full(n, np.nan)
        st.iterations = len(res) - 1
        st.rel_residual = float(np.linalg.norm(b - self.A @ x)) / nb
        st.solve_time = time.perf_counter() - t0
        if info < 0 or not np.isfinite(st.rel_residual):
            raise LinearSolveError("conjugate gradients broke down: the matrix or its "
                                   "preconditioner is not positive definite")
        self._watch_rate(st)
        if info > 0:
            raise LinearSolveError(
                f"conjugate gradients did not converge: relative residual "
                f"{st.rel_residual:.2e} after {st.iterations} iterations (asked {rtol:.1e})")
        return check_finite(np.asarray(x, dtype=np.float64).reshape(-1))

    def _watch_rate(self, st) -> None:
        pc = self.preconditioner
        if not hasattr(pc, "invalidate") or st.iterations < 2 or not st.rel_residual > 0:
            return
        rate = st.iterations / max(0.5, -np.log10(st.rel_residual))
        if getattr(pc, "rebuilt", True) or self._rate is None:
            self._rate = rate
        elif st.iterations >= 8 and rate > _SLOWDOWN * self._rate:
            pc.invalidate()
