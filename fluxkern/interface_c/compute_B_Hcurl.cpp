// compute_B_Hcurl(nodes, cells, glob_ids, curls, phi, d_phi, orientations, x,
// q, w, num_dofs, num_el_dofs): physical evaluation points and B = curl A.
#include "entry_points.hpp"
#include "kernels.hpp"
#include "validation.hpp"

#include <climits>

namespace fluxkern {

namespace {
const char* const param_names[] = {"nodes", "cells", "glob_ids", "curls", "phi", "d_phi",
                                   "orientations", "x", "q", "w", "num_dofs", "num_el_dofs"};
PyObject* interned[12];
}  // namespace

Signature compute_B_Hcurl_signature = {"compute_B_Hcurl", param_names, 12, interned};

namespace {

PyRef run(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[12];
    bind_arguments(compute_B_Hcurl_signature, args, nargs, kwnames, a);
    PyObject *nodes = a[0], *cells = a[1], *glob_ids = a[2], *curls = a[3], *phi = a[4],
             *d_phi = a[5], *orientations = a[6], *x = a[7], *q = a[8], *w = a[9],
             *num_el_dofs = a[11];  // num_dofs (a[10]) is accepted and ignored

    PyRef num_nodes = shape_item(nodes, names.int_0);
    PyRef el_nodes = shape_item(d_phi, names.int_1);
    PyRef num_el = element_count(cells, el_nodes.get());

    Buffer nodes_c = flat_array(nodes, Elem::f64);
    Buffer c_c = flat_array(cells, Elem::i32);
    Buffer glob_ids_c = flat_array(glob_ids, Elem::i32);
    Buffer x_c = flat_array(x, Elem::f64);
    Buffer q_c = flat_array(q, Elem::f64);
    Buffer w_c = flat_array(w, Elem::f64);
    Buffer curls_c = flat_array(curls, Elem::f64);
    Buffer phi_c = flat_array(phi, Elem::f64);
    Buffer d_phi_c = flat_array(d_phi, Elem::f64);
    Buffer orientations_c = flat_array(orientations, Elem::i32);

    // Both outputs hold 3 values per evaluation position of every element.
    // len(w) is taken once: the outputs and the kernel must agree on it.
    const Py_ssize_t M = length(w);
    const long long num_positions = saturating_mul(as_int32(num_el.get()), M);
    require_non_negative(num_positions, "the number of evaluation positions");
    require_int32_range(saturating_mul(3, num_positions), "3 * num_el * len(w)");
    PyRef B_c = new_output(3 * num_positions, Elem::f64, "field buffer");
    PyRef points_c = new_output(3 * num_positions, Elem::f64, "point buffer");

    const Mesh mesh_c = create_mesh(as_int32(num_nodes.get()), as_int32(num_el.get()),
                                    as_int32(el_nodes.get()), nodes_c.f64(), c_c.i32());
    const Quadrature quad_c = create_quadrature(as_int32(new_int(M).get()), q_c.f64(),
                                                w_c.f64());
    const int32_t n = as_int32(num_el_dofs);

    HcurlInputs in{};
    in.mesh = &mesh_c;
    in.quad = &quad_c;
    in.n = n;
    in.id_bound = static_cast<long long>(INT32_MAX) + 1;  // no matrix or vector of num_dofs
    in.nodes = &nodes_c;
    in.cells = &c_c;
    in.glob_ids = &glob_ids_c;
    in.x = &x_c;
    in.w = &w_c;
    in.curls = &curls_c;
    in.d_phi = &d_phi_c;
    in.orientations = &orientations_c;
    in.phi = &phi_c;
    check_hcurl_inputs(in);

    compute_B_Hcurl_kernel(static_cast<double*>(output_data(points_c.get())),
                           static_cast<double*>(output_data(B_c.get())), n, glob_ids_c.i32(),
                           mesh_c, quad_c, curls_c.f64(), phi_c.f64(), d_phi_c.f64(),
                           orientations_c.i32(), x_c.f64());

    PyRef B_array = wrap_output(B_c.get());
    PyRef points_array = wrap_output(points_c.get());
    PyRef shape = make_tuple({new_int(num_positions).get(), names.int_3});
    set_shape(points_array.get(), shape.get());
    set_shape(B_array.get(), shape.get());
    return make_tuple({points_array.get(), B_array.get()});
}

}  // namespace

PyObject* compute_B_Hcurl(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return run_entry_point("fluxkern_mod.compute_B_Hcurl",
                           [&] { return run(args, nargs, kwnames); });
}

}  // namespace fluxkern
