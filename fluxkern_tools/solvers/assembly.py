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
        self._fixed_block = {}      # free block of that K, per free set

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
        K = dK = None
        rhs = scale * rc
        for r in self.varying:
            Kr, dKr, rr = self.call(r, x, scale)
            K, dK = _add(K, Kr), _add(dK, dKr)
            if rr is not None:
                rhs += rr
        Kx = np.zeros(self.n)
        J = None
        if Kc is not None:
            Kx += Kc @ x
            key = id(free)
            if key not in self._fixed_block:
                self._fixed_block = {key: (free, Kc[free][:, free])}
            J = self._fixed_block[key][1]
        if K is not None:
            Kx += K @ x
            J = _add(J, sp.csr_array(_add(K, dK))[free][:, free])
        if J is None:
            J = sp.csr_array((len(free), len(free)))
        return J, Kx, rhs
