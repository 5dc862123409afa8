// The brightness laws of tavlomer_physics on raw doubles: coefficients of any
// size and sign, NaN and infinities, tables of any order, and a small batch
// through the evaluation.  Checked beyond no undefined behaviour and
// termination:
//  - coefficients are refused as not finite when one is not finite;
//  - otherwise they are accepted exactly when the intensity is non-negative
//    on the disk, judged independently of the rule's closed form: the
//    intensity is a quadratic in t = 1 - mu (quadratic law) or s = sqrt(mu)
//    (square-root law), so its least value on [0, 1] is at an end or at the
//    minimum a golden-section search finds (exact for a convex quadratic,
//    drawn to an end for a concave one).  Within a small band around zero,
//    where rounding decides, either answer is right;
//  - the weights are finite for any finite coefficients and reproduce the
//    intensity at every mu (up to the power of two they come scaled by),
//    and an accepted law has cancellation kappa >= 1 and a basis accuracy
//    within the contract;
//  - a table is accepted exactly when it has two or more radii, strictly
//    increasing, within [0, 1]; intensities exactly when finite,
//    non-negative and not all zero;
//  - the batch evaluation writes every result element, and only those, with
//    or without derivatives, and the values do not depend on which;
//  - sources of any accepted radius (from the smallest normal double to the
//    largest) get finite magnifications from the parametric laws;
//  - a table scaled to any outer radius, with intensities of any magnitude,
//    accepted: no NaN for a separation that is not NaN, and the same bits
//    whether a point's units of work run together or one by one.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <span>
#include <vector>

#include "fuzz_input.hpp"
#include "physics/laws.hpp"

namespace ph = tavlomer::physics;

namespace {

// The intensity, written out for each law as its docstring states it (an
// independent reference for the law table's weights).
// With the constant term `one`, for coefficients scaled by it.
double intensity(ph::Law law, const double* k, double mu, double one = 1) {
    switch (law) {
        case ph::Law::linear:
            return one - k[0] * (1 - mu);
        case ph::Law::quadratic:
            return one - k[0] * (1 - mu) - k[1] * (1 - mu) * (1 - mu);
        case ph::Law::square_root:
            return one - k[0] * (1 - mu) - k[1] * (1 - std::sqrt(mu));
        case ph::Law::logarithmic:
            return one - k[0] * (1 - mu) - (mu > 0 ? k[1] * mu * std::log(mu) : 0.0);
        case ph::Law::claret4: {
            double sum = one;
            for (int j = 0; j < 4; ++j) sum -= k[j] * (1 - std::pow(mu, (j + 1) / 2.0));
            return sum;
        }
        case ph::Law::power2:  // k[1] is alpha, never scaled
            return one - k[0] * (1 - std::pow(mu, k[1]));
        case ph::Law::tabulated:
            break;
    }
    return 0;
}

// Whether the law's intensity is a quadratic (or linear) in the variable
// least_intensity searches; otherwise only a grid looks for a negative value.
bool unimodal(ph::Law law) {
    return law == ph::Law::linear || law == ph::Law::quadratic || law == ph::Law::square_root ||
           law == ph::Law::power2;
}

// The least intensity on a grid of mu: an upper bound of the true least.
double grid_least_intensity(ph::Law law, const double* k) {
    double least = intensity(law, k, 0);
    for (int i = 1; i <= 4000; ++i) {
        const double s = i / 4000.0;
        least = std::fmin(least, intensity(law, k, s * s));
    }
    return least;
}

// The least intensity over mu in [0, 1], searched in the variable in which
// the law is a quadratic (t = 1 - mu, s = sqrt(mu); linear is linear in mu).
double least_intensity(ph::Law law, const double* k) {
    // power2 is monotone in mu (alpha > 0): least at an end.
    if (law == ph::Law::power2) return std::fmin(intensity(law, k, 0), intensity(law, k, 1));
    auto at = [&](double x) {
        const double mu = law == ph::Law::square_root ? x * x : 1 - x;
        return intensity(law, k, mu);
    };
    double lo = 0, hi = 1;
    const double ratio = 0.6180339887498949;  // (sqrt(5) - 1) / 2
    for (int i = 0; i < 200; ++i) {
        const double a = hi - ratio * (hi - lo), b = lo + ratio * (hi - lo);
        if (at(a) < at(b)) {
            hi = b;
        } else {
            lo = a;
        }
    }
    return std::fmin(std::fmin(at(0), at(1)), at(0.5 * (lo + hi)));
}

void check_law(ph::Law law, const double* k) {
    const ph::LawDescriptor& d = ph::descriptor(law);
    // The coefficients, and a parametrised law's parameter after them.
    const std::size_t n = ph::coefficient_count(law);
    const std::span<const double> coefficients(k, d.argument_count);
    const auto checked = ph::check_coefficients(law, coefficients);
    bool finite = true;
    double scale = 1;
    for (std::size_t j = 0; j < n; ++j) {
        finite = finite && std::isfinite(k[j]);
        scale += std::fabs(k[j]);
    }
    const double alpha = d.parametrised ? k[n] : 0.0;
    if (!finite || (d.parametrised && !(alpha >= d.min_parameter && std::isfinite(alpha)))) {
        FUZZ_CHECK(!checked);
        return;
    }
    double w[ph::max_basis] = {};
    const double one = ph::law_weights(law, coefficients, std::span<double>(w, d.basis_size));
    for (double weight : w) FUZZ_CHECK(std::isfinite(weight));
    // Rounding of the rule and of the search: a few ulps of the terms.
    const double band = 1e-12 * scale * scale;
    if (unimodal(law)) {
        const double least = least_intensity(law, k);
        if (least > band) FUZZ_CHECK(checked.has_value());
        if (least < -band) FUZZ_CHECK(!checked);
    } else if (grid_least_intensity(law, k) < -band) {
        // A negative value found is a true one: the law must be refused.
        FUZZ_CHECK(!checked);
    }
    if (!checked) return;

    // Compared at the weights' own scale, where nothing overflows.
    double scaled[ph::max_coefficients] = {};
    for (std::size_t j = 0; j < n; ++j) scaled[j] = k[j] * one;
    if (d.parametrised) scaled[n] = alpha;
    const double bound = 1e-13 * (scale * one) * (scale * one);
    for (double mu : {0.0, 0.25, 0.5, 1.0}) {
        double sum = 0;
        for (std::size_t j = 0; j < d.basis_size; ++j) {
            sum += w[j] * ph::profile_value(d.basis[j], mu, alpha);
        }
        FUZZ_CHECK(std::fabs(sum - intensity(law, scaled, mu, one)) <= bound);
    }
    // The basis fluxes 2 int_0^1 r b(r) dr: 2 / (p + 2) for mu^p.
    double flux[ph::max_basis] = {};
    for (std::size_t j = 0; j < d.basis_size; ++j) {
        const ph::Profile p = d.basis[j];
        flux[j] = p == ph::Profile::one          ? 1.0
                  : p == ph::Profile::mu         ? 2.0 / 3
                  : p == ph::Profile::mu_squared ? 0.5
                  : p == ph::Profile::mu_power   ? 2.0 / (alpha + 2.0)
                                                 : 0.8;
    }
    const double kappa = ph::cancellation(std::span<const double>(w, d.basis_size),
                                          std::span<const double>(flux, d.basis_size));
    FUZZ_CHECK(kappa >= 1 - 1e-12);
    const double asked = ph::basis_rtol(ph::max_rtol, kappa);
    FUZZ_CHECK(asked >= ph::finest_basis_rtol && asked <= ph::max_rtol);
}

void check_table(const std::vector<double>& radii, const std::vector<double>& values) {
    bool ordered = radii.size() >= 2;
    for (std::size_t j = 0; j < radii.size(); ++j) {
        ordered = ordered && radii[j] >= 0 && radii[j] <= 1 && (j == 0 || radii[j - 1] < radii[j]);
    }
    FUZZ_CHECK(ph::check_radii(radii).has_value() == ordered);
    bool usable = false, sound = true;
    for (double v : values) {
        sound = sound && std::isfinite(v) && v >= 0;
        usable = usable || v > 0;
    }
    FUZZ_CHECK(ph::check_intensity(values).has_value() == (sound && usable));
}

// Three result elements over two geometry points, the coefficients one per
// element; the output has a guard element on each side that must stay.
void check_batch(ph::Law law, const double* k, double u0, double u1, double rho, bool gradient) {
    const double guard = 12345.0;
    const double u[2] = {u0, u1}, rhos[2] = {rho, rho};
    const std::ptrdiff_t index[3] = {1, 0, 1};
    double magnified[3 * 2 * ph::max_basis] = {};
    int exponent[2] = {};
    double flux[ph::max_basis] = {};
    double out[5] = {guard, 0, 0, 0, guard};
    ph::Batch batch{};
    batch.basis = {law, {}};
    const ph::LawDescriptor& descriptor = ph::descriptor(law);
    // power2: alpha, one for both points, and with derivatives its slope profile.
    if (descriptor.parametrised) batch.parameter = {&k[descriptor.coefficient_count], 0};
    batch.basis.slope = descriptor.parametrised && gradient;
    ph::basis_flux(batch.basis, std::span<double>(flux, batch.basis.size()));
    batch.flux = std::span<const double>(flux, batch.basis.size());
    batch.rtol = ph::basis_rtol(ph::default_rtol, 1);
    batch.geometry_count = 2;
    batch.u = {u, 1};
    batch.rho = {rhos, 1};
    batch.magnified = magnified;
    batch.exponent = exponent;
    batch.count = 3;
    batch.geometry_index = index;
    for (std::size_t j = 0; j < ph::max_coefficients; ++j) batch.coefficients[j] = {&k[j], 0};
    batch.out = out + 1;
    // The derivatives, each with its guards: u, rho and the coefficients.
    double derivatives[2 + ph::max_coefficients][5];
    for (auto& d : derivatives) d[0] = d[4] = guard;
    if (gradient) {
        batch.gradient = true;
        batch.magnified_du = magnified + 2 * ph::max_basis;
        batch.magnified_drho = magnified + 4 * ph::max_basis;
        batch.out_du = derivatives[0] + 1;
        batch.out_drho = derivatives[1] + 1;
        for (std::size_t j = 0; j < ph::max_coefficients; ++j) {
            batch.out_dcoefficients[j] = derivatives[2 + j] + 1;
        }
    }
    (void)ph::evaluate_geometry(batch, 0, 2);
    ph::combine(batch, 0, 3);
    FUZZ_CHECK(out[0] == guard && out[4] == guard);
    // At most 8 / (3 rho) (the most centrally bright law at the centre), which
    // min_rho keeps below the largest double.  (Coefficients near the largest
    // double, whose weighted sums overflow, are a matter of their own.)
    const bool moderate = std::fabs(k[0]) <= 1e100 && std::fabs(k[1]) <= 1e100;
    for (int i = 1; i < 4 && moderate; ++i) {
        if (!std::isfinite(out[i]) && !std::isnan(u[index[i - 1]])) {
            std::fprintf(stderr, "law %d k = %.17g %.17g u = %.17g rho = %.17g: %.17g\n",
                         static_cast<int>(law), k[0], k[1], u[index[i - 1]], rho, out[i]);
        }
        FUZZ_CHECK(std::isfinite(out[i]) || std::isnan(u[index[i - 1]]));
    }
    for (const auto& d : derivatives) FUZZ_CHECK(d[0] == guard && d[4] == guard);
    if (!gradient) return;
    // The values are those of the plain evaluation, to the bit.
    double plain[5] = {guard, 0, 0, 0, guard};
    batch.gradient = false;
    batch.basis.slope = false;
    batch.out = plain + 1;
    (void)ph::evaluate_geometry(batch, 0, 2);
    ph::combine(batch, 0, 3);
    for (int i = 1; i < 4; ++i) {
        FUZZ_CHECK(plain[i] == out[i] || (std::isnan(plain[i]) && std::isnan(out[i])));
    }
}

// A table of `entries` radii spread evenly over [0, outer] (or as many as
// stay distinct), intensities cycled from `values` times `scale`, at two
// separations; accepted tables only.
void check_table_batch(std::size_t entries, double outer, const std::vector<double>& values,
                       double scale, double u0, double u1, double rho, bool gradient) {
    std::vector<double> radii;
    for (std::size_t j = 0; j < entries; ++j) {
        const double r = outer * (static_cast<double>(j) / static_cast<double>(entries - 1));
        if (radii.empty() || r > radii.back()) radii.push_back(r);
    }
    if (values.empty() || !ph::check_radii(radii)) return;
    const std::size_t n = radii.size();
    std::vector<double> intensity(n);
    for (std::size_t j = 0; j < n; ++j) intensity[j] = values[j % values.size()] * scale;
    if (!ph::check_intensity(intensity)) return;
    ph::Batch batch{};
    batch.basis = {ph::Law::tabulated, radii};
    std::vector<double> flux(n);
    ph::basis_flux(batch.basis, flux);
    if (!ph::check_table_flux(intensity, flux)) return;
    batch.flux = flux;
    batch.rtol = ph::max_rtol;  // the coarsest: the fuzzer wants many inputs a second
    const double u[2] = {u0, u1};
    batch.geometry_count = 2;
    batch.u = {u, 1};
    batch.rho = {&rho, 0};
    std::vector<double> magnified(2 * n * 3);
    std::vector<int> exponent(2);
    batch.magnified = magnified.data();
    batch.exponent = exponent.data();
    batch.count = 2;
    batch.intensity = {intensity.data(), 0};
    double out[2] = {};
    std::vector<double> slopes(2 * 2 + 2 * n);
    batch.out = out;
    if (gradient) {
        batch.gradient = true;
        batch.magnified_du = batch.magnified + 2 * n;
        batch.magnified_drho = batch.magnified_du + 2 * n;
        batch.out_du = slopes.data();
        batch.out_drho = slopes.data() + 2;
        batch.out_dintensity = slopes.data() + 4;
    }
    ph::evaluate_geometry(batch, 0, ph::geometry_units(batch));
    ph::combine(batch, 0, 2);
    for (int i = 0; i < 2; ++i) {
        if (std::isnan(out[i]) && !std::isnan(u[i])) {
            std::fprintf(stderr, "table of %zu to %.17g, u = %.17g, rho = %.17g:", n, radii.back(),
                         u[i], rho);
            for (double v : intensity) std::fprintf(stderr, " %.17g", v);
            std::fprintf(stderr, "\n");
        }
        FUZZ_CHECK(!std::isnan(out[i]) || std::isnan(u[i]));
    }
    // The units one by one: the same bits.
    const std::vector<double> whole = magnified;
    for (std::size_t unit = 0; unit < ph::geometry_units(batch); ++unit) {
        ph::evaluate_geometry(batch, unit, unit + 1);
    }
    for (std::size_t k = 0; k < magnified.size(); ++k) {
        FUZZ_CHECK(fuzz::same_bits(magnified[k], whole[k]));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input in(data, size);
    // The parametric laws of the table.
    constexpr std::size_t laws = ph::law_table.size() - 1;
    static_assert(ph::law_table[laws].law == ph::Law::tabulated);
    const ph::Law law = ph::law_table[in.byte() % laws].law;
    double k[ph::max_coefficients] = {};
    for (double& c : k) c = in.number();
    check_law(law, k);
    check_table(in.list(8), in.list(8));
    const double u0 = in.number(), u1 = in.number();
    const double rho = std::fabs(in.number());
    // The batch takes only what the boundary lets through.
    const bool accepted = rho >= ph::min_rho && std::isfinite(rho);
    if (ph::check_coefficients(law,
                               std::span<const double>(k, ph::descriptor(law).argument_count)) &&
        accepted) {
        check_batch(law, k, u0, u1, rho, in.byte() % 2 == 1);
    }
    const std::size_t entries = 2 + in.count(62);
    const double outer = std::fabs(in.number());
    const std::vector<double> values = in.list(4);
    const double scale = std::fabs(in.number());
    if (accepted) {
        check_table_batch(entries, std::fmin(outer, 1.0), values, scale, u0, u1, rho,
                          in.byte() % 2 == 1);
    }
    return 0;
}
