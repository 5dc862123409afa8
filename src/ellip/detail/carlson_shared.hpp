// What carlson.cpp shares with the batch kernels (batch_lanes.hpp), so that
// both run the very same constants and closing series: the batch lanes must
// match the scalar kernels bit for bit.
//
// The series are templates over the number type (double, or a vector of
// doubles whose operations are applied lane by lane, each rounded on its own);
// they are written once and read the same in both.
#pragma once

#include "common/constants.hpp"
#include "common/numeric_error.hpp"

namespace tavlomer::ellip::carlson::detail {

using constants::half_pi;
using constants::pi;
using constants::three_pi;

// Stopping tolerance of the arithmetic-geometric means: 2.7 eps with
// eps = 2^-52, between 2.7 and 5.4 ulps of a.  Where the products stay normal
// a converged pair differs by at most about 2.5 ulps, so the test is met.
inline constexpr double agm_tolerance = 5.995204332975846e-16;  // 2.7 * 2^-52

// Convergence scales of the duplication: once the spread of the arguments,
// times the scale, is below their mean, the truncated series is exact to eps
// (Carlson 1995, eq. 2.2 and its counterparts for RD and RJ).
inline constexpr double rf_scale = 78.8959690786408;    // (3 * 2^-52)^(-1/8)
inline constexpr double rd_scale = 107.63474115247546;  // (2^-52 / 4)^(-1/8)
// RD's extra safety factor, as in Boost.Math's ellint_rd.hpp: the scale
// bounds the truncation error of the series only asymptotically, and the
// bound is tightest when x, y and z are close in magnitude; the 20 % margin
// keeps the closing series exact to eps there, at the cost of at most one
// more step.
inline constexpr double rd_margin = 1.2;
inline constexpr double rj_scale = 110.67925377307274;  // (2^-52 / 5)^(-1/8)
// A safety bound, as RD's: each step shrinks the spread of the arguments by a
// factor 4, so 100 steps (4^100 = 2^200) are far more than arguments spread
// across the whole double range need; reaching it is reported as the
// convergence failure.
inline constexpr int rj_step_limit = 100;
// RJ(x, y, y, p) goes through the difference of two RC only for y and p at
// least this far apart (the larger over the smaller).  Closer, RC(x, y) and
// RC(x, p) agree in their leading bits and their difference cancels, so the
// general duplication is the more accurate route.  The cut is Boost.Math's
// (ellint_rj.hpp).
inline constexpr double rj_rc_difference_ratio = 1.2;

inline constexpr double one_fourteenth = 0.07142857142857142;  // 1 / 14

// RF's closing series (Carlson 1995, eq. 2.2) in the scaled deviations of the
// incoming x and y from their mean A0 after the steps' factor f = 4^steps and
// mean A; the result still to be divided by sqrt(A).
template <class T>
[[nodiscard]] inline T rf_series(T A0, T x, T y, T f, T A) noexcept {
    const T X = (A0 - x) / (f * A);
    const T Y = (A0 - y) / (f * A);
    const T Z = -X - Y;
    const T E2 = X * Y - Z * Z;
    const T E3 = X * Y * Z;
    return 1.0 + E3 * (one_fourteenth + 3.0 * E3 / 104.0) +
           E2 * (E2 / 24.0 - 0.1 - 3.0 * E3 / 44.0 - 5.0 * E2 * E2 / 208.0 + E2 * E3 / 16.0);
}

// The closing series of RD and RJ (Carlson 1995, eq. 2.7), terms added from
// left to right.
template <class T>
[[nodiscard]] inline T rd_rj_series(T E2, T E3, T E4, T E5) noexcept {
    return 1.0 - 3.0 * E2 / 14.0 + E3 / 6.0 + 9.0 * E2 * E2 / 88.0 - 3.0 * E4 / 22.0 -
           9.0 * E2 * E3 / 52.0 + 3.0 * E5 / 26.0 - E2 * E2 * E2 / 16.0 + 3.0 * E3 * E3 / 40.0 +
           3.0 * E2 * E4 / 20.0 + 45.0 * E2 * E2 * E3 / 272.0 - 9.0 * (E3 * E4 + E2 * E5) / 68.0;
}

// RD's series in the incoming x, y (z follows from the weights 1, 1, 3), with
// f = 4^-steps; the result still to be scaled by f A^{-3/2}.
template <class T>
[[nodiscard]] inline T rd_series(T A0, T x, T y, T f, T A) noexcept {
    const T X = (A0 - x) * f / A;
    const T Y = (A0 - y) * f / A;
    const T Z = -(X + Y) / 3.0;
    const T E2 = X * Y - 6.0 * Z * Z;
    const T E3 = 3.0 * X * Y * Z - 8.0 * Z * Z * Z;
    const T E4 = 3.0 * (X * Y * Z - Z * Z * Z) * Z;
    const T E5 = X * Y * Z * Z * Z;
    return rd_rj_series(E2, E3, E4, E5);
}

// RJ's series in the incoming x, y, z (p follows from the weights 1, 1, 1, 2),
// with f = 4^-steps; the result still to be scaled by f A^{-3/2}.
template <class T>
[[nodiscard]] inline T rj_series(T A0, T x, T y, T z, T f, T A) noexcept {
    const T X = (A0 - x) * f / A;
    const T Y = (A0 - y) * f / A;
    const T Z = (A0 - z) * f / A;
    const T P = (-X - Y - Z) / 2.0;
    const T E2 = X * Y + X * Z + Y * Z - 3.0 * P * P;
    const T E3 = X * Y * Z + 2.0 * E2 * P + 4.0 * P * P * P;
    const T E4 = (2.0 * X * Y * Z + E2 * P + 3.0 * P * P * P) * P;
    const T E5 = X * Y * Z * P * P;
    return rd_rj_series(E2, E3, E4, E5);
}

// The factor of the term (f/d) RC(1, 1 + e) that one step of RJ's duplication
// sheds, from e = delta/d^2 and the step's roots (Carlson 1995, Algorithm 3),
// in the elementary form accurate for the range of e.  Fails only through RC.
[[nodiscard]] Result<double> rj_shed_factor(double e, double sp, double sx, double sy, double sz,
                                            double p, double d) noexcept;

// The same for the vector targets, which call it lane by lane and touch no
// Result (see batch_lanes.hpp): stores the factor and returns true, or
// returns false where rj_shed_factor fails.
[[nodiscard]] bool rj_shed_factor_into(double& factor, double e, double sp, double sx, double sy,
                                       double sz, double p, double d) noexcept;

}  // namespace tavlomer::ellip::carlson::detail
