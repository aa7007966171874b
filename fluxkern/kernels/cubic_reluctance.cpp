// The piecewise cubic reluctance over |B| and its derivative: the plain
// routines and the curve of the element loops, over one evaluation of a
// piece.
#include <cmath>
#include <cstddef>

#include "kernel_common.hpp"
#include "kernels.hpp"
#include "material_curves.hpp"

namespace fluxkern {

namespace {

// The cubic's powers are the C library's pow values.  The exponents are
// read from volatile storage because the compiler would otherwise turn
// pow(d, 2.0) into d * d; glibc's pow is not correctly rounded, so d * d
// differs from it in the last bit now and then.
const volatile double kExponent[4] = {0.0, 1.0, 2.0, 3.0};

inline double libm_pow(double d, int e) { return std::pow(d, kExponent[e]); }

// pow(d, 2.0) and pow(d, 3.0) where their value is certain without the
// call (they cost about 20 ns each, and the kernels need them at every
// point: the curl-curl kernel runs 18 % faster without the calls).  The exact power is formed as a double p plus a remainder r
// (Dekker's exact product; no fused operation, so every step is an
// ordinary rounding).  When |r| is at most 0.47 units in the last place of
// p, any approximation within 0.03 units of the exact power rounds to p.
// glibc's pow (2.28 and later) is such an approximation for
// 2^-64 <= |d| <= 2^64: its exp step errs by at most 0.009 units before the
// final rounding, its log step by a relative 1.3 * 2^-68, which
// |y log d| <= 134 scales to below 0.006 units.  (pow differs from the
// correctly rounded power in about one input in a thousand.)  Other C
// libraries, and other d, keep the call.  A test checks the claim against
// the host's math.pow over many arguments.
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

// pow(d, e) for e = 0 .. 3, bit for bit.
struct Powers {
    double p0, p1, p2, p3;
};

inline Powers powers_of(double d) {
    Powers P;
    // pow(d, 0.0) is 1 for every d that arithmetic can produce (a signalling
    // NaN cannot arise), and pow(d, 1.0) is d itself, glibc's pow being
    // accurate to well under a unit in the last place, except that it may
    // give a NaN the other sign.
    P.p0 = 1.0;
    P.p1 = d == d ? d : libm_pow(d, 1);
    const double a = std::fabs(d);
    // Also keeps every partial product and remainder normal, and sends zero,
    // NaN and infinities to the call.
    if (!kCertainPowers || !(a >= 0x1p-64 && a <= 0x1p64)) {
        P.p2 = libm_pow(d, 2);
        P.p3 = libm_pow(d, 3);
        return P;
    }
    const double p2 = d * d;
    const double e2 = product_error(d, d, p2);  // d^2 = p2 + e2 exactly
    P.p2 = certain(p2, e2) ? p2 : libm_pow(d, 2);
    // d^3 = p3 + t up to a relative 2^-100; p3 may be a unit off the
    // nearest double, so the candidate is q = p3 + t with remainder r.
    const double p3 = p2 * d;
    const double t = product_error(p2, d, p3) + e2 * d;
    const double q = p3 + t;
    const double r = (p3 - q) + t;
    P.p3 = certain(q, r) ? q : libm_pow(d, 3);
    return P;
}

// Adds piece p of the n pieces at the offset d: to the value the terms of
// the powers 3, 2, 1, 0 in that order, to the derivative those of the
// powers 2, 1, 0 (the integer factor times the coefficient first).
FLUXKERN_INLINE void add_piece(const double* c, idx n, idx p, double d, double& v, double& dv) {
    const Powers P = powers_of(d);
    v += P.p3 * c[p];
    v += P.p2 * c[n + p];
    v += P.p1 * c[2 * n + p];
    v += P.p0 * c[3 * n + p];
    dv += P.p2 * (3.0 * c[p]);
    dv += P.p1 * (2.0 * c[n + p]);
    dv += P.p0 * (1.0 * c[2 * n + p]);
}

// Every piece that holds s, as the definition tests them (no early exit:
// with unsorted breakpoints each matching piece adds), then the last piece
// extended beyond the last breakpoint.  n >= 1.
void scan_pieces(idx n, const double* c, const double* x, double s, double& value,
                 double& slope) {
    double v = 0.0, dv = 0.0;
    for (idx p = 0; p < n; ++p)
        if (s >= x[p] && s < x[p + 1]) add_piece(c, n, p, s - x[p], v, dv);
    if (s >= x[n]) add_piece(c, n, n - 1, s - x[n - 1], v, dv);
    value = v;
    slope = dv;
}

}  // namespace

// -------------------------------------------------------- ReluctanceCurve

ReluctanceCurve::ReluctanceCurve(const Reluctance& rel)
    : n_(rel.num_intervals), c_(rel.spl_c), x_(rel.spl_x), ascending_(rel.num_intervals >= 1) {
    for (idx p = 0; ascending_ && p < n_; ++p) ascending_ = x_[p] < x_[p + 1];
}

void ReluctanceCurve::evaluate(double s, double& nu, double& dnu) const {
    if (n_ == -1) {
        nu = c_[0];
        dnu = 0.0;
        return;
    }
    if (!ascending_) return scan_pieces(n_, c_, x_, s, nu, dnu);
    // The one piece that holds s, or the last one beyond the last
    // breakpoint; none below the first breakpoint (or for NaN).
    double v = 0.0, dv = 0.0;
    idx p = -1;
    if (s >= x_[n_])
        p = n_ - 1;
    else if (s >= x_[0])
        p = count_not_above(x_, idx(n_) + 1, s) - 1;
    if (p >= 0) add_piece(c_, n_, p, s - x_[p], v, dv);
    nu = v;
    dnu = dv;
}

}  // namespace fluxkern
