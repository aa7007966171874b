"""Element partitions and the distributed numbering of unknowns (no MPI needed)."""

import numpy as np
import pytest

from fluxkern_tools import meshes
from fluxkern_tools.solvers.distributed import (dual_graph, elements_by_part, local_dofs,
                                                number_dofs, partition_elements)


@pytest.mark.parametrize("nparts", [1, 2, 3, 7])
def test_partition_and_numbering_cover_everything_once(nparts):
    m = meshes.box((0, 0, 0), (1, 1, 1), (5, 4, 3))
    G = dual_graph(m.face_ids)                 # symmetric, one entry per interior face side
    assert (G != G.T).nnz == 0 and G.nnz == 4 * m.num_el - len(m.boundary_faces)
    parts = partition_elements(m, nparts)
    groups = elements_by_part(parts, nparts)
    assert all(len(g) for g in groups)
    assert np.array_equal(np.sort(np.concatenate(groups)), np.arange(m.num_el))
    free = np.ones(m.num_edges, dtype=bool)
    free[m.boundary_edges] = False
    fixed = number_dofs(m.glob_ids, parts, nparts, include=~free)
    nb = number_dofs(m.glob_ids, parts, nparts, include=free)
    for numbering, mask in ((nb, free), (fixed, ~free)):
        # A bijection from the selected edges onto 0 .. size-1, in contiguous blocks.
        ids = np.flatnonzero(mask)
        assert numbering.size == len(ids)
        assert np.array_equal(np.sort(numbering.index[ids]), np.arange(len(ids)))
        assert np.all(numbering.index[~mask] == -1) and np.all(numbering.owner[~mask] == -1)
        assert np.array_equal(numbering.members()[numbering.index[ids]], ids)
        o = numbering.owner[ids]
        s = numbering.starts
        assert np.all((numbering.index[ids] >= s[o]) & (numbering.index[ids] < s[o + 1]))
    owned = []
    for p, el in enumerate(groups):
        ld = local_dofs(m.glob_ids[el], [nb, fixed], p)
        # Local numbers map back to the part's global ids; the owned blocks are the
        # part's ownership ranges; ghosts are owned elsewhere.
        assert np.array_equal(ld.ids[ld.cells], m.glob_ids[el])
        assert np.array_equal(ld.localize(m.glob_ids[el]), ld.cells)
        for k, numbering in enumerate((nb, fixed)):
            off, n_own, ghosts = ld.block(k)
            s = numbering.starts
            assert np.array_equal(ld.index[off:off + n_own], np.arange(s[p], s[p + 1]))
            assert np.all(numbering.owner[numbering.members()[ghosts]] != p)
            owned.append(ld.ids[off:off + n_own])
        assert ld.n_numbered == len(ld.ids)
    assert np.array_equal(np.sort(np.concatenate(owned)), np.arange(m.num_edges))


def test_partition_rejections():
    m = meshes.box((0, 0, 0), (1, 1, 1), (1, 1, 1))              # 6 elements
    with pytest.raises(ValueError, match="non-empty parts"):
        partition_elements(m, 7)
    with pytest.raises(ValueError, match="at least 1"):
        partition_elements(m, 0)
    parts = np.zeros(m.num_el, dtype=np.int32)
    with pytest.raises(ValueError, match="parts must lie"):
        number_dofs(m.cells, parts + 2, 2)
    nb = number_dofs(m.cells, parts, 1)
    with pytest.raises(ValueError, match="overlap"):
        local_dofs(m.cells, [nb, nb], 0)
    ld = local_dofs(m.cells[:1], nb, 0)
    with pytest.raises(ValueError, match="outside this part"):
        ld.localize(m.cells[5])
