"""Reluctance objects (reduced vector potential): a constant, or a piecewise cubic in |B|
fitted to a BH curve; the module protocol is described in :mod:`.material_curves`.
nu in m/H, B in T, H in A/m.
"""

from __future__ import annotations

import numpy as np
from scipy.interpolate import PchipInterpolator, PPoly

from .material_curves import (MU0, NU0, check_bh, extend_saturation, invert_increasing,
                              monotone_cubic, out, positive_finite)

__all__ = ["ConstantReluctance", "CubicReluctance"]


class ConstantReluctance:
    """Constant reluctance ``value`` in m/H (module type 0; default: vacuum)."""

    type_spec = 0

    def __init__(self, value: float = NU0):
        self.value = positive_finite("value", value)

    def get_type_spec(self) -> int:
        """Type specifier read by the module: 0, a constant (attribute ``value``)."""
        return 0

    def evaluate_nu(self, B):
        """Reluctance in m/H at flux density magnitude ``B`` (T): the constant."""
        return out(np.full(np.shape(B), self.value), B)

    def evaluate_dnu_dB(self, B):
        """d nu / dB in m/H per T: zero."""
        return out(np.zeros(np.shape(B)), B)

    def evaluate_H(self, B):
        """Field strength H = nu B in A/m at ``B`` (T)."""
        return out(self.value * np.asarray(B, dtype=np.float64), B)

    def energy_density(self, B):
        """Energy density nu B^2 / 2 in J/m^3 at flux density ``B`` (T)."""
        return out(0.5 * self.value * np.asarray(B, dtype=np.float64) ** 2, B)

    def coenergy_density(self, B):
        """Co-energy density in J/m^3 at flux density ``B`` (T): equal to the energy."""
        return self.energy_density(B)

    def __repr__(self):
        return f"ConstantReluctance(value={self.value!r})"


class CubicReluctance:
    """Reluctance nu(|B|) as a piecewise cubic in ``scipy.interpolate.PPoly`` layout.

    Parameters
    ----------
    c : (4, m) coefficients, c[r, p] of (|B| - x[p])**(3 - r), in m/H per T**(3-r)
    x : (m + 1,) ascending breakpoints in T with x[0] <= 0 (the module gives 0 below x[0])
    """

    type_spec = 1

    def __init__(self, c, x, name: str = ""):
        c = np.array(c, dtype=np.float64, order="C", ndmin=2)
        x = np.ascontiguousarray(x, dtype=np.float64).reshape(-1)
        if c.ndim != 2 or c.shape[0] != 4:
            raise ValueError(f"c must have shape (4, m), got {c.shape}")
        m = c.shape[1]
        if m < 1 or len(x) != m + 1:
            raise ValueError("need m >= 1 pieces and m + 1 breakpoints")
        if not (np.all(np.isfinite(c)) and np.all(np.isfinite(x))):
            raise ValueError("coefficients and breakpoints must be finite")
        if np.any(np.diff(x) <= 0):
            raise ValueError("breakpoints must be strictly ascending")
        if x[0] > 0:
            raise ValueError("the first breakpoint must be <= 0: the module's curve is 0 "
                             "below it, and |B| starts at 0")
        self.c, self.x, self.name = c, x, name
        for a in (self.c, self.x):
            a.setflags(write=False)
        self._pp = PPoly(c, x, extrapolate=True)   # beyond x[-1]: last piece, like the module
        self._energy = None
        self._dpp = self._pp.derivative()

    @classmethod
    def from_bh_curve(cls, H, B, B_max: float = 20.0, refine: int = 1, rtol: float = 2e-3,
                      name: str = "") -> "CubicReluctance":
        """Fit nu(|B|) = H(B) / B from a BH curve (H in A/m, B in T).

        H(B) is the inverse of the monotone cubic B(H) through the data (the curve that
        :meth:`SplinePermeability.from_bh_curve` uses), continued by the saturation law
        B = mu0 H + Js up to ``B_max`` (T). nu is sampled at every data point, at
        ``refine`` points per data interval and at gradually widening steps over the
        saturation range, nu(0) being the initial slope dH/dB, and joined by
        ``PchipInterpolator``, a monotone cubic; pieces whose midpoint misses H(B) by more
        than ``rtol`` (relative) are bisected until none does and nu(B) B is increasing.
        A last, constant piece from B_max to 2 B_max holds nu(B_max) = nu0 (1 - Js /
        B_max), so the module's extension beyond the last breakpoint is a vacuum-like
        constant reluctance (0.9 nu0 for a 2 T steel and B_max = 20 T).
        """
        B_max = positive_finite("B_max", B_max)
        Hd, Bd = check_bh(H, B)
        if B_max <= 1.5 * Bd[-1]:
            raise ValueError("B_max must lie well above the last data point")
        Js = Bd[-1] - MU0 * Hd[-1]
        if not Js > 0:
            raise ValueError("the last data point must lie above the vacuum line")
        r = int(refine)
        if r < 1:
            raise ValueError("refine must be >= 1")
        # Saturation range: steps that start as fine as the last data interval's
        # subdivision and grow by 1.3, since nu = nu0 (1 - Js / B) bends most at the knee.
        step, Bs = (Bd[-1] - Bd[-2]) / r, [Bd[-1]]
        while Bs[-1] < B_max:
            Bs.append(min(Bs[-1] + step, B_max))
            step *= 1.3
        if len(Bs) >= 3 and B_max - Bs[-2] < 0.3 * (Bs[-2] - Bs[-3]):
            del Bs[-2]                       # no sliver piece just below B_max
        Bsat = np.asarray(Bs[1:])
        # The same B(H) as the permeability fit, inverted, so that both formulations
        # describe one material.
        He, Be = extend_saturation(Hd, Bd, 2.0 * (B_max - Js) / MU0)
        bh = monotone_cubic(He, Be)
        hb = lambda b: invert_increasing(bh, b, He[-1])
        nu_initial = 1.0 / float(bh.derivative()(0.0))     # lim H/B as B -> 0
        t = np.arange(r) / r
        xs = np.concatenate([(Bd[:-1, None] + t * np.diff(Bd)[:, None]).ravel(), [Bd[-1]], Bsat])

        def nu_of(b):
            with np.errstate(divide="ignore", invalid="ignore"):
                return np.where(b > 0, hb(b) / np.where(b > 0, b, 1.0), nu_initial)

        # Bisect the pieces whose midpoint misses H(B) by more than rtol, until none does
        # and H(B) = nu(B) B is increasing: few pieces where the curve is straight, many at
        # the knee. The module scans every piece per evaluation, so few pieces pay.
        for _ in range(40):
            xs = np.unique(xs)
            knots = np.concatenate([xs, [2 * B_max]])
            nus = np.concatenate([nu_of(xs), [nu_of(xs[-1:])[0]]])
            obj = cls(*_pchip_pieces(knots, nus), name=name)
            mid = 0.5 * (xs[:-1] + xs[1:])
            H_fit = np.asarray(obj.evaluate_H(mid))
            bad = np.abs(H_fit - hb(mid)) > rtol * np.abs(hb(mid))
            if not np.any(bad) and obj._increasing_H():
                return obj
            if not np.any(bad):
                bad[:] = True                  # not yet monotone: refine everywhere
            xs = np.concatenate([xs, mid[bad]])
        raise ValueError("could not fit a reluctance with increasing H(B) within rtol")

    def _increasing_H(self) -> bool:
        b = np.concatenate([np.linspace(a, z, 17)[:-1] for a, z in zip(self.x[:-1], self.x[1:])]
                           + [np.linspace(self.x[-1], 50 * self.x[-1] + 1, 64)])
        b = b[b >= 0]
        dH = np.asarray(self.evaluate_nu(b)) + b * np.asarray(self.evaluate_dnu_dB(b))
        return bool(np.all(dH > 0))

    def get_type_spec(self) -> int:
        """Type specifier read by the module: 1, a piecewise cubic."""
        return 1

    def get_spline_information(self):
        """``(c, x)`` as the module reads them: c (4, m) float64, x (m + 1,) float64 in T."""
        return self.c.copy(), self.x.copy()

    def evaluate_nu(self, B):
        """Reluctance in m/H at flux density magnitude ``B`` (T); 0 below x[0] like the module."""
        b = np.asarray(B, dtype=np.float64)
        v = np.where(b >= self.x[0], self._pp(np.where(b >= self.x[0], b, self.x[0])), 0.0)
        return out(v, B)

    def evaluate_dnu_dB(self, B):
        """d nu / d|B| in m/H per T at ``B`` (T); 0 below x[0]."""
        b = np.asarray(B, dtype=np.float64)
        v = np.where(b >= self.x[0], self._dpp(np.where(b >= self.x[0], b, self.x[0])), 0.0)
        return out(v, B)

    def evaluate_H(self, B):
        """Field strength H = nu(B) B in A/m at ``B`` (T)."""
        return out(np.asarray(self.evaluate_nu(B)) * np.asarray(B, dtype=np.float64), B)

    def energy_density(self, B):
        """Energy density int_0^B nu(b) b db in J/m^3 at flux density ``B`` (T), exact:
        nu(b) b is a piecewise quartic whose antiderivative PPoly gives."""
        if self._energy is None:
            c, x = self.c, self.x
            c4 = np.zeros((5, c.shape[1]))
            c4[0] = c[0]
            c4[1:4] = c[1:4] + x[:-1] * c[0:3]          # nu (u + x_p), u = b - x_p
            c4[4] = x[:-1] * c[3]
            W = PPoly(c4, x, extrapolate=True).antiderivative()
            self._energy = (W, float(W(0.0)))
        W, W0 = self._energy
        b = np.abs(np.asarray(B, dtype=np.float64))
        return out(W(b) - W0, B)

    def coenergy_density(self, B):
        """Co-energy density int_0^H b dh = B H - energy, in J/m^3, at ``B`` (T)."""
        b = np.abs(np.asarray(B, dtype=np.float64))
        return out(np.asarray(self.evaluate_H(b)) * b - np.asarray(self.energy_density(b)), B)

    def __repr__(self):
        return f"CubicReluctance({self.name or 'custom'}, pieces={self.c.shape[1]})"


def _pchip_pieces(x, y):
    pp = PchipInterpolator(x, y)
    return pp.c, pp.x
