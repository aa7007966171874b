"""Newton solvers for nonlinear magnetostatics on top of the compiled kernels.

* :mod:`.scalar_potential`: total scalar potential, H = -grad(phi), on P1/P2
  tetrahedra with Dirichlet data (e.g. a uniform applied field);
* :mod:`.vector_potential`: reduced vector potential, B = B_s + curl(A), on edge
  elements, with a coil or uniform source field and A x n = 0;
* :mod:`.newton`: the inexact Newton driver and its convergence report;
* :mod:`.linear`: the linear-solver interface and the choice of backend;
  :mod:`.direct` (SuperLU on a METIS order), :mod:`.iterative` (conjugate gradients),
  :mod:`.amg` (smoothed aggregation), :mod:`.ams` (auxiliary-space Maxwell);
* :mod:`.gauge`, :mod:`.sources`: tree gauge and source fields.

Units are SI throughout: m, A, T, A/m, H/m, m/H, Wb.
"""

from .ams import AuxiliarySpaceMaxwell, discrete_gradient, nedelec_interpolation
from .direct import DirectSolver, metis_order, sparse_solve
from .gauge import tree_gauge
from .iterative import IterativeSolver
from .linear import (AUTO_ITERATIVE_ABOVE, CallableSolver, LinearContext, LinearSolveError,
                     LinearSolver, LinearStats)
from .newton import ConvergenceError, NewtonReport, NewtonStep, forcing_term, newton
from .scalar_potential import (ScalarPotential, ScalarPotentialSolution,
                               solve_scalar_potential, uniform_field_potential)
from .sources import coil_field, source_field
from .vector_potential import (EdgeTables, ReducedVectorPotential, VectorPotentialSolution,
                               edge_tables, solve_reduced_vector_potential)

__all__ = [
    "LinearSolveError", "LinearSolver", "LinearStats", "LinearContext", "CallableSolver",
    "DirectSolver", "IterativeSolver", "AuxiliarySpaceMaxwell", "AUTO_ITERATIVE_ABOVE",
    "discrete_gradient", "nedelec_interpolation", "metis_order", "sparse_solve",
    "NewtonReport", "NewtonStep", "ConvergenceError", "newton", "forcing_term", "tree_gauge",
    "ScalarPotential", "ScalarPotentialSolution", "solve_scalar_potential",
    "uniform_field_potential", "coil_field", "source_field", "EdgeTables",
    "ReducedVectorPotential", "VectorPotentialSolution", "edge_tables",
    "solve_reduced_vector_potential",
]
