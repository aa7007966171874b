"""Coils as chains of straight current segments for the line-segment Biot-Savart function.

Every coil is a :class:`Coil`: ``segments`` is an (N, 6) float64 array whose row i holds
the start point (x, y, z) and the end point (x, y, z) of segment i in metres; ``current``
is the terminal current in amperes, flowing from start to end; ``turns`` (N,) says how
many turns of the winding the filament of each segment stands for, so segment i
carries ``current * turns[i]`` ampere-turns; ``strand_radius`` is the conductor radius
in metres (inside it the field of a segment is regularised by the Biot-Savart kernel).

Two ways to model a winding:

* as its own strand (:func:`loop`, :func:`solenoid`, :func:`racetrack`,
  :func:`rectangular`): the conductor is laid out turn after turn and every segment
  has ``turns`` 1;
* as a cross-section filled with filaments (:func:`winding`): a planar path from
  :mod:`.windings` (rounded rectangle, racetrack, circle or any polygon), a width x
  height cross-section around it filled with a grid of closed filaments that share
  the winding's ampere-turns, placed in space by an origin and an axis.

Currents are keyword-only: ``current=`` (terminal current, A) or ``ampere_turns=``.
"""

from __future__ import annotations

from dataclasses import dataclass, field
import warnings

import numpy as np

from . import windings as _w
from .fem.kernels import line_segment_field

__all__ = [
    "Coil",
    "polyline_segments",
    "winding",
    "loop",
    "solenoid",
    "racetrack",
    "rectangular",
    "loop_axial_field",
]

MU0 = (4 * np.pi) * 1e-7  # vacuum permeability in H/m

# The Biot-Savart kernel prints a banner above 1e8 segment-target pairs; calls are
# split below that so that a caller's own output stays readable.
_MAX_PAIRS = 100_000_000


@dataclass(frozen=True)
class Coil:
    """Straight current segments of one circuit.

    Attributes
    ----------
    segments : ndarray, shape (N, 6), float64
        Start xyz and end xyz of every segment in m; current flows start -> end.
    current : float
        Terminal current in A.
    strand_radius : float
        Conductor (strand or filament) radius in m.
    turns : ndarray, shape (N,), float64
        Turns of the winding that each segment's filament stands for (default 1).
    """

    segments: np.ndarray
    current: float
    strand_radius: float
    turns: np.ndarray = field(default=None)

    def __post_init__(self):
        seg = np.ascontiguousarray(self.segments, dtype=np.float64)
        if seg.ndim != 2 or seg.shape[1] != 6:
            raise ValueError(f"segments must have shape (N, 6), got {seg.shape}")
        if not np.all(np.isfinite(seg)):
            raise ValueError("segments must be finite")
        if not (np.isfinite(self.current) and np.isfinite(self.strand_radius)):
            raise ValueError("current and strand_radius must be finite numbers")
        if self.strand_radius < 0:
            raise ValueError("strand_radius must be non-negative")
        t = (np.ones(len(seg)) if self.turns is None
             else np.array(self.turns, dtype=np.float64).reshape(-1))
        if t.shape != (len(seg),) or not np.all(np.isfinite(t)):
            raise ValueError("turns needs one finite value per segment")
        object.__setattr__(self, "segments", seg)
        object.__setattr__(self, "current", float(self.current))
        object.__setattr__(self, "strand_radius", float(self.strand_radius))
        object.__setattr__(self, "turns", t)

    @property
    def radius(self) -> float:
        """Deprecated name of :attr:`strand_radius`."""
        warnings.warn("Coil.radius is now Coil.strand_radius", DeprecationWarning, stacklevel=2)
        return self.strand_radius

    @property
    def length(self) -> float:
        """Total length of all segments in m."""
        d = self.segments[:, 3:] - self.segments[:, :3]
        return float(np.linalg.norm(d, axis=1).sum())

    def _with(self, segments=None, current=None) -> "Coil":
        return Coil(self.segments if segments is None else segments,
                    self.current if current is None else current, self.strand_radius,
                    self.turns)

    def with_current(self, current) -> "Coil":
        """The same coil carrying the terminal ``current`` (A)."""
        return self._with(current=current)

    def translated(self, offset) -> "Coil":
        """The same coil moved by ``offset`` (3 values, m)."""
        off = np.asarray(offset, dtype=np.float64).reshape(3)
        return self._with(segments=self.segments + np.concatenate([off, off]))

    def rotated(self, rotation) -> "Coil":
        """The same coil rotated about the origin by the 3 x 3 matrix ``rotation``."""
        R = np.asarray(rotation, dtype=np.float64).reshape(3, 3)
        s = self.segments
        return self._with(segments=np.hstack([s[:, :3] @ R.T, s[:, 3:] @ R.T]))

    def groups(self):
        """``(segments, ampere_turns)`` pairs: the segments of equal ``turns``, each with
        the current (A) that every one of them carries, as the kernel takes them."""
        vals, inv = np.unique(self.turns, return_inverse=True)
        return [(self.segments[inv.reshape(-1) == k], self.current * v)
                for k, v in enumerate(vals) if v != 0]

    def field(self, points) -> np.ndarray:
        """Flux density in T at the (P, 3) points (m), by the compiled Biot-Savart kernel
        (one call per group of equal segment currents, at most 1e8 pairs per call)."""
        P = np.ascontiguousarray(points, dtype=np.float64)
        if P.ndim != 2 or P.shape[1] != 3:
            raise ValueError(f"points must have shape (P, 3), got {P.shape}")
        out = np.zeros_like(P)
        if len(P) == 0:
            return out
        for seg, cur in self.groups():
            step = max(1, _MAX_PAIRS // len(seg))
            for i in range(0, len(P), step):
                out[i:i + step] += line_segment_field(
                    seg, P[i:i + step], cur, self.strand_radius)
        return out

    def multipoles(self, r_ref, n: int = 15, center=(0.0, 0.0, 0.0), axis=(0.0, 0.0, 1.0),
                   main=None, *, x_axis=None, span=None, span_points: int = 32):
        """Field harmonics of this coil in free space on the circle of radius ``r_ref``
        (m) around ``axis`` through ``center``: normal and skew coefficients B_n, A_n
        in T for n = 1..``n`` (T m over ``span``), sampled from :meth:`field`.

        See :func:`fluxkern_tools.multipoles.harmonics` for the convention, the local
        axes, the sampling and the errors raised (ValueError). Returns a
        :class:`~fluxkern_tools.multipoles.Multipoles`.
        """
        from .multipoles import harmonics
        return harmonics(self.field, r_ref, n, center, axis, main, x_axis=x_axis,
                         span=span, span_points=span_points)


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


def _check_positive(**kw):
    for name, val in kw.items():
        if not (np.isfinite(val) and val > 0):
            raise ValueError(f"{name} must be a positive finite number, got {val!r}")


def _terminal_current(current, ampere_turns, turns) -> float:
    """The terminal current from exactly one of ``current`` (A) and ``ampere_turns``."""
    if (current is None) == (ampere_turns is None):
        raise TypeError("give exactly one of current= (A) and ampere_turns=")
    if current is not None:
        return float(current)
    return float(ampere_turns) / float(turns)


def winding(path, *, current=None, ampere_turns=None, turns=1, width=0.0, height=0.0,
            grid=(1, 1), gauss: bool = False, origin=(0.0, 0.0, 0.0), axis=(0.0, 0.0, 1.0),
            strand_radius=None) -> Coil:
    """A winding of ``turns`` turns as a cross-section filled with closed filaments.

    Parameters
    ----------
    path : a planar path of :mod:`.windings` (``RoundedRectangle``, ``Polygon``, or
        from ``racetrack_path``/``circle_path``): the mean line of the winding in its
        plane, walked counter-clockwise for a field along +``axis``. A winding known
        by its inner and outer outline: ``path, width =
        windings.RoundedRectangle.between(inner, outer)``.
    current, ampere_turns : the terminal current in A, or the ampere-turns N I
        (keyword-only; give exactly one).
    turns : number of turns N of the winding.
    width, height : the cross-section in m: ``width`` across the path in its plane
        (from offset -width/2 to +width/2), ``height`` along the axis (centred on the
        plane).
    grid : (n_width, n_height) filaments; each carries its share of the ampere-turns
        (equal shares at cell centres, or Gauss-Legendre points and weights with
        ``gauss``), so the filaments together carry N I.
    origin, axis : the winding plane's origin (m) and normal in space.
    strand_radius : filament radius in m for the kernel's regularisation; default the
        radius of the circle with the area of one grid cell (required if the
        cross-section has no area).

    Returns a :class:`Coil` whose ``turns`` hold each filament's share of N. Raises
    ValueError if ``grid`` is not two whole numbers >= 1 or if the section is wider
    than the path allows (a parallel curve at offset -width/2 or +width/2 would
    shrink a side to nothing or turn it around).
    """
    N = float(turns)
    _check_positive(turns=N)
    I = _terminal_current(current, ampere_turns, N)
    if not hasattr(path, "points"):
        raise TypeError("path must be a windings.RoundedRectangle, windings.Polygon or "
                        "another object with points(offset)")
    offsets, heights, shares = _w.cross_section(width, height, grid, gauss)
    # The conductor's edges, not only its filaments, must be curves like the path: a
    # winding wider than its path would fold its inner filaments onto or past a point.
    for edge in (-0.5 * float(width), 0.5 * float(width)):
        if edge != 0:
            path.points(edge)
    if strand_radius is None:
        cell = float(width) * float(height) / len(shares)
        if not cell > 0:
            raise ValueError("give strand_radius for a cross-section without area")
        strand_radius = np.sqrt(cell / np.pi)
    _check_positive(strand_radius=strand_radius)
    segs, tps = [], []
    for o, z, s in zip(offsets, heights, shares):
        pts = _w.place(path.points(o), z, origin, axis)
        segs.append(polyline_segments(pts, closed=True))
        tps.append(np.full(len(pts), N * s))
    return Coil(np.vstack(segs), I, strand_radius, np.concatenate(tps))


def loop(radius, n_segments: int = 64, *, current=None, ampere_turns=None,
         center=(0.0, 0.0, 0.0), axis=(0.0, 0.0, 1.0), strand_radius: float = 1e-3,
         inscribed: bool = False) -> Coil:
    """Circular loop of radius ``radius`` (m) carrying ``current`` (A).

    The current circulates counter-clockwise seen from the tip of ``axis`` (right-hand rule:
    the field on the axis points along ``axis`` for a positive current). The polygon has
    ``n_segments`` sides. By default its vertices are placed on a circle chosen so that the
    polygon encloses the same area as the true circle, which keeps the on-axis field
    within O(1/n^4) of the analytic one; with ``inscribed`` the vertices lie on the circle.
    ``strand_radius`` is the wire radius (m).
    """
    _check_positive(radius=radius, strand_radius=strand_radius)
    I = _terminal_current(current, ampere_turns, 1)
    n = int(n_segments)
    if n < 3:
        raise ValueError("a loop needs at least 3 segments")
    if inscribed:
        r = float(radius)
    else:
        # Area of the regular n-gon with circumradius r: n r^2 sin(2 pi / n) / 2 = pi R^2.
        r = float(radius) * np.sqrt(2 * np.pi / (n * np.sin(2 * np.pi / n)))
    phi = 2 * np.pi * np.arange(n) / n
    pts = _w.place(r * np.column_stack([np.cos(phi), np.sin(phi)]), 0.0, center, axis)
    return Coil(polyline_segments(pts, closed=True), I, strand_radius)


def solenoid(radius, length, turns, segments_per_turn: int = 64, *, current=None,
             ampere_turns=None, center=(0.0, 0.0, 0.0), axis=(0.0, 0.0, 1.0),
             strand_radius: float = 1e-3, helical: bool = True) -> Coil:
    """Solenoid of ``turns`` turns, radius ``radius`` (m) and winding length ``length`` (m).

    The winding is centred on ``center`` and runs along ``axis``; a positive ``current`` (A)
    gives a field along ``axis`` inside. With ``helical`` the strand is one continuous helix
    (open, from -length/2 to +length/2; the feed back along the axis is left out, so add a
    return conductor yourself if the axial current matters). Otherwise it is ``turns``
    separate closed loops stacked at equal pitch, which is the usual idealisation of a
    winding without the axial current component.
    """
    _check_positive(radius=radius, length=length, turns=turns, strand_radius=strand_radius)
    I = _terminal_current(current, ampere_turns, turns)
    n = int(segments_per_turn)
    if n < 3:
        raise ValueError("a turn needs at least 3 segments")
    if helical:
        total = int(round(n * float(turns)))
        s = np.linspace(0.0, 1.0, total + 1)
        phi = 2 * np.pi * float(turns) * s
        local = np.column_stack([radius * np.cos(phi), radius * np.sin(phi), (s - 0.5) * length])
        pts = np.asarray(center, dtype=np.float64).reshape(3) + local @ _w.frame(axis).T
        return Coil(polyline_segments(pts), I, strand_radius)
    k = int(round(turns))
    if k < 1 or abs(k - turns) > 1e-12:
        raise ValueError("stacked loops need a whole number of turns")
    w = _w.frame(axis)[:, 2]
    c = np.asarray(center, dtype=np.float64).reshape(3)
    zs = (np.arange(k) + 0.5) / k * length - 0.5 * length
    parts = [loop(radius, n, current=I, center=c + z * w, axis=axis,
                  strand_radius=strand_radius).segments for z in zs]
    return Coil(np.vstack(parts), I, strand_radius)


def racetrack(straight_length, radius, *, current=None, ampere_turns=None,
              segments_per_arc: int = 32, segments_per_straight: int = 8,
              center=(0.0, 0.0, 0.0), turns: int = 1, pitch: float = 0.0,
              strand_radius: float = 1e-3) -> Coil:
    """Racetrack coil in the xy-plane: two straights along x joined by two semicircles.

    The straights have length ``straight_length`` (m) and lie at y = +/- ``radius`` (m);
    the semicircles of radius ``radius`` are centred at x = +/- straight_length/2. The
    current (A) circulates counter-clockwise seen from +z, so the field in the middle
    points along +z. ``turns`` closed turns are stacked along z with spacing ``pitch`` (m),
    centred on ``center``. The arcs keep the exact enclosed area
    (:class:`.windings.RoundedRectangle`).
    """
    _check_positive(radius=radius, strand_radius=strand_radius)
    if int(segments_per_arc) < 2 or int(segments_per_straight) < 1:
        raise ValueError("need at least 2 segments per arc and 1 per straight")
    path = _w.racetrack_path(straight_length, radius, segments_per_arc, segments_per_straight)
    I = _terminal_current(current, ampere_turns, turns)
    return _stack_turns(path.points(), center, turns, pitch, I, strand_radius)


def rectangular(width, height, *, current=None, ampere_turns=None, center=(0.0, 0.0, 0.0),
                turns: int = 1, pitch: float = 0.0, segments_per_side: int = 1,
                strand_radius: float = 1e-3) -> Coil:
    """Rectangular coil in the xy-plane, ``width`` (m) along x and ``height`` (m) along y.

    The current (A) circulates counter-clockwise seen from +z. ``turns`` closed turns are
    stacked along z with spacing ``pitch`` (m), centred on ``center``. Splitting the sides
    into several segments changes nothing in the field (each straight piece is exact) but
    gives a finer point set for plotting.
    """
    _check_positive(width=width, height=height, strand_radius=strand_radius)
    if int(segments_per_side) < 1:
        raise ValueError("segments_per_side must be >= 1")
    path = _w.RoundedRectangle(width, height, 0.0, 1, segments_per_side)
    I = _terminal_current(current, ampere_turns, turns)
    return _stack_turns(path.points(), center, turns, pitch, I, strand_radius)


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


def loop_axial_field(radius, current, z) -> np.ndarray:
    """Analytic B_z in T on the axis of an ideal circular loop, at heights ``z`` (m).

    B_z = mu0 I R^2 / (2 (R^2 + z^2)^(3/2)), with loop radius R (m) and current I (A).
    """
    z = np.asarray(z, dtype=np.float64)
    R = float(radius)
    return MU0 * current * R * R / (2.0 * (R * R + z * z) ** 1.5)
