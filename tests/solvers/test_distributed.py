"""The petsc backend under mpiexec with 1, 2 and 3 processes (tests/mpi_cases.py).

Skipped when mpi4py, petsc4py or mpiexec are missing, except under
FLUXKERN_REQUIRE_MPI=1 (``make test-mpi``), where that is a failure.
"""

import json
import os
import pathlib
import shutil
import subprocess
import sys

import pytest

from fluxkern_tools.solvers import distributed

CASES = pathlib.Path(__file__).resolve().parent.parent / "mpi_cases.py"
ROOT = CASES.parent.parent

if not (distributed.available() and shutil.which("mpiexec")):
    if os.environ.get("FLUXKERN_REQUIRE_MPI") == "1":
        raise RuntimeError("FLUXKERN_REQUIRE_MPI=1 but mpi4py, petsc4py or mpiexec is "
                           "missing: " + distributed.MPI_INSTALL_HINT)
    pytest.skip("no MPI stack (make mpi-env)", allow_module_level=True)


def mpirun(nprocs, *args, timeout=1200):   # a hang guard (s), above mpi_cases' own
    """Run ``args`` (after the interpreter) under mpiexec; returns CompletedProcess."""
    env = dict(os.environ, OMP_NUM_THREADS="1", PYTHONPATH=str(ROOT),
               # Ranks that wait yield the core: the machine may be shared or
               # oversubscribed, and a spinning rank then starves the one it waits for.
               OMPI_MCA_mpi_yield_when_idle="1")
    if hasattr(os, "geteuid") and os.geteuid() == 0:
        env.update(OMPI_ALLOW_RUN_AS_ROOT="1", OMPI_ALLOW_RUN_AS_ROOT_CONFIRM="1")
    cmd = ["mpiexec", "--oversubscribe", "-n", str(nprocs), sys.executable, *map(str, args)]
    return subprocess.run(cmd, capture_output=True, text=True, timeout=timeout, env=env,
                          cwd=ROOT)


def result(run):
    assert run.returncode == 0, run.stdout[-2000:] + run.stderr[-4000:]
    lines = [ln for ln in run.stdout.splitlines() if ln.startswith("RESULT ")]
    assert lines, run.stdout[-2000:] + run.stderr[-4000:]
    return json.loads(lines[-1][len("RESULT "):])


@pytest.mark.parametrize("nprocs", [1, 2, 3])
def test_distributed_matrices_and_solutions_equal_serial(nprocs):
    out = result(mpirun(nprocs, CASES, "agree"))
    assert out["cube vector linear"]["newton"] == 1            # one tight linear solve
    for name in ("cube vector", "cube vector linear", "cube scalar P2", "sphere vector",
                 "sphere scalar P1"):
        r, m = out[name], out[name]["matrices"]
        # Gathered Jacobian, K x and right-hand side equal the one-machine ones (the
        # summation order differs, hence rounding).
        assert m["pattern"] and m["size"] == m["free"], name
        assert m["J"] < 1e-12 and m["Kx"] < 1e-12 and m["rhs"] < 1e-12, (name, m)
        # Whole nonlinear solves: same answer to the solver tolerance, same Newton.
        assert r["converged"] and r["solver"] == "petsc", name
        assert r["meanB"] < 1e-6, (name, r)
        assert abs(r["newton"] - r["newton_serial"]) <= 1, (name, r)
        assert min(r["krylov"]) >= 1, (name, r)
    assert out["gather all"]


@pytest.mark.parametrize("nprocs", [1, 2, 3])
def test_hx_preconditioner_gives_the_ams_solution(nprocs):
    out = result(mpirun(nprocs, CASES, "preconditioners"))
    for name in ("cube vector", "cube vector linear", "sphere vector"):
        r = out[name]
        assert r["converged"] and r["meanB"] < 1e-8, (name, r)
        # A cycle that failed to precondition would need hundreds of iterations.
        assert max(r["krylov"]) < 40, (name, r)
    assert "preconditioner must be one of" in out["unknown"]


@pytest.mark.parametrize("nprocs", [1, 2, 3])
def test_mesh_refined_in_parallel_equals_the_serial_refinement(nprocs):
    out = result(mpirun(nprocs, CASES, "refined"))
    for name in ("cube linear", "cube caps", "sphere"):
        r = out[name]
        # Every fine element exactly once, with its coarse element's region; the same
        # unknowns (Dirichlet part by name or predicate) and the same solution.
        assert r["elements"] == r["fine"] == 64 * r["coarse"] and r["same"], (name, r)
        assert r["converged"] and r["size"] == r["free"], (name, r)
        assert r["meanB"] < 1e-8, (name, r)
    r = out["sphere scalar"]
    assert r["converged"] and r["size"] == r["free"] and r["phi"] < 1e-8, r
    assert [e.split(":")[0] for e in out["no mesh"]] == (
        ["ValueError"] + ["RankError"] * (nprocs - 1))


@pytest.mark.parametrize("nprocs", [1, 3])
def test_a_failing_process_fails_every_process(nprocs):
    seen = result(mpirun(nprocs, CASES, "errors"))
    last = nprocs - 1
    kind = {k: [s[k].split(":")[0] for s in seen] for k in seen[0]}
    for rank, s in enumerate(seen):
        # The failing process raises its own error, the others RankError; a bad x0, a
        # gauged or a second-order problem on the root raises there and RankError
        # elsewhere; asking for the solution everywhere without the problem everywhere
        # is refused everywhere.
        assert kind["source"][rank] == ("RuntimeError" if rank == last else "RankError")
        for what in ("x0", "gauge", "degree"):
            assert kind[what][rank] == ("ValueError" if rank == 0 else "RankError"), seen
        assert kind["gather"][rank] == ("ValueError" if nprocs > 1 else "no error")
        # CG failures are reported on every process, never as a solution.
        assert "did not converge" in s["unconverged"], s
        assert s["indefinite"].startswith("LinearSolveError:"), s
        assert "not positive definite" in s["indefinite"], s
        assert "non-finite" in s["not finite"], s


@pytest.mark.parametrize("nprocs", [1, 3])
def test_an_uncaught_error_ends_the_whole_job(nprocs):
    run = mpirun(nprocs, CASES, "crash")      # a missing abort hangs: the guard ends it
    assert run.returncode != 0
    assert "deliberate failure on the last rank" in run.stderr
    assert "Timeout (" not in run.stderr     # ended by the abort, not by the hang guard
    if nprocs > 1:
        assert f"[rank {nprocs - 1}]" in run.stderr
    assert "RESULT" not in run.stdout


def test_demo_with_the_petsc_backend_prints_the_serial_summary(tmp_path):
    args = ["demo", "--mesh-size", "30", "--currents", "100,500", "--quiet"]
    serial = subprocess.run([sys.executable, "-m", "fluxkern_tools", *args, "--no-files"],
                            capture_output=True, text=True, timeout=1200, cwd=ROOT,  # hang guard
                            env=dict(os.environ, PYTHONPATH=str(ROOT)))
    par = mpirun(2, "-m", "fluxkern_tools", *args, "--backend", "petsc",
                 "--out", tmp_path)
    assert serial.returncode == 0 and par.returncode == 0, par.stderr[-3000:]

    def summary(text):
        lines = text.split("Summary")[1].splitlines()
        head = next(i for i, ln in enumerate(lines) if ln.split()[:2] == ["I", "[A]"])
        rows = lines[head + 1:head + 3]
        return [r.split() for r in rows]

    a, b = summary(serial.stdout), summary(par.stdout)
    assert [r[:-1] for r in a] == [r[:-1] for r in b]          # every field to 4 digits
    assert all(abs(int(x[-1]) - int(y[-1])) <= 1 for x, y in zip(a, b))   # Newton +-1
    assert par.stdout.count("wrote ") == 2                       # files from rank 0 only
    assert (tmp_path / "dipole.png").exists() and (tmp_path / "dipole.vtu").exists()


def test_distributed_example_on_two_processes(tmp_path):
    # Only the root builds the problem; the other process passes None to solve().
    run = mpirun(2, ROOT / "examples" / "distributed.py", tmp_path)
    assert run.returncode == 0, run.stdout[-2000:] + run.stderr[-4000:]
    assert "backend petsc on 2 process(es)" in run.stdout
    assert run.stdout.count("mean B_z") == 1                  # printed by the root only
    assert (tmp_path / "distributed.png").exists()
