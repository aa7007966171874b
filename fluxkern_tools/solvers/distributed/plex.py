"""Meshes refined in parallel with PETSc's DMPlex: no process ever holds the fine mesh.

The coarse mesh (a :class:`~fluxkern_tools.meshes.Mesh`, or a file read with
:func:`fluxkern_tools.meshes.read`) is built on the root only, handed to DMPlex with
its regions (label ``"Cell Sets"``), its whole boundary (label ``"boundary"``) and its
named surfaces (one label ``"surface <name>"`` each), distributed by PETSc's
partitioner and then refined uniformly ``levels`` times on every process (each level
splits a tetrahedron into 8; the labels go to the children). Every process then reads
its own cells, edges (the depth-1 points) and vertices and numbers them globally with
the point star forest (PetscSF): a point shared by several processes is owned by the
one that holds it as a root, numbered there, and the number is sent to the others.

The result is the same per-process piece as the whole-mesh path builds on the root
(:meth:`~.vector_potential.DistributedVectorPotential._pieces`): cells positively
oriented, the local edges in the order of :data:`~fluxkern_tools.fem.elements.LOCAL_EDGES`
and the orientation classes from the GLOBAL vertex numbers (an edge runs from its lower
to its higher global vertex number), so that the processes agree on every shared edge.

Uniform refinement puts the new nodes at edge midpoints: a curved surface (a sphere's
boundary or interface) keeps the facets of the coarse mesh, refined levels do not move
nodes onto it. Mesh a curved geometry finely enough to begin with.
"""

from __future__ import annotations

import time

import numpy as np

from ...fem.elements import LOCAL_EDGES, orientation_class
from .comm import petsc

__all__ = ["coarse_plex", "refine", "LocalMesh", "local_mesh", "refined_mesh",
           "edge_piece", "nodal_piece"]

BOUNDARY = "boundary"
REGIONS = "Cell Sets"


def _surface_label(name: str) -> str:
    return "surface " + name


def coarse_plex(mesh, comm, root: int = 0):
    """A DMPlex on ``comm`` holding ``mesh`` (a :class:`~fluxkern_tools.meshes.Mesh`,
    given on the root; ignored elsewhere) on the root and nothing elsewhere, with
    regions, the boundary and the named surfaces as labels. Collective.

    Returns ``(dm, names)``: the names of the surfaces (the same on every process).
    """
    PETSc = petsc()
    it = PETSc.IntType
    if comm.rank == root:
        cells, X = mesh.cells.astype(it), np.asarray(mesh.nodes, dtype=np.float64)
        names = sorted(mesh.surface_groups)
    else:
        cells, X, names = np.zeros((0, 4), dtype=it), np.zeros((0, 3)), None
    names = comm.bcast(names, root=root)
    dm = PETSc.DMPlex().createFromCellList(3, cells, X, interpolate=True, comm=comm)
    dm.createLabel(REGIONS)
    for name in names:
        dm.createLabel(_surface_label(name))
    if comm.rank == root:
        lab = dm.getLabel(REGIONS)
        for r in np.unique(mesh.regions).tolist():
            sel = np.flatnonzero(mesh.regions == r).astype(it)
            lab.setStratumIS(int(r), PETSc.IS().createGeneral(sel, comm=PETSc.COMM_SELF))
        if names:
            faces, fpoints = _face_vertices(dm)
            keys = _triple_keys(faces, len(X))
            order = np.argsort(keys)
            for name in names:
                tri = np.asarray(mesh.surface_groups[name], dtype=np.int64)
                k = _triple_keys(tri, len(X))
                pos = np.minimum(np.searchsorted(keys[order], k), len(order) - 1)
                if len(k) and not np.array_equal(keys[order][pos], k):
                    raise ValueError(f"surface {name!r} has triangles that are no "
                                     "element's faces")
                pts = fpoints[order[pos]].astype(it)
                dm.getLabel(_surface_label(name)).setStratumIS(
                    1, PETSc.IS().createGeneral(pts, comm=PETSc.COMM_SELF))
    dm.markBoundaryFaces(BOUNDARY, 1)
    return dm, names


def refine(dm, levels: int):
    """``dm`` distributed over its communicator and refined uniformly ``levels`` times
    (x 8 tetrahedra each, labels inherited); returns the new DMPlex and the seconds of
    ``{"distribute", "refine"}``. Collective."""
    if int(levels) < 0:
        raise ValueError("levels must be >= 0")
    t0 = time.perf_counter()
    if dm.getComm().getSize() > 1:
        dm.distribute()
    t1 = time.perf_counter()
    for _ in range(int(levels)):
        dm.setRefinementUniform(True)
        dm = dm.refine()
    return dm, {"distribute": t1 - t0, "refine": time.perf_counter() - t1}


def _triple_keys(tri, n):
    s = np.sort(np.asarray(tri, dtype=np.int64), axis=1)
    return (s[:, 0] * n + s[:, 1]) * n + s[:, 2]


def _libpetsc():
    """The PETSc library petsc4py runs on, opened with ctypes (Linux: found among the
    loaded libraries), or None."""
    import ctypes

    try:
        with open("/proc/self/maps") as f:
            paths = {ln.split()[-1] for ln in f if "libpetsc" in ln and ".so" in ln}
    except OSError:
        return None
    return ctypes.CDLL(sorted(paths)[0]) if len(paths) == 1 else None


def _all_cones(dm):
    """Every cone of the tetrahedral DMPlex ``dm`` at once: ``(flat, offsets)`` by point,
    or None where that cannot be had (then the caller asks point by point).

    petsc4py 3.18 has no binding of DMPlexGetCones; calling the C function through
    ctypes reads the cones in one go instead of one Python call per point (2 s of 3 on
    a million cells). The layout (cone sizes 4, 3, 2, 0 by depth, in point order) is
    checked against the cone section's size and against some points' cones."""
    import ctypes

    PETSc = petsc()
    try:
        lib = _libpetsc()
        if lib is None:
            return None
        ct = ctypes.c_int32 if np.dtype(PETSc.IntType).itemsize == 4 else ctypes.c_int64
        h = ctypes.c_void_p(dm.handle)
        ptr, sec, size = ctypes.POINTER(ct)(), ctypes.c_void_p(), ct()
        if (lib.DMPlexGetCones(h, ctypes.byref(ptr))
                or lib.DMPlexGetConeSection(h, ctypes.byref(sec))
                or lib.PetscSectionGetStorageSize(sec, ctypes.byref(size))):
            return None
        p0, p1 = dm.getChart()
        sizes = np.zeros(p1 - p0, dtype=np.int64)
        for depth, k in ((3, 4), (2, 3), (1, 2)):
            a, b = dm.getDepthStratum(depth)
            sizes[a - p0:b - p0] = k
        n = int(sizes.sum())
        if size.value != n or p0 != 0:
            return None
        flat = (np.ctypeslib.as_array(ptr, shape=(n,)).astype(np.int64) if n
                else np.zeros(0, dtype=np.int64))
        off = np.cumsum(sizes) - sizes
        for p in np.unique(np.linspace(0, max(p1 - 1, 0), 101).astype(np.int64)):
            if p1 and not np.array_equal(flat[off[p]:off[p] + sizes[p]], dm.getCone(int(p))):
                return None
        return flat, off
    except (OSError, AttributeError, TypeError, ValueError):
        return None


class _Cones:
    """Cones of the points of a tetrahedral DMPlex as arrays (see :func:`_all_cones`)."""

    def __init__(self, dm):
        self.dm = dm
        self.table = _all_cones(dm)

    def of(self, points, k):
        """Cones (P, k) int64 of ``points`` (all of size ``k``)."""
        pts = np.asarray(points, dtype=np.int64).reshape(-1)
        if not len(pts):
            return np.zeros((0, k), dtype=np.int64)
        if self.table is not None:
            flat, off = self.table
            return flat[off[pts][:, None] + np.arange(k)]
        g = self.dm.getCone
        return np.concatenate([g(int(p)) for p in pts]).astype(np.int64).reshape(-1, k)


def _face_vertices(dm, faces=None, cones=None):
    """Local vertex numbers (F, 3) of the faces (plex points; default all) and the
    points themselves."""
    cones = cones if cones is not None else _Cones(dm)
    v0 = dm.getDepthStratum(0)[0]
    e0 = dm.getDepthStratum(1)[0]
    f0, f1 = dm.getDepthStratum(2)
    pts = np.arange(f0, f1) if faces is None else np.asarray(faces, dtype=np.int64)
    fe = cones.of(pts, 3)
    used = np.unique(fe)
    ends = np.zeros((int(used.max()) + 1 - e0 if len(used) else 0, 2), dtype=np.int64)
    ends[used - e0] = cones.of(used, 2) - v0
    v = np.sort(ends[fe - e0].reshape(len(fe), 6), axis=1)[:, ::2]  # each vertex twice
    return v, pts


class LocalMesh:
    """One process's part of a distributed DMPlex, as arrays.

    Attributes
    ----------
    coords : (V, 3) float64, m, the local vertices (owned and shared).
    cells : (E, 4) int32, local vertex numbers, positively oriented.
    regions : (E,) int32, region ids (label ``"Cell Sets"``).
    edges : (N, 2) int64, local vertex numbers of the local edges, lower global first.
    cell_edges : (E, 6) int64, local edge numbers in ``LOCAL_EDGES`` order.
    orientations : (E,) int32, orientation classes from the global vertex numbers.
    vertex_ids : (V,) int64, global vertex numbers; ``num_vertices`` their count.
    vertex_owned, edge_owned : bool masks, True where this process owns the point.
    """

    def __init__(self, dm, comm):
        PETSc = petsc()
        self.dm, self.comm = dm, comm
        self.chart = dm.getChart()[1]
        self.v0, v1 = dm.getDepthStratum(0)
        self.e0, e1 = dm.getDepthStratum(1)
        c0, c1 = dm.getHeightStratum(0)
        leaf = np.zeros(self.chart, dtype=bool)
        if comm.size > 1:
            _, ilocal, _ = dm.getPointSF().getGraph()
            leaf[np.asarray(ilocal, dtype=np.int64)] = True
        self.leaf = leaf
        nv = v1 - self.v0
        self.coords = dm.getCoordinatesLocal().getArray().reshape(-1, 3).copy()
        if len(self.coords) != nv:
            raise RuntimeError("the DMPlex coordinates do not match its vertices")
        self.vertex_owned, self.edge_owned = ~leaf[self.v0:v1], ~leaf[self.e0:e1]
        vid = self.number(np.arange(self.v0, v1))
        self.vertex_ids = vid[self.v0:v1]
        self.num_vertices = int(comm.allreduce(int(self.vertex_owned.sum())))
        # Cells: the vertices of their first face and the one of the second face off
        # it, then positively oriented.
        self._cones = cones = _Cones(dm)
        f0 = dm.getDepthStratum(2)[0]
        cf = cones.of(np.arange(c0, c1), 4)[:, :2]
        used = np.unique(cf)
        fv = np.zeros((int(used.max()) + 1 - f0 if len(used) else 0, 3), dtype=np.int64)
        fv[used - f0] = _face_vertices(dm, used, cones)[0]
        A, B = fv[cf[:, 0] - f0], fv[cf[:, 1] - f0]
        off = (B[:, :, None] != A[:, None, :]).all(axis=2)
        C = np.column_stack([A, B[off]]) if len(A) else np.zeros((0, 4), dtype=np.int64)
        X = self.coords
        d = X[C[:, 1:]] - X[C[:, :1]]
        neg = np.einsum("ij,ij->i", d[:, 0], np.cross(d[:, 1], d[:, 2])) < 0
        C[neg] = C[neg][:, [0, 1, 3, 2]]
        self.cells = C.astype(np.int32)
        # Edges, each from its lower to its higher global vertex number.
        E = cones.of(np.arange(self.e0, e1), 2) - self.v0
        swap = self.vertex_ids[E[:, 0]] > self.vertex_ids[E[:, 1]]
        E[swap] = E[swap][:, ::-1]
        self.edges = E
        keys = np.minimum(E[:, 0], E[:, 1]) * nv + np.maximum(E[:, 0], E[:, 1])
        order = np.argsort(keys)
        a, b = C[:, LOCAL_EDGES[:, 0]], C[:, LOCAL_EDGES[:, 1]]
        ck = np.minimum(a, b) * nv + np.maximum(a, b)
        self.cell_edges = order[np.searchsorted(keys[order], ck)]
        self.orientations = orientation_class(self.vertex_ids[C])
        R = np.full(c1 - c0, -1, dtype=np.int32)
        lab = dm.getLabel(REGIONS)
        for r in lab.getValueIS().getIndices().tolist():
            pts = lab.getStratumIS(r).getIndices()
            pts = pts[(pts >= c0) & (pts < c1)]
            R[pts - c0] = r
        if np.any(R < 0):
            raise RuntimeError("refined cells without a region")
        self.regions = R
        self._it = PETSc.IntType

    def release(self) -> None:
        """Free the DMPlex (its interpolated topology is the bulk of the memory); the
        arrays stay, the methods that read the DMPlex raise RuntimeError after this."""
        if self.dm is not None:
            self.dm.destroy()
        self.dm = self._cones = None

    def _plex(self):
        if self.dm is None:
            raise RuntimeError("the DMPlex of this LocalMesh was released")
        return self.dm

    @property
    def num_el(self) -> int:
        """Number of local cells."""
        return len(self.cells)

    def _sf(self, values, op):
        """``values`` (chart,) int64 made the same on every process that holds a point:
        reduced with ``op`` at the owner, then sent back to the others."""
        if self.comm.size == 1:
            return values
        from mpi4py import MPI

        sf = self._plex().getPointSF()
        root = values.copy()
        sf.reduceBegin(MPI.INT64_T, values, root, op)
        sf.reduceEnd(MPI.INT64_T, values, root, op)
        out = root.copy()
        sf.bcastBegin(MPI.INT64_T, root, out, MPI.REPLACE)
        sf.bcastEnd(MPI.INT64_T, root, out, MPI.REPLACE)
        return out

    def agree(self, points) -> np.ndarray:
        """Mask over the chart: the points some process marked (``points`` here)."""
        from mpi4py import MPI

        v = np.zeros(self.chart, dtype=np.int64)
        v[np.asarray(points, dtype=np.int64)] = 1
        return self._sf(v, MPI.MAX if self.comm.size > 1 else None) > 0

    def number(self, points) -> np.ndarray:
        """Global numbers (chart,) int64 of the selected ``points`` (the same selection
        on every process that holds a point), -1 elsewhere: each process numbers its
        owned ones in point order, after those of the lower ranks."""
        from mpi4py import MPI

        sel = np.zeros(self.chart, dtype=bool)
        sel[np.asarray(points, dtype=np.int64)] = True
        own = sel & ~self.leaf
        n = int(own.sum())
        off = self.comm.exscan(n) if self.comm.size > 1 else 0
        num = np.full(self.chart, -1, dtype=np.int64)
        num[own] = (off or 0) + np.arange(n)
        return self._sf(num, MPI.MAX if self.comm.size > 1 else None)

    def boundary_faces(self, which=None):
        """Local vertex numbers (F, 3) of the boundary faces this process holds:
        ``which`` None (the whole boundary), a surface name or a list of names, or a
        predicate on the face centroids (F, 3; m) returning a boolean mask.

        Raises KeyError for an unknown name, ValueError for a bad predicate result.
        """
        dm = self._plex()
        f0, f1 = dm.getDepthStratum(2)
        named = isinstance(which, str) or (isinstance(which, (list, tuple)) and which
                                           and all(isinstance(w, str) for w in which))
        labels = ([_surface_label(w) for w in ([which] if isinstance(which, str) else which)]
                  if named else [BOUNDARY])
        pts = []
        for name in labels:
            if not dm.hasLabel(name):
                raise KeyError(f"no surface named {name.split(' ', 1)[-1]!r}")
            if dm.getLabel(name).hasStratum(1):
                p = dm.getLabel(name).getStratumIS(1).getIndices()
                pts.append(p[(p >= f0) & (p < f1)])
        pts = np.unique(np.concatenate(pts)) if pts else np.zeros(0, dtype=np.int64)
        F, pts = _face_vertices(dm, pts, self._cones)
        if callable(which):
            m = np.asarray(which(self.coords[F].mean(axis=1)) if len(F) else
                           np.zeros(0, bool), dtype=bool).reshape(-1)
            if m.shape != (len(F),):
                raise ValueError("a face predicate must return one boolean per "
                                 "boundary face")
            F, pts = F[m], pts[m]
        elif which is not None and not named:
            raise TypeError("the Dirichlet part must be None, a predicate on face "
                            "centroids or surface name(s)")
        return F, pts


def local_mesh(dm, comm) -> LocalMesh:
    """This process's :class:`LocalMesh` of the distributed DMPlex ``dm``. Collective."""
    return LocalMesh(dm, comm)


def refined_mesh(mesh, levels: int):
    """``mesh`` refined uniformly ``levels`` times by DMPlex on this process alone, as a
    :class:`~fluxkern_tools.meshes.Mesh` (regions and named surfaces kept): the mesh
    that the parallel path refines piece by piece, for checks on small cases."""
    from mpi4py import MPI

    from ...meshes import Mesh

    dm, names = coarse_plex(mesh, MPI.COMM_SELF, 0)
    dm, _ = refine(dm, levels)
    lm = LocalMesh(dm, MPI.COMM_SELF)
    out = Mesh.from_cells(lm.coords, lm.cells, lm.regions)
    out.region_names = dict(mesh.region_names)
    out.surface_groups = {n: lm.boundary_faces(n)[0].astype(np.int32) for n in names}
    return out


def edge_piece(lm: LocalMesh, dirichlet=None) -> dict:
    """This process's piece of the lowest-order edge system on ``lm``: the dict the
    distributed vector potential builds from (see :mod:`.vector_potential`), the
    unknowns being the edges off the Dirichlet part ``dirichlet`` (as for
    :class:`~fluxkern_tools.solvers.ReducedVectorPotential`). Collective."""
    from .partition import LocalDofs

    e0, ne = lm.e0, len(lm.edges)
    F, _ = lm.boundary_faces(dirichlet)
    keys = np.minimum(lm.edges[:, 0], lm.edges[:, 1]) * len(lm.coords) + \
        np.maximum(lm.edges[:, 0], lm.edges[:, 1])
    order = np.argsort(keys)
    fa, fb = F[:, [0, 1, 2]].reshape(-1), F[:, [1, 2, 0]].reshape(-1)
    fk = np.minimum(fa, fb) * len(lm.coords) + np.maximum(fa, fb)
    fixed_local = order[np.searchsorted(keys[order], fk)]
    fixed = lm.agree(e0 + fixed_local)[e0:e0 + ne]
    free = np.flatnonzero(~fixed)
    enum = lm.number(e0 + free)[e0:e0 + ne]
    size = int(lm.comm.allreduce(int((~fixed & lm.edge_owned).sum())))
    # AMS's nodes: every vertex of a free edge, numbered like the edges.
    v0 = lm.v0
    used = lm.agree(v0 + np.unique(lm.edges[free].reshape(-1)))
    vnum = lm.number(np.flatnonzero(used))[v0:v0 + len(lm.coords)]
    nodes = int(lm.comm.allreduce(int((used[v0:v0 + len(lm.coords)]
                                       & lm.vertex_owned).sum())))
    own = free[lm.edge_owned[free]]
    ghost = free[~lm.edge_owned[free]]
    own, ghost = own[np.argsort(enum[own])], ghost[np.argsort(enum[ghost])]
    ids = np.concatenate([own, ghost, np.flatnonzero(fixed)])
    where = np.empty(ne, dtype=np.int64)
    where[ids] = np.arange(ne)
    index = np.where(np.arange(ne) < len(own) + len(ghost), enum[ids], -1)
    ld = LocalDofs(ids, index, [(len(own), len(ghost))],
                   where[lm.cell_edges].astype(np.int32))
    vsel = np.flatnonzero(used[v0:v0 + len(lm.coords)] & lm.vertex_owned)
    vsel = vsel[np.argsort(vnum[vsel])]
    return {"regions": lm.regions, "coords": lm.coords, "cells": lm.cells,
            "dofs": ld.cells, "orientations": lm.orientations, "local": ld,
            "size": size, "gradient": vnum[lm.edges[own]], "nodes": nodes,
            "vertices": lm.coords[vsel]}


def nodal_piece(lm: LocalMesh, dirichlet, potential) -> dict:
    """This process's piece of the P1 scalar-potential system on ``lm`` (the dict
    :class:`~.scalar_potential.DistributedScalarPotential` builds from): the free
    vertices (off the Dirichlet part ``dirichlet``, selected as in
    :meth:`LocalMesh.boundary_faces`) and, as a second numbering, the fixed ones with
    ``potential`` (callable on points (P, 3; m), A) there. Collective.

    Raises ValueError when ``potential`` does not give one finite value per point.
    """
    from .partition import LocalDofs

    v0, nv = lm.v0, len(lm.coords)
    F, _ = lm.boundary_faces(dirichlet)
    fixed = lm.agree(v0 + np.unique(F))[v0:v0 + nv]
    blocks, index, counts = [], [], []
    for sel in (~fixed, fixed):
        pts = np.flatnonzero(sel)
        num = lm.number(v0 + pts)[v0:v0 + nv]
        own, ghost = pts[lm.vertex_owned[pts]], pts[~lm.vertex_owned[pts]]
        own, ghost = own[np.argsort(num[own])], ghost[np.argsort(num[ghost])]
        blocks += [own, ghost]
        index.append(num[np.concatenate([own, ghost])])
        counts.append((len(own), len(ghost)))
    ids = np.concatenate(blocks)
    where = np.empty(nv, dtype=np.int64)
    where[ids] = np.arange(nv)
    ld = LocalDofs(ids, np.concatenate(index), counts)
    sizes = [int(lm.comm.allreduce(int((sel & lm.vertex_owned).sum())))
             for sel in (~fixed, fixed)]
    n_free = sum(counts[0])
    pts = lm.coords[ids[n_free:]]
    g = np.asarray(potential(pts) if len(pts) else np.zeros(0), dtype=np.float64)
    if g.shape != (len(pts),) or not np.all(np.isfinite(g)):
        raise ValueError("the potential must give one finite value per point")
    return {"regions": lm.regions, "coords": lm.coords[ids],
            "cells": where[lm.cells].astype(np.int32), "local": ld, "sizes": sizes,
            "fixed_values": g}
