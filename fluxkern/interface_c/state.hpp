// The process-wide state of the module: everything that outlives a call.
// The module frame (module.cpp) owns the one instance and writes it while
// the module is created and executed; calls only read it, apart from the
// output pool.  It is never torn down: the module has no shut-down work,
// and the host objects it holds are kept for the life of the process.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "buffer_pool.hpp"
#include "names.hpp"
#include "pyref.hpp"

namespace fluxkern {

struct EntryPoint;
constexpr int kEntryPoints = 5;

struct ProcessState {
    int64_t interpreter = -1;  // the interpreter that first created the module, -1: none yet
    PyRef module;              // the module object, once its execution has started
    PyObject* dict = nullptr;  // its namespace (borrowed from `module`)
    PyRef print;               // the builtin print
    Names names;
    // The function table and each function's interned parameter names, in
    // the order the functions are bound.
    std::array<PyMethodDef, kEntryPoints> methods{};
    std::array<std::vector<PyRef>, kEntryPoints> parameters;
    BufferPool pool;
};

ProcessState& process();
inline const Names& names() { return process().names; }

// The interned parameter names of an entry point.
const std::vector<PyRef>& parameter_names(const EntryPoint& entry);

}  // namespace fluxkern
