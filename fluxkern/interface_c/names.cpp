// The interned names and constants, as a table of slots and texts.
#include "names.hpp"

namespace fluxkern {

namespace {

struct Text {
    PyRef Names::*slot;
    const char* text;
};

constexpr Text kIdentifiers[] = {
    {&Names::np, "np"},
    {&Names::csr_array, "csr_array"},
    {&Names::shape, "shape"},
    {&Names::flatten, "flatten"},
    {&Names::ascontiguousarray, "ascontiguousarray"},
    {&Names::asarray, "asarray"},
    {&Names::dtype, "dtype"},
    {&Names::double_, "double"},
    {&Names::int32, "int32"},
    {&Names::zeros, "zeros"},
    {&Names::pi, "pi"},
    {&Names::copy, "copy"},
    {&Names::get_type_spec, "get_type_spec"},
    {&Names::evaluate_mu, "evaluate_mu"},
    {&Names::get_spline_information, "get_spline_information"},
    {&Names::value, "value"},
    {&Names::print, "print"},
    {&Names::module_name, "fluxkern_mod"},
};

struct Integer {
    PyRef Names::*slot;
    long value;
};

constexpr Integer kIntegers[] = {
    {&Names::int_0, 0}, {&Names::int_1, 1}, {&Names::int_3, 3},        {&Names::int_4, 4},
    {&Names::int_6, 6}, {&Names::int_8, 8}, {&Names::int_minus_1, -1},
};

}  // namespace

void create_names(Names& names) {
    for (const Text& t : kIdentifiers)
        names.*t.slot = PyRef::steal(PyUnicode_InternFromString(t.text));
    for (const Integer& i : kIntegers) names.*i.slot = PyRef::steal(PyLong_FromLong(i.value));
    names.float_0 = PyRef::steal(PyFloat_FromDouble(0.0));
    names.float_1e_7 = PyRef::steal(PyFloat_FromDouble(1e-7));
    names.kw_dtype = make_tuple({names.dtype.get()});
    names.kw_shape = make_tuple({names.shape.get()});
}

}  // namespace fluxkern
