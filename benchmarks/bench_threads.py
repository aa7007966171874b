"""Does a second core help? Assembly chunks and sparse products in a thread pool.

The compiled kernels hold the interpreter lock for a whole call, so chunks assembled
by two threads should take as long as in turn; SciPy's sparse matrix-vector product
releases it, so the rows of a product split between threads may run side by side.
Both are timed against the serial way in the same run, interleaved, min of repeats,
on the air region of the steel cube (P1 scalar potential).

    python benchmarks/bench_threads.py             # 64 cells per axis (1.6M tetrahedra)
    python benchmarks/bench_threads.py --n 48
"""

import argparse
import os
import sys
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import scipy.sparse as sp

sys.path.insert(0, os.path.dirname(__file__))
from _common import best_of_interleaved  # noqa: E402
from bench_solvers import B0, cube_mesh  # noqa: E402


def main():
    from fluxkern_tools import materials, solvers
    from fluxkern_tools.fem import kernels

    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--n", type=int, default=64)
    ap.add_argument("--repeats", type=int, default=3)
    args = ap.parse_args()
    mesh = cube_mesh(args.n)
    pb = solvers.ScalarPotential(mesh, {0: materials.vacuum(), 1: materials.steel()},
                                 [0.0, 0.0, B0 / materials.MU0])
    cells, k = pb._regions[0], pb.d_phi.shape[1]
    x = pb.prescribed()
    num_el = len(cells) // k
    pool = ThreadPoolExecutor(max_workers=2)

    def chunk(a, b):
        return kernels.nodal_system(pb.nodes, cells[k * a:k * b], pb.d_phi, x,
                                    pb.materials[0], pb.q, pb.w, chunk=None)[0]

    def serial():
        return kernels.nodal_system(pb.nodes, cells, pb.d_phi, x, pb.materials[0],
                                    pb.q, pb.w)[0]

    def threaded():
        step = kernels.CHUNK
        parts = list(pool.map(lambda a: chunk(a, min(num_el, a + step)),
                              range(0, num_el, step)))
        K = parts[0]
        for P in parts[1:]:
            K = K + P
        return K

    (t_s, t_t), (K1, K2) = best_of_interleaved(args.repeats, serial, threaded)
    print(f"{num_el} air tetrahedra, {os.cpu_count()} cores; min of {args.repeats}")
    print(f"  assembly in turn {t_s:7.2f} s, two threads {t_t:7.2f} s "
          f"({t_s / t_t:.2f}x); difference {abs(K1 - K2).max() / abs(K1).max():.1e}")
    A = sp.csr_array(K1)
    half = A.shape[0] // 2
    top, bottom = sp.csr_array(A[:half]), sp.csr_array(A[half:])
    v = np.random.default_rng(0).normal(size=A.shape[0])

    def product():
        return A @ v

    def product_threaded():
        a, b = pool.map(lambda M: M @ v, (top, bottom))
        return np.concatenate([a, b])

    def many(fn):
        return lambda: [fn() for _ in range(20)][-1]

    (p_s, p_t), (y1, y2) = best_of_interleaved(args.repeats, many(product),
                                               many(product_threaded))
    print(f"  20 products A v ({A.nnz} nonzeros): one thread {p_s:6.3f} s, rows split "
          f"over two {p_t:6.3f} s ({p_s / p_t:.2f}x); difference "
          f"{np.abs(y1 - y2).max() / np.abs(y1).max():.1e}")
    pool.shutdown()


if __name__ == "__main__":
    main()
