// Argument binding of the host's fast calling convention with keywords.
#pragma once

#include <vector>

#include "pyref.hpp"

namespace fluxkern {

// The interned names of a parameter list written "a, b, c" (HostError on
// failure).
std::vector<PyRef> intern_parameters(const char* parameters);

// Binds the positional arguments and the keyword arguments (their names in
// kwnames, their values after the positional ones) to the `count`
// parameters of the function `name`, whose interned names are `interned`;
// out[k] receives a borrowed reference for every parameter.  Every
// parameter is required; a keyword is matched by identity first, then by
// string equality.
void bind_arguments(const char* name, int count, const std::vector<PyRef>& interned,
                    PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out);

}  // namespace fluxkern
