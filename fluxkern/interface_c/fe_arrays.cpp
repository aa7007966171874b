// Shared pieces of the finite-element entry points.
#include "fe_arrays.hpp"

#include <climits>
#include <cstring>
#include <initializer_list>

#include "outputs.hpp"
#include "state.hpp"
#include "validation.hpp"

namespace fluxkern {

MeshCounts mesh_counts(PyObject* nodes, PyObject* cells, PyObject* d_phi) {
    MeshCounts c;
    c.num_nodes = shape_item(nodes, names().int_0.get());
    c.el_nodes = shape_item(d_phi, names().int_1.get());
    c.num_el = element_count(cells, c.el_nodes.get());
    return c;
}

Mesh mesh_record(const MeshCounts& counts, const Buffer& nodes_c, const Buffer& cells_c) {
    const int32_t num_nodes = as_int32(counts.num_nodes.get());
    const int32_t num_el = as_int32(counts.num_el.get());
    const int32_t el_nodes = as_int32(counts.el_nodes.get());
    return create_mesh(num_nodes, num_el, el_nodes, nodes_c.f64(), cells_c.i32());
}

Quadrature quadrature_record(PyObject* w, const Buffer& q_c, const Buffer& w_c) {
    PyRef num_points = new_int(length(w));
    return create_quadrature(as_int32(num_points.get()), q_c.f64(), w_c.f64());
}

// ------------------------------------------------------- scalar potential

namespace {

// One argument to convert (flattened) into its buffer; absent when null.
struct Conversion {
    Buffer* into;
    PyObject* arg;
    Elem elem;
};

// Converts the arguments in the order given.
void convert_in_order(std::initializer_list<Conversion> conversions) {
    for (const Conversion& c : conversions)
        if (c.arg) *c.into = flat_array(c.arg, c.elem);
}

constexpr Elem f64 = Elem::f64, i32 = Elem::i32;

}  // namespace

ScalarArrays convert_scalar_arrays(PyObject* nodes, PyObject* cells, PyObject* x, PyObject* q,
                                   PyObject* w, PyObject* d_phi) {
    ScalarArrays a;
    convert_in_order({{&a.nodes, nodes, f64}, {&a.cells, cells, i32}, {&a.x, x, f64},
                      {&a.q, q, f64}, {&a.w, w, f64}, {&a.d_phi, d_phi, f64}});
    return a;
}

void check_scalar_arrays(const ScalarArrays& a, const Mesh& mesh, const Quadrature& quad,
                         int32_t capacity) {
    // The kernel appends el_nodes**2 entries per element without looking at
    // the capacity, which the host product gave (an object with its own
    // arithmetic can make that product anything, and its counts can differ
    // from one reading to the next): compare with the counts the kernel uses.
    const long long entries =
        saturating_mul(saturating_mul(mesh.num_el, mesh.el_nodes), mesh.el_nodes);
    if (capacity < entries)
        raise_format(PyExc_ValueError,
                     "num_el * el_nodes * el_nodes gave room for %d matrix entries, but the "
                     "elements add %lld",
                     capacity, entries);
    const int32_t largest_node = check_mesh(mesh, a.nodes, a.cells);
    require_entries(a.x, largest_node, "x", "cells");
    require_length(a.w, quad.num_points, "w");
    require_length(a.d_phi, saturating_mul(3LL * quad.num_points, mesh.el_nodes), "d_phi");
}

// ----------------------------------------------------------------- H(curl)

HcurlArrays convert_hcurl_arrays(PyObject* nodes, PyObject* cells, PyObject* glob_ids,
                                 PyObject* x, PyObject* q, PyObject* w, PyObject* curls,
                                 PyObject* phi, PyObject* d_phi, PyObject* B_s,
                                 PyObject* orientations) {
    HcurlArrays a;
    convert_in_order({{&a.nodes, nodes, f64}, {&a.cells, cells, i32}, {&a.glob_ids, glob_ids, i32},
                      {&a.x, x, f64}, {&a.q, q, f64}, {&a.w, w, f64}, {&a.curls, curls, f64},
                      {&a.phi, phi, f64}, {&a.d_phi, d_phi, f64}, {&a.B_s, B_s, f64},
                      {&a.orientations, orientations, i32}});
    return a;
}

void check_hcurl_arrays(const HcurlArrays& a, const Mesh& mesh, const Quadrature& quad,
                        int32_t n, long long id_bound, Reads reads) {
    const long long E = mesh.num_el, M = quad.num_points, N = mesh.el_nodes;
    auto reads_table = [reads](Reads t) { return (unsigned(reads) & unsigned(t)) != 0; };
    check_mesh(mesh, a.nodes, a.cells);
    require_non_negative(n, "the number of local functions per element");
    require_length(a.w, M, "w");
    require_length(a.d_phi, saturating_mul(3 * M, N), "d_phi");
    if (reads_table(Reads::phi)) require_length(a.phi, M * N, "phi");
    const int32_t largest_id = check_indices(a.glob_ids, E * n, id_bound, "glob_ids",
                                             id_bound > INT32_MAX ? "2**31" : "num_dofs");
    require_entries(a.x, largest_id, "x", "glob_ids");
    check_orientations(a.orientations, E, a.curls, saturating_mul(n * M, 3));
    if (reads_table(Reads::B_s)) require_length(a.B_s, saturating_mul(E * M, 3), "B_s");
}

ZeroedOutput zeroed_rhs(PyObject* num_dofs) {
    ZeroedOutput r;
    r.length = entry_count(num_dofs, "the right-hand side");
    r.array = new_output(r.length, Elem::f64, "right-hand side buffer");
    r.data = static_cast<double*>(output_data(r.array.get()));
    std::memset(r.data, 0, sizeof(double) * static_cast<size_t>(r.length));
    return r;
}

}  // namespace fluxkern
