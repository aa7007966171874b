// The permeability and reluctance protocols.
#include "materials.hpp"

#include "state.hpp"

namespace fluxkern {

namespace {

// np.zeros((n,))
PyRef np_zeros(PyObject* n) {
    PyRef zeros = np_attr(names().zeros.get());
    PyRef shape = make_tuple({n});
    return call1(zeros.get(), shape.get());
}

PyRef type_spec_of(PyObject* material) {
    return call_method0(material, names().get_type_spec.get());
}

// Evaluating a curve costs time proportional to its degree times its knot
// count at every point; a degree in the thousands would stall the call.
// Real curves have degree 3 to 5.
constexpr int32_t kMaxSplineDegree = 20;

}  // namespace

PermeabilityData read_permeability(PyObject* permeability) {
    PermeabilityData d;
    d.spl_t = np_zeros(names().int_1.get());
    d.spl_c = np_zeros(names().int_1.get());
    d.spl_k = PyRef::ref(names().int_1.get());
    d.spl_H_min = PyRef::ref(names().float_0.get());
    PyRef pi = np_attr(names().pi.get());
    d.spl_mu_H_min = mul(mul(names().int_4.get(), pi.get()).get(), names().float_1e_7.get());
    d.spl_num_coeffs = PyRef::ref(names().int_0.get());

    if (compare(type_spec_of(permeability).get(), names().int_0.get(), Py_EQ)) {
        PyRef evaluate = get_attr(permeability, names().evaluate_mu.get());
        d.spl_mu_H_min = call1(evaluate.get(), names().float_0.get());
    } else if (compare(type_spec_of(permeability).get(), names().int_1.get(), Py_EQ)) {
        PyRef info = call_method0(permeability, names().get_spline_information.get());
        PyRef items[5];
        unpack(info.get(), items, 5);
        d.spl_t = std::move(items[0]);
        d.spl_c = std::move(items[1]);
        d.spl_k = std::move(items[2]);
        d.spl_H_min = std::move(items[3]);
        d.spl_mu_H_min = std::move(items[4]);
        PyRef num_knots = new_int(length(d.spl_t.get()));
        d.spl_num_coeffs = sub(sub(num_knots.get(), d.spl_k.get()).get(), names().int_1.get());
    } else {
        print_message("Type specifyer of permeability not found!");
    }
    return d;
}

void convert_curve(PermeabilityData& data) {
    data.spl_t_c = plain_array(data.spl_t.get(), Elem::f64);
    data.spl_c_c = plain_array(data.spl_c.get(), Elem::f64);
}

Permeability permeability_record(PyObject* permeability, const PermeabilityData& data) {
    const Buffer &spl_t_c = data.spl_t_c, &spl_c_c = data.spl_c_c;
    const int32_t type_spec = as_int32(type_spec_of(permeability).get());
    const int32_t spl_k = as_int32(data.spl_k.get());
    const int32_t spl_num_coeffs = as_int32(data.spl_num_coeffs.get());
    const double spl_H_min = as_double(data.spl_H_min.get());
    const double spl_mu_H_min = as_double(data.spl_mu_H_min.get());

    // The curve is evaluated only for a nonzero type with coefficients; then
    // the recursion needs a degree >= 0 and n + k + 1 knots, and n coefficients.
    if (type_spec != 0 && spl_num_coeffs > 0) {
        if (spl_k < 0)
            raise_format(PyExc_ValueError, "the spline degree must not be negative (got %d)",
                         spl_k);
        if (spl_k > kMaxSplineDegree)
            raise_format(PyExc_ValueError,
                         "the spline degree %d exceeds %d, the most the curve evaluation "
                         "supports",
                         spl_k, kMaxSplineDegree);
        const long long knots_needed = static_cast<long long>(spl_num_coeffs) + spl_k + 1;
        if (spl_t_c.size() < knots_needed)
            raise_format(PyExc_ValueError,
                         "the knot vector holds %zd values, but %lld are needed for %d "
                         "coefficients of degree %d",
                         spl_t_c.size(), knots_needed, spl_num_coeffs, spl_k);
        if (spl_c_c.size() < spl_num_coeffs)
            raise_format(PyExc_ValueError,
                         "the spline holds %zd coefficients, but %d are needed", spl_c_c.size(),
                         spl_num_coeffs);
    }
    return create_permeability(type_spec, spl_k, spl_num_coeffs, spl_t_c.f64(), spl_c_c.f64(),
                               spl_H_min, spl_mu_H_min);
}

ReluctanceData read_reluctance(PyObject* reluctance) {
    ReluctanceData d;
    d.spl_x = np_zeros(names().int_0.get());
    d.spl_c = np_zeros(names().int_1.get());
    if (compare(type_spec_of(reluctance).get(), names().int_1.get(), Py_EQ)) {
        PyRef info = call_method0(reluctance, names().get_spline_information.get());
        PyRef items[2];
        unpack(info.get(), items, 2);
        d.spl_c = std::move(items[0]);
        d.spl_x = std::move(items[1]);
    } else if (compare(type_spec_of(reluctance).get(), names().int_0.get(), Py_EQ)) {
        PyRef value = get_attr(reluctance, names().value.get());
        if (PyObject_SetItem(d.spl_c.get(), names().int_0.get(), value.get()) < 0)
            throw HostError();
    } else {
        print_message("Type specifyer of reluctance not found!");
    }
    return d;
}

void convert_curve(ReluctanceData& data) {
    data.spl_x_c = plain_array(data.spl_x.get(), Elem::f64);
    data.spl_c_c = flat_array(data.spl_c.get(), Elem::f64);
}

Reluctance reluctance_record(PyObject* reluctance, const ReluctanceData& data) {
    const Buffer &spl_c_c = data.spl_c_c, &spl_x_c = data.spl_x_c;
    const int32_t type_spec = as_int32(type_spec_of(reluctance).get());
    PyRef num_breakpoints = new_int(length(data.spl_x.get()));
    const int32_t num_intervals = as_int32(sub(num_breakpoints.get(), names().int_1.get()).get());

    // A constant needs its one value; a piecewise cubic needs two or more
    // breakpoints (one is no curve) and four coefficients per piece.
    if (num_intervals == 0)
        raise(PyExc_ValueError,
              "a piecewise cubic reluctance needs at least two breakpoints (got one)");
    if (spl_x_c.size() < static_cast<long long>(num_intervals) + 1)
        raise_format(PyExc_ValueError, "the breakpoint array holds %zd values, but %lld are needed",
                     spl_x_c.size(), static_cast<long long>(num_intervals) + 1);
    const long long coeffs_needed = num_intervals < 0 ? 1 : 4LL * num_intervals;
    if (spl_c_c.size() < coeffs_needed)
        raise_format(PyExc_ValueError,
                     "the reluctance holds %zd coefficients, but %lld are needed for %d "
                     "intervals",
                     spl_c_c.size(), coeffs_needed, num_intervals);
    return create_reluctance(type_spec, num_intervals, spl_c_c.f64(), spl_x_c.f64());
}

}  // namespace fluxkern
