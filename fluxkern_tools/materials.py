"""Materials: a named BH curve (or linear permeability) and the module-facing curve
objects built from it (:mod:`.material_curves`), and the standard steels of
:mod:`.bh_curves`. All quantities are SI: H in A/m, B in T, mu in H/m, nu in m/H.
"""

from __future__ import annotations

from dataclasses import dataclass, field

import numpy as np

from .bh_curves import bh_curve
from .material_curves import (MU0, NU0, ConstantPermeability, SplinePermeability,
                              extend_saturation, positive_finite)
from .reluctance_curves import ConstantReluctance, CubicReluctance

__all__ = [
    "MU0",
    "NU0",
    "ConstantPermeability",
    "SplinePermeability",
    "ConstantReluctance",
    "CubicReluctance",
    "Material",
    "steel",
    "vacuum",
    "linear",
    "extend_saturation",
]


# -- materials ---------------------------------------------------------------------------------

@dataclass
class Material:
    """A named soft-magnetic material: its BH curve (or linear permeability) and the two
    module-facing curve objects built from it (cached).

    ``H`` in A/m and ``B`` in T for a nonlinear material; ``mu_r`` for a linear one.
    """

    name: str
    H: np.ndarray | None = None
    B: np.ndarray | None = None
    mu_r: float | None = None
    _cache: dict = field(default_factory=dict, repr=False)

    @property
    def is_linear(self) -> bool:
        """True for a constant-permeability material."""
        return self.mu_r is not None

    def permeability(self, **fit_options):
        """The permeability object (constant or :class:`SplinePermeability`)."""
        key = ("mu", tuple(sorted(fit_options.items())))
        if key not in self._cache:
            if self.is_linear:
                self._cache[key] = ConstantPermeability(self.mu_r * MU0)
            else:
                self._cache[key] = SplinePermeability.from_bh_curve(
                    self.H, self.B, name=self.name, **fit_options)
        return self._cache[key]

    def reluctance(self, **fit_options):
        """The reluctance object (constant or :class:`CubicReluctance`)."""
        key = ("nu", tuple(sorted(fit_options.items())))
        if key not in self._cache:
            if self.is_linear:
                # 1/(mu_r mu0) written with NU0 so that vacuum gives the module's nu0 exactly.
                self._cache[key] = ConstantReluctance(NU0 / self.mu_r)
            else:
                self._cache[key] = CubicReluctance.from_bh_curve(
                    self.H, self.B, name=self.name, **fit_options)
        return self._cache[key]


def steel(name: str = "M270-35A") -> Material:
    """A nonlinear steel from :mod:`fluxkern_tools.bh_curves` (e.g. "M270-35A",
    "M400-50A", "1010")."""
    H, B = bh_curve(name)
    return Material(name, H=H, B=B)


def linear(mu_r: float, name: str = "") -> Material:
    """A linear material of relative permeability ``mu_r`` (dimensionless, > 0)."""
    return Material(name or f"linear(mu_r={mu_r:g})", mu_r=positive_finite("mu_r", mu_r))


def vacuum() -> Material:
    """Vacuum / air: mu = mu0 = 4 pi 1e-7 H/m, nu = 795774.7154594767 m/H."""
    return Material("vacuum", mu_r=1.0)
