"""CG with one symmetric Gauss-Seidel sweep by Eisenstat's trick: the plain method's
iterates and stopping test, at a third of the matrix passes."""

import numpy as np
import pytest
import scipy.sparse as sp
from pyamg.krylov import cg
from pyamg.relaxation.relaxation import gauss_seidel
from scipy.sparse.linalg import LinearOperator

from fluxkern_tools.solvers.gauss_seidel_cg import Triangles, cg_gauss_seidel


def _poisson(n, rng):
    T = sp.diags([-1.0, 2.0, -1.0], [-1, 0, 1], shape=(n, n))
    I = sp.eye(n)
    A = sp.kron(sp.kron(T, I), I) + sp.kron(sp.kron(I, T), I) + sp.kron(sp.kron(I, I), T)
    D = sp.diags(rng.uniform(1.0, 100.0, n ** 3))        # contrast, as steel in air
    return sp.csr_matrix(D @ A @ D)


@pytest.mark.parametrize("rtol", [1e-2, 1e-9])
def test_iterates_and_stop_are_those_of_the_plain_sweep(rtol):
    rng = np.random.default_rng(5)
    A = _poisson(9, rng)
    b = rng.standard_normal(A.shape[0])

    def sweep(r):
        x = np.zeros_like(r)
        gauss_seidel(A, x, r, iterations=1, sweep="symmetric")
        return x

    plain = []
    x_ref, info_ref = cg(A, b, x0=np.zeros_like(b), tol=rtol, maxiter=400,
                         M=LinearOperator(A.shape, matvec=sweep, dtype=float),
                         residuals=plain)
    T = Triangles(A)
    assert T.usable
    res, best = [], []
    x, info = cg_gauss_seidel(T, b, rtol, 400, res, best)
    assert info == info_ref == 0 and len(res) == len(plain)
    assert np.linalg.norm(b - A @ x) < rtol * np.linalg.norm(b)
    np.testing.assert_allclose(x, x_ref, rtol=1e-6, atol=1e-6 * np.abs(x_ref).max())
    assert best[0] == res[-1] and np.array_equal(best[1], x)
    A.data *= 2.0                                  # new values in the same pattern
    assert T.matches(A)
    T.refresh(A)
    x2, _ = cg_gauss_seidel(T, b, rtol, 400, res, best)
    assert np.linalg.norm(b - A @ x2) < rtol * np.linalg.norm(b)


def test_it_declines_or_stops_where_it_does_not_apply():
    rng = np.random.default_rng(1)
    A = _poisson(4, rng).tolil()
    A[3, 3] = 0.0                                   # a zero on the diagonal
    assert not Triangles(A.tocsr()).usable
    B = sp.csr_matrix(np.array([[1.0, 2.0], [2.0, 1.0]]))   # indefinite
    res, best = [], []
    _, info = cg_gauss_seidel(Triangles(B), np.array([1.0, -1.0]), 1e-10, 50, res, best)
    assert info == -1
    _, info = cg_gauss_seidel(Triangles(_poisson(6, rng)), np.ones(216), 1e-14, 3, res, best)
    assert info == 3 and best[1] is not None        # out of iterations: the best iterate
