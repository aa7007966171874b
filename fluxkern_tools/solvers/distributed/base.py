"""What both distributed formulations share: sharing out the problem, the Newton loop
over owned unknowns, and the solution gathered back.

The one-machine problem object (:class:`~fluxkern_tools.solvers.ReducedVectorPotential`
or :class:`~fluxkern_tools.solvers.ScalarPotential`) is needed on the root process
only: the root partitions the mesh and sends every process its elements. Other
processes may pass None, and then receive the problem's small parts (materials,
source, reference tables) pickled; processes that pass their own copy use it, so a
source given as a local function works when every process builds the problem.
"""

from __future__ import annotations

import math
import os
import pickle
import time

import numpy as np

from ..newton import newton
from .comm import root_bcast, root_scatter, world

__all__ = ["DistributedProblem", "limit_threads"]


def _check_sendable(obj, what: str, remedy: str) -> None:
    """ValueError naming ``what`` and ``remedy`` when ``obj`` cannot be pickled (sent
    to the other processes)."""
    try:
        pickle.dumps(obj)
    except Exception as exc:
        raise ValueError(f"{what} cannot be sent to the other processes ({exc}); "
                         f"{remedy}") from exc


def limit_threads(comm) -> None:
    """Share each machine's cores between its processes: unless OMP_NUM_THREADS is
    set, OpenMP (the Biot-Savart kernel, hypre) gets cores / processes on the node
    threads, and BLAS one thread."""
    if "OMP_NUM_THREADS" in os.environ:
        return
    from mpi4py import MPI
    from threadpoolctl import threadpool_limits

    node = comm.Split_type(MPI.COMM_TYPE_SHARED)
    per_process = max(1, (os.cpu_count() or 1) // node.size)
    node.Free()
    import fluxkern_mod  # noqa: F401  (load its OpenMP runtime before limiting it)

    threadpool_limits(limits=per_process, user_api="openmp")
    threadpool_limits(limits=1, user_api="blas")


class DistributedProblem:
    """Base of the distributed formulations (see the subclasses).

    Subclasses implement ``_light(problem)`` (the small parts every process needs),
    ``_pieces(problem, nparts)`` (run on the root: one dict per process) and
    ``_build(piece)`` (this process's system, ``size`` and ``solver``), and solve with
    :meth:`_newton`.
    """

    def __init__(self, problem, comm=None, root: int = 0):
        self.comm = comm if comm is not None else world()
        self.root = int(root)
        self.rank, self.nranks = self.comm.rank, self.comm.size
        info = self.comm.allgather((problem is not None,
                                    bool(getattr(problem, "magnets", None))))
        given = [g for g, _ in info]
        if not given[self.root]:
            raise ValueError("the root process must pass the problem")
        if any(m for _, m in info):
            # Every process raises, so none waits in a collective call. The remanence
            # terms are assembled by the serial drivers only; dropping them here would
            # return the field without the magnets as a converged solution.
            raise NotImplementedError("permanent magnets are not supported by the "
                                      "distributed drivers; solve serially")
        self.problem = problem
        self.everywhere = all(given)
        light = self._share_light(problem)
        self.times = {"source": 0.0}          # Newton phases reported by the driver
        limit_threads(self.comm)
        t0 = time.perf_counter()
        piece = root_scatter(self.comm, lambda: self._pieces(problem, self.nranks),
                             self.root)
        #: Seconds of the set-up: partitioning and sending the pieces out.
        self.setup_times = {"distribute": time.perf_counter() - t0}
        self.light = light
        self._build(piece)

    def _share_light(self, problem):
        if self.everywhere:
            return self._light(problem)

        def make():
            light = self._light(problem)
            _check_sendable(light, "the problem's materials or source",
                            "build the problem on every process instead")
            return light

        return root_bcast(self.comm, make, self.root)

    def _start_refined(self, mesh, levels, materials, kind, field, comm, root):
        """The set-up of the drivers on a mesh refined in parallel (see :mod:`.plex`):
        the communicator, the coarse mesh (a Mesh or a path, on the root) distributed
        and refined, ``self.mesh`` this process's :class:`~.plex.LocalMesh`. Returns
        ``{"materials", "field"}``: the ``kind`` ("reluctance" or "permeability")
        curves from the root, and ``field`` (the source or the potential), each
        process's own when every process passes one, else the root's (pickled)."""
        from . import plex
        from .comm import idle_barrier

        self.comm = comm if comm is not None else world()
        self.root = int(root)
        self.rank, self.nranks = self.comm.rank, self.comm.size
        self.problem, self.everywhere = None, False
        own = all(self.comm.allgather(field is not None))
        made = {}

        def make():
            from ...materials import magnet_table
            from ...meshes import Mesh, read
            from .._common import material_table

            m = mesh
            if m is None:
                raise ValueError("the root process must pass the mesh")
            if not isinstance(m, Mesh):
                m = read(m)
            if magnet_table(m, materials):
                raise NotImplementedError("permanent magnets are not supported by the "
                                          "distributed drivers; solve serially")
            out = {"materials": material_table(m, materials, kind),
                   "field": None if own else field}
            _check_sendable(out, "the materials or the field", "pass the field on every "
                            "process")
            made["mesh"] = m
            return out

        light = root_bcast(self.comm, make, self.root)   # a failure raises everywhere
        if own:
            light["field"] = field
        self.times = {"source": 0.0}
        limit_threads(self.comm)
        idle_barrier(self.comm)
        dm, _ = plex.coarse_plex(made.get("mesh"), self.comm, self.root)
        made.clear()
        dm, self.setup_times = plex.refine(dm, levels)
        t0 = time.perf_counter()
        self.mesh = plex.local_mesh(dm, self.comm)
        self.setup_times["number"] = time.perf_counter() - t0
        #: Number of fine elements over all processes.
        self.num_el = int(self.comm.allreduce(self.mesh.num_el))
        return light

    # -- vectors over the free unknowns -----------------------------------------------
    def norm(self, v) -> float:
        """Euclidean norm of a distributed vector given by its owned entries."""
        v = np.asarray(v, dtype=np.float64)
        return math.sqrt(self.comm.allreduce(float(v @ v)))

    def _scatter_owned(self, full, members, starts, fill):
        """Owned slices (in global-number order) of the root's ``full`` vector, or of
        ``fill`` (a callable giving the default) when ``full`` is None."""

        def make():
            x = fill() if full is None else np.asarray(full, dtype=np.float64).reshape(-1)
            n = self.problem.num_dofs
            if x.shape != (n,):
                raise ValueError(f"x0 must have {n} entries")
            xn = x[members]
            return [xn[starts[p]:starts[p + 1]] for p in range(self.nranks)]

        return root_scatter(self.comm, make, self.root)

    def _gather_full(self, owned, members, base, gather: str):
        """The whole vector of unknowns: ``base`` (root; the fixed values) with the
        owned entries of every process put back at their original ids. On the root
        with ``gather="root"``, on every process with ``"all"``; None elsewhere."""
        parts = self.comm.gather(np.asarray(owned, dtype=np.float64), root=self.root)
        x = None
        if self.rank == self.root:
            x = np.array(base, dtype=np.float64, copy=True)
            x[members] = np.concatenate(parts)
        if gather == "all":
            x = self.comm.bcast(x, root=self.root)
        return x

    def _check_gather(self, gather: str) -> None:
        if gather not in ("root", "all"):
            raise ValueError("gather must be 'root' or 'all'")
        if gather == "all" and not self.everywhere:
            raise ValueError("gather='all' needs the problem on every process")

    def _newton(self, assemble, x0_owned, *, rtol, max_iter, line_search, log, linear):
        """The one-machine inexact Newton on the owned unknowns, with global norms."""
        return newton(assemble, x0_owned, np.arange(len(x0_owned)), rtol=rtol,
                      max_iter=max_iter, line_search=line_search,
                      linear_solver=self.solver, linear=linear, phase_times=self.times,
                      log=log if self.rank == self.root else None, norm=self.norm,
                      unknowns=self.size)
