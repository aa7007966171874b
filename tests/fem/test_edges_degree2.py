"""Second-order edge elements: reference tables and their 24 classes, numbering,
interpolation, exactness on polynomial fields and tangential continuity, through
NumPy and through the compiled functions."""

import numpy as np
import pytest

import fluxkern_mod
from fluxkern_tools import elements, locate, materials, meshes, nedelec2, quadrature
from fluxkern_tools.hcurl import EdgeSpace

RNG = np.random.default_rng(11)


def distorted_mesh(shape=(3, 3, 2)):
    """A box mesh with shuffled node numbers (all 24 classes occur) and moved nodes."""
    m = meshes.box((0, 0, 0), (1, 1.3, 0.7), shape)
    perm = RNG.permutation(m.num_nodes)
    nodes = np.empty_like(m.nodes)
    nodes[perm] = m.nodes
    nodes += RNG.uniform(-0.04, 0.04, nodes.shape)
    return meshes.Mesh.from_cells(nodes, perm[m.cells])


def module_B(space, x, q):
    """Points and curl of ``x`` at reference points ``q`` of every element, by the module."""
    m = space.mesh
    phi, d_phi = elements.p1(q)
    return fluxkern_mod.compute_B_Hcurl(
        m.nodes, m.cells_flat, space.glob_ids.reshape(-1), space.curls_by_class(q), phi,
        d_phi, space.orientations, x, q, np.ones(len(q)), space.num_dofs, 20)


def test_curls_are_the_curls_of_the_values_in_every_class():
    lam = RNG.dirichlet(np.ones(4), 24)
    ranks = nedelec2.RANKS                     # one point per class
    h = 1e-6
    fd = []
    for e in np.eye(3):
        step = np.column_stack([-e.sum(), *e]) * h
        fd.append((nedelec2.basis(lam + step, ranks)[0]
                   - nedelec2.basis(lam - step, ranks)[0]) / (2 * h))
    fd = np.stack(fd, axis=-1)                 # [point, function, component, direction]
    curl = np.stack([fd[..., 2, 1] - fd[..., 1, 2], fd[..., 0, 2] - fd[..., 2, 0],
                     fd[..., 1, 0] - fd[..., 0, 1]], axis=-1)
    np.testing.assert_allclose(nedelec2.basis(lam, ranks)[1], curl, atol=1e-8)
    np.testing.assert_array_equal(nedelec2.permutation_class(ranks), np.arange(24))
    with pytest.raises(ValueError, match="repeats"):
        nedelec2.permutation_class([[0, 1, 1, 2]])


def test_every_class_gives_the_same_physical_field():
    # One tetrahedron numbered in all 24 ways: a field of the space, interpolated in
    # each numbering, must come back the same, values and curl, in NumPy and the module.
    X = np.array([[0.1, 0.0, 0.0], [1.0, 0.2, 0.1], [0.0, 0.9, 0.3], [0.2, 0.1, 1.1]])
    ref = EdgeSpace(meshes.Mesh.from_cells(X, [[0, 1, 2, 3]]), 2)
    x_ref = RNG.standard_normal(20)
    q, _ = quadrature.tetrahedron(2)
    bary = np.column_stack([1 - q.sum(axis=1), q])
    zero = np.zeros(len(q), dtype=int)
    A0, B0 = ref.field(x_ref, zero, bary)

    def u(p):
        lam = locate.barycentric(X, np.array([[0, 1, 2, 3]]), np.zeros(len(p), int), p)
        return ref.field(x_ref, np.zeros(len(p), int), lam)[0]

    for r in nedelec2.RANKS:
        nodes = np.empty_like(X)
        nodes[r] = X
        S = EdgeSpace(meshes.Mesh.from_cells(nodes, [r]), 2)
        assert S.orientations[0] == nedelec2.permutation_class([r])[0]
        x = S.interpolate(u)
        A, B = S.field(x, zero, bary)
        np.testing.assert_allclose(A, A0, atol=1e-12)
        np.testing.assert_allclose(B, B0, atol=1e-11)
        _, Bm = module_B(S, x, q)
        np.testing.assert_allclose(Bm, B0, atol=1e-11)


def test_polynomial_fields_are_exact_and_gradients_lie_in_the_kernel():
    m = distorted_mesh()
    S = EdgeSpace(m, 2)
    assert len(np.unique(S.orientations)) == 24
    B0 = np.array([0.3, -1.2, 0.7])
    L = RNG.normal(size=(3, 3))
    curl_L = np.array([L[2, 1] - L[1, 2], L[0, 2] - L[2, 0], L[1, 0] - L[0, 1]])
    A_lin = lambda p: 0.5 * np.cross(B0, p) + p @ L.T + [1.0, -2.0, 0.5]
    x = S.interpolate(A_lin)
    el = RNG.integers(0, m.num_el, 100)
    bary = RNG.dirichlet(np.ones(4), 100)
    pts = np.einsum("pa,pak->pk", bary, m.nodes[m.cells[el]])
    A, B = S.field(x, el, bary)
    np.testing.assert_allclose(A, A_lin(pts), atol=1e-13)
    np.testing.assert_allclose(B, np.broadcast_to(B0 + curl_L, B.shape), atol=1e-12)
    q, w = quadrature.tetrahedron(4)
    _, Bm = module_B(S, x, q)
    np.testing.assert_allclose(Bm, np.broadcast_to(B0 + curl_L, Bm.shape), atol=1e-12)
    # The nodal interpolation of the auxiliary-space preconditioner agrees.
    V = A_lin(m.nodes)
    Pi = S.nodal_interpolation()
    np.testing.assert_allclose(sum(Pi[k] @ V[:, k] for k in range(3)), x, atol=1e-13)
    # Gradients of quadratics are in the space and in the curl-curl kernel.
    Q = RNG.normal(size=(3, 3))
    grad = lambda p: p @ (Q + Q.T)
    xg = S.interpolate(grad)
    np.testing.assert_allclose(S.field(xg, el, bary)[0], grad(pts), atol=1e-13)
    phi, d_phi = elements.p1(q)
    K, dK, _ = fluxkern_mod.compute_stiffness_and_jacobi_matrix_curl_curl(
        m.nodes, m.cells_flat, S.glob_ids.reshape(-1), S.curls_by_class(q), d_phi,
        S.orientations, 1e-3 * x, np.zeros(0), materials.steel("M270-35A").reluctance(),
        q, w, S.num_dofs, 20)
    J = K + dK
    assert np.abs(J @ xg).max() < 1e-13 * abs(J).max() * np.abs(xg).max()
    assert abs(J[S.gradient_dofs]).max() == 0.0


def test_tangential_trace_is_continuous_across_every_interior_face():
    m = distorted_mesh()
    S = EdgeSpace(m, 2)
    x = RNG.standard_normal(S.num_dofs)
    owners = np.full((m.num_faces, 2), -1)
    fid, el = m.face_ids.reshape(-1), np.repeat(np.arange(m.num_el), 4)
    order = np.argsort(fid, kind="stable")
    first = np.r_[True, fid[order][1:] != fid[order][:-1]]
    owners[fid[order][first], 0] = el[order][first]
    owners[fid[order][~first], 1] = el[order][~first]
    inner = np.flatnonzero(owners[:, 1] >= 0)
    assert len(inner) == m.num_faces - len(m.boundary_faces)
    tri = m.nodes[m.faces[inner]]                                        # (F, 3, 3)
    n = np.cross(tri[:, 1] - tri[:, 0], tri[:, 2] - tri[:, 0])
    for lam in RNG.dirichlet(np.ones(3), 3):
        p = np.einsum("a,fak->fk", lam, tri)
        t = []
        for side in (0, 1):
            e = owners[inner, side]
            A, _ = S.field(x, e, locate.barycentric(m.nodes, m.cells, e, p))
            t.append(np.cross(A, n))
        np.testing.assert_allclose(t[0], t[1], atol=1e-12 * np.abs(t[0]).max())


def test_numbering_boundary_unknowns_and_bad_input(monkeypatch):
    m = meshes.box(shape=(2, 2, 1))
    S = EdgeSpace(m, 2)
    # Meshes beyond 2^21 nodes number their faces without integer keys: same result.
    with monkeypatch.context() as mp:
        mp.setattr(meshes.topology, "_triple_keys", lambda t, n: None)
        big = meshes.Mesh.from_cells(m.nodes, m.cells)
        np.testing.assert_array_equal(big.face_ids, m.face_ids)
        np.testing.assert_array_equal(big.face_index(m.faces[::-1]), np.arange(m.num_faces)[::-1])
        with pytest.raises(ValueError, match="no face"):
            big.face_index([[0, 1, m.num_nodes - 1]])
    assert S.num_dofs == 2 * m.num_edges + 2 * m.num_faces
    np.testing.assert_array_equal(m.face_index(m.faces[::-1, ::-1]),
                                  np.arange(m.num_faces)[::-1])
    fixed = S.boundary_dofs(m.boundary_edges, m.boundary_faces)
    assert len(fixed) == 2 * len(m.boundary_edges) + 2 * len(m.boundary_faces)
    # The lowest-order part of a degree-2 interpolant is the degree-1 interpolant.
    f = lambda p: np.sin(p) + p[:, ::-1] ** 2
    np.testing.assert_allclose(S.interpolate(f)[:m.num_edges],
                               EdgeSpace(m, 1).interpolate(f, 3), atol=1e-15)
    with pytest.raises(ValueError, match="no face"):
        m.face_index([[0, 1, m.num_nodes - 1]])
    with pytest.raises(ValueError, match="degree"):
        EdgeSpace(m, 3)
