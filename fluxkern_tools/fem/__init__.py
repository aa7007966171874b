"""Discretisation: quadrature, reference elements, spaces, operators and the kernels.

* :mod:`.quadrature`: rules on the reference tetrahedron and Gauss-Legendre on [0, 1];
* :mod:`.elements`: Lagrange P1/P2 and lowest-order Nedelec tables, orientation classes;
  :mod:`.nedelec2`: second-order edge elements;
* :mod:`.spaces`: :class:`NodalSpace` and :class:`EdgeSpace` (numbering, boundary
  unknowns, interpolation, fields at points) and the flat region arrays;
* :mod:`.operators`: discrete gradient, Nedelec interpolation, tree gauge;
* :mod:`.kernels`: the one wrapper of the compiled ``fluxkern_mod`` calls (keyword
  arguments, chunked assembly).

This layer imports nothing else of the package.
"""

from . import elements, kernels, nedelec2, operators, quadrature, spaces
from .kernels import EdgeTables, edge_tables
from .operators import discrete_gradient, nedelec_interpolation, tree_gauge
from .spaces import EdgeSpace, NodalSpace, p2_connectivity

__all__ = ["quadrature", "elements", "nedelec2", "spaces", "operators", "kernels",
           "EdgeSpace", "NodalSpace", "p2_connectivity", "EdgeTables", "edge_tables",
           "discrete_gradient", "nedelec_interpolation", "tree_gauge"]
