"""Quadrature rules on the reference tetrahedron and on the unit interval.

The reference tetrahedron has the vertices (0,0,0), (1,0,0), (0,1,0), (0,0,1) and volume
1/6. Rules are returned as ``(points, weights)`` with ``points`` of shape (M, 3) and
``weights`` of shape (M,), both float64 and C-contiguous, weights summing to 1/6; a
physical integral over an element is ``sum(w * f(x(q))) * |det J|``. These arrays are
what the compiled functions take as ``q`` and ``w``.
"""

from __future__ import annotations

from functools import lru_cache

import numpy as np
from scipy.special import roots_jacobi, roots_legendre

__all__ = ["tetrahedron", "tetrahedron14", "stroud", "gauss_legendre_01",
           "MAX_TABULATED_DEGREE"]

# Degrees 0..2 have small symmetric rules with positive weights and interior points;
# beyond that the conical product is used (the classic 5-point degree-3 rule has a
# negative weight, which we avoid). :func:`tetrahedron14` is a symmetric rule of
# degree 5 for callers that choose it.
MAX_TABULATED_DEGREE = 2

_A4 = (5.0 - np.sqrt(5.0)) / 20.0  # 4-point degree-2 rule: barycentric 1-3a, a, a, a
# 14-point degree-5 rule (Walkington): two orbits (1-3a, a, a, a) and one orbit
# (b, b, 1/2-b, 1/2-b); weights for the reference volume 1/6. Its moments agree with
# the exact ones to 1e-17 (tests/test_quadrature.py checks every monomial).
_R14 = ((0.0927352503108912, 0.01224884051939366),
        (0.3108859192633006, 0.01878132095300264))
_B14, _W14 = 0.0455037041256496, 0.007091003462846911


def tetrahedron14():
    """Symmetric 14-point rule exact to degree 5, positive weights summing to 1/6 and
    interior points: ``(points (14, 3), weights (14,))``, fresh arrays. Half the points
    of the conical product of the same degree."""
    pts, w = [], []
    for a, wa in _R14:
        for i in range(4):
            lam = np.full(4, a)
            lam[i] = 1.0 - 3.0 * a
            pts.append(lam[1:])
            w.append(wa)
    for i in range(4):
        for j in range(i + 1, 4):
            lam = np.full(4, 0.5 - _B14)
            lam[[i, j]] = _B14
            pts.append(lam[1:])
            w.append(_W14)
    return np.array(pts), np.array(w)


def _check_degree(degree) -> int:
    d = int(degree)
    if d != degree or d < 0:
        raise ValueError(f"degree must be a non-negative integer, got {degree!r}")
    if d > 40:
        # Far beyond any FE need; the product rule would have > 9000 points.
        raise ValueError(f"degree {d} is too high (at most 40)")
    return d


@lru_cache(maxsize=None)
def _stroud_cached(degree: int):
    n = max(1, (degree + 2) // 2)  # n Gauss points integrate degree 2n-1 >= degree exactly
    # Collapsed coordinates (a, b, c) in [0,1]^3: x = a, y = b(1-a), z = c(1-a)(1-b),
    # with Jacobian (1-a)^2 (1-b); the Jacobian factors become Gauss-Jacobi weights.
    ta, wa = roots_jacobi(n, 2.0, 0.0)
    tb, wb = roots_jacobi(n, 1.0, 0.0)
    tc, wc = roots_legendre(n)
    a, b, c = (ta + 1) / 2, (tb + 1) / 2, (tc + 1) / 2
    wa, wb, wc = wa / 8.0, wb / 4.0, wc / 2.0
    A, B, C = np.meshgrid(a, b, c, indexing="ij")
    W = wa[:, None, None] * wb[None, :, None] * wc[None, None, :]
    x = A
    y = B * (1 - A)
    z = C * (1 - A) * (1 - B)
    pts = np.stack([x.ravel(), y.ravel(), z.ravel()], axis=1)
    return np.ascontiguousarray(pts), np.ascontiguousarray(W.ravel())


def stroud(degree):
    """Stroud conical-product rule exact for polynomials of total degree ``degree``.

    Built from Gauss-Jacobi points (``scipy.special.roots_jacobi``) in collapsed
    coordinates; it has ceil((degree+1)/2)^3 points, all strictly inside the reference
    tetrahedron, and positive weights summing to 1/6. Reference coordinates are
    dimensionless. Returns ``(points (M, 3), weights (M,))``, fresh arrays.
    """
    p, w = _stroud_cached(_check_degree(degree))
    return p.copy(), w.copy()


def tetrahedron(degree):
    """Quadrature rule on the reference tetrahedron exact to total degree ``degree``.

    Degree 0 and 1: the centroid (1 point). Degree 2: the symmetric 4-point rule.
    Higher degrees: :func:`stroud`. All rules have interior points and positive
    weights summing to 1/6 (the reference volume). Returns ``(points (M, 3),
    weights (M,))`` as fresh float64 arrays.
    """
    d = _check_degree(degree)
    if d <= 1:
        return np.full((1, 3), 0.25), np.array([1.0 / 6.0])
    if d == 2:
        a = _A4
        b = 1.0 - 3.0 * a
        pts = np.array([[a, a, a], [b, a, a], [a, b, a], [a, a, b]])
        return pts, np.full(4, 1.0 / 24.0)
    return stroud(d)


def gauss_legendre_01(n):
    """Gauss-Legendre rule with ``n`` points on [0, 1]: ``(points (n,), weights (n,))``.

    Exact for polynomials of degree 2n - 1; weights sum to 1. Used for line integrals
    along mesh edges.
    """
    n = int(n)
    if n < 1:
        raise ValueError("n must be >= 1")
    t, w = roots_legendre(n)
    return (t + 1) / 2, w / 2
