"""Source flux densities for the reduced vector potential: coils or a uniform field,
and their values at the quadrature points of a region (both assembly paths use it)."""

from __future__ import annotations

from typing import Sequence

import numpy as np

from ..coils import Coil
from ..fem.kernels import EdgeTables, curl_at
from ..materials import NU0

__all__ = ["source_field", "coil_field", "region_source"]

_EMPTY = np.zeros((0, 3))


def coil_field(coil: Coil, points) -> np.ndarray:
    """Flux density in T of ``coil`` at ``points`` (P, 3; m): :meth:`Coil.field`."""
    return coil.field(np.asarray(points, dtype=np.float64).reshape(-1, 3))


def source_field(source, points) -> np.ndarray:
    """Source flux density B_s in T at ``points`` (P, 3; m).

    ``source`` is one of: None (no source), a :class:`~fluxkern_tools.coils.Coil`, a
    sequence of coils (fields added), a 3-vector (a uniform field in T), or a callable
    mapping (P, 3) points in m to (P, 3) flux densities in T.
    """
    P = np.asarray(points, dtype=np.float64).reshape(-1, 3)
    if source is None:
        return np.zeros_like(P)
    if isinstance(source, Coil):
        return coil_field(source, P)
    if callable(source):
        B = np.asarray(source(P), dtype=np.float64)
        if B.shape != P.shape:
            raise ValueError(f"the source callable returned shape {B.shape}, "
                             f"expected {P.shape}")
        return B
    if isinstance(source, Sequence) and source and all(isinstance(c, Coil) for c in source):
        return sum(coil_field(c, P) for c in source)
    B0 = np.asarray(source, dtype=np.float64)
    if B0.shape != (3,) or not np.all(np.isfinite(B0)):
        raise TypeError("source must be None, a Coil, a sequence of Coils, a finite "
                        "3-vector (uniform B in T) or a callable on points")
    return np.broadcast_to(B0, P.shape).copy()


def _is_vacuum(rel) -> bool:
    # Only an exact nu0 constant makes (nu0 - nu) vanish, so only then may the source
    # field be left out of the assembly without changing K, dK or rhs.
    try:
        return rel.get_type_spec() == 0 and float(rel.value) == NU0
    except AttributeError:
        return False


def region_source(source, reluctance, tables: EdgeTables, nodes, cells, glob_ids,
                  orientations, num_dofs: int, num_el_dofs: int) -> np.ndarray:
    """The source field B_s (T) at the quadrature points of ``tables`` in the given
    elements (flat ``cells``, ``glob_ids`` and ``orientations`` as the kernels take
    them), element-major (E * M, 3); empty (0, 3) for a vacuum ``reluctance``."""
    if _is_vacuum(reluctance):
        return _EMPTY
    pts, _ = curl_at(nodes, cells, glob_ids, orientations, np.zeros(num_dofs), tables,
                     num_el_dofs)
    return source_field(source, pts)
