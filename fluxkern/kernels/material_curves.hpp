// The material curves as the element loops evaluate them.  The curves are
// exactly as defined: the B-spline over every coefficient, each basis
// function formed by the Cox-de Boor recursion with half-open supports, a
// term over a zero-width knot interval dropped unevaluated, an infinite
// abscissa outside every span; the cubic on the pieces that hold s, the last
// one extended beyond the last breakpoint, powers from pow.  Once per call
// the records are examined for what allows a faster evaluation, then every
// point gets exactly the values of that plain evaluation (the same
// operations on every value that can reach the result); only work that
// cannot change them is skipped.
#pragma once

#include <cstddef>
#include <vector>

#include "kernels.hpp"

namespace fluxkern {

// The permeability and its derivative (chain rule from log10 H to H).  With "tame" data (finite knots of moderate size,
// non-decreasing, no tiny nonzero gaps; finite coefficients) and a finite
// log10 H, every basis function whose support misses s evaluates to a
// signed zero, so only the spl_k + 1 functions of the knot span of s are
// formed.  Otherwise every function is, as the definition forms it.
class PermeabilityCurve {
public:
    explicit PermeabilityCurve(const Permeability& perm);
    void evaluate(double H, double& mu, double& dmu);

private:
    std::ptrdiff_t find_span(double s);

    const Permeability& perm_;
    bool local_;
    double ln10_;
    std::ptrdiff_t last_span_;   // knot span of the previous local evaluation
    std::vector<double> table_;  // the Cox-de Boor table of the span
    std::vector<double> dfac_;   // k / (t[i + k] - t[i])
};

// The reluctance and its derivative.  With strictly ascending breakpoints at most
// one piece contains s, found by bisection; otherwise every piece is tested.
class ReluctanceCurve {
public:
    explicit ReluctanceCurve(const Reluctance& rel);
    void evaluate(double s, double& nu, double& dnu) const;

private:
    int32_t n_;
    const double* c_;
    const double* x_;
    bool ascending_;
};

// The number of the len entries of the sorted a that are <= s (the index of
// the first entry > s); branch-free bisection.  s must not be NaN.
inline std::ptrdiff_t count_not_above(const double* a, std::ptrdiff_t len, double s) {
    const double* b = a;
    while (len > 1) {
        const std::ptrdiff_t half = len / 2;
        b = (b[half] <= s) ? b + half : b;
        len -= half;
    }
    return (b - a) + (*b <= s ? 1 : 0);
}

}  // namespace fluxkern
