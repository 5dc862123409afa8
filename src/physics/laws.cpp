#include "physics/laws.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

namespace tavlomer::physics {
namespace {

// The largest basis of a parametric law (quadratic, square root).
constexpr std::size_t largest_parametric_basis = 3;

struct LawRules {
    const char* not_finite;
    const char* negative;
};

// One message per law and rule, naming the law's own coefficients.
constexpr LawRules rules(Law law) noexcept {
    switch (law) {
        case Law::linear:
            return {"c must be finite (and not so large that the intensity overflows)",
                    "c must be at most 1: the intensity 1 - c (1 - mu) is negative at the limb "
                    "(mu = 0) otherwise"};
        case Law::quadratic:
            return {"a and b must be finite (and not so large that the intensity overflows)",
                    "a and b must keep the intensity 1 - a (1 - mu) - b (1 - mu)^2 non-negative "
                    "for 0 <= mu <= 1: a + b <= 1, and a^2 + 4 b <= 0 where 0 < a < -2 b"};
        case Law::square_root:
            return {"c and d must be finite (and not so large that the intensity overflows)",
                    "c and d must keep the intensity 1 - c (1 - mu) - d (1 - sqrt(mu)) "
                    "non-negative for 0 <= mu <= 1: c + d <= 1, and d^2 <= 4 c (1 - c - d) "
                    "where 0 < -d < 2 c"};
        case Law::tabulated:
            break;
    }
    return {"", ""};
}

// I(t) = 1 - a t - b t^2 with t = 1 - mu in [0, 1] is 1 at t = 0 and
// 1 - a - b at t = 1; for b < 0 it is convex, with its least value
// 1 + a^2 / (4 b) at t = -a / (2 b) when that lies inside (0, 1).
bool quadratic_non_negative(double a, double b) noexcept {
    if (!(1.0 - a - b >= 0.0)) return false;
    const bool interior_minimum = b < 0.0 && 0.0 < a && a < -2.0 * b;
    return !interior_minimum || a * a + 4.0 * b <= 0.0;
}

// With s = sqrt(mu) in [0, 1], I = (1 - c - d) + d s + c s^2: 1 at s = 1 and
// 1 - c - d at s = 0; for c > 0 it is convex, with its least value
// 1 - c - d - d^2 / (4 c) at s = -d / (2 c) when that lies inside (0, 1).
bool square_root_non_negative(double c, double d) noexcept {
    if (!(1.0 - c - d >= 0.0)) return false;
    const bool interior_minimum = c > 0.0 && 0.0 < -d && -d < 2.0 * c;
    return !interior_minimum || d * d <= 4.0 * c * (1.0 - c - d);
}

}  // namespace

std::expected<void, Refusal> check_coefficients(Law law,
                                                std::span<const double> coefficients) noexcept {
    const LawRules rule = rules(law);
    for (double value : coefficients) {
        if (!std::isfinite(value)) return std::unexpected(Refusal{rule.not_finite});
    }
    // Finite coefficients can still overflow the weights (a + 2 b), which
    // would turn every magnification into NaN.
    double w[largest_parametric_basis] = {};
    law_weights(law, coefficients, std::span<double>(w, coefficient_count(law) + 1));
    for (double weight : w) {
        if (!std::isfinite(weight)) return std::unexpected(Refusal{rule.not_finite});
    }
    bool non_negative = true;
    switch (law) {
        // I = 1 - c (1 - mu) is linear in mu: least at mu = 0, where it is 1 - c.
        case Law::linear:
            non_negative = coefficients[0] <= 1.0;
            break;
        case Law::quadratic:
            non_negative = quadratic_non_negative(coefficients[0], coefficients[1]);
            break;
        case Law::square_root:
            non_negative = square_root_non_negative(coefficients[0], coefficients[1]);
            break;
        case Law::tabulated:
            break;
    }
    if (!non_negative) return std::unexpected(Refusal{rule.negative});
    return {};
}

void law_weights(Law law, std::span<const double> coefficients, std::span<double> w) noexcept {
    switch (law) {
        case Law::linear: {
            const double c = coefficients[0];
            w[0] = 1.0 - c;
            w[1] = c;
            return;
        }
        case Law::quadratic: {
            const double a = coefficients[0], b = coefficients[1];
            w[0] = 1.0 - a - b;
            w[1] = a + 2.0 * b;
            w[2] = -b;
            return;
        }
        case Law::square_root: {
            const double c = coefficients[0], d = coefficients[1];
            w[0] = 1.0 - c - d;
            w[1] = c;
            w[2] = d;
            return;
        }
        case Law::tabulated:
            return;
    }
}

std::expected<void, Refusal> check_radii(std::span<const double> radii) noexcept {
    if (radii.size() < 2) {
        return std::unexpected(Refusal{"radii must have at least two entries"});
    }
    for (double r : radii) {
        // Also refuses NaN.
        if (!(r >= 0.0 && r <= 1.0)) {
            return std::unexpected(Refusal{"radii must lie within [0, 1] (source radii)"});
        }
    }
    for (std::size_t j = 1; j < radii.size(); ++j) {
        if (!(radii[j - 1] < radii[j])) {
            return std::unexpected(Refusal{"radii must be strictly increasing"});
        }
    }
    return {};
}

std::expected<void, Refusal> check_intensity(std::span<const double> intensity) noexcept {
    bool any_positive = false;
    for (double value : intensity) {
        if (!std::isfinite(value)) return std::unexpected(Refusal{"intensity must be finite"});
        if (value < 0.0) return std::unexpected(Refusal{"intensity must not be negative"});
        any_positive = any_positive || value > 0.0;
    }
    if (!any_positive) {
        return std::unexpected(Refusal{"intensity must not be zero everywhere (no flux)"});
    }
    return {};
}

std::expected<void, Refusal> check_table_flux(std::span<const double> intensity,
                                              std::span<const double> flux) noexcept {
    // basis_flux scales the radii so that the outermost lies in [1/2, 1];
    // the intensities are taken relative to the largest, as combine does.
    const double largest = *std::max_element(intensity.begin(), intensity.end());
    double total = 0.0;
    for (std::size_t k = 0; k < intensity.size(); ++k) total += intensity[k] / largest * flux[k];
    if (!(total >= min_table_flux)) {
        return std::unexpected(Refusal{
            "intensity must not be bright only within about 1e-145 times the table's outermost "
            "radius of the centre (its flux would be below 1e-290 of the largest intensity times "
            "that radius squared)"});
    }
    return {};
}

double cancellation(std::span<const double> w, std::span<const double> flux) noexcept {
    double magnitude = 0.0, total = 0.0;
    for (std::size_t k = 0; k < w.size(); ++k) {
        magnitude += std::fabs(w[k]) * flux[k];
        total += w[k] * flux[k];
    }
    return magnitude / std::fabs(total);
}

double basis_rtol(double rtol, double kappa) noexcept {
    const double asked = rtol / kappa;
    // Written so that a NaN (a flux not available) also falls back to the finest.
    return asked >= finest_basis_rtol ? asked : finest_basis_rtol;
}

std::size_t geometry_units(const Batch& batch) noexcept {
    return batch.geometry_count * basis_units(batch.basis);
}

void evaluate_geometry(const Batch& batch, std::size_t begin, std::size_t end) noexcept {
    const std::size_t size = batch.basis.size();
    const std::size_t per_point = basis_units(batch.basis);
    for (std::size_t unit = begin; unit < end;) {
        const std::size_t g = unit / per_point;
        const Units units{unit % per_point, std::min(per_point, unit % per_point + (end - unit))};
        const std::span<double> magnified(batch.magnified + g * size, size);
        if (batch.gradient) {
            basis_magnified_flux_gradient(batch.basis, batch.u[g], batch.rho[g], batch.rtol,
                                          magnified,
                                          std::span<double>(batch.magnified_du + g * size, size),
                                          std::span<double>(batch.magnified_drho + g * size, size),
                                          units, batch.exponent ? batch.exponent + g : nullptr);
        } else {
            basis_magnified_flux(batch.basis, batch.u[g], batch.rho[g], batch.rtol, magnified,
                                 units, batch.exponent ? batch.exponent + g : nullptr);
        }
        unit += units.last - units.first;
    }
}

namespace {

// sum_k w_k d_k, leaving out the terms of zero weight: an infinite
// derivative (the edge on the lens) counts only where the profile has it.
double weighted(const double* w, const double* d, std::size_t size) noexcept {
    double sum = 0.0;
    for (std::size_t k = 0; k < size; ++k) {
        if (w[k] != 0.0) sum += w[k] * d[k];
    }
    return sum;
}

}  // namespace

// A = P / Q with P = sum_k w_k F_k and Q = sum_k w_k N_k.  N_k depends on
// neither u nor rho, so dA/du = sum_k w_k dF_k/du / Q (and so for rho); the
// weights are linear in the coefficients, dw/dc_j = w(e_j) - w(0), so
// dA/dc_j = (sum_k dw_k/dc_j (F_k - A N_k)) / Q, and for a table
// dA/dI_j = (F_j - A N_j) / Q.
void combine(const Batch& batch, std::size_t begin, std::size_t end) noexcept {
    const std::size_t size = batch.basis.size();
    const Law law = batch.basis.law;
    const std::size_t n = law == Law::tabulated ? 0 : coefficient_count(law);
    std::array<double, largest_parametric_basis> parametric{};
    // The weights' derivatives in each coefficient.
    std::array<std::array<double, largest_parametric_basis>, 2> slopes{};
    if (batch.gradient && n > 0) {
        std::array<double, largest_parametric_basis> at_zero{};
        const double zero[2] = {};
        law_weights(law, std::span<const double>(zero, n), std::span<double>(at_zero.data(), size));
        for (std::size_t j = 0; j < n; ++j) {
            double unit[2] = {};
            unit[j] = 1.0;
            law_weights(law, std::span<const double>(unit, n),
                        std::span<double>(slopes[j].data(), size));
            for (std::size_t k = 0; k < size; ++k) slopes[j][k] -= at_zero[k];
        }
    }
    for (std::size_t i = begin; i < end; ++i) {
        const std::size_t g =
            batch.geometry_index ? static_cast<std::size_t>(batch.geometry_index[i]) : i;
        const double* magnified = batch.magnified + g * size;
        const double* w = parametric.data();
        if (law == Law::tabulated) {
            w = batch.intensity.data + i * batch.intensity.stride;
        } else {
            double coefficients[2] = {};
            for (std::size_t j = 0; j < n; ++j) coefficients[j] = batch.coefficients[j][i];
            law_weights(law, std::span<const double>(coefficients, n), parametric);
        }
        // A table's intensities are taken in units of a power of two near
        // their largest, 2^e: A does not depend on their scale, and neither
        // 1e308 nor 5e-324 times a flux is then formed (an overflow, or a
        // subnormal with few digits).  Exact, so most tables (e = 0) see no
        // change.
        int e = 0;
        if (law == Law::tabulated) {
            e = std::numeric_limits<int>::min();
            for (std::size_t k = 0; k < size; ++k) {
                if (w[k] != 0.0) e = std::max(e, std::ilogb(w[k]));
            }
        }
        const auto scaled = [&](std::size_t k) { return e == 0 ? w[k] : std::ldexp(w[k], -e); };
        double numerator = 0.0, denominator = 0.0;
        for (std::size_t k = 0; k < size; ++k) {
            numerator += scaled(k) * magnified[k];
            denominator += scaled(k) * batch.flux[k];
        }
        // F_k as 2^-s times their values (Batch::exponent), A too; the
        // derivatives in u and rho as 2^-2s times theirs.
        const int s = batch.exponent ? batch.exponent[g] : 0;
        const double a = numerator / denominator;
        batch.out[i] = std::ldexp(a, s);
        if (!batch.gradient) continue;
        const auto slope = [&](const double* d) {
            double sum = 0.0;
            for (std::size_t k = 0; k < size; ++k) {
                if (w[k] != 0.0) sum += scaled(k) * d[k];
            }
            return std::ldexp(sum / denominator, 2 * s);
        };
        if (law == Law::tabulated) {
            batch.out_du[i] = slope(batch.magnified_du + g * size);
            batch.out_drho[i] = slope(batch.magnified_drho + g * size);
            // dA/dI_k = (F_k - A N_k) / Q with Q in the intensities' own units.
            double* d = batch.out_dintensity + i * size;
            for (std::size_t k = 0; k < size; ++k) {
                d[k] = std::ldexp((magnified[k] - a * batch.flux[k]) / denominator, s - e);
            }
            continue;
        }
        batch.out_du[i] =
            std::ldexp(weighted(w, batch.magnified_du + g * size, size) / denominator, 2 * s);
        batch.out_drho[i] =
            std::ldexp(weighted(w, batch.magnified_drho + g * size, size) / denominator, 2 * s);
        for (std::size_t j = 0; j < n; ++j) {
            double sum = 0.0;
            for (std::size_t k = 0; k < size; ++k) {
                if (slopes[j][k] != 0.0) sum += slopes[j][k] * (magnified[k] - a * batch.flux[k]);
            }
            batch.out_dcoefficients[j][i] = std::ldexp(sum / denominator, s);
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
