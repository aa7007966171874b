"""Field harmonics: free-space line currents against their closed-form series,
integrated harmonics, the local axes, and harmonics of solved fields."""

import numpy as np
import pytest

from fluxkern_tools import coils, materials, meshes, multipoles, solvers
from fluxkern_tools.materials import MU0

# (complex position in the local plane (m), current (A) along the axis)
WIRES = [(0.05 + 0.02j, 300.0), (-0.04 + 0.045j, -150.0), (0.01 - 0.07j, 80.0)]


def _series(r_ref, n):
    """B_n + i A_n of the wires: -mu0 I / (2 pi z0) (r_ref / z0)^(n - 1)."""
    k = np.arange(1, n + 1)
    return sum(-MU0 * I / (2 * np.pi * z0) * (r_ref / z0) ** (k - 1) for z0, I in WIRES)


def _lines(axes, half_length=1000.0, center=(0.0, 0.0, 0.0)):
    """Long straight lines along the local z axis at the wires' positions."""
    segs = []
    for z0, I in WIRES:
        p = center + z0.real * axes[0] + z0.imag * axes[1]
        segs.append(coils.Coil(np.concatenate([p - half_length * axes[2],
                                               p + half_length * axes[2]])[None], I, 1e-4))
    return lambda pts: sum(c.field(pts) for c in segs), segs


@pytest.mark.parametrize("axis, x_axis", [((0, 0, 1), None), ((1, 0, 0), None),
                                          ((1, -2, 0.5), (0, 0, 1))])
def test_line_currents_match_the_closed_form_series(axis, x_axis):
    ax = multipoles.local_axes(axis, x_axis)
    assert np.allclose(ax @ ax.T, np.eye(3)) and np.linalg.det(ax) == pytest.approx(1.0)
    c = np.array([0.3, -0.1, 0.2])
    field, segs = _lines(ax, center=c)
    r = 0.02
    m = multipoles.harmonics(field, r, 15, c, axis, x_axis=x_axis)
    exact = _series(r, 15)
    # Measured: 1e-8 of the main field (the lines' finite length and rounding).
    np.testing.assert_allclose(m.B + 1j * m.A, exact, rtol=0, atol=1e-6 * abs(exact[0]))
    assert m.main == 1 and m.points == 64 and m.n == 15
    np.testing.assert_allclose(m.b, 1e4 * exact.real / exact[0].real, atol=1e-2)
    assert "b_n" in m.table()
    if x_axis is None:
        # The coil method; integrated over a span the coefficients scale with its length.
        one = segs[0].multipoles(r, 4, c, axis, main=2)
        z0, I = WIRES[0]
        k = np.arange(1, 5)
        np.testing.assert_allclose(one.B + 1j * one.A, -MU0 * I / (2 * np.pi * z0)
                                   * (r / z0) ** (k - 1), atol=1e-6 * abs(MU0 * I / z0))
        assert one.main == 2
        mi = multipoles.harmonics(field, r, 6, c, axis, span=(-0.5, 1.5))
        np.testing.assert_allclose(mi.B + 1j * mi.A, 2.0 * exact[:6], atol=2e-6 * abs(exact[0]))
        assert mi.integrated and "T m" in mi.table()


def test_harmonics_reject_bad_arguments():
    f = lambda p: np.zeros_like(p)
    for kw in (dict(r_ref=0.0), dict(r_ref=-1.0), dict(r_ref=np.nan), dict(n=0),
               dict(n=2.5), dict(main=4), dict(span=(1.0, 1.0)), dict(axis=(0, 0, 0)),
               dict(x_axis=(0, 0, 2))):
        args = dict(r_ref=0.01, n=3) | kw
        with pytest.raises(ValueError):
            multipoles.harmonics(f, **args)
    assert multipoles.sample_count(15) == 64 and multipoles.sample_count(40) == 256


@pytest.mark.parametrize("formulation", ["scalar", "vector"])
def test_harmonics_of_a_solved_uniform_field(formulation):
    m = meshes.box((-0.1, -0.1, -0.1), (0.1, 0.1, 0.1), (4, 4, 4))
    B0 = np.array([0.2, -0.5, 0.1])
    if formulation == "scalar":
        sol = solvers.solve_scalar_potential(m, {0: materials.vacuum()}, B0 / MU0)
    else:
        sol = solvers.solve_reduced_vector_potential(m, {0: materials.vacuum()}, B0)
    h = sol.multipoles(0.05, 6)
    np.testing.assert_allclose([h.B[0], h.A[0]], [B0[1], B0[0]], rtol=1e-9)
    np.testing.assert_allclose(np.r_[h.B[1:], h.A[1:]], 0, atol=1e-9)
    hi = sol.multipoles(0.05, 3, span=(-0.05, 0.05))
    assert hi.B[0] == pytest.approx(0.1 * B0[1], rel=1e-9)
    with pytest.raises(ValueError, match="outside"):
        sol.multipoles(0.2, 3)
