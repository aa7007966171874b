"""Large output buffers are kept between calls and handed out again: what a
reused buffer held must never show in a result, and the kept memory stays
bounded whatever sizes follow one another."""

import fluxkern_mod
from fe_inputs import CURL, random_calls


def test_reused_buffers_hold_nothing_of_their_past(python_run):
    # A call fills the buffers with NaN; the next calls of the same and of
    # smaller sizes (a list shorter than its capacity included) reuse them.
    r = python_run("""
        import numpy as np, fluxkern_mod
        from fluxkern_tools import elements, materials, meshes, quadrature

        mesh = meshes.box((0, 0, 0), (1, 1, 1), (12, 12, 12))
        q, w = quadrature.tetrahedron(2)
        phi, d_phi = elements.p1(q)
        curls = elements.curls_by_class(q)
        rel = materials.ConstantReluctance(2.0)
        args = lambda x, n: (mesh.nodes, mesh.cells_flat, mesh.glob_ids_flat, curls, d_phi,
                             mesh.orientations, x, np.zeros(0), rel, q, w, mesh.num_edges, n)
        nan = np.full(mesh.num_edges, np.nan)
        fluxkern_mod.compute_stiffness_and_jacobi_matrix_curl_curl(*args(nan, 6))
        x = np.ones(mesh.num_edges)
        K, dK, rhs = fluxkern_mod.compute_stiffness_and_jacobi_matrix_curl_curl(*args(x, 6))
        print("FULL", np.isfinite(K.data).all(), np.isfinite(dK.data).all(), np.all(rhs == 0))
        fluxkern_mod.compute_stiffness_and_jacobi_matrix_curl_curl(*args(nan, 6))
        # 5.5 local functions: capacity 30.25 per element, 25 entries appended
        K5, _, _ = fluxkern_mod.compute_stiffness_and_jacobi_matrix_curl_curl(*args(x, 5.5))
        print("PART", np.isfinite(K5.data).all(), K5.nnz <= 25 * mesh.num_el)
        P, B = fluxkern_mod.compute_B_Hcurl(mesh.nodes, mesh.cells_flat, mesh.glob_ids_flat,
                                            curls, phi, d_phi, mesh.orientations, x, q, w,
                                            None, 6)
        print("B", np.isfinite(P).all() and np.isfinite(B).all())
    """)
    assert r.returncode == 0, r.stderr
    assert "FULL True True True" in r.stdout
    assert "PART True True" in r.stdout
    assert "B True" in r.stdout


def test_kept_memory_is_bounded(python_run):
    # Ever new sizes, each 16 MB to 150 MB of triplets: what is kept from
    # earlier calls is returned, so the resident set does not grow with them.
    r = python_run("""
        import numpy as np, fluxkern_mod
        from fe_inputs import rss_bytes
        from fluxkern_tools import elements, materials, meshes, quadrature

        q, w = quadrature.tetrahedron(2)
        _, d_phi = elements.p1(q)
        mu = materials.ConstantPermeability(1.0)
        sizes = [10, 14, 18, 22, 12, 16, 20, 24, 11, 15, 19, 23]
        peaks = []
        for n in sizes + sizes:
            mesh = meshes.box((0, 0, 0), (1, 1, 1), (n, n, n))
            x = np.zeros(mesh.num_nodes)
            fluxkern_mod.compute_stiffness_and_jacobi_matrix(
                mesh.nodes, mesh.cells_flat, d_phi, x, mu, q, w)
            peaks.append(rss_bytes())
        print("GROWTH", (peaks[-1] - peaks[len(sizes) - 1]) / 2**20)
    """, timeout=1200)   # a hang guard (s): 24 assemblies, slow on a busy machine
    assert r.returncode == 0, r.stderr
    growth = float(r.stdout.split("GROWTH")[1])
    assert growth < 64, growth


def test_fractional_local_function_counts_leave_no_unwritten_entries():
    # A small call (buffers from malloc): 8 * 6.5**2 = 338 entries of room,
    # 8 * 6**2 = 288 written; the rest must not reach the matrices.
    kw = random_calls(4)[CURL]
    whole = fluxkern_mod.compute_stiffness_and_jacobi_matrix_curl_curl(**kw)
    part = fluxkern_mod.compute_stiffness_and_jacobi_matrix_curl_curl(**dict(kw, num_el_dofs=6.5))
    for a, b in zip(whole[:2], part[:2]):
        assert a.nnz == b.nnz and (a != b).nnz == 0
