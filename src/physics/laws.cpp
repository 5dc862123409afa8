#include "physics/laws.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

#include "common/power_of_two.hpp"
#include "physics/disk_batch.hpp"

namespace tavlomer::physics {
namespace {

// Coefficients beyond this size are scaled by a power of two before their
// weights are formed, so that neither the weights nor their products with
// the magnified fluxes overflow, and the validity rules' exact arithmetic
// (exact_sign.hpp) stays in range.  A is homogeneous of degree 0 in the
// weights and scaling by a power of two is exact: the results do not change
// by a bit, only no longer overflow.
constexpr double largest_unscaled = 0x1p256;

// The exponent of the power of two that brings the largest magnitude among
// `values` near 1 (within [1/8, 1/4), leaving room for the rules' 2 c and
// 4 c), or 0 when it is at most largest_unscaled.
int scale_exponent(const double* values, std::size_t n) noexcept {
    double largest = 0.0;
    for (std::size_t i = 0; i < n; ++i) largest = std::max(largest, std::fabs(values[i]));
    if (largest <= largest_unscaled) return 0;
    return -std::ilogb(largest) - 3;
}

// The coefficients scaled as above, with the constant term `one` of the
// weights (law_table.hpp).
struct Scaled {
    std::array<double, max_coefficients> c{};
    double one = 1.0;
};

Scaled scaled(std::span<const double> coefficients) noexcept {
    Scaled out;
    // Small coefficients need no scaling: the constant term dominates.
    out.one = std::ldexp(1.0, scale_exponent(coefficients.data(), coefficients.size()));
    for (std::size_t j = 0; j < coefficients.size(); ++j) out.c[j] = coefficients[j] * out.one;
    return out;
}

}  // namespace

std::expected<void, Refusal> check_coefficients(Law law,
                                                std::span<const double> arguments) noexcept {
    const LawDescriptor& d = descriptor(law);
    const std::span<const double> coefficients = arguments.first(d.coefficient_count);
    for (double value : coefficients) {
        if (!std::isfinite(value)) return std::unexpected(Refusal{d.not_finite});
    }
    if (d.parametrised) {
        const double parameter = arguments[d.coefficient_count];
        // Also refuses NaN.
        if (!(parameter >= d.min_parameter && parameter > 0.0 && std::isfinite(parameter))) {
            return std::unexpected(Refusal{d.bad_parameter});
        }
    }
    const Scaled s = scaled(coefficients);
    if (!d.non_negative(s.c.data(), s.one)) return std::unexpected(Refusal{d.negative});
    return {};
}

double law_weights(Law law, std::span<const double> arguments, std::span<double> w) noexcept {
    const Scaled s = scaled(arguments.first(descriptor(law).coefficient_count));
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
        magnitude += std::fabs(w[k] * flux[k]);
        total += w[k] * flux[k];
    }
    return magnitude / std::fabs(total);
}

double law_cancellation(Law law, std::span<const double> arguments,
                        std::span<const double> flux) noexcept {
    const LawDescriptor& d = descriptor(law);
    std::array<double, max_basis> w{};
    law_weights(law, arguments, std::span<double>(w.data(), d.basis_size));
    std::array<double, max_basis> own{};
    if (d.parametrised) {
        const Basis basis{law, {}, arguments[d.coefficient_count]};
        basis_flux(basis, std::span<double>(own.data(), basis.size()));
        flux = std::span<const double>(own.data(), d.basis_size);
    }
    return cancellation(std::span<const double>(w.data(), d.basis_size), flux.first(d.basis_size));
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
    const bool parametrised = descriptor(batch.basis.law).parametrised;
    for (std::size_t unit = begin; unit < end;) {
        const std::size_t g = unit / per_point;
        const Units units{unit % per_point, std::min(per_point, unit % per_point + (end - unit))};
        const std::span<double> magnified(batch.magnified + g * size, size);
        Basis basis = batch.basis;
        if (parametrised) basis.parameter = batch.parameter[g];
        double worst = 0.0;
        if (batch.moment != nullptr && batch.gradient) {
            const auto part = [&](double* p) { return std::span<double>(p + g * size, size); };
            worst = basis_magnified_flux_centroid_gradient(
                basis, batch.u[g], batch.rho[g], batch.rtol, magnified, part(batch.magnified_du),
                part(batch.magnified_drho), part(batch.moment), part(batch.moment_du),
                part(batch.moment_drho), units, batch.exponent ? batch.exponent + g : nullptr);
        } else if (batch.moment != nullptr) {
            worst = basis_magnified_flux_centroid(
                basis, batch.u[g], batch.rho[g], batch.rtol, magnified,
                std::span<double>(batch.moment + g * size, size), units,
                batch.exponent ? batch.exponent + g : nullptr);
        } else if (batch.gradient) {
            worst = basis_magnified_flux_gradient(
                basis, batch.u[g], batch.rho[g], batch.rtol, magnified,
                std::span<double>(batch.magnified_du + g * size, size),
                std::span<double>(batch.magnified_drho + g * size, size), units,
                batch.exponent ? batch.exponent + g : nullptr);
        } else {
            worst = basis_magnified_flux(basis, batch.u[g], batch.rho[g], batch.rtol, magnified,
                                         units, batch.exponent ? batch.exponent + g : nullptr);
        }
        // The point's units add to its shortfall; a NaN result (a NaN u) is
        // not a shortfall: it says so itself.
        if (batch.worst != nullptr && worst > batch.worst[g]) batch.worst[g] = worst;
        unit += units.last - units.first;
    }
}

Shortfall shortfall(const Batch& batch) noexcept {
    Shortfall out;
    if (batch.worst == nullptr) return out;
    for (std::size_t g = 0; g < batch.geometry_count; ++g) {
        if (batch.worst[g] > 1.0) {
            ++out.count;
            out.worst = std::max(out.worst, batch.worst[g]);
        }
    }
    return out;
}

// A = P / Q with P = sum_k w_k F_k and Q = sum_k w_k N_k, the weights scaled
// by a power of two where they are far from 1 (scale_exponent: the same
// bits, no overflow).  N_k depends on neither u nor rho, so dA/du = sum_k w_k dF_k/du
// / Q (and so for rho); the weights are affine in the coefficients, with
// slopes dw/dc_j = weights(e_j, 0), so dA/dc_j = (sum_k dw_k/dc_j (F_k -
// A N_k)) / Q, and for a table dA/dI_j = (F_j - A N_j) / Q.  A parametrised
// law's last profile b depends on the parameter alpha, and so do its F and N:
// dA/dalpha = w (F' - A N') / Q with F' and N' those of db/dalpha, the
// basis's slope profile (after the law's own).
void combine(const Batch& batch, std::size_t begin, std::size_t end) noexcept {
    const std::size_t size = batch.basis.size();
    const Law law = batch.basis.law;
    const LawDescriptor& d = descriptor(law);
    const std::size_t n = d.coefficient_count;
    // The profiles weighted: all but a slope profile.
    const std::size_t weighted = law == Law::tabulated ? size : d.basis_size;
    std::array<double, max_basis> parameter_flux{};
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
        const double* flux = batch.flux.data();
        if (d.parametrised) {
            Basis basis = batch.basis;
            basis.parameter = batch.parameter[g];
            basis_flux(basis, std::span<double>(parameter_flux.data(), size));
            flux = parameter_flux.data();
        }
        const double* w = parametric.data();
        double one = 1.0;  // a parametric law's weights come scaled by one
        if (law == Law::tabulated) {
            w = batch.intensity.data + i * batch.intensity.stride;
        } else {
            std::array<double, max_coefficients> coefficients{};
            for (std::size_t j = 0; j < n; ++j) coefficients[j] = batch.coefficients[j][i];
            const Scaled c = scaled(std::span<const double>(coefficients.data(), n));
            d.weights(c.c.data(), c.one, parametric.data());
            one = c.one;
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
        const auto scaled = [&](std::size_t k) { return times_power_of_two(w[k], -e); };
        double numerator = 0.0, denominator = 0.0;
        for (std::size_t k = 0; k < weighted; ++k) {
            numerator += scaled(k) * magnified[k];
            denominator += scaled(k) * flux[k];
        }
        // F_k as 2^-s times their values (Batch::exponent), A too; the
        // derivatives in u and rho as 2^-2s times theirs.
        const int s = batch.exponent ? batch.exponent[g] : 0;
        const double a = numerator / denominator;
        batch.out[i] = times_power_of_two(a, s);
        // The shift as the sums' ratio r: 2^s times its value (the moments
        // do not scale).
        double ratio = 0.0;
        const double* moment = batch.moment ? batch.moment + g * size : nullptr;
        if (batch.out_shift != nullptr) {
            double sum = 0.0;
            for (std::size_t k = 0; k < weighted; ++k) sum += scaled(k) * moment[k];
            ratio = sum / numerator;
            batch.out_shift[i] = times_power_of_two(ratio, -s);
        }
        if (!batch.gradient) continue;
        if (batch.out_shift_du != nullptr) {
            // shift = sum_k w_k S_k / P (P = sum_k w_k F_k), so dshift =
            // (sum_k w_k dS_k - shift dP) / P, and for a weight
            // (S_k - shift F_k) / P.  With the moments' slopes 2^-s times
            // theirs and the fluxes' 2^-2s, the slopes in u and rho take r
            // and no scaling.  A zero shift (a flat source with the lens at
            // the centre or on the limb) takes no part of P's slopes, which
            // are infinite on the limb.
            const auto shift_slope = [&](const double* d_moment, const double* d_flux) {
                double dm = 0.0, df = 0.0;
                for (std::size_t k = 0; k < weighted; ++k) {
                    if (w[k] == 0.0) continue;
                    dm += scaled(k) * d_moment[k];
                    df += scaled(k) * d_flux[k];
                }
                return (ratio == 0.0 ? dm : dm - ratio * df) / numerator;
            };
            batch.out_shift_du[i] =
                shift_slope(batch.moment_du + g * size, batch.magnified_du + g * size);
            batch.out_shift_drho[i] =
                shift_slope(batch.moment_drho + g * size, batch.magnified_drho + g * size);
            const auto own = [&](std::size_t k) { return moment[k] - ratio * magnified[k]; };
            if (law == Law::tabulated) {
                double* d = batch.out_shift_dintensity + i * size;
                for (std::size_t k = 0; k < size; ++k) {
                    d[k] = times_power_of_two(own(k) / numerator, -s - e);
                }
            } else {
                for (std::size_t j = 0; j < n; ++j) {
                    double sum = 0.0;
                    for (std::size_t k = 0; k < weighted; ++k) {
                        if (slopes[j][k] != 0.0) sum += slopes[j][k] * own(k);
                    }
                    batch.out_shift_dcoefficients[j][i] =
                        times_power_of_two(sum / numerator, -s) * one;
                }
                if (d.parametrised) {
                    batch.out_shift_dcoefficients[n][i] =
                        times_power_of_two(w[d.basis_size - 1] * own(size - 1) / numerator, -s);
                }
            }
        }
        const auto slope = [&](const double* d) {
            double sum = 0.0;
            for (std::size_t k = 0; k < weighted; ++k) {
                if (w[k] != 0.0) sum += scaled(k) * d[k];
            }
            return times_power_of_two(sum / denominator, 2 * s);
        };
        if (law == Law::tabulated) {
            batch.out_du[i] = slope(batch.magnified_du + g * size);
            batch.out_drho[i] = slope(batch.magnified_drho + g * size);
            // dA/dI_k = (F_k - A N_k) / Q with Q in the intensities' own units.
            double* d = batch.out_dintensity + i * size;
            for (std::size_t k = 0; k < size; ++k) {
                d[k] = times_power_of_two((magnified[k] - a * flux[k]) / denominator, s - e);
            }
            continue;
        }
        // The parametric weights come scaled already (Scaled): e is 0.
        batch.out_du[i] = slope(batch.magnified_du + g * size);
        batch.out_drho[i] = slope(batch.magnified_drho + g * size);
        for (std::size_t j = 0; j < n; ++j) {
            double sum = 0.0;
            for (std::size_t k = 0; k < weighted; ++k) {
                if (slopes[j][k] != 0.0) sum += slopes[j][k] * (magnified[k] - a * flux[k]);
            }
            // The derivatives in the coefficients go as 1 / Q: unscaled.
            batch.out_dcoefficients[j][i] = times_power_of_two(sum / denominator, s) * one;
        }
        if (d.parametrised) {
            // The weight and Q are scaled alike: the ratio is not.
            const std::size_t k = d.basis_size - 1;
            batch.out_dcoefficients[n][i] = times_power_of_two(
                w[k] * (magnified[size - 1] - a * flux[size - 1]) / denominator, s);
        }
    }
}

namespace {

// The uniform disks of elements [i, i + n) in blocks for the batch disk: the
// disk of |u| with delta = |u| - rho.
constexpr std::size_t uniform_block = 256;
struct UniformBlock {
    std::array<double, uniform_block> u, rho, delta;

    void fill(Strided su, Strided srho, std::size_t i, std::size_t n) noexcept {
        for (std::size_t j = 0; j < n; ++j) {
            u[j] = std::fabs(su[i + j]);
            rho[j] = srho[i + j];
            delta[j] = u[j] - rho[j];
        }
    }
};

}  // namespace

void evaluate_uniform(Strided u, Strided rho, double* out, std::size_t begin, std::size_t end,
                      double* out_du, double* out_drho) noexcept {
    // In blocks through the batch disk, uniform()'s and uniform_gradient()'s
    // bits, the derivative in u mirrored for u < 0.
    constexpr std::size_t block = uniform_block;
    UniformBlock b;
    std::array<double, block> one;
    one.fill(1.0);
    for (std::size_t i = begin; i < end; i += block) {
        const std::size_t n = std::min(block, end - i);
        b.fill(u, rho, i, n);
        const double* bu = b.u.data();
        const double* brho = b.rho.data();
        const double* bdelta = b.delta.data();
        if (out_du == nullptr) {
            disk_batch::disks(bu, brho, bdelta, out + i, n);
            continue;
        }
        disk_batch::nested_slopes(bu, brho, one.data(), bdelta, out + i, out_du + i, out_drho + i,
                                  n);
        for (std::size_t j = 0; j < n; ++j) {
            if (u[i + j] < 0.0) out_du[i + j] = -out_du[i + j];
        }
    }
}

void evaluate_uniform_centroid(Strided u, Strided rho, double* out, double* out_shift,
                               std::size_t begin, std::size_t end,
                               std::array<double*, 4> slopes) noexcept {
    if (slopes[0] != nullptr) {
        for (std::size_t i = begin; i < end; ++i) {
            const DiskCentroidGradient g = uniform_centroid_gradient(u[i], rho[i]);
            out[i] = g.a.v;
            out_shift[i] = g.shift.v;
            slopes[0][i] = g.a.du;
            slopes[1][i] = g.a.dr;
            slopes[2][i] = g.shift.du;
            slopes[3][i] = g.shift.dr;
        }
        return;
    }
    // In blocks through the batch's centroid kernel, uniform_centroid()'s
    // bits: its disk of |u| and its shift, moment / A.
    UniformBlock b;
    std::array<double, uniform_block> moment;
    for (std::size_t i = begin; i < end; i += uniform_block) {
        const std::size_t n = std::min(uniform_block, end - i);
        b.fill(u, rho, i, n);
        disk_batch::centroids(b.u.data(), b.rho.data(), b.delta.data(), out + i, moment.data(), n);
        for (std::size_t j = 0; j < n; ++j) out_shift[i + j] = moment[j] / out[i + j];
    }
}

}  // namespace tavlomer::physics
