"""The tanh-sinh quadrature: its stored node table and its stopping rule.

The table is checked against its generator (bit for bit) and against rows
recomputed here independently; the rule against integrals whose value is
known in closed form.  Tolerances for smooth integrands: the nodes stop at
t = 3, 2.15e-14 from each end of [0, 1], so the rule misses about
2 * 2.15e-14 * max|f| of the integral; 1e-13 absolute covers that with room.
"""

import math
import re
from pathlib import Path

import generators
import mpmath
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import tavlomer_testing as kt

ROOT = Path(__file__).resolve().parent.parent
NODES_HEADER = ROOT / "src" / "quadrature" / "double_exponential_nodes.hpp"
TWO_PI = 6.283185307179586
LEVEL_SIZES = [3, 3, 6, 12, 24, 48, 96]


def fixed_profile(x):
    return 1.0 + (1.0 - math.sqrt(1.0 - x * x)) * -0.6


def stored_levels():
    """The (weight, abscissa) rows of the committed header, level by level."""
    levels = re.findall(r"std::array<Node, \d+> NODES_LEVEL_\d\{\{(.*?)\}\};",
                        NODES_HEADER.read_text(), re.S)
    return [[(float(w), float(x)) for w, x in re.findall(r"\{([^,{}]+), ([^,{}]+)\}", body)]
            for body in levels]


def test_generator_reproduces_the_committed_table():
    assert generators.reproduces("generate_de_nodes", NODES_HEADER)


def test_table_shape_and_telling_rows():
    levels = stored_levels()
    assert [len(level) for level in levels] == LEVEL_SIZES
    assert levels[0] == [(0.23002239451478868, 0.9513679640727469),
                         (0.00026620051375271693, 0.9999774771924616),
                         (1.3581784274539091e-12, 0.999999999999957)]
    assert levels[1][0] == (0.4829882897061506, 0.6742714922484359)
    assert levels[6][-1] == (3.411862828005251e-14, 0.9999999999999298)
    abscissae = [x for level in levels for _, x in level]
    assert max(abscissae) == 0.999999999999957 and min(abscissae) > 0.0


def test_every_row_is_the_nearest_double():
    # Recomputed with the sech^2 form of the weight at another precision:
    # a double lies within half an ulp of its exact value, and no closer to
    # any other double.
    with mpmath.workdps(40):
        for k, level in enumerate(stored_levels()):
            h = mpmath.mpf(2) ** -k
            ts = [mpmath.mpf(t) for t in (1, 2, 3)] if k == 0 else \
                [h * j for j in range(1, 3 * 2 ** k, 2)]
            for t, (w, x) in zip(ts, level):
                u = mpmath.pi / 2 * mpmath.sinh(t)
                exact_w = h * mpmath.pi / 2 * mpmath.cosh(t) * mpmath.sech(u) ** 2
                exact_x = mpmath.tanh(u)
                for stored, exact in ((w, exact_w), (x, exact_x)):
                    assert abs(mpmath.mpf(stored) - exact) <= math.ulp(stored) / 2


@pytest.mark.parametrize("integrand, integral, error", [
    # The flux of the fixed limb-darkening profile: the models' stored
    # normalisation 2.5132741228717936 (0.8 pi would be ...18345).
    (lambda x: (x * TWO_PI) * fixed_profile(x), 2.5132741228717936, 9.769962616701378e-15),
    # The constant 1: the truncation at t = 3 shows in the last bits.
    (lambda x: 1.0, 0.9999999999999669, 8.1601392309949e-15),
])
def test_stored_results_after_all_levels(integrand, integral, error):
    estimate, value, evaluations = kt.integrate(integrand, 0.0, 1.0, 1e-16)
    assert value == integral
    assert evaluations == 385
    assert estimate == pytest.approx(error, rel=1e-3)


@pytest.mark.parametrize("integrand, a, b, exact, tolerance", [
    (lambda x: x, 0.0, 1.0, 0.5, 1e-13),
    # Half-width 2: the missed ends are 2 * 4.3e-14 wide, and f is 1 and 21
    # there, so about 1.9e-12 is missed.
    (lambda x: x * x * x - 2.0 * x, -1.0, 3.0, 12.0, 2.5e-12),
    (lambda x: x ** 7, 0.0, 1.0, 0.125, 1e-13),
    (math.exp, 0.0, 1.0, math.e - 1.0, 1e-13),
    (math.cos, 0.0, math.pi / 2, 1.0, 1e-13),
    (lambda x: 1.0 / (1.0 + x * x), 0.0, 1.0, math.pi / 4, 1e-13),
    # Singular at the ends, never evaluated there: the nodes miss
    # \int_0^d log x = d (log d - 1) with d = 2.15e-14, about 7e-13.
    (math.log, 0.0, 1.0, -1.0, 1e-12),
    # ... and \int_0^d x^-1/2 = 2 sqrt(d), about 2.9e-7.
    (lambda x: x ** -0.5, 0.0, 1.0, 2.0, 4e-7),
])
def test_known_integrals(integrand, a, b, exact, tolerance):
    _, value, _ = kt.integrate(integrand, a, b, 1e-16)
    assert abs(value - exact) <= tolerance


def test_evaluation_points_and_order():
    points = []

    def record(x):
        points.append(x)
        return 1.0

    kt.integrate(record, 0.0, 1.0, 1e-16)
    assert len(points) == 385
    first = 0.9513679640727469
    assert points[:3] == [0.5, 0.5 + 0.5 * first, 0.5 - 0.5 * first]
    # Never at the ends: the nearest points are 0.5 -+ 0.5 * 0.999999999999957.
    assert min(points) == 0.5 - 0.5 * 0.999999999999957 and min(points) > 2e-14
    assert max(points) == 0.5 + 0.5 * 0.999999999999957 and max(points) < 1.0


@pytest.mark.parametrize("bad", [math.nan, math.inf, -math.inf])
def test_non_finite_values_count_as_zero(bad):
    def spiky(x):
        return bad if x > 0.7 else math.sin(x)

    def clipped(x):
        return 0.0 if x > 0.7 else math.sin(x)

    assert kt.integrate(spiky, 0.0, 1.0, 1e-16) == kt.integrate(clipped, 0.0, 1.0, 1e-16)


@pytest.mark.parametrize("integrand", [lambda x: 0.0, lambda x: math.nan])
def test_exact_zero_difference_stops_after_level_two(integrand):
    assert kt.integrate(integrand, 0.0, 1.0, 1e-16) == (0.0, 0.0, 25)


def test_early_stop_on_a_loose_target_and_not_reversed():
    # Forward, the squared difference falls below target/4 after level 2;
    # reversed, h and the threshold are negative and every level runs.
    estimate, value, evaluations = kt.integrate(math.exp, 0.0, 1.0, 1e-3)
    assert evaluations == 25 and 0.0 < estimate < 2.5e-4
    assert value == pytest.approx(math.e - 1.0, abs=1e-10)
    estimate, value, evaluations = kt.integrate(math.exp, 1.0, 0.0, 1e-3)
    assert evaluations == 385 and estimate < 0.0
    assert value == pytest.approx(1.0 - math.e, abs=1e-13)


@settings(max_examples=60, deadline=None)
@given(a=st.floats(-10, 10), width=st.floats(0.01, 10),
       coefficients=st.lists(st.floats(-5, 5), min_size=1, max_size=6))
def test_reversed_interval_negates_exactly(a, width, coefficients):
    # With target 0 neither direction can stop on its estimate, and the
    # reversed rule visits the same pairs of points with +x and -x swapped.
    b = a + width

    def polynomial(x):
        value = 0.0
        for c in coefficients:
            value = value * x + c
        return value

    forward = kt.integrate(polynomial, a, b, 0.0)
    backward = kt.integrate(polynomial, b, a, 0.0)
    assert backward[1] == -forward[1]
    assert backward[2] == forward[2]
