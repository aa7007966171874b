"""Inexact Newton iteration with a convergence report, shared by both formulations.

The formulations hand the driver one callable, ``assemble(x) -> (J, r, load)``: the
Jacobian ``J`` (a sparse matrix over all degrees of freedom), the residual
``r = b(x) - A(x) x`` at ``x``, so that the Newton update solves ``J dx = r``, and the
size of the terms that balance in ``r`` (e.g. ``max(|b|, |A x|)``), which sets the scale
of the stopping test. The driver keeps the fixed degrees of freedom (Dirichlet data,
gauge) at their values and works on the free ones.

Each update is solved only as accurately as the step needs (a forcing term): an
iterative backend stops at |J dx - r| <= eta |r| with Eisenstat and Walker's choice
eta_k = 0.9 (|r_k| / |r_{k-1}|)^2 (at most 0.1, kept from falling faster than the
previous one squared), but never below what the stopping test itself asks for. Far from
the solution a coarse solve does as well as an exact one; near it eta falls and Newton's
quadratic convergence returns. A linear problem is solved in one step to the final
accuracy.
"""

from __future__ import annotations

import math
import numbers
import sys
import time
import warnings
from dataclasses import dataclass, field
from typing import Callable

import numpy as np
import scipy.sparse as sp

from .linear import LinearSolveError, LinearSolver
from .linear_backends import choose_linear_solver

__all__ = ["NewtonStep", "NewtonReport", "newton", "forcing_term", "ConvergenceError",
           "report_convergence", "peak_rss"]

_ETA_MAX = 0.1
_MAX_HALVINGS = 8


@dataclass
class NewtonStep:
    """One row of the convergence report.

    ``residual`` is the Euclidean norm of the free part of the residual at the iterate
    (a flux in Wb for the scalar potential, a magnetomotive force in A for the vector
    potential), ``update`` the norm of the step taken from it (units of the unknowns:
    A for the scalar potential, Wb for edge coefficients; 0 on the last row), ``ratio``
    the residual divided by the previous one (NaN on the first row) and ``step`` the
    damping factor of the line search (1 for a full Newton step).
    ``linear_iterations`` and ``eta`` are the Krylov iterations and the relative
    tolerance of the update's linear solve (0 and NaN for a direct solve); ``times``
    holds the seconds the step spent per phase: ``assembly`` (the compiled kernels and
    sparse sums), ``source`` (source field), ``setup`` (factorisation or multigrid
    set-up) and ``solve``. The first row includes the assembly at the initial iterate.
    ``memory``: bytes held by the linear solver's factor or hierarchy (0 if unknown);
    ``peak_rss``: the process's peak resident memory in bytes when the row was written
    (0 where the platform does not say); ``rss``: the same peak after each phase of the
    step in the order they ran (``initial assembly`` on the first row, ``setup``,
    ``solve``, ``assembly`` of the line search), which tells the phase that raised it;
    ``preconditioner``: what the linear solver's set-up did with its preconditioner
    (``smoother``, ``build``, ``refresh``, ``keep``, ``retry``; empty for none).
    """

    iteration: int
    residual: float
    update: float
    ratio: float
    step: float
    linear_iterations: int = 0
    eta: float = math.nan
    times: dict = field(default_factory=dict)
    memory: int = 0
    peak_rss: int = 0
    rss: dict = field(default_factory=dict)
    preconditioner: str = ""


@dataclass
class NewtonReport:
    """Convergence history of one Newton solve.

    ``scale`` is the reference norm of the stopping test (residual <= rtol * scale);
    ``converged`` tells whether the test was met within the iteration limit;
    ``linear_solver`` names the backend; ``unknowns`` counts the free unknowns.
    """

    steps: list = field(default_factory=list)
    converged: bool = False
    scale: float = 1.0
    rtol: float = 1e-8
    linear_solver: str = ""
    unknowns: int = 0

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

    @property
    def linear_iterations(self) -> np.ndarray:
        """Krylov iterations of every update (one per Newton update)."""
        return np.array([s.linear_iterations for s in self.steps[:-1]], dtype=int)

    def times(self) -> dict:
        """Seconds per phase summed over the solve (see :class:`NewtonStep`)."""
        out = {}
        for s in self.steps:
            for k, v in s.times.items():
                out[k] = out.get(k, 0.0) + v
        return out

    @property
    def memory(self) -> int:
        """Largest memory held by the linear solver in any step (bytes, 0 if unknown)."""
        return max([s.memory for s in self.steps], default=0)

    @property
    def peak_rss(self) -> int:
        """The process's peak resident memory in bytes at the end of the solve (0 if
        unknown)."""
        return max([s.peak_rss for s in self.steps], default=0)

    def peak_phase(self) -> tuple:
        """``(iteration, phase)`` where the process's peak resident memory was first
        reached, or ``(None, "")`` where that is unknown."""
        top = self.peak_rss
        for s in self.steps:
            for phase, value in s.rss.items():         # in the order they ran
                if top and value >= top:
                    return s.iteration, phase
        return None, ""

    def _rss_text(self) -> str:
        if not self.peak_rss:
            return ""
        it, phase = self.peak_phase()
        where = f" (reached in the {phase} of step {it})" if phase else ""
        return f"peak RSS {self.peak_rss / 2**20:.0f} MiB{where}"

    def shortfall(self) -> str:
        """What a solve that did not converge reached: the last residual, absolute and
        relative to the target ``rtol * scale`` (empty when it converged)."""
        if self.converged or not self.steps:
            return ""
        rn, target = self.steps[-1].residual, self.rtol * self.scale
        return (f"Newton did not converge after {self.iterations} step(s): residual "
                f"{rn:.3e} is {rn / target:.3g} times the target {target:.3e} "
                f"(rtol {self.rtol:.1e} of {self.scale:.3e})")

    def header(self) -> str:
        """Column titles of :meth:`row`."""
        return (f"{'iter':>4} {'|residual|':>12} {'rel.':>9} {'|update|':>11} "
                f"{'ratio':>9} {'step':>5} {'lin.it':>6} {'eta':>8} {'asm[s]':>7} "
                f"{'src[s]':>7} {'solve[s]':>8} {'pc':>8}")

    def row(self, s: NewtonStep) -> str:
        """One formatted line of the table."""
        ratio = "-" if math.isnan(s.ratio) else f"{s.ratio:9.2e}"
        upd = "-" if s.update == 0 else f"{s.update:11.3e}"
        eta = "-" if math.isnan(s.eta) else f"{s.eta:8.1e}"
        t = s.times
        lin = t.get("setup", 0.0) + t.get("solve", 0.0)
        return (f"{s.iteration:4d} {s.residual:12.4e} {s.residual / self.scale:9.1e} "
                f"{upd:>11} {ratio:>9} {s.step:5.2f} {s.linear_iterations:6d} {eta:>8} "
                f"{t.get('assembly', 0.0):7.2f} {t.get('source', 0.0):7.2f} {lin:8.2f} "
                f"{s.preconditioner or '-':>8}")

    def table(self) -> str:
        """The whole history as a text table, with a closing status line (the time per
        phase is in :meth:`summary`)."""
        lines = [self.header()] + [self.row(s) for s in self.steps]
        state = "converged" if self.converged else "NOT converged"
        rss = f", {self._rss_text()}" if self.peak_rss else ""
        lines.append(f"{state} after {self.iterations} Newton step(s) "
                     f"(stop at rel. residual {self.rtol:.0e}){rss}")
        return "\n".join(lines)

    def summary(self) -> str:
        """One line: the backend, unknowns, iterations, memory and time per phase."""
        t = self.times()
        its = self.linear_iterations
        lin = (f", {its.sum()} Krylov iterations ({its.max() if len(its) else 0} at most "
               "per step)") if its.sum() else ""
        mem = f", {self.memory / 2**20:.0f} MiB in the solver" if self.memory else ""
        mem += f", {self._rss_text()}" if self.peak_rss else ""
        kinds = [s.preconditioner for s in self.steps if s.preconditioner]
        if kinds:
            lin += "; preconditioner " + ", ".join(
                f"{k} {kinds.count(k)}" for k in ("smoother", "build", "refresh", "keep", "retry")
                if k in kinds)
        parts = ", ".join(f"{k} {v:.2f} s" for k, v in t.items())
        return (f"{self.linear_solver} solver on {self.unknowns} unknowns{lin}{mem}; "
                f"time: {parts}")


class ConvergenceError(RuntimeError):
    """A Newton solve asked to converge (``check=True``) did not.

    ``solution`` holds the last iterate as the solution object of the formulation, and
    ``report`` its :class:`NewtonReport`.
    """

    def __init__(self, message: str, solution=None, report=None):
        super().__init__(message)
        self.solution, self.report = solution, report


def report_convergence(solution, check: bool):
    """``solution`` itself when its Newton report says converged; otherwise a
    RuntimeWarning naming the residual reached (returns ``solution``) or, with
    ``check``, :class:`ConvergenceError` carrying the solution and report."""
    rep = solution.report
    if rep.converged:
        return solution
    msg = rep.shortfall()
    if check:
        raise ConvergenceError(msg, solution, rep)
    warnings.warn(msg + "; pass check=True to raise instead", RuntimeWarning, stacklevel=3)
    return solution


def peak_rss() -> int:
    """Peak resident memory of this process in bytes (0 where unknown)."""
    try:
        import resource
    except ImportError:                       # not on Windows
        return 0
    kb = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    return int(kb) * (1 if sys.platform == "darwin" else 1024)   # bytes on macOS


def check_newton_options(rtol, max_iter) -> None:
    """ValueError unless ``rtol`` is finite and > 0 and ``max_iter`` an integer >= 0."""
    if isinstance(max_iter, bool) or not isinstance(max_iter, numbers.Integral):
        raise ValueError(f"max_iter must be an integer >= 0, got {max_iter!r}")
    if max_iter < 0:
        raise ValueError(f"max_iter must be >= 0, got {max_iter}")
    try:
        ok = math.isfinite(float(rtol)) and float(rtol) > 0
    except (TypeError, ValueError):
        ok = False
    if not ok:
        raise ValueError(f"rtol must be a finite number > 0, got {rtol!r}")


def forcing_term(rn: float, rn_prev: float, eta_prev: float, floor: float) -> float:
    """Relative tolerance of the next linear solve (Eisenstat-Walker, choice 2).

    ``rn``/``rn_prev``: the current and previous residual norms (``rn_prev`` NaN on the
    first step); ``eta_prev``: the previous forcing term; ``floor``: the smallest useful
    value (the stopping test's target over ``rn``, with a margin).
    """
    if not rn_prev > 0:
        eta = _ETA_MAX
    else:
        eta = 0.9 * (rn / rn_prev) ** 2
        guard = 0.9 * eta_prev ** 2
        if guard > 0.1:
            eta = max(eta, guard)
    return float(min(_ETA_MAX, max(eta, floor)))


def newton(assemble: Callable, x0, free, *, rtol: float = 1e-8, max_iter: int = 30,
           scale: float | None = None, line_search: bool = True,
           linear_solver: LinearSolver | None = None, solve: Callable | None = None,
           linear: bool = False, phase_times: dict | None = None,
           log: Callable | None = None, norm: Callable | None = None,
           unknowns: int | None = None, diagnose: Callable | None = None):
    """Inexact Newton's method for ``r(x) = 0`` on the ``free`` degrees of freedom.

    Parameters
    ----------
    assemble : callable
        ``assemble(x) -> (J, r, load)`` with J sparse, the derivative of ``-r`` over all n
        unknowns or already restricted to the free ones, r (n,) the residual at x and
        load (float) the size of the balancing terms.
    x0 : (n,) initial iterate; its fixed entries are kept.
    free : index array of the unknowns that Newton updates.
    rtol : stop when ``|r_free| <= rtol * scale``.
    scale : reference norm (default: the larger of the residual norm and ``load`` at
        x0, or 1 if both are 0).
    line_search : halve the step (at most 8 times) while the residual norm does not
        decrease; the first trial is always the full Newton step, so near the solution
        the iteration is plain Newton and converges quadratically. If no trial lowers
        the residual the iteration stops, not converged, at the last iterate.
    linear_solver : a configured :class:`~.linear.LinearSolver` for the free block
        (default: a :class:`~.direct.DirectSolver`).
    solve : older hook, ``solve(A, b) -> x``; used instead of ``linear_solver`` if given.
    linear : the problem is linear (J does not depend on x): solve the one update to the
        final accuracy instead of with a forcing term.
    phase_times : a dict of cumulative seconds that ``assemble`` adds to (e.g.
        ``{"source": ...}``); each step reports its share, apart from ``assembly``.
    log : called with each formatted table line as it is produced (e.g. ``print``).
    norm : norm of a vector of free entries (default: Euclidean). A distributed driver,
        which holds only its own part of every vector, passes one summed over all
        processes; ``J`` may then be any matrix object its ``linear_solver`` accepts.
    unknowns : number of free unknowns over all processes (default ``len(free)``).
    diagnose : ``diagnose(x) -> str or None``, asked when a linear solve fails or the
        residual turns non-finite at ``x``: a message saying what is wrong with the
        problem's state there (e.g. a material curve outside its fitted range), which
        replaces the linear solver's.

    Returns
    -------
    (x, report) : the last iterate and its :class:`NewtonReport`.

    Raises
    ------
    ValueError
        ``rtol`` not finite and > 0, or ``max_iter`` not an integer >= 0.
    LinearSolveError
        a linear solve failed (with ``diagnose``'s message where it has one).
    """
    check_newton_options(rtol, max_iter)
    max_iter = int(max_iter)
    linear_solver = choose_linear_solver(
        "direct" if linear_solver is None else linear_solver, solve, "nodal", 0)
    phases = phase_times if phase_times is not None else {}
    x = np.array(x0, dtype=np.float64, copy=True)
    free = np.asarray(free, dtype=np.int64)
    norm = np.linalg.norm if norm is None else norm
    count = len(free) if unknowns is None else int(unknowns)
    clock = _StepClock(phases)
    J, r, load = clock.assemble(assemble, x)
    rss_start = {"initial assembly": peak_rss()}
    rn = float(norm(r[free]))
    if scale is None:
        scale = max(rn, float(load))
        if not scale > 0:
            scale = 1.0
    report = NewtonReport(scale=float(scale), rtol=rtol, linear_solver=linear_solver.name,
                          unknowns=count)
    if log:
        log(report.header())
    target = rtol * scale
    prev, eta = math.nan, math.nan
    for it in range(max_iter + 1):
        step = NewtonStep(it, rn, 0.0, rn / prev if prev == prev and prev > 0 else math.nan,
                          1.0, rss=rss_start)
        rss_start = {}
        report.steps.append(step)
        done = (not np.isfinite(rn) or rn <= target or count == 0 or it == max_iter)
        if done and not np.isfinite(rn) and diagnose is not None:
            why = diagnose(x)
            if why:
                raise LinearSolveError(f"{why} (the residual is not finite)")
        if done:
            report.converged = bool(np.isfinite(rn) and (rn <= target or count == 0))
            step.times = clock.lap()
            step.peak_rss = peak_rss()
            if log:
                log(report.row(step))
            break
        # A tenth of the target is as far as a linear solve usefully goes.
        floor = 0.1 * target / rn
        eta = floor if linear else forcing_term(rn, prev, eta, floor)
        Jff = (J if not hasattr(J, "shape") or J.shape[0] == len(free)
               else sp.csr_array(J)[free][:, free])
        J = None                             # the free block is all the solver needs
        try:
            linear_solver.setup(Jff)
            step.rss["setup"] = peak_rss()
            dx = linear_solver.solve(r[free], eta)
            step.rss["solve"] = peak_rss()
        except LinearSolveError as exc:
            why = diagnose(x) if diagnose is not None else None
            if why:
                raise LinearSolveError(f"{why} ({exc})") from exc
            raise
        del Jff
        st = linear_solver.stats
        clock.add(setup=st.setup_time, solve=st.solve_time)
        step.linear_iterations, step.memory = st.iterations, st.memory
        step.preconditioner = getattr(st, "preconditioner", "")
        step.eta = math.nan if linear_solver.exact else eta
        t, accepted = 1.0, False
        for _ in range(_MAX_HALVINGS + 1):
            xt = x.copy()
            xt[free] += t * dx
            Jt, rt, _ = clock.assemble(assemble, xt)
            step.rss["assembly"] = peak_rss()
            rtn = float(norm(rt[free]))
            if not line_search or (np.isfinite(rtn) and rtn <= (1.0 - 1e-4 * t) * rn):
                accepted = True
                break
            t *= 0.5
        step.times = clock.lap()
        step.peak_rss = peak_rss()
        if not accepted:
            # No step along the Newton direction lowers the residual: the iteration
            # has stalled (typically at the rounding floor with too small an rtol).
            step.step = 0.0
            if log:
                log(report.row(step))
            break
        step.update = float(t * norm(dx))
        step.step = t
        if log:
            log(report.row(step))
        prev = rn
        x, J, r, rn = xt, Jt, rt, rtn
    return x, report


class _StepClock:
    """Seconds per phase since the last lap: assembly (wall time of ``assemble`` less
    what it reported in ``phases``), the reported phases, and set-up and solve."""

    def __init__(self, phases: dict):
        self.phases = phases
        self.mark = dict(phases)
        self.acc = {}

    def add(self, **seconds):
        for k, v in seconds.items():
            self.acc[k] = self.acc.get(k, 0.0) + v

    def assemble(self, fn, x):
        before = sum(self.phases.values())
        t0 = time.perf_counter()
        out = fn(x)
        inner = sum(self.phases.values()) - before
        self.add(assembly=time.perf_counter() - t0 - inner)
        return out

    def lap(self) -> dict:
        out = {"assembly": 0.0, "source": 0.0, "setup": 0.0, "solve": 0.0}
        out.update(self.acc)
        for k, v in self.phases.items():
            out[k] = out.get(k, 0.0) + v - self.mark.get(k, 0.0)
        self.mark, self.acc = dict(self.phases), {}
        return out
