// The brightness laws of tavlomer_physics on plain doubles: which coefficients
// and tables describe a physical (nowhere negative) source, the weights of the
// law's basis profiles (magnification.hpp), and the evaluation of many points
// at once over flat arrays.  No interpreter, no allocation: the Python
// boundary converts, broadcasts and allocates, then calls these.
#pragma once

#include <array>
#include <cstddef>
#include <expected>
#include <limits>
#include <span>

#include "physics/law_table.hpp"
#include "physics/magnification.hpp"

namespace tavlomer::physics {

// The relative accuracies a caller may ask for: finer than 1e-12 is out of
// reach of double arithmetic summed over a quadrature, coarser than 1e-2 is
// no longer a finite-source correction worth the name.
inline constexpr double min_rtol = 1e-12;
inline constexpr double max_rtol = 1e-2;
inline constexpr double default_rtol = 1e-9;
// The finest accuracy basis_magnified_flux promises (its contract).
inline constexpr double finest_basis_rtol = 1e-13;

// The smallest source radius (Einstein radii) taken: the smallest normal
// double.  The magnification reaches a few / rho at the centre (2 / rho
// uniform, 8 / (3 rho) for the most centrally bright quadratic law), which
// below it would exceed the largest double.
inline constexpr double min_rho = std::numeric_limits<double>::min();

// The least flux of a table's profile, in units of its largest intensity
// times its outermost radius squared: a profile bright only within about
// 1e-145 times that radius of the centre would have its flux below the range in which the
// basis fluxes keep their digits (1e-308), and its magnified flux too.
inline constexpr double min_table_flux = 1e-290;

// The coefficients a parametric law takes (the tabulated law takes a table).
[[nodiscard]] constexpr std::size_t coefficient_count(Law law) noexcept {
    return descriptor(law).coefficient_count;
}

// Why arguments are refused: a message naming the argument and the rule,
// and the offending entry where the argument is an array the core sees
// (a table's radii or intensity).
struct Refusal {
    static constexpr std::size_t no_index = static_cast<std::size_t>(-1);
    const char* message;
    std::size_t index = no_index;
};

// The coefficients (coefficient_count(law) of them) are finite and the
// intensity I(mu) is non-negative for every mu in [0, 1], decided exactly;
// a parametrised law's parameter, after them (its argument_count-th
// argument), positive and finite.
[[nodiscard]] std::expected<void, Refusal> check_coefficients(
    Law law, std::span<const double> coefficients) noexcept;

// The weights w_k of the law's basis profiles (law_table.hpp) times the
// power of two returned, which keeps them finite for coefficients of any
// finite size (1 for coefficients below 2^256); w has basis size entries.
// Parametric laws only; the coefficients (a parametrised law's parameter
// after them is not read).
double law_weights(Law law, std::span<const double> coefficients, std::span<double> w) noexcept;

// A brightness table: at least two radii, strictly increasing, within [0, 1].
[[nodiscard]] std::expected<void, Refusal> check_radii(std::span<const double> radii) noexcept;
// One profile's intensities at the table's radii: finite, non-negative, not
// all zero.  (The lengths are the caller's to match.)
[[nodiscard]] std::expected<void, Refusal> check_intensity(
    std::span<const double> intensity) noexcept;

// A profile of a table whose flux N_k (basis_flux) are given: refused if
// its flux is below min_table_flux.  After check_radii and check_intensity.
[[nodiscard]] std::expected<void, Refusal> check_table_flux(std::span<const double> intensity,
                                                            std::span<const double> flux) noexcept;

// kappa = sum_k |w_k| N_k / |sum_k w_k N_k|: how much the weighted sum of
// basis fluxes can amplify their relative errors.  At least 1 for a valid
// profile.
[[nodiscard]] double cancellation(std::span<const double> w, std::span<const double> flux) noexcept;

// The cancellation of a parametric law's coefficient set (and parameter,
// after them), with the basis fluxes N_k of its basis (a parametrised law's
// are its own parameter's, which this takes itself).
[[nodiscard]] double law_cancellation(Law law, std::span<const double> arguments,
                                      std::span<const double> flux) noexcept;

// The accuracy to ask of the basis fluxes so that a combination with
// cancellation kappa meets rtol, no finer than the core promises.
[[nodiscard]] double basis_rtol(double rtol, double kappa) noexcept;

// One call's work over flat arrays.  The full result has `count` elements;
// the geometry (u, rho) repeats across coefficient sets (bands), so it has
// its own, possibly smaller, set of `geometry_count` points, and element i
// of the result takes geometry point geometry_index[i] (i itself when
// geometry_index is null).  Coefficient arrays hold either one value for
// every element (stride 0) or one per element (stride 1); the tabulated
// intensity holds rows of basis size entries, one row (stride 0) or one per
// element (stride = basis size).
struct Strided {
    const double* data = nullptr;
    std::size_t stride = 0;

    [[nodiscard]] double operator[](std::size_t i) const noexcept { return data[i * stride]; }
};

struct Batch {
    Basis basis;
    std::span<const double> flux;  // N_k
    double rtol;                   // asked of the basis fluxes (basis_rtol)

    std::size_t geometry_count;
    Strided u;    // geometry_count values (or one)
    Strided rho;  // likewise, positive and finite
    // A parametrised law's profile parameter (power2's alpha), likewise:
    // part of the geometry, since F_k and N_k depend on it.  With gradient,
    // basis.slope is set: F_k holds the parameter's slope profile too.
    Strided parameter;
    double* magnified;  // geometry_count * basis.size(): F_k of each point
    // If not null, one per geometry point, s: magnified holds 2^-s times F_k
    // and magnified_du and magnified_drho 2^-2s times their derivatives
    // (basis_magnified_flux), so that a source of 1e-307 Einstein radii,
    // whose F_k reach 1e307, can be combined with weights beyond 1.
    int* exponent = nullptr;
    // If not null, one per geometry point, zeroed by the caller: how close
    // the quadrature came to its tolerance there (basis_magnified_flux), the
    // worst over the point's units.
    double* worst = nullptr;

    std::size_t count;
    const std::ptrdiff_t* geometry_index;                  // count entries, or null
    std::array<Strided, max_coefficients> coefficients{};  // parametric laws
    Strided intensity;                                     // tabulated: a row (stride 0) or rows
    double* out;                                           // count values

    // With gradient set, also the derivatives: of F_k in u and rho per
    // geometry point (like magnified), and of A per result element in u, in
    // rho, in each coefficient (parametric laws; a parametrised law's
    // parameter after them) or in each entry of the intensity row
    // (tabulated: count * basis size values).
    bool gradient = false;
    double* magnified_du = nullptr;
    double* magnified_drho = nullptr;
    double* out_du = nullptr;
    double* out_drho = nullptr;
    std::array<double*, max_coefficients> out_dcoefficients{};
    double* out_dintensity = nullptr;

    // With moment set, also the centroid moments S_k of each geometry point
    // (like magnified) and the shift of the light centroid per result
    // element, sum_k w_k S_k / sum_k w_k F_k (basis_magnified_flux_centroid).
    double* moment = nullptr;
    double* out_shift = nullptr;
    // With moment and gradient both, also S_k's derivatives in u and rho
    // (like magnified_du) and the shift's per result element, as A's above
    // (basis_magnified_flux_centroid_gradient).
    double* moment_du = nullptr;
    double* moment_drho = nullptr;
    double* out_shift_du = nullptr;
    double* out_shift_drho = nullptr;
    std::array<double*, max_coefficients> out_shift_dcoefficients{};
    double* out_shift_dintensity = nullptr;
};

// The units of work of the geometry points (basis_units of each, point
// after point).
[[nodiscard]] std::size_t geometry_units(const Batch& batch) noexcept;
// F_k for the units [begin, end): the points are done once all their units
// are, which run in order.
void evaluate_geometry(const Batch& batch, std::size_t begin, std::size_t end) noexcept;

// Where the quadrature could not meet the accuracy asked (it ran out of
// panels, or of digits to bisect): how many geometry points, and the largest
// ratio of an error estimate to its tolerance among them (Batch::worst).
struct Shortfall {
    std::size_t count = 0;
    double worst = 0.0;
};
[[nodiscard]] Shortfall shortfall(const Batch& batch) noexcept;
// A = sum_k w_k F_k / sum_k w_k N_k for result elements [begin, end), once
// every geometry point they use is evaluated.
void combine(const Batch& batch, std::size_t begin, std::size_t end) noexcept;

// The uniform disk element-wise: out[i] = uniform(u[i], rho[i]), and with
// out_du and out_drho not null its derivatives too.
void evaluate_uniform(Strided u, Strided rho, double* out, std::size_t begin, std::size_t end,
                      double* out_du = nullptr, double* out_drho = nullptr) noexcept;
// And with the shift of the light centroid (uniform_centroid) in out_shift;
// with slopes not null also dA/du, dA/drho, dshift/du and dshift/drho there
// (uniform_centroid_gradient).
void evaluate_uniform_centroid(Strided u, Strided rho, double* out, double* out_shift,
                               std::size_t begin, std::size_t end,
                               std::array<double*, 4> slopes = {}) noexcept;

}  // namespace tavlomer::physics
