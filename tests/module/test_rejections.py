"""Input that the kernels could not handle safely is rejected with a Python
exception before any kernel runs and before any buffer of that size is asked
for: indices out of range, arrays shorter than the counts imply, counts and
products of counts beyond the 32-bit index range (right at the limit too),
curves the evaluation cannot take, and material data of the wrong form.

One table per entry point; every case runs in one child interpreter, which
must survive them all and then make a valid call of each function.
"""

import copy

import numpy as np
import pytest

import fluxkern_mod
from fe_inputs import (BH, BS, CURL, PARAMS, RHS, SCALAR, Claims, Permeability, Reluctance,
                       check_rejection, edge_numbering, rule, run_rejections, unit_elements)
from fluxkern_tools import elements
from fuzz_worker import GrowingLength, OddArithmetic


def _valid_args(name):
    """Two unit elements: 8 nodes, 12 edges, 4 points, 4 orientation classes."""
    if name == BS:
        return dict(src=np.array([[0.0, 0, -1, 0, 0, 1]]), tar=np.ones((2, 3)), current=1.0,
                    radius=0.1)
    nodes, cells = unit_elements(2)
    edges, glob_ids = edge_numbering(cells)
    q, w = rule("sym4")
    phi, d_phi = elements.p1(q)
    args = dict(nodes=nodes, cells=cells.ravel(), glob_ids=glob_ids.ravel(),
                curls=elements.curls_by_class(q)[:4], d_phi=d_phi, phi=phi,
                orientations=np.array([0, 3], np.int32), x=np.arange(len(edges), dtype=float),
                B_s=np.ones((2, 4, 3)), reluctance=Reluctance(0, value=2.0), q=q, w=w,
                num_dofs=len(edges), num_el_dofs=6)
    if name == SCALAR:
        args.update(x=np.arange(8.0), permeability=Permeability(0))
    return {p: args[p] for p in PARAMS[name]}


def _call(name, changes):
    def call():   # deepcopy: an iterator or a growing length serves one call
        return getattr(fluxkern_mod, name)(**{**_valid_args(name), **copy.deepcopy(changes)})
    return call


def VALID_CALL():
    for name in PARAMS:
        _call(name, {})()


def _ids_with(position, value):
    ids = _valid_args(CURL)["glob_ids"]   # 12 edges
    ids[position] = value
    return ids


def _degree(k, knots=None):
    knots = np.linspace(-1.0, 3.0, k + 2) if knots is None else knots
    return Permeability(1, knots, np.ones(1), k, 0.0, 1e-6)


class FickleCount:
    """A node count that converts to 4 the first time and to 8 after, with
    arithmetic that agrees with 4 (the element count with 8): the list capacity
    must be checked against the count the kernel is given."""

    def __init__(self):
        self.reads = 0

    def __int__(self):
        self.reads += 1
        return 4 if self.reads == 1 else 8

    def __rtruediv__(self, other):
        return other / 8

    def __mul__(self, other):
        return other * 4

    __rmul__ = __mul__


def _huge_block():
    """32768 functions on 65536 points: an orientation of 2**31 - 1 puts the
    block's end beyond 64 bits."""
    M, n = 2**16, 2**15
    q = np.full((M, 3), 0.25)
    return dict(q=q, w=np.full(M, 1.0 / M), phi=np.zeros((M, 4)), d_phi=np.zeros((M, 4, 3)),
                num_el_dofs=n, glob_ids=np.zeros(2 * n, np.int32),
                orientations=np.array([2**31 - 1, 0], np.int32))


RANGE = "exceed the 32-bit index range"
_T, _C1 = np.linspace(0.0, 1.0, 8), np.ones((4, 1))
_UNPACK = "^need more than {} to unpack$"
_TOO_MANY = r"^too many values to unpack \(expected {}\)$"
_DIMS = r"^Buffer has wrong number of dimensions \(expected 1, got 2\)$"
_EMPTY = r"^Invalid shape in axis 0: 0\.$"
_GROWING = ("w asked twice", dict(w=GrowingLength(np.full(4, 0.25))), None, "")

_FE = [   # every finite-element function
    ("short nodes, a count times 3 beyond int32", dict(nodes=Claims(2**30, np.zeros((8, 3)))),
     ValueError, "nodes holds 24 values, but 3221225472"),
    ("short cells", dict(cells=Claims(8, np.arange(7))), ValueError,
     "cells holds 7 values, but 8"),
    ("short d_phi", dict(d_phi=np.zeros((2, 4, 3))), ValueError, "d_phi holds 24 values, but 48"),
    ("short w", dict(w=Claims(4, np.full(3, 0.25))), ValueError, "w holds 3 values, but 4"),
]
_HCURL = [   # the three edge-element functions
    ("negative global id", dict(glob_ids=_ids_with(5, -1)),
     IndexError, r"glob_ids\[5\] = -1 is outside"),
    ("global id beyond x", dict(x=np.arange(11.0), num_dofs=17), ValueError,
     "x holds 11 values, but glob_ids refers to entry 11"),
    ("short glob_ids", dict(glob_ids=_ids_with(5, 0)[:-1]),
     ValueError, "glob_ids holds 11 values, but 12"),
    ("negative orientation", dict(orientations=np.array([0, -1], np.int32)), IndexError,
     r"orientations\[1\] = -1 selects no block of curls"),
    ("orientation beyond the curls", dict(orientations=np.array([4, 0], np.int32)), IndexError,
     r"orientations\[0\] = 4 selects no block"),
    ("short orientations", dict(orientations=np.zeros(1, np.int32)), ValueError,
     "orientations holds 1 values, but 2"),
    _GROWING,
]
_RELUCTANCE = [   # the two functions that read a reluctance
    ("global id equal to num_dofs", dict(glob_ids=_ids_with(5, 12)), IndexError,
     r"glob_ids\[5\] = 12 is outside 0 \.\. num_dofs - 1 = 11"),
    ("num_dofs beyond int32", dict(num_dofs=2**31), OverflowError, RANGE),
    ("short B_s", dict(B_s=np.ones(23)), ValueError, "B_s holds 23 values, but 24"),
    ("one breakpoint", dict(reluctance=Reluctance(1, np.ones((4, 0)), np.zeros(1))), ValueError,
     "needs at least two breakpoints"),
    ("too few coefficients", dict(reluctance=Reluctance(1, _C1, np.arange(3.0))), ValueError,
     "holds 4 coefficients, but 8 are needed"),
    ("three spline items", dict(reluctance=Reluctance(1, info=(_C1, [0, 1], 2))),
     ValueError, _TOO_MANY.format(2)),
    ("three spline items from an iterator",
     dict(reluctance=Reluctance(1, info=iter([_C1, [0, 1], 2]))), ValueError, _TOO_MANY.format(2)),
    ("one spline item", dict(reluctance=Reluctance(1, info=[_C1])),
     ValueError, _UNPACK.format("1 value")),
    ("no spline items", dict(reluctance=Reluctance(1, info=())),
     ValueError, _UNPACK.format("0 values")),
    ("two-dimensional breakpoints", dict(reluctance=Reluctance(1, _C1, np.zeros((2, 1)))),
     ValueError, _DIMS),
]
_ONLY = {
    SCALAR: [
        ("node index beyond the nodes", dict(cells=np.r_[0:7, 8]), IndexError,
         r"cells\[7\] = 8 is outside 0 \.\. num_nodes - 1"),
        ("negative node index", dict(cells=np.r_[-1, 1:8]), IndexError,
         r"cells\[0\] = -1 is outside"),
        ("node index beyond x", dict(x=np.arange(7.0)), ValueError,
         "x holds 7 values, but cells refers to entry 7"),
        ("negative degree", dict(permeability=Permeability(1, _T, np.ones(8), -1)), ValueError,
         "degree must not be negative"),
        # The plain recursion (taken for NaN knots or fields) made 2**k calls
        # per coefficient and nested k deep: degree 1000 hung, 200000
        # overflowed the stack.
        ("degree 21", dict(permeability=_degree(21)), ValueError,
         "the spline degree 21 exceeds 20"),
        ("degree 1000 on NaN knots",
         dict(permeability=_degree(1000, np.full(1002, np.nan)), x=np.full(8, np.nan)),
         ValueError, "degree 1000 exceeds"),
        ("degree 200000", dict(permeability=_degree(200_000)), ValueError,
         "degree 200000 exceeds"),
        ("short coefficient array", dict(permeability=Permeability(1, _T, np.ones(3), 3)),
         ValueError, "holds 3 coefficients, but 4 are needed"),
        ("six spline items", dict(permeability=Permeability(1, info=(1, 2, 3, 4, 5, 6))),
         ValueError, _TOO_MANY.format(5)),
        ("one spline item", dict(permeability=Permeability(1, info=(1,))), ValueError,
         _UNPACK.format("1 value")),
        ("no spline items", dict(permeability=Permeability(1, info=[])), ValueError,
         _UNPACK.format("0 values")),
        ("three spline items from an iterator",
         dict(permeability=Permeability(1, info=iter([_T, np.ones(4), 3]))), ValueError,
         _UNPACK.format("3 values")),
        ("spline information not iterable", dict(permeability=Permeability(1, info=5)),
         TypeError, "not iterable"),
        ("two-dimensional knots", dict(permeability=Permeability(1, _T[:, None], np.ones(4), 3)),
         ValueError, _DIMS),
        ("two-dimensional coefficients",
         dict(permeability=Permeability(1, _T, np.ones((4, 1)), 3)), ValueError, _DIMS),
        ("no nodes per element", dict(d_phi=np.zeros((4, 0, 3))), ZeroDivisionError, ""),
        ("d_phi without a second axis", dict(d_phi=np.zeros(12)), IndexError,
         "index out of range"),
        # A node count whose own products give 0 but which converts to 4: the
        # list capacity came from the products, the kernel appended 16 per element.
        ("node count that changes between readings",
         dict(d_phi=Claims((4, FickleCount(), 3), np.zeros((4, 8, 3)))), ValueError,
         "room for 16 matrix entries, but the elements add 64"),
        ("node count with its own arithmetic",
         dict(d_phi=Claims((4, OddArithmetic(), 3), np.zeros((4, 4, 3)))), ValueError,
         "room for 0"),
        ("no elements", dict(cells=np.zeros(0, np.int32)), ValueError, _EMPTY),
        ("fewer cells than el_nodes", dict(cells=np.arange(3)), ValueError, _EMPTY),
        ("2**31 triplets", dict(cells=Claims(4 * 2**27, np.arange(8))), OverflowError,
         "2147483648 entries " + RANGE),
        ("entries far beyond int32", dict(cells=Claims(2**31, np.arange(8))), OverflowError,
         RANGE),
        ("element count beyond int32", dict(cells=Claims(4 * 2**31, np.arange(8))),
         OverflowError, "out of bounds for int32"),
        ("entries beyond 64 bits", dict(cells=Claims(2**40, np.arange(8)),
                                        d_phi=Claims((4, 2**31 - 1, 3), np.zeros((4, 4, 3)))),
         OverflowError, RANGE),
        ("node count beyond int32", dict(nodes=Claims(2**31, np.zeros((8, 3)))), OverflowError,
         "int32"),
        ("point count beyond int32", dict(w=Claims(2**31, np.full(4, 0.25))), OverflowError,
         "int32"),
    ],
    CURL: [
        ("no elements", dict(cells=np.zeros(0, np.int32)), ValueError,
         "the mesh has no elements"),
        ("fewer cells than el_nodes", dict(cells=np.arange(3)), ValueError,
         "the mesh has no elements"),
        ("element count at the int32 limit", dict(cells=Claims((2**31 - 1) * 4, np.arange(8))),
         OverflowError, RANGE),
        ("num_el_dofs squared beyond int32", dict(num_el_dofs=2**16), OverflowError,
         "8589934592 entries " + RANGE),
        ("num_el_dofs at the int32 limit", dict(num_el_dofs=2**31 - 1), OverflowError, RANGE),
        ("num_dofs beyond size_t", dict(num_dofs=2**64), OverflowError, "size_t"),
    ],
    RHS: [
        ("element count at the int32 limit", dict(cells=Claims((2**31 - 1) * 4, np.arange(8))),
         ValueError, "cells holds 8 values"),
        ("num_el_dofs at the int32 limit", dict(num_el_dofs=2**31 - 1), ValueError,
         "glob_ids holds 12 values"),
        ("point count at the int32 limit", dict(w=Claims(2**31 - 1, np.full(4, 0.25))),
         ValueError, "w holds 4 values"),
    ],
    BH: [
        ("short phi", dict(phi=np.zeros((2, 4))), ValueError, "phi holds 8 values, but 16"),
        ("orientation whose block ends beyond 64 bits", _huge_block(), IndexError,
         r"orientations\[0\] = 2147483647 selects no block"),
        ("global id beyond x, no num_dofs", dict(glob_ids=_ids_with(5, 12)), ValueError,
         "x holds 12 values, but glob_ids refers to entry 12"),
        ("evaluation points beyond int32", dict(w=Claims(2**30, np.full(4, 0.25))),
         OverflowError, RANGE),
        ("evaluation points beyond 64 bits", dict(w=Claims(2**62, np.full(4, 0.25))),
         OverflowError, RANGE),
        ("element count times points beyond int32", dict(cells=Claims(2**29 * 4, np.arange(8))),
         OverflowError, RANGE),
        ("num_el_dofs at the int32 limit", dict(num_el_dofs=2**31 - 1), ValueError,
         "glob_ids holds 12 values"),
    ],
    BS: [
        *((f"{rows} targets", dict(tar=Claims((rows, 3), [0.0, 0, 0])), OverflowError, "")
          for rows in (2**30, 2**31 - 1, 2**31, 2**40)),
        ("short targets", dict(tar=Claims((100, 3), [1.0, 0, 0])), ValueError,
         "tar holds 3 values, but 300 are needed"),
        ("short sources", dict(src=Claims((10, 6), np.zeros(6))), ValueError,
         "src holds 6 values, but 60 are needed"),
        ("negative source count", dict(src=Claims((-1, 6), np.zeros(6))), ValueError,
         "must not be negative"),
        ("negative target count", dict(tar=Claims((-2, 3), [0.0, 0, 0])), OverflowError,
         "negative value to size_t"),
        ("no targets", dict(tar=np.zeros((0, 3))), ValueError, _EMPTY),
    ],
}
_GROUPS = {SCALAR: _FE, CURL: _FE + _HCURL + _RELUCTANCE, RHS: _FE + _HCURL + _RELUCTANCE,
           BH: _FE + _HCURL, BS: []}

REJECTIONS = {f"{name}: {case}": (_call(name, changes), exception, text)
              for name in PARAMS
              for case, changes, exception, text in _GROUPS[name] + _ONLY[name]}


@pytest.fixture(scope="module")
def rejections():
    return run_rejections("test_rejections", "REJECTIONS")


@pytest.mark.parametrize("case", list(REJECTIONS))
def test_inconsistent_input_raises_and_the_process_survives(rejections, case):
    check_rejection(rejections, case, *REJECTIONS[case][1:])
