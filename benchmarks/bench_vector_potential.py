"""Vector-potential (curl-curl) assembly and B evaluation: fluxkern_mod against
SciPy's share and scikit-fem.

On a structured mesh of about 200,000 tetrahedra with lowest-order edge
elements, 4 quadrature points, a nonlinear piecewise-cubic reluctance, a
non-zero solution and a source field, times in one run (a) the
compute_stiffness_and_jacobi_matrix_curl_curl call, (b) the two csr_array
constructions alone on the same triplets, (c) compute_B_Hcurl on the same
mesh, and (d) scikit-fem's assembly of the same two matrices (ElementTetN0)
with the same material curve.  Prints elements per second and the ratios;
asserts nothing about time.

    python benchmarks/bench_vector_potential.py [--n 32] [--repeats 3]
"""

import argparse

import numpy as np
from scipy.interpolate import PPoly

import fluxkern_mod
from _common import (best_of, best_of_interleaved, degree2_rule, header, line, record_csr_arguments, skfem_or_none,
                     unit_box)
from fluxkern_tools import elements, materials


def skfem_assembly(skfem, mesh, rng, B_s_fn, rel):
    """nu(|B|) curl-curl and the Newton term nu'(|B|)/|B| (B.curl u)(B.curl v), B = B_s + curl A."""
    from skfem.helpers import curl, dot
    c, xb = rel.get_spline_information()
    pp = PPoly(c, xb, extrapolate=True)
    dpp = pp.derivative()

    m = skfem.MeshTet(np.ascontiguousarray(mesh.nodes.T),
                      np.ascontiguousarray(mesh.cells.T.astype(np.int64)))
    basis = skfem.Basis(m, skfem.ElementTetN0(), intorder=2)
    x_skfem = 0.05 * rng.standard_normal(basis.N)

    @skfem.BilinearForm
    def stiffness(u, v, w):
        return w["nu"] * dot(curl(u), curl(v))

    @skfem.BilinearForm
    def newton(u, v, w):
        B = w["B"]
        return w["dnu_over_B"] * dot(B, curl(u)) * dot(B, curl(v))

    def assemble():
        B = basis.interpolate(x_skfem).curl + B_s_fn(basis.global_coordinates().value)
        Bmag = np.sqrt(np.sum(B * B, axis=0))
        nu, dnu = pp(Bmag), dpp(Bmag)
        with np.errstate(divide="ignore", invalid="ignore"):
            dnu_over_B = np.where(Bmag >= 1e-14, dnu / Bmag, 0.0)
        K = stiffness.assemble(basis, nu=nu)
        dK = newton.assemble(basis, B=B, dnu_over_B=dnu_over_B)
        return K, dK

    return assemble


def source_field(points):
    """A smooth source flux density in T at points (..., 3) -> (3, ...) ."""
    X, Y, Z = points
    return np.stack([0.3 * np.sin(3 * Y), 0.2 * np.cos(2 * X), 1.2 + 0.1 * X * Z])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=32, help="cells per box edge (6 n^3 tets)")
    parser.add_argument("--repeats", type=int, default=9)
    args = parser.parse_args()

    mesh = unit_box(args.n)
    q, w = degree2_rule()
    phi, d_phi = elements.p1(q)
    curls = elements.curls_by_class(q)
    rel = materials.steel("M270-35A").reluctance()
    rng = np.random.default_rng(1)
    num_dofs = mesh.num_edges
    x = 0.05 * rng.standard_normal(num_dofs)
    cells, glob_ids, orient = mesh.cells_flat, mesh.glob_ids_flat, mesh.orientations
    num_el = mesh.num_el

    points, _ = fluxkern_mod.compute_B_Hcurl(mesh.nodes, cells, glob_ids, curls, phi, d_phi,
                                             orient, x, q, w, num_dofs, 6)
    B_s = np.ascontiguousarray(source_field(points.T).T)

    def call():
        return fluxkern_mod.compute_stiffness_and_jacobi_matrix_curl_curl(
            mesh.nodes, cells, glob_ids, curls, d_phi, orient, x, B_s, rel, q, w, num_dofs, 6)

    def evaluate_B():
        return fluxkern_mod.compute_B_Hcurl(mesh.nodes, cells, glob_ids, curls, phi, d_phi,
                                            orient, x, q, w, num_dofs, 6)

    header("compute_stiffness_and_jacobi_matrix_curl_curl (edge elements, 4 points, "
           "piecewise cubic reluctance, with source)", num_el)
    call()
    recorder = record_csr_arguments(call)
    (t_a, t_b, t_c), _ = best_of_interleaved(args.repeats, call, recorder.replay, evaluate_B)
    line("(a) whole curl-curl call", t_a, num_el)
    line("(b) the two csr_array constructions", t_b, num_el)
    line("(a) - (b) kernel, conversions, checks", t_a - t_b, num_el)
    line("(c) compute_B_Hcurl", t_c, num_el)
    print(f"  kernel share (a - b) / b = {(t_a - t_b) / t_b:.3f}   (bar: at most 0.5)")

    skfem = skfem_or_none()
    if skfem is None:
        print("  scikit-fem not installed: (d) skipped")
        return
    # scikit-fem numbers and orients its edges by its own rule; the timing does
    # not depend on it, so it gets a random solution of its own size.
    assemble = skfem_assembly(skfem, mesh, rng, source_field, rel)
    t_d, _ = best_of(args.repeats, assemble)
    line("(d) scikit-fem, same two matrices", t_d, num_el)
    print(f"  speed-up (d) / (a) = {t_d / t_a:.2f}   (bar: at least 2)")


if __name__ == "__main__":
    main()
