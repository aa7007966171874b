"""Mesh generators: structured boxes (Kuhn split of graded hexahedral grids) and balls."""

from __future__ import annotations

from typing import Sequence

import numpy as np

from .topology import Mesh, _regions_from_rules, _signed_volumes

__all__ = ["box", "box_mesh", "graded_axis", "axis_with_breaks", "ball"]

# Kuhn split of the unit cube: one tetrahedron per axis permutation, walking from corner
# (0,0,0) to (1,1,1) one axis at a time. Every cell uses the same split, so neighbouring
# cells share the diagonals of their common faces and the mesh is conforming.
_PERMS = [(0, 1, 2), (0, 2, 1), (1, 0, 2), (1, 2, 0), (2, 0, 1), (2, 1, 0)]


def _check_axis(v, name) -> np.ndarray:
    a = np.asarray(v, dtype=np.float64).reshape(-1)
    if len(a) < 2 or not np.all(np.isfinite(a)) or np.any(np.diff(a) <= 0):
        raise ValueError(f"{name} must be at least 2 strictly increasing finite coordinates")
    return a


def box_mesh(xs, ys, zs, regions: Sequence = (), default_region: int = 0) -> Mesh:
    """Structured tetrahedral mesh on the tensor grid ``xs`` x ``ys`` x ``zs`` (m).

    Each hexahedral cell is split into 6 tetrahedra by the Kuhn (Freudenthal) split along
    its (0,0,0)-(1,1,1) diagonal, which is conforming between cells. Any strictly
    increasing coordinates are allowed, so graded spacing comes from the axes
    (:func:`graded_axis`, :func:`axis_with_breaks`). ``regions`` is a sequence of
    ``(region_id, predicate)`` pairs on element centroids, applied in order.
    Node (i, j, k) has index ``(k * ny + j) * nx + i``.
    """
    x, y, z = _check_axis(xs, "xs"), _check_axis(ys, "ys"), _check_axis(zs, "zs")
    nx, ny, nz = len(x), len(y), len(z)
    Z, Y, Xg = np.meshgrid(z, y, x, indexing="ij")
    nodes = np.column_stack([Xg.ravel(), Y.ravel(), Z.ravel()])
    ii, jj, kk = np.meshgrid(np.arange(nx - 1), np.arange(ny - 1), np.arange(nz - 1),
                             indexing="ij")
    base = np.stack([ii.ravel(), jj.ravel(), kk.ravel()], axis=1)

    def nid(ijk):
        return (ijk[:, 2] * ny + ijk[:, 1]) * nx + ijk[:, 0]

    tets = []
    for perm in _PERMS:
        cur = base.copy()
        vs = [nid(cur)]
        for ax in perm:
            cur = cur.copy()
            cur[:, ax] += 1
            vs.append(nid(cur))
        tets.append(np.stack(vs, axis=1))
    cells = np.stack(tets, axis=1).reshape(-1, 4)
    rules = list(regions or ())
    if rules:
        # The mean of the four vertices, summed in the order of nodes[cells].mean(axis=1)
        # without its (E, 4, 3) temporary.
        X = [nodes[cells[:, k]] for k in range(4)]
        R = _regions_from_rules((((X[0] + X[1]) + X[2]) + X[3]) / 4.0, rules, default_region)
    else:
        R = np.full(len(cells), int(default_region), dtype=np.int32)
    return Mesh.from_cells(nodes, cells, R)


def box(lower=(0.0, 0.0, 0.0), upper=(1.0, 1.0, 1.0), shape=(4, 4, 4), regions: Sequence = (),
        default_region: int = 0) -> Mesh:
    """Uniform structured mesh of the box [lower, upper] (m) with ``shape`` cells per axis.

    See :func:`box_mesh` for the split and ``regions``.
    """
    lo = np.asarray(lower, dtype=np.float64).reshape(3)
    hi = np.asarray(upper, dtype=np.float64).reshape(3)
    n = [int(s) for s in np.asarray(shape).reshape(3)]
    if min(n) < 1:
        raise ValueError("shape needs at least one cell per axis")
    axes = [np.linspace(lo[i], hi[i], n[i] + 1) for i in range(3)]
    return box_mesh(*axes, regions=regions, default_region=default_region)


def graded_axis(a, b, n, ratio=1.0) -> np.ndarray:
    """``n`` cells from ``a`` to ``b`` (m) whose lengths grow geometrically by ``ratio``.

    ratio > 1 refines towards ``a``, ratio < 1 towards ``b``; the last cell is ``ratio``
    ** (n - 1) times the first. Returns n + 1 coordinates.
    """
    n = int(n)
    if n < 1 or not (b > a) or not ratio > 0:
        raise ValueError("need n >= 1, b > a and ratio > 0")
    if abs(ratio - 1.0) < 1e-12:
        return np.linspace(a, b, n + 1)
    q = float(ratio)
    h = q ** np.arange(n)
    s = np.concatenate([[0.0], np.cumsum(h)]) / h.sum()
    out = a + (b - a) * s
    out[-1] = b
    return out


def axis_with_breaks(breaks, h) -> np.ndarray:
    """Coordinates through every break point (m) with spacing at most ``h`` between them.

    ``h`` is one size for all intervals or one per interval, so a magnet gap or a coil
    window can be meshed finer than the air around it while material interfaces fall on
    grid planes.
    """
    br = _check_axis(breaks, "breaks")
    hs = np.broadcast_to(np.asarray(h, dtype=np.float64), (len(br) - 1,))
    if np.any(~(hs > 0)):
        raise ValueError("h must be positive")
    parts = []
    for i in range(len(br) - 1):
        k = max(1, int(np.ceil((br[i + 1] - br[i]) / hs[i] - 1e-9)))
        parts.append(np.linspace(br[i], br[i + 1], k + 1)[:-1])
    parts.append(br[-1:])
    return np.concatenate(parts)


def _kuhn_tets(hexes: np.ndarray) -> np.ndarray:
    """Split hexahedra given by their lattice corners ``hexes[:, i, j, k]`` (H, 2, 2, 2)
    into 6 tetrahedra each with the Kuhn split (orientation repaired later)."""
    tets = []
    for perm in _PERMS:
        cur = np.zeros(3, dtype=int)
        vs = [hexes[:, 0, 0, 0]]
        for ax in perm:
            cur[ax] = 1
            vs.append(hexes[:, cur[0], cur[1], cur[2]])
        tets.append(np.stack(vs, axis=1))
    return np.stack(tets, axis=1).reshape(-1, 4)


def ball(radius, n: int = 8, interfaces: Sequence = (), octant: bool = False) -> Mesh:
    """Tetrahedral mesh of a ball of ``radius`` (m) with exact spherical interfaces.

    A cubed sphere: a central cube and six blocks between the cube and the sphere, each
    block a structured grid of ``n`` cells per quarter circle (even) times radial
    layers, every hexahedron split into six tetrahedra. Each block grid increases along
    the same global directions as its neighbours on their common faces, so the splits
    conform. Snapping a Cartesian grid onto spheres instead would flatten the cells at
    the cube edges into slivers.

    The blocks blend from the flat cube faces (half-width ``0.4 r1``, ``r1`` the first
    sphere) to the sphere ``r1``; beyond it the layers are spheres spaced like the
    angular cells (growing with the radius). Every radius in ``interfaces`` (m, below
    ``radius``) is a layer whose nodes lie on that sphere. ``regions``: 0 inside the
    first interface, 1 between the first and the second, ..., ``len(interfaces)`` in
    the outer shell. With ``octant`` only the part x, y, z >= 0 is kept (for models
    with symmetry planes). The surface nodes of the ball lie on the sphere ``radius``;
    element faces are flat, so the meshed volume is slightly smaller than the ball.
    """
    n = int(n)
    if n < 2 or n % 2:
        raise ValueError("n must be an even number >= 2")
    spheres = [float(r) for r in sorted(interfaces)] + [float(radius)]
    if not spheres[0] > 0 or np.any(np.diff(spheres) <= 0):
        raise ValueError("interfaces must be distinct positive radii below radius")
    r1 = spheres[0]
    # Core half-width: 0.4 r1 leaves the blend layers room at the cube corners (the worst
    # element quality stays near 0.2 under refinement; 0.5 r1 would flatten them).
    c = 0.4 * r1
    # Equiangular directions: equal angles rather than equal tangents give cells of
    # nearly equal size across a block.
    t = np.tan(0.25 * np.pi * np.linspace(-1.0, 1.0, n + 1))
    t[0], t[n // 2], t[-1] = -1.0, 0.0, 1.0
    # Radial layers (s, radius): along every direction, layer k lies at the fraction
    # s_k of the way from the cube face to the sphere r1 (so layers never cross), then
    # on spheres of the given radius.
    k1 = max(1, n // 2)
    layers = [(i / k1, r1) for i in range(k1 + 1)]
    q = 1.0 + 0.5 * np.pi / n
    for ra, rb in zip(spheres[:-1], spheres[1:]):
        k = max(1, int(np.ceil(np.log(rb / ra) / np.log(q) - 1e-9)))
        layers += [(1.0, ra * (rb / ra) ** (i / k)) for i in range(1, k + 1)]
    blend = np.array([b for b, _ in layers])
    rad = np.array([r for _, r in layers])

    pts, hexes, regs = [], [], []
    count = 0
    # Core cube on the same tangent grid as the block faces.
    g = c * t
    Z, Y, X = np.meshgrid(g, g, g, indexing="ij")
    pts.append(np.column_stack([X.ravel(), Y.ravel(), Z.ravel()]))
    idx = np.arange((n + 1) ** 3).reshape(n + 1, n + 1, n + 1).transpose(2, 1, 0)  # [i,j,k]
    hx = np.stack([idx[a:n + a, b:n + b, d:n + d] for a in (0, 1) for b in (0, 1)
                   for d in (0, 1)], axis=-1).reshape(-1, 2, 2, 2)
    hexes.append(hx)
    regs.append(np.zeros(len(hx), dtype=np.int32))
    count += (n + 1) ** 3
    L = len(rad)
    shell = np.searchsorted(np.asarray(spheres), 0.5 * (rad[:-1] + rad[1:]))
    for axis in range(3):
        b_ax, c_ax = [a for a in range(3) if a != axis]
        for sign in (-1.0, 1.0):
            U, V = np.meshgrid(t, t, indexing="ij")          # [i, j]
            d = np.zeros((n + 1, n + 1, 3))
            d[..., axis], d[..., b_ax], d[..., c_ax] = sign, U, V
            cube = c * d                                     # on the core's face
            sph = d / np.linalg.norm(d, axis=-1, keepdims=True)
            P = ((1 - blend)[None, None, :, None] * cube[:, :, None]
                 + (blend * rad)[None, None, :, None] * sph[:, :, None])
            pts.append(P.reshape(-1, 3))
            ids = count + np.arange((n + 1) * (n + 1) * L).reshape(n + 1, n + 1, L)
            count += ids.size
            hx = np.stack([ids[a:n + a, b:n + b, e:L - 1 + e] for a in (0, 1)
                           for b in (0, 1) for e in (0, 1)], axis=-1).reshape(-1, 2, 2, 2)
            hexes.append(hx)
            regs.append(np.broadcast_to(shell, (n, n, L - 1)).reshape(-1).astype(np.int32))
    Xall = np.vstack(pts)
    # Nodes shared by neighbouring blocks (and the core) are generated once per block;
    # merge them by position.
    key = np.round(Xall / radius, 10)
    _, first, inv = np.unique(key, axis=0, return_index=True, return_inverse=True)
    inv = inv.reshape(-1)
    nodes = Xall[first]
    cells = inv[_kuhn_tets(np.vstack(hexes))]
    regions = np.repeat(np.concatenate(regs), 6)
    # Within one block all hexahedra share one handedness, so the six tetrahedra of every
    # hexahedron show the same sign pattern; a folded cell would break it (and would be
    # hidden by the orientation repair of Mesh.from_cells).
    signs = np.sign(_signed_volumes(nodes, cells)).reshape(-1, 6)
    start = 0
    for h in hexes:
        blk = signs[start:start + len(h)]
        start += len(h)
        if np.any(blk != blk[0]):
            raise ValueError("the ball mesh folded; use a larger n")
    if octant:
        keep = np.all(nodes[cells].mean(axis=1) > 0, axis=1)
        cells, regions = cells[keep], regions[keep]
        used = np.unique(cells)
        remap = np.full(len(nodes), -1, dtype=np.int64)
        remap[used] = np.arange(len(used))
        nodes, cells = nodes[used], remap[cells]
        nodes[np.abs(nodes) < 1e-12 * radius] = 0.0
    return Mesh.from_cells(nodes, cells, regions)
