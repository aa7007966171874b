"""Hashes of results that a change meant to keep results must leave bit-identical:
solves of both formulations (P1/P2, edge degree 1/2, direct and iterative), TEAM 20
forces on a coarse mesh and the demo's summary. Run it before and after, on one thread
(the threaded Biot-Savart kernel sums in a varying order):

    OMP_NUM_THREADS=1 python benchmarks/result_hashes.py > before.txt
"""

import hashlib
import io

import numpy as np


def digest(*arrays) -> str:
    m = hashlib.sha256()
    for a in arrays:
        m.update(np.ascontiguousarray(np.asarray(a, dtype=np.float64)).tobytes())
    return m.hexdigest()[:16]


def solves() -> dict:
    from fluxkern_tools import coils, materials, meshes, solvers, windings

    mesh = meshes.box((-0.2,) * 3, (0.2,) * 3, (12, 12, 12),
                      regions=[(1, lambda c: np.all(np.abs(c - [0, 0, 0.06]) < 0.05, axis=1))])
    mats = {0: materials.vacuum(), 1: materials.steel("M270-35A")}
    coil = coils.winding(windings.circle_path(0.15), current=500.0, turns=200, width=0.02,
                         height=0.03, grid=(2, 2))
    out = {}
    for deg in (1, 2):
        for ls in ("direct", "iterative"):
            s = solvers.solve_scalar_potential(mesh, mats, [0, 0, 3e4], degree=deg,
                                               linear_solver=ls)
            out[f"scalar P{deg} {ls}"] = digest(s.phi, s.report.residuals)
            v = solvers.solve_reduced_vector_potential(mesh, mats, coil, degree=deg,
                                                       linear_solver=ls)
            out[f"vector N{deg} {ls}"] = digest(
                v.x, v.report.residuals, v.B_at([[0, 0, 0.06], [0.1, 0, 0]]),
                v.force(1).force, [v.energy()])
    return out


def applications() -> dict:
    from fluxkern_tools.apps import team20
    from fluxkern_tools.apps.cli import dipole_demo

    _, pts = team20.validate(4e-3, 8e-3, 40e-3, say=lambda *a: None)
    out = {"team20": digest([p.computed for p in pts])}
    pts = dipole_demo(currents=(100, 700), mesh_size=0.02, tables=False, files=False,
                      out=io.StringIO())
    out["demo"] = digest([p.B_gap for p in pts], [p.B_iron_max for p in pts],
                         [p.solution.report.iterations for p in pts])
    return out


if __name__ == "__main__":
    for k, v in {**solves(), **applications()}.items():
        print(f"{k:24s} {v}")
