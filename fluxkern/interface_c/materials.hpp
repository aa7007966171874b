// Reading the caller's material objects into kernel records.
//
// Both protocols are split in two because the entry points interleave them
// with their array conversions: first the object is asked for its curve
// (read_*), later, once the curve arrays are converted, the record is built
// with one more call of get_type_spec() (*_record).
#pragma once

#include "convert.hpp"
#include "kernels.hpp"

namespace fluxkern {

// The permeability's curve as host objects (defaults where the type has
// none), and its knots and coefficients once converted.
struct PermeabilityData {
    PyRef spl_t, spl_c, spl_k, spl_H_min, spl_mu_H_min, spl_num_coeffs;
    Buffer spl_t_c, spl_c_c;
};

// Type 0: evaluate_mu(0.0); type 1: get_spline_information(); otherwise a
// printed message and the defaults.
PermeabilityData read_permeability(PyObject* permeability);

// Converts the knots, then the coefficients (one-dimensional, not flattened).
void convert_curve(PermeabilityData& data);

// The Permeability record over the converted knots and coefficients.
// Rejects a curve the evaluation would read beyond or recurse on forever.
Permeability permeability_record(PyObject* permeability, const PermeabilityData& data);

// The reluctance's curve as host objects, and its breakpoints and
// coefficients once converted.
struct ReluctanceData {
    PyRef spl_c, spl_x;
    Buffer spl_c_c, spl_x_c;
};

// Type 1: get_spline_information() -> (coefficients, breakpoints); type 0:
// the attribute `value`; otherwise a printed message and the defaults.
ReluctanceData read_reluctance(PyObject* reluctance);

// Converts the breakpoints (one-dimensional, not flattened), then the
// coefficients (flattened).
void convert_curve(ReluctanceData& data);

// The Reluctance record over the converted coefficients and breakpoints.
// Rejects a single breakpoint and coefficient arrays shorter than the curve.
Reluctance reluctance_record(PyObject* reluctance, const ReluctanceData& data);

}  // namespace fluxkern
