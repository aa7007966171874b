"""Planar winding paths, winding cross-sections filled with filaments, and their placement.

A winding is described in its own plane (coordinates x, y in m) by a closed path, the
mean line of the conductor bundle, walked counter-clockwise for a field along +axis.
:class:`RoundedRectangle` covers the usual shapes (a rectangle with rounded corners;
a racetrack when the corner radius is half the height; a circle when width = height =
2 radius); :class:`Polygon` takes any closed polyline. Each path gives its parallel
curve at an in-plane offset (outwards positive), which is where the filaments of a
winding cross-section lie; :func:`place` maps the plane into space.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

__all__ = ["RoundedRectangle", "Polygon", "racetrack_path", "circle_path", "frame", "place",
           "cross_section"]


def _positive(name, v, allow_zero=False):
    v = float(v)
    ok = np.isfinite(v) and (v >= 0 if allow_zero else v > 0)
    if not ok:
        raise ValueError(f"{name} must be a {'non-negative' if allow_zero else 'positive'} "
                         f"finite number, got {v!r}")
    return v


def _arc(center, r, a0, k):
    """k chords of a quarter arc of radius r from angle a0, with the k - 1 inner vertices
    moved out so that the chords enclose the exact sector area; the end vertices stay on
    the arc, where the straights meet it tangentially. Returns the k vertices before the
    arc's end point."""
    th = 0.5 * np.pi / k
    if k > 2:
        rho = r * (np.sqrt(1.0 + (k - 2) * k * th / np.sin(th)) - 1.0) / (k - 2)
    else:
        rho = r * th / np.sin(th)
    radii = np.full(k, rho)
    radii[0] = r
    a = a0 + th * np.arange(k)
    return center + radii[:, None] * np.column_stack([np.cos(a), np.sin(a)])


@dataclass(frozen=True)
class RoundedRectangle:
    """Rectangle ``width`` x ``height`` (m, along x and y, centred on the origin) with
    corners rounded to ``corner_radius`` (m).

    Corners are split into ``segments_per_corner`` chords whose polygon keeps the exact
    area of the rounded shape; straight sides into ``segments_per_side`` pieces (a
    straight piece is exact for the Biot-Savart kernel; more pieces only give finer
    points). Racetrack: corner_radius = height / 2; circle: width = height = 2 radius.
    """

    width: float
    height: float
    corner_radius: float = 0.0
    segments_per_corner: int = 8
    segments_per_side: int = 1

    def __post_init__(self):
        w, h = _positive("width", self.width), _positive("height", self.height)
        r = _positive("corner_radius", self.corner_radius, allow_zero=True)
        if 2 * r > min(w, h) * (1 + 1e-12):
            raise ValueError("corner_radius must be at most half the width and the height")
        if int(self.segments_per_corner) < 1 or int(self.segments_per_side) < 1:
            raise ValueError("need at least one segment per corner and per side")

    def points(self, offset: float = 0.0) -> np.ndarray:
        """Vertices (P, 2) in m of the closed path moved ``offset`` (m) outwards.

        The parallel curve of a rounded rectangle is again one: width and height grow by
        2 offset and the corner radius by offset (a corner turns sharp once the offset
        reaches inside its radius).
        """
        o = float(offset)
        W, H = self.width + 2 * o, self.height + 2 * o
        r = max(min(self.corner_radius + o, 0.5 * W, 0.5 * H), 0.0)
        if not (W > 0 and H > 0):
            raise ValueError(f"offset {o} m leaves no path inside the winding")
        hx, hy = 0.5 * W - r, 0.5 * H - r
        n, k = int(self.segments_per_side), int(self.segments_per_corner)
        # Corner centres walked counter-clockwise from the bottom-right one; each corner
        # is preceded by the straight side leading to it.
        centres = np.array([[hx, -hy], [hx, hy], [-hx, hy], [-hx, -hy]])
        starts = np.array([[-hx, -hy - r], [hx + r, -hy], [hx, hy + r], [-hx - r, hy]])
        out = []
        for i in range(4):
            c, s = centres[i], starts[i]
            e = c + r * np.array([np.cos(-0.5 * np.pi + 0.5 * np.pi * i),
                                  np.sin(-0.5 * np.pi + 0.5 * np.pi * i)])
            if np.linalg.norm(e - s) > 1e-15 * max(W, H):
                t = np.arange(n)[:, None] / n
                out.append(s + t * (e - s))
            if r > 0:
                out.append(_arc(c, r, -0.5 * np.pi + 0.5 * np.pi * i, k))
        return np.vstack(out)

    @classmethod
    def between(cls, inner: "RoundedRectangle", outer: "RoundedRectangle"):
        """The mean path and the width of a winding given by its inner and outer outline.

        ``inner`` and ``outer`` are concentric rounded rectangles whose outlines are
        parallel curves a distance t apart: outer.width - inner.width = outer.height -
        inner.height = 2 t > 0 and outer.corner_radius = inner.corner_radius + t (to
        1e-9 of the outer size). The mean path lies t/2 outside ``inner`` (width
        inner.width + t, corner radius inner.corner_radius + t/2); it takes the finer
        of the two outlines' segment counts.

        Returns
        -------
        (RoundedRectangle, float)
            The mean path and the winding's radial width t in m, the ``path`` and
            ``width`` of :func:`fluxkern_tools.coils.winding`.

        Raises
        ------
        TypeError
            An outline is not a RoundedRectangle.
        ValueError
            The outlines are not parallel curves with ``outer`` outside ``inner``
            (e.g. a sharp-cornered outer outline around a sharp-cornered inner one:
            give the outer corner radius t, or use a :class:`Polygon` mean path).
        """
        if not (isinstance(inner, RoundedRectangle) and isinstance(outer, RoundedRectangle)):
            raise TypeError("inner and outer must both be RoundedRectangle outlines")
        t = 0.5 * (outer.width - inner.width)
        tol = 1e-9 * max(outer.width, outer.height)
        if not t > tol:
            raise ValueError(f"the outer outline must be wider than the inner one, got "
                             f"widths {inner.width} and {outer.width} m")
        if abs(0.5 * (outer.height - inner.height) - t) > tol:
            raise ValueError("the outlines are not concentric parallel curves: the width "
                             f"grows by {2 * t} m but the height by "
                             f"{outer.height - inner.height} m")
        if abs(outer.corner_radius - inner.corner_radius - t) > tol:
            raise ValueError(f"the outer corner radius must be the inner one plus the "
                             f"winding width {t} m (parallel curves), got "
                             f"{outer.corner_radius} and {inner.corner_radius} m")
        mean = cls(inner.width + t, inner.height + t, inner.corner_radius + 0.5 * t,
                   max(int(inner.segments_per_corner), int(outer.segments_per_corner)),
                   max(int(inner.segments_per_side), int(outer.segments_per_side)))
        return mean, t

    def length(self, offset: float = 0.0) -> float:
        """Length in m of the exact (not polygonal) path at ``offset``."""
        o = float(offset)
        r = max(self.corner_radius + o, 0.0)
        return 2 * (self.width + self.height + 4 * o) - 8 * r + 2 * np.pi * r


@dataclass(frozen=True)
class Polygon:
    """An arbitrary closed polyline through ``vertices`` (P, 2) in m (not repeated at the
    end). Walked in the given order; counter-clockwise gives a field along +axis.
    Parallel curves join the shifted sides with mitred corners."""

    vertices: np.ndarray

    def __post_init__(self):
        v = np.array(self.vertices, dtype=np.float64)
        if v.ndim != 2 or v.shape[1] != 2 or len(v) < 3 or not np.all(np.isfinite(v)):
            raise ValueError("vertices must be a finite (P, 2) array with P >= 3")
        if np.any(np.linalg.norm(np.roll(v, -1, axis=0) - v, axis=1) == 0):
            raise ValueError("consecutive vertices must differ")
        object.__setattr__(self, "vertices", v)

    def points(self, offset: float = 0.0) -> np.ndarray:
        """Vertices (P, 2) of the parallel polygon ``offset`` (m) outwards.

        Raises ValueError if the parallel polygon is no longer a simple curve of the
        same sense (a side shrinks to nothing or turns around)."""
        v = self.vertices
        if offset == 0:
            return v.copy()
        x, y = v[:, 0], v[:, 1]
        ccw = np.sign(np.sum(x * np.roll(y, -1) - np.roll(x, -1) * y)) or 1.0
        t = np.roll(v, -1, axis=0) - v
        t /= np.linalg.norm(t, axis=1)[:, None]
        n = ccw * np.column_stack([t[:, 1], -t[:, 0]])     # outward normal of side i
        n_prev = np.roll(n, 1, axis=0)
        den = 1.0 + np.einsum("ij,ij->i", n, n_prev)
        if np.any(den < 1e-6):
            raise ValueError("the polygon turns back on itself; no parallel curve")
        p = v + float(offset) * (n + n_prev) / den[:, None]
        # A parallel curve too far inside (or outside a re-entrant corner) shrinks some
        # side to nothing or turns it around: it would link a different flux.
        side = np.roll(p, -1, axis=0) - p
        along = np.einsum("ij,ij->i", side, t)
        ref = np.linalg.norm(np.roll(v, -1, axis=0) - v, axis=1)
        area = 0.5 * np.sum(p[:, 0] * np.roll(p[:, 1], -1) - np.roll(p[:, 0], -1) * p[:, 1])
        if np.any(along <= 1e-9 * ref) or not ccw * area > 0:
            bad = int(np.argmin(along / ref))
            raise ValueError(f"the parallel curve at offset {float(offset):g} m is no longer "
                             f"a simple curve (side {bad} shrinks to nothing or turns "
                             "around): the winding is too wide for its path")
        return p


def racetrack_path(straight_length, radius, segments_per_arc: int = 16,
                   segments_per_straight: int = 1) -> RoundedRectangle:
    """Two straights of ``straight_length`` (m, along x) joined by semicircles of
    ``radius`` (m); ``segments_per_arc`` chords per semicircle (rounded up to even)."""
    r = _positive("radius", radius)
    return RoundedRectangle(_positive("straight_length", straight_length, True) + 2 * r,
                            2 * r, r, max(1, (int(segments_per_arc) + 1) // 2),
                            segments_per_straight)


def circle_path(radius, n_segments: int = 64) -> RoundedRectangle:
    """A circle of ``radius`` (m) as a polygon of ``n_segments`` (a multiple of 4) chords
    with the circle's area."""
    r = _positive("radius", radius)
    n = int(n_segments)
    if n < 4 or n % 4:
        raise ValueError("a circle path needs a multiple of 4 segments")
    return RoundedRectangle(2 * r, 2 * r, r, n // 4)


def frame(axis) -> np.ndarray:
    """Rotation (3, 3) whose columns are the images of x, y, z: z goes to ``axis`` by the
    smallest rotation, so ``axis`` = z leaves the winding plane as it is."""
    w = np.asarray(axis, dtype=np.float64).reshape(3)
    nw = np.linalg.norm(w)
    if not (np.isfinite(nw) and nw > 0):
        raise ValueError("axis must be a finite non-zero vector")
    w = w / nw
    c = w[2]
    if c < -1 + 1e-12:
        return np.diag([1.0, -1.0, -1.0])            # half turn about x
    k = np.array([-w[1], w[0], 0.0])                 # z x w, of length sin(angle)
    K = np.array([[0, -k[2], k[1]], [k[2], 0, -k[0]], [-k[1], k[0], 0]])
    return np.eye(3) + K + K @ K / (1.0 + c)


def place(xy, z=0.0, origin=(0.0, 0.0, 0.0), axis=(0.0, 0.0, 1.0)) -> np.ndarray:
    """Points (P, 3) in m of winding-plane points ``xy`` (P, 2) at height ``z`` (m) along
    ``axis``, the plane's origin put at ``origin``."""
    p = np.asarray(xy, dtype=np.float64).reshape(-1, 2)
    local = np.column_stack([p, np.full(len(p), float(z))])
    return np.asarray(origin, dtype=np.float64).reshape(3) + local @ frame(axis).T


def cross_section(width, height, grid=(1, 1), gauss: bool = False):
    """Filament positions and shares of a winding cross-section ``width`` (in-plane,
    m) x ``height`` (along the axis, m) centred on the path.

    ``grid`` = (n_width, n_height) filaments. Midpoint rule (equal shares at the cell
    centres) or, with ``gauss``, Gauss-Legendre points and weights in each direction.
    Returns ``(offsets, heights, shares)``: (K,) in-plane offsets and heights in m and
    shares summing to 1.
    """
    w = _positive("width", width, allow_zero=True)
    h = _positive("height", height, allow_zero=True)
    g = np.broadcast_to(np.asarray(grid, dtype=object), (2,))
    try:
        nw, nh = (int(k) for k in g)
        whole = all(float(k) == n for k, n in zip(g, (nw, nh))) and not any(
            isinstance(k, (bool, np.bool_)) for k in g)
    except (TypeError, ValueError, OverflowError):
        whole = False
    if not whole or nw < 1 or nh < 1:
        raise ValueError(f"grid must be two whole numbers >= 1 of filaments (across, "
                         f"along the axis), got {tuple(g)!r}")

    def rule(n, size):
        if gauss:
            x, wt = np.polynomial.legendre.leggauss(n)
            return 0.5 * size * x, 0.5 * wt
        return size * ((np.arange(n) + 0.5) / n - 0.5), np.full(n, 1.0 / n)

    do, wo = rule(nw, w)
    dz, wz = rule(nh, h)
    O, Z = np.meshgrid(do, dz, indexing="ij")
    return O.ravel(), Z.ravel(), np.outer(wo, wz).ravel()
