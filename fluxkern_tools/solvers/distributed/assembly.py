"""Newton systems of each process's elements, summed into PETSc objects.

Each process calls the compiled kernels on its own elements only, in local numbers
(:class:`~.partition.LocalDofs`), and gets the local matrices as csr arrays. These go
into one distributed ``MPIAIJ`` matrix through a local-to-global map
(``MatSetValuesLocal``, row by row from the csr arrays): the map sends the unknowns
outside the matrix (fixed by boundary conditions) to -1, which PETSc skips, and rows
owned by other processes travel in PETSc's assembly stash. Vectors are ghosted
(``VecCreateGhost``): a forward ghost update gives each process the iterate at all its
unknowns, a reverse one with ADD sums the residual contributions at their owners.

As in :class:`~fluxkern_tools.solvers.assembly.RegionSum`, regions of constant material
are assembled once: their matrix is kept (with the whole pattern, so that copying it
into the Jacobian each Newton step is a plain copy of values) and the kernels then run
on the nonlinear regions only. Its product with the iterate comes from that PETSc
matrix too; of the local csr array only the entries in rows or columns of fixed
unknowns stay (the Dirichlet coupling), so no second copy of the air's matrix is kept.
The matrix is preallocated from the pattern of the first assembly, counted per row on
the owning process.

Measured (benchmarks/bench_distributed.py --insert, the whole curl-curl matrix of a
579k-edge cube, 3.4M entries a process): inserting every local row through the stash
took 0.16 s with 2 processes, sending the other processes' rows to their owners with
mpi4py first and inserting owned rows only 0.34 s.
"""

from __future__ import annotations

import time
from typing import Callable

import numpy as np
import scipy.sparse as sp

from ...fem.kernels import CHUNK, small_pages
from .comm import collective, petsc
from .partition import LocalDofs

__all__ = ["DistributedSystem", "element_pattern"]

def element_pattern(dofs, n: int):
    """Pattern (n x n csr of ones) of the unknowns that share an element; ``dofs``
    (E, k) are the elements' local unknowns. Built in chunks like the kernels' calls."""
    D = np.asarray(dofs, dtype=np.int64)
    k = D.shape[1]
    out = sp.csr_array((n, n), dtype=np.int8)
    for a in range(0, len(D), CHUNK):
        C = D[a:a + CHUNK]
        rows, cols = np.repeat(C, k, axis=1).reshape(-1), np.tile(C, (1, k)).reshape(-1)
        P = sp.csr_array((np.ones(len(rows), dtype=np.int8), (rows, cols)), shape=(n, n))
        P.data[:] = 1
        out = out + P
        out.data[:] = 1
    return out


def _pattern(*mats):
    out = None
    for M in mats:
        if M is None:
            continue
        P = sp.csr_array((np.ones(M.nnz), M.indices, M.indptr), shape=M.shape)
        out = P if out is None else out + P
    return out


def _add(a, b):
    return b if a is None else (a if b is None else a + b)


class DistributedSystem:
    """The distributed Jacobian, stiffness product and right-hand side at an iterate.

    Parameters
    ----------
    comm : the MPI communicator (mpi4py).
    local : :class:`~.partition.LocalDofs` of this process's unknowns; block 0 is the
        matrix's unknowns (the free ones), an optional block 1 a second numbering (the
        fixed ones) over which :meth:`system` also sums ``K x``.
    sizes : global sizes of the numberings of ``local``.
    call : ``call(region, x, scale) -> (K, dK, rhs)`` on this process's elements of
        ``region`` at the local iterate ``x`` (all local unknowns), source scaled by
        ``scale``; K, dK csr arrays in local numbers, rhs an array or None.
    regions : ``{region: (E, k) local unknowns of its elements}`` for the regions this
        process has elements of; ``constant``: the regions of constant material.
    fixed_values : the values of the local unknowns after block 0 (they stay fixed).
    """

    def __init__(self, comm, local: LocalDofs, sizes, call: Callable, regions, constant,
                 fixed_values):
        PETSc = petsc()
        self.comm, self.local, self.call = comm, local, call
        self.n_local = len(local.ids)
        off, self.n_owned, ghosts = local.block(0)
        self.n_ghosted = self.n_owned + len(ghosts)
        self.size = int(sizes[0])
        self.fixed_values = np.asarray(fixed_values, dtype=np.float64)
        if len(self.fixed_values) != self.n_local - self.n_ghosted:
            raise ValueError("fixed_values needs one entry per local unknown after block 0")
        g = PETSc.IntType
        self.x = PETSc.Vec().createGhost(ghosts.astype(g), (self.n_owned, self.size),
                                         comm=comm)
        self.kx, self.rhs = self.x.duplicate(), self.x.duplicate()
        self.rstart = self.x.getOwnershipRange()[0]
        self.ranges = np.asarray(self.x.getOwnershipRanges(), dtype=np.int64)
        self.kx_fixed = None
        if len(local.counts) > 1:
            off1, n1, ghosts1 = local.block(1)
            self._fixed_slice = slice(off1, off1 + n1 + len(ghosts1))
            self.kx_fixed = PETSc.Vec().createGhost(ghosts1.astype(g), (n1, int(sizes[1])),
                                                    comm=comm)
        lg = np.full(self.n_local, -1, dtype=np.int64)
        lg[:self.n_ghosted] = local.index[:self.n_ghosted]
        self.lg = lg
        self.lgmap = PETSc.LGMap().create(lg.astype(g), comm=comm)
        constant = set(constant)
        self.regions = regions
        self.constant = [r for r in regions if r in constant]
        self.varying = [r for r in regions if r not in constant]
        # Collective matrix operations must not depend on what this process holds.
        self.any_varying = bool(comm.allreduce(len(self.varying)))
        self.A = self.Ac = None
        self._Kc = self._rc = None      # constant regions: local matrix, rhs at scale 1
        self._kc = None                 # their free-free product, from Ac
        self.insert_time = 0.0

    # -- vectors ---------------------------------------------------------------------
    def local_iterate(self, x_owned) -> np.ndarray:
        """The iterate at every local unknown from the owned values (forward ghost
        update), the fixed values appended."""
        PETSc = petsc()
        self.x.getArray()[:] = x_owned
        self.x.ghostUpdate(addv=PETSc.InsertMode.INSERT, mode=PETSc.ScatterMode.FORWARD)
        with self.x.localForm() as lf:
            xg = lf.getArray(readonly=True)
            return np.concatenate([xg, self.fixed_values])

    def _sum_to_owners(self, vec, values, part=None) -> np.ndarray:
        PETSc = petsc()
        with vec.localForm() as lf:
            lf.getArray()[:] = values[slice(0, self.n_ghosted) if part is None else part]
        vec.ghostUpdate(addv=PETSc.InsertMode.ADD, mode=PETSc.ScatterMode.REVERSE)
        return vec.getArray().copy()

    # -- matrices --------------------------------------------------------------------
    def _constant_part(self):
        if self._rc is None:            # (K stays None on a process without such regions)
            zero = np.zeros(self.n_local)
            K, rhs = None, np.zeros(self.n_local)
            with collective(self.comm, "the assembly of the constant regions"):
                for r in self.constant:
                    Kr, _, rr = self.call(r, zero, 1.0)
                    K = _add(K, sp.csr_array(Kr))
                    if rr is not None:
                        rhs += rr
            self._Kc, self._rc = K, rhs
        return self._Kc, self._rc

    def _preallocate(self, patterns):
        """Create the matrices with exact row counts on the owners (an upper bound on
        rows shared between processes, where the contributions' columns overlap).

        The pattern is that of the constant regions' entries that are not zero (in air
        many curl-curl couplings vanish on a structured mesh) and every pair of
        unknowns of a nonlinear region's element, whatever its value at this iterate:
        the Newton term fills couplings the stiffness matrix leaves at zero.
        """
        PETSc = petsc()
        S = _pattern(*patterns)
        n, ng = self.n_local, self.n_ghosted
        d = np.zeros(ng)
        o = np.zeros(ng)
        if S is not None and S.nnz:
            rows = np.repeat(np.arange(n), np.diff(S.indptr))
            rg, cg = self.lg[rows], self.lg[S.indices]
            keep = (rg >= 0) & (cg >= 0)
            rows, rg, cg = rows[keep], rg[keep], cg[keep]
            owner = np.searchsorted(self.ranges, rg, side="right") - 1
            diag = (cg >= self.ranges[owner]) & (cg < self.ranges[owner + 1])
            d = np.bincount(rows[diag], minlength=ng).astype(np.float64)
            o = np.bincount(rows[~diag], minlength=ng).astype(np.float64)
        tmp = self.x.duplicate()
        full = np.zeros(n)
        full[:ng] = d
        d_own = self._sum_to_owners(tmp, full)
        full[:ng] = o
        o_own = self._sum_to_owners(tmp, full)
        tmp.destroy()
        no = self.n_owned
        d_own = np.minimum(d_own, no).astype(PETSc.IntType)
        o_own = np.minimum(o_own, self.size - no).astype(PETSc.IntType)
        sizes = ((no, self.size), (no, self.size))
        A = PETSc.Mat().createAIJ(sizes, nnz=(d_own, o_own), comm=self.comm)
        A.setLGMap(self.lgmap)
        A.setOption(PETSc.Mat.Option.NEW_NONZERO_ALLOCATION_ERR, True)
        A.setOption(PETSc.Mat.Option.SYMMETRIC, True)
        return A

    def _fixed_coupling(self, K):
        """The entries of ``K`` (local numbers) in a row or column of a fixed unknown."""
        if K is None:
            return None
        ng = self.n_ghosted
        C = K.tocoo()
        keep = (C.row >= ng) | (C.col >= ng)
        return sp.csr_array((C.data[keep], (C.row[keep], C.col[keep])), shape=K.shape)

    def _insert(self, A, *mats, zero: bool = False):
        PETSc = petsc()
        for M in mats:
            if M is not None and M.nnz:
                v = np.zeros(M.nnz) if zero else M.data
                A.setValuesLocalCSR(M.indptr.astype(PETSc.IntType, copy=False),
                                    M.indices.astype(PETSc.IntType, copy=False), v,
                                    addv=PETSc.InsertMode.ADD)

    def system(self, x_owned, scale: float):
        """``(J, Kx, rhs, Kx_fixed)`` at the owned values ``x_owned`` of the free
        unknowns, source scaled by ``scale``.

        J is the PETSc matrix K + dK over the free unknowns (the same object every
        call, refilled); Kx and rhs are the owned entries of K x and the right-hand
        side; Kx_fixed the owned entries of K x over the second numbering (None
        without one).
        """
        with small_pages():
            return self._system(x_owned, scale)

    def _system(self, x_owned, scale):
        PETSc = petsc()
        xl = self.local_iterate(x_owned)
        Kc, rc = self._constant_part()
        K = dK = None
        rhs = float(scale) * rc
        with collective(self.comm, "the assembly"):
            for r in self.varying:
                Kr, dKr, rr = self.call(r, xl, scale)
                K, dK = _add(K, sp.csr_array(Kr)), _add(dK, sp.csr_array(dKr))
                if rr is not None:
                    rhs = rhs + rr
        t0 = time.perf_counter()
        if self.Ac is None:
            if Kc is not None:
                Kc.eliminate_zeros()
            S = None
            for r in self.varying:
                S = _add(S, element_pattern(self.regions[r], self.n_local))
            self.Ac = self._preallocate([Kc, S])
            self._insert(self.Ac, Kc)
            self._insert(self.Ac, S, zero=True)
            self.Ac.assemble()
            if self.any_varying:
                self.A = self.Ac.duplicate(copy=True)
                self.A.setOption(PETSc.Mat.Option.NEW_NONZERO_ALLOCATION_ERR, True)
            else:
                self.A = self.Ac
            self._kc = self.x.duplicate()
            self._Kc = Kc = self._fixed_coupling(Kc)
        if self.any_varying:
            self.Ac.copy(self.A, structure=PETSc.Mat.Structure.SAME_NONZERO_PATTERN)
            self._insert(self.A, K, dK)
            self.A.assemble()
        self.insert_time += time.perf_counter() - t0
        Kx = np.zeros(self.n_local)
        if Kc is not None:
            Kx += Kc @ xl
        if K is not None:
            Kx += K @ xl
        kx = self._sum_to_owners(self.kx, Kx)
        self.Ac.mult(self.x, self._kc)
        kx += self._kc.getArray()
        rh = self._sum_to_owners(self.rhs, rhs)
        kxf = None
        if self.kx_fixed is not None:
            kxf = self._sum_to_owners(self.kx_fixed, Kx, self._fixed_slice)
        return self.A, kx, rh, kxf
