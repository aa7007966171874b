"""Engineering results of a solution: energy, co-energy, flux linkage, inductance, force.

* Energy W = int int_0^B H . dB dV and co-energy W' = int int_0^H B . dH dV over the
  meshed domain (or one region), from each region's material curve
  (``energy_density``/``coenergy_density`` of :mod:`.materials`), with a quadrature
  rule in every element. With a reduced potential the field is the total B_s +
  curl(A); the field of the coils outside the mesh is not counted. In a permanent
  magnet (B = mu H + Br) both are taken relative to its remanent state:
  w = |B - Br|^2 / (2 mu) and w' = mu |H|^2 / 2 + Br . H (w + w' = B . H), so the
  force on a magnet is +dW'/ds at constant currents (:mod:`fluxkern_tools.solvers.magnets`).
* Flux linkage of a coil (a reduced-potential solution with coil sources): the
  free-space part from :mod:`.circuits` (self- and mutual inductances of the source
  coils times their currents) plus the linkage with the reaction potential A, whose
  edge-element field is interpolated along the coil's filaments. Inductance: apparent
  Psi / I and incremental dPsi / dI, the latter from the Newton matrix at the solution
  (one more linear solve), with all source currents scaled together.
* Force and torque on a region by the eggshell method: F = -int T grad(g) dV with the
  Maxwell stress T = (B B - |B|^2 I / 2) / mu0 and g a nodal function equal to 1 on the
  region and falling to 0 across ``layers`` element layers of air around it; this is
  the Maxwell stress integral over every surface in the shell, averaged. Torque
  -int (x - origin) x (T grad g) dV. The shell must lie in vacuum (air, not a magnet
  even of mu_r = 1) and hold no source current.

SI units: J, Wb, H, N, N m. On a model cut by symmetry planes, the results are those
of the meshed part.
"""

from __future__ import annotations

import dataclasses
from dataclasses import dataclass

import numpy as np
import scipy.sparse as sp

from .. import circuits
from ..coils import Coil
from ..fem import quadrature
from ..materials import MU0, NU0, magnet_densities
from ..meshes.locate import locator
from .fields import A_at, is_vector_solution

__all__ = ["energy", "coenergy", "flux_linkage", "inductance", "mutual_inductance",
           "Inductance", "force",
           "Force", "region_mask"]


def region_mask(mesh, region) -> np.ndarray:
    """Element mask (E,) of ``region``: an id, a physical name, a list of either, or a
    boolean mask."""
    if isinstance(region, np.ndarray) and region.dtype == bool:
        if region.shape != (mesh.num_el,):
            raise ValueError("a region mask needs one entry per element")
        return region
    items = region if isinstance(region, (list, tuple)) else [region]
    ids = [mesh.region_id(r) if isinstance(r, str) else int(r) for r in items]
    mask = np.isin(mesh.regions, ids)
    if not mask.any():
        raise ValueError(f"region {region!r} has no elements")
    return mask


def _field_at_quadrature(solution, elements, degree):
    q, w = quadrature.tetrahedron(degree)
    mesh = solution.problem.mesh
    vol = mesh.volumes()[elements]
    weights = (6.0 * vol[:, None] * w[None]).reshape(-1)            # sum: the volume
    if is_vector_solution(solution):
        pts, F = solution.B(q, elements)
    else:
        pts, F = solution.H(q, elements)
    return pts, F, weights, len(w)


def _density(solution, region, kind, quad_degree):
    pb = solution.problem
    mesh = pb.mesh
    mask = np.ones(mesh.num_el, bool) if region is None else region_mask(mesh, region)
    magnets = getattr(pb, "magnets", {})
    total = 0.0
    for r, curve in pb.materials.items():
        el = np.flatnonzero(mask & (mesh.regions == r))
        if len(el) == 0:
            continue
        pts, F, wts, _ = _field_at_quadrature(solution, el, quad_degree)
        if r in magnets:
            dens = magnet_densities(magnets[r], pts, F, kind, is_vector_solution(solution))
        else:
            dens = np.asarray(getattr(curve, kind)(np.linalg.norm(F, axis=1)),
                              dtype=np.float64)
        total += float(dens @ wts)
    return total


def energy(solution, region=None, quad_degree: int = 2) -> float:
    """Magnetic energy int int_0^B H . dB dV in J over the mesh (or ``region``); in
    magnets from the remanent state, |B - Br|^2 / (2 mu)."""
    return _density(solution, region, "energy_density", quad_degree)


def coenergy(solution, region=None, quad_degree: int = 2) -> float:
    """Magnetic co-energy int int_0^H B . dH dV in J over the mesh (or ``region``); in
    magnets mu |H|^2 / 2 + Br . H, whose derivative at constant currents is the force
    on a displaced magnet."""
    return _density(solution, region, "coenergy_density", quad_degree)


# -- coils -----------------------------------------------------------------------------------

def source_coils(solution) -> list:
    """The coils of a reduced-potential solution's source (a list); TypeError when its
    source is not a Coil or a list of Coils."""
    src = solution.problem.source
    if isinstance(src, Coil):
        return [src]
    if isinstance(src, (list, tuple)) and src and all(isinstance(c, Coil) for c in src):
        return list(src)
    raise TypeError("this needs a solution whose source is a Coil or a list of Coils")


def _circuit(solution, coil):
    if coil is None:
        return source_coils(solution)
    return [coil] if isinstance(coil, Coil) else list(coil)


def _self_inductance(coil, n_gauss):
    key = ("_self_inductance", n_gauss)
    cache = coil.__dict__.setdefault("_cache", {})
    if key not in cache:
        cache[key] = circuits.self_inductance(coil, n_gauss)
    return cache[key]


def _free_space_linkage(solution, circuit, n_gauss):
    """Linkage of the circuit with the source coils' own (free-space) potential."""
    s = solution.source_scale
    psi = 0.0
    for m in circuit:
        for c in source_coils(solution):
            M = (_self_inductance(c, n_gauss) if c is m
                 else circuits.mutual_inductance(c, m, n_gauss))
            psi += M * c.current * s
    return psi


def _reaction_linkage(solution, circuit, n_gauss):
    # A line integral of the edge-element potential is exact for its curl part only;
    # the Gauss rule along a filament misreads a gradient part (piecewise constant
    # across element faces), by several per cent between the tree-gauged and the
    # Krylov-solved potentials of one field. Without gradients both read the same.
    plain = dataclasses.replace(solution, x=solution.problem.without_gradients(solution.x))

    def potential(p):
        return A_at(plain, p, outside="raise")
    return sum(circuits.flux_linkage(m, potential, n_gauss) for m in circuit)


def flux_linkage(solution, coil=None, n_gauss: int = 6) -> float:
    """Flux linkage in Wb of ``coil`` (a Coil, or several in series; default: the
    solution's source coils in series) in a reduced-potential solution.

    The coil's filaments must lie inside the mesh (the reaction potential is read
    there)."""
    circuit = _circuit(solution, coil)
    return (_free_space_linkage(solution, circuit, n_gauss)
            + _reaction_linkage(solution, circuit, n_gauss))


@dataclass(frozen=True)
class Inductance:
    """Inductances of a coil at an operating point.

    ``apparent`` Psi / I and ``incremental`` dPsi / dI in H; ``flux_linkage`` Psi in Wb;
    ``current`` I in A (terminal current).
    """

    apparent: float
    incremental: float
    flux_linkage: float
    current: float


def inductance(solution, coil=None, n_gauss: int = 6, *, linear_solver=None,
               solve=None) -> Inductance:
    """Apparent and incremental inductance of ``coil`` (default: the source coils in
    series) in a reduced-potential solution.

    dx/ds for the source scale s solves (K + dK) dx/ds = dr/ds on the free unknowns,
    dr/ds by a central difference of the residual at the solution (the residual is
    smooth in s). ``coil`` must be among the source coils (ValueError otherwise; see
    :func:`mutual_inductance`). ``linear_solver`` and ``solve`` choose the linear solver as in the
    problem's ``solve`` (default: the backend the solution was solved with, else
    ``"auto"``); on an ungauged system dx/ds is found up to a gradient, which links no
    flux (linkages are read from the potential without its gradient part).
    """
    pb = solution.problem
    circuit = _circuit(solution, coil)
    sources = source_coils(solution)
    if any(not any(m is c for c in sources) for m in circuit):
        raise ValueError("inductance() is for the source coils, whose current the solve "
                         "used; for a coil that is not a source use "
                         "solution.mutual_inductance(coil) (its linkage per ampere of "
                         "the source)")
    s = float(solution.source_scale)
    I = s * circuit[0].current
    if not I != 0:
        raise ValueError("the inductance needs a non-zero coil current")
    psi_free = _free_space_linkage(solution, circuit, n_gauss)
    psi = psi_free + _reaction_linkage(solution, circuit, n_gauss)
    x = solution.x
    d = 1e-4 * abs(s)
    K, dK, rhs_p = pb.matrices(x, s + d)
    Kp = K @ x
    K, dK, rhs_m = pb.matrices(x, s - d)
    Km = K @ x
    dr = ((rhs_p - Kp) - (rhs_m - Km)) / (2 * d)
    K, dK, _ = pb.matrices(x, s)
    if linear_solver is None:
        used = solution.report.linear_solver
        linear_solver = used if used in ("direct", "iterative") else "auto"
    backend, f = pb.linear_backend(linear_solver, solve)
    J = sp.csr_array(K + dK)
    backend.setup(J[f][:, f])
    dx = np.zeros_like(x)
    dx[f] = backend.solve(dr[f], 1e-10)
    tangent = dataclasses.replace(solution, x=dx)
    dpsi_ds = psi_free / s + _reaction_linkage(tangent, circuit, n_gauss)
    return Inductance(psi / I, dpsi_ds / circuit[0].current, psi, I)


def mutual_inductance(solution, coil, n_gauss: int = 6) -> float:
    """Mutual inductance in H: the flux linkage (Wb) of ``coil`` (a Coil, or several
    in series) per ampere of the source current, in a reduced-potential solution with
    coil sources, at its operating point (with iron, Psi / I of the nonlinear field).

    The source current is the terminal current of the source coils (in series, so
    they must all carry the same nominal current) times ``source_scale``; the nominal
    current of ``coil`` itself does not enter. The filaments of ``coil`` must lie
    inside the mesh. Raises ValueError for a zero source current or source coils with
    different currents, TypeError for a solution without coil sources.
    """
    sources = source_coils(solution)
    currents = {float(c.current) for c in sources}
    if len(currents) != 1:
        raise ValueError("the source coils carry different currents: the mutual "
                         "inductance per ampere of the source is not defined")
    I = float(solution.source_scale) * currents.pop()
    if not I != 0:
        raise ValueError("the mutual inductance needs a non-zero source current")
    return flux_linkage(solution, coil, n_gauss) / I


# -- force -----------------------------------------------------------------------------------

@dataclass(frozen=True)
class Force:
    """Force (3,) in N and torque (3,) in N m about ``origin`` (m) on a region;
    ``shell``: the air elements the stress was integrated over."""

    force: np.ndarray
    torque: np.ndarray
    origin: np.ndarray
    shell: np.ndarray

    def torque_about(self, axis) -> float:
        """Torque in N m about the axis through ``origin`` along ``axis``."""
        a = np.asarray(axis, dtype=np.float64).reshape(3)
        return float(self.torque @ (a / np.linalg.norm(a)))


def _is_air(curve) -> bool:
    if hasattr(curve, "value") and curve.get_type_spec() == 0:
        return abs(float(curve.value) / NU0 - 1.0) < 1e-9
    if hasattr(curve, "mu") and curve.get_type_spec() == 0:
        return abs(float(curve.mu) / MU0 - 1.0) < 1e-9
    return False


def _shell_function(mesh, body, layers):
    """Nodal g: 1 on the body's nodes, 1 - d / layers at graph distance d < layers
    through the other elements' edges, 0 beyond."""
    g = np.zeros(mesh.num_nodes)
    on = np.zeros(mesh.num_nodes, bool)
    on[mesh.cells[body].ravel()] = True
    g[on] = 1.0
    E = mesh.edges
    adj = sp.csr_array((np.ones(2 * len(E)), (np.concatenate([E[:, 0], E[:, 1]]),
                                              np.concatenate([E[:, 1], E[:, 0]]))),
                       shape=(mesh.num_nodes, mesh.num_nodes))
    reached = on.copy()
    front = on.copy()
    for d in range(1, int(layers)):
        front = (adj @ front.astype(np.float64) > 0) & ~reached
        g[front] = 1.0 - d / layers
        reached |= front
    return g


def _shell_current(solution, shell) -> int:
    """Number of ``shell`` elements that coil filaments of the solution's source pass
    through (sampled at a quarter, half and three quarters of every segment)."""
    src = getattr(solution.problem, "source", None)
    coils = ([src] if isinstance(src, Coil) else
             [c for c in src if isinstance(c, Coil)] if isinstance(src, (list, tuple)) else [])
    if not coils:
        return 0
    seg = np.concatenate([c.segments for c in coils]).reshape(-1, 2, 3)
    t = np.array([0.25, 0.5, 0.75])[None, :, None]
    pts = (seg[:, :1] + t * (seg[:, 1:] - seg[:, :1])).reshape(-1, 3)
    el, _ = locator(solution.problem.mesh).find(pts)
    return int(np.isin(shell, el[el >= 0]).sum())


def force(solution, region, *, layers: int = 1, origin=(0.0, 0.0, 0.0),
          quad_degree: int = 2) -> Force:
    """Force and torque on ``region`` (id, physical name, list, or element mask) by
    the eggshell method over ``layers`` element layers of air around it.

    Raises ValueError if the elements around the region are not all vacuum, if there
    are none (the region fills the mesh), or if coil filaments of the source pass
    through them (the stress integral assumes no current in the shell)."""
    pb = solution.problem
    mesh = pb.mesh
    if int(layers) < 1:
        raise ValueError("layers must be >= 1")
    body = region_mask(mesh, region)
    g = _shell_function(mesh, np.flatnonzero(body), int(layers))
    gc = g[mesh.cells]
    shell = np.flatnonzero(~body & (gc.max(axis=1) > gc.min(axis=1)))
    if len(shell) == 0:
        raise ValueError("no element lies around the region: the body needs a layer of "
                         "air (vacuum) elements around it inside the mesh for the "
                         "stress integral")
    magnets = getattr(pb, "magnets", {})
    not_air = sorted({int(r) for r in np.unique(mesh.regions[shell])
                      if int(r) in magnets or not _is_air(pb.materials[int(r)])})
    if not_air:
        raise ValueError(f"the shell around the region touches region(s) {not_air}, "
                         "which are not vacuum: the stress integral needs air around "
                         "the body (use a region that includes what touches it)")
    crossed = _shell_current(solution, shell)
    if crossed:
        raise ValueError(f"coil filaments pass through {crossed} element(s) of the shell "
                         "around the region: the stress integral needs a shell free of "
                         "source current (refine the mesh between the body and the coil)")
    grad_g = np.einsum("ea,eak->ek", g[mesh.cells[shell]], mesh.barycentric_gradients(shell))
    pts, F, wts, M = _field_at_quadrature(solution, shell, quad_degree)
    B = F if is_vector_solution(solution) else MU0 * F
    B2 = np.einsum("pc,pc->p", B, B)
    gq = np.repeat(grad_g, M, axis=0)
    Tg = (B * np.einsum("pc,pc->p", B, gq)[:, None] - 0.5 * B2[:, None] * gq) / MU0
    dF = -wts[:, None] * Tg
    o = np.asarray(origin, dtype=np.float64).reshape(3)
    return Force(dF.sum(axis=0), np.cross(pts - o, dF).sum(axis=0), o, shell)
