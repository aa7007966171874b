"""Tetrahedral meshes: topology, generators, files and point location.

* :mod:`.topology`: :class:`Mesh` (positive orientation, edge and face numbering,
  orientation classes, boundaries, regions and physical names);
* :mod:`.generators`: structured boxes on graded axes, balls;
* :mod:`.io`: meshio import and export with gmsh physical names and length units;
* :mod:`.locate`: the element and barycentric coordinates of points.

Coordinates are in metres.
"""

from ..fem.spaces import p2_connectivity
from . import generators, io, locate, topology
from .generators import axis_with_breaks, ball, box, box_mesh, graded_axis
from .io import from_meshio, read, to_meshio, write_points_vtu, write_vtu
from .topology import FACES, Mesh

__all__ = ["Mesh", "FACES", "box", "box_mesh", "graded_axis", "axis_with_breaks", "ball",
           "p2_connectivity", "from_meshio", "read", "to_meshio", "write_vtu",
           "write_points_vtu", "locate"]
