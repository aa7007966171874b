// Scalar-potential stiffness K = int mu(|H|) grad phi_a . grad phi_b and the
// Newton term dK = int mu'(|H|) (H . grad phi_a)(H . grad phi_b) / |H|,
// element by element, upper triangle integrated and mirrored.
//
// Speed without changing a bit: physical gradients and their products with
// the field are formed once per (point, node); the per-point factors
// ((det * mu) * w) and ((det * mu') * w) once per point.  All pair terms of
// an element are formed first, then every pair sum is accumulated in point
// order, then the entries are appended: independent work side by side
// instead of one dependency chain per pair.  When all points share their
// data (straight P1 elements, equal weights) geometry and material are
// evaluated once per element and each pair term is added once per point,
// which gives the same sums.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>


#include "geometry_inline.hpp"
#include "kernels.hpp"
#include "stream_stores.hpp"

namespace fluxkern {

using idx = std::ptrdiff_t;

namespace {

// Below this field magnitude (or for NaN) a point adds nothing to dK.
constexpr double kMinField = 1e-14;

// True when the rows [m][0 .. len) of a [M][len] table are bitwise equal.
bool rows_equal(const double* a, idx M, idx len) {
    for (idx m = 1; m < M; ++m)
        if (std::memcmp(a, a + m * len, std::size_t(len) * sizeof(double)) != 0) return false;
    return true;
}

struct Scratch {
    std::vector<double> J, J_inv, det, H, Hmag, mu, dmu;
    std::vector<double> G;        // physical gradients, [a][k][m]
    std::vector<double> hG;       // H . G, [a][m]
    std::vector<double> fK, fdK;  // ((det * mu) * w), ((det * mu') * w), [m]
    std::vector<double> tK, tdK;  // pair terms, [m][pair]
    std::vector<double> sK, sdK;  // pair sums, [pair]
    std::vector<idx> pa, pb;      // local indices of each pair (a <= b)
    std::vector<idx> er, ec, ep;  // row, column, pair of each entry, emission order
    Scratch(idx M, idx N)
        : J(9 * M), J_inv(9 * M), det(M), H(3 * M), Hmag(M), mu(M), dmu(M), G(3 * M * N),
          hG(M * N), fK(M), fdK(M), tK(M * N * (N + 1) / 2), tdK(M * N * (N + 1) / 2),
          sK(N * (N + 1) / 2), sdK(N * (N + 1) / 2) {
        for (idx a = 0; a < N; ++a)
            for (idx b = a; b < N; ++b) {
                const idx p = idx(pa.size());
                pa.push_back(a);
                pb.push_back(b);
                // (a, b), then its mirror (b, a) off the diagonal.
                er.push_back(a);
                ec.push_back(b);
                ep.push_back(p);
                if (b != a) {
                    er.push_back(b);
                    ec.push_back(a);
                    ep.push_back(p);
                }
            }
    }
};

// Geometry, field and material at P points of the element (P = M, or 1 when
// all points agree), with the geometry routines inlined.
template <class Count>
inline void element_fields(Scratch& s, idx P, Count N, const int32_t* conn, const Mesh& mesh,
                           const double* d_phi, const double* x, const double* w,
                           PermeabilityCurve& curve) {
    geometry::jacobians(s.J.data(), conn, mesh.nodes, N, P, d_phi);
    geometry::invert(s.det.data(), s.J_inv.data(), s.J.data(), P);
    geometry::grad_field(s.H.data(), conn, P, N, d_phi, x, s.J_inv.data());
    geometry::norms(s.Hmag.data(), s.H.data(), P);
    for (idx m = 0; m < P; ++m) {
        curve.evaluate(s.Hmag[m], s.mu[m], s.dmu[m]);
        s.fK[m] = (s.det[m] * s.mu[m]) * w[m];
        s.fdK[m] = (s.det[m] * s.dmu[m]) * w[m];
        const double* C = s.J_inv.data() + 9 * m;
        const double* Hm = s.H.data() + 3 * m;
        for (idx a = 0; a < idx(N); ++a) {
            const double* d = d_phi + 3 * (m * idx(N) + a);
            double g[3];
            for (idx k = 0; k < 3; ++k) g[k] = (d[0] * C[k] + d[1] * C[3 + k]) + d[2] * C[6 + k];
            for (idx k = 0; k < 3; ++k) s.G[(3 * a + k) * P + m] = g[k];
            s.hG[a * P + m] = (Hm[0] * g[0] + Hm[1] * g[1]) + Hm[2] * g[2];
        }
    }
}

// Terms of every pair at P points: tK[m][p], tdK[m][p].
inline void pair_terms(Scratch& s, idx P, idx np) {
    const double* G = s.G.data();
    const double* hG = s.hG.data();
    for (idx p = 0; p < np; ++p) {
        const double* ga = G + 3 * s.pa[p] * P;
        const double* gb = G + 3 * s.pb[p] * P;
        const double* hGa = hG + s.pa[p] * P;
        const double* hGb = hG + s.pb[p] * P;
        for (idx m = 0; m < P; ++m) {
            s.tK[m * np + p] =
                ((gb[m] * ga[m] + gb[P + m] * ga[P + m]) + gb[2 * P + m] * ga[2 * P + m]) * s.fK[m];
            s.tdK[m * np + p] = ((hGa[m] * s.fdK[m]) * hGb[m]) / s.Hmag[m];
        }
    }
    // Adding +0 for a point below the threshold leaves the sum as skipping
    // it would (a sum that starts at +0 is never -0).
    for (idx m = 0; m < P; ++m)
        if (!(s.Hmag[m] >= kMinField))
            for (idx p = 0; p < np; ++p) s.tdK[m * np + p] = 0.0;
}

// Sums over the M points in point order; with P = 1 the one term is added
// M times.
inline void pair_sums(Scratch& s, idx P, idx M, idx np) {
    double* __restrict sK = s.sK.data();
    double* __restrict sdK = s.sdK.data();
    for (idx p = 0; p < np; ++p) {
        sK[p] = 0.0;
        sdK[p] = 0.0;
    }
    for (idx m = 0; m < M; ++m) {
        const double* __restrict tK = s.tK.data() + (P == 1 ? 0 : m) * np;
        const double* __restrict tdK = s.tdK.data() + (P == 1 ? 0 : m) * np;
        for (idx p = 0; p < np; ++p) {
            sK[p] += tK[p];
            sdK[p] += tdK[p];
        }
    }
}

#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__) && defined(__linux__)
#define FLUXKERN_CLONES __attribute__((target_clones("avx512f", "avx2", "default")))
#else
#define FLUXKERN_CLONES
#endif

// Local (row, column) of the 16 entries of a linear tetrahedron, in
// emission order: (a, a), then (a, b), (b, a) for b > a.
constexpr int kP1Row[16] = {0, 0, 1, 0, 2, 0, 3, 1, 1, 2, 1, 3, 2, 2, 3, 3};
constexpr int kP1Col[16] = {0, 1, 0, 2, 0, 3, 0, 1, 2, 1, 3, 1, 2, 3, 2, 3};

// The entries of a linear tetrahedron whose points all agree, computed
// per entry rather than per pair so that they vectorise: each entry forms
// its pair's terms from the pair's own (lower, higher) node order, and the
// dot product of two gradients is symmetric in every bit, so a mirrored
// entry gets exactly its pair's values.
FLUXKERN_CLONES void append_uniform_p1(TripletList& K, TripletList& dK, const double* G,
                                       const double* hG, double fK, double fdK, double Hmag,
                                       idx M, const int32_t* conn, bool streaming) {
    const bool above = Hmag >= kMinField;
    // Operands of every entry side by side, so that the arithmetic below
    // runs over whole vectors.
    double a0[16], a1[16], a2[16], b0[16], b1[16], b2[16], ha[16], hb[16];
    for (int q = 0; q < 16; ++q) {
        const int lo = kP1Row[q] < kP1Col[q] ? kP1Row[q] : kP1Col[q];
        const int hi = kP1Row[q] < kP1Col[q] ? kP1Col[q] : kP1Row[q];
        a0[q] = G[3 * lo];
        a1[q] = G[3 * lo + 1];
        a2[q] = G[3 * lo + 2];
        b0[q] = G[3 * hi];
        b1[q] = G[3 * hi + 1];
        b2[q] = G[3 * hi + 2];
        ha[q] = hG[lo];
        hb[q] = hG[hi];
    }
    double tK[16], tdK[16];
    for (int q = 0; q < 16; ++q) {
        tK[q] = ((b0[q] * a0[q] + b1[q] * a1[q]) + b2[q] * a2[q]) * fK;
        tdK[q] = ((ha[q] * fdK) * hb[q]) / Hmag;
    }
    if (!above)
        for (int q = 0; q < 16; ++q) tdK[q] = 0.0;
    // Each sum adds its term once per point, all sums side by side.
    double vK[16] = {}, vdK[16] = {};
    for (idx m = 0; m < M; ++m)
        for (int q = 0; q < 16; ++q) {
            vK[q] += tK[q];
            vdK[q] += tdK[q];
        }
    const idx t = K.count, u = dK.count;
    alignas(16) int32_t rows[16], cols[16];
    for (int q = 0; q < 16; ++q) {
        rows[q] = conn[kP1Row[q]];
        cols[q] = conn[kP1Col[q]];
    }
    if (streaming) {
        stream_lines(K.i + t, rows, 64);
        stream_lines(K.j + t, cols, 64);
        stream_lines(K.vals + t, vK, 128);
        stream_lines(dK.i + u, rows, 64);
        stream_lines(dK.j + u, cols, 64);
        stream_lines(dK.vals + u, vdK, 128);
    } else {
        for (int q = 0; q < 16; ++q) {
            K.i[t + q] = dK.i[u + q] = rows[q];
            K.j[t + q] = dK.j[u + q] = cols[q];
            K.vals[t + q] = vK[q];
            dK.vals[u + q] = vdK[q];
        }
    }
    K.count += 16;
    dK.count += 16;
}

// The element loop; NC > 0 fixes the node count and kUniform the single
// distinct point at compile time, so that the small loops unroll.
template <int NC, bool kUniform>
void scalar_loop(TripletList& K, TripletList& dK, const Mesh& mesh, const Quadrature& quad,
                 const double* d_phi, const double* x, Scratch& s, PermeabilityCurve& curve) {
    const idx E = mesh.num_el;
    const idx N = NC > 0 ? NC : mesh.el_nodes;
    const auto count = [&] {
        if constexpr (NC > 0) return geometry::Nodes<NC>{};
        else return N;
    }();
    const idx M = quad.num_points;
    const idx P = kUniform ? 1 : M;
    const idx np = NC > 0 ? NC * (NC + 1) / 2 : idx(s.pa.size());
    const double* w = quad.weights;
    // Local copies whose counts can live in registers (the entry arrays
    // cannot alias them); written back after the loop.
    TripletList Kl = K, dKl = dK;

    // The emission order as local tables: with a fixed node count they have
    // a fixed size and the emission loop unrolls over them.
    constexpr idx kFixed = NC > 0 ? NC * NC : 1;
    idx er[kFixed], ec[kFixed], ep[kFixed];
    const idx* row_of = s.er.data();
    const idx* col_of = s.ec.data();
    const idx* pair_of = s.ep.data();
    if constexpr (NC > 0) {
        for (idx q = 0; q < kFixed; ++q) {
            er[q] = s.er[q];
            ec[q] = s.ec[q];
            ep[q] = s.ep[q];
        }
        row_of = er;
        col_of = ec;
        pair_of = ep;
    }
    const double* sK = s.sK.data();
    const double* sdK = s.sdK.data();

    const bool streaming = lines_aligned(Kl) && lines_aligned(dKl);
    for (idx e = 0; e < E; ++e) {
#if defined(__GNUC__)
        // The nodes and coefficients of an element ahead: they are scattered
        // over arrays about the size of the caches.
        constexpr idx kAhead = 16;
        if (e + kAhead < E) {
            const int32_t* ahead = mesh.cells + (e + kAhead) * N;
            for (idx a = 0; a < idx(count); ++a) {
                __builtin_prefetch(mesh.nodes + 3 * idx(ahead[a]));
                __builtin_prefetch(x + ahead[a]);
            }
        }
#endif
        const int32_t* conn = mesh.cells + e * N;
        element_fields(s, P, count, conn, mesh, d_phi, x, w, curve);
        if constexpr (NC == 4 && kUniform) {
            append_uniform_p1(Kl, dKl, s.G.data(), s.hG.data(), s.fK[0], s.fdK[0], s.Hmag[0],
                              M, conn, streaming);
            continue;
        }
        pair_terms(s, P, np);
        pair_sums(s, P, M, np);
        for (idx q = 0; q < (NC > 0 ? kFixed : N * N); ++q) {
            const int32_t row = conn[row_of[q]], col = conn[col_of[q]];
            append_triplet(Kl, row, col, sK[pair_of[q]]);
            append_triplet(dKl, row, col, sdK[pair_of[q]]);
        }
    }
    end_streaming();
    K.count = Kl.count;
    dK.count = dKl.count;
}

template <int NC>
void scalar_dispatch(bool uniform, TripletList& K, TripletList& dK, const Mesh& mesh,
                     const Quadrature& quad, const double* d_phi, const double* x, Scratch& s,
                     PermeabilityCurve& curve) {
    if (uniform)
        scalar_loop<NC, true>(K, dK, mesh, quad, d_phi, x, s, curve);
    else
        scalar_loop<NC, false>(K, dK, mesh, quad, d_phi, x, s, curve);
}

}  // namespace

void compute_stiffness_and_jacobi_matrix_kernel(TripletList& K, TripletList& dK,
                                                const Mesh& mesh, const Quadrature& quad,
                                                const double* d_phi, const double* x,
                                                const Permeability& perm) {
    const idx N = mesh.el_nodes;
    const idx M = quad.num_points;
    Scratch s(M, N);
    PermeabilityCurve curve(perm);
    const bool uniform =
        M >= 1 && rows_equal(d_phi, M, 3 * N) && rows_equal(quad.weights, M, 1);
    // Linear and quadratic tetrahedra get loops of fixed length.
    if (N == 4)
        scalar_dispatch<4>(uniform, K, dK, mesh, quad, d_phi, x, s, curve);
    else if (N == 10)
        scalar_dispatch<10>(uniform, K, dK, mesh, quad, d_phi, x, s, curve);
    else
        scalar_dispatch<0>(uniform, K, dK, mesh, quad, d_phi, x, s, curve);
}

}  // namespace fluxkern
