// Input checks of the finite-element entry points.
#include "validation.hpp"

#include <climits>

namespace fluxkern {

void require_length(const Buffer& buffer, long long needed, const char* what) {
    if (buffer.size() < needed)
        raise_format(PyExc_ValueError, "%s holds %zd values, but %lld are needed", what,
                     buffer.size(), needed);
}

void require_non_negative(long long value, const char* what) {
    if (value < 0) raise_format(PyExc_ValueError, "%s must not be negative (got %lld)", what, value);
}

int32_t check_indices(const Buffer& indices, long long count, long long bound, const char* what,
                      const char* bound_name) {
    require_length(indices, count, what);
    const int32_t* v = indices.i32();
    int32_t largest = -1;
    for (long long k = 0; k < count; ++k) {
        if (v[k] < 0 || v[k] >= bound)
            raise_format(PyExc_IndexError, "%s[%lld] = %d is outside 0 .. %s - 1 = %lld", what, k,
                         v[k], bound_name, bound - 1);
        if (v[k] > largest) largest = v[k];
    }
    return largest;
}

int32_t check_mesh(const Mesh& mesh, const Buffer& nodes_c, const Buffer& cells_c) {
    require_non_negative(mesh.num_nodes, "the number of nodes");
    require_non_negative(mesh.num_el, "the number of elements");
    require_non_negative(mesh.el_nodes, "the number of nodes per element");
    require_length(nodes_c, 3LL * mesh.num_nodes, "nodes");
    return check_indices(cells_c, static_cast<long long>(mesh.num_el) * mesh.el_nodes,
                         mesh.num_nodes, "cells", "num_nodes");
}

void require_entries(const Buffer& x, int32_t max_index, const char* what, const char* index_name) {
    if (x.size() <= max_index)
        raise_format(PyExc_ValueError, "%s holds %zd values, but %s refers to entry %d", what,
                     x.size(), index_name, max_index);
}

void check_orientations(const Buffer& orientations, long long num_el, const Buffer& curls,
                        long long block_size) {
    require_length(orientations, num_el, "orientations");
    const int32_t* o = orientations.i32();
    // Compared by division: (o + 1) * block_size can overflow for a huge block.
    const long long blocks = block_size > 0    ? curls.size() / block_size
                             : block_size == 0 ? LLONG_MAX
                                               : 0;
    for (long long e = 0; e < num_el; ++e) {
        if (o[e] < 0 || o[e] >= blocks)
            raise_format(PyExc_IndexError,
                         "orientations[%lld] = %d selects no block of curls (%zd values hold %lld "
                         "blocks of %lld)",
                         e, o[e], curls.size(), block_size > 0 ? blocks : 0LL, block_size);
    }
}

}  // namespace fluxkern
