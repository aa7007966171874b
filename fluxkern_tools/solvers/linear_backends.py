"""The choice of a linear-solver backend by name or size.

:mod:`.linear` defines the interface; :mod:`.direct` and :mod:`.iterative` implement
it; this module, above all three, picks one for a driver.
"""

from __future__ import annotations

from .direct import DirectSolver
from .iterative import IterativeSolver
from .linear import AUTO_ITERATIVE_ABOVE, CallableSolver, LinearSolver

__all__ = ["choose_linear_solver"]


def choose_linear_solver(linear_solver, solve, kind: str, size: int) -> LinearSolver:
    """The backend a driver uses for ``size`` unknowns of ``kind`` (not yet configured).

    ``linear_solver`` is ``"auto"`` (direct up to :data:`AUTO_ITERATIVE_ABOVE` unknowns
    of that kind, iterative above), ``"direct"``, ``"iterative"`` or a
    :class:`LinearSolver` instance; ``solve``, a callable ``solve(A, b) -> x``, overrides
    it when given.
    """
    if solve is not None:
        return CallableSolver(solve)
    if isinstance(linear_solver, LinearSolver):
        return linear_solver
    if linear_solver == "auto":
        return IterativeSolver() if size > AUTO_ITERATIVE_ABOVE[kind] else DirectSolver()
    if linear_solver == "direct":
        return DirectSolver()
    if linear_solver == "iterative":
        return IterativeSolver()
    raise ValueError("linear_solver must be 'auto', 'direct', 'iterative' or a "
                     f"LinearSolver instance, not {linear_solver!r}")
