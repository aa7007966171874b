"""Cost of one Newton system (Jacobian free block, K x, right-hand side) on the steel cube.

RegionSum keeps the free block's pattern fixed and writes only the nonlinear regions'
entries into it; the reference here is the previous way, which summed the constant
part's free block and the nonlinear regions' matrices as whole sparse matrices every
step. Both run in the same process on the same problem, interleaved and repeated (min
of the repeats): the first call (constant regions assembled, pattern built) and a later
step, with the bytes each keeps between steps and the largest relative differences
of their Jacobians, K x and right-hand sides.

    python benchmarks/bench_newton_step.py                 # edges, 32 and 48 cells/axis
    python benchmarks/bench_newton_step.py --formulation scalar --sizes 64 101
    python benchmarks/bench_newton_step.py --degree 2 --sizes 13 20
"""

import argparse
import os
import sys
import time

import numpy as np
import scipy.sparse as sp

sys.path.insert(0, os.path.dirname(__file__))
from bench_solvers import B0, cube_mesh  # noqa: E402


def _add(a, b):
    return b if a is None else (a if b is None else a + b)


class WholeMatrixSum:
    """The reference: constant part kept as a matrix and as its free block, the
    nonlinear regions' matrices summed onto the block every step."""

    def __init__(self, n, call, constant, varying):
        self.n, self.call, self.constant, self.varying = n, call, constant, varying
        self.fixed = self.block = None

    def system(self, x, scale, free):
        if self.fixed is None:
            K, rhs, zero = None, np.zeros(self.n), np.zeros(self.n)
            for r in self.constant:
                Kr, _, rr = self.call(r, zero, 1.0)
                K = _add(K, Kr)
                if rr is not None:
                    rhs += rr
            self.fixed = (sp.csr_array(K), rhs)
            pos = np.full(self.n, -1, dtype=np.int64)
            pos[free] = np.arange(len(free))
            self.block = (pos, sp.csr_array(self.fixed[0][free][:, free]))
        Kc, rc = self.fixed
        pos, J = self.block
        rhs, Kx, parts = scale * rc, Kc @ x, []
        for r in self.varying:
            Kr, dKr, rr = self.call(r, x, scale)
            Kx += Kr @ x
            parts += [Kr, dKr]
            if rr is not None:
                rhs += rr
        coo = [sp.coo_array(M) for M in parts]
        rr_ = pos[np.concatenate([C.row for C in coo])]
        cc = pos[np.concatenate([C.col for C in coo])]
        keep = (rr_ >= 0) & (cc >= 0)
        v = np.concatenate([C.data for C in coo])
        J = J + sp.csr_array((v[keep], (rr_[keep], cc[keep])), shape=J.shape)
        return J, Kx, rhs

    def bytes(self):
        return sum(_nbytes(M) for M in (self.fixed[0], self.block[1])) + self.block[0].nbytes


def _nbytes(M):
    return M.data.nbytes + M.indices.nbytes + M.indptr.nbytes if M is not None else 0


def fixed_pattern_bytes(rs):
    b = rs._block
    return (b.data.nbytes + b.indices.nbytes + b.indptr.nbytes + _nbytes(b.rest)
            + b.pos.nbytes + b.keys.nbytes + b.where.nbytes
            + (b.out.nbytes if b.out is not None else 0))


def problem(formulation, n, degree):
    from fluxkern_tools import materials, solvers

    mesh = cube_mesh(n)
    mats = {0: materials.vacuum(), 1: materials.steel("M270-35A")}
    if formulation == "vector":
        pb = solvers.ReducedVectorPotential(mesh, mats, [0.0, 0.0, B0], degree=degree)
        free, amp = pb.unfixed, 2e-3 / n
    else:
        pb = solvers.ScalarPotential(mesh, mats, [0.0, 0.0, B0 / materials.MU0])
        free, amp = pb.free, 2e4 / n
    x = np.random.default_rng(0).normal(scale=amp, size=pb.num_dofs)
    return mesh, pb, free, x


def run(formulation, n, degree, repeats):
    from fluxkern_tools.solvers.assembly import RegionSum

    mesh, pb, free, x = problem(formulation, n, degree)
    s = pb._sum
    pb.times = getattr(pb, "times", {})
    if formulation == "vector":
        pb._source_parts()                    # the source field is not part of either
    first = {"new": np.inf, "old": np.inf}
    step = {"new": np.inf, "old": np.inf}
    kept = {}
    out = {}
    for _ in range(repeats):
        for name in ("old", "new"):
            obj = (WholeMatrixSum(s.n, s.call, s.constant, s.varying) if name == "old"
                   else RegionSum(s.n, s.call, s.constant + s.varying, s.constant, s.dofs))
            t0 = time.perf_counter()
            obj.system(np.zeros(s.n), 1.0, free)
            first[name] = min(first[name], time.perf_counter() - t0)
            t0 = time.perf_counter()
            J, Kx, rhs = obj.system(x, 1.0, free)
            step[name] = min(step[name], time.perf_counter() - t0)
            kept[name] = obj.bytes() if name == "old" else fixed_pattern_bytes(obj)
            out[name] = (J.copy(), Kx, rhs)
            del obj, J
    (J0, K0, r0), (J1, K1, r1) = out["old"], out["new"]
    dJ = abs(J1 - J0).max() / abs(J0).max()
    dK = max(np.abs(K1 - K0).max() / np.abs(K0).max(),
             np.abs(r1 - r0).max() / max(np.abs(r0).max(), 1e-300))
    steel = int(np.count_nonzero(mesh.regions == 1))
    print(f"{formulation + ('' if degree == 1 else '2'):<8}{n:>4}{len(free):>10}{steel:>8}"
          f"{first['old']:>9.2f}{first['new']:>9.2f}{step['old']:>9.3f}{step['new']:>9.3f}"
          f"{step['old'] / step['new']:>7.1f}x{kept['old'] / 2**20:>9.0f}"
          f"{kept['new'] / 2**20:>9.0f}{J0.nnz:>11}{J1.nnz:>11}{dJ:>9.1e}{dK:>9.1e}",
          flush=True)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--formulation", choices=["vector", "scalar"], default="vector")
    ap.add_argument("--degree", type=int, choices=[1, 2], default=1)
    ap.add_argument("--sizes", type=int, nargs="+", default=None)
    ap.add_argument("--repeats", type=int, default=3)
    args = ap.parse_args()
    sizes = args.sizes or ([32, 48] if args.formulation == "vector" else [64, 80])
    print(f"one Newton system, reference (old: whole-matrix sums) against the fixed "
          f"pattern (new); {os.cpu_count()} cores; min of {args.repeats} interleaved "
          "repeats; times in s, kept memory in MiB")
    print(f"{'form.':<8}{'n':>4}{'free':>10}{'steel':>8}{'1st old':>9}{'1st new':>9}"
          f"{'step old':>9}{'step new':>9}{'ratio':>8}{'MiB old':>9}{'MiB new':>9}"
          f"{'nnz old':>11}{'nnz new':>11}{'dJ':>9}{'dKx,rhs':>9}")
    for n in sizes:
        run(args.formulation, n, args.degree, args.repeats)


if __name__ == "__main__":
    main()
