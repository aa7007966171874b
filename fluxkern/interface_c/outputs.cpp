// Output buffers and the wrapping of results.
#include "outputs.hpp"

#define NO_IMPORT_ARRAY
#define PY_ARRAY_UNIQUE_SYMBOL fluxkern_ARRAY_API
#include <numpy/arrayobject.h>

#include <climits>

#include "state.hpp"

namespace fluxkern {

namespace {

int elem_size(Elem elem) { return elem == Elem::f64 ? 8 : 4; }

// A count beyond INT32_MAX is rejected, with its value clamped for the message.
Py_ssize_t limited(std::size_t count, const char* what) {
    if (count > static_cast<std::size_t>(INT32_MAX))
        require_int32_range(count > static_cast<std::size_t>(LLONG_MAX)
                                ? LLONG_MAX
                                : static_cast<long long>(count),
                            what);
    return static_cast<Py_ssize_t>(count);
}

// An output block starts with a header holding its pool capacity; the data
// follows at a 64-byte boundary.  The array's base is a capsule that gives
// the block back to the pool when the array goes.
constexpr const char* kBlockName = "fluxkern.output_block";
constexpr std::size_t kBlockHeader = 64;

void release_block(PyObject* capsule) {
    void* block = PyCapsule_GetPointer(capsule, kBlockName);
    if (block) process().pool.release(block, *static_cast<std::size_t*>(block));
}

}  // namespace

void require_int32_range(long long value, const char* what) {
    if (value > INT32_MAX)
        raise_format(PyExc_OverflowError,
                     "%s: %lld entries exceed the 32-bit index range of the kernels (at most %d)",
                     what, value, INT32_MAX);
}

long long saturating_mul(long long a, long long b) {
    long long product;
    if (!__builtin_mul_overflow(a, b, &product)) return product;
    return (a < 0) != (b < 0) ? LLONG_MIN : LLONG_MAX;
}

Py_ssize_t output_count(PyObject* byte_count, Elem elem, const char* what) {
    return limited(as_size(byte_count) / static_cast<std::size_t>(elem_size(elem)), what);
}

Py_ssize_t entry_count(PyObject* count, const char* what) { return limited(as_size(count), what); }

PyRef new_output(Py_ssize_t count, Elem elem, const char* what) {
    const std::size_t bytes = kBlockHeader + static_cast<std::size_t>(count) * elem_size(elem);
    std::size_t capacity = 0;
    void* block = process().pool.acquire(bytes, capacity);
    if (block == nullptr)
        raise_format(PyExc_ValueError, "cannot allocate the %s (%zd entries of %d bytes)", what,
                     count, elem_size(elem));
    *static_cast<std::size_t*>(block) = capacity;
    PyObject* capsule = PyCapsule_New(block, kBlockName, release_block);
    if (capsule == nullptr) {
        process().pool.release(block, capacity);
        throw HostError();
    }
    PyRef base = PyRef::steal(capsule);
    npy_intp dims[1] = {static_cast<npy_intp>(count)};
    PyArray_Descr* descr = PyArray_DescrFromType(elem == Elem::f64 ? NPY_DOUBLE : NPY_INT32);
    if (descr == nullptr) throw HostError();
    PyRef array = PyRef::steal(PyArray_NewFromDescr(
        &PyArray_Type, descr, 1, dims, nullptr, static_cast<char*>(block) + kBlockHeader,
        NPY_ARRAY_CARRAY, nullptr));
    // The array takes over the capsule, also when this fails.
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), base.release()) < 0)
        throw HostError();
    return array;
}

void* output_data(PyObject* array) {
    return PyArray_DATA(reinterpret_cast<PyArrayObject*>(array));
}

void raise_empty_output() {
    raise_format(PyExc_ValueError, "Invalid shape in axis %d: %zd.", 0, Py_ssize_t{0});
}

PyRef wrap_output(PyObject* array) {
    if (PyArray_SIZE(reinterpret_cast<PyArrayObject*>(array)) == 0) raise_empty_output();
    PyRef asarray = np_attr(names().asarray.get());
    return call1(asarray.get(), array);
}

void set_shape(PyObject* array, PyObject* shape) {
    if (PyObject_SetAttr(array, names().shape.get(), shape) < 0) throw HostError();
}

}  // namespace fluxkern
