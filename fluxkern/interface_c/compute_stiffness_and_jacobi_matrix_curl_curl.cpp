// compute_stiffness_and_jacobi_matrix_curl_curl(nodes, cells, glob_ids, curls,
// d_phi, orientations, x, B_s, reluctance, q, w, num_dofs, num_el_dofs):
// stiffness matrix, Newton term and reduced right-hand side of the vector
// potential formulation.
#include "entry_points.hpp"
#include "fe_arrays.hpp"
#include "kernels.hpp"
#include "materials.hpp"
#include "triplets.hpp"

namespace fluxkern {

namespace {
const char* const param_names[] = {"nodes",    "cells", "glob_ids",   "curls", "d_phi",
                                   "orientations", "x", "B_s", "reluctance", "q", "w",
                                   "num_dofs", "num_el_dofs"};
PyObject* interned[13];
}  // namespace

Signature compute_stiffness_and_jacobi_matrix_curl_curl_signature = {
    "compute_stiffness_and_jacobi_matrix_curl_curl", param_names, 13, interned};

namespace {

PyRef run(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[13];
    bind_arguments(compute_stiffness_and_jacobi_matrix_curl_curl_signature, args, nargs, kwnames,
                   a);
    PyObject *nodes = a[0], *cells = a[1], *glob_ids = a[2], *curls = a[3], *d_phi = a[4],
             *orientations = a[5], *x = a[6], *B_s = a[7], *reluctance = a[8], *q = a[9],
             *w = a[10], *num_dofs = a[11], *num_el_dofs = a[12];

    MeshCounts counts = mesh_counts(nodes, cells, d_phi);
    require_int32_range(
        saturating_mul(saturating_mul(as_int32(counts.num_el.get()), as_int32(num_el_dofs)),
                       as_int32(num_el_dofs)),
        "num_el * num_el_dofs * num_el_dofs");
    PyRef num_triplets = mul(mul(counts.num_el.get(), num_el_dofs).get(), num_el_dofs);

    ReluctanceData rel = read_reluctance(reluctance);

    HcurlArrays arr = convert_hcurl_arrays(nodes, cells, glob_ids, x, q, w, curls, nullptr,
                                           d_phi, B_s, orientations);
    Buffer spl_x_c = plain_array(rel.spl_x.get(), Elem::f64);
    Buffer spl_c_c = flat_array(rel.spl_c.get(), Elem::f64);

    TripletOutput K = allocate_triplets(num_triplets.get());
    TripletOutput dK = allocate_triplets(num_triplets.get());

    const Reluctance rel_c = reluctance_record(reluctance, rel, spl_c_c, spl_x_c);
    const Mesh mesh_c = mesh_record(counts, arr.nodes, arr.cells);
    const Quadrature quad_c = quadrature_record(w, arr.q, arr.w);
    ZeroedOutput rhs = zeroed_rhs(num_dofs);
    const bool with_source = length(B_s) != 0;

    // The kernel derives its local function count from the list capacity.
    if (mesh_c.num_el <= 0)
        raise(PyExc_ValueError,
              "the mesh has no elements (len(cells) is smaller than d_phi.shape[1])");
    const int32_t n = local_function_count(K.list.num_triplets, mesh_c.num_el);
    // Without local functions the kernel appends nothing and the wrapping
    // below would fail after it ran; fail the same way now (the kernel
    // would size a per-class cache by orientation values nothing bounds).
    if (n == 0) raise_empty_output();
    check_hcurl_arrays(arr, mesh_c, quad_c, n, rhs.length, with_source, false);

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
    set_shape(rhs_array.get(), make_tuple({num_dofs}).get());
    PyRef shape = make_tuple({num_dofs, num_dofs});
    PyRef K_matrix = to_csr(K_arrays, shape.get());
    PyRef dK_matrix = to_csr(dK_arrays, shape.get());
    return make_tuple({K_matrix.get(), dK_matrix.get(), rhs_array.get()});
}

}  // namespace

PyObject* compute_stiffness_and_jacobi_matrix_curl_curl(PyObject*, PyObject* const* args,
                                                        Py_ssize_t nargs, PyObject* kwnames) {
    return run_entry_point("fluxkern_mod.compute_stiffness_and_jacobi_matrix_curl_curl",
                           [&] { return run(args, nargs, kwnames); });
}

}  // namespace fluxkern
