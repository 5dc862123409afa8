"""High-precision references for limb-darkened sources.

The physical magnification of a source with radial surface brightness I(x)
(x in source radii) is the brightness-weighted mean of the point-source
magnification over the disk.  Written as a stack of rings it is

    A(l) = int_0^1 2 pi x I(x) M(l, x) dx / int_0^1 2 pi x I(x) dx,

with M(l, x) the mean point-source magnification around the ring of radius x
(an mpmath quadrature of the point-source magnification
A(u) = (u^2 + 2) / (u sqrt(u^2 + 4)) around the ring, as ``reference.ring_mean``
but stable for rings that pass arbitrarily close to the lens).  M has a logarithmic singularity at
x = l, where the ring passes through the lens, so the outer integral is split
there; mpmath's tanh-sinh rule is exact to working precision for such
endpoint singularities.  Nothing here calls tavlomer.
"""

import mpmath

from reference import point_source


def ring_mean(l, x, eps):
    """Mean point-source magnification around the ring of radius x (source
    radii) centred at distance l from the lens; eps = re / rstar.

    The squared distance of a ring point from the lens is written as
    (l - x)^2 + 4 l x sin^2(theta / 2), free of cancellation, and the angular
    integral is split geometrically towards theta = 0, where the integrand
    peaks with width |l - x| / sqrt(l x) when the ring passes near the lens.
    """
    gap = (l - x) ** 2
    four_lx = 4 * l * x

    def integrand(theta):
        return point_source(mpmath.sqrt(gap + four_lx * mpmath.sin(theta / 2) ** 2) / eps)

    if four_lx <= 0:
        return point_source(abs(l - x) / eps)  # every ring point at distance |l - x|
    if l == x:
        # The ring passes through the lens: M is infinite (logarithmically).
        # The outer quadrature asks for it only at a node that rounds onto
        # its endpoint x = l, whose weight is below the working precision.
        return mpmath.mpf(0)
    points = [mpmath.mpf(0)]
    width = abs(l - x) / mpmath.sqrt(l * x)
    while width < 1:
        points.append(width)
        width *= 16
    points.append(mpmath.pi)
    return mpmath.quad(integrand, points) / mpmath.pi


def linear_profile(c):
    """Linear limb darkening I(x) = 1 - c (1 - sqrt(1 - x^2))."""
    return lambda x: 1 - c * (1 - mpmath.sqrt(1 - x * x))


def tabulated_profile(bl, bf):
    """Piecewise-linear brightness through (bl[i], bf[i]), zero outside."""
    bl = [mpmath.mpf(b) for b in bl]
    bf = [mpmath.mpf(b) for b in bf]

    def profile(x):
        if x < bl[0] or x > bl[-1]:
            return mpmath.mpf(0)
        for i in range(len(bl) - 1):
            if x <= bl[i + 1]:
                t = (x - bl[i]) / (bl[i + 1] - bl[i])
                return bf[i] + t * (bf[i + 1] - bf[i])
        return bf[-1]

    return profile


def limb_darkened(l, eps, profile, breaks=(), dps=20):
    """Brightness-weighted mean point-source magnification of the source at
    separation l (source radii); eps = re / rstar.  ``breaks`` lists radii
    where the profile has a kink (tabulated radii), split points for the
    quadrature."""
    with mpmath.workdps(dps):
        l, eps = mpmath.mpf(l), mpmath.mpf(eps)
        points = sorted({mpmath.mpf(0), mpmath.mpf(1)}
                        | {mpmath.mpf(b) for b in breaks if 0 < b < 1}
                        | ({l} if 0 < l < 1 else set()))
        flux = mpmath.quad(lambda x: 2 * mpmath.pi * x * profile(x), points)
        # The inner rule need not be finer than the outer target.
        total = mpmath.quad(
            lambda x: 2 * mpmath.pi * x * profile(x) * ring_mean(l, x, eps), points)
        return total / flux
