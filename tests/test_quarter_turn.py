"""The sine and cosine of the source pieces' angular nodes
(src/physics/quarter_turn.hpp) against mpmath, in units of the result's last
place: everywhere on the quarter turn, at both ends, and on either side of
pi/4 where the two polynomials change roles."""

import math
import random
from array import array

import mpmath
import tavlomer_testing as kt

HALF_PI = math.pi / 2
QUARTER_PI = math.pi / 4


def _angles():
    rng = random.Random(20261211)
    ys = [rng.uniform(0.0, HALF_PI) for _ in range(3000)]
    ys += [0.0, 5e-324, 1e-300, 1e-8, HALF_PI, math.nextafter(HALF_PI, 0.0), HALF_PI - 1e-9]
    edge = QUARTER_PI
    for _ in range(20):
        ys += [edge, math.nextafter(edge, HALF_PI)]
        edge = math.nextafter(edge, 0.0)
    return ys


def test_quarter_turn_sine_and_cosine_are_within_two_ulps():
    ys = _angles()
    sines, cosines = array("d", bytes(8 * len(ys))), array("d", bytes(8 * len(ys)))
    kt.quarter_sin_many(sines, array("d", ys))
    kt.quarter_cos_many(cosines, array("d", ys))
    worst = 0.0
    with mpmath.workdps(40):
        for y, s, c in zip(ys, sines, cosines):
            for got, exact in ((s, mpmath.sin(y)), (c, mpmath.cos(y))):
                ulps = abs(mpmath.mpf(got) - exact) / math.ulp(float(exact))
                worst = max(worst, float(ulps))
    assert worst <= 2.0, worst
