"""The complete elliptic integrals K(m), E(m), Pi(n, m) through tavlomer_testing.

Stated values (to the bit), domain failures and their order, NaN, and the
two choices made beyond the stated algorithm: K for m < 0 and Pi(n, n) for
n < 0.  Agreement with mpmath over the domain is in test_elliptic_accuracy.py.
"""

import math

import pytest
from hypothesis import given, settings, strategies as st

import tavlomer_testing as kt
from ulp_error import ulps

NAN = math.nan
INF = math.inf
HALF_PI = 1.5707963267948966
LARGEST_BELOW_ONE = 1 - 2.0 ** -53

K_DOMAIN = "ellipk: m must be less than 1."
E_DOMAIN = "ellipe: m must be less than 1."
PI_M = "ellippi: m must be less than 1."
PI_N = "ellippi: n must be less than 1."
RJ_CONVERGENCE = "elliprj: Fail to converge"

KERNELS = {name: getattr(kt, name) for name in ("ellipk", "ellipe", "ellippi")}


def failure(kernel, *args):
    with pytest.raises(RuntimeError) as info:
        KERNELS[kernel](*args)
    assert type(info.value) is RuntimeError and len(info.value.args) == 1
    return info.value.args[0]


# Values that the polynomials and reductions give to the last bit.
EXACT = [
    ("ellipk", (0,), HALF_PI),
    ("ellipe", (0,), HALF_PI),
    ("ellippi", (0, 0), HALF_PI),
    ("ellipk", (1,), INF),
    ("ellipe", (1,), 1.0),
    ("ellipk", (0.5,), 1.8540746773013719),
    ("ellipk", (0.9,), 2.5780921133481733),
    ("ellipk", (LARGEST_BELOW_ONE,), 19.75469464595844),  # the logarithmic branch
    ("ellipe", (0.5,), 1.3506438810476755),
    ("ellipe", (0.9,), 1.1047747327040733),
    ("ellipe", (-1,), 1.9100988945138562),
    ("ellipe", (LARGEST_BELOW_ONE,), 1.000000000000001),
    ("ellippi", (0.5, 0), 2.221441469079183),
    ("ellippi", (-0.5, 0.3), 1.3868844135793648),
    ("ellippi", (0.3, 0.5), 2.2503768219439464),
    ("ellippi", (0.9, 0.8), 8.84206547400993),
    # Beyond the stated algorithm: K(-inf) = 0 (the limit, instead of
    # inf/inf); E below m = -2^53, where m/(m - 1) rounds to 1, is sqrt(1 - m)
    # (instead of log(0) * 0 = NaN).
    ("ellipk", (-INF,), 0.0),
    ("ellipe", (-1e300,), 1e150),
    ("ellipe", (-INF,), INF),
]


@pytest.mark.parametrize("kernel, args, value", EXACT)
def test_values(kernel, args, value):
    assert KERNELS[kernel](*args) == value


def test_pi_with_zero_characteristic_is_k():
    for m in (0.5, 0.1, -3.0, 1e-300):
        assert kt.ellippi(0, m) == kt.ellipk(m)


def test_pi_below_k_for_negative_characteristic():
    assert kt.ellippi(-0.5, 0.3) < kt.ellipk(0.3) == 1.713889448178791


DOMAIN = [
    ("ellipk", (1.5,), K_DOMAIN),
    ("ellipk", (INF,), K_DOMAIN),
    ("ellipk", (1 + 2.0 ** -52,), K_DOMAIN),
    ("ellipe", (1.5,), E_DOMAIN),
    ("ellipe", (INF,), E_DOMAIN),
    ("ellippi", (0.5, 1), PI_M),
    ("ellippi", (2, 1), PI_M),  # m is tested first
    ("ellippi", (0, 1), PI_M),
    ("ellippi", (1, 0.5), PI_N),
    ("ellippi", (1.5, 0.5), PI_N),
    ("ellippi", (INF, -INF), PI_N),
    # NaN passes every domain test; RJ's duplication never converges.
    ("ellippi", (NAN, NAN), RJ_CONVERGENCE),
    ("ellippi", (NAN, 0.5), RJ_CONVERGENCE),
    ("ellippi", (0.5, NAN), RJ_CONVERGENCE),
    ("ellippi", (-0.5, NAN), RJ_CONVERGENCE),
]


@pytest.mark.parametrize("kernel, args, message", DOMAIN)
def test_domain_failures(kernel, args, message):
    assert failure(kernel, *args) == message


@pytest.mark.parametrize("kernel", ["ellipk", "ellipe"])
def test_nan_parameter_gives_nan(kernel):
    assert math.isnan(KERNELS[kernel](NAN))


def test_pi_with_nan_and_zero_parameter():
    # n = 0 returns K(m): K(NaN) is NaN, not a failure.
    assert math.isnan(kt.ellippi(0, NAN))


# K for m < 0: the polynomials only hold on 0 < 1 - m <= 1; the reduction
# K(m) = K(m/(m - 1)) / sqrt(1 - m) keeps the error at the polynomials' own.
# (Agreement with mpmath over m down to -2^1000 is in the accuracy tests.)
def test_k_negative_parameter_is_continuous_at_zero():
    assert ulps(HALF_PI, kt.ellipk(-5e-324)) <= 1
    assert ulps(kt.ellipk(1e-17), kt.ellipk(-1e-17)) <= 2


def test_k_negative_parameter_against_mpmath():
    mpmath = pytest.importorskip("mpmath")
    with mpmath.workdps(50):
        for m in (-0.5, -1.0, -4.0, -1e3, -1e20, -1e300):
            assert ulps(mpmath.nstr(mpmath.ellipk(m), 40), kt.ellipk(m)) <= 4, m


# Pi(n, n) for n < 0: the transformation to a positive characteristic
# divides by m - n = 0 there; the value is E(n) / (1 - n) (DLMF 19.6.1).
@pytest.mark.parametrize("n", [-0.5, -1.0, -3.0, -1e-10, -1e10])
def test_pi_on_the_diagonal(n):
    value = kt.ellippi(n, n)
    assert value == kt.ellipe(n) / (1 - n)
    # ... and it continues its neighbours off the diagonal.
    for m in (n * (1 + 2.0 ** -20), n * (1 - 2.0 ** -20)):
        assert abs(kt.ellippi(n, m) / value - 1) < 1e-5


@settings(max_examples=200, deadline=None)
@given(st.floats(-1e6, 0.998), st.floats(0, 0.999))
def test_pi_increases_with_the_characteristic(n, m):
    # The integrand grows with n; n < 0 and n > 0 take different routes.
    # m >= 0, the callers' range: for m < 0 close to n < 0 the difference
    # (K m - t)/(m - n) of the transformation cancels.  Nor n in (-1e-300, 0)
    # with m tiny as well, where t n is subnormal and the same difference
    # keeps only its few bits (Pi(-5e-324, 0) gives 2.0).
    if -1e-300 < n < 0:
        return
    higher = min(n + abs(n) * 1e-3 + 1e-3, 0.999)
    assert kt.ellippi(n, m) <= kt.ellippi(higher, m) * (1 + 1e-13)
