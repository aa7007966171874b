"""Force and torque on the source coils of a reduced vector-potential solution.

A coil's own field exerts no net force or torque on it, so the force on a source
coil is the Lorentz force int I dl x B of its filaments in the reaction field curl A
(the field of the magnetised material) plus the free-space fields of the other
source coils; on all source coils together only the reaction field counts (their
mutual forces cancel). :func:`fluxkern_tools.circuits.lorentz_force` integrates along
every segment with Gauss-Legendre points. The reaction field is read where the
filaments lie, so they must lie inside the mesh (on a model cut by symmetry planes,
pass ``reaction``, a callable that mirrors the points into the meshed part).

SI units: N, N m, m, T.
"""

from __future__ import annotations

import numpy as np

from .. import circuits
from . import fields
from .results import Force, source_coils

__all__ = ["coil_force"]


def coil_force(solution, coil=None, origin=(0.0, 0.0, 0.0), *, n_gauss: int = 4,
               smooth: bool = True, reaction=None) -> Force:
    """Force (N) and torque about ``origin`` (N m) on source coils with iron around.

    Parameters
    ----------
    solution : a reduced vector-potential solution with coil sources.
    coil : None (all source coils together) or one of the source coils (the same
        object).
    origin : the point (m) the torque is taken about.
    n_gauss : Gauss-Legendre points per segment.
    smooth : read the recovered reaction field (:func:`fluxkern_tools.fields.B_at`)
        instead of the element values.
    reaction : optional callable mapping (P, 3) points in m to the reaction field
        (P, 3) in T; default the solution's curl A at the points.

    The coils carry their currents times the solution's ``source_scale``.

    Returns
    -------
    fluxkern_tools.results.Force
        With an empty ``shell``.

    Raises
    ------
    TypeError
        A scalar-potential solution (it has no coils), or a source that is no coil.
    ValueError
        ``coil`` is not one of the source coils, or a filament lies outside the mesh.
    """
    if not fields.is_vector_solution(solution):
        raise TypeError("coil_force needs a reduced vector-potential solution: a scalar-"
                        "potential solution has no coils")
    src = source_coils(solution)
    s = float(solution.source_scale)
    if reaction is None:
        def reaction(p):
            return fields.B_at(solution, p, smooth=smooth, outside="raise", part="reaction")
    if coil is None:
        on, others = src, []
    else:
        if not any(c is coil for c in src):
            raise ValueError("coil must be one of the solution's source coils (the same "
                             "object)")
        on, others = [coil], [c for c in src if c is not coil]

    def field(p):
        B = np.asarray(reaction(p), dtype=np.float64)
        for c in others:
            B = B + s * c.field(p)
        return B

    F, T = np.zeros(3), np.zeros(3)
    for c in on:
        f, t = circuits.lorentz_force(c.with_current(s * c.current), field, origin, n_gauss)
        F, T = F + f, T + t
    return Force(F, T, np.asarray(origin, dtype=np.float64).reshape(3),
                 np.zeros(0, dtype=np.int64))
