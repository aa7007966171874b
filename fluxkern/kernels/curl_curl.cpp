// Curl-curl stiffness K = int nu(|B|) curl phi_j . curl phi_l and Newton term
// dK = int nu'(|B|) / |B| (B . curl phi_j)(B . curl phi_l), without and with
// a source flux density; the source variant adds B_s to the field and
// accumulates the reduced right-hand side.  One element loop serves both
// (curl_loop.hpp).
#include "curl_loop.hpp"
#include "kernels.hpp"

namespace fluxkern {

void compute_stiffness_and_jacobi_matrix_curl_curl_kernel(
    TripletList& K, TripletList& dK, const int32_t* glob_ids, const Reluctance& rel,
    const Mesh& mesh, const Quadrature& quad, const double* curls, const double* d_phi,
    const int32_t* orientations, const double* x) {
    if (mesh.num_el <= 0) return;
    const curl::CurlInputs in{glob_ids, rel, mesh, quad, curls, d_phi, orientations, x, nullptr};
    curl::run<curl::Produce::lists>(&K, &dK, nullptr, in,
                                    local_function_count(K.num_triplets, mesh.num_el));
}

void compute_stiffness_and_jacobi_matrix_curl_curl_source_kernel(
    TripletList& K, TripletList& dK, double* rhs, const int32_t* glob_ids,
    const Reluctance& rel, const Mesh& mesh, const Quadrature& quad, const double* curls,
    const double* d_phi, const int32_t* orientations, const double* x, const double* B_s) {
    if (mesh.num_el <= 0) return;
    const curl::CurlInputs in{glob_ids, rel, mesh, quad, curls, d_phi, orientations, x, B_s};
    curl::run<curl::Produce::lists_and_rhs>(&K, &dK, rhs, in,
                                            local_function_count(K.num_triplets, mesh.num_el));
}

}  // namespace fluxkern
