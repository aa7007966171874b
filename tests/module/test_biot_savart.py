"""Physics and exactness of the Biot-Savart kernel, reached through
fluxkern_mod.compute_B_line_segs_cpp.

Runs whose result depends on OMP_NUM_THREADS, or that read the C-level
stdout, happen in a subprocess.
"""

import numpy as np
import pytest

import fluxkern_mod
from reference import biot_savart as reference

MU0 = 4e-7 * np.pi
AXIAL = [[0.0, 0.0, -1.0, 0.0, 0.0, 1.0]]  # from (0, 0, -1) to (0, 0, 1)


def field(src, tar, current=1.0, radius=1e-3):
    src = np.asarray(src, dtype=np.float64).reshape(-1, 6)
    tar = np.asarray(tar, dtype=np.float64).reshape(-1, 3)
    return fluxkern_mod.compute_B_line_segs_cpp(src, tar, current, radius)


def same_bits(a, b):
    a, b = np.asarray(a), np.asarray(b)
    return (a.shape == b.shape and np.array_equal(np.isnan(a), np.isnan(b))
            and np.array_equal(a[~np.isnan(a)].view(np.uint64), b[~np.isnan(b)].view(np.uint64)))


def mixed_geometry(seed, num_src=37, num_tar=1003, radius=0.05):
    """Random strands in the unit cube and targets of which a good share lie
    inside strands, near end points and on axes; num_tar is no multiple of
    any vector width."""
    rng = np.random.default_rng(seed)
    src = rng.uniform(-1, 1, size=(num_src, 6))
    tar = rng.uniform(-1, 1, size=(num_tar, 3))
    k = num_tar // 2
    i = rng.integers(0, num_src, size=k)
    lam = rng.uniform(-0.1, 1.1, size=(k, 1))
    offset = rng.normal(scale=abs(radius), size=(k, 3))
    tar[:k] = src[i, :3] + lam * (src[i, 3:] - src[i, :3]) + offset
    tar[k] = src[3, :3] + 0.5 * (src[3, 3:] - src[3, :3])  # on an axis
    return src, tar


# ------------------------------------------------------------------ physics


def test_segment_seen_from_its_middle():
    B = field(AXIAL, [[1.0, 0.0, 0.0]])[0]
    assert B[0] == 0.0 and B[2] == 0.0
    assert B[1] == pytest.approx(np.sqrt(2.0) * 1e-7, rel=1e-15)


@pytest.mark.parametrize("rho_over_r, lam", [(0.1, 0.5), (0.5, 0.02), (0.9, 0.97), (0.999, 0.4)])
def test_inside_a_strand_is_a_round_conductor(rho_over_r, lam):
    a, b = np.array([0.1, -0.2, 0.3]), np.array([0.5, 0.4, -0.1])
    current, r = 3.0, 0.01
    axis = (b - a) / np.linalg.norm(b - a)
    radial = np.cross(axis, [1.0, 0.0, 0.0])
    radial /= np.linalg.norm(radial)
    t = a + lam * (b - a) + rho_over_r * r * radial
    B = field(np.r_[a, b], t, current, r)[0]
    assert np.linalg.norm(B) == pytest.approx(2e-7 * current * rho_over_r * r / r**2, rel=1e-9)
    np.testing.assert_allclose(B / np.linalg.norm(B), np.cross(axis, radial), atol=1e-9)


@pytest.mark.parametrize(
    "src, target, radius, expected",
    [
        (AXIAL, [0.0, 0.0, 0.5], 1e-3, "zero"),  # on the axis inside the strand
        (AXIAL, [0.0, 0.0, -1.0], 1e-3, "zero"),  # at the start point, on the axis
        (AXIAL, [0.0, 0.0, 0.5], 0.0, "nan"),  # r = 0: nothing is inside, the filament gives 0/0
        (AXIAL, [0.0, 0.0, 2.0], 0.0, "zero"),  # on the line beyond the end
        ([0.5, 0.5, 0.5] * 2, [0.5, 0.5, 0.75], 0.25, "zero"),  # zero length, distance exactly r
        ([0.5, 0.5, 0.5] * 2, [3.0, -1.0, 0.0], 0.25, "zero"),  # zero length, far away
        ([0.5, 0.5, 0.5] * 2, [0.5, 0.5, 0.6], 0.25, "zero"),  # zero length, closer than r
    ],
)
def test_degenerate_geometry(src, target, radius, expected):
    B = field(src, target, 1.0, radius)[0]
    if expected == "nan":
        assert np.isnan(B).all()
    else:
        assert np.array_equal(B, np.zeros(3))


def test_negative_radius_keeps_the_cylinder_and_drops_the_end_balls():
    r = 0.01
    targets = [[0.004, 0.0, 0.2],  # inside the cylinder
               [0.003, 0.0, -1.006]]  # before the start point, inside its ball only
    B_pos, B_neg, B_filament = (field(AXIAL, targets, 1.0, rad) for rad in (r, -r, 0.0))
    assert np.array_equal(B_neg[0], B_pos[0])
    assert np.array_equal(B_neg[1], B_filament[1])
    assert not np.allclose(B_neg[1], B_pos[1])


def test_swapping_start_and_end_negates_the_field():
    src, tar = mixed_geometry(seed=4)
    B = field(src, tar, 2.5, 0.05)
    B_swapped = field(np.hstack([src[:, 3:], src[:, :3]]), tar, 2.5, 0.05)
    finite = np.isfinite(B).all(axis=1)
    assert finite.sum() > 900
    np.testing.assert_allclose(B_swapped[finite], -B[finite], rtol=1e-9, atol=1e-12 * np.abs(B[finite]).max())


@pytest.mark.parametrize("current", [1.0, -2.0])
def test_no_sources_give_zeros(current):
    B = field(np.zeros((0, 6)), np.random.default_rng(0).normal(size=(5, 3)), current)
    assert B.shape == (5, 3) and np.array_equal(B, np.zeros((5, 3)))


def test_long_straight_wire():
    # A wire along u through c, of half-length 1000, in 100 pieces.
    u = np.array([1.0, 2.0, 2.0]) / 3.0
    c = np.array([0.2, -0.1, 0.4])
    s = np.linspace(-1000.0, 1000.0, 101)[:, None]
    points = c + s * u
    src = np.hstack([points[:-1], points[1:]])
    e1 = np.cross(u, [0.0, 0.0, 1.0])
    e1 /= np.linalg.norm(e1)
    e2 = np.cross(u, e1)
    d = np.array([0.01, 0.1, 1.0, 3.0])
    angle = np.array([0.0, 1.0, 2.5, 4.0])
    radial = np.cos(angle)[:, None] * e1 + np.sin(angle)[:, None] * e2
    tar = c + 0.3 * u + d[:, None] * radial
    current = 7.0
    expected = (MU0 * current / (2 * np.pi * d))[:, None] * np.cross(u, radial)
    np.testing.assert_allclose(field(src, tar, current, 1e-3), expected, rtol=1e-5, atol=0)


def test_circular_loop_on_its_axis():
    R, current, n = 0.1, 2.0, 3600
    phi = np.linspace(0.0, 2 * np.pi, n + 1)
    ring = np.stack([R * np.cos(phi), R * np.sin(phi), np.zeros_like(phi)], axis=1)
    src = np.hstack([ring[:-1], ring[1:]])
    z = np.array([-0.3, 0.0, 0.05, 0.2])
    tar = np.stack([np.zeros_like(z), np.zeros_like(z), z], axis=1)
    B = field(src, tar, current, 1e-3)
    Bz = MU0 * current * R**2 / (2 * (R**2 + z**2) ** 1.5)
    np.testing.assert_allclose(B[:, 2], Bz, rtol=1e-5)
    np.testing.assert_allclose(B[:, :2], 0.0, atol=1e-9 * Bz.max())


def test_agrees_with_magpylib_line_currents():
    magpy = pytest.importorskip("magpylib")
    rng = np.random.default_rng(7)
    vertices = rng.uniform(-1, 1, size=(30, 3))
    src = np.hstack([vertices[:-1], vertices[1:]])
    tar = rng.uniform(-1.5, 1.5, size=(500, 3))
    line = getattr(magpy.current, "Polyline", None) or magpy.current.Line
    expected = line(current=3.0, vertices=vertices).getB(tar)
    B = field(src, tar, 3.0, 0.0)
    np.testing.assert_allclose(B, expected, rtol=1e-8, atol=1e-12 * np.abs(expected).max())


# ---------------------------------------------------------------- exactness


@pytest.mark.parametrize("threads", ["1", "2", "3"])
def test_any_worker_count_and_host_threads_reproduce_the_reference(python_run, threads):
    # One worker reproduces the reference bit for bit, several to rounding
    # (they merge their sums in any order); each host thread that calls the
    # kernel gets its own team, and the teams must not disturb each other.
    cases = {}
    for n, radius in enumerate([0.05, 0.0, -0.05, 0.3]):
        src, tar = mixed_geometry(seed=n, num_src=200 if n == 0 else 37, radius=radius)
        src[5, 3:] = src[5, :3]  # a zero-length segment
        cases.update({f"src{n}": src, f"tar{n}": tar, f"r{n}": radius, f"I{n}": 1.5 - n})
    r = python_run("""
        import threading, fluxkern_mod
        g = globals()
        args = [(g[f"src{n}"], g[f"tar{n}"], float(g[f"I{n}"]), float(g[f"r{n}"]))
                for n in range(4)]
        f = fluxkern_mod.compute_B_line_segs_cpp
        for n, a in enumerate(args):
            out[f"B{n}"] = f(*a)
        bad = []
        def run():
            for _ in range(5):
                for n, a in enumerate(args):
                    B, ref = f(*a), out[f"B{n}"]
                    if not np.allclose(B, ref, rtol=1e-9, atol=1e-12 * np.nanmax(np.abs(ref)),
                                       equal_nan=True):
                        bad.append(n)
        ts = [threading.Thread(target=run) for _ in range(4)]
        for t in ts: t.start()
        for t in ts: t.join()
        out["bad"] = np.array(len(bad))
    """, env={"OMP_NUM_THREADS": threads}, **cases)
    assert r.returncode == 0, r.stderr
    assert r.out["bad"] == 0
    for n in range(4):
        B = r.out[f"B{n}"]
        expected = reference(cases[f"src{n}"], cases[f"tar{n}"], cases[f"I{n}"], cases[f"r{n}"])
        finite = np.isfinite(expected)
        assert finite.mean() > 0.5
        if threads == "1":
            assert same_bits(B, expected), f"case {n}"
        else:
            assert np.array_equal(np.isnan(B), np.isnan(expected))
            np.testing.assert_allclose(B[finite], expected[finite], rtol=1e-9,
                                       atol=1e-12 * np.abs(expected[finite]).max())


def banner(num_src, num_tar):
    stars = "*" * 32 + "\n"
    return (stars + "  Evaluate Biot-Savarts law  \n" + stars
            + f"number of sources = {num_src}\nnumber of field points = {num_tar}\n"
            + "start computation\ndone\n")


@pytest.mark.parametrize(
    "num_src, num_tar, shown",
    [(10000, 10000, False), (10000, 10001, True), (10001, 10000, True),
     (46341, 46341, True)],  # the last product exceeds the 32-bit range
)
def test_banner_goes_to_the_c_stdout_above_1e8_pairs(python_run, num_src, num_tar, shown):
    # sys.stdout is replaced: the banner must still reach file descriptor 1.
    r = python_run(
        """
        import io, sys, fluxkern_mod
        sys.stdout = io.StringIO()
        src = np.tile([0.0, 0.0, 0.0, 0.0, 0.0, 1.0], (int(n_src), 1))
        tar = np.full((int(n_tar), 3), 5.0)
        fluxkern_mod.compute_B_line_segs_cpp(src, tar, 1.0, 1e-3)
        assert sys.stdout.getvalue() == ""
        """,
        n_src=num_src, n_tar=num_tar)
    assert r.returncode == 0, r.stderr
    assert r.stdout == (banner(num_src, num_tar) if shown else "")
