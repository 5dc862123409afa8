"""witt_mao_magnification: the uniformly bright disk."""

import math

import pytest

import tavlomer
from reference import point_source, uniform_disk

wm = tavlomer.witt_mao_magnification


def limb_value(rho):
    """The exact limit of the disk magnification at u = rho, formed like the module."""
    rho2 = rho * rho
    c1 = (rho2 - 1.0) / (rho2 + 1.0)
    c2 = (rho2 + 1.0) / rho2
    return (2.0 / rho + c2 * (math.asin(c1) + 1.5707963267948966)) / 3.141592653589793


@pytest.mark.parametrize(
    "l, re, rstar, expected",
    [
        (0.6, 2.0, 1.0, 3.7646),  # u = 0.3 inside a disk of rho = 0.5
        (4.0, 2.0, 1.0, 1.0642),  # u = 2 outside it
    ],
)
def test_stated_values(l, re, rstar, expected):
    assert wm([l], re, rstar)[0] == pytest.approx(expected, abs=5e-5)


# Magnification of the uniform disk against an independent integration of
# the point-source magnification over the disk, away from the limb.
@pytest.mark.parametrize("rho", [0.01, 0.1, 0.5, 1.0, 3.0])
@pytest.mark.parametrize("u_over_rho", [0.0, 0.3, 0.9, 1.1, 2.0, 10.0])
def test_against_disk_integral(rho, u_over_rho):
    got = wm([u_over_rho], 1.0, rho)[0]
    want = float(uniform_disk(u_over_rho * rho, rho, dps=20))
    assert got == pytest.approx(want, rel=1e-9)


def test_limb_band():
    rho = 0.5
    inside_band = [1.0, 1.0 + 1e-5, 1.0 - 1.9e-5]  # |u - rho| < 1e-5 in Einstein radii
    got = wm(inside_band, 1.0, rho)
    assert got == [limb_value(rho)] * 3
    # Continuous across the band's edges to the accuracy the band allows.
    outside = wm([1.0 + 2.1e-5, 1.0 - 2.1e-5], 1.0, rho)
    for a in outside:
        assert a == pytest.approx(limb_value(rho), rel=1e-3)


def test_band_edge_is_general_form():
    # rho = 1e-5 exactly: l = 2 gives delta = 1e-5 exactly, l = 0 gives -1e-5;
    # neither lies strictly inside the band.
    rho = 1e-5
    got = wm([2.0, 0.0, 1.0], 1.0, rho)
    assert got[2] == limb_value(rho)
    assert got[0] != got[2] and got[1] != got[2]
    assert got[1] == pytest.approx(float(uniform_disk(0, rho)), rel=1e-9)


@pytest.mark.parametrize("l", [30.0, 100.0, 1e3])
def test_far_from_source_is_point_source(l):
    # Far outside the disk the finite-source correction falls off as
    # (source radius / separation)^2 (Gould 1994, ApJ 421, L71).
    rho = 0.01
    got = wm([l], 1.0, rho)[0]
    assert got == pytest.approx(float(point_source(l * rho)), rel=0.2 / l**2)


def test_shape_and_order():
    ls = [5.0, 0.0, 0.3, 1.0, 2.0, 0.3]
    got = wm(ls, 1.0, 0.2)
    assert len(got) == len(ls) and all(isinstance(a, float) for a in got)
    assert got == [wm([l], 1.0, 0.2)[0] for l in ls]
    assert got[2] == got[5]
    assert wm([], 1.0, 0.2) == []


def test_only_ratio_enters():
    ls = [0.1, 0.7, 1.3, 4.0]
    assert wm(ls, 2.0, 1.0) == wm(ls, 4.0, 2.0) == wm(ls, 0.5, 0.25)


@pytest.mark.parametrize(
    "ls, message",
    [
        ([1.5, float("nan")], "elliprj: Fail to converge"),
        ([float("inf")], "elliprj: Fail to converge"),
        # For a large source, just outside the limb band the characteristic rounds to 1.
        ([1.0000000204], "ellippi: n must be less than 1."),
    ],
)
def test_kernel_failure_ends_call(ls, message):
    rho = 500.0 if "ellippi" in message else 0.5
    with pytest.raises(RuntimeError) as info:
        wm(ls, 1.0, rho)
    assert info.value.args == (message,)


# Far from a small source the closed form's terms grow as (u/rho)^2 and
# cancel; the defined value keeps the cancellation.  The bounds are the
# measured errors rounded up, so a change of formula that loses more shows.
@pytest.mark.parametrize(
    "rho, u, bound",
    [(0.01, 10.0, 2e-10), (0.01, 100.0, 1e-8), (0.1, 100.0, 2e-10), (1.0, 1000.0, 1e-10)],
)
def test_cancellation_far_from_small_source(rho, u, bound):
    got = wm([u / rho], 1.0, rho)[0]
    want = float(uniform_disk(u, rho, dps=30))
    assert abs(got / want - 1) < bound
