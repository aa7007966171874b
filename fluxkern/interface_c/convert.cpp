// Conversions at the host boundary.
#include "convert.hpp"

#include <climits>

#include "state.hpp"

namespace fluxkern {

// ------------------------------------------------------------------ numbers

double as_double(PyObject* o) {
    if (PyFloat_CheckExact(o)) return PyFloat_AS_DOUBLE(o);
    const double v = PyFloat_AsDouble(o);
    if (v == -1.0 && PyErr_Occurred()) throw HostError();
    return v;
}

namespace {

// The host int behind an integer argument: ints (bools included) as they
// are, anything else through its __int__ (so a float truncates).
PyRef integer_of(PyObject* o) {
    if (PyLong_Check(o)) return PyRef::ref(o);
    PyNumberMethods* number = Py_TYPE(o)->tp_as_number;
    if (number == nullptr || number->nb_int == nullptr)
        raise(PyExc_TypeError, "an integer is required");
    PyRef r = PyRef::steal(number->nb_int(o));
    if (!PyLong_CheckExact(r.get())) {
        if (!PyLong_Check(r.get()))
            raise_format(PyExc_TypeError, "__%.4s__ returned non-%.4s (type %.200s)", "int", "int",
                         Py_TYPE(r.get())->tp_name);
        // A strict subclass of int: accepted, with the host's deprecation warning.
        if (PyErr_WarnFormat(PyExc_DeprecationWarning, 1,
                             "__int__ returned non-int (type %.200s).  The ability to return an "
                             "instance of a strict subclass of int is deprecated, and may be "
                             "removed in a future version of Python.",
                             Py_TYPE(r.get())->tp_name) < 0)
            throw HostError();
    }
    return r;
}

}  // namespace

int32_t as_int32(PyObject* o) {
    PyRef i = integer_of(o);
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(i.get(), &overflow);
    if (v == -1 && PyErr_Occurred()) throw HostError();
    if (overflow != 0 || v < INT32_MIN || v > INT32_MAX)
        raise(PyExc_OverflowError, "value too large to convert to int32_t");
    return static_cast<int32_t>(v);
}

std::size_t as_size(PyObject* o) {
    PyRef i = integer_of(o);
    if (compare(i.get(), names().int_0.get(), Py_LT))
        raise(PyExc_OverflowError, "can't convert negative value to size_t");
    const std::size_t v = PyLong_AsSize_t(i.get());
    if (v == static_cast<std::size_t>(-1) && PyErr_Occurred()) throw HostError();
    return v;
}

// ---------------------------------------------------- module globals, numpy

// A plain dictionary lookup with an interned key: a cache keyed on the
// namespace's version saved nothing measurable (see the note of this
// change), and would need the dictionary's private fields.
PyRef module_global(PyObject* name) {
    PyObject* value = PyDict_GetItemWithError(process().dict, name);  // borrowed
    if (value) return PyRef::ref(value);
    if (PyErr_Occurred()) throw HostError();
    PyObject* builtins = PyImport_AddModule("builtins");  // borrowed
    if (builtins == nullptr) throw HostError();
    value = PyDict_GetItemWithError(PyModule_GetDict(builtins), name);
    if (value) return PyRef::ref(value);
    if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    throw HostError();
}

PyRef np_attr(PyObject* attr) {
    PyRef np = module_global(names().np.get());
    return get_attr(np.get(), attr);
}

PyRef shape_item(PyObject* obj, PyObject* index) {
    PyRef shape = get_attr(obj, names().shape.get());
    return get_item(shape.get(), index);
}

PyRef element_count(PyObject* cells, PyObject* el_nodes) {
    PyRef int32 = np_attr(names().int32.get());
    PyRef num_entries = new_int(length(cells));
    PyRef quotient = true_div(num_entries.get(), el_nodes);
    return call1(int32.get(), quotient.get());
}

namespace {

[[noreturn]] void raise_need_more(Py_ssize_t have) {
    raise_format(PyExc_ValueError, "need more than %zd value%.1s to unpack", have,
                 have == 1 ? "" : "s");
}

[[noreturn]] void raise_too_many(Py_ssize_t n) {
    raise_format(PyExc_ValueError, "too many values to unpack (expected %zd)", n);
}

}  // namespace

void unpack(PyObject* seq, PyRef* out, Py_ssize_t n) {
    if (PyTuple_CheckExact(seq) || PyList_CheckExact(seq)) {
        const Py_ssize_t size = PySequence_Fast_GET_SIZE(seq);
        if (size > n) raise_too_many(n);
        if (size < n) raise_need_more(size);
        for (Py_ssize_t k = 0; k < n; ++k) out[k] = PyRef::ref(PySequence_Fast_GET_ITEM(seq, k));
        return;
    }
    PyRef it = PyRef::steal(PyObject_GetIter(seq));
    for (Py_ssize_t k = 0; k < n; ++k) {
        PyObject* item = PyIter_Next(it.get());
        if (item == nullptr) {
            if (PyErr_Occurred()) throw HostError();
            raise_need_more(k);
        }
        out[k] = PyRef::steal(item);
    }
    PyObject* extra = PyIter_Next(it.get());  // a new reference, or NULL at the end or on error
    if (extra) {
        const PyRef owned = PyRef::steal(extra);
        raise_too_many(n);
    }
    if (PyErr_Occurred()) throw HostError();
}

void print_message(const char* message) {
    PyRef text = PyRef::steal(PyUnicode_FromString(message));
    call1(process().print.get(), text.get());
}

// ------------------------------------------------------------------ buffers

namespace {

const char* elem_name(Elem elem) { return elem == Elem::f64 ? "double" : "int32_t"; }

// Native little-endian doubles or 32-bit signed integers only.
bool format_matches(const Py_buffer& view, Elem elem) {
    const char* f = view.format ? view.format : "B";
    if (*f == '@' || *f == '=' || *f == '<') ++f;
    if (f[0] == '\0' || f[1] != '\0') return false;
    if (elem == Elem::f64) return view.itemsize == 8 && f[0] == 'd';
    return view.itemsize == 4 && (f[0] == 'i' || f[0] == 'l');
}

PyRef ascontiguous(PyObject* func, PyObject* value, Elem elem) {
    PyRef dtype = np_attr(elem == Elem::f64 ? names().double_.get() : names().int32.get());
    PyObject* call_args[2] = {value, dtype.get()};
    return PyRef::steal(PyObject_Vectorcall(func, call_args, 1, names().kw_dtype.get()));
}

}  // namespace

Buffer Buffer::acquire(PyObject* array, Elem elem) {
    auto view = std::make_unique<Py_buffer>();
    if (PyObject_GetBuffer(array, view.get(), PyBUF_RECORDS_RO) < 0) throw HostError();
    Buffer b;
    b.view_.reset(view.release());
    const Py_buffer& v = *b.view_;
    if (v.ndim != 1)
        raise_format(PyExc_ValueError, "Buffer has wrong number of dimensions (expected %d, got %d)",
                     1, v.ndim);
    if (!format_matches(v, elem))
        raise_format(PyExc_ValueError, "Buffer dtype mismatch, expected '%s' but got '%s'",
                     elem_name(elem), v.format ? v.format : "B");
    if (v.shape[0] > 1 && v.strides[0] != v.itemsize)
        raise(PyExc_ValueError, "ndarray is not C-contiguous");
    b.data_ = v.buf;
    b.size_ = v.shape[0];
    return b;
}

Buffer flat_array(PyObject* arg, Elem elem) {
    // The host's evaluation order of np.ascontiguousarray(arg.flatten(), dtype=np.X).
    PyRef func = np_attr(names().ascontiguousarray.get());
    PyRef flat = call_method0(arg, names().flatten.get());
    PyRef array = ascontiguous(func.get(), flat.get(), elem);
    return Buffer::acquire(array.get(), elem);
}

Buffer plain_array(PyObject* arg, Elem elem) {
    PyRef func = np_attr(names().ascontiguousarray.get());
    PyRef array = ascontiguous(func.get(), arg, elem);
    return Buffer::acquire(array.get(), elem);
}

}  // namespace fluxkern
