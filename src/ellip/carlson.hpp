// Carlson's symmetric elliptic integrals of real arguments.
//
//   RF(x, y, z)    = 1/2 \int_0^\infty [(t+x)(t+y)(t+z)]^{-1/2} dt
//   RC(x, y)       = RF(x, y, y)
//   RD(x, y, z)    = RJ(x, y, z, z)
//   RJ(x, y, z, p) = 3/2 \int_0^\infty (t+p)^{-1} [(t+x)(t+y)(t+z)]^{-1/2} dt
//
// Duplication method with a closing Taylor series (B. C. Carlson, "Numerical
// computation of real or complex elliptic integrals", Numer. Algorithms 10
// (1995) 13-26), closed forms for equal or zero arguments, the
// arithmetic-geometric mean when one argument of RF or RD is zero, and the
// Cauchy principal value for y < 0 in RC and p < 0 in RJ.
#pragma once

#include "common/numeric_error.hpp"

namespace tavlomer::ellip::carlson {

[[nodiscard]] Result<double> elliprf(double x, double y, double z) noexcept;
[[nodiscard]] Result<double> elliprc(double x, double y) noexcept;
[[nodiscard]] Result<double> elliprd(double x, double y, double z) noexcept;
[[nodiscard]] Result<double> elliprj(double x, double y, double z, double p) noexcept;

// The duplication kernel of RJ for p > 0 once every special case is handled;
// called only by elliprj.
[[nodiscard]] Result<double> _elliprj(double x, double y, double z, double p) noexcept;

}  // namespace tavlomer::ellip::carlson
