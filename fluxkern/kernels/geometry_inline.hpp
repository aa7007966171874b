// The bodies of the element-geometry routines, for inlining into element
// loops.  geometry.cpp defines the declared routines with them; a kernel
// that knows its node count at compile time passes it as a Count so that
// the small loops unroll.  Either way every sum runs in the documented
// order from zero, so the values are the same.
#pragma once

#include <cmath>
#include <cstdint>

#include "kernel_common.hpp"

namespace fluxkern::geometry {

// J[m][k][l] = sum over local nodes a of d_phi[m][a][l] * X_a[k].
template <class Nn>
FLUXKERN_INLINE void jacobians(double* J, const int32_t* conn, const double* nodes,
                               Nn N, idx M, const double* d_phi) {
    for (idx m = 0; m < M; ++m) {
        // The nine sums of a point stay in registers.
        double s[9] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
        for (idx a = 0; a < idx(N); ++a) {
            const double* X = nodes + 3 * idx(conn[a]);
            const double* d = d_phi + 3 * (m * idx(N) + a);
            for (idx k = 0; k < 3; ++k)
                for (idx l = 0; l < 3; ++l) s[3 * k + l] += d[l] * X[k];
        }
        for (idx q = 0; q < 9; ++q) J[9 * m + q] = s[q];
    }
}

// Cofactor expansion along the first row; the sign is kept.
FLUXKERN_INLINE double determinant(const double* a) {
    const double g = a[4] * a[8] - a[7] * a[5];
    return g * a[0] - (a[3] * a[8] - a[6] * a[5]) * a[1] + (a[3] * a[7] - a[4] * a[6]) * a[2];
}

inline void invert(double* det_J, double* J_inv, const double* J, idx M) {
    for (idx m = 0; m < M; ++m) {
        const double* a = J + 9 * m;
        double* r = J_inv + 9 * m;
        const double det = determinant(a);
        const double h = 1.0 / det;
        r[0] = (a[4] * a[8] - a[7] * a[5]) * h;
        r[1] = (a[2] * a[7] - a[8] * a[1]) * h;
        r[2] = (a[1] * a[5] - a[4] * a[2]) * h;
        r[3] = (a[6] * a[5] - a[8] * a[3]) * h;
        r[4] = (a[8] * a[0] - a[6] * a[2]) * h;
        r[5] = (a[3] * a[2] - a[0] * a[5]) * h;
        r[6] = (a[3] * a[7] - a[6] * a[4]) * h;
        r[7] = (a[6] * a[1] - a[0] * a[7]) * h;
        r[8] = (a[0] * a[4] - a[1] * a[3]) * h;
        det_J[m] = det;
    }
}

// Component k of the physical gradient J^-T g of the reference gradient g
// (the chain rule), C the inverse Jacobian.
FLUXKERN_INLINE double mapped_gradient(const double* C, const double* g, idx k) {
    return (g[0] * C[k] + g[1] * C[3 + k]) + g[2] * C[6 + k];
}

template <class Nn>
inline void grad_field(double* grad, const int32_t* conn, idx M, Nn N, const double* d_phi,
                       const double* x, const double* J_inv) {
    for (idx m = 0; m < M; ++m) {
        double g[3] = {0.0, 0.0, 0.0};
        for (idx a = 0; a < idx(N); ++a) {
            const double xa = x[conn[a]];
            const double* d = d_phi + 3 * (m * idx(N) + a);
            for (idx l = 0; l < 3; ++l) g[l] += xa * d[l];
        }
        for (idx k = 0; k < 3; ++k) grad[3 * m + k] = mapped_gradient(J_inv + 9 * m, g, k);
    }
}

// Row r of the mapped curl J c (J's row Jr): the contravariant Piola map
// before the division by the determinant.
FLUXKERN_INLINE double mapped_curl(const double* Jr, const double* c) { return dot3(Jr, c); }

// The term of a basis function in the physical curl of a field: its mapped
// curl t scaled by its coefficient s, then divided by the signed
// determinant.  T is a double or a vector of doubles (one point per lane).
template <class T>
FLUXKERN_INLINE T curl_term(T t, double s, T det) {
    return (t * s) / det;
}

inline void norms(double* out, const double* v, idx count) {
    for (idx i = 0; i < count; ++i) {
        const double* p = v + 3 * i;
        out[i] = std::sqrt((p[0] * p[0] + p[1] * p[1]) + p[2] * p[2]);
    }
}

}  // namespace fluxkern::geometry
