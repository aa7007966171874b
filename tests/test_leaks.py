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
import resource
import sys
import tracemalloc

import numpy as np
import pytest

import fluxkern_mod

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


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * resource.getpagesize()


class Permeability:
    """Hands out the same objects at every call, so their counts can be checked."""

    def __init__(self, kind):
        self.kind = np.int64(kind)  # a fresh object, unlike the small ints
        self.mu = float("1.5e-3")
        t = np.array([-1.0, -1, -1, -1, 1, 2, 3, 3, 3, 3])
        self.info = (t, np.linspace(1e-3, 5e-3, 6), 3, 1e-3, 2e-3)

    def get_type_spec(self):
        return self.kind

    def evaluate_mu(self, H):
        return self.mu

    def get_spline_information(self):
        return self.info

    def held(self):
        return [self.kind, self.mu, self.info, *self.info[:2]]


class Reluctance:
    def __init__(self, kind):
        self.kind = np.int64(kind)
        self.value = float("1.25e4")
        self.info = (np.arange(12.0).reshape(4, 3) + 1.0, np.array([0.0, 0.5, 1.0, 2.0]))

    def get_type_spec(self):
        return self.kind

    def get_spline_information(self):
        return self.info

    def held(self):
        return [self.kind, self.value, self.info, *self.info]


class Raising(Permeability):
    def get_spline_information(self):
        raise RuntimeError("no curve")


class RaisingReluctance(Reluctance):
    def get_spline_information(self):
        raise RuntimeError("no curve")


# ------------------------------------------------------------------ problems

RNG = np.random.default_rng(7)
NODES = RNG.standard_normal((12, 3))
E = 8
CELLS = np.concatenate([RNG.permutation(12)[:4] for _ in range(E)]).astype(np.int32)
M = 4
D_PHI = RNG.standard_normal((M, 4, 3))  # varies over the points: the general path
PHI = RNG.random((M, 4))
Q, W = RNG.random((M, 3)), RNG.uniform(0.01, 0.1, M)
N_DOFS, N_EL = 20, 6
GLOB = RNG.integers(0, N_DOFS, E * N_EL).astype(np.int32)
CURLS = RNG.standard_normal((2, M, N_EL, 3))
ORIENT = RNG.integers(0, 2, E).astype(np.int32)
X_NODAL, X_EDGE = RNG.standard_normal(12) * 100.0, RNG.standard_normal(N_DOFS)
B_S = RNG.standard_normal((E, M, 3))
SRC, TAR = RNG.standard_normal((9, 6)), RNG.standard_normal((17, 3))
BAD_CELLS = CELLS.copy()
BAD_CELLS[5] = 12
STRINGS = np.array(["a"] * 12)


def scalar(nodes=NODES, cells=CELLS, d_phi=D_PHI, x=X_NODAL, permeability=None, q=Q, w=W):
    return dict(nodes=nodes, cells=cells, d_phi=d_phi, x=x,
                permeability=permeability or Permeability(1), q=q, w=w)


def curl_curl(**kw):
    args = dict(nodes=NODES, cells=CELLS, glob_ids=GLOB, curls=CURLS, d_phi=D_PHI,
                orientations=ORIENT, x=X_EDGE, B_s=B_S, reluctance=Reluctance(1), q=Q, w=W,
                num_dofs=N_DOFS, num_el_dofs=N_EL)
    args.update(kw)
    return args


def b_hcurl(**kw):
    args = curl_curl(phi=PHI, **kw)
    del args["B_s"], args["reluctance"]
    return args


def biot(**kw):
    args = dict(src=SRC, tar=TAR, current=2.0, radius=0.01)
    args.update(kw)
    return args


SCALAR = "compute_stiffness_and_jacobi_matrix"
CURL = "compute_stiffness_and_jacobi_matrix_curl_curl"
RHS = "compute_rhs_Hcurl_red_c"
BH = "compute_B_Hcurl"
BS = "compute_B_line_segs_cpp"

# (function, arguments, the exception the call ends with or None); the
# failures are spread over the stages of a call: binding, attribute
# lookups, the material, the array conversions, the checks before the
# kernel, the number conversions and the wrapping after it.
CASES = {
    "scalar ok, spline": (SCALAR, scalar(), None),
    "scalar ok, constant": (SCALAR, scalar(permeability=Permeability(0)), None),
    "scalar ok, type printed": (SCALAR, scalar(permeability=Permeability(2)), None),
    "scalar binding": (SCALAR, {"nodes": NODES}, TypeError),
    "scalar attribute": (SCALAR, scalar(d_phi=[1.0]), AttributeError),
    "scalar material raises": (SCALAR, scalar(permeability=Raising(1)), RuntimeError),
    "scalar conversion": (SCALAR, scalar(x=STRINGS), ValueError),
    "scalar index check": (SCALAR, scalar(cells=BAD_CELLS), IndexError),
    "scalar no elements": (SCALAR, scalar(cells=CELLS[:3]), ValueError),
    "curl ok, source": (CURL, curl_curl(), None),
    "curl ok, no source": (CURL, curl_curl(B_s=np.zeros((0, 3))), None),
    "curl ok, constant": (CURL, curl_curl(reluctance=Reluctance(0)), None),
    "curl material raises": (CURL, curl_curl(reluctance=RaisingReluctance(1)), RuntimeError),
    "curl index check": (CURL, curl_curl(num_dofs=5), IndexError),
    "curl number": (CURL, curl_curl(num_dofs="many"), TypeError),
    "curl conversion": (CURL, curl_curl(curls=STRINGS), ValueError),
    "rhs ok": (RHS, curl_curl(), None),
    "rhs short source": (RHS, curl_curl(B_s=B_S[:2]), ValueError),
    "rhs zero dofs": (RHS, curl_curl(num_dofs=0, glob_ids=GLOB * 0, x=X_EDGE), IndexError),
    "B ok": (BH, b_hcurl(), None),
    "B number": (BH, b_hcurl(num_el_dofs="six"), TypeError),
    "B orientation check": (BH, b_hcurl(orientations=ORIENT + 2), IndexError),
    "B empty w": (BH, b_hcurl(w=W[:0]), ValueError),
    "segments ok": (BS, biot(), None),
    "segments width printed": (BS, biot(src=SRC[:, :5]), None),
    "segments no targets": (BS, biot(tar=TAR[:0]), ValueError),
    "segments number": (BS, biot(radius="thin"), TypeError),
}


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


@contextlib.contextmanager
def tracing():
    tracemalloc.start()
    try:
        yield
    finally:
        tracemalloc.stop()


def measure(name, kwargs, raises, count=CALLS):
    """(refcounts before, after, traced bytes before, after, RSS before, after)."""
    objects = counted_objects(kwargs)
    # The warm-up runs traced too: what the first calls under tracing set up
    # once (caches of NumPy and SciPy) is no leak.
    with contextlib.redirect_stdout(Discard()), tracing():  # Discard: the printed messages
        run_calls(name, kwargs, raises, WARM_UP)
        gc.collect()
        refs_before = [sys.getrefcount(o) for o in objects]
        rss_before = rss_bytes()
        traced_before = tracemalloc.get_traced_memory()[0]
        run_calls(name, kwargs, raises, count)
        gc.collect()
        traced_after = tracemalloc.get_traced_memory()[0]
        rss_after = rss_bytes()
        refs_after = [sys.getrefcount(o) for o in objects]
    return refs_before, refs_after, traced_before, traced_after, rss_before, rss_after


@pytest.mark.parametrize("case", CASES)
def test_repeated_calls_keep_memory_and_references_flat(case):
    name, kwargs, raises = CASES[case]
    refs_before, refs_after, traced_before, traced_after, rss_before, rss_after = measure(
        name, kwargs, raises)
    assert refs_after == refs_before
    assert traced_after - traced_before < TRACED_LIMIT
    if not UNDER_ASAN:  # ASan holds freed memory in quarantine
        assert rss_after - rss_before < RSS_LIMIT


def test_results_are_released_with_their_last_reference():
    import weakref
    K, dK, rhs = fluxkern_mod.compute_stiffness_and_jacobi_matrix_curl_curl(**curl_curl())
    points, B = fluxkern_mod.compute_B_Hcurl(**b_hcurl())
    refs = [weakref.ref(o) for o in (K, dK, rhs, points, B)]
    # Nothing but the local name (and getrefcount's argument) refers to them.
    assert (sys.getrefcount(rhs), sys.getrefcount(points), sys.getrefcount(B)) == (2, 2, 2)
    del K, dK, rhs, points, B
    gc.collect()
    assert all(r() is None for r in refs)
