"""Helpers shared by the finite-element benchmarks."""

import os
import time

import numpy as np

import fluxkern_mod


def best_of(repeats, fn):
    """The fastest of `repeats` runs of fn() in seconds, and its last result."""
    best, result = float("inf"), None
    for _ in range(repeats):
        t0 = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - t0)
    return best, result


def best_of_interleaved(repeats, *fns):
    """The fastest time of each fn over `repeats` rounds that run them in
    turn, so that a slow phase of a shared machine hits all of them alike."""
    best = [float("inf")] * len(fns)
    results = [None] * len(fns)
    for _ in range(repeats):
        for k, fn in enumerate(fns):
            t0 = time.perf_counter()
            results[k] = fn()
            best[k] = min(best[k], time.perf_counter() - t0)
    return best, results


class CsrRecorder:
    """Stands in for the module's csr_array global and keeps its arguments,
    so that the sparse construction can be timed alone on the same triplets."""

    def __init__(self):
        import scipy.sparse
        self.real = scipy.sparse.csr_array
        self.calls = []

    def __call__(self, arg, shape):
        self.calls.append((arg, shape))
        return self.real(arg, shape=shape)

    def replay(self):
        return [self.real(arg, shape=shape) for arg, shape in self.calls]


def record_csr_arguments(call):
    """Runs call() with the module's csr_array replaced by a recorder."""
    recorder = CsrRecorder()
    saved = fluxkern_mod.csr_array
    fluxkern_mod.csr_array = recorder
    try:
        call()
    finally:
        fluxkern_mod.csr_array = saved
    return recorder


def skfem_or_none():
    try:
        import skfem  # noqa: F401
        return skfem
    except ImportError:
        return None


def header(title, num_el):
    print(title)
    print(f"  {num_el} tetrahedra, {os.cpu_count()} cores")


def line(label, seconds, num_el):
    print(f"  {label:<44} {seconds:8.4f} s  {num_el / seconds:12.3e} elements/s")


def unit_box(n, regions=()):
    from fluxkern_tools import meshes
    return meshes.box((0.0, 0.0, 0.0), (1.0, 1.0, 1.0), (n, n, n), regions=regions)


def degree2_rule():
    from fluxkern_tools import quadrature
    q, w = quadrature.tetrahedron(2)
    assert len(w) == 4
    return np.ascontiguousarray(q), np.ascontiguousarray(w)
