"""What both solution types offer after the solve: fields at points, energy, force.

Each method delegates to :mod:`fluxkern_tools.post.fields` or :mod:`fluxkern_tools.post.results`,
where the formulas live.
"""

from __future__ import annotations

import numpy as np

__all__ = ["PostProcessing"]


class PostProcessing:
    """Mixed into the solution classes (which provide ``problem`` and the field)."""

    def B_at(self, points, *, smooth: bool = False, outside: str = "nan",
             part: str = "total") -> np.ndarray:
        """Flux density in T at points (P, 3; m); see :func:`fluxkern_tools.post.fields.B_at`."""
        from ..post.fields import B_at
        return B_at(self, points, smooth=smooth, outside=outside, part=part)

    def H_at(self, points, *, smooth: bool = False, outside: str = "nan") -> np.ndarray:
        """Field strength in A/m at points (P, 3; m); see :func:`fluxkern_tools.post.fields.H_at`."""
        from ..post.fields import H_at
        return H_at(self, points, smooth=smooth, outside=outside)

    def energy(self, **kw) -> float:
        """Magnetic energy in J in the mesh; see :func:`fluxkern_tools.post.results.energy`."""
        from ..post.results import energy
        return energy(self, **kw)

    def coenergy(self, **kw) -> float:
        """Magnetic co-energy in J; see :func:`fluxkern_tools.post.results.coenergy`."""
        from ..post.results import coenergy
        return coenergy(self, **kw)

    def force(self, region, **kw):
        """Force (N) and torque (N m) on ``region``; see :func:`fluxkern_tools.post.results.force`."""
        from ..post.results import force
        return force(self, region, **kw)
