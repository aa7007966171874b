// B = curl A and the physical coordinates at fixed evaluation positions of
// every element, from an H(curl) solution vector.  A pure evaluation pass.
#include <cstddef>
#include <vector>

#include "kernels.hpp"

namespace fluxkern {

using idx = std::ptrdiff_t;

void compute_B_Hcurl_kernel(double* points, double* B, int32_t num_el_dofs,
                            const int32_t* glob_ids, const Mesh& mesh, const Quadrature& quad,
                            const double* curls, const double* phi, const double* d_phi,
                            const int32_t* orientations, const double* x) {
    const idx E = mesh.num_el;
    const idx N = mesh.el_nodes;
    const idx M = quad.num_points;
    const idx D = num_el_dofs;

    std::vector<double> J(9 * M), J_inv(9 * M), det_J(M), init(3 * M);

    for (idx e = 0; e < E; ++e) {
        const int32_t* conn = mesh.cells + e * N;
        compute_jacobians(J.data(), conn, mesh, int32_t(M), d_phi);
        invert_jacobians(det_J.data(), J_inv.data(), J.data(), int32_t(M));
        map_to_physical(points + 3 * M * e, conn, int32_t(M), int32_t(N), phi, mesh.nodes);
        compute_curl_field(B + 3 * M * e, init.data(), int32_t(M), int32_t(D), glob_ids + e * D,
                           x, curls + 3 * M * D * idx(orientations[e]), J.data(), det_J.data());
    }
}

}  // namespace fluxkern
