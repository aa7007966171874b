"""Inputs for the finite-element entry points: small meshes in any node order
and orientation, reference tables, material objects that the module reads,
a recorder of the triplets it hands to csr_array, and a runner that tries
rejected calls in a child process."""

import json
import os
import re
import subprocess
import sys
import textwrap
import zlib

import numpy as np
import scipy.sparse

import fluxkern_mod
from fluxkern_tools import elements, meshes, quadrature

HERE = os.path.dirname(os.path.abspath(__file__))

# Local vertex order 0, 1, 3, 2 mirrors a tetrahedron (negative determinant).
MIRROR_P1 = [0, 1, 3, 2]


def rng_for(*key):
    """A generator seeded by the test parameters, the same on every run."""
    return np.random.default_rng(zlib.crc32(repr(key).encode()))


# ------------------------------------------------------------------ meshes

def box_tets(rng, shape=(2, 2, 1), jitter=0.15, orientation="mixed", shuffle=True):
    """Nodes (num_nodes, 3) and cells (E, 4) of a perturbed box mesh.

    orientation: "positive", "negative" (every element mirrored) or "mixed"
    (a random half mirrored); shuffle renumbers the nodes at random, which
    spreads the elements over many orientation classes."""
    m = meshes.box(shape=shape)
    h = 1.0 / max(shape)
    nodes = m.nodes + rng.uniform(-jitter * h, jitter * h, m.nodes.shape)
    cells = m.cells.copy()
    flip = {"positive": np.zeros(len(cells), bool), "negative": np.ones(len(cells), bool),
            "mixed": rng.random(len(cells)) < 0.5}[orientation]
    cells[flip] = cells[flip][:, MIRROR_P1]
    if shuffle:
        perm = rng.permutation(len(nodes))
        nodes = nodes[np.argsort(perm)]
        cells = perm[cells]
    return np.ascontiguousarray(nodes), np.ascontiguousarray(cells, dtype=np.int32)


def p2_tets(rng, nodes, cells, bend=0.05):
    """Curved quadratic elements on the tetrahedra: midpoint nodes moved off
    the straight edges. Returns nodes2 and cells2 (E, 10) in the local order
    of the vertices given (mirrored elements stay mirrored)."""
    edges, glob_ids = edge_numbering(cells)
    mids = 0.5 * (nodes[edges[:, 0]] + nodes[edges[:, 1]])
    mids = mids + rng.uniform(-bend, bend, mids.shape)
    nodes2 = np.vstack([nodes, mids])
    cells2 = np.hstack([cells, len(nodes) + glob_ids]).astype(np.int32)
    return nodes2, cells2


def edge_numbering(cells):
    """Unique edges (lower node first) and the global edge id of every local
    edge of every element, for cells in any local vertex order."""
    a = cells[:, elements.LOCAL_EDGES[:, 0]]
    b = cells[:, elements.LOCAL_EDGES[:, 1]]
    pairs = np.stack([np.minimum(a, b), np.maximum(a, b)], axis=-1).reshape(-1, 2)
    edges, inv = np.unique(pairs, axis=0, return_inverse=True)
    return edges.astype(np.int32), inv.reshape(cells.shape[0], 6).astype(np.int32)


def unit_elements(count, spacing=10.0):
    """`count` disjoint copies of the reference tetrahedron, shifted along x
    by whole numbers so that every Jacobian is exactly the identity."""
    ref = np.array([[0.0, 0, 0], [1, 0, 0], [0, 1, 0], [0, 0, 1]])
    shift = np.zeros((count, 1, 3))
    shift[:, 0, 0] = spacing * np.arange(count)
    nodes = (ref[None] + shift).reshape(-1, 3)
    cells = np.arange(4 * count, dtype=np.int32).reshape(count, 4)
    return nodes, cells


# --------------------------------------------------------- reference tables

def rule(name, rng=None):
    """(q, w): "centroid" (1 point), "sym4" (4 equal weights), "stroud5"
    (8 points, unequal weights, exact to degree 3) or "random5" (5 random
    points and weights: a length that is no multiple of 4)."""
    if name == "centroid":
        return quadrature.tetrahedron(1)
    if name == "sym4":
        return quadrature.tetrahedron(2)
    if name == "stroud5":
        return quadrature.stroud(3)
    b = rng.dirichlet(np.ones(4), 5)
    return np.ascontiguousarray(b[:, 1:]), rng.uniform(0.01, 0.1, 5)


# ---------------------------------------------------------------- materials

class Permeability:
    """Permeability object of any type with a B-spline (t, c, k) over log10 H.

    `types` is the answer of get_type_spec(), or a list of answers for its
    successive calls (the last one repeats); the calls are counted. `info`
    replaces the result of get_spline_information()."""

    def __init__(self, types=1, t=(0.0,), c=(0.0,), k=1, H_min=0.0, mu_H_min=1.0,
                 mu0=1.0, info=None):
        self.types = list(types) if isinstance(types, (list, tuple)) else [types]
        self.t, self.c, self.k = np.asarray(t, float), np.asarray(c, float), k
        self.H_min, self.mu_H_min, self.mu0, self.info = H_min, mu_H_min, mu0, info
        self.type_calls = 0
        self.mu_args = []

    def get_type_spec(self):
        self.type_calls += 1
        return self.types[min(self.type_calls, len(self.types)) - 1]

    def evaluate_mu(self, H):
        self.mu_args.append(H)
        return self.mu0

    def get_spline_information(self):
        if self.info is not None:
            return self.info
        return self.t, self.c, self.k, self.H_min, self.mu_H_min

    def curve(self):
        """The material as reference.scalar_potential takes it."""
        kind = self.types[0]
        if kind == 0:
            return (0, 1, np.zeros(1), np.zeros(1), 0.0, self.mu0)
        if kind == 1:
            return (1, self.k, self.t, self.c, self.H_min, self.mu_H_min)
        return (kind, 1, np.zeros(1), np.zeros(1), 0.0, (4 * np.pi) * 1e-7)


def random_bspline(rng, k, s_lo, s_hi, clamped=False):
    """Knots over [s_lo, s_hi] with two interior knots doubled (and, with
    clamped, both ends repeated k + 1 times), coefficients of mixed sign."""
    ends = k + 1 if clamped else 1
    num_coeffs = k + 8
    inner = np.sort(rng.uniform(s_lo, s_hi, num_coeffs + k + 1 - 2 * ends - 2))
    doubled = rng.choice(inner[1:-1], 2, replace=False)
    t = np.concatenate([np.full(ends, float(s_lo)), np.sort(np.r_[inner, doubled]),
                        np.full(ends, float(s_hi))])
    return t, rng.uniform(-1.0, 3.0, num_coeffs)


class Reluctance:
    """Reluctance object of any type; counts get_type_spec() calls; `info`
    replaces the result of get_spline_information()."""

    def __init__(self, type_spec=1, c=None, x=None, value=0.0, info=None):
        self.type_spec, self.c, self.x, self.value, self.info = type_spec, c, x, value, info
        self.type_calls = 0

    def get_type_spec(self):
        self.type_calls += 1
        return self.type_spec

    def get_spline_information(self):
        if self.info is not None:
            return self.info
        return self.c, self.x

    def curve(self):
        """The material as the reference's curl-curl functions take it."""
        if self.type_spec == 1:
            return (self.c, self.x)
        return (np.array([self.value if self.type_spec == 0 else 0.0]), np.zeros(0))


def random_cubic(rng, pieces, x_lo, x_hi):
    """Random piecewise cubic in PPoly layout, breakpoints ascending over
    [x_lo, x_hi], values around 1e5..1e6 (a reluctance in m/H)."""
    x = np.sort(rng.uniform(x_lo, x_hi, pieces + 1))
    c = rng.uniform(-1.0, 1.0, (4, pieces)) * 1e5
    c[3] = np.abs(c[3]) * 10.0 + 1e5
    return c, x


# ----------------------------------------------------------------- triplets

class CsrRecorder:
    """Stands in for the module global csr_array: keeps a copy of each
    (values, rows, columns, shape) in the order appended, then builds the
    matrix as SciPy would."""

    def __init__(self):
        self.calls = []

    def __call__(self, arg, shape):
        vals, (i, j) = arg
        self.calls.append((vals.copy(), i.copy(), j.copy(), shape))
        return scipy.sparse.csr_array(arg, shape=shape)


def record_triplets(monkeypatch, call):
    """call()'s result and the triplets of every csr_array it built."""
    rec = CsrRecorder()
    with monkeypatch.context() as mp:
        mp.setattr(fluxkern_mod, "csr_array", rec)
        out = call()
    return out, rec.calls


def csr_of(i, j, v, n):
    return scipy.sparse.csr_array((v, (i, j)), shape=(n, n))


# --------------------------------------------------------------- rejections

class Claims:
    """An array-like whose len() and shape claim `n` rows while it holds `data`."""

    def __init__(self, n, data):
        self._data = np.asarray(data)
        self.shape = (n,) + self._data.shape[1:]
        self._n = n

    def __len__(self):
        return self._n

    def flatten(self):
        return self._data.ravel()


def run_rejections(module, table):
    """Tries every call of `module`.`table` (name -> (call, exception, text))
    in a child interpreter, then one valid call `module`.VALID_CALL.

    A missing check makes a kernel read or write out of bounds, which may
    kill the process; the child reports each case before it runs it, so a
    crash is pinned to its case. Returns {name: (exception name, message)},
    with "died" for a case the child did not survive, and "alive" set."""
    code = textwrap.dedent(f"""
        import json, sys, warnings
        warnings.simplefilter("ignore")
        sys.path.insert(0, {HERE!r})
        import {module} as m
        for name, (call, _, _) in m.{table}.items():
            print("RUN", name, flush=True)
            try:
                call()
                outcome = ["no exception", ""]
            except BaseException as e:
                outcome = [type(e).__name__, str(e)]
            print("OUT", json.dumps([name, outcome]), flush=True)
        m.VALID_CALL()
        print("ALIVE", flush=True)
    """)
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          timeout=300, cwd=HERE)
    results, running = {}, None
    for line in proc.stdout.splitlines():
        if line.startswith("RUN "):
            running = line[4:]
        elif line.startswith("OUT "):
            name, outcome = json.loads(line[4:])
            results[name] = tuple(outcome)
            running = None
    if running is not None:
        results[running] = ("died", proc.stderr[-2000:])
    results["alive"] = "ALIVE" in proc.stdout and proc.returncode == 0
    results["stderr"] = proc.stderr[-2000:]
    return results


def check_rejection(results, name, exception, text):
    """The case raised `exception` with a message matching `text`, and the
    child went on to a valid call."""
    got = results.get(name, ("not run", results["stderr"]))
    assert got[0] == exception.__name__, f"{name}: expected {exception.__name__}, got {got}"
    assert re.search(text, got[1]), f"{name}: {got[1]!r} does not match {text!r}"
    assert results["alive"], results["stderr"]
