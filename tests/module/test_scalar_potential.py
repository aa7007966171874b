"""compute_stiffness_and_jacobi_matrix: the appended triplets against the
NumPy reference bit for bit, the permeability curve against SciPy, the Newton
term against finite differences, physics and scikit-fem, and the permeability
protocol (rejections: test_rejections.py)."""

import math

import numpy as np
import pytest
from scipy.interpolate import BSpline, PPoly, make_interp_spline

import fluxkern_mod
import reference
from fe_inputs import (Permeability, assert_triplets, box_tets, p2_tets, random_bspline,
                       record_triplets, rng_for, rule, unit_elements)
from fluxkern_tools import elements, meshes

f = fluxkern_mod.compute_stiffness_and_jacobi_matrix


def _problem(element, orientation, rule_name, rng):
    """nodes, cells (E, N), q, w, d_phi. "N5": five-node elements with random
    tables, which take the loop for node counts other than 4 and 10."""
    q, w = rule(rule_name, rng)
    if element == "N5":
        cells = np.array([rng.permutation(12)[:5] for _ in range(6)], dtype=np.int32)
        return rng.standard_normal((12, 3)), cells, q, w, rng.standard_normal((len(w), 5, 3))
    nodes, cells = box_tets(rng, orientation=orientation)
    if element == "P2":
        nodes, cells = p2_tets(rng, nodes, cells)
    return nodes, cells, q, w, elements.lagrange(2 if element == "P2" else 1, q)[1]


def _log_field(nodes, cells, d_phi, x):
    """log10 |grad x| at every point, as the reference forms it."""
    _, J_inv = reference.invert_jacobians(reference.jacobians(nodes, cells, d_phi))
    with np.errstate(divide="ignore"):
        return np.log10(reference.norms(reference.grad_field(cells, d_phi, x, J_inv))).ravel()


def _assert_matches_reference(monkeypatch, nodes, cells, d_phi, x, perm, q, w, curve=None):
    """Both appended lists equal the reference's, in order and in every bit."""
    (K, dK), calls = record_triplets(
        monkeypatch, lambda: f(nodes, cells.ravel(), d_phi, x, perm, q, w))
    i, j, vK, vdK = reference.scalar_potential(nodes, cells, d_phi, x, w, curve or perm.curve())
    assert_triplets(calls, (K, dK), i, j, (vK, vdK), len(nodes))
    return K, dK


# --------------------------------------------------------- bit for bit

GEOMETRIES = [(e, r, o) for e, r in [("P1", "sym4"), ("P1", "stroud5"), ("P2", "centroid"),
                                      ("P2", "stroud5")]
              for o in ("positive", "negative", "mixed")] + [("N5", "random5", "random")]


@pytest.mark.parametrize("k", [0, 1, 3, 5])
@pytest.mark.parametrize("element, rule_name, orientation", GEOMETRIES)
def test_triplets_match_the_reference_bit_for_bit(monkeypatch, element, rule_name,
                                                   orientation, k):
    rng = rng_for("bits", element, rule_name, orientation, k)
    nodes, cells, q, w, d_phi = _problem(element, orientation, rule_name, rng)
    x = rng.standard_normal(len(nodes)) * rng.choice([1e-3, 1.0, 1e4])
    # Knots over the middle of the field range and a cut-off near its bottom:
    # points below the cut-off, outside the knots and inside them.
    s = _log_field(nodes, cells, d_phi, x)
    t, c = random_bspline(rng, k, *np.quantile(s, [0.1, 0.9]), clamped=rng.random() < 0.5)
    perm = Permeability(1, t, c, k, H_min=10 ** np.quantile(s, 0.05), mu_H_min=0.7)
    _assert_matches_reference(monkeypatch, nodes, cells, d_phi, x, perm, q, w)


@pytest.mark.parametrize("case", ["unsorted", "huge knot", "tiny gap", "inf coefficient",
                                  "nan field", "degree 8"])
def test_curves_off_the_fast_path_match_the_reference(monkeypatch, case):
    # Knots or fields the knot-span evaluation refuses go through the plain
    # evaluation of every basis function: the same bits, in linear time.
    rng = rng_for("plain", case)
    nodes, cells, q, w, d_phi = _problem("P1", "mixed", "sym4", rng)
    x = rng.standard_normal(len(nodes))
    s = _log_field(nodes, cells, d_phi, x)
    k = 8 if case == "degree 8" else 3
    t, c = random_bspline(rng, k, *np.quantile(s, [0.1, 0.9]))
    if case == "unsorted":
        t[3], t[5] = t[5], t[3] + 0.1
    elif case == "huge knot":
        t[-1] = 1e200
    elif case == "tiny gap":
        t[4] = t[3] + 1e-200
    elif case == "inf coefficient":
        c[len(c) // 2] = np.inf
    elif case == "nan field":
        x[cells[0, 1]] = np.nan
    perm = Permeability(1, t, c, k, H_min=0.0, mu_H_min=0.7)
    _assert_matches_reference(monkeypatch, nodes, cells, d_phi, x, perm, q, w)


def test_the_highest_degree_on_unsorted_knots_returns_promptly():
    # The recursion itself would make 2**20 calls per coefficient and point.
    rng = rng_for("plain", "degree 20")
    nodes, cells, q, w, d_phi = _problem("P1", "mixed", "sym4", rng)
    t, c = random_bspline(rng, 20, -2.0, 2.0)
    t[3], t[5] = t[5], t[3]
    K, dK = f(nodes, cells.ravel(), d_phi, rng.standard_normal(len(nodes)),
              Permeability(1, t, c, 20, H_min=0.0, mu_H_min=0.7), q, w)
    assert K.shape == (len(nodes), len(nodes))


# ------------------------------------------------------ material curve

def _curve_through_unit_elements(perm, H):
    """The module's (mu, dmu/dlog10 H) at the field strengths H.

    One reference element per value, field H along x, one point of weight 1:
    K at local node 1 is mu itself, dK there ((H mu') H) / H = (dmu/ds) / ln 10."""
    nodes, cells = unit_elements(len(H))
    x = np.zeros(len(nodes))
    x[cells[:, 1]] = H
    q = np.full((1, 3), 0.25)
    K, dK = f(nodes, cells.ravel(), elements.p1(q)[1], x, perm, q, np.ones(1))
    node = cells[:, 1]
    return K.diagonal()[node], dK.diagonal()[node] * math.log(10.0)


@pytest.mark.parametrize("k", [0, 1, 2, 3, 4])
def test_permeability_curve_follows_scipy_bspline(k):
    rng = rng_for("curve", k)
    t, c = random_bspline(rng, k, -1.0, 2.0, clamped=True)   # log10 H from -1 to 2
    spl = BSpline(t, c, k, extrapolate=False)
    dspl = PPoly.from_spline(spl, extrapolate=False).derivative()   # piecewise: any multiplicity
    tol = dict(rtol=1e-10, atol=1e-11 * np.abs(c).max())
    s = rng.uniform(-1.0, 2.0, 40)
    mu, D = _curve_through_unit_elements(Permeability(1, t, c, k, 0.0, 5.0), 10.0 ** s)
    np.testing.assert_allclose(mu, spl(s), **tol)
    np.testing.assert_allclose(D, dspl(s), rtol=1e-10, atol=1e-11 * np.abs(dspl(s)).max())

    # Half-open supports: nothing at or beyond the last knot (where SciPy's
    # closed base interval still gives the last coefficient), nor below the first.
    assert spl(2.0) != 0.0
    outside = [100.0, 100.0 * (1 + 1e-15), 1e6, 10 ** -1.2, 1e-5]
    mu, D = _curve_through_unit_elements(Permeability(1, t, c, k, 0.0, 5.0), outside)
    assert not mu.any() and not D.any()

    # The cut-off: below H_min the constant and no Newton term; at H_min the curve.
    H_min = 10 ** 0.3
    H = [0.0, 1e-20, 0.5, H_min * (1 - 1e-15), H_min]
    mu, D = _curve_through_unit_elements(Permeability(1, t, c, k, H_min, 5.0), H)
    assert np.array_equal(mu[:4], np.full(4, 5.0)) and not D[:4].any()
    np.testing.assert_allclose([mu[4], D[4]], [spl(0.3), dspl(0.3)], **tol)


def test_newton_term_starts_at_a_field_of_1e_14():
    t, c = random_bspline(rng_for("threshold"), 3, -15.0, -13.0, clamped=True)
    mu, D = _curve_through_unit_elements(Permeability(1, t, np.abs(c) + 1, 3),
                                         [1e-14, np.nextafter(1e-14, 0)])
    assert mu.all() and D[0] != 0 and D[1] == 0


# The plain recursion would give -inf * 0 = NaN at s = log10(0): a zero
# field must give a zero permeability below the knots, and a finite K.
@pytest.mark.parametrize("k", [1, 3])
def test_zero_field_without_cut_off_gives_zero_permeability(k):
    t, c = random_bspline(rng_for("zero field", k), k, -1.0, 2.0, clamped=True)
    mu, D = _curve_through_unit_elements(Permeability(1, t, c, k, 0.0, 5.0), [0.0, 1.0])
    assert mu[0] == 0.0 and D[0] == 0.0


# -------------------------------------------------------- Newton term

def _smooth_permeability():
    """An interpolating cubic spline (C2) of mu(log10 H), 1 to 10 mH/m."""
    s = np.linspace(-3.0, 4.0, 15)
    spl = make_interp_spline(s, 1e-3 * (5.5 + 4.5 * np.tanh(1.5 - s)), k=3)
    return Permeability(1, spl.t, spl.c, 3, H_min=1e-3, mu_H_min=1e-2)


@pytest.mark.parametrize("element, rule_name", [("P1", "sym4"), ("P2", "stroud5")])
def test_newton_term_is_the_derivative_of_K_times_x(element, rule_name):
    rng = rng_for("newton", element)
    nodes, cells, q, w, d_phi = _problem(element, "mixed", rule_name, rng)
    perm = _smooth_permeability()
    x = 30.0 * rng.standard_normal(len(nodes))
    s = _log_field(nodes, cells, d_phi, x)
    assert -3.0 < s.min() and s.max() < 4.0   # inside the curve: K(x) x is smooth
    delta = rng.standard_normal(len(nodes))

    def F(v):
        return f(nodes, cells.ravel(), d_phi, v, perm, q, w)[0] @ v

    K, dK = f(nodes, cells.ravel(), d_phi, x, perm, q, w)
    slope = (K + dK) @ delta
    errors = [np.linalg.norm(F(x + h * delta) - F(x) - h * slope) for h in (0.2, 0.1, 0.05)]
    assert errors[0] < 5e-3 * np.linalg.norm(slope)   # without dK: 6e-2
    # The remainder of a first-order expansion falls with h squared.
    assert all(3.0 < e1 / e2 < 5.0 for e1, e2 in zip(errors, errors[1:]))


# ------------------------------------------------------------ physics

def _unit_K(nodes, cells, d_phi, q, w):
    return f(nodes, cells.ravel(), d_phi, np.zeros(len(nodes)), Permeability(0), q, w)[0]


@pytest.mark.parametrize("element, orientation", [("P1", "positive"), ("P1", "negative"),
                                                  ("P2", "positive")])
def test_linear_potential_leaves_no_interior_residual(element, orientation):
    rng = rng_for("patch", element, orientation)
    m = meshes.box(shape=(3, 3, 3))
    inner = m.interior_nodes()
    nodes = m.nodes.copy()
    nodes[inner] += rng.uniform(-0.08, 0.08, (len(inner), 3))
    cells = m.cells if orientation == "positive" else m.cells[:, [0, 1, 3, 2]]
    q, w = rule("sym4" if element == "P1" else "stroud5")   # exact for curved P2 terms
    if element == "P2":
        nodes, cells = p2_tets(rng, nodes, cells, bend=0.03)
    d_phi = elements.lagrange(2 if element == "P2" else 1, q)[1]
    # A uniform field of 40 A/m in a nonlinear material: the same mu everywhere.
    x = nodes @ np.array([24.0, -16.0, 24.0]) + 3.0
    K, _ = f(nodes, cells.ravel(), d_phi, x, _smooth_permeability(), q, w)
    r, scale = K @ x, np.abs(K).max() * np.abs(x).max()
    assert np.abs(r[inner]).max() < 1e-12 * scale < 1e-9 * np.abs(r).max()


def test_elements_sharing_a_node_add_up():
    rng = rng_for("shared")
    q, w = rule("stroud5")
    d_phi = elements.p1(q)[1]
    nodes, x = rng.standard_normal((7, 3)), rng.standard_normal(7)
    both = np.array([0, 1, 2, 3, 3, 4, 5, 6], dtype=np.int32)   # node 3 in both
    t, c = random_bspline(rng, 3, -1.0, 1.5)
    perm = Permeability(1, t, np.abs(c), 3)
    K, dK = f(nodes, both, d_phi, x, perm, q, w)
    K0, dK0 = f(nodes, both[:4], d_phi, x, perm, q, w)
    K1, dK1 = f(nodes, both[4:], d_phi, x, perm, q, w)
    assert np.array_equal(K.toarray(), K0.toarray() + K1.toarray())
    assert np.array_equal(dK.toarray(), dK0.toarray() + dK1.toarray())
    assert K0[3, 3] != 0 and K1[3, 3] != 0


@pytest.mark.parametrize("case, element, factor", [("type 0", "P2", 2.0), ("x = 0", "P1", 4.0)])
def test_constant_permeability_scales_the_unit_stiffness_without_newton_term(
        monkeypatch, case, element, factor):
    # Type 0, whatever the field; or a spline below its cut-off, as x = 0 is.
    rng = rng_for(case)
    nodes, cells, q, w, d_phi = _problem(element, "mixed", "stroud5", rng)
    perm = (Permeability(0, mu0=2.0) if case == "type 0" else
            Permeability(1, *random_bspline(rng, 3, -1.0, 2.0), 3, H_min=0.5, mu_H_min=4.0))
    x = rng.standard_normal(len(nodes)) if case == "type 0" else np.zeros(len(nodes))
    (K, dK), calls = record_triplets(monkeypatch, lambda: f(
        nodes, cells.ravel(), d_phi, x, perm, q, w))
    assert np.array_equal(K.toarray(), factor * _unit_K(nodes, cells, d_phi, q, w).toarray())
    assert len(calls[1][0]) == cells.size * cells.shape[1] and not calls[1][0].any()
    if case == "type 0":   # evaluate_mu asked once, with the float 0.0
        assert perm.mu_calls == 1 and perm.last_H == 0.0 and type(perm.last_H) is float


def test_two_dimensional_cells_count_rows_and_unused_nodes_keep_the_order():
    rng = rng_for("counts")
    nodes, cells, q, w, d_phi = _problem("P1", "mixed", "sym4", rng)
    x = rng.standard_normal(len(nodes))
    perm = Permeability(0, mu0=1.5)
    full = f(nodes, cells.ravel(), d_phi, x, perm, q, w)[0].toarray()
    # (E, 4) counts E rows: only the first E / 4 elements are assembled.
    K2d = f(nodes, cells, d_phi, x, perm, q, w)[0].toarray()
    first = f(nodes, cells[: len(cells) // 4].ravel(), d_phi, x, perm, q, w)[0].toarray()
    assert np.array_equal(K2d, first) and not np.array_equal(K2d, full)
    # Nodes of no element: the order is nodes.shape[0], their rows and columns empty.
    extra = np.vstack([nodes, rng.standard_normal((5, 3))])
    K, dK = f(extra, cells.ravel(), d_phi, np.r_[x, np.zeros(5)], perm, q, w)
    n = len(nodes)
    assert K.shape == dK.shape == (n + 5, n + 5)
    assert np.array_equal(K.toarray()[:n, :n], full) and K[n:].nnz == 0 and K[:, n:].nnz == 0


def test_unit_permeability_gives_the_scikit_fem_laplace_matrix():
    skfem = pytest.importorskip("skfem")
    from skfem.models.poisson import laplace
    m = meshes.box(shape=(3, 2, 2))
    nodes, inner = m.nodes.copy(), m.interior_nodes()
    nodes[inner] += rng_for("skfem").uniform(-0.05, 0.05, (len(inner), 3))
    basis = skfem.Basis(skfem.MeshTet(nodes.T, m.cells.T), skfem.ElementTetP1())
    expected = laplace.assemble(basis).toarray()
    q, w = rule("centroid")
    K = _unit_K(nodes, m.cells, elements.p1(q)[1], q, w).toarray()
    np.testing.assert_allclose(K, expected, rtol=0, atol=1e-13 * np.abs(expected).max())


# ----------------------------------------------- permeability protocol

SPLINE = dict(t=[-1.0, -1, -1, -1, 0.5, 2, 2, 2, 2], c=[1.0, 3, 2, 4, 2], k=3, mu_H_min=7.0)


@pytest.mark.parametrize("answers, calls, curve", [
    ([0], 2, 2.5),
    ([1], 3, "spline"),
    ([2], 3, 0.0),             # unknown: printed, no coefficients
    ([2, 1], 3, "spline"),     # the second question is asked afresh
    ([0, 1], 2, 0.0),          # the record takes the last answer: type 1, no coefficients
    ([1, 1, 0], 3, 7.0),       # spline data read, then the constant mu_H_min
])
def test_type_spec_is_asked_in_order_and_the_record_takes_the_last_answer(
        monkeypatch, capsys, answers, calls, curve):
    rng = rng_for("protocol")
    nodes, cells, q, w, d_phi = _problem("P2", "mixed", "stroud5", rng)
    perm = Permeability(answers, mu0=2.5, **SPLINE)
    expected = Permeability(1, **SPLINE) if curve == "spline" else Permeability(0, mu0=curve)
    _, dK = _assert_matches_reference(monkeypatch, nodes, cells, d_phi,
                                      rng.standard_normal(len(nodes)), perm, q, w,
                                      curve=expected.curve())
    assert perm.type_calls == calls
    assert curve == "spline" or not dK.data.any()
    message = "Type specifyer of permeability not found!\n"
    assert capsys.readouterr().out == (message if answers == [2] else "")
