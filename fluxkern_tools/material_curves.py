"""Material curves for the compiled kernels: permeability objects here, reluctance
objects in :mod:`.reluctance_curves`, and what both share.

Two families, each with exactly the methods the module calls:

* Permeability (scalar-potential formulation), read through ``get_type_spec()``, then
  ``evaluate_mu(0.0)`` for type 0 or ``get_spline_information()`` for type 1, which
  returns ``(t, c, k, H_min, mu_H_min)``: a B-spline of degree k with knots t over
  s = log10(H / (A/m)) and coefficients c, giving mu(H) in H/m for H >= H_min, and the
  constant mu_H_min below the cut-off H_min > 0 (A/m). The module evaluates
  sum_i c_i B_{i,k}(s) with half-open basis supports, so the curve is 0 at and beyond
  the last knot; the fitted curves therefore reach far past any field of interest.
* Reluctance (vector-potential formulation), read through ``get_type_spec()``, then
  ``get_spline_information()`` for type 1, which returns ``(c, x)`` in
  ``scipy.interpolate.PPoly`` layout (c of shape (4, m), c[r, p] the coefficient of
  (|B| - x[p])**(3 - r) on piece p; x the m + 1 ascending breakpoints, x[0] = 0), giving
  nu(|B|) in m/H; or the attribute ``value`` for type 0. The module returns 0 below x[0]
  and continues the last piece beyond x[m]; the fitted curves make that last piece a
  constant close to the vacuum reluctivity.

Every object also offers the Python-side curves (value and derivative) that the solvers
and tests use; they follow the module's evaluation rules, so a Newton iteration sees the
same material on both sides. All quantities are SI: H in A/m, B in T, mu in H/m,
nu in m/H.
"""

from __future__ import annotations


import numpy as np
from scipy.interpolate import (BSpline, CubicHermiteSpline, PchipInterpolator, make_interp_spline)


__all__ = [
    "MU0",
    "NU0",
    "ConstantPermeability",
    "SplinePermeability",
    "extend_saturation",
    "positive_finite",
    "out",
    "check_bh",
    "monotone_cubic",
    "invert_increasing",
]

MU0 = (4 * np.pi) * 1e-7          # vacuum permeability, H/m (the module's default)
NU0 = 795774.7154594767           # 1 / MU0, vacuum reluctivity in m/H (the module's nu0)

_LN10 = np.log(10.0)


def out(v, like):
    """Return a float for scalar input, an array otherwise."""
    return float(v) if np.ndim(like) == 0 else v


def positive_finite(name, v):
    """``v`` as a float; ValueError naming ``name`` unless it is finite and > 0."""
    v = float(v)
    if not (np.isfinite(v) and v > 0):
        raise ValueError(f"{name} must be a positive finite number, got {v!r}")
    return v


# -- BH data ----------------------------------------------------------------------------------

def check_bh(H, B):
    """A B-H curve (H in A/m, B in T) checked and started at the origin: 1-D, finite,
    strictly increasing in both, on or above B = mu0 H. Returns ``(H, B)`` float64;
    ValueError saying what is wrong otherwise."""
    H = np.asarray(H, dtype=np.float64).reshape(-1)
    B = np.asarray(B, dtype=np.float64).reshape(-1)
    if H.shape != B.shape or len(H) < 2:
        raise ValueError("H and B must be 1-D arrays of the same length >= 2")
    if not (np.all(np.isfinite(H)) and np.all(np.isfinite(B))):
        raise ValueError("BH data must be finite")
    if H[0] < 0 or B[0] < 0:
        raise ValueError("BH data must start at H >= 0, B >= 0")
    if np.any(np.diff(H) <= 0) or np.any(np.diff(B) <= 0):
        raise ValueError("BH data must be strictly increasing in H and in B")
    if H[0] > 0 or B[0] > 0:
        if H[0] == 0 or B[0] == 0:
            raise ValueError("a BH curve through H = 0 must have B = 0 there")
        H, B = np.concatenate([[0.0], H]), np.concatenate([[0.0], B])
    if np.any(B[1:] < MU0 * H[1:] * (1 - 1e-9)):
        raise ValueError("BH data below the vacuum line B = mu0 H is not a magnetic material")
    return H, B


def extend_saturation(H, B, H_top):
    """Append points of the saturation law B = mu0 H + Js beyond the last data point.

    Js = B[-1] - mu0 H[-1] is the polarisation at the last point (T). Points are added
    at H[-1] * 2**j (A/m) up to at least ``H_top``. Returns the extended ``(H, B)``.
    """
    H, B = check_bh(H, B)
    Js = B[-1] - MU0 * H[-1]
    Hs = [H[-1]]
    while Hs[-1] < H_top:
        Hs.append(Hs[-1] * 2.0)
    He = np.asarray(Hs[1:])
    return np.concatenate([H, He]), np.concatenate([B, MU0 * He + Js])


def monotone_cubic(x, y):
    """PCHIP through increasing data whose slope at the first point is at least half the
    first secant. PCHIP's one-sided end formula returns 0 for a curve that starts convex
    (the Rayleigh region of many BH curves), which would give a zero initial
    permeability or reluctance. Half a secant at the start with PCHIP's slope of at most
    three secants at the end lies inside the Fritsch-Carlson region, so the first piece
    stays increasing."""
    d = PchipInterpolator(x, y).derivative()(x)
    sec = (y[1] - y[0]) / (x[1] - x[0])
    d[0] = max(d[0], 0.5 * sec)
    return CubicHermiteSpline(x, y, d)


def invert_increasing(f, y, x_top):
    """x in [0, x_top] with f(x) = y for an increasing f, by vectorised bisection."""
    y = np.asarray(y, dtype=np.float64)
    lo, hi = np.zeros_like(y), np.full_like(y, float(x_top))
    for _ in range(64):                 # halves [0, x_top] to below double resolution
        mid = 0.5 * (lo + hi)
        below = f(mid) < y
        lo, hi = np.where(below, mid, lo), np.where(below, hi, mid)
    return 0.5 * (lo + hi)


# -- permeability ------------------------------------------------------------------------------

class ConstantPermeability:
    """Constant permeability ``mu`` in H/m (module type 0)."""

    type_spec = 0

    def __init__(self, mu: float = MU0):
        self.mu = positive_finite("mu", mu)

    def get_type_spec(self) -> int:
        """Type specifier read by the module: 0, a constant."""
        return 0

    def evaluate_mu(self, H):
        """Permeability in H/m at field strength ``H`` (A/m): the constant."""
        return out(np.full(np.shape(H), self.mu), H)

    def evaluate_dmu_dH(self, H):
        """d mu / dH in H/m per A/m: zero."""
        return out(np.zeros(np.shape(H)), H)

    def evaluate_B(self, H):
        """Flux density B = mu H in T for field strength ``H`` (A/m)."""
        return out(self.mu * np.asarray(H, dtype=np.float64), H)

    def coenergy_density(self, H):
        """Co-energy density mu H^2 / 2 in J/m^3 at field strength ``H`` (A/m)."""
        return out(0.5 * self.mu * np.asarray(H, dtype=np.float64) ** 2, H)

    def energy_density(self, H):
        """Energy density in J/m^3 at field strength ``H`` (A/m): equal to the co-energy."""
        return self.coenergy_density(H)

    def __repr__(self):
        return f"ConstantPermeability(mu={self.mu!r})"


class SplinePermeability:
    """Permeability mu(H) as a B-spline over log10 H with a low-field cut-off (type 1).

    Parameters
    ----------
    t : knots over s = log10(H / (A/m)), non-decreasing, 1-D
    c : coefficients in H/m, ``len(t) - k - 1`` of them
    k : degree (>= 0)
    H_min : cut-off field strength in A/m (> 0); below it mu = ``mu_H_min``
    mu_H_min : permeability below the cut-off in H/m (> 0)
    """

    type_spec = 1

    def __init__(self, t, c, k, H_min, mu_H_min, name: str = ""):
        t = np.ascontiguousarray(t, dtype=np.float64).reshape(-1)
        c = np.ascontiguousarray(c, dtype=np.float64).reshape(-1)
        k = int(k)
        if k < 0:
            raise ValueError("the spline degree must be >= 0")
        if not (np.all(np.isfinite(t)) and np.all(np.isfinite(c))):
            raise ValueError("knots and coefficients must be finite")
        if np.any(np.diff(t) < 0):
            raise ValueError("knots must be non-decreasing")
        if len(c) < 1 or len(t) != len(c) + k + 1:
            raise ValueError(f"need len(t) == len(c) + k + 1 with len(c) >= 1 "
                             f"(got {len(t)}, {len(c)}, {k})")
        # The module computes log10(H) for H >= H_min; H_min = 0 would feed it log10(0).
        self.H_min = positive_finite("H_min", H_min)
        self.mu_H_min = positive_finite("mu_H_min", mu_H_min)
        self.t, self.c, self.k, self.name = t, c, k, name
        self._coenergy_table = None
        for a in (self.t, self.c):
            a.setflags(write=False)
        # The module sums every basis function over the whole knot vector; padding with
        # k repeated end knots and zero coefficients makes scipy's base interval cover the
        # same range with the same basis, so both sides evaluate one curve.
        tp = np.concatenate([np.full(k, t[0]), t, np.full(k, t[-1])])
        cp = np.concatenate([np.zeros(k), c, np.zeros(k)])
        self._spl = BSpline(tp, cp, k, extrapolate=False)
        self._dspl = None
        if k > 0:
            # Derivative spline written out (scipy refuses the padded knot multiplicity):
            # d_j = k (c_j - c_{j-1}) / (t_{j+k} - t_j), zero over zero-width spans.
            den = tp[k + 1:len(cp) + k] - tp[1:len(cp)]
            with np.errstate(divide="ignore", invalid="ignore"):
                dc = np.where(den > 0, k * np.diff(cp) / np.where(den > 0, den, 1.0), 0.0)
            self._dspl = BSpline(tp[1:-1], dc, k - 1, extrapolate=False)

    @classmethod
    def from_bh_curve(cls, H, B, H_min: float = 1.0, H_max: float = 1e9,
                      samples_per_decade: int = 8, tail_samples_per_decade: int = 3,
                      degree: int = 3, rtol: float = 2e-3,
                      name: str = "") -> "SplinePermeability":
        """Fit mu(H) = B(H) / H from a BH curve (H in A/m, B in T).

        The data is joined by a monotone cubic in H (PCHIP, with an initial slope of at
        least half the first secant), continued by the saturation
        law B = mu0 H + Js (:func:`extend_saturation`), sampled as mu over log10 H from
        just below ``H_min`` to just above ``H_max`` (``samples_per_decade`` per decade
        plus every data point) and interpolated there by a B-spline of ``degree``
        (``scipy.interpolate.make_interp_spline``). Sample intervals are bisected where
        the spline misses the joined curve by more than ``rtol`` (relative) or where
        B = mu H would not increase. The curve thus passes through every data point with
        H in [H_min, H_max] and follows the joined curve between them. ``mu_H_min`` is the spline's value at
        ``H_min``, so mu is continuous at the cut-off. Beyond about 1.8 H_max the module
        would see mu = 0: choose ``H_max`` above any field the problem can reach.
        """
        H_min = positive_finite("H_min", H_min)
        H_max = positive_finite("H_max", H_max)
        if H_max < 10 * H_min:
            raise ValueError("H_max must be at least 10 H_min")
        spd = int(samples_per_decade)
        if spd < 2:
            raise ValueError("samples_per_decade must be >= 2")
        tail = int(tail_samples_per_decade)
        if tail < 1:
            raise ValueError("tail_samples_per_decade must be >= 1")
        Hd, _ = check_bh(H, B)
        He, Be = extend_saturation(H, B, 2 * H_max)
        bh = monotone_cubic(He, Be)
        margin = 0.25
        s_lo, s_hi = np.log10(H_min) - margin, np.log10(H_max) + margin
        # Dense sampling over the measured range, sparse over the saturation law, whose
        # mu = mu0 + Js / H is smooth in log10 H: the module sums every coefficient at
        # every quadrature point, so fewer coefficients mean a faster assembly.
        s_knee = min(max(np.log10(Hd[-1]), s_lo + 1.0), s_hi - 1.0)
        dense = np.linspace(s_lo, s_knee, int(np.ceil((s_knee - s_lo) * spd)) + 1)
        sparse = np.linspace(s_knee, s_hi, int(np.ceil((s_hi - s_knee) * tail)) + 1)[1:]
        grid = np.concatenate([dense, sparse])
        s_data = np.log10(Hd[(Hd > 10 ** s_lo) & (Hd < 10 ** s_hi)])
        # Drop grid points that crowd a data point: nearly coincident samples make the
        # interpolating spline oscillate.
        if len(s_data):
            gap = np.min(np.abs(grid[:, None] - s_data[None, :]), axis=1)
            grid = grid[(gap > 0.3 / spd) | (grid == s_lo) | (grid == s_hi)]
        s = np.unique(np.concatenate([grid, s_data]))
        mu_of = lambda v: bh(10.0 ** v) / 10.0 ** v
        # Where the master curve bends sharply (a knee between sparse data points) the
        # interpolating spline can miss it or even make B(H) fall: bisect the sample
        # intervals whose midpoint misses B by more than rtol, or where dB/dH <= 0.
        for _ in range(40):
            spl = make_interp_spline(s, mu_of(s), k=int(degree))
            mid = 0.5 * (s[:-1] + s[1:])
            bad = np.abs(spl(mid) - mu_of(mid)) > rtol * mu_of(mid)
            f = np.linspace(0, 1, 9)[1:-1]
            probe = s[:-1, None] + f * np.diff(s)[:, None]
            dspl = spl.derivative()
            # dB/dH = mu + dmu/dlog10(H) / ln 10 in terms of the spline over s.
            slope = spl(probe) + dspl(probe) / _LN10
            bad |= np.any(slope <= 0, axis=1)
            if not np.any(bad):
                break
            s = np.unique(np.concatenate([s, mid[bad]]))
        else:
            raise ValueError("could not fit a permeability with increasing B(H) within rtol")
        mu_H_min = float(spl(np.log10(H_min)))
        return cls(spl.t, spl.c, spl.k, H_min, mu_H_min, name=name)

    def get_type_spec(self) -> int:
        """Type specifier read by the module: 1, a B-spline curve."""
        return 1

    def get_spline_information(self):
        """``(t, c, k, H_min, mu_H_min)`` as the module reads them.

        t: knots over log10(H) (1-D float64), c: coefficients in H/m (1-D float64),
        k: degree (int), H_min: cut-off in A/m (float), mu_H_min: H/m (float).
        """
        return self.t.copy(), self.c.copy(), self.k, self.H_min, self.mu_H_min

    def _s(self, H):
        H = np.asarray(H, dtype=np.float64)
        low = H < self.H_min               # the module's cut-off test; NaN is not below
        with np.errstate(divide="ignore", invalid="ignore"):
            s = np.log10(np.where(low, self.H_min, H))
        # scipy includes the last knot in its base interval; the module's half-open
        # supports give 0 there (and for NaN).
        outside = ~((s >= self.t[0]) & (s < self.t[-1]))
        return H, s, low, outside

    def evaluate_mu(self, H):
        """Permeability in H/m at field strength ``H`` (A/m, scalar or array)."""
        H, s, low, outside = self._s(H)
        v = np.nan_to_num(self._spl(s), nan=0.0)
        v = np.where(outside, 0.0, v)
        return out(np.where(low, self.mu_H_min, v), H)

    def evaluate_dmu_dH(self, H):
        """d mu / dH in H/m per A/m at ``H`` (A/m); 0 below the cut-off."""
        H, s, low, outside = self._s(H)
        if self._dspl is None:
            d = np.zeros_like(s)
        else:
            with np.errstate(divide="ignore", invalid="ignore"):
                d = np.nan_to_num(self._dspl(s), nan=0.0) / (_LN10 * H)
        d = np.where(outside, 0.0, d)
        return out(np.where(low, 0.0, d), H)

    def evaluate_B(self, H):
        """Flux density B = mu(H) H in T at ``H`` (A/m)."""
        return out(np.asarray(self.evaluate_mu(H)) * np.asarray(H, dtype=np.float64), H)

    def coenergy_density(self, H):
        """Co-energy density int_0^H B dh in J/m^3 at field strength ``H`` (A/m).

        Below the cut-off B = mu_H_min h; above it the integral runs over log10 h,
        piece by piece between the knots (8-point Gauss-Legendre per piece and per
        partial piece, which resolves the smooth spline pieces to rounding)."""
        H = np.asarray(H, dtype=np.float64)
        h = np.abs(H).reshape(-1)
        if self._coenergy_table is None:
            s0 = np.log10(self.H_min)
            brk = np.unique(np.concatenate([[s0], self.t[(self.t > s0)]]))
            cum = np.concatenate([[0.0], np.cumsum(self._coenergy_piece(brk[:-1], brk[1:]))])
            self._coenergy_table = (brk, cum)
        brk, cum = self._coenergy_table
        low = np.minimum(h, self.H_min)
        w = 0.5 * self.mu_H_min * low * low
        up = h > self.H_min
        if np.any(up):
            su = np.minimum(np.log10(h[up]), brk[-1])
            k = np.clip(np.searchsorted(brk, su, side="right") - 1, 0, len(brk) - 2)
            w[up] += cum[k] + self._coenergy_piece(brk[k], su)
        return out(w.reshape(H.shape), H)

    def _coenergy_piece(self, s_a, s_b):
        """int mu(10^s) 10^(2 s) ln 10 ds from s_a to s_b (arrays), in J/m^3."""
        x, wq = np.polynomial.legendre.leggauss(8)
        s_a, s_b = np.asarray(s_a, float), np.asarray(s_b, float)
        half = 0.5 * (s_b - s_a)
        sq = 0.5 * (s_a + s_b)[:, None] + half[:, None] * x[None]
        hq = 10.0 ** sq
        vals = np.asarray(self.evaluate_mu(hq)) * hq * hq * _LN10
        return half * (vals * wq).sum(axis=1)

    def energy_density(self, H):
        """Energy density int_0^B h db = B H - co-energy, in J/m^3, at ``H`` (A/m)."""
        H = np.asarray(H, dtype=np.float64)
        return out(np.asarray(self.evaluate_B(np.abs(H))) * np.abs(H)
                    - np.asarray(self.coenergy_density(H)), H)

    def __repr__(self):
        return (f"SplinePermeability({self.name or 'custom'}, k={self.k}, "
                f"n={len(self.c)}, H_min={self.H_min!r})")


# -- reluctance --------------------------------------------------------------------------------
