"""Several host threads calling the entry points at once get exactly the
results of serial calls.

An entry point holds the interpreter lock while it runs, but not while the
caller's objects run: material methods and array-likes written in Python
let the other threads in halfway through a call.  The objects here yield
at every method, so calls interleave at each of those points, while one
more thread keeps changing the module namespace (the global lookup cache).
(Several OpenMP teams at once: test_biot_savart.py.)
"""

import sys
import threading
import time

import numpy as np

import fluxkern_mod
from fe_inputs import (BS, SCALAR, cubic_reluctance, fingerprint, random_calls,
                       spline_permeability)

THREADS = 6
ROUNDS = 15


class Yielding:
    """Wraps an array or a material: lets other threads run before each of
    its methods."""

    def __init__(self, obj):
        self._obj = obj

    def __len__(self):
        time.sleep(0)
        return len(self._obj)

    def __getattr__(self, name):
        attr = getattr(self._obj, name)
        if not callable(attr):
            return attr

        def method(*args):
            time.sleep(0)
            return attr(*args)
        return method


def problems(seed):
    """One call of each entry point on its own random data."""
    calls = random_calls(seed, E=40, num_nodes=30, num_dofs=70, classes=3, segments=(50, 300),
                         permeability=Yielding(spline_permeability()),
                         reluctance=Yielding(cubic_reluctance()))
    for kw in calls.values():
        for key in ("nodes", "glob_ids", "src"):
            if key in kw:
                kw[key] = Yielding(kw[key])
    calls[SCALAR]["x"] = calls[SCALAR]["x"] * 10.0
    return list(calls.items())


def same(name, got, expected):
    if name == BS:
        # The OpenMP workers merge their sums in any order: equal to rounding.
        return np.allclose(got, expected, rtol=1e-9, atol=1e-12 * np.nanmax(np.abs(expected)),
                           equal_nan=True)
    return fingerprint(got) == fingerprint(expected)


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
