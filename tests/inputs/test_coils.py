"""Coils as straight segments: closure, length, Biot-Savart fields against analytic ones."""

import numpy as np
import pytest

import reference
from fluxkern_tools import coils

MU0 = coils.MU0


def _chains(seg):
    """Consecutive segments join end to start."""
    return np.allclose(seg[1:, :3], seg[:-1, 3:])


@pytest.mark.parametrize("coil, length", [
    (coils.loop(0.1, 64, current=1.0, inscribed=True), 2 * 64 * 0.1 * np.sin(np.pi / 64)),
    (coils.rectangular(0.3, 0.2, current=1.0, segments_per_side=3), 1.0),
    (coils.racetrack(0.4, 0.1, current=1.0, segments_per_arc=200), 0.8 + 2 * np.pi * 0.1),
    (coils.racetrack(0.0, 0.1, current=1.0, segments_per_arc=200), 2 * np.pi * 0.1),
])
def test_closed_coils_close_and_have_expected_length(coil, length):
    seg = coil.segments
    assert seg.shape[1] == 6 and seg.dtype == np.float64
    assert _chains(seg) and np.allclose(seg[-1, 3:], seg[0, :3])
    assert np.all(np.linalg.norm(seg[:, 3:] - seg[:, :3], axis=1) > 0)
    assert coil.length == pytest.approx(length, rel=2e-4)


def test_stacked_turns_are_each_closed():
    c = coils.rectangular(0.2, 0.1, current=2.0, turns=3, pitch=0.01, segments_per_side=2)
    turns = c.segments.reshape(3, 8, 6)
    for t in turns:
        assert _chains(t) and np.allclose(t[-1, 3:], t[0, :3])
    np.testing.assert_allclose(turns[:, 0, 2], [-0.01, 0.0, 0.01])
    s = coils.solenoid(0.05, 0.2, 10, 32, current=1.0, helical=False)
    assert len(s.segments) == 320
    h = coils.solenoid(0.05, 0.2, 10, 32, current=1.0)
    assert _chains(h.segments)
    chord = np.hypot(2 * 0.05 * np.sin(np.pi / 32), 0.2 / 320)
    assert h.length == pytest.approx(320 * chord, rel=1e-12)
    np.testing.assert_allclose(h.segments[[0, -1]][:, [2, 5]], [[-0.1, -0.1 + 0.2 / 320],
                                                                 [0.1 - 0.2 / 320, 0.1]])


@pytest.mark.parametrize("axis", [(0, 0, 1), (1, 2, -0.5)])
def test_loop_field_on_axis_matches_analytic(axis):
    R, I = 0.1, 3.0
    n = np.asarray(axis, float) / np.linalg.norm(axis)
    center = np.array([0.02, -0.01, 0.3])
    c = coils.loop(R, 128, current=I, center=center, axis=axis, strand_radius=1e-4)
    z = np.linspace(-0.3, 0.3, 13)
    B = c.field(center + z[:, None] * n)
    np.testing.assert_allclose(B @ n, coils.loop_axial_field(R, I, z), rtol=1e-6)
    np.testing.assert_allclose(B - (B @ n)[:, None] * n, 0, atol=1e-12)


def test_long_solenoid_and_rectangle_centre_fields():
    # Finite solenoid of stacked loops: B at the centre = mu0 n I L / sqrt(L^2 + 4 R^2).
    R, L, N, I = 0.02, 0.4, 200, 1.5
    s = coils.solenoid(R, L, N, 48, current=I, helical=False)
    Bc = s.field(np.zeros((1, 3)))[0]
    assert Bc[2] == pytest.approx(MU0 * N / L * I * L / np.sqrt(L**2 + 4 * R**2), rel=1e-3)
    # Rectangle w x h: B = 2 mu0 I sqrt(w^2 + h^2) / (pi w h) at its centre.
    w, h = 0.3, 0.2
    Br = coils.rectangular(w, h, current=I).field(np.zeros((1, 3)))[0]
    np.testing.assert_allclose(Br, [0, 0, 2 * MU0 * I * np.hypot(w, h) / (np.pi * w * h)],
                               rtol=1e-12, atol=1e-18)


def test_transforms_and_validation():
    c = coils.loop(0.1, 16, current=1.0)
    moved = c.translated([1, 2, 3])
    np.testing.assert_allclose(moved.segments[:, :3] - c.segments[:, :3], [[1, 2, 3]] * 16)
    Rx = np.array([[1, 0, 0], [0, 0, -1], [0, 1, 0]], float)
    Bz = c.field([[0, 0, 0]])[0]
    np.testing.assert_allclose(c.rotated(Rx).field([[0, 0, 0]])[0], Rx @ Bz, atol=1e-15)
    with pytest.raises(ValueError):
        coils.Coil(np.zeros((3, 5)), 1.0, 1e-3)
    with pytest.raises(ValueError):
        coils.loop(-0.1, current=1.0)
    with pytest.raises(ValueError):
        coils.rectangular(0.1, 0.1, current=1.0, turns=2, pitch=0.0)


def test_numpy_field_matches_compiled_module():
    pytest.importorskip("fluxkern_mod")
    c = coils.racetrack(0.2, 0.05, current=7.0, turns=2, pitch=0.01, strand_radius=2e-3)
    rng = np.random.default_rng(3)
    tar = rng.uniform(-0.2, 0.2, (50, 3))
    tar[0] = c.segments[5, :3] + [0, 0, 1e-3]          # inside a strand
    B = reference.biot_savart(c.segments, tar, c.current, c.strand_radius)
    np.testing.assert_allclose(B, c.field(tar), rtol=1e-10, atol=1e-16)


def test_racetrack_field_points_along_z_in_its_window():
    c = coils.racetrack(0.3, 0.05, current=10.0)
    B = c.field(np.array([[0.0, 0.0, 0.0], [0.1, 0.01, 0.0]]))
    assert np.all(B[:, 2] > 0) and np.allclose(B[:, :2], 0, atol=1e-12 * abs(B[0, 2]))


def test_strand_interior_field_and_reversal():
    seg = np.array([[0.0, 0, -1, 0, 0, 1]])
    r = 1e-3
    B = reference.biot_savart(seg, np.array([[1.0, 0, 0], [0.5e-3, 0, 0]]), 1.0, r)
    np.testing.assert_allclose(B[0], [0, np.sqrt(2) * 1e-7, 0], rtol=1e-12)
    # Inside the strand: mu0 I rho / (2 pi r^2).
    assert B[1, 1] == pytest.approx(2e-7 * 0.5e-3 / r**2, rel=1e-12)
    rev = seg[:, [3, 4, 5, 0, 1, 2]]
    np.testing.assert_allclose(reference.biot_savart(rev, [[1.0, 0, 0]], 1.0, r), -B[:1])


def test_loop_field_matches_magpylib_off_axis():
    magpy = pytest.importorskip("magpylib")
    R, I = 0.1, 2.0
    c = coils.loop(R, 512, current=I, strand_radius=1e-6)
    pts = np.array([[0.05, 0.02, 0.03], [0.2, 0.0, -0.1], [0.0, 0.15, 0.2]])
    ref = magpy.current.Circle(current=I, diameter=2 * R).getB(pts)
    np.testing.assert_allclose(c.field(pts), ref, rtol=1e-4, atol=1e-6 * np.abs(ref).max())
