"""Fields of a solution at arbitrary points: B, H and the reaction potential A.

Points (P, 3) in m are located in the mesh (:mod:`.locate`); points outside it give
NaN rows and a ``RuntimeWarning`` (``outside="nan"``, the default) or a ``ValueError``
(``outside="raise"``); a point with a NaN or infinite coordinate raises
``ValueError``. The values are the total field: for the reduced vector
potential the source field B_s at the point (Biot-Savart of the coils, exact) plus the
reaction curl(A) of the element holding it; for the scalar potential H = -grad(phi)
there. In a permanent magnet B = mu H + Br, so H = nu (B - Br) (vector potential) and
B = mu H + Br (scalar potential).

Lowest-order fields (curl of lowest-order edge elements, the gradient of P1) are
constant per element, so point values jump from element to element. ``smooth=True``
returns the recovered field instead: at every node the volume-weighted mean of the
element values around it, taken over the elements of the point's own region only
(the field is discontinuous across material interfaces), interpolated linearly.
That is closer to the exact field wherever it is smooth (an O(h^2) rather than O(h)
error inside a region on regular meshes) and is a post-processed value, not the
finite-element solution itself. Second-order fields (P2 scalar potentials, degree-2
edge elements, linear in each element) are returned as computed.
SI units: m, T, A/m, Wb/m.
"""

from __future__ import annotations

import numpy as np

from ..fem.elements import lagrange
from ..meshes.locate import locate
from ..materials import remanence_in

__all__ = ["B_at", "H_at", "A_at", "field_in", "is_vector_solution"]

def _points(points):
    P = np.asarray(points, dtype=np.float64)
    if P.ndim == 1 and P.shape == (3,):
        P = P[None]
    if P.ndim != 2 or P.shape[1] != 3:
        raise ValueError(f"points must have shape (P, 3), got {P.shape}")
    return P


def is_vector_solution(solution) -> bool:
    """True for a reduced vector-potential solution (edge coefficients and a curl)."""
    return hasattr(solution, "x") and hasattr(solution, "reaction_B")


def _recovered(mesh, el, bary, element_values, elements_with_values):
    """Nodal recovery of a per-element constant field, interpolated at the points.

    ``element_values`` (E', 3) belong to ``elements_with_values`` (E',); the mean at
    each (node, region) pair is weighted by element volume."""
    regs = np.unique(mesh.regions)
    ridx = np.searchsorted(regs, mesh.regions)
    R = len(regs)
    ev = np.asarray(elements_with_values)
    vol = mesh.volumes()[ev]
    keys = (mesh.cells[ev].astype(np.int64) * R + ridx[ev][:, None]).ravel()   # (E' * 4)
    n = mesh.num_nodes * R
    wsum = np.bincount(keys, np.repeat(vol, 4), minlength=n)
    out = np.zeros((len(el), 3))
    pk = mesh.cells[el].astype(np.int64) * R + ridx[el][:, None]                 # (P, 4)
    for c in range(3):
        s = np.bincount(keys, np.repeat(vol * element_values[:, c], 4), minlength=n)
        with np.errstate(invalid="ignore", divide="ignore"):
            nodal = s / wsum
        out[:, c] = np.einsum("pa,pa->p", bary, nodal[pk])
    return out


def _patch_elements(mesh, el):
    """The elements sharing a node with any of ``el``: what recovery at them needs."""
    nodes = np.zeros(mesh.num_nodes, dtype=bool)
    nodes[mesh.cells[el].ravel()] = True
    return np.flatnonzero(nodes[mesh.cells].any(axis=1))


def _reaction_B(solution, el, bary, smooth):
    mesh = solution.problem.mesh
    if solution.problem.degree > 1:
        return solution.reaction_B_in(el, bary)
    if not smooth:
        ue, inv = np.unique(el, return_inverse=True)
        _, B = solution.reaction_B(None, ue)
        return B[inv.reshape(-1)]
    patch = _patch_elements(mesh, el)
    _, Bp = solution.reaction_B(None, patch)
    return _recovered(mesh, el, bary, Bp, patch)


def _scalar_H(solution, el, bary, smooth):
    pb = solution.problem
    mesh = pb.mesh
    if smooth and pb.degree == 1:
        patch = _patch_elements(mesh, el)
        _, Hp = solution.H(None, patch)
        return _recovered(mesh, el, bary, Hp, patch)
    _, d_phi = lagrange(pb.degree, bary[:, 1:])              # (P, N, 3), reference
    g_ref = np.einsum("pa,pal->pl", solution.phi[pb.cells[el]], d_phi)
    Jinv = np.linalg.inv(mesh.jacobians(el))
    return -np.einsum("plk,pl->pk", Jinv, g_ref)


def _by_region(mesh, el, values, curves, method):
    """Apply each region's curve ``method`` (e.g. evaluate_nu) to |values|."""
    mag = np.linalg.norm(values, axis=1)
    out = np.empty(len(el))
    reg = mesh.regions[el]
    for r, curve in curves.items():
        sel = reg == r
        if np.any(sel):
            out[sel] = np.asarray(getattr(curve, method)(mag[sel]), dtype=np.float64)
    return out[:, None] * values


def _evaluate(solution, points, smooth, outside, want, part="total"):
    P = _points(points)
    mesh = solution.problem.mesh
    el, bary = locate(mesh, P, outside)
    inside = el >= 0
    out = np.full((len(P), 3), np.nan)
    if not np.any(inside):
        return out
    out[inside] = field_in(solution, el[inside], bary[inside], P[inside], smooth=smooth,
                           want=want, part=part)
    return out


def field_in(solution, elements, bary, points, *, smooth: bool = False, want: str = "B",
             part: str = "total") -> np.ndarray:
    """B in T (``want="B"``) or H in A/m (``"H"``) at points (P, 3; m) known to lie in
    ``elements`` (P,), with barycentric coordinates ``bary`` (P, 4) there; ``smooth`` and
    ``part`` as in :func:`B_at`."""
    pb, mesh = solution.problem, solution.problem.mesh
    magnets = getattr(pb, "magnets", None)
    Br = remanence_in(mesh, magnets, elements, points) if magnets else 0.0
    if is_vector_solution(solution):
        B = _reaction_B(solution, elements, bary, smooth)
        if part == "total":
            B = B + solution.source_B(points)
        return (B if want == "B" else
                _by_region(mesh, elements, B - Br, pb.materials, "evaluate_nu"))
    H = _scalar_H(solution, elements, bary, smooth)
    return (H if want == "H" else
            _by_region(mesh, elements, H, pb.materials, "evaluate_mu") + Br)


def B_at(solution, points, *, smooth: bool = False, outside: str = "nan",
         part: str = "total") -> np.ndarray:
    """Total flux density B in T at ``points`` (P, 3; m) of a scalar- or vector-
    potential solution; (P, 3), NaN rows outside the mesh (see the module notes).

    ``part="reaction"`` gives curl(A) alone (vector potential): the field of the
    magnetised material, e.g. for the force it exerts on a coil (a coil's own field
    does not push it)."""
    if part not in ("total", "reaction"):
        raise ValueError("part must be 'total' or 'reaction'")
    if part == "reaction" and not is_vector_solution(solution):
        raise TypeError("part='reaction' needs a vector-potential solution")
    return _evaluate(solution, points, smooth, outside, "B", part)


def H_at(solution, points, *, smooth: bool = False, outside: str = "nan") -> np.ndarray:
    """Total field strength H in A/m at ``points`` (P, 3; m); H = nu(|B|) B from the
    region's material for the vector potential. (P, 3), NaN rows outside the mesh."""
    return _evaluate(solution, points, smooth, outside, "H")


def A_at(solution, points, *, outside: str = "nan") -> np.ndarray:
    """Reaction vector potential A in Wb/m (T m) of a vector-potential solution at
    ``points`` (P, 3; m): the edge-element field sum_k x_k w_k, interpolated in the
    element holding each point. (P, 3), NaN rows outside the mesh."""
    if not is_vector_solution(solution):
        raise TypeError("A_at needs a vector-potential solution")
    P = _points(points)
    mesh = solution.problem.mesh
    el, bary = locate(mesh, P, outside)
    inside = el >= 0
    out = np.full((len(P), 3), np.nan)
    if np.any(inside):
        out[inside] = solution.problem.space.field(solution.x, el[inside], bary[inside])[0]
    return out
