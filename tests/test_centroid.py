"""The shift of the images' light centroid (centroid=True): against stored
two-dimensional mpmath quadratures over the source (tests/centroid_reference.py,
which never uses the module's closed forms), and the limits the physics
fixes: no shift with the lens at the centre, the point source's u / (u^2 + 2)
far out, and for a uniform disk exactly none with the lens on its limb."""

import mpmath
import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import tavlomer_physics as tp
from centroid_reference import load

RADII = np.linspace(0.0, 1.0, 11)
LAWS = [("uniform", ()), ("linear", (0.6,)), ("quadratic", (0.4, 0.25)),
        ("square_root", (0.3, 0.4)), ("logarithmic", (0.6, 0.3)),
        ("claret4", (0.5, 0.1, 0.1, -0.1)), ("power2", (0.6, 0.7)),
        ("tabulated", (RADII, 1.0 - 0.6 * (1.0 - np.sqrt(1.0 - RADII ** 2))))]


def call(law, u, rho, arguments, **keywords):
    if law == "uniform":
        keywords.pop("rtol", None)
    return getattr(tp, law)(u, rho, *arguments, **keywords)


@pytest.mark.parametrize("rtol", [1e-6, 1e-9, 1e-12])
def test_shift_matches_the_two_dimensional_quadrature(rtol):
    """Within rtol max(|shift|, 0.01 rho) in every regime of the lens: inside,
    1e-3 from the limb on either side, on it, outside and far out, for
    sources of 1e-4 to 10 Einstein radii."""
    failures = []
    for law, coefficients, u, rho, expected in load():
        magnification, shift = call(law, u, rho, coefficients, rtol=rtol, centroid=True)
        error = abs(shift - expected) / max(abs(expected), 0.01 * rho)
        if not error <= rtol:
            failures.append((law, u, rho, shift, expected, error))
    assert not failures


@pytest.mark.parametrize("law, arguments", LAWS)
def test_shift_limits_and_the_magnification_unchanged(law, arguments):
    rho = 0.1
    u = np.array([0.0, 0.05, 0.1, 0.2, -0.2, 30.0, np.nan])
    magnification, shift = call(law, u, rho, arguments, centroid=True)
    # The magnification is the one computed without the shift, to the bit.
    np.testing.assert_array_equal(magnification, call(law, u, rho, arguments))
    assert shift[0] == 0.0                       # the lens at the centre
    assert shift[1] < 0.0 < shift[3]             # towards the lens inside, away outside
    assert shift[4] == shift[3]                  # a negative u is read as its magnitude
    assert shift[5] == pytest.approx(30.0 / (30.0 ** 2 + 2.0), rel=1e-6)
    assert np.isnan(shift[6])
    single = call(law, 0.2, rho, arguments, centroid=True)
    assert type(single) is tuple and all(type(x) is float for x in single)
    assert single[1] == shift[3]


def test_a_flat_table_is_the_uniform_disk():
    """The table's hat functions and edge terms add up to the uniform disk's
    moment: a constant profile shifts as the uniform disk does."""
    u = np.array([0.01, 0.05, 0.0999, 0.1, 0.15, 0.3, 3.0])
    expected = tp.uniform(u, 0.1, centroid=True)[1]
    for rtol in (1e-9, 1e-12):
        shift = tp.tabulated(u, 0.1, [0.0, 0.3, 0.7, 1.0], [2.0] * 4, rtol=rtol,
                             centroid=True)[1]
        assert np.all(np.abs(shift - expected) <= rtol * np.maximum(np.abs(expected), 1e-3))


def test_uniform_shift_is_zero_on_the_limb():
    """The closed form of the uniform disk's centroid moment carries the factor
    u - rho (disk_centroid.cpp): with the lens on the edge the magnified
    light's centroid is the source's centre, the shift turning from towards
    the lens (inside) to away from it (outside).  A limb-darkened source,
    brighter towards its centre, is still shifted outwards there."""
    for rho in [1e-300, 1e-4, 0.1, 1.0, 10.0, 1e50]:
        assert tp.uniform(rho, rho, centroid=True)[1] == 0.0
        below, above = tp.uniform([rho * (1 - 1e-6), rho * (1 + 1e-6)], rho, centroid=True)[1]
        assert below < 0.0 < above
    assert tp.linear(0.1, 0.1, 0.6, centroid=True)[1] > 1e-3


@settings(max_examples=60, deadline=None)
@given(u=st.floats(1e-3, 1e3), ratio=st.floats(30.0, 1e6))
def test_far_from_the_source_the_shift_is_the_point_source_one(u, ratio):
    """The finite source's correction to the point's shift u / (u^2 + 2) is of
    order (rho / u)^2."""
    rho = u / ratio
    point = u / (u * u + 2.0)
    for law, arguments in LAWS[:2]:
        shift = call(law, u, rho, arguments, centroid=True)[1]
        assert abs(shift / point - 1.0) <= 2.0 / ratio ** 2 + 1e-13


def test_centroid_keywords():
    with pytest.raises(TypeError, match="centroid must be True or False, not str"):
        tp.linear(0.05, 0.1, 0.6, centroid="yes")
    # With gradient: A and shift, A's derivatives, then the shift's.
    results = tp.linear([[0.05], [0.2]], 0.1, [0.3, 0.6], centroid=True, gradient=True)
    assert len(results) == 8 and all(r.shape == (2, 2) for r in results)
    assert tp.linear(0.05, 0.1, 0.6, centroid=None) == tp.linear(0.05, 0.1, 0.6)
    a, shift = tp.linear([[0.05], [0.2]], 0.1, [0.3, 0.6], centroid=True)   # two bands
    assert a.shape == shift.shape == (2, 2)
    assert shift[1, 0] == tp.linear(0.2, 0.1, 0.3, centroid=True)[1]


def _ring_slopes(u, rho):
    """The uniform disk's shift slopes (in u, rho) from rings alone, in
    mpmath: the disk integrals I_A of A and I_S of f cos(phi) - u A grow with
    the radius by their edge's ring, and move with the disk by the ring
    weighted by cos(theta) (the divergence theorem), I_S less I_A for its
    explicit u; the values A and shift are the module's."""
    a, shift = tp.uniform(u, rho, centroid=True)
    with mpmath.workdps(30):
        u, r = mpmath.mpf(u), mpmath.mpf(rho)

        def ring(weight, which):
            def integrand(t):
                x, y = u + r * mpmath.cos(t), r * mpmath.sin(t)
                s2 = x * x + y * y
                q = mpmath.sqrt(s2 + 4)
                magnified = (s2 + 2) / (mpmath.sqrt(s2) * q)
                if which == "S":
                    magnified = (s2 + 3) / q * x / mpmath.sqrt(s2) - u * magnified
                return magnified * weight(t)
            # Even in theta; the lens's side (theta = pi) is an end.
            return 2 * r * mpmath.quad(integrand, [0, mpmath.pi / 2, mpmath.pi])

        flux = mpmath.pi * r * r * a  # I_A; I_S = shift I_A
        cos_a, cos_s = ring(mpmath.cos, "A"), ring(mpmath.cos, "S")
        one_a, one_s = ring(lambda t: 1, "A"), ring(lambda t: 1, "S")
        # Each slope with the largest term its formula cancels: the
        # module's values (A, shift) enter there with their rounding.
        return [(float((cos_s - flux - shift * cos_a) / flux),
                 float(max(abs(cos_s - flux), abs(shift * cos_a)) / flux)),
                (float((one_s - shift * one_a) / flux), float(abs(shift * one_a) / flux))]


@pytest.mark.slow
@settings(max_examples=30, deadline=None)
@given(rho=st.floats(1e-4, 10.0), ratio=st.one_of(st.just(0.0), st.floats(0.0, 0.99),
                                                  st.floats(1.01, 30.0)))
def test_uniform_shift_slopes_match_ring_integrals(rho, ratio):
    """gradient=True with centroid=True: the values exactly as without, and
    the exact slopes of A and of the shift (disk_centroid.cpp's forms
    differentiated) against the disk's edge rings in mpmath, which never use
    them, within 1e-12 relative."""
    u = ratio * rho
    a, shift, *slopes = tp.uniform(u, rho, centroid=True, gradient=True)
    assert (a, shift) == tp.uniform(u, rho, centroid=True)
    assert slopes[:2] == list(tp.uniform(u, rho, gradient=True)[1:])
    # Far out the rings cancel in rho by (rho / u)^2 (160 times at
    # u = 10 rho = 1.25, where the shift itself is 5e-14 off): the slopes are
    # held to 1e-12 of the cancelled terms there; and to 1e-12 of 0.01, the
    # slope of the shift's floor 0.01 rho, where they vanish (in rho at u = 0).
    for got, (expected, cancelled) in zip(slopes[2:], _ring_slopes(u, rho)):
        scale = max(abs(expected), cancelled, 0.01)
        assert abs(got - expected) <= 1e-12 * scale, (got, expected)
    # The shift is even in u.
    assert tp.uniform(-u, rho, centroid=True, gradient=True)[4] == -slopes[2] or u == 0.0


# A sixth-order central difference: its error, h^6 f^(7) / 140, is far below
# 1e-9 of the slope for steps within a twentieth of the nearest kink (the
# limb, a table's radius), and the shift's rounding at rtol = 1e-12,
# amplified by 1.8 / h, far below the tolerance of derivatives at 1e-6.
STENCIL = ((1, 3 / 4), (2, -3 / 20), (3, 1 / 60))


def _central(function, x, h):
    return sum(w * (function(x + k * h) - function(x - k * h)) for k, w in STENCIL) / h


def _check_shift_slopes(law, u, rho, arguments, steps, rtol=1e-6):
    """The shift's derivatives (gradient=True, centroid=True) against central
    differences of the module's own shift at rtol = 1e-12, within 10 rtol
    relative or rtol max(|shift|, 0.01 rho) per unit of the argument's scale
    (rho for u and rho, 1 for a coefficient); A and the shift the same bits
    as without the derivatives.  steps: the step of u, rho and each argument
    differenced (None to leave it)."""
    function = getattr(tp, law)
    results = function(u, rho, *arguments, rtol=rtol, centroid=True, gradient=True)
    assert results[:2] == function(u, rho, *arguments, rtol=rtol, centroid=True)
    shift = results[1]
    slopes = results[2 + (len(results) - 2) // 2:]

    def shift_at(u, rho, arguments):
        return function(u, rho, *arguments, rtol=1e-12, centroid=True)[1]

    point = [u, rho, *arguments]
    for i, h in enumerate(steps):
        if h is None:
            continue

        def moved(x, i=i):
            p = list(point)
            p[i] = x
            return shift_at(p[0], p[1], p[2:])

        expected = _central(moved, point[i], h)
        scale = rho if i < 2 else 1.0
        floor = rtol * max(abs(shift), 0.01 * rho) / scale
        assert abs(slopes[i] - expected) <= 10 * rtol * abs(expected) + floor, \
            (law, u, rho, arguments, i, slopes[i], expected)


REGIMES = dict(rho=st.floats(1e-4, 10.0),
               ratio=st.one_of(st.floats(0.02, 0.99), st.floats(1.01, 50.0)))


def _step(u, rho):
    """Within a twentieth of the distance to the limb, and to rho / 1000."""
    return min(1e-3 * rho, abs(u - rho) / 20)


@settings(max_examples=25, deadline=None)
@given(c=st.floats(-0.5, 0.99), **REGIMES)
def test_linear_shift_slopes_match_central_differences(rho, ratio, c):
    u = ratio * rho
    h = _step(u, rho)
    _check_shift_slopes("linear", u, rho, (c,), (h, h, 1e-3))


@settings(max_examples=25, deadline=None)
@given(c=st.floats(0.0, 0.9), alpha=st.floats(0.2, 3.0), **REGIMES)
def test_power2_shift_slopes_match_central_differences(rho, ratio, c, alpha):
    """The slope in alpha too, through the profile's own slope profile."""
    u = ratio * rho
    h = _step(u, rho)
    _check_shift_slopes("power2", u, rho, (c, alpha), (h, h, 1e-3, 1e-3 * alpha))


@settings(max_examples=20, deadline=None)
@given(entry=st.integers(0, 6), **REGIMES)
def test_tabulated_shift_slopes_match_central_differences(rho, ratio, entry):
    """A table ending in a jump, kinks at its radii (the step stays clear of
    them); in one entry of the intensity, and over all of them the shift's
    invariance to the intensity's scale: sum_j I_j dshift/dI_j = 0."""
    radii = np.array([0.0, 0.15, 0.4, 0.55, 0.7, 0.85, 1.0])
    intensity = np.array([1.0, 0.97, 0.85, 0.76, 0.64, 0.5, 0.3])
    u = ratio * rho
    h = min([_step(u, rho)] + [abs(u - r * rho) / 20 for r in radii[1:-1]])
    h = max(h, 1e-6 * rho)  # the kinks at the radii are gentle: (x - x0)^2 log
    results = tp.tabulated(u, rho, radii, intensity, rtol=1e-6, centroid=True, gradient=True)
    assert results[:2] == tp.tabulated(u, rho, radii, intensity, rtol=1e-6, centroid=True)
    _check_shift_slopes("tabulated", u, rho, (radii, intensity), (h, h))
    d_intensity = results[-1]
    assert abs(d_intensity @ intensity) <= 1e-6 * np.abs(d_intensity) @ intensity

    def moved(x):
        changed = intensity.copy()
        changed[entry] = x
        return tp.tabulated(u, rho, radii, changed, rtol=1e-12, centroid=True)[1]

    expected = _central(moved, intensity[entry], 1e-3)
    floor = 1e-6 * max(abs(results[1]), 0.01 * rho)
    assert abs(d_intensity[entry] - expected) <= 1e-5 * abs(expected) + floor
