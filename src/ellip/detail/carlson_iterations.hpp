// Internal view of the iterations inside Carlson's integrals, for the
// test-only module: it lets the tests pin the number of steps each loop takes
// without widening the public interface.  The kernels themselves run exactly
// these loops (carlson.cpp), so what the tests observe is what they compute.
#pragma once

namespace tavlomer::ellip::carlson::detail {

// Duplication steps of RF (at most 11) and of RD (at most 50).  Each step
// shrinks the spread of the arguments by a factor 4 while their mean settles.
// RF's 11 steps (4^11, about 4.2e6) are part of its defined behaviour: enough
// for arguments as far apart as RF(1e-200, 1, 1e200), while RF(1e-300, 1,
// 1e300) exhausts them and reports the convergence failure.  RD's 50 steps
// (4^50 = 2^100) are a safety bound: arguments spread across the whole
// double range, as RD(1e-300, 1, 1e300), take 12.
inline constexpr int elliprf_step_limit = 11;
inline constexpr int elliprd_step_limit = 50;

// Safety bound of the arithmetic-geometric-mean loops of RF and RD (one zero
// argument).  carlson.cpp argues why no input reaches it; reaching it would
// be reported as the caller's convergence failure.
inline constexpr int agm_step_limit = 100;

// The step in which RF's duplication converges for three distinct positive
// arguments (1 ... elliprf_step_limit), or elliprf_step_limit + 1 when it
// does not.
[[nodiscard]] int elliprf_duplication_steps(double x, double y, double z) noexcept;

// The same for RD's duplication (x, y >= 0 not both zero, z > 0).
[[nodiscard]] int elliprd_duplication_steps(double x, double y, double z) noexcept;

// The number of steps of the arithmetic-geometric mean that RF(0, y, z) and
// RD(0, y, z) run, started from sqrt(y) and sqrt(z); agm_step_limit + 1 when
// the bound stops it.
[[nodiscard]] int agm_steps(double y, double z) noexcept;

}  // namespace tavlomer::ellip::carlson::detail
