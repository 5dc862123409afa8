// The physical magnification of a finite source by a point-mass lens: the
// point-source magnification A(u) = (u^2 + 2) / (u sqrt(u^2 + 4)) averaged over
// the source disk, weighted by its surface brightness.  Behind the module
// tavlomer_physics.  Plain C++: no interpreter, no allocation.
//
// Units are the modellers' own: the lens-source separation u and the source
// radius rho in Einstein radii.  Radii r on the source are in source radii,
// and mu = sqrt(1 - r^2).
//
// A brightness law is a weighted sum of basis profiles, I(r) = sum_k w_k b_k(r),
// and both the flux and the magnified flux are linear in I.  So for one
// geometry (u, rho) the magnified flux of each basis profile is computed once,
// and any number of coefficient sets (bands) combine it:
//
//   A = sum_k w_k F_k(u, rho) / sum_k w_k N_k
//
// with N_k the basis profile's flux and F_k its magnified flux (both in units
// of pi rho^2 times the unmagnified brightness).
#pragma once

#include <cstddef>
#include <span>

#include "physics/dual.hpp"
#include "physics/law_table.hpp"

namespace tavlomer::physics {

// The uniform disk: F_0 / N_0 for b_0 = 1.  rho > 0 and finite (the caller
// checks); a NaN u gives NaN, u < 0 is read as |u|.
[[nodiscard]] double uniform(double u, double rho) noexcept;

// The uniform disk with its derivatives in u and rho (on the limb, u = rho,
// infinite: -inf in u, +inf in rho, mirrored for u < 0).
[[nodiscard]] Dual uniform_gradient(double u, double rho) noexcept;

// The basis of a law: the law's basis profiles (law_table.hpp), or for the
// tabulated law the hat functions of its table: b_j is 1 at radii[j]
// (increasing, in [0, 1]) and falls linearly to 0 at its neighbours, 0
// beyond the table's ends; its weight is entry j's intensity.
struct Basis {
    Law law;
    std::span<const double> radii;  // tabulated only; validated by the caller

    [[nodiscard]] std::size_t size() const noexcept {
        return law == Law::tabulated ? radii.size() : descriptor(law).basis_size;
    }
};

// N_k = 2 \int_0^1 r b_k(r) dr, for every k.
void basis_flux(const Basis& basis, std::span<double> flux) noexcept;

// F_k(u, rho) = (2 / rho^2) \int_0^rho ... : the magnified flux of every basis
// profile, each to relative accuracy rtol (1e-13 <= rtol <= 1e-2).  A caller
// combining them with weights w asks for rtol / kappa, where
// kappa = sum_k |w_k| N_k / |sum_k w_k N_k| >= 1 bounds the cancellation of the
// sum.  A NaN u gives NaN for every k.  Returns how close the quadrature's
// error estimates came to rtol: at most 1 where it was met, more where the
// quadrature could not meet it (gauss_kronrod.hpp), NaN with a NaN result.
double basis_magnified_flux(const Basis& basis, double u, double rho, double rtol,
                            std::span<double> out) noexcept;

// The same with the derivatives of every F_k in u and in rho, each to
// 10 rtol relative, or rtol / 10 times F_k / rho where it passes through zero;
// F_k to the bit as basis_magnified_flux gives it (the derivatives reuse its
// nodes).
// Where the profile is bright at the edge and the lens on the limb they are
// infinite (the edge term A_D(u, rho) of b = 1 and of a table ending in a
// jump).  Returns as basis_magnified_flux, for the values and derivatives.
double basis_magnified_flux_gradient(const Basis& basis, double u, double rho, double rtol,
                                     std::span<double> out, std::span<double> d_u,
                                     std::span<double> d_rho) noexcept;

}  // namespace tavlomer::physics
