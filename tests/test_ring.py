"""heyrovsky_magnification (one thin ring) and the discrete ring sum."""

import math
import struct

import pytest

import tavlomer
from reference import point_source, ring_mean

ring = tavlomer.heyrovsky_magnification
discrete = tavlomer.discrete_flux_map_heyrovsky_magnification
inf, nan = float("inf"), float("nan")


def point_value(d, eps):
    g = eps * eps
    return (d * d + 2 * g) / (d * math.sqrt(d * d + 4 * g))


# The ring value is the mean of the point-source magnification around the
# ring, computed here by direct numerical averaging.
@pytest.mark.parametrize("eps", [0.05, 1.0, 7.0])
@pytest.mark.parametrize(
    "l, r", [(2.0, 0.5), (0.5, 2.0), (0.0, 0.7), (1.2, 1.0), (1.0, 1.2), (0.3, 0.9), (5.0, 1.0)]
)
def test_ring_is_mean_of_point_source(l, r, eps):
    got = ring(l, r, eps, 1.0)
    assert got == pytest.approx(float(ring_mean(l, r, eps)), rel=1e-12)


@pytest.mark.parametrize(
    "l, r, re, rstar, expected, tol",
    [
        (2.0, 0.5, 1.0, 1.0, 1.06794006184, 1e-11),
        (1.0005, 1.0, 1.0, 1.0, 3.46916, 1e-5),  # near-ring expansion, lens outside
        (0.9995, 1.0, 1.0, 1.0, 0.0, 0.0),  # lens just inside the ring: defined as 0
        (0.0, 0.0005, 1.0, 1.0, 0.0, 0.0),
    ],
)
def test_stated_values(l, r, re, rstar, expected, tol):
    assert ring(l, r, re, rstar) == pytest.approx(expected, abs=tol)


@pytest.mark.parametrize("eps", [0.3, 1.0, 4.0])
@pytest.mark.parametrize("d", [0.001, 0.01, 0.5, 3.0])
def test_point_source_limits(d, eps):
    # A ring of radius 0 is a point at distance l; a ring around the lens is
    # everywhere at distance r from it.
    assert ring(d, 0.0, eps, 1.0) == pytest.approx(point_value(d, eps), rel=1e-14)
    assert ring(0.0, d, eps, 1.0) == pytest.approx(point_value(d, eps), rel=1e-14)


def test_branch_edges():
    # l - r == 0.001 exactly takes the general form (the point-source value);
    # 1.001 - 1 is just below 0.001 and takes the expansion.
    assert ring(0.001, 0.0, 1.0, 1.0) == pytest.approx(point_value(0.001, 1.0), rel=1e-14)
    # The expansion about the ring is first order in l - r: at the band's
    # edge it is within 1e-3 of the true mean.
    near = ring(1.001, 1.0, 1.0, 1.0)
    assert near == pytest.approx(float(ring_mean(1.001, 1.0, 1.0, dps=40)), rel=1e-3)
    assert ring(1.0, 1.0, 1.0, 1.0) == inf
    assert math.isnan(ring(0.0, 0.0, 1.0, 1.0))


def test_returns_float_and_only_ratio_enters():
    a = ring(1.7, 0.4, 3.0, 1.5)
    assert type(a) is float
    assert a == ring(1.7, 0.4, 2.0, 1.0)


@pytest.mark.parametrize(
    "args, message",
    [
        # A negative radius gives a NaN parameter, and RJ cannot converge.
        ((1.0, -0.5, 1.0, 1.0), "elliprj: Fail to converge"),
        # The ring almost through the lens, far away: the characteristic rounds to 1.
        ((1e11, 99999999999.999, 1.0, 1.0), "ellippi: n must be less than 1."),
    ],
)
def test_kernel_failures(args, message):
    with pytest.raises(RuntimeError) as info:
        ring(*args)
    assert info.value.args == (message,)


# --- the discrete ring sum ---------------------------------------------------

LS = [0.0, 0.3, 0.8, 1.5, 4.0]


def bits(values):
    return [struct.pack("<d", v) for v in values]


def test_one_ring_reproduces_ring_function():
    for r in [0.0, 0.25, 1.0]:
        got = discrete(LS, 2.0, 1.0, [r], [1.0])
        assert bits(got) == bits([ring(l, r, 2.0, 1.0) for l in LS])


def test_weighted_sum_in_table_order():
    bl, bf = [0.2, 0.9, 0.5], [0.5, -1.25, 3.0]
    got = discrete(LS, 1.5, 1.0, bl, bf)
    for l, a in zip(LS, got):
        total = 0.0
        for r, w in zip(bl, bf):
            total = total + ring(l, r, 1.5, 1.0) * w
        assert a == total


def test_weights_are_not_normalised():
    bl, bf = [0.2, 0.6], [1.0, 2.0]
    base = discrete(LS, 1.0, 1.0, bl, bf)
    scaled = discrete(LS, 1.0, 1.0, bl, [3.0 * w for w in bf])
    for a, b in zip(base, scaled):
        assert b == pytest.approx(3.0 * a, rel=1e-15)


def test_ring_through_lens_and_just_outside():
    assert discrete([0.5], 1.0, 1.0, [0.5, 0.2], [1.0, 1.0]) == [inf]
    assert math.isnan(discrete([0.5], 1.0, 1.0, [0.5], [0.0])[0])
    # A ring just outside the lens contributes exactly 0.
    assert discrete([0.5], 1.0, 1.0, [0.5005], [7.0]) == [0.0]


def test_empty_tables_and_separations():
    assert discrete([1.0, 2.0, 3.0], 1.0, 1.0, [], []) == [0.0, 0.0, 0.0]
    assert discrete([], 1.0, 1.0, [0.5], [1.0]) == []


@pytest.mark.parametrize("ls", [[], [1.0]])
def test_unequal_tables_panic_even_without_separations(ls):
    with pytest.raises(BaseException) as info:
        discrete(ls, 1.0, 1.0, [0.1, 0.2, 0.3], [1.0, 1.0])
    assert type(info.value).__qualname__ == "PanicException"
    assert type(info.value).__module__ == "pyo3_runtime"
    assert str(info.value) == "assertion `left == right` failed\n  left: 3\n right: 2"


def test_first_failure_ends_call():
    with pytest.raises(RuntimeError) as info:
        discrete([1.0, 2.0], 1.0, 1.0, [0.5, -0.5], [1.0, 1.0])
    assert info.value.args == ("elliprj: Fail to converge",)
