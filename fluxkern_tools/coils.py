"""Coils as chains of straight current segments for the line-segment Biot-Savart function.

Every coil is a :class:`Coil`: ``segments`` is an (N, 6) float64 array whose row i holds
the start point (x, y, z) and the end point (x, y, z) of segment i in metres, the strand
current in amperes flows from start to end, and ``radius`` is the strand radius in metres
(inside that radius the field of a segment is regularised by the Biot-Savart kernel).
A coil of several turns is modelled as one strand laid out turn after turn, so
``current`` is the current of one turn, not the ampere-turns.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

__all__ = [
    "Coil",
    "polyline_segments",
    "loop",
    "solenoid",
    "racetrack",
    "rectangular",
    "biot_savart",
    "loop_axial_field",
]

MU0 = (4 * np.pi) * 1e-7  # vacuum permeability in H/m


@dataclass(frozen=True)
class Coil:
    """A strand as straight segments.

    Attributes
    ----------
    segments : ndarray, shape (N, 6), float64
        Start xyz and end xyz of every segment in m; current flows start -> end.
    current : float
        Strand current in A.
    radius : float
        Strand (wire) radius in m.
    """

    segments: np.ndarray
    current: float
    radius: float

    def __post_init__(self):
        seg = np.ascontiguousarray(self.segments, dtype=np.float64)
        if seg.ndim != 2 or seg.shape[1] != 6:
            raise ValueError(f"segments must have shape (N, 6), got {seg.shape}")
        if not np.all(np.isfinite(seg)):
            raise ValueError("segments must be finite")
        if not (np.isfinite(self.current) and np.isfinite(self.radius)):
            raise ValueError("current and radius must be finite numbers")
        if self.radius < 0:
            raise ValueError("radius must be non-negative")
        object.__setattr__(self, "segments", seg)
        object.__setattr__(self, "current", float(self.current))
        object.__setattr__(self, "radius", float(self.radius))

    @property
    def length(self) -> float:
        """Total strand length in m."""
        d = self.segments[:, 3:] - self.segments[:, :3]
        return float(np.linalg.norm(d, axis=1).sum())

    def translated(self, offset) -> "Coil":
        """The same coil moved by ``offset`` (3 values, m)."""
        off = np.asarray(offset, dtype=np.float64).reshape(3)
        return Coil(self.segments + np.concatenate([off, off]), self.current, self.radius)

    def rotated(self, rotation) -> "Coil":
        """The same coil rotated about the origin by the 3 x 3 matrix ``rotation``."""
        R = np.asarray(rotation, dtype=np.float64).reshape(3, 3)
        s = self.segments
        return Coil(np.hstack([s[:, :3] @ R.T, s[:, 3:] @ R.T]), self.current, self.radius)

    def field(self, targets) -> np.ndarray:
        """Flux density in T at the (M, 3) target points (m), NumPy Biot-Savart."""
        return biot_savart(self.segments, targets, self.current, self.radius)


def polyline_segments(points, closed: bool = False) -> np.ndarray:
    """Segments joining consecutive points of an (P, 3) polyline (m).

    With ``closed`` the last point is joined back to the first one.
    Returns an (N, 6) float64 array.
    """
    p = np.asarray(points, dtype=np.float64)
    if p.ndim != 2 or p.shape[1] != 3 or len(p) < 2:
        raise ValueError("points must have shape (P, 3) with P >= 2")
    q = np.vstack([p, p[:1]]) if closed else p
    return np.hstack([q[:-1], q[1:]])


def _frame(axis):
    """Orthonormal (u, v, w) with w along ``axis``; (u, v, w) is right-handed."""
    w = np.asarray(axis, dtype=np.float64).reshape(3)
    n = np.linalg.norm(w)
    if not n > 0:
        raise ValueError("axis must be a non-zero vector")
    w = w / n
    # Pick the helper vector least aligned with w, so u is well conditioned.
    h = np.eye(3)[np.argmin(np.abs(w))]
    u = np.cross(h, w)
    u /= np.linalg.norm(u)
    v = np.cross(w, u)
    return u, v, w


def _check_positive(**kw):
    for name, val in kw.items():
        if not (np.isfinite(val) and val > 0):
            raise ValueError(f"{name} must be a positive finite number, got {val!r}")


def loop(radius, current, n_segments: int = 64, center=(0.0, 0.0, 0.0), axis=(0.0, 0.0, 1.0),
         strand_radius: float = 1e-3, inscribed: bool = False) -> Coil:
    """Circular loop of radius ``radius`` (m) carrying ``current`` (A).

    The current circulates counter-clockwise seen from the tip of ``axis`` (right-hand rule:
    the field on the axis points along ``axis`` for a positive current). The polygon has
    ``n_segments`` sides. By default its vertices are placed on a circle chosen so that the
    polygon encloses the same area as the true circle, which keeps the on-axis field
    within O(1/n^4) of the analytic one; with ``inscribed`` the vertices lie on the circle.
    ``strand_radius`` is the wire radius (m).
    """
    _check_positive(radius=radius, strand_radius=strand_radius)
    n = int(n_segments)
    if n < 3:
        raise ValueError("a loop needs at least 3 segments")
    u, v, _ = _frame(axis)
    if inscribed:
        r = float(radius)
    else:
        # Area of the regular n-gon with circumradius r: n r^2 sin(2 pi / n) / 2 = pi R^2.
        r = float(radius) * np.sqrt(2 * np.pi / (n * np.sin(2 * np.pi / n)))
    phi = 2 * np.pi * np.arange(n) / n
    pts = np.asarray(center, dtype=np.float64).reshape(3) + r * (
        np.cos(phi)[:, None] * u + np.sin(phi)[:, None] * v)
    return Coil(polyline_segments(pts, closed=True), current, strand_radius)


def solenoid(radius, length, turns, current, segments_per_turn: int = 64, center=(0.0, 0.0, 0.0),
             axis=(0.0, 0.0, 1.0), strand_radius: float = 1e-3, helical: bool = True) -> Coil:
    """Solenoid of ``turns`` turns, radius ``radius`` (m) and winding length ``length`` (m).

    The winding is centred on ``center`` and runs along ``axis``; a positive ``current`` (A)
    gives a field along ``axis`` inside. With ``helical`` the strand is one continuous helix
    (open, from -length/2 to +length/2; the feed back along the axis is left out, so add a
    return conductor yourself if the axial current matters). Otherwise it is ``turns``
    separate closed loops stacked at equal pitch, which is the usual idealisation of a
    winding without the axial current component.
    """
    _check_positive(radius=radius, length=length, turns=turns, strand_radius=strand_radius)
    n = int(segments_per_turn)
    if n < 3:
        raise ValueError("a turn needs at least 3 segments")
    u, v, w = _frame(axis)
    c = np.asarray(center, dtype=np.float64).reshape(3)
    if helical:
        total = int(round(n * float(turns)))
        s = np.linspace(0.0, 1.0, total + 1)
        phi = 2 * np.pi * float(turns) * s
        pts = c + radius * (np.cos(phi)[:, None] * u + np.sin(phi)[:, None] * v) \
            + ((s - 0.5) * length)[:, None] * w
        return Coil(polyline_segments(pts), current, strand_radius)
    k = int(round(turns))
    if k < 1 or abs(k - turns) > 1e-12:
        raise ValueError("stacked loops need a whole number of turns")
    zs = (np.arange(k) + 0.5) / k * length - 0.5 * length
    parts = [loop(radius, current, n, c + z * w, w, strand_radius).segments for z in zs]
    return Coil(np.vstack(parts), current, strand_radius)


def racetrack(straight_length, radius, current, segments_per_arc: int = 32,
              segments_per_straight: int = 8, center=(0.0, 0.0, 0.0), turns: int = 1,
              pitch: float = 0.0, strand_radius: float = 1e-3) -> Coil:
    """Racetrack coil in the xy-plane: two straights along x joined by two semicircles.

    The straights have length ``straight_length`` (m) and lie at y = +/- ``radius`` (m);
    the semicircles of radius ``radius`` are centred at x = +/- straight_length/2. The
    current (A) circulates counter-clockwise seen from +z, so the field in the middle
    points along +z. ``turns`` closed turns are stacked along z with spacing ``pitch`` (m),
    centred on ``center``.
    """
    _check_positive(radius=radius, strand_radius=strand_radius)
    if not (np.isfinite(straight_length) and straight_length >= 0):
        raise ValueError("straight_length must be non-negative")
    na, ns = int(segments_per_arc), int(segments_per_straight)
    if na < 2 or ns < 1:
        raise ValueError("need at least 2 segments per arc and 1 per straight")
    h = 0.5 * float(straight_length)
    # Walk counter-clockwise: bottom straight (+x), right arc, top straight (-x), left arc.
    bottom = np.stack([np.linspace(-h, h, ns + 1)[:-1], np.full(ns, -radius)], axis=1)
    a = np.linspace(-np.pi / 2, np.pi / 2, na + 1)[:-1]
    right = np.stack([h + radius * np.cos(a), radius * np.sin(a)], axis=1)
    top = np.stack([np.linspace(h, -h, ns + 1)[:-1], np.full(ns, radius)], axis=1)
    left = np.stack([-h + radius * np.cos(a + np.pi), radius * np.sin(a + np.pi)], axis=1)
    if h == 0:
        # A racetrack without straights is a circle; drop the zero-length pieces.
        xy = np.vstack([right, left])
    else:
        xy = np.vstack([bottom, right, top, left])
    return _stack_turns(xy, center, turns, pitch, current, strand_radius)


def rectangular(width, height, current, center=(0.0, 0.0, 0.0), turns: int = 1,
                pitch: float = 0.0, segments_per_side: int = 1,
                strand_radius: float = 1e-3) -> Coil:
    """Rectangular coil in the xy-plane, ``width`` (m) along x and ``height`` (m) along y.

    The current (A) circulates counter-clockwise seen from +z. ``turns`` closed turns are
    stacked along z with spacing ``pitch`` (m), centred on ``center``. Splitting the sides
    into several segments changes nothing in the field (each straight piece is exact) but
    gives a finer point set for plotting.
    """
    _check_positive(width=width, height=height, strand_radius=strand_radius)
    k = int(segments_per_side)
    if k < 1:
        raise ValueError("segments_per_side must be >= 1")
    hx, hy = 0.5 * width, 0.5 * height
    corners = np.array([[-hx, -hy], [hx, -hy], [hx, hy], [-hx, hy], [-hx, -hy]])
    t = np.arange(k) / k
    xy = np.vstack([c0 + t[:, None] * (c1 - c0) for c0, c1 in zip(corners[:-1], corners[1:])])
    return _stack_turns(xy, center, turns, pitch, current, strand_radius)


def _stack_turns(xy, center, turns, pitch, current, strand_radius) -> Coil:
    """Close the planar xy polygon and stack ``turns`` copies along z around ``center``."""
    k = int(turns)
    if k < 1:
        raise ValueError("turns must be >= 1")
    if k > 1 and not (np.isfinite(pitch) and pitch > 0):
        raise ValueError("several turns need a positive pitch")
    c = np.asarray(center, dtype=np.float64).reshape(3)
    parts = []
    for i in range(k):
        z = (i - 0.5 * (k - 1)) * pitch
        pts = np.column_stack([xy, np.full(len(xy), z)]) + c
        parts.append(polyline_segments(pts, closed=True))
    return Coil(np.vstack(parts), current, strand_radius)


def biot_savart(segments, targets, current, strand_radius, chunk: int = 4096) -> np.ndarray:
    """Flux density B in T at ``targets`` (M, 3; m) of straight segments (N, 6; m).

    A vectorised NumPy evaluation of the same model the compiled function uses: the exact
    field of a finite straight filament outside the strand, and the field of a round
    conductor of radius ``strand_radius`` (m) with uniform current density inside the strand
    cylinder or within ``strand_radius`` of either end point. ``current`` is in A.
    Useful as an independent reference and where the compiled module is not built.
    """
    src = np.asarray(segments, dtype=np.float64).reshape(-1, 6)
    tar = np.asarray(targets, dtype=np.float64)
    if tar.ndim != 2 or tar.shape[1] != 3:
        raise ValueError("targets must have shape (M, 3)")
    r = float(strand_radius)
    B = np.zeros_like(tar)
    a_all, b_all = src[:, :3], src[:, 3:]
    step = max(1, int(chunk))
    for j0 in range(0, len(tar), step):
        t = tar[j0:j0 + step][:, None, :]          # (m, 1, 3)
        a, b = a_all[None], b_all[None]            # (1, n, 3)
        L = b - a
        L2 = np.sum(L * L, axis=-1)
        R0, R1 = a - t, b - t
        d0 = np.sqrt(np.sum(R0 * R0, axis=-1))
        d1 = np.sqrt(np.sum(R1 * R1, axis=-1))
        with np.errstate(divide="ignore", invalid="ignore"):
            lam = -np.sum(L * R0, axis=-1) / L2
            rho = t - (a + L * lam[..., None])
            rho2 = np.sum(rho * rho, axis=-1)
            inside = ((r * r > rho2) & (lam <= 1) & (lam >= 0)) | (r > d0) | (r > d1)
            V = np.cross(L, rho)
            f_in = 2 * np.sqrt(rho2) / (r * r) / np.linalg.norm(V, axis=-1)
            W = np.cross(R0, R1)
            f_out = (d0 + d1) / (np.sum(R0 * R1, axis=-1) + d0 * d1) / d0 / d1
            contrib = np.where(inside[..., None], V * f_in[..., None], W * f_out[..., None])
        B[j0:j0 + step] = contrib.sum(axis=1)
    return B * (float(current) * 1e-7)


def loop_axial_field(radius, current, z) -> np.ndarray:
    """Analytic B_z in T on the axis of an ideal circular loop, at heights ``z`` (m).

    B_z = mu0 I R^2 / (2 (R^2 + z^2)^(3/2)), with loop radius R (m) and current I (A).
    """
    z = np.asarray(z, dtype=np.float64)
    R = float(radius)
    return MU0 * current * R * R / (2.0 * (R * R + z * z) ** 1.5)
