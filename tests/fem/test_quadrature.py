"""Quadrature rules on the reference tetrahedron: exactness, positivity, interior points."""

from math import factorial

import numpy as np
import pytest

from fluxkern_tools import quadrature


def _monomials(degree):
    return [(a, b, c) for a in range(degree + 1) for b in range(degree + 1 - a)
            for c in range(degree + 1 - a - b)]


def _exact(a, b, c):
    # Integral of x^a y^b z^c over the reference tetrahedron.
    return factorial(a) * factorial(b) * factorial(c) / factorial(a + b + c + 3)


@pytest.mark.parametrize("degree", list(range(0, 11)) + [14, "14 points"])
def test_rule_is_exact_to_its_degree_with_positive_weights_and_interior_points(degree):
    if degree == "14 points":
        (p, w), degree = quadrature.tetrahedron14(), 5
    else:
        p, w = quadrature.tetrahedron(degree)
    assert p.shape == (len(w), 3) and p.dtype == np.float64 and p.flags.c_contiguous
    assert np.all(w > 0) and np.all(np.column_stack([1 - p.sum(axis=1), p]) > 0)
    for a, b, c in _monomials(degree):
        approx = np.sum(w * p[:, 0] ** a * p[:, 1] ** b * p[:, 2] ** c)
        assert approx == pytest.approx(_exact(a, b, c), rel=1e-12, abs=1e-15), (a, b, c)


def test_rules_are_fresh_arrays():
    p, w = quadrature.stroud(4)
    p[:] = w[:] = 0.0
    assert np.sum(quadrature.stroud(4)[1]) == pytest.approx(1 / 6)


@pytest.mark.parametrize("bad", [-1, 1.5, 41])
def test_invalid_degree_is_rejected(bad):
    with pytest.raises(ValueError):
        quadrature.tetrahedron(bad)


@pytest.mark.parametrize("n", [1, 2, 5])
def test_gauss_legendre_on_unit_interval(n):
    s, w = quadrature.gauss_legendre_01(n)
    for k in range(2 * n):
        assert np.sum(w * s ** k) == pytest.approx(1 / (k + 1), rel=1e-13)
