// The element integrator of the vector-potential kernels: the field
// B = init + curl x at the points of one element, the reluctance there, the
// pair sums of K and dK, and the additions to the reduced right-hand side.
// The curl-curl kernels and the right-hand-side kernel run the same steps,
// so their right-hand sides agree to the bit.
//
// Speed without changing a bit: the mapped curls J_m c(m, k) are formed once
// per (point, function) and give the field, every pair term and the
// right-hand side; point data are laid out point-minor so that the terms of
// a pair are formed four points at a time, then summed in point order.
// Where points share data (affine geometry, curls constant over the element
// and equal weights: lowest-order edge elements on straight tetrahedra;
// and a source constant over the element) each shared quantity is computed
// once and its term added once per point, which gives the same sums (the
// kernel without source runs 13 to 25 % faster for it).
#pragma once

#include <cmath>
#include <cstring>
#include <type_traits>
#include <vector>

#include "geometry_inline.hpp"
#include "kernel_common.hpp"
#include "kernels.hpp"
#include "material_curves.hpp"
#include "triplet_emitter.hpp"

namespace fluxkern::curl {

// Four doubles with elementwise IEEE operations (GCC/Clang vector
// extension): each lane computes exactly what the scalar code computes.
typedef double v4d __attribute__((vector_size(32)));
typedef long long v4l __attribute__((vector_size(32)));  // lane masks

}  // namespace fluxkern::curl

namespace fluxkern {
template <>
FLUXKERN_INLINE curl::v4d load<curl::v4d>(const double* p) {
    curl::v4d v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
}  // namespace fluxkern

namespace fluxkern::curl {

// Four consecutive entries from point m of a per-point array, or its one
// entry four times where all points share it.
template <class N>
FLUXKERN_INLINE v4d lanes(const double* a, idx m, N) {
    if constexpr (kShared<N>) return v4d{a[0], a[0], a[0], a[0]};
    return load<v4d>(a + m);
}

// Clears the lanes of a Newton term at a field below kMinField (or NaN).
// Adding +0 leaves a sum as skipping the point would (a sum that starts
// at +0 is never -0), so a lane can be cleared instead of branching.
FLUXKERN_INLINE double above_min_field(double d, double bm) { return bm >= kMinField ? d : 0.0; }
FLUXKERN_INLINE v4d above_min_field(v4d d, v4d bm) {
    return (v4d)((v4l)d & (v4l)(bm >= kMinField));
}

// The terms of a pair (j, l) in K and dK at a point, or at four points one
// per lane: ((u . v) nu) w / det, and ((((B . v) nu') (B . u)) w / det) / |B|
// (B . v nu' given as bvd) where |B| >= kMinField.
template <class T>
struct PairTerms {
    T k, d;
};
template <class T>
FLUXKERN_INLINE PairTerms<T> pair_terms(T uv, T nu, T w, T det, T bvd, T bu, T bm) {
    return {((uv * nu) * w) / det, above_min_field((((bvd * bu) * w) / det) / bm, bm)};
}

// Adds the lanes of k to sk and those of d to sd, lane after lane (point
// order).
FLUXKERN_INLINE void add_lanes(double& sk, double& sd, v4d k, v4d d) {
    for (int r = 0; r < 4; ++r) {
        sk += k[r];
        sd += d[r];
    }
}

// The inputs of the vector-potential kernels (B_s null without a source).
struct CurlInputs {
    const int32_t* glob_ids;
    const Reluctance& rel;
    const Mesh& mesh;
    const Quadrature& quad;
    const double* curls;
    const double* d_phi;
    const int32_t* orientations;
    const double* x;
    const double* B_s;
};

// Which data the points of an element share: geometry and curls (and
// weights) only, or the field as well.
enum class Sharing { none, geometry, all };

// Fn, Nd, Np: the counts of local functions, nodes and points, as
// compile-time constants for the common elements.  In the steps, Nv and Nf
// are the numbers of points with their own geometry and their own field:
// the point count, or One where all points share them.
template <class Fn, class Nd, class Np>
class CurlElement {
public:
    CurlElement(const CurlInputs& in, const ReluctanceCurve& curve, Fn fn, Nd nd, Np np)
        : in_(in), fn_(fn), nd_(nd), np_(np), curve_(curve), zeros_(in.B_s ? 0 : 3 * M()),
          J_(9 * M()), det_(M()), B_(3 * M()), S_(3 * M()), Bmag_(M()), nu_(M()), dnu_(M()),
          V_(3 * M() * n()), BV_(M() * n()), BVd_(M() * n()), T_(M() * n()),
          same_points_(points_agree(in.d_phi, idx(nd), in.quad.weights, M())),
          class_shared_(kClassMemo, -1) {}

    const int32_t* ids(idx e) const { return in_.glob_ids + e * n(); }

    // The coefficients, right-hand side entries and node coordinates of
    // element e, asked for ahead of their use.
    FLUXKERN_INLINE void prefetch(idx e, const double* rhs) const {
        prefetch_entries(in_.x, 1, ids(e), fn_);
        if (rhs) prefetch_entries<1>(rhs, 1, ids(e), fn_);
        prefetch_entries(in_.mesh.nodes, 3, in_.mesh.cells + e * idx(nd_), nd_);
    }

    // What the points of element e share.
    Sharing sharing(idx e) {
        if (!same_points_) return Sharing::none;
        const idx o = in_.orientations[e];
        // Remembered per orientation class; very large class numbers are
        // checked directly rather than sizing the memo by them.
        bool same;
        if (o < 0 || o >= kClassMemo) {
            same = rows_equal(curls(e), M(), 3 * n());
        } else {
            if (class_shared_[o] < 0) class_shared_[o] = rows_equal(curls(e), M(), 3 * n());
            same = class_shared_[o] == 1;
        }
        if (!same) return Sharing::none;
        return !in_.B_s || rows_equal(init(e), M(), 3) ? Sharing::all : Sharing::geometry;
    }

    // Geometry and mapped curls at the Nv points, the field, its magnitude
    // and the curve at the Nf points; with kSlopes also B . V and
    // (B . V) nu' for the Newton term.
    template <bool kSlopes, class Nf, class Nv>
    FLUXKERN_INLINE void fields(idx e, Nf nf, Nv nv) {
        const idx P = idx(nf), PV = idx(nv);
        const double* C = curls(e);
        geometry::jacobians(J_.data(), in_.mesh.cells + e * idx(nd_), in_.mesh.nodes, nd_, PV,
                            in_.d_phi);
        const double* __restrict J = J_.data();
        double* __restrict det = det_.data();
        for (idx m = 0; m < PV; ++m) det[m] = geometry::determinant(J + 9 * m);
        double* __restrict V = V_.data();  // [k][r][m]
        for (idx k = 0; k < n(); ++k)
            for (idx r = 0; r < 3; ++r)
                for (idx m = 0; m < PV; ++m)
                    V[(3 * k + r) * PV + m] =
                        geometry::mapped_curl(J + 9 * m + 3 * r, C + 3 * (m * n() + k));

        // The field as compute_curl_field forms it: init, then one term per
        // function in function order ([r][m], the source kept apart).
        const double* src = init(e);
        double* __restrict B = B_.data();
        double* __restrict S = S_.data();
        for (idx r = 0; r < 3; ++r)
            for (idx m = 0; m < P; ++m) S[r * P + m] = B[r * P + m] = src[3 * m + r];
        const int32_t* id = ids(e);
        for (idx k = 0; k < n(); ++k) {
            const double xk = in_.x[id[k]];
            for (idx r = 0; r < 3; ++r) {
                const double* __restrict Vkr = V + (3 * k + r) * PV;
                double* __restrict Br = B + r * P;
                if constexpr (kShared<Nv>) {
                    const double term = geometry::curl_term(Vkr[0], xk, det[0]);
                    for (idx m = 0; m < P; ++m) Br[m] += term;
                    continue;
                }
                idx m = 0;
                for (; m + 4 <= P; m += 4) {
                    const v4d b = lanes(Br, m, nf) + geometry::curl_term(lanes(Vkr, m, nv), xk,
                                                                         lanes(det, m, nv));
                    std::memcpy(Br + m, &b, sizeof b);
                }
                for (; m < P; ++m) Br[m] += geometry::curl_term(Vkr[m], xk, det[m]);
            }
        }

        double* __restrict Bmag = Bmag_.data();
        for (idx m = 0; m < P; ++m) {
            const double bx = B[m], by = B[P + m], bz = B[2 * P + m];
            Bmag[m] = std::sqrt((bx * bx + by * by) + bz * bz);
        }
        for (idx m = 0; m < P; ++m) curve_.evaluate(Bmag[m], nu_[m], dnu_[m]);
        if (!kSlopes) return;
        const double* __restrict dnu = dnu_.data();
        double* __restrict BV = BV_.data();
        double* __restrict BVd = BVd_.data();
        for (idx k = 0; k < n(); ++k)
            for (idx m = 0; m < P; ++m) {
                const double bv = dot3(B + m, P, V + 3 * k * PV + at<Nv>(m), PV);
                BV[k * P + m] = bv;
                BVd[k * P + m] = bv * dnu[m];
            }
    }

    // The sums of K and dK over the points for every pair (j <= l), written
    // in emission order (the mirror after each off-diagonal pair).
    template <class Nf, class Nv>
    FLUXKERN_INLINE void pair_sums(Nf nf, Nv nv, double* __restrict vK, double* __restrict vdK) {
        const idx M = this->M(), P = idx(nf), PV = idx(nv);
        const idx M4 = M - M % 4;
        const double* __restrict w = in_.quad.weights;
        const double* __restrict V = V_.data();
        const double* __restrict nu = nu_.data();
        const double* __restrict det = det_.data();
        const double* __restrict Bmag = Bmag_.data();
        idx q = 0;
        for (idx j = 0; j < n(); ++j)
            for (idx l = j; l < n(); ++l) {
                const double* v = V + 3 * j * PV;
                const double* u = V + 3 * l * PV;
                const double* bvd_j = BVd_.data() + j * P;
                const double* bv_l = BV_.data() + l * P;
                auto uv_at = [&](idx m) { return dot3(u + m, PV, v + m, PV); };
                double kjl = 0.0, djl = 0.0;
                if constexpr (kShared<Nf> && kShared<Nv>) {
                    // One term for every point, added M times.
                    const auto t =
                        pair_terms(uv_at(0), nu[0], w[0], det[0], bvd_j[0], bv_l[0], Bmag[0]);
                    for (idx m = 0; m < M; ++m) {
                        kjl += t.k;
                        djl += t.d;
                    }
                    q = put_pair(vK, vdK, q, j, l, kjl, djl);
                    continue;
                }
                const double uv0 = kShared<Nv> ? uv_at(0) : 0.0;  // shared points: M >= 1
                for (idx m = 0; m < M4; m += 4) {
                    v4d uv = v4d{uv0, uv0, uv0, uv0};
                    if constexpr (!kShared<Nv>) uv = dot3<v4d>(u + m, M, v + m, M);
                    const auto t = pair_terms(uv, lanes(nu, m, nf), lanes(w, m, nv),
                                              lanes(det, m, nv), lanes(bvd_j, m, nf),
                                              lanes(bv_l, m, nf), lanes(Bmag, m, nf));
                    add_lanes(kjl, djl, t.k, t.d);
                }
                for (idx m = M4; m < M; ++m) {
                    const idx g = at<Nv>(m), f = at<Nf>(m);
                    const auto t =
                        pair_terms(uv_at(g), nu[f], w[g], det[g], bvd_j[f], bv_l[f], Bmag[f]);
                    kjl += t.k;
                    djl += t.d;
                }
                q = put_pair(vK, vdK, q, j, l, kjl, djl);
            }
    }

    // rhs[ids[j]] += (dot(v, S_m) (nu0 - nu_m)) w_m for j, then m, in order,
    // v = J_m c(m, j) (no division by the determinant: the Piola factor
    // 1/det and the volume factor det cancel).  The terms are formed first,
    // apart from the chains of additions; with a shared field the one term
    // is added M times.
    template <class Nf, class Nv>
    FLUXKERN_INLINE void rhs_additions(idx e, Nf nf, Nv nv, double* rhs) {
        const idx M = this->M(), P = idx(nf), PV = idx(nv);
        const double* __restrict w = in_.quad.weights;
        const double* __restrict S = S_.data();
        const double* __restrict nu = nu_.data();
        double* __restrict T = T_.data();
        for (idx j = 0; j < n(); ++j)
            for (idx m = 0; m < P; ++m) {
                const double vS = dot3(V_.data() + 3 * j * PV + at<Nv>(m), PV, S + m, P);
                T[j * P + m] = (vS * (kNu0 - nu[m])) * w[m];
            }
        const int32_t* id = ids(e);
        for (idx j = 0; j < n(); ++j) {
            double r = rhs[id[j]];
            for (idx m = 0; m < M; ++m) r = r + T[j * P + at<Nf>(m)];
            rhs[id[j]] = r;
        }
    }

private:
    static constexpr idx kClassMemo = 4096;  // orientation classes remembered

    idx n() const { return idx(fn_); }
    idx M() const { return idx(np_); }
    const double* curls(idx e) const {
        return in_.curls + n() * idx(in_.orientations[e]) * M() * 3;
    }
    const double* init(idx e) const { return in_.B_s ? in_.B_s + 3 * M() * e : zeros_.data(); }

    const CurlInputs in_;  // a copy: one indirection less in the loop
    Fn fn_;
    Nd nd_;
    Np np_;
    // Held apart from the element's data: a call that evaluates it is thus
    // known not to touch them.
    const ReluctanceCurve& curve_;
    std::vector<double> zeros_;
    std::vector<double> J_, det_, B_, S_, Bmag_, nu_, dnu_;  // B, S: [r][m]
    std::vector<double> V_;         // mapped curls, [k][r][m]
    std::vector<double> BV_, BVd_;  // B . V and (B . V) nu', [k][m]
    std::vector<double> T_;         // right-hand side terms, [j][m]
    bool same_points_;
    std::vector<signed char> class_shared_;  // -1: not yet known
};

}  // namespace fluxkern::curl
