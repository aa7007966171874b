"""Conjugate gradients from PETSc preconditioned by hypre, behind the linear-solver
interface of the Newton drivers.

Edge unknowns (vector potential) get hypre's auxiliary-space Maxwell solver (AMS): it
needs the discrete gradient (free edges x nodes) and the coordinates of those nodes,
from which it builds the Nédélec interpolation itself; the system has no mass term, so
AMS is told that beta is zero and skips the gradient-space correction. The system is
ungauged and singular; its right-hand sides are compatible, so CG converges on it.
Nodal unknowns (scalar potential) get BoomerAMG. The convergence test is on the true
(unpreconditioned) residual, |b - A x| <= rtol |b|, as for the one-machine backends.

PETSc's options database tunes everything under the prefix ``fluxkern_`` (e.g.
``PETSC_OPTIONS="-fluxkern_ksp_monitor -fluxkern_pc_hypre_ams_cycle_type 1"``).

``preconditioner="hx"`` replaces AMS by the auxiliary-space cycle of :mod:`.hx` with
nodal Laplacians assembled directly (its BoomerAMG under ``fluxkern_hx_``).
"""

from __future__ import annotations

import time
from dataclasses import dataclass

import numpy as np

from ..linear import LinearContext, LinearSolveError, LinearSolver
from .comm import petsc

__all__ = ["PetscSolver", "VertexContext", "PREFIX", "DEFAULT_OPTIONS",
           "PRECONDITIONERS"]

PREFIX = "fluxkern_"

# Defaults set under PREFIX unless the options database already has them. BoomerAMG on
# 3-D Laplacian-like problems, as hypre advises for 3-D: strength threshold 0.5, HMIS
# coarsening, extended+i interpolation truncated to 4 entries a row, one level of
# aggressive coarsening. PETSc's defaults (Falgout, classical interpolation, no
# truncation) took 5x the set-up time on the steel cube (100k nodes, 1 process: 9.7 s
# against 2.0 s over 8 Newton steps) for 17 instead of 25 CG iterations in all.
# AMS keeps PETSc's defaults (cycle 13, one l1-Gauss-Seidel sweep, HMIS inside);
# cycle 1 needed 50x the iterations on the singular system.
DEFAULT_OPTIONS = {
    "nodal": {"pc_hypre_boomeramg_strong_threshold": "0.5",
              "pc_hypre_boomeramg_coarsen_type": "HMIS",
              "pc_hypre_boomeramg_interp_type": "ext+i",
              "pc_hypre_boomeramg_P_max": "4",
              "pc_hypre_boomeramg_agg_nl": "1"},
    "edge": {},
}
DEFAULT_OPTIONS["hx"] = {"hx_" + k: v for k, v in DEFAULT_OPTIONS["nodal"].items()}

#: Preconditioners of edge systems: hypre's AMS, or the cycle of :mod:`.hx`.
PRECONDITIONERS = ("hypre-ams", "hx")


@dataclass
class VertexContext(LinearContext):
    """A :class:`LinearContext` for distributed edge unknowns: ``gradient`` is the
    discrete gradient as a PETSc matrix (free edges x nodes) and ``vertices`` (n, 3)
    the coordinates in m of this process's nodes of it, in its column order;
    ``auxiliary`` the three Nédélec interpolations and the nodal Laplacian (PETSc
    matrices) that the ``"hx"`` preconditioner needs."""

    vertices: np.ndarray | None = None
    auxiliary: tuple | None = None


class PetscSolver(LinearSolver):
    """CG with hypre AMS (edge unknowns) or BoomerAMG (nodal unknowns), distributed.

    ``comm``: the communicator of the matrices; ``maxiter``: iteration limit of one
    solve (LinearSolveError beyond it). ``configure`` takes a
    :class:`~fluxkern_tools.solvers.linear.LinearContext`, for edge unknowns a
    :class:`VertexContext`. ``setup`` takes the PETSc matrix and ``solve`` this
    process's owned entries of the right-hand side. ``preconditioner`` (edge unknowns):
    one of :data:`PRECONDITIONERS` (ValueError otherwise).
    """

    name = "petsc"
    handles_singular = True

    def __init__(self, comm, maxiter: int = 500, preconditioner: str = "hypre-ams"):
        super().__init__()
        if preconditioner not in PRECONDITIONERS:
            raise ValueError(f"preconditioner must be one of {PRECONDITIONERS}, "
                             f"not {preconditioner!r}")
        self.comm, self.maxiter = comm, int(maxiter)
        self.preconditioner = preconditioner
        self.ksp = None
        self.A = None

    def configure(self, context) -> None:
        PETSc = petsc()
        super().configure(context)
        if self.ksp is not None:
            self.ksp.destroy()
        opts = PETSc.Options()
        hx = context.kind == "edge" and self.preconditioner == "hx"
        for key, value in DEFAULT_OPTIONS["hx" if hx else context.kind].items():
            if not opts.hasName(PREFIX + key):
                opts.setValue(PREFIX + key, value)
        ksp = PETSc.KSP().create(comm=self.comm)
        ksp.setOptionsPrefix(PREFIX)
        ksp.setType(PETSc.KSP.Type.CG)
        ksp.setNormType(PETSc.KSP.NormType.UNPRECONDITIONED)
        pc = ksp.getPC()
        if hx:
            from .hx import HiptmairXu

            aux = getattr(context, "auxiliary", None)
            if aux is None:
                raise ValueError("the hx preconditioner needs the Nédélec "
                                 "interpolations and the nodal Laplacian")
            pc.setType(PETSc.PC.Type.PYTHON)
            pc.setPythonContext(HiptmairXu(aux[0], aux[1], prefix=PREFIX + "hx_"))
        elif context.kind == "edge":
            pc.setType(PETSc.PC.Type.HYPRE)
            vertices = getattr(context, "vertices", None)
            if context.gradient is None or vertices is None:
                raise ValueError("AMS needs the discrete gradient and the vertex "
                                 "coordinates")
            pc.setHYPREType("ams")
            pc.setHYPREDiscreteGradient(context.gradient)
            pc.setCoordinates(np.ascontiguousarray(vertices, np.float64).reshape(-1, 3))
            pc.setHYPRESetBetaPoissonMatrix(None)
        else:
            pc.setType(PETSc.PC.Type.HYPRE)
            pc.setHYPREType("boomeramg")
        ksp.setFromOptions()
        self.ksp = ksp

    def setup(self, A) -> None:
        if self.ksp is None:
            raise RuntimeError("configure(context) must come before setup(A)")
        st = self._new_stats()
        t0 = time.perf_counter()
        self.A = A
        self.ksp.setOperators(A)
        self._checked("the preconditioner's set-up", self.ksp.setUp)
        st.setup_time = time.perf_counter() - t0

    def _checked(self, what, call, *args):
        """``call(*args)``; a PETSc or hypre error on any process becomes a
        LinearSolveError on every process."""
        from mpi4py import MPI

        PETSc = petsc()
        err = None
        try:
            call(*args)
        except PETSc.Error as exc:
            err = exc
            _clear_hypre_errors()
        failed = self.comm.allreduce(err is not None, op=MPI.LOR)
        if failed:
            where = str(err).splitlines()[0] if err is not None else "on another process"
            raise LinearSolveError(f"{what} failed in PETSc or hypre ({where}): the matrix "
                                   "is not positive definite or holds non-finite "
                                   "values") from err

    def solve(self, b, rtol: float) -> np.ndarray:
        PETSc = petsc()
        if self.A is None:
            raise RuntimeError("setup(A) must come before solve(b)")
        st = self.stats
        t0 = time.perf_counter()
        bv = self.A.createVecLeft()
        bv.getArray()[:] = b
        nb = bv.norm()
        x = self.A.createVecRight()
        if nb == 0.0:
            st.rel_residual, st.solve_time = 0.0, time.perf_counter() - t0
            return x.getArray().copy()
        if not np.isfinite(nb):
            raise LinearSolveError("the right-hand side holds non-finite values")
        self.ksp.setTolerances(rtol=float(rtol), atol=0.0, max_it=self.maxiter)
        self._checked("conjugate gradients", self.ksp.solve, bv, x)
        reason = self.ksp.getConvergedReason()
        st.iterations = self.ksp.getIterationNumber()
        st.rel_residual = float(self.ksp.getResidualNorm()) / nb
        st.solve_time = time.perf_counter() - t0
        if reason < 0:
            names = {v: k for k, v in vars(PETSc.KSP.ConvergedReason).items()
                     if isinstance(v, int)}
            what = names.get(reason, str(reason))
            if reason == PETSc.KSP.ConvergedReason.DIVERGED_MAX_IT:
                raise LinearSolveError(
                    f"conjugate gradients did not converge: relative residual "
                    f"{st.rel_residual:.2e} after {st.iterations} iterations "
                    f"(asked {rtol:.1e})")
            raise LinearSolveError(f"conjugate gradients failed ({what}): the matrix or "
                                   "its preconditioner is not positive definite, or "
                                   "values are not finite")
        out = x.getArray().copy()
        bv.destroy()
        x.destroy()
        return out


def _clear_hypre_errors() -> None:
    """Reset hypre's error flag, which otherwise stays set after a failure and makes
    every later hypre call fail, down to PETSc's clean-up at exit. Best effort: hypre
    is found among the loaded libraries."""
    import ctypes

    try:
        with open("/proc/self/maps") as f:
            path = next(ln.split()[-1] for ln in f if "libHYPRE" in ln)
        ctypes.CDLL(path).HYPRE_ClearAllErrors()
    except (OSError, StopIteration, AttributeError):
        pass
