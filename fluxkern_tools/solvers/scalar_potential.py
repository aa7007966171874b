"""Nonlinear total magnetic scalar potential on Lagrange tetrahedra (P1 or P2).

The field strength is H = -grad(phi) (phi in A, H in A/m) and div(mu(|H|) H) = 0 holds
in a domain without currents. The compiled kernel assembles, per region and at the
current nodal solution x, K_ab = int mu grad(phi_a) . grad(phi_b) and the Newton term
dK (K + dK is the derivative of K(x) x); the sign of H does not enter either, since mu
depends on |H| only. The residual is r = -K(x) x on the free nodes; phi is prescribed
on the Dirichlet part of the boundary, and the rest of the boundary keeps the natural
condition B . n = 0 (a symmetry plane parallel to the field, or a flux wall).
"""

from __future__ import annotations

import weakref
from dataclasses import dataclass

import numpy as np
import scipy.sparse as sp

from ..fem import elements as ref_elements, quadrature
from ..fem.kernels import nodal_system
from ..fem.spaces import NodalSpace
from ..meshes import Mesh
from ._common import curve_fault, dirichlet_part, dof_vector, material_table
from ._post import PostProcessing
from .assembly import RegionSum
from ..materials import magnet_table, remanence_in
from .linear import LinearContext
from .linear_backends import choose_linear_solver
from .magnets import scalar_potential_rhs
from .newton import NewtonReport, check_newton_options, newton, report_convergence

__all__ = ["ScalarPotential", "ScalarPotentialSolution", "solve_scalar_potential",
           "uniform_field_potential"]


def uniform_field_potential(H0):
    """The potential phi(x) = -H0 . x (A) of the uniform field ``H0`` (3-vector, A/m).

    Returns a callable mapping (P, 3) points in m to (P,) potentials in A. Raises
    ValueError when ``H0`` is not three finite numbers.
    """
    h = np.asarray(H0, dtype=np.float64).reshape(3)
    if not np.all(np.isfinite(h)):
        raise ValueError(f"the applied field H0 must be finite, got {h.tolist()}")
    return lambda p: -(np.asarray(p, dtype=np.float64).reshape(-1, 3) @ h)


class ScalarPotential:
    """A scalar-potential problem: mesh, materials and Dirichlet data.

    Parameters
    ----------
    mesh : :class:`~fluxkern_tools.meshes.Mesh`
    permeabilities : dict ``{region: permeability}``; the objects follow the module's
        permeability protocol (:mod:`fluxkern_tools.materials`), or are ``Material``
        objects whose ``permeability()`` is used. mu in H/m. A
        :func:`~fluxkern_tools.materials.permanent_magnet` adds its remanence:
        int mu grad(phi) . grad(v) = int Br . grad(v) (:mod:`.magnets`).
    potential : callable on (P, 3) points in m returning phi in A, or a 3-vector H0
        (A/m) for the applied uniform field, phi = -H0 . x. It gives the Dirichlet
        values and the initial iterate.
    dirichlet : None (the whole boundary), a predicate on boundary-face centroids
        selecting the faces where phi is prescribed, or physical surface name(s).
    degree : 1 or 2, the Lagrange degree.
    quad_degree : degree of the quadrature rule (default 1 for P1, 2 for P2; mu depends
        on the field, which is constant per element for P1).
    """

    def __init__(self, mesh: Mesh, permeabilities, potential, *, dirichlet=None,
                 degree: int = 1, quad_degree: int | None = None):
        self.space = NodalSpace(mesh, degree)
        self.mesh, self.degree = mesh, degree
        self.materials = material_table(mesh, permeabilities, "permeability")
        self.magnets = magnet_table(mesh, permeabilities)
        self._magnet_rhs = None
        self.potential = potential if callable(potential) else uniform_field_potential(potential)
        self.nodes, self.cells = self.space.nodes, self.space.cells
        qd = (1 if degree == 1 else 2) if quad_degree is None else int(quad_degree)
        self.q, self.w = quadrature.tetrahedron(qd)
        self.d_phi = ref_elements.lagrange(degree, self.q)[1]
        bn, be = dirichlet_part(mesh, dirichlet)
        self.fixed = self.space.boundary_dofs(bn, be)
        mask = np.ones(len(self.nodes), dtype=bool)
        mask[self.fixed] = False
        self.free = np.flatnonzero(mask)
        self._regions = {r: self.space.region_cells(r) for r in self.materials}
        self._backends = {}
        constant = [r for r, m in self.materials.items() if m.get_type_spec() == 0]
        k = self.d_phi.shape[1]
        self._sum = RegionSum(len(self.nodes), self._region, list(self._regions), constant,
                              dofs=lambda r: self._regions[r].reshape(-1, k))

    @property
    def is_linear(self) -> bool:
        """True when every material has a constant permeability."""
        return not self._sum.varying

    def linear_backend(self, linear_solver="auto", solve=None):
        """The configured linear-solver backend that :meth:`solve` uses (see there).

        Backends chosen by name are kept, so repeated solves reuse what they can (the
        direct solver's fill-reducing order).
        """
        backend = choose_linear_solver(linear_solver, solve, "nodal", len(self.free))
        if isinstance(linear_solver, str) and solve is None:
            backend = self._backends.setdefault(backend.name, backend)
        key = weakref.ref(self)
        if backend.configured_for != key:
            backend.configure(LinearContext("nodal"))
            backend.configured_for = key
        return backend

    @property
    def num_dofs(self) -> int:
        """Number of nodal unknowns (mesh nodes, plus edge midpoints for P2)."""
        return len(self.nodes)

    def matrices(self, x):
        """``(K, dK)`` summed over the regions at the nodal solution ``x`` (A).

        K in H (H/m times m), as scipy sparse matrices of order ``num_dofs``.
        """
        x = dof_vector(x, self.num_dofs)
        K = dK = None
        for r in self._regions:
            Kr, dKr, _ = self._region(r, x, 1.0)
            K = Kr if K is None else K + Kr
            dK = dKr if dK is None else dK + dKr
        return sp.csr_array(K), sp.csr_array(dK)

    def _region(self, r, x, _scale, merged=True):
        return nodal_system(self.nodes, self._regions[r], self.d_phi, x, self.materials[r],
                            self.q, self.w, merged=merged)

    def magnet_rhs(self) -> np.ndarray:
        """int Br . grad(v) over the magnets (Wb), one entry per unknown; computed once."""
        if self._magnet_rhs is None:
            self._magnet_rhs = scalar_potential_rhs(self.mesh, self.cells, self.degree,
                                                    self.magnets, self.num_dofs)
        return self._magnet_rhs

    def _assemble(self, x):
        J, Kx, _ = self._sum.system(dof_vector(x, self.num_dofs), 1.0, self.free)
        # Load scale: the flux through the free nodes plus the reaction at the fixed
        # ones, which is what the prescribed potential drives, or the magnets' flux.
        if not self.magnets:
            return J, -Kx, float(np.linalg.norm(Kx))
        f = self.magnet_rhs()
        return J, f - Kx, float(max(np.linalg.norm(Kx), np.linalg.norm(f)))

    def material_trouble(self, x) -> str | None:
        """What is wrong with the material state at the nodal solution ``x`` (A), or
        None: a region where mu(|H|) or dB/dH = mu + |H| dmu/dH is not finite and
        positive at some quadrature point (the curve is outside its fitted range there,
        and the Newton matrix is no longer positive definite)."""
        sol = ScalarPotentialSolution(self, dof_vector(x, self.num_dofs), None)
        _, H = sol.H(self.q)
        Hm = np.linalg.norm(H, axis=1)
        reg = np.repeat(self.mesh.regions, len(self.q))
        for r, perm in self.materials.items():
            fault = curve_fault(r, perm, Hm[reg == r], "permeability")
            if fault:
                return fault
        return None

    def prescribed(self) -> np.ndarray:
        """The potential (A) given by ``potential`` at every unknown's node."""
        g = np.asarray(self.potential(self.nodes), dtype=np.float64).reshape(-1)
        if g.shape != (self.num_dofs,):
            raise ValueError("the potential callable must return one value per point")
        if not np.all(np.isfinite(g)):
            raise ValueError("the potential callable returned non-finite values at "
                             f"{int(np.count_nonzero(~np.isfinite(g)))} point(s)")
        return g

    def solve(self, x0=None, *, rtol: float = 1e-10, max_iter: int = 30,
              line_search: bool = True, log=None, linear_solver="auto", solve=None,
              check: bool = False):
        """Newton solve; returns a :class:`ScalarPotentialSolution`.

        ``x0`` (A, one value per unknown) defaults to the prescribed potential at every
        node; its Dirichlet entries are replaced by the prescribed values. ``log``
        receives each line of the convergence table (e.g. ``print``).
        ``linear_solver``: ``"auto"`` (sparse LU up to
        ``linear.AUTO_ITERATIVE_ABOVE["nodal"]`` unknowns, CG with smoothed-aggregation
        multigrid above), ``"direct"``, ``"iterative"`` or a
        :class:`~.linear.LinearSolver`; ``solve``, a callable ``solve(A, b) -> x`` on the
        free unknowns, replaces it.

        ``rtol`` (finite, > 0) is the Newton stopping test relative to the load scale,
        ``max_iter`` (an integer >= 0) the most Newton steps. A solve that does not
        converge returns its last iterate (``report.converged`` False) with a
        RuntimeWarning naming the residual reached; with ``check=True`` it raises
        :class:`~.newton.ConvergenceError` (carrying the solution and report) instead.

        Raises
        ------
        ValueError
            non-finite prescribed potentials, a bad ``rtol`` or ``max_iter``, ``x0``
            of the wrong size, or a solution at which a permeability curve is outside
            its fitted range (mu or dB/dH not positive).
        LinearSolveError
            a linear solve failed (naming the region whose curve left its range where
            that is the cause).
        ConvergenceError
            with ``check=True``, when Newton does not converge.
        """
        check_newton_options(rtol, max_iter)
        g = self.prescribed()
        x = g.copy() if x0 is None else np.array(x0, dtype=np.float64).reshape(-1)
        if x.shape != (self.num_dofs,):
            raise ValueError(f"x0 must have {self.num_dofs} entries")
        x[self.fixed] = g[self.fixed]
        backend = self.linear_backend(linear_solver, solve)
        x, report = newton(self._assemble, x, self.free, rtol=rtol, max_iter=max_iter,
                           line_search=line_search, log=log, linear_solver=backend,
                           linear=self.is_linear, diagnose=self.material_trouble)
        # A curve outside its range can still give a consistent singular system that
        # CG "solves" (mu = 0 leaves the potential inside the region undetermined).
        why = None if self.is_linear else self.material_trouble(x)
        if why:
            raise ValueError(why)
        return report_convergence(ScalarPotentialSolution(self, x, report), check)


def solve_scalar_potential(mesh: Mesh, permeabilities, potential, *, dirichlet=None,
                           degree: int = 1, quad_degree: int | None = None, **solve_options):
    """Build a :class:`ScalarPotential` and solve it (options as in its ``solve``)."""
    return ScalarPotential(mesh, permeabilities, potential, dirichlet=dirichlet,
                           degree=degree, quad_degree=quad_degree).solve(**solve_options)


@dataclass
class ScalarPotentialSolution(PostProcessing):
    """Result of a scalar-potential solve.

    ``phi``: nodal potential in A (mesh nodes, then edge midpoints for P2); ``report``:
    the Newton history.
    """

    problem: ScalarPotential
    phi: np.ndarray
    report: NewtonReport

    def H(self, ref_points=None, elements=None):
        """Field strength H = -grad(phi) in A/m at reference points of the elements.

        ``ref_points`` (M, 3) on the reference tetrahedron (default: the centroid);
        ``elements`` an optional index array of elements. Returns ``(points, H)``, both
        (E * M, 3), element-major like the module's results; points in m.
        """
        pb = self.problem
        p = np.full((1, 3), 0.25) if ref_points is None else np.asarray(ref_points, float)
        p = p.reshape(-1, 3)
        idx = np.arange(pb.mesh.num_el) if elements is None else np.asarray(elements)
        _, d_phi = ref_elements.lagrange(pb.degree, p)
        Jinv = np.linalg.inv(pb.mesh.jacobians(idx))          # geometry is affine
        g_ref = np.einsum("ea,mal->eml", self.phi[pb.cells[idx]], d_phi)
        H = -np.einsum("elk,eml->emk", Jinv, g_ref)              # -J^{-T} grad_ref
        return pb.mesh.map_points(p)[idx].reshape(-1, 3), H.reshape(-1, 3)

    def B(self, ref_points=None, elements=None):
        """Flux density B = mu(|H|) H in T at reference points (plus Br in magnets);
        see :meth:`H`."""
        pb = self.problem
        pts, H = self.H(ref_points, elements)
        idx = np.arange(pb.mesh.num_el) if elements is None else np.asarray(elements)
        M = len(H) // max(1, len(idx))
        reg = np.repeat(pb.mesh.regions[idx], M)
        Hm = np.linalg.norm(H, axis=1)
        mu = np.empty(len(H))
        for r, perm in pb.materials.items():
            sel = reg == r
            if np.any(sel):
                mu[sel] = np.asarray(perm.evaluate_mu(Hm[sel]), dtype=np.float64)
        B = mu[:, None] * H
        if pb.magnets:
            B += remanence_in(pb.mesh, pb.magnets, np.repeat(idx, M), pts)
        return pts, B

    def mean_H(self, region) -> np.ndarray:
        """Volume average of H (A/m) over the elements of ``region`` (an id or a mask)."""
        pb = self.problem
        mask = (pb.mesh.regions == region) if np.isscalar(region) else np.asarray(region, bool)
        idx = np.flatnonzero(mask)
        q, w = quadrature.tetrahedron(2 * (pb.degree - 1))
        _, H = self.H(q, idx)
        vol = pb.mesh.volumes()[idx]
        Hw = H.reshape(len(idx), len(w), 3) * (w / w.sum())[None, :, None]
        return (Hw.sum(axis=1) * vol[:, None]).sum(axis=0) / vol.sum()
