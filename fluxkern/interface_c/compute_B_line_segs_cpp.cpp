// compute_B_line_segs_cpp(src, tar, current, radius): the flux density of
// straight strands at target points.
#include "entry_point.hpp"
#include "kernels.hpp"
#include "outputs.hpp"
#include "validation.hpp"

namespace fluxkern {

FLUXKERN_ENTRY_POINT(compute_B_line_segs_cpp, src, tar, current, radius) {
    const Names& n = names();
    PyRef num_src = shape_item(args[src], n.int_0.get());
    if (compare(shape_item(args[src], n.int_1.get()).get(), n.int_6.get(), Py_NE)) {
        print_message("Error! The source array must be of dimension N x 6!");
        return PyRef::ref(n.int_minus_1.get());
    }
    PyRef num_tar = shape_item(args[tar], n.int_0.get());
    if (compare(shape_item(args[tar], n.int_1.get()).get(), n.int_3.get(), Py_NE)) {
        print_message("Error! The target array must be of dimension M x 3!");
        return PyRef::ref(n.int_minus_1.get());
    }

    Buffer src_c = flat_array(args[src], Elem::f64);
    Buffer tar_c = flat_array(args[tar], Elem::f64);

    PyRef bytes = mul(mul(n.int_3.get(), num_tar.get()).get(), n.int_8.get());
    const Py_ssize_t count = output_count(bytes.get(), Elem::f64, "the field of all targets");
    PyRef B_c = new_output(count, Elem::f64, "field buffer");

    const double current_c = as_double(args[current]);
    const double radius_c = as_double(args[radius]);
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
    set_shape(B_array.get(), make_tuple({num_tar.get(), n.int_3.get()}).get());
    return call_method0(B_array.get(), n.copy.get());
}

}  // namespace fluxkern
