// compute_rhs_Hcurl_red_c(nodes, cells, glob_ids, curls, d_phi, orientations,
// B_s, reluctance, x, q, w, num_dofs, num_el_dofs): the right-hand side of
// the reduced vector potential formulation alone.
#include <cstring>

#include "entry_points.hpp"
#include "kernels.hpp"
#include "materials.hpp"
#include "validation.hpp"

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

    PyRef num_nodes = shape_item(nodes, names.int_0);
    PyRef el_nodes = shape_item(d_phi, names.int_1);
    PyRef num_el = element_count(cells, el_nodes.get());

    ReluctanceData rel = read_reluctance(reluctance);

    Buffer nodes_c = flat_array(nodes, Elem::f64);
    Buffer cells_c = flat_array(cells, Elem::i32);
    Buffer glob_ids_c = flat_array(glob_ids, Elem::i32);
    Buffer x_c = flat_array(x, Elem::f64);
    Buffer q_c = flat_array(q, Elem::f64);
    Buffer w_c = flat_array(w, Elem::f64);
    Buffer curls_c = flat_array(curls, Elem::f64);
    Buffer d_phi_c = flat_array(d_phi, Elem::f64);
    Buffer B_s_c = flat_array(B_s, Elem::f64);
    Buffer orientations_c = flat_array(orientations, Elem::i32);
    Buffer spl_x_c = plain_array(rel.spl_x.get(), Elem::f64);
    Buffer spl_c_c = flat_array(rel.spl_c.get(), Elem::f64);

    const Mesh mesh_c = create_mesh(as_int32(num_nodes.get()), as_int32(num_el.get()),
                                    as_int32(el_nodes.get()), nodes_c.f64(), cells_c.i32());
    const Quadrature quad_c = create_quadrature(as_int32(new_int(length(w)).get()), q_c.f64(),
                                                w_c.f64());
    const Reluctance rel_c = reluctance_record(reluctance, rel, spl_c_c, spl_x_c);

    PyRef rhs = new_output(entry_count(num_dofs, "the right-hand side"), Elem::f64,
                           "right-hand side buffer");
    const Py_ssize_t rhs_length = PyObject_Length(rhs.get());
    double* rhs_c = static_cast<double*>(output_data(rhs.get()));
    std::memset(rhs_c, 0, sizeof(double) * static_cast<size_t>(rhs_length));

    const int32_t n = as_int32(num_el_dofs);
    HcurlInputs in{};
    in.mesh = &mesh_c;
    in.quad = &quad_c;
    in.n = n;
    in.id_bound = rhs_length;
    in.nodes = &nodes_c;
    in.cells = &cells_c;
    in.glob_ids = &glob_ids_c;
    in.x = &x_c;
    in.w = &w_c;
    in.curls = &curls_c;
    in.d_phi = &d_phi_c;
    in.orientations = &orientations_c;
    in.B_s = &B_s_c;
    check_hcurl_inputs(in);

    compute_rhs_Hcurl_red_kernel(rhs_c, glob_ids_c.i32(), rel_c, mesh_c, quad_c, curls_c.f64(),
                                 d_phi_c.f64(), orientations_c.i32(), B_s_c.f64(), x_c.f64(), n);

    PyRef rhs_array = wrap_output(rhs.get());
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
