"""Tabulated linear interpolation with its out-of-range rules.

Beside the worked examples, a reference written from the definition (every
segment's slope and intercept, the scan over the whole x table, the value
c + s*xp) is compared bit for bit on arbitrary tables: unsorted, unequal
lengths, repeated abscissae, NaN.
"""

import math

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import tavlomer_testing as kt

EXTEND, EDGE, FIXED = 0, 1, 2


def divide(a, b):
    """IEEE division, which Python refuses for a zero divisor."""
    if b != 0.0:
        return a / b
    if math.isnan(a) or a == 0.0:
        return math.nan
    return math.copysign(math.inf, a) * math.copysign(1.0, b)


def reference(x, y, xp, tag, value):
    n = min(len(x), len(y))
    if n == 0:
        return 0.0
    if n == 1:
        return y[0]
    slopes = [divide(y[i + 1] - y[i], x[i + 1] - x[i]) for i in range(n - 1)]
    intercepts = [y[i] - x[i] * s for i, s in enumerate(slopes)]
    k = 0
    while k < len(x) and x[k] < xp:
        k += 1
    j = len(x) - 1 if k == len(x) else max(k - 1, 0)
    i = min(j, n - 2)
    v = intercepts[i] + slopes[i] * xp
    if xp < x[0]:
        return v if tag == EXTEND else y[0] if tag == EDGE else value
    if xp > x[n - 1]:
        return v if tag == EXTEND else y[n - 1] if tag == EDGE else value
    return v


def same(a, b):
    return (math.isnan(a) and math.isnan(b)) or a == b


LINE = ([0.0, 1.0, 2.0], [0.0, 10.0, 20.0])


@pytest.mark.parametrize("xp, tag, expected", [
    (0.5, FIXED, 5.0),
    (0.0, FIXED, 0.0),      # from the first segment, not from the rule
    (2.0, FIXED, 20.0),
    (-0.1, FIXED, 0.0),
    (2.1, FIXED, 0.0),
    (-0.1, EXTEND, -1.0),
    (2.1, EXTEND, 21.0),
    (-0.1, EDGE, 0.0),
    (2.1, EDGE, 20.0),
    (-0.1, 7, 0.0),         # any other tag is the fixed value
])
def test_rules_on_a_straight_line(xp, tag, expected):
    assert kt.interp(*LINE, xp, tag, 0.0) == expected


@pytest.mark.parametrize("tag", [EXTEND, EDGE, FIXED])
@pytest.mark.parametrize("xp", [-1e300, -1.0, 0.0, 0.3, 5.0, math.inf, math.nan])
def test_degenerate_tables_ignore_the_rule(tag, xp):
    assert kt.interp([], [], xp, tag, 9.0) == 0.0
    assert kt.interp([0.3], [4.5], xp, tag, 9.0) == 4.5
    assert kt.interp([0.3, 0.4], [4.5], xp, tag, 9.0) == 4.5   # n = min of the lengths
    assert kt.interp([], [4.5], xp, tag, 9.0) == 0.0


@pytest.mark.parametrize("xp, tag, expected", [
    (1.5, FIXED, 15.0),
    (2.5, FIXED, -3.0),     # above x[n-1] = 2 with n = 3: the rule
    (2.5, EDGE, 20.0),
    (2.5, EXTEND, 25.0),    # x[3] < 2.5 too, but the segment is clamped to the last formed
])
def test_y_shorter_than_x(xp, tag, expected):
    assert kt.interp([0.0, 1.0, 2.0, 3.0], [0.0, 10.0, 20.0], xp, tag, -3.0) == expected


def test_interior_abscissa_uses_the_segment_ending_there():
    # At x[1] the first segment gives ...02 and the second ...09.
    assert kt.interp([0.0, 0.63, 1.0], [0.07, 0.01, 0.84], 0.63, FIXED, 0.0) == 0.010000000000000002


def test_value_is_intercept_plus_slope_times_xp():
    # y0 + s*(xp - x0) would give 0.42370830464071735.
    x = [0.8357651039198697, 1.2685321718249232]
    y = [0.762280082457942, 0.0021060533511106927]
    assert kt.interp(x, y, 1.0285140139734252, FIXED, 0.0) == 0.4237083046407173


@pytest.mark.parametrize("tag", [EXTEND, EDGE, FIXED])
def test_nan_query_is_nan_whatever_the_rule(tag):
    assert math.isnan(kt.interp(*LINE, math.nan, tag, 0.0))


@pytest.mark.parametrize("xp, tag, check", [
    (0.5, FIXED, lambda v: v == 1.5),         # the repeated abscissa is never selected inside
    (-1.0, FIXED, lambda v: v == 0.0),
    (-1.0, EXTEND, math.isnan),               # the zero-width first segment
])
def test_repeated_abscissa(xp, tag, check):
    assert check(kt.interp([0.0, 0.0, 1.0], [0.0, 1.0, 2.0], xp, tag, 0.0))


tables = st.lists(st.floats(-4, 4) | st.sampled_from([0.0, 1.0, math.nan]), max_size=7)


@settings(max_examples=400, deadline=None)
@given(x=tables, y=tables, xp=st.floats(-5, 5) | st.sampled_from([0.0, 1.0, math.nan]),
       tag=st.integers(0, 3), value=st.floats(-3, 3))
def test_matches_the_definition(x, y, xp, tag, value):
    assert same(kt.interp(x, y, xp, tag, value), reference(x, y, xp, tag, value))
