"""Reference tables: Lagrange P1/P2, Whitney edge functions, orientation classes."""

import numpy as np
import pytest

from fluxkern_tools import elements, meshes, quadrature

RNG = np.random.default_rng(7)


def _interior_points(n):
    lam = RNG.dirichlet(np.ones(4), size=n)
    return lam[:, 1:]


@pytest.mark.parametrize("degree, N", [(1, 4), (2, 10)])
def test_lagrange_partition_of_unity_and_nodal_property(degree, N):
    p = _interior_points(20)
    phi, d_phi = elements.lagrange(degree, p)
    assert phi.shape == (20, N) and d_phi.shape == (20, N, 3)
    np.testing.assert_allclose(phi.sum(axis=1), 1.0, atol=1e-14)
    np.testing.assert_allclose(d_phi.sum(axis=1), 0.0, atol=1e-13)
    nodes = elements.p2_node_coordinates()[:N]
    phi_n, _ = elements.lagrange(degree, nodes)
    np.testing.assert_allclose(phi_n, np.eye(N), atol=1e-14)


@pytest.mark.parametrize("table", ["p1", "p2", "nedelec"])
def test_derivatives_match_finite_differences(table):
    p = _interior_points(6) * 0.9 + 0.02
    h = 1e-6
    f = {"p1": lambda q: elements.p1(q)[0], "p2": lambda q: elements.p2(q)[0],
         "nedelec": elements.nedelec1_values}[table]
    fd = np.stack([(f(p + h * e) - f(p - h * e)) / (2 * h) for e in np.eye(3)], axis=-1)
    if table == "nedelec":
        # Curl from the Jacobian of the vector field: fd[m, k, comp, dir].
        curl = np.stack([fd[..., 2, 1] - fd[..., 1, 2], fd[..., 0, 2] - fd[..., 2, 0],
                         fd[..., 1, 0] - fd[..., 0, 1]], axis=-1)
        np.testing.assert_allclose(elements.nedelec1_curls(p), curl, atol=1e-8)
    else:
        d_phi = (elements.p1 if table == "p1" else elements.p2)(p)[1]
        np.testing.assert_allclose(d_phi, fd, atol=1e-8)


def test_whitney_functions_have_unit_tangential_moment_on_their_own_edge_only():
    verts = np.array([[0.0, 0, 0], [1, 0, 0], [0, 1, 0], [0, 0, 1]])
    s, w = quadrature.gauss_legendre_01(3)
    moments = np.zeros((6, 6))
    for j, (a, b) in enumerate(elements.LOCAL_EDGES):
        t = verts[b] - verts[a]
        pts = verts[a] + s[:, None] * t
        vals = elements.nedelec1_values(pts)          # (points, 6, 3)
        moments[:, j] = np.einsum("m,mkr,r->k", w, vals, t)
    np.testing.assert_allclose(moments, np.eye(6), atol=1e-14)


def _shuffled_box():
    """A small box mesh whose node numbers are shuffled, so that shared edges are seen
    from elements with local directions both along and against the global direction."""
    m = meshes.box((0, 0, 0), (1, 1, 1), (2, 2, 2))
    perm = RNG.permutation(m.num_nodes)
    nodes = np.empty_like(m.nodes)
    nodes[perm] = m.nodes
    return meshes.Mesh.from_cells(nodes, perm[m.cells])


def test_shuffled_mesh_uses_many_classes():
    m = _shuffled_box()
    assert len(np.unique(m.orientations)) > 8
    # Every element's class (bit k: edge k runs against the global
    # direction) agrees with its edges' global direction.
    signs = elements.class_signs(m.orientations)
    loc = m.cells[:, elements.LOCAL_EDGES]
    glob = m.edges[m.glob_ids]
    np.testing.assert_array_equal(signs > 0, loc[..., 0] == glob[..., 0])


def test_tangential_trace_is_continuous_across_shared_faces():
    m = _shuffled_box()
    x = RNG.standard_normal(m.num_edges)
    # Interior faces: faces shared by two elements.
    faces = np.sort(m.cells[:, meshes.FACES], axis=2).reshape(-1, 3)
    owner = np.repeat(np.arange(m.num_el), 4)
    order = np.lexsort(faces.T[::-1])
    f, o = faces[order], owner[order]
    same = np.all(f[1:] == f[:-1], axis=1)
    checked = 0
    for i in np.flatnonzero(same)[:40]:
        tri = m.nodes[f[i]]
        bary = np.array([[0.2, 0.3, 0.5], [0.6, 0.2, 0.2]])
        pts = bary @ tri
        n = np.cross(tri[1] - tri[0], tri[2] - tri[0])
        vals = []
        for e in (o[i], o[i + 1]):
            X = m.nodes[m.cells[e]]
            J = np.stack([X[1] - X[0], X[2] - X[0], X[3] - X[0]], axis=1)
            ref = np.linalg.solve(J, (pts - X[0]).T).T
            _, A, _ = elements.hcurl_field(m.nodes, m.cells[e:e + 1], m.glob_ids[e:e + 1],
                                           m.orientations[e:e + 1], x, ref)
            vals.append(np.cross(A[0], n))
        np.testing.assert_allclose(vals[0], vals[1], atol=1e-12)
        checked += 1
    assert checked == 40


def test_interpolated_linear_potential_reproduces_field_and_uniform_curl():
    m = _shuffled_box()
    B0 = np.array([0.3, -1.2, 0.7])
    A = lambda r: 0.5 * np.cross(B0, r)
    dofs = elements.interpolate_edges(m.nodes, m.edges, A, n_gauss=1)
    p, _ = quadrature.tetrahedron(2)
    xyz, Ah, curl = elements.hcurl_field(m.nodes, m.cells, m.glob_ids, m.orientations,
                                         dofs, p)
    np.testing.assert_allclose(Ah, A(xyz.reshape(-1, 3)).reshape(xyz.shape), atol=1e-14)
    np.testing.assert_allclose(curl, np.broadcast_to(B0, curl.shape), atol=1e-13)


def test_interpolate_edges_rejects_bad_indices():
    with pytest.raises(IndexError):
        elements.interpolate_edges(np.zeros((2, 3)), np.array([[0, 2]]), lambda r: r)


def test_class_blocks_are_signed_reference_tables():
    p = _interior_points(3)
    curls = elements.curls_by_class(p)
    vals = elements.values_by_class(p)
    assert curls.shape == (64, 3, 6, 3) and curls.flags.c_contiguous
    ref_c, ref_v = elements.nedelec1_curls(p), elements.nedelec1_values(p)
    for cls in [0, 1, 5, 32, 63]:
        s = elements.class_signs(cls)
        np.testing.assert_array_equal(curls[cls], ref_c * s[None, :, None])
        np.testing.assert_array_equal(vals[cls], ref_v * s[None, :, None])
    # Bit k of the class flips edge k.
    np.testing.assert_array_equal(elements.class_signs(0b100100), [1, 1, -1, 1, 1, -1])


@pytest.mark.parametrize("perm", [(0, 1, 2, 3), (3, 2, 1, 0), (1, 3, 0, 2)])
def test_orientation_class_marks_reversed_edges(perm):
    c = np.array([perm]) * 10
    cls = elements.orientation_class(c)[0]
    signs = elements.class_signs(cls)
    for k, (a, b) in enumerate(elements.LOCAL_EDGES):
        assert signs[k] == (1 if c[0, a] < c[0, b] else -1)


def test_module_sees_consistent_classes_on_a_shuffled_mesh():
    mod = pytest.importorskip("fluxkern_mod")
    from fluxkern_tools import materials
    m = _shuffled_box()
    q, w = quadrature.tetrahedron(2)
    phi, d_phi = elements.p1(q)
    curls = elements.curls_by_class(q)
    rel = materials.vacuum().reluctance()
    args = (m.nodes, m.cells_flat, m.glob_ids_flat, curls, d_phi, m.orientations)
    K, dK, _ = mod.compute_stiffness_and_jacobi_matrix_curl_curl(
        *args, np.zeros(m.num_edges), np.zeros(0), rel, q, w, m.num_edges, 6)
    # Gradients of nodal fields lie in the kernel of the curl-curl matrix.
    psi = RNG.standard_normal(m.num_nodes)
    grad = psi[m.edges[:, 1]] - psi[m.edges[:, 0]]
    assert np.abs(K @ grad).max() < 1e-9 * np.abs(K).max() * np.abs(grad).max()
    # A = B0 x r / 2 on the edges gives B = B0 at every evaluation point.
    B0 = np.array([0.1, 0.2, -0.3])
    a = elements.interpolate_edges(m.nodes, m.edges, lambda r: 0.5 * np.cross(B0, r))
    pts, B = mod.compute_B_Hcurl(*args[:4], phi, d_phi, m.orientations, a, q, w,
                                 m.num_edges, 6)
    np.testing.assert_allclose(B, np.broadcast_to(B0, B.shape), atol=1e-12)
    np.testing.assert_allclose(pts, m.map_points(q).reshape(-1, 3), atol=1e-14)
