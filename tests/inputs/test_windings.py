"""Winding paths, filled cross-sections, and coils as circuits against analytic values."""

import numpy as np
import pytest
from scipy.special import ellipe, ellipk

import reference
from fluxkern_tools import circuits, coils, windings

MU0 = coils.MU0


def _area(xy):
    x, y = xy[:, 0], xy[:, 1]
    return 0.5 * np.sum(x * np.roll(y, -1) - np.roll(x, -1) * y)


@pytest.mark.parametrize("path, area, length", [
    (windings.RoundedRectangle(0.3, 0.2, 0.05, 4, 3), 0.06 - (4 - np.pi) * 0.05**2, None),
    (windings.racetrack_path(0.4, 0.1, 8), 0.08 + np.pi * 0.01, 0.8 + 2 * np.pi * 0.1),
    (windings.circle_path(0.1, 32), np.pi * 0.01, 2 * np.pi * 0.1),
    (windings.RoundedRectangle(0.3, 0.2), 0.06, 1.0),
])
def test_paths_keep_the_exact_area_and_their_parallel_curves(path, area, length):
    xy = path.points()
    assert _area(xy) == pytest.approx(area, rel=1e-12)       # counter-clockwise, exact
    if length is not None:
        assert path.length() == pytest.approx(length, rel=1e-12)
    # Parallel curve of a rounded rectangle: W + 2o, H + 2o, r + o.
    o = 0.01
    W, H, r = path.width + 2 * o, path.height + 2 * o, path.corner_radius + o
    assert _area(path.points(o)) == pytest.approx(W * H - (4 - np.pi) * r * r, rel=1e-12)
    sq = windings.Polygon([[0, 0], [1, 0], [1, 1], [0, 1]])
    np.testing.assert_allclose(sq.points(0.1), [[-.1, -.1], [1.1, -.1], [1.1, 1.1], [-.1, 1.1]])
    cw = windings.Polygon([[0, 0], [0, 1], [1, 1], [1, 0]])
    assert _area(cw.points(0.1)) == pytest.approx(-1.44)      # outwards for either sense
    with pytest.raises(ValueError):
        windings.RoundedRectangle(0.1, 0.1, 0.06)
    with pytest.raises(ValueError):
        path.points(-1.0)


def _ampere_loop(center, axis_u, axis_v, radius, n=400):
    """Closed path (circle) around a conductor bundle: Gauss points and dl."""
    phi = 2 * np.pi * np.arange(n) / n
    p = center + radius * (np.cos(phi)[:, None] * axis_u + np.sin(phi)[:, None] * axis_v)
    q = np.roll(p, -1, axis=0)
    return p, q


@pytest.mark.parametrize("gauss", [False, True])
def test_winding_filaments_carry_the_ampere_turns(gauss):
    path = windings.RoundedRectangle(0.06, 0.04, 0.01)
    N, I = 250, 3.0
    axis = np.array([1.0, 1.0, 2.0]) / np.sqrt(6)
    origin = np.array([0.1, -0.2, 0.05])
    c = coils.winding(path, current=I, turns=N, width=0.01, height=0.02, grid=(3, 4),
                      gauss=gauss, origin=origin, axis=axis)
    per_filament = c.turns.reshape(12, -1)
    assert np.allclose(per_filament, per_filament[:, :1])
    assert per_filament[:, 0].sum() == pytest.approx(N, rel=1e-12)
    assert c.strand_radius == pytest.approx(np.sqrt(0.01 * 0.02 / 12 / np.pi))
    # Ampere's law on a circle around the bundle's side x = +0.03 in the winding plane:
    # the closed filaments thread it once each, so the line integral is mu0 N I.
    R = windings.frame(axis)
    ctr = origin + R @ [0.03, 0.0, 0.0]
    p, q = _ampere_loop(ctr, R[:, 0], R[:, 2], 0.015)
    xg, wg = np.polynomial.legendre.leggauss(3)
    circ = 0.0
    for x, w in zip(xg, wg):
        pts = p + 0.5 * (1 + x) * (q - p)
        circ += 0.5 * w * np.einsum("ij,ij->", c.field(pts), q - p)
    # Counter-clockwise about the axis: at +x the current flows along +y, so B
    # circulates from +axis to +x.
    assert -circ == pytest.approx(MU0 * N * I, rel=2e-3)
    same = coils.winding(path, ampere_turns=N * I, turns=N, width=0.01, height=0.02,
                         grid=(3, 4), gauss=gauss, origin=origin, axis=axis)
    assert same.current == pytest.approx(I)
    pts = origin + np.random.default_rng(1).normal(scale=0.05, size=(20, 3))
    ref = sum(reference.biot_savart(s, pts, cur, c.strand_radius) for s, cur in c.groups())
    np.testing.assert_allclose(c.field(pts), ref, rtol=1e-10, atol=1e-15)


def test_coil_arguments():
    path = windings.circle_path(0.1)
    with pytest.raises(TypeError):
        coils.loop(0.1, 64, 5.0)                       # current is keyword-only
    with pytest.raises(TypeError):
        coils.winding(path, current=1.0, ampere_turns=2.0)
    with pytest.raises(ValueError, match="strand_radius"):
        coils.winding(path, current=1.0)               # no area and no strand radius
    c = coils.loop(0.1, current=2.0, strand_radius=3e-3)
    with pytest.warns(DeprecationWarning):
        assert c.radius == c.strand_radius == 3e-3
    with pytest.raises(ValueError, match="turns"):
        coils.Coil(c.segments, 1.0, 1e-3, np.ones(3))


_SQUARE = 0.05 * np.array([[-1, -1], [1, -1], [1, 1], [-1, 1]])
_ELL = [[0, 0], [0.1, 0], [0.1, 0.1], [0.05, 0.1], [0.05, 0.02], [0, 0.02]]   # arm 20 mm


@pytest.mark.parametrize("path, width, grid, match", [
    (windings.Polygon(_SQUARE), 0.15, (3, 1), "too wide"),   # inner filament: a point
    (windings.Polygon(_SQUARE), 0.18, (3, 1), "too wide"),   # inner filament inside out
    (windings.Polygon(_SQUARE), 0.12, (3, 1), "too wide"),   # only the inner edge folds
    (windings.Polygon(_SQUARE[::-1]), 0.12, (3, 1), "too wide"),
    (windings.Polygon(_ELL), 0.021, (1, 1), "too wide"),     # the thin arm folds
    (windings.RoundedRectangle(0.1, 0.1, 0.01), 0.12, (3, 1), "no path"),
    (windings.Polygon(_SQUARE), 0.05, (2.7, 3), "whole"),
    (windings.Polygon(_SQUARE), 0.05, (0, 1), "whole"),
])
def test_winding_refuses_a_section_its_path_cannot_hold(path, width, grid, match):
    with pytest.raises(ValueError, match=match):
        coils.winding(path, current=1.0, turns=10, width=width, height=0.01, grid=grid)


def _mutual_coaxial(a, b, d):
    """Maxwell: mutual inductance of coaxial circles of radii a, b at distance d."""
    m = 4 * a * b / ((a + b) ** 2 + d * d)
    k = np.sqrt(m)
    return MU0 * np.sqrt(a * b) * ((2 / k - k) * ellipk(m) - 2 / k * ellipe(m))


def _nagaoka(R, length):
    m = 4 * R * R / (4 * R * R + length * length)
    kp = np.sqrt(1 - m)
    return 4 / (3 * np.pi * kp) * (kp * kp / m * (ellipk(m) - ellipe(m)) + ellipe(m)
                                   - np.sqrt(m))


def test_self_inductance_of_a_loop_and_a_solenoid():
    R, a = 0.1, 1e-3
    L = circuits.self_inductance(coils.loop(R, 64, current=1.0, strand_radius=a))
    assert L == pytest.approx(MU0 * R * (np.log(8 * R / a) - 1.75), rel=1e-3)
    # A single-layer solenoid as a current sheet: Gauss filaments over its length.
    R, length, N = 0.05, 0.1, 100
    sheet = coils.winding(windings.circle_path(R, 48), current=1.0, turns=N, height=length,
                          grid=(1, 24), gauss=True, strand_radius=length / 48)
    L = circuits.self_inductance(sheet, 4, gmd=0.2235 * length / 24)
    lorenz = MU0 * np.pi * R * R * N * N / length * _nagaoka(R, length)
    wheeler = MU0 * np.pi * R * R * N * N / (length + 0.9 * R)
    assert _nagaoka(1.0, 2.0) == pytest.approx(0.6884, abs=1e-4)   # tabulated l/D = 1
    assert L == pytest.approx(lorenz, rel=1e-2)
    assert L == pytest.approx(wheeler, rel=1e-2)


def test_force_between_coaxial_coils_is_the_mutual_inductance_derivative():
    a, b, d, I1, I2 = 0.1, 0.07, 0.04, 30.0, -12.0
    c1 = coils.loop(a, 128, current=I1, strand_radius=1e-4)
    c2 = coils.loop(b, 96, current=I2, strand_radius=1e-4, center=(0, 0, d))
    M = circuits.mutual_inductance(c1, c2)
    assert M == pytest.approx(_mutual_coaxial(a, b, d), rel=1e-3)
    assert circuits.mutual_inductance(c2, c1) == pytest.approx(M, rel=1e-6)
    h = 1e-5
    dMdz = (_mutual_coaxial(a, b, d + h) - _mutual_coaxial(a, b, d - h)) / (2 * h)
    F, T = circuits.lorentz_force(c2, c1, origin=(0, 0, d))
    assert F[2] == pytest.approx(I1 * I2 * dMdz, rel=1e-3)
    np.testing.assert_allclose(F[:2], 0, atol=1e-6 * abs(F[2]))
    np.testing.assert_allclose(T, 0, atol=1e-6 * abs(F[2]) * b)


def test_winding_between_inner_and_outer_outlines():
    inner = windings.RoundedRectangle(0.10, 0.06, 0.01, segments_per_corner=6)
    outer = windings.RoundedRectangle(0.14, 0.10, 0.03, segments_per_corner=4)
    path, w = windings.RoundedRectangle.between(inner, outer)
    assert w == pytest.approx(0.02)
    np.testing.assert_allclose(path.points(-w / 2), inner.points(), atol=1e-15)
    np.testing.assert_allclose(path.points(w / 2),
                               windings.RoundedRectangle(0.14, 0.10, 0.03, 6).points(),
                               atol=1e-15)
    c = coils.winding(path, current=2.0, turns=50, width=w, height=0.01, grid=(4, 2))
    ref = coils.winding(windings.RoundedRectangle(0.12, 0.08, 0.02, 6), current=2.0,
                        turns=50, width=0.02, height=0.01, grid=(4, 2))
    np.testing.assert_allclose(c.segments, ref.segments, atol=1e-15)
    for o in (windings.RoundedRectangle(0.14, 0.12, 0.03),      # not concentric
              windings.RoundedRectangle(0.14, 0.10, 0.0),       # sharp around rounded
              windings.RoundedRectangle(0.08, 0.04, 0.0)):      # inside
        with pytest.raises(ValueError):
            windings.RoundedRectangle.between(inner, o)
