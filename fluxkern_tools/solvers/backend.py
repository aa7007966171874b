"""One entry point for both ways of solving a problem: this process or all MPI processes.

Applications build a problem (:class:`~.scalar_potential.ScalarPotential` or
:class:`~.vector_potential.ReducedVectorPotential`) and call :func:`solve` with the
``backend`` they were given; nothing else of theirs depends on it.
"""

from __future__ import annotations

import weakref

__all__ = ["BACKENDS", "solve"]

BACKENDS = ("serial", "petsc")

# The distributed counterpart of each problem solved with the petsc backend, kept for
# the next solve (a sweep of currents partitions and shares out the mesh once).
_DISTRIBUTED = weakref.WeakKeyDictionary()


def solve(problem, *, backend: str = "serial", gather: str = "root", **options):
    """Solve ``problem`` with ``backend`` and return its solution object.

    ``"serial"``: ``problem.solve(**options)`` in this process (``gather`` has no
    effect: the one process holds everything). ``"petsc"``: collective over every MPI
    process (run under ``mpiexec``; needs ``make mpi-env``), CG with hypre; the
    solution is returned on the root, or on every process with ``gather="all"``, and
    None elsewhere; the distributed problem is kept for later solves of the same
    ``problem``. ``options`` are those of the problem's ``solve``. ValueError for an
    unknown backend or ``gather``.
    """
    if backend not in BACKENDS:
        raise ValueError(f"backend must be one of {BACKENDS}, got {backend!r}")
    if gather not in ("root", "all"):
        raise ValueError(f"gather must be 'root' or 'all', got {gather!r}")
    if backend == "serial":
        return problem.solve(**options)
    from .distributed import distribute

    dist = _DISTRIBUTED.get(problem)
    if dist is None:
        dist = _DISTRIBUTED[problem] = distribute(problem)
    return dist.solve(gather=gather, **options)
