// The host boundary: owned references, argument binding, number and array
// conversion, module-global lookup, result wrapping, error reporting.
//
// Every entry point is written against this header.  Host failures become a
// C++ `HostError` (the host exception is already set); `run_entry_point`
// catches at the boundary, adds the traceback entry and returns NULL, so no
// exception ever crosses into the interpreter.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <exception>
#include <initializer_list>
#include <memory>
#include <new>
#include <utility>

namespace fluxkern {

// A host error is pending; unwinding releases everything acquired so far.
struct HostError final : std::exception {
    const char* what() const noexcept override { return "the host error is already set"; }
};

// Sets a host exception and throws HostError.
[[noreturn]] void raise(PyObject* type, const char* message);
[[noreturn]] void raise_format(PyObject* type, const char* format, ...);

// An owned reference.  Ownership is spelled at every call site:
// `PyRef::steal(new_reference)` or `PyRef::ref(borrowed_reference)`.
// `steal` of NULL means the call that produced it failed: it throws.
class PyRef {
public:
    PyRef() noexcept = default;
    static PyRef steal(PyObject* o) {
        if (o == nullptr) throw HostError();
        return PyRef(o);
    }
    static PyRef ref(PyObject* o) noexcept {
        Py_XINCREF(o);
        return PyRef(o);
    }
    PyRef(PyRef&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    PyRef& operator=(PyRef&& other) noexcept {
        if (this != &other) {
            PyObject* old = std::exchange(p_, std::exchange(other.p_, nullptr));
            Py_XDECREF(old);
        }
        return *this;
    }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    ~PyRef() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    explicit PyRef(PyObject* o) noexcept : p_(o) {}
    PyObject* p_ = nullptr;
};

// ------------------------------------------------------------ interned names

// Identifiers and constants used at call time, created once by the
// module's execution step and kept for the life of the process.
struct Names {
    PyObject* np;
    PyObject* csr_array;
    PyObject* shape;
    PyObject* flatten;
    PyObject* ascontiguousarray;
    PyObject* asarray;
    PyObject* dtype;
    PyObject* double_;
    PyObject* int32;
    PyObject* zeros;
    PyObject* pi;
    PyObject* copy;
    PyObject* get_type_spec;
    PyObject* evaluate_mu;
    PyObject* get_spline_information;
    PyObject* value;
    PyObject* print;
    PyObject* module_name;
    PyObject* kw_dtype;  // ("dtype",)
    PyObject* kw_shape;  // ("shape",)
    PyObject* int_0;
    PyObject* int_1;
    PyObject* int_3;
    PyObject* int_4;
    PyObject* int_6;
    PyObject* int_8;
    PyObject* int_minus_1;
    PyObject* float_0;
    PyObject* float_1e_7;
};
extern Names names;

// Creates `names` (execution step); false with a host error on failure.
bool init_names();

// The builtin print, resolved once by the execution step.
extern PyObject* builtin_print;
// The module's namespace dict, set by the execution step (borrowed: the
// module object lives for the life of the process).
extern PyObject* module_dict;

// ---------------------------------------------------------- argument binding

// A function's name and its positional-or-keyword parameters in order; the
// interned parameter names are filled by the execution step.
struct Signature {
    const char* name;
    const char* const* param_names;
    int num_params;
    PyObject** interned;  // num_params entries
};

bool intern_signature(Signature& sig);

// Binds the fast-call arguments to the parameters of `sig`; out[k] receives
// a borrowed reference for every parameter.
void bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** out);

// -------------------------------------------------------- number conversions

double as_double(PyObject* o);
int32_t as_int32(PyObject* o);
size_t as_size(PyObject* o);

// -------------------------------------------------------- host helpers

PyRef get_attr(PyObject* o, PyObject* name);
PyRef get_item(PyObject* o, PyObject* index);            // o[index]
PyRef call_method0(PyObject* o, PyObject* name);          // o.name()
PyRef call1(PyObject* callable, PyObject* arg);           // callable(arg)
Py_ssize_t length(PyObject* o);                           // len(o)
bool truth(PyObject* o);
bool equals(PyObject* a, PyObject* b);                    // a == b, then truth
bool not_equals(PyObject* a, PyObject* b);                // a != b, then truth
PyRef new_int(long long v);
PyRef mul(PyObject* a, PyObject* b);
PyRef sub(PyObject* a, PyObject* b);
PyRef true_div(PyObject* a, PyObject* b);
PyRef make_tuple(std::initializer_list<PyObject*> items);  // borrowed items

// Calls the builtin print with one message string.
void print_message(const char* message);

// The module global `name` (np or csr_array), falling back to the builtins;
// NameError when neither has it.  Cached on the namespace's version.
PyRef module_global(PyObject* name);

// np.<attr>, looked up at this moment.
PyRef np_attr(PyObject* attr);

// obj.shape[index], the attribute looked up afresh at each use.
PyRef shape_item(PyObject* obj, PyObject* index);

// np.int32(len(cells) / el_nodes): true division, then NumPy's truncation.
PyRef element_count(PyObject* cells, PyObject* el_nodes);

// Unpacks an iterable into exactly `n` items.
void unpack(PyObject* seq, PyRef* out, Py_ssize_t n);

// --------------------------------------------------------- array conversion

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

// ------------------------------------------------------------------ results

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

// ---------------------------------------------------------------- boundary

// Ends a call: output blocks that no call took since the previous one are
// returned to the system.
void end_call() noexcept;

// Adds "fluxkern_mod.<name>" to the traceback of the pending exception.
void add_traceback(const char* qualified_name);

// Runs an entry point body; converts C++ failures into host exceptions.
template <class Body>
PyObject* run_entry_point(const char* qualified_name, Body&& body) noexcept {
    PyObject* result = nullptr;
    try {
        result = body().release();
    } catch (const HostError&) {
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
    }
    end_call();
    if (result) return result;
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
    add_traceback(qualified_name);
    return nullptr;
}

}  // namespace fluxkern
