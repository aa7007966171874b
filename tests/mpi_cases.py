"""Checks of the distributed backend, run under ``mpiexec -n P`` by test_distributed.py.

    mpiexec -n P python tests/mpi_cases.py agree|preconditioners|errors|crash|refined

The root prints one line ``RESULT {json}`` with what the test asserts on. ``crash``
raises on the last rank while the others wait in a collective call: the job must end
(MPI_Abort), not hang.
"""

import faulthandler
import json
import os
import sys

import numpy as np
import scipy.sparse as sp
from mpi4py import MPI

from fluxkern_tools import materials, meshes, solvers
from fluxkern_tools.materials import MU0
from fluxkern_tools.solvers import distributed
from fluxkern_tools.fem import kernels

COMM = MPI.COMM_WORLD
ROOT = COMM.rank == 0
STEEL = materials.steel("M270-35A")
AIR = materials.vacuum()


def cube(n=6):
    return meshes.box((-0.2,) * 3, (0.2,) * 3, (n,) * 3,
                      regions=[(1, lambda c: np.all(np.abs(c) < 0.07, axis=1))])


def sphere_octant(n=4):
    # Steel ball (radius 1 m) in an air ball (3 m), one octant: the mirror planes keep
    # their natural condition, so only part of the boundary is fixed.
    return meshes.ball(3.0, n, [1.0], octant=True)


def problems():
    """(name, problem) pairs built identically on every process."""
    H0 = 1.5 / MU0
    c, s = cube(), sphere_octant()
    mats_c = {0: AIR, 1: STEEL}
    mats_s = {0: STEEL, 1: AIR}
    return [
        ("cube vector", solvers.ReducedVectorPotential(c, mats_c, [0, 0, 1.5])),
        ("cube vector linear", solvers.ReducedVectorPotential(
            c, {0: AIR, 1: materials.linear(1000.0)}, [0, 0, 1.5])),
        ("cube scalar P2", solvers.ScalarPotential(c, mats_c, [0, 0, H0], degree=2)),
        ("sphere vector", solvers.ReducedVectorPotential(
            s, mats_s, [0, 0, 1.5], dirichlet=lambda f: f[:, 2] > 1e-9)),
        ("sphere scalar P1", solvers.ScalarPotential(
            s, mats_s, [0, 0, H0],
            dirichlet=lambda f: (f[:, 0] > 1e-9) & (f[:, 1] > 1e-9))),
    ]


def gathered(A):
    """The distributed PETSc matrix as one scipy csr array on the root (None elsewhere)."""
    indptr, indices, data = A.getValuesCSR()
    rows = COMM.gather((indptr, indices, data), root=0)
    if not ROOT:
        return None
    n = A.getSize()[0]
    ptr = [np.asarray(r[0], dtype=np.int64) for r in rows]
    offs = np.cumsum([0] + [p[-1] for p in ptr[:-1]])
    indptr = np.concatenate([[0]] + [p[1:] + o for p, o in zip(ptr, offs)])
    return sp.csr_array((np.concatenate([r[2] for r in rows]),
                         np.concatenate([r[1] for r in rows]), indptr), shape=(n, n))


def owned_to_root(v):
    parts = COMM.gather(np.asarray(v), root=0)
    return np.concatenate(parts) if ROOT else None


def matrices_against_serial(pb, dp):
    """Largest relative differences of the distributed J, K x and rhs from the serial
    ones at a random iterate, and whether the patterns are equal."""
    rng = np.random.default_rng(3)
    x = rng.standard_normal(pb.num_dofs) * (1e-4 if hasattr(pb, "unfixed") else 30.0)
    root = dp.rank == dp.root
    members = dp._members if root else None
    starts = dp._starts if root else None
    x_owned = dp._scatter_owned(x, members, starts, None)
    A, kx, rhs, _ = dp.system.system(x_owned, 1.0)
    J = gathered(A)
    kx, rhs = owned_to_root(kx), owned_to_root(rhs)
    if not root:
        return None
    if hasattr(pb, "unfixed"):
        x[pb.fixed_edges] = 0.0
        K, dK, rhs_s = pb.matrices(x)
    else:
        g = np.asarray(pb.potential(pb.nodes))
        x[pb.fixed] = g[pb.fixed]
        K, dK = pb.matrices(x)
        rhs_s = np.zeros(pb.num_dofs)
    Js = sp.csr_array(K + dK)[members][:, members]
    kxs = (K @ x)[members]
    for M in (J, Js):
        M.eliminate_zeros()
        M.sort_indices()
    rel = lambda a, b: float(np.abs(a - b).max() / max(np.abs(b).max(), 1e-300))
    pattern = (np.array_equal(J.indptr, Js.indptr)
               and np.array_equal(J.indices, Js.indices))
    return {"J": rel(J.toarray(), Js.toarray()), "pattern": pattern,
            "Kx": rel(kx, kxs), "rhs": rel(rhs, rhs_s[members]) if np.any(rhs_s) else 0.0,
            "size": J.shape[0], "free": int(len(getattr(pb, "unfixed", pb.free)))}


def mean_B(sol, region):
    m = sol.problem.mesh
    idx = np.flatnonzero(m.regions == region)
    _, B = sol.B(None, idx)
    vol = m.volumes()[idx]
    return (B * vol[:, None]).sum(axis=0) / vol.sum()


def agree():
    # Many small kernel calls per region, so that the chunked sums (which drop the
    # couplings that are exactly zero) meet the Newton term's pattern.
    kernels.CHUNK = 97
    out = {}
    for name, pb in problems():
        dp = distributed.distribute(pb if ROOT else None)
        res = {"matrices": matrices_against_serial(pb, dp)}
        sol = dp.solve()
        steel = 1 if name.startswith("cube") else 0
        if ROOT:
            ref = pb.solve(linear_solver="iterative")
            Bd, Bs = mean_B(sol, steel), mean_B(ref, steel)
            res.update(converged=sol.report.converged, newton=sol.report.iterations,
                       newton_serial=ref.report.iterations,
                       krylov=sol.report.linear_iterations.tolist(),
                       meanB=float(np.linalg.norm(Bd - Bs) / np.linalg.norm(Bs)),
                       solver=sol.report.linear_solver)
        out[name] = res
    # Every process built the problem: the solution can come back everywhere.
    name, pb = problems()[0]
    sol = distributed.solve(pb, gather="all")
    x = COMM.gather(sol.x, root=0)
    if ROOT:
        out["gather all"] = all(np.array_equal(v, x[0]) for v in x)
    return out


def preconditioners():
    """The edge problems solved with hypre's AMS and with the hx cycle."""
    out = {}
    for name, pb in problems():
        if "vector" not in name:
            continue
        steel = 1 if name.startswith("cube") else 0
        sols = {pc: distributed.solve(pb if ROOT else None, preconditioner=pc)
                for pc in ("hypre-ams", "hx")}
        if ROOT:
            Ba, Bh = (mean_B(sols[pc], steel) for pc in ("hypre-ams", "hx"))
            out[name] = {"meanB": float(np.linalg.norm(Bh - Ba) / np.linalg.norm(Ba)),
                         "converged": sols["hx"].report.converged,
                         "krylov": sols["hx"].report.linear_iterations.tolist()}
    try:
        distributed.distribute(problems()[0][1], preconditioner="jacobi")
        out["unknown"] = "no error"
    except ValueError as exc:
        out["unknown"] = str(exc)
    return out


def errors():
    """Failures on one process raise on every process, as Python exceptions."""
    last = COMM.size - 1
    seen = {}

    def source(points):
        if COMM.rank == last:
            raise RuntimeError("source field failed here")
        return np.broadcast_to([0.0, 0.0, 1.0], points.shape).copy()

    pb = solvers.ReducedVectorPotential(cube(4), {0: AIR, 1: STEEL}, source)
    dp = distributed.distribute(pb)
    gauged = solvers.ReducedVectorPotential(cube(3), {0: AIR, 1: STEEL}, [0, 0, 1],
                                            gauge=True)
    second = solvers.ReducedVectorPotential(cube(3), {0: AIR, 1: STEEL}, [0, 0, 1],
                                            degree=2)
    uniform = solvers.ReducedVectorPotential(cube(4), {0: AIR, 1: STEEL}, [0, 0, 1])
    lin = distributed.distribute(uniform)
    A, _, rhs, _ = lin.system.system(np.zeros(lin.system.n_owned), 1.0)

    def unconverged():
        lin.solver.maxiter = 1
        lin.solver.setup(A)
        lin.solver.solve(rhs, 1e-12)

    def indefinite():
        # Shifted far below zero on part of the spectrum: not positive definite.
        lin.solver.maxiter = 500
        A.shift(-0.5 * A.getDiagonal().max()[1])
        lin.solver.setup(A)
        lin.solver.solve(rhs, 1e-8)

    def not_finite():
        bad = rhs.copy()
        if COMM.rank == last and len(bad):
            bad[0] = np.nan
        lin.solver.solve(bad, 1e-8)

    for what, call in (("source", lambda: dp.solve()),
                       ("x0", lambda: dp.solve(x0=np.zeros(3))),
                       ("gauge", lambda: distributed.distribute(gauged if ROOT else None)),
                       ("degree", lambda: distributed.distribute(second if ROOT else None)),
                       ("gather", lambda: distributed.solve(uniform if ROOT else None,
                                                            gather="all")),
                       ("unconverged", unconverged), ("indefinite", indefinite),
                       ("not finite", not_finite)):
        try:
            call()
            seen[what] = "no error"
        except Exception as exc:
            seen[what] = f"{type(exc).__name__}: {exc}"
    return COMM.gather(seen, root=0)


def refined():
    """The mesh refined in parallel against the same mesh refined on one process: each
    fine element once (same centroid and region), same mean B."""
    from fluxkern_tools.solvers.distributed import plex

    c = cube(3)
    c.surface_groups = {"caps": c.boundary_triangles(lambda f: np.abs(f[:, 2]) > 0.19)}
    cases = [("cube linear", c, {0: AIR, 1: materials.linear(1000.0)}, None, 1),
             ("cube caps", c, {0: AIR, 1: STEEL}, "caps", 1),
             ("sphere", sphere_octant(2), {0: STEEL, 1: AIR},
              lambda f: f[:, 2] > 1e-9, 0)]
    out = {}
    for name, m, mats, dirichlet, steel in cases:
        dp = distributed.refined(m if ROOT else None, 2, mats, [0, 0, 1.5],
                                 dirichlet=dirichlet)
        x, report = dp.solve(rtol=1e-11)
        B = dp.mean_B(x, steel)
        lm = dp.mesh
        cents = COMM.gather((lm.coords[lm.cells].mean(axis=1), lm.regions), root=0)
        if not ROOT:
            continue
        fine = plex.refined_mesh(m, 2)
        serial_dirichlet = ((lambda f: np.abs(f[:, 2]) > 0.19) if dirichlet == "caps"
                            else dirichlet)
        pb = solvers.ReducedVectorPotential(fine, mats, [0, 0, 1.5],
                                            dirichlet=serial_dirichlet)
        ref = pb.solve(rtol=1e-11, linear_solver="direct")
        Bs = mean_B(ref, steel)
        got = np.vstack([np.column_stack([cc, r]) for cc, r in cents])
        want = np.column_stack([fine.centroids(), fine.regions])
        key = lambda a: a[np.lexsort(np.round(a, 9).T[::-1])]
        out[name] = {"converged": report.converged, "size": dp.size,
                     "free": int(len(pb.unfixed)), "elements": len(got),
                     "fine": fine.num_el, "coarse": m.num_el,
                     "same": bool(len(got) == len(want)
                                  and np.allclose(key(got), key(want), atol=1e-12)),
                     "meanB": float(np.linalg.norm(B - Bs) / np.linalg.norm(Bs))}
    # The P1 scalar potential: the same values at the same free nodes.
    m, mats = sphere_octant(2), {0: STEEL, 1: AIR}
    corner = lambda f: (f[:, 0] > 1e-9) & (f[:, 1] > 1e-9)
    H0 = [0, 0, 1.5 / MU0]
    dp = distributed.refined(m if ROOT else None, 2, mats, H0, "scalar", dirichlet=corner)
    phi, report = dp.solve()
    got = COMM.gather((dp.owned_points(), phi), root=0)
    if ROOT:
        pb = solvers.ScalarPotential(plex.refined_mesh(m, 2), mats, H0, dirichlet=corner)
        ref = pb.solve(linear_solver="direct")
        order = lambda X: np.lexsort(np.round(X, 9).T[::-1])
        P = np.vstack([p for p, _ in got])
        a = np.concatenate([v for _, v in got])[order(P)]
        b = ref.phi[pb.free][order(pb.nodes[pb.free])]
        out["sphere scalar"] = {"converged": report.converged, "size": dp.size,
                                "free": len(pb.free),
                                "phi": float(np.abs(a - b).max() / np.abs(b).max())}
    try:
        distributed.refined(None, 1, {0: AIR}, [0, 0, 1])
        err = "no error"
    except Exception as exc:
        err = f"{type(exc).__name__}: {exc}"
    errs = COMM.gather(err, root=0)
    if ROOT:
        out["no mesh"] = errs
    return out


def crash():
    distributed.abort_on_error()
    if COMM.rank == COMM.size - 1:
        raise RuntimeError("deliberate failure on the last rank")
    COMM.barrier()                          # the others wait here for ever without abort
    return "not reached"


if __name__ == "__main__":
    # A hang shows where each process waits, and ends: a guard well above any case on a
    # busy machine, and below the tests' own limit (1200 s) so that the dump is seen.
    faulthandler.dump_traceback_later(int(os.environ.get("FLUXKERN_CASE_TIMEOUT", "900")),
                                      exit=True)
    result = {"agree": agree, "preconditioners": preconditioners, "errors": errors,
              "crash": crash, "refined": refined}[sys.argv[1]]()
    if ROOT:
        print("RESULT " + json.dumps(result), flush=True)
