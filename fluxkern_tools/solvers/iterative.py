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
from .gauss_seidel_cg import Triangles, cg_gauss_seidel
from .linear import LinearSolveError, LinearSolver, check_finite

__all__ = ["IterativeSolver"]


# A kept multigrid set-up is rebuilt once CG needs this many times more iterations per
# decade of residual reduction than right after the last full build.
_SLOWDOWN = 2.0


# With ``reuse="adaptive"`` a set-up keeps the whole multigrid hierarchy (the finest
# matrix replaced) while the last solve needed at most this many times the iterations
# per decade of the last solve after a build or refresh.
_KEEP_WITHIN = 1.5


# With ``reuse="smoother"`` the first Newton steps are preconditioned by symmetric
# Gauss-Seidel alone, until one solve needs more than this many iterations; then the
# multigrid set-up is built and kept for the rest of the solve.
_SMOOTHER_BUDGET = 40


# With ``reuse="auto"`` (the default) the smoother alone gets this many iterations per
# solve before the multigrid is set up. CG with symmetric Gauss-Seidel alone needs
# 2-75 iterations a step on the steel cube up to 750k unknowns, against 2-19 with the
# multigrid, but each costs a few matrix products against about seventeen, and it
# needs no set-up: whole Newton solves took 0.55-0.85 of the multigrid's time from 50k
# to 750k unknowns (benchmarks/bench_solvers.py --reuse --modes smoother).
_AUTO_BUDGET = 150


# Residuals within this many units of rounding of |A| |x| are as small as CG gets.
FLOOR_FACTOR = 1e3


class _Breakdown(Exception):
    pass


def _quiet():
    """Catch the warnings of a CG call. pyamg's cg installs an 'always' filter for its
    own module at each call, ahead of any 'ignore' a caller sets, so only recording
    them (and dropping the record) keeps its breakdown warnings from showing; we report
    a breakdown by raising."""
    return warnings.catch_warnings(record=True)


class _KernelProjector:
    """Removes from a vector its component along the columns of ``Z`` (n, k):
    b - Z (Z^T Z)^-1 Z^T b, with Z^T Z (a graph Laplacian when Z is a discrete
    gradient) solved by CG with smoothed aggregation, set up at the first use."""

    def __init__(self, Z):
        Z = sp.csc_matrix(Z)
        Z = Z[:, np.flatnonzero(np.diff(Z.indptr) > 0)]
        self.Z, self.ZT = sp.csr_matrix(Z), sp.csr_matrix(Z.T)
        self.L, self.pc = None, None

    def project(self, b) -> np.ndarray:
        from pyamg.krylov import cg

        c = self.ZT @ b
        nc = float(np.linalg.norm(c))
        if nc == 0.0:
            return b
        if self.pc is None:
            self.L = sp.csr_matrix(self.ZT @ self.Z)
            self.pc = SmoothedAggregation(refresh=False)
            with _serial_blas():
                self.pc.setup(self.L)
        n = len(c)
        M = LinearOperator((n, n), matvec=self.pc, dtype=np.float64)
        with _quiet(), np.errstate(all="ignore"), _serial_blas():
            y, _ = cg(self.L, c, x0=np.zeros(n), tol=1e-12, maxiter=200, M=M)
        return b - self.Z @ y


def _symmetric_gauss_seidel(A):
    """One symmetric Gauss-Seidel sweep on ``A`` from zero, as a preconditioner."""
    from pyamg.relaxation.relaxation import gauss_seidel

    def apply(r):
        x = np.zeros_like(r)
        gauss_seidel(A, x, r, iterations=1, sweep="symmetric")
        return x

    return apply


class _Deferred:
    """A preconditioner made by ``make()`` at its first set-up; until then it has no
    attributes but ``setup``."""

    def __init__(self, make):
        self._make, self._inner = make, None

    def setup(self, A):
        if self._inner is None:
            self._inner = self._make()
        self._inner.setup(A)

    def __call__(self, r):
        return self._inner(r)

    def __getattr__(self, name):
        inner = self.__dict__.get("_inner")
        if inner is None:
            raise AttributeError(name)
        return getattr(inner, name)


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
    called on a residual, returns the preconditioned vector; ``reuse``: ``"auto"`` (the
    default): symmetric Gauss-Seidel alone while CG converges with it in at most 150
    iterations, then the multigrid, refreshed at each later step ("refresh"); with a
    given ``preconditioner``, "refresh". What a set-up after the first does with a
    multigrid preconditioner that supports it: ``"refresh"``
    (coarse operators recomputed on the kept aggregates) or ``"adaptive"``
    (keep the hierarchy whole while CG's iterations per decade stay within 1.5 times
    those after the last refresh, refresh otherwise). Either rebuilds when the rate
    doubles against the last full build. ``"smoother"``: symmetric Gauss-Seidel alone
    (no set-up) while CG converges with it in at most 40 iterations, then the
    multigrid, refreshed, for the rest of the Newton solve. ``stats.preconditioner``
    says what was done. ValueError for another ``reuse``.
    """

    name = "iterative"
    handles_singular = True
    #: CG iterations a solve with the smoother alone may take (``reuse="smoother"``).
    smoother_budget = _SMOOTHER_BUDGET
    #: The same with ``reuse="auto"``.
    auto_budget = _AUTO_BUDGET

    def __init__(self, maxiter: int = 500, preconditioner=None, reuse: str = "auto"):
        super().__init__()
        if reuse not in ("auto", "refresh", "adaptive", "smoother"):
            raise ValueError("reuse must be 'auto', 'refresh', 'adaptive' or 'smoother', "
                             f"got {reuse!r}")
        self.reuse = reuse
        self._fresh_rate = None  # CG iterations per decade after the last build/refresh
        self._last_rate = None
        self._smoothing = True
        self.maxiter = int(maxiter)
        self.given_preconditioner = preconditioner
        self.preconditioner = preconditioner
        self.A = None
        self._kernel = None
        self._rate = None        # CG iterations per decade after the last full build
        self._triangles = None   # of A, for CG with the smoother alone
        self._fresh_triangles = False

    def configure(self, context) -> None:
        super().configure(context)
        self.A = None
        self._fresh_rate = self._last_rate = None
        self._smoothing = True      # with reuse="smoother", until the smoother overruns
        self._kernel = (None if getattr(context, "kernel", None) is None
                        else _KernelProjector(context.kernel))
        if self.given_preconditioner is not None:
            self.preconditioner = self.given_preconditioner
        elif context.kind == "edge":
            if context.gradient is None:
                raise ValueError("the edge preconditioner needs the discrete gradient "
                                 "and the Nédélec interpolation")

            def make():
                interpolation = context.interpolation
                if callable(interpolation):
                    interpolation = interpolation()
                if len(interpolation) != 3:
                    raise ValueError("the edge preconditioner needs the discrete "
                                     "gradient and the Nédélec interpolation")
                return AuxiliarySpaceMaxwell(context.gradient, interpolation,
                                             sweeps=context.sweeps)

            # With the smoother first most Newton solves never set the multigrid up;
            # making it (the interpolation, the used columns) took 2.3 s at 1.2M edges.
            self.preconditioner = _Deferred(make) if self._smoother_first() else make()
        else:
            self.preconditioner = SmoothedAggregation()

    def setup(self, A) -> None:
        if self.preconditioner is None:
            raise RuntimeError("configure(context) must come before setup(A)")
        st = self._new_stats()
        t0 = time.perf_counter()
        self.A = sp.csr_matrix(A)
        self._fresh_triangles = False
        pc = self.preconditioner
        if self._smoothing and self._smoother_first():
            st.preconditioner = "smoother"
        elif self._keeps() and pc.keep(self.A):
            st.preconditioner = "keep"
        else:
            with _serial_blas():
                pc.setup(self.A)
            rebuilt = getattr(pc, "rebuilt", None)
            st.preconditioner = "" if rebuilt is None else ("build" if rebuilt else "refresh")
            self._fresh_rate = None
        st.setup_time = time.perf_counter() - t0
        st.memory = int(getattr(self.preconditioner, "memory", 0))

    def solve(self, b, rtol: float) -> np.ndarray:
        """x with |b - A x| <= rtol |b|, or as close as rounding lets CG come.

        On a singular system (``context.kernel``) the right-hand side's component along
        the kernel is removed first. When CG breaks down or runs out of iterations, the
        best iterate is returned if its residual lies at the rounding floor of A and
        x (``stats.rel_residual`` then exceeds ``rtol`` and ``stats.at_floor`` is set);
        anything else raises LinearSolveError. With a kept hierarchy CG gets a budget of
        iterations (twice the tolerated rate); beyond it the preconditioner is set up
        again and the solve restarted (``stats.preconditioner`` then says "retry").
        """
        if self.A is None:
            raise RuntimeError("setup(A) must come before solve(b)")
        st = self.stats
        st.at_floor = False
        t0, setup_before = time.perf_counter(), st.setup_time
        b = np.asarray(b, dtype=np.float64)
        nb = float(np.linalg.norm(b))
        if not np.isfinite(nb):
            raise LinearSolveError("the right-hand side holds non-finite values")
        if nb > 0 and self._kernel is not None:
            b = self._kernel.project(b)
            nb = float(np.linalg.norm(b))
        if nb == 0.0:
            st.rel_residual, st.solve_time = 0.0, time.perf_counter() - t0
            return np.zeros_like(b)
        done, budget = 0, self._kept_budget(rtol)
        smoothing = st.preconditioner == "smoother"
        if smoothing:
            budget = self.smoother_budget if self.reuse == "smoother" else self.auto_budget
        for attempt in (0, 1):
            limit = self.maxiter if budget is None else min(budget, self.maxiter)
            T = self._split() if smoothing else None
            if T is not None:
                res, best = [], []
                with _serial_blas():
                    x, info = cg_gauss_seidel(T, b, rtol, limit, res, best)
            else:
                M = _symmetric_gauss_seidel(self.A) if smoothing else self.preconditioner
                res, best, info, x = self._cg(b, rtol, limit, M)
            if budget is None or info == 0 or not attempt == 0:
                break
            # The kept hierarchy no longer fits, or the smoother alone is too slow: set
            # the multigrid up and solve anew.
            done, smoothing, self._smoothing = len(res) - 1, False, False
            t1 = time.perf_counter()
            with _serial_blas():
                self.preconditioner.setup(self.A)
            st.setup_time += time.perf_counter() - t1
            st.preconditioner, self._fresh_rate = "retry", None
            st.memory = int(getattr(self.preconditioner, "memory", 0))
            budget = None
        st.iterations = len(res) - 1 + done
        if info != 0 and best[1] is not None:
            x = best[1]                       # CG's residual need not fall monotonically
        x = np.asarray(x, dtype=np.float64).reshape(-1)
        st.rel_residual = float(np.linalg.norm(b - self.A @ x)) / nb
        st.solve_time = time.perf_counter() - t0 - (st.setup_time - setup_before)
        if info != 0 and np.isfinite(st.rel_residual):
            if st.rel_residual <= rtol:
                info = 0
            elif st.rel_residual <= self.rounding_floor(b, x):
                st.at_floor, info = True, 0
        if info < 0 or not np.isfinite(st.rel_residual):
            raise LinearSolveError("conjugate gradients broke down: the matrix or its "
                                   "preconditioner is not positive definite")
        if st.preconditioner != "smoother":
            self._watch_rate(st, len(res) - 1)
        if info > 0:
            raise LinearSolveError(
                f"conjugate gradients did not converge: relative residual "
                f"{st.rel_residual:.2e} after {st.iterations} iterations (asked {rtol:.1e})")
        return check_finite(x)

    def _split(self):
        """The triangles of A for CG with the smoother alone (made once per pattern,
        refreshed once per set-up), or None where they do not apply."""
        T = self._triangles
        if not self._fresh_triangles:
            if T is not None and T.matches(self.A):
                T.refresh(self.A)
            else:
                self._triangles = T = None          # release the old pattern first
                T = self._triangles = Triangles(self.A)
            self._fresh_triangles = True
        return T if T.usable else None

    def _smoother_first(self) -> bool:
        return self.reuse == "smoother" or (self.reuse == "auto"
                                            and self.given_preconditioner is None)

    def _kept_budget(self, rtol):
        """Iteration limit of a first try with a kept hierarchy (None: not kept)."""
        if self.stats.preconditioner != "keep" or self._fresh_rate is None:
            return None
        decades = max(1.0, -np.log10(max(rtol, 1e-300)))
        return int(np.ceil(2 * _KEEP_WITHIN * self._fresh_rate * decades)) + 2

    def _cg(self, b, rtol, maxiter, pc):
        """``(residual history, [best residual, its iterate], info, x)`` of one CG run."""
        from pyamg.krylov import cg

        n = len(b)
        M = LinearOperator((n, n), matvec=pc, dtype=np.float64)
        res = []
        best = [np.inf, None]

        def watch(x):
            if not np.isfinite(res[-1]):
                raise _Breakdown
            if res[-1] < best[0]:
                best[0], best[1] = res[-1], x.copy()

        info = -1
        with _quiet(), np.errstate(all="ignore"), _serial_blas():
            try:
                x, info = cg(self.A, b, x0=np.zeros(n), tol=float(rtol),
                             maxiter=maxiter, M=M, callback=watch, residuals=res)
            except _Breakdown:
                x = np.full(n, np.nan)
        return res, best, info, x

    def rounding_floor(self, b, x) -> float:
        """The relative residual |b - A x| / |b| below which rounding leaves CG no
        progress to make: ``FLOOR_FACTOR`` eps (|A|_1 |x| + |b|) / |b|."""
        norm_a = float(abs(self.A).sum(axis=0).max()) if self.A.nnz else 0.0
        nb = float(np.linalg.norm(b))
        return FLOOR_FACTOR * np.finfo(float).eps * (norm_a * float(np.linalg.norm(x))
                                                     + nb) / nb

    def _keeps(self) -> bool:
        return (self.reuse == "adaptive" and hasattr(self.preconditioner, "keep")
                and self._fresh_rate is not None and self._last_rate is not None
                and self._last_rate <= _KEEP_WITHIN * self._fresh_rate)

    def _watch_rate(self, st, its: int) -> None:
        """Follow CG's iterations per decade (``its`` of the multigrid-preconditioned
        run) for the reuse decisions."""
        pc = self.preconditioner
        if its >= 1 and st.rel_residual > 0:
            self._last_rate = its / max(0.5, -np.log10(st.rel_residual))
            if self._fresh_rate is None:
                self._fresh_rate = self._last_rate
        if not hasattr(pc, "invalidate") or its < 2 or not st.rel_residual > 0:
            return
        rate = its / max(0.5, -np.log10(st.rel_residual))
        if getattr(pc, "rebuilt", True) or self._rate is None:
            self._rate = rate
        elif its >= 8 and rate > _SLOWDOWN * self._rate:
            pc.invalidate()
