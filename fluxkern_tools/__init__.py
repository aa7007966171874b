"""fluxkern_tools: the Python side of fluxkern.

Builds what the compiled ``fluxkern_mod`` kernels take as arguments: quadrature rules
(:mod:`.quadrature`), reference-element tables (:mod:`.elements`), meshes with edge
numbering and orientation classes (:mod:`.meshes`), coils as straight current segments
(:mod:`.coils`) and material objects (:mod:`.materials`, curves in :mod:`.bh_curves`),
and runs Newton solves of both formulations (:mod:`.solvers`); :mod:`.dipole` is the
demo magnet of ``python -m fluxkern_tools demo``.
All quantities are SI (m, A, T, A/m, H/m).
"""

from . import bh_curves, coils, elements, materials, meshes, quadrature, solvers

__all__ = ["bh_curves", "coils", "elements", "materials", "meshes", "quadrature", "solvers"]
