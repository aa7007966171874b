"""Mesh construction: orientation, volumes, edge numbering, boundaries, regions, I/O."""

import numpy as np
import pytest

from fluxkern_tools import meshes

RNG = np.random.default_rng(11)


def _all_faces(m):
    return np.unique(np.sort(m.cells[:, meshes.FACES].reshape(-1, 3), axis=1), axis=0)


@pytest.mark.parametrize("xs, ys, zs", [
    (np.linspace(0, 1, 4), np.linspace(0, 2, 3), np.linspace(-1, 0.5, 5)),
    (meshes.graded_axis(0, 1, 5, 1.6), meshes.axis_with_breaks([0, 0.1, 0.3], [0.02, 0.1]),
     [0.0, 0.01, 0.5]),
])
def test_box_mesh_is_positive_conforming_and_euler_consistent(xs, ys, zs):
    m = meshes.box_mesh(xs, ys, zs)
    nx, ny, nz = len(xs) - 1, len(ys) - 1, len(zs) - 1
    assert m.num_el == 6 * nx * ny * nz
    assert m.cells.dtype == np.int32 and m.glob_ids.dtype == np.int32
    assert np.all(m.volumes() > 0)
    vol = (xs[-1] - xs[0]) * (ys[-1] - ys[0]) * (zs[-1] - zs[0])
    assert m.volumes().sum() == pytest.approx(vol, rel=1e-12)
    F = len(_all_faces(m))
    # A box is a ball: V - E + F - T = 1.
    assert m.num_nodes - m.num_edges + F - m.num_el == 1
    # Conforming: each face belongs to one (boundary) or two elements, and the boundary
    # triangles tile the box surface.
    nb = 2 * (nx * ny + ny * nz + nx * nz) * 2
    assert len(m.boundary_faces) == nb
    assert 4 * m.num_el == 2 * F - nb


def test_boundary_sets_are_the_nodes_and_edges_on_the_box_surface():
    m = meshes.box((0, 0, 0), (1, 2, 3), (3, 2, 4))
    X = m.nodes
    on = np.any(np.isclose(X, [0, 0, 0]) | np.isclose(X, [1, 2, 3]), axis=1)
    np.testing.assert_array_equal(m.boundary_nodes, np.flatnonzero(on))
    a, b = X[m.edges[:, 0]], X[m.edges[:, 1]]
    same_face = np.any((np.isclose(a, 0) & np.isclose(b, 0))
                       | (np.isclose(a, [1, 2, 3]) & np.isclose(b, [1, 2, 3])), axis=1)
    np.testing.assert_array_equal(m.boundary_edges, np.flatnonzero(same_face))
    assert len(m.interior_edges()) + len(m.boundary_edges) == m.num_edges
    # Boundary face normals point outwards.
    f = m.nodes[m.boundary_faces]
    n = np.cross(f[:, 1] - f[:, 0], f[:, 2] - f[:, 0])
    c = f.mean(axis=1) - np.array([0.5, 1.0, 1.5])
    assert np.all(np.einsum("ij,ij->i", n, c) > 0)


def test_edges_and_glob_ids_are_consistent():
    m = meshes.box(shape=(2, 3, 2))
    assert np.all(m.edges[:, 0] < m.edges[:, 1])
    assert len(np.unique(m.edges, axis=0)) == m.num_edges
    from fluxkern_tools.elements import LOCAL_EDGES
    loc = np.sort(m.cells[:, LOCAL_EDGES], axis=2)
    np.testing.assert_array_equal(m.edges[m.glob_ids], loc)


def test_from_cells_repairs_orientation_and_rejects_bad_input():
    m = meshes.box(shape=(2, 2, 2))
    flip = RNG.random(m.num_el) < 0.5
    cells = m.cells.copy()
    cells[flip] = cells[flip][:, [1, 0, 2, 3]]
    r = meshes.Mesh.from_cells(m.nodes, cells)
    assert r.info["repaired"] == flip.sum()
    assert np.all(r.volumes() > 0)
    np.testing.assert_allclose(np.sort(r.volumes()), np.sort(m.volumes()))
    with pytest.raises(ValueError, match="negatively"):
        meshes.Mesh.from_cells(m.nodes, cells, repair_orientation=False)
    bad = m.cells.copy()
    bad[0, 0] = m.num_nodes
    with pytest.raises(ValueError, match="outside"):
        meshes.Mesh.from_cells(m.nodes, bad)
    flat = m.nodes.copy()
    flat[:, 2] = 0.0
    with pytest.raises(ValueError, match="degenerate"):
        meshes.Mesh.from_cells(flat, m.cells)
    with pytest.raises(ValueError, match="repeats"):
        meshes.Mesh.from_cells(m.nodes, np.array([[0, 1, 1, 2]]))


def test_regions_by_centroid_predicate_and_region_arrays():
    iron = lambda c: c[:, 2] < 0.5
    m = meshes.box(shape=(2, 2, 4), regions=[(1, iron), (2, lambda c: c[:, 0] < 0.25)])
    cen = m.centroids()
    expect = np.where(cen[:, 0] < 0.25, 2, np.where(cen[:, 2] < 0.5, 1, 0))
    np.testing.assert_array_equal(m.regions, expect)
    ra = m.region_arrays(1)
    sel = np.flatnonzero(expect == 1)
    np.testing.assert_array_equal(ra["cells"], m.cells[sel].ravel())
    np.testing.assert_array_equal(ra["glob_ids"], m.glob_ids[sel].ravel())
    np.testing.assert_array_equal(ra["orientations"], m.orientations[sel])


def test_graded_axis_and_breaks():
    g = meshes.graded_axis(0.0, 1.0, 4, 2.0)
    np.testing.assert_allclose(np.diff(g), np.array([1, 2, 4, 8]) / 15)
    a = meshes.axis_with_breaks([0.0, 0.05, 0.25], [0.01, 0.05])
    assert {0.05, 0.25} <= set(np.round(a, 12))
    assert np.max(np.diff(a)[a[:-1] < 0.05 - 1e-12]) <= 0.01 + 1e-12
    with pytest.raises(ValueError):
        meshes.box_mesh([0, 1, 1], [0, 1], [0, 1])


def test_p2_connectivity_places_midpoints():
    m = meshes.box(shape=(1, 2, 1))
    nodes2, cells2 = meshes.p2_connectivity(m)
    assert cells2.shape == (m.num_el, 10)
    from fluxkern_tools.elements import LOCAL_EDGES
    v = nodes2[cells2[:, :4]]
    mids = 0.5 * (v[:, LOCAL_EDGES[:, 0]] + v[:, LOCAL_EDGES[:, 1]])
    np.testing.assert_allclose(nodes2[cells2[:, 4:]], mids)


def test_meshio_round_trip_and_vtu_fields(tmp_path):
    meshio = pytest.importorskip("meshio")
    m = meshes.box((0, 0, 0), (1, 1, 1), (2, 2, 2), regions=[(3, lambda c: c[:, 0] > 0.5)])
    path = tmp_path / "m.vtu"
    phi = m.nodes[:, 0] ** 2
    B = np.tile([0.0, 0.0, 1.0], (m.num_el, 1))
    meshes.write_vtu(path, m, point_data={"phi": phi}, cell_data={"B": B})
    back = meshio.read(path)
    np.testing.assert_allclose(back.point_data["phi"], phi)
    np.testing.assert_allclose(back.cell_data["B"][0], B)
    r = meshes.from_meshio(back)
    np.testing.assert_array_equal(r.regions, m.regions)
    np.testing.assert_array_equal(r.cells, m.cells)

    # Negatively oriented cells, an unused node and gmsh-style tags.
    cells = m.cells[:, [0, 2, 1, 3]]
    pts = np.vstack([m.nodes, [[9.0, 9.0, 9.0]]])
    raw = meshio.Mesh(pts, [("tetra", cells)], cell_data={"gmsh:physical": [m.regions + 1]})
    r = meshes.from_meshio(raw)
    assert r.num_nodes == m.num_nodes and np.all(r.volumes() > 0)
    np.testing.assert_array_equal(r.regions, m.regions + 1)
    pts_path = tmp_path / "p.vtu"
    meshes.write_points_vtu(pts_path, m.centroids(), {"B": B})
    assert meshio.read(pts_path).points.shape == (m.num_el, 3)
    with pytest.raises(ValueError, match="rows"):
        meshes.write_vtu(path, m, point_data={"phi": phi[:-1]})


@pytest.mark.parametrize("name, content, error, match", [
    ("missing.vtu", None, FileNotFoundError, "not found"),
    ("empty.vtu", b"", ValueError, "empty"),
    ("blank.vtu", b"\n \n", ValueError, "cannot read"),        # meshio exits here
    ("noise.msh", bytes(range(256)) * 8, ValueError, "cannot read"),
    ("noise.stl", b"solid x\nfacet nonsense", ValueError, "cannot read"),
    ("flat.vtu", "triangles", ValueError, "no tetra"),
])
def test_read_refuses_unreadable_files_naming_them(tmp_path, name, content, error, match):
    pytest.importorskip("meshio")
    path = tmp_path / name
    if content == "triangles":
        import meshio
        meshio.write_points_cells(path, np.eye(3), [("triangle", [[0, 1, 2]])])
    elif content is not None:
        path.write_bytes(content)
    with pytest.raises(error, match=match) as info:
        meshes.read(path)
    assert name in str(info.value)


def _gmsh_box_in_box(path, mm=True):
    """A 10 mm cube ("steel") inside a 40 mm box ("air"), written in mm."""
    import gmsh                  # a test dependency: it must load, not be skipped
    gmsh.initialize(interruptible=False)
    try:
        gmsh.option.setNumber("General.Terminal", 0)
        occ = gmsh.model.occ
        outer = occ.addBox(-20, -20, -20, 40, 40, 40)
        inner = occ.addBox(-5, -5, -5, 10, 10, 10)
        out, children = occ.fragment([(3, outer)], [(3, inner)])
        occ.synchronize()
        steel = [t for _, t in children[1]]
        air = [t for d, t in out if d == 3 and t not in steel]
        gmsh.model.addPhysicalGroup(3, air, 1, "air")
        gmsh.model.addPhysicalGroup(3, steel, 2, "steel")
        bnd = gmsh.model.getBoundary([(3, t) for t in air + steel], combined=True,
                                     oriented=False)
        top = [f for _, f in bnd if occ.getCenterOfMass(2, f)[2] > 19.9]
        gmsh.model.addPhysicalGroup(2, top, 7, "top")
        gmsh.model.addPhysicalGroup(2, [f for _, f in bnd if f not in top], 8, "sides")
        gmsh.option.setNumber("Mesh.MeshSizeMax", 8.0)
        gmsh.model.mesh.generate(3)
        gmsh.write(str(path))
    finally:
        gmsh.finalize()


def test_gmsh_physical_names_units_and_named_boundaries(tmp_path):
    path = tmp_path / "box.msh"
    _gmsh_box_in_box(path)
    m = meshes.read(path, units="mm")
    assert m.region_names == {"air": 1, "steel": 2}
    steel = m.regions == m.region_id("steel")
    assert m.volumes()[steel].sum() == pytest.approx(1e-6, rel=1e-9)      # 10 mm cube
    assert m.volumes().sum() == pytest.approx(64e-6, rel=1e-9)
    assert meshes.read(path, scale=1e-3).volumes().sum() == pytest.approx(64e-6, rel=1e-9)
    nodes, edges = m.boundary_part("top")
    np.testing.assert_allclose(m.nodes[nodes, 2], 0.02)
    np.testing.assert_allclose(m.nodes[m.edges[edges], 2], 0.02)
    n_all, e_all = m.boundary_part(["top", "sides"])
    np.testing.assert_array_equal(n_all, m.boundary_nodes)
    np.testing.assert_array_equal(e_all, m.boundary_edges)
    with pytest.raises(KeyError, match="steel"):
        m.region_id("iron")
    with pytest.raises(KeyError, match="bottom"):
        m.boundary_part("bottom")
    with pytest.raises(ValueError, match="units"):
        meshes.read(path, units="furlong")
    # Solvers take names for materials and for the Dirichlet part.
    from fluxkern_tools import materials, solvers
    sol = solvers.solve_scalar_potential(
        m, {"air": materials.vacuum(), "steel": materials.linear(100.0)},
        solvers.uniform_field_potential([0, 0, 1000.0]), dirichlet=["top", "sides"])
    assert sol.report.converged


def test_folded_and_graded_meshes():
    m = meshes.box(shape=(2, 2, 2))
    nodes = m.nodes.copy()
    centre = np.flatnonzero(np.all(np.isclose(nodes, 0.5), axis=1))[0]
    nodes[centre] = [0.53, 0.46, 1.3]               # pushed through the top: folds
    with pytest.raises(ValueError, match="inverted"):
        meshes.Mesh.from_cells(nodes, m.cells)
    # Elements of very different sizes are not degenerate (the volume test is
    # against each element's own size, not the mean volume).
    g = meshes.box_mesh([0, 1e-5, 1.0], [0, 1e-5, 1.0], [0, 1e-5, 1.0])
    assert g.volumes().min() < 1e-12 * g.volumes().mean()
