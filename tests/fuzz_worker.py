"""The child side of the fuzz tests, and the calls they make.

make_call() turns the plain choices that hypothesis drew (a seed, sizes,
which arguments to spoil and how) into the arguments of a call: a small
valid-looking call with a few targeted corruptions, so that calls get past
the first attribute and deep into the checks and kernels.  Only the choices
cross the pipe: what the fuzzing is about (memory layout, read-only flags,
odd array-likes, material objects with broken methods) would not survive
pickling, and the parent rebuilds the same call to report it.
"""

import os
import pickle
import sys
import traceback
import warnings
from decimal import Decimal
from fractions import Fraction
from multiprocessing.connection import Connection

import numpy as np
import scipy.sparse

import fluxkern_mod
from fe_inputs import BH, BS, CURL, RHS, SCALAR, Claims, fingerprint, limit_address_space

I32_MAX, I32_MIN = 2**31 - 1, -(2**31)


class FuzzError(Exception):
    """Raised on purpose by the material objects and numbers."""


class GrowingLength(Claims):
    """An array-like whose length is 1 the first time it is asked, then its
    real length: whoever asks twice gets two answers."""

    def __init__(self, data):
        super().__init__(np.shape(data), data)
        self._asked = False

    def __len__(self):
        first, self._asked = not self._asked, True
        return 1 if first else self.shape[0]


def _number_like(name, **methods):
    """A class with just the given special methods (the host looks them up on
    the type, so they cannot be set on an instance)."""
    return type(name, (), {f"__{k}__": v for k, v in methods.items()})


def _raises(what):
    def method(*_):
        raise FuzzError(what)
    return method


IntOnly = _number_like("IntOnly", int=lambda _: 3)
IndexOnly = _number_like("IndexOnly", index=lambda _: 3)
IntReturnsStr = _number_like("IntReturnsStr", int=lambda _: "3")
IntRaises = _number_like("IntRaises", int=_raises("__int__"), float=_raises("__float__"))
FloatOnly = _number_like("FloatOnly", float=lambda _: 0.5)
# A count whose own arithmetic disagrees with its value as an int.
OddArithmetic = _number_like("OddArithmetic", int=lambda _: 4, rtruediv=lambda *_: 3.0,
                             mul=lambda *_: 0, rmul=lambda *_: 0)
# A type specifier whose comparison fails.
EqRaises = _number_like("EqRaises", eq=_raises("__eq__"), hash=None)


def numbers(n):
    """Every kind of number for an argument whose sound value is n."""
    return [n, 0, -1, 1, n - 1, n + 1, I32_MAX, 2**31, I32_MIN, -(2**31) - 1, 2**63, 2**64,
            n + 0.9, -0.5, float("nan"), float("inf"), -float("inf"), 1e300, True, False,
            np.int64(n), np.int32(n), np.float64(n), np.uint8(max(n, 0) % 256), np.float32(n),
            None, "3", 3 + 0j, IntOnly(), IndexOnly(), IntReturnsStr(), IntRaises(), FloatOnly(),
            object(), Fraction(7, 2), Decimal("2.5"), OddArithmetic(), np.uint64(2**64 - 1),
            np.array(3), np.array([3])]


# ------------------------------------------------------------------ arrays

ARRAY_CORRUPTIONS = [
    "int64", "int32", "bool", "complex", "object", "float32", "uint8", "strings",
    "F", "strided", "readonly", "empty", "truncate", "extend", "flat", "add_axis", "zero_d",
    "nan", "inf", "huge", "zero", "claims", "growing", "list", "none", "number",
]


def set_entry(a, value, rng):
    flat = np.array(a).reshape(-1)
    if flat.size == 0:
        return a
    needs = np.result_type(flat.dtype, np.min_scalar_type(value) if isinstance(value, int)
                           else np.asarray(value).dtype)
    flat = flat.astype(needs if needs.kind in "fc" or abs(value) < 2**62 else object)
    flat[rng.integers(flat.size)] = value
    return flat.reshape(np.shape(a))


def corrupt_array(kind, a, rng, bound):
    """`a` spoiled in the way `kind` names; `bound` is the range an index
    array must stay in (for 'index')."""
    if kind in ("int64", "int32", "bool", "complex", "float32", "uint8", "object"):
        return a.astype({"bool": np.bool_, "complex": np.complex128}.get(kind, kind))
    if kind in ("strings", "F", "readonly", "list", "growing", "flat"):
        if kind == "readonly":
            a = a.copy()
            a.flags.writeable = False
        return {"strings": lambda: a.astype(str), "F": lambda: np.asfortranarray(a),
                "readonly": lambda: a, "list": a.tolist, "growing": lambda: GrowingLength(a),
                "flat": lambda: a.reshape(-1)}[kind]()
    if kind == "strided":  # non-contiguous, every other element of a buffer
        flat = np.repeat(a.reshape(-1), 2)[::2]
        return flat.reshape(a.shape) if a.ndim else flat[0]
    if kind == "empty":
        return np.zeros((0,) + a.shape[1:], a.dtype)
    if kind == "truncate":
        return a.reshape(-1)[: rng.integers(max(a.size, 1))]
    if kind == "extend":
        return np.concatenate([a.reshape(-1), rng.random(rng.integers(1, 8))])
    if kind == "add_axis":
        return a[None] if rng.random() < 0.5 else a[..., None]
    if kind in ("nan", "inf", "huge", "zero"):
        value = {"nan": np.nan, "inf": np.inf * rng.choice([-1, 1]), "huge": 1e300,
                 "zero": 0.0}[kind]
        return np.full(a.shape, value) if rng.random() < 0.3 else set_entry(a.astype(float),
                                                                             value, rng)
    if kind == "index":
        # Out of range, negative, at the 32-bit limits, and floats that the
        # int32 conversion turns into something else.
        bad = [-1, bound, bound + 7, I32_MAX, I32_MIN, 2**31, 2**40, 1e10, np.nan, -0.5,
               bound - 0.5, np.inf]
        return set_entry(a, bad[rng.integers(len(bad))], rng)
    if kind == "claims":
        shape = list(a.shape) or [1]
        claims = [shape[0] * 1000, 2**31, 2**31 - 1, 2**40, -1, -(2**31), 0, 2.5,
                  np.int64(2**33), "4", None, OddArithmetic(), IntOnly()]
        shape[rng.integers(len(shape))] = claims[rng.integers(len(claims))]
        return Claims(tuple(shape), a)
    return {"zero_d": np.array(1.5), "none": None, "number": 3.0}[kind]


# --------------------------------------------------------------- materials

class Material:
    """A permeability or reluctance whose answers the fuzzing spoils at will:
    members in `missing` are left out, those in `raises` raise FuzzError."""

    MEMBERS = ("get_type_spec", "evaluate_mu", "get_spline_information", "value")

    def __init__(self, answers, info=None, mu=1.0, value=1.0):
        self.answers, self.info, self.mu, self.value_ = answers, info, mu, value
        self.iterate, self.missing, self.raises, self.asked = False, set(), set(), 0

    def __getattr__(self, name):   # reached for the members only
        if name not in self.MEMBERS or name in self.missing:
            raise AttributeError(name)
        if name == "value":
            if name in self.raises:
                raise FuzzError(name)
            return self.value_

        def method(*args):
            if name in self.raises:
                raise FuzzError(name)
            return getattr(self, "_" + name)(*args)
        return method

    def _get_type_spec(self):
        # A list is answered call after call, the last answer repeated.
        self.asked += 1
        return self.answers[min(self.asked, len(self.answers)) - 1]

    def _evaluate_mu(self, H):
        return self.mu

    def _get_spline_information(self):
        if isinstance(self.info, list):
            return iter(list(self.info)) if self.iterate else tuple(self.info)
        return self.info

    def __repr__(self):
        return f"Material({vars(self)!r})"


def valid_material(rng, permeability):
    kind = rng.choice([0, 1, 1])
    if permeability and kind == 0:
        return Material([0], mu=float(rng.uniform(1e-6, 1e-2)))
    if kind == 0:
        return Material([0], value=float(rng.uniform(10.0, 1e6)))
    if permeability:
        k, n = int(rng.integers(0, 4)), int(rng.integers(1, 7))
        t = np.sort(rng.uniform(-2.0, 6.0, n + k + 1))
        if rng.random() < 0.5:  # clamped ends, as fitted curves have
            t[: k + 1], t[n:] = t[0], t[-1]
        return Material([1], [t, rng.uniform(1e-5, 1e-2, n), k, float(rng.uniform(0, 5)),
                              float(rng.uniform(1e-6, 1e-3))])
    m = int(rng.integers(1, 5))
    return Material([1], [rng.uniform(-1e3, 1e3, (4, m)), np.cumsum(rng.uniform(0.1, 1, m + 1))
                          - 0.1])


TYPE_ANSWERS = [2, -1, True, 1.0, np.int64(1), np.float64(0.0), "1", None, 2**40, [1, 0],
                [0, 1], [0, 2], [2, 1], [1, 1, 7], [1, 1, 2**31], [2, 0, 1]]
MATERIAL_CORRUPTIONS = ["type", "eq_raises", "missing", "raises", "count", "iter",
                        "not_iterable", "item", "mu", "value", "deep_degree"]


def corrupt_material(kind, m, rng, permeability):
    pick = lambda choices: choices[rng.integers(len(choices))]  # noqa: E731
    members = (["get_type_spec", "evaluate_mu", "get_spline_information"] if permeability
               else ["get_type_spec", "get_spline_information", "value"])
    info = m.info if isinstance(m.info, list) else None
    if kind == "type":
        answer = pick(TYPE_ANSWERS)
        m.answers = answer if isinstance(answer, list) else [answer]
    elif kind == "eq_raises":
        m.answers = [EqRaises()]
    elif kind in ("missing", "raises"):
        getattr(m, kind).update([n for n in members if rng.random() < 0.5] or members[:1])
    elif kind == "count" and info is not None:
        m.info = info[:-1] if rng.random() < 0.5 else info + [info[0]]
    elif kind == "iter":
        m.iterate = True
    elif kind == "not_iterable":
        m.info = 5
    elif kind == "item" and info:
        pos = int(rng.integers(len(info)))
        if isinstance(info[pos], np.ndarray):
            choice = pick(["empty", "flat", "add_axis", "nan", "inf", "huge", "truncate", "extend",
                           "object", "strings", "complex", "list", "none", "zero_d", "F",
                           "strided", "reversed", "reversed"])
            if choice == "reversed":                  # unsorted breakpoints (0-d: as is)
                info[pos] = info[pos][::-1].copy() if info[pos].ndim else info[pos]
            else:
                info[pos] = corrupt_array(choice, info[pos], rng, 0)
        else:
            info[pos] = pick([-1, 0, 2**31, I32_MAX, 2.5, "3", None, np.int64(2), float("nan"),
                              float("inf"), 1e300, 3 + 1j, IntRaises()])
    elif kind == "mu":
        m.mu = pick(["x", None, 1 + 2j, np.array([1.0, 2.0]), np.float64(2.0), float("nan"),
                     float("inf"), FloatOnly(), IntRaises()])
    elif kind == "value":
        m.value_ = pick(["x", None, 1 + 2j, np.array([1.0, 2.0]), np.array(2.0), float("nan"),
                         float("inf"), [1.0], FloatOnly()])
    elif kind == "deep_degree" and permeability:
        # A degree far beyond any real curve; knots that defeat the fast
        # evaluation (NaN) send it to the plain recursion.
        k = int(rng.choice([30, 1000, 200_000]))
        t = np.full(k + 2, np.nan) if rng.random() < 0.5 else np.linspace(-1, 3, k + 2)
        m.answers, m.info = [1], [t, np.ones(1), k, 0.0, 1e-6]


# ------------------------------------------------------------------- calls

def make_call(name, ch):
    """(keyword arguments, notes on what was spoiled) for the choices `ch`."""
    rng = np.random.default_rng(ch["seed"])
    if name == BS:
        num_src, num_tar = ch["segments"]
        src, tar = rng.standard_normal((num_src, 6)), rng.standard_normal((num_tar, 3))
        if num_src and rng.random() < 0.5:  # zero-length segments
            src[0, 3:] = src[0, :3]
        if num_src and rng.random() < 0.5:  # a target on an end point
            tar[:1] = src[-1, :3]
        kw = dict(src=src, tar=tar, current=float(rng.uniform(-10, 10)),
                  radius=float(rng.choice([1e-3, 0.0, 0.5])))
        sound, bounds = dict(current=1.0, radius=0.001), {}
    else:
        # Tables constant over the points half of the time: the kernels' fast
        # path for straight P1 elements.
        E, N, M, n, S, uniform = ch["E"], ch["N"], ch["M"], ch["n"], ch["S"], ch["uniform"]
        num_nodes, num_dofs = max(N, 1) + ch["extra_nodes"], max(n, 1) + ch["extra_dofs"]
        kw = dict(nodes=rng.standard_normal((num_nodes, 3)),
                  cells=np.concatenate([rng.permutation(num_nodes)[:N] for _ in range(E)]
                                       or [np.zeros(0, int)]).astype(np.int32),
                  d_phi=rng.standard_normal((1 if uniform else M, N, 3)).repeat(
                      M if uniform else 1, 0),
                  q=rng.random((M, 3)),
                  w=np.full(M, 1.0 / 6.0) if uniform else rng.uniform(0.01, 0.2, M))
        bounds = dict(cells=num_nodes, glob_ids=num_dofs, orientations=S)
        sound = dict(num_dofs=num_dofs, num_el_dofs=n)
        if name == SCALAR:
            kw.update(x=rng.standard_normal(num_nodes) * ch["scale"] * 10,
                      permeability=valid_material(rng, True))
            sound = {}
        else:
            curls = rng.standard_normal((S, 1 if uniform else M, n, 3))
            kw.update(glob_ids=rng.integers(0, num_dofs, E * n).astype(np.int32),
                      orientations=rng.integers(0, S, E).astype(np.int32),
                      curls=curls.repeat(M if uniform else 1, 1),
                      x=rng.standard_normal(num_dofs) * ch["scale"], **sound)
        if name == BH:
            kw["phi"] = rng.random((M, N))
        elif name in (CURL, RHS):
            source = 1.0 if name == RHS and ch["source"] is None else ch["source"]
            kw["B_s"] = (rng.standard_normal((E, M, 3)) * source if source is not None
                         else np.zeros((0, 3)) if rng.random() < 0.5 else np.array([]))
            kw["reluctance"] = valid_material(rng, False)
    base, notes = dict(kw), []
    spoilable = sorted(set(kw) - {"permeability", "reluctance"})
    with np.errstate(all="ignore"), warnings.catch_warnings():
        warnings.simplefilter("ignore")  # casting warnings are the point here, not news
        for param, k in ch["corrupt"]:
            param = spoilable[param % len(spoilable)]
            if param in sound:
                kinds = numbers(sound[param])
                kw[param] = kinds[k % len(kinds)]
                notes.append(f"{param} = {kw[param]!r}")
                continue
            kinds = ARRAY_CORRUPTIONS + ["index"] * 4 * (param in bounds)
            kind = kinds[k % len(kinds)]
            kw[param] = corrupt_array(kind, base[param], rng, bounds.get(param, 4))
            notes.append(f"{param}: {kind}")
        for param in ("permeability", "reluctance"):
            for k in ch["material"] if param in kw else ():
                kind = MATERIAL_CORRUPTIONS[k % len(MATERIAL_CORRUPTIONS)]
                corrupt_material(kind, kw[param], rng, param == "permeability")
                notes.append(f"{param}: {kind}")
    return kw, notes


# ------------------------------------------------------------ result checks

def check_result(name, kw, result):
    """None when `result` has the types and shapes that the arguments call
    for, else a description of what is wrong."""
    csr, array = scipy.sparse.csr_array, np.ndarray
    if name == BS:
        src, tar = kw["src"], kw["tar"]
        if isinstance(result, int):
            widths_wrong = src.shape[1] != 6 or tar.shape[1] != 3
            return None if result == -1 and widths_wrong else f"int result {result}"
        expected = [(array, (int(tar.shape[0]), 3))]
    elif name == SCALAR:
        expected = [(csr, (int(kw["nodes"].shape[0]),) * 2)] * 2
    elif name == CURL:
        expected = [(csr, (int(kw["num_dofs"]),) * 2)] * 2 + [(array, (int(kw["num_dofs"]),))]
    elif name == RHS:
        expected = [(array, (int(kw["num_dofs"]),))]
    else:  # what the module saw of a growing length is its first answer
        first = {k: 1 if isinstance(kw[k], GrowingLength) else len(kw[k]) for k in ("cells", "w")}
        rows = int(np.int32(first["cells"] / kw["d_phi"].shape[1])) * first["w"]
        expected = [(array, (rows, 3))] * 2
    if len(expected) > 1 and not (isinstance(result, tuple) and len(result) == len(expected)):
        return f"{type(result).__name__} instead of a {len(expected)}-tuple"
    for part, (kind, shape) in zip(result if len(expected) > 1 else [result], expected):
        if not isinstance(part, kind) or part.shape != shape:
            return f"{type(part).__name__} {getattr(part, 'shape', '')}, expected {shape}"
        if kind is array and (part.dtype != np.float64 or not part.flags.c_contiguous):
            return f"array {part.dtype} (C: {part.flags.c_contiguous})"
    return None


def run_call(name, choices):
    """('ok', None) | ('raised', type, message) | ('wrong', description)."""
    f = getattr(fluxkern_mod, name)
    outcomes = []
    for _ in range(2):  # twice: a result that depends on stale memory differs
        kw = make_call(name, choices)[0]
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
        outcomes.append(("ok", fingerprint(result)))
    # Several OpenMP workers may merge their sums in any order: the field is
    # then only equal to rounding, so its bits are not compared.
    if outcomes[0][0] == "ok" and name == BS:
        return ("ok", None) if outcomes[1][0] == "ok" else ("wrong", f"{outcomes}")
    if outcomes[0] != outcomes[1]:
        return ("wrong", "two runs of the same call differ")
    return ("ok", None) if outcomes[0][0] == "ok" else outcomes[0]


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
            name, choices = pickle.loads(inbox.recv_bytes())
        except EOFError:
            return
        outbox.send(run_call(name, choices))


if __name__ == "__main__":
    main(int(sys.argv[1]), int(sys.argv[2]))
