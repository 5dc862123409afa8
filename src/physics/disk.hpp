// The uniformly bright disk, accurate to a few units in the last place for
// every separation: the building block of every brightness law
// (magnification.cpp stacks nested disks).  Plain C++, no allocation.
#pragma once

#include <array>

namespace tavlomer::physics::detail {

// Bulirsch's general complete elliptic integral
//
//   cel(kc, p, a, b) = \int_0^{pi/2} (a cos^2 t + b sin^2 t)
//                      / ((cos^2 t + p sin^2 t) sqrt(cos^2 t + kc^2 sin^2 t)) dt
//
// for kc > 0 and p > 0 (R. Bulirsch, "Numerical calculation of elliptic
// integrals and elliptic functions. III", Numer. Math. 13 (1969) 305-315).
// K(m) = cel(kc, 1, 1, 1), E(m) = cel(kc, 1, 1, kc^2) and
// Pi(n, m) = cel(kc, 1 - n, 1, 1) with kc = sqrt(1 - m): the parameters
// enter as the complements, which is what keeps the disk accurate at its limb.
[[nodiscard]] double cel(double kc, double p, double a, double b) noexcept;

// Two cel of the same kc, evaluated together.
struct Cel {
    double p;
    double a;
    double b;
};
[[nodiscard]] std::array<double, 2> cel_pair(double kc, std::array<Cel, 2> args) noexcept;

// The magnification of a uniform disk of radius rho at separation u (both in
// Einstein radii), u >= 0 and rho > 0 finite.  NaN for a NaN u.
[[nodiscard]] double disk(double u, double rho) noexcept;

}  // namespace tavlomer::physics::detail
