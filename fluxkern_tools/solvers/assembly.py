"""Newton systems summed over regions, with the constant-material regions assembled once.

A region whose material curve is a constant (air, linear iron) contributes a stiffness
matrix that does not depend on the iterate, no Newton term and a right-hand side that
scales with the source field. Those contributions are assembled at the first Newton
step, and later steps call the kernels only on the nonlinear regions.

The free block of the Jacobian keeps one sparsity pattern for the whole solve: the
constant part's pattern joined with every pair of unknowns that share an element of a
nonlinear region (taken from the elements' unknowns, not from the kernels' nonzeros,
which leave out couplings that are exactly zero at some iterate, e.g. the Newton term
at a zero field). The constant part is kept only as values in that pattern; a Newton
step copies them and adds the nonlinear regions' entries through an index map from
their (row, column) pairs to positions in the pattern, so its cost grows with the
nonlinear elements rather than with the whole mesh (the steel cube at 1.2M edges:
16k of 1.2M elements change per step).
"""

from __future__ import annotations

from typing import Callable

import numpy as np
import scipy.sparse as sp

from ..fem.kernels import small_pages

__all__ = ["RegionSum"]


def _add(a, b):
    return b if a is None else (a if b is None else a + b)


def _index_type(n: int):
    return np.int32 if n < 2**31 - 1 else np.int64


class RegionSum:
    """Newton systems from per-region kernel calls.

    ``call(region, x, scale) -> (K, dK, rhs)`` assembles one region at the iterate ``x``
    with the source scaled by ``scale`` (``rhs`` may be None where the formulation has
    none); ``constant`` lists the regions whose material is constant; ``n`` is the
    number of degrees of freedom; ``dofs(region)`` gives the unknowns of the region's
    elements, (E, k), which fix the pattern of its Jacobian entries (without it the
    pattern is taken from the kernels' output at the first step, and entries falling
    outside it later are added as a sparse matrix, the slow way).
    """

    def __init__(self, n: int, call: Callable, regions, constant, dofs: Callable = None):
        self.n, self.call, self.dofs = int(n), call, dofs
        constant = set(constant)
        self.constant = [r for r in regions if r in constant]
        self.varying = [r for r in regions if r not in constant]
        self._rhs = None            # right-hand side of the constant regions at unit scale
        self._block = None          # _FreeBlock of the current free set

    def _constant_part(self):
        """``(K, rhs)`` of the constant regions (K None without any; a coo array whose
        duplicates may be unsummed), at unit scale."""
        parts, rhs = [], np.zeros(self.n)
        zero = np.zeros(self.n)
        for r in self.constant:
            Kr, _, rr = self.call(r, zero, 1.0)
            parts.append(sp.coo_array(Kr))
            if rr is not None:
                rhs += rr
        if len(parts) <= 1:
            return (parts[0] if parts else None), rhs
        # Entries are left unsummed: the free block's csr conversion sums them once.
        return sp.coo_array((np.concatenate([C.data for C in parts]),
                             (np.concatenate([C.row for C in parts]),
                              np.concatenate([C.col for C in parts]))),
                            shape=(self.n, self.n)), rhs

    def _block_for(self, free, x, scale):
        """The :class:`_FreeBlock` of ``free`` (built at the first call with that set),
        and the nonlinear regions' kernel output at ``x`` if building it needed it."""
        b = self._block
        if b is not None and len(b.free) == len(free) and np.array_equal(b.free, free):
            return b, None
        self._block = None                     # release the old one first
        Kc, rhs = self._constant_part()
        if self._rhs is None:
            self._rhs = rhs
        out = None
        if self.dofs is not None:
            element_dofs = [self.dofs(r) for r in self.varying]
        else:
            out = [self.call(r, x, scale) for r in self.varying]
            element_dofs = [m for K, dK, _ in out for m in (K, dK)]
        held = [Kc]                            # handed over: the block frees it early
        del Kc
        self._block = _FreeBlock(self.n, np.array(free), held, element_dofs)
        return self._block, out

    def system(self, x, scale: float, free):
        """``(J_free, K x, rhs)`` at ``x``: the Jacobian K + dK restricted to the
        ``free`` degrees of freedom, and K x and the right-hand side over all of them.

        J's values are rewritten by the next call (copy J to keep it); its pattern is
        the same for every call with the same ``free``."""
        with small_pages():
            return self._system(x, scale, free)

    def _system(self, x, scale, free):
        block, out = self._block_for(np.asarray(free), x, scale)
        rhs = scale * self._rhs
        Kx = block.constant_product(x)
        if out is None:
            out = [self.call(r, x, scale) for r in self.varying]
        entries = []
        for Kr, dKr, rr in out:
            Kx += Kr @ x
            entries += [Kr, dKr]
            if rr is not None:
                rhs += rr
        return block.jacobian(entries), Kx, rhs


class _FreeBlock:
    """The fixed pattern of the free block and the constant part's values in it.

    ``Kc`` (n, n) is the constant part (or None), or a one-item list holding it, which
    is emptied so that its entries are freed once read; ``nonlinear`` a list of (E, k) element
    unknown arrays or of sparse matrices whose nonzeros make the nonlinear pattern.
    Keeps the free block's pattern (``indptr``, ``indices``, read-only), the constant
    values ``data`` in it, the rest of Kc (rows or columns of fixed unknowns) for K x,
    and the sorted keys ``row * m + col`` of the nonlinear pattern with their positions.
    """

    def __init__(self, n, free, Kc, nonlinear):
        self.n, self.free, m = n, free, len(free)
        self.m = m
        itype = _index_type(max(n, m) + 1)
        pos = np.full(n, -1, dtype=itype)
        pos[free] = np.arange(m, dtype=itype)
        self.pos = pos
        self.rest = None
        keys = np.unique(np.concatenate(
            [self._pairs(M) for M in nonlinear] or [np.zeros(0, np.int64)]))
        kr, kc = np.divmod(keys, m) if m else (keys, keys)
        if isinstance(Kc, list):
            Kc = Kc.pop()
        C = None if Kc is None else Kc.tocoo()
        del Kc
        inner = np.zeros(0, dtype=bool)
        if C is not None:
            r, c = pos[C.row], pos[C.col]
            # Exact zeros (right-angled elements of a structured mesh couple some
            # unknowns with zero weight) would only cost memory and products.
            nz = C.data != 0
            inner = (r >= 0) & (c >= 0)
            out = nz & ~inner
            if out.any():
                self.rest = sp.csr_array((C.data[out], (C.row[out], C.col[out])),
                                         shape=(n, n))
            del out
            inner &= nz
            del nz
        # The constant entries and the nonlinear pattern (explicit zeros) in one set of
        # triplets, written in place: the constant part is never held twice.
        k_in = int(inner.sum())
        rows = np.empty(k_in + len(keys), dtype=itype)
        cols = np.empty(k_in + len(keys), dtype=itype)
        vals = np.zeros(k_in + len(keys))
        if C is not None:
            np.compress(inner, r, out=rows[:k_in])
            np.compress(inner, c, out=cols[:k_in])
            np.compress(inner, C.data, out=vals[:k_in])
            del C, r, c
        del inner
        rows[k_in:], cols[k_in:] = kr, kc
        # COO to CSR sums duplicates and keeps the explicit zeros of the nonlinear
        # pattern; the result is sorted by row, then column.
        B = sp.coo_array((vals, (rows, cols)), shape=(m, m))
        del rows, cols, vals
        B = B.tocsr()
        B.sum_duplicates()
        self.indptr = B.indptr.astype(itype, copy=False)
        self.indices = B.indices.astype(itype, copy=False)
        self.data = B.data
        for a in (self.indptr, self.indices):
            a.flags.writeable = False       # shared by every Jacobian handed out
        self.K = sp.csr_array((self.data, self.indices, self.indptr), shape=(m, m))
        self.out = None
        self.keys, self.where = keys, self._positions(keys, kr)

    def _pairs(self, M):
        """Sorted unique keys of the free-free pairs of element unknowns (E, k) or of
        a sparse matrix's nonzeros."""
        if sp.issparse(M):
            C = sp.coo_array(M)
            r, c = self.pos[C.row], self.pos[C.col]
        else:
            D = self.pos[np.asarray(M)]
            k = D.shape[1] if D.ndim == 2 else 1
            r, c = np.repeat(D, k, axis=1).reshape(-1), np.tile(D, (1, k)).reshape(-1)
        keep = (r >= 0) & (c >= 0)
        return np.unique(r[keep].astype(np.int64) * self.m + c[keep])

    def _positions(self, keys, kr):
        """Positions in the pattern of the sorted ``keys`` (rows ``kr``): only the
        pattern's rows that hold them are searched."""
        if len(keys) == 0:
            return np.zeros(0, dtype=self.indptr.dtype)
        rows = np.unique(kr)
        start, stop = self.indptr[rows], self.indptr[rows + 1]
        lens = (stop - start).astype(np.int64)
        offs = np.repeat(start.astype(np.int64) - np.cumsum(lens) + lens, lens)
        where = offs + np.arange(lens.sum())
        row_keys = np.repeat(rows.astype(np.int64), lens) * self.m + self.indices[where]
        found = np.searchsorted(row_keys, keys)
        return where[found].astype(self.indptr.dtype)

    def constant_product(self, x) -> np.ndarray:
        """Kc x over all n unknowns."""
        y = np.zeros(self.n)
        y[self.free] = self.K @ x[self.free]
        if self.rest is not None:
            y += self.rest @ x
        return y

    def jacobian(self, mats):
        """The free block of the constant part plus the sparse matrices ``mats`` (n, n),
        as a csr array in the fixed pattern. Its values live in one buffer that the
        next call rewrites (a fresh array of the whole pattern every step cost more
        than the nonlinear entries: page faults on 160 MB at 1.2M edges)."""
        if self.out is None:
            self.out = np.empty_like(self.data)
        data = self.out
        np.copyto(data, self.data)
        extra = []
        if mats:
            coo = [sp.coo_array(M) for M in mats if M is not None]
            r = self.pos[np.concatenate([C.row for C in coo])]
            c = self.pos[np.concatenate([C.col for C in coo])]
            v = np.concatenate([C.data for C in coo])
            keep = (r >= 0) & (c >= 0)
            key = r[keep].astype(np.int64) * self.m + c[keep]
            v = v[keep]
            i = np.searchsorted(self.keys, key)
            i[i == len(self.keys)] = 0
            hit = self.keys[i] == key if len(self.keys) else np.zeros(len(key), bool)
            data[self.where] += np.bincount(i[hit], weights=v[hit], minlength=len(self.keys))
            if not hit.all():
                miss = ~hit
                extra = sp.csr_array((v[miss], np.divmod(key[miss], self.m)),
                                     shape=(self.m, self.m))
        J = sp.csr_array((data, self.indices, self.indptr), shape=(self.m, self.m))
        return J + extra if sp.issparse(extra) else J
