"""Thousands of calls, succeeding and failing at every stage of an entry
point, keep the process's memory flat and leave the reference counts of
the arguments, the material objects and what those objects hand out
unchanged.

A reference kept by mistake shows in the counts and in tracemalloc (the
object and any array behind it stay allocated); memory lost outside the
host's allocators (C++ work storage) shows in the resident set size.
FLUXKERN_LEAK_CALLS sets the number of calls per case (default 2000).
"""

import contextlib
import gc
import io
import os
import sys
import tracemalloc

import numpy as np
import pytest

import fluxkern_mod
from fe_inputs import (BH, BS, CURL, RHS, SCALAR, Permeability, Reluctance, cubic_reluctance,
                       random_calls, rss_bytes, spline_permeability)

CALLS = int(os.environ.get("FLUXKERN_LEAK_CALLS", "2000"))
UNDER_ASAN = os.environ.get("FLUXKERN_ASAN") == "1"
WARM_UP = 50
# Allowed growth over all calls.  The host's own caches and free lists take
# up to ~20 kB once; a leak of one converted array per call (the smallest
# of the cases, with its object, ~150 bytes; most several kB) crosses the
# tracemalloc limit several times over.  The RSS limit leaves room for the
# allocator's own arenas.
TRACED_LIMIT = 64 * 1024
RSS_LIMIT = 4 * 1024 * 1024


_CALLS = random_calls(7)
B_S, W, CELLS = _CALLS[CURL]["B_s"], _CALLS[BH]["w"], _CALLS[SCALAR]["cells"]
BAD_CELLS = CELLS.copy()
BAD_CELLS[5] = 12
STRINGS = np.array(["a"] * 12)


def call(name, **changes):
    """Fresh material objects for each case, so that each has its own counts."""
    kw = random_calls(7)[name]
    return name, {**kw, **changes}


# (function, arguments, the exception the call ends with or None); the
# failures are spread over the stages of a call: binding, attribute
# lookups, the material, the array conversions, the checks before the
# kernel, the number conversions and the wrapping after it.
CASES = {label: (*call(name, **changes), raises) for label, name, changes, raises in [
    ("scalar ok, spline", SCALAR, {}, None),
    ("scalar ok, constant", SCALAR, dict(permeability=spline_permeability(0)), None),
    ("scalar ok, type printed", SCALAR, dict(permeability=spline_permeability(2)), None),
    ("scalar material raises", SCALAR,
     dict(permeability=Permeability(np.int64(1), info=RuntimeError)), RuntimeError),
    ("scalar attribute", SCALAR, dict(d_phi=[1.0]), AttributeError),
    ("scalar conversion", SCALAR, dict(x=STRINGS), ValueError),
    ("scalar index check", SCALAR, dict(cells=BAD_CELLS), IndexError),
    ("scalar no elements", SCALAR, dict(cells=CELLS[:3]), ValueError),
    ("curl ok, source", CURL, {}, None),
    ("curl ok, no source", CURL, dict(B_s=np.zeros((0, 3))), None),
    ("curl ok, constant", CURL, dict(reluctance=cubic_reluctance(0)), None),
    ("curl material raises", CURL,
     dict(reluctance=Reluctance(np.int64(1), info=RuntimeError)), RuntimeError),
    ("curl index check", CURL, dict(num_dofs=5), IndexError),
    ("curl number", CURL, dict(num_dofs="many"), TypeError),
    ("curl conversion", CURL, dict(curls=STRINGS), ValueError),
    ("rhs ok", RHS, {}, None),
    ("rhs short source", RHS, dict(B_s=B_S[:2]), ValueError),
    ("rhs zero dofs", RHS, dict(num_dofs=0, glob_ids=np.zeros(48, np.int32)), IndexError),
    ("B ok", BH, {}, None),
    ("B number", BH, dict(num_el_dofs="six"), TypeError),
    ("B orientation check", BH, dict(orientations=_CALLS[BH]["orientations"] + 2), IndexError),
    ("B empty w", BH, dict(w=W[:0]), ValueError),
    ("segments ok", BS, {}, None),
    ("segments width printed", BS, dict(src=_CALLS[BS]["src"][:, :5]), None),
    ("segments no targets", BS, dict(tar=_CALLS[BS]["tar"][:0]), ValueError),
    ("segments number", BS, dict(radius="thin"), TypeError),
]}
CASES["scalar binding"] = (SCALAR, {"nodes": _CALLS[SCALAR]["nodes"]}, TypeError)


class Discard(io.TextIOBase):
    """A stdout for the printed messages that keeps nothing."""

    def write(self, text):
        return len(text)


def counted_objects(kwargs):
    objects = list(kwargs.values())
    for v in kwargs.values():
        if hasattr(v, "held"):
            objects += v.held()
    # Small ints are shared by the whole interpreter; their counts move with it.
    return [o for o in objects if not (type(o) is int and -5 <= o <= 256)]


def run_calls(name, kwargs, raises, count):
    f = getattr(fluxkern_mod, name)
    for _ in range(count):
        try:
            f(**kwargs)
        except Exception as e:  # noqa: BLE001 - the expected type is asserted
            if raises is None or not isinstance(e, raises):
                raise
        else:
            assert raises is None, f"no {raises.__name__}"


@pytest.mark.parametrize("case", CASES)
def test_repeated_calls_keep_memory_and_references_flat(case):
    name, kwargs, raises = CASES[case]
    objects = counted_objects(kwargs)
    # The warm-up runs traced too: what the first calls under tracing set up
    # once (caches of NumPy and SciPy) is no leak.
    tracemalloc.start()
    try:
        with contextlib.redirect_stdout(Discard()):  # the printed messages
            run_calls(name, kwargs, raises, WARM_UP)
            gc.collect()
            refs, rss, traced = ([sys.getrefcount(o) for o in objects], rss_bytes(),
                                 tracemalloc.get_traced_memory()[0])
            run_calls(name, kwargs, raises, CALLS)
            gc.collect()
            assert [sys.getrefcount(o) for o in objects] == refs
            assert tracemalloc.get_traced_memory()[0] - traced < TRACED_LIMIT
            if not UNDER_ASAN:  # ASan holds freed memory in quarantine
                assert rss_bytes() - rss < RSS_LIMIT
    finally:
        tracemalloc.stop()


def test_results_are_released_with_their_last_reference():
    import weakref
    K, dK, rhs = fluxkern_mod.compute_stiffness_and_jacobi_matrix_curl_curl(**_CALLS[CURL])
    points, B = fluxkern_mod.compute_B_Hcurl(**_CALLS[BH])
    refs = [weakref.ref(o) for o in (K, dK, rhs, points, B)]
    # Nothing but the local name (and getrefcount's argument) refers to them.
    assert (sys.getrefcount(rhs), sys.getrefcount(points), sys.getrefcount(B)) == (2, 2, 2)
    del K, dK, rhs, points, B
    gc.collect()
    assert all(r() is None for r in refs)
