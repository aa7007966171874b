// The five entry points and their signatures, registered by module.cpp.
#pragma once

#include "boundary.hpp"

namespace fluxkern {

// Fast-call-with-keywords entry points; `self` is the module.
#define FLUXKERN_ENTRY_POINT(name)                                                   \
    extern Signature name##_signature;                                               \
    PyObject* name(PyObject* self, PyObject* const* args, Py_ssize_t nargs,          \
                   PyObject* kwnames)

FLUXKERN_ENTRY_POINT(compute_stiffness_and_jacobi_matrix);
FLUXKERN_ENTRY_POINT(compute_stiffness_and_jacobi_matrix_curl_curl);
FLUXKERN_ENTRY_POINT(compute_rhs_Hcurl_red_c);
FLUXKERN_ENTRY_POINT(compute_B_Hcurl);
FLUXKERN_ENTRY_POINT(compute_B_line_segs_cpp);

#undef FLUXKERN_ENTRY_POINT

}  // namespace fluxkern
