"""Materials: a named BH curve (or linear permeability) and the module-facing curve
objects built from it (:mod:`.material_curves`), and the standard steels of
:mod:`.bh_curves`. All quantities are SI: H in A/m, B in T, mu in H/m, nu in m/H.
"""

from __future__ import annotations

from dataclasses import dataclass, field
import re

import numpy as np

from .bh_curves import bh_curve
from .material_curves import (MU0, NU0, ConstantPermeability, SplinePermeability, check_bh,
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
    "from_file",
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


# -- B-H tables from files ---------------------------------------------------------------------

_H_UNITS = {"A/m": 1.0, "kA/m": 1e3, "A/cm": 1e2, "A/mm": 1e3, "Oe": 1e3 / (4 * np.pi)}
_B_UNITS = {"T": 1.0, "mT": 1e-3, "G": 1e-4, "kG": 1e-1, "Gs": 1e-4}


def _unit_factor(quantity, unit, table):
    try:
        return table[str(unit).strip()]
    except KeyError:
        raise ValueError(f"unknown unit {unit!r} for {quantity}; use one of "
                         f"{sorted(table)}") from None


def _split(line, delimiter):
    if delimiter is None:
        for d in (",", "\t", ";"):
            if d in line:
                return [f.strip() for f in line.split(d)]
        return line.split()
    return [f.strip() for f in line.split(delimiter)]


def _header_key(cell):
    """'H [A/m]' and 'H (kA/m)' are both the column 'h'."""
    return re.split(r"[\[(]", cell, maxsplit=1)[0].strip().lower()


def from_file(path, name=None, columns=("H", "B"), units=None, delimiter=None,
              **material_options) -> Material:
    """A nonlinear :class:`Material` from a B-H table in a text file.

    The file holds one point per line: comma-, tab-, semicolon- or whitespace-separated
    numbers (``delimiter`` None guesses from each line; give one to force it). Blank
    lines and text after ``#`` are ignored; the first remaining line may be a header of
    column names (``H [A/m]``, ``B (T)``: the text before a bracket is the name).

    Parameters
    ----------
    path : str or path-like, the file.
    name : the material's name (default: the file's stem).
    columns : (H column, B column): header names (case-insensitive) or 0-based
        indices. Without a header the names ``"H"`` and ``"B"`` mean the columns 0 and 1.
    units : dict ``{"H": unit, "B": unit}`` (either may be left out): H in ``"A/m"``
        (default), ``"kA/m"``, ``"A/cm"``, ``"A/mm"`` or ``"Oe"``; B in ``"T"``
        (default), ``"mT"``, ``"G"`` or ``"kG"``. Values are converted to A/m and T.
    **material_options : passed on to :class:`Material`.

    Returns
    -------
    Material
        As :func:`steel` builds one: ``H`` (A/m) and ``B`` (T) strictly increasing,
        the origin prepended when the table starts above it.

    Raises
    ------
    FileNotFoundError
        The file does not exist.
    ValueError
        A non-numeric or missing entry, fewer than two points, H or B not strictly
        increasing, negative values or points below B = mu0 H, an unknown column name
        or unit; the message names the file and, where it applies, the line.
    """
    import pathlib

    p = pathlib.Path(path)
    if not p.is_file():
        raise FileNotFoundError(f"B-H table {str(p)!r} not found")
    units = dict(units or {})
    unknown = set(units) - {"H", "B"}
    if unknown:
        raise ValueError(f"units keys must be 'H' and/or 'B', got {sorted(unknown)}")
    fH = _unit_factor("H", units.get("H", "A/m"), _H_UNITS)
    fB = _unit_factor("B", units.get("B", "T"), _B_UNITS)
    if len(columns) != 2:
        raise ValueError("columns must name two columns: (H, B)")
    header, rows = None, []
    with open(p, encoding="utf-8-sig") as fh:
        for lineno, raw in enumerate(fh, start=1):
            line = raw.split("#", 1)[0].strip()
            if not line:
                continue
            cells = _split(line, delimiter)
            try:
                vals = [float(c) for c in cells]
            except ValueError:
                if header is None and not rows:
                    header = [_header_key(c) for c in cells]
                    continue
                raise ValueError(f"{p}: line {lineno}: not a number in {raw.strip()!r}") \
                    from None
            rows.append((lineno, vals))

    def index(col):
        if isinstance(col, (int, np.integer)):
            return int(col)
        key = str(col).strip().lower()
        if header is not None and key in header:
            return header.index(key)
        if header is None and key in ("h", "b"):
            return 0 if key == "h" else 1
        raise ValueError(f"{p}: no column {col!r}"
                         + (f"; the header has {header}" if header else " (no header line)"))

    iH, iB = index(columns[0]), index(columns[1])
    H, B = [], []
    for lineno, vals in rows:
        if max(iH, iB) >= len(vals) or min(iH, iB) < -len(vals):
            raise ValueError(f"{p}: line {lineno}: {len(vals)} column(s), column "
                             f"{max(iH, iB)} is missing")
        h, b = vals[iH] * fH, vals[iB] * fB
        if not (np.isfinite(h) and np.isfinite(b)):
            raise ValueError(f"{p}: line {lineno}: H and B must be finite")
        if h < 0 or b < 0:
            raise ValueError(f"{p}: line {lineno}: H and B must be non-negative")
        if H and not (h > H[-1] and b > B[-1]):
            raise ValueError(f"{p}: line {lineno}: H and B must increase strictly "
                             f"(H {h:g} A/m, B {b:g} T after H {H[-1]:g}, B {B[-1]:g})")
        H.append(h)
        B.append(b)
    if len(H) < 2:
        raise ValueError(f"{p}: a B-H table needs at least two points, found {len(H)}")
    try:
        H, B = check_bh(H, B)
    except ValueError as e:
        raise ValueError(f"{p}: {e}") from None
    return Material(name or p.stem, H=H, B=B, **material_options)
