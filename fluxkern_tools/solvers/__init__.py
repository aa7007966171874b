"""Newton solvers for nonlinear magnetostatics on top of the compiled kernels.

* :mod:`.scalar_potential`: total scalar potential, H = -grad(phi), on P1/P2
  tetrahedra with Dirichlet data (e.g. a uniform applied field);
* :mod:`.vector_potential`: reduced vector potential, B = B_s + curl(A), on edge
  elements, with a coil or uniform source field, A x n = 0 and a tree gauge;
* :mod:`.newton`: the Newton driver and its convergence report;
* :mod:`.linalg`: sparse direct solves (SuperLU, nested-dissection order);
* :mod:`.gauge`, :mod:`.sources`: tree gauge and source fields.

Units are SI throughout: m, A, T, A/m, H/m, m/H, Wb.
"""

from .gauge import tree_gauge
from .linalg import LinearSolveError, SparseLU, nested_dissection, sparse_solve
from .newton import NewtonReport, NewtonStep, newton
from .scalar_potential import (ScalarPotential, ScalarPotentialSolution,
                               solve_scalar_potential, uniform_field_potential)
from .sources import coil_field, source_field
from .vector_potential import (EdgeTables, ReducedVectorPotential, VectorPotentialSolution,
                               edge_tables, solve_reduced_vector_potential)

__all__ = [
    "LinearSolveError", "SparseLU", "nested_dissection", "sparse_solve",
    "NewtonReport", "NewtonStep", "newton", "tree_gauge",
    "ScalarPotential", "ScalarPotentialSolution", "solve_scalar_potential",
    "uniform_field_potential", "coil_field", "source_field", "EdgeTables",
    "ReducedVectorPotential", "VectorPotentialSolution", "edge_tables",
    "solve_reduced_vector_potential",
]
