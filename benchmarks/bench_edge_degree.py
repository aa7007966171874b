"""Accuracy per unknown of the reduced vector potential: edge elements of degree 1 and 2.

The magnetised sphere: mu_r = 10 inside the unit sphere, an outer sphere of radius 3
with A x n = 0, a uniform applied field of 1.257 mT; one octant of meshes.ball with n
cells per quarter circle. The mean interior B_z against the exact value
3 mu_r B0 / ((mu_r + 2) + 2 (mu_r - 1) / 27), with the default linear solver. The table
gives the unknowns after the gauge, the relative error, the seconds of the whole solve
and, at the end, the observed orders in h ~ 1/n.

    python benchmarks/bench_edge_degree.py           # n = 4 .. 16 (about 20 s)
    python benchmarks/bench_edge_degree.py --full    # n up to 20
"""

import argparse
import os
import time

import numpy as np

from fluxkern_tools import materials, meshes, quadrature, solvers
from fluxkern_tools.materials import MU0, NU0

MU_R, H0, R_OUT = 10.0, 1000.0, 3.0
EXACT = 3 * MU_R * MU0 * H0 / ((MU_R + 2) + 2 * (MU_R - 1) / R_OUT ** 3)


def mean_interior_error(mesh, degree):
    mats = {0: materials.ConstantReluctance(NU0 / MU_R), 1: materials.ConstantReluctance()}
    t0 = time.perf_counter()
    sol = solvers.solve_reduced_vector_potential(
        mesh, mats, [0.0, 0.0, MU0 * H0], dirichlet=lambda c: c[:, 2] > 1e-9, degree=degree)
    seconds = time.perf_counter() - t0
    idx = np.flatnonzero(mesh.regions == 0)
    q, w = quadrature.tetrahedron(2)              # exact for B linear in each element
    _, B = sol.B(q, idx)
    vol = mesh.volumes()[idx]
    Bz = np.einsum("emc,m,e->c", B.reshape(len(idx), len(w), 3), 6 * w, vol)[2] / vol.sum()
    return len(sol.problem.free), Bz / EXACT - 1, seconds


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--full", action="store_true", help="refine up to n = 20")
    ns = [4, 6, 8, 12, 16] + ([20] if ap.parse_args().full else [])
    print(f"magnetised sphere, mean interior B_z; {os.cpu_count()} cores")
    print(f"{'n':>3} {'unknowns 1':>11} {'error 1':>10} {'s':>5} "
          f"{'unknowns 2':>11} {'error 2':>10} {'s':>5} {'ratio':>6}")
    rows = []
    for n in ns:
        mesh = meshes.ball(R_OUT, n, [1.0], octant=True)
        r1, r2 = mean_interior_error(mesh, 1), mean_interior_error(mesh, 2)
        rows.append((n, r1, r2))
        print(f"{n:3d} {r1[0]:11d} {r1[1]:10.2e} {r1[2]:5.1f} {r2[0]:11d} {r2[1]:10.2e} "
              f"{r2[2]:5.1f} {r1[1] / r2[1]:6.0f}", flush=True)
    n = np.array([r[0] for r in rows], float)
    for k in (1, 2):
        e = np.abs([r[k][1] for r in rows])
        orders = np.log(e[:-1] / e[1:]) / np.log(n[1:] / n[:-1])
        print(f"degree {k}: observed orders " + " ".join(f"{o:.1f}" for o in orders))


if __name__ == "__main__":
    main()
