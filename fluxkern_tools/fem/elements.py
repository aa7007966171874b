"""Reference-element tables for tetrahedra: Lagrange P1/P2 and lowest-order Nedelec.

Conventions shared with the compiled kernels:

* Reference tetrahedron (0,0,0), (1,0,0), (0,1,0), (0,0,1); barycentric coordinates
  lambda_0 = 1 - x - y - z, lambda_1 = x, lambda_2 = y, lambda_3 = z.
* Tables are row-major: ``phi`` [M][N], ``d_phi`` [M][N][3] (derivative of shape function
  a at point m in reference direction l), edge tables [M][6][3].
* Jacobians J[k][l] = d x_k / d xhat_l (rows physical, columns reference). Gradients map
  with J^{-T}; edge-element values with J^{-T} (covariant); curls with the contravariant
  Piola map J * curl_hat / det J, with the signed determinant.
* Local edges, in this order: (0,1), (0,2), (0,3), (1,2), (1,3), (2,3); local edge (a, b)
  is directed a -> b. The Whitney function of edge (a, b) is
  w = lambda_a grad(lambda_b) - lambda_b grad(lambda_a); its tangential integral along
  its own directed edge is 1 and its curl is 2 grad(lambda_a) x grad(lambda_b).
* P2 nodes: the 4 vertices, then the midpoints of the local edges in the order above.
* Orientation class of an element: bit k is set when local edge k runs against the
  global edge direction (global edges point from the lower to the higher global node
  index). There are 64 classes (only 24 patterns occur for distinct node numbers); class
  block c of the tables is the reference table times the signs (-1 where bit k is set).

Reference coordinates and tables are dimensionless; physical values carry 1/m per
derivative after mapping.
"""

from __future__ import annotations

import numpy as np

from .quadrature import gauss_legendre_01

__all__ = [
    "GRAD_LAMBDA",
    "LOCAL_EDGES",
    "NUM_CLASSES",
    "p1",
    "p2",
    "lagrange",
    "p2_node_coordinates",
    "nedelec1_values",
    "nedelec1_curls",
    "class_signs",
    "orientation_class",
    "curls_by_class",
    "values_by_class",
    "interpolate_edges",
    "hcurl_field",
]

LOCAL_EDGES = np.array([[0, 1], [0, 2], [0, 3], [1, 2], [1, 3], [2, 3]], dtype=np.int32)
NUM_CLASSES = 64

# Reference gradients of the barycentric coordinates (constant).
GRAD_LAMBDA = np.array([[-1.0, -1.0, -1.0], [1.0, 0.0, 0.0], [0.0, 1.0, 0.0], [0.0, 0.0, 1.0]])


def _points(points) -> np.ndarray:
    p = np.asarray(points, dtype=np.float64)
    if p.ndim == 1 and p.shape[0] == 3:
        p = p[None, :]
    if p.ndim != 2 or p.shape[1] != 3:
        raise ValueError(f"points must have shape (M, 3), got {p.shape}")
    return p


def _barycentric(p: np.ndarray) -> np.ndarray:
    return np.column_stack([1.0 - p[:, 0] - p[:, 1] - p[:, 2], p[:, 0], p[:, 1], p[:, 2]])


def p1(points):
    """Linear Lagrange tetrahedron at reference ``points`` (M, 3).

    Returns ``(phi (M, 4), d_phi (M, 4, 3))``; ``phi[m, a]`` is lambda_a and
    ``d_phi[m, a, l]`` its derivative along reference direction l.
    """
    p = _points(points)
    phi = _barycentric(p)
    d_phi = np.broadcast_to(GRAD_LAMBDA, (len(p), 4, 3)).copy()
    return np.ascontiguousarray(phi), d_phi


def p2(points):
    """Quadratic Lagrange tetrahedron at reference ``points`` (M, 3).

    Nodes 0..3 are the vertices (lambda_a (2 lambda_a - 1)), nodes 4..9 the midpoints of
    the local edges in ``LOCAL_EDGES`` order (4 lambda_a lambda_b). Returns
    ``(phi (M, 10), d_phi (M, 10, 3))``.
    """
    p = _points(points)
    lam = _barycentric(p)
    M = len(p)
    phi = np.empty((M, 10))
    d_phi = np.empty((M, 10, 3))
    G = GRAD_LAMBDA
    for a in range(4):
        phi[:, a] = lam[:, a] * (2.0 * lam[:, a] - 1.0)
        d_phi[:, a, :] = (4.0 * lam[:, a] - 1.0)[:, None] * G[a]
    for k, (a, b) in enumerate(LOCAL_EDGES):
        phi[:, 4 + k] = 4.0 * lam[:, a] * lam[:, b]
        d_phi[:, 4 + k, :] = 4.0 * (lam[:, a][:, None] * G[b] + lam[:, b][:, None] * G[a])
    return phi, d_phi


def lagrange(degree, points):
    """``p1`` (degree 1) or ``p2`` (degree 2) tables at reference ``points``."""
    if degree == 1:
        return p1(points)
    if degree == 2:
        return p2(points)
    raise ValueError(f"Lagrange degree must be 1 or 2, got {degree!r}")


def p2_node_coordinates():
    """Reference coordinates (10, 3) of the P2 nodes, in table order."""
    v = np.array([[0.0, 0, 0], [1, 0, 0], [0, 1, 0], [0, 0, 1]])
    mids = 0.5 * (v[LOCAL_EDGES[:, 0]] + v[LOCAL_EDGES[:, 1]])
    return np.vstack([v, mids])


def nedelec1_values(points):
    """Reference Whitney edge functions at ``points`` (M, 3): array (M, 6, 3).

    ``values[m, k]`` is lambda_a grad(lambda_b) - lambda_b grad(lambda_a) for local edge
    k = (a, b), directed a -> b. Map to a physical element with J^{-T}.
    """
    lam = _barycentric(_points(points))
    a, b = LOCAL_EDGES[:, 0], LOCAL_EDGES[:, 1]
    G = GRAD_LAMBDA
    return lam[:, a, None] * G[b][None] - lam[:, b, None] * G[a][None]


def nedelec1_curls(points):
    """Reference curls 2 grad(lambda_a) x grad(lambda_b) of the Whitney functions.

    Constant in space; returned at every point as an (M, 6, 3) array. Map to a physical
    element with J * c / det J.
    """
    M = len(_points(points))
    G = GRAD_LAMBDA
    c = 2.0 * np.cross(G[LOCAL_EDGES[:, 0]], G[LOCAL_EDGES[:, 1]])
    return np.broadcast_to(c, (M, 6, 3)).copy()


def class_signs(cls=None) -> np.ndarray:
    """Per-edge signs of orientation class ``cls`` (6,), or of all classes (64, 6).

    The sign is -1 where the local edge runs against the global edge, +1 otherwise.
    """
    classes = np.arange(NUM_CLASSES) if cls is None else np.asarray(cls)
    bits = (classes[..., None] >> np.arange(6)) & 1
    return 1.0 - 2.0 * bits


def orientation_class(element_nodes) -> np.ndarray:
    """Orientation class of each element from its global node numbers (E, 4) -> (E,) int32.

    Bit k is set when local edge k = (a, b) has global node of a greater than that of b.
    """
    c = np.asarray(element_nodes)
    if c.ndim != 2 or c.shape[1] < 4:
        raise ValueError("element_nodes must have shape (E, 4) (vertices first)")
    rev = c[:, LOCAL_EDGES[:, 0]] > c[:, LOCAL_EDGES[:, 1]]
    return (rev.astype(np.int32) << np.arange(6, dtype=np.int32)).sum(axis=1).astype(np.int32)


def curls_by_class(points):
    """Per-class curl tables for the compiled curl-curl functions: (64, M, 6, 3).

    Block c is ``nedelec1_curls(points)`` with edge k negated where bit k of c is set,
    laid out [class][M][6][3] so that the flattened array is what the module indexes.
    """
    ref = nedelec1_curls(points)
    return np.ascontiguousarray(class_signs()[:, None, :, None] * ref[None])


def values_by_class(points):
    """Per-class Whitney function values: (64, M, 6, 3), signed like ``curls_by_class``."""
    ref = nedelec1_values(points)
    return np.ascontiguousarray(class_signs()[:, None, :, None] * ref[None])


def interpolate_edges(nodes, edges, field, n_gauss: int = 2) -> np.ndarray:
    """Edge degrees of freedom of a vector field: line integrals of A . t along edges.

    ``nodes`` (num_nodes, 3) in m, ``edges`` (num_edges, 2) node pairs (directed from the
    first to the second node), ``field`` a callable mapping (P, 3) points in m to (P, 3)
    vectors (e.g. A in T m). Returns ``dofs[e] = integral_0^1 A(x0 + s (x1 - x0)) .
    (x1 - x0) ds`` (units of A times m), computed with ``n_gauss`` Gauss points (exact for
    fields of degree 2 n_gauss - 1 along the edge; 1 point suffices for linear fields).
    """
    X = np.asarray(nodes, dtype=np.float64)
    E = np.asarray(edges)
    if E.ndim != 2 or E.shape[1] != 2:
        raise ValueError("edges must have shape (num_edges, 2)")
    if len(E) and (E.min() < 0 or E.max() >= len(X)):
        raise IndexError("edge node index out of range")
    x0, x1 = X[E[:, 0]], X[E[:, 1]]
    t = x1 - x0
    s, w = gauss_legendre_01(n_gauss)
    dofs = np.zeros(len(E))
    for si, wi in zip(s, w):
        A = np.asarray(field(x0 + si * t), dtype=np.float64).reshape(len(E), 3)
        dofs += wi * np.einsum("ij,ij->i", A, t)
    return dofs


def hcurl_field(nodes, cells, glob_ids, orientations, x, points):
    """Lowest-order edge-element field and its curl at reference ``points`` of every element.

    ``nodes`` (num_nodes, 3) m; ``cells`` (E, 4) affine tetrahedra; ``glob_ids`` (E, 6)
    global edge ids; ``orientations`` (E,) classes; ``x`` edge dofs (e.g. T m). Returns
    ``(xyz, A, curl_A)``, each (E, M, 3): physical points (m), the field (units of x per m)
    mapped covariantly, and its curl (units of x per m^2) by the Piola map. A NumPy
    evaluation for post-processing and checks; it uses the same tables as the module.
    """
    X = np.asarray(nodes, dtype=np.float64)
    C = np.asarray(cells).reshape(-1, 4)
    ids = np.asarray(glob_ids).reshape(len(C), 6)
    cls = np.asarray(orientations).reshape(len(C))
    xv = np.asarray(x, dtype=np.float64)
    p = _points(points)
    V = values_by_class(p)[cls]                    # (E, M, 6, 3)
    Cu = curls_by_class(p)[cls]
    J = np.stack([X[C[:, 1]] - X[C[:, 0]], X[C[:, 2]] - X[C[:, 0]],
                  X[C[:, 3]] - X[C[:, 0]]], axis=2)  # columns = reference directions
    det = np.linalg.det(J)
    Jinv = np.linalg.inv(J)
    coef = xv[ids]                                  # (E, 6)
    a_ref = np.einsum("ek,emkr->emr", coef, V)
    c_ref = np.einsum("ek,emkr->emr", coef, Cu)
    A = np.einsum("elk,eml->emk", Jinv, a_ref)      # J^{-T} a_ref
    curl = np.einsum("ekl,eml->emk", J, c_ref) / det[:, None, None]
    lam = _barycentric(p)
    xyz = np.einsum("ma,eak->emk", lam, X[C])
    return xyz, A, curl
