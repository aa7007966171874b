"""Coils as circuits in free space: vector potential, flux linkage, inductance, force.

Every quantity is summed over the straight segments of :class:`~.coils.Coil` objects,
with segment i carrying ``current * turns[i]`` ampere-turns:

* the vector potential of a straight segment from a to b (length L, unit direction t)
  at a point at distances R1, R2 from its ends is (mu0 I / 4 pi) t ln((R1 + R2 + L) /
  (R1 + R2 - L)), written so that it keeps its digits near the segment's line;
* the flux linkage of a coil in a potential A is sum_i turns_i int_i A . dl (Gauss-
  Legendre points along each segment);
* a segment's linkage with its own potential is the partial self-inductance of a
  straight conductor at the geometric mean distance of its cross-section from itself
  (e^(-1/4) strand_radius for a round strand with uniform current), in closed form;
* the force on a coil in a field B is sum_i I turns_i int_i t x B dl.

SI units: m, A, T, Wb, H, N, N m.
"""

from __future__ import annotations

import numpy as np

from .coils import MU0, Coil
from .fem.quadrature import gauss_legendre_01

__all__ = ["vector_potential", "flux_linkage", "self_inductance", "mutual_inductance",
           "lorentz_force"]

_PAIRS_PER_BLOCK = 2_000_000


def _coils(source):
    if isinstance(source, Coil):
        return [source]
    out = list(source)
    if not out or not all(isinstance(c, Coil) for c in out):
        raise TypeError("expected a Coil or a sequence of Coils")
    return out


def _potential_factors(a, b, p, rmin):
    """ln((R1 + R2 + L) / (R1 + R2 - L)) (P, K) of segments a -> b (K, 3) at p (P, 3).

    Beside a segment (foot of the perpendicular on it) the sum of two asinh terms has
    no cancellation; elsewhere R1 + R2 - L = 2 (R1 R2 + d1 . d2) / (R1 + R2 + L)
    keeps the digits. Distances to the line below ``rmin`` are raised to it (inside
    the strand the potential is that of its surface)."""
    L = b - a
    Ln = np.linalg.norm(L, axis=1)
    t = L / Ln[:, None]
    d1 = a[None] - p[:, None]
    d2 = b[None] - p[:, None]
    R1 = np.linalg.norm(d1, axis=2)
    R2 = np.linalg.norm(d2, axis=2)
    s = -np.einsum("pkc,kc->pk", d1, t)              # axial coordinate of p from a
    rho = np.sqrt(np.maximum(R1 * R1 - s * s, 0.0))
    beside = (s >= 0) & (s <= Ln)
    with np.errstate(divide="ignore", invalid="ignore"):
        rb = np.maximum(rho, rmin)
        f_in = np.arcsinh(s / rb) + np.arcsinh((Ln - s) / rb)
        S = R1 + R2 + Ln
        q = R1 * R2 + np.einsum("pkc,pkc->pk", d1, d2)
        f_out = np.log(S * S / (2.0 * q))
    return np.where(beside, f_in, f_out), t


def vector_potential(source, points) -> np.ndarray:
    """Vector potential A in Wb/m (T m) at ``points`` (P, 3; m) of one coil or several.

    Inside a strand (closer to a segment's line than ``strand_radius``) the value at
    the strand surface is returned.
    """
    P = np.asarray(points, dtype=np.float64).reshape(-1, 3)
    A = np.zeros_like(P)
    for c in _coils(source):
        a, b = c.segments[:, :3], c.segments[:, 3:]
        w = c.current * c.turns
        step = max(1, _PAIRS_PER_BLOCK // max(1, len(a)))
        for i in range(0, len(P), step):
            f, t = _potential_factors(a, b, P[i:i + step], c.strand_radius)
            A[i:i + step] += (f * w) @ t
    return A * (MU0 / (4 * np.pi))


def _gauss_points(coil, n_gauss):
    x, wq = gauss_legendre_01(int(n_gauss))
    a, b = coil.segments[:, :3], coil.segments[:, 3:]
    pts = a[:, None] + x[None, :, None] * (b - a)[:, None]          # (K, n, 3)
    return pts, wq


def flux_linkage(coil: Coil, potential, n_gauss: int = 8) -> float:
    """Flux linkage in Wb of ``coil`` in the vector potential ``potential``, a callable
    mapping (P, 3) points in m to A (P, 3) in Wb/m: sum_i turns_i int_i A . dl."""
    pts, wq = _gauss_points(coil, n_gauss)
    A = np.asarray(potential(pts.reshape(-1, 3)), dtype=np.float64).reshape(pts.shape)
    dl = coil.segments[:, 3:] - coil.segments[:, :3]
    return float(np.einsum("k,q,kqc,kc->", coil.turns, wq, A, dl))


def mutual_inductance(a: Coil, b: Coil, n_gauss: int = 8) -> float:
    """Mutual inductance in H between coils ``a`` and ``b`` (per ampere of terminal
    current each), from b's linkage with a's potential. Meant for coils that do not
    overlap; for a coil with itself use :func:`self_inductance`."""
    unit = a.with_current(1.0)
    return flux_linkage(b, lambda p: vector_potential(unit, p), n_gauss)


def _chains(seg) -> np.ndarray:
    """Label of the chain (one filament or strand, closed or open) of every segment:
    a chain goes on while a segment starts where the previous one ends."""
    brk = np.ones(len(seg), dtype=bool)
    brk[1:] = np.any(seg[1:, :3] != seg[:-1, 3:], axis=1)
    return np.cumsum(brk) - 1


def _offsets(seg, g):
    """Shift (K, 3) of length ``g`` across each segment, along the coil's axis (the
    normal of its vector area) where the segment allows, which keeps a planar
    filament's shifted copy the same size as itself."""
    a, b = seg[:, :3], seg[:, 3:]
    c = a.mean(axis=0)
    n = np.cross(a - c, b - c).sum(axis=0)
    n = n / np.linalg.norm(n) if np.linalg.norm(n) > 0 else np.array([0.0, 0.0, 1.0])
    t = (b - a) / np.linalg.norm(b - a, axis=1)[:, None]
    d = n[None] - (t @ n)[:, None] * t
    weak = np.linalg.norm(d, axis=1) < 0.5
    if np.any(weak):                                  # segments along the axis
        e = np.eye(3)[np.argmin(np.abs(t[weak]), axis=1)]
        d[weak] = e - np.einsum("kc,kc->k", e, t[weak])[:, None] * t[weak]
    return g * d / np.linalg.norm(d, axis=1)[:, None]


def self_inductance(coil: Coil, n_gauss: int = 8, gmd: float | None = None) -> float:
    """Self-inductance in H of ``coil`` in free space (per ampere of terminal current).

    Filaments link with one another through their line potentials; a filament (a
    chain of segments) links with its own potential along a copy of itself shifted by
    the geometric mean distance g of its cross-section from itself (the thin-wire
    rule), and each segment with its own potential in closed form, the partial
    self-inductance of a straight conductor, (mu0 l / 2 pi) (asinh(l / g) -
    sqrt(1 + g^2 / l^2) + g / l). ``gmd`` defaults to e^(-1/4) strand_radius, a round
    strand with uniform current (a filament standing for a rectangular cell a x b:
    about 0.2235 (a + b)).
    """
    g = coil.strand_radius * np.exp(-0.25) if gmd is None else float(gmd)
    if not g > 0:
        raise ValueError("self-inductance needs a positive strand radius or gmd")
    seg = coil.segments
    a, b = seg[:, :3], seg[:, 3:]
    pts, wq = _gauss_points(coil, n_gauss)
    n = len(wq)
    dl = b - a
    tau = coil.turns
    chain = _chains(seg)
    shift = _offsets(seg, g)
    total = 0.0
    for c in range(chain[-1] + 1):
        own = np.flatnonzero(chain == c)
        other = np.flatnonzero(chain != c)
        step = max(1, _PAIRS_PER_BLOCK // max(1, len(seg) * n))
        for j0 in range(0, len(own), step):
            js = own[j0:j0 + step]
            # other chains: line potentials at the points on the filament
            if len(other):
                f, t = _potential_factors(a[other], b[other], pts[js].reshape(-1, 3), 0.0)
                total += float(np.einsum("j,q,jqk,k,jk->", tau[js], wq,
                                         f.reshape(len(js), n, -1), tau[other],
                                         dl[js] @ t.T))
            # own chain: at the shifted points; its own segment in closed form below
            p = (pts[js] + shift[js][:, None]).reshape(-1, 3)
            f, t = _potential_factors(a[own], b[own], p, 0.0)
            f = f.reshape(len(js), n, len(own))
            f[np.arange(len(js)), :, j0 + np.arange(len(js))] = 0.0
            total += float(np.einsum("j,q,jqk,k,jk->", tau[js], wq, f, tau[own],
                                     dl[js] @ t.T))
    lengths = np.linalg.norm(dl, axis=1)
    x = lengths / g
    own_terms = 2.0 * lengths * (np.arcsinh(x) - np.sqrt(1.0 + 1.0 / (x * x)) + 1.0 / x)
    total += float(np.sum(tau * tau * own_terms))
    return total * MU0 / (4 * np.pi)


def lorentz_force(coil: Coil, field, origin=(0.0, 0.0, 0.0), n_gauss: int = 4):
    """Force (N) and torque about ``origin`` (N m) on ``coil`` in the flux density
    ``field``: a callable on (P, 3) points in m returning B (P, 3) in T, or a coil or
    coils whose Biot-Savart field it is (the coil's own field exerts no net force and
    must not be included). Returns ``(force (3,), torque (3,))``."""
    if not callable(field):
        srcs = _coils(field)
        field = lambda p: sum(c.field(p) for c in srcs)
    pts, wq = _gauss_points(coil, n_gauss)
    B = np.asarray(field(pts.reshape(-1, 3)), dtype=np.float64).reshape(pts.shape)
    dl = coil.segments[:, 3:] - coil.segments[:, :3]
    dF = coil.current * coil.turns[:, None, None] * wq[None, :, None] * np.cross(dl[:, None], B)
    r = pts - np.asarray(origin, dtype=np.float64).reshape(3)
    return dF.sum(axis=(0, 1)), np.cross(r, dF).sum(axis=(0, 1))
