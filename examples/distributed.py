"""The steel cube of the quick start in a uniform field, solved on several processes.

Shows ``solvers.solve(problem, backend="petsc")``: every process runs this script and
makes the same calls, the root builds the problem, and the solution comes back on the
root. Without mpi4py and petsc4py (``make mpi-env``) it falls back to
``backend="serial"`` on one process. Prints (from the root only) the mean B in the steel
and the Newton steps, and writes ``distributed.png`` (|B| along the x axis) into the
folder given as the first argument (default ``fluxkern_out/``).

    mpiexec -n 2 python examples/distributed.py [out_dir]
    python examples/distributed.py [out_dir]
"""

import pathlib
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402

from fluxkern_tools import materials, meshes, solvers  # noqa: E402
from fluxkern_tools.solvers import distributed  # noqa: E402

if distributed.available():
    from mpi4py import MPI

    distributed.abort_on_error()                 # an error on one process ends them all
    backend, rank, size = "petsc", MPI.COMM_WORLD.rank, MPI.COMM_WORLD.size
else:
    backend, rank, size = "serial", 0, 1

problem = None
if rank == 0:                                    # only the root needs the problem
    mesh = meshes.box((-0.2,) * 3, (0.2,) * 3, (24, 24, 24),
                      regions=[(1, lambda c: (abs(c) < 0.05).all(axis=1))])
    problem = solvers.ReducedVectorPotential(
        mesh, {0: materials.vacuum(), 1: materials.steel("M270-35A")}, [0, 0, 1.0])
solution = solvers.solve(problem, backend=backend)  # collective; None off the root

if rank == 0:
    out = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else "fluxkern_out")
    out.mkdir(parents=True, exist_ok=True)
    inside = np.random.default_rng(1).uniform(-0.04, 0.04, (200, 3))
    B_steel = solution.B_at(inside)[:, 2].mean()
    print(f"backend {backend} on {size} process(es): {mesh.num_el} tetrahedra, "
          f"{solution.report.iterations} Newton steps")
    print(f"applied 1 T along z; mean B_z in the steel cube: {B_steel:.4f} T")
    x = np.linspace(-0.19, 0.19, 300)
    B = solution.B_at(np.column_stack([x, 0.01 + 0 * x, 0.01 + 0 * x]), smooth=True)
    fig, ax = plt.subplots(figsize=(5, 3.6))
    ax.plot(x * 100, np.linalg.norm(B, axis=1))
    ax.axvspan(-5, 5, color="0.85", label="steel")
    ax.set(xlabel="x [cm]", ylabel="|B| [T]", title=f"steel cube in 1 T ({backend})")
    ax.legend()
    fig.savefig(out / "distributed.png", dpi=100, bbox_inches="tight")
    print("wrote", out / "distributed.png")
