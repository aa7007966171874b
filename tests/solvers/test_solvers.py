"""Newton solvers of both formulations against analytic fields.

A sphere of radius a in a uniform applied field, inside a concentric outer sphere of
radius R, has a uniform interior field for any (also nonlinear) material. With
H = C z inside and phi = (-D r + E / r^2) cos(theta) outside, continuity of phi and of
B . n at r = a give D = (B(C) / mu0 + 2 C) / 3 and E = a^3 (D - C); the outer boundary
closes the system:

* phi = -H0 z on r = R (scalar potential):       D - (a/R)^3 (D - C) = H0,
* A x n = 0 on r = R, i.e. B . n = mu0 H0 cos:   D + 2 (a/R)^3 (D - C) = H0.

For constant mu_r this gives H_in = 3 H0 / ((mu_r + 2) - (mu_r - 1)(a/R)^3) and
B_in = 3 mu_r B0 / ((mu_r + 2) + 2 (mu_r - 1)(a/R)^3), which tend to the free-space
values 3 H0 / (mu_r + 2) and 3 mu_r B0 / (mu_r + 2) as R grows. The models use one
octant with the mirror planes' natural conditions, so the boundary handling is tested
too.
"""

from functools import lru_cache

import numpy as np
import pytest
import scipy.sparse as sp
from scipy.optimize import brentq
from scipy.sparse.csgraph import connected_components
from scipy.sparse.linalg import cg

import reference
from fluxkern_tools import coils, materials, meshes, solvers
from fluxkern_tools.materials import MU0, NU0

A_IN, R_OUT, MU_R, H0 = 1.0, 3.0, 10.0, 1000.0
EPS = 1e-9
F = (A_IN / R_OUT) ** 3

# Octant: phi = -H0 z is prescribed on the sphere and on z = 0 (where it is 0); A x n = 0
# on the sphere and on x = 0, y = 0 (the field runs along them).
def SCALAR_DIRICHLET(c):
    return (c[:, 0] > EPS) & (c[:, 1] > EPS)


def VECTOR_DIRICHLET(c):
    return c[:, 2] > EPS


def interior_scalar(B_of_H):
    """H_in (A/m) with phi prescribed on the outer sphere."""
    def g(C):
        D = (B_of_H(C) / MU0 + 2 * C) / 3
        return D - F * (D - C) - H0_of[0]
    return brentq(g, 0.0, 3 * H0_of[0])


def interior_vector(H_of_B):
    """B_in (T) with A x n = 0 on the outer sphere."""
    def g(B):
        C = H_of_B(B)
        D = (B / MU0 + 2 * C) / 3
        return D + 2 * F * (D - C) - H0_of[0]
    return brentq(g, 0.0, 3 * MU0 * H0_of[0])


H0_of = [H0]


@lru_cache(maxsize=None)
def sphere(n, octant=True):
    return meshes.ball(R_OUT, n, [A_IN], octant=octant)


def linear_materials(kind):
    if kind == "mu":
        return {0: materials.ConstantPermeability(MU_R * MU0), 1: materials.ConstantPermeability()}
    return {0: materials.ConstantReluctance(NU0 / MU_R), 1: materials.ConstantReluctance()}


def sphere_mean_B(sol, mesh):
    idx = np.flatnonzero(mesh.regions == 0)
    _, B = sol.B(None, idx)
    vol = mesh.volumes()[idx]
    return (B * vol[:, None]).sum(axis=0) / vol.sum()


def scalar_sphere(n, degree, mats, octant=True, **kw):
    m = sphere(n, octant)
    sol = solvers.solve_scalar_potential(
        m, mats, [0.0, 0.0, H0_of[0]], dirichlet=SCALAR_DIRICHLET if octant else None,
        degree=degree, **kw)
    return m, sol


def vector_sphere(n, mats, octant=True, **kw):
    m = sphere(n, octant)
    sol = solvers.solve_reduced_vector_potential(
        m, mats, [0.0, 0.0, MU0 * H0_of[0]], dirichlet=VECTOR_DIRICHLET if octant else None,
        **kw)
    return m, sol


# -- meshes ------------------------------------------------------------------------------

@pytest.mark.parametrize("n, octant", [(4, False), (6, True), (8, True)])
def test_ball_mesh_is_conforming_and_fits_its_spheres(n, octant):
    m = sphere(n, octant)
    F_all = len(np.unique(np.sort(m.cells[:, meshes.FACES].reshape(-1, 3), axis=1), axis=0))
    assert m.num_nodes - m.num_edges + F_all - m.num_el == 1     # a ball: Euler 1
    assert np.all(m.volumes() > 0)
    r = np.linalg.norm(m.nodes, axis=1)
    on_sphere = np.isclose(r[m.boundary_faces], R_OUT).all(axis=1)
    # Conforming: no internal face is left unmatched, so the boundary is the sphere
    # (12 n^2 triangles) plus, for the octant, the three flat cuts.
    assert on_sphere.sum() == 12 * n * n // (8 if octant else 1)
    if octant:
        flat = np.any(np.abs(m.nodes[m.boundary_faces]).max(axis=1) < EPS, axis=1)
        assert np.all(on_sphere | flat)
    # Interface faces between the regions lie on the sphere of radius a.
    faces = np.sort(m.cells[:, meshes.FACES].reshape(-1, 3), axis=1)
    reg = np.repeat(m.regions, 4)
    key = faces @ np.array([m.num_nodes ** 2, m.num_nodes, 1], dtype=np.int64)
    order = np.argsort(key, kind="stable")
    k, rs = key[order], reg[order]
    pair = np.flatnonzero((k[1:] == k[:-1]) & (rs[1:] != rs[:-1]))
    assert len(pair) == 12 * n * n // (8 if octant else 1)
    np.testing.assert_allclose(r[faces[order][pair]], A_IN, rtol=1e-12)
    full = 8 if octant else 1
    vol_in = m.volumes()[m.regions == 0].sum() * full
    assert vol_in == pytest.approx(4 / 3 * np.pi, rel=6.0 / n ** 2)


def test_ball_and_boundary_part_reject_bad_input():
    with pytest.raises(ValueError, match="even"):
        meshes.ball(1.0, 5)
    with pytest.raises(ValueError, match="radii"):
        meshes.ball(1.0, 4, [2.0])
    m = meshes.box(shape=(2, 2, 2))
    nodes, edges = m.boundary_part(lambda c: c[:, 2] > 1 - EPS)
    np.testing.assert_array_equal(nodes, np.flatnonzero(np.isclose(m.nodes[:, 2], 1.0)))
    top = np.isclose(m.nodes[m.edges, 2], 1.0).all(axis=1)
    np.testing.assert_array_equal(edges, np.flatnonzero(top))
    with pytest.raises(ValueError, match="one boolean"):
        m.boundary_part(lambda c: np.ones(3, bool))


# -- linear sphere: convergence to the analytic interior field ---------------------------

EXACT = {"scalar": 3 * H0 / ((MU_R + 2) - (MU_R - 1) * F),                 # H_in, A/m
         "vector": 3 * MU_R * MU0 * H0 / ((MU_R + 2) + 2 * (MU_R - 1) * F)}   # B_in, T


def linear_sphere_field(formulation, n, degree=1, octant=True):
    """The mean interior field (H or B) of the linear sphere, and the Newton report."""
    if formulation == "scalar":
        m, sol = scalar_sphere(n, degree, linear_materials("mu"), octant)
        return sol.mean_H(0), sol.report
    m, sol = vector_sphere(n, linear_materials("nu"), octant)
    return sphere_mean_B(sol, m), sol.report


@pytest.mark.parametrize("formulation, degree, finest, ratio", [
    ("scalar", 1, 0.015, 4.0), ("scalar", 2, 3e-4, 16.0), ("vector", 1, 0.012, 4.0)])
def test_linear_sphere_converges_to_the_analytic_field(formulation, degree, finest, ratio):
    exact, errors = EXACT[formulation], []
    for n in (4, 8, 12):
        field, report = linear_sphere_field(formulation, n, degree)
        assert report.converged and report.iterations == 1
        errors.append(abs(field[2] / exact - 1))
        # The octant's interior field points along z.
        assert formulation == "vector" or np.hypot(field[0], field[1]) < errors[-1] * exact
    assert errors[0] > errors[1] > errors[2] and errors[2] < finest
    # Roughly second order (P1) and third order (P2) in h ~ 1/n.
    assert errors[0] / errors[2] > ratio


def test_second_order_edges_on_the_linear_sphere():
    # Measured (n = 4 / 8 / 12 / 16 / 20): degree 1 -5.6e-2 / -1.6e-2 / -8.4e-3 /
    # -4.8e-3 / -3.0e-3; degree 2 -1.8e-3 / -1.7e-4 / -4.9e-5 / -1.7e-5 / -7.4e-6.
    err, size, mean = {}, {}, {}
    for n in (4, 8):
        for degree in (1, 2):
            m, sol = vector_sphere(n, linear_materials("nu"), degree=degree)
            mean[n, degree] = sphere_mean_B(sol, m)[2]
            err[n, degree] = abs(mean[n, degree] / EXACT["vector"] - 1)
            size[n, degree] = sol.report.unknowns
            assert sol.report.converged and sol.report.iterations == 1
    assert err[4, 2] < 0.1 * err[4, 1] and err[8, 2] < 0.05 * err[8, 1]
    assert err[8, 2] < err[4, 2] / 8                   # about third order in h
    # Fewer unknowns, smaller error: degree 2 at n = 4 against degree 1 at n = 8.
    assert size[4, 2] < size[8, 1] and err[4, 2] < 0.2 * err[8, 1]
    # The two degrees approach each other.
    assert abs(mean[8, 1] - mean[8, 2]) < 0.4 * abs(mean[4, 1] - mean[4, 2])
    # The ungauged iterative solve agrees with the gauged direct one.
    m, it = vector_sphere(4, linear_materials("nu"), degree=2, linear_solver="iterative")
    assert it.report.unknowns > size[4, 2]
    assert sphere_mean_B(it, m)[2] == pytest.approx(mean[4, 2], rel=1e-7)


@pytest.mark.parametrize("formulation, n, degree, rel, transverse", [
    ("scalar", 4, 2, 0.01, 2e-3), ("vector", 6, 1, 0.04, 5e-3)])
def test_whole_ball_without_mirror_planes(formulation, n, degree, rel, transverse):
    # The condition on the whole surface; the Kuhn split is not mirror
    # symmetric, so small transverse parts remain.
    field, _ = linear_sphere_field(formulation, n, degree, octant=False)
    assert field[2] == pytest.approx(EXACT[formulation], rel=rel)
    np.testing.assert_allclose(field[:2], 0.0, atol=transverse * EXACT[formulation])


# -- nonlinear steel sphere --------------------------------------------------------------

def _observed_orders(report):
    e = report.residuals / report.scale
    e = e[e > 1e-13]                       # above the rounding floor
    return np.log(e[2:] / e[1:-1]) / np.log(e[1:-1] / e[:-2]), e


@pytest.mark.parametrize("formulation", ["scalar", "vector", "vector-2"])
def test_nonlinear_steel_sphere_newton_converges_quadratically(formulation):
    # Deep in saturation: mu_r of the steel falls far below its initial value.
    steel = materials.steel("M270-35A")
    H0_of[0] = 6e5
    try:
        if formulation == "scalar":
            m, sol = scalar_sphere(8, 2, {0: steel, 1: materials.vacuum()}, rtol=1e-12)
            exact = interior_scalar(steel.permeability().evaluate_B)
            got = sol.mean_H(0)[2]
            tol = 0.01
        else:
            degree = 2 if formulation == "vector-2" else 1
            m, sol = vector_sphere(8 // degree, {0: steel, 1: materials.vacuum()},
                                   rtol=1e-12, degree=degree)
            exact = interior_vector(steel.reluctance().evaluate_H)
            got = sphere_mean_B(sol, m)[2]
            tol = 0.02 if degree == 1 else 0.003
    finally:
        H0_of[0] = H0
    rep = sol.report
    assert rep.converged and 3 <= rep.iterations <= 12
    assert got == pytest.approx(exact, rel=tol)
    orders, e = _observed_orders(rep)
    # The last steps are quadratic: the order tends to 2 and e_{k+1} / e_k^2 stays bounded.
    assert orders[-1] > 1.6
    assert np.all(e[-2:] / e[-3:-1] ** 2 < 100.0)
    assert np.all([s.step == 1.0 for s in rep.steps[-3:]])


# -- coils without iron ------------------------------------------------------------------

def test_coil_in_air_total_field_is_the_biot_savart_field():
    mesh = meshes.box((-0.2, -0.2, -0.2), (0.2, 0.2, 0.2), (5, 5, 6),
                      regions=[(1, lambda c: c[:, 2] > 0.05)])
    coil = coils.loop(0.08, 48, current=250.0, strand_radius=2e-3)
    # Region 1 is vacuum written as a piecewise cubic, so its elements go through the
    # source-field assembly (nu0 - nu = 0 there) rather than the vacuum shortcut.
    nu0_curve = materials.CubicReluctance([[0.0], [0.0], [0.0], [NU0]], [0.0, 50.0])
    pb = solvers.ReducedVectorPotential(mesh, {0: materials.vacuum(), 1: nu0_curve}, coil)
    parts = pb._source_parts()
    assert len(parts[1][2]) > 0 and len(parts[0][2]) == 0
    x0 = np.random.default_rng(3).normal(scale=1e-4, size=pb.num_dofs)
    sol = pb.solve(x0=x0, rtol=1e-12)
    assert sol.report.converged
    ref = np.array([[0.1, 0.2, 0.3], [0.6, 0.1, 0.1], [0.25, 0.25, 0.25]])
    pts, B = sol.B(ref)
    _, Br = sol.reaction_B(ref)
    assert np.abs(Br).max() < 1e-10 * np.abs(B).max()
    np.testing.assert_allclose(B, reference.biot_savart(coil.segments, pts, 250.0, 2e-3),
                               rtol=1e-9, atol=1e-12 * np.abs(B).max())
    try:
        import magpylib
    except ImportError:
        return
    verts = np.vstack([coil.segments[:, :3], coil.segments[-1:, 3:]])
    ml = magpylib.current.Polyline(current=250.0, vertices=verts)
    np.testing.assert_allclose(B, ml.getB(pts), rtol=1e-6, atol=1e-9 * np.abs(B).max())


# -- gauge, linear solves, Newton driver, inputs -----------------------------------------

def test_tree_gauge_spans_the_free_nodes_and_field_is_gauge_independent():
    m = sphere(4)
    mats = linear_materials("nu")
    pb = solvers.ReducedVectorPotential(m, mats, [0, 0, MU0 * H0], dirichlet=VECTOR_DIRICHLET)
    grounded = np.unique(m.edges[pb.fixed_edges])
    assert len(pb.tree_edges) == m.num_nodes - len(grounded)
    assert not np.intersect1d(pb.tree_edges, pb.fixed_edges).size
    # With the grounded nodes merged into one root, the tree reaches every free node;
    # with |tree| = |free nodes| it then has no cycle.
    T = m.edges[pb.tree_edges]
    lab = np.arange(m.num_nodes)
    lab[grounded] = grounded[0]
    G = sp.coo_array((np.ones(len(T)), (lab[T[:, 0]], lab[T[:, 1]])),
                     shape=(m.num_nodes,) * 2)
    _, comp = connected_components(G, directed=False)
    assert len(np.unique(comp[np.setdiff1d(np.arange(m.num_nodes), grounded[1:])])) == 1
    gauged = pb.solve()
    # Without a gauge the system is singular but consistent; conjugate gradients
    # converge on it to some potential with the same curl.
    free = solvers.ReducedVectorPotential(m, mats, [0, 0, MU0 * H0], dirichlet=VECTOR_DIRICHLET,
                                          gauge=False)

    def cg_solve(A, b):
        x, info = cg(A, b, rtol=1e-13, maxiter=20000)
        assert info == 0
        return x

    ungauged = free.solve(solve=cg_solve, line_search=False, max_iter=1)
    _, B1 = gauged.B()
    _, B2 = ungauged.B()
    np.testing.assert_allclose(B2, B1, rtol=0, atol=1e-7 * np.abs(B1).max())
    with pytest.raises(ValueError, match="gauge"):
        free.solve()


def test_tree_gauge_without_fixed_edges_keeps_one_root_per_part():
    m = meshes.box(shape=(2, 1, 1))
    two = np.vstack([m.edges, m.edges + m.num_nodes])
    tree = solvers.tree_gauge(two, 2 * m.num_nodes)
    assert len(tree) == 2 * (m.num_nodes - 1)
    with pytest.raises(ValueError):
        solvers.tree_gauge(m.edges, m.num_nodes - 1)
    # Node pairs are keyed by num_nodes^2, which overflows 32 bits above 46341 nodes:
    # on a path the tree is every edge but the grounded one.
    N = 60_000
    path = np.column_stack([np.arange(N - 1), np.arange(1, N)])
    np.testing.assert_array_equal(solvers.tree_gauge(path, N, [0]), np.arange(1, N - 1))


@pytest.mark.parametrize("ordering", ["metis", "mmd"])
def test_direct_solver_orders_give_the_same_solution(ordering):
    m, sol = scalar_sphere(4, 1, linear_materials("mu"))
    pb = sol.problem
    K, dK = pb.matrices(sol.phi)
    A = sp.csr_array(K + dK)[pb.free][:, pb.free]
    b = np.random.default_rng(5).normal(size=len(pb.free))
    perm = solvers.metis_order(A)
    np.testing.assert_array_equal(np.sort(perm), np.arange(len(pb.free)))
    lu = solvers.DirectSolver(ordering)
    for _ in range(2):                   # the second set-up reuses the order
        lu.setup(A)
        x = lu.solve(b)
        np.testing.assert_allclose(A @ x, b, rtol=0, atol=1e-10 * np.abs(b).max())


def test_newton_report_and_failures():
    steel = materials.steel("1010")
    m = sphere(4)
    H0_of[0] = 3e5
    try:
        with pytest.warns(RuntimeWarning, match="did not converge after 1 step"):
            _, sol = scalar_sphere(4, 1, {0: steel, 1: materials.vacuum()}, max_iter=1)
    finally:
        H0_of[0] = H0
    rep = sol.report
    assert not rep.converged and rep.iterations == 1
    text = rep.table()
    assert "NOT converged" in text and text.count("\n") == 3
    lines = []
    _, ok = scalar_sphere(4, 1, linear_materials("mu"), log=lines.append)
    assert lines[0].split()[:2] == ["iter", "|residual|"] and len(lines) == 3
    with pytest.raises(ValueError, match=r"region\(s\) \[1\]"):
        solvers.ScalarPotential(m, {0: materials.vacuum()}, [0, 0, 1.0])
    with pytest.raises(TypeError, match="reluctance"):
        solvers.ReducedVectorPotential(m, {0: materials.ConstantPermeability(), 1: 3.0},
                                       [0, 0, 1.0])
    with pytest.raises(ValueError, match="x0"):
        ok.problem.solve(x0=np.zeros(3))
    with pytest.raises(ValueError, match="degree"):
        solvers.ScalarPotential(m, linear_materials("mu"), [0, 0, 1.0], degree=3)


def test_source_fields():
    pts = np.random.default_rng(2).uniform(-1, 1, size=(7, 3))
    np.testing.assert_array_equal(solvers.source_field([0, 0, 2.0], pts)[:, 2], 2.0)
    np.testing.assert_array_equal(solvers.source_field(None, pts), 0.0)
    a = coils.loop(0.3, current=10.0, strand_radius=1e-3)
    b = a.translated([0.0, 0.0, 0.5])
    both = solvers.source_field([a, b], pts)
    np.testing.assert_allclose(both, a.field(pts) + b.field(pts), rtol=1e-10, atol=1e-18)
    np.testing.assert_allclose(solvers.source_field(lambda p: 2 * p, pts), 2 * pts)
    with pytest.raises(ValueError, match="shape"):
        solvers.source_field(lambda p: p[:, :2], pts)
    with pytest.raises(TypeError):
        solvers.source_field([1.0, 2.0], pts)


@pytest.mark.parametrize("case, match", [
    ("scale-nan", "source_scale"), ("max-iter-negative", "max_iter"),
    ("max-iter-fraction", "max_iter"), ("rtol-zero", "rtol"), ("rtol-inf", "rtol"),
    ("H0-nan", "H0"), ("H0-vector-nan", "H0"), ("potential-nan", "non-finite"),
    ("scalar-max-iter", "max_iter")])
def test_solves_refuse_non_finite_sources_and_bad_options(case, match):
    m = sphere(4)
    vec = solvers.ReducedVectorPotential(m, linear_materials("nu"), [0, 0, 1.0])
    sc = solvers.ScalarPotential(m, linear_materials("mu"), [0, 0, 1.0])
    run = {"scale-nan": lambda: vec.solve(float("nan")),
           "max-iter-negative": lambda: vec.solve(max_iter=-1),
           "max-iter-fraction": lambda: vec.solve(max_iter=2.5),
           "rtol-zero": lambda: vec.solve(rtol=0.0),
           "rtol-inf": lambda: vec.solve(rtol=float("inf")),
           "H0-nan": lambda: solvers.uniform_field_potential([np.nan, 0, 0]),
           "H0-vector-nan": lambda: solvers.solve_scalar_potential(
               m, linear_materials("mu"), [np.nan, 0, 0]),
           "potential-nan": lambda: solvers.solve_scalar_potential(
               m, linear_materials("mu"), lambda p: np.full(len(p), np.inf)),
           "scalar-max-iter": lambda: sc.solve(max_iter=-1)}[case]
    with pytest.raises(ValueError, match=match):
        run()


def test_mutual_inductance_in_air_and_inductance_refuses_other_coils():
    from fluxkern_tools import circuits
    mesh = meshes.box((-0.2, -0.2, -0.2), (0.2, 0.2, 0.2), (5, 5, 5))
    src = coils.loop(0.08, 32, current=2.0, center=(0, 0, -0.03))
    other = coils.loop(0.06, 32, current=5.0, center=(0, 0, 0.04))
    sol = solvers.ReducedVectorPotential(mesh, {0: materials.vacuum()}, src).solve(0.5)
    M = circuits.mutual_inductance(src, other)
    assert M > 0 and sol.mutual_inductance(other) == pytest.approx(M, rel=1e-9)
    with pytest.raises(ValueError, match="mutual_inductance"):
        sol.inductance(other)
    assert sol.inductance(src).apparent == pytest.approx(
        circuits.self_inductance(src, 6), rel=1e-9)
