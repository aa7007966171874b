"""The compiled topology kernels give what the NumPy path gives, errors included."""

import numpy as np
import pytest

from fluxkern_tools import meshes
from fluxkern_tools.meshes import topology as T

# make install builds the module; without it the package quietly uses NumPy, so its
# absence is a failure here.
def test_the_compiled_module_is_loaded():
    assert T._ext is not None, "fluxkern_topology is not built (make install)"

RNG = np.random.default_rng(23)
ARRAYS = ["cells", "edges", "glob_ids", "orientations", "boundary_faces", "boundary_nodes",
          "boundary_edges", "faces", "face_ids"]


def _build(monkeypatch, compiled, nodes, cells, **kw):
    """The mesh (or the ValueError's message) from one path."""
    monkeypatch.setattr(T, "_ext", T._ext if compiled else None)
    try:
        m = T.Mesh.from_cells(nodes, cells, **kw)
    except ValueError as err:
        return str(err)
    m.faces                               # numbered on first use, by the same path
    return m


def _assert_same(monkeypatch, nodes, cells, **kw):
    ref = _build(monkeypatch, False, nodes, cells, **kw)
    new = _build(monkeypatch, True, nodes, cells, **kw)
    if isinstance(ref, str):
        assert new == ref
        return ref
    for name in ARRAYS:
        a, b = getattr(ref, name), getattr(new, name)
        assert a.dtype == b.dtype and np.array_equal(a, b), name
    assert new.info == ref.info
    return new


def _shuffled(m):
    """The same mesh with nodes, elements and each element's vertices renumbered."""
    p = RNG.permutation(m.num_nodes)
    cells = np.argsort(p)[m.cells][RNG.permutation(m.num_el)]
    cells = np.take_along_axis(cells, np.argsort(RNG.random(cells.shape), axis=1), axis=1)
    return m.nodes[p], cells


def _gmsh_ball():
    import gmsh
    gmsh.initialize(interruptible=False)
    try:
        gmsh.option.setNumber("General.Terminal", 0)
        gmsh.model.occ.addSphere(0, 0, 0, 1.0)
        gmsh.model.occ.synchronize()
        gmsh.option.setNumber("Mesh.MeshSizeMax", 0.3)
        gmsh.model.mesh.generate(3)
        tags, xyz, _ = gmsh.model.mesh.getNodes()
        _, _, conn = gmsh.model.mesh.getElements(3)
    finally:
        gmsh.finalize()
    index = np.zeros(tags.max() + 1, dtype=np.int64)
    index[tags.astype(np.int64)] = np.arange(len(tags))
    return xyz.reshape(-1, 3), index[conn[0].astype(np.int64).reshape(-1, 4)]


def _box(n):
    return meshes.box(shape=(n, n + 1, n + 2))


@pytest.mark.parametrize("case", ["graded", "ball", "shuffled", "threaded", "gmsh"])
def test_kernels_number_like_numpy(monkeypatch, case):
    if case == "graded":
        m = meshes.box_mesh(meshes.graded_axis(0, 1, 5, 1.6), [0, 1e-5, 0.3, 1.0],
                            meshes.axis_with_breaks([0, 0.1, 0.3], [0.02, 0.1]))
        nodes, cells = m.nodes, m.cells
    elif case == "ball":
        m = meshes.ball(1.0, 6, interfaces=[0.5])
        nodes, cells = _shuffled(m)
    elif case == "shuffled":
        nodes, cells = _shuffled(_box(4))
    elif case == "threaded":                # large enough for the threaded loops
        nodes, cells = _shuffled(_box(14))
    else:
        nodes, cells = _gmsh_ball()
    m = _assert_same(monkeypatch, nodes, cells)
    assert not isinstance(m, str)
    # Fortran-ordered cells are read right.
    new = T.Mesh.from_cells(nodes, np.asfortranarray(cells))
    assert np.array_equal(new.glob_ids, m.glob_ids)


def _pushed(m, node, to):
    nodes = m.nodes.copy()
    nodes[node] = to
    return nodes


@pytest.mark.parametrize("fault, match", [
    ("repeat", "repeats a node"),
    ("flat", "degenerate"),
    ("negative", "negatively oriented"),
    ("third element", "non-manifold"),
    ("fold", "inverted"),
])
def test_kernels_reject_bad_meshes_like_numpy(monkeypatch, fault, match):
    m = _box(3)
    nodes, cells, kw = m.nodes, m.cells.copy(), {}
    if fault == "repeat":
        cells[5, 2] = cells[5, 0]
    elif fault == "flat":
        nodes = m.nodes.copy()
        c = cells[7]
        nodes[c[3]] = nodes[c[0]] + 0.3 * (nodes[c[1]] - nodes[c[0]]) \
            + 0.7 * (nodes[c[2]] - nodes[c[0]])
    elif fault == "negative":
        cells[::3] = cells[::3][:, [1, 0, 2, 3]]
        kw = {"repair_orientation": False}
    elif fault == "third element":
        cells = np.vstack([cells, cells[4:5, [1, 0, 2, 3]]])
    else:
        inner = np.flatnonzero(~np.isin(np.arange(m.num_nodes), m.boundary_nodes))[0]
        nodes = _pushed(m, inner, m.nodes[inner] + [0.05, -0.04, 0.6])
    msg = _assert_same(monkeypatch, nodes, cells, **kw)
    assert isinstance(msg, str) and match in msg


def test_kernels_check_their_inputs():
    m = _box(2)
    bad = m.cells.copy()
    bad[3, 1] = m.num_nodes
    with pytest.raises(ValueError, match="outside"):
        T._ext.connect(bad, m.num_nodes)
    with pytest.raises(ValueError, match="outside"):
        T._ext.face_numbering(bad, m.num_nodes)
    with pytest.raises(ValueError, match="dtype"):
        T._ext.connect(m.cells.astype(np.int64), m.num_nodes)
    with pytest.raises(ValueError, match="layout"):
        T._ext.orient(m.nodes, np.asfortranarray(m.cells.astype(np.int64)), 1e-12, True)
