"""Element partitions and the distributed numbering of unknowns (NumPy only, no MPI).

The elements are split into one part per process by METIS (through ``pymetis``) on the
dual graph (elements sharing a face), built here from the mesh's face numbering in
linear time: pymetis's own mesh entry point copies the connectivity into Python lists
first, which took as long as METIS itself on 200k elements and would not fit in memory
at 10^8 elements. Every unknown is then owned by one part, the
lowest-numbered part among the elements that touch it, and renumbered so that each
part owns one contiguous block (PETSc's ownership ranges); within a block the original
order is kept, so neighbouring unknowns stay close. A process sees its own elements,
with local numbers for the unknowns they touch: first those it owns, then the ghosts
(owned elsewhere), then the ones outside the numbering (fixed by boundary conditions).
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np
import scipy.sparse as sp

__all__ = ["partition_elements", "dual_graph", "elements_by_part", "Numbering",
           "number_dofs", "compact", "LocalDofs", "local_dofs"]


def partition_elements(mesh, nparts: int) -> np.ndarray:
    """Part (0 .. nparts-1) of every element of ``mesh`` (a
    :class:`~fluxkern_tools.meshes.Mesh`), balanced, with few faces between parts.

    Raises ValueError when a part would be empty (fewer elements than parts, or METIS
    leaving one out).
    """
    nparts = int(nparts)
    if nparts < 1:
        raise ValueError("the number of parts must be at least 1")
    if mesh.num_el < nparts:
        raise ValueError(f"{mesh.num_el} elements cannot be split into {nparts} "
                         "non-empty parts")
    if nparts == 1:
        return np.zeros(mesh.num_el, dtype=np.int32)
    import pymetis

    G = dual_graph(mesh.face_ids)
    _, parts = pymetis.part_graph(nparts, adjacency=pymetis.CSRAdjacency(G.indptr,
                                                                        G.indices))
    parts = np.asarray(parts, dtype=np.int32)
    if np.bincount(parts, minlength=nparts).min() == 0:
        raise ValueError(f"METIS left a part empty: the mesh is too small for {nparts} "
                         "processes")
    return parts


def dual_graph(face_ids):
    """Adjacency (E x E csr, pattern only) of the elements sharing a face, from the
    global face ids (E, 4) of their faces. Linear time: a face met twice joins the two
    elements, and the sum of their ids gives each one the other."""
    F = np.asarray(face_ids, dtype=np.int64)
    E = len(F)
    f = F.reshape(-1)
    el = np.repeat(np.arange(E, dtype=np.int64), F.shape[1])
    inner = np.bincount(f)[f] == 2
    other = np.rint(np.bincount(f, weights=el)[f]).astype(np.int64) - el
    indptr = np.concatenate([[0], np.cumsum(inner.reshape(E, -1).sum(axis=1))])
    return sp.csr_array((np.ones(int(inner.sum()), dtype=np.int8), other[inner], indptr),
                        shape=(E, E))


def elements_by_part(parts, nparts: int) -> list:
    """The element ids of each part (a list of ``nparts`` sorted index arrays)."""
    p = np.asarray(parts, dtype=np.int64)
    order = np.argsort(p, kind="stable")
    bounds = np.concatenate([[0], np.cumsum(np.bincount(p, minlength=nparts))])
    return [order[bounds[k]:bounds[k + 1]] for k in range(nparts)]


@dataclass
class Numbering:
    """A distributed numbering of (some of) N unknowns over ``nparts`` parts.

    ``owner`` (N,) is the owning part of each unknown and ``index`` (N,) its global
    number, both -1 outside the numbering; part p owns the numbers
    ``starts[p] .. starts[p + 1] - 1``.
    """

    owner: np.ndarray
    index: np.ndarray
    starts: np.ndarray

    @property
    def size(self) -> int:
        """Number of unknowns in the numbering."""
        return int(self.starts[-1])

    def members(self) -> np.ndarray:
        """Original ids of the numbered unknowns, in global-number order."""
        out = np.empty(self.size, dtype=np.int64)
        sel = np.flatnonzero(self.index >= 0)
        out[self.index[sel]] = sel
        return out


def number_dofs(dof_cells, parts, nparts: int, include=None) -> Numbering:
    """Number the unknowns that ``dof_cells`` (E, k) touch and ``include`` (N,) selects.

    ``parts`` (E,) is the part of each element (:func:`partition_elements`); ``include``
    is a boolean mask over all N unknowns (default: all; N = ``len(include)`` or the
    largest id + 1). Unknowns that no element touches stay outside the numbering.
    """
    D = np.asarray(dof_cells, dtype=np.int64)
    D = D.reshape(len(D), -1)
    p = np.asarray(parts, dtype=np.int64).reshape(-1)
    if len(p) != len(D):
        raise ValueError("parts needs one entry per element")
    if len(p) and (p.min() < 0 or p.max() >= nparts):
        raise ValueError(f"parts must lie in 0 .. {nparts - 1}")
    n = (int(D.max()) + 1 if D.size else 0) if include is None else len(include)
    if D.size and (D.min() < 0 or D.max() >= n):
        raise ValueError("dof_cells reference unknowns outside 0 .. N - 1")
    owner = np.full(n, nparts, dtype=np.int64)
    np.minimum.at(owner, D.reshape(-1), np.repeat(p, D.shape[1]))
    keep = owner < nparts
    if include is not None:
        keep &= np.asarray(include, dtype=bool)
    ids = np.flatnonzero(keep)
    order = ids[np.argsort(owner[ids], kind="stable")]
    index = np.full(n, -1, dtype=np.int64)
    index[order] = np.arange(len(order))
    counts = np.bincount(owner[ids], minlength=nparts)
    owner[~keep] = -1
    return Numbering(owner.astype(np.int32), index,
                     np.concatenate([[0], np.cumsum(counts)]).astype(np.int64))


def compact(cells, scratch=None):
    """The distinct ids in ``cells`` (ascending) and ``cells`` as positions in that list
    (int32, same shape), in time linear in ``cells`` apart from sorting the distinct ids.

    ``scratch``: an int64 array filled with -1, longer than the largest id (left as it
    was found); pass one to reuse it over many calls.
    """
    D = np.asarray(cells, dtype=np.int64)
    flat = D.reshape(-1)
    if scratch is None:
        scratch = np.full(int(flat.max()) + 1 if flat.size else 0, -1, dtype=np.int64)
    pos = np.arange(len(flat))
    scratch[flat] = pos
    ids = np.sort(flat[scratch[flat] == pos])     # one occurrence of each id survives
    scratch[ids] = np.arange(len(ids))
    local = scratch[flat].reshape(D.shape).astype(np.int32)
    scratch[ids] = -1
    return ids, local


@dataclass
class LocalDofs:
    """The unknowns one part's elements touch, in local order.

    ``ids`` are their original ids, in blocks: for each numbering given to
    :func:`local_dofs`, the ones this part owns and then its ghosts (owned elsewhere),
    both in global-number order; last the rest (in no numbering) in id order.
    ``index`` holds the global number of each in its numbering (-1 for the rest),
    ``counts`` the (owned, ghost) sizes of the blocks and ``cells`` the local numbers of
    the cells the unknowns came from.
    """

    ids: np.ndarray
    index: np.ndarray
    counts: list
    cells: np.ndarray | None = None

    def block(self, k: int = 0):
        """``(offset, n_owned, ghosts)`` of numbering ``k``: where its block starts in
        the local order, how many it owns, and the global numbers of its ghosts."""
        off = sum(a + b for a, b in self.counts[:k])
        n_own, n_ghost = self.counts[k]
        return off, n_own, self.index[off + n_own:off + n_own + n_ghost]

    @property
    def n_numbered(self) -> int:
        """Local unknowns inside some numbering (owned and ghosts of every block)."""
        return sum(a + b for a, b in self.counts)

    def localize(self, cells) -> np.ndarray:
        """Other ``cells`` (original ids, any shape) as local numbers, int32."""
        c = np.asarray(cells, dtype=np.int64)
        if not len(self.ids):
            if c.size:
                raise ValueError("cells reference unknowns outside this part")
            return c.astype(np.int32)
        o = np.argsort(self.ids, kind="stable")
        pos = np.minimum(np.searchsorted(self.ids[o], c), len(o) - 1)
        if c.size and not np.array_equal(self.ids[o][pos], c):
            raise ValueError("cells reference unknowns outside this part")
        return o[pos].astype(np.int32)


def local_dofs(dof_cells, numberings, part: int, scratch=None) -> LocalDofs:
    """:class:`LocalDofs` of the unknowns in ``dof_cells`` (this part's elements).

    ``numberings``: one :class:`Numbering` or a list of them over disjoint sets of the
    same unknowns (e.g. the free and the fixed ones); ``scratch`` as for
    :func:`compact`.
    """
    if isinstance(numberings, Numbering):
        numberings = [numberings]
    ids, local = compact(dof_cells, scratch)
    blocks, counts, left = [], [], np.ones(len(ids), dtype=bool)
    index = np.full(len(ids), -1, dtype=np.int64)
    for nb in numberings:
        idx = nb.index[ids]
        inside = idx >= 0
        if np.any(inside & ~left):
            raise ValueError("the numberings overlap")
        left &= ~inside
        own = inside & (nb.owner[ids] == part)
        for sel in (own, inside & ~own):
            pick = np.flatnonzero(sel)
            pick = pick[np.argsort(idx[pick], kind="stable")]
            blocks.append(pick)
            index[pick] = idx[pick]
        counts.append((int(own.sum()), int((inside & ~own).sum())))
    blocks.append(np.flatnonzero(left))
    order = np.concatenate(blocks)
    where = np.empty(len(order), dtype=np.int32)
    where[order] = np.arange(len(order), dtype=np.int32)
    return LocalDofs(ids[order], index[order], counts, where[local])
