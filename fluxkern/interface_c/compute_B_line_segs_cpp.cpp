// compute_B_line_segs_cpp(src, tar, current, radius): the flux density of
// straight strands at target points.
#include "entry_points.hpp"
#include "kernels.hpp"
#include "validation.hpp"

namespace fluxkern {

namespace {
const char* const param_names[] = {"src", "tar", "current", "radius"};
PyObject* interned[4];
}  // namespace

Signature compute_B_line_segs_cpp_signature = {"compute_B_line_segs_cpp", param_names, 4, interned};

namespace {

PyRef run(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[4];
    bind_arguments(compute_B_line_segs_cpp_signature, args, nargs, kwnames, a);
    PyObject *src = a[0], *tar = a[1], *current = a[2], *radius = a[3];

    PyRef num_src = shape_item(src, names.int_0);
    if (not_equals(shape_item(src, names.int_1).get(), names.int_6)) {
        print_message("Error! The source array must be of dimension N x 6!");
        return PyRef::ref(names.int_minus_1);
    }
    PyRef num_tar = shape_item(tar, names.int_0);
    if (not_equals(shape_item(tar, names.int_1).get(), names.int_3)) {
        print_message("Error! The target array must be of dimension M x 3!");
        return PyRef::ref(names.int_minus_1);
    }

    Buffer src_c = flat_array(src, Elem::f64);
    Buffer tar_c = flat_array(tar, Elem::f64);

    PyRef bytes = mul(mul(names.int_3, num_tar.get()).get(), names.int_8);
    const Py_ssize_t count = output_count(bytes.get(), Elem::f64, "the field of all targets");
    PyRef B_c = new_output(count, Elem::f64, "field buffer");

    const double current_c = as_double(current);
    const double radius_c = as_double(radius);
    const int32_t num_src_c = as_int32(num_src.get());
    const int32_t num_tar_c = as_int32(num_tar.get());

    // The kernel reads 6 values per source and 3 per target and writes 3 per
    // target: shape attributes that overstate the data must not reach it.
    require_non_negative(num_src_c, "the number of sources");
    require_non_negative(num_tar_c, "the number of targets");
    if (count < 3LL * num_tar_c)
        raise_format(PyExc_ValueError, "the field buffer holds %zd values, but %lld are needed",
                     count, 3LL * num_tar_c);
    require_length(src_c, 6LL * num_src_c, "src");
    require_length(tar_c, 3LL * num_tar_c, "tar");

    compute_B_line_segs_kernel(static_cast<double*>(output_data(B_c.get())), src_c.f64(),
                               tar_c.f64(), current_c, radius_c, num_src_c, num_tar_c);

    PyRef B_array = wrap_output(B_c.get());
    set_shape(B_array.get(), make_tuple({num_tar.get(), names.int_3}).get());
    return call_method0(B_array.get(), names.copy);
}

}  // namespace

PyObject* compute_B_line_segs_cpp(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
    return run_entry_point("fluxkern_mod.compute_B_line_segs_cpp",
                           [&] { return run(args, nargs, kwnames); });
}

}  // namespace fluxkern
