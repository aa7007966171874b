"""Mesh topology: Mesh.from_cells with the compiled kernels against the NumPy path.

Structured boxes of growing size (the Kuhn split of n^3 cells, 6 n^3 tetrahedra; the
largest, 101^3 cells, is the mesh of the 1M-unknown scalar case of bench_solvers.py).
Every other element is given negatively oriented, so the orientation repair runs too.
For each size the paths run in turn, best of the repeats; the table gives the
phases (validation of the arrays, the orientation pass with degenerate and repeated-node
checks, the connectivity pass: edges, orientation classes, face sort, manifold and fold
checks, boundary faces, nodes and edges; the face numbering that second-order elements
ask for on first use), the parts of the connectivity pass (c.*), the from_cells total
and the ratio, its CPU time and that ratio (on a shared machine the CPU time is the
steadier figure for one thread), and the generator's own time (box_mesh without
from_cells). The results of the compiled paths are compared with NumPy's array by array.

    python benchmarks/bench_mesh.py                  # up to 101^3 cells (~6.2M tets)
    python benchmarks/bench_mesh.py --sizes 20 40    # cells per axis

The compiled path runs on one thread and on all that OpenMP allows (OMP_NUM_THREADS
caps them), interleaved with the NumPy path.
"""

import argparse
import os
import time

import numpy as np

from fluxkern_tools.meshes import generators
from fluxkern_tools.meshes import topology as T

PHASES = ("validate", "orient", "connect", "faces")
# Parts of the connectivity pass: orientation classes, edge numbering, the face sort
# with the manifold and fold checks, boundary faces, nodes and edges.
PARTS = ("classes", "edges", "faces", "boundary")


def raw_box(n):
    """Nodes and cells of the n^3-cell unit box, every other element reversed."""
    ax = np.linspace(0.0, 1.0, n + 1)
    m = generators.box_mesh(ax, ax, ax)
    cells = m.cells.astype(np.int64)
    cells[1::2] = cells[1::2][:, [0, 1, 3, 2]]
    return m.nodes, cells


def _timed(fn, times, name):
    def wrapper(*args):
        t0 = time.perf_counter()
        try:
            return fn(*args)
        finally:
            times[name] = times.get(name, 0.0) + time.perf_counter() - t0
    return wrapper


def _numpy_connect(C, n, times):
    """The NumPy connectivity pass with its helpers timed; the rest (edge keys,
    boundary) is what is left of the total."""
    saved = {k: getattr(T, k) for k in ("orientation_class", "_unique_inverse",
                                        "_sort_triples", "_check_folds")}
    T.orientation_class = _timed(saved["orientation_class"], times, "classes")
    T._unique_inverse = _timed(saved["_unique_inverse"], times, "edges")
    T._sort_triples = _timed(saved["_sort_triples"], times, "faces")
    T._check_folds = _timed(saved["_check_folds"], times, "faces")
    try:
        t0 = time.perf_counter()
        T._connect_numpy(C, n)
        total = time.perf_counter() - t0
    finally:
        for k, v in saved.items():
            setattr(T, k, v)
    times["boundary"] = total - sum(times.values())


def phases(X, cells, ext):
    """Wall times (s) of from_cells, its phases and the parts of its connectivity pass,
    from_cells's CPU time (all threads), and the mesh; with ``ext`` (the compiled kernels) or None
    (NumPy)."""
    saved, T._ext = T._ext, ext
    try:
        t = {}
        c0, t0 = time.process_time(), time.perf_counter()
        m = T.Mesh.from_cells(X, cells)
        t["from_cells"] = time.perf_counter() - t0
        t["cpu"] = time.process_time() - c0
        t0 = time.perf_counter()
        m.faces
        t["faces"] = time.perf_counter() - t0
        # The phases alone, on the same input.
        t0 = time.perf_counter()
        C = np.array(cells, dtype=np.int64, copy=True, order="C")
        C.min(), C.max()
        t["validate"] = time.perf_counter() - t0
        t0 = time.perf_counter()
        T._orient(X, C, 1e-12, True)
        t["orient"] = time.perf_counter() - t0
        C = C.astype(np.int32)
        parts = {}
        t0 = time.perf_counter()
        if ext is None:
            _numpy_connect(C, len(X), parts)
        else:
            ext.connect(C, len(X), parts)
        t["connect"] = time.perf_counter() - t0
        t.update({"c." + k: v for k, v in parts.items()})
    finally:
        T._ext = saved
    return t, m


def same(a, b):
    """True when two meshes have equal arrays of equal dtypes."""
    names = ["cells", "edges", "glob_ids", "orientations", "boundary_faces",
             "boundary_nodes", "boundary_edges", "faces", "face_ids"]
    return all(np.array_equal(getattr(a, k), getattr(b, k)) and
               getattr(a, k).dtype == getattr(b, k).dtype for k in names)


def generator_time(n):
    """box_mesh without its from_cells call (s)."""
    ax = np.linspace(0.0, 1.0, n + 1)
    saved = generators.Mesh
    generators.Mesh = type("NoTopology", (), {"from_cells": staticmethod(lambda *a: None)})
    try:
        t0 = time.perf_counter()
        generators.box_mesh(ax, ax, ax)
        return time.perf_counter() - t0
    finally:
        generators.Mesh = saved


def main():
    """Print the table (see the module's docstring)."""
    from threadpoolctl import threadpool_limits
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--sizes", type=int, nargs="+", default=[20, 40, 60, 80, 101],
                    help="cells per axis")
    ap.add_argument("--repeats", type=int, default=3)
    args = ap.parse_args()
    if T._ext is None:
        raise SystemExit("fluxkern_topology is not built (make install)")
    threads = T._ext.num_threads()
    print(f"{os.cpu_count()} cores (shared with other work), compiled path on 1 and on "
          f"{threads} thread(s) (OMP_NUM_THREADS={os.environ.get('OMP_NUM_THREADS', 'unset')}"
          f" caps the latter), best of {args.repeats} interleaved; seconds")
    cols = PHASES + tuple("c." + p for p in PARTS)
    head = f"{'cells':>5} {'tets':>9} {'path':>9} " + " ".join(f"{p:>10}" for p in cols)
    print(head + f" {'from_cells':>10} {'ratio':>6} {'cpu':>7} {'ratio':>6} {'box_mesh':>8} same")
    paths = {"numpy": (None, None), "kernels/1": (T._ext, 1),
             f"kernels/{threads}": (T._ext, threads)}
    for n in args.sizes:
        X, cells = raw_box(n)
        best = {path: {} for path in paths}
        results = {}
        for _ in range(args.repeats):
            for path, (ext, nt) in paths.items():
                with threadpool_limits(nt, user_api="openmp"):
                    t, results[path] = phases(X, cells, ext)
                for k, v in t.items():
                    best[path][k] = min(best[path].get(k, np.inf), v)
        gen = min(generator_time(n) for _ in range(args.repeats))
        for path in paths:
            b = best[path]
            ok = same(results["numpy"], results[path])
            ratio = best["numpy"]["from_cells"] / b["from_cells"]
            cpu_ratio = best["numpy"]["cpu"] / b["cpu"]
            print(f"{n:>5} {len(cells):>9} {path:>9} "
                  + " ".join(f"{b[p]:10.3f}" for p in cols)
                  + f" {b['from_cells']:10.3f} {ratio:6.1f} {b['cpu']:7.3f} {cpu_ratio:6.1f}"
                  + f" {gen:8.3f} {ok}", flush=True)


if __name__ == "__main__":
    main()
