// Sparse-matrix summation for fluxkern_tools.fem.kernels: the assembly's (row, column,
// value) entries, duplicates summed, as csr arrays.
//
// SciPy's conversion does the same work holding the GIL on one core, and in the steel
// cube's first Newton system at 1.2M edges it cost ten times the element kernels.
// Here the work runs with the GIL released (the element kernel of the next chunk runs
// meanwhile) and, for large inputs, on OpenMP threads.
//
// Entries are bucketed by row (a counting sort that keeps their order), each row is
// sorted by (column, position in the input), and equal columns are summed in input
// order, so the result does not depend on the thread count.

#include "pyhelpers.hpp"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

namespace {

using namespace fluxkern_py;

// Below this many entries the work stays on the calling thread.
constexpr int64_t kParallelMin = 1 << 20;

struct Item {
  uint64_t key;  // column << 32 | position within the row's entries
  double val;
  bool operator<(const Item& o) const { return key < o.key; }
};

PyObject* sum_entries(PyObject*, PyObject* args) {
  PyObject *rows_o, *cols_o, *vals_o;
  long long n_rows, n_cols;
  int drop_zeros, threads;
  if (!PyArg_ParseTuple(args, "OOOLLpi", &rows_o, &cols_o, &vals_o, &n_rows, &n_cols,
                        &drop_zeros, &threads))
    return nullptr;
  PyArrayObject* R = checked(rows_o, NPY_INT32, 1, -1, "rows");
  if (!R) return nullptr;
  PyArrayObject* C = checked(cols_o, NPY_INT32, 1, -1, "cols");
  if (!C) return nullptr;
  PyArrayObject* V = checked(vals_o, NPY_FLOAT64, 1, -1, "vals");
  if (!V) return nullptr;
  const int64_t N = PyArray_DIM(R, 0);
  if (PyArray_DIM(C, 0) != N || PyArray_DIM(V, 0) != N) {
    PyErr_SetString(PyExc_ValueError, "rows, cols and vals differ in length");
    return nullptr;
  }
  if (n_rows < 0 || n_cols < 0 || n_rows > INT32_MAX || n_cols > INT32_MAX) {
    PyErr_SetString(PyExc_ValueError, "the shape must be non-negative and below 2**31");
    return nullptr;
  }
  if (N > INT32_MAX) {
    PyErr_SetString(PyExc_ValueError, "at most 2**31 - 1 entries in one call");
    return nullptr;
  }
  const int32_t* r = static_cast<const int32_t*>(PyArray_DATA(R));
  const int32_t* c = static_cast<const int32_t*>(PyArray_DATA(C));
  const double* v = static_cast<const double*>(PyArray_DATA(V));
  const int64_t n = n_rows;

  bool in_range = true, no_memory = false;
  int64_t T = 1;
  std::vector<int64_t> start;      // n + 1 offsets of the rows' entries in items
  std::vector<int64_t> kept;       // n + 1 offsets of the rows' summed entries
  std::unique_ptr<Item[]> items;
  {
    NoGil nogil;
    try {
#ifdef _OPENMP
      if (N >= kParallelMin) T = threads > 0 ? threads : omp_get_max_threads();
#endif
      T = std::max<int64_t>(1, std::min<int64_t>(T, 16));
      const bool par = T > 1;
      // T consecutive pieces of the input, counted and placed piece by piece: a row
      // holds piece 0's entries, then piece 1's, ..., in input order.
      auto piece = [N, T](int64_t t) { return N / T * t + std::min(t, N % T); };
      std::vector<int64_t> at(static_cast<size_t>(T * n), 0);
#pragma omp parallel for if (par) num_threads(T) schedule(static, 1)
      for (int64_t t = 0; t < T; ++t) {
        int64_t* cnt = at.data() + t * n;
        bool ok = true;
        for (int64_t i = piece(t); i < piece(t + 1); ++i) {
          const int64_t row = r[i], col = c[i];
          if (row < 0 || row >= n || col < 0 || col >= n_cols) {
            ok = false;
            continue;
          }
          if (!(drop_zeros && v[i] == 0.0)) ++cnt[row];
        }
        if (!ok) {
#pragma omp atomic write
          in_range = false;
        }
      }
      if (in_range) {
        start.assign(n + 1, 0);
        for (int64_t row = 0, pos = 0; row < n; ++row) {
          for (int64_t t = 0; t < T; ++t) {
            const int64_t k = at[t * n + row];
            at[t * n + row] = pos;
            pos += k;
          }
          start[row + 1] = pos;
        }
        items.reset(new Item[std::max<int64_t>(1, start[n])]);
#pragma omp parallel for if (par) num_threads(T) schedule(static, 1)
        for (int64_t t = 0; t < T; ++t) {
          int64_t* pos = at.data() + t * n;
          for (int64_t i = piece(t); i < piece(t + 1); ++i) {
            if (drop_zeros && v[i] == 0.0) continue;  // a zero term changes no sum
            const int64_t row = r[i];
            const int64_t p = pos[row]++;
            items[p] = Item{(static_cast<uint64_t>(c[i]) << 32) |
                                static_cast<uint64_t>(p - start[row]),
                            v[i]};
          }
        }
        std::vector<int64_t>().swap(at);
        kept.assign(n + 1, 0);
        // Sort each row, sum equal columns in input order, drop exact zeros if asked;
        // the summed entries are written over the row's first items.
#pragma omp parallel for if (par) num_threads(T) schedule(dynamic, 2048)
        for (int64_t row = 0; row < n; ++row) {
          Item* b = items.get() + start[row];
          Item* e = items.get() + start[row + 1];
          if (e - b <= 48) {  // the usual row: insertion sort
            for (Item* p = b + 1; p < e; ++p) {
              const Item x = *p;
              Item* q = p;
              for (; q > b && x.key < (q - 1)->key; --q) *q = *(q - 1);
              *q = x;
            }
          } else {
            std::sort(b, e);
          }
          int64_t out = 0;
          for (Item* p = b; p < e;) {
            const uint64_t col = p->key >> 32;
            double s = p->val;
            for (++p; p < e && (p->key >> 32) == col; ++p) s += p->val;
            if (drop_zeros && s == 0.0) continue;
            b[out].key = col;
            b[out].val = s;
            ++out;
          }
          kept[row + 1] = out;
        }
        for (int64_t row = 0; row < n; ++row) kept[row + 1] += kept[row];
      }
    } catch (const std::bad_alloc&) {
      no_memory = true;
    }
  }
  if (no_memory) return PyErr_NoMemory();
  if (!in_range) {
    PyErr_SetString(PyExc_ValueError, "a row or column index is outside the shape");
    return nullptr;
  }
  const int64_t nnz = kept[n];
  Ref indptr(new_array(1, n + 1, 0, NPY_INT64));
  if (!indptr) return nullptr;
  Ref indices(new_array(1, nnz, 0, NPY_INT32));
  if (!indices) return nullptr;
  Ref data(new_array(1, nnz, 0, NPY_FLOAT64));
  if (!data) return nullptr;
  std::memcpy(PyArray_DATA(indptr.arr()), kept.data(), (n + 1) * sizeof(int64_t));
  int32_t* ind = static_cast<int32_t*>(PyArray_DATA(indices.arr()));
  double* dat = static_cast<double*>(PyArray_DATA(data.arr()));
  {
    NoGil nogil;
#pragma omp parallel for if (T > 1) num_threads(T) schedule(static, 4096)
    for (int64_t row = 0; row < n; ++row) {
      const Item* b = items.get() + start[row];
      for (int64_t j = kept[row], k = 0; j < kept[row + 1]; ++j, ++k) {
        ind[j] = static_cast<int32_t>(b[k].key);
        dat[j] = b[k].val;
      }
    }
  }
  return Py_BuildValue("NNN", indptr.release(), indices.release(), data.release());
}

PyMethodDef kMethods[] = {
    {"sum_entries", sum_entries, METH_VARARGS,
     "sum_entries(rows, cols, vals, n_rows, n_cols, drop_zeros, threads) -> (indptr, "
     "indices, data): the csr arrays of the (row, column, value) entries (int32, int32, "
     "float64) with equal positions summed in input order, columns ascending, exact zeros "
     "dropped if asked; threads 0: OpenMP's count, 1: the calling thread only."},
    {nullptr, nullptr, 0, nullptr}};

PyModuleDef kModule = {PyModuleDef_HEAD_INIT, "fluxkern_sparse",
                       "Sparse summation for fluxkern_tools.fem.kernels.", -1, kMethods,
                       nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_fluxkern_sparse(void) {
  import_array();
  return PyModule_Create(&kModule);
}
