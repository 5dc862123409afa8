"""The profile-integrated and flux-map magnifications, uniform disk and ring.

Three kinds of check:
  * the integrands rebuilt here in Python from the module's own plain models
    (the ring and disk magnifications), integrated with the module's
    quadrature, reproduce every result bit for bit: this pins the definition
    (step, order of the ring evaluations, failure as NaN, normalisation)
    independently of how the module tabulates its per-point work;
  * the same integrands integrated by an independent adaptive quadrature
    (QUADPACK through SciPy, else mpmath), split at every point where the
    integrand jumps;
  * physical limits and invariances: far from the source, the ratio re/rstar,
    the scale of the brightnesses, a tabulated copy of the fixed profile.

The ring models integrate (x 2pi)(R + (x/2) R') P over the ring radius x,
with R the ring magnification: the derivative term belongs to their
definition (at separation 2 it gives 1.09123 where the plain ring-weighted
mean would give 1.07491).
"""

import math
import warnings

import mpmath
import pytest

import tavlomer
import tavlomer_testing as kt

TWO_PI = 6.283185307179586
N0 = 2.5132741228717936
CBRT_EPS = 6.0554544523933395e-06
INTEGRATED = [tavlomer.integrated_witt_mao_magnification,
              tavlomer.integrated_heyrovsky_magnification]
FLUX_MAP = [tavlomer.integrated_flux_map_witt_mao_magnification,
            tavlomer.integrated_flux_map_heyrovsky_magnification]
INSIDE = [0.0, 0.3, 0.9, 0.999, 1.0, 1.0005]
OUTSIDE = [1.01, 1.5, 2.0, 20.0]


def fixed_profile(x):
    return 1.0 + (1.0 - math.sqrt(1.0 - x * x)) * -0.6


def point_source(l, eps):
    g = eps * eps
    return (l * l + 2 * g) / (l * math.sqrt(l * l + 4 * g))


def ring_integrand(l, re, rstar, profile):
    """(x 2pi)(R + (x/2) R') profile(x), a failed ring evaluation as NaN."""
    def ring(r):
        try:
            return tavlomer.heyrovsky_magnification(l, r, re, rstar)
        except RuntimeError:
            return math.nan

    def value(x):
        a = ring(x)
        e = (1.0 + abs(x)) * CBRT_EPS
        d = (ring(x + e) - ring(x - e)) / (e + e)
        return ((x * TWO_PI) * (a + (x * 0.5) * d)) * profile(x)
    return value


def disk_integrand(l, re, rstar, profile):
    """The disk magnification, constant in x >= 0, in the same integrand."""
    disk = tavlomer.witt_mao_magnification([l], re, rstar)[0]

    def value(x):
        m = m_prime = 0.0
        if x >= 0.0:
            m = disk
            e = (abs(x) + 1.0) * CBRT_EPS
            m_prime = ((disk if x + e >= 0.0 else 0.0) - (disk if x >= e else 0.0)) / (e + e)
        return ((x * TWO_PI) * (m + (x * 0.5) * m_prime)) * profile(x)
    return value


def table_profile(bl, bf):
    return lambda x: kt.interp(bl, bf, x, 2, 0.0)


def quadrature(f):
    return kt.integrate(f, 0.0, 1.0, 1e-16)[1]


def test_step_scale_is_the_cube_root_of_epsilon():
    assert float(mpmath.cbrt(mpmath.mpf(2) ** -52)) == CBRT_EPS


# --- the definition, bit for bit ---------------------------------------------

# rstar = 0 makes every ring and disk value NaN or infinite: results 0.0.
@pytest.mark.parametrize("l", INSIDE + OUTSIDE + [-0.5, math.nan])
@pytest.mark.parametrize("re, rstar", [(1.0, 1.0), (0.3, 1.7), (1.0, 0.0)])
def test_ring_model_is_its_integrand(l, re, rstar):
    expected = quadrature(ring_integrand(l, re, rstar, fixed_profile)) / N0
    got = tavlomer.integrated_heyrovsky_magnification([l], re, rstar)[0]
    assert got == expected


@pytest.mark.parametrize("l", INSIDE + OUTSIDE)
@pytest.mark.parametrize("re, rstar", [(1.0, 1.0), (0.3, 1.7), (1.0, 0.0)])
def test_disk_model_is_its_integrand(l, re, rstar):
    expected = quadrature(disk_integrand(l, re, rstar, fixed_profile)) / N0
    assert tavlomer.integrated_witt_mao_magnification([l], re, rstar)[0] == expected


@pytest.mark.parametrize("bl, bf", [
    ([0.0, 0.25, 0.6, 1.0], [1.0, 0.93, 0.71, 0.4]),
    ([0.1, 0.5, 2.0], [3.0, 2.0, 0.5]),       # dark below 0.1; beyond 1 shapes the last segment
    ([0.7, 0.2, 0.9], [1.0, 2.0, 0.5]),       # unsorted: whatever interp makes of it
])
def test_flux_map_models_are_their_integrands(bl, bf):
    profile = table_profile(bl, bf)
    norm = quadrature(lambda x: (x * TWO_PI) * profile(x))
    ls = [0.4, 1.3, 3.0]
    rings = tavlomer.integrated_flux_map_heyrovsky_magnification(ls, 1.0, 2.0, bl, bf)
    disks = tavlomer.integrated_flux_map_witt_mao_magnification(ls, 1.0, 2.0, bl, bf)
    assert rings == [quadrature(ring_integrand(l, 1.0, 2.0, profile)) / norm for l in ls]
    assert disks == [quadrature(disk_integrand(l, 1.0, 2.0, profile)) / norm for l in ls]


# --- stated values and limits ------------------------------------------------

@pytest.mark.parametrize("l, expected, tolerance", [(2.0, 1.09123, 5e-6), (20.0, 1.0000125, 5e-8)])
def test_stated_ring_values(l, expected, tolerance):
    got = tavlomer.integrated_heyrovsky_magnification([l], 1.0, 1.0)[0]
    assert abs(got - expected) <= tolerance


def test_integrated_disk_is_the_disk_times_a_fixed_factor():
    # Only the points closer to 0 than the step see a nonzero derivative,
    # which adds 6.6e-12 of the flux; a few ulps of rounding on top.
    ls = [0.0, 0.3, 0.9, 0.999999, 1.0, 1.5, 2.0, 20.0, 300.0]
    plain = tavlomer.witt_mao_magnification(ls, 1.0, 1.0)
    integrated = tavlomer.integrated_witt_mao_magnification(ls, 1.0, 1.0)
    for a, b in zip(plain, integrated):
        assert abs((b / a - 1.0) - 6.6163e-12) < 1e-15


@pytest.mark.parametrize("eps", [0.5, 1.0, 3.0])
@pytest.mark.parametrize("l", [10.0, 50.0, 200.0])
@pytest.mark.parametrize("model", INTEGRATED)
def test_point_source_limit_far_from_the_source(model, l, eps):
    # The first finite-source term of a source of radius rho at distance u
    # (Einstein radii) is <r^2>/4 times the Laplacian 32/u^6 of
    # A - 1 = 2/u^4, at most 8 rho^2/u^6.  On top, the ring model drops the
    # strip x < CBRT_EPS, where the ring at x - e has a negative radius and
    # yields NaN: pi e^2 / N0 = 4.6e-11.
    u, rho = l / eps, 1.0 / eps
    bound = 8.0 * rho * rho / u ** 6 + 1e-10
    assert abs(model([l], eps, 1.0)[0] / point_source(l, eps) - 1.0) <= bound


@pytest.mark.parametrize("model", INTEGRATED)
def test_only_the_ratio_of_the_radii_enters(model):
    ls = [0.0, 0.5, 1.0, 1.7, 6.0]
    # 1.5/3.0 and 0.375/0.75 are exactly 0.5, 3.0/1.5 exactly 2.0.
    assert model(ls, 1.5, 3.0) == model(ls, 0.375, 0.75) == model(ls, 0.5, 1.0)
    assert model(ls, 3.0, 1.5) == model(ls, 2.0, 1.0)
    bl, bf = [0.0, 0.5, 1.0], [1.0, 0.8, 0.4]
    flux_map = FLUX_MAP[INTEGRATED.index(model)]
    assert flux_map(ls, 1.5, 3.0, bl, bf) == flux_map(ls, 0.5, 1.0, bl, bf)


@pytest.mark.parametrize("model", FLUX_MAP)
def test_scaling_the_brightnesses_changes_nothing(model):
    ls = [0.2, 1.1, 2.5]
    bl, bf = [0.0, 0.3, 0.8, 1.0], [1.0, 0.9, 0.6, 0.35]
    base = model(ls, 1.0, 1.0, bl, bf)
    # A power of two scales every product exactly.
    assert model(ls, 1.0, 1.0, bl, [v * 8.0 for v in bf]) == base
    scaled = model(ls, 1.0, 1.0, bl, [v * 3.7 for v in bf])
    assert scaled == pytest.approx(base, rel=1e-13)


@pytest.mark.parametrize("l", [0.0, 0.3, 0.5, 1.5, 2.0, 5.0])
def test_tabulated_linear_limb_darkening_is_close_to_the_fixed_profile(l):
    # 50 radii of P, interpolated: the table misses P by up to 0.03 in its
    # last segment, where sqrt(1 - x^2) has an infinite slope.  The disk
    # model weights M by the profile's flux alone, which the normalisation
    # cancels to rounding; the ring model weights each ring by the profile
    # and feels the limb, within 1e-3 away from it (l = 1 itself, the ring
    # through the lens at the limb, differs by 2%).
    bl = [i / 49 for i in range(50)]
    bf = [fixed_profile(x) for x in bl]
    disk = tavlomer.integrated_flux_map_witt_mao_magnification([l], 1.0, 1.0, bl, bf)[0]
    assert disk == pytest.approx(tavlomer.integrated_witt_mao_magnification([l], 1.0, 1.0)[0],
                                 rel=1e-13)
    ring = tavlomer.integrated_flux_map_heyrovsky_magnification([l], 1.0, 1.0, bl, bf)[0]
    assert ring == pytest.approx(tavlomer.integrated_heyrovsky_magnification([l], 1.0, 1.0)[0],
                                 rel=1e-3)


# --- flux-map edge cases -----------------------------------------------------

@pytest.mark.parametrize("model", FLUX_MAP)
def test_flux_map_tables(model):
    ls = [0.5, 2.0]
    # No table: dark everywhere, 0/0.
    assert all(math.isnan(v) for v in model(ls, 1.0, 1.0, [], []))
    assert model([], 1.0, 1.0, [], []) == []
    # One entry: that brightness everywhere, whatever its radius; twice the
    # uniform table's, which is exactly 1 on [0, 1].
    uniform = model(ls, 1.0, 1.0, [0.0, 1.0], [1.0, 1.0])
    assert model(ls, 1.0, 1.0, [7.0], [2.0]) == uniform
    # Radii beyond 1 shape the segment across the limb: 1 - x/2 both ways.
    assert model(ls, 1.0, 1.0, [0.0, 2.0], [1.0, 0.0]) == model(ls, 1.0, 1.0, [0.0, 1.0], [1.0, 0.5])
    # A table wholly outside the source: dark, NaN.
    assert all(math.isnan(v) for v in model(ls, 1.0, 1.0, [1.5, 2.0], [1.0, 1.0]))


@pytest.mark.parametrize("model", FLUX_MAP)
@pytest.mark.parametrize("l", [[], [1.0, 2.0], [math.nan]])
def test_unequal_tables_panic_before_anything_else(model, l):
    with pytest.raises(BaseException) as caught:
        model(l, 1.0, 1.0, [0.0, 0.5, 1.0], [1.0, 0.5])
    assert type(caught.value).__name__ == "PanicException"
    assert not isinstance(caught.value, Exception)
    assert str(caught.value) == "assertion `left == right` failed\n  left: 3\n right: 2"


# --- failures ----------------------------------------------------------------

@pytest.mark.parametrize("model", [
    tavlomer.integrated_witt_mao_magnification,
    lambda l, re, rstar: tavlomer.integrated_flux_map_witt_mao_magnification(
        l, re, rstar, [0.0, 1.0], [1.0, 1.0]),
])
def test_disk_kernel_failure_fails_the_call(model):
    # A NaN separation makes the third-kind integral fail; so does the call,
    # with the plain model's message.
    with pytest.raises(RuntimeError) as plain:
        tavlomer.witt_mao_magnification([2.0, math.nan], 1.0, 1.0)
    with pytest.raises(RuntimeError) as integrated:
        model([2.0, math.nan], 1.0, 1.0)
    assert integrated.value.args == plain.value.args


@pytest.mark.parametrize("model", [
    tavlomer.integrated_heyrovsky_magnification,
    lambda l, re, rstar: tavlomer.integrated_flux_map_heyrovsky_magnification(
        l, re, rstar, [0.0, 1.0], [1.0, 1.0]),
])
def test_ring_failures_are_absorbed(model):
    # Every ring evaluation fails or is NaN: every point counts as 0.
    assert model([math.nan, math.inf], 1.0, 1.0) == [0.0, 0.0]
    assert model([], 1.0, 1.0) == []


@pytest.mark.parametrize("model", INTEGRATED)
def test_empty_separations(model):
    assert model([], 1.0, 1.0) == []


# --- independent quadrature --------------------------------------------------

def adaptive(f, points):
    """Integral of f over [0, 1] split at the given points, by QUADPACK when
    SciPy is there and by mpmath's tanh-sinh otherwise; non-finite values of
    f count as 0, as in the module."""
    def g(x):
        v = f(float(x))
        return v if math.isfinite(v) else 0.0
    edges = [0.0] + sorted(p for p in set(points) if 0.0 < p < 1.0) + [1.0]
    try:
        from scipy import integrate
    except ImportError:
        return sum(float(mpmath.quad(g, [a, b])) for a, b in zip(edges, edges[1:]))
    with warnings.catch_warnings():
        # Roundoff warnings on the narrowest pieces, far below the tolerances.
        warnings.simplefilter("ignore", integrate.IntegrationWarning)
        return sum(integrate.quad(g, a, b, limit=200, epsabs=1e-15, epsrel=1e-12)[0]
                   for a, b in zip(edges, edges[1:]))


def jumps(l):
    """Where the ring integrand at separation l jumps: the ring function
    jumps at x = l - 0.001, l, l + 0.001 (the edges of its near-ring band)
    and the central difference is NaN below x = e; each jump of R at c
    reappears in the integrand where x + e or x - e reaches c."""
    points = []
    for c in (0.0, l - 0.001, l, l + 0.001):
        points += [c, (c - CBRT_EPS) / (1.0 + CBRT_EPS), (c + CBRT_EPS) / (1.0 - CBRT_EPS)]
    return points


# Inside the source (l < 1.002) there is no such agreement, by construction:
# the ring function jumps at the edges of its near-ring band, and the central
# difference turns each jump J at radius c into a spike of width 2e (1.2e-5)
# and weight about (x 2pi)(x/2) J P(c), of order 1 next to the result.  The
# module's 385 fixed points, about 1e-3 apart there, catch these spikes by
# chance: against the split adaptive integral it is off by 9e-4 at l = 0,
# 3e-2 at l = 0.5, 36% at l = 0.9, a factor 2.3 at l = 0.999, 4e-4 at
# l = 1.0005 and 4e-6 at l = 1.001 (re = rstar).  Those results are what the
# definition gives (the tests above pin them bit for bit), not a
# magnification accurate to those digits.
@pytest.mark.parametrize("l, tolerance", [
    # Outside the source: the tanh-sinh points resolve the jump at x = e
    # near 0 to 1e-11 of the result.
    (1.1, 2e-11), (2.0, 2e-11), (20.0, 2e-11),
    # The ring through the lens lies just outside the source: the integrand
    # peaks logarithmically at x = 1, where the nodes crowd.
    (1.002, 2e-9), (1.01, 2e-9),
])
def test_ring_model_against_an_independent_quadrature(l, tolerance):
    expected = adaptive(ring_integrand(l, 1.0, 1.0, fixed_profile), jumps(l)) / N0
    got = tavlomer.integrated_heyrovsky_magnification([l], 1.0, 1.0)[0]
    assert abs(got / expected - 1.0) <= tolerance
