// Reduced right-hand side rhs_j += int (nu0 - nu(|B|)) B_s . curl phi_j with
// B = B_s + curl x.  The element loop and the additions are those of the
// source variant of the curl-curl kernel, so both give the same rhs bit for
// bit.
#include "curl_loop.hpp"
#include "kernels.hpp"

namespace fluxkern {

void compute_rhs_Hcurl_red_kernel(double* rhs, const int32_t* glob_ids, const Reluctance& rel,
                                  const Mesh& mesh, const Quadrature& quad, const double* curls,
                                  const double* d_phi, const int32_t* orientations,
                                  const double* B_s, const double* x, int32_t n) {
    const curl::CurlInputs in{glob_ids, rel, mesh, quad, curls, d_phi, orientations, x, B_s};
    curl::run<curl::Produce::rhs>(nullptr, nullptr, rhs, in, n);
}

}  // namespace fluxkern
