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
    "PermanentMagnet",
    "permanent_magnet",
    "magnet_table",
    "remanence_in",
    "magnet_densities",
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


# -- permanent magnets -------------------------------------------------------------------------

class PermanentMagnet:
    """A magnet with linear recoil: B = mu0 mu_r H + Br, Br = |Br| d(x) (T).

    Use :func:`permanent_magnet` to build one. In a ``{region: material}`` map it
    gives the recoil permeability (``permeability()``, mu0 mu_r in H/m) and reluctance
    (``reluctance()``, nu0 / mu_r in m/H) to the kernels like a linear material; the
    solvers add the remanence terms (:mod:`fluxkern_tools.solvers.magnets`, where
    the energy and co-energy of a magnet are described).

    Attributes
    ----------
    Br : remanence magnitude in T (>= 0).
    direction : unit 3-vector, or a callable mapping (P, 3) points in m to (P, 3)
        directions (normalised on evaluation).
    mu_r : recoil relative permeability (> 0).
    """

    is_linear = True

    def __init__(self, Br: float, direction, mu_r: float = 1.05, name: str = ""):
        Br = float(Br)
        if not (np.isfinite(Br) and Br >= 0):
            raise ValueError(f"Br must be a finite remanence >= 0 T, got {Br!r}")
        self.Br = Br
        self.mu_r = positive_finite("mu_r", mu_r)
        if callable(direction):
            self.direction = direction
        else:
            self.direction = _unit(np.asarray(direction, dtype=np.float64), "direction")[0]
            self.direction.setflags(write=False)
        self.name = name or f"magnet(Br={Br:g} T, mu_r={self.mu_r:g})"

    def permeability(self, **_fit_options) -> ConstantPermeability:
        """The recoil permeability mu0 mu_r (H/m) as a module permeability object."""
        return ConstantPermeability(self.mu_r * MU0)

    def reluctance(self, **_fit_options) -> ConstantReluctance:
        """The recoil reluctance nu0 / mu_r (m/H) as a module reluctance object."""
        return ConstantReluctance(NU0 / self.mu_r)

    def remanence(self, points) -> np.ndarray:
        """Remanent flux density Br (T), (P, 3), at ``points`` (P, 3) in m.

        Raises ValueError where a direction callable returns the wrong shape, a zero
        or a non-finite direction.
        """
        P = np.asarray(points, dtype=np.float64).reshape(-1, 3)
        if not callable(self.direction):
            return np.broadcast_to(self.Br * self.direction, P.shape).copy()
        d = np.asarray(self.direction(P), dtype=np.float64)
        if d.shape != P.shape:
            raise ValueError(f"the direction callable returned shape {d.shape}, "
                             f"expected {P.shape}")
        return self.Br * _unit(d, "direction")

    def __repr__(self):
        return f"PermanentMagnet({self.name})"


def _unit(d, what) -> np.ndarray:
    """Rows of ``d`` (3,) or (P, 3) normalised; ValueError for zero or non-finite rows."""
    d = np.atleast_2d(d)
    if d.shape[1:] != (3,):
        raise ValueError(f"{what} must be a 3-vector (or (P, 3) vectors), got {d.shape}")
    n = np.linalg.norm(d, axis=1)
    bad = ~(np.isfinite(n) & (n > 0))
    if np.any(bad):
        raise ValueError(f"{what} must be finite and non-zero; {int(bad.sum())} "
                         f"vector(s) are not (first: {d[np.argmax(bad)].tolist()})")
    return d / n[:, None]


def permanent_magnet(Br: float, direction, mu_r: float = 1.05,
                     name: str = "") -> PermanentMagnet:
    """A permanent magnet of remanence ``Br`` (T) along ``direction``.

    Parameters
    ----------
    Br : remanence magnitude in T, finite and >= 0.
    direction : a 3-vector (any non-zero length; normalised), or a callable mapping
        (P, 3) points in m to (P, 3) directions (radial, Halbach, ...), normalised
        point by point when evaluated.
    mu_r : recoil relative permeability (dimensionless), finite and > 0.

    Returns
    -------
    PermanentMagnet, usable in the ``{region: material}`` map of
    ``solve_scalar_potential`` and ``solve_reduced_vector_potential``.

    Raises
    ------
    ValueError
        For a negative, NaN or infinite ``Br``, a zero or non-finite constant
        ``direction``, or ``mu_r`` <= 0 or non-finite. A callable direction is checked
        where it is evaluated (zero or non-finite directions raise there).
    """
    return PermanentMagnet(Br, direction, mu_r, name)


def magnet_table(mesh, materials) -> dict:
    """``{region id: PermanentMagnet}`` for the regions of ``materials`` (a ``{region id
    or physical name: material}`` dict) that are magnets and have elements."""
    present = set(np.unique(mesh.regions).tolist())
    table = {}
    for k, m in materials.items():
        if isinstance(m, PermanentMagnet):
            r = mesh.region_id(k) if isinstance(k, str) else int(k)
            if r in present:
                table[r] = m
    return table


def remanence_in(mesh, magnets: dict, elements, points) -> np.ndarray:
    """Br (T), (P, 3), at ``points`` (P, 3; m) lying in ``elements`` (P,): the magnet's
    remanence in magnet elements, zero elsewhere."""
    el = np.asarray(elements).reshape(-1)
    P = np.asarray(points, dtype=np.float64).reshape(-1, 3)
    out = np.zeros_like(P)
    reg = mesh.regions[el]
    for r, magnet in magnets.items():
        sel = reg == r
        if np.any(sel):
            out[sel] = magnet.remanence(P[sel])
    return out


def magnet_densities(magnet: PermanentMagnet, points, field, kind: str,
                     field_is_B: bool) -> np.ndarray:
    """Energy or co-energy density (J/m^3) of ``magnet`` at ``points`` (P, 3; m).

    ``field`` (P, 3) is B in T (``field_is_B``) or H in A/m; ``kind`` is
    ``"energy_density"`` (|B - Br|^2 / (2 mu)) or ``"coenergy_density"``
    (mu |H|^2 / 2 + Br . H), both relative to the remanent state (module notes).
    """
    mu = float(magnet.permeability().mu)
    Br = magnet.remanence(points)
    F = np.asarray(field, dtype=np.float64).reshape(-1, 3)
    H = (F - Br) / mu if field_is_B else F
    if kind == "energy_density":
        return 0.5 * mu * np.einsum("pc,pc->p", H, H)
    if kind == "coenergy_density":
        return 0.5 * mu * np.einsum("pc,pc->p", H, H) + np.einsum("pc,pc->p", Br, H)
    raise ValueError(f"unknown density {kind!r}")
