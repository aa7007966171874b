// compute_stiffness_and_jacobi_matrix(nodes, cells, d_phi, x, permeability, q, w):
// stiffness matrix and Newton term of the nonlinear scalar potential.
#include "entry_points.hpp"
#include "fe_arrays.hpp"
#include "kernels.hpp"
#include "materials.hpp"
#include "triplets.hpp"
#include "validation.hpp"

namespace fluxkern {

namespace {
const char* const param_names[] = {"nodes", "cells", "d_phi", "x", "permeability", "q", "w"};
PyObject* interned[7];
}  // namespace

Signature compute_stiffness_and_jacobi_matrix_signature = {
    "compute_stiffness_and_jacobi_matrix", param_names, 7, interned};

namespace {

PyRef run(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[7];
    bind_arguments(compute_stiffness_and_jacobi_matrix_signature, args, nargs, kwnames, a);
    PyObject *nodes = a[0], *cells = a[1], *d_phi = a[2], *x = a[3], *permeability = a[4],
             *q = a[5], *w = a[6];

    MeshCounts counts = mesh_counts(nodes, cells, d_phi);
    PyObject *num_nodes = counts.num_nodes.get(), *el_nodes = counts.el_nodes.get(),
             *num_el = counts.num_el.get();
    // The triplet capacity is a 32-bit count: reject it exactly, before the
    // host's 32-bit scalar product could wrap around.
    const long long entries = saturating_mul(
        saturating_mul(as_int32(num_el), as_int32(el_nodes)), as_int32(el_nodes));
    require_int32_range(entries, "num_el * el_nodes * el_nodes");
    PyRef num_triplets = mul(mul(num_el, el_nodes).get(), el_nodes);

    PermeabilityData perm = read_permeability(permeability);

    Buffer nodes_c = flat_array(nodes, Elem::f64);
    Buffer cells_c = flat_array(cells, Elem::i32);
    Buffer x_c = flat_array(x, Elem::f64);
    Buffer q_c = flat_array(q, Elem::f64);
    Buffer w_c = flat_array(w, Elem::f64);
    Buffer d_phi_c = flat_array(d_phi, Elem::f64);
    Buffer spl_t_c = plain_array(perm.spl_t.get(), Elem::f64);
    Buffer spl_c_c = plain_array(perm.spl_c.get(), Elem::f64);

    TripletOutput K = allocate_triplets(num_triplets.get());
    TripletOutput dK = allocate_triplets(num_triplets.get());

    const Permeability perm_c = permeability_record(permeability, perm, spl_t_c, spl_c_c);
    const Mesh mesh_c = mesh_record(counts, nodes_c, cells_c);
    const Quadrature quad_c = quadrature_record(w, q_c, w_c);

    // The kernel appends el_nodes**2 entries per element without looking at
    // the capacity, which the host product gave (an object with its own
    // arithmetic can make that product anything).
    if (K.list.num_triplets < entries)
        raise_format(PyExc_ValueError,
                     "num_el * el_nodes * el_nodes gave room for %d matrix entries, but the "
                     "elements add %lld",
                     K.list.num_triplets, entries);
    const int32_t largest_node = check_mesh(mesh_c, nodes_c, cells_c);
    require_entries(x_c, largest_node, "x", "cells");
    require_length(w_c, quad_c.num_points, "w");
    require_length(d_phi_c, 3LL * quad_c.num_points * mesh_c.el_nodes, "d_phi");

    compute_stiffness_and_jacobi_matrix_kernel(K.list, dK.list, mesh_c, quad_c, d_phi_c.f64(),
                                               x_c.f64(), perm_c);

    WrappedTriplets K_arrays = wrap_triplets(K);
    WrappedTriplets dK_arrays = wrap_triplets(dK);
    PyRef shape = make_tuple({num_nodes, num_nodes});
    PyRef K_matrix = to_csr(K_arrays, shape.get());
    PyRef dK_matrix = to_csr(dK_arrays, shape.get());
    return make_tuple({K_matrix.get(), dK_matrix.get()});
}

}  // namespace

PyObject* compute_stiffness_and_jacobi_matrix(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                              PyObject* kwnames) {
    return run_entry_point("fluxkern_mod.compute_stiffness_and_jacobi_matrix",
                           [&] { return run(args, nargs, kwnames); });
}

}  // namespace fluxkern
