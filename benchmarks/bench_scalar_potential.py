"""Scalar-potential assembly: fluxkern_mod against SciPy's share and scikit-fem.

On a structured mesh of about 200,000 P1 tetrahedra with a nonlinear B-spline
permeability, a non-zero potential and 4 quadrature points, times in one run
(a) the whole compute_stiffness_and_jacobi_matrix call, (b) the two csr_array
constructions alone on the same triplets (fixed by the interface) and (c)
scikit-fem's assembly of the same two matrices with the same material curve.
Prints elements per second and the ratios; asserts nothing about time.

    python benchmarks/bench_scalar_potential.py [--n 32] [--repeats 3]
"""

import argparse

import numpy as np
from scipy.interpolate import BSpline

import fluxkern_mod
from _common import (best_of, best_of_interleaved, degree2_rule, header, line, record_csr_arguments, skfem_or_none,
                     unit_box)
from fluxkern_tools import elements, materials


def skfem_assembly(skfem, mesh, x, perm):
    """K with mu(|grad x|) and the Newton term mu'(|grad x|)/|grad x| (H.grad u)(H.grad v)."""
    from skfem.helpers import dot, grad
    t, c, k, H_min, mu_H_min = perm.get_spline_information()
    spline = BSpline(t, c, k, extrapolate=False)
    dspline = spline.derivative()

    def mu_and_dmu(Hmag):
        s = np.log10(np.maximum(Hmag, 1e-300))
        below = Hmag < H_min
        mu = np.where(below, mu_H_min, np.nan_to_num(spline(s)))
        dmu = np.where(below, 0.0, np.nan_to_num(dspline(s)) / (np.log(10.0) * Hmag))
        return mu, dmu

    m = skfem.MeshTet(mesh.nodes.T.copy(), mesh.cells.T.astype(np.int64))
    basis = skfem.Basis(m, skfem.ElementTetP1(), intorder=2)

    @skfem.BilinearForm
    def stiffness(u, v, w):
        return w["mu"] * dot(grad(u), grad(v))

    @skfem.BilinearForm
    def newton(u, v, w):
        H = w["H"]
        return w["dmu_over_H"] * dot(H, grad(u)) * dot(H, grad(v))

    def assemble():
        H = basis.interpolate(x).grad
        Hmag = np.sqrt(np.sum(H * H, axis=0))
        mu, dmu = mu_and_dmu(Hmag)
        with np.errstate(divide="ignore", invalid="ignore"):
            dmu_over_H = np.where(Hmag >= 1e-14, dmu / Hmag, 0.0)
        K = stiffness.assemble(basis, mu=mu)
        dK = newton.assemble(basis, H=H, dmu_over_H=dmu_over_H)
        return K, dK

    return assemble


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=32, help="cells per box edge (6 n^3 tets)")
    parser.add_argument("--repeats", type=int, default=9)
    args = parser.parse_args()

    mesh = unit_box(args.n)
    q, w = degree2_rule()
    _, d_phi = elements.p1(q)
    perm = materials.steel("M270-35A").permeability()
    z = mesh.nodes[:, 2]
    x = -2000.0 * z + 300.0 * np.sin(7.0 * mesh.nodes[:, 0]) * np.cos(5.0 * mesh.nodes[:, 1])
    cells = mesh.cells_flat
    num_el = mesh.num_el

    def call():
        return fluxkern_mod.compute_stiffness_and_jacobi_matrix(mesh.nodes, cells, d_phi, x,
                                                                perm, q, w)

    header("compute_stiffness_and_jacobi_matrix (P1, 4 points, B-spline permeability)", num_el)
    call()  # warm up
    recorder = record_csr_arguments(call)
    (t_a, t_b), ((K, dK), _) = best_of_interleaved(args.repeats, call, recorder.replay)
    line("(a) whole call", t_a, num_el)
    line("(b) the two csr_array constructions", t_b, num_el)
    line("(a) - (b) kernel, conversions, checks", t_a - t_b, num_el)
    print(f"  kernel share (a - b) / b = {(t_a - t_b) / t_b:.3f}   (bar: at most 0.5)")

    skfem = skfem_or_none()
    if skfem is None:
        print("  scikit-fem not installed: (c) skipped")
        return
    assemble = skfem_assembly(skfem, mesh, x, perm)
    t_c, (K_ref, dK_ref) = best_of(args.repeats, assemble)
    line("(c) scikit-fem, same two matrices", t_c, num_el)
    print(f"  speed-up (c) / (a) = {t_c / t_a:.2f}   (bar: at least 2)")
    scale = abs(K_ref).max()
    print(f"  max |K - K_skfem| / max|K| = {abs(K - K_ref).max() / scale:.2e}, "
          f"max |dK - dK_skfem| / max|K| = {abs(dK - dK_ref).max() / scale:.2e}")


if __name__ == "__main__":
    main()
