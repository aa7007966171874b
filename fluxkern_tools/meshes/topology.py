"""Tetrahedral mesh topology: positive orientation, edge and face numbering, boundaries.

A :class:`Mesh` holds linear tetrahedra with every element positively oriented, the
unique edges with a global numbering (edge i runs from ``edges[i, 0]`` to ``edges[i, 1]``,
the lower global node index first), per-element global edge ids in the local edge
order of :mod:`fluxkern_tools.fem.elements` and the orientation class of every element.
Coordinates are in metres.

The compiled functions count elements by ``len(cells) / el_nodes``, so they must get the
connectivity flat: pass ``mesh.cells_flat`` (and ``mesh.glob_ids_flat``), never the
two-dimensional ``mesh.cells``.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from functools import cached_property
from typing import Iterable

import numpy as np

from ..fem.elements import GRAD_LAMBDA, LOCAL_EDGES, orientation_class
from ..fem.spaces import region_arrays



def _load_kernels():
    """The compiled topology kernels (``fluxkern_topology``, built beside
    ``fluxkern_mod``), or None: NumPy then does the same work."""
    try:
        import fluxkern_topology
    except ImportError:
        return None
    return fluxkern_topology


_ext = _load_kernels()

__all__ = ["Mesh", "FACES"]

# Faces of a tetrahedron, face i opposite local vertex i, ordered so that the normal
# (right-hand rule) points outwards for a positively oriented element.
FACES = np.array([[1, 2, 3], [0, 3, 2], [0, 1, 3], [0, 2, 1]], dtype=np.int64)

def _signed_volumes(nodes: np.ndarray, cells: np.ndarray) -> np.ndarray:
    x0 = nodes[cells[:, 0]]
    d1 = nodes[cells[:, 1]] - x0
    d2 = nodes[cells[:, 2]] - x0
    d3 = nodes[cells[:, 3]] - x0
    return np.einsum("ij,ij->i", d1, np.cross(d2, d3)) / 6.0


def _pair_keys(a: np.ndarray, b: np.ndarray, n: int) -> np.ndarray:
    lo, hi = np.minimum(a, b).astype(np.int64), np.maximum(a, b).astype(np.int64)
    return lo * n + hi


@dataclass
class Mesh:
    """Positively oriented linear tetrahedral mesh with edge numbering.

    Attributes
    ----------
    nodes : (num_nodes, 3) float64, m
    cells : (num_el, 4) int32, node indices per element (positive orientation)
    regions : (num_el,) int32, material region of every element
    edges : (num_edges, 2) int32, unique edges, lower node index first
    glob_ids : (num_el, 6) int32, global edge id of each local edge
    orientations : (num_el,) int32, orientation class (bit k: local edge k reversed)
    boundary_faces : (num_bfaces, 3) int32, faces with one adjacent element
    boundary_nodes : (n,) int32, sorted node ids on the boundary
    boundary_edges : (n,) int32, sorted edge ids on the boundary
    region_names : dict name -> region id (gmsh physical volumes)
    surface_groups : dict name -> (F, 3) int32 triangles (gmsh physical surfaces)
    """

    nodes: np.ndarray
    cells: np.ndarray
    regions: np.ndarray
    edges: np.ndarray
    glob_ids: np.ndarray
    orientations: np.ndarray
    boundary_faces: np.ndarray
    boundary_nodes: np.ndarray
    boundary_edges: np.ndarray
    info: dict = field(default_factory=dict)
    region_names: dict = field(default_factory=dict)
    surface_groups: dict = field(default_factory=dict)

    # -- construction -------------------------------------------------------------------
    @classmethod
    def from_cells(cls, nodes, cells, regions=None, repair_orientation: bool = True,
                   rel_tol: float = 1e-12) -> "Mesh":
        """Build a mesh from node coordinates (m) and tetrahedra (E, 4).

        Negatively oriented elements are repaired by swapping their local nodes 2 and 3
        (or rejected with ``repair_orientation=False``). Degenerate elements (volume below
        ``rel_tol`` times the cube of the element's longest edge) and out-of-range node indices raise
        ValueError. ``regions`` is one integer per element (default 0).
        """
        X = np.ascontiguousarray(nodes, dtype=np.float64)
        if X.ndim != 2 or X.shape[1] != 3:
            raise ValueError(f"nodes must have shape (num_nodes, 3), got {X.shape}")
        if not np.all(np.isfinite(X)):
            raise ValueError("node coordinates must be finite")
        C = np.array(cells, dtype=np.int64, copy=True, order="C")
        if C.ndim != 2 or C.shape[1] != 4:
            raise ValueError(f"cells must have shape (num_el, 4), got {C.shape}")
        if len(C) == 0:
            raise ValueError("a mesh needs at least one element")
        if C.min() < 0 or C.max() >= len(X):
            raise ValueError("cells reference nodes outside 0 .. num_nodes - 1")
        if len(X) >= 2**31 or 6 * len(C) >= 2**31:
            raise ValueError("mesh too large for 32-bit indices")
        neg = _orient(X, C, rel_tol, repair_orientation)
        if regions is None:
            R = np.zeros(len(C), dtype=np.int32)
        else:
            R = np.asarray(regions).astype(np.int32).reshape(-1)
            if len(R) != len(C):
                raise ValueError("regions needs one entry per element")
        C = C.astype(np.int32)
        edges, glob_ids, orient, bfaces, bnodes, bedges = _connect(C, len(X))
        return cls(X, np.ascontiguousarray(C), R, edges, np.ascontiguousarray(glob_ids),
                   orient, bfaces, bnodes, bedges, {"repaired": neg})

    # -- sizes and flat views for the compiled functions ---------------------------------
    @property
    def num_nodes(self) -> int:
        """Number of nodes."""
        return len(self.nodes)

    @property
    def num_el(self) -> int:
        """Number of elements."""
        return len(self.cells)

    @property
    def num_edges(self) -> int:
        """Number of unique edges (lowest-order edge-element dofs)."""
        return len(self.edges)

    @property
    def cells_flat(self) -> np.ndarray:
        """Connectivity as one flat int32 array (what the compiled functions count)."""
        return self.cells.reshape(-1)

    @property
    def glob_ids_flat(self) -> np.ndarray:
        """Global edge ids as one flat int32 array, element-major."""
        return self.glob_ids.reshape(-1)

    # -- geometry ------------------------------------------------------------------------
    def jacobians(self, elements=None) -> np.ndarray:
        """Element Jacobians (E, 3, 3): J[e, k, l] = d x_k / d xhat_l (dimensionless m/1),
        of all elements or of the ids ``elements``."""
        X, C = self.nodes, (self.cells if elements is None else self.cells[elements])
        return np.stack([X[C[:, 1]] - X[C[:, 0]], X[C[:, 2]] - X[C[:, 0]],
                         X[C[:, 3]] - X[C[:, 0]]], axis=2)

    def volumes(self) -> np.ndarray:
        """Element volumes in m^3 (positive for every element of a Mesh)."""
        return _signed_volumes(self.nodes, self.cells)

    def centroids(self) -> np.ndarray:
        """Element centroids (E, 3) in m."""
        return self.nodes[self.cells].mean(axis=1)

    def map_points(self, ref_points) -> np.ndarray:
        """Physical coordinates (E, M, 3) in m of reference points (M, 3) in every element."""
        p = np.asarray(ref_points, dtype=np.float64).reshape(-1, 3)
        lam = np.column_stack([1 - p.sum(axis=1), p])
        return np.einsum("ma,eak->emk", lam, self.nodes[self.cells])

    # -- regions -------------------------------------------------------------------------
    def assign_regions(self, rules: Iterable, default: int = 0) -> None:
        """Set ``regions`` from ``(region_id, predicate)`` pairs applied in order.

        ``predicate`` maps centroids (E, 3) in m to a boolean mask; later rules override
        earlier ones; elements matched by no rule get ``default``.
        """
        self.regions = _regions_from_rules(self.centroids(), rules, default)

    def region_arrays(self, region) -> dict:
        """Flat arrays of the elements of one region (an int or a boolean mask (E,)).

        Returns a dict with ``cells`` (flat int32), ``glob_ids`` (flat int32),
        ``orientations`` (int32) and ``elements`` (the selected element indices), ready to
        pass to the compiled functions together with the full ``nodes``; the global
        numbering of nodes and edges is unchanged. See
        :func:`fluxkern_tools.fem.spaces.region_arrays`.
        """
        return region_arrays(self, region)

    def barycentric_gradients(self, elements) -> np.ndarray:
        """Physical gradients (P, 4, 3) in 1/m of the barycentric coordinates in the
        given ``elements`` (P,)."""
        Jinv = np.linalg.inv(self.jacobians(elements))          # (P, 3, 3): d xhat / d x
        return np.einsum("al,plk->pak", GRAD_LAMBDA, Jinv)

    # -- faces (numbered on first use; the second-order edge elements need them) -------
    @cached_property
    def _face_numbering(self):
        if _ext is not None:
            return _ext.face_numbering(np.ascontiguousarray(self.cells, dtype=np.int32),
                                       self.num_nodes)
        sf = np.sort(self.cells[:, FACES], axis=2).reshape(-1, 3)
        keys = _triple_keys(sf, self.num_nodes)
        if keys is None:
            faces, inv = np.unique(sf, axis=0, return_inverse=True)
        else:
            # One integer per face sorts ten times faster than rows of three.
            _, first, inv = np.unique(keys, return_index=True, return_inverse=True)
            faces = sf[first]
        return faces.astype(np.int32), inv.reshape(self.num_el, 4).astype(np.int32)

    @property
    def faces(self) -> np.ndarray:
        """Unique faces (num_faces, 3) int32, node indices ascending, in lexicographic
        order; face id = row."""
        return self._face_numbering[0]

    @property
    def face_ids(self) -> np.ndarray:
        """Global face id (num_el, 4) int32 of every local face (face i opposite local
        vertex i)."""
        return self._face_numbering[1]

    @property
    def num_faces(self) -> int:
        """Number of unique faces."""
        return len(self.faces)

    def face_index(self, triangles) -> np.ndarray:
        """Face ids (F,) int32 of triangles (F, 3) given by their nodes in any order;
        ValueError for a triangle that is no face of the mesh."""
        t = np.sort(np.asarray(triangles, dtype=np.int64).reshape(-1, 3), axis=1)
        f = self.faces
        fk, tk = _triple_keys(f, self.num_nodes), _triple_keys(t, self.num_nodes)
        if fk is None:
            # The faces are unique and sorted, so they keep their ids among the union.
            u, inv = np.unique(np.vstack([f, t]), axis=0, return_inverse=True)
            if len(u) != len(f):
                raise ValueError("a triangle is no face of the mesh")
            return inv.reshape(-1)[len(f):].astype(np.int32)
        idx = np.minimum(np.searchsorted(fk, tk), max(len(fk) - 1, 0))
        if len(t) and (len(fk) == 0 or not np.array_equal(fk[idx], tk)):
            raise ValueError("a triangle is no face of the mesh")
        return idx.astype(np.int32)

    def interior_edges(self) -> np.ndarray:
        """Ids of the edges that do not lie on the boundary."""
        keep = np.ones(self.num_edges, bool)
        keep[self.boundary_edges] = False
        return np.flatnonzero(keep).astype(np.int32)

    def interior_nodes(self) -> np.ndarray:
        """Ids of the nodes that do not lie on the boundary."""
        keep = np.ones(self.num_nodes, bool)
        keep[self.boundary_nodes] = False
        return np.flatnonzero(keep).astype(np.int32)

    def region_id(self, name: str) -> int:
        """Region id of the physical volume ``name`` (from a gmsh file)."""
        try:
            return int(self.region_names[name])
        except KeyError:
            raise KeyError(f"no region named {name!r}; the mesh has "
                           f"{sorted(self.region_names) or 'no named regions'}") from None

    def boundary_part(self, predicate) -> tuple:
        """Nodes and edges of a part of the boundary.

        ``predicate`` is a callable mapping boundary-face centroids (F, 3) in m to a
        boolean mask, e.g. ``lambda c: np.abs(c[:, 2]) > 1e-9`` for every face off the
        plane z = 0; or the name of a physical surface (from a gmsh file), or a list of
        such names. Returns ``(node_ids, edge_ids)``, sorted int32 arrays: where
        boundary conditions apply to only a part of the surface (symmetry planes keep
        their natural condition).
        """
        f = self.boundary_triangles(predicate)
        n = self.num_nodes
        ekeys = _pair_keys(self.edges[:, 0], self.edges[:, 1], n)
        fe = f[:, [[0, 1], [1, 2], [0, 2]]].reshape(-1, 2)
        keys = np.unique(_pair_keys(fe[:, 0], fe[:, 1], n))
        idx = np.minimum(np.searchsorted(ekeys, keys), len(ekeys) - 1)
        if not np.array_equal(ekeys[idx], keys):
            raise ValueError("the surface has edges that no element has")
        return np.unique(f).astype(np.int32), idx.astype(np.int32)

    def boundary_triangles(self, predicate) -> np.ndarray:
        """The triangles (F, 3) int32 of a part of the boundary, selected as in
        :meth:`boundary_part` (a predicate on face centroids or surface name(s)), or
        the whole boundary for None."""
        if predicate is None:
            return self.boundary_faces
        if isinstance(predicate, str) or (isinstance(predicate, (list, tuple)) and predicate
                                          and all(isinstance(p, str) for p in predicate)):
            names = [predicate] if isinstance(predicate, str) else list(predicate)
            missing = [n for n in names if n not in self.surface_groups]
            if missing:
                raise KeyError(f"no surface named {missing}; the mesh has "
                               f"{sorted(self.surface_groups) or 'no named surfaces'}")
            f = np.vstack([self.surface_groups[n] for n in names]).astype(np.int32)
        else:
            f = self.boundary_faces
            m = np.asarray(predicate(self.nodes[f].mean(axis=1)), dtype=bool).reshape(-1)
            if m.shape != (len(f),):
                raise ValueError("a face predicate must return one boolean per boundary face")
            f = f[m]
        return f


def _orient(X, C, rel_tol, repair) -> int:
    """Reject elements that repeat a node or are degenerate, repair (or reject)
    negatively oriented ones by swapping local nodes 2 and 3 of ``C`` (int64, in place);
    returns the number repaired."""
    if _ext is not None:
        status, count, first, neg = _ext.orient(X, C, float(rel_tol), bool(repair))
        if status == 1:
            raise ValueError("an element repeats a node")
        if status == 2:
            _raise_degenerate(count, first, C, rel_tol)
        if status == 3:
            raise ValueError(f"{count} negatively oriented element(s)")
        return neg
    return _orient_numpy(X, C, rel_tol, repair)


def _raise_degenerate(count, first, C, rel_tol):
    raise ValueError(f"{count} degenerate element(s) (volume below {rel_tol:g} "
                     f"times the cube of the longest edge), e.g. element "
                     f"{first} with nodes {C[first].tolist()}")


def _orient_numpy(X, C, rel_tol, repair) -> int:
    if np.any(np.sort(C, axis=1)[:, 1:] == np.sort(C, axis=1)[:, :-1]):
        raise ValueError("an element repeats a node")
    vol = _signed_volumes(X, C)
    # Flatness against the element's own size, so that strongly graded meshes
    # (tiny elements in a gap, large ones in the air) are judged fairly.
    P = X[C]
    lmax = np.max(np.linalg.norm(P[:, LOCAL_EDGES[:, 1]] - P[:, LOCAL_EDGES[:, 0]],
                                 axis=2), axis=1)
    flat = np.abs(vol) <= rel_tol * lmax ** 3
    if np.any(flat):
        bad = np.flatnonzero(flat)
        _raise_degenerate(len(bad), bad[0], C, rel_tol)
    neg = vol < 0
    if np.any(neg):
        if not repair:
            raise ValueError(f"{int(neg.sum())} negatively oriented element(s)")
        C[neg] = C[neg][:, [0, 1, 3, 2]]
    return int(neg.sum())


def _connect(C, n):
    """Edges, global edge ids, orientation classes and the boundary of the positively
    oriented int32 cells ``C``; ValueError for a non-manifold or folded mesh."""
    if _ext is None:
        return _connect_numpy(C, n)
    status, edges, glob_ids, orient, folds, fold_el, bfaces, bnodes, bedges = \
        _ext.connect(C, n)
    if status == 1:
        raise ValueError("non-manifold mesh: a face is shared by more than two elements")
    if status == 2:
        _raise_folds(folds, fold_el)
    return edges, glob_ids, orient, bfaces, bnodes, bedges


def _connect_numpy(C, n):
    # Unique edges, numbered in lexicographic order of (low, high) node.
    a = C[:, LOCAL_EDGES[:, 0]].ravel()
    b = C[:, LOCAL_EDGES[:, 1]].ravel()
    keys = _pair_keys(a, b, n)
    ukeys, inv = _unique_inverse(keys)
    edges = np.column_stack([ukeys // n, ukeys % n]).astype(np.int32)
    glob_ids = inv.reshape(len(C), 6).astype(np.int32)
    orient = orientation_class(C)

    # Boundary faces: the faces that belong to exactly one element. One sort of the
    # faces gives them, the non-manifold check and the fold check.
    faces = C[:, FACES].reshape(-1, 3)
    sf = np.sort(faces, axis=1)
    order, repeat = _sort_triples(sf, n)
    starts = np.flatnonzero(~repeat)
    counts = np.diff(np.append(starts, len(sf)))
    if np.any(counts > 2):
        raise ValueError("non-manifold mesh: a face is shared by more than two elements")
    _check_folds(faces, order, repeat)
    first = order[starts]
    bfaces = faces[first[counts == 1]].astype(np.int32)
    bnodes = np.unique(bfaces).astype(np.int32)
    fe = bfaces[:, [[0, 1], [1, 2], [0, 2]]].reshape(-1, 2)
    bkeys = np.unique(_pair_keys(fe[:, 0], fe[:, 1], n))
    bedges = np.searchsorted(ukeys, bkeys).astype(np.int32)
    return edges, glob_ids, orient, bfaces, bnodes, bedges


def _triple_keys(sorted_triples, n):
    """One int64 per sorted node triple, in lexicographic order, or None when n^3
    does not fit."""
    if len(sorted_triples) and sorted_triples.min() < 0:
        raise ValueError("negative node index")
    if n >= 2**21:
        return None
    t = np.asarray(sorted_triples, dtype=np.int64).reshape(-1, 3)
    return (t[:, 0] * n + t[:, 1]) * n + t[:, 2]


def _unique_inverse(keys):
    """``np.unique(keys, return_inverse=True)`` for int64 keys, by a stable sort: the
    element-major keys of a mesh come in long ascending runs, which it exploits (7x
    faster than the default sort on a structured mesh of 1.6M elements)."""
    order = np.argsort(keys, kind="stable")
    k = keys[order]
    new = np.empty(len(k), dtype=bool)
    new[:1] = True
    np.not_equal(k[1:], k[:-1], out=new[1:])
    inv = np.empty(len(k), dtype=np.int64)
    inv[order] = np.cumsum(new) - 1
    return k[new], inv


def _sort_triples(sorted_triples, n):
    """Order of the rows of ``sorted_triples`` (F, 3) that sorts them (stable), and a
    mask over the sorted rows: True where a row equals the one before it."""
    keys = _triple_keys(sorted_triples, n)
    if keys is None:
        t = sorted_triples
        order = np.lexsort((t[:, 2], t[:, 1], t[:, 0]))
        st = t[order]
        same = np.all(st[1:] == st[:-1], axis=1)
    else:
        order = np.argsort(keys, kind="stable")
        k = keys[order]
        same = k[1:] == k[:-1]
    return order, np.concatenate([[False], same])


def _check_folds(faces, order, repeat) -> None:
    """Raise if two elements lie on the same side of their common face.

    After the orientation repair every element lists its faces with outward normals,
    so a face shared by two well-placed elements appears once in each vertex order
    (the permutation parities differ); equal parities mean the elements overlap: an
    inverted (folded) element. ``order`` and ``repeat`` come from :func:`_sort_triples`."""
    f = faces
    parity = ((f[:, 0] > f[:, 1]).astype(np.int8) + (f[:, 0] > f[:, 2])
              + (f[:, 1] > f[:, 2])) % 2
    pair = np.flatnonzero(repeat)
    same = parity[order[pair - 1]] == parity[order[pair]]
    if np.any(same):
        _raise_folds(int(same.sum()), int(order[pair[same]][0] // 4))


def _raise_folds(count, element):
    raise ValueError(f"{count} face(s) with both elements on one side: "
                     f"inverted (folded) elements, e.g. element {element}; "
                     "check the mesh's quality")


def _regions_from_rules(centroids, rules, default) -> np.ndarray:
    R = np.full(len(centroids), int(default), dtype=np.int32)
    for rid, pred in (rules or []):
        m = np.asarray(pred(centroids), dtype=bool).reshape(-1)
        if m.shape != (len(centroids),):
            raise ValueError("a region predicate must return one boolean per element")
        R[m] = int(rid)
    return R
