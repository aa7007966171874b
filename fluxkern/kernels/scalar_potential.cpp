// Scalar-potential stiffness K = int mu(|H|) grad phi_a . grad phi_b and the
// Newton term dK = int mu'(|H|) (H . grad phi_a)(H . grad phi_b) / |H|,
// element by element, upper triangle integrated and mirrored.  The loop and
// its prefetching are here; the arithmetic is the integrator's
// (scalar_element.hpp), the lists the emitter's.
#include "kernel_common.hpp"
#include "kernels.hpp"
#include "scalar_element.hpp"
#include "triplet_emitter.hpp"

namespace fluxkern {

namespace {

// Elements ahead whose scattered nodes and coefficients are asked for.
constexpr idx kAhead = 16;

// Np: the points with their own data, One when all of them agree.
template <class Nn, class Np>
FLUXKERN_CLONES void scalar_loop(TripletList& K, TripletList& dK, const Mesh& mesh,
                                 const Quadrature& quad, const double* d_phi, const double* x,
                                 const Permeability& perm, Nn nn, Np np) {
    const idx E = mesh.num_el;
    PermeabilityCurve curve(perm);
    scalar::ScalarElement<Nn> el(mesh, quad, d_phi, x, curve, nn);
    TripletEmitter emit(K, dK, idx(nn), E);
    for (idx e = 0; e < E; ++e) {
        if (e + kAhead < E) el.prefetch(e + kAhead);
        el.fields(e, np);
        el.pair_sums(np, emit.values_K(), emit.values_dK());
        emit.element(nn, el.conn(e));
    }
    emit.finish();
}

template <class Nn>
void scalar_dispatch(TripletList& K, TripletList& dK, const Mesh& mesh, const Quadrature& quad,
                     const double* d_phi, const double* x, const Permeability& perm, Nn nn) {
    if (points_agree(d_phi, idx(nn), quad.weights, quad.num_points))
        scalar_loop(K, dK, mesh, quad, d_phi, x, perm, nn, One{});
    else
        scalar_loop(K, dK, mesh, quad, d_phi, x, perm, nn, idx(quad.num_points));
}

}  // namespace

void compute_stiffness_and_jacobi_matrix_kernel(TripletList& K, TripletList& dK,
                                                const Mesh& mesh, const Quadrature& quad,
                                                const double* d_phi, const double* x,
                                                const Permeability& perm) {
    // Linear and quadratic tetrahedra get loops of fixed length.
    if (mesh.el_nodes == 4)
        scalar_dispatch(K, dK, mesh, quad, d_phi, x, perm, Count<4>{});
    else if (mesh.el_nodes == 10)
        scalar_dispatch(K, dK, mesh, quad, d_phi, x, perm, Count<10>{});
    else
        scalar_dispatch(K, dK, mesh, quad, d_phi, x, perm, idx(mesh.el_nodes));
}

}  // namespace fluxkern
