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

    def coil_force(self, coil=None, origin=(0.0, 0.0, 0.0), **kw):
        """Force on coils: only vector-potential solutions have them (TypeError here)."""
        raise TypeError("coil_force needs a reduced vector-potential solution: a scalar-"
                        "potential solution has no coils")

    def multipoles(self, r_ref, n: int = 15, center=(0.0, 0.0, 0.0), axis=(0.0, 0.0, 1.0),
                   main=None, span=None, *, x_axis=None, span_points: int = 32,
                   smooth: bool = True):
        """Field harmonics of the total field on the circle of radius ``r_ref`` (m).

        Normal and skew coefficients B_n, A_n in T for n = 1..``n`` around ``axis``
        through ``center``; with ``span`` = (z0, z1) (m along the axis from
        ``center``) the field integrated along the axis by a ``span_points``-point
        Gauss-Legendre rule, in T m. The field is read by :meth:`B_at` (recovered,
        ``smooth``, by default: lowest-order fields jump between elements, which shows
        as noise in the high orders). See :func:`fluxkern_tools.multipoles.harmonics`
        for the convention and sampling. Raises ValueError for bad arguments or a
        circle that leaves the mesh (a model cut by symmetry planes: sample the mirrored
        field with ``harmonics`` yourself, as the demo dipole does).
        """
        from ..multipoles import harmonics

        def field(p):
            return self.B_at(p, smooth=smooth, outside="raise")
        return harmonics(field, r_ref, n, center, axis, main, x_axis=x_axis, span=span,
                         span_points=span_points)

    def flux(self, surface, n: int = 4, *, smooth: bool = False):
        """Magnetic flux in Wb through a planar polygon ((V, 3) vertices, m) or a named
        mesh surface; see :func:`fluxkern_tools.post.flux.flux`."""
        from ..post.flux import flux
        return flux(self, surface, n, smooth=smooth)
