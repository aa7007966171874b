"""Magnetic flux through a surface: a planar polygon or a named surface of the mesh.

Phi = int B . n dA in Wb, with the total flux density of the solution (for the
reduced vector potential the coils' Biot-Savart field plus curl A; for the scalar
potential mu(|H|) H).

* Polygon: vertices (V, 3) in order, the unit normal by the right-hand rule from the
  polygon's vector area (Newell's formula). The polygon is fan-triangulated from its
  first vertex (exact for convex polygons and those star-shaped from the first
  vertex; for others the signed fan still sums to the right integral where its
  triangles stay in the mesh); each triangle is split into k^2 similar subtriangles,
  each integrated by the 3-point rule of degree 2 (points at the midpoints of the
  medians' thirds: barycentrics (2/3, 1/6, 1/6)). The field at the points comes from
  :func:`fluxkern_tools.fields.B_at` (the element's own field; ``smooth`` for the
  recovered one).
* Named surface (a gmsh physical surface, ``mesh.surface_groups``): its triangles as
  stored, each with the normal of its node order by the right-hand rule, split and
  integrated as above; at every point the field of the element the normal points
  away from (the element behind the face), or of the only element at a boundary
  face. Surfaces inside the mesh work as well as boundary ones, as long as the file
  keeps their triangles (gmsh writes every physical surface).

SI units: m, m^2, T, Wb.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

from . import fields
from ..meshes.locate import barycentric

__all__ = ["Flux", "flux"]

# Degree-2 rule on the reference triangle: barycentrics and weights (sum 1).
_TRI_BARY = np.array([[2 / 3, 1 / 6, 1 / 6], [1 / 6, 2 / 3, 1 / 6], [1 / 6, 1 / 6, 2 / 3]])
_TRI_W = np.full(3, 1 / 3)


@dataclass(frozen=True)
class Flux:
    """Flux through a surface.

    Attributes
    ----------
    flux : float
        Phi = int B . n dA in Wb.
    area : float
        Area of the surface in m^2.
    mean_normal_B : float
        Phi / area in T.
    normal : ndarray (3,)
        Unit normal of a polygon; for a mesh surface the unit vector of its vector
        area (zero for a closed surface).
    points : int
        Quadrature points used.
    """

    flux: float
    area: float
    mean_normal_B: float
    normal: np.ndarray
    points: int


def _subdivide(tri, k):
    """Split triangles (T, 3, 3) into k^2 similar ones each: (T * k^2, 3, 3), same
    orientation."""
    small = []
    for i in range(k):
        for j in range(k - i):
            small.append([(i, j), (i + 1, j), (i, j + 1)])
            if i + j < k - 1:
                small.append([(i + 1, j), (i + 1, j + 1), (i, j + 1)])
    ij = np.array(small, dtype=np.float64) / k                  # (k^2, 3, 2)
    a, b, c = tri[:, 0], tri[:, 1], tri[:, 2]
    e1, e2 = b - a, c - a
    return (a[:, None, None] + ij[None, ..., 0:1] * e1[:, None, None]
            + ij[None, ..., 1:2] * e2[:, None, None]).reshape(-1, 3, 3)


def _rule(tri):
    """Quadrature points (T * 3, 3) and vector weights n dA (T * 3, 3) on triangles."""
    pts = np.einsum("qa,tak->tqk", _TRI_BARY, tri).reshape(-1, 3)
    vec = 0.5 * np.cross(tri[:, 1] - tri[:, 0], tri[:, 2] - tri[:, 0])   # n * area
    return pts, (vec[:, None, :] * _TRI_W[None, :, None]).reshape(-1, 3)


def _field_in(solution, el, pts, smooth):
    """Total B (P, 3) at points known to lie in elements ``el``."""
    mesh = solution.problem.mesh
    lam = barycentric(mesh.nodes, mesh.cells, el, pts)
    return fields.field_in(solution, el, lam, pts, smooth=smooth)


def _behind(mesh, tri_nodes):
    """For triangles (F, 3) of mesh nodes: the element on the side their right-hand
    normal points away from (or the only one)."""
    fid = mesh.face_index(tri_nodes)
    owner = np.full((mesh.num_faces, 2), -1, dtype=np.int64)
    fl = mesh.face_ids.reshape(-1)
    el = np.repeat(np.arange(mesh.num_el), 4)
    order = np.argsort(fl, kind="stable")
    fl, el = fl[order], el[order]
    first = np.r_[True, fl[1:] != fl[:-1]]
    owner[fl[first], 0] = el[first]
    owner[fl[~first], 1] = el[~first]
    cand = owner[fid]                                           # (F, 2)
    X = mesh.nodes[tri_nodes]
    n = np.cross(X[:, 1] - X[:, 0], X[:, 2] - X[:, 0])
    cen = mesh.centroids()
    side = np.einsum("fk,fk->f", cen[cand[:, 0]] - X[:, 0], n)
    pick = np.where((side < 0) | (cand[:, 1] < 0), cand[:, 0], cand[:, 1])
    return pick


def flux(solution, surface, n: int = 4, *, smooth: bool = False) -> Flux:
    """Magnetic flux in Wb through ``surface`` (see the module notes).

    Parameters
    ----------
    solution : a scalar- or vector-potential solution.
    surface : (V, 3) vertices in m of a planar polygon (V >= 3, in order; normal by the
        right-hand rule), or the name of a physical surface of the mesh.
    n : every triangle is split into n^2 subtriangles (n >= 1), 3 points each.
    smooth : the recovered field instead of the element fields (polygon only; a
        named surface always reads the element behind each face).

    Returns
    -------
    Flux

    Raises
    ------
    ValueError
        A polygon with fewer than 3 vertices, non-finite, of no area or not planar
        (off its plane by more than 1e-6 of its size), or reaching outside the mesh;
        ``n`` not an integer >= 1.
    KeyError
        No surface of that name.
    """
    if isinstance(n, bool) or int(n) != n or int(n) < 1:
        raise ValueError(f"n must be an integer >= 1, got {n!r}")
    k = int(n)
    mesh = solution.problem.mesh
    if isinstance(surface, str):
        tri_nodes = mesh.boundary_triangles(surface)
        tri = mesh.nodes[tri_nodes]
        el = np.repeat(_behind(mesh, tri_nodes), 3 * k * k)
        pts, nda = _rule(_subdivide(tri, k))
        B = _field_in(solution, el, pts, False)
        vec = 0.5 * np.cross(tri[:, 1] - tri[:, 0], tri[:, 2] - tri[:, 0])
        area = float(np.linalg.norm(vec, axis=1).sum())
        total = vec.sum(axis=0)
        nt = np.linalg.norm(total)
        normal = total / nt if nt > 1e-12 * area else np.zeros(3)
    else:
        V = np.asarray(surface, dtype=np.float64)
        if V.ndim != 2 or V.shape[1] != 3 or len(V) < 3 or not np.all(np.isfinite(V)):
            raise ValueError("a polygon needs finite vertices of shape (V, 3), V >= 3")
        va = 0.5 * np.cross(V, np.roll(V, -1, axis=0)).sum(axis=0)      # vector area
        area = float(np.linalg.norm(va))
        size = float(np.ptp(V, axis=0).max())
        if not area > 1e-12 * size * size:
            raise ValueError("the polygon encloses no area")
        normal = va / area
        off = np.abs((V - V.mean(axis=0)) @ normal)
        if off.max() > 1e-6 * size:
            raise ValueError(f"the polygon is not planar: a vertex lies {off.max():.3g} m "
                             "off its plane")
        tri = np.stack([np.repeat(V[:1], len(V) - 2, axis=0), V[1:-1], V[2:]], axis=1)
        pts, nda = _rule(_subdivide(tri, k))
        B = fields.B_at(solution, pts, smooth=smooth, outside="raise")
    phi = float(np.einsum("pk,pk->", B, nda))
    return Flux(phi, area, phi / area if area > 0 else float("nan"), normal, len(pts))
