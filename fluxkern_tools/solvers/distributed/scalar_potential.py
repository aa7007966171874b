"""The total scalar potential (P1 or P2) on many processes (see
:mod:`fluxkern_tools.solvers.scalar_potential` for the formulation).

The free nodes are the matrix's unknowns; the Dirichlet nodes get a numbering of their
own as well, only so that K x can be summed over them: the stopping test's scale
includes the reaction there, as on one machine.
"""

from __future__ import annotations

import numpy as np

from ..linear import LinearContext
from ..scalar_potential import ScalarPotentialSolution
from ...fem.kernels import nodal_system
from .assembly import DistributedSystem
from .base import DistributedProblem
from .ksp import PetscSolver
from .partition import elements_by_part, local_dofs, number_dofs, partition_elements

__all__ = ["DistributedScalarPotential", "RefinedScalarPotential"]


class DistributedScalarPotential(DistributedProblem):
    """A :class:`~fluxkern_tools.solvers.ScalarPotential` solved on all processes of
    ``comm`` (default ``MPI.COMM_WORLD``) with PETSc: CG and BoomerAMG.

    ``problem`` is the one-machine problem on the root process (None allowed
    elsewhere, see :mod:`.base`). Collective: every process constructs and solves.
    """

    def _light(self, pb):
        return {"materials": pb.materials, "q": pb.q, "w": pb.w, "d_phi": pb.d_phi}

    def _pieces(self, pb, nparts):
        m = pb.mesh
        parts = partition_elements(m, nparts)
        free = np.zeros(pb.num_dofs, dtype=bool)
        free[pb.free] = True
        dofs = number_dofs(pb.cells, parts, nparts, include=free)
        fixed = number_dofs(pb.cells, parts, nparts, include=~free)
        g = pb.prescribed()
        self._members, self._starts, self._g = dofs.members(), dofs.starts, g
        pieces = []
        scratch = np.full(pb.num_dofs, -1, dtype=np.int64)
        for p, el in enumerate(elements_by_part(parts, nparts)):
            ld = local_dofs(pb.cells[el], [dofs, fixed], p, scratch)
            n_free = sum(ld.counts[0])
            cells, ld.cells = ld.cells, None
            pieces.append({"regions": m.regions[el], "coords": pb.nodes[ld.ids],
                           "cells": cells, "local": ld,
                           "sizes": [dofs.size, fixed.size],
                           "fixed_values": g[ld.ids[n_free:]]})
        return pieces

    def _build(self, piece):
        lt = self.light
        self.piece = piece
        self.size = int(piece["sizes"][0])
        self.regions = {}
        for r in np.unique(piece["regions"]).tolist():
            sel = np.flatnonzero(piece["regions"] == r)
            self.regions[r] = np.ascontiguousarray(piece["cells"][sel]).reshape(-1)
        mats = lt["materials"]
        constant = [r for r in self.regions if mats[r].get_type_spec() == 0]
        self.is_linear = all(m.get_type_spec() == 0 for m in mats.values())
        k = piece["cells"].shape[1]
        dofs = {r: c.reshape(-1, k) for r, c in self.regions.items()}
        self.system = DistributedSystem(self.comm, piece["local"], piece["sizes"],
                                        self._region, dofs, constant,
                                        piece["fixed_values"])
        self.solver = PetscSolver(self.comm)
        self.solver.configure(LinearContext("nodal"))

    def _region(self, r, x, _scale):
        lt = self.light
        return nodal_system(self.piece["coords"], self.regions[r], lt["d_phi"], x,
                            lt["materials"][r], lt["q"], lt["w"])

    def solve(self, x0=None, *, rtol: float = 1e-10, max_iter: int = 30,
              line_search: bool = True, log=None, gather: str = "root"):
        """Newton solve on all processes; returns a
        :class:`~fluxkern_tools.solvers.ScalarPotentialSolution` on the root (on every
        process with ``gather="all"``, which needs the problem everywhere) and None
        elsewhere.

        Options as in :meth:`ScalarPotential.solve`; ``x0`` (A per unknown) is taken
        from the root and defaults to the prescribed potential; ``log`` is called on
        the root only.
        """
        self._check_gather(gather)
        root = self.rank == self.root
        members = self._members if root else None
        starts = self._starts if root else None
        x0_owned = self._scatter_owned(x0, members, starts, lambda: self._g)

        def assemble(v):
            J, kx, _, kx_fixed = self.system.system(v, 1.0)
            load = np.hypot(self.norm(kx), self.norm(kx_fixed))
            return J, -kx, float(load)

        x, report = self._newton(assemble, x0_owned, rtol=rtol, max_iter=max_iter,
                                 line_search=line_search, log=log, linear=self.is_linear)
        full = self._gather_full(x, members, self._g if root else None, gather)
        if full is None:
            return None
        return ScalarPotentialSolution(self.problem, full, report)


class RefinedScalarPotential(DistributedScalarPotential):
    """The P1 total scalar potential on a coarse mesh refined in parallel (see
    :mod:`.plex` and :class:`~.vector_potential.RefinedVectorPotential`): no process
    builds the fine mesh. Solved as :class:`DistributedScalarPotential`.

    Parameters
    ----------
    mesh : :class:`~fluxkern_tools.meshes.Mesh` or a mesh file path, on the root.
    levels : int, uniform refinements (x 8 elements each).
    permeabilities : ``{region id or name: material}``, on the root.
    potential : a callable on points (P, 3; m) returning phi (A), or H0 (3,; A/m) for
        phi = -H0 . x: the values on the Dirichlet part. Taken from the root (pickled)
        unless every process passes one.
    dirichlet : None (the whole boundary), surface name(s) or a predicate on face
        centroids (m).
    comm, root : the communicator and the root rank.

    Raises
    ------
    ValueError
        as :class:`~.vector_potential.RefinedVectorPotential`, and for a potential
        without one finite value per point; on every process (RankError elsewhere).
    """

    def __init__(self, mesh, levels: int, permeabilities, potential, *, dirichlet=None,
                 comm=None, root: int = 0):
        import time

        from ...fem import elements, quadrature
        from ..scalar_potential import uniform_field_potential
        from . import plex
        from .comm import collective

        if potential is not None and not callable(potential):
            potential = uniform_field_potential(potential)
        lt = self._start_refined(mesh, levels, permeabilities, "permeability", potential,
                                 comm, root)
        q, w = quadrature.tetrahedron(1)
        self.light = {"materials": lt["materials"], "q": q, "w": w,
                      "d_phi": elements.lagrange(1, q)[1]}
        t0 = time.perf_counter()
        piece = None
        with collective(self.comm, "the prescribed potential"):
            piece = plex.nodal_piece(self.mesh, dirichlet, lt["field"])
            n_own = piece["local"].counts[0][0]
            x0 = piece["coords"][:n_own]
            self._x0 = np.asarray(lt["field"](x0) if n_own else np.zeros(0),
                                  dtype=np.float64).reshape(-1)
        self.mesh.release()
        self.setup_times["number"] += time.perf_counter() - t0
        self._build(piece)

    def solve(self, *, rtol: float = 1e-10, max_iter: int = 30, line_search: bool = True,
              log=None):
        """Newton solve on all processes from the potential's values; returns
        ``(phi, report)`` on every process: this process's owned free unknowns (A, in
        global-number order; their points are :meth:`owned_points`) and the report."""

        def assemble(v):
            J, kx, _, kx_fixed = self.system.system(v, 1.0)
            return J, -kx, float(np.hypot(self.norm(kx), self.norm(kx_fixed)))

        return self._newton(assemble, self._x0.copy(), rtol=rtol, max_iter=max_iter,
                            line_search=line_search, log=log, linear=self.is_linear)

    def owned_points(self) -> np.ndarray:
        """Coordinates (m) of this process's owned free unknowns, in solve order."""
        return self.piece["coords"][:self.system.n_owned]
