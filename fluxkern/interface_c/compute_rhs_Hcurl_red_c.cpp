// compute_rhs_Hcurl_red_c(nodes, cells, glob_ids, curls, d_phi, orientations,
// B_s, reluctance, x, q, w, num_dofs, num_el_dofs): the right-hand side of
// the reduced vector potential formulation alone.
#include "entry_point.hpp"
#include "fe_arrays.hpp"
#include "kernels.hpp"
#include "materials.hpp"
#include "outputs.hpp"

namespace fluxkern {

FLUXKERN_ENTRY_POINT(compute_rhs_Hcurl_red_c, nodes, cells, glob_ids, curls, d_phi, orientations,
                     B_s, reluctance, x, q, w, num_dofs, num_el_dofs) {
    MeshCounts counts = mesh_counts(args[nodes], args[cells], args[d_phi]);

    ReluctanceData rel = read_reluctance(args[reluctance]);

    HcurlArrays arr =
        convert_hcurl_arrays(args[nodes], args[cells], args[glob_ids], args[x], args[q], args[w],
                             args[curls], nullptr, args[d_phi], args[B_s], args[orientations]);
    convert_curve(rel);

    const Mesh mesh_c = mesh_record(counts, arr.nodes, arr.cells);
    const Quadrature quad_c = quadrature_record(args[w], arr.q, arr.w);
    const Reluctance rel_c = reluctance_record(args[reluctance], rel);
    ZeroedOutput rhs = zeroed_rhs(args[num_dofs]);

    const int32_t n = as_int32(args[num_el_dofs]);
    check_hcurl_arrays(arr, mesh_c, quad_c, n, rhs.length, Reads::B_s);

    compute_rhs_Hcurl_red_kernel(rhs.data, arr.glob_ids.i32(), rel_c, mesh_c, quad_c,
                                 arr.curls.f64(), arr.d_phi.f64(), arr.orientations.i32(),
                                 arr.B_s.f64(), arr.x.f64(), n);

    PyRef rhs_array = wrap_output(rhs.array.get());
    set_shape(rhs_array.get(), make_tuple({args[num_dofs]}).get());
    return rhs_array;
}

}  // namespace fluxkern
