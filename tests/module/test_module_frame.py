"""The module frame: import rules, namespace, docstrings, argument binding,
number and array conversion, module globals, result wrapping and errors
(the zero-length result and one-dimensional curve arrays:
test_rejections.py; csr_array looked up as a global: the triplet recorder
of the finite-element tests)."""

import re
import sys
import traceback

import numpy as np
import pytest
import scipy.sparse

import fluxkern_mod
from fe_inputs import PARAMS, RHS, SCALAR
from fuzz_worker import FloatOnly, IndexOnly, IntReturnsStr

# Parameters documented by each docstring, in order (not always the real ones).
DOCUMENTED = {**PARAMS, SCALAR: ("nodes", "cells", "d_phi", "x", "q", "w", "permeability"),
              RHS: ("nodes", "cells", "glob_ids", "curls", "d_phi", "orientations", "H_s", "x",
                    "q", "w", "num_dofs", "num_el_dofs")}

SEGMENT = np.array([[0.0, 0.0, -1.0, 0.0, 0.0, 1.0]])
TARGET = np.array([[1.0, 0.0, 0.0]])


class NoShape:
    """Passes binding; fails at the first attribute any entry point uses."""


# ------------------------------------------------------------------ namespace

def test_namespace_after_import():
    ns = vars(fluxkern_mod)
    assert fluxkern_mod.__doc__ is None
    assert ns["np"] is np
    assert ns["csr_array"] is scipy.sparse.csr_array
    assert ns["__test__"] == {}
    assert ns["__builtins__"] is sys.modules["builtins"]
    assert fluxkern_mod.__file__.endswith(".so")
    names = [n for n in ns if not n.startswith("__")]
    assert names == ["np", "csr_array", *PARAMS]  # bound in this order
    for name in PARAMS:
        f = ns[name]
        assert (f.__name__, f.__qualname__, f.__module__) == (name, name, "fluxkern_mod")


@pytest.mark.parametrize("name", PARAMS)
def test_docstrings_document_their_parameters(name):
    doc = getattr(fluxkern_mod, name).__doc__
    assert tuple(re.findall(r"^    :param (\w+):$", doc, re.M)) == DOCUMENTED[name]
    assert doc.endswith("\n    ") and doc.split("\n")[-3] == "    :return:"


def test_docstring_texts_are_the_modules_own():
    d = fluxkern_mod.compute_stiffness_and_jacobi_matrix_curl_curl.__doc__
    assert ("        An optional source potential. This is useful for the reduced vector "
            "potential formulation.\n        If this array is empty, it will be ignored.\n") in d
    assert "        The quarature weights.\n" in d
    assert fluxkern_mod.compute_B_line_segs_cpp.__doc__.endswith(
        "        The B fields in an M x 3 numpy array. \n    ")
    assert "Not the flux density!" in fluxkern_mod.compute_rhs_Hcurl_red_c.__doc__


def test_reimport_returns_the_same_module():
    saved = sys.modules.pop("fluxkern_mod")
    try:
        import fluxkern_mod as again
        assert again is saved
    finally:
        sys.modules["fluxkern_mod"] = saved


def test_second_interpreter_is_refused(python_run):
    r = python_run("""
        import fluxkern_mod, _xxsubinterpreters as si
        interp = si.create()
        try:
            si.run_string(interp, "import fluxkern_mod")
        except si.RunFailedError as e:
            print(e)
    """)
    assert r.returncode == 0, r.stderr
    assert ("<class 'ImportError'>: Interpreter change detected - this module can only be loaded "
            "into one interpreter per process.") in r.stdout


@pytest.mark.parametrize("setup, message", [
    ("sys.modules['scipy.sparse'] = None", "scipy.sparse"),
    ("import types; m = types.ModuleType('scipy.sparse'); sys.modules['scipy.sparse'] = m",
     "cannot import name csr_array"),
    ("sys.modules['numpy._core._multiarray_umath'] = None;"
     " sys.modules['numpy.core._multiarray_umath'] = None",
     "numpy.core.multiarray failed to import"),
])
def test_failed_execution_is_forgotten(python_run, setup, message):
    r = python_run(f"""
        import sys, traceback
        import numpy, scipy.sparse
        saved = dict(sys.modules)
        {setup}
        try:
            import fluxkern_mod
        except ImportError as e:
            print("ERR", e)
            print("".join(traceback.format_tb(e.__traceback__)))
        sys.modules.clear(); sys.modules.update(saved)
        import fluxkern_mod  # starts afresh after the failure
        print("OK", callable(fluxkern_mod.compute_B_line_segs_cpp))
    """)
    assert r.returncode == 0, r.stderr
    err = next(ln for ln in r.stdout.splitlines() if ln.startswith("ERR"))
    assert message in err
    assert "init fluxkern_mod" in r.stdout
    assert "OK True" in r.stdout


# -------------------------------------------------------------------- binding

def _args(name):
    return [NoShape() for _ in PARAMS[name]]


@pytest.mark.parametrize("name", PARAMS)
def test_binding_messages(name):
    f = getattr(fluxkern_mod, name)
    params = PARAMS[name]
    n = len(params)
    args = _args(name)
    cases = [
        (args[:-1], {}, f"{name}() takes exactly {n} positional arguments ({n - 1} given)"),
        (args + [1], {}, f"{name}() takes exactly {n} positional arguments ({n + 1} given)"),
        (args + [1], {"x": 1}, f"{name}() takes exactly {n} positional arguments ({n + 1} given)"),
        # The first parameter not found by keyword is reported, by position.
        (args[:2], {params[-1]: 1}, f"{name}() takes exactly {n} positional arguments (2 given)"),
        (args, {params[0]: 1}, f"{name}() got multiple values for keyword argument '{params[0]}'"),
        (args, {"bogus": 1}, f"{name}() got an unexpected keyword argument 'bogus'"),
        # A missing parameter is reported before an unexpected keyword.
        (args[:1], {"bogus": 1}, f"{name}() takes exactly {n} positional arguments (1 given)"),
    ]
    for pos, kw, message in cases:
        with pytest.raises(TypeError) as info:
            f(*pos, **kw)
        assert str(info.value) == message, (pos, kw)


@pytest.mark.parametrize("name", PARAMS)
def test_all_keywords_in_any_order_bind(name):
    f = getattr(fluxkern_mod, name)
    kwargs = {p: NoShape() for p in reversed(PARAMS[name])}
    # Binding succeeded: the body fails at its first attribute lookup.
    with pytest.raises(AttributeError, match="shape"):
        f(**kwargs)


def test_keyword_call_matches_positional_call():
    a = fluxkern_mod.compute_B_line_segs_cpp(SEGMENT, TARGET, 1.0, 0.001)
    b = fluxkern_mod.compute_B_line_segs_cpp(radius=0.001, tar=TARGET, current=1.0,
                                             src=SEGMENT)
    c = fluxkern_mod.compute_B_line_segs_cpp(SEGMENT, TARGET, radius=0.001, current=1.0)
    assert np.array_equal(a, b) and np.array_equal(a, c)


# ----------------------------------------------------------------- conversion

def test_double_conversion():
    f = fluxkern_mod.compute_B_line_segs_cpp
    for current, value in [(2, 2.0), (True, 1.0), (FloatOnly(), 0.5), (IndexOnly(), 3.0),
                           (np.float32(2.0), 2.0), (np.int64(2), 2.0)]:
        assert np.array_equal(f(SEGMENT, TARGET, current, 0.001), f(SEGMENT, TARGET, value, 0.001))
    with pytest.raises(TypeError):
        f(SEGMENT, TARGET, "2", 0.001)
    with pytest.raises(TypeError):
        f(SEGMENT, TARGET, 1.0, None)


def _one_element_hcurl(num_el_dofs):
    """A unit tetrahedron with one evaluation point and unit reference curls."""
    nodes = np.array([[0.0, 0, 0], [1, 0, 0], [0, 1, 0], [0, 0, 1]])
    d_phi = np.array([[[-1.0, -1, -1], [1, 0, 0], [0, 1, 0], [0, 0, 1]]])
    phi = np.full((1, 4), 0.25)
    curls = np.tile(np.eye(3)[:2], (1, 1, 1))  # [M=1][n=2][3]
    return dict(nodes=nodes, cells=np.arange(4), glob_ids=np.array([0, 1]), curls=curls,
                phi=phi, d_phi=d_phi, orientations=np.array([0]), x=np.array([3.0, 5.0]),
                q=np.zeros((1, 3)), w=np.ones(1), num_dofs=None, num_el_dofs=num_el_dofs)


def test_int32_conversion():
    f = fluxkern_mod.compute_B_Hcurl
    B2 = f(**_one_element_hcurl(2))[1]
    B1 = f(**_one_element_hcurl(1))[1]
    assert np.array_equal(B2, [[3.0, 5.0, 0.0]]) and np.array_equal(B1, [[3.0, 0.0, 0.0]])
    assert np.array_equal(f(**_one_element_hcurl(2.9))[1], B2)  # truncated
    assert np.array_equal(f(**_one_element_hcurl(True))[1], B1)
    assert np.array_equal(f(**_one_element_hcurl(np.int16(2)))[1], B2)
    for value, exc, message in [
        (2**31, OverflowError, None),
        (-(2**31) - 1, OverflowError, None),
        ("2", TypeError, "an integer is required"),
        (None, TypeError, "an integer is required"),
        (IntReturnsStr(), TypeError, r"__int__ returned non-int \(type str\)"),
    ]:
        with pytest.raises(exc, match=message):
            f(**_one_element_hcurl(value))


@pytest.mark.parametrize("make", [
    lambda a: np.asfortranarray(a),
    lambda a: np.repeat(a, 2, axis=1)[:, ::2],
    lambda a: a.astype(np.int64) if np.all(a == np.round(a)) else a,
    lambda a: a.astype(np.float32),
    lambda a: np.require(a, requirements="C").copy().view(),
])
def test_array_layouts_and_types_give_the_same_result(make):
    src = np.array([[0.0, 0, -1, 0, 0, 1], [1, 1, 0, 2, 1, 1], [0, 2, 0, 1, 0, 0]])
    tar = np.array([[2.0, 0, 0], [3, 2, 1], [-1, 0, 2], [0, 4, 0]])
    ref = fluxkern_mod.compute_B_line_segs_cpp(src, tar, 1.5, 0.01)
    ro_src, ro_tar = make(src), make(tar)
    ro_src.flags.writeable = False
    out = fluxkern_mod.compute_B_line_segs_cpp(ro_src, ro_tar, 1.5, 0.01)
    # Several workers may share the segments differently from call to call.
    np.testing.assert_allclose(out, ref, rtol=1e-14, atol=0)


def test_host_list_fails_at_the_first_attribute():
    with pytest.raises(AttributeError, match="'list' object has no attribute 'shape'"):
        fluxkern_mod.compute_B_line_segs_cpp(SEGMENT.tolist(), TARGET, 1.0, 0.1)

    class ShapeOnly:
        shape = (1, 6)
    with pytest.raises(AttributeError, match="flatten"):
        fluxkern_mod.compute_B_line_segs_cpp(ShapeOnly(), TARGET, 1.0, 0.1)


# ------------------------------------------------------------ module globals

class CountingNumpy:
    """A stand-in for numpy that records which attributes the module reads."""

    def __init__(self):
        self.seen = []

    def __getattr__(self, name):
        self.seen.append(name)
        return getattr(np, name)


def test_rebinding_np_changes_what_is_called(monkeypatch):
    fake = CountingNumpy()
    monkeypatch.setattr(fluxkern_mod, "np", fake)
    fluxkern_mod.compute_B_line_segs_cpp(SEGMENT, TARGET, 1.0, 0.001)
    assert fake.seen.count("ascontiguousarray") == 2
    assert fake.seen.count("double") == 2
    assert "asarray" in fake.seen
    monkeypatch.undo()
    before = len(fake.seen)
    fluxkern_mod.compute_B_line_segs_cpp(SEGMENT, TARGET, 1.0, 0.001)
    assert len(fake.seen) == before  # the cache follows the namespace back


def test_missing_global_is_a_name_error(monkeypatch):
    monkeypatch.delattr(fluxkern_mod, "np")
    with pytest.raises(NameError, match="name 'np' is not defined"):
        fluxkern_mod.compute_B_line_segs_cpp(SEGMENT, TARGET, 1.0, 0.001)
    monkeypatch.setattr("builtins.np", np, raising=False)  # the builtins are the fallback
    out = fluxkern_mod.compute_B_line_segs_cpp(SEGMENT, TARGET, 1.0, 0.001)
    assert out.shape == (1, 3)


# -------------------------------------------------------- results and errors

def test_results_are_new_and_owned():
    a = fluxkern_mod.compute_B_line_segs_cpp(SEGMENT, TARGET, 1.0, 0.001)
    b = fluxkern_mod.compute_B_line_segs_cpp(SEGMENT, TARGET, 1.0, 0.001)
    assert a.flags.c_contiguous and a.flags.owndata and a.flags.writeable
    a[:] = 0
    assert b[0, 1] > 0


def test_traceback_names_the_function():
    with pytest.raises(TypeError) as info:
        fluxkern_mod.compute_B_line_segs_cpp(SEGMENT, TARGET, "x", 0.1)
    names = [frame.name for frame in traceback.extract_tb(info.value.__traceback__)]
    assert names[-1] == "fluxkern_mod.compute_B_line_segs_cpp"


def test_width_errors_are_printed(capsys):
    f = fluxkern_mod.compute_B_line_segs_cpp
    assert f(np.zeros((2, 5)), np.zeros((3, 4)), 1.0, 0.1) == -1
    assert capsys.readouterr().out == "Error! The source array must be of dimension N x 6!\n"
    assert f(np.zeros((2, 6)), np.zeros((3, 4)), 1.0, 0.1) == -1
    assert capsys.readouterr().out == "Error! The target array must be of dimension M x 3!\n"
    with pytest.raises(IndexError):
        f(np.zeros(6), TARGET, 1.0, 0.1)  # src.shape[1] of a 1-D array


def test_extra_trailing_dimensions_pass_the_width_check():
    src = np.zeros((2, 6, 2))
    src.reshape(-1)[:12] = SEGMENT.ravel().tolist() * 2
    out = fluxkern_mod.compute_B_line_segs_cpp(src, TARGET, 1.0, 0.001)
    ref = fluxkern_mod.compute_B_line_segs_cpp(np.vstack([SEGMENT] * 2), TARGET, 1.0, 0.001)
    assert np.array_equal(out, ref)
