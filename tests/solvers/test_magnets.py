"""Permanent magnets in both formulations: closed forms, magpylib, mixed problems, input."""

import numpy as np
import pytest

from fluxkern_tools import coils, materials as mat, meshes, solvers

mm = 1e-3
BR = 1.2


def scalar(mesh, mats, degree=2):
    return solvers.solve_scalar_potential(mesh, mats, solvers.uniform_field_potential([0, 0, 0]),
                                          degree=degree)


def vector(mesh, mats, degree=2, source=None):
    return solvers.solve_reduced_vector_potential(mesh, mats, source, degree=degree)


@pytest.fixture(scope="module")
def sphere_mesh():
    return meshes.ball(0.6, n=4, interfaces=[0.1])


@pytest.mark.parametrize("solve", [scalar, vector])
def test_sphere_interior_field(sphere_mesh, solve):
    # mu_r = 3 makes a wrong factor plain: 2 Br/(mu_r + 2) = 0.48 T, against 0.8 T without
    # mu_r and 0.72 T for 3 Br/(mu_r + 2).
    mu_r = 3.0
    sol = solve(sphere_mesh, {0: mat.permanent_magnet(BR, [0, 0, 2], mu_r), 1: mat.vacuum()})
    assert sol.report.converged
    p = np.array([[0.01, 0.02, 0.0], [0.0, -0.03, 0.02], [0.02, 0.0, -0.04]])
    B = sol.B_at(p)
    np.testing.assert_allclose(B[:, 2], 2 * BR / (mu_r + 2), rtol=0.02)
    np.testing.assert_allclose(sol.H_at(p)[:, 2], (B[:, 2] - BR) / (mu_r * mat.MU0), rtol=1e-9)


@pytest.mark.parametrize("solve", [scalar, vector])
def test_radial_direction_callable(sphere_mesh, solve):
    # A radially magnetised ball has no flux anywhere (div B = 0 with B radial):
    # H = -Br r/(mu |r|) inside. Any |direction| is normalised point by point.
    mu_r = 3.0
    sol = solve(sphere_mesh, {0: mat.permanent_magnet(BR, lambda P: 5 * P, mu_r),
                              1: mat.vacuum()})
    p = np.array([[0.05, 0.02, 0.0], [0.0, -0.06, 0.02], [0.02, 0.03, -0.04]])
    H = -BR / (mu_r * mat.MU0) * p / np.linalg.norm(p, axis=1)[:, None]
    assert np.abs(sol.B_at(p)).max() < 0.05 * BR
    np.testing.assert_allclose(sol.H_at(p), H, atol=0.05 * np.abs(H).max())


def test_cuboid_against_magpylib():
    magpylib = pytest.importorskip("magpylib")
    h, far, dim = 5 * mm, 0.06, np.array([20, 20, 10]) * mm
    air = meshes.graded_axis(0.02, far, 3, 1.4)
    xy = np.concatenate([-air[::-1], meshes.axis_with_breaks([-0.02, -0.01, 0.01, 0.02], h)[1:-1],
                         air])
    z = np.concatenate([-air[::-1], meshes.axis_with_breaks([-0.02, -0.005, 0.005, 0.02], h)[1:-1],
                        air])
    mesh = meshes.box_mesh(xy, xy, z, regions=[(1, lambda c: np.all(np.abs(c) < dim / 2, axis=1))])
    sol = scalar(mesh, {0: mat.vacuum(), 1: mat.permanent_magnet(BR, [0, 0, 1], 1.0)})
    t = np.linspace(0.004, 0.012, 4)
    pts = np.vstack([np.column_stack([0 * t + 0.003, 0 * t, dim[2] / 2 + t]),
                     np.column_stack([dim[0] / 2 + t, 0 * t + 0.003, 0 * t + 0.002])])
    ref = magpylib.magnet.Cuboid(dimension=dim, polarization=(0, 0, BR)).getB(pts)
    err = np.sqrt(np.mean(np.sum((sol.B_at(pts) - ref) ** 2, axis=1))
                  / np.mean(np.sum(ref ** 2, axis=1)))
    assert err < 0.06


def test_magnet_steel_and_coil():
    # A magnet below a steel block across a 5 mm gap, a coil around the block: the block
    # is pulled down, harder when the coil's field aids the magnet's; both formulations
    # agree on the pull without the coil.
    ax = meshes.axis_with_breaks(np.array([-40, -10, 10, 40]) * mm, np.array([10, 2.5, 10]) * mm)
    zs = meshes.axis_with_breaks(np.array([-40, -10, 20, 50]) * mm, np.array([10, 2.5, 10]) * mm)
    in_box = lambda lo, hi: (lambda c: np.all((c > np.array(lo) * mm) & (c < np.array(hi) * mm),
                                              axis=1))
    mesh = meshes.box_mesh(ax, ax, zs, regions=[(1, in_box([-5, -5, -10], [5, 5, 0])),
                                                (2, in_box([-5, -5, 5], [5, 5, 15]))])
    mats = {0: mat.vacuum(), 1: mat.permanent_magnet(BR, [0, 0, 1]), 2: mat.steel("M270-35A")}
    coil = coils.loop(14 * mm, current=2000.0, center=(0, 0, 10 * mm))
    no_coil = vector(mesh, mats, degree=2)
    with_coil = vector(mesh, mats, degree=2, source=coil)
    by_phi = scalar(mesh, mats, degree=2)
    F = [s.force(2).force[2] for s in (no_coil, with_coil, by_phi)]
    assert all(s.report.converged for s in (no_coil, with_coil, by_phi))
    assert F[0] < 0 and F[1] < 1.2 * F[0]
    assert F[2] == pytest.approx(F[0], rel=0.15)


@pytest.mark.parametrize("args, match", [
    ((-1.0, [0, 0, 1]), "Br"), ((np.nan, [0, 0, 1]), "Br"), ((np.inf, [0, 0, 1]), "Br"),
    ((1.0, [0, 0, 0]), "direction"), ((1.0, [0, np.nan, 1]), "direction"),
    ((1.0, [1, 0]), "direction"), ((1.0, [0, 0, 1], 0.0), "mu_r"),
    ((1.0, [0, 0, 1], -1.0), "mu_r"), ((1.0, [0, 0, 1], np.inf), "mu_r"),
])
def test_bad_input_refused(args, match):
    with pytest.raises(ValueError, match=match):
        mat.permanent_magnet(*args)


@pytest.mark.parametrize("direction", [lambda P: 0 * P, lambda P: np.full_like(P, np.nan),
                                       lambda P: P[:, :2]])
def test_bad_direction_callable_refused(direction):
    with pytest.raises(ValueError, match="direction"):
        mat.permanent_magnet(BR, direction).remanence(np.ones((4, 3)))


def test_distributed_drivers_refuse_magnets():
    # They assemble no remanence term: a solve would return the field without the magnet.
    dist = pytest.importorskip("fluxkern_tools.solvers.distributed")
    if not dist.available():
        pytest.skip("no MPI")
    mesh = meshes.box(shape=(2, 2, 2), regions=[(1, lambda c: c[:, 2] < 0.5)])
    pb = solvers.ReducedVectorPotential(
        mesh, {0: mat.vacuum(), 1: mat.permanent_magnet(BR, [0, 0, 1])}, None)
    with pytest.raises(NotImplementedError, match="magnets"):
        dist.DistributedVectorPotential(pb)
