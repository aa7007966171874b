"""Permanent magnets: accuracy against closed forms and magpylib, and the solve-time cost.

1. A uniformly magnetised sphere (Br 1.2 T, recoil mu_r 1.05) in an air ball: the mean
   interior B against 2 Br / (mu_r + 2), both formulations, degree 2.
2. A cuboid magnet (mu_r 1) in an air box: B_at outside it against magpylib's closed
   form (RMS of the error over the RMS of the field), degree 2.
3. The force between two coaxial cuboid magnets: the eggshell force against the
   surface-charge integral F = int sigma B_1 dA over the faces of the second magnet
   (sigma = J . n / mu0, B_1 of the first magnet from magpylib, 24 x 24 Gauss points per
   face), and against virtual work: (W'(+h) - W'(-h)) / 2h with the second magnet moved
   by one cell h along the axis on the same mesh.
4. Solve time with the magnets against the same mesh with air in their place
   (interleaved repeats, the best of each), both formulations.

    python benchmarks/bench_magnets.py [--repeats 3] [--quick]

Prints the figures; asserts nothing.
"""

import argparse
import os
import time

import numpy as np

from _common import best_of_interleaved
from fluxkern_tools import materials as mat, meshes, quadrature, solvers

BR, MU_R = 1.2, 1.05


def mean_B(sol, region):
    mesh = sol.problem.mesh
    el = np.flatnonzero(mesh.regions == region)
    q, _ = quadrature.tetrahedron(2)
    _, B = sol.B(q, el)
    vol = mesh.volumes()[el]
    return (B.reshape(len(el), -1, 3).mean(axis=1) * vol[:, None]).sum(axis=0) / vol.sum()


def sphere(n):
    a = 0.1
    mesh = meshes.ball(8 * a, n=n, interfaces=[a])
    mats = {0: mat.permanent_magnet(BR, [0, 0, 1], MU_R), 1: mat.vacuum()}
    exact = 2 * BR / (MU_R + 2)
    print(f"sphere: a = {a} m in an air ball of 8 a, {mesh.num_el} elements; "
          f"closed form B = 2 Br/(mu_r + 2) = {exact:.5f} T")
    s = solvers.solve_scalar_potential(mesh, mats, solvers.uniform_field_potential([0, 0, 0]),
                                       degree=2)
    v = solvers.solve_reduced_vector_potential(mesh, mats, None, degree=2)
    for name, sol in (("scalar potential P2", s), ("vector potential edge 2", v)):
        Bz = mean_B(sol, 0)[2]
        print(f"  {name:24s} mean interior Bz = {Bz:.5f} T  error {100 * (Bz / exact - 1):+.3f} %")


# Two cuboids 20 x 20 x 10 mm, axis z, polarised +z, gap 10 mm (centres at -/+10 mm).
DIM = np.array([0.02, 0.02, 0.01])
C1, C2 = np.array([0, 0, -0.01]), np.array([0, 0, 0.01])


def box_axes(h, far, n_far, z_shift=0.0):
    core = meshes.axis_with_breaks([-0.02, -0.01, 0.01, 0.02], h)
    out = meshes.graded_axis(0.02, far, n_far, ratio=1.35)
    xy = np.concatenate([-out[::-1], core[1:-1], out])
    zc = meshes.axis_with_breaks([-0.03, -0.015, -0.005, 0.005, 0.015, 0.03], h)
    zo = meshes.graded_axis(0.03, far, n_far, ratio=1.35)
    return xy, xy, np.concatenate([-zo[::-1], zc[1:-1], zo])


def inside(centre, dim):
    lo, hi = centre - dim / 2, centre + dim / 2
    return lambda c: np.all((c > lo) & (c < hi), axis=1)


def cuboid_mesh(h, far, n_far, shift=0.0, two=True):
    rules = [(1, inside(C1, DIM))]
    if two:
        rules.append((2, inside(C2 + [0, 0, shift], DIM)))
    return meshes.box_mesh(*box_axes(h, far, n_far), regions=rules)


def cuboid_vs_magpylib(h, far, n_far):
    import magpylib

    mesh = cuboid_mesh(h, far, n_far, two=False)
    mags = {0: mat.vacuum(), 1: mat.permanent_magnet(BR, [0, 0, 1], 1.0)}
    src = magpylib.magnet.Cuboid(position=C1, dimension=DIM, polarization=(0, 0, BR))
    # Points around the magnet, 3 to 15 mm from its faces (from a cell and more away,
    # where the field no longer has the edges' steep gradients within one element),
    # above, below, beside it and off an edge.
    t = np.linspace(0.003, 0.015, 6)
    top = np.column_stack([0 * t + 0.004, 0 * t + 0.003, C1[2] + DIM[2] / 2 + t])
    below = np.column_stack([0 * t - 0.005, 0 * t, C1[2] - DIM[2] / 2 - t])
    side = np.column_stack([DIM[0] / 2 + t, 0 * t + 0.004, 0 * t + C1[2] + 0.002])
    diag = np.column_stack([DIM[0] / 2 + t, DIM[1] / 2 + t, 0 * t + C1[2] + 0.004])
    pts = np.vstack([top, below, side, diag])
    ref = src.getB(pts)
    print(f"cuboid vs magpylib: {mesh.num_el} elements, {len(pts)} points 3-15 mm off "
          f"the faces (mu_r = 1, J = {BR} T)")
    runs = (("scalar potential P2", lambda: solvers.solve_scalar_potential(
                mesh, mags, solvers.uniform_field_potential([0, 0, 0]), degree=2)),
            ("vector potential edge 2", lambda: solvers.solve_reduced_vector_potential(
                mesh, mags, None, degree=2)))
    for name, run in runs:
        sol = run()
        B = sol.B_at(pts)
        rms = np.sqrt(np.mean(np.sum((B - ref) ** 2, axis=1)) / np.mean(np.sum(ref ** 2, axis=1)))
        worst = np.max(np.linalg.norm(B - ref, axis=1) / np.linalg.norm(ref, axis=1))
        print(f"  {name:24s} RMS error {100 * rms:.3f} %   worst point {100 * worst:.2f} %")


def charge_force(n=24):
    """Force (N) on magnet 2 from magnet 1: int (J2 . n / mu0) B_1 dA over its faces."""
    import magpylib

    src = magpylib.magnet.Cuboid(position=C1, dimension=DIM, polarization=(0, 0, BR))
    g, w = quadrature.gauss_legendre_01(n)
    X, Y = np.meshgrid(C2[0] + (g - 0.5) * DIM[0], C2[1] + (g - 0.5) * DIM[1], indexing="ij")
    W = np.outer(w, w).ravel() * DIM[0] * DIM[1]
    F = np.zeros(3)
    for sign in (+1, -1):
        Z = np.full(X.size, C2[2] + sign * DIM[2] / 2)
        B1 = src.getB(np.column_stack([X.ravel(), Y.ravel(), Z]))
        F += sign * (BR / mat.MU0) * (W[:, None] * B1).sum(axis=0)
    return F


def mean_charge_force(h, n=6):
    """Mean of the surface-charge force over shifts of magnet 2 in [-h, h]: what the
    central difference (W'(+h) - W'(-h)) / 2h of the exact co-energy equals."""
    global C2
    c2, (s, w) = C2.copy(), quadrature.gauss_legendre_01(n)
    try:
        F = 0.0
        for si, wi in zip(-h + 2 * h * s, w):
            C2 = c2 + [0, 0, si]
            F = F + wi * charge_force()
    finally:
        C2 = c2
    return F


def two_cuboids(h, far, n_far, which):
    mags = {0: mat.vacuum(), 1: mat.permanent_magnet(BR, [0, 0, 1], 1.0),
            2: mat.permanent_magnet(BR, [0, 0, 1], 1.0)}

    def run(shift):
        mesh = cuboid_mesh(h, far, n_far, shift)
        if which == "scalar":
            return solvers.solve_scalar_potential(
                mesh, mags, solvers.uniform_field_potential([0, 0, 0]), degree=2)
        return solvers.solve_reduced_vector_potential(mesh, mags, None, degree=2)

    sol = run(0.0)
    F = sol.force(2, layers=2).force
    Wp, Wm = run(+h).coenergy(), run(-h).coenergy()
    return F[2], (Wp - Wm) / (2 * h)


def timing(h, far, n_far, repeats):
    mesh = cuboid_mesh(h, far, n_far)
    with_m = {0: mat.vacuum(), 1: mat.permanent_magnet(BR, [0, 0, 1], MU_R),
              2: mat.permanent_magnet(BR, [0, 0, -1], MU_R)}
    # The same mesh and the same recoil permeability, without remanence; a uniform
    # applied field (scalar) or source field (vector) gives it something to solve. Both
    # start from zero inside (the default start of the scalar potential, the applied
    # potential, would solve the air-only problem before the first step and hand it
    # fewer iterations than any problem with material in it).
    without = {0: mat.vacuum(), 1: mat.linear(MU_R), 2: mat.linear(MU_R)}
    x0 = np.zeros(len(meshes.p2_connectivity(mesh)[0]))
    print(f"solve time, magnets vs none (mesh {mesh.num_el} elements, "
          f"{os.cpu_count()} cores, best of {repeats} interleaved):")
    for name, solve in (
            ("scalar P2", lambda m: solvers.solve_scalar_potential(
                mesh, m, solvers.uniform_field_potential([0, 0, 1e4]), degree=2, x0=x0)),
            ("vector edge 1", lambda m: solvers.solve_reduced_vector_potential(
                mesh, m, [0, 0, 0.01], degree=1)),
            ("vector edge 2", lambda m: solvers.solve_reduced_vector_potential(
                mesh, m, [0, 0, 0.01], degree=2))):
        (tm, t0), _ = best_of_interleaved(repeats, lambda: solve(with_m), lambda: solve(without))
        print(f"  {name:14s} with magnets {tm:7.3f} s   without {t0:7.3f} s   "
              f"ratio {tm / t0:.3f}")


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--repeats", type=int, default=3)
    ap.add_argument("--quick", action="store_true", help="coarser meshes")
    a = ap.parse_args()
    h = 0.005 if a.quick else 0.0025
    t0 = time.perf_counter()
    sphere(4 if a.quick else 6)
    cuboid_vs_magpylib(h, 0.12, 6)
    F_ref = charge_force()
    print(f"two coaxial cuboids 20x20x10 mm, gap 10 mm, J = {BR} T: surface-charge "
          f"integral with magpylib's field Fz = {F_ref[2]:.4f} N")
    F_mean = mean_charge_force(h)
    print(f"  magnet 2 moved by +/-h = {1e3 * h:g} mm: mean surface-charge force over the "
          f"move Fz = {F_mean[2]:.4f} N (the exact central difference of W')")
    for which in ("scalar", "vector"):
        F, F_vw = two_cuboids(h, 0.12, 6, which)
        print(f"  {which:6s} degree 2: eggshell Fz = {F:.4f} N ({100 * (F / F_ref[2] - 1):+.2f} %"
              f" vs magpylib); virtual work (W'(+h) - W'(-h))/2h = {F_vw:.4f} N "
              f"({100 * (F_vw / F_mean[2] - 1):+.2f} % vs the mean force)")
    timing(h, 0.12, 6, a.repeats)
    print(f"total {time.perf_counter() - t0:.0f} s")


if __name__ == "__main__":
    main()
