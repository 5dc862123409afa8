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

// The uniform disk and the shift of its images' light centroid from its
// centre, along the lens-source axis, away from the lens (Einstein radii):
// the moment of disk_centroid.hpp over the magnification.  Even in u (read
// as |u|).
struct DiskCentroid {
    double a;
    double shift;
};
[[nodiscard]] DiskCentroid uniform_centroid(double u, double rho) noexcept;
// The same values (to the bit) with the derivatives in u and rho of both
// (mirrored for u < 0; at u = 0 the shift's are its limits as |u| -> 0+, on
// the limb infinite).
struct DiskCentroidGradient {
    Dual a;
    Dual shift;
};
[[nodiscard]] DiskCentroidGradient uniform_centroid_gradient(double u, double rho) noexcept;

// The basis of a law: the law's basis profiles (law_table.hpp), or for the
// tabulated law the hat functions of its table: b_j is 1 at radii[j]
// (increasing, in [0, 1]) and falls linearly to 0 at its neighbours, 0
// beyond the table's ends; its weight is entry j's intensity.
// A parametrised law's basis (power2) carries its profile parameter, and
// with `slope` one more profile, the slope of its profile in the parameter
// (LawDescriptor::parameter_slope), for the derivative in it.
struct Basis {
    Law law;
    std::span<const double> radii;  // tabulated only; validated by the caller
    double parameter = 0.0;         // parametrised laws: positive and finite
    bool slope = false;

    [[nodiscard]] std::size_t size() const noexcept {
        return law == Law::tabulated ? radii.size() : descriptor(law).basis_size + (slope ? 1 : 0);
    }
};

// N_k = 2 \int_0^1 r b_k(r) dr, for every k.  For a table whose outermost
// radius is below 1/2, N_k and F_k (below) are both taken for its radii
// scaled by a power of two 2^k into [1/2, 1], which multiplies each by
// 2^(2k) and leaves their ratios, all that the laws use, as they are.
void basis_flux(const Basis& basis, std::span<double> flux) noexcept;

// The work of one point comes in units that run in order: one for a
// parametric law; for a table, its intervals in groups of
// table_unit_intervals (a few milliseconds at most), the last unit adding
// the table's ends.  A caller that stops between units (to hand back the
// interpreter's lock during a point whose table is long) passes the units
// [first, last) of a point to the functions below, then the rest; each unit
// adds to the results in the order a whole call would, so the results do
// not depend on how the units are split.
inline constexpr std::size_t table_unit_intervals = 16;
[[nodiscard]] std::size_t basis_units(const Basis& basis) noexcept;

struct Units {
    std::size_t first = 0;
    std::size_t last = static_cast<std::size_t>(-1);  // all
};

// F_k(u, rho) = (2 / rho^2) \int_0^rho ... : the magnified flux of every basis
// profile, each to relative accuracy rtol (1e-13 <= rtol <= 1e-2).  A caller
// combining them with weights w asks for rtol / kappa, where
// kappa = sum_k |w_k| N_k / |sum_k w_k N_k| >= 1 bounds the cancellation of the
// sum.  A NaN u gives NaN for every k.  Returns how close the quadrature's
// error estimates came to rtol over the units done: at most 1 where it was
// met, more where the quadrature could not meet it (gauss_kronrod.hpp), NaN
// with a NaN result.
// Below about 1e-100 Einstein radii F_k goes as 1/rho (up to 1e308) and its
// derivatives as 1/rho^2 (beyond a double): with `exponent` given, s =
// *exponent is set and F_k is left as 2^-s times its value, its derivatives
// (below) as 2^-2s times theirs, for the caller to scale after combining
// them.
double basis_magnified_flux(const Basis& basis, double u, double rho, double rtol,
                            std::span<double> out, Units units = {},
                            int* exponent = nullptr) noexcept;

// The same with the derivatives of every F_k in u and in rho, each to
// 10 rtol relative, or rtol / 10 times F_k / rho where it passes through zero;
// F_k to the bit as basis_magnified_flux gives it (the derivatives reuse its
// nodes).
// Where the profile is bright at the edge and the lens on the limb they are
// infinite (the edge term A_D(u, rho) of b = 1 and of a table ending in a
// jump).  Returns as basis_magnified_flux, for the values and derivatives.
double basis_magnified_flux_gradient(const Basis& basis, double u, double rho, double rtol,
                                     std::span<double> out, std::span<double> d_u,
                                     std::span<double> d_rho, Units units = {},
                                     int* exponent = nullptr) noexcept;

// The same as basis_magnified_flux with the centroid moments of the basis
// profiles: S_k = \int_{[0, 1]} x^2 S_D(u, x rho) (-db_k(x)), the nested
// disks' moments (disk_centroid.hpp) in place of their magnifications, so
// that a law's shift of the light centroid from the source's centre along
// the lens-source axis, away from the lens, is
//
//   shift = sum_k w_k S_k / sum_k w_k F_k
//
// (Einstein radii).  Each S_k to rtol relative, or rtol 0.01 rho F_k where
// it passes through zero (0 at u = 0, and at u = rho for the uniform
// profile), on the fluxes' nodes.  The moments are not scaled with
// `exponent` (below 1e-100 Einstein radii they no longer depend on the
// scale): the shift is 2^-s times the sums' ratio.  Derivatives below.
double basis_magnified_flux_centroid(const Basis& basis, double u, double rho, double rtol,
                                     std::span<double> out, std::span<double> moment,
                                     Units units = {}, int* exponent = nullptr) noexcept;

// Both: F_k as basis_magnified_flux_gradient gives them with their
// derivatives, S_k as basis_magnified_flux_centroid gives them, each to the
// bit, and S_k's derivatives in u and rho to 10 rtol relative, or rtol / 10
// times max(|S_k|, 0.01 rho F_k) / rho.  With `exponent`, S_k's derivatives
// are left as 2^-s times theirs (S_k does not scale, its slopes go as
// 1 / rho), so that sum_k w_k dS_k / sum_k w_k F_k needs no scaling.  (Where
// the lens crosses a nested disk's edge the moment's slopes go like -u
// times A_D's logarithm, subtracted as the fluxes' are.)
double basis_magnified_flux_centroid_gradient(const Basis& basis, double u, double rho, double rtol,
                                              std::span<double> out, std::span<double> d_u,
                                              std::span<double> d_rho, std::span<double> moment,
                                              std::span<double> moment_du,
                                              std::span<double> moment_drho, Units units = {},
                                              int* exponent = nullptr) noexcept;

}  // namespace tavlomer::physics
