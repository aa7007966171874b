"""Newton systems summed over regions, with the constant-material regions assembled once.

A region whose material curve is a constant (air, linear iron) contributes a stiffness
matrix that does not depend on the iterate, no Newton term and a right-hand side that
scales with the source field. Those contributions are assembled at the first Newton
step and kept, with their free block; later steps call the kernels only on the
nonlinear regions. In the usual model, a small magnet in a large air box, this
removes most of the kernel calls and sparse-matrix constructions of a solve.
"""

from __future__ import annotations

from typing import Callable

import numpy as np
import scipy.sparse as sp

__all__ = ["RegionSum"]


def _add(a, b):
    return b if a is None else (a if b is None else a + b)


class RegionSum:
    """Newton systems from per-region kernel calls.

    ``call(region, x, scale) -> (K, dK, rhs)`` assembles one region at the iterate ``x``
    with the source scaled by ``scale`` (``rhs`` may be None where the formulation has
    none); ``constant`` lists the regions whose material is constant; ``n`` is the
    number of degrees of freedom.
    """

    def __init__(self, n: int, call: Callable, regions, constant):
        self.n, self.call = int(n), call
        constant = set(constant)
        self.constant = [r for r in regions if r in constant]
        self.varying = [r for r in regions if r not in constant]
        self._fixed = None          # (K, rhs at unit scale) of the constant regions
        self._fixed_block = {}      # per free set: (free, position map, free block of K)

    def _constant_part(self):
        if self._fixed is None:
            K, rhs = None, np.zeros(self.n)
            zero = np.zeros(self.n)
            for r in self.constant:
                Kr, _, rr = self.call(r, zero, 1.0)
                K = _add(K, Kr)
                if rr is not None:
                    rhs += rr
            self._fixed = (None if K is None else sp.csr_array(K), rhs)
        return self._fixed

    def system(self, x, scale: float, free):
        """``(J_free, K x, rhs)`` at ``x``: the Jacobian K + dK restricted to the
        ``free`` degrees of freedom, and K x and the right-hand side over all of them."""
        Kc, rc = self._constant_part()
        rhs = scale * rc
        Kx = np.zeros(self.n) if Kc is None else Kc @ x
        parts = []
        for r in self.varying:
            Kr, dKr, rr = self.call(r, x, scale)
            Kx += Kr @ x
            parts += [Kr, dKr]
            if rr is not None:
                rhs += rr
        key = id(free)
        if key not in self._fixed_block:
            pos = np.full(self.n, -1, dtype=np.int64)
            pos[free] = np.arange(len(free))
            block = None if Kc is None else sp.csr_array(Kc[free][:, free])
            self._fixed_block = {key: (free, pos, block)}
        _, pos, J = self._fixed_block[key]
        if parts:
            J = _add(J, _restricted_sum(parts, pos, len(free)))
        if J is None:
            J = sp.csr_array((len(free), len(free)))
        return J, Kx, rhs


def _restricted_sum(mats, pos, m):
    # The nonlinear regions' matrices have few nonzeros spread over all rows: summing
    # and restricting their entries at once is cheaper than adding them as matrices of
    # the full order and slicing rows and columns (which sorts the free indices).
    coo = [sp.coo_array(M) for M in mats]
    r = pos[np.concatenate([C.row for C in coo])]
    c = pos[np.concatenate([C.col for C in coo])]
    keep = (r >= 0) & (c >= 0)
    v = np.concatenate([C.data for C in coo])
    return sp.csr_array((v[keep], (r[keep], c[keep])), shape=(m, m))
