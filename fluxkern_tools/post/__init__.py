"""Post-processing of solutions: fields at points (:mod:`.fields`) and engineering
results (:mod:`.results`: energy, co-energy, flux linkage, inductance, force)."""

from . import fields, results
from .fields import A_at, B_at, H_at
from .results import Force, Inductance, coenergy, energy, flux_linkage, force, inductance

__all__ = ["B_at", "H_at", "A_at", "energy", "coenergy", "flux_linkage", "inductance",
           "force", "Force", "Inductance"]
