"""Flux through polygons and named mesh surfaces; forces on coils with iron."""

import numpy as np
import pytest

from fluxkern_tools import circuits, coils, materials, meshes, solvers
from fluxkern_tools.materials import MU0

B0 = np.array([0.3, -0.2, 0.7])


def _uniform(formulation):
    m = meshes.box((0, 0, 0), (1, 1, 1), (4, 4, 4))
    # Internal and boundary surfaces as a gmsh file would name them.
    f = m.faces.copy()
    X = m.nodes[f]
    up = np.cross(X[:, 1] - X[:, 0], X[:, 2] - X[:, 0])[:, 2] > 0
    f[~up] = f[~up][:, ::-1]                       # normals along +z where they can be
    z = X[:, :, 2]
    mid = f[np.all(np.abs(z - 0.5) < 1e-12, axis=1)]
    m.surface_groups["mid"] = mid
    m.surface_groups["mid_down"] = mid[:, ::-1]
    m.surface_groups["top"] = f[np.all(np.abs(z - 1.0) < 1e-12, axis=1)]
    if formulation == "scalar":
        return solvers.solve_scalar_potential(m, {0: materials.linear(2.0)}, B0 / (2 * MU0))
    return solvers.solve_reduced_vector_potential(m, {0: materials.vacuum()}, B0)


@pytest.mark.parametrize("formulation", ["scalar", "vector"])
def test_flux_of_a_uniform_field_through_polygons_and_named_surfaces(formulation):
    sol = _uniform(formulation)
    # A tilted square (side 0.4), walked so its normal is (0, -1, 1) / sqrt 2.
    e1, e2 = np.array([1.0, 0, 0]), np.array([0, 1.0, 1.0]) / np.sqrt(2)
    sq = 0.5 + 0.2 * np.array([-e1 - e2, e1 - e2, e1 + e2, -e1 + e2])
    r = sol.flux(sq, n=2)
    nrm = np.cross(e1, e2)
    np.testing.assert_allclose(r.normal, nrm, atol=1e-14)
    assert r.area == pytest.approx(0.16) and r.flux == pytest.approx(0.16 * B0 @ nrm)
    assert sol.flux(sq[::-1]).flux == pytest.approx(-r.flux)
    for name, sign in (("mid", 1), ("mid_down", -1), ("top", 1)):
        s = sol.flux(name)
        assert s.area == pytest.approx(1.0) and s.flux == pytest.approx(sign * B0[2])
        assert s.mean_normal_B == pytest.approx(sign * B0[2])
    with pytest.raises(ValueError, match="planar"):
        sol.flux(sq + [[0, 0, 0], [0, 0, 0], [0, 0.05, 0], [0, 0, 0]])
    with pytest.raises(ValueError, match="outside"):
        sol.flux(sq * 3)
    with pytest.raises(KeyError):
        sol.flux("nope")


def test_flux_of_a_coil_through_a_disc_is_the_mutual_inductance():
    a = np.linspace(-0.12, 0.12, 13)
    m = meshes.box_mesh(a, a, np.linspace(-0.06, 0.12, 10))
    coil = coils.loop(0.05, 64, current=250.0, strand_radius=1e-3)
    sol = solvers.solve_reduced_vector_potential(m, {0: materials.vacuum()}, coil)
    disc = coils.loop(0.03, 48, current=1.0, center=(0.01, 0.0, 0.04), inscribed=True)
    verts = disc.segments[:, :3]
    phi = sol.flux(verts, n=6).flux
    # Stokes: the line integral of the coil's potential around the same polygon.
    ref = circuits.mutual_inductance(coil, disc) * coil.current
    assert phi == pytest.approx(ref, rel=1e-4)


def test_coil_force_with_iron_and_in_air():
    # A loop above a linear steel slab is pulled down; the slab up by as much
    # (measured: coil 0.896 N, slab 0.885 N by the eggshell).
    xy = np.linspace(-0.2, 0.2, 21)
    mesh = meshes.box_mesh(xy, xy, meshes.axis_with_breaks([-0.2, -0.08, -0.02, 0.2],
                                                           [0.02, 0.01, 0.02]),
                           regions=[(1, lambda c: (np.abs(c[:, 0]) < 0.12)
                                     & (np.abs(c[:, 1]) < 0.12)
                                     & (c[:, 2] > -0.08) & (c[:, 2] < -0.02))])
    coil = coils.loop(0.06, 48, current=1.0, strand_radius=4e-3, center=(0, 0, 0.03))
    sol = solvers.solve_reduced_vector_potential(
        mesh, {0: materials.vacuum(), 1: materials.linear(200.0)}, coil,
        source_scale=2000.0)
    F = sol.coil_force(origin=(0, 0, 0.03))
    assert F.force[2] < 0
    assert F.force[2] == pytest.approx(-sol.force(1).force[2], rel=0.02)
    # The Kuhn mesh is not symmetric: 3 % sideways, as the slab's own force shows.
    np.testing.assert_allclose(F.force[:2], 0, atol=0.05 * abs(F.force[2]))
    np.testing.assert_allclose(F.torque, 0, atol=1e-3 * abs(F.force[2]))
    assert sol.coil_force(coil).force == pytest.approx(F.force)
    with pytest.raises(ValueError, match="source coils"):
        sol.coil_force(coil.with_current(1.0))
    # Two coils in air: no reaction field; each feels the other, the pair nothing.
    a = coils.loop(0.05, 32, current=400.0, strand_radius=2e-3)
    b = coils.loop(0.04, 32, current=-300.0, strand_radius=2e-3, center=(0.01, 0, 0.05))
    air = solvers.solve_reduced_vector_potential(meshes.box((-0.1,) * 3, (0.1,) * 3,
                                                            (4, 4, 4)),
                                                 {0: materials.vacuum()}, [a, b])
    ref, tref = circuits.lorentz_force(b, a)
    Fb = air.coil_force(b)
    np.testing.assert_allclose(Fb.force, ref, rtol=1e-12, atol=1e-12 * np.abs(ref).max())
    np.testing.assert_allclose(Fb.torque, tref, rtol=1e-12, atol=1e-12 * np.abs(tref).max())
    np.testing.assert_allclose(air.coil_force().force, 0, atol=1e-9 * np.abs(ref).max())
    with pytest.raises(TypeError, match="no coils"):
        _uniform("scalar").coil_force()
