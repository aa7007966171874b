// The element integrator of the scalar-potential kernel: the field H (the
// gradient of x) at the points of one element, the permeability there, and
// the pair sums of K and dK.
//
// Speed without changing a bit: physical gradients and their products with
// the field are formed once per (point, node), the per-point factors
// ((det * mu) * w) and ((det * mu') * w) once per point.  All pair terms of
// an element are formed first, then every pair sum is accumulated in point
// order: independent work side by side instead of one dependency chain per
// pair.  When all points share their data (straight P1 elements, equal
// weights) geometry and material are evaluated once and each pair term is
// added once per point, which gives the same sums.
#pragma once

#include <type_traits>
#include <vector>

#include "geometry_inline.hpp"
#include "kernel_common.hpp"
#include "kernels.hpp"
#include "material_curves.hpp"
#include "triplet_emitter.hpp"

namespace fluxkern::scalar {

// Nn: the node count, a compile-time constant for linear and quadratic
// tetrahedra.  In the steps, Np is the number of points with their own
// data: the point count, or One where all points share them.
template <class Nn>
class ScalarElement {
public:
    ScalarElement(const Mesh& mesh, const Quadrature& quad, const double* d_phi, const double* x,
                  PermeabilityCurve& curve, Nn nn)
        : mesh_(mesh), quad_(quad), d_phi_(d_phi), x_(x), nn_(nn), curve_(curve),
          J_(9 * M()), J_inv_(9 * M()), det_(M()), H_(3 * M()), Hmag_(M()), mu_(M()), dmu_(M()),
          G_(3 * M() * N()), hG_(M() * N()), fK_(M()), fdK_(M()), tK_(M() * pairs()),
          tdK_(M() * pairs()), sK_(pairs()), sdK_(pairs()) {}

    const int32_t* conn(idx e) const { return mesh_.cells + e * N(); }

    // The node coordinates and coefficients of element e, asked for ahead.
    FLUXKERN_INLINE void prefetch(idx e) const {
        prefetch_entries(mesh_.nodes, 3, conn(e), nn_);
        prefetch_entries(x_, 1, conn(e), nn_);
    }

    // Geometry, field, material and the mapped gradients at the Np points.
    template <class Np>
    FLUXKERN_INLINE void fields(idx e, Np np) {
        const idx P = idx(np);
        const int32_t* c = conn(e);
        geometry::jacobians(J_.data(), c, mesh_.nodes, nn_, P, d_phi_);
        geometry::invert(det_.data(), J_inv_.data(), J_.data(), P);
        geometry::grad_field(H_.data(), c, P, nn_, d_phi_, x_, J_inv_.data());
        geometry::norms(Hmag_.data(), H_.data(), P);
        const double* w = quad_.weights;
        for (idx m = 0; m < P; ++m) {
            curve_.evaluate(Hmag_[m], mu_[m], dmu_[m]);
            fK_[m] = (det_[m] * mu_[m]) * w[m];
            fdK_[m] = (det_[m] * dmu_[m]) * w[m];
            const double* C = J_inv_.data() + 9 * m;
            const double* Hm = H_.data() + 3 * m;
            for (idx a = 0; a < N(); ++a) {
                const double* d = d_phi_ + 3 * (m * N() + a);
                double g[3];
                for (idx k = 0; k < 3; ++k) g[k] = geometry::mapped_gradient(C, d, k);
                for (idx k = 0; k < 3; ++k) G_[(3 * a + k) * P + m] = g[k];
                hG_[a * P + m] = dot3(Hm, g);
            }
        }
    }

    // The sums of K and dK over the M points for every pair (a <= b),
    // written in emission order (the mirror after each off-diagonal pair).
    template <class Np>
    FLUXKERN_INLINE void pair_sums(Np np, double* __restrict vK, double* __restrict vdK) {
        if constexpr (kShared<Np> && !std::is_same_v<Nn, idx>)
            entry_sums_shared(vK, vdK);
        else
            pair_sums_per_point(np, vK, vdK);
    }

private:
    // The terms of the pair (a, b) at a point: (g_b . g_a) ((det mu) w) in K,
    // ((H . g_a) ((det mu') w)) (H . g_b) / |H| in dK (0 below kMinField).
    static FLUXKERN_INLINE double stiffness_term(const double* ga, const double* gb, idx stride,
                                                 double f) {
        return dot3(gb, stride, ga, stride) * f;
    }
    static FLUXKERN_INLINE double newton_term(double hGa, double hGb, double f, double Hmag) {
        return Hmag >= kMinField ? ((hGa * f) * hGb) / Hmag : 0.0;
    }

    // All terms of the element at the P points first ([m][pair]), then
    // every pair sum in point order (with P = 1 the one term is added M
    // times): independent work side by side instead of one chain per pair.
    template <class Np>
    FLUXKERN_INLINE void pair_sums_per_point(Np np, double* __restrict vK, double* __restrict vdK) {
        const idx P = idx(np), M = this->M(), npairs = pairs();
        const double* G = G_.data();
        const double* hG = hG_.data();
        idx p = 0;
        for (idx a = 0; a < N(); ++a)
            for (idx b = a; b < N(); ++b, ++p)
                for (idx m = 0; m < P; ++m) {
                    tK_[m * npairs + p] = stiffness_term(G + 3 * a * P + m, G + 3 * b * P + m, P, fK_[m]);
                    tdK_[m * npairs + p] =
                        newton_term(hG[a * P + m], hG[b * P + m], fdK_[m], Hmag_[m]);
                }
        double* __restrict sK = sK_.data();
        double* __restrict sdK = sdK_.data();
        for (idx r = 0; r < npairs; ++r) sK[r] = sdK[r] = 0.0;
        for (idx m = 0; m < M; ++m) {
            const double* __restrict tK = tK_.data() + at<Np>(m) * npairs;
            const double* __restrict tdK = tdK_.data() + at<Np>(m) * npairs;
            for (idx r = 0; r < npairs; ++r) {
                sK[r] += tK[r];
                sdK[r] += tdK[r];
            }
        }
        idx q = 0;
        p = 0;
        for (idx a = 0; a < N(); ++a)
            for (idx b = a; b < N(); ++b, ++p) q = put_pair(vK, vdK, q, a, b, sK[p], sdK[p]);
    }

    // With one point's data shared by all and a compile-time node count, the
    // sums are formed per entry rather than per pair, so that they run over
    // whole vectors (the operands of every entry side by side; 18 % faster
    // on straight linear elements).  Each entry
    // forms its pair's terms from the pair's own (lower, higher) node order,
    // so a mirrored entry gets exactly its pair's values.
    FLUXKERN_INLINE void entry_sums_shared(double* __restrict vK, double* __restrict vdK) {
        constexpr idx kN = Nn::value, kE = kN * kN;
        static constexpr EntryPattern<kN> pattern;
        const double* G = G_.data();  // [a][k], one point
        const double* hG = hG_.data();
        double ga[3][kE], gb[3][kE], ha[kE], hb[kE], tK[kE], tdK[kE];
#pragma GCC unroll 128
        for (idx q = 0; q < kE; ++q) {
            const idx lo = pattern.lower[q], hi = pattern.higher[q];
            for (idx k = 0; k < 3; ++k) {
                ga[k][q] = G[3 * lo + k];
                gb[k][q] = G[3 * hi + k];
            }
            ha[q] = hG[lo];
            hb[q] = hG[hi];
        }
        for (idx q = 0; q < kE; ++q) {
            tK[q] = stiffness_term(&ga[0][q], &gb[0][q], kE, fK_[0]);
            tdK[q] = newton_term(ha[q], hb[q], fdK_[0], Hmag_[0]);
        }
        double sK[kE] = {}, sdK[kE] = {};
        for (idx m = 0; m < M(); ++m)
            for (idx q = 0; q < kE; ++q) {
                sK[q] += tK[q];
                sdK[q] += tdK[q];
            }
        for (idx q = 0; q < kE; ++q) {
            vK[q] = sK[q];
            vdK[q] = sdK[q];
        }
    }

    idx N() const { return idx(nn_); }
    idx M() const { return quad_.num_points; }
    idx pairs() const { return N() * (N() + 1) / 2; }

    const Mesh& mesh_;
    const Quadrature& quad_;
    const double* d_phi_;
    const double* x_;
    Nn nn_;
    // Held apart from the element's data: a call that evaluates it is thus
    // known not to touch them.
    PermeabilityCurve& curve_;
    std::vector<double> J_, J_inv_, det_, H_, Hmag_, mu_, dmu_;
    std::vector<double> G_;         // physical gradients, [a][k][m]
    std::vector<double> hG_;        // H . G, [a][m]
    std::vector<double> fK_, fdK_;  // ((det * mu) * w), ((det * mu') * w), [m]
    std::vector<double> tK_, tdK_;  // pair terms, [m][pair]
    std::vector<double> sK_, sdK_;  // pair sums, [pair]
};

}  // namespace fluxkern::scalar
