"""Entry lists summed into csr arrays: the compiled summation, its SciPy stand-in, and
the kernels' entry lists taken as they are during chunked assembly."""

import threading

import fluxkern_mod
import numpy as np
import pytest
import scipy.sparse as sp

from fluxkern_tools.fem import kernels


def _entries(rng, n_rows, n_cols, N):
    rows = rng.integers(0, n_rows, N).astype(np.int32)
    cols = rng.integers(0, n_cols, N).astype(np.int32)
    vals = rng.choice([0.0, -0.0, 1.0, -1.0, 0.5, 1e-300, 3.25], N)  # sums that cancel
    vals[::11] = rng.standard_normal(len(vals[::11]))
    return rows, cols, vals


@pytest.mark.parametrize("drop_zeros", [True, False])
def test_sums_are_scipys_and_do_not_depend_on_threads(monkeypatch, drop_zeros):
    rng = np.random.default_rng(3)
    n_rows, n_cols = 300, 200
    rows, cols, vals = _entries(rng, n_rows, n_cols, 1 << 21)   # past the parallel size
    ref = sp.coo_array((vals, (rows, cols)), shape=(n_rows, n_cols)).toarray()
    runs = [kernels.summed_csr(rows, cols, vals, (n_rows, n_cols), t, drop_zeros)
            for t in (1, 2, 0)]
    monkeypatch.setattr(kernels, "_SPARSE", None)
    runs.append(kernels.summed_csr(rows, cols, vals, (n_rows, n_cols), 1, drop_zeros))
    for indptr, indices, data in runs:
        A = sp.csr_array((data, indices, indptr), shape=(n_rows, n_cols))
        assert A.has_sorted_indices and (data != 0).all() == drop_zeros
        np.testing.assert_allclose(A.toarray(), ref, rtol=1e-14, atol=1e-14)
    for r in runs[1:3]:                     # one order of summation, whatever the threads
        assert all(np.array_equal(a, b) for a, b in zip(r, runs[0]))


def test_bad_entry_lists_are_refused():
    ext = kernels._SPARSE
    if ext is None:
        pytest.skip("the compiled summation is not built")
    i = np.array([0, 1], np.int32)
    v = np.ones(2)
    for args in [(np.array([0, 2], np.int32), i, v, 2, 2),      # row out of range
                 (i, np.array([0, -1], np.int32), v, 2, 2),     # negative column
                 (i, i, np.ones(3), 2, 2),                      # lengths differ
                 (i.astype(np.int64), i, v, 2, 2),              # wrong index type
                 (i, i, v, -1, 2)]:                             # negative shape
        with pytest.raises(ValueError):
            ext.sum_entries(*args, True, 1)
    indptr, indices, data = ext.sum_entries(i[:0], i[:0], v[:0], 3, 3, True, 1)
    assert indptr.tolist() == [0, 0, 0, 0] and len(indices) == len(data) == 0


def test_entry_lists_go_to_the_assembly_only():
    # While chunks are summed, the kernels' csr_array global hands entry lists to the
    # assembling threads; any other thread still gets csr arrays, and the global is
    # restored afterwards.
    from fluxkern_tools import materials, meshes, solvers

    before = fluxkern_mod.csr_array
    pb = solvers.ScalarPotential(meshes.box((0, 0, 0), (1, 1, 1), (2, 2, 2)),
                                 {0: materials.vacuum()}, [0, 0, 1.0])
    args = (pb.nodes, pb._regions[0], pb.d_phi, np.zeros(pb.num_dofs), pb.materials[0],
            pb.q, pb.w)
    seen = []

    def other():
        seen.append(type(fluxkern_mod.compute_stiffness_and_jacobi_matrix(*args)[0]))

    def call(a, b):
        t = threading.Thread(target=other)
        t.start()
        t.join()
        K, dK = fluxkern_mod.compute_stiffness_and_jacobi_matrix(*args)
        seen.append(type(K))
        return K, dK, None, np.arange(pb.num_dofs)

    K, _, _ = kernels.summed_in_chunks(1, call, pb.num_dofs, None)
    assert seen == [sp.csr_array, kernels._Triplets]
    assert fluxkern_mod.csr_array is before
    ref = fluxkern_mod.compute_stiffness_and_jacobi_matrix(*args)[0]
    np.testing.assert_allclose(K.toarray(), ref.toarray(), rtol=1e-14, atol=1e-20)


def test_pattern_joined_to_summed_entries_by_a_merge():
    from fluxkern_tools.solvers.assembly import _sorted_union

    rng = np.random.default_rng(8)
    m = 40
    ck = np.unique(rng.integers(0, m * m, 500))
    keys = np.unique(np.concatenate([ck[::3], rng.integers(0, m * m, 200)]))
    rows, cols = (ck // m).astype(np.int32), (ck % m).astype(np.int32)
    vals = rng.standard_normal(len(ck))
    got = _sorted_union(rows, cols, vals, keys, m)
    ref = kernels.summed_csr(np.concatenate([rows, keys // m]), np.concatenate([cols, keys % m]),
                             np.concatenate([vals, np.zeros(len(keys))]), (m, m),
                             drop_zeros=False)
    assert all(np.array_equal(a, b) for a, b in zip(got, ref))
    assert _sorted_union(rows[::-1], cols[::-1], vals, keys, m) is None
