// The computational core of fluxkern: records, element geometry, material
// curves and the assembly and field kernels.
//
// Nothing here knows the host interpreter.  Kernels take plain records and
// raw contiguous buffers, write their outputs (always the first parameters)
// and report nothing: every index and length they use has been checked by
// the caller.  Work storage is std::vector, so the only exception a kernel
// can raise is std::bad_alloc, which the caller turns into a host error.
//
// Floating-point expressions are written in the order and grouping that
// define the results bit for bit; the build disables contraction into fused
// multiply-adds.  Do not "simplify" them.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>

namespace fluxkern {

// ---------------------------------------------------------------- records
//
// All integers are 32-bit signed, all reals IEEE doubles, all arrays
// contiguous and row-major.  Records never own the arrays they point to.

// A mesh: `num_nodes` nodes with 3 coordinates each (`nodes[3 * v + k]`), and
// `num_el` elements of `el_nodes` nodes each (`cells[e * el_nodes + a]`).
struct Mesh {
    int32_t num_nodes;
    int32_t num_el;
    int32_t el_nodes;
    const double* nodes;
    const int32_t* cells;
};

// A quadrature (or evaluation) rule: `num_points` reference points with 3
// coordinates each and one weight per point.  Kernels read only the weights.
struct Quadrature {
    int32_t num_points;
    const double* points;
    const double* weights;
};

// B-spline permeability over log10 |H|.  `type_spec` 0: the constant
// `spl_mu_H_min` everywhere.  Otherwise degree `spl_k`, `spl_num_coeffs`
// coefficients `spl_c`, knots `spl_t` (at least spl_num_coeffs + spl_k + 1),
// and the constant `spl_mu_H_min` below the cut-off `spl_H_min`.
struct Permeability {
    int32_t type_spec;
    int32_t spl_k;
    int32_t spl_num_coeffs;
    const double* spl_t;
    const double* spl_c;
    double spl_H_min;
    double spl_mu_H_min;
};

// Piecewise cubic reluctance over |B|: `num_intervals` pieces on the
// ascending breakpoints `spl_x` (num_intervals + 1 of them); the coefficient
// of power 3 - r on piece p is `spl_c[r * num_intervals + p]`.
// `num_intervals` -1 means the constant `spl_c[0]`.
struct Reluctance {
    int32_t type_spec;
    int32_t num_intervals;
    const double* spl_c;
    const double* spl_x;
};

// A coordinate list of matrix entries with capacity `num_triplets`; `count`
// entries have been appended.  Duplicates are not merged.
struct TripletList {
    int32_t count;
    int32_t* i;
    int32_t* j;
    double* vals;
    int32_t num_triplets;
};

TripletList create_triplet_list(int32_t num_triplets, int32_t* i, int32_t* j, double* vals);
Mesh create_mesh(int32_t num_nodes, int32_t num_el, int32_t el_nodes,
                 const double* nodes, const int32_t* cells);
Quadrature create_quadrature(int32_t num_points, const double* points, const double* weights);
Permeability create_permeability(int32_t type_spec, int32_t spl_k, int32_t spl_num_coeffs,
                                 const double* spl_t, const double* spl_c,
                                 double spl_H_min, double spl_mu_H_min);
Reluctance create_reluctance(int32_t type_spec, int32_t num_intervals,
                             const double* spl_c, const double* spl_x);

// Stores (row, col, value) at position `count` and advances it.  The
// capacity is not tested: callers size the list for every entry they append.
// Defined here so that the element loops, which append every entry, inline it.
inline void append_triplet(TripletList& list, int32_t row, int32_t col, double value) {
    const std::ptrdiff_t t = list.count;
    list.i[t] = row;
    list.j[t] = col;
    list.vals[t] = value;
    ++list.count;
}

// ---------------------------------------------------------- element geometry
//
// Per-element routines over M points.  `conn` is the element's node list
// (cells + e * el_nodes); N the number of element nodes; `d_phi` [M][N][3]
// reference derivatives, `phi` [M][N] reference values; Jacobians [M][3][3]
// with rows the physical coordinates and columns the reference directions.

// J[m][k][l] = sum over local nodes a of nodes[conn[a]][k] * d_phi[m][a][l].
void compute_jacobians(double* J, const int32_t* conn, const Mesh& mesh, int32_t M,
                       const double* d_phi);

// Signed determinants and inverses of the M Jacobians (no absolute value).
void invert_jacobians(double* det_J, double* J_inv, const double* J, int32_t M);

// Physical coordinates of the M points of the element.
void map_to_physical(double* points, const int32_t* conn, int32_t M, int32_t N,
                     const double* phi, const double* nodes);

// init + physical curl (contravariant Piola map) of the H(curl) field with
// coefficients x[ids[b]], b < n, and reference curls `curls` [M][n][3].
void compute_curl_field(double* curl, const double* init, int32_t M, int32_t n,
                        const int32_t* ids, const double* x, const double* curls,
                        const double* J, const double* det_J);

// ------------------------------------------------------------------- kernels

// Flux density B [num_tar][3] at the targets `tar` [num_tar][3] of the
// straight strands `src` [num_src][6] (start point, end point), all carrying
// `current` with strand radius `radius`.  Runs an OpenMP team; writes a
// progress banner to the C stdout when num_src * num_tar > 1e8.  Requires
// 3 * num_tar <= INT32_MAX.  Throws std::bad_alloc (after the team has
// joined, B then being incomplete) when work storage cannot be obtained.
void compute_B_line_segs_kernel(double* B, const double* src, const double* tar,
                                double current, double radius,
                                int32_t num_src, int32_t num_tar);

// Scalar potential: K (mu(|grad x|) grad phi_a . grad phi_b) and the Newton
// term dK over all elements; N * N entries per element are appended to each
// list.  Rows and columns are node numbers.
void compute_stiffness_and_jacobi_matrix_kernel(TripletList& K, TripletList& dK,
                                                const Mesh& mesh, const Quadrature& quad,
                                                const double* d_phi, const double* x,
                                                const Permeability& perm);

// The local function count of the curl-curl kernels, derived from the
// capacity E * n * n of their lists: the integer quotient by E (> 0), its
// square root in double precision, truncated.
inline int32_t local_function_count(int32_t num_triplets, int32_t num_el) {
    return int32_t(std::sqrt(double(num_triplets / num_el)));
}

// Vector potential (curl-curl), without source.  The local function count n
// is local_function_count(K.num_triplets, mesh.num_el); num_el must be positive.
// `glob_ids` [num_el][n], `curls` one [M][n][3] block per orientation class,
// `orientations` [num_el], `x` indexed by global id.
void compute_stiffness_and_jacobi_matrix_curl_curl_kernel(
    TripletList& K, TripletList& dK, const int32_t* glob_ids, const Reluctance& rel,
    const Mesh& mesh, const Quadrature& quad, const double* curls, const double* d_phi,
    const int32_t* orientations, const double* x);

// As above with the source flux density B_s [num_el][M][3] added to the field;
// also accumulates the reduced right-hand side into `rhs` (zeroed by the caller).
void compute_stiffness_and_jacobi_matrix_curl_curl_source_kernel(
    TripletList& K, TripletList& dK, double* rhs, const int32_t* glob_ids,
    const Reluctance& rel, const Mesh& mesh, const Quadrature& quad, const double* curls,
    const double* d_phi, const int32_t* orientations, const double* x, const double* B_s);

// The reduced right-hand side alone; equal to the one of the source kernel.
void compute_rhs_Hcurl_red_kernel(double* rhs, const int32_t* glob_ids, const Reluctance& rel,
                                  const Mesh& mesh, const Quadrature& quad, const double* curls,
                                  const double* d_phi, const int32_t* orientations,
                                  const double* B_s, const double* x, int32_t n);

// Physical points and B = curl A at the quad.num_points evaluation positions
// of every element; both outputs [num_el][M][3].
void compute_B_Hcurl_kernel(double* points, double* B, int32_t num_el_dofs,
                            const int32_t* glob_ids, const Mesh& mesh, const Quadrature& quad,
                            const double* curls, const double* phi, const double* d_phi,
                            const int32_t* orientations, const double* x);

}  // namespace fluxkern
