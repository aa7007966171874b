"""One entry point for both ways of solving a problem: this process or all MPI processes.

Applications build a problem (:class:`~.scalar_potential.ScalarPotential` or
:class:`~.vector_potential.ReducedVectorPotential`) and call :func:`solve` with the
``backend`` they were given; nothing else of theirs depends on it.
"""

from __future__ import annotations

import itertools
import weakref

__all__ = ["BACKENDS", "solve"]

BACKENDS = ("serial", "petsc")

# The distributed counterpart of each problem solved with the petsc backend, kept for
# the next solve (a sweep of currents partitions and shares out the mesh once).
_DISTRIBUTED = weakref.WeakKeyDictionary()
# Processes called with problem=None (off the root) hold theirs under the number the
# root gave the problem, so that they reuse it exactly when the root does.
_RECEIVED = {}
_NUMBERS = weakref.WeakKeyDictionary()
_COUNT = itertools.count(1)


def solve(problem, *, backend: str = "serial", gather: str = "root", **options):
    """Solve ``problem`` with ``backend`` and return its solution object.

    ``"serial"``: ``problem.solve(**options)`` in this process (``gather`` has no
    effect: the one process holds everything). ``"petsc"``: collective over every MPI
    process (run under ``mpiexec``; needs ``make mpi-env``), CG with hypre; the
    solution is returned on the root, or on every process with ``gather="all"``, and
    None elsewhere; the distributed problem is kept for later solves of the same
    ``problem``. Only the root (rank 0) needs the problem: the others may pass None,
    and then reuse what they received whenever the root reuses its problem (they keep
    every problem they received). ``options`` are those of the problem's ``solve``.
    ValueError for an unknown backend or ``gather``.
    """
    if backend not in BACKENDS:
        raise ValueError(f"backend must be one of {BACKENDS}, got {backend!r}")
    if gather not in ("root", "all"):
        raise ValueError(f"gather must be 'root' or 'all', got {gather!r}")
    if backend == "serial":
        return problem.solve(**options)
    from .distributed import distribute
    from .distributed.comm import world

    if problem is None:
        # Off the root: the root says which of its problems this is; a new one is
        # shared out (collectively), a known one reused.
        number = world().bcast(None, root=0)
        dist = _RECEIVED.get(number)
        if dist is None:
            dist = _RECEIVED[number] = distribute(None)
        return dist.solve(gather=gather, **options)
    comm = world()
    number = _NUMBERS.get(problem)
    if number is None and comm.rank == 0:
        number = _NUMBERS[problem] = next(_COUNT)
    comm.bcast(number, root=0)      # matched by the processes that were given None
    dist = _DISTRIBUTED.get(problem)
    if dist is None:
        dist = _DISTRIBUTED[problem] = distribute(problem)
    return dist.solve(gather=gather, **options)
