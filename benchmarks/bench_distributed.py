"""The petsc backend (MPI, PETSc, hypre) against the one-machine iterative path.

Whole nonlinear solves on the problems of bench_solvers.py (steel cube, M270-35A, in an
air box, uniform 1 T; meshes.box) and on a steel ball in an air ball (one octant,
mirror planes with their natural conditions; meshes.ball). Every case runs in its own
process: the serial one with the machine's cores available to it, the distributed one
under ``mpiexec -n P`` with one thread per process. Printed per case: unknowns, Newton
steps, Krylov iterations per step and (column 1e-8) to a relative residual of 1e-8 on
the final Jacobian for a right-hand side in its range, seconds per phase (mesh:
building it on the root; dist: partition and sending out; asm: kernels and PETSc
insertion; setup: AMG/AMS; solve: CG), the total, peak memory of the largest process
and the mean B in the steel.
Below the table: agreement with the serial path, the speed-up from 1 to P processes and
the time against the serial path, and the per-process figures that the extrapolation in
the README uses. Shared machines make times noisy: the cases of one size run
interleaved (serial, P=1, P=2, ...), ``--repeat`` runs the whole set again, and the
speed-up that plain arithmetic split over P processes gets, measured before and after
the cases, tells what the machine offered meanwhile.

    python benchmarks/bench_distributed.py               # ~1e5 unknowns, 1-3 processes
    python benchmarks/bench_distributed.py --scaling     # ~1e6 vector-potential unknowns,
                                                         # serial, 1 and 2 processes
    python benchmarks/bench_distributed.py --iterations  # AMS iterations, 1e5 .. 1e6
    python benchmarks/bench_distributed.py --insert      # ways into the PETSc matrix
    python benchmarks/bench_distributed.py --hx          # hypre AMS against the hx
                                                         # cycle, 1 and 2 processes
    python benchmarks/bench_distributed.py --refined --procs 2 --repeat 2
                                 # set-up: refined in parallel against built whole
    python benchmarks/bench_distributed.py --refined-scaling --procs 2 --sizes 13
                                 # whole solve on the refined mesh, 1 and 2 processes
"""

import argparse
import json
import os
import pathlib
import shutil
import subprocess
import sys
import time

import numpy as np

HERE = pathlib.Path(__file__).resolve().parent
HALF_BOX, HALF_CUBE, B0 = 0.2, 0.05, 1.0


# -- one case, in its own process ---------------------------------------------------------
def peak_bytes() -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    return 0


def build(geometry, n, formulation):
    from fluxkern_tools import materials, meshes, solvers

    steel, air = materials.steel("M270-35A"), materials.vacuum()
    if geometry == "cube":
        mesh = meshes.box((-HALF_BOX,) * 3, (HALF_BOX,) * 3, (n, n, n),
                          regions=[(1, lambda c: np.all(np.abs(c) < HALF_CUBE, axis=1))])
        mats, steel_region = {0: air, 1: steel}, 1
        vdir = sdir = None
    else:                                   # steel ball r = 1 m in an air ball of 3 m
        mesh = meshes.ball(3.0, n, [1.0], octant=True)
        mats, steel_region = {0: steel, 1: air}, 0
        vdir = lambda c: c[:, 2] > 1e-9
        sdir = lambda c: (c[:, 0] > 1e-9) & (c[:, 1] > 1e-9)
    if formulation == "vector":
        pb = solvers.ReducedVectorPotential(mesh, mats, [0.0, 0.0, B0], dirichlet=vdir)
    else:
        pb = solvers.ScalarPotential(mesh, mats, [0.0, 0.0, B0 / materials.MU0],
                                     dirichlet=sdir, degree=int(formulation[-1]))
    return mesh, pb, steel_region


def mean_B(sol, mesh, region):
    idx = np.flatnonzero(mesh.regions == region)
    _, B = sol.B(None, idx)
    vol = mesh.volumes()[idx]
    return ((B * vol[:, None]).sum(axis=0) / vol.sum()).tolist()


def run_case(geometry, n, formulation, backend, preconditioner=None):
    """One solve; returns the row (on the root process; None elsewhere)."""
    if backend == "serial":
        t0 = time.perf_counter()
        mesh, pb, region = build(geometry, n, formulation)
        t_mesh = time.perf_counter() - t0
        sol = pb.solve(linear_solver="iterative")
        rep = sol.report
        row = {"procs": 1, "dist": 0.0, "peaks": [peak_bytes()], "nnz": [], "mat_bytes": []}
        # CG iterations to 1e-8 on the final Jacobian, for a right-hand side in its range.
        if formulation == "vector":
            lin, free = pb.linear_backend("iterative")
            J = pb._sum.system(sol.x, 1.0, free)[0]
        else:
            lin, free = pb.linear_backend("iterative"), pb.free
            J = pb._sum.system(sol.phi, 1.0, free)[0]
        lin.setup(J)
        lin.solve(J @ np.random.default_rng(0).standard_normal(len(free)), 1e-8)
        row["fixed_its"] = lin.stats.iterations
    else:
        from mpi4py import MPI

        from fluxkern_tools.solvers import distributed

        comm = MPI.COMM_WORLD
        comm.barrier()
        t0 = time.perf_counter()
        mesh = pb = None
        if comm.rank == 0:
            mesh, pb, region = build(geometry, n, formulation)
        distributed.comm.idle_barrier(comm)
        t_mesh = comm.bcast(time.perf_counter() - t0)
        dp = distributed.distribute(pb, preconditioner=preconditioner)
        sol = dp.solve()
        A = dp.system.A
        # As above: CG to 1e-8 on the final Jacobian (A holds the last assembly).
        y = A.createVecRight()
        y.setArray(np.random.default_rng(comm.rank).standard_normal(y.getLocalSize()))
        b = A.createVecLeft()
        A.mult(y, b)
        dp.solver.setup(A)
        dp.solver.solve(b.getArray(), 1e-8)
        fixed_its = dp.solver.stats.iterations
        info = A.getInfo(A.InfoType.LOCAL)
        # AIJ storage: a value and a column index per entry, a row pointer per row.
        local = {"peak": peak_bytes(), "nnz": int(info["nz_used"]),
                 "cpu": time.process_time(),
                 "mat": int(12 * info["nz_used"] + 4 * dp.system.n_owned),
                 "owned": dp.system.n_owned,
                 "ghosts": dp.system.n_ghosted - dp.system.n_owned,
                 "elements": len(dp.piece["regions"])}
        rows = comm.gather(local)
        if comm.rank != 0:
            return None
        rep = sol.report
        row = {"procs": comm.size, "dist": dp.setup_times["distribute"],
               "peaks": [r["peak"] for r in rows], "nnz": [r["nnz"] for r in rows],
               "mat_bytes": [r["mat"] for r in rows], "owned": [r["owned"] for r in rows],
               "ghosts": [r["ghosts"] for r in rows],
               "elements": [r["elements"] for r in rows], "fixed_its": fixed_its,
               "cpu": [r["cpu"] for r in rows], "pc": preconditioner or "hypre-ams",
               "setup_steps": [s.times.get("setup", 0.0) for s in sol.report.steps]}
    times = rep.times()
    row.update(geometry=geometry, n=n, formulation=formulation, backend=backend,
               tets=mesh.num_el, unknowns=rep.unknowns, newton=rep.iterations,
               converged=rep.converged, krylov=rep.linear_iterations.tolist(),
               mesh=t_mesh, **times, meanB=mean_B(sol, mesh, region))
    row["solve_total"] = row["dist"] + sum(times.values())
    row["total"] = row["mesh"] + row["solve_total"]
    return row


def refined_case(n, levels, path, solve=False):
    """Set-up only, under mpiexec: the fine cube of ``n * 2**levels`` cells a side built
    whole on the root and shared out (``path="whole"``), or its coarse cube of ``n`` a
    side refined ``levels`` times in parallel (``"plex"``); then one assembly. Returns
    per-phase seconds and every process's peak memory after the set-up and after the
    assembly (on the root; None elsewhere)."""
    from mpi4py import MPI

    from fluxkern_tools import materials, meshes, solvers
    from fluxkern_tools.solvers import distributed

    comm = MPI.COMM_WORLD
    mats = {0: materials.vacuum(), 1: materials.steel("M270-35A")}
    inner = [(1, lambda c: np.all(np.abs(c) < HALF_CUBE, axis=1))]
    comm.barrier()
    t0 = time.perf_counter()
    m = n * 2 ** levels if path == "whole" else n
    mesh = pb = None
    if comm.rank == 0:
        mesh = meshes.box((-HALF_BOX,) * 3, (HALF_BOX,) * 3, (m,) * 3, regions=inner)
        if path == "whole":
            pb = solvers.ReducedVectorPotential(mesh, mats, [0.0, 0.0, B0])
    distributed.comm.idle_barrier(comm)
    t_mesh = comm.bcast(time.perf_counter() - t0)
    t0 = time.perf_counter()
    if path == "whole":
        dp = distributed.distribute(pb)
    else:
        dp = distributed.refined(mesh, levels, mats, [0.0, 0.0, B0])
    t_setup = time.perf_counter() - t0
    setup_peak = peak_bytes()
    del mesh, pb
    comm.barrier()
    t0 = time.perf_counter()
    dp.system.system(np.zeros(dp.system.n_owned), 1.0)
    t_asm = time.perf_counter() - t0
    t_solve, newton = 0.0, 0
    if solve:
        t0 = time.perf_counter()
        out = dp.solve() if path == "plex" else (None, dp.solve(gather="root"))
        t_solve = time.perf_counter() - t0
        rep = out[1] if path == "plex" else (out[1].report if out[1] is not None else None)
        newton = rep.iterations if rep is not None else 0
    peaks = comm.gather((setup_peak, peak_bytes(), len(dp.piece["regions"])))
    if comm.rank != 0:
        return None
    return {"path": path, "procs": comm.size, "unknowns": dp.size, "mesh": t_mesh,
            "setup": t_setup, "phases": dp.setup_times, "asm": t_asm, "solve": t_solve,
            "newton": newton,
            "setup_peaks": [p[0] for p in peaks], "peaks": [p[1] for p in peaks],
            "elements": [p[2] for p in peaks]}


def refined_compare(sizes, levels, procs, repeat):
    """The two set-up paths interleaved and repeated (min of the repeats)."""
    best = {}
    for _ in range(repeat):
        for n in sizes:
            for path in ("whole", "plex"):
                out = subprocess.run(
                    ["mpiexec", "--oversubscribe", "-n", str(procs), sys.executable,
                     __file__, "--refined-case", json.dumps([n, levels, path])],
                    capture_output=True, text=True, env=mpi_env())
                if out.returncode:
                    print(out.stderr[-3000:], file=sys.stderr)
                    continue
                r = json.loads(out.stdout.strip().splitlines()[-1])
                k = (n, path)
                if k not in best or r["mesh"] + r["setup"] < best[k]["mesh"] + best[k]["setup"]:
                    best[k] = r
    mb = 2.0 ** -20
    print(f"{'coarse':>6} {'path':<6}{'unknowns':>9}{'mesh':>7}{'set-up':>8}"
          f"{'(dist/refine/number)':>22}{'asm':>7}{'peak set-up [MB]':>24}"
          f"{'peak asm [MB]':>22}{'rank0/other':>12}")
    for n in sizes:
        for path in ("whole", "plex"):
            r = best.get((n, path))
            if r is None:
                continue
            ph = r["phases"]
            split = "/".join(f"{ph.get(k, 0.0):.2f}" for k in ("distribute", "refine",
                                                                 "number"))
            peaks = r["peaks"]
            ratio = peaks[0] / max(peaks[1:]) if len(peaks) > 1 else 1.0
            print(f"{n:>6} {path:<6}{r['unknowns']:>9}{r['mesh']:7.2f}{r['setup']:8.2f}"
                  f"{split:>22}{r['asm']:7.2f}"
                  f"{' '.join(f'{p * mb:.0f}' for p in r['setup_peaks']):>24}"
                  f"{' '.join(f'{p * mb:.0f}' for p in peaks):>22}{ratio:12.2f}")
        w, p = best.get((n, "whole")), best.get((n, "plex"))
        if w and p:
            print(f"       mesh + set-up, refined in parallel / built whole and shared "
                  f"out: {(p['mesh'] + p['setup']) / (w['mesh'] + w['setup']):.2f}x; "
                  f"root's peak {p['peaks'][0] / w['peaks'][0]:.2f}x")


def refined_scaling(n, levels, procs, repeat):
    """Whole solves on the mesh refined in parallel (distribution, refinement, numbering,
    Newton; the coarse mesh built on the root) on 1 and ``procs`` processes, interleaved
    and repeated (min), beside the speed-up plain arithmetic gets on the machine."""
    before = machine_speedup([procs])[procs]
    best = {}
    for _ in range(repeat):
        for p in (1, procs):
            out = subprocess.run(
                ["mpiexec", "--oversubscribe", "-n", str(p), sys.executable, __file__,
                 "--refined-case", json.dumps([n, levels, "plex", True])],
                capture_output=True, text=True, env=mpi_env())
            if out.returncode:
                print(out.stderr[-3000:], file=sys.stderr)
                continue
            r = json.loads(out.stdout.strip().splitlines()[-1])
            r["total"] = r["mesh"] + r["setup"] + r["solve"]
            if p not in best or r["total"] < best[p]["total"]:
                best[p] = r
    after = machine_speedup([procs])[procs]
    mb = 2.0 ** -20
    print(f"{'P':>2}{'unknowns':>10}{'mesh':>7}{'set-up':>8}{'(dist/refine/number)':>22}"
          f"{'Newton':>7}{'solve':>8}{'total':>8}{'peak per process [MB]':>24}")
    for p, r in sorted(best.items()):
        ph = r["phases"]
        split = "/".join(f"{ph.get(k, 0.0):.2f}" for k in ("distribute", "refine", "number"))
        print(f"{p:>2}{r['unknowns']:>10}{r['mesh']:7.2f}{r['setup']:8.2f}{split:>22}"
              f"{r['newton']:>7}{r['solve']:8.2f}{r['total']:8.2f}"
              f"{' '.join(f'{q * mb:.0f}' for q in r['peaks']):>24}")
    if 1 in best and procs in best:
        print(f"speed-up 1 -> {procs} processes, whole solve: "
              f"{best[1]['total'] / best[procs]['total']:.2f}x (set-up "
              f"{best[1]['setup'] / best[procs]['setup']:.2f}x, Newton "
              f"{best[1]['solve'] / best[procs]['solve']:.2f}x); plain arithmetic on this "
              f"machine {before:.2f}x before, {after:.2f}x after")


# -- the driver ---------------------------------------------------------------------------
def mpi_env():
    env = dict(os.environ, OMP_NUM_THREADS="1", OMPI_MCA_mpi_yield_when_idle="1",
               PYTHONPATH=os.pathsep.join([str(HERE.parent),
                                           os.environ.get("PYTHONPATH", "")]))
    if os.geteuid() == 0:
        env.update(OMPI_ALLOW_RUN_AS_ROOT="1", OMPI_ALLOW_RUN_AS_ROOT_CONFIRM="1")
    return env


def child(case, procs):
    args = [sys.executable, __file__, "--case", json.dumps(case)]
    env = mpi_env()
    if case[3] == "serial":
        env.pop("OMP_NUM_THREADS")           # the one-machine path uses every core
        cmd = args
    else:
        cmd = ["mpiexec", "--oversubscribe", "-n", str(procs)] + args
    out = subprocess.run(cmd, capture_output=True, text=True, env=env)
    if out.returncode != 0:
        print(out.stderr[-3000:], file=sys.stderr)
        return None
    return json.loads(out.stdout.strip().splitlines()[-1])


def print_header():
    print(f"{'case':<16}{'n':>4} {'backend':<9}{'P':>2}{'unknowns':>9} {'Newton':>6} "
          f"{'Krylov/step':<24}{'1e-8':>5}{'mesh':>6}{'dist':>6}{'asm':>7}{'setup':>7}"
          f"{'solve':>7}{'total':>8}{'peak GB':>8}  {'mean B_z steel':>14}", flush=True)


def print_row(r):
    its = ",".join(map(str, r["krylov"]))
    flag = "" if r["converged"] else "  NOT CONVERGED"
    print(f"{r['geometry'] + ' ' + r['formulation']:<16}{r['n']:>4} {r['backend']:<9}"
          f"{r['procs']:>2}{r['unknowns']:>9} {r['newton']:>6} {its:<24}{r['fixed_its']:>5}"
          f"{r['mesh']:6.1f}"
          f"{r['dist']:6.1f}{r['assembly']:7.1f}{r['setup']:7.1f}{r['solve']:7.1f}"
          f"{r['total']:8.1f}{max(r['peaks']) / 1e9:8.2f}  {r['meanB'][2]:14.10f}{flag}",
          flush=True)


def compare(rows):
    """Agreement and speed against the serial row of the same case."""
    keys = sorted({(r["geometry"], r["formulation"], r["n"]) for r in rows})
    for k in keys:
        sel = [r for r in rows if (r["geometry"], r["formulation"], r["n"]) == k]
        ser = [r for r in sel if r["backend"] == "serial"]
        one = [r for r in sel if r["backend"] == "petsc" and r["procs"] == 1]
        for r in sel:
            if r["backend"] != "petsc":
                continue
            parts = [f"{k[0]} {k[1]} n={k[2]} P={r['procs']}:"]
            if ser:
                s = min(ser, key=lambda x: x["solve_total"])
                d = (np.linalg.norm(np.subtract(r["meanB"], s["meanB"]))
                     / np.linalg.norm(s["meanB"]))
                parts.append(f"mean B vs serial {d:.1e}, Newton {r['newton']} vs "
                             f"{s['newton']}; time / serial {r['total'] / s['total']:.2f} "
                             f"(solve only {r['solve_total'] / s['solve_total']:.2f})")
            if one and r["procs"] > 1:
                o = min(one, key=lambda x: x["solve_total"])
                parts.append(f"speed-up from 1 process {o['total'] / r['total']:.2f}x "
                             f"(solve only {o['solve_total'] / r['solve_total']:.2f}x)")
            print(" ".join(parts))


def per_process(rows):
    """Bytes and seconds per owned unknown on each process: the base of the
    extrapolation to more unknowns and processes."""
    for r in rows:
        if r["backend"] != "petsc":
            continue
        owned = np.array(r["owned"], float)
        its = max(1, sum(r["krylov"]))
        step = (r["assembly"] + r["setup"]) / max(1, r["newton"])
        peaks = np.array(r["peaks"], float)
        rest = (f", others {max(peaks[1:] / owned[1:]):.0f}" if len(peaks) > 1 else "")
        print(f"{r['geometry']} {r['formulation']} n={r['n']} P={r['procs']}: "
              f"owned {owned.min():.0f}-{owned.max():.0f}, ghosts/owned "
              f"{max(np.array(r['ghosts']) / owned):.3f}; peak B/owned unknown: root "
              f"{peaks[0] / owned[0]:.0f}{rest}; "
              f"matrix {max(np.array(r['mat_bytes']) / owned):.0f} B/unknown "
              f"({max(np.array(r['nnz']) / owned):.1f} nnz/row); per Newton step "
              f"{1e6 * step / owned.max():.2f} us/unknown asm+setup, CG "
              f"{1e6 * r['solve'] / its / owned.max():.3f} us/unknown/iteration")


def run(cases, repeat):
    print_header()
    rows = []
    for _ in range(repeat):
        for case, procs in cases:
            r = child(case, procs)
            if r is not None:
                rows.append(r)
                print_row(r)
    print()
    compare(rows)
    print()
    per_process(rows)
    return rows


def calibrate():
    """Child of the calibration (under mpiexec): a fixed amount of cache-resident
    arithmetic split over the processes. Its speed-up from 1 to P processes is what the
    machine offers at that moment; other work on a shared machine lowers it."""
    from mpi4py import MPI

    comm = MPI.COMM_WORLD
    y = np.linspace(0.0, 1.0, 4000)
    comm.Barrier()
    t0 = time.perf_counter()
    for _ in range(60_000 // comm.size):
        y = np.sin(y) * 1.0001
    comm.Barrier()
    return {"procs": comm.size, "seconds": time.perf_counter() - t0}


def machine_speedup(procs):
    """Speed-up of the calibration loop from 1 to each P in ``procs``."""
    out = {}
    for p in [1] + list(procs):
        run = subprocess.run(["mpiexec", "--oversubscribe", "-n", str(p), sys.executable,
                              __file__, "--calibrate"], capture_output=True, text=True,
                             env=mpi_env())
        out[p] = json.loads(run.stdout.strip().splitlines()[-1])["seconds"]
    return {p: out[1] / out[p] for p in procs}


def insert_variants(n, repeats):
    """Child of --insert (under mpiexec): the whole cube's curl-curl matrix into the
    PETSc matrix, (a) every local row through MatSetValuesLocal, other processes' rows
    in PETSc's stash, and (b) those rows first sent to their owners with mpi4py and
    added there, each process then inserting only its own rows."""
    from mpi4py import MPI
    import scipy.sparse as sp

    from fluxkern_tools import materials, meshes, solvers
    from fluxkern_tools.solvers import distributed
    from fluxkern_tools.solvers.distributed.comm import petsc

    PETSc = petsc()
    comm = MPI.COMM_WORLD
    pb = None
    if comm.rank == 0:
        mesh = meshes.box((-HALF_BOX,) * 3, (HALF_BOX,) * 3, (n, n, n))
        pb = solvers.ReducedVectorPotential(mesh, {0: materials.steel("M270-35A")},
                                            [0.0, 0.0, B0])
    dp = distributed.distribute(pb)
    sy = dp.system
    A, _, _, _ = sy.system(np.zeros(sy.n_owned), 1.0)
    K, dK, _ = dp._region(0, sy.local_iterate(np.zeros(sy.n_owned)), 1.0)
    M = sp.csr_array(K + dK)
    lg, no = sy.lg, sy.n_owned
    # Variant (b): the rows of ghosts go to their owners as (global row, col, value).
    coo = M.tocoo()
    rg, cg = lg[coo.row], lg[coo.col]
    keep = (rg >= 0) & (cg >= 0)
    mine = keep & (coo.row < no)
    away = keep & (coo.row >= no)
    dest = np.searchsorted(sy.ranges, rg[away], side="right") - 1
    order = np.argsort(dest, kind="stable")
    counts = np.bincount(dest, minlength=comm.size)
    sends = [rg[away][order], cg[away][order], coo.data[away][order]]

    def stash():
        A.zeroEntries()
        A.setValuesLocalCSR(M.indptr, M.indices, M.data, addv=PETSc.InsertMode.ADD)
        A.assemble()

    def exchange():
        A.zeroEntries()
        rc = np.array(comm.alltoall(counts.tolist()))
        recv = []
        for arr, t in zip(sends, (MPI.INT64_T, MPI.INT64_T, MPI.DOUBLE)):
            buf = np.empty(rc.sum(), dtype=arr.dtype)
            comm.Alltoallv([arr, (counts, None), t], [buf, (rc, None), t])
            recv.append(buf)
        rows = np.concatenate([coo.row[mine] + sy.rstart, recv[0]]) - sy.rstart
        cols = np.concatenate([cg[mine], recv[1]])
        S = sp.csr_array((np.concatenate([coo.data[mine], recv[2]]), (rows, cols)),
                         shape=(no, sy.size))
        A.setValuesCSR(S.indptr.astype(PETSc.IntType), S.indices.astype(PETSc.IntType),
                       S.data, addv=PETSc.InsertMode.ADD)
        A.assemble()

    best = {"stash": np.inf, "exchange": np.inf}
    for _ in range(repeats):
        for name, fn in (("stash", stash), ("exchange", exchange)):
            comm.barrier()
            t0 = time.perf_counter()
            fn()
            comm.barrier()
            best[name] = min(best[name], time.perf_counter() - t0)
    return {"procs": comm.size, "n": n, "rows": sy.size, "nnz": M.nnz, **best}


def hx_cases(sizes, procs, repeat):
    """Rows of the two edge preconditioners, interleaved per size and process count."""
    rows = []
    print(f"{'pc':<10}{'P':>2}{'unknowns':>9}{'Newton':>7} {'Krylov/step':<26}{'1e-8':>5}"
          f"{'asm':>7}{'setup':>7}{'solve':>7}{'total':>8}{'cpu max':>8}  mean B_z steel",
          flush=True)
    for _ in range(repeat):
        for n in sizes:
            for p in procs:
                for pc in ("hypre-ams", "hx"):
                    r = child(("cube", n, "vector", "petsc", pc), p)
                    if r is None:
                        continue
                    rows.append(r)
                    its = ",".join(map(str, r["krylov"]))
                    print(f"{pc:<10}{p:>2}{r['unknowns']:>9}{r['newton']:>7} {its:<26}"
                          f"{r['fixed_its']:>5}{r['assembly']:7.2f}{r['setup']:7.2f}"
                          f"{r['solve']:7.2f}{r['solve_total']:8.2f}{max(r['cpu']):8.1f}"
                          f"  {r['meanB'][2]:.10f}", flush=True)
    return rows


def print_hx(rows):
    """Best of the repeats: hx against AMS, and each from 1 to 2 processes."""
    best = {}
    for r in rows:
        key = (r["unknowns"], r["procs"], r["pc"])
        if key not in best or r["solve_total"] < best[key]["solve_total"]:
            best[key] = r
    print()
    for (u, p, pc), r in sorted(best.items()):
        if pc != "hx" or (u, p, "hypre-ams") not in best:
            continue
        a = best[(u, p, "hypre-ams")]
        d = abs(r["meanB"][2] - a["meanB"][2]) / abs(a["meanB"][2])
        line = (f"{u} unknowns P={p}: hx / AMS set-up {r['setup'] / a['setup']:.2f}, "
                f"CG {r['solve'] / a['solve']:.2f}, Krylov its {sum(r['krylov'])} vs "
                f"{sum(a['krylov'])}, solve total {r['solve_total'] / a['solve_total']:.2f}"
                f"; mean B_z differs by {d:.1e}")
        if p == 2 and (u, 1, pc) in best:
            line += "; 1 -> 2 processes set-up " + ", ".join(
                f"{name} {best[(u, 1, q)]['setup'] / best[(u, 2, q)]['setup']:.2f}x"
                for q, name in (("hypre-ams", "AMS"), ("hx", "hx")))
            line += ", solve total " + ", ".join(
                f"{name} {best[(u, 1, q)]['solve_total'] / best[(u, 2, q)]['solve_total']:.2f}x"
                for q, name in (("hypre-ams", "AMS"), ("hx", "hx")))
        print(line)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--scaling", action="store_true",
                    help="~1e6 vector-potential unknowns: serial, 1 and 2 processes")
    ap.add_argument("--iterations", action="store_true",
                    help="AMS iterations from ~1e5 to ~1e6 unknowns and 1-3 processes")
    ap.add_argument("--hx", action="store_true",
                    help="hypre AMS against the hx cycle (steel cube, ~1.2e5 and "
                         "~5e5 unknowns; --sizes), 1 and 2 processes")
    ap.add_argument("--insert", action="store_true",
                    help="stash against own exchange of other processes' rows")
    ap.add_argument("--refined", action="store_true",
                    help="set-up of a mesh refined in parallel against one built whole "
                         "(2 processes, ~1e5 and ~1e6 unknowns)")
    ap.add_argument("--refined-scaling", action="store_true",
                    help="whole solve on the mesh refined in parallel, 1 against 2 "
                         "processes (coarse size --sizes, --levels refinements)")
    ap.add_argument("--levels", type=int, default=2, help="refinements for --refined")
    ap.add_argument("--sizes", default=None,
                    help="cube sizes: divisions for --hx (26,42), coarse sizes for "
                         "--refined (7,13)")
    ap.add_argument("--repeat", type=int, default=1, help="run the set this many times")
    ap.add_argument("--procs", default="1,2,3", help="process counts (default 1,2,3)")
    ap.add_argument("--case", help=argparse.SUPPRESS)
    ap.add_argument("--insert-case", help=argparse.SUPPRESS)
    ap.add_argument("--refined-case", help=argparse.SUPPRESS)
    ap.add_argument("--calibrate", action="store_true", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.calibrate:
        row = calibrate()
        if os.environ.get("OMPI_COMM_WORLD_RANK", "0") == "0":
            print(json.dumps(row), flush=True)
        return
    if args.case:
        row = run_case(*json.loads(args.case))
        if row is not None:
            print(json.dumps(row), flush=True)
        return
    if args.refined_case:
        row = refined_case(*json.loads(args.refined_case))
        if row is not None:
            print(json.dumps(row), flush=True)
        return
    if args.insert_case:
        row = insert_variants(*json.loads(args.insert_case))
        if os.environ.get("OMPI_COMM_WORLD_RANK", "0") == "0":
            print(json.dumps(row), flush=True)
        return
    from fluxkern_tools.solvers import distributed

    if not (distributed.available() and shutil.which("mpiexec")):
        print("skipped: no MPI stack (make mpi-env)")
        return
    procs = [int(p) for p in args.procs.split(",")]
    print(f"{os.cpu_count()} cores; load average {os.getloadavg()[0]:.1f} at start; "
          f"times in s")
    if args.refined_scaling:
        refined_scaling(int((args.sizes or "13").split(",")[0]), args.levels,
                        max(procs[-1], 2), args.repeat)
        return
    if args.refined:
        refined_compare([int(n) for n in (args.sizes or "7,13").split(",")], args.levels,
                        max(procs[-1], 2), args.repeat)
        return
    if args.insert:
        print(f"{'P':>2}{'n':>4}{'rows':>9}{'nnz/proc':>10}{'stash [s]':>10}"
              f"{'exchange [s]':>13}")
        for n in (32, 44):
            for p in [q for q in procs if q > 1] or [2]:
                out = subprocess.run(["mpiexec", "--oversubscribe", "-n", str(p),
                                      sys.executable, __file__, "--insert-case",
                                      json.dumps([n, 5])], capture_output=True, text=True,
                                     env=mpi_env())
                if out.returncode:
                    print(out.stderr[-2000:], file=sys.stderr)
                    continue
                r = json.loads(out.stdout.strip().splitlines()[-1])
                print(f"{r['procs']:>2}{r['n']:>4}{r['rows']:>9}{r['nnz']:>10}"
                      f"{r['stash']:10.3f}{r['exchange']:13.3f}", flush=True)
        return
    cases = []

    def add(geometry, n, form, counts):
        cases.append(((geometry, n, form, "serial"), 1))
        cases.extend(((geometry, n, form, "petsc"), p) for p in counts)

    if args.hx:
        print_hx(hx_cases([int(n) for n in (args.sizes or "26,42").split(",")],
                          [p for p in procs if p <= 2], args.repeat))
        return
    if args.scaling:
        add("cube", 53, "vector", [p for p in procs if p <= 2])
    elif args.iterations:
        for n in (26, 42, 53):
            cases.extend(((("cube", n, "vector", "petsc"), p)) for p in procs)
    else:
        add("cube", 26, "vector", procs)
        add("cube", 48, "scalar1", procs)
        add("sphere", 20, "vector", procs)
        add("sphere", 20, "scalar2", procs)
    many = [p for p in procs if p > 1]
    if many:
        before = machine_speedup(many)
    rows = run(cases, args.repeat)
    if many:
        after = machine_speedup(many)
        print("\nwhat the machine offered (speed-up of plain arithmetic split over P "
              "processes, before / after the cases): " + ", ".join(
                  f"P={p}: {before[p]:.2f}x / {after[p]:.2f}x" for p in many))
    if args.iterations:
        for p in procs:
            sel = [r for r in rows if r["procs"] == p]
            if len(sel) >= 2:
                its = [np.mean(r["krylov"]) for r in sel]
                fix = [r["fixed_its"] for r in sel]
                print(f"P={p}: Krylov iterations per Newton step {its[0]:.1f} at "
                      f"{sel[0]['unknowns']} -> {its[-1]:.1f} at {sel[-1]['unknowns']} "
                      f"unknowns ({its[-1] / its[0]:.2f}x); to 1e-8 on the final "
                      f"Jacobian {fix[0]} -> {fix[-1]} ({fix[-1] / fix[0]:.2f}x)")


if __name__ == "__main__":
    main()
