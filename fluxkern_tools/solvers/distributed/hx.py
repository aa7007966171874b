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

symmetric because the two sweeps are each other's adjoint (PETSc's SOR on each
process's rows, the coupling to other processes from the current iterate) and a
BoomerAMG V-cycle with symmetric relaxation is symmetric. Nodes on an edge with
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

__all__ = ["HiptmairXu", "owned_matrix", "nodal_laplacian", "edge_interpolation",
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


def nodal_reluctance(materials, how: str = "initial") -> dict:
    """One reluctance in m/H per region for the nodal Laplacian: the material's nu at
    B = 0 (``how="initial"``). Raises ValueError for another ``how``."""
    if how != "initial":
        raise ValueError(f"unknown nodal reluctance {how!r}; use 'initial'")
    return {r: float(np.asarray(m.evaluate_nu(np.zeros(1))).reshape(-1)[0])
            for r, m in materials.items()}


def nodal_laplacian(comm, coords, cells, regions, nu, node_index, fixed, sizes):
    """The nu-weighted Laplacian of the linear tetrahedra ``cells`` (E, 4; local node
    numbers into ``coords``, m) over the global node numbering ``node_index`` (-1: no
    unknown), as a PETSc matrix. ``regions`` (E,) and ``nu`` ({region: m/H}) weight the
    elements; rows and columns of the local nodes flagged ``fixed`` are the identity.
    ``sizes``: (owned, global) node counts. Collective."""
    q, w = quadrature.tetrahedron(1)
    d_phi = ref_elements.lagrange(1, q)[1]
    n = len(coords)
    x = np.zeros(n)
    K = sp.csr_matrix((n, n))
    for r in np.unique(regions).tolist():
        sel = np.ascontiguousarray(cells[regions == r], dtype=np.int32).reshape(-1)
        Kr = nodal_system(coords, sel, d_phi, x, ConstantPermeability(nu[r]), q, w)[0]
        K = K + sp.csr_matrix(Kr)
    C = K.tocoo()
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
    laplacian : the nodal matrix (PETSc, nodes x nodes), e.g. :func:`nodal_laplacian`.
    prefix : options prefix of the nodal BoomerAMG (PETSc's ``-<prefix>pc_hypre_*``).
    sweeps : Gauss-Seidel sweeps of each smoothing step.

    Errors of PETSc or hypre surface as ``PETSc.Error`` from the set-up or apply.
    """

    def __init__(self, interpolation, laplacian, prefix: str = "", sweeps: int = 1):
        self.Pi = list(interpolation)
        self.L = laplacian
        self.prefix = prefix
        self.sweeps = int(sweeps)
        self.amg = None
        self.A = None
        self._work = None

    def setUp(self, pc):
        PETSc = petsc()
        self.A = pc.getOperators()[0]
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

    def apply(self, pc, r, x):
        T = petsc().Mat.SORType
        A, (res, z, y) = self.A, self._work
        A.SOR(r, x, sortype=T.LOCAL_FORWARD_SWEEP | T.ZERO_INITIAL_GUESS, its=self.sweeps)
        A.mult(x, res)
        res.aypx(-1.0, r)
        for P in self.Pi:
            P.multTranspose(res, z)
            self.amg.apply(z, y)
            P.multAdd(y, x, x)
        A.SOR(r, x, sortype=T.LOCAL_BACKWARD_SWEEP, its=self.sweeps)

    def destroy(self, pc=None):
        if self.amg is not None:
            self.amg.destroy()
            self.amg = None
