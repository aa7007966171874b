"""The reduced vector potential on many processes (see
:mod:`fluxkern_tools.solvers.vector_potential` for the formulation).

The unknowns are the edges without A x n = 0, ungauged, as on the one-machine iterative
path: CG with hypre's AMS converges on the singular system, whose right-hand sides are
compatible. Each process evaluates the source field at the quadrature points of its
own elements (outside vacuum regions) and calls the curl-curl kernel on them.
"""

from __future__ import annotations

import time

import numpy as np

from ...fem.kernels import curl_at, curl_curl_system
from ...fem.operators import discrete_gradient
from ...fem.spaces import element_arrays
from ..sources import region_source
from ..vector_potential import VectorPotentialSolution
from .assembly import DistributedSystem
from .base import DistributedProblem
from .comm import collective, petsc
from .ksp import PetscSolver, VertexContext
from .partition import (compact, elements_by_part, local_dofs, number_dofs,
                        partition_elements)

__all__ = ["DistributedVectorPotential", "RefinedVectorPotential"]


class DistributedVectorPotential(DistributedProblem):
    """A :class:`~fluxkern_tools.solvers.ReducedVectorPotential` solved on all processes
    of ``comm`` (default ``MPI.COMM_WORLD``) with PETSc: CG and an auxiliary-space
    preconditioner.

    ``problem`` is the one-machine problem on the root process (None allowed
    elsewhere, see :mod:`.base`). Collective: every process constructs and solves.
    ``preconditioner``: ``"hx"`` (the default; :mod:`.hx`, nodal Laplacians assembled
    directly) or ``"hypre-ams"``; ValueError for another.
    """

    num_el_dofs = 6

    def __init__(self, problem, comm=None, root: int = 0,
                 preconditioner: str = "hx"):
        from .ksp import PRECONDITIONERS

        if preconditioner not in PRECONDITIONERS:
            raise ValueError(f"preconditioner must be one of {PRECONDITIONERS}, "
                             f"not {preconditioner!r}")
        self.preconditioner = preconditioner
        super().__init__(problem, comm, root)

    def _light(self, pb):
        if pb.gauge is True:
            raise ValueError("the petsc backend solves the ungauged system; build the "
                             "problem with gauge=None or gauge=False")
        if pb.degree != 1:
            # hypre's AMS builds the Nedelec interpolation of lowest-order elements
            # from the gradient and the vertices; degree 2 would need its own.
            raise ValueError("the petsc backend solves lowest-order edge elements "
                             "(degree=1) only")
        return {"materials": pb.materials, "tables": pb.tables, "source": pb.source}

    def _pieces(self, pb, nparts):
        m = pb.mesh
        parts = partition_elements(m, nparts)
        free = np.zeros(m.num_edges, dtype=bool)
        free[pb.unfixed] = True
        edges = number_dofs(m.glob_ids, parts, nparts, include=free)
        # AMS's auxiliary nodal space: every node of a free edge (both ends are needed
        # for the edge tangents of the Nedelec interpolation hypre builds).
        used = np.zeros(m.num_nodes, dtype=bool)
        used[m.edges[edges.members()].reshape(-1)] = True
        nodes = number_dofs(m.cells, parts, nparts, include=used)
        node_members = nodes.members()
        # The nodal space of the "hx" preconditioner is zero on the Dirichlet boundary.
        on_fixed = np.zeros(m.num_nodes, dtype=bool)
        on_fixed[m.edges[~free].reshape(-1)] = True
        self._members, self._starts = edges.members(), edges.starts
        pieces = []
        scratch = np.full(max(m.num_nodes, m.num_edges), -1, dtype=np.int64)
        for p, el in enumerate(elements_by_part(parts, nparts)):
            ld = local_dofs(m.glob_ids[el], edges, p, scratch)
            geo, cells = compact(m.cells[el], scratch)
            n_own = ld.counts[0][0]
            ends = nodes.index[m.edges[ld.ids[:n_own]]]
            hx = {}
            if self.preconditioner == "hx":
                hx = {"ends": np.searchsorted(geo, m.edges[ld.ids[:n_own]]),
                      "node_index": nodes.index[geo], "node_fixed": on_fixed[geo]}
            pieces.append({**hx,
                "regions": m.regions[el], "coords": m.nodes[geo], "cells": cells,
                "dofs": ld.cells, "orientations": m.orientations[el],
                "local": ld, "size": edges.size, "gradient": ends,
                "nodes": nodes.size,
                "vertices": m.nodes[node_members[nodes.starts[p]:nodes.starts[p + 1]]]})
        return pieces

    def _build(self, piece):
        PETSc = petsc()
        lt = self.light
        self.piece = piece
        self.size = int(piece["size"])
        ld = piece["local"]
        ld.cells = None                                # kept once, as piece["dofs"]
        self.regions = {}
        self._scale = 1.0
        for r in np.unique(piece["regions"]).tolist():
            sel = np.flatnonzero(piece["regions"] == r)
            self.regions[r] = element_arrays(piece["cells"], piece["dofs"],
                                             piece["orientations"], sel)
            self.regions[r]["Bs"] = None
        constant = [r for r in self.regions
                    if lt["materials"][r].get_type_spec() == 0]
        self.is_linear = all(m.get_type_spec() == 0 for m in lt["materials"].values())
        dofs = {r: a["glob_ids"].reshape(-1, self.num_el_dofs)
                for r, a in self.regions.items()}
        self.system = DistributedSystem(self.comm, ld, [self.size], self._region, dofs,
                                        constant, np.zeros(len(ld.ids) - sum(ld.counts[0])))
        # The discrete gradient over the owned free edges, in the nodes' global numbers.
        D = discrete_gradient(piece["gradient"], int(piece["nodes"]))
        D.sort_indices()
        nv = len(piece["vertices"])
        G = PETSc.Mat().createAIJ(
            ((D.shape[0], self.size), (nv, int(piece["nodes"]))),
            csr=(D.indptr.astype(PETSc.IntType), D.indices.astype(PETSc.IntType), D.data),
            comm=self.comm)
        G.assemble()
        self.gradient = G
        aux = self._auxiliary(piece, nv) if self.preconditioner == "hx" else None
        self.solver = PetscSolver(self.comm, preconditioner=self.preconditioner)
        self.solver.configure(VertexContext("edge", gradient=G, vertices=piece["vertices"],
                                            auxiliary=aux))

    def _auxiliary(self, piece, nv):
        """The Nédélec interpolations and the nodal Laplacian of the "hx" cycle."""
        from .hx import edge_interpolation, local_laplacian, nodal_laplacian, nodal_reluctance

        t0 = time.perf_counter()
        node_sizes = (nv, int(piece["nodes"]))
        Pi = edge_interpolation(self.comm, piece["coords"], piece["ends"],
                                piece["node_index"], piece["node_fixed"],
                                (len(piece["ends"]), self.size), node_sizes)
        self.setup_times["auxiliary"] = time.perf_counter() - t0
        how = petsc().Options().getString("fluxkern_hx_reluctance", "differential")
        if how not in ("initial", "secant", "differential"):
            raise ValueError(f"fluxkern_hx_reluctance: unknown {how!r} (initial, "
                             "secant or differential)")
        mats = self.light["materials"]
        varying = np.array([mats[r].get_type_spec() != 0 for r in piece["regions"]],
                           dtype=bool)
        state = {"fixed": None}

        def laplacian():
            # The constant regions' part is kept; the others follow the iterate.
            if state["fixed"] is not None and (self.is_linear or how == "initial"):
                return None
            t0 = time.perf_counter()
            cells = piece["cells"]
            with collective(self.comm, "the nodal Laplacian"):
                nu = nodal_reluctance(self._element_reluctance(how))
                if state["fixed"] is None:
                    state["fixed"] = local_laplacian(piece["coords"], cells[~varying],
                                                     nu[~varying])
                K = local_laplacian(piece["coords"], cells[varying], nu[varying],
                                    base=state["fixed"])
            L = nodal_laplacian(self.comm, K, piece["node_index"], piece["node_fixed"],
                                node_sizes)
            self.setup_times["nodal"] = (self.setup_times.get("nodal", 0.0)
                                         + time.perf_counter() - t0)
            return L

        return Pi, laplacian

    def _element_reluctance(self, how):
        """One reluctance (m/H) per element of this process: the material's at B = 0
        (``how="initial"``), or its secant (``"secant"``) or differential
        (``"differential"``) reluctance at the element's mean |B| of the last
        assembled iterate."""
        lt, sy = self.light, self.system
        regions = self.piece["regions"]
        nu = np.empty(len(regions))
        with sy.x.localForm() as lf:
            xl = np.concatenate([lf.getArray(readonly=True), sy.fixed_values])
        for r, arr in self.regions.items():
            sel = np.flatnonzero(regions == r)
            mat = lt["materials"][r]
            if how == "initial" or mat.get_type_spec() == 0 or not len(sel):
                nu[sel] = mat.evaluate_nu(np.zeros(1))[0]
                continue
            _, B = curl_at(self.piece["coords"], arr["cells"], arr["glob_ids"],
                           arr["orientations"], xl, lt["tables"], self.num_el_dofs)
            Bs = self._source_at(r)
            if len(Bs):
                B = B + self._scale * Bs
            b = np.linalg.norm(B, axis=1).reshape(len(sel), -1).mean(axis=1)
            nu[sel] = mat.evaluate_nu(b)
            if how == "differential":
                nu[sel] += b * mat.evaluate_dnu_dB(b)
        return nu

    def _source_at(self, r):
        arr, lt = self.regions[r], self.light
        if arr["Bs"] is None:
            t0 = time.perf_counter()
            arr["Bs"] = region_source(lt["source"], lt["materials"][r], lt["tables"],
                                      self.piece["coords"], arr["cells"], arr["glob_ids"],
                                      arr["orientations"], len(self.system.local.ids),
                                      self.num_el_dofs)
            self.times["source"] += time.perf_counter() - t0
        return arr["Bs"]

    def _region(self, r, x, scale):
        arr, lt = self.regions[r], self.light
        Bs = self._source_at(r)
        return curl_curl_system(self.piece["coords"], arr, lt["tables"], x,
                                Bs * scale if len(Bs) else Bs, lt["materials"][r],
                                self.num_el_dofs)

    def solve(self, source_scale: float = 1.0, x0=None, *, rtol: float = 1e-8,
              max_iter: int = 30, line_search: bool = True, log=None,
              gather: str = "root"):
        """Newton solve on all processes; returns a
        :class:`~fluxkern_tools.solvers.VectorPotentialSolution` on the root (on every
        process with ``gather="all"``, which needs the problem everywhere) and None
        elsewhere.

        Options as in :meth:`ReducedVectorPotential.solve`; ``x0`` (Wb per edge) is
        taken from the root; ``log`` is called on the root only.
        """
        self._check_gather(gather)
        s = self._scale = float(source_scale)
        members = self._members if self.rank == self.root else None
        starts = self._starts if self.rank == self.root else None
        x0_owned = self._scatter_owned(x0, members, starts,
                                       lambda: np.zeros(self.problem.num_dofs))

        def assemble(v):
            J, kx, rhs, _ = self.system.system(v, s)
            load = max(self.norm(rhs), self.norm(kx))
            return J, rhs - kx, float(load)

        x, report = self._newton(assemble, x0_owned, rtol=rtol, max_iter=max_iter,
                                 line_search=line_search, log=log, linear=self.is_linear)
        base = np.zeros(self.problem.num_dofs) if self.rank == self.root else None
        full = self._gather_full(x, members, base, gather)
        if full is None:
            return None
        return VectorPotentialSolution(self.problem, full, s, report)


class RefinedVectorPotential(DistributedVectorPotential):
    """The reduced vector potential on a coarse mesh refined in parallel: the coarse
    mesh is distributed with DMPlex and every process refines its own part ``levels``
    times (see :mod:`.plex`), so neither the fine mesh nor its partition is ever built
    on one process. Lowest-order edges, ungauged, solved as
    :class:`DistributedVectorPotential`.

    Parameters
    ----------
    mesh : :class:`~fluxkern_tools.meshes.Mesh` or a mesh file path (read with
        :func:`fluxkern_tools.meshes.read`), on the root; None allowed elsewhere.
    levels : int, uniform refinements (x 8 elements each; nodes on curved surfaces
        stay on the coarse facets).
    reluctances : ``{region id or name: material}`` as for
        :class:`~fluxkern_tools.solvers.ReducedVectorPotential`, on the root.
    source : the source field B_s (T): constant (3,) or a callable on points (P, 3; m).
        Taken from the root (pickled) unless every process passes one.
    dirichlet : the part of the boundary with A x n = 0: None (all), surface name(s)
        or a predicate on face centroids (m), applied to the fine faces.
    comm, root : the communicator (default ``MPI.COMM_WORLD``) and the root rank.

    Raises
    ------
    ValueError
        for a missing mesh on the root, a region without a material, or a source that
        cannot be sent; NotImplementedError for permanent magnets. Collective: raised on
        every process (:class:`~.comm.RankError` off the root).
    """

    def __init__(self, mesh, levels: int, reluctances, source, *, dirichlet=None,
                 comm=None, root: int = 0):
        from ...fem import quadrature
        from ...fem.kernels import edge_tables
        from . import plex

        # The refined pieces carry no nodal numbering of the "hx" cycle yet: hypre's AMS.
        self.preconditioner = "hypre-ams"
        lt = self._start_refined(mesh, levels, reluctances, "reluctance", source, comm,
                                 root)
        q, w = quadrature.tetrahedron(2)
        self.light = {"materials": lt["materials"], "tables": edge_tables(q, w, 1),
                      "source": lt["field"]}
        t0 = time.perf_counter()
        piece = plex.edge_piece(self.mesh, dirichlet)
        self.mesh.release()                  # the DMPlex's topology is no longer needed
        self.setup_times["number"] += time.perf_counter() - t0
        self._build(piece)

    def solve(self, source_scale: float = 1.0, *, rtol: float = 1e-8, max_iter: int = 30,
              line_search: bool = True, log=None):
        """Newton solve on all processes from A = 0 (options as
        :meth:`DistributedVectorPotential.solve`); returns ``(x, report)`` on every
        process: this process's owned unknowns (Wb per edge, in global-number order)
        and the Newton report. The solution is not gathered."""
        s = float(source_scale)

        def assemble(v):
            J, kx, rhs, _ = self.system.system(v, s)
            return J, rhs - kx, float(max(self.norm(rhs), self.norm(kx)))

        self._scale = s
        return self._newton(assemble, np.zeros(self.system.n_owned), rtol=rtol,
                            max_iter=max_iter, line_search=line_search, log=log,
                            linear=self.is_linear)

    def mean_B(self, x, region) -> np.ndarray:
        """Volume mean (3,) of the total flux density B = B_s + curl A (T) over
        ``region`` (an id) at the owned unknowns ``x`` from :meth:`solve`. Collective;
        ValueError (on every process) for a region without elements."""
        from ...fem.kernels import edge_tables
        from ..sources import source_field

        xl = self.system.local_iterate(x)
        acc = np.zeros(4)
        if region in self.regions:
            arr = self.regions[region]
            t = edge_tables(np.full((1, 3), 0.25), np.ones(1), 1)
            pts, B = curl_at(self.piece["coords"], arr["cells"], arr["glob_ids"],
                             arr["orientations"], xl, t, self.num_el_dofs)
            B = B + getattr(self, "_scale", 1.0) * source_field(self.light["source"], pts)
            P = self.piece["coords"][arr["cells"].reshape(-1, 4)]
            d = P[:, 1:] - P[:, :1]
            vol = np.einsum("ij,ij->i", d[:, 0], np.cross(d[:, 1], d[:, 2])) / 6.0
            acc = np.concatenate([(B * vol[:, None]).sum(axis=0), [vol.sum()]])
        tot = np.array(self.comm.allreduce(acc))
        if not tot[3] > 0:                     # the same on every process
            raise ValueError(f"no elements in region {region!r}")
        return tot[:3] / tot[3]
