// sin and cos of an angle in [0, pi/2], for the nodes of the source pieces
// in theta (x = sin theta, mu = cos theta).  Every node of those pieces needs
// both; the C library's sin and cos reduce arbitrary arguments and cost more
// than a hundred instructions for the pair, a fifth of a linear law's whole
// value.  On a quarter turn no reduction is needed beyond reflecting about
// pi/4, and two polynomials give both to within an ulp or so.
//
// Their Taylor series (coefficients 1/n!, each the double nearest to it: n!
// is exact in double up to 22!) are truncated where the first term left out
// is below 1e-19 of the result on [0, pi/4]: t^19/19! for sin (8e-20 at
// pi/4), t^18/18! for cos (2e-18).  The rounding of the evaluation is the
// error: for sin the last addition, t + t^3 (...), about half an ulp; for cos
// 1 - t^2/2 is formed with its rounding error carried (w = 1 - t^2/2, then
// ((1 - w) - t^2/2) exactly), as in fdlibm's kernel.  Plain additions and
// multiplications in a fixed order: the same bits on every target.
#pragma once

#include "common/constants.hpp"

namespace tavlomer::physics::detail {

namespace quarter_turn {

// pi / 2 less its double, 6.123233995736766e-17 (mpmath at 40 digits): the
// complement pi/2 - y is (half_pi - y) + this, the first difference exact
// for y in [pi/4, pi/2] (Sterbenz).
inline constexpr double half_pi_low = 6.123233995736766e-17;

// 1/n!, the double nearest to it (n! is exact in double up to 22!).
inline constexpr double inverse_factorial(int n) {
    double f = 1.0;
    for (int k = 2; k <= n; ++k) f *= k;
    return 1.0 / f;
}

// sin t for |t| <= pi/4.
inline double sin_series(double t) noexcept {
    constexpr double s3 = inverse_factorial(3), s5 = inverse_factorial(5),
                     s7 = inverse_factorial(7), s9 = inverse_factorial(9),
                     s11 = inverse_factorial(11), s13 = inverse_factorial(13),
                     s15 = inverse_factorial(15), s17 = inverse_factorial(17);
    const double z = t * t;
    const double r = s5 - z * (s7 - z * (s9 - z * (s11 - z * (s13 - z * (s15 - z * s17)))));
    return t + (z * t) * (z * r - s3);
}

// cos t for |t| <= pi/4.
inline double cos_series(double t) noexcept {
    constexpr double c4 = inverse_factorial(4), c6 = inverse_factorial(6),
                     c8 = inverse_factorial(8), c10 = inverse_factorial(10),
                     c12 = inverse_factorial(12), c14 = inverse_factorial(14),
                     c16 = inverse_factorial(16);
    const double z = t * t;
    const double r = z * (c4 - z * (c6 - z * (c8 - z * (c10 - z * (c12 - z * (c14 - z * c16))))));
    const double hz = 0.5 * z;
    const double w = 1.0 - hz;
    return w + (((1.0 - w) - hz) + z * r);
}

}  // namespace quarter_turn

struct SinCos {
    double sin;
    double cos;
};

// sin and cos of pi/2 - t for t in [0, pi/4]: an angle given by its
// distance from pi/2, which keeps the cosine's digits near pi/2.
inline SinCos sin_cos_short_of_half_pi(double t) noexcept {
    return {quarter_turn::cos_series(t), quarter_turn::sin_series(t)};
}

// sin y and cos y for y in [0, pi/2] (a rounding beyond either end gives the
// series' continuation, within an ulp of the true value).
inline SinCos quarter_sin_cos(double y) noexcept {
    using namespace quarter_turn;
    if (y <= constants::quarter_pi) return {sin_series(y), cos_series(y)};
    return sin_cos_short_of_half_pi((constants::half_pi - y) + half_pi_low);
}

}  // namespace tavlomer::physics::detail
