// The host boundary shared by the five entry points.
#include "boundary.hpp"
#include "buffer_pool.hpp"

#define NO_IMPORT_ARRAY
#define PY_ARRAY_UNIQUE_SYMBOL fluxkern_ARRAY_API
#include <numpy/arrayobject.h>

#include <climits>
#include <cstdarg>
#include <cstring>

#if PY_VERSION_HEX >= 0x030B0000
// Still exported by the interpreter, but no longer declared publicly.
extern "C" void _PyTraceback_Add(const char*, const char*, int);
#endif

namespace fluxkern {

Names names;
PyObject* builtin_print = nullptr;
PyObject* module_dict = nullptr;

void raise(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw HostError();
}

void raise_format(PyObject* type, const char* format, ...) {
    va_list args;
    va_start(args, format);
    PyErr_FormatV(type, format, args);
    va_end(args);
    throw HostError();
}

// ------------------------------------------------------------ interned names

static bool intern(PyObject*& slot, const char* text) {
    slot = PyUnicode_InternFromString(text);
    return slot != nullptr;
}

bool init_names() {
    Names& n = names;
    if (!intern(n.np, "np") || !intern(n.csr_array, "csr_array") || !intern(n.shape, "shape") ||
        !intern(n.flatten, "flatten") || !intern(n.ascontiguousarray, "ascontiguousarray") ||
        !intern(n.asarray, "asarray") || !intern(n.dtype, "dtype") ||
        !intern(n.double_, "double") || !intern(n.int32, "int32") || !intern(n.zeros, "zeros") ||
        !intern(n.pi, "pi") || !intern(n.copy, "copy") ||
        !intern(n.get_type_spec, "get_type_spec") || !intern(n.evaluate_mu, "evaluate_mu") ||
        !intern(n.get_spline_information, "get_spline_information") ||
        !intern(n.value, "value") || !intern(n.print, "print") ||
        !intern(n.module_name, "fluxkern_mod"))
        return false;
    n.kw_dtype = PyTuple_Pack(1, n.dtype);
    n.kw_shape = PyTuple_Pack(1, n.shape);
    n.int_0 = PyLong_FromLong(0);
    n.int_1 = PyLong_FromLong(1);
    n.int_3 = PyLong_FromLong(3);
    n.int_4 = PyLong_FromLong(4);
    n.int_6 = PyLong_FromLong(6);
    n.int_8 = PyLong_FromLong(8);
    n.int_minus_1 = PyLong_FromLong(-1);
    n.float_0 = PyFloat_FromDouble(0.0);
    n.float_1e_7 = PyFloat_FromDouble(1e-7);
    return n.kw_dtype && n.kw_shape && n.int_0 && n.int_1 && n.int_3 && n.int_4 && n.int_6 &&
           n.int_8 && n.int_minus_1 && n.float_0 && n.float_1e_7;
}

bool intern_signature(Signature& sig) {
    for (int k = 0; k < sig.num_params; ++k)
        if (!intern(sig.interned[k], sig.param_names[k])) return false;
    return true;
}

// ---------------------------------------------------------- argument binding

[[noreturn]] static void raise_arg_count(const Signature& sig, Py_ssize_t given) {
    raise_format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 sig.name, "exactly", static_cast<Py_ssize_t>(sig.num_params),
                 sig.num_params == 1 ? "" : "s", given);
}

static bool same_name(PyObject* keyword, PyObject* param) {
    if (keyword == param) return true;
    if (!PyUnicode_Check(keyword)) return false;
    return PyUnicode_Compare(keyword, param) == 0;
}

// Position of `param` among the keyword names: identity first, then equality.
static Py_ssize_t find_keyword(PyObject* kwnames, PyObject* param) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k)
        if (PyTuple_GET_ITEM(kwnames, k) == param) return k;
    for (Py_ssize_t k = 0; k < nkw; ++k)
        if (same_name(PyTuple_GET_ITEM(kwnames, k), param)) return k;
    return -1;
}

static bool names_param_in(const Signature& sig, PyObject* keyword, Py_ssize_t begin,
                           Py_ssize_t end) {
    for (Py_ssize_t i = begin; i < end; ++i)
        if (same_name(keyword, sig.interned[i])) return true;
    return false;
}

void bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** out) {
    const Py_ssize_t num_params = sig.num_params;
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nkw == 0) {
        if (nargs != num_params) raise_arg_count(sig, nargs);
        for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
        return;
    }
    if (nargs > num_params) raise_arg_count(sig, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];

    PyObject* const* kwvalues = args + nargs;
    Py_ssize_t matched = 0;
    for (Py_ssize_t i = nargs; i < num_params; ++i) {
        const Py_ssize_t k = find_keyword(kwnames, sig.interned[i]);
        if (k < 0) raise_arg_count(sig, i);
        out[i] = kwvalues[k];
        ++matched;
    }
    if (nkw == matched) return;

    // More keywords than parameters left for them: name the first offender.
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(keyword))
            raise_format(PyExc_TypeError, "%.200s() keywords must be strings", sig.name);
        if (names_param_in(sig, keyword, nargs, num_params)) continue;
        if (names_param_in(sig, keyword, 0, nargs))
            raise_format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                         sig.name, keyword);
        raise_format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.name,
                     keyword);
    }
}

// -------------------------------------------------------- number conversions

double as_double(PyObject* o) {
    if (PyFloat_CheckExact(o)) return PyFloat_AS_DOUBLE(o);
    const double v = PyFloat_AsDouble(o);
    if (v == -1.0 && PyErr_Occurred()) throw HostError();
    return v;
}

// The host int behind an integer argument: ints (bools included) as they
// are, anything else through its __int__ (so a float truncates).
static PyRef integer_of(PyObject* o) {
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

int32_t as_int32(PyObject* o) {
    PyRef i = integer_of(o);
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(i.get(), &overflow);
    if (v == -1 && PyErr_Occurred()) throw HostError();
    if (overflow != 0 || v < INT32_MIN || v > INT32_MAX)
        raise(PyExc_OverflowError, "value too large to convert to int32_t");
    return static_cast<int32_t>(v);
}

size_t as_size(PyObject* o) {
    PyRef i = integer_of(o);
    const int sign = PyObject_RichCompareBool(i.get(), names.int_0, Py_LT);
    if (sign < 0) throw HostError();
    if (sign == 1) raise(PyExc_OverflowError, "can't convert negative value to size_t");
    const size_t v = PyLong_AsSize_t(i.get());
    if (v == static_cast<size_t>(-1) && PyErr_Occurred()) throw HostError();
    return v;
}

// -------------------------------------------------------- host helpers

PyRef get_attr(PyObject* o, PyObject* name) { return PyRef::steal(PyObject_GetAttr(o, name)); }

PyRef get_item(PyObject* o, PyObject* index) { return PyRef::steal(PyObject_GetItem(o, index)); }

PyRef call_method0(PyObject* o, PyObject* name) {
    return PyRef::steal(PyObject_CallMethodNoArgs(o, name));
}

PyRef call1(PyObject* callable, PyObject* arg) {
    return PyRef::steal(PyObject_CallOneArg(callable, arg));
}

Py_ssize_t length(PyObject* o) {
    const Py_ssize_t n = PyObject_Length(o);
    if (n < 0) throw HostError();
    return n;
}

bool truth(PyObject* o) {
    const int t = PyObject_IsTrue(o);
    if (t < 0) throw HostError();
    return t == 1;
}

bool equals(PyObject* a, PyObject* b) {
    PyRef r = PyRef::steal(PyObject_RichCompare(a, b, Py_EQ));
    return truth(r.get());
}

bool not_equals(PyObject* a, PyObject* b) {
    PyRef r = PyRef::steal(PyObject_RichCompare(a, b, Py_NE));
    return truth(r.get());
}

PyRef new_int(long long v) { return PyRef::steal(PyLong_FromLongLong(v)); }
PyRef mul(PyObject* a, PyObject* b) { return PyRef::steal(PyNumber_Multiply(a, b)); }
PyRef sub(PyObject* a, PyObject* b) { return PyRef::steal(PyNumber_Subtract(a, b)); }
PyRef true_div(PyObject* a, PyObject* b) { return PyRef::steal(PyNumber_TrueDivide(a, b)); }

PyRef make_tuple(std::initializer_list<PyObject*> items) {
    PyRef t = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t k = 0;
    for (PyObject* item : items) {
        Py_INCREF(item);
        PyTuple_SET_ITEM(t.get(), k++, item);
    }
    return t;
}

void print_message(const char* message) {
    PyRef text = PyRef::steal(PyUnicode_FromString(message));
    call1(builtin_print, text.get());
}

// Module globals, cached on the namespace's version tag: the value stays
// borrowed from the dict, which is safe while the version is unchanged.
namespace {
struct GlobalCache {
    PyObject* name;
    uint64_t version;
    PyObject* value;
};
GlobalCache global_caches[2] = {{nullptr, 0, nullptr}, {nullptr, 0, nullptr}};
}  // namespace

PyRef module_global(PyObject* name) {
    GlobalCache* cache = nullptr;
    for (GlobalCache& c : global_caches) {
        if (c.name == name || c.name == nullptr) {
            c.name = name;
            cache = &c;
            break;
        }
    }
#if PY_VERSION_HEX < 0x030C0000
    const uint64_t version = reinterpret_cast<PyDictObject*>(module_dict)->ma_version_tag;
    if (cache && cache->value && cache->version == version) return PyRef::ref(cache->value);
#endif
    PyObject* value = PyDict_GetItemWithError(module_dict, name);
    if (value) {
#if PY_VERSION_HEX < 0x030C0000
        if (cache) {
            cache->version = version;
            cache->value = value;
        }
#endif
        return PyRef::ref(value);
    }
    if (PyErr_Occurred()) throw HostError();
    if (cache) cache->value = nullptr;
    PyObject* builtins = PyImport_AddModule("builtins");  // borrowed
    if (builtins == nullptr) throw HostError();
    value = PyDict_GetItemWithError(PyModule_GetDict(builtins), name);
    if (value) return PyRef::ref(value);
    if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    throw HostError();
}

PyRef np_attr(PyObject* attr) {
    PyRef np = module_global(names.np);
    return get_attr(np.get(), attr);
}

PyRef shape_item(PyObject* obj, PyObject* index) {
    PyRef shape = get_attr(obj, names.shape);
    return get_item(shape.get(), index);
}

PyRef element_count(PyObject* cells, PyObject* el_nodes) {
    PyRef int32 = np_attr(names.int32);
    PyRef num_entries = new_int(length(cells));
    PyRef quotient = true_div(num_entries.get(), el_nodes);
    return call1(int32.get(), quotient.get());
}

[[noreturn]] static void raise_need_more(Py_ssize_t have) {
    raise_format(PyExc_ValueError, "need more than %zd value%.1s to unpack", have,
                 have == 1 ? "" : "s");
}

void unpack(PyObject* seq, PyRef* out, Py_ssize_t n) {
    if (PyTuple_CheckExact(seq) || PyList_CheckExact(seq)) {
        const Py_ssize_t size = PySequence_Fast_GET_SIZE(seq);
        if (size > n) raise_format(PyExc_ValueError, "too many values to unpack (expected %zd)", n);
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
    PyObject* extra = PyIter_Next(it.get());
    if (extra) {
        Py_DECREF(extra);
        raise_format(PyExc_ValueError, "too many values to unpack (expected %zd)", n);
    }
    if (PyErr_Occurred()) throw HostError();
}

// --------------------------------------------------------- array conversion

static const char* elem_name(Elem elem) { return elem == Elem::f64 ? "double" : "int32_t"; }

// Native little-endian doubles or 32-bit signed integers only.
static bool format_matches(const Py_buffer& view, Elem elem) {
    const char* f = view.format ? view.format : "B";
    if (*f == '@' || *f == '=' || *f == '<') ++f;
    if (f[0] == '\0' || f[1] != '\0') return false;
    if (elem == Elem::f64) return view.itemsize == 8 && f[0] == 'd';
    return view.itemsize == 4 && (f[0] == 'i' || f[0] == 'l');
}

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

static PyRef ascontiguous(PyObject* func, PyObject* value, Elem elem) {
    PyRef dtype = np_attr(elem == Elem::f64 ? names.double_ : names.int32);
    PyObject* call_args[2] = {value, dtype.get()};
    return PyRef::steal(PyObject_Vectorcall(func, call_args, 1, names.kw_dtype));
}

Buffer flat_array(PyObject* arg, Elem elem) {
    // The host's evaluation order of np.ascontiguousarray(arg.flatten(), dtype=np.X).
    PyRef func = np_attr(names.ascontiguousarray);
    PyRef flat = call_method0(arg, names.flatten);
    PyRef array = ascontiguous(func.get(), flat.get(), elem);
    return Buffer::acquire(array.get(), elem);
}

Buffer plain_array(PyObject* arg, Elem elem) {
    PyRef func = np_attr(names.ascontiguousarray);
    PyRef array = ascontiguous(func.get(), arg, elem);
    return Buffer::acquire(array.get(), elem);
}

// ------------------------------------------------------------------ results

static int elem_size(Elem elem) { return elem == Elem::f64 ? 8 : 4; }

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
    const size_t bytes = as_size(byte_count);
    const size_t count = bytes / static_cast<size_t>(elem_size(elem));
    if (count > static_cast<size_t>(INT32_MAX))
        require_int32_range(static_cast<long long>(count > static_cast<size_t>(LLONG_MAX)
                                                       ? LLONG_MAX
                                                       : count),
                            what);
    return static_cast<Py_ssize_t>(count);
}

Py_ssize_t entry_count(PyObject* count_obj, const char* what) {
    const size_t count = as_size(count_obj);
    if (count > static_cast<size_t>(INT32_MAX))
        require_int32_range(count > static_cast<size_t>(LLONG_MAX) ? LLONG_MAX
                                                                   : static_cast<long long>(count),
                            what);
    return static_cast<Py_ssize_t>(count);
}

namespace {

// An output block starts with a header holding its pool capacity; the data
// follows at a 64-byte boundary.  The array's base is a capsule that gives
// the block back to the pool when the array goes.
constexpr const char* kBlockName = "fluxkern.output_block";
constexpr size_t kBlockHeader = 64;

void release_block(PyObject* capsule) {
    void* block = PyCapsule_GetPointer(capsule, kBlockName);
    if (block) buffer_pool::release(block, *static_cast<size_t*>(block));
}

}  // namespace

PyRef new_output(Py_ssize_t count, Elem elem, const char* what) {
    const size_t bytes = kBlockHeader + static_cast<size_t>(count) * elem_size(elem);
    size_t capacity = 0;
    void* block = buffer_pool::acquire(bytes, capacity);
    if (block == nullptr)
        raise_format(PyExc_ValueError, "cannot allocate the %s (%zd entries of %d bytes)", what,
                     count, elem_size(elem));
    *static_cast<size_t*>(block) = capacity;
    PyObject* capsule = PyCapsule_New(block, kBlockName, release_block);
    if (capsule == nullptr) {
        buffer_pool::release(block, capacity);
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
    PyRef asarray = np_attr(names.asarray);
    return call1(asarray.get(), array);
}

void set_shape(PyObject* array, PyObject* shape) {
    if (PyObject_SetAttr(array, names.shape, shape) < 0) throw HostError();
}

// ---------------------------------------------------------------- boundary

void end_call() noexcept { buffer_pool::end_call(); }

void add_traceback(const char* qualified_name) {
    _PyTraceback_Add(qualified_name, "fluxkern_mod", 1);
}

}  // namespace fluxkern
