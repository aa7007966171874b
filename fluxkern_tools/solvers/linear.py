"""The linear-solver interface of the Newton drivers (:mod:`.linear_backends` picks one).

A Newton step hands its solver the free block of the Jacobian once (``setup(A)``) and then
one right-hand side with a relative tolerance (``solve(b, rtol)``); the solver keeps what it
can reuse between steps (an ordering, a pattern) and reports what it did in ``stats``.
Backends: :class:`~.direct.DirectSolver` (sparse LU, exact) and
:class:`~.iterative.IterativeSolver` (conjugate gradients with algebraic multigrid); a plain
callable ``solve(A, b) -> x`` is wrapped by :class:`CallableSolver`.

Before the first ``setup`` a driver calls ``configure(context)`` with a
:class:`LinearContext`: what the unknowns are (nodal values or edge coefficients) and the
auxiliary matrices a multigrid preconditioner for that kind needs.
"""

from __future__ import annotations

import math
import time
from dataclasses import dataclass
from typing import Callable

import numpy as np

__all__ = ["LinearSolveError", "LinearStats", "LinearContext", "LinearSolver",
           "CallableSolver", "AUTO_ITERATIVE_ABOVE", "check_finite"]

# Above these numbers of unknowns "auto" picks the iterative backend. Measured on the
# steel cube in an air box (whole Newton solves, direct and iterative interleaved): the
# two are even at about 2k nodal and 4k edge unknowns; at 7k nodal / 6k edge unknowns
# the iterative path is 2-6x faster, and the gap widens like N^0.8 beyond.
AUTO_ITERATIVE_ABOVE = {"nodal": 3_000, "edge": 5_000}


class LinearSolveError(RuntimeError):
    """A linear solve failed: singular or indefinite system, breakdown, non-finite values,
    or no convergence within the iteration limit."""


@dataclass
class LinearStats:
    """What one ``setup`` + ``solve`` did.

    ``iterations``: Krylov iterations (0 for a direct solve); ``setup_time`` and
    ``solve_time`` in s; ``rel_residual``: |b - A x| / |b| reached (NaN where not
    measured); ``memory``: bytes held by the factor or the multigrid hierarchy (0 where
    not known); ``at_floor``: the solve stopped short of its tolerance at the rounding
    floor (its result is as accurate as the arithmetic allows); ``preconditioner``: what
    the set-up did with a multigrid preconditioner, ``"build"``, ``"refresh"`` (coarse
    operators recomputed on kept aggregates) or ``"keep"`` (only the finest matrix
    replaced), ``"smoother"`` (Gauss-Seidel alone, no set-up) or ``"retry"`` (kept or
    smoother, then set up again when CG overran its budget), empty where there is none.
    """

    solver: str = ""
    iterations: int = 0
    setup_time: float = 0.0
    solve_time: float = 0.0
    rel_residual: float = math.nan
    memory: int = 0
    at_floor: bool = False
    preconditioner: str = ""


@dataclass
class LinearContext:
    """What a driver tells its linear solver about the unknowns of the free block.

    ``kind`` is ``"nodal"`` (scalar potential: one value per node) or ``"edge"`` (edge
    coefficients of the vector potential). ``coordinates`` (n, 3), optional, are
    positions of the unknowns in m. For edges, ``gradient`` (n, N) maps nodal
    values to edge coefficients (discrete gradient, its range is the kernel of curl) and
    ``interpolation`` holds three (n, N) matrices mapping each Cartesian component of a
    nodal vector field to edge coefficients (Nédélec interpolation), or is a function
    that returns them (made only when a preconditioner needs them); ``sweeps`` is the
    number of smoothing sweeps an edge preconditioner should make on each side.
    ``kernel`` (n, k), optional, spans the null space of a singular (ungauged) matrix
    (for edges: the gradients of the nodes the boundary condition leaves free); an
    iterative backend removes the right-hand side's component along it, which rounding
    leaves in an otherwise consistent right-hand side and on which CG breaks down.
    """

    kind: str
    coordinates: np.ndarray | None = None
    gradient: object = None
    interpolation: object = ()
    sweeps: int = 1
    kernel: object = None


class LinearSolver:
    """Base of the backends: ``configure``, ``setup``, ``solve`` and ``stats``."""

    name = "linear solver"
    #: True when ``solve`` returns the exact solution whatever ``rtol`` says.
    exact = False
    #: True when the backend copes with the consistent singular (ungauged) edge system.
    handles_singular = False

    def __init__(self):
        self.stats = LinearStats(self.name)
        self.context: LinearContext | None = None
        #: What the backend was last configured for (set by the drivers, which
        #: configure again when it changes; a weak reference to the problem, as an
        #: id() is reused once the problem is gone).
        self.configured_for = None

    def configure(self, context: LinearContext) -> None:
        """Receive what the unknowns are; called once by a driver before ``setup``."""
        self.context = context

    def setup(self, A) -> None:
        """Prepare for systems with the sparse (n, n) matrix ``A``."""
        raise NotImplementedError

    def solve(self, b, rtol: float) -> np.ndarray:
        """Return x with |b - A x| <= rtol |b| (or exactly, for direct backends)."""
        raise NotImplementedError

    def _new_stats(self) -> LinearStats:
        self.stats = LinearStats(self.name)
        return self.stats


class CallableSolver(LinearSolver):
    """A plain ``solve(A, b) -> x`` as a backend (the drivers' older ``solve=`` hook)."""

    name = "callable"
    exact = True
    # A plain solve gets the gauged system unless the problem says gauge=False.
    handles_singular = False

    def __init__(self, fn: Callable):
        super().__init__()
        if not callable(fn):
            raise TypeError("solve must be a callable solve(A, b) -> x")
        self.fn, self.A = fn, None

    def setup(self, A) -> None:
        self._new_stats()
        self.A = A

    def solve(self, b, rtol: float) -> np.ndarray:
        t0 = time.perf_counter()
        x = np.asarray(self.fn(self.A, b), dtype=np.float64).reshape(-1)
        self.stats.solve_time = time.perf_counter() - t0
        return check_finite(x)


def check_finite(x) -> np.ndarray:
    """``x`` itself, or LinearSolveError when it holds NaN or infinity."""
    if not np.all(np.isfinite(x)):
        raise LinearSolveError("the linear solve produced non-finite values")
    return x
