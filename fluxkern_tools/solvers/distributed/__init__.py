"""The Newton solvers on many processes: MPI, PETSc and hypre (the ``petsc`` backend).

Run a script under ``mpiexec -n P``; every process builds (or receives) the problem,
the root partitions the mesh with METIS and sends each process its elements, every
process assembles its own elements with the compiled kernels into one distributed
PETSc matrix, and CG with hypre's AMS (edge elements) or BoomerAMG (nodal elements)
solves the inexact Newton steps. The solution comes back on the root as the usual
solution object::

    from fluxkern_tools.solvers import distributed
    pb = ReducedVectorPotential(mesh, materials, source)   # on every process, or root
    sol = distributed.solve(pb)                            # collective; None off root

* :mod:`.partition`: element partition and the numbering of unknowns (NumPy);
* :mod:`.assembly`: the distributed matrix and vectors from the local kernel calls;
* :mod:`.ksp`: the PETSc linear solver behind the Newton drivers' interface;
* :mod:`.vector_potential`, :mod:`.scalar_potential`: the two formulations;
* :mod:`.comm`: loading mpi4py and petsc4py, errors that end every process.

mpi4py and petsc4py are optional (``make mpi-env``); importing this package does not
need them (they are loaded on first use), using it does.
"""

from .comm import MPI_INSTALL_HINT, RankError, abort_on_error, available
from .partition import (LocalDofs, Numbering, dual_graph, elements_by_part, local_dofs,
                        number_dofs, partition_elements)
from .scalar_potential import DistributedScalarPotential, RefinedScalarPotential
from .vector_potential import DistributedVectorPotential, RefinedVectorPotential

__all__ = ["solve", "distribute", "available", "abort_on_error", "RankError",
           "MPI_INSTALL_HINT", "DistributedVectorPotential", "DistributedScalarPotential",
           "RefinedVectorPotential", "RefinedScalarPotential", "refined"]


def distribute(problem, comm=None, root: int = 0, preconditioner: str | None = None):
    """The distributed counterpart of a one-machine ``problem``
    (:class:`~fluxkern_tools.solvers.ReducedVectorPotential` or
    :class:`~fluxkern_tools.solvers.ScalarPotential`; None off the root is allowed).
    Collective. Keep it to solve several times (e.g. a sweep of currents).
    ``preconditioner`` (vector potential only, else ValueError): ``"hx"``
    (the default) or ``"hypre-ams"``, see :class:`DistributedVectorPotential`."""
    from .comm import idle_barrier, world
    from ..scalar_potential import ScalarPotential
    from ..vector_potential import ReducedVectorPotential

    comm = comm if comm is not None else world()
    idle_barrier(comm)                  # the root may still be building the problem
    kind = None
    if comm.rank == root:
        kind = ("vector" if isinstance(problem, ReducedVectorPotential) else
                "scalar" if isinstance(problem, ScalarPotential) else None)
    kind = comm.bcast(kind, root=root)
    if kind is None:
        raise TypeError("problem must be a ReducedVectorPotential or a ScalarPotential")
    if kind == "vector":
        return DistributedVectorPotential(problem, comm, root,
                                          preconditioner=preconditioner or "hx")
    if preconditioner is not None:
        raise ValueError("preconditioner chooses among edge-element preconditioners; "
                         "the scalar potential has BoomerAMG")
    return DistributedScalarPotential(problem, comm, root)


def solve(problem, comm=None, root: int = 0, preconditioner: str | None = None,
          **solve_options):
    """Distribute ``problem`` and solve it (``preconditioner`` as in
    :func:`distribute`, other options as the distributed ``solve``)."""
    return distribute(problem, comm, root, preconditioner).solve(**solve_options)


def refined(mesh, levels: int, materials, field, formulation: str = "vector", **options):
    """A problem on ``mesh`` refined ``levels`` times in parallel (DMPlex; no process
    builds the fine mesh): the reduced vector potential (``formulation="vector"``,
    ``field`` the source, :class:`RefinedVectorPotential`) or the P1 total scalar
    potential (``"scalar"``, ``field`` the potential or H0,
    :class:`RefinedScalarPotential`); see those for the arguments, ``options`` and
    errors. Collective. ValueError for another formulation."""
    if formulation == "vector":
        return RefinedVectorPotential(mesh, levels, materials, field, **options)
    if formulation == "scalar":
        return RefinedScalarPotential(mesh, levels, materials, field, **options)
    raise ValueError("formulation must be 'vector' or 'scalar'")
