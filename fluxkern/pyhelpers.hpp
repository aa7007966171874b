// Small helpers shared by the companion extensions (fluxkern_topology,
// fluxkern_sparse): the host headers, owned references, a GIL-free scope and array
// argument checks. Include first.

#ifndef FLUXKERN_PYHELPERS_HPP
#define FLUXKERN_PYHELPERS_HPP

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <numpy/arrayobject.h>

#include <cstdint>

#ifdef _OPENMP
#include <omp.h>
#endif

namespace fluxkern_py {

// Owns one reference; releases it on scope exit.
class Ref {
 public:
  explicit Ref(PyObject* p = nullptr) : p_(p) {}
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Py_XDECREF(p_); }
  PyObject* get() const { return p_; }
  PyArrayObject* arr() const { return reinterpret_cast<PyArrayObject*>(p_); }
  PyObject* release() {
    PyObject* p = p_;
    p_ = nullptr;
    return p;
  }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  PyObject* p_;
};

// Releases the GIL for its lifetime.
class NoGil {
 public:
  NoGil() : state_(PyEval_SaveThread()) {}
  NoGil(const NoGil&) = delete;
  NoGil& operator=(const NoGil&) = delete;
  ~NoGil() { PyEval_RestoreThread(state_); }

 private:
  PyThreadState* state_;
};

// A C-contiguous array of the given type and dimensions (-1: any length), or NULL
// with a Python error set.
inline PyArrayObject* checked(PyObject* obj, int typenum, int ndim, npy_intp cols, const char* name,
                       bool writeable = false) {
  if (!PyArray_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "%s must be a NumPy array", name);
    return nullptr;
  }
  auto* a = reinterpret_cast<PyArrayObject*>(obj);
  if (!PyArray_EquivTypenums(PyArray_TYPE(a), typenum) || PyArray_NDIM(a) != ndim ||
      !PyArray_IS_C_CONTIGUOUS(a) || (ndim == 2 && PyArray_DIM(a, 1) != cols) ||
      (writeable && !PyArray_ISWRITEABLE(a))) {
    PyErr_Format(PyExc_ValueError, "%s has the wrong dtype, shape or layout", name);
    return nullptr;
  }
  return a;
}

inline PyObject* new_array(int ndim, npy_intp rows, npy_intp cols, int typenum) {
  npy_intp dims[2] = {rows, cols};
  return PyArray_SimpleNew(ndim, dims, typenum);
}

}  // namespace fluxkern_py

#endif  // FLUXKERN_PYHELPERS_HPP
