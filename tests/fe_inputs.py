"""Inputs for the entry points: small meshes in any node order and
orientation, reference tables, material objects that the module reads,
random valid calls of all five functions, odd array-likes, a recorder of the
triplets handed to csr_array, and a runner that tries rejected calls in a
child process."""

import json
import os
import re
import resource
import subprocess
import sys
import tempfile
import textwrap
import zlib

import numpy as np
import scipy.sparse

import fluxkern_mod
from fluxkern_tools import elements, meshes, quadrature

HERE = os.path.dirname(os.path.abspath(__file__))

SCALAR = "compute_stiffness_and_jacobi_matrix"
CURL = "compute_stiffness_and_jacobi_matrix_curl_curl"
RHS = "compute_rhs_Hcurl_red_c"
BH = "compute_B_Hcurl"
BS = "compute_B_line_segs_cpp"
# The parameters of each entry point, in order.
PARAMS = {
    SCALAR: ("nodes", "cells", "d_phi", "x", "permeability", "q", "w"),
    CURL: ("nodes", "cells", "glob_ids", "curls", "d_phi", "orientations", "x", "B_s",
           "reluctance", "q", "w", "num_dofs", "num_el_dofs"),
    RHS: ("nodes", "cells", "glob_ids", "curls", "d_phi", "orientations", "B_s", "reluctance",
          "x", "q", "w", "num_dofs", "num_el_dofs"),
    BH: ("nodes", "cells", "glob_ids", "curls", "phi", "d_phi", "orientations", "x", "q", "w",
         "num_dofs", "num_el_dofs"),
    BS: ("src", "tar", "current", "radius"),
}

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
    replaces the result of get_spline_information(); an exception class
    there is raised instead."""

    def __init__(self, types=1, t=(0.0,), c=(0.0,), k=1, H_min=0.0, mu_H_min=1.0,
                 mu0=1.0, info=None):
        self.types = list(types) if isinstance(types, (list, tuple)) else [types]
        self.t, self.c, self.k = np.asarray(t, float), np.asarray(c, float), k
        self.H_min, self.mu_H_min, self.mu0, self.info = H_min, mu_H_min, mu0, info
        self.type_calls = self.mu_calls = 0
        self.last_H = None

    def get_type_spec(self):
        self.type_calls += 1
        return self.types[min(self.type_calls, len(self.types)) - 1]

    def evaluate_mu(self, H):
        self.mu_calls += 1
        self.last_H = H
        return self.mu0

    def get_spline_information(self):
        if isinstance(self.info, type):
            raise self.info("no curve")
        if self.info is not None:
            return self.info
        return self.t, self.c, self.k, self.H_min, self.mu_H_min

    def held(self):
        """The objects it hands to the module (their counts must not change)."""
        return [*self.types, self.mu0, self.t, self.c, self.H_min, self.mu_H_min]

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
    replaces the result of get_spline_information() (an exception class
    there is raised)."""

    def __init__(self, type_spec=1, c=None, x=None, value=0.0, info=None):
        self.type_spec, self.c, self.x, self.value, self.info = type_spec, c, x, value, info
        self.type_calls = 0

    def get_type_spec(self):
        self.type_calls += 1
        return self.type_spec

    def get_spline_information(self):
        if isinstance(self.info, type):
            raise self.info("no curve")
        if self.info is not None:
            return self.info
        return self.c, self.x

    def held(self):
        return [self.type_spec, self.value, self.c, self.x]

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


def spline_permeability(kind=1):
    """A cubic B-spline permeability; the type an object of its own (not a
    cached small int), so that its reference count can be followed."""
    t = [-1.0, -1, -1, -1, 1, 2, 3, 3, 3, 3]
    return Permeability(np.int64(kind), t, np.linspace(1e-3, 5e-3, 6), 3, 1e-3, 2e-3,
                        mu0=float("1.5e-3"))


def cubic_reluctance(kind=1):
    return Reluctance(np.int64(kind), np.arange(12.0).reshape(4, 3) + 1.0,
                      np.array([0.0, 0.5, 1.0, 2.0]), value=float("1.25e4"))


# -------------------------------------------------------------- random calls

def random_calls(seed, E=8, num_nodes=12, M=4, n=6, num_dofs=20, classes=2, segments=(9, 17),
                 permeability=None, reluctance=None):
    """name -> keyword arguments of one valid call of each entry point on
    random data; the tables vary over the points (the kernels' general path)."""
    rng = np.random.default_rng(seed)
    cells = np.concatenate([rng.permutation(num_nodes)[:4] for _ in range(E)]).astype(np.int32)
    fe = dict(nodes=rng.standard_normal((num_nodes, 3)), cells=cells,
              d_phi=rng.standard_normal((M, 4, 3)), q=rng.random((M, 3)),
              w=rng.uniform(0.01, 0.1, M))
    hcurl = dict(fe, glob_ids=rng.integers(0, num_dofs, E * n).astype(np.int32),
                 curls=rng.standard_normal((classes, M, n, 3)),
                 orientations=rng.integers(0, classes, E).astype(np.int32),
                 x=rng.standard_normal(num_dofs), num_dofs=num_dofs, num_el_dofs=n)
    rel = cubic_reluctance() if reluctance is None else reluctance
    B_s = rng.standard_normal((E, M, 3))
    return {
        SCALAR: dict(fe, x=100.0 * rng.standard_normal(num_nodes),
                     permeability=spline_permeability() if permeability is None else permeability),
        CURL: dict(hcurl, B_s=B_s, reluctance=rel),
        RHS: dict(hcurl, B_s=B_s, reluctance=rel),
        BH: dict(hcurl, phi=rng.random((M, 4))),
        BS: dict(src=rng.standard_normal((segments[0], 6)),
                 tar=rng.standard_normal((segments[1], 3)), current=2.0, radius=0.01),
    }


# ----------------------------------------------------------------- triplets

def record_triplets(monkeypatch, call):
    """call()'s result, and a copy of the (values, rows, columns, shape) of
    every csr_array it built through the module global, in order."""
    calls = []

    def recorder(arg, shape):
        vals, (i, j) = arg
        calls.append((vals.copy(), i.copy(), j.copy(), shape))
        return scipy.sparse.csr_array(arg, shape=shape)
    with monkeypatch.context() as mp:
        mp.setattr(fluxkern_mod, "csr_array", recorder)
        return call(), calls


def fingerprint(result):
    """The bits of a result (tuples, csr_arrays, arrays), to compare runs."""
    if isinstance(result, tuple):
        return tuple(fingerprint(r) for r in result)
    if isinstance(result, scipy.sparse.csr_array):
        return (result.shape, result.indptr.tobytes(), result.indices.tobytes(),
                result.data.tobytes())
    if isinstance(result, np.ndarray):
        return (result.shape, result.tobytes())
    return repr(result)


def assert_triplets(calls, matrices, i, j, values, n):
    """The two lists handed to csr_array, and the matrices built from them,
    equal the reference's (rows i, columns j, the values of each matrix) in
    order and in every bit."""
    assert len(calls) == 2
    for (vals, rows, cols, shape), expected, A in zip(calls, values, matrices):
        assert shape == (n, n) and vals.dtype == np.float64
        assert rows.dtype == cols.dtype == np.int32
        assert np.array_equal(rows, i) and np.array_equal(cols, j)
        assert np.array_equal(vals, expected, equal_nan=True)
        ref = scipy.sparse.csr_array((expected, (i, j)), shape=(n, n))
        # Built the same way from the same lists: the same arrays.
        assert A.shape == ref.shape and np.array_equal(A.indptr, ref.indptr)
        assert np.array_equal(A.indices, ref.indices)
        assert np.array_equal(A.data, ref.data, equal_nan=True)


# ---------------------------------------------------------------- odd inputs

class Claims:
    """An array-like whose shape (a tuple, or the number of rows) and len()
    claim what its data need not hold."""

    def __init__(self, shape, data):
        self._data = data
        self.shape = shape if isinstance(shape, tuple) else (shape,) + np.shape(data)[1:]

    def __len__(self):
        return self.shape[0]

    def flatten(self):
        return np.asarray(self._data).flatten()

    def __repr__(self):
        return f"Claims({self.shape!r}, {self._data!r})"


def run_python(code, env=None, timeout=1200, **arrays):   # timeout: a hang guard (s)
    """Runs `code` in a fresh interpreter, with tests/ on the path, `np`
    imported and `arrays` loaded as globals; returns the CompletedProcess,
    whose `out` holds the arrays the code left in its dict `out`.  An env
    value of None removes that variable.

    For everything that writes to the C-level stdout, depends on
    OMP_NUM_THREADS, changes process-wide state or might crash."""
    full_env = dict(os.environ)
    for key, value in (env or {}).items():
        if value is None:
            full_env.pop(key, None)
        else:
            full_env[key] = value
    # The helpers here and the test modules in the folders below (a script may import
    # the module that runs it).
    folders = [HERE] + sorted(e.path for e in os.scandir(HERE)
                              if e.is_dir() and not e.name.startswith(("_", ".")))
    full_env["PYTHONPATH"] = os.pathsep.join(filter(None, folders + [full_env.get("PYTHONPATH")]))
    with tempfile.TemporaryDirectory() as tmp:
        inputs, outputs = os.path.join(tmp, "in.npz"), os.path.join(tmp, "out.npz")
        np.savez(inputs, **arrays)
        script = (f"import numpy as np\nglobals().update(np.load({inputs!r}))\nout = {{}}\n"
                  + textwrap.dedent(code) + f"\nnp.savez({outputs!r}, **out)\n")
        proc = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                              env=full_env, timeout=timeout, cwd=tmp)
        proc.out = {}
        if os.path.exists(outputs):
            with np.load(outputs) as data:
                proc.out = {k: data[k] for k in data.files}
    return proc


def rss_bytes():
    """The process's resident set size."""
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * resource.getpagesize()


def limit_address_space(extra_bytes):
    """Caps the address space at what the process holds plus `extra_bytes`,
    so that a runaway allocation fails at once instead of swapping; returns
    the limits to restore."""
    with open("/proc/self/status") as f:
        vm = next(int(ln.split()[1]) * 1024 for ln in f if ln.startswith("VmSize:"))
    old = resource.getrlimit(resource.RLIMIT_AS)
    soft = vm + extra_bytes if old[1] == resource.RLIM_INFINITY else min(vm + extra_bytes, old[1])
    resource.setrlimit(resource.RLIMIT_AS, (soft, old[1]))
    return old


def run_rejections(module, table):
    """Tries every call of `module`.`table` (name -> (call, exception, text))
    in a child interpreter, then one valid call `module`.VALID_CALL.

    A missing check makes a kernel read or write out of bounds, which may
    kill the process; the child reports each case before it runs it, so a
    crash is pinned to its case. Returns {name: (exception name, message)},
    with "died" for a case the child did not survive, and "alive" set."""
    proc = run_python(f"""
        import json, warnings
        warnings.simplefilter("ignore")
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
    """The case raised `exception` (None: returned) with a message matching
    `text`, and the child went on to a valid call."""
    got = results.get(name, ("not run", results["stderr"]))
    expected = "no exception" if exception is None else exception.__name__
    assert got[0] == expected, f"{name}: expected {expected}, got {got}"
    assert re.search(text, got[1]), f"{name}: {got[1]!r} does not match {text!r}"
    assert results["alive"], results["stderr"]
