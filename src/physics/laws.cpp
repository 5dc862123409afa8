#include "physics/laws.hpp"

#include <algorithm>
#include <array>
#include <cmath>

namespace tavlomer::physics {
namespace {

// Coefficients beyond this size are scaled by a power of two before their
// weights are formed, so that neither the weights nor their products with
// the magnified fluxes overflow, and the validity rules' exact arithmetic
// (exact_sign.hpp) stays in range.  A is homogeneous of degree 0 in the
// weights and scaling by a power of two is exact: the results do not change
// by a bit, only no longer overflow.
constexpr double largest_unscaled = 0x1p256;
constexpr double smallest_unscaled = 0x1p-256;

// The exponent of the power of two that brings the largest magnitude among
// `values` near 1 (within [1/8, 1/4), leaving room for the rules' 2 c and
// 4 c), or 0 when it lies within [low, largest_unscaled] (or is 0).
int scale_exponent(const double* values, std::size_t n, double low) noexcept {
    double largest = 0.0;
    for (std::size_t i = 0; i < n; ++i) largest = std::max(largest, std::fabs(values[i]));
    if (largest <= largest_unscaled && (largest >= low || largest == 0.0)) return 0;
    return -std::ilogb(largest) - 3;
}

// x 2^e, exactly where it stays representable (0 for a term it makes
// negligible below the subnormals).
double times_power_of_two(double x, int e) noexcept { return e == 0 ? x : std::ldexp(x, e); }

// The coefficients scaled as above, with the constant term `one` of the
// weights (law_table.hpp).
struct Scaled {
    std::array<double, max_coefficients> c{};
    double one = 1.0;
};

Scaled scaled(std::span<const double> coefficients) noexcept {
    Scaled out;
    // Small coefficients need no scaling: the constant term dominates.
    out.one = std::ldexp(1.0, scale_exponent(coefficients.data(), coefficients.size(), 0.0));
    for (std::size_t j = 0; j < coefficients.size(); ++j) out.c[j] = coefficients[j] * out.one;
    return out;
}

}  // namespace

std::expected<void, Refusal> check_coefficients(Law law,
                                                std::span<const double> coefficients) noexcept {
    const LawDescriptor& d = descriptor(law);
    for (double value : coefficients) {
        if (!std::isfinite(value)) return std::unexpected(Refusal{d.not_finite});
    }
    const Scaled s = scaled(coefficients);
    if (!d.non_negative(s.c.data(), s.one)) return std::unexpected(Refusal{d.negative});
    return {};
}

double law_weights(Law law, std::span<const double> coefficients, std::span<double> w) noexcept {
    const Scaled s = scaled(coefficients);
    descriptor(law).weights(s.c.data(), s.one, w.data());
    return s.one;
}

std::expected<void, Refusal> check_radii(std::span<const double> radii) noexcept {
    if (radii.size() < 2) {
        return std::unexpected(Refusal{"radii must have at least two entries"});
    }
    for (std::size_t j = 0; j < radii.size(); ++j) {
        // Also refuses NaN.
        if (!(radii[j] >= 0.0 && radii[j] <= 1.0)) {
            return std::unexpected(Refusal{"radii must lie within [0, 1] (source radii)", j});
        }
    }
    for (std::size_t j = 1; j < radii.size(); ++j) {
        if (!(radii[j - 1] < radii[j])) {
            return std::unexpected(Refusal{"radii must be strictly increasing", j});
        }
    }
    return {};
}

std::expected<void, Refusal> check_intensity(std::span<const double> intensity) noexcept {
    bool any_positive = false;
    for (std::size_t j = 0; j < intensity.size(); ++j) {
        const double value = intensity[j];
        if (!std::isfinite(value)) return std::unexpected(Refusal{"intensity must be finite", j});
        if (value < 0.0) return std::unexpected(Refusal{"intensity must not be negative", j});
        any_positive = any_positive || value > 0.0;
    }
    if (!any_positive) {
        return std::unexpected(Refusal{"intensity must not be zero everywhere (no flux)"});
    }
    return {};
}

double cancellation(std::span<const double> w, std::span<const double> flux) noexcept {
    double magnitude = 0.0, total = 0.0;
    for (std::size_t k = 0; k < w.size(); ++k) {
        magnitude += std::fabs(w[k] * flux[k]);
        total += w[k] * flux[k];
    }
    return magnitude / std::fabs(total);
}

double basis_rtol(double rtol, double kappa) noexcept {
    const double asked = rtol / kappa;
    // Written so that a NaN (a flux not available) also falls back to the finest.
    return asked >= finest_basis_rtol ? asked : finest_basis_rtol;
}

Shortfall evaluate_geometry(const Batch& batch, std::size_t begin, std::size_t end) noexcept {
    const std::size_t size = batch.basis.size();
    Shortfall shortfall;
    for (std::size_t g = begin; g < end; ++g) {
        const std::span<double> magnified(batch.magnified + g * size, size);
        double worst = 0.0;
        if (batch.gradient) {
            worst = basis_magnified_flux_gradient(
                batch.basis, batch.u[g], batch.rho[g], batch.rtol, magnified,
                std::span<double>(batch.magnified_du + g * size, size),
                std::span<double>(batch.magnified_drho + g * size, size));
        } else {
            worst =
                basis_magnified_flux(batch.basis, batch.u[g], batch.rho[g], batch.rtol, magnified);
        }
        // A NaN result (a NaN u) is not a shortfall: it says so itself.
        if (worst > 1.0) shortfall.add({1, worst});
    }
    return shortfall;
}

namespace {

// sum_k (w_k 2^e) d_k, leaving out the terms of zero weight: an infinite
// derivative (the edge on the lens) counts only where the profile has it.
double weighted(const double* w, int e, const double* d, std::size_t size) noexcept {
    double sum = 0.0;
    for (std::size_t k = 0; k < size; ++k) {
        if (w[k] != 0.0) sum += times_power_of_two(w[k], e) * d[k];
    }
    return sum;
}

}  // namespace

// A = P / Q with P = sum_k w_k F_k and Q = sum_k w_k N_k, the weights scaled
// by a power of two where they are far from 1 (scale_exponent: the same
// bits, no overflow).  N_k depends on neither u nor rho, so dA/du = sum_k w_k dF_k/du
// / Q (and so for rho); the weights are affine in the coefficients, with
// slopes dw/dc_j = weights(e_j, 0), so dA/dc_j = (sum_k dw_k/dc_j (F_k -
// A N_k)) / Q, and for a table dA/dI_j = (F_j - A N_j) / Q.
void combine(const Batch& batch, std::size_t begin, std::size_t end) noexcept {
    const std::size_t size = batch.basis.size();
    const Law law = batch.basis.law;
    const LawDescriptor& d = descriptor(law);
    const std::size_t n = d.coefficient_count;
    std::array<double, max_basis> parametric{};
    // The weights' derivatives in each coefficient.
    std::array<std::array<double, max_basis>, max_coefficients> slopes{};
    if (batch.gradient) {
        for (std::size_t j = 0; j < n; ++j) {
            std::array<double, max_coefficients> unit{};
            unit[j] = 1.0;
            d.weights(unit.data(), 0.0, slopes[j].data());
        }
    }
    for (std::size_t i = begin; i < end; ++i) {
        const std::size_t g =
            batch.geometry_index ? static_cast<std::size_t>(batch.geometry_index[i]) : i;
        const double* magnified = batch.magnified + g * size;
        const double* w = parametric.data();
        int e = 0;         // a table's intensities as stored, times 2^e, are summed
        double one = 1.0;  // a parametric law's weights come scaled by one
        if (law == Law::tabulated) {
            w = batch.intensity.data + i * batch.intensity.stride;
            e = scale_exponent(w, size, smallest_unscaled);
        } else {
            std::array<double, max_coefficients> coefficients{};
            for (std::size_t j = 0; j < n; ++j) coefficients[j] = batch.coefficients[j][i];
            const Scaled c = scaled(std::span<const double>(coefficients.data(), n));
            d.weights(c.c.data(), c.one, parametric.data());
            one = c.one;
        }
        double numerator = 0.0, denominator = 0.0;
        for (std::size_t k = 0; k < size; ++k) {
            const double wk = times_power_of_two(w[k], e);
            numerator += wk * magnified[k];
            denominator += wk * batch.flux[k];
        }
        const double a = numerator / denominator;
        batch.out[i] = a;
        if (!batch.gradient) continue;
        batch.out_du[i] = weighted(w, e, batch.magnified_du + g * size, size) / denominator;
        batch.out_drho[i] = weighted(w, e, batch.magnified_drho + g * size, size) / denominator;
        // The derivatives in the weights themselves go as 1 / Q: unscaled.
        if (law == Law::tabulated) {
            double* dw = batch.out_dintensity + i * size;
            for (std::size_t k = 0; k < size; ++k) {
                dw[k] = times_power_of_two((magnified[k] - a * batch.flux[k]) / denominator, e);
            }
            continue;
        }
        for (std::size_t j = 0; j < n; ++j) {
            double sum = 0.0;
            for (std::size_t k = 0; k < size; ++k) {
                if (slopes[j][k] != 0.0) sum += slopes[j][k] * (magnified[k] - a * batch.flux[k]);
            }
            batch.out_dcoefficients[j][i] = sum / denominator * one;
        }
    }
}

void evaluate_uniform(Strided u, Strided rho, double* out, std::size_t begin, std::size_t end,
                      double* out_du, double* out_drho) noexcept {
    if (out_du == nullptr) {
        for (std::size_t i = begin; i < end; ++i) out[i] = uniform(u[i], rho[i]);
        return;
    }
    for (std::size_t i = begin; i < end; ++i) {
        const Dual a = uniform_gradient(u[i], rho[i]);
        out[i] = a.v;
        out_du[i] = a.du;
        out_drho[i] = a.dr;
    }
}

}  // namespace tavlomer::physics
