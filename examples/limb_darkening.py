"""The physical magnification of a limb-darkened source, from the ring sum.

A source with radial surface brightness I(x) (x in source radii) is a stack
of thin rings.  Its magnification is the brightness-weighted mean of the ring
magnifications M(l, x):

    A(l) = int_0^1 2 pi x I(x) M(l, x) dx / int_0^1 2 pi x I(x) dx.

``discrete_flux_map_heyrovsky_magnification(l, re, rstar, bl, bf)`` returns
sum_j bf[j] M(l, bl[j]), so with quadrature radii bl and weights
bf = 2 pi x I(x) dx / flux it computes A(l).  The radii have to respect two
features of the integrand:

* M(l, x) has a logarithmic singularity at x = l, where the ring passes
  through the lens, and the module defines M as exactly 0.0 for rings just
  wider than the lens's distance (l < x < l + 0.001: the lens just inside
  the ring) and as a first-order expansion for rings just narrower
  (l - 0.001 < x <= l).  The rule leaves out a gap |x - l| < 1.5e-5 around the lens,
  integrates up to it on Gauss-Legendre panels that shrink geometrically
  towards the lens, and adds the gap's integral through a product rule for
  a + b log|x - l| fitted to the rings at l +- gap and l +- 2 gap (further
  weighted rings).  Only re / rstar enters the module, so every radius, the
  separation and re are handed over multiplied by one scale, chosen so that
  the module's 0.001 band lies inside the gap: the same physical rings.
* Linear limb darkening has a square-root edge at x = 1; the panels shrink
  towards the edge too.

Against an mpmath reference the result is good to 3e-9 relative or better
inside, near and outside the limb (tests/test_physics.py, bench/accuracy.py),
from 190 to 370 rings, one module call per separation.

Run ``python3 examples/limb_darkening.py`` to print a few values.
"""

import math

import tavlomer

GAP = 1.5e-5  # half-width of the gap left around the lens, source radii
RATIO = 3.0  # growth of the panels away from the lens and from the edge
EDGE = 1e-9  # the panel touching the edge x = 1 is this wide
NODES = 10  # Gauss-Legendre nodes per panel
BAND = 0.001  # the module's near-ring band |l - x| < 0.001, in its own units


def _gauss_legendre(n):
    """Nodes and weights of the n-point Gauss-Legendre rule on [-1, 1]
    (Newton's method on the Legendre recurrence)."""
    nodes, weights = [], []
    for i in range(n):
        x = math.cos(math.pi * (i + 0.75) / (n + 0.5))
        for _ in range(100):
            p0, p1 = 1.0, x
            for k in range(2, n + 1):
                p0, p1 = p1, ((2 * k - 1) * x * p1 - (k - 1) * p0) / k
            dp = n * (x * p1 - p0) / (x * x - 1)
            x -= p1 / dp
            if abs(p1 / dp) < 1e-16:
                break
        nodes.append(x)
        weights.append(2 / ((1 - x * x) * dp * dp))
    return nodes, weights


_GL = _gauss_legendre(NODES)


def _geometric(start, stop, first):
    """Panel edges from start towards stop: the first panel ``first`` wide,
    each next one RATIO times wider, the last one ending at stop."""
    sign = 1.0 if stop > start else -1.0
    edges, width = [start], first
    while (stop - edges[-1]) * sign > width * RATIO:
        edges.append(edges[-1] + sign * width)
        width *= RATIO
    return edges + [stop]


def _rule(points, first_width):
    """Gauss-Legendre radii and dx weights on [points[0], points[-1]], split
    at every point; panels shrink geometrically towards each point that
    ``first_width`` names (its value is the width of the panel next to it)."""
    radii, dx = [], []
    for a, b in zip(points, points[1:]):
        wa, wb = first_width.get(a), first_width.get(b)
        if wa is None and wb is None:
            edges = [a, b]
        elif wb is None:
            edges = _geometric(a, b, wa)
        elif wa is None:
            edges = _geometric(b, a, wb)[::-1]
        else:
            mid = 0.5 * (a + b)
            edges = _geometric(a, mid, wa)[:-1] + _geometric(b, mid, wb)[::-1]
        for lo, hi in zip(edges, edges[1:]):
            half, centre = 0.5 * (hi - lo), 0.5 * (hi + lo)
            radii += [centre + half * t for t in _GL[0]]
            dx += [half * w for w in _GL[1]]
    return radii, dx


def source_flux(profile, kinks=()):
    """int_0^1 2 pi x I(x) dx, on the panels that ``ring_rule`` uses away from
    the lens."""
    x, dx = _rule(sorted({0.0, 1.0} | {k for k in kinks if 0.0 < k < 1.0}), {1.0: EDGE})
    return sum(2 * math.pi * xi * profile(xi) * wi for xi, wi in zip(x, dx))


def ring_rule(l, profile, kinks=(), flux=None):
    """Radii x and weights w of rings whose weighted sum sum_j w[j] M(l, x[j])
    is the magnification of the source at separation l >= 0, together with
    the scale to apply to radii, separation and re before calling the module.

    profile: the surface brightness I(x) on [0, 1], any scale.
    kinks: radii where the profile has a corner (the radii of a table); the
    rule splits there so that each panel sees a smooth profile.
    """
    if flux is None:
        flux = source_flux(profile, kinks)
    kinks = {k for k in kinks if 0.0 < k < 1.0}
    if not 0.0 < l < 1.0:
        # No ring of the source passes through the lens; a lens at the centre
        # makes every ring's value finite, but the module's band would zero
        # the rings x < 0.001 / scale, hence the large scale there.
        scale = 1e9 if l == 0.0 else 1.5 * BAND / GAP
        radii, dx = _rule(sorted({0.0, 1.0} | kinks), {1.0: EDGE})
        return radii, [2 * math.pi * x * profile(x) * w / flux for x, w in zip(radii, dx)], scale
    # A lens very near the centre gets a gap proportional to l, so that the
    # weight 2 pi x, which varies by 2 gap / l across it, stays nearly flat.
    gap = min(GAP, l / 100)
    top = min(l + gap, 1.0)
    points = sorted({0.0, l - gap, 1.0} | kinks | ({top} if top < 1.0 else set()))
    points = [p for p in points if not l - gap < p < top]
    radii, dx = _rule(points, {l - gap: gap, top: gap, 1.0: EDGE})
    radii, dx = zip(*[(x, w) for x, w in zip(radii, dx) if not l - gap < x < top])
    weights = [2 * math.pi * x * profile(x) * w for x, w in zip(radii, dx)]
    # The gap [l - gap, top]: M = alpha + beta log|x - l| + odd terms, with
    # alpha and beta from the symmetric means S1 = (M(l - gap) + M(l + gap)) / 2
    # and S2 at 2 gap (the odd terms cancel there): beta = (S2 - S1) / log 2,
    # alpha = S1 - beta log(gap), and the integral of alpha + beta log|t| over
    # [-gap, d], d = top - l, is linear in S1 and S2.
    d = top - l
    log2 = math.log(2.0)
    tail = d * math.log(d / gap) if d > 0 else 0.0
    k = (tail - gap - d) / log2
    c = 2 * math.pi * l * profile(l)
    w1 = c * (gap + d - k) / 2  # per ring at l -+ gap
    w2 = c * k / 2  # per ring at l -+ 2 gap
    radii = list(radii) + [l - gap, l + gap, l - 2 * gap, l + 2 * gap]
    weights += [w1, w1, w2, w2]
    # The module's band, 0.001 of its units, lies within the gap.
    return radii, [w / flux for w in weights], 1.5 * BAND / gap


def limb_darkened_magnification(l, re, rstar, profile, kinks=()):
    """Magnification of a source with surface brightness ``profile`` at each
    separation of ``l`` (source radii, >= 0), one ring sum per separation.

    Only re / rstar enters the module, so radii, separation and re are all
    multiplied by the rule's scale: the same rings, measured in a unit on
    which the module's 0.001 near-ring band falls inside the rule's gap.
    """
    flux = source_flux(profile, kinks)
    result = []
    for li in l:
        radii, weights, scale = ring_rule(li, profile, kinks, flux)
        result += tavlomer.discrete_flux_map_heyrovsky_magnification(
            [scale * li], scale * re, rstar, [scale * x for x in radii], weights)
    return result


def linear_limb_darkening(c):
    """I(x) = 1 - c (1 - sqrt(1 - x^2)), the linear law with coefficient c."""
    return lambda x: 1.0 - c * (1.0 - math.sqrt(max(0.0, 1.0 - x * x)))


def tabulated(bl, bf):
    """Piecewise-linear brightness through (bl, bf), zero outside: the flux
    map of the module's flux-map functions."""
    def profile(x):
        if x < bl[0] or x > bl[-1]:
            return 0.0
        for i in range(len(bl) - 1):
            if x <= bl[i + 1]:
                return bf[i] + (x - bl[i]) * (bf[i + 1] - bf[i]) / (bl[i + 1] - bl[i])
        return bf[-1]
    return profile


if __name__ == "__main__":
    re, rstar = 1.0, 1.0
    separations = [0.0, 0.5, 0.999, 1.0, 1.001, 2.0, 20.0]
    physical = limb_darkened_magnification(separations, re, rstar, linear_limb_darkening(0.6))
    defined = tavlomer.integrated_heyrovsky_magnification(separations, re, rstar)
    uniform = tavlomer.witt_mao_magnification(separations, re, rstar)
    print("  l       uniform disk      limb-darkened     integrated_heyrovsky")
    for row in zip(separations, uniform, physical, defined):
        print("%6.3f  %.12f  %.12f  %.12f" % row)
