// Tetrahedral mesh topology for fluxkern_tools.meshes.topology: orientation checks,
// edge and face numbering, manifold and fold checks, boundary faces, nodes and edges.
//
// Every function takes C-contiguous arrays of the stated dtype (the Python side makes
// them), checks every node index it reads, does its work with the GIL released on
// OpenMP threads (OMP_NUM_THREADS caps them) and returns new arrays.  The results are
// those of the NumPy implementation in topology.py, element for element:
//  * edges are numbered in lexicographic order of (low node, high node), faces in
//    lexicographic order of their ascending node triple;
//  * entries are bucketed by their lowest node (a counting sort) and each small
//    bucket is sorted by (rest of the key, entry index), which is the order of a
//    stable sort on the whole key;
//  * the volume is summed in the order NumPy's einsum uses for "ij,ij->i" over three
//    terms ((p0 + p2) + p1) and edge lengths as np.linalg.norm does, and the module is
//    built without floating-point contraction, so the degenerate and negative-volume
//    decisions are bit for bit the same.

#include "pyhelpers.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

namespace {

using namespace fluxkern_py;

// Below this many elements the work is done on the calling thread: waking a team
// would cost more than it saves.
constexpr int64_t kParallelMin = 20000;

constexpr int kLocalEdges[6][2] = {{0, 1}, {0, 2}, {0, 3}, {1, 2}, {1, 3}, {2, 3}};
constexpr int kFaces[4][3] = {{1, 2, 3}, {0, 3, 2}, {0, 1, 3}, {0, 2, 1}};

// Seconds since the last lap.
class Clock {
 public:
  double lap() {
    const auto now = std::chrono::steady_clock::now();
    const double s = std::chrono::duration<double>(now - last_).count();
    last_ = now;
    return s;
  }

 private:
  std::chrono::steady_clock::time_point last_ = std::chrono::steady_clock::now();
};

// Entries bucketed by their lowest node, each bucket sorted by (key, index).
template <typename Key>
struct Item {
  Key key;
  int32_t idx;
  bool operator<(const Item& o) const { return key < o.key || (key == o.key && idx < o.idx); }
};

template <typename Key>
struct Buckets {
  std::vector<int64_t> start;  // n + 1 offsets into items
  std::unique_ptr<Item<Key>[]> items;  // left uninitialised: every slot is written
};

// Bucket ``count`` entries: lowkey(i, lo, key) gives entry i's lowest node and key.
template <typename Key, typename F>
void bucket_sort(Buckets<Key>& b, int64_t n, int64_t count, F lowkey, bool par) {
  // The entries are split into T consecutive chunks, counted and placed chunk by
  // chunk, so that a bucket holds chunk 0's entries, then chunk 1's, ... whichever
  // thread runs a chunk. The per-chunk counters never outgrow the items.
  int64_t T = 1;
#ifdef _OPENMP
  if (par) T = omp_get_max_threads();
#endif
  T = std::max<int64_t>(1, std::min<int64_t>(T, count / std::max<int64_t>(n, 1)));
  std::vector<int64_t> at(static_cast<size_t>(T * n), 0);  // at[t * n + v]
  auto chunk = [count, T](int64_t t) { return count / T * t + std::min(t, count % T); };
#pragma omp parallel for if (T > 1) schedule(static, 1)
  for (int64_t t = 0; t < T; ++t) {
    int64_t* c = at.data() + t * n;
    for (int64_t i = chunk(t); i < chunk(t + 1); ++i) {
      int64_t lo;
      Key key;
      lowkey(i, lo, key);
      ++c[lo];
    }
  }
  b.start.assign(n + 1, 0);
  for (int64_t v = 0, pos = 0; v < n; ++v) {
    for (int64_t t = 0; t < T; ++t) {
      const int64_t c = at[t * n + v];
      at[t * n + v] = pos;
      pos += c;
    }
    b.start[v + 1] = pos;
  }
  b.items.reset(new Item<Key>[count]);
#pragma omp parallel for if (T > 1) schedule(static, 1)
  for (int64_t t = 0; t < T; ++t) {
    int64_t* c = at.data() + t * n;
    for (int64_t i = chunk(t); i < chunk(t + 1); ++i) {
      int64_t lo;
      Key key;
      lowkey(i, lo, key);
      b.items[c[lo]++] = Item<Key>{key, static_cast<int32_t>(i)};
    }
  }
  std::vector<int64_t>().swap(at);
#pragma omp parallel for if (par) schedule(dynamic, 2048)
  for (int64_t v = 0; v < n; ++v) {
    std::sort(b.items.get() + b.start[v], b.items.get() + b.start[v + 1]);
  }
}

// Number of distinct keys per bucket and their exclusive prefix sum (n + 1 entries).
template <typename Key>
std::vector<int64_t> distinct_offsets(const Buckets<Key>& b, int64_t n, bool par) {
  std::vector<int64_t> off(n + 1, 0);
#pragma omp parallel for if (par) schedule(dynamic, 4096)
  for (int64_t v = 0; v < n; ++v) {
    int64_t c = 0;
    for (int64_t j = b.start[v]; j < b.start[v + 1]; ++j)
      if (j == b.start[v] || b.items[j].key != b.items[j - 1].key) ++c;
    off[v + 1] = c;
  }
  for (int64_t v = 0; v < n; ++v) off[v + 1] += off[v];
  return off;
}

inline void sort3(int64_t& a, int64_t& b, int64_t& c) {
  if (a > b) std::swap(a, b);
  if (b > c) std::swap(b, c);
  if (a > b) std::swap(a, b);
}

// Face entries (element-major, local face order) keyed by (middle, high) node.
struct FaceKeys {
  const int32_t* C;
  int64_t n;
  void operator()(int64_t i, int64_t& lo, uint64_t& key) const {
    const int32_t* c = C + 4 * (i / 4);
    const int* f = kFaces[i % 4];
    int64_t a = c[f[0]], m = c[f[1]], h = c[f[2]];
    sort3(a, m, h);
    lo = a;
    key = static_cast<uint64_t>(m) * static_cast<uint64_t>(n) + static_cast<uint64_t>(h);
  }
};

bool cells_in_range(const int32_t* C, int64_t len, int64_t n, bool par) {
  bool ok = true;
#pragma omp parallel for if (par) reduction(&& : ok)
  for (int64_t i = 0; i < len; ++i) ok = ok && C[i] >= 0 && C[i] < n;
  return ok;
}

const char* kRange = "cells reference nodes outside 0 .. num_nodes - 1";

// orient(nodes, cells, rel_tol, repair) -> (status, count, first, repaired)
PyObject* orient(PyObject*, PyObject* args) {
  PyObject *xo, *co;
  double rel_tol;
  int repair;
  if (!PyArg_ParseTuple(args, "OOdp", &xo, &co, &rel_tol, &repair)) return nullptr;
  PyArrayObject* xa = checked(xo, NPY_FLOAT64, 2, 3, "nodes");
  if (!xa) return nullptr;
  PyArrayObject* ca = checked(co, NPY_INT64, 2, 4, "cells", true);
  if (!ca) return nullptr;
  const int64_t n = PyArray_DIM(xa, 0), E = PyArray_DIM(ca, 0);
  const bool par = E >= kParallelMin;
  const double* X = static_cast<const double*>(PyArray_DATA(xa));
  int64_t* C = static_cast<int64_t*>(PyArray_DATA(ca));
  int64_t repeats = 0, flat = 0, neg = 0, first_flat = E, bad = 0;
  {
    NoGil nogil;
#pragma omp parallel for if (par) reduction(+ : repeats, flat, neg, bad) reduction(min : first_flat)
    for (int64_t e = 0; e < E; ++e) {
      int64_t* c = C + 4 * e;
      if (c[0] < 0 || c[0] >= n || c[1] < 0 || c[1] >= n || c[2] < 0 || c[2] >= n ||
          c[3] < 0 || c[3] >= n) {
        ++bad;
        continue;
      }
      if (c[0] == c[1] || c[0] == c[2] || c[0] == c[3] || c[1] == c[2] || c[1] == c[3] ||
          c[2] == c[3])
        ++repeats;
      const double* p[4] = {X + 3 * c[0], X + 3 * c[1], X + 3 * c[2], X + 3 * c[3]};
      double d1[3], d2[3], d3[3];
      for (int k = 0; k < 3; ++k) {
        d1[k] = p[1][k] - p[0][k];
        d2[k] = p[2][k] - p[0][k];
        d3[k] = p[3][k] - p[0][k];
      }
      const double c0 = d2[1] * d3[2] - d2[2] * d3[1];
      const double c1 = d2[2] * d3[0] - d2[0] * d3[2];
      const double c2 = d2[0] * d3[1] - d2[1] * d3[0];
      const double q0 = d1[0] * c0, q1 = d1[1] * c1, q2 = d1[2] * c2;
      const double vol = ((q0 + q2) + q1) / 6.0;
      double lmax = 0.0;
      for (const auto& le : kLocalEdges) {
        const double* a = p[le[0]];
        const double* b = p[le[1]];
        const double dx = b[0] - a[0], dy = b[1] - a[1], dz = b[2] - a[2];
        lmax = std::max(lmax, std::sqrt((dx * dx + dy * dy) + dz * dz));
      }
      if (std::fabs(vol) <= rel_tol * std::pow(lmax, 3.0)) {
        ++flat;
        first_flat = std::min(first_flat, e);
      }
      if (vol < 0) {
        ++neg;
        if (repair) std::swap(c[2], c[3]);
      }
    }
  }
  if (bad) {
    PyErr_SetString(PyExc_ValueError, kRange);
    return nullptr;
  }
  int status = repeats ? 1 : flat ? 2 : (neg && !repair) ? 3 : 0;
  long long count = status == 2 ? flat : neg;
  return Py_BuildValue("iLLL", status, count, static_cast<long long>(first_flat),
                       static_cast<long long>(neg));
}

// connect(cells int32 (E, 4), n[, times]) -> (status, edges, glob_ids, orientations, folds,
// fold_element, boundary_faces, boundary_nodes, boundary_edges); status 1: a face
// has more than two elements, 2: folds (the arrays are then None). A dict ``times``
// receives the seconds of the phases: classes, edges, faces, boundary.
PyObject* connect(PyObject*, PyObject* args) {
  PyObject* co;
  long long nn;
  PyObject* times = nullptr;
  if (!PyArg_ParseTuple(args, "OL|O!", &co, &nn, &PyDict_Type, &times)) return nullptr;
  PyArrayObject* ca = checked(co, NPY_INT32, 2, 4, "cells");
  if (!ca) return nullptr;
  const int64_t n = nn, E = PyArray_DIM(ca, 0);
  if (n < 0 || n >= (int64_t(1) << 31) || 6 * E >= (int64_t(1) << 31)) {
    PyErr_SetString(PyExc_ValueError, "mesh too large for 32-bit indices");
    return nullptr;
  }
  const int32_t* C = static_cast<const int32_t*>(PyArray_DATA(ca));
  const bool par = E >= kParallelMin;
  Ref gid(new_array(2, E, 6, NPY_INT32)), ori(new_array(1, E, 0, NPY_INT32));
  if (!gid || !ori) return nullptr;
  int32_t* G = static_cast<int32_t*>(PyArray_DATA(gid.arr()));
  int32_t* O = static_cast<int32_t*>(PyArray_DATA(ori.arr()));

  bool in_range = true, no_memory = false;
  int status = 0;
  long long folds = 0, fold_el = -1;
  std::vector<int32_t> edges, bfaces, bnodes, bedges;
  double phase[4] = {0, 0, 0, 0};
  {
    NoGil nogil;
    try {
      in_range = cells_in_range(C, 4 * E, n, par);
      if (in_range) {
        Clock clock;
        // Orientation classes: bit k set when local edge k runs from high to low.
#pragma omp parallel for if (par)
        for (int64_t e = 0; e < E; ++e) {
          int32_t cls = 0;
          for (int k = 0; k < 6; ++k)
            cls |= int32_t(C[4 * e + kLocalEdges[k][0]] > C[4 * e + kLocalEdges[k][1]]) << k;
          O[e] = cls;
        }
        phase[0] = clock.lap();
        // Edges.
        std::vector<int64_t> eoff;
        {
          Buckets<uint32_t> eb;
          bucket_sort(eb, n, 6 * E, [C](int64_t i, int64_t& lo, uint32_t& key) {
            const int32_t* c = C + 4 * (i / 6);
            const int32_t a = c[kLocalEdges[i % 6][0]], b = c[kLocalEdges[i % 6][1]];
            lo = std::min(a, b);
            key = static_cast<uint32_t>(std::max(a, b));
          }, par);
          eoff = distinct_offsets(eb, n, par);
          edges.resize(2 * eoff[n]);
#pragma omp parallel for if (par) schedule(dynamic, 4096)
          for (int64_t v = 0; v < n; ++v) {
            int64_t id = eoff[v] - 1;
            for (int64_t j = eb.start[v]; j < eb.start[v + 1]; ++j) {
              if (j == eb.start[v] || eb.items[j].key != eb.items[j - 1].key) {
                ++id;
                edges[2 * id] = static_cast<int32_t>(v);
                edges[2 * id + 1] = static_cast<int32_t>(eb.items[j].key);
              }
              G[eb.items[j].idx] = static_cast<int32_t>(id);
            }
          }
        }
        phase[1] = clock.lap();
        // Faces: one element (boundary), two (check the fold) or more (non-manifold).
        Buckets<uint64_t> fb;
        bucket_sort(fb, n, 4 * E, FaceKeys{C, n}, par);
        std::vector<int64_t> nb(n + 1, 0), nfold(n, 0), first_fold(n, -1);
        int64_t over = 0;
        auto parity = [C](int32_t i) {
          const int32_t* c = C + 4 * (i / 4);
          const int* f = kFaces[i % 4];
          const int32_t a = c[f[0]], b = c[f[1]], d = c[f[2]];
          return (int(a > b) + int(a > d) + int(b > d)) % 2;
        };
#pragma omp parallel for if (par) schedule(dynamic, 4096) reduction(+ : over)
        for (int64_t v = 0; v < n; ++v) {
          for (int64_t j = fb.start[v]; j < fb.start[v + 1];) {
            int64_t k = j + 1;
            while (k < fb.start[v + 1] && fb.items[k].key == fb.items[j].key) ++k;
            if (k - j == 1) {
              ++nb[v + 1];
            } else if (k - j == 2) {
              if (parity(fb.items[j].idx) == parity(fb.items[j + 1].idx)) {
                if (nfold[v]++ == 0) first_fold[v] = fb.items[j + 1].idx / 4;
              }
            } else {
              ++over;
            }
            j = k;
          }
        }
        if (over) {
          status = 1;
        } else {
          for (int64_t v = 0; v < n; ++v) {
            if (nfold[v] && fold_el < 0) fold_el = first_fold[v];
            folds += nfold[v];
          }
          if (folds) status = 2;
        }
        phase[2] = clock.lap();
        if (status == 0) {
          for (int64_t v = 0; v < n; ++v) nb[v + 1] += nb[v];
          bfaces.resize(3 * nb[n]);
#pragma omp parallel for if (par) schedule(dynamic, 4096)
          for (int64_t v = 0; v < n; ++v) {
            int64_t out = nb[v];
            for (int64_t j = fb.start[v]; j < fb.start[v + 1];) {
              int64_t k = j + 1;
              while (k < fb.start[v + 1] && fb.items[k].key == fb.items[j].key) ++k;
              if (k - j == 1) {
                const int32_t i = fb.items[j].idx;
                const int* f = kFaces[i % 4];
                for (int q = 0; q < 3; ++q) bfaces[3 * out + q] = C[4 * (i / 4) + f[q]];
                ++out;
              }
              j = k;
            }
          }
          // Boundary nodes and edges, ascending.
          std::vector<char> on_node(n, 0), on_edge(eoff[n], 0);
          const int pairs[3][2] = {{0, 1}, {1, 2}, {0, 2}};
          for (int64_t t = 0; t < nb[n]; ++t) {
            for (int q = 0; q < 3; ++q) on_node[bfaces[3 * t + q]] = 1;
            for (const auto& p : pairs) {
              const int32_t a = bfaces[3 * t + p[0]], b = bfaces[3 * t + p[1]];
              const int32_t lo = std::min(a, b), hi = std::max(a, b);
              // The high ends of the edges from lo are ascending: bisect.
              int64_t l = eoff[lo], r = eoff[lo + 1];
              while (l < r) {
                const int64_t m = (l + r) / 2;
                if (edges[2 * m + 1] < hi) l = m + 1; else r = m;
              }
              if (l < eoff[lo + 1] && edges[2 * l + 1] == hi) on_edge[l] = 1;
            }
          }
          for (int64_t v = 0; v < n; ++v)
            if (on_node[v]) bnodes.push_back(static_cast<int32_t>(v));
          for (int64_t m = 0; m < eoff[n]; ++m)
            if (on_edge[m]) bedges.push_back(static_cast<int32_t>(m));
          phase[3] = clock.lap();
        }
      }
    } catch (const std::bad_alloc&) {
      no_memory = true;
    }
  }
  if (no_memory) return PyErr_NoMemory();
  if (times) {
    const char* names[4] = {"classes", "edges", "faces", "boundary"};
    for (int k = 0; k < 4; ++k) {
      Ref t(PyFloat_FromDouble(phase[k]));
      if (!t || PyDict_SetItemString(times, names[k], t.get()) < 0) return nullptr;
    }
  }
  if (!in_range) {
    PyErr_SetString(PyExc_ValueError, kRange);
    return nullptr;
  }
  if (status) return Py_BuildValue("iOOOLLOOO", status, Py_None, Py_None, Py_None, folds,
                                   fold_el, Py_None, Py_None, Py_None);
  Ref ea(new_array(2, static_cast<npy_intp>(edges.size() / 2), 2, NPY_INT32));
  Ref fa(new_array(2, static_cast<npy_intp>(bfaces.size() / 3), 3, NPY_INT32));
  Ref na(new_array(1, static_cast<npy_intp>(bnodes.size()), 0, NPY_INT32));
  Ref ba(new_array(1, static_cast<npy_intp>(bedges.size()), 0, NPY_INT32));
  if (!ea || !fa || !na || !ba) return nullptr;
  std::memcpy(PyArray_DATA(ea.arr()), edges.data(), edges.size() * sizeof(int32_t));
  std::memcpy(PyArray_DATA(fa.arr()), bfaces.data(), bfaces.size() * sizeof(int32_t));
  std::memcpy(PyArray_DATA(na.arr()), bnodes.data(), bnodes.size() * sizeof(int32_t));
  std::memcpy(PyArray_DATA(ba.arr()), bedges.data(), bedges.size() * sizeof(int32_t));
  return Py_BuildValue("iNNNLLNNN", 0, ea.release(), gid.release(), ori.release(), folds,
                       fold_el, fa.release(), na.release(), ba.release());
}

// face_numbering(cells int32 (E, 4), n) -> (faces (F, 3) int32 ascending nodes in
// lexicographic order, face_ids (E, 4) int32).
PyObject* face_numbering(PyObject*, PyObject* args) {
  PyObject* co;
  long long nn;
  if (!PyArg_ParseTuple(args, "OL", &co, &nn)) return nullptr;
  PyArrayObject* ca = checked(co, NPY_INT32, 2, 4, "cells");
  if (!ca) return nullptr;
  const int64_t n = nn, E = PyArray_DIM(ca, 0);
  if (n < 0 || n >= (int64_t(1) << 31) || 4 * E >= (int64_t(1) << 31)) {
    PyErr_SetString(PyExc_ValueError, "mesh too large for 32-bit indices");
    return nullptr;
  }
  const int32_t* C = static_cast<const int32_t*>(PyArray_DATA(ca));
  const bool par = E >= kParallelMin;
  Ref ids(new_array(2, E, 4, NPY_INT32));
  if (!ids) return nullptr;
  int32_t* I = static_cast<int32_t*>(PyArray_DATA(ids.arr()));
  bool in_range = true, no_memory = false;
  std::vector<int32_t> faces;
  {
    NoGil nogil;
    try {
      in_range = cells_in_range(C, 4 * E, n, par);
      if (in_range) {
        Buckets<uint64_t> fb;
        bucket_sort(fb, n, 4 * E, FaceKeys{C, n}, par);
        std::vector<int64_t> off = distinct_offsets(fb, n, par);
        faces.resize(3 * off[n]);
#pragma omp parallel for if (par) schedule(dynamic, 4096)
        for (int64_t v = 0; v < n; ++v) {
          int64_t id = off[v] - 1;
          for (int64_t j = fb.start[v]; j < fb.start[v + 1]; ++j) {
            const uint64_t key = fb.items[j].key;
            if (j == fb.start[v] || key != fb.items[j - 1].key) {
              ++id;
              faces[3 * id] = static_cast<int32_t>(v);
              faces[3 * id + 1] = static_cast<int32_t>(key / static_cast<uint64_t>(n));
              faces[3 * id + 2] = static_cast<int32_t>(key % static_cast<uint64_t>(n));
            }
            I[fb.items[j].idx] = static_cast<int32_t>(id);
          }
        }
      }
    } catch (const std::bad_alloc&) {
      no_memory = true;
    }
  }
  if (no_memory) return PyErr_NoMemory();
  if (!in_range) {
    PyErr_SetString(PyExc_ValueError, kRange);
    return nullptr;
  }
  Ref fa(new_array(2, static_cast<npy_intp>(faces.size() / 3), 3, NPY_INT32));
  if (!fa) return nullptr;
  std::memcpy(PyArray_DATA(fa.arr()), faces.data(), faces.size() * sizeof(int32_t));
  return Py_BuildValue("NN", fa.release(), ids.release());
}

PyObject* num_threads(PyObject*, PyObject*) {
#ifdef _OPENMP
  return PyLong_FromLong(omp_get_max_threads());
#else
  return PyLong_FromLong(1);
#endif
}

PyMethodDef kMethods[] = {
    {"orient", orient, METH_VARARGS,
     "orient(nodes, cells, rel_tol, repair) -> (status, count, first, negative)"},
    {"connect", connect, METH_VARARGS,
     "connect(cells, num_nodes[, times]) -> (status, edges, glob_ids, orientations, folds, "
     "fold_element, boundary_faces, boundary_nodes, boundary_edges)"},
    {"face_numbering", face_numbering, METH_VARARGS,
     "face_numbering(cells, num_nodes) -> (faces, face_ids)"},
    {"num_threads", num_threads, METH_NOARGS, "Threads an OpenMP region would use."},
    {nullptr, nullptr, 0, nullptr}};

PyModuleDef kModule = {PyModuleDef_HEAD_INIT, "fluxkern_topology",
                       "Mesh topology kernels for fluxkern_tools.meshes.topology.", -1,
                       kMethods, nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_fluxkern_topology(void) {
  import_array();
  return PyModule_Create(&kModule);
}
