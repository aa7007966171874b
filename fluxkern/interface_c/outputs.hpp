// Output buffers: NumPy arrays that a kernel writes into, whose storage is
// a block of the output pool owned through a capsule; their wrapping for
// return; and the limits on their sizes.
#pragma once

#include "convert.hpp"
#include "pyref.hpp"

namespace fluxkern {

// A new one-dimensional NumPy array of `count` elements for a kernel to
// write into.  Failure to obtain it is a ValueError (the kernel must not run).
PyRef new_output(Py_ssize_t count, Elem elem, const char* what);
void* output_data(PyObject* array);

// Wraps a kernel's output for return: zero length is the ValueError
// "Invalid shape in axis 0: 0." (raise_empty_output), then np.asarray(array).
PyRef wrap_output(PyObject* array);
[[noreturn]] void raise_empty_output();
// array.shape = shape
void set_shape(PyObject* array, PyObject* shape);

// The element count of an output buffer whose byte count `byte_count` the
// caller computed with host integers: the byte count is converted to a size
// (negative: OverflowError), and a count beyond the kernels' 32-bit index
// range is rejected with OverflowError before anything is allocated.
Py_ssize_t output_count(PyObject* byte_count, Elem elem, const char* what);

// The element count `count` (a host integer) converted to a size and
// limited to the 32-bit index range in the same way.
Py_ssize_t entry_count(PyObject* count, const char* what);

// Rejects a 64-bit count beyond the 32-bit index range of the kernels.
void require_int32_range(long long value, const char* what);

// a * b, clamped to the 64-bit range instead of overflowing: products of
// caller-supplied counts are only ever compared with a limit.
long long saturating_mul(long long a, long long b);

}  // namespace fluxkern
