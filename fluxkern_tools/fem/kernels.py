"""The one place that calls the compiled kernels (``fluxkern_mod``).

Keyword wrappers that take the arrays the rest of the package keeps (flat region
arrays, reference tables) and pass them to the kernels in their order, and the chunked
calls: the kernels hold every element's entries as triplets before building their csr
arrays, so a large region is assembled in pieces of at most :data:`CHUNK` elements and
the pieces summed. Measured on 450k edges in one process: the air in one call peaked
at 1.36 GB and took 3.0 s, in chunks of 32k elements 0.76 GB and 1.6 s.
"""

from __future__ import annotations

import os
from dataclasses import dataclass
from typing import Callable

import numpy as np

from . import elements, nedelec2

__all__ = ["CHUNK", "EdgeTables", "edge_tables", "summed_in_chunks", "nodal_system",
           "curl_curl_system", "reduced_rhs", "curl_at", "line_segment_field"]

CHUNK = 32_768


@dataclass(frozen=True)
class EdgeTables:
    """Reference tables at a set of reference points for the H(curl) functions.

    ``q`` (M, 3) points, ``w`` (M,) weights (only their count matters for
    evaluation), ``phi`` (M, 4) and ``d_phi`` (M, 4, 3) of the linear geometry and
    ``curls`` (64, M, 6, 3) for degree 1 or (24, M, 20, 3) for degree 2, the
    per-orientation-class curls.
    """

    q: np.ndarray
    w: np.ndarray
    phi: np.ndarray
    d_phi: np.ndarray
    curls: np.ndarray


def edge_tables(points, weights=None, degree: int = 1) -> EdgeTables:
    """:class:`EdgeTables` of edge elements of ``degree`` (1 or 2) at reference
    ``points`` (M, 3); ``weights`` default to 1. ValueError for another degree."""
    q = np.ascontiguousarray(points, dtype=np.float64).reshape(-1, 3)
    w = np.ones(len(q)) if weights is None else np.ascontiguousarray(weights, np.float64)
    phi, d_phi = elements.p1(q)
    if degree not in (1, 2):
        raise ValueError(f"edge-element degree must be 1 or 2, got {degree!r}")
    curls = (elements.curls_by_class if degree == 1 else nedelec2.curls_by_class)(q)
    return EdgeTables(q, w, phi, d_phi, curls)


def _add(a, b):
    return b if a is None else (a if b is None else a + b)


_POOL = None


def _workers() -> int:
    """Threads of the assembly pool: the cores, at most 4, at most OMP_NUM_THREADS."""
    n = min(4, os.cpu_count() or 1)
    try:
        n = min(n, int(os.environ.get("OMP_NUM_THREADS", n)))
    except ValueError:
        pass
    return max(1, n)


def _pool():
    global _POOL
    if _POOL is None:
        from concurrent.futures import ThreadPoolExecutor

        _POOL = ThreadPoolExecutor(max_workers=_workers())
    return _POOL


def summed_in_chunks(num_el: int, call: Callable, chunk: int | None = 0):
    """``(K, dK, rhs)`` summed over ``call(a, b)`` on the elements a .. b-1 in chunks
    of at most ``chunk`` elements (0: :data:`CHUNK`; None: one call); ``rhs`` may be
    None. Chunks are assembled a few at a time on a thread pool, so ``call`` must be
    safe to run from several threads; the sum is the same whatever their timing."""
    step = max(1, num_el) if chunk is None else int(chunk or CHUNK)
    # The chunks' matrices are summed pairwise (a binary counter of partial sums):
    # adding every chunk onto one growing sum costs the whole sum's size per chunk,
    # quadratic in the chunk count (190 chunks of 6.2M P1 elements).
    stack = []                      # (level, K, dK) with levels strictly falling
    rhs = None
    bounds = [(a, min(num_el, a + step)) for a in range(0, num_el, step)]
    # Chunks run on a few threads: the kernel holds the interpreter lock, but the
    # building of its csr arrays and the sums release it and overlap with the next
    # chunk's kernel (1.5x on the air of the steel cube, 1.5M tetrahedra, 2 cores).
    workers = _workers() if len(bounds) > 1 else 1
    for w in range(0, len(bounds), workers):
        window = bounds[w:w + workers]
        outs = (_pool().map(lambda ab: call(*ab), window) if workers > 1
                else [call(*window[0])])
        for Kc, dKc, rc in outs:
            level = 0
            while stack and stack[-1][0] == level:
                _, Kp, dKp = stack.pop()
                Kc, dKc, level = _add(Kp, Kc), _add(dKp, dKc), level + 1
            stack.append((level, Kc, dKc))
            rhs = rc if rhs is None else (rhs if rc is None else rhs + rc)
    K = dK = None
    while stack:
        _, Kp, dKp = stack.pop()
        K, dK = _add(Kp, K), _add(dKp, dK)
    return K, dK, rhs


def nodal_system(nodes, cells, d_phi, x, permeability, q, w, *, chunk=0):
    """Stiffness matrix K (H) and Newton term dK of the scalar potential over the
    elements of the flat ``cells`` (k nodes each, k = d_phi.shape[1]) at the nodal
    iterate ``x`` (A): ``(K, dK, None)``, csr arrays of order ``len(x)``; ``chunk`` as
    in :func:`summed_in_chunks`."""
    import fluxkern_mod

    k = d_phi.shape[1]

    def call(a, b):
        K, dK = fluxkern_mod.compute_stiffness_and_jacobi_matrix(
            nodes, cells[k * a:k * b], d_phi, x, permeability, q, w)
        return K, dK, None

    return summed_in_chunks(len(cells) // k, call, chunk)


def curl_curl_system(nodes, arrays, tables: EdgeTables, x, Bs, reluctance,
                     num_el_dofs: int, *, chunk=0):
    """``(K, dK, rhs)`` of the reduced vector potential over the elements of
    ``arrays`` (flat ``cells``, ``glob_ids``, ``orientations``) at the edge iterate
    ``x`` (Wb): K, dK in 1/H, rhs in A; ``Bs`` the source field (T) at the quadrature
    points, element-major (E * M, 3), or empty (0, 3) for none."""
    import fluxkern_mod

    t, k = tables, num_el_dofs
    M = len(t.w)
    cells, gids, orient = arrays["cells"], arrays["glob_ids"], arrays["orientations"]

    def call(a, b):
        B = Bs[a * M:b * M] if len(Bs) else Bs
        return fluxkern_mod.compute_stiffness_and_jacobi_matrix_curl_curl(
            nodes, cells[4 * a:4 * b], gids[k * a:k * b], t.curls, t.d_phi,
            orient[a:b], x, B, reluctance, t.q, t.w, len(x), k)

    return summed_in_chunks(len(orient), call, chunk)


def reduced_rhs(nodes, arrays, tables: EdgeTables, field, reluctance, num_dofs: int,
                num_el_dofs: int) -> np.ndarray:
    """Right-hand side int (nu0 - nu) S . curl(w) (A) of every unknown (``num_dofs``)
    over the elements of ``arrays`` (flat ``cells``, ``glob_ids``, ``orientations``) for
    the field ``S`` (T) at the quadrature points of ``tables``, element-major (E * M, 3),
    and the ``reluctance`` object's nu."""
    import fluxkern_mod

    t = tables
    return fluxkern_mod.compute_rhs_Hcurl_red_c(
        nodes, arrays["cells"], arrays["glob_ids"], t.curls, t.d_phi, arrays["orientations"],
        np.ascontiguousarray(field), reluctance, np.zeros(num_dofs), t.q, t.w, num_dofs,
        num_el_dofs)


def curl_at(nodes, cells, glob_ids, orientations, x, tables: EdgeTables, num_el_dofs: int,
            curls=None):
    """``(points, curl)`` of the edge field with coefficients ``x`` at the reference
    points of ``tables`` in every element of the flat ``cells``/``glob_ids`` (both
    (E * M, 3), element-major; points in m). ``curls`` replaces the tables' per-class
    curls (with ``orientations`` indexing it)."""
    import fluxkern_mod

    t = tables
    return fluxkern_mod.compute_B_Hcurl(
        nodes, cells, glob_ids, t.curls if curls is None else curls, t.phi, t.d_phi,
        orientations, x, t.q, t.w, len(x), num_el_dofs)


def line_segment_field(segments, points, current, strand_radius):
    """Biot-Savart flux density (T) at ``points`` (P, 3; m) of straight strands
    ``segments`` (S, 2, 3; m) carrying ``current`` (A), inside strands of radius
    ``strand_radius`` (m) as a uniformly filled round conductor."""
    import fluxkern_mod

    return fluxkern_mod.compute_B_line_segs_cpp(segments, points, current, strand_radius)
