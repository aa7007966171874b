"""The child side of the fuzz tests: builds call arguments from plain-data
recipes, calls fluxkern_mod and reports what happened.

Recipes instead of objects cross the pipe because pickling loses what the
fuzzing is about (memory layout, read-only flags, odd array-likes, material
objects with broken methods); the child rebuilds each one exactly.

Recipe forms (anything else is taken as it stands, numpy arrays included):
  ("F", a)              a in Fortran order
  ("strided", a)        a as a non-contiguous view (every other element)
  ("readonly", a)       a, not writeable
  ("claims", shape, a)  an array-like whose `shape` says `shape`, data a
  ("growing", a)        an array-like whose len() changes after the first call
  ("list", a)           a.tolist()
  ("num", kind)         one of the odd number objects of NUMBERS
  ("perm", plan)        a permeability object, see Material
  ("rel", plan)         a reluctance object, see Material
"""

import os
import pickle
import resource
import sys
import traceback
import warnings
from decimal import Decimal
from fractions import Fraction
from multiprocessing.connection import Connection

import numpy as np
import scipy.sparse

import fluxkern_mod


class FuzzError(Exception):
    """Raised on purpose by the material objects and numbers."""


class Claims:
    """An array-like whose shape need not agree with its data."""

    def __init__(self, shape, data):
        self.shape = shape
        self._data = data

    def __len__(self):
        return self.shape[0]

    def flatten(self):
        return np.asarray(self._data).flatten()

    def __repr__(self):
        return f"Claims({self.shape!r}, {self._data!r})"


class GrowingLength(Claims):
    """An array-like whose length is 1 the first time it is asked, then its
    real length: whoever asks twice gets two answers."""

    def __init__(self, data):
        super().__init__(np.shape(data), data)
        self._asked = False

    def __len__(self):
        first, self._asked = not self._asked, True
        return 1 if first else self.shape[0]


class IntOnly:
    def __int__(self):
        return 3


class IndexOnly:
    def __index__(self):
        return 3


class IntReturnsStr:
    def __int__(self):
        return "3"


class IntRaises:
    def __int__(self):
        raise FuzzError("__int__")

    def __float__(self):
        raise FuzzError("__float__")


class FloatOnly:
    def __float__(self):
        return 0.5


class OddArithmetic:
    """A count whose own arithmetic disagrees with its value as an int."""

    def __int__(self):
        return 4

    def __rtruediv__(self, other):
        return 3.0

    def __mul__(self, other):
        return 0

    __rmul__ = __mul__


class EqRaises:
    """A type specifier whose comparison fails."""

    def __eq__(self, other):
        raise FuzzError("__eq__")

    __hash__ = None


NUMBERS = {
    "int_only": IntOnly, "index_only": IndexOnly, "int_returns_str": IntReturnsStr,
    "int_raises": IntRaises, "float_only": FloatOnly, "eq_raises": EqRaises,
    "odd_arithmetic": OddArithmetic,
    "object": object, "fraction": lambda: Fraction(7, 2), "decimal": lambda: Decimal("2.5"),
    "complex": lambda: 3 + 0j, "np_uint64_max": lambda: np.uint64(2**64 - 1),
    "np_array_0d": lambda: np.array(3), "np_array_1d": lambda: np.array([3]),
}


def _answers(plan):
    """get_type_spec() answers: a list is answered call after call (the last
    one repeated), anything else every time."""
    if isinstance(plan, list):
        state = {"k": 0}

        def answer():
            k = min(state["k"], len(plan) - 1)
            state["k"] += 1
            return build(plan[k])
        return answer
    return lambda: build(plan)


class Material:
    """A material object assembled from a recipe dict.

    Keys: "type" (answers of get_type_spec), "info" (the result of
    get_spline_information, built), "mu" (evaluate_mu's result), "value"
    (the reluctance's attribute), "missing" (method names to leave out),
    "raises" (method names that raise FuzzError).
    """

    def __init__(self, plan):
        self._plan = plan
        missing, raises = plan.get("missing", ()), plan.get("raises", ())
        answer = _answers(plan.get("type", 0))
        methods = {
            "get_type_spec": answer,
            "evaluate_mu": lambda H: build(plan.get("mu", 1.0)),
            "get_spline_information": lambda: build(plan.get("info")),
        }
        for name, method in methods.items():
            if name in missing:
                continue
            if name in raises:
                def method(*_, _name=name):
                    raise FuzzError(_name)
            setattr(self, name, method)
        if "value" not in missing and "value" not in raises:
            self.value = build(plan.get("value", 1.0))

    def __repr__(self):
        return f"Material({self._plan!r})"


class RaisingValue(Material):
    """A reluctance whose attribute `value` raises when read."""

    @property
    def value(self):
        raise FuzzError("value")


def build(recipe):
    if isinstance(recipe, tuple) and recipe and isinstance(recipe[0], str):
        tag = recipe[0]
        if tag == "F":
            return np.asfortranarray(recipe[1])
        if tag == "strided":
            a = np.asarray(recipe[1])
            flat = np.repeat(a.reshape(-1), 2)[::2]
            return flat.reshape(a.shape) if a.ndim else flat[0]
        if tag == "readonly":
            a = np.array(recipe[1])
            a.flags.writeable = False
            return a
        if tag == "claims":
            return Claims(tuple(build(s) for s in recipe[1]), recipe[2])
        if tag == "growing":
            return GrowingLength(recipe[1])
        if tag == "list":
            return np.asarray(recipe[1]).tolist()
        if tag == "num":
            return NUMBERS[recipe[1]]()
        if tag in ("perm", "rel"):
            plan = recipe[1]
            return (RaisingValue if "value" in plan.get("raises", ()) else Material)(plan)
        if tag == "tuple":
            return tuple(build(r) for r in recipe[1])
        if tag == "iter":
            return iter([build(r) for r in recipe[1]])
    return recipe


# ------------------------------------------------------------ result checks

def _num_el(cells, el_nodes):
    return int(np.int32(len(cells) / el_nodes))


def check_result(name, kw, result):
    """Returns None when `result` has the shape the arguments call for, else
    a description of what is wrong."""
    def array(a, shape):
        if not isinstance(a, np.ndarray):
            return f"{type(a).__name__} instead of ndarray"
        if a.dtype != np.float64 or a.shape != shape or not a.flags.c_contiguous:
            return f"array {a.dtype} {a.shape} (C: {a.flags.c_contiguous}), expected {shape}"
        return None

    def csr(m, order):
        if not isinstance(m, scipy.sparse.csr_array):
            return f"{type(m).__name__} instead of csr_array"
        if m.shape != (order, order):
            return f"matrix of shape {m.shape}, expected {(order, order)}"
        return None

    def tuple_of(n):
        if not isinstance(result, tuple) or len(result) != n:
            return f"{type(result).__name__} instead of a {n}-tuple"
        return None

    if name == "compute_B_line_segs_cpp":
        src, tar = kw["src"], kw["tar"]
        if isinstance(result, int):
            widths_wrong = src.shape[1] != 6 or tar.shape[1] != 3
            return None if result == -1 and widths_wrong else f"int result {result}"
        return array(result, (int(tar.shape[0]), 3))
    if name == "compute_stiffness_and_jacobi_matrix":
        n = int(kw["nodes"].shape[0])
        return tuple_of(2) or csr(result[0], n) or csr(result[1], n)
    if name == "compute_stiffness_and_jacobi_matrix_curl_curl":
        n = int(kw["num_dofs"])
        return (tuple_of(3) or csr(result[0], n) or csr(result[1], n)
                or array(result[2], (n,)))
    if name == "compute_rhs_Hcurl_red_c":
        return array(result, (int(kw["num_dofs"]),))
    if name == "compute_B_Hcurl":
        rows = _num_el(kw["cells"], kw["d_phi"].shape[1]) * len(kw["w"])
        return tuple_of(2) or array(result[0], (rows, 3)) or array(result[1], (rows, 3))
    return f"unknown function {name}"


def _fingerprint(result):
    """Bits of a result, to compare two runs of one call."""
    if isinstance(result, tuple):
        return tuple(_fingerprint(r) for r in result)
    if isinstance(result, scipy.sparse.csr_array):
        return ("csr", result.shape, result.indptr.tobytes(), result.indices.tobytes(),
                result.data.tobytes())
    if isinstance(result, np.ndarray):
        return ("array", result.shape, result.tobytes())
    return repr(result)


def run_call(name, recipe):
    """('ok', None) | ('raised', type, message) | ('wrong', description)."""
    f = getattr(fluxkern_mod, name)
    outcomes = []
    for _ in range(2):  # twice: a result that depends on stale memory differs
        kw = {k: build(v) for k, v in recipe.items()}
        try:
            result = f(**kw)
        except MemoryError:
            return ("wrong", "MemoryError: a small call tried a huge allocation\n"
                    + traceback.format_exc())
        except SystemError:
            return ("wrong", "SystemError: an internal error escaped\n" + traceback.format_exc())
        except BaseException as e:  # noqa: BLE001 - every host exception is an outcome
            outcomes.append(("raised", type(e).__name__, str(e)[:300]))
            continue
        problem = check_result(name, kw, result)
        if problem:
            return ("wrong", problem)
        outcomes.append(("ok", _fingerprint(result)))
    # Several OpenMP workers may merge their sums in any order: the field is
    # then only equal to rounding, so its bits are not compared.
    if outcomes[0][0] == "ok" and name == "compute_B_line_segs_cpp":
        return ("ok", None) if outcomes[1][0] == "ok" else ("wrong", f"{outcomes}")
    if outcomes[0] != outcomes[1]:
        return ("wrong", "two runs of the same call differ")
    return ("ok", None) if outcomes[0][0] == "ok" else outcomes[0]


def limit_address_space(extra_bytes):
    """Makes a runaway allocation fail at once instead of swapping."""
    with open("/proc/self/status") as f:
        vm = next(int(ln.split()[1]) * 1024 for ln in f if ln.startswith("VmSize:"))
    hard = resource.getrlimit(resource.RLIMIT_AS)[1]
    soft = vm + extra_bytes
    if hard != resource.RLIM_INFINITY:
        soft = min(soft, hard)
    resource.setrlimit(resource.RLIMIT_AS, (soft, hard))


def main(read_fd, write_fd):
    warnings.simplefilter("ignore")
    # The module's printed messages and the C-level banner are not the
    # parent's business.
    sys.stdout = open(os.devnull, "w")
    if os.environ.get("FLUXKERN_ASAN") != "1":  # ASan reserves terabytes itself
        limit_address_space(3 << 30)
    inbox, outbox = Connection(read_fd, writable=False), Connection(write_fd, readable=False)
    outbox.send("ready")
    while True:
        try:
            name, recipe = pickle.loads(inbox.recv_bytes())
        except EOFError:
            return
        outbox.send(run_call(name, recipe))


if __name__ == "__main__":
    main(int(sys.argv[1]), int(sys.argv[2]))
