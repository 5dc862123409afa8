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

#include <array>
#include <cmath>
#include <cstddef>
#include <string_view>

#include "physics/exact_sign.hpp"

namespace tavlomer::physics {

// The largest law has two coefficients and three basis profiles.
inline constexpr std::size_t max_coefficients = 2;
inline constexpr std::size_t max_basis = 3;

// A basis profile b(mu).  The uniform profile comes first in every law: its
// magnified flux is the source's edge term alone.
enum class Profile { one, mu, mu_squared, sqrt_mu };

// N = 2 \int_0^1 r b dr = 2 \int_0^1 mu b(mu) dmu, in units of pi rho^2:
// 2 / (p + 2) for b = mu^p.
[[nodiscard]] constexpr double profile_flux(Profile profile) noexcept {
    switch (profile) {
        case Profile::one:
            return 1.0;
        case Profile::mu:
            return 2.0 / 3.0;
        case Profile::mu_squared:
            return 0.5;
        case Profile::sqrt_mu:
            return 0.8;
    }
    return 0.0;
}

// b(mu) itself.
[[nodiscard]] inline double profile_value(Profile profile, double mu) noexcept {
    switch (profile) {
        case Profile::one:
            return 1.0;
        case Profile::mu:
            return mu;
        case Profile::mu_squared:
            return mu * mu;
        case Profile::sqrt_mu:
            return std::sqrt(mu);
    }
    return 0.0;
}

// A profile whose slope db/dmu is infinite at the limb (mu = 0): its
// integrands take v = sqrt(mu) over the outer source.
[[nodiscard]] constexpr bool steep_at_limb(Profile profile) noexcept {
    return profile == Profile::sqrt_mu;
}

enum class Law { linear, quadratic, square_root, tabulated };

struct LawDescriptor {
    Law law;
    std::string_view name;
    // The law's arguments after u and rho: its coefficients, or for the
    // table its radii and intensity.
    std::size_t argument_count;
    std::array<std::string_view, 2> arguments;
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

inline constexpr std::array<LawDescriptor, 4> law_table = {{
    {Law::linear,
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
    {Law::tabulated,
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
    }
    return true;
}());

}  // namespace tavlomer::physics
