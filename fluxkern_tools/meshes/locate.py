"""Point location in tetrahedral meshes: which element holds a point, and where in it.

A KD-tree over the element centroids (``scipy.spatial.cKDTree``) proposes the nearest
elements, and a barycentric test decides. A point inside an element is nearer to its
centroid than the element's farthest vertex, so points that none of the first
candidates holds are checked against every element within that reach: the search is
exact, and points outside the mesh are reported as such. A point on a face or an edge
shared by several elements is given to one of them.
"""

from __future__ import annotations

import warnings

import numpy as np

__all__ = ["PointLocator", "locator", "locate", "barycentric"]


def barycentric(nodes, cells, elements, points) -> np.ndarray:
    """Barycentric coordinates (P, 4) of ``points`` (P, 3; m) in ``elements`` (P,)."""
    X = nodes[cells[elements]]                             # (P, 4, 3)
    J = np.transpose(X[:, 1:] - X[:, :1], (0, 2, 1))       # columns: edges from vertex 0
    lam = np.linalg.solve(J, (points - X[:, 0])[..., None])[..., 0]
    return np.column_stack([1.0 - lam.sum(axis=1), lam])


class PointLocator:
    """Locates points in a :class:`~fluxkern_tools.meshes.Mesh`.

    ``tol`` is the barycentric tolerance: a point counts as inside an element when no
    barycentric coordinate is below -tol (points on faces, within rounding).
    """

    def __init__(self, mesh, tol: float = 1e-10, candidates: int = 8):
        from scipy.spatial import cKDTree

        self.mesh = mesh
        self.tol = float(tol)
        self.k = max(1, min(int(candidates), mesh.num_el))
        cen = self._cen = mesh.centroids()
        self._tree = cKDTree(cen)
        self._reach = np.linalg.norm(mesh.nodes[mesh.cells] - cen[:, None], axis=2).max(axis=1)
        self._max_reach = float(self._reach.max())

    def _test(self, el, pts):
        lam = barycentric(self.mesh.nodes, self.mesh.cells, el, pts)
        return lam, lam.min(axis=1) >= -self.tol

    def find(self, points):
        """Element of every point and its barycentric coordinates.

        Returns ``(elements (P,) int64, bary (P, 4))``; points outside the mesh get
        element -1 and NaN coordinates.
        """
        P = np.asarray(points, dtype=np.float64)
        if P.ndim != 2 or P.shape[1] != 3:
            raise ValueError(f"points must have shape (P, 3), got {P.shape}")
        n = len(P)
        el = np.full(n, -1, dtype=np.int64)
        bary = np.full((n, 4), np.nan)
        finite = np.all(np.isfinite(P), axis=1)
        todo = np.flatnonzero(finite)
        if len(todo) == 0:
            return el, bary
        _, cand = self._tree.query(P[todo], k=self.k)
        cand = cand.reshape(len(todo), -1)
        for j in range(cand.shape[1]):
            if len(todo) == 0:
                break
            lam, ok = self._test(cand[:, j], P[todo])
            hit = todo[ok]
            el[hit], bary[hit] = cand[ok, j], lam[ok]
            todo, cand = todo[~ok], cand[~ok]
        # The rest: every element whose centroid is within its own reach of the point.
        for i in todo:
            near = np.asarray(self._tree.query_ball_point(P[i], self._max_reach), dtype=np.int64)
            if len(near) == 0:
                continue
            d = np.linalg.norm(self._cen[near] - P[i], axis=1)
            near = near[d <= self._reach[near] * (1 + 1e-12)]
            if len(near) == 0:
                continue
            lam, ok = self._test(near, np.broadcast_to(P[i], (len(near), 3)))
            if np.any(ok):
                k = int(np.argmax(ok))
                el[i], bary[i] = near[k], lam[k]
        return el, bary


def locator(mesh) -> PointLocator:
    """The mesh's :class:`PointLocator`, built on first use and kept with the mesh."""
    loc = getattr(mesh, "_locator", None)
    if loc is None or loc.mesh is not mesh:
        loc = PointLocator(mesh)
        object.__setattr__(mesh, "_locator", loc)
    return loc


def locate(mesh, points, outside: str = "nan"):
    """``(elements, bary)`` of ``points`` in ``mesh`` (see :meth:`PointLocator.find`).

    ``outside`` says what points outside the mesh do: "nan" (element -1, a
    ``RuntimeWarning`` with their count) or "raise" (``ValueError``). A point with a
    NaN or infinite coordinate is no position at all and raises ``ValueError``
    whatever ``outside`` says.
    """
    if outside not in ("nan", "raise"):
        raise ValueError("outside must be 'nan' or 'raise'")
    P = np.asarray(points, dtype=np.float64)
    if P.ndim == 2 and P.shape[1] == 3:
        bad = ~np.all(np.isfinite(P), axis=1)
        if np.any(bad):
            raise ValueError(f"{int(bad.sum())} of {len(P)} point(s) have a non-finite "
                             f"coordinate (first: {P[np.argmax(bad)]} m)")
    el, bary = locator(mesh).find(points)
    out = el < 0
    if np.any(out):
        msg = (f"{int(out.sum())} of {len(el)} point(s) lie outside the mesh "
               f"(first: {np.asarray(points, dtype=float).reshape(-1, 3)[np.argmax(out)]} m)")
        if outside == "raise":
            raise ValueError(msg)
        warnings.warn(msg + "; their values are NaN", RuntimeWarning, stacklevel=3)
    return el, bary
