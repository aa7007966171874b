// What the four finite-element entry points share: the derived counts, the
// records over the converted arrays, the arrays of each formulation with
// the check of every index and length its kernel reads, and the zeroed
// right-hand side.
#pragma once

#include "convert.hpp"
#include "kernels.hpp"

namespace fluxkern {

// num_nodes = nodes.shape[0], el_nodes = d_phi.shape[1],
// num_el = np.int32(len(cells) / el_nodes), as host objects.
struct MeshCounts {
    PyRef num_nodes, el_nodes, num_el;
};
MeshCounts mesh_counts(PyObject* nodes, PyObject* cells, PyObject* d_phi);

// The Mesh record, the three counts converted to int32 in order.
Mesh mesh_record(const MeshCounts& counts, const Buffer& nodes_c, const Buffer& cells_c);

// The Quadrature record with len(w) points.
Quadrature quadrature_record(PyObject* w, const Buffer& q_c, const Buffer& w_c);

// ------------------------------------------------------- scalar potential

struct ScalarArrays {
    Buffer nodes, cells, x, q, w, d_phi;
};

// Converts in the function's order: nodes, cells, x, q, w, d_phi.
ScalarArrays convert_scalar_arrays(PyObject* nodes, PyObject* cells, PyObject* x, PyObject* q,
                                   PyObject* w, PyObject* d_phi);

// Every index and length the scalar-potential kernel reads: the mesh, an
// entry of x for every node it uses, the tables for M points, and room in
// the lists (`capacity`) for the num_el * el_nodes**2 entries the elements
// append.
void check_scalar_arrays(const ScalarArrays& a, const Mesh& mesh, const Quadrature& quad,
                         int32_t capacity);

// ----------------------------------------------------------------- H(curl)

// The converted arrays of the H(curl) functions.  phi and B_s are only
// converted where the function takes them.
struct HcurlArrays {
    Buffer nodes, cells, glob_ids, x, q, w, curls, phi, d_phi, B_s, orientations;
};

// Converts in the functions' order: nodes, cells, glob_ids, x, q, w, curls,
// phi (if given), d_phi, B_s (if given), orientations.
HcurlArrays convert_hcurl_arrays(PyObject* nodes, PyObject* cells, PyObject* glob_ids,
                                 PyObject* x, PyObject* q, PyObject* w, PyObject* curls,
                                 PyObject* phi, PyObject* d_phi, PyObject* B_s,
                                 PyObject* orientations);

// The tables a kernel reads beyond the common ones.
enum class Reads : unsigned { common = 0, B_s = 1, phi = 2 };

// Every index and length an H(curl) kernel reads: the mesh, n global ids per
// element (each below `id_bound` and with an entry in x), an orientation
// block of n * M * 3 curls per element, the tables for M points, and the
// source field or phi table where the kernel reads them.
void check_hcurl_arrays(const HcurlArrays& a, const Mesh& mesh, const Quadrature& quad,
                        int32_t n, long long id_bound, Reads reads);

// A right-hand side of num_dofs zeros for a kernel to accumulate into.
struct ZeroedOutput {
    PyRef array;
    double* data;
    Py_ssize_t length;
};
ZeroedOutput zeroed_rhs(PyObject* num_dofs);

}  // namespace fluxkern
