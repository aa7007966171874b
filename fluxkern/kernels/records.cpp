// Record constructors.  Records only describe buffers owned by the caller;
// nothing here allocates or checks.
#include "kernels.hpp"

namespace fluxkern {

TripletList create_triplet_list(int32_t num_triplets, int32_t* i, int32_t* j, double* vals) {
    TripletList list{};
    list.count = 0;
    list.i = i;
    list.j = j;
    list.vals = vals;
    list.num_triplets = num_triplets;
    return list;
}

Mesh create_mesh(int32_t num_nodes, int32_t num_el, int32_t el_nodes,
                 const double* nodes, const int32_t* cells) {
    Mesh mesh{};
    mesh.num_nodes = num_nodes;
    mesh.num_el = num_el;
    mesh.el_nodes = el_nodes;
    mesh.nodes = nodes;
    mesh.cells = cells;
    return mesh;
}

Quadrature create_quadrature(int32_t num_points, const double* points, const double* weights) {
    Quadrature quad{};
    quad.num_points = num_points;
    quad.points = points;
    quad.weights = weights;
    return quad;
}

Permeability create_permeability(int32_t type_spec, int32_t spl_k, int32_t spl_num_coeffs,
                                 const double* spl_t, const double* spl_c,
                                 double spl_H_min, double spl_mu_H_min) {
    Permeability perm{};
    perm.type_spec = type_spec;
    perm.spl_k = spl_k;
    perm.spl_num_coeffs = spl_num_coeffs;
    perm.spl_t = spl_t;
    perm.spl_c = spl_c;
    perm.spl_H_min = spl_H_min;
    perm.spl_mu_H_min = spl_mu_H_min;
    return perm;
}

Reluctance create_reluctance(int32_t type_spec, int32_t num_intervals,
                             const double* spl_c, const double* spl_x) {
    Reluctance rel{};
    rel.type_spec = type_spec;
    rel.num_intervals = num_intervals;
    rel.spl_c = spl_c;
    rel.spl_x = spl_x;
    return rel;
}

// append_triplet is defined inline in kernels.hpp.

}  // namespace fluxkern
