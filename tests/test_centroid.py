"""The shift of the images' light centroid (centroid=True): against stored
two-dimensional mpmath quadratures over the source (tests/centroid_reference.py,
which never uses the module's closed forms), and the limits the physics
fixes: no shift with the lens at the centre, the point source's u / (u^2 + 2)
far out, and for a uniform disk exactly none with the lens on its limb."""

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import tavlomer_physics as tp
from centroid_reference import load

RADII = np.linspace(0.0, 1.0, 11)
LAWS = [("uniform", ()), ("linear", (0.6,)), ("quadratic", (0.4, 0.25)),
        ("square_root", (0.3, 0.4)), ("logarithmic", (0.6, 0.3)),
        ("claret4", (0.5, 0.1, 0.1, -0.1)),
        ("tabulated", (RADII, 1.0 - 0.6 * (1.0 - np.sqrt(1.0 - RADII ** 2))))]


def call(law, u, rho, arguments, **keywords):
    if law == "uniform":
        keywords.pop("rtol", None)
    return getattr(tp, law)(u, rho, *arguments, **keywords)


@pytest.mark.parametrize("rtol", [1e-9, 1e-12])
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
    with pytest.raises(NotImplementedError, match="centroid=True does not take gradient=True"):
        tp.uniform(0.05, 0.1, centroid=True, gradient=True)
    assert tp.linear(0.05, 0.1, 0.6, centroid=None) == tp.linear(0.05, 0.1, 0.6)
    a, shift = tp.linear([[0.05], [0.2]], 0.1, [0.3, 0.6], centroid=True)   # two bands
    assert a.shape == shift.shape == (2, 2)
    assert shift[1, 0] == tp.linear(0.2, 0.1, 0.3, centroid=True)[1]
