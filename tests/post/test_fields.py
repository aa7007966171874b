"""Point location, fields at points, and the engineering results of solutions."""

from functools import lru_cache

import numpy as np
import pytest

from fluxkern_tools import coils, locate, materials, meshes, results, solvers
from fluxkern_tools.materials import MU0

RNG = np.random.default_rng(5)


def test_point_location_inside_on_faces_and_outside():
    m = meshes.box_mesh(meshes.graded_axis(0, 1, 6, 1.5), [0, 0.3, 1.0], [0, 0.5, 1])
    el = RNG.integers(0, m.num_el, 300)
    lam = RNG.dirichlet(np.ones(4), 300)
    lam[:50, 0] = 0.0                                  # on faces
    lam[:50] /= lam[:50].sum(axis=1, keepdims=True)
    lam[50:60] = np.eye(4)[RNG.integers(0, 4, 10)]     # on vertices
    pts = np.einsum("pa,pak->pk", lam, m.nodes[m.cells[el]])
    out = np.array([[1.5, 0.5, 0.5], [0.5, -1e-6, 0.5], [np.nan, 0, 0]])
    found, bary = locate.PointLocator(m).find(np.vstack([pts, out]))
    assert np.all(found[:300] >= 0) and np.all(found[300:] == -1)
    # The element found holds the point: same position from its barycentrics.
    back = np.einsum("pa,pak->pk", bary[:300], m.nodes[m.cells[found[:300]]])
    np.testing.assert_allclose(back, pts, atol=1e-12)
    assert np.all(bary[:300] >= -1e-10)
    np.testing.assert_array_equal(found[60:300], el[60:])    # interior: the only element
    assert np.isnan(bary[300:]).all()
    with pytest.raises(ValueError, match="outside"):
        locate.locate(m, out[:1], outside="raise")
    with pytest.raises(ValueError, match="non-finite"):     # not "outside the mesh"
        locate.locate(m, out, outside="raise")


A_IN, R_OUT, MU_R, H0 = 1.0, 3.0, 10.0, 1000.0


def _sphere_field(p):
    """Analytic B of a sphere (mu_r, radius A_IN) in a uniform field with A x n = 0 on
    r = R_OUT (see test_solvers)."""
    F = (A_IN / R_OUT) ** 3
    B_in = 3 * MU_R * MU0 * H0 / ((MU_R + 2) + 2 * (MU_R - 1) * F)
    C = B_in / (MU_R * MU0)
    D = (B_in / MU0 + 2 * C) / 3
    E = A_IN ** 3 * (D - C)
    r = np.linalg.norm(p, axis=1)[:, None]
    H = np.array([0.0, 0.0, D]) - E * (np.array([0, 0, 1.0]) / r ** 3
                                       - 3 * p[:, 2:] * p / r ** 5)
    return np.where(r < A_IN, [0.0, 0.0, B_in], MU0 * H)


@lru_cache(maxsize=None)
def _sphere_solution(n, degree=1):
    m = meshes.ball(R_OUT, n, [A_IN])
    return solvers.solve_reduced_vector_potential(
        m, {0: materials.linear(MU_R), 1: materials.vacuum()}, [0.0, 0.0, MU0 * H0],
        degree=degree)


def test_B_at_on_the_magnetised_sphere_converges_to_the_analytic_field():
    d = RNG.normal(size=(1000, 3))
    d /= np.linalg.norm(d, axis=1)[:, None]
    r = np.concatenate([RNG.uniform(0.0, 0.95, 500), RNG.uniform(1.05, 2.9, 500)])
    p = d * r[:, None]
    exact = _sphere_field(p)
    rms = {}
    for n in (4, 6):
        sol = _sphere_solution(n)
        for smooth in (False, True):
            e = np.linalg.norm(sol.B_at(p, smooth=smooth) - exact, axis=1)
            rms[n, smooth] = np.sqrt(np.mean(e ** 2)) / np.sqrt(np.mean(
                np.linalg.norm(exact, axis=1) ** 2))
    # Measured (rms over the points, relative to the rms field): raw 6.6 % (n = 4),
    # 4.0 % (n = 6), 2.6 % (n = 8); recovered 6.2 %, 3.4 %, 1.9 %.
    assert rms[6, False] < 0.045 and rms[6, True] < 0.037
    assert rms[6, False] < 0.7 * rms[4, False] and rms[6, True] < 0.6 * rms[4, True]
    # Second-order edges: B is linear in each element. Measured 1.65 % (n = 4), 0.71 %
    # (n = 6), 0.36 % (n = 8): second order, limited by the flat faces at the interface.
    sol2 = _sphere_solution(4, 2)
    e2 = np.linalg.norm(sol2.B_at(p) - exact, axis=1)
    assert np.sqrt(np.mean(e2 ** 2)) < 0.3 * rms[4, False] * np.sqrt(np.mean(
        np.linalg.norm(exact, axis=1) ** 2))
    np.testing.assert_array_equal(sol2.B_at(p[:5], smooth=True), sol2.B_at(p[:5]))
    # Points with their own classes give what the element's class table gives.
    q = RNG.dirichlet(np.ones(4), 6)
    el = np.repeat([0, 7, 100], 6)
    np.testing.assert_allclose(sol2.reaction_B_in(el, np.tile(q, (3, 1))),
                               sol2.reaction_B(q[:, 1:], [0, 7, 100])[1], rtol=1e-13)
    sol = _sphere_solution(4)
    H = sol.H_at(p[:3])
    np.testing.assert_allclose(H[0] * MU0 * (MU_R if r[0] < 1 else 1), sol.B_at(p[:1])[0])
    with pytest.warns(RuntimeWarning, match="outside"):
        assert np.isnan(sol.B_at([[0.0, 0.0, 5.0]])).all()
    for f, bad in [(sol.B_at, [np.nan, 0, 0]), (sol.H_at, [0, np.inf, 0]),
                   (sol.A_at, [[0, 0, 0], [0, 0, -np.inf]])]:
        with pytest.raises(ValueError, match="non-finite"):
            f(bad)


def test_scalar_potential_fields_at_points_and_energy():
    m = meshes.box((0, 0, 0), (1, 1, 1), (3, 3, 3))
    H = np.array([100.0, -50.0, 30.0])
    for degree in (1, 2):
        sol = solvers.solve_scalar_potential(m, {0: materials.linear(4.0)}, H, degree=degree)
        p = RNG.uniform(0, 1, (20, 3))
        np.testing.assert_allclose(sol.H_at(p), np.tile(H, (20, 1)), rtol=1e-9)
        np.testing.assert_allclose(sol.B_at(p, smooth=True), 4 * MU0 * np.tile(H, (20, 1)),
                                   rtol=1e-9)
        w = 0.5 * 4 * MU0 * H @ H
        assert sol.energy() == pytest.approx(w, rel=1e-9)
        assert sol.coenergy() == pytest.approx(w, rel=1e-9)


def test_energy_and_coenergy_are_legendre_pairs_for_steel():
    st = materials.steel("M270-35A")
    B = np.linspace(0, 2.4, 7)
    nu, mu = st.reluctance(), st.permeability()
    Hb = nu.evaluate_H(B)
    np.testing.assert_allclose(nu.energy_density(B) + nu.coenergy_density(B), B * Hb,
                               rtol=1e-12)
    # Both curves describe one material: the same co-energy at the same H.
    np.testing.assert_allclose(mu.coenergy_density(Hb[1:]), nu.coenergy_density(B[1:]),
                               rtol=1e-2)


@lru_cache(maxsize=None)
def _iron_and_coil(steel, h=0.02):
    """A steel slab below a loop in an air box; the loop lies inside the mesh."""
    xy = np.linspace(-0.2, 0.2, int(round(0.4 / (2 * h))) + 1)
    mesh = meshes.box_mesh(xy, xy,
                           meshes.axis_with_breaks([-0.2, -0.08, -0.02, 0.2], [2 * h, h, 2 * h]),
                           regions=[(1, lambda c: (np.abs(c[:, 0]) < 0.12)
                                     & (np.abs(c[:, 1]) < 0.12)
                                     & (c[:, 2] > -0.08) & (c[:, 2] < -0.02))])
    coil = coils.loop(0.06, 48, current=1.0, strand_radius=4e-3, center=(0, 0, 0.03))
    mat = materials.steel("M270-35A") if steel else materials.linear(200.0)
    return solvers.ReducedVectorPotential(mesh, {0: materials.vacuum(), 1: mat}, coil)


def test_force_on_iron_balances_the_coil_and_needs_air_around():
    pb = _iron_and_coil(False, 0.01)
    sol = pb.solve(source_scale=2000.0)
    F = sol.force(1)
    F2 = results.force(sol, 1, layers=2)
    assert F.force[2] > 0                           # the slab is pulled up to the coil
    # Newton's third law: the coil feels the slab's reaction field, downwards.
    # Measured: 0.885 N (one layer), 0.882 N (two), coil 0.896 N; on a mesh of
    # 20 mm 0.84 / 0.78 N, of 6.7 mm 0.896 / 0.892 N.
    react = lambda p: sol.B_at(p, smooth=True, part="reaction")
    Fc, _ = results.circuits.lorentz_force(sol.problem.source.with_current(2000.0), react)
    assert F.force[2] == pytest.approx(-Fc[2], rel=0.02)
    assert F2.force[2] == pytest.approx(F.force[2], rel=0.01)
    np.testing.assert_allclose(F.force[:2], 0, atol=0.02 * F.force[2])
    assert abs(F.torque_about([0, 0, 1])) < 1e-3 * F.force[2] * 0.1
    with pytest.raises(ValueError, match="not vacuum"):
        results.force(sol, results.region_mask(pb.mesh, 1) & (pb.mesh.centroids()[:, 0] > 0))
    with pytest.raises(ValueError, match="layer of air"):
        results.force(sol, [0, 1])                  # the whole mesh: no shell at all
    # A body reaching up to just below the loop: its shell holds the coil's current.
    below = pb.mesh.centroids()[:, 2] < 0.03 - 0.006
    with pytest.raises(ValueError, match="filaments pass through"):
        results.force(sol, below)


def test_force_between_coils_by_the_eggshell_in_air():
    # No iron: the total field is the two coils' Biot-Savart field; the stress in a
    # shell around the region holding coil b gives the force on b.
    a = coils.loop(0.05, 64, current=400.0, strand_radius=2e-3)
    b = coils.loop(0.04, 64, current=-300.0, strand_radius=2e-3, center=(0, 0, 0.05))
    box = lambda c: (np.abs(c[:, 0]) < 0.07) & (np.abs(c[:, 1]) < 0.07) & \
        (np.abs(c[:, 2] - 0.05) < 0.02)
    ax = meshes.axis_with_breaks([-0.1, -0.07, 0.07, 0.1], [0.01, 0.005, 0.01])
    mesh = meshes.box_mesh(ax, ax, np.linspace(0.0, 0.1, 21), regions=[(1, box)])
    sol = solvers.solve_reduced_vector_potential(
        mesh, {0: materials.vacuum(), 1: materials.vacuum()}, [a, b])
    F = sol.force(1).force
    ref, _ = results.circuits.lorentz_force(b, a)
    assert F[2] == pytest.approx(ref[2], rel=1e-2)


def test_inductance_with_iron_apparent_incremental_and_reciprocity():
    pb = _iron_and_coil(False)
    sol = pb.solve(source_scale=1.0)
    ind = sol.inductance()
    L0 = results.circuits.self_inductance(pb.source)
    assert ind.apparent > 1.02 * L0                  # the slab adds about 4 %
    assert ind.incremental == pytest.approx(ind.apparent, rel=1e-6)   # linear iron
    # Reciprocity: the reaction linkage int A_r . dl equals int B_r . H_s dV.
    q, w = results.quadrature.tetrahedron(4)
    pts, Br = sol.reaction_B(q)
    Hs = sol.source_B(pts) / MU0
    wts = (6 * pb.mesh.volumes()[:, None] * w).reshape(-1)
    assert ind.flux_linkage - L0 == pytest.approx(float(np.einsum("p,pc,pc->", wts, Br, Hs)),
                                                  rel=2e-2)
    # Saturating steel: the incremental inductance is the derivative of the linkage.
    pbs = _iron_and_coil(True)
    I, dI = 1.5e6, 1.5e4
    sols = [pbs.solve(source_scale=s, rtol=1e-10) for s in (I - dI, I, I + dI)]
    psi = [s.flux_linkage() for s in sols]
    ind = sols[1].inductance()
    # The slab's share of the linkage, whose slope the steel's saturation changes.
    slope = (psi[2] - psi[0]) / (2 * dI) - L0
    assert ind.incremental - L0 == pytest.approx(slope, rel=1e-2)
    assert ind.incremental - L0 < 0.9 * (ind.apparent - L0)
    with pytest.raises(TypeError):
        _sphere_solution(4).flux_linkage()
