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

from ..fem.kernels import index_type, small_pages, summed_csr

__all__ = ["RegionSum", "compress_into"]


def _add(a, b):
    return b if a is None else (a if b is None else a + b)


def compress_into(mask, src, out, block: int = 1 << 18):
    """``out[:k] = src[mask]`` block by block: no temporary of the whole selection, and
    unlike ``np.compress(..., out=)`` at the speed of boolean indexing (that path was
    7-40x slower on 10M entries). Filling a kept array also spares the page faults of
    a fresh one: taking the lower triangle of a 5.4M-entry matrix took 12 ms this
    way and 257 ms by boolean indexing into a new array."""
    at = 0
    for s in range(0, len(src), block):
        v = src[s:s + block][mask[s:s + block]]
        out[at:at + len(v)] = v
        at += len(v)


class RegionSum:
    """Newton systems from per-region kernel calls.

    ``call(region, x, scale, merged=True) -> (K, dK, rhs)`` assembles one region at
    the iterate ``x`` with the source scaled by ``scale`` (``rhs`` may be None where the
    formulation has none); ``constant`` lists the regions whose material is constant;
    ``n`` is the number of degrees of freedom; ``dofs(region)`` gives the unknowns of
    the region's elements, (E, k), which fix the pattern of its Jacobian entries
    (without it the pattern is taken from the kernels' output at the first step, and
    entries falling outside it later are added as a sparse matrix, the slow way).
    With ``dofs``, the nonlinear regions are called with ``merged=False``: their
    entries come in the kernels' own order, the same at every step (see
    :func:`~fluxkern_tools.fem.kernels.summed_in_chunks`), and are mapped into the
    pattern once.
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
            out = self._varying(x, scale)
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
            out = self._varying(x, scale)
        entries = []
        for Kr, dKr, rr in out:
            Kx += Kr @ x
            entries += [Kr, dKr]
            if rr is not None:
                rhs += rr
        del out
        return block.jacobian(entries, ordered=self.dofs is not None), Kx, rhs

    def _varying(self, x, scale):
        """The nonlinear regions' kernel output at ``x``, in the kernels' order where
        the pattern comes from ``dofs``."""
        if self.dofs is None:
            return [self.call(r, x, scale) for r in self.varying]
        return [self.call(r, x, scale, merged=False) for r in self.varying]


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
        itype = index_type(max(n, m) + 1)
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
            for src, dst in ((r, rows), (c, cols), (C.data, vals)):
                compress_into(inner, src, dst)
            del C, r, c
        del inner
        rows[k_in:], cols[k_in:] = kr, kc
        # Summed into csr arrays, sorted by row, then column, keeping the explicit
        # zeros of the nonlinear pattern.
        merged = _sorted_union(rows[:k_in], cols[:k_in], vals[:k_in], keys, m)
        if merged is None:
            indptr, indices, data = summed_csr(rows, cols, vals, (m, m), drop_zeros=False)
        else:
            indptr, indices, data = merged
        del rows, cols, vals, merged
        self.indptr = indptr.astype(itype, copy=False)
        self.indices = indices.astype(itype, copy=False)
        self.data = data
        del indptr, indices, data
        for a in (self.indptr, self.indices):
            a.flags.writeable = False       # shared by every Jacobian handed out
        self.K = sp.csr_array((self.data, self.indices, self.indptr), shape=(m, m))
        self.out = None
        self._order = None          # (entry counts, kept entries, their key indices)
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

    def _lookup(self, coo):
        """``(keep, i, hit, key)`` of the entries of the coo arrays ``coo``: those in
        free rows and columns (``keep``), their keys and the indices ``i`` of those
        keys in the nonlinear pattern (``hit`` where found)."""
        r = self.pos[np.concatenate([C.row for C in coo])]
        c = self.pos[np.concatenate([C.col for C in coo])]
        keep = (r >= 0) & (c >= 0)
        key = r[keep].astype(np.int64) * self.m + c[keep]
        del r, c
        i = np.searchsorted(self.keys, key)
        i[i == len(self.keys)] = 0
        hit = self.keys[i] == key if len(self.keys) else np.zeros(len(key), bool)
        return keep, i, hit, key

    def jacobian(self, mats, ordered: bool = False):
        """The free block of the constant part plus the sparse matrices ``mats`` (n, n),
        as a csr array in the fixed pattern. Its values live in one buffer that the
        next call rewrites (a fresh array of the whole pattern every step cost more
        than the nonlinear entries: page faults on 160 MB at 1.2M edges). The buffer
        is handed out read-only, so that a later call need only restore the
        nonlinear pattern's positions to the constant values (copying the whole
        pattern was a fifth of a Newton step's assembly at 1.2M edges).

        ``ordered``: ``mats`` are coo arrays whose entries sit at the same (row,
        column) pairs, in the same order, at every call with the same entry counts;
        their indices in the pattern are then looked up once and kept."""
        if self.out is None:
            self.out = np.empty_like(self.data)
            np.copyto(self.out, self.data)
        data = self.out
        data.flags.writeable = True
        data[self.where] = self.data[self.where]
        extra = []
        coo = [sp.coo_array(M) for M in mats if M is not None]
        if coo:
            counts = tuple(len(C.data) for C in coo)
            v = np.concatenate([C.data for C in coo])
            if ordered and self._order is not None and self._order[0] == counts:
                _, keep, i = self._order
            else:
                keep, i, hit, key = self._lookup(coo)
                if keep.all():
                    keep = None
                if not hit.all():
                    miss = ~hit
                    v = v if keep is None else v[keep]
                    extra = sp.csr_array((v[miss], np.divmod(key[miss], self.m)),
                                         shape=(self.m, self.m))
                    keep = hit if keep is None else _within(keep, hit)
                    i = i[hit]
                del hit, key
                if ordered:
                    self._order = (counts, keep, i)
            if keep is not None:
                v = v[keep]
            data[self.where] += np.bincount(i, weights=v, minlength=len(self.keys))
        data.flags.writeable = False
        J = sp.csr_array((data, self.indices, self.indptr), shape=(self.m, self.m))
        return J + extra if sp.issparse(extra) else J


def _sorted_union(rows, cols, vals, keys, m):
    """``(indptr, indices, data)`` of the entries (``rows``, ``cols``, ``vals``) of an
    m x m matrix joined with explicit zeros at the sorted keys ``row * m + col`` that
    they lack, or None unless the entries are in strictly increasing (row, column)
    order (the constant part of one region comes so, summed). A linear merge: the
    general summation sorts every entry again."""
    ck = rows.astype(np.int64) * m + cols
    if len(ck) > 1 and not np.all(ck[1:] > ck[:-1]):
        return None
    at = np.searchsorted(ck, keys)
    new = np.ones(len(keys), dtype=bool)
    inside = at < len(ck)
    new[inside] = ck[at[inside]] != keys[inside]
    del ck
    at, fresh = at[new], keys[new]
    data = np.insert(vals, at, 0.0)
    indices = np.insert(cols, at, (fresh % m).astype(cols.dtype))
    counts = np.bincount(rows, minlength=m) + np.bincount(fresh // m, minlength=m)
    indptr = np.zeros(m + 1, dtype=np.int64)
    np.cumsum(counts, out=indptr[1:])
    return indptr, indices, data


def _within(outer, inner):
    """The mask over ``outer``'s positions of the True entries of ``outer`` where
    ``inner`` (a mask over those True entries) is True."""
    out = np.zeros(len(outer), dtype=bool)
    out[np.flatnonzero(outer)[inner]] = True
    return out
