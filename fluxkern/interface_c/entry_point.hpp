// Defining an entry point: one macro carries the function's name and its
// parameter list, and is followed by the body,
//
//     FLUXKERN_ENTRY_POINT(compute_B_line_segs_cpp, src, tar, current, radius) {
//         ... args[src] ...
//     }
//
// It defines the C function that the host calls (fast call with keywords),
// the function's definition `<name>_entry` (name, parameter names,
// docstring, C function) that the module frame registers, and the body,
// which sees each bound parameter as args[<parameter>] (a borrowed
// reference) and returns the result.  Binding, the catching of C++ failures,
// the traceback entry and the end of the call are the same for all five.
#pragma once

#include <new>

#include "binding.hpp"
#include "docstrings.hpp"
#include "pyref.hpp"
#include "state.hpp"

namespace fluxkern {

using EntryFunction = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

struct EntryPoint {
    const char* name;        // the function's name
    const char* qualified;   // "fluxkern_mod.<name>", for the traceback entry
    const char* parameters;  // "a, b, c": the names in order
    int count;               // the number of parameters
    const char* doc;
    EntryFunction function;
};

// The bound arguments of a call, by parameter.
template <int N>
struct Arguments {
    PyObject* bound[N];
    PyObject* operator[](int k) const { return bound[k]; }
};

// Ends a call: output blocks that no call took for a while go back.
inline void end_call() noexcept { process().pool.end_call(); }

// Adds "fluxkern_mod.<name>" to the traceback of the pending exception.
void add_traceback(const char* qualified_name);

// Binds the arguments, runs the body and turns every C++ failure into a
// host exception: no exception crosses into the interpreter.
template <int N>
PyObject* call_entry_point(const EntryPoint& entry, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames, PyRef (*body)(const Arguments<N>&)) noexcept {
    PyObject* result = nullptr;
    try {
        Arguments<N> bound;
        bind_arguments(entry.name, entry.count, parameter_names(entry), args, nargs, kwnames,
                       bound.bound);
        result = body(bound).release();
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
    add_traceback(entry.qualified);
    return nullptr;
}

#define FLUXKERN_ENTRY_POINT(function, ...)                                                     \
    namespace function##_parameters {                                                          \
    enum : int { __VA_ARGS__, kCount };                                                        \
    PyRef body(const Arguments<kCount>& args);                                                 \
    }                                                                                          \
    PyObject* function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames); \
    extern const EntryPoint function##_entry = {#function,        "fluxkern_mod." #function,   \
                                                #__VA_ARGS__,     function##_parameters::kCount, \
                                                docstrings::function, function};               \
    PyObject* function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) { \
        return call_entry_point(function##_entry, args, nargs, kwnames,                         \
                                function##_parameters::body);                                  \
    }                                                                                          \
    PyRef function##_parameters::body(const Arguments<function##_parameters::kCount>& args)

// The five functions, in the order the module binds them.
extern const EntryPoint compute_stiffness_and_jacobi_matrix_entry;
extern const EntryPoint compute_stiffness_and_jacobi_matrix_curl_curl_entry;
extern const EntryPoint compute_rhs_Hcurl_red_c_entry;
extern const EntryPoint compute_B_Hcurl_entry;
extern const EntryPoint compute_B_line_segs_cpp_entry;

}  // namespace fluxkern
