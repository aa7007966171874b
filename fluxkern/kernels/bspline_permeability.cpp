// The B-spline permeability over log10 H and its derivative: the plain
// routines and the curve of the element loops, over one evaluation of the
// Cox-de Boor recursion.
//
// The definition evaluates each basis function by the recursion directly.
// Here all of them are raised together, degree by degree, in a table: each
// entry is formed with the recursion's own operations (the same operands,
// the same dropped terms), so the values are the same to the bit at a cost
// linear in the degree.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

#include "kernel_common.hpp"
#include "kernels.hpp"
#include "material_curves.hpp"

namespace fluxkern {

namespace {

// The degree-0 functions that may differ from zero at s: first .. last
// (B(j, 0, s) is 1 on [t[j], t[j + 1]) and 0 elsewhere); an empty range when
// none can.  A function of degree d can then differ from zero only for
// first - d <= j <= last.  `blank`: s is infinite and lies outside every
// knot span, so every function is zero (the recursion would form inf * 0).
struct Window {
    idx first, last;
    bool blank = false;
};

// How much is known of the functions of a window: nothing (the definition's
// evaluation, any data); that the data are tame (see PermeabilityCurve), so
// that a zero function stays a finite signed zero through every product;
// and, in addition, that the window is one knot span inside the curve
// (k <= span <= n - 1), so that its bounds need no clamping and, with a
// compile-time degree, the loops unroll.
enum class Known { nothing, tame, interior };

// One degree of the recursion, in place, for every j the window reaches:
//   B(j, d) = ((t[j+d+1] - s) / (t[j+d+1] - t[j+1])) B(j+1, d-1)
//           + ((s - t[j]) / (t[j+d] - t[j])) B(j, d-1).
// A term over a zero-width knot interval is dropped unevaluated, as the
// definition drops it; so is a term whose lower-degree function lies
// outside the window (a signed zero, whose sign cannot reach a sum that
// starts at +0).  Ascending j: B(j + 1, d - 1) is not yet overwritten.
// The table holds B(j, ., s) at table[j - first + k]; the loops count from
// the lowest function reached, j = first - d + r, so that for an interior
// window of a compile-time degree every bound, test and offset is a
// constant.
template <Known kKnown>
FLUXKERN_INLINE void raise_degree(double* table, idx k, const double* t, double s, idx d,
                                  const Window& w, idx end) {
    constexpr bool kClamp = kKnown != Known::interior;
    const idx lo = w.first - d;
    const idx width = (kKnown == Known::interior ? 0 : w.last - w.first) + d;  // r <= width
    const idx r_lo = kClamp ? std::max<idx>(0, -lo) : 0;
    const idx r_hi = kClamp ? std::min(w.last, end - d) - lo : width;
    double* B = table + (k - d);  // B[r] = B(lo + r, .)
    const double* tl = t + lo;    // tl[r] = t[lo + r]
#pragma GCC unroll 8
    for (idx r = r_lo; r <= r_hi; ++r) {
        double left = 0.0;
        if (r > 0 && tl[r + d] != tl[r]) left = ((s - tl[r]) / (tl[r + d] - tl[r])) * B[r];
        double right = 0.0;
        if (r < width && tl[r + d + 1] != tl[r + 1])
            right = ((tl[r + d + 1] - s) / (tl[r + d + 1] - tl[r + 1])) * B[r + 1];
        B[r] = right + left;
    }
}

// The spline and its derivative in s at s, from the functions of the
// window: the table is raised to degree k - 1, which gives the derivative
// D = sum_i (e_i - g_i) c_i with e_i = B(i, k-1) f_i and
// g_i = B(i+1, k-1) f_(i+1), f_i = k / (t[i+k] - t[i]) the `factors`
// (a term over equal knots dropped, or, with tame data, multiplied by a
// factor 0 to a signed zero), then to degree k, which gives the value
// sum_i B(i, k) c_i.  Sums run in coefficient order from zero.  `table`
// holds last - first + k + 2 entries.
template <Known kKnown, class Degree>
FLUXKERN_INLINE void spline_at(double* table, const Permeability& perm, const double* factors,
                               Degree degree, double s, const Window& w, double& value,
                               double& slope) {
    constexpr bool kClamp = kKnown != Known::interior;
    constexpr bool kDrop = kKnown == Known::nothing;
    const idx k = idx(degree), n = perm.spl_num_coeffs, end = n + k - 1;
    const double* t = perm.spl_t;
    const idx lo = w.first - k;  // the lowest function reached, at table[0]
    // Each degree reads only what the one below wrote; with tame data the
    // window is the knot span of s, whose degree-0 function is 1.
    if (w.blank)
        for (idx r = 0; r <= w.last + 1 - lo; ++r) table[r] = 0.0;
    else
        for (idx j = w.first; j <= w.last; ++j)
            table[j - lo] = kDrop ? ((s >= t[j] && s < t[j + 1]) ? 1.0 : 0.0) : 1.0;
#pragma GCC unroll 8
    for (idx d = 1; d < k; ++d)
        if (!w.blank) raise_degree<kKnown>(table, k, t, s, d, w, end);

    const idx width = (kKnown == Known::interior ? 0 : w.last - w.first) + k;  // i = lo + r
    const idx r_lo = kClamp ? std::max<idx>(0, -lo) : 0;
    const idx r_hi = kClamp ? std::min(n - 1, w.last) - lo : width;
    const double* B = table;
    const double* c = perm.spl_c + lo;
    const double* f = factors + lo;
    const double* tl = t + lo;
    double D = 0.0;
#pragma GCC unroll 8
    for (idx r = r_lo; r <= r_hi; ++r) {
        if (k == 0) {
            D = D + c[r] * 0.0;
            continue;
        }
        double e = 0.0;
        if (r > 0 && (!kDrop || tl[r + k] != tl[r])) e = B[r] * f[r];
        double g = 0.0;
        if (r < width && (!kDrop || tl[r + k + 1] != tl[r + 1])) g = B[r + 1] * f[r + 1];
        D = D + (e - g) * c[r];
    }
    if (k > 0 && !w.blank) raise_degree<kKnown>(table, k, t, s, k, w, end);
    double v = 0.0;
    for (idx r = r_lo; r <= r_hi; ++r) v = v + B[r] * c[r];
    value = v;
    slope = D;
}

// k / (t[i + k] - t[i]) for i = 0 .. n, where the knots differ (0 where
// they are equal: the term is dropped).
std::vector<double> derivative_factors(const Permeability& perm) {
    const idx n = perm.spl_num_coeffs, k = perm.spl_k;
    const double* t = perm.spl_t;
    std::vector<double> f(std::size_t(n) + 1, 0.0);
    for (idx i = 0; i <= n && k > 0; ++i)
        if (t[i + k] != t[i]) f[std::size_t(i)] = double(k) / (t[i + k] - t[i]);
    return f;
}

// The curve as the definition evaluates it, every basis function formed:
// the value and the derivative with respect to s = log10 H.
void literal_spline(const Permeability& perm, double s, double& value, double& slope) {
    const idx n = perm.spl_num_coeffs, k = perm.spl_k;
    if (n <= 0) {
        value = slope = 0.0;
        return;
    }
    std::vector<double> table(std::size_t(n + 2 * k + 1));
    spline_at<Known::nothing>(table.data(), perm, derivative_factors(perm).data(), k, s,
                              Window{0, n + k - 1, std::isinf(s)}, value, slope);
}

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

// ------------------------------------------------------ PermeabilityCurve

PermeabilityCurve::PermeabilityCurve(const Permeability& perm)
    : perm_(perm), local_(tame_bspline(perm)), ln10_(std::log(10.0)), last_span_(-1) {
    if (!local_) return;
    table_.assign(std::size_t(perm.spl_k) + 2, 0.0);
    dfac_ = derivative_factors(perm);  // they depend on the knots only
}

// The knot span t[span] <= s < t[span + 1] among the degree-0 functions
// 0 .. n + k - 1; -1 below them, n + k above them.  Points of neighbouring
// elements mostly share the span of the previous call, or move to the next.
FLUXKERN_INLINE idx PermeabilityCurve::find_span(double s) {
    const double* t = perm_.spl_t;
    const idx last = idx(perm_.spl_num_coeffs) + perm_.spl_k - 1;  // the last degree-0 function
    idx span = last_span_;
    if (span >= 0 && !(t[span] <= s && s < t[span + 1])) {
        if (span < last && t[span + 1] <= s && s < t[span + 2])
            span = span + 1;
        else if (span > 0 && t[span - 1] <= s && s < t[span])
            span = span - 1;
        else
            span = -1;
    }
    if (span < 0) span = count_not_above(t, last + 2, s) - 1;
    last_span_ = span <= last ? span : -1;
    return span;
}

void PermeabilityCurve::evaluate(double H, double& mu, double& dmu) {
    if (perm_.type_spec == 0 || perm_.spl_H_min > H) {
        mu = perm_.spl_mu_H_min;
        dmu = 0.0;
        return;
    }
    const double s = std::log10(H);
    double slope;
    if (!local_ || !std::isfinite(s)) {
        literal_spline(perm_, s, mu, slope);
    } else {
        const idx n = perm_.spl_num_coeffs, k = perm_.spl_k;
        const idx span = find_span(s);
        // Common degrees away from the ends of the knot vector get loops of
        // fixed length over a table in registers (2.5 % of the scalar
        // kernel on linear elements).
        auto interior = [&](auto degree) {
            double table[decltype(degree)::value + 2];
            spline_at<Known::interior>(table, perm_, dfac_.data(), degree, s, Window{span, span},
                                       mu, slope);
        };
        switch (span >= k && span <= n - 1 ? k : 0) {
            case 1: interior(Count<1>{}); break;
            case 2: interior(Count<2>{}); break;
            case 3: interior(Count<3>{}); break;
            case 4: interior(Count<4>{}); break;
            case 5: interior(Count<5>{}); break;
            default: {
                // Outside the knots the window is empty and every function zero.
                const bool outside = span < 0 || span >= n + k;
                spline_at<Known::tame>(table_.data(), perm_, dfac_.data(), k, s,
                                       outside ? Window{span + 1, span} : Window{span, span},
                                       mu, slope);
            }
        }
    }
    dmu = slope / (ln10_ * H);
}

}  // namespace fluxkern
