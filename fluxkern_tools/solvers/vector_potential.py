"""Nonlinear reduced magnetic vector potential on edge elements of degree 1 or 2.

The flux density is B = B_s + curl(A): B_s is the source field of the coils (Biot-Savart,
or a given field such as a uniform one) and A the reaction potential, with one
coefficient per mesh edge for degree 1 (its line integral along the edge, in Wb) and
the moments of :mod:`fluxkern_tools.hcurl` for degree 2. With H_s = nu0 B_s the weak
form is

    int nu(|B|) (B_s + curl A) . curl(w) = int nu0 B_s . curl(w)   for every edge function w,

that is K(x) x = rhs(x) with rhs = int (nu0 - nu) B_s . curl(w): the compiled curl-curl
kernel returns K, the Newton term dK and this rhs in one pass. In vacuum nu = nu0, so
air contributes to K only and no reaction field arises without magnetic material.

A x n = 0 holds on the Dirichlet part of the boundary (B . n of the reaction field is
0: a flux wall far away, or a symmetry plane the field runs along); elsewhere the
natural condition n x (H - H_s) = 0 holds (a symmetry plane the field crosses). The
kernel of curl is removed by a tree gauge (:mod:`.gauge`). Degree 2 has a hierarchical
basis whose edge gradient functions are curl-free one by one; they are held at zero in
every solve (curl-curl matrices have zero rows there), so the tree on the lowest-order
functions gauges the rest, and the iterative path sees the same kind of singular
system as for degree 1.
"""

from __future__ import annotations

import time
import weakref
from dataclasses import dataclass
from functools import cached_property

import numpy as np
import scipy.sparse as sp

from ..fem import quadrature
from ..fem.kernels import EdgeTables, curl_at, curl_curl_system, edge_tables
from ..fem.operators import discrete_gradient, nedelec_interpolation, tree_gauge
from ..fem.spaces import EdgeSpace
from ..meshes import Mesh
from ._common import curve_fault, dirichlet_part, dof_vector, material_table
from ._post import PostProcessing
from .assembly import RegionSum
from ..materials import magnet_table
from .linear import CallableSolver, LinearContext
from .linear_backends import choose_linear_solver
from .magnets import edge_rhs
from .newton import NewtonReport, check_newton_options, newton, report_convergence
from .sources import region_source, source_field

__all__ = ["ReducedVectorPotential", "VectorPotentialSolution",
           "solve_reduced_vector_potential", "EdgeTables", "edge_tables"]

class ReducedVectorPotential:
    """A reduced vector-potential problem: mesh, reluctances, source and boundary.

    Parameters
    ----------
    mesh : :class:`~fluxkern_tools.meshes.Mesh`
    reluctances : dict ``{region: reluctance}`` (module protocol, nu in m/H) or
        ``Material`` objects, whose ``reluctance()`` is used. A
        :func:`~fluxkern_tools.materials.permanent_magnet` adds int nu Br . curl(w)
        to the right-hand side (:mod:`.magnets`), independent of ``source_scale``.
    source : the source field B_s, see :func:`.sources.source_field`: coil(s), a
        uniform 3-vector in T, a callable on points, or None (magnets alone).
    dirichlet : None (the whole boundary), a predicate on boundary-face centroids
        selecting where A x n = 0 holds, or physical surface name(s).
    quad_degree : quadrature degree (default 2 for degree 1, where B_s varies inside
        an element; for degree 2, whose curls are linear, the 14-point rule of degree
        5: on the saturating steel sphere it moves the field by 0.3 % of the error of
        the 4-point rule, for a tenth more assembly time).
    gauge : None (default) removes the kernel of curl by a tree gauge where the linear
        solver needs it (the direct one) and leaves the system ungauged for CG, which
        converges on the consistent singular system; True always gauges; False never
        (a direct solver then refuses).
    degree : 1 (lowest-order edge elements, B constant per element) or 2
        (second-order, B linear per element; about 4x the unknowns on the same mesh).

    The source field is evaluated once, for ``source_scale`` 1, at the physical
    quadrature points that ``compute_B_Hcurl`` returns, in the regions whose
    reluctance is not the vacuum constant (vacuum regions need no source field), at
    the first assembly; ``times["source"]`` keeps the seconds it took.
    """

    num_el_dofs = 6

    def __init__(self, mesh: Mesh, reluctances, source, *, dirichlet=None,
                 quad_degree: int | None = None, gauge: bool | None = None,
                 degree: int = 1):
        self.mesh, self.source = mesh, source
        self.gauge = None if gauge is None else bool(gauge)
        self.materials = material_table(mesh, reluctances, "reluctance")
        self.magnets = magnet_table(mesh, reluctances)
        self._magnet_rhs = None
        self.space = EdgeSpace(mesh, degree)
        self.degree, self.num_el_dofs = self.space.degree, self.space.num_el_dofs
        if quad_degree is None and degree == 2:
            q, w = quadrature.tetrahedron14()
        else:
            q, w = quadrature.tetrahedron(2 if quad_degree is None else quad_degree)
        self.tables = edge_tables(q, w, degree)
        # Vacuum regions have a constant nu0 and no source term, and the curls of edge
        # functions of degree 2 are linear, so the degree-2 rule (4 points) integrates
        # their matrix exactly: 3.5x fewer points on the air.
        self._vacuum_tables = (edge_tables(*quadrature.tetrahedron(2), degree)
                               if quad_degree is None and degree == 2 else self.tables)
        _, fixed = dirichlet_part(mesh, dirichlet)
        self.fixed_edges = np.asarray(fixed, dtype=np.int64)
        self.fixed_dofs = self.space.boundary_dofs(
            self.fixed_edges, mesh.boundary_triangles(dirichlet) if degree > 1 else None)
        mask = np.ones(self.num_dofs, dtype=bool)
        mask[self.fixed_dofs] = False
        mask[self.space.gradient_dofs] = False
        self.unfixed = np.flatnonzero(mask)   # off A x n = 0 and no edge gradient function
        self.times = {"source": 0.0}
        self._parts = None
        self._tree = None
        self._projector = None
        self._backends = {}
        constant = [r for r, m in self.materials.items() if m.get_type_spec() == 0]
        self._sum = RegionSum(self.num_dofs, self._region, list(self.materials), constant,
                              dofs=self._element_dofs)

    @property
    def num_dofs(self) -> int:
        """Number of unknowns (degree 1: all mesh edges)."""
        return self.space.num_dofs

    @property
    def tree_edges(self) -> np.ndarray:
        """Edges of the tree gauge (empty with ``gauge=False``)."""
        if self._tree is None:
            self._tree = (np.zeros(0, np.int32) if self.gauge is False else
                          tree_gauge(self.mesh.edges, self.mesh.num_nodes, self.fixed_edges))
        return self._tree

    @cached_property
    def free(self) -> np.ndarray:
        """The Newton unknowns of the gauged system: those off the Dirichlet part and
        off the tree (all of :attr:`unfixed` with ``gauge=False``)."""
        mask = np.zeros(self.num_dofs, dtype=bool)
        mask[self.unfixed] = True
        mask[self.tree_edges] = False
        return np.flatnonzero(mask)

    @property
    def is_linear(self) -> bool:
        """True when every reluctance is constant."""
        return not self._sum.varying

    def linear_backend(self, linear_solver="auto", solve=None):
        """The configured linear-solver backend and the unknowns it solves for.

        Returns ``(backend, free)``: ``free`` is :attr:`unfixed` when the system stays
        ungauged (a backend that handles it, and ``gauge`` not True), else
        :attr:`free`. Backends chosen by name are kept across solves.
        """
        backend = choose_linear_solver(linear_solver, solve, "edge", len(self.unfixed))
        if isinstance(linear_solver, str) and solve is None:
            backend = self._backends.setdefault(backend.name, backend)
        if self.gauge is None:
            ungauged = backend.handles_singular
        else:
            ungauged = not self.gauge
            if ungauged and backend.exact and not isinstance(backend, CallableSolver):
                # A direct solver does not notice the singularity reliably (rounding
                # leaves tiny pivots) and would return a meaningless potential.
                raise ValueError("without the gauge the system is singular: use the "
                                 "iterative linear solver or pass a solve that handles it")
        free = self.unfixed if ungauged else self.free
        key = (weakref.ref(self), ungauged)
        if backend.configured_for != key:
            backend.configure(self._context(free, ungauged))
            backend.configured_for = key
        return backend, free

    def _context(self, free, ungauged: bool = False) -> LinearContext:
        m = self.mesh

        def interpolation():
            Pi = (nedelec_interpolation(m.nodes, m.edges) if self.degree == 1
                  else self.space.nodal_interpolation())
            return tuple(P[free] for P in Pi)

        G = self._gradients(free)
        # Degree 2 keeps the nodal vector fields of degree 1 as its auxiliary space
        # (they miss the quadratic part), so its smoother has more to do: two sweeps
        # halve the CG iterations (20 instead of 40 on the steel cube, flat from 15k to
        # 120k unknowns) and the time per solve falls by a fifth.
        sweeps = 1 if self.degree == 1 else 2
        return LinearContext("edge", None, G, interpolation, sweeps,
                             kernel=G if ungauged else None)

    def _gradients(self, free) -> sp.csr_matrix:
        """Discrete gradient restricted to the ``free`` unknowns and the nodes whose
        gradients lie in the restricted space; on :attr:`unfixed` its range is the
        kernel of curl."""
        m = self.mesh
        # Nodal values on a node with a fixed edge do not give a gradient of the
        # restricted space; the remaining nodes' gradients are the kernel of curl.
        loose = np.ones(m.num_nodes, dtype=bool)
        loose[m.edges[self.fixed_edges].reshape(-1)] = False
        G = discrete_gradient(m.edges, m.num_nodes)
        if self.degree > 1:
            # The lowest-order gradients are the whole kernel once the edge gradient
            # functions are held (see the module notes).
            G = sp.vstack([G, sp.csr_matrix((self.num_dofs - m.num_edges, m.num_nodes))])
        return sp.csr_matrix(G)[free][:, np.flatnonzero(loose)]

    def without_gradients(self, x) -> np.ndarray:
        """The edge solution ``x`` (Wb) less its component along the gradients of the
        free nodes (the kernel of curl): the same field curl(A), with the potential
        that no tree or Krylov solve chose. Results read from A itself (line integrals
        along coils) then do not depend on how the system was gauged."""
        from .iterative import _KernelProjector

        x = dof_vector(x, self.num_dofs)
        if self._projector is None:
            self._projector = _KernelProjector(self._gradients(self.unfixed))
        out = x.copy()
        out[self.unfixed] = self._projector.project(x[self.unfixed])
        return out

    def _source_parts(self):
        """Per region: ``{region: (reluctance, flat arrays, B_s at the quadrature points)}``."""
        if self._parts is not None:
            return self._parts
        t0 = time.perf_counter()
        parts = {}
        for r, rel in self.materials.items():
            arr = self.space.region_arrays(r)
            Bs = region_source(self.source, rel, self.tables, self.mesh.nodes, arr["cells"],
                               arr["glob_ids"], arr["orientations"], self.num_dofs,
                               self.num_el_dofs)
            if not np.all(np.isfinite(Bs)):
                raise ValueError(f"the source field is not finite in region {r}")
            parts[r] = (rel, arr, Bs)
        self._parts = parts
        self.times["source"] += time.perf_counter() - t0
        return parts

    def magnet_rhs(self) -> np.ndarray:
        """int nu Br . curl(w) over the magnets (A), one entry per unknown; computed once."""
        if self._magnet_rhs is None:
            self._magnet_rhs = edge_rhs(self)
        return self._magnet_rhs

    def matrices(self, x, source_scale: float = 1.0):
        """``(K, dK, rhs)`` summed over the regions at the edge solution ``x`` (Wb).

        K and dK in 1/H (scipy sparse, order ``num_dofs``), rhs in A; the source field
        is multiplied by ``source_scale`` (e.g. a coil current relative to the one the
        source was built with), the magnets' term is not.
        """
        x = dof_vector(x, self.num_dofs)
        K = dK = None
        rhs = np.zeros(self.num_dofs)
        for r in self.materials:
            Kr, dKr, rr = self._region(r, x, source_scale)
            K = Kr if K is None else K + Kr
            dK = dKr if dK is None else dK + dKr
            rhs += rr
        if self.magnets:
            rhs += self.magnet_rhs()
        return sp.csr_array(K), sp.csr_array(dK), rhs

    def _element_dofs(self, r) -> np.ndarray:
        return self._source_parts()[r][1]["glob_ids"].reshape(-1, self.num_el_dofs)

    def _region(self, r, x, source_scale, merged=True):
        rel, arr, Bs = self._source_parts()[r]
        tables = self.tables if len(Bs) else self._vacuum_tables     # no source: vacuum
        return curl_curl_system(self.mesh.nodes, arr, tables, x,
                                Bs * source_scale if len(Bs) else Bs, rel,
                                self.num_el_dofs, merged=merged)

    def material_trouble(self, x, source_scale: float = 1.0) -> str | None:
        """What is wrong with the material state at the edge solution ``x`` (Wb), or
        None: a region where nu(|B|) or dH/dB = nu + |B| dnu/dB is not finite and
        positive at some quadrature point (the curve is outside its fitted range there,
        and the Newton matrix is no longer positive definite)."""
        sol = VectorPotentialSolution(self, dof_vector(x, self.num_dofs), source_scale, None)
        for r, rel in self.materials.items():
            el = np.flatnonzero(self.mesh.regions == r)
            if len(el) == 0 or rel.get_type_spec() == 0:
                continue
            _, B = sol.B(self.tables.q, el)
            fault = curve_fault(r, rel, np.linalg.norm(B, axis=1), "reluctance")
            if fault:
                return fault
        return None

    def solve(self, source_scale: float = 1.0, x0=None, *, rtol: float = 1e-8,
              max_iter: int = 30, line_search: bool = True, log=None,
              linear_solver="auto", solve=None, check: bool = False):
        """Newton solve; returns a :class:`VectorPotentialSolution`.

        ``source_scale`` multiplies the source field (e.g. the coil current in A when
        the source was built for 1 A). ``x0`` (Wb, one per unknown, e.g. from
        ``problem.space.interpolate``) defaults to 0 (the source field alone); its
        fixed entries (and tree entries, when gauged) are set to 0. ``log`` receives each line of the convergence table.
        ``linear_solver``: ``"auto"`` (sparse LU on the gauged system up to
        ``linear.AUTO_ITERATIVE_ABOVE["edge"]`` unknowns, CG with the auxiliary-space
        Maxwell preconditioner on the ungauged one above), ``"direct"``, ``"iterative"``
        or a :class:`~.linear.LinearSolver`; ``solve``, a callable ``solve(A, b) -> x``
        on the free unknowns, replaces it (it gets the gauged system unless
        ``gauge=False``).

        ``rtol`` (finite, > 0) is the Newton stopping test relative to the load scale,
        ``max_iter`` (an integer >= 0) the most Newton steps. A solve that does not
        converge returns its last iterate (``report.converged`` False) with a
        RuntimeWarning naming the residual reached; with ``check=True`` it raises
        :class:`~.newton.ConvergenceError` (carrying the solution and report) instead.

        Raises
        ------
        ValueError
            a non-finite ``source_scale`` or source field, a bad ``rtol`` or
            ``max_iter``, or ``x0`` of the wrong size.
        LinearSolveError
            a linear solve failed (naming the region whose curve left its range where
            that is the cause).
        ConvergenceError
            with ``check=True``, when Newton does not converge.
        """
        s = float(source_scale)
        if not np.isfinite(s):
            raise ValueError(f"source_scale must be finite, got {source_scale!r}")
        check_newton_options(rtol, max_iter)
        x = np.zeros(self.num_dofs) if x0 is None else np.array(x0, np.float64).reshape(-1)
        if x.shape != (self.num_dofs,):
            raise ValueError(f"x0 must have {self.num_dofs} entries")
        backend, free = self.linear_backend(linear_solver, solve)
        fixed = np.ones(self.num_dofs, dtype=bool)
        fixed[free] = False
        x[fixed] = 0.0
        u = self.unfixed
        magnet_rhs = self.magnet_rhs() if self.magnets else None

        def assemble(v):
            J, Kx, rhs = self._sum.system(dof_vector(v, self.num_dofs), s, free)
            if magnet_rhs is not None:
                rhs = rhs + magnet_rhs
            load = max(np.linalg.norm(rhs[u]), np.linalg.norm(Kx[u]))
            return J, rhs - Kx, float(load)

        x, report = newton(assemble, x, free, rtol=rtol, max_iter=max_iter,
                           line_search=line_search, log=log, linear_solver=backend,
                           linear=self.is_linear, phase_times=self.times,
                           diagnose=lambda v: self.material_trouble(v, s))
        return report_convergence(VectorPotentialSolution(self, x, s, report), check)


def solve_reduced_vector_potential(mesh: Mesh, reluctances, source, *, dirichlet=None,
                                   quad_degree: int | None = None, gauge: bool | None = None,
                                   degree: int = 1, **solve_options):
    """Build a :class:`ReducedVectorPotential` and solve it (options as in its ``solve``)."""
    return ReducedVectorPotential(mesh, reluctances, source, dirichlet=dirichlet,
                                  quad_degree=quad_degree, gauge=gauge,
                                  degree=degree).solve(**solve_options)


@dataclass
class VectorPotentialSolution(PostProcessing):
    """Result of a reduced vector-potential solve.

    ``x``: coefficients of the reaction potential in Wb; ``source_scale``: the
    factor applied to the source field; ``report``: the Newton history.
    """

    problem: ReducedVectorPotential
    x: np.ndarray
    source_scale: float
    report: NewtonReport

    def reaction_B(self, ref_points=None, elements=None):
        """Reaction field curl(A) in T at reference points of the elements.

        ``ref_points`` (M, 3) on the reference tetrahedron (default: the centroid);
        ``elements`` an optional index array. Returns ``(points, B)``, both (E * M, 3),
        element-major; points in m. Evaluated by ``compute_B_Hcurl``.
        """
        pb, m = self.problem, self.problem.mesh
        t = edge_tables(np.full((1, 3), 0.25) if ref_points is None else ref_points,
                        degree=pb.degree)
        idx = np.arange(m.num_el) if elements is None else np.asarray(elements)
        cells = np.ascontiguousarray(m.cells[idx]).reshape(-1)
        gids = np.ascontiguousarray(pb.space.glob_ids[idx]).reshape(-1)
        orient = np.ascontiguousarray(pb.space.orientations[idx])
        return curl_at(m.nodes, cells, gids, orient, self.x, t, pb.num_el_dofs)

    def reaction_B_in(self, elements, bary) -> np.ndarray:
        """Reaction field curl(A) in T (P, 3) at points given by their elements (P,)
        and barycentric coordinates (P, 4), each point in its own element. Evaluated by
        ``compute_B_Hcurl``, with every point as an element of its own whose class
        holds the reference curls at that point."""
        pb, m = self.problem, self.problem.mesh
        el = np.asarray(elements, dtype=np.int64).reshape(-1)
        bary = np.asarray(bary, dtype=np.float64).reshape(-1, 4)
        if len(el) == 0:
            return np.zeros((0, 3))
        t = edge_tables(np.full((1, 3), 0.25), degree=pb.degree)   # affine: any point
        _, B = curl_at(m.nodes, np.ascontiguousarray(m.cells[el]).reshape(-1),
                       np.ascontiguousarray(pb.space.glob_ids[el]).reshape(-1),
                       np.arange(len(el), dtype=np.int32), self.x, t, pb.num_el_dofs,
                       curls=pb.space.point_curls(el, bary))
        return B

    def B(self, ref_points=None, elements=None):
        """Total flux density B = B_s + curl(A) in T; arguments as :meth:`reaction_B`.

        Returns ``(points, B)``, both (E * M, 3).
        """
        pts, Br = self.reaction_B(ref_points, elements)
        return pts, Br + self.source_scale * source_field(self.problem.source, pts)

    def source_B(self, points) -> np.ndarray:
        """The (scaled) source field in T at arbitrary ``points`` (P, 3; m)."""
        return self.source_scale * source_field(self.problem.source, points)

    def A_at(self, points, *, outside: str = "nan") -> np.ndarray:
        """Reaction vector potential in Wb/m at points (P, 3; m); see
        :func:`fluxkern_tools.post.fields.A_at`."""
        from ..post.fields import A_at
        return A_at(self, points, outside=outside)

    def flux_linkage(self, coil=None, **kw) -> float:
        """Flux linkage in Wb of a coil; see :func:`fluxkern_tools.post.results.flux_linkage`."""
        from ..post.results import flux_linkage
        return flux_linkage(self, coil, **kw)

    def coil_force(self, coil=None, origin=(0.0, 0.0, 0.0), **kw):
        """Force (N) and torque (N m) on the source coils (or one of them) in the
        reaction field and the other coils' fields; see
        :func:`fluxkern_tools.post.coil_force.coil_force`."""
        from ..post.coil_force import coil_force
        return coil_force(self, coil, origin, **kw)

    def inductance(self, coil=None, **kw):
        """Apparent and incremental inductance in H of the source coils (ValueError for
        another coil); see :func:`fluxkern_tools.post.results.inductance`."""
        from ..post.results import inductance
        return inductance(self, coil, **kw)

    def mutual_inductance(self, coil, **kw) -> float:
        """Flux linkage of ``coil`` per ampere of the source current, in H; see
        :func:`fluxkern_tools.post.results.mutual_inductance`."""
        from ..post.results import mutual_inductance
        return mutual_inductance(self, coil, **kw)
