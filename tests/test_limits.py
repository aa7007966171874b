"""Sizes and lengths that the kernels could not handle are rejected cleanly:
before anything is allocated, before any kernel runs, and with the process
alive afterwards."""

import numpy as np
import pytest

import fluxkern_mod


class Claims:
    """An array-like whose shape claims more rows than its data holds."""

    def __init__(self, shape, data):
        self.shape = shape
        self._data = np.asarray(data, dtype=float)

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
