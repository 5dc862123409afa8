// The brightness laws of tavlomer_physics, one entry each: the law's name and
// the names of its arguments, its intensity, its basis profiles and their
// weights, and the rule that keeps its intensity non-negative.  The core's
// dispatch, the module's keywords and docstrings (and through them the type
// stubs, tools/generate_physics_stubs.py) all read this table: a new law is
// one entry here, its basis profiles' integrands in magnification.cpp if
// they are new, and its tests.
//
// A law is a weighted sum of basis profiles of mu = sqrt(1 - r^2),
// I(mu) = sum_k w_k b_k(mu), whose weights are affine in the coefficients.
// The weights are written with the constant term `one`: 1 gives the law's
// weights, 0 their slopes in the coefficients, and a power of two s, with
// the coefficients scaled by s too, the weights scaled by s exactly (how
// coefficients of any finite size are combined without overflow).
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <string_view>

#include "physics/exact_sign.hpp"

namespace tavlomer::physics {

// The largest law (claret4) has four coefficients and five basis profiles.
inline constexpr std::size_t max_coefficients = 4;
inline constexpr std::size_t max_basis = 5;

// A basis profile b(mu).  The uniform profile comes first in every law: its
// magnified flux is the source's edge term alone.
// mu_power is mu^alpha and mu_power_log_mu its slope in alpha, mu^alpha
// log mu, for the profile parameter alpha > 0 that the basis carries
// (magnification.hpp's Basis): the only profiles whose shape is not fixed.
enum class Profile {
    one,
    mu,
    mu_squared,
    sqrt_mu,
    mu_three_halves,
    mu_log_mu,
    mu_power,
    mu_power_log_mu
};

// N = 2 \int_0^1 r b dr = 2 \int_0^1 mu b(mu) dmu, in units of pi rho^2:
// 2 / (p + 2) for b = mu^p, 2 \int_0^1 mu^2 log mu dmu = -2/9, and
// 2 \int_0^1 mu^(alpha+1) log mu dmu = -2 / (alpha + 2)^2 (its slope in alpha).
[[nodiscard]] constexpr double profile_flux(Profile profile, double alpha = 0.0) noexcept {
    switch (profile) {
        case Profile::one:
            return 1.0;
        case Profile::mu:
            return 2.0 / 3.0;
        case Profile::mu_squared:
            return 0.5;
        case Profile::sqrt_mu:
            return 0.8;
        case Profile::mu_three_halves:
            return 4.0 / 7.0;
        case Profile::mu_log_mu:
            return -2.0 / 9.0;
        case Profile::mu_power:
            return 2.0 / (alpha + 2.0);
        case Profile::mu_power_log_mu:
            return -2.0 / ((alpha + 2.0) * (alpha + 2.0));
    }
    return 0.0;
}

// b(mu) itself.
[[nodiscard]] inline double profile_value(Profile profile, double mu, double alpha = 0.0) noexcept {
    switch (profile) {
        case Profile::one:
            return 1.0;
        case Profile::mu:
            return mu;
        case Profile::mu_squared:
            return mu * mu;
        case Profile::sqrt_mu:
            return std::sqrt(mu);
        case Profile::mu_three_halves:
            return mu * std::sqrt(mu);
        case Profile::mu_log_mu:
            return mu > 0.0 ? mu * std::log(mu) : 0.0;
        case Profile::mu_power:
            return std::pow(mu, alpha);
        case Profile::mu_power_log_mu:
            return mu > 0.0 ? std::pow(mu, alpha) * std::log(mu) : 0.0;
    }
    return 0.0;
}

// A profile whose slope db/dmu is infinite at the limb (mu = 0), or whose
// slope's slope is: its integrands take v = sqrt(mu) over the outer source,
// in which they are smooth (mu log mu: continuous, as v log v).  mu^alpha
// is steep for alpha < 2 and takes a variable of its own there
// (magnification.cpp); for larger alpha v keeps its piece's weights smooth.
[[nodiscard]] constexpr bool steep_at_limb(Profile profile) noexcept {
    return profile == Profile::sqrt_mu || profile == Profile::mu_three_halves ||
           profile == Profile::mu_log_mu || profile == Profile::mu_power ||
           profile == Profile::mu_power_log_mu;
}

// For b = mu^(h/2), h: 1 (sqrt(mu)), 2 (mu), 3 (mu^(3/2)) or 4 (mu^2); 0 for
// every other profile.  In t = x^2 such a profile's magnified flux is
// (h/4) \int_0^1 t (1 - t)^(h/4 - 1) A_D(u, rho sqrt(t)) dt, which outside
// the source a Gauss-Jacobi rule of that weight sums (magnification.cpp).
[[nodiscard]] constexpr int half_power(Profile profile) noexcept {
    switch (profile) {
        case Profile::sqrt_mu:
            return 1;
        case Profile::mu:
            return 2;
        case Profile::mu_three_halves:
            return 3;
        case Profile::mu_squared:
            return 4;
        default:
            return 0;
    }
}

enum class Law { linear, quadratic, square_root, logarithmic, claret4, power2, tabulated };

struct LawDescriptor {
    Law law;
    std::string_view name;
    // What the docstring calls its limb darkening.
    std::string_view kind;
    // The law's arguments after u and rho: its coefficients, or for the
    // table its radii and intensity.
    std::size_t argument_count;
    std::array<std::string_view, max_coefficients> arguments;
    // The intensity as the docstrings and refusals write it.
    std::string_view intensity;
    // One more sentence for the docstring, or empty.
    std::string_view note;
    // Parametric laws: the coefficients are the arguments.
    std::size_t coefficient_count;
    std::size_t basis_size;
    std::array<Profile, max_basis> basis;
    // w = weights(c, one), basis_size entries (above).
    void (*weights)(const double* c, double one, double* w) noexcept;
    // Whether I(mu) >= 0 for every mu in [0, 1], decided exactly for the
    // coefficients c scaled as the weights are, with the constant term one.
    bool (*non_negative)(const double* c, double one) noexcept;
    // The refusal when it is not, naming the coefficients and the rule, and
    // when a coefficient is not finite.
    const char* negative;
    const char* not_finite;
    // A law whose last argument is not a coefficient but the parameter of
    // its last basis profile (power2's alpha: mu^alpha): its weights take the
    // coefficients alone, its derivative in the parameter takes the basis
    // profile parameter_slope (d b / d alpha), added to the basis when
    // derivatives are asked.  The refusal of a parameter that is not
    // positive and finite names it.
    bool parametrised = false;
    Profile parameter_slope = Profile::one;
    const char* bad_parameter = nullptr;
    // The least parameter taken (see power2's entry).
    double min_parameter = 0.0;
};

// The rules below decide exactly (exact_sign.hpp) whether the least
// intensity is at least -rounding_slack times the size of the terms it is
// made of: about -4.4e-16 of the centre's intensity at worst.  Without that
// slack, coefficients written in decimal on the boundary would be refused
// for the rounding of their decimals (0.2 + 0.8 exceeds 1 by 5.6e-17 as
// doubles); with it, an intensity that dips below zero by that much changes
// no magnification by more than a rounding error.
inline constexpr double rounding_slack = 0x1p-52;  // DBL_EPSILON

// quadratic: I(t) = one - a t - b t^2 with t = 1 - mu in [0, 1] is one at
// t = 0 and one - a - b at t = 1; for b < 0 it is convex, with its least
// value one + a^2 / (4 b) at t = -a / (2 b) when that lies inside (0, 1).
[[nodiscard]] inline bool quadratic_non_negative(const double* c, double one) noexcept {
    const double a = c[0], b = c[1];
    if (!exact::sum_at_most(a, b, one, rounding_slack * (one + std::fabs(a) + std::fabs(b)))) {
        return false;
    }
    const bool interior_minimum = b < 0.0 && 0.0 < a && a < -2.0 * b;
    // one + a^2 / (4 b) >= 0  <=>  a^2 <= -4 b one  (b < 0)
    return !interior_minimum ||
           exact::square_at_most(a, 0.0, -4.0 * b, one, rounding_slack * (a * a - 4.0 * b * one));
}

// square root: with s = sqrt(mu) in [0, 1], I = (one - c - d) + d s + c s^2:
// one at s = 1 and one - c - d at s = 0; for c > 0 it is convex, with its
// least value one - c - d - d^2 / (4 c) at s = -d / (2 c) when that lies
// inside (0, 1).  Times 4 c, that least value is 4 c one - (2 c + d)^2.
[[nodiscard]] inline bool square_root_non_negative(const double* coefficient, double one) noexcept {
    const double c = coefficient[0], d = coefficient[1];
    if (!exact::sum_at_most(c, d, one, rounding_slack * (one + std::fabs(c) + std::fabs(d)))) {
        return false;
    }
    const bool interior_minimum = c > 0.0 && 0.0 < -d && -d < 2.0 * c;
    // 2 c + d exactly, as a sum of two doubles; 2 c and 4 c are exact (the
    // coefficients are scaled below a quarter of the largest double).
    const double t = 2.0 * c + d;
    return !interior_minimum || exact::square_at_most(2.0 * c, d, 4.0 * c, one,
                                                      rounding_slack * (4.0 * c * one + t * t));
}

// logarithmic: I(mu) = one - c (1 - mu) - d mu log mu is one - c at the limb
// and one at the centre; for d < 0 it is convex (I'' = -d / mu), with its
// least value one - c + d mu* at mu* = exp(c / d - 1) when that lies in
// (0, 1).  mu* is rounded, so this rule holds to a rounding error besides
// its slack.
[[nodiscard]] inline bool logarithmic_non_negative(const double* k, double one) noexcept {
    const double c = k[0], d = k[1];
    if (!(c <= one)) return false;
    if (!(d < 0.0)) return true;
    const double mu = std::exp(c / d - 1.0);
    if (!(mu < 1.0)) return true;
    return one - c + d * mu >= -rounding_slack * (one + std::fabs(c) + std::fabs(d));
}

// claret4: with s = sqrt(mu), I = (one - a1 - a2 - a3 - a4) + a1 s + a2 s^2
// + a3 s^3 + a4 s^4, a quartic on [0, 1].  Its least value is at an end or
// at a zero of its derivative, a cubic; the zeros of the cubic's own
// derivative (a quadratic, in closed form) split [0, 1] into pieces on
// which the cubic is monotone, so each holds at most one zero, found by
// bisection to the last bit.  Decided to a rounding error besides the slack.
[[nodiscard]] inline bool claret4_non_negative(const double* a, double one) noexcept {
    const double p0 = one - a[0] - a[1] - a[2] - a[3];
    const auto p = [&](double s) { return p0 + s * (a[0] + s * (a[1] + s * (a[2] + s * a[3]))); };
    const auto dp = [&](double s) {
        return a[0] + s * (2.0 * a[1] + s * (3.0 * a[2] + s * 4.0 * a[3]));
    };
    const double slack = rounding_slack * (one + std::fabs(a[0]) + std::fabs(a[1]) +
                                           std::fabs(a[2]) + std::fabs(a[3]));
    double least = std::min(p(0.0), p(1.0));
    // The zeros in (0, 1) of dp' = 2 a2 + 6 a3 s + 12 a4 s^2.
    std::array<double, 4> ends = {0.0, 1.0, 1.0, 1.0};
    std::size_t count = 1;
    const double qa = 12.0 * a[3], qb = 6.0 * a[2], qc = 2.0 * a[1];
    if (qa != 0.0) {
        const double disc = qb * qb - 4.0 * qa * qc;
        if (disc >= 0.0) {
            const double q = -0.5 * (qb + std::copysign(std::sqrt(disc), qb));
            for (double root : {q / qa, q != 0.0 ? qc / q : -qb / qa}) {
                if (root > 0.0 && root < 1.0) ends[count++] = root;
            }
        }
    } else if (qb != 0.0) {
        const double root = -qc / qb;
        if (root > 0.0 && root < 1.0) ends[count++] = root;
    }
    ends[count++] = 1.0;
    std::sort(ends.begin(), ends.begin() + static_cast<std::ptrdiff_t>(count));
    for (std::size_t i = 0; i + 1 < count; ++i) {
        double lo = ends[i], hi = ends[i + 1];
        const double at_lo = dp(lo), at_hi = dp(hi);
        if (!(at_lo < 0.0 && at_hi > 0.0)) continue;  // a minimum needs dp rising through 0
        for (int step = 0; step < 200 && lo < hi; ++step) {
            const double mid = 0.5 * (lo + hi);
            if (mid <= lo || mid >= hi) break;
            (dp(mid) < 0.0 ? lo : hi) = mid;
        }
        least = std::min({least, p(lo), p(hi)});
    }
    return least >= -slack;
}

inline constexpr std::array<LawDescriptor, 7> law_table = {{
    {Law::linear,
     "linear",
     "linear",
     1,
     {"c", ""},
     "1 - c (1 - mu)",
     "c <= 1; MulensModel's Gamma converts as c = 3 Gamma / (2 + Gamma).",
     1,
     2,
     {Profile::one, Profile::mu},
     [](const double* c, double one, double* w) noexcept {
         w[0] = one - c[0];
         w[1] = c[0];
     },
     // Linear in mu: least at mu = 0, where it is one - c.
     [](const double* c, double one) noexcept { return c[0] <= one; },
     "c must be at most 1: the intensity 1 - c (1 - mu) is negative at the limb (mu = 0) "
     "otherwise",
     "c must be finite"},
    {Law::quadratic,
     "quadratic",
     "quadratic",
     2,
     {"a", "b"},
     "1 - a (1 - mu) - b (1 - mu)^2",
     "",
     2,
     3,
     {Profile::one, Profile::mu, Profile::mu_squared},
     [](const double* c, double one, double* w) noexcept {
         w[0] = one - c[0] - c[1];
         w[1] = c[0] + 2.0 * c[1];
         w[2] = -c[1];
     },
     quadratic_non_negative,
     "a and b must keep the intensity 1 - a (1 - mu) - b (1 - mu)^2 non-negative for "
     "0 <= mu <= 1: a + b <= 1, and a^2 + 4 b <= 0 where 0 < a < -2 b",
     "a and b must be finite"},
    {Law::square_root,
     "square_root",
     "square-root",
     2,
     {"c", "d"},
     "1 - c (1 - mu) - d (1 - sqrt(mu))",
     "",
     2,
     3,
     {Profile::one, Profile::mu, Profile::sqrt_mu},
     [](const double* c, double one, double* w) noexcept {
         w[0] = one - c[0] - c[1];
         w[1] = c[0];
         w[2] = c[1];
     },
     square_root_non_negative,
     "c and d must keep the intensity 1 - c (1 - mu) - d (1 - sqrt(mu)) non-negative for "
     "0 <= mu <= 1: c + d <= 1, and d^2 <= 4 c (1 - c - d) where 0 < -d < 2 c",
     "c and d must be finite"},
    {Law::logarithmic,
     "logarithmic",
     "logarithmic",
     2,
     {"c", "d"},
     "1 - c (1 - mu) - d mu log(mu)",
     "",
     2,
     3,
     {Profile::one, Profile::mu, Profile::mu_log_mu},
     [](const double* c, double one, double* w) noexcept {
         w[0] = one - c[0];
         w[1] = c[0];
         w[2] = -c[1];
     },
     logarithmic_non_negative,
     "c and d must keep the intensity 1 - c (1 - mu) - d mu log(mu) non-negative for "
     "0 <= mu <= 1: c <= 1, and 1 - c + d exp(c/d - 1) >= 0 where d < 0 < c/d + 1",
     "c and d must be finite"},
    {Law::claret4,
     "claret4",
     "Claret's four-parameter (\"nonlinear\")",
     4,
     {"a1", "a2", "a3", "a4"},
     "1 - a1 (1 - mu^(1/2)) - a2 (1 - mu) - a3 (1 - mu^(3/2)) - a4 (1 - mu^2)",
     "",
     4,
     5,
     {Profile::one, Profile::sqrt_mu, Profile::mu, Profile::mu_three_halves, Profile::mu_squared},
     [](const double* a, double one, double* w) noexcept {
         w[0] = one - a[0] - a[1] - a[2] - a[3];
         w[1] = a[0];
         w[2] = a[1];
         w[3] = a[2];
         w[4] = a[3];
     },
     claret4_non_negative,
     "a1, a2, a3 and a4 must keep the intensity 1 - sum_k a_k (1 - mu^(k/2)) non-negative "
     "for 0 <= mu <= 1",
     "a1, a2, a3 and a4 must be finite"},
    {Law::power2,
     "power2",
     "power-2",
     2,
     {"c", "alpha"},
     "1 - c (1 - mu^alpha)",
     "alpha >= 1e-6, c <= 1; power2_from_maxted converts Maxted's (h1, h2).",
     1,
     2,
     {Profile::one, Profile::mu_power},
     [](const double* c, double one, double* w) noexcept {
         w[0] = one - c[0];
         w[1] = c[0];
     },
     // With alpha > 0, mu^alpha rises from 0 at the limb to 1 at the centre:
     // the intensity lies between one - c (mu = 0) and one (mu = 1).
     [](const double* c, double one) noexcept { return c[0] <= one; },
     "c must be at most 1: the intensity 1 - c (1 - mu^alpha) is negative at the limb "
     "(mu = 0) otherwise",
     "c must be finite",
     true,
     Profile::mu_power_log_mu,
     "alpha must be finite and at least 1e-6: the intensity 1 - c (1 - mu^alpha) takes "
     "mu^alpha rising from the limb (mu = 0) to the centre, and a smaller alpha leaves the flux "
     "of 1 - mu^alpha, about alpha / 2, to rounding",
     // Below it 2 / (alpha + 2) keeps fewer than 10 of alpha's digits in
     // the flux, and with c far below 0 the weights 1 - c and c cancel in
     // the total flux by 4 / alpha (at 1e-16 to nothing: no result at all).
     1e-6},
    {Law::tabulated,
     "tabulated",
     "tabulated",
     2,
     {"radii", "intensity"},
     "",
     "",
     0,
     0,
     {},
     nullptr,
     nullptr,
     nullptr,
     nullptr},
}};

[[nodiscard]] constexpr const LawDescriptor& descriptor(Law law) noexcept {
    return law_table[static_cast<std::size_t>(law)];
}

// The table is indexed by the enumeration, and every parametric law's basis
// starts with the uniform profile.
static_assert([] {
    for (std::size_t i = 0; i < law_table.size(); ++i) {
        const LawDescriptor& d = law_table[i];
        if (static_cast<std::size_t>(d.law) != i) return false;
        if (d.coefficient_count > max_coefficients || d.basis_size > max_basis) return false;
        if (d.coefficient_count > 0 && d.basis[0] != Profile::one) return false;
        if (d.parametrised && d.basis_size + 1 > max_basis) return false;
    }
    return true;
}());

}  // namespace tavlomer::physics
