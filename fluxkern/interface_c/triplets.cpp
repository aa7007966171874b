// Coordinate lists and their conversion to csr_array.
#include "triplets.hpp"

#include "outputs.hpp"
#include "state.hpp"

namespace fluxkern {

TripletOutput allocate_triplets(PyObject* num_triplets) {
    const int32_t capacity = as_int32(num_triplets);
    if (capacity < 0) raise(PyExc_OverflowError, "can't convert negative value to size_t");
    TripletOutput t;
    t.i = new_output(capacity, Elem::i32, "triplet row buffer");
    t.j = new_output(capacity, Elem::i32, "triplet column buffer");
    t.vals = new_output(capacity, Elem::f64, "triplet value buffer");
    t.list = create_triplet_list(capacity, static_cast<int32_t*>(output_data(t.i.get())),
                                 static_cast<int32_t*>(output_data(t.j.get())),
                                 static_cast<double*>(output_data(t.vals.get())));
    return t;
}

namespace {

// The first `count` entries of a list array: when the capacity came from
// counts that are not whole (num_el_dofs given as 2.9), the kernel fills
// less than the capacity, and the rest was never written.
PyRef appended(PyObject* array, int32_t count, int32_t capacity) {
    if (count == capacity) return PyRef::ref(array);
    return PyRef::steal(PySequence_GetSlice(array, 0, count));
}

}  // namespace

WrappedTriplets wrap_triplets(const TripletOutput& t) {
    const int32_t count = t.list.count, capacity = t.list.num_triplets;
    WrappedTriplets w;
    w.i = wrap_output(appended(t.i.get(), count, capacity).get());
    w.j = wrap_output(appended(t.j.get(), count, capacity).get());
    w.vals = wrap_output(appended(t.vals.get(), count, capacity).get());
    return w;
}

PyRef to_csr(const WrappedTriplets& t, PyObject* shape) {
    PyRef csr_array = module_global(names().csr_array.get());
    PyRef coords = make_tuple({t.i.get(), t.j.get()});
    PyRef data = make_tuple({t.vals.get(), coords.get()});
    PyObject* args[2] = {data.get(), shape};
    return PyRef::steal(PyObject_Vectorcall(csr_array.get(), args, 1, names().kw_shape.get()));
}

}  // namespace fluxkern
