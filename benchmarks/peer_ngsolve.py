"""The solver benchmark's problems solved by NGSolve, for a row-by-row comparison.

The same steel cube in an air box as ``bench_solvers.py``: the mesh is built from the
very node, cell, region and boundary-face arrays of ``bench_solvers.cube_mesh``, the B-H
curve is the one our solvers use (the permeability B-spline over log10 H and the
piecewise-cubic reluctance, written as NGSolve B-splines and checked against our
evaluations), and the weak forms, boundary conditions, initial iterate, stopping test,
forcing terms and line search are ours (``fluxkern_tools/solvers/newton.py``). The
quadrature rules are ours too (one point for P1 and lowest-order edges, where the
integrand is constant per element; the 14-point rule for second-order edges).

NGSolve is used the way that was fastest on these problems: CG preconditioned by a
symmetric Gauss-Seidel sweep, the air part of the matrix assembled once, and at each
Newton step only the steel re-linearised. The steel forms live on a copy of the space
``definedon`` the steel: NGSolve's assembly then skips the air elements at once (with
``dx(definedon=...)`` alone it still visits every element, which made a step 20x
dearer on the scalar cube). The air form carries a zero steel term (assembled once) so
that its pattern is the whole one; each step copies its values into the Jacobian and
adds the steel's at positions mapped once through the injection between the spaces. The
residual is the air matrix times the iterate plus the steel's nonlinear term. CG stops
on the Euclidean residual |J dx - r| <= eta |r| like ours, not on NGSolve's default
preconditioned norm, so the forcing terms mean the same on both sides.

    python benchmarks/peer_ngsolve.py vector 21 1 1    # formulation n degree threads

prints the result dict as JSON; ``run_case`` is what ``bench_solvers.py --peer`` runs in
a child process of its own (so the peak memory is NGSolve's alone).
"""

from __future__ import annotations

import json
import math
import os
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from bench_solvers import B0, cube_arrays, peak_bytes   # noqa: E402

from fluxkern_tools.solvers.newton import forcing_term   # noqa: E402  (our rule)

# Newton settings of the drivers (ScalarPotential.solve, ReducedVectorPotential.solve,
# solvers.newton).
RTOL = {"scalar": 1e-10, "vector": 1e-8}
MAX_ITER = 30
MAX_HALVINGS = 8
CG_MAX_ITER = 20000


def available() -> str | None:
    """None when NGSolve can be imported, else the reason it cannot (a message)."""
    try:
        import ngsolve  # noqa: F401
        import netgen.meshing  # noqa: F401
    except Exception as exc:                 # ImportError, or a broken shared library
        return f"NGSolve is not importable ({type(exc).__name__}: {exc})"
    return None


def ngsolve_mesh(mesh):
    """An NGSolve mesh of the same nodes, tetrahedra and boundary as ``mesh``.

    Materials "air" (region 0) and "steel" (region 1); the boundary faces form one
    boundary named "outer". Nodes keep their numbers (vertex i is ``mesh.nodes[i]``),
    so P1 unknowns are our nodal values. Raises ValueError for regions other than 0, 1.
    """
    import netgen.meshing as nm
    import ngsolve

    regions = np.asarray(mesh.regions)
    if not np.all((regions == 0) | (regions == 1)):
        raise ValueError("the peer run knows regions 0 (air) and 1 (steel) only")
    ng = nm.Mesh(dim=3)
    ng.AddPoints(np.ascontiguousarray(mesh.nodes, dtype=np.float64))
    for idx, (reg, name) in enumerate(((0, "air"), (1, "steel")), start=1):
        cells = np.ascontiguousarray(mesh.cells[regions == reg], dtype=np.int32)
        ng.AddElements(dim=3, index=idx, data=cells, base=0)
        ng.SetMaterial(idx, name)
    ng.Add(nm.FaceDescriptor(surfnr=1, domin=1, domout=0, bc=1))
    ng.AddElements(dim=2, index=1,
                   data=np.ascontiguousarray(mesh.boundary_faces, dtype=np.int32), base=0)
    ng.SetBCName(0, "outer")
    return ngsolve.Mesh(ng)


# -- the B-H curve as coefficient functions ----------------------------------------------

def permeability_spline(perm):
    """``(spline, H_min, mu_H_min)``: our ``SplinePermeability`` ``perm`` as an NGSolve
    B-spline over s = log10(H / (A/m)) (mu in H/m), with its cut-off H_min (A/m) and
    the constant below it. Our curve sums every basis function of the knot vector;
    padding the knots with k end copies and zero coefficients gives NGSolve the same
    sum. Raises AssertionError if the two differ by more than 1e-13 (relative) on
    [H_min, last knot)."""
    import ngsolve

    t, c, k, H_min, mu_min = perm.get_spline_information()
    tp = np.concatenate([np.full(k, t[0]), t, np.full(k, t[-1])])
    cp = np.concatenate([np.zeros(k), c, np.zeros(k)])
    spl = ngsolve.BSpline(k + 1, tp.tolist(), cp.tolist())
    s = np.linspace(np.log10(H_min), t[-1], 4001)[:-1]
    ours = np.asarray(perm.evaluate_mu(10.0 ** s))
    peer = np.array([spl(v) for v in s])
    err = np.max(np.abs(peer - ours) / np.abs(ours))
    assert err < 1e-13, f"permeability B-spline differs from ours by {err:.1e}"
    return spl, H_min, mu_min


def reluctance_spline(rel):
    """Our ``CubicReluctance`` ``rel`` (a C1 piecewise cubic nu(|B|), PPoly layout) as
    an NGSolve cubic B-spline over |B| in T (nu in m/H): breakpoints as double interior
    knots, coefficients fitted by least squares to four samples per piece, which a C1
    cubic meets exactly. Valid on [0, last breakpoint] (40 T for the library steels;
    beyond it ours continues the last piece). Raises AssertionError if the spline
    differs from ours by more than 1e-12 (relative to max nu)."""
    import ngsolve
    from scipy.interpolate import make_lsq_spline

    c, x = rel.get_spline_information()
    knots = np.concatenate([np.full(4, x[0]), np.repeat(x[1:-1], 2), np.full(4, x[-1])])
    f = np.array([0.1, 0.35, 0.65, 0.9])
    b = (x[:-1, None] + f * np.diff(x)[:, None]).ravel()
    b = np.concatenate([[x[0]], b, [x[-1]]])
    fit = make_lsq_spline(b, np.asarray(rel.evaluate_nu(b)), knots, k=3)
    spl = ngsolve.BSpline(4, knots.tolist(), fit.c.tolist())
    probe = np.concatenate([np.linspace(a, z, 9)[:-1] for a, z in zip(x[:-1], x[1:])])
    ours = np.asarray(rel.evaluate_nu(probe))
    peer = np.array([spl(v) for v in probe])
    err = np.max(np.abs(peer - ours)) / np.max(np.abs(ours))
    assert err < 1e-12, f"reluctance B-spline differs from ours by {err:.1e}"
    return spl


# -- linear algebra -------------------------------------------------------------------------

def _symmetric_gs(mat, freedofs):
    """One forward and one backward Gauss-Seidel sweep on the free unknowns from a zero
    start, as an NGSolve operator (fixed entries of the result stay 0)."""
    import ngsolve

    smoother = mat.CreateSmoother(freedofs)

    class SymmetricGS(ngsolve.BaseMatrix):
        def __init__(self):
            super().__init__()

        def IsComplex(self):
            return False

        def Height(self):
            return mat.height

        def Width(self):
            return mat.width

        def CreateColVector(self):
            return mat.CreateColVector()

        def CreateRowVector(self):
            return mat.CreateRowVector()

        def Mult(self, x, y):
            y[:] = 0.0
            smoother.Smooth(y, x)
            smoother.SmoothBack(y, x)

    return SymmetricGS()


def _cg(mat, pre, proj, b, rtol):
    """CG for mat x = b on the free unknowns (``proj`` zeroes the others) from x = 0,
    stopped at |b - mat x| <= rtol |b| (Euclidean). Returns ``(x, iterations,
    reached)``."""
    x = b.CreateVector()
    x[:] = 0.0
    d, w, s = b.CreateVector(), b.CreateVector(), b.CreateVector()
    d.data = b
    nb = d.Norm()
    if nb == 0:
        return x, 0, True
    w.data = pre * d
    s.data = w
    wd = w.InnerProduct(d)
    for it in range(1, CG_MAX_ITER + 1):
        w.data = mat * s
        proj.Project(w)
        ws = s.InnerProduct(w)
        if ws <= 0 or wd <= 0:
            return x, it, d.Norm() <= rtol * nb
        alpha = wd / ws
        x.data += alpha * s
        d.data -= alpha * w
        if d.Norm() <= rtol * nb:
            return x, it, True
        w.data = pre * d
        wdn = w.InnerProduct(d)
        s.data *= wdn / wd
        s.data += w
        wd = wdn
    return x, CG_MAX_ITER, False


def _embedding(sub, whole):
    """For every unknown of the space ``sub`` (defined on the steel only) the unknown
    of ``whole`` with the same basis function, -1 for those no steel element uses.
    Read from NGSolve's conversion operator between the two spaces, which must be a
    plain injection. Raises RuntimeError if it is not."""
    import ngsolve
    import scipy.sparse as sp

    E = ngsolve.ConvertOperator(sub, whole)
    vals, cols, ptr = E.CSR()
    E = sp.csr_matrix((np.array(vals), np.array(cols), np.array(ptr)),
                      shape=(E.height, E.width)).tocoo()
    big = np.abs(E.data) > 1e-9
    if np.any(np.abs(E.data[big] - 1.0) > 1e-9):
        raise RuntimeError("the steel space's functions are not those of the whole")
    out = np.full(E.shape[1], -1, dtype=np.int64)
    out[E.col[big]] = E.row[big]
    if np.count_nonzero(out >= 0) != np.count_nonzero(big):
        raise RuntimeError("a steel unknown maps to more than one unknown of the whole")
    return out


def _pattern_map(A, S, to_global):
    """Positions of the nonzeros of sparse matrix ``S`` (in the numbering that
    ``to_global`` maps to A's) among those of ``A`` (NGSolve CSR matrices; A's pattern
    must contain S's). Raises RuntimeError if it does not."""
    def keys(M, rename):
        vals, cols, ptr = M.CSR()
        cols, ptr = np.asarray(cols, dtype=np.int64), np.asarray(ptr, dtype=np.int64)
        rows = np.repeat(np.arange(len(ptr) - 1, dtype=np.int64), np.diff(ptr))
        if rename is not None:
            rows, cols = rename[rows], rename[cols]
            if np.any(rows < 0) or np.any(cols < 0):
                raise RuntimeError("the steel matrix couples unknowns outside the steel")
        return rows * A.width + cols

    ka, ks = keys(A, None), keys(S, to_global)
    if np.any(np.diff(ka) <= 0):
        order = np.argsort(ka)
        pos = order[np.searchsorted(ka, ks, sorter=order)]
    else:
        pos = np.searchsorted(ka, ks)
    pos = np.minimum(pos, len(ka) - 1)
    if not np.array_equal(ka[pos], ks):
        raise RuntimeError("the steel pattern is not part of the air matrix's pattern")
    return pos


# -- the two problems ------------------------------------------------------------------------

class _Problem:
    """Spaces, forms and the assemble step of one formulation (see run_case)."""

    def _forms(self, mesh, fes, sfes, st, rule, D, c_air, c, dc, F):
        """The air's constant form ``c_air D(u) . D(v)`` over the whole space (with the
        steel's entries in its pattern) and the steel's Newton form ``c D(u) . D(v) +
        dc (F . D(u)) (F . D(v))`` on the steel's space (``D``: grad or curl); returns
        the steel's measure."""
        import ngsolve as ng

        u, v = sfes.TnT()
        ua, va = fes.TnT()
        dxs = ng.dx(definedon=st, intrules={ng.TET: rule})
        dxa = ng.dx(definedon=mesh.Materials("air"), intrules={ng.TET: rule})
        self.const = ng.BilinearForm(fes)
        self.const += c_air * D(ua) * D(va) * dxa
        self.const += 0.0 * ua * va * dxs     # the steel's entries in the pattern
        self.jac = ng.BilinearForm(sfes)
        self.jac += (c * D(u) * D(v) + dc * (F * D(u)) * (F * D(v))) * dxs
        return dxs

    def __init__(self, formulation, mesh, degree):
        import ngsolve as ng
        from fluxkern_tools import materials

        self.formulation = formulation
        steel = materials.steel("M270-35A")
        st = mesh.Materials("steel")
        if formulation == "scalar":
            spl, H_min, mu_min = permeability_spline(steel.permeability())
            dspl = spl.Differentiate()             # d mu / d s, s = log10 H
            fes = ng.H1(mesh, order=1, dirichlet="outer")
            sfes = ng.H1(mesh, order=1, dirichlet="outer", definedon=st)
            rule = ng.IntegrationRule([(0.25, 0.25, 0.25)], [1.0 / 6.0])
            v = sfes.TestFunction()
            self.gf = ng.GridFunction(sfes)
            Hk = -ng.grad(self.gf)
            Hn = ng.sqrt(Hk * Hk)
            s = ng.log(Hn) / math.log(10.0)
            above = Hn - H_min
            mu = ng.IfPos(above, spl(s), mu_min)
            # d mu/d|H| / |H| = mu'(s) / (ln 10 |H|^2) above the cut-off, 0 below
            dmu = ng.IfPos(above, dspl(s) / (math.log(10.0) * Hn * Hn), 0.0)
            dxs = self._forms(mesh, fes, sfes, st, rule, ng.grad, materials.MU0, mu, dmu, Hk)
            # steel's K(x) x; the residual is -(K_air x + this)
            self.flux = ng.LinearForm(sfes)
            self.flux += mu * ng.grad(self.gf) * ng.grad(v) * dxs
            self.sign = -1.0
        else:
            spl = reluctance_spline(steel.reluctance())
            dspl = spl.Differentiate()
            if degree == 1:
                kw = dict(order=0, dirichlet="outer")
                rule = ng.IntegrationRule([(0.25, 0.25, 0.25)], [1.0 / 6.0])
            else:
                # First-kind second-order edges without the edge gradient functions:
                # the unknowns our degree 2 solves (it holds those at zero).
                kw = dict(order=2, type1=True, nograds=True, dirichlet="outer")
                from fluxkern_tools.fem import quadrature
                q, w = quadrature.tetrahedron14()
                rule = ng.IntegrationRule([tuple(p) for p in q], list(w))
            fes, sfes = ng.HCurl(mesh, **kw), ng.HCurl(mesh, definedon=st, **kw)
            v = sfes.TestFunction()
            self.gf = ng.GridFunction(sfes)
            Bs = ng.CF((0.0, 0.0, B0))
            Bk = Bs + ng.curl(self.gf)
            Bn = ng.sqrt(Bk * Bk)
            nu = spl(Bn)
            dnu = dspl(Bn) / Bn                   # d nu/d|B| / |B|
            dxs = self._forms(mesh, fes, sfes, st, rule, ng.curl, materials.NU0, nu, dnu, Bk)
            # steel's residual int (nu0 B_s - nu(|B|) B) . curl w; in the air the
            # residual is -K_air x
            self.flux = ng.LinearForm(sfes)
            self.flux += (materials.NU0 * Bs - nu * Bk) * ng.curl(v) * dxs
            self.sign = 1.0
        self.fes, self.mesh, self.steel = fes, mesh, st
        self.to_global = _embedding(sfes, fes)
        self.used = np.flatnonzero(self.to_global >= 0)
        self.at = self.to_global[self.used]
        self.freedofs = fes.FreeDofs()
        self.free = np.flatnonzero(np.array(self.freedofs, dtype=bool))
        self.proj = ng.Projector(self.freedofs, True)
        self.r = ng.GridFunction(fes).vec
        self.Kx = self.r.CreateVector()
        self.Bfield = Bk if formulation == "vector" else None
        self.mu, self.Hk = (mu, Hk) if formulation == "scalar" else (None, None)

    def assemble_constant(self):
        """Assemble the air matrix (on the whole pattern) and map the steel pattern
        into it; the Jacobian is a matrix of the air's pattern."""
        self.const.Assemble()
        self.jac.Assemble()
        A, S = self.const.mat, self.jac.mat
        self.J = A.CreateMatrix()
        self.where = _pattern_map(A, S, self.to_global)

    def assemble(self, x):
        """Residual at ``x`` (NGSolve vector) into ``self.r`` and the Jacobian into
        ``self.J``; returns the residual's free-part norm and the load scale."""
        self.gf.vec.FV().NumPy()[self.used] = x.FV().NumPy()[self.at]
        self.jac.Assemble()
        self.J.AsVector().data = self.const.mat.AsVector()
        self.J.AsVector().FV().NumPy()[self.where] += self.jac.mat.AsVector().FV().NumPy()
        self.flux.Assemble()
        self.Kx.data = self.const.mat * x
        steel = self.flux.vec.FV().NumPy()[self.used]
        if self.sign < 0:                       # scalar: r = -(K_air x + K_steel(x) x)
            self.Kx.FV().NumPy()[self.at] += steel
            self.r.data = -1.0 * self.Kx
            load = self.Kx.Norm()
        else:                                   # vector: r = -K_air x + steel part
            self.r.data = -1.0 * self.Kx
            self.r.FV().NumPy()[self.at] += steel
            load = 0.0                          # the scale is |r| at x = 0
        rn = float(np.linalg.norm(self.r.FV().NumPy()[self.free]))
        return rn, float(load)

    def mean_B(self):
        import ngsolve as ng

        vol = ng.Integrate(ng.CF(1.0), self.mesh, definedon=self.steel)
        B = self.Bfield if self.Bfield is not None else self.mu * self.Hk
        val = ng.Integrate(B, self.mesh, definedon=self.steel, order=1)
        return [float(b) / vol for b in val]


def _newton(pb, x, clock):
    """The drivers' inexact Newton iteration (solvers.newton) on ``pb`` from ``x``."""
    rtol = RTOL[pb.formulation]
    with clock("assembly"):
        pb.assemble_constant()
        rn, load = pb.assemble(x)
    scale = max(rn, load) or 1.0
    target = rtol * scale
    prev, eta = math.nan, math.nan
    krylov, steps, converged = [], 0, False
    trial = x.CreateVector()
    for it in range(MAX_ITER + 1):
        if not math.isfinite(rn) or rn <= target:
            converged = math.isfinite(rn)
            break
        if it == MAX_ITER:
            break
        eta = forcing_term(rn, prev, eta, 0.1 * target / rn)
        with clock("setup"):
            pre = _symmetric_gs(pb.J, pb.freedofs)
        with clock("solve"):
            pb.proj.Project(pb.r)
            dx, its, _ = _cg(pb.J, pre, pb.proj, pb.r, eta)
        krylov.append(its)
        t, accepted = 1.0, False
        for _ in range(MAX_HALVINGS + 1):
            trial.data = x + t * dx
            with clock("assembly"):
                rtn, _ = pb.assemble(trial)
            if math.isfinite(rtn) and rtn <= (1.0 - 1e-4 * t) * rn:
                accepted = True
                break
            t *= 0.5
        steps += 1
        if not accepted:
            break
        prev, rn = rn, rtn
        x.data = trial
    pb.gf.vec.FV().NumPy()[pb.used] = x.FV().NumPy()[pb.at]
    return steps, krylov, converged


class _Clock:
    def __init__(self):
        self.times = {"assembly": 0.0, "source": 0.0, "setup": 0.0, "solve": 0.0}

    def __call__(self, phase):
        clock = self

        class _Lap:
            def __enter__(self):
                self.t0 = time.perf_counter()

            def __exit__(self, *exc):
                clock.times[phase] += time.perf_counter() - self.t0

        return _Lap()


def run_case(formulation, n, degree=1, threads=1):
    """Solve one benchmark case with NGSolve in this process.

    Parameters
    ----------
    formulation : "scalar" (total scalar potential, P1, phi = -H0 . x on the box) or
        "vector" (reduced vector potential, B0 = (0, 0, 1) T, A x n = 0 on the box,
        ungauged).
    n : cells per axis of ``bench_solvers.cube_mesh``.
    degree : edge-element degree of the vector potential (1 or 2; 1 for scalar).
    threads : NGSolve task-manager threads (the caller should also set
        OMP_NUM_THREADS and OPENBLAS_NUM_THREADS in the environment).

    Returns
    -------
    dict with the keys of ``bench_solvers.run_case`` that apply: tets, unknowns, newton,
    krylov (CG iterations per step), converged, mesh / problem / assembly / source /
    setup / solve seconds, newton_total (s), peak (bytes, VmHWM of this process) and
    meanB (T, volume mean of B over the steel).

    Raises
    ------
    ValueError
        an unknown formulation or degree.
    """
    import ngsolve as ng

    if formulation not in ("scalar", "vector") or degree not in (1, 2) or (
            formulation == "scalar" and degree != 1):
        raise ValueError(f"no peer case for {formulation} degree {degree}")
    from fluxkern_tools import materials, meshes  # noqa: F401  (imports not timed)

    ng.SetNumThreads(int(threads))
    with ng.TaskManager():
        ours = cube_arrays(n)
        t0 = time.perf_counter()
        mesh = ngsolve_mesh(ours)
        t_mesh = time.perf_counter() - t0
        t0 = time.perf_counter()
        pb = _Problem(formulation, mesh, degree)
        x = pb.r.CreateVector()
        if formulation == "scalar":
            h = np.array([0.0, 0.0, B0 / materials.MU0])
            x.FV().NumPy()[:] = -(ours.nodes @ h)   # prescribed potential everywhere
        else:
            x[:] = 0.0
        t_problem = time.perf_counter() - t0
        clock = _Clock()
        steps, krylov, converged = _newton(pb, x, clock)
        meanB = pb.mean_B()
    times = clock.times
    label = formulation + ("" if degree == 1 else "2")
    return {"formulation": label, "n": n, "solver": "ngsolve", "threads": int(threads),
            "tets": int(mesh.ne), "unknowns": int(len(pb.free)), "newton": steps,
            "converged": converged, "krylov": krylov, "mesh": t_mesh,
            "problem": t_problem, **times, "newton_total": sum(times.values()),
            "peak": peak_bytes(), "meanB": meanB}


if __name__ == "__main__":
    form, n, deg, thr = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
    print(json.dumps(run_case(form, n, deg, thr)))
