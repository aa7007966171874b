"""Magnetisation (BH) curves of common soft-magnetic steels, H in A/m and B in T.

Each curve is a pair of arrays starting at (0, 0), strictly increasing in both H and B.
They are representative anhysteretic/initial curves assembled from typical published
data for the grade; they are not measurements of one particular lot. For design work,
use the supplier's curve of the material actually bought.

Sources:

* ``M270-35A``: non-oriented fully processed electrical steel, 0.35 mm, EN 10106
  grade. The curve follows the shape of typical manufacturer datasheets (DC / 50 Hz
  magnetisation curves published by European mills for this grade) and meets the
  minimum polarisations guaranteed by EN 10106 for M270-35A: J(2500 A/m) >= 1.49 T,
  J(5000 A/m) >= 1.60 T, J(10000 A/m) >= 1.70 T (J = B - mu0 H).
* ``M400-50A``: non-oriented fully processed electrical steel, 0.50 mm, EN 10106
  grade, likewise from typical datasheet shape and the EN 10106 minimum polarisations
  J(2500) >= 1.53 T, J(5000) >= 1.63 T, J(10000) >= 1.73 T.
* ``1010``: low-carbon steel AISI 1010 (annealed), typical initial magnetisation curve
  as given in handbooks of magnetic materials (relative permeability peaking near 2000,
  saturation polarisation about 2.1 T).

Above the last point every curve continues with the saturation law B = mu0 H + Js
(see :mod:`fluxkern_tools.materials`), with Js the polarisation at the last point.
"""

from __future__ import annotations

import numpy as np

__all__ = ["BH_CURVES", "bh_curve", "names"]

_M270_35A = (
    # H [A/m]
    [0.0, 22.0, 33.0, 41.0, 48.0, 55.0, 62.0, 70.0, 79.0, 90.0, 102.0, 118.0, 140.0,
     180.0, 270.0, 800.0, 2600.0, 6500.0, 14500.0, 29000.0, 60000.0, 125000.0],
    # B [T]
    [0.0, 0.1, 0.2, 0.3, 0.4, 0.5, 0.6, 0.7, 0.8, 0.9, 1.0, 1.1, 1.2,
     1.3, 1.4, 1.5, 1.6, 1.7, 1.8, 1.9, 2.0, 2.1],
)

_M400_50A = (
    [0.0, 40.0, 60.0, 75.0, 88.0, 100.0, 113.0, 127.0, 143.0, 162.0, 185.0, 215.0, 260.0,
     350.0, 600.0, 1500.0, 3000.0, 6000.0, 13000.0, 28000.0, 60000.0, 125000.0],
    [0.0, 0.1, 0.2, 0.3, 0.4, 0.5, 0.6, 0.7, 0.8, 0.9, 1.0, 1.1, 1.2,
     1.3, 1.4, 1.5, 1.6, 1.7, 1.8, 1.9, 2.0, 2.1],
)

_STEEL_1010 = (
    [0.0, 110.0, 170.0, 220.0, 280.0, 360.0, 500.0, 900.0, 1400.0, 2300.0, 4000.0,
     7000.0, 12000.0, 25000.0, 50000.0, 100000.0],
    [0.0, 0.2, 0.4, 0.6, 0.8, 1.0, 1.2, 1.4, 1.5, 1.6, 1.7,
     1.8, 1.9, 2.0, 2.1, 2.2],
)

BH_CURVES = {
    "M270-35A": _M270_35A,
    "M400-50A": _M400_50A,
    "1010": _STEEL_1010,
}


def names():
    """Names of the stored BH curves."""
    return sorted(BH_CURVES)


def bh_curve(name):
    """BH curve ``name`` as ``(H [A/m], B [T])`` float64 arrays (fresh copies)."""
    try:
        H, B = BH_CURVES[name]
    except KeyError:
        raise KeyError(f"unknown BH curve {name!r}; known: {', '.join(names())}") from None
    return np.array(H, dtype=np.float64), np.array(B, dtype=np.float64)
