"""The auxiliary-space Maxwell preconditioner (Hiptmair-Xu) on many processes, with
nodal Laplacians assembled directly instead of formed as Galerkin products.

hypre's AMS forms Pi^T A Pi from the edge matrix A and the Nédélec interpolation Pi at
every set-up; that triple product scales poorly over processes (on the steel cube with
1M edges each of 2 processes spent as long on it as 1 process on the whole problem).
Here the nodal operator is the nu-weighted scalar Laplacian int nu grad(u).grad(v) of
linear tetrahedra, assembled by the compiled nodal kernel with one constant reluctance
per region (``nodal_reluctance``), the same matrix for the three Cartesian components
of the nodal vector field. The same frozen Laplacian serves every Newton step, so its
BoomerAMG hierarchy is built once; each set-up after the first only hands the new edge
matrix to the smoother. One application to a residual r is the multiplicative cycle of
:mod:`fluxkern_tools.solvers.ams`:

    forward local Gauss-Seidel on A;  x += sum_k Pi_k AMG(Pi_k^T (r - A x));
    backward local Gauss-Seidel on A,

symmetric because the two sweeps are each other's adjoint and a BoomerAMG V-cycle with
symmetric relaxation is symmetric. The sweeps are PETSc's SOR on each process's rows,
l1-scaled on more than one process: each diagonal entry grows by the absolute sum of
its row's couplings to other processes. Plain sweeps per process (a block Jacobi of
Gauss-Seidel blocks) made the cycle indefinite on 3 processes of a 2.6k-edge cube. Nodes on an edge with
A x n = 0 carry the Dirichlet condition in the nodal space (their columns of Pi_k are
dropped, their rows of the Laplacian are the identity). The system has no mass term,
so there is no gradient-space correction (curl grad = 0), as in AMS with beta = 0.
"""

from __future__ import annotations

import numpy as np
import scipy.sparse as sp

from ...fem import elements as ref_elements, quadrature
from ...fem.kernels import nodal_system
from ...fem.operators import nedelec_interpolation
from ...material_curves import ConstantPermeability
from .comm import petsc
from .partition import compact

__all__ = ["HiptmairXu", "owned_matrix", "local_laplacian", "nodal_laplacian", "edge_interpolation",
           "nodal_reluctance"]


def owned_matrix(comm, rows, cols, values, row_sizes, col_sizes):
    """A PETSc AIJ matrix from entries (global ``rows``, ``cols``) given anywhere.

    Entries with a negative row or column are dropped; the others travel to the
    process owning their row, where duplicates are summed and the matrix is created
    with its exact pattern. ``row_sizes``/``col_sizes``: (owned, global) sizes of this
    process, as for ``createAIJ``.
    """
    from mpi4py import MPI

    PETSc = petsc()
    rows, cols = np.asarray(rows, np.int64), np.asarray(cols, np.int64)
    values = np.asarray(values, np.float64)
    keep = (rows >= 0) & (cols >= 0)
    rows, cols, values = rows[keep], cols[keep], values[keep]
    starts = np.concatenate([[0], np.cumsum(comm.allgather(int(row_sizes[0])))])
    dest = np.searchsorted(starts, rows, side="right") - 1
    order = np.argsort(dest, kind="stable")
    counts = np.bincount(dest, minlength=comm.size)
    recv_counts = np.asarray(comm.alltoall(counts.tolist()))
    got = []
    for arr, t in ((rows, MPI.INT64_T), (cols, MPI.INT64_T), (values, MPI.DOUBLE)):
        buf = np.empty(int(recv_counts.sum()), dtype=arr.dtype)
        comm.Alltoallv([np.ascontiguousarray(arr[order]), (counts, None), t],
                       [buf, (recv_counts, None), t])
        got.append(buf)
    n = int(row_sizes[0])
    S = sp.csr_matrix((got[2], (got[0] - starts[comm.rank], got[1])),
                      shape=(n, int(col_sizes[1])))
    S.sum_duplicates()
    S.sort_indices()
    g = PETSc.IntType
    M = PETSc.Mat().createAIJ((tuple(map(int, row_sizes)), tuple(map(int, col_sizes))),
                              csr=(S.indptr.astype(g), S.indices.astype(g), S.data),
                              comm=comm)
    M.assemble()
    return M


def nodal_reluctance(nu, step: float = 1.25) -> np.ndarray:
    """Reluctances ``nu`` (m/H, one per element) rounded to a geometric grid of ratio
    ``step``, so that the elements fall into few groups of one constant each (one
    kernel call per group)."""
    nu = np.asarray(nu, dtype=np.float64)
    if not np.all(np.isfinite(nu) & (nu > 0)):
        raise ValueError("the nodal reluctances must be positive and finite")
    h = np.log(step)
    return np.exp(np.round(np.log(nu) / h) * h)


def local_laplacian(coords, cells, nu, base=None) -> sp.csr_matrix:
    """The nu-weighted Laplacian int nu grad(u).grad(v) of the linear tetrahedra
    ``cells`` (E, 4; local node numbers into ``coords``, m), of order ``len(coords)``,
    plus ``base`` if given: one call of the nodal kernel per distinct value of ``nu``
    (E,; m/H, positive), the results summed in one conversion."""
    q, w = quadrature.tetrahedron(1)
    d_phi = ref_elements.lagrange(1, q)[1]
    n = len(coords)
    parts = [] if base is None else [sp.coo_matrix(base)]
    values, group = np.unique(np.asarray(nu, dtype=np.float64), return_inverse=True)
    scratch = np.full(n, -1, dtype=np.int64)
    for k, v in enumerate(values.tolist()):
        # Each call on the group's own nodes: the kernel's result has their order.
        ids, sel = compact(cells[group == k], scratch)
        Kr = sp.coo_matrix(nodal_system(coords[ids], sel.reshape(-1), d_phi,
                                        np.zeros(len(ids)), ConstantPermeability(v),
                                        q, w)[0])
        parts.append(sp.coo_matrix((Kr.data, (ids[Kr.row], ids[Kr.col])), shape=(n, n)))
    if not parts:
        return sp.csr_matrix((n, n))
    return sp.csr_matrix((np.concatenate([P.data for P in parts]),
                          (np.concatenate([P.row for P in parts]),
                           np.concatenate([P.col for P in parts]))), shape=(n, n))


def nodal_laplacian(comm, K, node_index, fixed, sizes):
    """The local Laplacian ``K`` (:func:`local_laplacian`) summed over the processes
    in the global node numbering ``node_index`` (-1: no unknown), as a PETSc matrix;
    rows and columns of the local nodes flagged ``fixed`` are the identity.
    ``sizes``: (owned, global) node counts. Collective."""
    C = sp.coo_matrix(K)
    g = np.where(fixed, -1, node_index)
    rows, cols, vals = g[C.row], g[C.col], C.data
    # Identity rows of the fixed nodes this process owns (added once, by the owner).
    start = sum(comm.allgather(int(sizes[0]))[:comm.rank])
    own = (node_index >= start) & (node_index < start + sizes[0]) & fixed
    ids = node_index[own]
    rows = np.concatenate([rows, ids])
    cols = np.concatenate([cols, ids])
    vals = np.concatenate([vals, np.ones(len(ids))])
    return owned_matrix(comm, rows, cols, vals, sizes, sizes)


def edge_interpolation(comm, coords, ends, node_index, fixed, edge_sizes, node_sizes):
    """The three Nédélec interpolations Pi_k (owned edges x global nodes) as PETSc
    matrices: ``ends`` (n_owned, 2) are the owned edges' end nodes in local numbers
    into ``coords`` (m); columns of nodes flagged ``fixed`` are left out."""
    PETSc = petsc()
    out = []
    g = np.where(fixed, -1, node_index)
    for P in nedelec_interpolation(coords, ends):
        C = P.tocoo()
        cols = g[C.col]
        keep = cols >= 0
        S = sp.csr_matrix((C.data[keep], (C.row[keep], cols[keep])),
                          shape=(P.shape[0], int(node_sizes[1])))
        S.sum_duplicates()
        S.sort_indices()
        i = PETSc.IntType
        M = PETSc.Mat().createAIJ((tuple(map(int, edge_sizes)),
                                   tuple(map(int, node_sizes))),
                                  csr=(S.indptr.astype(i), S.indices.astype(i), S.data),
                                  comm=comm)
        M.assemble()
        out.append(M)
    return out


class HiptmairXu:
    """PETSc shell preconditioner (``PC`` of type python) applying the cycle above.

    Parameters
    ----------
    interpolation : the three Pi_k (PETSc matrices, edges x nodes).
    laplacian : the nodal matrix (PETSc, nodes x nodes), e.g. :func:`nodal_laplacian`,
        or a callable returning it at each set-up (None: keep the last one and its
        hierarchy).
    prefix : options prefix of the nodal BoomerAMG (PETSc's ``-<prefix>pc_hypre_*``).
    sweeps : Gauss-Seidel sweeps of each smoothing step.

    Errors of PETSc or hypre surface as ``PETSc.Error`` from the set-up or apply.
    """

    def __init__(self, interpolation, laplacian, prefix: str = "", sweeps: int = 1):
        self.Pi = list(interpolation)
        self.laplacian = laplacian
        self.L = None
        self.prefix = prefix
        self.sweeps = int(sweeps)
        self.amg = None
        self.A = self.S = None
        self._l1 = None
        self._work = None

    def setUp(self, pc):
        PETSc = petsc()
        self.A = pc.getOperators()[0]
        self._smoother()
        L = self.laplacian() if callable(self.laplacian) else self.laplacian
        if L is not None and L is not self.L:
            if self.L is not None and self.L is not L:
                self.L.destroy()
            self.L = L
            self.destroy()
        if self.amg is None:
            amg = PETSc.PC().create(comm=self.L.getComm())
            amg.setOptionsPrefix(self.prefix)
            amg.setType(PETSc.PC.Type.HYPRE)
            amg.setHYPREType("boomeramg")
            amg.setOperators(self.L)
            amg.setFromOptions()
            amg.setUp()
            self.amg = amg
            z, y = self.L.createVecs()
            self._work = (self.A.createVecLeft(), z, y)

    def _smoother(self):
        """S = A + diag(l1 norms of the rows' entries in other processes' columns)."""
        PETSc = petsc()
        A = self.A
        if A.getComm().getSize() == 1:
            self.S, self._l1 = A, None
            return
        indptr, indices, data = A.getValuesCSR()
        r0, r1 = A.getOwnershipRange()
        off = (indices < r0) | (indices >= r1)
        rows = np.repeat(np.arange(r1 - r0), np.diff(indptr))
        l1 = np.bincount(rows[off], weights=np.abs(data[off]), minlength=r1 - r0)
        if self.S is None or self.S is A:
            self.S = A.duplicate(copy=True)
        else:
            A.copy(self.S, structure=PETSc.Mat.Structure.SAME_NONZERO_PATTERN)
        d = A.getDiagonal()
        self._l1 = d.duplicate()
        self._l1.setArray(l1)
        d.axpy(1.0, self._l1)
        self.S.setDiagonal(d)
        d.destroy()

    def apply(self, pc, r, x):
        T = petsc().Mat.SORType
        A, S, (res, z, y) = self.A, self.S, self._work
        S.SOR(r, x, sortype=T.LOCAL_FORWARD_SWEEP | T.ZERO_INITIAL_GUESS, its=self.sweeps)
        A.mult(x, res)
        res.aypx(-1.0, r)
        for P in self.Pi:
            P.multTranspose(res, z)
            self.amg.apply(z, y)
            P.multAdd(y, x, x)
        # A sweep on S from x with right-hand side r + D_l1 x is one on A with the
        # l1-enlarged diagonal: x += (D + D_l1 + U)^-1 (r - A x).
        if self._l1 is not None:
            res.pointwiseMult(self._l1, x)
            res.axpy(1.0, r)
            S.SOR(res, x, sortype=T.LOCAL_BACKWARD_SWEEP, its=self.sweeps)
        else:
            S.SOR(r, x, sortype=T.LOCAL_BACKWARD_SWEEP, its=self.sweeps)

    def destroy(self, pc=None):
        if self.amg is not None:
            self.amg.destroy()
            self.amg = None
