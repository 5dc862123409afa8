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
    return mpmath.quad(integrand, _angular_splits(l, x, l - x)) / mpmath.pi


def _angular_splits(l, x, difference):
    """Split points of a ring's angular integral, geometric towards theta = 0
    from the width |l - x| / sqrt(l x) of its peak there."""
    points = [mpmath.mpf(0)]
    width = abs(difference) / mpmath.sqrt(l * x)
    while width < 1:
        points.append(width)
        width *= 16
    points.append(mpmath.pi)
    return points


def linear_profile(c):
    """Linear limb darkening I(x) = 1 - c (1 - sqrt(1 - x^2))."""
    return lambda x: 1 - c * (1 - mpmath.sqrt(1 - x * x))


def power2_of_v(c, alpha):
    """The power-2 law I = 1 - c (1 - mu^alpha) as ``limb_darkened_with_slopes``
    takes it, in v = sqrt(mu): mu^alpha = v^(2 alpha), so I, dI/dv =
    2 alpha c v^(2 alpha - 1) (an endpoint singularity for alpha < 1/2, which
    tanh-sinh integrates), and the derivatives in c, v^(2 alpha) - 1, and in
    alpha, c v^(2 alpha) 2 log v (0 on the limb)."""
    c, alpha = mpmath.mpf(c), mpmath.mpf(alpha)

    def law(v):
        if not v:
            return 1 - c, mpmath.mpf(0) if alpha > 0.5 else mpmath.inf, [-mpmath.mpf(1), 0]
        power = v ** (2 * alpha)
        return (1 - c * (1 - power), 2 * alpha * c * power / v,
                [power - 1, 2 * c * power * mpmath.log(v)])
    return law


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


def _ring_means(l, x, difference, eps):
    """M and C of the ring of radius x at lens distance l (source radii):
    the mean point-source magnification around it, and its mean weighted by
    cos(phi), phi the angle about the source's centre from the direction
    away from the lens.  ``difference`` is l - x, formed by the caller
    without cancellation.  The two share their integrand's values (the same
    splits give the same tanh-sinh nodes)."""
    if 4 * l * x <= 0:
        return point_source(abs(difference) / eps), mpmath.mpf(0)
    if difference == 0:
        return mpmath.mpf(0), mpmath.mpf(0)  # as in ring_mean: a node on the endpoint
    gap, four_lx = difference ** 2, 4 * l * x
    values = {}

    def magnification(theta):  # theta = pi - phi: 0 nearest the lens
        if theta not in values:
            values[theta] = point_source(
                mpmath.sqrt(gap + four_lx * mpmath.sin(theta / 2) ** 2) / eps)
        return values[theta]

    points = _angular_splits(l, x, difference)
    mean = mpmath.quad(magnification, points) / mpmath.pi
    cosine = -mpmath.quad(lambda t: mpmath.cos(t) * magnification(t), points) / mpmath.pi
    return mean, cosine


def _lens_geometry(u, rho):
    """l = u / rho, l - 1 and eps = 1 / rho at the working precision, from
    the exact values of the doubles u and rho (l - 1 without cancellation)."""
    with mpmath.workdps(mpmath.mp.dps + 40):
        u, rho = mpmath.mpf(u), mpmath.mpf(rho)
        l, past_limb, eps = u / rho, (u - rho) / rho, 1 / rho
    return +l, +past_limb, +eps


def limb_darkened_with_slopes(u, rho, law, breaks=(), dps=15, peak=None):
    """The magnification of ``limb_darkened`` and its derivatives in u and rho
    (Einstein radii; u and rho are taken as the exact values of the doubles
    given) and in each coefficient.

    Not by differences: with N the magnified flux, the integral of
    I(|y - u|/rho) A(|y|) over the lens plane, and F = int x I dx, moving or
    growing the source moves its profile, and integrating by parts over the
    radius (the profile's step to 0 at the limb giving the edge terms) leaves
    ring means alone:

        dA/du   = (I(1) C(1) - int x I'(x) C(x) dx) / (rho F)
        dA/drho = (I(1) M(1) - int x^2 I'(x) M(x) dx) / (rho F) - 2 A / rho
        dA/dc   = int x (dI/dc) (M(x) - A) dx / F

    with M(x) and C(x) the plain and cosine-weighted ring means
    (``_ring_means``) for the lens at l = u / rho.  The integrals run over
    v = mu^(1/2) = (1 - x^2)^(1/4), where x dx = -2 v^3 dv and the laws'
    slopes at the limb, as steep as (1 - x)^(-3/4), become smooth:
    ``law(v)`` gives I, dI/dv and the derivatives of I in the coefficients
    there.  Each ring's distance from the lens, l - x, is formed as
    (l - 1) + v^4 / (1 + x), so a lens 1e-12 from the limb needs no more
    working precision than any other.  ``breaks`` are radii x where the
    profile has a kink.  On the limb (l = 1) the ring means at x = 1 are
    infinite, and so are the slopes in u and rho of a bright edge.  ``peak``
    is a power p of a profile term v^p much steeper than the rest: the
    integrals are split where v^p falls by 2^k (k = 1, 2, 4, ..., 32), so
    that the quadrature sees its drop (v^60 leaves 2e-9 otherwise)."""
    with mpmath.workdps(dps):
        l, past_limb, eps = _lens_geometry(u, rho)
        rho = mpmath.mpf(rho)
        kinks = [(1 - mpmath.mpf(b) ** 2) ** 0.25 for b in breaks if 0 < b < 1]
        if 0 < l < 1:
            kinks.append((-past_limb * (2 + past_limb)) ** 0.25)
        if peak is not None and peak > 8:
            kinks += [mpmath.mpf(2) ** (-mpmath.mpf(2 ** k) / peak) for k in range(6)]
        points = sorted({mpmath.mpf(0), mpmath.mpf(1), *kinks})
        cache = {}

        def integral(f):  # f(v, x, I, dI/dv, dI/dc, M, C)
            def integrand(v):
                if v not in cache:
                    x = mpmath.sqrt(1 - v ** 4)
                    cache[v] = (x, *law(v),
                                *_ring_means(l, x, past_limb + v ** 4 / (1 + x), eps))
                return f(v, *cache[v])
            return mpmath.quad(integrand, points)

        try:
            flux = integral(lambda v, x, i, di, dc, m, c: 2 * v ** 3 * i)
            value = integral(lambda v, x, i, di, dc, m, c: 2 * v ** 3 * i * m) / flux
            edge, _, partials = law(mpmath.mpf(0))
            partials = [integral(lambda v, x, i, di, dc, m, c, k=k:
                                 2 * v ** 3 * dc[k] * (m - value)) / flux
                        for k in range(len(partials))]
            if past_limb == 0 and edge > 0:
                return value, -mpmath.inf, mpmath.inf, partials
            edge_mean, edge_cosine = _ring_means(l, mpmath.mpf(1), past_limb, eps)
            du = (edge * edge_cosine
                  + integral(lambda v, x, i, di, dc, m, c: x * di * c)) / (rho * flux)
            drho = ((edge * edge_mean
                     + integral(lambda v, x, i, di, dc, m, c: x * x * di * m)) / (rho * flux)
                    - 2 * value / rho)
            return value, du, drho, partials
        finally:
            # mpmath keeps the nodes of every interval it has integrated
            # over, and every ring has intervals of its own.
            mpmath.mp._tanh_sinh.clear()


def edge_ring_means(u, rho, dps=40):
    """M and C (``_ring_means``) of a source's edge, x = 1, for the lens at u
    (u and rho in Einstein radii, taken as the exact values of the doubles
    given).  A uniform disk's slopes come from them alone: I' = 0 and
    I(1) = 1 leave dA/du = 2 C / rho and dA/drho = 2 (M - A) / rho in
    ``limb_darkened_with_slopes``."""
    with mpmath.workdps(dps):
        l, past_limb, eps = _lens_geometry(u, rho)
        try:
            return _ring_means(l, mpmath.mpf(1), past_limb, eps)
        finally:
            mpmath.mp._tanh_sinh.clear()


def centroid_shift(u, rho, profile, breaks=(), dps=20):
    """Shift of the images' light centroid from the source centre along the
    lens-source axis (Einstein radii, positive away from the lens), of the
    source of radius rho at separation u with radial brightness
    ``profile`` (as in limb_darkened): a two-dimensional quadrature over the
    source, ring by ring about its centre, of the point-source images'
    magnified light A(s) and its first moment along the axis,
    A(s) * s (s^2 + 3) / (s^2 + 2) * cos(phi) = (s^2 + 3) / sqrt(s^2 + 4) * cos(phi),
    at the distance s of each source point from the lens.  Both ring means
    peak where the ring passes the lens (x = u / rho), where the radial
    integral is split."""
    with mpmath.workdps(dps):
        u, rho = mpmath.mpf(u), mpmath.mpf(rho)
        l = u / rho

        def ring(x, moment):
            t = x * rho
            gap, four_ut = (u - t) ** 2, 4 * u * t

            def integrand(theta):  # theta = 0 nearest the lens
                s = mpmath.sqrt(gap + four_ut * mpmath.sin(theta / 2) ** 2)
                if s == 0:
                    return mpmath.mpf(0)
                along = u - t * mpmath.cos(theta)  # the point's coordinate on the axis
                if moment:
                    return (s * s + 3) / mpmath.sqrt(s * s + 4) * along / s
                return (s * s + 2) / (s * mpmath.sqrt(s * s + 4))

            if four_ut == 0:
                return integrand(mpmath.mpf(0))
            points = _angular_splits(l, x, l - x) if x != l else [0, mpmath.pi]
            return mpmath.quad(integrand, points) / mpmath.pi

        points = sorted({mpmath.mpf(0), mpmath.mpf(1)}
                        | {mpmath.mpf(b) for b in breaks if 0 < b < 1}
                        | ({l} if 0 < l < 1 else set()))
        light = mpmath.quad(lambda x: x * profile(x) * ring(x, False), points)
        moment = mpmath.quad(lambda x: x * profile(x) * ring(x, True), points)
        return moment / light - u
