"""The batch uniform disk of every target against the scalar disk, to the bit.

Each target (SSE2, AVX2, AVX-512, whichever this build and processor have)
must give, for every (u, rho, delta), the very bits of the scalar disk, with
slopes and with the centroid moment: the lanes carry the closed form and
its mean iteration, whose stop each lane takes on its own step, and leave
every other form to the scalar disk.  The sample mixes all the forms and the
boundaries between them: the closed form from the centre to the limb (u =
rho within a few ulps, delta given apart from u - rho, delta = 0), u / rho
at and around 3 and (the moment's closed form) 1/10, the small scale,
sources and separations beyond 1e100, NaN and infinite arguments.  The
scalar target itself is checked against tavlomer_physics.uniform (delta =
u - rho), with and without the centroid.

The laws' quadrature takes its nodes' disks through the batch, without
slopes for the values alone, with them for gradient=True and with the
centroid moments for centroid=True, refining the values exactly as without.
So every law's value must be the same bits every way (the derivatives and
the shifts are checked against references elsewhere).
"""

import math
import platform
import struct
from array import array

import numpy as np
from hypothesis import given, settings
from hypothesis import strategies as st

import tavlomer_physics
import tavlomer_testing as kt

radius = st.floats(1e-6, 1e3)
ratio = st.one_of(
    st.floats(0.0, 3.0, exclude_max=True),             # closed form
    st.sampled_from([0.09999999999999999, 0.1, 0.10000000000000002]),  # the moment's
    st.floats(0.999, 1.001),                           # near the limb
    st.sampled_from([1.0, 2.9999999999999996, 3.0, 3.0000000000000004]),
    st.floats(3.0, 1e6),                               # far form
)


@st.composite
def geometry(draw):
    """(u, rho, delta) of one disk, its form drawn first."""
    form = draw(st.sampled_from(["ratio", "ratio", "ratio", "delta", "small", "large", "odd"]))
    if form == "small":
        rho = draw(st.floats(1e-130, 1e-95))
        u = rho * draw(ratio)
        return u, rho, u - rho
    if form == "large":
        rho = draw(st.floats(1e95, 1e105))
        return rho * draw(st.floats(0.0, 5.0)), rho, draw(st.floats(-1e105, 1e105))
    if form == "odd":
        u, rho = draw(radius), draw(radius)
        delta = u - rho
        slot = draw(st.integers(0, 2))
        bad = draw(st.sampled_from([math.nan, -math.nan, math.inf, -math.inf]))
        return tuple(bad if i == slot else x for i, x in enumerate((u, rho, delta)))
    rho = draw(radius)
    u = rho * draw(ratio)
    if form == "delta":  # a caller's delta, known better than u - rho
        return u, rho, draw(st.sampled_from([0.0, -0.0, 1e-300, -1e-150, (u - rho) * 0.5]))
    return u, rho, u - rho


def bits(values):
    return [struct.pack("<d", v) for v in values]


@settings(max_examples=150, deadline=None)
@given(st.lists(geometry(), min_size=1, max_size=40))
def test_every_target_gives_the_scalar_disks_bits(sample):
    u, rho, delta = (array("d", column) for column in zip(*sample))
    expected = array("d", bytes(8 * len(u)))
    kt.disk_batch("scalar", expected, u, rho, delta)
    for target in kt.disk_targets()[1:]:
        got = array("d", bytes(8 * len(u)))
        kt.disk_batch(target, got, u, rho, delta)
        for i, (g, e) in enumerate(zip(bits(got), bits(expected))):
            assert g == e, (f"{target} disk({u[i]!r}, {rho[i]!r}, {delta[i]!r}): "
                            f"{got[i]!r} instead of {expected[i]!r}")
        # With derivatives, as the laws' quadrature takes its nested disks:
        # radius r = x rho, seeds (1, 0) for u and (0, x) for rho.
        x = array("d", [0.5] * len(u))
        for which in range(3):
            want = array("d", bytes(8 * len(u)))
            have = array("d", bytes(8 * len(u)))
            kt.disk_batch_slopes("scalar", which, want, u, rho, x, delta)
            kt.disk_batch_slopes(target, which, have, u, rho, x, delta)
            for i, (g, e) in enumerate(zip(bits(have), bits(want))):
                assert g == e, (f"{target} slope {which} of disk({u[i]!r}, {rho[i]!r}, "
                                f"{delta[i]!r}): {have[i]!r} instead of {want[i]!r}")
        # With the centroid moment, whose lanes start at u = rho / 10.
        for which in range(2):
            want = array("d", bytes(8 * len(u)))
            have = array("d", bytes(8 * len(u)))
            kt.disk_batch_centroids("scalar", which, want, u, rho, delta)
            kt.disk_batch_centroids(target, which, have, u, rho, delta)
            for i, (g, e) in enumerate(zip(bits(have), bits(want))):
                assert g == e, (f"{target} centroid {which} of disk({u[i]!r}, {rho[i]!r}, "
                                f"{delta[i]!r}): {have[i]!r} instead of {want[i]!r}")
    # The scalar target is the disk uniform() takes (where delta = u - rho),
    # and its centroid moment uniform(centroid=True)'s shift times A.
    moment = array("d", bytes(8 * len(u)))
    kt.disk_batch_centroids("scalar", 1, moment, u, rho, delta)
    for i in range(len(u)):
        if u[i] >= 0.0 and 0.0 < rho[i] < math.inf and struct.pack("<d", delta[i]) == struct.pack("<d", u[i] - rho[i]):
            assert bits([tavlomer_physics.uniform(u[i], rho[i])]) == bits([expected[i]])
            a, shift = tavlomer_physics.uniform(u[i], rho[i], centroid=True)
            assert bits([a, shift]) == bits([expected[i], moment[i] / expected[i]])


def test_x86_builds_have_the_vector_targets():
    # x86-64 always has SSE2; a build without the vector targets would pass
    # the test above with nothing to compare.
    if platform.machine().lower() in ("x86_64", "amd64"):
        assert kt.disk_targets()[:2] == ("scalar", "sse2")


TABLE_RADII = np.linspace(0.0, 1.0, 11)
LAWS = {
    "linear": (0.6,), "quadratic": (0.4, 0.3), "square_root": (0.3, 0.4),
    "logarithmic": (0.5, 0.2), "power2": (0.7, 0.6), "claret4": (0.5, 0.1, 0.2, -0.1),
    "tabulated": (TABLE_RADII, 1.0 - 0.6 * (1.0 - np.sqrt(1.0 - TABLE_RADII**2))),
}


@settings(max_examples=25, deadline=None)
@given(st.lists(st.one_of(st.floats(0.0, 4.0), st.sampled_from([1.0, 1 - 1e-9, 1 + 1e-6])),
                min_size=1, max_size=6),
       st.floats(1e-4, 10.0), st.sampled_from([1e-2, 1e-4, 1e-6, 1e-9, 1e-12]))
def test_every_laws_value_is_the_same_with_derivatives_or_shifts_and_without(ratios, rho, rtol):
    u = np.array(ratios) * rho
    for law, coefficients in LAWS.items():
        call = getattr(tavlomer_physics, law)
        if law == "tabulated":  # one separation per call
            lanes = [call(x, rho, *coefficients, rtol=rtol) for x in u]
            slopes = [call(x, rho, *coefficients, rtol=rtol, gradient=True)[0] for x in u]
            moments = [call(x, rho, *coefficients, rtol=rtol, centroid=True)[0] for x in u]
        else:
            lanes = call(u, rho, *coefficients, rtol=rtol)
            slopes = call(u, rho, *coefficients, rtol=rtol, gradient=True)[0]
            moments = call(u, rho, *coefficients, rtol=rtol, centroid=True)[0]
        assert np.asarray(lanes).tobytes() == np.asarray(slopes).tobytes(), (law, list(u), rho, rtol)
        assert np.asarray(lanes).tobytes() == np.asarray(moments).tobytes(), (law, list(u), rho, rtol)
