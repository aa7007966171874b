// Conversions at the host boundary: numbers, module globals, array
// arguments into contiguous buffers, and the unpacking of sequences.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "pyref.hpp"

namespace fluxkern {

// ------------------------------------------------------------------ numbers

// A host float as is, anything else through its float conversion.
double as_double(PyObject* o);
// A host int (bools included) as is, anything else through its __int__;
// OverflowError outside the 32-bit range.
int32_t as_int32(PyObject* o);
// OverflowError for a negative value.
std::size_t as_size(PyObject* o);

// ---------------------------------------------------- module globals, numpy

// The module global `name` (np or csr_array), looked up at every use,
// falling back to the builtins; NameError when neither has it.
PyRef module_global(PyObject* name);

// np.<attr>, looked up at this moment.
PyRef np_attr(PyObject* attr);

// obj.shape[index], the attribute looked up afresh at each use.
PyRef shape_item(PyObject* obj, PyObject* index);

// np.int32(len(cells) / el_nodes): true division, then NumPy's truncation.
PyRef element_count(PyObject* cells, PyObject* el_nodes);

// Unpacks an iterable into exactly `n` items, with the host's messages.
void unpack(PyObject* seq, PyRef* out, Py_ssize_t n);

// Calls the builtin print with one message string (the input errors that
// are reported, not raised).
void print_message(const char* message);

// ------------------------------------------------------------------ buffers

enum class Elem { f64, i32 };

// A one-dimensional C-contiguous buffer of doubles or int32 held for the call.
// The Py_buffer lives on the heap: exporters may point into it, so its
// address must not change while it is held.
class Buffer {
public:
    // Takes a buffer of `array`; checks dimension, element type, contiguity.
    static Buffer acquire(PyObject* array, Elem elem);

    Py_ssize_t size() const noexcept { return size_; }
    const double* f64() const noexcept { return static_cast<const double*>(data_); }
    const int32_t* i32() const noexcept { return static_cast<const int32_t*>(data_); }

private:
    struct Release {
        void operator()(Py_buffer* view) const noexcept {
            PyBuffer_Release(view);
            delete view;
        }
    };
    std::unique_ptr<Py_buffer, Release> view_;
    const void* data_ = nullptr;
    Py_ssize_t size_ = 0;
};

// np.ascontiguousarray(arg.flatten(), dtype=np.double / np.int32).
Buffer flat_array(PyObject* arg, Elem elem);
// np.ascontiguousarray(arg, dtype=...), without flattening: arg must already
// be one-dimensional.
Buffer plain_array(PyObject* arg, Elem elem);

}  // namespace fluxkern
