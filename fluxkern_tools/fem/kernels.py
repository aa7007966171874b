"""The one place that calls the compiled kernels (``fluxkern_mod``).

Keyword wrappers that take the arrays the rest of the package keeps (flat region
arrays, reference tables) and pass them to the kernels in their order, and the chunked
calls: the kernels hold every element's entries as triplets before building their csr
arrays, so a large region is assembled in pieces (:data:`CHUNK` elements of lowest-order
edges, as many entries for other elements: :func:`chunk_elements`), each over its own
unknowns, and the pieces summed. Measured on 450k edges in one process: the air in one
call peaked at 1.36 GB and took 3.0 s, in chunks of 32k elements 0.76 GB and 1.6 s.
Halving the chunks to 16k elements then lowered the steel cube's first Newton system
from 437 to 380 MiB (degree 2, 205k unknowns) and from 906 to 864 MiB (1.2M edges),
and took no longer: a chunk's entry lists stay in the cache while they are summed.
"""

from __future__ import annotations

import os
import threading
from contextlib import contextmanager
from dataclasses import dataclass
from typing import Callable

import numpy as np
import scipy.sparse as sp

from . import elements, nedelec2

__all__ = ["CHUNK", "chunk_elements", "EdgeTables", "edge_tables", "small_pages",
           "summed_in_chunks", "summed_csr", "index_type", "nodal_system", "curl_curl_system",
           "reduced_rhs", "curl_at", "line_segment_field"]

CHUNK = 16_384

# The kernels' transient triplets grow with the entries per element: CHUNK elements of
# lowest-order edges (6 x 6 entries) set the budget, and elements with more entries
# (20 x 20 for degree-2 edges) come in proportionally smaller chunks, fewer entries
# (4 x 4 for P1) in larger ones.
_CHUNK_ENTRIES = 36


def chunk_elements(entries: int, chunk: int = 0) -> int:
    """Elements per kernel call for elements of ``entries`` matrix entries each, given
    the chunk size ``chunk`` of lowest-order edges (0: :data:`CHUNK`)."""
    return max(1, int(chunk or CHUNK) * _CHUNK_ENTRIES // max(1, int(entries)))


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


def _hugepage_switch():
    try:
        from numpy._core.multiarray import _set_madvise_hugepage
    except ImportError:
        try:
            from numpy.core.multiarray import _set_madvise_hugepage
        except ImportError:
            return None
    return _set_madvise_hugepage


@contextmanager
def small_pages():
    """Within the block, NumPy does not ask for transparent huge pages for its large
    arrays (its default on Linux). Assembly allocates hundreds of MB of short-lived
    arrays, and faulting fresh huge pages in can cost more than the work on them:
    on this project's 2-core virtual machines the steel cube's assembly took 2.2 s
    with 4 kB pages against 4.0-7.7 s with huge pages (vector 40, scalar 64), while
    the multigrid set-up and solve, which reuse their arrays, gain slightly from huge
    pages; so the switch is only turned for assembly. A process started with
    NUMPY_MADVISE_HUGEPAGE set keeps its choice."""
    switch = _hugepage_switch()
    if switch is None or "NUMPY_MADVISE_HUGEPAGE" in os.environ:
        yield
        return
    before = switch(False)
    try:
        yield
    finally:
        switch(before)


_POOL = None


def _workers() -> int:
    """Threads of the assembly pool: the cores, at most 4, at most OMP_NUM_THREADS."""
    n = min(4, os.cpu_count() or 1)
    try:
        n = min(n, int(os.environ.get("OMP_NUM_THREADS", n)))
    except ValueError:
        pass
    return max(1, n)


def _one_malloc_arena():
    """Ask glibc to serve every thread from the one main heap (``M_ARENA_MAX`` 1).

    By default each thread that allocates gets an arena of its own, and memory freed
    there stays with the process: the pool's threads, which receive the kernels'
    chunk output, raised the steel cube's peak at 1.2M edges from 1.63 to 1.97 GB, and
    the one-arena run was faster too (first Newton system 3.3 s against 5.4 s). It
    is set when the pool is first made, unless MALLOC_ARENA_MAX is set in the
    environment; elsewhere than glibc it does nothing."""
    if "MALLOC_ARENA_MAX" in os.environ:
        return
    try:
        import ctypes

        ctypes.CDLL("libc.so.6").mallopt(-8, 1)        # M_ARENA_MAX
    except (OSError, AttributeError):
        pass


def _pool():
    global _POOL
    if _POOL is None:
        from concurrent.futures import ThreadPoolExecutor

        if _workers() > 1:
            _one_malloc_arena()
        _POOL = ThreadPoolExecutor(max_workers=_workers())
    return _POOL


def local_numbers(ids, n: int):
    """``(distinct, local)``: the distinct entries of the index array ``ids`` (values in
    0 .. n-1), ascending, and ``ids`` renumbered by their position in ``distinct``
    (same dtype as ``ids``). Costs O(len(ids)) plus a pass over n flags, no sort."""
    ids = np.asarray(ids)
    mark = np.zeros(n, dtype=np.bool_)
    mark[ids] = True
    distinct = np.flatnonzero(mark)
    lookup = np.empty(n, dtype=ids.dtype)
    lookup[distinct] = np.arange(len(distinct), dtype=ids.dtype)
    return distinct, lookup[ids]


def index_type(n: int):
    """The narrowest index dtype (int32 or int64) for indices below ``n``."""
    return np.int32 if n < 2**31 - 1 else np.int64


class _Triplets:
    """A kernel's entry list as it hands it to ``csr_array``: values, rows, columns."""

    __slots__ = ("data", "row", "col")

    def __init__(self, data, row, col):
        self.data, self.row, self.col = data, row, col


class _TripletHook:
    """Stands in for the kernels' module global ``csr_array`` while chunks are being
    summed. On a thread that asked for them (:func:`summed_in_chunks` around each
    chunk's call) it returns the entry lists as they are, as :class:`_Triplets`; on
    every other thread it calls the object it replaced, so another caller of the
    kernels still gets its csr arrays. The chunks' entries are summed once, by the
    caller's csr conversion: building a csr array per chunk only to take it apart
    again was a third of the first Newton system (degree-2 edges, 205k unknowns:
    0.5 of 1.4 s in sorting and summing inside the kernels' calls)."""

    local = threading.local()
    lock = threading.Lock()
    users = 0

    def __init__(self, inner):
        self.inner = inner

    def __call__(self, arg, *args, **kw):
        if getattr(self.local, "on", False) and not args and set(kw) <= {"shape"}:
            vals, (rows, cols) = arg
            return _Triplets(vals, rows, cols)
        return self.inner(arg, *args, **kw)


@contextmanager
def _kernel_triplets():
    """Within the block, calls made on a thread with ``_TripletHook.local.on`` set
    get entry lists from the kernels instead of csr arrays. The hook is installed by
    the first of nested or concurrent blocks and removed by the last, unless the
    global was rebound meanwhile."""
    import fluxkern_mod

    H = _TripletHook
    with H.lock:
        if H.users == 0:
            inner = getattr(fluxkern_mod, "csr_array", None)
            if inner is not None and not isinstance(inner, H):
                fluxkern_mod.csr_array = H(inner)
        H.users += 1
    try:
        yield
    finally:
        with H.lock:
            H.users -= 1
            hook = getattr(fluxkern_mod, "csr_array", None)
            if H.users == 0 and isinstance(hook, H):
                fluxkern_mod.csr_array = hook.inner


def _load_sparse():
    """The compiled summation (``fluxkern_sparse``, built beside ``fluxkern_mod``), or
    None: SciPy then does the same work, holding the interpreter lock."""
    try:
        import fluxkern_sparse
    except ImportError:
        return None
    return fluxkern_sparse


_SPARSE = _load_sparse()


def summed_csr(rows, cols, vals, shape, threads: int = 0, drop_zeros: bool = True):
    """``(indptr, indices, data)`` of the csr matrix of ``shape`` holding the entries
    (``rows``, ``cols``, ``vals``) with equal positions summed, columns ascending in
    each row and sums that are exactly zero left out (kept, as explicit zeros, with
    ``drop_zeros`` False). ``threads`` 1 keeps the work on
    the calling thread (which runs without the interpreter lock where the compiled
    summation is built), 0 lets it use the cores."""
    n_rows, n_cols = (int(k) for k in shape)
    if _SPARSE is not None and max(n_rows, n_cols) < 2**31 - 1 and len(vals) < 2**31 - 1:
        return _SPARSE.sum_entries(
            np.ascontiguousarray(rows, dtype=np.int32), np.ascontiguousarray(cols, dtype=np.int32),
            np.ascontiguousarray(vals, dtype=np.float64), n_rows, n_cols, bool(drop_zeros),
            int(threads))
    C = sp.coo_array((vals, (rows, cols)), shape=(n_rows, n_cols)).tocsr()
    C.sum_duplicates()
    if drop_zeros:
        C.eliminate_zeros()
    return C.indptr, C.indices, C.data


def _triplets(M, ids, itype, zeros: bool = False):
    """Rows, columns and values of the entries of ``M`` (local numbers; a sparse
    matrix or :class:`_Triplets`) in the numbering ``ids`` (local -> global). Unless
    ``zeros``, entries at the same position are summed first (in the chunk's own
    numbering, where it is cheap: a few ten thousand rows) and exact zeros are left
    out: right angles in an element make some of its couplings vanish (half the
    entries of degree-2 edges on the steel cube's Kuhn cells), and a zero term changes
    no sum. With ``zeros`` every entry is kept, in order."""
    g = ids.astype(itype, copy=False)
    if isinstance(M, _Triplets):
        if zeros:
            return g[M.row], g[M.col], M.data
        indptr, indices, vals = summed_csr(M.row, M.col, M.data, (len(g), len(g)), threads=1)
        return np.repeat(g, np.diff(indptr)), g[indices], vals
    M = M.tocsr() if not hasattr(M, "indptr") else M
    rows, cols, vals = np.repeat(g, np.diff(M.indptr)), g[M.indices], M.data
    nz = vals != 0
    if not nz.all():
        rows, cols, vals = rows[nz], cols[nz], vals[nz]
    return rows, cols, vals


def _coo(parts, n: int, itype):
    """The triplets of ``parts`` (emptied on the way, so that each chunk's arrays are
    freed once copied: the whole set is never held twice) as one coo array."""
    if not parts:
        return sp.coo_array((n, n))
    total = sum(len(v) for _, _, v in parts)
    rows, cols = np.empty(total, dtype=itype), np.empty(total, dtype=itype)
    vals = np.empty(total)
    at = 0
    for i in range(len(parts)):
        r, c, v = parts[i]
        parts[i] = None
        rows[at:at + len(v)], cols[at:at + len(v)], vals[at:at + len(v)] = r, c, v
        at += len(v)
    parts.clear()
    return sp.coo_array((vals, (rows, cols)), shape=(n, n))


# Gathered triplets are summed once this many have come in since the last sum: chunks
# share the unknowns on their borders, and degree-2 edges repeat each entry about three
# times (190 MB of triplets for a 61 MB matrix at 205k unknowns). The sum of a batch
# holds it twice over (its triplets, and the summation's own 16 bytes an entry): at 8M
# the degree-2 cube's first system peaked at 534 MiB on two threads, at 4M at 474 MiB,
# in the same time.
_MERGE_AT = 1 << 22


class _Sum:
    """Chunks' triplets gathered and summed: the canonical csr array of those summed so
    far, to which each batch of :data:`_MERGE_AT` new triplets is added once summed on
    its own (adding two canonical arrays is a linear merge; summing the whole set
    again at every batch had cost twice the sorting)."""

    def __init__(self, n: int, itype):
        self.n, self.itype = n, itype
        self.total, self.parts, self.held = None, [], 0

    def add(self, triplets):
        self.parts.append(triplets)
        self.held += len(triplets[2])
        if self.held > _MERGE_AT:
            self.flush()

    def flush(self):
        if not self.parts:
            return
        C = _coo(self.parts, self.n, self.itype)
        rows, cols, vals = C.row, C.col, C.data
        del C
        indptr, indices, data = summed_csr(rows, cols, vals, (self.n, self.n))
        del rows, cols, vals
        P = sp.csr_array((data, indices, indptr), shape=(self.n, self.n))
        P.has_canonical_format = True
        self.total = P if self.total is None else self.total + P
        self.held = 0

    def coo(self):
        """The sum as a coo array in row, then column order (its triplets given up)."""
        self.flush()
        S, self.total = self.total, None
        if S is None:
            return sp.coo_array((self.n, self.n))
        rows = np.repeat(np.arange(self.n, dtype=self.itype), np.diff(S.indptr))
        return sp.coo_array((S.data, (rows, S.indices.astype(self.itype, copy=False))),
                            shape=(self.n, self.n))


def summed_in_chunks(num_el: int, call: Callable, n: int, chunk: int | None = 0,
                     entries: int = _CHUNK_ENTRIES, merged: bool = True):
    """``(K, dK, rhs)`` of order ``n`` summed over ``call(a, b)`` on the elements
    a .. b-1 in chunks of at most :func:`chunk_elements` ``(entries, chunk)`` elements
    for elements of ``entries`` matrix entries (``chunk`` 0: :data:`CHUNK`; None: one
    call). ``call`` returns ``(K, dK, rhs, ids)``: the chunk's matrices and right-hand
    side (or None) over its own unknowns, numbered 0 .. len(ids)-1, with ``ids`` their
    global numbers. K and dK come back as scipy coo arrays whose duplicate entries are
    not yet summed (convert with ``tocsr()``; products and sums take them as they
    are); dK is empty where every chunk's Newton term is exactly zero (a constant
    material). Chunks are assembled a few at a time on a thread pool, so ``call`` must
    be safe to run from several threads; the result does not depend on their timing.

    ``merged`` False keeps every entry the kernels produced, zeros included, in their
    order (element by element): the same positions at every call on the same
    elements, so that a caller can map them into a fixed pattern once (the Newton
    steps' nonlinear regions). K and dK then come back whatever their values.

    Numbering each chunk's unknowns locally keeps the kernels' csr output, and every
    step after it, at the chunk's size: in the global numbering each chunk cost a pass
    over all n rows (building its csr arrays and adding it to the sum), quadratic in
    the mesh size (12.7 s of first assembly at 1.2M edges, 33 chunks).
    """
    step = max(1, num_el) if chunk is None else chunk_elements(entries, chunk)
    itype = index_type(n)
    rhs = None
    if merged:
        Ks, dKs = _Sum(n, itype), _Sum(n, itype)
    else:
        Ks, dKs = [], []

    def keep(parts, new):
        if merged:
            parts.add(new)
        else:
            parts.append(new)
    bounds = [(a, min(num_el, a + step)) for a in range(0, num_el, step)]
    # Chunks run on a few threads: the kernel holds the interpreter lock, but the
    # renumbering and the building of its csr arrays release it and overlap with the
    # next chunk's kernel.
    workers = _workers() if len(bounds) > 1 else 1

    def run(ab):
        _TripletHook.local.on = True
        try:
            Kc, dKc, rc, ids = call(*ab)
        finally:
            _TripletHook.local.on = False
        K3 = _triplets(Kc, ids, itype, not merged)
        del Kc
        dK3 = _triplets(dKc, ids, itype, not merged) if not merged or dKc.data.any() else None
        return K3, dK3, rc, ids

    with _kernel_triplets():
        for w in range(0, len(bounds), workers):
            window = bounds[w:w + workers]
            outs = _pool().map(run, window) if workers > 1 else [run(window[0])]
            for K3, dK3, rc, ids in outs:
                keep(Ks, K3)
                del K3
                if dK3 is not None:
                    keep(dKs, dK3)
                if rc is not None:
                    if rhs is None:
                        rhs = np.zeros(n)
                    rhs[ids] += rc
    if merged:
        return Ks.coo(), dKs.coo(), rhs
    return _coo(Ks, n, itype), _coo(dKs, n, itype), rhs


def nodal_system(nodes, cells, d_phi, x, permeability, q, w, *, chunk=0, merged=True):
    """Stiffness matrix K (H) and Newton term dK of the scalar potential over the
    elements of the flat ``cells`` (k nodes each, k = d_phi.shape[1]) at the nodal
    iterate ``x`` (A): ``(K, dK, None)`` of order ``len(x)``, coo arrays as
    :func:`summed_in_chunks` returns them; ``chunk`` and ``merged`` as there."""
    import fluxkern_mod

    k = d_phi.shape[1]
    n = len(x)

    def call(a, b):
        ids, local = local_numbers(cells[k * a:k * b], n)
        K, dK = fluxkern_mod.compute_stiffness_and_jacobi_matrix(
            nodes[ids], local, d_phi, x[ids], permeability, q, w)
        return K, dK, None, ids

    return summed_in_chunks(len(cells) // k, call, n, chunk, k * k, merged)


def curl_curl_system(nodes, arrays, tables: EdgeTables, x, Bs, reluctance,
                     num_el_dofs: int, *, chunk=0, merged=True):
    """``(K, dK, rhs)`` of the reduced vector potential over the elements of
    ``arrays`` (flat ``cells``, ``glob_ids``, ``orientations``) at the edge iterate
    ``x`` (Wb): K, dK in 1/H as coo arrays (see :func:`summed_in_chunks`, also for
    ``chunk`` and ``merged``), rhs in A;
    ``Bs`` the source field (T) at the quadrature points, element-major (E * M, 3), or
    empty (0, 3) for none."""
    import fluxkern_mod

    t, k = tables, num_el_dofs
    M = len(t.w)
    n = len(x)
    cells, gids, orient = arrays["cells"], arrays["glob_ids"], arrays["orientations"]

    def call(a, b):
        B = Bs[a * M:b * M] if len(Bs) else Bs
        ids, local = local_numbers(gids[k * a:k * b], n)
        K, dK, r = fluxkern_mod.compute_stiffness_and_jacobi_matrix_curl_curl(
            nodes, cells[4 * a:4 * b], local, t.curls, t.d_phi,
            orient[a:b], x[ids], B, reluctance, t.q, t.w, len(ids), k)
        return K, dK, r, ids

    return summed_in_chunks(len(orient), call, n, chunk, k * k, merged)


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
