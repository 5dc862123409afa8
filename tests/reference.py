"""Independent high-precision references for the magnification models.

Everything here is computed with mpmath from the point-source point-lens
magnification A(u) = (u^2 + 2) / (u sqrt(u^2 + 4)) alone, never from the
elliptic-integral closed forms that the module evaluates.
"""

import mpmath

mp = mpmath.mp


def point_source(u):
    """Point-source magnification at lens distance u (Einstein radii)."""
    u = mpmath.mpf(u)
    return (u * u + 2) / (u * mpmath.sqrt(u * u + 4))


def ring_mean(l, r, eps, dps=30):
    """Mean of the point-source magnification around the ring of radius r
    (source radii) centred at distance l from the lens; eps = re / rstar."""
    with mpmath.workdps(dps):
        l, r, eps = mpmath.mpf(l), mpmath.mpf(r), mpmath.mpf(eps)

        def integrand(theta):
            return point_source(mpmath.sqrt(l * l + r * r - 2 * l * r * mpmath.cos(theta)) / eps)

        return mpmath.quad(integrand, [0, mpmath.pi / 2, mpmath.pi]) / mpmath.pi


def uniform_disk(u0, rho, dps=30):
    """Magnification of a uniform disk of radius rho centred at distance u0
    from the lens (both in Einstein radii).

    In polar coordinates about the lens the radial integral of A(u) u du has
    the closed form F(u) = u sqrt(u^2 + 4) / 2, leaving one angular integral
    (Lee et al. 2009, ApJ 695, 200, sec. 2).
    """
    with mpmath.workdps(dps):
        u0, rho = mpmath.mpf(u0), mpmath.mpf(rho)

        def F(u):
            return u * mpmath.sqrt(u * u + 4) / 2

        if u0 < rho:
            def integrand(phi):
                c, s = mpmath.cos(phi), mpmath.sin(phi)
                return F(u0 * c + mpmath.sqrt(rho * rho - u0 * u0 * s * s))

            total = 2 * mpmath.quad(integrand, [0, mpmath.pi / 2, mpmath.pi])
        else:
            edge = mpmath.asin(rho / u0)

            def integrand(phi):
                c, s = mpmath.cos(phi), mpmath.sin(phi)
                root = mpmath.sqrt(max(rho * rho - u0 * u0 * s * s, 0))
                return F(u0 * c + root) - F(u0 * c - root)

            total = 2 * mpmath.quad(integrand, [0, edge])
        return total / (mpmath.pi * rho * rho)
