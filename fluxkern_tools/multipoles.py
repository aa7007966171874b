"""Field harmonics (multipole coefficients) on a reference circle.

In the plane normal to a magnet's axis, with local Cartesian axes x, y and z = x + i y,
the transverse field of a current-free region around the axis is the series

    B_y + i B_x = sum_{n >= 1} (B_n + i A_n) (z / r_ref)^(n - 1),

B_n the normal and A_n the skew coefficients in T at the reference radius r_ref
(n = 1 dipole, 2 quadrupole, 3 sextupole, ...). On the circle |z| = r_ref the radial
field is B_r(theta) = sum_n (B_n sin(n theta) + A_n cos(n theta)), which is what
:func:`harmonics` samples and transforms (a rotating coil measures the same); for a
two-dimensional field it is the complex series above. ``b_n`` and ``a_n`` are the
coefficients in units of 1e-4 of the main field.

Local axes: z_local is ``axis`` (normalised); x_local is ``x_axis`` projected onto
the plane normal to it, or by default the global coordinate axis that follows the
largest component of ``axis`` cyclically (axis along z: x; along x: y; along y: z),
projected and normalised; y_local = z_local x x_local (right-handed). So for
axis = z the local axes are the global x and y, and for axis = x they are y and z.

SI units: m, T; integrated coefficients (over a span along the axis) in T m.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

__all__ = ["Multipoles", "harmonics", "local_axes", "sample_count"]


def local_axes(axis=(0.0, 0.0, 1.0), x_axis=None) -> np.ndarray:
    """Rows (3, 3): the local x, y and z axes (unit vectors) of the plane normal to
    ``axis`` (see the module notes for how x is chosen).

    Raises
    ------
    ValueError
        ``axis`` is zero or not finite, or ``x_axis`` is (nearly) parallel to it.
    """
    ez = np.asarray(axis, dtype=np.float64).reshape(3)
    nz = np.linalg.norm(ez)
    if not (np.isfinite(nz) and nz > 0):
        raise ValueError("axis must be a finite non-zero vector")
    ez = ez / nz
    if x_axis is None:
        ex = np.eye(3)[(int(np.argmax(np.abs(ez))) + 1) % 3]
    else:
        ex = np.asarray(x_axis, dtype=np.float64).reshape(3)
        if not np.all(np.isfinite(ex)):
            raise ValueError("x_axis must be finite")
    ex = ex - (ex @ ez) * ez
    nx = np.linalg.norm(ex)
    if not nx > 1e-9 * max(1.0, np.linalg.norm(ex + (ex @ ez) * ez)):
        raise ValueError("x_axis must not be parallel to axis")
    ex = ex / nx
    return np.array([ex, np.cross(ez, ex), ez])


def sample_count(n: int) -> int:
    """Points on the circle for harmonics up to order ``n``: the power of two at least
    max(64, 4 n)."""
    return int(2 ** int(np.ceil(np.log2(max(64, 4 * int(n))))))


@dataclass(frozen=True)
class Multipoles:
    """Normal and skew multipole coefficients at a reference radius.

    Attributes
    ----------
    B, A : ndarray (n,)
        Normal and skew coefficients for orders 1..n in T (T m when ``integrated``).
    r_ref : float
        Reference radius in m.
    main : int
        Order of the main field (the largest |B_n + i A_n| unless chosen).
    points : int
        Field samples on the circle.
    center, axes : ndarray
        Centre (3,) in m and local axes (3, 3), rows x, y, z.
    span : tuple or None
        (z0, z1) in m along the axis for integrated coefficients, else None.
    """

    B: np.ndarray
    A: np.ndarray
    r_ref: float
    main: int
    points: int
    center: np.ndarray
    axes: np.ndarray
    span: tuple | None = None

    @property
    def n(self) -> int:
        """Highest order."""
        return len(self.B)

    @property
    def integrated(self) -> bool:
        """True for coefficients integrated along the axis (T m)."""
        return self.span is not None

    @property
    def main_field(self) -> float:
        """The reference for ``b`` and ``a``: B_main, or A_main for a skew magnet
        (|A_main| > |B_main|); T (T m when integrated)."""
        k = self.main - 1
        return float(self.B[k] if abs(self.B[k]) >= abs(self.A[k]) else self.A[k])

    @property
    def b(self) -> np.ndarray:
        """Normal coefficients in units of 1e-4 of :attr:`main_field`."""
        return 1e4 * self.B / self.main_field

    @property
    def a(self) -> np.ndarray:
        """Skew coefficients in units of 1e-4 of :attr:`main_field`."""
        return 1e4 * self.A / self.main_field

    def table(self) -> str:
        """The coefficients as a text table."""
        unit = "T m" if self.integrated else "T"
        head = (f"multipoles at r_ref = {1e3 * self.r_ref:g} mm, main n = {self.main}, "
                f"{self.points} points on the circle"
                + (f", integrated over z = {self.span[0]:g} .. {self.span[1]:g} m"
                   if self.integrated else ""))
        lines = [head, f"{'n':>3} {'B_n [' + unit + ']':>15} {'A_n [' + unit + ']':>15} "
                 f"{'b_n':>12} {'a_n':>12}"]
        for k in range(self.n):
            lines.append(f"{k + 1:3d} {self.B[k]:15.6e} {self.A[k]:15.6e} "
                         f"{self.b[k]:12.4f} {self.a[k]:12.4f}")
        return "\n".join(lines)


def _check(r_ref, n, main):
    r = float(r_ref)
    if not (np.isfinite(r) and r > 0):
        raise ValueError(f"r_ref must be a positive finite length (m), got {r_ref!r}")
    if isinstance(n, bool) or int(n) != n or int(n) < 1:
        raise ValueError(f"n must be an integer >= 1, got {n!r}")
    n = int(n)
    if main is not None and (isinstance(main, bool) or int(main) != main
                             or not 1 <= int(main) <= n):
        raise ValueError(f"main must be an integer order between 1 and n = {n}, "
                         f"got {main!r}")
    return r, n


def harmonics(field, r_ref, n: int = 15, center=(0.0, 0.0, 0.0), axis=(0.0, 0.0, 1.0),
              main=None, *, x_axis=None, span=None, span_points: int = 32) -> Multipoles:
    """Multipole coefficients of ``field`` on the circle of radius ``r_ref``.

    Parameters
    ----------
    field : callable mapping (P, 3) points in m to B (P, 3) in T.
    r_ref : reference radius in m (> 0).
    n : highest order (integer >= 1).
    center, axis : the circle's centre (m) and the magnet axis, its normal.
    main : the main order (default: the n of the largest |B_n + i A_n|).
    x_axis : the local x direction (projected onto the plane); see the module notes.
    span : None, or (z0, z1) in m along the axis from ``center``: the coefficients of
        the field integrated over z0..z1 (T m), by a ``span_points``-point
        Gauss-Legendre rule in z on circles centred on the axis.

    The radial field is sampled at :func:`sample_count` (n) equally spaced angles (a
    power of two, at least 64 and 4 n) and transformed by an FFT; orders up to n are
    free of aliasing from orders below the sample count minus n.

    Returns
    -------
    Multipoles

    Raises
    ------
    ValueError
        A non-positive ``r_ref``, ``n`` not an integer >= 1, ``main`` out of 1..n, a
        degenerate axis, an empty ``span`` or a field with non-finite values (points
        outside a mesh).
    """
    r, n = _check(r_ref, n, main)
    ax = local_axes(axis, x_axis)
    c = np.asarray(center, dtype=np.float64).reshape(3)
    N = sample_count(n)
    th = 2 * np.pi * np.arange(N) / N
    ring = r * (np.cos(th)[:, None] * ax[0] + np.sin(th)[:, None] * ax[1])    # (N, 3)
    if span is None:
        zs, wz = np.zeros(1), np.ones(1)
    else:
        z0, z1 = (float(v) for v in span)
        if not (np.isfinite(z0) and np.isfinite(z1) and z1 > z0):
            raise ValueError(f"span must be (z0, z1) with z1 > z0, got {span!r}")
        k = int(span_points)
        if k < 1:
            raise ValueError("span_points must be >= 1")
        t, w = np.polynomial.legendre.leggauss(k)
        zs, wz = 0.5 * (z0 + z1) + 0.5 * (z1 - z0) * t, 0.5 * (z1 - z0) * w
    pts = c + zs[:, None, None] * ax[2] + ring[None]                         # (Z, N, 3)
    Bv = np.asarray(field(pts.reshape(-1, 3)), dtype=np.float64).reshape(pts.shape)
    if not np.all(np.isfinite(Bv)):
        raise ValueError("the field is not finite on the reference circle (outside the "
                         "mesh?)")
    radial = np.cos(th) * (Bv @ ax[0]) + np.sin(th) * (Bv @ ax[1])           # (Z, N)
    Br = wz @ radial
    # B_r = sum (A_n cos n theta + B_n sin n theta): X_n = N (A_n - i B_n) / 2.
    X = np.fft.rfft(Br)[1:n + 1] * (2.0 / N)
    C = 1j * X                                                              # B_n + i A_n
    order = int(np.argmax(np.abs(C))) + 1 if main is None else int(main)
    return Multipoles(C.real.copy(), C.imag.copy(), r, order, N, c, ax,
                      None if span is None else (z0, z1))
