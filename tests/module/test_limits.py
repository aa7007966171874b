"""Counts just inside the 32-bit range are honoured, so their buffers are
asked for: under an address-space limit the output buffers that cannot be
had raise the output ValueError before any kernel runs, the work storage
that cannot be had a MemoryError, and the process carries on.  (Counts
beyond the range: test_rejections.py.)"""

import os

import pytest

# ASan reserves terabytes of address space: limits on it cannot be tested there.
pytestmark = pytest.mark.skipif(
    os.environ.get("FLUXKERN_ASAN") == "1" or "libasan" in os.environ.get("LD_PRELOAD", ""),
    reason="ASan reserves more address space than any limit allows")


@pytest.mark.parametrize("threads, room", [("1", 2.5), ("2", 3.5)])
def test_biot_savart_buffers_that_cannot_be_had(python_run, threads, room):
    # Room for the targets' flattened copy and the output, but not for the
    # workers' private sums (24 bytes per target each); with two workers
    # room for one of them: the worker that got its sum fails with the other.
    r = python_run("""
        import resource, fluxkern_mod
        from fe_inputs import Claims, limit_address_space
        f = fluxkern_mod.compute_B_line_segs_cpp
        src, tar = np.array([[0.0, 0, 0, 0, 0, 1]]), np.full((8_000_000, 3), 2.0)
        f(src, tar[:10], 1.0, 1e-3)  # start the team
        limits = limit_address_space(int(room * tar.nbytes))
        try:
            f(src, Claims((400_000_000, 3), [0.0, 0, 0]), 1.0, 0.1)
        except ValueError as e:
            print("OUTPUT", e)
        try:
            f(src, tar, 1.0, 1e-3)
        except MemoryError:
            print("WORK MemoryError")
        resource.setrlimit(resource.RLIMIT_AS, limits)
        out["after"] = f(src, tar[:3], 1.0, 1e-3)
        out["expected"] = f(src, np.full((3, 3), 2.0), 1.0, 1e-3)
    """, env={"OMP_NUM_THREADS": threads}, room=room)
    assert r.returncode == 0, r.stderr
    assert "OUTPUT cannot allocate the field buffer" in r.stdout
    assert "WORK MemoryError" in r.stdout
    assert (r.out["after"] == r.out["expected"]).all() and r.out["after"].any()


def test_finite_element_outputs_that_cannot_be_had(python_run):
    # Nothing else may ask for memory that the arguments do not account for.
    r = python_run("""
        import fluxkern_mod
        from fe_inputs import (BH, CURL, RHS, SCALAR, Claims, Permeability, Reluctance,
                               limit_address_space, random_calls)
        base = random_calls(3, classes=1, permeability=Permeability(0),
                            reluctance=Reluctance(0, value=1.0))
        cells, w = base[SCALAR]["cells"], base[BH]["w"]
        calls = {
            "triplets": (SCALAR, dict(cells=Claims((2**27 - 1) * 4, cells))),
            "curl rhs": (CURL, dict(num_dofs=2**31 - 1)),
            "rhs": (RHS, dict(num_dofs=2**31 - 1)),
            "B": (BH, dict(w=Claims((2**31 - 1) // 24, w))),
            # No local function (8 * 0.5**2 entries of room): nothing to
            # assemble, whatever the orientations say; the kernel once sized
            # a cache by them.
            "no functions": (CURL, dict(num_el_dofs=0.5,
                                        orientations=np.full(8, 2**31 - 1, np.int32))),
        }
        limit_address_space(1 << 30)
        for label, (name, changes) in calls.items():
            try:
                getattr(fluxkern_mod, name)(**{**base[name], **changes})
            except ValueError as e:
                print(label, "|", e)
        print("ALIVE", fluxkern_mod.compute_rhs_Hcurl_red_c(**base[RHS]).shape)
    """, env={"OMP_NUM_THREADS": "1"})
    assert r.returncode == 0, r.stderr
    lines = r.stdout.splitlines()
    for label in ("triplets", "curl rhs", "rhs", "B"):
        assert any(ln.startswith(label + " | cannot allocate") for ln in lines), r.stdout
    assert "no functions | Invalid shape in axis 0: 0." in lines
    assert "ALIVE (20,)" in r.stdout
