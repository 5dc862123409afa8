"""Carlson's symmetric integrals RF, RC, RD, RJ through tavlomer_testing.

Published values, closed forms, domain failures and their order, NaN, and
the step counts of the iterations.  Agreement with mpmath over the whole
domain is in test_elliptic_accuracy.py.
"""

import math
from array import array

import pytest
from hypothesis import given, settings, strategies as st

import tavlomer_testing as kt
from ulp_error import describe, ulps

NAN = math.nan
INF = math.inf
TINY = 5e-324  # the smallest subnormal

RF_DOMAIN = "elliprf: x, y, and z must be non-negative, and at most one can be zero."
RF_CONVERGENCE = "elliprf: Failed to converge."
RC_X = "elliprc: x must be non-negative."
RC_Y = "elliprc: y must be non-zero."
RD_DOMAIN = "elliprd: x and y must be non-negative, and at most one can be zero."
RD_Z = "elliprd: z must be positive"
RD_CONVERGENCE = "elliprd: Failed to converge."
RJ_DOMAIN = "elliprj: x, y, and z must be non-negative, and at most one can be zero."
RJ_P = "elliprj: p must be non-zero"
RJ_CONVERGENCE = "elliprj: Fail to converge"

KERNELS = {name: getattr(kt, name) for name in ("elliprf", "elliprc", "elliprd", "elliprj")}


def failure(kernel, *args):
    """The failure text of a call, checking that it is a RuntimeError whose
    only argument is that text."""
    with pytest.raises(RuntimeError) as info:
        KERNELS[kernel](*args)
    assert type(info.value) is RuntimeError
    assert len(info.value.args) == 1 and type(info.value.args[0]) is str
    return info.value.args[0]


# Carlson 1995, Table 1 (and the values of DLMF 19.36 that reproduce it): the
# printed digits, which the result must round to.
PUBLISHED = [
    ("elliprf", (1, 2, 0), "1.3110287771461"),
    ("elliprf", (2, 3, 4), "0.58408284167715"),
    ("elliprd", (0, 2, 1), "1.7972103521034"),
    ("elliprd", (2, 3, 4), "0.16510527294261"),
    ("elliprj", (0, 1, 2, 3), "0.77688623778582"),
    ("elliprj", (2, 3, 4, 5), "0.14297579667157"),
    ("elliprj", (2, 3, 4, -0.5), "0.24723819703052"),
    ("elliprj", (2, 3, 4, -5), "-0.12711230042964"),
]


@pytest.mark.parametrize("kernel, args, printed", PUBLISHED)
def test_published_values(kernel, args, printed):
    digits = len(printed.lstrip("-").replace(".", "").lstrip("0"))
    value = KERNELS[kernel](*args)
    assert float(f"{value:.{digits}g}") == float(printed), value


# Closed forms that the specified arithmetic reproduces to the last bit.
EXACT = [
    ("elliprc", (0, 0.25), math.pi),
    ("elliprc", (9 / 4, 2), math.log(2)),
    ("elliprc", (0.25, -2), math.log(2) / 3),
    ("elliprc", (0, 1), math.pi / 2),
    ("elliprc", (0, -1), 0.0),
    ("elliprc", (4, 4), 0.5),
    ("elliprf", (1, 1, 1), 1.0),
    ("elliprf", (4, 4, 4), 0.5),
    ("elliprf", (4, 4, 0), math.pi / 4),
    ("elliprf", (0, 9, 9), math.pi / 6),
    ("elliprf", (9, 0, 9), math.pi / 6),
    ("elliprd", (1, 1, 1), 1.0),
    ("elliprd", (4, 4, 4), 0.125),
    ("elliprd", (0, 2, 2), 9.42477796076938 / (8 * math.sqrt(2))),
    ("elliprd", (2, 0, 2), 9.42477796076938 / (8 * math.sqrt(2))),
    ("elliprj", (4, 4, 4, 4), 0.125),
    ("elliprj", (1, 1, 1, 1), 1.0),
]


@pytest.mark.parametrize("kernel, args, value", EXACT)
def test_closed_forms_exact(kernel, args, value):
    assert KERNELS[kernel](*args) == value


# Pairs of calls that the special cases route to the same arithmetic.
SAME_BITS = [
    (("elliprf", 2, 2, 1), ("elliprc", 1, 2)),
    (("elliprf", 1, 2, 2), ("elliprc", 1, 2)),
    (("elliprf", 2, 1, 2), ("elliprc", 1, 2)),
    (("elliprj", 1, 2, 3, 3), ("elliprd", 1, 2, 3)),
    (("elliprj", 1, 2, 2, 2), ("elliprd", 1, 2, 2)),
    (("elliprj", 3, 2, 2, 2), ("elliprd", 3, 2, 2)),
    (("elliprd", 2, 3, 2), ("elliprd", 3, 2, 2)),
]


@pytest.mark.parametrize("first, second", SAME_BITS)
def test_special_cases_share_arithmetic(first, second):
    assert KERNELS[first[0]](*first[1:]) == KERNELS[second[0]](*second[1:])


# Identities that hold in exact arithmetic but not bit for bit.
def test_rf_one_zero_is_the_agm():
    mpmath = pytest.importorskip("mpmath")
    with mpmath.workdps(50):
        exact = mpmath.nstr(mpmath.pi / (2 * mpmath.agm(1, mpmath.sqrt(2))), 40)
    assert ulps(exact, kt.elliprf(0, 1, 2)) <= 1


def test_rc_principal_value_prefactor():
    assert ulps(math.sqrt(2 / 3) * kt.elliprc(3, 1), kt.elliprc(2, -1)) <= 2


@settings(max_examples=100, deadline=None)
@given(st.lists(st.floats(1e-30, 1e30), min_size=3, max_size=3, unique=True))
def test_rf_symmetric_under_permutation(args):
    x, y, z = args
    values = [kt.elliprf(*p) for p in ((x, y, z), (x, z, y), (y, x, z), (y, z, x), (z, x, y), (z, y, x))]
    # Each value lies within 3 ulps of the exact one (accuracy tests), so two
    # of them within 6.
    assert max(ulps(values[0], v) for v in values) <= 6, values


@settings(max_examples=200, deadline=None)
@given(st.floats(1e-30, 1e30), st.floats(1e-30, 1e30), st.floats(1e-30, 1e30))
def test_rj_at_p_equal_z_is_rd(x, y, z):
    if len({x, y, z}) < 3:
        return
    assert ulps(kt.elliprd(x, y, z), kt.elliprj(x, y, z, z)) <= 6


# Domain failures: the first failing check decides the message.
DOMAIN = [
    ("elliprf", (-1, 1, 1), RF_DOMAIN),
    ("elliprf", (1, 1, -INF), RF_DOMAIN),
    ("elliprf", (0, 0, 1), RF_DOMAIN),
    ("elliprf", (1, 0, 0), RF_DOMAIN),
    ("elliprf", (0, 0, 0), RF_DOMAIN),
    ("elliprf", (-0.0, 0.0, 2), RF_DOMAIN),
    ("elliprc", (-1, 1), RC_X),
    ("elliprc", (1, 0), RC_Y),
    ("elliprc", (-1, 0), RC_X),
    ("elliprc", (-TINY, -0.0), RC_X),
    ("elliprd", (0, 0, 1), RD_DOMAIN),
    ("elliprd", (-1, 2, 1), RD_DOMAIN),
    ("elliprd", (1, 1, 0), RD_Z),
    ("elliprd", (1, 2, -1), RD_Z),
    ("elliprd", (-1, 2, 0), RD_DOMAIN),
    ("elliprd", (0, 0, 0), RD_DOMAIN),
    ("elliprj", (-1, 1, 1, 1), RJ_DOMAIN),
    ("elliprj", (0, 0, 1, 1), RJ_DOMAIN),
    ("elliprj", (1, 0, 0, 0), RJ_DOMAIN),
    ("elliprj", (1, 2, 3, 0), RJ_P),
    ("elliprj", (1, 2, 3, -0.0), RJ_P),
    # Inner failures of RJ's principal value pass through unchanged: RF's
    # duplication runs out of steps; q underflows to zero (the inner RJ
    # rejects it); -p q underflows to zero (RC rejects it).
    ("elliprj", (1e-300, 1, 1e300, -1), RF_CONVERGENCE),
    ("elliprj", (1.7974e-320, 2.519356006887181e-166, 2.126337425038647e-261,
                 -3.678702921092745e-282), RJ_P),
    ("elliprj", (7.089586819794628e-176, 2637538212531463.0, 3.337205724531936e-164,
                 -1.5477826796e-313), RC_Y),
]


@pytest.mark.parametrize("kernel, args, message", DOMAIN)
def test_domain_failures(kernel, args, message):
    assert failure(kernel, *args) == message


# NaN passes the domain checks (fmin and fmax ignore it); the closed forms
# and the means return NaN, the duplication loops never meet their test.
NAN_RESULTS = [
    ("elliprc", (NAN, 1)),
    ("elliprc", (1, NAN)),
    ("elliprf", (0, NAN, 1)),
    ("elliprf", (1, 0, NAN)),
    ("elliprd", (0, NAN, 1)),
    ("elliprd", (0, 1, NAN)),
]
NAN_FAILURES = [
    ("elliprf", (NAN, 1, 2), RF_CONVERGENCE),
    ("elliprf", (1, 2, NAN), RF_CONVERGENCE),
    ("elliprf", (NAN, NAN, 1), RF_CONVERGENCE),  # NaN == NaN is false
    ("elliprd", (1, 2, NAN), RD_CONVERGENCE),
    ("elliprd", (NAN, 1, 2), RD_CONVERGENCE),
    ("elliprj", (NAN, 1, 2, 3), RJ_CONVERGENCE),
    ("elliprj", (1, 2, 3, NAN), RJ_CONVERGENCE),
    ("elliprj", (NAN, 1, 2, -1), RJ_CONVERGENCE),
]


@pytest.mark.parametrize("kernel, args", NAN_RESULTS)
def test_nan_results(kernel, args):
    assert math.isnan(KERNELS[kernel](*args))


@pytest.mark.parametrize("kernel, args, message", NAN_FAILURES)
def test_nan_failures(kernel, args, message):
    assert failure(kernel, *args) == message


# Step counts of RF's duplication (observed through the test-only view of
# the very loop that elliprf runs).
RF_STEPS = [
    ((1, 2, 3), 4),
    ((1e-10, 1, 1e10), 7),
    ((1e-200, 1, 1e200), 11),
    ((1e-300, 1, 1e300), 12),  # one past the limit: not converged
]


@pytest.mark.parametrize("args, steps", RF_STEPS)
def test_rf_step_counts(args, steps):
    assert kt.ELLIPRF_STEP_LIMIT == 11
    assert kt.elliprf_steps(*args) == steps


def test_rf_exhausting_its_steps_fails():
    assert failure("elliprf", 1e-300, 1, 1e300) == RF_CONVERGENCE
    assert 0 < kt.elliprf(1e-200, 1, 1e200) < INF


@settings(max_examples=100, deadline=None)
@given(st.lists(st.floats(1e-100, 1e100), min_size=3, max_size=3, unique=True))
def test_rf_takes_at_least_four_steps(args):
    # The scale 78.9 includes |A0|, and 4^3 = 64 is below it.
    assert 4 <= kt.elliprf_steps(*args) <= kt.ELLIPRF_STEP_LIMIT


def test_rd_step_counts():
    assert kt.ELLIPRD_STEP_LIMIT == 50
    assert kt.elliprd_steps(2, 3, 4) == 3
    assert kt.elliprd_steps(NAN, 1, 2) == kt.ELLIPRD_STEP_LIMIT + 1


# The arithmetic-geometric means of RF(0, y, z) and RD(0, y, z) carry a
# safety bound that must never be what ends them.  Sweep the extremes: every
# pair of a ladder of magnitudes from the smallest subnormal to infinity, and
# every pair of small multiples of the smallest subnormal, where the products
# a*b are subnormal and the loop runs longest.
def _agm_max_steps(ys, zs):
    out = array("d", bytes(8 * len(ys)))
    kt.agm_steps_many(out, array("d", ys), array("d", zs))
    return max(out)


def test_agm_bound_never_reached_at_extremes():
    ladder = [TINY, 2 * TINY, 3 * TINY, 1e-320, 1e-310, 2.2250738585072014e-308,
              1e-300, 1e-200, 1e-100, 1e-10, 0.5, 1, 1.5, 2, 1e10, 1e100, 1e200,
              1e300, 1.7976931348623157e308, INF, NAN]
    ladder += [math.nextafter(v, INF) for v in ladder[:-2]]
    pairs = [(y, z) for y in ladder for z in ladder if y != z]
    assert _agm_max_steps(*zip(*pairs)) <= 60


def test_agm_bound_never_reached_on_subnormal_products():
    n = 400
    ys = [i * TINY for i in range(1, n + 1) for _ in range(n)]
    zs = [j * TINY for _ in range(n) for j in range(1, n + 1)]
    worst = _agm_max_steps(ys, zs)
    # At most 53 halvings once the rounded product settles (carlson.cpp).
    assert worst <= 60 < kt.AGM_STEP_LIMIT


def test_agm_of_infinity_and_nan_end_at_once():
    assert kt.elliprf(0, 1, INF) == 0.0
    assert kt.elliprf(0, INF, 1) == 0.0
    assert math.isnan(kt.elliprd(0, 1, NAN))


def test_many_entries_match_single_calls():
    xs, ys, zs = [1, 0, 2, NAN, 0], [2, 1, 3, 1, 0], [3, 2, 4, 2, 1]
    out = array("d", bytes(8 * len(xs)))
    kt.elliprf_many(out, array("d", xs), array("d", ys), array("d", zs))
    for x, y, z, got in zip(xs, ys, zs, out):
        try:
            expected = kt.elliprf(x, y, z)
        except RuntimeError:
            assert math.isnan(got)
        else:
            assert got == expected
