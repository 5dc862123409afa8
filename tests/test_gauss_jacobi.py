"""The Gauss-Jacobi rules that take the limb-darkened profiles outside the
source: the generated ones and those computed at run time (power2's)."""

import math
import re
from pathlib import Path

import generators
import pytest
import tavlomer_testing as kt
from hypothesis import given, settings, strategies as st

ROOT = Path(__file__).resolve().parent.parent
HEADER = ROOT / "src" / "quadrature" / "gauss_jacobi_rules.hpp"
BETAS = (-0.75, -0.5, -0.25, 0.0)


def stored_rules():
    """[(radii, weights)] per beta, for n = 1 to max_points."""
    jacobi = HEADER.read_text().split("log_rules =")[0]
    rows = re.findall(r"\{\{([^{}]*)\},\s*\{([^{}]*)\}\}", jacobi)
    rules = [([float(v) for v in x.split(",")], [float(v) for v in w.split(",")]) for x, w in rows]
    per_beta = len(rules) // len(BETAS)
    return [rules[i * per_beta:(i + 1) * per_beta] for i in range(len(BETAS))]


def test_generator_reproduces_the_committed_rules():
    # The generator checks each rule against its weight's moments at 60
    # digits before rounding.
    assert generators.reproduces("generate_gauss_jacobi", HEADER)


def test_run_time_rules_agree_with_the_generated_ones():
    for beta, rules in zip(BETAS, stored_rules()):
        for n, (x, w) in enumerate(rules, 1):
            got_x, got_w = kt.gauss_jacobi(n, beta)
            assert got_x == pytest.approx(x[:n], rel=4e-15, abs=0), (beta, n)
            assert got_w == pytest.approx(w[:n], rel=1e-13, abs=1e-16), (beta, n)


@settings(max_examples=60, deadline=None)
@given(n=st.integers(1, 12), beta=st.floats(-0.975, 24.0))
def test_run_time_rules_integrate_their_moments(n, beta):
    # sum_j w_j t_j^m = B(m + 2, beta + 1) for m < 2n: exact for polynomials
    # of degree 2n - 1.
    x, w = kt.gauss_jacobi(n, beta)
    assert all(0 < a < b < 1 for a, b in zip(x, x[1:])) and all(v > 0 for v in w)
    for m in range(2 * n):
        exact = math.exp(math.lgamma(m + 2) + math.lgamma(beta + 1) - math.lgamma(m + beta + 3))
        got = math.fsum(v * (r * r) ** m for r, v in zip(x, w))
        assert got == pytest.approx(exact, rel=1e-12), (m, got, exact)
    assert kt.gauss_jacobi(n, -1.0) is None and kt.gauss_jacobi(13, 0.0) is None
