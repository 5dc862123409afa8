"""The adaptive Gauss-Kronrod engine of tavlomer_physics: its generated rules
and how it reports an accuracy it could not reach."""

import math
import re
from fractions import Fraction
from pathlib import Path

import generators
import pytest
import tavlomer_testing as kt

ROOT = Path(__file__).resolve().parent.parent
RULES_HEADER = ROOT / "src" / "quadrature" / "gauss_kronrod_rules.hpp"


def stored_rules():
    """{points: (x, w, gauss_w)} of the committed header."""
    rules = {}
    for points, body in re.findall(r"Rule<\d+> kronrod(\d+) = \{(.*?)\n\};", RULES_HEADER.read_text(), re.S):
        rows = re.findall(r"\{([^{}]*)\}", body)
        rules[int(points)] = tuple([float(v) for v in row.split(",")] for row in rows)
    return rules


def test_generator_reproduces_the_committed_rules():
    assert generators.reproduces("generate_gauss_kronrod", RULES_HEADER)


# The Kronrod degree is 3n + 1 (n even) or 3n + 2 (n odd); for n = 1 the rule
# is the 3-point Gauss one, of degree 5.
@pytest.mark.parametrize("points, kronrod_degree", [(21, 31), (15, 23), (7, 11), (5, 7), (3, 5)])
def test_rules_integrate_polynomials_to_their_degree(points, kronrod_degree):
    # Summed in exact rational arithmetic, so only the rounding of each stored
    # node and weight shows: a few units in the last place.
    x, w, gauss_w = stored_rules()[points]
    pairs = len(x) - 1
    gauss = [j for j in range(pairs) if j % 2 == 1]
    for degree in range(0, kronrod_degree + 1, 2):
        exact = Fraction(2, degree + 1)
        kronrod = Fraction(w[-1]) * (degree == 0) + sum(
            2 * Fraction(w[j]) * Fraction(x[j]) ** degree for j in range(pairs))
        assert abs(float(kronrod - exact)) < 1e-15, degree
        if degree < pairs + 1:  # the Gauss rule: degree 2n - 1
            g = Fraction(gauss_w[-1]) * (degree == 0) + sum(
                2 * Fraction(gauss_w[i]) * Fraction(x[j]) ** degree for i, j in enumerate(gauss))
            assert abs(float(g - exact)) < 1e-15, degree


# The small rules' Gauss results are poor (the midpoint rule's for 3 points):
# QUADPACK's model asks more panels of them than the engine holds at 1e-12.
@pytest.mark.parametrize("points, tol", [(21, 1e-12), (15, 1e-12), (7, 1e-12), (5, 1e-9), (3, 1e-5)])
def test_met_accuracy_is_reported_with_an_honest_estimate(points, tol):
    value, error, worst = kt.gauss_kronrod(math.exp, tol, points)
    assert worst <= 1.0
    assert abs(value - (math.e - 1)) <= max(error, 4e-16)
    assert error <= tol * value


@pytest.mark.parametrize("points", [21, 15, 7, 5, 3])
def test_an_unreachable_accuracy_is_reported_not_hidden(points):
    # 1/sqrt(w) at the end of the piece: bisection gains little per panel, and
    # the panels run out long before 1e-14.
    value, error, worst = kt.gauss_kronrod(lambda w: 1.0 / math.sqrt(w), 1e-14, points)
    assert worst > 1.0
    assert error > 1e-14 * value
    assert abs(value - 2.0) > 1e-14 * value
    # A NaN integrand reaches no accuracy at all.
    assert math.isnan(kt.gauss_kronrod(lambda w: math.nan, 1e-9, points)[2])

