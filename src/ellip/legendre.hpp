// Complete elliptic integrals in Legendre's form, as functions of the
// parameter m = k^2 and, for the third kind, the characteristic n:
//
//   K(m)    = \int_0^{pi/2} (1 - m sin^2 t)^{-1/2} dt
//   E(m)    = \int_0^{pi/2} (1 - m sin^2 t)^{1/2} dt
//   Pi(n,m) = \int_0^{pi/2} (1 - n sin^2 t)^{-1} (1 - m sin^2 t)^{-1/2} dt
//
// K and E from the Cephes polynomial approximations in 1 - m; Pi reduced to
// RF and RJ (DLMF 19.25.2).
#pragma once

#include "common/numeric_error.hpp"

namespace tavlomer::ellip::legendre {

[[nodiscard]] Result<double> ellipk(double m) noexcept;
[[nodiscard]] Result<double> ellipe(double m) noexcept;
[[nodiscard]] Result<double> ellippi(double n, double m) noexcept;

}  // namespace tavlomer::ellip::legendre
