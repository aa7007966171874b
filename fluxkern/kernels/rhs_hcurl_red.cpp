// Reduced right-hand side rhs_j += int (nu0 - nu(|B|)) B_s . curl phi_j with
// B = B_s + curl x.  The additions are those of the source variant of the
// curl-curl kernel, in the same order, so both give the same rhs bit for bit.
#include <cstddef>
#include <vector>

#include "kernels.hpp"

namespace fluxkern {

using idx = std::ptrdiff_t;

namespace {

constexpr double kNu0 = 795774.7154594767;  // 1 / mu0, vacuum reluctivity

}  // namespace

void compute_rhs_Hcurl_red_kernel(double* rhs, const int32_t* glob_ids, const Reluctance& rel,
                                  const Mesh& mesh, const Quadrature& quad, const double* curls,
                                  const double* d_phi, const int32_t* orientations,
                                  const double* B_s, const double* x, int32_t n32) {
    const idx E = mesh.num_el;
    const idx N = mesh.el_nodes;
    const idx M = quad.num_points;
    const idx n = n32;
    const double* w = quad.weights;

    std::vector<double> J(9 * M), J_inv(9 * M), det_J(M), B(3 * M), Bmag(M), nu(M);
    const ReluctanceCurve curve(rel);

    for (idx e = 0; e < E; ++e) {
        compute_jacobians(J.data(), mesh.cells + e * N, mesh, int32_t(M), d_phi);
        invert_jacobians(det_J.data(), J_inv.data(), J.data(), int32_t(M));
        const double* C = curls + n * idx(orientations[e]) * M * 3;
        const int32_t* ids = glob_ids + e * n;
        const double* S_e = B_s + 3 * M * e;
        compute_curl_field(B.data(), S_e, int32_t(M), int32_t(n), ids, x, C, J.data(),
                           det_J.data());
        compute_norms(Bmag.data(), B.data(), int32_t(M));
        for (idx m = 0; m < M; ++m) nu[m] = curve.value(Bmag[m]);

        for (idx j = 0; j < n; ++j) {
            double& r_j = rhs[ids[j]];
            for (idx m = 0; m < M; ++m) {
                const double* Jm = J.data() + 9 * m;
                const double* c = C + 3 * (m * n + j);
                const double* S = S_e + 3 * m;
                // Mapped curl before the division by the determinant: the
                // Piola factor 1/det and the volume factor det cancel.
                double v[3];
                for (idx r = 0; r < 3; ++r)
                    v[r] = (Jm[3 * r] * c[0] + Jm[3 * r + 1] * c[1]) + Jm[3 * r + 2] * c[2];
                const double vS = (v[0] * S[0] + v[1] * S[1]) + v[2] * S[2];
                r_j = r_j + (vS * (kNu0 - nu[m])) * w[m];
            }
        }
    }
}

}  // namespace fluxkern
