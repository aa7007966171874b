"""Newton iteration with a convergence report, shared by both formulations.

The formulations hand the driver one callable, ``assemble(x) -> (J, r, load)``: the
Jacobian ``J`` (a sparse matrix over all degrees of freedom), the residual
``r = b(x) - A(x) x`` at ``x``, so that the Newton update solves ``J dx = r``, and the
size of the terms that balance in ``r`` (e.g. ``max(|b|, |A x|)``), which sets the scale
of the stopping test. The driver keeps the fixed
degrees of freedom (Dirichlet data, gauge) at their values and works on the free ones.
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field
from typing import Callable

import numpy as np
import scipy.sparse as sp

from .linalg import sparse_solve

__all__ = ["NewtonStep", "NewtonReport", "newton"]


@dataclass
class NewtonStep:
    """One row of the convergence report.

    ``residual`` is the Euclidean norm of the free part of the residual at the iterate
    (a flux in Wb for the scalar potential, a magnetomotive force in A for the vector
    potential), ``update`` the norm of the step taken from it (units of the unknowns:
    A for the scalar potential, Wb for edge coefficients; 0 on the last row), ``ratio`` the residual divided by the previous one
    (NaN on the first row) and ``step`` the damping factor of the line search (1 for
    a full Newton step).
    """

    iteration: int
    residual: float
    update: float
    ratio: float
    step: float


@dataclass
class NewtonReport:
    """Convergence history of one Newton solve.

    ``scale`` is the reference norm of the stopping test (residual <= rtol * scale);
    ``converged`` tells whether the test was met within the iteration limit.
    """

    steps: list = field(default_factory=list)
    converged: bool = False
    scale: float = 1.0
    rtol: float = 1e-8

    @property
    def iterations(self) -> int:
        """Number of Newton updates taken."""
        return max(0, len(self.steps) - 1)

    @property
    def residuals(self) -> np.ndarray:
        """Residual norms, one per row (units of the residual)."""
        return np.array([s.residual for s in self.steps])

    @property
    def ratios(self) -> np.ndarray:
        """Ratios of successive residual norms (the first row has none)."""
        return np.array([s.ratio for s in self.steps[1:]])

    def header(self) -> str:
        """Column titles of :meth:`rows`."""
        return (f"{'iter':>4} {'|residual|':>12} {'rel.':>9} {'|update|':>11} "
                f"{'ratio':>9} {'step':>5}")

    def row(self, s: NewtonStep) -> str:
        """One formatted line of the table."""
        ratio = "-" if math.isnan(s.ratio) else f"{s.ratio:9.2e}"
        upd = "-" if s.update == 0 else f"{s.update:11.3e}"
        return (f"{s.iteration:4d} {s.residual:12.4e} {s.residual / self.scale:9.1e} "
                f"{upd:>11} {ratio:>9} {s.step:5.2f}")

    def table(self) -> str:
        """The whole history as a text table, with a closing status line."""
        lines = [self.header()] + [self.row(s) for s in self.steps]
        state = "converged" if self.converged else "NOT converged"
        lines.append(f"{state} after {self.iterations} Newton step(s) "
                     f"(stop at rel. residual {self.rtol:.0e})")
        return "\n".join(lines)


def newton(assemble: Callable, x0, free, *, rtol: float = 1e-8, max_iter: int = 30,
           scale: float | None = None, line_search: bool = True,
           solve: Callable = sparse_solve, log: Callable | None = None):
    """Newton's method for ``r(x) = 0`` on the ``free`` degrees of freedom.

    Parameters
    ----------
    assemble : callable
        ``assemble(x) -> (J, r, load)`` with J sparse (n, n), the derivative of ``-r``,
        r (n,) the residual at x and load (float) the size of the balancing terms.
    x0 : (n,) initial iterate; its fixed entries are kept.
    free : index array of the unknowns that Newton updates.
    rtol : stop when ``|r_free| <= rtol * scale``.
    scale : reference norm (default: the larger of the residual norm and ``load`` at
        x0, or 1 if both are 0).
    line_search : halve the step (at most 8 times) while the residual norm does not
        decrease; the first trial is always the full Newton step, so near the solution
        the iteration is plain Newton and converges quadratically. If no trial lowers
        the residual the iteration stops, not converged, at the last iterate.
    solve : ``solve(A, b) -> x`` for the free block (default :func:`sparse_solve`).
    log : called with each formatted table line as it is produced (e.g. ``print``).

    Returns
    -------
    (x, report) : the last iterate and its :class:`NewtonReport`.
    """
    x = np.array(x0, dtype=np.float64, copy=True)
    free = np.asarray(free, dtype=np.int64)
    J, r, load = assemble(x)
    rn = float(np.linalg.norm(r[free]))
    if scale is None:
        scale = max(rn, float(load))
        if not scale > 0:
            scale = 1.0
    report = NewtonReport(scale=float(scale), rtol=rtol)
    if log:
        log(report.header())
    prev = math.nan
    for it in range(max_iter + 1):
        step = NewtonStep(it, rn, 0.0, rn / prev if prev == prev and prev > 0 else math.nan,
                          1.0)
        report.steps.append(step)
        if not np.isfinite(rn):
            if log:
                log(report.row(step))
            break
        if rn <= rtol * scale or len(free) == 0:
            report.converged = True
            if log:
                log(report.row(step))
            break
        if it == max_iter:
            if log:
                log(report.row(step))
            break
        Jff = sp.csr_array(J)[free][:, free]
        dx = solve(Jff, r[free])
        t, accepted = 1.0, False
        for _ in range(_MAX_HALVINGS + 1):
            xt = x.copy()
            xt[free] += t * dx
            Jt, rt, _ = assemble(xt)
            rtn = float(np.linalg.norm(rt[free]))
            if not line_search or (np.isfinite(rtn) and rtn <= (1.0 - 1e-4 * t) * rn):
                accepted = True
                break
            t *= 0.5
        if not accepted:
            # No step along the Newton direction lowers the residual: the iteration
            # has stalled (typically at the rounding floor with too small an rtol).
            step.step = 0.0
            if log:
                log(report.row(step))
            break
        step.update = float(t * np.linalg.norm(dx))
        step.step = t
        if log:
            log(report.row(step))
        prev = rn
        x, J, r, rn = xt, Jt, rt, rtn
    return x, report


_MAX_HALVINGS = 8
