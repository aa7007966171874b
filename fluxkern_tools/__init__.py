"""fluxkern_tools: the Python side of fluxkern.

Builds what the compiled ``fluxkern_mod`` kernels take as arguments: quadrature rules
(:mod:`.quadrature`), reference-element tables (:mod:`.elements`), meshes with edge
numbering and orientation classes (:mod:`.meshes`), coils as straight current segments
(:mod:`.coils`) and material objects (:mod:`.materials`, curves in :mod:`.bh_curves`).
All quantities are SI (m, A, T, A/m, H/m).
"""

from . import bh_curves, coils, elements, materials, meshes, quadrature

__all__ = ["bh_curves", "coils", "elements", "materials", "meshes", "quadrature"]
