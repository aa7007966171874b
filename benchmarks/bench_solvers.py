"""Whole nonlinear solves, direct against iterative linear solvers, under refinement.

The problem: a steel cube (M270-35A, 10 cm) in an air box (40 cm) in a uniform applied
field of 1 T, on meshes.box meshes, solved to the drivers' default tolerances by
  * the reduced vector potential (edge elements, A x n = 0 on the box), and
  * the total scalar potential (P1, phi = -H0 . x on the box).
Each case runs in a child process, so its peak memory (VmHWM) is its own. The table
gives tetrahedra, free unknowns (for the vector potential the gauged count, which the
direct path solves; the iterative path solves the ungauged system of the larger count
in brackets), Newton steps, Krylov iterations per step, seconds per phase, peak memory
and the mean B in the steel; below it, the fitted growth exponent of the total time and
the agreement of iterative and direct results where both ran.

    python benchmarks/bench_solvers.py            # sizes up to ~2e5 unknowns (minutes)
    python benchmarks/bench_solvers.py --full     # up to ~1e6 unknowns (tens of minutes)
    python benchmarks/bench_solvers.py --reuse    # rebuilding against reusing the
                                                  # multigrid set-up across Newton steps
    python benchmarks/bench_solvers.py --contrast # CG iterations against mu_r and size
    python benchmarks/bench_solvers.py --formulation vector --degree 2
                                                  # second-order edge elements
    python benchmarks/bench_solvers.py --peer --threads 1 2 --repeat 3
                                                  # ours against NGSolve, row by row
"""

import argparse
import json
import os
import subprocess
import sys
import time

import numpy as np

HALF_BOX, HALF_CUBE, B0 = 0.2, 0.05, 1.0

# Cells per axis: ~5e4, 1e5, 2e5 (default) and up to ~1e6 (--full) free unknowns.
SIZES = {"vector": {"small": [21, 26, 32], "full": [21, 26, 32, 40, 48, 56]},
         "scalar": {"small": [38, 48, 64], "full": [38, 48, 64, 80, 101]}}
# Second-order edge elements have about 4.3x the unknowns of the lowest order on the
# same mesh: ~2.5e4, 5e4, 1.2e5 (default) and up to ~5e5 (--full) free unknowns.
SIZES_DEGREE2 = {"small": [10, 13, 16], "full": [10, 13, 16, 20, 26]}
# Largest size at which the direct path is run (its time and memory grow like N^2).
DIRECT_UP_TO = {"vector": 32, "scalar": 48, "vector2": 13}


def cube_mesh(n):
    """The air box in n^3 cells; the steel is every cell whose centre lies in the cube,
    so its surface is made of element faces, as a mesher makes a material interface.
    (Classifying single tetrahedra instead leaves steel tetrahedra hanging on edges of
    the staircase; at mu_r >= 100 those alone raise the edge solver's iterations from
    ~18 to 40-80.)"""
    from fluxkern_tools import meshes

    mesh = meshes.box((-HALF_BOX,) * 3, (HALF_BOX,) * 3, (n, n, n))
    P = mesh.nodes[mesh.cells]
    centre = 0.5 * (P.min(axis=1) + P.max(axis=1))     # the Kuhn cell of each tetrahedron
    mesh.regions[:] = np.all(np.abs(centre) < HALF_CUBE, axis=1)
    return mesh


def cube_arrays(n):
    """The nodes, tetrahedra, regions and boundary faces of :func:`cube_mesh` as plain
    arrays: what a mesher hands over, and what both sides of the peer comparison build
    their mesh from (not timed; the mesh phase is the building)."""
    from types import SimpleNamespace

    mesh = cube_mesh(n)
    return SimpleNamespace(nodes=mesh.nodes, cells=mesh.cells, regions=mesh.regions.copy(),
                           boundary_faces=mesh.boundary_faces)


def timed_mesh(n):
    """``(mesh, seconds)``: our mesh of the cube case built from :func:`cube_arrays`
    (orientation, edges, faces, boundary and fold checks)."""
    from fluxkern_tools import meshes

    a = cube_arrays(n)
    t0 = time.perf_counter()
    mesh = meshes.Mesh.from_cells(a.nodes, a.cells, a.regions)
    return mesh, time.perf_counter() - t0


def peak_bytes() -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    return 0


class Frozen:
    """A preconditioner whose set-up is done at the first Newton step only."""

    def __init__(self, inner):
        self.inner, self.memory, self.built = inner, 0, False

    def setup(self, A):
        if not self.built:
            self.inner.setup(A)
            self.memory, self.built = self.inner.memory, True

    def __call__(self, r):
        return self.inner(r)


class SmootherOnly:
    """Symmetric Gauss-Seidel alone as the preconditioner (no coarse levels)."""

    memory = 0

    def setup(self, A):
        self.A = A

    def __call__(self, r):
        from pyamg.relaxation.relaxation import gauss_seidel

        x = np.zeros_like(r)
        gauss_seidel(self.A, x, r, iterations=1, sweep="symmetric")
        return x


def _adapt(backend, reuse):
    """Make the configured iterative ``backend`` (default: "auto", the smoother first)
    keep its multigrid set-up from the first step: "refresh"
    (aggregates and prolongators kept, coarse products recomputed), "adaptive" (the
    whole hierarchy kept while CG's rate holds, refreshed otherwise), "freeze", or
    replace it by "smoother" (symmetric Gauss-Seidel alone) or "smoother-first" (that
    until a solve needs more than 40 iterations, then the multigrid)."""
    if reuse == "refresh":
        backend.reuse = "refresh"
    elif reuse == "adaptive":
        backend.reuse = "adaptive"
    elif reuse == "freeze":
        backend.reuse = "refresh"
        backend.preconditioner = Frozen(backend.preconditioner)
    elif reuse == "smoother":
        backend.preconditioner = SmootherOnly()
    elif reuse == "smoother-first":
        backend.reuse = "smoother"
    backend.given_preconditioner = backend.preconditioner


def run_case(formulation, n, solver, reuse, degree=1):
    from fluxkern_tools import materials, solvers

    mesh, t_mesh = timed_mesh(n)
    mats = {0: materials.vacuum(), 1: materials.steel("M270-35A")}
    t0 = time.perf_counter()
    if formulation == "vector":
        pb = solvers.ReducedVectorPotential(mesh, mats, [0.0, 0.0, B0], degree=degree)
        backend, _ = pb.linear_backend(solver)
    else:
        pb = solvers.ScalarPotential(mesh, mats, [0.0, 0.0, B0 / materials.MU0])
        backend = pb.linear_backend(solver)
    if reuse:
        _adapt(backend, reuse)
    t_problem = time.perf_counter() - t0
    sol = pb.solve(linear_solver=backend)
    steel = np.flatnonzero(mesh.regions == 1)
    _, B = sol.B(None, steel)
    unknowns, ungauged = len(pb.free), len(getattr(pb, "unfixed", pb.free))
    vol = mesh.volumes()[steel]
    rep = sol.report
    times = rep.times()
    return {"formulation": formulation + ("" if degree == 1 else "2"), "n": n,
            "solver": rep.linear_solver, "newton_ratios": rep.ratios.tolist(),
            "reuse": reuse, "tets": mesh.num_el, "unknowns": unknowns,
            "solved": rep.unknowns, "ungauged": ungauged, "newton": rep.iterations,
            "converged": rep.converged, "krylov": rep.linear_iterations.tolist(),
            "mesh": t_mesh, "problem": t_problem, **times,
            "newton_total": sum(times.values()), "peak": peak_bytes(),
            "solver_memory": rep.memory, "pc": [st.preconditioner for st in rep.steps[:-1]],
            "peak_phase": rep.peak_phase(),
            "meanB": ((B * vol[:, None]).sum(axis=0) / vol.sum()).tolist()}


def run_petsc_case(formulation, n, degree=1):
    """Our solve with the PETSc backend on every process of this MPI job: rank 0 builds
    the mesh and the problem and returns the row (None elsewhere); ``peak`` is the sum
    of the processes' peaks, ``newton_total`` the whole distributed solve, share-out
    included."""
    from mpi4py import MPI

    from fluxkern_tools import materials, solvers

    comm = MPI.COMM_WORLD
    pb = mesh = None
    t_mesh = t_problem = 0.0
    if comm.rank == 0:
        mesh, t_mesh = timed_mesh(n)
        mats = {0: materials.vacuum(), 1: materials.steel("M270-35A")}
        t0 = time.perf_counter()
        if formulation == "vector":
            pb = solvers.ReducedVectorPotential(mesh, mats, [0.0, 0.0, B0], degree=degree)
        else:
            pb = solvers.ScalarPotential(mesh, mats, [0.0, 0.0, B0 / materials.MU0])
        t_problem = time.perf_counter() - t0
    t0 = time.perf_counter()
    sol = solvers.solve(pb, backend="petsc")
    t_solve = time.perf_counter() - t0
    peaks = comm.gather(peak_bytes(), root=0)
    if comm.rank != 0:
        return None
    steel = np.flatnonzero(mesh.regions == 1)
    _, B = sol.B(None, steel)
    vol = mesh.volumes()[steel]
    rep = sol.report
    times = rep.times()
    times["share"] = t_solve - sum(times.values())
    return {"formulation": formulation + ("" if degree == 1 else "2"), "n": n,
            "solver": f"petsc x{comm.size}", "reuse": False, "tets": mesh.num_el,
            "unknowns": len(pb.free), "ungauged": len(getattr(pb, "unfixed", pb.free)),
            "newton": rep.iterations, "converged": rep.converged,
            "krylov": rep.linear_iterations.tolist(), "mesh": t_mesh,
            "problem": t_problem, **times, "newton_total": t_solve, "peak": int(sum(peaks)),
            "peaks": peaks,
            "meanB": ((B * vol[:, None]).sum(axis=0) / vol.sum()).tolist()}


def contrast_table(sizes):
    """CG iterations to a relative residual of 1e-8 on the first Newton system of a
    linear cube (mu_r 10 to 1e4), under refinement: the multigrid should not care."""
    from fluxkern_tools import materials, solvers

    print("CG iterations to 1e-8 (linear cube, first Newton system)")
    print(f"{'form.':<7}{'n':>4}{'unknowns':>10}" + "".join(f"{f'mu_r {m:g}':>12}"
                                                         for m in (1e1, 1e2, 1e3, 1e4)))
    for form, ns in sizes.items():
        for n in ns:
            mesh = cube_mesh(n)
            its = []
            for mu_r in (1e1, 1e2, 1e3, 1e4):
                mats = {0: materials.vacuum(), 1: materials.linear(mu_r)}
                if form == "vector":
                    pb = solvers.ReducedVectorPotential(mesh, mats, [0.0, 0.0, B0])
                    backend, free = pb.linear_backend("iterative")
                    J, Kx, rhs = pb._sum.system(np.zeros(pb.num_dofs), 1.0, free)
                    b = (rhs - Kx)[free]
                else:
                    pb = solvers.ScalarPotential(mesh, mats, [0.0, 0.0, B0 / materials.MU0])
                    backend, free = pb.linear_backend("iterative"), pb.free
                    x = pb.potential(pb.nodes)
                    J, Kx, _ = pb._sum.system(x, 1.0, free)
                    b = -Kx[free]
                backend.setup(J)
                backend.solve(b, 1e-8)
                its.append(backend.stats.iterations)
            print(f"{form:<7}{n:>4}{len(free):>10}" + "".join(f"{k:>12}" for k in its),
                  flush=True)


def _threads() -> str:
    """The thread pools the numerical libraries would use in this process."""
    try:
        from threadpoolctl import threadpool_info
    except ImportError:
        return "thread pools unknown"
    pools = threadpool_info()
    return ", ".join(f"{p['internal_api']} {p['num_threads']} threads" for p in pools) \
        or "no thread pools"


def child(case, threads=None, flag="--case"):
    """Run one case in a child process (its own peak memory); with ``threads``, the
    child's OpenMP, BLAS and MKL pools are limited to that many threads."""
    env = dict(os.environ)
    if threads is not None:
        for var in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS"):
            env[var] = str(threads)
    cmd = [sys.executable, __file__, flag, json.dumps(list(case))]
    if flag == "--petsc-case":
        # One process per core asked for, one thread each.
        cmd = ["mpiexec", "--oversubscribe", "-n", str(threads or 1)] + cmd
        env.update(OMP_NUM_THREADS="1", OPENBLAS_NUM_THREADS="1",
                   OMPI_MCA_mpi_yield_when_idle="1")
        if os.geteuid() == 0:
            env.update(OMPI_ALLOW_RUN_AS_ROOT="1", OMPI_ALLOW_RUN_AS_ROOT_CONFIRM="1")
    out = subprocess.run(cmd, capture_output=True, text=True, env=env)
    if out.returncode != 0:
        print(out.stderr[-3000:], file=sys.stderr)
        return None
    return json.loads(out.stdout.strip().splitlines()[-1])


def _total(r):
    return r["mesh"] + r["problem"] + r["newton_total"]


def peer_tables(cases, threads, repeat, backends=("serial",)):
    """Our iterative run against NGSolve's (benchmarks/peer_ngsolve.py) on every case,
    interleaved, ``repeat`` times per threads value; the fastest of each kept. Our side
    runs with each of ``backends``: "serial" (this process; OMP_NUM_THREADS = threads)
    or "petsc" (the PETSc backend on ``threads`` MPI processes; degree 1 only). Prints
    one table per threads value and backend and the per-phase split of both. Returns
    the rows as ``{(threads, backend): [(ours, peer), ...]}``."""
    out = {}
    for k in threads:
        pairs = {b: [] for b in backends}
        for form, n, deg in cases:
            sides = {"peer": lambda: child((form, n, deg, k), k, "--peer-case")}
            if "serial" in backends:
                sides["serial"] = lambda: child((form, n, "iterative", False, deg), k)
            if "petsc" in backends and deg == 1:
                sides["petsc"] = lambda: child((form, n, deg), k, "--petsc-case")
            best = dict.fromkeys(sides)
            for _ in range(repeat):
                for side, run in sides.items():
                    r = run()
                    if r is not None and (best[side] is None
                                          or _total(r) < _total(best[side])):
                        best[side] = r
            for b in backends:
                if b not in sides:
                    continue
                if best[b] is None or best["peer"] is None:
                    print(f"{form} n={n} ({b}): a run failed (see above); row left out",
                          file=sys.stderr)
                    continue
                pairs[b].append((best[b], best["peer"]))
        for b in backends:
            out[(k, b)] = pairs[b]
            print_peer_table(k, repeat, pairs[b], b)
    return out


def print_peer_table(threads, repeat, pairs, backend="serial"):
    ours = ("ours in one process" if backend == "serial" else
            f"ours with the PETSc backend on {threads} process(es), memory summed")
    print(f"\n{threads} thread(s), {ours}; fastest of {repeat}; total seconds (mesh + "
          "set-up + Newton), peak resident MiB, Newton steps, mean B_z in the steel (T)")
    print(f"{'case':<11}{'unknowns':>10}{'ours s':>9}{'peer s':>9}{'peer/ours':>10}"
          f"{'MiB ours/peer':>15}{'Newton':>8}{'mean B_z ours':>16}{'mean B_z peer':>16}"
          f"{'rel.diff':>10}")
    for a, b in pairs:
        unk = a["ungauged"]
        flag = "" if unk == b["unknowns"] else f"  UNKNOWNS DIFFER (peer {b['unknowns']})"
        if not (a["converged"] and b["converged"]):
            flag += "  NOT CONVERGED"
        d = (np.linalg.norm(np.subtract(a["meanB"], b["meanB"]))
             / np.linalg.norm(a["meanB"]))
        ta, tb = _total(a), _total(b)
        mib = f"{a['peak'] / 2**20:.0f}/{b['peak'] / 2**20:.0f}"
        print(f"{a['formulation'] + ' ' + str(a['n']):<11}{unk:>10}{ta:9.2f}{tb:9.2f}"
              f"{tb / ta:10.2f}{mib:>15}{str(a['newton']) + '/' + str(b['newton']):>8}"
              f"{a['meanB'][2]:16.10f}{b['meanB'][2]:16.10f}{d:10.1e}{flag}", flush=True)
    print("per phase, s (mesh / set-up / assembly / linear set-up / linear solve; CG "
          "iterations per Newton step)")
    for a, b in pairs:
        for side, r in (("ours", a), ("peer", b)):
            its = ",".join(map(str, r["krylov"]))
            share = f" (+{r['share']:.2f} share-out)" if "share" in r else ""
            print(f"{a['formulation'] + ' ' + str(a['n']):<11}{side:<5}{r['mesh']:8.2f}"
                  f"{r['problem']:8.2f}{r['assembly'] + r.get('source', 0.0):8.2f}"
                  f"{r['setup']:8.2f}{r['solve']:8.2f}   {its}{share}", flush=True)


def print_header():
    print(f"{'form.':<7}{'n':>4} {'solver':<10}{'tets':>9} {'unknowns':>17} {'Newton':>6} "
          f"{'Krylov/step':<22}{'mesh':>6}{'set-up':>7}{'asm':>7}{'setup':>7}{'solve':>7}"
          f"{'total':>8}{'peak GB':>8}  {'mean B_z steel':>14}")


def print_table(rows):
    for r in rows:
        unk = (f"{r['unknowns']} [{r['ungauged']}]" if r["unknowns"] != r["ungauged"]
               else str(r["unknowns"]))
        its = ",".join(map(str, r["krylov"])) if sum(r["krylov"]) else "-"
        total = r["mesh"] + r["problem"] + r["newton_total"]
        name = r["solver"] + {"refresh": "+r", "freeze": "+f", "adaptive": "+a",
                              "smoother": "+s", "smoother-first": "+sf"}.get(r["reuse"], "")
        flag = "" if r["converged"] else "  NOT CONVERGED"
        print(f"{r['formulation']:<7}{r['n']:>4} {name:<10}{r['tets']:>9} {unk:>17} "
              f"{r['newton']:>6} {its:<22}{r['mesh']:6.1f}{r['problem']:7.1f}"
              f"{r['assembly']:7.1f}"
              f"{r['setup']:7.1f}{r['solve']:7.1f}{total:8.1f}{r['peak'] / 1e9:8.2f}  "
              f"{r['meanB'][2]:14.10f}{flag}", flush=True)
        step, phase = r.get("peak_phase") or (None, "")
        pcs = ",".join(k or "-" for k in r.get("pc", []))
        if pcs.strip("-,") or phase:
            print(f"{'':11}preconditioner per step: {pcs or '-'}; peak memory reached in "
                  f"the {phase or '?'} of step {step}", flush=True)


def summarise(rows):
    for form in ("vector", "vector2", "scalar"):
        for solver in ("iterative", "direct"):
            sel = [r for r in rows if r["formulation"] == form and r["solver"] == solver
                   and not r["reuse"]]
            if len(sel) >= 2:
                N = np.array([r["unknowns"] for r in sel], float)
                T = np.array([r["mesh"] + r["problem"] + r["newton_total"] for r in sel])
                k = np.polyfit(np.log(N), np.log(T), 1)[0]
                its = [np.mean(r["krylov"]) for r in sel]
                extra = (f"; Krylov iterations per step {its[0]:.1f} -> {its[-1]:.1f} "
                         f"({its[-1] / its[0]:.2f}x)") if solver == "iterative" else ""
                print(f"{form} {solver}: total time ~ N^{k:.2f} over {N[0]:.0f}-{N[-1]:.0f} "
                      f"unknowns{extra}")
        for n in sorted({r["n"] for r in rows if r["formulation"] == form}):
            pair = {r["solver"]: r for r in rows
                    if r["formulation"] == form and r["n"] == n and not r["reuse"]}
            if "direct" in pair and "iterative" in pair:
                a, b = np.array(pair["iterative"]["meanB"]), np.array(pair["direct"]["meanB"])
                d = np.linalg.norm(a - b) / np.linalg.norm(b)
                speed = ((pair["direct"]["newton_total"] + pair["direct"]["problem"])
                         / (pair["iterative"]["newton_total"] + pair["iterative"]["problem"]))
                print(f"{form} n={n}: mean B iterative vs direct rel. difference {d:.1e}; "
                      f"Newton steps {pair['iterative']['newton']} vs "
                      f"{pair['direct']['newton']}; direct/iterative solve time {speed:.1f}x")


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--full", action="store_true", help="sizes up to ~1e6 unknowns")
    ap.add_argument("--reuse", action="store_true",
                    help="compare the default set-up policy (the smoother first) with "
                         "those of --modes: the multigrid refreshed (+r), frozen (+f), "
                         "kept adaptively (+a), the smoother alone (+s), or with a "
                         "budget of 40 (+sf)")
    ap.add_argument("--modes", nargs="+", default=["refresh", "smoother"],
                    choices=["refresh", "adaptive", "freeze", "smoother", "smoother-first"],
                    help="with --reuse: the set-up policies run after the default one")
    ap.add_argument("--sizes", type=int, nargs="+", help="cells per axis (replaces the "
                    "size list)")
    ap.add_argument("--contrast", action="store_true",
                    help="CG iterations against permeability contrast and mesh size")
    ap.add_argument("--formulation", choices=["vector", "scalar", "both"], default="both")
    ap.add_argument("--no-direct", action="store_true", help="iterative runs only")
    ap.add_argument("--degree", type=int, choices=[1, 2], default=1,
                    help="edge-element degree of the vector potential")
    ap.add_argument("--peer", action="store_true",
                    help="our iterative solve against NGSolve's (CG + symmetric "
                         "Gauss-Seidel, air assembled once) on the same meshes, curve, "
                         "boundary conditions and Newton rule; needs ngsolve (the "
                         "'peers' extra)")
    ap.add_argument("--threads", type=int, nargs="+", default=[1],
                    help="with --peer: thread counts to run both sides with")
    ap.add_argument("--repeat", type=int, default=1,
                    help="with --peer: runs per case and side (the fastest is kept)")
    ap.add_argument("--backends", nargs="+", choices=["serial", "petsc"],
                    default=["serial"],
                    help="with --peer: how our side runs: in one process, and/or with "
                         "the PETSc backend on --threads MPI processes (make mpi-env)")
    ap.add_argument("--case", help=argparse.SUPPRESS)
    ap.add_argument("--peer-case", help=argparse.SUPPRESS)
    ap.add_argument("--petsc-case", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.case:
        print(json.dumps(run_case(*json.loads(args.case))))
        return
    if args.petsc_case:
        row = run_petsc_case(*json.loads(args.petsc_case))
        if row is not None:
            print(json.dumps(row))
        return
    if args.peer_case:
        import peer_ngsolve
        form, n, deg, k = json.loads(args.peer_case)
        print(json.dumps(peer_ngsolve.run_case(form, n, deg, k)))
        return
    forms = ["vector", "scalar"] if args.formulation == "both" else [args.formulation]
    if args.contrast:
        size = "full" if args.full else "small"
        contrast_table({f: SIZES[f][size] for f in forms})
        return
    if args.peer:
        import peer_ngsolve
        why = peer_ngsolve.available()
        if why:
            print(f"--peer: {why}; install it with the 'peers' extra "
                  "(pip install -e .[peers])", file=sys.stderr)
            sys.exit(2)
        if args.repeat < 1 or min(args.threads) < 1:
            ap.error("--repeat and --threads must be >= 1")
        cases = []
        for form in forms:
            deg = args.degree if form == "vector" else 1
            sizes = SIZES[form] if deg == 1 else SIZES_DEGREE2
            cases += [(form, n, deg) for n in args.sizes or sizes["full" if args.full
                                                                   else "small"]]
        print(f"steel cube in an air box, uniform 1 T; {os.cpu_count()} cores; ours: "
              "iterative (CG, Gauss-Seidel first, multigrid past its budget); peer: NGSolve "
              "CG + symmetric Gauss-Seidel; "
              "unknowns: the ungauged free count both sides solve")
        peer_tables(cases, args.threads, args.repeat, args.backends)
        return
    cases = []
    for form in forms:
        deg = args.degree if form == "vector" else 1
        sizes = SIZES[form] if deg == 1 else SIZES_DEGREE2
        limit = DIRECT_UP_TO[form + ("2" if deg == 2 else "")]
        for n in args.sizes or sizes["full" if args.full else "small"]:
            cases.append((form, n, "iterative", False, deg))
            if args.reuse:
                cases += [(form, n, "iterative", mode, deg) for mode in args.modes]
            if not args.no_direct and not args.reuse and n <= limit:
                cases.append((form, n, "direct", False, deg))
    print(f"steel cube in an air box, uniform 1 T; {os.cpu_count()} cores, "
          f"{_threads()}; times in s (set-up: the problem object, asm: assembly, "
          "setup: linear set-up)")
    print_header()
    rows = []
    for case in cases:
        r = child(case)
        if r is not None:
            rows.append(r)
            print_table([r])
    print()
    summarise(rows)
    for r in rows:
        if r["newton"] > 1:
            print(f"{r['formulation']} n={r['n']} {r['solver']}: Newton residual ratios "
                  + " ".join(f"{q:.1e}" for q in r["newton_ratios"]))


if __name__ == "__main__":
    main()
