"""Newton solvers for nonlinear magnetostatics on top of the compiled kernels.

* :mod:`.scalar_potential`: total scalar potential, H = -grad(phi), on P1/P2
  tetrahedra with Dirichlet data (e.g. a uniform applied field);
* :mod:`.vector_potential`: reduced vector potential, B = B_s + curl(A), on edge
  elements, with a coil or uniform source field and A x n = 0;
* :mod:`.newton`: the inexact Newton driver and its convergence report;
* :mod:`.linear`: the linear-solver interface; :mod:`.linear_backends` picks one:
  :mod:`.direct` (SuperLU on a METIS order), :mod:`.iterative` (conjugate gradients)
  with :mod:`.amg` (smoothed aggregation) or :mod:`.ams` (auxiliary-space Maxwell);
* :mod:`.assembly`: regions of constant material summed once; :mod:`.sources`: source
  fields; :mod:`.distributed`: the same problems on many processes (MPI, PETSc).

Units are SI throughout: m, A, T, A/m, H/m, m/H, Wb.
"""

from ..fem.kernels import EdgeTables, edge_tables
from ..fem.operators import discrete_gradient, nedelec_interpolation, tree_gauge
from .ams import AuxiliarySpaceMaxwell
from .direct import DirectSolver, metis_order, sparse_solve
from .iterative import IterativeSolver
from .linear import (AUTO_ITERATIVE_ABOVE, CallableSolver, LinearContext, LinearSolveError,
                     LinearSolver, LinearStats)
from .newton import ConvergenceError, NewtonReport, NewtonStep, forcing_term, newton
from .scalar_potential import (ScalarPotential, ScalarPotentialSolution,
                               solve_scalar_potential, uniform_field_potential)
from .backend import solve
from .sources import coil_field, source_field
from .vector_potential import (ReducedVectorPotential, VectorPotentialSolution,
                               solve_reduced_vector_potential)

# Also importable from here (older scripts use them): EdgeTables, edge_tables,
# discrete_gradient, nedelec_interpolation, tree_gauge, metis_order, sparse_solve,
# forcing_term, LinearContext, CallableSolver, coil_field. Their homes are fem and the
# modules above.
__all__ = [
    "solve", "solve_scalar_potential", "solve_reduced_vector_potential",
    "uniform_field_potential",
    "ScalarPotential", "ScalarPotentialSolution",
    "ReducedVectorPotential", "VectorPotentialSolution", "source_field",
    "NewtonReport", "NewtonStep", "ConvergenceError", "newton",
    "LinearSolver", "LinearStats", "LinearSolveError", "DirectSolver", "IterativeSolver",
    "AuxiliarySpaceMaxwell", "AUTO_ITERATIVE_ABOVE",
]
