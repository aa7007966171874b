"""Permanent magnets in both formulations: the remanence terms of the right-hand side.

A magnet region has B = mu H + Br with the recoil permeability mu = mu0 mu_r and the
remanence Br = |Br| d(x) (:class:`~fluxkern_tools.materials.PermanentMagnet`). The
kernels see it as a linear material (its constant permeability or reluctance, so the
constant-region sums assemble its matrix once); the remanence enters as a right-hand
side that does not depend on the iterate, computed once per problem:

* total scalar potential, H = -grad(phi): div B = 0 gives
  int mu grad(phi) . grad(v) = int Br . grad(v) over the magnets, summed here with NumPy
  over the magnet elements (quadrature of degree >= 2, so a varying direction is
  integrated, not sampled at the centroid);
* reduced vector potential, B = B_s + curl(A), H = nu (B - Br) in the magnet:
  int nu (B_s + curl A) . curl(w) = int nu0 B_s . curl(w) + int nu Br . curl(w).
  The reduced right-hand-side kernel forms int (nu0 - nu_k) S . curl(w) per quadrature
  point; with the constant reluctance nu_k = 0 and the field S = (nu / nu0) Br = Br / mu_r
  its coefficient is the magnet's nu, so ``compute_rhs_Hcurl_red_c`` does the sum.

Energy and co-energy densities of a magnet are taken with respect to its remanent state
(H = 0, B = Br):

    w  = int_Br^B H . dB  = |B - Br|^2 / (2 mu),
    w' = int_0^H B . dH   = mu |H|^2 / 2 + Br . H,

so that w + w' = B . H as for any material. The force on a magnet is the derivative of
the total co-energy at constant currents, F = +dW'/ds (the Br . H term carries the
magnet's interaction with the field).
"""

from __future__ import annotations

import numpy as np

from ..fem import elements as ref_elements, quadrature
from ..fem.kernels import reduced_rhs
from ..materials import NU0

__all__ = ["scalar_potential_rhs", "edge_rhs"]


class _NoReluctance:
    """The constant reluctance 0: the reduced right-hand-side kernel then weights its
    field with nu0 alone."""

    value = 0.0

    def get_type_spec(self) -> int:
        return 0


def _quadrature_points(mesh, elements, q):
    return mesh.map_points(q)[elements]          # (E, M, 3) in m


def scalar_potential_rhs(mesh, cells, degree: int, magnets: dict, num_dofs: int,
                         quad_degree: int = 2) -> np.ndarray:
    """int Br . grad(v) over the magnets (Wb) for every Lagrange function v.

    ``cells`` (E, N) is the problem's connectivity (P1 or P2, ``degree``); the result
    has ``num_dofs`` entries, zero off the magnets. The rule has degree
    ``max(quad_degree, 2 (degree - 1))``.
    """
    f = np.zeros(num_dofs)
    if not magnets:
        return f
    q, w = quadrature.tetrahedron(max(int(quad_degree), 2 * (degree - 1)))
    _, d_ref = ref_elements.lagrange(degree, q)                  # (M, N, 3)
    vol6 = 6.0 * mesh.volumes()
    for r, magnet in magnets.items():
        el = np.flatnonzero(mesh.regions == r)
        Jinv = np.linalg.inv(mesh.jacobians(el))                 # (E, 3, 3)
        grad = np.einsum("elk,mal->emak", Jinv, d_ref)           # (E, M, N, 3)
        pts = _quadrature_points(mesh, el, q)
        Br = magnet.remanence(pts.reshape(-1, 3)).reshape(pts.shape)
        fe = np.einsum("emk,emak,m->ea", Br, grad, w) * vol6[el][:, None]
        f += np.bincount(cells[el].reshape(-1), fe.reshape(-1), minlength=num_dofs)
    return f


def edge_rhs(problem) -> np.ndarray:
    """int nu Br . curl(w) over the magnets (in A) for every unknown of a
    :class:`~.vector_potential.ReducedVectorPotential`, by the reduced right-hand-side
    kernel (see the module notes); zero off the magnets."""
    f = np.zeros(problem.num_dofs)
    t, mesh = problem.tables, problem.mesh
    for r, magnet in problem.magnets.items():
        arr = problem.space.region_arrays(r)
        pts = _quadrature_points(mesh, arr["elements"], t.q).reshape(-1, 3)
        nu = float(problem.materials[r].value)
        S = (nu / NU0) * magnet.remanence(pts)
        f += reduced_rhs(mesh.nodes, arr, t, S, _NoReluctance(), problem.num_dofs,
                         problem.num_el_dofs)
    return f
