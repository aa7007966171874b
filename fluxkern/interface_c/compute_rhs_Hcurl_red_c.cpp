// compute_rhs_Hcurl_red_c(nodes, cells, glob_ids, curls, d_phi, orientations,
// B_s, reluctance, x, q, w, num_dofs, num_el_dofs): the right-hand side of
// the reduced vector potential formulation alone.
#include "entry_points.hpp"
#include "fe_arrays.hpp"
#include "kernels.hpp"
#include "materials.hpp"

namespace fluxkern {

namespace {
const char* const param_names[] = {"nodes", "cells", "glob_ids", "curls", "d_phi",
                                   "orientations", "B_s", "reluctance", "x", "q", "w",
                                   "num_dofs", "num_el_dofs"};
PyObject* interned[13];
}  // namespace

Signature compute_rhs_Hcurl_red_c_signature = {"compute_rhs_Hcurl_red_c", param_names, 13,
                                               interned};

namespace {

PyRef run(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[13];
    bind_arguments(compute_rhs_Hcurl_red_c_signature, args, nargs, kwnames, a);
    PyObject *nodes = a[0], *cells = a[1], *glob_ids = a[2], *curls = a[3], *d_phi = a[4],
             *orientations = a[5], *B_s = a[6], *reluctance = a[7], *x = a[8], *q = a[9],
             *w = a[10], *num_dofs = a[11], *num_el_dofs = a[12];

    MeshCounts counts = mesh_counts(nodes, cells, d_phi);

    ReluctanceData rel = read_reluctance(reluctance);

    HcurlArrays arr = convert_hcurl_arrays(nodes, cells, glob_ids, x, q, w, curls, nullptr,
                                           d_phi, B_s, orientations);
    Buffer spl_x_c = plain_array(rel.spl_x.get(), Elem::f64);
    Buffer spl_c_c = flat_array(rel.spl_c.get(), Elem::f64);

    const Mesh mesh_c = mesh_record(counts, arr.nodes, arr.cells);
    const Quadrature quad_c = quadrature_record(w, arr.q, arr.w);
    const Reluctance rel_c = reluctance_record(reluctance, rel, spl_c_c, spl_x_c);
    ZeroedOutput rhs = zeroed_rhs(num_dofs);

    const int32_t n = as_int32(num_el_dofs);
    check_hcurl_arrays(arr, mesh_c, quad_c, n, rhs.length, true, false);

    compute_rhs_Hcurl_red_kernel(rhs.data, arr.glob_ids.i32(), rel_c, mesh_c, quad_c,
                                 arr.curls.f64(), arr.d_phi.f64(), arr.orientations.i32(),
                                 arr.B_s.f64(), arr.x.f64(), n);

    PyRef rhs_array = wrap_output(rhs.array.get());
    set_shape(rhs_array.get(), make_tuple({num_dofs}).get());
    return rhs_array;
}

}  // namespace

PyObject* compute_rhs_Hcurl_red_c(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
    return run_entry_point("fluxkern_mod.compute_rhs_Hcurl_red_c",
                           [&] { return run(args, nargs, kwnames); });
}

}  // namespace fluxkern
