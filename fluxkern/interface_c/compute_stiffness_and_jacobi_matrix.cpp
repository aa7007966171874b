// compute_stiffness_and_jacobi_matrix(nodes, cells, d_phi, x, permeability, q, w):
// stiffness matrix and Newton term of the nonlinear scalar potential.
#include "entry_point.hpp"
#include "fe_arrays.hpp"
#include "kernels.hpp"
#include "materials.hpp"
#include "outputs.hpp"
#include "triplets.hpp"

namespace fluxkern {

FLUXKERN_ENTRY_POINT(compute_stiffness_and_jacobi_matrix, nodes, cells, d_phi, x, permeability, q,
                     w) {
    MeshCounts counts = mesh_counts(args[nodes], args[cells], args[d_phi]);
    PyObject *num_nodes = counts.num_nodes.get(), *el_nodes = counts.el_nodes.get(),
             *num_el = counts.num_el.get();
    // The triplet capacity is a 32-bit count: reject it exactly, before the
    // host's 32-bit scalar product could wrap around.
    require_int32_range(saturating_mul(saturating_mul(as_int32(num_el), as_int32(el_nodes)),
                                       as_int32(el_nodes)),
                        "num_el * el_nodes * el_nodes");
    PyRef num_triplets = mul(mul(num_el, el_nodes).get(), el_nodes);

    PermeabilityData perm = read_permeability(args[permeability]);

    ScalarArrays arr = convert_scalar_arrays(args[nodes], args[cells], args[x], args[q], args[w],
                                             args[d_phi]);
    convert_curve(perm);

    TripletOutput K = allocate_triplets(num_triplets.get());
    TripletOutput dK = allocate_triplets(num_triplets.get());

    const Permeability perm_c = permeability_record(args[permeability], perm);
    const Mesh mesh_c = mesh_record(counts, arr.nodes, arr.cells);
    const Quadrature quad_c = quadrature_record(args[w], arr.q, arr.w);
    check_scalar_arrays(arr, mesh_c, quad_c, K.list.num_triplets);

    compute_stiffness_and_jacobi_matrix_kernel(K.list, dK.list, mesh_c, quad_c, arr.d_phi.f64(),
                                               arr.x.f64(), perm_c);

    WrappedTriplets K_arrays = wrap_triplets(K);
    WrappedTriplets dK_arrays = wrap_triplets(dK);
    PyRef shape = make_tuple({num_nodes, num_nodes});
    PyRef K_matrix = to_csr(K_arrays, shape.get());
    PyRef dK_matrix = to_csr(dK_arrays, shape.get());
    return make_tuple({K_matrix.get(), dK_matrix.get()});
}

}  // namespace fluxkern
