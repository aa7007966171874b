// Element geometry at the points of one element: Jacobians, their signed
// determinants and inverses, physical points, mapped gradients and
// Piola-mapped curls.  Every sum runs in the documented order from zero, so
// the kernels that build on these routines are reproducible to the bit.
#include <cmath>
#include <cstddef>

#include "geometry_inline.hpp"
#include "kernels.hpp"

namespace fluxkern {

void compute_jacobians(double* J, const int32_t* conn, const Mesh& mesh, int32_t M,
                       const double* d_phi) {
    geometry::jacobians(J, conn, mesh.nodes, idx(mesh.el_nodes), M, d_phi);
}

void invert_jacobians(double* det_J, double* J_inv, const double* J, int32_t M) {
    geometry::invert(det_J, J_inv, J, M);
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
            for (idx r = 0; r < 3; ++r)
                out[r] += geometry::curl_term(geometry::mapped_curl(Jm + 3 * r, c), s, det);
        }
    }
}

}  // namespace fluxkern
