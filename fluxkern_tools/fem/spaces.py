"""Finite-element spaces on a mesh: the numbering of their unknowns and the flat arrays
the compiled functions take.

A :class:`NodalSpace` numbers Lagrange P1 or P2 unknowns (mesh nodes, then edge
midpoints). An :class:`EdgeSpace` holds what the compiled H(curl) functions and the solvers need
for one degree: the global numbering (``glob_ids``), the orientation class of every
element and the per-class reference tables, the unknowns of a boundary part,
interpolation of vector fields, and fields at points.

Numbering. Degree 1: one unknown per edge (the edge id) and the 64 edge-sign classes of
:mod:`.elements`. Degree 2 (:mod:`.nedelec2`): the lowest-order functions first (ids
0 .. E-1, the edge ids, so a degree-1 vector is the degree-2 vector of the same field
with zeros appended), then the edge gradient functions (E + edge id), then two per face
(2 E + 2 face id + 0 or 1); classes are the 24 vertex rank patterns.

Coefficients are line integrals and moments of A (Wb for A in T m); fields at points are
in T m (A) and T (curl A).
"""

from __future__ import annotations

from functools import cached_property

import numpy as np
import scipy.sparse as sp

from . import elements, nedelec2
from .operators import nedelec_interpolation

__all__ = ["NodalSpace", "EdgeSpace", "p2_connectivity", "region_arrays", "element_arrays"]


class EdgeSpace:
    """Edge elements of ``degree`` 1 or 2 on a :class:`~fluxkern_tools.meshes.Mesh`.

    Attributes: ``glob_ids`` (E, n) int32, ``orientations`` (E,) int32, ``num_dofs``,
    ``num_el_dofs`` (n = 6 or 20), ``num_classes`` (64 or 24).
    """

    def __init__(self, mesh, degree: int = 1):
        if degree not in (1, 2):
            raise ValueError(f"edge-element degree must be 1 or 2, got {degree!r}")
        self.mesh, self.degree = mesh, int(degree)
        E = mesh.num_edges
        if degree == 1:
            self.glob_ids, self.orientations = mesh.glob_ids, mesh.orientations
            self.num_dofs, self.num_el_dofs, self.num_classes = E, 6, elements.NUM_CLASSES
        else:
            faces = 2 * E + 2 * np.repeat(mesh.face_ids, 2, axis=1) + np.tile([0, 1], 4)
            self.glob_ids = np.ascontiguousarray(
                np.hstack([mesh.glob_ids, E + mesh.glob_ids, faces]).astype(np.int32))
            self.orientations = nedelec2.permutation_class(mesh.cells)
            self.num_dofs = 2 * E + 2 * mesh.num_faces
            self.num_el_dofs, self.num_classes = nedelec2.NUM_DOFS, nedelec2.NUM_CLASSES
        if self.num_dofs >= 2**31:
            raise ValueError("mesh too large for 32-bit unknown ids")

    # -- reference tables ----------------------------------------------------------------
    def curls_by_class(self, points) -> np.ndarray:
        """Per-class reference curls (classes, M, n, 3) at reference ``points`` (M, 3)."""
        if self.degree == 1:
            return elements.curls_by_class(points)
        return nedelec2.curls_by_class(points)

    def _reference(self, el, bary):
        """Reference values and curls (P, n, 3) at points given by their element and
        barycentric coordinates, each in its element's class."""
        cls = self.orientations[el]
        if self.degree == 1:
            s = elements.class_signs(cls)[:, :, None]
            return (s * elements.nedelec1_values(bary[:, 1:]),
                    s * elements.nedelec1_curls(bary[:, 1:]))
        return nedelec2.basis(bary, nedelec2.RANKS[cls])

    def point_curls(self, el, bary) -> np.ndarray:
        """Reference curls (P, 1, n, 3) of each point's element, one class per point: the
        ``curls`` of a ``compute_B_Hcurl`` call with one element per point."""
        return np.ascontiguousarray(self._reference(el, bary)[1][:, None])

    # -- parts of the mesh -----------------------------------------------------------------
    def region_arrays(self, region) -> dict:
        """Flat arrays of one region's elements for the compiled functions, as
        :meth:`~fluxkern_tools.meshes.Mesh.region_arrays`, with this numbering."""
        return region_arrays(self.mesh, region, self.glob_ids, self.orientations)

    def boundary_dofs(self, edge_ids, triangles) -> np.ndarray:
        """Sorted unknowns whose tangential trace lives on the given boundary edges
        (ids) and triangles (F, 3): those A x n = 0 sets to zero there."""
        e = np.asarray(edge_ids, dtype=np.int64).reshape(-1)
        if self.degree == 1:
            return np.unique(e)
        f = self.mesh.face_index(triangles).astype(np.int64)
        E = self.mesh.num_edges
        return np.unique(np.concatenate([e, E + e, 2 * E + 2 * f, 2 * E + 2 * f + 1]))

    @property
    def gradient_dofs(self) -> np.ndarray:
        """The unknowns whose functions are gradients (degree 2: one per edge; none for
        degree 1): curl-curl matrices have zero rows and columns there."""
        E = self.mesh.num_edges
        return np.arange(E, 2 * E) if self.degree == 2 else np.zeros(0, np.int64)

    @cached_property
    def _face_edges(self) -> np.ndarray:
        """Edge ids (F, 3) of every face's edges (a, b), (a, c), (b, c), a < b < c."""
        m = self.mesh
        n = np.int64(m.num_nodes)
        keys = m.edges[:, 0].astype(np.int64) * n + m.edges[:, 1]
        f = m.faces.astype(np.int64)
        pairs = f[:, [[0, 1], [0, 2], [1, 2]]]
        return np.searchsorted(keys, pairs[..., 0] * n + pairs[..., 1]).astype(np.int64)

    # -- interpolation ---------------------------------------------------------------------
    def interpolate(self, field, n_gauss: int = 3) -> np.ndarray:
        """Coefficients (num_dofs,) of the interpolant of ``field``, a callable mapping
        (P, 3) points in m to (P, 3) vectors (e.g. A in T m).

        The degrees of freedom are the tangential moments on edges (and faces), so the
        interpolant is conforming and reproduces every field of the space exactly (degree
        1: constant fields; degree 2: linear ones and more) when ``n_gauss`` Gauss points
        per direction integrate the field's tangential part exactly (3 is enough for
        degree 2 on straight elements).
        """
        m = self.mesh
        if self.degree == 1:
            return elements.interpolate_edges(m.nodes, m.edges, field, n_gauss)
        X = m.nodes
        s, W = nedelec2.edge_weights(n_gauss)
        x0, t = X[m.edges[:, 0]], X[m.edges[:, 1]] - X[m.edges[:, 0]]
        pts = x0[:, None] + s[None, :, None] * t[:, None]
        u = _sample(field, pts)
        c_edge = np.einsum("eqk,ek,jq->ej", u, t, W)                         # (E, 2)
        st, w = nedelec2.triangle_rule(n_gauss)
        F = m.faces
        tau = np.stack([X[F[:, 1]] - X[F[:, 0]], X[F[:, 2]] - X[F[:, 0]]], axis=1)
        pts = X[F[:, 0]][:, None] + np.einsum("qi,fik->fqk", st, tau)
        moments = np.einsum("q,fqk,fik->fi", w, _sample(field, pts), tau)   # (F, 2)
        fe = self._face_edges
        c_face = _face_coefficients(moments, np.concatenate([c_edge[fe, 0], c_edge[fe, 1]], 1))
        return np.concatenate([c_edge[:, 0], c_edge[:, 1], c_face.reshape(-1)])

    def nodal_interpolation(self) -> tuple:
        """Three (num_dofs, num_nodes) matrices Pi_x, Pi_y, Pi_z: the coefficients of the
        linear vector field with nodal values v are sum_k Pi_k v[:, k] (exact; the
        auxiliary-space preconditioner's map from nodal vector fields)."""
        m = self.mesh
        Pi = nedelec_interpolation(m.nodes, m.edges)
        if self.degree == 1:
            return Pi
        X, Ed, F, E = m.nodes, m.edges, m.faces, m.num_edges
        # A linear field's u . t is linear along an edge: the edge gradient coefficient
        # 3 int u.t (1 - 2 s) ds is (v_lo - v_hi) . t / 2.
        t = X[Ed[:, 1]] - X[Ed[:, 0]]
        rows = [np.repeat(np.arange(E, 2 * E), 2)]
        cols = [Ed.reshape(-1)]
        vals = [np.stack([0.5 * t, -0.5 * t], axis=1).reshape(-1, 3)]
        # Faces: the coefficients for a unit value at each face vertex in turn
        # (int lambda_v dA = 1/6 on the reference triangle).
        Xf = X[F]                                                            # (F, 3, 3)
        tau = np.stack([Xf[:, 1] - Xf[:, 0], Xf[:, 2] - Xf[:, 0]], axis=1)   # (F, 2, 3)
        ends = np.array([[0, 1], [0, 2], [1, 2]])
        tf = Xf[:, ends[:, 1]] - Xf[:, ends[:, 0]]                           # (F, 3, 3)
        face_rows = 2 * E + 2 * np.arange(len(F))[:, None] + np.arange(2)   # (F, 2)
        for v in range(3):
            hit = (ends == v).astype(float)                                  # (3 edges, 2 ends)
            alpha = 0.5 * (hit[:, 0] + hit[:, 1])[None, :, None] * tf       # (F, 3, comp)
            beta = 0.5 * (hit[:, 0] - hit[:, 1])[None, :, None] * tf
            c = _face_coefficients(tau / 6.0, np.concatenate([alpha, beta], 1))  # (F, 2, comp)
            rows.append(face_rows.reshape(-1))
            cols.append(np.repeat(F[:, v], 2))
            vals.append(c.reshape(-1, 3))
        R, C, V = np.concatenate(rows), np.concatenate(cols), np.concatenate(vals)
        out = []
        for k in range(3):
            higher = sp.csr_matrix((V[:, k], (R, C)), shape=(self.num_dofs, m.num_nodes))
            P = sp.vstack([Pi[k], higher[E:]], format="csr")
            P.eliminate_zeros()
            out.append(P)
        return tuple(out)

    # -- fields at points --------------------------------------------------------------------
    def field(self, x, el, bary):
        """The field and its curl at points given by their elements ``el`` (P,) and
        barycentric coordinates ``bary`` (P, 4): two (P, 3) arrays (values mapped with
        J^{-T}, curls with J / det J), from the coefficients ``x``. NumPy evaluation."""
        m = self.mesh
        el = np.asarray(el, dtype=np.int64).reshape(-1)
        bary = np.asarray(bary, dtype=np.float64).reshape(-1, 4)
        val, curl = self._reference(el, bary)
        coef = np.asarray(x, dtype=np.float64)[self.glob_ids[el]]            # (P, n)
        X = m.nodes[m.cells[el]]
        J = np.transpose(X[:, 1:] - X[:, :1], (0, 2, 1))                    # columns: edges
        a_ref = np.einsum("pk,pkr->pr", coef, val)
        c_ref = np.einsum("pk,pkr->pr", coef, curl)
        A = np.linalg.solve(np.transpose(J, (0, 2, 1)), a_ref[..., None])[..., 0]
        B = np.einsum("pkl,pl->pk", J, c_ref) / np.linalg.det(J)[:, None]
        return A, B


def element_arrays(cells, glob_ids, orientations, elements) -> dict:
    """Flat arrays of the given ``elements`` (index array) for the compiled functions:
    ``cells`` and ``glob_ids`` flat (int32 as given), ``orientations`` contiguous, and
    ``elements`` itself. Shared by the one-process and the distributed assembly."""
    idx = np.asarray(elements)
    return {
        "cells": np.ascontiguousarray(cells[idx]).reshape(-1),
        "glob_ids": np.ascontiguousarray(glob_ids[idx]).reshape(-1),
        "orientations": np.ascontiguousarray(orientations[idx]),
        "elements": idx,
    }


def region_arrays(mesh, region, glob_ids=None, orientations=None) -> dict:
    """Flat arrays of one region's elements (``region`` an int or a boolean mask (E,))
    for the compiled functions, with the mesh's edge numbering and orientation classes
    or the given ones (``glob_ids`` (E, n), ``orientations`` (E,)); see
    :func:`element_arrays`. ValueError for a mask of the wrong length."""
    mask = (mesh.regions == region) if np.isscalar(region) else np.asarray(region, bool)
    if mask.shape != (mesh.num_el,):
        raise ValueError("region mask needs one entry per element")
    return element_arrays(mesh.cells, mesh.glob_ids if glob_ids is None else glob_ids,
                          mesh.orientations if orientations is None else orientations,
                          np.flatnonzero(mask))


def p2_connectivity(mesh):
    """Quadratic (P2) nodes and cells on the same tetrahedra.

    Returns ``(nodes2, cells2)``: ``nodes2`` is (num_nodes + num_edges, 3) in m, the mesh
    nodes followed by the edge midpoints in edge-id order; ``cells2`` is (num_el, 10)
    int32, the 4 vertices then the midpoints of the local edges (0,1), (0,2), (0,3),
    (1,2), (1,3), (2,3), matching :func:`fluxkern_tools.fem.elements.p2`.
    """
    mids = 0.5 * (mesh.nodes[mesh.edges[:, 0]] + mesh.nodes[mesh.edges[:, 1]])
    nodes2 = np.vstack([mesh.nodes, mids])
    cells2 = np.hstack([mesh.cells, mesh.num_nodes + mesh.glob_ids]).astype(np.int32)
    return nodes2, np.ascontiguousarray(cells2)


class NodalSpace:
    """Lagrange unknowns of ``degree`` 1 (the mesh nodes) or 2 (the nodes, then the
    edge midpoints in edge-id order) on a :class:`~fluxkern_tools.meshes.Mesh`.

    Attributes: ``nodes`` (N, 3) in m, ``cells`` (E, 4 or 10) int32, ``num_dofs``.
    ValueError for another degree.
    """

    def __init__(self, mesh, degree: int = 1):
        if degree not in (1, 2):
            raise ValueError("degree must be 1 or 2")
        self.mesh, self.degree = mesh, int(degree)
        if degree == 1:
            self.nodes, self.cells = mesh.nodes, mesh.cells
        else:
            self.nodes, self.cells = p2_connectivity(mesh)

    @property
    def num_dofs(self) -> int:
        """Number of unknowns."""
        return len(self.nodes)

    def boundary_dofs(self, node_ids, edge_ids) -> np.ndarray:
        """Sorted unknowns (int64) on the given boundary nodes and edges (ids)."""
        fixed = (node_ids if self.degree == 1 else
                 np.concatenate([node_ids, self.mesh.num_nodes + np.asarray(edge_ids)]))
        return np.unique(fixed).astype(np.int64)

    def region_cells(self, region) -> np.ndarray:
        """Flat cells (the compiled functions' layout) of the elements of ``region``."""
        return np.ascontiguousarray(self.cells[self.mesh.regions == region]).reshape(-1)


def _face_coefficients(moments, ce):
    """Face coefficients (F, 2, ...) from the face moments (F, 2, ...) and the
    coefficients (F, 6, ...) of the face's edge functions, whose share of the moments is
    removed first."""
    M, Em = nedelec2.face_system()
    rest = moments - np.moveaxis(np.tensordot(Em, ce, axes=(1, 1)), 0, 1)
    return np.moveaxis(np.tensordot(np.linalg.inv(M), rest, axes=(1, 1)), 0, 1)


def _sample(field, pts):
    shape = pts.shape
    u = np.asarray(field(pts.reshape(-1, 3)), dtype=np.float64)
    return u.reshape(shape)
