// Constants shared by the kernels and models, each the double nearest to its
// exact value, written out in round-trip (17 significant digit) form and
// checked against the standard library's own.
#pragma once

#include <limits>
#include <numbers>

namespace tavlomer::constants {

// pi rounded to double.
inline constexpr double pi = 3.141592653589793;
static_assert(pi == std::numbers::pi);

// pi / 2, 2 pi and 3 pi rounded to double.  Halving and doubling pi's double
// are exact; 3 pi is the once-rounded product of pi's double and 3.
inline constexpr double half_pi = 1.5707963267948966;
static_assert(half_pi == std::numbers::pi / 2);
inline constexpr double two_pi = 6.283185307179586;
static_assert(two_pi == 2 * std::numbers::pi);
inline constexpr double three_pi = 9.42477796076938;
static_assert(three_pi == 3 * std::numbers::pi);

// pi / 4 rounded to double (halving pi's double is exact).
inline constexpr double quarter_pi = 0.7853981633974483;
static_assert(quarter_pi == std::numbers::pi / 4);

// The machine epsilon of double, 2^-52: the gap between 1 and the next double.
inline constexpr double epsilon = 2.220446049250313e-16;
static_assert(epsilon == std::numeric_limits<double>::epsilon());

// The largest finite double, (2 - 2^-52) 2^1023.
inline constexpr double largest = std::numeric_limits<double>::max();

}  // namespace tavlomer::constants
