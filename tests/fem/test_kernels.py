"""The chunked kernel calls: each chunk numbered over its own unknowns, chunks summed as
triplets. Many small chunks must give the system of one kernel call over every element
in the global numbering."""

import fluxkern_mod
import numpy as np
import pytest

from fluxkern_tools import materials, meshes, solvers
from fluxkern_tools.fem import kernels

STEEL = materials.steel("M270-35A")


def _dense(M):
    return M.toarray() if M is not None else None


@pytest.mark.parametrize("formulation", ["scalar", "vector", "vector2"])
def test_small_chunks_give_the_one_call_system(formulation):
    m = meshes.box((0, 0, 0), (1, 1, 1), (3, 3, 3))
    m.regions[::3] = 1                     # a region whose elements skip unknowns
    mats = {0: materials.vacuum(), 1: STEEL}
    rng = np.random.default_rng(0)
    if formulation == "scalar":
        pb = solvers.ScalarPotential(m, mats, [0, 0, 1e3])
        x = rng.normal(size=pb.num_dofs) * 1e2
        cells = pb._regions[1]
        run = lambda chunk: kernels.nodal_system(pb.nodes, cells, pb.d_phi, x,
                                                 pb.materials[1], pb.q, pb.w, chunk=chunk)
        one = fluxkern_mod.compute_stiffness_and_jacobi_matrix(
            pb.nodes, cells, pb.d_phi, x, pb.materials[1], pb.q, pb.w) + (None,)
    else:
        pb = solvers.ReducedVectorPotential(m, mats, [0, 0, 1.0],
                                            degree=2 if formulation == "vector2" else 1)
        x = rng.normal(size=pb.num_dofs) * 1e-2
        rel, arr, Bs = pb._source_parts()[1]
        run = lambda chunk: kernels.curl_curl_system(m.nodes, arr, pb.tables, x, Bs, rel,
                                                     pb.num_el_dofs, chunk=chunk)
        t = pb.tables
        one = fluxkern_mod.compute_stiffness_and_jacobi_matrix_curl_curl(
            m.nodes, arr["cells"], arr["glob_ids"], t.curls, t.d_phi, arr["orientations"],
            x, Bs, rel, t.q, t.w, len(x), pb.num_el_dofs)
    for many in (run(None), run(7)):
        _check(one, many, pb.num_dofs)


def _check(one, many, n):
    for a, b in zip(one[:2], many[:2]):
        a, b = _dense(a), _dense(b)
        assert b.shape == (n, n)
        np.testing.assert_allclose(b, a, rtol=1e-13, atol=1e-13 * np.abs(a).max())
    if one[2] is not None:
        np.testing.assert_allclose(many[2], one[2], rtol=1e-13,
                                   atol=1e-13 * np.abs(one[2]).max())


def test_small_pages_restores_the_switch():
    switch = kernels._hugepage_switch()
    if switch is None:
        pytest.skip("this NumPy has no huge-page switch")
    before = switch(True)
    try:
        with kernels.small_pages():
            pass
        assert switch(True) is True
    finally:
        switch(before)
