"""Mesh files through meshio: gmsh physical names, length units, VTU output."""

from __future__ import annotations

import numpy as np

from .topology import Mesh

__all__ = ["from_meshio", "read", "to_meshio", "write_vtu", "write_points_vtu"]


_REGION_KEYS = ("gmsh:physical", "medit:ref", "cell_tags", "region", "regions",
                "material", "gmsh:geometrical")


_UNITS = {"m": 1.0, "dm": 0.1, "cm": 1e-2, "mm": 1e-3, "um": 1e-6, "in": 0.0254}


def _length_scale(scale, units) -> float:
    if scale is not None and units is not None:
        raise TypeError("give scale= or units=, not both")
    if units is not None:
        if units not in _UNITS:
            raise ValueError(f"units must be one of {sorted(_UNITS)}, got {units!r}")
        return _UNITS[units]
    f = 1.0 if scale is None else float(scale)
    if not (np.isfinite(f) and f > 0):
        raise ValueError(f"scale must be a positive number, got {scale!r}")
    return f


def from_meshio(m, region_key: str | None = None, prune: bool = True, *, scale=None,
                units=None) -> Mesh:
    """Mesh from a ``meshio.Mesh``: its tetrahedra (``tetra``), orientation repaired.

    Coordinates are multiplied by ``scale`` or converted from ``units`` ("mm", "cm",
    "m", "um", "in", "dm") to metres; by default they are taken as metres. Regions come
    from the cell data ``region_key`` or, by default, the first of ``gmsh:physical``,
    ``medit:ref``, ``cell_tags``, ``region``, ``regions``, ``material`` found. Physical
    names (gmsh's ``field_data``) become ``mesh.region_names`` (volumes) and
    ``mesh.surface_groups`` (the triangles of each physical surface). With ``prune``
    nodes used by no tetrahedron (typical of geometry points in gmsh files) are
    dropped and the rest renumbered; the original index of each kept node is stored in
    ``mesh.info["node_map"]``. 2-D points get z = 0. Inverted (folded) and degenerate
    elements raise ValueError (:meth:`Mesh.from_cells`).
    """
    f = _length_scale(scale, units)
    blocks = [(i, cb) for i, cb in enumerate(m.cells) if cb.type == "tetra"]
    if not blocks:
        raise ValueError("the mesh has no tetra cells")
    cells = np.vstack([cb.data for _, cb in blocks]).astype(np.int64)
    regions = None
    keys = [region_key] if region_key else [k for k in _REGION_KEYS if k in m.cell_data]
    if region_key and region_key not in m.cell_data:
        raise KeyError(f"cell data {region_key!r} not found")
    if keys:
        data = m.cell_data[keys[0]]
        regions = np.concatenate([np.asarray(data[i]).reshape(-1) for i, _ in blocks])
    pts = np.asarray(m.points, dtype=np.float64) * f
    if pts.shape[1] == 2:
        pts = np.column_stack([pts, np.zeros(len(pts))])
    info = {"scale": f}
    remap = np.arange(len(pts))
    if prune:
        used = np.unique(cells)
        remap = np.full(len(pts), -1, dtype=np.int64)
        remap[used] = np.arange(len(used))
        cells = remap[cells]
        pts = pts[used]
        info["node_map"] = used
    mesh = Mesh.from_cells(pts, cells, regions)
    mesh.info.update(info)
    names = {str(k): np.asarray(v).reshape(-1) for k, v in (m.field_data or {}).items()}
    mesh.region_names = {k: int(v[0]) for k, v in names.items() if len(v) > 1 and v[1] == 3}
    tags = m.cell_data.get(keys[0] if keys else "gmsh:physical")
    for k, v in names.items():
        if len(v) < 2 or v[1] != 2 or tags is None:
            continue
        tri = [cb.data[np.asarray(tags[i]).reshape(-1) == v[0]]
               for i, cb in enumerate(m.cells) if cb.type == "triangle"]
        tri = np.vstack(tri).astype(np.int64) if tri else np.zeros((0, 3), np.int64)
        if np.any(remap[tri] < 0):
            raise ValueError(f"surface {k!r} has nodes that no tetrahedron uses")
        mesh.surface_groups[k] = remap[tri].astype(np.int32)
    return mesh


def read(path, region_key: str | None = None, prune: bool = True, *, scale=None,
         units=None) -> Mesh:
    """Read a tetrahedral mesh file with meshio (any format it knows), converting
    lengths with ``scale`` or ``units`` (default: metres); see :func:`from_meshio`.

    Raises
    ------
    FileNotFoundError
        if ``path`` does not exist.
    ValueError
        naming the file and the fault, if it is empty, not a mesh meshio can read, or
        holds no valid tetrahedra.
    """
    import contextlib
    import errno
    import io
    import os
    import sys

    import meshio

    _length_scale(scale, units)                    # argument errors before any reading
    name = os.fspath(path)
    if not os.path.exists(name):
        raise FileNotFoundError(errno.ENOENT, "mesh file not found", name)
    if os.path.isdir(name):
        raise IsADirectoryError(errno.EISDIR, "a directory, not a mesh file", name)
    if os.path.getsize(name) == 0:
        raise ValueError(f"mesh file {name!r} is empty")
    # meshio reports some unreadable files by printing and calling sys.exit(1); keep
    # what it prints for the message and let no SystemExit out of a library call.
    said = io.StringIO()
    try:
        with contextlib.redirect_stdout(said), contextlib.redirect_stderr(said):
            m = meshio.read(name)
    except OSError:
        raise
    except (Exception, SystemExit) as e:
        why = " ".join(said.getvalue().split()) or f"{type(e).__name__}: {e}"
        raise ValueError(f"cannot read mesh file {name!r}: {why}") from None
    sys.stderr.write(said.getvalue())           # diagnostics of a file that was read
    try:
        return from_meshio(m, region_key=region_key, prune=prune, scale=scale, units=units)
    except ValueError as e:
        raise ValueError(f"mesh file {name!r}: {e}") from e


def _as_point_array(v, n, what):
    a = np.asarray(v, dtype=np.float64)
    if a.shape[0] != n:
        raise ValueError(f"{what} needs {n} rows, got {a.shape[0]}")
    return a


def to_meshio(mesh: Mesh, point_data: dict | None = None, cell_data: dict | None = None):
    """``meshio.Mesh`` of the tetrahedra with point fields (num_nodes, ...) and cell
    fields (num_el, ...); the regions are added as cell data ``region``."""
    import meshio

    pd = {k: _as_point_array(v, mesh.num_nodes, k) for k, v in (point_data or {}).items()}
    cd = {k: [_as_point_array(v, mesh.num_el, k)] for k, v in (cell_data or {}).items()}
    cd.setdefault("region", [mesh.regions.astype(np.int32)])
    return meshio.Mesh(mesh.nodes, [("tetra", mesh.cells)], point_data=pd, cell_data=cd)


def write_vtu(path, mesh: Mesh, point_data: dict | None = None,
              cell_data: dict | None = None) -> None:
    """Write the mesh with point and cell fields (SI units as given) to a VTU file."""
    to_meshio(mesh, point_data, cell_data).write(str(path), file_format="vtu")


def write_points_vtu(path, points, point_data: dict | None = None) -> None:
    """Write scattered points (P, 3) in m with per-point fields (P, ...) as VTU vertices,
    e.g. B at the evaluation points returned by ``compute_B_Hcurl``."""
    import meshio

    P = np.asarray(points, dtype=np.float64).reshape(-1, 3)
    pd = {k: _as_point_array(v, len(P), k) for k, v in (point_data or {}).items()}
    verts = np.arange(len(P), dtype=np.int64).reshape(-1, 1)
    meshio.Mesh(P, [("vertex", verts)], point_data=pd).write(str(path), file_format="vtu")
