// Curl-curl stiffness K = int nu(|B|) curl phi_j . curl phi_l and Newton term
// dK = int nu'(|B|) / |B| (B . curl phi_j)(B . curl phi_l), with and without
// a source flux density.  One element loop serves both kernels; the source
// variant adds B_s to the field and accumulates the reduced right-hand side.
//
// Speed without changing a bit: the mapped curls J_m c(m, k) are formed once
// per (point, function) and give both the field and every pair term; point
// data are laid out point-minor so the per-point terms of a pair vectorise,
// and the terms are then summed in point order.  When every point of an
// element carries the same data (affine geometry, curls constant over the
// element, equal weights, a source constant over the element: lowest-order
// edge elements on straight tetrahedra) each quantity is computed once and
// its term added once per point, which gives the same sums.
#include <cmath>
#include <cstddef>
#include <cstring>
#include <vector>

#include "geometry_inline.hpp"
#include "kernels.hpp"
#include "stream_stores.hpp"

namespace fluxkern {

using idx = std::ptrdiff_t;

// Point loops are also compiled for AVX2 where the platform can pick a
// variant at load time; the operations and hence the values are the same.
#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__) && defined(__linux__)
#define FLUXKERN_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define FLUXKERN_CLONES
#endif

namespace {

constexpr double kMinField = 1e-14;         // no dK term below (or for NaN)
constexpr double kNu0 = 795774.7154594767;  // 1 / mu0, vacuum reluctivity
constexpr idx kClassMemo = 4096;            // orientation classes remembered

inline double dot3(const double* p, const double* q) {
    return (p[0] * q[0] + p[1] * q[1]) + p[2] * q[2];
}

// True when the rows [m][0 .. len) of a [M][len] table are bitwise equal.
bool rows_equal(const double* a, idx M, idx len) {
    for (idx m = 1; m < M; ++m)
        if (std::memcmp(a, a + m * len, std::size_t(len) * sizeof(double)) != 0) return false;
    return true;
}

// Four doubles with elementwise IEEE operations (GCC/Clang vector
// extension): each lane computes exactly what the scalar code computes.
// The helpers are internal, so the vector ABI note does not matter.
typedef double v4d __attribute__((vector_size(32)));
typedef long long v4l __attribute__((vector_size(32)));  // lane masks
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpsabi"
#endif
inline v4d load4(const double* p) {
    v4d v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
inline void store4(double* p, v4d v) { std::memcpy(p, &v, sizeof v); }

// Scratch of one call, sized by the number of points M and functions n.
struct Scratch {
    std::vector<double> J, J_inv, det, B, Bmag, nu, dnu;
    std::vector<double> V;         // mapped curls, [k][r][m]
    std::vector<double> BV, BVd;   // B . V and (B . V) * nu', [k][m]
    std::vector<double> tK, tdK;   // terms of one pair, [m]; of all pairs, [pair]
    std::vector<double> sK, sdK;   // pair sums, [pair]
    std::vector<idx> pj, pl;       // local indices of each pair (j <= l)
    std::vector<idx> er, ec, ep;   // row, column, pair of each entry, emission order
    Scratch(idx M, idx n)
        : J(9 * M), J_inv(9 * M), det(M), B(3 * M), Bmag(M), nu(M), dnu(M), V(3 * M * n),
          BV(M * n), BVd(M * n), tK(M + n * (n + 1) / 2), tdK(M + n * (n + 1) / 2),
          sK(n * (n + 1) / 2), sdK(n * (n + 1) / 2) {
        for (idx j = 0; j < n; ++j)
            for (idx l = j; l < n; ++l) {
                const idx p = idx(pj.size());
                pj.push_back(j);
                pl.push_back(l);
                // (j, l), then its mirror (l, j) off the diagonal.
                er.push_back(j);
                ec.push_back(l);
                ep.push_back(p);
                if (l != j) {
                    er.push_back(l);
                    ec.push_back(j);
                    ep.push_back(p);
                }
            }
    }
};

// Per-element point data for P points (P = M, or 1 when all points agree):
// Jacobians, determinants, mapped curls, the field, the curve values.  With
// same_geometry (every point has the same Jacobian and reference curls, but
// the source differs) the geometry and the curl terms are formed once and
// shared by the points.
FLUXKERN_CLONES void element_fields(Scratch& s, idx P, idx n, bool same_geometry,
                                    const int32_t* conn, const Mesh& mesh, const double* d_phi,
                                    const double* C, const int32_t* ids, const double* x,
                                    const double* init, const ReluctanceCurve& curve) {
    const idx G = same_geometry ? 1 : P;  // points with their own geometry
    geometry::jacobians(s.J.data(), conn, mesh.nodes, idx(mesh.el_nodes), G, d_phi);
    geometry::invert(s.det.data(), s.J_inv.data(), s.J.data(), G);
    const double* __restrict J = s.J.data();
    double* __restrict det = s.det.data();
    double* __restrict V = s.V.data();
    double* __restrict B = s.B.data();
    for (idx k = 0; k < n; ++k)
        for (idx r = 0; r < 3; ++r)
            for (idx m = 0; m < G; ++m) {
                const double* c = C + 3 * (m * n + k);
                const double* Jr = J + 9 * m + 3 * r;
                V[(3 * k + r) * P + m] = (Jr[0] * c[0] + Jr[1] * c[1]) + Jr[2] * c[2];
            }
    // The field as compute_curl_field forms it: init, then (t * x) / det per
    // function in function order.
    for (idx r = 0; r < 3; ++r)
        for (idx m = 0; m < P; ++m) B[r * P + m] = init[3 * m + r];
    if (G < P) {
        for (idx k = 0; k < n; ++k) {
            const double xk = x[ids[k]];
            for (idx r = 0; r < 3; ++r) {
                double* __restrict Vkr = V + (3 * k + r) * P;
                const double term = (Vkr[0] * xk) / det[0];
                for (idx m = 0; m < P; ++m) B[r * P + m] += term;
                for (idx m = 1; m < P; ++m) Vkr[m] = Vkr[0];
            }
        }
        for (idx m = 1; m < P; ++m) det[m] = det[0];
    } else {
        const idx P4 = P - P % 4;
        for (idx k = 0; k < n; ++k) {
            const double xk = x[ids[k]];
            for (idx r = 0; r < 3; ++r) {
                const double* __restrict Vkr = V + (3 * k + r) * P;
                double* __restrict Br = B + r * P;
                // Four points at a time: one division per lane, as below.
                for (idx m = 0; m < P4; m += 4)
                    store4(Br + m, load4(Br + m) + (load4(Vkr + m) * xk) / load4(det + m));
                for (idx m = P4; m < P; ++m) Br[m] += (Vkr[m] * xk) / det[m];
            }
        }
    }
    double* __restrict Bmag = s.Bmag.data();
    for (idx m = 0; m < P; ++m) {
        const double bx = B[m], by = B[P + m], bz = B[2 * P + m];
        Bmag[m] = std::sqrt((bx * bx + by * by) + bz * bz);
    }
    for (idx m = 0; m < P; ++m) curve.evaluate(Bmag[m], s.nu[m], s.dnu[m]);
    const double* __restrict dnu = s.dnu.data();
    double* __restrict BV = s.BV.data();
    double* __restrict BVd = s.BVd.data();
    for (idx k = 0; k < n; ++k) {
        const double* __restrict Vk = V + 3 * k * P;
        for (idx m = 0; m < P; ++m) {
            const double bv = (B[m] * Vk[m] + B[P + m] * Vk[P + m]) + B[2 * P + m] * Vk[2 * P + m];
            BV[k * P + m] = bv;
            BVd[k * P + m] = bv * dnu[m];
        }
    }
}

// Pair sums when every point has its own data: the per-point terms of a pair
// are formed four points at a time, then summed in point order.
FLUXKERN_CLONES void pair_sums_general(Scratch& s, idx M, const double* __restrict w) {
    const idx np = idx(s.pj.size());
    const idx M4 = M - M % 4;
    const double* __restrict V = s.V.data();
    const double* __restrict nu = s.nu.data();
    const double* __restrict det = s.det.data();
    const double* __restrict Bmag = s.Bmag.data();
    for (idx p = 0; p < np; ++p) {
        const double* v = V + 3 * s.pj[p] * M;
        const double* u = V + 3 * s.pl[p] * M;
        const double* bvd_j = s.BVd.data() + s.pj[p] * M;
        const double* bv_l = s.BV.data() + s.pl[p] * M;
        // Adding +0 for a point below the threshold leaves the sum as
        // skipping it would (a sum that starts at +0 is never -0), so the
        // lanes of such points are cleared to +0 instead of branching.
        double kjl = 0.0, djl = 0.0;
        for (idx m = 0; m < M4; m += 4) {
            const v4d uv = (load4(u + m) * load4(v + m) + load4(u + M + m) * load4(v + M + m)) +
                           load4(u + 2 * M + m) * load4(v + 2 * M + m);
            const v4d wm = load4(w + m), dm = load4(det + m), bm = load4(Bmag + m);
            const v4d k = ((uv * load4(nu + m)) * wm) / dm;
            const v4d d = (((load4(bvd_j + m) * load4(bv_l + m)) * wm) / dm) / bm;
            const v4d dk = (v4d)((v4l)d & (v4l)(bm >= kMinField));
            for (int q = 0; q < 4; ++q) {
                kjl += k[q];
                djl += dk[q];
            }
        }
        for (idx m = M4; m < M; ++m) {
            const double uv = (u[m] * v[m] + u[M + m] * v[M + m]) + u[2 * M + m] * v[2 * M + m];
            kjl += ((uv * nu[m]) * w[m]) / det[m];
            const double d = (((bvd_j[m] * bv_l[m]) * w[m]) / det[m]) / Bmag[m];
            djl += Bmag[m] >= kMinField ? d : 0.0;
        }
        s.sK[p] = kjl;
        s.sdK[p] = djl;
    }
}

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

// Pair sums when all points share their data: each term once, added M times.
void pair_sums_uniform(Scratch& s, idx M, double w0) {
    const idx np = idx(s.pj.size());
    const double nu = s.nu[0], det = s.det[0], Bmag = s.Bmag[0];
    const bool active = Bmag >= kMinField;
    double* __restrict tK = s.tK.data();
    double* __restrict tdK = s.tdK.data();
    double* __restrict sK = s.sK.data();
    double* __restrict sdK = s.sdK.data();
    for (idx p = 0; p < np; ++p) {
        const double* v = s.V.data() + 3 * s.pj[p];
        const double* u = s.V.data() + 3 * s.pl[p];
        tK[p] = ((dot3(u, v) * nu) * w0) / det;
        tdK[p] = active ? (((s.BVd[s.pj[p]] * s.BV[s.pl[p]]) * w0) / det) / Bmag : 0.0;
        sK[p] = 0.0;
        sdK[p] = 0.0;
    }
    for (idx m = 0; m < M; ++m)
        for (idx p = 0; p < np; ++p) {
            sK[p] += tK[p];
            sdK[p] += tdK[p];
        }
}

template <bool kSource>
void curl_curl_loop(TripletList& K, TripletList& dK, double* rhs, const int32_t* glob_ids,
                    const Reluctance& rel, const Mesh& mesh, const Quadrature& quad,
                    const double* curls, const double* d_phi, const int32_t* orientations,
                    const double* x, const double* B_s) {
    const int32_t E32 = mesh.num_el;
    if (E32 <= 0) return;
    // The local function count follows from the list capacity E * n * n.
    const idx n = int32_t(std::sqrt(double(K.num_triplets / E32)));
    const idx E = E32;
    const idx N = mesh.el_nodes;
    const idx M = quad.num_points;
    const double* w = quad.weights;

    Scratch s(M, n);
    std::vector<double> zeros(kSource ? 0 : 3 * M);
    const ReluctanceCurve curve(rel);
    // Whether all points share their data, per call and per orientation class.
    const bool same_points = M >= 1 && rows_equal(d_phi, M, 3 * N) && rows_equal(w, M, 1);
    std::vector<signed char> class_uniform(kClassMemo, -1);  // -1: not yet known
    const idx nn = idx(s.er.size());
    // Local copies whose counts can live in registers (the entry arrays
    // cannot alias them); written back after the loop.
    TripletList Kl = K, dKl = dK;
    idx er6[36] = {}, ec6[36] = {}, ep6[36] = {};
    if (n == 6)
        for (idx q = 0; q < 36; ++q) {
            er6[q] = s.er[q];
            ec6[q] = s.ec[q];
            ep6[q] = s.ep[q];
        }
    const double* sK = s.sK.data();
    const double* sdK = s.sdK.data();
    // kStaged elements' entries fill whole cache lines of every list array.
    constexpr idx kStaged = 16;
    const idx stage_size = kStaged * nn;
    std::vector<int32_t> stage_rows(stage_size), stage_cols(stage_size);
    std::vector<double> stage_K(stage_size), stage_dK(stage_size);
    idx staged = 0;
    const bool streaming = lines_aligned(Kl) && lines_aligned(dKl);
    auto flush = [&](bool whole_lines) {
        if (whole_lines) {
            const std::size_t ib = sizeof(int32_t) * std::size_t(staged);
            const std::size_t vb = sizeof(double) * std::size_t(staged);
            stream_lines(Kl.i + Kl.count, stage_rows.data(), ib);
            stream_lines(Kl.j + Kl.count, stage_cols.data(), ib);
            stream_lines(Kl.vals + Kl.count, stage_K.data(), vb);
            stream_lines(dKl.i + dKl.count, stage_rows.data(), ib);
            stream_lines(dKl.j + dKl.count, stage_cols.data(), ib);
            stream_lines(dKl.vals + dKl.count, stage_dK.data(), vb);
            Kl.count += int32_t(staged);
            dKl.count += int32_t(staged);
        } else {
            for (idx q = 0; q < staged; ++q) {
                append_triplet(Kl, stage_rows[q], stage_cols[q], stage_K[q]);
                append_triplet(dKl, stage_rows[q], stage_cols[q], stage_dK[q]);
            }
        }
        staged = 0;
    };

    for (idx e = 0; e < E; ++e) {
        const int32_t* conn = mesh.cells + e * N;
        const idx o = orientations[e];
        const double* C = curls + n * o * M * 3;
        const int32_t* ids = glob_ids + e * n;
        const double* init = kSource ? B_s + 3 * M * e : zeros.data();

        bool same_geometry = same_points;
        if (same_geometry) {
            // Remembered per class; very large class numbers are checked
            // directly rather than sizing the memo by them.
            if (o < 0 || o >= kClassMemo) {
                same_geometry = rows_equal(C, M, 3 * n);
            } else {
                if (class_uniform[o] < 0) class_uniform[o] = rows_equal(C, M, 3 * n) ? 1 : 0;
                same_geometry = class_uniform[o] == 1;
            }
        }
        const bool uniform = same_geometry && (!kSource || rows_equal(init, M, 3));

        const idx P = uniform ? 1 : M;
        element_fields(s, P, n, same_geometry, conn, mesh, d_phi, C, ids, x, init, curve);
        if (uniform)
            pair_sums_uniform(s, M, w[0]);
        else
            pair_sums_general(s, M, w);
        // Stage the element's entries (the same rows and columns for both
        // lists); every kStaged elements the block goes out in whole lines.
        for (idx q = 0; q < nn; ++q) {
            const idx p = n == 6 ? ep6[q] : s.ep[q];
            stage_rows[staged + q] = ids[n == 6 ? er6[q] : s.er[q]];
            stage_cols[staged + q] = ids[n == 6 ? ec6[q] : s.ec[q]];
            stage_K[staged + q] = sK[p];
            stage_dK[staged + q] = sdK[p];
        }
        staged += nn;
        if (staged == stage_size) flush(streaming);
        if (kSource) {
            // Same additions, in the same order (element, j, point), as
            // compute_rhs_Hcurl_red_kernel makes; with shared points the one
            // term is added M times.
            for (idx j = 0; j < n; ++j) {
                const double* v = s.V.data() + 3 * j * P;
                double r = rhs[ids[j]];
                for (idx m = 0; m < M; ++m) {
                    const idx q = uniform ? 0 : m;
                    const double* S = init + 3 * q;
                    const double vS = (v[q] * S[0] + v[P + q] * S[1]) + v[2 * P + q] * S[2];
                    r = r + (vS * (kNu0 - s.nu[q])) * w[q];
                }
                rhs[ids[j]] = r;
            }
        }
    }
    flush(false);  // a last, partial block
    end_streaming();
    K.count = Kl.count;
    dK.count = dKl.count;
}

}  // namespace

void compute_stiffness_and_jacobi_matrix_curl_curl_kernel(
    TripletList& K, TripletList& dK, const int32_t* glob_ids, const Reluctance& rel,
    const Mesh& mesh, const Quadrature& quad, const double* curls, const double* d_phi,
    const int32_t* orientations, const double* x) {
    curl_curl_loop<false>(K, dK, nullptr, glob_ids, rel, mesh, quad, curls, d_phi, orientations,
                          x, nullptr);
}

void compute_stiffness_and_jacobi_matrix_curl_curl_source_kernel(
    TripletList& K, TripletList& dK, double* rhs, const int32_t* glob_ids,
    const Reluctance& rel, const Mesh& mesh, const Quadrature& quad, const double* curls,
    const double* d_phi, const int32_t* orientations, const double* x, const double* B_s) {
    curl_curl_loop<true>(K, dK, rhs, glob_ids, rel, mesh, quad, curls, d_phi, orientations, x,
                         B_s);
}

}  // namespace fluxkern
