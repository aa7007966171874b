"""Discrete operators between the nodal and edge spaces: discrete gradient, Nedelec
interpolation, and the tree gauge of lowest-order edge elements.

Tree gauge.
The curl-curl matrix vanishes on discrete gradients: for every node n that is not
held by the boundary condition, the gradient of its hat function is an edge vector in
the kernel. Fixing the coefficients of the edges of a spanning tree of the free nodes
(the "tree gauge") removes exactly that kernel; the curl of the solution, the field,
does not depend on the tree.
"""

from __future__ import annotations

import numpy as np
import scipy.sparse as sp
from scipy.sparse.csgraph import breadth_first_order, connected_components

__all__ = ["discrete_gradient", "nedelec_interpolation", "tree_gauge"]


def tree_gauge(edges, num_nodes: int, fixed_edges=()) -> np.ndarray:
    """Edge ids of a spanning tree for the tree gauge.

    Parameters
    ----------
    edges : (num_edges, 2) node pairs of the mesh edges.
    num_nodes : number of mesh nodes.
    fixed_edges : ids of the edges whose coefficients the boundary condition fixes
        (A x n = 0). Their end nodes form the grounded set: hat functions of those
        nodes are not in the kernel.

    Returns
    -------
    Sorted int32 edge ids: a breadth-first spanning forest of the graph of the free
    edges in which all grounded nodes are merged into one root. Each free node gets
    exactly one tree edge; without fixed edges every connected part keeps one root.
    Breadth-first trees are shallow, which keeps the gauged system better
    conditioned than long, winding trees.
    """
    E = np.asarray(edges, dtype=np.int64).reshape(-1, 2)
    N = int(num_nodes)
    if len(E) and (E.min() < 0 or E.max() >= N):
        raise ValueError("edge node index out of range")
    fixed = np.zeros(len(E), dtype=bool)
    fe = np.asarray(fixed_edges, dtype=np.int64).reshape(-1)
    if len(fe) and (fe.min() < 0 or fe.max() >= len(E)):
        raise ValueError("fixed edge id out of range")
    fixed[fe] = True
    label = np.arange(N + 1, dtype=np.int64)       # node N: the merged grounded root
    grounded = np.unique(E[fixed].reshape(-1))
    label[grounded] = N
    cand = np.flatnonzero(~fixed)
    a, b = label[E[cand, 0]], label[E[cand, 1]]
    keep = a != b                                  # edges between grounded nodes
    cand, a, b = cand[keep], a[keep], b[keep]
    lo, hi = np.minimum(a, b), np.maximum(a, b)
    keys = lo * (N + 1) + hi
    ukeys, first = np.unique(keys, return_index=True)
    rep = cand[first]                              # one edge per merged node pair
    ulo, uhi = ukeys // (N + 1), ukeys % (N + 1)
    adj = sp.csr_array((np.ones(len(ukeys)), (ulo, uhi)), shape=(N + 1, N + 1))
    ncomp, comp = connected_components(adj, directed=False)
    # One root per connected part: the merged node where it belongs to the part, else
    # the part's lowest node (without grounded nodes, node N is isolated and unused).
    # Grounded nodes were relabelled N, so each is an isolated vertex of adj: skip them.
    loose = np.flatnonzero(label[:N] != N)
    comps, first_loose = np.unique(comp[loose], return_index=True)
    roots = dict(zip(comps.tolist(), loose[first_loose].tolist()))
    if len(grounded):
        roots[int(comp[N])] = N
    tree = []
    for root in roots.values():
        order, pred = breadth_first_order(adj, root, directed=False,
                                          return_predecessors=True)
        v = order[1:].astype(np.int64)      # the keys overflow 32 bits above 46341 nodes
        p = pred[v].astype(np.int64)
        k = np.minimum(v, p) * (N + 1) + np.maximum(v, p)
        tree.append(rep[np.searchsorted(ukeys, k)])
    if not tree:
        return np.zeros(0, dtype=np.int32)
    return np.sort(np.concatenate(tree)).astype(np.int32)


def discrete_gradient(edges, num_nodes: int) -> sp.csr_matrix:
    """Edge-by-node matrix mapping nodal values to the edge coefficients of their
    gradient: -1 at the start node and +1 at the end node of every directed edge."""
    E = np.asarray(edges, dtype=np.int64).reshape(-1, 2)
    rows = np.repeat(np.arange(len(E)), 2)
    vals = np.tile([-1.0, 1.0], len(E))
    return sp.csr_matrix((vals, (rows, E.reshape(-1))), shape=(len(E), int(num_nodes)))


def nedelec_interpolation(nodes, edges) -> tuple:
    """Three edge-by-node matrices Pi_x, Pi_y, Pi_z: the edge coefficients of the linear
    vector field with nodal values v are sum_k Pi_k v[:, k].

    The coefficient of edge (a, b) is the line integral of the field along it,
    (v_a + v_b) / 2 . (x_b - x_a), exact for linear fields.
    """
    X = np.asarray(nodes, dtype=np.float64)
    E = np.asarray(edges, dtype=np.int64).reshape(-1, 2)
    t = 0.5 * (X[E[:, 1]] - X[E[:, 0]])
    rows = np.repeat(np.arange(len(E)), 2)
    cols = E.reshape(-1)
    out = []
    for k in range(3):
        P = sp.csr_matrix((np.repeat(t[:, k], 2), (rows, cols)), shape=(len(E), len(X)))
        P.eliminate_zeros()
        out.append(P)
    return tuple(out)
