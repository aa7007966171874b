// Material curves: the B-spline permeability over log10 H and the piecewise
// cubic reluctance over |B|, with their derivatives.
//
// The plain routines evaluate the curves exactly as defined: the B-spline
// over every coefficient, each basis value formed as the Cox-de Boor
// recursion forms it.  PermeabilityCurve and
// ReluctanceCurve give the same values faster for use inside element loops.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

#include "kernels.hpp"

namespace fluxkern {

using idx = std::ptrdiff_t;

namespace {

// The cubic's powers come from the C library's pow.  The exponents are read
// from volatile storage because the compiler would otherwise turn
// pow(d, 2.0) into d * d and pow(d, 1.0) into d; glibc's pow is not
// correctly rounded, so d * d differs from it in the last bit now and then.
const volatile double kExponent[4] = {0.0, 1.0, 2.0, 3.0};

inline double libm_pow(double d, int e) { return std::pow(d, kExponent[e]); }

// What pow(d, 1.0) and pow(d, 0.0) return for every d that arithmetic can
// produce (a signalling NaN cannot arise): d itself, since glibc's pow is
// accurate to well under one unit in the last place and d is representable,
// and 1 for any d, NaN included.  They cost as much as pow(d, 3.0) otherwise.
inline double pow_one(double d) { return d; }
inline double pow_zero(double) { return 1.0; }

// pow(d, 2.0) and pow(d, 3.0) where their value is certain without the call.
// The exact power is formed as a double p plus a remainder r (Dekker's exact
// product; no fused operation, so every step is an ordinary rounding).  When
// |r| is at most 0.47 units in the last place of p, any approximation within
// 0.03 units of the exact power rounds to p.  glibc's pow (2.28 and later)
// is such an approximation for 2^-64 <= |d| <= 2^64: its exp step errs by
// at most 0.009 units before the final rounding, its log step by a relative
// 1.3 * 2^-68, which |y log d| <= 134 scales to below 0.006 units.  (In
// practice pow differs from the correctly rounded power in about one input
// in a thousand.)  Other C libraries, and other d, keep the call.
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 28))
constexpr bool kCertainPowers = true;
#else
constexpr bool kCertainPowers = false;
#endif

inline void split(double a, double& hi, double& lo) {
    const double c = 134217729.0 * a;  // 2^27 + 1
    hi = c - (c - a);
    lo = a - hi;
}

// The rounding error of p = a * b, exactly (no overflow or underflow).
inline double product_error(double a, double b, double p) {
    double ah, al, bh, bl;
    split(a, ah, al);
    split(b, bh, bl);
    return ((ah * bh - p) + ah * bl + al * bh) + al * bl;
}

// Whether p + r lies within 0.47 units of the last place of p (|r| small):
// 1.0625 r then rounds away when added.  Just below a power of two the
// finer spacing below it applies, as it must.
inline bool certain(double p, double r) { return p + 1.0625 * r == p; }

// d2 = pow(d, 2.0) and d3 = pow(d, 3.0), bit for bit.
inline void powers_2_3(double d, double& d2, double& d3) {
    const double a = std::fabs(d);
    // Also keeps every partial product and remainder normal, and sends zero,
    // NaN and infinities to the call.
    if (!kCertainPowers || !(a >= 0x1p-64 && a <= 0x1p64)) {
        d2 = libm_pow(d, 2);
        d3 = libm_pow(d, 3);
        return;
    }
    const double p2 = d * d;
    const double e2 = product_error(d, d, p2);  // d^2 = p2 + e2 exactly
    d2 = certain(p2, e2) ? p2 : libm_pow(d, 2);
    // d^3 = p3 + t up to a relative 2^-100; p3 may be a unit off the
    // nearest double, so the candidate is q = p3 + t with remainder r.
    const double p3 = p2 * d;
    const double t = product_error(p2, d, p3) + e2 * d;
    const double q = p3 + t;
    const double r = (p3 - q) + t;
    d3 = certain(q, r) ? q : libm_pow(d, 3);
}

}  // namespace

double bspline_basis(int32_t i, int32_t k, const double* t, double s) {
    // An infinite abscissa (log10 of a zero or infinite field) lies outside
    // every knot span.  The recursion would otherwise form inf * 0 = NaN and
    // turn the permeability at a zero field into NaN.
    if (std::isinf(s)) return 0.0;
    if (k == 0) return (s >= t[i] && s < t[i + 1]) ? 1.0 : 0.0;
    // Terms over zero-width knot intervals are dropped unevaluated, which
    // keeps repeated knots free of 0/0.
    double left = 0.0;
    if (t[i + k] != t[i])
        left = ((s - t[i]) / (t[i + k] - t[i])) * bspline_basis(i, k - 1, t, s);
    double right = 0.0;
    if (t[i + k + 1] != t[i + 1])
        right = ((t[i + k + 1] - s) / (t[i + k + 1] - t[i + 1])) * bspline_basis(i + 1, k - 1, t, s);
    return right + left;
}

namespace {

// Every basis function of the curve at s, raised in place from degree 0 to
// `degree`: on return B[j] = bspline_basis(j, degree, t, s) for
// j = 0 .. count - 1 - degree, where count = n + k is the number of degree-0
// functions.  Each entry is formed with the recursion's own operations (the
// same operands, the same dropped terms), so the values are the same to the
// bit, at a cost linear in the degree instead of exponential.
void raise_basis(double* B, idx count, int32_t degree, const double* t, double s) {
    if (std::isinf(s)) {
        for (idx j = 0; j < count; ++j) B[j] = 0.0;
        return;
    }
    for (idx j = 0; j < count; ++j) B[j] = (s >= t[j] && s < t[j + 1]) ? 1.0 : 0.0;
    for (idx d = 1; d <= degree; ++d) {
        // Ascending j: B(j, d) needs B(j, d - 1) and B(j + 1, d - 1), the
        // latter not yet overwritten.
        for (idx j = 0; j < count - d; ++j) {
            double left = 0.0;
            if (t[j + d] != t[j]) left = ((s - t[j]) / (t[j + d] - t[j])) * B[j];
            double right = 0.0;
            if (t[j + d + 1] != t[j + 1])
                right = ((t[j + d + 1] - s) / (t[j + d + 1] - t[j + 1])) * B[j + 1];
            B[j] = right + left;
        }
    }
}

}  // namespace

double permeability_value(const Permeability& perm, double H) {
    if (perm.type_spec == 0 || perm.spl_H_min > H) return perm.spl_mu_H_min;
    const double s = std::log10(H);
    const idx n = perm.spl_num_coeffs;
    if (n <= 0) return 0.0;
    const int32_t k = perm.spl_k;
    std::vector<double> B(std::size_t(n + k));
    raise_basis(B.data(), n + k, k, perm.spl_t, s);
    double mu = 0.0;
    for (idx i = 0; i < n; ++i) mu = mu + B[std::size_t(i)] * perm.spl_c[i];
    return mu;
}

double permeability_derivative(const Permeability& perm, double H) {
    if (perm.type_spec == 0 || perm.spl_H_min > H) return 0.0;
    const double s = std::log10(H);
    const int32_t k = perm.spl_k;
    const idx n = perm.spl_num_coeffs;
    const double* t = perm.spl_t;
    const double* c = perm.spl_c;
    double D = 0.0;
    if (n <= 0) {
        // no coefficients: D stays 0
    } else if (k == 0) {
        for (idx i = 0; i < n; ++i) D = D + c[i] * 0.0;
    } else {
        // The degree k - 1 functions 0 .. n.
        std::vector<double> B(std::size_t(n + k));
        raise_basis(B.data(), n + k, k - 1, t, s);
        const double kd = double(k);
        for (idx i = 0; i < n; ++i) {
            double e = 0.0;
            if (t[i + k] != t[i]) e = B[std::size_t(i)] * (kd / (t[i + k] - t[i]));
            double g = 0.0;
            if (t[i + k + 1] != t[i + 1]) g = B[std::size_t(i) + 1] * (kd / (t[i + k + 1] - t[i + 1]));
            D = D + (e - g) * c[i];
        }
    }
    // Chain rule from log10 H to H.
    return D / (std::log(10.0) * H);
}

double piecewise_cubic_value(int32_t n, const double* spl_c, const double* spl_x, double s) {
    if (n == -1) return spl_c[0];
    double v = 0.0;
    // No early exit: with unsorted breakpoints every matching piece adds.
    for (int32_t p = 0; p < n; ++p) {
        if (s >= spl_x[p] && s < spl_x[p + 1]) {
            const double d = s - spl_x[p];
            v += libm_pow(d, 3) * spl_c[p];
            v += libm_pow(d, 2) * spl_c[n + p];
            v += libm_pow(d, 1) * spl_c[2 * idx(n) + p];
            v += libm_pow(d, 0) * spl_c[3 * idx(n) + p];
        }
    }
    if (s >= spl_x[n]) {
        // Extrapolate the last piece beyond the last breakpoint.
        const int32_t p = n - 1;
        const double d = s - spl_x[p];
        v += libm_pow(d, 3) * spl_c[p];
        v += libm_pow(d, 2) * spl_c[n + p];
        v += libm_pow(d, 1) * spl_c[2 * idx(n) + p];
        v += libm_pow(d, 0) * spl_c[3 * idx(n) + p];
    }
    return v;
}

double piecewise_cubic_derivative(int32_t n, const double* spl_c, const double* spl_x, double s) {
    if (n == -1) return 0.0;
    double v = 0.0;
    for (int32_t p = 0; p < n; ++p) {
        if (s >= spl_x[p] && s < spl_x[p + 1]) {
            const double d = s - spl_x[p];
            v += libm_pow(d, 2) * (3.0 * spl_c[p]);
            v += libm_pow(d, 1) * (2.0 * spl_c[n + p]);
            v += libm_pow(d, 0) * (1.0 * spl_c[2 * idx(n) + p]);
        }
    }
    if (s >= spl_x[n]) {
        const int32_t p = n - 1;
        const double d = s - spl_x[p];
        v += libm_pow(d, 2) * (3.0 * spl_c[p]);
        v += libm_pow(d, 1) * (2.0 * spl_c[n + p]);
        v += libm_pow(d, 0) * (1.0 * spl_c[2 * idx(n) + p]);
    }
    return v;
}

// ------------------------------------------------------ PermeabilityCurve

namespace {

// Knots (the n + k + 1 that the recursion reads) and coefficients for which
// no factor of the recursion can overflow at a finite s = log10 H
// (|s| < 324): |s - t| stays below ~1e150 and every nonzero knot gap is at
// least 1e-150 (a gap over several knots is at least one consecutive gap).
bool tame_bspline(const Permeability& perm) {
    const idx n = perm.spl_num_coeffs;
    const idx k = perm.spl_k;
    if (perm.type_spec == 0 || n <= 0 || k < 0) return false;
    const double* t = perm.spl_t;
    for (idx i = 0; i <= n + k; ++i)
        if (!(std::fabs(t[i]) <= 1e150)) return false;
    for (idx i = 0; i < n + k; ++i) {
        const double gap = t[i + 1] - t[i];
        if (!(gap >= 0.0) || (gap != 0.0 && gap < 1e-150)) return false;
    }
    for (idx i = 0; i < n; ++i)
        if (!std::isfinite(perm.spl_c[i])) return false;
    return true;
}

}  // namespace

PermeabilityCurve::PermeabilityCurve(const Permeability& perm)
    : perm_(perm), local_(tame_bspline(perm)), ln10_(std::log(10.0)), last_span_(-1) {
    if (!local_) return;
    const idx n = perm.spl_num_coeffs;
    const idx k = perm.spl_k;
    const double* t = perm.spl_t;
    table_.assign(std::size_t(k) + 2, 0.0);
    // The derivative's factors k / (t[i + k] - t[i]) depend on the knots only;
    // 0 marks a dropped term (equal knots).
    dfac_.assign(std::size_t(n) + 1, 0.0);
    const double kd = double(k);
    for (idx i = 0; i <= n && k > 0; ++i)
        if (t[i + k] != t[i]) dfac_[std::size_t(i)] = kd / (t[i + k] - t[i]);
}

namespace {

// Number of the len entries of the sorted a that are <= s (the index of the
// first entry > s); branch-free bisection.  s must not be NaN.
inline idx count_not_above(const double* a, idx len, double s) {
    const double* b = a;
    while (len > 1) {
        const idx half = len / 2;
        b = (b[half] <= s) ? b + half : b;
        len -= half;
    }
    return (b - a) + (*b <= s ? 1 : 0);
}

}  // namespace

void PermeabilityCurve::evaluate(double H, double& mu, double& dmu) {
    if (perm_.type_spec == 0 || perm_.spl_H_min > H) {
        mu = perm_.spl_mu_H_min;
        dmu = 0.0;
        return;
    }
    const double s = std::log10(H);
    if (!local_ || !std::isfinite(s)) {
        mu = permeability_value(perm_, H);
        dmu = permeability_derivative(perm_, H);
        return;
    }
    const idx n = perm_.spl_num_coeffs;
    const idx k = perm_.spl_k;
    const double* t = perm_.spl_t;
    const double* c = perm_.spl_c;

    // Knot span: t[span] <= s < t[span + 1] among the degree-0 functions
    // 0 .. n + k - 1; outside them every basis function is zero.  Points of
    // neighbouring elements mostly share the span of the previous call.
    idx span = last_span_;
    const idx last = n + k - 1;  // the last degree-0 function
    if (span >= 0 && !(t[span] <= s && s < t[span + 1])) {
        // A smooth field mostly moves to a neighbouring span.
        if (span < last && t[span + 1] <= s && s < t[span + 2])
            span = span + 1;
        else if (span > 0 && t[span - 1] <= s && s < t[span])
            span = span - 1;
        else
            span = -1;
        last_span_ = span;
    }
    if (span < 0) {
        const idx p = count_not_above(t, n + k + 1, s);
        if (p == 0 || p == n + k + 1) {
            mu = 0.0;
            dmu = 0.0 / (ln10_ * H);
            return;
        }
        span = p - 1;
        last_span_ = span;
    }
    // Common degrees away from the ends of the knot vector: the same
    // operations with the loops unrolled.
    if (span >= k && span <= n - 1) {
        switch (k) {
            case 1: return local_fixed<1>(span, s, H, mu, dmu);
            case 2: return local_fixed<2>(span, s, H, mu, dmu);
            case 3: return local_fixed<3>(span, s, H, mu, dmu);
            case 4: return local_fixed<4>(span, s, H, mu, dmu);
            case 5: return local_fixed<5>(span, s, H, mu, dmu);
            default: break;
        }
    }
    const idx lo = span - k;  // table_[r] holds B(lo + r, d, s), r = 0 .. k + 1
    double* B = table_.data();
    for (idx r = 0; r <= k + 1; ++r) B[r] = 0.0;
    B[k] = 1.0;

    // Raise the degree in place, ascending j: B(j, d) needs B(j, d - 1) and
    // B(j + 1, d - 1), the latter not yet overwritten.  Only the j that some
    // coefficient's recursion reaches are formed (0 <= j <= n - 1 + k - d).
    // B(span - d, d - 1) and B(span + 1, d - 1) are zero: their terms are
    // signed zeros in the recursion and are left out (a zero's sign cannot
    // reach the result).
    auto raise = [&](idx d) {
        const idx j_lo = std::max<idx>(0, span - d);
        const idx j_hi = std::min(span, n - 1 + k - d);
        for (idx j = j_lo; j <= j_hi; ++j) {
            double left = 0.0;
            if (j > span - d && t[j + d] != t[j])
                left = ((s - t[j]) / (t[j + d] - t[j])) * B[j - lo];
            double right = 0.0;
            if (j < span && t[j + d + 1] != t[j + 1])
                right = ((t[j + d + 1] - s) / (t[j + d + 1] - t[j + 1])) * B[j + 1 - lo];
            B[j - lo] = right + left;
        }
    };
    for (idx d = 1; d < k; ++d) raise(d);

    const idx i_lo = std::max<idx>(0, lo);
    const idx i_hi = std::min<idx>(n - 1, span);
    // Derivative from degree k - 1, for the functions around the span.
    double D = 0.0;
    if (k > 0) {
        for (idx i = i_lo; i <= i_hi; ++i) {
            const double e = i > lo ? B[i - lo] * dfac_[std::size_t(i)] : 0.0;
            const double g = i < span ? B[i + 1 - lo] * dfac_[std::size_t(i) + 1] : 0.0;
            D = D + (e - g) * c[i];
        }
        raise(k);
    }
    double v = 0.0;
    for (idx i = i_lo; i <= i_hi; ++i) v = v + B[i - lo] * c[i];
    mu = v;
    dmu = D / (ln10_ * H);
}

// The local evaluation for degree K with the whole window inside the curve
// (K <= span <= n - 1): every basis function and coefficient the general
// loop visits exists, so its bounds reduce to constants.
template <int K>
void PermeabilityCurve::local_fixed(idx span, double s, double H, double& mu, double& dmu) {
    const double* t = perm_.spl_t;
    const double* c = perm_.spl_c;
    const double* dfac = dfac_.data();
    const idx lo = span - K;
    // B[r] = B(lo + r, d, s) after degree d, for r = K - d .. K.
    double B[K + 1];
    for (int r = 0; r < K; ++r) B[r] = 0.0;
    B[K] = 1.0;
    auto raise = [&](int d) {
        for (int r = K - d; r <= K; ++r) {
            const idx j = lo + r;
            double left = 0.0;
            if (r > K - d && t[j + d] != t[j]) left = ((s - t[j]) / (t[j + d] - t[j])) * B[r];
            double right = 0.0;
            if (r < K && t[j + d + 1] != t[j + 1])
                right = ((t[j + d + 1] - s) / (t[j + d + 1] - t[j + 1])) * B[r + 1];
            B[r] = right + left;
        }
    };
    for (int d = 1; d < K; ++d) raise(d);
    double D = 0.0;
    for (int r = 0; r <= K; ++r) {
        const idx i = lo + r;
        const double e = r > 0 ? B[r] * dfac[i] : 0.0;
        const double g = r < K ? B[r + 1] * dfac[i + 1] : 0.0;
        D = D + (e - g) * c[i];
    }
    raise(K);
    double v = 0.0;
    for (int r = 0; r <= K; ++r) v = v + B[r] * c[lo + r];
    mu = v;
    dmu = D / (ln10_ * H);
}

// -------------------------------------------------------- ReluctanceCurve

ReluctanceCurve::ReluctanceCurve(const Reluctance& rel)
    : n_(rel.num_intervals), c_(rel.spl_c), x_(rel.spl_x), ascending_(rel.num_intervals >= 1) {
    for (idx p = 0; ascending_ && p < n_; ++p) ascending_ = x_[p] < x_[p + 1];
}

bool ReluctanceCurve::locate(double s, idx& p, double& d) const {
    if (s >= x_[n_]) {
        p = n_ - 1;
    } else if (s >= x_[0]) {
        p = count_not_above(x_, idx(n_) + 1, s) - 1;
    } else {
        return false;  // below the first breakpoint, or NaN
    }
    d = s - x_[p];
    return true;
}

double ReluctanceCurve::value(double s) const {
    if (n_ == -1) return c_[0];
    if (!ascending_) return piecewise_cubic_value(n_, c_, x_, s);
    double v = 0.0;
    idx p;
    double d;
    if (locate(s, p, d)) {
        const idx n = n_;
        double d2, d3;
        powers_2_3(d, d2, d3);
        v += d3 * c_[p];
        v += d2 * c_[n + p];
        v += pow_one(d) * c_[2 * n + p];
        v += pow_zero(d) * c_[3 * n + p];
    }
    return v;
}

void ReluctanceCurve::evaluate(double s, double& nu, double& dnu) const {
    if (n_ == -1) {
        nu = c_[0];
        dnu = 0.0;
        return;
    }
    if (!ascending_) {
        nu = piecewise_cubic_value(n_, c_, x_, s);
        dnu = piecewise_cubic_derivative(n_, c_, x_, s);
        return;
    }
    double v = 0.0, dv = 0.0;
    idx p;
    double d;
    if (locate(s, p, d)) {
        const idx n = n_;
        double d2, d3;
        powers_2_3(d, d2, d3);
        const double d1 = pow_one(d), d0 = pow_zero(d);
        v += d3 * c_[p];
        v += d2 * c_[n + p];
        v += d1 * c_[2 * n + p];
        v += d0 * c_[3 * n + p];
        dv += d2 * (3.0 * c_[p]);
        dv += d1 * (2.0 * c_[n + p]);
        dv += d0 * (1.0 * c_[2 * n + p]);
    }
    nu = v;
    dnu = dv;
}

}  // namespace fluxkern
