"""The refined DMPlex read back as arrays, on one process (tests/mpi_cases.py
``refined`` covers several processes)."""

import os

import numpy as np
import pytest

from fluxkern_tools import meshes
from fluxkern_tools.solvers import distributed

if not distributed.available():
    if os.environ.get("FLUXKERN_REQUIRE_MPI"):
        raise RuntimeError("FLUXKERN_REQUIRE_MPI is set but mpi4py/petsc4py are missing")
    pytest.skip("no MPI stack (make mpi-env)", allow_module_level=True)

from fluxkern_tools.solvers.distributed import plex  # noqa: E402


def test_refined_mesh_keeps_volumes_regions_and_named_surfaces():
    m = meshes.ball(3.0, 2, [1.0], octant=True)
    m.surface_groups = {"z0": m.boundary_triangles(lambda c: np.abs(c[:, 2]) < 1e-9)}
    f = plex.refined_mesh(m, 2)
    assert f.num_el == 64 * m.num_el and f.info["repaired"] == 0   # already positive
    for r in (0, 1):
        assert np.isclose(f.volumes()[f.regions == r].sum(), m.volumes()[m.regions == r].sum())
    z0 = f.surface_groups["z0"]
    assert len(z0) == 16 * len(m.surface_groups["z0"])
    assert np.abs(f.nodes[z0][..., 2]).max() < 1e-12
    assert len(f.boundary_faces) == 16 * len(m.boundary_faces)


def test_cones_read_at_once_equal_cones_read_point_by_point(monkeypatch):
    from mpi4py import MPI

    dm, _ = plex.coarse_plex(meshes.box(shape=(2, 3, 2)), MPI.COMM_SELF)
    dm, _ = plex.refine(dm, 1)
    fast = plex.local_mesh(dm, MPI.COMM_SELF)
    monkeypatch.setattr(plex, "_all_cones", lambda dm: None)
    slow = plex.local_mesh(dm, MPI.COMM_SELF)
    assert fast._cones.table is not None and slow._cones.table is None
    for k in ("cells", "edges", "cell_edges", "orientations", "regions"):
        assert np.array_equal(getattr(fast, k), getattr(slow, k)), k
    assert np.array_equal(fast.boundary_faces()[0], slow.boundary_faces()[0])
