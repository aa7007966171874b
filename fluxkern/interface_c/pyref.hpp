// Owned host references, and host errors carried as C++ exceptions.
//
// A C-API failure becomes a HostError (the host exception is already set);
// unwinding releases everything acquired so far, and the entry point's
// boundary (entry_point.hpp) turns it back into a NULL return.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdarg>
#include <exception>
#include <initializer_list>
#include <utility>

namespace fluxkern {

// A host error is pending.
struct HostError final : std::exception {
    const char* what() const noexcept override { return "the host error is already set"; }
};

// Sets a host exception and throws HostError.
[[noreturn]] inline void raise(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw HostError();
}

[[noreturn]] inline void raise_format(PyObject* type, const char* format, ...) {
    va_list args;
    va_start(args, format);
    PyErr_FormatV(type, format, args);
    va_end(args);
    throw HostError();
}

// An owned reference.  Ownership is spelled at every call site:
// `PyRef::steal(new_reference)` or `PyRef::ref(borrowed_reference)`.
// `steal` of NULL means the call that produced it failed: it throws.
class PyRef {
public:
    PyRef() noexcept = default;
    static PyRef steal(PyObject* o) {
        if (o == nullptr) throw HostError();
        return PyRef(o);
    }
    static PyRef ref(PyObject* o) noexcept {
        Py_XINCREF(o);
        return PyRef(o);
    }
    // A new reference that may be NULL without an error (as PyErr_Fetch
    // gives them).
    static PyRef adopt(PyObject* o) noexcept { return PyRef(o); }
    PyRef(PyRef&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    PyRef& operator=(PyRef&& other) noexcept {
        if (this != &other) {
            PyObject* old = std::exchange(p_, std::exchange(other.p_, nullptr));
            Py_XDECREF(old);
        }
        return *this;
    }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    ~PyRef() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    explicit PyRef(PyObject* o) noexcept : p_(o) {}
    PyObject* p_ = nullptr;
};

// ------------------------------------------------- host calls, one line each

inline PyRef get_attr(PyObject* o, PyObject* name) {
    return PyRef::steal(PyObject_GetAttr(o, name));
}
inline PyRef get_item(PyObject* o, PyObject* index) {  // o[index]
    return PyRef::steal(PyObject_GetItem(o, index));
}
inline PyRef call_method0(PyObject* o, PyObject* name) {  // o.name()
    return PyRef::steal(PyObject_CallMethodNoArgs(o, name));
}
inline PyRef call1(PyObject* callable, PyObject* arg) {  // callable(arg)
    return PyRef::steal(PyObject_CallOneArg(callable, arg));
}
inline Py_ssize_t length(PyObject* o) {  // len(o)
    const Py_ssize_t n = PyObject_Length(o);
    if (n < 0) throw HostError();
    return n;
}
inline bool truth(PyObject* o) {
    const int t = PyObject_IsTrue(o);
    if (t < 0) throw HostError();
    return t == 1;
}
inline bool compare(PyObject* a, PyObject* b, int op) {  // a op b, then its truth
    PyRef r = PyRef::steal(PyObject_RichCompare(a, b, op));
    return truth(r.get());
}
inline PyRef new_int(long long v) { return PyRef::steal(PyLong_FromLongLong(v)); }
inline PyRef mul(PyObject* a, PyObject* b) { return PyRef::steal(PyNumber_Multiply(a, b)); }
inline PyRef sub(PyObject* a, PyObject* b) { return PyRef::steal(PyNumber_Subtract(a, b)); }
inline PyRef true_div(PyObject* a, PyObject* b) {
    return PyRef::steal(PyNumber_TrueDivide(a, b));
}

// A new tuple of the given (borrowed) items.
inline PyRef make_tuple(std::initializer_list<PyObject*> items) {
    PyRef t = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t k = 0;
    for (PyObject* item : items) PyTuple_SET_ITEM(t.get(), k++, PyRef::ref(item).release());
    return t;
}

}  // namespace fluxkern
