"""Linear-solver backends of the Newton drivers: direct against iterative, the
auxiliary-space pieces, forcing terms and failures."""

import warnings

import numpy as np
import pytest
import scipy.sparse as sp

from fluxkern_tools import coils, elements, materials, meshes, solvers, windings
from fluxkern_tools.materials import MU0
from fluxkern_tools.solvers.linear_backends import choose_linear_solver

STEEL = materials.steel("M270-35A")


def cube_mesh(n=6):
    return meshes.box((-0.2,) * 3, (0.2,) * 3, (n,) * 3,
                      regions=[(1, lambda c: np.all(np.abs(c) < 0.07, axis=1))])


def mean_B(sol, mesh):
    idx = np.flatnonzero(mesh.regions == 1)
    _, B = sol.B(None, idx)
    vol = mesh.volumes()[idx]
    return (B * vol[:, None]).sum(axis=0) / vol.sum()


@pytest.mark.parametrize("formulation, degree, steel", [
    ("vector", 1, True), ("vector", 1, False), ("vector", 2, True), ("scalar", 1, True),
    ("scalar", 2, False)])
def test_iterative_and_direct_solves_agree(formulation, degree, steel):
    m = cube_mesh()
    mats = {0: materials.vacuum(), 1: STEEL if steel else materials.linear(1000.0)}
    out = {}
    for kind in ("direct", "iterative"):
        if formulation == "vector":
            sol = solvers.solve_reduced_vector_potential(m, mats, [0, 0, 1.5],
                                                         linear_solver=kind, degree=degree)
        else:
            sol = solvers.solve_scalar_potential(m, mats, [0, 0, 1.5 / MU0], degree=degree,
                                                 linear_solver=kind)
        assert sol.report.converged and sol.report.linear_solver == kind
        out[kind] = (mean_B(sol, m), sol.report)
    (Bd, rd), (Bi, ri) = out["direct"], out["iterative"]
    np.testing.assert_allclose(Bi, Bd, rtol=1e-6, atol=1e-6 * np.abs(Bd).max())
    assert abs(ri.iterations - rd.iterations) <= 1
    if not steel:
        assert ri.iterations == 1          # a linear problem: one update, solved tightly
    else:
        # Inexact Newton: the first update is solved loosely, later ones tighter.
        etas = [s.eta for s in ri.steps[:-1]]
        assert etas[0] == pytest.approx(0.1) and etas[-1] < (1e-2 if degree == 1 else 2e-2)
    assert np.all(ri.linear_iterations > 0) and np.all(rd.linear_iterations == 0)
    t = ri.times()
    assert t["assembly"] > 0 and t["setup"] > 0 and t["solve"] > 0


def test_gradients_lie_in_the_curl_curl_kernel_and_interpolation_is_exact():
    m = meshes.box((0, 0, 0), (1, 1.3, 0.7), (3, 4, 2))
    rng = np.random.default_rng(1)
    m.nodes[:] += rng.uniform(-0.04, 0.04, m.nodes.shape)   # a distorted mesh
    pb = solvers.ReducedVectorPotential(m, {0: STEEL}, [0.3, 0.2, 1.4])
    K, dK, _ = pb.matrices(rng.normal(scale=1e-3, size=pb.num_dofs))
    G = solvers.discrete_gradient(m.edges, m.num_nodes)
    g = G @ rng.normal(size=m.num_nodes)
    scale = abs(K + dK).max() * np.abs(g).max()
    assert np.abs((K + dK) @ g).max() < 1e-12 * scale
    # The gradient of a linear function is its constant field's interpolant.
    c = np.array([0.7, -1.1, 0.4])
    np.testing.assert_allclose(G @ (m.nodes @ c), elements.interpolate_edges(
        m.nodes, m.edges, lambda p: np.broadcast_to(c, p.shape)), atol=1e-14)
    Pi = solvers.nedelec_interpolation(m.nodes, m.edges)
    exact = elements.interpolate_edges(m.nodes, m.edges, lambda p: np.broadcast_to(c, p.shape))
    np.testing.assert_allclose(sum(c[k] * (Pi[k] @ np.ones(m.num_nodes)) for k in range(3)),
                               exact, atol=1e-15)
    # Linear fields too: the edge integral of a linear field is its midpoint value.
    lin = lambda p: p @ np.array([[1.0, 2, 0], [0, -1, 3], [0.5, 0, 1]])
    V = lin(m.nodes)
    np.testing.assert_allclose(sum(Pi[k] @ V[:, k] for k in range(3)),
                               elements.interpolate_edges(m.nodes, m.edges, lin), atol=1e-14)


def test_failures_are_reported_not_returned():
    m = cube_mesh(5)
    mats = {0: materials.vacuum(), 1: STEEL}
    with pytest.raises(solvers.LinearSolveError, match="did not converge"):
        solvers.solve_reduced_vector_potential(
            m, mats, [0, 0, 1.5], linear_solver=solvers.IterativeSolver(maxiter=1))
    # An indefinite matrix breaks CG down; a singular one stops the factorisation.
    A = sp.diags([1.0, -1.0, 2.0]).tocsr()
    it = solvers.IterativeSolver(preconditioner=_Identity())
    it.configure(solvers.LinearContext("nodal", np.zeros((3, 3))))
    it.setup(A)
    with warnings.catch_warnings(record=True) as shown:
        warnings.simplefilter("always")
        with pytest.raises(solvers.LinearSolveError, match="positive definite"):
            it.solve(np.array([0.5, 1.0, 0.0]), 1e-10)   # p.Ap < 0 at once
    assert not shown                  # pyamg's own breakdown warning stays inside
    d = solvers.DirectSolver()
    with pytest.raises(solvers.LinearSolveError, match="singular"):
        d.setup(sp.csr_matrix((3, 3)))
    with pytest.raises(ValueError, match="linear_solver"):
        solvers.solve_scalar_potential(m, {0: materials.vacuum(), 1: STEEL}, [0, 0, 1.0],
                                       linear_solver="cholesky")


class _Identity:
    memory = 0

    def setup(self, A):
        pass

    def __call__(self, r):
        return r


def test_auto_choice_and_forcing_terms():
    lim = solvers.AUTO_ITERATIVE_ABOVE
    assert choose_linear_solver("auto", None, "edge", lim["edge"]).name == "direct"
    assert choose_linear_solver("auto", None, "edge", lim["edge"] + 1).name == "iterative"
    assert choose_linear_solver("auto", None, "nodal", lim["nodal"] + 1).name == "iterative"
    assert choose_linear_solver("direct", lambda A, b: b, "edge", 10).name == "callable"
    # Eisenstat-Walker: 0.1 first, then 0.9 (ratio)^2, kept above the floor and from
    # falling faster than the previous term squared while that is large.
    assert solvers.forcing_term(1.0, float("nan"), float("nan"), 0.0) == 0.1
    assert solvers.forcing_term(0.01, 1.0, 0.1, 0.0) == pytest.approx(0.9e-4)
    assert solvers.forcing_term(0.01, 1.0, 0.1, 1e-3) == 1e-3
    assert solvers.forcing_term(0.5, 1.0, 0.1, 0.0) == 0.1


@pytest.mark.parametrize("form,degree,pattern_from_elements", [
    ("vector", 1, True), ("vector", 2, True), ("scalar", 1, True), ("vector", 1, False)])
def test_constant_regions_kept_between_steps_give_the_full_system(form, degree,
                                                                  pattern_from_elements):
    m = cube_mesh(4)
    m.regions[m.centroids()[:, 0] > 0.1] = 2          # a linear iron region with source
    if form == "vector":
        pb = solvers.ReducedVectorPotential(
            m, {0: materials.vacuum(), 1: STEEL, 2: materials.linear(300.0)}, [0.2, 0, 1.5],
            degree=degree)
        frees, amp = [pb.unfixed, pb.free, pb.free, pb.unfixed], 1e-3
    else:
        pb = solvers.ScalarPotential(m, {0: materials.vacuum(), 1: STEEL,
                                         2: materials.linear(300.0)}, [0, 0, 1e6])
        frees, amp = [pb.free, pb.free, pb.free], 1e3
    if not pattern_from_elements:
        pb._sum.dofs = None                       # pattern from the first step's nonzeros
    rng = np.random.default_rng(4)
    # later calls reuse the kept part, and the third the nonlinear entries' map
    for k, free in enumerate(frees):
        scale = 1.0 if k == 0 else 0.3
        x = np.zeros(pb.num_dofs)
        if k:                                    # the first step has no Newton term
            x[free] = rng.normal(scale=amp, size=len(free))
        J, Kx, rhs = pb._sum.system(x, scale, free)
        if form == "vector":
            K, dK, r_full = pb.matrices(x, scale)
        else:
            (K, dK), r_full = pb.matrices(x), np.zeros(pb.num_dofs)
        ref = sp.csr_array(K + dK)[free][:, free]
        assert abs(J - ref).max() <= 1e-12 * abs(ref).max()
        np.testing.assert_allclose(Kx, K @ x, rtol=1e-12, atol=1e-12 * np.abs(K @ x).max())
        np.testing.assert_allclose(rhs, r_full, rtol=1e-12, atol=1e-12 * np.abs(r_full).max())


def test_iterative_solves_are_repeatable():
    # pyamg draws a random start vector; the solver fixes it and leaves the caller's
    # random stream alone.
    m = cube_mesh(5)
    mats = {0: materials.vacuum(), 1: STEEL}
    np.random.seed(7)
    before = np.random.get_state()[1].copy()
    runs = [solvers.solve_reduced_vector_potential(m, mats, [0, 0, 1.5],
                                                   linear_solver="iterative").x
            for _ in range(2)]
    np.testing.assert_array_equal(runs[0], runs[1])
    np.testing.assert_array_equal(np.random.get_state()[1], before)


def test_kept_multigrid_set_up_is_refreshed_and_rebuilt_when_it_degrades():
    import pyamg
    from fluxkern_tools.solvers.amg import SmoothedAggregation

    A1 = pyamg.gallery.poisson((24, 24, 24), format="csr")
    n = A1.shape[0]
    d = np.ones(n)
    d[: n // 2] = 1e3                      # a strong change in half of the domain
    A2 = (sp.diags(d) @ A1 @ sp.diags(d)).tocsr()
    it = solvers.IterativeSolver(preconditioner=SmoothedAggregation())
    it.configure(solvers.LinearContext("nodal", np.zeros((n, 3))))
    b = np.random.default_rng(0).normal(size=n)
    rebuilt = []
    for k, A in enumerate((A1, A2, A2)):
        it.setup(A)
        rebuilt.append(it.preconditioner.rebuilt)
        if k == 1:                         # refreshed: the coarse operators are A2's
            lvl = it.preconditioner.ml.levels
            C = lvl[0].R @ A2 @ lvl[0].P
            assert abs(lvl[1].A - C).max() <= 1e-12 * abs(C).max()
        x = it.solve(b, 1e-8)
        assert np.linalg.norm(b - A @ x) <= 1e-8 * np.linalg.norm(b)
    # The refreshed hierarchy converged too slowly, so the next set-up builds anew.
    assert rebuilt == [True, False, True]



def test_adaptive_reuse_keeps_the_hierarchy_while_cg_keeps_its_rate():
    import pyamg
    from fluxkern_tools.solvers.amg import SmoothedAggregation

    A1 = pyamg.gallery.poisson((20, 20, 20), format="csr")
    n = A1.shape[0]
    d = np.ones(n)
    d[: n // 2] = 1e3
    A2 = (sp.diags(d) @ A1 @ sp.diags(d)).tocsr()
    it = solvers.IterativeSolver(preconditioner=SmoothedAggregation(), reuse="adaptive")
    it.configure(solvers.LinearContext("nodal", np.zeros((n, 3))))
    b = np.random.default_rng(0).normal(size=n)
    done = []
    for A in (A1, 1.01 * A1, A2, A2):
        it.setup(A)
        x = it.solve(b, 1e-8)
        done.append(it.stats.preconditioner)
        assert np.linalg.norm(b - A @ x) <= 1e-8 * np.linalg.norm(b)
    # A matrix close to the last one keeps the hierarchy; under the strong change the
    # kept one exceeds its iteration budget and is set up again within the solve.
    assert done[:3] == ["build", "keep", "retry"] and done[3] != "retry"
    with pytest.raises(ValueError, match="reuse"):
        solvers.IterativeSolver(reuse="always")
    # Gauss-Seidel alone first: past its budget the multigrid takes over for good.
    it = solvers.IterativeSolver(preconditioner=SmoothedAggregation(), reuse="smoother")
    it.smoother_budget = 5
    it.configure(solvers.LinearContext("nodal", np.zeros((n, 3))))
    done = []
    for rtol in (0.5, 1e-8, 1e-8):
        it.setup(A1)
        x = it.solve(b, rtol)
        done.append(it.stats.preconditioner)
        assert np.linalg.norm(b - A1 @ x) <= rtol * np.linalg.norm(b)
    assert done == ["smoother", "retry", "refresh"]
    # The default policy puts the smoother first only when no preconditioner is given.
    it = solvers.IterativeSolver(preconditioner=SmoothedAggregation())
    it.configure(solvers.LinearContext("nodal", np.zeros((n, 3))))
    it.setup(A1)
    assert it.reuse == "auto" and it.stats.preconditioner == "build"


@pytest.mark.parametrize("formulation, policy", [
    ("vector", "adaptive"), ("scalar", "adaptive"), ("vector", "smoother"),
    ("scalar", "smoother"), ("vector", "auto"), ("scalar", "auto")])
def test_set_up_policies_give_the_same_solution_and_log_their_choice(formulation, policy):
    m = cube_mesh(5)
    mats = {0: materials.vacuum(), 1: STEEL}
    out = []
    for reuse in ("refresh", policy):
        if formulation == "vector":
            pb = solvers.ReducedVectorPotential(m, mats, [0, 0, 1.5])
            backend, _ = pb.linear_backend("iterative")
        else:
            pb = solvers.ScalarPotential(m, mats, [0, 0, 1.5 / MU0])
            backend = pb.linear_backend("iterative")
        backend.reuse = reuse
        sol = pb.solve(linear_solver=backend)
        rep = sol.report
        assert rep.converged
        kinds = [s.preconditioner for s in rep.steps[:-1]]
        first = "smoother" if reuse in ("smoother", "auto") else "build"
        assert kinds[0] == first and rep.table().splitlines()[1].split()[-1] == first
        assert set(kinds) <= {"build", "refresh", "keep", "retry", "smoother"}
        assert rep.peak_phase()[1] in {"initial assembly", "setup", "solve", "assembly"}
        out.append(mean_B(sol, m))
    np.testing.assert_allclose(out[1], out[0], rtol=1e-6)


def test_plain_solve_gets_the_gauged_system():
    # A solve(A, b) hook is a direct solve: handed the singular ungauged system it
    # returned a wrong potential (and Newton reported convergence).
    from scipy.sparse.linalg import spsolve

    mats = {0: materials.linear(10.0), 1: materials.vacuum()}
    m = meshes.ball(3.0, 4, [1.0], octant=True)
    ref = solvers.ReducedVectorPotential(m, mats, [0, 0, 1.0]).solve(linear_solver="direct")
    sol = solvers.ReducedVectorPotential(m, mats, [0, 0, 1.0]).solve(solve=spsolve)
    assert sol.report.converged
    np.testing.assert_allclose(sol.x, ref.x, rtol=0, atol=1e-10 * abs(ref.x).max())


@pytest.fixture(scope="module")
def frame():
    """Steel picture-frame core with a coil on one limb (7k free edges)."""
    rr = lambda c: np.maximum(abs(c[:, 0]), abs(c[:, 1]))
    core = lambda c: (rr(c) > 0.03) & (rr(c) < 0.06) & (abs(c[:, 2]) < 0.015)
    ax = meshes.axis_with_breaks([-0.15, -0.06, -0.03, 0.03, 0.06, 0.15],
                                 [0.045, 0.015, 0.015, 0.015, 0.045])
    az = meshes.axis_with_breaks([-0.12, -0.015, 0.015, 0.12], [0.045, 0.015, 0.045])
    mesh = meshes.box_mesh(ax, ax, az, regions=[(1, core)])
    coil = coils.winding(windings.RoundedRectangle(0.05, 0.045, 0.005), current=0.5,
                         turns=100, width=0.006, height=0.02, grid=(2, 2),
                         origin=(0.045, 0, 0), axis=(0, 1, 0))
    return solvers.ReducedVectorPotential(mesh, {0: materials.vacuum(), 1: STEEL}, coil)


def test_steel_frame_inductance_and_tight_tolerance_under_cg(frame):
    # The singular edge system's right-hand sides carry a rounding-level part along
    # the gradients; CG broke down on it instead of stopping at the rounding floor.
    sol = frame.solve(linear_solver="iterative")
    it, direct = sol.inductance(), sol.inductance(linear_solver="direct")
    assert it.apparent == pytest.approx(direct.apparent, rel=1e-8)
    assert it.incremental == pytest.approx(direct.incremental, rel=1e-6)
    # The linkage is read from the potential without gradients, so the gauge used by
    # the solve does not change it.
    gauged = frame.solve(linear_solver="direct")
    assert gauged.flux_linkage() == pytest.approx(sol.flux_linkage(), rel=1e-8)
    rep = sol.report
    assert rep.peak_rss > 2**20 and "peak RSS" in rep.summary() and "peak RSS" in rep.table()
    with pytest.warns(RuntimeWarning, match="did not converge.*times the target"):
        tight = frame.solve(linear_solver="iterative", rtol=1e-12)
    assert not tight.report.converged
    with pytest.raises(solvers.ConvergenceError) as err:
        frame.solve(linear_solver="iterative", rtol=1e-12, check=True)
    assert err.value.solution.report is err.value.report


@pytest.mark.parametrize("kind, error", [("direct", solvers.LinearSolveError),
                                         ("iterative", ValueError)])
def test_permeability_outside_its_fitted_range_is_named(kind, error):
    # At 3e9 A/m the fitted curve gives mu = 0 in the steel: the factorisation fails,
    # and CG converges on the consistent singular system to a meaningless potential.
    with pytest.raises(error, match="curve of region 1 left its fitted range"):
        solvers.solve_scalar_potential(cube_mesh(9), {0: materials.vacuum(), 1: STEEL},
                                       [0, 0, 3e9], linear_solver=kind)
