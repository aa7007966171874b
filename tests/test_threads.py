"""Several host threads calling the entry points at once get exactly the
results of serial calls.

An entry point holds the interpreter lock while it runs, but not while the
caller's objects run: material methods and array-likes written in Python
let the other threads in halfway through a call.  The objects here yield
at every method, so calls interleave at each of those points, while one
more thread keeps changing the module namespace (the global lookup cache).
"""

import sys
import threading
import time

import numpy as np
import pytest

import fluxkern_mod

THREADS = 6
ROUNDS = 15


class Yielding:
    """An array-like that lets other threads run before it flattens."""

    def __init__(self, a):
        self._a = np.asarray(a)
        self.shape = self._a.shape

    def __len__(self):
        return len(self._a)

    def flatten(self):
        time.sleep(0)
        return self._a.flatten()


class Permeability:
    def get_type_spec(self):
        time.sleep(0)
        return 1

    def get_spline_information(self):
        time.sleep(0)
        t = np.array([-1.0, -1, -1, -1, 1, 2, 3, 3, 3, 3])
        return t, np.linspace(1e-3, 5e-3, 6), 3, 1e-3, 2e-3


class Reluctance:
    def get_type_spec(self):
        time.sleep(0)
        return 1

    def get_spline_information(self):
        time.sleep(0)
        return np.arange(12.0).reshape(4, 3) + 1.0, np.array([0.0, 0.5, 1.0, 2.0])


def problems(seed):
    """One call of each entry point on its own random data."""
    rng = np.random.default_rng(seed)
    E, M, n, num_dofs = 40, 4, 6, 70
    nodes = rng.standard_normal((30, 3))
    cells = np.concatenate([rng.permutation(30)[:4] for _ in range(E)]).astype(np.int32)
    d_phi, phi = rng.standard_normal((M, 4, 3)), rng.random((M, 4))
    q, w = rng.random((M, 3)), rng.uniform(0.01, 0.1, M)
    glob = rng.integers(0, num_dofs, E * n).astype(np.int32)
    curls = rng.standard_normal((3, M, n, 3))
    orient = rng.integers(0, 3, E).astype(np.int32)
    x, B_s = rng.standard_normal(num_dofs), rng.standard_normal((E, M, 3))
    hcurl = dict(nodes=Yielding(nodes), cells=cells, glob_ids=Yielding(glob), curls=curls,
                 d_phi=d_phi, orientations=orient, x=x, q=q, w=w, num_dofs=num_dofs,
                 num_el_dofs=n)
    return [
        ("compute_stiffness_and_jacobi_matrix",
         dict(nodes=Yielding(nodes), cells=cells, d_phi=d_phi, x=rng.standard_normal(30) * 1e3,
              permeability=Permeability(), q=q, w=w)),
        ("compute_stiffness_and_jacobi_matrix_curl_curl",
         dict(hcurl, B_s=B_s, reluctance=Reluctance())),
        ("compute_rhs_Hcurl_red_c", dict(hcurl, B_s=B_s, reluctance=Reluctance())),
        ("compute_B_Hcurl", dict(hcurl, phi=phi)),
        ("compute_B_line_segs_cpp",
         dict(src=Yielding(rng.standard_normal((50, 6))), tar=rng.standard_normal((300, 3)),
              current=2.0, radius=0.05)),
    ]


def bits(result):
    if isinstance(result, tuple):
        return tuple(bits(r) for r in result)
    if hasattr(result, "indptr"):
        return (result.shape, result.indptr.tobytes(), result.indices.tobytes(),
                result.data.tobytes())
    return (result.shape, result.tobytes())


def same(name, got, expected):
    if name == "compute_B_line_segs_cpp":
        # The OpenMP workers merge their sums in any order: equal to rounding.
        return np.allclose(got, expected, rtol=1e-9, atol=1e-12 * np.nanmax(np.abs(expected)),
                           equal_nan=True)
    return bits(got) == bits(expected)


def test_concurrent_calls_equal_serial_calls():
    calls = [c for seed in range(3) for c in problems(seed)]
    expected = [getattr(fluxkern_mod, name)(**kw) for name, kw in calls]
    failures, stop = [], threading.Event()
    start = threading.Barrier(THREADS + 1)

    def caller(k):
        start.wait()
        try:
            for r in range(ROUNDS):
                order = np.random.default_rng(k * ROUNDS + r).permutation(len(calls))
                for i in order:
                    name, kw = calls[i]
                    if not same(name, getattr(fluxkern_mod, name)(**kw), expected[i]):
                        failures.append((k, r, name))
        except Exception as e:  # noqa: BLE001 - reported below
            failures.append((k, repr(e)))

    def rebinder():
        start.wait()
        while not stop.is_set():
            fluxkern_mod.np = np  # same value, new namespace version
            time.sleep(0)

    old_interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    try:
        workers = [threading.Thread(target=caller, args=(k,)) for k in range(THREADS)]
        other = threading.Thread(target=rebinder)
        for t in (*workers, other):
            t.start()
        for t in workers:
            t.join()
        stop.set()
        other.join()
    finally:
        sys.setswitchinterval(old_interval)
    assert failures == []


@pytest.mark.parametrize("omp_threads", ["1", "3"])
def test_worker_teams_started_from_several_host_threads(python_run, omp_threads):
    # Each host thread that calls the Biot-Savart kernel gets its own OpenMP
    # team; the teams must not disturb each other.
    r = python_run("""
        import threading, numpy as np, fluxkern_mod
        rng = np.random.default_rng(5)
        src, tar = rng.standard_normal((300, 6)), rng.standard_normal((2000, 3))
        ref = fluxkern_mod.compute_B_line_segs_cpp(src, tar, 1.0, 0.05)
        bad = []
        def run():
            for _ in range(10):
                B = fluxkern_mod.compute_B_line_segs_cpp(src, tar, 1.0, 0.05)
                if not np.allclose(B, ref, rtol=1e-9, atol=1e-12 * np.nanmax(np.abs(ref)),
                                   equal_nan=True):
                    bad.append(1)
        ts = [threading.Thread(target=run) for _ in range(4)]
        for t in ts: t.start()
        for t in ts: t.join()
        print("BAD", len(bad))
    """, env={"OMP_NUM_THREADS": omp_threads})
    assert r.returncode == 0, r.stderr
    assert "BAD 0" in r.stdout
