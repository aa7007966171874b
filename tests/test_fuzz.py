"""Fuzzing of the five entry points: whatever the arguments, a call returns a
correctly shaped result or raises a Python exception; it never dies.

Every call runs in a worker process (fuzz_worker.py) that is restarted when
it dies, so a crash is reported with the input that caused it.  The inputs
are mostly valid-looking calls (small random meshes, tables and materials)
with a few targeted corruptions each, so that calls get past the first
attribute and deep into the checks and kernels.  Under `make test-asan`
the same runs find reads and writes out of bounds that do not crash.

FLUXKERN_FUZZ_EXAMPLES sets the number of calls per function (default 400).
"""

import os
import pickle
import subprocess
import sys
import tempfile
import warnings
from multiprocessing.connection import Connection

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

HERE = os.path.dirname(os.path.abspath(__file__))
EXAMPLES = int(os.environ.get("FLUXKERN_FUZZ_EXAMPLES", "400"))
UNDER_ASAN = os.environ.get("FLUXKERN_ASAN") == "1"
CALL_TIMEOUT = 120 if UNDER_ASAN else 30  # seconds; longer means a hang
I32_MAX, I32_MIN = 2**31 - 1, -(2**31)


# ------------------------------------------------------------------ the worker

class Worker:
    """One child interpreter that runs calls; restarted after it dies."""

    def __init__(self):
        self.proc = None
        self._start()

    def _start(self):
        to_child_r, to_child_w = os.pipe()
        to_parent_r, to_parent_w = os.pipe()
        self.log = tempfile.TemporaryFile()
        env = dict(os.environ, OMP_NUM_THREADS=os.environ.get("OMP_NUM_THREADS", "2"))
        if UNDER_ASAN:
            # In place of the worker's address-space limit: a runaway
            # allocation fails (a MemoryError) instead of exhausting memory.
            env["ASAN_OPTIONS"] = (env.get("ASAN_OPTIONS", "") +
                                   ":allocator_may_return_null=1:max_allocation_size_mb=3072")
        self.proc = subprocess.Popen(
            [sys.executable, os.path.join(HERE, "fuzz_worker.py"), str(to_child_r),
             str(to_parent_w)],
            pass_fds=(to_child_r, to_parent_w), stdin=subprocess.DEVNULL,
            stdout=subprocess.DEVNULL, stderr=self.log, env=env)
        os.close(to_child_r)
        os.close(to_parent_w)
        self.outbox = Connection(to_child_w, readable=False)
        self.inbox = Connection(to_parent_r, writable=False)
        if not self.inbox.poll(120) or self.inbox.recv() != "ready":
            raise RuntimeError("fuzz worker did not start: " + self._stderr())

    def _stderr(self):
        self.log.seek(0)
        return self.log.read().decode(errors="replace")[-6000:]

    def call(self, name, recipe):
        """The worker's outcome, or ('died', how, stderr)."""
        self.outbox.send_bytes(pickle.dumps((name, recipe)))
        how = "hung"
        if self.inbox.poll(CALL_TIMEOUT):
            try:
                return self.inbox.recv()
            except EOFError:
                how = "died"
        else:
            self.proc.kill()
        code = self.proc.wait()
        outcome = ("died", f"{how} (exit status {code})", self._stderr())
        self.close()
        self._start()
        return outcome

    def close(self):
        self.outbox.close()
        self.inbox.close()
        self.proc.wait()
        self.log.close()


@pytest.fixture(scope="module")
def worker():
    w = Worker()
    yield w
    w.close()


def describe(recipe):
    with np.printoptions(threshold=200, precision=17):
        return "\n".join(f"    {k} = {v!r}" for k, v in recipe.items())


def check_call(worker, name, recipe):
    outcome = worker.call(name, recipe)
    if outcome[0] in ("ok", "raised"):
        return outcome
    detail = outcome[1] if outcome[0] == "wrong" else f"{outcome[1]}\n{outcome[2]}"
    pytest.fail(f"{name} {outcome[0]}: {detail}\nreproducing input:\n{describe(recipe)}",
                pytrace=False)


# ---------------------------------------------------------------- corruptions

# Replacements for an index entry: out of range, negative, at the 32-bit
# limits, and floats that the int32 conversion turns into something else.
def bad_indices(bound):
    return [-1, bound, bound + 7, I32_MAX, I32_MIN, 2**31, 2**40, 1e10, np.nan, -0.5,
            bound - 0.5, np.inf]


def set_entry(a, value, rng):
    flat = np.array(a).reshape(-1)
    if flat.size == 0:
        return a
    needs = np.result_type(flat.dtype, np.min_scalar_type(value) if isinstance(value, int)
                           else np.asarray(value).dtype)
    flat = flat.astype(needs if needs.kind in "fc" or abs(value) < 2**62 else object)
    flat[rng.integers(flat.size)] = value
    return flat.reshape(np.shape(a))


ARRAY_CORRUPTIONS = [
    "int64", "int32", "bool", "complex", "object", "float32", "uint8", "strings",
    "F", "strided", "readonly", "empty", "truncate", "extend", "flat", "add_axis", "zero_d",
    "nan", "inf", "huge", "zero", "index", "claims", "list", "none", "number",
]


def corrupt_array(kind, a, rng, bound):
    """A recipe for `a` spoiled in the way `kind` names; `bound` is the range
    an index array must stay in (for 'index').  Casting warnings are the
    point here, not news."""
    with np.errstate(all="ignore"), warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return _corrupt_array(kind, np.asarray(a), rng, bound)


def _corrupt_array(kind, a, rng, bound):
    if kind in ("int64", "int32", "bool", "complex", "float32", "uint8"):
        return a.astype({"bool": np.bool_, "complex": np.complex128}.get(kind, kind))
    if kind == "object":
        return a.astype(object)
    if kind == "strings":
        return a.astype(str)
    if kind in ("F", "strided", "readonly", "list"):
        return (kind, a)
    if kind == "empty":
        return np.zeros((0,) + a.shape[1:], a.dtype)
    if kind == "truncate":
        return a.reshape(-1)[: rng.integers(max(a.size, 1))]
    if kind == "extend":
        return np.concatenate([a.reshape(-1), rng.random(rng.integers(1, 8))])
    if kind == "flat":
        return a.reshape(-1)
    if kind == "add_axis":
        return a[None] if rng.random() < 0.5 else a[..., None]
    if kind == "zero_d":
        return np.array(1.5)
    if kind in ("nan", "inf", "huge", "zero"):
        value = {"nan": np.nan, "inf": np.inf * rng.choice([-1, 1]), "huge": 1e300,
                 "zero": 0.0}[kind]
        if rng.random() < 0.3:
            return np.full(a.shape, value)
        return set_entry(a.astype(float), value, rng)
    if kind == "index":
        choices = bad_indices(bound)
        return set_entry(a, choices[rng.integers(len(choices))], rng)
    if kind == "claims":
        shape = list(a.shape) or [1]
        axis = rng.integers(len(shape))
        claims = [shape[axis] * 1000, 2**31, 2**31 - 1, 2**40, -1, -(2**31), 0, 2.5,
                  np.int64(2**33), "4", None, ("num", "odd_arithmetic"), ("num", "int_only")]
        shape[axis] = claims[rng.integers(len(claims))]
        return ("claims", tuple(shape), a)
    if kind == "none":
        return None
    if kind == "number":
        return 3.0
    raise AssertionError(kind)


def number_recipes(n):
    """Every kind of number for an argument whose sound value is n."""
    return [n, 0, -1, 1, n - 1, n + 1, I32_MAX, 2**31, I32_MIN, -(2**31) - 1, 2**63, 2**64,
            n + 0.9, -0.5, float("nan"), float("inf"), -float("inf"), 1e300, True, False,
            np.int64(n), np.int32(n), np.float64(n), np.uint8(max(n, 0) % 256),
            np.float32(n), None, "3", 3 + 0j,
            *(("num", k) for k in ("int_only", "index_only", "int_returns_str", "int_raises",
                                   "float_only", "object", "fraction", "decimal", "complex", "odd_arithmetic",
                                   "np_uint64_max", "np_array_0d", "np_array_1d"))]


TYPE_ANSWERS = [2, -1, True, 1.0, np.int64(1), np.float64(0.0), "1", None, 2**40,
                ("num", "eq_raises"), [1, 0], [0, 1], [0, 2], [2, 1], [1, 1, 7], [1, 1, 2**31],
                [2, 0, 1]]


# ------------------------------------------------------------------ materials

def valid_permeability(rng, kind):
    if kind == 0:
        return {"type": 0, "mu": float(rng.uniform(1e-6, 1e-2))}
    k = int(rng.integers(0, 4))
    n = int(rng.integers(1, 7))
    t = np.sort(rng.uniform(-2.0, 6.0, n + k + 1))
    if rng.random() < 0.5:  # clamped ends, as fitted curves have
        t[: k + 1], t[n:] = t[0], t[-1]
    c = rng.uniform(1e-5, 1e-2, n)
    return {"type": 1, "info": ("tuple", [t, c, k, float(rng.uniform(0, 5)),
                                          float(rng.uniform(1e-6, 1e-3))])}


def valid_reluctance(rng, kind):
    if kind == 0:
        return {"type": 0, "value": float(rng.uniform(10.0, 1e6))}
    m = int(rng.integers(1, 5))
    x = np.cumsum(rng.uniform(0.1, 1.0, m + 1)) - 0.1
    return {"type": 1, "info": ("tuple", [rng.uniform(-1e3, 1e3, (4, m)), x])}


MATERIAL_CORRUPTIONS = ["type", "missing", "raises", "count", "iter", "not_iterable", "item",
                        "mu", "value", "deep_degree"]


def corrupt_material(kind, plan, rng, permeability):
    plan = dict(plan)
    methods = (["get_type_spec", "evaluate_mu", "get_spline_information"] if permeability
               else ["get_type_spec", "get_spline_information", "value"])
    held = plan.get("info")
    info = list(held[1]) if isinstance(held, tuple) and held[0] == "tuple" else None
    if kind == "type":
        plan["type"] = TYPE_ANSWERS[rng.integers(len(TYPE_ANSWERS))]
    elif kind in ("missing", "raises"):
        plan[kind] = [m for m in methods if rng.random() < 0.5] or methods[:1]
    elif kind == "count" and info is not None:
        plan["info"] = ("tuple", info[:-1] if rng.random() < 0.5 else info + [info[0]])
    elif kind == "iter" and info is not None:
        plan["info"] = ("iter", info)
    elif kind == "not_iterable":
        plan["info"] = 5
    elif kind == "item" and info is not None:
        pos = int(rng.integers(len(info)))
        item = info[pos]
        if isinstance(item, np.ndarray):
            choices = ["empty", "flat", "add_axis", "nan", "inf", "huge", "truncate", "extend",
                       "object", "strings", "complex", "list", "none", "zero_d", "F", "strided",
                       "reversed", "reversed"]
            choice = choices[rng.integers(len(choices))]
            if choice == "reversed":  # unsorted breakpoints and knots
                info[pos] = item[::-1].copy() if item.ndim else item
            else:
                info[pos] = corrupt_array(choice, item, rng, 0)
        else:
            choices = [-1, 0, 2**31, I32_MAX, 2.5, "3", None, np.int64(2), float("nan"),
                       float("inf"), 1e300, 3 + 1j, ("num", "int_raises")]
            info[pos] = choices[rng.integers(len(choices))]
        plan["info"] = ("tuple", info)
    elif kind == "mu":
        choices = ["x", None, 1 + 2j, np.array([1.0, 2.0]), np.float64(2.0), float("nan"),
                   float("inf"), ("num", "float_only"), ("num", "int_raises")]
        plan["mu"] = choices[rng.integers(len(choices))]
    elif kind == "value":
        choices = ["x", None, 1 + 2j, np.array([1.0, 2.0]), np.array(2.0), float("nan"),
                   float("inf"), [1.0], ("num", "float_only")]
        plan["value"] = choices[rng.integers(len(choices))]
    elif kind == "deep_degree" and permeability:
        # A degree far beyond any real curve; knots that defeat the fast
        # evaluation (NaN) send it to the plain recursion.
        k = int(rng.choice([30, 1000, 200_000]))
        t = np.full(k + 2, np.nan) if rng.random() < 0.5 else np.linspace(-1, 3, k + 2)
        plan = {"type": 1, "info": ("tuple", [t, np.ones(1), k, 0.0, 1e-6])}
    return plan


@st.composite
def materials(draw, rng, permeability):
    kind = draw(st.sampled_from([0, 1, 1]))
    plan = (valid_permeability if permeability else valid_reluctance)(rng, kind)
    for _ in range(draw(st.sampled_from([0, 0, 0, 1, 1, 2]))):
        plan = corrupt_material(draw(st.sampled_from(MATERIAL_CORRUPTIONS)), plan, rng,
                                permeability)
    return ("perm" if permeability else "rel", plan)


# ------------------------------------------------------------- valid-looking calls

@st.composite
def fe_base(draw, rng):
    """A small mesh with reference tables; tables constant over the points
    half of the time (the kernels' fast path for straight P1 elements)."""
    E = draw(st.sampled_from([1, 1, 2, 3, 5, 0]))
    N = draw(st.sampled_from([4, 4, 4, 10, 1, 2]))
    num_nodes = draw(st.integers(max(N, 1), N + 6))
    M = draw(st.sampled_from([1, 2, 4, 4, 5, 0]))
    uniform = draw(st.booleans())
    nodes = rng.standard_normal((num_nodes, 3))
    cells = np.concatenate([rng.permutation(num_nodes)[:N] for _ in range(E)] or
                           [np.zeros(0, int)]).astype(np.int32)
    d_phi = rng.standard_normal((1 if uniform else M, N, 3)).repeat(M if uniform else 1, 0)
    w = np.full(M, 1.0 / 6.0) if uniform else rng.uniform(0.01, 0.2, M)
    base = dict(nodes=nodes, cells=cells, d_phi=d_phi, q=rng.random((M, 3)), w=w)
    return base, dict(E=E, N=N, M=M, num_nodes=num_nodes, uniform=uniform)


@st.composite
def hcurl_base(draw, rng, with_phi=False, source=None):
    base, size = draw(fe_base(rng))
    E, M = size["E"], size["M"]
    n = draw(st.sampled_from([6, 6, 1, 3, 0]))
    S = draw(st.integers(1, 3))
    num_dofs = draw(st.integers(max(n, 1), n + 10))
    base["glob_ids"] = rng.integers(0, num_dofs, E * n).astype(np.int32)
    base["orientations"] = rng.integers(0, S, E).astype(np.int32)
    curls = rng.standard_normal((S, 1 if size["uniform"] else M, n, 3))
    base["curls"] = curls.repeat(M if size["uniform"] else 1, 1)
    base["x"] = rng.standard_normal(num_dofs) * draw(st.sampled_from([1.0, 0.0, 1e3]))
    if source or (source is None and draw(st.booleans())):
        base["B_s"] = rng.standard_normal((E, M, 3)) * draw(st.sampled_from([1.0, 0.0, 2.0]))
    else:
        base["B_s"] = np.zeros((0, 3)) if draw(st.booleans()) else np.array([])
    if with_phi:
        base["phi"] = rng.random((M, size["N"]))
    base["num_dofs"] = num_dofs
    base["num_el_dofs"] = n
    size.update(n=n, S=S, num_dofs=num_dofs)
    return base, size


INDEX_BOUNDS = {"cells": "num_nodes", "glob_ids": "num_dofs", "orientations": "S"}


@st.composite
def corrupted(draw, base, size, numbers):
    """Applies up to three corruptions to the arrays and numbers of `base`."""
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    call = dict(base)
    arrays = [k for k, v in base.items() if isinstance(v, np.ndarray)]
    for _ in range(draw(st.sampled_from([0, 1, 1, 1, 2, 3]))):
        name = draw(st.sampled_from(arrays + list(numbers)))
        if name in numbers:
            call[name] = draw(st.sampled_from(number_recipes(numbers[name])))
            continue
        kind = draw(st.sampled_from(ARRAY_CORRUPTIONS + ["index"] * 4
                                    if name in INDEX_BOUNDS else ARRAY_CORRUPTIONS))
        call[name] = corrupt_array(kind, base[name], rng, size.get(INDEX_BOUNDS.get(name), 4))
    return call


@st.composite
def scalar_potential_calls(draw):
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    base, size = draw(fe_base(rng))
    base["x"] = rng.standard_normal(size["num_nodes"]) * draw(st.sampled_from([1.0, 0.0, 1e4]))
    call = draw(corrupted(base, size, {}))
    call["permeability"] = draw(materials(rng, permeability=True))
    return call


@st.composite
def curl_curl_calls(draw):
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    base, size = draw(hcurl_base(rng))
    call = draw(corrupted(base, size, {"num_dofs": size["num_dofs"],
                                       "num_el_dofs": size["n"]}))
    call["reluctance"] = draw(materials(rng, permeability=False))
    return call


@st.composite
def rhs_calls(draw):
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    base, size = draw(hcurl_base(rng, source=True))
    call = draw(corrupted(base, size, {"num_dofs": size["num_dofs"],
                                       "num_el_dofs": size["n"]}))
    call["reluctance"] = draw(materials(rng, permeability=False))
    return call


@st.composite
def b_hcurl_calls(draw):
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    base, size = draw(hcurl_base(rng, with_phi=True, source=False))
    del base["B_s"]
    return draw(corrupted(base, size, {"num_dofs": size["num_dofs"],
                                       "num_el_dofs": size["n"]}))


@st.composite
def biot_savart_calls(draw):
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    num_src = draw(st.sampled_from([1, 2, 5, 0, 40]))
    num_tar = draw(st.sampled_from([1, 3, 7, 0, 33]))
    src = rng.standard_normal((num_src, 6))
    if num_src and draw(st.booleans()):  # targets on a segment, and zero-length segments
        src[0, 3:] = src[0, :3]
    tar = rng.standard_normal((num_tar, 3))
    if num_tar and num_src and draw(st.booleans()):
        tar[0] = src[-1, :3]
    base = dict(src=src, tar=tar, current=float(rng.uniform(-10, 10)),
                radius=float(rng.choice([1e-3, 0.0, 0.5])))
    size = dict(num_src=num_src, num_tar=num_tar)
    return draw(corrupted(base, size, {"current": 1.0, "radius": 0.001}))


STRATEGIES = {
    "compute_stiffness_and_jacobi_matrix": scalar_potential_calls(),
    "compute_stiffness_and_jacobi_matrix_curl_curl": curl_curl_calls(),
    "compute_rhs_Hcurl_red_c": rhs_calls(),
    "compute_B_Hcurl": b_hcurl_calls(),
    "compute_B_line_segs_cpp": biot_savart_calls(),
}

FUZZ_SETTINGS = settings(
    max_examples=EXAMPLES, deadline=None, database=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large,
                           HealthCheck.function_scoped_fixture])


@pytest.mark.parametrize("name", STRATEGIES)
def test_calls_return_or_raise_but_never_crash(worker, name):
    outcomes = {"ok": 0, "raised": 0}

    @FUZZ_SETTINGS
    @given(recipe=STRATEGIES[name])
    def run(recipe):
        outcomes[check_call(worker, name, recipe)[0]] += 1

    run()
    # The strategies are meant to reach the kernels: a fair share of calls
    # must get all the way through.
    assert outcomes["ok"] >= EXAMPLES // 20, outcomes


# ------------------------------------------------- faults the fuzzing found
#
# Each ran into a kernel with counts it could not handle; they go through
# the worker too, so that a regression fails here instead of killing pytest.

def one_call(strategy_call, **changes):
    call = dict(strategy_call)
    call.update(changes)
    return call


def sample_call(name, seed):
    """A fixed valid call of `name` (the fuzz strategy's base, uncorrupted)."""
    rng = np.random.default_rng(seed)
    nodes = rng.standard_normal((6, 3))
    cells = np.concatenate([rng.permutation(6)[:4] for _ in range(3)]).astype(np.int32)
    fe = dict(nodes=nodes, cells=cells, d_phi=rng.standard_normal((4, 4, 3)),
              q=rng.random((4, 3)), w=rng.uniform(0.01, 0.2, 4))
    if name == "compute_stiffness_and_jacobi_matrix":
        return dict(fe, x=rng.standard_normal(6),
                    permeability=("perm", valid_permeability(rng, 1)))
    hc = dict(fe, glob_ids=rng.integers(0, 10, 18).astype(np.int32),
              orientations=np.zeros(3, np.int32), curls=rng.standard_normal((1, 4, 6, 3)),
              x=rng.standard_normal(10), num_dofs=10, num_el_dofs=6)
    if name == "compute_B_Hcurl":
        return dict(hc, phi=rng.random((4, 4)))
    return dict(hc, B_s=rng.standard_normal((3, 4, 3)), reluctance=("rel", {"type": 0}))


def permeability_of_degree(k, knots):
    return ("perm", {"type": 1, "info": ("tuple", [knots, np.ones(1), k, 0.0, 1e-6])})


@pytest.mark.parametrize("k, knots, expected", [
    # The plain recursion, taken for knots the fast path refuses (NaN) or a
    # NaN field, makes 2**k calls per coefficient and nests k deep: degree
    # 1000 hung, 200000 overflowed the stack.
    (1000, np.full(1002, np.nan), "the spline degree 1000 exceeds 20"),
    (200_000, np.linspace(-1, 3, 200_002), "the spline degree 200000 exceeds 20"),
    (21, np.linspace(-1, 3, 23), "the spline degree 21 exceeds 20"),
    (20, np.linspace(-1, 3, 22), None),
])
def test_spline_degrees_beyond_the_evaluation_are_refused(worker, k, knots, expected):
    call = one_call(sample_call("compute_stiffness_and_jacobi_matrix", 1),
                    permeability=permeability_of_degree(k, knots), x=np.full(6, np.nan))
    outcome = check_call(worker, "compute_stiffness_and_jacobi_matrix", call)
    if expected is None:
        assert outcome[0] == "ok"
    else:
        assert outcome[:2] == ("raised", "ValueError") and expected in outcome[2]


def test_counts_with_their_own_arithmetic_cannot_undersize_the_lists(worker):
    # d_phi.shape[1] whose products give 0 but which converts to 4: the list
    # capacity came from the products, the kernel appended 16 per element.
    call = sample_call("compute_stiffness_and_jacobi_matrix", 2)
    call["d_phi"] = ("claims", (4, ("num", "odd_arithmetic"), 3), call["d_phi"])
    outcome = check_call(worker, "compute_stiffness_and_jacobi_matrix", call)
    assert outcome[:2] == ("raised", "ValueError") and "room for 0" in outcome[2]


@pytest.mark.parametrize("name", ["compute_B_Hcurl", "compute_rhs_Hcurl_red_c",
                                  "compute_stiffness_and_jacobi_matrix_curl_curl"])
def test_outputs_and_kernel_agree_on_the_number_of_points(worker, name):
    # len(w) asked twice once sized the outputs by one answer and ran the
    # kernel with the other.
    call = sample_call(name, 3)
    call["w"] = ("growing", call["w"])
    outcome = worker.call(name, call)
    assert outcome[0] != "died", outcome[2]


def test_fractional_local_function_counts_leave_no_unwritten_entries():
    import fluxkern_mod

    from fuzz_worker import build
    call = {k: build(v) for k, v in sample_call(
        "compute_stiffness_and_jacobi_matrix_curl_curl", 4).items()}
    # 3 * 6.5**2 = 126.75 entries of room, 3 * 6**2 = 108 written.
    whole = fluxkern_mod.compute_stiffness_and_jacobi_matrix_curl_curl(**call)
    call["num_el_dofs"] = 6.5
    part = fluxkern_mod.compute_stiffness_and_jacobi_matrix_curl_curl(**call)
    for a, b in zip(whole[:2], part[:2]):
        assert a.nnz == b.nnz and (a != b).nnz == 0
