"""compute_stiffness_and_jacobi_matrix_curl_curl, compute_rhs_Hcurl_red_c and
compute_B_Hcurl: triplets, right-hand sides, points and B against the NumPy
reference bit for bit, lowest-order edge elements against the physics they
must reproduce and against scikit-fem, the Newton term against finite
differences and the reluctance protocol (rejections: test_rejections.py)."""

import functools
import math

import numpy as np
import pytest
from scipy.interpolate import CubicSpline

import fluxkern_mod
import reference
from fe_inputs import (Reluctance, assert_triplets, box_tets, edge_numbering, p2_tets,
                       random_cubic, record_triplets, rng_for, rule, unit_elements)
from fluxkern_tools import elements, materials, meshes

cc = fluxkern_mod.compute_stiffness_and_jacobi_matrix_curl_curl
rhs_red = fluxkern_mod.compute_rhs_Hcurl_red_c
b_hcurl = fluxkern_mod.compute_B_Hcurl
NU0 = 795774.7154594767


@functools.lru_cache(maxsize=None)
def _steel():
    return materials.steel("M270-35A").reluctance()


def _problem(tables, orientation, rng, shape=(2, 2, 1)):
    """A small H(curl) problem: the module's arguments, cells (E, N) and
    glob_ids (E, n) two-dimensional.

    whitney-P1: lowest-order edge elements on straight tetrahedra (every
    point carries the same data); whitney-P1-5: the same at five points;
    whitney-P2: the same on curved elements;
    random-P1: random curl tables whose classes are in turn constant over
    the points or not, random global ids with repeats; random-P2: random
    tables at 5 random points on curved elements; many-classes-P1: random
    tables with 4100 classes, more than the kernel remembers one by one."""
    nodes, cells = box_tets(rng, shape=shape, orientation=orientation)
    degree, rule_name = {"whitney-P1": (1, "sym4"), "whitney-P1-5": (1, "random5"),
                         "whitney-P2": (2, "stroud5"),
                         "random-P1": (1, "sym4"), "random-P2": (2, "random5"),
                         "many-classes-P1": (1, "sym4")}[tables]
    q, w = rule(rule_name, rng)
    if tables == "whitney-P1-5":
        w = np.full(len(w), 1 / 30)  # equal weights: the points share their data
    edges, glob_ids = edge_numbering(cells)
    p = dict(glob_ids=glob_ids, curls=elements.curls_by_class(q), q=q, w=w,
             orientations=elements.orientation_class(cells), num_dofs=len(edges), n=6)
    if not tables.startswith("whitney"):
        classes = np.r_[0:3, 4096:4100] if tables.startswith("many") else np.r_[0:3]
        curls = rng.standard_normal((classes[-1] + 1, len(w), 4, 3))
        curls[classes[::2]] = curls[classes[::2], :1]   # constant over the points
        glob_ids = rng.integers(0, 15, (len(cells), 4)).astype(np.int32)
        glob_ids[0, 1] = glob_ids[0, 0]
        p.update(glob_ids=glob_ids, curls=curls, num_dofs=15, n=4,
                 orientations=rng.choice(classes, len(cells)).astype(np.int32))
    if degree == 2:
        nodes, cells = p2_tets(rng, nodes, cells)
    p["phi"], p["d_phi"] = elements.lagrange(degree, q)
    return dict(p, nodes=nodes, cells=cells)


def _field(p, x, B_s):
    """|B| at every point, as the reference forms it."""
    J = reference.jacobians(p["nodes"], p["cells"], p["d_phi"])
    det, _ = reference.invert_jacobians(J)
    init = np.zeros((len(p["cells"]), len(p["w"]), 3)) if B_s is None else B_s
    return reference.norms(reference.curl_field(init, p["glob_ids"], x,
                                                p["curls"][p["orientations"]], J, det))


def _curve(rel):
    return rel.curve() if isinstance(rel, Reluctance) else rel.get_spline_information()


def _mesh_args(p):
    return (p["nodes"], p["cells"].ravel(), p["glob_ids"].ravel(), p["curls"])


def _call_cc(p, x, B_s, rel):
    return cc(*_mesh_args(p), p["d_phi"], p["orientations"], x, B_s, rel, p["q"], p["w"],
              p["num_dofs"], p["n"])


def _call_rhs(p, x, B_s, rel):
    return rhs_red(*_mesh_args(p), p["d_phi"], p["orientations"], B_s, rel, x, p["q"], p["w"],
                   p["num_dofs"], p["n"])


def _call_b(p, x, q=None, w=None, num_dofs=None):
    return b_hcurl(*_mesh_args(p), p["phi"], p["d_phi"], p["orientations"], x,
                   p["q"] if q is None else q, p["w"] if w is None else w, num_dofs, p["n"])


def _reference_cc(p, x, B_s, rel):
    return reference.curl_curl(p["nodes"], p["cells"], p["glob_ids"], p["curls"], p["d_phi"],
                               p["orientations"], x, p["w"], _curve(rel), p["num_dofs"], B_s)


def _assert_cc_matches_reference(monkeypatch, p, x, B_s, rel, empty=None):
    """K and dK as appended and the right-hand side equal the reference's in
    every bit; B_s None is passed as `empty`."""
    out, calls = record_triplets(
        monkeypatch, lambda: _call_cc(p, x, (np.zeros(0) if empty is None else empty) if B_s is None else B_s, rel))
    assert type(out) is tuple and len(out) == 3
    K, dK, rhs = out
    i, j, vK, vdK, R = _reference_cc(p, x, B_s, rel)
    n = p["num_dofs"]
    assert_triplets(calls, (K, dK), i, j, (vK, vdK), n)
    assert rhs.shape == (n,) and rhs.dtype == np.float64
    assert np.array_equal(rhs, R, equal_nan=True)
    return K, dK, rhs, calls


# --------------------------------------------------------- bit for bit

@pytest.mark.parametrize("orientation, material", [("positive", "cubic"), ("negative", "steel"),
                                                   ("mixed", "cubic")])
@pytest.mark.parametrize("source", [None, "varying", "constant"])
@pytest.mark.parametrize("tables", ["whitney-P1", "whitney-P1-5", "whitney-P2", "random-P1",
                                    "random-P2", "many-classes-P1"])
def test_results_match_the_reference_bit_for_bit(monkeypatch, tables, source, orientation,
                                                  material):
    rng = rng_for("bits", tables, source, orientation)
    p = _problem(tables, orientation, rng)
    E, M = len(p["cells"]), len(p["w"])
    x = rng.standard_normal(p["num_dofs"])
    B_s = {None: None, "varying": rng.standard_normal((E, M, 3)),
           "constant": np.repeat(rng.standard_normal((E, 1, 3)), M, axis=1)}[source]
    Bmag = _field(p, x, B_s)
    if material == "steel":
        scale = 1.5 / np.median(Bmag)   # a few tesla, across the knee of the curve
        x, B_s = x * scale, None if B_s is None else B_s * scale
        rel = _steel()
    else:
        # Breakpoints over part of the field range: points below the first
        # (nu = 0) and beyond the last (the last piece extended).
        rel = Reluctance(1, *random_cubic(rng, 5, *np.quantile(Bmag, [0.05, 0.8])))
    _, _, rhs, _ = _assert_cc_matches_reference(monkeypatch, p, x, B_s, rel)
    if B_s is not None:
        red = _call_rhs(p, x, B_s, rel)
        assert type(red) is np.ndarray and np.array_equal(red, rhs)
        assert np.array_equal(red, reference.rhs_hcurl_red(
            p["nodes"], p["cells"], p["glob_ids"], p["curls"], p["d_phi"], p["orientations"],
            B_s, x, p["w"], _curve(rel), p["num_dofs"]))
    points, B = _call_b(p, x)
    P, BB = reference.b_hcurl(p["nodes"], p["cells"], p["glob_ids"], p["curls"], p["phi"],
                              p["d_phi"], p["orientations"], x)
    assert points.shape == B.shape == (E * M, 3) and B.flags.c_contiguous
    assert np.array_equal(points, P.reshape(-1, 3)) and np.array_equal(B, BB.reshape(-1, 3))


@pytest.mark.parametrize("breaks", [[0.0, 0.75, 1.5, 3.0], [0.0, 1e-9, 2e-9, 0.5, 3e4],
                                    [-1.0, 0.5, 1e150]], ids=["even", "uneven", "vast"])
def test_curve_pieces_and_powers_match_the_c_library(monkeypatch, breaks):
    # One point on each of many reference elements (J = I): every element
    # evaluates the curve at its own |B|.  The fields sit on, just beside and
    # between breakpoints, so that every piece is found as the definition
    # finds it; the offsets from the breakpoints run over many binades,
    # inside and outside the range where the kernel knows pow's result
    # without calling it, with short mantissas (exact powers) and powers
    # that land near a rounding midpoint.
    rng = rng_for("powers", *breaks)
    E = 12000
    nodes, cells = unit_elements(E)
    q, w = np.full((1, 3), 0.25), np.ones(1)
    breaks = np.array(breaks)
    at = np.abs(rng.choice(breaks, E))
    k = E // 4
    Bmag = np.concatenate([
        at[:k] + 2.0 ** rng.uniform(-80, 80, k),
        at[k:2 * k] + rng.uniform(0, 0.75, k),
        at[2 * k:3 * k] + rng.integers(1, 2**20, k) * 2.0**-22,
        np.nextafter(at[3 * k:], rng.choice([-np.inf, 0.0, np.inf], E - 3 * k))])
    # Along an axis, |B| is the field itself, to the bit.
    B_s = np.zeros((E, 1, 3))
    B_s[np.arange(E), 0, rng.integers(0, 3, E)] = Bmag * rng.choice([-1.0, 1.0], E)
    p = dict(nodes=nodes, cells=cells, glob_ids=np.arange(6 * E, dtype=np.int32).reshape(E, 6),
             curls=elements.curls_by_class(q), d_phi=elements.p1(q)[1], q=q, w=w,
             orientations=np.zeros(E, np.int32), num_dofs=6 * E, n=6)
    c = rng.uniform(-1, 1, (4, len(breaks) - 1)) * [[1e-3], [1e-1], [10], [1e3]]
    rel = Reluctance(1, c, breaks)
    x = np.zeros(6 * E)
    _assert_cc_matches_reference(monkeypatch, p, x, B_s, rel)
    assert np.array_equal(_call_rhs(p, x, B_s, rel), _reference_cc(p, x, B_s, rel)[4],
                          equal_nan=True)


@pytest.mark.parametrize("power", [2, 3])
def test_cubic_powers_are_the_host_pow_over_many_arguments(power):
    # The kernel knows pow(d, 2.0) and pow(d, 3.0) without calling pow where
    # an exact product proves the result.  A reluctance d**power on one
    # piece, read back from K: single-point elements with J = I, unit weight
    # and one local function whose curl is a unit vector have K = nu(|B|),
    # and along an axis |B| is the field itself.
    rng = rng_for("pow", power)
    k = 100_000
    d = np.concatenate([2.0 ** rng.uniform(-70, 70, k), rng.uniform(0.0, 4.0, k),
                        rng.integers(1, 2**27, k) * 2.0 ** rng.integers(-40, 20, k)])
    E = len(d)
    nodes, cells = unit_elements(E)
    q, w = np.full((1, 3), 0.25), np.ones(1)
    c = np.zeros((4, 1))
    c[3 - power, 0] = 1.0
    B_s = np.zeros((E, 1, 3))
    B_s[:, 0, 0] = d
    K, _, _ = cc(nodes, cells.ravel(), np.arange(E, dtype=np.int32), np.array([1.0, 0.0, 0.0]),
                 elements.p1(q)[1], np.zeros(E, np.int32), np.zeros(E), B_s,
                 Reluctance(1, c, np.array([0.0, 1e300])), q, w, E, 1)
    assert np.array_equal(K.diagonal(), [math.pow(v, power) for v in d])


# ------------------------------------------------- edge-element physics

@pytest.mark.parametrize("orientation", ["positive", "mixed"])
def test_gradients_are_in_the_kernel_and_a_linear_potential_gives_its_field(orientation):
    rng = rng_for("whitney", orientation)
    p = _problem("whitney-P1", orientation, rng, shape=(2, 2, 2))
    edges, _ = edge_numbering(p["cells"])
    # A nonlinear state: dK is not zero, and like K it sees only curls.
    x = 0.3 * rng.standard_normal(p["num_dofs"])
    K, dK, _ = _call_cc(p, x, np.zeros(0), _steel())
    assert np.abs(dK).max() > 1e-3 * np.abs(K).max()
    psi = rng.standard_normal(len(p["nodes"]))
    grad = psi[edges[:, 1]] - psi[edges[:, 0]]
    for A in (K, dK):
        assert np.abs(A @ grad).max() < 1e-11 * np.abs(A).max() * np.abs(grad).max()

    # A = B0 x r / 2 on the edges: B = B0 at every evaluation point, in
    # mirrored elements too (the signed determinant of the Piola map).
    B0 = np.array([0.4, -1.1, 0.7])
    a = elements.interpolate_edges(p["nodes"], edges, lambda r: 0.5 * np.cross(B0, r))
    points, B = _call_b(p, a)
    np.testing.assert_allclose(B, np.broadcast_to(B0, B.shape), rtol=0, atol=1e-13)
    np.testing.assert_allclose(points, (p["phi"] @ p["nodes"][p["cells"]]).reshape(-1, 3),
                               rtol=0, atol=1e-15)


def test_constant_reluctance_gives_the_scikit_fem_curl_curl_matrix():
    skfem = pytest.importorskip("skfem")
    from skfem.helpers import curl, dot
    m = meshes.box(shape=(2, 2, 2))
    nodes, inner = m.nodes.copy(), m.interior_nodes()
    nodes[inner] += rng_for("skfem").uniform(-0.08, 0.08, (len(inner), 3))
    mesh = skfem.MeshTet(nodes.T, m.cells.T)
    form = skfem.BilinearForm(lambda u, v, w: 2.5 * dot(curl(u), curl(v)))
    expected = form.assemble(skfem.Basis(mesh, skfem.ElementTetN0())).toarray()
    # scikit-fem numbers and directs the edges as we do: lower node first, sorted.
    assert np.array_equal(mesh.edges.T, m.edges)
    q, w = rule("sym4")
    K, _, _ = cc(nodes, m.cells_flat, m.glob_ids_flat, elements.curls_by_class(q),
                 elements.p1(q)[1], m.orientations, np.zeros(m.num_edges), np.zeros(0),
                 Reluctance(0, value=2.5), q, w, m.num_edges, 6)
    np.testing.assert_allclose(K.toarray(), expected, rtol=0,
                               atol=1e-13 * np.abs(expected).max())


def _smooth_reluctance():
    """A C2 cubic spline of nu(|B|) from 0.1 nu0 up to nu0, nine pieces."""
    b = np.linspace(0.0, 4.0, 10)
    spl = CubicSpline(b, NU0 * (0.1 + 0.9 * b**2 / (1.0 + b**2)))
    return Reluctance(1, spl.c, spl.x)


@pytest.mark.parametrize("with_source", [False, True])
def test_newton_term_is_the_derivative_of_the_residual(with_source):
    rng = rng_for("newton", with_source)
    p = _problem("whitney-P2", "mixed", rng)
    x = 0.1 * rng.standard_normal(p["num_dofs"])
    B_s = 0.5 * rng.standard_normal((len(p["cells"]), len(p["w"]), 3)) if with_source else None
    Bmag = _field(p, x, B_s)
    assert Bmag.min() > 1e-3 and 0.5 < np.median(Bmag) < 4.0
    B_s = np.zeros(0) if B_s is None else B_s
    rel = _smooth_reluctance()
    delta = rng.standard_normal(p["num_dofs"])

    def residual(v):   # rhs(x) - K(x) x; rhs is 0 without a source
        K, _, rhs = _call_cc(p, v, B_s, rel)
        return rhs - K @ v

    K, dK, _ = _call_cc(p, x, B_s, rel)
    slope = -((K + dK) @ delta)
    errors = [np.linalg.norm(residual(x + h * delta) - residual(x) - h * slope)
              for h in (5e-3, 2.5e-3, 1.25e-3)]
    assert errors[0] < 2e-4 * np.linalg.norm(slope)   # without dK: 1.2e-3
    assert all(3.0 < e1 / e2 < 5.0 for e1, e2 in zip(errors, errors[1:]))


# ---------------------------------------------------------- edge cases

@pytest.mark.parametrize("empty", [np.zeros((0, 3)), np.array([])], ids=["zeros((0,3))", "[]"])
def test_empty_source_runs_the_kernel_without_source(monkeypatch, empty):
    rng = rng_for("empty")
    p = _problem("whitney-P2", "mixed", rng)
    x = rng.standard_normal(p["num_dofs"])
    rel = Reluctance(1, *random_cubic(rng, 4, 0.0, 2.0 * np.median(_field(p, x, None))))
    _, _, rhs, without = _assert_cc_matches_reference(monkeypatch, p, x, None, rel, empty)
    assert np.array_equal(rhs, np.zeros(p["num_dofs"]))
    # A zero source selects the source kernel: the same lists, a zero rhs.
    zero = np.zeros((len(p["cells"]), len(p["w"]), 3))
    _, _, rhs, with_zero = _assert_cc_matches_reference(monkeypatch, p, x, zero, rel)
    assert not rhs.any() and not _call_rhs(p, x, zero, rel).any()
    assert all(np.array_equal(u, v) for a, b in zip(without, with_zero) for u, v in zip(a, b))


def test_vacuum_constant_has_no_newton_term_and_no_right_hand_side(monkeypatch):
    rng = rng_for("vacuum")
    p = _problem("whitney-P2", "mixed", rng)
    x = rng.standard_normal(p["num_dofs"])
    B_s = rng.standard_normal((len(p["cells"]), len(p["w"]), 3))
    rel = Reluctance(0, value=NU0)
    _, _, rhs, calls = _assert_cc_matches_reference(monkeypatch, p, x, B_s, rel)
    assert rel.type_calls == 3
    assert len(calls[1][0]) == len(p["cells"]) * p["n"] ** 2 and not calls[1][0].any()
    assert not rhs.any() and not _call_rhs(p, x, B_s, Reluctance(0, value=NU0)).any()


@pytest.mark.parametrize("function", ["curl_curl", "rhs"])
def test_unknown_type_prints_once_and_gives_nu0_times_the_source_integral(
        monkeypatch, capsys, function):
    rng = rng_for("type 2", function)
    p = _problem("whitney-P1", "mixed", rng)
    x = rng.standard_normal(p["num_dofs"])
    B_s = rng.standard_normal((len(p["cells"]), len(p["w"]), 3))
    rel = Reluctance(2, value=123.0)
    # The constant 0: nu0 times the integral of B_s . curl phi_j.
    expected = _reference_cc(p, x, B_s, Reluctance(0, value=0.0))[4]
    assert np.abs(expected).max() > 0
    if function == "rhs":
        assert np.array_equal(_call_rhs(p, x, B_s, rel), expected)
    else:
        K, dK, rhs, _ = _assert_cc_matches_reference(monkeypatch, p, x, B_s, rel)
        assert K.nnz > 0 and not K.data.any() and not dK.data.any()
        assert np.array_equal(rhs, expected)
    assert capsys.readouterr().out == "Type specifyer of reluctance not found!\n"
    assert rel.type_calls == 3


@pytest.mark.parametrize("function", [_call_cc, _call_rhs], ids=["curl_curl", "rhs"])
@pytest.mark.parametrize("wrap", [tuple, list, iter], ids=["tuple", "list", "iterator"])
def test_spline_information_may_be_any_pair(function, wrap):
    rng = rng_for("pair")
    p = _problem("whitney-P1", "mixed", rng)
    x = rng.standard_normal(p["num_dofs"])
    B_s = rng.standard_normal((len(p["cells"]), len(p["w"]), 3))
    c, xb = random_cubic(rng, 3, 0.0, 3.0)
    rel = Reluctance(1, info=wrap([c, list(xb)]))   # breakpoints need not be an array
    out, expected = function(p, x, B_s, rel), function(p, x, B_s, Reluctance(1, c, xb))
    if function is _call_cc:
        out, expected = [out[0].toarray(), out[1].toarray(), out[2]], \
            [expected[0].toarray(), expected[1].toarray(), expected[2]]
    assert all(np.array_equal(u, v) for u, v in zip(out, expected))
    assert rel.type_calls == 2


def test_b_field_ignores_num_dofs_and_the_values_of_q_and_w():
    rng = rng_for("B ignores")
    p = _problem("whitney-P2", "mixed", rng)
    x = rng.standard_normal(p["num_dofs"])
    points, B = _call_b(p, x, num_dofs=p["num_dofs"])
    for num_dofs in (None, "not a count", -5, 2**70):
        other = _call_b(p, x, q=rng.random((3, 5)), w=-rng.random(len(p["w"])),
                        num_dofs=num_dofs)
        assert np.array_equal(other[0], points) and np.array_equal(other[1], B)
    # Element-major rows: the first M rows belong to element 0; a partial
    # element at the end of cells is left out.
    M = len(p["w"])
    N = p["cells"].shape[1]
    first = _call_b(dict(p, cells=p["cells"].ravel()[: 2 * N - 1], glob_ids=p["glob_ids"][:1],
                         orientations=p["orientations"][:1]), x)
    assert np.array_equal(first[1], B[:M]) and np.array_equal(first[0], points[:M])


def test_reduced_rhs_without_elements_is_zero():
    p = _problem("whitney-P1", "mixed", rng_for("no elements"))
    p = dict(p, cells=p["cells"].ravel()[:3])   # len(cells) < el_nodes: no element
    out = _call_rhs(p, np.ones(p["num_dofs"]), np.ones((1, 3)), Reluctance(0, value=1.0))
    assert np.array_equal(out, np.zeros(p["num_dofs"]))


@pytest.mark.parametrize("with_source", [False, True])
def test_a_rule_without_points_gives_zero_entries(monkeypatch, with_source):
    rng = rng_for("no points", with_source)
    p = _problem("whitney-P1", "mixed", rng)
    q, w = np.zeros((0, 3)), np.zeros(0)
    p.update(q=q, w=w, curls=elements.curls_by_class(q), d_phi=np.zeros((0, 4, 3)))
    B_s = np.zeros((len(p["cells"]), 0, 3)) if with_source else None
    K, dK, rhs, _ = _assert_cc_matches_reference(monkeypatch, p, rng.standard_normal(p["num_dofs"]),
                                                 B_s, _steel())
    assert not K.data.any() and not dK.data.any() and not rhs.any()


@pytest.mark.parametrize("field, included", [(1e-14, True), (np.nextafter(1e-14, 0), False)])
def test_newton_term_starts_at_a_field_of_1e_14(field, included):
    # The reference element (J = I, det 1): one coefficient x on local edge
    # (1, 2), whose reference curl is (0, 0, 2), gives B = (0, 0, 2 x).
    nodes, cells = unit_elements(1)
    q, w = np.full((1, 3), 0.25), np.ones(1)
    x = np.zeros(6)
    x[3] = field / 2
    rel = Reluctance(1, np.array([[1e30], [1e20], [1e10], [5.0]]), np.array([0.0, 1.0]))
    K, dK, _ = cc(nodes, cells.ravel(), np.arange(6), elements.curls_by_class(q),
                  elements.p1(q)[1], np.zeros(1, np.int32), x, np.zeros(0), rel, q, w, 6, 6)
    assert K[3, 3] > 0 and (dK[3, 3] != 0) == included
