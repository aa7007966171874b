// Element geometry at the points of one element: Jacobians, their signed
// determinants and inverses, physical points, mapped gradients and
// Piola-mapped curls.  Every sum runs in the documented order from zero, so
// the kernels that build on these routines are reproducible to the bit.
#include <cmath>
#include <cstddef>

#include "kernels.hpp"

namespace fluxkern {

using idx = std::ptrdiff_t;

void compute_jacobians(double* J, const int32_t* conn, const Mesh& mesh, int32_t M,
                       const double* d_phi) {
    const idx N = mesh.el_nodes;
    // Each entry sums its node terms d_phi[m][a][l] * X_a[k] in node order
    // from zero; the nine sums of a point are kept in registers.
    for (idx m = 0; m < M; ++m) {
        double s[9] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
        for (idx a = 0; a < N; ++a) {
            const double* X = mesh.nodes + 3 * idx(conn[a]);
            const double* d = d_phi + 3 * (m * N + a);
            for (idx k = 0; k < 3; ++k)
                for (idx l = 0; l < 3; ++l) s[3 * k + l] += d[l] * X[k];
        }
        for (idx q = 0; q < 9; ++q) J[9 * m + q] = s[q];
    }
}

void invert_jacobians(double* det_J, double* J_inv, const double* J, int32_t M) {
    for (idx m = 0; m < M; ++m) {
        const double* a = J + 9 * m;
        double* r = J_inv + 9 * m;
        const double g = a[4] * a[8] - a[7] * a[5];
        // Cofactor expansion along the first row; the sign is kept.
        const double det = g * a[0] - (a[3] * a[8] - a[6] * a[5]) * a[1] +
                           (a[3] * a[7] - a[4] * a[6]) * a[2];
        const double h = 1.0 / det;
        r[0] = g * h;
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

void map_to_physical(double* points, const int32_t* conn, int32_t M, int32_t N,
                     const double* phi, const double* nodes) {
    for (idx m = 0; m < M; ++m) {
        double* p = points + 3 * m;
        p[0] = 0.0;
        p[1] = 0.0;
        p[2] = 0.0;
        for (idx a = 0; a < N; ++a) {
            const double* X = nodes + 3 * idx(conn[a]);
            const double f = phi[m * N + a];
            for (idx k = 0; k < 3; ++k) p[k] += X[k] * f;
        }
    }
}

void compute_grad_field(double* grad, const int32_t* conn, int32_t M, int32_t N,
                        const double* d_phi, const double* x, const double* J_inv) {
    for (idx q = 0; q < 3 * idx(M); ++q) grad[q] = 0.0;
    for (idx m = 0; m < M; ++m) {
        double* g = grad + 3 * m;
        for (idx a = 0; a < N; ++a) {
            const double xa = x[conn[a]];
            const double* d = d_phi + 3 * (m * N + a);
            for (idx l = 0; l < 3; ++l) g[l] += xa * d[l];
        }
    }
    // Chain rule: the physical gradient is J^-T times the reference one.
    for (idx m = 0; m < M; ++m) {
        double* g = grad + 3 * m;
        const double* C = J_inv + 9 * m;
        const double g0 = g[0], g1 = g[1], g2 = g[2];
        for (idx k = 0; k < 3; ++k) g[k] = (g0 * C[k] + g1 * C[3 + k]) + g2 * C[6 + k];
    }
}

void compute_curl_field(double* curl, const double* init, int32_t M, int32_t n,
                        const int32_t* ids, const double* x, const double* curls,
                        const double* J, const double* det_J) {
    for (idx m = 0; m < M; ++m) {
        double* out = curl + 3 * m;
        const double* Jm = J + 9 * m;
        const double det = det_J[m];
        out[0] = init[3 * m];
        out[1] = init[3 * m + 1];
        out[2] = init[3 * m + 2];
        for (idx b = 0; b < n; ++b) {
            const double* c = curls + 3 * (m * idx(n) + b);
            const double s = x[ids[b]];
            for (idx r = 0; r < 3; ++r) {
                const double t = (Jm[3 * r] * c[0] + Jm[3 * r + 1] * c[1]) + Jm[3 * r + 2] * c[2];
                // Scale, then divide by the signed determinant, term by term.
                out[r] += (t * s) / det;
            }
        }
    }
}

void compute_norms(double* norms, const double* v, int32_t count) {
    for (idx i = 0; i < count; ++i) {
        const double* p = v + 3 * i;
        norms[i] = std::sqrt((p[0] * p[0] + p[1] * p[1]) + p[2] * p[2]);
    }
}

}  // namespace fluxkern
