"""Second-order edge elements (Nédélec, first kind) on tetrahedra: reference tables.

The space holds every linear vector field plus the quadratic fields curl-conforming
elements need (20 functions per tetrahedron: 2 per edge, 2 per face); the curl of a
field is linear in each element. The basis is hierarchical, with lambda_i the
barycentric coordinates and w_ab = lambda_a grad(lambda_b) - lambda_b grad(lambda_a)
the Whitney function of edge (a, b):

====== ===================================== ==========================================
local  function                              on a shared edge or face
====== ===================================== ==========================================
0..5   w_ab of local edge k = (a, b)         directed from the lower global vertex
6..11  grad(lambda_a lambda_b) of edge k     no direction: a gradient, curl-free
12..19 lambda_c w_ab and lambda_a w_bc of    vertices a < b < c by global number
       local face i (2 i, 2 i + 1)
====== ===================================== ==========================================

Local edges are those of :data:`fluxkern_tools.elements.LOCAL_EDGES`; local face i is
the face opposite vertex i. Functions 0..5 are the lowest-order ones, so the lowest-order
space is a subspace with the same coefficients, and the kernel of curl is spanned by the
lowest-order gradients and functions 6..11. Tangential traces on a face depend only on
the face's vertices and their global order, so neighbours agree.

Orientation classes: the rank of each local vertex among the element's four global
numbers fixes every edge direction and face order. There are 24 rank patterns, the
permutations of (0, 1, 2, 3) in lexicographic order (:data:`RANKS`); class c's tables
are those of pattern ``RANKS[c]``. Elements keep their positive orientation.

Mapping to a physical element as for the lowest order: values with J^{-T}, curls with
J * curl / det J. Reference tables are dimensionless.
"""

from __future__ import annotations

from itertools import permutations

import numpy as np

from .elements import GRAD_LAMBDA, LOCAL_EDGES
from .quadrature import gauss_legendre_01

__all__ = ["NUM_DOFS", "NUM_CLASSES", "RANKS", "LOCAL_FACES", "permutation_class",
           "basis", "values_by_class", "curls_by_class", "triangle_rule",
           "edge_weights", "face_system"]

NUM_DOFS = 20
NUM_CLASSES = 24
RANKS = np.array(list(permutations(range(4))), dtype=np.int64)        # (24, 4)
LOCAL_FACES = np.array([[1, 2, 3], [0, 2, 3], [0, 1, 3], [0, 1, 2]], dtype=np.int64)

_G = GRAD_LAMBDA                         # gradients of the barycentric coordinates
_FACT = np.array([6, 2, 1, 1])


def permutation_class(element_nodes) -> np.ndarray:
    """Class (E,) int32 of each element from its global vertex numbers (E, >= 4): the
    index of its rank pattern in :data:`RANKS`."""
    c = np.asarray(element_nodes)
    if c.ndim != 2 or c.shape[1] < 4:
        raise ValueError("element_nodes must have shape (E, 4) (vertices first)")
    v = c[:, :4]
    if np.any(np.sort(v, axis=1)[:, 1:] == np.sort(v, axis=1)[:, :-1]):
        raise ValueError("an element repeats a vertex")
    ranks = np.argsort(np.argsort(v, axis=1, kind="stable"), axis=1)
    # Lexicographic index: the Lehmer code in the factorial number system.
    smaller_later = (ranks[:, None, :] < ranks[:, :, None]) & np.triu(np.ones((4, 4), bool), 1)
    return (smaller_later.sum(axis=2) @ _FACT).astype(np.int32)


def _sorted_faces(ranks):
    """Local vertices (P, 4, 3) of every face, ordered by rank; ``ranks`` (P, 4)."""
    fv = np.broadcast_to(LOCAL_FACES, (len(ranks), 4, 3))
    r = np.take_along_axis(ranks[:, None, :].repeat(4, axis=1), fv, axis=2)
    return np.take_along_axis(fv, np.argsort(r, axis=2), axis=2)


def basis(lam, ranks):
    """Reference values and curls of the 20 functions: two (P, 20, 3) arrays.

    ``lam`` (P, 4) barycentric coordinates of the points; ``ranks`` (P, 4) or (4,) the
    rank pattern of the element holding each point (a row of :data:`RANKS`).
    """
    lam = np.asarray(lam, dtype=np.float64).reshape(-1, 4)
    P = len(lam)
    ranks = np.broadcast_to(np.asarray(ranks, dtype=np.int64), (P, 4))
    val = np.zeros((P, NUM_DOFS, 3))
    curl = np.zeros((P, NUM_DOFS, 3))
    a, b = LOCAL_EDGES[:, 0], LOCAL_EDGES[:, 1]
    sign = np.where(ranks[:, a] < ranks[:, b], 1.0, -1.0)[..., None]      # (P, 6, 1)
    la, lb = lam[:, a, None], lam[:, b, None]
    val[:, :6] = sign * (la * _G[b] - lb * _G[a])
    curl[:, :6] = sign * (2.0 * np.cross(_G[a], _G[b]))
    val[:, 6:12] = la * _G[b] + lb * _G[a]
    s = _sorted_faces(ranks)
    fa, fb, fc = s[..., 0], s[..., 1], s[..., 2]                          # (P, 4)
    L = [np.take_along_axis(lam, f, axis=1)[..., None] for f in (fa, fb, fc)]
    Ga, Gb, Gc = _G[fa], _G[fb], _G[fc]                                   # (P, 4, 3)
    w_ab = L[0] * Gb - L[1] * Ga
    w_bc = L[1] * Gc - L[2] * Gb
    val[:, 12::2] = L[2] * w_ab
    val[:, 13::2] = L[0] * w_bc
    curl[:, 12::2] = np.cross(Gc, w_ab) + 2.0 * L[2] * np.cross(Ga, Gb)
    curl[:, 13::2] = np.cross(Ga, w_bc) + 2.0 * L[0] * np.cross(Gb, Gc)
    return val, curl


def _by_class(points, which):
    p = np.asarray(points, dtype=np.float64).reshape(-1, 3)
    lam = np.column_stack([1.0 - p.sum(axis=1), p])
    return np.ascontiguousarray(np.stack([basis(lam, r)[which] for r in RANKS]))


def values_by_class(points):
    """Per-class values (24, M, 20, 3) at reference ``points`` (M, 3)."""
    return _by_class(points, 0)


def curls_by_class(points):
    """Per-class curls (24, M, 20, 3) at reference ``points`` (M, 3): the ``curls``
    argument of the compiled H(curl) functions for ``num_el_dofs`` = 20."""
    return _by_class(points, 1)


# -- degrees of freedom ---------------------------------------------------------------------
#
# Interpolation works on the tangential components of a field, which are all that
# neighbouring elements share. On an edge from its lower vertex (s = 0) to its higher one
# (s = 1) with t the edge vector, w . t = 1 and grad(lambda_lo lambda_hi) . t = 1 - 2 s,
# so a field whose u . t is linear has the coefficients int u.t ds and
# 3 int u.t (1 - 2 s) ds. On a face a < b < c with tau_1 = x_b - x_a, tau_2 = x_c - x_a
# and coordinates (s, t) (lambda_a = 1 - s - t, lambda_b = s, lambda_c = t), the
# moments int u . tau_i dA over the reference triangle, less those of the face's edge
# functions, determine its two face functions.


def triangle_rule(n: int):
    """Collapsed Gauss rule on the reference triangle (0,0), (1,0), (0,1): ``(st (Q, 2),
    w (Q,))``, weights summing to 1/2, exact to degree 2 n - 1."""
    x, wx = gauss_legendre_01(n)
    s = np.repeat(x, n)
    t = np.tile(x, n) * (1.0 - s)
    w = np.repeat(wx, n) * np.tile(wx, n) * (1.0 - s)
    return np.column_stack([s, t]), w


def edge_weights(n: int) -> tuple:
    """``(s (Q,), W (2, Q))``: Gauss points along an edge and the weights that turn the
    samples of u . t into the edge's two coefficients (exact for u . t of degree
    2 n - 2)."""
    s, w = gauss_legendre_01(n)
    return s, np.vstack([w, 3.0 * w * (1.0 - 2.0 * s)])


# Directional derivatives of (lambda_a, lambda_b, lambda_c) along tau_1 and tau_2.
_D = np.array([[-1.0, 1.0, 0.0], [-1.0, 0.0, 1.0]])
# A face's edges in the order (a, b), (a, c), (b, c), each directed low -> high.
_FACE_EDGES = np.array([[0, 1], [0, 2], [1, 2]])


def _face_traces(st):
    """u . tau_i (Q, 2 [i], 8 [function]) on a face for its edge functions (Whitney of
    (a,b), (a,c), (b,c), then their gradient functions) and its two face functions."""
    lam = np.column_stack([1.0 - st.sum(axis=1), st])                     # (Q, 3)
    x, y = _FACE_EDGES[:, 0], _FACE_EDGES[:, 1]
    lx, ly = lam[:, None, x], lam[:, None, y]                             # (Q, 1, 3)
    Dx, Dy = _D[None, :, x], _D[None, :, y]                               # (1, 2, 3)
    whit = lx * Dy - ly * Dx                                              # (Q, 2, 3)
    grad = lx * Dy + ly * Dx
    f1 = lam[:, None, 2] * whit[:, :, 0]                                  # lambda_c w_ab
    f2 = lam[:, None, 0] * whit[:, :, 2]                                  # lambda_a w_bc
    return np.concatenate([whit, grad, f1[..., None], f2[..., None]], axis=2)


def face_system():
    """``(M (2, 2), E (2, 6))``: moments int f . tau_i dA of the two face functions
    (columns) and of the face's six edge functions, in the order of
    :func:`_face_traces`. Exact (the integrands are cubic)."""
    st, w = triangle_rule(3)
    m = np.einsum("q,qif->if", w, _face_traces(st))
    return m[:, 6:], m[:, :6]
