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
