// Checks that every index and length a kernel will use lies within the
// converted buffers, so that no call can read or write out of bounds.
// Each failure is a host exception raised before the kernel runs.
#pragma once

#include "convert.hpp"
#include "kernels.hpp"

namespace fluxkern {

// `buffer` must hold at least `needed` values (ValueError).
void require_length(const Buffer& buffer, long long needed, const char* what);

// A count that the host derived must not be negative (ValueError).
void require_non_negative(long long value, const char* what);

// nodes holds 3 values per node; cells holds el_nodes indices per element,
// each a node of the mesh (IndexError).  Returns the largest node index used.
int32_t check_mesh(const Mesh& mesh, const Buffer& nodes_c, const Buffer& cells_c);

// The first `count` entries of `indices` lie in 0 .. bound - 1 (IndexError);
// returns the largest of them (-1 when count is 0).
int32_t check_indices(const Buffer& indices, long long count, long long bound, const char* what,
                      const char* bound_name);

// `x` has an entry for every index up to `max_index` (ValueError).
void require_entries(const Buffer& x, int32_t max_index, const char* what, const char* index_name);

// Every element's orientation class selects a whole block of
// `block_size` values within `curls` (IndexError).
void check_orientations(const Buffer& orientations, long long num_el, const Buffer& curls,
                        long long block_size);

}  // namespace fluxkern
