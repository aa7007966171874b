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
//
// The loop is compiled with its counts as constants for lowest-order edge
// elements on tetrahedra (six functions, four nodes; four points or any
// number), and once for any counts.  The pair sums go straight into the
// staged list entries, which leave in whole cache lines.
#include <cmath>
#include <cstddef>
#include <cstring>
#include <type_traits>
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

// A count known at compile time (functions, nodes, points), used where a
// plain idx would otherwise stand.
template <idx K>
using Count = std::integral_constant<idx, K>;
using One = Count<1>;

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
typedef int32_t v8i __attribute__((vector_size(32)));    // eight ids
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
    std::vector<double> J, det, B, S, Bmag, nu, dnu;  // S: the source, [r][m]
    std::vector<double> V;         // mapped curls, [k][r][m] (m = 0 only when shared)
    std::vector<double> BV, BVd;   // B . V and (B . V) * nu', [k][m]
    std::vector<double> tK, tdK;   // terms of the pairs, [pair]
    std::vector<double> sK, sdK;   // pair sums, [pair]
    std::vector<double> T;         // right-hand side terms, [j][m]
    Scratch(idx M, idx n)
        : J(9 * M), det(M), B(3 * M), S(3 * M), Bmag(M), nu(M), dnu(M), V(3 * M * n),
          BV(M * n), BVd(M * n), tK(n * (n + 1) / 2), tdK(n * (n + 1) / 2),
          sK(n * (n + 1) / 2), sdK(n * (n + 1) / 2), T(n * M) {}
};

// |B|, the curve values, B . V and (B . V) nu' at the P points; V holds the
// mapped curls at every point (PV = P) or once (PV = 1).
template <class Fn, class Np, class Nv>
FLUXKERN_INLINE void field_terms(Scratch& s, Np np, Nv nv, Fn fn, const ReluctanceCurve& curve) {
    const idx n = idx(fn);
    const idx P = idx(np), PV = idx(nv);
    const double* __restrict B = s.B.data();
    double* __restrict Bmag = s.Bmag.data();
    for (idx m = 0; m < P; ++m) {
        const double bx = B[m], by = B[P + m], bz = B[2 * P + m];
        Bmag[m] = std::sqrt((bx * bx + by * by) + bz * bz);
    }
    for (idx m = 0; m < P; ++m) curve.evaluate(Bmag[m], s.nu[m], s.dnu[m]);
    const double* __restrict V = s.V.data();
    const double* __restrict dnu = s.dnu.data();
    double* __restrict BV = s.BV.data();
    double* __restrict BVd = s.BVd.data();
    const idx step = PV == 1 ? 0 : 1;
    for (idx k = 0; k < n; ++k) {
        const double* Vk = V + 3 * k * PV;
        for (idx m = 0; m < P; ++m) {
            const idx v = step * m;
            const double bv =
                (B[m] * Vk[v] + B[P + m] * Vk[PV + v]) + B[2 * P + m] * Vk[2 * PV + v];
            BV[k * P + m] = bv;
            BVd[k * P + m] = bv * dnu[m];
        }
    }
}

// The source (zeros without one) at the P points, [r][m], as the start of
// the field B and kept apart for the right-hand side; returns B.
FLUXKERN_INLINE double* start_field(Scratch& s, idx P, const double* init) {
    double* __restrict B = s.B.data();
    double* __restrict S = s.S.data();
    for (idx r = 0; r < 3; ++r)
        for (idx m = 0; m < P; ++m) S[r * P + m] = B[r * P + m] = init[3 * m + r];
    return B;
}

// Point data of an element whose points share the geometry and the reference
// curls (the source may differ): the Jacobian, its determinant and the
// mapped curls once, the field at each of the P points (P = 1 when the
// source is shared as well).
template <class Fn, class Nd, class Np>
FLUXKERN_INLINE void fields_shared(Scratch& s, Np np, Fn fn, Nd nd, const int32_t* conn,
                                   const Mesh& mesh, const double* d_phi, const double* C,
                                   const int32_t* ids, const double* x, const double* init,
                                   const ReluctanceCurve& curve) {
    const idx n = idx(fn);
    const idx P = idx(np);
    double J[9];
    geometry::jacobians(J, conn, mesh.nodes, nd, 1, d_phi);
    const double det = geometry::determinant(J);
    s.det[0] = det;
    double* __restrict V = s.V.data();
    for (idx k = 0; k < n; ++k)
        for (idx r = 0; r < 3; ++r) {
            const double* c = C + 3 * k;
            const double* Jr = J + 3 * r;
            V[3 * k + r] = (Jr[0] * c[0] + Jr[1] * c[1]) + Jr[2] * c[2];
        }
    // The field as compute_curl_field forms it: init, then (t * x) / det per
    // function in function order; the term is the same at every point.
    double* __restrict B = start_field(s, P, init);
    for (idx k = 0; k < n; ++k) {
        const double xk = x[ids[k]];
        for (idx r = 0; r < 3; ++r) {
            const double term = (V[3 * k + r] * xk) / det;
            for (idx m = 0; m < P; ++m) B[r * P + m] += term;
        }
    }
    field_terms(s, np, One{}, fn, curve);
}

// Point data of an element whose points each have their own geometry or
// reference curls.
template <class Fn, class Nd, class Np>
FLUXKERN_INLINE void fields_per_point(Scratch& s, Np np, Fn fn, Nd nd, const int32_t* conn,
                                      const Mesh& mesh, const double* d_phi, const double* C,
                                      const int32_t* ids, const double* x, const double* init,
                                      const ReluctanceCurve& curve) {
    const idx n = idx(fn);
    const idx M = idx(np);
    geometry::jacobians(s.J.data(), conn, mesh.nodes, nd, M, d_phi);
    const double* __restrict J = s.J.data();
    double* __restrict det = s.det.data();
    for (idx m = 0; m < M; ++m) det[m] = geometry::determinant(J + 9 * m);
    double* __restrict V = s.V.data();
    for (idx k = 0; k < n; ++k)
        for (idx r = 0; r < 3; ++r)
            for (idx m = 0; m < M; ++m) {
                const double* c = C + 3 * (m * n + k);
                const double* Jr = J + 9 * m + 3 * r;
                V[(3 * k + r) * M + m] = (Jr[0] * c[0] + Jr[1] * c[1]) + Jr[2] * c[2];
            }
    double* __restrict B = start_field(s, M, init);
    const idx M4 = M - M % 4;
    for (idx k = 0; k < n; ++k) {
        const double xk = x[ids[k]];
        for (idx r = 0; r < 3; ++r) {
            const double* __restrict Vkr = V + (3 * k + r) * M;
            double* __restrict Br = B + r * M;
            // Four points at a time: one division per lane, as below.
            for (idx m = 0; m < M4; m += 4)
                store4(Br + m, load4(Br + m) + (load4(Vkr + m) * xk) / load4(det + m));
            for (idx m = M4; m < M; ++m) Br[m] += (Vkr[m] * xk) / det[m];
        }
    }
    field_terms(s, np, np, fn, curve);
}

// Writes the sums of the pair (j, l) at entry q of the element's entries,
// and again at q + 1 for the mirror (l, j) off the diagonal; returns the
// next entry.
FLUXKERN_INLINE idx put_pair(double* vK, double* vdK, idx q, idx j, idx l, double k, double d) {
    vK[q] = k;
    vdK[q] = d;
    if (l == j) return q + 1;
    vK[q + 1] = k;
    vdK[q + 1] = d;
    return q + 2;
}

// Adding +0 for a point below the threshold leaves a sum as skipping it
// would (a sum that starts at +0 is never -0), so the lanes of such points
// are cleared to +0 instead of branching.
inline v4d active_lanes(v4d d, v4d bm) { return (v4d)((v4l)d & (v4l)(bm >= kMinField)); }

// Pair sums over the points: the per-point terms of a pair are formed four
// points at a time, then summed in point order.  With kShared the points
// share geometry, curls and weight (not the field), and the curl product,
// determinant and weight of a pair are formed once.
template <bool kShared, class Fn, class Np>
FLUXKERN_INLINE void pair_sums(Scratch& s, Np np, Fn fn, const double* __restrict w,
                               double* __restrict vK, double* __restrict vdK) {
    const idx n = idx(fn);
    const idx M = idx(np);
    const idx M4 = M - M % 4;
    const idx PV = kShared ? 1 : M;  // points with their own curls
    const double* __restrict V = s.V.data();
    const double* __restrict nu = s.nu.data();
    const double* __restrict det = s.det.data();
    const double* __restrict Bmag = s.Bmag.data();
    idx q = 0;
    for (idx j = 0; j < n; ++j)
        for (idx l = j; l < n; ++l) {
            const double* v = V + 3 * j * PV;
            const double* u = V + 3 * l * PV;
            const double* bvd_j = s.BVd.data() + j * M;
            const double* bv_l = s.BV.data() + l * M;
            // (u . v) at a point, as dot3 forms it.
            auto uv_at = [&](idx m) {
                const idx c = kShared ? 0 : m;
                return (u[c] * v[c] + u[PV + c] * v[PV + c]) + u[2 * PV + c] * v[2 * PV + c];
            };
            const double uv0 = kShared ? uv_at(0) : 0.0;  // shared points: M >= 1
            double kjl = 0.0, djl = 0.0;
            for (idx m = 0; m < M4; m += 4) {
                v4d uv, wm, dm;
                if constexpr (kShared) {
                    uv = v4d{uv0, uv0, uv0, uv0};
                    wm = v4d{w[0], w[0], w[0], w[0]};
                    dm = v4d{det[0], det[0], det[0], det[0]};
                } else {
                    uv = (load4(u + m) * load4(v + m) + load4(u + M + m) * load4(v + M + m)) +
                         load4(u + 2 * M + m) * load4(v + 2 * M + m);
                    wm = load4(w + m);
                    dm = load4(det + m);
                }
                const v4d bm = load4(Bmag + m);
                const v4d k = ((uv * load4(nu + m)) * wm) / dm;
                const v4d dk =
                    active_lanes((((load4(bvd_j + m) * load4(bv_l + m)) * wm) / dm) / bm, bm);
                for (int r = 0; r < 4; ++r) {
                    kjl += k[r];
                    djl += dk[r];
                }
            }
            for (idx m = M4; m < M; ++m) {
                const idx c = kShared ? 0 : m;
                kjl += ((uv_at(m) * nu[m]) * w[c]) / det[c];
                const double d = (((bvd_j[m] * bv_l[m]) * w[c]) / det[c]) / Bmag[m];
                djl += Bmag[m] >= kMinField ? d : 0.0;
            }
            q = put_pair(vK, vdK, q, j, l, kjl, djl);
        }
}

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

// Pair sums when all points share their data: each term once, added M times.
template <class Fn>
FLUXKERN_INLINE void pair_sums_uniform(Scratch& s, idx M, Fn fn, double w0,
                                       double* __restrict vK, double* __restrict vdK) {
    const idx n = idx(fn);
    const idx np = n * (n + 1) / 2;
    const double nu = s.nu[0], det = s.det[0], Bmag = s.Bmag[0];
    const bool active = Bmag >= kMinField;
    double* __restrict tK = s.tK.data();
    double* __restrict tdK = s.tdK.data();
    double* __restrict sK = s.sK.data();
    double* __restrict sdK = s.sdK.data();
    idx p = 0;
    for (idx j = 0; j < n; ++j)
        for (idx l = j; l < n; ++l, ++p) {
            const double* v = s.V.data() + 3 * j;
            const double* u = s.V.data() + 3 * l;
            tK[p] = ((dot3(u, v) * nu) * w0) / det;
            tdK[p] = active ? (((s.BVd[j] * s.BV[l]) * w0) / det) / Bmag : 0.0;
            sK[p] = 0.0;
            sdK[p] = 0.0;
        }
    for (idx m = 0; m < M; ++m)
        for (idx r = 0; r < np; ++r) {
            sK[r] += tK[r];
            sdK[r] += tdK[r];
        }
    idx q = 0;
    p = 0;
    for (idx j = 0; j < n; ++j)
        for (idx l = j; l < n; ++l, ++p) q = put_pair(vK, vdK, q, j, l, sK[p], sdK[p]);
}

// The rows (or, swapped, the columns) of an element's entries as local
// function numbers: for each pair (j <= l) in order, (j, l) and then its
// mirror (l, j) off the diagonal.
template <idx kN>
struct EntryPattern {
    int32_t rows[kN * kN + 8] = {};  // padded to whole vectors of 8
    int32_t cols[kN * kN + 8] = {};
    constexpr EntryPattern() {
        idx q = 0;
        for (idx j = 0; j < kN; ++j)
            for (idx l = j; l < kN; ++l) {
                rows[q] = int32_t(j);
                cols[q++] = int32_t(l);
                if (l != j) {
                    rows[q] = int32_t(l);
                    cols[q++] = int32_t(j);
                }
            }
    }
};

// Entries of the coordinate lists, staged kStaged elements at a time so that
// each block fills whole cache lines of every list array.  The pair sums
// write the values in place; rows and columns follow from the element's
// global ids.
class Staging {
public:
    static constexpr idx kStaged = 16;

    Staging(TripletList& K, TripletList& dK, idx per_element)
        : K_(K), dK_(dK), Kl_(K), dKl_(dK), size_(kStaged * per_element),
          rows_(size_ + 8), cols_(size_ + 8), vK_(size_), vdK_(size_),
          streaming_(lines_aligned(K) && lines_aligned(dK)) {}

    double* values_K() { return vK_.data() + staged_; }
    double* values_dK() { return vdK_.data() + staged_; }

    // Rows and columns of the element whose values were just written.
    template <class Fn>
    FLUXKERN_INLINE void element(Fn fn, const int32_t* ids) {
        const idx n = idx(fn);
        int32_t* __restrict rows = rows_.data() + staged_;
        int32_t* __restrict cols = cols_.data() + staged_;
#if defined(__GNUC__) && !defined(__clang__)
        if constexpr (std::is_same_v<Fn, Count<6>>) {
            // Permutations of the six ids, eight entries at a time (the last
            // vector runs into the padding or the next element's entries).
            static constexpr EntryPattern<6> pattern;
            v8i id = {};
            std::memcpy(&id, ids, 6 * sizeof(int32_t));
            for (idx q = 0; q < 36; q += 8) {
                v8i r, c;
                std::memcpy(&r, pattern.rows + q, sizeof r);
                std::memcpy(&c, pattern.cols + q, sizeof c);
                const v8i vr = __builtin_shuffle(id, r), vc = __builtin_shuffle(id, c);
                std::memcpy(rows + q, &vr, sizeof vr);
                std::memcpy(cols + q, &vc, sizeof vc);
            }
        } else
#endif
        {
            idx q = 0;
            for (idx j = 0; j < n; ++j)
                for (idx l = j; l < n; ++l) {
                    rows[q] = ids[j];
                    cols[q++] = ids[l];
                    if (l != j) {
                        rows[q] = ids[l];
                        cols[q++] = ids[j];
                    }
                }
        }
        staged_ += n * n;
        if (staged_ == size_) flush(streaming_);
    }

    // The last, partial block; then the counts go back to the callers' lists.
    void finish() {
        flush(false);
        end_streaming();
        K_.count = Kl_.count;
        dK_.count = dKl_.count;
    }

private:
    void flush(bool whole_lines) {
        if (whole_lines) {
            const std::size_t ib = sizeof(int32_t) * std::size_t(staged_);
            const std::size_t vb = sizeof(double) * std::size_t(staged_);
            stream_lines(Kl_.i + Kl_.count, rows_.data(), ib);
            stream_lines(Kl_.j + Kl_.count, cols_.data(), ib);
            stream_lines(Kl_.vals + Kl_.count, vK_.data(), vb);
            stream_lines(dKl_.i + dKl_.count, rows_.data(), ib);
            stream_lines(dKl_.j + dKl_.count, cols_.data(), ib);
            stream_lines(dKl_.vals + dKl_.count, vdK_.data(), vb);
            Kl_.count += int32_t(staged_);
            dKl_.count += int32_t(staged_);
        } else {
            for (idx q = 0; q < staged_; ++q) {
                append_triplet(Kl_, rows_[q], cols_[q], vK_[q]);
                append_triplet(dKl_, rows_[q], cols_[q], vdK_[q]);
            }
        }
        staged_ = 0;
    }

    TripletList &K_, &dK_;
    // Local copies whose counts can live in registers (the entry arrays
    // cannot alias them).
    TripletList Kl_, dKl_;
    idx size_, staged_ = 0;
    std::vector<int32_t> rows_, cols_;
    std::vector<double> vK_, vdK_;
    bool streaming_;
};

// The source variant's right-hand side: the same additions, in the same
// order (element, j, point), as compute_rhs_Hcurl_red_kernel makes.  The
// terms are formed first, apart from the chains of additions; with shared
// points the one term is added M times.
template <class Fn, class Np, class Nf, class Nv>
FLUXKERN_INLINE void rhs_additions(Scratch& s, Np np, Nf nf, Nv nv, Fn fn, const double* w,
                                   const int32_t* ids, double* rhs) {
    const idx n = idx(fn);
    const idx M = idx(np);
    const idx P = idx(nf);   // points with their own field: M or 1
    const idx PV = idx(nv);  // points with their own curls: M or 1
    const double* __restrict S = s.S.data();
    const double* __restrict nu = s.nu.data();
    double* __restrict T = s.T.data();
    for (idx j = 0; j < n; ++j) {
        const double* v = s.V.data() + 3 * j * PV;
        for (idx m = 0; m < P; ++m) {
            const idx qv = PV == 1 ? 0 : m;
            const double vS =
                (v[qv] * S[m] + v[PV + qv] * S[P + m]) + v[2 * PV + qv] * S[2 * P + m];
            T[j * P + m] = (vS * (kNu0 - nu[m])) * w[m];
        }
    }
    for (idx j = 0; j < n; ++j) {
        double r = rhs[ids[j]];
        for (idx m = 0; m < M; ++m) r = r + T[j * P + (P == 1 ? 0 : m)];
        rhs[ids[j]] = r;
    }
}

// The coefficients, right-hand side entries and node coordinates of an
// element ahead: they are scattered over arrays larger than the caches, and
// waiting for them otherwise dominates the loop.
constexpr idx kAhead = 16;

template <class Fn, class Nd>
FLUXKERN_INLINE void prefetch_element(idx e, Fn fn, Nd nd, const int32_t* glob_ids,
                                      const Mesh& mesh, const double* x, const double* rhs) {
#if defined(__GNUC__)
    const int32_t* ids = glob_ids + e * idx(fn);
    for (idx k = 0; k < idx(fn); ++k) {
        __builtin_prefetch(x + ids[k]);
        if (rhs) __builtin_prefetch(rhs + ids[k], 1);
    }
    const int32_t* conn = mesh.cells + e * idx(nd);
    for (idx a = 0; a < idx(nd); ++a) __builtin_prefetch(mesh.nodes + 3 * idx(conn[a]));
#endif
}

// The element loop of both kernels; Fn and Nd are the local function and
// node counts, as compile-time constants for the common elements.
template <bool kSource, class Fn, class Nd, class Np>
FLUXKERN_INLINE void curl_curl_loop(TripletList& K, TripletList& dK, double* rhs,
                                    const int32_t* glob_ids, const Reluctance& rel,
                                    const Mesh& mesh, const Quadrature& quad,
                                    const double* curls, const double* d_phi,
                                    const int32_t* orientations, const double* x,
                                    const double* B_s, Fn fn, Nd nd, Np np) {
    const idx n = idx(fn);
    const idx E = mesh.num_el;
    const idx N = idx(nd);
    const idx M = idx(np);
    const double* w = quad.weights;

    Scratch s(M, n);
    std::vector<double> zeros(kSource ? 0 : 3 * M);
    const ReluctanceCurve curve(rel);
    // Whether all points share their data, per call and per orientation class.
    const bool same_points = M >= 1 && rows_equal(d_phi, M, 3 * N) && rows_equal(w, M, 1);
    std::vector<signed char> class_uniform(kClassMemo, -1);  // -1: not yet known
    Staging stage(K, dK, n * n);

    for (idx e = 0; e < E; ++e) {
        if (e + kAhead < E) prefetch_element(e + kAhead, fn, nd, glob_ids, mesh, x, rhs);
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

        double* vK = stage.values_K();
        double* vdK = stage.values_dK();
        if (uniform) {
            fields_shared(s, One{}, fn, nd, conn, mesh, d_phi, C, ids, x, init, curve);
            pair_sums_uniform(s, M, fn, w[0], vK, vdK);
        } else if (same_geometry) {
            fields_shared(s, np, fn, nd, conn, mesh, d_phi, C, ids, x, init, curve);
            pair_sums<true>(s, np, fn, w, vK, vdK);
        } else {
            fields_per_point(s, np, fn, nd, conn, mesh, d_phi, C, ids, x, init, curve);
            pair_sums<false>(s, np, fn, w, vK, vdK);
        }
        stage.element(fn, ids);
        if (kSource) {
            if (uniform)
                rhs_additions(s, np, One{}, One{}, fn, w, ids, rhs);
            else if (same_geometry)
                rhs_additions(s, np, np, One{}, fn, w, ids, rhs);
            else
                rhs_additions(s, np, np, np, fn, w, ids, rhs);
        }
    }
    stage.finish();
}

// The loop compiled for the elements met most (lowest-order edge elements on
// tetrahedra, with four points or any number), and for any counts.
template <bool kSource, class Np>
FLUXKERN_CLONES void curl_curl_edges(TripletList& K, TripletList& dK, double* rhs,
                                     const int32_t* glob_ids, const Reluctance& rel,
                                     const Mesh& mesh, const Quadrature& quad,
                                     const double* curls, const double* d_phi,
                                     const int32_t* orientations, const double* x,
                                     const double* B_s, Np np) {
    curl_curl_loop<kSource>(K, dK, rhs, glob_ids, rel, mesh, quad, curls, d_phi, orientations, x,
                            B_s, Count<6>{}, Count<4>{}, np);
}

template <bool kSource>
FLUXKERN_CLONES void curl_curl_any(TripletList& K, TripletList& dK, double* rhs,
                                   const int32_t* glob_ids, const Reluctance& rel,
                                   const Mesh& mesh, const Quadrature& quad, const double* curls,
                                   const double* d_phi, const int32_t* orientations,
                                   const double* x, const double* B_s, idx n) {
    curl_curl_loop<kSource>(K, dK, rhs, glob_ids, rel, mesh, quad, curls, d_phi, orientations, x,
                            B_s, n, idx(mesh.el_nodes), idx(quad.num_points));
}

template <bool kSource>
void curl_curl(TripletList& K, TripletList& dK, double* rhs, const int32_t* glob_ids,
               const Reluctance& rel, const Mesh& mesh, const Quadrature& quad,
               const double* curls, const double* d_phi, const int32_t* orientations,
               const double* x, const double* B_s) {
    const int32_t E = mesh.num_el;
    if (E <= 0) return;
    // The local function count follows from the list capacity E * n * n.
    const idx n = int32_t(std::sqrt(double(K.num_triplets / E)));
    if (n == 6 && mesh.el_nodes == 4 && quad.num_points == 4)
        curl_curl_edges<kSource>(K, dK, rhs, glob_ids, rel, mesh, quad, curls, d_phi,
                                 orientations, x, B_s, Count<4>{});
    else if (n == 6 && mesh.el_nodes == 4)
        curl_curl_edges<kSource>(K, dK, rhs, glob_ids, rel, mesh, quad, curls, d_phi,
                                 orientations, x, B_s, idx(quad.num_points));
    else
        curl_curl_any<kSource>(K, dK, rhs, glob_ids, rel, mesh, quad, curls, d_phi, orientations,
                               x, B_s, n);
}

}  // namespace

void compute_stiffness_and_jacobi_matrix_curl_curl_kernel(
    TripletList& K, TripletList& dK, const int32_t* glob_ids, const Reluctance& rel,
    const Mesh& mesh, const Quadrature& quad, const double* curls, const double* d_phi,
    const int32_t* orientations, const double* x) {
    curl_curl<false>(K, dK, nullptr, glob_ids, rel, mesh, quad, curls, d_phi, orientations,
                          x, nullptr);
}

void compute_stiffness_and_jacobi_matrix_curl_curl_source_kernel(
    TripletList& K, TripletList& dK, double* rhs, const int32_t* glob_ids,
    const Reluctance& rel, const Mesh& mesh, const Quadrature& quad, const double* curls,
    const double* d_phi, const int32_t* orientations, const double* x, const double* B_s) {
    curl_curl<true>(K, dK, rhs, glob_ids, rel, mesh, quad, curls, d_phi, orientations, x,
                         B_s);
}

}  // namespace fluxkern
