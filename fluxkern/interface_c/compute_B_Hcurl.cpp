// compute_B_Hcurl(nodes, cells, glob_ids, curls, phi, d_phi, orientations, x,
// q, w, num_dofs, num_el_dofs): physical evaluation points and B = curl A.
#include <climits>

#include "entry_point.hpp"
#include "fe_arrays.hpp"
#include "kernels.hpp"
#include "outputs.hpp"
#include "validation.hpp"

namespace fluxkern {

// num_dofs is accepted and ignored.
FLUXKERN_ENTRY_POINT(compute_B_Hcurl, nodes, cells, glob_ids, curls, phi, d_phi, orientations, x,
                     q, w, num_dofs, num_el_dofs) {
    MeshCounts counts = mesh_counts(args[nodes], args[cells], args[d_phi]);

    HcurlArrays arr =
        convert_hcurl_arrays(args[nodes], args[cells], args[glob_ids], args[x], args[q], args[w],
                             args[curls], args[phi], args[d_phi], nullptr, args[orientations]);

    // Both outputs hold 3 values per evaluation position of every element.
    // len(w) is taken once: the outputs and the kernel must agree on it.
    const Py_ssize_t M = length(args[w]);
    const int32_t num_el = as_int32(counts.num_el.get());
    const long long num_positions = saturating_mul(num_el, M);
    require_non_negative(num_positions, "the number of evaluation positions");
    require_int32_range(saturating_mul(3, num_positions), "3 * num_el * len(w)");
    PyRef B_c = new_output(3 * num_positions, Elem::f64, "field buffer");
    PyRef points_c = new_output(3 * num_positions, Elem::f64, "point buffer");

    const Mesh mesh_c = mesh_record(counts, arr.nodes, arr.cells);
    // The outputs were sized by the count read above; the kernel loops over this one.
    if (mesh_c.num_el != num_el)
        raise(PyExc_ValueError, "the number of elements changed between two readings");
    const Quadrature quad_c =
        create_quadrature(as_int32(new_int(M).get()), arr.q.f64(), arr.w.f64());
    const int32_t n = as_int32(args[num_el_dofs]);
    // No matrix or vector of num_dofs is written: ids need only an entry in x.
    check_hcurl_arrays(arr, mesh_c, quad_c, n, static_cast<long long>(INT32_MAX) + 1, Reads::phi);

    compute_B_Hcurl_kernel(static_cast<double*>(output_data(points_c.get())),
                           static_cast<double*>(output_data(B_c.get())), n, arr.glob_ids.i32(),
                           mesh_c, quad_c, arr.curls.f64(), arr.phi.f64(), arr.d_phi.f64(),
                           arr.orientations.i32(), arr.x.f64());

    PyRef B_array = wrap_output(B_c.get());
    PyRef points_array = wrap_output(points_c.get());
    PyRef shape = make_tuple({new_int(num_positions).get(), names().int_3.get()});
    set_shape(points_array.get(), shape.get());
    set_shape(B_array.get(), shape.get());
    return make_tuple({points_array.get(), B_array.get()});
}

}  // namespace fluxkern
