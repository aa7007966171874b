"""Material objects: the data the module reads, evaluated as the module evaluates it."""

import numpy as np
import pytest
from scipy.interpolate import BSpline, PPoly

import reference
from fluxkern_tools import bh_curves, materials

STEELS = bh_curves.names()


@pytest.mark.parametrize("name", STEELS)
def test_permeability_data_reproduces_bh_curve(name):
    H, B = bh_curves.bh_curve(name)
    perm = materials.steel(name).permeability()
    assert perm.get_type_spec() == 1
    t, c, k, H_min, mu_H_min = perm.get_spline_information()
    assert t.ndim == 1 and c.ndim == 1 and isinstance(k, int)
    assert len(c) == len(t) - k - 1 and H_min > 0 and mu_H_min > 0
    spl = BSpline(t, c, k)
    Hd = H[H >= H_min]
    np.testing.assert_allclose(spl(np.log10(Hd)) * Hd, B[H >= H_min], rtol=1e-9)
    # mu is continuous at the cut-off.
    assert spl(np.log10(H_min)) == pytest.approx(mu_H_min, rel=1e-12)


@pytest.mark.parametrize("name", STEELS)
def test_permeability_curve_is_physical(name):
    perm = materials.steel(name).permeability()
    h = np.logspace(-2, 9, 40001)
    mu = perm.evaluate_mu(h)
    assert np.all(mu > materials.MU0 * 0.999)
    Bh = mu * h
    assert np.all(np.diff(Bh) > 0)                      # B(H) increasing
    # Deep saturation approaches the vacuum permeability from above.
    assert perm.evaluate_mu(1e9) == pytest.approx(materials.MU0, rel=3e-3)
    # The derivative is the derivative of the value.
    hh = np.logspace(0.2, 8, 9)
    fd = (perm.evaluate_mu(hh * (1 + 1e-6)) - perm.evaluate_mu(hh * (1 - 1e-6))) / (2e-6 * hh)
    np.testing.assert_allclose(perm.evaluate_dmu_dH(hh), fd, rtol=1e-5,
                               atol=1e-12 * np.abs(fd).max())


def test_python_curves_follow_the_module_rules():
    # The module's rules as the NumPy statement of its kernels has them: the
    # cut-off, the half-open knot spans, the last cubic piece extended,
    # nothing below the first breakpoint.
    perm = materials.steel("M270-35A").permeability()
    assert perm.evaluate_mu(np.nan) == 0.0   # NaN fails the cut-off test H_min > H
    H = np.array([0.0, 0.3, 1.0, 17.0, 140.0, 3.3e3, 2.5e5, 7e8, 1e10])
    t, c, k, H_min, mu_H_min = perm.get_spline_information()
    mu, dmu = reference.permeability(H, 1, k, t, c, H_min, mu_H_min)
    np.testing.assert_allclose(perm.evaluate_mu(H), mu, rtol=1e-12, atol=1e-300)
    np.testing.assert_allclose(perm.evaluate_dmu_dH(H), dmu, rtol=1e-9, atol=1e-22)
    assert mu[-1] == 0.0 and np.all(mu[H < H_min] == mu_H_min) and not dmu[H < H_min].any()
    rel = materials.steel("M270-35A").reluctance()
    B = np.array([0.0, 1e-3, 0.7, 1.55, 2.3, 19.0, 25.0, 400.0, -0.1])
    nu, dnu = reference.piecewise_cubic(B, *rel.get_spline_information())
    np.testing.assert_allclose(rel.evaluate_nu(B), nu, rtol=1e-12, atol=0)
    np.testing.assert_allclose(rel.evaluate_dnu_dB(B), dnu, rtol=1e-9, atol=1e-9)


@pytest.mark.parametrize("name", STEELS)
def test_reluctance_data_reproduces_bh_curve(name):
    H, B = bh_curves.bh_curve(name)
    rel = materials.steel(name).reluctance()
    assert rel.get_type_spec() == 1
    c, x = rel.get_spline_information()
    assert c.shape == (4, len(x) - 1) and x[0] == 0.0 and np.all(np.diff(x) > 0)
    pp = PPoly(c, x)
    np.testing.assert_allclose(pp(B[1:]) * B[1:], H[1:], rtol=1e-9)
    np.testing.assert_allclose(rel.evaluate_H(B[1:]), H[1:], rtol=1e-9)


@pytest.mark.parametrize("name", STEELS)
def test_reluctance_curve_is_monotone_and_extends_like_vacuum(name):
    rel = materials.steel(name).reluctance()
    c, x = rel.get_spline_information()
    b = np.linspace(0, 2000, 400001)
    nu = rel.evaluate_nu(b)
    assert np.all(nu > 0) and np.all(nu <= materials.NU0)
    H = nu * b
    assert np.all(np.diff(H) > 0)
    # The module continues the last piece: it must be a vacuum-like constant.
    np.testing.assert_array_equal(c[:3, -1], 0.0)
    assert 0.85 * materials.NU0 < c[3, -1] < materials.NU0
    assert x[-1] >= 20.0
    # Saturation law in the extended range: H = (B - Js) / mu0.
    Hd, Bd = bh_curves.bh_curve(name)
    Js = Bd[-1] - materials.MU0 * Hd[-1]
    for bb in (4.0, 10.0):
        assert rel.evaluate_H(bb) == pytest.approx((bb - Js) / materials.MU0, rel=3e-3)


@pytest.mark.parametrize("B", [0.0, 1e-3, 0.7, 1.55, 2.3, 19.0, 25.0, 400.0, -0.1])
def test_python_reluctance_follows_module_rules(B):
    rel = materials.steel("M270-35A").reluctance()
    v, d = reference.piecewise_cubic(np.array([B]), *rel.get_spline_information())
    assert rel.evaluate_nu(B) == pytest.approx(v, rel=1e-12, abs=0)
    assert rel.evaluate_dnu_dB(B) == pytest.approx(d, rel=1e-9, abs=1e-9)


def test_constant_and_vacuum_materials():
    vac = materials.vacuum()
    assert vac.reluctance().get_type_spec() == 0
    assert vac.reluctance().value == 795774.7154594767
    assert vac.permeability().get_type_spec() == 0
    assert vac.permeability().evaluate_mu(0.0) == (4 * np.pi) * 1e-7
    lin = materials.linear(1000.0)
    assert lin.permeability().evaluate_mu(5.0) == pytest.approx(1000 * materials.MU0)
    assert lin.reluctance().value * lin.permeability().mu == pytest.approx(1.0)
    np.testing.assert_array_equal(lin.reluctance().evaluate_dnu_dB(np.ones(3)), 0.0)


def test_caller_cannot_corrupt_the_curve_through_returned_arrays():
    rel = materials.steel("M270-35A").reluctance()
    nu_before = rel.evaluate_nu(1.0)
    c, x = rel.get_spline_information()
    c[:] = 0.0
    x[:] = 0.0
    assert rel.evaluate_nu(1.0) == nu_before
    perm = materials.steel("M270-35A").permeability()
    t, cc, *_ = perm.get_spline_information()
    cc[:] = 0.0
    assert perm.evaluate_mu(100.0) > 0


@pytest.mark.parametrize("make", [
    lambda: materials.SplinePermeability([0, 0, 1, 1], [1.0, 1.0], -1, 1.0, 1.0),
    lambda: materials.SplinePermeability([0, 0, 0, 1, 1, 1], [1.0, 1.0], 2, 1.0, 1.0),
    lambda: materials.SplinePermeability([0, 0, 1, 1], [1.0, 1.0], 1, 0.0, 1.0),
    lambda: materials.SplinePermeability([1, 0, 1, 1], [1.0, 1.0], 1, 1.0, 1.0),
    lambda: materials.CubicReluctance(np.zeros((4, 2)), [0.1, 1.0, 2.0]),
    lambda: materials.CubicReluctance(np.zeros((4, 2)), [0.0, 1.0]),
    lambda: materials.CubicReluctance(np.zeros((3, 1)), [0.0, 1.0]),
    lambda: materials.ConstantReluctance(0.0),
    lambda: materials.SplinePermeability.from_bh_curve([0, 10, 5], [0, 1, 2]),
    lambda: materials.CubicReluctance.from_bh_curve([0, 1e6], [0, 0.5]),
])
def test_inconsistent_material_data_is_rejected(make):
    with pytest.raises(ValueError):
        make()


def test_module_accepts_the_material_objects():
    mod = pytest.importorskip("fluxkern_mod")
    from fluxkern_tools import elements, meshes, quadrature
    m = meshes.box(shape=(2, 2, 2))
    q, w = quadrature.tetrahedron(2)
    phi, d_phi = elements.p1(q)
    x = m.nodes[:, 0] * 1e3                       # uniform H = 1000 A/m along x
    perm = materials.steel("M270-35A").permeability()
    K, dK = mod.compute_stiffness_and_jacobi_matrix(m.nodes, m.cells_flat, d_phi, x, perm, q, w)
    # Summed over the nodes of the face x = 1, K x is the flux mu(H) H through that unit
    # face and dK x is mu'(H) H^2.
    face = np.isclose(m.nodes[:, 0], 1.0)
    assert (K @ x)[face].sum() == pytest.approx(perm.evaluate_mu(1e3) * 1e3, rel=1e-10)
    assert (dK @ x)[face].sum() == pytest.approx(perm.evaluate_dmu_dH(1e3) * 1e6, rel=1e-10)
    curls = elements.curls_by_class(q)
    rel = materials.steel("M270-35A").reluctance()
    B0 = np.array([0.0, 0.0, 1.5])
    a = elements.interpolate_edges(m.nodes, m.edges, lambda r: 0.5 * np.cross(B0, r))
    K, dK, rhs = mod.compute_stiffness_and_jacobi_matrix_curl_curl(
        m.nodes, m.cells_flat, m.glob_ids_flat, curls, d_phi, m.orientations, a,
        np.zeros(0), rel, q, w, m.num_edges, 6)
    assert K.shape == (m.num_edges, m.num_edges)
    pts, B = mod.compute_B_Hcurl(m.nodes, m.cells_flat, m.glob_ids_flat, curls, phi, d_phi,
                                 m.orientations, a, q, w, m.num_edges, 6)
    np.testing.assert_allclose(B, np.broadcast_to(B0, B.shape), atol=1e-12)


@pytest.mark.parametrize("H, B", [
    ([0.0, 100.0, 1000.0], [0.0, 1.0, 1.5]),                 # three points only
    ([0.0, 100.0, 200.0, 1000.0], [0.0, 0.1, 1.0, 1.5]),     # convex start (Rayleigh region)
] + [bh_curves.bh_curve(n) for n in STEELS])
def test_both_formulations_describe_one_physical_curve(H, B):
    perm = materials.SplinePermeability.from_bh_curve(H, B)
    rel = materials.CubicReluctance.from_bh_curve(H, B)
    # A convex start must not give a vanishing initial permeability or reluctance.
    assert perm.mu_H_min > 10 * materials.MU0
    assert 0 < rel.evaluate_nu(0.0) < 0.1 * materials.NU0
    bb = np.linspace(0, 30, 300001)
    Hb = rel.evaluate_H(bb)
    assert np.all(np.diff(Hb) > 0)
    # Compared in B, which is well conditioned also where B(H) is flat.
    h = np.logspace(0, 6, 61)
    np.testing.assert_allclose(np.interp(h, Hb, bb), perm.evaluate_B(h), rtol=1e-2)
    assert np.all(np.diff(perm.evaluate_B(np.logspace(-1, 8, 9001))) > 0)


def test_reluctance_derivative_and_newton_consistency():
    rel = materials.steel("1010").reluctance()
    b = np.linspace(0.05, 25, 37)
    fd = (rel.evaluate_nu(b + 1e-7) - rel.evaluate_nu(b - 1e-7)) / 2e-7
    np.testing.assert_allclose(rel.evaluate_dnu_dB(b), fd, rtol=1e-5, atol=1e-3)


def test_bh_table_from_file_round_trips_and_names_bad_lines(tmp_path):
    H, B = materials.steel("M270-35A").H, materials.steel("M270-35A").B
    f = tmp_path / "m270.csv"
    f.write_text("# M270-35A, H in kA/m, B in mT\nB (mT), H [kA/m]\n"
                 + "".join(f"{float(b * 1e3)!r}, {float(h / 1e3)!r}  # point\n"
                           for h, b in zip(H, B)))
    m = materials.from_file(f, columns=("H", "B"), units={"H": "kA/m", "B": "mT"})
    np.testing.assert_allclose(m.H, H, rtol=1e-12)
    np.testing.assert_allclose(m.B, B, rtol=1e-12)
    assert m.name == "m270"
    ref = materials.steel("M270-35A").reluctance()
    np.testing.assert_allclose(m.reluctance().evaluate_nu([0.5, 1.5, 2.3]),
                               ref.evaluate_nu([0.5, 1.5, 2.3]), rtol=1e-9)
    # Whitespace, no header, columns by index, oersted and gauss.
    g = tmp_path / "plain.txt"
    g.write_text("\n".join(f"{float(h * 4e-3 * np.pi)!r}\t{float(b * 1e4)!r}"
                           for h, b in zip(H, B)))
    m2 = materials.from_file(g, columns=(0, 1), units={"H": "Oe", "B": "G"})
    np.testing.assert_allclose(m2.H, H, rtol=1e-12)
    bad = {"1 2\n3 x\n": "line 2: not a number", "0 0\n10 1\n5 1.2\n": "line 3: H and B",
           "# only\n10 1\n": "at least two", "0 0\n1e6 1.0\n": "below the vacuum"}
    for k, (text, msg) in enumerate(bad.items()):
        h = tmp_path / f"bad{k}.txt"
        h.write_text(text)
        with pytest.raises(ValueError, match=msg) as e:
            materials.from_file(h)
        assert str(h) in str(e.value)
    with pytest.raises(FileNotFoundError, match="nope"):
        materials.from_file(tmp_path / "nope.csv")
    with pytest.raises(ValueError, match="unknown unit"):
        materials.from_file(f, units={"B": "tesla"})
