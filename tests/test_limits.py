"""Sizes and lengths that the kernels could not handle are rejected cleanly:
before anything is allocated, before any kernel runs, and with the process
alive afterwards."""

import os

import numpy as np
import pytest

import fluxkern_mod

# ASan reserves terabytes of address space: limits on it cannot be tested there.
UNDER_ASAN = (os.environ.get("FLUXKERN_ASAN") == "1"
              or "libasan" in os.environ.get("LD_PRELOAD", ""))
needs_address_space_limit = pytest.mark.skipif(
    UNDER_ASAN, reason="ASan reserves more address space than any limit allows")


class Claims:
    """An array-like whose shape (and length) claims more rows than its data holds."""

    def __init__(self, shape, data):
        self.shape = shape
        self._data = np.asarray(data, dtype=float)

    def __len__(self):
        return self.shape[0]

    def flatten(self):
        return self._data.ravel()


SEGMENT = np.array([[0.0, 0.0, -1.0, 0.0, 0.0, 1.0]])


@pytest.mark.parametrize("rows", [2**30, 2**31 - 1, 2**31, 2**40])
def test_too_many_targets_are_rejected_before_allocation(rows):
    with pytest.raises(OverflowError):
        fluxkern_mod.compute_B_line_segs_cpp(SEGMENT, Claims((rows, 3), [0, 0, 0]), 1.0, 0.1)


def test_shapes_that_overstate_the_data_are_rejected():
    f = fluxkern_mod.compute_B_line_segs_cpp
    with pytest.raises(ValueError, match="tar holds 3 values, but 300 are needed"):
        f(SEGMENT, Claims((100, 3), [1.0, 0, 0]), 1.0, 0.1)
    with pytest.raises(ValueError, match="src holds 6 values, but 60 are needed"):
        f(Claims((10, 6), SEGMENT), np.ones((2, 3)), 1.0, 0.1)
    with pytest.raises(ValueError, match="must not be negative"):
        f(Claims((-1, 6), SEGMENT), np.ones((2, 3)), 1.0, 0.1)
    with pytest.raises(OverflowError, match="negative value to size_t"):
        f(SEGMENT, Claims((-2, 3), [0, 0, 0]), 1.0, 0.1)


@needs_address_space_limit
def test_unobtainable_buffers_fail_cleanly(python_run):
    # Under an address-space limit: the output buffer cannot be had (ValueError,
    # kernel never runs), then the kernel's own work storage cannot (MemoryError).
    r = python_run("""
        import resource, numpy as np, fluxkern_mod

        class Claims:
            def __init__(self, shape, data):
                self.shape, self._data = shape, np.asarray(data, float)
            def flatten(self):
                return self._data.ravel()

        def vm_bytes():
            with open("/proc/self/status") as f:
                for line in f:
                    if line.startswith("VmSize:"):
                        return int(line.split()[1]) * 1024

        seg = np.array([[0.0, 0, -1, 0, 0, 1]])
        n = 20_000_000                       # 480 MB per copy of the targets
        tar = np.random.rand(n, 3)
        limit = vm_bytes() + int(2.5 * 24 * n)  # flatten copy + output, no more
        hard = resource.getrlimit(resource.RLIMIT_AS)[1]
        resource.setrlimit(resource.RLIMIT_AS, (limit, hard))
        try:
            fluxkern_mod.compute_B_line_segs_cpp(seg, Claims((400_000_000, 3), [0, 0, 0]), 1.0, 0.1)
        except ValueError as e:
            print("OUTPUT", e)
        try:
            fluxkern_mod.compute_B_line_segs_cpp(seg, tar, 1.0, 0.1)
        except MemoryError:
            print("WORK MemoryError")
        resource.setrlimit(resource.RLIMIT_AS, (hard, hard))
        out = fluxkern_mod.compute_B_line_segs_cpp(seg, tar[:5], 1.0, 0.1)
        print("ALIVE", out.shape)
    """, env={"OMP_NUM_THREADS": "1"})
    assert r.returncode == 0, r.stderr
    assert "OUTPUT cannot allocate the field buffer" in r.stdout
    assert "WORK MemoryError" in r.stdout
    assert "ALIVE (5, 3)" in r.stdout


# ----------------------------------------------- the finite-element functions

class Mu:
    def get_type_spec(self):
        return 0

    def evaluate_mu(self, H):
        return 1.0


class Nu:
    value = 1.0

    def get_type_spec(self):
        return 0


E, M, N_EL, N_DOFS = 8, 4, 6, 20
_rng = np.random.default_rng(3)
NODES = _rng.standard_normal((12, 3))
CELLS = np.concatenate([_rng.permutation(12)[:4] for _ in range(E)]).astype(np.int32)
D_PHI = _rng.standard_normal((M, 4, 3))
W = np.full(M, 0.05)


def big(rows, a):
    """`a` claiming `rows` rows (its length too)."""
    return Claims((rows,) + np.shape(a)[1:], a)


def scalar(**kw):
    args = dict(nodes=NODES, cells=CELLS, d_phi=D_PHI, x=np.ones(12), permeability=Mu(),
                q=np.zeros((M, 3)), w=W)
    return "compute_stiffness_and_jacobi_matrix", {**args, **kw}


def hcurl(name, **kw):
    args = dict(nodes=NODES, cells=CELLS, glob_ids=_rng.integers(0, N_DOFS, E * N_EL),
                curls=_rng.standard_normal((1, M, N_EL, 3)), d_phi=D_PHI,
                orientations=np.zeros(E, np.int32), x=np.ones(N_DOFS),
                B_s=np.ones((E, M, 3)), reluctance=Nu(), q=np.zeros((M, 3)), w=W,
                num_dofs=N_DOFS, num_el_dofs=N_EL, phi=np.full((M, 4), 0.25))
    if name == "compute_B_Hcurl":
        del args["B_s"], args["reluctance"]
    else:
        del args["phi"]
    return name, {**args, **kw}


CURL = "compute_stiffness_and_jacobi_matrix_curl_curl"
RHS = "compute_rhs_Hcurl_red_c"
BH = "compute_B_Hcurl"
RANGE = "exceed the 32-bit index range"

# Counts beyond what the kernels' 32-bit indices reach, claimed by shapes,
# lengths and numbers: each is refused before any buffer of that size is
# asked for, and before a product of counts could overflow.

@pytest.mark.parametrize("call, exc, message", [
    (scalar(cells=big(2**27 * 4, CELLS)), OverflowError, RANGE),  # 2**31 triplets
    (scalar(cells=big(2**31 * 4, CELLS)), OverflowError, "out of bounds for int32"),
    (scalar(cells=big(2**40, CELLS), d_phi=Claims((M, 2**31 - 1, 3), D_PHI)),
     OverflowError, RANGE),  # the product overflows even 64 bits
    (scalar(nodes=big(2**31, NODES)), OverflowError, "int32"),
    (scalar(nodes=big(2**30, NODES)), ValueError, "nodes holds 36 values"),
    (scalar(w=big(2**31, W)), OverflowError, "int32"),
    (hcurl(CURL, num_dofs=2**31), OverflowError, RANGE),
    (hcurl(CURL, num_dofs=2**64), OverflowError, "size_t"),
    (hcurl(CURL, num_el_dofs=2**16), OverflowError, RANGE),
    (hcurl(CURL, num_el_dofs=2**31 - 1), OverflowError, RANGE),
    (hcurl(CURL, cells=big((2**31 - 1) * 4, CELLS)), OverflowError, RANGE),
    (hcurl(RHS, num_dofs=2**31), OverflowError, RANGE),
    (hcurl(RHS, cells=big((2**31 - 1) * 4, CELLS)), ValueError, "cells holds 32 values"),
    (hcurl(RHS, num_el_dofs=2**31 - 1), ValueError, "glob_ids holds 48 values"),
    (hcurl(RHS, w=big(2**31 - 1, W)), ValueError, "w holds 4 values"),
    (hcurl(BH, w=big(2**30, W)), OverflowError, RANGE),
    (hcurl(BH, w=big(2**62, W)), OverflowError, RANGE),
    (hcurl(BH, cells=big(2**29 * 4, CELLS)), OverflowError, RANGE),
    (hcurl(BH, num_el_dofs=2**31 - 1), ValueError, "glob_ids holds 48 values"),
])
def test_counts_beyond_the_index_range_are_rejected(call, exc, message):
    name, kwargs = call
    with pytest.raises(exc, match=message):
        getattr(fluxkern_mod, name)(**kwargs)


@needs_address_space_limit
def test_large_outputs_that_cannot_be_had_fail_cleanly(python_run):
    # Counts just inside the range are honoured, so the outputs are asked
    # for; under an address-space limit that fails as the output ValueError,
    # before any kernel runs, and the process carries on.  Nothing else may
    # ask for memory that the arguments do not account for.
    r = python_run("""
        import resource, sys, numpy as np, fluxkern_mod
        sys.path.insert(0, %r)
        from test_limits import scalar, hcurl, big, CELLS, W, CURL, RHS, BH
        calls = {
            "triplets": scalar(cells=big((2**27 - 1) * 4, CELLS)),
            "curl rhs": hcurl(CURL, num_dofs=2**31 - 1),
            "rhs": hcurl(RHS, num_dofs=2**31 - 1),
            "B": hcurl(BH, w=big((2**31 - 1) // 24, W)),
            # No local function (8 * 0.5**2 entries of room): nothing to
            # assemble, whatever the orientations say; the kernel once sized
            # a cache by them.
            "no functions": hcurl(CURL, num_el_dofs=0.5,
                                  orientations=np.full(8, 2**31 - 1, np.int32)),
        }
        soft = 2 << 30
        resource.setrlimit(resource.RLIMIT_AS, (soft, resource.getrlimit(resource.RLIMIT_AS)[1]))
        for label, (name, kw) in calls.items():
            try:
                getattr(fluxkern_mod, name)(**kw)
            except ValueError as e:
                print(label, "|", e)
        name, kw = hcurl(RHS)
        print("ALIVE", getattr(fluxkern_mod, name)(**kw).shape)
    """ % os.path.dirname(os.path.abspath(__file__)), env={"OMP_NUM_THREADS": "1"})
    assert r.returncode == 0, r.stderr
    lines = r.stdout.splitlines()
    for label in ("triplets", "curl rhs", "rhs", "B"):
        assert any(ln.startswith(label + " | cannot allocate") for ln in lines), r.stdout
    assert "no functions | Invalid shape in axis 0: 0." in lines
    assert "ALIVE (20,)" in r.stdout
