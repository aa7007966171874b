// compute_stiffness_and_jacobi_matrix_curl_curl(nodes, cells, glob_ids, curls,
// d_phi, orientations, x, B_s, reluctance, q, w, num_dofs, num_el_dofs):
// stiffness matrix, Newton term and reduced right-hand side of the vector
// potential formulation.
#include "entry_point.hpp"
#include "fe_arrays.hpp"
#include "kernels.hpp"
#include "materials.hpp"
#include "outputs.hpp"
#include "triplets.hpp"

namespace fluxkern {

FLUXKERN_ENTRY_POINT(compute_stiffness_and_jacobi_matrix_curl_curl, nodes, cells, glob_ids, curls,
                     d_phi, orientations, x, B_s, reluctance, q, w, num_dofs, num_el_dofs) {
    MeshCounts counts = mesh_counts(args[nodes], args[cells], args[d_phi]);
    require_int32_range(
        saturating_mul(saturating_mul(as_int32(counts.num_el.get()), as_int32(args[num_el_dofs])),
                       as_int32(args[num_el_dofs])),
        "num_el * num_el_dofs * num_el_dofs");
    PyRef num_triplets =
        mul(mul(counts.num_el.get(), args[num_el_dofs]).get(), args[num_el_dofs]);

    ReluctanceData rel = read_reluctance(args[reluctance]);

    HcurlArrays arr =
        convert_hcurl_arrays(args[nodes], args[cells], args[glob_ids], args[x], args[q], args[w],
                             args[curls], nullptr, args[d_phi], args[B_s], args[orientations]);
    convert_curve(rel);

    TripletOutput K = allocate_triplets(num_triplets.get());
    TripletOutput dK = allocate_triplets(num_triplets.get());

    const Reluctance rel_c = reluctance_record(args[reluctance], rel);
    const Mesh mesh_c = mesh_record(counts, arr.nodes, arr.cells);
    const Quadrature quad_c = quadrature_record(args[w], arr.q, arr.w);
    ZeroedOutput rhs = zeroed_rhs(args[num_dofs]);
    const bool with_source = length(args[B_s]) != 0;

    // The kernel derives its local function count from the list capacity.
    if (mesh_c.num_el <= 0)
        raise(PyExc_ValueError,
              "the mesh has no elements (len(cells) is smaller than d_phi.shape[1])");
    const int32_t n = local_function_count(K.list.num_triplets, mesh_c.num_el);
    // Without local functions the kernel appends nothing and the wrapping
    // below would fail after it ran; fail the same way now (the kernel
    // would size a per-class cache by orientation values nothing bounds).
    if (n == 0) raise_empty_output();
    check_hcurl_arrays(arr, mesh_c, quad_c, n, rhs.length,
                       with_source ? Reads::B_s : Reads::common);

    if (with_source) {
        compute_stiffness_and_jacobi_matrix_curl_curl_source_kernel(
            K.list, dK.list, rhs.data, arr.glob_ids.i32(), rel_c, mesh_c, quad_c, arr.curls.f64(),
            arr.d_phi.f64(), arr.orientations.i32(), arr.x.f64(), arr.B_s.f64());
    } else {
        compute_stiffness_and_jacobi_matrix_curl_curl_kernel(
            K.list, dK.list, arr.glob_ids.i32(), rel_c, mesh_c, quad_c, arr.curls.f64(),
            arr.d_phi.f64(), arr.orientations.i32(), arr.x.f64());
    }

    WrappedTriplets K_arrays = wrap_triplets(K);
    WrappedTriplets dK_arrays = wrap_triplets(dK);
    PyRef rhs_array = wrap_output(rhs.array.get());
    set_shape(rhs_array.get(), make_tuple({args[num_dofs]}).get());
    PyRef shape = make_tuple({args[num_dofs], args[num_dofs]});
    PyRef K_matrix = to_csr(K_arrays, shape.get());
    PyRef dK_matrix = to_csr(dK_arrays, shape.get());
    return make_tuple({K_matrix.get(), dK_matrix.get(), rhs_array.get()});
}

}  // namespace fluxkern
