// The interned names and constants that the entry points use at call time,
// created once by the module's execution step.
#pragma once

#include "pyref.hpp"

namespace fluxkern {

struct Names {
    // identifiers
    PyRef np, csr_array, shape, flatten, ascontiguousarray, asarray, dtype, double_, int32, zeros,
        pi, copy, get_type_spec, evaluate_mu, get_spline_information, value, print, module_name;
    // keyword-name tuples of vector calls
    PyRef kw_dtype, kw_shape;  // ("dtype",), ("shape",)
    // numbers
    PyRef int_0, int_1, int_3, int_4, int_6, int_8, int_minus_1, float_0, float_1e_7;
};

// Creates every name and constant (HostError on failure).
void create_names(Names& names);

}  // namespace fluxkern
